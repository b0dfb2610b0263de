// hxsim's default road, the audio server host on the server plug-in, run as
// a user runs it: exit code, what the host read, the cycles and frames, the
// bit-exact loopback of the float client, and the recording.
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"
#include "sim/WavReader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace hx::test::hxsim;

struct Case {
    const char* args;
    unsigned rate;
    unsigned framesPerCycle;
};

// The recording: 24-bit stereo at the rate, as many frames as the report's
// line says.
void expectRecording(const std::string& root, const std::string& line, unsigned rate) {
    hx::sim::WavSound wav;
    std::string error;
    ASSERT_TRUE(hx::sim::readWav(root + "/Users/Shared/hxsim/loopback.wav", wav, error)) << error;
    EXPECT_EQ(wav.rate, rate);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.bits, 24u);
    EXPECT_NE(line.find("(" + std::to_string(wav.frames()) + " frames)"), std::string::npos)
        << line;
}

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

        expectRecording(root.path(), f["recording"], c.rate);
    }
}

// Across processes: the machine in a kernel host child, the server host and
// the plug-in here on the host's clock. Data, not timing: a cycle of this
// process that wakes late behind the paced machine is skipped by the host
// (its drops), and the float client, following its cycles' time stamps,
// skips those frames too; they come back as silence or as the frame a ring
// lap earlier, and every other frame is the played one at the one latency.
TEST(HxsimServerRoad, AcrossProcessesTheLoopbackIsBitExact) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--virtual-clock --transport process --seconds 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["transport"], "process");
    EXPECT_EQ(f["server plug-in"], "load status 0") << run.out;
    EXPECT_EQ(f["server rate"], "48000 Hz, 'nsrt' set 0") << run.out;
    EXPECT_EQ(f["server ring"], "65536 frames") << run.out;
    EXPECT_NE(f["server timing"].find(", 0 canary hits"), std::string::npos) << run.out;
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(", 0 differ"), std::string::npos) << f["match"];
    EXPECT_GT(matchedFrames(f["match"]), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass") << run.out;

    expectRecording(root.path(), f["recording"], 48000);
}

// Mixing: no routing, the mixer's fractions written through 'QnMF' put
// playback 1 and 2 on the first output pair; the loopback matches as the
// mixer rounds it.
TEST(HxsimServerRoad, MixingSetsTheMixerFractions) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--virtual-clock --seconds 1 --routing mix"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["server routing"], "'QnMF' set 0") << run.out;
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(leadingNumber(f["match"].substr(5)), 24000u) << f["match"];
    EXPECT_EQ(f["result"], "pass") << run.out;
}

// The machine sleeps a second in and wakes two seconds later: the plug-in
// hears will-sleep through its system power registration and sends request
// 43 before the kernel driver sleeps; after the wake it hears will-power-on
// and has-powered-on, and once its wake-up change was performed the loopback
// is bit exact again.
TEST(HxsimServerRoad, ASleepAndWakeReachThePlugInAndTheAudioComesBack) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsimAsGiven(root.path(), "--virtual-clock --seconds 12 --sleep-at 1 --sleep-for 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["wake stream"], "came back") << run.out;
    EXPECT_EQ(f["wake match"].rfind("yes (", 0), 0u) << f["wake match"];
    EXPECT_GT(leadingNumber(f["wake match"].substr(5)), 48000u) << f["wake match"];
    EXPECT_GE(leadingNumber(f["server sleep"]), 2u) << f["server sleep"];
    EXPECT_NE(f["server sleep"].find(", 0 differing)"), std::string::npos) << f["server sleep"];
    EXPECT_EQ(f["result"], "pass") << run.out;

    // The driver log: the plug-in's power messages and requests in order.
    std::ifstream in(f["driver log"]);
    ASSERT_TRUE(in.good()) << f["driver log"];
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string heard = "IOServiceInterestHandler theObject=1, theService=";
    const size_t willSleep = log.find(heard);
    const size_t request43 = log.find("USB: Power OFF(sleep)\n");
    const size_t driverSleeps = log.find("powerStateWillChangeTo pmFlags:4 ");
    const size_t driverWakes = log.find("powerStateWillChangeTo pmFlags:32898 ");
    ASSERT_NE(willSleep, std::string::npos) << log;
    ASSERT_NE(request43, std::string::npos);
    ASSERT_NE(driverSleeps, std::string::npos);
    ASSERT_NE(driverWakes, std::string::npos);
    EXPECT_LT(willSleep, request43);
    EXPECT_LT(request43, driverSleeps);
    // Will-sleep, will-power-on and has-powered-on: three messages, one sleep.
    size_t messages = 0;
    for (size_t at = log.find(heard); at != std::string::npos; at = log.find(heard, at + 1))
        ++messages;
    EXPECT_EQ(messages, 3u);
    EXPECT_GT(log.find(heard, driverWakes), driverWakes);
    EXPECT_NE(log.find("PerformConfigChange received kQnConfigWakeUp", driverWakes),
              std::string::npos);

    hx::sim::WavSound wav;
    std::string error;
    ASSERT_TRUE(hx::sim::readWav(root.path() + "/Users/Shared/hxsim/loopback.wav", wav, error))
        << error;
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_GT(wav.frames(), 48000u * 10);
}

} // namespace
