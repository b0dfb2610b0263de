// Zero time stamps from the fitted clock ratio: once per period of 16,384
// frames the stamp thread computes the host time of the next period
// boundary from the fit's ticks per frame, sleeps until then and publishes
// (k x 16,384, that host time). It owns its fit (QnLinearRegression) and
// hands it the data fetcher given to Init.
//
// Nothing owns or starts one yet: the device answers the host's zero-stamp
// calls from the kernel's ring.
#pragma once

#include <cstdint>

#include "abi/AudioSM.h"
#include "libs/tools/OSXUserThread.h"
#include "libs/tools/Semaphore.h"
#include "platform/base/MacTypes.h"
#include "plugins/server/CAMutex.h"
#include "plugins/server/QnLinearRegression.h"

class QnASZeroTimeStamp : public OSXUserThread {
public:
    static constexpr UInt64 kFramesPerCycle = 16384;
    static constexpr int64_t kPanicTicks = 100001000000LL;

    QnASZeroTimeStamp();
    ~QnASZeroTimeStamp() override;

    void* threadRun() override;

    // The fetcher goes to the fit with Init.
    void setDataFetcher(void* inContext, QnLinearRegression::DataFetcher inFetcher) {
        mFetcherContext = inContext;
        mFetcher = inFetcher;
    }
    bool Init(UInt32 inSampleRate, AudioSM* inRing);
    bool Start(UInt32 inStartSampleOffset, UInt64 inHostTime);
    void Stop();
    void GetZeroTimeStamp(double& outSampleTime, UInt64& outHostTime, UInt64& outSeed);
    bool GetFromKernel(double& outSampleTime, UInt64& outHostTime);

    // Asks the next cycle for a drift correction (1: +0.02 %, else -0.04 %).
    void requestCorrection(UInt32 inRequest) { mCorrectionRequest = inRequest; }

    double ticksPerFrame() const { return mTicksPerFrame; }
    UInt64 ticksPerCycle() const { return mTicksPerCycle; }
    double sampleRate() const { return mSampleRate; }
    double ticksPerSecond() const { return mTicksPerSecond; }
    QnLinearRegression& fit() { return mFit; }

private:
    UInt64 mTicksPerCycle = 0;
    double mTicksPerFrame = 0.0;
    double mZeroSampleTime = 0.0;
    UInt64 mZeroHostTime = 0;
    UInt64 mCumulatedNextHostTime = 0;
    UInt64 mEvaluatedNextHostTime = 0;
    SInt64 mDifference = 0;
    SInt64 mPreviousDifference = 0;
    SInt64 mAccumulatedDifference = 0;
    UInt64 mCycleCount = 0;
    UInt64 mStartHostTime = 0;
    UInt32 mStartSampleOffset = 0;
    double mTicksPerSecond = 0.0;
    UInt64 mFramesPerCycle = kFramesPerCycle;
    double mSampleRate = 0.0;
    QnLinearRegression mFit;
    Semaphore mSemaphore;
    CAMutex mStampMutex{"Device IO"};
    AudioSM* mRing = nullptr;
    void* mFetcherContext = nullptr;
    QnLinearRegression::DataFetcher mFetcher = nullptr;
    std::atomic<UInt32> mCorrectionRequest{0};
    bool mStarted = false;

    // One cycle; false when the thread must end (its last signal given).
    bool cycle();
    bool sleepTowards(UInt64 target, int64_t slices);
};
