// Kernel build of the core library: thread messaging (posts, sends, actions,
// the message loop and its end) and the text source's check of UTF-8.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMessage.h"
#include "driver/engine/kcore/KernelText.h"
#include "driver/engine/kcore/KernelThread.h"
#include "platform/base/HXLog.h"

namespace {

using namespace QnKernel;

template <class P> long long asParam(P* p) {
    return static_cast<long long>(reinterpret_cast<intptr_t>(p));
}
template <class P> P* fromParam(long long v) {
    return reinterpret_cast<P*>(static_cast<intptr_t>(v));
}

// A thread whose body runs a number of message loops, one after the other.
struct LoopRun {
    QnEvent started{false, false};
    int loops = 1;
    std::atomic<int> loopsEnded{0};
};

void* loopEntry(void* arg, QnThread* thread) {
    auto* run = static_cast<LoopRun*>(arg);
    for (int i = 0; i < run->loops; ++i) {
        void* sysArg = nullptr;
        thread->runMessageLoop(sysArg, &run->started, nullptr, nullptr, nullptr, -1);
        ++run->loopsEnded;
    }
    return nullptr;
}

// Records what it handles; only its owner thread touches the record.
struct Recorder : MessageTarget {
    explicit Recorder(QnThread* owner) : MessageTarget(owner) {}
    long long handleMessage(Message& m) override {
        seen.push_back(m.mParam1);
        onOwner = onOwner && isOwnerCurrentThread();
        m.miState = 1;
        m.mResult = m.mParam1 + 1;
        return m.mResult;
    }
    std::vector<long long> seen;
    bool onOwner = true;
};

void leaveFn(Message& m) {
    fromParam<QnThread>(m.mParam1)->leaveMessageLoop();
}

class KernelMessaging : public ::testing::Test {
protected:
    void SetUp() override { init("KernelMessagingTest"); }
    void TearDown() override { term(); }

    QnThread* startLoop(LoopRun& run, uint32_t id = 21) {
        auto* t = new QnThread(id);
        t->retain();
        EXPECT_TRUE(t->create(&run, loopEntry, false));
        EXPECT_EQ(run.started.wait(-1), QN_SUCCESS);
        return t;
    }
    void finish(QnThread* t) {
        EXPECT_TRUE(t->join(nullptr));
        releaseJoined(t);
    }
    // join() returns once the thread's handle is gone; the body gives back its
    // own reference just after that, so wait for it before the last release.
    static void releaseJoined(QnThread* t) {
        while (t->refCount() > 1)
            threadSleep(1);
        EXPECT_EQ(t->release(), 0);
    }
};

TEST_F(KernelMessaging, TenPostsAreHandledInOrder) {
    LoopRun run;
    QnThread* t = startLoop(run);
    auto* target = new Recorder(t);
    target->retain();
    for (long long i = 0; i < 10; ++i)
        ASSERT_TRUE(t->postMessage(target, i, 0, 0, nullptr));
    ASSERT_TRUE(t->postMessage(leaveFn, asParam(t), 0, 0));
    finish(t);
    EXPECT_EQ(target->seen, (std::vector<long long>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(target->onOwner);
    EXPECT_EQ(target->refCount(), 1) << "every request gave its target back";
    target->release();
}

struct ActionRecord {
    QnThread* ranOn = nullptr;
    long long nestedResult = 0;
};
ActionRecord gAction;

long long recordAction(long long arg) {
    gAction.ranOn = QnThread::getCurrentThread();
    return arg * 3;
}

void nestedActionFn(Message& m) {
    QnThread* t = fromParam<QnThread>(m.mParam1);
    gAction.ranOn = nullptr;
    // On the loop's own thread the action runs at once, not through the queue
    // (which nobody would drain while this handler runs).
    gAction.nestedResult = t->performAction(recordAction, 5);
    m.miState = 1;
}

TEST_F(KernelMessaging, PerformActionRunsOnTheLoopThreadFromAnyCaller) {
    LoopRun run;
    QnThread* t = startLoop(run);
    gAction = {};
    EXPECT_EQ(t->performAction(recordAction, 14), 42);
    EXPECT_EQ(gAction.ranOn, t);

    gAction = {};
    long long foreign = 0;
    std::thread([&] { foreign = t->performAction(recordAction, 2); }).join();
    EXPECT_EQ(foreign, 6);
    EXPECT_EQ(gAction.ranOn, t);

    EXPECT_EQ(t->sendMessage(nestedActionFn, asParam(t), 0, 0), 0);
    EXPECT_EQ(gAction.nestedResult, 15);
    EXPECT_EQ(gAction.ranOn, t);
    EXPECT_EQ(t->performAction(nullptr, 1), 0);

    t->leaveMessageLoop();
    finish(t);
}

TEST_F(KernelMessaging, LeaveFromAnotherThreadEndsABlockedWait) {
    LoopRun run;
    QnThread* t = startLoop(run);
    EXPECT_EQ(t->getMessageState(), 1u);
    // The loop waits without limit; only the wake-up of leave ends it.
    t->leaveMessageLoop();
    EXPECT_TRUE(t->join(nullptr));
    EXPECT_EQ(run.loopsEnded, 1);
    EXPECT_EQ(t->getMessageState(), 0u);
    releaseJoined(t);
}

TEST_F(KernelMessaging, RunMessageLoopRefusesAForeignThread) {
    auto* t = new QnThread(22);
    t->retain();
    QnEvent started(false, false);
    hx::log::Capture log;
    void* sysArg = nullptr;
    EXPECT_FALSE(t->runMessageLoop(sysArg, &started, nullptr, nullptr, nullptr, -1));
    EXPECT_NE(log.text().find(" enableMessaging() failed\n"), std::string::npos);
    EXPECT_EQ(started.wait(0), QN_SUCCESS) << "the caller's event is signalled anyway";
    EXPECT_EQ(t->release(), 0);
}

struct Gate {
    QnEvent open{true, false};
    QnEvent entered{true, false};
};

// Blocks the loop until the gate opens, then asks the loop to end.
void blockThenLeaveFn(Message& m) {
    auto* gate = fromParam<Gate>(m.mParam2);
    gate->entered.signal();
    gate->open.wait(-1);
    fromParam<QnThread>(m.mParam1)->leaveMessageLoop();
}

TEST_F(KernelMessaging, ASendQueuedBeforeTheLoopEndsGetsZero) {
    LoopRun run;
    QnThread* t = startLoop(run);
    auto* target = new Recorder(t);
    target->retain();
    Gate gate;
    ASSERT_TRUE(t->postMessage(blockThenLeaveFn, asParam(t), asParam(&gate), 0));
    ASSERT_EQ(gate.entered.wait(-1), QN_SUCCESS);

    // Queued for certain while the loop is busy: the request waits as a send.
    QnEvent done(false, false);
    MessageRequest queued(nullptr, target, 100, 0, 0, nullptr);
    queued.mpEvent = &done;
    ASSERT_EQ(t->queueMessage(&queued), QN_SUCCESS);
    // And a real send from another thread, queued or refused around the end.
    long long sent = -1;
    std::thread sender([&] { sent = target->sendMessage(200, 0, 0); });
    while (target->refCount() < 3) // both requests hold the target
        threadSleep(1);

    gate.open.signal();
    ASSERT_EQ(done.wait(-1), QN_SUCCESS);
    sender.join();
    EXPECT_EQ(queued.mMessage.mResult, 0);
    EXPECT_EQ(queued.mMessage.miState, 0) << "cancelled, not handled";
    EXPECT_EQ(sent, 0);
    finish(t);
    EXPECT_TRUE(target->seen.empty());
    EXPECT_EQ(target->refCount(), 1);
    target->release();
}

struct TwoLoops {
    LoopRun run;
    int postedRanInLoop = -1;
};
TwoLoops* gTwo = nullptr;

void secondLoopFn(Message& m) {
    gTwo->postedRanInLoop = gTwo->run.loopsEnded;
    fromParam<QnThread>(m.mParam1)->leaveMessageLoop();
}

void postThenLeaveFn(Message& m) {
    QnThread* t = fromParam<QnThread>(m.mParam1);
    t->postMessage(secondLoopFn, m.mParam1, 0, 0);
    t->leaveMessageLoop();
}

TEST_F(KernelMessaging, APostSurvivesIntoTheNextLoop) {
    TwoLoops two;
    gTwo = &two;
    two.run.loops = 2;
    QnThread* t = startLoop(two.run);
    ASSERT_TRUE(t->postMessage(postThenLeaveFn, asParam(t), 0, 0));
    finish(t);
    EXPECT_EQ(two.run.loopsEnded, 2);
    EXPECT_EQ(two.postedRanInLoop, 1) << "handled by the second loop";
    gTwo = nullptr;
}

int gFunctionsRun = 0;
void countFn(Message&) {
    ++gFunctionsRun;
}

TEST_F(KernelMessaging, DestroyingAThreadWithQueuedPostsGivesEverythingBack) {
    auto* t = new QnThread(23);
    t->retain();
    auto* target = new Recorder(t);
    target->retain();
    ASSERT_TRUE(t->enableMessaging());
    gFunctionsRun = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(t->postMessage(target, i, 0, 0, nullptr));
        ASSERT_TRUE(t->postMessage(countFn, 0, 0, 0));
    }
    EXPECT_EQ(target->refCount(), 4);
    EXPECT_EQ(t->release(), 0);
    EXPECT_EQ(target->refCount(), 1);
    EXPECT_TRUE(target->seen.empty());
    EXPECT_EQ(gFunctionsRun, 0);
    target->release();
}

struct EndingRun {
    QnEvent ready{true, false};
    QnEvent mayEnd{true, false};
};

void* enableThenEnd(void* arg, QnThread* thread) {
    auto* run = static_cast<EndingRun*>(arg);
    thread->enableMessaging();
    run->ready.signal();
    run->mayEnd.wait(-1);
    return nullptr; // never pumps its queue
}

TEST_F(KernelMessaging, TheBodyEndingCancelsWhatIsQueued) {
    auto* t = new QnThread(24);
    t->retain();
    auto* target = new Recorder(t);
    target->retain();
    EndingRun run;
    ASSERT_TRUE(t->create(&run, enableThenEnd, false));
    ASSERT_EQ(run.ready.wait(-1), QN_SUCCESS);
    ASSERT_TRUE(t->postMessage(target, 1, 0, 0, nullptr));
    long long sent = -1;
    std::thread sender([&] { sent = target->sendMessage(2, 0, 0); });
    while (target->refCount() < 3)
        threadSleep(1);
    run.mayEnd.signal();
    sender.join();
    EXPECT_EQ(sent, 0);
    EXPECT_TRUE(t->join(nullptr));
    EXPECT_EQ(target->refCount(), 1);
    EXPECT_FALSE(t->postMessage(target, 3, 0, 0, nullptr)) << "an ended thread takes no posts";
    EXPECT_EQ(target->refCount(), 1);
    releaseJoined(t);
    target->release();
}

std::atomic<int> gPostsRun{0};
void countPostFn(Message&) {
    ++gPostsRun;
}
long long plusOne(long long v) {
    return v + 1;
}

TEST_F(KernelMessaging, ManySendersPostersAndALateLeaveStayConsistent) {
    LoopRun run;
    QnThread* t = startLoop(run);
    auto* target = new Recorder(t);
    target->retain();
    gPostsRun = 0;
    constexpr int kSenders = 4;
    constexpr int kRounds = 300;
    std::atomic<int> handledSends{0}, postsQueued{0}, actionsDone{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kRounds; ++i) {
                const long long v = s * 1000 + i;
                if (target->sendMessage(v, 0, 0) == v + 1) ++handledSends;
                if (t->postMessage(countPostFn, 0, 0, 0)) ++postsQueued;
                if (t->performAction(plusOne, v) == v + 1) ++actionsDone;
            }
        });
    }
    // Leave while the senders are still busy: late sends must come back.
    while (handledSends < kRounds)
        threadSleep(1);
    t->leaveMessageLoop();
    for (std::thread& s : senders)
        s.join();
    finish(t);
    // Posts not handled by the loop were given back by the body's end.
    EXPECT_LE(gPostsRun.load(), postsQueued.load());
    EXPECT_EQ(int(target->seen.size()), handledSends.load());
    EXPECT_GE(handledSends.load(), kRounds);
    EXPECT_TRUE(target->onOwner);
    // Each sender's handled messages arrive in its own order.
    std::vector<long long> last(kSenders, -1);
    for (long long v : target->seen) {
        EXPECT_GT(v % 1000, last[v / 1000]);
        last[v / 1000] = v % 1000;
    }
    EXPECT_EQ(target->refCount(), 1);
    target->release();
}

// ---- targets and delegates ------------------------------------------------

struct Swallower : MessageTarget {
    Swallower() : MessageTarget(nullptr) {}
    void handleDelegateMessage(MessageTarget*, Message& m) override {
        if (m.mParam1 == 7) {
            m.mResult = 70;
            m.miState = 1;
        }
    }
};

TEST_F(KernelMessaging, TheDelegateGoesFirstAndOneLeftAtDestructionIsAsserted) {
    auto* target = new Recorder(nullptr); // no owner: handled by the caller
    target->retain();
    auto* delegate = new Swallower;
    delegate->retain();
    target->setDelegate(delegate, nullptr);
    EXPECT_EQ(delegate->refCount(), 2);
    EXPECT_EQ(target->sendMessage(7, 0, 0), 70);
    EXPECT_EQ(target->sendMessage(8, 0, 0), 9);
    EXPECT_EQ(target->seen, (std::vector<long long>{8}));
    MessageTarget* got = target->getDelegate();
    EXPECT_EQ(got, delegate);
    got->release();

    hx::log::Capture log;
    EXPECT_EQ(target->release(), 0);
    EXPECT_NE(log.text().find("Assertion failed mpDelegate == NULL in "), std::string::npos);
    EXPECT_EQ(delegate->refCount(), 1) << "the delegate's reference went with the target";
    delegate->release();
}

// ---- UTF-8 check of the text source -----------------------------------------

TEST(KernelText, ValidTextDecodesWithoutAssertion) {
    const unsigned char text[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0};
    hx::log::Capture log;
    ConvSource source(text, ConvSource::kUntilNul, kEncodingUTF8);
    std::vector<unsigned> got;
    for (unsigned c = source.nextChar(); c != 0; c = source.nextChar())
        got.push_back(c);
    EXPECT_EQ(got, (std::vector<unsigned>{'a', 0xE9, 0x20AC, 0x1F600}));
    EXPECT_EQ(source.status(), unsigned(kConvSourceNul));
    EXPECT_EQ(log.text().find("Assertion failed"), std::string::npos);
}

TEST(KernelText, MalformedUtf8LogsTheAssertionAndStopsOnTheBadByte) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"overlong", {'x', 0xC0, 0x80}},
        {"surrogate", {'x', 0xED, 0xA0, 0x80}},
        {"cut short", {'x', 0xE2, 0x82}},
        {"lone continuation", {'x', 0x80}},
        {"above the range", {'x', 0xF5, 0x80, 0x80, 0x80}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hx::log::Capture log;
        ConvSource source(c.bytes.data(), c.bytes.size(), kEncodingUTF8);
        EXPECT_EQ(source.nextChar(), unsigned('x'));
        EXPECT_EQ(log.text().find("Assertion failed"), std::string::npos);
        EXPECT_EQ(source.nextChar(), 0u);
        EXPECT_EQ(source.status(), unsigned(kConvSourceEnd));
        EXPECT_EQ(source.cursor(), c.bytes.data() + 1) << "stays on the bad sequence";
        EXPECT_EQ(source.remaining(), c.bytes.size() - 1);
        const std::string text = log.text();
        EXPECT_EQ(text.rfind("Assertion failed ok in ", 0), 0u) << text;
        EXPECT_NE(text.find("KernelText.cpp"), std::string::npos);
    }
}

TEST(KernelText, AnUnpairedUtf16SurrogateIsInvalidWithoutTheUtf8Assertion) {
    const unsigned short text[] = {'a', 0xD800, 'b'};
    hx::log::Capture log;
    ConvSource source(text, 3, kEncodingUTF16);
    EXPECT_EQ(source.nextChar(), unsigned('a'));
    EXPECT_EQ(source.nextChar(), 0u);
    EXPECT_EQ(source.status(), unsigned(kConvInvalidSource));
    EXPECT_EQ(source.remaining(), 2u);
    EXPECT_EQ(log.text().find("Assertion failed"), std::string::npos);
}

} // namespace
