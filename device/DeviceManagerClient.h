// What a host of the device manager hears: devices coming and going, and the
// device-level changes the device objects report. The manager calls
// deviceAdded after a device was initialised and listed, deviceWillBeRemoved
// before it leaves the list and deviceRemoved after it left; none of them
// while its callbacks are deferred.
#pragma once

#include <cstdint>

class ZrOSXDevice;
struct QN_StateChange;

class DeviceManagerClient {
public:
    virtual ~DeviceManagerClient() = default;
    virtual void deviceRemoved(ZrOSXDevice* device) = 0;
    virtual void deviceAdded(ZrOSXDevice* device) = 0;
    virtual void onFramesizeChanged(ZrOSXDevice*) {}
    virtual void onLatencyChanged(ZrOSXDevice*) {}
    virtual void onFormatChanged(ZrOSXDevice*) {}
    virtual void onFrequencyChanged(ZrOSXDevice*) {}
    virtual void onVolumeChanged(ZrOSXDevice*) {}
    virtual void onMuteChanged(ZrOSXDevice*) {}
    virtual void onMonitorChanged(ZrOSXDevice*) {}
    virtual void onDataSourceChanged(ZrOSXDevice*) {}
    virtual void onDeviceStopped(ZrOSXDevice*) {}
    virtual void onOtherClientAttached(ZrOSXDevice*) {}
    virtual void onOtherClientDetached(ZrOSXDevice*) {}
    virtual void onQN_StateChange(ZrOSXDevice*, const QN_StateChange*) {}
    virtual void deviceWillBeRemoved(ZrOSXDevice* device) = 0;
};
