// The device layer's pieces that need no machine: transcoders, channel maps
// and conversions, the timing filter, property items, the spin lock, IO
// buffers, the latency rules.
#include "device/AudioChannelMap.h"
#include "device/AudioThreadTools.h"
#include "device/PropertyItem.h"
#include "device/TimestampFilter.h"
#include "device/UserTranscoders.h"
#include "device/ZrOSXDevice.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <thread>
#include <vector>

namespace {

// ---- Transcoders

TEST(UserTranscoders, PackedSamplesBecomeRightAlignedWords) {
    const uint8_t s16[] = {0x00, 0x80, 0x01, 0x00, 0xFF, 0x7F};
    int32_t out[3];
    EXPECT_EQ(audioInt16to32CopyShift(out, s16, 3), 3u);
    EXPECT_EQ(uint32_t(out[0]), 0xFF800000u);
    EXPECT_EQ(uint32_t(out[1]), 0x00000100u);
    EXPECT_EQ(out[2], 0x7FFF00);
    const uint8_t s24[] = {0x00, 0x00, 0x80, 0x56, 0x34, 0x12};
    EXPECT_EQ(audioInt24to32CopyShift(out, s24, 2), 2u);
    EXPECT_EQ(uint32_t(out[0]), 0xFF800000u);
    EXPECT_EQ(out[1], 0x123456);
    EXPECT_EQ(audioInt24to32Copy(out, s24, 2), 2u);
    EXPECT_EQ(out[1], 0x12345600);
    EXPECT_EQ(audioInt16to32Copy(out, s16, 1), 1u);
    EXPECT_EQ(uint32_t(out[0]), 0x80000000u);

    const int32_t words[] = {0x12345678, int32_t(0x80000000u)};
    uint8_t p16[4], p24[6];
    audioInt32to16Copy(p16, words, 2);
    audioInt32to24Copy(p24, words, 2);
    EXPECT_EQ(std::vector<uint8_t>(p16, p16 + 4), (std::vector<uint8_t>{0x34, 0x12, 0x00, 0x80}));
    EXPECT_EQ(std::vector<uint8_t>(p24, p24 + 6),
              (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x00, 0x00, 0x80}));
}

struct SelectCase {
    AudioCopyFunc fn;
    uint32_t n, m;
};

TEST(UserTranscoders, ChannelSelectingMembersKeepTheFirstChannelsAndShiftArithmetically) {
    const SelectCase cases[] = {
        {audioInt32CopyShift6To1, 6, 1},   {audioInt32CopyShift6To2, 6, 2},
        {audioInt32CopyShift6To3, 6, 3},   {audioInt32CopyShift6To4, 6, 4},
        {audioInt32CopyShift6To5, 6, 5},   {audioInt32CopyShift12To2, 12, 2},
        {audioInt32CopyShift12To4, 12, 4}, {audioInt32CopyShift12To6, 12, 6},
        {audioInt32CopyShift12To8, 12, 8}, {audioInt32CopyShift12To10, 12, 10},
    };
    for (const SelectCase& c : cases) {
        std::vector<int32_t> src(12 * 4);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = int32_t(i * 0x100 + 0x80) - 0x1000; // negative values too
        src[0] = -1;
        // A count that is not a multiple of M leaves its remainder at 0.
        const uint32_t count = c.m * 3 + (c.m > 1 ? 1 : 0);
        std::vector<int32_t> dst(count, 0x55);
        c.fn(dst.data(), src.data(), count);
        for (uint32_t f = 0; f < 3; ++f)
            for (uint32_t ch = 0; ch < c.m; ++ch)
                EXPECT_EQ(dst[f * c.m + ch], src[f * c.n + ch] >> 8) << c.n << "To" << c.m;
        for (uint32_t i = c.m * 3; i < count; ++i)
            EXPECT_EQ(dst[i], 0) << c.n << "To" << c.m;
        // -1 shifts to -1 here, while the ring's division gives 0.
        EXPECT_EQ(dst[0], -1);
    }
    int32_t one = -1, out = 7;
    audioInt32CopyShift(&out, &one, 1);
    EXPECT_EQ(out, 0);
    std::vector<int32_t> cleared(5, 9), src(12, 1);
    audioInt32CopyShift6To0(cleared.data(), src.data(), 5);
    EXPECT_EQ(cleared, std::vector<int32_t>(5, 0));
    cleared.assign(5, 9);
    audioInt32CopyShift12To0(cleared.data(), src.data(), 5);
    EXPECT_EQ(cleared, std::vector<int32_t>(5, 0));
}

TEST(UserTranscoders, PackedChannelSelectingMembers) {
    std::vector<uint8_t> src16(12 * 2 * 2), src24(12 * 3 * 2);
    for (size_t i = 0; i < src16.size(); ++i)
        src16[i] = uint8_t(i + 1);
    for (size_t i = 0; i < src24.size(); ++i)
        src24[i] = uint8_t(i + 3);
    int32_t dst[8];
    EXPECT_EQ(audioInt16to32CopyShift12To4(dst, src16.data(), 8), 2u);
    EXPECT_EQ(dst[4], int32_t(uint32_t(src16[24]) << 8 | uint32_t(src16[25]) << 16) / 1);
    int32_t ref;
    audioInt16to32CopyShift(&ref, src16.data() + 24, 1);
    EXPECT_EQ(dst[4], ref);
    EXPECT_EQ(audioInt24to32CopyShift6To2(dst, src24.data(), 4), 2u);
    audioInt24to32CopyShift(&ref, src24.data() + 18, 1);
    EXPECT_EQ(dst[2], ref);
}

// Every count from 0 to 40 (the four-sample groups and every tail), on
// buffers of exactly the bytes the count names, so the address sanitizer
// sees any read or write past them; each sample checked against the layout.
TEST(UserTranscoders, PackedPathsMatchTheLayoutAtEveryCount) {
    auto byteAt = [](size_t i) { return uint8_t(i * 37 + 11 + (i >> 3)); };
    auto packed = [](const std::vector<uint8_t>& b, size_t s) {
        return int32_t(uint32_t(b[3 * s]) << 8 | uint32_t(b[3 * s + 1]) << 16 |
                       uint32_t(b[3 * s + 2]) << 24);
    };
    for (uint32_t count = 0; count <= 40; ++count) {
        std::vector<uint8_t> src(size_t(count) * 3);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = byteAt(i);
        std::vector<int32_t> wide(count), shifted(count);
        EXPECT_EQ(audioInt24to32Copy(wide.data(), src.data(), count), count);
        EXPECT_EQ(audioInt24to32CopyShift(shifted.data(), src.data(), count), count);
        std::vector<uint8_t> back(size_t(count) * 3);
        audioInt32to24Copy(back.data(), wide.data(), count);
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(wide[i], packed(src, i)) << count << " at " << i;
            ASSERT_EQ(shifted[i], packed(src, i) >> 8) << count << " at " << i;
        }
        EXPECT_EQ(back, src) << count;
    }
    struct Case {
        uint32_t (*fn)(int32_t*, const uint8_t*, uint32_t);
        uint32_t bytes, n, m;
    };
    auto sample = [](const std::vector<uint8_t>& b, uint32_t bytes, size_t s) {
        const uint8_t* p = b.data() + bytes * s;
        return bytes == 2
                   ? int32_t(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 24)
                   : int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
    };
    const Case cases[] = {
        {audioInt16to32CopyShift6To2, 2, 6, 2},     {audioInt16to32CopyShift6To4, 2, 6, 4},
        {audioInt16to32CopyShift12To2, 2, 12, 2},   {audioInt16to32CopyShift12To4, 2, 12, 4},
        {audioInt16to32CopyShift12To6, 2, 12, 6},   {audioInt16to32CopyShift12To8, 2, 12, 8},
        {audioInt16to32CopyShift12To10, 2, 12, 10}, {audioInt24to32CopyShift6To2, 3, 6, 2},
        {audioInt24to32CopyShift6To4, 3, 6, 4},     {audioInt24to32CopyShift12To2, 3, 12, 2},
        {audioInt24to32CopyShift12To4, 3, 12, 4},   {audioInt24to32CopyShift12To6, 3, 12, 6},
        {audioInt24to32CopyShift12To8, 3, 12, 8},   {audioInt24to32CopyShift12To10, 3, 12, 10},
    };
    for (const Case& c : cases)
        for (uint32_t frames = 0; frames <= 5; ++frames) {
            std::vector<uint8_t> src(size_t(frames) * c.n * c.bytes);
            for (size_t i = 0; i < src.size(); ++i)
                src[i] = byteAt(i);
            const uint32_t count = frames * c.m + (c.m > 1 ? 1 : 0);
            std::vector<int32_t> dst(count, 0x55);
            EXPECT_EQ(c.fn(dst.data(), src.data(), count), frames);
            for (uint32_t f = 0; f < frames; ++f)
                for (uint32_t ch = 0; ch < c.m; ++ch)
                    ASSERT_EQ(dst[f * c.m + ch], sample(src, c.bytes, f * c.n + ch) >> 8)
                        << c.n << "To" << c.m << " frame " << f << " channel " << ch;
            for (uint32_t i = frames * c.m; i < count; ++i)
                EXPECT_EQ(dst[i], 0) << c.n << "To" << c.m;
        }
}

// ---- Channel maps and conversions

TEST(AudioChannelMap, FloatConversionsClampAndKeepInRangeResults) {
    struct Case {
        float x;
        int32_t low, full;
    };
    const Case cases[] = {
        {1.0f, 8388607, 2147483520},
        {1e9f, 8388607, 2147483520},
        {-1.0f, -8388608, int32_t(0x80000000u)},
        {-5.0f, -8388608, int32_t(0x80000000u)},
        {std::numeric_limits<float>::quiet_NaN(), 0, 0},
        {0.5f, 4194304, 1073741824},
        {-0.25f, -2097152, -536870912},
    };
    for (const Case& c : cases) {
        float a = c.x, b = c.x;
        audioConvertFloatToSInt32LowAligned(&a, 1, 1);
        audioConvertFloatToSInt32(&b, 1, 1);
        int32_t ia, ib;
        std::memcpy(&ia, &a, 4);
        std::memcpy(&ib, &b, 4);
        EXPECT_EQ(ia, c.low) << c.x;
        EXPECT_EQ(ib, c.full) << c.x;
    }
    int32_t v = -257;
    audioConvertSint32ToSInt32LowAligned(&v, 1, 1);
    EXPECT_EQ(v, -1);
    audioConvertSint32ToSInt32LowAligned(nullptr, 1, 1); // nothing
}

TEST(AudioChannelMap, MapsTouchOnlyTheSmallerChannelCount) {
    const int32_t src[] = {1, 2, 3, 4, 5, 6}; // 2 frames of 3
    int32_t dst[4] = {9, 9, 9, 9};            // 2 frames of 2
    audioMapChannelsSet(src, 3, dst, 2, 2);
    EXPECT_EQ(std::vector<int32_t>(dst, dst + 4), (std::vector<int32_t>{1, 2, 4, 5}));
    audioMapChannelsAdd(src, 3, dst, 2, 2);
    EXPECT_EQ(std::vector<int32_t>(dst, dst + 4), (std::vector<int32_t>{2, 4, 8, 10}));
    int32_t wide[6] = {7, 7, 7, 7, 7, 7};
    audioMapChannelsSet(dst, 2, wide, 3, 2);
    EXPECT_EQ(std::vector<int32_t>(wide, wide + 6), (std::vector<int32_t>{2, 4, 7, 8, 10, 7}));
    int32_t big = 0x7FFFFFFF, one = 1;
    audioMapChannelsAdd(&one, 1, &big, 1, 1);
    EXPECT_EQ(uint32_t(big), 0x80000000u);
    const int32_t ring[] = {int32_t(0x80000000u), 0x7FFFFF00, 256, -256};
    float f[4];
    convertIntToFloat(ring, 4, f, 4, 1);
    for (int i = 0; i < 4; ++i) {
        const float want = float(double(float(ring[i])) / 2147483520.0);
        EXPECT_EQ(std::memcmp(&want, &f[i], 4), 0) << i;
    }
}

// ---- Timing

TEST(Filter, WeightsSumToThePeriodAndTrackASteadyClock) {
    Filter f;
    f.init(1000000, 5000);
    int64_t sum = 0;
    for (int64_t w : f.d)
        sum += w;
    EXPECT_EQ(sum, 1000000);
    EXPECT_EQ(f.d[0], 250000);
    EXPECT_EQ(f.d[1], 125000);
    EXPECT_EQ(f.d[7], 31250);
    // Fed the exact period, it keeps predicting it.
    int64_t t = 5000 + 1000000;
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(f.get(t), t);
        t += 1000000;
    }
    // A late buffer moves the prediction by a quarter of the error.
    EXPECT_EQ(f.get(t + 400), t);
    EXPECT_EQ(f.d[0], 250100);
    EXPECT_EQ(f.T, 1000100);
}

TEST(TimestampFilter, FirstUpdateStartsAndLaterOnesFollowTheFilter) {
    // A time base of 125/3: host ticks are 24 ns.
    hx::clock::setTimebase(125, 3);
    TimestampFilter tf;
    tf.init(48000, 256, 100, 200);
    EXPECT_EQ(tf.ticksPerFrame(), uint64_t(1e9 * 3 / 125 / 48000));
    EXPECT_EQ(tf.ticksPerBuffer(), uint64_t(1e9 * 3 / 125 * 256 / 48000));
    EXPECT_EQ(tf.wakeOffset(), uint64_t(0.8 * double(tf.ticksPerBuffer())));
    EXPECT_EQ(tf.calcSleepNanos(0, false), 500000u); // no wake time yet
    tf.updateTimestamps(1000000, 512, 1024);
    EXPECT_EQ(tf.inputTime().mHostTime, 1000000u);
    EXPECT_EQ(tf.inputTime().mSampleTime, 0.0);
    EXPECT_EQ(tf.outputTime().mSampleTime, double(356 + 456));
    EXPECT_EQ(tf.currentTime().mFlags, 7u);
    tf.updateTimestamps(1000000 + tf.ticksPerBuffer(), 768, 1280);
    EXPECT_EQ(tf.inputTime().mSampleTime, 256.0);
    EXPECT_EQ(tf.inputTime().mHostTime, 1000000 + tf.ticksPerBuffer());
    EXPECT_EQ(tf.currentTime().mSampleTime, double(1280 - 512));
    // A rate of 0 is timed as 44,100 Hz.
    tf.initTiming(0, 256);
    EXPECT_EQ(tf.rate(), 44100u);
    hx::clock::setTimebase(0, 0);
}

TEST(TimestampFilter, SleepsAndOverloadLines) {
    hx::clock::VirtualClock clock;
    TimestampFilter tf;
    tf.init(48000, 480, 0, 0);
    tf.updateTimestamps(mach_absolute_time(), 0, 480);
    // Short of a buffer: until the missing frames should be there.
    EXPECT_EQ(tf.calcSleepNanos(0, false), tf.wakeOffset() > 480 * tf.ticksPerFrame()
                                               ? tf.wakeOffset()
                                               : 480 * tf.ticksPerFrame());
    hx::log::Capture log;
    EXPECT_EQ(tf.calcSleepNanos(480, false), 0u);
    clock.runFor(20000000);
    EXPECT_EQ(tf.calcSleepNanos(480, true), 100000u);
    const std::string text = log.text();
    EXPECT_NE(
        text.find(
            "ALERT TimestampFilter::calcSleepNanos nAvailableFrames(480) >= mBufferSize(480) while "
            "!bWasBufferswitch"),
        std::string::npos);
    EXPECT_NE(text.find("detected application caused overload (1)"), std::string::npos);
}

// ---- Small tools

struct Host : PropertyItemHost {
    void onPropertyChanged(PropertyItem* item) override { changed.push_back(item); }
    std::vector<PropertyItem*> changed;
};

TEST(PropertyItem, NotifiesOnlyChangedValues) {
    Host host;
    PropertyItem item(&host);
    EXPECT_EQ(item.getUInt32(), 0u);
    EXPECT_FALSE(item.set(0, true));
    EXPECT_TRUE(item.set(5, false));
    EXPECT_TRUE(host.changed.empty());
    EXPECT_TRUE(item.set(6, true));
    EXPECT_EQ(host.changed, std::vector<PropertyItem*>{&item});
    PropertyItem other(&host, EPropType(1));
    EXPECT_FALSE(other.set(1, true));
    EXPECT_EQ(other.getUInt32(), 0u);
}

TEST(IntSpinLock, HoldsOnceAndGivesBackOnce) {
    int32_t counter = 0;
    {
        IntSpinLock a(&counter);
        EXPECT_TRUE(a.held());
        EXPECT_EQ(counter, 1);
        EXPECT_FALSE(a.lock(&counter, true)); // already holding
        IntSpinLock b;
        EXPECT_FALSE(b.lock(&counter, false));
        EXPECT_EQ(counter, 1);
    }
    EXPECT_EQ(counter, 0);
}

TEST(AudioIOBuffer, SizesForEightThousandFramesAndKeepsThemForTheFrameSize) {
    AudioIOBuffer b;
    ASSERT_TRUE(b.create(2, 2, 256));
    EXPECT_TRUE(b.exists());
    EXPECT_EQ(b.mBufferList.mNumberBuffers, 1u);
    EXPECT_EQ(b.mBufferList.mBuffers[0].mDataByteSize, 256u * 4 * 2);
    EXPECT_EQ(b.mRingSamplesPerCycle, 512u);
    void* data = b.mBufferList.mBuffers[0].mData;
    ASSERT_TRUE(b.create(2, 2, 8192)); // same channels: same memory
    EXPECT_EQ(b.mBufferList.mBuffers[0].mData, data);
    std::memset(b.procData(), 0, 8192 * 8);
    b.term();
    EXPECT_FALSE(b.exists());
    EXPECT_EQ(b.mBufferList.mNumberBuffers, 1u);
}

TEST(DeviceTools, VolumeWordAndProcessLimit) {
    EXPECT_EQ(volFromUInt(0xFFFFFFFFu), 1.0f);
    EXPECT_EQ(volFromUInt(0), 0.0f);
    EXPECT_EQ(volFromUInt(0x80000000u), 0.5f);
    EXPECT_GT(get_kern_max_proc(), 0);
}

// ---- Latencies by hand

struct LatencyRow {
    const char* name;
    ZrDeviceFamily family;
    uint32_t rate, frames;
    bool highSpeed;
    int64_t input, output, writeAheadBase;
};

ZrDeviceFamily hx5100() {
    ZrDeviceFamily f;
    f.merrowCompatible = true;
    f.hx5100Range = true;
    return f;
}

TEST(Latencies, RowsByHand) {
    ZrDeviceFamily bulk, regular, mrw30, sorvik1, sorvik2, other;
    bulk.quarnelBulk = true;
    mrw30.mrw30Compatible = true;
    sorvik1.sorvikFarlane1 = true;
    sorvik2.sorvikFarlane2 = true;
    sorvik2.sorvik2InputExtra = 48;
    other.otherVendorListed = true;
    const LatencyRow rows[] = {
        // L = 48000 x 8 / 1000 = 384; W = 896 + 48; L + 48 + 75; I = 131 + 75 / 119 + 75.
        {"HX-5100 48k high", hx5100(), 48000, 256, true, 206, 507, 944},
        {"HX-5100 48k full", hx5100(), 48000, 256, false, 194, 507, 944},
        // Rate 0 is the 44,100 row: L = 352, W = 864 + 44, I = 130 + 75.
        {"HX-5100 rate 0", hx5100(), 0, 256, true, 205, 352 + 44 + 75, 864 + 44},
        // Bulk below 88.2 kHz: k = 3; L = 48000 x 7 / 1000 - 24 + (48000 - 60000) / 500.
        {"bulk 48k", bulk, 48000, 256, true, 68, 336 - 24 - 24, 336 + 512},
        // A regular device below 60 kHz: (44100 - 60000) / 500 = -31.8 -> -31.
        {"regular 44.1k", regular, 44100, 128, true, 150, 44100 * 6 / 1000 - 31,
         44100 * 6 / 1000 + 256},
        {"MRW30 48k", mrw30, 48000, 64, true, 144, 48000 * 9 / 1000 - 24, 48000 * 9 / 1000 + 128},
        {"Sorvik 1 F=1024", sorvik1, 48000, 1024, true, 91, 1024 + 523 - 91,
         48000 * 20 / 1000 + 2048 + 48 + 48},
        {"Sorvik 1 F=512", sorvik1, 48000, 512, true, 91, 512 + 651 - 91,
         48000 * 12 / 1000 + 1024 + 48 + 48},
        {"Sorvik 1 F=256", sorvik1, 48000, 256, true, 91, 256 + 715 - 91, 384 + 512 + 48 + 48},
        {"Sorvik 1 F=128", sorvik1, 48000, 128, true, 91, 128 + 747 - 91, 288 + 256 + 48 + 48},
        {"Sorvik 1 F=64", sorvik1, 48000, 64, true, 91, 64 + 763 - 91, 240 + 128 + 48 + 48},
        {"Sorvik 2 F=1024", sorvik2, 48000, 1024, true, 83, 1024 + 206 - 35,
         960 + 2048 + 720 - 604},
        {"Sorvik 2 F=512", sorvik2, 48000, 512, true, 83, 512 + 334 - 35, 576 + 1024 + 720 - 604},
        {"Sorvik 2 F=256", sorvik2, 48000, 256, true, 83, 256 + 398 - 35, 384 + 512 + 720 - 604},
        {"Sorvik 2 F=128", sorvik2, 48000, 128, true, 83, 128 + 430 - 35, 288 + 256 + 720 - 604},
        {"Sorvik 2 F=64", sorvik2, 48000, 64, true, 83, 64 + 446 - 35, 240 + 128 + 720 - 604},
        // Other vendor below 128 frames: 2r more; at 128, r.
        {"other F=64", other, 48000, 64, true, 150, 240 - 24 + 96, 240 + 128 + 96},
        {"other F=128", other, 48000, 128, true, 150, 288 - 24 + 48, 288 + 256 + 48},
    };
    for (const LatencyRow& r : rows) {
        const ZrLatencies l = computeLatencies(r.family, r.rate, r.frames, r.highSpeed);
        EXPECT_EQ(l.input, r.input) << r.name;
        EXPECT_EQ(l.output, r.output) << r.name;
        EXPECT_EQ(l.writeAheadBase, r.writeAheadBase) << r.name;
    }
}

} // namespace
