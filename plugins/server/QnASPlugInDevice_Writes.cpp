// The device's writes: the nominal rate and the clock source become
// configuration-change requests the host performs when it is ready; the
// control panel's custom properties go to the kernel's settings bridge; the
// debug overrides recompute latencies and safety offsets. Nothing is sent
// for a value of the wrong kind.
#include <cmath>
#include <cstring>
#include <syslog.h>
#include <vector>

#include "plugins/server/CAException.h"
#include "plugins/server/QnASCustomProperties.h"
#include "plugins/server/QnASPlugInDevice.h"

namespace {

constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}

constexpr UInt32 kObjectRefBytes = sizeof(CFTypeRef);
constexpr UInt32 kRoutingBytes = 12;

// The one object reference a custom write carries.
CFTypeRef objectOf(const void* inData) {
    CFTypeRef object;
    std::memcpy(&object, inData, sizeof object);
    return object;
}

bool isType(CFTypeRef inObject, CFTypeID inType) {
    return inObject && CFGetTypeID(inObject) == inType;
}

// The object as a 32-bit integer; false when it is no number.
bool numberOf(CFTypeRef inObject, SInt32& outValue) {
    if (!isType(inObject, CFNumberGetTypeID())) return false;
    return CFNumberGetValue(static_cast<CFNumberRef>(inObject), kCFNumberSInt32Type, &outValue);
}

void refuse(OSStatus inStatus) {
    throw CAException(inStatus);
}

} // namespace

void QnASPlugInDevice::Device_SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                              const AudioObjectPropertyAddress& inAddress,
                                              UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32 inDataSize,
                                              const void* inData) {
    if (!mIsActive) return; // dropped without an error
    const UInt32 sel = inAddress.mSelector;

    // ---- Standard selectors
    if (sel == fcc("nsrt")) {
        if (inDataSize != sizeof(Float64)) refuse(kAudioHardwareBadPropertySizeError);
        if (!inData) refuse(kIOReturnInternalError);
        Float64 rate;
        std::memcpy(&rate, inData, sizeof rate);
        const UInt32 count = mLogic.getSampleRates(nullptr, 0);
        std::vector<AudioValueRange> ranges(count ? count : 1);
        const UInt32 listed = count ? mLogic.getSampleRates(ranges.data(), count) : 0;
        bool accepted = false;
        for (UInt32 i = 0; i < listed && i < ranges.size() && !accepted; ++i)
            accepted = ranges[i].mMinimum <= rate && rate <= ranges[i].mMaximum;
        if (!accepted) refuse(kAudioHardwareIllegalOperationError); // also NaN
        UInt32 current;
        {
            CAMutexLocker state(mStateMutex);
            current = _HW_GetSampleRate();
        }
        const UInt64 wanted = UInt64(rate);
        if (current == wanted) return;
        ConfigChangeInfo info{};
        info.v.rate = wanted;
        requestConfigChange(kQnConfigChangeSampleRate, info);
        return;
    }
    if (sel == fcc("csrc")) {
        if (inDataSize < sizeof(UInt32)) refuse(kAudioHardwareBadPropertySizeError);
        if (!inData) refuse(kIOReturnInternalError);
        ConfigChangeInfo info{};
        std::memcpy(&info.v.value, inData, sizeof(UInt32));
        requestConfigChange(kQnConfigChangeClockSource, info);
        return;
    }
    if (!qnas::isCustomProperty(sel)) {
        QnASPlugInObject::SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                          inQualifierData, inDataSize, inData);
        return;
    }
    if (!qnas::isSettableCustomProperty(sel)) refuse(kAudioHardwareUnknownPropertyError);

    // ---- Custom selectors: one object reference
    if (inDataSize < kObjectRefBytes) refuse(kAudioHardwareBadPropertySizeError);
    if (!inData) refuse(kIOReturnInternalError);
    const CFTypeRef object = objectOf(inData);

    switch (sel) {
    // Debug overrides: anything but a number clears the override.
    case fcc("DbSI"):
    case fcc("DbSO"):
    case fcc("DbLI"):
    case fcc("DbLO"):
    case fcc("DbWA"): {
        SInt32 value = -1;
        if (!numberOf(object, value)) value = -1;
        CAMutexLocker state(mStateMutex);
        setDebugOverride(sel, UInt32(value));
        if (sel == fcc("DbSI") || sel == fcc("DbSO"))
            updateSafetyOffsets();
        else
            updateLatencies();
        return;
    }
    case fcc("QnRo"): {
        if (!isType(object, CFDataGetTypeID()) ||
            CFDataGetLength(static_cast<CFDataRef>(object)) < CFIndex(kRoutingBytes))
            refuse(kIOReturnBadArgument);
        UInt32 words[3];
        std::memcpy(words, CFDataGetBytePtr(static_cast<CFDataRef>(object)), sizeof words);
        const bool routed = mLogic.setRouting(words[0], words[1], words[2]);
        if (!routed || !mRegistry) refuse(kIOReturnInternalError);
        return;
    }
    // Objects: the bridge checks their contents before anything is sent.
    case fcc("QnMB"):
    case fcc("QnRB"):
    case fcc("QnRM"): {
        if (!isType(object, CFDataGetTypeID())) refuse(kIOReturnBadArgument);
        const auto data = static_cast<CFDataRef>(object);
        const bool ok = sel == fcc("QnMB")   ? mLogic.sendMixerBuffer(data)
                        : sel == fcc("QnRB") ? mLogic.sendReverbBuffers(data)
                                             : mLogic.setRoutingMatrix(data);
        if (!ok) refuse(kIOReturnInternalError);
        return;
    }
    case fcc("QnMF"):
    case fcc("QnSV"): {
        if (!isType(object, CFDictionaryGetTypeID())) refuse(kIOReturnBadArgument);
        const auto dictionary = static_cast<CFDictionaryRef>(object);
        const bool ok = sel == fcc("QnMF") ? mLogic.setMixerFractions(dictionary)
                                           : mLogic.setMixerValues(dictionary);
        if (!ok) refuse(kIOReturnInternalError);
        return;
    }
    default:
        break;
    }

    // Numbers: a null or non-number sends nothing.
    SInt32 value = 0;
    if (!numberOf(object, value)) refuse(kIOReturnBadArgument);
    bool ok = true;
    switch (sel) {
    case fcc("QnCS"): {
        ConfigChangeInfo info{};
        info.v.value = UInt32(value);
        requestConfigChange(kQnConfigChangeClockSource, info);
        return;
    }
    case fcc("QnMM"):
        ok = mLogic.setMixerMode(UInt32(value));
        break;
    case fcc("QnDM"):
        mLogic.setDigitalOutMode(UInt32(value));
        break;
    case fcc("QnFM"):
        ok = mLogic.setFootSwitchMode(UInt32(value));
        break;
    case fcc("QnFP"):
        ok = mLogic.setFootSwitchProtocol(UInt32(value));
        break;
    case fcc("QnOS"):
        mLogic.setDigitalOutSelector(UInt32(value));
        break;
    case fcc("QnU1"):
        mLogic.setUSB1Mode(UInt32(value));
        break;
    case fcc("QnSt"):
        // Success whatever the kernel answers.
        if (value)
            mLogic.resumeStreaming();
        else
            mLogic.suspendStreaming();
        return;
    default:
        refuse(kAudioHardwareUnknownPropertyError);
    }
    if (!ok) refuse(kIOReturnInternalError);
}
