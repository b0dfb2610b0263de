// IO procedures and timing: find the device, hand the call to it, map its
// answer. Procedures and IOProcIDs are passed on as given; the device
// matches them by identity against its own list.
#include "plugins/hal/ZrAsioDriver.h"

#include "device/ZrOSXDevice.h"
#include "platform/base/MacErrors.h"

namespace {

OSStatus mapResult(bool ok) {
    return ok ? 0 : kIOReturnError;
}

// Holds the look-up's reference for the duration of one call.
class Held {
public:
    explicit Held(ZrOSXDevice* device) : mDevice(device) {}
    ~Held() {
        if (mDevice) mDevice->decReferences();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ZrOSXDevice* operator->() const { return mDevice; }
    explicit operator bool() const { return mDevice != nullptr; }
    ZrOSXDevice* get() const { return mDevice; }

private:
    ZrOSXDevice* mDevice;
};

} // namespace

OSStatus ZrAsioDriver::onDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc,
                                         void* clientData) {
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    return mapResult(d->addIOProc(proc, clientData));
}

OSStatus ZrAsioDriver::onDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    return mapResult(d->removeIOProc(proc));
}

OSStatus ZrAsioDriver::onDeviceStartProcOrID(AudioDeviceID device, AudioDeviceIOProc procOrID) {
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    d->setStartingStream(true);
    const bool ok = d->onDeviceStartProcOrID(reinterpret_cast<void*>(procOrID));
    d->setStartingStream(false);
    return mapResult(ok);
}

OSStatus ZrAsioDriver::onDeviceStopProcOrID(AudioDeviceID device, AudioDeviceIOProc procOrID) {
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    return mapResult(d->onDeviceStopProcOrID(reinterpret_cast<void*>(procOrID)));
}

OSStatus ZrAsioDriver::onDeviceRead(AudioDeviceID, const AudioTimeStamp*, AudioBufferList*) {
    return kIOReturnError;
}

OSStatus ZrAsioDriver::onDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* stamp) {
    if (!stamp) return kIOReturnBadArgument;
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    return d->onDeviceGetCurrentTime(*stamp);
}

OSStatus ZrAsioDriver::onDeviceTranslateTime(AudioDeviceID, const AudioTimeStamp*,
                                             AudioTimeStamp*) {
    return kIOReturnError;
}

OSStatus ZrAsioDriver::onDeviceStartAtTimeProcOrID(AudioDeviceID, AudioDeviceIOProc,
                                                   AudioTimeStamp*, UInt32) {
    return kIOReturnError;
}

OSStatus ZrAsioDriver::onDeviceGetNearestStartTime(AudioDeviceID, AudioTimeStamp*, UInt32) {
    return kIOReturnError;
}

OSStatus ZrAsioDriver::onDeviceCreateIOProcID(AudioDeviceID device, AudioDeviceIOProc proc,
                                              void* clientData, AudioDeviceIOProcID* outID) {
    if (!outID || device == 0 || !proc) return kIOReturnBadArgument;
    *outID = nullptr;
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    IOProcEntry* entry = d->addIOProcID(proc, clientData);
    *outID = reinterpret_cast<AudioDeviceIOProcID>(entry);
    return entry ? 0 : kIOReturnError;
}

OSStatus ZrAsioDriver::onDeviceDestroyIOProcID(AudioDeviceID device, AudioDeviceIOProcID procID) {
    Held d(getDeviceAndRetain(device));
    if (!d) return kIOReturnNoDevice;
    return mapResult(d->removeIOProcID(reinterpret_cast<IOProcEntry*>(procID)));
}
