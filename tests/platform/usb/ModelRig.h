// A multi-channel device model on the simulated bus, on the virtual clock:
// configured, the given interfaces on the given alternates; pipes by
// address. And a small transfer driver for bulk and interrupt pipes that
// keeps transfers queued, resubmitting from their completions.
#pragma once

#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "tests/support/ConfiguredBusDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace usbtest {

struct ModelRig {
    hx::clock::VirtualClock clock;
    std::shared_ptr<hx::usb::DeviceModel> model;
    hx::usb::Bus bus{hx::usb::BusOptions{0x2000, 2, 2}};
    IOUSBHostDevice* device = nullptr;
    std::vector<IOUSBHostInterface*> interfaces;
    std::vector<IOUSBHostPipe*> pipes;

    // `alternates`: interface number -> alternate to select.
    ModelRig(std::shared_ptr<hx::usb::DeviceModel> m, std::map<uint8_t, uint8_t> alternates)
        : model(std::move(m)) {
        hxtest::ConfiguredBusDevice d = hxtest::plugConfigured(bus, model);
        device = d.device;
        interfaces = d.interfaces;
        if (!d) return;
        for (auto [number, alt] : alternates) {
            if (number >= interfaces.size()) {
                ADD_FAILURE() << "no interface " << int(number);
                continue;
            }
            EXPECT_EQ(interfaces[number]->selectAlternateSetting(alt), kIOReturnSuccess);
        }
    }
    // The pipe of an endpoint on an interface (retained by the rig).
    IOUSBHostPipe* pipe(uint8_t interface, uint8_t address) {
        if (interface >= interfaces.size()) return nullptr;
        IOUSBHostPipe* p = interfaces[interface]->copyPipe(address);
        if (p) pipes.push_back(p);
        return p;
    }
    ~ModelRig() {
        for (auto* p : pipes)
            p->release();
        OSSafeReleaseNULL(device);
    }
};

// A small transfer driver: keeps `depth` transfers of `length` bytes queued
// on one pipe, resubmitting from the completion, and hands every completed
// buffer to `onDone` (under its lock).
struct Chain {
    IOUSBHostPipe* pipe = nullptr;
    uint32_t length = 0;
    uint32_t timeoutMs = 0;
    std::function<void(uint8_t*, uint32_t, IOReturn)> onDone;
    std::function<void(uint8_t*)> fill; // OUT: fills a buffer before it goes
    std::mutex m;
    std::vector<IOBufferMemoryDescriptor*> buffers;
    std::vector<IOReturn> statuses;
    std::atomic<bool> stopped{false};

    struct Slot {
        Chain* chain;
        IOBufferMemoryDescriptor* md;
    };
    std::vector<std::unique_ptr<Slot>> slots;

    void start(unsigned depth) {
        for (unsigned i = 0; i < depth; ++i) {
            auto* md = IOBufferMemoryDescriptor::withCapacity(length, kIODirectionInOut);
            buffers.push_back(md);
            slots.push_back(std::make_unique<Slot>(Slot{this, md}));
            submit(slots.back().get());
        }
    }
    void submit(Slot* s) {
        auto* bytes = static_cast<uint8_t*>(s->md->kernelAddress());
        if (fill) fill(bytes);
        IOUSBHostCompletion c{this, &Chain::done, s};
        ASSERT_EQ(pipe->io(s->md, length, &c, timeoutMs), kIOReturnSuccess);
    }
    static void done(void* owner, void* parameter, IOReturn status, uint32_t transferred) {
        auto* chain = static_cast<Chain*>(owner);
        auto* slot = static_cast<Slot*>(parameter);
        {
            std::lock_guard<std::mutex> g(chain->m);
            chain->statuses.push_back(status);
            if (chain->onDone)
                chain->onDone(static_cast<uint8_t*>(slot->md->kernelAddress()), transferred,
                              status);
        }
        if (status == kIOReturnSuccess && !chain->stopped) chain->submit(slot);
    }
    ~Chain() {
        for (auto* b : buffers)
            b->release();
    }
};

} // namespace usbtest
