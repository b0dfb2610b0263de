// Activation: the kernel connection, the device's names and features, the
// restore of stored settings by the first process to configure the device,
// and deactivation writing the kernel's settings back to host storage.
#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "device/FWUpdaterDetection.h"
#include "device/ProcessNames.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"

namespace {
constexpr UInt32 kReqDeviceInfo = 4, kReqUserConfig = 33, kReqControl = 35;
constexpr UInt32 kReqSetMixerMode = 38, kReqSetMixerValues = 40, kReqConfigure = 1;
constexpr UInt32 kCtrlReverbBuffers = 58, kCtrlMixerBuffer = 61, kCtrlDeviceState = 67;
constexpr UInt32 kCtrlSorvikConfigAndMap = 68;
constexpr UInt32 kDeviceInfoBytes = sizeof(APIDeviceInfo);
constexpr const char* kActivate = "virtual void QnASPlugInDevice::Activate()";

// A driver-area string of at most 255 bytes.
std::string areaString(const DriverSM* area, size_t offset) {
    char text[256];
    std::memcpy(text, reinterpret_cast<const char*>(area) + offset, 255);
    text[255] = 0;
    return text;
}

uint32_t* tokenWord(DriverSM* area) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(area) +
                                       offsetof(DriverSM, mNewConfigPending));
}
} // namespace

bool QnASPlugInDevice::controlRequest(UInt32 inCode, const void* inData, UInt32 inBytes,
                                      void* outAnswer, UInt32 inAnswerBytes) {
    return request(
        kReqControl,
        [&](OSXDispatch& r) {
            qnWriteU32(&r, kOSXDispatchRecordOffset, inCode);
            if (inData) std::memcpy(r.payload + 4, inData, inBytes);
        },
        [&](const OSXDispatch& r, bool ok) {
            if (ok && outAnswer) std::memcpy(outAnswer, r.payload + 4, inAnswerBytes);
        });
}

void QnASPlugInDevice::getApiDeviceInfo() {
    auto* info = reinterpret_cast<uint8_t*>(mDeviceInfo.get());
    UInt32 filled = 0;
    for (UInt32 chunk = 0; filled < kDeviceInfoBytes; ++chunk) {
        UInt32 count = 0;
        bool overflow = false;
        const bool ok = request(
            kReqDeviceInfo, [&](OSXDispatch& r) { std::memcpy(r.payload, &chunk, 4); },
            [&](const OSXDispatch& r, bool done) {
                if (!done) return;
                count = r.iReq;
                if (count == 0 || count > 256) return;
                if (count > kDeviceInfoBytes - filled) {
                    overflow = true;
                    return;
                }
                std::memcpy(info + filled, r.payload, count);
            });
        if (!ok) {
            _HW_Close();
            return;
        }
        if (overflow) return; // more than the record holds: no patching either
        if (count == 0 || count > 256) break;
        filled += count;
        if (count < 256) break;
    }
    mLogic.patchDescriptor();
}

void QnASPlugInDevice::usbConfigureDevice() {
    DriverSM* area = mDriverArea.load();
    if (!area) return;
    int rate = 44100, in = 2, out = 2;
    if (!getStoredFrequency(rate) || rate < 8000 || rate > 384000) rate = 44100;
    if (!getStoredInChannels(in) || in < 0 || in > 32) in = 2;
    if (!getStoredOutChannels(out) || out < 0 || out > 32) out = 2;
    QnChannelSettings wanted{UInt32(rate), UInt32(in), 16, UInt32(out), 16, 0};
    mLogic.usbFindConfiguration(true, nullptr, nullptr, &wanted);
    std::memcpy(reinterpret_cast<char*>(area) + offsetof(DriverSM, mChannelSettings), &wanted,
                sizeof wanted);
    callDriver(kReqConfigure);
}

void QnASPlugInDevice::activateFromDriverArea() {
    DriverSM* area = mDriverArea.load();
    getApiDeviceInfo();
    loadPlistValues();
    if (!(area = mDriverArea.load())) return; // request 4 failed: closed
    mDeviceName = areaString(area, offsetof(DriverSM, mVendorString));
    mProductName = areaString(area, offsetof(DriverSM, mModelName));
    mCoreAudioUID = areaString(area, offsetof(DriverSM, mDeviceUID)) + "_CA";
    mLogic.setupSpecificFeatures();
    mLowBufferFW = mLogic.hasLowBufferFW();
    mLatencyExtraMs = audiosm::load32(reinterpret_cast<char*>(area) + 24) != 0 ? 0 : 3;
    if (GetMacOSRelease() == 12) mLatencyExtraMs += 3;
    if (mLogic.isDevice(kKorvexVendorID, kKorvexHX5100ProductID) ||
        mLogic.isDevice(kKorvexVendorID, kKorvexFourByFourProductID)) {
        int stored = 2;
        if (!getStoredMixerMode(stored)) stored = 2;
        UInt8 reply[3] = {};
        const bool ok = request(
            kReqUserConfig, [](OSXDispatch& r) { r.payload[1] = 0; },
            [&](const OSXDispatch& r, bool) { std::memcpy(reply, r.payload, 3); });
        syslog(LOG_NOTICE, "Req_UserConfigChanged returns %d value %02X\n", ok ? 1 : 0, reply[1]);
        const int mode = (!ok || reply[1] == 0xFF) ? stored : reply[2];
        syslog(LOG_NOTICE, "MixerMode currentMode %d\n", mode);
        setInterfaceChannels(reply[2] ? 4 : 2, reply[2] ? 4 : 2);
    }
    mDigitalLock = area->mAjExtData.mDigitalLock;
    updateLatencies();
    updateSafetyOffsets();
}

void QnASPlugInDevice::Activate() {
    mInitialised = false;
    CFStringRef root = CFStringCreateWithCString(nullptr, QnAudioPluginClassCommons::getIDRoot(),
                                                 kCFStringEncodingUTF8);
    mRegistry = std::make_unique<qnas::OSXAsioRegistry>(root);
    if (root) CFRelease(root);
    mSettingsStore = std::make_unique<QnASRegistrySettings>(*mRegistry);
    QnIORegistryPrefs::update();
    readStorageProperties(nullptr);
    if (!mRegistry) {
        syslog(LOG_ERR, "Could not create registry");
        return;
    }
    if (fwUpdaterActive()) {
        hx::log::format("firmware updater is active - exit\n");
        return;
    }
    mClientObject = 0;
    mIOStartCount = 0;
    if (!_HW_Open()) {
        syslog(LOG_ERR, "driver coud not be activated.\n");
        return;
    }
    controlRequest(kCtrlDeviceState, nullptr, 0, mFarlaneState, sizeof mFarlaneState);
    DriverSM* area = mDriverArea.load();
    const std::string model = area ? areaString(area, offsetof(DriverSM, mModelName)) : "";
    syslog(LOG_NOTICE, "Activate driver %s\n", model.c_str());
    hx::log::format("(%s) Activate driver %s\n", kActivate, model.c_str());
    mUserClassID = _HW_GetUserClassID();
    mapSubObjects();
    mClientSlot = -1;
    if (mDriverArea.load()) activateFromDriverArea();
    mRunningSomewhere = mLogic.isRunningSomewhere();
    mRunningStream = false;
    if (!(area = mDriverArea.load())) return; // a failed request 4 leaves the device inactive
    if (audiosm::load32(reinterpret_cast<char*>(area) + offsetof(DriverSM, mConfigured))) {
        mInitialised = true;
        InitComplete();
        return;
    }
    // The configuration counter is shared with every other client of the
    // device: taken 0 -> 1 by compare-and-swap, given back 1 -> 0.
    std::atomic_ref<uint32_t> token(*tokenWord(area));
    uint32_t expected = 0;
    if (!token.compare_exchange_strong(expected, 1)) {
        QnASPlugInObject::Activate();
        return;
    }
    restoreSettings();
    expected = 1;
    token.compare_exchange_strong(expected, 0);
    mInitialised = true;
    if (audiosm::load32(reinterpret_cast<char*>(area) + offsetof(DriverSM, mConfigured)))
        InitComplete();
    else
        QnASPlugInObject::Activate();
}

void QnASPlugInDevice::restoreSettings() {
    DriverSM* area = mDriverArea.load();
    QnAjExtData ext;
    std::memcpy(&ext, &area->mAjExtData, sizeof ext);
    ext.setDefaults();
    ext.mClockSource = 0;
    getStoredAjExt(ext);
    ext.validate();
    std::memcpy(reinterpret_cast<char*>(area) + offsetof(DriverSM, mAjExtData), &ext, sizeof ext);
    const bool mixerProduct = mLogic.isDevice(kKorvexVendorID, kKorvexHX5100ProductID) ||
                              mLogic.isDevice(kKorvexVendorID, kKorvexFourByFourProductID);
    if (mixerProduct) {
        int knob = 16383, mode = 2;
        if (!getStoredMixerKnob(knob)) knob = 16383;
        if (!getStoredMixerMode(mode)) mode = 2;
        mUserMixerMode = UInt32(mode);
        mMixerKnob = UInt32(knob);
        request(
            kReqSetMixerMode,
            [&](OSXDispatch& r) {
                r.payload[0] = 1;
                r.payload[1] = UInt8(mode);
                qnWriteU16(&r, kOSXDispatchValueOffset + 2, UInt16(knob));
            },
            [](const OSXDispatch&, bool) {});
    }
    static uint8_t reverb[QnStoragePrefs::kReverbBuffersSize];
    if (getStoredReverbBuffers(reverb))
        controlRequest(kCtrlReverbBuffers, reverb, sizeof reverb, nullptr, 0);
    uint8_t mixer[QnStoragePrefs::kMixerBufferSize];
    if (getStoredMixerBuffer(mixer))
        controlRequest(kCtrlMixerBuffer, mixer, sizeof mixer, nullptr, 0);
    if (mixerProduct) setInterfaceChannels(mUserMixerMode ? 4 : 2, mUserMixerMode ? 4 : 2);
    usbConfigureDevice();
    if (mLogic.isSorvikFarlane1() && deviceConfigured()) restoreSorvikConfig();
    if (mLogic.isDevice(kKorvexVendorID, kKorvexLX420ProductID)) restoreLX420Mode();
    if (mixerProduct) {
        int bitmap = 12, knob = 0;
        if (!getStoredMixerValues(bitmap)) bitmap = 12;
        if (mUserMixerMode) {
            if (!getStoredMixerKnob(knob)) knob = 14199;
            bitmap &= ~0x40;
        } else {
            knob = 0;
            bitmap |= 0x40;
        }
        request(
            kReqSetMixerValues,
            [&](OSXDispatch& r) {
                qnWriteU16(&r, kOSXDispatchValueOffset, UInt16(bitmap));
                qnWriteU16(&r, kOSXDispatchValueOffset + 2, UInt16(knob));
            },
            [](const OSXDispatch&, bool) {});
    }
}

bool QnASPlugInDevice::deviceConfigured() {
    DriverSM* area = mDriverArea.load();
    return area && audiosm::load32(reinterpret_cast<char*>(area) + offsetof(DriverSM, mConfigured));
}

void QnASPlugInDevice::restoreSorvikConfig() {
    QN_Sorvik_ConfigAndMap record{};
    const bool stored = settingsSeen() && getStoredSorvikConfigAndMapping(
                                              record, reinterpret_cast<char*>(mFarlaneState));
    auto takeDefaults = [&] {
        record.cMap.setDefaults(mDeviceInfo->mVendor, mDeviceInfo->mProduct);
        record.cConfig = QN_DeviceConfiguration{48000, 2, 24, 2, 24};
    };
    if (!stored) takeDefaults();
    for (int attempt = 0; attempt < 2; ++attempt) {
        UInt64 words[3] = {};
        std::memcpy(words, &record, sizeof words);
        hx::log::format("Sorvik savedConfigMap:%032llX %032llX %032llX %lu %lu \n",
                        (unsigned long long)words[0], (unsigned long long)words[1],
                        (unsigned long long)words[2], (unsigned long)record.cConfig.numInputs,
                        (unsigned long)record.cConfig.numOutputs);
        controlRequest(kCtrlSorvikConfigAndMap, &record, sizeof record, nullptr, 0);
        bool configured = deviceConfigured();
        for (int check = 0; !configured && check < 5; ++check) {
            hx::clock::sleepFor(50 * 1000000ull);
            configured = deviceConfigured();
        }
        if (configured) break;
        takeDefaults();
    }
    // The channel-usage lists follow the map the kernel now holds.
    mLogic.updateSorvikConfigAndMap();
}

void QnASPlugInDevice::restoreLX420Mode() {
    UInt8 reply[3] = {};
    auto ask = [&] {
        return request(
            kReqUserConfig, [](OSXDispatch& r) { r.payload[1] = 0; },
            [&](const OSXDispatch& r, bool) { std::memcpy(reply, r.payload, 3); });
    };
    hx::clock::sleepFor(200 * 1000000ull);
    bool ok = ask();
    for (int retry = 0; ok && reply[1] == 0xFF && retry < 10; ++retry) {
        hx::clock::sleepFor(100 * 1000000ull);
        ok = ask();
    }
    if (!ok || reply[1] == 0xFF || reply[2] >= 3) return;
    static constexpr UInt32 kOutputs[3] = {2, 6, 4}, kInputs[3] = {2, 4, 6};
    setInterfaceChannels(kOutputs[reply[2]], kInputs[reply[2]]);
}

void QnASPlugInDevice::Deactivate() {
    QnASPlugInObject::Deactivate();
    CAMutexLocker state(mStateMutex);
    CAMutexLocker io(mIOMutex);
    CAMutexLocker attach(mAttachMutex);
    unmapSubObjects();
    _HW_Close();
    mSettingsStore.reset();
    mRegistry.reset();
    mIOStartCount = 0;
    CFDictionaryRef props = QnIORegistryPrefs::getProperties();
    storeFarlaneConfig();
    if (props) writeStorageProperties(props);
}
