// hxsim's parts that do not need the machine: option parsing and its
// errors, the WAV writer's header and sample packing, the report's lines,
// and progress output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>

#include "platform/base/testing/TempRoot.h"
#include "sim/SimOptions.h"
#include "sim/SimProgress.h"
#include "sim/SimReport.h"
#include "sim/WavWriter.h"

using namespace hx::sim;

namespace {

ParseResult parse(std::vector<std::string> args, Options& o, std::string& error) {
    return parseOptions(args, o, error);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

// What a progress display writes while a run of total seconds reports
// `updates` evenly spaced positions up to its end.
std::string progressText(double total, bool enabled, bool terminal, int updates) {
    char* buf = nullptr;
    size_t size = 0;
    std::FILE* f = open_memstream(&buf, &size);
    {
        Progress p(total, enabled, f, terminal);
        for (int i = 1; i <= updates; ++i)
            p.update(total * i / updates);
    }
    std::fclose(f);
    std::string text(buf, size);
    free(buf);
    return text;
}

} // namespace

TEST(SimOptions, DefaultsAreTheDefaultScenario) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({}, o, error), ParseResult::Run);
    EXPECT_EQ(o.rate, 48000u);
    EXPECT_EQ(o.speed, Speed::High);
    EXPECT_EQ(o.routing, Routing::Pass);
    EXPECT_EQ(o.ppm, 0);
    EXPECT_EQ(o.clock, Clock::Paced);
    EXPECT_FALSE(o.quiet);
    EXPECT_GT(o.seconds, 0.0);
}

TEST(SimOptions, EveryOptionIsRead) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--rate", "96000", "--speed", "full", "--seconds", "1.5", "--ppm", "-200",
                     "--routing", "mix", "--output", "/tmp/x.wav", "--virtual-clock", "--quiet"},
                    o, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(o.rate, 96000u);
    EXPECT_EQ(o.speed, Speed::Full);
    EXPECT_DOUBLE_EQ(o.seconds, 1.5);
    EXPECT_EQ(o.ppm, -200);
    EXPECT_EQ(o.routing, Routing::Mix);
    EXPECT_EQ(o.output, "/tmp/x.wav");
    EXPECT_EQ(o.clock, Clock::Virtual);
    EXPECT_TRUE(o.quiet);

    Options real;
    ASSERT_EQ(parse({"--real-clock"}, real, error), ParseResult::Run) << error;
    EXPECT_EQ(real.clock, Clock::Real);

    // The shortest run, the model's faults, and a relative output path,
    // which is read from the path root.
    Options more;
    ASSERT_EQ(parse({"--seconds", "0.1", "--drop-frame", "7", "--repeat-frame", "9", "--output",
                     "../../x.wav"},
                    more, error),
              ParseResult::Run)
        << error;
    EXPECT_DOUBLE_EQ(more.seconds, 0.1);
    EXPECT_EQ(more.dropFrame, 7u);
    EXPECT_EQ(more.repeatFrame, 9u);
    EXPECT_EQ(more.output, "/../../x.wav");
}

TEST(SimOptions, KernelRoadDevicesAndTheirChannels) {
    struct Case {
        const char* name;
        Device device;
        const char* channels; // nullptr: not given
        uint32_t in, out;
    };
    const Case cases[] = {
        {"bulk", Device::Bulk, "18/18", 18, 18},
        {"bulk-int", Device::BulkInterrupt, "2", 2, 2},
        {"feedback", Device::Feedback, nullptr, 0, 0},
        {"interrupt", Device::Interrupt, "4/4", 4, 4},
        {"farlane2", Device::Farlane2, "12/12", 12, 12},
        {"hx5100", Device::HX5100, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        std::vector<std::string> args{"--road", "kernel", "--device", c.name};
        if (c.channels) args.insert(args.end(), {"--channels", c.channels});
        ASSERT_EQ(parse(args, o, error), ParseResult::Run) << c.name << ": " << error;
        EXPECT_EQ(o.device, c.device) << c.name;
        EXPECT_EQ(o.inChannels, c.in) << c.name;
        EXPECT_EQ(o.outChannels, c.out) << c.name;
    }
}

TEST(SimOptions, HelpWinsAndListsEveryOption) {
    Options o;
    std::string error;
    EXPECT_EQ(parse({"--rate", "48000", "--help"}, o, error), ParseResult::Help);
    const std::string text = usage();
    for (const char* name :
         {"--rate", "--speed", "--seconds", "--ppm", "--routing", "--output", "--virtual-clock",
          "--real-clock", "--quiet", "--drop-frame", "--repeat-frame", "--help", "HX_ROOT",
          "--channels", "bulk-int", "farlane2"})
        EXPECT_NE(text.find(name), std::string::npos) << name;
}

TEST(SimOptions, BadInputIsAOneLineError) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"--rate"}, "needs a value"},
        {{"--rate", "12345"}, "12345"},
        {{"--rate", "48000x"}, "48000x"},
        {{"--rate", ""}, "--rate"},
        {{"--speed", "super"}, "super"},
        {{"--seconds", "0"}, "--seconds"},
        {{"--seconds", "-1"}, "--seconds"},
        {{"--seconds", "nan"}, "--seconds"},
        {{"--seconds", "1e9"}, "--seconds"},
        {{"--ppm", "1001"}, "1001"},
        {{"--ppm", "2.5"}, "2.5"},
        {{"--ppm", "99999999999999999999"}, "--ppm"},
        {{"--routing", "swap"}, "swap"},
        {{"--output", ""}, "--output"},
        {{"--output", "out/"}, "not a folder: out/"},
        {{"--output", "/x/.."}, "not a folder"},
        {{"--output", "."}, "not a folder"},
        {{"--seconds", "0.01"}, "from 0.1"},
        {{"--seconds", "0.099"}, "from 0.1"},
        {{"--drop-frame", "0"}, "--drop-frame"},
        {{"--repeat-frame", "x"}, "--repeat-frame"},
        {{"-rate", "48000"}, "-rate"},
        {{"--device", "usb"}, "usb"},
        {{"--device", "bulk"}, "kernel road only"},
        {{"--road", "kernel", "--device", "bulk", "--channels", "3/2"}, "3/2"},
        {{"--road", "kernel", "--device", "bulk", "--channels", "34"}, "34"},
        {{"--road", "kernel", "--device", "bulk", "--channels", "4/"}, "4/"},
        {{"--road", "kernel", "--channels", "4/4"}, "--channels applies"},
        {{"--road", "kernel", "--device", "interrupt", "--channels", "4/2"}, "same count each way"},
        {{"--road", "kernel", "--device", "farlane2", "--channels", "12/4"}, "same count each way"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(c.args, o, error), ParseResult::Error) << c.args[0];
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(WavWriter, HeaderFieldsAndSamplePacking) {
    // Two frames of two channels, left-aligned: the low byte is dropped and
    // the sign kept.
    const int32_t samples[] = {0x12345600, int32_t(0xFEDCBA00), int32_t(0x80000000), 0x7FFFFF00};
    const std::vector<uint8_t> b = encodeWav24(96000, 2, samples, 2);
    ASSERT_EQ(b.size(), 44u + 12u);
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    EXPECT_EQ(le32(b, 4), 36u + 12u);
    EXPECT_EQ(std::memcmp(b.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le16(b, 20), 1); // integer PCM
    EXPECT_EQ(le16(b, 22), 2);
    EXPECT_EQ(le32(b, 24), 96000u);
    EXPECT_EQ(le32(b, 28), 96000u * 6);
    EXPECT_EQ(le16(b, 32), 6);
    EXPECT_EQ(le16(b, 34), 24);
    EXPECT_EQ(std::memcmp(b.data() + 36, "data", 4), 0);
    EXPECT_EQ(le32(b, 40), 12u);
    const uint8_t data[] = {0x56, 0x34, 0x12, 0xBA, 0xDC, 0xFE, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 44, b.end()),
              std::vector<uint8_t>(data, data + sizeof data));
}

TEST(WavWriter, RefusesWhatTheFormatCannotHold) {
    const int32_t s = 0;
    EXPECT_TRUE(encodeWav24(48000, 0, &s, 1).empty());
    EXPECT_TRUE(encodeWav24(0, 2, &s, 0).empty());
    // 2^32 bytes of data do not fit the 32-bit sizes (nothing is read: the
    // size check comes first).
    EXPECT_TRUE(encodeWav24(48000, 2, &s, size_t(1) << 31).empty());
    EXPECT_EQ(encodeWav24(48000, 1, &s, 0).size(), 44u);
}

TEST(WavWriter, WritesTheFileCreatingFolders) {
    hx::test::TempRoot root;
    const std::string path = root.path() + "/a/b/rec.wav";
    const int32_t samples[] = {0x00000100, -256, 0x7FFFFF00};
    std::string error;
    ASSERT_TRUE(writeWav24(path, 44100, 3, samples, 1, error)) << error;
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                     std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, encodeWav24(44100, 3, samples, 1));

    EXPECT_FALSE(writeWav24(path + "/under-a-file.wav", 44100, 3, samples, 1, error));
    EXPECT_FALSE(error.empty());
}

TEST(WavWriter, PreparingAnOutputRemovesAnOlderFileAndProvesTheFolderWritable) {
    hx::test::TempRoot root;
    const std::string path = root.path() + "/c/d/loopback.wav";
    std::string error;
    ASSERT_TRUE(writeText(path, "an earlier run's recording", error)) << error;
    ASSERT_TRUE(prepareOutput(path, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::is_directory(root.path() + "/c/d"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.path() + "/c/d"),
                            std::filesystem::directory_iterator()),
              0)
        << "the probe leaves nothing behind";

    // A folder where the file should be, and a folder that is a file.
    EXPECT_FALSE(prepareOutput(root.path() + "/c", error));
    EXPECT_NE(error.find("it is a folder"), std::string::npos) << error;
    ASSERT_TRUE(writeText(root.path() + "/plain", "x", error)) << error;
    EXPECT_FALSE(prepareOutput(root.path() + "/plain/x.wav", error));

    // The previous log is kept once.
    ASSERT_TRUE(writeText(root.path() + "/run.log", "first", error)) << error;
    keepPrevious(root.path() + "/run.log");
    ASSERT_TRUE(writeText(root.path() + "/run.log", "second", error)) << error;
    keepPrevious(root.path() + "/run.log");
    std::ifstream kept(root.path() + "/run.log.1");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()),
              "second");
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/run.log"));
}

// Each of lines appears in the report text.
void expectLines(const std::string& text, std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
}

TEST(SimReport, OneLinePerItemEndingInTheResult) {
    Report r;
    hx::harness::HarnessReport& m = r.machine;
    m.productName = "HX-5100";
    m.vendorName = "Korvex";
    m.vendorID = 0x1D5A;
    m.productID = 0x5100;
    r.firmware = "1.2.3";
    r.driver = "Drv";
    r.driverVersion = "3.4.13";
    r.askedRate = m.rate = 48000;
    m.inChannels = m.outChannels = 2;
    m.resolution = 24;
    m.inAlternate = m.outAlternate = 2;
    m.outputConverter = "enc";
    m.inputConverter = "dec";
    m.framesOut = 1234;
    m.framesIn = 1200;
    m.fifoLock = 6;
    m.fifoMin = 3;
    m.fifoMax = 9;
    m.fifoSamples = 40;
    m.latencyKnown = true;
    m.latencyFrames = 97;
    m.matched = true;
    m.framesChecked = 1100;
    m.firstCheckedPlayed = 0;
    r.seconds = 0.025;
    r.startupSeconds = 0.051;
    r.clock = Clock::Virtual;
    r.recording = "/root/x.wav";
    r.recordedFrames = 1200;
    r.driverLog = "/root/var/log/hxsim.log";
    std::string text = formatReport(r);
    expectLines(
        text,
        {"device:         HX-5100, Korvex (vendor 0x1D5A, product 0x5100)\n",
         "firmware:       1.2.3\n", "driver:         Drv 3.4.13\n",
         "rate:           48000 Hz (asked 48000 Hz)\n", "channels:       2 in, 2 out\n",
         "resolution:     24 bit in, 24 bit out\n", "alternates:     in 2, out 2\n",
         "converters:     encode enc, decode dec\n",
         "run:            0.025 s of audio on the virtual clock, after 0.051 s of start-up\n",
         "frames out:     1234 (0.026 s at 48000 Hz)\n", "frames in:      1200\n",
         "stream breaks:  0\n", "pattern errors: 0\n",
         "lost frames:    0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture "
         "lost 0)\n",
         "fifo fill:      min 3, max 9 frames over 40 readings\n", "latency:        97 frames\n",
         "match:          yes (1100 frames compared, 0 differ: played frames 0 to 1099, the last "
         "134 still on their "
         "way at the end)\n",
         "recording:      /root/x.wav (1200 frames)\n",
         "driver log:     /root/var/log/hxsim.log\n"});
    EXPECT_TRUE(text.ends_with("result:         pass\n")) << text;

    EXPECT_EQ(text.find("host pauses:"), std::string::npos)
        << "only the real clock has host pauses";

    // Every kind of lost frame is shown and summed; a signal that did not
    // come back whole says how much of it is missing.
    m.fifoUnderrunFrames = 1;
    m.fifoOverrunFrames = 2;
    m.framesDropped = 3;
    m.framesRepeated = 4;
    m.inFramesLost = 5;
    m.firstCheckedPlayed = 34;
    r.clock = Clock::Real;
    r.hostPauses = 6;
    text = formatReport(r);
    EXPECT_EQ(lostFrames(r), 15u);
    expectLines(text, {"lost frames:    15 (fifo underruns 1, fifo overruns 2, dropped 3, repeated "
                       "4, capture lost 5)\n",
                       "host pauses:    6 (the machine stood still through each)\n",
                       "match:          yes (1100 frames compared, 0 differ: played frames 34 to "
                       "1133, the last 100 still on their "
                       "way at the end, the first 34 never came back)\n"});

    r.driverLog.clear();
    r.driverLogError = "cannot write /x: No space left on device";
    EXPECT_NE(formatReport(r).find(
                  "driver log:     (not written: cannot write /x: No space left on device)\n"),
              std::string::npos);

    r.failure = "rate 96000 not offered at full speed; device configured 44100";
    text = formatReport(r);
    EXPECT_TRUE(text.ends_with(
        "result:         fail: rate 96000 not offered at full speed; device configured 44100\n"));
}

TEST(SimProgress, ShortOrQuietRunsShowNothing) {
    for (auto [seconds, enabled] : {std::pair{1.0, true}, std::pair{60.0, false}})
        EXPECT_EQ(progressText(seconds, enabled, false, 10).size(), 0u);
}

TEST(SimProgress, LongRunsShowEachTenthOnceOrEachSecondInPlace) {
    std::string text = progressText(10.0, true, false, 100);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
    EXPECT_NE(text.find("streaming 100% (10.0 s of 10 s)\n"), std::string::npos) << text;

    text = progressText(6.0, true, true, 60);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 6) << text;
    EXPECT_TRUE(text.ends_with("\rstreaming 6 s of 6 s\n")) << text;
}
