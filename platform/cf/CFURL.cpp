#include "platform/cf/CFInternal.h"
#include "platform/cf/HXCF.h"

#include "platform/base/HXPath.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using namespace hx::cf;

struct HXCFURL final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeURL;
    HXCFURL() : Object(kTypeID) {}
    ~HXCFURL() override { CFRelease(mString); }
    bool equals(const Object& other) const override {
        return mPath == static_cast<const HXCFURL&>(other).mPath;
    }
    CFHashCode hash() const override { return std::hash<std::string>()(mPath); }
    void describe(std::string& out, int) const override { out += "file://" + mPath; }

    std::string mPath; // of the other system; a folder's ends in '/'
    bool mIsDirectory = false;
    CFStringRef mString = nullptr;
};

namespace {

// "a//b/./c" → "/a/b/c": the path as a file system call would take it.
std::string cleanPath(const std::string& p) {
    std::string in = p.empty() || p[0] != '/' ? "/" + p : p;
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t j = in.find('/', i);
        if (j == std::string::npos) j = in.size();
        std::string part = in.substr(i, j - i);
        if (!part.empty() && part != ".") out += "/" + part;
        i = j + 1;
    }
    return out.empty() ? "/" : out;
}

SInt32 urlError(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return kCFURLResourceNotFoundError;
    case EACCES:
    case EPERM:
    case EROFS:
        return kCFURLResourceAccessViolationError;
    default:
        return kCFURLUnknownError;
    }
}

const HXCFURL* url(CFURLRef u) {
    return as<HXCFURL>(u);
}

} // namespace

namespace hx::cf {

CFURLRef makeFileURL(const std::string& otherPath, bool isDirectory) {
    auto* u = new HXCFURL;
    u->mPath = cleanPath(otherPath);
    u->mIsDirectory = isDirectory;
    if (isDirectory && u->mPath != "/") u->mPath += '/';
    u->mString = stringFromUtf8("file://" + u->mPath);
    if (!u->mString)
        u->mString = CFStringCreateWithCString(nullptr, "file:///", kCFStringEncodingASCII);
    return u;
}

CFMutableDictionaryRef posixModeAttributes(SInt32 mode) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 1, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &mode);
    if (!d || !n) {
        if (d) CFRelease(d);
        if (n) CFRelease(n);
        return nullptr;
    }
    CFDictionarySetValue(d, kCFURLFilePOSIXMode, n);
    CFRelease(n);
    return d;
}

std::string urlPath(CFURLRef u) {
    const HXCFURL* x = url(u);
    if (!x) return {};
    std::string p = x->mPath;
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

} // namespace hx::cf

extern "C" {

CFTypeID CFURLGetTypeID(void) {
    return kTypeURL;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory) {
    if (pathStyle != kCFURLPOSIXPathStyle || CFStringGetLength(filePath) == 0) return nullptr;
    return makeFileURL(utf8(filePath), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory) {
    if (!buffer || bufLen <= 0) return nullptr;
    std::string p(reinterpret_cast<const char*>(buffer), std::size_t(bufLen));
    p.resize(std::strlen(p.c_str()));
    if (p.empty()) return nullptr;
    return makeFileURL(p, isDirectory);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef u,
                                               CFStringRef pathComponent, Boolean isDirectory) {
    const HXCFURL* x = url(u);
    if (!x || !chars(pathComponent)) return nullptr;
    return makeFileURL(x->mPath + "/" + utf8(pathComponent), isDirectory);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef u) {
    std::string p = urlPath(u);
    if (p.empty()) return nullptr;
    std::size_t slash = p.find_last_of('/');
    return makeFileURL(slash == 0 || slash == std::string::npos ? "/" : p.substr(0, slash), true);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    if (!url(anURL) || pathStyle != kCFURLPOSIXPathStyle) return nullptr;
    return stringFromUtf8(urlPath(anURL));
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef u) {
    if (!url(u)) return nullptr;
    std::string p = urlPath(u);
    return stringFromUtf8(p == "/" ? p : p.substr(p.find_last_of('/') + 1));
}

CFStringRef CFURLGetString(CFURLRef anURL) {
    const HXCFURL* x = url(anURL);
    return x ? x->mString : nullptr;
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) {
    const HXCFURL* x = url(anURL);
    return x && x->mIsDirectory;
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef u, Boolean, UInt8* buffer, CFIndex maxBufLen) {
    if (!url(u) || !buffer || maxBufLen <= 0) return false;
    const std::string host = hx::path::map(urlPath(u));
    if (host.size() + 1 > std::size_t(maxBufLen)) return false;
    std::memcpy(buffer, host.c_str(), host.size() + 1);
    return true;
}

Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef u, CFDataRef dataToWrite,
                                              CFDictionaryRef propertiesToWrite,
                                              SInt32* errorCode) {
    const HXCFURL* x = url(u);
    auto fail = [&](SInt32 code) {
        if (errorCode) *errorCode = code;
        return Boolean(false);
    };
    if (!x) return fail(kCFURLImproperArgumentsError);
    int mode = -1;
    if (CFTypeRef m = CFDictionaryGetValue(propertiesToWrite, kCFURLFilePOSIXMode)) {
        SInt32 v;
        if (!CFNumberGetValue(static_cast<CFNumberRef>(m), kCFNumberSInt32Type, &v))
            return fail(kCFURLImproperArgumentsError);
        mode = int(v & 07777 & ~(S_ISUID | S_ISGID)); // never set-id bits
    }
    const std::string host = hx::path::map(urlPath(u));
    // Nothing is written through a symbolic link or into something of
    // another type standing at the path: a shared folder may hold anything.
    auto standsAs = [](const std::string& path, bool folder) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
        return folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
    };
    std::string bare = host; // a trailing slash would make lstat follow a link
    while (bare.size() > 1 && bare.back() == '/')
        bare.pop_back();
    const size_t slash = bare.find_last_of('/');
    const std::string parent =
        slash == std::string::npos ? std::string() : bare.substr(0, std::max<size_t>(slash, 1));
    if (!standsAs(bare, x->mIsDirectory) || (!parent.empty() && !standsAs(parent, true)))
        return fail(kCFURLResourceAccessViolationError);
    if (x->mIsDirectory) {
        if (int e = makeFolders(host, mode >= 0 ? mode : 0777)) return fail(urlError(e));
        if (mode >= 0 && ::chmod(host.c_str(), mode_t(mode)) != 0) return fail(urlError(errno));
    } else {
        auto* d = as<HXCFData>(dataToWrite);
        const void* bytes =
            d && !d->mBytes.empty() ? static_cast<const void*>(d->mBytes.data()) : "";
        if (int e = writeFileAtomically(host, bytes, d ? d->mBytes.size() : 0, mode))
            return fail(urlError(e));
    }
    if (errorCode) *errorCode = 0;
    return true;
}

Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef, CFURLRef u,
                                                 CFDataRef* resourceData,
                                                 CFDictionaryRef* properties, CFArrayRef,
                                                 SInt32* errorCode) {
    if (properties) *properties = nullptr;
    const HXCFURL* x = url(u);
    if (!x || x->mIsDirectory) {
        if (errorCode) *errorCode = kCFURLImproperArgumentsError;
        return false;
    }
    std::string bytes;
    switch (readFile(hx::path::map(urlPath(u)), bytes, 64u << 20)) {
    case ReadResult::Ok:
        break;
    case ReadResult::Missing:
        if (errorCode) *errorCode = kCFURLResourceNotFoundError;
        return false;
    default:
        if (errorCode) *errorCode = kCFURLUnknownError;
        return false;
    }
    if (resourceData)
        *resourceData = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                     CFIndex(bytes.size()));
    if (errorCode) *errorCode = 0;
    return true;
}
}
