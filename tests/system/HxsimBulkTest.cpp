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
    EXPECT_EQ(f["frames out"], "48000 (1.000 s at 48000 Hz)");
    EXPECT_EQ(f["frames in"], "48000");
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}

// The report carries the keep-alive counts: a packet every microframe, no
// gap; the bulk output neither inserted a guard frame nor underran.
TEST(HxsimBulk, TheReportShowsTheKeepAliveStreamWithoutGaps) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsim(
        root.path(), "--road kernel --device bulk --channels 2/2 --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    const std::string keepAlive = f["keep-alive"];
    const size_t comma = keepAlive.find(" packets, ");
    ASSERT_NE(comma, std::string::npos) << run.out;
    // A second of audio and more: 8 packets a millisecond.
    EXPECT_GE(std::stoull(keepAlive.substr(0, comma)), 8000u) << keepAlive;
    EXPECT_EQ(keepAlive.substr(comma), " packets, 0 gaps");
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
    EXPECT_EQ(f["frames out"], "48000 (1.000 s at 48000 Hz)");
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass");
}
