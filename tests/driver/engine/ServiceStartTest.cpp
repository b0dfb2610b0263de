// The kernel service loaded from its personality when a simulated HX-5100 is
// plugged into the bus: the shared area after start at both speeds, the
// personality's values, start-up's descriptor-read faults, a missing
// configuration, and the shared area's memory.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "EngineFixture.h"
#include "driver/engine/ZrDevice.h"
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "platform/base/HXLog.h"

namespace {

using namespace enginetest;
using hx::usb::Fault;

// The shared area after start, worked out by hand from the layout and the
// start-up sequence, field by field. The bus puts port n at location
// 0x14000000 | n << 20; the model's device descriptor has endpoint 0 packets
// of 64 bytes, release 0x0100, strings 1, 2, 3 and one configuration.
DriverSM goldenDriverSM(uint16_t speed) {
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
    // The product table's names replace the device's own.
    std::strcpy(g.mVendorString, "Korvex");
    std::strcpy(g.mProductString, "HX-5100");
    std::strcpy(g.mModelName, "HX-5100");
    std::strcpy(g.mDeviceUID, "VID_2F4B_PID_5100_BUS_14100000");
    std::strcpy(g.mSerialString, "SN0001");
    g.mChannelSettings = QnChannelSettings{44100, 2, 24, 2, 24, 0};
    g.mAjExtData.setDefaults();
    return g;
}

class StartAtSpeed : public ::testing::TestWithParam<uint8_t> {};

TEST_P(StartAtSpeed, PluggingLoadsTheDriverAndTheSharedAreaMatchesTheGoldenRecord) {
    Rig rig;
    auto model = makeHX5100(GetParam());
    uint8_t port = rig.plug(model);
    ASSERT_EQ(port, 1);
    ServiceRef svc = rig.service(port);
    ASSERT_TRUE(svc);
    EXPECT_TRUE(svc->isRegistered());
    OSString* uid = OSDynamicCast(OSString, svc->getProperty("deviceUID"));
    ASSERT_NE(uid, nullptr);
    EXPECT_EQ(std::string(uid->getCStringNoCopy()).rfind("QnDev_0x", 0), 0u);

    DriverSM* sm = svc->getDevice()->getDriverSM();
    ASSERT_NE(sm, nullptr);
    DriverSM golden = goldenDriverSM(GetParam());
    // The descriptor buffer holds configuration 1's set: a 9-byte header
    // with a total of 159 bytes (the control interface, two streaming
    // interfaces with three alternates each, the MIDI interface), four
    // interfaces, configuration value 1.
    const uint8_t* cfg = sm->mDescriptor;
    EXPECT_EQ(cfg[0], 9);
    EXPECT_EQ(cfg[1], 2);
    EXPECT_EQ(cfg[2] | cfg[3] << 8, 159);
    EXPECT_EQ(cfg[4], 4);
    EXPECT_EQ(cfg[5], 1);
    std::span<const uint8_t> fromDevice = model->configurationDescriptor(0);
    ASSERT_EQ(fromDevice.size(), 159u);
    std::memcpy(golden.mDescriptor, fromDevice.data(), fromDevice.size());

    const uint8_t* a = reinterpret_cast<const uint8_t*>(sm);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&golden);
    for (size_t i = 0; i < sizeof(DriverSM); ++i)
        ASSERT_EQ(a[i], b[i]) << "first difference at offset " << i;

    // The device descriptor was read once more by request, and the firmware
    // version (8 bytes) and text (15 bytes) asked for.
    size_t descriptorReads = 0, firmwareReads = 0;
    for (const auto& t : model->trace()) {
        descriptorReads +=
            t.setup.bmRequestType == 0x80 && t.setup.bRequest == 6 && t.setup.wValue == 0x0100;
        firmwareReads += t.setup.bmRequestType == 0xC0 && t.setup.bRequest == 0x56;
    }
    EXPECT_EQ(descriptorReads, 1u);
    EXPECT_EQ(firmwareReads, 2u);
    // The model's firmware 1.2.3 build 4.
    EXPECT_EQ(svc->getDevice()->getFirmwareVersion(), 0x01020304u);
    EXPECT_STREQ(svc->getDevice()->getFirmwareVersionText(), "1.2.3");
    EXPECT_EQ(svc->getDevice()->getAPIDeviceInfoPtr()->mNumConfigurations, 1);
    EXPECT_EQ(svc->getDevice()->isUSB2Device(), GetParam() >= 2);
    // The device is opened by the service and not configured by start.
    EXPECT_TRUE(svc->getUSBDevice()->isOpen(svc.svc));
    EXPECT_EQ(model->configurationValue(), 0);
    // The converter table was chosen when the driver loaded.
    EXPECT_NE(dmaEncode02.load(), nullptr);
}

// The device information record comes from the descriptor model scanning
// what the device sent: one configuration with the control interface, the
// two streaming interfaces offering 2 channels at 24 bits on their isochronous
// endpoints (more rates at high speed), and the vendor interface.
TEST_P(StartAtSpeed, DeviceInformationComesFromTheScannedDescriptors) {
    Rig rig;
    uint8_t port = rig.plug(makeHX5100(GetParam()));
    ServiceRef svc = rig.service(port);
    ASSERT_TRUE(svc);
    const bool high = GetParam() >= 2;
    const APIDeviceInfo& info = *svc->getDevice()->getAPIDeviceInfoPtr();
    EXPECT_EQ(info.mVendor, 0x2F4B);
    EXPECT_EQ(info.mProduct, 0x5100);
    EXPECT_EQ(info.mRelease, 0x0100);
    ASSERT_EQ(info.mNumConfigurations, 1);
    const APIConfigInfo& c = info.mConfigurations[0];
    EXPECT_EQ(c.bConfigurationValue, 1);
    ASSERT_EQ(c.mNumInterfaces, 4);
    const std::vector<uint32_t> rates =
        high ? std::vector<uint32_t>{44100, 48000, 88200, 96000, 176400, 192000}
             : std::vector<uint32_t>{44100, 48000};
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        const APIInterfaceInfo& iface = c.mInterfaces[n];
        EXPECT_EQ(iface.mInterfaceNumber, n);
        ASSERT_EQ(iface.mNumAlternates, 1);
        const APIInterfaceAlternateInfo& alt = iface.mAlternates[0];
        EXPECT_EQ(alt.mAlternateSetting, 2);
        EXPECT_EQ(alt.mStreaming.mChannels, 2);
        EXPECT_EQ(alt.mStreaming.mBitResolution, 24);
        ASSERT_EQ(alt.mStreaming.mNumRates, rates.size());
        for (size_t r = 0; r < rates.size(); ++r)
            EXPECT_EQ(alt.mStreaming.mRates[r], rates[r]);
        ASSERT_EQ(alt.mNumEndpoints, 1);
        EXPECT_EQ(alt.mEndpoints[0].bEndpointAddress, n == 1 ? 0x01 : 0x82);
    }
    EXPECT_EQ(c.mInterfaces[3].mInterfaceNumber, 3);
    EXPECT_EQ(c.mInterfaces[3].mNumAlternates, 0);
}

INSTANTIATE_TEST_SUITE_P(FullAndHigh, StartAtSpeed, ::testing::Values(uint8_t(1), uint8_t(2)));

TEST(ServiceStart, WithoutASerialStringTheIdentifierStaysTheSame) {
    Rig rig;
    uint8_t port = rig.plug(makeHX5100(2, false));
    ServiceRef svc = rig.service(port);
    ASSERT_TRUE(svc);
    DriverSM* sm = svc->getDevice()->getDriverSM();
    EXPECT_EQ(sm->mSerialIndex, 0);
    EXPECT_STREQ(sm->mSerialString, "");
    EXPECT_STREQ(sm->mDeviceUID, "VID_2F4B_PID_5100_BUS_14100000");
}

TEST(ServiceStart, ProbeAddsOneHundredToAPositiveScore) {
    OSObject* o = OSMetaClass::allocClassWithName(kZrServiceClassName);
    auto* svc = OSDynamicCast(ZrKernelDeviceKorvexHX5100, o);
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(svc->init(nullptr));
    const std::pair<SInt32, SInt32> cases[] = {{0, 0}, {1, 101}, {5000, 5100}, {-3, -3}};
    for (auto [in, out] : cases) {
        SInt32 score = in;
        EXPECT_EQ(svc->probe(nullptr, &score), svc);
        EXPECT_EQ(score, out);
    }
    EXPECT_EQ(svc->probe(nullptr, nullptr), svc);
    svc->release();
}

// Fault cases of the device-descriptor read at start: the device answers the
// driver's reads with an error (sent once per attempt) or a stall (resent up
// to five more times per attempt); five attempts in all.
struct DescriptorFault {
    const char* name;
    bool stall;
    uint32_t failures;
    bool starts;
};

class DescriptorReadFaults : public ::testing::TestWithParam<DescriptorFault> {};

TEST_P(DescriptorReadFaults, StartSurvivesUpToTheLastAttempt) {
    const DescriptorFault& c = GetParam();
    Rig rig;
    Fault f = c.stall ? Fault::stall() : Fault::fail(kIOReturnDeviceError);
    int id = rig.bus().failDeviceDescriptorReads(1, c.failures, f);
    hx::log::Capture cap;
    auto model = makeHX5100(2);
    uint8_t port = rig.plug(model);
    ASSERT_EQ(port, 1);
    ServiceRef svc = rig.service(port);
    EXPECT_EQ(bool(svc), c.starts);
    EXPECT_EQ(rig.bus().faultHits(port, id), c.failures);
    size_t reached = 0;
    for (const auto& t : model->trace())
        reached +=
            t.setup.bmRequestType == 0x80 && t.setup.bRequest == 6 && t.setup.wValue == 0x0100;
    EXPECT_EQ(reached, c.starts ? 1u : 0u);
    if (!c.starts) {
        EXPECT_NE(cap.text().find("start ZrKernelDeviceKorvexHX5100 v3.4.13 failed. "
                                  "reason:m_pDevice->onServiceStart() failed\n"),
                  std::string::npos);
        IOUSBHostDevice* dev = rig.bus().copyDevice(port);
        ASSERT_NE(dev, nullptr);
        EXPECT_FALSE(dev->isOpen());
        EXPECT_EQ(dev->getClient(), nullptr); // the failed driver is gone
        dev->release();
    }
}

INSTANTIATE_TEST_SUITE_P(ErrorAndStall, DescriptorReadFaults,
                         ::testing::Values(DescriptorFault{"error4", false, 4, true},
                                           DescriptorFault{"error5", false, 5, false},
                                           DescriptorFault{"stall29", true, 29, true},
                                           DescriptorFault{"stall30", true, 30, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The model always has configuration 1; this one reports its device
// descriptor but has lost its configuration set.
class HX5100WithoutConfiguration : public HX5100Model {
public:
    HX5100WithoutConfiguration() : HX5100Model(kUSBHostConnectionSpeedHigh, hx5100Identity()) {}
    std::span<const uint8_t> configurationDescriptor(uint8_t) const override { return {}; }
};

TEST(ServiceStart, MissingConfigurationOneFailsAndClosesTheDevice) {
    Rig rig;
    hx::log::Capture cap;
    uint8_t port = rig.plug(std::make_shared<HX5100WithoutConfiguration>());
    EXPECT_FALSE(rig.service(port));
    std::string t = cap.text();
    EXPECT_NE(t.find("start ZrKernelDeviceKorvexHX5100 v3.4.13 failed. "
                     "reason:usbLoadConfigurations failed\n"),
              std::string::npos);
    IOUSBHostDevice* dev = rig.bus().copyDevice(port);
    ASSERT_NE(dev, nullptr);
    EXPECT_FALSE(dev->isOpen());
    EXPECT_EQ(dev->getClient(), nullptr);
    dev->release();
}

OSData* dataOf(const void* p, unsigned n) {
    return OSData::withBytes(p, n);
}

// Plugs an HX-5100 with the driver matched by a personality whose
// "QnSpecific" is given; the default personalities are taken out first.
struct CustomPersonality {
    explicit CustomPersonality(OSDictionary* specific) {
        ZrUnloadDriverPersonalities();
        OSDictionary* p =
            ZrMakeDriverPersonality(kKorvexVendorID, kKorvexHX5100ProductID, specific);
        hx::kern::addPersonality(p);
        p->release();
        specific->release();
    }
};

TEST(ServiceStart, PersonalityValuesAndTheirLimits) {
    Rig rig;
    OSDictionary* s = OSDictionary::withCapacity(4);
    OSNumber* wait = OSNumber::withNumber(4000, 32);
    const uint8_t clock[2] = {7, 8}; // shorter than the three settings: ignored
    OSData* clockData = dataOf(clock, 2);
    std::vector<uint8_t> shortRecord(379, 1); // shorter than the record: ignored
    OSData* config = dataOf(shortRecord.data(), 379);
    OSString* name = OSString::withCString(std::string(70, 'n').c_str());
    s->setObject("kMsWait", wait);
    s->setObject("kClockSourceSettings", clockData);
    s->setObject("kConfigurationData", config);
    s->setObject("kCustomName", name);
    for (OSObject* o : {static_cast<OSObject*>(wait), static_cast<OSObject*>(clockData),
                        static_cast<OSObject*>(config), static_cast<OSObject*>(name)})
        o->release();
    CustomPersonality personality(s);
    hx::log::Capture cap;
    uint8_t port = rig.plug(makeHX5100(1));
    ServiceRef svc = rig.service(port);
    ASSERT_TRUE(svc);
    EXPECT_EQ(svc->getDevice()->mMsWait, 1000u);
    EXPECT_EQ(svc->getDevice()->mClockSourceSettings[0], 0);
    EXPECT_FALSE(svc->getDevice()->hasSpecificFeatures());
    EXPECT_EQ(std::strlen(svc->getDevice()->getCustomName()), 64u);
    std::string t = cap.text();
    EXPECT_NE(t.find("Dumping "), std::string::npos);
    EXPECT_NE(t.find("Found kMsWait value=4000\n"), std::string::npos);
    EXPECT_NE(t.find("Found kClockSourceSettings length=2 (20)\n"), std::string::npos);
    EXPECT_NE(t.find("Found kConfiguration length=379 (380)\n"), std::string::npos);
    // The custom name, not the product string, is the model name.
    EXPECT_EQ(std::string(svc->getDevice()->getDriverSM()->mModelName), std::string(64, 'n'));
}

TEST(ServiceStart, ConfigurationDataReplacesTheDefaultSettings) {
    for (uint8_t speed : {uint8_t(1), uint8_t(2)}) {
        Rig rig;
        APISpecificFeatures f{};
        f.mFullSpeedIn = APIStreamingInfo{16, 4, 0, 0, 48000, 0, {}};
        f.mFullSpeedOut = APIStreamingInfo{16, 6, 0, 0, 0, 0, {}};
        f.mHighSpeedIn = APIStreamingInfo{24, 8, 0, 0, 96000, 0, {}};
        f.mHighSpeedOut = APIStreamingInfo{24, 10, 0, 0, 0, 0, {}};
        f.mLoaded = 1;
        f.mFlags[eSpecFeature_MerrowCompatible] = 1;
        OSDictionary* s = OSDictionary::withCapacity(1);
        OSData* d = dataOf(&f, sizeof f);
        s->setObject("kConfigurationData", d);
        d->release();
        CustomPersonality personality(s);
        uint8_t port = rig.plug(makeHX5100(speed));
        ServiceRef svc = rig.service(port);
        ASSERT_TRUE(svc);
        const QnChannelSettings& cs = svc->getDevice()->getDriverSM()->mChannelSettings;
        QnChannelSettings expect = speed == 2 ? QnChannelSettings{96000, 8, 24, 10, 24, 0}
                                              : QnChannelSettings{48000, 4, 16, 6, 16, 0};
        EXPECT_EQ(std::memcmp(&cs, &expect, sizeof cs), 0) << int(speed);
    }
}

TEST(UsbStrings, CopyIsBoundedByTheTargetAndTheBytesReceived) {
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
    std::vector<uint8_t> lying = {200, 3, 'a', 0, 'b', 0}; // claims 200 bytes, 6 arrived
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

TEST(SharedMemoryArea, InitLockAndUnlockRules) {
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

TEST(SharedMemoryArea, AUserMappingIsASecondViewOfTheSameBytes) {
    SharedMemory m;
    IOMemoryDescriptor* md = nullptr;
    EXPECT_EQ(m.getMemory(&md), kIOReturnNoMemory); // nothing allocated yet
    ASSERT_TRUE(m.init(30744));
    EXPECT_EQ(m.getMemory(nullptr), kIOReturnNoMemory);
    ASSERT_EQ(m.getMemory(&md), kIOReturnSuccess);
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md->getLength(), 30744u);
    md->release();

    task_t user = hx::kern::createTask(4242);
    IOMemoryMap* map = m.map(user, kIOMapAnywhere, 0);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getLength(), 30744u);
    auto* userView = reinterpret_cast<uint8_t*>(map->getAddress());
    auto* kernelView = static_cast<uint8_t*>(m.getMemory());
    EXPECT_NE(userView, kernelView);
    userView[7028] = 0x5A; // a client writes its control block
    EXPECT_EQ(kernelView[7028], 0x5A);
    kernelView[0] = 0x11;
    EXPECT_EQ(userView[0], 0x11);
    m.term(true);
    EXPECT_EQ(userView[7028], 0x5A); // the user's view outlives the kernel's
    map->release();
    hx::kern::destroyTask(user);
}

} // namespace
