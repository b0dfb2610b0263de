// The shared device logic over description fixtures and an in-memory
// driver area.
#include "abi/DeviceFamilies.h"
#include "abi/DriverSM.h"
#include "platform/base/HXLog.h"
#include "device/QnAudioPluginClassCommons.h"
#include "tests/device/DeviceLogicFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstring>
#include <vector>

using namespace devicelogic;

namespace {

struct Unit {
    explicit Unit(std::unique_ptr<APIDeviceInfo> i) : info(std::move(i)), commons(host, *info) {
        commons.createIOBuffers();
    }
    FakeHost host;
    std::unique_ptr<APIDeviceInfo> info;
    QnAudioPluginClassCommons commons;
};

std::vector<AudioStreamBasicDescription> formats(QnAudioPluginClassCommons& c, bool isInput,
                                                 bool physical) {
    uint32_t n = c.getStreamFormatNum(isInput, physical);
    std::vector<AudioStreamBasicDescription> list(n);
    EXPECT_EQ(c.getStreamFormats(isInput, list.data(), n, physical, ~0u), 0);
    return list;
}

AudioStreamBasicDescription request(double rate, uint32_t flags, uint32_t channels, uint32_t bits) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = flags;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bits;
    return d;
}

TEST(DeviceLogicFamilies, HX5100WithoutRecord) {
    Unit u(hx5100Info(true));
    EXPECT_TRUE(u.commons.isMerrowCompatible());
    EXPECT_TRUE(u.commons.isMRW192Compatible());
    EXPECT_FALSE(u.commons.isAC3compatible());
    EXPECT_FALSE(u.commons.isQuarnelBulkDevice(true));
    EXPECT_FALSE(u.commons.isSorvikFarlaneDevice());
}

TEST(DeviceLogicFamilies, PredicateTable) {
    struct Row {
        uint16_t vendor, product;
        bool usb2;
        bool mrw30, bulk, bulkInIsoc, farlane1, farlane2;
    };
    const Row rows[] = {
        {kQuarnelVendorID, kQuarnelBulkB01ProductID, true, false, true, false, false, false},
        {kQuarnelVendorID, kQuarnelBulkB01ProductID, false, false, false, false, false, false},
        {kQuarnelVendorID, kQuarnelBulkInIsocOutProductID, true, false, false, true, false, false},
        {kQuarnelVendorID, kQuarnelPhonoProductID, false, false, false, false, false, false},
        {kKorvexVendorID, kKorvexMRW30ProductID, true, true, false, false, false, false},
        {kSorvikVendorID, 8, true, false, false, false, true, false},
        {kSorvikVendorID, 28, true, false, false, false, false, true},
        {0x1934, 8, true, false, false, false, false, false},
    };
    for (const Row& r : rows) {
        Unit u(genericInfo(r.vendor, r.product));
        SCOPED_TRACE(testing::Message()
                     << std::hex << r.vendor << ":" << r.product << " usb2 " << r.usb2);
        EXPECT_EQ(u.commons.isMRW30Compatible(), r.mrw30);
        EXPECT_EQ(u.commons.isQuarnelBulkDevice(r.usb2), r.bulk);
        EXPECT_EQ(u.commons.isQuarnelBulkInIsocOutDevice(r.usb2), r.bulkInIsoc);
        EXPECT_EQ(u.commons.isSorvikFarlane1(), r.farlane1);
        EXPECT_EQ(u.commons.isSorvikFarlane2(), r.farlane2);
    }
}

TEST(DeviceLogicFamilies, RecordFlagsDecideWhenValid) {
    Unit u(hx5100Info(true));
    u.info->mFeatures.mLoaded = 1;
    EXPECT_FALSE(u.commons.isMerrowCompatible());
    u.commons.setSpecFeature(15);
    u.commons.setSpecFeature(eSpecFeature_QuarnelBulk);
    EXPECT_TRUE(u.commons.isAC3compatible());
    EXPECT_TRUE(u.commons.isQuarnelBulkDevice(true));
    EXPECT_FALSE(u.commons.isQuarnelBulkDevice(false));
}

TEST(DeviceLogicFamilies, IdentitiesNamedOnce) {
    // Each list names a product at most once, and every list holds one.
    for (DeviceFamily f :
         {DeviceFamily(DeviceFamilies::kHX5100Group),
          DeviceFamily(DeviceFamilies::kInterfaceZeroOneGroup),
          DeviceFamily(DeviceFamilies::kMRW30), DeviceFamily(DeviceFamilies::kQuarnelBulk),
          DeviceFamily(DeviceFamilies::kMonoAtHighRate),
          DeviceFamily(DeviceFamilies::kCoreAudioSuffix)}) {
        ASSERT_FALSE(f.empty());
        for (size_t i = 0; i < f.size(); ++i)
            for (size_t j = i + 1; j < f.size(); ++j)
                EXPECT_FALSE(f[i].vendor == f[j].vendor && f[i].product == f[j].product &&
                             f[i].release == f[j].release);
    }
    EXPECT_TRUE(DeviceFamilies::contains(DeviceFamilies::kHX5100Group, kKorvexVendorID,
                                         kKorvexLX420ProductID));
    EXPECT_FALSE(DeviceFamilies::contains(DeviceFamilies::kHX5100Group, kKorvexVendorID,
                                          kKorvexLX880ProductID));
    EXPECT_TRUE(DeviceFamilies::contains(DeviceFamilies::kHX5100Group, kBrindleVendorID,
                                         kBrindleB3ProductID, kBrindleB3Release));
    EXPECT_FALSE(DeviceFamilies::contains(DeviceFamilies::kHX5100Group, kBrindleVendorID,
                                          kBrindleB3ProductID, 0x0100));
}

CFDictionaryRef propertiesWithConfigurationData(int bytes) {
    CFMutableDictionaryRef specific = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (bytes >= 0) {
        std::vector<UInt8> data(size_t(bytes), 0);
        if (bytes > 312 + 15) data[312 + 15] = 1; // AC-3
        CFDataRef d = CFDataCreate(nullptr, data.data(), bytes);
        CFStringRef key =
            CFStringCreateWithCString(nullptr, "kConfigurationData", kCFStringEncodingUTF8);
        CFDictionarySetValue(specific, key, d);
        CFRelease(key);
        CFRelease(d);
    }
    CFMutableDictionaryRef props = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef key = CFStringCreateWithCString(nullptr, "QnSpecific", kCFStringEncodingUTF8);
    CFDictionarySetValue(props, key, specific);
    CFRelease(key);
    CFRelease(specific);
    return props;
}

TEST(DeviceLogicFamilies, SpecificFeaturesNeedAFullRecord) {
    for (int bytes : {-1, 379, 380}) {
        Unit u(hx5100Info(true));
        u.host.properties = propertiesWithConfigurationData(bytes);
        u.commons.setupSpecificFeatures();
        SCOPED_TRACE(bytes);
        EXPECT_EQ(u.info->mFeatures.mLoaded != 0, bytes == 380);
        EXPECT_EQ(u.commons.isAC3compatible(), bytes == 380);
        EXPECT_TRUE(u.info->mFeatures.hasFlag(9));
        EXPECT_TRUE(u.info->mFeatures.hasFlag(12));
        CFRelease(u.host.properties);
    }
}

TEST(DeviceLogicScan, CapsCountsAndNeverNarrows) {
    auto info = hx5100Info(true);
    EXPECT_TRUE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 0, 48000, 24, 2, false, true).mFound);
    EXPECT_TRUE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 0, 48000, 24, 2, false, false).mFound);
    EXPECT_FALSE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 0, 48000, 24, 258, false, true).mFound);
    EXPECT_FALSE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 0, 48000, 280, 2, false, true).mFound);
    EXPECT_FALSE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 1, 48000, 24, 2, false, true).mFound);
    info->mNumConfigurations = 200;
    info->mConfigurations[0].mNumInterfaces = 200;
    EXPECT_TRUE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 0, 48000, 24, 2, false, true).mFound);
    EXPECT_FALSE(
        QnAudioPluginClassCommons::scanAPIDeviceInfo(*info, 7, 48000, 24, 2, false, true).mFound);
}

TEST(DeviceLogicFormats, HX5100Lists) {
    struct Row {
        bool high;
        size_t physical, virtualCount;
    };
    for (Row r : {Row{false, 2, 4}, Row{true, 6, 12}}) {
        Unit u(hx5100Info(r.high));
        auto phys = formats(u.commons, false, true);
        auto virt = formats(u.commons, false, false);
        EXPECT_EQ(phys.size(), r.physical);
        EXPECT_EQ(virt.size(), r.virtualCount);
        for (auto& d : phys) {
            EXPECT_EQ(d.mBitsPerChannel, 24u);
            EXPECT_EQ(d.mBytesPerFrame, 6u);
            EXPECT_EQ(d.mChannelsPerFrame, 2u);
        }
        ASSERT_GE(virt.size(), 2u);
        EXPECT_EQ(virt[0].mFormatFlags, kAudioFormatFlagIsFloat);
        EXPECT_EQ(virt[1].mFormatFlags, kAudioFormatFlagIsSignedInteger);
        EXPECT_EQ(virt[0].mSampleRate, 44100.0);
        uint32_t n = u.commons.getStreamFormatNum(false, true);
        std::vector<AudioStreamBasicDescription> list(n + 1);
        EXPECT_EQ(u.commons.getStreamFormats(false, list.data(), n + 1, true, ~0u),
                  kIOReturnBadArgument);
        EXPECT_EQ(u.commons.getStreamFormats(false, list.data(), n - 1, true, ~0u),
                  kIOReturnBadArgument);
        std::vector<AudioStreamRangedDescription> ranged(n);
        ASSERT_EQ(u.commons.getAvailableFormats(false, ranged.data(), n, true, ~0u), 0);
        for (auto& rd : ranged) {
            EXPECT_EQ(rd.mSampleRateRange.mMinimum, rd.mFormat.mSampleRate);
            EXPECT_EQ(rd.mSampleRateRange.mMaximum, rd.mFormat.mSampleRate);
        }
    }
}

TEST(DeviceLogicFormats, AC3FillsEveryEntry) {
    Unit u(hx5100Info(false));
    u.info->mFeatures.mLoaded = 1;
    u.info->mFeatures.mOutInterface = 1;
    u.info->mFeatures.mOutAlternate = 2;
    u.info->mFeatures.mInInterface = 2;
    u.info->mFeatures.mInAlternate = 2;
    u.commons.setSpecFeature(0);
    u.commons.setSpecFeature(15);
    uint32_t n = u.commons.getStreamFormatNum(false, true);
    ASSERT_EQ(n, 4u); // two rates, one entry and the AC-3 entry each
    std::vector<AudioStreamBasicDescription> list(n);
    std::memset(list.data(), 0xAA, n * sizeof list[0]);
    ASSERT_EQ(u.commons.getStreamFormats(false, list.data(), n, true, ~0u), 0);
    EXPECT_EQ(list[1].mFormatID, kAudioFormat60958AC3);
    EXPECT_EQ(list[1].mFormatFlags, 12u);
    EXPECT_EQ(list[1].mChannelsPerFrame, 2u);
    EXPECT_EQ(list[1].mBytesPerFrame, 4u);
    EXPECT_EQ(list[3].mSampleRate, 48000.0);
    for (auto& d : list)
        EXPECT_NE(d.mReserved, 0xAAAAAAAAu);
}

TEST(DeviceLogicFormats, NoDriverArea) {
    Unit u(hx5100Info(true));
    u.host.mapped = false;
    AudioStreamBasicDescription d{};
    EXPECT_EQ(u.commons.getStreamFormat(true, &d, true, ~0u), kIOReturnNoDevice);
    uint32_t lo = 1, hi = 1;
    u.commons.getFrameSizeRangeInt(&lo, &hi);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 0u);
    EXPECT_EQ(u.commons.setStreamFormat(true, &d, true), kIOReturnNoDevice);
}

TEST(DeviceLogicSetStreamFormat, VirtualIntegerIsConfiguredAt24Bits) {
    Unit u(hx5100Info(true));
    auto d = request(0, kAudioFormatFlagIsSignedInteger, 2, 32);
    EXPECT_EQ(u.commons.setStreamFormat(false, &d, false), 0);
    EXPECT_TRUE(u.host.requests.empty()); // same shape, same rate: nothing to send
    EXPECT_EQ(u.commons.currentSettings().Frequency, 48000u);
    EXPECT_EQ(u.commons.currentSettings().OutResolution, 24u);
}

TEST(DeviceLogicSetStreamFormat, RateChangeReachesTheKernel) {
    Unit u(hx5100Info(true));
    auto d = request(96000, kAudioFormatFlagIsFloat, 2, 32);
    EXPECT_EQ(u.commons.setStreamFormat(false, &d, false), 0);
    EXPECT_EQ(std::count(u.host.requests.begin(), u.host.requests.end(), 6u), 1);
    EXPECT_EQ(u.host.sm->mChannelSettings.Frequency, 96000u);
    EXPECT_EQ(u.commons.getFrequency(), 96000u);
}

TEST(DeviceLogicSetStreamFormat, WhileStreamingOnlyTheRate) {
    Unit u(hx5100Info(true));
    ASSERT_TRUE(u.commons.prepareHardware());
    hx::log::Capture capture;
    auto mono = request(48000, kAudioFormatFlagIsSignedInteger, 1, 24);
    auto bits16 = request(48000, kAudioFormatFlagIsSignedInteger, 2, 16);
    EXPECT_EQ(u.commons.setStreamFormat(false, &mono, true), kIOReturnBusy);
    EXPECT_EQ(u.commons.setStreamFormat(false, &bits16, true), kIOReturnBusy);
    std::string log = capture.text();
    EXPECT_NE(log.find("ERROR "), std::string::npos);
    EXPECT_NE(log.find(" while streaming"), std::string::npos);
    EXPECT_TRUE(u.host.requests.empty());
    auto rate = request(44100, kAudioFormatFlagIsSignedInteger, 2, 24);
    EXPECT_EQ(u.commons.setStreamFormat(false, &rate, true), 0);
    EXPECT_EQ(u.host.sm->mChannelSettings.Frequency, 44100u);
}

TEST(DeviceLogicUSB1, HighRateKeepsOneDirection) {
    struct Row {
        bool isInput;
        uint32_t in, out;
        uint32_t expectIn, expectOut;
    };
    const Row rows[] = {
        {true, 2, 2, 2, 0},  {true, 1, 2, 1, 1},  {true, 4, 2, 0, 2},
        {false, 2, 1, 1, 1}, {false, 2, 2, 0, 2},
    };
    for (const Row& r : rows) {
        Unit u(genericInfo(0x2FFF, 1));
        u.host.sm->mHighSpeed = 0;
        QnChannelSettings s{96000, r.in, 24, r.out, 24, 0};
        u.commons.usbFindConfiguration(r.isInput, nullptr, nullptr, &s);
        EXPECT_EQ(s.InChannels, r.expectIn);
        EXPECT_EQ(s.OutChannels, r.expectOut);
    }
}

TEST(DeviceLogicFrameSizes, Edges) {
    Unit u(hx5100Info(true));
    EXPECT_EQ(u.commons.setFrameSize(32, false, false), kIOReturnBadArgument);
    EXPECT_EQ(u.commons.setFrameSize(32, false, true), 0);
    EXPECT_EQ(u.commons.getFrameSize(), 64u);
    EXPECT_EQ(u.commons.setFrameSize(10000, false, true), 0);
    EXPECT_EQ(u.commons.getFrameSize(), 8192u);
    size_t notices = u.host.frameNotices.size();
    EXPECT_EQ(u.commons.setFrameSize(8192, false, false), 0);
    EXPECT_EQ(u.host.frameNotices.size(), notices);
    EXPECT_EQ(u.commons.setFrameSize(512, false, false), 0);
    EXPECT_EQ(u.commons.getFrameSizeBytes(false), 4096u);
    ASSERT_TRUE(u.commons.prepareHardware());
    EXPECT_EQ(u.commons.setFrameSize(256, false, false), 0);
    EXPECT_EQ(u.commons.getFrameSize(), 256u);
    EXPECT_EQ(u.commons.frameSizeProperty(), 512u);
    EXPECT_EQ(u.commons.takePendingFrameSize(), 256u);
    EXPECT_EQ(u.commons.frameSizeProperty(), 256u);
    double lo, hi;
    u.commons.getFrameSizeRangeBytes(true, &lo, &hi);
    EXPECT_EQ(lo, 64.0 * 8);
    EXPECT_EQ(hi, 8192.0 * 8);
}

TEST(DeviceLogicFrameSizes, AudioThreadTakesPendingSizes) {
    Unit u(hx5100Info(true));
    ASSERT_TRUE(u.commons.prepareHardware());
    std::atomic<bool> done{false};
    std::vector<uint32_t> taken;
    std::thread audio([&] {
        // The audio thread's side: one look per cycle.
        while (!done.load()) {
            if (uint32_t size = u.commons.takePendingFrameSize()) taken.push_back(size);
            std::this_thread::yield();
        }
        if (uint32_t size = u.commons.takePendingFrameSize()) taken.push_back(size);
    });
    for (uint32_t size : {128u, 256u, 1024u, 2048u})
        EXPECT_EQ(u.commons.setFrameSize(size, false, false), 0);
    done.store(true);
    audio.join();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.back(), 2048u);
    EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
    EXPECT_EQ(u.commons.getFrameSize(), 2048u);
}

TEST(DeviceLogicSetStreamFormat, NestedCallOnTheSameThreadDoesNothing) {
    struct NestingHost : FakeHost {
        void hostReportFormatChange(const AudioStreamBasicDescription&,
                                    const AudioStreamBasicDescription&,
                                    const AudioStreamBasicDescription&,
                                    const AudioStreamBasicDescription&) override {
            auto d = request(44100, kAudioFormatFlagIsFloat, 2, 32);
            nested.push_back(commons->setStreamFormat(false, &d, false));
        }
        QnAudioPluginClassCommons* commons = nullptr;
        std::vector<OSStatus> nested;
    };
    NestingHost host;
    auto info = hx5100Info(true);
    QnAudioPluginClassCommons commons(host, *info);
    host.commons = &commons;
    commons.createIOBuffers();
    auto d = request(96000, kAudioFormatFlagIsFloat, 2, 32);
    std::thread other([&] {
        auto o = request(48000, kAudioFormatFlagIsFloat, 2, 32);
        commons.setStreamFormat(false, &o, false);
    });
    EXPECT_EQ(commons.setStreamFormat(false, &d, false), 0);
    other.join();
    ASSERT_FALSE(host.nested.empty());
    for (OSStatus s : host.nested)
        EXPECT_EQ(s, 0);
    // Both changes acted (the other thread waited rather than getting 0 idle).
    EXPECT_GE(std::count(host.requests.begin(), host.requests.end(), 6u), 1);
    EXPECT_EQ(host.sm->mChannelSettings.Frequency, commons.getFrequency());
}

TEST(DeviceLogicFrameSizes, SlotWordTakesTheFrameSize) {
    Unit u(hx5100Info(true));
    u.host.sm->mClients[3].mClient = u.host.identity;
    u.commons.setFrameSize(1024, false, false);
    EXPECT_EQ(u.host.sm->mClients[3].mParameter, 1024u);
    EXPECT_EQ(u.host.sm->mClients[0].mParameter, 0u);
}

TEST(DeviceLogicRates, HighSpeedList) {
    Unit u(hx5100Info(true));
    EXPECT_EQ(u.commons.getSampleRates(nullptr, 0), 6u);
    std::vector<AudioValueRange> ranges(6);
    ASSERT_EQ(u.commons.getSampleRates(ranges.data(), 6), 6u);
    for (auto& r : ranges)
        EXPECT_NE(r.mMinimum, 64000.0);
    EXPECT_EQ(u.commons.getSampleRates(ranges.data(), 2), 2u);
    EXPECT_EQ(u.commons.getSampleRates(ranges.data(), 0), 0u);
}

TEST(DeviceLogicRates, CurrentRateOnlyClient) {
    Unit u(hx5100Info(true));
    u.host.appType = 4;
    AudioValueRange r[8];
    EXPECT_EQ(u.commons.getSampleRates(r, 8), 1u);
    EXPECT_EQ(r[0].mMinimum, 48000.0);
    EXPECT_FALSE(u.commons.canSampleRate(44100));
    EXPECT_TRUE(u.commons.canSampleRate(48000));
    EXPECT_EQ(u.commons.getStreamFormatNum(true, false), 1u);
    EXPECT_EQ(u.commons.getStreamFormatNum(false, true), 1u);
}

TEST(DeviceLogicRates, DeferredWhileAnotherClientStreams) {
    Unit u(hx5100Info(true));
    u.host.sm->mAttachedClients = 1;
    EXPECT_TRUE(u.commons.setFrequency(false, 96000));
    EXPECT_TRUE(u.host.requests.empty());
    EXPECT_EQ(u.commons.pendingDirection(), 2u);
    AudioStreamBasicDescription d{};
    ASSERT_EQ(u.commons.getStreamFormat(false, &d, true, ~0u), 0);
    EXPECT_EQ(d.mSampleRate, 96000.0);
    // The control panel's change reaches the kernel.
    Unit panel(hx5100Info(true));
    panel.host.sm->mAttachedClients = 1;
    panel.host.appType = 1;
    EXPECT_TRUE(panel.commons.setFrequency(false, 96000));
    EXPECT_EQ(panel.host.requests, std::vector<uint32_t>{6});
    EXPECT_EQ(panel.commons.pendingDirection(), 0u);
}

TEST(DeviceLogicRates, ChoiceTable) {
    // Stereo 24-bit both ways at 48000, eight channels only at 44100.
    Unit u(genericInfo(0x2FFF, 1));
    addAlternate(*u.info, 0, 1, 1, true, 2, 24, {48000});
    addAlternate(*u.info, 0, 2, 1, false, 2, 24, {48000});
    addAlternate(*u.info, 0, 1, 2, true, 8, 24, {44100});
    addAlternate(*u.info, 0, 2, 2, false, 8, 24, {44100});
    QnChannelSettings s{};
    bool changed = false;
    ASSERT_TRUE(u.commons.setSampleRate(false, 48000, &changed, &s));
    EXPECT_EQ(s.InChannels, 2u);
    EXPECT_EQ(s.InResolution, 24u);
    EXPECT_EQ(s.OutChannels, 2u);
    EXPECT_EQ(s.OutResolution, 24u);
    EXPECT_FALSE(changed);
    EXPECT_FALSE(u.commons.setSampleRate(false, 64000, &changed, &s));
    // 2 x 24 in + 2 x 24 out at 96000 is 1152 bytes: above USB 1's 800.
    EXPECT_EQ(QnAudioPluginClassCommons::calcBW(4, 2, 1) * 2, 1152);
    Unit slow(genericInfo(0x2FFF, 1));
    slow.host.sm->mHighSpeed = 0;
    addAlternate(*slow.info, 0, 1, 1, true, 2, 24, {96000});
    addAlternate(*slow.info, 0, 2, 1, false, 2, 24, {96000});
    ASSERT_TRUE(slow.commons.setSampleRate(false, 96000, &changed, &s));
    EXPECT_EQ(s.InChannels + s.OutChannels, 2u);
}

TEST(DeviceLogicRates, NoConfigurationIsRefused) {
    Unit u(hx5100Info(true));
    QnChannelSettings s{48000, 7, 24, 7, 24, 0};
    EXPECT_EQ(u.commons.setSettings(s, false, false, false), kIOReturnBadArgument);
    EXPECT_EQ(u.host.formatChanged, 1);
    EXPECT_TRUE(u.host.requests.empty());
}

TEST(DeviceLogicRIAA, Impulses) {
    testing::internal::CaptureStdout();
    struct Row {
        int rate;
        double first;
    };
    RIAA probe;
    probe.init(44100, 1);
    const double first441 = float(probe.gain() * (probe.coefficient(1) + probe.coefficient(5)));
    for (Row r :
         {Row{96000, 0.0481499992}, Row{44100, first441}, Row{44190, first441}, Row{32000, 0.0}}) {
        RIAA f;
        f.init(r.rate, 2);
        float in[8] = {1.0f, 0, 0, 0, 0, 0, 0, 0}, out[8] = {};
        f.processReplacing(in, out, 4);
        EXPECT_FLOAT_EQ(out[0], float(r.first)) << r.rate;
        EXPECT_EQ(out[1], 0.0f); // the other channel is left alone
        if (r.rate == 32000) {
            for (float v : out)
                EXPECT_EQ(v, 0.0f);
        }
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("init_Filter_Coef 96000, 2, 960\n"), std::string::npos);
    EXPECT_EQ(printed.find("processReplacing"), std::string::npos);
}

TEST(DeviceLogicRIAA, PhonoProductSetsUpItsFilters) {
    Unit u(genericInfo(kQuarnelVendorID, kQuarnelPhonoProductID));
    testing::internal::CaptureStdout();
    u.commons.createIOBuffers();
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("HERE SETSETTINGS__________ Freq. 48000 Chann. 2 \n"),
              std::string::npos);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(u.commons.riaa(i).stride(), 2);
        EXPECT_FLOAT_EQ(float(u.commons.riaa(i).gain()), 0.0577300005f);
    }
}

TEST(DeviceLogicExtData, ValidateAndDefaults) {
    QnAjExtData e{};
    e.mDigitalLockFrequency = 77;
    e.mClockSource = 3;
    e.mUSB1Mode = 5;
    e.mDigitalOutMode = 1;
    e.validate();
    EXPECT_EQ(e.mClockSource, 0u);
    EXPECT_EQ(e.mUSB1Mode, 0u);
    EXPECT_EQ(e.mDigitalOutMode, 1u);
    e.mClockSource = 2;
    EXPECT_EQ(e.validate().mClockSource, 2u);
    e.setDefaults();
    uint32_t words[10];
    std::memcpy(words, &e, sizeof words);
    EXPECT_EQ(words[0], 77u);
    const uint32_t expected[] = {0, 1, 2, 0, 1};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(words[5 + i], expected[i]);
}

} // namespace
