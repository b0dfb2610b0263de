// The feedback device (isochronous output paced by its feedback endpoint,
// bit-sliced input over bulk) through the client harness, on the virtual
// clock: loopback at every rate with the feedback endpoint polled every
// microframe and every millisecond, and the device's faults on that road.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "platform/kern/IOLib.h"
#include "platform/usb/devices/FeedbackModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::rows::codesSince;
using hx::usb::devices::EndpointFault;
using hx::usb::devices::FeedbackModel;

HarnessOptions feedbackOptions(uint32_t rate, uint8_t interval, int32_t ppm) {
    HarnessOptions o;
    o.device = DeviceKind::Feedback;
    o.rate = rate;
    o.ppm = ppm;
    o.feedbackInterval = interval;
    return o;
}

FeedbackModel* feedbackModel(ClientHarness& h) {
    return dynamic_cast<FeedbackModel*>(h.model().get());
}

void expectBitExact(const HarnessReport& r) {
    EXPECT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.matched);
    EXPECT_TRUE(r.latencyConstant);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.silentFrames, 0u);
    EXPECT_EQ(r.fifoUnderrunFrames, 0u);
    EXPECT_EQ(r.fifoOverrunFrames, 0u);
}

struct FeedbackCase {
    uint32_t rate;
    uint8_t interval;
    int32_t ppm;
};

class FeedbackLoopback : public ::testing::TestWithParam<FeedbackCase> {};

TEST_P(FeedbackLoopback, OutputComesBackBitExactAndTheFifoStaysAtItsLockLevel) {
    const FeedbackCase c = GetParam();
    ClientHarness h(feedbackOptions(c.rate, c.interval, c.ppm));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(1500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, 0u);
    expectBitExact(r);
    EXPECT_GT(r.framesChecked, uint64_t(c.rate));
    EXPECT_EQ(h.device()->getIsocStreaming().feedbackFullFrame(), c.interval == 4);
    // The pattern follows what the device consumed: its FIFO stays within
    // one output packet (a microframe's frames) and 2 frames of where it
    // was when the first sound arrived.
    ASSERT_TRUE(r.fifoLock.has_value());
    ASSERT_GT(r.fifoSamples, 0u);
    const int64_t slack = int64_t((c.rate + 7999) / 8000) + 2;
    EXPECT_LE(r.fifoMax - *r.fifoLock, slack);
    EXPECT_LE(*r.fifoLock - r.fifoMin, slack);
    EXPECT_EQ(h.device()->getIsocStreaming().feedbackErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    RatesIntervalsDrift, FeedbackLoopback,
    ::testing::Values(FeedbackCase{44100, 1, 200}, FeedbackCase{48000, 1, -200},
                      FeedbackCase{88200, 1, -200}, FeedbackCase{96000, 1, 200},
                      FeedbackCase{44100, 4, -200}, FeedbackCase{48000, 4, 200},
                      FeedbackCase{88200, 4, 200}, FeedbackCase{96000, 4, -200}),
    [](const ::testing::TestParamInfo<FeedbackCase>& i) {
        return std::to_string(i.param.rate) + "Hz_interval" + std::to_string(i.param.interval) +
               (i.param.ppm < 0 ? "_minus" : "_plus") + std::to_string(std::abs(i.param.ppm)) +
               "ppm";
    });

// Faults that the stream lives through: out-of-range values are replaced by
// the nominal pattern, a few short packets stay below the break, a bulk-in
// error is resubmitted.
struct SurvivedFault {
    const char* name;
    uint8_t interval;
    void (*inject)(ClientHarness&);
};

class FeedbackSurvives : public ::testing::TestWithParam<SurvivedFault> {};

TEST_P(FeedbackSurvives, NoStateChangeAndTheLoopbackStaysBitExact) {
    const SurvivedFault c = GetParam();
    ClientHarness h(feedbackOptions(48000, c.interval, 100));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    const size_t before = h.report().stateChanges.size();
    c.inject(h);
    h.run(1000000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_TRUE(codesSince(r, before).empty());
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.fifoUnderrunFrames, 0u);
    EXPECT_EQ(r.fifoOverrunFrames, 0u);
}

// 1.5 s after a fault at the `before`-th state change: one break, one
// recovery, and the loopback back bit-exact with the stream running.
void expectOneBreakThenRecovered(ClientHarness& h, size_t before) {
    h.run(1500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    const std::vector<uint32_t> codes = codesSince(r, before);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), STC_STREAM_BROKEN), 1);
    EXPECT_EQ(r.streamBreaks, 1u);
    EXPECT_EQ(r.recoveries, 1u);
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 24000u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FeedbackSurvives,
    ::testing::Values(
        SurvivedFault{"OutOfRangeValues", 1,
                      [](ClientHarness& h) { feedbackModel(h)->sendFeedbackValue(24, 60); }},
        SurvivedFault{"OutOfRangeMsValues", 4,
                      [](ClientHarness& h) { feedbackModel(h)->sendFeedbackValue(3, 2); }},
        SurvivedFault{"FewShortPackets", 1,
                      [](ClientHarness& h) { feedbackModel(h)->sendShortFeedback(30); }},
        SurvivedFault{"BulkInError", 1,
                      [](ClientHarness& h) {
                          EndpointFault f;
                          f.errors = 1;
                          feedbackModel(h)->armFault(FeedbackModel::kBulkIn, f);
                      }}),
    [](const ::testing::TestParamInfo<SurvivedFault>& i) { return std::string(i.param.name); });

TEST(FeedbackBreaks, ShortPacketsPast40ErrorsBreakOnceAndRecoveryBringsBackTheLoopback) {
    HarnessOptions o = feedbackOptions(48000, 1, -100);
    o.reactToStateChanges = true;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    const size_t before = h.report().stateChanges.size();
    // Two blocks of 32 two-byte packets: 64 errors without a lock between.
    feedbackModel(h)->sendShortFeedback(64);
    expectOneBreakThenRecovered(h, before);
}

// On a kernel before major version 15 a bulk-in error is not resubmitted:
// the stream breaks once, and recovery brings the loopback back.
TEST(FeedbackBreaks, ABulkInErrorOnAnOlderKernelBreaksOnceAndRecoveryBringsBackTheLoopback) {
    struct KernelRelease {
        explicit KernelRelease(int major) : saved(version_major) { version_major = major; }
        ~KernelRelease() { version_major = saved; }
        int saved;
    } release(14);
    HarnessOptions o = feedbackOptions(48000, 1, 100);
    o.reactToStateChanges = true;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    const size_t before = h.report().stateChanges.size();
    EndpointFault f;
    f.errors = 1;
    feedbackModel(h)->armFault(FeedbackModel::kBulkIn, f);
    expectOneBreakThenRecovered(h, before);
}

} // namespace
