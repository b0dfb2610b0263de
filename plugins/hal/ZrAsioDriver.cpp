#include "plugins/hal/ZrAsioDriver.h"

#include "device/OSXDeviceManager.h"
#include "device/ProcessNames.h"
#include "device/ZrOSXDevice.h"
#include "libs/core/QnInit.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/cf/CFPlugIn.h"

#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* kServiceClass = "ZrKernelDeviceKorvexHX5100";

// ---- The table's entries: each recovers the driver and calls its method.

HRESULT AudioDriverQueryInterface(void* self, REFIID iid, LPVOID* out) {
    CFUUIDRef asked = CFUUIDCreateFromUUIDBytes(nullptr, iid);
    const CFUUIDRef known[] = {kAudioHardwarePlugInInterface4ID, kAudioHardwarePlugInInterface3ID,
                               kAudioHardwarePlugInInterface2ID, kAudioHardwarePlugInInterfaceID,
                               kAudioHardwarePlugInTypeID,       IUnknownUUID};
    bool found = false;
    for (CFUUIDRef k : known)
        found = found || CFEqual(asked, k);
    CFRelease(asked);
    if (!found) {
        if (out) *out = nullptr;
        return E_NOINTERFACE;
    }
    auto ref = static_cast<AudioHardwarePlugInRef>(self);
    (*ref)->AddRef(self);
    if (out) *out = ZrAsioDriver::fromRef(self)->plugin();
    return S_OK;
}

ULONG AudioDriverAddRef(void* self) {
    return ZrAsioDriver::fromRef(self)->retain();
}

ULONG AudioDriverRelease(void* self) {
    return ZrAsioDriver::fromRef(self)->release();
}

OSStatus AudioDriverInitialize(AudioHardwarePlugInRef self) {
    return ZrAsioDriver::fromRef(self)->onInitialize(0);
}

OSStatus AudioDriverTeardown(AudioHardwarePlugInRef self) {
    return ZrAsioDriver::fromRef(self)->onTeardown();
}

OSStatus AudioDriverDeviceAddIOProc(AudioHardwarePlugInRef self, AudioDeviceID device,
                                    AudioDeviceIOProc proc, void* clientData) {
    return ZrAsioDriver::fromRef(self)->onDeviceAddIOProc(device, proc, clientData);
}

OSStatus AudioDriverDeviceRemoveIOProc(AudioHardwarePlugInRef self, AudioDeviceID device,
                                       AudioDeviceIOProc proc) {
    return ZrAsioDriver::fromRef(self)->onDeviceRemoveIOProc(device, proc);
}

OSStatus AudioDriverDeviceStart(AudioHardwarePlugInRef self, AudioDeviceID device,
                                AudioDeviceIOProc procOrID) {
    return ZrAsioDriver::fromRef(self)->onDeviceStartProcOrID(device, procOrID);
}

OSStatus AudioDriverDeviceStop(AudioHardwarePlugInRef self, AudioDeviceID device,
                               AudioDeviceIOProc procOrID) {
    return ZrAsioDriver::fromRef(self)->onDeviceStopProcOrID(device, procOrID);
}

OSStatus AudioDriverDeviceRead(AudioHardwarePlugInRef self, AudioDeviceID device,
                               const AudioTimeStamp* startTime, AudioBufferList* data) {
    return ZrAsioDriver::fromRef(self)->onDeviceRead(device, startTime, data);
}

OSStatus AudioDriverDeviceGetCurrentTime(AudioHardwarePlugInRef self, AudioDeviceID device,
                                         AudioTimeStamp* time) {
    return ZrAsioDriver::fromRef(self)->onDeviceGetCurrentTime(device, time);
}

OSStatus AudioDriverDeviceTranslateTime(AudioHardwarePlugInRef self, AudioDeviceID device,
                                        const AudioTimeStamp* inTime, AudioTimeStamp* outTime) {
    return ZrAsioDriver::fromRef(self)->onDeviceTranslateTime(device, inTime, outTime);
}

OSStatus AudioDriverDeviceGetPropertyInfo(AudioHardwarePlugInRef self, AudioDeviceID device,
                                          UInt32 channel, Boolean isInput,
                                          AudioDevicePropertyID property, UInt32* outSize,
                                          Boolean* outWritable) {
    return ZrAsioDriver::fromRef(self)->onDeviceGetPropertyInfo(device, channel, isInput, property,
                                                                outSize, outWritable);
}

OSStatus AudioDriverDeviceGetProperty(AudioHardwarePlugInRef self, AudioDeviceID device,
                                      UInt32 channel, Boolean isInput,
                                      AudioDevicePropertyID property, UInt32* ioSize,
                                      void* outData) {
    return ZrAsioDriver::fromRef(self)->onDeviceGetProperty(device, channel, isInput, property,
                                                            ioSize, outData);
}

OSStatus AudioDriverDeviceSetProperty(AudioHardwarePlugInRef self, AudioDeviceID device,
                                      const AudioTimeStamp* when, UInt32 channel, Boolean isInput,
                                      AudioDevicePropertyID property, UInt32 size,
                                      const void* data) {
    return ZrAsioDriver::fromRef(self)->onDeviceSetProperty(device, when, channel, isInput,
                                                            property, size, data);
}

OSStatus AudioDriverStreamGetPropertyInfo(AudioHardwarePlugInRef self, AudioStreamID stream,
                                          UInt32 channel, AudioDevicePropertyID property,
                                          UInt32* outSize, Boolean* outWritable) {
    return ZrAsioDriver::fromRef(self)->onStreamGetPropertyInfo(stream, channel, property, outSize,
                                                                outWritable);
}

OSStatus AudioDriverStreamGetProperty(AudioHardwarePlugInRef self, AudioStreamID stream,
                                      UInt32 channel, AudioDevicePropertyID property,
                                      UInt32* ioSize, void* outData) {
    return ZrAsioDriver::fromRef(self)->onStreamGetProperty(stream, channel, property, ioSize,
                                                            outData);
}

OSStatus AudioDriverStreamSetProperty(AudioHardwarePlugInRef self, AudioStreamID stream,
                                      const AudioTimeStamp* when, UInt32 channel,
                                      AudioDevicePropertyID property, UInt32 size,
                                      const void* data) {
    return ZrAsioDriver::fromRef(self)->onStreamSetProperty(stream, when, channel, property, size,
                                                            data);
}

OSStatus AudioDriverDeviceStartAtTime(AudioHardwarePlugInRef self, AudioDeviceID device,
                                      AudioDeviceIOProc procOrID, AudioTimeStamp* time,
                                      UInt32 flags) {
    return ZrAsioDriver::fromRef(self)->onDeviceStartAtTimeProcOrID(device, procOrID, time, flags);
}

OSStatus AudioDriverDeviceGetNearestStartTime(AudioHardwarePlugInRef self, AudioDeviceID device,
                                              AudioTimeStamp* time, UInt32 flags) {
    return ZrAsioDriver::fromRef(self)->onDeviceGetNearestStartTime(device, time, flags);
}

OSStatus AudioDriverInitializeWithObjectID(AudioHardwarePlugInRef self, AudioObjectID objectID) {
    return ZrAsioDriver::fromRef(self)->onInitializeWithObjectID(objectID);
}

void AudioDriverObjectShow(AudioHardwarePlugInRef self, AudioObjectID objectID) {
    ZrAsioDriver::fromRef(self)->onObjectShow(objectID);
}

Boolean AudioDriverObjectHasProperty(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                     const AudioObjectPropertyAddress* address) {
    return ZrAsioDriver::fromRef(self)->onObjectHasProperty(objectID, address);
}

OSStatus AudioDriverObjectIsPropertySettable(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                             const AudioObjectPropertyAddress* address,
                                             Boolean* outSettable) {
    return ZrAsioDriver::fromRef(self)->onObjectIsPropertySettable(objectID, address, outSettable);
}

OSStatus AudioDriverObjectGetPropertyDataSize(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                              const AudioObjectPropertyAddress* address,
                                              UInt32 qualifierSize, const void* qualifier,
                                              UInt32* outSize) {
    return ZrAsioDriver::fromRef(self)->onObjectGetPropertyDataSize(
        objectID, address, qualifierSize, qualifier, outSize);
}

OSStatus AudioDriverObjectGetPropertyData(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                          const AudioObjectPropertyAddress* address,
                                          UInt32 qualifierSize, const void* qualifier,
                                          UInt32* ioSize, void* outData) {
    return ZrAsioDriver::fromRef(self)->onObjectGetPropertyData(objectID, address, qualifierSize,
                                                                qualifier, ioSize, outData);
}

OSStatus AudioDriverObjectSetPropertyData(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                          const AudioObjectPropertyAddress* address,
                                          UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                          const void* data) {
    return ZrAsioDriver::fromRef(self)->onObjectSetPropertyData(objectID, address, qualifierSize,
                                                                qualifier, size, data);
}

OSStatus AudioDriverDeviceCreateIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device,
                                         AudioDeviceIOProc proc, void* clientData,
                                         AudioDeviceIOProcID* outID) {
    return ZrAsioDriver::fromRef(self)->onDeviceCreateIOProcID(device, proc, clientData, outID);
}

OSStatus AudioDriverDeviceDestroyIOProcID(AudioHardwarePlugInRef self, AudioDeviceID device,
                                          AudioDeviceIOProcID procID) {
    return ZrAsioDriver::fromRef(self)->onDeviceDestroyIOProcID(device, procID);
}

} // namespace

const AudioHardwarePlugInInterface ZrAsioDriver::sTable = {
    nullptr,
    AudioDriverQueryInterface,
    AudioDriverAddRef,
    AudioDriverRelease,
    AudioDriverInitialize,
    AudioDriverTeardown,
    AudioDriverDeviceAddIOProc,
    AudioDriverDeviceRemoveIOProc,
    AudioDriverDeviceStart,
    AudioDriverDeviceStop,
    AudioDriverDeviceRead,
    AudioDriverDeviceGetCurrentTime,
    AudioDriverDeviceTranslateTime,
    AudioDriverDeviceGetPropertyInfo,
    AudioDriverDeviceGetProperty,
    AudioDriverDeviceSetProperty,
    AudioDriverStreamGetPropertyInfo,
    AudioDriverStreamGetProperty,
    AudioDriverStreamSetProperty,
    AudioDriverDeviceStartAtTime,
    AudioDriverDeviceGetNearestStartTime,
    AudioDriverInitializeWithObjectID,
    AudioDriverObjectShow,
    AudioDriverObjectHasProperty,
    AudioDriverObjectIsPropertySettable,
    AudioDriverObjectGetPropertyDataSize,
    AudioDriverObjectGetPropertyData,
    AudioDriverObjectSetPropertyData,
    AudioDriverDeviceCreateIOProcID,
    AudioDriverDeviceDestroyIOProcID,
};

// The bundle's one exported function: the factory of the HAL plug-in type.
extern "C" __attribute__((visibility("default"))) void* CreateAudio(CFAllocatorRef,
                                                                    CFUUIDRef requestedType) {
    syslog(LOG_WARNING, "Enter CreateAudio\n");
    if (!CFEqual(requestedType, kAudioHardwarePlugInTypeID)) {
        syslog(LOG_WARNING, "CreateAudio failed\n");
        return nullptr;
    }
    Core::init("HAL-Plugin");
    char name[17];
    if (!GetProcessNameFromPID(getpid(), name)) {
        syslog(LOG_WARNING, "No process dectected\n");
        syslog(LOG_WARNING, "CreateAudio failed\n");
        return nullptr;
    }
    syslog(LOG_WARNING, "CreateAudio: CurrentprocessName %s %s\n", name, kServiceClass);
    return (new ZrAsioDriver(requestedType))->plugin();
}

ZrAsioDriver::ZrAsioDriver(CFUUIDRef plugInUUID)
    : mInterface(const_cast<AudioHardwarePlugInInterface*>(&sTable)),
      mPlugInUUID(static_cast<CFUUIDRef>(CFRetain(plugInUUID))) {
    CFPlugInAddInstanceForFactory(mPlugInUUID);
}

ZrAsioDriver::~ZrAsioDriver() {
    if (mPlugInUUID) CFPlugInRemoveInstanceForFactory(mPlugInUUID);
    onTeardown();
    if (mPlugInUUID) CFRelease(mPlugInUUID);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
ZrAsioDriver* ZrAsioDriver::fromRef(void* ref) {
    return reinterpret_cast<ZrAsioDriver*>(static_cast<char*>(ref) -
                                           offsetof(ZrAsioDriver, mInterface));
}
#pragma GCC diagnostic pop

ULONG ZrAsioDriver::retain() {
    return ++mRefCount;
}

ULONG ZrAsioDriver::release() {
    const ULONG count = --mRefCount;
    if (count == 0) delete this;
    return count;
}

OSStatus ZrAsioDriver::onInitialize(UInt32) {
    if (mManager) return 0;
    mManager = new OSXDeviceManager(plugin(), this, true);
    if (mManager->clientAppType() == kClientAudioServer && GetMacOSRelease() > 12) {
        syslog(LOG_ERR, "Client coreaudiod, exit\n");
        return kAudioHardwareUnspecifiedError;
    }
    mManager->enableCallbacks();
    return 0;
}

OSStatus ZrAsioDriver::onInitializeWithObjectID(UInt32 objectID) {
    return onInitialize(objectID);
}

OSStatus ZrAsioDriver::onTeardown() {
    // A second, through the platform clock (virtual time in tests).
    hx::clock::sleepFor(1000000000ull);
    // No device announces its death: callbacks that still come while the
    // manager goes only take devices out of the list.
    mTearingDown = true;
    ZrCollection dropped;
    takeDeviceList(dropped); // their IDs cleared
    dropped.removeAll();
    {
        // The manager's lock may be held by the main run loop's thread
        // through a timed pause (a publication): waiting for it must not
        // hold the platform clock still.
        hx::clock::Idle idle;
        delete mManager;
    }
    mManager = nullptr;
    takeDeviceList(dropped);
    dropped.removeAll();
    mTearingDown = false;
    return 0;
}

void ZrAsioDriver::onObjectShow(UInt32) {}
