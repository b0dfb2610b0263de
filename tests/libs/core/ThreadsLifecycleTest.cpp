// Starting, ending and joining thread objects, the reserved thread objects
// and the free thread functions.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>

#include "libs/core/QnClock.h"
#include "platform/base/testing/StdoutCapture.h"
#include "tests/libs/core/ThreadsTestSupport.h"

namespace {

using Core::Message;
using Core::MessageRequest;
using Core::QnEvent;
using Core::QnThread;
using hx::test::RecordingTarget;

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new hx::test::CoreEnvironment);

int threadCount();

// Threads detached or just joined may still be leaving the process's task
// list; wait for them rather than sample it once.
int settledThreadCount(int expected) {
    int n = threadCount();
    for (int i = 0; i < 5000 && n != expected; ++i) {
        Core::threadSleep(1);
        n = threadCount();
    }
    return n;
}

int threadCount() {
    int n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++n;
    closedir(dir);
    return n;
}

void* returnArg(void* arg, QnThread*) {
    return arg;
}

struct Gate {
    QnEvent open{true, false};
    std::atomic<qn_int32> stateSeen{-1};
};

void* waitForGate(void* arg, QnThread* thread) {
    Gate* gate = static_cast<Gate*>(arg);
    gate->stateSeen = thread->getThreadState();
    gate->open.wait(-1);
    return reinterpret_cast<void*>(0x1234);
}

TEST(ThreadsLifecycle, CreateWaitsUntilTheBodyRunsAndJoinDeliversItsResult) {
    Gate gate;
    QnThread* thread = new QnThread(1);
    thread->retain();
    ASSERT_TRUE(thread->create(&gate, waitForGate, true));
    EXPECT_EQ(thread->getThreadState(), 1);
    EXPECT_TRUE(thread->isRunning());
    EXPECT_FALSE(thread->isCurrentThread());
    gate.open.signal();
    void* result = nullptr;
    EXPECT_TRUE(thread->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(gate.stateSeen.load(), 1);
    EXPECT_EQ(thread->getThreadState(), 2);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_FALSE(thread->join(&result)); // joined exactly once
    thread->release();
}

TEST(ThreadsLifecycle, JoinWorksAfterTheBodyAlreadyReturned) {
    QnThread* thread = new QnThread(2);
    thread->retain();
    ASSERT_TRUE(thread->create(reinterpret_cast<void*>(0x77), returnArg, false));
    while (thread->getThreadState() != 2)
        Core::threadSleepMinimum();
    EXPECT_FALSE(thread->isRunning());
    void* result = nullptr;
    EXPECT_TRUE(thread->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(0x77));
    thread->release();
}

TEST(ThreadsLifecycle, TheVirtualMainRunsWithoutEntryFunction) {
    QnThread* thread = new QnThread(3);
    thread->retain();
    ASSERT_TRUE(thread->create(nullptr, nullptr, true));
    void* result = nullptr;
    EXPECT_TRUE(thread->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(~uintptr_t(0)));
    thread->release();
}

TEST(ThreadsLifecycle, AThousandCreateJoinCyclesLeaveNoThreadBehind) {
    const int before = threadCount();
    QnThread* thread = new QnThread(4);
    thread->retain();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(thread->create(reinterpret_cast<void*>(intptr_t(i)), returnArg, (i & 1) != 0));
        void* result = nullptr;
        ASSERT_TRUE(thread->join(&result));
        ASSERT_EQ(result, reinterpret_cast<void*>(intptr_t(i)));
    }
    thread->release();
    EXPECT_EQ(settledThreadCount(before), before);
}

TEST(ThreadsLifecycle, ARestartWithoutJoinReapsThePreviousRun) {
    const int before = threadCount();
    QnThread* thread = new QnThread(5);
    thread->retain();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(thread->create(nullptr, returnArg, false));
        while (thread->getThreadState() != 2)
            Core::threadSleepMinimum();
    }
    thread->release(); // the last run is never joined either
    EXPECT_EQ(settledThreadCount(before), before);
}

TEST(ThreadsLifecycle, CreateRefusesReservedIdsAndASecondStart) {
    QnThread* def = new QnThread(QnThread::kDefaultThreadId);
    def->retain();
    EXPECT_FALSE(def->create(nullptr, returnArg, false));
    EXPECT_FALSE(def->isRunning());
    def->release();
    EXPECT_FALSE(QnThread::getInitThread()->create(nullptr, returnArg, false));

    Gate gate;
    QnThread* thread = new QnThread(6);
    thread->retain();
    ASSERT_TRUE(thread->create(&gate, waitForGate, true));
    hx::test::StdoutCapture out;
    EXPECT_FALSE(thread->create(&gate, waitForGate, true));
    EXPECT_EQ(out.finish(), "bool Core::QnThread::create(void *, void *(*)(void *, Core::QnThread "
                            "*), bool) - already created\n");
    gate.open.signal();
    EXPECT_TRUE(thread->join(nullptr));
    thread->release();
}

TEST(ThreadsLifecycle, JoinRefusesAThreadNeverStartedAndTheCallersOwn) {
    QnThread* idle = new QnThread(12);
    idle->retain();
    EXPECT_FALSE(idle->join(nullptr));
    idle->release();

    struct Self {
        std::atomic<int> joined{-1};
    } self;
    QnThread* thread = new QnThread(13);
    thread->retain();
    ASSERT_TRUE(thread->create(
        &self,
        [](void* arg, QnThread* t) -> void* {
            static_cast<Self*>(arg)->joined = t->join(nullptr) ? 1 : 0;
            return nullptr;
        },
        false));
    EXPECT_TRUE(thread->join(nullptr));
    EXPECT_EQ(self.joined.load(), 0);
    thread->release();
}

struct ExitState {
    std::atomic<bool> unwound{false};
    std::atomic<bool> pastExit{false};
};

struct SetOnUnwind {
    std::atomic<bool>& flag;
    ~SetOnUnwind() { flag = true; }
};

// Not noexcept: ending the thread unwinds through this frame.
void* exitingBody(void* arg, QnThread* thread) {
    ExitState* s = static_cast<ExitState*>(arg);
    SetOnUnwind guard{s->unwound};
    thread->exit(reinterpret_cast<void*>(0x55));
    s->pastExit = true;
    return nullptr;
}

TEST(ThreadsLifecycle, ExitEndsTheThreadWithItsResult) {
    ExitState state;
    QnThread* thread = new QnThread(14);
    thread->retain();
    ASSERT_TRUE(thread->create(&state, exitingBody, false));
    void* result = nullptr;
    EXPECT_TRUE(thread->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(0x55));
    EXPECT_TRUE(state.unwound.load());
    EXPECT_FALSE(state.pastExit.load());
    EXPECT_EQ(thread->getThreadState(), 2);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_FALSE(thread->exit(nullptr)); // not on its own thread
    thread->release();
}

void* exitCurrentBody(void*, QnThread* thread) {
    EXPECT_EQ(QnThread::getCurrentThread(), thread);
    QnThread::exitCurrent(reinterpret_cast<void*>(0x66));
    return nullptr;
}

TEST(ThreadsLifecycle, ExitCurrentEndsOnlyThreadsWithTheirOwnObject) {
    QnThread* thread = new QnThread(15);
    thread->retain();
    ASSERT_TRUE(thread->create(nullptr, exitCurrentBody, false));
    void* result = nullptr;
    EXPECT_TRUE(thread->join(&result));
    EXPECT_EQ(result, reinterpret_cast<void*>(0x66));
    thread->release();

    // The initialising thread is never ended this way.
    EXPECT_TRUE(QnThread::isCurrentInitThread());
    EXPECT_FALSE(QnThread::exitCurrent(nullptr));

    // A thread started outside the library goes on.
    QnThread* seen = nullptr;
    bool exited = true;
    bool goesOn = false;
    bool initThread = true;
    std::thread foreign([&] {
        seen = QnThread::getCurrentThread();
        initThread = QnThread::isCurrentInitThread();
        exited = QnThread::exitCurrent(nullptr);
        goesOn = true;
    });
    foreign.join();
    EXPECT_EQ(seen->getId(), QnThread::kDefaultThreadId);
    EXPECT_FALSE(initThread);
    EXPECT_FALSE(exited);
    EXPECT_TRUE(goesOn);
}

TEST(ThreadsLifecycle, TheInitThreadObjectStandsForTheInitialisingThread) {
    QnThread* init = QnThread::getInitThread();
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->getId(), QnThread::kInitThreadId);
    EXPECT_TRUE(init->isInitThread());
    EXPECT_TRUE(init->isRunning());
    EXPECT_TRUE(init->isCurrentThread());
    EXPECT_EQ(QnThread::getCurrentThread(), init);
    EXPECT_FALSE(init->exit(nullptr)); // it has no body of its own to end
    EXPECT_FALSE(init->join(nullptr));
    // A target owned by this thread is handled here at once.
    RecordingTarget* target = new RecordingTarget(init);
    target->retain();
    EXPECT_EQ(target->sendMessage(4, 0, 0), 8);
    target->release();
}

TEST(ThreadsLifecycle, TheDriverMainThreadIdAnnouncesItself) {
    hx::test::StdoutCapture out;
    QnThread* thread = new QnThread(QnThread::kDriverMainThreadId);
    thread->retain();
    EXPECT_EQ(out.finish(), "Core::QnThread::QnThread(qn_uint32) DriverMainThread\n");
    ASSERT_TRUE(thread->create(nullptr, returnArg, true));
    EXPECT_TRUE(thread->join(nullptr));
    thread->release();
}

// A body that enables messaging but never pumps: a sender queued to it is
// woken with 0 when the body ends, and its target given back.
struct Deaf {
    QnEvent ready{true, false};
    QnEvent finish{true, false};
};

void* deafBody(void* arg, QnThread* thread) {
    Deaf* d = static_cast<Deaf*>(arg);
    thread->enableMessaging();
    d->ready.signal();
    d->finish.wait(-1);
    return nullptr;
}

TEST(ThreadsLifecycle, TheEndOfTheBodyWakesSendersStillQueued) {
    Deaf deaf;
    QnThread* thread = new QnThread(16);
    thread->retain();
    ASSERT_TRUE(thread->create(&deaf, deafBody, true));
    ASSERT_EQ(deaf.ready.wait(-1), QN_SUCCESS);

    std::atomic<int> destroyed{0};
    RecordingTarget* target = new RecordingTarget(thread, &destroyed);
    target->retain();
    MessageRequest request(nullptr, target, 1, 0, 0, nullptr);
    QnEvent done(false, false);
    request.mpEvent = &done;
    ASSERT_EQ(thread->queueMessage(&request), QN_SUCCESS);
    ASSERT_TRUE(target->postMessage(2, 0, 0, nullptr));
    target->release();
    EXPECT_EQ(destroyed.load(), 0);

    deaf.finish.signal();
    ASSERT_EQ(done.wait(-1), QN_SUCCESS);
    EXPECT_EQ(request.mMessage.mResult, 0);
    EXPECT_TRUE(thread->join(nullptr));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_FALSE(thread->acceptsMessages());
    thread->release();
}

TEST(ThreadsLifecycle, SleepAndSpinWaitAtLeastTheirTime) {
    const qn_uint64 start = Core::uptimeNanos();
    Core::threadSpin(2000);
    EXPECT_GE(Core::uptimeNanos() - start, 2000000u);
    const qn_uint64 mid = Core::uptimeNanos();
    Core::threadSleep(3);
    EXPECT_GE(Core::uptimeNanos() - mid, 3000000u);
    EXPECT_TRUE(Core::threadIsCurrent(reinterpret_cast<void*>(Core::threadGetCurrentId())));
}

} // namespace
