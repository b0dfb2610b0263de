#include "platform/cf/CFPlugIn.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CFArray.h"
#include "platform/cf/CFBundle.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFInternal.h"
#include "platform/cf/CFPropertyList.h"

#include <algorithm>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <mutex>

namespace {

std::mutex gLock;

// Instance counts by the factory UUID's text.
std::map<std::string, long>& instances() {
    static auto* m = new std::map<std::string, long>;
    return *m;
}

std::string uuidText(CFUUIDRef uuid) {
    CFStringRef s = CFUUIDCreateString(nullptr, uuid);
    std::string t = hx::cf::utf8(s);
    if (s) CFRelease(s);
    return t;
}

// The UUID of a text, upper-cased through a parse (empty when not a UUID).
std::string canonical(CFStringRef text) {
    CFUUIDRef u = CFUUIDCreateFromString(nullptr, text);
    if (!u) return {};
    std::string t = uuidText(u);
    CFRelease(u);
    return t;
}

CFDictionaryRef readInfo(const std::string& bundlePath) {
    bool present = false;
    std::string why;
    CFDictionaryRef info =
        hx::cf::readDictionaryFile(hx::path::map(bundlePath + "/Contents/Info.plist"),
                                   kCFPropertyListImmutable, &present, &why);
    return info;
}

// The value under a key given as text (keys are compared as strings).
CFTypeRef valueAt(CFDictionaryRef d, const std::string& key) {
    CFStringRef k = hx::cf::stringFromUtf8(key);
    CFTypeRef v = k ? CFDictionaryGetValue(d, k) : nullptr;
    if (k) CFRelease(k);
    return v;
}

CFDictionaryRef dictionaryAt(CFDictionaryRef d, const char* key) {
    CFTypeRef v = valueAt(d, key);
    return CFGetTypeID(v) == CFDictionaryGetTypeID() ? static_cast<CFDictionaryRef>(v) : nullptr;
}

// Each entry of a dictionary whose key is a UUID text: (canonical key, value).
std::vector<std::pair<std::string, CFTypeRef>> uuidEntries(CFDictionaryRef d) {
    std::vector<std::pair<std::string, CFTypeRef>> out;
    const CFIndex n = d ? CFDictionaryGetCount(d) : 0;
    std::vector<const void*> keys(static_cast<std::size_t>(n));
    std::vector<const void*> values(static_cast<std::size_t>(n));
    if (n) CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
    for (CFIndex i = 0; i < n; ++i) {
        std::string k = canonical(static_cast<CFStringRef>(keys[std::size_t(i)]));
        if (!k.empty()) out.emplace_back(k, values[std::size_t(i)]);
    }
    return out;
}

} // namespace

extern "C" void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID) {
    std::string k = uuidText(factoryID);
    if (k.empty()) return;
    std::lock_guard<std::mutex> g(gLock);
    ++instances()[k];
}

extern "C" void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID) {
    std::string k = uuidText(factoryID);
    if (k.empty()) return;
    std::lock_guard<std::mutex> g(gLock);
    auto it = instances().find(k);
    if (it != instances().end() && it->second > 0) --it->second;
}

namespace hx::cf {

long plugInInstanceCount(CFUUIDRef factoryID) {
    std::string k = uuidText(factoryID);
    std::lock_guard<std::mutex> g(gLock);
    auto it = instances().find(k);
    return it == instances().end() ? 0 : it->second;
}

std::vector<PlugInFactory> factoriesForType(const std::string& bundlePath, CFUUIDRef typeID) {
    std::vector<PlugInFactory> out;
    CFDictionaryRef info = readInfo(bundlePath);
    if (!info) return out;
    const std::string type = uuidText(typeID);
    CFDictionaryRef types = dictionaryAt(info, "CFPlugInTypes");
    CFDictionaryRef factories = dictionaryAt(info, "CFPlugInFactories");
    for (auto& [key, value] : uuidEntries(types)) {
        if (key != type || CFGetTypeID(value) != CFArrayGetTypeID()) continue;
        auto list = static_cast<CFArrayRef>(value);
        for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
            std::string id = canonical(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, i)));
            for (auto& [fkey, fvalue] : uuidEntries(factories))
                if (fkey == id && CFGetTypeID(fvalue) == CFStringGetTypeID())
                    out.push_back({id, utf8(static_cast<CFStringRef>(fvalue))});
        }
    }
    CFRelease(info);
    return out;
}

std::vector<std::string> plugInsForType(const std::string& folder, CFUUIDRef typeID) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(hx::path::map(folder).c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (!factoriesForType(folder + "/" + n, typeID).empty()) out.push_back(folder + "/" + n);
    return out;
}

namespace {

LoadedFactory failed(LoadedFactory f, const std::string& why) {
    f.error = why;
    f.function = nullptr;
    hx::log::format("CFPlugIn: %s\n", why.c_str());
    return f;
}

} // namespace

LoadedFactory loadFactory(const std::string& bundlePath, CFUUIDRef typeID) {
    LoadedFactory f;
    std::vector<PlugInFactory> factories = factoriesForType(bundlePath, typeID);
    if (factories.empty())
        return failed(f, bundlePath + " lists no factory for " + uuidText(typeID));
    CFDictionaryRef info = readInfo(bundlePath);
    CFTypeRef exe = info ? valueAt(info, "CFBundleExecutable") : nullptr;
    std::string name = CFGetTypeID(exe) == CFStringGetTypeID() ? utf8(static_cast<CFStringRef>(exe))
                                                               : std::string();
    if (info) CFRelease(info);
    if (name.empty() || name.find('/') != std::string::npos)
        return failed(f, bundlePath + " names no executable");
    const std::string host = hx::path::map(bundlePath + "/Contents/MacOS/" + name);
    f.library = ::dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!f.library) {
        const char* why = ::dlerror();
        return failed(f, "cannot load " + host + ": " + (why ? why : "?"));
    }
    f.factoryID = factories.front().factoryID;
    f.function = reinterpret_cast<PlugInFactoryFunction>(
        ::dlsym(f.library, factories.front().function.c_str()));
    if (!f.function) return failed(f, host + " exports no " + factories.front().function);
    return f;
}

} // namespace hx::cf
