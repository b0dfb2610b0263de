// Timing of the device's audio thread: a smoothing filter over the host
// times at which buffers arrive, and the three time stamps (current, input,
// output) the IO procedures receive, with the sleep until the next buffer.
// All host times are ticks of the platform clock's time base.
//
// Used on the audio thread only, but for readCurrent, which any thread may
// call: the audio thread publishes what it reads after each change.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/coreaudio/CoreAudioTypes.h"

// Predicts the next buffer's host time; its period is a weighted mean of the
// last fifteen measured intervals (weights 1/4, 1/8, 1/8, four of 1/16,
// eight of 1/32).
struct Filter {
    int64_t d[15] = {};
    int64_t P = 0;
    int64_t T = 0;

    void init(int64_t period, int64_t value);
    // Feeds the measured value and returns the prediction for it (the
    // previous prediction advanced by the period), a smoothed value.
    int64_t get(int64_t sample);
};

class TimestampFilter {
public:
    void init(uint32_t rate, uint32_t frameSize, uint32_t inLatency, uint32_t outLatency);
    void initTiming(uint32_t rate, uint32_t frameSize);
    void prepare(uint32_t rate, uint32_t frameSize, uint32_t inLatency, uint32_t outLatency);
    uint64_t updateTimestamps(uint64_t hostTime, uint64_t readPos, uint64_t writePos);
    uint64_t calcSleepNanos(int32_t availableFrames, bool wasBufferSwitch);

    const AudioTimeStamp& currentTime() const { return mCurrent; }
    // The current time stamp with the host time of its update and the ticks
    // a frame, read whole from any thread (a reader that meets an update
    // under way reads again).
    void readCurrent(AudioTimeStamp& current, uint64_t& lastUpdate, uint64_t& ticksPerFrame) const;
    const AudioTimeStamp& inputTime() const { return mInput; }
    const AudioTimeStamp& outputTime() const { return mOutput; }
    uint64_t lastUpdate() const { return mLastUpdate; }
    uint64_t ticksPerFrame() const { return mTicksPerFrame; }
    uint64_t ticksPerBuffer() const { return mTicksPerBuffer; }
    uint64_t wakeOffset() const { return mWakeOffset; }
    uint64_t nextWake() const { return mNextWake; }
    uint64_t rate() const { return mRate; }
    uint64_t bufferSize() const { return mBufferSize; }
    uint64_t inputOffset() const { return mInOffset; }
    uint64_t outputOffset() const { return mOutOffset; }
    const Filter& filter() const { return mFilter; }
    // The filter starts over at the next update (a new attachment).
    void restart() {
        mStarted = false;
        mNextWake = 0;
    }

private:
    uint64_t ticksToNanos(uint64_t ticks) const;
    // Publishes mCurrent, mLastUpdate and mTicksPerFrame for readCurrent
    // (the audio thread is the only writer).
    void publish();

    AudioTimeStamp mCurrent{};
    AudioTimeStamp mInput{};
    AudioTimeStamp mOutput{};
    uint64_t mLastUpdate = 0;
    Filter mFilter;
    double mTicksPerSecond = 1e9;
    // The first update is marked by its own flag: host time 0 is a valid
    // reading on a clock that starts there.
    bool mStarted = false;
    uint64_t mFirstHostTime = 0;
    uint64_t mFirstReadPos = 0;
    uint64_t mNextWake = 0;
    uint64_t mTicksPerBuffer = 0;
    uint64_t mTicksPerFrame = 0;
    uint64_t mWakeOffset = 0;
    uint64_t mBufferNanos = 0;
    uint64_t mRate = 0;
    uint64_t mInOffset = 0;
    uint64_t mOutOffset = 0;
    uint64_t mBufferSize = 0;
    // What readCurrent reads: a sequence count, odd while an update is
    // under way, and the words of the time stamp, its update and the ticks
    // a frame.
    enum Word { kSample, kHost, kRateScalar, kFlags, kLastUpdate, kTicksPerFrame, kWords };
    std::atomic<uint64_t> mSequence{0};
    std::atomic<uint64_t> mPublished[kWords] = {};
};

// A rate the timing accepts: 8,000 to 384,000 Hz; anything else (0, or a
// wild value read from shared memory) is timed as 44,100.
uint32_t timingRate(uint64_t rate);
