// Finds the kernel driver's device services, makes one device object for
// each, keeps them in arrival order and tells its client when devices come
// and go. It also classifies the process it runs in (ClientAppType).
#pragma once

#include <mutex>

#include "device/DeviceManagerClient.h"
#include "device/ProcessNames.h"
#include "device/ZrOSXDevice.h"
#include "libs/tools/ZrCollection.h"
#include "platform/iokit/IOKitLib.h"

class OSXDeviceManager {
public:
    OSXDeviceManager(void* plugIn, DeviceManagerClient* client, bool deferred);
    ~OSXDeviceManager();
    OSXDeviceManager(const OSXDeviceManager&) = delete;
    OSXDeviceManager& operator=(const OSXDeviceManager&) = delete;

    int getCountDevices();
    ZrOSXDevice* getDevice(int index);
    ZrOSXDevice* getDeviceFromService(io_service_t service);
    int getDeviceIndex(ZrOSXDevice* device);
    void enableCallbacks();
    void removeDevice(ZrOSXDevice* device);
    void ScanServices();

    int clientAppType() const { return mClientAppType; }
    // The host names its own type (the helper application is 17).
    void setClientAppType(int type) { mClientAppType = type; }
    bool IsControlPanelOrAudioSetup() const { return mClientAppType == 1 || mClientAppType == 2; }
    bool allowCurrentSROnly() const { return mClientAppType == 4; }
    bool notificationsArmed() const { return mArmed; }

private:
    static void published(void* refcon, io_iterator_t iterator);
    static void terminated(void* refcon, io_iterator_t iterator);
    void ServicesPublished(io_iterator_t iterator);
    void ServicesTerminated(io_iterator_t iterator);
    void notifyNewDevice(io_service_t service);

    std::recursive_mutex mLock;
    bool mDeferred;
    void* mPlugIn;
    DeviceManagerClient* mClient;
    ZrCollection mDevices;
    CFRunLoopRef mRunLoop = nullptr;
    CFRunLoopSourceRef mSource = nullptr;
    mach_port_t mMasterPort = 0;
    IONotificationPortRef mNotifyPort = nullptr;
    io_iterator_t mPublishIterator = 0;
    io_iterator_t mTerminateIterator = 0;
    bool mArmed = false;
    CFMutableDictionaryRef mMatching = nullptr;
    int mClientAppType = kClientOther;
};
