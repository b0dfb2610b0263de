// A fitted clock ratio between sample time and host time: every 50 ms the
// fit thread takes the kernel's recent (sample time, host time) pairs from
// a data fetcher, fits host = slope x sample + intercept by least squares,
// replaces outliers and fits again, and publishes either the average of its
// accepted fits or the nominal slope with this round's intercept.
//
// Nothing owns one yet: the device's lrDataProvider has the fetcher's form.
#pragma once

#include <cstdint>

#include "libs/tools/OSXUserThread.h"
#include "libs/tools/Semaphore.h"
#include "platform/base/MacTypes.h"
#include "plugins/server/CAMutex.h"

// A fixed window of the last `size` values.
struct QnAverageEngine {
    static constexpr SInt32 kCapacity = 4000;

    SInt32 size = 0;
    SInt32 count = 0;
    double values[kCapacity] = {};
    UInt64 nextIndex = 0;

    void reset(SInt32 inSize);
    void push(double inValue);
    double getMean() const; // 0 for an empty window
    double getStdDeviation() const;
};

// Saturating conversions of the fit's doubles (NaN gives 0).
int64_t qnSaturateToInt64(double v);
uint64_t qnSaturateToUInt64(double v);

class QnLinearRegression : public OSXUserThread {
public:
    static constexpr UInt32 kMaxPairs = 1000;
    static constexpr UInt32 kMinPairsForOutliers = 51;
    // Writes at most 1,000 pairs, oldest first, and their count.
    typedef void (*DataFetcher)(void* context, UInt32& count, double* sampleTimes,
                                double* hostTimes);

    QnLinearRegression();
    ~QnLinearRegression() override;

    void* threadRun() override;

    void setDataFetcher(void* inContext, DataFetcher inFetcher);
    void init(double inNominalSlope, double inNominalIntercept);
    void update() { CalcParams(); }
    void CalcParams();
    void RemoveOutliers();
    void getLRParameters(double& outSlope, double& outIntercept, double& outCorrelation);
    bool startLRThread();
    void stopLRthread();

    // One round of the fit thread without its sleeps: fetch, fit, test and
    // publish (the thread runs it every 50 ms).
    void fitRound();

    bool isStable() const { return mStable.load(std::memory_order_relaxed); }
    bool isRunning() const { return mRunning; }
    UInt32 getCount() const { return mCount; }
    const QnAverageEngine& slopeWindow() const { return mSlopeWindow; }
    const QnAverageEngine& interceptWindow() const { return mInterceptWindow; }

private:
    CAMutex mFitMutex{"mLRThreadMutex"};
    Semaphore mSemaphore;
    double mSampleTimes[kMaxPairs] = {};
    double mHostTimes[kMaxPairs] = {};
    double mNominalSlope = 0.0;
    double mNominalIntercept = 0.0;
    bool mRunning = false;
    QnAverageEngine mSlopeWindow;
    QnAverageEngine mInterceptWindow;
    void* mFetcherContext = nullptr;
    DataFetcher mFetcher = nullptr;
    UInt32 mCount = 0;
    double mSlope = 0.0;
    double mIntercept = 0.0;
    double mCorrelation = 0.0;
    // Read by the stamp thread without the fit mutex.
    std::atomic<bool> mStable{false};
    double mMeanX = 0.0, mMeanY = 0.0;
    double mDx[kMaxPairs] = {};
    double mDy[kMaxPairs] = {};
    double mSxx = 0.0, mSyy = 0.0, mSxy = 0.0;
};
