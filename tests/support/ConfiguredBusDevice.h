// A device model plugged into a simulated bus and set to its first
// configuration: the device and its interfaces in the configuration's order,
// as a driver finds them before it selects alternates. The test rigs that
// talk to a model's pipes directly start from here.
#pragma once

#include "platform/usb/USBBus.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace hxtest {

struct ConfiguredBusDevice {
    IOUSBHostDevice* device = nullptr; // retained; null when a step failed
    std::vector<IOUSBHostInterface*> interfaces;

    // Whether every step worked (a failed step is reported as a test failure).
    explicit operator bool() const { return device != nullptr; }
};

// Plugs `model` on `port`, copies its device and sets configuration 1. A step
// that fails is reported and leaves the device null.
inline ConfiguredBusDevice
plugConfigured(hx::usb::Bus& bus, std::shared_ptr<hx::usb::DeviceModel> model, uint8_t port = 1) {
    ConfiguredBusDevice d;
    bus.plug(std::move(model), port);
    d.device = bus.copyDevice(port);
    if (!d.device) {
        ADD_FAILURE() << "no device on port " << int(port);
        return d;
    }
    const IOReturn configured = d.device->setConfiguration(1, false);
    if (configured != kIOReturnSuccess) {
        ADD_FAILURE() << "configuration 1 was refused: 0x" << std::hex << configured;
        OSSafeReleaseNULL(d.device);
        return d;
    }
    OSIterator* it = d.device->getClientIterator();
    while (OSObject* o = it->getNextObject())
        if (auto* i = OSDynamicCast(IOUSBHostInterface, o)) d.interfaces.push_back(i);
    it->release();
    return d;
}

} // namespace hxtest
