// The shared audio ring: the 540,656-byte record through which audio crosses
// the kernel boundary. The kernel lays out one for the device's input
// (memory type 4) and one per attached client for that client's output
// (memory type 5); user space maps both and never allocates one.
//
// The record holds a 512 KiB ring of interleaved signed 32-bit frames (with
// an optional area of extra bytes per frame behind the audio), the ring
// geometry, writer and reader positions, the client's attach handshake and
// the time-stamp data that turns sample positions into host times.
//
// Rules of the ring:
// - One writer and one reader, in different address spaces, no locks.
//   Positions are free-running 64-bit frame counts; the ring index of a
//   position is the position modulo the ring length.
// - Publication order is data first, then mFramePos (release); the reader
//   loads mFramePos (acquire) before it touches the data. The published
//   time-base slot is written before mTSToggle (release).
// - Every header word is read and written with one __atomic access. Several
//   64-bit words sit at offsets that are 4 modulo 8 (the layout is packed and
//   binds every user of the record), so they cannot be std::atomic; a single
//   8-byte access is used, never two halves.
// - Geometry comes from AudioSMGeometry::forLayout, which always yields a
//   layout inside the sample area. Nobody addresses the ring with a length
//   read back from the record: user space derives the geometry from the
//   channel and extra-byte counts, the kernel keeps its own copy.
//
// Real-time path (transfers, copy functions, time-stamp publication): no
// allocation, no lock, no logging.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "boundary records are little-endian");

struct QN_TimeStampsBufferData;

constexpr uint32_t kAudioSMSampleAreaBytes = 524288;
constexpr uint32_t kAudioSMTotalBytes = 540656;
constexpr uint32_t kAudioSMMaxChannels = 32;
// The products carry 0, 2 or 4 extra bytes per frame; anything beyond this
// bound is laid out as none so a frame can never outgrow the sample area.
constexpr uint32_t kAudioSMMaxExtraBytesPerFrame = 64;
constexpr uint32_t kTimeStampsCount = 1000;

// ---------------------------------------------------------------------------
// Copy functions handed to the transfers. Counts are 32-bit samples.

typedef void (*AudioCopyFunc)(int32_t* dst, const int32_t* src, uint32_t count);
typedef void (*AudioClearFunc)(int32_t* dst, uint32_t count);

inline void audioInt32CopySet(int32_t* dst, const int32_t* src, uint32_t count) {
    std::memcpy(dst, src, size_t(count) * 4);
}

// Wrap-around addition, as the mixer's sums are saturated afterwards.
inline void audioInt32CopyAdd(int32_t* dst, const int32_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        dst[i] = int32_t(uint32_t(dst[i]) + uint32_t(src[i]));
}

inline void audioInt32Clear(int32_t* dst, uint32_t count) {
    std::memset(dst, 0, size_t(count) * 4);
}

inline void audioInt32ClearNot(int32_t*, uint32_t) {}

// Right-aligned 24-bit sums to left-aligned ring samples, clamped.
inline void audioInt32Saturate(int32_t* buf, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t v = buf[i];
        if (v < -0x800000)
            buf[i] = int32_t(0x80000000u);
        else if (v >= 0x800000)
            buf[i] = 0x7FFFFF00;
        else
            buf[i] = int32_t(uint32_t(v) << 8);
    }
}

inline void audioInt32CopyShift(int32_t* dst, const int32_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        dst[i] = src[i] / 256;
}

// ---------------------------------------------------------------------------
// Single-access loads and stores of header words (see the rules above).

namespace audiosm {

// Only relaxed and acquire/release orders, each a plain move on x86-64. A
// sequentially consistent (locked) access to a word that straddles a cache
// line is a split lock, which the host may trap and slow down by orders of
// magnitude; the orders are therefore chosen here, never passed through.
inline uint64_t load64(const void* p, int order = __ATOMIC_RELAXED) {
    const auto* w = static_cast<const uint64_t*>(p);
    return order == __ATOMIC_ACQUIRE ? __atomic_load_n(w, __ATOMIC_ACQUIRE)
                                     : __atomic_load_n(w, __ATOMIC_RELAXED);
}
inline void store64(void* p, uint64_t v, int order = __ATOMIC_RELAXED) {
    auto* w = static_cast<uint64_t*>(p);
    if (order == __ATOMIC_RELEASE)
        __atomic_store_n(w, v, __ATOMIC_RELEASE);
    else
        __atomic_store_n(w, v, __ATOMIC_RELAXED);
}
inline uint32_t load32(const void* p, int order = __ATOMIC_RELAXED) {
    const auto* w = static_cast<const uint32_t*>(p);
    return order == __ATOMIC_ACQUIRE ? __atomic_load_n(w, __ATOMIC_ACQUIRE)
                                     : __atomic_load_n(w, __ATOMIC_RELAXED);
}
inline void store32(void* p, uint32_t v, int order = __ATOMIC_RELAXED) {
    auto* w = static_cast<uint32_t*>(p);
    if (order == __ATOMIC_RELEASE)
        __atomic_store_n(w, v, __ATOMIC_RELEASE);
    else
        __atomic_store_n(w, v, __ATOMIC_RELAXED);
}

// Compare-and-exchange of a 32-bit word (acquire-release; acquire on
// failure, when `expected` takes the word's value).
inline bool cas32(void* p, uint32_t& expected, uint32_t desired) {
    auto* w = static_cast<uint32_t*>(p);
    return __atomic_compare_exchange_n(w, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}
// The same for a 64-bit word (the ring's header words never straddle a cache
// line, so the locked exchange is not a split lock).
inline bool cas64(void* p, uint64_t& expected, uint64_t desired) {
    auto* w = static_cast<uint64_t*>(p);
    return __atomic_compare_exchange_n(w, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

} // namespace audiosm

// Address of a field of a packed record, for the accessors above (taking
// the address of a packed member directly would lose its alignment).
#define AUDIOSM_AT(obj, Type, field) (reinterpret_cast<char*>(obj) + offsetof(Type, field))
#define AUDIOSM_CAT(obj, Type, field) (reinterpret_cast<const char*>(obj) + offsetof(Type, field))

#pragma pack(push, 1)

// A published time base: maps a sample position to host time by the line
// through (first frame, first host time) and (last frame, last host time).
struct AudioTSData {
    uint64_t mFirstFrame;
    uint64_t mLastFrame;
    uint64_t mFirstHostTime;
    uint64_t mLastHostTime;
    uint64_t mHostSpan;  // last - first host time
    uint64_t mFrameSpan; // last - first frame

    // (P - first frame) x host span / frame span + first host time, signed;
    // 0 for a frame span of 0. Reads each word once (the record may be in
    // shared memory).
    uint64_t hostTimeForSample(uint64_t sample) const;
};

// The ring of (host time, sample time) stamps. In the kernel build the ring
// entries are kept privately and copied here; user space reads them.
struct TimeStampsBuffer {
    uint32_t mCount;                      // stamps ever added
    uint64_t mHostTime[kTimeStampsCount]; // slot = index mod 1,000
    uint64_t mSampleTime[kTimeStampsCount];
    uint64_t mMutex; // kernel-private; always 0 here
    uint64_t mRunningSampleTime;
    uint32_t mCountAtLastCopy;
    uint64_t mFirstHostTime;
    uint64_t mFirstSampleTime;

    // Clears count, entries and totals.
    void Init();
    // Remembers the first pair once, updates the running sample time and, when
    // store is true, stores (host time, running sample time) at slot count
    // mod 1,000 and counts it. Returns the count.
    uint32_t AddTimeStamp(uint64_t hostTime, uint64_t frames, bool cumulative, bool store = true);
    // The newest pair; returns the number of completed passes over the ring.
    uint32_t GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const;
    // Host time of a sample position: interpolated between the two stamps
    // around it, extrapolated from the two newest after the newest and from
    // the two oldest before the oldest. 0 with fewer than 2 stamps.
    uint64_t GetTimeStamp(uint64_t sampleTime) const;
    // Copies the entries added since the last copy into the same slots of
    // the record (the caller serialises against AddTimeStamp).
    void CopyData(QN_TimeStampsBufferData& out);
};

#pragma pack(pop)

// Ring geometry, derived only from the channel and extra-byte counts. Not a
// boundary record: it lives in each side's own memory.
struct AudioSMGeometry {
    uint32_t channels;           // 1..32
    uint32_t bytesPerFrame;      // channels x 4 + extra
    uint32_t audioBytesPerFrame; // channels x 4
    uint32_t audioBytes;         // maxFrames x audioBytesPerFrame
    uint32_t extraBytesPerFrame; // 0..kAudioSMMaxExtraBytesPerFrame
    uint32_t extraBytes;         // maxFrames x extraBytesPerFrame
    uint32_t extraOffset;        // audioBytes rounded up to 16
    uint64_t maxFrames;          // a power of two, at least 1

    // Channels 0 or above 32 are laid out as 2; extra bytes above the bound
    // as 0. The result always fits the sample area.
    static AudioSMGeometry forLayout(uint32_t channels, uint32_t extraBytesPerFrame);

    uint64_t indexOf(uint64_t pos) const { return pos & (maxFrames - 1); }
};

// How a transfer meets the ring: one piece, or two when it crosses the end.
struct AudioSMSpan {
    uint64_t index;        // ring index of the first frame
    uint32_t firstFrames;  // frames in the first piece (may be 0 after a wrap)
    uint32_t secondFrames; // frames continued at index 0
};

// The split of frames starting at pos, or false when frames exceed the ring
// (such transfers are refused).
bool audioSMSpan(const AudioSMGeometry& g, uint64_t pos, uint32_t frames, AudioSMSpan& span);

// Copies between a caller's buffer and the ring by the given geometry. The
// ring side is `area` (the sample area of a record); srcStride/dstStride are
// the caller's bytes per frame (0: the ring's audio bytes per frame). False
// when the transfer is refused.
bool audioSMWriteAudio(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, const int32_t* src,
                       uint32_t frames, AudioCopyFunc copy);
bool audioSMReadAudio(const uint8_t* area, const AudioSMGeometry& g, uint64_t pos, int32_t* dst,
                      uint32_t frames, AudioCopyFunc copy);
bool audioSMWriteExtra(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, const uint8_t* src,
                       uint32_t frames);
// Copies the extra bytes out and leaves zeros where it read.
bool audioSMReadClearExtra(uint8_t* area, const AudioSMGeometry& g, uint64_t pos, uint8_t* dst,
                           uint32_t frames);

#pragma pack(push, 1)

struct AudioSM {
    uint8_t mSamples[kAudioSMSampleAreaBytes]; // 0
    uint32_t mBytesPerFrame;                   // 0x80000
    uint32_t mChannelsPerFrame;                // 0x80004
    uint32_t mAudioBytesPerFrame;              // 0x80008
    uint32_t mAudioBytes;                      // 0x8000C
    uint32_t mExtraBytesPerFrame;              // 0x80010
    uint32_t mExtraBytes;                      // 0x80014
    uint32_t mExtraOffset;                     // 0x80018
    uint64_t mMaxFrames;                       // 0x8001C
    uint32_t mAttachState;        // 0x80024: 0 laid out, 2/3 attach requested, 1 running
    uint32_t mSyncNotification;   // 0x80028
    uint64_t mClientFramePos;     // 0x8002C
    uint64_t mAttachTimeStamp;    // 0x80034
    uint64_t mAttachFramePos;     // 0x8003C
    uint64_t mAttachOutFramePos;  // 0x80044
    uint32_t mTimebaseNumer;      // 0x8004C
    uint32_t mTimebaseDenom;      // 0x80050
    uint64_t mReserved;           // 0x80054
    uint64_t mFirstZeroHostTime;  // 0x8005C
    uint64_t mZeroHostTime;       // 0x80064
    uint64_t mZeroSampleTime;     // 0x8006C
    uint64_t mZeroUpdateCount;    // 0x80074
    uint64_t mSampleRate;         // 0x8007C
    uint64_t mKernelOutFramePos;  // 0x80084
    TimeStampsBuffer mTimeStamps; // 0x8008C
    uint64_t mFramePos;           // 0x83F34
    uint64_t mWriteOffset;        // 0x83F3C
    AudioTSData mTSData[2];       // 0x83F44, 0x83F74: published slots 0 and 1
    AudioTSData mTSWorking;       // 0x83FA4
    uint64_t mTSInterval;         // 0x83FD4
    uint32_t mTSToggle;           // 0x83FDC: non-zero = readers use slot 0
    uint64_t mTicksPerRing;       // 0x83FE0
    uint64_t mWriteCount;         // 0x83FE8

    // --- Layout and geometry ------------------------------------------------
    // Lays out the record for the channels, rate and extra bytes and clears
    // the sample area. Returns the geometry it wrote.
    AudioSMGeometry _init(uint32_t channels, uint32_t sampleRate, uint32_t extraBytesPerFrame);
    // The same without the printed lines (the kernel logs them itself).
    AudioSMGeometry _layout(uint32_t channels, uint32_t sampleRate, uint32_t extraBytesPerFrame);
    // The geometry this record's channel and extra-byte counts stand for.
    AudioSMGeometry geometry() const;
    void zeroTotalBuffer();
    void zeroAudioBuffer() {}
    void zeroExtraBuffer() {}

    // --- Positions and time (user-space side) --------------------------------
    uint64_t getFramePos() const;
    int32_t getAvailableFrames(uint64_t readPos) const;
    void AddTimeStamp(uint64_t hostTime, uint64_t sampleTime, bool accumulate);
    uint64_t setZeroSampleTime(uint64_t sampleTime);
    // Publishes a time-base record once rate/4 frames have passed.
    void writeTimestamp(uint64_t hostTime);
    // The host time of a position through the slot readers use.
    uint64_t hostTimeForSample(uint64_t sample) const;

    // --- Frame transfers (user-space side) -----------------------------------
    // Each returns the frames moved: 0 when the transfer is refused (more
    // frames than the ring holds).
    uint32_t writeFrames(const int32_t* src, uint32_t frames, uint64_t offset,
                         AudioCopyFunc copy = nullptr, const uint8_t* extraSrc = nullptr);
    uint32_t read(uint64_t& readPos, int32_t* dst, uint32_t frames, uint64_t& hostTimeOut,
                  AudioCopyFunc copy, uint8_t* extraDst = nullptr);
    uint32_t writeFramesToKernelAtPos(const int32_t* src, uint32_t frames, uint64_t pos,
                                      uint64_t offset, uint32_t srcChannels, AudioCopyFunc copy,
                                      uint32_t srcBytesPerSample);
    uint32_t readFromKernel(uint64_t& readPos, int32_t* dst, uint32_t frames, AudioCopyFunc copy,
                            uint32_t dstBytesPerSample);
};

#pragma pack(pop)

// Frame geometry: the 24,576-byte header area, little-endian, no gaps.
static_assert(sizeof(AudioTSData) == 48);
static_assert(sizeof(TimeStampsBuffer) == 16040);
static_assert(offsetof(TimeStampsBuffer, mHostTime) == 4);
static_assert(offsetof(TimeStampsBuffer, mSampleTime) == 8004);
static_assert(offsetof(TimeStampsBuffer, mMutex) == 16004);
static_assert(offsetof(TimeStampsBuffer, mRunningSampleTime) == 16012);
static_assert(offsetof(TimeStampsBuffer, mCountAtLastCopy) == 16020);
static_assert(offsetof(TimeStampsBuffer, mFirstHostTime) == 16024);
static_assert(offsetof(TimeStampsBuffer, mFirstSampleTime) == 16032);

static_assert(sizeof(AudioSM) == kAudioSMTotalBytes);
static_assert(offsetof(AudioSM, mBytesPerFrame) == 0x80000);
static_assert(offsetof(AudioSM, mChannelsPerFrame) == 0x80004);
static_assert(offsetof(AudioSM, mAudioBytesPerFrame) == 0x80008);
static_assert(offsetof(AudioSM, mAudioBytes) == 0x8000C);
static_assert(offsetof(AudioSM, mExtraBytesPerFrame) == 0x80010);
static_assert(offsetof(AudioSM, mExtraBytes) == 0x80014);
static_assert(offsetof(AudioSM, mExtraOffset) == 0x80018);
static_assert(offsetof(AudioSM, mMaxFrames) == 0x8001C);
static_assert(offsetof(AudioSM, mAttachState) == 0x80024);
static_assert(offsetof(AudioSM, mSyncNotification) == 0x80028);
static_assert(offsetof(AudioSM, mClientFramePos) == 0x8002C);
static_assert(offsetof(AudioSM, mAttachTimeStamp) == 0x80034);
static_assert(offsetof(AudioSM, mAttachFramePos) == 0x8003C);
static_assert(offsetof(AudioSM, mAttachOutFramePos) == 0x80044);
static_assert(offsetof(AudioSM, mTimebaseNumer) == 0x8004C);
static_assert(offsetof(AudioSM, mTimebaseDenom) == 0x80050);
static_assert(offsetof(AudioSM, mReserved) == 0x80054);
static_assert(offsetof(AudioSM, mFirstZeroHostTime) == 0x8005C);
static_assert(offsetof(AudioSM, mZeroHostTime) == 0x80064);
static_assert(offsetof(AudioSM, mZeroSampleTime) == 0x8006C);
static_assert(offsetof(AudioSM, mZeroUpdateCount) == 0x80074);
static_assert(offsetof(AudioSM, mSampleRate) == 0x8007C);
static_assert(offsetof(AudioSM, mKernelOutFramePos) == 0x80084);
static_assert(offsetof(AudioSM, mTimeStamps) == 0x8008C);
static_assert(offsetof(AudioSM, mFramePos) == 0x83F34);
static_assert(offsetof(AudioSM, mWriteOffset) == 0x83F3C);
static_assert(offsetof(AudioSM, mTSData) == 0x83F44);
static_assert(offsetof(AudioSM, mTSData) + sizeof(AudioTSData) == 0x83F74);
static_assert(offsetof(AudioSM, mTSWorking) == 0x83FA4);
static_assert(offsetof(AudioSM, mTSInterval) == 0x83FD4);
static_assert(offsetof(AudioSM, mTSToggle) == 0x83FDC);
static_assert(offsetof(AudioSM, mTicksPerRing) == 0x83FE0);
static_assert(offsetof(AudioSM, mWriteCount) == 0x83FE8);
// The decimal offsets the kernel side names.
static_assert(offsetof(AudioSM, mAttachState) == 524324);
static_assert(offsetof(AudioSM, mSyncNotification) == 524328);
static_assert(offsetof(AudioSM, mTimeStamps) == 524428);
static_assert(offsetof(AudioSM, mFramePos) == 540468);
static_assert(offsetof(AudioSM, mTSData) == 540484);
static_assert(offsetof(AudioSM, mTSWorking) == 540580);
static_assert(offsetof(AudioSM, mTSInterval) == 540628);
