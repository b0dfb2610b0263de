// hxsim's default road, the audio server host on the server plug-in, run as
// a user runs it: exit code, what the host read, the cycles and frames, the
// bit-exact loopback of the float client, and the recording.
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"
#include "sim/WavReader.h"

#include <gtest/gtest.h>

namespace {

using namespace hx::test::hxsim;

struct Case {
    const char* args;
    unsigned rate;
    unsigned framesPerCycle;
};

TEST(HxsimServerRoad, TheDefaultRoadPlaysAFloatClientBitExact) {
    const Case cases[] = {
        {"--virtual-clock --seconds 1", 48000, 512},
        {"--road server --virtual-clock --seconds 1 --rate 192000", 192000, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsimAsGiven(root.path(), c.args));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        const std::string rate = std::to_string(c.rate);
        EXPECT_EQ(f["server plug-in"], "load status 0") << run.out;
        EXPECT_EQ(f["server device"].rfind("ID ", 0), 0u) << run.out;
        EXPECT_GT(leadingNumber(f["server device"].substr(3)), 0u) << run.out;
        EXPECT_EQ(f["server name"].rfind("\"HX-5100", 0), 0u) << run.out;
        EXPECT_GT(f["server uid"].size(), 2u) << run.out;
        EXPECT_EQ(f["server rate"], rate + " Hz, 'nsrt' set 0") << run.out;
        EXPECT_EQ(f["server routing"], "'QnRM' set 0") << run.out;
        for (const char* key : {"server pft in", "server pft out"})
            EXPECT_EQ(f[key].rfind(rate + " Hz, flags 0x4, ", 0), 0u) << key << ": " << f[key];
        for (const char* key : {"server ltnc", "server saft", "server ring"})
            EXPECT_EQ(f[key].find("status"), std::string::npos) << key << ": " << f[key];
        EXPECT_EQ(f["server ring"], "65536 frames") << run.out;
        // One cycle per 512 frames of the second, each way.
        const std::string io = f["server io"];
        const unsigned long long cycles = leadingNumber(io);
        EXPECT_GE(cycles, c.rate / c.framesPerCycle * 9 / 10) << io;
        const std::string frames = std::to_string(cycles * c.framesPerCycle);
        EXPECT_NE(io.find(", " + frames + " frames out, " + frames + " frames in"),
                  std::string::npos)
            << io;
        EXPECT_EQ(f["server timing"], "0 stamp errors, 0 drops, 0 canary hits") << run.out;
        EXPECT_EQ(f["lost frames"],
                  "0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture lost 0)");
        EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
        EXPECT_NE(f["match"].find(", 0 differ"), std::string::npos) << f["match"];
        EXPECT_GT(leadingNumber(f["match"].substr(5)), c.rate / 2) << f["match"];
        EXPECT_EQ(f["result"], "pass");

        hx::sim::WavSound wav;
        std::string error;
        ASSERT_TRUE(hx::sim::readWav(root.path() + "/Users/Shared/hxsim/loopback.wav", wav, error))
            << error;
        EXPECT_EQ(wav.rate, c.rate);
        EXPECT_EQ(wav.channels, 2u);
        EXPECT_EQ(wav.bits, 24u);
        EXPECT_NE(f["recording"].find("(" + std::to_string(wav.frames()) + " frames)"),
                  std::string::npos)
            << f["recording"];
    }
}

// Until the power notifications exist the machine's sleep cannot reach the
// plug-in: the run is refused, not passed without a sleep.
TEST(HxsimServerRoad, SleepIsRefusedUntilThePowerNotificationsExist) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsimAsGiven(root.path(), "--virtual-clock --seconds 4 --sleep-at 1 --sleep-for 2") +
        " 2>&1");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("--sleep-at: the server road cannot put the machine to sleep yet"),
              std::string::npos)
        << run.out;
}

} // namespace
