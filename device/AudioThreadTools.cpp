#include "device/AudioThreadTools.h"

#include <cstdlib>
#include <new>

#include "platform/base/HXClock.h"
#include "platform/sys/SysCtl.h"

bool IntSpinLock::lock(int32_t* counter, bool spin) {
    if (mCounter || !counter) return false;
    for (int tries = 0;; ++tries) {
        int32_t expected = 0;
        if (__atomic_compare_exchange_n(counter, &expected, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            mCounter = counter;
            return true;
        }
        if (!spin) return false;
        if (tries >= kSpinsBeforeYield) hx::clock::sleepFor(kYieldNanos);
    }
}

void IntSpinLock::unlock() {
    if (!mCounter) return;
    __atomic_fetch_sub(mCounter, 1, __ATOMIC_RELEASE);
    mCounter = nullptr;
}

void AudioIOBuffer::init() {
    mBufferList = AudioBufferList{};
    mBufferList.mNumberBuffers = 1;
    mRingBuffer = nullptr;
    mRingSamplesPerCycle = 0;
    mBufferChannels = 0;
}

bool AudioIOBuffer::create(uint32_t ringChannels, uint32_t procChannels, uint32_t frameSize) {
    if (ringChannels != mBufferChannels || procChannels != this->procChannels() || !exists()) {
        term();
        void* data = procChannels ? std::calloc(procChannels, kMaxFrames * 4) : nullptr;
        int32_t* ring = ringChannels ? new (std::nothrow)
                                           int32_t[size_t(ringChannels) * kMaxFrames]()
                                     : nullptr;
        if ((procChannels && !data) || (ringChannels && !ring)) {
            std::free(data);
            delete[] ring;
            return false;
        }
        mBufferList.mBuffers[0].mData = data;
        mBufferList.mBuffers[0].mNumberChannels = procChannels;
        mRingBuffer = ring;
        mBufferChannels = ringChannels;
    }
    if (frameSize > kMaxFrames) frameSize = kMaxFrames;
    mBufferList.mBuffers[0].mDataByteSize = frameSize * 4 * procChannels;
    mRingSamplesPerCycle = ringChannels * frameSize;
    return true;
}

void AudioIOBuffer::term() {
    std::free(mBufferList.mBuffers[0].mData);
    delete[] mRingBuffer;
    init();
}

int get_kern_max_proc() {
    int name[2] = {CTL_KERN, KERN_MAXPROC};
    int value = 0;
    std::size_t size = sizeof value;
    if (sysctl(name, 2, &value, &size, nullptr, 0) != 0) return 100;
    return value;
}

float volFromUInt(uint32_t value) {
    if (value == 0xFFFFFFFFu) return 1.0f;
    return float(double(value) / 4294967296.0);
}
