// The Sorvik device list from the registry and from the application's
// preferences.
#include "api/QnAPIUSBDefines.h"

#include "abi/ProductIdentities.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFPreferences.h"

#include <cstring>
#include <optional>
#include <syslog.h>

namespace {

#define kDevicesListKey CFSTR("DevicesList")
#define kSorvikUIDKey CFSTR("SorvikUID")

CFMutableArrayRef newArray() {
    return CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
}

// The "idVendor" of a device's properties as a signed 16-bit number; 0 when
// absent or not a number.
uint16_t vendorOf(CFDictionaryRef properties) {
    CFTypeRef v = CFDictionaryGetValue(properties, CFSTR("idVendor"));
    int16_t n = 0;
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID() ||
        !CFNumberGetValue(CFNumberRef(v), kCFNumberSInt16Type, &n))
        return 0;
    return uint16_t(n);
}

// The UID of a device dictionary: its "SorvikUID" data, the first 8 bytes
// (a shorter one zero-filled); none for anything else.
std::optional<uint64_t> uidOf(CFTypeRef entry) {
    if (!entry || CFGetTypeID(entry) != CFDictionaryGetTypeID()) return std::nullopt;
    CFTypeRef v = CFDictionaryGetValue(CFDictionaryRef(entry), kSorvikUIDKey);
    if (!v || CFGetTypeID(v) != CFDataGetTypeID()) return std::nullopt;
    uint64_t uid = 0;
    const CFIndex n = CFDataGetLength(CFDataRef(v));
    if (n > 0) std::memcpy(&uid, CFDataGetBytePtr(CFDataRef(v)), size_t(n < 8 ? n : 8));
    return uid;
}

// Stores the list and synchronises the application's preferences.
bool storeList(CFMutableArrayRef list) {
    CFPreferencesSetAppValue(kDevicesListKey, list, kCFPreferencesCurrentApplication);
    return CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
}

} // namespace

kern_return_t getSorvikDevicesFromRegistry(CFMutableArrayRef* out) {
    CFMutableDictionaryRef matching = IOServiceMatching(kSorvikServiceClassName);
    if (!matching) return KERN_SUCCESS;
    if (!out) {
        CFRelease(matching);
        return kIOReturnBadArgument;
    }
    io_iterator_t iterator = 0;
    const kern_return_t kr = IOServiceGetMatchingServices(0, matching, &iterator);
    if (kr != KERN_SUCCESS) return kr;
    *out = newArray();
    while (io_service_t service = IOIteratorNext(iterator)) {
        CFMutableDictionaryRef properties = nullptr;
        if (IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) ==
                KERN_SUCCESS &&
            properties) {
            if (vendorOf(properties) == kSorvikVendorID) CFArrayAppendValue(*out, properties);
            CFRelease(properties);
        }
        IOObjectRelease(service);
    }
    return IOObjectRelease(iterator);
}

void getSorvikDevicesFromPrefs(CFMutableArrayRef* out) {
    if (!out) return;
    CFPropertyListRef stored =
        CFPreferencesCopyAppValue(kDevicesListKey, kCFPreferencesCurrentApplication);
    if (stored && CFGetTypeID(stored) == CFArrayGetTypeID()) {
        *out = CFArrayCreateMutableCopy(kCFAllocatorDefault, 0, CFArrayRef(stored));
    } else {
        if (stored) syslog(LOG_WARNING, "DevicesList is not an array, starting a new list\n");
        *out = newArray();
    }
    if (stored) CFRelease(stored);
}

bool addSorvikDeviceToDeviceList(CFMutableArrayRef list, CFDictionaryRef device) {
    if (!list || !device) return false;
    const std::optional<uint64_t> uid = uidOf(device);
    if (!uid) return false;
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        const std::optional<uint64_t> other = uidOf(CFArrayGetValueAtIndex(list, i));
        if (other && *other != 0 && *other == *uid) return false;
    }
    CFArrayAppendValue(list, device);
    return storeList(list);
}

bool removeSorvikDeviceFromDeviceList(CFMutableArrayRef list, CFDictionaryRef device) {
    if (!list || !device) return false;
    const std::optional<uint64_t> uid = uidOf(device);
    if (!uid || CFArrayGetCount(list) == 0) return false;
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        const std::optional<uint64_t> other = uidOf(CFArrayGetValueAtIndex(list, i));
        if (!other || *other != *uid) continue;
        CFArrayRemoveValueAtIndex(list, i);
        return storeList(list);
    }
    return false;
}
