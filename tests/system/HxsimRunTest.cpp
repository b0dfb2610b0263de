// Runs hxsim's default scenario for about a second on the virtual clock, as
// a user would from the command line, and checks its exit code, its report
// and the WAV file it wrote (read back by sox's soxi).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/base/testing/TempRoot.h"
#include "tests/system/HxsimRun.h"

using namespace hx::test::hxsim;

TEST(Hxsim, DefaultScenarioOnTheVirtualClockPassesAndReports) {
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
    EXPECT_EQ(f["run"].rfind("1.000 s of audio on the virtual clock, after 0.0", 0), 0u)
        << f["run"];
    EXPECT_EQ(f["stream breaks"], "0");
    EXPECT_EQ(f["pattern errors"], "0");
    EXPECT_EQ(f["lost frames"],
              "0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture lost 0)");
    // A second of audio each way at 48 kHz, counted from the client's first
    // frame.
    EXPECT_EQ(f["frames out"], "48000 (1.000 s at 48000 Hz)");
    EXPECT_EQ(leadingNumber(f["frames in"]), 48000u);
    EXPECT_EQ(f["fifo fill"].rfind("min ", 0), 0u) << f["fifo fill"];
    EXPECT_NE(f["fifo fill"].find(" frames over "), std::string::npos) << f["fifo fill"];
    EXPECT_GT(leadingNumber(f["latency"]), 0u) << f["latency"];
    // The played signal came back whole, from its frame 0.
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    const auto compared = leadingNumber(f["match"].substr(5));
    EXPECT_NE(f["match"].find("0 differ: played frames 0 to " + std::to_string(compared - 1) +
                              ", the last " + std::to_string(48000 - compared) +
                              " still on their way at the end"),
              std::string::npos)
        << f["match"];
    EXPECT_EQ(f["result"], "pass");

    // The recording lies under the root, starts where the played signal's
    // frame 0 came back (the ramp's first value) and soxi reads it back.
    const std::string wav = root.path() + "/Users/Shared/hxsim/loopback.wav";
    EXPECT_EQ(f["recording"], wav + " (" + std::to_string(compared) + " frames)");
    ASSERT_TRUE(std::filesystem::exists(wav));
    ASSERT_EQ(std::filesystem::file_size(wav), 44 + compared * 2 * 3);
    const std::string bytes = fileText(wav);
    for (uint32_t frame : {0u, 1u, 879u, 880u, 1000u}) {
        auto at = [&](size_t i) { return uint32_t(uint8_t(bytes[44 + frame * 6 + i])); };
        EXPECT_EQ(at(0) | at(1) << 8 | at(2) << 16, frame) << "left sample of frame " << frame;
        EXPECT_EQ(at(3) | at(4) << 8 | at(5) << 16, frame + 0x800000)
            << "right sample of frame " << frame;
    }
    const CommandRun soxi = runCommand("soxi -r '" + wav + "' && soxi -c '" + wav +
                                       "' && soxi -b '" + wav + "' && soxi -s '" + wav + "'");
    ASSERT_EQ(soxi.status, 0)
        << "soxi (from Debian's sox) must be installed to read the recording back";
    EXPECT_EQ(soxi.out, "48000\n2\n24\n" + std::to_string(compared) + "\n");

    // The driver's log: one time-stamped record a line.
    const std::string log = fileText(root.path() + "/var/log/hxsim.log");
    EXPECT_EQ(f["driver log"], root.path() + "/var/log/hxsim.log");
    EXPECT_EQ(log.rfind("[1.000000v] ", 0), 0u) << log.substr(0, 200);
    EXPECT_EQ(log.find("Req_ConfigureDevicevoid"), std::string::npos);
    EXPECT_NE(log.find("Req_ConfigureDevice\n["), std::string::npos);
}

// A sleep mid-run: the client hears 54 and, after the wake, 13; it rebuilds
// the stream 3 s later (stage 2 reports 14, 3, 3 and 0x10000) and the
// looped-back audio matches before and after.
TEST(Hxsim, SleepAndWakeMidRunTheStreamComesBackAndMatches) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsim(root.path(), "--virtual-clock --sleep-at 1 --sleep-for 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    const std::string codes = f["state changes"];
    const size_t sleep = codes.find("54 13");
    ASSERT_NE(sleep, std::string::npos) << codes;
    EXPECT_NE(codes.find("14 3 3 65536", sleep), std::string::npos) << codes;
    EXPECT_EQ(f["wake stream"], "came back");
    EXPECT_EQ(f["wake match"].rfind("yes (", 0), 0u) << f["wake match"];
    EXPECT_GT(leadingNumber(f["wake match"].substr(5)), 0u) << f["wake match"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    // The run lasts until the stream had time to come back.
    EXPECT_EQ(f["run"].rfind("7.000 s of audio on the virtual clock", 0), 0u) << f["run"];
    EXPECT_EQ(f["result"], "pass");
}

TEST(Hxsim, RatesOffsetsAndRoutingMatchAndTheRecordingFollowsThem) {
    struct Case {
        const char* rate;
        const char* ppm;
        const char* routing;
    };
    const Case cases[] = {{"44100", "-200", "pass"},
                          {"96000", "200", "mix"},
                          {"192000", "-200", "pass"},
                          {"192000", "200", "mix"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rate) + " Hz " + c.ppm + " ppm " + c.routing);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsim(
            root.path(), std::string("--virtual-clock --seconds 0.5 --output /tmp/r.wav --rate ") +
                             c.rate + " --ppm " + c.ppm + " --routing " + c.routing));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["rate"], std::string(c.rate) + " Hz (asked " + c.rate + " Hz)");
        EXPECT_EQ(f["speed"], std::string("high, device clock ") + (c.ppm[0] == '-' ? "" : "+") +
                                  c.ppm + " ppm");
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
TEST(Hxsim, TheDefaultClockIsPacedAndTheLoopbackStillMatches) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(root.path(), "--seconds 0.5 --rate 192000 --ppm -200"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["run"].rfind("0.500 s of audio on the paced clock, after ", 0), 0u) << f["run"];
    EXPECT_EQ(f["stream breaks"], "0");
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

TEST(Hxsim, ARateTheSpeedCannotCarryFailsWithItsReason) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsim(root.path(), "--virtual-clock --seconds 0.2 --speed full --rate 96000") +
                   " 2>&1 >/dev/null");
    // An option the device cannot meet: the option-error code and its one
    // line on stderr, no report of zeros.
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(run.out, "hxsim: rate 96000 not offered at full speed; device configured 44100\n");
    const CommandRun report =
        runCommand(hxsim(root.path(), "--virtual-clock --seconds 0.2 --speed full --rate 96000") +
                   " 2>/dev/null");
    EXPECT_EQ(report.out.find("result:"), std::string::npos) << report.out;
    EXPECT_EQ(report.out.find("frames out:"), std::string::npos) << report.out;
}

TEST(Hxsim, BadOptionsFailBeforeBootingAndHelpListsThem) {
    hx::test::TempRoot root;
    CommandRun run = runCommand(hxsim(root.path(), "--rate 12345 2>&1"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind("hxsim: --rate 12345", 0), 0u) << run.out;
    run = runCommand(hxsim(root.path(), "--help"));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--virtual-clock"), std::string::npos);
}

// Everything hxsim writes lands under the path root, bad paths are refused
// when options are read (nothing is created for them), an unusable root
// fails before streaming starts, and a run that writes no recording leaves
// no older one behind.
TEST(Hxsim, OutputPathsStayUnderTheRootAndBadOnesFailBeforeStreaming) {
    struct Case {
        const char* what;
        const char* root; // relative to the case's folder; "" for the root itself
        const char* args;
        int status;
        const char* error;  // the one line on stderr, "" for none
        const char* landed; // the recording, relative to the root, "" for none
    };
    const Case cases[] = {
        {"relative output", "", "--output rel.wav", 0, "", "rel.wav"},
        {"output climbing out", "", "--output ../../x.wav", 0, "", "x.wav"},
        {"trailing slash", "", "--output out/", 2,
         "hxsim: --output must name a file, not a folder: out/", ""},
        {"too short", "", "--seconds 0.01", 2, "hxsim: --seconds must be a number from 0.1", ""},
        {"relative root", "rel-root", "", 2,
         "hxsim: HX_ROOT must be an absolute path, not rel-root", ""},
        // A root that is a file cannot hold folders: an hour-long run must
        // fail at once, before streaming (the test would time out otherwise).
        {"unusable root", "a-file", "--seconds 3600", 1, "hxsim: cannot create ", ""},
        {"run without a recording", "", "--speed full --rate 96000", 2,
         "hxsim: rate 96000 not offered", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hx::test::TempRoot dir; // holds the working folder and the root
        const std::string work = dir.path() + "/work";
        const std::string root = dir.path() + "/root";
        std::filesystem::create_directories(work);
        std::filesystem::create_directories(root);
        std::ofstream(dir.path() + "/a-file") << "not a folder";
        // An earlier run's recording, which no failed run may leave behind.
        const std::string stale = root + "/Users/Shared/hxsim/loopback.wav";
        std::filesystem::create_directories(root + "/Users/Shared/hxsim");
        std::ofstream(stale) << "an earlier recording";

        const std::string rootArg = std::string(c.root).empty()         ? root
                                    : std::string(c.root) == "rel-root" ? std::string("rel-root")
                                                                        : dir.path() + "/" + c.root;
        const CommandRun run =
            runCommand("cd '" + work + "' && HX_ROOT='" + rootArg +
                       "' HX_LOG=0 '" HXSIM_PATH "' --virtual-clock --seconds 0.2 --quiet " +
                       c.args + " 2>&1 >/dev/null");
        EXPECT_EQ(run.status, c.status) << run.out;
        if (*c.error) {
            EXPECT_EQ(run.out.rfind(c.error, 0), 0u) << run.out;
            EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        } else {
            EXPECT_EQ(run.out, "");
        }
        // Nothing in the working folder, ever.
        EXPECT_TRUE(std::filesystem::is_empty(work))
            << std::filesystem::directory_iterator(work)->path();
        if (*c.landed) {
            EXPECT_TRUE(std::filesystem::is_regular_file(root + "/" + c.landed));
            EXPECT_FALSE(std::filesystem::exists(dir.path() + "/" + c.landed));
        }
        if (c.status == 0) continue;
        // Refused before the run: nothing under the root was touched. A run
        // that failed without a recording leaves no older one behind.
        const bool ran = std::string(c.args).find("--speed") != std::string::npos;
        EXPECT_EQ(std::filesystem::exists(stale), !ran);
        EXPECT_FALSE(std::filesystem::exists(root + "/out"));
        EXPECT_EQ(std::filesystem::exists(root + "/var/log/hxsim.log"), ran);
    }
}

// Lost frames never pass: a frame the device drops or plays twice shows in
// the report and fails the run; a clean run shows none. The FIFO's range
// follows the device clock's offset.
TEST(Hxsim, LostFramesAreReportedAndFailTheRun) {
    struct Case {
        const char* args;
        const char* lost;
    };
    const Case cases[] = {
        {"", "0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture lost 0)"},
        {"--drop-frame 1000",
         "1 (fifo underruns 0, fifo overruns 0, dropped 1, repeated 0, capture lost 0)"},
        {"--repeat-frame 5000",
         "1 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 1, capture lost 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        hx::test::TempRoot root;
        const CommandRun run =
            runCommand(hxsim(root.path(), std::string("--virtual-clock --seconds 0.3 ") + c.args));
        auto f = fields(run.out);
        EXPECT_EQ(f["lost frames"], c.lost) << run.out;
        if (*c.args) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(f["result"], "fail: 1 frames lost or repeated on the way (see lost frames)");
        } else {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_EQ(f["result"], "pass");
        }
    }

    auto fifo = [](const char* ppm) {
        hx::test::TempRoot root;
        const CommandRun run =
            runCommand(hxsim(root.path(), std::string("--virtual-clock --seconds 1 --ppm ") + ppm));
        EXPECT_EQ(run.status, 0) << run.out;
        return fields(run.out)["fifo fill"];
    };
    const std::string nominal = fifo("0");
    EXPECT_NE(fifo("1000"), nominal);
    EXPECT_NE(fifo("-1000"), nominal);
}

namespace {

// The MIDI and status port through hxsim at both speeds: the device's status
// events, a button press, and a MIDI sequence recorded in order by the
// device within two bus frames.
TEST(Hxsim, MidiPortStatusPressAndSequenceAtBothSpeeds) {
    for (const char* speed : {"high", "full"}) {
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsim(
            root.path(), std::string("--virtual-clock --midi --seconds 0.3 --speed ") + speed));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["midi status"], "1 status change(s), 1 launch(es) after one press") << speed;
        EXPECT_EQ(f["midi"].rfind("192 bytes sent, received in order, latency ", 0), 0u)
            << f["midi"];
        const std::string latency = f["midi"].substr(f["midi"].find("latency ") + 8);
        EXPECT_LE(leadingNumber(latency), 2u) << f["midi"];
    }
}

// Devices that loop MIDI back: the sequence comes back into the client's
// input ring in order, stamps in order (the latency is reported).
TEST(Hxsim, MidiLoopsBackThroughTheBulkAndFarlane2Devices) {
    for (const char* args : {"--device farlane2", "--device bulk"}) {
        hx::test::TempRoot root;
        const CommandRun run =
            runCommand(hxsim(root.path(), std::string("--road kernel --virtual-clock --midi "
                                                      "--seconds 0.3 ") +
                                              args));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["midi loop"], "input ring: received in order, stamps in order") << args;
        EXPECT_EQ(f["midi"].rfind("48 bytes sent, received in order, latency ", 0), 0u)
            << f["midi"];
    }
}

} // namespace
