#include "platform/usb/devices/ChannelStream.h"

#include <algorithm>

namespace hx::usb::devices {

std::optional<uint32_t> ChannelRamp::counter(const uint32_t* samples, uint32_t channels) {
    const uint32_t first = (samples[0] - 1) & kMask;
    for (uint32_t c = 1; c < channels; ++c)
        if (samples[c] != sample(first, c)) return std::nullopt;
    return first;
}

void ChannelStream::setChannels(uint32_t ins, uint32_t outs) {
    mIns = std::max<uint32_t>(ins, 1);
    mOuts = std::max<uint32_t>(outs, 1);
    restart();
}

void ChannelStream::restart() {
    mClock.stop();
    mFifo.clear();
    mStats.playing = false;
    mStarted = false;
    mStats.fifoLevel = 0;
    mDeviceFrames = mCaptured = mPlayedTo = 0;
    mPlayed.assign(kLoopHistory * mOuts, 0);
    mExpected.reset();
    mRampSeen = false;
}

void ChannelStream::advance(uint32_t rate, uint64_t unit) {
    if (!mClock.running() || mClock.rate() != rate) {
        if (mClock.running()) restart();
        mClock.start(rate, mConfig.ppm, mConfig.jitterNanos, mConfig.seed, unit);
    }
    const uint64_t now = mClock.framesAt(unit);
    if (now <= mDeviceFrames) return;
    mDeviceFrames = now;
    play(now);
    const uint64_t pending = mDeviceFrames - mCaptured;
    if (mDropLeft && pending) {
        const uint64_t n = std::min<uint64_t>(mDropLeft, pending);
        mCaptured += n;
        mDropLeft -= (uint32_t)n;
        mStats.inFramesDropped += n;
    }
    if (mDeviceFrames - mCaptured > mConfig.captureCapacityFrames) {
        const uint64_t lost = mDeviceFrames - mCaptured - mConfig.captureCapacityFrames;
        mCaptured += lost;
        mStats.inFramesLost += lost;
    }
}

uint64_t ChannelStream::framesInPeriod(uint32_t rate, uint64_t unit, uint32_t periodUnits) {
    advance(rate, unit);
    const uint64_t end = mClock.framesAt(unit);
    return end - mClock.framesAt(unit >= periodUnits ? unit - periodUnits : 0);
}

void ChannelStream::takeCapture(uint32_t frames, uint32_t* out) {
    for (uint32_t i = 0; i < frames; ++i, ++mCaptured) {
        const uint64_t f = mCaptured;
        for (uint32_t c = 0; c < mIns; ++c) {
            uint32_t s = 0;
            if (mConfig.source == HX5100Source::Ramp) {
                s = ChannelRamp::sample(f, c);
            } else if (mConfig.source == HX5100Source::Loopback &&
                       f >= mConfig.loopbackDelayFrames) {
                const uint64_t src = f - mConfig.loopbackDelayFrames;
                if (src < mPlayedTo && mPlayedTo - src <= kLoopHistory)
                    s = mPlayed[(src % kLoopHistory) * mOuts + c % mOuts];
            }
            out[(size_t)i * mIns + c] = s;
        }
    }
    mStats.inFramesSent += frames;
}

uint64_t ChannelStream::fifoRoom() const {
    const uint64_t level = mFifo.size() / mOuts;
    return level >= mConfig.fifoCapacityFrames ? 0 : mConfig.fifoCapacityFrames - level;
}

void ChannelStream::queuePlayback(const uint32_t* samples, uint32_t frames) {
    sampleFifo();
    const uint64_t take = std::min<uint64_t>(frames, fifoRoom());
    mFifo.insert(mFifo.end(), samples, samples + take * mOuts);
    mStats.fifoOverflowFrames += frames - take;
    mStats.outFrames += frames;
    const uint64_t start = mConfig.fifoStartFrames ? mConfig.fifoStartFrames : 1;
    if (!mStats.playing && mFifo.size() / mOuts >= start) mStats.playing = true;
    sampleFifo();
}

void ChannelStream::sampleFifo() {
    const int64_t level = (int64_t)(mFifo.size() / mOuts);
    mStats.fifoLevel = level;
    if (mStats.fifoSamples++ == 0) {
        mStats.fifoMin = mStats.fifoMax = level;
        return;
    }
    mStats.fifoMin = std::min(mStats.fifoMin, level);
    mStats.fifoMax = std::max(mStats.fifoMax, level);
}

void ChannelStream::markFifoLock() {
    mStats.fifoLockLevel = (int64_t)(mFifo.size() / mOuts);
    mStats.fifoSamples = 0;
    sampleFifo();
}

void ChannelStream::check(const uint32_t* frame) {
    ++mStats.playedFrames;
    if (std::all_of(frame, frame + mOuts, [](uint32_t s) { return s == 0; })) {
        ++mStats.silentFrames;
        if (mRampSeen) ++mStats.dropouts;
        return;
    }
    const std::optional<uint32_t> counter = ChannelRamp::counter(frame, mOuts);
    if (!counter) {
        ++mStats.corruptFrames;
        mExpected.reset();
        return;
    }
    ++mStats.rampFrames;
    mRampSeen = true;
    if (mExpected && *counter != *mExpected) ++mStats.discontinuities;
    mExpected = (*counter + 1) & ChannelRamp::kMask;
}

void ChannelStream::play(uint64_t upTo) {
    std::vector<uint32_t> frame(mOuts);
    for (uint64_t j = mPlayedTo; j < upTo; ++j) {
        std::fill(frame.begin(), frame.end(), 0);
        if (mStats.playing && mFifo.size() >= mOuts) {
            std::copy_n(mFifo.begin(), mOuts, frame.begin());
            mFifo.erase(mFifo.begin(), mFifo.begin() + mOuts);
            mStarted = true;
        } else if (mStarted) {
            // Run dry: silence until the FIFO holds its start level again.
            ++mStats.fifoUnderrunFrames;
            mStats.playing = false;
        }
        if (mStarted) check(frame.data());
        std::copy(frame.begin(), frame.end(), mPlayed.begin() + (j % kLoopHistory) * mOuts);
    }
    mPlayedTo = upTo;
    mStats.fifoLevel = (int64_t)(mFifo.size() / mOuts);
}

} // namespace hx::usb::devices
