// Discovery: matching notifications on the class name given to qnapiInit,
// the list of devices, and the events reported to the one callback.
#include "api/QuarnelDriverAPI.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

#include <cstring>
#include <syslog.h>

namespace {

// The pause before the services of a publish are taken: the kernel service
// finishes its start while the notification is already on its way.
constexpr uint64_t kPublishPauseNanos = 100'000'000;

USBDevice* qnapiDeviceMap[kQnapiMaxDevices];
int qnapiNumDevices = 0;
QNAPI_Callback _qnapiCallbackFunction = nullptr;
void* qnapiCallbackContext = nullptr;
GUID _TheGuid;
CFRunLoopRef _qnapiRunLoop = nullptr;
mach_port_t _qnapiMasterDevicePort = 0;
IONotificationPortRef _qnapiNotifyPort = nullptr;
CFRunLoopSourceRef _qnapiRunLoopSource = nullptr;
io_iterator_t _qnapiServicePublishIterator = 0;
io_iterator_t mServiceTerminateIterator = 0;
bool mIteratorsNeedEmptying = false;
CFMutableDictionaryRef mMatchingDict = nullptr;

// Installs both matching notifications on a new port; false at the first
// step that fails.
bool installNotifications() {
    _qnapiNotifyPort = IONotificationPortCreate(_qnapiMasterDevicePort);
    if (!_qnapiNotifyPort) return false;
    _qnapiRunLoopSource = IONotificationPortGetRunLoopSource(_qnapiNotifyPort);
    if (!_qnapiRunLoopSource) return false;
    CFRunLoopAddSource(_qnapiRunLoop, _qnapiRunLoopSource, kCFRunLoopDefaultMode);
    // Each notification consumes one reference of the dictionary.
    CFRetain(mMatchingDict);
    if (IOServiceAddMatchingNotification(_qnapiNotifyPort, kIOPublishNotification, mMatchingDict,
                                         ServicePublishCallback, nullptr,
                                         &_qnapiServicePublishIterator) != KERN_SUCCESS)
        return false;
    CFRetain(mMatchingDict);
    return IOServiceAddMatchingNotification(_qnapiNotifyPort, kIOTerminatedNotification,
                                            mMatchingDict, ServiceTerminateCallback, nullptr,
                                            &mServiceTerminateIterator) == KERN_SUCCESS;
}

} // namespace

void _qnapiReport(USBDevice* device, QNAPI_CBEvent event) {
    if (_qnapiCallbackFunction) _qnapiCallbackFunction(qnapiCallbackContext, device, event);
}

void qnapiInit(QNAPI_Callback callback, void* context, const GUID& guid) {
    if (_qnapiMasterDevicePort) return;
    std::memset(qnapiDeviceMap, 0, sizeof qnapiDeviceMap);
    qnapiNumDevices = 0;
    _qnapiCallbackFunction = callback;
    qnapiCallbackContext = context;
    std::memcpy(&_TheGuid, &guid, sizeof _TheGuid);
    _TheGuid.name[sizeof _TheGuid.name - 1] = 0;
    _qnapiRunLoop = CFRunLoopGetCurrent();
    _qnapiNotifyPort = nullptr;
    _qnapiRunLoopSource = nullptr;
    _qnapiServicePublishIterator = 0;
    mServiceTerminateIterator = 0;
    mIteratorsNeedEmptying = false;
    if (mMatchingDict) CFRelease(mMatchingDict);
    mMatchingDict = IOServiceMatching(_TheGuid.name);
    if (IOMasterPort(bootstrap_port, &_qnapiMasterDevicePort) != KERN_SUCCESS) {
        _qnapiMasterDevicePort = 0;
        return;
    }
    if (_qnapiRunLoop) {
        if (!installNotifications()) return;
        mIteratorsNeedEmptying = true;
    }
    _qnapiScanServices();
}

void _qnapiScanServices() {
    if (!_qnapiMasterDevicePort) return;
    if (mIteratorsNeedEmptying) {
        mIteratorsNeedEmptying = false;
        ServicePublishCallback(nullptr, _qnapiServicePublishIterator);
        ServiceTerminateCallback(nullptr, mServiceTerminateIterator);
        return;
    }
    if (!mMatchingDict) return;
    CFRetain(mMatchingDict);
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(_qnapiMasterDevicePort, mMatchingDict, &iterator) !=
        KERN_SUCCESS)
        return;
    ServicePublishCallback(nullptr, iterator);
    IOObjectRelease(iterator);
}

void ServicePublishCallback(void*, io_iterator_t iterator) {
    hx::clock::sleepFor(kPublishPauseNanos);
    while (io_service_t service = IOIteratorNext(iterator)) {
        ServicePublished(service);
        IOObjectRelease(service);
    }
}

void ServicePublished(io_service_t service) {
    auto* device = new USBDevice(service);
    int slot = 0;
    while (slot < kQnapiMaxDevices && qnapiDeviceMap[slot])
        ++slot;
    if (slot == kQnapiMaxDevices) {
        // Neither listed nor watched: nobody could ever reach it.
        syslog(LOG_WARNING, "qnapi: device list full (%d devices), service not listed\n",
               kQnapiMaxDevices);
        device->retain();
        device->release();
        return;
    }
    qnapiDeviceMap[slot] = device;
    device->retain();
    io_object_t notification = 0;
    if (_qnapiNotifyPort &&
        IOServiceAddInterestNotification(_qnapiNotifyPort, service, kIOGeneralInterest,
                                         USBDevice::ServiceInterestCallback, device,
                                         &notification) == KERN_SUCCESS)
        device->setNotification(notification);
    _qnapiReport(device, QNAPI_CBEvent_DeviceAttached);
}

void ServiceTerminateCallback(void*, io_iterator_t iterator) {
    while (io_service_t service = IOIteratorNext(iterator)) {
        ServiceTerminated(service);
        IOObjectRelease(service);
    }
}

void ServiceTerminated(io_service_t service) {
    for (int slot = 0; slot < kQnapiMaxDevices; ++slot) {
        USBDevice* device = qnapiDeviceMap[slot];
        if (!device || device->getDeviceInstance() != service) continue;
        _qnapiReport(device, QNAPI_CBEvent_DeviceDetached);
        device->close();
        qnapiDeviceMap[slot] = nullptr;
        device->release();
        return;
    }
}

void _qnapiMarkAsRemoved(USBDevice* device) {
    for (int slot = 0; device && slot < kQnapiMaxDevices; ++slot) {
        if (qnapiDeviceMap[slot] != device) continue;
        qnapiDeviceMap[slot] = nullptr;
        _qnapiReport(device, QNAPI_CBEvent_DeviceDetached);
        device->close();
        device->release();
        return;
    }
    // Not listed: the reference it would drop belongs to a user.
}

void qnapiTerm() {
    if (_qnapiRunLoopSource && _qnapiRunLoop)
        CFRunLoopRemoveSource(_qnapiRunLoop, _qnapiRunLoopSource, kCFRunLoopDefaultMode);
    _qnapiRunLoopSource = nullptr;
    if (_qnapiServicePublishIterator) IOObjectRelease(_qnapiServicePublishIterator);
    if (mServiceTerminateIterator) IOObjectRelease(mServiceTerminateIterator);
    _qnapiServicePublishIterator = mServiceTerminateIterator = 0;
    if (_qnapiNotifyPort) IONotificationPortDestroy(_qnapiNotifyPort);
    _qnapiNotifyPort = nullptr;
    if (_qnapiMasterDevicePort) mach_port_deallocate(mach_task_self(), _qnapiMasterDevicePort);
    _qnapiMasterDevicePort = 0;
    if (mMatchingDict) CFRelease(mMatchingDict);
    mMatchingDict = nullptr;
    for (USBDevice*& device : qnapiDeviceMap) {
        if (!device) continue;
        device->close();
        USBDevice* gone = device;
        device = nullptr;
        gone->release();
    }
}
