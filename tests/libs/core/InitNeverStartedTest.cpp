// Shutdown of a library that was never started: a program of its own, so the
// library really has never been initialised when the case runs.
#include <gtest/gtest.h>

#include "libs/core/QnCallbacks.h"
#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnInit.h"
#include "platform/base/testing/StdoutCapture.h"

namespace {

int gExitRuns = 0;
void countExit(void*) {
    ++gExitRuns;
}

constexpr const char* kRefused =
    "Core::term();\nvoid Core::term() - init not called or term already called\n";

TEST(InitNeverStarted, TermBeforeInitPrintsBothLinesAndRunsNoCallback) {
    ASSERT_EQ(Core::initTag(), 0u);
    ASSERT_TRUE(Core::atExit(countExit, nullptr));

    hx::test::StdoutCapture out;
    Core::term();
    EXPECT_EQ(out.finish(), kRefused);
    EXPECT_EQ(gExitRuns, 0);
    EXPECT_EQ(Core::initTag(), 0u);

    // The callback stays registered for the next real shutdown.
    Core::init("late");
    hx::test::StdoutCapture quiet;
    Core::term();
    quiet.finish();
    EXPECT_EQ(gExitRuns, 1);

    // A second shutdown is refused the same way.
    hx::test::StdoutCapture again;
    Core::term();
    EXPECT_EQ(again.finish(), kRefused);
    EXPECT_EQ(gExitRuns, 1);
}

} // namespace
