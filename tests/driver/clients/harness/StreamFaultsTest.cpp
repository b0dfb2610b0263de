// The driver through the client harness when the stream meets the bus
// frame wrap, the default mix, and a late output completion with the
// recovery user space asks for afterwards; and the harness's own boot.
#include <gtest/gtest.h>

#include <algorithm>

#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::Routing;
using hx::harness::rows::codesSince;

TEST(HarnessMix, EachValueComesBackHalvedTowardZeroAndDoubled) {
    HarnessOptions o;
    o.highSpeed = false;
    o.rate = 48000;
    o.routing = Routing::Mix;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    ASSERT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_GT(r.framesChecked, 20000u);
    // The ramp played odd values on both channels; none came back odd.
    const std::vector<int32_t>& in = h.recordedInput();
    size_t odd = 0, nonZero = 0;
    for (int32_t v : in) {
        odd += ((v >> 8) & 1) != 0;
        nonZero += v != 0;
    }
    EXPECT_GT(nonZero, 40000u);
    EXPECT_EQ(odd, 0u);
    for (uint64_t p = 1000; p < 1010; ++p)
        EXPECT_EQ(hx::harness::mixRoundTrip(h.playedSample(p, 0)),
                  h.playedSample(p, 0) & ~int32_t(0x100))
            << "ramp frame " << p;
    EXPECT_EQ(hx::harness::mixRoundTrip(int32_t(uint32_t(0x000003) << 8)),
              int32_t(uint32_t(0x000002) << 8));
    EXPECT_EQ(hx::harness::mixRoundTrip(int32_t(uint32_t(0xFFFFFD) << 8)),
              int32_t(uint32_t(0xFFFFFE) << 8));
}

TEST(HarnessWrap, AStreamStartedBeforeBusFrame2To32CrossesItWithoutABreak) {
    HarnessOptions o;
    o.highSpeed = false;
    o.rate = 44100;
    o.firstBusFrame = (uint64_t(1) << 32) - 10000;
    o.keepInput = false;
    ClientHarness h(o);
    ASSERT_TRUE(h.boot()) << h.lastError();
    ASSERT_TRUE(h.openClient() && h.configure() && h.setRouting() && h.attachRing())
        << h.lastError();
    const uint64_t started = h.service()->getCurrentFrame();
    ASSERT_LT(started, uint64_t(1) << 32);
    EXPECT_GT(started, (uint64_t(1) << 32) - 10000 - 1);
    h.run((((uint64_t(1) << 32) - started) + 500) * 1000);
    EXPECT_GT(h.service()->getCurrentFrame(), (uint64_t(1) << 32) + 400);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_EQ(r.patternErrors, 0u);
    EXPECT_GT(r.framesIn, 44100u * 10);
}

TEST(HarnessRecovery, ALateOutputCompletionBreaksOnceAndStage2ConfiguresAgain) {
    HarnessOptions o;
    o.highSpeed = false;
    o.rate = 48000;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(100000);
    ASSERT_EQ(h.ringState(), 1u);
    ZrDevice* dev = h.device();
    const size_t before = h.report().stateChanges.size();

    // The next output block is due 10 frames in the past: its completion
    // comes back late.
    ZrIsocStreaming& iso = dev->getIsocStreaming();
    uint32_t now = 0;
    ASSERT_TRUE(iso.getCurrentFrame(now));
    iso.outputRing().mNextFrame.store(now - 10);
    h.run(60000);
    EXPECT_FALSE(dev->isStreamingStarted());
    EXPECT_EQ(codesSince(h.report(), before), std::vector<uint32_t>{STC_STREAM_BROKEN});

    EXPECT_TRUE(dev->handleStreamBroken(1));
    EXPECT_FALSE(dev->handleStreamBroken(1));
    EXPECT_FALSE(dev->isConfigured());
    const size_t afterStage1 = h.report().stateChanges.size();
    EXPECT_EQ(afterStage1, before + 1);

    EXPECT_TRUE(dev->handleStreamBroken(2));
    EXPECT_TRUE(dev->isConfigured());
    EXPECT_TRUE(dev->isStreamingStarted());
    EXPECT_EQ(codesSince(h.report(), afterStage1),
              (std::vector<uint32_t>{STC_ConfigurationDone, STC_NewConfig, STC_NewConfig}));

    // Streaming again: the ring is attached anew and input arrives.
    const uint64_t inBefore = h.report().framesIn;
    h.run(300000);
    EXPECT_EQ(h.ringState(), 1u);
    EXPECT_GT(h.report().framesIn, inBefore + 48u * 150);
    EXPECT_EQ(h.report().streamBreaks, 1u);
    // Closed, the client's report keeps what it was told, and the detach
    // of its ring (Req 3) was the last thing it heard.
    std::vector<uint32_t> told = h.report().stateChanges;
    h.stop();
    told.push_back(STC_ClientDetached);
    EXPECT_EQ(h.report().stateChanges, told);
    EXPECT_EQ(h.report().streamBreaks, 1u);
}

// Booting a booted harness keeps its bus, device and service: start() after
// boot() streams on the service that boot() found, which is never
// terminated on the way.
TEST(HarnessBoot, ASecondBootKeepsTheDeviceAndItsService) {
    ClientHarness h;
    ASSERT_TRUE(h.boot()) << h.lastError();
    hx::usb::Bus* bus = h.bus();
    ZrKernelDeviceKorvexHX5100* service = h.service();
    ASSERT_TRUE(h.start()) << h.lastError();
    EXPECT_EQ(h.bus(), bus);
    EXPECT_EQ(h.service(), service);
    EXPECT_FALSE(service->isInactive());
    EXPECT_FALSE(service->isTerminateRequested());
    h.run(100000);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_GT(h.report().framesIn, 0u);
}

} // namespace
