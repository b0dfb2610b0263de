// The kernel's side of the shared audio rings.
//
// A ring's memory is mapped by user space, which can write any of it at any
// time. The kernel therefore keeps the ring's geometry, its writer state and
// its time-stamp entries here, in its own memory, and only publishes them to
// the shared record; it never reads back a length, position or pointer it
// would have to trust. Values it does read from a ring (a client's write
// position) are taken as numbers, never as addresses.
//
// AudioSMView: a ring and the geometry the kernel laid it out with; used for
// the clients' output rings, which the kernel reads.
// AudioSMWriter: the device's input ring, which the kernel writes, with its
// time-stamp ring and published time bases.
//
// Real-time path (transfers, stamps, time bases): no allocation, no logging,
// the stamp lock only tried, never waited for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abi/AudioSM.h"

struct IOLock;
struct QN_TimeStampsBufferData;

class AudioSMView {
public:
    AudioSMView() = default;
    AudioSMView(const AudioSMView&) = delete;
    AudioSMView& operator=(const AudioSMView&) = delete;

    // Takes a ring with the geometry the kernel laid it out with.
    void bind(AudioSM* shared, const AudioSMGeometry& geometry);
    void unbind();
    // Lays out the ring (logging as the kernel does) and keeps its geometry.
    AudioSMGeometry _init(uint32_t channels, uint32_t sampleRate, uint32_t extraBytesPerFrame);

    AudioSM* shared() const { return mShared; }
    const AudioSMGeometry& geometry() const { return mGeo; }
    bool isBound() const { return mShared != nullptr; }

    // Reads frames at pos into dst through copy (no copy without dst or
    // copy); extra bytes, when asked, are read and cleared. False, with
    // nothing read, for more frames than the ring holds.
    bool readAt(uint64_t pos, int32_t* dst, uint32_t frames, AudioCopyFunc copy,
                uint8_t* extraDst = nullptr);

    // Single-access header words, by their offset in the record.
    void store64At(size_t offset, uint64_t v, int order = __ATOMIC_RELAXED);
    void store32At(size_t offset, uint32_t v, int order = __ATOMIC_RELAXED);
    uint64_t load64At(size_t offset, int order = __ATOMIC_RELAXED) const;
    uint32_t load32At(size_t offset, int order = __ATOMIC_RELAXED) const;

protected:
    AudioSM* mShared = nullptr;
    AudioSMGeometry mGeo{};
};

class AudioSMWriter : public AudioSMView {
public:
    AudioSMWriter() = default;
    ~AudioSMWriter();

    // Lays out the ring for the input, resets the writer state and the
    // time-stamp ring (with a new stamp lock).
    AudioSMGeometry _init(uint32_t channels, uint32_t sampleRate, uint32_t extraBytesPerFrame);
    void zeroTotalBuffer();

    // Writes frames at mFramePos + offset (no data without src: the ring
    // only advances) and then advances mFramePos. Returns the frames, or 0
    // when more frames than the ring holds were given (nothing changes).
    uint32_t writeFrames(const int32_t* src, uint32_t frames, uint64_t offset,
                         AudioCopyFunc copy = nullptr, const uint8_t* extra = nullptr);
    // Adds a stamp; the first of a layout is preceded by the zero-frame stamp
    // of sample position 0. Returns the stamp count.
    uint32_t AddTimeStamp(uint64_t hostTime, uint64_t frames, bool cumulative);
    void updateZeroTimeStamp(uint64_t frames);
    uint64_t setZeroSampleTime(uint64_t sampleTime);
    // A client asks for a new zero time stamp by writing the ring's zero
    // sample word. Taken at every write: 0 clears the stamp; a position at
    // most one ring before the write position becomes the zero sample time;
    // anything else is ignored (the kernel's value is published again).
    void takeZeroRequest();
    // Publishes a time base once a quarter second of frames has passed.
    void writeTimestamp(uint64_t hostTime);

    uint32_t GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const;
    uint64_t GetTimeStamp(uint64_t sampleTime) const;
    // The stamps added since the last copy, under the stamp lock.
    void CopyData(QN_TimeStampsBufferData& out);

    uint64_t getFramePos() const { return mFramePos; }
    uint64_t sampleRate() const { return mSampleRate; }
    uint64_t ticksPerRing() const { return mTicksPerRing; }
    uint64_t zeroSampleTime() const { return mZeroSampleTime; }
    uint64_t zeroHostTime() const { return mZeroHostTime; }
    uint64_t zeroUpdateCount() const { return mZeroUpdateCount; }
    uint64_t writeCount() const { return mWriteCount; }
    uint32_t tsToggle() const { return mTSToggle; }
    // The published time base readers use (slot 0 while the toggle is set).
    const AudioTSData& publishedTimeBase() const { return mTS[mTSToggle ? 0 : 1]; }
    const AudioTSData& workingTimeBase() const { return mTSWorking; }

    // Holds the stamp lock (the copy does, for as long as it runs); stamps
    // added meanwhile are dropped but keep counting frames.
    void lockStamps();
    void unlockStamps();

private:
    void publishStamp(uint32_t slot);
    void publishZero();
    void clearZero();

    uint64_t mSampleRate = 0;
    uint64_t mTSInterval = 0;
    uint64_t mTicksPerRing = 0;
    uint64_t mFramePos = 0;
    uint64_t mWriteOffset = 0;
    uint64_t mWriteCount = 0;
    uint64_t mZeroHostTime = 0;
    uint64_t mZeroSampleTime = 0;
    uint64_t mZeroUpdateCount = 0;
    uint64_t mFirstZeroHostTime = 0;
    // The zero sample word as this writer last left it; any other value
    // there is a client's request.
    uint64_t mSeenZeroWord = 0;
    AudioTSData mTS[2]{};
    AudioTSData mTSWorking{};
    uint32_t mTSToggle = 1;
    TimeStampsBuffer mStamps{};
    IOLock* mStampsLock = nullptr;
};
