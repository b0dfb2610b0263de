// The device's six control objects: an input and an output volume, mute
// and data-source selector. Values live in the driver area's control blocks
// and are read and written through the device logic under the device's
// state mutex; a data-source change goes to the host as a configuration
// change, and a value written tells the host from the global serial queue.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "device/ProcessNames.h"
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr OSStatus kInternalError = OSStatus(0xE00002C9);

enum class Kind { Volume, DataSource, Mute };

bool isGlobalMain(const AudioObjectPropertyAddress& a) {
    return a.mScope == kAudioObjectPropertyScopeGlobal &&
           a.mElement == kAudioObjectPropertyElementMaster;
}

bool isVolumeSelector(UInt32 inSelector) {
    switch (inSelector) {
    case fcc("lcdr"):
    case fcc("lcds"):
    case fcc("lcdv"):
    case fcc("lcsd"):
    case fcc("lcsv"):
        return true;
    default:
        return false;
    }
}

bool isDataSourceSelector(UInt32 inSelector) {
    return inSelector == fcc("scai") || inSelector == fcc("scci") || inSelector == fcc("scin");
}

void needRoom(UInt32 inDataSize, UInt32 inNeeded) {
    if (inDataSize < inNeeded) throw CAException(kAudioHardwareBadPropertySizeError);
}

void put32(UInt32 inValue, UInt32 inDataSize, UInt32& outDataSize, void* outData) {
    needRoom(inDataSize, sizeof inValue);
    std::memcpy(outData, &inValue, sizeof inValue);
    outDataSize = sizeof inValue;
}

// The reading process is the system menu bar.
bool readerIsMenuBar(pid_t inClientPID) {
    char name[17] = {};
    if (!GetProcessNameFromPID(inClientPID, name)) return false;
    std::string upper(name);
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return upper.find("SYSTEMUISERVER") != std::string::npos;
}
} // namespace

// Sub-object slots: 2, 3 volume; 4, 5 data source; 6, 7 mute (input first).
bool QnASPlugInDevice::isControlID(AudioObjectID inObjectID) const {
    if (inObjectID == 0) return false;
    for (int i = 2; i < 8; ++i)
        if (mSubObjectIDs[i] == inObjectID) return true;
    return false;
}

namespace {
struct ControlIdentity {
    Kind kind;
    bool input;
};

ControlIdentity identify(const AudioObjectID (&inIDs)[8], AudioObjectID inObjectID) {
    int slot = 2;
    for (int i = 2; i < 8; ++i)
        if (inIDs[i] == inObjectID) slot = i;
    const Kind kind = slot < 4 ? Kind::Volume : slot < 6 ? Kind::DataSource : Kind::Mute;
    return {kind, (slot % 2) == 0};
}
} // namespace

bool QnASPlugInDevice::Control_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                           const AudioObjectPropertyAddress& inAddress) {
    const ControlIdentity c = identify(mSubObjectIDs, inObjectID);
    const UInt32 selector = inAddress.mSelector;
    if (selector == fcc("celm") || selector == fcc("cscp")) return isGlobalMain(inAddress);
    if (isDataSourceSelector(selector))
        return c.kind == Kind::DataSource && isGlobalMain(inAddress);
    if (isVolumeSelector(selector))
        return c.kind == Kind::Volume && isGlobalMain(inAddress) && mLogic.canVolume(c.input, 1);
    // A mute lives on the master element, where the device logic keeps it.
    if (selector == fcc("bcvl"))
        return c.kind == Kind::Mute && isGlobalMain(inAddress) && mLogic.canMute(c.input, 0);
    return QnASPlugInObject::HasProperty(inObjectID, inClientPID, inAddress);
}

bool QnASPlugInDevice::Control_IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                                  const AudioObjectPropertyAddress& inAddress) {
    const ControlIdentity c = identify(mSubObjectIDs, inObjectID);
    const UInt32 selector = inAddress.mSelector;
    if (selector == fcc("celm") || selector == fcc("cscp")) return false;
    if (isDataSourceSelector(selector) && c.kind == Kind::DataSource) return true;
    if (isVolumeSelector(selector) && c.kind == Kind::Volume) return mLogic.canVolume(c.input, 1);
    if (selector == fcc("bcvl") && c.kind == Kind::Mute) return mLogic.canMute(c.input, 0);
    if (selector == fcc("clas") || selector == fcc("bcls") || selector == fcc("stdv")) return false;
    return QnASPlugInObject::IsPropertySettable(inObjectID, inClientPID, inAddress);
}

UInt32 QnASPlugInDevice::Control_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                                     const AudioObjectPropertyAddress& inAddress,
                                                     UInt32 inQualifierDataSize,
                                                     const void* inQualifierData) {
    const ControlIdentity c = identify(mSubObjectIDs, inObjectID);
    const UInt32 selector = inAddress.mSelector;
    if (selector == fcc("celm") || selector == fcc("cscp") || selector == fcc("clas") ||
        selector == fcc("bcls") || selector == fcc("stdv"))
        return sizeof(UInt32);
    if (c.kind == Kind::Volume && isVolumeSelector(selector))
        return selector == fcc("lcdr") ? 2 * sizeof(Float64) : sizeof(Float32);
    if (c.kind == Kind::DataSource) {
        if (selector == fcc("scci")) return sizeof(UInt32);
        if (selector == fcc("scai")) return sizeof(UInt32) * mLogic.getNumDataSources(c.input);
        if (selector == fcc("scin")) return sizeof(CFStringRef);
    }
    if (c.kind == Kind::Mute && selector == fcc("bcvl")) return sizeof(UInt32);
    return QnASPlugInObject::GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                 inQualifierDataSize, inQualifierData);
}

void QnASPlugInDevice::Control_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                               const AudioObjectPropertyAddress& inAddress,
                                               UInt32 inQualifierDataSize,
                                               const void* inQualifierData, UInt32 inDataSize,
                                               UInt32& outDataSize, void* outData) {
    const ControlIdentity c = identify(mSubObjectIDs, inObjectID);
    const UInt32 selector = inAddress.mSelector;
    if (!outData) throw CAException(kAudioHardwareIllegalOperationError);
    switch (selector) {
    case fcc("clas"):
        return put32(c.kind == Kind::Volume ? fcc("vlme")
                     : c.kind == Kind::Mute ? fcc("mute")
                                            : fcc("dsrc"),
                     inDataSize, outDataSize, outData);
    case fcc("bcls"):
        return put32(c.kind == Kind::Volume ? fcc("levl")
                     : c.kind == Kind::Mute ? fcc("togl")
                                            : fcc("slct"),
                     inDataSize, outDataSize, outData);
    case fcc("stdv"):
        return put32(mObjectID, inDataSize, outDataSize, outData);
    case fcc("cscp"):
        return put32(c.input ? fcc("inpt") : fcc("outp"), inDataSize, outDataSize, outData);
    case fcc("celm"):
        return put32(0, inDataSize, outDataSize, outData);
    default:
        break;
    }
    if (c.kind == Kind::Volume && isVolumeSelector(selector)) {
        if (selector == fcc("lcdr")) {
            needRoom(inDataSize, 2 * sizeof(Float64));
            const Float64 range[2] = {mVolumeCurve.GetMinimumDB(), mVolumeCurve.GetMaximumDB()};
            std::memcpy(outData, range, sizeof range);
            outDataSize = sizeof range;
            return;
        }
        needRoom(inDataSize, sizeof(Float32));
        Float32 value = 0;
        if (selector == fcc("lcsv")) {
            CAMutexLocker state(mStateMutex);
            mLogic.getVolumeScalar(c.input, 1, &value);
        } else if (selector == fcc("lcdv")) {
            CAMutexLocker state(mStateMutex);
            mLogic.getVolumeDB(c.input, 1, &value);
        } else {
            // Conversions in place; NaN converts as the lower bound.
            std::memcpy(&value, outData, sizeof value);
            if (selector == fcc("lcsd")) {
                value = std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
                value = mVolumeCurve.ConvertScalarToDB(value);
            } else {
                const Float32 lo = mVolumeCurve.GetMinimumDB(), hi = mVolumeCurve.GetMaximumDB();
                value = std::isnan(value) ? lo : std::clamp(value, lo, hi);
                value = mVolumeCurve.ConvertDBToScalar(value);
            }
        }
        std::memcpy(outData, &value, sizeof value);
        outDataSize = sizeof value;
        return;
    }
    if (c.kind == Kind::Mute && selector == fcc("bcvl")) {
        needRoom(inDataSize, sizeof(UInt32));
        SInt32 mute;
        {
            CAMutexLocker state(mStateMutex);
            mute = mLogic.getMute(c.input, 0);
        }
        return put32(mute > 0 ? 1 : 0, inDataSize, outDataSize, outData);
    }
    if (c.kind == Kind::DataSource && isDataSourceSelector(selector)) {
        if (selector == fcc("scai")) {
            const UInt32 count =
                std::min(mLogic.getNumDataSources(c.input), UInt32(inDataSize / sizeof(UInt32)));
            auto* items = static_cast<UInt8*>(outData);
            for (UInt32 i = 0; i < count; ++i) {
                const UInt32 item = i + 1;
                std::memcpy(items + i * sizeof item, &item, sizeof item);
            }
            outDataSize = count * sizeof(UInt32);
            return;
        }
        if (selector == fcc("scci")) {
            needRoom(inDataSize, sizeof(UInt32));
            UInt32 item;
            {
                CAMutexLocker state(mStateMutex);
                item = currentDataSource(c.input);
            }
            return put32(item, inDataSize, outDataSize, outData);
        }
        // 'scin': the qualifier names the item.
        needRoom(inDataSize, sizeof(CFStringRef));
        if (inQualifierDataSize != sizeof(UInt32) || !inQualifierData)
            throw CAException(kAudioHardwareBadPropertySizeError);
        UInt32 item;
        std::memcpy(&item, inQualifierData, sizeof item);
        const UInt32 k = std::min(mLogic.getNumDataSources(c.input), item);
        CFStringRef name = nullptr;
        if (k == 0 || readerIsMenuBar(inClientPID)) {
            name = CFStringCreateWithCString(nullptr, mProductName.c_str(), kCFStringEncodingUTF8);
        } else {
            mLogic.getDataSourcesName(c.input, k, &name);
        }
        if (!name) name = CFStringCreateWithCString(nullptr, "", kCFStringEncodingUTF8);
        std::memcpy(outData, &name, sizeof name);
        outDataSize = sizeof name;
        return;
    }
    QnASPlugInObject::GetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                      inQualifierData, inDataSize, outDataSize, outData);
}

void QnASPlugInDevice::Control_SetPropertyData(AudioObjectID inObjectID, pid_t,
                                               const AudioObjectPropertyAddress& inAddress, UInt32,
                                               const void*, UInt32 inDataSize, const void* inData) {
    const ControlIdentity c = identify(mSubObjectIDs, inObjectID);
    const UInt32 selector = inAddress.mSelector;
    const bool volume =
        c.kind == Kind::Volume && (selector == fcc("lcsv") || selector == fcc("lcdv"));
    const bool mute = c.kind == Kind::Mute && selector == fcc("bcvl");
    const bool source = c.kind == Kind::DataSource && selector == fcc("scci");
    if (!volume && !mute && !source) throw CAException(kAudioHardwareUnknownPropertyError);
    if (inDataSize != sizeof(UInt32)) throw CAException(kAudioHardwareBadPropertySizeError);
    if (!inData) throw CAException(kInternalError);
    if (source) {
        UInt32 item;
        std::memcpy(&item, inData, sizeof item);
        // Items are listed and named 1 .. count; the write takes the same.
        if (item < 1 || item > mLogic.getNumDataSources(c.input))
            throw CAException(kAudioHardwareBadPropertySizeError);
        if (item == currentDataSource(c.input)) return;
        ConfigChangeInfo info{};
        info.isInput = c.input ? 1 : 0;
        info.v.value = item;
        requestConfigChange(
            c.input ? kQnConfigChangeInputDataSource : kQnConfigChangeOutputDataSource, info);
        return;
    }
    if (mute) {
        UInt32 value;
        std::memcpy(&value, inData, sizeof value);
        {
            CAMutexLocker state(mStateMutex);
            mLogic.setMute(c.input, 0, value);
        }
        controlValueChanged(inObjectID);
        return;
    }
    Float32 value;
    std::memcpy(&value, inData, sizeof value);
    {
        CAMutexLocker state(mStateMutex);
        if (selector == fcc("lcdv")) {
            // The decibel value lands in element 1's range as a scalar, so
            // both channels end where a scalar write would put them.
            Float32 scalar = 0.0f;
            SInt16 lo = 0, hi = 0;
            if (mLogic.getVolumeRange(c.input, 1, &lo, &hi) && hi > lo) {
                const double raw = std::isnan(value) ? double(lo) : double(value) * 256.0;
                scalar = Float32(std::clamp((raw - lo) / double(hi - lo), 0.0, 1.0));
            }
            value = scalar;
        }
        mLogic.setVolumeScalar(c.input, 1, value);
        mLogic.setVolumeScalar(c.input, 2, value);
    }
    controlValueChanged(inObjectID);
}

void QnASPlugInDevice::controlValueChanged(AudioObjectID inControl) {
    const bool isMute = inControl == mSubObjectIDs[6] || inControl == mSubObjectIDs[7];
    CADispatchQueue::GetGlobalSerialQueue().Dispatch(false, [inControl, isMute] {
        AudioServerPlugInHostRef host = QnASPlugInPlugIn::sHost.load();
        if (!host) return;
        if (isMute) {
            const AudioObjectPropertyAddress address{fcc("bcvl"), kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMaster};
            host->PropertiesChanged(host, inControl, 1, &address);
            return;
        }
        const AudioObjectPropertyAddress addresses[2] = {
            {fcc("lcsv"), kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster},
            {fcc("lcdv"), kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster}};
        host->PropertiesChanged(host, inControl, 2, addresses);
    });
}
