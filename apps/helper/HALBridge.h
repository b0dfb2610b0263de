// The helper's device-manager client: runs the shared device manager as the
// helper application (client type 17) and holds one of its devices, so the
// device layer's state-change handler runs in this process.
#pragma once

#include "device/DeviceManagerClient.h"

class OSXDeviceManager;
class ZrOSXDevice;

class HALBridge : public DeviceManagerClient {
public:
    HALBridge();
    ~HALBridge() override;
    HALBridge(const HALBridge&) = delete;
    HALBridge& operator=(const HALBridge&) = delete;

    void deviceRemoved(ZrOSXDevice* device) override;
    void deviceAdded(ZrOSXDevice* device) override;
    void deviceWillBeRemoved(ZrOSXDevice*) override {}

    void selectDriver(int index);

    OSXDeviceManager* manager() const { return mManager; }
    ZrOSXDevice* selectedDevice() const { return mDevice; }

private:
    bool mDeviceListChanged = false; // kept for nobody, as the list's owner does
    OSXDeviceManager* mManager = nullptr;
    ZrOSXDevice* mDevice = nullptr;
};
