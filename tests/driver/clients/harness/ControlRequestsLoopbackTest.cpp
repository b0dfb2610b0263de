// Control requests that stop and restart a running stream, checked by what
// comes back in loopback: the clock source following the digital input, a
// suspend and resume, a raw SET_CONFIGURATION 0 and its recovery, and the
// output levels of a known signal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXLog.h"
#include "platform/kern/OSContainers.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::rows::dispatch;
using hx::harness::rows::record;

uint32_t ajNumber(ClientHarness& h, const char* key) {
    auto* dict = OSDynamicCast(OSDictionary, h.service()->getProperty("AjExtData"));
    auto* n = dict ? OSDynamicCast(OSNumber, dict->getObject(key)) : nullptr;
    return n ? n->unsigned32BitValue() : 0xFFFFFFFFu;
}

// Streaming in loopback, the loopback matched before anything is asked.
struct Streaming {
    explicit Streaming(HarnessOptions o = {}) : h(o) {
        ok = h.start();
        if (ok) h.run(300000);
    }
    ClientHarness h;
    bool ok = false;
};

void expectMatchedAgain(ClientHarness& h) {
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_TRUE(r.matched);
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 48u * 200);
    EXPECT_EQ(r.streamBreaks, 0u);
}

TEST(LoopbackControl, ClockSourceToTheDigitalInputSuspendsResumesAndMatchesAgain) {
    Streaming s;
    ASSERT_TRUE(s.ok) << s.h.lastError();
    s.h.model()->setDigitalInput(48000);
    QN_Dispatch clock = record(16, 1);
    ASSERT_EQ(dispatch(s.h, clock), kIOReturnSuccess);
    EXPECT_EQ(clock.data.ulValue, 1u);
    EXPECT_EQ(s.h.model()->selectorByte() & 0x02, 0); // the device follows its input
    EXPECT_TRUE(s.h.device()->isStreamingStarted());
    QN_Dispatch source = record(15);
    ASSERT_EQ(dispatch(s.h, source), kIOReturnSuccess);
    EXPECT_EQ(source.data.ulValue, 1u);
    QN_Dispatch status = record(17);
    ASSERT_EQ(dispatch(s.h, status), kIOReturnSuccess);
    EXPECT_EQ(status.data.cDigitalStatus.eStatus, 2);
    EXPECT_EQ(status.data.cDigitalStatus.uFreq, 48000u);
    EXPECT_EQ(ajNumber(s.h, "ClockSource"), 1u);
    EXPECT_EQ(ajNumber(s.h, "DigitalLockFrequency"), 48000u);
    s.h.restartLoopbackCheck();
    s.h.run(500000);
    expectMatchedAgain(s.h);
    const auto codes = s.h.report().stateChanges;
    EXPECT_NE(std::find(codes.begin(), codes.end(), uint32_t(STC_SampleCkSrcChanged)), codes.end());
}

TEST(LoopbackControl, SuspendThenResumeMatchesAgain) {
    Streaming s;
    ASSERT_TRUE(s.ok) << s.h.lastError();
    QN_Dispatch suspend = record(38);
    ASSERT_EQ(dispatch(s.h, suspend), kIOReturnSuccess);
    EXPECT_EQ(suspend.data.ulValue, 1u);
    EXPECT_FALSE(s.h.device()->isStreamingStarted());
    s.h.idle(50000);
    EXPECT_EQ(s.h.ringState(), 2u); // the ring says stopped
    QN_Dispatch again = record(38);
    ASSERT_EQ(dispatch(s.h, again), kIOReturnSuccess);
    EXPECT_EQ(again.data.ulValue, 0u);
    QN_Dispatch resume = record(37);
    ASSERT_EQ(dispatch(s.h, resume), kIOReturnSuccess);
    EXPECT_TRUE(s.h.device()->isStreamingStarted());
    s.h.restartLoopbackCheck();
    s.h.run(500000);
    EXPECT_EQ(s.h.ringState(), 1u);
    expectMatchedAgain(s.h);
}

// The output levels of a sine looped back: 49 takes the mix's peaks (and
// clears them), 60 reads the same twice. Every peak lies between the
// largest sample that came back and the largest the client played.
TEST(LoopbackControl, OutputLevelsOfAKnownSignal) {
    HarnessOptions o;
    o.signal = hx::harness::Signal::Sine;
    o.sineAmplitude = 0.5;
    ClientHarness h(o);
    ASSERT_TRUE(h.boot() && h.openClient() && h.configure() && h.setRouting()) << h.lastError();
    QN_Dispatch clear = record(49);
    ASSERT_EQ(dispatch(h, clear), kIOReturnSuccess);
    ASSERT_TRUE(h.attachRing()) << h.lastError();
    h.run(500000);
    const HarnessReport rep = h.report();
    ASSERT_TRUE(rep.matched) << hx::harness::describe(rep);

    QN_Dispatch get1 = record(60), get2 = record(60), take = record(49), after = record(60);
    ASSERT_EQ(dispatch(h, get1), kIOReturnSuccess);
    ASSERT_EQ(dispatch(h, get2), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(get1.data.iLevels, get2.data.iLevels, sizeof get1.data.iLevels), 0);
    ASSERT_EQ(dispatch(h, take), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(get1.data.iLevels, take.data.iLevels, sizeof get1.data.iLevels), 0);
    ASSERT_EQ(dispatch(h, after), kIOReturnSuccess);
    for (int c = 0; c < 32; ++c)
        EXPECT_EQ(after.data.iLevels[c], 0) << c;

    const std::vector<int32_t>& in = h.recordedInput();
    for (uint32_t c = 0; c < 2; ++c) {
        int32_t cameBack = 0, played = 0;
        for (size_t i = c; i < in.size(); i += 2)
            cameBack = std::max(cameBack, in[i]);
        for (uint64_t f = 0; f < rep.framesOut; ++f)
            played = std::max(played, h.playedSample(f, c));
        SCOPED_TRACE(c);
        EXPECT_GT(cameBack, 0x30000000); // half of full scale, nearly
        EXPECT_GE(get1.data.iLevels[c], cameBack);
        EXPECT_LE(get1.data.iLevels[c], played);
    }
    for (int c = 2; c < 32; ++c)
        EXPECT_EQ(get1.data.iLevels[c], 0) << c;
}

size_t countOf(const std::vector<uint32_t>& v, uint32_t code) {
    return size_t(std::count(v.begin(), v.end(), code));
}

// A raw SET_CONFIGURATION 0 through the control request path: the device
// stops streaming, its input fails until the stream is declared broken once,
// and the client's recovery (stages 1 and 2) brings the loopback back.
TEST(LoopbackControl, RawSetConfigurationZeroBreaksOnceAndRecoveryRestoresTheLoopback) {
    HarnessOptions o;
    o.reactToStateChanges = true;
    Streaming s(o);
    ASSERT_TRUE(s.ok) << s.h.lastError();
    ASSERT_EQ(s.h.report().streamBreaks, 0u);
    ASSERT_NE(s.h.model()->configurationValue(), 0);

    hx::log::Capture log;
    QN_Dispatch raw = record(34);
    raw.data.cDevRequest.bRequest = 9; // SET_CONFIGURATION
    raw.data.cDevRequest.wValue = 0;
    raw.data.cDevRequest.eIn = 0;
    raw.data.cDevRequest.eType = 0;
    raw.data.cDevRequest.eRecipient = 0;
    raw.data.cDevRequest.uLength = 0;
    ASSERT_EQ(dispatch(s.h, raw), kIOReturnSuccess);
    EXPECT_EQ(raw.data.cDevRequest.uLength, 0u);
    EXPECT_EQ(s.h.model()->configurationValue(), 0); // the device left its configuration

    s.h.run(2500000);
    const HarnessReport r = s.h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    // Broken by the input errors, once; recovery ran both stages once.
    const std::string text = log.text();
    const std::string broken = "ZrDevice::rtsIsoReadComplete: STC_STREAM_BROKEN\n";
    const size_t at = text.find(broken);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.find(broken, at + 1), std::string::npos);
    EXPECT_EQ(r.streamBreaks, 1u);
    EXPECT_EQ(countOf(r.stateChanges, STC_STREAM_BROKEN), 1u);
    EXPECT_EQ(r.recoveries, 1u);
    EXPECT_NE(s.h.model()->configurationValue(), 0); // configured again by recovery
    EXPECT_TRUE(s.h.device()->isStreamingStarted());
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 48000u / 2);
}

} // namespace
