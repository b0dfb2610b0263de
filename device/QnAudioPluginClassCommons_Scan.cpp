// The user-space scan of the device description: which alternate setting of
// a configuration carries a format in one direction. The description comes
// from another process, so every count is capped.
#include "abi/DeviceFamilies.h"
#include "device/QnAudioPluginClassCommons.h"

using namespace DeviceFamilies;

namespace {

bool isListedBulk(const APIDeviceInfo& info) {
    if (contains(kQuarnelBulk, info.mVendor, info.mProduct)) return true;
    return info.mFeatures.mLoaded && info.mFeatures.hasFlag(eSpecFeature_QuarnelBulk);
}

// -1: the setting does not carry the direction (rules 1 to 3 decide by the
// setting alone), 0: this endpoint does not, 1: it does.
int fixedLayout(const APIDeviceInfo& info, const APIInterfaceInfo& iface,
                const APIInterfaceAlternateInfo& alt, bool isOutput) {
    const APISpecificFeatures& f = info.mFeatures;
    if (f.mLoaded)
        return isOutput ? iface.mInterfaceNumber == f.mOutInterface &&
                              alt.mAlternateSetting == f.mOutAlternate
                        : iface.mInterfaceNumber == f.mInInterface &&
                              alt.mAlternateSetting == f.mInAlternate;
    if (contains(kInterfaceZeroOneGroup, info.mVendor, info.mProduct, info.mRelease))
        return iface.mInterfaceNumber == (isOutput ? 0 : 1) && alt.mAlternateSetting == 1;
    if (contains(kHX5100Group, info.mVendor, info.mProduct, info.mRelease))
        return iface.mInterfaceNumber + (isOutput ? 1 : 0) == 2 && alt.mAlternateSetting == 2;
    return -1;
}

bool endpointMatches(const APIDeviceInfo& info, const APIInterfaceInfo& iface,
                     const APIEndpointInfo& ep, bool isOutput) {
    unsigned packet = ep.wMaxPacketSize & 0x7FF;
    bool in = (ep.bEndpointAddress & 0x80) != 0;
    if (!isOutput && iface.mInterfaceNumber != 1 && isListedBulk(info)) packet = 0;
    if (packet < 4) return false;
    return isOutput ? !in : in;
}

} // namespace

APIDeviceInfoScanResult
QnAudioPluginClassCommons::scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configuration,
                                             uint32_t rate, uint32_t resolution, uint32_t channels,
                                             bool discreteOnly, bool isOutput) {
    APIDeviceInfoScanResult result{};
    result.mRate = rate;
    result.mBits = uint8_t(resolution);
    result.mChannels = uint8_t(channels);
    // Never narrowed: 258 channels must not match stereo.
    if (resolution > 255 || channels > 255) return result;
    unsigned configs = info.mNumConfigurations < 4 ? info.mNumConfigurations : 4;
    if (configuration >= configs) return result;
    const APIConfigInfo& config = info.mConfigurations[configuration];
    unsigned interfaces = config.mNumInterfaces < 16 ? config.mNumInterfaces : 16;
    for (unsigned i = 0; i < interfaces; ++i) {
        const APIInterfaceInfo& iface = config.mInterfaces[i];
        unsigned alternates = iface.mNumAlternates < 16 ? iface.mNumAlternates : 16;
        for (unsigned a = 0; a < alternates; ++a) {
            const APIInterfaceAlternateInfo& alt = iface.mAlternates[a];
            if (!alt.mStreaming.can(uint8_t(channels), uint8_t(resolution), rate, discreteOnly))
                continue;
            unsigned endpoints = alt.mNumEndpoints < 4 ? alt.mNumEndpoints : 4;
            int layout = fixedLayout(info, iface, alt, isOutput);
            for (unsigned e = 0; e < endpoints; ++e) {
                bool match = layout >= 0
                                 ? layout == 1
                                 : endpointMatches(info, iface, alt.mEndpoints[e], isOutput);
                if (!match) continue;
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
