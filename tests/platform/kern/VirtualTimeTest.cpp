// The kernel stand-in on the virtual clock: work queued from a participant
// runs before time moves on, waiting for a queue to settle goes through the
// clock, and kernel threads take part so their sleeps end at exact times.
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/WorkQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kUs = 1000;

// Items run, in order, with the tick each was queued at, the clock when it
// ran and the ticks the ticker had made by then.
struct Ran {
    int tick;
    uint64_t at;
    int ticksSoFar;
};

// Waits for the participants this test started to be gone, so none is left
// counted when the clock goes back to real time.
void waitForParticipantsBut(int kept) {
    while (hx::clock::runningParticipantCount() > kept)
        std::this_thread::yield();
}

TEST(KernVirtualTime, WorkQueuedEachTickRunsBeforeTheNextTick) {
    constexpr int kTicks = 40;
    // A queue made on the real clock (as the kernel's own are) joins the
    // virtual run when work first reaches it; one made on the virtual clock
    // takes part from the start.
    for (const bool madeBefore : {false, true}) {
        SCOPED_TRACE(madeBefore ? "queue made on the real clock"
                                : "queue made on the virtual clock");
        std::optional<hx::kern::WorkQueue> early;
        if (madeBefore) early.emplace("early", 2);
        {
            hx::clock::VirtualClock clock;
            std::optional<hx::kern::WorkQueue> late;
            if (!madeBefore) late.emplace("late", 2);
            hx::kern::WorkQueue& q = madeBefore ? *early : *late;
            const uint64_t start = clock.now();

            std::mutex m;
            std::vector<Ran> ran;
            int ticks = 0;
            hx::clock::Reservation seat;
            std::thread ticker([&, seat = std::move(seat)]() mutable {
                hx::clock::Participant p(std::move(seat));
                for (int k = 1; k <= kTicks; ++k) {
                    hx::clock::sleepUntil(start + uint64_t(k) * kMs);
                    {
                        std::lock_guard<std::mutex> g(m);
                        ticks = k;
                    }
                    q.post([&, k] {
                        std::lock_guard<std::mutex> g(m);
                        ran.push_back({k, hx::clock::nowNanos(), ticks});
                    });
                }
            });
            // Half a tick past the last one: every tick's work has had its turn.
            clock.runUntil(start + kTicks * kMs + 500 * kUs);
            {
                std::lock_guard<std::mutex> g(m);
                ASSERT_EQ(ran.size(), size_t(kTicks));
                for (int k = 1; k <= kTicks; ++k) {
                    const Ran& r = ran[size_t(k - 1)];
                    EXPECT_EQ(r.tick, k);
                    EXPECT_EQ(r.at, start + uint64_t(k) * kMs) << "item of tick " << k;
                    EXPECT_EQ(r.ticksSoFar, k) << "item of tick " << k;
                }
            }
            EXPECT_EQ(clock.now(), start + kTicks * kMs + 500 * kUs);
            {
                hx::clock::Idle idle;
                ticker.join();
            }
            late.reset();
        }
    }
}

TEST(KernVirtualTime, WaitingForAQueueToSettleLetsItsSleepingWorkFinish) {
    hx::clock::VirtualClock clock;
    const uint64_t start = clock.now();
    hx::kern::WorkQueue q("settle", 1);
    std::vector<uint64_t> woke; // written by the queue's thread only
    for (unsigned ms : {5u, 2u, 8u})
        q.post([&woke, ms] {
            IOSleep(ms);
            woke.push_back(hx::clock::nowNanos());
        });
    // The waiter must not hold time still while the work sleeps.
    EXPECT_TRUE(q.waitIdle());
    EXPECT_EQ(clock.now(), start + 15 * kMs);
    EXPECT_EQ(woke, (std::vector<uint64_t>{start + 5 * kMs, start + 7 * kMs, start + 15 * kMs}));
}

// A kernel thread that sleeps through a list of steps and notes the clock
// after each.
struct Sleeper {
    struct Step {
        bool delay; // IODelay in microseconds, else IOSleep in milliseconds
        unsigned amount;
    };
    std::vector<Step> steps;
    std::vector<uint64_t> woke;
    std::mutex m;
    hx::clock::Condition cv;
    bool done = false;

    static void main(void* param, wait_result_t) {
        auto* s = static_cast<Sleeper*>(param);
        for (const Step& step : s->steps) {
            if (step.delay)
                IODelay(step.amount);
            else
                IOSleep(step.amount);
            s->woke.push_back(hx::clock::nowNanos());
        }
        {
            std::lock_guard<std::mutex> g(s->m);
            s->done = true;
        }
        s->cv.notifyAll();
    }
};

TEST(KernVirtualTime, KernelThreadSleepsEndAtExactVirtualTimes) {
    hx::clock::VirtualClock clock;
    const uint64_t start = clock.now();
    Sleeper s;
    s.steps = {{false, 1}, {false, 3}, {true, 250}, {true, 1}, {false, 10}, {false, 1}};
    std::vector<uint64_t> expected;
    uint64_t t = start;
    for (const auto& step : s.steps) {
        t += step.delay ? step.amount * kUs : step.amount * kMs;
        expected.push_back(t);
    }
    thread_t th = MACH_PORT_NULL;
    ASSERT_EQ(kernel_thread_start(&Sleeper::main, &s, &th), KERN_SUCCESS);
    EXPECT_NE(th, MACH_PORT_NULL);
    // Plenty of time: the thread is done well before this.
    clock.runFor(50 * kMs);
    {
        std::unique_lock<std::mutex> l(s.m);
        s.cv.wait(l, [&] { return s.done; });
    }
    EXPECT_EQ(s.woke, expected);
    EXPECT_EQ(clock.now(), start + 50 * kMs);
    thread_deallocate(th);
    waitForParticipantsBut(1);
}

} // namespace
