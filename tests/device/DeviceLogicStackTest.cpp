// The shared device logic over the real stack in this process: the bus with
// an HX-5100 model, the kernel driver and its user clients, and a device
// connection; at full and high speed.
#include "abi/DeviceFamilies.h"
#include "abi/ServiceClass.h"
#include "device/DriverConnection.h"
#include "device/QnAudioPluginClassCommons.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOService.h"
#include "platform/sys/HXProcess.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kReqDeviceInfoChunk = 4;

io_service_t findService() {
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
        KERN_SUCCESS)
        return 0;
    io_service_t s = IOIteratorNext(it);
    IOObjectRelease(it);
    return s;
}

// The device side of the logic: the connection's driver area and requests.
struct ConnectionHost : QnAudioPluginHost {
    explicit ConnectionHost(DriverConnection& c) : connection(c) {}
    DriverSM* hostDriverSM() override { return connection.driverSM(); }
    uint64_t hostClientIdentity() override { return connection.clientID(); }
    bool hostRequest(uint32_t req, const void* payload, uint32_t bytes) override {
        DriverConnection::RecordGuard guard(connection);
        if (bytes > sizeof guard.record().payload) return false;
        std::memcpy(guard.record().payload, payload, bytes);
        requests.push_back(req);
        return connection.callDriver(req);
    }
    int hostClientAppType() override { return appType; }
    CFDictionaryRef hostCopyServiceProperties() override { return nullptr; }
    QnAudioPluginSettingsStore* hostSettingsStore() override { return nullptr; }
    void hostFormatChanged() override {}
    void hostReportFormatChange(const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&) override {}
    void hostFrameSizePropertyChanged(uint32_t) override {}
    void hostUpdateLatencies() override {}
    bool hostCreateIOBuffers(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
        return true;
    }
    bool hostMapRings() override { return true; }
    void hostUnmapRings() override {}
    void hostCheckRunningStream() override {}

    DriverConnection& connection;
    int appType = 0;
    std::vector<uint32_t> requests;
};

bool readDeviceInfo(DriverConnection& c, APIDeviceInfo& info) {
    auto* bytes = reinterpret_cast<uint8_t*>(&info);
    for (uint32_t chunk = 0, offset = 0; offset < sizeof info; ++chunk) {
        DriverConnection::RecordGuard guard(c);
        std::memcpy(guard.record().payload, &chunk, sizeof chunk);
        if (!c.callDriver(kReqDeviceInfoChunk)) return false;
        uint32_t count = guard.record().iReq;
        if (count == 0 || count > 256 || offset + count > sizeof info) return false;
        std::memcpy(bytes + offset, guard.record().payload, count);
        offset += count;
    }
    return true;
}

class DeviceLogicStack : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        hx::harness::HarnessOptions options;
        options.highSpeed = GetParam();
        harness = std::make_unique<hx::harness::ClientHarness>(options);
        ASSERT_TRUE(harness->boot()) << harness->lastError();
        // Another client configures the device (48 kHz, 24 bits).
        ASSERT_TRUE(harness->openClient()) << harness->lastError();
        ASSERT_TRUE(harness->configure()) << harness->lastError();
        service = findService();
        ASSERT_NE(service, 0u);
        connection = std::make_unique<DriverConnection>(service);
        ASSERT_NE(connection->driverSM(), nullptr);
        info = std::make_unique<APIDeviceInfo>();
        ASSERT_TRUE(readDeviceInfo(*connection, *info));
        host = std::make_unique<ConnectionHost>(*connection);
        commons = std::make_unique<QnAudioPluginClassCommons>(*host, *info);
        commons->setupSpecificFeatures();
        commons->createIOBuffers();
    }
    void TearDown() override {
        commons.reset();
        host.reset();
        connection.reset();
        if (service) IOObjectRelease(service);
        harness.reset();
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    io_service_t service = 0;
    std::unique_ptr<DriverConnection> connection;
    std::unique_ptr<APIDeviceInfo> info;
    std::unique_ptr<ConnectionHost> host;
    std::unique_ptr<QnAudioPluginClassCommons> commons;
};

TEST_P(DeviceLogicStack, FamiliesOfTheHX5100) {
    EXPECT_TRUE(commons->isMerrowCompatible());
    EXPECT_TRUE(commons->isMRW192Compatible());
    EXPECT_FALSE(commons->isAC3compatible());
    EXPECT_EQ(commons->isUSB2Device(), GetParam());
}

TEST_P(DeviceLogicStack, FormatListsAndRates) {
    const bool high = GetParam();
    EXPECT_EQ(commons->getStreamFormatNum(false, true), high ? 6u : 2u);
    EXPECT_EQ(commons->getStreamFormatNum(false, false), high ? 12u : 4u);
    if (high) {
        EXPECT_EQ(commons->getSampleRates(nullptr, 0), 6u);
        std::vector<AudioValueRange> ranges(6);
        ASSERT_EQ(commons->getSampleRates(ranges.data(), 6), 6u);
        for (const AudioValueRange& r : ranges)
            EXPECT_NE(r.mMinimum, 64000.0);
    }
}

TEST_P(DeviceLogicStack, RateChangeReachesTheKernel) {
    AudioStreamBasicDescription d{};
    ASSERT_EQ(commons->getStreamFormat(false, &d, false, ~0u), 0);
    EXPECT_EQ(d.mSampleRate, 48000.0);
    d.mSampleRate = 44100;
    ASSERT_EQ(commons->setStreamFormat(false, &d, false), 0);
    hx::kern::waitQuiet();
    EXPECT_EQ(host->requests, std::vector<uint32_t>{6});
    EXPECT_EQ(connection->driverSM()->mChannelSettings.Frequency, 44100u);
    EXPECT_EQ(connection->driverSM()->mChannelSettings.OutResolution, 24u);
    EXPECT_EQ(commons->getFrequency(), 44100u);
    // Virtual 32-bit integer stereo at rate 0: configured as 24 bits, rate kept.
    AudioStreamBasicDescription integer{
        0, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger, 8, 1, 8, 2, 32, 0};
    EXPECT_EQ(commons->setStreamFormat(false, &integer, false), 0);
    EXPECT_EQ(commons->getFrequency(), 44100u);
    EXPECT_EQ(commons->currentSettings().OutResolution, 24u);
}

TEST_P(DeviceLogicStack, DeferredWhileTheHarnessStreams) {
    ASSERT_TRUE(harness->setRouting()) << harness->lastError();
    ASSERT_TRUE(harness->attachRing()) << harness->lastError();
    hx::kern::waitQuiet();
    ASSERT_TRUE(commons->isRunningSomewhere());
    EXPECT_FALSE(commons->isRunningStream());
    EXPECT_TRUE(commons->setFrequency(false, 44100));
    EXPECT_TRUE(host->requests.empty());
    AudioStreamBasicDescription d{};
    ASSERT_EQ(commons->getStreamFormat(false, &d, true, ~0u), 0);
    EXPECT_EQ(d.mSampleRate, 44100.0);
    EXPECT_EQ(connection->driverSM()->mChannelSettings.Frequency, 48000u);
    // A control-panel client sends it.
    host->appType = 1;
    EXPECT_TRUE(commons->setFrequency(false, 44100));
    EXPECT_EQ(host->requests, std::vector<uint32_t>{6});
}

// The kernel reads the same identities for the families both sides list.
TEST(DeviceLogicKernelFamilies, KernelAgreesOnSharedFamilies) {
    struct Shared {
        DeviceFamily family;
        ZrProductList kernelList;
    };
    const Shared shared[] = {
        {DeviceFamilies::kQuarnelBulk, ZrProductList::QuarnelBulk},
        {DeviceFamilies::kMRW30, ZrProductList::MRW30},
        {DeviceFamilies::kTolvane, ZrProductList::Tolvane},
        {DeviceFamilies::kTrunk, ZrProductList::HalvardTrunk},
        {DeviceFamilies::kTrunk2, ZrProductList::Trunk2},
    };
    // Every identity any family names, as probes.
    std::vector<DeviceFamilyMember> probes;
    for (DeviceFamily f :
         {DeviceFamily(DeviceFamilies::kHX5100Group),
          DeviceFamily(DeviceFamilies::kInterfaceZeroOneGroup),
          DeviceFamily(DeviceFamilies::kQuarnelBulk),
          DeviceFamily(DeviceFamilies::kQuarnelBulkInIsocOut), DeviceFamily(DeviceFamilies::kMRW30),
          DeviceFamily(DeviceFamilies::kTolvane), DeviceFamily(DeviceFamilies::kTrunk),
          DeviceFamily(DeviceFamilies::kTrunk2), DeviceFamily(DeviceFamilies::kPhono),
          DeviceFamily(DeviceFamilies::kSixChannel)})
        probes.insert(probes.end(), f.begin(), f.end());
    for (const Shared& s : shared)
        for (const DeviceFamilyMember& p : probes)
            EXPECT_EQ(DeviceFamilies::contains(s.family, p.vendor, p.product),
                      ZrIsListedProduct(s.kernelList, p.vendor, p.product))
                << std::hex << p.vendor << ":" << p.product << " list " << int(s.kernelList);
}

INSTANTIATE_TEST_SUITE_P(Speeds, DeviceLogicStack, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "HighSpeed" : "FullSpeed";
                         });

} // namespace
