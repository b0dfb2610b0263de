// A volume control's curve: raw hardware steps to decibels and to the 0..1
// slider position the host shows. A curve is a set of raw ranges, each with
// the dB range it spans; above 30 dB of span the slider axis is bent by a
// power law (the transfer function).
//
// A range that overlaps any present range, or whose raw maximum is not above
// its minimum (no steps to divide by), is refused. An empty curve answers 0
// to every conversion; a NaN dB or scalar converts as the minimum.
#pragma once

#include <map>

#include "platform/base/MacTypes.h"

struct CARawPoint {
    SInt32 mMinimum;
    SInt32 mMaximum;
    CARawPoint(SInt32 inMinimum = 0, SInt32 inMaximum = 0)
        : mMinimum(inMinimum), mMaximum(inMaximum) {}
};

struct CADBPoint {
    Float32 mMinimum;
    Float32 mMaximum;
    CADBPoint(Float32 inMinimum = 0, Float32 inMaximum = 0)
        : mMinimum(inMinimum), mMaximum(inMaximum) {}
};

// Ranges are ordered by their raw minimum alone.
struct CARawPointLess {
    bool operator()(const CARawPoint& a, const CARawPoint& b) const {
        return a.mMinimum < b.mMinimum;
    }
};

class CAVolumeCurve {
public:
    CAVolumeCurve();
    virtual ~CAVolumeCurve();

    void AddRange(SInt32 inMinRaw, SInt32 inMaxRaw, Float32 inMinDB, Float32 inMaxDB);
    void ResetRange();
    void SetTransferFunction(UInt32 inTransferFunction);
    UInt32 GetTransferFunction() const { return mTransferFunction; }
    bool CheckForContinuity() const;

    SInt32 GetMinimumRaw() const;
    SInt32 GetMaximumRaw() const;
    Float32 GetMinimumDB() const;
    Float32 GetMaximumDB() const;

    SInt32 ConvertDBToRaw(Float32 inDB) const;
    Float32 ConvertRawToDB(SInt32 inRaw) const;
    Float32 ConvertRawToScalar(SInt32 inRaw) const;
    SInt32 ConvertScalarToRaw(Float32 inScalar) const;
    Float32 ConvertDBToScalar(Float32 inDB) const {
        return ConvertRawToScalar(ConvertDBToRaw(inDB));
    }
    Float32 ConvertScalarToDB(Float32 inScalar) const {
        return ConvertRawToDB(ConvertScalarToRaw(inScalar));
    }

private:
    bool Bends() const;

    std::map<CARawPoint, CADBPoint, CARawPointLess> mCurveMap;
    bool mIsApplyingTransferFunction = true;
    UInt32 mTransferFunction = 5;
    Float32 mRawToScalarExponentNumerator = 2.0f;
    Float32 mRawToScalarExponentDenominator = 1.0f;
};
