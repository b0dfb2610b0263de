// What the shared device logic asks of the device: the driver area and the
// request call, the client type, the settings store, the change sink, the
// IO buffers and the rings.
#include <cstring>

#include "device/DeviceManagerClient.h"
#include "device/OSXAsioRegistrySettings.h"
#include "device/OSXDeviceManager.h"
#include "device/QnIORegistryPrefs.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"

namespace {

constexpr uint64_t kBufferWaitNanos = 1000000;
constexpr int kOtherClientType = 18;

} // namespace

bool ZrOSXDevice::hostRequest(uint32_t req, const void* payload, uint32_t bytes) {
    RecordGuard g(*this);
    if (bytes > sizeof g.record().payload) return false;
    std::memcpy(g.record().payload, payload, bytes);
    return callDriver(req);
}

int ZrOSXDevice::hostClientAppType() {
    return mManager ? mManager->clientAppType() : kOtherClientType;
}

CFDictionaryRef ZrOSXDevice::hostCopyServiceProperties() {
    CFDictionaryRef props = mpPrefs ? mpPrefs->getProperties() : nullptr;
    if (props) CFRetain(props);
    return props;
}

QnAudioPluginSettingsStore* ZrOSXDevice::hostSettingsStore() {
    return mSettingsStore.get();
}

void ZrOSXDevice::hostFormatChanged() {
    if (mClient) mClient->onFormatChanged(this);
}

void ZrOSXDevice::hostReportFormatChange(const AudioStreamBasicDescription& inVirtual,
                                         const AudioStreamBasicDescription& outVirtual,
                                         const AudioStreamBasicDescription& inPhysical,
                                         const AudioStreamBasicDescription& outPhysical) {
    checkReportFormatChange(inVirtual, outVirtual, inPhysical, outPhysical);
}

void ZrOSXDevice::hostFrameSizePropertyChanged(uint32_t frames) {
    mFrameSize.set(frames, true);
}

void ZrOSXDevice::hostStreamFormatStored(bool isInput, bool isPhysical, AudioFormatID id,
                                         AudioFormatFlags flags) {
    if (isPhysical) return;
    (isInput ? mInFormatID : mOutFormatID) = id;
    (isInput ? mInFormatFlags : mOutFormatFlags) = flags;
}

// A frame size above half a mapped ring leaves the kernel no room.
bool ZrOSXDevice::hostFrameSizeFits(uint32_t frames) {
    for (const AudioSM* ring : {mInRing, mOutRing})
        if (ring && uint64_t(frames) * 2 > ring->geometry().maxFrames) return false;
    return true;
}

void ZrOSXDevice::hostUpdateLatencies() {
    mStreamRate = currentSettings().Frequency;
    updateLatencies();
}

bool ZrOSXDevice::onAudioThread() const {
    return IsRunning() && pthread_equal(mAudioThreadId.load(), pthread_self());
}

// Called under the device mutex. While the audio thread runs it builds the
// buffers itself at the start of its next pass: a client thread never
// reallocates what a cycle uses. A caller while nothing streams waits for
// that pass, so the buffers are there when it returns.
bool ZrOSXDevice::hostCreateIOBuffers(uint32_t inChannels, uint32_t inReported,
                                      uint32_t outChannels, uint32_t outReported, uint32_t frames) {
    const BufferCounts counts{inChannels,  inReported, outChannels,
                              outReported, frames,     currentSettings().Frequency};
    mStreamRate = counts.rate;
    if (!IsRunning() || onAudioThread()) return buildIOBuffers(counts);
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> g(mBufferRequestLock);
        mBufferRequest = counts;
        generation = ++mBufferPosted;
    }
    if (mThreadState.load() != 0) return true;
    while (mBufferBuilt.load() < generation && IsRunning())
        hx::clock::sleepFor(kBufferWaitNanos);
    if (mBufferBuilt.load() < generation) return buildIOBuffers(counts);
    return mBufIn.exists() == (inChannels != 0) && mBufOut.exists() == (outChannels != 0);
}

// Audio thread (or no thread): takes the newest request, if any.
void ZrOSXDevice::takeBufferRequest() {
    const uint64_t posted = mBufferPosted.load();
    if (posted == mBufferBuilt.load()) return;
    BufferCounts counts;
    uint64_t generation;
    {
        std::unique_lock<std::mutex> g(mBufferRequestLock, std::try_to_lock);
        if (!g.owns_lock()) return; // a client is posting: next pass
        counts = mBufferRequest;
        generation = mBufferPosted.load();
    }
    // Cycles run at the size the thread took over; a pending size rebuilds
    // when the thread takes it.
    if (const uint32_t cycleFrames = mFrameSize.getUInt32()) counts.frames = cycleFrames;
    buildIOBuffers(counts);
    mBufferBuilt = generation;
}

bool ZrOSXDevice::buildIOBuffers(const BufferCounts& c) {
    mBuilt = c;
    if (c.inChannels == 0 && c.outChannels == 0) {
        mBufIn.term();
        mBufOut.term();
        return false;
    }
    const bool in = mBufIn.create(c.inChannels, c.inReported, c.frames);
    const bool out = mBufOut.create(c.outChannels, c.outReported, c.frames);
    return in && out;
}

// Nothing a cycle uses is unmapped under it: the state goes to 0 under the
// attach lock (a start already holds it) and the audio thread must have
// begun a new pass before the rings go; then the state is 1 again.
bool ZrOSXDevice::hostMapRings() {
    quiesceCycles();
    unmapSharedMemory();
    auto* in = static_cast<AudioSM*>(mapSharedMemory(4, kRingBytes));
    auto* out = static_cast<AudioSM*>(mapSharedMemory(5, kRingBytes));
    if (!in || !out) {
        if (in)
            IOConnectUnmapMemory64(connection(), 4, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(in));
        if (out)
            IOConnectUnmapMemory64(connection(), 5, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(out));
        return false;
    }
    mInRing = in;
    mOutRing = out;
    // The kernel's format as it stands now, for the attach.
    createIOBuffers();
    mThreadState = 1;
    return true;
}
