// The audio system's types the suite fills and reads: object identifiers,
// property addresses, time stamps, buffer lists, stream descriptions, the IO
// procedure, status codes and the four-character codes of the properties the
// device layer and the HAL plug-in report. Declared here from what the suite
// uses; every record's size is pinned.
//
// Host times in time stamps are the platform clock's absolute time
// (mach_absolute_time, platform/base/HXClock.h), in ticks of its time base.
#pragma once

#include "platform/base/MacTypes.h"
#include <cstddef>

namespace hx::coreaudio {

// A four-character code as the audio system spells its selectors and codes:
// the first character in the most significant byte.
constexpr UInt32 fourCC(const char (&code)[5]) {
    return UInt32(UInt8(code[0])) << 24 | UInt32(UInt8(code[1])) << 16 |
           UInt32(UInt8(code[2])) << 8 | UInt32(UInt8(code[3]));
}

} // namespace hx::coreaudio

typedef UInt32 AudioObjectID;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef AudioObjectPropertySelector AudioDevicePropertyID;
typedef AudioObjectPropertySelector AudioStreamPropertyID;
typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};
static_assert(sizeof(AudioObjectPropertyAddress) == 12);

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal =
    hx::coreaudio::fourCC("glob");
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeInput =
    hx::coreaudio::fourCC("inpt");
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeOutput =
    hx::coreaudio::fourCC("outp");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMaster = 0;

struct SMPTETime {
    SInt16 mSubframes;
    SInt16 mSubframeDivisor;
    UInt32 mCounter;
    UInt32 mType;
    UInt32 mFlags;
    SInt16 mHours;
    SInt16 mMinutes;
    SInt16 mSeconds;
    SInt16 mFrames;
};
static_assert(sizeof(SMPTETime) == 24);

struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime; // platform clock ticks
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    UInt32 mFlags;
    UInt32 mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

// Which times of a time stamp are valid (mFlags).
inline constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};
static_assert(sizeof(AudioBuffer) == 16);

// A list of one buffer: every list the suite makes holds one interleaved
// buffer (the device has one stream per direction).
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};
static_assert(sizeof(AudioBufferList) == 24);

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioValueRange {
    Float64 mMinimum;
    Float64 mMaximum;
};
static_assert(sizeof(AudioValueRange) == 16);

struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);

inline constexpr AudioFormatID kAudioFormat60958AC3 = hx::coreaudio::fourCC("cac3");
inline constexpr AudioFormatID kAudioFormatLinearPCM = hx::coreaudio::fourCC("lpcm");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;

// A client's IO procedure: called once per cycle with the input the device
// recorded and an output list to fill; an output counts only when it
// answers 0.
typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime, void* inClientData);
// A registration handed out for one procedure and client data; the start and
// stop calls take either a procedure or such an identifier.
typedef AudioDeviceIOProc AudioDeviceIOProcID;

// Status codes of the audio system's calls.
enum : OSStatus {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = OSStatus(hx::coreaudio::fourCC("stop")),
    kAudioHardwareUnspecifiedError = OSStatus(hx::coreaudio::fourCC("what")),
    kAudioHardwareUnknownPropertyError = OSStatus(hx::coreaudio::fourCC("who?")),
    kAudioHardwareBadPropertySizeError = OSStatus(hx::coreaudio::fourCC("!siz")),
    kAudioHardwareIllegalOperationError = OSStatus(hx::coreaudio::fourCC("nope")),
    kAudioHardwareBadObjectError = OSStatus(hx::coreaudio::fourCC("!obj")),
    kAudioHardwareUnsupportedOperationError = OSStatus(hx::coreaudio::fourCC("unop")),
    kAudioDeviceUnsupportedFormatError = OSStatus(hx::coreaudio::fourCC("!dat")),
};

// Device and stream properties whose changes the suite reports.
enum : AudioObjectPropertySelector {
    kAudioDevicePropertyDeviceIsRunning = hx::coreaudio::fourCC("goin"),
    kAudioDevicePropertyDeviceIsRunningSomewhere = hx::coreaudio::fourCC("gone"),
    kAudioDevicePropertyDeviceHasChanged = hx::coreaudio::fourCC("diff"),
    kAudioDevicePropertyLatency = hx::coreaudio::fourCC("ltnc"),
    kAudioDevicePropertySafetyOffset = hx::coreaudio::fourCC("saft"),
    kAudioDevicePropertyBufferSize = hx::coreaudio::fourCC("bsiz"),
    kAudioDevicePropertyBufferFrameSize = hx::coreaudio::fourCC("fsiz"),
    kAudioDevicePropertyNominalSampleRate = hx::coreaudio::fourCC("nsrt"),
    kAudioDevicePropertyStreamFormat = hx::coreaudio::fourCC("sfmt"),
    kAudioDevicePropertyHogMode = hx::coreaudio::fourCC("oink"),
    kAudioDevicePropertyClockSource = hx::coreaudio::fourCC("csrc"),
    kAudioDevicePropertyDataSource = hx::coreaudio::fourCC("ssrc"),
    kAudioDevicePropertyVolumeScalar = hx::coreaudio::fourCC("volm"),
    kAudioDevicePropertyVolumeDecibels = hx::coreaudio::fourCC("vold"),
    kAudioDevicePropertyMute = hx::coreaudio::fourCC("mute"),
    kAudioDevicePropertyPlayThru = hx::coreaudio::fourCC("thru"),
    kAudioStreamPropertyPhysicalFormat = hx::coreaudio::fourCC("pft "),
    kAudioStreamPropertyAvailablePhysicalFormats = hx::coreaudio::fourCC("pfta"),
};
