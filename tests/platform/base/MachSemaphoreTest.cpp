#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

semaphore_t makeSemaphore(int value = 0) {
    semaphore_t s = 0;
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, value), KERN_SUCCESS);
    EXPECT_NE(s, 0u);
    return s;
}

void waitForWaiters(semaphore_t s, int n) {
    while (hx::mach::semaphoreWaiterCount(s) < n)
        std::this_thread::yield();
}

TEST(MachSemaphore, CreateChecksItsArguments) {
    semaphore_t s = 0;
    EXPECT_EQ(semaphore_create(mach_task_self(), nullptr, SYNC_POLICY_FIFO, 0),
              KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self() + 1, &s, SYNC_POLICY_FIFO, 0),
              KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, -1), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(s, 0u);
}

TEST(MachSemaphore, CountsSignalsAndPollsWithZeroTimeout) {
    const int live = hx::mach::semaphoreLiveCount();
    semaphore_t s = makeSemaphore(1);
    EXPECT_EQ(hx::mach::semaphoreLiveCount(), live + 1);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 2);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 0);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    EXPECT_EQ(hx::mach::semaphoreLiveCount(), live);
}

TEST(MachSemaphore, UnknownOrDestroyedNamesAreRefused) {
    semaphore_t s = makeSemaphore();
    ASSERT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_signal(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_wait(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_INVALID_ARGUMENT);
    // The task port is a port name, but not a semaphore.
    EXPECT_EQ(semaphore_signal(mach_task_self()), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_signal(0), KERN_INVALID_ARGUMENT);
}

TEST(MachSemaphore, TimedWaitRejectsABadNanosecondField) {
    semaphore_t s = makeSemaphore(1);
    EXPECT_EQ(semaphore_timedwait(s, {0, 1000000000}), KERN_INVALID_VALUE);
    EXPECT_EQ(semaphore_timedwait(s, {0, -1}), KERN_INVALID_VALUE);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 1); // nothing taken
    semaphore_destroy(mach_task_self(), s);
}

TEST(MachSemaphore, TimedOutWaiterLeavesTheQueueAndASignalIsKept) {
    semaphore_t s = makeSemaphore();
    EXPECT_EQ(semaphore_timedwait(s, {0, 20000000}), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(hx::mach::semaphoreWaiterCount(s), 0);
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 1);
    semaphore_destroy(mach_task_self(), s);
}

TEST(MachSemaphore, InjectedResultsComeBackInOrderWithoutTakingACount) {
    semaphore_t s = makeSemaphore(1);
    for (kern_return_t k : {KERN_ABORTED, KERN_TERMINATED, KERN_INVALID_ARGUMENT})
        ASSERT_TRUE(hx::mach::injectWaitResult(s, k));
    EXPECT_EQ(semaphore_wait(s), KERN_ABORTED);
    EXPECT_EQ(semaphore_timedwait(s, {1, 0}), KERN_TERMINATED);
    EXPECT_EQ(semaphore_wait(s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 1);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    semaphore_destroy(mach_task_self(), s);
    EXPECT_FALSE(hx::mach::injectWaitResult(s, KERN_ABORTED));
}

TEST(MachSemaphore, WaitersWakeInArrivalOrder) {
    semaphore_t s = makeSemaphore();
    constexpr int kWaiters = 6;
    std::mutex orderLock;
    std::vector<int> order;
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&, i] {
            EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
            std::lock_guard<std::mutex> g(orderLock);
            order.push_back(i);
        });
        waitForWaiters(s, i + 1); // queue them one after another
    }
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_EQ(semaphore_signal(s), KERN_SUCCESS);
        // The next signal only after this waiter recorded itself, so the
        // recorded order is the wake order.
        for (;;) {
            std::lock_guard<std::mutex> g(orderLock);
            if (int(order.size()) == i + 1) break;
        }
    }
    for (auto& t : threads)
        t.join();
    std::vector<int> expected;
    for (int i = 0; i < kWaiters; ++i)
        expected.push_back(i);
    EXPECT_EQ(order, expected);
    semaphore_destroy(mach_task_self(), s);
}

TEST(MachSemaphore, DestroyWakesEveryWaiterWithTerminated) {
    semaphore_t s = makeSemaphore();
    constexpr int kWaiters = 5;
    std::atomic<int> terminated{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([&, i] {
            kern_return_t k = (i % 2) ? semaphore_wait(s) : semaphore_timedwait(s, {60, 0});
            if (k == KERN_TERMINATED) terminated.fetch_add(1);
        });
    waitForWaiters(s, kWaiters);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(terminated.load(), kWaiters);
}

// Destroy racing signal and wait on the same name: every call returns one of
// its defined results and nothing touches freed memory (asan/tsan check).
TEST(MachSemaphore, DestroyRacingSignalAndWaitIsSafe) {
    for (int round = 0; round < 200; ++round) {
        semaphore_t s = makeSemaphore();
        std::atomic<bool> go{false};
        std::thread signaller([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 50; ++i) {
                kern_return_t k = semaphore_signal(s);
                ASSERT_TRUE(k == KERN_SUCCESS || k == KERN_INVALID_ARGUMENT || k == KERN_TERMINATED)
                    << k;
            }
        });
        std::thread waiter([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 50; ++i) {
                kern_return_t k = semaphore_timedwait(s, {0, 1000000});
                ASSERT_TRUE(k == KERN_SUCCESS || k == KERN_OPERATION_TIMED_OUT ||
                            k == KERN_INVALID_ARGUMENT || k == KERN_TERMINATED)
                    << k;
            }
        });
        go.store(true);
        EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
        signaller.join();
        waiter.join();
    }
}

TEST(MachSemaphore, SignalAllWakesEveryone) {
    semaphore_t s = makeSemaphore();
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            if (semaphore_wait(s) == KERN_SUCCESS) woken.fetch_add(1);
        });
    waitForWaiters(s, 3);
    EXPECT_EQ(semaphore_signal_all(s), KERN_SUCCESS);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(hx::mach::semaphoreValue(s), 0);
    semaphore_destroy(mach_task_self(), s);
}

} // namespace
