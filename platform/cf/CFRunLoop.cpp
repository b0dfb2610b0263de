// Run loops, sources and timers.
//
// Each loop has its own lock (in its core, which outlives the loop for
// whoever still holds it): it guards the loop's modes, runs and the lists of
// sources and timers in them, and the loop waits on its own condition
// through the platform clock. A source or timer has a small lock of its own
// for the loops it belongs to (and, for a source, the thread performing it);
// it is taken after a loop's lock, never before. Signalling a source marks
// it under its own lock and puts its loops on the wake relay's list; the
// signaller wakes one of them, which passes the others on (see WakeRelay;
// on the virtual clock the signaller wakes each itself, one lock at a
// time). Callbacks (perform, timer callouts, schedule and cancel, the
// release of a context's info) always run with no lock held, so they may
// add, remove, invalidate, stop or run loops themselves.
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/CFInternal.h"
#include "platform/cf/HXCF.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXWakeBatch.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace hx::cf;

struct HXCFRunLoop;

namespace {
std::atomic<std::uint64_t> gSequence{0}; // orders sources and timers added at the same rank
std::atomic<std::uint64_t> gSignals{0};  // orders signals, across every loop
std::atomic<long> gLiveSources{0};       // sources made and not yet freed
std::atomic<long> gLiveTimers{0};        // timers made and not yet freed

// What a signaller needs of a loop: its lock and its wake-up. Shared, so a
// source may still wake it while the loop itself goes away.
struct LoopCore {
    std::mutex lock;
    std::condition_variable wakeCv;
    bool wakeUp = false;         // under lock
    HXCFRunLoop* loop = nullptr; // under lock; null once the loop is gone
    bool waiting = false;        // under lock: blocked in its wait
    bool relay = false;          // under lock: woken to pass pending wake-ups on
    bool pending = false;        // under the relay's lock: on its list
};
using CoreRef = std::shared_ptr<LoopCore>;

// Wake-ups passed on by the loops they wake (real clock only). Waking a
// sleeping thread is the costly part of a signal, and one state change
// signals a source on every port of a process: the signaller wakes one
// waiting loop and hands it the rest of the list, and every loop so woken
// wakes the next waiting one before it runs its own sources, so the
// wake-ups spread over the woken threads (their number doubling) instead of
// falling one by one on the signaller. A loop that is awake anyway is only
// marked. Its lock is a leaf: nothing is taken while it is held.
struct WakeRelay {
    std::mutex lock;
    std::vector<CoreRef> pending; // oldest first, from `head`
    size_t head = 0;
    int relays = 0; // threads passing the list on; while one does, no one else starts
};
WakeRelay& wakeRelay() {
    static WakeRelay* r = new WakeRelay; // never destroyed: loops may outlive statics
    return *r;
}
} // namespace

struct HXCFRunLoopSource final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeRunLoopSource;
    HXCFRunLoopSource() : Object(kTypeID) { ++gLiveSources; }
    ~HXCFRunLoopSource() override {
        if (mContext.release) mContext.release(mContext.info);
        --gLiveSources;
    }
    bool equals(const Object& other) const override {
        const auto& o = static_cast<const HXCFRunLoopSource&>(other);
        if (mContext.equal && mContext.equal == o.mContext.equal)
            return mContext.equal(mContext.info, o.mContext.info);
        return this == &o;
    }

    CFIndex mOrder = 0;
    std::uint64_t mSequence = 0;
    CFRunLoopSourceContext mContext{};
    std::atomic<bool> mSignalled{false};
    std::atomic<uint64_t> mSignalStamp{0}; // when it was signalled, among sources of one order
    std::atomic<bool> mValid{true};
    std::mutex mLock;
    std::vector<CoreRef> mLoops; // one entry per mode it was added to (under mLock)
    // The thread inside the perform callback, if any (under mLock), and
    // where its return is announced.
    std::thread::id mPerformer{};
    hx::clock::Condition mPerformed;
};

struct HXCFRunLoopTimer final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeRunLoopTimer;
    HXCFRunLoopTimer() : Object(kTypeID) { ++gLiveTimers; }
    ~HXCFRunLoopTimer() override {
        if (mContext.release) mContext.release(mContext.info);
        --gLiveTimers;
    }

    std::atomic<std::uint64_t> mFireNanos{0};
    std::uint64_t mIntervalNanos = 0; // 0: one-shot
    CFTimeInterval mInterval = 0;
    CFIndex mOrder = 0;
    std::atomic<std::uint64_t> mSequence{0};
    CFRunLoopTimerCallBack mCallout = nullptr;
    CFRunLoopTimerContext mContext{};
    std::atomic<bool> mValid{true};
    std::mutex mLock;
    std::vector<CoreRef> mLoops; // under mLock
};

struct HXCFRunLoop final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeRunLoop;
    HXCFRunLoop() : Object(kTypeID), mCore(std::make_shared<LoopCore>()) {
        mCore->loop = this;
        mCommonModes.push_back(u"kCFRunLoopDefaultMode");
    }
    ~HXCFRunLoop() override;

    struct Items {
        std::vector<HXCFRunLoopSource*> sources; // each holds a reference
        std::vector<HXCFRunLoopTimer*> timers;
    };
    struct Run {
        std::u16string mode;
        bool stopped = false;
    };

    Items* itemsFor(const std::u16string& mode, bool create) {
        if (mode == u"kCFRunLoopCommonModes") return &mCommon;
        auto it = mModes.find(mode);
        if (it != mModes.end()) return &it->second;
        return create ? &mModes[mode] : nullptr;
    }
    bool isCommon(const std::u16string& mode) const {
        return std::find(mCommonModes.begin(), mCommonModes.end(), mode) != mCommonModes.end();
    }
    // Every source and timer of the mode (its own and, for a common mode,
    // the common ones), without repeats.
    void collect(const std::u16string& mode, std::vector<HXCFRunLoopSource*>& sources,
                 std::vector<HXCFRunLoopTimer*>& timers) {
        auto add = [&](const Items& items) {
            for (auto* s : items.sources)
                if (std::find(sources.begin(), sources.end(), s) == sources.end())
                    sources.push_back(s);
            for (auto* t : items.timers)
                if (std::find(timers.begin(), timers.end(), t) == timers.end()) timers.push_back(t);
        };
        if (auto it = mModes.find(mode); it != mModes.end()) add(it->second);
        if (isCommon(mode)) add(mCommon);
    }

    std::map<std::u16string, Items> mModes;
    Items mCommon;
    std::vector<std::u16string> mCommonModes;
    CoreRef mCore;           // its lock guards everything above and below
    std::vector<Run*> mRuns; // innermost last
};

namespace {

std::u16string modeName(CFStringRef mode) {
    const std::u16string* t = chars(mode);
    return t ? *t : std::u16string();
}

template <class T> void eraseOne(std::vector<T*>& v, T* x) {
    auto it = std::find(v.begin(), v.end(), x);
    if (it != v.end()) v.erase(it);
}

// Under the loop's lock.
void wake(LoopCore& core) {
    core.wakeUp = true;
    hx::clock::notifyAll(core.wakeCv);
}
void wake(HXCFRunLoop* rl) {
    wake(*rl->mCore);
}

// Wakes each loop once, taking one loop's lock at a time.
void wakeEach(std::vector<CoreRef>& cores) {
    std::sort(cores.begin(), cores.end());
    cores.erase(std::unique(cores.begin(), cores.end()), cores.end());
    for (auto& c : cores) {
        {
            std::lock_guard<std::mutex> g(c->lock);
            if (!c->loop) continue;
            c->wakeUp = true;
        }
        // Woken after the lock is let go, so the loop does not wake only to
        // wait for it. A loop about to wait has either seen the flag or is
        // already among the waiters (it enrols before letting go of its lock).
        hx::clock::notifyAll(c->wakeCv);
    }
}

// Runs on a relaying thread (the signaller, or a loop woken with the list):
// wakes the pending loops in order. The first waiting one woken takes the
// list on too; a signaller stops there, a loop goes on until the list is
// empty (the loops it hands on to work beside it). Called with no lock held.
void relayWakeUps(bool untilHandedOn) {
    WakeRelay& r = wakeRelay();
    for (;;) {
        CoreRef c;
        {
            std::lock_guard<std::mutex> g(r.lock);
            if (r.head == r.pending.size()) {
                r.pending.clear();
                r.head = 0;
                --r.relays;
                return;
            }
            c = std::move(r.pending[r.head++]);
            c->pending = false;
        }
        bool handedOn = false;
        {
            std::lock_guard<std::mutex> g(c->lock);
            if (!c->loop) continue;
            c->wakeUp = true;
            if (c->waiting && !c->relay) {
                // Counted before it can wake, so the list never looks unattended.
                std::lock_guard<std::mutex> g2(r.lock);
                ++r.relays;
                c->relay = true;
                handedOn = true;
            }
        }
        hx::clock::notifyAll(c->wakeCv);
        if (handedOn && untilHandedOn) {
            std::lock_guard<std::mutex> g(r.lock);
            --r.relays;
            return;
        }
    }
}

// Starts passing the pending wake-ups on, unless a relay is under way.
void startRelay() {
    WakeRelay& r = wakeRelay();
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (r.relays > 0 || r.head == r.pending.size()) return;
        ++r.relays;
    }
    relayWakeUps(true);
}

template <class T> bool isIn(const std::vector<CoreRef>& loops, const T* core) {
    for (auto& c : loops)
        if (c.get() == core) return true;
    return false;
}
void eraseCore(std::vector<CoreRef>& loops, const LoopCore* core) {
    for (auto it = loops.begin(); it != loops.end(); ++it)
        if (it->get() == core) {
            loops.erase(it);
            return;
        }
}

// The items of one kind (sources or timers) of a mode.
std::vector<HXCFRunLoopSource*>& listOf(HXCFRunLoop::Items& items, HXCFRunLoopSource*) {
    return items.sources;
}
std::vector<HXCFRunLoopTimer*>& listOf(HXCFRunLoop::Items& items, HXCFRunLoopTimer*) {
    return items.timers;
}

// Removes a source or timer from one mode's items of a loop (under the
// loop's lock); false when it was not there. The loop's reference goes to
// `released`.
template <class T>
bool detach(HXCFRunLoop* rl, HXCFRunLoop::Items& items, T* x, std::vector<CFTypeRef>& released) {
    auto& list = listOf(items, x);
    auto it = std::find(list.begin(), list.end(), x);
    if (it == list.end()) return false;
    list.erase(it);
    {
        std::lock_guard<std::mutex> g(x->mLock);
        eraseCore(x->mLoops, rl->mCore.get());
    }
    released.push_back(x);
    return true;
}

// Removes it from every mode of every loop holding it; answers the modes it
// left, each with its loop (retained, in `released`).
template <class T>
std::vector<std::pair<HXCFRunLoop*, CFStringRef>>
detachEverywhere(T* x, std::vector<CFTypeRef>& released) {
    std::vector<std::pair<HXCFRunLoop*, CFStringRef>> left;
    for (;;) {
        CoreRef core;
        {
            std::lock_guard<std::mutex> g(x->mLock);
            if (x->mLoops.empty()) break;
            core = x->mLoops.front();
        }
        std::lock_guard<std::mutex> g(core->lock);
        HXCFRunLoop* rl = core->loop;
        if (!rl) { // the loop went away meanwhile and let go of it
            std::lock_guard<std::mutex> g2(x->mLock);
            eraseCore(x->mLoops, core.get());
            continue;
        }
        {
            std::lock_guard<std::mutex> g2(x->mLock);
            if (!isIn(x->mLoops, core.get())) continue; // someone else removed it
        }
        CFRetain(rl);
        released.push_back(rl);
        if (detach(rl, rl->mCommon, x, released)) {
            left.emplace_back(rl, kCFRunLoopCommonModes);
            continue;
        }
        bool found = false;
        for (auto& [name, items] : rl->mModes)
            if ((found = detach(rl, items, x, released))) {
                left.emplace_back(rl, makeString(name));
                released.push_back(left.back().second);
                break;
            }
        if (!found) {
            std::lock_guard<std::mutex> g2(x->mLock);
            eraseCore(x->mLoops, core.get());
        }
    }
    return left;
}

// Adds it to a mode of the loop (under the loop's lock); false when it was
// there or is no longer valid.
template <class T> bool attach(HXCFRunLoop* loop, T* x, const std::u16string& mode) {
    auto& list = listOf(*loop->itemsFor(mode, true), x);
    if (std::find(list.begin(), list.end(), x) != list.end()) return false;
    {
        // Validity is settled under its own lock, so an invalidation running
        // now either sees this membership or has already refused it.
        std::lock_guard<std::mutex> g(x->mLock);
        if (!x->mValid) return false;
        x->mLoops.push_back(loop->mCore);
    }
    CFRetain(x);
    list.push_back(x);
    wake(loop);
    return true;
}

template <class T> bool contains(HXCFRunLoop* loop, T* x, CFRunLoopMode mode) {
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    const std::u16string name = modeName(mode);
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    if (name == u"kCFRunLoopCommonModes") {
        sources = loop->mCommon.sources;
        timers = loop->mCommon.timers;
    } else {
        loop->collect(name, sources, timers);
    }
    HXCFRunLoop::Items found{sources, timers};
    auto& list = listOf(found, x);
    return std::find(list.begin(), list.end(), x) != list.end();
}

// Whoever removes a source from another thread while its callback runs
// waits until the callback has returned: the owner may free what the
// callback uses right after. The callback itself may remove its own source.
void waitForPerformer(HXCFRunLoopSource* s) {
    std::unique_lock<std::mutex> lk(s->mLock);
    s->mPerformed.wait(lk, [&] {
        return s->mPerformer == std::thread::id{} || s->mPerformer == std::this_thread::get_id();
    });
}

void releaseAll(const std::vector<CFTypeRef>& objects) {
    for (CFTypeRef o : objects)
        CFRelease(o);
}

std::uint64_t nanosOf(CFAbsoluteTime t) {
    if (!(t > 0)) return 0;
    const double ns = t * 1e9;
    return ns >= 1.8e19 ? hx::clock::kForever : std::uint64_t(std::llround(ns));
}

std::uint64_t intervalNanos(CFTimeInterval interval) {
    if (!(interval > 0)) return 0;
    const double ns = interval * 1e9;
    return ns >= 1.8e19 ? hx::clock::kForever
                        : std::max<std::uint64_t>(1, std::uint64_t(std::llround(ns)));
}

// ---- Threads and their loops

std::mutex gMainLock;
bool gMainOverridden = false;
std::thread::id gMainThread;
std::atomic<bool> gMainAbsent{false};

HXCFRunLoop* mainLoop() {
    static HXCFRunLoop* loop = [] {
        auto* l = new HXCFRunLoop;
        l->makeImmortal();
        return l;
    }();
    return loop;
}

struct ThreadLoop {
    HXCFRunLoop* loop = nullptr;
    ~ThreadLoop() { CFRelease(loop); }
};
thread_local ThreadLoop tThreadLoop;

HXCFRunLoop* currentLoop() {
    if (hx::cf::isMainThread()) return mainLoop();
    if (!tThreadLoop.loop) tThreadLoop.loop = new HXCFRunLoop;
    return tThreadLoop.loop;
}

} // namespace

HXCFRunLoop::~HXCFRunLoop() {
    std::vector<CFTypeRef> released;
    {
        std::lock_guard<std::mutex> g(mCore->lock);
        mCore->loop = nullptr;
        auto drop = [&](Items& items) {
            for (auto* s : items.sources) {
                std::lock_guard<std::mutex> g2(s->mLock);
                eraseCore(s->mLoops, mCore.get());
                released.push_back(s);
            }
            for (auto* t : items.timers) {
                std::lock_guard<std::mutex> g2(t->mLock);
                eraseCore(t->mLoops, mCore.get());
                released.push_back(t);
            }
            items = Items();
        };
        for (auto& [name, items] : mModes)
            drop(items);
        drop(mCommon);
    }
    releaseAll(released);
}

namespace hx::cf {

bool isMainThread() {
    std::lock_guard<std::mutex> g(gMainLock);
    if (gMainOverridden) return std::this_thread::get_id() == gMainThread;
    return ::syscall(SYS_gettid) == ::getpid();
}

void setMainThread() {
    std::lock_guard<std::mutex> g(gMainLock);
    gMainOverridden = true;
    gMainThread = std::this_thread::get_id();
}

void setMainRunLoopAbsent(bool absent) {
    gMainAbsent = absent;
}

long liveRunLoopSourceCount() {
    return gLiveSources.load();
}

long liveRunLoopTimerCount() {
    return gLiveTimers.load();
}

} // namespace hx::cf

namespace {

// Fires the mode's due timers in deadline order. Called and returns with
// the lock held.
void fireTimers(HXCFRunLoop* rl, const std::u16string& mode, std::unique_lock<std::mutex>& lk) {
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    rl->collect(mode, sources, timers);
    const std::uint64_t now = hx::clock::nowNanos();
    std::vector<HXCFRunLoopTimer*> due;
    for (auto* t : timers)
        if (t->mValid && t->mFireNanos <= now) due.push_back(t);
    std::sort(due.begin(), due.end(), [](auto* a, auto* b) {
        return a->mFireNanos != b->mFireNanos ? a->mFireNanos < b->mFireNanos
                                              : a->mSequence < b->mSequence;
    });
    for (auto* t : due)
        CFRetain(t);
    for (auto* t : due) {
        // An earlier callout may have invalidated, moved or removed it.
        bool stillDue = t->mValid && t->mFireNanos <= now;
        std::vector<HXCFRunLoopSource*> s2;
        std::vector<HXCFRunLoopTimer*> t2;
        rl->collect(mode, s2, t2);
        stillDue = stillDue && std::find(t2.begin(), t2.end(), t) != t2.end();
        if (!stillDue) continue;
        const std::uint64_t fired = t->mFireNanos;
        if (t->mIntervalNanos) {
            // Moves on by whole intervals past now, dropping missed firings.
            std::uint64_t next = fired + t->mIntervalNanos;
            if (next <= now) next += ((now - next) / t->mIntervalNanos + 1) * t->mIntervalNanos;
            t->mFireNanos = next < fired ? hx::clock::kForever : next;
        }
        lk.unlock();
        t->mCallout(t, t->mContext.info);
        lk.lock();
        // A one-shot timer is done unless its callout set a new date.
        if (!t->mIntervalNanos && t->mFireNanos == fired) {
            lk.unlock();
            CFRunLoopTimerInvalidate(t);
            lk.lock();
        }
    }
    lk.unlock();
    for (auto* t : due)
        CFRelease(t);
    lk.lock();
}

// Performs the mode's signalled sources by order; answers whether one ran.
bool performSources(HXCFRunLoop* rl, const std::u16string& mode, std::unique_lock<std::mutex>& lk) {
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    rl->collect(mode, sources, timers);
    std::vector<HXCFRunLoopSource*> ready;
    for (auto* s : sources)
        if (s->mValid && s->mSignalled) ready.push_back(s);
    if (ready.empty()) return false;
    // By order, then in the order they were signalled: what arrived first is
    // served first.
    std::sort(ready.begin(), ready.end(), [](auto* a, auto* b) {
        if (a->mOrder != b->mOrder) return a->mOrder < b->mOrder;
        const uint64_t x = a->mSignalStamp.load(), y = b->mSignalStamp.load();
        return x != y ? x < y : a->mSequence < b->mSequence;
    });
    for (auto* s : ready)
        CFRetain(s);
    lk.unlock();
    bool ran = false;
    for (auto* s : ready) {
        if (!s->mValid || !s->mSignalled.exchange(false)) continue;
        if (s->mContext.perform) {
            {
                // Removed from this loop since it was picked: it no longer runs here.
                std::lock_guard<std::mutex> g(s->mLock);
                if (!s->mValid || !isIn(s->mLoops, rl->mCore.get())) continue;
                s->mPerformer = std::this_thread::get_id();
            }
            s->mContext.perform(s->mContext.info);
            {
                std::lock_guard<std::mutex> g(s->mLock);
                s->mPerformer = std::thread::id{};
                s->mPerformed.notifyAll();
            }
        }
        ran = true;
    }
    for (auto* s : ready)
        CFRelease(s);
    lk.lock();
    return ran;
}

bool modeIsEmpty(HXCFRunLoop* rl, const std::u16string& mode) {
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    rl->collect(mode, sources, timers);
    for (auto* s : sources)
        if (s->mValid) return false;
    for (auto* t : timers)
        if (t->mValid) return false;
    return true;
}

bool anySignalled(HXCFRunLoop* rl, const std::u16string& mode) {
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    rl->collect(mode, sources, timers);
    for (auto* s : sources)
        if (s->mValid && s->mSignalled) return true;
    return false;
}

std::uint64_t nextTimer(HXCFRunLoop* rl, const std::u16string& mode) {
    std::vector<HXCFRunLoopSource*> sources;
    std::vector<HXCFRunLoopTimer*> timers;
    rl->collect(mode, sources, timers);
    std::uint64_t next = hx::clock::kForever;
    for (auto* t : timers)
        if (t->mValid) next = std::min(next, t->mFireNanos.load());
    return next;
}

CFRunLoopRunResult runInMode(HXCFRunLoop* rl, const std::u16string& mode, CFTimeInterval seconds,
                             bool returnAfterSourceHandled) {
    // While it runs, the loop's thread takes part in virtual time.
    hx::clock::Participant participant;
    std::unique_lock<std::mutex> lk(rl->mCore->lock);
    if (mode.empty() || mode == u"kCFRunLoopCommonModes" || modeIsEmpty(rl, mode))
        return kCFRunLoopRunFinished;
    const std::uint64_t deadline =
        seconds <= 0
            ? hx::clock::nowNanos()
            : (seconds * 1e9 >= 1.8e19 ? hx::clock::kForever
                                       : hx::clock::deadlineAfter(std::uint64_t(seconds * 1e9)));
    HXCFRunLoop::Run run{mode};
    rl->mRuns.push_back(&run);
    CFRunLoopRunResult result;
    for (;;) {
        fireTimers(rl, mode, lk);
        const bool handled = !run.stopped && performSources(rl, mode, lk);
        if (run.stopped) {
            result = kCFRunLoopRunStopped;
            break;
        }
        if (handled && returnAfterSourceHandled) {
            result = kCFRunLoopRunHandledSource;
            break;
        }
        if (modeIsEmpty(rl, mode)) {
            result = kCFRunLoopRunFinished;
            break;
        }
        const std::uint64_t now = hx::clock::nowNanos();
        if (now >= deadline) {
            result = kCFRunLoopRunTimedOut;
            break;
        }
        if (handled || anySignalled(rl, mode)) continue;
        if (rl->mCore->wakeUp) {
            rl->mCore->wakeUp = false;
            continue;
        }
        const std::uint64_t until = std::min(deadline, nextTimer(rl, mode));
        if (until <= now) continue;
        rl->mCore->waiting = true;
        hx::clock::waitUntil(rl->mCore->wakeCv, lk, until);
        rl->mCore->waiting = false;
        rl->mCore->wakeUp = false;
        if (rl->mCore->relay) {
            // Woken to pass wake-ups on: that comes before its own sources.
            rl->mCore->relay = false;
            lk.unlock();
            relayWakeUps(false);
            lk.lock();
        }
    }
    rl->mRuns.pop_back();
    return result;
}

} // namespace

extern "C" {

CFTypeID CFRunLoopGetTypeID(void) {
    return kTypeRunLoop;
}
CFTypeID CFRunLoopSourceGetTypeID(void) {
    return kTypeRunLoopSource;
}
CFTypeID CFRunLoopTimerGetTypeID(void) {
    return kTypeRunLoopTimer;
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
    return currentLoop();
}

CFRunLoopRef CFRunLoopGetMain(void) {
    return gMainAbsent ? nullptr : mainLoop();
}

CFRunLoopMode CFRunLoopCopyCurrentMode(CFRunLoopRef rl) {
    auto* loop = as<HXCFRunLoop>(rl);
    if (!loop) return nullptr;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    return loop->mRuns.empty() ? nullptr : makeString(loop->mRuns.back()->mode);
}

void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    std::u16string name = modeName(mode);
    if (!loop || name.empty() || name == u"kCFRunLoopCommonModes") return;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    if (!loop->isCommon(name)) loop->mCommonModes.push_back(name);
    wake(loop);
}

void CFRunLoopRun(void) {
    HXCFRunLoop* rl = currentLoop();
    for (;;) {
        CFRunLoopRunResult r = runInMode(rl, u"kCFRunLoopDefaultMode", 1e10, false);
        if (r == kCFRunLoopRunStopped || r == kCFRunLoopRunFinished) return;
    }
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
    return runInMode(currentLoop(), modeName(mode), seconds, returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef rl) {
    auto* loop = as<HXCFRunLoop>(rl);
    if (!loop) return;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    if (!loop->mRuns.empty()) loop->mRuns.back()->stopped = true;
    wake(loop);
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    auto* loop = as<HXCFRunLoop>(rl);
    if (!loop) return;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    wake(loop);
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
    auto* loop = as<HXCFRunLoop>(rl);
    if (!loop) return false;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    return loop->mCore->waiting;
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* s = as<HXCFRunLoopSource>(source);
    std::u16string name = modeName(mode);
    if (!loop || !s || name.empty()) return;
    {
        std::lock_guard<std::mutex> g(loop->mCore->lock);
        if (!s->mValid || !attach(loop, s, name)) return;
    }
    if (s->mContext.schedule) s->mContext.schedule(s->mContext.info, rl, mode);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* s = as<HXCFRunLoopSource>(source);
    std::u16string name = modeName(mode);
    if (!loop || !s) return;
    std::vector<CFTypeRef> released;
    bool removed = false;
    {
        std::lock_guard<std::mutex> g(loop->mCore->lock);
        if (HXCFRunLoop::Items* items = loop->itemsFor(name, false))
            removed = detach(loop, *items, s, released);
    }
    if (removed && s->mContext.cancel) s->mContext.cancel(s->mContext.info, rl, mode);
    if (removed) waitForPerformer(s);
    releaseAll(released);
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* s = as<HXCFRunLoopSource>(source);
    return loop && s && contains(loop, s, mode);
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* t = as<HXCFRunLoopTimer>(timer);
    std::u16string name = modeName(mode);
    if (!loop || !t || name.empty()) return;
    std::lock_guard<std::mutex> g(loop->mCore->lock);
    if (t->mValid) attach(loop, t, name);
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* t = as<HXCFRunLoopTimer>(timer);
    if (!loop || !t) return;
    std::vector<CFTypeRef> released;
    {
        std::lock_guard<std::mutex> g(loop->mCore->lock);
        if (HXCFRunLoop::Items* items = loop->itemsFor(modeName(mode), false))
            detach(loop, *items, t, released);
    }
    releaseAll(released);
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode) {
    auto* loop = as<HXCFRunLoop>(rl);
    auto* t = as<HXCFRunLoopTimer>(timer);
    return loop && t && contains(loop, t, mode);
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order,
                                         CFRunLoopSourceContext* context) {
    if (!context || context->version != 0) return nullptr;
    auto* s = new HXCFRunLoopSource;
    s->mOrder = order;
    s->mContext = *context;
    if (s->mContext.retain)
        s->mContext.info = const_cast<void*>(s->mContext.retain(s->mContext.info));
    s->mSequence = ++gSequence;
    return s;
}

CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source) {
    auto* s = as<HXCFRunLoopSource>(source);
    return s ? s->mOrder : 0;
}

void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context) {
    auto* s = as<HXCFRunLoopSource>(source);
    if (s && context) *context = s->mContext;
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source) {
    auto* s = as<HXCFRunLoopSource>(source);
    if (!s || !s->mValid) return;
    // Loops holding it are woken too, so a signaller need not know them;
    // only their locks are taken, one at a time after the source's own.
    if (hx::clock::isVirtual()) {
        // On the virtual clock each is woken here, so it counts as running
        // before the signaller can let time move on.
        std::vector<CoreRef> loops;
        {
            std::lock_guard<std::mutex> g(s->mLock);
            if (!s->mSignalled.load()) s->mSignalStamp = ++gSignals;
            s->mSignalled = true;
            loops = s->mLoops;
        }
        wakeEach(loops);
        return;
    }
    {
        WakeRelay& r = wakeRelay();
        std::lock_guard<std::mutex> g(s->mLock);
        if (!s->mSignalled.load()) s->mSignalStamp = ++gSignals;
        s->mSignalled = true;
        std::lock_guard<std::mutex> g2(r.lock);
        for (const CoreRef& c : s->mLoops)
            if (!c->pending) {
                c->pending = true;
                r.pending.push_back(c);
            }
    }
    // A sender fanning one message out to many ports starts the relay once,
    // when it is done.
    hx::wake::runOrDefer(startRelay);
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    auto* s = as<HXCFRunLoopSource>(source);
    if (!s) return;
    CFRetain(s);
    std::vector<CFTypeRef> released;
    std::vector<std::pair<HXCFRunLoop*, CFStringRef>> cancelled;
    {
        std::lock_guard<std::mutex> g(s->mLock);
        s->mValid = false;
    }
    cancelled = detachEverywhere(s, released);
    if (s->mContext.cancel)
        for (auto& [rl, mode] : cancelled)
            s->mContext.cancel(s->mContext.info, rl, mode);
    waitForPerformer(s);
    releaseAll(released);
    CFRelease(s);
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) {
    auto* s = as<HXCFRunLoopSource>(source);
    return s && s->mValid;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context) {
    if (!callout) return nullptr;
    auto* t = new HXCFRunLoopTimer;
    t->mFireNanos = nanosOf(fireDate);
    t->mInterval = interval > 0 ? interval : 0;
    t->mIntervalNanos = intervalNanos(interval);
    t->mOrder = order;
    t->mCallout = callout;
    if (context) {
        t->mContext = *context;
        if (t->mContext.retain)
            t->mContext.info = const_cast<void*>(t->mContext.retain(t->mContext.info));
    }
    t->mSequence = ++gSequence;
    return t;
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    if (!t) return 0;
    return double(t->mFireNanos.load()) / 1e9;
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    if (!t) return;
    std::vector<CoreRef> loops;
    {
        std::lock_guard<std::mutex> g(t->mLock);
        if (!t->mValid) return;
        t->mFireNanos = nanosOf(fireDate);
        t->mSequence = ++gSequence;
        loops = t->mLoops;
    }
    wakeEach(loops);
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    return t ? t->mInterval : 0;
}

Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    return t && t->mIntervalNanos;
}

CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    return t ? t->mOrder : 0;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    if (!t) return;
    CFRetain(t);
    std::vector<CFTypeRef> released;
    {
        std::lock_guard<std::mutex> g(t->mLock);
        t->mValid = false;
    }
    detachEverywhere(t, released);
    releaseAll(released);
    CFRelease(t);
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer) {
    auto* t = as<HXCFRunLoopTimer>(timer);
    return t && t->mValid;
}
}
