// The plug-in's persistent storage: one XML property list per plug-in under
// the root, read whole for every call and written whole through a temporary
// file and a rename, so a crash leaves the old or the new file, never half
// of one. Values go in and out as copies made through the XML writer and
// reader: what the plug-in later changes in its objects never reaches the
// store, and what it stores is exactly what a file can hold.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <syslog.h>
#include <unistd.h>

#include "platform/base/HXPath.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHostImpl.h"

namespace hx::coreaudio {

namespace {

constexpr std::size_t kMaxStorageFile = 16u << 20;

CFPropertyListRef copyThroughXML(CFPropertyListRef value) {
    CFDataRef xml =
        CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!xml) return nullptr;
    CFPropertyListRef copy =
        CFPropertyListCreateWithData(nullptr, xml, kCFPropertyListImmutable, nullptr, nullptr);
    CFRelease(xml);
    return copy;
}

bool writeWhole(const std::string& path, const UInt8* bytes, std::size_t n) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(reinterpret_cast<const char*>(bytes), std::streamsize(n));
        out.flush();
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

std::string ServerHost::Impl::storagePath() const {
    return hx::path::map("/Library/Preferences/Audio/Data/" + options.storageName + ".plist");
}

CFMutableDictionaryRef ServerHost::Impl::loadStorage() {
    const std::string path = storagePath();
    std::ifstream in(path, std::ios::binary);
    CFMutableDictionaryRef all = nullptr;
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        const std::string bytes = text.str();
        CFPropertyListRef read = nullptr;
        if (bytes.size() <= kMaxStorageFile) {
            CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                          CFIndex(bytes.size()));
            read = CFPropertyListCreateWithData(
                nullptr, data, kCFPropertyListMutableContainersAndLeaves, nullptr, nullptr);
            CFRelease(data);
        }
        if (read && CFGetTypeID(read) == CFDictionaryGetTypeID()) {
            all = static_cast<CFMutableDictionaryRef>(const_cast<void*>(read));
        } else {
            if (read) CFRelease(read);
            // Kept for a person to look at; the store starts afresh.
            const std::string aside = path + ".bad";
            std::rename(path.c_str(), aside.c_str());
            syslog(LOG_ERR, "ServerHost: storage file %s is unreadable, set aside as %s\n",
                   path.c_str(), aside.c_str());
        }
    }
    if (!all)
        all = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks);
    return all;
}

bool ServerHost::Impl::saveStorage(CFDictionaryRef all) {
    CFDataRef xml =
        CFPropertyListCreateData(nullptr, all, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!xml) return false;
    const std::string path = storagePath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    const bool written = writeWhole(path, CFDataGetBytePtr(xml), std::size_t(CFDataGetLength(xml)));
    CFRelease(xml);
    return written;
}

OSStatus ServerHost::Impl::copyFromStorage(CFStringRef key, CFPropertyListRef* out) {
    if (!key || !out || CFGetTypeID(key) != CFStringGetTypeID())
        return kAudioHardwareIllegalOperationError;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(storageMutex);
    CFMutableDictionaryRef all = loadStorage();
    CFPropertyListRef stored = CFDictionaryGetValue(all, key);
    OSStatus status = 0;
    if (stored)
        *out = copyThroughXML(stored);
    else
        status = options.missingKeyStatus;
    CFRelease(all);
    return status;
}

OSStatus ServerHost::Impl::writeToStorage(CFStringRef key, CFPropertyListRef value) {
    if (!key || !value || CFGetTypeID(key) != CFStringGetTypeID())
        return kAudioHardwareIllegalOperationError;
    CFPropertyListRef copy = copyThroughXML(value);
    if (!copy) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> lock(storageMutex);
    CFMutableDictionaryRef all = loadStorage();
    CFDictionarySetValue(all, key, copy);
    CFRelease(copy);
    const bool saved = saveStorage(all);
    CFRelease(all);
    return saved ? 0 : kAudioHardwareUnspecifiedError;
}

} // namespace hx::coreaudio
