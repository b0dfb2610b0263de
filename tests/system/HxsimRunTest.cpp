// Runs hxsim's default scenario for about a second on the virtual clock, as
// a user would from the command line, and checks its exit code, its report
// and the WAV file it wrote (read back by sox's soxi).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "platform/base/testing/TempRoot.h"

#ifndef HXSIM_PATH
#error "HXSIM_PATH must name the hxsim binary"
#endif

namespace {

struct CommandRun {
    int status = -1;
    std::string out;
};

// Runs a shell command, collecting standard output; standard error passes
// through to the test log.
CommandRun runCommand(const std::string& command)
{
    CommandRun r;
    std::FILE* p = popen(command.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// "key: value" lines.
std::map<std::string, std::string> fields(const std::string& text)
{
    std::map<std::string, std::string> m;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const size_t v = line.find_first_not_of(' ', colon + 1);
            m[line.substr(0, colon)] = v == std::string::npos ? "" : line.substr(v);
        }
        at = end + 1;
    }
    return m;
}

unsigned long long leadingNumber(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 10); }

std::string hxsim(const std::string& root, const std::string& args)
{
    return "HX_ROOT='" + root + "' HX_LOG=0 '" HXSIM_PATH "' " + args;
}

}  // namespace

TEST(Hxsim, DefaultScenarioOnTheVirtualClockPassesAndReports)
{
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(root.path(), "--virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);

    EXPECT_NE(f["device"].find("vendor 0x"), std::string::npos) << run.out;
    EXPECT_EQ(f["device"].find("(unknown)"), std::string::npos) << run.out;
    EXPECT_EQ(f["driver"].find("(unknown)"), std::string::npos) << run.out;
    EXPECT_EQ(f["firmware"].find("(unknown)"), std::string::npos) << run.out;
    EXPECT_EQ(f["speed"], "high, device clock +0 ppm");
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
    EXPECT_EQ(f["channels"], "2 in, 2 out");
    EXPECT_EQ(f["resolution"], "24 bit in, 24 bit out");
    EXPECT_EQ(f["routing"], "pass (output pair 0 = playback 1/2)");
    EXPECT_EQ(f["client"].rfind("type 0, slot 0, identity 0x", 0), 0u) << run.out;
    EXPECT_EQ(f["client"].find("identity 0x0000000000000000"), std::string::npos) << run.out;
    EXPECT_EQ(f["run"], "1.000 s on the virtual clock");
    EXPECT_EQ(f["stream breaks"], "0");
    EXPECT_EQ(f["pattern errors"], "0");
    // About a second each way at 48 kHz, less the start-up.
    const auto out = leadingNumber(f["frames out"]);
    const auto in = leadingNumber(f["frames in"]);
    EXPECT_GT(out, 40000u);
    EXPECT_LE(out, 50000u);
    EXPECT_GT(in, 40000u);
    EXPECT_LE(in, 48000u);
    EXPECT_EQ(f["fifo fill"].rfind("min ", 0), 0u) << f["fifo fill"];
    EXPECT_GT(leadingNumber(f["latency"]), 0u) << f["latency"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass");

    // The recording lies under the root and soxi reads it back.
    const std::string wav = root.path() + "/Users/Shared/hxsim/loopback.wav";
    EXPECT_EQ(f["recording"], wav + " (" + std::to_string(in) + " frames)");
    ASSERT_TRUE(std::filesystem::exists(wav));
    EXPECT_EQ(std::filesystem::file_size(wav), 44 + in * 2 * 3);
    const CommandRun soxi = runCommand("soxi -r '" + wav + "' && soxi -c '" + wav + "' && soxi -b '" + wav +
                                "' && soxi -s '" + wav + "'");
    ASSERT_EQ(soxi.status, 0) << "soxi (from Debian's sox) must be installed to read the recording back";
    EXPECT_EQ(soxi.out, "48000\n2\n24\n" + std::to_string(in) + "\n");
}

TEST(Hxsim, RatesOffsetsAndRoutingMatchAndTheRecordingFollowsThem)
{
    struct Case {
        const char* rate;
        const char* ppm;
        const char* routing;
    };
    const Case cases[] = {{"44100", "-200", "pass"}, {"96000", "200", "mix"}, {"192000", "-200", "pass"},
                          {"192000", "200", "mix"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rate) + " Hz " + c.ppm + " ppm " + c.routing);
        hx::test::TempRoot root;
        const CommandRun run =
            runCommand(hxsim(root.path(), std::string("--virtual-clock --seconds 0.5 --output /tmp/r.wav --rate ") +
                                              c.rate + " --ppm " + c.ppm + " --routing " + c.routing));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["rate"], std::string(c.rate) + " Hz (asked " + c.rate + " Hz)");
        EXPECT_EQ(f["speed"], std::string("high, device clock ") + (c.ppm[0] == '-' ? "" : "+") + c.ppm + " ppm");
        EXPECT_EQ(f["routing"].rfind(c.routing, 0), 0u) << f["routing"];
        EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
        const std::string wav = root.path() + "/tmp/r.wav";
        const CommandRun soxi = runCommand("soxi -r '" + wav + "' && soxi -b '" + wav + "'");
        ASSERT_EQ(soxi.status, 0);
        EXPECT_EQ(soxi.out, std::string(c.rate) + "\n24\n");
    }
}

// Without a clock option hxsim runs in real time on the paced clock: the same
// steps as the virtual clock, so host stalls cannot break the match.
TEST(Hxsim, TheDefaultClockIsPacedAndTheLoopbackStillMatches)
{
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(root.path(), "--seconds 0.5 --rate 192000 --ppm -200"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["run"], "0.500 s on the paced clock");
    EXPECT_EQ(f["stream breaks"], "0");
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

TEST(Hxsim, ARateTheSpeedCannotCarryFailsWithItsReason)
{
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(root.path(), "--virtual-clock --seconds 0.2 --speed full --rate 96000 --quiet") +
                               " 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("hxsim: rate 96000 not offered at full speed; device configured 44100\n"),
              std::string::npos)
        << run.out;
}

TEST(Hxsim, BadOptionsFailBeforeBootingAndHelpListsThem)
{
    hx::test::TempRoot root;
    CommandRun run = runCommand(hxsim(root.path(), "--rate 12345 2>&1"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind("hxsim: --rate 12345", 0), 0u) << run.out;
    run = runCommand(hxsim(root.path(), "--help"));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--virtual-clock"), std::string::npos);
}
