// The Sorvik device list over a preference file another process of the user
// may have written. Input: byte 0 is the length (0..12) of the device's
// "SorvikUID" (13 and above: the device has none), then that many UID
// bytes; the rest is the domain's preference file. Get, add and remove run
// over it. Promises: no sanitizer finding; a list read back is an array;
// a successful add re-reads with the device exactly once; a remove after a
// successful add succeeds.
#include "api/QnAPIUSBDefines.h"

#include "platform/base/HXPath.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFPreferences.h"
#include "platform/cf/HXCF.h"
#include "platform/sys/Files.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "devices list fuzz: %s failed at line %d\n", #cond, __LINE__);    \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

constexpr const char* kIdentifier = "com.korvex.hx5100.fuzz";

const std::string& preferenceFile() {
    static const std::string path = [] {
        char dir[] = "/tmp/hx-devices-list-fuzz-XXXXXX";
        const char* root = mkdtemp(dir);
        hx::path::setRoot(root ? root : "/tmp");
        hx::cf::setMainBundleIdentifier(kIdentifier);
        const std::string p = hx::path::map(hx::sys::userPreferencesFolder() + "/" +
                                            std::string(kIdentifier) + ".plist");
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        return p;
    }();
    return path;
}

// How many entries of the stored list carry the UID.
int storedWith(CFDataRef uid) {
    hx::cf::resetPreferences();
    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    HX_FUZZ_REQUIRE(list && CFGetTypeID(list) == CFArrayGetTypeID());
    int n = 0;
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        CFTypeRef e = CFArrayGetValueAtIndex(list, i);
        if (CFGetTypeID(e) != CFDictionaryGetTypeID()) continue;
        CFTypeRef v = CFDictionaryGetValue(CFDictionaryRef(e), CFSTR("SorvikUID"));
        n += v && CFGetTypeID(v) == CFDataGetTypeID() && CFEqual(v, uid);
    }
    CFRelease(list);
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& file = preferenceFile();
    const size_t uidLength = size ? data[0] : 13;
    const bool hasUID = uidLength <= 12;
    const size_t take = hasUID ? std::min(uidLength, size ? size - 1 : 0) : 0;
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        const size_t head = size ? 1 + take : 0;
        out.write(reinterpret_cast<const char*>(data + head), std::streamsize(size - head));
    }
    std::filesystem::remove(file + ".bad");
    hx::cf::resetPreferences();

    CFMutableDictionaryRef device = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDataRef uid = CFDataCreate(nullptr, size ? data + 1 : nullptr, CFIndex(take));
    if (hasUID) CFDictionarySetValue(device, CFSTR("SorvikUID"), uid);

    CFMutableArrayRef list = nullptr;
    getSorvikDevicesFromPrefs(&list);
    HX_FUZZ_REQUIRE(list && CFGetTypeID(list) == CFArrayGetTypeID());
    const bool added = addSorvikDeviceToDeviceList(list, device);
    HX_FUZZ_REQUIRE(!added || hasUID);
    if (added) {
        // Entries that carried the same UID before may be all-zero UIDs (which
        // never block an add); a non-zero UID is there once.
        uint64_t value = 0;
        if (CFDataGetLength(uid) > 0)
            std::memcpy(&value, CFDataGetBytePtr(uid),
                        size_t(std::min<CFIndex>(CFDataGetLength(uid), 8)));
        if (value != 0 && CFDataGetLength(uid) == 8) HX_FUZZ_REQUIRE(storedWith(uid) == 1);
        HX_FUZZ_REQUIRE(removeSorvikDeviceFromDeviceList(list, device));
    }
    CFRelease(list);
    CFRelease(uid);
    CFRelease(device);
    hx::cf::resetPreferences();
    return 0;
}
