#include "platform/usb/devices/HX5100Stream.h"

#include <algorithm>

namespace hx::usb::devices {

namespace {

uint64_t mix64(uint64_t x) { // splitmix64: a reproducible jitter sequence
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

} // namespace

// ---- SampleClock

void SampleClock::start(uint32_t rate, int32_t ppm, uint32_t jitterNanos, uint64_t seed,
                        uint64_t origin) {
    mRunning = true;
    mRate = rate;
    // Frames per 125 us = rate x (1 + ppm / 10^6) x 125 / 10^6, in units of
    // 10^-12 frame: rate x (10^6 + ppm) x 125. At 192 kHz that is 2.4e13,
    // far inside 63 bits.
    mPerUnit = (int64_t)rate * (1000000 + (int64_t)ppm) * 125;
    // One ns of shift moves the count by rate x (1 + ppm/10^6) / 10^9 frames.
    mJitterScale = (int64_t)rate * (1000000 + (int64_t)ppm) / 1000;
    mJitterNanos = jitterNanos;
    mSeed = seed;
    mOrigin = origin;
    mUnit = origin;
    mWhole = 0;
    mFraction = 0;
    mCountsEnd = origin;
}

int64_t SampleClock::jitterUnits(uint64_t unit) const {
    if (mJitterNanos == 0 || unit == mOrigin) return 0;
    const uint64_t span = 2ull * mJitterNanos + 1;
    const int64_t ns = (int64_t)(mix64(mSeed ^ unit) % span) - (int64_t)mJitterNanos;
    return ns * mJitterScale;
}

uint64_t SampleClock::framesAt(uint64_t unit) {
    if (!mRunning || unit <= mOrigin) return 0;
    if (unit < mCountsEnd) {
        // Recent units are kept; older ones report the oldest kept count.
        const uint64_t oldest = mCountsEnd > kHistory ? mCountsEnd - kHistory : mOrigin;
        return mCounts[std::max(unit, oldest) % kHistory];
    }
    uint64_t previous = mCountsEnd > mOrigin ? mCounts[(mCountsEnd - 1) % kHistory] : 0;
    for (uint64_t u = mCountsEnd; u <= unit; ++u) {
        // The accumulator advanced to u in one step: whole frames and a
        // remainder below one frame.
        const __int128 total = (__int128)mFraction + (__int128)(u - mUnit) * mPerUnit;
        mWhole += (uint64_t)(total / kUnitsPerFrame);
        mFraction = (int64_t)(total % kUnitsPerFrame);
        mUnit = u;
        // Jitter shifts the boundary, never the accumulator, so it cannot
        // drift; counts never go back.
        const int64_t shifted =
            (int64_t)mWhole + floorDiv(mFraction + jitterUnits(u), kUnitsPerFrame);
        const uint64_t count =
            std::max<uint64_t>(previous, (uint64_t)std::max<int64_t>(shifted, 0));
        mCounts[u % kHistory] = count;
        previous = count;
    }
    mCountsEnd = unit + 1;
    return mCounts[unit % kHistory];
}

// ---- HX5100Stream

void HX5100Stream::restart() {
    mClock.stop();
    mFifo.clear();
    mStats.playing = false;
    mStats.fifoLevel = 0;
    mPlayedTo = 0;
    mInFramesTo = 0;
    mDeviceFrames = 0;
    mExpected.reset();
    mRampSeen = false;
}

void HX5100Stream::setWireFormat(uint32_t inSampleBytes, uint32_t outSampleBytes) {
    const uint32_t in = inSampleBytes ? inSampleBytes : mInSampleBytes;
    const uint32_t out = outSampleBytes ? outSampleBytes : mOutSampleBytes;
    if (in == mInSampleBytes && out == mOutSampleBytes) return;
    mInSampleBytes = in;
    mOutSampleBytes = out;
    restart();
}

void HX5100Stream::ensureClock(uint32_t rate, uint64_t unit, uint32_t periodUnits) {
    if (mClock.running() && mClock.rate() == rate) return;
    if (mClock.running()) restart();
    // The clock starts one period before the first packet, so the first
    // packet carries a full period's frames.
    mClock.start(rate, mConfig.ppm, mConfig.jitterNanos, mConfig.seed,
                 unit >= periodUnits ? unit - periodUnits : 0);
}

void HX5100Stream::check(const uint32_t* frame) {
    ++mStats.playedFrames;
    if (frame[0] == 0 && frame[1] == 0) {
        ++mStats.silentFrames;
        if (mRampSeen) ++mStats.dropouts;
        return;
    }
    const bool narrow = mOutSampleBytes == 2;
    const std::optional<uint32_t> counter = narrow ? Ramp16::counter(frame) : Ramp::counter(frame);
    if (!counter) {
        ++mStats.corruptFrames;
        mExpected.reset();
        return;
    }
    ++mStats.rampFrames;
    mRampSeen = true;
    if (mExpected && *counter != *mExpected) ++mStats.discontinuities;
    mExpected = (*counter + 1) & (narrow ? Ramp16::kMask : Ramp::kMask);
}

void HX5100Stream::play(uint64_t upTo) {
    for (uint64_t j = mPlayedTo; j < upTo; ++j) {
        std::array<uint32_t, kHX5100Channels> frame{};
        if (mStats.playing) {
            const uint64_t nth = mStats.playedFrames + 1;
            if (nth == mConfig.dropFrameAt && mFifo.size() > 1) {
                mFifo.pop_front();
                ++mStats.framesDropped;
            }
            if (!mFifo.empty()) {
                frame = mFifo.front();
                if (nth == mConfig.repeatFrameAt)
                    ++mStats.framesRepeated;
                else
                    mFifo.pop_front();
            } else {
                ++mStats.fifoUnderrunFrames;
            }
            check(frame.data());
        }
        mPlayed[j % kLoopHistory] = frame;
    }
    mPlayedTo = std::max(mPlayedTo, upTo);
    mDeviceFrames = std::max(mDeviceFrames, upTo);
    mStats.fifoLevel = (int64_t)mFifo.size();
}

uint32_t HX5100Stream::packetIn(uint32_t rate, uint64_t unit, uint32_t periodUnits, uint8_t* data,
                                uint32_t capacity) {
    ensureClock(rate, unit, periodUnits);
    const uint64_t from = mClock.framesAt(unit - periodUnits);
    const uint64_t to = mClock.framesAt(unit);
    play(to); // loopback reads what the converter played
    if (from > mInFramesTo) mStats.inFramesLost += from - mInFramesTo;
    mInFramesTo = std::max(mInFramesTo, to);
    uint64_t frames = to - from;
    const bool narrow = mInSampleBytes == 2;
    const uint32_t bytesPerFrame = kHX5100Channels * mInSampleBytes;
    uint64_t room = capacity / bytesPerFrame;
    if (mOffSizeLeft) {
        --mOffSizeLeft;
        room = std::min<uint64_t>(room, mOffSizeFrames);
    }
    if (frames > room) {
        mStats.inFramesLost += frames - room;
        frames = room;
    }
    const uint64_t delay = mConfig.loopbackDelayFrames ? mConfig.loopbackDelayFrames : 1;
    for (uint64_t i = 0; i < frames; ++i) {
        const uint64_t j = from + i;
        uint32_t s[kHX5100Channels] = {};
        if (mConfig.source == HX5100Source::Ramp) {
            for (uint32_t c = 0; c < kHX5100Channels; ++c)
                s[c] = narrow ? Ramp16::sample(j, c) : Ramp::sample(j, c);
        } else if (mConfig.source == HX5100Source::Loopback && j >= delay &&
                   j - delay + kLoopHistory > mPlayedTo) {
            const auto& played = mPlayed[(j - delay) % kLoopHistory];
            std::copy(played.begin(), played.end(), s);
        }
        uint8_t* p = data + i * bytesPerFrame;
        for (uint32_t c = 0; c < kHX5100Channels; ++c) {
            if (narrow) {
                p[2 * c] = (uint8_t)(s[c] >> 8);
                p[2 * c + 1] = (uint8_t)(s[c] >> 16);
            } else {
                put24(p + 3 * c, s[c]);
            }
        }
    }
    ++mStats.inPackets;
    mStats.inFramesSent += frames;
    return (uint32_t)(frames * bytesPerFrame);
}

void HX5100Stream::packetOut(uint32_t rate, uint64_t unit, uint32_t periodUnits,
                             const uint8_t* data, uint32_t length) {
    ensureClock(rate, unit, periodUnits);
    play(mClock.framesAt(unit));
    sampleFifo();
    ++mStats.outPackets;
    const bool narrow = mOutSampleBytes == 2;
    const uint32_t bytesPerFrame = kHX5100Channels * mOutSampleBytes;
    const uint32_t frames = length / bytesPerFrame;
    if (length % bytesPerFrame) ++mStats.outMisaligned;
    if (length == 0) {
        ++mStats.outEmpty;
    } else {
        // The device's own count for such a period, with the slack the host
        // may take (2 frames on a 1 ms frame, 1 on a microframe).
        const uint64_t scaled = (uint64_t)rate * periodUnits;
        const uint64_t low = scaled / 8000, high = (scaled + 7999) / 8000;
        const uint64_t slack = periodUnits >= 8 ? 2 : 1;
        if (frames + slack < low || frames > high + slack) ++mStats.outSizeAnomalies;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        if (mFifo.size() >= mConfig.fifoCapacityFrames) {
            mStats.fifoOverflowFrames += frames - i;
            break;
        }
        const uint8_t* p = data + i * bytesPerFrame;
        std::array<uint32_t, kHX5100Channels> frame{};
        for (uint32_t c = 0; c < kHX5100Channels; ++c)
            frame[c] = narrow ? (uint32_t)(p[2 * c] | p[2 * c + 1] << 8) << 8 : get24(p + 3 * c);
        mFifo.push_back(frame);
    }
    mStats.outFrames += frames;
    const uint32_t startLevel =
        mConfig.fifoStartFrames ? mConfig.fifoStartFrames : std::max<uint32_t>(rate / 500, 1);
    if (!mStats.playing && mFifo.size() >= startLevel) {
        mStats.playing = true;
        mStats.fifoMin = mStats.fifoMax = (int64_t)mFifo.size();
        mStats.fifoSamples = 0;
    }
    sampleFifo();
}

void HX5100Stream::sampleFifo() {
    mStats.fifoLevel = (int64_t)mFifo.size();
    if (!mStats.playing) return;
    mStats.fifoMin =
        mStats.fifoSamples ? std::min(mStats.fifoMin, mStats.fifoLevel) : mStats.fifoLevel;
    mStats.fifoMax =
        mStats.fifoSamples ? std::max(mStats.fifoMax, mStats.fifoLevel) : mStats.fifoLevel;
    ++mStats.fifoSamples;
}

void HX5100Stream::markFifoLock() {
    mStats.fifoLockLevel = (int64_t)mFifo.size();
    mStats.fifoMin = mStats.fifoMax = (int64_t)mFifo.size();
    mStats.fifoSamples = 1;
}

} // namespace hx::usb::devices
