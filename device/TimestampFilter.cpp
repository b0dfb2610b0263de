#include "device/TimestampFilter.h"

#include <syslog.h>

#include <cstring>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

namespace {

constexpr uint32_t kTimeStampFlags =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
constexpr uint64_t kNoWakeYetNanos = 500000;
constexpr uint64_t kOverloadNanos = 100000;

void stamp(AudioTimeStamp& t, double sample, uint64_t host) {
    t = AudioTimeStamp{};
    t.mSampleTime = sample;
    t.mHostTime = host;
    t.mRateScalar = 1.0;
    t.mFlags = kTimeStampFlags;
}

} // namespace

uint32_t timingRate(uint64_t rate) {
    constexpr uint64_t kMin = 8000, kMax = 384000;
    return rate >= kMin && rate <= kMax ? uint32_t(rate) : 44100;
}

void Filter::init(int64_t period, int64_t value) {
    P = value;
    T = period;
    d[0] = period >> 2;
    d[1] = d[2] = period >> 3;
    for (int i = 3; i <= 6; ++i)
        d[i] = period >> 4;
    for (int i = 7; i <= 14; ++i)
        d[i] = period >> 5;
}

int64_t Filter::get(int64_t sample) {
    const int64_t e = sample - P;
    P = P + T;
    for (int i = 14; i >= 8; --i)
        d[i] = d[i - 1];
    d[7] = d[6] >> 1;
    for (int i = 6; i >= 4; --i)
        d[i] = d[i - 1];
    d[3] = d[2] >> 1;
    d[2] = d[1];
    d[1] = d[0] >> 1;
    d[0] = e >> 2;
    int64_t sum = 0;
    for (int64_t w : d)
        sum += w;
    T = sum < 0 ? 0 : sum;
    return P;
}

uint64_t TimestampFilter::ticksToNanos(uint64_t ticks) const {
    return hx::clock::ticksToNanos(ticks);
}

void TimestampFilter::init(uint32_t rate, uint32_t frameSize, uint32_t inLatency,
                           uint32_t outLatency) {
    mach_timebase_info_data_t tb{1, 1};
    mach_timebase_info(&tb);
    mTicksPerSecond = 1e9 * double(tb.denom ? tb.denom : 1) / double(tb.numer ? tb.numer : 1);
    mStarted = false;
    mFirstHostTime = 0;
    mInOffset = uint64_t(frameSize) + inLatency;
    mOutOffset = uint64_t(frameSize) + outLatency;
    initTiming(rate, frameSize);
    mNextWake = 0;
}

void TimestampFilter::initTiming(uint32_t rate, uint32_t frameSize) {
    mBufferSize = frameSize;
    mRate = timingRate(rate);
    mTicksPerFrame = uint64_t(mTicksPerSecond / double(mRate));
    mTicksPerBuffer = uint64_t(mTicksPerSecond * double(frameSize) / double(mRate));
    mWakeOffset = uint64_t(0.8 * double(mTicksPerBuffer));
    mBufferNanos = ticksToNanos(mTicksPerBuffer);
    publish();
}

namespace {

uint64_t doubleBits(double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

double bitsDouble(uint64_t bits) {
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

} // namespace

void TimestampFilter::publish() {
    const uint64_t sequence = mSequence.load(std::memory_order_relaxed);
    mSequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    const uint64_t words[kWords] = {doubleBits(mCurrent.mSampleTime),
                                    mCurrent.mHostTime,
                                    doubleBits(mCurrent.mRateScalar),
                                    mCurrent.mFlags,
                                    mLastUpdate,
                                    mTicksPerFrame};
    for (int i = 0; i < kWords; ++i)
        mPublished[i].store(words[i], std::memory_order_relaxed);
    mSequence.store(sequence + 2, std::memory_order_release);
}

void TimestampFilter::readCurrent(AudioTimeStamp& current, uint64_t& lastUpdate,
                                  uint64_t& ticksPerFrame) const {
    uint64_t words[kWords];
    for (;;) {
        const uint64_t before = mSequence.load(std::memory_order_acquire);
        for (int i = 0; i < kWords; ++i)
            words[i] = mPublished[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) == 0 && mSequence.load(std::memory_order_relaxed) == before) break;
    }
    current = AudioTimeStamp{};
    current.mSampleTime = bitsDouble(words[kSample]);
    current.mHostTime = words[kHost];
    current.mRateScalar = bitsDouble(words[kRateScalar]);
    current.mFlags = UInt32(words[kFlags]);
    lastUpdate = words[kLastUpdate];
    ticksPerFrame = words[kTicksPerFrame];
}

void TimestampFilter::prepare(uint32_t rate, uint32_t frameSize, uint32_t inLatency,
                              uint32_t outLatency) {
    if (timingRate(rate) == mRate && frameSize == mBufferSize) return;
    initTiming(rate, frameSize);
    const int64_t x = int64_t(uint64_t(frameSize) + inLatency) - int64_t(mInOffset);
    mInput.mSampleTime -= double(x);
    mOutput.mSampleTime +=
        double(int64_t(uint64_t(frameSize) + outLatency) - int64_t(mOutOffset) + x);
    mInOffset = uint64_t(frameSize) + inLatency;
    mOutOffset = uint64_t(frameSize) + outLatency;
    const int64_t keep = mFilter.P;
    mFilter.init(int64_t(mTicksPerBuffer), keep);
}

uint64_t TimestampFilter::updateTimestamps(uint64_t hostTime, uint64_t readPos, uint64_t writePos) {
    if (!mStarted) {
        mStarted = true;
        mFirstHostTime = hostTime;
        mFirstReadPos = readPos;
        stamp(mCurrent, double(mInOffset), hostTime + mInOffset * mTicksPerFrame);
        stamp(mInput, 0.0, hostTime);
        stamp(mOutput, double(mInOffset + mOutOffset),
              hostTime + (mInOffset + mOutOffset) * mTicksPerFrame);
        mFilter.init(int64_t(mTicksPerBuffer), int64_t(hostTime));
    } else {
        const uint64_t f = uint64_t(mFilter.get(int64_t(hostTime)));
        stamp(mInput, mInput.mSampleTime + double(mBufferSize), f);
        stamp(mOutput, mOutput.mSampleTime + double(mBufferSize),
              f + (mInOffset + mOutOffset) * mTicksPerFrame);
        stamp(mCurrent, double(int64_t(writePos - mFirstReadPos)),
              f + (writePos - readPos) * mTicksPerFrame);
    }
    const uint64_t now = mach_absolute_time();
    mLastUpdate = now;
    mNextWake = now + mWakeOffset;
    publish();
    return now;
}

uint64_t TimestampFilter::calcSleepNanos(int32_t available, bool wasBufferSwitch) {
    if (mNextWake == 0) return kNoWakeYetNanos;
    const uint64_t now = mach_absolute_time();
    if (available < int64_t(mBufferSize)) {
        uint64_t target = now + uint64_t(int64_t(mBufferSize) - available) * mTicksPerFrame;
        if (target < mNextWake) target = mNextWake;
        if (now < target) return ticksToNanos(target - now);
        syslog(LOG_ALERT,
               "TimestampFilter::calcSleepNanos -> detected application caused overload (2)\n");
        return kOverloadNanos;
    }
    if (!wasBufferSwitch) {
        syslog(
            LOG_ALERT,
            "ALERT TimestampFilter::calcSleepNanos nAvailableFrames(%d) >= mBufferSize(%d) while "
            "!bWasBufferswitch\n",
            int(available), int(mBufferSize));
        return 0;
    }
    if (mNextWake > now) return ticksToNanos(mNextWake - now);
    syslog(LOG_ALERT,
           "TimestampFilter::calcSleepNanos -> detected application caused overload (1)\n");
    return kOverloadNanos;
}
