// The kernel-driver state-change handler: the one place where the device
// follows what the kernel tells every client (a new configuration, a control
// another client changed, a client attached, a setting stored, a request to
// open the control panel). It runs on the main run loop's thread, under the
// device mutex, except for the waits before the stream-broken requests,
// which hold no lock.
#include "device/QnAudioPluginClassCommons.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "abi/ProductIdentities.h"
#include "device/ProcessNames.h"
#include "device/QnAudioPluginClassCommons_Requests.h"
#include "platform/base/HXClock.h"
#include "platform/cf/CFUserNotification.h"
#include "platform/coreaudio/AudioServerPlugIn.h"
#include "platform/sys/HXProcess.h"

using namespace qnrequests;
using hx::coreaudio::fourCC;
using Scope = QnAudioPluginHost::PropertyScope;
using Event = QnAudioPluginHost::ClientEvent;

namespace {

constexpr uint32_t kSTCDigitalOutSelectorChanged = 55;
constexpr uint32_t kSTCRoutingChanged = 56;

constexpr uint64_t kStreamRestartDelayNanos = 100'000'000;
constexpr uint64_t kWakeDelayNanos = 3'000'000'000;

// Dispatch codes the handler reads settings with.
constexpr uint32_t kGetFootSwitchMode = 51;
constexpr uint32_t kGetFootSwitchProtocol = 53;
constexpr uint32_t kGetReverbBuffers = 59;
constexpr uint32_t kGetMixerBuffer = 62;
constexpr uint32_t kGetMixerFractions = 74;
constexpr uint32_t kGetRoutingMatrix = 57;

constexpr uint16_t kDefaultAnalogInState = 12;
constexpr uint16_t kDefaultMonMixPos = 14199;
constexpr uint16_t kMixerBitmapStereoMix = 0x40;

constexpr const char kControlPanelProcess[] = "Korvex HX-5100 M";

constexpr const char kStereoMix[] = "The device is in Stereo MIX mode.\n";

bool settingsDiffer(const QnChannelSettings& a, const QnChannelSettings& b) {
    return a.Frequency != b.Frequency || a.InChannels != b.InChannels ||
           a.InResolution != b.InResolution || a.OutChannels != b.OutChannels ||
           a.OutResolution != b.OutResolution;
}

CFStringRef makeString(const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingASCII);
}

} // namespace

void QnAudioPluginClassCommons::KernelDriverNotificationHandler(const QN_StateChange& change) {
    // The waits hold no lock: the device stays usable meanwhile.
    if (change.mCode == STC_STREAM_BROKEN) return streamBroken();
    if (change.mCode == STC_SystemWakeUp) {
        hx::clock::sleepFor(kWakeDelayNanos);
        return streamBroken();
    }
    // A holder of the device mutex may be waiting on the platform clock (a
    // settings change the kernel carries out on bus time): wait for it idle.
    std::unique_lock<std::recursive_mutex> lock(mDeviceMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        hx::clock::Idle idle;
        lock.lock();
    }
    QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore();
    switch (change.mCode) {
    case STC_NewConfig:
        return newConfig();
    case STC_VolumeChanged:
        return mHost.hostClientEvent(Event::VolumeChanged, change);
    case STC_MuteChanged:
        return mHost.hostClientEvent(Event::MuteChanged, change);
    case STC_MonitorChanged:
        return mHost.hostClientEvent(Event::MonitorChanged, change);
    case STC_ChangeWolfson:
        return wolfsonMirror(change);
    case STC_ChangeDataSource:
        return dataSourceChanged(change);
    case STC_ClientAttached:
    case STC_ClientDetached:
        mHost.hostCheckRunningSomewhere();
        mHost.hostCheckRunningStream();
        if (change.mClient == mHost.hostClientIdentity()) return;
        return mHost.hostClientEvent(change.mCode == STC_ClientAttached
                                         ? Event::OtherClientAttached
                                         : Event::OtherClientDetached,
                                     change);
    case STC_HogOwnerChanged:
        return mHost.hostPropertyChanged(Scope::Device, fourCC("oink"));
    case STC_ChannelModeChanged:
        return userConfiguration();
    case STC_LAUNCHCONTROLPANEL:
        return launchControlPanel();
    case STC_DeviceStatusChanged:
        return mHost.hostPropertyChanged(Scope::Device, fourCC("QvFC"));
    case STC_FootswitchModeStored:
    case STC_FootswitchProtocolStored:
        storeAfterDispatch(change.mCode);
        return mHost.hostPropertyChanged(Scope::Device, fourCC("QvFC"));
    case STC_MixerFractionsStored:
    case STC_RoutingMatrixStored:
    case STC_ReverbBuffersStored:
    case STC_MixerBufferStored:
        return storeAfterDispatch(change.mCode);
    case STC_MixerValuesChanged:
        return mHost.hostPropertyChanged(Scope::Device, fourCC("QvMC"));
    case STC_DigiOutModeChanged: {
        syslog(LOG_WARNING, "Plugin received STC_DigiOutModeChanged\n");
        mHost.hostPropertyChanged(Scope::Device, fourCC("QnDM"));
        const int32_t mode = getDigitalOutMode();
        if (registry && mode >= 0) registry->setDigitalOutMode(uint32_t(mode));
        return;
    }
    case STC_SampleCkSrcChanged:
        return clockSourceChanged();
    case STC_MixerModeChanged:
        return mixerModeChanged();
    case kSTCDigitalOutSelectorChanged:
        return mHost.hostPropertyChanged(Scope::Device, fourCC("QnOS"));
    case kSTCRoutingChanged:
        return mHost.hostPropertyChanged(Scope::Device, fourCC("QvRt"));
    case STC_StreamRestartedAfterWake:
        return mHost.hostClientEvent(Event::StateChange, change);
    case STC_SorvikChannelMapChanged:
        // The record the kernel holds now, with the lists the audio thread
        // takes at its next cycle.
        updateSorvikConfigAndMap();
        if (registry)
            registry->setSorvikConfigAndMapping(mSorvikConfigAndMap, mHost.hostSorvikIdentifier());
        return;
    default:
        return;
    }
}

void QnAudioPluginClassCommons::streamBroken() {
    syslog(LOG_WARNING, "QnASPlugInDevice received STC_STREAM_BROKEN\n");
    Reply reply;
    if (!audioRequest(kReqStreamBroken, reply)) return;
    hx::clock::sleepFor(kStreamRestartDelayNanos);
    audioRequest(kReqStreamRestart, reply);
}

void QnAudioPluginClassCommons::storeAfterDispatch(uint32_t stateCode) {
    uint32_t code = 0;
    switch (stateCode) {
    case STC_FootswitchModeStored:
        code = kGetFootSwitchMode;
        break;
    case STC_FootswitchProtocolStored:
        code = kGetFootSwitchProtocol;
        break;
    case STC_MixerFractionsStored:
        code = kGetMixerFractions;
        break;
    case STC_RoutingMatrixStored:
        code = kGetRoutingMatrix;
        break;
    case STC_ReverbBuffersStored:
        code = kGetReverbBuffers;
        break;
    case STC_MixerBufferStored:
        code = kGetMixerBuffer;
        break;
    default:
        return;
    }
    Reply reply;
    if (!dispatch(code, reply)) return;
    QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore();
    if (!registry) return;
    if (stateCode == STC_FootswitchModeStored) registry->setFootSwitchMode(reply.unionWord(0));
    if (stateCode == STC_FootswitchProtocolStored)
        registry->setFootSwitchProtocol(reply.unionWord(0));
    if (stateCode == STC_MixerFractionsStored) registry->setMixerFractions(reply.unionBytes());
    if (stateCode == STC_RoutingMatrixStored) registry->setRoutingMatrix(reply.unionBytes());
}

// ---- New configuration (code 3)

void QnAudioPluginClassCommons::newConfig() {
    AudioStreamBasicDescription before[4];
    captureFormats(before);
    const QnChannelSettings remembered = mCurrent;
    DriverSM* sm = mHost.hostDriverSM();
    if (!sm) return (void)mHost.hostPropertyChanged(Scope::Device, fourCC("QvNC"));
    readKernelSettings(&mCurrent);
    if (!isControlPanelOrAudioSetup() && !settingsDiffer(mCurrent, remembered))
        return (void)mHost.hostPropertyChanged(Scope::Device, fourCC("QvNC"));

    const bool channels = mCurrent.InChannels != remembered.InChannels ||
                          mCurrent.OutChannels != remembered.OutChannels;
    const bool rate = mCurrent.Frequency != remembered.Frequency;
    const bool resolution = mCurrent.InResolution != remembered.InResolution ||
                            mCurrent.OutResolution != remembered.OutResolution;
    const bool prepared = mHardwarePrepared;
    auto detach = [&] {
        if (!prepared) return;
        mHardwarePrepared = false;
        syslog(LOG_NOTICE, "ZrOSXDevice::onServiceInterestCallback STC_NewConfig, callDetach\n");
        mHost.hostDetach();
    };
    auto finish = [&] {
        if (prepared) prepareHardware();
        mHost.hostReportFormatChange(before[0], before[1], before[2], before[3]);
    };

    if (rate && channels && !resolution) {
        detach();
        // The buffers follow the new counts too: a cycle must never run
        // past a buffer sized for the old ones.
        createIOBuffers();
        mHost.hostFormatChanged();
        return finish();
    }
    if ((!rate && !channels) || resolution) {
        if (channels) {
            detach();
            createIOBuffers();
            mHost.hostFormatChanged();
            if (prepared) prepareHardware();
        }
        mHost.hostReportFormatChange(before[0], before[1], before[2], before[3]);
        return (void)mHost.hostPropertyChanged(Scope::Device, fourCC("QvNC"));
    }
    detach();
    if (channels) {
        createIOBuffers(); // re-reads and recomputes the reported counts
    } else {
        readKernelSettings(&mCurrent);
        updateChannelsToReport(&mReported, &mCurrent);
    }
    mHost.hostFormatChanged();
    finish();
    if (QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore())
        registry->setSampleRate(kernelRate());
}

// ---- Data source (code 10) and the codec register mirror (code 9)

void QnAudioPluginClassCommons::dataSourceChanged(const QN_StateChange& change) {
    if (mHardwarePrepared) {
        mHardwarePrepared = false;
        std::printf("ZrOSXDevice::onServiceInterestCallback STC_ChangeDataSource, callDetach\n");
        mHost.hostDetach();
        prepareHardware();
    }
    mHost.hostClientEvent(Event::DataSourceChanged, change);
}

void QnAudioPluginClassCommons::wolfsonMirror(const QN_StateChange& change) {
    const uint32_t codec = change.mParam1;
    const uint32_t reg = change.mParam2 >> 16;
    const uint32_t value = change.mParam2 & 0xFFFF;
    std::printf("STC_ChangeWolfson: size=%ld, param1=%08x, param2=%08x\n", 8L, change.mParam1,
                change.mParam2);
    std::printf("STC_ChangeWolfson with register %d, value %d, codec %d\n", int(reg), int(value),
                int(codec));
    QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore();
    if (registry) {
        registry->setWolfsonRegister(int(codec), int(reg), value);
        registry->store();
    }
    if (reg == 21) mPhonoCodec[codec == 0 ? 0 : 1].store((value & 2) != 0);
    static const uint32_t kReads[][2] = {{0, 7}, {1, 7}, {0, 21}, {1, 21}, {0, 22}, {1, 22}};
    for (const auto& r : kReads) {
        const int32_t v = getWolfsonRegister(r[0], r[1]);
        if (registry && v >= 0) registry->setWolfsonRegister(int(r[0]), int(r[1]), uint32_t(v));
    }
    if (registry) registry->store();
}

// ---- Clock source (code 50)

void QnAudioPluginClassCommons::clockSourceChanged() {
    syslog(LOG_NOTICE, "STC_SampleCkSrcChanged\n");
    if (mHost.hostDriverSM() && mCurrent.Frequency == kernelRate()) {
        mHost.hostPropertyChanged(Scope::Device, fourCC("nsr#"));
        for (Scope stream : {Scope::InputStream, Scope::OutputStream}) {
            mHost.hostPropertyChanged(stream, fourCC("pft "));
            mHost.hostPropertyChanged(stream, fourCC("pfta"));
        }
    }
    const int32_t source = getCurrentClockSource();
    if (QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore(); registry && source >= 0)
        registry->setClockSource(uint32_t(source));
}

// ---- User configuration (code 34) and mixer mode (code 51)

bool QnAudioPluginClassCommons::readUserConfig(uint8_t r[3]) {
    Reply reply;
    if (!audioRequest(kReqUserConfigChanged, reply)) return false;
    std::memcpy(r, reply.payload, 3);
    syslog(LOG_NOTICE, "Req_UserConfigChanged configPending %d value %02X value1 %d\n", int(r[0]),
           unsigned(r[1]), int(r[2]));
    return true;
}

void QnAudioPluginClassCommons::setInterfaceChannels(uint32_t in, uint32_t out) {
    // Interface 1 and 2: the second and third interface blocks of
    // configuration 0, their first alternate setting.
    APIConfigInfo& config = mInfo.mConfigurations[0];
    if (config.mNumInterfaces > 1)
        config.mInterfaces[1].mAlternates[0].mStreaming.setChannels(uint8_t(in));
    if (config.mNumInterfaces > 2)
        config.mInterfaces[2].mAlternates[0].mStreaming.setChannels(uint8_t(out));
}

void QnAudioPluginClassCommons::userConfiguration() {
    uint8_t r[3];
    if (!readUserConfig(r)) return;
    const bool lx420 = isDevice(kKorvexVendorID, kKorvexLX420ProductID);
    const bool lx310 = isDevice(kKorvexVendorID, kKorvexLX310ProductID);
    if (lx420) {
        if (r[2] == 0) {
            syslog(LOG_NOTICE, "%s", kStereoMix);
            mDeviceMixerMode = 0;
            setInterfaceChannels(2, 2);
        } else if (r[2] == 1) {
            syslog(LOG_NOTICE, "The device is in 4 Inputs, 6 Outputs mode.\n");
            setInterfaceChannels(6, 4);
            mDeviceMixerMode = 1;
        } else {
            syslog(LOG_NOTICE, "The device is in 6 Inputs, 4 Outputs mode.\n");
            setInterfaceChannels(4, 6);
            mDeviceMixerMode = 2;
        }
    }
    if (r[0] && (lx420 || lx310)) {
        std::string text;
        if (r[1] & 0x10)
            text = kStereoMix;
        else if (lx420 && (r[1] & 0x08))
            text = "The device is in 4 Inputs, 6 Outputs mode.\n";
        else if (lx420)
            text = "The device is in 6 Inputs, 4 Outputs mode.\n";
        else if (r[1] & 0x08)
            text = "The device is in 2 Inputs, 2 Outputs mode.\n";
        if (lx420) text += r[1] & 0x04 ? "Digital mode is Coaxial." : "Digital mode is Optical.";
        const char* iconPath =
            GetMacOSRelease() > 11
                ? "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.tiff"
                : "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png";
        CFStringRef path = makeString(iconPath);
        CFURLRef icon = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, false);
        CFStringRef header = makeString(lx420 ? "Korvex LX-420" : "Korvex LX-310");
        CFStringRef message = makeString(text);
        CFUserNotificationDisplayNotice(2.0, kCFUserNotificationPlainAlertLevel, icon, nullptr,
                                        nullptr, header, message, nullptr);
        syslog(LOG_NOTICE, "Changing mode; %s\n", text.c_str());
        for (CFTypeRef ref :
             {CFTypeRef(path), CFTypeRef(icon), CFTypeRef(header), CFTypeRef(message)})
            if (ref) CFRelease(ref);
    }
    mHost.hostPropertyChanged(Scope::DeviceInput, fourCC("diff"));
    mHost.hostPropertyChanged(Scope::DeviceOutput, fourCC("diff"));
    if (QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore())
        registry->setMixerMode(mDeviceMixerMode);
    mHost.hostPropertyChanged(Scope::Device, fourCC("QvRC"));
}

void QnAudioPluginClassCommons::mixerModeChanged() {
    uint8_t r[3];
    if (!readUserConfig(r)) return;
    if (DeviceFamilies::contains(DeviceFamilies::kMixerMode, vendor(), product())) {
        if (r[2] != 0) {
            syslog(LOG_NOTICE, "The device is in %d Inputs, %d Outputs mode.\n", 4, 4);
            mDeviceMixerMode = 2;
            setInterfaceChannels(4, 4);
        } else {
            syslog(LOG_NOTICE, "%s", kStereoMix);
            mDeviceMixerMode = 0;
            setInterfaceChannels(2, 2);
        }
    }
    QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore();
    if (r[0]) {
        uint16_t bitmap = kDefaultAnalogInState, knob = 0;
        if (!registry || !registry->getUInt16Value(bitmap, "AnalogInState"))
            bitmap = kDefaultAnalogInState;
        if (mDeviceMixerMode != 0) {
            if (!registry || !registry->getUInt16Value(knob, "MonMixPos")) knob = kDefaultMonMixPos;
            bitmap &= uint16_t(~kMixerBitmapStereoMix);
        } else {
            knob = 0;
            bitmap |= kMixerBitmapStereoMix;
        }
        const uint16_t halves[2] = {bitmap, knob};
        Reply reply;
        audioRequest(kReqSetMixerValues, reply, halves, sizeof halves);
        if (registry) registry->setMixerMode(mDeviceMixerMode);
    }
    mHost.hostPropertyChanged(Scope::DeviceInput, fourCC("diff"));
    mHost.hostPropertyChanged(Scope::DeviceOutput, fourCC("diff"));
    if (registry) registry->setMixerMode(mDeviceMixerMode);
    mHost.hostPropertyChanged(Scope::Device, fourCC("QvMM"));
}

// ---- Control panel launch (code 35)

void QnAudioPluginClassCommons::launchControlPanel() {
    const int pid = int(hx::sys::ownPid());
    syslog(LOG_NOTICE, ">>>>>>>>> STC_LAUNCHCONTROLPANEL called by %d\n", pid);
    if (ProcessIsRunning(kControlPanelProcess)) {
        syslog(LOG_NOTICE, "path: \"%s is already running\n", kControlPanelProcess);
    } else {
        const int type = mHost.hostClientAppType();
        syslog(LOG_NOTICE, "path: \"%s not running. eClientApp:%d\n", kControlPanelProcess, type);
        if (type == kClientLoginWindow || type == kClientHelperApp) {
            char command[256];
            std::snprintf(command, sizeof command, "open -b %s.control --args %d", getIDRoot(),
                          pid);
            syslog(LOG_NOTICE, "Open panel with command: %s\n", command);
            std::system(command);
        }
    }
    mHost.hostPropertyChanged(Scope::Device, fourCC("QvLC"));
}
