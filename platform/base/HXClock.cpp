#include "platform/base/HXClock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>

namespace hx::clock {

namespace {

constexpr std::uint64_t kFarFuture = std::numeric_limits<std::uint64_t>::max();

class MonotonicSource final : public Source {
public:
    std::uint64_t nowNanos() override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
    }

    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::uint64_t deadlineNanos) override {
        if (deadlineNanos == kFarFuture) {
            cv.wait(lock);
            return true;
        }
        // steady_clock is CLOCK_MONOTONIC on this system, so the epochs agree.
        cv.wait_until(lock, toSteady(deadlineNanos));
        return nowNanos() < deadlineNanos;
    }

    void sleepUntil(std::uint64_t deadlineNanos) override {
        if (deadlineNanos == kFarFuture) deadlineNanos = nowNanos() + 1000000000ull * 3600 * 24 * 365;
        timespec ts;
        ts.tv_sec = time_t(deadlineNanos / 1000000000ull);
        ts.tv_nsec = long(deadlineNanos % 1000000000ull);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
    }

private:
    static std::chrono::steady_clock::time_point toSteady(std::uint64_t ns) {
        // Clamp so the conversion to a signed duration cannot overflow.
        constexpr std::uint64_t kMax = std::uint64_t(std::numeric_limits<std::int64_t>::max() / 2);
        if (ns > kMax) ns = kMax;
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(std::int64_t(ns)));
    }
};

MonotonicSource gMonotonic;
std::atomic<Source*> gSource{nullptr};

// numer in the high half, denom in the low half, so a reader always sees a
// matching pair.
std::atomic<std::uint64_t> gTimebase{(1ull << 32) | 1ull};

}  // namespace

Source& realSource() { return gMonotonic; }

Source& source() {
    Source* s = gSource.load(std::memory_order_acquire);
    return s ? *s : gMonotonic;
}

void setSource(Source* s) { gSource.store(s, std::memory_order_release); }

std::uint64_t nowNanos() { return source().nowNanos(); }

std::uint64_t deadlineAfter(std::uint64_t ns) {
    std::uint64_t now = nowNanos();
    return ns >= kFarFuture - now ? kFarFuture : now + ns;
}

void sleepFor(std::uint64_t ns) { source().sleepUntil(deadlineAfter(ns)); }

Timebase timebase() {
    std::uint64_t v = gTimebase.load(std::memory_order_acquire);
    return Timebase{std::uint32_t(v >> 32), std::uint32_t(v)};
}

void setTimebase(std::uint32_t numer, std::uint32_t denom) {
    if (numer == 0 || denom == 0) numer = denom = 1;
    gTimebase.store((std::uint64_t(numer) << 32) | denom, std::memory_order_release);
}

std::uint64_t nanosToTicks(std::uint64_t ns) {
    Timebase tb = timebase();
    return std::uint64_t((unsigned __int128)ns * tb.denom / tb.numer);
}

std::uint64_t ticksToNanos(std::uint64_t ticks) {
    Timebase tb = timebase();
    return std::uint64_t((unsigned __int128)ticks * tb.numer / tb.denom);
}

}  // namespace hx::clock

extern "C" {

uint64_t mach_absolute_time(void) { return hx::clock::nanosToTicks(hx::clock::nowNanos()); }

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (!info) return KERN_INVALID_ARGUMENT;
    hx::clock::Timebase tb = hx::clock::timebase();
    info->numer = tb.numer;
    info->denom = tb.denom;
    return KERN_SUCCESS;
}

void nanoseconds_to_absolutetime(uint64_t nanoseconds, uint64_t* result) {
    if (result) *result = hx::clock::nanosToTicks(nanoseconds);
}

void absolutetime_to_nanoseconds(uint64_t abstime, uint64_t* result) {
    if (result) *result = hx::clock::ticksToNanos(abstime);
}

}
