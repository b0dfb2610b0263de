#include "libs/core/QnSync.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"

#include "libs/core/QnMemory.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

void waitForWaiters(qn_semaphore_t& s, int n) {
    while (hx::mach::semaphoreWaiterCount(s.semaphore) < n)
        std::this_thread::yield();
}

TEST(CoreSemaphore, ZeroTimeoutOnAnEmptySemaphoreTimesOutAtOnce) {
    qn_semaphore_t s;
    ASSERT_EQ(semaphoreCreate(&s, 0), QN_SUCCESS);
    EXPECT_EQ(s.task, mach_task_self());
    EXPECT_EQ(semaphoreAcquire(&s, 0), QN_ERR_TIMEOUT);
    EXPECT_EQ(semaphoreTry(&s), QN_ERR_TIMEOUT);
    EXPECT_EQ(semaphoreRelease(&s), QN_SUCCESS);
    EXPECT_EQ(semaphoreTry(&s), QN_SUCCESS);
    EXPECT_EQ(semaphoreAcquire(&s, 20), QN_ERR_TIMEOUT);
    semaphoreDestroy(&s);
    EXPECT_EQ(s.semaphore, 0u);
    EXPECT_EQ(s.task, 0u);
}

TEST(CoreSemaphore, NegativeCountCreatesAnEmptySemaphore) {
    qn_semaphore_t s;
    ASSERT_EQ(semaphoreCreate(&s, -5), QN_SUCCESS);
    EXPECT_EQ(semaphoreTry(&s), QN_ERR_TIMEOUT);
    semaphoreDestroy(&s);
}

TEST(CoreSemaphore, EmptyRecordsAreRefused) {
    qn_semaphore_t s;
    semaphoreSetZero(&s);
    EXPECT_EQ(semaphoreRelease(&s), QN_ERR_NO_SEMAPHORE);
    EXPECT_EQ(semaphoreAcquire(&s, -1), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(semaphoreRelease(nullptr), QN_ERR_NO_SEMAPHORE);
    EXPECT_EQ(semaphoreAcquire(nullptr, 0), QN_ERR_BAD_ARGUMENT);
    semaphoreDestroy(&s); // ignored
    semaphoreDestroy(nullptr);
}

TEST(CoreSemaphore, MachWaitResultsMapToStatuses) {
    struct Case {
        kern_return_t injected;
        qn_status expected;
    };
    const Case cases[] = {
        {KERN_ABORTED, QN_ERR_ABORTED},
        {KERN_TERMINATED, QN_ERR_TERMINATED},
        {KERN_INVALID_ARGUMENT, QN_ERR_BAD_ARGUMENT},
        {KERN_OPERATION_TIMED_OUT, QN_ERR_TIMEOUT},
        {KERN_FAILURE, QN_ERR_GENERAL},
        {KERN_SUCCESS, QN_SUCCESS},
    };
    qn_semaphore_t s;
    ASSERT_EQ(semaphoreCreate(&s, 0), QN_SUCCESS);
    for (const Case& c : cases) {
        ASSERT_TRUE(hx::mach::injectWaitResult(s.semaphore, c.injected));
        EXPECT_EQ(semaphoreAcquire(&s, -1), c.expected) << c.injected;
        ASSERT_TRUE(hx::mach::injectWaitResult(s.semaphore, c.injected));
        EXPECT_EQ(semaphoreAcquire(&s, 1000), c.expected) << c.injected;
    }
    EXPECT_EQ(QN_ERR_ABORTED, qn_status(0x8000000d));
    EXPECT_EQ(QN_ERR_TERMINATED, qn_status(0x8000000e));
    EXPECT_EQ(QN_ERR_BAD_ARGUMENT, qn_status(0x80000001));
    semaphoreDestroy(&s);
}

TEST(CoreSemaphore, DestroyWakesBlockedWaitersWithTerminated) {
    qn_semaphore_t s;
    ASSERT_EQ(semaphoreCreate(&s, 0), QN_SUCCESS);
    qn_semaphore_t copy = s; // the waiters use their own copy of the record
    constexpr int kWaiters = 4;
    std::atomic<int> terminated{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([&, i] {
            qn_semaphore_t mine = copy;
            if (semaphoreAcquire(&mine, i % 2 ? -1 : 60000) == QN_ERR_TERMINATED)
                terminated.fetch_add(1);
        });
    waitForWaiters(s, kWaiters);
    semaphoreDestroy(&s);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(terminated.load(), kWaiters);
}

TEST(CoreSemaphore, WakeOrderIsFifo) {
    Core::QnSemaphore sem(0);
    constexpr int kWaiters = 5;
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&, i] {
            EXPECT_EQ(sem.acquire(-1), QN_SUCCESS);
            std::lock_guard<std::mutex> g(lock);
            order.push_back(i);
        });
        waitForWaiters(*sem.record(), i + 1);
    }
    for (int i = 0; i < kWaiters; ++i) {
        EXPECT_EQ(sem.release(), QN_SUCCESS);
        for (;;) {
            std::lock_guard<std::mutex> g(lock);
            if (int(order.size()) == i + 1) break;
        }
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(CoreMutex, RecursiveAcquireNeedsAsManyReleases) {
    Core::qn_mutex_struct m;
    ASSERT_EQ(Core::mutexInit(&m), QN_SUCCESS);
    EXPECT_EQ(Core::mutexAcquire(&m), QN_SUCCESS);
    EXPECT_EQ(Core::mutexAcquire(&m), 1);
    EXPECT_EQ(Core::mutexAcquire(&m), 1);
    auto otherTries = [&] {
        bool got = true;
        std::thread t([&] {
            got = Core::mutexTryAcquire(&m);
            if (got) Core::mutexRelease(&m);
        });
        t.join();
        return got;
    };
    EXPECT_EQ(Core::mutexRelease(&m), 1);
    EXPECT_FALSE(otherTries());
    EXPECT_EQ(Core::mutexRelease(&m), 1);
    EXPECT_FALSE(otherTries());
    EXPECT_EQ(Core::mutexRelease(&m), QN_SUCCESS);
    EXPECT_TRUE(otherTries());
    Core::mutexTerm(&m);
}

TEST(CoreMutex, ReleaseByANonOwnerIsRefusedAndChangesNothing) {
    Core::qn_mutex_struct m;
    ASSERT_EQ(Core::mutexInit(&m), QN_SUCCESS);
    EXPECT_EQ(Core::mutexRelease(&m), QN_ERR_WRONG_STATE); // free mutex
    ASSERT_EQ(Core::mutexAcquire(&m), QN_SUCCESS);
    qn_status fromOther = QN_SUCCESS;
    std::thread t([&] { fromOther = Core::mutexRelease(&m); });
    t.join();
    EXPECT_EQ(fromOther, QN_ERR_WRONG_STATE);
    EXPECT_EQ(Core::mutexAcquire(&m), 1); // still ours
    EXPECT_EQ(Core::mutexRelease(&m), 1);
    EXPECT_EQ(Core::mutexRelease(&m), QN_SUCCESS);
    Core::mutexTerm(&m);
}

TEST(CoreMutex, ProtectsACounterAcrossThreads) {
    Core::QnMutex mutex;
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(mutex.acquire(), QN_SUCCESS);
                ASSERT_EQ(mutex.acquire(), 1);
                ++counter;
                ASSERT_EQ(mutex.release(), 1);
                ASSERT_EQ(mutex.release(), QN_SUCCESS);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
}

TEST(CoreEvent, ManualResetStaysSignalledUntilReset) {
    Core::QnEvent ev(true, false);
    EXPECT_EQ(ev.wait(0), QN_ERR_TIMEOUT);
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    EXPECT_EQ(ev.wait(-1), QN_SUCCESS);
    EXPECT_EQ(ev.wait(-1), QN_SUCCESS);
    EXPECT_EQ(ev.reset(), QN_SUCCESS);
    EXPECT_EQ(ev.wait(10), QN_ERR_TIMEOUT);
    EXPECT_EQ(ev.reset(), QN_SUCCESS); // reset of a reset event
    EXPECT_EQ(ev.wait(-2), QN_ERR_BAD_ARGUMENT);
}

TEST(CoreEvent, ManualResetReleasesEveryWaiter) {
    Core::QnEvent ev(true, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            if (ev.wait(-1) == QN_SUCCESS) woken.fetch_add(1);
        });
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST(CoreEvent, AutoResetReleasesOneWaitPerSignal) {
    Core::QnEvent ev(false, false);
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    EXPECT_EQ(ev.wait(0), QN_SUCCESS);
    EXPECT_EQ(ev.wait(0), QN_ERR_TIMEOUT); // two signals, one wait released
    EXPECT_EQ(ev.reset(), QN_ERR_WRONG_STATE);
    EXPECT_EQ(ev.signal(), QN_SUCCESS);
    EXPECT_EQ(ev.wait(-1), QN_SUCCESS);

    Core::QnEvent initially(false, true);
    EXPECT_EQ(initially.wait(0), QN_SUCCESS);
    EXPECT_EQ(initially.wait(0), QN_ERR_TIMEOUT);
}

TEST(CoreEvent, ConcurrentSignallersLeaveAtMostOnePendingCount) {
    for (int round = 0; round < 300; ++round) {
        Core::QnEvent ev(false, false);
        std::atomic<bool> go{false};
        auto signaller = [&] {
            while (!go.load()) {
            }
            ev.signal();
        };
        std::thread a(signaller), b(signaller);
        go.store(true);
        a.join();
        b.join();
        ASSERT_EQ(ev.wait(0), QN_SUCCESS);
        ASSERT_EQ(ev.wait(0), QN_ERR_TIMEOUT) << "round " << round;
    }
}

TEST(CoreTls, SlotPerThreadAndKeyZeroIsUsable) {
    ASSERT_EQ(Core::tlsInit(), 0);
    EXPECT_TRUE(Core::_tls_threads_key_created);
    int here = 0, there = 0;
    EXPECT_TRUE(Core::tlsSet(&here));
    std::thread t([&] {
        EXPECT_EQ(Core::tlsGet(), nullptr);
        EXPECT_TRUE(Core::tlsSet(&there));
        EXPECT_EQ(Core::tlsGet(), &there);
    });
    t.join();
    EXPECT_EQ(Core::tlsGet(), &here);
    Core::tlsTerm();
    EXPECT_FALSE(Core::_tls_threads_key_created);
    EXPECT_EQ(Core::tlsGet(), nullptr);
    EXPECT_FALSE(Core::tlsSet(&here));
}

struct CountingAllocator : Core::Allocator {
    int allocs = 0;
    int frees = 0;
};

TEST(CoreAllocator, EntriesAreOptional) {
    CountingAllocator a;
    a.alloc = [](Core::Allocator* self, qn_uint64 n) -> void* {
        ++static_cast<CountingAllocator*>(self)->allocs;
        void* p = memoryAlloc(n);
        std::memset(p, 0xab, n);
        return p;
    };
    a.free = [](Core::Allocator* self, void* p) {
        ++static_cast<CountingAllocator*>(self)->frees;
        memoryFree(p);
    };
    unsigned char* p = static_cast<unsigned char*>(a.allocZeroInit(16));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p[i], 0);
    a.Free(p);
    EXPECT_EQ(a.allocs, 1);
    EXPECT_EQ(a.frees, 1);

    Core::Allocator none{nullptr, nullptr};
    EXPECT_EQ(none.Alloc(8), nullptr);
    EXPECT_EQ(none.allocZeroInit(8), nullptr);
    none.Free(&a); // nothing happens
}

} // namespace
