// Frame sizes, IO buffers and hardware preparation.
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "device/ZrOSXDevice.h"

namespace {

constexpr uint32_t kRingBytes = sizeof(AudioSM);
constexpr uint32_t kSlotFrameSizeOffset = 8;

bool validResolution(uint32_t bits) {
    return bits == 16 || bits == 20 || bits == 24 || bits == 32;
}

// A frame size must leave the ring room for the kernel's side: at most half
// of the ring as the record's counts lay it out.
bool fitsRing(const AudioSM* ring, uint32_t frames) {
    if (!ring) return true;
    const AudioSMGeometry g = ring->geometry();
    return uint64_t(frames) * 2 <= g.maxFrames;
}

} // namespace

void ZrOSXDevice::getFrameSizeRange(uint32_t, uint32_t& minimum, uint32_t& maximum) const {
    minimum = kMinFrameSize;
    maximum = kMaxFrameSize;
}

uint32_t ZrOSXDevice::validateMinMaxFrameSize(uint32_t size) const {
    return size < kMinFrameSize ? kMinFrameSize : size > kMaxFrameSize ? kMaxFrameSize : size;
}

uint32_t ZrOSXDevice::getFrameSize() const {
    if (const uint32_t pending = mPendingFrameSize.load()) return pending;
    if (const uint32_t current = mFrameSize.getUInt32()) return current;
    return mDefaultFrameSize;
}

uint32_t ZrOSXDevice::getFrameSizeBytes(bool isInput) const {
    return getFrameSize() * 4 *
           (isInput ? mReportedChannels.InChannels : mReportedChannels.OutChannels);
}

IOReturn ZrOSXDevice::setFrameSize(uint32_t frames, bool, bool force) {
    const uint32_t size = validateMinMaxFrameSize(frames);
    if (size != frames && !force) return kIOReturnBadArgument;
    if (size == getFrameSize() && !force) return kIOReturnSuccess;
    if (!fitsRing(mInRing, size) || !fitsRing(mOutRing, size)) return kIOReturnBadArgument;
    // While the rings are mapped the audio thread takes the size over at its
    // next cycle and rebuilds the buffers itself: nothing it uses changes
    // under it.
    if (hardwareReady()) {
        mPendingFrameSize = size;
        return kIOReturnSuccess;
    }
    mFrameSize.set(size, true);
    mPendingFrameSize = 0;
    createIOBuffers();
    updateLatencies();
    updateSafetyOffsets();
    return kIOReturnSuccess;
}

bool ZrOSXDevice::createIOBuffers() {
    const DriverSM* sm = driverSM();
    if (!sm) return false;
    QnChannelSettings cs;
    std::memcpy(&cs, reinterpret_cast<const char*>(sm) + offsetof(DriverSM, mChannelSettings),
                sizeof cs);
    // Any process can write the shared area: a wild format builds nothing.
    const bool inBad =
        cs.InChannels > kAudioSMMaxChannels || (cs.InChannels && !validResolution(cs.InResolution));
    const bool outBad = cs.OutChannels > kAudioSMMaxChannels ||
                        (cs.OutChannels && !validResolution(cs.OutResolution));
    if (inBad || outBad) {
        syslog(LOG_ERR, "createIOBuffers: invalid channel settings in %u/%u out %u/%u\n",
               cs.InChannels, cs.InResolution, cs.OutChannels, cs.OutResolution);
        mBufIn.term();
        mBufOut.term();
        return false;
    }
    mTrueChannels = cs;
    updateChannelsToReport(mReportedChannels, true);
    const uint32_t frames = mFrameSize.getUInt32() ? mFrameSize.getUInt32() : mDefaultFrameSize;
    const bool in = mBufIn.create(cs.InChannels, mReportedChannels.InChannels, frames);
    const bool out = mBufOut.create(cs.OutChannels, mReportedChannels.OutChannels, frames);
    const int slot = attachedSlot();
    if (slot >= 0 && slot < 8) writeSlotWord(kSlotFrameSizeOffset, frames);
    updateLatencies();
    return in && out && mBufIn.exists() && mBufOut.exists();
}

bool ZrOSXDevice::prepareHardware() {
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
    if (mFrameSize.getUInt32() == 0) {
        mFrameSize.set(mDefaultFrameSize, true);
        mPendingFrameSize = 0;
    }
    mThreadState = 1;
    checkRunningStream();
    return true;
}

void ZrOSXDevice::quiesceCycles() {
    mThreadState = 0;
    if (mAudioThreadId.load() == pthread_self()) return;
    waitForAudioThread(1, 1000);
}

void ZrOSXDevice::writeSlotWord(uint32_t offset, uint32_t value) {
    DriverSM* sm = driverSM();
    const int slot = attachedSlot();
    if (!sm || slot < 0 || slot >= 8) return;
    audiosm::store32(reinterpret_cast<char*>(sm) + offsetof(DriverSM, mClients) +
                         size_t(slot) * sizeof(ClientData) + offset,
                     value);
}

uint32_t ZrOSXDevice::readSlotWord(uint32_t offset) const {
    const DriverSM* sm = driverSM();
    const int slot = attachedSlot();
    if (!sm || slot < 0 || slot >= 8) return 0;
    return audiosm::load32(reinterpret_cast<const char*>(sm) + offsetof(DriverSM, mClients) +
                           size_t(slot) * sizeof(ClientData) + offset);
}
