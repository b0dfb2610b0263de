// Latencies and write-ahead, property-change notices to the HAL and the
// client, format-change reporting, running flags and the current time.
#include <cstdio>
#include <cstring>

#include "device/DeviceManagerClient.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"

namespace {

constexpr uint64_t kRunningNoticeDelayNanos = 10000000; // the HAL reads 'goin' after it settled
constexpr uint32_t kFormatChannelLimit = 128;

} // namespace

void ZrOSXDevice::setOutWriteAheadBase(uint64_t frames) {
    mWriteAheadBase = frames;
    mWriteAhead = mWriteAheadBase.load() + mWriteAheadOffs.load();
}

void ZrOSXDevice::setOutWriteAheadOffs(uint64_t frames) {
    mWriteAheadOffs = frames;
    mWriteAhead = mWriteAheadBase.load() + mWriteAheadOffs.load();
}

void ZrOSXDevice::updateLatencies() {
    const uint32_t rate = driverSM() ? mStreamRate.load() : 0;
    const ZrLatencies l = computeLatencies(family(), rate, getFrameSize(), isUSB2Device());
    // Write-ahead plus a cycle must fit the output ring: a wild offset is cut.
    uint64_t base = uint64_t(l.writeAheadBase < 0 ? 0 : l.writeAheadBase);
    if (mOutRing) {
        const uint64_t room = mOutRing->geometry().maxFrames;
        const uint64_t frames = getFrameSize();
        if (base + mWriteAheadOffs.load() + frames > room) {
            const uint64_t limit = room > frames ? room - frames : 0;
            if (base > limit) base = limit;
            mWriteAheadOffs = limit - base;
        }
    }
    setOutWriteAheadBase(base);
    std::printf("WriteAhead %d base:%d\n", int(mWriteAhead.load()), int(base));
    const bool inChanged = mInLatency.set(uint32_t(l.input < 0 ? 0 : l.input), false);
    const bool outChanged = mOutLatency.set(uint32_t(l.output < 0 ? 0 : l.output), false);
    if (!inChanged && !outChanged) return;
    if (mClient) mClient->onLatencyChanged(this);
    for (bool isInput : {true, false}) {
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyLatency);
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertySafetyOffset);
        const AudioStreamID stream = isInput ? mInStreamID.load() : mOutStreamID.load();
        sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertyLatency);
        sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertySafetyOffset);
    }
}

void ZrOSXDevice::setAudioIDs(AudioDeviceID device, AudioStreamID inputStream,
                              AudioStreamID outputStream) {
    mAudioDeviceID = device;
    mInStreamID = inputStream;
    mOutStreamID = outputStream;
}

OSStatus ZrOSXDevice::sendAudioHardwareDevicePropertyChanged(UInt32 channel, bool isInput,
                                                             AudioDevicePropertyID property) {
    if (!mPlugIn || !mAudioDeviceID) return 0;
    return AudioHardwareDevicePropertyChanged(static_cast<AudioHardwarePlugInRef>(mPlugIn),
                                              mAudioDeviceID, channel, isInput, property);
}

OSStatus ZrOSXDevice::sendAudioHardwareStreamPropertyChanged(AudioStreamID stream, UInt32 channel,
                                                             AudioDevicePropertyID property) {
    if (!mPlugIn || !mAudioDeviceID) return 0;
    return AudioHardwareStreamPropertyChanged(static_cast<AudioHardwarePlugInRef>(mPlugIn),
                                              mAudioDeviceID, stream, channel, property);
}

OSStatus ZrOSXDevice::devicePropertyChanged(AudioObjectPropertySelector property) {
    if (!mPlugIn || !mAudioDeviceID) return 0;
    std::printf("HAL Notification %c%c%c%c...\n", char(property >> 24), char(property >> 16),
                char(property >> 8), char(property));
    const AudioObjectPropertyAddress address{property, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMaster};
    const OSStatus status = AudioObjectPropertiesChanged(
        static_cast<AudioHardwarePlugInRef>(mPlugIn), mAudioDeviceID, 1, &address);
    std::printf("...sent with status %x\n", unsigned(status));
    return status;
}

void ZrOSXDevice::onPropertyChanged(PropertyItem* item) {
    if (item == &mInLatency || item == &mOutLatency) {
        const bool isInput = item == &mInLatency;
        if (mClient) mClient->onLatencyChanged(this);
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyLatency);
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertySafetyOffset);
        const AudioStreamID stream = isInput ? mInStreamID.load() : mOutStreamID.load();
        sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertyLatency);
        sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertySafetyOffset);
        return;
    }
    if (item == &mFrameSize) {
        if (mClient) mClient->onFramesizeChanged(this);
        for (bool isInput : {true, false}) {
            sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyBufferSize);
            sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyBufferFrameSize);
        }
        for (AudioStreamID stream : {mInStreamID.load(), mOutStreamID.load()}) {
            sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertyBufferSize);
            sendAudioHardwareStreamPropertyChanged(stream, 0, kAudioDevicePropertyBufferFrameSize);
        }
        return;
    }
    std::printf("ZrOSXDevice::onPropertyChanged unhandled property change\n");
}

void ZrOSXDevice::saveStreamFormats() {
    getStreamFormat(true, &mSavedFormats[0], false, kFormatChannelLimit);
    getStreamFormat(true, &mSavedFormats[1], true, kFormatChannelLimit);
    getStreamFormat(false, &mSavedFormats[2], false, kFormatChannelLimit);
    getStreamFormat(false, &mSavedFormats[3], true, kFormatChannelLimit);
}

void ZrOSXDevice::checkReportFormatChange(const AudioStreamBasicDescription& oldInVirtual,
                                          const AudioStreamBasicDescription& oldOutVirtual,
                                          const AudioStreamBasicDescription& oldInPhysical,
                                          const AudioStreamBasicDescription& oldOutPhysical) {
    AudioStreamBasicDescription inV{}, outV{}, inP{}, outP{};
    getStreamFormat(true, &inV, false, kFormatChannelLimit);
    getStreamFormat(false, &outV, false, kFormatChannelLimit);
    getStreamFormat(true, &inP, true, kFormatChannelLimit);
    getStreamFormat(false, &outP, true, kFormatChannelLimit);
    const double oldRate =
        oldInPhysical.mSampleRate != 0 ? oldInPhysical.mSampleRate : oldOutPhysical.mSampleRate;
    const double newRate = inP.mSampleRate != 0 ? inP.mSampleRate : outP.mSampleRate;
    const bool rateChanged = oldRate != newRate;
    auto differs = [](const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
        return std::memcmp(&a, &b, sizeof a) != 0;
    };
    const bool inVChanged = differs(oldInVirtual, inV), outVChanged = differs(oldOutVirtual, outV);
    const bool inPChanged = differs(oldInPhysical, inP),
               outPChanged = differs(oldOutPhysical, outP);
    const bool any = rateChanged || inVChanged || outVChanged || inPChanged || outPChanged;
    if (any) {
        std::printf("...onFormatChanged\n");
        if (mClient) mClient->onFormatChanged(this);
    }
    if (!mPlugIn || !mAudioDeviceID) return;
    auto objectChanged = [&](AudioObjectID object, AudioObjectPropertySelector selector) {
        const AudioObjectPropertyAddress a{selector, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMaster};
        AudioObjectPropertiesChanged(static_cast<AudioHardwarePlugInRef>(mPlugIn), object, 1, &a);
    };
    for (bool isInput : {true, false}) {
        if (isInput ? inVChanged : outVChanged) {
            const AudioStreamID s = isInput ? mInStreamID : mOutStreamID;
            objectChanged(s, kAudioStreamPropertyPhysicalFormat);
            objectChanged(s, kAudioStreamPropertyAvailablePhysicalFormats);
            objectChanged(s, kAudioDevicePropertyStreamFormat);
        }
    }
    if (rateChanged) devicePropertyChanged(kAudioDevicePropertyNominalSampleRate);
    devicePropertyChanged(kAudioDevicePropertyDeviceHasChanged);
    if (inVChanged || outVChanged) devicePropertyChanged(kAudioDevicePropertyStreamFormat);
    if (any)
        for (bool isInput : {true, false})
            sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyLatency);
    for (bool isInput : {true, false}) {
        const AudioStreamID s = isInput ? mInStreamID : mOutStreamID;
        if (isInput ? inPChanged : outPChanged)
            sendAudioHardwareStreamPropertyChanged(s, 0, kAudioStreamPropertyPhysicalFormat);
        if (isInput ? inVChanged : outVChanged)
            sendAudioHardwareStreamPropertyChanged(s, 0, kAudioDevicePropertyStreamFormat);
        if (rateChanged) {
            sendAudioHardwareStreamPropertyChanged(s, 0, kAudioDevicePropertyNominalSampleRate);
            if (!isInput) devicePropertyChanged(kAudioDevicePropertyNominalSampleRate);
        }
        if (any) sendAudioHardwareStreamPropertyChanged(s, 0, kAudioDevicePropertyLatency);
    }
}

void ZrOSXDevice::sendRunningNotices(bool somewhere) {
    for (bool isInput : {false, true}) {
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyDeviceIsRunning);
        if (somewhere)
            sendAudioHardwareDevicePropertyChanged(0, isInput,
                                                   kAudioDevicePropertyDeviceIsRunningSomewhere);
    }
}

void ZrOSXDevice::checkRunningSomewhere() {
    const bool now = isRunningSomewhere();
    if (now == mRunningSomewhere) return;
    mRunningSomewhere = now;
    for (bool isInput : {false, true})
        sendAudioHardwareDevicePropertyChanged(0, isInput,
                                               kAudioDevicePropertyDeviceIsRunningSomewhere);
}

void ZrOSXDevice::checkRunningStream() {
    const bool now = isRunningStream();
    if (now == mRunningStream) return;
    mRunningStream = now;
    hx::clock::sleepFor(kRunningNoticeDelayNanos);
    for (bool isInput : {false, true})
        sendAudioHardwareDevicePropertyChanged(0, isInput, kAudioDevicePropertyDeviceIsRunning);
}

OSStatus ZrOSXDevice::onDeviceGetCurrentTime(AudioTimeStamp& timeStamp) {
    if (!isRunningStream()) return kAudioHardwareNotRunningError;
    // Any thread asks: the audio thread's last stamp is read whole.
    uint64_t lastUpdate = 0, ticksPerFrame = 0;
    mFilter.readCurrent(timeStamp, lastUpdate, ticksPerFrame);
    const uint64_t now = mach_absolute_time();
    const uint64_t elapsed = now > lastUpdate ? now - lastUpdate : 0;
    timeStamp.mHostTime += elapsed;
    if (ticksPerFrame) timeStamp.mSampleTime += double(elapsed / ticksPerFrame);
    return 0;
}

OSStatus ZrOSXDevice::doTranslateTime(const AudioTimeStamp& in, AudioTimeStamp&) {
    if (!isRunningStream()) {
        std::printf("ZrOSXDevice::doTranslateTime can't because the engine isn't running\n");
        return kAudioHardwareNotRunningError;
    }
    if (mStreamRate.load() == 0) {
        std::printf("ZrOSXDevice::doTranslateTime m_cTrueChannels.iFrequency == 0\n");
        return kAudioHardwareNotRunningError;
    }
    if (!(in.mFlags & (kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid)))
        std::printf("ZrOSXDevice::doTranslateTime the input time stamp has to have at least one of "
                    "the sample or "
                    "host time valid\n");
    return kAudioHardwareIllegalOperationError;
}
