// The Sorvik device list: devices from the registry, and the list kept
// under "DevicesList" in the application's own preferences, including the
// shapes another process of the user may have left there.
#include "api/QnAPIUSBDefines.h"

#include "api/testing/ScriptedControlService.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFPreferences.h"
#include "platform/cf/HXCF.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

CFMutableDictionaryRef deviceWithUID(const void* uid, CFIndex size) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    if (uid) {
        CFDataRef data = CFDataCreate(nullptr, static_cast<const UInt8*>(uid), size);
        CFDictionarySetValue(d, CFSTR("SorvikUID"), data);
        CFRelease(data);
    }
    return d;
}
CFMutableDictionaryRef device(uint64_t uid) {
    return deviceWithUID(&uid, 8);
}

template <typename Body> bool inOtherProcess(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        hx::cf::resetPreferences();
        _exit(body() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

CFIndex storedCount() {
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    const CFIndex n = CFArrayGetCount(list);
    CFRelease(list);
    return n;
}

struct DevicesList : ::testing::Test {
    DevicesList() {
        hx::cf::resetPreferences();
        hx::cf::setMainBundleIdentifier("com.korvex.hx5100.apitest");
    }
    ~DevicesList() override {
        hx::cf::setWriteFailureHook(nullptr);
        hx::cf::resetPreferences();
        hx::cf::setMainBundleIdentifier("");
    }
    hx::test::TempRoot root;
};

TEST_F(DevicesList, TheRegistryGivesTheSorvikVendorsServices) {
    CFMutableArrayRef none = nullptr;
    ASSERT_EQ(getSorvikDevicesFromRegistry(&none), KERN_SUCCESS);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(CFArrayGetCount(none), 0);
    CFRelease(none);

    auto* a = hx::apitest::publishSorvikService(0x1935, 1);
    auto* b = hx::apitest::publishSorvikService(0x1935, 2);
    auto* other = hx::apitest::publishSorvikService(0x0D8C, 3);
    CFMutableArrayRef found = nullptr;
    ASSERT_EQ(getSorvikDevicesFromRegistry(&found), KERN_SUCCESS);
    ASSERT_EQ(CFArrayGetCount(found), 2);
    for (CFIndex i = 0; i < 2; ++i) {
        auto d = CFDictionaryRef(CFArrayGetValueAtIndex(found, i));
        ASSERT_EQ(CFGetTypeID(d), CFDictionaryGetTypeID());
        int32_t vendor = 0;
        CFNumberGetValue(CFNumberRef(CFDictionaryGetValue(d, CFSTR("idVendor"))),
                         kCFNumberSInt32Type, &vendor);
        EXPECT_EQ(vendor, 0x1935);
    }
    CFRelease(found);
    for (IOService* s :
         {static_cast<IOService*>(a), static_cast<IOService*>(b), static_cast<IOService*>(other)})
        hx::apitest::unpublish(s);
}

TEST_F(DevicesList, AddingTwiceKeepsOneAndRemovingTwiceSucceedsOnce) {
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    ASSERT_EQ(CFArrayGetCount(list), 0);
    CFMutableDictionaryRef d = device(0x1122334455667788ull);
    EXPECT_TRUE(addSorvikDeviceToDeviceList(list, d));
    EXPECT_FALSE(addSorvikDeviceToDeviceList(list, d));
    EXPECT_EQ(CFArrayGetCount(list), 1);
    EXPECT_EQ(storedCount(), 1);
    // A UID longer than 8 bytes counts by its first 8; a shorter one is
    // zero-filled.
    const uint8_t longer[10] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 9, 9};
    CFMutableDictionaryRef same = deviceWithUID(longer, 10);
    EXPECT_FALSE(addSorvikDeviceToDeviceList(list, same));
    const uint8_t shorter[2] = {0x34, 0x12};
    CFMutableDictionaryRef small = deviceWithUID(shorter, 2);
    EXPECT_TRUE(addSorvikDeviceToDeviceList(list, small));
    CFMutableDictionaryRef small2 = device(0x1234);
    EXPECT_TRUE(removeSorvikDeviceFromDeviceList(list, small2));
    CFRelease(small2);
    EXPECT_TRUE(removeSorvikDeviceFromDeviceList(list, same));
    EXPECT_FALSE(removeSorvikDeviceFromDeviceList(list, d));
    EXPECT_EQ(storedCount(), 0);
    // Without a UID, with nothing to remove from, or without a list: false.
    CFMutableDictionaryRef bare = deviceWithUID(nullptr, 0);
    EXPECT_FALSE(addSorvikDeviceToDeviceList(list, bare));
    EXPECT_FALSE(removeSorvikDeviceFromDeviceList(list, d));
    EXPECT_FALSE(addSorvikDeviceToDeviceList(nullptr, d));
    EXPECT_FALSE(addSorvikDeviceToDeviceList(list, nullptr));
    EXPECT_FALSE(removeSorvikDeviceFromDeviceList(nullptr, d));
    for (CFTypeRef r :
         {CFTypeRef(d), CFTypeRef(same), CFTypeRef(small), CFTypeRef(bare), CFTypeRef(list)})
        CFRelease(r);
}

TEST_F(DevicesList, StoredShapesOfAnotherProcessReadAsDecided) {
    // Not an array: absent, one log line; the next add replaces it.
    CFPreferencesSetAppValue(CFSTR("DevicesList"), CFSTR("garbage"),
                             kCFPreferencesCurrentApplication);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    hx::log::Capture log;
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(CFArrayGetCount(list), 0);
    EXPECT_NE(log.text().find("DevicesList is not an array"), std::string::npos);
    // Entries that are not dictionaries, or whose UID is not data, match
    // nothing.
    CFArrayAppendValue(list, CFSTR("entry"));
    CFMutableDictionaryRef wrongUID = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(wrongUID, CFSTR("SorvikUID"), CFSTR("5"));
    CFArrayAppendValue(list, wrongUID);
    CFMutableDictionaryRef d = device(5);
    EXPECT_FALSE(removeSorvikDeviceFromDeviceList(list, d));
    EXPECT_TRUE(addSorvikDeviceToDeviceList(list, d));
    EXPECT_EQ(storedCount(), 3);
    EXPECT_TRUE(removeSorvikDeviceFromDeviceList(list, d));
    EXPECT_EQ(CFArrayGetCount(list), 2);
    CFRelease(d);
    CFRelease(wrongUID);
    CFRelease(list);
}

TEST_F(DevicesList, AFailedSynchroniseAnswersFalseAndTheListKeepsTheChange) {
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    CFMutableDictionaryRef d = device(77);
    hx::cf::setWriteFailureHook([](const std::string&) { return true; });
    EXPECT_FALSE(addSorvikDeviceToDeviceList(list, d));
    EXPECT_EQ(CFArrayGetCount(list), 1);
    hx::cf::setWriteFailureHook(nullptr);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    hx::cf::setWriteFailureHook([](const std::string&) { return true; });
    EXPECT_FALSE(removeSorvikDeviceFromDeviceList(list, d));
    EXPECT_EQ(CFArrayGetCount(list), 0);
    hx::cf::setWriteFailureHook(nullptr);
    CFRelease(d);
    CFRelease(list);
}

TEST_F(DevicesList, AnotherProcessSeesASynchronisedAdd) {
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    CFMutableDictionaryRef d = device(0xABCD);
    ASSERT_TRUE(addSorvikDeviceToDeviceList(list, d));
    EXPECT_TRUE(inOtherProcess([] {
        CFMutableArrayRef seen = nullptr;
        getSorvikDevicesFromPrefs(&seen);
        CFMutableDictionaryRef again = device(0xABCD);
        // Already there: adding it again is refused.
        const bool ok = CFArrayGetCount(seen) == 1 && !addSorvikDeviceToDeviceList(seen, again);
        CFRelease(again);
        CFRelease(seen);
        return ok;
    }));
    CFRelease(d);
    CFRelease(list);
}

} // namespace
