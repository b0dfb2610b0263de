// Isochronous frame lists on the simulated bus with an HX-5100, on the
// virtual clock: packets served at their (micro)frames, time stamps, counts
// from the device clock, OUT payload fetched a frame ahead of bus time, refusal of a first
// frame that is not ahead, passed packets, abort and unplug.
#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include "tests/platform/usb/IsochDone.h"
#include "tests/platform/usb/IsochRig.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace StandardUSB;
using hx::usb::Bus;
using hx::usb::BusOptions;
using namespace hx::usb::devices;

using usbtest::Done;
using usbtest::Rig;

TEST(Isochronous, PacketsAreServedAtTheirFramesWithDeviceClockCountsAndTimeStamps) {
    const struct {
        uint8_t speed;
        uint32_t packets, request, periodNanos, low, high;
    } cases[] = {
        {kUSBHostConnectionSpeedFull, 16, 300, 1000000, 44, 45},
        {kUSBHostConnectionSpeedHigh, 128, 156, 125000, 5, 6},
    };
    for (const auto& c : cases) {
        Rig rig(c.speed);
        ASSERT_TRUE(rig.in && rig.buffer);
        std::vector<IOUSBHostIsochronousFrame> frames(c.packets);
        for (auto& f : frames)
            f.requestCount = c.request;
        Done done;
        IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
        AbsoluteTime now = 0;
        const uint64_t first = rig.in->getFrameNumber(&now) + 3;
        ASSERT_EQ(rig.in->io(rig.buffer, frames.data(), c.packets, first, &completion),
                  kIOReturnSuccess);
        rig.clock.runFor(25 * 1000000ull);
        ASSERT_EQ(done.callsSoFar(), 1);
        EXPECT_EQ(done.status, kIOReturnSuccess);
        uint32_t total = 0;
        for (uint32_t k = 0; k < c.packets; ++k) {
            EXPECT_EQ(frames[k].status, kIOReturnSuccess);
            const uint32_t n = frames[k].completeCount / 6;
            EXPECT_EQ(frames[k].completeCount % 6, 0u);
            EXPECT_TRUE(n >= c.low && n <= c.high) << k << ": " << n;
            total += n;
            EXPECT_EQ(frames[k].timeStamp, now + 3 * 1000000ull + k * (uint64_t)c.periodNanos);
        }
        EXPECT_EQ(total, 705u); // 16 ms at 44.1 kHz: floor(705.6)
        EXPECT_EQ(rig.model->streamStats().inFramesSent, total);
    }
}

TEST(Isochronous, AFirstFrameNotAheadIsRefusedWithoutACompletion) {
    Rig rig(kUSBHostConnectionSpeedFull);
    std::vector<IOUSBHostIsochronousFrame> frames(4);
    for (auto& f : frames)
        f.requestCount = 270;
    Done done;
    IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
    const uint64_t now = rig.in->getFrameNumber();
    for (uint64_t first : {now, now - 1, (uint64_t)0})
        EXPECT_EQ(rig.in->io(rig.buffer, frames.data(), 4, first, &completion), kIOReturnIsoTooOld);
    rig.clock.runFor(10 * 1000000ull);
    std::lock_guard<std::mutex> g(done.m);
    EXPECT_EQ(done.calls, 0);
}

TEST(Isochronous, OutPayloadIsReadAtBusTimeSoItMayBeFilledAfterSubmission) {
    Rig rig(kUSBHostConnectionSpeedFull);
    std::vector<IOUSBHostIsochronousFrame> frames(20);
    for (auto& f : frames)
        f.requestCount = 44 * 6;
    Done done;
    IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
    ASSERT_EQ(
        rig.out->io(rig.buffer, frames.data(), 20, rig.out->getFrameNumber() + 3, &completion),
        kIOReturnSuccess);
    // Filled after submission: the ramp, 880 frames back to back.
    Ramp::write(static_cast<uint8_t*>(rig.buffer->getBytesNoCopy()), 0, 880);
    rig.clock.runFor(30 * 1000000ull);
    ASSERT_EQ(done.callsSoFar(), 1);
    EXPECT_EQ(done.status, kIOReturnSuccess);
    const HX5100StreamStats s = rig.model->streamStats();
    EXPECT_EQ(s.outFrames, 880u);
    EXPECT_GT(s.rampFrames, 0u);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.discontinuities, 0u);
}

// Records the first byte of every OUT packet the device receives.
class RecordingModel : public HX5100Model {
public:
    using HX5100Model::HX5100Model;
    std::vector<uint8_t> firstBytes;

protected:
    hx::usb::IsochResult streamOut(uint8_t address, const hx::usb::IsochSlot& slot,
                                   const uint8_t* data, uint32_t length) override {
        firstBytes.push_back(length ? data[0] : 0);
        return HX5100Model::streamOut(address, slot, data, length);
    }
};

// The controller fetches OUT payload ahead of each packet's frame: a packet
// written before its fetch time is sent, one written after it is not, at
// both speeds.
TEST(Isochronous, OutPayloadWrittenAfterTheFetchAheadIsNotSent) {
    struct Case {
        uint8_t speed;
        uint32_t packetsPerFrame;
        uint32_t bytes;
    } cases[] = {{kUSBHostConnectionSpeedFull, 1, 44 * 6}, {kUSBHostConnectionSpeedHigh, 8, 6 * 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.speed));
        auto model = std::make_shared<RecordingModel>(c.speed, hx5100Identity());
        {
            Rig rig(model, BusOptions{0x2000, 1, 2});
            ASSERT_TRUE(rig.out && rig.buffer);
            hx::clock::VirtualClock& clock = rig.clock;
            IOUSBHostPipe* out = rig.out;
            IOBufferMemoryDescriptor* buffer = rig.buffer;
            uint8_t* bytes = static_cast<uint8_t*>(buffer->getBytesNoCopy());
            std::memset(bytes, 0, 32768);
            // Four frames of packets, from a frame well ahead of the bus.
            const uint32_t count = 4 * c.packetsPerFrame;
            std::vector<IOUSBHostIsochronousFrame> frames(count);
            for (auto& f : frames)
                f.requestCount = c.bytes;
            Done done;
            IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
            AbsoluteTime frameTime = 0;
            const uint64_t first = out->getFrameNumber(&frameTime) + 4;
            const uint64_t firstStart = hx::clock::ticksToNanos(frameTime) + 4 * 1000000ull;
            ASSERT_EQ(out->io(buffer, frames.data(), count, first, &completion), kIOReturnSuccess);
            // Frame by frame: the packets of frame j are written just before
            // the first of them is fetched (even j) or just after the last
            // of them was (odd j; microframe packets are fetched 125 us apart).
            const uint64_t fetchAhead = hx::usb::kIsochronousFetchAheadFrames * 1000000ull;
            for (uint32_t j = 0; j < 4; ++j) {
                const uint64_t fetch = firstStart + j * 1000000ull - fetchAhead;
                const uint64_t lastFetch = fetch + (c.packetsPerFrame - 1) * 125000ull;
                const uint64_t at = j % 2 == 0 ? fetch - 1000 : lastFetch + 1000;
                clock.runFor(at - clock.now());
                for (uint32_t k = j * c.packetsPerFrame; k < (j + 1) * c.packetsPerFrame; ++k)
                    bytes[k * c.bytes] = uint8_t(0x10 + j);
            }
            clock.runFor(8 * 1000000ull);
            ASSERT_EQ(done.callsSoFar(), 1);
            EXPECT_EQ(done.status, kIOReturnSuccess);
            ASSERT_EQ(model->firstBytes.size(), count);
            for (uint32_t k = 0; k < count; ++k) {
                const uint32_t j = k / c.packetsPerFrame;
                EXPECT_EQ(model->firstBytes[k], j % 2 == 0 ? 0x10 + j : 0) << "packet " << k;
            }
        }
    }
}

TEST(Isochronous, PassedPacketsEndWithAnErrorAndNoBytes) {
    Rig rig(kUSBHostConnectionSpeedFull);
    std::vector<IOUSBHostIsochronousFrame> frames(10);
    for (auto& f : frames)
        f.requestCount = 300;
    Done done;
    IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
    rig.bus.holdScheduling(true);
    ASSERT_EQ(rig.in->io(rig.buffer, frames.data(), 10, rig.in->getFrameNumber() + 2, &completion),
              kIOReturnSuccess);
    rig.clock.runFor(6 * 1000000ull);
    const uint64_t resumed = rig.clock.now();
    rig.bus.holdScheduling(false);
    rig.clock.runFor(15 * 1000000ull);
    ASSERT_EQ(done.callsSoFar(), 1);
    EXPECT_EQ(done.status, kIOReturnIsoTooOld);
    int passed = 0;
    for (const auto& f : frames) {
        if (f.timeStamp + 1000000 <= resumed) {
            ++passed;
            EXPECT_EQ(f.status, kIOReturnIsoTooOld);
            EXPECT_EQ(f.completeCount, 0u);
        } else {
            EXPECT_EQ(f.status, kIOReturnSuccess);
            EXPECT_GT(f.completeCount, 0u);
        }
    }
    EXPECT_GT(passed, 0);
    EXPECT_LT(passed, 10);
}

TEST(Isochronous, AbortAndUnplugEndPendingPackets) {
    for (bool unplug : {false, true}) {
        Rig rig(kUSBHostConnectionSpeedFull);
        std::vector<IOUSBHostIsochronousFrame> frames(20);
        for (auto& f : frames)
            f.requestCount = 300;
        Done done;
        IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
        ASSERT_EQ(
            rig.in->io(rig.buffer, frames.data(), 20, rig.in->getFrameNumber() + 2, &completion),
            kIOReturnSuccess);
        rig.clock.runFor(6 * 1000000ull);
        if (unplug)
            rig.bus.unplug(1);
        else
            rig.in->abort(kAbortSynchronous, kIOReturnAborted);
        done.waitOne();
        const IOReturn expected = unplug ? kIOReturnNoDevice : kIOReturnAborted;
        EXPECT_EQ(done.status, expected);
        EXPECT_EQ(frames[0].status, kIOReturnSuccess);
        EXPECT_EQ(frames[19].status, expected);
        EXPECT_EQ(frames[19].completeCount, 0u);
        if (unplug) {
            std::vector<IOUSBHostIsochronousFrame> more(2);
            EXPECT_EQ(
                rig.in->io(rig.buffer, more.data(), 2, rig.in->getFrameNumber() + 2, &completion),
                kIOReturnNoDevice);
        }
        std::lock_guard<std::mutex> g(done.m);
        EXPECT_EQ(done.calls, 1);
    }
}

// Transfers of one pipe ended together (an abort) complete one at a time,
// in submission order, though the bus has two completion threads.
TEST(Isochronous, OnePipesCompletionsRunOneAtATimeInOrder) {
    Rig rig(kUSBHostConnectionSpeedFull);
    struct Seen {
        std::atomic<int> inside{0};
        std::atomic<int> most{0};
        std::mutex m;
        std::vector<int> order;
    } seen;
    struct Tag {
        Seen* seen;
        int index;
    };
    auto action = [](void* owner, void* parameter, IOReturn, IOUSBHostIsochronousFrame*) {
        Seen* s = static_cast<Seen*>(owner);
        const int now = ++s->inside;
        int most = s->most.load();
        while (now > most && !s->most.compare_exchange_weak(most, now)) {
        }
        // Long enough for the other completion thread to start one too if
        // the bus let it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
            std::lock_guard<std::mutex> g(s->m);
            s->order.push_back(static_cast<Tag*>(parameter)->index);
        }
        --s->inside;
    };
    constexpr int kTransfers = 4;
    std::vector<std::vector<IOUSBHostIsochronousFrame>> frames(
        kTransfers, std::vector<IOUSBHostIsochronousFrame>(2));
    std::vector<Tag> tags;
    for (int i = 0; i < kTransfers; ++i)
        tags.push_back({&seen, i});
    std::vector<IOUSBHostIsochronousCompletion> completions;
    for (int i = 0; i < kTransfers; ++i)
        completions.push_back({&seen, action, &tags[i]});
    const uint64_t first = rig.in->getFrameNumber() + 4;
    for (int i = 0; i < kTransfers; ++i) {
        for (auto& f : frames[i])
            f.requestCount = 300;
        ASSERT_EQ(rig.in->io(rig.buffer, frames[i].data(), 2, first + 2 * i, &completions[i]),
                  kIOReturnSuccess);
    }
    rig.in->abort(kAbortSynchronous, kIOReturnAborted);
    std::lock_guard<std::mutex> g(seen.m);
    EXPECT_EQ(seen.order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(seen.most.load(), 1);
}

} // namespace
