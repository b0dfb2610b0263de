// The virtual clock: time moves only when every participating thread waits
// on it, then jumps to the earliest deadline. Everything here checks virtual
// times, orders and counts; nothing depends on how fast the machine runs.
#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using hx::clock::VirtualClock;

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kUs = 1000;

semaphore_t makeSemaphore() {
    semaphore_t s = 0;
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    return s;
}

mach_timespec_t timespecOf(uint64_t ns) {
    return {unsigned(ns / 1000000000u), clock_res_t(ns % 1000000000u)};
}

// Starts a thread that takes part in virtual time from before its first
// instruction (the place is reserved by the starting thread).
std::thread participantThread(std::function<void()> body) {
    hx::clock::Reservation seat;
    return std::thread([seat = std::move(seat), body = std::move(body)]() mutable {
        hx::clock::Participant p(std::move(seat));
        body();
    });
}

// Joins without holding time back.
void join(std::thread& t) {
    hx::clock::Idle idle;
    t.join();
}

struct Log {
    std::mutex lock;
    std::vector<std::tuple<std::string, int, uint64_t>> entries; // who, what, virtual time
    void add(std::string who, int what, uint64_t t) {
        std::lock_guard<std::mutex> g(lock);
        entries.emplace_back(std::move(who), what, t);
    }
};

TEST(VirtualClock, StartsWhereToldAndMovesOnlyByWaits) {
    VirtualClock clock(5000000000ull);
    EXPECT_TRUE(hx::clock::isVirtual());
    EXPECT_EQ(clock.now(), 5000000000ull);
    EXPECT_EQ(mach_absolute_time(), 5000000000ull);
    EXPECT_EQ(clock.now(), 5000000000ull); // reading does not move it

    clock.runFor(2500);
    EXPECT_EQ(clock.now(), 5000002500ull);

    // A timed semaphore wait times out at exactly its deadline.
    semaphore_t s = makeSemaphore();
    EXPECT_EQ(semaphore_timedwait(s, timespecOf(kMs)), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(clock.now(), 5001002500ull);
    // A count already there is taken without time passing.
    ASSERT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, timespecOf(kMs)), KERN_SUCCESS);
    EXPECT_EQ(clock.now(), 5001002500ull);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);

    clock.runUntil(6000000000ull);
    EXPECT_EQ(clock.now(), 6000000000ull);
    clock.runUntil(10); // the past: no wait
    EXPECT_EQ(clock.now(), 6000000000ull);
}

TEST(VirtualClock, DoesNotAdvanceWhileAParticipantRuns) {
    VirtualClock clock;
    const uint64_t start = clock.now();
    std::vector<uint64_t> seenWhileBusy;
    uint64_t afterSleep = 0;
    std::thread worker = participantThread([&] {
        // The test thread is waiting for a deadline; this one still runs.
        while (hx::clock::virtualWaiterCount() < 1)
            std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::yield();
            if (i % 100 == 0) seenWhileBusy.push_back(hx::clock::nowNanos());
        }
        EXPECT_EQ(hx::clock::runningParticipantCount(), 1);
        hx::clock::sleepFor(3 * kMs);
        afterSleep = hx::clock::nowNanos();
    });
    clock.runFor(10 * kMs);
    EXPECT_EQ(clock.now(), start + 10 * kMs);
    join(worker);
    ASSERT_EQ(seenWhileBusy.size(), 20u);
    for (uint64_t t : seenWhileBusy)
        EXPECT_EQ(t, start);
    EXPECT_EQ(afterSleep, start + 3 * kMs);
}

// Two participants: one sleeping, one timing out on a semaphore nobody
// signals. They wake in deadline order at exactly their deadlines.
TEST(VirtualClock, TimedWaitersWakeInDeadlineOrderAtExactTimes) {
    struct Case {
        std::vector<uint64_t> sleeper;  // successive sleeps
        std::vector<uint64_t> timeouts; // successive semaphore time-outs
    };
    const Case cases[] = {
        {{3 * kMs, 4 * kMs}, {5 * kMs, 1 * kMs}},           // 3 5 6 7
        {{1 * kUs, 1 * kUs, 1 * kUs}, {2500}},              // 1 2 2.5 3 µs
        {{10 * kMs}, {1 * kMs, 2 * kMs, 3 * kMs, 5 * kMs}}, // 1 3 6 10 11
        {{999, 1, 1000}, {1001, 998}},                      // 999 1000 1001 1999 2000 ns
    };
    for (const Case& c : cases) {
        VirtualClock clock;
        const uint64_t start = clock.now();
        Log log;
        semaphore_t never = makeSemaphore();
        std::thread a = participantThread([&] {
            for (uint64_t d : c.sleeper) {
                hx::clock::sleepFor(d);
                log.add("sleep", 0, hx::clock::nowNanos() - start);
            }
        });
        std::thread b = participantThread([&] {
            for (uint64_t d : c.timeouts) {
                EXPECT_EQ(semaphore_timedwait(never, timespecOf(d)), KERN_OPERATION_TIMED_OUT);
                log.add("timeout", 0, hx::clock::nowNanos() - start);
            }
        });
        // The expected log: each thread's running sums, merged by time.
        std::vector<std::tuple<std::string, int, uint64_t>> expected;
        uint64_t t = 0, last = 0;
        for (uint64_t d : c.sleeper)
            expected.emplace_back("sleep", 0, t += d);
        last = t;
        t = 0;
        for (uint64_t d : c.timeouts)
            expected.emplace_back("timeout", 0, t += d);
        last = std::max(last, t);
        std::stable_sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) {
            return std::get<2>(x) < std::get<2>(y);
        });

        clock.runFor(last + 1);
        join(a);
        join(b);
        EXPECT_EQ(log.entries, expected);
        EXPECT_EQ(clock.now(), start + last + 1);
        EXPECT_EQ(semaphore_destroy(mach_task_self(), never), KERN_SUCCESS);
    }
}

TEST(VirtualClock, EqualDeadlinesWakeInTheOrderTheyStartedWaiting) {
    VirtualClock clock;
    const uint64_t due = clock.now() + 5 * kMs;
    Log log;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(participantThread([&, i] {
            hx::clock::sleepUntil(due);
            log.add("woke", i, hx::clock::nowNanos());
        }));
        // Each one is waiting before the next starts.
        while (hx::clock::virtualWaiterCount() < i + 1)
            std::this_thread::yield();
    }
    clock.runUntil(due + 1);
    for (std::thread& t : threads)
        join(t);
    ASSERT_EQ(log.entries.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(log.entries[i], std::make_tuple(std::string("woke"), i, due));
}

// A producer paced by sleeps and a consumer with timed waits over a Mach
// semaphore. The whole interleaving is fixed by virtual time.
std::vector<std::tuple<std::string, int, uint64_t>> runProducerConsumer() {
    VirtualClock clock;
    const uint64_t start = clock.now();
    constexpr int kItems = 60;
    Log log;
    semaphore_t ready = makeSemaphore();
    std::mutex qLock;
    std::deque<int> queue;
    std::thread producer = participantThread([&] {
        for (int i = 0; i < kItems; ++i) {
            hx::clock::sleepFor(100 * kUs * (1 + (i * 7) % 5));
            {
                std::lock_guard<std::mutex> g(qLock);
                queue.push_back(i);
            }
            log.add("put", i, hx::clock::nowNanos() - start);
            EXPECT_EQ(semaphore_signal(ready), KERN_SUCCESS);
        }
    });
    std::thread consumer = participantThread([&] {
        for (int got = 0; got < kItems;) {
            const kern_return_t kr = semaphore_timedwait(ready, timespecOf(230 * kUs));
            if (kr == KERN_OPERATION_TIMED_OUT) {
                log.add("timeout", -1, hx::clock::nowNanos() - start);
                continue;
            }
            EXPECT_EQ(kr, KERN_SUCCESS);
            int item;
            {
                std::lock_guard<std::mutex> g(qLock);
                EXPECT_FALSE(queue.empty());
                if (queue.empty()) return;
                item = queue.front();
                queue.pop_front();
            }
            log.add("got", item, hx::clock::nowNanos() - start);
            hx::clock::sleepFor(50 * kUs); // the consumer's own work
            ++got;
        }
    });
    {
        hx::clock::Idle idle;
        producer.join();
        consumer.join();
    }
    EXPECT_EQ(semaphore_destroy(mach_task_self(), ready), KERN_SUCCESS);
    return log.entries;
}

TEST(VirtualClock, ProducerAndConsumerOverASemaphoreRunTheSameEveryTime) {
    const auto first = runProducerConsumer();
    // Items arrive in order, each taken no earlier than it was put, and a
    // consumer that was waiting takes it at the very time it was put.
    std::vector<uint64_t> putAt;
    int got = 0, timeouts = 0, onTheSpot = 0;
    for (const auto& [who, what, t] : first) {
        if (who == "put") putAt.push_back(t);
        if (who == "timeout") ++timeouts;
        if (who == "got") {
            ASSERT_EQ(what, got);
            ASSERT_LT(size_t(what), putAt.size());
            EXPECT_GE(t, putAt[what]);
            if (t == putAt[what]) ++onTheSpot;
            ++got;
        }
    }
    EXPECT_EQ(got, 60);
    EXPECT_GT(timeouts, 0);
    EXPECT_GT(onTheSpot, 0);
    for (int run = 0; run < 4; ++run)
        EXPECT_EQ(runProducerConsumer(), first) << "run " << run;
}

// A 1 ms frame thread hands each frame to a worker through a semaphore; the
// worker's work takes virtual time too. The worker must see every frame at
// exactly its time and finish it before the next frame comes.
TEST(VirtualClock, FrameAdvancesOnlyAfterTheFramesWorkIsDone) {
    VirtualClock clock;
    const uint64_t start = clock.now();
    constexpr int kFrames = 300;
    semaphore_t frameSem = makeSemaphore();
    std::atomic<int> frames{0}, work{0}, lateFrames{0}, overtaken{0};
    std::atomic<bool> stop{false};
    std::thread frameThread = participantThread([&] {
        for (int k = 1; k <= kFrames; ++k) {
            hx::clock::sleepUntil(start + uint64_t(k) * kMs);
            if (work.load() != frames.load()) ++overtaken; // last frame's work not done
            frames.fetch_add(1);
            semaphore_signal(frameSem);
        }
        stop = true;
        semaphore_signal(frameSem);
    });
    std::thread worker = participantThread([&] {
        for (;;) {
            ASSERT_EQ(semaphore_wait(frameSem), KERN_SUCCESS);
            if (stop.load() && work.load() == frames.load()) return;
            const int n = work.load() + 1;
            if (hx::clock::nowNanos() != start + uint64_t(n) * kMs) ++lateFrames;
            hx::clock::sleepFor(300 * kUs); // the per-frame work
            work.fetch_add(1);
        }
    });
    clock.runFor((kFrames + 1) * kMs);
    join(frameThread);
    join(worker);
    EXPECT_EQ(frames.load(), kFrames);
    EXPECT_EQ(work.load(), kFrames);
    EXPECT_EQ(lateFrames.load(), 0);
    EXPECT_EQ(overtaken.load(), 0);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), frameSem), KERN_SUCCESS);
}

// The same with a pool of two threads on a clock-aware condition, woken by a
// notify given after the queue's lock is dropped (as a completion pool does).
class Pool {
public:
    explicit Pool(int n) {
        for (int i = 0; i < n; ++i)
            mThreads.push_back(participantThread([this] { run(); }));
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> g(mLock);
            mStopping = true;
        }
        mCv.notifyAll();
        for (std::thread& t : mThreads)
            join(t);
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> g(mLock);
            mJobs.push_back(std::move(job));
        }
        mCv.notifyOne();
    }

private:
    void run() {
        std::unique_lock<std::mutex> l(mLock);
        for (;;) {
            mCv.wait(l, [this] { return mStopping || !mJobs.empty(); });
            if (mJobs.empty()) return;
            std::function<void()> job = std::move(mJobs.front());
            mJobs.pop_front();
            l.unlock();
            job();
            l.lock();
        }
    }
    std::mutex mLock;
    hx::clock::Condition mCv;
    std::deque<std::function<void()>> mJobs;
    bool mStopping = false;
    std::vector<std::thread> mThreads;
};

TEST(VirtualClock, CompletionsPostedToAPoolRunBeforeTheNextFrame) {
    VirtualClock clock;
    const uint64_t start = clock.now();
    constexpr int kFrames = 200;
    std::atomic<int> done{0}, late{0}, overtaken{0};
    {
        Pool pool(2);
        std::thread bus = participantThread([&] {
            for (int k = 1; k <= kFrames; ++k) {
                hx::clock::sleepUntil(start + uint64_t(k) * kMs);
                if (done.load() != 2 * (k - 1)) ++overtaken;
                const uint64_t frameTime = hx::clock::nowNanos();
                for (int j = 0; j < 2; ++j)
                    pool.post([&, frameTime, j] {
                        if (hx::clock::nowNanos() != frameTime) ++late;
                        hx::clock::sleepFor(100 * kUs * uint64_t(j + 1));
                        done.fetch_add(1);
                    });
            }
        });
        clock.runFor((kFrames + 1) * kMs);
        join(bus);
    }
    EXPECT_EQ(done.load(), 2 * kFrames);
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(overtaken.load(), 0);
}

TEST(VirtualClock, ThreadsNotTakingPartDoNotHoldTimeBack) {
    VirtualClock clock;
    const uint64_t start = clock.now();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> blockedOutside{false};
    uint64_t bystanderWoke = 0;
    // Busy outside the clock, and not a participant.
    std::thread outsider([&] {
        blockedOutside = true;
        released.wait();
    });
    // Not a participant either: its own deadline still fires on virtual time.
    std::thread sleeper([&] {
        hx::clock::sleepFor(2 * kMs);
        bystanderWoke = hx::clock::nowNanos();
    });
    while (!blockedOutside.load())
        std::this_thread::yield();
    clock.runFor(7 * kMs);
    EXPECT_EQ(clock.now(), start + 7 * kMs);
    release.set_value();
    join(outsider);
    join(sleeper);
    EXPECT_GE(bystanderWoke, start + 2 * kMs);
    EXPECT_EQ(hx::clock::runningParticipantCount(), 1); // the test thread
}

TEST(VirtualClock, SwitchesBackToTheRealClock) {
    {
        VirtualClock clock(42 * kMs);
        clock.runFor(kMs);
        EXPECT_EQ(clock.now(), 43 * kMs);
    }
    EXPECT_FALSE(hx::clock::isVirtual());
    EXPECT_EQ(hx::clock::runningParticipantCount(), 0);
    {
        // Taking part means nothing on the real clock.
        hx::clock::Participant p;
        hx::clock::Reservation seat;
        EXPECT_EQ(hx::clock::runningParticipantCount(), 0);
    }
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    const uint64_t now = hx::clock::nowNanos();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_LE(uint64_t(before.tv_sec) * 1000000000u + uint64_t(before.tv_nsec), now);
    EXPECT_GE(uint64_t(after.tv_sec) * 1000000000u + uint64_t(after.tv_nsec), now);

    // Real waits work again, a signal still reaches a waiter.
    semaphore_t s = makeSemaphore();
    EXPECT_EQ(semaphore_timedwait(s, timespecOf(kMs)), KERN_OPERATION_TIMED_OUT);
    std::thread signaller([&] {
        while (hx::mach::semaphoreWaiterCount(s) < 1)
            std::this_thread::yield();
        semaphore_signal(s);
    });
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    signaller.join();
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);

    // And the virtual clock can be entered again, at a new start.
    VirtualClock again(7 * kMs);
    EXPECT_EQ(again.now(), 7 * kMs);
    again.runFor(3);
    EXPECT_EQ(again.now(), 7 * kMs + 3);
}

TEST(VirtualClock, AnUnusedReservationIsGivenBack) {
    VirtualClock clock;
    {
        hx::clock::Reservation seat;
        EXPECT_EQ(hx::clock::runningParticipantCount(), 2);
    }
    EXPECT_EQ(hx::clock::runningParticipantCount(), 1);
    clock.runFor(kMs); // would never return if the place were still held
    EXPECT_EQ(clock.now(), VirtualClock::kDefaultStart + kMs);
}

// Paced to the wall clock: the same steps as unpaced, never ahead of the wall
// clock, and a participant the host holds up holds the machine with it. The
// wall-clock checks are lower bounds only (pacing may never be early; a slow
// host only makes the run longer).
uint64_t wallNanos() {
    return hx::clock::realSource().nowNanos();
}

TEST(PacedClock, StepsExactlyAndNeverRunsAheadOfTheWallClock) {
    const uint64_t wallStart = wallNanos(); // before the clock's own anchor
    VirtualClock clock(VirtualClock::kDefaultStart, true, hx::clock::Pacing::WallClock);
    EXPECT_TRUE(hx::clock::isPaced());
    const uint64_t start = clock.now();
    std::vector<std::pair<uint64_t, uint64_t>> seen; // virtual, wall elapsed at each wake
    std::thread ticker = participantThread([&] {
        for (int i = 0; i < 20; ++i) {
            hx::clock::sleepFor(kMs);
            seen.emplace_back(hx::clock::nowNanos() - start, wallNanos() - wallStart);
        }
    });
    clock.runFor(25 * kMs);
    join(ticker);
    EXPECT_EQ(clock.now(), start + 25 * kMs);
    ASSERT_EQ(seen.size(), 20u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, (i + 1) * kMs);
        EXPECT_LE(seen[i].first, seen[i].second) << "step " << i << " ran ahead of the wall clock";
    }
    EXPECT_GE(wallNanos() - wallStart, 25 * kMs);
}

TEST(PacedClock, AParticipantHeldUpHoldsTimeAndTheClockDoesNotRaceAfterwards) {
    VirtualClock clock(VirtualClock::kDefaultStart, true, hx::clock::Pacing::WallClock);
    const uint64_t start = clock.now();
    const hx::clock::PacedAnchor before = hx::clock::pacedAnchor();
    uint64_t wokeAt = 0;
    uint64_t heldUntil = 0; // wall time the busy thread let go
    std::thread sleeper = participantThread([&] {
        hx::clock::sleepFor(kMs);
        wokeAt = hx::clock::nowNanos();
    });
    std::thread busy = participantThread([&] {
        // Held up by the host for 20 ms of wall time without waiting on the
        // clock: the simulated machine may not move meanwhile.
        const uint64_t until = wallNanos() + 20 * kMs;
        while (wallNanos() < until)
            std::this_thread::yield();
        EXPECT_EQ(hx::clock::nowNanos(), start);
        heldUntil = wallNanos();
    });
    clock.runFor(2 * kMs);
    join(sleeper);
    join(busy);
    EXPECT_EQ(wokeAt, start + kMs);
    EXPECT_EQ(clock.now(), start + 2 * kMs);

    // The first step after the hold-up was at least 19 ms late, so the anchor
    // moved on to it (instead of the clock racing to catch up): to a wall
    // time after the hold-up ended and the virtual time of that step or a
    // later one. Only how the events are ordered is checked, never how long
    // anything took.
    clock.runFor(10 * kMs);
    const hx::clock::PacedAnchor after = hx::clock::pacedAnchor();
    EXPECT_EQ(before.virtualNanos, start);
    EXPECT_GE(after.virtualNanos, start + kMs);
    EXPECT_LE(after.virtualNanos, clock.now());
    EXPECT_GE(after.wallNanos, heldUntil);
    // And every step since was paced from that anchor: the wall clock has
    // gone at least as far past it as virtual time has.
    EXPECT_GE(wallNanos() - after.wallNanos, clock.now() - after.virtualNanos);
}

TEST(PacedClock, SwitchingToUnpacedTimeEndsThePacing) {
    { VirtualClock paced(VirtualClock::kDefaultStart, true, hx::clock::Pacing::WallClock); }
    VirtualClock plain;
    EXPECT_FALSE(hx::clock::isPaced());
    plain.runFor(3600ull * 1000 *
                 kMs); // an hour of virtual time, at once (paced, the test would time out)
    EXPECT_EQ(plain.now(), VirtualClock::kDefaultStart + 3600ull * 1000 * kMs);
}

} // namespace
