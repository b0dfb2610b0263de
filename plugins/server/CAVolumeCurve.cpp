#include "plugins/server/CAVolumeCurve.h"

#include <algorithm>
#include <cmath>

namespace {

struct Exponent {
    Float32 numerator;
    Float32 denominator;
};

// Transfer functions 0..15; 0 is linear.
constexpr Exponent kTransferFunctions[16] = {
    {1.0f, 1.0f}, {1.0f, 3.0f},  {1.0f, 2.0f},  {3.0f, 4.0f},  {3.0f, 2.0f}, {2.0f, 1.0f},
    {3.0f, 1.0f}, {4.0f, 1.0f},  {5.0f, 1.0f},  {6.0f, 1.0f},  {7.0f, 1.0f}, {8.0f, 1.0f},
    {9.0f, 1.0f}, {10.0f, 1.0f}, {11.0f, 1.0f}, {12.0f, 1.0f},
};

// Only spans above this bend the slider axis.
constexpr Float32 kBendingSpanDB = 30.0f;

// Round to nearest, halves away from zero, then cut to an integer.
SInt32 roundToRaw(Float32 value) {
    return SInt32(std::round(value));
}

} // namespace

CAVolumeCurve::CAVolumeCurve() = default;
CAVolumeCurve::~CAVolumeCurve() = default;

void CAVolumeCurve::AddRange(SInt32 inMinRaw, SInt32 inMaxRaw, Float32 inMinDB, Float32 inMaxDB) {
    if (inMaxRaw <= inMinRaw) return;
    // Every present range is tested: stopping at the first range starting at
    // or below the new one let 12..25 in over 20..30.
    for (const auto& [raw, db] : mCurveMap) {
        if (raw.mMinimum < inMaxRaw && raw.mMaximum > inMinRaw) return;
    }
    mCurveMap.emplace(CARawPoint(inMinRaw, inMaxRaw), CADBPoint(inMinDB, inMaxDB));
}

void CAVolumeCurve::ResetRange() {
    mCurveMap.clear();
}

void CAVolumeCurve::SetTransferFunction(UInt32 inTransferFunction) {
    mTransferFunction = inTransferFunction;
    const Exponent e =
        inTransferFunction < 16 ? kTransferFunctions[inTransferFunction] : Exponent{2.0f, 1.0f};
    mRawToScalarExponentNumerator = e.numerator;
    mRawToScalarExponentDenominator = e.denominator;
    mIsApplyingTransferFunction = inTransferFunction != 0;
}

bool CAVolumeCurve::CheckForContinuity() const {
    if (mCurveMap.empty()) return true;
    SInt32 expectedRaw = mCurveMap.begin()->first.mMinimum;
    Float32 expectedDB = mCurveMap.begin()->second.mMinimum;
    for (const auto& [raw, db] : mCurveMap) {
        if (raw.mMinimum != expectedRaw || db.mMinimum != expectedDB) return false;
        expectedRaw += raw.mMaximum - raw.mMinimum;
        expectedDB += db.mMaximum - db.mMinimum;
    }
    return true;
}

SInt32 CAVolumeCurve::GetMinimumRaw() const {
    return mCurveMap.empty() ? 0 : mCurveMap.begin()->first.mMinimum;
}
SInt32 CAVolumeCurve::GetMaximumRaw() const {
    return mCurveMap.empty() ? 0 : mCurveMap.rbegin()->first.mMaximum;
}
Float32 CAVolumeCurve::GetMinimumDB() const {
    return mCurveMap.empty() ? 0.0f : mCurveMap.begin()->second.mMinimum;
}
Float32 CAVolumeCurve::GetMaximumDB() const {
    return mCurveMap.empty() ? 0.0f : mCurveMap.rbegin()->second.mMaximum;
}

SInt32 CAVolumeCurve::ConvertDBToRaw(Float32 inDB) const {
    if (mCurveMap.empty()) return 0;
    Float32 db = std::isnan(inDB) ? GetMinimumDB() : inDB;
    db = std::max(db, GetMinimumDB());
    db = std::min(db, GetMaximumDB());
    SInt32 answer = mCurveMap.begin()->first.mMinimum;
    for (const auto& [raw, range] : mCurveMap) {
        const SInt32 width = raw.mMaximum - raw.mMinimum;
        if (db > range.mMaximum) {
            answer += width;
            continue;
        }
        answer += roundToRaw((db - range.mMinimum) /
                             ((range.mMaximum - range.mMinimum) / Float32(width)));
        break;
    }
    return answer;
}

Float32 CAVolumeCurve::ConvertRawToDB(SInt32 inRaw) const {
    if (mCurveMap.empty()) return 0.0f;
    const SInt32 clamped = std::clamp(inRaw, GetMinimumRaw(), GetMaximumRaw());
    SInt32 steps = clamped - GetMinimumRaw();
    Float32 answer = mCurveMap.begin()->second.mMinimum;
    for (auto it = mCurveMap.begin(); it != mCurveMap.end() && steps > 0; ++it) {
        const SInt32 width = it->first.mMaximum - it->first.mMinimum;
        const Float32 perStep = (it->second.mMaximum - it->second.mMinimum) / Float32(width);
        const SInt32 n = std::min(steps, width);
        answer += Float32(n) * perStep;
        steps -= n;
    }
    return answer;
}

bool CAVolumeCurve::Bends() const {
    const Float32 span = GetMaximumDB() - GetMinimumDB();
    return span > kBendingSpanDB && mIsApplyingTransferFunction;
}

Float32 CAVolumeCurve::ConvertRawToScalar(SInt32 inRaw) const {
    if (mCurveMap.empty()) return 0.0f;
    const SInt32 minRaw = GetMinimumRaw();
    const SInt32 maxRaw = GetMaximumRaw();
    const Float32 base =
        Float32(std::clamp(inRaw, minRaw, maxRaw) - minRaw) / Float32(maxRaw - minRaw);
    if (Bends())
        return std::pow(base, mRawToScalarExponentNumerator / mRawToScalarExponentDenominator);
    return base;
}

SInt32 CAVolumeCurve::ConvertScalarToRaw(Float32 inScalar) const {
    if (mCurveMap.empty()) return 0;
    Float32 scalar = inScalar;
    if (std::isnan(scalar) || scalar <= 0.0f) scalar = 0.0f;
    if (scalar >= 1.0f) scalar = 1.0f;
    const SInt32 minRaw = GetMinimumRaw();
    const Float32 rawWidth = Float32(GetMaximumRaw() - minRaw);
    const Float32 v =
        Bends() ? std::pow(scalar, mRawToScalarExponentDenominator / mRawToScalarExponentNumerator)
                : scalar;
    return minRaw + roundToRaw(rawWidth * v);
}
