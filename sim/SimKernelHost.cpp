#include "sim/SimKernelHost.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/clients/harness/HarnessMachine.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/MacErrors.h"
#include "platform/iokit/HXIOKit.h"
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
    explicit HarnessControl(hx::harness::Machine& h) : mHarness(h) { mPorts.push_back(h.port()); }

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

    // The machine's facts: the driver's view and the first model's counts.
    std::string statistics() override { return hx::harness::formatMachineFacts(mHarness.facts()); }

    // "control-delay-ms": the first device's control requests answer this
    // much later (0 clears every fault). "fifo-lock": the client heard its
    // first sound, the model's FIFO figures count from here.
    IOReturn fault(const std::string& name, uint64_t value) override {
        if (name == "fifo-lock") {
            mHarness.model()->markFifoLock();
            return kIOReturnSuccess;
        }
        if (name != "control-delay-ms" || value > 60000) return kIOReturnUnsupported;
        hx::usb::Bus* bus = mHarness.bus();
        bus->clearFaults(mHarness.port());
        if (value)
            bus->addFault(mHarness.port(), hx::usb::RequestMatch{},
                          hx::usb::Fault::delay(uint32_t(value)));
        return kIOReturnSuccess;
    }

    // The first device's driver tells its clients, as its launch button does.
    IOReturn stateChange(uint32_t code) override {
        ZrDevice* d = mHarness.device();
        if (!d) return kIOReturnNoDevice;
        d->stcNotify(code, 0);
        return kIOReturnSuccess;
    }

private:
    hx::harness::Machine& mHarness;
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
    ho.device = o.device == Device::Farlane1 ? hx::harness::DeviceKind::Farlane1
                                             : hx::harness::DeviceKind::HX5100;
    hx::harness::Machine machine(ho);
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

namespace {

// The options the kernel host boots the machine with, as its command line.
std::vector<std::string> hostArguments(const Options& o, const std::string& socketPath) {
    std::vector<std::string> a = {"hxsim",
                                  "--kernel-host",
                                  socketPath,
                                  "--rate",
                                  std::to_string(o.rate),
                                  "--speed",
                                  o.speed == Speed::High ? "high" : "full",
                                  "--ppm",
                                  std::to_string(o.ppm),
                                  "--device",
                                  deviceName(o.device)};
    if (o.dropFrame) a.insert(a.end(), {"--drop-frame", std::to_string(o.dropFrame)});
    if (o.repeatFrame) a.insert(a.end(), {"--repeat-frame", std::to_string(o.repeatFrame)});
    return a;
}

} // namespace

KernelHostChild::~KernelHostChild() {
    if (mPid > 0) {
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
}

bool KernelHostChild::start(const Options& o, std::string& error) {
    const std::string socketPath = "/tmp/hxsim-kernel-" + std::to_string(::getpid()) + ".sock";
    std::vector<std::string> args = hostArguments(o, socketPath);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "no pipe for the kernel host";
        return false;
    }
    mPid = ::fork();
    if (mPid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* f = ::fdopen(out[0], "r");
    const std::string ready = "kernel host ready at ";
    char line[1024];
    while (f && std::fgets(line, sizeof line, f)) {
        std::string s(line);
        if (s.rfind(ready, 0) != 0) continue;
        mPath = s.substr(ready.size());
        while (!mPath.empty() && (mPath.back() == '\n' || mPath.back() == '\r'))
            mPath.pop_back();
        break;
    }
    if (f) std::fclose(f);
    if (mPath.empty()) {
        error = "the kernel host did not start";
        return false;
    }
    if (!hx::iokit::useProcessTransport(mPath.c_str())) {
        error = "the process transport was not taken: the IOKit calls already ran in process";
        return false;
    }
    if (!mControl.connect(mPath)) {
        error = "the kernel host's machine control did not answer";
        return false;
    }
    return true;
}

hx::harness::MachineFacts KernelHostChild::facts() {
    std::string text;
    if (mControl.statistics(text) != kIOReturnSuccess) return {};
    return hx::harness::parseMachineFacts(text);
}

} // namespace hx::sim
