// The one clock of the platform.
//
// Every time read and every timed wait of the stand-ins (mach_absolute_time,
// semaphore deadlines, sleeps, later bus frames and run-loop timers) goes
// through here, so a test can swap the real monotonic clock for a virtual one
// it steps by hand. Times are nanoseconds on the monotonic clock.
//
// The host's absolute time runs in ticks of a time base numer/denom
// (ns = ticks × numer ÷ denom). It is 1/1 here; a test may select another one
// to prove that callers convert through mach_timebase_info instead of
// assuming nanoseconds.
#pragma once

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace hx::clock {

// A source of time and of timed waits. The real one reads CLOCK_MONOTONIC;
// a virtual one would keep its own "now" and wake waiters when stepped
// (it gets the waiter's mutex and condition variable for that purpose).
class Source {
public:
    virtual ~Source() = default;
    virtual std::uint64_t nowNanos() = 0;
    // Waits on cv (lock held by the caller) until notified or until the
    // clock reaches deadlineNanos. Returns false when the deadline passed.
    // Spurious returns are allowed: callers re-check their condition.
    virtual bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           std::uint64_t deadlineNanos) = 0;
    virtual void sleepUntil(std::uint64_t deadlineNanos) = 0;
};

// The real monotonic clock, the default source.
Source& realSource();

// The source in use. setSource(nullptr) restores the real one. Swap only
// while no thread is waiting.
Source& source();
void setSource(Source* s);

std::uint64_t nowNanos();
// now + ns, saturating at the far future.
std::uint64_t deadlineAfter(std::uint64_t ns);
inline bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                      std::uint64_t deadlineNanos) {
    return source().waitUntil(cv, lock, deadlineNanos);
}
void sleepFor(std::uint64_t ns);

// The host time base. Default 1/1; tests select another and must restore it.
struct Timebase {
    std::uint32_t numer;
    std::uint32_t denom;
};
Timebase timebase();
void setTimebase(std::uint32_t numer, std::uint32_t denom);  // 0 in either restores 1/1

// Conversions between nanoseconds and ticks of the current time base.
std::uint64_t nanosToTicks(std::uint64_t ns);
std::uint64_t ticksToNanos(std::uint64_t ticks);

}  // namespace hx::clock

struct mach_timebase_info_data_t {
    uint32_t numer;
    uint32_t denom;
};
typedef mach_timebase_info_data_t* mach_timebase_info_t;

struct mach_timespec_t {
    unsigned int tv_sec;
    clock_res_t tv_nsec;
};

extern "C" {
uint64_t mach_absolute_time(void);
kern_return_t mach_timebase_info(mach_timebase_info_t info);
void nanoseconds_to_absolutetime(uint64_t nanoseconds, uint64_t* result);
void absolutetime_to_nanoseconds(uint64_t abstime, uint64_t* result);
}
