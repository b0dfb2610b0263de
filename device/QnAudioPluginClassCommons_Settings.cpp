// The settings change: the one road by which new channel settings reach the
// kernel (request 6), with deferral while other clients stream.
#include "device/QnAudioPluginClassCommons.h"

#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "platform/base/HXLog.h"

namespace {

constexpr uint32_t kReqPrepareNewConfigRegular = 6;
constexpr uint32_t kResolutionTries[] = {28, 24, 20, 16};

bool differs(const QnChannelSettings& a, const QnChannelSettings& b) {
    return a.Frequency != b.Frequency || a.InChannels != b.InChannels ||
           a.InResolution != b.InResolution || a.OutChannels != b.OutChannels ||
           a.OutResolution != b.OutResolution;
}

} // namespace

void QnAudioPluginClassCommons::captureFormats(AudioStreamBasicDescription f[4]) {
    std::memset(f, 0, 4 * sizeof *f);
    getStreamFormat(true, &f[0], false, 128);
    getStreamFormat(false, &f[1], false, 128);
    getStreamFormat(true, &f[2], true, 128);
    getStreamFormat(false, &f[3], true, 128);
}

// Adapts the other direction until a configuration carries the request:
// first its resolution, then, with the resolution restored, its channel
// count from 63 down, each count with the last resolution and then 28..16.
bool QnAudioPluginClassCommons::findWithAdaptedOtherDirection(bool isInput, QnChannelSettings* s) {
    QnChannelSettings trial = *s;
    if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) return *s = trial, true;
    uint32_t QnChannelSettings::*bits =
        isInput ? &QnChannelSettings::OutResolution : &QnChannelSettings::InResolution;
    uint32_t QnChannelSettings::*channels =
        isInput ? &QnChannelSettings::OutChannels : &QnChannelSettings::InChannels;
    QnChannelSettings base = *s;
    for (uint32_t r : kResolutionTries) {
        trial = base;
        trial.*bits = r;
        if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) return *s = trial, true;
    }
    uint32_t lastBits = base.*bits;
    for (uint32_t ch = 63; ch >= 1; --ch) {
        trial = base;
        trial.*channels = ch;
        trial.*bits = lastBits;
        if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) return *s = trial, true;
        for (uint32_t r : kResolutionTries) {
            trial = base;
            trial.*channels = ch;
            trial.*bits = lastBits = r;
            if (usbFindConfiguration(isInput, nullptr, nullptr, &trial)) return *s = trial, true;
        }
    }
    return false;
}

IOReturn QnAudioPluginClassCommons::setSettings(const QnChannelSettings& requested, bool isInput,
                                                bool deferred, bool force) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    AudioStreamBasicDescription before[4];
    captureFormats(before);
    QnChannelSettings s = requested;
    if (!findWithAdaptedOtherDirection(isInput, &s)) {
        mHost.hostFormatChanged();
        return kIOReturnBadArgument;
    }
    QnChannelSettings kernel{};
    readKernelSettings(&kernel);
    bool changed = differs(s, kernel);
    if (deferred && !isControlPanelOrAudioSetup()) {
        mPending = s;
        mPendingDirection = isInput ? 1 : 2;
        mCurrent = s;
        updateChannelsToReport(&mReported, &mCurrent);
        createIOBuffers();
        changed = false;
    }
    if (changed || force) sendSettings(s);
    mHost.hostReportFormatChange(before[0], before[1], before[2], before[3]);
    return 0;
}

void QnAudioPluginClassCommons::sendSettings(const QnChannelSettings& s) {
    // The answer is not used: the kernel answers success even to settings
    // it cannot take, so what it holds is read back.
    mHost.hostRequest(kReqPrepareNewConfigRegular, &s, sizeof s);
    readKernelSettings(&mCurrent);
    if (isOutputOnly()) mCurrent.InChannels = 0;
    if (isSixChannelProduct()) mCurrent.OutChannels = 6;
    mPendingDirection = 0;
    mPending = mCurrent;
    updateChannelsToReport(&mReported, &mCurrent);
    syslog(LOG_WARNING, "SetSettings framesize %d\n", int(getFrameSize()));
    setFrameSize(getFrameSize(), false, true);
    mHost.hostUpdateLatencies();
}
