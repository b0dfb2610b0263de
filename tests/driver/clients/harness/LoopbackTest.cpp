// The client harness streams the simulated HX-5100 through the driver on
// the virtual clock and checks the audio that comes back through the
// device's loopback, sample by sample.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/clients/harness/ClientHarness.h"
#include "platform/usb/IOUSBHostFamily.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::Routing;

struct LoopCase {
    bool highSpeed;
    uint32_t rate;
    int32_t ppm;
};

std::ostream& operator<<(std::ostream& o, const LoopCase& c) {
    return o << (c.highSpeed ? "high" : "full") << " " << c.rate << " Hz " << c.ppm << " ppm";
}

std::vector<LoopCase> everyOfferedRate() {
    std::vector<LoopCase> cases;
    for (int32_t ppm : {-200, 200}) {
        for (uint32_t rate : {44100u, 48000u})
            cases.push_back({false, rate, ppm});
        for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u})
            cases.push_back({true, rate, ppm});
    }
    return cases;
}

class Loopback : public ::testing::TestWithParam<LoopCase> {};

TEST_P(Loopback, PassRoutingComesBackBitExactWithConstantLatency) {
    const LoopCase c = GetParam();
    HarnessOptions o;
    o.highSpeed = c.highSpeed;
    o.rate = c.rate;
    o.ppm = c.ppm;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(600000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_TRUE(r.configured);
    EXPECT_EQ(r.rate, c.rate);
    EXPECT_EQ(r.highSpeed, c.highSpeed);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_EQ(r.patternErrors, 0u);
    ASSERT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.latencyConstant);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    // Most of the run was checked: the loop closed early.
    EXPECT_GT(r.framesChecked, uint64_t(c.rate) / 2);
    EXPECT_GT(r.framesIn, uint64_t(c.rate) / 2);
    EXPECT_EQ(r.framesIn, r.framesOut);
    // The device FIFO stays within one packet and 2 frames of its level at
    // lock (packets are per microframe at high speed).
    ASSERT_TRUE(r.fifoLock.has_value());
    const int64_t slack = int64_t(c.highSpeed ? c.rate / 8000 + 1 : c.rate / 1000 + 1) + 2;
    EXPECT_GE(r.fifoMin, *r.fifoLock - slack);
    EXPECT_LE(r.fifoMax, *r.fifoLock + slack);
}

INSTANTIATE_TEST_SUITE_P(EveryRate, Loopback, ::testing::ValuesIn(everyOfferedRate()));

// A sine has no frame counter; the harness still knows every played value,
// so the check is the same sample-by-sample one.
TEST(LoopbackSine, ASineComesBackSampleForSample) {
    HarnessOptions o;
    o.highSpeed = true;
    o.rate = 96000;
    o.signal = hx::harness::Signal::Sine;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(400000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    ASSERT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.matched);
    EXPECT_GT(r.framesChecked, 20000u);
    // Full-scale values on both signs went through.
    int32_t lo = 0, hi = 0;
    for (int32_t v : h.recordedInput()) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    EXPECT_LT(lo, -(int32_t(1) << 29));
    EXPECT_GT(hi, int32_t(1) << 29);
}

} // namespace
