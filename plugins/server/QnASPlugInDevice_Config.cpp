// The device's configuration changes: requests to the host with their own
// records, the actions the host lets it perform once its IO is quiet, what
// it then tells the host, and the power and running-state notices.
#include <cmath>
#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr UInt32 kCtrlReadDeviceState = 67;
constexpr UInt32 kSystemWillSleep = 0xE0000280, kSystemHasPoweredOn = 0xE0000300;

long long nowMs() {
    return (long long)(mach_absolute_time() / 1000000);
}

void waitMs(UInt64 ms) {
    hx::clock::sleepFor(ms * 1000000);
}

// Every field but the rate.
bool formatDiffers(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    AudioStreamBasicDescription x = a, y = b;
    x.mSampleRate = y.mSampleRate = 0;
    return std::memcmp(&x, &y, sizeof x) != 0;
}
} // namespace

// ---- Requests and their records

void QnASPlugInDevice::requestConfigChange(UInt64 inAction, const ConfigChangeInfo& inInfo) {
    auto record = std::make_unique<ConfigChangeInfo>();
    std::memset(record.get(), 0, sizeof(ConfigChangeInfo));
    std::memcpy(record.get(), &inInfo, sizeof(ConfigChangeInfo));
    ConfigChangeInfo* raw = record.get();
    {
        std::lock_guard<std::mutex> g(mConfigRecordsLock);
        mConfigRecords.push_back(std::move(record));
    }
    const AudioObjectID id = mObjectID;
    CADispatchQueue::GetGlobalSerialQueue().Dispatch(false, [id, inAction, raw] {
        QnASPlugInPlugIn::Host_RequestDeviceConfigurationChange(id, inAction, raw);
    });
}

bool QnASPlugInDevice::takeConfigChangeInfo(void* inInfo, ConfigChangeInfo& outInfo) {
    std::memset(&outInfo, 0, sizeof outInfo);
    std::lock_guard<std::mutex> g(mConfigRecordsLock);
    for (auto it = mConfigRecords.begin(); it != mConfigRecords.end(); ++it)
        if (it->get() == inInfo) {
            outInfo = **it;
            mConfigRecords.erase(it);
            return true;
        }
    return false;
}

size_t QnASPlugInDevice::outstandingConfigChanges() {
    std::lock_guard<std::mutex> g(mConfigRecordsLock);
    return mConfigRecords.size();
}

void QnASPlugInDevice::AbortConfigChange(UInt64, void* inInfo) {
    ConfigChangeInfo dropped;
    takeConfigChangeInfo(inInfo, dropped);
}

// ---- Performing

void QnASPlugInDevice::PerformConfigChange(UInt64 inAction, void* inInfo) {
    ConfigChangeInfo info;
    // Only the device's own outstanding records are read; any other pointer
    // reads as a zeroed record.
    const bool known = takeConfigChangeInfo(inInfo, info);
    if (!mInitialised) {
        syslog(LOG_WARNING, "Not initialized yet\n");
        return;
    }
    if (!mDriverArea.load()) {
        hx::log::format("Shared memory null\n");
        return;
    }
    CAMutexLocker state(mStateMutex);
    CAMutexLocker io(mIOMutex);
    mPerformConfigChange = true;
    AudioStreamBasicDescription oldIn{}, oldOut{}, plain{};
    mLogic.getStreamFormat(true, &plain, false, ~0u);
    mLogic.getStreamFormat(false, &plain, false, ~0u);
    mLogic.getStreamFormat(true, &oldIn, true, ~0u);
    mLogic.getStreamFormat(false, &oldOut, true, ~0u);
    performAction(inAction, info, known, oldIn, oldOut);
    mInStreamingSuspended = false;
    mPerformConfigChange = false;
    hx::log::format("@%lld PerformConfigChange Out, mInStreamingSuspended false\n", nowMs());
}

void QnASPlugInDevice::performAction(UInt64 inAction, const ConfigChangeInfo& info, bool,
                                     const AudioStreamBasicDescription& oldIn,
                                     const AudioStreamBasicDescription& oldOut) {
    const long long ms = nowMs();
    switch (inAction) {
    case kQnConfigWakeUp:
        hx::log::format("@%lld PerformConfigChange received kQnConfigWakeUp\n", ms);
        break;
    case kQnConfigChangeSampleRate: {
        hx::log::format("@%lld PerformConfigChange received kQnConfigChangeSampleRate\n", ms);
        const UInt64 rate = info.v.rate;
        AudioValueRange ranges[32] = {};
        const UInt32 n = mLogic.getSampleRates(ranges, 32);
        for (UInt32 i = 0; i < n && i < 32; ++i)
            if (UInt64(ranges[i].mMinimum) == rate) {
                mLogic.setFrequency(info.isInput != 0, UInt32(rate));
                waitMs(500);
                break;
            }
        break;
    }
    case kQnConfigChangeStreamFormat:
    case kQnConfigChangePhysicalFormat: {
        hx::log::format("@%lld PerformConfigChange received kQnConfigChangePhysicalFormat\n", ms);
        AudioStreamBasicDescription format = info.v.format;
        mLogic.preprocessSetStreamFormat(&format, info.isInput != 0, true);
        mLogic.setStreamFormat(info.isInput != 0, &format, true);
        checkReportFormatChange(oldIn, oldOut, false);
        waitMs(200);
        break;
    }
    case kQnConfigChangeNewConfig:
        hx::log::format("@%lld PerformConfigChange received kQnConfigChangeNewConfig\n", ms);
        if (mLogic.isSorvikFarlane1()) refreshFarlaneConfig();
        newConfigFromKernel(oldIn, oldOut);
        break;
    case kQnConfigChangeMixerMode:
        hx::log::format("@%lld PerformConfigChange received kQnConfigChangeMixerMode\n", ms);
        handleNewConfig();
        checkReportFormatChange(oldIn, oldOut, false);
        break;
    case kQnConfigChangeInputDataSource:
    case kQnConfigChangeOutputDataSource: {
        const bool input = inAction == kQnConfigChangeInputDataSource;
        // Only a source the kernel took becomes the current one.
        if (mLogic.setDataSource(input, info.v.value) == kIOReturnSuccess)
            mCurrentDataSource[input ? 1 : 0] = info.v.value;
        break;
    }
    case kQnConfigChangeDigitalOutMode:
        waitMs(50);
        break;
    case kQnConfigChangeClockSource: {
        // The kernel is asked only when its source differs; what it then
        // reports is stored, and the host hears of a change only.
        const SInt32 wanted = SInt32(info.v.value);
        if (wanted != mLogic.getCurrentClockSource()) mLogic.setClockSource(UInt32(wanted));
        const SInt32 reported = mLogic.getCurrentClockSource();
        if (reported != mStoredClockSource.load()) {
            mStoredClockSource = reported;
            QnLibPropertyNotify(fcc("csrc"));
            checkReportFormatChange(oldIn, oldOut, false);
        }
        waitMs(50);
        break;
    }
    case kQnConfigChangeFarlaneConfig:
    case kQnConfigChangeFarlaneConfig2:
        refreshFarlaneConfig();
        break;
    default:
        hx::log::format("@%lld PerformConfigChange unknown %lld\n", ms, (long long)inAction);
        break;
    }
}

void QnASPlugInDevice::refreshFarlaneConfig() {
    QnIORegistryPrefs::getProperties();
    UInt8 state[8] = {};
    if (!controlRequest(kCtrlReadDeviceState, nullptr, 0, state, sizeof state)) return;
    std::memcpy(mFarlaneState, state, sizeof state);
    QN_Sorvik_ConfigAndMap record = mLogic.sorvikConfigAndMap();
    setStoredSorvikConfigAndMapping(record, reinterpret_cast<char*>(mFarlaneState), true);
    if (mRegistry) mRegistry->setSorvikConfigAndMapping(record);
}

void QnASPlugInDevice::storeFarlaneConfig() {
    if (!mLogic.isSorvikFarlane1()) return;
    QN_Sorvik_ConfigAndMap record = mLogic.sorvikConfigAndMap();
    setStoredSorvikConfigAndMapping(record, reinterpret_cast<char*>(mFarlaneState), false);
}

void QnASPlugInDevice::setInterfaceChannels(UInt32 inOutput, UInt32 inInput) {
    APIConfigInfo& config = mDeviceInfo->mConfigurations[0];
    const UInt32 count = config.mNumInterfaces < 16 ? config.mNumInterfaces : 16;
    for (UInt32 i = 0; i < count; ++i) {
        APIInterfaceInfo& iface = config.mInterfaces[i];
        if (iface.mInterfaceNumber == 1)
            iface.mAlternates[0].mStreaming.mChannels = UInt8(inOutput);
        if (iface.mInterfaceNumber == 2) iface.mAlternates[0].mStreaming.mChannels = UInt8(inInput);
    }
}

void QnASPlugInDevice::newConfigFromKernel(const AudioStreamBasicDescription& oldIn,
                                           const AudioStreamBasicDescription& oldOut) {
    const bool mixerProduct = mLogic.isDevice(kKorvexVendorID, kKorvexHX5100ProductID) ||
                              mLogic.isDevice(kKorvexVendorID, kKorvexFourByFourProductID);
    const bool lx420 = mLogic.isDevice(kKorvexVendorID, kKorvexLX420ProductID);
    if (mixerProduct || lx420) {
        UInt8 reply[3] = {};
        const bool ok = request(
            33, [](OSXDispatch&) {},
            [&](const OSXDispatch& r, bool) { std::memcpy(reply, r.payload, 3); });
        if (ok && mixerProduct) {
            syslog(LOG_NOTICE, "Req_UserConfigChanged configPending %d value %02X value1 %d\n",
                   reply[0] ? 1 : 0, reply[1], reply[2]);
            mMixerMode = reply[2] ? 2 : 0;
            setInterfaceChannels(reply[2] ? 4 : 2, reply[2] ? 4 : 2);
        } else if (ok) {
            if (reply[2] == 1)
                setInterfaceChannels(6, 4), mMixerMode = 1;
            else if (reply[2] == 0)
                setInterfaceChannels(2, 2), mMixerMode = 0;
            else
                setInterfaceChannels(4, 6), mMixerMode = 2;
        }
    }
    DriverSM* area = mDriverArea.load();
    const bool lockChanged = area && mDigitalLock != area->mAjExtData.mDigitalLock;
    handleNewConfig();
    checkReportFormatChange(oldIn, oldOut, lockChanged);
}

void QnASPlugInDevice::handleNewConfig() {
    DriverSM* area = mDriverArea.load();
    if (!area) return;
    const QnChannelSettings before = mLogic.currentSettings();
    mLogic.createIOBuffers(); // the driver area's settings become the current ones
    const bool changed =
        std::memcmp(&before, &mLogic.currentSettings(), sizeof(QnChannelSettings)) != 0;
    if (changed || mDigitalLock != area->mAjExtData.mDigitalLock)
        mDigitalLock = area->mAjExtData.mDigitalLock;
    if (AudioSM* in = mInputRing.load()) {
        mRingFrames = UInt32(in->geometry().maxFrames);
    } else {
        const UInt32 ch = mLogic.currentSettings().InChannels;
        UInt32 frames = ch ? 0x20000 / ch : 0x10000;
        UInt32 p = 1;
        while (p * 2 <= frames)
            p *= 2;
        mRingFrames = frames ? p : 1;
    }
}

void QnASPlugInDevice::checkReportFormatChange(const AudioStreamBasicDescription& oldIn,
                                               const AudioStreamBasicDescription& oldOut,
                                               bool inLockChanged) {
    AudioStreamBasicDescription newIn{}, newOut{};
    mLogic.getStreamFormat(true, &newIn, true, ~0u);
    mLogic.getStreamFormat(false, &newOut, true, ~0u);
    const int oldRate = int(oldIn.mSampleRate) ? int(oldIn.mSampleRate) : int(oldOut.mSampleRate);
    const int newRate = int(newIn.mSampleRate) ? int(newIn.mSampleRate) : int(newOut.mSampleRate);
    const bool inChanged = formatDiffers(newIn, oldIn);
    const bool outChanged = formatDiffers(newOut, oldOut);
    if (!mObjectID || !(inChanged || outChanged || inLockChanged)) return;
    QnLibPropertyNotify(fcc("ltnc"));
    if (oldRate != newRate) {
        hx::log::format("checkReportFormatChange sr changed %d to %d\n", oldRate, newRate);
        QnLibPropertyNotify(fcc("nsrt"));
    }
    if (inChanged || outChanged) {
        hx::log::format(inChanged ? "checkReportFormatChange phys in changed\n"
                                  : "checkReportFormatChange phys out changed\n");
        QnLibPropertyNotify(fcc("pft "));
        QnLibPropertyNotify(fcc("pfta"));
    }
    if (inLockChanged) {
        hx::log::format("checkReportFormatChange digital lock changed\n");
        QnLibPropertyNotify(fcc("nsr#"));
        for (AudioObjectID stream : {mInputStreamID, mOutputStreamID}) {
            notifyObject(stream, fcc("pft "));
            notifyObject(stream, fcc("pfta"));
        }
    }
}

// ---- Start-up

OSStatus QnASPlugInDevice::InitComplete() {
    mLogic.createIOBuffers();
    mInputLatency.set(0, true);
    mOutputLatency.set(0, true);
    mDbSI = mDbSO = mDbLI = mDbLO = mDbWA = kNotSet;
    mWriteAheadBase = kNotSet;
    if (AudioSM* in = mInputRing.load()) mRingFrames = UInt32(in->geometry().maxFrames);
    if (const IOReturn r = mLogic.setFrameSize(
            mLogic.frameSizeProperty() ? mLogic.frameSizeProperty() : 256, true, true))
        return OSStatus(r);
    mStoredClockSource = mLogic.getCurrentClockSource();
    mNumDataSources[1] = mLogic.getNumDataSources(true);
    mNumDataSources[0] = mLogic.getNumDataSources(false);
    waitMs(100);
    QnASPlugInObject::Activate();
    mInitialised = true;
    return 0;
}

// ---- Notices

void QnASPlugInDevice::PropertyNotificationHandler(UInt32 inMessage, void* inArgument) {
    if (!mIsActive) return;
    if (inMessage == kQnStateChangeMessage) {
        QN_StateChange change;
        if (!inArgument) return;
        std::memcpy(&change, inArgument, sizeof change);
        if (change.mSize != sizeof change) return;
        // The device may leave the plug-in inside (code 16): a reference of
        // its own keeps it until the handling ends.
        const bool held = QnASPlugInObjectMap::RetainObject(this) != 0;
        KernelDriverNotificationHandler(change);
        if (mIsActive) {
            QnIORegistryPrefs::update();
            storeFarlaneConfig();
            if (CFDictionaryRef props = QnIORegistryPrefs::getProperties())
                writeStorageProperties(props);
        }
        if (held) QnASPlugInObjectMap::ReleaseObject(this);
        return;
    }
    if (inMessage == kSystemWillSleep) {
        mInStreamingSuspended = true;
        callDriver(43);
        waitMs(300);
    } else if (inMessage == kSystemHasPoweredOn) {
        if (mInStreamingSuspended) callDriver(44);
        waitMs(5000);
        ConfigChangeInfo info{};
        requestConfigChange(kQnConfigWakeUp, info);
    }
}

void QnASPlugInDevice::checkRunningSomewhere() {
    const bool now = mLogic.isRunningSomewhere();
    if (now == mRunningSomewhere) return;
    mRunningSomewhere = now;
    QnLibPropertyNotify(fcc("goin"));
}

void QnASPlugInDevice::checkRunningStream() {
    const bool now = mLogic.isRunningStream();
    if (now == mRunningStream) return;
    mRunningStream = now;
    QnLibPropertyNotify(fcc("goin"));
}
