// Encoders and bounded decoders of the kernel host protocol's frames.
#include "platform/iokit/KernelHostWire.h"

#include "platform/cf/CFArray.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFString.h"

#include <cstring>

namespace hx::iokit {

std::string utf8Text(CFStringRef s) {
    if (!s) return {};
    const CFIndex n =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    std::string out(size_t(n), '\0');
    if (!CFStringGetCString(s, out.data(), n, kCFStringEncodingUTF8)) return {};
    out.resize(std::strlen(out.c_str()));
    return out;
}

} // namespace hx::iokit

namespace hx::iokit::wire {

namespace {

enum TreeTag : uint8_t {
    kString = 1,
    kNumber = 2,
    kData = 3,
    kBoolean = 4,
    kArray = 5,
    kDictionary = 6
};

bool knownKind(uint16_t k) {
    switch (k) {
    case kHello:
    case kGetMatchingServices:
    case kReleaseObject:
    case kRetainObject:
    case kCopyProperties:
    case kCopyProperty:
    case kSubscribeServices:
    case kSubscribeInterest:
    case kUnsubscribe:
    case kOpen:
    case kPidForTask:
    case kObjectQuery:
    case kIterators:
    case kPropertyWrite:
    case kSubscribeFirst:
    case kSystemPower:
    case kSystemSleepWake:
    case kRegistryPath:
    case kUSBDeviceRequest:
    case kStateChange:
    case kCall:
    case kMap:
    case kUnmap:
    case kClose:
    case kSetNotificationPort:
    case kTrap:
    case kRecord:
    case kPlug:
    case kUnplug:
    case kStatistics:
    case kFault:
        return true;
    default:
        return false;
    }
}

} // namespace

bool userMaySend(Role role, uint16_t kind) {
    switch (role) {
    case Role::Unbound:
        return kind == kHello;
    case Role::Session:
        return (kind >= kGetMatchingServices && kind <= kSubscribeFirst && knownKind(kind)) ||
               kind == kUSBDeviceRequest;
    case Role::Connection:
        return kind >= kCall && kind <= kTrap && knownKind(kind);
    case Role::Port:
        return false;
    case Role::Control:
        return (kind >= kPlug && kind <= kFault) || kind == kStateChange ||
               kind == kSystemSleepWake;
    }
    return false;
}

FrameError decodeFrame(const uint8_t* data, size_t size, Frame& out) {
    if (size < kHeaderSize) return FrameError::Short;
    Reader r(data, size);
    uint16_t version = 0, kind = 0;
    uint32_t sequence = 0, length = 0, reserved = 0;
    r.u16(version), r.u16(kind), r.u32(sequence), r.u32(length), r.u32(reserved);
    if (version != kVersion) return FrameError::Version;
    if (size - kHeaderSize > kMaxPayload || length > kMaxPayload) return FrameError::TooLarge;
    if (length != size - kHeaderSize || reserved != 0) return FrameError::Length;
    if (!knownKind(kind)) return FrameError::Kind;
    out.kind = kind;
    out.sequence = sequence;
    out.payload.assign(data + kHeaderSize, data + size);
    return FrameError::None;
}

std::vector<uint8_t> encodeFrame(uint16_t kind, uint32_t sequence,
                                 const std::vector<uint8_t>& payload) {
    Writer w;
    w.u16(kVersion);
    w.u16(kind);
    w.u32(sequence);
    w.u32(uint32_t(payload.size()));
    w.u32(0);
    w.bytes(payload.data(), payload.size());
    return std::move(w.data());
}

void Writer::u16(uint16_t v) {
    for (int i = 0; i < 2; ++i)
        mBytes.push_back(uint8_t(v >> (8 * i)));
}
void Writer::u32(uint32_t v) {
    for (int i = 0; i < 4; ++i)
        mBytes.push_back(uint8_t(v >> (8 * i)));
}
void Writer::u64(uint64_t v) {
    for (int i = 0; i < 8; ++i)
        mBytes.push_back(uint8_t(v >> (8 * i)));
}
void Writer::bytes(const void* data, size_t size) {
    if (size)
        mBytes.insert(mBytes.end(), static_cast<const uint8_t*>(data),
                      static_cast<const uint8_t*>(data) + size);
}
void Writer::string(const std::string& s) {
    u32(uint32_t(s.size()));
    bytes(s.data(), s.size());
}

bool Writer::tree(CFTypeRef value) {
    size_t nodes = 0;
    const size_t mark = mBytes.size();
    if (treeNode(value, 1, nodes)) return true;
    mBytes.resize(mark);
    return false;
}

bool Writer::treeNode(CFTypeRef v, int depth, size_t& nodes) {
    if (!v || depth > kMaxTreeDepth || ++nodes > kMaxTreeNodes) return false;
    const CFTypeID t = CFGetTypeID(v);
    if (t == CFStringGetTypeID()) {
        const std::string s = utf8Text(CFStringRef(v));
        if (s.size() > kMaxTreeString) return false;
        u8(kString);
        string(s);
        return true;
    }
    if (t == CFNumberGetTypeID()) {
        int64_t n = 0;
        CFNumberGetValue(CFNumberRef(v), kCFNumberSInt64Type, &n);
        u8(kNumber);
        u64(uint64_t(n));
        return true;
    }
    if (t == CFBooleanGetTypeID()) {
        u8(kBoolean);
        u8(CFBooleanGetValue(CFBooleanRef(v)) ? 1 : 0);
        return true;
    }
    if (t == CFDataGetTypeID()) {
        const CFIndex n = CFDataGetLength(CFDataRef(v));
        if (size_t(n) > kMaxPayload) return false;
        u8(kData);
        u32(uint32_t(n));
        bytes(CFDataGetBytePtr(CFDataRef(v)), size_t(n));
        return true;
    }
    if (t == CFArrayGetTypeID()) {
        const CFIndex n = CFArrayGetCount(CFArrayRef(v));
        u8(kArray);
        u32(uint32_t(n));
        for (CFIndex i = 0; i < n; ++i)
            if (!treeNode(CFArrayGetValueAtIndex(CFArrayRef(v), i), depth + 1, nodes)) return false;
        return true;
    }
    if (t == CFDictionaryGetTypeID()) {
        const CFIndex n = CFDictionaryGetCount(CFDictionaryRef(v));
        std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
        CFDictionaryGetKeysAndValues(CFDictionaryRef(v), keys.data(), values.data());
        u8(kDictionary);
        u32(uint32_t(n));
        for (CFIndex i = 0; i < n; ++i) {
            if (CFGetTypeID(keys[size_t(i)]) != CFStringGetTypeID()) return false;
            const std::string k = utf8Text(CFStringRef(keys[size_t(i)]));
            if (k.size() > kMaxTreeString) return false;
            string(k);
            if (!treeNode(values[size_t(i)], depth + 1, nodes)) return false;
        }
        return true;
    }
    return false;
}

bool Reader::bytes(void* out, size_t size) {
    if (size > mSize - mPos) return false;
    if (size) std::memcpy(out, mData + mPos, size);
    mPos += size;
    return true;
}
bool Reader::u8(uint8_t& v) {
    return bytes(&v, 1);
}
bool Reader::u16(uint16_t& v) {
    uint8_t b[2];
    if (!bytes(b, 2)) return false;
    v = uint16_t(b[0] | b[1] << 8);
    return true;
}
bool Reader::u32(uint32_t& v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}
bool Reader::u64(uint64_t& v) {
    uint32_t lo = 0, hi = 0;
    if (!u32(lo) || !u32(hi)) return false;
    v = uint64_t(hi) << 32 | lo;
    return true;
}
bool Reader::string(std::string& s, size_t limit) {
    uint32_t n = 0;
    if (!u32(n) || n > limit || n > remaining()) return false;
    // The kernel's strings are C strings: one holding a NUL is refused, not
    // cut short.
    if (std::memchr(mData + mPos, 0, n)) return false;
    s.assign(reinterpret_cast<const char*>(mData + mPos), n);
    mPos += n;
    return true;
}

bool Reader::tree(CFTypeRef* value) {
    size_t nodes = 0;
    *value = nullptr;
    return treeNode(value, 1, nodes);
}

bool Reader::treeNode(CFTypeRef* value, int depth, size_t& nodes) {
    uint8_t tag = 0;
    if (depth > kMaxTreeDepth || ++nodes > kMaxTreeNodes || !u8(tag)) return false;
    switch (tag) {
    case kString: {
        std::string s;
        if (!string(s, kMaxTreeString)) return false;
        // A string that is not UTF-8 is refused rather than read differently.
        *value = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                         CFIndex(s.size()), kCFStringEncodingUTF8, false);
        return *value != nullptr;
    }
    case kNumber: {
        uint64_t n = 0;
        if (!u64(n)) return false;
        const int64_t v = int64_t(n);
        *value = CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
        return true;
    }
    case kBoolean: {
        uint8_t b = 0;
        if (!u8(b) || b > 1) return false;
        *value = CFRetain(b ? kCFBooleanTrue : kCFBooleanFalse);
        return true;
    }
    case kData: {
        uint32_t n = 0;
        if (!u32(n) || n > remaining()) return false;
        *value = CFDataCreate(nullptr, mData + mPos, CFIndex(n));
        mPos += n;
        return true;
    }
    case kArray: {
        uint32_t n = 0;
        if (!u32(n) || n > remaining()) return false; // every element takes a byte at least
        CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (uint32_t i = 0; i < n; ++i) {
            CFTypeRef e = nullptr;
            if (!treeNode(&e, depth + 1, nodes)) {
                if (e) CFRelease(e);
                CFRelease(a);
                return false;
            }
            CFArrayAppendValue(a, e);
            CFRelease(e);
        }
        *value = a;
        return true;
    }
    case kDictionary: {
        uint32_t n = 0;
        if (!u32(n) || n > remaining()) return false;
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (uint32_t i = 0; i < n; ++i) {
            std::string k;
            CFTypeRef e = nullptr;
            CFStringRef key = nullptr;
            if (string(k, kMaxTreeString))
                key = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(k.data()),
                                              CFIndex(k.size()), kCFStringEncodingUTF8, false);
            if (!key || !treeNode(&e, depth + 1, nodes)) {
                if (key) CFRelease(key);
                if (e) CFRelease(e);
                CFRelease(d);
                return false;
            }
            CFDictionarySetValue(d, key, e);
            CFRelease(key);
            CFRelease(e);
        }
        *value = d;
        return true;
    }
    default:
        return false;
    }
}

std::vector<uint8_t> encodeCall(const CallRequest& c) {
    Writer w;
    w.u32(c.selector);
    w.u32(uint32_t(c.scalars.size()));
    for (uint64_t s : c.scalars)
        w.u64(s);
    w.u32(uint32_t(c.structInput.size()));
    w.bytes(c.structInput.data(), c.structInput.size());
    w.u32(c.scalarOutputCapacity);
    w.u32(c.structOutputCapacity);
    w.u32(c.wakePort);
    w.u32(uint32_t(c.references.size()));
    for (uint64_t r : c.references)
        w.u64(r);
    return std::move(w.data());
}

bool decodeCall(const std::vector<uint8_t>& payload, CallRequest& out) {
    return checkCall(payload, out) == CallCheck::Ok;
}

CallCheck checkCall(const std::vector<uint8_t>& payload, CallRequest& out) {
    Reader r(payload);
    uint32_t n = 0;
    if (!r.u32(out.selector) || !r.u32(n)) return CallCheck::Malformed;
    if (n > kMaxScalars) return CallCheck::OverLimit;
    out.scalars.resize(n);
    for (auto& s : out.scalars)
        if (!r.u64(s)) return CallCheck::Malformed;
    if (!r.u32(n)) return CallCheck::Malformed;
    if (n > kMaxStruct) return CallCheck::OverLimit;
    out.structInput.resize(n);
    if (!r.bytes(out.structInput.data(), n)) return CallCheck::Malformed;
    if (!r.u32(out.scalarOutputCapacity) || !r.u32(out.structOutputCapacity))
        return CallCheck::Malformed;
    if (out.scalarOutputCapacity > kMaxScalars || out.structOutputCapacity > kMaxStruct)
        return CallCheck::OverLimit;
    if (!r.u32(out.wakePort) || !r.u32(n)) return CallCheck::Malformed;
    if (n > kMaxReferences) return CallCheck::OverLimit;
    out.references.resize(n);
    for (auto& x : out.references)
        if (!r.u64(x)) return CallCheck::Malformed;
    return r.atEnd() ? CallCheck::Ok : CallCheck::Malformed;
}

std::vector<uint8_t> encodeCallReply(const CallReply& c) {
    Writer w;
    w.u32(uint32_t(c.result));
    w.u32(uint32_t(c.scalars.size()));
    for (uint64_t s : c.scalars)
        w.u64(s);
    w.u32(uint32_t(c.structOutput.size()));
    w.bytes(c.structOutput.data(), c.structOutput.size());
    return std::move(w.data());
}

bool decodeCallReply(const std::vector<uint8_t>& payload, const CallRequest& request,
                     CallReply& out) {
    Reader r(payload);
    uint32_t result = 0, n = 0;
    if (!r.u32(result) || !r.u32(n) || n > request.scalarOutputCapacity) return false;
    out.result = int32_t(result);
    out.scalars.resize(n);
    for (auto& s : out.scalars)
        if (!r.u64(s)) return false;
    if (!r.u32(n) || n > request.structOutputCapacity) return false;
    out.structOutput.resize(n);
    return r.bytes(out.structOutput.data(), n) && r.atEnd();
}

std::vector<uint8_t> encodeRecord(const NotificationRecord& rec) {
    Writer w;
    w.u8(rec.kind);
    w.u32(rec.tag);
    w.u32(rec.service);
    w.u32(rec.messageType);
    w.u32(uint32_t(rec.argument.size()));
    w.bytes(rec.argument.data(), rec.argument.size());
    return std::move(w.data());
}

bool decodeRecord(const std::vector<uint8_t>& payload, NotificationRecord& out) {
    Reader r(payload);
    uint8_t kind = 0;
    uint32_t n = 0;
    if (!r.u8(kind) || kind < NotificationRecord::Publish || kind > NotificationRecord::FirstMatch)
        return false;
    out.kind = NotificationRecord::Kind(kind);
    if (!r.u32(out.tag) || !r.u32(out.service) || !r.u32(out.messageType) || !r.u32(n) ||
        n > kMaxStruct)
        return false;
    // Publish, terminate and the first kinds name a service; interest never does.
    if ((out.kind == NotificationRecord::Interest) != (out.service == 0)) return false;
    out.argument.resize(n);
    return r.bytes(out.argument.data(), n) && r.atEnd();
}

} // namespace hx::iokit::wire
