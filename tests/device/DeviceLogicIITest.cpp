// The device logic's second half: data sources, mute, volume and
// monitoring; the kernel settings bridge; channel names and Sorvik packing;
// the state-change handler. Table tests run on blocks written into an
// in-memory driver area; the rest runs on the real stack in this process
// (bus, HX-5100 model, kernel driver and user clients, a device connection),
// with state changes taken from the service's interest notifications as the
// device's interest callback takes them.
#include "tests/device/DeviceLogicFixtures.h"

#include "abi/DeviceFamilies.h"
#include "abi/ServiceClass.h"
#include "device/DriverConnection.h"
#include "device/OSXAsioRegistry.h"
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "tests/device/DeviceEventRecorder.h"
#include "device/QnAudioPluginClassCommons.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFUserNotification.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/sys/HXShell.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using devicelogic::FakeHost;
using Event = QnAudioPluginHost::ClientEvent;
using Scope = QnAudioPluginHost::PropertyScope;

namespace {

std::string text(CFStringRef s) {
    if (!s) return "<null>";
    char buffer[512] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    CFRelease(s);
    return buffer;
}

// The in-memory host that records what the logic sends, with a reply the
// test chooses and calls that can fail.
struct RecordingHost : FakeHost {
    struct Sent {
        uint32_t req;
        std::vector<uint8_t> payload;
    };
    bool hostCall(uint32_t req, void* payload, uint32_t bytes) override {
        auto* p = static_cast<uint8_t*>(payload);
        sent.push_back({req, std::vector<uint8_t>(p, p + bytes)});
        if (failCalls) return false;
        if (replyWord) std::memcpy(p + (req == 35 ? 4 : 0), &*replyWord, 4);
        return true;
    }
    QnAudioPluginSettingsStore* hostSettingsStore() override { return store; }
    void hostClientEvent(Event e, const QN_StateChange&) override { events.push_back(e); }
    void hostPropertyChanged(Scope s, uint32_t selector) override {
        notices.push_back({s, selector});
    }
    std::vector<Sent> sent;
    bool failCalls = false;
    std::optional<uint32_t> replyWord;
    QnAudioPluginSettingsStore* store = nullptr;
    std::vector<Event> events;
    std::vector<std::pair<Scope, uint32_t>> notices;
};

struct Logic {
    explicit Logic(uint16_t vendor = kKorvexVendorID, uint16_t product = kKorvexHX5100ProductID)
        : info(devicelogic::hx5100Info(true)) {
        info->mVendor = vendor;
        info->mProduct = product;
        commons = std::make_unique<QnAudioPluginClassCommons>(host, *info);
        commons->createIOBuffers(); // takes the area's current settings
    }
    XsControlGroup& group(bool isInput) {
        return isInput ? host.sm->mControls.cIn : host.sm->mControls.cOut;
    }
    RecordingHost host;
    std::unique_ptr<APIDeviceInfo> info;
    std::unique_ptr<QnAudioPluginClassCommons> commons;
};

// One output record with a volume entry and mute.
void oneRecord(XsControlGroup& g, int16_t channels, XsVolumeTriplet v) {
    g.mCount = 1;
    g.mMode = 0;
    g.iSelector = 1;
    std::strcpy(g.mEndpoints[0].mName, "Speaker");
    g.mEndpoints[0].mChannels = channels;
    g.mEndpoints[0].mMutePresent = 1;
    g.mEndpoints[0].mVolumePresent = 1;
    for (auto& e : g.mEndpoints[0].mVolumes)
        e = v;
}

// ---- Controls on the driver area's blocks

TEST(Controls, VolumeScalarStoresTheTruncatedValueAndSendsOnce) {
    Logic l;
    oneRecord(l.group(false), -1, {-32768, 0, 0});
    ASSERT_TRUE(l.commons->setVolumeScalar(false, 0, 0.5f));
    EXPECT_EQ(l.group(false).mEndpoints[0].mVolumes[0].mCur, -16384);
    ASSERT_TRUE(l.commons->setVolumeScalar(false, 0, 0.5f));
    ASSERT_EQ(l.host.sent.size(), 1u);
    EXPECT_EQ(l.host.sent[0].req, 12u);
    // The previous state was saved before the edit.
    EXPECT_EQ(l.host.sm->mSavedControls.cOut.mEndpoints[0].mVolumes[0].mCur, 0);
    float scalar = -1, dB = 1;
    ASSERT_TRUE(l.commons->getVolumeScalar(false, 0, &scalar));
    EXPECT_FLOAT_EQ(scalar, 0.5f);
    ASSERT_TRUE(l.commons->getVolumeDB(false, 0, &dB));
    EXPECT_FLOAT_EQ(dB, -64.0f);
}

TEST(Controls, VolumeElementsByChannelCount) {
    struct Row {
        int16_t count;
        uint32_t element;
        bool volume;
    };
    const Row rows[] = {{2, 0, false}, {2, 1, true},   {2, 2, true},   {2, 3, false},
                        {-1, 0, true}, {-1, 1, false}, {200, 8, true}, {200, 9, false},
                        {-5, 0, true}, {-5, 1, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.count << "/" << r.element);
        Logic l;
        oneRecord(l.group(false), r.count, {-100, -50, 0});
        l.group(false).mEndpoints[0].mVolumes[0].mCur = -25;
        EXPECT_EQ(l.commons->canVolume(false, r.element), r.volume);
        float dB = 0;
        EXPECT_EQ(l.commons->getVolumeDB(false, r.element, &dB), r.volume);
        // Elements 0 and 1 read entry 0 where they have volume.
        if (r.volume && r.element <= 1) {
            EXPECT_FLOAT_EQ(dB, -25.0f / 256);
        }
    }
}

TEST(Controls, EmptyRangeAndNaNNeverDivideOrStore) {
    Logic l;
    oneRecord(l.group(false), -1, {0, 0, 0});
    float scalar = -1;
    ASSERT_TRUE(l.commons->getVolumeScalar(false, 0, &scalar));
    EXPECT_EQ(scalar, 0.0f);
    EXPECT_FALSE(l.commons->setVolumeScalar(false, 0, 0.7f));
    oneRecord(l.group(false), -1, {-256, -128, 0});
    ASSERT_TRUE(l.commons->setVolumeScalar(false, 0, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(l.group(false).mEndpoints[0].mVolumes[0].mCur, -256);
    ASSERT_TRUE(l.commons->setVolumeScalar(false, 0, 7.0f));
    EXPECT_EQ(l.group(false).mEndpoints[0].mVolumes[0].mCur, 0);
}

TEST(Controls, DataSourcesAndMuteOnTheBlocks) {
    Logic l;
    XsControlGroup& g = l.group(true);
    oneRecord(g, -1, {0, 0, 0});
    g.mCount = 2;
    std::strcpy(g.mEndpoints[1].mName, "Line");
    EXPECT_EQ(l.commons->getNumDataSources(true), 2u);
    EXPECT_EQ(text([&] {
                  CFStringRef n = nullptr;
                  l.commons->getDataSourcesName(true, 2, &n);
                  return n;
              }()),
              "Line");
    EXPECT_EQ(l.commons->setDataSource(true, 3), kIOReturnBadArgument);
    EXPECT_EQ(l.commons->setDataSource(true, 0), kIOReturnBadArgument);
    EXPECT_TRUE(l.host.sent.empty());
    EXPECT_EQ(l.commons->setDataSource(true, 2), kIOReturnSuccess);
    EXPECT_EQ(g.iSelector, 2);
    EXPECT_EQ(l.commons->getDataSourceID(true), 2u);
    ASSERT_EQ(l.host.sent.size(), 1u);
    EXPECT_EQ(l.host.sent[0].req, 19u);
    // Record 1 is selected now and has no mute.
    EXPECT_EQ(l.commons->getMute(true, 0), -1);
    g.iSelector = 1;
    EXPECT_EQ(l.commons->getMute(true, 0), 0);
    EXPECT_EQ(l.commons->getMute(true, 1), -1);
    EXPECT_TRUE(l.commons->setMute(true, 0, 0x101)); // the low byte counts
    EXPECT_EQ(g.mEndpoints[0].mMute, 1);
    EXPECT_TRUE(l.commons->setMute(true, 0, 1));
    EXPECT_EQ(l.host.sent.size(), 2u);
    EXPECT_EQ(l.host.sent[1].req, 10u);
}

TEST(Controls, HostileCountsAndUnterminatedNamesStayInBounds) {
    for (uint32_t count : {200u, uint32_t(-5)}) {
        Logic l;
        XsControlGroup& g = l.group(false);
        g.mCount = count;
        g.iSelector = 0x80;
        std::memset(g.mEndpoints, 'x', sizeof g.mEndpoints);
        const uint32_t expected = count == 200u ? 8u : 1u;
        EXPECT_EQ(l.commons->getNumDataSources(false), expected);
        for (uint32_t id = 0; id <= 9; ++id) {
            CFStringRef n = nullptr;
            l.commons->getDataSourcesName(false, id, &n);
            const std::string name = text(n);
            EXPECT_LE(name.size(), 64u);
        }
        EXPECT_EQ(l.commons->setDataSource(false, 9), kIOReturnBadArgument);
        float dB;
        for (uint32_t e = 0; e < 12; ++e)
            l.commons->getVolumeDB(false, e, &dB);
    }
}

TEST(Controls, TrunkInputHasThreeSourcesWithTheSyncByte) {
    Logic l(kTrunkVendorID, kTrunkProductID);
    EXPECT_EQ(l.commons->getNumDataSources(true), 3u);
    struct Row {
        uint32_t id;
        uint8_t selector, sync;
        const char* name;
    };
    const Row rows[] = {
        {1, 1, 1, "Analog"}, {2, 1, 2, "Analog - Sync Digital"}, {3, 2, 2, "SPDIF (RCA)"}};
    for (const Row& r : rows) {
        EXPECT_EQ(l.commons->setDataSource(true, r.id), kIOReturnSuccess);
        EXPECT_EQ(l.host.sm->mControls.cIn.iSelector, r.selector);
        EXPECT_EQ(l.host.sm->mControls.cSync.mSelection, r.sync);
        EXPECT_EQ(l.commons->getDataSourceID(true), r.id);
        CFStringRef n = nullptr;
        l.commons->getDataSourcesName(true, r.id, &n);
        EXPECT_EQ(text(n), r.name);
    }
    l.host.failCalls = true;
    EXPECT_EQ(l.commons->setDataSource(true, 1), kIOReturnError);
}

TEST(Controls, MonitorCodesPerMode) {
    const uint16_t vendor = DeviceFamilies::kMonoAtHighRate[0].vendor;
    const uint16_t product = DeviceFamilies::kMonoAtHighRate[0].product;
    struct Row {
        uint32_t mode;
        uint32_t element;
        uint32_t setCode; // request 11's code for "on"; 99: not offered
    };
    const Row rows[] = {{0, 0, 99}, {1, 0, 1},  {1, 1, 99}, {2, 0, 12}, {2, 1, 99},
                        {4, 0, 99}, {4, 1, 12}, {4, 2, 12}, {4, 3, 34}, {4, 4, 34}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << r.mode << " element " << r.element);
        Logic l(vendor, product);
        l.host.sm->mChannelSettings.InChannels = r.mode;
        l.commons->createIOBuffers();
        const bool offered = r.setCode != 99;
        EXPECT_EQ(l.commons->canMonitor(true, r.element), offered);
        EXPECT_FALSE(l.commons->canMonitor(false, r.element));
        l.host.sent.clear();
        EXPECT_EQ(l.commons->setMonitor(true, r.element, true), offered);
        if (!offered) continue;
        const auto& last = l.host.sent.back();
        uint32_t code;
        std::memcpy(&code, last.payload.data(), 4);
        EXPECT_EQ(last.req, 11u);
        EXPECT_EQ(code, r.setCode);
        // Reading back the code just set shows the element on.
        l.host.replyWord = r.setCode;
        uint32_t value = 9;
        EXPECT_EQ(l.commons->getMonitor(true, r.element, &value), kIOReturnSuccess);
        EXPECT_EQ(value, 1u);
    }
    // An inconsistent code is corrected with request 11 first.
    Logic l(vendor, product);
    l.host.sm->mChannelSettings.InChannels = 2;
    l.commons->createIOBuffers();
    l.host.replyWord = 1;
    uint32_t value = 0;
    l.host.sent.clear();
    EXPECT_EQ(l.commons->getMonitor(true, 0, &value), kIOReturnSuccess);
    std::vector<uint32_t> reqs;
    for (auto& s : l.host.sent)
        reqs.push_back(s.req);
    EXPECT_EQ(reqs, (std::vector<uint32_t>{17, 18, 11, 18}));
}

TEST(Controls, VolumeCurve) {
    EXPECT_FLOAT_EQ(volumeFloatToDB(0.5f), -6.0f);
    EXPECT_FLOAT_EQ(volumeFloatToDB(0.0001f), -72.0f);
    EXPECT_FLOAT_EQ(volumeFloatToDB(1.0f), 0.0f);
    EXPECT_FLOAT_EQ(volumeFloatToDB(0.0f), -72.0f);
    EXPECT_FLOAT_EQ(volumeScalarToFloat(0.0f), 0.0f);
    EXPECT_FLOAT_EQ(volumeScalarToFloat(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(volumeFloatToScalar(0.5f), 1.0f - 6.0f / 72);
    EXPECT_NEAR(volumeScalarToFloat(1.0f - 6.0f / 72), 0.5f, 1e-6);
}

// ---- The bridge's checks before anything is sent

TEST(Bridge, WrongTypesOrShortDataSendNothing) {
    Logic l;
    std::vector<uint8_t> bytes(2000, 7);
    CFDataRef short31 = CFDataCreate(nullptr, bytes.data(), 31);
    CFDataRef short1535 = CFDataCreate(nullptr, bytes.data(), 1535);
    CFDataRef short63 = CFDataCreate(nullptr, bytes.data(), 63);
    CFStringRef notData = CFSTR("routing");
    EXPECT_FALSE(l.commons->setRoutingMatrix(short31));
    EXPECT_FALSE(l.commons->setRoutingMatrix(CFDataRef(notData)));
    EXPECT_FALSE(l.commons->sendReverbBuffers(short1535));
    EXPECT_FALSE(l.commons->sendMixerBuffer(short63));
    EXPECT_FALSE(l.commons->setMixerValues(nullptr));
    EXPECT_FALSE(l.commons->setMixerFractions(nullptr));
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("MixerBitmap"), CFSTR("5"));
    int32_t one = 1;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
    CFDictionarySetValue(d, CFSTR("MixerKnob"), n);
    CFDictionarySetValue(d, CFSTR("MixerFractionChannel"), n);
    EXPECT_FALSE(l.commons->setMixerValues(d));
    EXPECT_FALSE(l.commons->setMixerFractions(d)); // four keys missing
    EXPECT_TRUE(l.host.sent.empty());
    CFDataRef full = CFDataCreate(nullptr, bytes.data(), 32);
    EXPECT_TRUE(l.commons->setRoutingMatrix(full));
    ASSERT_EQ(l.host.sent.size(), 1u);
    for (CFTypeRef r : {CFTypeRef(short31), CFTypeRef(short1535), CFTypeRef(short63), CFTypeRef(d),
                        CFTypeRef(n), CFTypeRef(full)})
        CFRelease(r);
}

TEST(Bridge, EveryRequestStartsFromAZeroedPayload) {
    Logic l;
    l.host.replyWord = 0x12345678;
    l.commons->getRoutingMatrix(nullptr);
    l.host.replyWord.reset();
    CFStringRef s = nullptr;
    EXPECT_TRUE(l.commons->getSerialNumberString(&s));
    EXPECT_EQ(text(s), ""); // an unserved code reads the zeroed payload
    for (const auto& sent : l.host.sent)
        for (size_t k = 4; k < sent.payload.size(); ++k)
            ASSERT_EQ(sent.payload[k], 0) << k;
}

TEST(Bridge, FailedCallsGiveTheFailureResults) {
    Logic l;
    l.host.failCalls = true;
    EXPECT_EQ(l.commons->getDigitalOutMode(), -1);
    EXPECT_EQ(l.commons->getWolfsonRegister(0, 7), -1);
    EXPECT_EQ(l.commons->getConfigStatus(), -1);
    EXPECT_EQ(l.commons->getVersionHAL(), 0u);
    int32_t hog = 5;
    EXPECT_FALSE(l.commons->getHogID(&hog));
    CFDataRef levels = nullptr;
    EXPECT_FALSE(l.commons->getInputLevels(&levels));
    ASSERT_NE(levels, nullptr);
    EXPECT_EQ(CFDataGetLength(levels), 32);
    for (CFIndex k = 0; k < 32; ++k)
        EXPECT_EQ(CFDataGetBytePtr(levels)[k], 0);
    CFRelease(levels);
    CFStringRef version = nullptr;
    EXPECT_FALSE(l.commons->getFirmwareVersionString(&version));
    EXPECT_EQ(text(version), "");
    CFDictionaryRef mixer = nullptr;
    EXPECT_FALSE(l.commons->getMixerValues(&mixer));
    EXPECT_EQ(mixer, nullptr);
}

TEST(Bridge, SixteenCharacterVersionStringArrivesWholeAndTerminated) {
    struct Row {
        const char* reply;
        const char* expected;
    };
    const Row rows[] = {{"1.2.3", "1.2.3"},
                        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
                        {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP"}};
    for (const Row& r : rows) {
        struct Host : RecordingHost {
            const char* reply;
            bool hostCall(uint32_t req, void* payload, uint32_t bytes) override {
                RecordingHost::hostCall(req, payload, bytes);
                std::strcpy(static_cast<char*>(payload) + 4, reply);
                return true;
            }
        } host;
        host.reply = r.reply;
        auto info = devicelogic::hx5100Info(true);
        QnAudioPluginClassCommons commons(host, *info);
        CFStringRef s = nullptr;
        EXPECT_TRUE(commons.getFirmwareVersionString(&s));
        EXPECT_EQ(text(s), r.expected);
        EXPECT_TRUE(commons.getDriverVersionString(&s));
        EXPECT_EQ(text(s), r.expected);
    }
}

// ---- Names and Sorvik packing

TEST(Names, ProductTables) {
    struct Row {
        uint16_t vendor, product;
        bool isInput;
        uint32_t element;
        const char* name;
    };
    const uint16_t mixV = DeviceFamilies::kFourChannelMixer[0].vendor;
    const uint16_t mixP = DeviceFamilies::kFourChannelMixer[0].product;
    const Row rows[] = {
        {kKorvexVendorID, kKorvexHX5100ProductID, true, 0, "Master IN"},
        {kKorvexVendorID, kKorvexHX5100ProductID, true, 1, "Analog 1"},
        {kKorvexVendorID, kKorvexHX5100ProductID, true, 4, "Digital 2"},
        {kKorvexVendorID, kKorvexHX5100ProductID, true, 5, "IN 5"},
        {kKorvexVendorID, kKorvexHX5100ProductID, false, 0, "Master OUT"},
        {kKorvexVendorID, kKorvexHX5100ProductID, false, 3, "Computer 3"},
        {kKorvexVendorID, kKorvexHX5100ProductID, false, 5, "OUT 5"},
        {kSorvikVendorID, 4, true, 8, "Input R"},
        {kSorvikVendorID, 6, false, 6, "Track4"},
        {kSorvikVendorID, 6, false, 7, "OUT 7"},
        {kSorvikVendorID, 8, true, 10, "CY/CB 11/12"},
        {kSorvikVendorID, 8, false, 4, "Main FX R"},
        {kSorvikVendorID, 8, false, 12, "CY/CB 11/12"},
        {kSorvikVendorID, 11, true, 1, "IN 1"},
        {mixV, mixP, true, 3, "AUX"},
        {mixV, mixP, false, 4, "USB 4"},
        {mixV, mixP, false, 40, "OUT 40"},
    };
    for (const Row& r : rows) {
        Logic l(r.vendor, r.product);
        EXPECT_EQ(text(l.commons->getChannelName(r.isInput, r.element)), r.name)
            << r.product << " " << r.element;
    }
}

TEST(Names, PublishedNamesComeFirstAndBadEntriesFallBack) {
    Logic l;
    CFMutableArrayRef names = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(names, CFSTR("Main"));
    int32_t seven = 7;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &seven);
    CFArrayAppendValue(names, number);
    CFArrayAppendValue(names, CFSTR("Mic"));
    CFMutableDictionaryRef specific = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(specific, CFSTR("kInChannelNames"), names);
    CFDictionarySetValue(specific, CFSTR("kOutChannelNames"), CFSTR("not an array"));
    CFMutableDictionaryRef properties = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(properties, CFSTR("QnSpecific"), specific);
    l.host.FakeHost::properties = properties;
    EXPECT_EQ(text(l.commons->getChannelName(true, 0)), "Main");
    EXPECT_EQ(text(l.commons->getChannelName(true, 1)), "Analog 1"); // a number falls back
    EXPECT_EQ(text(l.commons->getChannelName(true, 2)), "Mic");
    EXPECT_EQ(text(l.commons->getChannelName(true, 3)), "Digital 1");
    EXPECT_EQ(text(l.commons->getChannelName(false, 0)), "Master OUT");
    for (CFTypeRef r :
         {CFTypeRef(names), CFTypeRef(number), CFTypeRef(specific), CFTypeRef(properties)})
        CFRelease(r);
}

TEST(Sorvik, PackAndUnpackInPlace) {
    const bool usage[16] = {true, false, true, false};
    int32_t frames[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    QnAudioPluginClassCommons::packSorvikOutput(frames, 4, 2, usage, 4);
    EXPECT_EQ(std::vector<int32_t>(frames, frames + 8),
              (std::vector<int32_t>{1, 3, 0, 0, 5, 7, 0, 0}));
    int32_t in[8] = {1, 3, 9, 9, 5, 7, 9, 9};
    QnAudioPluginClassCommons::unpackSorvikInput(in, 4, 2, usage);
    EXPECT_EQ(std::vector<int32_t>(in, in + 8), (std::vector<int32_t>{1, 0, 3, 0, 5, 0, 7, 0}));
    // 16-bit samples, and channels past the usage lists carry nothing.
    int16_t narrow[3] = {10, 20, 30};
    const bool second[16] = {false, true};
    QnAudioPluginClassCommons::packSorvikOutput(narrow, 3, 1, second, 2);
    EXPECT_EQ(std::vector<int16_t>(narrow, narrow + 3), (std::vector<int16_t>{20, 0, 0}));
    bool all[16];
    std::fill(all, all + 16, true);
    std::vector<int32_t> wide(18);
    for (int k = 0; k < 18; ++k)
        wide[k] = k + 1;
    QnAudioPluginClassCommons::unpackSorvikInput(wide.data(), 18, 1, all);
    EXPECT_EQ(wide[15], 16);
    EXPECT_EQ(wide[16], 0);
    EXPECT_EQ(wide[17], 0);
}

TEST(Sorvik, PatchDescriptorCountsPerProduct) {
    struct Row {
        uint16_t product;
        uint8_t in, out;
    };
    for (const Row& r : {Row{6, 8, 6}, Row{4, 8, 6}, Row{8, 10, 12}, Row{11, 2, 2}}) {
        Logic l(kSorvikVendorID, r.product);
        l.commons->patchDescriptor();
        const APIConfigInfo& c = l.info->mConfigurations[0];
        for (int block = 0; block < 2; ++block) {
            ASSERT_EQ(c.mInterfaces[block].mNumAlternates, 2);
            EXPECT_EQ(c.mInterfaces[block].mAlternates[0].mStreaming.mBitResolution, 16);
            EXPECT_EQ(c.mInterfaces[block].mAlternates[1].mStreaming.mBitResolution, 24);
            for (int a = 0; a < 2; ++a)
                EXPECT_EQ(c.mInterfaces[block].mAlternates[a].mStreaming.mChannels,
                          block == 0 ? r.in : r.out);
        }
    }
    Logic hx; // not a Sorvik device: unchanged
    const uint8_t before =
        hx.info->mConfigurations[0].mInterfaces[0].mAlternates[1].mStreaming.mChannels;
    hx.commons->patchDescriptor();
    EXPECT_EQ(hx.info->mConfigurations[0].mInterfaces[0].mAlternates[1].mStreaming.mChannels,
              before);
}

TEST(Sorvik, ConfigAndMapRefreshesTheUsageLists) {
    struct Host : RecordingHost {
        bool hostCall(uint32_t req, void* payload, uint32_t bytes) override {
            RecordingHost::hostCall(req, payload, bytes);
            QN_Sorvik_ConfigAndMap record{};
            record.cConfig.samplerate = 48000;
            record.cMap.setDefaults(kSorvikVendorID, 8);
            record.cMap.mEOutputMap[0] = 70;
            std::memcpy(static_cast<uint8_t*>(payload) + 4, &record, sizeof record);
            return true;
        }
    } host;
    auto info = devicelogic::genericInfo(kSorvikVendorID, 8);
    QnAudioPluginClassCommons commons(host, *info);
    bool in[16], out[16];
    commons.getSorvikUsage(in, out);
    EXPECT_FALSE(in[0]); // empty lists until refreshed
    commons.updateSorvikConfigAndMap();
    commons.getSorvikUsage(in, out);
    EXPECT_TRUE(in[0] && in[1] && !in[2]);
    EXPECT_TRUE(out[2] && !out[0]);
    EXPECT_EQ(commons.sorvikConfigAndMap().cConfig.samplerate, 48000u);
    uint32_t code;
    std::memcpy(&code, host.sent.back().payload.data(), 4);
    EXPECT_EQ(code, 69u);
}

TEST(Bridge, MixerModeCodesAndMixerValuesStoredWhateverTheResult) {
    struct Store : QnAudioPluginSettingsStore {
        bool setUInt16Value(uint16_t v, const char* key) override {
            stored.push_back({key, v});
            return true;
        }
        bool getUInt16Value(uint16_t&, const char*) override { return false; }
        void setWolfsonRegister(int, int, uint32_t) override {}
        void setSampleRate(uint32_t) override {}
        void setFootSwitchMode(uint32_t) override {}
        void setFootSwitchProtocol(uint32_t) override {}
        void setMixerFractions(const void*) override {}
        void setRoutingMatrix(const void*) override {}
        void setDigitalOutMode(uint32_t) override {}
        void setClockSource(uint32_t) override {}
        void setMixerMode(int32_t) override {}
        void setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap&, uint64_t) override {}
        bool getRouting(int, int, uint32_t&) override { return false; }
        void setRouting(int, int, uint32_t) override {}
        void store() override {}
        std::vector<std::pair<std::string, uint16_t>> stored;
    } store;
    Logic l;
    l.host.store = &store;
    for (uint32_t number : {0u, 1u}) {
        EXPECT_TRUE(l.commons->setMixerMode(number));
        const auto& p = l.host.sent.back().payload;
        EXPECT_EQ(l.host.sent.back().req, 38u);
        EXPECT_EQ(p[0], 1);
        EXPECT_EQ(p[1], number == 0 ? 2 : 0);
        EXPECT_EQ(p[2], 0xFF);
        EXPECT_EQ(p[3], 0xFF);
    }
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    int32_t bitmap = 0x5A, knob = 14199;
    CFNumberRef b = CFNumberCreate(nullptr, kCFNumberSInt32Type, &bitmap);
    CFNumberRef k = CFNumberCreate(nullptr, kCFNumberSInt32Type, &knob);
    CFDictionarySetValue(d, CFSTR("MixerBitmap"), b);
    CFDictionarySetValue(d, CFSTR("MixerKnob"), k);
    l.host.failCalls = true;
    EXPECT_FALSE(l.commons->setMixerValues(d));
    const auto& p = l.host.sent.back().payload;
    EXPECT_EQ(l.host.sent.back().req, 40u);
    EXPECT_EQ(p[0] | p[1] << 8, 0x5A);
    EXPECT_EQ(p[2] | p[3] << 8, 14199);
    EXPECT_EQ(store.stored, (std::vector<std::pair<std::string, uint16_t>>{{"AnalogInState", 0x5A},
                                                                           {"MonMixPos", 14199}}));
    uint32_t value = 7;
    l.host.sent.clear();
    EXPECT_EQ(l.commons->getTolvaneRouting(&value), kIOReturnError);
    EXPECT_FALSE(l.commons->setTolvaneRouting(1));
    EXPECT_TRUE(l.host.sent.empty());
    for (CFTypeRef r : {CFTypeRef(d), CFTypeRef(b), CFTypeRef(k)})
        CFRelease(r);
}

// ---- The handler's table on the in-memory area (the stack tests below
// take the records from the kernel itself).

uint32_t fourChar(const char* c) {
    return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 |
           uint32_t(uint8_t(c[2])) << 8 | uint8_t(c[3]);
}

TEST(StateChange, EachCodeGivesItsRequestsCallbacksAndNotices) {
    struct Row {
        uint32_t code;
        std::vector<uint32_t> requests; // request codes; 35 rows list the dispatch code
        std::vector<Event> events;
        std::vector<std::pair<Scope, const char*>> notices;
    };
    const Row rows[] = {
        {6, {}, {Event::VolumeChanged}, {}},
        {7, {}, {Event::MuteChanged}, {}},
        {8, {}, {Event::MonitorChanged}, {}},
        {11, {}, {Event::OtherClientAttached}, {}},
        {12, {}, {Event::OtherClientDetached}, {}},
        {14, {}, {}, {}},
        {32, {}, {}, {{Scope::Device, "oink"}}},
        {36, {}, {}, {{Scope::Device, "QvFC"}}},
        {38, {51}, {}, {{Scope::Device, "QvFC"}}},
        {39, {53}, {}, {{Scope::Device, "QvFC"}}},
        {40, {74}, {}, {}},
        {41, {57}, {}, {}},
        {42, {59}, {}, {}},
        {48, {}, {}, {{Scope::Device, "QvMC"}}},
        {49, {27}, {}, {{Scope::Device, "QnDM"}}},
        {53, {62}, {}, {}},
        {55, {}, {}, {{Scope::Device, "QnOS"}}},
        {56, {}, {}, {{Scope::Device, "QvRt"}}},
        {0x10000, {}, {Event::StateChange}, {}},
        {0x20001, {}, {}, {}},
        {77, {}, {}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        Logic l;
        l.host.sent.clear();
        l.commons->KernelDriverNotificationHandler(makeStateChange(r.code, 0, 0x9999, 0));
        std::vector<uint32_t> requests;
        for (const auto& sent : l.host.sent) {
            uint32_t code = sent.req;
            if (sent.req == 35) std::memcpy(&code, sent.payload.data(), 4);
            requests.push_back(code);
        }
        EXPECT_EQ(requests, r.requests);
        EXPECT_EQ(l.host.events, r.events);
        std::vector<std::pair<Scope, uint32_t>> notices;
        for (const auto& n : r.notices)
            notices.push_back({n.first, fourChar(n.second)});
        EXPECT_EQ(l.host.notices, notices);
    }
    // The own client's attach calls nothing.
    Logic own;
    own.commons->KernelDriverNotificationHandler(makeStateChange(11, 0, own.host.identity, 0));
    EXPECT_TRUE(own.host.events.empty());
}

TEST(StateChange, LaunchRecordsACommandOnlyForTheLoginWindowAndTheHelper) {
    std::vector<std::string> commands;
    hx::sys::setSystemHook([&](const std::string& c) {
        commands.push_back(c);
        return 0;
    });
    for (int type : {5, 12, 17, 18}) {
        Logic l;
        l.host.appType = type;
        commands.clear();
        l.commons->KernelDriverNotificationHandler(makeStateChange(35, 0, 0, 0));
        const bool launches = type == 12 || type == 17;
        ASSERT_EQ(commands.size(), launches ? 1u : 0u) << type;
        if (launches) {
            EXPECT_EQ(commands[0], "open -b com.korvex.hx5100.control --args " +
                                       std::to_string(hx::sys::ownPid()));
        }
        ASSERT_EQ(l.host.notices.size(), 1u);
        EXPECT_EQ(l.host.notices[0].second, fourChar("QvLC"));
    }
    hx::sys::setSystemHook({});
}

TEST(StateChange, UserConfigurationNoticesOfTheLXProducts) {
    struct Row {
        uint16_t product;
        uint8_t bits;
        int release;
        const char* text;
        const char* icon;
    };
    const Row rows[] = {
        {kKorvexLX420ProductID, 0x10 | 0x04, 12,
         "The device is in Stereo MIX mode.\nDigital mode is Coaxial.", "USB.tiff"},
        {kKorvexLX420ProductID, 0x08, 11,
         "The device is in 4 Inputs, 6 Outputs mode.\nDigital mode is Optical.", "USB.png"},
        {kKorvexLX420ProductID, 0x00, 19,
         "The device is in 6 Inputs, 4 Outputs mode.\nDigital mode is Optical.", "USB.tiff"},
        {kKorvexLX310ProductID, 0x08, 11, "The device is in 2 Inputs, 2 Outputs mode.\n",
         "USB.png"},
        {kKorvexLX310ProductID, 0x00, 12, "", "USB.tiff"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        struct Host : RecordingHost {
            uint8_t reply[3];
            bool hostCall(uint32_t req, void* payload, uint32_t bytes) override {
                RecordingHost::hostCall(req, payload, bytes);
                if (req == 33) std::memcpy(payload, reply, 3);
                return true;
            }
        } host;
        host.reply[0] = 1, host.reply[1] = r.bits, host.reply[2] = 1;
        auto info = devicelogic::hx5100Info(true);
        info->mProduct = r.product;
        QnAudioPluginClassCommons commons(host, *info);
        hx::sys::setEmulatedRelease(std::to_string(r.release) + ".0.0");
        hx::cf::clearUserNotices();
        commons.KernelDriverNotificationHandler(makeStateChange(34, 0, 0, 0));
        auto notices = hx::cf::userNotices();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].text, r.text);
        EXPECT_EQ(notices[0].header,
                  r.product == kKorvexLX420ProductID ? "Korvex LX-420" : "Korvex LX-310");
        EXPECT_NE(notices[0].iconPath.find(r.icon), std::string::npos);
        EXPECT_EQ(notices[0].level, 3u);
        EXPECT_DOUBLE_EQ(notices[0].timeout, 2.0);
        if (r.product == kKorvexLX420ProductID) {
            EXPECT_EQ(commons.deviceMixerMode(), 1);
        }
        ASSERT_EQ(host.notices.size(), 3u);
        EXPECT_EQ(host.notices[0], std::make_pair(Scope::DeviceInput, fourChar("diff")));
        EXPECT_EQ(host.notices[1], std::make_pair(Scope::DeviceOutput, fourChar("diff")));
        EXPECT_EQ(host.notices[2].second, fourChar("QvRC"));
    }
    hx::sys::resetProcessOverrides();
    hx::cf::clearUserNotices();
}

// ---- The real stack: the device object on the simulated machine

template <typename Pred> bool runUntil(Pred done) {
    for (int i = 0; i < 2000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

struct Client : devicetest::DeviceEventRecorder {
    void onVolumeChanged(ZrOSXDevice*) override { events.push_back("volume"); }
    void onMuteChanged(ZrOSXDevice*) override { events.push_back("mute"); }
    void onMonitorChanged(ZrOSXDevice*) override { events.push_back("monitor"); }
    void onDataSourceChanged(ZrOSXDevice*) override { events.push_back("dataSource"); }
    void onOtherClientAttached(ZrOSXDevice*) override { events.push_back("attached"); }
    void onOtherClientDetached(ZrOSXDevice*) override { events.push_back("detached"); }
    bool saw(const std::string& e) const {
        return std::find(events.begin(), events.end(), e) != events.end();
    }
};

class DeviceLogicII : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        harness = std::make_unique<hx::harness::ClientHarness>();
        ASSERT_TRUE(harness->boot()) << harness->lastError();
        hx::sys::setOwnUid(501);
        manager = std::make_unique<OSXDeviceManager>(nullptr, &client, false);
        ASSERT_TRUE(runUntil([&] { return manager->getCountDevices() == 1; }));
        device = manager->getDevice(0);
        ASSERT_TRUE(device && device->isDeviceOpen());
        io_iterator_t it = 0;
        ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it),
                  KERN_SUCCESS);
        service = IOIteratorNext(it);
        IOObjectRelease(it);
        other = std::make_unique<DriverConnection>(service);
        ASSERT_TRUE(other->ioIsOpen());
        settle();
    }
    void TearDown() override {
        other.reset();
        manager.reset();
        if (service) IOObjectRelease(service);
        harness.reset();
        hx::sys::resetProcessOverrides();
    }
    void settle() {
        hx::kern::waitQuiet();
        for (int i = 0; i < 20; ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    }
    // Another client's request with its payload bytes.
    bool otherRequest(uint32_t req, std::initializer_list<uint8_t> bytes) {
        DriverConnection::RecordGuard g(*other);
        std::memset(g.record().payload, 0, sizeof g.record().payload);
        std::copy(bytes.begin(), bytes.end(), g.record().payload);
        return other->callDriver(req);
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    Client client;
    std::unique_ptr<OSXDeviceManager> manager;
    ZrOSXDevice* device = nullptr;
    io_service_t service = 0;
    std::unique_ptr<DriverConnection> other;
};

TEST_F(DeviceLogicII, HX5100ControlsAreOneSourcePerDirectionWithoutMuteVolumeOrMonitor) {
    for (bool isInput : {true, false}) {
        EXPECT_EQ(device->getNumDataSources(isInput), 1u);
        EXPECT_EQ(device->getDataSourceID(isInput), 1u);
        CFStringRef name = nullptr;
        device->getDataSourcesName(isInput, 1, &name);
        // The kernel publishes one record per direction; its name names the source.
        const XsControlGroup& g =
            isInput ? device->driverSM()->mControls.cIn : device->driverSM()->mControls.cOut;
        ASSERT_EQ(g.mCount, 1u);
        const std::string shown = text(name);
        EXPECT_EQ(shown, std::string(g.mEndpoints[0].mName));
        EXPECT_NE(shown.find(isInput ? "Input" : "Output"), std::string::npos);
        EXPECT_EQ(device->getMute(isInput, 0), -1);
        EXPECT_FALSE(device->canVolume(isInput, 0));
        EXPECT_FALSE(device->canVolume(isInput, 1));
    }
    EXPECT_FALSE(device->canMonitor(true, 0)); // request 17 answers 0
    uint32_t value = 5;
    EXPECT_EQ(device->getMonitor(true, 0, &value), kIOReturnError);
}

TEST_F(DeviceLogicII, BridgeVersionsAndRoundTripsThroughTheDispatcher) {
    CFNumberRef number = nullptr;
    ASSERT_TRUE(device->getDriverVersion(&number));
    int32_t v = 0;
    CFNumberGetValue(number, kCFNumberSInt32Type, &v);
    CFRelease(number);
    EXPECT_EQ(uint32_t(v), 0x03040D00u);
    ASSERT_TRUE(device->getFirmwareVersion(&number));
    CFNumberGetValue(number, kCFNumberSInt32Type, &v);
    CFRelease(number);
    EXPECT_EQ(uint32_t(v), harness->device()->getFirmwareVersion());

    EXPECT_TRUE(device->setHogID(4321));
    int32_t hog = 0;
    EXPECT_TRUE(device->getHogID(&hog));
    EXPECT_EQ(hog, 4321);
    EXPECT_TRUE(device->setRouting(1, 2, 3));
    uint32_t routed = 0;
    EXPECT_TRUE(device->getRouting(1, 2, &routed));
    EXPECT_EQ(routed, 3u);
    EXPECT_TRUE(device->setWolfsonRegister(1, 7, 0x55));
    EXPECT_EQ(device->getWolfsonRegister(1, 7), 0x55);
    uint32_t tolvane = 9;
    EXPECT_EQ(device->getTolvaneRouting(&tolvane), kIOReturnError);
    EXPECT_EQ(tolvane, 9u);

    // Names of the HX-5100.
    const char* in[] = {"Master IN", "Analog 1", "Analog 2", "Digital 1", "Digital 2", "IN 5"};
    const char* out[] = {"Master OUT", "Computer 1", "Computer 2",
                         "Computer 3", "Computer 4", "OUT 5"};
    for (uint32_t e = 0; e < 6; ++e) {
        EXPECT_EQ(text(device->getChannelName(true, e)), in[e]);
        EXPECT_EQ(text(device->getChannelName(false, e)), out[e]);
    }

    // Closed: the failure results.
    device->ioCloseConnection();
    EXPECT_EQ(device->getDigitalOutMode(), -1);
    EXPECT_EQ(device->getWolfsonRegister(0, 7), -1);
    EXPECT_FALSE(device->getHogID(&hog));
    EXPECT_FALSE(device->setRouting(1, 2, 3));
    EXPECT_EQ(device->getVersionUSB(), 0u);
    CFStringRef serial = nullptr;
    EXPECT_FALSE(device->getSerialNumberString(&serial));
    EXPECT_EQ(text(serial), "");
}

TEST_F(DeviceLogicII, CodecRegisterOfAnotherClientMirrorsThePhonoFlag) {
    struct Row {
        uint16_t codec, value;
        bool phono;
    };
    for (const Row& r : {Row{0, 2, true}, Row{0, 0, false}, Row{1, 2, true}}) {
        hx::log::Capture log;
        // Dispatch code 42: codec, register 21, value.
        ASSERT_TRUE(
            otherRequest(35, {42, 0, 0, 0, uint8_t(r.codec), 0, 21, 0, uint8_t(r.value), 0}));
        ASSERT_TRUE(runUntil([&] { return device->phonoFlag(r.codec) == r.phono; }));
        settle();
        EXPECT_EQ(device->phonoFlag(r.codec), r.phono);
    }
    OSXAsioRegistry registry(CFSTR("com.korvex.hx5100"));
    uint32_t stored = 9;
    ASSERT_TRUE(registry.getWolfsonRegister(1, 21, stored));
    EXPECT_EQ(stored, 2u);
}

TEST_F(DeviceLogicII, OtherClientsAttachAndMixerModeComeThroughTheHandler) {
    const uint32_t inBefore =
        device->deviceInfo().mConfigurations[0].mInterfaces[1].mAlternates[0].mStreaming.mChannels;
    (void)inBefore;
    for (uint8_t mode : {uint8_t(0), uint8_t(1)}) {
        hx::log::Capture log;
        ASSERT_TRUE(otherRequest(38, {1, mode, 0xFF, 0xFF}));
        const char* line = mode == 0 ? "The device is in Stereo MIX mode."
                                     : "The device is in 4 Inputs, 4 Outputs mode.";
        ASSERT_TRUE(runUntil([&] { return log.text().find(line) != std::string::npos; }))
            << log.text();
        EXPECT_EQ(device->mixerMode(), mode == 0 ? 0 : 2);
    }
}
} // namespace
