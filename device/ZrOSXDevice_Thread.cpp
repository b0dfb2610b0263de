// The device's audio thread: the attach step and the cycle that moves one
// buffer at a time from the input ring through the IO procedures into the
// client's output ring.
//
// Real-time rules for onUSBProc and what it calls: no allocation, no lock a
// client thread holds, no waiting. Log lines of the cycle go to the log
// sink's lock-free queue. Every ring header word a cycle uses is read once:
// the ring geometry is taken at the start of the cycle and handed to every
// transfer, and positions are published by compare-and-swap from the value
// read, so a kernel relayout in between wins.
#include <algorithm>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

namespace {

constexpr uint64_t kNoRingsNanos = 5000000;
constexpr uint64_t kNoInputNanos = 1000000;
constexpr uint64_t kIdleSleepNanos = 10000000;
constexpr uint64_t kStreamPauseNanos = 1000000;
constexpr uint64_t kStopPollNanos = 10000000;
constexpr uint64_t kStopWaitTicks = 100000000;
constexpr uint64_t kHeartbeatPollNanos = 1000000;
constexpr int kMaxPasses = 2;
constexpr uint32_t kSlotAttachWordOffset = 36;
constexpr uint32_t kSlotFrameSizeOffset = 8;

template <class T> char* at(T* p, size_t offset) {
    return reinterpret_cast<char*>(p) + offset;
}

uint64_t ringWord64(const AudioSM* ring, size_t offset, int order = __ATOMIC_RELAXED) {
    return audiosm::load64(reinterpret_cast<const char*>(ring) + offset, order);
}

uint32_t ringWord32(const AudioSM* ring, size_t offset, int order = __ATOMIC_RELAXED) {
    return audiosm::load32(reinterpret_cast<const char*>(ring) + offset, order);
}

// Publishes a position only if nobody moved it since it was read.
bool casPosition(AudioSM* ring, size_t offset, uint64_t from, uint64_t to) {
    auto* word = reinterpret_cast<uint64_t*>(at(ring, offset));
    return __atomic_compare_exchange_n(word, &from, to, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
}

} // namespace

void* ZrOSXDevice::threadRun() {
    mAudioThreadId = pthread_self();
    { IntSpinLock lock(&mAttachLock); }
    mHeartbeat = 0;
    while (!__atomic_load_n(&stopFlag, __ATOMIC_ACQUIRE)) {
        // Buffers asked for since the last pass are built here, between
        // cycles.
        takeBufferRequest();
        ++mHeartbeat;
        const int32_t state = mThreadState.load();
        if (!hardwareReady() || state == 0) {
            hx::clock::sleepFor(kIdleSleepNanos);
        } else if (state == 1) {
            attachStep();
        } else if (state == 2 && mInRing) {
            const uint64_t nanos = onUSBProc(mStartedProcs.load() > 0);
            hx::clock::sleepFor(nanos);
        } else {
            hx::clock::sleepFor(kStreamPauseNanos);
        }
    }
    const uint64_t start = mach_absolute_time();
    while (mThreadState.load() == 2 && mach_absolute_time() - start <= kStopWaitTicks)
        hx::clock::sleepFor(kStopPollNanos);
    removeAllIOProcs();
    std::printf("%s leave\n", "virtual void *ZrOSXDevice::threadRun()");
    mAudioThreadId = pthread_t();
    return nullptr;
}

void ZrOSXDevice::attachStep() {
    IntSpinLock lock;
    if (!lock.lock(&mAttachLock, false)) {
        hx::clock::sleepFor(kIdleSleepNanos);
        return;
    }
    if (mThreadState.load() != 1) return;
    {
        RecordGuard g(*this);
        qnWriteU32(&g.record(), kOSXDispatchValueOffset, uint32_t(::getpid()));
    }
    syslog(LOG_WARNING, "ThreadRun, attach with framesize %d", int(getFrameSize()));
    mFilter.restart();
    mThreadState = callAttach(getFrameSize()) ? 2 : 0;
    writeSlotWord(kSlotAttachWordOffset, 0);
}

int32_t ZrOSXDevice::waitForAudioThread(int32_t cycles, uint32_t timeoutMs) {
    if (!IsRunning()) return 0;
    int32_t last = mHeartbeat.load();
    int32_t advance = 0;
    const uint64_t deadline = hx::clock::deadlineAfter(uint64_t(timeoutMs) * 1000000);
    while (advance <= cycles && hx::clock::nowNanos() < deadline) {
        hx::clock::sleepFor(kHeartbeatPollNanos);
        const int32_t now = mHeartbeat.load();
        if (now < last)
            advance = 0; // the thread started over
        else
            advance += now - last;
        last = now;
    }
    return advance;
}

bool ZrOSXDevice::takeGeometry(CycleGeometry& g) {
    const uint32_t inCh = ringWord32(mInRing, offsetof(AudioSM, mChannelsPerFrame));
    const uint32_t inExtra = ringWord32(mInRing, offsetof(AudioSM, mExtraBytesPerFrame));
    const uint32_t outCh = ringWord32(mOutRing, offsetof(AudioSM, mChannelsPerFrame));
    const uint32_t outExtra = ringWord32(mOutRing, offsetof(AudioSM, mExtraBytesPerFrame));
    g.in = AudioSMGeometry::forLayout(inCh, inExtra);
    g.out = AudioSMGeometry::forLayout(outCh, outExtra);
    g.useInput = true;
    // The buffers were made for these channel counts; a count changed since
    // (a relayout, or a wild writer) moves nothing this cycle.
    if (mBufIn.mBufferChannels != inCh || g.in.channels != inCh) {
        if (mBufIn.mBufferChannels == 0 && mBufOut.mBufferChannels) {
            g.useInput = false;
        } else {
            std::printf("mAudioBufferIn.mBufferChannels:%d != mpAudioSM_In->mChannelsPerFrame:%d\n",
                        int(mBufIn.mBufferChannels), int(inCh));
            return false;
        }
    }
    if (mBufOut.mBufferChannels != outCh || g.out.channels != outCh) {
        std::printf("mAudioBufferOut.mBufferChannels != mpAudioSM_Out->mChannelsPerFrame\n");
        return false;
    }
    return true;
}

bool ZrOSXDevice::ownsNoInput() const {
    const DriverSM* sm = driverSM();
    const int slot = attachedSlot();
    if (!sm) return false;
    const uint64_t owner = audiosm::load64(reinterpret_cast<const char*>(sm) +
                                           offsetof(DriverSM, mExclusiveInputOwner));
    if (!owner) return false;
    // A slot of 8 or more is none: then nothing says the input is ours.
    if (slot < 0 || slot >= 8) return true;
    return owner != clientID();
}

uint64_t ZrOSXDevice::onUSBProc(bool callProcs) {
    if (!driverSM() || !mInRing || !mOutRing) return kNoRingsNanos;
    if (ringWord32(mOutRing, offsetof(AudioSM, mAttachState), __ATOMIC_ACQUIRE) != 1)
        return kNoRingsNanos;
    const uint64_t readPos = ringWord64(mOutRing, offsetof(AudioSM, mClientFramePos));
    const uint64_t inPos = ringWord64(mInRing, offsetof(AudioSM, mFramePos), __ATOMIC_ACQUIRE);
    if (int64_t(readPos - inPos) >= 0) return kNoInputNanos;
    __atomic_exchange_n(
        reinterpret_cast<uint32_t*>(at(mOutRing, offsetof(AudioSM, mSyncNotification))), 0u,
        __ATOMIC_ACQ_REL);
    CycleGeometry g;
    if (!takeGeometry(g)) return kNoInputNanos;
    // A pending frame size that does not fit half of each ring is dropped.
    const uint32_t limit = uint32_t(std::min(g.in.maxFrames, g.out.maxFrames) / 2);
    const uint32_t pending = takePendingFrameSize(limit);
    if (pending && pending != mFrameSize.getUInt32()) {
        syslog(LOG_WARNING, "On USB Proc, change framesize from %d to %d",
               int(mFrameSize.getUInt32()), int(pending));
        mFrameSize.set(pending, true);
        BufferCounts counts = mBuilt;
        counts.frames = pending;
        buildIOBuffers(counts);
        writeSlotWord(kSlotFrameSizeOffset, pending);
        updateLatencies();
        if (!takeGeometry(g)) return kNoInputNanos;
    }
    if (!mBufOut.exists() || (g.useInput && !mBufIn.exists())) return kNoInputNanos;
    return runPasses(g, readPos, callProcs);
}

uint64_t ZrOSXDevice::runPasses(const CycleGeometry& g, uint64_t readPos, bool callProcs) {
    const uint32_t N = mFrameSize.getUInt32();
    if (N == 0 || uint64_t(N) * 2 > g.in.maxFrames || uint64_t(N) * 2 > g.out.maxFrames) {
        if (!mReportedHalfRing)
            syslog(LOG_ERR, "onUSBProc: frame size %u exceeds half of a ring\n", N);
        mReportedHalfRing = true;
        return kNoInputNanos;
    }
    mReportedHalfRing = false;
    const bool silentInput = ownsNoInput() || !g.useInput;
    int32_t available = mInRing->getAvailableFrames(readPos);
    if (available < int32_t(N)) return mFilter.calcSleepNanos(available, false);
    mFilter.prepare(mStreamRate.load(), N, getLatency(true), getLatency(false));
    uint64_t R = readPos;
    for (int pass = 0; pass < kMaxPasses && available >= int32_t(N); ++pass) {
        if (silentInput) {
            if (mBufIn.mRingBuffer) audioInt32Clear(mBufIn.mRingBuffer, mBufIn.mBufferChannels * N);
        } else {
            audioSMReadAudio(mInRing->mSamples, g.in, R, mBufIn.mRingBuffer, N, audioInt32CopySet);
        }
        uint64_t host = mInRing->hostTimeForSample(R);
        // No time base published yet: the cycle's own reading stands in.
        if (host == 0) host = mach_absolute_time();
        const uint64_t next = R + N;
        if (!casPosition(mOutRing, offsetof(AudioSM, mClientFramePos), R, next))
            break; // the kernel set a new start: this buffer is not ours
        mFilter.updateTimestamps(
            host, R, ringWord64(mInRing, offsetof(AudioSM, mFramePos), __ATOMIC_ACQUIRE));
        R = next;
        if (callProcs)
            callIOProcs(host, N);
        else
            audioInt32Clear(mBufOut.mRingBuffer, mBufOut.mBufferChannels * N);
        if (ringWord32(mOutRing, offsetof(AudioSM, mAttachState), __ATOMIC_ACQUIRE) != 1)
            break; // relaid out meanwhile: stop writing
        const uint64_t writeAhead = mWriteAhead.load();
        const uint64_t pos = ringWord64(mOutRing, offsetof(AudioSM, mFramePos));
        audiosm::store64(at(mOutRing, offsetof(AudioSM, mWriteOffset)), writeAhead);
        audioSMWriteAudio(mOutRing->mSamples, g.out, pos + writeAhead, mBufOut.mRingBuffer, N,
                          audioInt32CopySet);
        casPosition(mOutRing, offsetof(AudioSM, mFramePos), pos, pos + N);
        ++mIOCycles;
        available = mInRing->getAvailableFrames(R);
    }
    const uint64_t sleep = mFilter.calcSleepNanos(available, true);
    if (sleep == 100000) ++mOverloads;
    return sleep;
}
