// Sending, posting and actions between threads, and how a message loop ends.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/libs/core/ThreadsTestSupport.h"

namespace {

using Core::Message;
using Core::MessageRequest;
using Core::MessageTarget;
using Core::QnEvent;
using Core::QnThread;
using hx::test::LoopThread;
using hx::test::RecordingTarget;

::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new hx::test::CoreEnvironment);

// A target whose handler holds the loop until the test opens the gate, so the
// test can queue behind it deterministically.
class GateTarget : public MessageTarget {
public:
    explicit GateTarget(QnThread* owner)
        : MessageTarget(owner), mEntered(true, false), mGate(true, false) {}
    long long handleMessage(Message&) override {
        mEntered.signal();
        mGate.wait(-1);
        return 0;
    }
    QnEvent mEntered;
    QnEvent mGate;
};

TEST(ThreadsMessaging, TenPostsAreHandledInOrderOnTheOwnerThread) {
    LoopThread loop;
    loop.start();
    RecordingTarget* target = new RecordingTarget(loop.thread());
    target->retain();
    for (long long i = 0; i < 10; ++i)
        ASSERT_TRUE(target->postMessage(i, 0, 0, nullptr));
    // A send queued behind the posts returns only after they were handled.
    EXPECT_EQ(target->sendMessage(100, 0, 0), 200);

    std::vector<long long> expected{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100};
    EXPECT_EQ(target->seen(), expected);
    for (pthread_t t : target->threads())
        EXPECT_TRUE(pthread_equal(t, loop.thread()->getHandle()));
    target->release();
    EXPECT_EQ(loop.stop(), reinterpret_cast<void*>(1));
}

std::atomic<long long> gActionCalls{0};
std::atomic<pthread_t> gActionThread{};

long long timesThree(long long v) {
    gActionCalls.fetch_add(1);
    gActionThread.store(pthread_self());
    return v * 3;
}

TEST(ThreadsMessaging, PerformActionFromAForeignThreadRunsOnTheLoop) {
    LoopThread loop;
    loop.start();
    gActionCalls = 0;
    EXPECT_EQ(loop.thread()->performAction(timesThree, 14), 42);
    EXPECT_EQ(gActionCalls.load(), 1);
    EXPECT_TRUE(pthread_equal(gActionThread.load(), loop.thread()->getHandle()));
    EXPECT_EQ(loop.thread()->performAction(nullptr, 1), 0);
}

// Runs on the loop: an action there must run at once, not be queued behind
// the request that is being handled (which would deadlock).
void actionFromOwnThread(Message& message) {
    QnThread* self = QnThread::getCurrentThread();
    message.mResult = self->performAction(timesThree, message.mParam1);
    message.miState = 1;
}

TEST(ThreadsMessaging, PerformActionOnTheLoopsOwnThreadRunsDirectly) {
    LoopThread loop;
    loop.start();
    gActionCalls = 0;
    EXPECT_EQ(loop.thread()->sendMessage(actionFromOwnThread, 5, 0, 0), 15);
    EXPECT_EQ(gActionCalls.load(), 1);
    EXPECT_TRUE(pthread_equal(gActionThread.load(), loop.thread()->getHandle()));
}

TEST(ThreadsMessaging, LeaveFromAnotherThreadEndsABlockedWait) {
    LoopThread loop;
    loop.start();
    // The loop waits without limit on an empty queue; only the wake-up of
    // leaveMessageLoop lets it return.
    EXPECT_EQ(loop.stop(), reinterpret_cast<void*>(1));
    EXPECT_EQ(loop.thread()->getMessageState(), 0);
    EXPECT_EQ(loop.thread()->getThreadState(), 2);
}

std::atomic<int> gFailures{0};
std::atomic<qn_status> gFailureStatus{0};
void countFailure(MessageTarget*, Message&, qn_status status) {
    gFailures.fetch_add(1);
    gFailureStatus.store(status);
}

TEST(ThreadsMessaging, RequestsToAnEndedLoopRunNothing) {
    LoopThread loop;
    loop.start();
    RecordingTarget* target = new RecordingTarget(loop.thread());
    target->retain();
    loop.stop();

    gFailures = 0;
    EXPECT_EQ(target->sendMessage(1, 0, 0), 0);
    EXPECT_FALSE(target->postMessage(2, 0, 0, countFailure));
    EXPECT_EQ(gFailures.load(), 1);
    EXPECT_EQ(gFailureStatus.load(), QN_ERR_WRONG_STATE);
    EXPECT_EQ(loop.thread()->performAction(timesThree, 1), 0);
    EXPECT_FALSE(loop.thread()->postMessage(actionFromOwnThread, 1, 0, 0));
    EXPECT_EQ(loop.thread()->queueMessage(nullptr), QN_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(target->seen().empty());
    target->release();
}

TEST(ThreadsMessaging, ASendQueuedJustBeforeLeaveReturnsZero) {
    LoopThread loop;
    loop.start();
    GateTarget* gate = new GateTarget(loop.thread());
    gate->retain();
    std::atomic<int> destroyed{0};
    RecordingTarget* target = new RecordingTarget(loop.thread(), &destroyed);
    target->retain();

    ASSERT_TRUE(gate->postMessage(0, 0, 0, nullptr));
    ASSERT_EQ(gate->mEntered.wait(-1), QN_SUCCESS);

    // What sendMessage does, split so the request is known to be queued
    // before the loop is told to leave.
    MessageRequest request(nullptr, target, 9, 0, 0, nullptr);
    QnEvent done(false, false);
    request.mpEvent = &done;
    ASSERT_EQ(loop.thread()->queueMessage(&request), QN_SUCCESS);
    loop.thread()->leaveMessageLoop();
    gate->mGate.signal();

    ASSERT_EQ(done.wait(-1), QN_SUCCESS);
    EXPECT_EQ(request.mMessage.mResult, 0);
    EXPECT_EQ(request.mMessage.miState, 0);
    EXPECT_EQ(request.mpTarget, nullptr); // the target was given back
    EXPECT_TRUE(target->seen().empty());
    EXPECT_EQ(loop.stop(), reinterpret_cast<void*>(1));

    target->release();
    EXPECT_EQ(destroyed.load(), 1);
    gate->release();
}

// A body that runs two loops in turn; the second ends from its own handler.
struct TwoLoops {
    QnEvent firstStarted{false, false};
    QnEvent secondStarted{false, false};
    std::atomic<int> loopsRun{0};
};

void* twoLoopsBody(void* arg, QnThread* thread) {
    TwoLoops* t = static_cast<TwoLoops*>(arg);
    void* sysArg = nullptr;
    if (thread->runMessageLoop(sysArg, &t->firstStarted, nullptr, nullptr, nullptr, -1))
        t->loopsRun++;
    if (thread->runMessageLoop(sysArg, &t->secondStarted, nullptr, nullptr, nullptr, -1))
        t->loopsRun++;
    return nullptr;
}

class LeavingTarget : public RecordingTarget {
public:
    using RecordingTarget::RecordingTarget;
    long long handleMessage(Message& message) override {
        long long r = RecordingTarget::handleMessage(message);
        if (message.mParam2 == 1) getOwner()->leaveMessageLoop();
        return r;
    }
};

TEST(ThreadsMessaging, APostSurvivesIntoTheNextLoopOnTheSameThread) {
    TwoLoops state;
    QnThread* thread = new QnThread(8);
    thread->retain();
    ASSERT_TRUE(thread->create(&state, twoLoopsBody, true));
    ASSERT_EQ(state.firstStarted.wait(-1), QN_SUCCESS);

    GateTarget* gate = new GateTarget(thread);
    gate->retain();
    LeavingTarget* target = new LeavingTarget(thread);
    target->retain();
    ASSERT_TRUE(gate->postMessage(0, 0, 0, nullptr));
    ASSERT_EQ(gate->mEntered.wait(-1), QN_SUCCESS);
    ASSERT_TRUE(
        target->postMessage(5, 1, 0, nullptr)); // handled by the second loop, which it then ends
    thread->leaveMessageLoop();
    gate->mGate.signal();

    ASSERT_EQ(state.secondStarted.wait(-1), QN_SUCCESS);
    ASSERT_TRUE(thread->join(nullptr));
    EXPECT_EQ(state.loopsRun.load(), 2);
    EXPECT_EQ(target->seen(), std::vector<long long>{5});
    target->release();
    gate->release();
    thread->release();
}

int gSysCalls = 0;
int endAtOnce(QnThread*, void*&, int timeout) {
    ++gSysCalls;
    return timeout == -1 ? -1 : -2;
}

struct SysLoopResult {
    bool ran = false;
    qn_int32 stateAfter = -1;
};

void* sysLoopBody(void* arg, QnThread* thread) {
    SysLoopResult* r = static_cast<SysLoopResult*>(arg);
    void* sysArg = nullptr;
    r->ran = thread->runMessageLoop(sysArg, nullptr, endAtOnce, nullptr, nullptr, -1);
    r->stateAfter = thread->getMessageState();
    return nullptr;
}

TEST(ThreadsMessaging, ASystemCallbackReturningNegativeEndsTheLoop) {
    SysLoopResult result;
    QnThread* thread = new QnThread(9);
    thread->retain();
    gSysCalls = 0;
    ASSERT_TRUE(thread->create(&result, sysLoopBody, false));
    ASSERT_TRUE(thread->join(nullptr));
    EXPECT_TRUE(result.ran);
    EXPECT_EQ(result.stateAfter, 0);
    EXPECT_EQ(gSysCalls, 1);
    thread->release();
}

// Idle callbacks: without a system callback the idle one runs after every
// pass over the queue; with one, only when neither found work.
struct IdleLoop {
    bool withSys = false;
    int idleCalls = 0;
    int sysCalls = 0;
    bool ran = false;
};

int sysTwiceThenEnd(QnThread*, void*& sysArg, int) {
    IdleLoop* l = static_cast<IdleLoop*>(sysArg);
    ++l->sysCalls;
    if (l->sysCalls == 1) return 1; // found work: no idle call after this pass
    return l->sysCalls <= 3 ? 0 : -1;
}

void idleLeavesOnThird(QnThread* thread, void* arg) {
    IdleLoop* l = static_cast<IdleLoop*>(arg);
    if (++l->idleCalls == 3) thread->leaveMessageLoop();
}

void* idleLoopBody(void* arg, QnThread* thread) {
    IdleLoop* l = static_cast<IdleLoop*>(arg);
    void* sysArg = l;
    l->ran = thread->runMessageLoop(sysArg, nullptr, l->withSys ? sysTwiceThenEnd : nullptr,
                                    idleLeavesOnThird, l, 0);
    return nullptr;
}

TEST(ThreadsMessaging, IdleCallbacksRunWhenTheQueueIsEmpty) {
    struct Case {
        bool withSys;
        int idleCalls;
        int sysCalls;
    };
    // Without system callback: idle after each pass until it leaves on its
    // third call. With one: passes 2 and 3 are idle, pass 4 ends the loop.
    const Case cases[] = {{false, 3, 0}, {true, 2, 4}};
    for (const Case& c : cases) {
        IdleLoop loop;
        loop.withSys = c.withSys;
        QnThread* thread = new QnThread(17);
        thread->retain();
        ASSERT_TRUE(thread->create(&loop, idleLoopBody, false));
        ASSERT_TRUE(thread->join(nullptr));
        EXPECT_TRUE(loop.ran);
        EXPECT_EQ(loop.idleCalls, c.idleCalls) << c.withSys;
        EXPECT_EQ(loop.sysCalls, c.sysCalls) << c.withSys;
        EXPECT_EQ(thread->getMessageState(), 0);
        thread->release();
    }
}

TEST(ThreadsMessaging, ALoopOffItsThreadRefusesButSignalsTheStarter) {
    QnThread* thread = new QnThread(10);
    thread->retain();
    QnEvent started(false, false);
    void* sysArg = nullptr;
    EXPECT_FALSE(thread->runMessageLoop(sysArg, &started, nullptr, nullptr, nullptr, -1));
    EXPECT_EQ(started.wait(0), QN_SUCCESS);
    thread->release();
}

TEST(ThreadsMessaging, APostedRequestKeepsItsTargetAliveUntilHandled) {
    LoopThread loop;
    loop.start();
    GateTarget* gate = new GateTarget(loop.thread());
    gate->retain();
    std::atomic<int> destroyed{0};
    RecordingTarget* target = new RecordingTarget(loop.thread(), &destroyed);
    target->retain();

    ASSERT_TRUE(gate->postMessage(0, 0, 0, nullptr));
    ASSERT_EQ(gate->mEntered.wait(-1), QN_SUCCESS);
    ASSERT_TRUE(target->postMessage(3, 0, 0, nullptr));
    target->release(); // only the queued request holds it now
    EXPECT_EQ(destroyed.load(), 0);
    gate->mGate.signal();

    EXPECT_EQ(gate->sendMessage(0, 0, 0), 0); // the gate is open: a round trip through the loop
    EXPECT_EQ(destroyed.load(), 1);
    gate->release();
}

TEST(ThreadsMessaging, DestroyingAThreadObjectGivesBackWhatIsQueued) {
    std::atomic<int> destroyed{0};
    QnThread* thread = new QnThread(11);
    thread->retain();
    ASSERT_TRUE(thread->enableMessaging()); // accepts, but nobody pumps
    gFailures = 0;
    for (int i = 0; i < 5; ++i) {
        RecordingTarget* target = new RecordingTarget(thread, &destroyed);
        target->retain();
        ASSERT_TRUE(target->postMessage(i, 0, 0, countFailure));
        target->release();
    }
    ASSERT_TRUE(thread->postMessage(actionFromOwnThread, 1, 0, 0));
    EXPECT_EQ(destroyed.load(), 0);
    thread->release(); // the leak checker sees any request left behind
    EXPECT_EQ(destroyed.load(), 5);
    EXPECT_EQ(gFailures.load(), 0); // cancelled after queueing: no failure callback
}

// A delegate that answers odd first parameters itself.
class OddDelegate : public MessageTarget {
public:
    explicit OddDelegate(QnThread* owner) : MessageTarget(owner) {}
    void handleDelegateMessage(MessageTarget*, Message& message) override {
        if (message.mParam1 % 2) {
            message.mResult = -message.mParam1;
            message.miState = 1;
        }
    }
};

TEST(ThreadsMessaging, ADelegateSetFromAForeignThreadIsOfferedEachMessageFirst) {
    LoopThread loop;
    loop.start();
    RecordingTarget* target = new RecordingTarget(loop.thread());
    target->retain();
    OddDelegate* delegate = new OddDelegate(loop.thread());
    delegate->retain();

    MessageTarget* previous = reinterpret_cast<MessageTarget*>(1);
    target->setDelegate(delegate, &previous);
    EXPECT_EQ(previous, nullptr);
    MessageTarget* got = target->getDelegate();
    EXPECT_EQ(got, delegate);
    if (got) got->release();

    EXPECT_EQ(target->sendMessage(3, 0, 0), -3);
    EXPECT_EQ(target->sendMessage(4, 0, 0), 8);
    EXPECT_EQ(target->seen(), std::vector<long long>{4});

    target->setDelegate(nullptr, &previous);
    EXPECT_EQ(previous, delegate); // its reference passed back to us
    if (previous) previous->release();
    EXPECT_EQ(target->getDelegate(), nullptr);
    delegate->release();
    target->release();
}

TEST(ThreadsMessaging, ATargetWithoutOwnerHandlesItsMessagesAtOnce) {
    RecordingTarget* target = new RecordingTarget(nullptr);
    target->retain();
    EXPECT_TRUE(target->isOwnerCurrentThread());
    EXPECT_EQ(target->sendMessage(6, 0, 0), 12);
    EXPECT_TRUE(target->postMessage(7, 0, 0, countFailure));
    EXPECT_EQ(target->seen(), (std::vector<long long>{6, 7}));
    target->release();
}

// Many senders, posters and actions against one loop; every request is
// answered exactly once and every target is given back.
std::atomic<long long> gStressActions{0};
long long stressAction(long long v) {
    gStressActions.fetch_add(1);
    return v + 1;
}

TEST(ThreadsMessaging, ConcurrentSendsPostsAndActionsAreAllAnswered) {
    constexpr int kSenders = 6;
    constexpr int kEach = 300;
    LoopThread loop;
    loop.start();
    std::atomic<int> destroyed{0};
    RecordingTarget* target = new RecordingTarget(loop.thread(), &destroyed);
    target->retain();
    gStressActions = 0;
    std::atomic<int> wrong{0};

    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                const long long v = s * 100000 + i;
                if (target->sendMessage(v, 0, 0) != 2 * v) wrong++;
                if (!target->postMessage(-v - 1, 0, 0, nullptr)) wrong++;
                if (loop.thread()->performAction(stressAction, v) != v + 1) wrong++;
            }
        });
    }
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(target->sendMessage(-1000000000, 0, 0), -2000000000);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(gStressActions.load(), kSenders * kEach);

    // Per sender, its sends and posts arrive in the order it issued them.
    std::vector<long long> seen = target->seen();
    EXPECT_EQ(seen.size(), size_t(2 * kSenders * kEach + 1));
    std::vector<long long> lastSend(kSenders, -1), lastPost(kSenders, -1);
    for (long long v : seen) {
        if (v == -1000000000) continue;
        const bool post = v < 0;
        const long long x = post ? -v - 1 : v;
        const int s = int(x / 100000);
        const long long i = x % 100000;
        std::vector<long long>& last = post ? lastPost : lastSend;
        EXPECT_GT(i, last[s]);
        last[s] = i;
    }
    target->release();
    loop.stop();
    EXPECT_EQ(destroyed.load(), 1);
}

// Senders racing the end of the loop: each send is either answered or
// returns 0, none hangs, and nothing leaks.
TEST(ThreadsMessaging, SendsRacingTheEndOfTheLoopNeverHang) {
    for (int round = 0; round < 20; ++round) {
        LoopThread loop;
        loop.start();
        RecordingTarget* target = new RecordingTarget(loop.thread());
        target->retain();
        std::atomic<int> answered{0};
        std::vector<std::thread> senders;
        for (int s = 0; s < 3; ++s) {
            senders.emplace_back([&] {
                for (int i = 1; i <= 50; ++i) {
                    const long long r = target->sendMessage(i, 0, 0);
                    if (r == 2 * i)
                        answered++;
                    else
                        EXPECT_EQ(r, 0);
                }
            });
        }
        loop.stop();
        for (auto& t : senders)
            t.join();
        // Every handled send was answered; no handler ran for a cancelled one.
        EXPECT_EQ(target->seen().size(), size_t(answered.load()));
        target->release();
    }
}

} // namespace
