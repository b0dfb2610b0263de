// hxsim's parts that do not need the machine: option parsing and its
// errors, the WAV writer's header and sample packing, the report's lines,
// and progress output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/base/testing/TempRoot.h"
#include "sim/SimOptions.h"
#include "sim/SimProgress.h"
#include "sim/SimReport.h"
#include "sim/WavWriter.h"

using namespace hx::sim;

namespace {

ParseResult parse(std::vector<std::string> args, Options& o, std::string& error)
{
    return parseOptions(args, o, error);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// What a progress display writes while a run of total seconds reports
// `updates` evenly spaced positions up to its end.
std::string progressText(double total, bool enabled, bool terminal, int updates)
{
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

}  // namespace

TEST(SimOptions, DefaultsAreTheDefaultScenario)
{
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

TEST(SimOptions, EveryOptionIsRead)
{
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--rate", "96000", "--speed", "full", "--seconds", "1.5", "--ppm", "-200", "--routing", "mix",
                     "--output", "/tmp/x.wav", "--virtual-clock", "--quiet"},
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
}

TEST(SimOptions, HelpWinsAndListsEveryOption)
{
    Options o;
    std::string error;
    EXPECT_EQ(parse({"--rate", "48000", "--help"}, o, error), ParseResult::Help);
    const std::string text = usage();
    for (const char* name : {"--rate", "--speed", "--seconds", "--ppm", "--routing", "--output", "--virtual-clock",
                             "--real-clock", "--quiet", "--help"})
        EXPECT_NE(text.find(name), std::string::npos) << name;
}

TEST(SimOptions, BadInputIsAOneLineError)
{
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
        {{"-rate", "48000"}, "-rate"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(c.args, o, error), ParseResult::Error) << c.args[0];
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(WavWriter, HeaderFieldsAndSamplePacking)
{
    // Two frames of two channels, left-aligned: the low byte is dropped and
    // the sign kept.
    const int32_t samples[] = {0x12345600, int32_t(0xFEDCBA00), int32_t(0x80000000), 0x7FFFFF00};
    const std::vector<uint8_t> b = encodeWav24(96000, 2, samples, 2);
    ASSERT_EQ(b.size(), 44u + 12u);
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    EXPECT_EQ(le32(b, 4), 36u + 12u);
    EXPECT_EQ(std::memcmp(b.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le16(b, 20), 1);  // integer PCM
    EXPECT_EQ(le16(b, 22), 2);
    EXPECT_EQ(le32(b, 24), 96000u);
    EXPECT_EQ(le32(b, 28), 96000u * 6);
    EXPECT_EQ(le16(b, 32), 6);
    EXPECT_EQ(le16(b, 34), 24);
    EXPECT_EQ(std::memcmp(b.data() + 36, "data", 4), 0);
    EXPECT_EQ(le32(b, 40), 12u);
    const uint8_t data[] = {0x56, 0x34, 0x12, 0xBA, 0xDC, 0xFE, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 44, b.end()), std::vector<uint8_t>(data, data + sizeof data));
}

TEST(WavWriter, RefusesWhatTheFormatCannotHold)
{
    const int32_t s = 0;
    EXPECT_TRUE(encodeWav24(48000, 0, &s, 1).empty());
    EXPECT_TRUE(encodeWav24(0, 2, &s, 0).empty());
    // 2^32 bytes of data do not fit the 32-bit sizes (nothing is read: the
    // size check comes first).
    EXPECT_TRUE(encodeWav24(48000, 2, &s, size_t(1) << 31).empty());
    EXPECT_EQ(encodeWav24(48000, 1, &s, 0).size(), 44u);
}

TEST(WavWriter, WritesTheFileCreatingFolders)
{
    hx::test::TempRoot root;
    const std::string path = root.path() + "/a/b/rec.wav";
    const int32_t samples[] = {0x00000100, -256, 0x7FFFFF00};
    std::string error;
    ASSERT_TRUE(writeWav24(path, 44100, 3, samples, 1, error)) << error;
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, encodeWav24(44100, 3, samples, 1));

    EXPECT_FALSE(writeWav24(path + "/under-a-file.wav", 44100, 3, samples, 1, error));
    EXPECT_FALSE(error.empty());
}

TEST(SimReport, OneLinePerItemEndingInTheResult)
{
    Report r;
    r.product = "HX-5100";
    r.manufacturer = "Korvex";
    r.vendorID = 0x1D5A;
    r.productID = 0x5100;
    r.firmware = "1.2.3";
    r.driver = "Drv";
    r.driverVersion = "3.4.13";
    r.askedRate = r.rate = 48000;
    r.inChannels = r.outChannels = 2;
    r.inBits = r.outBits = 24;
    r.inAlternate = r.outAlternate = 2;
    r.encoder = "enc";
    r.decoder = "dec";
    r.framesOut = 1234;
    r.framesIn = 1200;
    r.fifoMin = 3;
    r.fifoMax = 9;
    r.latency = 97;
    r.matched = true;
    r.comparedFrames = 1100;
    r.recording = "/root/x.wav";
    r.recordedFrames = 1200;
    r.driverLog = "/root/var/log/hxsim.log";
    std::string text = formatReport(r);
    for (const char* line :
         {"device:         HX-5100, Korvex (vendor 0x1D5A, product 0x5100)\n", "firmware:       1.2.3\n",
          "driver:         Drv 3.4.13\n", "rate:           48000 Hz (asked 48000 Hz)\n",
          "channels:       2 in, 2 out\n", "resolution:     24 bit in, 24 bit out\n", "alternates:     in 2, out 2\n",
          "converters:     encode enc, decode dec\n", "frames out:     1234\n", "frames in:      1200\n",
          "stream breaks:  0\n", "pattern errors: 0\n", "fifo fill:      min 3, max 9\n",
          "latency:        97 frames\n", "match:          yes (1100 frames compared, 0 differ)\n",
          "recording:      /root/x.wav (1200 frames)\n", "driver log:     /root/var/log/hxsim.log\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    EXPECT_TRUE(text.ends_with("result:         pass\n")) << text;

    r.failure = "rate 96000 not offered at full speed; device configured 44100";
    text = formatReport(r);
    EXPECT_TRUE(text.ends_with("result:         fail: rate 96000 not offered at full speed; device configured 44100\n"));
}

TEST(SimProgress, ShortOrQuietRunsShowNothing)
{
    for (auto [seconds, enabled] : {std::pair{1.0, true}, std::pair{60.0, false}})
        EXPECT_EQ(progressText(seconds, enabled, false, 10).size(), 0u);
}

TEST(SimProgress, LongRunsShowEachTenthOnceOrEachSecondInPlace)
{
    std::string text = progressText(10.0, true, false, 100);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
    EXPECT_NE(text.find("streaming 100% (10.0 s of 10 s)\n"), std::string::npos) << text;

    text = progressText(6.0, true, true, 60);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 6) << text;
    EXPECT_TRUE(text.ends_with("\rstreaming 6 s of 6 s\n")) << text;
}
