// Faults of the bulk and interrupt transports end to end, through the client
// harness on the virtual clock: each fault gives one broken stream (or
// none); a broken stream comes back by the recovery user space asks for
// (stages 1 and 2), an unbroken one carries on; either way the loopback is
// bit-exact again afterwards, and no frame that reaches the client is
// anything but silence or a frame it played (a stale packet tail or the
// arrival markers would not be). Then the stop that gives the transfers up,
// the unplug with its teardown, and the plain interrupt device
// reconfigured to another packet size.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "abi/ProductIdentities.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOService.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/BulkProtocolModel.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/usb/devices/FeedbackModel.h"
#include "platform/usb/devices/InterruptPcmModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::rows::codesSince;
using hx::harness::rows::dispatch;
using hx::harness::rows::record;
using hx::usb::devices::BulkProtocolModel;
using hx::usb::devices::ChannelStreamDevice;
using hx::usb::devices::EndpointFault;
using hx::usb::devices::Farlane2Model;
using hx::usb::devices::FeedbackModel;
using hx::usb::devices::InterruptPcmModel;
using hx::usb::devices::Ramp;

long countOf(const std::vector<uint32_t>& codes, uint32_t code) {
    return long(std::count(codes.begin(), codes.end(), code));
}

std::string deviceName(DeviceKind d) {
    switch (d) {
    case DeviceKind::Bulk:
        return "Bulk";
    case DeviceKind::BulkInterrupt:
        return "BulkInterrupt";
    case DeviceKind::Feedback:
        return "Feedback";
    case DeviceKind::Interrupt:
        return "Interrupt";
    case DeviceKind::Farlane2:
        return "Farlane2";
    default:
        return "Other";
    }
}

HarnessOptions optionsFor(DeviceKind device) {
    HarnessOptions o;
    o.device = device;
    o.rate = 48000;
    // The Farlane-2 product of the table's first channel pair; the bulk
    // device's interrupt variant carries 20 frames an out packet, which
    // the 8-channel encoder fills.
    o.channels = device == DeviceKind::Farlane2 ? 4 : device == DeviceKind::BulkInterrupt ? 8 : 2;
    o.ppm = 100;
    o.reactToStateChanges = true;
    return o;
}

ChannelStreamDevice& channelDevice(ClientHarness& h) {
    return dynamic_cast<ChannelStreamDevice&>(*h.model());
}

void arm(ClientHarness& h, uint8_t address, const EndpointFault& f) {
    channelDevice(h).armFault(address, f);
}

// Frames that came back from recorded frame `from` on that are neither
// silence nor a frame the client played (input channel c carries the ramp's
// value of output channel c % outputs, whole 24-bit samples): a stale
// packet tail or the arrival markers would be such frames.
uint64_t foreignFramesFrom(ClientHarness& h, size_t from) {
    const std::vector<int32_t>& in = h.recordedInput();
    const uint32_t ch = hx::harness::inputChannels(h.options());
    const uint32_t outs = hx::harness::outputChannels(h.options());
    uint64_t foreign = 0;
    for (size_t f = from; (f + 1) * ch <= in.size(); ++f) {
        const int32_t* frame = in.data() + f * ch;
        if (std::all_of(frame, frame + ch, [](int32_t v) { return v == 0; })) continue;
        const uint32_t counter = uint32_t(frame[0]) >> 8;
        bool played = true;
        for (uint32_t k = 0; k < ch && played; ++k)
            played = uint32_t(frame[k]) == Ramp::sample(counter, k % outs) << 8;
        foreign += !played;
    }
    return foreign;
}

// The frames the played counter skips at each place, from recorded frame
// `from` on (silence passed over).
std::vector<uint32_t> skipsFrom(ClientHarness& h, size_t from) {
    const std::vector<int32_t>& in = h.recordedInput();
    const uint32_t ch = hx::harness::inputChannels(h.options());
    std::vector<uint32_t> skips;
    std::optional<uint32_t> last;
    for (size_t f = from; (f + 1) * ch <= in.size(); ++f) {
        if (in[f * ch] == 0) continue;
        const uint32_t counter = uint32_t(in[f * ch]) >> 8;
        if (last && counter != ((*last + 1) & Ramp::kMask))
            skips.push_back((counter - *last - 1) & Ramp::kMask);
        last = counter;
    }
    return skips;
}

size_t recordedFrames(ClientHarness& h) {
    return h.recordedInput().size() / hx::harness::inputChannels(h.options());
}

// ---- Faults on a running stream

struct FaultCase {
    const char* name;
    DeviceKind device;
    bool breaks;
    void (*inject)(ClientHarness&);
    const char* logLine;   // the driver logs this on the fault (nullptr: nothing asked)
    uint64_t settleMicros; // the fault plays out in this time
    uint64_t guardInserts; // at least this many frames inserted by the drift guard
    // The input frames lost, all in one place (a short packet's), or -1:
    // not looked at.
    int32_t lostFrames = -1;
};

std::string faultName(const ::testing::TestParamInfo<FaultCase>& i) {
    return deviceName(i.param.device) + "_" + i.param.name;
}

class TransportFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TransportFaults, OneBrokenStreamAtMostAndTheLoopbackIsBitExactAgain) {
    const FaultCase c = GetParam();
    hx::log::Capture log;
    ClientHarness h(optionsFor(c.device));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    {
        const HarnessReport r = h.report();
        ASSERT_TRUE(r.matched) << hx::harness::describe(r);
        ASSERT_EQ(r.streamBreaks, 0u);
    }
    const size_t before = h.report().stateChanges.size();
    const size_t faultAt = recordedFrames(h);
    c.inject(h);
    h.run(c.settleMicros);
    const HarnessReport during = h.report();
    const std::vector<uint32_t> codes = codesSince(during, before);
    if (c.breaks) {
        SCOPED_TRACE(hx::harness::describe(during));
        EXPECT_EQ(countOf(codes, STC_STREAM_BROKEN), 1);
        EXPECT_EQ(during.streamBreaks, 1u);
        EXPECT_EQ(during.recoveries, 1u);
    } else {
        // Nothing was told: the stream went on.
        EXPECT_TRUE(codes.empty()) << codes.front();
        h.restartLoopbackCheck();
    }
    if (c.logLine) {
        EXPECT_NE(log.text().find(c.logLine), std::string::npos) << c.logLine;
    }
    h.run(600000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, c.breaks ? 1u : 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 24000u);
    EXPECT_GE(r.guardInserts, c.guardInserts);
    // Across the fault and the recovery, only silence and played frames.
    EXPECT_EQ(foreignFramesFrom(h, faultAt), 0u);
    if (c.lostFrames >= 0) {
        EXPECT_EQ(skipsFrom(h, faultAt - 1), std::vector<uint32_t>{uint32_t(c.lostFrames)});
    }
}

// The frames the guard makes up of 200 dropped ones at 48 kHz at least: all
// but the band between its critical point (rate / 700) and its low
// threshold (rate / 1370).
constexpr uint64_t kDropMadeUp = 200 - (48000 / 700 - 48000 / 1370);

EndpointFault nak(uint32_t ms) {
    EndpointFault f;
    f.nakMs = ms;
    return f;
}
EndpointFault stall() {
    EndpointFault f;
    f.stalls = 1;
    return f;
}
EndpointFault shortPacket(uint32_t bytes) {
    EndpointFault f;
    f.shortPackets = 1;
    f.shortBytes = bytes;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    FaultsByModel, TransportFaults,
    ::testing::Values(
        // The bulk in pipe's transfers time out after 50 ms.
        FaultCase{"InNakPast50ms", DeviceKind::Bulk, true,
                  [](ClientHarness& h) { arm(h, BulkProtocolModel::kBulkIn, nak(60)); },
                  "ZrDevice::bulkInpEvent: STC_STREAM_BROKEN\n", 1500000, 0},
        FaultCase{"OutStall", DeviceKind::Bulk, true,
                  [](ClientHarness& h) { arm(h, BulkProtocolModel::kBulkOut, stall()); },
                  "ZrDevice::bulkOutEvent: STC_STREAM_BROKEN\n", 1500000, 0},
        FaultCase{"OutStall", DeviceKind::BulkInterrupt, true,
                  [](ClientHarness& h) { arm(h, BulkProtocolModel::kBulkOut, stall()); },
                  "ZrDevice::bulkOutEvent: STC_STREAM_BROKEN\n", 1500000, 0},
        FaultCase{"OutStall", DeviceKind::Interrupt, true,
                  [](ClientHarness& h) { arm(h, InterruptPcmModel::kOut, stall()); },
                  "ZrDevice::interruptOutEvent: STC_STREAM_BROKEN\n", 1500000, 0},
        FaultCase{"OutStall", DeviceKind::Farlane2, true,
                  [](ClientHarness& h) { arm(h, Farlane2Model::kOut, stall()); },
                  "ZrDevice::interruptOutEvent_Flb: STC_STREAM_BROKEN\n", 1500000, 0},
        // A short packet ends the transfer: its whole packets are decoded,
        // the part packet is not.
        FaultCase{"ShortTransfer", DeviceKind::Bulk, false,
                  [](ClientHarness& h) { arm(h, BulkProtocolModel::kBulkIn, shortPacket(100)); },
                  nullptr, 300000, 0, 8},
        FaultCase{"ShortTransfer", DeviceKind::BulkInterrupt, false,
                  [](ClientHarness& h) { arm(h, BulkProtocolModel::kBulkIn, shortPacket(600)); },
                  nullptr, 300000, 0, 16},
        FaultCase{"ShortTransfer", DeviceKind::Feedback, false,
                  [](ClientHarness& h) { arm(h, FeedbackModel::kBulkIn, shortPacket(100)); },
                  nullptr, 300000, 0, 8},
        FaultCase{"ShortTransfer", DeviceKind::Interrupt, false,
                  [](ClientHarness& h) { arm(h, InterruptPcmModel::kIn, shortPacket(40)); },
                  nullptr, 300000, 0, 16},
        FaultCase{"ShortTransfer", DeviceKind::Farlane2, false,
                  [](ClientHarness& h) { arm(h, Farlane2Model::kIn, shortPacket(100)); }, nullptr,
                  300000, 0, 7},
        // Input frames the device never sends: the drift guard finds the
        // out side ahead of the ring at the end of its window of 750 out
        // completions and inserts frames until the lead is back under its
        // critical point: every dropped frame is made up but for at most
        // the band between the critical point and the low threshold (a
        // window that straddles the drop sees only part of it). The window is 20 packets of 10
        // frames a completion on the bulk device, of 20 frames on its interrupt variant and 64 of
        // 16 on the plain interrupt device (about 16 s of audio at 48 kHz). The Farlane-2 input
        // path has no insert step: no row.
        FaultCase{"DroppedInputFrames", DeviceKind::Bulk, false,
                  [](ClientHarness& h) { channelDevice(h).dropInputFrames(200); },
                  "insert frame mBulkIOGuard_CiticalPointDiff:", 7000000, kDropMadeUp},
        FaultCase{"DroppedInputFrames", DeviceKind::BulkInterrupt, false,
                  [](ClientHarness& h) { channelDevice(h).dropInputFrames(200); },
                  "insert frame mBulkIOGuard_CiticalPointDiff:", 7000000, kDropMadeUp},
        FaultCase{"DroppedInputFrames", DeviceKind::Interrupt, false,
                  [](ClientHarness& h) { channelDevice(h).dropInputFrames(200); },
                  "insert frame mInterruptIOGuard_CiticalPointDiff:", 18000000, kDropMadeUp},
        // The host controller starves for 15 ms: the keep-alive stream's
        // completions come back late and its plan moves on.
        FaultCase{"LateKeepAliveCompletion", DeviceKind::Bulk, false,
                  [](ClientHarness& h) {
                      h.bus()->holdScheduling(true);
                      h.idle(15000);
                      h.bus()->holdScheduling(false);
                  },
                  "rtsIsoWriteComplete to late current:", 300000, 0}),
    faultName);

// ---- Stop, unplug, reconfiguration

// Every record of the transport the device runs, for `check` (the
// feedback device has no bulk out pipe: no out records).
template <class Check> void forEachRecord(ZrBulkStreaming& b, Check check) {
    if (b.transport() == BulkTransport::Bulk) {
        for (uint32_t i = 0; i < kBulkInRecords; ++i)
            check(b.bulkIn(i), "bulk in", i);
        for (uint32_t i = 0; i < kBulkOutRecords && b.bulkOut(0).packetSize(); ++i)
            check(b.bulkOut(i), "bulk out", i);
    } else {
        for (uint32_t i = 0; i < kInterruptInRecords; ++i)
            check(b.intIn(i), "interrupt in", i);
        for (uint32_t i = 0; i < kInterruptOutRecords; ++i)
            check(b.intOut(i), "interrupt out", i);
    }
}

constexpr uint32_t kCodeResume = 37;
constexpr uint32_t kCodeSuspend = 38;

class TransportStop : public ::testing::TestWithParam<DeviceKind> {};

// The stop aborts both pipes: the in transfers give up (logged), nothing
// is resubmitted and nothing is told; every record comes back. The resume
// starts the transport again and the loopback is bit-exact.
TEST_P(TransportStop, TheTransfersGiveUpWithoutABreakAndTheResumeLoopsBackBitExact) {
    const DeviceKind device = GetParam();
    hx::log::Capture log;
    ClientHarness h(optionsFor(device));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    ASSERT_TRUE(h.report().matched) << hx::harness::describe(h.report());
    const size_t before = h.report().stateChanges.size();

    QN_Dispatch suspend = record(kCodeSuspend);
    ASSERT_EQ(dispatch(h, suspend), kIOReturnSuccess);
    EXPECT_EQ(suspend.data.ulValue, 1u);
    EXPECT_FALSE(h.device()->isStreamingStarted());
    h.idle(50000);
    ZrBulkStreaming& b = h.device()->getBulkStreaming();
    EXPECT_FALSE(b.isStreamingStarted());
    forEachRecord(b, [](auto& r, const char* list, uint32_t i) {
        EXPECT_EQ(r.useCount(), 0) << list << " " << i;
        EXPECT_NE(r.data(), nullptr) << list << " " << i; // kept for the resume
    });
    const std::string giving =
        device == DeviceKind::Interrupt || device == DeviceKind::Farlane2
            ? "ZrDevice::interruptAudioInCompletion Transfer aborted, giving up\n"
            : "ZrDevice::bulkAudioInCompletion Transfer aborted, giving up\n";
    EXPECT_NE(log.text().find(giving), std::string::npos);
    EXPECT_EQ(log.text().find("STC_STREAM_BROKEN"), std::string::npos);

    QN_Dispatch resume = record(kCodeResume);
    ASSERT_EQ(dispatch(h, resume), kIOReturnSuccess);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    h.restartLoopbackCheck();
    h.run(600000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(countOf(codesSince(r, before), STC_STREAM_BROKEN), 0);
    EXPECT_EQ(h.ringState(), 1u);
    EXPECT_TRUE(r.streamRecovered);
    EXPECT_TRUE(r.matchedAfterRecovery);
    EXPECT_GT(r.framesCheckedAfterRecovery, 24000u);
}

class TransportUnplug : public ::testing::TestWithParam<DeviceKind> {};

// Unplugged mid-stream: the transfers end, the stream is declared broken
// once at most, and the teardown stops the transport and gives every
// buffer back (the address sanitizer sees what is left or used after).
TEST_P(TransportUnplug, TheStreamBreaksOnceAtMostAndTheTeardownReleasesEveryRecord) {
    HarnessOptions o = optionsFor(GetParam());
    o.reactToStateChanges = false;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    ASSERT_TRUE(h.report().matched) << hx::harness::describe(h.report());
    // The harness holds the service, so the device outlives its teardown.
    ZrDevice* dev = h.device();
    ZrBulkStreaming& b = dev->getBulkStreaming();
    const BulkTransport transport = b.transport();
    ASSERT_NE(transport, BulkTransport::None);
    h.bus()->unplug(h.port());
    h.run(100000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_LE(r.streamBreaks, 1u);
    h.stop();
    hx::kern::waitQuiet();
    EXPECT_TRUE(h.service()->isInactive());
    EXPECT_FALSE(dev->isStreamingStarted());
    EXPECT_FALSE(b.isStreamingStarted());
    EXPECT_EQ(b.transport(), BulkTransport::None);
    auto released = [](auto& rec, const char* list, uint32_t i) {
        EXPECT_EQ(rec.useCount(), 0) << list << " " << i;
        EXPECT_EQ(rec.data(), nullptr) << list << " " << i;
    };
    for (uint32_t i = 0; i < kBulkInRecords; ++i)
        released(b.bulkIn(i), "bulk in", i);
    for (uint32_t i = 0; i < kBulkOutRecords; ++i)
        released(b.bulkOut(i), "bulk out", i);
    for (uint32_t i = 0; i < kInterruptInRecords; ++i)
        released(b.intIn(i), "interrupt in", i);
    for (uint32_t i = 0; i < kInterruptOutRecords; ++i)
        released(b.intOut(i), "interrupt out", i);
}

std::string modelName(const ::testing::TestParamInfo<DeviceKind>& i) {
    return deviceName(i.param);
}

INSTANTIATE_TEST_SUITE_P(Models, TransportStop,
                         ::testing::Values(DeviceKind::Bulk, DeviceKind::BulkInterrupt,
                                           DeviceKind::Feedback, DeviceKind::Interrupt,
                                           DeviceKind::Farlane2),
                         modelName);
INSTANTIATE_TEST_SUITE_P(Models, TransportUnplug,
                         ::testing::Values(DeviceKind::Bulk, DeviceKind::BulkInterrupt,
                                           DeviceKind::Feedback, DeviceKind::Interrupt,
                                           DeviceKind::Farlane2),
                         modelName);

// The plain interrupt device offers 2 and 4 channels, at packets of 16
// frames: a user asking for the other count gets the other alternate, and
// the records are sized for its pipes (never kept for the old ones); the
// loopback is bit-exact each time.
TEST(InterruptReconfiguration, AnotherChannelCountStreamsAtTheOtherPacketSizeBitExact) {
    auto model = std::make_shared<InterruptPcmModel>(
        hx::usb::devices::HX5100Identity{kKorvexVendorID, kKorvexMRW30ProductID, 0x0100, "KORVEX",
                                         "MRW30", "SN0030"},
        hx::usb::devices::InterruptPcmLayout{{2, 4}, 16});
    HarnessOptions o = optionsFor(DeviceKind::Interrupt);
    o.model = model;
    ClientHarness h(o);
    ZrBulkStreaming* b = nullptr;
    for (uint32_t channels : {2u, 4u, 2u}) {
        SCOPED_TRACE(channels);
        HarnessOptions c = o;
        c.channels = channels;
        h.replaceClient(c);
        ASSERT_TRUE(h.start()) << h.lastError();
        b = &h.device()->getBulkStreaming();
        h.run(600000);
        const HarnessReport r = h.report();
        SCOPED_TRACE(hx::harness::describe(r));
        EXPECT_EQ(r.inChannels, channels);
        EXPECT_EQ(r.outChannels, channels);
        EXPECT_EQ(r.streamBreaks, 0u);
        EXPECT_TRUE(r.matched);
        EXPECT_TRUE(r.latencyConstant);
        EXPECT_GT(r.framesChecked, 20000u);
        const uint32_t packet = 16 * channels * 4;
        forEachRecord(*b, [packet](auto& rec, const char* list, uint32_t i) {
            EXPECT_EQ(rec.packetSize(), packet) << list << " " << i;
        });
        EXPECT_EQ(b->outFramesPerPacket(), 16u);
    }
    EXPECT_EQ(model->stats().outBadPackets, 0u);
}

} // namespace
