// The device's IO: start and stop against the kernel, zero time stamps,
// and the IO cycle between the host's buffers and the kernel's rings.
//
// The rings are user-writable: their geometry and the host frame are taken
// once at StartIO and kept here; every transfer is bounded by those copies,
// by the staging buffer and by the host buffer's advertised size. Fields the
// IO thread reads are atomics; the ring mappings only change under "Device
// IO", which every IO call holds for its whole run.
#include <bit>
#include <cmath>
#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "device/UserTranscoders.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASSamplePacking.h"
#include "plugins/server/QnAudioServerProbes.h"

using audiosm::load32;
using audiosm::load64;
using audiosm::store32;
using audiosm::store64;

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr UInt32 kSelStartHardware = 2, kSelStopHardware = 3;
constexpr OSStatus kStop = OSStatus(0x73746F70); // 'stop'
constexpr OSStatus kNope = OSStatus(0x6E6F7065); // 'nope'
constexpr UInt32 kRead = 0x72656164;             // 'read'
constexpr UInt32 kWrite = 0x72697465;            // 'rite'
constexpr size_t kOutFlagWord = 524328;          // cleared at every cycle
constexpr size_t kRtsFramePosOut = 524420;       // the kernel's output read position
constexpr size_t kClientSlotBytes = 180, kClientSlotsAt = 5588, kClientSlotWord = 36;

long long nowMs() {
    return (long long)(mach_absolute_time() / 1000000);
}

char* at(AudioSM* ring, size_t offset) {
    return reinterpret_cast<char*>(ring) + offset;
}

// A cycle's sample time in whole frames (rounded down); NaN is 0, and the
// value stays inside what a 64-bit frame count carries.
SInt64 wholeFrames(Float64 sampleTime) {
    constexpr Float64 kLimit = 4611686018427387904.0; // 2^62
    if (!(sampleTime == sampleTime)) return 0;
    if (sampleTime <= -kLimit) return -SInt64(kLimit);
    if (sampleTime >= kLimit) return SInt64(kLimit);
    return SInt64(std::floor(sampleTime));
}

// How many of a cycle's frames lie before sample time 0.
UInt32 framesBeforeZero(Float64 sampleTime, UInt32 frames) {
    const SInt64 first = wholeFrames(sampleTime);
    if (first >= 0) return 0;
    return -first >= SInt64(frames) ? frames : UInt32(-first);
}
} // namespace

// ---- Start and stop

void QnASPlugInDevice::StartIO() {
    if (mPerformConfigChange)
        syslog(LOG_ERR, "QnASPlugInDevice::StartIO mPerformConfigChange true!\n");
    CAMutexLocker state(mStateMutex);
    if (mIOStartCount == 0xFFFFFFFF) throw CAException(kNope);
    if (mIOStartCount == 0) {
        {
            CAMutexLocker io(mIOMutex);
            mOutUnderruns = mOutOverloads = mInUnderruns = mInOverloads = 0;
            mInCycles = mOutCycles = 0;
            mLastInSampleTime = mLastInFrames = mLastOutSampleTime = mLastOutFrames = 0;
        }
        if (mIOState == 0) {
            mLogic.createIOBuffers();
            mLogic.prepareHardware();
        }
        {
            CAMutexLocker io(mIOMutex);
            if (AudioSM* out = mOutputRing.load()) out->zeroTotalBuffer();
        }
        if (const UInt32 r = _HW_StartIO()) throw CAException(OSStatus(r));
        if (mLogic.isSorvikFarlaneDevice())
            mLatencyExtraMs = 3;
        else if (DeviceFamilies::contains(DeviceFamilies::kLatencyExtraMsAtStart,
                                          mDeviceInfo->mVendor, mDeviceInfo->mProduct))
            mLatencyExtraMs = 5;
        CAMutexLocker io(mIOMutex);
        AudioSM* in = mInputRing.load();
        AudioSM* out = mOutputRing.load();
        if (in && out) {
            const UInt64 start = load64(at(in, offsetof(AudioSM, mFramePos)), __ATOMIC_ACQUIRE);
            store64(at(out, offsetof(AudioSM, mClientFramePos)), start);
            store64(at(out, offsetof(AudioSM, mFramePos)), start, __ATOMIC_RELEASE);
            mZeroBase = start;
            mStartOffset = UInt32(start);
            in->setZeroSampleTime(start);
        }
        takeIOGeometry();
        mFirstCycle = true;
        mInStreamingSuspended = false;
        chooseConverters();
    }
    ++mIOStartCount;
    mDebugStartMs = UInt64(nowMs());
}

void QnASPlugInDevice::StopIO() {
    CAMutexLocker state(mStateMutex);
    if (mIOStartCount == 0) return;
    if (mIOStartCount == 1) _HW_StopIO();
    --mIOStartCount;
}

void QnASPlugInDevice::RestartIO() {
    CAMutexLocker state(mStateMutex);
    mLogic.createIOBuffers();
    if (const UInt32 r = _HW_Reattach()) throw CAException(OSStatus(r));
}

UInt32 QnASPlugInDevice::_HW_StartIO() {
    const UInt64 frames = mLogic.frameSizeProperty();
    hx::clock::sleepFor(2000000);
    UInt64 slot = UInt64(-1);
    UInt32 count = 1;
    const kern_return_t r = mIOKitObject.CallMethod(kSelStartHardware, &frames, 1, nullptr, 0,
                                                    &slot, &count, nullptr, nullptr);
    if (r != 0) {
        mIOState = 0;
        mClientSlot = -1;
        return UInt32(r);
    }
    mClientSlot = SInt32(slot);
    mIOState = 2;
    for (int i = 0; i < 101; ++i) {
        UInt32 attached = 0;
        {
            CAMutexLocker io(mIOMutex);
            if (AudioSM* out = mOutputRing.load())
                attached = load32(at(out, offsetof(AudioSM, mAttachState)), __ATOMIC_ACQUIRE);
        }
        hx::log::format("Start: client not attached yet, waiting 5ms (state %d)\n", int(attached));
        hx::clock::sleepFor(5000000);
        CAMutexLocker io(mIOMutex);
        AudioSM* out = mOutputRing.load();
        if (out && load32(at(out, offsetof(AudioSM, mAttachState)), __ATOMIC_ACQUIRE) == 1)
            return 0;
    }
    syslog(LOG_ERR, "Start: client not attached yet, PANIC\n");
    {
        CAMutexLocker io(mIOMutex);
        unmapRingsLocked();
    }
    mIOKitObject.CallMethod(kSelStopHardware, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                            nullptr);
    mIOState = 0;
    mClientSlot = -1;
    return 0xFFFFFFFF;
}

UInt32 QnASPlugInDevice::_HW_StopIO() {
    mIOKitObject.CallMethod(kSelStopHardware, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                            nullptr);
    CAMutexLocker io(mIOMutex);
    if (AudioSM* in = mInputRing.load()) in->setZeroSampleTime(0);
    unmapRingsLocked();
    mClientSlot = -1;
    mIOState = 0;
    return 0;
}

UInt32 QnASPlugInDevice::_HW_Reattach() {
    const UInt64 frames = mLogic.frameSizeProperty();
    UInt64 slot = UInt64(-1);
    UInt32 count = 1;
    const kern_return_t r = mIOKitObject.CallMethod(kSelStartHardware, &frames, 1, nullptr, 0,
                                                    &slot, &count, nullptr, nullptr);
    mClientSlot = r == 0 ? SInt32(slot) : -1;
    mIOState = r == 0 ? 2 : 0;
    DriverSM* area = mDriverArea.load();
    // A slot of 8 or more is none.
    if (mClientSlot >= 0 && mClientSlot < 8 && area)
        store32(reinterpret_cast<char*>(area) + kClientSlotsAt + kClientSlotBytes * mClientSlot +
                    kClientSlotWord,
                0);
    return UInt32(r);
}

// ---- Zero time stamps and the time-stamp history

void QnASPlugInDevice::GetZeroTimeStamp(Float64& outSampleTime, UInt64& outHostTime,
                                        UInt64& outSeed) {
    CAMutexLocker io(mIOMutex);
    outSeed = 0;
    AudioSM* in = mInputRing.load();
    if (!in) {
        hx::log::format("GetZeroTimeStamp No shared memory, returning");
        outSampleTime = 0;
        outHostTime = 0;
        return;
    }
    const char* hostWord = at(in, offsetof(AudioSM, mZeroHostTime));
    const char* sampleWord = at(in, offsetof(AudioSM, mZeroSampleTime));
    UInt64 h1 = 0, s1 = 0, h2 = 0, s2 = 0;
    bool agreed = false;
    // A scribbled ring cannot hold the IO thread: after the bound the answer
    // is the last one given.
    for (int i = 0; i < kZeroStampRetries && !agreed; ++i) {
        h1 = load64(hostWord, __ATOMIC_ACQUIRE);
        s1 = load64(sampleWord, __ATOMIC_ACQUIRE);
        h2 = load64(hostWord, __ATOMIC_ACQUIRE);
        s2 = load64(sampleWord, __ATOMIC_ACQUIRE);
        agreed = h1 == h2 && s1 == s2;
    }
    if (!agreed) {
        outSampleTime = mLastStampSample;
        outHostTime = mLastStampHost;
        return;
    }
    if (s1 == 0) {
        outSampleTime = 0;
        outHostTime = 0;
    } else {
        outSampleTime = Float64(s1 - mZeroBase.load());
        outHostTime = h1;
    }
    if (outHostTime != mLastStampHost && QNAUDIOSERVER_ZEROTIMESTAMPMONITOR_ENABLED())
        QNAUDIOSERVER_ZEROTIMESTAMPMONITOR(outSampleTime, outHostTime, outSeed,
                                           load64(at(in, offsetof(AudioSM, mZeroUpdateCount))));
    mLastStampSample = outSampleTime;
    mLastStampHost = outHostTime;
}

bool QnASPlugInDevice::_HW_GetTimeStamps() {
    DriverSM* area = mDriverArea.load();
    if (!area || !callDriver(41)) return false;
    return true;
}

void QnASPlugInDevice::lrDataProvider(void* inDevice, UInt32& outCount, double* outX,
                                      double* outY) {
    outCount = 0;
    auto* self = static_cast<QnASPlugInDevice*>(inDevice);
    if (!self || !self->_HW_GetTimeStamps()) return;
    DriverSM* area = self->mDriverArea.load();
    if (!area) return;
    // The count is user-writable: indexes stay inside the two arrays.
    const char* base = reinterpret_cast<const char*>(area) + offsetof(DriverSM, mTimeStamps);
    const UInt32 count = load32(base);
    const UInt32 n = count < kTimeStampsCount ? count : kTimeStampsCount;
    const UInt32 first = count >= kTimeStampsCount ? count % kTimeStampsCount : 0;
    const char* hosts = base + 4;
    const char* samples = hosts + 8 * kTimeStampsCount;
    for (UInt32 i = 0; i < n; ++i) {
        const UInt32 k = (first + i) % kTimeStampsCount;
        outX[i] = double(load64(samples + 8 * k));
        outY[i] = double(load64(hosts + 8 * k));
    }
    outCount = n;
}

// ---- Geometry and converters, taken at StartIO (under "Device IO")

AudioStreamBasicDescription QnASPlugInDevice::copyPhysicalFormat(bool inIsInput) {
    AudioStreamBasicDescription f{};
    if (mLogic.getStreamFormat(inIsInput, &f, true, kMaxIOChannels) != 0) f = {};
    std::lock_guard<std::mutex> g(mAdvertisedLock);
    mAdvertised[inIsInput ? 1 : 0] = f;
    mAdvertisedRead[inIsInput ? 1 : 0] = true;
    return f;
}

UInt32 QnASPlugInDevice::hostBytesPerSample(bool inIsInput) const {
    return inIsInput ? mIn.hostBytesPerSample : mOut.hostBytesPerSample;
}

void QnASPlugInDevice::takeIOGeometry() {
    auto take = [&](IODirection& d, AudioSM* ring, bool isInput) {
        d = IODirection{};
        if (ring) {
            const UInt32 ch = load32(at(ring, offsetof(AudioSM, mChannelsPerFrame)));
            const UInt32 extra = load32(at(ring, offsetof(AudioSM, mExtraBytesPerFrame)));
            d.ring = AudioSMGeometry::forLayout(ch, extra);
            d.ringChannels = (ch >= 1 && ch <= kMaxIOChannels) ? ch : 0;
        }
        // The format last handed out is the one the host's buffers have,
        // even one the IO cannot move (nothing moves then); only when none
        // was handed out yet is it read here.
        AudioStreamBasicDescription f{};
        bool read = false;
        {
            std::lock_guard<std::mutex> g(mAdvertisedLock);
            f = mAdvertised[isInput ? 1 : 0];
            read = mAdvertisedRead[isInput ? 1 : 0];
        }
        if (!read) f = copyPhysicalFormat(isInput);
        // A sample size other than 2, 3 or 4 bytes moves nothing either:
        // 4-byte samples could overrun a buffer of smaller frames.
        if (f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxIOChannels) {
            const UInt32 bytes = f.mBytesPerFrame / f.mChannelsPerFrame;
            if (bytes >= 2 && bytes <= 4) {
                d.hostChannels = f.mChannelsPerFrame;
                d.hostBytesPerSample = bytes;
            }
        }
    };
    take(mIn, mInputRing.load(), true);
    take(mOut, mOutputRing.load(), false);
    mRingFrames = mInputRing.load() ? UInt32(mIn.ring.maxFrames) : 0;
}

void QnASPlugInDevice::chooseConverters() {
    mIn.converter = audioInt32CopySet;
    mOut.converter = audioInt32CopyShift;
    if (mLogic.isDevice(kQuarnelVendorID, kQuarnelSixChannelProductID))
        mOut.converter =
            mLogic.getFrequency() > 96000 ? audioInt32CopyShift6To4 : audioInt32CopyShift;
}

UInt32 QnASPlugInDevice::ioCapacity(const IODirection& inDir) const {
    UInt64 cap = kMaxIOFrames;
    if (inDir.ring.maxFrames < cap) cap = inDir.ring.maxFrames;
    const UInt32 ch =
        inDir.ringChannels > inDir.hostChannels ? inDir.ringChannels : inDir.hostChannels;
    if (ch && mStaging.size() / ch < cap) cap = mStaging.size() / ch;
    return UInt32(cap);
}

namespace {
using qnas::samples::getSample;
using qnas::samples::putSample;

// The ring's frames (ringChannels samples each) to the host's (hostChannels
// of B bytes): the common channels copied, the host's others zeroed.
template <int B>
void samplesToHost(const int32_t* staging, uint8_t* out, UInt32 ringChannels, UInt32 hostChannels,
                   UInt32 frames) {
    if (ringChannels == hostChannels) {
        const size_t n = size_t(frames) * hostChannels;
        if constexpr (B == 4 && std::endian::native == std::endian::little)
            std::memcpy(out, staging, n * 4);
        else if constexpr (B == 4)
            for (size_t i = 0; i < n; ++i)
                putSample<B>(out + i * B, uint32_t(staging[i]));
        else
            qnas::samples::pack(B, staging, out, n);
        return;
    }
    const UInt32 ch = ringChannels < hostChannels ? ringChannels : hostChannels;
    for (UInt32 f = 0; f < frames; ++f) {
        const int32_t* src = staging + size_t(f) * ringChannels;
        uint8_t* dst = out + size_t(f) * hostChannels * B;
        for (UInt32 c = 0; c < hostChannels; ++c)
            putSample<B>(dst + c * B, c < ch ? uint32_t(src[c]) : 0);
    }
}

// The host's frames to the ring's: the common channels copied, the ring's
// others zeroed.
template <int B>
void samplesFromHost(const uint8_t* in, int32_t* staging, UInt32 ringChannels, UInt32 hostChannels,
                     UInt32 frames) {
    if (ringChannels == hostChannels) {
        const size_t n = size_t(frames) * hostChannels;
        if constexpr (B == 4 && std::endian::native == std::endian::little)
            std::memcpy(staging, in, n * 4);
        else if constexpr (B == 4)
            for (size_t i = 0; i < n; ++i)
                staging[i] = int32_t(getSample<B>(in + i * B));
        else
            qnas::samples::unpack(B, in, staging, n);
        return;
    }
    const UInt32 ch = ringChannels < hostChannels ? ringChannels : hostChannels;
    for (UInt32 f = 0; f < frames; ++f) {
        const uint8_t* src = in + size_t(f) * hostChannels * B;
        int32_t* dst = staging + size_t(f) * ringChannels;
        for (UInt32 c = 0; c < ringChannels; ++c)
            dst[c] = c < ch ? int32_t(getSample<B>(src + c * B)) : 0;
    }
}
} // namespace

// Ring samples (4 bytes, 24 bits aligned high) to the host's sample size,
// the smaller channel count copied and the rest of the host frame zeroed.
void QnASPlugInDevice::toHost(const IODirection& d, const int32_t* staging, void* buffer,
                              UInt32 frames) const {
    auto* out = static_cast<uint8_t*>(buffer);
    switch (d.hostBytesPerSample) {
    case 2:
        samplesToHost<2>(staging, out, d.ringChannels, d.hostChannels, frames);
        break;
    case 3:
        samplesToHost<3>(staging, out, d.ringChannels, d.hostChannels, frames);
        break;
    default:
        samplesToHost<4>(staging, out, d.ringChannels, d.hostChannels, frames);
        break;
    }
}

// The host's samples to 4-byte samples aligned high, in the ring's frame.
void QnASPlugInDevice::fromHost(const IODirection& d, const void* buffer, int32_t* staging,
                                UInt32 frames) const {
    const auto* in = static_cast<const uint8_t*>(buffer);
    switch (d.hostBytesPerSample) {
    case 2:
        samplesFromHost<2>(in, staging, d.ringChannels, d.hostChannels, frames);
        break;
    case 3:
        samplesFromHost<3>(in, staging, d.ringChannels, d.hostChannels, frames);
        break;
    default:
        samplesFromHost<4>(in, staging, d.ringChannels, d.hostChannels, frames);
        break;
    }
}

void QnASPlugInDevice::zeroHost(const IODirection& d, void* buffer, UInt32 frames) const {
    if (buffer) std::memset(buffer, 0, size_t(frames) * d.hostChannels * d.hostBytesPerSample);
}

// ---- The IO cycle

void QnASPlugInDevice::WillDoIOOperation(UInt32 inOperationID, bool& outWillDo,
                                         bool& outWillDoInPlace) const {
    outWillDo = inOperationID == kRead || inOperationID == kWrite;
    outWillDoInPlace = true;
}

void QnASPlugInDevice::BeginIOOperation(UInt32, UInt32, const AudioServerPlugInIOCycleInfo&) {}

void QnASPlugInDevice::EndIOOperation(UInt32, UInt32, const AudioServerPlugInIOCycleInfo&) {}

QnASPlugInDevice::Counters QnASPlugInDevice::counters() const {
    CAMutexLocker io(const_cast<CAMutex&>(mIOMutex));
    return Counters{mOutUnderruns, mOutOverloads, mInUnderruns,
                    mInOverloads,  mInCycles,     mOutCycles};
}

OSStatus QnASPlugInDevice::DoIOOperation(AudioObjectID, UInt32 inOperationID,
                                         UInt32 inIOBufferFrameSize,
                                         const AudioServerPlugInIOCycleInfo& inIOCycleInfo,
                                         void* ioMainBuffer, void*) {
    CAMutexLocker io(mIOMutex);
    AudioSM* in = mInputRing.load();
    AudioSM* out = mOutputRing.load();
    if (!mDriverArea.load() || !in || !out) {
        if (inOperationID == kRead && ioMainBuffer)
            zeroHost(mIn, ioMainBuffer, inIOBufferFrameSize);
        return kStop;
    }
    if (load32(at(out, kOutFlagWord)) != 0) store32(at(out, kOutFlagWord), 0);
    OSStatus result = 0;
    if (inOperationID == kWrite)
        result = doWrite(inIOBufferFrameSize, inIOCycleInfo, ioMainBuffer);
    else if (inOperationID == kRead)
        result = doRead(inIOBufferFrameSize, inIOCycleInfo, ioMainBuffer);
    mFirstCycle = false;
    return result;
}

OSStatus QnASPlugInDevice::doWrite(UInt32 frames, const AudioServerPlugInIOCycleInfo& info,
                                   void* buffer) {
    const Float64 sampleTime = info.mOutputTime.mSampleTime;
    const double expected = std::trunc(mLastOutSampleTime + mLastOutFrames);
    const UInt64 t0 = mach_absolute_time();
    const OSStatus result = WriteOutputData(frames, sampleTime, buffer);
    const double elapsedUs = double(mach_absolute_time() - t0) / 1000.0;
    mLastOutSampleTime = sampleTime;
    mLastOutFrames = frames;
    if (sampleTime != expected && mOutCycles != 0) {
        ++mOutOverloads;
        syslog(LOG_ERR,
               "%llu IO Operation Output overload: %d at %.0f cycle %llu, drop %.0f frames, "
               "elapsed %.2f us (%d)\n",
               (unsigned long long)nowMs(), int(frames), sampleTime, (unsigned long long)mOutCycles,
               sampleTime - expected - frames, elapsedUs, int(mOutOverloads));
    }
    ++mOutCycles;
    return result;
}

OSStatus QnASPlugInDevice::doRead(UInt32 frames, const AudioServerPlugInIOCycleInfo& info,
                                  void* buffer) {
    const Float64 sampleTime = info.mInputTime.mSampleTime;
    const double expected = std::trunc(mLastInSampleTime + mLastInFrames);
    mLastInSampleTime = sampleTime;
    mLastInFrames = frames;
    const UInt64 t0 = mach_absolute_time();
    const OSStatus result = ReadInputData(frames, sampleTime, buffer);
    const double elapsedUs = double(mach_absolute_time() - t0) / 1000.0;
    if (QNAUDIOSERVER_INPUTOVERLOADMONITOR_ENABLED())
        QNAUDIOSERVER_INPUTOVERLOADMONITOR(
            sampleTime, mZeroBase.load() + UInt64(wholeFrames(sampleTime)), expected, frames);
    if (sampleTime != expected && mInCycles != 0) {
        ++mInOverloads;
        syslog(LOG_ERR,
               "%llu IO Operation Input overload: request %u at %.0f cycle %llu,drop %.0f "
               "frames, elapsed %.2f us (%d)\n",
               (unsigned long long)nowMs(), unsigned(frames), sampleTime,
               (unsigned long long)mInCycles, sampleTime - expected - frames, elapsedUs,
               int(mInOverloads));
    }
    ++mInCycles;
    return result == kNope ? kNope : 0;
}

void QnASPlugInDevice::readRing(AudioSM* ring, const IODirection& d, UInt64& readPos, UInt32 offset,
                                UInt32 frames) {
    audioSMReadAudio(ring->mSamples, d.ring, readPos,
                     mStaging.data() + size_t(offset) * d.ringChannels, frames, d.converter);
    readPos += frames;
}

OSStatus QnASPlugInDevice::ReadInputData(UInt32 inFrames, Float64 inSampleTime, void* outBuffer) {
    AudioSM* in = mInputRing.load();
    AudioSM* out = mOutputRing.load();
    if (!in || !out || !outBuffer) return kStop;
    const IODirection& d = mIn;
    if (!d.ringChannels || !d.hostChannels) {
        zeroHost(d, outBuffer, inFrames);
        return 0;
    }
    if (inFrames > ioCapacity(d)) {
        ++mInOverloads;
        zeroHost(d, outBuffer, inFrames);
        return kNope;
    }
    // Frames before sample time 0 come from before this start (after a
    // restart, the previous timeline's): they are silence, and the read
    // begins at the zero base.
    const UInt32 before = framesBeforeZero(inSampleTime, inFrames);
    const UInt64 start = mZeroBase.load() + (before ? 0 : UInt64(wholeFrames(inSampleTime)));
    UInt64 readPos = start;
    const char* writeWord = at(in, offsetof(AudioSM, mFramePos));
    if (QNAUDIOSERVER_INPUTMONITOR_ENABLED())
        QNAUDIOSERVER_INPUTMONITOR(inSampleTime, readPos, load64(writeWord), inFrames);
    if (mInCycles == 0) {
        const long long now = nowMs();
        const long long lastMs = (long long)(mLastStampHost / 1000000);
        const long long dTime = now - lastMs;
        // Figures for the log only, in 64 bits: scribbled positions never
        // overflow them.
        const long long shouldHave = (long long)(rate() * dTime / 1000);
        const long long have = (long long)UInt32(load64(writeWord) - readPos);
        const long long request = (long long)inSampleTime + (long long)inFrames;
        syslog(LOG_ALERT,
               "In: @%lld sampleTime %0.f dTime=%lld shouldHave %lld have %lld diff %lld  request "
               "%lld diff %lld safety %d margin %lld [%lld %0.f]\n",
               now, inSampleTime, dTime, shouldHave, have, shouldHave - have, request,
               shouldHave - request, int(mAddedInSafetyOffset + SInt32(mInputSafetyOffset)),
               have - request, lastMs, mLastStampSample);
    }
    UInt32 done = before;
    if (before) std::memset(mStaging.data(), 0, size_t(before) * d.ringChannels * 4);
    for (int attempt = 0; attempt < 2 && done < inFrames; ++attempt) {
        const UInt64 writePos = load64(writeWord, __ATOMIC_ACQUIRE);
        SInt32 available = SInt32(UInt32(writePos - readPos));
        if (available < 0) available = 0;
        const UInt32 missing = inFrames - done;
        const UInt32 n = UInt32(available) < missing ? UInt32(available) : missing;
        if (n > 0) {
            readRing(in, d, readPos, done, n);
            done += n;
        }
        if (done == inFrames) break;
        if (n == 0 && attempt == 0) hx::clock::sleepFor(250000);
    }
    if (done < inFrames) {
        ++mInUnderruns;
        syslog(LOG_ERR,
               "DoIO In @%lld: UNDERRUN Attempt to read %u frames at %u missed %u BS %d (%d)\n",
               nowMs(), unsigned(inFrames),
               unsigned(mZeroBase.load() + UInt64(wholeFrames(inSampleTime))),
               unsigned(inFrames - done), int(inFrames), int(mInUnderruns));
        std::memset(mStaging.data() + size_t(done) * d.ringChannels, 0,
                    size_t(inFrames - done) * d.ringChannels * 4);
    }
    toHost(d, mStaging.data(), outBuffer, inFrames);
    store64(at(out, offsetof(AudioSM, mClientFramePos)), start + (inFrames - before));
    return 0;
}

OSStatus QnASPlugInDevice::WriteOutputData(UInt32 inFrames, Float64 inSampleTime, void* inBuffer) {
    AudioSM* out = mOutputRing.load();
    if (!out) {
        hx::log::format("WriteOutputData No shared memory, returning");
        return kStop;
    }
    const IODirection& d = mOut;
    if (!d.ringChannels || !d.hostChannels || !inBuffer) return 0;
    if (inFrames > ioCapacity(d)) {
        ++mOutOverloads;
        return kNope;
    }
    const bool silent = mInStreamingSuspended.load();
    if (silent) {
        zeroHost(d, inBuffer, inFrames);
        hx::log::format("@%lld WriteOutputData streaming suspended!\n", nowMs());
    }
    const UInt32 kernelPos = load32(at(out, kRtsFramePosOut));
    const UInt64 clientPos = load64(at(out, offsetof(AudioSM, mFramePos)));
    const UInt32 position = mStartOffset.load() + UInt32(wholeFrames(inSampleTime));
    // Write-ahead is clamped so the write stays within one ring.
    SInt64 ahead = SInt64(mWriteAheadBase.load()) + mAddWriteAhead;
    const SInt64 room = SInt64(d.ring.maxFrames) - SInt64(inFrames);
    if (ahead > room) ahead = room;
    if (ahead < 0) ahead = 0;
    const SInt32 margin = SInt32(UInt32(clientPos) - kernelPos + UInt32(mWriteAheadBase.load()) +
                                 UInt32(mAddWriteAhead));
    if (QNAUDIOSERVER_OUTPUTMONITOR_ENABLED())
        QNAUDIOSERVER_OUTPUTMONITOR(inSampleTime, position, kernelPos, inFrames);
    if (margin < 0 && mOutCycles != 0) {
        ++mOutUnderruns;
        syslog(LOG_ERR,
               "DoIO Out %lld: UNDERRUN serving %d frames, the system needs %lld frames pos "
               "%d writePos %d rtsFramePosOut %d cycle %llu (%d)\n",
               (long long)mach_absolute_time(), int(inFrames),
               (long long)inFrames - (long long)margin, int(inSampleTime), int(position),
               int(kernelPos), (unsigned long long)mOutCycles, int(mOutUnderruns));
    }
    fromHost(d, inBuffer, mStaging.data(), inFrames);
    // The position keeps the 64-bit zero base's high word: the kernel
    // compares output positions modulo 2^32.
    const UInt64 pos64 = mZeroBase.load() + UInt64(wholeFrames(inSampleTime));
    store64(at(out, offsetof(AudioSM, mFramePos)), pos64, __ATOMIC_RELEASE);
    store64(at(out, offsetof(AudioSM, mWriteOffset)), UInt64(ahead));
    audioSMWriteAudio(out->mSamples, d.ring, pos64 + UInt64(ahead), mStaging.data(), inFrames,
                      d.converter);
    store64(at(out, offsetof(AudioSM, mFramePos)), pos64 + inFrames, __ATOMIC_RELEASE);
    return 0;
}
