// Sorvik devices: the channel map (which device channel feeds each host
// input and which one each host output plays to), a new channel
// configuration applied together with a map, and the device's UID and
// name.
//
// The map lives in the shared area and goes to the device as vendor
// requests on the chosen streaming interfaces; only the first generation
// takes a map. Both generations carry a UID and a name, read when the
// device descriptor is scanned. Without a shared area the map reads as
// zeros and setting one changes nothing.
#include <cstring>
#include "driver/engine/ZrDeviceRequests.h"

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint32_t kMappingRate = 48000;

} // namespace

bool ZrDevice::isSorvikMapCapable() const {
    return mTraits.isFarlane1();
}

bool ZrDevice::isSorvikNamed() const {
    return mTraits.isSorvik();
}

void ZrDevice::getSorvikChannelMap(QN_Sorvik_ChannelMap& map) const {
    if (mpDriverSM)
        std::memcpy(&map, &mpDriverSM->mSorvikChannelMap, sizeof map);
    else
        std::memset(&map, 0, sizeof map);
}

void ZrDevice::setSorvikChannelMap(const QN_Sorvik_ChannelMap& mapIn, bool send) {
    if (!isSorvikMapCapable() || !mpDriverSM) return;
    const QN_Sorvik_ChannelMap map = mapIn;
    std::memcpy(&mpDriverSM->mSorvikChannelMap, &map, sizeof map);
    if (send) sendSorvikChannelMap();
    const QnChannelSettings& s = getCurrentSettings();
    QN_Sorvik_ConfigAndMap shown{};
    shown.cConfig = {kMappingRate, s.InChannels, s.InResolution, s.OutChannels, s.OutResolution};
    shown.cMap = map;
    mService.setProperty("SorvikMapping", &shown, sizeof shown);
    stcNotify(STC_SorvikChannelMapChanged, 0);
}

void ZrDevice::sendSorvikChannelMap() {
    if (!mpDriverSM) return;
    QN_Sorvik_ChannelMap map;
    getSorvikChannelMap(map);
    auto send = [&](ZrInterfaceDescriptor* intf, const int32_t(&words)[8]) {
        if (!intf) return;
        // The device takes one byte per channel: the words' low bytes.
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i)
            bytes[i] = uint8_t(words[i]);
        uint32_t length = sizeof bytes;
        mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientInterface, kReqSorvikMap, 0,
                                  uint16_t(intf->getInterfaceNumber()), bytes, length, 2);
    };
    send(mConfigurations.mpInInterface, map.mEInputMap);
    send(mConfigurations.mpOutInterface, map.mEOutputMap);
}

void ZrDevice::getSorvikConfigAndChannelMap(QN_Sorvik_ConfigAndMap& out) {
    const QnChannelSettings& s = getCurrentSettings();
    out.cConfig = {s.Frequency, s.InChannels, s.InResolution, s.OutChannels, s.OutResolution};
    getSorvikChannelMap(out.cMap);
}

IOReturn ZrDevice::setSorvikConfigAndChannelMap(const QN_Sorvik_ConfigAndMap& cfg) {
    setSorvikChannelMap(cfg.cMap, false);
    if (mpDriverSM) {
        QnChannelSettings& s = mpDriverSM->mChannelSettings;
        s.Frequency = cfg.cConfig.samplerate;
        s.InChannels = cfg.cConfig.numInputs;
        s.InResolution = cfg.cConfig.bitsInput;
        s.OutChannels = cfg.cConfig.numOutputs;
        s.OutResolution = cfg.cConfig.bitsOutput;
    }
    // The second recovery stage configures the new settings with force and
    // restarts streaming; no break is declared for it.
    handleStreamBroken(2);
    return isConfigured() ? kIOReturnSuccess : kIOReturnError;
}

IOReturn ZrDevice::setSorvikDeviceName(const char* text) {
    if (!text) return kIOReturnBadArgument;
    size_t length = 0;
    while (length < 32 && text[length])
        ++length;
    if (length == 0 || length >= 32) return kIOReturnBadArgument;
    uint8_t name[32] = {};
    std::memcpy(name, text, length);
    uint32_t n = sizeof name;
    if (mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqSorvikName, 0, 0,
                                  name, n, 5) != kIOReturnSuccess)
        return kIOReturnSuccess; // the old name stays
    std::memcpy(mSorvikName, name, sizeof name);
    mService.setProperty("SorvikDeviceName", mSorvikName, sizeof mSorvikName);
    stcNotify(STC_SorvikNameChanged, 0);
    return kIOReturnSuccess;
}

// At the descriptor scan: the UID and the name, each zeroed when the read
// fails; the last byte received is the name's end.
void ZrDevice::readSorvikIdentity() {
    std::memset(mSorvikUID, 0, sizeof mSorvikUID);
    if (!isSorvikNamed()) return;
    uint32_t n = sizeof mSorvikUID;
    if (mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqSorvikUID, 0, 0,
                                  mSorvikUID, n, 5) != kIOReturnSuccess)
        std::memset(mSorvikUID, 0, sizeof mSorvikUID);
    uint32_t received = sizeof mSorvikName;
    if (mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqSorvikName, 0, 0,
                                  mSorvikName, received, 5) != kIOReturnSuccess) {
        std::memset(mSorvikName, 0, sizeof mSorvikName);
        received = 0;
    }
    mSorvikName[received ? received - 1 : sizeof mSorvikName - 1] = 0;
    mService.setProperty("SorvikUID", mSorvikUID, sizeof mSorvikUID);
    mService.setProperty("SorvikDeviceName", mSorvikName, sizeof mSorvikName);
}
