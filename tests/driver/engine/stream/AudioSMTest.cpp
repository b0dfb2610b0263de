// The shared audio ring: layout, ring addressing, copy functions, time bases
// and the kernel's time-stamp ring.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/testing/StdoutCapture.h"
#include "tests/driver/engine/stream/RingMemory.h"

using hx::test::RingMemory;

namespace {

int gCopies = 0;
void countingCopy(int32_t* dst, const int32_t* src, uint32_t count) {
    ++gCopies;
    audioInt32CopySet(dst, src, count);
}

std::vector<int32_t> ramp(uint32_t samples, int32_t start) {
    std::vector<int32_t> v(samples);
    for (uint32_t i = 0; i < samples; ++i)
        v[i] = start + int32_t(i);
    return v;
}

} // namespace

struct LayoutCase {
    uint32_t channels, extra;
    uint64_t maxFrames;
    uint32_t layoutChannels;
};

TEST(AudioSMLayout, GeometryByChannelsAndExtraBytes) {
    const LayoutCase cases[] = {
        {2, 0, 65536, 2},  {6, 0, 16384, 6},  {8, 0, 16384, 8}, {16, 0, 8192, 16},
        {32, 0, 4096, 32}, {32, 4, 2048, 32}, {0, 0, 65536, 2}, {33, 0, 65536, 2},
    };
    RingMemory ring;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " ch + " << c.extra);
        hx::test::StdoutCapture out;
        const AudioSMGeometry g = ring->_init(c.channels, 48000, c.extra);
        const std::string text = out.finish();
        EXPECT_EQ(g.maxFrames, c.maxFrames);
        EXPECT_EQ(+(ring->mMaxFrames), c.maxFrames);
        EXPECT_EQ(+(ring->mChannelsPerFrame), c.layoutChannels);
        EXPECT_EQ(+(ring->mAudioBytesPerFrame), c.layoutChannels * 4);
        EXPECT_EQ(+(ring->mBytesPerFrame), c.layoutChannels * 4 + c.extra);
        EXPECT_EQ(+(ring->mAudioBytes), c.maxFrames * c.layoutChannels * 4);
        EXPECT_EQ(+(ring->mExtraBytes), c.maxFrames * c.extra);
        EXPECT_EQ(+(ring->mExtraOffset) % 16, 0u);
        EXPECT_EQ(+(ring->mTSInterval), 12000u);
        EXPECT_EQ(+(ring->mTSToggle), 1u);
        EXPECT_NE(text.find("AudioSM::init mMaxFrames:" + std::to_string(c.maxFrames) + "\n"),
                  std::string::npos);
        if (c.channels == 0) {
            EXPECT_NE(text.find("AudioSM::init nChannels is 0\n"), std::string::npos);
        }
        if (c.channels == 33) {
            EXPECT_NE(text.find("AudioSM::init nChannels is 33\n"), std::string::npos);
        }
    }
}

TEST(AudioSMLayout, EveryLayoutFitsTheSampleArea) {
    for (uint32_t ch = 0; ch <= 40; ++ch) {
        for (uint32_t extra : {0u, 1u, 2u, 3u, 4u, 17u, 64u, 65u, 0xFFFFFFFFu}) {
            const AudioSMGeometry g = AudioSMGeometry::forLayout(ch, extra);
            ASSERT_GE(g.channels, 1u);
            ASSERT_LE(g.channels, 32u);
            ASSERT_LE(g.extraBytesPerFrame, kAudioSMMaxExtraBytesPerFrame);
            ASSERT_EQ(g.maxFrames & (g.maxFrames - 1), 0u);
            ASSERT_LE(g.audioBytes, g.extraOffset);
            ASSERT_LE(uint64_t(g.extraOffset) + g.extraBytes, kAudioSMSampleAreaBytes)
                << ch << " " << extra;
        }
    }
}

TEST(AudioSMLayout, RateZeroGivesNoRingPeriod) {
    RingMemory ring;
    ring->_init(2, 0, 0);
    EXPECT_EQ(+(ring->mTicksPerRing), 0u);
    EXPECT_EQ(+(ring->mTSInterval), 0u);
    ring->_init(2, 48000, 0);
    EXPECT_EQ(+(ring->mTicksPerRing), 65536ull * 1000000000ull / 48000);
}

TEST(AudioSMCopy, SaturateTable) {
    const int32_t in[] = {-0x800001, -0x800000, 0x7FFFFF, 0x800000, 1, 0, -1, INT32_MIN, INT32_MAX};
    const uint32_t expected[] = {0x80000000u, 0x80000000u, 0x7FFFFF00u, 0x7FFFFF00u, 0x100u,
                                 0u,          0xFFFFFF00u, 0x80000000u, 0x7FFFFF00u};
    int32_t buf[9];
    std::copy(std::begin(in), std::end(in), buf);
    audioInt32Saturate(buf, 9);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(uint32_t(buf[i]), expected[i]) << i;
}

TEST(AudioSMCopy, AddWrapsShiftRoundsTowardZeroClearNotKeeps) {
    int32_t dst[3] = {INT32_MAX, 5, -7};
    const int32_t src[3] = {1, -10, 7};
    audioInt32CopyAdd(dst, src, 3);
    EXPECT_EQ(dst[0], INT32_MIN);
    EXPECT_EQ(dst[1], -5);
    EXPECT_EQ(dst[2], 0);
    const int32_t big[3] = {-257, 255, 0x7FFFFF00};
    audioInt32CopyShift(dst, big, 3);
    EXPECT_EQ(dst[0], -1);
    EXPECT_EQ(dst[1], 0);
    EXPECT_EQ(dst[2], 0x7FFFFF);
    audioInt32ClearNot(dst, 3);
    EXPECT_EQ(dst[2], 0x7FFFFF);
    audioInt32Clear(dst, 3);
    EXPECT_EQ(dst[0] | dst[1] | dst[2], 0);
}

struct SpanCase {
    uint64_t startFrame; // where the write begins (mod 65536 at 2 channels)
    uint32_t frames;
    int copies;
};

TEST(AudioSMTransfer, OneCopyOrTwoAtTheRingEnd) {
    const SpanCase cases[] = {
        {65536 - 100, 100, 1}, // ends exactly at the end
        {65536 - 100, 101, 2}, // crosses it
        {65536, 100, 1},       // starts at index 0 after a wrap
        {0, 65536, 1},         // the whole ring
        {1, 65536, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.startFrame << "+" << c.frames);
        RingMemory ring;
        hx::test::StdoutCapture quiet;
        ring->_init(2, 48000, 0);
        quiet.finish();
        // Advance without data to the start.
        ring->writeFrames(nullptr, 0, 0);
        audiosm::store64(AUDIOSM_AT(ring.sm, AudioSM, mFramePos), c.startFrame);
        const auto data = ramp(c.frames * 2, 1000);
        gCopies = 0;
        ASSERT_EQ(ring->writeFrames(data.data(), c.frames, 0, countingCopy), c.frames);
        EXPECT_EQ(gCopies, c.copies);
        EXPECT_EQ(ring->getFramePos(), c.startFrame + c.frames);
        std::vector<int32_t> back(c.frames * 2, -1);
        uint64_t pos = c.startFrame, host = 0;
        gCopies = 0;
        ASSERT_EQ(ring->read(pos, back.data(), c.frames, host, countingCopy), c.frames);
        EXPECT_EQ(gCopies, c.copies);
        EXPECT_EQ(pos, c.startFrame + c.frames);
        EXPECT_EQ(back, data);
    }
}

TEST(AudioSMTransfer, OversizeTransfersAreRefused) {
    RingMemory ring;
    hx::test::StdoutCapture quiet;
    ring->_init(32, 48000, 4);
    quiet.finish();
    std::vector<int32_t> big((2048 + 1) * 32);
    EXPECT_EQ(ring->writeFrames(big.data(), 2049, 0), 0u);
    EXPECT_EQ(ring->getFramePos(), 0u);
    uint64_t pos = 7, host = 0;
    EXPECT_EQ(ring->read(pos, big.data(), 2049, host, audioInt32CopySet), 0u);
    EXPECT_EQ(pos, 7u);
    EXPECT_EQ(ring->writeFrames(big.data(), 2048, 0), 2048u);

    AudioSMWriter writer;
    writer.bind(ring.sm, ring->geometry());
    writer._init(32, 48000, 4);
    EXPECT_EQ(writer.writeFrames(big.data(), 2049, 0), 0u);
    EXPECT_EQ(writer.getFramePos(), 0u);
    EXPECT_FALSE(writer.readAt(0, big.data(), 2049, audioInt32CopySet));
}

TEST(AudioSMTransfer, ExtraBytesSplitAtTheEndAndAreClearedByTheRead) {
    RingMemory ring;
    AudioSMWriter writer;
    writer.bind(ring.sm, AudioSMGeometry{});
    writer._init(32, 48000, 4);
    ASSERT_EQ(writer.geometry().maxFrames, 2048u);
    // Move to 10 frames before the end, then write 20 frames with extras.
    writer.writeFrames(nullptr, 2038, 0);
    const auto audio = ramp(20 * 32, 1);
    std::vector<uint8_t> extra(20 * 4);
    for (size_t i = 0; i < extra.size(); ++i)
        extra[i] = uint8_t(i + 1);
    ASSERT_EQ(writer.writeFrames(audio.data(), 20, 0, nullptr, extra.data()), 20u);
    const uint8_t* area = ring->mSamples + ring->mExtraOffset;
    EXPECT_EQ(area[2038 * 4], 1); // first piece at the end
    EXPECT_EQ(area[0], 41);       // second piece at index 0
    uint64_t pos = 2038, host = 0;
    std::vector<int32_t> back(20 * 32);
    std::vector<uint8_t> extraBack(20 * 4);
    ASSERT_EQ(ring->read(pos, back.data(), 20, host, audioInt32CopySet, extraBack.data()), 20u);
    EXPECT_EQ(back, audio);
    EXPECT_EQ(extraBack, extra);
    for (uint32_t i = 0; i < 10 * 4; ++i)
        EXPECT_EQ(area[2038 * 4 + i], 0) << i;
    for (uint32_t i = 0; i < 10 * 4; ++i)
        EXPECT_EQ(area[i], 0) << i;
}

TEST(AudioSMTime, TimeBaseIsPublishedOnlyAfterAQuarterSecond) {
    RingMemory ring;
    hx::test::StdoutCapture quiet;
    ring->_init(2, 48000, 0);
    quiet.finish();
    const std::vector<int32_t> block(1000 * 2, 0);
    uint64_t host = 1000000;
    ring->writeTimestamp(host); // anchors the working record at frame 0
    for (int i = 0; i < 11; ++i) {
        ring->writeFrames(block.data(), 1000, 0);
        host += 1000000;
        ring->writeTimestamp(host);
    }
    // 11,000 frames: only the working record moved.
    EXPECT_EQ(+(ring->mTSToggle), 1u);
    EXPECT_EQ(+(ring->mTSData[0].mFrameSpan), 0u);
    EXPECT_EQ(+(ring->mTSData[1].mFrameSpan), 0u);
    EXPECT_EQ(+(ring->mTSWorking.mLastFrame), 11000u);
    EXPECT_EQ(+(ring->mTSWorking.mFirstFrame), 0u);
    ring->writeFrames(block.data(), 1000, 0);
    host += 1000000;
    ring->writeTimestamp(host);
    // 12,000 frames: slot 1 written, readers switched to it.
    EXPECT_EQ(+(ring->mTSToggle), 0u);
    EXPECT_EQ(+(ring->mTSData[1].mFrameSpan), 12000u);
    EXPECT_EQ(+(ring->mTSData[1].mHostSpan), 12000000u);
    EXPECT_EQ(+(ring->mTSWorking.mFirstFrame), 12000u);
    EXPECT_EQ(ring->hostTimeForSample(6000), 1000000u + 6000000u);
    uint64_t pos = 3000, when = 0;
    std::vector<int32_t> dst(10 * 2);
    ring->read(pos, dst.data(), 10, when, audioInt32CopySet);
    EXPECT_EQ(when, 1000000u + 3000000u);
}

TEST(AudioSMTime, ZeroFrameSpanConvertsToZero) {
    AudioTSData d{100, 100, 5000, 9000, 4000, 0};
    EXPECT_EQ(d.hostTimeForSample(0), 0u);
    EXPECT_EQ(d.hostTimeForSample(12345), 0u);
    // Values a user could write never trap.
    AudioTSData hostile{0, 0, 0, 0, 0x8000000000000000ull, ~0ull};
    (void)hostile.hostTimeForSample(1);
}

class KernelStamps : public testing::Test {
protected:
    void SetUp() override {
        writer.bind(ring.sm, AudioSMGeometry{});
        writer._init(2, 48000, 0);
    }
    RingMemory ring;
    AudioSMWriter writer;
};

TEST_F(KernelStamps, FirstStampIsPrecededByTheZeroFrameStamp) {
    const uint64_t host = 5000000000ull;
    EXPECT_EQ(writer.AddTimeStamp(host, 192, true), 2u);
    const uint64_t period = writer.ticksPerRing();
    ASSERT_EQ(period, 65536ull * 1000000000ull / 48000);
    const uint64_t zero = host - period * 192 / 65536;
    // Kernel-private entries and their published copy agree.
    for (const TimeStampsBuffer* b : {&ring->mTimeStamps}) {
        EXPECT_EQ(+(b->mCount), 2u);
        EXPECT_EQ(+(b->mHostTime[0]), zero);
        EXPECT_EQ(+(b->mSampleTime[0]), 0u);
        EXPECT_EQ(+(b->mHostTime[1]), host);
        EXPECT_EQ(+(b->mSampleTime[1]), 192u);
    }
    EXPECT_EQ(+(ring->mFirstZeroHostTime), zero);
    EXPECT_EQ(writer.GetTimeStamp(96), zero + (host - zero) / 2);
    // Later stamps add no further pre-stamp and accumulate.
    EXPECT_EQ(writer.AddTimeStamp(host + 4000000, 192, true), 3u);
    uint64_t h = 0, s = 0;
    writer.GetLastTimeStamp(h, s);
    EXPECT_EQ(s, 384u);
}

TEST_F(KernelStamps, RingWrapsAfterAThousandAndCopiesOnlyNewSlots) {
    // Count 1 here is the zero-frame pre-stamp.
    writer.AddTimeStamp(1000, 100, false);
    for (uint32_t i = 2; i < 1000; ++i)
        writer.AddTimeStamp(1000 * i, 100, true);
    QN_TimeStampsBufferData copy{};
    writer.CopyData(copy);
    EXPECT_EQ(+copy.mCount, 1000u);
    for (uint32_t i = 0; i < kTimeStampsCount; ++i)
        copy.mStamps[0][i] = 0xDEAD;
    for (uint32_t i = 1000; i < 1003; ++i)
        writer.AddTimeStamp(1000 * i, 100, true);
    uint64_t h = 0, s = 0;
    EXPECT_EQ(writer.GetLastTimeStamp(h, s), 1u); // one completed pass
    EXPECT_EQ(h, 1002000u);
    EXPECT_EQ(+(ring->mTimeStamps.mHostTime[2]), 1002000u);
    writer.CopyData(copy);
    EXPECT_EQ(+copy.mCount, 1003u);
    EXPECT_EQ(+copy.mStamps[0][0], 1000000u);
    EXPECT_EQ(+copy.mStamps[0][1], 1001000u);
    EXPECT_EQ(+copy.mStamps[0][2], 1002000u);
    EXPECT_EQ(+copy.mStamps[0][3], 0xDEADu); // not copied again
    // Oldest is slot 3: a time before it is extrapolated from slots 3 and 4.
    const uint64_t s3 = ring->mTimeStamps.mSampleTime[3], h3 = ring->mTimeStamps.mHostTime[3];
    EXPECT_EQ(writer.GetTimeStamp(s3 - 50), h3 - 500);
}

TEST_F(KernelStamps, BeforeTheOldestStampExtrapolatesFromTheTwoOldest) {
    TimeStampsBuffer b{};
    b.Init();
    b.AddTimeStamp(1000, 100, false);
    b.AddTimeStamp(2000, 200, false);
    b.AddTimeStamp(3000, 300, false);
    EXPECT_EQ(b.GetTimeStamp(50), 500u);
    EXPECT_EQ(b.GetTimeStamp(250), 2500u);
    EXPECT_EQ(b.GetTimeStamp(400), 4000u); // after the newest
    TimeStampsBuffer one{};
    one.Init();
    one.AddTimeStamp(1000, 100, false);
    EXPECT_EQ(one.GetTimeStamp(50), 0u);
}

TEST_F(KernelStamps, StampDroppedWhileTheCopyHoldsTheLockStillCountsFrames) {
    writer.AddTimeStamp(1000000, 100, true); // count 2 with the pre-stamp
    std::atomic<int> phase{0};
    std::thread holder([&] {
        writer.lockStamps();
        phase = 1;
        while (phase != 2)
            std::this_thread::yield();
        writer.unlockStamps();
    });
    while (phase != 1)
        std::this_thread::yield();
    EXPECT_EQ(writer.AddTimeStamp(2000000, 100, true), 2u); // dropped
    phase = 2;
    holder.join();
    EXPECT_EQ(writer.AddTimeStamp(3000000, 100, true), 3u);
    uint64_t h = 0, s = 0;
    writer.GetLastTimeStamp(h, s);
    EXPECT_EQ(h, 3000000u);
    EXPECT_EQ(s, 300u);
}

TEST_F(KernelStamps, PrivateStateIgnoresWhatUsersWriteIntoTheRing) {
    const auto block = ramp(512 * 2, 1);
    writer.writeFrames(block.data(), 512, 0);
    // A user scribbles the geometry and positions.
    audiosm::store64(AUDIOSM_AT(ring.sm, AudioSM, mMaxFrames), 3);
    audiosm::store32(AUDIOSM_AT(ring.sm, AudioSM, mChannelsPerFrame), 1000);
    audiosm::store64(AUDIOSM_AT(ring.sm, AudioSM, mFramePos), ~0ull - 5);
    audiosm::store32(AUDIOSM_AT(ring.sm, AudioSM, mTimeStamps.mCount), 999999);
    EXPECT_EQ(writer.writeFrames(block.data(), 512, 0), 512u);
    EXPECT_EQ(writer.getFramePos(), 1024u);
    EXPECT_EQ(+(ring->mFramePos), 1024u); // republished from private state
    const int32_t* samples = reinterpret_cast<const int32_t*>(ring->mSamples);
    EXPECT_EQ(samples[512 * 2], 1);
    writer.AddTimeStamp(1000, 10, true);
    EXPECT_EQ(+(ring->mTimeStamps.mCount), 2u);
}

TEST_F(KernelStamps, WriteCountAndZeroTimeStampFollowTheRing) {
    writer.writeFrames(nullptr, 100, 0);
    writer.writeFrames(nullptr, 100, 0);
    EXPECT_EQ(writer.writeCount(), 1u); // restarts while no zero host time
    for (uint64_t i = 0; i < 20; ++i)
        writer.AddTimeStamp(1000000 + i * 1000000, 4800, true);
    writer.setZeroSampleTime(4800);
    EXPECT_NE(writer.zeroHostTime(), 0u);
    const std::vector<int32_t> block(4096 * 2, 0);
    uint64_t before = writer.zeroUpdateCount();
    while (writer.getFramePos() + 4096 - 4800 < 65536)
        writer.writeFrames(block.data(), 4096, 0);
    writer.writeFrames(block.data(), 4096, 0);
    EXPECT_EQ(writer.zeroUpdateCount(), before + 1);
    EXPECT_EQ(writer.zeroSampleTime(), 4800u + 65536u);
    EXPECT_EQ(+(ring->mZeroSampleTime), 4800u + 65536u);
    EXPECT_GT(writer.writeCount(), 1u);
}

// A client's zero-stamp request: the user side writes the ring's zero sample
// word, the kernel's next write takes it or publishes its own stamp again.
class ZeroRequests : public KernelStamps {
protected:
    void SetUp() override {
        KernelStamps::SetUp();
        for (uint64_t i = 0; i < 200; ++i)
            writer.AddTimeStamp(1000000 + i * 1000000, 4800, true);
        while (writer.getFramePos() < 200000)
            writer.writeFrames(block.data(), 4096, 0);
    }
    uint64_t publishedZero() const { return audiosm::load64(&ring->mZeroSampleTime); }
    uint64_t publishedHost() const { return audiosm::load64(&ring->mZeroHostTime); }
    const std::vector<int32_t> block = std::vector<int32_t>(4096 * 2, 0);
};

struct ZeroRequestCase {
    const char* name;
    int64_t back; // request = write position - back
    bool taken;
};

TEST_F(ZeroRequests, PositionsWithinOneRingBeforeTheWritePositionAreTaken) {
    const ZeroRequestCase cases[] = {
        {"at the write position", 0, true},  {"one frame back", 1, true},
        {"one ring back", 65536, true},      {"beyond one ring back", 65537, false},
        {"ahead of the writer", -10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writer.setZeroSampleTime(0);
        ASSERT_EQ(publishedZero(), 0u);
        const uint64_t request = writer.getFramePos() - uint64_t(c.back);
        ring->setZeroSampleTime(request); // the client's side
        writer.writeFrames(nullptr, 0, 0);
        if (c.taken) {
            EXPECT_EQ(writer.zeroSampleTime(), request);
            EXPECT_EQ(publishedZero(), request);
            EXPECT_EQ(writer.zeroHostTime(), writer.GetTimeStamp(request));
            EXPECT_EQ(publishedHost(), writer.zeroHostTime());
        } else {
            EXPECT_EQ(writer.zeroSampleTime(), 0u);
            EXPECT_EQ(publishedZero(), 0u); // the kernel's value again
        }
    }
}

TEST_F(ZeroRequests, ZeroClearsAndTakenStampsAdvanceByWholeRings) {
    const uint64_t start = writer.getFramePos() - 100;
    ring->setZeroSampleTime(start);
    writer.writeFrames(block.data(), 4096, 0);
    ASSERT_EQ(writer.zeroSampleTime(), start);
    for (uint64_t ring_ = 1; ring_ <= 3; ++ring_) {
        while (writer.getFramePos() + 4096 - start < ring_ * 65536)
            writer.writeFrames(block.data(), 4096, 0);
        writer.writeFrames(block.data(), 4096, 0);
        EXPECT_EQ(publishedZero(), start + ring_ * 65536);
        EXPECT_EQ(publishedHost(), writer.GetTimeStamp(start + ring_ * 65536));
    }
    ring->setZeroSampleTime(0);
    writer.writeFrames(block.data(), 4096, 0);
    EXPECT_EQ(writer.zeroSampleTime(), 0u);
    EXPECT_EQ(writer.zeroHostTime(), 0u);
    EXPECT_EQ(publishedZero(), 0u);
}

namespace {
AudioSM* gRequestRing = nullptr;
uint64_t gRequest = 0;
// Writes the client's request while the kernel is inside its write, between
// taking requests and publishing its stamp.
void requestingCopy(int32_t* dst, const int32_t* src, uint32_t count) {
    audioInt32CopySet(dst, src, count);
    if (gRequestRing && gRequest) {
        gRequestRing->setZeroSampleTime(gRequest);
        gRequest = 0;
    }
}
} // namespace

TEST_F(ZeroRequests, ARequestWrittenDuringTheKernelsWriteIsNotLost) {
    gRequestRing = ring.sm;
    gRequest = writer.getFramePos() - 5;
    const uint64_t request = gRequest;
    writer.writeFrames(block.data(), 16, 0, requestingCopy);
    EXPECT_EQ(publishedZero(), request); // left in place, not overwritten
    EXPECT_EQ(writer.zeroSampleTime(), 0u);
    writer.writeFrames(block.data(), 16, 0);
    EXPECT_EQ(writer.zeroSampleTime(), request);
    EXPECT_EQ(publishedZero(), request);
    gRequestRing = nullptr;
}

TEST_F(KernelStamps, ARequestBeforeTwoStampsWaitsForThem) {
    const std::vector<int32_t> block(512 * 2, 0);
    writer.writeFrames(block.data(), 512, 0);
    ring->setZeroSampleTime(256);
    writer.writeFrames(block.data(), 512, 0);
    EXPECT_EQ(writer.zeroSampleTime(), 0u);
    EXPECT_EQ(audiosm::load64(&ring->mZeroSampleTime), 256u); // still pending
    writer.AddTimeStamp(1000000, 512, true);
    writer.AddTimeStamp(2000000, 512, true);
    writer.writeFrames(block.data(), 512, 0);
    EXPECT_EQ(writer.zeroSampleTime(), 256u);
    EXPECT_NE(writer.zeroHostTime(), 0u);
}
