// The real-time kernel thread on the virtual clock: one service call per
// millisecond, the hand-shakes of create and term, the service lock as the
// stoppers' barrier.
#include "driver/engine/transport/KeThread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint64_t kMs = 1000000;

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<int> sleepMs{0}; // each call sleeps this long (holding the service lock)
    static void service(void* arg) {
        Counter* c = static_cast<Counter*>(arg);
        c->calls.fetch_add(1);
        if (int ms = c->sleepMs.load()) IOSleep(unsigned(ms));
    }
};

TEST(KeThread, RunsItsServiceOncePerMillisecondUntilRemoved) {
    hx::clock::VirtualClock clock;
    Counter counter;
    KeThread thread;
    ASSERT_TRUE(thread.create(&counter));
    clock.runFor(5 * kMs);
    EXPECT_EQ(counter.calls.load(), 0); // no service yet: the thread only sleeps
    thread.setService(&Counter::service);
    clock.runFor(20 * kMs);
    const int calls = counter.calls.load();
    EXPECT_GE(calls, 19);
    EXPECT_LE(calls, 21);
    thread.stopBarrier();
    clock.runFor(10 * kMs);
    EXPECT_EQ(counter.calls.load(), calls);
    thread.term();
    EXPECT_FALSE(thread.hasThread());
}

// The thread is created with one engine; another engine's routine runs with
// that engine as argument, and a routine installed without one gets the
// thread's own again.
TEST(KeThread, AServiceGivenItsOwnArgumentRunsWithIt) {
    hx::clock::VirtualClock clock;
    Counter created, other;
    KeThread thread;
    ASSERT_TRUE(thread.create(&created));
    thread.setService(&Counter::service, &other);
    clock.runFor(10 * kMs);
    thread.stopBarrier();
    const int otherCalls = other.calls.load();
    EXPECT_GE(otherCalls, 9);
    EXPECT_EQ(created.calls.load(), 0);
    thread.setService(&Counter::service);
    clock.runFor(10 * kMs);
    thread.stopBarrier();
    EXPECT_GE(created.calls.load(), 9);
    EXPECT_EQ(other.calls.load(), otherCalls);
    thread.term();
}

TEST(KeThread, CreatingTwiceIsRefusedAndTermWithoutAThreadOnlyLogs) {
    hx::clock::VirtualClock clock;
    Counter counter;
    KeThread thread;
    {
        hx::log::Capture log;
        thread.term();
        EXPECT_EQ(log.text(), "KeThread::term ENTER\nKeThread::term EXIT\n");
    }
    ASSERT_TRUE(thread.create(&counter));
    hx::log::Capture log;
    EXPECT_FALSE(thread.create(&counter));
    EXPECT_NE(log.text().find("KeThread::create - thread already exists\n"), std::string::npos);
    thread.term();
    EXPECT_NE(log.text().find("KeThread::term must end thread\n"), std::string::npos);
    EXPECT_FALSE(thread.hasThread());
}

TEST(KeThread, AStopperWaitsForTheCycleThatHoldsTheServiceLock) {
    hx::clock::VirtualClock clock;
    Counter counter;
    counter.sleepMs = 25; // a cycle that overruns badly
    KeThread thread;
    ASSERT_TRUE(thread.create(&counter));
    thread.setService(&Counter::service);
    clock.runFor(3 * kMs); // inside the first call's sleep
    ASSERT_EQ(counter.calls.load(), 1);
    hx::log::Capture log;
    thread.stopBarrier(); // retries every 10 ms until the call returns
    EXPECT_NE(log.text().find("mRTThread.serviceLock() failed\n"), std::string::npos);
    EXPECT_EQ(thread.service(), nullptr);
    clock.runFor(30 * kMs);
    EXPECT_EQ(counter.calls.load(), 1);
    thread.term();
}

TEST(KeThread, ACycleThatFindsTheLockTakenSkipsItsService) {
    hx::clock::VirtualClock clock;
    Counter counter;
    KeThread thread;
    ASSERT_TRUE(thread.create(&counter));
    ASSERT_TRUE(thread.serviceLock());
    thread.setService(&Counter::service);
    hx::log::Capture log;
    clock.runFor(5 * kMs);
    EXPECT_EQ(counter.calls.load(), 0);
    EXPECT_NE(log.text().find("KeThread::run serviceLock() failed\n"), std::string::npos);
    thread.serviceUnlock();
    clock.runFor(5 * kMs);
    EXPECT_GT(counter.calls.load(), 0);
    thread.term();
}

} // namespace
