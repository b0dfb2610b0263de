// Runs hxsim on the kernel road with the bulk-protocol device on the bus, on
// the virtual clock: the driver chooses its interfaces 0 and 1 from its
// listing alone, streams over the bulk pipes and the client's output comes
// back bit-exact.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/testing/TempRoot.h"
#include "tests/system/HxsimRun.h"

using namespace hx::test::hxsim;

TEST(HxsimBulk, TheBulkProtocolDeviceStreamsAndTheLoopbackMatches) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(
        root.path(), "--road kernel --device bulk --channels 2/2 --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_NE(f["device"].find("vendor 0x2F6A, product 0x0B01"), std::string::npos) << run.out;
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
    EXPECT_EQ(f["channels"], "2 in, 2 out");
    EXPECT_EQ(f["alternates"], "in 1, out 1");
    EXPECT_EQ(f["stream breaks"], "0");
    // The input ring is written once a service cycle, with the input
    // packets that arrived (microframe by microframe) since the last: the
    // frames counted in the second lie within one cycle (1 ms) of it, by the
    // phase of the client's first write. Every frame the client wrote came
    // back.
    const uint64_t out = std::stoull(f["frames out"]);
    EXPECT_GE(out, 48000u - 48u) << f["frames out"];
    EXPECT_LE(out, 48000u + 48u) << f["frames out"];
    EXPECT_EQ(std::stoull(f["frames in"]), out);
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

// The report carries the keep-alive counts: a packet every microframe, no
// gap; the bulk output's drift guard inserted no frame.
TEST(HxsimBulk, TheReportShowsTheKeepAliveStreamWithoutGaps) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(
        root.path(), "--road kernel --device bulk --channels 2/2 --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    const std::string keepAlive = f["keep-alive"];
    const size_t comma = keepAlive.find(" packets, ");
    ASSERT_NE(comma, std::string::npos) << run.out;
    // 8 packets a millisecond from 50 ms after the start on.
    EXPECT_GE(std::stoull(keepAlive.substr(0, comma)), 7500u) << keepAlive;
    EXPECT_EQ(keepAlive.substr(comma), " packets, 0 gaps");
    // The drift guard inserts nothing and the output never runs short, not
    // even at the start, before the client's first write.
    EXPECT_EQ(f["bulk output"], "0 guard inserts, 0 underruns") << run.out;
}

// The interrupt variant (1,024-byte in, 964-byte out packets of 20 frames
// in two halves) streams bit-exact with its default 8 channels each way.
TEST(HxsimBulk, TheInterruptVariantStreamsAndTheLoopbackMatches) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsim(root.path(), "--road kernel --device bulk-int --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)");
    EXPECT_EQ(f["channels"], "8 in, 8 out");
    EXPECT_EQ(f["stream breaks"], "0");
    // Within one service cycle (1 ms) of the second, as above.
    const uint64_t out = std::stoull(f["frames out"]);
    EXPECT_GE(out, 48000u - 48u) << f["frames out"];
    EXPECT_LE(out, 48000u + 48u) << f["frames out"];
    EXPECT_EQ(std::stoull(f["frames in"]), out);
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

// Every offered rate off nominal, and the channel counts each way the
// device's widths and encoders take (16 inputs the last in byte units, 18
// the first in 16-bit ones): bit-exact, nothing lost, no break, no guard
// insert and no underrun, the start's included.
struct BulkCase {
    const char* name;
    const char* args;
    const char* channels;
};

class HxsimBulkRows : public ::testing::TestWithParam<BulkCase> {};

TEST_P(HxsimBulkRows, StreamsBitExactWithoutUnderrunOrInsert) {
    const BulkCase c = GetParam();
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsim(root.path(),
              std::string("--road kernel --device bulk --virtual-clock --seconds 1 ") + c.args));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["channels"], c.channels) << run.out;
    EXPECT_EQ(f["stream breaks"], "0") << run.out;
    EXPECT_EQ(f["bulk output"], "0 guard inserts, 0 underruns") << run.out;
    EXPECT_EQ(f["keep-alive"].substr(f["keep-alive"].find(" packets, ")), " packets, 0 gaps")
        << run.out;
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass") << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndChannels, HxsimBulkRows,
    ::testing::Values(BulkCase{"At44k", "--rate 44100 --ppm 200", "2 in, 2 out"},
                      BulkCase{"At48k", "--rate 48000 --ppm -200", "2 in, 2 out"},
                      BulkCase{"At88k", "--rate 88200 --ppm -200", "2 in, 2 out"},
                      BulkCase{"At96k", "--rate 96000 --ppm 200", "2 in, 2 out"},
                      BulkCase{"Sixteen", "--channels 16/16 --ppm 200", "16 in, 16 out"},
                      BulkCase{"EighteenIn8Out", "--channels 18/8 --ppm -200", "18 in, 8 out"},
                      BulkCase{"ThirtyTwoIn16Out", "--channels 32/16 --ppm 200 --rate 96000",
                               "32 in, 16 out"}),
    [](const ::testing::TestParamInfo<BulkCase>& i) { return std::string(i.param.name); });
