#include "platform/base/HXClock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>
#include <thread>
#include <vector>

namespace hx::clock {

namespace {

constexpr std::uint64_t kFarFuture = std::numeric_limits<std::uint64_t>::max();

// steady_clock is CLOCK_MONOTONIC on this system, so the epochs agree. Clamped
// so the conversion to a signed duration cannot overflow.
std::chrono::steady_clock::time_point toSteady(std::uint64_t ns) {
    constexpr std::uint64_t kMax = std::uint64_t(std::numeric_limits<std::int64_t>::max() / 2);
    if (ns > kMax) ns = kMax;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(std::int64_t(ns)));
}

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
        cv.wait_until(lock, toSteady(deadlineNanos));
        return nowNanos() < deadlineNanos;
    }

    void sleepUntil(std::uint64_t deadlineNanos) override {
        if (deadlineNanos == kFarFuture)
            deadlineNanos = nowNanos() + 1000000000ull * 3600 * 24 * 365;
        timespec ts;
        ts.tv_sec = time_t(deadlineNanos / 1000000000ull);
        ts.tv_nsec = long(deadlineNanos % 1000000000ull);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
    }
};

// Made on first use and never destroyed: static initialisers read the clock,
// and threads still ending at exit (dispatch workers) wait and notify on it.
MonotonicSource& monotonicSource() {
    static auto* m = new MonotonicSource;
    return *m;
}

} // namespace

// Reaches a participant's waiting flag from the virtual clock.
struct ClockAccess {
    static bool& idle(Participant& p) { return p.mIdle; }
};

namespace {

thread_local Participant* tParticipant = nullptr;

// One thread blocked on the virtual clock (in waitUntil), on its stack.
struct WaitRecord {
    std::condition_variable* cv;
    std::mutex* mutex;
    std::uint64_t deadline;
    Participant* participant; // null for a thread not taking part
    std::uint64_t seq = 0;    // arrival order, breaks ties between equal deadlines
    bool registered = false;  // still waiting: a candidate for a step
    int kicks = 0;            // wake-ups the stepper still has to deliver
};

// Virtual time. One lock guards the running count, the waiters and the
// participants' waiting flags. A dedicated stepper thread moves time and
// delivers wake-ups; it never holds this lock while it takes a waiter's
// mutex, and it holds no other lock, so it cannot close a cycle with the
// threads it serves.
struct VirtualState {
    std::mutex m;
    std::condition_variable stepCv;   // the stepper's
    std::condition_variable kickedCv; // a waiter whose wake-up is on its way
    int running = 0;                  // participants (and reservations) not waiting
    std::vector<WaitRecord*> waiting;
    std::vector<WaitRecord*> kicks;
    std::uint64_t nextSeq = 0;
    bool stopping = false;
    // Pacing: virtual time virtualAnchor corresponds to wall time wallAnchor.
    bool paced = false;
    std::uint64_t wallAnchor = 0;
    std::uint64_t virtualAnchor = 0;
    std::thread stepper;
    std::mutex switchLock; // enable/disable
};

VirtualState& vstate() {
    static VirtualState* s = new VirtualState; // outlives every static destructor
    return *s;
}

std::atomic<std::uint64_t> gVirtualNow{1};

void markIdleLocked(VirtualState& st, Participant* p) {
    if (!p || ClockAccess::idle(*p)) return;
    ClockAccess::idle(*p) = true;
    if (--st.running == 0) st.stepCv.notify_one();
}

void markRunningLocked(VirtualState& st, Participant* p) {
    if (!p || !ClockAccess::idle(*p)) return;
    ClockAccess::idle(*p) = false;
    ++st.running;
}

void unregisterLocked(VirtualState& st, WaitRecord* r) {
    st.waiting.erase(std::find(st.waiting.begin(), st.waiting.end(), r));
    r->registered = false;
}

// Ends a wait: the waiter counts as running from here on, before anything
// else can happen on the clock, and the stepper delivers the wake-up.
void kickLocked(VirtualState& st, WaitRecord* r) {
    unregisterLocked(st, r);
    markRunningLocked(st, r->participant);
    ++r->kicks;
    st.kicks.push_back(r);
    st.stepCv.notify_one();
}

// Wakes the waiter once it is certainly inside cv.wait: it holds its mutex
// from registering until the wait releases it, so owning the mutex for a
// moment proves that. Others may hold such a mutex for a while (even while
// waiting for their own wake-up further down the list), hence try_lock, and
// each record is released as soon as its own wake-up is out.
void deliver(VirtualState& st, std::vector<WaitRecord*> pending) {
    while (!pending.empty()) {
        std::size_t kept = 0;
        for (WaitRecord* r : pending) {
            if (!r->mutex->try_lock()) {
                pending[kept++] = r;
                continue;
            }
            r->mutex->unlock();
            r->cv->notify_all();
            std::lock_guard<std::mutex> g(st.m);
            --r->kicks; // r may be gone once this is released
            st.kickedCv.notify_all();
        }
        pending.resize(kept);
        if (!pending.empty()) std::this_thread::yield();
    }
}

void stepperLoop() {
    VirtualState& st = vstate();
    std::unique_lock<std::mutex> g(st.m);
    for (;;) {
        if (!st.kicks.empty()) {
            std::vector<WaitRecord*> batch;
            batch.swap(st.kicks);
            g.unlock();
            deliver(st, std::move(batch));
            g.lock();
            continue;
        }
        if (st.stopping) return;
        if (st.running == 0) {
            WaitRecord* first = nullptr;
            for (WaitRecord* r : st.waiting)
                if (r->deadline != kFarFuture &&
                    (!first || r->deadline < first->deadline ||
                     (r->deadline == first->deadline && r->seq < first->seq)))
                    first = r;
            if (first && st.paced &&
                first->deadline > gVirtualNow.load(std::memory_order_relaxed)) {
                // Not before the wall clock gets there. Anything that changes
                // the picture meanwhile (an earlier deadline, a wake-up from
                // outside) notifies stepCv, and the choice is made again.
                const std::uint64_t wall = monotonicSource().nowNanos();
                const std::uint64_t due = st.wallAnchor + (first->deadline - st.virtualAnchor);
                if (due > wall) {
                    st.stepCv.wait_until(g, toSteady(due));
                    continue;
                }
                if (wall - due > kPacedMaxLagNanos) {
                    st.wallAnchor = wall;
                    st.virtualAnchor = first->deadline;
                }
            }
            if (first) {
                // One waiter at a time, so waiters due at the same time run
                // in the order they started waiting.
                if (first->deadline > gVirtualNow.load(std::memory_order_relaxed))
                    gVirtualNow.store(first->deadline, std::memory_order_release);
                kickLocked(st, first);
                continue;
            }
        }
        st.stepCv.wait(g);
    }
}

class VirtualSource final : public Source {
public:
    bool runsVirtualTime() const override { return true; }
    std::uint64_t nowNanos() override { return gVirtualNow.load(std::memory_order_acquire); }

    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::uint64_t deadlineNanos) override {
        VirtualState& st = vstate();
        WaitRecord r{&cv, lock.mutex(), deadlineNanos, tParticipant};
        {
            std::lock_guard<std::mutex> g(st.m);
            if (deadlineNanos <= gVirtualNow.load(std::memory_order_relaxed)) return false;
            r.seq = st.nextSeq++;
            r.registered = true;
            st.waiting.push_back(&r);
            markIdleLocked(st, r.participant);
            if (st.running == 0) st.stepCv.notify_one(); // a new deadline to step to
        }
        cv.wait(lock);
        bool pending;
        {
            std::lock_guard<std::mutex> g(st.m);
            if (r.registered) {
                // Woken by something other than the clock (a plain notify or
                // a spurious return): running again.
                unregisterLocked(st, &r);
                markRunningLocked(st, r.participant);
            }
            pending = r.kicks > 0;
        }
        if (pending) {
            // The stepper still needs the mutex to finish with this record.
            lock.unlock();
            {
                std::unique_lock<std::mutex> g(st.m);
                st.kickedCv.wait(g, [&] { return r.kicks == 0; });
            }
            lock.lock();
        }
        return gVirtualNow.load(std::memory_order_acquire) < deadlineNanos;
    }

    void sleepUntil(std::uint64_t deadlineNanos) override {
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock<std::mutex> l(m);
        while (waitUntil(cv, l, deadlineNanos)) {
        }
    }

    void notify(std::condition_variable& cv, bool) override {
        VirtualState& st = vstate();
        {
            std::lock_guard<std::mutex> g(st.m);
            // Every waiter runs and re-checks its condition: a notify_one
            // that picked one of them would leave the others uncounted.
            // kickLocked takes the record out of `waiting`, so the index
            // stays on a kicked one's successor.
            for (std::size_t i = 0; i < st.waiting.size();) {
                if (st.waiting[i]->cv == &cv)
                    kickLocked(st, st.waiting[i]);
                else
                    ++i;
            }
        }
        cv.notify_all();
    }
};

VirtualSource gVirtual;
std::atomic<Source*> gSource{nullptr};

// numer in the high half, denom in the low half, so a reader always sees a
// matching pair.
std::atomic<std::uint64_t> gTimebase{(1ull << 32) | 1ull};

} // namespace

Source& realSource() {
    return monotonicSource();
}

Source& source() {
    Source* s = gSource.load(std::memory_order_acquire);
    return s ? *s : monotonicSource();
}

void setSource(Source* s) {
    gSource.store(s, std::memory_order_release);
}

std::uint64_t nowNanos() {
    return source().nowNanos();
}

std::uint64_t deadlineAfter(std::uint64_t ns) {
    std::uint64_t now = nowNanos();
    return ns >= kFarFuture - now ? kFarFuture : now + ns;
}

void sleepFor(std::uint64_t ns) {
    source().sleepUntil(deadlineAfter(ns));
}

void sleepUntil(std::uint64_t deadlineNanos) {
    source().sleepUntil(deadlineNanos);
}

// ---- Virtual time

Reservation::Reservation() : mHeld(isVirtual()) {
    if (!mHeld) return;
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    ++st.running;
}

Reservation::~Reservation() {
    if (!mHeld) return;
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    if (--st.running == 0) st.stepCv.notify_one();
}

Participant::Participant() {
    enter(false);
}

Participant::Participant(Reservation&& reserved) {
    if (!tParticipant && reserved.mHeld) {
        reserved.mHeld = false;
        enter(true);
    } else {
        enter(false); // nested: the reservation goes back when it is dropped
    }
}

void Participant::enter(bool reserved) {
    // On the real clock nothing is counted: a thread that outlives a later
    // switch to virtual time must not hold it still forever.
    if (tParticipant || (!reserved && !isVirtual())) return;
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    if (!reserved) ++st.running;
    mIdle = false;
    mActive = true;
    tParticipant = this;
}

Participant::~Participant() {
    if (!mActive) return;
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    if (!mIdle && --st.running == 0) st.stepCv.notify_one();
    tParticipant = nullptr;
}

Idle::Idle() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    markIdleLocked(st, tParticipant);
}

Idle::~Idle() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    markRunningLocked(st, tParticipant);
}

void enableVirtual(std::uint64_t startNanos, Pacing pacing) {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> sw(st.switchLock);
    if (startNanos == 0) startNanos = 1;
    gVirtualNow.store(startNanos, std::memory_order_release);
    {
        std::lock_guard<std::mutex> g(st.m);
        st.paced = pacing == Pacing::WallClock;
        st.wallAnchor = monotonicSource().nowNanos();
        st.virtualAnchor = startNanos;
    }
    if (!st.stepper.joinable()) {
        {
            std::lock_guard<std::mutex> g(st.m);
            st.stopping = false;
        }
        st.stepper = std::thread(stepperLoop);
    }
    setSource(&gVirtual);
}

void disableVirtual() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> sw(st.switchLock);
    if (&source() == &gVirtual) setSource(nullptr);
    if (!st.stepper.joinable()) return;
    {
        std::lock_guard<std::mutex> g(st.m);
        st.stopping = true;
        st.stepCv.notify_one();
    }
    st.stepper.join();
}

bool isVirtual() {
    return source().runsVirtualTime();
}

bool isPaced() {
    if (!isVirtual()) return false;
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    return st.paced;
}

int virtualWaiterCount() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    return int(st.waiting.size());
}

int runningParticipantCount() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    return st.running;
}

PacedAnchor pacedAnchor() {
    VirtualState& st = vstate();
    std::lock_guard<std::mutex> g(st.m);
    return PacedAnchor{st.wallAnchor, st.virtualAnchor};
}

VirtualClock::VirtualClock(std::uint64_t startNanos, bool callerTakesPart, Pacing pacing) {
    enableVirtual(startNanos, pacing);
    if (callerTakesPart) mParticipant = new Participant;
}

VirtualClock::~VirtualClock() {
    delete mParticipant;
    disableVirtual();
}

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

} // namespace hx::clock

extern "C" {

uint64_t mach_absolute_time(void) {
    return hx::clock::nanosToTicks(hx::clock::nowNanos());
}

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
