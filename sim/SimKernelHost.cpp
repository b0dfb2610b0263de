#include "sim/SimKernelHost.h"

#include <csignal>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/MacErrors.h"
#include "platform/iokit/KernelHost.h"
#include "platform/kern/IOService.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace hx::sim {

namespace {

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

// Machine control over the booted harness: more HX-5100s on the bus, unplugs
// (the device plugged last first), the model's figures, request delays.
class HarnessControl final : public hx::iokit::MachineControl {
public:
    explicit HarnessControl(hx::harness::ClientHarness& h) : mHarness(h) {
        mPorts.push_back(h.port());
    }

    IOReturn plug() override {
        std::lock_guard<std::mutex> g(mLock);
        const auto& o = mHarness.options();
        char serial[16];
        std::snprintf(serial, sizeof serial, "SN%04zu", mPorts.size() + 1);
        hx::usb::devices::HX5100Identity id{kKorvexVendorID, o.productID,  0x0100,
                                            "KORVEX AUDIO",  "HX5100 USB", serial};
        auto model = std::make_shared<hx::usb::devices::HX5100Model>(
            o.highSpeed ? kUSBHostConnectionSpeedHigh : kUSBHostConnectionSpeedFull, id);
        const uint8_t port = mHarness.bus()->plug(model);
        if (!port) return kIOReturnNoResources;
        mModels.push_back(model);
        mPorts.push_back(port);
        return kIOReturnSuccess;
    }

    IOReturn unplug() override {
        std::lock_guard<std::mutex> g(mLock);
        if (mPorts.empty()) return kIOReturnNoDevice;
        mHarness.bus()->unplug(mPorts.back());
        mPorts.pop_back();
        return kIOReturnSuccess;
    }

    std::string statistics() override {
        const auto s = mHarness.model()->streamStats();
        char text[256];
        std::snprintf(text, sizeof text,
                      "outFrames %llu\ninFramesSent %llu\ninFramesLost %llu\nframesDropped %llu\n"
                      "framesRepeated %llu\nplayedFrames %llu\n",
                      (unsigned long long)s.outFrames, (unsigned long long)s.inFramesSent,
                      (unsigned long long)s.inFramesLost, (unsigned long long)s.framesDropped,
                      (unsigned long long)s.framesRepeated, (unsigned long long)s.playedFrames);
        return text;
    }

    // "control-delay-ms": the first device's control requests answer this
    // much later (0 clears every fault).
    IOReturn fault(const std::string& name, uint64_t value) override {
        if (name != "control-delay-ms" || value > 60000) return kIOReturnUnsupported;
        hx::usb::Bus* bus = mHarness.bus();
        bus->clearFaults(mHarness.port());
        if (value)
            bus->addFault(mHarness.port(), hx::usb::RequestMatch{},
                          hx::usb::Fault::delay(uint32_t(value)));
        return kIOReturnSuccess;
    }

private:
    hx::harness::ClientHarness& mHarness;
    std::mutex mLock;
    std::vector<uint8_t> mPorts;
    std::vector<std::shared_ptr<hx::usb::devices::HX5100Model>> mModels;
};

} // namespace

int runKernelHost(const std::string& socketPath, const Options& o) {
    hx::harness::HarnessOptions ho;
    ho.highSpeed = o.speed == Speed::High;
    ho.ppm = o.ppm;
    ho.loopback = true;
    ho.clockMode = hx::harness::ClockMode::Paced;
    ho.rate = o.rate;
    ho.dropFrameAt = o.dropFrame;
    ho.repeatFrameAt = o.repeatFrame;
    hx::harness::ClientHarness machine(ho);
    if (!machine.boot()) {
        std::fprintf(stderr, "hxsim: the machine did not boot: %s\n", machine.lastError().c_str());
        return 1;
    }
    HarnessControl control(machine);
    const std::string path = hx::path::map(socketPath);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    hx::iokit::KernelHost host(path, &control);
    std::string error;
    if (!host.start(error)) {
        std::fprintf(stderr, "hxsim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::printf("kernel host ready at %s\n", path.c_str());
    std::fflush(stdout);
    // The main thread takes part in the machine's time: it waits on the
    // clock, so the paced machine runs while it waits.
    while (!gStop)
        hx::clock::sleepFor(20000000);
    host.stop();
    return 0;
}

} // namespace hx::sim
