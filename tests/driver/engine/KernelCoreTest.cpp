#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/engine/kcore/KernelContainers.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMemory.h"
#include "driver/engine/kcore/Mutex.h"
#include "platform/base/HXLog.h"

namespace {

using namespace QnKernel;

TEST(KernelSemaphore, ZeroMsIsATryAndATimeoutIsReported) {
    qn_semaphore_t s{};
    ASSERT_EQ(semaphoreCreate(&s, 1), QN_SUCCESS);
    EXPECT_EQ(semaphoreAcquire(&s, 0), QN_SUCCESS);
    EXPECT_EQ(semaphoreAcquire(&s, 0), QN_ERR_TIMEOUT);
    EXPECT_EQ(semaphoreTry(&s), QN_ERR_TIMEOUT);
    EXPECT_EQ(semaphoreAcquire(&s, 5), qn_status(0x8000000C));
    // A negative time-out waits until another thread releases.
    std::thread t([&] { semaphoreRelease(&s); });
    EXPECT_EQ(semaphoreAcquire(&s, -1), QN_SUCCESS);
    t.join();
    semaphoreDestroy(&s);
    EXPECT_EQ(semaphoreAcquire(&s, 0), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(semaphoreRelease(&s), QN_ERR_NO_SEMAPHORE);
    EXPECT_EQ(semaphoreRelease(nullptr), QN_ERR_NO_SEMAPHORE);
}

TEST(KernelMutex, RecursiveAcquireNeedsAsManyReleasesAndOthersCannotRelease) {
    qn_mutex_struct m{};
    ASSERT_EQ(mutexInit(&m), QN_SUCCESS);
    mutexAcquire(&m);
    mutexAcquire(&m);
    EXPECT_TRUE(mutexTryAcquire(&m));
    std::atomic<bool> otherGot{false};
    auto probe = [&] {
        mutexRelease(&m); // not the owner: nothing happens
        otherGot = mutexTryAcquire(&m);
        if (otherGot) mutexRelease(&m);
    };
    std::thread(probe).join();
    EXPECT_FALSE(otherGot);
    mutexRelease(&m);
    mutexRelease(&m);
    std::thread(probe).join();
    EXPECT_FALSE(otherGot);
    mutexRelease(&m); // third release frees it
    std::thread(probe).join();
    EXPECT_TRUE(otherGot);
    mutexTerm(&m);
}

TEST(KernelEvent, ManualResetWakesEveryWaiterAutoResetOne) {
    QnEvent manual(true, false);
    EXPECT_EQ(manual.wait(0), QN_ERR_TIMEOUT);
    EXPECT_EQ(manual.wait(-2), QN_ERR_BAD_ARGUMENT);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (manual.wait(-1) == QN_SUCCESS) ++woken;
        });
    manual.signal();
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(manual.wait(0), QN_SUCCESS);
    EXPECT_EQ(manual.reset(), QN_SUCCESS);
    EXPECT_EQ(manual.wait(0), QN_ERR_TIMEOUT);

    QnEvent automatic(false, false);
    automatic.signal();
    automatic.signal(); // at most one wake-up stays pending
    EXPECT_EQ(automatic.wait(0), QN_SUCCESS);
    EXPECT_EQ(automatic.wait(0), QN_ERR_TIMEOUT);
    EXPECT_EQ(automatic.reset(), QN_ERR_WRONG_STATE);
}

TEST(KernelTls, EachThreadSeesItsOwnValue) {
    ASSERT_TRUE(tlsInit());
    int a = 1, b = 2;
    EXPECT_EQ(tlsGet(), nullptr);
    EXPECT_TRUE(tlsSet(&a));
    EXPECT_TRUE(tlsSet(&b)); // overwrite in place
    std::vector<std::thread> ts;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i)
        ts.emplace_back([&, i] {
            int mine = i;
            if (tlsGet() == nullptr && tlsSet(&mine) && tlsGet() == &mine) ++ok;
            tlsDelete(kcore::currentThread());
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(ok, 8);
    EXPECT_EQ(tlsGet(), &b);
    tlsDelete(kcore::currentThread());
    EXPECT_EQ(tlsGet(), nullptr);
    tlsTerm();
}

TEST(KernelLock, LockMutexAfterPrepareToReleaseFails) {
    Mutex m;
    {
        CriticalSection cs(m, "first");
        EXPECT_TRUE(cs.isLocked());
        EXPECT_FALSE(m.trylock());
    }
    EXPECT_TRUE(m.trylock());
    m.unlock();
    hx::log::Capture cap;
    m.prepareToRelease();
    EXPECT_FALSE(m.lockMutex("late"));
    {
        CriticalSection cs(m, "scoped");
        EXPECT_FALSE(cs.isLocked());
    } // must not unlock a lock it never held
    EXPECT_NE(
        cap.text().find("Mutex::lockMutex() from:late failed. mbPrepareRelease is true (1)\n"),
        std::string::npos);
}

TEST(KernelLock, AWaiterGivesUpWhenTheMutexPreparesToRelease) {
    Mutex m;
    ASSERT_TRUE(m.lockMutex("holder"));
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = m.lockMutex("waiter") ? 1 : 0; });
    Kernel::sleep(5);
    m.prepareToRelease();
    waiter.join();
    EXPECT_EQ(result, 0);
    m.unlock();
}

TEST(KernelMemory, NullFreesAreIgnoredAndBlocksCarryTheirSize) {
    memoryFree(nullptr);
    memFree(nullptr, 12);
    void* p = memoryAlloc(100);
    ASSERT_NE(p, nullptr);
    uint64_t total;
    std::memcpy(&total, static_cast<uint8_t*>(p) - 16, sizeof total);
    EXPECT_EQ(total, 116u);
    memoryFree(p);
    auto* z = static_cast<uint8_t*>(memAllocZero(64));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(z[i], 0);
    memFree(z, 64);
    EXPECT_EQ(memoryClear(nullptr, 4), QN_ERR_BAD_ARGUMENT);
    char c = 'x';
    EXPECT_EQ(memSetNoFunction(&c, 0, 1), &c);
    EXPECT_EQ(c, 'x');
}

TEST(KernelMemory, MemoryHolderReallocatesThroughItsFreeFunction) {
    Memory m(40);
    ASSERT_NE(m.data(), nullptr);
    EXPECT_EQ(m.size(), 40u);
    EXPECT_EQ(m.freeFunction(), &memoryFree);
    uint64_t total;
    std::memcpy(&total, static_cast<uint8_t*>(m.data()) - 16, sizeof total);
    EXPECT_EQ(total, 56u);         // a core memory block
    ASSERT_NE(m.init(8), nullptr); // the first block goes back (leak-checked under asan)
    EXPECT_EQ(m.size(), 8u);
    Memory none(uint64_t(-8)); // too large for the size header
    EXPECT_EQ(none.data(), nullptr);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.freeFunction(), nullptr);
}

long long cmpInt(const void* a, const void* b) {
    return (long long)*static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(KernelArray, GrowthSortingAndRemoval) {
    Core::Array a;
    a.init(sizeof(int), cmpInt);
    EXPECT_TRUE(a.isSorted());
    int v = 5;
    ASSERT_TRUE(a.addUnsorted(&v, 1));
    EXPECT_EQ(a.capacity(), 16u);
    for (int i = 15; i > 0; --i)
        a.addUnsorted(&i, 1);
    EXPECT_EQ(a.count(), 16u);
    EXPECT_FALSE(a.isSorted());
    int x = 99;
    a.addUnsorted(&x, 1);
    EXPECT_EQ(a.capacity(), 32u); // 16 + 4 = 20, rounded up to 32
    EXPECT_EQ(a.getItemAt(a.count()), nullptr);
    EXPECT_FALSE(a.remove(a.count()));
    ASSERT_TRUE(a.sort());
    int probe = 7;
    int64_t at = -2;
    int* found = static_cast<int*>(a.find(&probe, &at));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, 7);
    EXPECT_EQ(a.getIndexOf(found), at);
    EXPECT_EQ(a.getIndexOf(reinterpret_cast<uint8_t*>(found) + 1), -1);
    int more[2] = {0, 50};
    a.add(more, 2); // keeps a sorted array sorted
    EXPECT_TRUE(a.isSorted());
    EXPECT_EQ(*static_cast<int*>(a.getItemAt(0)), 0);
    EXPECT_TRUE(a.remove(found));
    probe = 42;
    EXPECT_EQ(a.find(&probe, &at), nullptr);
    EXPECT_EQ(at, -1);
}

TEST(KernelHashTable, ZeroBucketsMeansOneAndNothingBeforeInit) {
    Core::HashTable h;
    int v = 3;
    EXPECT_FALSE(h.add(&v, 3));
    EXPECT_EQ(h.find(&v, 3), nullptr);
    h.init(0, sizeof(int), cmpInt);
    EXPECT_EQ(h.bucketCount(), 1);
    EXPECT_TRUE(h.add(&v, 3));
    EXPECT_NE(h.find(&v, 3), nullptr);
    EXPECT_TRUE(h.remove(&v, 3));
    EXPECT_FALSE(h.remove(&v, 3));
}

TEST(KernelFormat, FloatConversionEndsTheOutputAndKnownOnesFormat) {
    char buf[128];
    format(buf, sizeof buf, "a%db%fc%d", 1, 2.0, 3);
    EXPECT_STREQ(buf, "a1b");
    format(buf, sizeof buf, "%d%%", 42);
    EXPECT_STREQ(buf, "42%");
    format(buf, sizeof buf, "[%5s|%-3c|%08X|%llu|%hhd|%*d|%.2x]", "ab", 'z', 0xBEEFu,
           1234567890123ull, 300, 4, 7, 5u);
    EXPECT_STREQ(buf, "[   ab|z  |0000BEEF|1234567890123|44|   7|05]");
    EXPECT_EQ(format(buf, 4, "%s", "abcdef"), 3);
    EXPECT_STREQ(buf, "abc");
    const char* unknown = "x%qy";
    format(buf, sizeof buf, unknown, 0);
    EXPECT_STREQ(buf, "x");
}

TEST(KernelDump, ModesAndEmptyInput) {
    hx::log::Capture cap;
    const uint8_t d[3] = {1, 0xAB, 2};
    dumpMemory(d, 3, 1, 2);
    dumpMemory(nullptr, 0, 0, 0);
    EXPECT_EQ(cap.text(), "unsigned char _data[] = {\n0x01, 0xAB, \n0x02, \n};\n"
                          "MemoryDump:\nEND MemoryDump--------------------\n");
}

TEST(KernelInit, StartUpRunsLevelZeroCallbacksInOrderAndKeepsTheOthers) {
    static std::string order;
    order.clear();
    auto record = [](CallbackNode* n) -> qn_status {
        order += static_cast<const char*>(n->mpData);
        return qn_status(order.size());
    };
    CallbackNode a{record, (void*)"a", nullptr, 0};
    CallbackNode b{record, (void*)"b", nullptr, 1};
    CallbackNode c{record, (void*)"c", nullptr, 0};
    atPostInit(&a);
    atPostInit(&b);
    atPostInit(&c);
    atPostInit(nullptr);
    init("UsbDriver");
    EXPECT_EQ(order, "ac");
    EXPECT_EQ(postInitProcess(0), QN_SUCCESS);   // nothing left of level 0
    EXPECT_EQ(postInitProcess(1), qn_status(3)); // the last callback's result
    EXPECT_EQ(order, "acb");
    EXPECT_EQ(postInitProcess(1), QN_SUCCESS); // run once only
    CallbackNode d{record, (void*)"d", nullptr, 5};
    atPostInit(&d); // initialised: runs at once
    EXPECT_EQ(order, "acbd");
    term();
}

TEST(KernelInit, SecondInitAndSecondTermAreLogged) {
    hx::log::Capture cap;
    init("UsbDriver");
    init("UsbDriver");
    EXPECT_TRUE(isInitialised());
    static int ran = 0;
    atExit([](void*) { ran = ran * 10 + 1; }, nullptr);
    atExit([](void*) { ran = ran * 10 + 2; }, nullptr);
    EXPECT_FALSE(atExit(nullptr, nullptr));
    term();
    term();
    EXPECT_EQ(ran, 21); // newest first
    std::string t = cap.text();
    EXPECT_NE(t.find("QnCore::init already initialised\n"), std::string::npos);
    EXPECT_NE(t.find("void Core::term() - init not called or term already called\n"),
              std::string::npos);
}

} // namespace
