// The frame pattern observer: nominal patterns by rate, recording from input
// packets and feedback, repair of out-of-range values and lock tracking.
#include "driver/engine/stream/ZrFramePatternObserver.h"

#include <cstdlib>

#include "driver/engine/ZrDeviceTraits.h"
#include "platform/base/HXLog.h"

uint32_t fpoInitPattern(uint32_t count, uint32_t* pattern, uint32_t base, int total) {
    if (!count || !pattern) return 0;
    for (uint32_t i = 0; i < count; ++i)
        pattern[i] = base;
    auto sumOf = [&] {
        uint64_t s = 0;
        for (uint32_t i = 0; i < count; ++i)
            s += pattern[i];
        return s;
    };
    uint64_t sum = sumOf();
    const uint64_t target = total > 0 ? uint64_t(total) : 0;
    // Each pass moves the sum by at least the difference; a pass that
    // overshoots is corrected by the next. The bound only guards against
    // two steps undoing each other forever.
    for (int pass = 0; pass < 64 && sum != target; ++pass) {
        const int64_t d = int64_t(target) - int64_t(sum);
        const uint64_t ad = uint64_t(std::llabs(d));
        if (ad > count) break;
        const uint32_t step = count / uint32_t(ad);
        for (uint32_t i = 0; i < count; i += step)
            pattern[i] += d > 0 ? 1u : uint32_t(-1);
        sum = sumOf();
    }
    return uint32_t(sum);
}

ZrFramePatternObserver::ZrFramePatternObserver() {
    const VIDPID none(0, 0, 0, nullptr);
    init(44100, 2, 2, 2, 2, false, none);
}

ZrFramePatternObserver::~ZrFramePatternObserver() = default;

void ZrFramePatternObserver::init(uint32_t rate, uint32_t inBytesPerSample, uint32_t inChannels,
                                  uint32_t outBytesPerSample, uint32_t outChannels, bool highSpeed,
                                  const ZrDeviceIds& ids) {
    mHighSpeed = highSpeed;
    mLength = highSpeed ? 128 : 16;
    mLossIndex.store(0, std::memory_order_relaxed);
    mInBytesPerFrame = inChannels * inBytesPerSample;
    if (!mInBytesPerFrame) mInBytesPerFrame = 1;
    mOutChannels = outChannels;
    mOutBytesPerSample = outBytesPerSample;
    mOutBytesPerFrame = outChannels * outBytesPerSample;
    if (!mOutBytesPerFrame) mOutBytesPerFrame = 1;

    mNominalPerMs = rate / 1000;
    mTolerance = ids.traits().exactClockAt(rate) ? 0 : highSpeed ? 1 : 2;
    mExpected = highSpeed ? mNominalPerMs >> 3 : mNominalPerMs;
    fpoInitPattern(mLength, mNominal, mExpected,
                   int(uint64_t(mLength) * rate / (highSpeed ? 8000 : 1000)));

    switch (rate) {
    case 32000:
    case 48000:
    case 64000:
    case 96000:
    case 128000:
    case 192000:
        for (uint32_t i = 0; i < mLength; ++i)
            mNominal[i] = mExpected;
        break;
    case 44100:
        mExpected = highSpeed ? 5 : 44;
        for (uint32_t i = 0; i < mLength; ++i)
            mNominal[i] = highSpeed ? (i % 80 == 0 ? 6 : (i & 1) ? 6 : 5) : (i % 10 == 0 ? 45 : 44);
        break;
    case 88200:
        mExpected = highSpeed ? 11 : 88;
        for (uint32_t i = 0; i < mLength; ++i)
            mNominal[i] = highSpeed ? (i % 40 == 0 ? 12 : 11) : (i % 5 == 0 ? 89 : 88);
        break;
    case 176400:
        mExpected = highSpeed ? 22 : 176;
        for (uint32_t i = 0; i < mLength; ++i)
            mNominal[i] =
                highSpeed ? (i % 20 == 0 ? 23 : 22) : (i % 5 == 0 || i % 5 == 2 ? 177 : 176);
        break;
    default:
        break;
    }

    for (uint32_t i = 0; i < mLength; ++i)
        mLive[i].store(mNominal[i], std::memory_order_relaxed);
    mLocked.store(false, std::memory_order_relaxed);
    mRecord.store(0, std::memory_order_relaxed);
    mWrite.store(0, std::memory_order_relaxed);
    // Computed signed: a tolerance above the expected size accepts down to 0.
    const int minimum = int(mExpected) - int(mTolerance);
    mMinimum = minimum > 0 ? uint32_t(minimum) : 0;
    mMaximum = mExpected + mTolerance;

    for (int k = 0; k < 5; ++k)
        fpoInitPattern(8, mGroups[k], mExpected, int(mNominalPerMs) + k - 2);
}

bool ZrFramePatternObserver::lockCheck() {
    if (!mLocked.load(std::memory_order_relaxed) &&
        mRecord.load(std::memory_order_relaxed) == mLossIndex.load(std::memory_order_relaxed)) {
        mLocked.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

void ZrFramePatternObserver::loseSync() {
    mLocked.store(false, std::memory_order_relaxed);
    mLossIndex.store(mRecord.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void ZrFramePatternObserver::recordOne(uint32_t value) {
    const uint32_t r = mRecord.load(std::memory_order_relaxed);
    mLive[r].store(value, std::memory_order_relaxed);
    mRecord.store(r + 1 >= mLength ? 0 : r + 1, std::memory_order_relaxed);
}

void ZrFramePatternObserver::recordGroup(const uint32_t* values) {
    const uint32_t r = mRecord.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < 8 && r + i < mLength; ++i)
        mLive[r + i].store(values[i], std::memory_order_relaxed);
    mRecord.store(r + 8 >= mLength ? 0 : r + 8, std::memory_order_relaxed);
}

int ZrFramePatternObserver::onRtsFrame(int frames, uint32_t& errors) {
    if (frames >= int(mMinimum) && frames <= int(mMaximum)) {
        recordOne(uint32_t(frames));
        if (lockCheck()) errors = 0;
        return frames;
    }
    ++errors;
    if (mLocked.load(std::memory_order_relaxed))
        IOLog("Lost Sync...Len:%d Expected:%d MaxDelta:%d\n", frames, int(mExpected),
              int(mTolerance));
    loseSync();
    const uint32_t v = mNominal[mRecord.load(std::memory_order_relaxed)];
    recordOne(v);
    return int(v);
}

uint32_t ZrFramePatternObserver::onRtsFrame_Sfb2(uint32_t frames, uint32_t& errors) {
    if (frames != 7) {
        ++errors;
        if (mLocked.load(std::memory_order_relaxed))
            IOLog("Lost Sync...Len:%d Expected:%d MaxDelta:%d\n", int(frames), 7, 0);
        loseSync();
        IOLog("repair from:%d to %d \n", int(frames), 7);
    }
    recordOne(7);
    if (lockCheck()) errors = 0;
    return 7;
}

int ZrFramePatternObserver::onRtsFrameMicroFrames(int frames, uint32_t& errors,
                                                  const char* caller) {
    const int k = frames - int(mNominalPerMs) + 2;
    int result;
    bool good = k >= 0 && k <= 4;
    if (good) {
        recordGroup(mGroups[k]);
        result = frames;
    } else {
        ++errors;
        IOLog("FEEDBACK Fullframe(hs) out of range frames:%d expected:%d errcount:%d called "
              "from:%s\n",
              frames, int(mNominalPerMs), int(errors), caller ? caller : "");
        loseSync();
        const uint32_t r = mRecord.load(std::memory_order_relaxed);
        uint32_t sum = 0;
        for (uint32_t i = 0; i < 8 && r + i < mLength; ++i)
            sum += mNominal[r + i];
        recordGroup(&mNominal[r]);
        result = int(sum);
    }
    if (good && lockCheck()) {
        IOLog("FEEDBACK FramePattern Locked\n");
        errors = 0;
    }
    return result;
}

bool ZrFramePatternObserver::isocFeedbackReadComplete(FeedbackStreamingStruct& fb) {
    bool lockedNow = false;
    const uint32_t n = fb.mCount < 32 ? fb.mCount : 32;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t v = fb.mValues[i];
        if (v < mMinimum || v > mMaximum) {
            loseSync();
            v = mNominal[mRecord.load(std::memory_order_relaxed)];
            fb.mValues[i] = v;
        }
        recordOne(v);
        lockedNow |= lockCheck();
    }
    return lockedNow;
}

bool ZrFramePatternObserver::isocFeedbackReadCompleteFullFrame(FeedbackStreamingStruct& fb) {
    bool lockedNow = false;
    const uint32_t n = fb.mCount < 32 ? fb.mCount : 32;
    for (uint32_t i = 0; i < n; ++i) {
        const int k = int(fb.mValues[i]) - int(mNominalPerMs) + 2;
        if (k >= 0 && k <= 4) {
            recordGroup(mGroups[k]);
        } else {
            loseSync();
            recordGroup(&mNominal[mRecord.load(std::memory_order_relaxed)]);
        }
        lockedNow |= lockCheck();
    }
    return lockedNow;
}

uint32_t ZrFramePatternObserver::nextWriteFrames() {
    const uint32_t w = mWrite.load(std::memory_order_relaxed);
    const uint32_t v = mLive[w].load(std::memory_order_relaxed);
    mWrite.store(w + 1 >= mLength ? 0 : w + 1, std::memory_order_relaxed);
    return v;
}
