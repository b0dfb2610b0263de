// The volume curve: raw steps, decibels and slider positions.
#include "plugins/server/CAVolumeCurve.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

// The device's curve: raw 0..96 for -96..0 dB, the default transfer function.
CAVolumeCurve deviceCurve() {
    CAVolumeCurve c;
    c.AddRange(0, 96, -96.0f, 0.0f);
    return c;
}

struct RawCase {
    SInt32 raw;
    Float32 db;
    Float32 scalar;
};

class DeviceCurveRaw : public ::testing::TestWithParam<RawCase> {};

TEST_P(DeviceCurveRaw, ToDecibelsAndScalar) {
    const CAVolumeCurve c = deviceCurve();
    EXPECT_FLOAT_EQ(c.ConvertRawToDB(GetParam().raw), GetParam().db);
    EXPECT_FLOAT_EQ(c.ConvertRawToScalar(GetParam().raw), GetParam().scalar);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceCurveRaw,
                         ::testing::Values(RawCase{48, -48.0f, 0.25f},
                                           RawCase{1, -95.0f, (1.0f / 96) * (1.0f / 96)},
                                           RawCase{96, 0.0f, 1.0f}, RawCase{-5, -96.0f, 0.0f},
                                           RawCase{200, 0.0f, 1.0f}));

struct ScalarCase {
    Float32 scalar;
    SInt32 raw;
};

class DeviceCurveScalar : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(DeviceCurveScalar, ToRaw) {
    EXPECT_EQ(deviceCurve().ConvertScalarToRaw(GetParam().scalar), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceCurveScalar,
                         ::testing::Values(ScalarCase{0.5f, 68}, ScalarCase{0.25f, 48},
                                           ScalarCase{-0.2f, 0}, ScalarCase{1.7f, 96},
                                           ScalarCase{NAN, 0}));

struct DBCase {
    Float32 db;
    SInt32 raw;
};

class DeviceCurveDB : public ::testing::TestWithParam<DBCase> {};

TEST_P(DeviceCurveDB, ToRaw) {
    EXPECT_EQ(deviceCurve().ConvertDBToRaw(GetParam().db), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceCurveDB,
                         ::testing::Values(DBCase{-6.5f, 90}, DBCase{-100.0f, 0}, DBCase{3.0f, 96},
                                           DBCase{NAN, 0}));

TEST(CAVolumeCurve, DeviceCurveRoundTrips) {
    const CAVolumeCurve c = deviceCurve();
    EXPECT_FLOAT_EQ(c.ConvertDBToScalar(-6.0f), 0.87890625f);
    EXPECT_FLOAT_EQ(c.ConvertScalarToDB(0.5f), -28.0f);
}

TEST(CAVolumeCurve, TwoRanges) {
    CAVolumeCurve c;
    c.AddRange(0, 50, -100.0f, -50.0f);
    c.AddRange(50, 100, -50.0f, 0.0f);
    EXPECT_FLOAT_EQ(c.ConvertRawToDB(75), -25.0f);
    EXPECT_EQ(c.ConvertDBToRaw(-75.0f), 25);
    EXPECT_TRUE(c.CheckForContinuity());
    c.AddRange(40, 60, -60.0f, -40.0f);
    EXPECT_EQ(c.GetMaximumRaw(), 100);
    EXPECT_FLOAT_EQ(c.ConvertRawToDB(45), -55.0f);
}

// Overlap is tested against every range: stopping at the first range that
// starts at or below the new one let 12..25 in over 20..30.
TEST(CAVolumeCurve, OverlapWithALaterRangeIsRefused) {
    CAVolumeCurve c;
    c.AddRange(0, 10, -30.0f, -20.0f);
    c.AddRange(20, 30, -10.0f, 0.0f);
    c.AddRange(12, 25, -18.0f, -11.0f);
    EXPECT_FALSE(c.CheckForContinuity());          // the gap 10..20 stays
    EXPECT_FLOAT_EQ(c.ConvertRawToDB(15), -15.0f); // 10 steps of the first range, 5 of the second
    c.AddRange(10, 20, -20.0f, -10.0f);            // touching both is no overlap
    EXPECT_TRUE(c.CheckForContinuity());
}

TEST(CAVolumeCurve, RangesWithoutStepsOrWithAKnownMinimumAreRefused) {
    CAVolumeCurve c;
    c.AddRange(10, 10, -10.0f, 0.0f);
    c.AddRange(10, 5, -10.0f, 0.0f);
    EXPECT_EQ(c.GetMaximumRaw(), 0);
    c.AddRange(0, 10, -10.0f, 0.0f);
    c.AddRange(0, 20, -20.0f, 0.0f);
    EXPECT_EQ(c.GetMaximumRaw(), 10);
}

TEST(CAVolumeCurve, LinearBelowThirtyDecibelsOrWithFunctionZero) {
    CAVolumeCurve narrow;
    narrow.AddRange(0, 30, -30.0f, 0.0f);
    EXPECT_FLOAT_EQ(narrow.ConvertRawToScalar(15), 0.5f);
    CAVolumeCurve linear = deviceCurve();
    linear.SetTransferFunction(0);
    EXPECT_FLOAT_EQ(linear.ConvertRawToScalar(48), 0.5f);
    linear.SetTransferFunction(99); // beyond the table: the default exponent
    EXPECT_FLOAT_EQ(linear.ConvertRawToScalar(48), 0.25f);
}

TEST(CAVolumeCurve, EmptyCurveAnswersZero) {
    CAVolumeCurve c = deviceCurve();
    c.ResetRange();
    EXPECT_EQ(c.GetMinimumRaw(), 0);
    EXPECT_EQ(c.GetMaximumRaw(), 0);
    EXPECT_FLOAT_EQ(c.GetMinimumDB(), 0.0f);
    EXPECT_FLOAT_EQ(c.GetMaximumDB(), 0.0f);
    EXPECT_EQ(c.ConvertDBToRaw(-5.0f), 0);
    EXPECT_FLOAT_EQ(c.ConvertRawToDB(5), 0.0f);
    EXPECT_FLOAT_EQ(c.ConvertRawToScalar(5), 0.0f);
    EXPECT_EQ(c.ConvertScalarToRaw(0.5f), 0);
    EXPECT_TRUE(c.CheckForContinuity());
}

} // namespace
