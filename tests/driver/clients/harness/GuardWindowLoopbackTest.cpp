// The transports that run the drift guard and insert what it asks for (the
// bulk-protocol device, its interrupt variant and the plain interrupt
// device), on the virtual clock, for longer than one guard window of 750
// out completions, at the lowest and the highest rate and at +-200 ppm: a
// fault-free stream keeps the out side's lead under the critical point, so
// the guard inserts nothing and the loopback stays bit-exact at one latency.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;

// Out completions the guard averages over.
constexpr uint64_t kGuardCompletions = 750;

struct GuardCase {
    const char* name;
    DeviceKind device;
    uint32_t packetsPerTransfer; // out packets a completion covers
    uint32_t channels;           // each way
    uint32_t rate;
    int32_t ppm;
};

std::string caseName(const ::testing::TestParamInfo<GuardCase>& i) {
    const GuardCase& c = i.param;
    return std::string(c.name) + "_" + std::to_string(c.rate) + "Hz_" +
           (c.ppm < 0 ? "minus" : "plus") + std::to_string(std::abs(c.ppm)) + "ppm";
}

class GuardWindowLoopback : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardWindowLoopback, NoInsertNoUnderrunAndBitExactPastAGuardWindow) {
    const GuardCase c = GetParam();
    HarnessOptions o;
    o.device = c.device;
    o.rate = c.rate;
    o.channels = c.channels;
    o.outChannels = c.channels;
    o.ppm = c.ppm;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    const auto& stream = h.device()->getBulkStreaming();
    const uint64_t windowFrames =
        kGuardCompletions * c.packetsPerTransfer * stream.outFramesPerPacket();
    ASSERT_GT(windowFrames, 0u);
    // A third of a window past the first one's end, and the client's start.
    h.run(windowFrames * 4 / 3 * 1000000 / c.rate + 300000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(stream.guardCriticalPoint(), c.rate / 700);
    EXPECT_GT(r.framesChecked, windowFrames);
    EXPECT_EQ(stream.guardInserts(), 0u);
    EXPECT_EQ(stream.underruns(), 0u);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.latencyConstant);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.silentFrames, 0u);
    EXPECT_EQ(r.fifoUnderrunFrames, 0u);
    EXPECT_EQ(r.fifoOverrunFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    LowestAndHighestRate, GuardWindowLoopback,
    ::testing::Values(GuardCase{"Bulk", DeviceKind::Bulk, 20, 2, 44100, 200},
                      GuardCase{"Bulk", DeviceKind::Bulk, 20, 2, 96000, -200},
                      GuardCase{"BulkInterrupt", DeviceKind::BulkInterrupt, 20, 8, 44100, -200},
                      GuardCase{"BulkInterrupt", DeviceKind::BulkInterrupt, 20, 8, 96000, 200},
                      GuardCase{"Interrupt", DeviceKind::Interrupt, 64, 2, 44100, 200},
                      GuardCase{"Interrupt", DeviceKind::Interrupt, 64, 2, 96000, -200}),
    caseName);

} // namespace
