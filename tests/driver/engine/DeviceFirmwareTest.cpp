// The device object's firmware exchanges with the simulated HX-5100 on the
// bus, plugged under the identifiers of the products that differ: which
// firmware information reads each product and features record asks for,
// the channel counts a device reports, the PIC commands of the one device
// that takes them, the device-specific data and first-scan settings of the
// descriptor scan, the descriptor-model views and the bandwidth the open
// isochronous pipes use.
#include <gtest/gtest.h>

#include "tests/driver/engine/ModelRequests.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrDevice.h"
#include "platform/kern/IOService.h"

namespace {

using namespace enginetest;

const Req kFirmware8{0xC0, 0x56, 0, 0, 8};
const Req kFirmware15{0xC0, 0x56, 0, 0, 15};
const Req kFirmware5{0xC0, 0x56, 0, 0, 5};
const Req kPicSet{0x40, 0x01, 0xF0, 0x1F0, 1};
const Req kPicGet{0xC0, 0x81, 0xF0, 0, 1};

std::vector<Req> times(const Req& r, size_t n) {
    return std::vector<Req>(n, r);
}
std::vector<Req> operator+(std::vector<Req> a, const std::vector<Req>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An HX-5100 model under the given identifiers, started by the driver
// (with a personality of its own for a product the driver does not match).
struct Plugged {
    Plugged(uint16_t vendor, uint16_t product, uint8_t speed = 2) {
        if (vendor != kKorvexVendorID || product != kKorvexHX5100ProductID) {
            OSDictionary* p = ZrMakeDriverPersonality(vendor, product, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        hx::usb::devices::HX5100Identity id = hx5100Identity();
        id.vendorID = vendor;
        id.productID = product;
        model = std::make_shared<HX5100Model>(speed, id);
        port = rig.plug(model);
        svc = rig.service(port);
        dev = svc ? svc->getDevice() : nullptr;
    }
    ~Plugged() { rig.unplug(port); }
    std::vector<Req> requests() const { return requestsOf(*model); }
    Rig rig;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
};

// A loaded features record with the given flags.
APISpecificFeatures featuresWith(const std::vector<int>& flags) {
    APISpecificFeatures f;
    std::memset(&f, 0, sizeof f);
    f.mLoaded = 1;
    for (int n : flags)
        f.mFlags[n] = 1;
    return f;
}

// ---------------------------------------------------------------------------
// Channel counts in the 5-byte firmware information.

struct CountsCase {
    uint8_t byte3, byte4;
    uint32_t outs, ins;
};

class FirmwareChannelCounts : public ::testing::TestWithParam<CountsCase> {};

TEST_P(FirmwareChannelCounts, PairsFromBytes3And4WithinTheirLimits) {
    const CountsCase& c = GetParam();
    const uint8_t reply[5] = {0xEE, 0xEE, 0xEE, c.byte3, c.byte4};
    uint32_t ins = 99, outs = 99;
    ZrFirmwareChannelCounts(reply, ins, outs);
    EXPECT_EQ(outs, c.outs);
    EXPECT_EQ(ins, c.ins);
}

INSTANTIATE_TEST_SUITE_P(Replies, FirmwareChannelCounts,
                         ::testing::Values(CountsCase{0x05, 0x03, 10, 6},  // 5 output pairs
                                           CountsCase{0x7F, 0x7F, 16, 32}, // both capped
                                           CountsCase{0x08, 0x10, 16, 32}, // exactly the limits
                                           CountsCase{0x09, 0x11, 16, 32}, // one pair over
                                           CountsCase{0x85, 0x84, 10, 8},  // top bit is not a count
                                           CountsCase{0x00, 0x00, 0, 0}));

// ---------------------------------------------------------------------------
// Which firmware information each product and features record reads.

struct FirmwareCase {
    const char* name;
    uint16_t vendor, product;
    int features; // -1: no record; else index into kFeatureSets
    std::vector<Req> expect;
};

const std::vector<std::vector<int>> kFeatureSets = {
    {},                                                                  // 0: not Merrow-compatible
    {eSpecFeature_MerrowCompatible},                                     // 1
    {eSpecFeature_MerrowCompatible, eSpecFeature_FirmwareVersionString}, // 2
    {eSpecFeature_MerrowCompatible, eSpecFeature_FirmwareChannelCounts}, // 3
};

class FirmwareReads : public ::testing::TestWithParam<FirmwareCase> {};

// The model answers the 8- and 15-byte reads and stalls the 5-byte one, so
// a channel-count read goes out six times (five tries, each stall resent)
// and changes nothing.
TEST_P(FirmwareReads, AskWhatTheProductAndFeaturesCallFor) {
    const FirmwareCase& c = GetParam();
    Plugged d(c.vendor, c.product);
    ASSERT_NE(d.dev, nullptr);
    if (c.features >= 0) {
        APISpecificFeatures f = featuresWith(kFeatureSets[size_t(c.features)]);
        d.dev->initialSettings(&f);
    }
    d.model->clearTrace();
    d.dev->scanFirmwareVersion();
    EXPECT_EQ(d.requests(), c.expect);
    const bool versionRead = !c.expect.empty();
    EXPECT_EQ(d.dev->getFirmwareVersion(), versionRead ? 0x01020304u : 0u);

    EXPECT_EQ(d.dev->getSpecificData().mInputChannels, 2u);
    EXPECT_EQ(d.dev->getSpecificData().mOutputChannels, 2u);
    EXPECT_EQ(d.dev->getConfigurations().getDeviceSpecificData().mInputChannels, 0u);
    EXPECT_EQ(d.dev->getConfigurations().getDeviceSpecificData().mOutputChannels, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Products, FirmwareReads,
    ::testing::Values(
        FirmwareCase{
            "HX5100", kKorvexVendorID, kKorvexHX5100ProductID, -1, {kFirmware8, kFirmware15}},
        FirmwareCase{
            "LX880", kKorvexVendorID, kKorvexLX880ProductID, -1, {kFirmware8, kFirmware15}},
        FirmwareCase{
            "LX430", kKorvexVendorID, kKorvexLX430ProductID, -1, {kFirmware8, kFirmware15}},
        FirmwareCase{"LX310VersionOnly", kKorvexVendorID, kKorvexLX310ProductID, -1, {kFirmware8}},
        FirmwareCase{"MakerDeviceWithoutMerrow",
                     kQuarnelVendorID,
                     kQuarnelBulkB01ProductID,
                     0,
                     {kFirmware8}},
        FirmwareCase{
            "OtherWithoutMerrowReadsNothing", kPelgraneVendorID, kPelgraneStereo16ProductID, 0, {}},
        FirmwareCase{"ListedRecordWithoutTextFlag",
                     kKorvexVendorID,
                     kKorvexHX5100ProductID,
                     1,
                     {kFirmware8, kFirmware15}},
        FirmwareCase{
            "RecordWithoutTextFlag", kKorvexVendorID, kKorvexLX310ProductID, 1, {kFirmware8}},
        FirmwareCase{"RecordWithTextFlag",
                     kKorvexVendorID,
                     kKorvexLX310ProductID,
                     2,
                     {kFirmware8, kFirmware15}},
        FirmwareCase{"RecordWithCountsFlagStalled", kKorvexVendorID, kKorvexLX310ProductID, 3,
                     std::vector<Req>{kFirmware8} + times(kFirmware5, 6)},
        FirmwareCase{"CountsDeviceStalled", kPelgraneVendorID, kPelgraneCountsProductID, -1,
                     std::vector<Req>{kFirmware8} + times(kFirmware5, 6)}),
    [](const ::testing::TestParamInfo<FirmwareCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// PIC commands.

struct PicCase {
    const char* name;
    uint16_t product; // of the PIC device's maker, or the HX-5100
    int op;           // 0 set, 1 get, 2 the set-and-get exchange
    std::vector<Req> expect;
    std::vector<uint64_t> sleeps;
};

class PicCommands : public ::testing::TestWithParam<PicCase> {};

// The model has no microcontroller: it stalls both requests, so every try
// fails and the exchange gives up after five rounds without a get.
TEST_P(PicCommands, OnlyTheListedDeviceIsSentThem) {
    const PicCase& c = GetParam();
    const bool pic = c.product == kPelgranePicProductID;
    Plugged d(pic ? kPelgraneVendorID : kKorvexVendorID, c.product);
    ASSERT_NE(d.dev, nullptr);
    d.model->clearTrace();
    SleepRecorder& clock = SleepRecorder::install();
    clock.clear();
    bool ok = true;
    switch (c.op) {
    case 0:
        ok = d.dev->sendSetPicCommand(0xC1);
        break;
    case 1:
        ok = d.dev->sendGetPicCommand(0xC1);
        break;
    default:
        ok = d.dev->sendPicCommand(0xC1);
        break;
    }
    const std::vector<uint64_t> sleeps = clock.sleepsOf(std::this_thread::get_id());
    SleepRecorder::remove();
    EXPECT_FALSE(ok);
    EXPECT_EQ(d.requests(), c.expect);
    EXPECT_EQ(sleeps, c.sleeps);
    for (const hx::usb::TraceEntry& e : d.model->trace()) {
        if (e.setup.bRequest == 0x01) {
            EXPECT_EQ(e.dataOut, std::vector<uint8_t>{0xC1});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, PicCommands,
    ::testing::Values(PicCase{"SetStalled", kPelgranePicProductID, 0, times(kPicSet, 6), {}},
                      PicCase{"GetStalled", kPelgranePicProductID, 1, times(kPicGet, 6), {}},
                      PicCase{"ExchangeGivesUpAfterFiveRounds",
                              kPelgranePicProductID,
                              2,
                              times(kPicSet, 30),
                              {20, 20, 20, 20, 20}},
                      PicCase{"HX5100Set", kKorvexHX5100ProductID, 0, {}, {}},
                      PicCase{"HX5100Get", kKorvexHX5100ProductID, 1, {}, {}},
                      PicCase{"HX5100Exchange", kKorvexHX5100ProductID, 2, {}, {}}),
    [](const ::testing::TestParamInfo<PicCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// The descriptor scan.

TEST(DescriptorScan, SetsTheDeviceSpecificData) {
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_NE(d.dev, nullptr);
    const ZrDevice::SpecificData& s = d.dev->getSpecificData();
    EXPECT_EQ(s.mClockSourceAvailable[0], 1);
    EXPECT_EQ(s.mClockSourceAvailable[1], 1);
    EXPECT_EQ(s.mClockSourceAvailable[2], 0);
    EXPECT_EQ(s.mEnabled, 1);
    EXPECT_FALSE(s.mUSB3);
    EXPECT_EQ(s.mInputChannels, 2u);
    EXPECT_EQ(s.mOutputChannels, 2u);
    EXPECT_EQ(s.mStartupWaitMs, 0u);
    EXPECT_FALSE(s.mPendingChange);
    // The control port takes the HX-5100's family and packet size from the
    // descriptor, and its MIDI area the identity.
    EXPECT_EQ(d.dev->mInACR, 7u);
    EXPECT_EQ(d.dev->getAJ().packetSize(), 512u);
    ASSERT_NE(d.dev->getAJ().getMidiSM(), nullptr);
    const auto* sm =
        static_cast<const MidiSharedMemory*>(d.dev->getAJ().getMidiSM()->getBytesNoCopy());
    EXPECT_EQ(sm->mVendorID, kKorvexVendorID);
    EXPECT_EQ(sm->mProductID, kKorvexHX5100ProductID);
}

// The 16-bit stereo device starts at 2 + 2 channels of 16 bits; a later
// scan leaves what a client chose since.
TEST(DescriptorScan, StereoOnlyDeviceIsForcedOnItsFirstScanOnly) {
    Plugged d(kPelgraneVendorID, kPelgraneStereo16ProductID);
    ASSERT_NE(d.dev, nullptr);
    DriverSM* sm = d.dev->getDriverSM();
    ASSERT_NE(sm, nullptr);
    const QnChannelSettings forced{44100, 2, 16, 2, 16, 0};
    EXPECT_EQ(std::memcmp(&sm->mChannelSettings, &forced, sizeof forced), 0);

    const QnChannelSettings chosen{96000, 2, 24, 2, 24, 0};
    sm->mChannelSettings = chosen;
    USBByteBuffer again(sm->mDescriptor, 18);
    d.dev->scanDeviceDescriptor(again);
    EXPECT_EQ(std::memcmp(&sm->mChannelSettings, &chosen, sizeof chosen), 0);
}

TEST(DescriptorScan, OtherDevicesKeepTheDefaultSettings) {
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_NE(d.dev, nullptr);
    const QnChannelSettings defaults{44100, 2, 24, 2, 24, 0};
    EXPECT_EQ(std::memcmp(&d.dev->getDriverSM()->mChannelSettings, &defaults, sizeof defaults), 0);
}

// ---------------------------------------------------------------------------
// Descriptor-model views.

TEST(DescriptorViews, AreTheDescriptorModels) {
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_NE(d.dev, nullptr);
    ASSERT_EQ(d.dev->getCountConfigurationDescriptors(), 1);
    ASSERT_NE(d.dev->getConfigurationDescriptor(0), nullptr);
    EXPECT_EQ(d.dev->getConfigurationDescriptor(0),
              d.dev->getConfigurations().getConfigurationDescriptor(0));
    EXPECT_EQ(d.dev->getConfigurationDescriptor(1), nullptr);

    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    d.dev->getAPIDeviceInfo(*info);
    const APIDeviceInfo& own = *d.dev->getAPIDeviceInfoPtr();
    EXPECT_EQ(info->mVendor, kKorvexVendorID);
    EXPECT_EQ(info->mProduct, kKorvexHX5100ProductID);
    ASSERT_EQ(info->mNumConfigurations, 1);
    EXPECT_EQ(std::memcmp(&info->mConfigurations[0], &own.mConfigurations[0],
                          sizeof own.mConfigurations[0]),
              0);
}

// A device reporting six configurations is described with its first four.
TEST(DescriptorViews, DeviceInformationHoldsAtMostFourConfigurations) {
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_NE(d.dev, nullptr);
    std::span<const uint8_t> set = d.model->configurationDescriptor(0);
    std::vector<uint8_t> bytes(set.begin(), set.end());
    for (int i = 1; i < 6; ++i) {
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ASSERT_TRUE(d.dev->scanConfigurationDescriptors(buf));
    }
    ASSERT_EQ(d.dev->getCountConfigurationDescriptors(), 6);
    d.dev->getConfigurations().setConfigurationCount(6);

    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    d.dev->getAPIDeviceInfo(*info);
    ASSERT_EQ(info->mNumConfigurations, 4);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(info->mConfigurations[c].bConfigurationValue, 1) << c;
        EXPECT_EQ(info->mConfigurations[c].mNumInterfaces, 4) << c;
    }
}

struct DisableCase {
    const char* name;
    int by; // -1 nothing, 0 frequency, 1 resolution, 2 channels
    unsigned value;
    bool keeps44100, keeps48000;
};

class DisableFormats : public ::testing::TestWithParam<DisableCase> {};

// Whether some alternate of both streaming interfaces still offers 2
// channels of 24 bits at rate.
bool streamingOffers(const APIDeviceInfo& info, uint32_t rate) {
    const APIConfigInfo& c = info.mConfigurations[0];
    int found = 0;
    for (int i = 0; i < c.mNumInterfaces; ++i) {
        const APIInterfaceInfo& iface = c.mInterfaces[i];
        if (iface.mInterfaceNumber != 1 && iface.mInterfaceNumber != 2) continue;
        bool any = false;
        for (int a = 0; a < iface.mNumAlternates; ++a)
            any = any || iface.mAlternates[a].mStreaming.can(2, 24, rate, false);
        found += any;
    }
    return found == 2;
}

TEST_P(DisableFormats, ClearOnlyWhatMatches) {
    const DisableCase& c = GetParam();
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_NE(d.dev, nullptr);
    if (c.by == 0)
        d.dev->disableAllByFrequency(c.value);
    else if (c.by == 1)
        d.dev->disableAllByResolution(int(c.value));
    else if (c.by == 2)
        d.dev->disableAllByChannels((unsigned char)(c.value));
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    d.dev->getAPIDeviceInfo(*info);
    EXPECT_EQ(streamingOffers(*info, 44100), c.keeps44100);
    EXPECT_EQ(streamingOffers(*info, 48000), c.keeps48000);
}

INSTANTIATE_TEST_SUITE_P(Filters, DisableFormats,
                         ::testing::Values(DisableCase{"Nothing", -1, 0, true, true},
                                           DisableCase{"Rate44100", 0, 44100, false, true},
                                           DisableCase{"Rate32000", 0, 32000, true, true},
                                           DisableCase{"Resolution24", 1, 24, false, false},
                                           DisableCase{"Resolution16", 1, 16, true, true},
                                           DisableCase{"Channels2", 2, 2, false, false},
                                           DisableCase{"Channels8", 2, 8, true, true}),
                         [](const ::testing::TestParamInfo<DisableCase>& i) {
                             return std::string(i.param.name);
                         });

// ---------------------------------------------------------------------------
// Allocated bandwidth.

TEST(AllocatedBandwidth, ZeroWithoutADeviceModel) {
    auto* svc = new ZrKernelDeviceKorvexHX5100();
    EXPECT_EQ(svc->GetAllocatedBandWidth(), 0u);
    svc->release();
}

class AllocatedBandwidth : public ::testing::TestWithParam<uint8_t> {};

// Nothing before the pipes open; while configured, what the output and
// input pipes use; nothing once they close again.
TEST_P(AllocatedBandwidth, SumsTheOpenIsochronousPipes) {
    Plugged d(kKorvexVendorID, kKorvexHX5100ProductID, GetParam());
    ASSERT_NE(d.dev, nullptr);
    EXPECT_EQ(d.svc->GetAllocatedBandWidth(), 0u);

    IOUserClient* h = nullptr;
    EXPECT_EQ(d.svc->newUserClient(kernel_task, nullptr, 4, &h), kIOReturnBadArgument);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    ZrIsocStreaming& isoc = d.dev->getIsocStreaming();
    ASSERT_NE(isoc.inPipe().handle, nullptr);
    ASSERT_NE(isoc.outPipe().handle, nullptr);
    // 2 channels of 3 bytes each way: at full speed the frames of one bus
    // frame, at high speed the endpoint's whole packet.
    const uint32_t each = GetParam() >= 2 ? isoc.outPipe().maxPacket
                                          : ZrIsocStreaming::framesPerBusFrame(44100) * 3 * 2;
    EXPECT_EQ(isoc.outPipe().bandwidth, each);
    EXPECT_EQ(d.svc->GetAllocatedBandWidth(), isoc.outPipe().bandwidth + isoc.inPipe().bandwidth);
    EXPECT_GT(d.svc->GetAllocatedBandWidth(), 0u);

    d.svc->unconfigureDevice(false, "test");
    EXPECT_EQ(d.svc->GetAllocatedBandWidth(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Speeds, AllocatedBandwidth, ::testing::Values(uint8_t(1), uint8_t(2)));

} // namespace
