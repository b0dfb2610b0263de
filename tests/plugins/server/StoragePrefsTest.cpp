// The device settings in the host's storage, through a real server host on
// a temporary root.
#include "plugins/server/QnStoragePrefs.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/base/HXLog.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/coreaudio/ServerHost.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {

CFNumberRef number(SInt32 v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}

void put(CFMutableDictionaryRef d, const char* key, CFTypeRef value) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFDictionarySetValue(d, k, value);
    CFRelease(k);
    CFRelease(value);
}

CFMutableDictionaryRef newDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

CFDataRef block(std::size_t size, UInt8 fill) {
    std::vector<UInt8> bytes(size, fill);
    return CFDataCreate(nullptr, bytes.data(), CFIndex(size));
}

// What the device hands over: its registry properties as the kernel shows
// them (the channel settings as configured, the extension record, mixer).
CFMutableDictionaryRef registrySnapshot() {
    CFMutableDictionaryRef channels = newDictionary();
    put(channels, "Frequency", number(96000));
    put(channels, "InChannels", number(6));
    put(channels, "OutChannels", number(4));
    put(channels, "InResolution", number(24));
    put(channels, "OutResolution", number(32));
    CFMutableDictionaryRef ext = newDictionary();
    put(ext, "ClockSource", number(2));
    put(ext, "DigitalOutMode", number(1));
    put(ext, "DigitalOutSelector", number(3));
    put(ext, "USB1Mode", number(0));
    CFMutableDictionaryRef all = newDictionary();
    put(all, "ChannelSettings", channels);
    put(all, "AjExtData", ext);
    put(all, "MixerMode", number(1));
    put(all, "MixerKnob", number(40));
    put(all, "MixerValues", number(7));
    put(all, "ReverbBuffers", block(1536, 0x11));
    put(all, "MixerBuffer", block(64, 0x22));
    put(all, "MixerFractions", block(512, 0x33));
    put(all, "RoutingMatrix", block(32, 0x44));
    return all;
}

class Storage : public ::testing::Test {
protected:
    Storage() { startHost(); }
    ~Storage() override { stopHost(); }
    void startHost() {
        hx::coreaudio::ServerHostOptions options;
        options.processName = "";
        options.storageName = "hx5100";
        mHost = std::make_unique<hx::coreaudio::ServerHost>(options);
        QnASPlugInPlugIn::sHost = mHost->hostInterface();
    }
    void stopHost() {
        QnASPlugInPlugIn::sHost = nullptr;
        mHost.reset();
    }
    hx::test::TempRoot mRoot;
    std::unique_ptr<hx::coreaudio::ServerHost> mHost;
};

TEST_F(Storage, WrittenRegistryReadsBack) {
    QnStoragePrefs prefs;
    CFMutableDictionaryRef snapshot = registrySnapshot();
    ASSERT_TRUE(prefs.writeStorageProperties(snapshot));
    CFRelease(snapshot);
    EXPECT_TRUE(prefs.settingsSeen());
    int v = 0;
    EXPECT_TRUE(prefs.getStoredFrequency(v));
    EXPECT_EQ(v, 96000);
    EXPECT_TRUE(prefs.getStoredInChannels(v));
    EXPECT_EQ(v, 6);
    EXPECT_TRUE(prefs.getStoredOutChannels(v));
    EXPECT_EQ(v, 4);
    EXPECT_TRUE(prefs.getStoredInResolution(v));
    EXPECT_EQ(v, 24);
    EXPECT_TRUE(prefs.getStoredOutResolution(v));
    EXPECT_EQ(v, 32);
    EXPECT_TRUE(prefs.getStoredMixerKnob(v));
    EXPECT_EQ(v, 40);
    QnAjExtData ext{};
    prefs.getStoredAjExt(ext);
    EXPECT_EQ(ext.mClockSource, 2u);
    EXPECT_EQ(ext.mDigitalOutMode, 1u);
    EXPECT_EQ(ext.mDigitalOutSelector, 3u);
    std::array<UInt8, 1536> reverb{};
    EXPECT_TRUE(prefs.getStoredReverbBuffers(reverb.data()));
    EXPECT_EQ(reverb[1535], 0x11);
    std::array<UInt8, 32> routing{};
    EXPECT_TRUE(prefs.getStoredRoutingMatrix(routing.data()));
    EXPECT_EQ(routing[0], 0x44);
}

TEST_F(Storage, ANewHostOnTheSameRootReadsTheSame) {
    {
        QnStoragePrefs prefs;
        CFMutableDictionaryRef snapshot = registrySnapshot();
        ASSERT_TRUE(prefs.writeStorageProperties(snapshot));
        CFRelease(snapshot);
    }
    stopHost();
    startHost();
    QnStoragePrefs fresh;
    EXPECT_FALSE(fresh.settingsSeen());
    int v = 0;
    EXPECT_TRUE(fresh.getStoredFrequency(v));
    EXPECT_EQ(v, 96000);
    EXPECT_TRUE(fresh.settingsSeen());
}

TEST_F(Storage, NeverWrittenStorage) {
    QnStoragePrefs prefs;
    hx::log::Capture capture;
    EXPECT_TRUE(prefs.readStorageProperties(nullptr)); // the host answered 0
    EXPECT_NE(
        capture.text().find("CopyFromStorage com.korvex.hx5100 returned 0x00000000 Properties "),
        std::string::npos);
    EXPECT_FALSE(prefs.settingsSeen());
    int v = 5;
    EXPECT_FALSE(prefs.getStoredFrequency(v));
    EXPECT_EQ(v, 5);
    EXPECT_NE(
        capture.text().find("Get Frequency setting from prefs: Could not read channel settings\n"),
        std::string::npos);
    QnAjExtData ext{};
    ext.mClockSource = 9;
    prefs.getStoredAjExt(ext);
    EXPECT_EQ(ext.mClockSource, 9u); // untouched
    EXPECT_NE(capture.text().find("Could not find prefs for ext data"), std::string::npos);
    EXPECT_FALSE(prefs.getStoredMixerMode(v));
    EXPECT_NE(capture.text().find("Reading mixerMode: no saved pref\n"), std::string::npos);
}

TEST_F(Storage, AjExtWithOnlyUSB1Mode) {
    CFMutableDictionaryRef ext = newDictionary();
    put(ext, "USB1Mode", number(1));
    CFMutableDictionaryRef all = newDictionary();
    put(all, "AjExtData", ext);
    QnStoragePrefs prefs;
    ASSERT_TRUE(prefs.writeStorageProperties(all));
    CFRelease(all);
    QnAjExtData ext1{};
    std::memset(&ext1, 0x7F, sizeof ext1);
    QnAjExtData defaults = ext1;
    defaults.setDefaults();
    prefs.getStoredAjExt(ext1);
    EXPECT_EQ(ext1.mUSB1Mode, 1u);
    EXPECT_EQ(ext1.mClockSource, defaults.mClockSource);
    EXPECT_EQ(ext1.mDigitalOutMode, defaults.mDigitalOutMode);
    EXPECT_EQ(std::memcmp(ext1.mRoutingIn, defaults.mRoutingIn, sizeof ext1.mRoutingIn), 0);
}

struct BlockCase {
    const char* name;
    const char* key;
    std::size_t storedSize;
    std::size_t bufferSize;
    bool (QnStoragePrefs::*getter)(void*);
    const char* line; // null: no line
};

class Blocks : public Storage, public ::testing::WithParamInterface<BlockCase> {};

// Only data of exactly the block's size counts; anything else leaves the
// caller's buffer (which ends at an inaccessible page) untouched.
TEST_P(Blocks, WrongSizesAreAbsent) {
    const BlockCase& c = GetParam();
    CFMutableDictionaryRef all = newDictionary();
    put(all, c.key, block(c.storedSize, 0xEE));
    QnStoragePrefs prefs;
    ASSERT_TRUE(prefs.writeStorageProperties(all));
    CFRelease(all);
    hx::test::GuardedBuffer buffer(c.bufferSize);
    std::memset(buffer.data(), 0x5A, c.bufferSize);
    hx::log::Capture capture;
    EXPECT_FALSE((prefs.*c.getter)(buffer.data()));
    for (std::size_t i = 0; i < c.bufferSize; ++i)
        ASSERT_EQ(buffer.data()[i], 0x5A);
    if (c.line) {
        EXPECT_NE(capture.text().find(c.line), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Blocks,
                         ::testing::Values(BlockCase{"reverbLong", "ReverbBuffers", 2000, 1536,
                                                     &QnStoragePrefs::getStoredReverbBuffers,
                                                     "Reading reverbBuffers: no saved pref\n"},
                                           BlockCase{"reverbShort", "ReverbBuffers", 100, 1536,
                                                     &QnStoragePrefs::getStoredReverbBuffers,
                                                     "Reading reverbBuffers: no saved pref\n"},
                                           BlockCase{"mixerLong", "MixerBuffer", 65, 64,
                                                     &QnStoragePrefs::getStoredMixerBuffer,
                                                     "Reading mixerBuffer: no saved pref\n"},
                                           BlockCase{"fractionsShort", "MixerFractions", 511, 512,
                                                     &QnStoragePrefs::getStoredMixerFractions,
                                                     "Reading mixerFractions: no saved pref\n"},
                                           BlockCase{"routingLong", "RoutingMatrix", 33, 32,
                                                     &QnStoragePrefs::getStoredRoutingMatrix,
                                                     nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Storage, SorvikRecordUnderItsBlankPaddedKey) {
    QnStoragePrefs prefs;
    UInt64 state = 31;
    QN_Sorvik_ConfigAndMap record{};
    record.cConfig.samplerate = 44100;
    record.cMap.mEOutputMap[7] = 5;
    ASSERT_TRUE(
        prefs.setStoredSorvikConfigAndMapping(record, reinterpret_cast<char*>(&state), true));
    EXPECT_FALSE(prefs.settingsSeen());
    CFPropertyListRef stored = nullptr;
    ASSERT_EQ(QnASPlugInPlugIn::CopyFromStorage(CFSTR("SORVIK_              1F"), &stored), 0);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(stored)), 84);
    CFRelease(stored);
    QN_Sorvik_ConfigAndMap back{};
    EXPECT_TRUE(prefs.getStoredSorvikConfigAndMapping(back, reinterpret_cast<char*>(&state)));
    EXPECT_EQ(back.cConfig.samplerate, 44100u);
    EXPECT_EQ(back.cMap.mEOutputMap[7], 5);
}

TEST_F(Storage, SorvikRecordOfTheWrongSizeIsAbsent) {
    UInt64 state = 0x1234;
    CFDataRef data = block(100, 0xEE);
    CFStringRef key =
        CFStringCreateWithCString(nullptr, "SORVIK_            1234", kCFStringEncodingASCII);
    ASSERT_EQ(QnASPlugInPlugIn::WriteToStorage(key, data), 0);
    CFRelease(key);
    CFRelease(data);
    QnStoragePrefs prefs;
    hx::test::GuardedBuffer buffer(sizeof(QN_Sorvik_ConfigAndMap));
    std::memset(buffer.data(), 0x5A, buffer.size());
    hx::log::Capture capture;
    EXPECT_FALSE(prefs.getStoredSorvikConfigAndMapping(*buffer.as<QN_Sorvik_ConfigAndMap>(),
                                                       reinterpret_cast<char*>(&state)));
    EXPECT_EQ(buffer.data()[0], 0x5A);
    EXPECT_EQ(buffer.data()[83], 0x5A);
    EXPECT_NE(capture.text().find("Reading key_sorvik_mapping: no saved pref\n"),
              std::string::npos);
}

TEST_F(Storage, LooseValues) {
    QnStoragePrefs prefs;
    hx::log::Capture capture;
    EXPECT_EQ(prefs.getValue("Loose", 17), 17u);
    EXPECT_NE(capture.text().find("Reading Loose: no saved pref\n"), std::string::npos);
    ASSERT_TRUE(prefs.setValue(0xDEADBEEF, "Loose"));
    EXPECT_EQ(prefs.getValue("Loose", 17), 0xDEADBEEFu);
    CFDataRef two = block(2, 1);
    ASSERT_EQ(QnASPlugInPlugIn::WriteToStorage(CFSTR("Short"), two), 0);
    CFRelease(two);
    capture.clear();
    EXPECT_EQ(prefs.getValue("Short", 9), 9u);
    EXPECT_NE(capture.text().find("Reading Short: result:9\n"), std::string::npos);
}

TEST_F(Storage, AStoredNonDictionaryCountsAsNotFound) {
    ASSERT_EQ(
        QnASPlugInPlugIn::WriteToStorage(CFSTR("com.korvex.hx5100"), CFSTR("not a dictionary")), 0);
    QnStoragePrefs prefs;
    EXPECT_TRUE(prefs.readStorageProperties(nullptr));
    EXPECT_FALSE(prefs.settingsSeen());
    int v = 0;
    EXPECT_FALSE(prefs.getStoredMixerMode(v));
}

TEST_F(Storage, FreeFunctions) {
    EXPECT_EQ(readStoredProperties(nullptr), nullptr);
    EXPECT_FALSE(storeProperties(nullptr, CFSTR("v")));
    ASSERT_TRUE(storeProperties(CFSTR("Free"), CFSTR("v")));
    CFPropertyListRef back = readStoredProperties(CFSTR("Free"));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(CFEqual(back, CFSTR("v")));
    CFRelease(back);
}

} // namespace
