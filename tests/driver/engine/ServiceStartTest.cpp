#include <gtest/gtest.h>

#include <cstring>

#include "EngineFixture.h"
#include "driver/engine/ZrDevice.h"
#include "platform/base/HXLog.h"

namespace {

using namespace enginetest;

// The shared area after start, worked out by hand from the layout and the
// start-up sequence, field by field.
DriverSM goldenDriverSM(uint16_t speed, const std::vector<uint8_t>& config)
{
    DriverSM g;
    std::memset(&g, 0, sizeof g);
    g.mVersion = 0x03040D00;
    g.mSpeed = speed;
    g.mMaxPacketSize0 = 64;
    g.mVendor = 0x2F4B;
    g.mProduct = 0x5100;
    g.mRelease = 0x0100;
    g.mManufacturerIndex = 1;
    g.mProductIndex = 2;
    g.mSerialIndex = 3;
    g.mNumConfigurations = 1;
    g.mLocationID = 0x14100000;
    g.mHighSpeed = speed >= 2 ? 1 : 0;
    std::strcpy(g.mVendorString, "Korvex");
    std::strcpy(g.mProductString, "HX-5100");
    std::strcpy(g.mModelName, "HX-5100");
    std::strcpy(g.mDeviceUID, "VID_2F4B_PID_5100_BUS_14100000");
    std::strcpy(g.mSerialString, "SN0001");
    std::memcpy(g.mDescriptor, config.data(), config.size());
    g.mChannelSettings = QnChannelSettings{44100, 2, 24, 2, 24, 0};
    g.mAjExtData.setDefaults();
    return g;
}

struct SpeedCase {
    uint8_t speed;
};

class StartAtSpeed : public ::testing::TestWithParam<uint8_t> {};

TEST_P(StartAtSpeed, DriverSharedAreaMatchesTheGoldenRecord)
{
    FakeHX5100 usb(GetParam());
    TestService svc;
    ASSERT_TRUE(svc.init(nullptr));
    ASSERT_TRUE(svc.start(&usb));
    EXPECT_TRUE(svc.registered);
    EXPECT_EQ(svc.properties["deviceUID"].rfind("QnDev_0x", 0), 0u);
    DriverSM* sm = svc.getDevice()->getDriverSM();
    ASSERT_NE(sm, nullptr);
    DriverSM golden = goldenDriverSM(GetParam(), usb.mConfig);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(sm);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&golden);
    for (size_t i = 0; i < sizeof(DriverSM); ++i)
        ASSERT_EQ(a[i], b[i]) << "first difference at offset " << i;
    // The device descriptor was read once more by request, and the firmware
    // version (8 bytes) and text (15 bytes) asked for.
    EXPECT_EQ(usb.requestCount(0x80, 6), 1u);
    EXPECT_EQ(usb.requestCount(0xC0, 0x56), 2u);
    EXPECT_EQ(svc.getDevice()->getFirmwareVersion(), 0x01010403u);
    EXPECT_STREQ(svc.getDevice()->getFirmwareVersionText(), "1.4.3");
    EXPECT_EQ(svc.getDevice()->getAPIDeviceInfoPtr()->mNumConfigurations, 1);
    EXPECT_EQ(svc.getDevice()->isUSB2Device(), GetParam() >= 2);
    svc.terminate(0);
    svc.free();
}

INSTANTIATE_TEST_SUITE_P(FullAndHigh, StartAtSpeed, ::testing::Values(uint8_t(1), uint8_t(2)));

TEST(ServiceStart, ProbeAddsOneHundredToAPositiveScore)
{
    TestService svc;
    const std::pair<int32_t, int32_t> cases[] = {{0, 0}, {1, 101}, {5000, 5100}, {-3, -3}};
    for (auto [in, out] : cases) {
        int32_t score = in;
        svc.probe(&score);
        EXPECT_EQ(score, out);
    }
    EXPECT_TRUE(svc.probe(nullptr));
}

// Fault cases of the device-descriptor read at start: the device answers the
// driver's reads with an error (sent once per attempt) or a stall (resent up
// to five more times per attempt); five attempts in all.
struct DescriptorFault {
    IOReturn status;
    int failures;
    bool starts;
};

class DescriptorReadFaults : public ::testing::TestWithParam<DescriptorFault> {};

TEST_P(DescriptorReadFaults, StartSurvivesUpToTheLastAttempt)
{
    VirtualClock clock;  // the 50 ms pauses between attempts take no time
    FakeHX5100 usb(2);
    usb.mFailStatus = GetParam().status;
    usb.mFailDescriptorReads = GetParam().failures;
    TestService svc;
    ASSERT_TRUE(svc.init(nullptr));
    hx::log::Capture cap;
    EXPECT_EQ(svc.start(&usb), GetParam().starts);
    EXPECT_EQ(int(usb.requestCount(0x80, 6)), GetParam().failures + (GetParam().starts ? 1 : 0));
    if (!GetParam().starts) {
        EXPECT_NE(cap.text().find("reason:m_pDevice->onServiceStart() failed"), std::string::npos);
        EXPECT_EQ(svc.getDevice(), nullptr);
        EXPECT_FALSE(usb.isOpen(&svc));
        EXPECT_EQ(usb.getRetainCount(), 1);
    }
    svc.free();
}

INSTANTIATE_TEST_SUITE_P(
    ErrorAndStall, DescriptorReadFaults,
    ::testing::Values(DescriptorFault{kEngineIOReturnDeviceError, 4, true},
                      DescriptorFault{kEngineIOReturnDeviceError, 5, false},
                      DescriptorFault{kEngineIOReturnStall, 29, true},
                      DescriptorFault{kEngineIOReturnStall, 30, false}));

TEST(ServiceStart, MissingConfigurationOneFailsAndClosesTheDevice)
{
    FakeHX5100 usb(2);
    usb.mNoConfiguration = true;
    TestService svc;
    ASSERT_TRUE(svc.init(nullptr));
    hx::log::Capture cap;
    EXPECT_FALSE(svc.start(&usb));
    EXPECT_NE(cap.text().find("start ZrKernelDeviceKorvexHX5100 v3.4.13 failed. reason:usbLoadConfigurations failed\n"),
              std::string::npos);
    EXPECT_EQ(svc.getDevice(), nullptr);
    EXPECT_EQ(svc.getUSBDevice(), nullptr);
    EXPECT_FALSE(usb.isOpen(&svc));
    EXPECT_EQ(usb.getRetainCount(), 1);
    EXPECT_FALSE(svc.registered);
    svc.free();
}

TEST(ServiceStart, PersonalityValuesAndTheirLimits)
{
    FakeHX5100 usb(1);
    TestService svc;
    ZrPersonalitySpecific p;
    p.hasMsWait = true;
    p.msWait = 4000;
    p.hasClockSourceSettings = true;
    p.clockSourceSettings = {7, 8};  // shorter than the three settings: ignored
    p.hasConfigurationData = true;
    p.configurationData.assign(379, 1);  // shorter than the record: ignored
    p.hasCustomName = true;
    p.customName = std::string(70, 'n');
    hx::log::Capture cap;
    ASSERT_TRUE(svc.init(&p));
    EXPECT_EQ(svc.getDevice()->mMsWait, 1000u);
    EXPECT_EQ(svc.getDevice()->mClockSourceSettings[0], 0);
    EXPECT_FALSE(svc.getDevice()->hasSpecificFeatures());
    EXPECT_EQ(std::strlen(svc.getDevice()->getCustomName()), 64u);
    std::string t = cap.text();
    EXPECT_NE(t.find("Found kClockSourceSettings length=2 (20)\n"), std::string::npos);
    EXPECT_NE(t.find("Found kConfiguration length=379 (380)\n"), std::string::npos);
    ASSERT_TRUE(svc.start(&usb));
    EXPECT_EQ(std::string(svc.getDevice()->getDriverSM()->mModelName), std::string(64, 'n'));
    svc.terminate(0);
    svc.free();
}

TEST(ServiceStart, ConfigurationDataReplacesTheDefaultSettings)
{
    for (uint8_t speed : {uint8_t(1), uint8_t(2)}) {
        FakeHX5100 usb(speed);
        APISpecificFeatures f{};
        f.mFullSpeedIn = APIStreamingInfo{16, 4, 0, 0, 48000, 0, {}};
        f.mFullSpeedOut = APIStreamingInfo{16, 6, 0, 0, 0, 0, {}};
        f.mHighSpeedIn = APIStreamingInfo{24, 8, 0, 0, 96000, 0, {}};
        f.mHighSpeedOut = APIStreamingInfo{24, 10, 0, 0, 0, 0, {}};
        f.mLoaded = 1;
        f.mFlags[eSpecFeature_MerrowCompatible] = 1;
        ZrPersonalitySpecific p;
        p.hasConfigurationData = true;
        p.configurationData.assign(reinterpret_cast<uint8_t*>(&f), reinterpret_cast<uint8_t*>(&f) + sizeof f);
        TestService svc;
        ASSERT_TRUE(svc.init(&p));
        ASSERT_TRUE(svc.start(&usb));
        const QnChannelSettings& s = svc.getDevice()->getDriverSM()->mChannelSettings;
        QnChannelSettings expect = speed == 2 ? QnChannelSettings{96000, 8, 24, 10, 24, 0}
                                              : QnChannelSettings{48000, 4, 16, 6, 16, 0};
        EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0) << int(speed);
        svc.terminate(0);
        svc.free();
    }
}

TEST(UsbStrings, CopyIsBoundedByTheTargetAndTheBytesReceived)
{
    struct Case {
        std::vector<uint8_t> desc;
        uint32_t received;
        int size;
        size_t expectLen;
    };
    std::vector<uint8_t> big(255, 'a');
    big[0] = 255;
    big[1] = 3;
    std::vector<uint8_t> shortDesc = {3, 3, 'x'};
    std::vector<uint8_t> lying = {200, 3, 'a', 0, 'b', 0};  // claims 200 bytes, 6 arrived
    const Case cases[] = {
        {shortDesc, 3, 256, 0},
        {big, 255, 256, 126},
        {big, 255, 10, 9},
        {lying, 6, 256, 2},
    };
    for (const auto& c : cases) {
        char out[256] = {};
        copyUsbStringToCString(c.desc.data(), c.received, out, c.size);
        EXPECT_EQ(std::strlen(out), c.expectLen);
    }
}

TEST(ProductNames, EmptyStringsGetDefaultsAndKnownProductsTheirNames)
{
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

TEST(SharedMemoryArea, InitLockAndUnlockRules)
{
    hx::log::Capture cap;
    SharedMemory m;
    ASSERT_TRUE(m.init(30744));
    void* first = m.getMemory();
    EXPECT_TRUE(m.init(30744));
    EXPECT_EQ(m.getMemory(), first);
    EXPECT_FALSE(m.init(4096));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 4096, 0u);
    EXPECT_FALSE(m.unlock());
    EXPECT_EQ(m.lock(), first);
    EXPECT_EQ(m.lock(), nullptr);
    EXPECT_TRUE(m.unlock());
    std::string t = cap.text();
    EXPECT_NE(t.find("SharedMemory::unlock failed\n"), std::string::npos);
    EXPECT_NE(t.find("SharedMemory::lock failed\n"), std::string::npos);
}

}  // namespace
