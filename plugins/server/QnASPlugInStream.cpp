// The device's two stream objects: identity, direction, the physical format
// and the formats available, the active flag. A format write never changes
// the device on the writer's thread: it is handed to the host as a
// configuration change.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <syslog.h>
#include <vector>

#include "abi/DeviceFamilies.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr UInt32 kFormatBytes = sizeof(AudioStreamBasicDescription);
constexpr UInt32 kRangedBytes = sizeof(AudioStreamRangedDescription);
constexpr OSStatus kUnsupportedFormat = OSStatus(fcc("!dat"));
constexpr OSStatus kInternalError = OSStatus(0xE00002C9);
constexpr Float64 kHighestRate = 384000.0;

bool isGlobalMain(const AudioObjectPropertyAddress& a) {
    return a.mScope == kAudioObjectPropertyScopeGlobal &&
           a.mElement == kAudioObjectPropertyElementMaster;
}

void put32(UInt32 inValue, UInt32 inDataSize, UInt32& outDataSize, void* outData) {
    if (inDataSize < sizeof inValue) throw CAException(kAudioHardwareBadPropertySizeError);
    std::memcpy(outData, &inValue, sizeof inValue);
    outDataSize = sizeof inValue;
}
} // namespace

bool QnASPlugInDevice::isStreamID(AudioObjectID inObjectID) const {
    return inObjectID != 0 && (inObjectID == mInputStreamID || inObjectID == mOutputStreamID);
}

bool QnASPlugInDevice::Stream_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                          const AudioObjectPropertyAddress& inAddress) {
    switch (inAddress.mSelector) {
    case fcc("ltnc"):
    case fcc("pft "):
    case fcc("pfta"):
    case fcc("sact"):
    case fcc("schn"):
    case fcc("sdir"):
    case fcc("sfma"):
    case fcc("sfmt"):
    case fcc("term"):
        return isGlobalMain(inAddress);
    default:
        return QnASPlugInObject::HasProperty(inObjectID, inClientPID, inAddress);
    }
}

bool QnASPlugInDevice::Stream_IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                                 const AudioObjectPropertyAddress& inAddress) {
    switch (inAddress.mSelector) {
    case fcc("sfmt"):
    case fcc("sact"):
        return true;
    case fcc("pft "):
        return !mLogic.isSorvikFarlaneDevice();
    case fcc("ltnc"):
    case fcc("schn"):
    case fcc("sdir"):
    case fcc("term"):
    case fcc("pfta"):
    case fcc("sfma"):
        return false;
    default:
        return QnASPlugInObject::IsPropertySettable(inObjectID, inClientPID, inAddress);
    }
}

UInt32 QnASPlugInDevice::Stream_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                                    const AudioObjectPropertyAddress& inAddress,
                                                    UInt32 inQualifierDataSize,
                                                    const void* inQualifierData) {
    const bool input = inObjectID == mInputStreamID;
    switch (inAddress.mSelector) {
    case fcc("sfmt"):
    case fcc("pft "):
        return kFormatBytes;
    case fcc("sact"):
    case fcc("ltnc"):
    case fcc("schn"):
    case fcc("sdir"):
    case fcc("term"):
        return sizeof(UInt32);
    case fcc("pfta"):
    case fcc("sfma"):
        return kRangedBytes * mLogic.getStreamFormatNum(input, true);
    case fcc("clas"):
    case fcc("bcls"):
    case fcc("stdv"):
        return sizeof(UInt32);
    default:
        return QnASPlugInObject::GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                     inQualifierDataSize, inQualifierData);
    }
}

void QnASPlugInDevice::Stream_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                              const AudioObjectPropertyAddress& inAddress,
                                              UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32 inDataSize,
                                              UInt32& outDataSize, void* outData) {
    const bool input = inObjectID == mInputStreamID;
    if (!outData) throw CAException(kAudioHardwareIllegalOperationError);
    switch (inAddress.mSelector) {
    case fcc("clas"):
        return put32(fcc("astr"), inDataSize, outDataSize, outData);
    case fcc("bcls"):
        return put32(fcc("aobj"), inDataSize, outDataSize, outData);
    case fcc("stdv"):
        return put32(mObjectID, inDataSize, outDataSize, outData);
    case fcc("schn"):
        return put32(1, inDataSize, outDataSize, outData);
    case fcc("term"):
        return put32(fcc("spdf"), inDataSize, outDataSize, outData);
    case fcc("sdir"):
        return put32(input ? 1 : 0, inDataSize, outDataSize, outData);
    case fcc("ltnc"):
        if (inDataSize < sizeof(UInt32)) throw CAException(kAudioHardwareBadPropertySizeError);
        syslog(LOG_WARNING,
               input ? "reporting stream input latency:%d\n"
                     : "reporting stream output latency:%d\n",
               0);
        return put32(0, inDataSize, outDataSize, outData);
    case fcc("sact"): {
        if (inDataSize < sizeof(UInt32)) throw CAException(kAudioHardwareBadPropertySizeError);
        UInt32 active;
        {
            CAMutexLocker state(mStateMutex);
            active = mStreamActive[input ? 1 : 0].load() ? 1 : 0;
        }
        return put32(active, inDataSize, outDataSize, outData);
    }
    case fcc("pft "):
    case fcc("sfmt"): {
        if (inDataSize < kFormatBytes) throw CAException(kAudioHardwareBadPropertySizeError);
        AudioStreamBasicDescription description{};
        {
            CAMutexLocker state(mStateMutex);
            mLogic.getStreamFormat(input, &description, true, ~0u);
            if (input && mLogic.isOutputOnly()) mLogic.getStreamFormat(true, &description, true, 0);
        }
        std::memcpy(outData, &description, kFormatBytes);
        outDataSize = kFormatBytes;
        return;
    }
    case fcc("pfta"):
    case fcc("sfma"): {
        // The whole list is read; as many entries as the room holds are
        // written, and the size names only those.
        const UInt32 count = mLogic.getStreamFormatNum(input, true);
        std::vector<AudioStreamRangedDescription> entries(count);
        if (count) mLogic.getAvailableFormats(input, entries.data(), count, true, ~0u);
        const UInt32 written = std::min(inDataSize / kRangedBytes, count);
        if (written) std::memcpy(outData, entries.data(), size_t(written) * kRangedBytes);
        outDataSize = written * kRangedBytes;
        return;
    }
    default:
        return QnASPlugInObject::GetPropertyData(inObjectID, inClientPID, inAddress,
                                                 inQualifierDataSize, inQualifierData, inDataSize,
                                                 outDataSize, outData);
    }
}

void QnASPlugInDevice::Stream_SetPropertyData(AudioObjectID inObjectID, pid_t,
                                              const AudioObjectPropertyAddress& inAddress, UInt32,
                                              const void*, UInt32 inDataSize, const void* inData) {
    const bool input = inObjectID == mInputStreamID;
    switch (inAddress.mSelector) {
    case fcc("sact"):
    case fcc("pft "):
    case fcc("sfmt"):
        // An inactive device drops stream writes without an error.
        if (!mIsActive) return;
        break;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    switch (inAddress.mSelector) {
    case fcc("sact"): {
        if (inDataSize != sizeof(UInt32)) throw CAException(kAudioHardwareBadPropertySizeError);
        if (!inData) throw CAException(kInternalError);
        UInt32 value;
        std::memcpy(&value, inData, sizeof value);
        CAMutexLocker state(mStateMutex);
        mStreamActive[input ? 1 : 0] = value != 0;
        return;
    }
    case fcc("pft "):
    case fcc("sfmt"): {
        // The physical format of a Sorvik Farlane is the kernel's to choose.
        if (inAddress.mSelector == fcc("pft ") && mLogic.isSorvikFarlaneDevice())
            throw CAException(kAudioHardwareUnsupportedOperationError);
        if (inDataSize != kFormatBytes) throw CAException(kAudioHardwareBadPropertySizeError);
        if (!inData) throw CAException(kInternalError);
        AudioStreamBasicDescription format;
        std::memcpy(&format, inData, kFormatBytes);
        if (format.mFormatID != kAudioFormatLinearPCM) throw CAException(kUnsupportedFormat);
        // A rate no device runs at would reach the rate search unchecked.
        if (!std::isfinite(format.mSampleRate) || format.mSampleRate < 0 ||
            format.mSampleRate > kHighestRate)
            throw CAException(kUnsupportedFormat);
        if (mLogic.isDevice(kKorvexVendorID, kKorvexLX420ProductID)) return;
        ConfigChangeInfo info{};
        info.isInput = input ? 1 : 0;
        info.v.format = format;
        requestConfigChange(kQnConfigChangePhysicalFormat, info);
        return;
    }
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}
