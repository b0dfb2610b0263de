// The kernel's state changes as the audio server's device takes them. The
// handler never reconfigures the device itself: what needs the device
// changed goes to the host as a configuration change, what the control
// panel must learn is a custom-property notice. It runs on the plug-in's
// queue, one change at a time, and holds no lock across its waits or its
// kernel requests.
#include <cstdio>
#include <cstring>
#include <optional>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "platform/base/HXClock.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr UInt32 kReqStreamBroken = 31, kReqStreamRestart = 32, kReqUserConfig = 33;
constexpr UInt32 kCtrlGetClockSource = 15, kCtrlGetDigitalOutMode = 27;
constexpr UInt32 kSTCDigitalOutSelectorChanged = 55, kSTCRoutingChanged = 56;

void waitMs(UInt64 ms) {
    hx::clock::sleepFor(ms * 1000000);
}

// The state mutex, taken without holding virtual time back while waiting
// for it (a configuration change may hold it across its own waits).
class StateLock {
public:
    explicit StateLock(CAMutex& inMutex) : mMutex(inMutex) {
        hx::clock::Idle idle;
        mHeld = mMutex.Lock();
    }
    ~StateLock() {
        if (mHeld) mMutex.Unlock();
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    CAMutex& mMutex;
    bool mHeld = false;
};

QnChannelSettings areaSettings(const DriverSM* inArea) {
    QnChannelSettings settings{};
    std::memcpy(&settings, &inArea->mChannelSettings, sizeof settings);
    return settings;
}
} // namespace

void QnASPlugInDevice::KernelDriverNotificationHandler(const QN_StateChange& inChange) {
    if (!mIsActive) return;
    const UInt32 code = inChange.mCode;
    if (code < STC_STREAM_BROKEN || code > kSTCRoutingChanged) return;
    switch (code) {
    case STC_STREAM_BROKEN:
        return streamBroken();
    case STC_NewConfig:
        return stateNewConfig(inChange);
    case STC_ChangeWolfson:
        return stateWolfson(inChange);
    case STC_ClientAttached:
    case STC_ClientDetached:
        checkRunningSomewhere();
        checkRunningStream();
        return;
    case STC_SystemWakeUp: {
        if (mInStreamingSuspended.exchange(false)) {
            ConfigChangeInfo info{};
            requestConfigChange(kQnConfigWakeUp, info);
        }
        return streamBroken();
    }
    case STC_FirmwareUpdateMode:
        return stateLeavePlugIn();
    case STC_ChannelModeChanged:
        return stateUserConfig();
    case STC_LAUNCHCONTROLPANEL:
        // The audio server starts no application: the control panel hears it.
        return QnLibPropertyNotify(fcc("QvLC"));
    case STC_DeviceStatusChanged:
    case STC_FootswitchModeStored:
    case STC_FootswitchProtocolStored:
        return QnLibPropertyNotify(fcc("QvFC"));
    case STC_MixerFractionsStored:
    case STC_RoutingMatrixStored:
    case STC_ReverbBuffersStored:
    case STC_MixerBufferStored:
        return stateSettingsStored();
    case STC_MixerValuesChanged:
        return QnLibPropertyNotify(fcc("QvMC"));
    case STC_DigiOutModeChanged:
        return stateDigitalOutMode(inChange);
    case STC_SampleCkSrcChanged:
        return stateClockSource(inChange);
    case STC_ConfiguredByClient:
        return stateInitComplete();
    case kSTCDigitalOutSelectorChanged:
        return QnLibPropertyNotify(fcc("QnOS"));
    case kSTCRoutingChanged:
        return QnLibPropertyNotify(fcc("QvRt"));
    default:
        return;
    }
}

// Codes 2 and 13. The output stays silent while suspended; the wake-up
// change that ends the handling clears the suspension when the host performs
// it, so the host's audio comes back without waiting for its next StartIO.
void QnASPlugInDevice::streamBroken() {
    syslog(LOG_WARNING, "QnASPlugInDevice received STC_STREAM_BROKEN\n");
    mInStreamingSuspended = true;
    if (callDriver(kReqStreamBroken)) {
        waitMs(100);
        callDriver(kReqStreamRestart);
    }
    ConfigChangeInfo info{};
    requestConfigChange(kQnConfigWakeUp, info);
}

void QnASPlugInDevice::stateNewConfig(const QN_StateChange& inChange) {
    waitMs(300);
    DriverSM* area = mDriverArea.load();
    if (!area) return;
    bool unchanged;
    {
        StateLock state(mStateMutex);
        const QnChannelSettings kernel = areaSettings(area);
        unchanged = std::memcmp(&kernel, &mLogic.currentSettings(), sizeof kernel) == 0 &&
                    mDigitalLock == area->mAjExtData.mDigitalLock;
    }
    if (unchanged) {
        syslog(LOG_WARNING, "QnASPlugInDevice received STC_NewConfig: no change\n");
        return;
    }
    if (inChange.mClient == mClientObject) return;
    ConfigChangeInfo info{};
    requestConfigChange(kQnConfigChangeNewConfig, info);
}

void QnASPlugInDevice::stateWolfson(const QN_StateChange& inChange) {
    const UInt32 codec = inChange.mParam1;
    const SInt32 reg = SInt32(inChange.mParam2) >> 16;
    const UInt32 value = inChange.mParam2 & 0xFFFF;
    std::printf("STC_ChangeWolfson: size=%ld, param1=%08x, param2=%08x\n", 8L, inChange.mParam1,
                inChange.mParam2);
    std::printf("STC_ChangeWolfson with register %d, value %d, codec %d\n", int(reg), int(value),
                int(codec));
    if (mRegistry) {
        mRegistry->setWolfsonRegister(int(codec), int(reg), value);
        mRegistry->store();
    }
    if (reg == 21) mLogic.setPhonoFlag(codec == 0 ? 0 : 1, (value & 2) != 0);
}

// Code 16: the kernel enters its firmware-update mode and the device leaves
// the plug-in. The caller holds a reference for the whole handling.
void QnASPlugInDevice::stateLeavePlugIn() {
    if (QnASPlugInObject* owner = QnASPlugInObjectMap::CopyObjectByObjectID(mOwnerObjectID)) {
        if (auto* plugIn = dynamic_cast<QnASPlugInPlugIn*>(owner)) {
            plugIn->RemoveDevice(this);
            Deactivate();
            // Hidden at once (no host call finds it while it leaves), and
            // the map's own reference given back.
            QnASPlugInObjectMap::UnmapObject(mObjectID, this);
            if (AudioServerPlugInHostRef host = QnASPlugInPlugIn::sHost.load()) {
                const AudioObjectPropertyAddress changed[2] = {
                    {fcc("ownd"), kAudioObjectPropertyScopeGlobal,
                     kAudioObjectPropertyElementMaster},
                    {fcc("dev#"), kAudioObjectPropertyScopeGlobal,
                     kAudioObjectPropertyElementMaster}};
                host->PropertiesChanged(host, mOwnerObjectID, 2, changed);
            }
        }
        QnASPlugInObjectMap::ReleaseObject(owner);
    }
    ConfigChangeInfo info{};
    requestConfigChange(kQnConfigChangeFarlaneConfig, info);
}

void QnASPlugInDevice::stateUserConfig() {
    UInt8 reply[3] = {};
    const bool ok = request(
        kReqUserConfig, [](OSXDispatch&) {},
        [&](const OSXDispatch& r, bool) { std::memcpy(reply, r.payload, sizeof reply); });
    if (!ok) return;
    syslog(LOG_WARNING, "Req_UserConfigChanged configPending %d value %02X value1 %d\n",
           reply[0] ? 1 : 0, reply[1], reply[2]);
    if (mLogic.isDevice(kKorvexVendorID, kKorvexLX420ProductID)) {
        // The device information is read by host threads: changed briefly
        // under the state mutex.
        StateLock state(mStateMutex);
        if (reply[2] == 1) {
            mUserMixerMode = 1;
            setInterfaceChannels(6, 4);
        } else if (reply[2] == 0) {
            mUserMixerMode = 0;
            setInterfaceChannels(2, 2);
        } else {
            mUserMixerMode = 2;
            setInterfaceChannels(4, 6);
        }
    }
    QnLibPropertyNotify(fcc("QvRC"));
}

// Settings the kernel stored: the service's properties read again, written
// to the host's storage when the handling ends.
void QnASPlugInDevice::stateSettingsStored() {
    QnIORegistryPrefs::update();
}

void QnASPlugInDevice::stateDigitalOutMode(const QN_StateChange& inChange) {
    syslog(LOG_WARNING, "Plugin received STC_DigiOutModeChanged\n");
    if (inChange.mClient != mClientObject) {
        ConfigChangeInfo info{};
        requestConfigChange(kQnConfigChangeDigitalOutMode, info);
    }
    UInt32 mode = kNotSet;
    // A failed request leaves the stored mode as it was.
    if (controlRequest(kCtrlGetDigitalOutMode, nullptr, 0, &mode, sizeof mode) && mRegistry)
        mRegistry->setDigitalOutMode(mode);
}

void QnASPlugInDevice::stateClockSource(const QN_StateChange& inChange) {
    syslog(LOG_NOTICE, "STC_SampleCkSrcChanged\n");
    if (inChange.mClient != mClientObject) {
        UInt32 source = kNotSet;
        const bool known = controlRequest(kCtrlGetClockSource, nullptr, 0, &source, sizeof source);
        bool ratesEqual = false;
        if (DriverSM* area = mDriverArea.load()) {
            StateLock state(mStateMutex);
            ratesEqual = mLogic.currentSettings().Frequency == areaSettings(area).Frequency;
        }
        if (ratesEqual) {
            // The source is stored when the host performs the change, which
            // then tells 'csrc'.
            if (known) {
                ConfigChangeInfo info{};
                info.v.value = source;
                requestConfigChange(kQnConfigChangeClockSource, info);
            }
        } else {
            if (known) mStoredClockSource = SInt32(source);
            ConfigChangeInfo info{};
            requestConfigChange(kQnConfigChangeNewConfig, info);
        }
    }
    UInt32 source = kNotSet;
    if (controlRequest(kCtrlGetClockSource, nullptr, 0, &source, sizeof source) && mRegistry)
        mRegistry->setClockSource(source);
}

void QnASPlugInDevice::stateInitComplete() {
    syslog(LOG_WARNING, "QnASPlugInDevice received STC_INITCOMPLETE\n");
    waitMs(100);
    InitComplete();
    ConfigChangeInfo info{};
    requestConfigChange(kQnConfigChangeNewConfig, info);
}
