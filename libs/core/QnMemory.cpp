#include "libs/core/QnMemory.h"

#include <cstdlib>
#include <cstring>

void* memoryAlloc(qn_uint64 size) {
    return std::malloc(size);
}

void memoryFree(void* p) {
    if (p) std::free(p);
}

qn_status memoryCopy(void* dst, const void* src, qn_uint64 len) {
    if (!dst || !src || len == 0) return QN_ERR_BAD_ARGUMENT;
    std::memcpy(dst, src, len);
    return QN_SUCCESS;
}

qn_status memoryMove(void* dst, const void* src, qn_uint64 len) {
    if (!dst || !src || len == 0) return QN_ERR_BAD_ARGUMENT;
    std::memmove(dst, src, len);
    return QN_SUCCESS;
}

qn_status memorySet(void* buf, int fill, qn_uint64 len) {
    if (!buf || len == 0) return QN_ERR_BAD_ARGUMENT;
    std::memset(buf, fill, len);
    return QN_SUCCESS;
}

qn_status memoryClear(void* buf, qn_uint64 len) {
    if (!buf || len == 0) return QN_ERR_BAD_ARGUMENT;
    std::memset(buf, 0, len);
    return QN_SUCCESS;
}

qn_uint64 memoryCompare(const void* a, const void* b, qn_uint64 len) {
    const unsigned char* pa = static_cast<const unsigned char*>(a);
    const unsigned char* pb = static_cast<const unsigned char*>(b);
    for (qn_uint64 i = 0; i < len; ++i)
        if (pa[i] != pb[i]) return i + 1;
    return 0;
}

void memorySwap(void* a, void* b, qn_uint64 len) {
    if (a == b || len == 0) return;
    unsigned char* pa = static_cast<unsigned char*>(a);
    unsigned char* pb = static_cast<unsigned char*>(b);
    for (qn_uint64 i = 0; i < len; ++i) {
        unsigned char t = pa[i];
        pa[i] = pb[i];
        pb[i] = t;
    }
}

namespace Core {

const void* memChr(const void* data, int ch, qn_uint64 len) {
    if (!data || qn_int64(len) <= 0 || ch < 0 || ch > 255) return nullptr;
    return std::memchr(data, ch, len);
}

const void* memSearch(const void* pattern, qn_uint64 patternLen, const void* data,
                      qn_uint64 dataLen) {
    if (!pattern || patternLen == 0 || !data) return nullptr;
    if (patternLen > dataLen) return nullptr; // the last start would lie below data
    const unsigned char* pat = static_cast<const unsigned char*>(pattern);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    const unsigned char* last = p + (dataLen - patternLen);
    for (;;) {
        const void* hit = std::memchr(p, pat[0], qn_uint64(last - p) + 1);
        if (!hit) return nullptr;
        p = static_cast<const unsigned char*>(hit);
        if (std::memcmp(p + 1, pat + 1, patternLen - 1) == 0) return p;
        if (p == last) return nullptr;
        ++p;
    }
}

const void* memSearchRev(const void* pattern, qn_uint64 patternLen, const void* data,
                         qn_uint64 dataLen) {
    // Empty patterns and null pointers find nothing.
    if (!pattern || patternLen == 0 || !data) return nullptr;
    if (patternLen > dataLen) return nullptr;
    const unsigned char* pat = static_cast<const unsigned char*>(pattern);
    const unsigned char* base = static_cast<const unsigned char*>(data);
    for (qn_uint64 start = dataLen - patternLen + 1; start-- > 0;) {
        const unsigned char* p = base + start;
        if (*p == pat[0] && std::memcmp(p + 1, pat + 1, patternLen - 1) == 0) return p;
    }
    return nullptr;
}

Memory::Memory() : mpData(nullptr), mnSize(0), mpfnRelease(nullptr) {}

Memory::Memory(qn_uint64 size) : mpData(std::malloc(size)), mnSize(size), mpfnRelease(memoryFree) {
    if (!mpData) {
        mnSize = 0;
        mpfnRelease = nullptr;
    }
}

Memory::Memory(void* p, qn_uint64 size, ReleaseFn fn) : mpData(p), mnSize(size), mpfnRelease(fn) {
    if (!p) {
        mnSize = 0;
        mpfnRelease = nullptr;
    }
}

Memory::Memory(const Memory& other)
    : mpData(other.mpData), mnSize(other.mpData ? other.mnSize : 0), mpfnRelease(nullptr) {}

Memory::Memory(Memory&& other) noexcept
    : mpData(other.mpData), mnSize(other.mnSize), mpfnRelease(other.mpfnRelease) {
    other.mpfnRelease = nullptr;
}

Memory::~Memory() {
    if (mpfnRelease && mpData) mpfnRelease(mpData);
}

void Memory::release() {
    if (mpfnRelease && mpData) mpfnRelease(mpData);
    mpfnRelease = nullptr;
}

Memory& Memory::operator=(const Memory& other) {
    if (&other == this) return *this;
    if (other.mpData == mpData) {
        // A view of our own buffer: releasing it would leave us pointing at
        // freed memory. Keep the ownership, take the view's size.
        mnSize = other.mnSize;
        return *this;
    }
    release();
    mpData = other.mpData;
    mnSize = other.mnSize;
    return *this;
}

Memory& Memory::operator=(Memory&& other) noexcept {
    moveFrom(other);
    return *this;
}

void Memory::moveFrom(Memory& other) {
    if (&other == this) return;
    if (other.mpData == mpData) {
        // Same buffer: release nothing. Exactly one of the two may own it
        // afterwards, and it is this one.
        mnSize = other.mnSize;
        if (!mpfnRelease) mpfnRelease = other.mpfnRelease;
        other.mpfnRelease = nullptr;
        return;
    }
    release();
    mpData = other.mpData;
    mnSize = other.mnSize;
    mpfnRelease = other.mpfnRelease;
    other.mpfnRelease = nullptr;
}

void Memory::term() {
    release();
    mpData = nullptr;
    mnSize = 0;
}

void* Memory::init(qn_uint64 size) {
    release();
    mnSize = 0;
    mpData = std::malloc(size);
    if (mpData) {
        mnSize = size;
        mpfnRelease = memoryFree;
    }
    return mpData;
}

void* Memory::init(void* p, qn_uint64 size, ReleaseFn fn) {
    if (p && p == mpData) {
        // Re-adopting our own buffer must not free it first.
        mnSize = size;
        mpfnRelease = fn;
        return p;
    }
    release();
    mnSize = 0;
    mpData = p;
    if (p) {
        mnSize = size;
        mpfnRelease = fn;
    }
    return p;
}

} // namespace Core
