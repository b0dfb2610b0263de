// Construction, opening, the first-open restore, closing and the interest
// callback of the device object.
#include "device/ZrOSXDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "abi/DeviceFamilies.h"
#include "device/DeviceManagerClient.h"
#include "device/FWUpdaterDetection.h"
#include "device/OSXAsioRegistry.h"
#include "device/OSXAsioRegistrySettings.h"
#include "device/OSXDeviceManager.h"
#include "device/ProcessNames.h"
#include "device/QnIORegistryPrefs.h"
#include "platform/base/HXClock.h"
#include "platform/cf/CFBundle.h"
#include "platform/sys/HXProcess.h"

namespace {

constexpr uint32_t kReqConfigure = 1;
constexpr uint32_t kReqDeviceInfo = 4;
constexpr uint32_t kReqHALVersion = 24;
constexpr uint32_t kReqUserConfig = 33;
constexpr uint32_t kReqDispatch = 35;
constexpr uint32_t kReqSetMixerMode = 38;
constexpr uint32_t kReqSetMixerValues = 40;
constexpr uint32_t kCtrlDeviceState = 67;
constexpr uint32_t kCtrlReverbBuffers = 58;
constexpr uint32_t kCtrlMixerBuffer = 61;
constexpr uint32_t kChunkBytes = 256;
constexpr uint32_t kDefaultMonMixPos = 0x3FFF;
constexpr uint16_t kRestoreMonMixPos = 14199;
constexpr uint16_t kDefaultAnalogInState = 12;
constexpr uint8_t kAnalogInMixerBit = 0x40;
constexpr int kRestoreWaits = 50;
constexpr uint64_t kRestoreWaitNanos = 500000000;
constexpr uint64_t kChannelQueryPauseNanos = 200000000;
constexpr uint64_t kCloseDetachPauseNanos = 50000000;
constexpr uint32_t kDefaultWriteAheadBase = 880;
constexpr int kFirstReleaseBitAccurate = 13;
constexpr int kMediaPlayerType = 3;
constexpr uint32_t kStoredRateDefault = 44100;

bool contains(const char* text, const char* part) {
    return std::strstr(text, part) != nullptr;
}

// Shared-area words are read and written once each: any process may write
// them.
uint32_t smWord(const DriverSM* sm, size_t offset) {
    return audiosm::load32(reinterpret_cast<const char*>(sm) + offset);
}

// A string of the shared area, never beyond its 256 bytes.
void smString(ZrString& out, const char* field) {
    char buf[257] = {};
    std::memcpy(buf, field, 256);
    out = buf;
}

bool listedOtherVendor(uint16_t vendor, uint16_t product) {
    return DeviceFamilies::contains(DeviceFamilies::kCoreAudioSuffix, vendor, product);
}

} // namespace

ZrOSXDevice::ZrOSXDevice(void* plugIn, DeviceManagerClient* client, io_service_t service,
                         OSXDeviceManager* manager)
    : DriverConnection(service), OSXUserThread(63),
      QnAudioPluginClassCommons(*this, *mDeviceInfoRecord), mPlugIn(plugIn), mClient(client),
      mManager(manager) {
    int32_t hog = -1;
    mHogID = getHogID(&hog) ? hog : -1;
    setDefaultFrameSize(manager && manager->clientAppType() == kMediaPlayerType ? 8192 : 256);
    mFrameSize.set(0, true);
    const uint32_t frames = defaultFrameSize();
    mFilter.init(44100, frames, frames, 2 * frames);
}

ZrOSXDevice::~ZrOSXDevice() {
    if (!mpRegistry)
        std::printf("~ZrOSXDevice mpRegistry null!!!\n");
    else if (hasRouting()) {
        const int entries[5][2] = {{1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 1}};
        for (const auto& e : entries) {
            uint32_t v = 0;
            if (getRouting(e[0], e[1], &v)) mpRegistry->setRouting(e[0], e[1], v);
        }
        mpRegistry->store();
    }
    if (mpPrefs) {
        mpPrefs->update();
        mpPrefs->writePropertiesToStorage();
    }
    closeDevice();
    if (mInterest) IOObjectRelease(mInterest);
    mInterest = 0;
    mSettingsStore.reset();
    delete mpRegistry;
    delete mpPrefs;
    // No cycle runs any more: the last published list goes as well.
    std::lock_guard<std::mutex> g(mProcLock);
    if (IOProcList* last = mPublished.exchange(nullptr)) mRetired.push_back(last);
    reclaimIOProcListsLocked();
}

void ZrOSXDevice::classifyProcess() {
    char name[17] = "NO_NAME";
    syslog(LOG_NOTICE, "CurPID=%d, curUID=%d process=%s\n", int(::getpid()), int(hx::sys::ownUid()),
           name);
    if (!GetProcessNameFromPID(::getpid(), name)) {
        syslog(LOG_NOTICE, "Could not get process name\n");
        std::strcpy(name, "NO_NAME");
    }
    for (char* p = name; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
    syslog(LOG_NOTICE, "CurrentprocessName is %s\n", name);
    mProcessClass = 18;
    if (contains(name, "VINYLO DJ")) mProcessClass = 14;
    if (contains(name, "PLATTER")) mProcessClass = 13;
    if (contains(name, "TRACKSTUDIO EXPR")) mProcessClass = 15;
    if (contains(name, "MIXDECK")) mProcessClass = 16;
    if (contains(name, "LOGINWINDOW")) mProcessClass = 12;
    mMayRestore = hx::sys::isOrdinaryUser(hx::sys::ownUid()) || contains(name, "LOGINWINDOW");
    mPrefsWritable = contains(name, "COREAUDIOD_FIXME");
}

bool ZrOSXDevice::init() {
    if (ioGetService() == 0 || !ioIsOpen()) return false;
    classifyProcess();
    mpPrefs = new QnIORegistryPrefs(mPrefsWritable, ioGetService(), qnIOKitRegistryAccess());
    CFStringRef root = CFStringCreateWithCString(nullptr, getIDRoot(), kCFStringEncodingUTF8);
    mpRegistry = new OSXAsioRegistry(root);
    CFRelease(root);
    mSettingsStore = std::make_unique<OSXAsioRegistrySettings>(*mpRegistry);
    if (!openDevice()) {
        syslog(LOG_ERR, "Could not open device - exit\n");
        return false;
    }
    if (fwUpdaterActive()) return false;
    if (!readNames() || !readDeviceInfo()) return false;
    mRunningSomewhere = isRunningSomewhere();
    mRunningStream = false;
    {
        RecordGuard g(*this);
        qnWriteU32(&g.record(), kOSXDispatchValueOffset, kDriverVersionWord);
        callDriver(kReqHALVersion);
    }
    loadMixerValues();
    if (!configured() && !restoreSettings()) return false;
    if (isDevice(kKorvexVendorID, kKorvexFourByFourProductID)) {
        hx::clock::sleepFor(kChannelQueryPauseNanos);
        RecordGuard g(*this);
        if (callDriver(kReqUserConfig)) {
            static const uint32_t kCounts[3][2] = {{2, 2}, {6, 4}, {4, 6}};
            const uint8_t mode = g.record().payload[2];
            if (mode < 3) {
                mStreamChannelsIn = kCounts[mode][0];
                mStreamChannelsOut = kCounts[mode][1];
            }
        }
    }
    if (!configured()) return false;
    mInLatency.set(0, false);
    mOutLatency.set(0, false);
    mWriteAhead = 0;
    mWriteAheadBase = kDefaultWriteAheadBase;
    mWriteAheadOffs = 0;
    loadPlistValues();
    if (!threadStart()) {
        syslog(LOG_ERR, "Can't start thread - exit\n");
        return false;
    }
    if (setFrameSize(defaultFrameSize(), true, true) != 0) return false;
    createIOBuffers();
    clearPhonoFlags();
    if (hasRouting()) {
        const int entries[5][2] = {{1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 1}};
        for (const auto& e : entries) {
            uint32_t v = 0;
            if (mpRegistry->getRouting(e[0], e[1], v)) {
                syslog(LOG_NOTICE, "init: mpRegistry->getRouting(%d,%d,%d)\n", e[0], e[1], int(v));
                setRouting(e[0], e[1], v);
            }
        }
    }
    return true;
}

bool ZrOSXDevice::openDevice() {
    if (mDeviceOpen) return true;
    if (!driverSM()) return false;
    mDeviceOpen = true;
    RecordGuard g(*this);
    qnWriteU32(&g.record(), kOSXDispatchRecordOffset, kCtrlDeviceState);
    if (callDriver(kReqDispatch))
        std::memcpy(mDeviceState, g.record().payload + 4, sizeof mDeviceState);
    return isDeviceOpen();
}

bool ZrOSXDevice::configured() const {
    return driverSM() && smWord(driverSM(), offsetof(DriverSM, mConfigured));
}

bool ZrOSXDevice::readNames() {
    const DriverSM* sm = driverSM();
    smString(mManufacturer, sm->mVendorString);
    smString(mDeviceName, sm->mProductString);
    smString(mDeviceUID, sm->mDeviceUID);
    syslog(LOG_NOTICE, "UID= %s\n", static_cast<const char*>(mDeviceUID));
    const uint16_t vendor = audiosm::load32(reinterpret_cast<const char*>(sm) + 8) & 0xFFFF;
    const uint16_t product = audiosm::load32(reinterpret_cast<const char*>(sm) + 8) >> 16;
    const bool other = listedOtherVendor(vendor, product);
    if (other) smString(mDeviceName, sm->mModelName);
    if (GetMacOSRelease() >= kFirstReleaseBitAccurate &&
        !(mProcessClass >= 13 && mProcessClass <= 16))
        mDeviceName += other ? "_Bit_Accurate" : " (Bit Accurate)";
    return true;
}

bool ZrOSXDevice::readDeviceInfo() {
    uint32_t total = 0;
    for (uint32_t chunk = 0;; ++chunk) {
        RecordGuard g(*this);
        qnWriteU32(&g.record(), kOSXDispatchValueOffset, chunk);
        if (!callDriver(kReqDeviceInfo)) {
            closeDevice();
            return false;
        }
        const uint32_t count = g.record().iReq;
        if (count > kChunkBytes || total + count > kDeviceInfoBytes) return false;
        std::memcpy(reinterpret_cast<uint8_t*>(&deviceInfo()) + total, g.record().payload, count);
        total += count;
        if (count != kChunkBytes) break;
    }
    mDeviceInfoBytes = total;
    patchDescriptor();
    // The Sorvik lists the audio thread packs by: nothing else fills them.
    updateSorvikConfigAndMap();
    setupSpecificFeatures();
    mLowBufferFW = hasLowBufferFW();
    return true;
}

void ZrOSXDevice::loadMixerValues() {
    uint16_t pos = 0;
    mMonMixPos = mpRegistry->getUInt16Value(pos, "MonMixPos") ? pos : kDefaultMonMixPos;
    int32_t mode = 0;
    if (mpRegistry->getMixerMode(mode)) {
        setDeviceMixerMode(mode);
    } else {
        setDeviceMixerMode(2);
        if (configured()) {
            RecordGuard g(*this);
            if (callDriver(kReqUserConfig)) setDeviceMixerMode(g.record().payload[2]);
        }
    }
}

bool ZrOSXDevice::sendControl(uint32_t code, const void* data, uint32_t size) {
    RecordGuard g(*this);
    std::memset(g.record().payload, 0, sizeof g.record().payload);
    qnWriteU32(&g.record(), kOSXDispatchRecordOffset, code);
    std::memcpy(g.record().payload + 4, data, size);
    return callDriver(kReqDispatch);
}

// One process restores an unconfigured device: the token word at 5416 is
// taken by compare-and-swap 0 -> 1 and given back 1 -> 0. The kernel clears
// it when it prepares a configuration, so a plain decrement could leave -1
// behind, which blocks every later restore.
bool ZrOSXDevice::restoreSettings() {
    uint32_t* token = reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(driverSM()) +
                                                  offsetof(DriverSM, mNewConfigPending));
    uint32_t expected = 0;
    if (mMayRestore && __atomic_compare_exchange_n(token, &expected, 1u, false, __ATOMIC_ACQ_REL,
                                                   __ATOMIC_RELAXED)) {
        restoreAsHolder();
        expected = 1;
        __atomic_compare_exchange_n(token, &expected, 0u, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED);
        return true;
    }
    for (int i = 0; i < kRestoreWaits && !configured(); ++i)
        hx::clock::sleepFor(kRestoreWaitNanos);
    return true;
}

void ZrOSXDevice::restoreAsHolder() {
    QnAjExtData ext;
    std::memcpy(&ext, reinterpret_cast<const char*>(driverSM()) + offsetof(DriverSM, mAjExtData),
                sizeof ext);
    mpRegistry->loadAjExt(ext);
    // The preference domain is user-writable: wild choices fall back.
    ext.validate();
    std::memcpy(reinterpret_cast<char*>(driverSM()) + offsetof(DriverSM, mAjExtData), &ext,
                sizeof ext);
    uint16_t pos = 0;
    const uint16_t monMixPos =
        mpRegistry->getUInt16Value(pos, "MonMixPos") ? pos : kRestoreMonMixPos;
    int32_t mode = 2;
    if (!mpRegistry->getMixerMode(mode)) mode = 2;
    mMonMixPos = monMixPos;
    setDeviceMixerMode(mode);
    const bool hxRange = family().hx5100Range;
    if (hxRange) {
        RecordGuard g(*this);
        g.record().payload[0] = 1;
        g.record().payload[1] = uint8_t(mode);
        g.record().payload[2] = uint8_t(monMixPos & 0xFF);
        callDriver(kReqSetMixerMode);
    }
    uint8_t reverb[1536];
    if (mpRegistry->getReverbBuffers(reverb))
        sendControl(kCtrlReverbBuffers, reverb, sizeof reverb);
    uint8_t mixer[64];
    if (mpRegistry->getMixerBuffer(mixer)) sendControl(kCtrlMixerBuffer, mixer, sizeof mixer);
    usbConfigureDevice();
    if (hxRange) {
        uint16_t state = kDefaultAnalogInState;
        mpRegistry->getUInt16Value(state, "AnalogInState");
        state = mode ? uint16_t(state & ~kAnalogInMixerBit) : uint16_t(state | kAnalogInMixerBit);
        RecordGuard g(*this);
        qnWriteU16(&g.record(), kOSXDispatchValueOffset, state);
        qnWriteU16(&g.record(), kOSXDispatchValueOffset + 2, monMixPos);
        callDriver(kReqSetMixerValues);
    }
}

bool ZrOSXDevice::usbConfigureDevice() {
    uint32_t rate = 0;
    if (!mpRegistry || !mpRegistry->getSampleRate(rate) || timingRate(rate) != rate)
        rate = kStoredRateDefault;
    QnChannelSettings requested{rate, 2, 16, 2, 16, 0};
    if (isSorvikFarlane1())
        requested = {48000, 2, 24, 2, 24, 0};
    else if (isSorvikFarlane2())
        requested = {48000, 4, 24, 4, 24, 0};
    QnChannelSettings chosen = requested;
    // The request goes out even when no configuration matched: the kernel's
    // interface choice settles the format, read back at 5420.
    if (!usbFindConfiguration(false, nullptr, nullptr, &chosen)) chosen = requested;
    std::memcpy(reinterpret_cast<char*>(driverSM()) + offsetof(DriverSM, mChannelSettings), &chosen,
                sizeof chosen);
    return callDriver(kReqConfigure);
}

void ZrOSXDevice::loadPlistValues() {
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(CFSTR("com.korvex.hx5100.hal"));
    auto read = [&](const char* key, int& out) {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFTypeRef v = bundle ? CFBundleGetValueForInfoDictionaryKey(bundle, k) : nullptr;
        CFRelease(k);
        if (!v || CFGetTypeID(v) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberIntType, &out)) {
            std::printf("%s %s not found\n", "loadPlistValues", key);
            return false;
        }
        std::printf("%s %s:%d\n", "loadPlistValues", key, out);
        return true;
    };
    int value = 0;
    if (read("AddWriteAhead1", value) && isSorvikFarlane1())
        setOutWriteAheadOffs(uint64_t(std::max(value, 0)));
    if (read("AddWriteAhead", value) && isSorvikFarlane2())
        setOutWriteAheadOffs(uint64_t(std::max(value, 0)));
    if (read("AudioThreadPriority", value)) SetPriority(unsigned(std::clamp(value, 0, 63)));
}

void ZrOSXDevice::closeDevice() {
    {
        IntSpinLock lock(&mAttachLock);
        mThreadState = 0;
    }
    std::printf("ZrOSXDevice::closeDevice, callDetach\n");
    vendorAsyncClose();
    callDetach();
    hx::clock::sleepFor(kCloseDetachPauseNanos);
    threadStop();
    removeAllIOProcs();
    mBufIn.term();
    mBufOut.term();
    unmapSharedMemory();
    mThreadState = 0;
    mStartedProcs = 0;
    mDeviceStarts = 0;
}

void ZrOSXDevice::willBeRemoved() {
    mRemoved = true;
    on_RemoveEvent();
}

void ZrOSXDevice::on_RemoveEvent() {
    incReferences();
    if (mInterest) IOObjectRelease(mInterest);
    mInterest = 0;
    threadStop();
    decReferences();
}

void ZrOSXDevice::serviceInterest(void* refcon, io_service_t, natural_t messageType,
                                  void* argument) {
    static_cast<ZrOSXDevice*>(refcon)->onServiceInterestCallback(messageType, argument);
}

void ZrOSXDevice::onServiceInterestCallback(natural_t messageType, const void* argument) {
    if (messageType != kQnStateChangeMessage || !argument) return;
    QN_StateChange change;
    std::memcpy(&change, argument, sizeof change);
    if (change.mSize != sizeof(QN_StateChange)) return;
    constexpr uint32_t kFirmwareUpdateMode = 16;
    constexpr uint32_t kDeviceGone = 0xFFFFFFFFu;
    if (change.mCode == kFirmwareUpdateMode || change.mCode == kDeviceGone) {
        if (mManager) mManager->removeDevice(this);
        return;
    }
    KernelDriverNotificationHandler(change);
    if (mpPrefs) mpPrefs->update();
}

void* ZrOSXDevice::mapSharedMemory(uint32_t type, uint32_t size) {
    mach_vm_address_t address = 0;
    mach_vm_size_t mapped = 0;
    if (IOConnectMapMemory64(connection(), type, mach_task_self(), &address, &mapped,
                             kIOMapAnywhere) != KERN_SUCCESS)
        return nullptr;
    if (mapped != size) {
        IOConnectUnmapMemory64(connection(), type, mach_task_self(), address);
        return nullptr;
    }
    return reinterpret_cast<void*>(address);
}

void ZrOSXDevice::unmapSharedMemory() {
    if (mInRing)
        IOConnectUnmapMemory64(connection(), 4, mach_task_self(),
                               reinterpret_cast<mach_vm_address_t>(mInRing));
    if (mOutRing)
        IOConnectUnmapMemory64(connection(), 5, mach_task_self(),
                               reinterpret_cast<mach_vm_address_t>(mOutRing));
    mInRing = nullptr;
    mOutRing = nullptr;
}
