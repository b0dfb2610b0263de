#include "libs/core/QnStringUtils.h"

#include "libs/core/QnMemory.h"
#include "libs/core/QnTextEncoding.h"

namespace Core {

namespace {

inline bool isUtf32Char(unsigned u) {
    return u != 0 && u <= 0x10FFFF && (u < 0xD800 || u > 0xDFFF);
}

template <typename T> unsigned long long lengthOf(const T* s) {
    const T* p = s;
    while (*p)
        ++p;
    return static_cast<unsigned long long>(p - s);
}

template <typename T> T* cloneOf(const T* s) {
    const unsigned long long n = lengthOf(s) + 1;
    T* copy = static_cast<T*>(memoryAlloc(n * sizeof(T)));
    if (copy) {
        for (unsigned long long i = 0; i < n; ++i)
            copy[i] = s[i];
    }
    return copy;
}

template <typename T> unsigned long long copyOf(T* dst, const T* src, unsigned long long size) {
    if (size == 0) return 0;
    unsigned long long n = 0;
    // Stops at size - 1 without measuring the rest of src.
    while (n < size - 1 && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

template <typename T> void appendAt(T* end, const T* src) {
    while ((*end++ = *src++) != 0) {
    }
}

inline int upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? c - 32 : c;
}

inline int signed8(int c) {
    return static_cast<signed char>(static_cast<char>(c));
}

template <bool kIgnoreCase> int compareBounded(const char* a, const char* b, unsigned long long n) {
    for (unsigned long long i = 0; i < n; ++i) {
        int ca = a[i];
        int cb = b[i];
        if (kIgnoreCase) {
            ca = upperAscii(static_cast<char>(ca));
            cb = upperAscii(static_cast<char>(cb));
        }
        if (ca != cb || ca == 0) return signed8(ca) - signed8(cb);
    }
    return 0;
}

} // namespace

int ctoi(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return -1;
}

char toUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
char toLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
bool isLower(char c) {
    return c >= 'a' && c <= 'z';
}
bool isUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

unsigned long long stringLen(const char* s) {
    return lengthOf(s);
}
unsigned long long stringLen(const unsigned char* s) {
    return lengthOf(s);
}
unsigned long long stringLen(const unsigned short* s) {
    return lengthOf(s);
}
unsigned long long stringLen(const unsigned* s) {
    return lengthOf(s);
}

unsigned long long stringCount(const char* s, unsigned long long max, unsigned long long* count) {
    unsigned long long n = 0;
    if (s) {
        while (n < max && s[n])
            ++n;
    }
    if (count) *count = n;
    return n;
}

unsigned long long stringCount(const unsigned char* s, unsigned long long max,
                               unsigned long long* count) {
    unsigned long long chars = 0;
    const unsigned char* cursor = s;
    if (s) {
        unsigned long long left = max;
        while (left > 0 && *cursor) {
            bool ok = false;
            fetchUtf8(cursor, left, ok);
            if (!ok) break;
            ++chars;
        }
    }
    if (count) *count = chars;
    return s ? static_cast<unsigned long long>(cursor - s) : 0;
}

unsigned long long stringCount(const unsigned short* s, unsigned long long max,
                               unsigned long long* count) {
    unsigned long long chars = 0;
    const unsigned short* cursor = s;
    if (s) {
        unsigned long long left = max;
        while (left > 0 && *cursor) {
            if (fetchUtf16(cursor, left) == 0) break; // unpaired surrogate: cursor stays before it
            ++chars;
        }
    }
    if (count) *count = chars;
    return s ? static_cast<unsigned long long>(cursor - s) : 0;
}

unsigned long long stringCount(const unsigned* s, unsigned long long max,
                               unsigned long long* count) {
    unsigned long long n = 0;
    if (s) {
        while (n < max && isUtf32Char(s[n]))
            ++n;
    }
    if (count) *count = n;
    return n;
}

unsigned long long countItemsToCharPos(const unsigned char* s, unsigned long long max,
                                       unsigned long long chars) {
    if (!s || max == 0 || chars == 0) return 0;
    const unsigned char* cursor = s;
    unsigned long long left = max;
    while (chars > 0 && left > 0 && *cursor) {
        bool ok = false;
        fetchUtf8(cursor, left, ok);
        if (!ok) break; // the illegal sequence's first byte is already counted
        --chars;
    }
    return static_cast<unsigned long long>(cursor - s);
}

unsigned long long countItemsToCharPos(const unsigned short* s, unsigned long long max,
                                       unsigned long long chars) {
    if (!s || chars == 0) return 0;
    const unsigned short* cursor = s;
    unsigned long long left = max;
    while (chars > 0 && left > 0 && *cursor) {
        if (fetchUtf16(cursor, left) == 0) break;
        --chars;
    }
    return static_cast<unsigned long long>(cursor - s);
}

char* stringClone(const char* s) {
    return cloneOf(s);
}
unsigned short* stringClone(const unsigned short* s) {
    return cloneOf(s);
}
unsigned* stringClone(const unsigned* s) {
    return cloneOf(s);
}

unsigned long long stringCopy(char* dst, const char* src, unsigned long long size) {
    return copyOf(dst, src, size);
}
unsigned long long stringCopy(unsigned char* dst, const unsigned char* src,
                              unsigned long long size) {
    return copyOf(dst, src, size);
}
unsigned long long stringCopy(unsigned short* dst, const unsigned short* src,
                              unsigned long long size) {
    return copyOf(dst, src, size);
}
unsigned long long stringCopy(unsigned* dst, const unsigned* src, unsigned long long size) {
    return copyOf(dst, src, size);
}

void stringConcat(char* dst, const char* src) {
    if (!dst || !src) return;
    appendAt(dst + lengthOf(dst), src);
}

void stringConcat(unsigned char* dst, const unsigned char* src) {
    if (!dst || !src) return;
    appendAt(dst + stringCount(dst, kNoLimit), src);
}

void stringConcat(unsigned short* dst, const unsigned short* src) {
    if (!dst || !src) return;
    appendAt(dst + stringCount(dst, kNoLimit), src);
}

void stringConcat(unsigned* dst, const unsigned* src) {
    if (!dst || !src) return;
    appendAt(dst + stringCount(dst, kNoLimit), src);
}

int stringCompare(const char* a, const char* b) {
    return compareBounded<false>(a, b, kNoLimit);
}
int stringICompare(const char* a, const char* b) {
    return compareBounded<true>(a, b, kNoLimit);
}
int stringNCompare(const char* a, const char* b, unsigned long long n) {
    return compareBounded<false>(a, b, n);
}
int stringNICompare(const char* a, const char* b, unsigned long long n) {
    return compareBounded<true>(a, b, n);
}

} // namespace Core

int toString(long long value, char* buf, int radix, bool upper, int width, int flags) {
    if (value == 0) {
        if (width != 0) {
            if (buf) {
                buf[0] = '0';
                buf[1] = 0;
            }
            return 1;
        }
        if (buf) buf[0] = 0;
        return 0;
    }
    if (radix < 2 || radix > 16) radix = 10;

    char sign = 0;
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
        magnitude = 0 - magnitude; // the most negative value keeps its magnitude
        sign = '-';
    } else if (flags & 2) {
        sign = '+';
    }
    if (flags & 4) sign = 0;

    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 0;
    do {
        buf[n++] = digits[magnitude % static_cast<unsigned>(radix)];
        magnitude /= static_cast<unsigned>(radix);
    } while (magnitude != 0);

    // The sign stands right before the digits and counts within the width;
    // the padding goes in front of both.
    if (sign) buf[n++] = sign;
    while (n < width)
        buf[n++] = ' ';
    buf[n] = 0;

    for (int i = 0, j = n - 1; i < j; ++i, --j) {
        const char t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
    return n;
}
