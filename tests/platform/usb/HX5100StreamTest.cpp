// The HX-5100's audio side driven packet by packet on the bus grid, without
// a bus: sample clock counts and drift, the playback FIFO and its fill, the
// anomaly counters, the ramp checker and loopback, sample by sample.
#include "platform/usb/devices/HX5100Stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace hx::usb::devices;

TEST(SampleClock, FullSpeedFramesAt44100Follow44And45WithTheExactTotal) {
    SampleClock clock;
    clock.start(44100, 0, 0, 1, 800);
    std::vector<uint64_t> perFrame;
    for (uint64_t f = 1; f <= 20; ++f)
        perFrame.push_back(clock.framesAt(800 + 8 * f) - clock.framesAt(800 + 8 * (f - 1)));
    // 44.1 frames a millisecond: nine of 44, then one of 45, and so on.
    for (uint64_t n : perFrame)
        EXPECT_TRUE(n == 44 || n == 45) << n;
    EXPECT_EQ(clock.framesAt(800 + 8 * 20), 882u);
    EXPECT_EQ(std::count(perFrame.begin(), perFrame.end(), 45u), 2);
}

TEST(SampleClock, MicroframesCarryFiveOrSixAt44100) {
    SampleClock clock;
    clock.start(44100, 0, 0, 1, 0);
    uint64_t previous = 0;
    for (uint64_t u = 1; u <= 80; ++u) {
        const uint64_t now = clock.framesAt(u);
        EXPECT_TRUE(now - previous == 5 || now - previous == 6);
        previous = now;
    }
    EXPECT_EQ(previous, 441u); // 10 ms
}

TEST(SampleClock, PpmOffsetsShowAsExactCountsOverTime) {
    // Ten seconds on the grid: the count is floor(rate x (1 + ppm/10^6) x 10).
    const struct {
        uint32_t rate;
        int32_t ppm;
        uint64_t frames;
    } cases[] = {
        {44100, 0, 441000},   {44100, 200, 441088},    {44100, -200, 440911},
        {48000, 200, 480096}, {192000, -200, 1919616}, {96000, 37, 960035},
    };
    for (const auto& c : cases) {
        SampleClock clock;
        clock.start(c.rate, c.ppm, 0, 1, 5);
        EXPECT_EQ(clock.framesAt(5 + 80000), c.frames) << c.rate << " " << c.ppm;
    }
}

TEST(SampleClock, JitterMovesBoundariesButNeverTheLongRunCount) {
    SampleClock steady, jittery;
    steady.start(48000, 0, 0, 1, 0);
    jittery.start(48000, 0, 20000, 7, 0); // +-20 us: up to one frame either way
    uint64_t differing = 0, previous = 0;
    for (uint64_t u = 1; u <= 8000; ++u) {
        const uint64_t a = steady.framesAt(u), b = jittery.framesAt(u);
        EXPECT_LE(a > b ? a - b : b - a, 1u) << u;
        EXPECT_GE(b, previous); // never goes back
        previous = b;
        differing += a != b;
    }
    EXPECT_GT(differing, 0u);
    // The accumulator is untouched by jitter: 48,000 frames a second either way, +-1.
    const uint64_t s = steady.framesAt(8000 * 8), j = jittery.framesAt(8000 * 8);
    EXPECT_EQ(s, 48000u * 8);
    EXPECT_LE(j > s ? j - s : s - j, 1u);
}

// A host that polls IN every 1 ms frame and mirrors each IN size on OUT two
// frames later (implicit feedback), filling OUT with the ramp.
struct MirroringHost {
    HX5100Stream& stream;
    uint32_t rate;
    uint32_t period; // 8: full speed, 1: microframes
    uint64_t unit = 8000;
    uint64_t rampNext = 0;
    std::vector<uint32_t> pendingSizes; // frames, in IN order
    std::vector<uint32_t> input;        // received channel-0 and channel-1 samples
    uint32_t mirrorDelay = 2;

    void step() {
        if (pendingSizes.size() >= mirrorDelay) {
            const uint32_t n = pendingSizes.front();
            pendingSizes.erase(pendingSizes.begin());
            std::vector<uint8_t> out(n * kHX5100BytesPerFrame);
            Ramp::write(out.data(), rampNext, n);
            rampNext += n;
            stream.packetOut(rate, unit, period, out.data(), (uint32_t)out.size());
        }
        std::vector<uint8_t> in(50 * kHX5100BytesPerFrame);
        const uint32_t bytes = stream.packetIn(rate, unit, period, in.data(), (uint32_t)in.size());
        for (uint32_t i = 0; i < bytes; i += 3)
            input.push_back(get24(&in[i]));
        pendingSizes.push_back(bytes / kHX5100BytesPerFrame);
        unit += period;
    }
};

TEST(HX5100Stream, LoopbackReturnsTheRampSampleForSampleWithAFixedDelay) {
    const struct {
        uint32_t rate, period;
        int32_t ppm;
    } cases[] = {
        {44100, 8, 200}, {48000, 8, -200}, {44100, 1, -200}, {192000, 1, 200}, {88200, 1, 0}};
    for (const auto& c : cases) {
        HX5100Stream stream;
        HX5100StreamConfig config;
        config.ppm = c.ppm;
        config.jitterNanos = 2000; // under half a frame even at 192 kHz
        config.source = HX5100Source::Loopback;
        config.loopbackDelayFrames = 40;
        stream.configure(config);
        MirroringHost host{stream, c.rate, c.period, 8000, 0, {}, {}};
        const uint32_t steps = 2000 * 8 / c.period; // 2 s
        for (uint32_t i = 0; i < steps; ++i)
            host.step();

        // Silence until the ramp comes back (its frame 0 is 0, 0x800000),
        // then the ramp without a gap.
        size_t firstFrame = 0;
        while (2 * firstFrame < host.input.size() && host.input[2 * firstFrame] == 0 &&
               host.input[2 * firstFrame + 1] == 0)
            ++firstFrame;
        ASSERT_LT(2 * firstFrame, host.input.size());
        uint64_t n = 0;
        for (size_t f = firstFrame; f < host.input.size() / 2; ++f, ++n) {
            ASSERT_EQ(host.input[2 * f], Ramp::sample(n, 0)) << c.rate << " frame " << f;
            ASSERT_EQ(host.input[2 * f + 1], Ramp::sample(n, 1)) << c.rate << " frame " << f;
        }
        EXPECT_GT(n, c.rate); // more than a second of ramp came back
        const HX5100StreamStats s = stream.stats();
        EXPECT_EQ(s.discontinuities, 0u);
        EXPECT_EQ(s.corruptFrames, 0u);
        EXPECT_EQ(s.dropouts, 0u);
        EXPECT_EQ(s.fifoUnderrunFrames, 0u);
        EXPECT_EQ(s.outSizeAnomalies, 0u) << c.rate << " " << c.period;
        EXPECT_EQ(s.outMisaligned, 0u);
        EXPECT_EQ(s.inFramesLost, 0u);
        // The loopback delay: the first ramp frame came back `delay` frames
        // after the converter played it; the converter started at the FIFO's
        // start level, a whole number of device frames into the stream.
        EXPECT_GE(firstFrame, config.loopbackDelayFrames);
    }
}

// 16 bits each way (4 bytes a frame): the source ramp is the 16-bit one,
// and a played 16-bit ramp loops back sample for sample, the device's
// checker following it.
TEST(HX5100Stream, SixteenBitWireCarriesTheSixteenBitRampBothWays) {
    for (const HX5100Source source : {HX5100Source::Ramp, HX5100Source::Loopback}) {
        for (const uint32_t rate : {44100u, 48000u}) {
            HX5100Stream stream;
            HX5100StreamConfig config;
            config.source = source;
            config.loopbackDelayFrames = 40;
            stream.configure(config);
            stream.setWireFormat(2, 2);
            std::vector<uint16_t> input; // channel 0, channel 1, ...
            std::vector<uint32_t> sizes;
            uint64_t next = 0;
            for (uint64_t unit = 8000; unit < 8000 + 8 * 2000; unit += 8) {
                if (sizes.size() >= 2) {
                    const uint32_t n = sizes.front();
                    sizes.erase(sizes.begin());
                    std::vector<uint8_t> out(n * 4);
                    for (uint32_t i = 0; i < n; ++i, ++next)
                        for (uint32_t ch = 0; ch < 2; ++ch) {
                            const uint32_t s = Ramp16::sample(next, ch) >> 8;
                            out[4 * i + 2 * ch] = uint8_t(s);
                            out[4 * i + 2 * ch + 1] = uint8_t(s >> 8);
                        }
                    stream.packetOut(rate, unit, 8, out.data(), uint32_t(out.size()));
                }
                std::vector<uint8_t> in(50 * 4);
                const uint32_t bytes =
                    stream.packetIn(rate, unit, 8, in.data(), uint32_t(in.size()));
                ASSERT_EQ(bytes % 4, 0u);
                for (uint32_t i = 0; i < bytes; i += 2)
                    input.push_back(uint16_t(in[i] | in[i + 1] << 8));
                sizes.push_back(bytes / 4);
            }
            size_t first = 0;
            while (2 * first < input.size() && input[2 * first] == 0 && input[2 * first + 1] == 0)
                ++first;
            ASSERT_LT(2 * first, input.size());
            // The source ramp starts at the stream's first frame; the loopback
            // at the first played frame.
            if (source == HX5100Source::Ramp) {
                EXPECT_EQ(first, 0u);
            }
            uint64_t n = 0;
            for (size_t f = first; f < input.size() / 2; ++f, ++n) {
                ASSERT_EQ(input[2 * f], Ramp16::sample(n, 0) >> 8) << rate << " frame " << f;
                ASSERT_EQ(input[2 * f + 1], Ramp16::sample(n, 1) >> 8) << rate << " frame " << f;
            }
            EXPECT_GT(n, rate);
            const HX5100StreamStats s = stream.stats();
            EXPECT_GT(s.rampFrames, rate);
            EXPECT_EQ(s.discontinuities, 0u);
            EXPECT_EQ(s.corruptFrames, 0u);
            EXPECT_EQ(s.outMisaligned, 0u);
            EXPECT_EQ(s.outSizeAnomalies, 0u);
            EXPECT_EQ(s.inFramesLost, 0u);
        }
    }
}

TEST(HX5100Stream, FifoFillStaysWithinOnePacketOfItsLockLevelWhenSizesMirrorTheInput) {
    for (uint32_t period : {8u, 1u}) {
        HX5100Stream stream;
        HX5100StreamConfig config;
        config.ppm = 200;
        config.jitterNanos = 10000;
        stream.configure(config);
        MirroringHost host{stream, 44100, period, 8000, 0, {}, {}};
        for (uint32_t i = 0; i < 100 * 8 / period; ++i)
            host.step();
        ASSERT_TRUE(stream.stats().playing);
        stream.markFifoLock();
        for (uint32_t i = 0; i < 3000 * 8 / period; ++i)
            host.step();
        const HX5100StreamStats s = stream.stats();
        ASSERT_TRUE(s.fifoLockLevel.has_value());
        const int64_t packet = period == 8 ? 45 : 6;
        EXPECT_GE(s.fifoMin, *s.fifoLockLevel - packet - 2);
        EXPECT_LE(s.fifoMax, *s.fifoLockLevel + packet + 2);
        EXPECT_EQ(s.fifoUnderrunFrames, 0u);
        EXPECT_EQ(s.fifoOverflowFrames, 0u);
        EXPECT_EQ(s.discontinuities, 0u);
        EXPECT_GT(s.rampFrames, 44100u * 3);
    }
}

TEST(HX5100Stream, OddSizedEmptyAndOutOfRangePacketsAreAcceptedAndCounted) {
    HX5100Stream stream;
    HX5100StreamConfig config;
    config.fifoStartFrames = 1000000; // never plays: only the FIFO counts matter
    config.fifoCapacityFrames = 100;
    stream.configure(config);
    std::vector<uint8_t> data(60 * 6, 0x11);
    const struct {
        uint32_t bytes;
        uint64_t misaligned, empty, anomalies;
        uint64_t level;
    } steps[] = {
        {44 * 6, 0, 0, 0, 44},     // nominal
        {44 * 6 + 4, 1, 0, 0, 88}, // 4 stray bytes: 44 whole frames taken
        {0, 1, 1, 0, 88},          // empty
        {41 * 6, 1, 1, 1, 100},    // 3 under 44 - 2 (and 29 frames overflow)
        {47 * 6, 1, 1, 1, 100},    // 45 + 2: in range (FIFO full)
        {48 * 6, 1, 1, 2, 100},    // one over
    };
    uint64_t unit = 80;
    for (const auto& st : steps) {
        stream.packetOut(44100, unit, 8, data.data(), st.bytes);
        unit += 8;
        const HX5100StreamStats s = stream.stats();
        EXPECT_EQ(s.outMisaligned, st.misaligned);
        EXPECT_EQ(s.outEmpty, st.empty);
        EXPECT_EQ(s.outSizeAnomalies, st.anomalies);
        EXPECT_EQ((uint64_t)s.fifoLevel, st.level);
    }
    EXPECT_EQ(stream.stats().fifoOverflowFrames, 29u + 47 + 48);
    EXPECT_EQ(stream.stats().outPackets, 6u);
}

TEST(HX5100Stream, CheckerCountsAGapInThePlayedRamp) {
    HX5100Stream stream;
    HX5100StreamConfig config;
    config.fifoStartFrames = 1;
    stream.configure(config);
    uint64_t unit = 8, next = 0;
    auto send = [&](uint64_t first, uint32_t frames) {
        std::vector<uint8_t> out(frames * 6);
        Ramp::write(out.data(), first, frames);
        stream.packetOut(48000, unit, 8, out.data(), (uint32_t)out.size());
        unit += 8;
    };
    for (int i = 0; i < 5; ++i, next += 48)
        send(next, 48);
    send(next + 3, 48); // three frames skipped
    for (int i = 0; i < 3; ++i)
        send(0, 0); // let the converter play what is queued
    const HX5100StreamStats s = stream.stats();
    EXPECT_EQ(s.discontinuities, 1u);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.rampFrames, 6u * 48);
}

} // namespace
