// The frame pattern: nominal patterns by rate and speed, spreading, repair
// of out-of-range values, lock tracking and the output mirroring the input.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "abi/VIDPID.h"
#include "driver/engine/ZrProductTable.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "platform/base/HXLog.h"

namespace {

const VIDPID kNoIds(0, 0, 0, nullptr);

std::vector<uint32_t> live(const ZrFramePatternObserver& o) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < o.patternLength(); ++i)
        v.push_back(o.liveAt(i));
    return v;
}

} // namespace

TEST(FramePattern, SpreadingPlacesTheRemainderFromEntryZero) {
    uint32_t p[16];
    EXPECT_EQ(fpoInitPattern(16, p, 44, 705), 705u);
    EXPECT_EQ(p[0], 45u);
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(p[i], 44u) << i;
    // Negative remainder, and a total too far off keeps the base.
    EXPECT_EQ(fpoInitPattern(16, p, 44, 702), 702u);
    EXPECT_EQ(p[0], 43u);
    EXPECT_EQ(p[8], 43u);
    EXPECT_EQ(fpoInitPattern(16, p, 44, 704 + 17), 704u);
    EXPECT_EQ(fpoInitPattern(16, p, 0, -5), 0u);
    // Every difference within the count is reached exactly.
    for (int total = 44 * 16 - 16; total <= 44 * 16 + 16; ++total)
        EXPECT_EQ(fpoInitPattern(16, p, 44, total), uint32_t(total)) << total;
    for (int total = 5 * 128 - 128; total <= 5 * 128 + 128; ++total)
        EXPECT_EQ(fpoInitPattern(128, std::vector<uint32_t>(128).data(), 5, total), uint32_t(total))
            << total;
}

TEST(FramePattern, FullSpeed44100) {
    ZrFramePatternObserver o;
    o.init(44100, 3, 2, 3, 2, false, kNoIds);
    const std::vector<uint32_t> expected = {45, 44, 44, 44, 44, 44, 44, 44,
                                            44, 44, 45, 44, 44, 44, 44, 44};
    EXPECT_EQ(live(o), expected);
    EXPECT_EQ(std::accumulate(expected.begin(), expected.end(), 0u), 706u);
    EXPECT_EQ(o.expected(), 44u);
    EXPECT_EQ(o.minimum(), 42u);
    EXPECT_EQ(o.maximum(), 46u);
    EXPECT_EQ(o.inBytesPerFrame(), 6u);
    EXPECT_FALSE(o.isLocked());
}

struct RateCase {
    uint32_t rate;
    bool highSpeed;
    uint32_t expected;
    uint32_t total;                   // frames per 16 ms
    std::vector<uint32_t> bigEntries; // entries above expected
};

TEST(FramePattern, NominalPatternsByRate) {
    const RateCase cases[] = {
        {48000, false, 48, 768, {}},
        {96000, true, 12, 1536, {}},
        {192000, true, 24, 3072, {}},
        {88200, false, 88, 1412, {0, 5, 10, 15}},
        {176400, false, 176, 2823, {0, 2, 5, 7, 10, 12, 15}},
        {88200, true, 11, 1412, {0, 40, 80, 120}},
        {176400, true, 22, 2823, {0, 20, 40, 60, 80, 100, 120}},
        {45500, false, 45, 728, {0, 2, 4, 6, 8, 10, 12, 14}}, // spread pattern
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << (c.highSpeed ? " hs" : " fs"));
        ZrFramePatternObserver o;
        o.init(c.rate, 3, 2, 3, 2, c.highSpeed, kNoIds);
        EXPECT_EQ(o.patternLength(), c.highSpeed ? 128u : 16u);
        EXPECT_EQ(o.expected(), c.expected);
        EXPECT_EQ(o.tolerance(), c.highSpeed ? 1u : 2u);
        const auto v = live(o);
        EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), c.total);
        std::vector<uint32_t> big;
        for (uint32_t i = 0; i < v.size(); ++i)
            if (v[i] > c.expected) big.push_back(i);
        EXPECT_EQ(big, c.bigEntries);
    }
}

TEST(FramePattern, HighSpeed44100) {
    ZrFramePatternObserver o;
    o.init(44100, 3, 2, 3, 2, true, kNoIds);
    EXPECT_EQ(o.expected(), 5u);
    for (uint32_t i = 0; i < 128; ++i) {
        const uint32_t want = (i == 0 || i == 80 || (i & 1)) ? 6 : 5;
        EXPECT_EQ(o.liveAt(i), want) << i;
    }
    // Group templates total nominal per ms - 2 .. + 2.
    for (uint32_t k = 0; k < 5; ++k) {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < 8; ++i)
            sum += o.groupTemplateAt(k, i);
        EXPECT_EQ(sum, 44 - 2 + k);
    }
}

TEST(FramePattern, OutOfRangeFeedbackIsRepairedAndUnlocks) {
    hx::log::Capture log;
    ZrFramePatternObserver o;
    o.init(48000, 3, 2, 3, 2, false, kNoIds);
    FeedbackStreamingStruct fb{};
    fb.mCount = 16;
    for (auto& v : fb.mValues)
        v = 49;
    EXPECT_TRUE(o.isocFeedbackReadComplete(fb));
    EXPECT_TRUE(o.isLocked());
    fb.mCount = 3;
    fb.mValues[0] = 47;
    fb.mValues[1] = 48 + 2 + 1; // expected + tolerance + 1
    fb.mValues[2] = 46;
    EXPECT_FALSE(o.isocFeedbackReadComplete(fb));
    EXPECT_FALSE(o.isLocked());
    EXPECT_EQ(fb.mValues[1], 48u); // replaced in the batch too
    EXPECT_EQ(o.liveAt(1), 48u);
    EXPECT_EQ(o.lossIndex(), 1u);
    // One full cycle from the loss locks again.
    fb.mCount = 14;
    for (uint32_t i = 0; i < 14; ++i)
        fb.mValues[i] = 48;
    EXPECT_TRUE(o.isocFeedbackReadComplete(fb));
}

TEST(FramePattern, InputPacketsRepairAndLog) {
    hx::log::Capture log;
    ZrFramePatternObserver o;
    o.init(44100, 3, 2, 3, 2, false, kNoIds);
    uint32_t errors = 0;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(o.onRtsFrame(44, errors), 44);
    EXPECT_TRUE(o.isLocked());
    errors = 5;
    EXPECT_EQ(o.onRtsFrame(60, errors), 45); // nominal entry 0
    EXPECT_EQ(errors, 6u);
    EXPECT_FALSE(o.isLocked());
    EXPECT_NE(log.text().find("Lost Sync...Len:60 Expected:44 MaxDelta:2\n"), std::string::npos);
    for (int i = 0; i < 15; ++i)
        o.onRtsFrame(45, errors);
    EXPECT_TRUE(o.isLocked());
    EXPECT_EQ(errors, 0u);
    // Zero frames is below the range at full speed.
    EXPECT_EQ(o.onRtsFrame(0, errors), int(o.nominalAt(0)));
}

TEST(FramePattern, Farlane2PacketsAreSeven) {
    hx::log::Capture log;
    ZrFramePatternObserver o;
    uint32_t errors = 0;
    EXPECT_EQ(o.onRtsFrame_Sfb2(6, errors), 7u);
    EXPECT_EQ(errors, 1u);
    EXPECT_NE(log.text().find("repair from:6 to 7 \n"), std::string::npos);
    EXPECT_EQ(o.liveAt(0), 7u);
}

TEST(FramePattern, HighSpeedGroupsAndFullFrameFeedback) {
    hx::log::Capture log;
    ZrFramePatternObserver o;
    o.init(48000, 3, 2, 3, 2, true, kNoIds);
    FeedbackStreamingStruct fb{};
    fb.mCount = 1;
    fb.mValues[0] = 50; // nominal + 2
    o.isocFeedbackReadCompleteFullFrame(fb);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(o.liveAt(i), o.groupTemplateAt(4, i));
        sum += o.liveAt(i);
    }
    EXPECT_EQ(sum, 50u);
    uint32_t errors = 0;
    EXPECT_EQ(o.onRtsFrameMicroFrames(47, errors, "test"), 47);
    EXPECT_EQ(o.onRtsFrameMicroFrames(60, errors, "test"), 48);
    EXPECT_EQ(errors, 1u);
    EXPECT_NE(log.text().find("called from:test"), std::string::npos);
}

// After lock each full-speed output packet carries the frames of the input
// packet recorded at the same pattern position, 16 packets earlier.
TEST(FramePattern, FullSpeedOutputMirrorsInput) {
    ZrFramePatternObserver o;
    o.init(44100, 3, 2, 3, 2, false, kNoIds);
    uint32_t errors = 0;
    std::vector<uint32_t> in;
    uint64_t sent = 0, received = 0;
    uint32_t acc = 0;
    for (int p = 0; p < 16 * 20; ++p) {
        // A device clock 300 ppm fast: 44.1132 frames per ms.
        acc += 441132;
        const uint32_t n = acc / 10000;
        acc %= 10000;
        if (p >= 16) {
            EXPECT_TRUE(o.isLocked());
            const uint32_t out = o.nextWriteFrames();
            EXPECT_EQ(out, in[p - 16]) << p;
            sent += out;
        }
        in.push_back(uint32_t(o.onRtsFrame(int(n), errors)));
        received += in.back();
    }
    EXPECT_LE(received - sent, 16u * 46u);
    EXPECT_EQ(errors, 0u);
}

TEST(FramePattern, HighSpeedOutputGroupsCarryTheInputTotals) {
    ZrFramePatternObserver o;
    o.init(96000, 3, 2, 3, 2, true, kNoIds);
    uint32_t errors = 0;
    const int totals[] = {96, 97, 95, 96, 98, 94, 96, 96, 97, 96, 95, 96, 96, 96, 96, 96};
    for (int t : totals)
        EXPECT_EQ(o.onRtsFrameMicroFrames(t, errors, "test"), t);
    EXPECT_TRUE(o.isLocked());
    for (int t : totals) {
        uint32_t sum = 0;
        for (int i = 0; i < 8; ++i)
            sum += o.nextWriteFrames();
        EXPECT_EQ(sum, uint32_t(t));
    }
}

namespace {

struct ToleranceCase {
    uint16_t vendor, product;
    uint32_t rate;
    bool highSpeed;
    uint32_t minimum, maximum;
};

} // namespace

// The device whose clock runs without slack gets no tolerance at 48 and
// 96 kHz; other rates and other devices keep 2 (full speed) or 1 (high).
TEST(FramePattern, ToleranceByProductRateAndSpeed) {
    const ToleranceCase cases[] = {
        {kHarlowVendorID, kHarlowExactClockProductID, 48000, false, 48, 48},
        {kHarlowVendorID, kHarlowExactClockProductID, 96000, false, 96, 96},
        {kHarlowVendorID, kHarlowExactClockProductID, 48000, true, 6, 6},
        {kHarlowVendorID, kHarlowExactClockProductID, 96000, true, 12, 12},
        {kHarlowVendorID, kHarlowExactClockProductID, 44100, false, 42, 46},
        {kHarlowVendorID, kHarlowExactClockProductID, 88200, true, 10, 12},
        {kKorvexVendorID, kKorvexHX5100ProductID, 48000, false, 46, 50},
        {kKorvexVendorID, kKorvexHX5100ProductID, 96000, true, 11, 13},
        {kHarlowVendorID, kHarlowStrictInputH2ProductID, 48000, false, 46, 50},
    };
    for (const ToleranceCase& c : cases) {
        ZrFramePatternObserver o;
        o.init(c.rate, 3, 2, 3, 2, c.highSpeed, VIDPID(c.vendor, c.product, 0x100, nullptr));
        EXPECT_EQ(o.minimum(), c.minimum) << c.product << " " << c.rate << " " << c.highSpeed;
        EXPECT_EQ(o.maximum(), c.maximum) << c.product << " " << c.rate << " " << c.highSpeed;
    }
}

TEST(FramePattern, A49FramePacketIsAnErrorOnlyWithoutTolerance) {
    for (bool exact : {true, false}) {
        ZrFramePatternObserver o;
        const VIDPID ids = exact
                               ? VIDPID(kHarlowVendorID, kHarlowExactClockProductID, 0x100, nullptr)
                               : VIDPID(kKorvexVendorID, kKorvexHX5100ProductID, 0x100, nullptr);
        o.init(48000, 3, 2, 3, 2, false, ids);
        hx::log::Capture log;
        uint32_t errors = 0;
        EXPECT_EQ(o.onRtsFrame(49, errors), exact ? 48 : 49);
        EXPECT_EQ(errors, exact ? 1u : 0u);
        EXPECT_EQ(o.onRtsFrame(48, errors), 48);
        EXPECT_EQ(errors, exact ? 1u : 0u);
    }
}
