#include "device/OSXDeviceManager.h"

#include <cstring>
#include <unistd.h>

#include "abi/ServiceClass.h"
#include "device/MutexLockedSection.h"
#include "platform/base/HXClock.h"

namespace {

constexpr uint64_t kPublishPauseNanos = 100'000'000; // devices settle before they are opened

} // namespace

OSXDeviceManager::OSXDeviceManager(void* plugIn, DeviceManagerClient* client, bool deferred)
    : mDeferred(deferred), mPlugIn(plugIn), mClient(client) {
    char name[17] = {};
    if (GetProcessNameFromPID(::getpid(), name)) mClientAppType = ClientAppType(name);
    mRunLoop = CFRunLoopGetMain();
    if (mRunLoop) CFRetain(mRunLoop);
    mMatching = IOServiceMatching(kZrServiceClassName);
    if (IOMasterPort(bootstrap_port, &mMasterPort) != KERN_SUCCESS || !mMasterPort) return;
    if (!mRunLoop) {
        ScanServices();
        return;
    }
    mNotifyPort = IONotificationPortCreate(mMasterPort);
    if (!mNotifyPort) return;
    mSource = IONotificationPortGetRunLoopSource(mNotifyPort);
    if (!mSource) return;
    CFRunLoopAddSource(mRunLoop, mSource, kCFRunLoopDefaultMode);
    // Each registration consumes one retain of the matching dictionary.
    CFRetain(mMatching);
    if (IOServiceAddMatchingNotification(mNotifyPort, kIOPublishNotification, mMatching, published,
                                         this, &mPublishIterator) != KERN_SUCCESS)
        return;
    CFRetain(mMatching);
    if (IOServiceAddMatchingNotification(mNotifyPort, kIOTerminatedNotification, mMatching,
                                         terminated, this, &mTerminateIterator) != KERN_SUCCESS)
        return;
    mArmed = true;
    ScanServices();
}

OSXDeviceManager::~OSXDeviceManager() {
    {
        MutexLockedSection lock(&mLock);
        while (mDevices.count() > 0)
            removeDevice(static_cast<ZrOSXDevice*>(mDevices.atPos(0)));
    }
    if (mRunLoop && mSource) CFRunLoopRemoveSource(mRunLoop, mSource, kCFRunLoopDefaultMode);
    if (mPublishIterator) IOObjectRelease(mPublishIterator);
    if (mTerminateIterator) IOObjectRelease(mTerminateIterator);
    if (mMasterPort) mach_port_deallocate(mach_task_self(), mMasterPort);
    if (mMatching) CFRelease(mMatching);
    if (mNotifyPort) IONotificationPortDestroy(mNotifyPort);
    if (mRunLoop) CFRelease(mRunLoop);
}

int OSXDeviceManager::getCountDevices() {
    MutexLockedSection lock(&mLock);
    return mDeferred ? 0 : mDevices.count();
}

ZrOSXDevice* OSXDeviceManager::getDevice(int index) {
    MutexLockedSection lock(&mLock);
    if (mDeferred || index < 0 || index >= mDevices.count()) return nullptr;
    return static_cast<ZrOSXDevice*>(mDevices.atPos(index));
}

ZrOSXDevice* OSXDeviceManager::getDeviceFromService(io_service_t service) {
    MutexLockedSection lock(&mLock);
    for (int i = 0; i < mDevices.count(); ++i) {
        auto* d = static_cast<ZrOSXDevice*>(mDevices.atPos(i));
        if (d->ioGetService() == service) return d;
    }
    return nullptr;
}

int OSXDeviceManager::getDeviceIndex(ZrOSXDevice* device) {
    MutexLockedSection lock(&mLock);
    return mDevices.findSameIndex(device);
}

void OSXDeviceManager::enableCallbacks() {
    MutexLockedSection lock(&mLock);
    if (!mDeferred) return;
    mDeferred = false;
    for (int i = 0; i < mDevices.count(); ++i)
        if (mClient) mClient->deviceAdded(static_cast<ZrOSXDevice*>(mDevices.atPos(i)));
}

void OSXDeviceManager::removeDevice(ZrOSXDevice* device) {
    MutexLockedSection lock(&mLock);
    if (!device || mDevices.findSameIndex(device) < 0) return;
    device->incReferences();
    if (!mDeferred && mClient) mClient->deviceWillBeRemoved(device);
    mDevices.remove(device);
    device->willBeRemoved();
    if (!mDeferred && mClient) mClient->deviceRemoved(device);
    device->decReferences();
}

void OSXDeviceManager::ScanServices() {
    MutexLockedSection lock(&mLock);
    if (!mMasterPort) return;
    if (mArmed) {
        mArmed = false;
        ServicesPublished(mPublishIterator);
        ServicesTerminated(mTerminateIterator);
        return;
    }
    io_iterator_t iterator = 0;
    CFRetain(mMatching);
    if (IOServiceGetMatchingServices(mMasterPort, mMatching, &iterator) == KERN_SUCCESS) {
        ServicesPublished(iterator);
        notifyNewDevice(0);
        IOObjectRelease(iterator);
    }
}

void OSXDeviceManager::published(void* refcon, io_iterator_t iterator) {
    static_cast<OSXDeviceManager*>(refcon)->ServicesPublished(iterator);
}

void OSXDeviceManager::terminated(void* refcon, io_iterator_t iterator) {
    static_cast<OSXDeviceManager*>(refcon)->ServicesTerminated(iterator);
}

void OSXDeviceManager::ServicesPublished(io_iterator_t iterator) {
    MutexLockedSection lock(&mLock);
    hx::clock::sleepFor(kPublishPauseNanos);
    while (io_service_t service = IOIteratorNext(iterator)) {
        notifyNewDevice(service);
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::ServicesTerminated(io_iterator_t iterator) {
    MutexLockedSection lock(&mLock);
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (ZrOSXDevice* device = getDeviceFromService(service)) removeDevice(device);
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::notifyNewDevice(io_service_t service) {
    MutexLockedSection lock(&mLock);
    auto* device = new ZrOSXDevice(mPlugIn, mClient, service, this);
    device->incReferences();
    if (!device->init()) {
        device->decReferences();
        return;
    }
    mDevices.add(device);
    device->decReferences(); // the list holds it now
    if (mNotifyPort)
        IOServiceAddInterestNotification(mNotifyPort, service, kIOGeneralInterest,
                                         ZrOSXDevice::serviceInterest, device,
                                         device->interestNotification());
    if (!mDeferred && mClient) mClient->deviceAdded(device);
}
