#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/ProductIdentities.h"
#include "abi/QN_DeviceDescriptor.h"
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

// ---- Sorvik channel maps

namespace {

struct UsageLists {
    bool in[16];
    bool out[16];
};

UsageLists usageOf(const QN_Sorvik_ChannelMap& map, uint16_t vendor, uint16_t product) {
    UsageLists u;
    std::memset(&u, 0xA5, sizeof u); // cleared by getUsageList
    map.getUsageList(u.in, u.out, vendor, product);
    return u;
}

std::vector<int> marked(const bool (&list)[16]) {
    std::vector<int> indices;
    for (int k = 0; k < 16; ++k)
        if (list[k]) indices.push_back(k);
    return indices;
}

QN_Sorvik_ChannelMap unusedMap() {
    QN_Sorvik_ChannelMap map;
    for (int k = 0; k < 8; ++k)
        map.mEInputMap[k] = map.mEOutputMap[k] = 0xFF;
    return map;
}

} // namespace

TEST(SorvikChannelMap, DefaultsMarkTheFirstTwoInputsOfHandledProducts) {
    QN_Sorvik_ChannelMap map;
    std::memset(&map, 0, sizeof map);
    map.setDefaults(kSorvikVendorID, 6);
    const int32_t expected[16] = {160,  161,  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(&map, expected, sizeof expected), 0);
    UsageLists u = usageOf(map, kSorvikVendorID, 6);
    EXPECT_EQ(marked(u.in), (std::vector<int>{0, 1}));
    EXPECT_TRUE(marked(u.out).empty());

    // Product 5 and another vendor's product 6 are not handled: unchanged.
    for (uint16_t vendor : {kSorvikVendorID, uint16_t(0x1234)}) {
        QN_Sorvik_ChannelMap other;
        std::memset(&other, 0x11, sizeof other);
        other.setDefaults(vendor, vendor == kSorvikVendorID ? 5 : 6);
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(other.mEInputMap[k], 0x11111111);
        UsageLists none = usageOf(map, vendor, vendor == kSorvikVendorID ? 5 : 6);
        EXPECT_TRUE(marked(none.in).empty());
        EXPECT_TRUE(marked(none.out).empty());
    }
}

TEST(SorvikChannelMap, CodeTablePerProduct) {
    struct Row {
        uint16_t product;
        bool isInput;
        int32_t code;
        int index; // -1: marks nothing
    };
    const Row rows[] = {
        {6, true, 160, 0},  {6, true, 161, 1}, {6, true, 128, 2},    {6, true, 131, 5},
        {6, true, 132, -1}, {6, true, 192, 6}, {6, true, 193, 7},    {4, true, 0xFF, -1},
        {11, true, 129, 3}, {8, true, 135, 9}, {8, true, 192, -1},   {6, false, 32, 0},
        {6, false, 33, 1},  {6, false, 0, 2},  {6, false, 3, 5},     {6, false, 4, -1},
        {4, false, 70, -1}, {8, false, 70, 2}, {8, false, 71, 3},    {8, false, 0, 4},
        {8, false, 7, 11},  {8, false, 8, -1}, {8, false, 0x1FF, -1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.product << (r.isInput ? " in " : " out ") << r.code);
        QN_Sorvik_ChannelMap map = unusedMap();
        (r.isInput ? map.mEInputMap : map.mEOutputMap)[3] = r.code;
        UsageLists u = usageOf(map, kSorvikVendorID, r.product);
        const std::vector<int> expected =
            r.index < 0 ? std::vector<int>{} : std::vector<int>{r.index};
        EXPECT_EQ(marked(r.isInput ? u.in : u.out), expected);
        EXPECT_TRUE(marked(r.isInput ? u.out : u.in).empty());
    }
}

TEST(DeviceDescriptorRecord, IsDeviceAndClear) {
    QN_DeviceDescriptor d;
    std::memset(&d, 0x5A, sizeof d);
    d.m_uVendor = kSorvikVendorID;
    d.m_uProduct = 8;
    d.m_uBcdDevice = 0x0102;
    EXPECT_TRUE(d.isDevice(kSorvikVendorID, 8, 0x0102));
    EXPECT_TRUE(d.isDevice(kSorvikVendorID, 8, 0xFFFF));
    EXPECT_FALSE(d.isDevice(kSorvikVendorID, 8, 0x0103));
    EXPECT_FALSE(d.isDevice(kSorvikVendorID, 6, 0xFFFF));
    d.clear();
    const uint8_t zeros[16] = {};
    EXPECT_EQ(std::memcmp(&d, zeros, sizeof zeros), 0);
}
