// File URLs under the path root, resource writes, and bundles.
#include "tests/platform/cf/CFTestSupport.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/HXCF.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

using namespace hx::cftest;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

unsigned modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0xFFFFFFFFu;
}

Ref<CFDictionaryRef> modeProperties(SInt32 mode) {
    Ref<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &mode));
    const void* k[] = {kCFURLFilePOSIXMode};
    const void* v[] = {n.get()};
    return Ref<CFDictionaryRef>(CFDictionaryCreate(nullptr, k, v, 1, &kCFTypeDictionaryKeyCallBacks,
                                                   &kCFTypeDictionaryValueCallBacks));
}

TEST(CFURL, PathsOfTheOtherSystemLiveUnderTheRoot) {
    hx::test::TempRoot root;
    Ref<CFURLRef> folder(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/Quarnel//"),
                                                       kCFURLPOSIXPathStyle, true));
    Ref<CFURLRef> file(
        CFURLCreateCopyAppendingPathComponent(nullptr, folder, CFSTR("settings.plist"), false));
    EXPECT_TRUE(CFURLHasDirectoryPath(folder));
    EXPECT_FALSE(CFURLHasDirectoryPath(file));
    EXPECT_EQ(text(Ref<CFStringRef>(CFURLCopyFileSystemPath(file, kCFURLPOSIXPathStyle))),
              "/Users/Shared/Quarnel/settings.plist");
    EXPECT_EQ(text(Ref<CFStringRef>(CFURLCopyLastPathComponent(file))), "settings.plist");
    EXPECT_EQ(text(CFURLGetString(folder)), "file:///Users/Shared/Quarnel/");
    char buf[1024];
    ASSERT_TRUE(
        CFURLGetFileSystemRepresentation(file, true, reinterpret_cast<UInt8*>(buf), sizeof buf));
    EXPECT_EQ(std::string(buf), root.path() + "/Users/Shared/Quarnel/settings.plist");
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(file, true, reinterpret_cast<UInt8*>(buf), 8));
    // A path climbing out stays under the root when it reaches the disk.
    Ref<CFURLRef> climbing(
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/../../etc/x"), kCFURLPOSIXPathStyle, false));
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(climbing, true, reinterpret_cast<UInt8*>(buf),
                                                 sizeof buf));
    EXPECT_EQ(std::string(buf), root.path() + "/etc/x");
}

TEST(CFURL, WritesFoldersWithTheirModeWithoutSetIdBits) {
    hx::test::TempRoot root;
    Ref<CFURLRef> folder(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/Quarnel/"),
                                                       kCFURLPOSIXPathStyle, true));
    SInt32 error = 1;
    Ref<CFDataRef> ignored(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("DUMMY"), 5));
    ASSERT_TRUE(
        CFURLWriteDataAndPropertiesToResource(folder, ignored, modeProperties(07777), &error));
    EXPECT_EQ(error, 0);
    const std::string host = root.path() + "/Users/Shared/Quarnel";
    EXPECT_TRUE(fs::is_directory(host));
    EXPECT_EQ(modeOf(host), 01777u);
    EXPECT_TRUE(fs::is_empty(host)); // the data of a folder write is not stored
    // Again, with the folder there: still fine.
    EXPECT_TRUE(
        CFURLWriteDataAndPropertiesToResource(folder, ignored, modeProperties(0755), &error));
    EXPECT_EQ(modeOf(host), 0755u);
}

TEST(CFURL, WritesFilesThroughATemporaryFileAndARename) {
    hx::test::TempRoot root;
    Ref<CFURLRef> file(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/out.plist"),
                                                     kCFURLPOSIXPathStyle, false));
    const std::string host = root.path() + "/Users/Shared/out.plist";
    SInt32 error = 0;
    Ref<CFDataRef> first(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("first"), 5));
    Ref<CFDataRef> second(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("second"), 6));
    // No folder yet: a file write does not make one.
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(file, first, nullptr, &error));
    EXPECT_EQ(error, kCFURLResourceNotFoundError);
    fs::create_directories(root.path() + "/Users/Shared");
    ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(file, first, modeProperties(06644), &error));
    EXPECT_EQ(readAll(host), "first");
    EXPECT_EQ(modeOf(host), 0644u);

    hx::cf::setWriteFailureHook([&](const std::string& p) { return p == host; });
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(file, second, nullptr, &error));
    EXPECT_NE(error, 0);
    hx::cf::setWriteFailureHook(nullptr);
    EXPECT_EQ(readAll(host), "first");
    int entries = 0;
    for (const auto& e : fs::directory_iterator(root.path() + "/Users/Shared"))
        ++entries, (void)e;
    EXPECT_EQ(entries, 1); // no temporary file left behind

    ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(file, second, nullptr, &error));
    EXPECT_EQ(readAll(host), "second");
    CFDataRef back = nullptr;
    ASSERT_TRUE(
        CFURLCreateDataAndPropertiesFromResource(nullptr, file, &back, nullptr, nullptr, &error));
    Ref<CFDataRef> owned(back);
    EXPECT_EQ(CFDataGetLength(back), 6);
}

void installBundle(const std::string& host, const std::string& info) {
    writeAll(host + "/Contents/Info.plist", info);
}

TEST(CFBundle, FindsBundlesInstalledUnderTheRootByIdentifier) {
    hx::test::TempRoot root;
    installBundle(
        root.path() + "/Library/Audio/Plug-Ins/HAL/Other.plugin",
        "<plist><dict><key>CFBundleIdentifier</key><string>se.example.other.installed</string>"
        "<key>AddWriteAhead1</key><string>32</string></dict></plist>");
    installBundle(root.path() + "/Library/Audio/Plug-Ins/HAL/NoId.plugin",
                  "<plist><dict/></plist>");
    CFBundleRef b = CFBundleGetBundleWithIdentifier(CFSTR("se.example.other.installed"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("se.example.other.installed")), b);
    EXPECT_EQ(text(CFBundleGetIdentifier(b)), "se.example.other.installed");
    EXPECT_EQ(CFStringGetIntValue(static_cast<CFStringRef>(
                  CFBundleGetValueForInfoDictionaryKey(b, CFSTR("AddWriteAhead1")))),
              32);
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(b, CFSTR("AddInSafetyOffset1")), nullptr);
    Ref<CFURLRef> url(CFBundleCopyBundleURL(b));
    EXPECT_EQ(text(Ref<CFStringRef>(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle))),
              "/Library/Audio/Plug-Ins/HAL/Other.plugin");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("se.example.absent")), nullptr);
}

TEST(CFBundle, TestsRegisterBundlesAndAnUnreadableInfoFileReadsAsEmpty) {
    hx::test::TempRoot root;
    installBundle(root.path() + "/Users/Shared/Test.bundle",
                  "<plist><dict><key>CFBundleIdentifier</key><string>com.example.registered</"
                  "string></dict></plist>");
    CFBundleRef registered = hx::cf::registerBundle("/Users/Shared/Test.bundle");
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.example.registered")), registered);

    installBundle(root.path() + "/Users/Shared/Broken.bundle",
                  "<plist><dict><key>CFBundleIdentifier</key><str");
    hx::log::Capture log;
    Ref<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/Broken.bundle"),
                                                    kCFURLPOSIXPathStyle, true));
    Ref<CFBundleRef> broken(CFBundleCreate(nullptr, url));
    ASSERT_NE(broken.get(), nullptr);
    CFDictionaryRef info = CFBundleGetInfoDictionary(broken);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(info), 0);
    EXPECT_EQ(CFBundleGetIdentifier(broken), nullptr);
    Ref<CFBundleRef> same(CFBundleCreate(nullptr, url));
    EXPECT_EQ(same.get(), broken.get());
    const std::string lines = log.text();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
    EXPECT_NE(lines.find(root.path() + "/Users/Shared/Broken.bundle/Contents/Info.plist"),
              std::string::npos);
    EXPECT_EQ(hx::cf::registerBundle("/Users/Shared/Broken.bundle"), nullptr);
    Ref<CFURLRef> missing(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Nowhere.bundle"),
                                                        kCFURLPOSIXPathStyle, true));
    EXPECT_EQ(CFBundleCreate(nullptr, missing), nullptr);
}

TEST(CFBundle, MainBundleCarriesTheIdentifierTheProgramSet) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    hx::cf::setMainBundleIdentifier("com.example.program");
    EXPECT_EQ(CFBundleGetMainBundle(), main);
    EXPECT_EQ(text(CFBundleGetIdentifier(main)), "com.example.program");
    hx::cf::setMainBundleIdentifier("");
    EXPECT_EQ(CFBundleGetIdentifier(main), nullptr);
}

} // namespace

TEST(UserNotice, LoggedAndRecordedWithHeaderTextIconLevelAndTimeout) {
    hx::test::TempRoot root;
    hx::cf::clearUserNotices();
    CFStringRef header = CFStringCreateWithCString(nullptr, "Korvex LX-310", kCFStringEncodingUTF8);
    CFStringRef text = CFStringCreateWithCString(nullptr, "mode", kCFStringEncodingUTF8);
    CFStringRef path =
        CFStringCreateWithCString(nullptr, "/Applications/icon.png", kCFStringEncodingUTF8);
    CFURLRef icon = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, false);
    hx::log::Capture capture;
    EXPECT_EQ(CFUserNotificationDisplayNotice(2.0, kCFUserNotificationPlainAlertLevel, icon,
                                              nullptr, nullptr, header, text, nullptr),
              0);
    EXPECT_EQ(CFUserNotificationDisplayNotice(0.5, kCFUserNotificationNoteAlertLevel, nullptr,
                                              nullptr, nullptr, header, nullptr, nullptr),
              0);
    auto notices = hx::cf::userNotices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].header, "Korvex LX-310");
    EXPECT_EQ(notices[0].text, "mode");
    EXPECT_EQ(notices[0].iconPath, "/Applications/icon.png");
    EXPECT_EQ(notices[0].level, kCFUserNotificationPlainAlertLevel);
    EXPECT_DOUBLE_EQ(notices[0].timeout, 2.0);
    EXPECT_EQ(notices[1].iconPath, "");
    EXPECT_EQ(notices[1].text, "");
    EXPECT_NE(capture.text().find("Korvex LX-310: mode"), std::string::npos);
    hx::cf::clearUserNotices();
    EXPECT_TRUE(hx::cf::userNotices().empty());
    for (CFTypeRef r : {CFTypeRef(header), CFTypeRef(text), CFTypeRef(path), CFTypeRef(icon)})
        CFRelease(r);
}
