// The configuration search and the stream-format change.
#include "abi/DeviceFamilies.h"
#include "device/QnAudioPluginClassCommons.h"

#include <cstdio>
#include <syslog.h>

#include "platform/base/HXLog.h"

namespace {

constexpr uint32_t kRateZeroOrder[] = {32000, 44100,  48000,  64000, 88200,
                                       96000, 128000, 176400, 192000};
constexpr AudioFormatFlags kFlagsAC3 = 12;

bool isHighUSB1Rate(uint32_t rate) {
    return rate == 88200 || rate == 96000;
}

} // namespace

bool QnAudioPluginClassCommons::usbFindConfiguration(bool isInput,
                                                     APIDeviceInfoScanResult* inResult,
                                                     APIDeviceInfoScanResult* outResult,
                                                     QnChannelSettings* s) {
    APIDeviceInfoScanResult in{}, out{};
    const bool mono = isMonoAtHighRateProduct();
    if (mono)
        std::fprintf(
            stderr,
            "In AUDIO_PLUGIN_CLASS::usbFindConfiguration Force Mono in high sample rate \n");
    if (!isUSB2Device()) {
        if (isHighUSB1Rate(s->Frequency)) {
            if (isInput) {
                if (s->InChannels == 1)
                    s->OutChannels = 1;
                else if (s->InChannels == 2)
                    s->OutChannels = 0;
                else
                    s->InChannels = 0;
            } else if (s->OutChannels == 1) {
                s->InChannels = 1;
            } else if (s->OutChannels == 2) {
                s->InChannels = 0;
            } else if (mono) {
                s->OutChannels = 0;
            }
        } else if (mono) {
            if (s->InChannels == 0) s->InChannels = s->OutChannels;
            if (s->OutChannels == 0) s->OutChannels = s->InChannels;
        }
    }
    if (isSymmetricProduct()) {
        uint32_t& otherBits = isInput ? s->OutResolution : s->InResolution;
        uint32_t& otherChannels = isInput ? s->OutChannels : s->InChannels;
        otherBits = isInput ? s->InResolution : s->OutResolution;
        if (s->Frequency <= 48000 && otherChannels == 1) otherChannels = 2;
    }
    in = scanAPIDeviceInfo(mInfo, 0, s->Frequency, s->InResolution, s->InChannels, false, false);
    out = scanAPIDeviceInfo(mInfo, 0, s->Frequency, s->OutResolution, s->OutChannels, false, true);
    if (!in.mFound && out.mFound && s->InChannels != 0) {
        in = scanAPIDeviceInfo(mInfo, 0, s->Frequency, s->OutResolution, s->InChannels, false,
                               false);
        if (in.mFound) s->InResolution = s->OutResolution;
    } else if (in.mFound && !out.mFound && s->OutChannels != 0) {
        out =
            scanAPIDeviceInfo(mInfo, 0, s->Frequency, s->InResolution, s->OutChannels, false, true);
        if (out.mFound) s->OutResolution = s->InResolution;
    }
    if (inResult) *inResult = in;
    if (outResult) *outResult = out;
    return (in.mFound || s->InChannels == 0) && (out.mFound || s->OutChannels == 0);
}

void QnAudioPluginClassCommons::preprocessSetStreamFormat(AudioStreamBasicDescription* d,
                                                          bool isInput, bool /*isPhysical*/) {
    if (!d || vendor() != kSorvikVendorID) return;
    if (product() == 4 || product() == 6 || product() == 8)
        d->mChannelsPerFrame = isInput ? mCurrent.InChannels : mCurrent.OutChannels;
}

OSStatus QnAudioPluginClassCommons::setStreamFormat(bool isInput,
                                                    const AudioStreamBasicDescription* d,
                                                    bool isPhysical) {
    // Another thread waits here; a nested call on this thread (a callback
    // fired inside setSettings) finds the flag set and does nothing.
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (!mHost.hostDriverSM()) return kIOReturnNoDevice;
    if (mInSetStreamFormat) return 0;
    mInSetStreamFormat = true;
    OSStatus status =
        d ? setStreamFormatLocked(isInput, d, isPhysical) : OSStatus(kIOReturnBadArgument);
    mInSetStreamFormat = false;
    return status;
}

bool QnAudioPluginClassCommons::chooseCandidate(bool isInput, const AudioStreamBasicDescription& d,
                                                bool isPhysical, QnChannelSettings* c) {
    uint32_t channels = d.mChannelsPerFrame;
    if (isOutputOnly() && isInput && isPhysical && channels == 0) channels = 4;
    if (isSixChannelProduct() && !isInput && channels == 4) channels = 6;
    if (vendor() == kSorvikVendorID && (product() == 4 || product() == 6 || product() == 8))
        applyChannelOverrides(isInput, &channels);
    *c = mPendingDirection ? mPending : mCurrent;
    (isInput ? c->InChannels : c->OutChannels) = channels;
    uint32_t& bits = isInput ? c->InResolution : c->OutResolution;
    bits = d.mBitsPerChannel;
    if (d.mSampleRate > 0 && d.mSampleRate < 4.0e9)
        c->Frequency = uint32_t(d.mSampleRate);
    else {
        // Rate 0: the current rate if it carries the format, else the first
        // listed rate that does.
        uint32_t current = c->Frequency;
        bool found = scanAPIDeviceInfo(mInfo, 0, current, bits, channels, false, !isInput).mFound;
        for (uint32_t rate : kRateZeroOrder) {
            if (found) break;
            if (scanAPIDeviceInfo(mInfo, 0, rate, bits, channels, false, !isInput).mFound) {
                c->Frequency = rate;
                found = true;
            }
        }
    }
    if (isPhysical && d.mFormatID == kAudioFormatLinearPCM) return true;
    const uint32_t retries[] = {24, 20, 16};
    QnChannelSettings trial = *c;
    if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) {
        *c = trial;
        return true;
    }
    for (uint32_t r : retries) {
        trial = *c;
        (isInput ? trial.InResolution : trial.OutResolution) = r;
        if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) {
            *c = trial;
            return true;
        }
        if (isPhysical) // AC-3 gets one retry at 24 bits
            break;
    }
    return false;
}

OSStatus QnAudioPluginClassCommons::setStreamFormatLocked(bool isInput,
                                                          const AudioStreamBasicDescription* d,
                                                          bool isPhysical) {
    DirectionFormat& f = mFormat[isInput ? 1 : 0];
    const AudioFormatID storedID = isPhysical ? f.physicalID : f.virtualID;
    const bool formatChange = isPhysical && d->mFormatID != storedID;
    AudioFormatFlags flags = d->mFormatFlags;
    if (isPhysical && d->mFormatID == kAudioFormat60958AC3) {
        if (flags != 4 && flags != kFlagsAC3) return kAudioDeviceUnsupportedFormatError;
    } else if (!isPhysical) {
        if (flags != 1 && flags != 4 && flags != kFlagsAC3)
            return kAudioDeviceUnsupportedFormatError;
    } else {
        flags = f.physicalFlags;
    }
    QnChannelSettings candidate{};
    if (!chooseCandidate(isInput, *d, isPhysical, &candidate))
        return kAudioDeviceUnsupportedFormatError;
    auto store = [&] {
        (isPhysical ? f.physicalFlags : f.virtualFlags) = flags;
        (isPhysical ? f.physicalID : f.virtualID) = d->mFormatID;
        mHost.hostStreamFormatStored(isInput, isPhysical, d->mFormatID, flags);
    };
    const bool sameShape = candidate.InChannels == mCurrent.InChannels &&
                           candidate.OutChannels == mCurrent.OutChannels &&
                           candidate.InResolution == mCurrent.InResolution &&
                           candidate.OutResolution == mCurrent.OutResolution && !formatChange;
    if (sameShape && candidate.Frequency == mCurrent.Frequency) {
        store();
        return 0;
    }
    if (mHardwarePrepared && !sameShape) {
        syslog(LOG_ERR, "ERROR %s while streaming\n",
               "OSStatus QnAudioPluginClassCommons::setStreamFormat(bool, const "
               "AudioStreamBasicDescription*, bool)");
        return kIOReturnBusy;
    }
    IOReturn status = setSettings(candidate, isInput, false, false);
    if (status == 0) store();
    return status;
}
