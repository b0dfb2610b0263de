// The bulk-protocol device through the client harness, on the virtual
// clock: different input and output channel counts, and the maker's two
// products whose 10 outputs take the fifth-lane layout (over bulk and over
// 964-byte interrupt packets), loop their output back bit-exact with no
// underrun, the start's included. With no MIDI queued every OUT packet's
// MIDI and control bytes are the idle 0xFD and 0xFF, and over bulk a
// keep-alive packet goes out every microframe.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "platform/usb/devices/BulkProtocolModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::usb::devices::BulkProtocolModel;

struct BulkCase {
    const char* name;
    DeviceKind device;
    uint16_t product; // 0: the harness's bulk product
    uint32_t ins, outs;
    uint32_t rate;
    int32_t ppm;
};

class BulkLoopback : public ::testing::TestWithParam<BulkCase> {};

TEST_P(BulkLoopback, OutputComesBackBitExactWithoutUnderrun) {
    const BulkCase c = GetParam();
    HarnessOptions o;
    o.device = c.device;
    if (c.product) {
        o.vendorID = c.product == kBravaB1ProductID ? kBravaVendorID : kQuarnelVendorID;
        o.productID = c.product;
    }
    o.rate = c.rate;
    o.channels = c.ins;
    o.outChannels = c.outs;
    o.ppm = c.ppm;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(1000000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.inChannels, c.ins);
    EXPECT_EQ(r.outChannels, c.outs);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.latencyConstant);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.silentFrames, 0u);
    EXPECT_GT(r.framesChecked, uint64_t(c.rate) * 8 / 10);
    EXPECT_EQ(r.fifoUnderrunFrames, 0u);
    EXPECT_EQ(r.fifoOverrunFrames, 0u);
    const auto& bulk = h.device()->getBulkStreaming();
    EXPECT_EQ(bulk.guardInserts(), 0u);
    EXPECT_EQ(bulk.underruns(), 0u);
    const auto* model = dynamic_cast<BulkProtocolModel*>(h.model().get());
    const auto stats = model->stats();
    EXPECT_EQ(stats.outBadPackets, 0u);
    // Bulk transfers: a keep-alive packet every microframe from the first
    // on; the interrupt variant's start runs no keep-alive stream.
    if (c.device == DeviceKind::Bulk) {
        EXPECT_GT(r.keepAlivePackets, 0u);
    } else {
        EXPECT_EQ(r.keepAlivePackets, 0u);
    }
    EXPECT_EQ(r.keepAliveGaps, 0u);
    // No MIDI queued: every OUT packet (each half of a 964-byte one)
    // carries 0xFD as its MIDI byte and 0xFF as its control byte.
    const auto midiControl = model->midiControlBytes();
    const uint64_t slots = stats.outPackets * (c.device == DeviceKind::BulkInterrupt ? 2 : 1);
    EXPECT_EQ(midiControl.size(), std::min<uint64_t>(slots, 65536));
    size_t notIdle = 0;
    for (const auto& [midi, control] : midiControl)
        notIdle += midi != 0xFD || control != 0xFF;
    EXPECT_EQ(notIdle, 0u);
    EXPECT_EQ(stats.midiBytes, 0u);
    EXPECT_EQ(stats.controlBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsAndLayouts, BulkLoopback,
    ::testing::Values(
        BulkCase{"EighteenIn8Out", DeviceKind::Bulk, 0, 18, 8, 48000, 200},
        BulkCase{"ThirtyTwoIn16Out", DeviceKind::Bulk, 0, 32, 16, 96000, -200},
        BulkCase{"TwoIn16Out", DeviceKind::Bulk, 0, 2, 16, 44100, 200},
        BulkCase{"FifthLaneKX1", DeviceKind::Bulk, kQuarnelKX1ProductID, 10, 10, 48000, -200},
        BulkCase{"Brava32At48k", DeviceKind::Bulk, kBravaB1ProductID, 32, 32, 48000, 200},
        BulkCase{"Brava16At96k", DeviceKind::Bulk, kBravaB1ProductID, 16, 16, 96000, -200},
        BulkCase{"Interrupt8At88k", DeviceKind::BulkInterrupt, 0, 8, 8, 88200, -200},
        BulkCase{"FifthLaneKX2Interrupt", DeviceKind::BulkInterrupt, kQuarnelKX2ProductID, 10, 10,
                 96000, 200}),
    [](const ::testing::TestParamInfo<BulkCase>& i) { return std::string(i.param.name); });

// The start's grace is bounded: a client whose first write comes only
// after it (its cycle 100 ms long) leaves the output short, and that is
// counted.
TEST(BulkStart, AClientFirstWritingAfterTheStartsGraceIsCountedShort) {
    HarnessOptions o;
    o.device = DeviceKind::Bulk;
    o.cycleMicros = 100000;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    EXPECT_GT(h.device()->getBulkStreaming().underruns(), 0u);
}

// A client that never writes in time leaves every service cycle short:
// a (micro)frame window of 5,001 frames holding 5,001 underruns requests
// the reset, and the next OUT completion breaks the stream once, one
// state change 2, with nothing more after it.
TEST(BulkStart, UnderrunsFillingTheResetWindowBreakTheStreamOnce) {
    HarnessOptions o;
    o.device = DeviceKind::Bulk;
    o.cycleMicros = 20000000; // the client's first write comes after the run
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    const auto& bulk = h.device()->getBulkStreaming();
    // The first window ends short of the count (the start's grace spent
    // part of it); the second is not full yet.
    h.run(5000000);
    EXPECT_FALSE(bulk.resetRequested());
    EXPECT_EQ(h.report().streamBreaks, 0u);
    const size_t before = h.report().stateChanges.size();
    h.run(3000000);
    EXPECT_TRUE(bulk.resetRequested());
    EXPECT_GE(bulk.underruns(), 5001u);
    const HarnessReport r = h.report();
    EXPECT_EQ(r.streamBreaks, 1u);
    EXPECT_EQ(hx::harness::rows::codesSince(r, before), std::vector<uint32_t>{2u});
}

} // namespace
