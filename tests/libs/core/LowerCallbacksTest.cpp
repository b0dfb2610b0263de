#include "libs/core/QnCallbacks.h"
#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnMemory.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string gTrace;

// Each test starts not initialised with empty lists, and leaves them so.
class CoreCallbacks : public ::testing::Test {
protected:
    void SetUp() override {
        Core::setInitTag(0);
        gTrace.clear();
    }
    void TearDown() override {
        Core::runExitCallbacks();
        Core::postInitProcess(0);
        Core::postInitProcess(1);
        Core::postInitProcess(2);
        Core::setInitTag(0);
        EXPECT_EQ(Core::_AtExitNode_root, nullptr);
        EXPECT_EQ(Core::_PostInitRoot, nullptr);
        EXPECT_EQ(Core::_PostInitLast, nullptr);
    }
};

void traceArg(void* arg) {
    gTrace += static_cast<const char*>(arg);
}
void traceNode(Core::CallbackNode* n) {
    gTrace += static_cast<const char*>(n->mpData);
}

TEST_F(CoreCallbacks, ExitCallbacksRunNewestFirst) {
    EXPECT_TRUE(Core::atExit(traceArg, const_cast<char*>("a")));
    EXPECT_TRUE(Core::atExit(traceArg, const_cast<char*>("b")));
    EXPECT_TRUE(Core::atExit(traceArg, const_cast<char*>("c")));
    EXPECT_FALSE(Core::atExit(nullptr, nullptr));
    Core::runExitCallbacks();
    EXPECT_EQ(gTrace, "cba");
    Core::runExitCallbacks(); // the list is empty now
    EXPECT_EQ(gTrace, "cba");
}

TEST_F(CoreCallbacks, ANodeWithoutCallbackIsFreedWithoutACall) {
    EXPECT_TRUE(Core::atExit(traceArg, const_cast<char*>("x")));
    auto* bare = static_cast<Core::AtExitNode*>(memoryAlloc(sizeof(Core::AtExitNode)));
    bare->mpfnCallback = nullptr;
    bare->mpArg = nullptr;
    bare->mpNext = Core::_AtExitNode_root;
    Core::_AtExitNode_root = bare;
    EXPECT_TRUE(Core::atExit(traceArg, const_cast<char*>("y")));
    Core::runExitCallbacks(); // asan: freed exactly once, no leak
    EXPECT_EQ(gTrace, "yx");
}

TEST_F(CoreCallbacks, ExitRegistrationFromManyThreads) {
    static int calls = 0;
    calls = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i)
                Core::atExit([](void*) { ++calls; }, nullptr);
        });
    for (auto& t : threads)
        t.join();
    Core::runExitCallbacks();
    EXPECT_EQ(calls, 1000);
}

TEST_F(CoreCallbacks, PostInitBeforeInitWaitsForItsLevel) {
    Core::CallbackNode zero(traceNode, const_cast<char*>("0"), 0);
    Core::CallbackNode one(traceNode, const_cast<char*>("1"), 1);
    Core::CallbackNode zeroB(traceNode, const_cast<char*>("z"), 0);
    EXPECT_EQ(gTrace, "");
    // What start-up does: set the tag, then run level 0.
    Core::setInitTag(Core::kInitTagInitialised);
    Core::postInitProcess(0);
    EXPECT_EQ(gTrace, "0z"); // registration order
    EXPECT_EQ(Core::_PostInitRoot, &one);
    Core::postInitProcess(1);
    EXPECT_EQ(gTrace, "0z1");
    EXPECT_EQ(Core::_PostInitRoot, nullptr);
}

TEST_F(CoreCallbacks, PostInitWhileInitialisedRunsAtOnce) {
    Core::setInitTag(Core::kInitTagInitialised);
    Core::CallbackNode now(traceNode, const_cast<char*>("n"), 1);
    EXPECT_EQ(gTrace, "n");
    EXPECT_EQ(Core::_PostInitRoot, nullptr);
    // After shutdown nodes wait again.
    Core::setInitTag(Core::kInitTagTerminated);
    Core::CallbackNode later(traceNode, const_cast<char*>("l"), 0);
    EXPECT_EQ(gTrace, "n");
    EXPECT_EQ(Core::_PostInitRoot, &later);
    Core::postInitProcess(0);
    EXPECT_EQ(gTrace, "nl");
}

TEST_F(CoreCallbacks, NullNodesAndNodesWithoutCallbackAreIgnored) {
    Core::atPostInit(nullptr);
    Core::CallbackNode bare(nullptr, nullptr, 0);
    EXPECT_EQ(Core::_PostInitRoot, nullptr);
}

TEST_F(CoreCallbacks, ADestroyedPendingNodeUnlinksItself) {
    Core::CallbackNode a(traceNode, const_cast<char*>("a"), 0);
    { Core::CallbackNode gone(traceNode, const_cast<char*>("g"), 0); }
    Core::CallbackNode c(traceNode, const_cast<char*>("c"), 0);
    { Core::CallbackNode last(traceNode, const_cast<char*>("t"), 0); }
    EXPECT_EQ(Core::_PostInitLast, &c);
    Core::postInitProcess(0);
    EXPECT_EQ(gTrace, "ac");
}

// A callback that destroys a node still waiting in the same pass.
Core::CallbackNode* gVictim = nullptr;
void killVictim(Core::CallbackNode*) {
    gTrace += "k";
    delete gVictim;
    gVictim = nullptr;
}

TEST_F(CoreCallbacks, ANodeDestroyedDuringProcessingIsSkipped) {
    Core::CallbackNode killer(killVictim, nullptr, 0);
    gVictim = new Core::CallbackNode(traceNode, const_cast<char*>("v"), 0);
    Core::CallbackNode after(traceNode, const_cast<char*>("a"), 0);
    Core::postInitProcess(0);
    EXPECT_EQ(gTrace, "ka");
}

} // namespace
