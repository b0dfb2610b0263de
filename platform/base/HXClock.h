// The one clock of the platform.
//
// Every time read and every timed wait of the stand-ins (mach_absolute_time,
// semaphore deadlines, sleeps, bus frames and run-loop timers) goes through
// here, so a test can swap the real monotonic clock for a virtual one. Times
// are nanoseconds on the monotonic clock.
//
// The virtual clock (enableVirtual, or the VirtualClock guard in tests) moves
// only when every participating thread waits on it: threads register with a
// Participant guard, and while one of them runs, time stands still. When all
// wait, time jumps to the earliest deadline and that waiter runs. Blocking on
// a condition must go through waitUntil/wait here and waking through
// notifyOne/notifyAll (or the Condition wrapper), so a woken participant
// counts as running before its waker can let time move on.
// VIRTUAL_CLOCK.md describes how the stand-ins take part.
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
    // Wakes waiters of cv (one or all). The virtual clock marks every
    // participant waiting on cv as running first, then wakes them all.
    virtual void notify(std::condition_variable& cv, bool all) {
        if (all)
            cv.notify_all();
        else
            cv.notify_one();
    }
    // True for the virtual clock and for a source that passes its waits and
    // wake-ups on to it: threads then take part in virtual time.
    virtual bool runsVirtualTime() const { return false; }
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
void sleepUntil(std::uint64_t deadlineNanos);

// The far future: a deadline that never passes.
inline constexpr std::uint64_t kForever = ~std::uint64_t(0);

// Waits on cv without a deadline (a participant counts as waiting).
// Spurious returns are allowed.
inline void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) {
    source().waitUntil(cv, lock, kForever);
}
template <class Predicate>
void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Predicate ready) {
    while (!ready())
        wait(cv, lock);
}
// Returns ready() once it holds or the deadline passed.
template <class Predicate>
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               std::uint64_t deadlineNanos, Predicate ready) {
    while (!ready())
        if (!waitUntil(cv, lock, deadlineNanos)) return ready();
    return true;
}
// Use these instead of cv.notify_one()/notify_all() for a condition that
// participants wait on.
inline void notifyOne(std::condition_variable& cv) {
    source().notify(cv, false);
}
inline void notifyAll(std::condition_variable& cv) {
    source().notify(cv, true);
}

// A condition variable whose waits and wake-ups go through the clock.
class Condition {
public:
    void wait(std::unique_lock<std::mutex>& lock) { clock::wait(mCv, lock); }
    template <class Predicate> void wait(std::unique_lock<std::mutex>& lock, Predicate ready) {
        clock::wait(mCv, lock, ready);
    }
    // False when the deadline passed.
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::uint64_t deadlineNanos) {
        return clock::waitUntil(mCv, lock, deadlineNanos);
    }
    template <class Predicate>
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::uint64_t deadlineNanos,
                   Predicate ready) {
        return clock::waitUntil(mCv, lock, deadlineNanos, ready);
    }
    void notifyOne() { clock::notifyOne(mCv); }
    void notifyAll() { clock::notifyAll(mCv); }

private:
    std::condition_variable mCv;
};

// ---- Virtual time

// A thread's place in the virtual clock's count of running threads, reserved
// by the thread that creates it so that time cannot move between the
// creation and the new thread's first instruction. Hand it to the new
// thread's Participant; if it is dropped unused, the place is given back.
// Made on the real clock it reserves nothing.
class Reservation {
public:
    Reservation();
    ~Reservation();
    Reservation(Reservation&& other) noexcept : mHeld(other.mHeld) { other.mHeld = false; }
    Reservation& operator=(Reservation&&) = delete;
    Reservation(const Reservation&) = delete;

private:
    friend class Participant;
    bool mHeld;
};

// Registers the calling thread as taking part in virtual time for the
// guard's lifetime. Only a guard (or reservation) made while the clock is
// virtual counts; on the real clock it does nothing, so threads that start
// before a test switches to virtual time never hold it still. End
// participants before switching back. A nested guard on the same thread
// does nothing.
class Participant {
public:
    Participant();
    explicit Participant(Reservation&& reserved);
    ~Participant();
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

private:
    friend struct ClockAccess;
    void enter(bool reserved);
    Participant* mOuter = nullptr;
    bool mActive = false;
    bool mIdle = false; // guarded by the clock; true while waiting on it
};

// Inside this scope the calling participant does not hold time back, for a
// blocking call that does not go through the clock (joining a thread).
// Nothing wakes it on the clock's behalf: use it only where the outcome does
// not depend on when the thread resumes.
class Idle {
public:
    Idle();
    ~Idle();
    Idle(const Idle&) = delete;
    Idle& operator=(const Idle&) = delete;
};

// How virtual time relates to the wall clock. Unpaced, it jumps as soon as
// every participant waits (as fast as the machine can go, for tests). Paced,
// a step also waits until the wall clock has moved as far since the switch:
// time never runs ahead of the wall clock, yet still stands still while a
// participant runs, so a thread the host delays for a few milliseconds holds
// the simulated machine with it instead of missing its deadlines. A paced
// clock that falls more than kPacedMaxLagNanos behind the wall clock (a
// stalled host) moves its anchor on rather than racing to catch up.
enum class Pacing { None, WallClock };
inline constexpr std::uint64_t kPacedMaxLagNanos = 2000000; // 2 ms

// Switches to the virtual clock starting at startNanos (never 0), or back to
// the real one. Switch only while no thread waits on the clock.
void enableVirtual(std::uint64_t startNanos, Pacing pacing = Pacing::None);
void disableVirtual();
bool isVirtual();
// True while the virtual clock is paced to the wall clock.
bool isPaced();

// Test seam: threads currently waiting on the virtual clock (with or without
// a deadline), and participants currently counted as running.
int virtualWaiterCount();
int runningParticipantCount();
// Test seam: the paced clock's anchor, the wall time at which virtual time
// stood at `virtualNanos`. Steps are never due before
// wall + (deadline - virtual); a stall moves the anchor on.
struct PacedAnchor {
    std::uint64_t wallNanos;
    std::uint64_t virtualNanos;
};
PacedAnchor pacedAnchor();

// Test guard: virtual mode for its lifetime, the constructing thread taking
// part (unless told otherwise). runFor lets time run while the test waits.
class VirtualClock {
public:
    static constexpr std::uint64_t kDefaultStart = 1000000000ull; // 1 s
    explicit VirtualClock(std::uint64_t startNanos = kDefaultStart, bool callerTakesPart = true,
                          Pacing pacing = Pacing::None);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    std::uint64_t now() const { return nowNanos(); }
    void runFor(std::uint64_t ns) { sleepFor(ns); }
    void runUntil(std::uint64_t t) { sleepUntil(t); }

private:
    Participant* mParticipant = nullptr;
};

// The host time base. Default 1/1; tests select another and must restore it.
struct Timebase {
    std::uint32_t numer;
    std::uint32_t denom;
};
Timebase timebase();
void setTimebase(std::uint32_t numer, std::uint32_t denom); // 0 in either restores 1/1

// Conversions between nanoseconds and ticks of the current time base.
std::uint64_t nanosToTicks(std::uint64_t ns);
std::uint64_t ticksToNanos(std::uint64_t ticks);

} // namespace hx::clock

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
