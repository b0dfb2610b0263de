// Run loops: timers on the virtual clock, sources signalled across threads,
// the four results of a run, stopping from a callback, modes, the main
// thread.
#include "tests/platform/cf/CFTestSupport.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXWakeBatch.h"
#include "platform/cf/HXCF.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace hx::cftest;

namespace {

constexpr std::uint64_t kMs = 1000000;

// What the callbacks saw, in order.
struct Journal {
    std::mutex lock;
    std::vector<std::string> entries;
    std::uint64_t start = 0;
    void add(const std::string& what) {
        std::lock_guard<std::mutex> g(lock);
        entries.push_back(what + "@" + std::to_string((hx::clock::nowNanos() - start) / kMs));
    }
};

struct TimerInfo {
    Journal* journal;
    std::string name;
    int fired = 0;
    int invalidateAfter = 0; // a repeating timer invalidates itself on this firing
    bool stopLoop = false;
};

void timerFired(CFRunLoopTimerRef timer, void* info) {
    auto* t = static_cast<TimerInfo*>(info);
    ++t->fired;
    t->journal->add(t->name);
    if (t->invalidateAfter && t->fired == t->invalidateAfter) CFRunLoopTimerInvalidate(timer);
    if (t->stopLoop) CFRunLoopStop(CFRunLoopGetCurrent());
}

Ref<CFRunLoopTimerRef> makeTimer(TimerInfo& info, double afterSeconds, double interval) {
    CFRunLoopTimerContext ctx{0, &info, nullptr, nullptr, nullptr};
    return Ref<CFRunLoopTimerRef>(CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + afterSeconds, interval, 0, 0, timerFired, &ctx));
}

struct SourceInfo {
    std::atomic<int> performed{0};
    std::thread::id ranOn;
    bool stopLoop = false;
    int scheduled = 0;
    int cancelled = 0;
};

void sourcePerform(void* info) {
    auto* s = static_cast<SourceInfo*>(info);
    s->ranOn = std::this_thread::get_id();
    ++s->performed;
    if (s->stopLoop) CFRunLoopStop(CFRunLoopGetCurrent());
}
void sourceSchedule(void* info, CFRunLoopRef, CFRunLoopMode) {
    ++static_cast<SourceInfo*>(info)->scheduled;
}
void sourceCancel(void* info, CFRunLoopRef, CFRunLoopMode) {
    ++static_cast<SourceInfo*>(info)->cancelled;
}

Ref<CFRunLoopSourceRef> makeSource(SourceInfo& info, CFIndex order = 0) {
    CFRunLoopSourceContext ctx{};
    ctx.info = &info;
    ctx.schedule = sourceSchedule;
    ctx.cancel = sourceCancel;
    ctx.perform = sourcePerform;
    return Ref<CFRunLoopSourceRef>(CFRunLoopSourceCreate(nullptr, order, &ctx));
}

TEST(CFRunLoop, TimersFireInDeadlineOrderOnVirtualTime) {
    hx::clock::VirtualClock clock;
    Journal journal;
    journal.start = clock.now();
    TimerInfo late{&journal, "late"}, early{&journal, "early"}, middle{&journal, "middle"};
    TimerInfo repeating{&journal, "repeat", 0, 3};
    Ref<CFRunLoopTimerRef> t1 = makeTimer(late, 0.040, 0);
    Ref<CFRunLoopTimerRef> t2 = makeTimer(early, 0.010, 0);
    Ref<CFRunLoopTimerRef> t3 = makeTimer(middle, 0.020, 0);
    Ref<CFRunLoopTimerRef> t4 = makeTimer(repeating, 0.015, 0.015);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    for (CFRunLoopTimerRef t : {t1.get(), t2.get(), t3.get(), t4.get()})
        CFRunLoopAddTimer(rl, t, kCFRunLoopDefaultMode);
    EXPECT_TRUE(CFRunLoopTimerDoesRepeat(t4));

    // The repeating timer invalidates itself on its third firing; once every
    // timer is done the mode is empty and the run is finished.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, false), kCFRunLoopRunFinished);
    const std::vector<std::string> expected = {"early@10",  "repeat@15", "middle@20",
                                               "repeat@30", "late@40",   "repeat@45"};
    EXPECT_EQ(journal.entries, expected);
    EXPECT_EQ(clock.now() - journal.start, 45 * kMs);
    for (CFRunLoopTimerRef t : {t1.get(), t2.get(), t3.get(), t4.get()}) {
        EXPECT_FALSE(CFRunLoopTimerIsValid(t));
        EXPECT_FALSE(CFRunLoopContainsTimer(rl, t, kCFRunLoopDefaultMode));
    }
}

TEST(CFRunLoop, RepeatingTimerSkipsFiringsMissedWhileTheLoopWasNotRunning) {
    hx::clock::VirtualClock clock;
    Journal journal;
    journal.start = clock.now();
    TimerInfo repeating{&journal, "tick", 0, 2};
    Ref<CFRunLoopTimerRef> t = makeTimer(repeating, 0.010, 0.010);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), t, kCFRunLoopCommonModes);
    clock.runFor(35 * kMs); // the loop is not running: 10, 20 and 30 pass unseen
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, false), kCFRunLoopRunFinished);
    const std::vector<std::string> expected = {"tick@35", "tick@40"};
    EXPECT_EQ(journal.entries, expected);
}

TEST(CFRunLoop, SourceSignalledFromAnotherThreadRunsOnTheLoopsThread) {
    SourceInfo info;
    Ref<CFRunLoopSourceRef> source = makeSource(info);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
    EXPECT_EQ(info.scheduled, 1);
    std::thread signaller([&] {
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(rl);
    });
    // No time limit that matters: the run ends when the source has run.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e6, true), kCFRunLoopRunHandledSource);
    signaller.join();
    EXPECT_EQ(info.performed, 1);
    EXPECT_EQ(info.ranOn, std::this_thread::get_id());
    CFRunLoopRemoveSource(rl, source, kCFRunLoopDefaultMode);
    EXPECT_EQ(info.cancelled, 1);
}

TEST(CFRunLoop, EachRunResult) {
    hx::clock::VirtualClock clock;
    const std::uint64_t start = clock.now();
    CFRunLoopMode mode = CFSTR("test.results");
    // Nothing in the mode: finished at once.
    EXPECT_EQ(CFRunLoopRunInMode(mode, 5.0, false), kCFRunLoopRunFinished);
    EXPECT_EQ(clock.now(), start);

    SourceInfo info;
    Ref<CFRunLoopSourceRef> source = makeSource(info);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopAddSource(rl, source, mode);
    // A quiet source: the time given passes.
    EXPECT_EQ(CFRunLoopRunInMode(mode, 0.050, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(clock.now(), start + 50 * kMs);
    // A signalled one, and the caller asked to return after it.
    CFRunLoopSourceSignal(source);
    EXPECT_EQ(CFRunLoopRunInMode(mode, 5.0, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(info.performed, 1);
    EXPECT_EQ(clock.now(), start + 50 * kMs);
    // Stopped from the callback, though the caller did not ask to return.
    info.stopLoop = true;
    CFRunLoopSourceSignal(source);
    EXPECT_EQ(CFRunLoopRunInMode(mode, 5.0, false), kCFRunLoopRunStopped);
    EXPECT_EQ(info.performed, 2);
    // A stop while nothing runs does not end the next run.
    CFRunLoopStop(rl);
    EXPECT_EQ(CFRunLoopRunInMode(mode, 0.010, false), kCFRunLoopRunTimedOut);

    CFRunLoopSourceInvalidate(source);
    EXPECT_EQ(info.cancelled, 1);
    EXPECT_FALSE(CFRunLoopSourceIsValid(source));
    EXPECT_EQ(CFRunLoopRunInMode(mode, 5.0, false), kCFRunLoopRunFinished);
}

TEST(CFRunLoop, RunEndsWhenATimerCallbackStopsIt) {
    hx::clock::VirtualClock clock;
    Journal journal;
    journal.start = clock.now();
    TimerInfo ticker{&journal, "tick"};
    TimerInfo stopper{&journal, "stop"};
    stopper.stopLoop = true;
    Ref<CFRunLoopTimerRef> repeat = makeTimer(ticker, 0.010, 0.010);
    Ref<CFRunLoopTimerRef> stop = makeTimer(stopper, 0.025, 0);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(rl, repeat, kCFRunLoopDefaultMode);
    CFRunLoopAddTimer(rl, stop, kCFRunLoopDefaultMode);
    CFRunLoopRun(); // returns only when stopped (the repeating timer keeps the mode busy)
    const std::vector<std::string> expected = {"tick@10", "tick@20", "stop@25"};
    EXPECT_EQ(journal.entries, expected);
    CFRunLoopTimerInvalidate(repeat);
}

TEST(CFRunLoop, CommonModeItemsRunInEveryCommonModeOnly) {
    SourceInfo common, other;
    Ref<CFRunLoopSourceRef> inCommon = makeSource(common);
    Ref<CFRunLoopSourceRef> inOther = makeSource(other);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    // Once common, a mode stays common for the loop: each run takes a new one.
    static int runs = 0;
    Ref<CFStringRef> extraName(
        CFStringCreateWithFormat(nullptr, nullptr, CFSTR("test.extra.%d"), ++runs));
    CFRunLoopMode extra = extraName;
    CFRunLoopAddSource(rl, inCommon, kCFRunLoopCommonModes);
    CFRunLoopAddSource(rl, inOther, extra);
    EXPECT_TRUE(CFRunLoopContainsSource(rl, inCommon, kCFRunLoopDefaultMode));
    EXPECT_FALSE(CFRunLoopContainsSource(rl, inCommon, extra));

    CFRunLoopSourceSignal(inCommon);
    CFRunLoopSourceSignal(inOther);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(common.performed, 1);
    EXPECT_EQ(other.performed, 0); // waits for its own mode

    CFRunLoopAddCommonMode(rl, extra);
    CFRunLoopSourceSignal(inCommon);
    EXPECT_EQ(CFRunLoopRunInMode(extra, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(common.performed, 2);
    EXPECT_EQ(other.performed, 1);

    CFRunLoopSourceInvalidate(inCommon);
    CFRunLoopSourceInvalidate(inOther);
}

TEST(CFRunLoop, SourcesRunByOrderOncePerSignal) {
    std::vector<int> ran;
    struct Ctx {
        std::vector<int>* ran;
        int id;
    } first{&ran, 1}, second{&ran, 2};
    auto perform = [](void* info) {
        auto* c = static_cast<Ctx*>(info);
        c->ran->push_back(c->id);
    };
    CFRunLoopSourceContext c1{}, c2{};
    c1.info = &first, c1.perform = perform;
    c2.info = &second, c2.perform = perform;
    Ref<CFRunLoopSourceRef> late(CFRunLoopSourceCreate(nullptr, 10, &c2));
    Ref<CFRunLoopSourceRef> early(CFRunLoopSourceCreate(nullptr, -5, &c1));
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopAddSource(rl, late, kCFRunLoopDefaultMode);
    CFRunLoopAddSource(rl, early, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(late);
    CFRunLoopSourceSignal(early);
    CFRunLoopSourceSignal(early); // two signals before it runs: one perform
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    CFRunLoopRemoveSource(rl, late, kCFRunLoopDefaultMode);
    CFRunLoopRemoveSource(rl, early, kCFRunLoopDefaultMode);
}

// A loop on a thread of its own takes part in virtual time: its timer fires
// at exact times while the test lets time run.
TEST(CFRunLoop, LoopOnAnotherThreadFollowsVirtualTime) {
    hx::clock::VirtualClock clock;
    Journal journal;
    journal.start = clock.now();
    TimerInfo tick{&journal, "tick"};
    std::atomic<CFRunLoopRef> loop{nullptr};
    hx::clock::Reservation seat;
    std::thread runner([&, seat = std::move(seat)]() mutable {
        hx::clock::Participant p(std::move(seat));
        Ref<CFRunLoopTimerRef> t = makeTimer(tick, 0.005, 0.005);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), t, kCFRunLoopDefaultMode);
        loop = CFRunLoopGetCurrent();
        CFRunLoopRun();
        CFRunLoopTimerInvalidate(t);
    });
    clock.runFor(22 * kMs);
    EXPECT_NE(loop.load(), CFRunLoopGetMain());
    CFRunLoopStop(loop);
    {
        hx::clock::Idle idle;
        runner.join();
    }
    const std::vector<std::string> expected = {"tick@5", "tick@10", "tick@15", "tick@20"};
    EXPECT_EQ(journal.entries, expected);
}

TEST(CFRunLoop, MainThreadHasTheMainLoop) {
    CFRunLoopRef mainLoop = CFRunLoopGetMain();
    ASSERT_NE(mainLoop, nullptr);
    EXPECT_TRUE(hx::cf::isMainThread());
    EXPECT_EQ(CFRunLoopGetCurrent(), mainLoop);
    CFRunLoopRef seenElsewhere = nullptr, ownElsewhere = nullptr;
    std::thread([&] {
        seenElsewhere = CFRunLoopGetMain();
        ownElsewhere = CFRunLoopGetCurrent();
    }).join();
    EXPECT_EQ(seenElsewhere, mainLoop);
    EXPECT_NE(ownElsewhere, mainLoop);

    // A program may make another thread its main one.
    CFRunLoopRef mainOfOther = nullptr;
    std::thread([&] {
        hx::cf::setMainThread();
        mainOfOther = CFRunLoopGetCurrent();
    }).join();
    EXPECT_EQ(mainOfOther, mainLoop);
    EXPECT_FALSE(hx::cf::isMainThread());
    hx::cf::setMainThread();

    hx::cf::setMainRunLoopAbsent(true);
    EXPECT_EQ(CFRunLoopGetMain(), nullptr);
    hx::cf::setMainRunLoopAbsent(false);
    EXPECT_EQ(CFRunLoopGetMain(), mainLoop);
}

// Removing a source from another thread while its callback runs returns
// only after the callback has: its owner may free what the callback uses.
// The callback itself may remove its own source without waiting.
struct BlockingSource {
    std::mutex lock;
    std::condition_variable cv;
    bool inside = false;
    bool mayLeave = false;
    std::atomic<bool> left{false};
    bool removeSelf = false;
    CFRunLoopSourceRef self = nullptr;
    static void perform(void* info) {
        auto* b = static_cast<BlockingSource*>(info);
        if (b->removeSelf) {
            CFRunLoopRemoveSource(CFRunLoopGetCurrent(), b->self, kCFRunLoopDefaultMode);
            b->left = true;
            return;
        }
        std::unique_lock<std::mutex> lk(b->lock);
        b->inside = true;
        b->cv.notify_all();
        b->cv.wait(lk, [&] { return b->mayLeave; });
        b->left = true;
    }
};

TEST(CFRunLoop, RemovingASourceWaitsForItsCallbackOnAnotherThread) {
    BlockingSource b;
    CFRunLoopSourceContext context{};
    context.info = &b;
    context.perform = BlockingSource::perform;
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopRef loop = nullptr;
    std::thread runner([&] {
        loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
        CFRunLoopSourceSignal(source);
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true);
    });
    {
        std::unique_lock<std::mutex> lk(b.lock);
        b.cv.wait(lk, [&] { return b.inside; });
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> g(b.lock);
        b.mayLeave = true;
        b.cv.notify_all();
    });
    CFRunLoopRemoveSource(loop, source, kCFRunLoopDefaultMode);
    EXPECT_TRUE(b.left) << "the remover waited for the callback";
    releaser.join();
    runner.join();
    CFRelease(source);
}

TEST(CFRunLoop, ACallbackRemovesItsOwnSourceWithoutWaiting) {
    BlockingSource b;
    b.removeSelf = true;
    CFRunLoopSourceContext context{};
    context.info = &b;
    context.perform = BlockingSource::perform;
    b.self = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    CFRunLoopAddSource(rl, b.self, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(b.self);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true);
    EXPECT_TRUE(b.left);
    EXPECT_FALSE(CFRunLoopContainsSource(rl, b.self, kCFRunLoopDefaultMode));
    CFRelease(b.self);
}

// Several loops, each on its own thread, signalled from several threads at
// once: every signal is performed once, on its loop's thread, and each loop
// serves its signalled sources in the order they were signalled, whichever
// thread signalled them.
struct LoopFixture {
    struct Source {
        LoopFixture* loop;
        int id;
        CFRunLoopSourceRef ref = nullptr;
    };
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> served; // ids, in perform order
    std::thread::id ranOn;   // every perform's thread, if all agree
    bool wrongThread = false;
    bool gateInside = false, gateOpen = false;
    std::atomic<bool> done{false};
    CFRunLoopRef loop = nullptr;
    std::vector<Source> sources;
    Source gate{this, -1}, quit{this, -2};

    static void perform(void* info) {
        auto* s = static_cast<Source*>(info);
        LoopFixture* f = s->loop;
        std::unique_lock<std::mutex> lk(f->lock);
        if (std::this_thread::get_id() != f->ranOn) f->wrongThread = true;
        if (s->id == -1) { // the gate: holds the loop until the signals are in
            f->gateInside = true;
            f->cv.notify_all();
            hx::clock::Idle idle;
            f->cv.wait(lk, [&] { return f->gateOpen; });
            f->gateInside = f->gateOpen = false;
        } else if (s->id >= 0) {
            f->served.push_back(s->id);
            f->cv.notify_all();
        }
    }
    static CFRunLoopSourceRef make(Source& s) {
        CFRunLoopSourceContext ctx{};
        ctx.info = &s;
        ctx.perform = perform;
        return CFRunLoopSourceCreate(nullptr, 0, &ctx);
    }
};

TEST(CFRunLoop, SeveralLoopsSignalledFromSeveralThreadsServeInSignalOrder) {
    constexpr int kLoops = 4, kSourcesPerLoop = 6, kSignallers = 3, kRounds = 25;
    std::vector<std::unique_ptr<LoopFixture>> fixtures;
    for (int l = 0; l < kLoops; ++l) {
        auto f = std::make_unique<LoopFixture>();
        f->sources.reserve(kSourcesPerLoop);
        for (int i = 0; i < kSourcesPerLoop; ++i)
            f->sources.push_back({f.get(), i});
        for (auto& s : f->sources)
            s.ref = LoopFixture::make(s);
        f->gate.ref = LoopFixture::make(f->gate);
        f->quit.ref = LoopFixture::make(f->quit);
        fixtures.push_back(std::move(f));
    }
    std::vector<std::thread> runners;
    for (auto& fp : fixtures) {
        LoopFixture* f = fp.get();
        runners.emplace_back([f] {
            {
                std::lock_guard<std::mutex> g(f->lock);
                f->ranOn = std::this_thread::get_id();
                f->loop = CFRunLoopGetCurrent();
                for (auto& s : f->sources)
                    CFRunLoopAddSource(f->loop, s.ref, kCFRunLoopDefaultMode);
                CFRunLoopAddSource(f->loop, f->gate.ref, kCFRunLoopDefaultMode);
                CFRunLoopAddSource(f->loop, f->quit.ref, kCFRunLoopDefaultMode);
                f->cv.notify_all();
            }
            while (!f->done)
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e6, true);
            for (auto& s : f->sources)
                CFRunLoopRemoveSource(f->loop, s.ref, kCFRunLoopDefaultMode);
            CFRunLoopRemoveSource(f->loop, f->gate.ref, kCFRunLoopDefaultMode);
            CFRunLoopRemoveSource(f->loop, f->quit.ref, kCFRunLoopDefaultMode);
        });
    }
    hx::clock::Idle idle; // the waits below do not go through the clock
    for (auto& f : fixtures) {
        std::unique_lock<std::mutex> lk(f->lock);
        f->cv.wait(lk, [&] { return f->loop != nullptr; });
    }

    std::vector<std::vector<int>> expected(kLoops);
    std::mutex orderLock; // makes the signals' order the recorded one
    unsigned mix = 12345;
    for (int round = 0; round < kRounds; ++round) {
        // Every loop parked in its gate, so the round's signals all wait.
        for (auto& f : fixtures)
            CFRunLoopSourceSignal(f->gate.ref);
        for (auto& f : fixtures) {
            std::unique_lock<std::mutex> lk(f->lock);
            f->cv.wait(lk, [&] { return f->gateInside; });
        }
        // Each (loop, source) pair once, shuffled, dealt to the signallers.
        std::vector<std::pair<int, int>> pairs;
        for (int l = 0; l < kLoops; ++l)
            for (int i = 0; i < kSourcesPerLoop; ++i)
                pairs.emplace_back(l, i);
        for (std::size_t i = pairs.size(); i > 1; --i) {
            mix = mix * 1103515245u + 12345u;
            std::swap(pairs[i - 1], pairs[(mix >> 8) % i]);
        }
        std::vector<std::thread> signallers;
        for (int t = 0; t < kSignallers; ++t)
            signallers.emplace_back([&, t] {
                for (std::size_t i = t; i < pairs.size(); i += kSignallers) {
                    auto [l, id] = pairs[i];
                    std::lock_guard<std::mutex> g(orderLock);
                    CFRunLoopSourceSignal(fixtures[l]->sources[id].ref);
                    expected[l].push_back(id);
                }
            });
        for (auto& t : signallers)
            t.join();
        for (auto& f : fixtures) {
            std::lock_guard<std::mutex> g(f->lock);
            f->gateOpen = true;
            f->cv.notify_all();
        }
        for (int l = 0; l < kLoops; ++l) {
            LoopFixture& f = *fixtures[l];
            std::unique_lock<std::mutex> lk(f.lock);
            f.cv.wait(lk, [&] { return f.served.size() == expected[l].size(); });
        }
    }
    for (auto& f : fixtures) {
        f->done = true;
        CFRunLoopSourceSignal(f->quit.ref);
    }
    for (auto& t : runners)
        t.join();
    for (int l = 0; l < kLoops; ++l) {
        LoopFixture& f = *fixtures[l];
        EXPECT_FALSE(f.wrongThread) << "loop " << l;
        ASSERT_EQ(f.served.size(), std::size_t(kRounds * kSourcesPerLoop)) << "loop " << l;
        EXPECT_EQ(f.served, expected[l]) << "loop " << l;
        for (auto& s : f.sources)
            CFRelease(s.ref);
        CFRelease(f.gate.ref);
        CFRelease(f.quit.ref);
    }
}

// One sender signals a source on each of many loops, each on its own
// thread: the wake-ups are passed on from loop to loop, and every loop runs
// its source once per round, whether the loops were all asleep or some
// still busy, and whether the sender held its wake-ups back in a batch.
TEST(CFRunLoop, EveryLoopOfAFanOutRunsItsSourceOncePerRound) {
    constexpr int kLoops = 24, kRounds = 60;
    struct Port {
        std::atomic<int> performed{0};
        std::atomic<bool> wrongThread{false};
        std::thread::id thread;
        CFRunLoopRef loop = nullptr;
        CFRunLoopSourceRef source = nullptr;
    };
    std::vector<Port> ports(kLoops);
    std::mutex lock;
    std::condition_variable cv;
    std::atomic<bool> done{false};
    struct Info {
        Port* port;
        std::mutex* lock;
        std::condition_variable* cv;
    };
    std::vector<Info> infos;
    for (auto& p : ports)
        infos.push_back({&p, &lock, &cv});
    std::vector<std::thread> loops;
    for (int i = 0; i < kLoops; ++i)
        loops.emplace_back([&, i] {
            Port& p = ports[i];
            CFRunLoopSourceContext ctx{};
            ctx.info = &infos[i];
            ctx.perform = [](void* info) {
                auto* in = static_cast<Info*>(info);
                if (std::this_thread::get_id() != in->port->thread) in->port->wrongThread = true;
                std::lock_guard<std::mutex> g(*in->lock);
                ++in->port->performed;
                in->cv->notify_all();
            };
            {
                std::lock_guard<std::mutex> g(lock);
                p.thread = std::this_thread::get_id();
                p.source = CFRunLoopSourceCreate(nullptr, 0, &ctx);
                p.loop = CFRunLoopGetCurrent();
                CFRunLoopAddSource(p.loop, p.source, kCFRunLoopDefaultMode);
                cv.notify_all();
            }
            while (!done)
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e6, true);
            CFRunLoopRemoveSource(p.loop, p.source, kCFRunLoopDefaultMode);
        });
    {
        std::unique_lock<std::mutex> lk(lock);
        cv.wait(lk, [&] {
            for (auto& p : ports)
                if (!p.loop) return false;
            return true;
        });
    }
    for (int round = 1; round <= kRounds; ++round) {
        if (round % 2) // every loop asleep: each is woken by the relay
            for (auto& p : ports)
                while (!CFRunLoopIsWaiting(p.loop))
                    std::this_thread::yield();
        if (round % 3) {
            hx::wake::Batch batch;
            for (auto& p : ports)
                CFRunLoopSourceSignal(p.source);
        } else {
            for (auto& p : ports)
                CFRunLoopSourceSignal(p.source);
        }
        std::unique_lock<std::mutex> lk(lock);
        cv.wait(lk, [&] {
            for (auto& p : ports)
                if (p.performed.load() < round) return false;
            return true;
        });
    }
    std::vector<int> performed;
    for (auto& p : ports)
        performed.push_back(p.performed.load());
    done = true;
    for (auto& p : ports) // ends a run still waiting
        CFRunLoopSourceSignal(p.source);
    for (auto& t : loops)
        t.join();
    for (int i = 0; i < kLoops; ++i) {
        EXPECT_EQ(performed[i], kRounds) << "loop " << i;
        EXPECT_FALSE(ports[i].wrongThread.load()) << "loop " << i;
        CFRelease(ports[i].source);
    }
}

} // namespace
