// The device object's class-compliant control block: applying a client's
// block, filling it after a configuration, and the one-off commands that
// ride on it (the Halvard Trunk start-ups, deep sleep).
//
// The block last applied lives here, privately. The shared area's blocks at
// 7028 and 10872 are published copies only: a client may rewrite them at any
// moment, so nothing is read back from them.

#include <cstring>
#include "driver/engine/ZrDeviceRequests.h"

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/ZrDeviceControls.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

namespace {} // namespace

bool ZrDevice::isHalvardTrunkProduct() const {
    return isListed(ZrProductList::HalvardControls);
}

void ZrDevice::getSelectors(XsDeviceControls& controls) const {
    std::memcpy(&controls, &mCurrentControls, sizeof controls);
}

void ZrDevice::setSelectors(const XsDeviceControls& controls) {
    XsDeviceControls requested;
    std::memcpy(&requested, &controls, sizeof requested);
    requested.mScratch = 0;
    bool modified = false;
    bool restart = false;
    const uint8_t oldOutSelector = mCurrentControls.cOut.iSelector;
    usbApplyDeviceControls(mService, mTraits, mCurrentControls, requested, modified, restart);
    // Values no request carries: the routing value of the one product whose
    // digital output it names.
    if (requested.mRoutingValue != mCurrentControls.mRoutingValue) {
        if (isListed(ZrProductList::Tolvane)) {
            uint32_t n = 0;
            const uint16_t index = requested.mRoutingValue ? 4 : 2;
            if (mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice,
                                          kReqRoutingSelect, 0, index, nullptr, n,
                                          kXsClassRequestTries - 1) == kIOReturnSuccess)
                modified = true;
            else
                requested.mRoutingValue = mCurrentControls.mRoutingValue;
        } else {
            requested.mRoutingValue = mCurrentControls.mRoutingValue;
        }
    }
    if (modified) {
        if (usbIsInterfaceSelectorDevice(mTraits) && requested.cOut.iSelector != oldOutSelector)
            usbApplyInterfaceSelector(requested);
        std::memcpy(&mCurrentControls, &requested, sizeof mCurrentControls);
        if (mpDriverSM)
            std::memcpy(&mpDriverSM->mControls, &mCurrentControls, sizeof mCurrentControls);
        IOLog("setSelectors bModified myControls.cOut.iSelector=%d\n",
              int(mCurrentControls.cOut.iSelector));
        mSettingsSaved = true;
        std::memcpy(&mSavedControls, &mCurrentControls, sizeof mSavedControls);
    }
    if (restart) {
        setStartPending(false);
        stopStreaming(true);
        terminateIsocRqBs();
        mService.unconfigureDevice(false, "usbApplyDeviceControls");
        if (isHalvardTrunkProduct()) {
            const QnChannelSettings settings = getCurrentSettings();
            const bool configured = onPrepareNewConfig(settings, 0, true);
            if (configured && mpDriverSM &&
                audiosm::load32(AUDIOSM_CAT(mpDriverSM, DriverSM, mConfigured), __ATOMIC_ACQUIRE)) {
                if (mpDriverData)
                    mpDriverData->reinitClientsForStreaming(getCurrentSettings(),
                                                            clientRingExtraBytes());
                startStreaming();
                mService.setChannelSettingsProperty();
                mService.setAjExtDataProperty();
                stcNotify(STC_NewConfig, 0);
            }
        }
    }
    if (mpDriverSM)
        std::memcpy(&mpDriverSM->mSavedControls, &mCurrentControls, sizeof mCurrentControls);
    IOLog("setSelectors out cControls.cOut.iSelector=%d\n", int(mCurrentControls.cOut.iSelector));
}

void ZrDevice::configureDeviceControls() {
    if (isMerrowCompatible()) return;
    // What the device has: read from it, never taken from the shared area.
    XsDeviceControls initial{};
    if (hasFeatures() && !hasFeature(eSpecFeature_MerrowCompatible))
        usbInitDeviceControls(mService, mTraits, initial);
    std::memcpy(&mCurrentControls, &initial, sizeof mCurrentControls);
    if (mpDriverSM) std::memcpy(&mpDriverSM->mControls, &mCurrentControls, sizeof mCurrentControls);
    // The saved settings go out again; without any, the device's own state
    // stands.
    XsDeviceControls wanted;
    std::memcpy(&wanted, &mCurrentControls, sizeof wanted);
    deviceSettingsLoadControls(wanted, mDescriptor.m_uVendor, mDescriptor.m_uProduct);
    bool changed = false;
    bool restart = false;
    usbApplyDeviceControls(mService, mTraits, mCurrentControls, wanted, changed, restart);
    if (changed) {
        // The configuration opened the first output's interface: a saved
        // choice of another one moves the output there, as a client's does.
        if (usbIsInterfaceSelectorDevice(mTraits) &&
            wanted.cOut.iSelector != mCurrentControls.cOut.iSelector)
            usbApplyInterfaceSelector(wanted);
        std::memcpy(&mCurrentControls, &wanted, sizeof mCurrentControls);
        if (mpDriverSM)
            std::memcpy(&mpDriverSM->mControls, &mCurrentControls, sizeof mCurrentControls);
    }
    if (mpDriverSM)
        std::memcpy(&mpDriverSM->mSavedControls, &mCurrentControls, sizeof mCurrentControls);
}

namespace {

// SET_CUR of a sampling frequency on an endpoint, 3 bytes.
IOReturn setEndpointRate(ZrKernelDeviceKorvexHX5100& service, uint8_t endpoint, uint32_t rate,
                         int retries) {
    uint8_t b[3] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)};
    uint32_t length = sizeof b;
    return service.deviceRequestStd(kDirOut, kLevelClass, kRecipientEndpoint, kZrSetCur,
                                    kZrSamplingFrequencyControl, endpoint, b, length, retries);
}

} // namespace

void ZrDevice::initHalVardTrunk() {
    // The input group's selector choosing its second endpoint is the
    // device's digital input: it is told so on its selector unit. The sync
    // selection's second source makes the endpoints follow the input clock
    // (rate 0).
    const uint32_t rate = getCurrentSettings().Frequency;
    if (mCurrentControls.cIn.iSelector == 2) {
        uint8_t b = 2;
        uint32_t length = 1;
        mService.deviceRequestStd(kDirOut, kLevelClass, kRecipientInterface, kZrSetCur, 0, 0x500,
                                  &b, length, 5);
    }
    const uint32_t second = mCurrentControls.cSync.mSelection == 2 ? 0 : rate;
    for (ZrPipeDescriptor* pipe : {mPipes[ZrPipeSlot::InIsoc], mPipes[ZrPipeSlot::OutIsoc]}) {
        if (!pipe || pipe->getAddress() == 0) continue;
        setEndpointRate(mService, pipe->getAddress(), rate, 5);
        setEndpointRate(mService, pipe->getAddress(), second, 5);
    }
}

void ZrDevice::initHalVardTrunk2() {
    static const char* const kSig = "void ZrDevice::initHalVardTrunk2()";
    IOLog("%s", kSig);
    IOSleep(300);
    if (getAjExtData().mClockSource != 0)
        IOLog("%s select spdif\n", kSig);
    else
        IOLog("%s select analog\n", kSig);
    const uint32_t rate = getCurrentSettings().Frequency;
    const uint8_t endpoints[] = {0x03, 0x85, 0x86, 0x85};
    for (size_t i = 0; i < sizeof endpoints; ++i) {
        if (i > 0) IOSleep(2);
        setEndpointRate(mService, endpoints[i], rate, 0);
    }
}

void ZrDevice::usbApplyInterfaceSelector(const XsDeviceControls& requested) {
    // The output stream moves to the chosen endpoint's interface: its pipe
    // is handed over while the stream is stopped.
    const int index = usbSelectorIndex(requested.cOut.iSelector);
    if (!index) return;
    const int number = int(mCurrentControls.cOut.mEndpoints[index - 1].mInterface);
    ZrConfigurationDescriptor* config = getConfigurationDescriptor(0);
    if (!config) {
        IOLog("found NO config!!!\n");
        return;
    }
    IOLog("found config %d, %d interfaces\n", int(config->getConfigurationValue()),
          config->getCountInterfaces());
    const uint32_t bits = getCurrentSettings().OutResolution;
    const int alternate = bits == 16 ? 1 : bits == 24 ? 2 : 0;
    IOLog("curAlternateNumber %d\n", alternate);
    const bool wasStreaming = isStreamingStarted();
    if (wasStreaming) {
        stopStreaming(true);
        IOSleep(100);
    }
    mIsocStreaming.stopTransport(true);
    mBindings.closePipe(mPipes[ZrPipeSlot::OutIsoc]);
    mPipes.set(ZrPipeSlot::OutIsoc, nullptr);
    mBindings.closeInterface(mConfigurations.mpOutInterface, true);
    mConfigurations.mpOutInterface = nullptr;
    // The closed pipe is gone with its alternate: the transport lets it go
    // now, so a move that fails below leaves no pipe behind to abort later.
    isocDataInitForPipe(mPipes[ZrPipeSlot::InIsoc], nullptr, getInputConverter());
    ZrInterfaceDescriptor* intf = config->getInterface(number);
    if (!intf) {
        IOLog("1624: No interface N. %d\n", number);
        return;
    }
    ZrInterfaceDescriptor* alt = intf->getAlternateSetting(alternate);
    if (!alt) {
        IOLog("1624: No interface %d for alternate %d\n", number, alternate);
        return;
    }
    mConfigurations.mpOutInterface = alt;
    const bool matched = mService.matchInterface(mConfigurations.mpOutInterface, true);
    IOLog("1624: matchInterface returned %d\n", matched ? 1 : 0);
    if (!matched) return;
    mPipes.set(ZrPipeSlot::OutIsoc, alt->getIsocOutPipe());
    IOLog("Set m_pcOutPipeIsoc for interface %p (%d)\n", static_cast<void*>(alt), number);
    if (!mPipes[ZrPipeSlot::OutIsoc] ||
        !mBindings.initPipe(mPipes[ZrPipeSlot::OutIsoc], "m_pcOutPipeIsoc")) {
        mPipes.set(ZrPipeSlot::OutIsoc, nullptr);
        return;
    }
    checkBandwidthForPipe(mPipes[ZrPipeSlot::OutIsoc], 0);
    // The input keeps its decoder; the output ring takes none.
    isocDataInitForPipe(mPipes[ZrPipeSlot::InIsoc], mPipes[ZrPipeSlot::OutIsoc],
                        getInputConverter());
    if (wasStreaming) startStreaming();
}

namespace {

// Level meters of other makers' products (their product rows name the set),
// chosen at every start. An input meter is taken only for the input channel
// count it reads, so a meter never reads past the frames it is given.
struct ClassMeterRow {
    ZrClassMeters set;
    bool highSpeedOnly;
    LevelProcessorFnc output;
    struct {
        uint32_t channels; // 0: any count
        LevelProcessorFnc meter;
    } inputs[2];
};

constexpr ClassMeterRow kClassMeterRows[] = {
    {ZrClassMeters::TwoChannel, false, LevelProcessor2CH, {{0, LevelProcessor2CH}, {}}},
    {ZrClassMeters::SixEight, false, LevelProcessor6CH, {{8, LevelProcessor8CH}, {}}},
    {ZrClassMeters::EightSixteen,
     true,
     LevelProcessor8CH,
     {{16, LevelProcessor16CH}, {10, LevelProcessor10CH}}},
    {ZrClassMeters::EightEighteen,
     true,
     LevelProcessor8CH,
     {{18, LevelProcessor18CH}, {16, LevelProcessor16CH}}},
};

} // namespace

void ZrDevice::chooseClassDeviceMeters(uint32_t inChannels, LevelProcessorFnc& input,
                                       LevelProcessorFnc& output) const {
    for (const ClassMeterRow& row : kClassMeterRows) {
        if (row.set != mTraits.row->classMeters) continue;
        if (row.highSpeedOnly && !mIsUSB2) return;
        output = row.output;
        for (const auto& in : row.inputs)
            if (in.meter && (in.channels == 0 || in.channels == inChannels)) {
                input = in.meter;
                break;
            }
        return;
    }
}

bool ZrDevice::sendDeepSleep() {
    if (!isMerrowCompatible()) return false;
    uint32_t length = 0;
    return mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqDeepSleep, 0, 0,
                                     nullptr, length, 5) == kIOReturnSuccess;
}
