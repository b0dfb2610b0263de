#include "plugins/server/QnASPlugInDriver.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <syslog.h>

#include "device/ProcessNames.h"
#include "libs/core/QnInit.h"
#include "platform/cf/CFString.h"
#include "plugins/server/CADebugMacros.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {

constexpr OSStatus kBadObject = OSStatus(0x216F626A);   // '!obj'
constexpr OSStatus kIllegal = OSStatus(0x6E6F7065);     // 'nope'
constexpr OSStatus kUnknownProp = OSStatus(0x77686F3F); // 'who?'
constexpr OSStatus kUnsupported = OSStatus(0x756E6F70); // 'unop'
constexpr OSStatus kNotRunning = OSStatus(0x73746F70);  // 'stop'
constexpr OSStatus kUnspecified = OSStatus(0x77686174); // 'what'
constexpr UInt32 kMaxCount = 0xFFFFFFFF;

} // namespace

extern AudioServerPlugInDriverInterface gAudioServerPlugInDriverInterface;
AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr =
    &gAudioServerPlugInDriverInterface;
std::atomic<UInt32> gAudioServerPlugInDriverRefCount{1};

namespace {

AudioServerPlugInDriverRef driverReference() {
    return &gAudioServerPlugInDriverInterfacePtr;
}

bool isOurs(const void* inDriver) {
    return inDriver == driverReference();
}

// Runs an operation on the object behind an ID, holding one reference for
// the call; whatever it throws becomes the status.
template <typename Operation> OSStatus withObject(AudioObjectID inObjectID, Operation operation) {
    QnASPlugInObject* object = QnASPlugInObjectMap::CopyObjectByObjectID(inObjectID);
    if (!object) return kBadObject;
    OSStatus status = 0;
    try {
        status = operation(*object);
    } catch (const CAException& e) {
        status = e.GetError();
    } catch (...) {
        status = kUnspecified;
    }
    QnASPlugInObjectMap::ReleaseObject(object);
    return status;
}

// The device-only entries: any other object behind the ID (the plug-in
// object 1 among them) is a bad object.
QnASPlugInDevice& asDevice(QnASPlugInObject& inObject) {
    auto* device = dynamic_cast<QnASPlugInDevice*>(&inObject);
    if (!device) throw CAException(kBadObject);
    return *device;
}

OSStatus logIOResult(OSStatus inStatus, const char* inFormat) {
    if (inStatus != 0) syslog(LOG_ERR, inFormat, unsigned(inStatus));
    return inStatus;
}

bool isPlatter(const AudioServerPlugInClientInfo* inClientInfo) {
    if (!inClientInfo || !inClientInfo->mBundleID) return false;
    CFStringRef bundleID = inClientInfo->mBundleID;
    if (CFGetTypeID(bundleID) != CFStringGetTypeID()) return false;
    char text[256] = {};
    if (!CFStringGetCString(bundleID, text, sizeof text, kCFStringEncodingUTF8)) return false;
    return strcasecmp(text, kQnPlatterBundleID) == 0;
}

// ---- Reference counting

HRESULT QnASPlugInQueryInterface(void* inDriver, REFIID inUUID, LPVOID* outInterface) {
    std::fputs("QnASPlugInQueryInterface\n", stdout);
    if (!isOurs(inDriver)) return HRESULT(kBadObject);
    if (!outInterface) return HRESULT(kIllegal);
    CFUUIDBytes bytes;
    static_assert(sizeof bytes == sizeof inUUID);
    std::memcpy(&bytes, &inUUID, sizeof bytes);
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(nullptr, bytes);
    if (!requested) return HRESULT(kIllegal);
    CFStringRef unknownText =
        CFStringCreateWithCString(nullptr, kIUnknownUUIDText, kCFStringEncodingASCII);
    CFStringRef driverText = CFStringCreateWithCString(
        nullptr, kAudioServerPlugInDriverInterfaceUUIDText, kCFStringEncodingASCII);
    CFUUIDRef unknownUUID = CFUUIDCreateFromString(nullptr, unknownText);
    CFUUIDRef driverUUID = CFUUIDCreateFromString(nullptr, driverText);
    const bool known = CFEqual(requested, unknownUUID) || CFEqual(requested, driverUUID);
    for (CFTypeRef t : {CFTypeRef(unknownText), CFTypeRef(driverText), CFTypeRef(unknownUUID),
                        CFTypeRef(driverUUID), CFTypeRef(requested)})
        if (t) CFRelease(t);
    if (!known) return E_NOINTERFACE;
    UInt32 count = gAudioServerPlugInDriverRefCount.load();
    do {
        if (count == kMaxCount) return E_NOINTERFACE;
    } while (!gAudioServerPlugInDriverRefCount.compare_exchange_weak(count, count + 1));
    *outInterface = driverReference();
    return 0;
}

ULONG QnASPlugInAddRef(void* inDriver) {
    if (!isOurs(inDriver)) return 0;
    UInt32 count = gAudioServerPlugInDriverRefCount.load();
    do {
        if (count == kMaxCount) return 0;
    } while (!gAudioServerPlugInDriverRefCount.compare_exchange_weak(count, count + 1));
    return count + 1;
}

// Nothing is freed at any count; a release at 0 leaves 0.
ULONG QnASPlugInRelease(void* inDriver) {
    if (!isOurs(inDriver)) return 0;
    UInt32 count = gAudioServerPlugInDriverRefCount.load();
    do {
        if (count == 0) return 0;
    } while (!gAudioServerPlugInDriverRefCount.compare_exchange_weak(count, count - 1));
    return count - 1;
}

// ---- Life of the plug-in

OSStatus QnASPlugInInitialize(AudioServerPlugInDriverRef inDriver,
                              AudioServerPlugInHostRef inHost) {
    if (!isOurs(inDriver)) return kBadObject;
    try {
        QnASPlugInPlugIn::sHost = inHost;
        QnASPlugInPlugIn* plugIn = QnASPlugInPlugIn::GetInstance();
        if (!plugIn) throw CAException(kUnspecified);
        plugIn->_StartDeviceListNotifications();
    } catch (const CAException& e) {
        return e.GetError();
    } catch (...) {
        return kUnspecified;
    }
    return 0;
}

OSStatus QnASPlugInCreateDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                                const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kUnsupported;
}

OSStatus QnASPlugInDestroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kUnsupported;
}

// A client without client info, or whose identifier is no string, is a
// client without a bundle identifier: accepted.
OSStatus QnASPlugInAddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo) {
    if (isPlatter(inClientInfo)) {
        LogWarning("QnASPlugInAddDeviceClient PLATTER detected, returning an error\n");
        return kNotRunning;
    }
    return 0;
}

OSStatus QnASPlugInRemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID,
                                      const AudioServerPlugInClientInfo*) {
    return 0;
}

OSStatus QnASPlugInPerformDeviceConfigurationChange(AudioServerPlugInDriverRef inDriver,
                                                    AudioObjectID inDeviceObjectID,
                                                    UInt64 inChangeAction, void* inChangeInfo) {
    if (!isOurs(inDriver)) return kBadObject;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        asDevice(o).PerformConfigChange(inChangeAction, inChangeInfo);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInAbortDeviceConfigurationChange(AudioServerPlugInDriverRef inDriver,
                                                  AudioObjectID inDeviceObjectID,
                                                  UInt64 inChangeAction, void* inChangeInfo) {
    if (!isOurs(inDriver)) return kBadObject;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        asDevice(o).AbortConfigChange(inChangeAction, inChangeInfo);
        return OSStatus(0);
    });
}

// ---- Properties

Boolean QnASPlugInHasProperty(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                              pid_t inClientProcessID,
                              const AudioObjectPropertyAddress* inAddress) {
    if (!isOurs(inDriver) || !inAddress) return false;
    bool has = false;
    withObject(inObjectID, [&](QnASPlugInObject& o) {
        has = o.HasProperty(inObjectID, inClientProcessID, *inAddress);
        return OSStatus(0);
    });
    return has;
}

OSStatus QnASPlugInIsPropertySettable(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                      pid_t inClientProcessID,
                                      const AudioObjectPropertyAddress* inAddress,
                                      Boolean* outIsSettable) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inAddress || !outIsSettable) return kIllegal;
    return withObject(inObjectID, [&](QnASPlugInObject& o) {
        if (!o.HasProperty(inObjectID, inClientProcessID, *inAddress)) return kUnknownProp;
        *outIsSettable = o.IsPropertySettable(inObjectID, inClientProcessID, *inAddress);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInGetPropertyDataSize(AudioServerPlugInDriverRef inDriver,
                                       AudioObjectID inObjectID, pid_t inClientProcessID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32* outDataSize) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inAddress || !outDataSize) return kIllegal;
    return withObject(inObjectID, [&](QnASPlugInObject& o) {
        if (!o.HasProperty(inObjectID, inClientProcessID, *inAddress)) return kUnknownProp;
        *outDataSize = o.GetPropertyDataSize(inObjectID, inClientProcessID, *inAddress,
                                             inQualifierDataSize, inQualifierData);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInGetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress,
                                   UInt32 inQualifierDataSize, const void* inQualifierData,
                                   UInt32 inDataSize, UInt32* outDataSize, void* outData) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inAddress || !outDataSize || !outData) return kIllegal;
    return withObject(inObjectID, [&](QnASPlugInObject& o) {
        if (!o.HasProperty(inObjectID, inClientProcessID, *inAddress)) return kUnknownProp;
        o.GetPropertyData(inObjectID, inClientProcessID, *inAddress, inQualifierDataSize,
                          inQualifierData, inDataSize, *outDataSize, outData);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInSetPropertyData(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress,
                                   UInt32 inQualifierDataSize, const void* inQualifierData,
                                   UInt32 inDataSize, const void* inData) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inAddress) return kIllegal;
    return withObject(inObjectID, [&](QnASPlugInObject& o) {
        if (!o.IsActive()) return kNotRunning;
        if (!o.HasProperty(inObjectID, inClientProcessID, *inAddress)) return kUnknownProp;
        if (!o.IsPropertySettable(inObjectID, inClientProcessID, *inAddress)) return kUnsupported;
        o.SetPropertyData(inObjectID, inClientProcessID, *inAddress, inQualifierDataSize,
                          inQualifierData, inDataSize, inData);
        return OSStatus(0);
    });
}

// ---- IO

OSStatus QnASPlugInStartIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                           UInt32) {
    if (!isOurs(inDriver)) return kBadObject;
    return withObject(inDeviceObjectID, [](QnASPlugInObject& o) {
        asDevice(o).StartIO();
        return OSStatus(0);
    });
}

OSStatus QnASPlugInStopIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                          UInt32) {
    if (!isOurs(inDriver)) return kBadObject;
    return withObject(inDeviceObjectID, [](QnASPlugInObject& o) {
        asDevice(o).StopIO();
        return OSStatus(0);
    });
}

OSStatus zeroTimeStamp(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                       Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!outSampleTime || !outHostTime || !outSeed) return kIllegal;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        asDevice(o).GetZeroTimeStamp(*outSampleTime, *outHostTime, *outSeed);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInGetZeroTimeStamp(AudioServerPlugInDriverRef inDriver,
                                    AudioObjectID inDeviceObjectID, UInt32, Float64* outSampleTime,
                                    UInt64* outHostTime, UInt64* outSeed) {
    return logIOResult(
        zeroTimeStamp(inDriver, inDeviceObjectID, outSampleTime, outHostTime, outSeed),
        "QnASPlugInGetZeroTimeStamp returns %X\n");
}

OSStatus willDo(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                UInt32 inOperationID, Boolean* outWillDo, Boolean* outWillDoInPlace) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!outWillDo || !outWillDoInPlace) return kIllegal;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        bool will = false, inPlace = false;
        asDevice(o).WillDoIOOperation(inOperationID, will, inPlace);
        *outWillDo = will;
        *outWillDoInPlace = inPlace;
        return OSStatus(0);
    });
}

OSStatus QnASPlugInWillDoIOOperation(AudioServerPlugInDriverRef inDriver,
                                     AudioObjectID inDeviceObjectID, UInt32, UInt32 inOperationID,
                                     Boolean* outWillDo, Boolean* outWillDoInPlace) {
    return logIOResult(
        willDo(inDriver, inDeviceObjectID, inOperationID, outWillDo, outWillDoInPlace),
        "QnASPlugInWillDoIOOperation returns %X\n");
}

OSStatus begin(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
               UInt32 inOperationID, UInt32 inIOBufferFrameSize,
               const AudioServerPlugInIOCycleInfo* inIOCycleInfo) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inIOCycleInfo) return kIllegal;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        QnASPlugInDevice& device = asDevice(o);
        if (device.IOState() != 2) return kNotRunning;
        device.BeginIOOperation(inOperationID, inIOBufferFrameSize, *inIOCycleInfo);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInBeginIOOperation(AudioServerPlugInDriverRef inDriver,
                                    AudioObjectID inDeviceObjectID, UInt32, UInt32 inOperationID,
                                    UInt32 inIOBufferFrameSize,
                                    const AudioServerPlugInIOCycleInfo* inIOCycleInfo) {
    return logIOResult(
        begin(inDriver, inDeviceObjectID, inOperationID, inIOBufferFrameSize, inIOCycleInfo),
        "QnASPlugInBeginIOOperation returns %X\n");
}

OSStatus doIO(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
              AudioObjectID inStreamObjectID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
              const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
              void* ioSecondaryBuffer) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inIOCycleInfo) return kIllegal;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        QnASPlugInDevice& device = asDevice(o);
        if (device.IOState() != 2) return kNotRunning;
        return device.DoIOOperation(inStreamObjectID, inOperationID, inIOBufferFrameSize,
                                    *inIOCycleInfo, ioMainBuffer, ioSecondaryBuffer);
    });
}

OSStatus QnASPlugInDoIOOperation(AudioServerPlugInDriverRef inDriver,
                                 AudioObjectID inDeviceObjectID, AudioObjectID inStreamObjectID,
                                 UInt32, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                                 void* ioMainBuffer, void* ioSecondaryBuffer) {
    return logIOResult(doIO(inDriver, inDeviceObjectID, inStreamObjectID, inOperationID,
                            inIOBufferFrameSize, inIOCycleInfo, ioMainBuffer, ioSecondaryBuffer),
                       "QnASPlugInDoIOOperation returns %X\n");
}

OSStatus end(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
             UInt32 inOperationID, UInt32 inIOBufferFrameSize,
             const AudioServerPlugInIOCycleInfo* inIOCycleInfo) {
    if (!isOurs(inDriver)) return kBadObject;
    if (!inIOCycleInfo) return kIllegal;
    return withObject(inDeviceObjectID, [&](QnASPlugInObject& o) {
        asDevice(o).EndIOOperation(inOperationID, inIOBufferFrameSize, *inIOCycleInfo);
        return OSStatus(0);
    });
}

OSStatus QnASPlugInEndIOOperation(AudioServerPlugInDriverRef inDriver,
                                  AudioObjectID inDeviceObjectID, UInt32, UInt32 inOperationID,
                                  UInt32 inIOBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo* inIOCycleInfo) {
    return logIOResult(
        end(inDriver, inDeviceObjectID, inOperationID, inIOBufferFrameSize, inIOCycleInfo),
        "QnASPlugInEndIOOperation returns %X\n");
}

} // namespace

AudioServerPlugInDriverInterface gAudioServerPlugInDriverInterface = {
    nullptr,
    QnASPlugInQueryInterface,
    QnASPlugInAddRef,
    QnASPlugInRelease,
    QnASPlugInInitialize,
    QnASPlugInCreateDevice,
    QnASPlugInDestroyDevice,
    QnASPlugInAddDeviceClient,
    QnASPlugInRemoveDeviceClient,
    QnASPlugInPerformDeviceConfigurationChange,
    QnASPlugInAbortDeviceConfigurationChange,
    QnASPlugInHasProperty,
    QnASPlugInIsPropertySettable,
    QnASPlugInGetPropertyDataSize,
    QnASPlugInGetPropertyData,
    QnASPlugInSetPropertyData,
    QnASPlugInStartIO,
    QnASPlugInStopIO,
    QnASPlugInGetZeroTimeStamp,
    QnASPlugInWillDoIOOperation,
    QnASPlugInBeginIOOperation,
    QnASPlugInDoIOOperation,
    QnASPlugInEndIOOperation,
};

// The factory of the audio server plug-in type; other types, and systems
// before major release 13, get nothing.
extern "C" void* QnASPlugInCreate(CFAllocatorRef, CFUUIDRef inRequestedTypeUUID) {
    syslog(LOG_WARNING, "QnASPlugInCreate\n");
    CFStringRef typeText =
        CFStringCreateWithCString(nullptr, kAudioServerPlugInTypeUUIDText, kCFStringEncodingASCII);
    CFUUIDRef serverType = CFUUIDCreateFromString(nullptr, typeText);
    const bool isServerType =
        inRequestedTypeUUID && serverType && CFEqual(inRequestedTypeUUID, serverType);
    if (serverType) CFRelease(serverType);
    if (typeText) CFRelease(typeText);
    if (!isServerType) return nullptr;
    if (GetMacOSRelease() < 13) return nullptr;
    Core::init("CoreAudio");
    QnASPlugInPlugIn::GetInstance();
    return driverReference();
}
