// What breaks an isochronous stream on the input side, through the client
// harness on the virtual clock: a channel change while streaming, and input
// packets that leave the frame pattern's range (on the devices that count
// them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "abi/DriverSM.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXLog.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;

size_t countOf(const std::vector<uint32_t>& v, uint32_t code) {
    return size_t(std::count(v.begin(), v.end(), code));
}

size_t occurrences(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

HarnessOptions fullSpeed48k() {
    HarnessOptions o;
    o.highSpeed = false;
    o.rate = 48000;
    o.reactToStateChanges = true;
    return o;
}

TEST(InputBreaks, AChannelChangeWhileStreamingBreaksAtTheNextReadAndRecoveryRestoresTheStream) {
    ClientHarness h(fullSpeed48k());
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(200000);
    ASSERT_EQ(h.report().streamBreaks, 0u);
    ZrDevice* dev = h.device();
    DriverSM* sm = dev->getDriverSM();
    const uint32_t token = sm->mNewConfigPending;

    hx::log::Capture log;
    dev->setReadChannels(4, 4); // as the channel request does
    EXPECT_TRUE(dev->isPendingChange());
    EXPECT_EQ(sm->mNewConfigPending, token); // the clients' word is not the kernel's flag
    h.run(20000);
    EXPECT_EQ(
        occurrences(log.text(),
                    "ZrDevice::rtsIsoReadComplete: Channels config changed -> STC_STREAM_BROKEN\n"),
        1u);
    EXPECT_FALSE(dev->isPendingChange());
    EXPECT_EQ(sm->mNewConfigPending, token);

    h.run(2500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, 1u);
    EXPECT_EQ(countOf(r.stateChanges, STC_STREAM_BROKEN), 1u);
    EXPECT_EQ(r.recoveries, 1u);
    EXPECT_TRUE(dev->isStreamingStarted());
    EXPECT_EQ(dev->getCurrentSettings().InChannels, 2u);
    EXPECT_EQ(dev->getCurrentSettings().OutChannels, 2u);
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 48000u / 2);
}

struct OffSizeCase {
    const char* name;
    uint16_t vendor, product;
    bool merrow; // no features record (else one with feature 0 clear)
    uint32_t badPackets;
    bool breaks;
};

class OffSizeInput : public ::testing::TestWithParam<OffSizeCase> {};

// 40 frames at 48 kHz on full speed: outside 46..50, each packet one error.
TEST_P(OffSizeInput, BreaksOnlyFrom41ErrorsOnTheDevicesThatCountThem) {
    const OffSizeCase& c = GetParam();
    HarnessOptions o = fullSpeed48k();
    o.vendorID = c.vendor;
    o.productID = c.product;
    if (c.vendor != kKorvexVendorID) o.device = hx::harness::DeviceKind::ClassCompliant;
    ClientHarness h(o);
    ASSERT_TRUE(h.boot()) << h.lastError();
    if (!c.merrow) {
        APISpecificFeatures f;
        std::memset(&f, 0, sizeof f);
        f.mLoaded = 1;
        h.device()->initialSettings(&f);
    }
    ASSERT_TRUE(h.openClient() && h.configure() && h.setRouting() && h.attachRing())
        << h.lastError();
    h.run(200000);
    ASSERT_EQ(h.report().streamBreaks, 0u);
    ASSERT_EQ(h.device()->isMerrowCompatible(), c.merrow);

    hx::log::Capture log;
    h.model()->sendOffSizeInPackets(c.badPackets, 40);
    h.run(1500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(occurrences(log.text(), "ZrDevice::rtsIsoReadComplete: STC_STREAM_BROKEN\n"),
              c.breaks ? 1u : 0u);
    EXPECT_EQ(r.streamBreaks, c.breaks ? 1u : 0u);
    EXPECT_EQ(r.recoveries, c.breaks ? 1u : 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_TRUE(r.streamRecovered || !c.breaks);
    // Locked again: the count starts over.
    EXPECT_EQ(h.device()->getIsocStreaming().inputErrors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ByIdentity, OffSizeInput,
    ::testing::Values(
        OffSizeCase{"HX5100Forty", kKorvexVendorID, kKorvexHX5100ProductID, true, 40, false},
        OffSizeCase{"HX5100FortyOne", kKorvexVendorID, kKorvexHX5100ProductID, true, 41, true},
        OffSizeCase{"ListedFortyOne", kHarlowVendorID, kHarlowStrictInputH2ProductID, false, 41,
                    true},
        OffSizeCase{"UnlistedHundred", kHarlowVendorID, 0x0009, false, 100, false}),
    [](const ::testing::TestParamInfo<OffSizeCase>& i) { return std::string(i.param.name); });

} // namespace
