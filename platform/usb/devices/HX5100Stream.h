// The HX-5100's audio side: its own sample clock, the capture source and the
// playback FIFO, as the device's isochronous endpoints see them.
//
// Sample clock: the device runs from its own crystal, not from the bus. Its
// rate is the nominal rate off by a configurable ppm, with a bounded,
// reproducible jitter on each period boundary. Frames are counted on the
// bus's 125 us grid with an integer accumulator (units of 10^-12 frame), so
// the remainders spread exactly: 44.1 kHz gives 44 or 45 frames per 1 ms
// packet and drift shows up as exact counts over time.
//
// Capture (IN 0x82): the packet served in a period carries the frames the
// device produced during the period before it; frames of periods the host
// did not poll are lost, as on the device. The source is a ramp with an
// embedded frame counter, silence, or loopback: the playback output fed back
// to the inputs a fixed number of frames later.
//
// Playback (OUT 0x01): packets of any size are accepted and their whole
// frames queued in a FIFO the converter drains at the device clock, once the
// FIFO first holds its start level. Odd sizes, empty packets and sizes away
// from the device's own count are counted as anomalies; the fill is measured
// (minimum, maximum, level at a marked lock point). A checker follows the
// ramp in what the converter plays.
//
// Wire format both ways: 2 channels of 24-bit little-endian PCM, 6 bytes a
// frame; a device with 16-bit alternates may set either direction to 16-bit
// little-endian PCM, 4 bytes a frame (the sample's top 16 bits; the ramp is
// then the 16-bit one). Everything here runs under the model's lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace hx::usb::devices {

constexpr uint32_t kHX5100Channels = 2;
constexpr uint32_t kHX5100BytesPerFrame = kHX5100Channels * 3;

// A 24-bit little-endian value as the device sends it (samples, rates).
inline void put24(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
}
inline uint32_t get24(const uint8_t* p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
}

// The ramp test signal: channel 0 carries the frame counter (24 bits),
// channel 1 the counter offset by half the range, so a frame is never all
// zero and swapped or torn channels show.
struct Ramp {
    static constexpr uint32_t kMask = 0xFFFFFF;
    static uint32_t sample(uint64_t frame, uint32_t channel) {
        return (uint32_t)(frame + (uint64_t)channel * 0x800000) & kMask;
    }
    // Frames first .. first + frames - 1 in wire format, back to back.
    static void write(uint8_t* out, uint64_t first, uint64_t frames) {
        for (uint64_t i = 0; i < frames; ++i)
            for (uint32_t c = 0; c < kHX5100Channels; ++c)
                put24(out + i * kHX5100BytesPerFrame + 3 * c, sample(first + i, c));
    }
    // The counter a frame carries, or nothing when its channels disagree.
    static std::optional<uint32_t> counter(const uint32_t* samples) {
        if (samples[1] != ((samples[0] + 0x800000) & kMask)) return std::nullopt;
        return samples[0];
    }
};

// The ramp at 16 bits: the same with a 16-bit counter (channel 1 offset by
// half its range), carried in the top 16 bits of the 24-bit sample.
struct Ramp16 {
    static constexpr uint32_t kMask = 0xFFFF;
    static uint32_t sample(uint64_t frame, uint32_t channel) {
        return ((uint32_t)(frame + (uint64_t)channel * 0x8000) & kMask) << 8;
    }
    static std::optional<uint32_t> counter(const uint32_t* samples) {
        if ((samples[0] & 0xFF) || (samples[1] & 0xFF)) return std::nullopt;
        const uint32_t c0 = samples[0] >> 8, c1 = (samples[1] >> 8) & kMask;
        if (c1 != ((c0 + 0x8000) & kMask)) return std::nullopt;
        return c0 & kMask;
    }
};

// The device's sample clock on the bus's 125 us grid.
class SampleClock {
public:
    static constexpr int64_t kUnitsPerFrame = 1000000000000; // accumulator units of one frame

    // Starts counting at grid unit `origin` (frames produced there: 0).
    void start(uint32_t rate, int32_t ppm, uint32_t jitterNanos, uint64_t seed, uint64_t origin);
    bool running() const { return mRunning; }
    void stop() { mRunning = false; }
    uint32_t rate() const { return mRate; }
    // Frames produced from the origin to the start of grid unit `unit`.
    // Units must not go back more than the kept history.
    uint64_t framesAt(uint64_t unit);

private:
    int64_t jitterUnits(uint64_t unit) const;

    bool mRunning = false;
    uint32_t mRate = 0;
    int64_t mPerUnit = 0;     // accumulator units per 125 us
    int64_t mJitterScale = 0; // accumulator units per ns of jitter
    uint32_t mJitterNanos = 0;
    uint64_t mSeed = 0;
    uint64_t mOrigin = 0;
    uint64_t mUnit = 0;    // accumulator position
    uint64_t mWhole = 0;   // whole frames at mUnit
    int64_t mFraction = 0; // 0 <= fraction < kUnitsPerFrame
    static constexpr size_t kHistory = 64;
    std::array<uint64_t, kHistory> mCounts{}; // jittered counts of recent units
    uint64_t mCountsEnd = 0;                  // units below this are in mCounts
};

enum class HX5100Source { Ramp, Silence, Loopback };

struct HX5100StreamConfig {
    int32_t ppm = 0;          // device clock offset from nominal
    uint32_t jitterNanos = 0; // bound of the period-boundary jitter
    uint64_t seed = 1;        // jitter sequence
    HX5100Source source = HX5100Source::Ramp;
    uint32_t loopbackDelayFrames = 32;
    uint32_t fifoCapacityFrames = 4096;
    uint32_t fifoStartFrames = 0; // 0: two packets' worth (2 ms of audio)
    // Faults to show that lost frames are seen: the converter skips one FIFO
    // frame (drop) or plays one twice (repeat) when it plays this frame
    // (1-based, counted from the start of playing); 0: never.
    uint64_t dropFrameAt = 0;
    uint64_t repeatFrameAt = 0;
};

struct HX5100StreamStats {
    // Capture
    uint64_t inPackets = 0;
    uint64_t inFramesSent = 0;
    uint64_t inFramesLost =
        0; // produced in periods the host did not poll, or cut by a short request
    // Playback
    uint64_t outPackets = 0;
    uint64_t outFrames = 0;
    uint64_t outMisaligned = 0; // packets that were not whole frames
    uint64_t outEmpty = 0;
    uint64_t outSizeAnomalies = 0; // frames outside the device's count for the period +- tolerance
    uint64_t fifoOverflowFrames = 0;
    uint64_t fifoUnderrunFrames = 0; // frames played from an empty FIFO after the start
    uint64_t framesDropped = 0;      // FIFO frames the converter skipped
    uint64_t framesRepeated = 0;     // frames the converter played twice
    bool playing = false;
    int64_t fifoLevel = 0;
    // The fill in frames, sampled on every OUT packet before and after its
    // frames are queued (so both ends of the swing are seen), since the lock
    // mark (or the start).
    int64_t fifoMin = 0;
    int64_t fifoMax = 0;
    uint64_t fifoSamples = 0;
    std::optional<int64_t> fifoLockLevel;
    // Checker of the played frames
    uint64_t playedFrames = 0;
    uint64_t rampFrames = 0;      // frames carrying a valid counter
    uint64_t silentFrames = 0;    // all-zero frames
    uint64_t corruptFrames = 0;   // neither ramp nor silence
    uint64_t discontinuities = 0; // a counter that did not follow the previous one
    uint64_t dropouts = 0;        // silence after the ramp had started
};

class HX5100Stream {
public:
    void configure(const HX5100StreamConfig& config) { mConfig = config; }
    const HX5100StreamConfig& config() const { return mConfig; }
    // Bytes a sample on the wire, capture and playback (3 or 2; 0 keeps
    // the direction's own). A change restarts the stream, as an alternate
    // change does.
    void setWireFormat(uint32_t inSampleBytes, uint32_t outSampleBytes);
    // Rate change, alternate change or bus reset: the clock restarts at the
    // next packet; the FIFO empties. The statistics stay.
    void restart();

    uint32_t packetIn(uint32_t rate, uint64_t unit, uint32_t periodUnits, uint8_t* data,
                      uint32_t capacity);
    void packetOut(uint32_t rate, uint64_t unit, uint32_t periodUnits, const uint8_t* data,
                   uint32_t length);

    const HX5100StreamStats& stats() const { return mStats; }
    // The lock point: remembers the fill now and measures min/max from here.
    void markFifoLock();
    // Frames the device clock produced so far.
    uint64_t deviceFrames() const { return mDeviceFrames; }
    // The next `packets` capture packets carry at most `frames` frames (the
    // rest of their period is lost): a device whose packets leave the
    // host's tolerance.
    void sendOffSize(uint32_t packets, uint32_t frames) {
        mOffSizeLeft = packets;
        mOffSizeFrames = frames;
    }

private:
    void ensureClock(uint32_t rate, uint64_t unit, uint32_t periodUnits);
    void play(uint64_t upToFrame);
    void sampleFifo();
    void check(const uint32_t* frame);

    HX5100StreamConfig mConfig;
    HX5100StreamStats mStats;
    SampleClock mClock;
    uint64_t mDeviceFrames = 0;
    uint64_t mPlayedTo = 0;   // device frames the converter has played
    uint64_t mInFramesTo = 0; // device frames accounted on the capture side
    std::deque<std::array<uint32_t, kHX5100Channels>> mFifo;
    static constexpr size_t kLoopHistory = 1 << 16;
    std::vector<std::array<uint32_t, kHX5100Channels>> mPlayed =
        std::vector<std::array<uint32_t, kHX5100Channels>>(kLoopHistory);
    std::optional<uint32_t> mExpected; // the checker's next counter
    bool mRampSeen = false;
    uint32_t mOffSizeLeft = 0;
    uint32_t mOffSizeFrames = 0;
    uint32_t mInSampleBytes = 3;
    uint32_t mOutSampleBytes = 3;
};

} // namespace hx::usb::devices
