// The stamp thread. See QnASZeroTimeStamp.h.
#include "plugins/server/QnASZeroTimeStamp.h"

#include <cmath>
#include <syslog.h>

#include "libs/core/QnAtomic.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "plugins/server/QnAudioServerProbes.h"

namespace {
constexpr uint64_t kSliceTicks = 1000000;

long long msTime() {
    return (long long)(mach_absolute_time() / 1000000);
}

void sleepUntilTicks(UInt64 ticks) {
    uint64_t ns = 0;
    absolutetime_to_nanoseconds(ticks, &ns);
    hx::clock::sleepUntil(ns);
}
} // namespace

QnASZeroTimeStamp::QnASZeroTimeStamp() : OSXUserThread(63) {
    mach_timebase_info_data_t tb{};
    mach_timebase_info(&tb);
    mTicksPerSecond = tb.numer ? double(tb.denom) * 1000000000.0 / double(tb.numer) : 1e9;
}

QnASZeroTimeStamp::~QnASZeroTimeStamp() {
    Stop();
    mFit.stopLRthread();
}

bool QnASZeroTimeStamp::Init(UInt32 inSampleRate, AudioSM* inRing) {
    mRing = inRing;
    if (inSampleRate == 0) {
        syslog(LOG_ERR, "QnASZeroTimeStamp::Init: Samplerate null, forcing to 44100");
        inSampleRate = 44100;
    }
    mSampleRate = inSampleRate;
    mTicksPerFrame = mTicksPerSecond / mSampleRate;
    mTicksPerCycle = qnSaturateToUInt64(std::trunc(mTicksPerFrame)) * kFramesPerCycle;
    mFit.stopLRthread();
    hx::clock::sleepFor(100000000);
    mFit.setDataFetcher(mFetcherContext, mFetcher);
    mFit.init(mTicksPerFrame, 0.0);
    mFit.startLRThread();
    CAMutexLocker lock(mStampMutex);
    mZeroSampleTime = 0.0;
    mZeroHostTime = mCumulatedNextHostTime = mStartHostTime;
    return true;
}

bool QnASZeroTimeStamp::Start(UInt32 inStartSampleOffset, UInt64 inHostTime) {
    mStartSampleOffset = inStartSampleOffset;
    {
        CAMutexLocker lock(mStampMutex);
        mStartHostTime = mZeroHostTime = mCumulatedNextHostTime = inHostTime;
        mZeroSampleTime = 0.0;
        mCycleCount = 0;
    }
    if (!mSemaphore.create()) {
        syslog(LOG_ERR, "QnASZeroTimeStamp::Start: Could not create semaphore");
        return false;
    }
    if (!threadStart()) {
        syslog(LOG_ERR, "QnASZeroTimeStamp::Start: Could not start thread");
        mSemaphore.close();
        return false;
    }
    mStarted = true;
    mSemaphore.wait();
    return true;
}

void QnASZeroTimeStamp::Stop() {
    // After a failed or missing start nothing runs: only the flag goes.
    if (!mStarted) return;
    threadStop();
    mSemaphore.wait();
    mSemaphore.close();
    mStarted = false;
}

void QnASZeroTimeStamp::GetZeroTimeStamp(double& outSampleTime, UInt64& outHostTime,
                                         UInt64& outSeed) {
    CAMutexLocker lock(mStampMutex);
    outSampleTime = mZeroSampleTime;
    outHostTime = mZeroHostTime;
    outSeed = 0;
}

bool QnASZeroTimeStamp::GetFromKernel(double& outSampleTime, UInt64& outHostTime) {
    if (!mRing) {
        syslog(LOG_ERR, "QnASZeroTimeStamp: No shared memory\n");
        outSampleTime = 0.0;
        outHostTime = mach_absolute_time();
        return false;
    }
    const char* host = AUDIOSM_CAT(mRing, AudioSM, mZeroHostTime);
    const char* sample = AUDIOSM_CAT(mRing, AudioSM, mZeroSampleTime);
    uint64_t h1, s1, h2, s2;
    // A writer publishing meanwhile makes the reads disagree; bounded so a
    // scribbled ring cannot hold the caller.
    for (int attempt = 0; attempt < 64; ++attempt) {
        h1 = audiosm::load64(host, __ATOMIC_ACQUIRE);
        s1 = audiosm::load64(sample, __ATOMIC_ACQUIRE);
        h2 = audiosm::load64(host, __ATOMIC_ACQUIRE);
        s2 = audiosm::load64(sample, __ATOMIC_ACQUIRE);
        if (h1 == h2 && s1 == s2) break;
    }
    outSampleTime = double(s2);
    outHostTime = h2;
    return true;
}

bool QnASZeroTimeStamp::sleepTowards(UInt64 target, int64_t slices) {
    do {
        if (atomicRead(&stopFlag)) {
            syslog(LOG_WARNING, "@%lld QnASZeroTimeStamp::threadRun exit at slice %lld\n", msTime(),
                   (long long)slices);
            return false;
        }
        hx::clock::sleepFor(1000000);
    } while (mach_absolute_time() + kSliceTicks < target);
    return true;
}

bool QnASZeroTimeStamp::cycle() {
    const UInt64 now = mach_absolute_time();
    double slope = 0.0, intercept = 0.0, correlation = 0.0;
    mFit.getLRParameters(slope, intercept, correlation);
    mTicksPerFrame = slope;
    mTicksPerCycle = qnSaturateToUInt64(std::trunc(double(kFramesPerCycle) * slope));
    mEvaluatedNextHostTime = qnSaturateToUInt64(std::trunc(
        (double(mStartSampleOffset) + double(mCycleCount + 1) * double(kFramesPerCycle)) * slope +
        intercept));
    mCumulatedNextHostTime += mTicksPerCycle;
    UInt64 target = mCumulatedNextHostTime;
    if (mFit.isStable()) {
        mDifference = SInt64(mCumulatedNextHostTime - mEvaluatedNextHostTime);
        if (mPreviousDifference == 0) mPreviousDifference = mDifference;
        mAccumulatedDifference += mDifference - mPreviousDifference;
        mPreviousDifference = mDifference;
    } else {
        syslog(LOG_WARNING,
               "%lld QnASZeroTimeStamp::threadRun stabilizing (%.1f) Measured SR %.2f Hz Measured "
               "HTPF  %.2f Cycle %llu\n",
               msTime(), std::log10(1.0 - correlation), slope != 0.0 ? 1000000000.0 / slope : 0.0,
               slope, (unsigned long long)mCycleCount);
    }
    if (const UInt32 request = mCorrectionRequest.load(std::memory_order_relaxed)) {
        const double factor = request == 1 ? 0.0002 : -0.0004;
        const SInt64 correction = qnSaturateToInt64(std::trunc(double(mTicksPerCycle) * factor));
        target += UInt64(correction);
        if (QNAUDIOSERVER_DRIFTCORRECTIONMONITOR_ENABLED())
            QNAUDIOSERVER_DRIFTCORRECTIONMONITOR(
                mCycleCount, mTicksPerCycle, target - mZeroHostTime, mEvaluatedNextHostTime,
                mAccumulatedDifference, int64_t(int32_t(uint32_t(correction))),
                slope != 0.0 ? qnSaturateToInt64(std::trunc(1e13 / slope)) : 0);
        mCorrectionRequest = 0;
        mAccumulatedDifference -= correction;
    }
    const SInt64 delta = SInt64(target - now);
    const int64_t slices = delta / 1000000;
    if (delta >= kPanicTicks) {
        syslog(LOG_ERR,
               "@%lld QnASZeroTimeStamp::threadRun exit num slices too high, PANIC!!! (%lld) \n",
               msTime(), (long long)slices);
        return false;
    }
    if (delta > -1000000) {
        if (!sleepTowards(target, slices)) return false;
    } else {
        syslog(LOG_WARNING, "@%lld QnASZeroTimeStamp::threadRun num slices negative!!! (%lld)\n",
               msTime(), (long long)slices);
        syslog(LOG_WARNING,
               "QnASZeroTimeStamp::threadRun nzhtCumul %llu nzhtEval %llu \xE2\x88\x86 %lld now "
               "%llu wac %lld\n",
               (unsigned long long)mCumulatedNextHostTime,
               (unsigned long long)mEvaluatedNextHostTime,
               (long long)(mCumulatedNextHostTime - mEvaluatedNextHostTime),
               (unsigned long long)now, (long long)mCycleCount);
    }
    if (!atomicRead(&stopFlag) && mach_absolute_time() < target) sleepUntilTicks(target);
    {
        CAMutexLocker lock(mStampMutex);
        ++mCycleCount;
        mZeroSampleTime = double(mCycleCount * kFramesPerCycle);
        mZeroHostTime = target;
    }
    return !atomicRead(&stopFlag);
}

void* QnASZeroTimeStamp::threadRun() {
    mSemaphore.signal();
    mAccumulatedDifference = 0;
    if (atomicRead(&stopFlag)) {
        mSemaphore.signal();
        return nullptr;
    }
    while (cycle()) {
    }
    mSemaphore.signal();
    return nullptr;
}
