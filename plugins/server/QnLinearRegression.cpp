// The drift fit. See QnLinearRegression.h.
#include "plugins/server/QnLinearRegression.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <syslog.h>

#include "libs/core/QnAtomic.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/sys/VectorOps.h"
#include "plugins/server/QnAudioServerProbes.h"

namespace {
constexpr SInt32 kSlopeWindow = 50;
constexpr SInt32 kInterceptWindow = 1000;
constexpr int kSlices = 50;
constexpr uint64_t kSliceNanos = 1000000;

long long msTime() {
    return (long long)(mach_absolute_time() / 1000000);
}
} // namespace

int64_t qnSaturateToInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return int64_t(v);
}

uint64_t qnSaturateToUInt64(double v) {
    if (std::isnan(v) || v <= 0.0) return 0;
    if (v >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
    return uint64_t(v);
}

// ---- Averaging window

void QnAverageEngine::reset(SInt32 inSize) {
    size = inSize < 1 ? 1 : (inSize > kCapacity ? kCapacity : inSize);
    count = 0;
    nextIndex = 0;
    std::memset(values, 0, sizeof values);
}

void QnAverageEngine::push(double inValue) {
    values[nextIndex % UInt64(size)] = inValue;
    ++nextIndex;
    if (count < size) ++count;
}

double QnAverageEngine::getMean() const {
    if (count == 0) return 0.0;
    double mean = 0.0;
    vDSP_meanvD(values, 1, &mean, vDSP_Length(count));
    return mean;
}

double QnAverageEngine::getStdDeviation() const {
    if (count == 0) return 0.0;
    double mean = 0.0, squares = 0.0;
    vDSP_meanvD(values, 1, &mean, vDSP_Length(count));
    vDSP_svesqD(values, 1, &squares, vDSP_Length(count));
    const double variance = squares / double(count) - mean * mean;
    return variance > 0.0 ? std::sqrt(variance) : 0.0;
}

// ---- The fit

QnLinearRegression::QnLinearRegression() : OSXUserThread(63) {
    mSlopeWindow.reset(kSlopeWindow);
    mInterceptWindow.reset(kInterceptWindow);
}

QnLinearRegression::~QnLinearRegression() {
    stopLRthread();
}

void QnLinearRegression::setDataFetcher(void* inContext, DataFetcher inFetcher) {
    mFetcherContext = inContext;
    mFetcher = inFetcher;
}

void QnLinearRegression::init(double inNominalSlope, double inNominalIntercept) {
    CAMutexLocker lock(mFitMutex);
    mNominalSlope = inNominalSlope;
    mNominalIntercept = inNominalIntercept;
    mStable = false;
    mSlopeWindow.reset(kSlopeWindow);
    mInterceptWindow.reset(kInterceptWindow);
}

void QnLinearRegression::CalcParams() {
    const vDSP_Length n = mCount > kMaxPairs ? kMaxPairs : mCount;
    if (n == 0) return;
    vDSP_meanvD(mSampleTimes, 1, &mMeanX, n);
    vDSP_meanvD(mHostTimes, 1, &mMeanY, n);
    const double minusX = -mMeanX, minusY = -mMeanY;
    vDSP_vsaddD(mSampleTimes, 1, &minusX, mDx, 1, n);
    vDSP_vsaddD(mHostTimes, 1, &minusY, mDy, 1, n);
    vDSP_svesqD(mDx, 1, &mSxx, n);
    vDSP_svesqD(mDy, 1, &mSyy, n);
    vDSP_dotprD(mDx, 1, mDy, 1, &mSxy, n);
    mSlope = mSxx != 0.0 ? mSxy / mSxx : 0.0;
    mIntercept = mMeanY - mSlope * mMeanX;
    if (mSxx != 0.0 && mSyy != 0.0) mCorrelation = mSxy / std::sqrt(mSxx * mSyy);
}

void QnLinearRegression::RemoveOutliers() {
    const UInt32 n = mCount > kMaxPairs ? kMaxPairs : mCount;
    for (UInt32 i = 0; i < n; ++i) {
        const double predicted = mSlope * mSampleTimes[i] + mIntercept;
        const double residual = mHostTimes[i] - predicted;
        if (residual != 0.0 && std::fabs(mHostTimes[i]) / residual < 20000000.0)
            mHostTimes[i] = predicted;
    }
}

void QnLinearRegression::getLRParameters(double& outSlope, double& outIntercept,
                                         double& outCorrelation) {
    CAMutexLocker lock(mFitMutex);
    outSlope = mSlope;
    outIntercept = mIntercept;
    outCorrelation = mCorrelation;
}

void QnLinearRegression::fitRound() {
    if (!mFetcher || !mFetcherContext) return;
    CAMutexLocker lock(mFitMutex);
    UInt32 count = 0;
    mFetcher(mFetcherContext, count, mSampleTimes, mHostTimes);
    mCount = count > kMaxPairs ? kMaxPairs : count;
    CalcParams();
    if (mCount >= kMinPairsForOutliers) {
        RemoveOutliers();
        CalcParams();
    }
    const double quality = std::log10(1.0 - mCorrelation);
    if (QNAUDIOSERVER_LRMONITOR_ENABLED())
        QNAUDIOSERVER_LRMONITOR(
            qnSaturateToInt64(mSlope * 1000.0), qnSaturateToInt64(mIntercept),
            qnSaturateToInt64(quality * 100.0), qnSaturateToInt64(mSlopeWindow.getMean()),
            qnSaturateToInt64(mInterceptWindow.getMean()), qnSaturateToInt64(mNominalSlope),
            qnSaturateToInt64(mNominalIntercept), mCount);
    const double sd = mSlopeWindow.getStdDeviation();
    const bool accepted = quality < -7.5 &&
                          std::fabs(mSlope - mNominalSlope) / mNominalSlope < 0.001 &&
                          mCount >= kMinPairsForOutliers;
    if (accepted) {
        mSlopeWindow.push(mSlope);
        mInterceptWindow.push(mIntercept);
    }
    mStable = accepted;
    if (sd < 1.0 && accepted) {
        mSlope = mSlopeWindow.getMean();
        mIntercept = mInterceptWindow.getMean();
    } else {
        mSlope = mNominalSlope;
    }
}

void* QnLinearRegression::threadRun() {
    mSemaphore.signal();
    if (atomicRead(&stopFlag)) {
        mSemaphore.signal();
        return nullptr;
    }
    for (;;) {
        fitRound();
        for (int slice = 0; slice < kSlices; ++slice) {
            if (atomicRead(&stopFlag)) {
                syslog(LOG_WARNING, "@%lld QnLR::threadRun exit at slice %d\n", msTime(), slice);
                mSemaphore.signal();
                return nullptr;
            }
            hx::clock::sleepFor(kSliceNanos);
        }
        if (atomicRead(&stopFlag)) {
            mSemaphore.signal();
            return nullptr;
        }
    }
}

bool QnLinearRegression::startLRThread() {
    if (mRunning) {
        syslog(LOG_ERR, "QnLR::startLRThread: already running!");
        return false;
    }
    mRunning = true;
    mStable = false;
    mSlopeWindow.reset(kSlopeWindow);
    mInterceptWindow.reset(kInterceptWindow);
    SetPriority(30);
    if (!mSemaphore.create()) {
        syslog(LOG_ERR, "QnLR::startLRThread: Could not create semaphore");
        return false;
    }
    if (!threadStart()) {
        syslog(LOG_ERR, "QnLR::startLRThread: Could not start thread");
        mSemaphore.close();
        return false;
    }
    mSemaphore.wait();
    return true;
}

void QnLinearRegression::stopLRthread() {
    if (!mRunning) return;
    // After a failed start there is no thread and no last signal: only the
    // flag is cleared.
    if (IsRunning()) {
        threadStop();
        mSemaphore.wait();
    }
    mSemaphore.close();
    mRunning = false;
}
