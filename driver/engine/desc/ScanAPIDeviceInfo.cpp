#include "driver/engine/desc/ScanAPIDeviceInfo.h"

#include "abi/DeviceFamilies.h"

namespace {

constexpr uint32_t kLowestRate = 8000;
constexpr uint32_t kHighestRate = 384000;

bool directionMatches(const APIDeviceInfo& info, const APIInterfaceInfo& iface,
                      const APIInterfaceAlternateInfo& alt, const APIEndpointInfo& ep,
                      uint32_t quirks, bool output) {
    const APISpecificFeatures& f = info.mFeatures;
    if (f.mLoaded) {
        return output ? (iface.mInterfaceNumber == f.mOutInterface &&
                         alt.mAlternateSetting == f.mOutAlternate)
                      : (iface.mInterfaceNumber == f.mInInterface &&
                         alt.mAlternateSetting == f.mInAlternate);
    }
    bool in = (ep.bEndpointAddress & 0x80) != 0;
    // Fixed layouts (the family table user space reads too): the entry
    // decides, whatever the endpoint.
    if (DeviceFamilies::contains(DeviceFamilies::kHX5100Group, info.mVendor, info.mProduct,
                                 info.mRelease))
        return alt.mAlternateSetting == 2 && iface.mInterfaceNumber == (output ? 1 : 2);
    if (DeviceFamilies::contains(DeviceFamilies::kInterfaceZeroOneGroup, info.mVendor,
                                 info.mProduct, info.mRelease))
        return alt.mAlternateSetting == 1 && iface.mInterfaceNumber == (output ? 0 : 1);
    if (!output && (quirks & kQuirkInputOn1))
        return iface.mInterfaceNumber == 1 && in && (ep.wMaxPacketSize & 0x7FF) >= 4;
    return in == !output && (ep.wMaxPacketSize & 0x7FF) >= 4;
}

} // namespace

APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configuration,
                                          uint32_t rate, uint8_t bits, uint8_t channels,
                                          bool discreteOnly, bool output) {
    return scanAPIDeviceInfo(info, ZrReadDeviceTraits(info.mVendor, info.mProduct, info.mRelease),
                             configuration, rate, bits, channels, discreteOnly, output);
}

APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, const ZrDeviceTraits& traits,
                                          uint32_t configuration, uint32_t rate, uint8_t bits,
                                          uint8_t channels, bool discreteOnly, bool output) {
    APIDeviceInfoScanResult result{};
    result.mRate = rate;
    result.mBits = bits;
    result.mChannels = channels;
    unsigned configs = info.mNumConfigurations < 4 ? info.mNumConfigurations : 4;
    // A rate no device can run never matches, even a zeroed rate slot.
    if (configuration >= configs || rate < kLowestRate || rate > kHighestRate) return result;
    const APIConfigInfo& config = info.mConfigurations[configuration];
    unsigned interfaces = config.mNumInterfaces < 16 ? config.mNumInterfaces : 16;
    for (unsigned i = 0; i < interfaces; ++i) {
        const APIInterfaceInfo& iface = config.mInterfaces[i];
        unsigned alternates = iface.mNumAlternates < 16 ? iface.mNumAlternates : 16;
        for (unsigned a = 0; a < alternates; ++a) {
            const APIInterfaceAlternateInfo& alt = iface.mAlternates[a];
            unsigned endpoints = alt.mNumEndpoints < 4 ? alt.mNumEndpoints : 4;
            if (endpoints == 0 || !alt.mStreaming.can(channels, bits, rate, discreteOnly)) continue;
            for (unsigned e = 0; e < endpoints; ++e) {
                if (!directionMatches(info, iface, alt, alt.mEndpoints[e], traits.descriptorQuirks,
                                      output))
                    continue;
                result.mFound = 1;
                result.mConfiguration = uint16_t(configuration);
                result.mInterface = uint16_t(i);
                result.mAlternate = uint16_t(a);
                return result;
            }
        }
    }
    return result;
}
