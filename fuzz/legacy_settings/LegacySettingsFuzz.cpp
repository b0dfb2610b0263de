// Any bytes as the legacy XML settings file, migrated into a fresh domain
// under a temporary root: no crash, "Version" ends as "1.0" and every value
// of the domain is a string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/OSXAsioRegistry.h"
#include "platform/base/HXPath.h"
#include "platform/cf/HXCF.h"

namespace {

const CFStringRef kDomain = CFSTR("com.korvex.hx5100.hal");

const std::string& root() {
    static const std::string dir = [] {
        char t[] = "/tmp/hx-fuzz-legacy-XXXXXX";
        const char* made = ::mkdtemp(t);
        if (!made) std::abort();
        hx::path::setRoot(made);
        return std::string(made);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    root();
    const std::filesystem::path prefs = hx::path::map(hx::path::userPreferencesFolder());
    std::filesystem::remove_all(prefs);
    std::filesystem::create_directories(prefs);
    hx::cf::resetPreferences();
    std::ofstream(prefs / "Fuzzed.xml", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
    { OSXAsioRegistry migrate("Fuzzed"); }

    hx::cf::resetPreferences(); // read back what the file holds
    CFArrayRef keys =
        CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    if (!keys) __builtin_trap();
    bool sawVersion = false;
    for (CFIndex i = 0; i < CFArrayGetCount(keys); ++i) {
        CFStringRef key = static_cast<CFStringRef>(CFArrayGetValueAtIndex(keys, i));
        CFPropertyListRef value =
            CFPreferencesCopyValue(key, kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
        if (!value || CFGetTypeID(value) != CFStringGetTypeID()) __builtin_trap();
        if (CFStringCompare(key, CFSTR("Version"), 0) == kCFCompareEqualTo) {
            if (CFStringCompare(static_cast<CFStringRef>(value), CFSTR("1.0"), 0) !=
                kCFCompareEqualTo)
                __builtin_trap();
            sawVersion = true;
        }
        CFRelease(value);
    }
    CFRelease(keys);
    if (!sawVersion) __builtin_trap();
    return 0;
}
