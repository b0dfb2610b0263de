#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrDeviceRequests.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/kcore/KernelMemory.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"

namespace {

QnChannelSettings gDefaultSettings{44100, 2, 24, 2, 24, 0};
QnAjExtData gDefaultAjExtData{};

void setDefaultChannelSettings(QnChannelSettings& s) {
    s.Frequency = 44100;
    s.InChannels = 2;
    s.InResolution = 24;
    s.OutChannels = 2;
    s.OutResolution = 24;
    s.Configuration = 0;
}

} // namespace

void copyUsbStringToCString(const uint8_t* desc, uint32_t received, char* out, int size) {
    if (!desc || !out || size <= 1 || received < 2 || desc[0] < 4) return;
    // The length byte comes from the device: never trust it beyond what
    // actually arrived.
    uint32_t length = desc[0] < received ? desc[0] : received;
    uint32_t units = (length - 2) / 2;
    int written = 0;
    for (uint32_t i = 0; i < units && written < size - 1; ++i)
        out[written++] = char(desc[2 + 2 * i]);
}

ZrDevice::ZrDevice(ZrKernelDeviceKorvexHX5100& service) : mService(service) {
    // Construction: device-information buffer zeroed, initial settings and
    // bookkeeping cleared, no hog owner, updater state unknown.
    mpDeviceInfo = static_cast<uint8_t*>(memAllocZero(kDeviceInfoSize));
    mAJ.init(this);
    // The input meter raises the control port's level record; the read
    // completion keeps the per-channel peaks level requests take.
    mIsocStreaming.setLevelTargets(mAJ.levelInBytes(), mInputLevels);
    mpBufferMemory = IOBufferMemoryDescriptor::withOptions(0, kBufferMemoryBytes, 4096);
}

ZrDevice::~ZrDevice() {
    if (mpDriverSM) storeSettings();
    mTrunk2Interfaces.closeAll();
    terminate();
    OSSafeReleaseNULL(mpBufferMemory);
}

void ZrDevice::recordStub(const std::string& line) const {
    std::lock_guard<std::mutex> g(mStubLock);
    mStubTrace.push_back(line);
}

std::vector<std::string> ZrDevice::stubTrace() const {
    std::lock_guard<std::mutex> g(mStubLock);
    return mStubTrace;
}

bool ZrDevice::isMerrowCompatible() const {
    return !hasFeatures() || hasFeature(eSpecFeature_MerrowCompatible);
}

bool ZrDevice::isQuarnelBulkDevice() const {
    return mIsUSB2 &&
           (isListed(ZrProductList::QuarnelBulk) || hasFeature(eSpecFeature_QuarnelBulk));
}

bool ZrDevice::isQuarnelBulkInIsocOutDevice() const {
    return mIsUSB2 && ((!hasFeatures() && isListed(ZrProductList::QuarnelBulkInIsocOut)) ||
                       hasFeature(eSpecFeature_QuarnelBulkInIsocOut));
}

bool ZrDevice::isPureBulkDevice() const {
    const ZrInterfaceDescriptor* in = mConfigurations.mpInInterface;
    const ZrInterfaceDescriptor* out = mConfigurations.mpOutInterface;
    return isQuarnelBulkDevice() && in && in->getBulkInPipe() && out && out->getBulkOutPipe();
}

bool ZrDevice::isMerrowCompatibleWithRawMidi() const {
    return hasFeature(eSpecFeature_RawMidi);
}

bool ZrDevice::isMerrowCompatibleWithRegularMidi() const {
    return isListed(ZrProductList::RegularMidi) || !hasFeatures() ||
           hasFeature(eSpecFeature_RegularMidi);
}

bool ZrDevice::isMRW192Compatible() const {
    return !hasFeatures() || hasFeature(eSpecFeature_MRW192Compatible);
}

bool ZrDevice::isMRW30Compatible() const {
    return isListed(ZrProductList::MRW30);
}

bool ZrDevice::canHandleRequestsWhileStreaming() const {
    return !hasFeatures() || hasFeature(eSpecFeature_RequestsWhileStreaming);
}

bool ZrDevice::ajHasNoDigital() const {
    if (isListed(ZrProductList::MakerNoDigital)) return true;
    return hasFeatures() ? hasFeature(eSpecFeature_NoDigital)
                         : isListed(ZrProductList::LXNoDigital);
}

bool ZrDevice::setFreqOnOutPipe() const {
    return !hasFeatures() || hasFeature(eSpecFeature_SetFreqOnOutPipe);
}

bool ZrDevice::can192() const {
    return !hasFeatures() || hasFeature(eSpecFeature_Can192);
}

bool ZrDevice::preventUSB1Mode() const {
    return !hasFeatures() || hasFeature(eSpecFeature_PreventUSB1Mode);
}

QnChannelSettings& ZrDevice::getCurrentSettings() {
    return mpDriverSM ? mpDriverSM->mChannelSettings : gDefaultSettings;
}

QnAjExtData& ZrDevice::getAjExtData() {
    return mpDriverSM ? mpDriverSM->mAjExtData : gDefaultAjExtData;
}

uint32_t ZrDevice::getLocationID(IOUSBHostDevice* usbDevice) {
    if (!usbDevice) return 0;
    OSObject* o = usbDevice->copyProperty("locationID");
    OSNumber* n = OSDynamicCast(OSNumber, o);
    uint32_t id = n ? n->unsigned32BitValue() : 0;
    if (o) o->release();
    if (n) IOLog("locationID is %08X\n", id);
    // The host stack here publishes "locationID" on every port and offers no
    // bus address to fall back on: without the property the start fails.
    return id;
}

bool ZrDevice::onServiceStart(IOUSBHostDevice* usbDevice) {
    if (!usbDevice) return false;
    const uint8_t* desc = reinterpret_cast<const uint8_t*>(usbDevice->getDeviceDescriptor());
    if (createSharedAreas(desc) != kIOReturnSuccess) return false;
    if (publishDeviceIdentity(usbDevice, desc) != kIOReturnSuccess) return false;
    if (loadDescriptorModel() != kIOReturnSuccess) return false;
    applyInitialSettings();
    return startRealTime() == kIOReturnSuccess;
}

IOReturn ZrDevice::createSharedAreas(const uint8_t* desc) {
    if (!mDriverSMArea.init(sizeof(DriverSM))) return kIOReturnNoMemory;
    mpDriverSM = static_cast<DriverSM*>(mDriverSMArea.getMemory());
    if (!mpDriverSM) return kIOReturnNoMemory;
    // The descriptor corrections that read the shared settings need the area.
    mConfigurations.setSharedArea(mpDriverSM);
    if (!mAudioSMArea.init(kAudioSMTotalBytes)) return kIOReturnNoMemory;
    if (!mVendorAsyncPort.onInit() || !desc) return kIOReturnError;
    if (!mpDriverData) mpDriverData = DriverData::create(mpDriverSM);
    if (!mpDriverData) return kIOReturnNoMemory;
    return kIOReturnSuccess;
}

IOReturn ZrDevice::publishDeviceIdentity(IOUSBHostDevice* usbDevice, const uint8_t* desc) {
    DriverSM& sm = *mpDriverSM;
    USBByteBuffer raw(desc, 18);
    QN_DeviceDescriptor d;
    d.scan(raw);
    std::memset(&sm.mSorvikChannelMap, 0, sizeof sm.mSorvikChannelMap);
    sm.mVendor = d.m_uVendor;
    sm.mProduct = d.m_uProduct;

    sm.mMaxPacketSize0 = d.m_uMaxPacketSize;
    uint8_t speed = usbDevice->getSpeed();
    IOLog("ZrDevice::onServiceStart getSpeed returned %d\n", speed);
    sm.mSpeed = speed;
    sm.mManufacturerIndex = d.m_uManufacturerStringIndex;
    sm.mProductIndex = d.m_uProductStringIndex;
    sm.mSerialIndex = d.m_uSerialNumberStringIndex;
    sm.mNumConfigurations = d.m_uNumConfigurations;
    sm.mRelease = d.m_uBcdDevice;

    sm.mLocationID = getLocationID(usbDevice);
    if (sm.mLocationID == 0) return kIOReturnNoDevice;

    mIsUSB2 = speed >= 2;
    mIsUSB3 = speed >= 3;
    sm.mHighSpeed = mIsUSB2 ? 1 : 0;

    sm.mAjExtData.setDefaults();
    sm.mVersion = kDriverVersionWord;

    std::memset(sm.mVendorString, 0, sizeof sm.mVendorString);
    std::memset(sm.mProductString, 0, sizeof sm.mProductString);
    struct {
        uint8_t index;
        char* target;
        const char* log;
    } strings[] = {{d.m_uManufacturerStringIndex, sm.mVendorString, "vendor: %s\n"},
                   {d.m_uProductStringIndex, sm.mProductString, "product: %s\n"},
                   {d.m_uSerialNumberStringIndex, sm.mSerialString, "serial: %s\n"}};
    for (auto& s : strings) {
        if (s.index == 0) continue;
        // The stack keeps each string in a zeroed 256-byte block, so reading
        // up to its length byte never passes what it holds.
        if (const StandardUSB::StringDescriptor* sd =
                usbDevice->getStringDescriptor(s.index, 0x0409))
            copyUsbStringToCString(reinterpret_cast<const uint8_t*>(sd), 256, s.target, 256);
        IOLog(s.log, s.target);
    }

    driverOverwriteProductVendorStrings(sm.mVendorString, sm.mProductString, sm.mVendor,
                                        sm.mProduct);
    if (mCustomName[0]) {
        std::memset(sm.mProductString, 0, sizeof sm.mProductString);
        std::strncpy(sm.mProductString, mCustomName, sizeof sm.mProductString - 1);
    }
    return kIOReturnSuccess;
}

IOReturn ZrDevice::loadDescriptorModel() {
    DriverSM& sm = *mpDriverSM;
    mAJ.initializeSM();

    if (!readDeviceDescriptorWithRetries()) return kIOReturnNotResponding;

    sm.mConfigured = 0;
    sm.mNewConfigPending = 0;
    setDefaultChannelSettings(sm.mChannelSettings);
    sm.mAjExtData.setDefaults();

    USBByteBuffer scanBuf(sm.mDescriptor, 18);
    scanDeviceDescriptor(scanBuf);
    mConfigurations.setIdentity(mDescriptor.m_uVendor, mDescriptor.m_uProduct,
                                mDescriptor.m_uBcdDevice, &mFeatures,
                                mDescriptor.m_uNumConfigurations);
    mConfigurations.setIsUSB2Device(mIsUSB2);
    shareTransportKind();
    if (!mIsUSB2 && mDescriptorMarksBadFrame) setBadFrameNumber();
    scanFirmwareVersion();

    if (mHasSpecificFeatures && mFeatures.hasFlag(eSpecFeature_RawMidi) && isMerrowCompatible()) {
        if (!mpUSBMidiDevice) mpUSBMidiDevice = new USBMidiDevice(&mService);
        if (!mpUSBMidiDevice->init(mIsUSB2, &sm)) return kIOReturnError;
        setDefaultChannelSettings(sm.mChannelSettings);
    }
    return kIOReturnSuccess;
}

void ZrDevice::applyInitialSettings() {
    if (mInitialSettings.mFullSpeedIn.mBitResolution != 0) {
        const APIStreamingInfo& in =
            mIsUSB2 ? mInitialSettings.mHighSpeedIn : mInitialSettings.mFullSpeedIn;
        const APIStreamingInfo& out =
            mIsUSB2 ? mInitialSettings.mHighSpeedOut : mInitialSettings.mFullSpeedOut;
        QnChannelSettings& cs = mpDriverSM->mChannelSettings;
        cs.Frequency = in.mLowerRate;
        cs.InResolution = in.mBitResolution;
        cs.OutResolution = out.mBitResolution;
        cs.InChannels = in.mChannels;
        cs.OutChannels = out.mChannels;
        cs.Configuration = 0;
        IOLog("Frequency %u\n", cs.Frequency);
        IOLog("InResolution %u\n", cs.InResolution);
        IOLog("OutResolution %u\n", cs.OutResolution);
        IOLog("InChannels %u\n", cs.InChannels);
        IOLog("OutChannels %u\n", cs.OutChannels);
    }
}

IOReturn ZrDevice::startRealTime() {
    DriverSM& sm = *mpDriverSM;
    std::memcpy(sm.mModelName, sm.mProductString, sizeof sm.mModelName);
    sm.mModelName[sizeof sm.mModelName - 1] = 0;
    std::snprintf(sm.mDeviceUID, sizeof sm.mDeviceUID, "VID_%04X_PID_%04X_BUS_%08X", sm.mVendor,
                  sm.mProduct, sm.mLocationID);

    createConfigControls();

    mInputRing.bind(static_cast<AudioSM*>(mAudioSMArea.getMemory()), AudioSMGeometry{});
    mIsocStreaming.attach(mpDriverData, &mInputRing, &mFramePattern);
    if (!mRTThread.create(&mIsocStreaming)) return kIOReturnNoResources;
    mRTThreadRunning = true;
    return kIOReturnSuccess;
}

bool ZrDevice::readDeviceDescriptorWithRetries() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) IOSleep(50);
        uint32_t length = 18;
        if (mService.deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, kUsbGetDescriptor,
                                      kUsbDeviceDescriptorValue, 0, mpDriverSM->mDescriptor, length,
                                      5) == 0)
            return true;
    }
    return false;
}

bool ZrDevice::scanDeviceDescriptor(USBByteBuffer& buffer) {
    mDescriptor.scan(buffer);
    mTraits =
        ZrReadDeviceTraits(mDescriptor.m_uVendor, mDescriptor.m_uProduct, mDescriptor.m_uBcdDevice);
    // This device only runs at 2 + 2 channels of 16 bits up to 48 kHz: the
    // settings it starts with say so (a device without a shared area has
    // none to change).
    if (mpDriverSM && !mDescriptorScanned && isListed(ZrProductList::Stereo16Only)) {
        QnChannelSettings& cs = mpDriverSM->mChannelSettings;
        cs.InChannels = 2;
        cs.OutChannels = 2;
        cs.InResolution = 16;
        cs.OutResolution = 16;
        if (cs.Frequency > 48000) cs.Frequency = 44100;
        cs.Configuration = 0;
    }
    mDescriptorScanned = true;
    readSorvikIdentity();
    initDeviceSpecificData();
    mAJ.onDeviceDescriptorScanned();
    return true;
}

void ZrDevice::initDeviceSpecificData() {
    mDeviceData.mClockSourceAvailable[0] = 1;
    mDeviceData.mClockSourceAvailable[1] = 1;
    mDeviceData.mClockSourceAvailable[2] = 0;
    mDeviceData.mEnabled = 1;
    mDeviceData.mUSB3 = mIsUSB3;
    mDeviceData.mInputChannels = 2;
    mDeviceData.mOutputChannels = 2;
    mDeviceData.mStartupWaitMs = 0;
}

void ZrFirmwareChannelCounts(const uint8_t reply[5], uint32_t& inputs, uint32_t& outputs) {
    outputs = std::min(uint32_t(reply[3] & 0x7F) * 2, 16u);
    inputs = std::min(uint32_t(reply[4] & 0x7F) * 2, 32u);
}

void ZrDevice::scanFirmwareVersion() {
    mFirmwareVersion = 0;
    if (!isMerrowCompatible() && !isListed(ZrProductList::FirmwareVersionAlways)) return;
    uint8_t b[8] = {};
    uint32_t length = sizeof b;
    if (mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqFirmwareVersion, 0, 0,
                                  b, length, 5) == 0)
        mFirmwareVersion = uint32_t(b[0]) | uint32_t(b[2] % 10) << 8 | uint32_t(b[2] / 10) << 16 |
                           uint32_t(b[1]) << 24;

    if (hasFeature(eSpecFeature_FirmwareChannelCounts) ||
        isListed(ZrProductList::FirmwareChannelCounts)) {
        uint8_t reply[5] = {};
        uint32_t n = sizeof reply;
        // A short answer keeps the counts: bytes 3 and 4 must have come.
        if (mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqFirmwareVersion,
                                      0, 0, reply, n, 5) == 0 &&
            n == sizeof reply) {
            uint32_t ins = 0, outs = 0;
            ZrFirmwareChannelCounts(reply, ins, outs);
            mDeviceData.mInputChannels = ins;
            mDeviceData.mOutputChannels = outs;
            // The descriptor model and the features record take the counts
            // the device reported.
            DeviceSpecificData& shared = mConfigurations.getDeviceSpecificData();
            shared.mInputChannels = ins;
            shared.mOutputChannels = outs;
            mFeatures.mFullSpeedIn.mChannels = mFeatures.mHighSpeedIn.mChannels = uint8_t(ins);
            mFeatures.mFullSpeedOut.mChannels = mFeatures.mHighSpeedOut.mChannels = uint8_t(outs);
        }
    }

    // The listed products carry the version text whether or not their
    // features record asks for it.
    if (hasFeature(eSpecFeature_FirmwareVersionString) ||
        isListed(ZrProductList::FirmwareVersionText)) {
        std::memset(mFirmwareBuffer, 0, sizeof mFirmwareBuffer);
        uint32_t n = 15;
        mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqFirmwareVersion, 0, 0,
                                  mFirmwareBuffer, n, 5);
        mFirmwareBuffer[15] = 0;
    }
}

void ZrDevice::doDelay(uint32_t ms) {
    IOSleep(ms);
}

bool ZrDevice::sendSetPicCommand(uint8_t cmd) {
    if (!isListed(ZrProductList::PicCommands)) return false;
    uint32_t length = 1;
    return mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqPicSet, kPicValue,
                                     kPicSetIndex, &cmd, length, 5) == 0;
}

bool ZrDevice::sendGetPicCommand(uint8_t cmd) {
    if (!isListed(ZrProductList::PicCommands)) return false;
    uint32_t length = 1;
    return mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqPicGet, kPicValue,
                                     0, &cmd, length, 5) == 0;
}

bool ZrDevice::sendPicCommand(uint8_t cmd) {
    if (!isListed(ZrProductList::PicCommands)) return false;
    // The microcontroller needs time to take the command before it answers.
    bool got = false;
    for (int round = 0; round < 5 && !got; ++round) {
        const bool set = sendSetPicCommand(cmd);
        IOSleep(20);
        if (set) {
            got = sendGetPicCommand(cmd);
            IOSleep(10);
        }
    }
    return got;
}

void ZrDevice::initialSettings(const APISpecificFeatures* features) {
    if (!features) return;
    std::memcpy(&mInitialSettings, features, sizeof mInitialSettings);
    std::memcpy(&mFeatures, features, sizeof mFeatures);
    IOLog("%s using plist\n", "void ZrDevice::initialSettings(APISpecificFeatures *)");
    mHasSpecificFeatures = true;
}

void ZrDevice::setCustomName(const char* text) {
    std::memset(mCustomName, 0, sizeof mCustomName);
    if (text) std::strncpy(mCustomName, text, 64); // byte 64 stays 0: always terminated
}

void ZrDevice::stcNotify(uint32_t code, uint32_t param1) {
    mService.messageToClients(code, 0, int(param1), 0);
}

void ZrDevice::stcNotifyStreaming(uint32_t code, uint32_t param1) {
    // One stream-broken word, the transport's: set here when clear, claimed
    // by recovery's stage 1.
    if (code == STC_STREAM_BROKEN || code == STC_SystemWakeUp) mIsocStreaming.markStreamBroken();
    stcNotify(code, param1);
}

void ZrDevice::stcNotifyFromClient(uint32_t code, uint64_t client, uint32_t param1) {
    mService.messageToClients(code, client, int(param1), 0);
}

namespace {

// A u32 field of a user-writable block, read once.
uint32_t readShared(const uint32_t& field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

} // namespace

bool ZrDevice::takeClientControls() {
    if (!mpDriverSM) return false;
    std::memcpy(&mPrivateControls, &mpDriverSM->mControls, sizeof mPrivateControls);
    // The shared block shows again what the device has until the apply
    // writes the new state.
    std::memcpy(&mpDriverSM->mControls, &mCurrentControls, sizeof mpDriverSM->mControls);
    setSelectors(mPrivateControls);
    return true;
}

void ZrDevice::UpdateMuteStatus(uint64_t client) {
    if (takeClientControls()) stcNotifyFromClient(STC_MuteChanged, client);
}

void ZrDevice::UpdateDataSourceSelector(uint64_t client) {
    takeClientControls();
    stcNotifyFromClient(STC_ChangeDataSource, client);
}

void ZrDevice::UpdateVolumeStatus(bool skip, uint64_t client) {
    if (!skip) takeClientControls();
    stcNotifyFromClient(STC_VolumeChanged, client);
}

void ZrDevice::UpdateMonitorStatus(int value, uint64_t client) {
    if (!mpDriverSM) return;
    // Decide on the copy that is applied, not on bytes a client can still
    // change.
    XsDeviceControls written;
    std::memcpy(&written, &mpDriverSM->mControls, sizeof written);
    if (!written.mHasMonitor || written.mMonitorValue == uint32_t(value)) return;
    mPrivateControls = written;
    mPrivateControls.mMonitorValue = uint32_t(value);
    setSelectors(mPrivateControls);
    stcNotifyFromClient(STC_MonitorChanged, client);
}

void ZrDevice::UpdateTolvaneRouting(int value, uint64_t client) {
    (void)client; // routing changes are not announced
    if (!mpDriverSM || !isListed(ZrProductList::Tolvane)) return;
    XsDeviceControls written;
    std::memcpy(&written, &mpDriverSM->mControls, sizeof written);
    if (written.mRoutingValue == uint32_t(value)) return;
    mPrivateControls = written;
    mPrivateControls.mRoutingValue = uint32_t(value);
    setSelectors(mPrivateControls);
}

bool ZrDevice::getCanMonitor() const {
    return mpDriverSM && readShared(mpDriverSM->mControls.mHasMonitor) != 0;
}

uint32_t ZrDevice::getMonitorValue() const {
    if (!mpDriverSM || !readShared(mpDriverSM->mControls.mHasMonitor)) return 0;
    return readShared(mpDriverSM->mControls.mMonitorValue);
}

uint32_t ZrDevice::getTolvaneRoutingValue() const {
    if (!mpDriverSM || !isListed(ZrProductList::Tolvane)) return 0;
    return readShared(mpDriverSM->mControls.mRoutingValue);
}

void ZrDevice::deviceSettingsLoadControls(XsDeviceControls& controls, uint16_t, uint16_t) const {
    if (mSettingsSaved) std::memcpy(&controls, &mSavedControls, sizeof controls);
}

void ZrDevice::setHALVersion(uint32_t v) {
    uint32_t expected = 0;
    __atomic_compare_exchange_n(&mHALVersion, &expected, v, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
}

void ZrDevice::storeSettings() {
    if (!mpDriverSM) return;
    mSettingsSaved = true;
    std::memcpy(&mSavedControls, &mpDriverSM->mControls, sizeof mSavedControls);
}

void ZrDevice::initFirmwareUpdateMode() {
    if (getFwUpdaterState() == kFwUpdaterActive) return;
    IOLog("enter firmware update mode");
    setFwUpdaterState(kFwUpdaterActive);
    stcNotify(STC_FirmwareUpdateMode, 0);
    stopStreaming(true);
}

bool ZrDevice::scanConfigurationDescriptors(USBByteBuffer& buffer) {
    return mConfigurations.scanConfigurationDescriptors(buffer);
}

bool ZrDevice::buildInternalAPIDeviceInfo() {
    APIDeviceInfo* info = getAPIDeviceInfoPtr();
    if (!info) return false;
    mConfigurations.setConfigurationCount(uint8_t(mConfigurationCount));
    mConfigurations.getAPIDeviceInfo(*info);
    return true;
}

void ZrDevice::Trunk2Interfaces::Entry::close() {
    if (mpIF) {
        if (mpOpener) mpIF->close(mpOpener);
        mpIF->release();
    }
    mpIF = nullptr;
    mpOpener = nullptr;
}

bool ZrDevice::Trunk2Interfaces::add(IOUSBHostInterface* intf, IOService* opener) {
    static const char* const kSig =
        "bool ZrDevice::Trunk2Interfaces::add(IOUSBHostInterface *, IOService *)";
    if (!intf) {
        IOLog("Unexpected: %s pIF is NULL\n", kSig);
        return false;
    }
    const StandardUSB::InterfaceDescriptor* desc = intf->getInterfaceDescriptor();
    if (!desc) {
        IOLog("Unexpected: %s pDesc is NULL\n", kSig);
        return false;
    }
    int n = desc->bInterfaceNumber;
    if (n >= kCount) {
        IOLog("Unexpected: %s pDesc->bInterfaceNumber:%d out of range\n", kSig, n);
        return false;
    }
    if (!mEntry[n].isFree()) {
        IOLog("Unexpected: %s mEntry[ifNum:%d].isFree() returned false\n", kSig, n);
        return false;
    }
    intf->retain();
    mEntry[n].mpIF = intf;
    mEntry[n].mpOpener = opener;
    if (opener) intf->open(opener, 0);
    IOLog("Success: %s mEntry[ifNum:%d]\n", kSig, n);
    return true;
}

bool ZrDevice::Trunk2Interfaces::setIfAlt(int nInterface, int alternate) {
    static const char* const kSig = "bool ZrDevice::Trunk2Interfaces::setIfAlt(int, int)";
    if (nInterface < 0 || nInterface >= kCount) {
        IOLog("Unexpected: %s nInterface:%d out of range\n", kSig, nInterface);
        return false;
    }
    IOUSBHostInterface* intf = mEntry[nInterface].mpIF;
    if (!intf) {
        IOLog("Unexpected: %s mpIF is NULL\n", kSig);
        return false;
    }
    return intf->selectAlternateSetting(uint8_t(alternate)) == kIOReturnSuccess;
}

void ZrDevice::Trunk2Interfaces::close(int nInterface) {
    if (nInterface >= 0 && nInterface < kCount) mEntry[nInterface].close();
}

void ZrDevice::Trunk2Interfaces::closeAll() {
    for (Entry& e : mEntry)
        e.close();
}

void ZrDevice::stopRealtimeThread() {
    if (mRTThreadRunning) mRTThread.term();
    mRTThreadRunning = false;
}

void ZrDevice::detachAllClients() {
    if (mpDriverData) mpDriverData->detachAllClients();
}

void ZrDevice::terminateIsocRqBs() {
    mIsocStreaming.stopTransport(true);
    mIsocStreaming.inputRing().term();
    mIsocStreaming.outputRing().term();
    mIsocStreaming.keepAliveRing().term();
}

void ZrDevice::releaseForTeardown() {
    mVendorAsyncPort.abortOwner(true);
    mVendorAsyncPort.closeOwner(true);
    terminateIsocRqBs();
    mBulkStreaming.stop(true);
    mBulkStreaming.release();
    terminateBulkRqBs(mBulkRqBsIn);
    terminateBulkRqBs(mBulkRqBsOut);
    terminateInterruptRqBs(mInterruptRqBsIn);
    terminateInterruptRqBs(mInterruptRqBsOut);
}

void ZrDevice::releaseIsocPipes() {
    mIsocStreaming.stopTransport(true);
    mIsocStreaming.inPipe().bind(nullptr);
    mIsocStreaming.outPipe().bind(nullptr);
    mIsocStreaming.keepAlivePipe().bind(nullptr);
    // The feedback pipe goes with them: a later stop must not abort it.
    mIsocStreaming.configureFeedback(nullptr);
}

void ZrDevice::powerDownRequests() {
    uint32_t length = 0;
    if (isMerrowCompatible() && !isMRW192Compatible() && !isMRW30Compatible()) {
        IOLog("ZrDevice::handleStreamBroken stage mbWasPowerDownMode && isMerrowCompatible()\n");
        IOSleep(50);
        for (uint16_t alternate : {0, 1})
            mService.deviceRequestStd(kDirOut, kLevelStandard, kRecipientDevice, kUsbSetInterface,
                                      alternate, 1, nullptr, length, 0);
    } else if (mConfigurations.getIds().traits().isFarlane2()) {
        IOLog("ZrDevice::handleStreamBroken stage mbWasPowerDownMode && isSorvikFarlane2()\n");
        IOSleep(50);
        mService.deviceRequestStd(kDirOut, kLevelStandard, kRecipientDevice, kUsbSetConfiguration,
                                  0, 0, nullptr, length, 0);
    }
}

bool ZrDevice::handleStreamBroken(int stage) {
    return ::handleStreamBroken(stage, mIsocStreaming, mbWasPowerDownMode, mStreamHost);
}

bool ZrDevice::StreamHost::lockInputRing() {
    return mDevice.mAudioSMArea.lock() != nullptr;
}

void ZrDevice::StreamHost::unlockInputRing() {
    mDevice.mAudioSMArea.unlock();
}

void ZrDevice::StreamHost::unconfigureDevice(const char* reason) {
    mDevice.mService.unconfigure_Device(reason);
}

uint8_t ZrDevice::StreamHost::digitalLock() {
    return mDevice.mpDriverSM
               ? __atomic_load_n(&mDevice.mpDriverSM->mAjExtData.mDigitalLock, __ATOMIC_RELAXED)
               : 0;
}

bool ZrDevice::StreamHost::prepareNewConfig() {
    const QnChannelSettings current = mDevice.getCurrentSettings();
    return mDevice.onPrepareNewConfig(current, 0, true);
}

void ZrDevice::StreamHost::reinitClientsForStreaming() {
    if (mDevice.mpDriverData)
        mDevice.mpDriverData->reinitClientsForStreaming(mDevice.getCurrentSettings(),
                                                        mDevice.clientRingExtraBytes());
}

void ZrDevice::terminate() {
    // Nothing streams into areas that go below, nor through pipes that close.
    releaseIsocPipes();
    stopRealtimeThread();
    mAJ.term();
    if (mpUSBMidiDevice) {
        mpUSBMidiDevice->stop();
        mpUSBMidiDevice->term();
        mpUSBMidiDevice->release();
        mpUSBMidiDevice = nullptr;
    }
    mBindings.closeAll();
    // The choices hold the client mixer: they go first.
    mpConfigControls.reset();
    if (mpDriverData) {
        mpDriverData->sharedMemoryDestroyed();
        mpDriverData->release();
        mpDriverData = nullptr;
    }
    mConfigurations.setSharedArea(nullptr);
    mpDriverSM = nullptr;
    mDriverSMArea.term(true);
    mInputRing.unbind();
    mAudioSMArea.term(true);
    mVendorAsyncPort.onTerm();
    if (mpDeviceInfo) {
        memFree(mpDeviceInfo, kDeviceInfoSize);
        mpDeviceInfo = nullptr;
        terminateIsocRqBs();
    }
}

void ZrDevice::onClientClosed(const IOUserClient* client, int64_t hogId) {
    const uint64_t clientId = client ? mService.clientIdentifier(client) : 0;
    if (!clientId) return;
    // A closing client loses what it owned; the shared words follow.
    bool changed = false;
    for (uint64_t* owner : {&mInputsOwner, &mOutputsOwner, &mPrivateDataOwner}) {
        uint64_t expected = clientId;
        changed |= __atomic_compare_exchange_n(owner, &expected, uint64_t(0), false,
                                               __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    if (changed) publishOwners();
    if (!mpDriverSM) return;
    // Only the audio client can own the vendor port.
    if (const auto* owner = dynamic_cast<const VendorAsyncClient*>(client))
        vendorPortClose(const_cast<VendorAsyncClient*>(owner), true);
    // The hog owner is the identifier the client registered with the driver.
    if (hogId != -1 && mHogOwner != -1 && int64_t(mHogOwner) == hogId) {
        mHogOwner = -1;
        stcNotify(STC_HogOwnerChanged, 0);
    }
}
