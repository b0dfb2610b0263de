// User threads: start/stop handshake, restart, priorities through the
// precedence model, the worker function form, and the Mach semaphore
// wrapper.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "libs/core/QnAtomic.h"
#include "libs/tools/OSXUserThread.h"
#include "libs/tools/Semaphore.h"
#include "libs/tools/WorkerThread.h"
#include "platform/base/HXClock.h"
#include "platform/base/MachThread.h"

namespace {

// Loops until asked to stop, counting its runs and finished bodies.
class Looper : public OSXUserThread {
public:
    explicit Looper(unsigned p = 63) : OSXUserThread(p) {}
    ~Looper() override { threadStop(); }
    void* threadRun() override {
        runs.fetch_add(1);
        while (atomicRead(&stopFlag) == 0)
            std::this_thread::yield();
        finished.fetch_add(1);
        return this;
    }
    int storedPriority() const { return priority; }
    int creator() const { return creatorPriority; }
    bool running() const { return atomicRead(&runningFlag) == 1; }

    std::atomic<int> runs{0};
    std::atomic<int> finished{0};
};

TEST(OSXUserThread, StartStopAndRestart) {
    Looper t;
    EXPECT_FALSE(t.IsRunning());
    t.threadStop(); // never started: nothing happens
    ASSERT_TRUE(t.threadStart());
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.running());
    EXPECT_FALSE(t.threadStart()); // already started
    // The start hands over before the body's first line has run: wait for it.
    while (t.runs.load() == 0)
        std::this_thread::yield();
    EXPECT_EQ(t.runs.load(), 1);
    t.threadStop();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.running());
    EXPECT_EQ(t.finished.load(), 1); // the body returned before threadStop did

    ASSERT_TRUE(t.threadStart());
    t.threadStop();
    EXPECT_EQ(t.runs.load(), 2);
    EXPECT_EQ(t.finished.load(), 2);
}

// A body that returns on its own, without the stop flag.
class OneShot : public OSXUserThread {
public:
    OneShot() : OSXUserThread(31) {}
    ~OneShot() override { threadStop(); }
    void* threadRun() override {
        std::lock_guard<std::mutex> g(lock);
        done = true;
        cv.notify_all();
        return nullptr;
    }
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
};

TEST(OSXUserThread, BodyReturningOnItsOwnStaysStartedUntilStopped) {
    OneShot t;
    ASSERT_TRUE(t.threadStart());
    {
        std::unique_lock<std::mutex> g(t.lock);
        t.cv.wait(g, [&] { return t.done; });
    }
    EXPECT_TRUE(t.IsRunning());
    EXPECT_FALSE(t.threadStart());
    t.threadStop();
    EXPECT_FALSE(t.IsRunning());
}

TEST(OSXUserThread, PriorityBeforeStartIsAppliedAndReadBack) {
    Looper t(10);
    EXPECT_EQ(t.creator(), hx::mach::kDefaultBasePriority);
    t.SetPriority(63);
    EXPECT_EQ(t.storedPriority(), 63);
    ASSERT_TRUE(t.threadStart());
    EXPECT_EQ(t.storedPriority(), 63); // clamp(31 + 63) read back from the thread
    EXPECT_EQ(OSXUserThread::getThreadPriority(t.getMachThread()), 63);
    t.threadStop();
}

TEST(OSXUserThread, NegativePriorityNamesAnAbsoluteOne) {
    Looper t;
    ASSERT_EQ(t.creator(), 31);
    ASSERT_TRUE(t.threadStart());
    t.SetPriority(static_cast<unsigned>(-47));
    EXPECT_EQ(t.storedPriority(), 47);
    // Importance 47 - 31 = 16 on a base of 31.
    EXPECT_EQ(OSXUserThread::getThreadPriority(t.getMachThread()), 47);
    t.threadStop();

    // Restarted, the read-back priority becomes the importance: 31 + 47.
    ASSERT_TRUE(t.threadStart());
    EXPECT_EQ(t.storedPriority(), 63);
    t.threadStop();

    Looper low(static_cast<unsigned>(-20));
    ASSERT_TRUE(low.threadStart());
    EXPECT_EQ(low.storedPriority(), 20); // importance -11
    EXPECT_EQ(OSXUserThread::getThreadPriority(low.getMachThread()), 20);
    low.threadStop();
}

TEST(OSXUserThread, SecondConstructorUsesPriority63) {
    class Quick : public OSXUserThread {
    public:
        Quick() : OSXUserThread(1, 2, 3, true) {}
        ~Quick() override { threadStop(); }
        void* threadRun() override {
            while (!atomicRead(&stopFlag))
                std::this_thread::yield();
            return nullptr;
        }
        int stored() const { return priority; }
    } q;
    EXPECT_EQ(q.stored(), 63);
}

void* collect(WorkerThread* self, void* context) {
    auto* seen = static_cast<std::vector<void*>*>(context);
    seen->push_back(self);
    while (!self->stopRequested())
        std::this_thread::yield();
    return context;
}

TEST(WorkerThread, FunctionGetsTheWorkerAndTheContext) {
    std::vector<void*> seen;
    WorkerThread w(&collect, &seen);
    ASSERT_TRUE(w.threadStart());
    w.threadStop();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], &w);
}

void* exitValue(WorkerThread*, void* context) {
    return context;
}

TEST(WorkerThread, BodyReturnsTheFunctionsResult) {
    int token = 0;
    WorkerThread w(&exitValue, &token);
    EXPECT_EQ(w.threadRun(), &token);
    WorkerThread none(nullptr, &token);
    EXPECT_EQ(none.threadRun(), nullptr);
}

TEST(OSXUserThread, ThousandStartStopDestroyCycles) {
    for (int i = 0; i < 1000; ++i) {
        Looper* t = new Looper(static_cast<unsigned>(i % 64));
        ASSERT_TRUE(t->threadStart()) << i;
        ASSERT_TRUE(t->running());
        t->threadStop();
        ASSERT_EQ(t->runs.load(), 1);
        ASSERT_EQ(t->finished.load(), 1);
        delete t;
    }
}

TEST(OSXUserThread, DestroyWithoutStopStopsFirst) {
    for (int i = 0; i < 50; ++i) {
        Looper* t = new Looper;
        ASSERT_TRUE(t->threadStart());
        delete t; // the destructor waits for the body
    }
}

// A clock that jumps to the deadline instead of waiting, so the time-out a
// wait asked for can be read off exactly.
class JumpClock : public hx::clock::Source {
public:
    std::uint64_t nowNanos() override { return now; }
    bool waitUntil(std::condition_variable&, std::unique_lock<std::mutex>&,
                   std::uint64_t deadline) override {
        if (deadline > now) now = deadline;
        return false;
    }
    void sleepUntil(std::uint64_t deadline) override {
        if (deadline > now) now = deadline;
    }
    std::uint64_t now = 1000;
};

TEST(Semaphore, WaitTimeoutWaitsWholeSeconds) {
    Semaphore s;
    ASSERT_TRUE(s.create());
    JumpClock clock;
    hx::clock::setSource(&clock);
    std::uint64_t start = clock.now;
    bool got = s.waitTimeout(2);
    std::uint64_t waited = clock.now - start;
    bool polled = s.waitTimeout(0);
    std::uint64_t afterPoll = clock.now;
    s.signal();
    bool pending = s.waitTimeout(0);
    hx::clock::setSource(nullptr);
    EXPECT_FALSE(got);
    EXPECT_EQ(waited, 2000000000u);
    EXPECT_FALSE(polled);
    EXPECT_EQ(afterPoll, start + waited);
    EXPECT_TRUE(pending);
}

TEST(Semaphore, LifecycleAndRefusals) {
    Semaphore s;
    EXPECT_FALSE(s.isValid());
    EXPECT_FALSE(s.wait());
    EXPECT_FALSE(s.waitTimeout(1));
    s.signal();
    s.close();
    ASSERT_TRUE(s.create());
    EXPECT_TRUE(s.isValid());
    EXPECT_FALSE(s.create());
    s.close();
    EXPECT_FALSE(s.isValid());
    EXPECT_TRUE(s.create());
}

// The audio server's pattern: the body signals when it begins and ends.
class Signalling : public OSXUserThread {
public:
    explicit Signalling(Semaphore* s) : OSXUserThread(63), sem(s) {}
    ~Signalling() override { threadStop(); }
    void* threadRun() override {
        sem->signal();
        while (!atomicRead(&stopFlag))
            std::this_thread::yield();
        sem->signal();
        return nullptr;
    }
    Semaphore* sem;
};

TEST(Semaphore, PairsWithAUserThread) {
    for (int i = 0; i < 100; ++i) {
        Semaphore s;
        ASSERT_TRUE(s.create());
        Signalling t(&s);
        ASSERT_TRUE(t.threadStart());
        ASSERT_TRUE(s.wait());
        t.threadStop();
        ASSERT_TRUE(s.wait());
        EXPECT_FALSE(s.waitTimeout(0)); // exactly two signals
        s.close();
    }
}

} // namespace
