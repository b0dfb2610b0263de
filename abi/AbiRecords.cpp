#include <initializer_list>
#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/ProductIdentities.h"
#include "abi/VIDPID.h"

namespace {

constexpr uint32_t kLowestRate = 8000;
constexpr uint32_t kHighestRate = 384000;

bool isSupportedRate(uint32_t rate) {
    return rate >= kLowestRate && rate <= kHighestRate;
}

} // namespace

bool APIStreamingInfo::can(uint8_t channels, uint8_t bits, uint32_t rate, bool discreteOnly) const {
    // A rate outside what any device streams is no rate: disabled slots are
    // zeroed, so asking for 0 must not find them.
    if (!isSupportedRate(rate)) return false;
    if (mBitResolution != bits || mChannels != channels) return false;
    if (!mContinuous) {
        unsigned n = mNumRates < 16 ? mNumRates : 16;
        for (unsigned i = 0; i < n; ++i)
            if (mRates[i] == rate) return true;
        return false;
    }
    if (discreteOnly) return false;
    return mLowerRate <= rate && rate <= mUpperRate;
}

void QnAjExtData::setDefaults() {
    mClockSource = 0;
    mUSB1Mode = 0;
    mDigitalOutMode = 0;
    mDigitalOutSelector = 0;
    mRoutingIn[0] = 0;
    mRoutingIn[1] = 1;
    mRoutingIn[2] = 2;
    mRoutingOut[0] = 0;
    mRoutingOut[1] = 1;
}

QnAjExtData& QnAjExtData::validate() {
    if (mClockSource > 2) mClockSource = 0;
    if (mUSB1Mode > 1) mUSB1Mode = 0;
    if (mDigitalOutMode > 1) mDigitalOutMode = 0;
    return *this;
}

int getBytesFromBits(int bits) {
    switch (bits) {
    case 16:
        return 2;
    case 20:
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

bool VIDPID::isSorvikFarlane1() const {
    if (mVendor != kSorvikVendorID) return false;
    for (uint16_t product : kSorvikFarlane1ProductIDs)
        if (isDevice(kSorvikVendorID, product, 0xFFFF)) return true;
    return false;
}

int usbCalculateBandwidth(const APIDeviceInfoScanResult& input,
                          const APIDeviceInfoScanResult& output) {
    int total = 0;
    for (const APIDeviceInfoScanResult* r : {&input, &output}) {
        if (r->mFound & 1)
            total += int(int64_t(getBytesFromBits(r->mBits)) * r->mChannels * r->mRate / 1000);
    }
    return total;
}

// ---- Sorvik channel maps

namespace {

// One run of codes marking consecutive usage indices.
struct SorvikCodeRun {
    int32_t firstCode;
    int32_t lastCode;
    int firstIndex;
};

constexpr SorvikCodeRun kSorvikInputRuns[] = {{160, 161, 0}, {128, 131, 2}, {192, 193, 6}};
constexpr SorvikCodeRun kSorvikInputRunsWide[] = {{160, 161, 0}, {128, 135, 2}};
constexpr SorvikCodeRun kSorvikOutputRuns[] = {{32, 33, 0}, {0, 3, 2}};
constexpr SorvikCodeRun kSorvikOutputRunsWide[] = {{32, 33, 0}, {70, 71, 2}, {0, 7, 4}};

template <size_t N> int lookUpRun(const SorvikCodeRun (&runs)[N], int32_t code) {
    for (const SorvikCodeRun& r : runs)
        if (code >= r.firstCode && code <= r.lastCode) return r.firstIndex + (code - r.firstCode);
    return -1;
}

} // namespace

bool QN_Sorvik_ChannelMap::isHandled(uint16_t vendor, uint16_t product) {
    if (vendor != kSorvikVendorID) return false;
    for (uint16_t p : kSorvikFarlane1ProductIDs)
        if (p == product) return true;
    return false;
}

int QN_Sorvik_ChannelMap::usageIndex(bool isInput, int32_t code, uint16_t product) {
    const bool wide = product == 8;
    if (isInput)
        return wide ? lookUpRun(kSorvikInputRunsWide, code) : lookUpRun(kSorvikInputRuns, code);
    return wide ? lookUpRun(kSorvikOutputRunsWide, code) : lookUpRun(kSorvikOutputRuns, code);
}

void QN_Sorvik_ChannelMap::setDefaults(uint16_t vendor, uint16_t product) {
    if (!isHandled(vendor, product)) return;
    for (int k = 0; k < 8; ++k)
        mEInputMap[k] = mEOutputMap[k] = kNoChannel;
    mEInputMap[0] = 160;
    mEInputMap[1] = 161;
}

void QN_Sorvik_ChannelMap::getUsageList(bool inputs[16], bool outputs[16], uint16_t vendor,
                                        uint16_t product) const {
    for (int k = 0; k < kUsageEntries; ++k)
        inputs[k] = outputs[k] = false;
    if (!isHandled(vendor, product)) return;
    for (int k = 0; k < 8; ++k) {
        const int in = usageIndex(true, mEInputMap[k], product);
        if (in >= 0 && in < kUsageEntries) inputs[in] = true;
        const int out = usageIndex(false, mEOutputMap[k], product);
        if (out >= 0 && out < kUsageEntries) outputs[out] = true;
    }
}
