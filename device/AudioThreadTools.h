// Small tools of the device's audio path: the attach spin lock, the
// per-direction IO buffers, the system's process limit and the volume word.
#pragma once

#include <cstdint>

#include "platform/coreaudio/CoreAudioTypes.h"

// Takes a counter shared by client threads and the audio thread: 0 free,
// 1 held. A taker spins a few times and then yields through the platform
// clock, so a holder on the virtual clock can run on.
class IntSpinLock {
public:
    explicit IntSpinLock(int32_t* counter) { lock(counter, true); }
    IntSpinLock() = default;
    ~IntSpinLock() { unlock(); }
    IntSpinLock(const IntSpinLock&) = delete;
    IntSpinLock& operator=(const IntSpinLock&) = delete;

    // False when already holding, or when spin is false and the counter is
    // taken (nothing is held then).
    bool lock(int32_t* counter, bool spin);
    void unlock();
    bool held() const { return mCounter != nullptr; }

    static constexpr int kSpinsBeforeYield = 16;
    static constexpr uint64_t kYieldNanos = 50000;

private:
    int32_t* mCounter = nullptr;
};

// One direction's buffers: the procedures' interleaved buffer (room for
// 8,192 frames) in a one-buffer list, and the ring-format buffer.
struct AudioIOBuffer {
    static constexpr uint32_t kMaxFrames = 8192;

    AudioBufferList mBufferList{};
    int32_t* mRingBuffer = nullptr;
    uint32_t mRingSamplesPerCycle = 0;
    uint32_t mBufferChannels = 0; // ring channels

    AudioIOBuffer() { init(); }
    ~AudioIOBuffer() { term(); }
    AudioIOBuffer(const AudioIOBuffer&) = delete;
    AudioIOBuffer& operator=(const AudioIOBuffer&) = delete;

    void init();
    // Reallocates when a channel count changed; false when that fails
    // (both buffers released then).
    bool create(uint32_t ringChannels, uint32_t procChannels, uint32_t frameSize);
    void term();

    bool exists() const { return mRingBuffer && mBufferList.mBuffers[0].mData; }
    uint32_t procChannels() const { return mBufferList.mBuffers[0].mNumberChannels; }
    float* procData() const { return static_cast<float*>(mBufferList.mBuffers[0].mData); }
};

// The system's maximum process count; 100 when it cannot be read.
int get_kern_max_proc();

// A 32-bit volume word as a gain: all ones 1.0, else value / 2^32.
float volFromUInt(uint32_t value);
