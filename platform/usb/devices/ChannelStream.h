// The audio side of the multi-channel device models (bulk, interrupt,
// feedback, Farlane-2): the HX-5100's own sample clock, its ramp, loopback
// and FIFO measurement for n input and m output channels, as packets of any
// transport see them.
//
// Sample clock: the HX-5100's (HX5100Stream.h), started at the first
// streaming transaction, the nominal rate off by a configurable ppm.
//
// Capture: the device produces frames at its clock; a transport takes them
// in whole packets (`takeCapture`). Frames the host did not fetch pile up in
// a capture buffer of limited size; what overflows it is lost (counted).
// Sources: the n-channel ramp, silence or loopback (output channel c % m
// played `loopbackDelayFrames` earlier goes to input channel c).
//
// Playback: a transport queues whole frames (`queuePlayback`) as long as the
// FIFO has room (`fifoRoom`); the converter drains it at the device clock
// once it holds its start level. Run dry, it plays silence (counted as
// underrun frames) until the FIFO holds its start level again. The fill is measured (minimum,
// maximum, level at a marked lock point) and a checker follows the ramp in
// what the converter plays.
//
// Samples here are 24-bit values (bits 23..0); the codecs move them to and
// from the wire. Everything runs under the owning model's lock.
#pragma once

#include "platform/usb/devices/HX5100Stream.h"
#include "platform/usb/devices/TransferKnobs.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace hx::usb::devices {

// The n-channel ramp: channel c carries the frame counter plus c times a
// stride, so a frame is never all zero and swapped or torn channels show.
struct ChannelRamp {
    static constexpr uint32_t kMask = 0xFFFFFF;
    static constexpr uint32_t kStride = 0x081021;
    static uint32_t sample(uint64_t frame, uint32_t channel) {
        return (uint32_t)(frame + (uint64_t)channel * kStride + 1) & kMask;
    }
    // The counter a frame of `channels` samples carries, or nothing when its
    // channels disagree.
    static std::optional<uint32_t> counter(const uint32_t* samples, uint32_t channels);
};

// The playback FIFO of a device that paces its OUT endpoint by NAK and is
// polled every microframe: it takes a packet as soon as it has room for one,
// so it needs a packet, a microframe of frames (the poll before was NAKed)
// and two frames for the clock's offset and jitter: a few hundred
// microseconds.
constexpr uint32_t nakPacedFifoFrames(uint32_t rate, uint32_t packetFrames) {
    return packetFrames + (rate + 7999) / 8000 + 2;
}

struct ChannelStreamConfig {
    int32_t ppm = 0;
    uint32_t jitterNanos = 0;
    uint64_t seed = 1;
    HX5100Source source = HX5100Source::Ramp;
    uint32_t loopbackDelayFrames = 32;
    uint32_t captureCapacityFrames = 512;
    uint32_t fifoCapacityFrames = 256;
    uint32_t fifoStartFrames = 0; // 0: the first queued packet starts the converter
};

struct ChannelStreamStats {
    uint64_t inFramesSent = 0;
    uint64_t inFramesLost = 0;    // overflowed the capture buffer
    uint64_t inFramesDropped = 0; // dropped on purpose (a fault knob)
    uint64_t outFrames = 0;
    uint64_t fifoOverflowFrames = 0;
    uint64_t fifoUnderrunFrames = 0;
    bool playing = false;
    int64_t fifoLevel = 0;
    int64_t fifoMin = 0;
    int64_t fifoMax = 0;
    uint64_t fifoSamples = 0;
    std::optional<int64_t> fifoLockLevel;
    uint64_t playedFrames = 0;
    uint64_t rampFrames = 0;
    uint64_t silentFrames = 0;
    uint64_t corruptFrames = 0;
    uint64_t discontinuities = 0;
    uint64_t dropouts = 0;
};

class ChannelStream {
public:
    void configure(const ChannelStreamConfig& config) { mConfig = config; }
    const ChannelStreamConfig& config() const { return mConfig; }
    void setChannels(uint32_t ins, uint32_t outs);
    uint32_t inputChannels() const { return mIns; }
    uint32_t outputChannels() const { return mOuts; }
    // Rate change, alternate change or reset: the clock restarts at the next
    // transaction, the buffers empty; the statistics stay.
    void restart();

    // Moves the device clock (and the converter) to grid unit `unit`.
    void advance(uint32_t rate, uint64_t unit);
    uint64_t deviceFrames() const { return mDeviceFrames; }
    // The frames the clock counted in the period of `periodUnits` that ends
    // at grid unit `unit` (advancing to it).
    uint64_t framesInPeriod(uint32_t rate, uint64_t unit, uint32_t periodUnits);

    uint64_t captureAvailable() const { return mDeviceFrames - mCaptured; }
    // The next `frames` capture frames, `inputChannels()` samples each.
    void takeCapture(uint32_t frames, uint32_t* out);
    // Knob: the next `frames` produced capture frames never reach the host.
    void dropCapture(uint32_t frames) { mDropLeft += frames; }

    uint64_t fifoRoom() const;
    void queuePlayback(const uint32_t* samples, uint32_t frames);

    const ChannelStreamStats& stats() const { return mStats; }
    void markFifoLock();

private:
    void play(uint64_t upTo);
    void check(const uint32_t* frame);
    void sampleFifo();

    ChannelStreamConfig mConfig;
    ChannelStreamStats mStats;
    SampleClock mClock;
    uint32_t mIns = 2, mOuts = 2;
    uint64_t mDeviceFrames = 0;
    uint64_t mCaptured = 0; // device frames accounted on the capture side
    uint64_t mPlayedTo = 0;
    uint32_t mDropLeft = 0;
    std::deque<uint32_t> mFifo; // outs samples a frame
    static constexpr size_t kLoopHistory = 1 << 14;
    std::vector<uint32_t> mPlayed; // kLoopHistory frames of outs samples
    std::optional<uint32_t> mExpected;
    bool mRampSeen = false;
    bool mStarted = false; // the converter has played since the last restart
};

// What the multi-channel models offer their users (tests, the harness):
// their stream's configuration and measurement, and the knobs.
class ChannelStreamDevice {
public:
    virtual ~ChannelStreamDevice() = default;
    // Applies from the next clock start; the stream restarts.
    virtual void configureChannels(const ChannelStreamConfig& config) = 0;
    virtual ChannelStreamStats channelStreamStats() const = 0;
    virtual void markChannelFifoLock() = 0;
    virtual void armFault(uint8_t address, const EndpointFault& fault) = 0;
    // The next `frames` captured frames never reach the host.
    virtual void dropInputFrames(uint32_t frames) = 0;
};

// A device model (`Base`) carrying an n-channel stream and transfer knobs,
// which its users reach under the model's lock.
template <class Base> class ChannelStreamModel : public Base, public ChannelStreamDevice {
public:
    using Base::Base;
    void configureChannels(const ChannelStreamConfig& config) override {
        std::lock_guard<std::mutex> g(this->mLock);
        mStream.configure(config);
        mStream.restart();
    }
    ChannelStreamStats channelStreamStats() const override {
        std::lock_guard<std::mutex> g(this->mLock);
        return mStream.stats();
    }
    void markChannelFifoLock() override {
        std::lock_guard<std::mutex> g(this->mLock);
        mStream.markFifoLock();
    }
    void armFault(uint8_t address, const EndpointFault& fault) override {
        std::lock_guard<std::mutex> g(this->mLock);
        mKnobs.arm(address, fault);
    }
    void dropInputFrames(uint32_t frames) override {
        std::lock_guard<std::mutex> g(this->mLock);
        mStream.dropCapture(frames);
    }

protected:
    ChannelStream mStream;
    TransferKnobs mKnobs;
};

} // namespace hx::usb::devices
