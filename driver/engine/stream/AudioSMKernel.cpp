// The kernel's private state of the shared audio rings and what it
// publishes into them. See AudioSMKernel.h for the trust rule.
#include "driver/engine/stream/AudioSMKernel.h"

#include "abi/DriverSM.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

using audiosm::load32;
using audiosm::load64;
using audiosm::store32;
using audiosm::store64;

namespace {
constexpr size_t kStamps = offsetof(AudioSM, mTimeStamps);
}

// ---------------------------------------------------------------------------

void AudioSMView::bind(AudioSM* shared, const AudioSMGeometry& geometry) {
    mShared = shared;
    mGeo = geometry;
}

void AudioSMView::unbind() {
    mShared = nullptr;
    mGeo = AudioSMGeometry{};
}

AudioSMGeometry AudioSMView::_init(uint32_t channels, uint32_t sampleRate,
                                   uint32_t extraBytesPerFrame) {
    if (!mShared) return mGeo;
    if (channels == 0)
        IOLog("AudioSM::init nChannels is 0\n");
    else if (channels > kAudioSMMaxChannels)
        IOLog("AudioSM::init nChannels is %d\n", int(channels));
    mGeo = mShared->_layout(channels, sampleRate, extraBytesPerFrame);
    IOLog("AudioSM::init mMaxFrames:%d\n", int(mGeo.maxFrames));
    return mGeo;
}

bool AudioSMView::readAt(uint64_t pos, int32_t* dst, uint32_t frames, AudioCopyFunc copy,
                         uint8_t* extraDst) {
    if (!mShared || frames > mGeo.maxFrames) return false;
    if (dst && copy) audioSMReadAudio(mShared->mSamples, mGeo, pos, dst, frames, copy);
    if (extraDst && mGeo.extraBytesPerFrame)
        audioSMReadClearExtra(mShared->mSamples, mGeo, pos, extraDst, frames);
    return true;
}

void AudioSMView::store64At(size_t offset, uint64_t v, int order) {
    store64(reinterpret_cast<char*>(mShared) + offset, v, order);
}
void AudioSMView::store32At(size_t offset, uint32_t v, int order) {
    store32(reinterpret_cast<char*>(mShared) + offset, v, order);
}
uint64_t AudioSMView::load64At(size_t offset, int order) const {
    return load64(reinterpret_cast<const char*>(mShared) + offset, order);
}
uint32_t AudioSMView::load32At(size_t offset, int order) const {
    return load32(reinterpret_cast<const char*>(mShared) + offset, order);
}

// ---------------------------------------------------------------------------

AudioSMWriter::~AudioSMWriter() {
    if (mStampsLock) IOLockFree(mStampsLock);
}

AudioSMGeometry AudioSMWriter::_init(uint32_t channels, uint32_t sampleRate,
                                     uint32_t extraBytesPerFrame) {
    if (!mShared) return mGeo;
    AudioSMView::_init(channels, sampleRate, extraBytesPerFrame);
    // The layout read the time base and computed the ring period; take both
    // from the same rule rather than from the record.
    mach_timebase_info_data_t tb{};
    mach_timebase_info(&tb);
    mSampleRate = sampleRate;
    mTSInterval = sampleRate / 4;
    mTicksPerRing = (sampleRate && tb.numer)
                        ? mGeo.maxFrames * 1000000000ull / sampleRate * tb.denom / tb.numer
                        : 0;
    mFramePos = mWriteOffset = mWriteCount = 0;
    mZeroHostTime = mZeroSampleTime = mZeroUpdateCount = mFirstZeroHostTime = 0;
    mSeenZeroWord = 0;
    mTS[0] = mTS[1] = mTSWorking = AudioTSData{};
    mTSToggle = 1;
    if (mStampsLock) IOLockFree(mStampsLock);
    mStampsLock = IOLockAlloc();
    mStamps.Init();
    return mGeo;
}

void AudioSMWriter::zeroTotalBuffer() {
    if (mShared) mShared->zeroTotalBuffer();
}

void AudioSMWriter::publishZero() {
    // Exchanged against the word as last left: a request a client writes
    // meanwhile stays in place for the next write, and the host time and
    // count that go with the kernel's stamp are published only with it.
    uint64_t expected = mSeenZeroWord;
    char* word = reinterpret_cast<char*>(mShared) + offsetof(AudioSM, mZeroSampleTime);
    if (!audiosm::cas64(word, expected, mZeroSampleTime)) return;
    mSeenZeroWord = mZeroSampleTime;
    store64At(offsetof(AudioSM, mZeroHostTime), mZeroHostTime);
    store64At(offsetof(AudioSM, mZeroUpdateCount), mZeroUpdateCount);
}

void AudioSMWriter::clearZero() {
    mZeroSampleTime = mZeroHostTime = mZeroUpdateCount = 0;
}

void AudioSMWriter::takeZeroRequest() {
    if (!mShared) return;
    const uint64_t word = load64At(offsetof(AudioSM, mZeroSampleTime), __ATOMIC_ACQUIRE);
    if (word == mSeenZeroWord) return;
    if (word == 0) {
        clearZero();
    } else if (word <= mFramePos && mFramePos - word <= mGeo.maxFrames) {
        // Without two stamps to place it the request waits for a later write.
        if (GetTimeStamp(word) == 0) return;
        mZeroSampleTime = word;
        mZeroHostTime = GetTimeStamp(word);
        mZeroUpdateCount = 0;
    }
    // Taken (or ignored): the word counts as seen, so the publish below
    // replaces it with the kernel's stamp.
    mSeenZeroWord = word;
}

uint32_t AudioSMWriter::writeFrames(const int32_t* src, uint32_t frames, uint64_t offset,
                                    AudioCopyFunc copy, const uint8_t* extra) {
    if (!mShared || frames > mGeo.maxFrames) return 0;
    takeZeroRequest();
    if (mZeroHostTime == 0) {
        mZeroSampleTime = 0;
        mZeroUpdateCount = 0;
        mWriteCount = 1;
    } else {
        ++mWriteCount;
    }
    mWriteOffset = offset;
    const uint64_t pos = mFramePos + offset;
    if (src) {
        updateZeroTimeStamp(frames);
        audioSMWriteAudio(mShared->mSamples, mGeo, pos, src, frames,
                          copy ? copy : audioInt32CopySet);
    }
    if (extra && mGeo.extraBytesPerFrame)
        audioSMWriteExtra(mShared->mSamples, mGeo, pos, extra, frames);
    mFramePos += frames;
    publishZero();
    store64At(offsetof(AudioSM, mWriteCount), mWriteCount);
    store64At(offsetof(AudioSM, mWriteOffset), mWriteOffset);
    store64At(offsetof(AudioSM, mFramePos), mFramePos, __ATOMIC_RELEASE);
    return frames;
}

void AudioSMWriter::updateZeroTimeStamp(uint64_t frames) {
    if (mZeroSampleTime == 0) return;
    if (frames + mFramePos - mZeroSampleTime >= mGeo.maxFrames) {
        mZeroHostTime = GetTimeStamp(mZeroSampleTime + mGeo.maxFrames);
        ++mZeroUpdateCount;
        mZeroSampleTime += mGeo.maxFrames;
    }
}

uint64_t AudioSMWriter::setZeroSampleTime(uint64_t sampleTime) {
    mZeroSampleTime = sampleTime;
    mZeroHostTime = GetTimeStamp(sampleTime);
    mZeroUpdateCount = 0;
    if (mShared) publishZero();
    return mZeroHostTime;
}

void AudioSMWriter::publishStamp(uint32_t slot) {
    store64At(kStamps + offsetof(TimeStampsBuffer, mHostTime) + 8 * slot, mStamps.mHostTime[slot]);
    store64At(kStamps + offsetof(TimeStampsBuffer, mSampleTime) + 8 * slot,
              mStamps.mSampleTime[slot]);
}

uint32_t AudioSMWriter::AddTimeStamp(uint64_t hostTime, uint64_t frames, bool cumulative) {
    if (!mShared) return 0;
    auto add = [&](uint64_t host, uint64_t count, bool cum) {
        const bool locked = mStampsLock && IOLockTryLock(mStampsLock);
        const uint32_t before = load32(AUDIOSM_CAT(&mStamps, TimeStampsBuffer, mCount));
        const uint32_t n = mStamps.AddTimeStamp(host, count, cum, locked);
        if (locked) {
            publishStamp(before % kTimeStampsCount);
            store32At(kStamps + offsetof(TimeStampsBuffer, mCount), n, __ATOMIC_RELEASE);
            IOLockUnlock(mStampsLock);
        }
        return n;
    };
    if (mFirstZeroHostTime == 0 && mGeo.maxFrames) {
        mFirstZeroHostTime = hostTime - mTicksPerRing * frames / mGeo.maxFrames;
        store64At(offsetof(AudioSM, mFirstZeroHostTime), mFirstZeroHostTime);
        add(mFirstZeroHostTime, 0, false);
    }
    const uint32_t n = add(hostTime, frames, cumulative);
    store64At(kStamps + offsetof(TimeStampsBuffer, mRunningSampleTime),
              load64(AUDIOSM_CAT(&mStamps, TimeStampsBuffer, mRunningSampleTime)));
    store64At(kStamps + offsetof(TimeStampsBuffer, mFirstHostTime),
              load64(AUDIOSM_CAT(&mStamps, TimeStampsBuffer, mFirstHostTime)));
    store64At(kStamps + offsetof(TimeStampsBuffer, mFirstSampleTime),
              load64(AUDIOSM_CAT(&mStamps, TimeStampsBuffer, mFirstSampleTime)));
    return n;
}

uint32_t AudioSMWriter::GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const {
    return mStamps.GetLastTimeStamp(hostTime, sampleTime);
}

uint64_t AudioSMWriter::GetTimeStamp(uint64_t sampleTime) const {
    return mStamps.GetTimeStamp(sampleTime);
}

void AudioSMWriter::lockStamps() {
    if (mStampsLock) IOLockLock(mStampsLock);
}

void AudioSMWriter::unlockStamps() {
    if (mStampsLock) IOLockUnlock(mStampsLock);
}

void AudioSMWriter::CopyData(QN_TimeStampsBufferData& out) {
    if (!mStampsLock) return;
    IOLockLock(mStampsLock);
    mStamps.CopyData(out);
    if (mShared)
        store32At(kStamps + offsetof(TimeStampsBuffer, mCountAtLastCopy),
                  load32(AUDIOSM_CAT(&mStamps, TimeStampsBuffer, mCountAtLastCopy)));
    IOLockUnlock(mStampsLock);
}

void AudioSMWriter::writeTimestamp(uint64_t hostTime) {
    if (!mShared) return;
    constexpr size_t kWorking = offsetof(AudioSM, mTSWorking);
    if (mTSWorking.mFirstHostTime == 0) {
        mTSWorking.mFirstFrame = mFramePos;
        mTSWorking.mFirstHostTime = hostTime;
    }
    mTSWorking.mLastHostTime = hostTime;
    mTSWorking.mLastFrame = mFramePos;
    if (mTSWorking.mLastFrame - mTSWorking.mFirstFrame >= mTSInterval) {
        const uint32_t slot = mTSToggle ? 1 : 0;
        AudioTSData& r = mTS[slot];
        r = mTSWorking;
        r.mHostSpan = r.mLastHostTime - r.mFirstHostTime;
        r.mFrameSpan = r.mLastFrame - r.mFirstFrame;
        const size_t at = offsetof(AudioSM, mTSData) + slot * sizeof(AudioTSData);
        store64At(at + offsetof(AudioTSData, mFirstFrame), r.mFirstFrame);
        store64At(at + offsetof(AudioTSData, mLastFrame), r.mLastFrame);
        store64At(at + offsetof(AudioTSData, mFirstHostTime), r.mFirstHostTime);
        store64At(at + offsetof(AudioTSData, mLastHostTime), r.mLastHostTime);
        store64At(at + offsetof(AudioTSData, mHostSpan), r.mHostSpan);
        store64At(at + offsetof(AudioTSData, mFrameSpan), r.mFrameSpan);
        mTSToggle = mTSToggle ? 0 : 1;
        store32At(offsetof(AudioSM, mTSToggle), mTSToggle, __ATOMIC_RELEASE);
        mTSWorking.mFirstFrame = mTSWorking.mLastFrame;
        mTSWorking.mFirstHostTime = mTSWorking.mLastHostTime;
    }
    store64At(kWorking + offsetof(AudioTSData, mFirstFrame), mTSWorking.mFirstFrame);
    store64At(kWorking + offsetof(AudioTSData, mLastFrame), mTSWorking.mLastFrame);
    store64At(kWorking + offsetof(AudioTSData, mFirstHostTime), mTSWorking.mFirstHostTime);
    store64At(kWorking + offsetof(AudioTSData, mLastHostTime), mTSWorking.mLastHostTime);
}
