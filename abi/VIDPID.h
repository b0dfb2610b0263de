// A USB device's identity (vendor, product, release) with a pointer to the
// product's specific features, and the small helpers both the kernel driver
// and user space share.
#pragma once

#include <cstdint>

struct APISpecificFeatures;
struct APIDeviceInfoScanResult;

class VIDPID {
public:
    VIDPID(uint16_t vendor, uint16_t product, uint16_t release, const APISpecificFeatures* features)
        : mVendor(vendor), mProduct(product), mRelease(release), mpFeatures(features) {}

    // Release 0xFFFF matches any stored release.
    bool isDevice(uint16_t vendor, uint16_t product, uint16_t release = 0xFFFF) const {
        return vendor == mVendor && product == mProduct &&
               (release == 0xFFFF || release == mRelease);
    }

    // The Sorvik vendor with one of its four first-generation Farlane
    // products, any release.
    bool isSorvikFarlane1() const;

    uint16_t vendor() const { return mVendor; }
    uint16_t product() const { return mProduct; }
    uint16_t release() const { return mRelease; }
    const APISpecificFeatures* features() const { return mpFeatures; }

private:
    uint16_t mVendor;
    uint16_t mProduct;
    uint16_t mRelease;
    const APISpecificFeatures* mpFeatures;
};

// Bytes per sample of a resolution: 16 → 2, 20 and 24 → 3, 32 → 4, else 0.
int getBytesFromBits(int bits);

// The USB bandwidth of a stream pair in bytes per millisecond (one frame):
// for each direction marked valid, bytes per sample x channels x rate / 1000
// (integer division per direction), summed.
int usbCalculateBandwidth(const APIDeviceInfoScanResult& input,
                          const APIDeviceInfoScanResult& output);
