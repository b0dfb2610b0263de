// The bus frame clock riding over host pauses, on the virtual clock: a
// platform clock that jumps ahead (a machine that stopped every thread) is
// laid over the virtual one, and an isochronous IN stream runs across the
// jump with the pause threshold set, below the jump, or off.
#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include "tests/platform/usb/IsochDone.h"
#include "tests/platform/usb/IsochRig.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using namespace StandardUSB;
using hx::usb::Bus;
using hx::usb::BusOptions;
using namespace hx::usb::devices;

constexpr uint64_t kMs = 1000000;

// Platform time = the virtual clock + a jump the test adds: every thread sees
// the time move on at once, as after a pause of the whole machine.
class JumpingSource final : public hx::clock::Source {
public:
    explicit JumpingSource(hx::clock::Source& inner) : mInner(inner) {}
    void jump(uint64_t ns) { mJump.fetch_add(ns); }
    uint64_t nowNanos() override { return mInner.nowNanos() + mJump.load(); }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint64_t deadline) override {
        return mInner.waitUntil(cv, lock, inner(deadline));
    }
    void sleepUntil(uint64_t deadline) override { mInner.sleepUntil(inner(deadline)); }
    void notify(std::condition_variable& cv, bool all) override { mInner.notify(cv, all); }
    // Waits and wake-ups go to the virtual clock, so threads keep taking part
    // in virtual time while this source is in use.
    bool runsVirtualTime() const override { return mInner.runsVirtualTime(); }

private:
    uint64_t inner(uint64_t deadline) const {
        const uint64_t j = mJump.load();
        if (deadline == hx::clock::kForever) return deadline;
        return deadline > j ? deadline - j : 0;
    }
    hx::clock::Source& mInner;
    std::atomic<uint64_t> mJump{0};
};

// Lays the jumping clock over the current one for its lifetime.
struct JumpScope {
    hx::clock::Source& virtualSource = hx::clock::source();
    JumpingSource jumping{virtualSource};
    JumpScope() { hx::clock::setSource(&jumping); }
    ~JumpScope() { hx::clock::setSource(&virtualSource); }
};

using usbtest::Done;
using usbtest::Rig;

TEST(HostPause, TheFrameClockRidesOverAJumpBeyondTheThresholdOnly) {
    struct Case {
        const char* name;
        std::optional<uint64_t> threshold; // unset: the bus's default on the virtual clock
        uint64_t jump;
        bool absorbed;
    } cases[] = {
        {"beyond the threshold", hx::usb::kHostPauseThresholdNanos, 5 * kMs, true},
        {"a low threshold", 1 * kMs, 3 * kMs, true},
        {"within the threshold", hx::usb::kHostPauseThresholdNanos, 2 * kMs, false},
        {"off", 0, 5 * kMs, false},
        {"the virtual clock's default", std::nullopt, 5 * kMs, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(kUSBHostConnectionSpeedFull, BusOptions{0xFFFFFFF8ull, 1, 2}, 8192);
        ASSERT_TRUE(rig.device && rig.in && rig.buffer);
        hx::clock::VirtualClock& clock = rig.clock;
        Bus& bus = rig.bus;
        if (c.threshold) bus.setHostPauseThreshold(*c.threshold);
        IOUSBHostPipe* in = rig.in;
        IOBufferMemoryDescriptor* buffer = rig.buffer;

        constexpr uint32_t kPackets = 16;
        std::vector<IOUSBHostIsochronousFrame> frames(kPackets);
        for (auto& f : frames)
            f.requestCount = 300;
        Done done;
        IOUSBHostIsochronousCompletion completion{&done, &Done::action, nullptr};
        {
            JumpScope scope;
            const uint64_t first = in->getFrameNumber() + 3;
            ASSERT_EQ(in->io(buffer, frames.data(), kPackets, first, &completion),
                      kIOReturnSuccess);
            clock.runFor(7 * kMs);
            const uint64_t before = bus.frameNumber();
            scope.jumping.jump(c.jump);
            clock.runFor(10 * kMs);
            const uint64_t after = bus.frameNumber();
            clock.runFor(10 * kMs);
            ASSERT_EQ(done.callsSoFar(), 1);

            // Frames do not advance during a pause the bus absorbed.
            EXPECT_EQ(after - before, 10 + (c.absorbed ? 0 : c.jump / kMs));
            EXPECT_EQ(bus.hostPausesAbsorbed(), c.absorbed ? 1u : 0u);
        }
        EXPECT_EQ(done.status, kIOReturnSuccess);
        // Every packet is served in its own frame and the device's sample
        // clock counts frames, so the data is the same either way; the time
        // stamps show the pause as one longer gap when it was absorbed.
        uint32_t total = 0;
        int longGaps = 0;
        for (uint32_t k = 0; k < kPackets; ++k) {
            EXPECT_EQ(frames[k].status, kIOReturnSuccess) << k;
            total += frames[k].completeCount / 6;
            if (k == 0) continue;
            const uint64_t gap = frames[k].timeStamp - frames[k - 1].timeStamp;
            if (gap == kMs + c.jump)
                ++longGaps;
            else
                EXPECT_EQ(gap, kMs) << k;
        }
        EXPECT_EQ(longGaps, c.absorbed ? 1 : 0);
        EXPECT_EQ(total, 705u); // 16 ms at 44.1 kHz: floor(705.6)
        EXPECT_EQ(rig.model->streamStats().inFramesSent, total);
    }
}

} // namespace
