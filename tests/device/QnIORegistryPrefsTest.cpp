// The registry snapshot and its mirror file under /Users/Shared/Quarnel.
#include "device/QnIORegistryPrefs.h"

#include "abi/ServiceClass.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/MacErrors.h"
#include "platform/base/testing/TempRoot.h"
#include "tests/platform/cf/CFTestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace hx::cftest;
namespace fs = std::filesystem;

namespace {

// A registry of one kernel service (handle 7) whose properties the test sets.
class Registry {
public:
    ~Registry() {
        if (mProperties) CFRelease(mProperties);
    }
    QnRegistryAccess access() {
        return {[this](const char* cls, std::vector<QnServiceHandle>& out) {
                    mSearched = cls;
                    if (mFailSearch) return kern_return_t(kIOReturnNoDevice);
                    out.push_back(7);
                    return kern_return_t(KERN_SUCCESS);
                },
                [this](QnServiceHandle service, CFMutableDictionaryRef* out) {
                    ++mReads;
                    if (service != 7 || !mProperties || mFailRead)
                        return kern_return_t(kIOReturnBadArgument);
                    *out = CFDictionaryCreateMutableCopy(nullptr, 0, mProperties);
                    return kern_return_t(KERN_SUCCESS);
                }};
    }
    void set(const char* key, CFTypeRef value) {
        if (!mProperties)
            mProperties = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(mProperties, str(key), value);
    }
    void setChannelSettings() {
        Ref<CFMutableArrayRef> six(CFArrayCreateMutable(nullptr, 6, &kCFTypeArrayCallBacks));
        for (long long v : {48000, 2, 24, 2, 24, 1})
            CFArrayAppendValue(six.get(), num(v));
        set("ChannelSettings", six.get());
    }
    CFMutableDictionaryRef mProperties = nullptr;
    std::string mSearched;
    bool mFailSearch = false;
    bool mFailRead = false;
    int mReads = 0;
};

class RegistryPrefs : public ::testing::Test {
protected:
    static std::string folder() { return hx::path::map("/Users/Shared/Quarnel"); }
    static std::string file() { return folder() + "/com.korvex.hx5100.plist"; }
    hx::test::TempRoot mRoot;
    Registry mRegistry;
};

TEST_F(RegistryPrefs, ReadOnlyInstanceTouchesNoFile) {
    mRegistry.setChannelSettings();
    hx::log::Capture log;
    QnIORegistryPrefs prefs(false, mRegistry.access());
    EXPECT_EQ(mRegistry.mSearched, kZrServiceClassName);
    EXPECT_EQ(prefs.service(), 7u);
    EXPECT_TRUE(prefs.hasProperties());
    EXPECT_FALSE(prefs.createDirectory());
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_FALSE(fs::exists(hx::path::map("/Users")));
    EXPECT_NE(
        log.text().find(
            "Found a device of class ZrKernelDeviceKorvexHX5100 (won't write), result 00000000.\n"),
        std::string::npos);
}

TEST_F(RegistryPrefs, HasPropertiesNeedsChannelSettings) {
    mRegistry.set("AjExtData", num(1));
    QnIORegistryPrefs prefs(false, mRegistry.access());
    EXPECT_FALSE(prefs.hasProperties());
    ASSERT_NE(prefs.getProperties(), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(prefs.getProperties()), 1);
    mRegistry.setChannelSettings();
    EXPECT_TRUE(prefs.hasProperties()); // read again
}

TEST_F(RegistryPrefs, FailedSearchOrNoServicePreparesNothing) {
    mRegistry.mFailSearch = true;
    hx::log::Capture log;
    QnIORegistryPrefs prefs(true, mRegistry.access());
    EXPECT_NE(log.text().find("IOServiceGetMatchingServices returned 0xe00002c0\n\n"),
              std::string::npos);
    EXPECT_EQ(prefs.update(), kIOReturnError);
    EXPECT_FALSE(prefs.hasProperties());
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_FALSE(fs::exists(folder()));
}

TEST_F(RegistryPrefs, WritableMirrorsThePropertiesThatPlistlibReads) {
    mRegistry.setChannelSettings();
    mRegistry.set("AjExtData", num(5));
    QnIORegistryPrefs prefs(true, mRegistry.access());
    struct stat st;
    ASSERT_EQ(::stat(folder().c_str(), &st), 0); // made at construction
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    fs::remove_all(folder()); // a missing folder is made again before writing
    ASSERT_TRUE(prefs.hasProperties());
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    ASSERT_EQ(::stat(folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    int status = -1;
    const std::string out = python("import plistlib,sys\n"
                                   "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                                   "print(d['ChannelSettings'], d['AjExtData'])\n",
                                   file(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "[48000, 2, 24, 2, 24, 1] 5\n");
}

TEST_F(RegistryPrefs, UnrepresentableSnapshotKeepsTheEarlierFile) {
    mRegistry.setChannelSettings();
    QnIORegistryPrefs prefs(true, 7, mRegistry.access());
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    const auto before = fs::file_size(file());
    // A value the property-list writer refuses: a key that is not a string.
    CFDictionarySetValue(mRegistry.mProperties, num(1), num(2));
    hx::log::Capture log;
    prefs.update();
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_NE(log.text().find("QnIORegistryPrefs: Could not create CFData"), std::string::npos);
    EXPECT_EQ(fs::file_size(file()), before);
}

TEST_F(RegistryPrefs, WritingReadsTheRegistryAgainAndAFailedReadKeepsTheFile) {
    QnIORegistryPrefs prefs(true, mRegistry.access()); // nothing published yet
    mRegistry.setChannelSettings();
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    auto contents = [&] {
        std::ifstream f(file(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    const std::string written = contents();
    EXPECT_NE(written.find("<key>ChannelSettings</key>"), std::string::npos);
    mRegistry.mFailRead = true;
    hx::log::Capture log;
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_NE(log.text().find("QnIORegistryPrefs: Could not create CFData"), std::string::npos);
    EXPECT_EQ(contents(), written);
}

} // namespace
