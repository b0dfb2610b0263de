#include <gtest/gtest.h>

#include <cstring>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/ProductIdentities.h"
#include "abi/QN_StateChange.h"
#include "abi/VIDPID.h"

namespace {

TEST(VIDPID, ReleaseWildcardAndExactRelease) {
    VIDPID id(0x1234, 0x5678, 0x0100, nullptr);
    EXPECT_TRUE(id.isDevice(0x1234, 0x5678, 0xFFFF));
    EXPECT_TRUE(id.isDevice(0x1234, 0x5678, 0x0100));
    EXPECT_FALSE(id.isDevice(0x1234, 0x5678, 0x0200));
    EXPECT_FALSE(id.isDevice(0x1234, 0x5679, 0xFFFF));
}

TEST(AbiHelpers, BytesFromBits) {
    const std::pair<int, int> table[] = {{16, 2}, {20, 3}, {24, 3},  {32, 4},
                                         {8, 0},  {0, 0},  {-24, 0}, {33, 0}};
    for (auto [bits, bytes] : table)
        EXPECT_EQ(getBytesFromBits(bits), bytes) << bits;
}

TEST(APIStreamingInfo, DiscreteAndContinuousFormats) {
    APIStreamingInfo s{};
    s.mBitResolution = 24;
    s.mChannels = 2;
    s.mNumRates = 2;
    s.mRates[0] = 44100;
    s.mRates[1] = 48000;
    s.mRates[2] = 96000; // not counted
    EXPECT_TRUE(s.can(2, 24, 48000, true));
    EXPECT_FALSE(s.can(2, 24, 96000, false));
    EXPECT_FALSE(s.can(2, 16, 44100, false));
    EXPECT_FALSE(s.can(4, 24, 44100, false));
    s.mNumRates = 0;
    EXPECT_FALSE(s.can(2, 24, 44100, false));
    s.mContinuous = 1;
    s.mLowerRate = 32000;
    s.mUpperRate = 96000;
    EXPECT_TRUE(s.can(2, 24, 96000, false));
    EXPECT_FALSE(s.can(2, 24, 96001, false));
    EXPECT_FALSE(s.can(2, 24, 48000, true));
}

// Disabled rate slots are zeroed, and no device streams outside 8 to 384 kHz:
// such rates are absent both as entries and as questions.
TEST(APIStreamingInfo, ZeroAndOutOfRangeRatesAreAbsent) {
    APIStreamingInfo s{};
    s.mBitResolution = 24;
    s.mChannels = 2;
    s.mNumRates = 4;
    s.mRates[0] = 0; // disabled
    s.mRates[1] = 7999;
    s.mRates[2] = 384001;
    s.mRates[3] = 44100;
    struct Case {
        uint32_t rate;
        bool discreteFound;
        bool continuousFound;
    };
    const Case cases[] = {{0, false, false},          {7999, false, false},  {8000, false, true},
                          {44100, true, true},        {384000, false, true}, {384001, false, false},
                          {0xFFFFFFFFu, false, false}};
    for (const Case& c : cases) {
        s.mContinuous = 0;
        EXPECT_EQ(s.can(2, 24, c.rate, false), c.discreteFound) << c.rate;
        s.mContinuous = 1;
        s.mLowerRate = 0;
        s.mUpperRate = 0xFFFFFFFFu;
        EXPECT_EQ(s.can(2, 24, c.rate, false), c.continuousFound) << c.rate;
    }
}

TEST(QnAjExtData, DefaultsKeepTheDeviceReportedLockState) {
    QnAjExtData a;
    std::memset(&a, 0x77, sizeof a);
    a.setDefaults();
    EXPECT_EQ(a.mDigitalLockFrequency, 0x77777777u);
    EXPECT_EQ(a.mDigitalLock, 0x77);
    const uint32_t expect[9] = {0, 0, 0, 0, 0, 1, 2, 0, 1};
    EXPECT_EQ(std::memcmp(&a.mClockSource, expect, sizeof expect), 0);
}

TEST(QN_StateChange, RecordHasFixedSizeAndZeroTail) {
    QN_StateChange r = makeStateChange(STC_MuteChanged, 5, 0x1122334455667788ull, 9);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(r.mSize, 36u);
    EXPECT_EQ(b[12], 0x88); // client identifier, little-endian and unaligned
    EXPECT_EQ(b[19], 0x11);
    EXPECT_EQ(b[20], 9);
    for (int i = 24; i < 36; ++i)
        EXPECT_EQ(b[i], 0) << i;
}

} // namespace

TEST(VIDPID, SorvikFarlane1IsTheFirstGenerationOfTheSorvikVendorOnly) {
    for (uint16_t product : kSorvikFarlane1ProductIDs) {
        EXPECT_TRUE(VIDPID(kSorvikVendorID, product, 0x0100, nullptr).isSorvikFarlane1())
            << product;
        EXPECT_TRUE(VIDPID(kSorvikVendorID, product, 0, nullptr).isSorvikFarlane1()) << product;
        EXPECT_FALSE(VIDPID(kKorvexVendorID, product, 0, nullptr).isSorvikFarlane1()) << product;
    }
    EXPECT_FALSE(
        VIDPID(kSorvikVendorID, kSorvikFarlane2ProductIDs[0], 0, nullptr).isSorvikFarlane1());
    EXPECT_FALSE(VIDPID(kKorvexVendorID, kKorvexHX5100ProductID, 0, nullptr).isSorvikFarlane1());
}

TEST(AbiHelpers, StreamPairBandwidthPerDirection) {
    auto dir = [](uint8_t found, uint8_t bits, uint8_t channels, uint32_t rate) {
        APIDeviceInfoScanResult r;
        std::memset(&r, 0, sizeof r);
        r.mFound = found;
        r.mBits = bits;
        r.mChannels = channels;
        r.mRate = rate;
        return r;
    };
    const APIDeviceInfoScanResult none = dir(0, 24, 2, 48000);
    EXPECT_EQ(usbCalculateBandwidth(dir(1, 24, 2, 44100), none), 264); // 264.6 truncated
    EXPECT_EQ(usbCalculateBandwidth(none, dir(3, 24, 2, 44100)), 264); // bit 0 decides
    EXPECT_EQ(usbCalculateBandwidth(dir(1, 8, 2, 48000), none), 0);    // 8-bit samples add nothing
    // Truncated per direction: 2 x 264.6 gives 528, not 529.
    EXPECT_EQ(usbCalculateBandwidth(dir(1, 24, 2, 44100), dir(1, 24, 2, 44100)), 528);
    EXPECT_EQ(usbCalculateBandwidth(dir(1, 32, 255, 384000), dir(1, 16, 8, 192000)), 391680 + 3072);
    EXPECT_EQ(usbCalculateBandwidth(none, none), 0);
}

TEST(ProductNames, EmptyStringsGetDefaultsAndKnownProductsTheirNames) {
    char v[256] = {}, p[256] = {};
    driverOverwriteProductVendorStrings(v, p, 0x1111, 0x2222);
    EXPECT_STREQ(v, "Unknown vendor");
    EXPECT_STREQ(p, "USB Device");
    std::strcpy(v, "Maker");
    std::strcpy(p, "Thing");
    driverOverwriteProductVendorStrings(v, p, 0x1111, 0x2222);
    EXPECT_STREQ(v, "Maker");
    EXPECT_STREQ(p, "Thing");
    driverOverwriteProductVendorStrings(v, p, kKorvexVendorID, kKorvexHX5100ProductID);
    EXPECT_STREQ(v, "Korvex");
    EXPECT_STREQ(p, "HX-5100");
}
