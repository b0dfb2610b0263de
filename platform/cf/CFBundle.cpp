#include "platform/cf/CFBundle.h"
#include "platform/cf/CFInternal.h"
#include "platform/cf/CFPropertyList.h"
#include "platform/cf/HXCF.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"

#include <dirent.h>
#include <mutex>
#include <sys/stat.h>

using namespace hx::cf;

struct HXCFBundle final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeBundle;
    HXCFBundle() : Object(kTypeID) {}
    ~HXCFBundle() override { CFRelease(mInfo); }
    void describe(std::string& out, int) const override { out += "<CFBundle " + mPath + ">"; }

    std::string mPath;     // the bundle folder, a path of the other system
    std::string mHostPath; // where it is on this machine
    CFDictionaryRef mInfo = nullptr;
};

namespace {

constexpr const char* kSearchFolders[] = {
    "/Library/Audio/Plug-Ins/HAL", "/Library/Audio/Plug-Ins/Components",
    "/Library/Extensions",         "/System/Library/Extensions",
    "/Library/Frameworks",         "/Applications",
};

std::mutex gLock;
// Every bundle made lives as long as the process; the list holds one
// reference to each. Made on first use, never freed: callers may come from
// static initialisers and from threads still running at exit.
std::vector<HXCFBundle*>& bundles() {
    static auto* v = new std::vector<HXCFBundle*>;
    return *v;
}
HXCFBundle* gMain = nullptr;
std::string gMainIdentifier;
// Info dictionaries the main bundle had before: callers may still hold
// values of them.
std::vector<CFDictionaryRef>& oldMainInfo() {
    static auto* v = new std::vector<CFDictionaryRef>;
    return *v;
}

CFDictionaryRef emptyDictionary() {
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

bool isFolder(const std::string& hostPath) {
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the bundle's Info file; an unreadable one gives an empty
// dictionary and one log line naming it.
CFDictionaryRef readInfo(const std::string& otherPath) {
    std::string host = hx::path::map(otherPath + "/Contents/Info.plist");
    bool present = false;
    std::string why;
    CFDictionaryRef info = readDictionaryFile(host, kCFPropertyListImmutable, &present, &why);
    if (!present) {
        host = hx::path::map(otherPath + "/Info.plist");
        info = readDictionaryFile(host, kCFPropertyListImmutable, &present, &why);
    }
    if (!info && present)
        hx::log::format("CFBundle: %s is unreadable (%s); its Info dictionary is empty\n",
                        host.c_str(), why.c_str());
    return info ? info : emptyDictionary();
}

CFStringRef identifierOf(const HXCFBundle* b) {
    CFTypeRef id = CFDictionaryGetValue(b->mInfo, kCFBundleIdentifierKey);
    return CFGetTypeID(id) == CFStringGetTypeID() ? static_cast<CFStringRef>(id) : nullptr;
}

// The bundle made for the folder, made now when it is new. Caller holds gLock.
HXCFBundle* bundleAt(const std::string& otherPath) {
    CFURLRef url = makeFileURL(otherPath, true); // the path cleaned as a URL's is
    const std::string p = urlPath(url);
    CFRelease(url);
    const std::string host = hx::path::map(p);
    for (HXCFBundle* b : bundles())
        if (b->mHostPath == host) return b;
    if (!isFolder(host)) return nullptr;
    auto* b = new HXCFBundle;
    b->mPath = p;
    b->mHostPath = host;
    b->mInfo = readInfo(p);
    bundles().push_back(b);
    return b;
}

// Only bundles under the root in use count (a test may change roots).
HXCFBundle* findByIdentifier(CFStringRef id) {
    const std::string under = hx::path::root() + "/";
    for (HXCFBundle* b : bundles())
        if (b->mHostPath.compare(0, under.size(), under) == 0 && CFEqual(identifierOf(b), id))
            return b;
    return nullptr;
}

} // namespace

namespace hx::cf {

std::string mainBundleIdentifier() {
    std::lock_guard<std::mutex> g(gLock);
    return gMainIdentifier;
}

void setMainBundleIdentifier(const std::string& identifier) {
    std::lock_guard<std::mutex> g(gLock);
    gMainIdentifier = identifier;
    if (!gMain) {
        gMain = new HXCFBundle;
        gMain->makeImmortal();
        gMain->mPath.assign(1, '/'); // (a plain "/" trips a false -Wrestrict in g++ 12)
    }
    if (gMain->mInfo) oldMainInfo().push_back(gMain->mInfo);
    CFMutableDictionaryRef info = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (CFStringRef id = identifier.empty() ? nullptr : stringFromUtf8(identifier)) {
        CFDictionarySetValue(info, kCFBundleIdentifierKey, id);
        CFRelease(id);
    }
    gMain->mInfo = info;
}

CFBundleRef registerBundle(const std::string& otherPath) {
    std::lock_guard<std::mutex> g(gLock);
    HXCFBundle* b = bundleAt(otherPath);
    return b && identifierOf(b) ? b : nullptr;
}

} // namespace hx::cf

extern "C" {

CFTypeID CFBundleGetTypeID(void) {
    return kTypeBundle;
}

CFBundleRef CFBundleGetMainBundle(void) {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (gMain) return gMain;
    }
    hx::cf::setMainBundleIdentifier(mainBundleIdentifier());
    return gMain;
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID) {
    if (!chars(bundleID)) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    if (HXCFBundle* b = findByIdentifier(bundleID)) return b;
    // Not known yet: look through the installed bundles under the root.
    for (const char* folderName : kSearchFolders) {
        const std::string folder = folderName;
        DIR* dir = ::opendir(hx::path::map(folder).c_str());
        if (!dir) continue;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(dir);
        for (const std::string& name : names)
            bundleAt(folder + "/" + name);
    }
    return findByIdentifier(bundleID);
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
    std::string p = urlPath(bundleURL);
    if (p.empty()) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    HXCFBundle* b = bundleAt(p);
    return b ? static_cast<CFBundleRef>(const_cast<void*>(CFRetain(b))) : nullptr;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    auto* b = as<HXCFBundle>(bundle);
    if (!b) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    return identifierOf(b);
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
    auto* b = as<HXCFBundle>(bundle);
    if (!b) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    return b->mInfo;
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
    return CFDictionaryGetValue(CFBundleGetInfoDictionary(bundle), key);
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    auto* b = as<HXCFBundle>(bundle);
    return b ? makeFileURL(b->mPath, true) : nullptr;
}
}
