// hxsim across processes (--transport process): it starts a kernel host as
// its child and its road's user side reaches the kernel over the host's
// sockets. Data, not timing: every frame that came back is the played one at
// the one latency, or silence (a cycle of this process that ran late behind
// the paced machine), and some of it matched. How much comes back silent
// depends on how busy the machine is, so no amount is asked for.
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"

#include <gtest/gtest.h>

namespace {

using namespace hx::test::hxsim;

TEST(HxsimProcess, TheKernelRoadAgainstAKernelHostChild) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(root.path(), "--transport process --seconds 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["transport"], "process");
    EXPECT_EQ(f["device"], "HX-5100, Korvex (vendor 0x2F4B, product 0x5100)") << run.out;
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
    EXPECT_EQ(f["converters"], "encode pcmTo24LSB, decode pcmFrom24LSB") << run.out;
    EXPECT_EQ(f["client"].rfind("type 0, slot 0", 0), 0u) << f["client"];
    EXPECT_EQ(f["stream breaks"], "0");
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(matchedFrames(f["match"]), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

TEST(HxsimProcess, TheDeviceRoadAgainstAKernelHostChild) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--road device --transport process --seconds 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["transport"], "process");
    EXPECT_NE(f["layer device"].find(" (Bit Accurate)\", UID \""), std::string::npos) << run.out;
    EXPECT_EQ(f["layer client"], "type 18, frame size 256") << run.out;
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(matchedFrames(f["match"]), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

TEST(HxsimProcess, TheReportNamesTheTransportAndRefusesWhatOnlyRunsInProcess) {
    hx::test::TempRoot root;
    const CommandRun here = runCommand(hxsim(root.path(), "--virtual-clock --seconds 0.3"));
    ASSERT_EQ(here.status, 0) << here.out;
    EXPECT_EQ(fields(here.out)["transport"], "in-process");
    const CommandRun sleep =
        runCommand(hxsim(root.path(), "--transport process --sleep-at 0.1") + " 2>&1");
    EXPECT_EQ(sleep.status, 2) << sleep.out;
    EXPECT_NE(sleep.out.find("--sleep-at needs --transport in-process"), std::string::npos);
    const CommandRun bad = runCommand(hxsim(root.path(), "--transport pipes") + " 2>&1");
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("--transport must be in-process or process, not pipes"),
              std::string::npos);
}

} // namespace
