// Frame sizes, the IO buffers (with the phono stage's filters) and the
// preparation of the streaming rings.
#include "device/QnAudioPluginClassCommons.h"

#include <cstdio>
#include <syslog.h>

#include "abi/AudioSM.h"
#include "abi/DeviceFamilies.h"
#include "platform/base/HXLog.h"

namespace {

bool validResolution(uint32_t bits) {
    return bits == 16 || bits == 20 || bits == 24 || bits == 32;
}

} // namespace

bool QnAudioPluginClassCommons::plausibleSettings(const QnChannelSettings& s) {
    const bool in = s.InChannels <= kAudioSMMaxChannels &&
                    (s.InChannels == 0 || validResolution(s.InResolution));
    const bool out = s.OutChannels <= kAudioSMMaxChannels &&
                     (s.OutChannels == 0 || validResolution(s.OutResolution));
    return in && out;
}

void QnAudioPluginClassCommons::getFrameSizeRange(uint32_t /*rate*/, uint32_t* minimum,
                                                  uint32_t* maximum) {
    *minimum = kMinFrameSize;
    *maximum = kMaxFrameSize;
}

void QnAudioPluginClassCommons::getFrameSizeRangeInt(uint32_t* minimum, uint32_t* maximum) {
    if (!mHost.hostDriverSM()) {
        *minimum = *maximum = 0;
        return;
    }
    getFrameSizeRange(kernelRate(), minimum, maximum);
}

void QnAudioPluginClassCommons::getFrameSizeRange(double* minimum, double* maximum) {
    uint32_t lo = 0, hi = 0;
    getFrameSizeRangeInt(&lo, &hi);
    *minimum = lo;
    *maximum = hi;
}

void QnAudioPluginClassCommons::getFrameSizeRangeBytes(bool isInput, double* minimum,
                                                       double* maximum) {
    getFrameSizeRange(minimum, maximum);
    const double bytes = 4.0 * (isInput ? mReported.InChannels : mReported.OutChannels);
    *minimum *= bytes;
    *maximum *= bytes;
}

uint32_t QnAudioPluginClassCommons::validateMinMaxFrameSize(uint32_t size) {
    return size < kMinFrameSize ? kMinFrameSize : size > kMaxFrameSize ? kMaxFrameSize : size;
}

uint32_t QnAudioPluginClassCommons::getFrameSize() const {
    uint32_t pending = mPendingFrameSize.load(std::memory_order_acquire);
    if (pending) return pending;
    const uint32_t property = mFrameSizeProperty.load();
    return property ? property : mDefaultFrameSize;
}

uint32_t QnAudioPluginClassCommons::getFrameSizeBytes(bool isInput) const {
    return getFrameSize() * 4 * (isInput ? mReported.InChannels : mReported.OutChannels);
}

uint32_t QnAudioPluginClassCommons::takePendingFrameSize(uint32_t limit) {
    uint32_t pending = mPendingFrameSize.exchange(0, std::memory_order_acq_rel);
    if (pending > limit) return 0;
    if (pending) mFrameSizeProperty = pending;
    return pending;
}

IOReturn QnAudioPluginClassCommons::setFrameSize(uint32_t size, bool /*notify*/, bool force) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    uint32_t clamped = validateMinMaxFrameSize(size);
    if (clamped != size && !force) return kIOReturnBadArgument;
    if (clamped == getFrameSize() && !force) return 0;
    // The kernel's side of each ring needs at least half of it.
    if (!mHost.hostFrameSizeFits(clamped)) return kIOReturnBadArgument;
    if (mHardwarePrepared) {
        // The audio thread takes it at the start of its next cycle.
        mPendingFrameSize.store(clamped, std::memory_order_release);
    } else {
        mFrameSizeProperty = clamped;
        mPendingFrameSize.store(0, std::memory_order_release);
        mHost.hostFrameSizePropertyChanged(clamped);
    }
    createIOBuffers();
    mHost.hostUpdateLatencies();
    updateSafetyOffsets();
    return 0;
}

bool QnAudioPluginClassCommons::createIOBuffers() {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    QnChannelSettings kernel{};
    readKernelSettings(&kernel);
    // Any process can write the driver area: a wild format builds nothing
    // (the cycle then moves nothing) and is not taken as current.
    if (!plausibleSettings(kernel)) {
        syslog(LOG_ERR, "createIOBuffers: invalid channel settings in %u/%u out %u/%u\n",
               kernel.InChannels, kernel.InResolution, kernel.OutChannels, kernel.OutResolution);
        mHost.hostCreateIOBuffers(0, 0, 0, 0, getFrameSize());
        return false;
    }
    mCurrent = kernel;
    updateChannelsToReport(&mReported, &mCurrent);
    const uint32_t frames = getFrameSize();
    bool ok = mHost.hostCreateIOBuffers(mCurrent.InChannels, mReported.InChannels,
                                        mCurrent.OutChannels, mReported.OutChannels, frames);
    if (isPhonoProduct()) {
        for (RIAA& filter : mRIAA)
            filter.init(int(mReported.Frequency), int(mReported.InChannels));
        std::printf("HERE SETSETTINGS__________ Freq. %d Chann. %d \n", int(mReported.Frequency),
                    int(mReported.InChannels));
    }
    if (DriverSM* sm = mHost.hostDriverSM()) {
        uint64_t me = mHost.hostClientIdentity();
        for (ClientData& slot : sm->mClients) {
            uint64_t client = slot.mClient;
            if (me != 0 && client == me) slot.mParameter = frames;
        }
    }
    mHost.hostUpdateLatencies();
    return ok;
}

bool QnAudioPluginClassCommons::prepareHardware() {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    mHardwarePrepared = false;
    if (!mHost.hostMapRings()) {
        mHost.hostUnmapRings();
        return false;
    }
    if (mFrameSizeProperty == 0) {
        mFrameSizeProperty = mDefaultFrameSize;
        mHost.hostFrameSizePropertyChanged(mDefaultFrameSize);
        mPendingFrameSize.store(0, std::memory_order_release);
    }
    mHardwarePrepared = true;
    mHost.hostCheckRunningStream();
    return true;
}
