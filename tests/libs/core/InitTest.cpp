// Start-up and shutdown of the core library: a repeated start-up, a restart
// after shutdown, the order of the exit callbacks and the critical section.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "libs/core/QnCallbacks.h"
#include "libs/core/QnClock.h"
#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnInit.h"
#include "libs/core/QnThread.h"
#include "platform/base/testing/StdoutCapture.h"

namespace {

using Core::QnThread;

// Every case starts and ends with the library down.
class Init : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Core::initTag(), Core::kInitTagInitialised); }
    void TearDown() override {
        if (Core::initTag() == Core::kInitTagInitialised) {
            hx::test::StdoutCapture quiet;
            Core::term();
        }
    }
};

TEST_F(Init, ASecondInitReportsItselfAndChangesNothing) {
    Core::init("first");
    QnThread* init = Core::gpInitThread;
    QnThread* def = Core::gpThreadDefault;
    const semaphore_t mutexSemaphore = Core::_CriticalSectionMutex.semaphore.semaphore;
    const pthread_t mainId = Core::gMainThreadId;
    ASSERT_NE(init, nullptr);
    ASSERT_NE(def, nullptr);
    ASSERT_NE(mutexSemaphore, 0u);

    hx::test::StdoutCapture out;
    Core::init("second");
    EXPECT_EQ(out.finish(), "QnCore::init already initialised\n");
    EXPECT_EQ(Core::gpInitThread, init);
    EXPECT_EQ(Core::gpThreadDefault, def);
    EXPECT_EQ(Core::_CriticalSectionMutex.semaphore.semaphore, mutexSemaphore);
    EXPECT_TRUE(pthread_equal(Core::gMainThreadId, mainId));
    EXPECT_EQ(QnThread::getCurrentThread(), init);
    EXPECT_EQ(Core::initTag(), Core::kInitTagInitialised);
}

TEST_F(Init, StartUpBringsUpEveryLayer) {
    Core::init("layers");
    EXPECT_EQ(Core::initTag(), Core::kInitTagInitialised);
    ASSERT_EQ(Core::Allocator::DefaultAllocator, &Core::_DefaultAllocator);
    void* p = Core::Allocator::DefaultAllocator->Alloc(32);
    EXPECT_NE(p, nullptr);
    Core::Allocator::DefaultAllocator->Free(p);
    EXPECT_GT(Core::_clock_hires_numer, 0.0);
    EXPECT_GT(Core::_clock_hires_denom, 0.0);
    EXPECT_GT(Core::uptimeNanos(), 0u);
    EXPECT_TRUE(QnThread::isCurrentInitThread());
    EXPECT_EQ(QnThread::getCurrentThread(), QnThread::getInitThread());
    EXPECT_EQ(Core::gpThreadDefault->getId(), QnThread::kDefaultThreadId);
}

TEST_F(Init, TermThenInitBuildsNewThreadObjectsAndANewCriticalSection) {
    Core::init("before");
    QnThread* oldInit = Core::gpInitThread;
    QnThread* oldDefault = Core::gpThreadDefault;
    // Kept alive so a new object cannot land at the same address.
    oldInit->retain();
    oldDefault->retain();

    hx::test::StdoutCapture out;
    Core::term();
    const std::string text = out.finish();
    EXPECT_EQ(text.rfind("Core::term();\nvoid Core::term()\nvoid Core::threadsTerm(void *) ", 0),
              0u)
        << text;
    EXPECT_EQ(Core::initTag(), Core::kInitTagTerminated);
    EXPECT_EQ(Core::gpInitThread, nullptr);
    EXPECT_EQ(Core::gpThreadDefault, nullptr);
    EXPECT_EQ(Core::_CriticalSectionMutex.semaphore.semaphore, 0u);

    Core::init("after");
    EXPECT_EQ(Core::initTag(), Core::kInitTagInitialised);
    ASSERT_NE(Core::gpInitThread, nullptr);
    EXPECT_NE(Core::gpInitThread, oldInit);
    EXPECT_NE(Core::gpThreadDefault, oldDefault);
    EXPECT_TRUE(Core::gpInitThread->isCurrentThread());
    EXPECT_EQ(QnThread::getCurrentThread(), Core::gpInitThread);
    EXPECT_NE(Core::_CriticalSectionMutex.semaphore.semaphore, 0u);
    EXPECT_EQ(Core::enterCriticalSection(), 0);
    EXPECT_EQ(Core::leaveCriticalSection(), 0);

    oldInit->release();
    oldDefault->release();
}

std::vector<int> gExitOrder;
bool gThreadsUpDuringCallback = false;
void recordExit(void* arg) {
    gExitOrder.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    gThreadsUpDuringCallback = Core::gpInitThread != nullptr;
}

TEST_F(Init, ExitCallbacksRunNewestFirstBeforeTheThreadLayerGoes) {
    Core::init("exit");
    gExitOrder.clear();
    ASSERT_TRUE(Core::atExit(recordExit, reinterpret_cast<void*>(1)));
    ASSERT_TRUE(Core::atExit(recordExit, reinterpret_cast<void*>(2)));
    hx::test::StdoutCapture quiet;
    Core::term();
    EXPECT_EQ(gExitOrder, (std::vector<int>{2, 1}));
    EXPECT_TRUE(gThreadsUpDuringCallback);
    EXPECT_EQ(Core::gpInitThread, nullptr);
}

int gPostInitRuns = 0;
void countPostInit(Core::CallbackNode*) {
    ++gPostInitRuns;
}

TEST_F(Init, LevelZeroPostInitCallbacksRunDuringStartUp) {
    gPostInitRuns = 0;
    Core::CallbackNode level0(countPostInit, nullptr, 0);
    Core::CallbackNode level1(countPostInit, nullptr, 1);
    EXPECT_EQ(gPostInitRuns, 0);
    Core::init("post-init");
    EXPECT_EQ(gPostInitRuns, 1);
    Core::postInitProcess(1);
    EXPECT_EQ(gPostInitRuns, 2);
}

TEST_F(Init, TheCriticalSectionIsRecursive) {
    Core::init("critical");
    EXPECT_EQ(Core::enterCriticalSection(), 0);
    EXPECT_EQ(Core::enterCriticalSection(), 1);
    bool takenWhileHeld = true;
    std::thread([&] {
        takenWhileHeld = Core::mutexTryAcquire(&Core::_CriticalSectionMutex);
    }).join();
    EXPECT_FALSE(takenWhileHeld);
    EXPECT_EQ(Core::leaveCriticalSection(), 1);
    std::thread([&] {
        takenWhileHeld = Core::mutexTryAcquire(&Core::_CriticalSectionMutex);
    }).join();
    EXPECT_FALSE(takenWhileHeld); // entered twice: still held after one leave
    EXPECT_EQ(Core::leaveCriticalSection(), 0);

    qn_status entered = -1, left = -1;
    std::thread([&] {
        entered = Core::enterCriticalSection();
        left = Core::leaveCriticalSection();
    }).join();
    EXPECT_EQ(entered, 0);
    EXPECT_EQ(left, 0);
}

} // namespace
