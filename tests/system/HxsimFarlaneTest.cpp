// Runs hxsim with a first-generation Sorvik Farlane on the bus, on the
// virtual clock: the device streams at 48 kHz with its packet headers and
// the played signal comes back whole.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/testing/TempRoot.h"
#include "tests/system/HxsimRun.h"

using namespace hx::test::hxsim;

TEST(HxsimFarlane, TheFirstGenerationDeviceStreamsAndTheLoopbackMatches) {
    for (const char* speed : {"full", "high"}) {
        hx::test::TempRoot root;
        const CommandRun run = runCommand(
            hxsim(root.path(),
                  std::string("--device farlane1 --virtual-clock --seconds 0.5 --speed ") + speed));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_NE(f["device"].find("vendor 0x1935"), std::string::npos) << run.out;
        EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
        EXPECT_EQ(f["channels"], "2 in, 2 out");
        EXPECT_EQ(f["stream breaks"], "0");
        EXPECT_EQ(f["frames out"], "24000 (0.500 s at 48000 Hz)");
        EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
        EXPECT_EQ(f["result"], "pass");
    }
}

TEST(HxsimFarlane, AnUnknownDeviceIsAnOptionError) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsim(root.path(), "--device farlane9 --virtual-clock") + " 2>&1");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("--device must be hx5100, farlane1, bulk, bulk-int, feedback, "
                           "interrupt or farlane2, not farlane9"),
              std::string::npos)
        << run.out;
}
