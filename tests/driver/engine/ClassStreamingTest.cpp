// The class-compliant model streaming through the real driver and the client
// harness on the virtual clock: its 16- and 24-bit alternates loop the
// played ramp back bit for bit, and the Olvq byte's restart while streaming
// breaks the stream once and recovery brings it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "abi/ProductIdentities.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_RequestCodes.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;

struct Case {
    const char* name;
    uint16_t vendor, product;
    uint32_t rate, bits;
};

HarnessOptions classOptions(const Case& c) {
    HarnessOptions o;
    o.device = hx::harness::DeviceKind::ClassCompliant;
    o.vendorID = c.vendor;
    o.productID = c.product;
    o.highSpeed = false;
    o.rate = c.rate;
    o.resolution = c.bits;
    o.reactToStateChanges = true;
    return o;
}

// Booted, not Merrow-compatible (a features record with flag 0 clear), a
// client configured and attached.
bool startClass(ClientHarness& h) {
    if (!h.boot()) return false;
    APISpecificFeatures f;
    std::memset(&f, 0, sizeof f);
    f.mLoaded = 1;
    h.device()->initialSettings(&f);
    return h.openClient() && h.configure() && h.setRouting() && h.attachRing();
}

class ClassLoopback : public ::testing::TestWithParam<Case> {};

// The alternate of the asked resolution streams each way; the played ramp
// (16-bit at 16 bits) comes back whole at one latency, and the device's
// checker sees it unbroken.
TEST_P(ClassLoopback, ThePlayedRampReturnsBitForBit) {
    const Case& c = GetParam();
    ClientHarness h(classOptions(c));
    ASSERT_TRUE(startClass(h)) << h.lastError();
    h.run(500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.rate, c.rate);
    EXPECT_EQ(r.resolution, c.bits);
    const int alternate = c.bits == 16 ? 1 : 2;
    EXPECT_EQ(h.device()->getConfigurations().mpOutInterface->getAlternateNumber(), alternate);
    EXPECT_EQ(h.device()->getConfigurations().mpInInterface->getAlternateNumber(), alternate);
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.latencyKnown);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_TRUE(r.matched);
    EXPECT_GT(r.framesChecked, uint64_t(c.rate) / 4);
    const auto s = h.model()->streamStats();
    EXPECT_GT(s.rampFrames, uint64_t(c.rate) / 4);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.discontinuities, 0u);
    EXPECT_EQ(s.outMisaligned, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ByFormat, ClassLoopback,
    ::testing::Values(Case{"Typical16At44k", kCadenzaVendorID, kCadenzaTypicalProductID, 44100, 16},
                      Case{"Typical16At48k", kCadenzaVendorID, kCadenzaTypicalProductID, 48000, 16},
                      Case{"Typical24At44k", kCadenzaVendorID, kCadenzaTypicalProductID, 44100, 24},
                      Case{"Typical24At48k", kCadenzaVendorID, kCadenzaTypicalProductID, 48000,
                           24}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// Request 5 on the Olvq identity while streaming: the byte goes out once,
// one state change 2; the client's stage 1 answers true, stage 2 restarts
// and the loopback matches again. The client asks 16 bits as the Olvq
// configuration does; the Olvq rows take the 24-bit alternates first, and
// the 16-bit ramp comes back whole on them.
TEST(ClassOlvqByte, ASetWhileStreamingBreaksOnceAndTheStreamComesBack) {
    const Case c{"Olvq", kOlvqVendorID, kOlvq186ProductID, 44100, 16};
    ClientHarness h(classOptions(c));
    ASSERT_TRUE(startClass(h)) << h.lastError();
    h.run(300000);
    ASSERT_TRUE(h.report().matched);
    ASSERT_EQ(h.report().resolution, 24u);
    ASSERT_EQ(h.report().streamBreaks, 0u);
    h.model()->clearTrace();

    QN_Dispatch d{};
    d.code = EQN_SetOlvqCpldByte;
    d.data.cValue = 0x10;
    ASSERT_TRUE(h.service()->dispatchLock().lockMutex("test"));
    EXPECT_EQ(h.device()->onDispatch(&d), kIOReturnSuccess);
    h.service()->dispatchLock().unlock();
    EXPECT_EQ(h.device()->getOlvqCpldByte(), 0xE7 | 0x10);

    h.run(2500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(std::count(r.stateChanges.begin(), r.stateChanges.end(), uint32_t(STC_STREAM_BROKEN)),
              1);
    EXPECT_EQ(r.streamBreaks, 1u);
    EXPECT_EQ(r.recoveries, 1u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 44100u / 2);
    // The byte went to the device once before the recovery's configuration
    // sent it again.
    size_t sent = 0;
    for (const auto& e : h.model()->trace())
        if (e.setup.bmRequestType == 0x40 && e.setup.bRequest == 0x49 && e.setup.wIndex == 1 &&
            e.setup.wValue == (0xE7 | 0x10))
            ++sent;
    EXPECT_GE(sent, 1u);
}

} // namespace
