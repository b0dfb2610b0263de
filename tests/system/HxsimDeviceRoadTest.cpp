// hxsim's device road (--road device), the user-space device layer without
// the HAL plug-in, run as a user runs it: exit code and report fields; and
// the kernel road beside it.
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace hx::test::hxsim;

TEST(HxsimDeviceRoad, TheDeviceRoadPlaysAndRecordsThroughTheDeviceLayer) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--road device --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_NE(f["layer device"].find(" (Bit Accurate)\", UID \""), std::string::npos) << run.out;
    EXPECT_EQ(f["layer client"], "type 18, frame size 256") << run.out;
    EXPECT_EQ(f["layer latency"], "in 206, out 507 frames, write-ahead 944") << run.out;
    EXPECT_GT(leadingNumber(f["io cycles"]), 100u) << f["io cycles"];
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
    EXPECT_EQ(f["resolution"], "24 bit in, 24 bit out");
    EXPECT_EQ(f["lost frames"],
              "0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture lost 0)");
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(leadingNumber(f["match"].substr(5)), 24000u) << f["match"];
    EXPECT_EQ(f["result"], "pass");
    const std::string wav = root.path() + "/Users/Shared/hxsim/loopback.wav";
    EXPECT_TRUE(std::filesystem::exists(wav));
}

TEST(HxsimDeviceRoad, FrameSizesAndRatesAndTheKernelRoadBeside) {
    struct Case {
        const char* args;
        const char* frameSize;
    };
    const Case cases[] = {{"--rate 96000 --frame-size 64", "64"},
                          {"--rate 96000 --frame-size 4096", "4096"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsimAsGiven(
            root.path(), std::string("--road device --virtual-clock --seconds 0.5 ") + c.args));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["layer client"], std::string("type 18, frame size ") + c.frameSize);
        EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
        EXPECT_EQ(f["result"], "pass");
    }
    hx::test::TempRoot root;
    const CommandRun kernel =
        runCommand(hxsimAsGiven(root.path(), "--virtual-clock --seconds 0.5 --road kernel"));
    ASSERT_EQ(kernel.status, 0) << kernel.out;
    auto f = fields(kernel.out);
    EXPECT_EQ(f.count("layer device"), 0u);
    EXPECT_EQ(f["client"].rfind("type 0, slot 0", 0), 0u) << f["client"];
    EXPECT_EQ(f["result"], "pass");
    const CommandRun bad =
        runCommand(hxsimAsGiven(root.path(), "--road device --frame-size 32") + " 2>&1");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("--frame-size must be a whole number from 64 to 8192, not 32"),
              std::string::npos);
}

} // namespace
