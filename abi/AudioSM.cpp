// The shared audio ring's layout, ring addressing and the operations user
// space calls on a mapped record. The kernel's writer of the input ring and
// its reader of client rings keep their own geometry and state and use the
// addressing helpers here with it.
#include "abi/AudioSM.h"

#include <climits>
#include <cstdio>

#include "abi/DriverSM.h"
#include "platform/base/HXClock.h"

using audiosm::load32;
using audiosm::load64;
using audiosm::store32;
using audiosm::store64;

#define AT(Type, field) AUDIOSM_AT(this, Type, field)
#define CAT(Type, field) AUDIOSM_CAT(this, Type, field)

namespace {

// (t - s0) x (h1 - h0) / (s1 - s0) + h0 in signed 64-bit arithmetic. The
// product wraps rather than overflowing, and the one quotient that does not
// fit (INT64_MIN / -1) is taken as wrapped too: the inputs may be whatever a
// user wrote into shared memory.
uint64_t interpolate(uint64_t t, uint64_t s0, uint64_t h0, uint64_t sampleSpan, uint64_t hostSpan) {
    const int64_t divisor = int64_t(sampleSpan);
    if (divisor == 0) return 0;
    const int64_t product = int64_t((t - s0) * hostSpan);
    const int64_t q = (divisor == -1) ? int64_t(0 - uint64_t(product)) : product / divisor;
    return uint64_t(q) + h0;
}

} // namespace

// ---------------------------------------------------------------------------

uint64_t AudioTSData::hostTimeForSample(uint64_t sample) const {
    const uint64_t frameSpan = load64(CAT(AudioTSData, mFrameSpan));
    if (frameSpan == 0) return 0;
    return interpolate(sample, load64(CAT(AudioTSData, mFirstFrame)),
                       load64(CAT(AudioTSData, mFirstHostTime)), frameSpan,
                       load64(CAT(AudioTSData, mHostSpan)));
}

// ---------------------------------------------------------------------------

void TimeStampsBuffer::Init() {
    store32(AT(TimeStampsBuffer, mCount), 0, __ATOMIC_RELEASE);
    for (uint32_t i = 0; i < kTimeStampsCount; ++i) {
        store64(AT(TimeStampsBuffer, mHostTime) + 8 * i, 0);
        store64(AT(TimeStampsBuffer, mSampleTime) + 8 * i, 0);
    }
    store64(AT(TimeStampsBuffer, mMutex), 0);
    store64(AT(TimeStampsBuffer, mRunningSampleTime), 0);
    store32(AT(TimeStampsBuffer, mCountAtLastCopy), 0);
    store64(AT(TimeStampsBuffer, mFirstHostTime), 0);
    store64(AT(TimeStampsBuffer, mFirstSampleTime), 0);
}

uint32_t TimeStampsBuffer::AddTimeStamp(uint64_t hostTime, uint64_t frames, bool cumulative,
                                        bool store) {
    uint64_t running = frames + (cumulative ? load64(AT(TimeStampsBuffer, mRunningSampleTime)) : 0);
    store64(AT(TimeStampsBuffer, mRunningSampleTime), running);
    if (load64(AT(TimeStampsBuffer, mFirstHostTime)) == 0) {
        store64(AT(TimeStampsBuffer, mFirstHostTime), hostTime);
        store64(AT(TimeStampsBuffer, mFirstSampleTime), running);
    }
    uint32_t count = load32(AT(TimeStampsBuffer, mCount));
    if (!store) return count;
    const uint32_t slot = count % kTimeStampsCount;
    store64(AT(TimeStampsBuffer, mHostTime) + 8 * slot, hostTime);
    store64(AT(TimeStampsBuffer, mSampleTime) + 8 * slot, running);
    ++count;
    // The entry is complete before a reader can count it.
    store32(AT(TimeStampsBuffer, mCount), count, __ATOMIC_RELEASE);
    return count;
}

uint32_t TimeStampsBuffer::GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const {
    const uint32_t count = load32(CAT(TimeStampsBuffer, mCount), __ATOMIC_ACQUIRE);
    const uint32_t slot = count ? (count - 1) % kTimeStampsCount : 0;
    hostTime = load64(CAT(TimeStampsBuffer, mHostTime) + 8 * slot);
    sampleTime = load64(CAT(TimeStampsBuffer, mSampleTime) + 8 * slot);
    return count ? (count - 1) / kTimeStampsCount : 0;
}

uint64_t TimeStampsBuffer::GetTimeStamp(uint64_t sampleTime) const {
    const uint32_t count = load32(CAT(TimeStampsBuffer, mCount), __ATOMIC_ACQUIRE);
    const uint32_t n = count < kTimeStampsCount ? count : kTimeStampsCount;
    if (n < 2) return 0;
    const uint32_t oldest = count > kTimeStampsCount ? count % kTimeStampsCount : 0;
    auto sampleAt = [&](uint32_t k) {
        return load64(CAT(TimeStampsBuffer, mSampleTime) + 8 * ((oldest + k) % kTimeStampsCount));
    };
    auto hostAt = [&](uint32_t k) {
        return load64(CAT(TimeStampsBuffer, mHostTime) + 8 * ((oldest + k) % kTimeStampsCount));
    };
    uint32_t i = 0;
    while (i < n && sampleAt(i) <= sampleTime)
        ++i;
    if (i == n) i = n - 1; // after the newest: extrapolate from the two newest
    if (i == 0) i = 1;     // before the oldest: extrapolate from the two oldest
    const uint64_t s0 = sampleAt(i - 1), s1 = sampleAt(i);
    const uint64_t h0 = hostAt(i - 1), h1 = hostAt(i);
    if (s0 == s1) return 0;
    return interpolate(sampleTime, s0, h0, s1 - s0, h1 - h0);
}

void TimeStampsBuffer::CopyData(QN_TimeStampsBufferData& out) {
    const uint32_t count = load32(AT(TimeStampsBuffer, mCount), __ATOMIC_ACQUIRE);
    const uint32_t last = load32(AT(TimeStampsBuffer, mCountAtLastCopy));
    uint32_t fresh = count - last;
    if (fresh > kTimeStampsCount) fresh = kTimeStampsCount;
    for (uint32_t k = 0; k < fresh; ++k) {
        const uint32_t slot = (last + k) % kTimeStampsCount;
        out.mStamps[0][slot] = load64(AT(TimeStampsBuffer, mHostTime) + 8 * slot);
        out.mStamps[1][slot] = load64(AT(TimeStampsBuffer, mSampleTime) + 8 * slot);
    }
    out.mCount = count;
    store32(AT(TimeStampsBuffer, mCountAtLastCopy), count);
}

// ---------------------------------------------------------------------------

AudioSMGeometry AudioSMGeometry::forLayout(uint32_t channels, uint32_t extraBytesPerFrame) {
    AudioSMGeometry g{};
    if (channels == 0 || channels > kAudioSMMaxChannels) channels = 2;
    if (extraBytesPerFrame > kAudioSMMaxExtraBytesPerFrame) extraBytesPerFrame = 0;
    g.channels = channels;
    g.audioBytesPerFrame = channels * 4;
    g.extraBytesPerFrame = extraBytesPerFrame;
    g.bytesPerFrame = g.audioBytesPerFrame + extraBytesPerFrame;
    const uint32_t limit = (kAudioSMSampleAreaBytes / g.bytesPerFrame) & ~0xFFu;
    uint64_t frames = 1;
    while (frames * 2 <= limit)
        frames *= 2;
    g.maxFrames = frames;
    g.audioBytes = uint32_t(frames) * g.audioBytesPerFrame;
    g.extraBytes = uint32_t(frames) * extraBytesPerFrame;
    g.extraOffset = (g.audioBytes + 15) & ~15u;
    return g;
}

bool audioSMSpan(const AudioSMGeometry& g, uint64_t pos, uint32_t frames, AudioSMSpan& span) {
    if (g.maxFrames == 0 || frames > g.maxFrames) return false;
    span.index = g.indexOf(pos);
    const uint64_t room = g.maxFrames - span.index;
    if (frames <= room) {
        span.firstFrames = frames;
        span.secondFrames = 0;
    } else {
        span.firstFrames = uint32_t(room);
        span.secondFrames = frames - uint32_t(room);
    }
    return true;
}

bool audioSMWriteAudio(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, const int32_t* src,
                       uint32_t frames, AudioCopyFunc copy) {
    AudioSMSpan s;
    if (!audioSMSpan(g, pos, frames, s)) return false;
    if (!copy) copy = audioInt32CopySet;
    const uint32_t ch = g.channels;
    if (s.firstFrames)
        copy(reinterpret_cast<int32_t*>(area + s.index * g.audioBytesPerFrame), src,
             s.firstFrames * ch);
    if (s.secondFrames)
        copy(reinterpret_cast<int32_t*>(area), src + size_t(s.firstFrames) * ch,
             s.secondFrames * ch);
    return true;
}

bool audioSMReadAudio(const uint8_t* area, const AudioSMGeometry& g, uint64_t pos, int32_t* dst,
                      uint32_t frames, AudioCopyFunc copy) {
    AudioSMSpan s;
    if (!audioSMSpan(g, pos, frames, s)) return false;
    if (!copy) return true;
    const uint32_t ch = g.channels;
    if (s.firstFrames)
        copy(dst, reinterpret_cast<const int32_t*>(area + s.index * g.audioBytesPerFrame),
             s.firstFrames * ch);
    if (s.secondFrames)
        copy(dst + size_t(s.firstFrames) * ch, reinterpret_cast<const int32_t*>(area),
             s.secondFrames * ch);
    return true;
}

bool audioSMWriteExtra(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, const uint8_t* src,
                       uint32_t frames) {
    AudioSMSpan s;
    if (!audioSMSpan(g, pos, frames, s)) return false;
    const uint32_t e = g.extraBytesPerFrame;
    uint8_t* base = area + g.extraOffset;
    if (s.firstFrames) std::memcpy(base + s.index * e, src, size_t(s.firstFrames) * e);
    if (s.secondFrames)
        std::memcpy(base, src + size_t(s.firstFrames) * e, size_t(s.secondFrames) * e);
    return true;
}

bool audioSMReadClearExtra(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, uint8_t* dst,
                           uint32_t frames) {
    AudioSMSpan s;
    if (!audioSMSpan(g, pos, frames, s)) return false;
    const uint32_t e = g.extraBytesPerFrame;
    uint8_t* base = area + g.extraOffset;
    if (s.firstFrames) {
        std::memcpy(dst, base + s.index * e, size_t(s.firstFrames) * e);
        std::memset(base + s.index * e, 0, size_t(s.firstFrames) * e);
    }
    if (s.secondFrames) {
        std::memcpy(dst + size_t(s.firstFrames) * e, base, size_t(s.secondFrames) * e);
        std::memset(base, 0, size_t(s.secondFrames) * e);
    }
    return true;
}

// ---------------------------------------------------------------------------

AudioSMGeometry AudioSM::_init(uint32_t channels, uint32_t sampleRate,
                               uint32_t extraBytesPerFrame) {
    if (channels == 0)
        printf("AudioSM::init nChannels is 0\n");
    else if (channels > kAudioSMMaxChannels)
        printf("AudioSM::init nChannels is %d\n", int(channels));
    const AudioSMGeometry g = _layout(channels, sampleRate, extraBytesPerFrame);
    printf("AudioSM::init mMaxFrames:%d\n", int(g.maxFrames));
    return g;
}

AudioSMGeometry AudioSM::_layout(uint32_t channels, uint32_t sampleRate,
                                 uint32_t extraBytesPerFrame) {
    store64(AT(AudioSM, mSampleRate), sampleRate);
    const AudioSMGeometry g = AudioSMGeometry::forLayout(channels, extraBytesPerFrame);

    store32(AT(AudioSM, mBytesPerFrame), g.bytesPerFrame);
    store32(AT(AudioSM, mChannelsPerFrame), g.channels);
    store32(AT(AudioSM, mAudioBytesPerFrame), g.audioBytesPerFrame);
    store32(AT(AudioSM, mAudioBytes), g.audioBytes);
    store32(AT(AudioSM, mExtraBytesPerFrame), g.extraBytesPerFrame);
    store32(AT(AudioSM, mExtraBytes), g.extraBytes);
    store32(AT(AudioSM, mExtraOffset), g.extraOffset);
    store64(AT(AudioSM, mMaxFrames), g.maxFrames);

    store64(AT(AudioSM, mTSInterval), sampleRate / 4);
    std::memset(AT(AudioSM, mTSData), 0, 3 * sizeof(AudioTSData));
    store32(AT(AudioSM, mTSToggle), 1);
    store64(AT(AudioSM, mFramePos), 0, __ATOMIC_RELEASE);
    store64(AT(AudioSM, mWriteOffset), 0);
    store32(AT(AudioSM, mAttachState), 0);
    store32(AT(AudioSM, mSyncNotification), 0);
    store64(AT(AudioSM, mClientFramePos), 0);
    store64(AT(AudioSM, mAttachTimeStamp), 0);
    store64(AT(AudioSM, mAttachFramePos), 0);
    store64(AT(AudioSM, mAttachOutFramePos), 0);
    store64(AT(AudioSM, mWriteCount), 0);
    reinterpret_cast<TimeStampsBuffer*>(AT(AudioSM, mTimeStamps))->Init();

    mach_timebase_info_data_t tb{};
    mach_timebase_info(&tb);
    store32(AT(AudioSM, mTimebaseNumer), tb.numer);
    store32(AT(AudioSM, mTimebaseDenom), tb.denom);
    // A rate or time base of 0 never reaches a division: the ring then has no
    // period in host time.
    uint64_t ticks = 0;
    if (sampleRate && tb.numer)
        ticks = g.maxFrames * 1000000000ull / sampleRate * tb.denom / tb.numer;
    store64(AT(AudioSM, mTicksPerRing), ticks);

    store64(AT(AudioSM, mZeroSampleTime), 0);
    store64(AT(AudioSM, mZeroUpdateCount), 0);
    store64(AT(AudioSM, mZeroHostTime), 0);
    store64(AT(AudioSM, mReserved), 0);
    store64(AT(AudioSM, mFirstZeroHostTime), 0);
    zeroTotalBuffer();
    return g;
}

AudioSMGeometry AudioSM::geometry() const {
    return AudioSMGeometry::forLayout(load32(CAT(AudioSM, mChannelsPerFrame)),
                                      load32(CAT(AudioSM, mExtraBytesPerFrame)));
}

void AudioSM::zeroTotalBuffer() {
    std::memset(mSamples, 0, sizeof(mSamples));
}

uint64_t AudioSM::getFramePos() const {
    return load64(CAT(AudioSM, mFramePos), __ATOMIC_ACQUIRE);
}

int32_t AudioSM::getAvailableFrames(uint64_t readPos) const {
    const uint64_t end =
        load64(CAT(AudioSM, mFramePos), __ATOMIC_ACQUIRE) + load64(CAT(AudioSM, mWriteOffset));
    return int32_t(uint32_t(end - readPos));
}

void AudioSM::AddTimeStamp(uint64_t hostTime, uint64_t sampleTime, bool accumulate) {
    auto* stamps = reinterpret_cast<TimeStampsBuffer*>(AT(AudioSM, mTimeStamps));
    if (load64(AT(AudioSM, mFirstZeroHostTime)) == 0) {
        const uint64_t maxFrames = geometry().maxFrames;
        const uint64_t zero =
            hostTime - sampleTime * load64(AT(AudioSM, mTicksPerRing)) / maxFrames;
        store64(AT(AudioSM, mFirstZeroHostTime), zero);
        stamps->AddTimeStamp(zero, 0, false, false);
    }
    stamps->AddTimeStamp(hostTime, sampleTime, accumulate, false);
}

uint64_t AudioSM::setZeroSampleTime(uint64_t sampleTime) {
    const auto* stamps = reinterpret_cast<const TimeStampsBuffer*>(AT(AudioSM, mTimeStamps));
    const uint64_t host = stamps->GetTimeStamp(sampleTime);
    store64(AT(AudioSM, mZeroSampleTime), sampleTime);
    store64(AT(AudioSM, mZeroHostTime), host);
    store64(AT(AudioSM, mZeroUpdateCount), 0);
    return host;
}

void AudioSM::writeTimestamp(uint64_t hostTime) {
    auto* w = reinterpret_cast<AudioTSData*>(AT(AudioSM, mTSWorking));
    const uint64_t framePos = load64(AT(AudioSM, mFramePos));
    if (load64(AUDIOSM_AT(w, AudioTSData, mFirstHostTime)) == 0) {
        store64(AUDIOSM_AT(w, AudioTSData, mFirstFrame), framePos);
        store64(AUDIOSM_AT(w, AudioTSData, mFirstHostTime), hostTime);
    }
    store64(AUDIOSM_AT(w, AudioTSData, mLastHostTime), hostTime);
    store64(AUDIOSM_AT(w, AudioTSData, mLastFrame), framePos);
    const uint64_t first = load64(AUDIOSM_AT(w, AudioTSData, mFirstFrame));
    const uint64_t firstHost = load64(AUDIOSM_AT(w, AudioTSData, mFirstHostTime));
    if (framePos - first < load64(AT(AudioSM, mTSInterval))) return;
    const uint32_t toggle = load32(AT(AudioSM, mTSToggle));
    auto* slot =
        reinterpret_cast<AudioTSData*>(AT(AudioSM, mTSData) + (toggle ? sizeof(AudioTSData) : 0));
    store64(AUDIOSM_AT(slot, AudioTSData, mFirstFrame), first);
    store64(AUDIOSM_AT(slot, AudioTSData, mLastFrame), framePos);
    store64(AUDIOSM_AT(slot, AudioTSData, mFirstHostTime), firstHost);
    store64(AUDIOSM_AT(slot, AudioTSData, mLastHostTime), hostTime);
    store64(AUDIOSM_AT(slot, AudioTSData, mHostSpan), hostTime - firstHost);
    store64(AUDIOSM_AT(slot, AudioTSData, mFrameSpan), framePos - first);
    store32(AT(AudioSM, mTSToggle), toggle ? 0 : 1, __ATOMIC_RELEASE);
    store64(AUDIOSM_AT(w, AudioTSData, mFirstFrame), framePos);
    store64(AUDIOSM_AT(w, AudioTSData, mFirstHostTime), hostTime);
}

uint64_t AudioSM::hostTimeForSample(uint64_t sample) const {
    const uint32_t toggle = load32(CAT(AudioSM, mTSToggle), __ATOMIC_ACQUIRE);
    const auto* slot = reinterpret_cast<const AudioTSData*>(CAT(AudioSM, mTSData) +
                                                            (toggle ? 0 : sizeof(AudioTSData)));
    return slot->hostTimeForSample(sample);
}

uint32_t AudioSM::writeFrames(const int32_t* src, uint32_t frames, uint64_t offset,
                              AudioCopyFunc copy, const uint8_t* extraSrc) {
    const AudioSMGeometry g = geometry();
    if (frames > g.maxFrames) return 0;
    if (load64(AT(AudioSM, mZeroHostTime)) == 0) {
        store64(AT(AudioSM, mZeroSampleTime), 0);
        store64(AT(AudioSM, mZeroUpdateCount), 0);
        store64(AT(AudioSM, mWriteCount), 0);
    }
    store64(AT(AudioSM, mWriteCount), load64(AT(AudioSM, mWriteCount)) + 1);
    store64(AT(AudioSM, mWriteOffset), offset);
    const uint64_t framePos = load64(AT(AudioSM, mFramePos));
    const uint64_t target = framePos + offset;
    if (src) audioSMWriteAudio(mSamples, g, target, src, frames, copy ? copy : audioInt32CopySet);
    if (extraSrc && g.extraBytesPerFrame) audioSMWriteExtra(mSamples, g, target, extraSrc, frames);
    store64(AT(AudioSM, mFramePos), framePos + frames, __ATOMIC_RELEASE);
    return frames;
}

uint32_t AudioSM::read(uint64_t& readPos, int32_t* dst, uint32_t frames, uint64_t& hostTimeOut,
                       AudioCopyFunc copy, uint8_t* extraDst) {
    const AudioSMGeometry g = geometry();
    if (frames > g.maxFrames) return 0;
    // Pairs with the writer's release of mFramePos: the data read below is
    // at least as new as the position the caller decided on.
    (void)load64(AT(AudioSM, mFramePos), __ATOMIC_ACQUIRE);
    if (dst && copy) audioSMReadAudio(mSamples, g, readPos, dst, frames, copy);
    if (extraDst && g.extraBytesPerFrame)
        audioSMReadClearExtra(mSamples, g, readPos, extraDst, frames);
    hostTimeOut = hostTimeForSample(readPos);
    readPos += frames;
    return frames;
}

uint32_t AudioSM::writeFramesToKernelAtPos(const int32_t* src, uint32_t frames, uint64_t pos,
                                           uint64_t offset, uint32_t srcChannels,
                                           AudioCopyFunc copy, uint32_t srcBytesPerSample) {
    const AudioSMGeometry g = geometry();
    if (frames > g.maxFrames) return 0;
    if (!copy) copy = audioInt32CopySet;
    store64(AT(AudioSM, mFramePos), pos, __ATOMIC_RELEASE);
    store64(AT(AudioSM, mWriteOffset), offset);
    if (src) {
        const size_t stride = size_t(srcChannels) * srcBytesPerSample;
        if (stride == g.audioBytesPerFrame) {
            audioSMWriteAudio(mSamples, g, pos + offset, src, frames, copy);
        } else {
            // Each source frame carries at least the ring's channels.
            const auto* bytes = reinterpret_cast<const uint8_t*>(src);
            for (uint32_t f = 0; f < frames; ++f) {
                const uint64_t index = g.indexOf(pos + offset + f);
                copy(reinterpret_cast<int32_t*>(mSamples + index * g.audioBytesPerFrame),
                     reinterpret_cast<const int32_t*>(bytes + f * stride), g.channels);
            }
        }
    }
    store64(AT(AudioSM, mFramePos), pos + frames, __ATOMIC_RELEASE);
    return frames;
}

uint32_t AudioSM::readFromKernel(uint64_t& readPos, int32_t* dst, uint32_t frames,
                                 AudioCopyFunc copy, uint32_t dstBytesPerSample) {
    const AudioSMGeometry g = geometry();
    if (frames > g.maxFrames) return 0;
    (void)load64(AT(AudioSM, mFramePos), __ATOMIC_ACQUIRE);
    if (dst && copy) {
        const size_t stride = size_t(g.channels) * dstBytesPerSample;
        if (stride == g.audioBytesPerFrame) {
            audioSMReadAudio(mSamples, g, readPos, dst, frames, copy);
        } else {
            auto* bytes = reinterpret_cast<uint8_t*>(dst);
            for (uint32_t f = 0; f < frames; ++f) {
                const uint64_t index = g.indexOf(readPos + f);
                copy(reinterpret_cast<int32_t*>(bytes + f * stride),
                     reinterpret_cast<const int32_t*>(mSamples + index * g.audioBytesPerFrame),
                     g.channels);
            }
        }
    }
    readPos += frames;
    return frames;
}
