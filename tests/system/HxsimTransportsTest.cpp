// Runs hxsim on the kernel road with the feedback, plain interrupt and
// Farlane-2 devices on the bus, on the virtual clock with the device clock
// off nominal: each streams without a break and the client's output comes
// back bit-exact at 24 bits, nothing lost on the way.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/testing/TempRoot.h"
#include "tests/system/HxsimRun.h"

using namespace hx::test::hxsim;

namespace {

struct TransportCase {
    const char* name;
    const char* args;
    const char* channels;
};

class HxsimTransports : public ::testing::TestWithParam<TransportCase> {};

TEST_P(HxsimTransports, StreamsWithoutABreakAndTheLoopbackMatches) {
    const TransportCase c = GetParam();
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsim(root.path(), std::string("--road kernel --virtual-clock --seconds 1 ") + c.args));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["channels"], c.channels) << run.out;
    EXPECT_EQ(f["stream breaks"], "0") << run.out;
    EXPECT_EQ(f["lost frames"].rfind("0 (", 0), 0u) << f["lost frames"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_NE(f["match"].find(" 0 differ"), std::string::npos) << f["match"];
    EXPECT_EQ(f["result"], "pass") << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HxsimTransports,
    ::testing::Values(
        TransportCase{"Feedback", "--device feedback --ppm 200", "2 in, 2 out"},
        TransportCase{"Feedback96k", "--device feedback --rate 96000 --ppm -200", "2 in, 2 out"},
        TransportCase{"Interrupt", "--device interrupt --ppm -200", "2 in, 2 out"},
        TransportCase{"Interrupt88k", "--device interrupt --rate 88200 --ppm 200", "2 in, 2 out"},
        TransportCase{"Farlane2", "--device farlane2 --ppm 200", "4 in, 4 out"},
        TransportCase{"Farlane2Twelve", "--device farlane2 --channels 12 --ppm -200",
                      "12 in, 12 out"}),
    [](const ::testing::TestParamInfo<TransportCase>& i) { return std::string(i.param.name); });

} // namespace
