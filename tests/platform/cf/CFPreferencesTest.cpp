// Preference domains: one file per domain under the root, shared between
// processes through Synchronize's lock, re-read and rename.
#include "tests/platform/cf/CFTestSupport.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/HXCF.h"
#include "platform/sys/Files.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace hx::cftest;
namespace fs = std::filesystem;

namespace {

const CFStringRef kDomain = CFSTR("com.example.hx.test");

class Preferences : public ::testing::Test {
protected:
    Preferences() { hx::cf::resetPreferences(); }
    ~Preferences() override {
        hx::cf::setWriteFailureHook(nullptr);
        hx::cf::resetPreferences();
    }

    std::string domainFile(const std::string& domain = "com.example.hx.test") const {
        return hx::path::map(hx::sys::userPreferencesFolder() + "/" + domain + ".plist");
    }
    static std::string readAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void writeAll(const std::string& path, const std::string& bytes) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static void set(const char* key, CFPropertyListRef value, CFStringRef domain = kDomain) {
        CFPreferencesSetValue(str(key), value, domain, kCFPreferencesCurrentUser,
                              kCFPreferencesAnyHost);
    }
    static Ref<CFPropertyListRef> copy(const char* key, CFStringRef domain = kDomain) {
        return Ref<CFPropertyListRef>(CFPreferencesCopyValue(
            str(key), domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    }
    static bool sync(CFStringRef domain = kDomain) {
        return CFPreferencesSynchronize(domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    }

    hx::test::TempRoot mRoot;
};

TEST_F(Preferences, SynchronizeWritesOneFilePerDomainThatPlistlibReads) {
    set("ClockSource", CFSTR("2"));
    set("Blob",
        Ref<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("\x01\x02"), 2)));
    set("Gone", CFSTR("x"));
    set("Gone", nullptr);
    EXPECT_EQ(text(copy("ClockSource")), "2"); // this process sees its own change at once
    EXPECT_FALSE(fs::exists(domainFile()));
    ASSERT_TRUE(sync());
    EXPECT_TRUE(fs::exists(domainFile() + ".lock"));
    struct stat st;
    ASSERT_EQ(stat(domainFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    int status = -1;
    std::string seen = python(
        "import plistlib, sys\nprint(sorted(plistlib.load(open(sys.argv[1], 'rb')).items()))\n",
        domainFile(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(seen, "[('Blob', b'\\x01\\x02'), ('ClockSource', '2')]\n");

    set("ClockSource", nullptr);
    ASSERT_TRUE(sync());
    EXPECT_EQ(copy("ClockSource").get(), nullptr);
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(copy("Blob").get())), 2);
}

TEST_F(Preferences, StoresACopyOfWhatItIsGiven) {
    Ref<CFMutableDictionaryRef> d(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(d, CFSTR("a"), CFSTR("1"));
    set("Dict", d);
    CFDictionarySetValue(d, CFSTR("b"), CFSTR("2"));
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(copy("Dict").get())), 1);
    // What is not a property list is not stored.
    Ref<CFURLRef> url(
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLPOSIXPathStyle, false));
    set("Url", url);
    EXPECT_EQ(copy("Url").get(), nullptr);
}

TEST_F(Preferences, AnotherProcessSeesASynchronisedChange) {
    set("Mine", CFSTR("1"));
    ASSERT_TRUE(sync());
    EXPECT_EQ(copy("Theirs").get(), nullptr);
    ASSERT_TRUE(inOtherProcess([] {
        set("Theirs", CFSTR("2"));
        return sync();
    }));
    EXPECT_EQ(text(copy("Theirs")), "2");
    EXPECT_EQ(text(copy("Mine")), "1");
}

TEST_F(Preferences, TwoProcessesSynchronisingDifferentKeysKeepBoth) {
    set("Routing_0_1", CFSTR("5")); // pending here while the other process writes
    ASSERT_TRUE(inOtherProcess([] {
        set("Routing_1_0", CFSTR("7"));
        set("Shared", CFSTR("theirs"));
        return sync();
    }));
    set("Shared", CFSTR("mine"));
    ASSERT_TRUE(sync());
    EXPECT_TRUE(inOtherProcess([] {
        return text(copy("Routing_0_1")) == "5" && text(copy("Routing_1_0")) == "7" &&
               text(copy("Shared")) == "mine";
    }));
    // A removal here does not undo the other process's later set.
    set("Routing_1_0", nullptr);
    ASSERT_TRUE(sync());
    EXPECT_EQ(copy("Routing_1_0").get(), nullptr);
    EXPECT_EQ(text(copy("Routing_0_1")), "5");
}

TEST_F(Preferences, UnreadableFileIsReadAsEmptyLoggedOnceAndSetAsideBeforeTheNextWrite) {
    std::string deep;
    for (int i = 0; i <= kHXPropertyListMaxDepth; ++i)
        deep += "<array>";
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"truncated", "<plist><dict><key>ClockSource</key><string>3</str"},
        {"binary", std::string("bplist00\xD1\x01\x02\x51\x61", 13)},
        {"integer out of range",
         "<plist><dict><key>n</key><integer>99999999999999999999</integer></dict></plist>"},
        {"nested too deep", "<plist><dict><key>d</key>" + deep + "</dict></plist>"},
        {"not a dictionary", "<plist><array><string>x</string></array></plist>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hx::cf::resetPreferences();
        fs::remove(domainFile() + ".bad");
        writeAll(domainFile(), c.bytes);
        hx::log::Capture log;
        EXPECT_EQ(copy("ClockSource").get(), nullptr);
        EXPECT_EQ(copy("n").get(), nullptr);
        const std::string lines = log.text();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
        EXPECT_NE(lines.find(domainFile()), std::string::npos) << lines;

        set("ClockSource", CFSTR("1"));
        ASSERT_TRUE(sync());
        EXPECT_EQ(readAll(domainFile() + ".bad"), c.bytes);
        EXPECT_EQ(text(copy("ClockSource")), "1");
        EXPECT_TRUE(inOtherProcess([] { return text(copy("ClockSource")) == "1"; }));
    }
}

TEST_F(Preferences, FailedWriteKeepsThePreviousFileAndTheChange) {
    set("Version", CFSTR("1.0"));
    ASSERT_TRUE(sync());
    const std::string before = readAll(domainFile());
    const std::string target = domainFile();
    hx::cf::setWriteFailureHook([target](const std::string& path) { return path == target; });
    set("Version", CFSTR("2.0"));
    EXPECT_FALSE(sync());
    EXPECT_EQ(readAll(domainFile()), before);
    for (const auto& e : fs::directory_iterator(fs::path(target).parent_path()))
        EXPECT_TRUE(e.path() == target || e.path() == target + ".lock") << e.path();
    EXPECT_TRUE(inOtherProcess([] { return text(copy("Version")) == "1.0"; }));

    hx::cf::setWriteFailureHook(nullptr);
    EXPECT_TRUE(sync()); // the change was kept for the next try
    EXPECT_TRUE(inOtherProcess([] { return text(copy("Version")) == "2.0"; }));
}

TEST_F(Preferences, AppValueFormsUseTheMainBundleIdentifier) {
    hx::cf::setMainBundleIdentifier("");
    CFPreferencesSetAppValue(CFSTR("Level"), CFSTR("3"), kCFPreferencesCurrentApplication);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Level"), kCFPreferencesCurrentApplication), nullptr);

    hx::cf::setMainBundleIdentifier("com.example.hx.app");
    EXPECT_EQ(text(CFBundleGetIdentifier(CFBundleGetMainBundle())), "com.example.hx.app");
    CFPreferencesSetAppValue(CFSTR("Level"), CFSTR("3"), kCFPreferencesCurrentApplication);
    CFPreferencesSetAppValue(CFSTR("On"), kCFBooleanTrue, kCFPreferencesCurrentApplication);
    CFPreferencesSetAppValue(CFSTR("Word"), CFSTR("many"), kCFPreferencesCurrentApplication);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    EXPECT_TRUE(fs::exists(domainFile("com.example.hx.app")));
    Ref<CFPropertyListRef> byName(
        CFPreferencesCopyAppValue(CFSTR("Level"), CFSTR("com.example.hx.app")));
    EXPECT_EQ(text(byName), "3");

    Boolean valid = false;
    EXPECT_EQ(
        CFPreferencesGetAppIntegerValue(CFSTR("Level"), kCFPreferencesCurrentApplication, &valid),
        3);
    EXPECT_TRUE(valid);
    EXPECT_EQ(
        CFPreferencesGetAppIntegerValue(CFSTR("Word"), kCFPreferencesCurrentApplication, &valid),
        0);
    EXPECT_FALSE(valid);
    EXPECT_TRUE(
        CFPreferencesGetAppBooleanValue(CFSTR("On"), kCFPreferencesCurrentApplication, &valid));
    EXPECT_TRUE(valid);
    EXPECT_FALSE(CFPreferencesGetAppBooleanValue(CFSTR("Missing"), kCFPreferencesCurrentApplication,
                                                 &valid));
    EXPECT_FALSE(valid);
    hx::cf::setMainBundleIdentifier("");
}

TEST_F(Preferences, OnlyTheCurrentUserForAnyHostAndPlainDomainNamesAreKept) {
    CFPreferencesSetValue(CFSTR("k"), CFSTR("v"), kDomain, kCFPreferencesAnyUser,
                          kCFPreferencesAnyHost);
    CFPreferencesSetValue(CFSTR("k"), CFSTR("v"), kDomain, kCFPreferencesCurrentUser,
                          kCFPreferencesCurrentHost);
    EXPECT_EQ(copy("k").get(), nullptr);
    EXPECT_FALSE(CFPreferencesSynchronize(kDomain, kCFPreferencesAnyUser, kCFPreferencesAnyHost));
    // A domain name cannot reach outside the Preferences folder.
    set("k", CFSTR("v"), CFSTR("../escape"));
    EXPECT_FALSE(sync(CFSTR("../escape")));
    EXPECT_FALSE(fs::exists(hx::path::map(hx::sys::userPreferencesFolder() + "/../escape.plist")));
}

} // namespace
