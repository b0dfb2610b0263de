// The settings store: keys in the product's preference domain, typed values,
// blocks, the Sorvik records and the legacy file's migration.
#include "device/OSXAsioRegistry.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/HXCF.h"
#include "tests/platform/cf/CFTestSupport.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

using namespace hx::cftest;
namespace fs = std::filesystem;

namespace {

const CFStringRef kDomain = CFSTR("com.korvex.hx5100.hal");

class Store : public ::testing::Test {
protected:
    Store() { hx::cf::resetPreferences(); }
    ~Store() override {
        hx::cf::setWriteFailureHook(nullptr);
        hx::cf::resetPreferences();
    }
    static std::string prefsFile(const std::string& name) {
        return hx::path::map(hx::path::userPreferencesFolder() + "/" + name);
    }
    static std::string domainFile() { return prefsFile("com.korvex.hx5100.hal.plist"); }
    static void writeFile(const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static Ref<CFPropertyListRef> stored(const char* key) {
        return Ref<CFPropertyListRef>(CFPreferencesCopyValue(
            str(key), kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    }
    static std::vector<std::string> keys() {
        std::vector<std::string> out;
        Ref<CFArrayRef> list(
            CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
        for (CFIndex i = 0; list.get() && i < CFArrayGetCount(list.get()); ++i)
            out.push_back(text(CFArrayGetValueAtIndex(list.get(), i)));
        std::sort(out.begin(), out.end());
        return out;
    }
    hx::test::TempRoot mRoot;
};

TEST_F(Store, FreshDomainWithoutLegacyFileGetsOnlyTheVersion) {
    hx::log::Capture log;
    {
        OSXAsioRegistry migrate("HX5100Settings");
        EXPECT_FALSE(migrate.isValid());
    }
    EXPECT_EQ(keys(), std::vector<std::string>{"Version"});
    EXPECT_EQ(text(stored("Version").get()), "1.0");
    EXPECT_NE(log.text().find("HX5100Settings.xml"), std::string::npos);
    OSXAsioRegistry store(CFSTR("com.korvex.hx5100"));
    EXPECT_TRUE(store.isValid());
    OSXAsioRegistry other(CFStringRef(nullptr));
    EXPECT_EQ(text(other.getDomain()), "com.quarnel.hal");
    EXPECT_FALSE(other.isValid());
}

TEST_F(Store, LegacyFileAttributesBecomeStringKeysOnce) {
    // ISO-8859-1, as the writer's header says: 0xE9 is e-acute.
    writeFile(prefsFile("HX5100Settings.xml"),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<Settings>\n"
              "  <Device a=\"1\" b=\"2\"/>\n  <Mixer Name=\"Caf\xE9 &amp; Bar\"/>\n</Settings>\n");
    const std::string before = readFile(prefsFile("HX5100Settings.xml"));
    { OSXAsioRegistry migrate("HX5100Settings"); }
    EXPECT_EQ(keys(), (std::vector<std::string>{"Name", "Version", "a", "b"}));
    EXPECT_EQ(text(stored("a").get()), "1");
    EXPECT_EQ(text(stored("b").get()), "2");
    EXPECT_EQ(text(stored("Name").get()), "Caf\xC3\xA9 & Bar");
    EXPECT_EQ(readFile(prefsFile("HX5100Settings.xml")), before); // only read

    // With "Version" present, nothing migrates again.
    writeFile(prefsFile("HX5100Settings.xml"), "<Settings><D c=\"3\"/></Settings>");
    { OSXAsioRegistry migrate("HX5100Settings"); }
    EXPECT_EQ(stored("c").get(), nullptr);
}

TEST_F(Store, LegacyFileWithoutSettingsMigratesNothing) {
    writeFile(prefsFile("HX5100Settings.xml"), "<Other><D a=\"1\"/></Other>");
    hx::log::Capture log;
    { OSXAsioRegistry migrate("HX5100Settings"); }
    EXPECT_EQ(keys(), std::vector<std::string>{"Version"});
    EXPECT_NE(log.text().find("no Settings"), std::string::npos);
}

TEST_F(Store, TypedRoundTripsAndMissingKeys) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    ASSERT_TRUE(s.setBoolValue(true, "B"));
    ASSERT_TRUE(s.setUInt8Value(0x1FF & 0xFF, "U8"));
    ASSERT_TRUE(s.setUInt16Value(0xBEEF, "U16"));
    ASSERT_TRUE(s.setUInt32Value(0xFFFFFFF0u, "U32"));
    ASSERT_TRUE(s.setUInt64Value(0x0123456789ABCDEFull, "U64"));
    ASSERT_TRUE(s.setStringValue(CFSTR("text"), "S"));
    EXPECT_EQ(text(stored("U16").get()), "48879"); // decimal text
    EXPECT_EQ(text(stored("B").get()), "1");
    bool b = false;
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    CFStringRef str = nullptr;
    EXPECT_TRUE(s.getBoolValue(b, "B"));
    EXPECT_TRUE(b);
    EXPECT_TRUE(s.getUInt8Value(u8, "U8"));
    EXPECT_EQ(u8, 0xFF);
    EXPECT_TRUE(s.getUInt16Value(u16, "U16"));
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_TRUE(s.getUInt32Value(u32, "U32"));
    EXPECT_EQ(u32, 0xFFFFFFF0u);
    EXPECT_TRUE(s.getUInt64Value(u64, "U64"));
    EXPECT_EQ(u64, 0x0123456789ABCDEFull);
    EXPECT_TRUE(s.getStringValue(&str, "S"));
    EXPECT_EQ(text(str), "text");
    CFRelease(str);

    u32 = 7;
    EXPECT_FALSE(s.getUInt32Value(u32, "Missing"));
    EXPECT_EQ(u32, 0u);
    EXPECT_FALSE(s.getUInt64Value(u64, "Missing"));
    EXPECT_TRUE(s.getStringValue(&str, "Missing"));
    EXPECT_EQ(str, nullptr);

    ASSERT_TRUE(s.setForceInternal(1));
    EXPECT_TRUE(s.getForceInternal(u32));
    EXPECT_EQ(u32, 1u);
    ASSERT_TRUE(s.setRouting(1, 3, 9));
    EXPECT_TRUE(s.getRouting(1, 3, u32));
    EXPECT_EQ(u32, 9u);
    EXPECT_TRUE(stored("Routing_1_3").get());
    ASSERT_TRUE(s.setWolfsonRegister(0, 12, 0x1F));
    EXPECT_TRUE(stored("WolfsonRegister_0_12").get());
    int32_t mode = 0;
    EXPECT_FALSE(s.getMixerMode(mode));
    ASSERT_TRUE(s.setMixerMode(-3));
    EXPECT_TRUE(s.getMixerMode(mode));
    EXPECT_EQ(mode, -3);
    EXPECT_EQ(s.getClockSource(), 0u);
    EXPECT_EQ(s.getDigitalOutMode(), 0u);
}

TEST_F(Store, BlocksOfTheWrongLengthOrTypeReadAsMissing) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    uint8_t matrix[OSXAsioRegistry::kRoutingMatrixSize];
    for (int i = 0; i < OSXAsioRegistry::kRoutingMatrixSize; ++i)
        matrix[i] = uint8_t(i * 3);
    ASSERT_TRUE(s.setRoutingMatrix(matrix));
    uint8_t out[OSXAsioRegistry::kRoutingMatrixSize] = {};
    EXPECT_TRUE(s.getRoutingMatrix(out));
    EXPECT_EQ(std::memcmp(out, matrix, sizeof out), 0);

    // Another writer left 31 bytes, a string, and a 4-byte 64-bit value.
    ASSERT_TRUE(s.setBlockValue(matrix, 31, "RoutingMatrix"));
    ASSERT_TRUE(s.setStringValue(CFSTR("x"), "MixerBuffer"));
    ASSERT_TRUE(s.setBlockValue(matrix, 4, "U64"));
    ASSERT_TRUE(s.setBlockValue(matrix, 4, "ClockSource"));
    hx::log::Capture log;
    std::memset(out, 0xAA, sizeof out);
    EXPECT_FALSE(s.getRoutingMatrix(out));
    uint8_t mixer[OSXAsioRegistry::kMixerBufferSize];
    std::memset(mixer, 0xAA, sizeof mixer);
    EXPECT_FALSE(s.getMixerBuffer(mixer));
    uint64_t u64 = 5;
    EXPECT_FALSE(s.getUInt64Value(u64, "U64"));
    EXPECT_EQ(s.getClockSource(), 0u);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0xAA); // nothing half-copied
    for (uint8_t b : mixer)
        EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(u64, 5u);
    const std::string t = log.text();
    EXPECT_NE(t.find("RoutingMatrix holds 31 bytes instead of 32"), std::string::npos);
    EXPECT_NE(t.find("MixerBuffer is not data"), std::string::npos);
    EXPECT_NE(t.find("U64 holds 4 bytes instead of 8"), std::string::npos);
    EXPECT_NE(t.find("ClockSource is not a number text"), std::string::npos);

    uint8_t reverb[OSXAsioRegistry::kReverbBuffersSize];
    std::memset(reverb, 0x5A, sizeof reverb);
    ASSERT_TRUE(s.setReverbBuffers(reverb));
    uint8_t back[OSXAsioRegistry::kReverbBuffersSize] = {};
    EXPECT_TRUE(s.getReverbBuffers(back));
    EXPECT_EQ(std::memcmp(back, reverb, sizeof back), 0);
    uint8_t fractions[OSXAsioRegistry::kMixerFractionsSize] = {};
    EXPECT_FALSE(s.getMixerFractions(fractions));
}

TEST_F(Store, LoadAjExtDefaultsThenStoredValues) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    QnAjExtData record;
    std::memset(&record, 0x77, sizeof record);
    {
        hx::log::Capture log;
        s.loadAjExt(record);
        EXPECT_EQ(log.text().find("Reading"), std::string::npos);
    }
    EXPECT_EQ(record.mClockSource, 0u);
    EXPECT_EQ(record.mUSB1Mode, 0u);
    EXPECT_EQ(record.mDigitalOutMode, 0u);
    EXPECT_EQ(record.mDigitalOutSelector, 0u);
    EXPECT_EQ(record.mRoutingIn[1], 1u);
    EXPECT_EQ(record.mRoutingOut[1], 1u);
    EXPECT_EQ(record.mDigitalLockFrequency, 0x77777777u); // left as it was

    s.setClockSource(2);
    s.setUSB1Mode(1);
    s.setDigitalOutMode(3);
    s.setDigitalOutSelector(4);
    hx::log::Capture log;
    s.loadAjExt(record);
    EXPECT_EQ(record.mClockSource, 2u);
    EXPECT_EQ(record.mUSB1Mode, 1u);
    EXPECT_EQ(record.mDigitalOutMode, 3u);
    EXPECT_EQ(record.mDigitalOutSelector, 4u);
    EXPECT_NE(log.text().find(
                  "Reading clock source: 2\nReading mUSB1Mode: 1\nReading mDigitalOutMode: 3\n"
                  "Reading mDigitalOutSelector: 4\n"),
              std::string::npos);
}

TEST_F(Store, SorvikRecordsDefaultsAndPerDeviceKey) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    QN_Sorvik_ConfigAndMap r;
    std::memset(&r, 0, sizeof r);
    EXPECT_FALSE(s.getSorvikConfigAndMapping(r));
    EXPECT_EQ(r.cConfig.samplerate, 48000u);
    EXPECT_EQ(r.cConfig.numInputs, 2u);
    EXPECT_EQ(r.cConfig.bitsInput, 16u);
    EXPECT_EQ(r.cConfig.numOutputs, 2u);
    EXPECT_EQ(r.cConfig.bitsOutput, 16u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(r.cMap.mEInputMap[i], 255);
        EXPECT_EQ(r.cMap.mEOutputMap[i], 255);
    }
    r.cConfig = {96000, 4, 24, 6, 24};
    for (int i = 0; i < 8; ++i) {
        r.cMap.mEInputMap[i] = i;
        r.cMap.mEOutputMap[i] = 7 - i;
    }
    ASSERT_TRUE(s.setSorvikConfigAndMapping(r));
    QN_Sorvik_ConfigAndMap back;
    EXPECT_TRUE(s.getSorvikConfigAndMapping(back));
    EXPECT_EQ(std::memcmp(&back, &r, sizeof r), 0);
    EXPECT_EQ(text(stored("Sorvik_OutputMap_7").get()), "0");

    // The per-device key is the literal format: space-padded below 2^60.
    ASSERT_TRUE(s.setSorvikConfigAndMapping(r, 0xABCDEFull));
    EXPECT_TRUE(stored("SORVIK_          ABCDEF").get());
    ASSERT_TRUE(s.setSorvikConfigAndMapping(r, 0xF123456789ABCDEFull));
    EXPECT_TRUE(stored("SORVIK_F123456789ABCDEF").get());
    std::memset(&back, 0, sizeof back);
    EXPECT_TRUE(s.getSorvikConfigAndMapping(back, 0xABCDEFull));
    EXPECT_EQ(std::memcmp(&back, &r, sizeof r), 0);
    hx::log::Capture log;
    EXPECT_FALSE(s.getSorvikConfigAndMapping(back, 0x42));
    EXPECT_NE(log.text().find("getSorvikConfigAndMapping No prefs for device               42"),
              std::string::npos);
}

TEST_F(Store, TwoProcessesSynchronisingDifferentKeysKeepBoth) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    ASSERT_TRUE(inOtherProcess([] {
        OSXAsioRegistry other(CFSTR("com.korvex.hx5100"));
        return other.setSampleRate(96000);
    }));
    ASSERT_TRUE(s.setClockSource(1));
    uint32_t rate = 0;
    EXPECT_TRUE(s.getSampleRate(rate));
    EXPECT_EQ(rate, 96000u);
    EXPECT_TRUE(inOtherProcess([] {
        OSXAsioRegistry other(CFSTR("com.korvex.hx5100"));
        uint32_t r = 0;
        return other.getClockSource() == 1 && other.getSampleRate(r) && r == 96000;
    }));
}

TEST_F(Store, TruncatedDomainFileGivesDefaultsAndALogLine) {
    {
        OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
        s.setClockSource(3);
    }
    hx::cf::resetPreferences();
    const std::string whole = readFile(domainFile());
    writeFile(domainFile(), whole.substr(0, whole.size() / 2));
    hx::log::Capture log;
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    EXPECT_FALSE(s.isValid());
    EXPECT_EQ(s.getClockSource(), 0u);
    EXPECT_NE(log.text().find("com.korvex.hx5100.hal.plist"), std::string::npos);
}

TEST_F(Store, FailedWriteKeepsTheEarlierFile) {
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    ASSERT_TRUE(s.setClockSource(1));
    const std::string before = readFile(domainFile());
    hx::cf::setWriteFailureHook(
        [](const std::string& p) { return p.find("hx5100.hal") != std::string::npos; });
    EXPECT_FALSE(s.setClockSource(2));
    EXPECT_EQ(readFile(domainFile()), before);
    hx::cf::setWriteFailureHook(nullptr);
    EXPECT_TRUE(inOtherProcess([] {
        OSXAsioRegistry other(CFSTR("com.korvex.hx5100"));
        return other.getClockSource() == 1;
    }));
}

TEST_F(Store, StorageFileOpensCreatesAndReads) {
    hx::log::Capture log;
    EXPECT_EQ(OSXAsioRegistry::getStorageFile("absent.xml", false, false), -1);
    EXPECT_NE(log.text().find("Could not create path for file absent.xml\n"), std::string::npos);
    fs::create_directories(prefsFile(""));
    EXPECT_EQ(OSXAsioRegistry::getStorageFile("absent.xml", false, false), -1);
    EXPECT_NE(log.text().find("getStorageFile: could not create FSRef for path"),
              std::string::npos);
    FSIORefNum fork = OSXAsioRegistry::getStorageFile("made.xml", true, true);
    ASSERT_GE(fork, 0);
    EXPECT_EQ(FSCloseFork(fork), noErr);
    EXPECT_TRUE(fs::exists(prefsFile("made.xml")));
    writeFile(prefsFile("made.xml"), "abc");
    fork = OSXAsioRegistry::getStorageFile("made.xml", false, false);
    ASSERT_GE(fork, 0);
    char buf[8] = {};
    UInt32 got = 0;
    EXPECT_EQ(FSReadFork(fork, fsAtMark, 0, sizeof buf, buf, &got), eofErr);
    EXPECT_EQ(std::string(buf, got), "abc");
    FSCloseFork(fork);
    OSXAsioRegistry s(CFSTR("com.korvex.hx5100"));
    EXPECT_EQ(s.getSettingNode("Settings", true), nullptr);
}

} // namespace
