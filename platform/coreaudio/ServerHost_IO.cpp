// The IO thread of a started device, as the system's audio server runs it.
//
// Cycle k wakes at device sample time N_k = N_0 + kF, N_0 being the device's
// sample time (rounded up) when the first non-zero stamp was read. Every
// cycle reads the zero time stamp: a new stamp must lie whole ring periods
// after the last one (then the host ticks per frame come from the two),
// otherwise a stamp error is counted and the next new stamp anchors the
// timeline anew (so one stray stamp is one error, not two). A wake
// more than a cycle late runs only the last cycle due; the skipped ones are
// drops. Buffers hold exactly F frames of the advertised format between two
// canaries, checked after every Do.
//
// Real-time rules: nothing here allocates, logs or takes a lock another
// thread holds for long while a cycle runs; the hand-over state (stop, park,
// resume) is read under the device's IO mutex between cycles only.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/coreaudio/ServerHostImpl.h"

namespace hx::coreaudio {

namespace {

constexpr UInt8 kCanary = 0xA5;
constexpr UInt32 kTimeStampValid =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;

// The device's timeline from its zero time stamps.
struct Timeline {
    Float64 sample = 0;
    UInt64 host = 0;
    Float64 ticksPerFrame = 0;
    Float64 nominalTicksPerFrame = 0;

    void anchor(Float64 s, UInt64 h) {
        sample = s;
        host = h;
        ticksPerFrame = nominalTicksPerFrame;
    }
    Float64 sampleAt(UInt64 h) const {
        return sample + (Float64(h) - Float64(host)) / ticksPerFrame;
    }
    UInt64 hostAt(Float64 s) const {
        const Float64 t = Float64(host) + (s - sample) * ticksPerFrame;
        return t <= 0 ? 0 : UInt64(t);
    }
};

AudioTimeStamp stampAt(Float64 sample, UInt64 host) {
    AudioTimeStamp t{};
    t.mSampleTime = sample;
    t.mHostTime = host;
    t.mRateScalar = 1.0;
    t.mFlags = kTimeStampValid;
    return t;
}

void fillCanaries(ServerStreamBuffer& b) {
    std::memset(b.storage.data(), kCanary, ServerStreamBuffer::kCanaryBytes);
    std::memset(b.storage.data() + ServerStreamBuffer::kCanaryBytes + b.bytes, kCanary,
                ServerStreamBuffer::kCanaryBytes);
}

// True when a canary was hit (and restored for the next check).
bool checkCanaries(ServerStreamBuffer& b) {
    const UInt8* before = b.storage.data();
    const UInt8* after = b.storage.data() + ServerStreamBuffer::kCanaryBytes + b.bytes;
    // Compared whole against an intact pair (the check runs after every Do).
    static const auto intact = [] {
        std::array<UInt8, ServerStreamBuffer::kCanaryBytes> a;
        a.fill(kCanary);
        return a;
    }();
    const bool hit = std::memcmp(before, intact.data(), intact.size()) != 0 ||
                     std::memcmp(after, intact.data(), intact.size()) != 0;
    if (hit) fillCanaries(b);
    return hit;
}

// The calling thread's CPU time.
UInt64 threadCpuNanos() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return UInt64(t.tv_sec) * 1000000000ull + UInt64(t.tv_nsec);
}

// What a reading of threadCpuNanos itself adds to a span it closes: the
// least difference of back-to-back readings (on a virtual machine a reading
// can cost most of a microsecond, more than a cycle's own work).
UInt64 threadCpuClockCost() {
    UInt64 least = ~UInt64(0);
    for (int i = 0; i < 32; ++i) {
        const UInt64 a = threadCpuNanos();
        least = std::min(least, threadCpuNanos() - a);
    }
    return least;
}

} // namespace

void ServerHost::Impl::makeBuffers(ServerDevice& d) {
    d.ioInfo = d.info;
    for (int dir = 0; dir < 2; ++dir) {
        d.buffers[dir].clear();
        for (const ServerStreamInfo& s : d.ioInfo.streams[dir]) {
            ServerStreamBuffer b;
            b.stream = s.id;
            b.bytes = options.framesPerCycle * s.format.mBytesPerFrame;
            b.storage.assign(b.bytes + 2 * ServerStreamBuffer::kCanaryBytes, 0);
            fillCanaries(b);
            b.format = s.format;
            const std::size_t samples =
                std::size_t(options.framesPerCycle) * s.format.mChannelsPerFrame;
            b.floats.assign(samples, 0.0f);
            b.words.assign(samples, 0);
            d.buffers[dir].push_back(std::move(b));
        }
    }
}

void ServerHost::Impl::startIOThread(ServerDevice& d) {
    {
        std::lock_guard<std::mutex> io(d.ioMutex);
        d.ioStop = false;
        d.parkRequested = false;
        d.parked = false;
        d.resumed = true;
        makeBuffers(d);
    }
    hx::clock::Reservation seat;
    d.ioThread = std::thread([this, dp = &d, seat = std::move(seat)]() mutable {
        hx::clock::Participant participant(std::move(seat));
        hx::log::setRealtimeThread(true);
        ioThreadMain(dp);
    });
}

void ServerHost::Impl::endIOThread(ServerDevice& d) {
    {
        std::lock_guard<std::mutex> io(d.ioMutex);
        d.ioStop = true;
        d.ioCondition.notifyAll();
    }
    if (d.ioThread.joinable()) {
        hx::clock::Idle idle;
        d.ioThread.join();
    }
}

void ServerHost::Impl::park(ServerDevice& d) {
    std::unique_lock<std::mutex> io(d.ioMutex);
    d.parkRequested = true;
    d.ioCondition.notifyAll();
    d.ioCondition.wait(io, [&] { return d.parked || d.ioStop; });
}

void ServerHost::Impl::resume(ServerDevice& d) {
    std::lock_guard<std::mutex> io(d.ioMutex);
    makeBuffers(d);
    d.parkRequested = false;
    d.resumed = true;
    d.ioCondition.notifyAll();
}

void ServerHost::Impl::ioThreadMain(ServerDevice* d) {
    const UInt32 frames = options.framesPerCycle;
    const AudioObjectID id = d->info.id;
    AudioServerPlugInDriverRef drv = driver;
    Timeline line;
    bool anchored = false;
    bool reanchor = false;
    bool askWillDo = true;
    Boolean willRead = false, willWrite = false, inPlace = false;
    Float64 next = 0; // N_k
    UInt64 counter = 0;
    ServerClientIO client;
    AudioServerPlugInIOCycleInfo cycle{};
    const bool measureCpu = options.measureCycleCpu;
    const UInt64 clockCost = measureCpu ? threadCpuClockCost() : 0;

    std::unique_lock<std::mutex> lock(d->ioMutex);
    client = d->clientIO;
    while (!d->ioStop) {
        if (d->parkRequested) {
            d->parked = true;
            d->ioCondition.notifyAll();
            d->ioCondition.wait(lock, [&] { return !d->parkRequested || d->ioStop; });
            d->parked = false;
            continue;
        }
        if (d->resumed) {
            d->resumed = false;
            anchored = false;
            reanchor = false;
            askWillDo = true;
            client = d->clientIO;
            line.nominalTicksPerFrame =
                Float64(hx::clock::nanosToTicks(1000000000ull)) / d->ioInfo.sampleRate;
        }
        const UInt32 ring = d->ioInfo.ringPeriod;
        const Float64 saftIn = d->ioInfo.safetyOffset[0];
        const Float64 saftOut = d->ioInfo.safetyOffset[1];
        if (!anchored) {
            Float64 s = 0;
            UInt64 h = 0, seed = 0;
            lock.unlock();
            const OSStatus st = (*drv)->GetZeroTimeStamp(drv, id, 0, &s, &h, &seed);
            lock.lock();
            if (st != 0 || h == 0) {
                // Not running yet: look again a cycle later.
                const UInt64 wait = UInt64(Float64(frames) * 1e9 / d->ioInfo.sampleRate);
                d->ioCondition.waitUntil(lock, hx::clock::deadlineAfter(wait),
                                         [&] { return d->ioStop || d->parkRequested; });
                continue;
            }
            line.anchor(s, h);
            next = std::ceil(line.sampleAt(mach_absolute_time()));
            anchored = true;
        }
        const UInt64 wake = hx::clock::ticksToNanos(line.hostAt(next));
        if (d->ioCondition.waitUntil(lock, wake, [&] { return d->ioStop || d->parkRequested; }))
            continue;
        const UInt64 workStart = measureCpu ? threadCpuNanos() : 0;
        lock.unlock();

        // The stamp: whole ring periods on, or the timeline starts anew.
        Float64 s = 0;
        UInt64 h = 0, seed = 0;
        if ((*drv)->GetZeroTimeStamp(drv, id, 0, &s, &h, &seed) == 0 && h != 0 &&
            (s != line.sample || h != line.host)) {
            const Float64 diff = s - line.sample;
            const Float64 periods = diff / Float64(ring);
            if (reanchor) {
                // The first stamp after an error starts the timeline anew.
                line.anchor(s, h);
                next = std::ceil(line.sampleAt(mach_absolute_time()));
                reanchor = false;
            } else if (diff > 0 && h > line.host && periods == std::floor(periods)) {
                line.ticksPerFrame = (Float64(h) - Float64(line.host)) / diff;
                line.sample = s;
                line.host = h;
            } else {
                stampErrors++;
                reanchor = true;
            }
        }
        const UInt64 now = mach_absolute_time();
        const Float64 deviceNow = line.sampleAt(now);
        if (deviceNow >= next + frames) {
            const Float64 late = std::floor((deviceNow - next) / frames);
            drops += UInt64(late);
            next += late * frames;
        }

        cycle.mIOCycleCounter = counter++;
        cycle.mNominalIOBufferFrameSize = frames;
        cycle.mCurrentTime = stampAt(deviceNow, now);
        const Float64 inSample = next - frames - saftIn;
        const Float64 outSample = next + frames + saftOut;
        cycle.mInputTime = stampAt(inSample, line.hostAt(inSample));
        cycle.mOutputTime = stampAt(outSample, line.hostAt(outSample));
        cycle.mMainHostTicksPerFrame = line.ticksPerFrame;
        cycle.mDeviceHostTicksPerFrame = line.ticksPerFrame;

        if (askWillDo) {
            (*drv)->WillDoIOOperation(drv, id, 0, kAudioServerPlugInIOOperationReadInput, &willRead,
                                      &inPlace);
            (*drv)->WillDoIOOperation(drv, id, 0, kAudioServerPlugInIOOperationWriteMix, &willWrite,
                                      &inPlace);
            askWillDo = false;
        }
        auto& inputs = d->buffers[0];
        auto& outputs = d->buffers[1];
        if (willRead && !inputs.empty()) {
            const UInt32 op = kAudioServerPlugInIOOperationReadInput;
            (*drv)->BeginIOOperation(drv, id, 0, op, frames, &cycle);
            for (ServerStreamBuffer& b : inputs) {
                (*drv)->DoIOOperation(drv, id, b.stream, 0, op, frames, &cycle, b.data(), nullptr);
                canaryHits += checkCanaries(b) ? 1 : 0;
            }
            (*drv)->EndIOOperation(drv, id, 0, op, frames, &cycle);
        }
        if (client.sink && !inputs.empty()) client.sink(inputs[0].data(), inputs[0].bytes, cycle);
        if (client.floatSink && !inputs.empty()) {
            ServerStreamBuffer& b = inputs[0];
            serverPhysicalToFloat(b.format, b.data(), b.words.data(), b.floats.data(), frames);
            client.floatSink(b.floats.data(), b.format.mChannelsPerFrame, frames, cycle);
        }
        for (ServerStreamBuffer& b : outputs)
            std::memset(b.data(), 0, b.bytes);
        if (client.source && !outputs.empty())
            client.source(outputs[0].data(), outputs[0].bytes, cycle);
        if (client.floatSource && !outputs.empty()) {
            ServerStreamBuffer& b = outputs[0];
            std::fill(b.floats.begin(), b.floats.end(), 0.0f);
            client.floatSource(b.floats.data(), b.format.mChannelsPerFrame, frames, cycle);
            serverFloatToPhysical(b.format, b.floats.data(), b.words.data(), b.data(), frames);
        }
        if (willWrite && !outputs.empty()) {
            const UInt32 op = kAudioServerPlugInIOOperationWriteMix;
            (*drv)->BeginIOOperation(drv, id, 0, op, frames, &cycle);
            for (ServerStreamBuffer& b : outputs) {
                (*drv)->DoIOOperation(drv, id, b.stream, 0, op, frames, &cycle, b.data(), nullptr);
                canaryHits += checkCanaries(b) ? 1 : 0;
            }
            (*drv)->EndIOOperation(drv, id, 0, op, frames, &cycle);
        }
        cycles++;
        next += frames;
        if (measureCpu) {
            const UInt64 spent = threadCpuNanos() - workStart;
            cycleCpuNanos += spent > clockCost ? spent - clockCost : 0;
        }
        lock.lock();
    }
    d->parked = false;
    d->ioCondition.notifyAll();
}

} // namespace hx::coreaudio
