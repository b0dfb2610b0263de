// The drift fit and the stamp thread: the fit's arithmetic and acceptance
// rules on scripted pairs, the thread handshakes, and stamps published at
// their targets on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "plugins/server/QnASZeroTimeStamp.h"
#include "plugins/server/QnLinearRegression.h"

namespace {

// Pairs host = slope x sample + intercept, `count` of them, every 512 frames.
struct Line {
    double slope = 20000.0;
    double intercept = 5000.0;
    UInt32 count = 3;
    double step = 1024.0;
    double start = 0.0;
    static void fetch(void* context, UInt32& count, double* x, double* y) {
        const Line& l = *static_cast<const Line*>(context);
        count = l.count;
        for (UInt32 i = 0; i < l.count && i < 1000; ++i) {
            x[i] = l.start + i * l.step;
            y[i] = l.slope * x[i] + l.intercept;
        }
    }
};

double published(QnLinearRegression& fit, double* intercept = nullptr,
                 double* correlation = nullptr) {
    double s = 0, i = 0, c = 0;
    fit.getLRParameters(s, i, c);
    if (intercept) *intercept = i;
    if (correlation) *correlation = c;
    return s;
}

} // namespace

TEST(DriftFit, ThreeCollinearPairs) {
    QnLinearRegression fit;
    Line line;
    fit.setDataFetcher(&line, &Line::fetch);
    fit.init(20000.0, 0.0);
    fit.fitRound(); // three pairs: fitted, never accepted
    double intercept = 0, correlation = 0;
    EXPECT_DOUBLE_EQ(published(fit, &intercept, &correlation), 20000.0);
    EXPECT_NEAR(intercept, 5000.0, 1e-6);
    EXPECT_DOUBLE_EQ(correlation, 1.0);
    EXPECT_FALSE(fit.isStable());
}

TEST(DriftFit, AcceptanceNeedsFiftyOnePairsAndTheNominalSlope) {
    struct Case {
        const char* name;
        UInt32 count;
        double slope;
        bool accepted;
    } const cases[] = {
        {"fifty pairs", 50, 20000.0, false},
        {"fifty-one pairs", 51, 20000.0, true},
        {"slope 0.2 % off", 200, 20040.0, false},
        {"slope 0.05 % off", 200, 20010.0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QnLinearRegression fit;
        Line line;
        line.count = c.count;
        line.slope = c.slope;
        line.intercept = 777.0;
        line.start = 1e6;
        fit.setDataFetcher(&line, &Line::fetch);
        fit.init(20000.0, 0.0);
        fit.fitRound();
        EXPECT_EQ(fit.isStable(), c.accepted);
        double intercept = 0;
        const double slope = published(fit, &intercept);
        // Rejected: the nominal slope with this fit's own intercept.
        EXPECT_NEAR(slope, c.accepted ? c.slope : 20000.0, 1e-6);
        EXPECT_NEAR(intercept, 777.0, 1e-3);
        EXPECT_EQ(fit.slopeWindow().count, c.accepted ? 1 : 0);
    }
}

TEST(DriftFit, PublishesTheWindowMeanWhileItsDeviationIsSmall) {
    QnLinearRegression fit;
    Line line;
    line.count = 100;
    fit.setDataFetcher(&line, &Line::fetch);
    fit.init(20005.0, 0.0);
    const double slopes[] = {20000.0, 20010.0, 20000.0};
    const double expected[] = {20000.0, 20005.0, 20005.0};
    const double intercepts[] = {5000.0, 5000.0, 9000.0};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        line.slope = slopes[k];
        line.intercept = intercepts[k];
        fit.fitRound();
        EXPECT_TRUE(fit.isStable());
        double intercept = 0;
        EXPECT_NEAR(published(fit, &intercept), expected[k], 1e-6);
        if (k == 2) {
            EXPECT_NEAR(intercept, 9000.0, 1e-3); // its own, not the mean
        }
    }
    for (int k = 0; k < 57; ++k)
        fit.fitRound();
    EXPECT_EQ(fit.slopeWindow().count, 50); // 60 acceptances, the last 50 kept
}

TEST(DriftFit, OutliersBelowTheLineAreReplaced) {
    QnLinearRegression fit;
    struct Bent {
        static void fetch(void*, UInt32& count, double* x, double* y) {
            count = 60;
            for (UInt32 i = 0; i < 60; ++i) {
                x[i] = 1000.0 + i * 512.0;
                y[i] = 20000.0 * x[i];
            }
            y[30] -= 5e6; // a late stamp, far below the line
        }
    };
    int context = 0;
    fit.setDataFetcher(&context, &Bent::fetch);
    fit.init(20000.0, 0.0);
    fit.fitRound();
    EXPECT_TRUE(fit.isStable());
    EXPECT_NEAR(published(fit), 20000.0, 0.5);
}

TEST(DriftFit, EmptyAndDegenerateWindowsAnswerZero) {
    QnAverageEngine e;
    e.reset(4);
    EXPECT_EQ(e.getMean(), 0.0);
    EXPECT_EQ(e.getStdDeviation(), 0.0);
    for (double v : {1.0, 1.0, 1.0, 1.0, 3.0, 5.0})
        e.push(v);
    EXPECT_EQ(e.count, 4);
    EXPECT_DOUBLE_EQ(e.getMean(), 2.5);
    EXPECT_NEAR(e.getStdDeviation(), std::sqrt(2.75), 1e-12);
    EXPECT_EQ(qnSaturateToInt64(std::log10(0.0) * 100), INT64_MIN);
    EXPECT_EQ(qnSaturateToInt64(NAN), 0);
    EXPECT_EQ(qnSaturateToUInt64(-5.0), 0u);
    EXPECT_EQ(qnSaturateToUInt64(1e30), UINT64_MAX);
}

TEST(DriftFit, StartTwiceRefusesAndStopAfterNoStartOnlyClears) {
    hx::clock::VirtualClock clock;
    QnLinearRegression fit;
    fit.stopLRthread(); // nothing started: nothing to wait for
    EXPECT_FALSE(fit.isRunning());
    ASSERT_TRUE(fit.startLRThread());
    hx::log::Capture log;
    EXPECT_FALSE(fit.startLRThread());
    EXPECT_NE(log.text().find("QnLR::startLRThread: already running!"), std::string::npos);
    clock.runFor(120000000);
    fit.stopLRthread();
    EXPECT_FALSE(fit.isRunning());
    EXPECT_NE(log.text().find("QnLR::threadRun exit at slice"), std::string::npos);
}

TEST(ZeroTimeStamp, InitTakesTheRateAndTimeBase) {
    hx::clock::VirtualClock clock;
    {
        QnASZeroTimeStamp stamps;
        EXPECT_DOUBLE_EQ(stamps.ticksPerSecond(), 1e9);
        ASSERT_TRUE(stamps.Init(48000, nullptr));
        EXPECT_NEAR(stamps.ticksPerFrame(), 20833.3333333, 1e-6);
        EXPECT_EQ(stamps.ticksPerCycle(), 20833u * 16384u);
        EXPECT_EQ(stamps.ticksPerCycle(), 341327872u);
    }
    hx::log::Capture log;
    QnASZeroTimeStamp stamps;
    ASSERT_TRUE(stamps.Init(0, nullptr));
    EXPECT_DOUBLE_EQ(stamps.sampleRate(), 44100.0);
    const std::string text = log.text();
    const std::string line = "QnASZeroTimeStamp::Init: Samplerate null, forcing to 44100";
    ASSERT_NE(text.find(line), std::string::npos);
    EXPECT_EQ(text.find(line, text.find(line) + 1), std::string::npos);
    double s = -1;
    UInt64 h = 1;
    EXPECT_FALSE(stamps.GetFromKernel(s, h));
    EXPECT_EQ(s, 0.0);
}

TEST(ZeroTimeStamp, PublishesWholePeriodsAtTheirTargets) {
    hx::clock::VirtualClock clock;
    // The kernel's clock runs 200 ppm fast against the nominal rate.
    Line line;
    line.slope = (1e9 / 48000.0) * (1.0 + 200e-6);
    line.intercept = double(clock.now());
    line.count = 1000;
    line.step = 512.0;
    QnASZeroTimeStamp stamps;
    stamps.setDataFetcher(&line, &Line::fetch);
    ASSERT_TRUE(stamps.Init(48000, nullptr));
    clock.runFor(200000000); // the fit settles
    double slope = 0, intercept = 0, correlation = 0;
    stamps.fit().getLRParameters(slope, intercept, correlation);
    EXPECT_TRUE(stamps.fit().isStable());
    EXPECT_LT(std::fabs(slope / line.slope - 1.0), 10e-6);

    const UInt64 start = clock.now();
    ASSERT_TRUE(stamps.Start(0, start));
    double sample = -1;
    UInt64 host = 0, seed = 1;
    stamps.GetZeroTimeStamp(sample, host, seed);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, start);
    EXPECT_EQ(seed, 0u);
    const UInt64 perCycle = UInt64(std::trunc(16384.0 * slope));
    for (UInt64 k = 1; k <= 3; ++k) {
        clock.runUntil(start + k * perCycle + 1000000);
        stamps.GetZeroTimeStamp(sample, host, seed);
        EXPECT_EQ(sample, double(k * 16384));
        EXPECT_NEAR(double(host), double(start + k * perCycle), double(k));
    }
    stamps.Stop();
    stamps.fit().stopLRthread();
}
