// Kernel build of the core library: named atomics, reference-counted
// objects and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "driver/engine/kcore/KernelAtomic.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelObject.h"
#include "driver/engine/kcore/KernelThread.h"
#include "platform/base/HXLog.h"

namespace {

using namespace QnKernel;

// ---- atomics --------------------------------------------------------------

TEST(KernelAtomic, WordOperationsReturnThePreviousValue) {
    int w = 0x0F0F;
    EXPECT_EQ(atomicWrite32(&w, 7), 0x0F0F);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(atomicAnd32(&w, 6), 7);
    EXPECT_EQ(w, 6);
    EXPECT_EQ(atomicOr32(&w, 9), 6);
    EXPECT_EQ(w, 15);
    EXPECT_EQ(atomicXor32(&w, 5), 15);
    EXPECT_EQ(w, 10);

    long long q = 1LL << 40;
    EXPECT_EQ(atomicWrite64(&q, -1), 1LL << 40);
    EXPECT_EQ(atomicAnd64(&q, 0xFF00000000LL), -1);
    EXPECT_EQ(q, 0xFF00000000LL);
    EXPECT_EQ(atomicOr64(&q, 1), 0xFF00000000LL);
    EXPECT_EQ(atomicXor64(&q, 0xFF00000001LL), 0xFF00000001LL);
    EXPECT_EQ(q, 0);

    int a = 1, b = 2;
    void* p = &a;
    EXPECT_EQ(atomicWritePtr(&p, &b), &a);
    EXPECT_EQ(p, &b);
}

TEST(KernelAtomic, BitOperationsTakeTheBitModuloTheWidthAndReportItsOldState) {
    struct Case {
        int bit;
        int mask32;
        long long mask64;
    };
    const Case cases[] = {{0, 1, 1},          {31, INT_MIN, 1LL << 31},
                          {32, 1, 1LL << 32}, {63, INT_MIN, LLONG_MIN},
                          {64, 1, 1},         {-1, INT_MIN, LLONG_MIN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        int w = 0;
        EXPECT_FALSE(atomicTestAndSet32(&w, c.bit));
        EXPECT_EQ(w, c.mask32);
        EXPECT_TRUE(atomicTestAndSet32(&w, c.bit));
        EXPECT_TRUE(atomicTestAndToggle32(&w, c.bit));
        EXPECT_EQ(w, 0);
        EXPECT_FALSE(atomicTestAndToggle32(&w, c.bit));
        EXPECT_TRUE(atomicTestAndClear32(&w, c.bit));
        EXPECT_FALSE(atomicTestAndClear32(&w, c.bit));
        EXPECT_EQ(w, 0);

        long long q = 0;
        EXPECT_FALSE(atomicTestAndSet64(&q, c.bit));
        EXPECT_EQ(q, c.mask64);
        EXPECT_TRUE(atomicTestAndSet64(&q, c.bit));
        EXPECT_TRUE(atomicTestAndToggle64(&q, c.bit));
        EXPECT_FALSE(atomicTestAndToggle64(&q, c.bit));
        EXPECT_TRUE(atomicTestAndClear64(&q, c.bit));
        EXPECT_FALSE(atomicTestAndClear64(&q, c.bit));
        EXPECT_EQ(q, 0);
    }
}

TEST(KernelAtomic, ConcurrentBitFlipsAndOrsLoseNoUpdate) {
    int flags = 0;
    long long wide = 0;
    std::atomic<int> setCount{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                atomicXor32(&flags, 1 << t); // each thread flips its own bit, even times
                if (!atomicTestAndSet64(&wide, t * 16 + (i % 16)))
                    ++setCount; // each bit is first set exactly once
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(wide, -1LL);
    EXPECT_EQ(setCount, 64);
}

// ---- objects --------------------------------------------------------------

struct Tracked : Object {
    explicit Tracked(int* deaths) : mDeaths(deaths) {}
    ~Tracked() override { ++*mDeaths; }
    int* mDeaths;
};

TEST(KernelObject, ReleaseToZeroDeletesAndCountsAreTheNewValue) {
    int deaths = 0;
    auto* o = new Tracked(&deaths);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->hashValue(), 0);
    EXPECT_EQ(o->retain(), 1);
    EXPECT_EQ(o->retain(), 2);
    EXPECT_EQ(o->releaseNoDelete(), 1);
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(o->release(), 0);
    EXPECT_EQ(deaths, 1);
}

TEST(KernelObject, ReleaseHookDecidesAndUnderflowIsAsserted) {
    int deaths = 0;
    auto* o = new Tracked(&deaths);
    static int sLastCount;
    o->setReleaseHook([](Object*, int32_t n) {
        sLastCount = n;
        return false;
    });
    o->retain();
    hx::log::Capture log;
    EXPECT_EQ(o->release(), 0);
    EXPECT_EQ(sLastCount, 0);
    EXPECT_EQ(deaths, 0); // the hook kept it
    EXPECT_EQ(log.text().find("Assertion failed"), std::string::npos);
    EXPECT_EQ(o->release(), -1); // one release too many
    EXPECT_NE(log.text().find("Assertion failed value >= 0"), std::string::npos);
    EXPECT_EQ(deaths, 0);
    o->retain();
    o->setReleaseHook(nullptr);
    o->retain();
    EXPECT_EQ(o->release(), 0);
    EXPECT_EQ(deaths, 1);
}

TEST(KernelObject, DestroyingAReferencedObjectIsAsserted) {
    int deaths = 0;
    auto* o = new Tracked(&deaths);
    o->retain();
    hx::log::Capture log;
    delete o;
    EXPECT_NE(log.text().find("Assertion failed mRefCounter == 0"), std::string::npos);
}

TEST(KernelObjectVar, HoldersRetainAndAssignmentMovesTheReference) {
    int deaths = 0;
    auto* a = new Tracked(&deaths);
    auto* b = new Tracked(&deaths);
    {
        ObjectVar va(a);
        EXPECT_EQ(a->refCount(), 1);
        ObjectVar copy(va);
        EXPECT_EQ(a->refCount(), 2);
        copy = a; // the same object: no change
        EXPECT_EQ(a->refCount(), 2);
        copy = b;
        EXPECT_EQ(a->refCount(), 1);
        EXPECT_EQ(b->refCount(), 1);
        va = copy;
        EXPECT_EQ(deaths, 1); // a's last holder let go
        EXPECT_EQ(b->refCount(), 2);
        EXPECT_EQ(va.getObject(), b);
    }
    EXPECT_EQ(deaths, 2);
}

// ---- threads --------------------------------------------------------------

class KernelThread : public ::testing::Test {
protected:
    void SetUp() override { init("KernelThreadTest"); }
    void TearDown() override { term(); }
};

TEST_F(KernelThread, TheSpecialObjectsCannotBeStarted) {
    QnThread* initThread = QnThread::getInitThread();
    QnThread* defaultThread = QnThread::getDefaultThread();
    ASSERT_NE(initThread, nullptr);
    ASSERT_NE(defaultThread, nullptr);
    EXPECT_EQ(initThread->getId(), QnThread::kInitThreadId);
    EXPECT_EQ(defaultThread->getId(), QnThread::kDefaultThreadId);
    EXPECT_FALSE(initThread->create(nullptr, nullptr, false));
    EXPECT_FALSE(defaultThread->create(nullptr, nullptr, false));
    EXPECT_TRUE(QnThread::isCurrentInitThread());
    EXPECT_EQ(QnThread::getCurrentThread(), initThread);
    EXPECT_FALSE(QnThread::exitCurrent(nullptr)); // the main thread
    // A thread the library did not start sees the default object.
    QnThread* seen = nullptr;
    bool initThere = true;
    std::thread([&] {
        seen = QnThread::getCurrentThread();
        initThere = QnThread::isCurrentInitThread();
    }).join();
    EXPECT_EQ(seen, defaultThread);
    EXPECT_FALSE(initThere);
}

TEST_F(KernelThread, DriverMainThreadIsLogged) {
    hx::log::Capture log;
    auto* t = new QnThread(QnThread::kDriverMainThreadId);
    t->retain();
    EXPECT_NE(log.text().find(" DriverMainThread\n"), std::string::npos);
    t->release();
}

struct EntryRecord {
    std::atomic<int> entered{0};
    QnThread* seenSelf = nullptr;
    QnThread* seenCurrent = nullptr;
    bool joinSelf = true;
    bool current = false;
    std::atomic<bool> mayEnd{true};
};

void* recordingEntry(void* arg, QnThread* thread) {
    auto* r = static_cast<EntryRecord*>(arg);
    r->seenSelf = thread;
    r->seenCurrent = QnThread::getCurrentThread();
    r->current = thread->isCurrentThread();
    r->joinSelf = thread->join(nullptr);
    ++r->entered;
    while (!r->mayEnd)
        threadSleep(1);
    return reinterpret_cast<void*>(uintptr_t(0x1234));
}

TEST_F(KernelThread, CreateRunsTheEntryJoinHandsOutItsResult) {
    auto* t = new QnThread(7);
    t->retain();
    EntryRecord run;
    run.mayEnd = false;
    ASSERT_TRUE(t->create(&run, recordingEntry, true));
    EXPECT_EQ(t->getThreadState(), 1u);
    hx::log::Capture log;
    EXPECT_FALSE(t->create(&run, recordingEntry, false))
        << "a running thread cannot be created again";
    EXPECT_NE(log.text().find(" - already created\n"), std::string::npos);
    run.mayEnd = true;
    void* result = nullptr;
    ASSERT_TRUE(t->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(uintptr_t(0x1234)));
    EXPECT_EQ(run.entered, 1);
    EXPECT_EQ(run.seenSelf, t);
    EXPECT_EQ(run.seenCurrent, t);
    EXPECT_TRUE(run.current);
    EXPECT_FALSE(run.joinSelf) << "a thread cannot join itself";
    EXPECT_EQ(t->getThreadState(), 2u);
    EXPECT_EQ(t->getHandle(), 0u);
    result = nullptr;
    EXPECT_TRUE(t->join(&result)) << "an ended thread still hands out its result";
    EXPECT_EQ(result, reinterpret_cast<void*>(uintptr_t(0x1234)));
    auto* never = new QnThread(8);
    never->retain();
    EXPECT_FALSE(never->join(&result)) << "never started: nothing to join";
    never->release();
    // The ended object can start again.
    EntryRecord second;
    ASSERT_TRUE(t->create(&second, recordingEntry, false));
    ASSERT_TRUE(t->join(nullptr));
    EXPECT_EQ(second.entered, 1);
    // The thread gives back its own reference just after join() returns;
    // once it has, ours is the last.
    while (t->refCount() > 1)
        threadSleep(1);
    EXPECT_EQ(t->release(), 0);
}

struct Worker : QnThread {
    Worker() : QnThread(11) {}
    void* main(void* arg) override {
        exitCalled = QnThread::exitCurrent(arg);
        ranOn = true; // exit ends the object's life, the entry function still returns
        return nullptr;
    }
    // Written by the thread after exit() already let join() return.
    std::atomic<bool> exitCalled{false};
    std::atomic<bool> ranOn{false};
};

TEST_F(KernelThread, MainRunsWithoutEntryAndExitCurrentSetsTheResult) {
    auto* w = new Worker;
    w->retain();
    ASSERT_TRUE(w->create(reinterpret_cast<void*>(uintptr_t(99)), nullptr, false));
    void* result = nullptr;
    ASSERT_TRUE(w->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(uintptr_t(99)));
    EXPECT_EQ(w->getThreadState(), 2u);
    EXPECT_FALSE(w->exit(nullptr)) << "exit works only on the thread itself";
    // exit() lets join() return while the entry function still runs on:
    // wait for the body to give back its reference, then look.
    while (w->refCount() > 1)
        threadSleep(1);
    EXPECT_TRUE(w->exitCalled);
    EXPECT_TRUE(w->ranOn);
    EXPECT_EQ(w->release(), 0);
}

TEST_F(KernelThread, ManyThreadsEachSeeTheirOwnObject) {
    constexpr int kThreads = 8;
    std::vector<QnThread*> threads;
    std::vector<EntryRecord> runs(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        auto* t = new QnThread(100 + i);
        t->retain();
        ASSERT_TRUE(t->create(&runs[i], recordingEntry, false));
        threads.push_back(t);
    }
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_TRUE(threads[i]->join(nullptr));
        EXPECT_EQ(runs[i].seenCurrent, threads[i]);
        EXPECT_EQ(runs[i].entered, 1);
    }
    for (QnThread* t : threads) {
        while (t->refCount() > 1)
            threadSleep(1);
        t->release();
    }
}

} // namespace
