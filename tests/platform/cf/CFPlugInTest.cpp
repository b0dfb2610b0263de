// UUIDs, plug-in instance counts, and what loading reads of a bundle: its
// factories for a type, the folder scan, and the refusals before dlopen.
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/CFPlugInCOM.h"

#include "platform/base/HXPath.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFString.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr const char* kType = "F8BB1C28-BAE8-11D6-9C31-00039315CD46";
constexpr const char* kFactory = "117700EE-CAF0-4FBF-8B3E-88283DFC469A";

CFUUIDRef uuid(const char* text) {
    CFStringRef s = CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
    CFUUIDRef u = CFUUIDCreateFromString(nullptr, s);
    CFRelease(s);
    return u;
}

std::string text(CFUUIDRef u) {
    CFStringRef s = CFUUIDCreateString(nullptr, u);
    char buffer[64] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    CFRelease(s);
    return buffer;
}

TEST(CFUUID, TextBytesAndConstantsAgree) {
    CFUUIDRef a = uuid("f8bb1c28-bae8-11d6-9c31-00039315cd46");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(text(a), kType) << "upper case out";
    const CFUUIDBytes b = CFUUIDGetUUIDBytes(a);
    EXPECT_EQ(b.byte0, 0xF8);
    EXPECT_EQ(b.byte15, 0x46);
    CFUUIDRef c = CFUUIDCreateFromUUIDBytes(nullptr, b);
    CFUUIDRef k1 =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11, 0xD6,
                                       0x9C, 0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46);
    CFUUIDRef k2 =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11, 0xD6,
                                       0x9C, 0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46);
    EXPECT_EQ(k1, k2) << "one constant per byte pattern";
    EXPECT_TRUE(CFEqual(a, c));
    EXPECT_TRUE(CFEqual(a, k1));
    EXPECT_FALSE(CFEqual(a, IUnknownUUID));
    EXPECT_EQ(CFGetTypeID(a), CFUUIDGetTypeID());
    CFRelease(k1); // immortal: nothing happens
    EXPECT_EQ(text(k1), kType);
    CFRelease(a);
    CFRelease(c);
}

TEST(CFUUID, RefusesTextThatIsNoUUID) {
    const char* bad[] = {"",
                         "F8BB1C28BAE811D69C3100039315CD46",
                         "F8BB1C28-BAE8-11D6-9C31-00039315CD4",
                         "F8BB1C28-BAE8-11D6-9C31-00039315CD466",
                         "G8BB1C28-BAE8-11D6-9C31-00039315CD46",
                         "F8BB1C28+BAE8-11D6-9C31-00039315CD46"};
    for (const char* t : bad)
        EXPECT_EQ(uuid(t), nullptr) << t;
    EXPECT_EQ(CFUUIDCreateFromString(nullptr, nullptr), nullptr);
    const CFUUIDBytes zero = CFUUIDGetUUIDBytes(nullptr);
    EXPECT_EQ(zero.byte0 | zero.byte15, 0);
}

TEST(CFPlugIn, CountsInstancesPerFactory) {
    CFUUIDRef f = uuid("0A0B0C0D-0000-0000-0000-000000000001");
    CFUUIDRef same = uuid("0a0b0c0d-0000-0000-0000-000000000001");
    CFUUIDRef other = uuid("0A0B0C0D-0000-0000-0000-000000000002");
    EXPECT_EQ(hx::cf::plugInInstanceCount(f), 0);
    CFPlugInAddInstanceForFactory(f);
    CFPlugInAddInstanceForFactory(same);
    EXPECT_EQ(hx::cf::plugInInstanceCount(f), 2);
    EXPECT_EQ(hx::cf::plugInInstanceCount(other), 0);
    CFPlugInRemoveInstanceForFactory(f);
    CFPlugInRemoveInstanceForFactory(f);
    CFPlugInRemoveInstanceForFactory(f); // never below 0
    EXPECT_EQ(hx::cf::plugInInstanceCount(f), 0);
    CFRelease(f);
    CFRelease(same);
    CFRelease(other);
}

// A bundle folder under the root with the given Info.plist body (inside
// <dict>) and, when exe is set, a file in Contents/MacOS.
void makeBundle(const std::string& otherPath, const std::string& dictBody,
                const std::string& exe = {}, const std::string& exeBytes = "not a library") {
    const fs::path host = hx::path::map(otherPath);
    fs::create_directories(host / "Contents" / "MacOS");
    std::ofstream(host / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        << dictBody << "</dict>\n</plist>\n";
    if (!exe.empty()) std::ofstream(host / "Contents" / "MacOS" / exe) << exeBytes;
}

std::string factories(const std::string& type, const std::string& factory,
                      const std::string& function) {
    return "<key>CFBundleExecutable</key><string>Plug</string>\n"
           "<key>CFPlugInFactories</key><dict><key>" +
           factory + "</key><string>" + function +
           "</string></dict>\n"
           "<key>CFPlugInTypes</key><dict><key>" +
           type + "</key><array><string>" + factory + "</string></array></dict>\n";
}

TEST(CFPlugIn, ListsTheFactoriesABundleNamesForAType) {
    hx::test::TempRoot root;
    const std::string folder = "/Library/Audio/Plug-Ins/HAL";
    makeBundle(folder + "/B.plugin", factories(kType, kFactory, "CreateAudio"));
    makeBundle(folder + "/A.plugin",
               factories("00000000-0000-0000-0000-00000000000A", kFactory, "Other"));
    // A type naming a factory the bundle does not list counts for nothing.
    makeBundle(folder + "/C.plugin", "<key>CFPlugInTypes</key><dict><key>" + std::string(kType) +
                                         "</key><array><string>" + kFactory +
                                         "</string></array></dict>\n");
    CFUUIDRef type = uuid(kType);
    const auto found = hx::cf::factoriesForType(folder + "/B.plugin", type);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].factoryID, kFactory);
    EXPECT_EQ(found[0].function, "CreateAudio");
    EXPECT_TRUE(hx::cf::factoriesForType(folder + "/A.plugin", type).empty());
    EXPECT_TRUE(hx::cf::factoriesForType(folder + "/C.plugin", type).empty());
    EXPECT_TRUE(hx::cf::factoriesForType(folder + "/Missing.plugin", type).empty());
    EXPECT_EQ(hx::cf::plugInsForType(folder, type), std::vector<std::string>{folder + "/B.plugin"});
    CFRelease(type);
}

TEST(CFPlugIn, LoadingRefusesWhatItCannotLoadWithAReason) {
    hx::test::TempRoot root;
    const std::string folder = "/Library/Audio/Plug-Ins/HAL";
    CFUUIDRef type = uuid(kType);
    struct Case {
        const char* name;
        std::string body;
        std::string exe;
        const char* why;
    };
    const Case cases[] = {
        {"NoFactory.plugin", "", "", "lists no factory"},
        {"NoExecutable.plugin",
         "<key>CFPlugInFactories</key><dict><key>" + std::string(kFactory) +
             "</key><string>CreateAudio</string></dict><key>CFPlugInTypes</key><dict><key>" +
             kType + "</key><array><string>" + kFactory + "</string></array></dict>",
         "", "names no executable"},
        {"NotALibrary.plugin", factories(kType, kFactory, "CreateAudio"), "Plug", "cannot load"},
        {"Missing.plugin", factories(kType, kFactory, "CreateAudio"), "", "cannot load"},
    };
    for (const Case& c : cases) {
        makeBundle(folder + "/" + c.name, c.body, c.exe);
        hx::log::Capture capture;
        const hx::cf::LoadedFactory f = hx::cf::loadFactory(folder + "/" + c.name, type);
        EXPECT_EQ(f.function, nullptr) << c.name;
        EXPECT_NE(f.error.find(c.why), std::string::npos) << c.name << ": " << f.error;
        EXPECT_NE(capture.text().find(c.why), std::string::npos) << c.name;
    }
    CFRelease(type);
}

} // namespace
