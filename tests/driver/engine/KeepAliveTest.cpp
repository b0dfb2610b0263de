// The bulk-protocol device through the client harness on the virtual
// clock: the keep-alive stream beside the bulk pipes (a packet every
// microframe, a late completion moving the plan on), the start of a bulk-
// only product, the selector product's encoder per digital-out selector,
// and the interrupt variant's loopback.
#include <gtest/gtest.h>

#include <string>

#include "abi/ProductIdentities.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOService.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/BulkProtocolModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::usb::devices::BulkProtocolModel;
using hx::usb::devices::BulkProtocolStats;

HarnessOptions bulkDevice(DeviceKind kind = DeviceKind::Bulk, uint32_t channels = 2) {
    HarnessOptions o;
    o.device = kind;
    o.rate = 48000;
    o.channels = channels;
    return o;
}

BulkProtocolStats stats(ClientHarness& h) {
    return static_cast<BulkProtocolModel&>(*h.model()).stats();
}

TEST(KeepAlive, TheBulkDeviceGetsAPacketEveryMicroframeWithoutAGap) {
    hx::log::Capture log;
    ClientHarness h(bulkDevice());
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(200000);
    const BulkProtocolStats before = stats(h);
    h.run(500000);
    const BulkProtocolStats after = stats(h);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_NE(log.text().find("starting keep alive stream..."), std::string::npos);
    // 500 ms of high-speed bus: 4,000 microframes, one packet each.
    EXPECT_EQ(after.keepAlivePackets - before.keepAlivePackets, 4000u);
    EXPECT_EQ(after.keepAliveGaps, 0u);
    EXPECT_EQ(h.device()->getIsocStreaming().keepAliveLateCompletions(), 0u);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    // The report carries the counts.
    EXPECT_TRUE(r.bulkTransport);
    EXPECT_EQ(r.keepAliveGaps, 0u);
    EXPECT_EQ(r.keepAlivePackets, after.keepAlivePackets);
}

// The host controller starves for 15 ms: every keep-alive request in flight
// misses its microframes and completes late. The plan moves on from the
// current frame, the stream carries on unbroken and the packets come again
// every microframe.
TEST(KeepAlive, ALateCompletionMovesThePlanAndTheStreamCarriesOn) {
    hx::log::Capture log;
    ClientHarness h(bulkDevice());
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(200000);
    h.bus()->holdScheduling(true);
    h.idle(15000);
    h.bus()->holdScheduling(false);
    h.run(100000);
    ZrIsocStreaming& isoc = h.device()->getIsocStreaming();
    EXPECT_GE(isoc.keepAliveLateCompletions(), 1u);
    EXPECT_NE(log.text().find("rtsIsoWriteComplete to late current:"), std::string::npos);
    const BulkProtocolStats settled = stats(h);
    h.run(300000);
    const BulkProtocolStats after = stats(h);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(after.keepAlivePackets - settled.keepAlivePackets, 2400u);
    EXPECT_EQ(after.keepAliveGaps, settled.keepAliveGaps);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_EQ(isoc.streamBrokenWord(), 0u);
}

// A bulk-only product's start runs the bulk transport and its keep-alive
// stream; nothing marks the bus frame number bad.
TEST(KeepAlive, ABulkOnlyProductStartsItsBulkTransportWithoutABadFrameMark) {
    ClientHarness h(bulkDevice());
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(100000);
    ZrDevice* dev = h.device();
    EXPECT_TRUE(dev->isStreamingStarted());
    EXPECT_TRUE(dev->getBulkStreaming().isStreamingStarted());
    EXPECT_FALSE(dev->hasBadFrameNumber());
    EXPECT_FALSE(dev->getIsocStreaming().badFrameSeen());
    EXPECT_TRUE(dev->stubTrace().empty()) << dev->stubTrace().front();
    const BulkProtocolStats s = stats(h);
    EXPECT_GT(s.inPackets, 0u);
    EXPECT_GT(s.outPackets, 0u);
    EXPECT_GT(s.keepAlivePackets, 0u);
}

// The teardown releases the keep-alive ring with the stream's others (an
// unplug while streaming; the address sanitizer sees any leak).
TEST(KeepAlive, UnplugWhileStreamingReleasesTheRing) {
    ClientHarness h(bulkDevice());
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(100000);
    EXPECT_GT(stats(h).keepAlivePackets, 0u);
    // The harness holds the service, so the device outlives its teardown.
    ZrIsocStreaming& isoc = h.device()->getIsocStreaming();
    h.bus()->unplug(h.port());
    h.stop();
    hx::kern::waitQuiet();
    for (ZrIsocRB* rb : isoc.keepAliveRing().mRBs)
        EXPECT_EQ(rb, nullptr);
    EXPECT_EQ(isoc.keepAliveRing().mpUSBFrameInDataBuffer, nullptr);
}

// The selector product (8 outputs): each digital-out selector chooses its
// lane-pair encoder, taken by the running stream; a selector of 4 or more
// changes nothing.
TEST(SelectorEncoder, EachSelectorChoosesItsLanePairEncoder) {
    HarnessOptions o = bulkDevice(DeviceKind::Bulk, 8);
    o.vendorID = kBulkSelectorVendorID;
    o.productID = kBulkSelectorProductID;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(50000);
    ZrDevice* dev = h.device();
    ZrBulkStreaming& bulk = dev->getBulkStreaming();
    ASSERT_TRUE(bulk.isStreamingStarted());
    EXPECT_EQ(bulk.encoder(), dmaEncode10_12.load());
    struct Row {
        uint32_t selector;
        DMA_CONVERT_FNC encoder;
        uint32_t stored;
    };
    const Row rows[] = {
        {1, dmaEncode10_34.load(), 1}, {2, dmaEncode10_56.load(), 2}, {3, dmaEncode10_78.load(), 3},
        {4, dmaEncode10_78.load(), 3}, {0, dmaEncode10_12.load(), 0}, {2, dmaEncode10_56.load(), 2},
    };
    for (const Row& row : rows) {
        dev->setDigitalOutSelector(row.selector);
        EXPECT_EQ(bulk.encoder(), row.encoder) << row.selector;
        EXPECT_EQ(dev->getAjExtData().mDigitalOutSelector, row.stored) << row.selector;
        h.run(20000);
    }
    EXPECT_EQ(h.report().streamBreaks, 0u);
    EXPECT_EQ(stats(h).outBadPackets, 0u);
}

// Another bulk product's selector control does nothing: the encoder stays.
TEST(SelectorEncoder, OtherProductsKeepTheirEncoder) {
    ClientHarness h(bulkDevice(DeviceKind::Bulk, 8));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(20000);
    ZrDevice* dev = h.device();
    dev->setDigitalOutSelector(2);
    EXPECT_EQ(dev->getBulkStreaming().encoder(), dmaEncode08.load());
    EXPECT_EQ(dev->getAjExtData().mDigitalOutSelector, 0u);
}

// The interrupt variant (1,024-byte IN, 964-byte OUT packets) streams its
// loopback bit-exact; it runs no keep-alive stream (its audio pipes are
// interrupt pipes).
TEST(BulkInterrupt, TheInterruptVariantStreamsBitExact) {
    ClientHarness h(bulkDevice(DeviceKind::BulkInterrupt, 8));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(700000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_GT(r.framesChecked, 48000u / 4);
    EXPECT_EQ(stats(h).keepAlivePackets, 0u);
    EXPECT_EQ(stats(h).outBadPackets, 0u);
}

} // namespace
