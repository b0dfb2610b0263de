#include "platform/base/HXClock.h"

#include <gtest/gtest.h>

namespace {

// Restores the unit time base however a test ends.
struct TimebaseGuard {
    ~TimebaseGuard() { hx::clock::setTimebase(1, 1); }
};

TEST(Clock, DefaultTimebaseIsUnitAndTicksAreNanoseconds) {
    mach_timebase_info_data_t tb{};
    ASSERT_EQ(mach_timebase_info(&tb), KERN_SUCCESS);
    EXPECT_EQ(tb.numer, 1u);
    EXPECT_EQ(tb.denom, 1u);
    const uint64_t before = hx::clock::nowNanos();
    const uint64_t ticks = mach_absolute_time();
    const uint64_t after = hx::clock::nowNanos();
    EXPECT_LE(before, ticks);
    EXPECT_LE(ticks, after);
}

TEST(Clock, TestTimebaseScalesTicks) {
    TimebaseGuard guard;
    hx::clock::setTimebase(3, 2);
    mach_timebase_info_data_t tb{};
    ASSERT_EQ(mach_timebase_info(&tb), KERN_SUCCESS);
    EXPECT_EQ(tb.numer, 3u);
    EXPECT_EQ(tb.denom, 2u);
    const uint64_t before = hx::clock::nowNanos();
    const uint64_t ticks = mach_absolute_time();
    const uint64_t after = hx::clock::nowNanos();
    // ticks = ns x denom / numer
    EXPECT_LE(before * 2 / 3, ticks);
    EXPECT_LE(ticks, after * 2 / 3);

    uint64_t abs = 0, ns = 0;
    nanoseconds_to_absolutetime(3000, &abs);
    EXPECT_EQ(abs, 2000u);
    absolutetime_to_nanoseconds(2000, &ns);
    EXPECT_EQ(ns, 3000u);
}

TEST(Clock, LargeValuesConvertWithoutOverflow) {
    TimebaseGuard guard;
    hx::clock::setTimebase(3, 7);
    // 3 x 2^61 ns x 7 overflows 64 bits in the middle of the conversion.
    EXPECT_EQ(hx::clock::nanosToTicks(3ull << 61), 7ull << 61);
    EXPECT_EQ(hx::clock::ticksToNanos(7ull << 61), 3ull << 61);
}

TEST(Clock, ZeroInTimebaseRestoresUnit) {
    TimebaseGuard guard;
    hx::clock::setTimebase(7, 0);
    EXPECT_EQ(hx::clock::timebase().numer, 1u);
    EXPECT_EQ(hx::clock::timebase().denom, 1u);
}

TEST(Clock, MachTimebaseInfoRejectsNull) {
    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
}

TEST(Clock, DeadlineAfterSaturates) {
    EXPECT_EQ(hx::clock::deadlineAfter(~0ull), ~0ull);
    const uint64_t before = hx::clock::nowNanos();
    EXPECT_GE(hx::clock::deadlineAfter(5), before + 5);
}

// A stand-in source proves that sleeps and waits consult the installed clock.
class CountingSource : public hx::clock::Source {
public:
    uint64_t nowNanos() override { return 1000; }
    bool waitUntil(std::condition_variable&, std::unique_lock<std::mutex>&, uint64_t d) override {
        lastDeadline = d;
        return false;
    }
    void sleepUntil(uint64_t d) override { lastDeadline = d; }
    uint64_t lastDeadline = 0;
};

TEST(Clock, WaitsAndSleepsGoThroughTheInstalledSource) {
    CountingSource src;
    hx::clock::setSource(&src);
    EXPECT_EQ(hx::clock::nowNanos(), 1000u);
    hx::clock::sleepFor(500);
    EXPECT_EQ(src.lastDeadline, 1500u);
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    EXPECT_FALSE(hx::clock::waitUntil(cv, lock, 4000));
    EXPECT_EQ(src.lastDeadline, 4000u);
    hx::clock::setSource(nullptr);
    EXPECT_GT(hx::clock::nowNanos(), 1000u);
}

} // namespace
