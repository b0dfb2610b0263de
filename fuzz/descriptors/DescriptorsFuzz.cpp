// Feeds arbitrary configuration descriptor sets through the descriptor
// model, the synthesized formats, the interface choice and the device
// information scan. The first two bytes pick the identity the device
// claims (which decides the class corrections and synthesized formats),
// the link speed and the wanted channel setting.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/ScanAPIDeviceInfo.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"

using namespace ZrDescriptorProducts;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 2 + 4096) return 0;
    const uint8_t mode = data[0];
    const uint8_t want = data[1];
    // The set is copied so an out-of-bounds read lands outside the bytes
    // asan knows about.
    std::vector<uint8_t> set(data + 2, data + size);

    static constexpr struct {
        uint16_t vendor, product;
    } kIdentities[] = {
        {0x1234, 0x0001},
        {kKorvexVendor, kHX5100},
        {kKorvexVendor, kLX310},
        {kSorvikVendor, kSorvikFarlane1[0]},
        {kSorvikVendor, kSorvikFarlane2[0]},
        // Raw fix-ups, post-scan device information scans, a further attempt
        // with its own final-search start.
        {kMaravelVendorID, kMaravelM4ProductID},
        {kQuellVendorID, kQuellQ16ProductID},
        {kKestrelVendorID, kKestrelK2ProductID},
    };
    const auto& id = kIdentities[mode & 7];
    APISpecificFeatures features{};
    features.mLoaded = (mode & 8) != 0;
    features.mFlags[eSpecFeature_MerrowCompatible] = (mode & 16) != 0;
    features.mFlags[eSpecFeature_SynthesizedDescriptors] = (mode & 32) != 0;
    features.mFullSpeedIn.mBitResolution = (mode & 16) ? 24 : 0;
    features.mFullSpeedIn.mChannels = want & 7;
    features.mFullSpeedOut.mChannels = (want >> 3) & 7;
    features.mFullSpeedOut.mNumRates = 2;
    features.mFullSpeedOut.mRates[0] = 44100;
    features.mFullSpeedOut.mRates[1] = 48000;
    features.mHighSpeedIn = features.mFullSpeedIn;
    features.mHighSpeedOut = features.mFullSpeedOut;
    features.mInInterface = 2;
    features.mInAlternate = 2;
    features.mOutInterface = 1;
    features.mOutAlternate = want & 3;

    ZrDeviceConfigurations device;
    device.setIdentity(id.vendor, id.product, 0x0100, &features, 2);
    device.setIsUSB2Device((mode & 64) != 0);
    USBByteBuffer buf(set.data(), uint32_t(set.size()));
    device.scanConfigurationDescriptors(buf);
    // A second configuration from the tail of the same bytes.
    if (set.size() > 9) {
        USBByteBuffer tail(set.data() + set.size() / 2, uint32_t(set.size() - set.size() / 2));
        device.scanConfigurationDescriptors(tail);
    }

    static constexpr uint32_t kRates[] = {44100, 48000, 96000, 192000, 0, 32000, 400000, 8000};
    QnChannelSettings settings{kRates[want & 7],          uint32_t((want >> 3) & 7) * 2,
                               (want & 0x40) ? 24u : 16u, uint32_t((want >> 2) & 7) * 2,
                               (want & 0x80) ? 24u : 16u, uint32_t(mode >> 7)};
    device.findInterfacesInConfig(settings);

    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    device.getAPIDeviceInfo(*info);
    for (bool output : {false, true})
        scanAPIDeviceInfo(*info, 0, settings.Frequency, uint8_t(settings.InResolution),
                          uint8_t(settings.InChannels), (want & 1) != 0, output);
    device.disableAllByFrequency(48000);
    device.disableAllByResolution(16);
    device.disableAllByChannels(2);
    return 0;
}
