#include "apps/helper/HALBridge.h"

#include <syslog.h>

#include "device/OSXDeviceManager.h"
#include "device/ProcessNames.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/HXLog.h"

HALBridge::HALBridge() {
    mManager = new OSXDeviceManager(nullptr, this, false);
    mManager->setClientAppType(kClientHelperApp);
    if (mManager->getCountDevices() == 0) syslog(LOG_NOTICE, "No device connected yet\n");
    selectDriver(0);
}

HALBridge::~HALBridge() {
    if (mDevice) {
        mDevice->closeDevice();
        mDevice->decReferences();
        mDevice = nullptr;
    }
    delete mManager;
}

void HALBridge::deviceRemoved(ZrOSXDevice*) {
    mDeviceListChanged = true;
}

void HALBridge::deviceAdded(ZrOSXDevice*) {
    mDeviceListChanged = true;
}

void HALBridge::selectDriver(int index) {
    ZrOSXDevice* device = mManager ? mManager->getDevice(index) : nullptr;
    if (mDevice && mDevice == device) return;
    if (device) {
        // Asked for their effect on the connection; the answers are not kept.
        device->getVersionUSB();
        device->getVersionHAL();
    }
    if (mDevice) {
        mDevice->closeDevice();
        mDevice->decReferences();
        mDevice = nullptr;
    }
    mDevice = device;
    if (mDevice) mDevice->incReferences();
}
