#include "platform/coreaudio/CoreAudioTypes.h"

#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// Field positions of the records the device layer and the plug-ins share.
static_assert(offsetof(AudioBufferList, mBuffers) == 8);
static_assert(offsetof(AudioBuffer, mData) == 8);
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8);
static_assert(offsetof(AudioTimeStamp, mRateScalar) == 16);
static_assert(offsetof(AudioTimeStamp, mSMPTETime) == 32);
static_assert(offsetof(AudioTimeStamp, mFlags) == 56);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mChannelsPerFrame) == 28);
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);
static_assert(offsetof(AudioObjectPropertyAddress, mElement) == 8);

TEST(CoreAudioCodes, FourCharacterCodesHaveTheFirstCharacterInTheTopByte) {
    const std::pair<UInt32, UInt32> cases[] = {
        {UInt32(kAudioHardwareUnknownPropertyError), 0x77686F3F},
        {UInt32(kAudioHardwareBadPropertySizeError), 0x2173697A},
        {UInt32(kAudioDeviceUnsupportedFormatError), 0x21646174},
        {UInt32(kAudioHardwareUnspecifiedError), 0x77686174},
        {UInt32(kAudioHardwareBadObjectError), 0x216F626A},
        {UInt32(kAudioHardwareIllegalOperationError), 0x6E6F7065},
        {UInt32(kAudioHardwareUnsupportedOperationError), 0x756E6F70},
        {UInt32(kAudioHardwareNotRunningError), 0x73746F70},
        {kAudioFormatLinearPCM, 0x6C70636D},
        {kAudioStreamPropertyPhysicalFormat, 0x70667420}, // the space is a character
        {kAudioObjectPropertyScopeGlobal, 0x676C6F62},
        {hx::coreaudio::fourCC("\xff\x80\x01\x00"), 0xFF800100}, // no sign extension
    };
    for (auto [code, value] : cases)
        EXPECT_EQ(code, value);
}

// A procedure that copies input to output and reports what it was given.
OSStatus copyProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* in,
                  const AudioTimeStamp* inTime, AudioBufferList* out, const AudioTimeStamp* outTime,
                  void* client) {
    *static_cast<AudioObjectID*>(client) = device;
    if (!now || !inTime || !outTime || (now->mFlags & kAudioTimeStampHostTimeValid) == 0) return 1;
    const AudioBuffer& src = in->mBuffers[0];
    AudioBuffer& dst = out->mBuffers[0];
    std::memcpy(dst.mData, src.mData, std::min(src.mDataByteSize, dst.mDataByteSize));
    return 0;
}

TEST(CoreAudioTypes, AnIOProcedureTakesOneBufferListPerDirection) {
    float inSamples[4] = {0.5f, -0.5f, 0.25f, -0.25f};
    float outSamples[4] = {};
    const AudioBufferList in{1, {{2, sizeof inSamples, inSamples}}};
    AudioBufferList out{1, {{2, sizeof outSamples, outSamples}}};
    AudioTimeStamp now{};
    now.mHostTime = 1234;
    now.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                 kAudioTimeStampRateScalarValid;
    EXPECT_EQ(now.mFlags, 7u);
    AudioObjectID seen = 0;
    AudioDeviceIOProcID id = copyProc;
    EXPECT_EQ(id(42, &now, &in, &now, &out, &now, &seen), 0);
    EXPECT_EQ(seen, 42u);
    EXPECT_EQ(std::memcmp(inSamples, outSamples, sizeof inSamples), 0);
    AudioTimeStamp invalid{};
    EXPECT_EQ(id(42, &invalid, &in, &now, &out, &now, &seen), 1);
}

} // namespace
