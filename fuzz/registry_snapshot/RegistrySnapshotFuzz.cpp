// The registry snapshot's file write over fuzzed input: the input's first
// byte chooses what lies at the snapshot's folder and file paths (nothing, a
// folder or file, a symbolic link to something outside, something of the
// other type); the rest is read as a property list and stands as the kernel
// device service's properties. Then a writable snapshot writes them.
//
// Oracle: a written file is a regular file of mode 0644 whose contents read
// back to the properties the snapshot read; a refused write answers false
// with its log line; either way nothing outside the folder changed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "api/ZrIORegistryPrefs.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/kern/IOService.h"

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "registry snapshot fuzz: %s failed at line %d\n", #cond,          \
                         __LINE__);                                                                \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

// The kernel device service as the snapshot finds it by class.
class ZrKernelDeviceKorvexHX5100 : public IOService {
    OSDeclareDefaultStructors(ZrKernelDeviceKorvexHX5100)
};
OSDefineMetaClassAndStructors(ZrKernelDeviceKorvexHX5100, IOService)

    namespace {

    namespace fs = std::filesystem;

    // A property-list value as a registry value; null for what the registry
    // cannot hold (reals, dates).
    OSObject* toRegistry(CFTypeRef v, int depth) {
        if (!v || depth > 16) return nullptr;
        const CFTypeID t = CFGetTypeID(v);
        if (t == CFStringGetTypeID()) {
            const CFIndex n = CFStringGetMaximumSizeForEncoding(CFStringGetLength(CFStringRef(v)),
                                                                kCFStringEncodingUTF8) +
                              1;
            std::string buf(size_t(n), '\0');
            if (!CFStringGetCString(CFStringRef(v), buf.data(), n, kCFStringEncodingUTF8))
                return nullptr;
            return OSString::withCString(buf.c_str());
        }
        if (t == CFNumberGetTypeID()) {
            if (CFNumberIsFloatType(CFNumberRef(v))) return nullptr;
            long long n = 0;
            CFNumberGetValue(CFNumberRef(v), kCFNumberLongLongType, &n);
            return OSNumber::withNumber(uint64_t(n), 64);
        }
        if (t == CFBooleanGetTypeID()) {
            OSBoolean* b = CFBooleanGetValue(CFBooleanRef(v)) ? kOSBooleanTrue : kOSBooleanFalse;
            b->retain();
            return b;
        }
        if (t == CFDataGetTypeID())
            return OSData::withBytes(CFDataGetBytePtr(CFDataRef(v)),
                                     unsigned(CFDataGetLength(CFDataRef(v))));
        if (t == CFArrayGetTypeID()) {
            OSArray* a = OSArray::withCapacity(unsigned(CFArrayGetCount(CFArrayRef(v))) + 1);
            for (CFIndex i = 0; i < CFArrayGetCount(CFArrayRef(v)); ++i) {
                if (OSObject* o = toRegistry(CFArrayGetValueAtIndex(CFArrayRef(v), i), depth + 1)) {
                    a->setObject(o);
                    o->release();
                }
            }
            return a;
        }
        if (t == CFDictionaryGetTypeID()) {
            const CFIndex n = CFDictionaryGetCount(CFDictionaryRef(v));
            std::vector<const void*> keys(size_t(n) + 1), values(size_t(n) + 1);
            CFDictionaryGetKeysAndValues(CFDictionaryRef(v), keys.data(), values.data());
            OSDictionary* d = OSDictionary::withCapacity(unsigned(n) + 1);
            for (CFIndex i = 0; i < n; ++i) {
                if (CFGetTypeID(keys[size_t(i)]) != CFStringGetTypeID()) continue;
                char key[1024];
                if (!CFStringGetCString(CFStringRef(keys[size_t(i)]), key, sizeof key,
                                        kCFStringEncodingUTF8))
                    continue;
                if (OSObject* o = toRegistry(values[size_t(i)], depth + 1)) {
                    d->setObject(key, o);
                    o->release();
                }
            }
            return d;
        }
        return nullptr;
    }

    std::string readAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    mode_t modeOf(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    CFDataRef bytes = CFDataCreate(nullptr, data + 1, CFIndex(size - 1));
    CFPropertyListRef plist =
        CFPropertyListCreateWithData(nullptr, bytes, kCFPropertyListImmutable, nullptr, nullptr);
    CFRelease(bytes);
    if (!plist) return 0;
    OSObject* tree = toRegistry(plist, 0);
    CFRelease(plist);
    OSDictionary* properties = OSDynamicCast(OSDictionary, tree);
    if (!properties) {
        if (tree) tree->release();
        return 0;
    }

    hx::test::TempRoot root;
    const std::string folder = hx::path::map("/Users/Shared/Quarnel");
    const std::string file = folder + "/com.korvex.hx5100.plist";
    const std::string outside = root.path() + "/outside";
    const std::string victim = outside + "/victim";
    fs::create_directories(outside);
    fs::create_directories(hx::path::map("/Users/Shared"));
    std::ofstream(victim) << "untouched";
    ::chmod(victim.c_str(), 0600);
    ::chmod(outside.c_str(), 0700);
    switch (choice & 3) {
    case 1:
        fs::create_directory(folder);
        break;
    case 2:
        fs::create_directory_symlink(outside, folder);
        break;
    case 3:
        std::ofstream(folder) << "a file where the folder goes";
        break;
    default:
        break;
    }
    if (fs::is_directory(fs::symlink_status(folder))) {
        switch ((choice >> 2) & 3) {
        case 1:
            std::ofstream(file) << "earlier";
            break;
        case 2:
            fs::create_symlink(victim, file);
            break;
        case 3:
            fs::create_directory(file);
            break;
        default:
            break;
        }
    }

    auto* service = new ZrKernelDeviceKorvexHX5100;
    HX_FUZZ_REQUIRE(service->init(properties));
    properties->release();
    service->registerService(kIOServiceSynchronous);
    {
        hx::log::Capture log;
        ZrIORegistryPrefs prefs(true);
        CFDictionaryRef read = prefs.getProperties();
        const bool written = prefs.writeProperties();
        if (written) {
            HX_FUZZ_REQUIRE(S_ISREG(modeOf(file)));
            HX_FUZZ_REQUIRE((modeOf(file) & 07777) == 0644);
            const std::string text = readAll(file);
            CFDataRef back = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                          CFIndex(text.size()));
            CFPropertyListRef again = CFPropertyListCreateWithData(
                nullptr, back, kCFPropertyListImmutable, nullptr, nullptr);
            CFRelease(back);
            HX_FUZZ_REQUIRE(again && read && CFEqual(again, read));
            CFRelease(again);
        } else {
            const std::string lines = log.text();
            HX_FUZZ_REQUIRE(
                lines.find("ZrIORegistryPrefs: Could not create CFData") != std::string::npos ||
                lines.find("ZrIORegistryPrefs::writeProperties "
                           "CFURLWriteDataAndPropertiesToResource returned") != std::string::npos);
        }
    }
    HX_FUZZ_REQUIRE(readAll(victim) == "untouched");
    HX_FUZZ_REQUIRE((modeOf(victim) & 07777) == 0600);
    HX_FUZZ_REQUIRE((modeOf(outside) & 07777) == 0700);
    service->terminate();
    hx::kern::waitQuiet();
    service->release();
    return 0;
}
