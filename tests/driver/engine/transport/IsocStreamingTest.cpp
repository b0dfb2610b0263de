// The isochronous transport streaming the simulated HX-5100 on the virtual
// clock, at every rate the model offers at both speeds and with its clock
// 200 ppm off either way: frames moved, the output mirroring the input
// sizes, the pattern holding its lock, the device FIFO near its lock level,
// and a client's ramp coming back through loopback bit-exact.
#include "tests/driver/engine/transport/StreamRig.h"

#include <cstdlib>

namespace {

using namespace hx::test;
using hx::usb::devices::HX5100StreamStats;

class Streaming : public testing::TestWithParam<StreamCase> {};

TEST_P(Streaming, MovesFramesBothWaysAndLoopsTheClientRampBackBitExact) {
    const StreamCase c = GetParam();
    StreamRig rig(c);
    ASSERT_TRUE(rig.configured);
    ASSERT_TRUE(rig.start());
    rig.attachClient();
    rig.run(300);
    ASSERT_TRUE(rig.pattern.isLocked());
    const uint32_t errorsAtLock = rig.engine.inputErrors();
    rig.model->markFifoLock();
    const HX5100StreamStats atLock = rig.model->streamStats();
    const size_t lockFrame = rig.received.size() / 2;
    rig.run(1700);

    EXPECT_TRUE(rig.engine.isStreamingStarted());
    EXPECT_TRUE(rig.host.changesSoFar().empty());
    EXPECT_EQ(rig.engine.inputErrors(), errorsAtLock);
    EXPECT_TRUE(rig.pattern.isLocked());

    const HX5100StreamStats s = rig.model->streamStats();
    // Two seconds each way, within the device clock's offset.
    EXPECT_GT(s.inFramesSent, uint64_t(c.rate) * 19 / 10);
    EXPECT_EQ(s.inFramesLost, 0u);
    // What arrived is in the ring, less the request still being served.
    const uint64_t block = uint64_t(c.rate) * 4 / 1000 + 8;
    EXPECT_LE(rig.engine.framesIn(), s.inFramesSent);
    EXPECT_LE(s.inFramesSent - rig.engine.framesIn(), block);
    // Output packets mirror the input sizes: never outside the device's
    // count, and over the run the totals differ by at most one pattern
    // cycle plus what is queued ahead.
    EXPECT_EQ(s.outSizeAnomalies, 0u);
    EXPECT_EQ(s.outMisaligned, 0u);
    const int64_t cycle = int64_t(c.rate) * 16 / 1000 + 2;
    EXPECT_LE(std::llabs(int64_t(s.inFramesSent) - int64_t(s.outFrames)), cycle)
        << s.inFramesSent << " in, " << s.outFrames << " out";
    // The FIFO stays within one packet and two frames of its lock level.
    const int64_t packet = rig.highSpeed ? c.rate / 8000 + 1 : c.rate / 1000 + 1;
    ASSERT_TRUE(s.fifoLockLevel.has_value());
    EXPECT_GE(s.fifoMin, *s.fifoLockLevel - packet - 2);
    EXPECT_LE(s.fifoMax, *s.fifoLockLevel + packet + 2);
    EXPECT_EQ(s.fifoUnderrunFrames, atLock.fifoUnderrunFrames);
    EXPECT_EQ(s.fifoOverflowFrames, 0u);
    // The device played the client's ramp without a gap.
    EXPECT_GT(s.rampFrames, uint64_t(c.rate));
    EXPECT_EQ(s.discontinuities, 0u);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.dropouts, 0u);

    // Loopback: after the lock every input frame is the ramp frame played a
    // fixed number of frames earlier, 24 bits exact.
    ASSERT_GT(rig.received.size() / 2, lockFrame + c.rate);
    expectRampWithConstantLatency(rig.received, lockFrame);
}

std::vector<StreamCase> cases() {
    std::vector<StreamCase> v;
    for (int32_t ppm : {200, -200}) {
        for (uint32_t rate : {44100u, 48000u})
            v.push_back({kUSBHostConnectionSpeedFull, rate, ppm});
        for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u})
            v.push_back({kUSBHostConnectionSpeedHigh, rate, ppm});
    }
    return v;
}

std::string caseName(const testing::TestParamInfo<StreamCase>& i) {
    return std::string(i.param.speed >= kUSBHostConnectionSpeedHigh ? "High" : "Full") +
           std::to_string(i.param.rate) + (i.param.ppm < 0 ? "Minus" : "Plus") +
           std::to_string(std::abs(i.param.ppm)) + "ppm";
}

INSTANTIATE_TEST_SUITE_P(Rates, Streaming, testing::ValuesIn(cases()), caseName);

} // namespace

namespace {

// The output mixer's value for a 24-bit sample passed straight through its
// own channel: halved toward zero, then doubled.
int32_t mixed(uint32_t sample24) {
    const int32_t s = int32_t(sample24 << 8) >> 8;
    return (s / 2) * 2;
}

TEST(StreamingMix, WithTheDefaultRoutingEachValueComesBackAsTheOutputMixerRoundsIt) {
    StreamRig rig({kUSBHostConnectionSpeedFull, 48000, 0});
    // Routing byte 0 cleared: the mix, each output from its own channel at
    // unity.
    char routing[32] = {};
    rig.dd->setRoutingMatrix(routing);
    QN_MixerFractions f{};
    for (int c = 0; c < 32; ++c) {
        f.mMixerFractionLeft[c] = {c == 0 ? 1 : 0, 1};
        f.mMixerFractionRight[c] = {c == 1 ? 1 : 0, 1};
    }
    rig.dd->setMixerFractions(f);
    ASSERT_TRUE(rig.start());
    rig.attachClient();
    rig.run(300);
    const size_t from = rig.received.size() / 2;
    rig.run(500);
    ASSERT_GT(rig.received.size() / 2, from + 20000);

    // The ramp frame that came back first: its channel 0 lost at most its
    // lowest bit.
    const int32_t v = rig.received[2 * from] >> 8;
    bool matched = false;
    size_t odd = 0;
    for (int32_t candidate : {v, v + 1}) {
        const int64_t latency = int64_t(from) - candidate;
        bool all = true;
        for (size_t fr = from; fr < rig.received.size() / 2 && all; ++fr) {
            const uint64_t p = uint64_t(int64_t(fr) - latency);
            for (uint32_t c = 0; c < 2; ++c)
                all = all &&
                      rig.received[2 * fr + c] == int32_t(uint32_t(mixed(Ramp::sample(p, c))) << 8);
            odd += Ramp::sample(p, 0) & 1;
        }
        matched = matched || all;
    }
    EXPECT_TRUE(matched);
    EXPECT_GT(odd, 0u); // odd values were there to lose their lowest bit
}

} // namespace
