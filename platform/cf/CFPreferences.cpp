#include "platform/cf/CFPreferences.h"
#include "platform/cf/CFInternal.h"
#include "platform/cf/CFPropertyList.h"
#include "platform/cf/HXCF.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/sys/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace hx::cf;

namespace {

struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::string& path) {
    FileStamp s;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtimeNs = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    }
    return s;
}

// A file changed within the last moments may have been replaced again
// within the file system's time stamp granularity, by a file of the same
// size on a reused inode: it is read again rather than trusted.
bool recentlyWritten(const FileStamp& s) {
    struct timespec wall;
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const long long nowNs = (long long)wall.tv_sec * 1000000000LL + wall.tv_nsec;
    return s.size >= 0 && nowNs - s.mtimeNs < 2000000000LL;
}

struct Domain {
    std::string path;                   // the file on this machine
    CFDictionaryRef contents = nullptr; // as last read or written
    FileStamp stamp;
    bool read = false;
    bool bad = false;    // the file as last read is unreadable
    FileStamp loggedBad; // the unreadable file already logged
    bool loggedAny = false;
    // This process's sets (value) and removals (null), in order.
    std::vector<std::pair<CFStringRef, CFPropertyListRef>> pending;
};

std::mutex gLock;
// Made on first use, never freed: callers may come from static
// initialisers and from threads still running at exit.
std::map<std::string, Domain>& domains() {
    static auto* v = new std::map<std::string, Domain>;
    return *v;
}

void clearPending(Domain& d) {
    for (auto& [k, v] : d.pending) {
        CFRelease(k);
        CFRelease(v);
    }
    d.pending.clear();
}

// Reads the file into contents when it changed since the last read.
// Answers whether the file on disk is unreadable.
bool refresh(Domain& d, bool force) {
    FileStamp now = stampOf(d.path);
    if (d.read && !force && now == d.stamp && !recentlyWritten(now)) return d.bad;
    bool present = false;
    std::string why;
    CFDictionaryRef dict = readDictionaryFile(d.path, kCFPropertyListImmutable, &present, &why);
    const bool bad = present && !dict;
    if (bad && !(d.loggedAny && d.loggedBad == now)) {
        hx::log::format("CFPreferences: %s is unreadable (%s); read as empty\n", d.path.c_str(),
                        why.c_str());
        d.loggedBad = now;
        d.loggedAny = true;
    }
    CFRelease(d.contents);
    d.contents =
        dict ? dict
             : CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                  &kCFTypeDictionaryValueCallBacks);
    d.stamp = now;
    d.read = true;
    d.bad = bad;
    return bad;
}

bool validDomainName(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos &&
           n.size() < 200;
}

// The domain for an application id and the user and host asked for; null
// for what this stand-in does not keep.
Domain* domainFor(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName) {
    if (!CFEqual(userName, kCFPreferencesCurrentUser) || !CFEqual(hostName, kCFPreferencesAnyHost))
        return nullptr;
    std::string name;
    if (CFEqual(applicationID, kCFPreferencesCurrentApplication))
        name = mainBundleIdentifier();
    else if (CFEqual(applicationID, kCFPreferencesAnyApplication))
        name = ".GlobalPreferences";
    else
        name = utf8(applicationID);
    if (!validDomainName(name)) return nullptr;
    Domain& d = domains()[name];
    // The file follows the path root: a new root (each test case has its
    // own) is another machine, whose domain starts from its own file.
    std::string path = hx::path::map(hx::sys::userPreferencesFolder() + "/" + name + ".plist");
    if (path != d.path) {
        clearPending(d);
        if (d.contents) CFRelease(d.contents);
        d.contents = nullptr;
        d.read = d.bad = d.loggedAny = false;
        d.stamp = FileStamp{};
        d.loggedBad = FileStamp{};
        d.path = std::move(path);
    }
    return &d;
}

CFPropertyListRef lookup(Domain& d, CFStringRef key) {
    for (auto it = d.pending.rbegin(); it != d.pending.rend(); ++it)
        if (CFEqual(it->first, key)) return it->second ? CFRetain(it->second) : nullptr;
    refresh(d, false);
    CFTypeRef v = CFDictionaryGetValue(d.contents, key);
    return v ? CFRetain(v) : nullptr;
}

// Holds the domain's lock file (beside it) for its lifetime.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        mFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (mFd < 0) return;
        while (::flock(mFd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(mFd);
                mFd = -1;
                return;
            }
        }
    }
    ~FileLock() {
        if (mFd >= 0) ::close(mFd); // drops the lock
    }
    bool held() const { return mFd >= 0; }

private:
    int mFd = -1;
};

bool synchronize(Domain& d) {
    if (d.pending.empty()) {
        // Nothing of ours to write: only take in what others wrote (files
        // are replaced whole, so a read needs no lock).
        refresh(d, true);
        return true;
    }
    const std::string folder = d.path.substr(0, d.path.find_last_of('/'));
    if (makeFolders(folder, 0755) != 0) return false;
    FileLock lock(d.path);
    if (!lock.held()) return false;
    const bool bad = refresh(d, true);
    CFMutableDictionaryRef merged = CFDictionaryCreateMutableCopy(nullptr, 0, d.contents);
    for (auto& [k, v] : d.pending) {
        if (v)
            CFDictionarySetValue(merged, k, v);
        else
            CFDictionaryRemoveValue(merged, k);
    }
    std::string text;
    bool ok = writePropertyList(merged, text);
    if (ok && bad) {
        // The unreadable file is kept for whoever wants to look at it.
        if (::rename(d.path.c_str(), (d.path + ".bad").c_str()) != 0) ok = false;
    }
    if (ok) ok = writeFileAtomically(d.path, text.data(), text.size(), 0600) == 0;
    if (ok) {
        CFRelease(d.contents);
        d.contents = CFDictionaryCreateCopy(nullptr, merged);
        d.stamp = stampOf(d.path);
        d.bad = false;
        clearPending(d);
    }
    CFRelease(merged);
    return ok;
}

} // namespace

namespace hx::cf {

void resetPreferences() {
    std::lock_guard<std::mutex> g(gLock);
    for (auto& [name, d] : domains()) {
        clearPending(d);
        CFRelease(d.contents);
    }
    domains().clear();
}

CFDictionaryRef readDictionaryFile(const std::string& hostPath, CFOptionFlags mutability,
                                   bool* present, std::string* why) {
    std::string bytes;
    *present = true;
    switch (readFile(hostPath, bytes, kMaxPropertyListFile)) {
    case ReadResult::Missing:
        *present = false;
        return nullptr;
    case ReadResult::TooLarge:
        *why = "larger than " + std::to_string(kMaxPropertyListFile) + " bytes";
        return nullptr;
    case ReadResult::Failed:
        *why = "cannot be read";
        return nullptr;
    case ReadResult::Ok:
        break;
    }
    CFPropertyListRef p = readPropertyList(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size(), mutability, why);
    if (p && CFGetTypeID(p) != CFDictionaryGetTypeID()) {
        CFRelease(p);
        *why = "not a dictionary";
        return nullptr;
    }
    return static_cast<CFDictionaryRef>(p);
}

} // namespace hx::cf

extern "C" {

void CFPreferencesSetValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID,
                           CFStringRef userName, CFStringRef hostName) {
    if (!chars(key)) return;
    // Values are kept as immutable copies: a caller changing its own
    // dictionary afterwards does not change what is stored.
    CFPropertyListRef copy = nullptr;
    if (value && !(copy = deepCopy(value, kCFPropertyListImmutable))) return;
    std::lock_guard<std::mutex> g(gLock);
    Domain* d = domainFor(applicationID, userName, hostName);
    if (!d) {
        CFRelease(copy);
        return;
    }
    for (auto it = d->pending.begin(); it != d->pending.end(); ++it)
        if (CFEqual(it->first, key)) {
            CFRelease(it->first);
            CFRelease(it->second);
            d->pending.erase(it);
            break;
        }
    d->pending.emplace_back(CFStringCreateCopy(nullptr, key), copy);
}

CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID,
                                         CFStringRef userName, CFStringRef hostName) {
    if (!chars(key)) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    Domain* d = domainFor(applicationID, userName, hostName);
    return d ? lookup(*d, key) : nullptr;
}

Boolean CFPreferencesSynchronize(CFStringRef applicationID, CFStringRef userName,
                                 CFStringRef hostName) {
    std::lock_guard<std::mutex> g(gLock);
    Domain* d = domainFor(applicationID, userName, hostName);
    return d && synchronize(*d);
}

CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName) {
    std::lock_guard<std::mutex> g(gLock);
    Domain* d = domainFor(applicationID, userName, hostName);
    if (!d) return nullptr;
    refresh(*d, false);
    CFMutableDictionaryRef view = CFDictionaryCreateMutableCopy(nullptr, 0, d->contents);
    for (auto& [k, v] : d->pending) {
        if (v)
            CFDictionarySetValue(view, k, v);
        else
            CFDictionaryRemoveValue(view, k);
    }
    const CFIndex n = CFDictionaryGetCount(view);
    std::vector<const void*> keys(std::size_t(n) + 1);
    CFDictionaryGetKeysAndValues(view, keys.data(), nullptr);
    CFArrayRef result =
        n ? CFArrayCreate(nullptr, keys.data(), n, &kCFTypeArrayCallBacks) : nullptr;
    CFRelease(view);
    return result;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
    CFPreferencesSetValue(key, value, applicationID, kCFPreferencesCurrentUser,
                          kCFPreferencesAnyHost);
}

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
    return CFPreferencesCopyValue(key, applicationID, kCFPreferencesCurrentUser,
                                  kCFPreferencesAnyHost);
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
    return CFPreferencesSynchronize(applicationID, kCFPreferencesCurrentUser,
                                    kCFPreferencesAnyHost);
}

CFIndex CFPreferencesGetAppIntegerValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat) {
    CFPropertyListRef v = CFPreferencesCopyAppValue(key, applicationID);
    CFIndex result = 0;
    bool valid = false;
    if (CFGetTypeID(v) == CFNumberGetTypeID()) {
        long n;
        CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberLongType, &n);
        result = n, valid = true;
    } else if (const std::u16string* t = chars(v)) {
        std::string s = utf8(static_cast<CFStringRef>(v));
        char* end = nullptr;
        errno = 0;
        long n = s.empty() ? 0 : std::strtol(s.c_str(), &end, 10);
        if (!s.empty() && end && *end == 0 && errno == 0 && t->size()) result = n, valid = true;
    }
    CFRelease(v);
    if (keyExistsAndHasValidFormat) *keyExistsAndHasValidFormat = valid;
    return result;
}

Boolean CFPreferencesGetAppBooleanValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat) {
    CFPropertyListRef v = CFPreferencesCopyAppValue(key, applicationID);
    bool result = false, valid = false;
    if (CFGetTypeID(v) == CFBooleanGetTypeID()) {
        result = CFBooleanGetValue(static_cast<CFBooleanRef>(v)), valid = true;
    } else if (CFGetTypeID(v) == CFNumberGetTypeID()) {
        double n;
        CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &n);
        result = n != 0, valid = true;
    } else if (chars(v)) {
        auto is = [&](const char* t) {
            return CFStringCompare(static_cast<CFStringRef>(v), HXCFStringMakeConstantString(t),
                                   kCFCompareCaseInsensitive) == kCFCompareEqualTo;
        };
        if (is("true") || is("yes") || is("1"))
            result = valid = true;
        else if (is("false") || is("no") || is("0"))
            valid = true;
    }
    CFRelease(v);
    if (keyExistsAndHasValidFormat) *keyExistsAndHasValidFormat = valid;
    return result;
}
}
