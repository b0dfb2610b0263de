#include "libs/core/QnClock.h"
#include "libs/core/QnCoreInternal.h"
#include "platform/base/HXClock.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// Each test starts and ends with the clock as before start-up and a unit
// time base.
class CoreClock : public ::testing::Test {
protected:
    void SetUp() override { Core::clockClearTimebase(); }
    void TearDown() override {
        Core::clockClearTimebase();
        hx::clock::setTimebase(1, 1);
    }
};

TEST_F(CoreClock, UptimeIsZeroBeforeTheTimebaseIsFilled) {
    EXPECT_EQ(Core::uptimeNanos(), 0u);
    EXPECT_EQ(Core::lapNanos(0), 0);
}

TEST_F(CoreClock, UptimeGrowsAcrossASleep) {
    Core::clockFillTimebase();
    const qn_uint64 t0 = Core::uptimeNanos();
    EXPECT_GT(t0, 0u);
    usleep(10000);
    const qn_uint64 t1 = Core::uptimeNanos();
    EXPECT_GE(t1 - t0, 10000000u);
    EXPECT_GE(Core::lapNanos(t1), 0);
}

TEST_F(CoreClock, LapWithUpdateLeavesTheLatestTime) {
    Core::clockFillTimebase();
    qn_uint64 last = Core::uptimeNanos();
    const qn_uint64 start = last;
    EXPECT_GE(Core::lapNanosWithUpdate(last), 0);
    const qn_uint64 mid = last;
    EXPECT_GE(mid, start);
    const qn_int64 d = Core::lapNanosWithUpdate(last);
    EXPECT_GE(d, 0);
    EXPECT_EQ(last, mid + qn_uint64(d));
    EXPECT_LE(last, Core::uptimeNanos());
}

TEST_F(CoreClock, NonUnitTimebaseIsConvertedBackToNanoseconds) {
    hx::clock::setTimebase(3, 2);
    Core::clockFillTimebase();
    EXPECT_EQ(Core::_clock_hires_numer, 3.0);
    EXPECT_EQ(Core::_clock_hires_denom, 2.0);
    const qn_uint64 before = hx::clock::nowNanos();
    const qn_uint64 ticks = mach_absolute_time();
    const qn_uint64 up = Core::uptimeNanos();
    const qn_uint64 after = hx::clock::nowNanos();
    EXPECT_LE(before * 2 / 3, ticks);
    EXPECT_LE(ticks, after * 2 / 3);
    // Ticks turned back into nanoseconds: the platform's time, give or take
    // the rounding of one tick.
    EXPECT_GE(up + 2, before);
    EXPECT_LE(up, after);
}

TEST(CoreRandom, SequenceFromSeedZero) {
    Core::qn_seed(0);
    EXPECT_EQ(Core::qn_rand(), 4412);
    EXPECT_EQ(Core::qn_rand(), 29492);
    EXPECT_EQ(Core::qn_rand(), 6008);
}

TEST(CoreRandom, ValuesStayBelow32767) {
    Core::qn_seed(-123456);
    for (int i = 0; i < 100000; ++i) {
        const qn_int32 v = Core::qn_rand();
        ASSERT_GE(v, 0);
        ASSERT_LT(v, 32767);
    }
}

} // namespace
