#include "platform/cf/CFUUID.h"

#include "platform/cf/CFInternal.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

using hx::cf::as;

struct HXCFUUID final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeUUID;
    explicit HXCFUUID(const CFUUIDBytes& b) : Object(kTypeID), mBytes(b) {}
    bool equals(const Object& other) const override {
        return std::memcmp(&mBytes, &static_cast<const HXCFUUID&>(other).mBytes, 16) == 0;
    }
    CFHashCode hash() const override {
        CFHashCode h = 0;
        std::memcpy(&h, &mBytes, sizeof h);
        return h;
    }
    void describe(std::string& out, int) const override { out += "<CFUUID " + text() + ">"; }
    std::string text() const {
        const UInt8* b = &mBytes.byte0;
        char s[37];
        std::snprintf(s, sizeof s,
                      "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                      b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                      b[13], b[14], b[15]);
        return s;
    }
    CFUUIDBytes mBytes;
};

namespace {

std::mutex gLock;

// The constants, one per byte pattern.
std::map<std::array<UInt8, 16>, HXCFUUID*>& constants() {
    static auto* m = new std::map<std::array<UInt8, 16>, HXCFUUID*>;
    return *m;
}

CFUUIDBytes bytesOf(std::initializer_list<UInt8> list) {
    CFUUIDBytes b{};
    std::memcpy(&b, list.begin(), 16);
    return b;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses 8-4-4-4-12 hex digits; false for anything else.
bool parse(const std::string& s, CFUUIDBytes& out) {
    if (s.size() != 36) return false;
    UInt8* b = &out.byte0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') return false;
            ++i;
            continue;
        }
        int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        b[at++] = UInt8(hi << 4 | lo);
        i += 2;
    }
    return at == 16;
}

} // namespace

extern "C" {

CFTypeID CFUUIDGetTypeID(void) {
    return hx::cf::kTypeUUID;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return new HXCFUUID(bytes);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10,
                                UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15) {
    return new HXCFUUID(
        bytesOf({b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15}));
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr) {
    CFUUIDBytes b{};
    if (!hx::cf::chars(uuidStr) || !parse(hx::cf::utf8(uuidStr), b)) return nullptr;
    return new HXCFUUID(b);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                         UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                         UInt8 b15) {
    const std::array<UInt8, 16> key{b0, b1, b2,  b3,  b4,  b5,  b6,  b7,
                                    b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard<std::mutex> g(gLock);
    HXCFUUID*& u = constants()[key];
    if (!u) {
        CFUUIDBytes b{};
        std::memcpy(&b, key.data(), 16);
        u = new HXCFUUID(b);
        u->makeImmortal();
    }
    return u;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    const HXCFUUID* u = as<HXCFUUID>(uuid);
    return u ? u->mBytes : CFUUIDBytes{};
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
    const HXCFUUID* u = as<HXCFUUID>(uuid);
    return u ? hx::cf::stringFromUtf8(u->text()) : nullptr;
}

} // extern "C"
