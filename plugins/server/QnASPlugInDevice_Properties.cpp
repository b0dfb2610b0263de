// The device's property table and reads: the host's questions routed by
// object ID to the device, its streams or its controls; which selectors the
// device has, in which scope and element, which it lets the host write, how
// large their values are; and what a read of each returns, some answers
// depending on the name of the reading process.
#include <algorithm>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "abi/DeviceFamilies.h"
#include "device/ProcessNames.h"
#include "libs/tools/ZrString.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASCustomProperties.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASReaders.h"

namespace {

constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}

// The host's value-translation record ('cscn').
struct ValueTranslation {
    void* mInputData;
    UInt32 mInputDataSize;
    void* mOutputData;
    UInt32 mOutputDataSize;
};
static_assert(sizeof(ValueTranslation) == 32);

// A channel layout's head and one description per channel.
constexpr UInt32 kLayoutHeadBytes = 12, kChannelDescriptionBytes = 20;

constexpr UInt32 kControlCount = 6;
constexpr UInt32 kOwnedGlobal = 8, kOwnedPerDirection = 4;
constexpr UInt32 kObjectRefBytes = sizeof(CFTypeRef);
constexpr UInt32 kChannelLayoutBytes = kLayoutHeadBytes + 2 * kChannelDescriptionBytes;
static_assert(kChannelLayoutBytes == 52);
constexpr const char kIconPath[] =
    "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png";
constexpr const char kDeviceNameSuffix[] = "_CoreAudio";
constexpr const char kOtherDeviceNameSuffix[] = " (Core Audio)";

bool isDirectionScope(AudioObjectPropertyScope s) {
    return s == kAudioDevicePropertyScopeInput || s == kAudioDevicePropertyScopeOutput;
}

// Present in scope 'inpt' or 'outp', element 0.
bool directionMain(const AudioObjectPropertyAddress& a) {
    return isDirectionScope(a.mScope) && a.mElement == kAudioObjectPropertyElementMaster;
}

void need(UInt32 inDataSize, UInt32 inBytes) {
    if (inDataSize < inBytes) throw CAException(kAudioHardwareBadPropertySizeError);
}

void putWord(void* outData, UInt32 inValue, UInt32& outDataSize) {
    std::memcpy(outData, &inValue, sizeof inValue);
    outDataSize = sizeof inValue;
}

// One object reference, handed to the host (which releases it).
void putObject(void* outData, UInt32 inDataSize, CFTypeRef inObject, UInt32& outDataSize) {
    if (inDataSize < kObjectRefBytes) {
        if (inObject) CFRelease(inObject);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    std::memcpy(outData, &inObject, kObjectRefBytes);
    outDataSize = kObjectRefBytes;
}

CFNumberRef newNumber32(SInt32 inValue) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &inValue);
}

CFNumberRef newNumber16(SInt16 inValue) {
    return CFNumberCreate(nullptr, kCFNumberSInt16Type, &inValue);
}

CFStringRef newString(const std::string& inText) {
    return CFStringCreateWithCString(nullptr, inText.c_str(), kCFStringEncodingUTF8);
}

// A list of IDs cut to the room: the count written, as bytes.
void putIDs(void* outData, UInt32 inDataSize, const AudioObjectID* inIDs, UInt32 inCount,
            UInt32& outDataSize) {
    const UInt32 n = std::min(inCount, inDataSize / UInt32(sizeof(AudioObjectID)));
    if (n) std::memcpy(outData, inIDs, n * sizeof(AudioObjectID));
    outDataSize = n * UInt32(sizeof(AudioObjectID));
}

// What the reading process's name decides.
struct Reader {
    bool known = false;   // the name was found
    bool refused = false; // reads fail with 'stop'
    bool dj = false;      // the plain "_CoreAudio" name
    bool otherTransport = false;
};

Reader classify(pid_t inClientPID) {
    Reader r;
    char name[24] = {};
    if (!GetProcessNameFromPID(inClientPID, name)) return r;
    r.known = true;
    ZrString upper(name);
    upper.uppercase();
    const std::string u(static_cast<const char*>(upper));
    r.refused = u.find(qnas::kRefusedReader) != std::string::npos;
    for (const char* dj : qnas::kDJReaders)
        if (u.find(dj) != std::string::npos) r.dj = true;
    r.otherTransport = std::strncmp(name, qnas::kOtherTransportReader,
                                    sizeof qnas::kOtherTransportReader - 1) == 0;
    return r;
}

} // namespace

namespace qnas {
std::string controlPanelBundleID() {
    return std::string(getIDRoot()) + ".control";
}
} // namespace qnas

// ---- Routing

// The stream and control objects answer in their own units
// (QnASPlugInStream.cpp, QnASPlugInControl.cpp).
#define QNAS_ROUTE(call_device, call_stream, call_control)                                         \
    if (inObjectID == mObjectID) return call_device;                                               \
    if (isStreamID(inObjectID)) return call_stream;                                                \
    if (isControlID(inObjectID)) return call_control;                                              \
    throw CAException(kAudioHardwareBadObjectError)

bool QnASPlugInDevice::HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                   const AudioObjectPropertyAddress& inAddress) const {
    auto& self = const_cast<QnASPlugInDevice&>(*this);
    QNAS_ROUTE(Device_HasProperty(inObjectID, inClientPID, inAddress),
               self.Stream_HasProperty(inObjectID, inClientPID, inAddress),
               self.Control_HasProperty(inObjectID, inClientPID, inAddress));
}

bool QnASPlugInDevice::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                          const AudioObjectPropertyAddress& inAddress) const {
    auto& self = const_cast<QnASPlugInDevice&>(*this);
    QNAS_ROUTE(Device_IsPropertySettable(inObjectID, inClientPID, inAddress),
               self.Stream_IsPropertySettable(inObjectID, inClientPID, inAddress),
               self.Control_IsPropertySettable(inObjectID, inClientPID, inAddress));
}

UInt32 QnASPlugInDevice::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                             const AudioObjectPropertyAddress& inAddress,
                                             UInt32 inQualifierDataSize,
                                             const void* inQualifierData) const {
    auto& self = const_cast<QnASPlugInDevice&>(*this);
    QNAS_ROUTE(Device_GetPropertyDataSize(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                          inQualifierData),
               self.Stream_GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                               inQualifierDataSize, inQualifierData),
               self.Control_GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                inQualifierDataSize, inQualifierData));
}

void QnASPlugInDevice::GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32 inDataSize, UInt32& outDataSize,
                                       void* outData) const {
    if (!mIsActive) {
        syslog(LOG_ERR, "Device inactive, returning\n");
        throw CAException(kAudioHardwareNotRunningError);
    }
    // Reads reach the shared device logic, which is not const.
    auto& self = const_cast<QnASPlugInDevice&>(*this);
    const auto checked = [&] {
        if (!outData) throw CAException(kAudioHardwareIllegalOperationError);
    };
    QNAS_ROUTE((checked(),
                self.Device_GetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                            inQualifierData, inDataSize, outDataSize, outData)),
               (checked(),
                self.Stream_GetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                            inQualifierData, inDataSize, outDataSize, outData)),
               (checked(), self.Control_GetPropertyData(inObjectID, inClientPID, inAddress,
                                                        inQualifierDataSize, inQualifierData,
                                                        inDataSize, outDataSize, outData)));
}

void QnASPlugInDevice::SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32 inDataSize, const void* inData) {
    QNAS_ROUTE(Device_SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                      inQualifierData, inDataSize, inData),
               Stream_SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                      inQualifierData, inDataSize, inData),
               Control_SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData));
}

#undef QNAS_ROUTE

// ---- The device's table

bool QnASPlugInDevice::Device_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                          const AudioObjectPropertyAddress& inAddress) const {
    const UInt32 sel = inAddress.mSelector;
    if (qnas::isCustomProperty(sel)) return true;
    switch (sel) {
    case fcc("akin"):
    case fcc("capp"):
    case fcc("clkd"):
    case fcc("csc#"):
    case fcc("cscn"):
    case fcc("csrc"):
    case fcc("ctrl"):
    case fcc("cust"):
    case fcc("goin"):
    case fcc("hidn"):
    case fcc("icon"):
    case fcc("livn"):
    case fcc("lmak"):
    case fcc("lnam"):
    case fcc("muid"):
    case fcc("nsr#"):
    case fcc("nsrt"):
    case fcc("ownd"):
    case fcc("ring"):
    case fcc("stm#"):
    case fcc("tran"):
    case fcc("uid "):
        return true;
    case fcc("dch2"):
    case fcc("dflt"):
    case fcc("ltnc"):
    case fcc("saft"):
    case fcc("sflt"):
        return directionMain(inAddress);
    case fcc("lchn"):
    case fcc("srnd"):
        return isDirectionScope(inAddress.mScope);
    default:
        return QnASPlugInObject::HasProperty(inObjectID, inClientPID, inAddress);
    }
}

bool QnASPlugInDevice::Device_IsPropertySettable(
    AudioObjectID inObjectID, pid_t inClientPID,
    const AudioObjectPropertyAddress& inAddress) const {
    const UInt32 sel = inAddress.mSelector;
    if (qnas::isCustomProperty(sel)) return qnas::isSettableCustomProperty(sel);
    switch (sel) {
    case fcc("csrc"):
    case fcc("nsrt"):
        return true;
    case fcc("akin"):
    case fcc("capp"):
    case fcc("clkd"):
    case fcc("csc#"):
    case fcc("cscn"):
    case fcc("ctrl"):
    case fcc("cust"):
    case fcc("dch2"):
    case fcc("dflt"):
    case fcc("goin"):
    case fcc("hidn"):
    case fcc("icon"):
    case fcc("lchn"):
    case fcc("livn"):
    case fcc("lmak"):
    case fcc("lnam"):
    case fcc("ltnc"):
    case fcc("muid"):
    case fcc("nsr#"):
    case fcc("ownd"):
    case fcc("ring"):
    case fcc("saft"):
    case fcc("sflt"):
    case fcc("srnd"):
    case fcc("stm#"):
    case fcc("tran"):
    case fcc("uid "):
        return false;
    default:
        return QnASPlugInObject::IsPropertySettable(inObjectID, inClientPID, inAddress);
    }
}

UInt32 QnASPlugInDevice::Device_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                                    const AudioObjectPropertyAddress& inAddress,
                                                    UInt32 inQualifierDataSize,
                                                    const void* inQualifierData) const {
    const UInt32 sel = inAddress.mSelector;
    if (qnas::isCustomProperty(sel)) return kObjectRefBytes;
    const bool outputOnly = const_cast<QnAudioPluginClassCommons&>(mLogic).isOutputOnly();
    switch (sel) {
    case fcc("akin"):
    case fcc("clkd"):
    case fcc("csrc"):
    case fcc("dflt"):
    case fcc("goin"):
    case fcc("hidn"):
    case fcc("livn"):
    case fcc("ltnc"):
    case fcc("ring"):
    case fcc("saft"):
    case fcc("sflt"):
    case fcc("tran"):
        return 4;
    case fcc("capp"):
    case fcc("dch2"):
    case fcc("icon"):
    case fcc("lchn"):
    case fcc("lmak"):
    case fcc("lnam"):
    case fcc("muid"):
    case fcc("nsrt"):
    case fcc("uid "):
        return 8;
    case fcc("csc#"):
        return DeviceFamilies::contains(DeviceFamilies::kTrunk2, mDeviceInfo->mVendor,
                                        mDeviceInfo->mProduct)
                   ? 8
                   : 4;
    case fcc("cscn"):
        return sizeof(ValueTranslation);
    case fcc("ctrl"):
        return 4 * kControlCount;
    case fcc("cust"):
        syslog(LOG_WARNING, "Num custom properties %d \n", 32);
        return qnas::kCustomPropertyRoom;
    case fcc("nsr#"):
        return 16 * const_cast<QnAudioPluginClassCommons&>(mLogic).getSampleRates(nullptr, 0);
    case fcc("ownd"):
        if (inAddress.mScope == kAudioObjectPropertyScopeGlobal) return 4 * kOwnedGlobal;
        if (inAddress.mScope == kAudioDevicePropertyScopeOutput) return 4 * kOwnedPerDirection;
        if (inAddress.mScope == kAudioDevicePropertyScopeInput)
            return outputOnly ? 0 : 4 * kOwnedPerDirection;
        return 0;
    case fcc("srnd"):
        return kChannelLayoutBytes;
    case fcc("stm#"):
        if (inAddress.mScope == kAudioObjectPropertyScopeGlobal) return 8;
        if (inAddress.mScope == kAudioDevicePropertyScopeOutput) return 4;
        if (inAddress.mScope == kAudioDevicePropertyScopeInput) return outputOnly ? 0 : 4;
        return 0;
    default:
        return QnASPlugInObject::GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                     inQualifierDataSize, inQualifierData);
    }
}

// ---- The device's reads

void QnASPlugInDevice::Device_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                              const AudioObjectPropertyAddress& inAddress,
                                              UInt32 inQualifierDataSize,
                                              const void* inQualifierData, UInt32 inDataSize,
                                              UInt32& outDataSize, void* outData) {
    const Reader reader = classify(inClientPID);
    if (reader.refused) throw CAException(kAudioHardwareNotRunningError);
    const UInt32 sel = inAddress.mSelector;
    const bool input = inAddress.mScope == kAudioDevicePropertyScopeInput;
    const bool trunk2 = DeviceFamilies::contains(DeviceFamilies::kTrunk2, mDeviceInfo->mVendor,
                                                 mDeviceInfo->mProduct);
    switch (sel) {
    // ---- Standard selectors
    case fcc("akin"):
        if (inDataSize < 4) {
            outDataSize = 0;
            return;
        }
        putWord(outData, mObjectID, outDataSize);
        return;
    case fcc("capp"):
        putObject(outData, inDataSize, newString(qnas::controlPanelBundleID()), outDataSize);
        return;
    case fcc("clkd"):
    case fcc("hidn"):
        need(inDataSize, 4);
        putWord(outData, 0, outDataSize);
        return;
    case fcc("csc#"): {
        const UInt32 n = trunk2 ? 2 : 1;
        need(inDataSize, 4 * n);
        auto* words = static_cast<UInt8*>(outData);
        std::memset(words, 0xFF, (inDataSize / 4) * 4);
        for (UInt32 i = 0; i < n; ++i)
            std::memcpy(words + 4 * i, &i, 4);
        outDataSize = 4 * n;
        return;
    }
    case fcc("cscn"): {
        need(inDataSize, sizeof(ValueTranslation));
        ValueTranslation t;
        std::memcpy(&t, outData, sizeof t);
        if (!t.mInputData || t.mInputDataSize < 4)
            throw CAException(kAudioHardwareBadPropertySizeError);
        UInt32 source;
        std::memcpy(&source, t.mInputData, 4);
        if (t.mOutputData && t.mOutputDataSize) {
            auto* out = static_cast<char*>(t.mOutputData);
            const char* text = "";
            bool terminate = true;
            if (source == 0) {
                text = trunk2 ? "Internal" : "Hardware";
            } else if (source == 1) {
                text = trunk2 ? "S/PDIF" : "internal";
                terminate = false;
            }
            std::strncpy(out, text, t.mOutputDataSize);
            if (terminate) out[t.mOutputDataSize - 1] = 0;
        }
        outDataSize = sizeof(ValueTranslation);
        return;
    }
    case fcc("csrc"):
        need(inDataSize, 4);
        putWord(outData, UInt32(mStoredClockSource.load()), outDataSize);
        return;
    case fcc("ctrl"): {
        const AudioObjectID ids[kControlCount] = {mSubObjectIDs[2], mSubObjectIDs[3],
                                                  mSubObjectIDs[6], mSubObjectIDs[7],
                                                  mSubObjectIDs[4], mSubObjectIDs[5]};
        putIDs(outData, inDataSize, ids, kControlCount, outDataSize);
        return;
    }
    case fcc("cust"):
        if (inDataSize < qnas::kCustomPropertyRoom) {
            outDataSize = 0;
            return;
        }
        std::memcpy(outData, qnas::QnASCustomProperties, sizeof qnas::QnASCustomProperties);
        outDataSize = sizeof qnas::QnASCustomProperties;
        return;
    case fcc("dch2"): {
        need(inDataSize, 8);
        const UInt32 pair[2] = {1, 2};
        std::memcpy(outData, pair, sizeof pair);
        outDataSize = sizeof pair;
        return;
    }
    case fcc("dflt"):
    case fcc("sflt"):
        need(inDataSize, 4);
        putWord(outData, input && mLogic.isOutputOnly() ? 0 : 1, outDataSize);
        return;
    case fcc("goin"): {
        need(inDataSize, 4);
        CAMutexLocker state(mStateMutex);
        putWord(outData, mLogic.isRunningSomewhere() ? 1 : 0, outDataSize);
        return;
    }
    case fcc("icon"): {
        need(inDataSize, 8);
        CFStringRef path = CFStringCreateWithCString(nullptr, kIconPath, kCFStringEncodingUTF8);
        CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, false);
        CFRelease(path);
        putObject(outData, inDataSize, url, outDataSize);
        return;
    }
    case fcc("lchn"):
        need(inDataSize, 8);
        putObject(outData, inDataSize, mLogic.getChannelName(input, inAddress.mElement),
                  outDataSize);
        return;
    case fcc("livn"):
        need(inDataSize, 4);
        putWord(outData, mIsActive ? 1 : 0, outDataSize);
        return;
    case fcc("lmak"):
        need(inDataSize, 8);
        putObject(outData, inDataSize, newString(mDeviceName.empty() ? "Unknown" : mDeviceName),
                  outDataSize);
        return;
    case fcc("lnam"): {
        need(inDataSize, 8);
        std::string name = mProductName.empty() ? "Malfunction" : mProductName;
        if (!mProductName.empty()) {
            const bool suffixed =
                reader.dj || DeviceFamilies::contains(DeviceFamilies::kCoreAudioSuffix,
                                                      mDeviceInfo->mVendor, mDeviceInfo->mProduct);
            name += suffixed ? kDeviceNameSuffix : kOtherDeviceNameSuffix;
        }
        putObject(outData, inDataSize, newString(name), outDataSize);
        return;
    }
    case fcc("ltnc"): {
        need(inDataSize, 4);
        UInt32 latency = 0;
        CAMutexLocker state(mStateMutex); // the latencies are recomputed on reading
        if (inAddress.mScope == kAudioDevicePropertyScopeOutput) {
            latency = getLatency(false);
            syslog(LOG_WARNING, "reporting device output latency:%d\n", int(latency));
        } else if (input) {
            latency = getLatency(true);
            syslog(LOG_WARNING, "reporting device input latency:%d\n", int(latency));
        } else if (inAddress.mScope == kAudioObjectPropertyScopeGlobal) {
            latency = getLatency(false);
            syslog(LOG_WARNING, "reporting device global latency:%d\n", int(latency));
        }
        putWord(outData, latency, outDataSize);
        return;
    }
    case fcc("muid"):
    case fcc("uid "):
        need(inDataSize, 8);
        putObject(outData, inDataSize, newString(mCoreAudioUID.empty() ? "Unknown" : mCoreAudioUID),
                  outDataSize);
        return;
    case fcc("nsr#"): {
        const UInt32 room = inDataSize / sizeof(AudioValueRange);
        const UInt32 count = mLogic.getSampleRates(nullptr, 0);
        std::vector<AudioValueRange> ranges(std::max<UInt32>(count, 1));
        const UInt32 listed = mLogic.getSampleRates(ranges.data(), UInt32(ranges.size()));
        const UInt32 n = std::min({room, listed, UInt32(ranges.size())});
        if (n) std::memcpy(outData, ranges.data(), n * sizeof(AudioValueRange));
        outDataSize = n * UInt32(sizeof(AudioValueRange));
        return;
    }
    case fcc("nsrt"): {
        need(inDataSize, 8);
        Float64 rate;
        {
            CAMutexLocker state(mStateMutex);
            rate = Float64(mLogic.getFrequency());
        }
        std::memcpy(outData, &rate, sizeof rate);
        outDataSize = sizeof rate;
        return;
    }
    case fcc("ownd"): {
        const AudioObjectID* s = mSubObjectIDs;
        AudioObjectID ids[kOwnedGlobal];
        UInt32 count = 0;
        if (inAddress.mScope == kAudioDevicePropertyScopeOutput) {
            const AudioObjectID list[] = {s[1], s[3], s[7], s[5]};
            std::copy(std::begin(list), std::end(list), ids), count = kOwnedPerDirection;
        } else if (input && !mLogic.isOutputOnly()) {
            const AudioObjectID list[] = {s[0], s[2], s[6], s[4]};
            std::copy(std::begin(list), std::end(list), ids), count = kOwnedPerDirection;
        } else if (inAddress.mScope == kAudioObjectPropertyScopeGlobal) {
            const AudioObjectID list[] = {s[0], s[1], s[2], s[3], s[6], s[7], s[4], s[5]};
            std::copy(std::begin(list), std::end(list), ids), count = kOwnedGlobal;
        }
        putIDs(outData, inDataSize, ids, count, outDataSize);
        return;
    }
    case fcc("ring"):
        need(inDataSize, 4);
        putWord(outData, mRingFrames.load(), outDataSize);
        return;
    case fcc("saft"): {
        need(inDataSize, 4);
        UInt32 offset;
        {
            CAMutexLocker state(mStateMutex); // the offsets are recomputed on reading
            offset = getSafetyOffset(input);
        }
        syslog(LOG_WARNING,
               input ? "reporting input safety offset:%d\n" : "reporting output safety offset:%d\n",
               int(offset));
        putWord(outData, offset, outDataSize);
        return;
    }
    case fcc("srnd"): {
        need(inDataSize, kChannelLayoutBytes);
        UInt8 layout[kChannelLayoutBytes] = {};
        const UInt32 head[3] = {0, 0, 2};
        std::memcpy(layout, head, sizeof head);
        for (UInt32 c = 0; c < 2; ++c) {
            const UInt32 label = c + 1;
            std::memcpy(layout + kLayoutHeadBytes + c * kChannelDescriptionBytes, &label, 4);
        }
        std::memcpy(outData, layout, sizeof layout);
        outDataSize = kChannelLayoutBytes;
        return;
    }
    case fcc("stm#"): {
        AudioObjectID ids[2];
        UInt32 count = 0;
        if (inAddress.mScope == kAudioDevicePropertyScopeOutput)
            ids[0] = mOutputStreamID, count = 1;
        else if (input && !mLogic.isOutputOnly())
            ids[0] = mInputStreamID, count = 1;
        else if (inAddress.mScope == kAudioObjectPropertyScopeGlobal)
            ids[0] = mInputStreamID, ids[1] = mOutputStreamID, count = 2;
        putIDs(outData, inDataSize, ids, count, outDataSize);
        return;
    }
    case fcc("tran"):
        need(inDataSize, 4);
        putWord(outData, reader.otherTransport ? fcc("othr") : fcc("usb "), outDataSize);
        return;

    // ---- Custom selectors: one object reference each
    case fcc("QnCS"):
        need(inDataSize, 8);
        putObject(outData, inDataSize, newNumber32(mStoredClockSource.load()), outDataSize);
        return;
    case fcc("QnDM"): {
        need(inDataSize, 8);
        const SInt32 mode = mLogic.getDigitalOutMode();
        syslog(LOG_NOTICE, "digitalOutMode %d\n", int(mode));
        putObject(outData, inDataSize, newNumber32(mode), outDataSize);
        return;
    }
    case fcc("QnDS"): {
        need(inDataSize, 8);
        CFDictionaryRef status = nullptr;
        mLogic.getDigitalStatus(&status);
        putObject(outData, inDataSize, status, outDataSize);
        return;
    }
    case fcc("QnDV"): {
        need(inDataSize, 8);
        CFStringRef version = nullptr;
        mLogic.getDriverVersionString(&version);
        putObject(outData, inDataSize, version, outDataSize);
        return;
    }
    case fcc("QnFV"): {
        need(inDataSize, 8);
        CFStringRef text = nullptr;
        CFNumberRef number = nullptr;
        mLogic.getFirmwareVersionString(&text);
        mLogic.getFirmwareVersion(&number);
        // A dictionary cannot hold null: a missing value is "" or 0.
        if (!text) text = CFStringCreateWithCString(nullptr, "", kCFStringEncodingUTF8);
        if (!number) number = newNumber32(0);
        const void* keys[2] = {CFSTR("versionString"), CFSTR("versionNumber")};
        const void* values[2] = {text, number};
        CFDictionaryRef d =
            CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        CFRelease(text);
        CFRelease(number);
        putObject(outData, inDataSize, d, outDataSize);
        return;
    }
    case fcc("QnIL"):
    case fcc("QnOL"): {
        need(inDataSize, 8);
        CFDataRef levels = nullptr;
        if (sel == fcc("QnIL"))
            mLogic.getInputLevels(&levels);
        else
            mLogic.getOutputLevels(&levels);
        putObject(outData, inDataSize, levels, outDataSize);
        return;
    }
    case fcc("QnIO"): {
        need(inDataSize, 8);
        // The registry's own copy stays the device's; the host gets a reference.
        // Each read replaces the registry's copy: a reader on another thread
        // must not release the one this reader is about to hand out.
        CFDictionaryRef properties;
        {
            CAMutexLocker state(mStateMutex);
            properties = QnIORegistryPrefs::getProperties();
            if (properties) CFRetain(properties);
        }
        putObject(outData, inDataSize, properties, outDataSize);
        return;
    }
    case fcc("QnMM"): {
        need(inDataSize, 8);
        SInt32 mode;
        {
            CAMutexLocker state(mStateMutex);
            mode = SInt32(mMixerMode);
        }
        syslog(LOG_NOTICE, "MixerMode %d\n", int(mode));
        putObject(outData, inDataSize, newNumber32(mode), outDataSize);
        return;
    }
    case fcc("QnOS"): {
        need(inDataSize, 8);
        const SInt32 selector = mLogic.getDigitalOutSelector();
        syslog(LOG_NOTICE, "digitalOutSelector %d\n", int(selector));
        putObject(outData, inDataSize, newNumber32(selector), outDataSize);
        return;
    }
    case fcc("QnPC"): {
        need(inDataSize, 8);
        CFDataRef config = nullptr;
        mLogic.getPortConfig(&config);
        putObject(outData, inDataSize, config, outDataSize);
        return;
    }
    case fcc("QnPD"):
        need(inDataSize, 8);
        syslog(LOG_NOTICE, "ProductID %d\n", int(mDeviceInfo->mProduct));
        putObject(outData, inDataSize, newNumber16(SInt16(mDeviceInfo->mProduct)), outDataSize);
        return;
    case fcc("QnVD"):
        need(inDataSize, 8);
        syslog(LOG_NOTICE, "VendorID %d\n", int(mDeviceInfo->mVendor));
        putObject(outData, inDataSize, newNumber16(SInt16(mDeviceInfo->mVendor)), outDataSize);
        return;
    case fcc("QnRM"): {
        need(inDataSize, 8);
        CFDataRef matrix = nullptr;
        mLogic.getRoutingMatrix(&matrix);
        putObject(outData, inDataSize, matrix, outDataSize);
        return;
    }
    case fcc("QnSN"): {
        need(inDataSize, 8);
        CFStringRef serial = nullptr;
        mLogic.getSerialNumberString(&serial);
        putObject(outData, inDataSize, serial, outDataSize);
        return;
    }
    case fcc("QnSV"): {
        need(inDataSize, 8);
        CFDictionaryRef values = nullptr;
        mLogic.getMixerValues(&values);
        putObject(outData, inDataSize, values, outDataSize);
        return;
    }
    case fcc("QnSW"): {
        need(inDataSize, 8);
        const QnChannelSettings& s = mLogic.reportedSettings();
        const UInt32 width = std::max(s.InResolution, s.OutResolution);
        putObject(outData, inDataSize, newNumber16(SInt16(width)), outDataSize);
        return;
    }
    case fcc("QnTy"):
        need(inDataSize, 8);
        putObject(outData, inDataSize, CFSTR("QuarnelAudioServerPluginType"), outDataSize);
        return;
    case fcc("QnU1"): {
        need(inDataSize, 8);
        const SInt32 mode = mLogic.getUSB1Mode();
        syslog(LOG_NOTICE, "USB1Mode %d\n", int(mode));
        putObject(outData, inDataSize, newNumber32(mode), outDataSize);
        return;
    }
    case fcc("QnFM"):
    case fcc("QnFP"):
    case fcc("QnMB"):
    case fcc("QnMF"):
    case fcc("QnRB"):
    case fcc("QnSt"):
        need(inDataSize, 8);
        putObject(outData, inDataSize, nullptr, outDataSize);
        return;
    case fcc("QnRo"):
        return; // write-only: nothing written, the size as it came
    default:
        // The debug codes are write-only and fail here with every unknown one.
        QnASPlugInObject::GetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                          inQualifierData, inDataSize, outDataSize, outData);
        return;
    }
}
