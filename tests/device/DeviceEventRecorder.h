// What a device manager told its client, in order: the device-layer tests
// in process and over the process transport read the same record.
#pragma once

#include <string>
#include <vector>

#include "device/DeviceManagerClient.h"

namespace devicetest {

struct DeviceEventRecorder : DeviceManagerClient {
    void deviceRemoved(ZrOSXDevice* d) override {
        events.push_back("removed"), devices.push_back(d);
    }
    void deviceAdded(ZrOSXDevice* d) override { events.push_back("added"), devices.push_back(d); }
    void deviceWillBeRemoved(ZrOSXDevice* d) override {
        events.push_back("willBeRemoved"), devices.push_back(d);
    }
    std::vector<std::string> events;
    std::vector<ZrOSXDevice*> devices;
};

using Events = std::vector<std::string>;

} // namespace devicetest
