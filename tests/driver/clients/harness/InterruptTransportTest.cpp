// The interrupt transports through the client harness, on the virtual
// clock: the plain interrupt device (interleaved 32-bit PCM) and the second
// Sorvik Farlane generation (7-frame big-endian packets behind a 32-byte
// header) loop their output back bit-exact, and their faults give at most
// one broken stream that recovery brings back to a bit-exact loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "tests/driver/clients/harness/HarnessRows.h"
#include "driver/engine/ZrDevice.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/usb/devices/InterruptPcmModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::harness::rows::codesSince;
using hx::usb::devices::ChannelStreamDevice;
using hx::usb::devices::EndpointFault;
using hx::usb::devices::Farlane2Model;
using hx::usb::devices::InterruptPcmModel;

struct LoopCase {
    DeviceKind device;
    uint32_t rate;
    uint32_t channels;
    int32_t ppm;
};

std::string caseName(const ::testing::TestParamInfo<LoopCase>& i) {
    const LoopCase& c = i.param;
    return std::string(c.device == DeviceKind::Farlane2 ? "Farlane2_" : "Interrupt_") +
           std::to_string(c.rate) + "Hz_" + std::to_string(c.channels) + "ch_" +
           (c.ppm < 0 ? "minus" : "plus") + std::to_string(std::abs(c.ppm)) + "ppm";
}

class InterruptLoopback : public ::testing::TestWithParam<LoopCase> {};

TEST_P(InterruptLoopback, OutputComesBackBitExactAtOneLatency) {
    const LoopCase c = GetParam();
    HarnessOptions o;
    o.device = c.device;
    o.rate = c.rate;
    o.channels = c.channels;
    o.ppm = c.ppm;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(1000000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.latencyKnown);
    EXPECT_TRUE(r.latencyConstant);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(r.silentFrames, 0u);
    EXPECT_GT(r.framesChecked, uint64_t(c.rate) * 8 / 10);
    EXPECT_EQ(r.fifoUnderrunFrames, 0u);
    EXPECT_EQ(r.fifoOverrunFrames, 0u);
    EXPECT_EQ(h.device()->getBulkStreaming().guardInserts(), 0u);
    if (c.device == DeviceKind::Farlane2) {
        // Every OUT header was right: 7 frames, the extra-bytes index, the
        // counter 7 on from the last.
        const auto stats = dynamic_cast<Farlane2Model*>(h.model().get())->stats();
        EXPECT_GT(stats.out.packets, uint64_t(c.rate) / 7 * 8 / 10);
        EXPECT_EQ(stats.out.badSize, 0u);
        EXPECT_EQ(stats.out.badFrames, 0u);
        EXPECT_EQ(stats.out.badIndex, 0u);
        EXPECT_EQ(stats.out.badCounter, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(RatesChannelsDrift, InterruptLoopback,
                         ::testing::Values(LoopCase{DeviceKind::Interrupt, 44100, 2, 200},
                                           LoopCase{DeviceKind::Interrupt, 48000, 2, -200},
                                           LoopCase{DeviceKind::Interrupt, 88200, 2, 200},
                                           LoopCase{DeviceKind::Interrupt, 96000, 2, -200},
                                           LoopCase{DeviceKind::Interrupt, 48000, 8, 200},
                                           LoopCase{DeviceKind::Farlane2, 48000, 4, 200},
                                           LoopCase{DeviceKind::Farlane2, 48000, 12, -200}),
                         caseName);

// The Farlane-2 carries four extra bytes a frame: the private-data owner's
// reach bytes 4..31 of the OUT headers, a packet's 7 frames' in order, and
// byte 1 names their first non-zero one (the model checks it on every
// packet; the frame's first byte is 0 every 256th frame, so index 1 comes
// up too). A client that does not own the private data sends none.
TEST(Farlane2ExtraBytes, ThePrivateDataOwnersExtraBytesFillTheHeaders) {
    for (bool owner : {true, false}) {
        SCOPED_TRACE(owner ? "owner" : "not the owner");
        HarnessOptions o;
        o.device = DeviceKind::Farlane2;
        o.channels = 4;
        o.writeExtraBytes = true;
        o.takePrivateData = owner;
        ClientHarness h(o);
        ASSERT_TRUE(h.start()) << h.lastError();
        h.run(500000);
        const HarnessReport r = h.report();
        SCOPED_TRACE(hx::harness::describe(r));
        EXPECT_TRUE(r.matched);
        EXPECT_EQ(r.streamBreaks, 0u);
        const auto* model = dynamic_cast<Farlane2Model*>(h.model().get());
        const auto stats = model->stats();
        EXPECT_EQ(stats.out.badIndex, 0u);
        EXPECT_EQ(stats.out.badFrames, 0u);
        EXPECT_EQ(stats.out.badCounter, 0u);
        const auto extra = model->extraBytes();
        if (!owner) {
            EXPECT_EQ(stats.out.extraPackets, 0u);
            EXPECT_TRUE(extra.empty());
            continue;
        }
        // Every packet after the client's first frames carries some.
        EXPECT_GT(stats.out.extraPackets, stats.out.packets * 9 / 10);
        ASSERT_GT(extra.size(), 1000u);
        // A packet's first frame, from its first frame's bytes 0 and 1 (the
        // frame's low 15 bits); the first packet may start before the
        // client's first frame.
        auto firstFrame = [](const std::array<uint8_t, 28>& e) {
            return uint32_t(e[0]) | uint32_t(e[1] & 0x7F) << 8;
        };
        size_t zeroFirstByte = 0;
        for (size_t k = 1; k < extra.size(); ++k) {
            const uint32_t f0 = firstFrame(extra[k]);
            if (k > 1) {
                ASSERT_EQ(f0, (firstFrame(extra[k - 1]) + 7) & 0x7FFF) << "packet " << k;
            }
            for (uint32_t i = 0; i < 28; ++i)
                ASSERT_EQ(extra[k][i], hx::harness::extraByteOf(f0 + i / 4, i % 4))
                    << "packet " << k << " byte " << i;
            zeroFirstByte += extra[k][0] == 0;
        }
        EXPECT_GT(zeroFirstByte, 0u);
    }
}

// A fault on the road: at most one broken stream, and the loopback is
// bit-exact again after the recovery user space asks for (or throughout).
struct FaultCase {
    const char* name;
    DeviceKind device;
    uint32_t channels;
    bool breaks;
    void (*inject)(ClientHarness&);
};

class InterruptFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(InterruptFaults, OneStateChangeAtMostAndTheLoopbackComesBack) {
    const FaultCase c = GetParam();
    HarnessOptions o;
    o.device = c.device;
    o.rate = 48000;
    o.channels = c.channels;
    o.ppm = 100;
    o.reactToStateChanges = true;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(300000);
    const size_t before = h.report().stateChanges.size();
    c.inject(h);
    h.run(1500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    const std::vector<uint32_t> codes = codesSince(r, before);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), STC_STREAM_BROKEN), c.breaks ? 1 : 0);
    EXPECT_EQ(r.streamBreaks, c.breaks ? 1u : 0u);
    EXPECT_TRUE(h.device()->isStreamingStarted());
    if (c.breaks) {
        EXPECT_EQ(r.recoveries, 1u);
        EXPECT_TRUE(r.streamRecovered);
        EXPECT_TRUE(r.matchedAfterRecovery);
        EXPECT_GT(r.framesCheckedAfterRecovery, 24000u);
    } else {
        EXPECT_TRUE(r.matched);
        EXPECT_EQ(r.mismatches, 0u);
    }
}

void armError(ClientHarness& h, uint8_t address) {
    EndpointFault f;
    f.errors = 1;
    dynamic_cast<ChannelStreamDevice*>(h.model().get())->armFault(address, f);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InterruptFaults,
    ::testing::Values(FaultCase{"InError", DeviceKind::Interrupt, 2, true,
                                [](ClientHarness& h) { armError(h, InterruptPcmModel::kIn); }},
                      FaultCase{"OutError", DeviceKind::Interrupt, 2, true,
                                [](ClientHarness& h) { armError(h, InterruptPcmModel::kOut); }},
                      FaultCase{"Farlane2InError", DeviceKind::Farlane2, 4, true,
                                [](ClientHarness& h) { armError(h, Farlane2Model::kIn); }},
                      FaultCase{"Farlane2OutError", DeviceKind::Farlane2, 4, true,
                                [](ClientHarness& h) { armError(h, Farlane2Model::kOut); }},
                      FaultCase{
                          "Farlane2SixFramePackets", DeviceKind::Farlane2, 4, false,
                          [](ClientHarness& h) {
                              dynamic_cast<Farlane2Model*>(h.model().get())->sendSixFramePackets(5);
                          }}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

} // namespace
