// A device's isochronous streaming on the simulated bus with the HX-5100
// model, on the virtual clock: the rig opens the device, selects the
// streaming alternates, sets the rate, and runs the transport with a real
// driver data, input ring, frame pattern and real-time thread. A client
// ring carries the ramp the model checks on its outputs.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/VIDPID.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "driver/engine/transport/ZrIsocStreaming.h"
#include "driver/transcoders/OutMixer.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOUserClient.h"
#include "platform/usb/USBBus.h"
#include "tests/support/ConfiguredBusDevice.h"
#include "platform/usb/devices/HX5100Model.h"

namespace hx::test {

using hx::usb::devices::HX5100Model;
using hx::usb::devices::Ramp;

constexpr uint64_t kMs = 1000000;

struct TestHost : IsocStreamHost {
    ZrIsocStreaming* engine = nullptr;
    std::mutex m;
    std::vector<uint32_t> changes;
    int stops = 0;
    void stopStreaming(bool wait) override {
        {
            std::lock_guard<std::mutex> g(m);
            ++stops;
        }
        engine->stopTransport(wait);
    }
    void stcNotifyStreaming(uint32_t code) override {
        std::lock_guard<std::mutex> g(m);
        changes.push_back(code);
    }
    std::vector<uint32_t> changesSoFar() {
        std::lock_guard<std::mutex> g(m);
        return changes;
    }
};

struct StreamCase {
    uint8_t speed;
    uint32_t rate;
    int32_t ppm;
};

// The virtual clock, or the real one for smoke runs.
struct RigClock {
    std::optional<hx::clock::VirtualClock> virtualClock;
    explicit RigClock(bool isVirtual) {
        if (isVirtual) virtualClock.emplace(hx::clock::VirtualClock::kDefaultStart);
    }
    void runFor(uint64_t ns) {
        if (virtualClock)
            virtualClock->runFor(ns);
        else
            IOSleep(unsigned(ns / 1000000));
    }
};

class StreamRig {
public:
    StreamRig(const StreamCase& c, uint64_t firstFrame = 0x1000, bool virtualTime = true)
        : clock(virtualTime), bus(hx::usb::BusOptions{firstFrame, 2, 2}),
          model(std::make_shared<HX5100Model>(c.speed, hx::usb::devices::hx5100Identity())),
          rate(c.rate), highSpeed(c.speed >= kUSBHostConnectionSpeedHigh) {
        hx::usb::devices::HX5100StreamConfig config;
        config.ppm = c.ppm;
        config.source = hx::usb::devices::HX5100Source::Loopback;
        config.loopbackDelayFrames = 40;
        model->setStreamConfig(config);
        hxtest::ConfiguredBusDevice d = hxtest::plugConfigured(bus, model);
        device = d.device;
        const std::vector<IOUSBHostInterface*>& intf = d.interfaces;
        EXPECT_EQ(intf.size(), 4u);
        EXPECT_EQ(intf[1]->selectAlternateSetting(2), kIOReturnSuccess);
        EXPECT_EQ(intf[2]->selectAlternateSetting(2), kIOReturnSuccess);
        out = intf[1]->copyPipe(0x01);
        in = intf[2]->copyPipe(0x82);
        setRate(0x82);
        setRate(0x01);

        sm = static_cast<DriverSM*>(IOMallocAligned(sizeof(DriverSM), 4096));
        std::memset(sm, 0, sizeof(DriverSM));
        dd = DriverData::create(sm);
        QnChannelSettings settings{rate, 2, 24, 2, 24, 1};
        dd->setConverters(pcmTo24LSB, settings);
        dd->setOutMixer(outMixer2CH);
        char routing[32] = {1};
        dd->setRoutingMatrix(routing);

        inputRingMemory = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
        inputRing.bind(inputRingMemory, AudioSMGeometry{});
        inputRing._init(2, rate, 0);
        pattern.init(rate, 3, 2, 3, 2, highSpeed,
                     VIDPID(kKorvexVendorID, kKorvexHX5100ProductID, 0x100, nullptr));

        host.engine = &engine;
        engine.attach(dd, &inputRing, &pattern);
        IsocStreamSettings s;
        s.rate = rate;
        s.inChannels = 2;
        s.inBytesPerSample = 3;
        s.outChannels = 2;
        s.outBytesPerSample = 3;
        s.decoder = pcmFrom24LSB;
        // The bandwidth the device's check would store in each pipe.
        auto bandwidth = [&](IOUSBHostPipe* p) {
            if (!p) return 0u;
            IsocPipe probe;
            probe.bind(p);
            return ZrIsocStreaming::bandwidthInUse(rate, 3, 2, probe.maxPacket, highSpeed, false);
        };
        configured = engine.configure(highSpeed, in, out, s, bandwidth(in), bandwidth(out));
        EXPECT_TRUE(thread.create(&engine));
    }

    ~StreamRig() {
        engine.stopTransport(true);
        thread.term();
        clock.runFor(10 * kMs); // aborted completions
        if (client) {
            dd->detachAllClients();
            client->release();
        }
        dd->sharedMemoryDestroyed();
        dd->release();
        if (clientRing) IOFreeAligned(clientRing, sizeof(AudioSM));
        IOFreeAligned(sm, sizeof(DriverSM));
        OSSafeReleaseNULL(in);
        OSSafeReleaseNULL(out);
        OSSafeReleaseNULL(device);
        IOFreeAligned(inputRingMemory, sizeof(AudioSM));
    }

    void setRate(uint16_t endpoint) {
        StandardUSB::DeviceRequest r{0x22, 0x01, 0x0100, endpoint, 3};
        uint8_t data[3] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)};
        uint32_t moved = 0;
        EXPECT_EQ(device->deviceRequest(nullptr, r, data, moved), kIOReturnSuccess);
    }

    bool start() {
        if (!engine.start()) return false;
        thread.setService(&ZrIsocStreaming::rtsIsocOutIsocIn);
        return true;
    }

    void attachClient() {
        clientRing = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
        clientRing->_layout(2, rate, 0);
        client = new IOUserClient;
        int slot = -1;
        ASSERT_TRUE(dd->attachClient(client, clientRing, 1, slot, 512, 0));
    }

    // The client's share of one cycle: keep the ramp 880 frames ahead of
    // what the kernel mixes. Ring index p carries ramp frame p.
    void feedClient() {
        if (!clientRing) return;
        char* base = reinterpret_cast<char*>(clientRing);
        if (__atomic_load_n(reinterpret_cast<uint32_t*>(base + offsetof(AudioSM, mAttachState)),
                            __ATOMIC_ACQUIRE) != 1)
            return;
        const uint64_t kernelPos = __atomic_load_n(
            reinterpret_cast<uint64_t*>(base + offsetof(AudioSM, mKernelOutFramePos)),
            __ATOMIC_ACQUIRE);
        const uint64_t end = __atomic_load_n(
            reinterpret_cast<uint64_t*>(base + offsetof(AudioSM, mFramePos)), __ATOMIC_ACQUIRE);
        const uint64_t target = kernelPos + 880;
        if (end >= target) return;
        const uint32_t n = uint32_t(target - end);
        std::vector<int32_t> block(size_t(n) * 2);
        for (uint32_t f = 0; f < n; ++f)
            for (uint32_t ch = 0; ch < 2; ++ch)
                block[2 * f + ch] = int32_t(Ramp::sample(end + f, ch) << 8) >> 8;
        clientRing->writeFrames(block.data(), n, 0);
    }

    // Reads what arrived in the input ring since the last call.
    void drainInput() {
        const uint64_t pos = inputRing.getFramePos();
        std::vector<int32_t> frames(2 * 1024);
        while (readPos < pos) {
            const uint32_t n = uint32_t(std::min<uint64_t>(pos - readPos, 1024));
            ASSERT_TRUE(inputRing.readAt(readPos, frames.data(), n, audioInt32CopySet));
            received.insert(received.end(), frames.begin(), frames.begin() + 2 * n);
            readPos += n;
        }
    }

    // Runs ms milliseconds, one client cycle per millisecond.
    void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.runFor(kMs);
            feedClient();
            drainInput();
        }
    }

    RigClock clock;
    hx::usb::Bus bus;
    std::shared_ptr<HX5100Model> model;
    uint32_t rate;
    bool highSpeed;
    IOUSBHostDevice* device = nullptr;
    IOUSBHostPipe* in = nullptr;
    IOUSBHostPipe* out = nullptr;
    DriverSM* sm = nullptr;
    DriverData* dd = nullptr;
    AudioSM* inputRingMemory = nullptr;
    AudioSMWriter inputRing;
    ZrFramePatternObserver pattern;
    TestHost host;
    KeThread thread;
    ZrIsocStreaming engine{host, thread};
    bool configured = false;
    AudioSM* clientRing = nullptr;
    IOUserClient* client = nullptr;
    uint64_t readPos = 0;
    std::vector<int32_t> received;
};

// The ramp frame an input frame carries (24 bits back from the
// left-aligned sample): -1 for silence, -2 for anything else.
inline int64_t rampFrameOf(const int32_t* frame) {
    if ((frame[0] & 0xFF) || (frame[1] & 0xFF)) return -2;
    const uint32_t s[2] = {uint32_t(frame[0]) >> 8, uint32_t(frame[1]) >> 8};
    if (s[0] == 0 && s[1] == 0) return -1;
    auto c = Ramp::counter(s);
    return c ? int64_t(*c) : -2;
}

// From input frame `from` on, every frame is the ramp frame played a fixed
// number of frames earlier (modulo the ramp's 24-bit counter).
inline void expectRampWithConstantLatency(const std::vector<int32_t>& received, size_t from) {
    int64_t latency = 0;
    bool first = true;
    for (size_t f = from; f < received.size() / 2; ++f) {
        const int64_t r = rampFrameOf(&received[2 * f]);
        ASSERT_GE(r, 0) << "input frame " << f;
        const int64_t l = (int64_t(f) - r) & Ramp::kMask;
        if (first) latency = l;
        first = false;
        ASSERT_EQ(l, latency) << "input frame " << f;
    }
}

} // namespace hx::test
