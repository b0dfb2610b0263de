// The frame pattern: how many audio frames travel in each USB packet.
//
// The device's clock decides the packet sizes. The observer keeps that
// decision as a ring of per-packet frame counts covering 16 ms (16 packets
// at full speed, 128 microframes at high speed). Input packets or explicit
// feedback values record into it; output requests take their packet sizes
// from it, so the output mirrors what the device delivered one pattern cycle
// earlier. A value outside the tolerated range never reaches the output: it
// is replaced by the rate's nominal pattern at that position, and the
// pattern counts as locked again after one full cycle of good values.
//
// Concurrency: the record side runs on the USB completion threads, the write
// side on output set-up. Entries and cursors are single 32-bit words, read
// and written without a lock (relaxed atomics).
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/engine/ZrDeviceTraits.h"

constexpr uint32_t kFramePatternMaxEntries = 320;

struct FeedbackStreamingStruct {
    uint32_t mValues[32];
    uint32_t mCount; // values in use
};
static_assert(sizeof(FeedbackStreamingStruct) == 132);

// Fills count entries with base and spreads (total - count x base) over
// them, one unit per entry at even steps starting at entry 0. A difference
// larger than count leaves every entry at base. Returns the pattern's sum.
uint32_t fpoInitPattern(uint32_t count, uint32_t* pattern, uint32_t base, int total);

class ZrFramePatternObserver {
public:
    // Set up for 44,100 Hz, 2 + 2 channels of 2 bytes, full speed.
    ZrFramePatternObserver();
    virtual ~ZrFramePatternObserver();
    ZrFramePatternObserver(const ZrFramePatternObserver&) = delete;
    ZrFramePatternObserver& operator=(const ZrFramePatternObserver&) = delete;

    void init(uint32_t rate, uint32_t inBytesPerSample, uint32_t inChannels,
              uint32_t outBytesPerSample, uint32_t outChannels, bool highSpeed,
              const ZrDeviceIds& ids);

    // The frames to use for one received packet.
    int onRtsFrame(int frames, uint32_t& errors);
    // The same for the total of one group of 8 microframes.
    int onRtsFrameMicroFrames(int frames, uint32_t& errors, const char* caller);
    // The Farlane-2 interrupt transport: every packet is 7 frames.
    uint32_t onRtsFrame_Sfb2(uint32_t frames, uint32_t& errors);
    // Explicit feedback, one value per packet; true when the pattern locked
    // during the batch. Out-of-range values are replaced in the batch too.
    bool isocFeedbackReadComplete(FeedbackStreamingStruct& fb);
    // Explicit feedback in 1 ms values on a high-speed bus.
    bool isocFeedbackReadCompleteFullFrame(FeedbackStreamingStruct& fb);

    // Output side: the next packet's frame count (the write cursor advances
    // and wraps).
    uint32_t nextWriteFrames();

    bool isLocked() const { return mLocked.load(std::memory_order_relaxed); }
    bool isHighSpeed() const { return mHighSpeed; }
    uint32_t expected() const { return mExpected; }
    uint32_t minimum() const { return mMinimum; }
    uint32_t maximum() const { return mMaximum; }
    uint32_t tolerance() const { return mTolerance; }
    uint32_t nominalPerMs() const { return mNominalPerMs; }
    uint32_t patternLength() const { return mLength; }
    uint32_t inBytesPerFrame() const { return mInBytesPerFrame; }
    uint32_t outBytesPerFrame() const { return mOutBytesPerFrame; }
    uint32_t outChannels() const { return mOutChannels; }
    uint32_t outBytesPerSample() const { return mOutBytesPerSample; }
    uint32_t recordCursor() const { return mRecord.load(std::memory_order_relaxed); }
    uint32_t writeCursor() const { return mWrite.load(std::memory_order_relaxed); }
    uint32_t lossIndex() const { return mLossIndex.load(std::memory_order_relaxed); }
    uint32_t liveAt(uint32_t i) const {
        return mLive[i % kFramePatternMaxEntries].load(std::memory_order_relaxed);
    }
    uint32_t nominalAt(uint32_t i) const { return mNominal[i % kFramePatternMaxEntries]; }
    // Template k (0..4) totals nominal per ms - 2 + k.
    uint32_t groupTemplateAt(uint32_t k, uint32_t i) const { return mGroups[k % 5][i % 8]; }

private:
    void recordOne(uint32_t value);
    void recordGroup(const uint32_t* values);
    bool lockCheck();
    void loseSync();

    std::atomic<uint32_t> mWrite{0};
    std::atomic<uint32_t> mRecord{0};
    std::atomic<uint32_t> mLossIndex{0};
    std::atomic<bool> mLocked{false};
    bool mHighSpeed = false;
    uint32_t mExpected = 0;
    uint32_t mMinimum = 0;
    uint32_t mMaximum = 0;
    uint32_t mNominalPerMs = 0;
    uint32_t mTolerance = 0;
    uint32_t mInBytesPerFrame = 1;
    uint32_t mOutChannels = 0;
    uint32_t mOutBytesPerSample = 0;
    uint32_t mOutBytesPerFrame = 1;
    uint32_t mLength = 16;
    std::atomic<uint32_t> mLive[kFramePatternMaxEntries]{};
    uint32_t mNominal[kFramePatternMaxEntries]{};
    uint32_t mGroups[5][8]{};
};
