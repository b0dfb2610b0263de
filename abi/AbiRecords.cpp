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
