// An HX-5100 on the simulated bus, on the virtual clock, configured with
// both streaming interfaces on alternate 1: its playback and capture pipes
// and a buffer for frame lists. A setup step that fails is reported and
// leaves the pipes null, so a test asserts on them before use.
#pragma once

#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "tests/support/ConfiguredBusDevice.h"
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace usbtest {

struct Rig {
    hx::clock::VirtualClock clock;
    std::shared_ptr<hx::usb::devices::HX5100Model> model;
    hx::usb::Bus bus;
    IOUSBHostDevice* device = nullptr;
    IOUSBHostPipe* in = nullptr;
    IOUSBHostPipe* out = nullptr;
    IOBufferMemoryDescriptor* buffer = nullptr;

    static constexpr hx::usb::BusOptions kOptions{0xFFFFFFF0ull, 2, 2};

    explicit Rig(uint8_t speed, hx::usb::BusOptions options = kOptions,
                 uint32_t bufferBytes = 32768)
        : Rig(std::make_shared<hx::usb::devices::HX5100Model>(speed,
                                                              hx::usb::devices::hx5100Identity()),
              options, bufferBytes) {}

    Rig(std::shared_ptr<hx::usb::devices::HX5100Model> m, hx::usb::BusOptions options = kOptions,
        uint32_t bufferBytes = 32768)
        : model(std::move(m)), bus(options) {
        hxtest::ConfiguredBusDevice d = hxtest::plugConfigured(bus, model);
        device = d.device;
        if (!d) return;
        const std::vector<IOUSBHostInterface*>& intf = d.interfaces;
        if (intf.size() < 3) {
            ADD_FAILURE() << "the configuration has " << intf.size() << " interfaces";
            return;
        }
        EXPECT_EQ(intf[1]->selectAlternateSetting(1), kIOReturnSuccess);
        EXPECT_EQ(intf[2]->selectAlternateSetting(1), kIOReturnSuccess);
        out = intf[1]->copyPipe(0x01);
        in = intf[2]->copyPipe(0x82);
        buffer = IOBufferMemoryDescriptor::withCapacity(bufferBytes, kIODirectionInOut);
    }
    ~Rig() {
        OSSafeReleaseNULL(in);
        OSSafeReleaseNULL(out);
        OSSafeReleaseNULL(buffer);
        OSSafeReleaseNULL(device);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
};

} // namespace usbtest
