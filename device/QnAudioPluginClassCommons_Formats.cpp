// Stream formats: the lists a direction offers, the current format, the
// per-model channel overrides and the configuration search.
#include "abi/DeviceFamilies.h"
#include "abi/VIDPID.h"
#include "device/QnAudioPluginClassCommons.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kListRates[] = {32000, 44100, 48000, 64000, 88200, 96000, 176400, 192000};
constexpr uint32_t kResolutions[] = {16, 20, 24, 32};
constexpr AudioFormatFlags kFlagsAC3 = 12;

AudioStreamBasicDescription makeFormat(double rate, AudioFormatID id, AudioFormatFlags flags,
                                       uint32_t bits, uint32_t sampleBytes, uint32_t channels) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = id;
    d.mFormatFlags = flags;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bits;
    d.mBytesPerFrame = d.mBytesPerPacket = sampleBytes * channels;
    return d;
}

bool isHighUSB1Rate(uint32_t rate) {
    return rate == 88200 || rate == 96000;
}

} // namespace

void QnAudioPluginClassCommons::applyChannelOverrides(bool isInput, uint32_t* channels) const {
    uint16_t p = product();
    if (isSixChannelProduct() && !isInput) *channels = 6;
    if (vendor() == kSorvikVendorID && (p == 4 || p == 6)) *channels = isInput ? 8 : 6;
    if (vendor() == kSorvikVendorID && p == 8) *channels = isInput ? 10 : 12;
}

void QnAudioPluginClassCommons::updateChannelsToReport(QnChannelSettings* reported,
                                                       const QnChannelSettings* current) {
    *reported = *current;
    if (isOutputOnly() && reported->InChannels != 0) reported->InChannels = 0;
    applyChannelOverrides(true, &reported->InChannels);
    applyChannelOverrides(false, &reported->OutChannels);
}

uint32_t QnAudioPluginClassCommons::listedChannels(bool isInput, uint32_t loopCount,
                                                   uint32_t maxChannels) const {
    uint32_t channels = loopCount;
    if (isInput && isOutputOnly()) channels = 0;
    applyChannelOverrides(isInput, &channels);
    if (isSixChannelProduct()) channels = 6;
    return channels < maxChannels ? channels : maxChannels;
}

// Walks the offered formats in list order, writing at most capacity entries
// (none when out is null); returns how many there are.
uint32_t QnAudioPluginClassCommons::walkFormats(bool isInput, bool isPhysical, uint32_t maxChannels,
                                                AudioStreamBasicDescription* out,
                                                uint32_t capacity) {
    uint32_t n = 0;
    auto emit = [&](const AudioStreamBasicDescription& d) {
        if (out && n < capacity) out[n] = d;
        ++n;
    };
    const bool locked = isRateLocked();
    const uint32_t lockedRate = kernelRate();
    for (uint32_t rate : kListRates) {
        if (locked && rate != lockedRate) continue;
        uint32_t first = 2, last = 8;
        if (isSorvikFarlaneDevice())
            first = last = isInput ? mReported.InChannels : mReported.OutChannels;
        else if (isMerrowCompatible())
            last = 32;
        else if (rate >= 88200)
            first = 1;
        uint32_t before = n;
        for (uint32_t ch = first; ch <= last && ch <= 255; ++ch) {
            uint32_t written = listedChannels(isInput, ch, maxChannels);
            for (uint32_t bits : kResolutions) {
                if (!scanAPIDeviceInfo(mInfo, 0, rate, bits, ch, false, !isInput).mFound) continue;
                if (isPhysical) {
                    emit(makeFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger,
                                    bits, uint32_t(getBytesFromBits(int(bits))), written));
                    continue;
                }
                emit(makeFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 32, 4,
                                written));
                emit(makeFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger, 32, 4,
                                written));
                break;
            }
        }
        // The AC-3 entry the count includes is written too, so no entry of
        // the caller's array stays undefined.
        if (n != before && isAC3compatible())
            emit(makeFormat(rate, kAudioFormat60958AC3, kFlagsAC3, 16, 2, 2));
    }
    return n;
}

uint32_t QnAudioPluginClassCommons::getStreamFormatNum(bool isInput, bool isPhysical) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (isInput && isOutputOnly()) return 0;
    if (allowCurrentSROnly()) return 1;
    return walkFormats(isInput, isPhysical, ~0u, nullptr, 0);
}

OSStatus QnAudioPluginClassCommons::getStreamFormats(bool isInput,
                                                     AudioStreamBasicDescription* descriptions,
                                                     uint32_t count, bool isPhysical,
                                                     uint32_t maxChannels) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (count != getStreamFormatNum(isInput, isPhysical)) return kIOReturnBadArgument;
    if (count == 0) return 0;
    if (!descriptions) return kIOReturnBadArgument;
    if (allowCurrentSROnly()) return getStreamFormat(isInput, descriptions, isPhysical, ~0u);
    walkFormats(isInput, isPhysical, maxChannels, descriptions, count);
    return 0;
}

OSStatus QnAudioPluginClassCommons::getAvailableFormats(bool isInput,
                                                        AudioStreamRangedDescription* ranged,
                                                        uint32_t count, bool isPhysical,
                                                        uint32_t maxChannels) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (count != getStreamFormatNum(isInput, isPhysical)) return kIOReturnBadArgument;
    if (count == 0) return 0;
    if (!ranged) return kIOReturnBadArgument;
    std::vector<AudioStreamBasicDescription> formats(count);
    OSStatus status = getStreamFormats(isInput, formats.data(), count, isPhysical, maxChannels);
    if (status != 0) return status;
    for (uint32_t i = 0; i < count; ++i) {
        ranged[i].mFormat = formats[i];
        ranged[i].mSampleRateRange.mMinimum = formats[i].mSampleRate;
        ranged[i].mSampleRateRange.mMaximum = formats[i].mSampleRate;
    }
    return 0;
}

OSStatus QnAudioPluginClassCommons::getStreamFormat(bool isInput, AudioStreamBasicDescription* d,
                                                    bool isPhysical, uint32_t maxChannels) {
    DriverSM* sm = mHost.hostDriverSM();
    if (!sm) return kIOReturnNoDevice;
    if (!d) return kIOReturnBadArgument;
    const DirectionFormat& f = mFormat[isInput ? 1 : 0];
    AudioFormatID id = isPhysical ? f.physicalID : f.virtualID;
    AudioFormatFlags flags =
        isPhysical ? (id == kAudioFormat60958AC3 ? kFlagsAC3 : kAudioFormatFlagIsSignedInteger)
                   : f.virtualFlags;
    uint32_t channels, bits;
    const uint32_t kernelBits =
        isInput ? sm->mChannelSettings.InResolution : sm->mChannelSettings.OutResolution;
    if (mPendingDirection != 0) {
        channels = isInput ? mPending.InChannels : mPending.OutChannels;
        bits = isInput ? mPending.InResolution : mPending.OutResolution;
    } else {
        bool reported = !isPhysical || isSorvikFarlane1();
        const QnChannelSettings& s = reported ? mReported : mCurrent;
        channels = isInput ? s.InChannels : s.OutChannels;
        bits = kernelBits;
    }
    if (id == kAudioFormat60958AC3) channels = 2;
    uint32_t rate = mPendingDirection != 0 ? mPending.Frequency : mReported.Frequency;
    if (channels == 0 && isHighUSB1Rate(rate) && !isUSB2Device() && !isControlPanelOrAudioSetup()) {
        uint32_t pending = isInput ? mPending.InChannels : mPending.OutChannels;
        if (pending != 0) channels = pending;
    }
    if (channels > maxChannels) channels = maxChannels;
    if (isSixChannelProduct()) channels = 6;
    uint32_t sampleBytes;
    if (!isPhysical && id != kAudioFormat60958AC3) {
        bits = 32;
        sampleBytes = 4;
    } else {
        int b = getBytesFromBits(int(bits));
        sampleBytes = b == 3 || b == 4 ? uint32_t(b) : 2;
    }
    *d = makeFormat(rate, id, flags, bits, sampleBytes, channels);
    return 0;
}
