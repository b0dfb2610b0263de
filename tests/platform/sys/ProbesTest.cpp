// Trace probe points: off by default, arguments computed only when enabled,
// events recorded in order; the vector routines as plain loops.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/sys/DTraceProbes.h"
#include "platform/sys/VectorOps.h"

using hx::sys::ProbeEvent;
using hx::sys::ProbePoint;
using hx::sys::ProbeRecorder;

namespace {
ProbePoint gFirst("TestProvider", "firstMonitor");
ProbePoint gSecond("TestProvider", "secondMonitor");
ProbePoint gOther("OtherProvider", "firstMonitor");

int gArgWork = 0;
int64_t expensive(int64_t v) {
    ++gArgWork;
    return v;
}

void fireFirst(int64_t a, int64_t b) {
    if (gFirst.enabled()) gFirst.fire({expensive(a), expensive(b)});
}
} // namespace

class Probes : public testing::Test {
protected:
    void SetUp() override {
        ProbeRecorder::clear();
        hx::sys::enableProvider("TestProvider", false);
        hx::sys::enableProvider("OtherProvider", false);
        gArgWork = 0;
    }
};

TEST_F(Probes, DisabledProbesNeitherComputeArgumentsNorRecord) {
    for (int i = 0; i < 10; ++i)
        fireFirst(i, i);
    EXPECT_EQ(gArgWork, 0);
    EXPECT_TRUE(ProbeRecorder::events().empty());
    EXPECT_EQ(gFirst.fired(), 0u);
}

TEST_F(Probes, EnabledProbesRecordTheirArgumentsInOrder) {
    EXPECT_EQ(hx::sys::enableProvider("TestProvider", true), 2u);
    EXPECT_FALSE(gOther.enabled());
    fireFirst(1, -2);
    gSecond.fire({7, 8, 9, 10, 11, 12, 13, 14, 15}); // the ninth is dropped
    fireFirst(INT64_MIN, INT64_MAX);
    gOther.fire({99});
    const auto all = ProbeRecorder::events();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].probe, &gFirst);
    EXPECT_EQ(all[0].argc, 2u);
    EXPECT_EQ(all[0].args[1], -2);
    EXPECT_EQ(all[1].argc, 8u);
    EXPECT_EQ(all[1].args[7], 14);
    EXPECT_EQ(all[2].args[0], INT64_MIN);
    EXPECT_EQ(ProbeRecorder::events("firstMonitor").size(), 2u);
    EXPECT_EQ(gArgWork, 4);
    EXPECT_EQ(hx::sys::findProbe("TestProvider", "secondMonitor"), &gSecond);
    EXPECT_EQ(hx::sys::findProbe("TestProvider", "none"), nullptr);
}

TEST_F(Probes, TheRecorderKeepsTheLatestEvents) {
    gFirst.setEnabled(true);
    const int64_t total = int64_t(ProbeRecorder::kCapacity) + 10;
    for (int64_t i = 0; i < total; ++i)
        gFirst.fire({i});
    const auto kept = ProbeRecorder::events();
    ASSERT_EQ(kept.size(), ProbeRecorder::kCapacity);
    EXPECT_EQ(kept.front().args[0], 10);
    EXPECT_EQ(kept.back().args[0], total - 1);
    EXPECT_EQ(ProbeRecorder::lost(), 10u);
}

TEST(VectorOps, MeansSumsAndDotProductsWithStrides) {
    const double a[] = {1, 100, 2, 100, 3, 100, 4, 100};
    const double b[] = {2, 2, 2, 2};
    double c = -1;
    vDSP_meanvD(a, 2, &c, 4);
    EXPECT_DOUBLE_EQ(c, 2.5);
    vDSP_sveD(a, 1, &c, 8);
    EXPECT_DOUBLE_EQ(c, 410.0);
    vDSP_dotprD(a, 2, b, 1, &c, 4);
    EXPECT_DOUBLE_EQ(c, 20.0);
    vDSP_svesqD(a, 2, &c, 4);
    EXPECT_DOUBLE_EQ(c, 30.0);
    double out[4] = {};
    const double k = -2.5;
    vDSP_vsaddD(a, 2, &k, out, 1, 4);
    EXPECT_DOUBLE_EQ(out[0], -1.5);
    EXPECT_DOUBLE_EQ(out[3], 1.5);
    vDSP_meanvD(a, 1, &c, 0);
    EXPECT_EQ(c, 0.0);
    vDSP_sveD(a, 1, &c, 0);
    EXPECT_EQ(c, 0.0);
}
