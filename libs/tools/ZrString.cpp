#include "libs/tools/ZrString.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libs/core/QnFormat.h"
#include "libs/core/QnStringUtils.h"

namespace {

constexpr int kSpare = 33; // 32 spare bytes and the terminator

// Letter case maps ASCII only (the core library's mappings): the library's
// text is bytes, whatever locale the host process has chosen.
inline unsigned char upperByte(char c) {
    return static_cast<unsigned char>(Core::toUpper(c));
}

inline int byteLength(char const* s) {
    return static_cast<int>(std::strlen(s));
}

} // namespace

// ---- construction ----

void ZrString::allocate(int bytes) {
    text = new char[bytes]();
    capacity = bytes;
}

ZrString::ZrString() : text(nullptr), capacity(0), length(0) {
    allocate(kSpare);
}

ZrString::ZrString(char const* src) : text(nullptr), capacity(0), length(0) {
    if (!src) {
        allocate(kSpare);
        return;
    }
    length = byteLength(src);
    allocate(length + kSpare);
    std::memcpy(text, src, length);
}

ZrString::ZrString(char fill, int count) : text(nullptr), capacity(0), length(0) {
    if (count <= 0) {
        allocate(kSpare);
        return;
    }
    allocate(count + kSpare);
    std::memset(text, fill, capacity);
    text[count] = 0;
    length = fill ? count : 0;
}

ZrString::ZrString(ZrString const& other)
    : ZrObject(other), text(nullptr), capacity(0), length(other.length) {
    allocate(length + kSpare);
    Core::stringCopy(text, other.text, static_cast<unsigned long long>(length) + 1);
}

ZrString::~ZrString() {
    delete[] text;
}

// ---- assignment and growth ----

ZrString& ZrString::clear() {
    delete[] text;
    allocate(kSpare);
    length = 0;
    return *this;
}

void ZrString::assign(char const* src) {
    if (!src) src = "";
    if (src == text) return;
    // A source inside our own buffer (a tail of this string) must survive a
    // reallocation and must not overlap the copy.
    if (inBuffer(src)) {
        ZrString copy(src);
        assign(copy.text);
        return;
    }
    int n = byteLength(src);
    if (capacity < n + 1) {
        delete[] text;
        allocate(n + kSpare);
    }
    length = n;
    Core::stringCopy(text, src, static_cast<unsigned long long>(capacity));
}

void ZrString::assign(ZrString const& other) {
    assign(other.text);
}

ZrString& ZrString::operator+=(char c) {
    if (capacity <= length + 1) setSize(length * 2 > length + 1 ? length * 2 : length + 2);
    text[length] = c;
    ++length;
    text[length] = 0;
    return *this;
}

ZrString& ZrString::operator+=(char const* src) {
    if (!src) return *this;
    if (inBuffer(src)) {
        // Appending our own text: take a copy first, the buffer may move.
        ZrString copy(src);
        return *this += copy.text;
    }
    int n = byteLength(src);
    // Geometric growth, as for one character: appending piece by piece stays
    // linear in the final length.
    if (length + n >= capacity) setSize(length * 2 > length + n + 2 ? length * 2 : length + n + 2);
    std::memcpy(text + length, src, n);
    length += n;
    text[length] = 0;
    return *this;
}

ZrString& ZrString::setSize(int n) {
    if (n < 0) n = 0;
    if (n > capacity) {
        char* old = text;
        int oldCapacity = capacity;
        allocate(n + 1);
        // The old text up to its terminator (the new buffer is zeroed).
        const size_t keep = static_cast<size_t>(oldCapacity < capacity ? oldCapacity : capacity);
        length = keep > 0 ? static_cast<int>(strnlen(old, keep - 1)) : 0;
        if (length > 0) std::memcpy(text, old, static_cast<size_t>(length));
        delete[] old;
    }
    return *this;
}

ZrString& ZrString::setLength(int n) {
    if (n < 0) n = 0;
    if (n <= length) {
        text[n] = 0;
        length = n;
    } else {
        ZrString pad(' ', n - length);
        *this += pad.text;
    }
    return *this;
}

void ZrString::countLength() {
    length = byteLength(text);
}

// ---- copies and pieces ----

char* ZrString::copyString() const {
    char* out = new char[length + 1]();
    std::memcpy(out, text, length);
    return out;
}

char* ZrString::copyString(char* out, int max) const {
    if (!out) return nullptr;
    if (max == -1 || max >= length) {
        std::memcpy(out, text, length + 1);
    } else if (max < 0) {
        // No room was given: leave an empty text rather than write before out.
        out[0] = 0;
    } else {
        std::memcpy(out, text, max);
        out[max] = 0;
    }
    return out;
}

void ZrString::substring(ZrString& out, int start, int count) const {
    if (start < 0) start = 0;
    if (start > length || count < 1) {
        out.assign("");
        return;
    }
    out.assign(text + start);
    if (out.length > count) out.setLength(count);
}

void ZrString::left(ZrString& out, int n) const {
    substring(out, 0, n);
}

void ZrString::right(ZrString& out, int n) const {
    if (n < length)
        substring(out, length - n, n);
    else
        out.assign(text);
}

int ZrString::match(char const* pattern) const {
    if (!pattern) return -1;
    char const* p = std::strstr(text, pattern);
    return p ? static_cast<int>(p - text) : -1;
}

ZrString& ZrString::trimLeft() {
    int i = 0;
    while (i < length && cfIsSpace(text[i]))
        ++i;
    if (i > 0) assign(text + i); // assign copies a tail of its own text first
    return *this;
}

ZrString& ZrString::trimRight() {
    int n = length;
    while (n > 0 && cfIsSpace(text[n - 1]))
        --n;
    return setLength(n);
}

ZrString& ZrString::uppercase() {
    for (int i = 0; i < length; ++i)
        text[i] = Core::toUpper(text[i]);
    return *this;
}

ZrString& ZrString::lowercase() {
    for (int i = 0; i < length; ++i)
        text[i] = Core::toLower(text[i]);
    return *this;
}

ZrString& ZrString::printf(char const* fmt, ...) {
    char work[2048];
    work[0] = 0;
    va_list ap;
    va_start(ap, fmt);
    format(work, sizeof work, fmt, ap);
    va_end(ap);
    work[sizeof work - 1] = 0;
    setLength(0);
    return *this += work;
}

double ZrString::asNumeric() const {
    // Kept characters and the E6/E3 expansions stop where the work area ends,
    // leaving room for its terminator.
    char work[256] = {};
    int out = 0;
    auto put = [&](char c) {
        if (out < static_cast<int>(sizeof work) - 1) work[out++] = c;
    };
    for (int i = 0; i < length && i < 256; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 'E' || c == 'e') {
            put(static_cast<char>(c));
        } else if (c == 'M' || c == 'm') {
            if (out + 2 > static_cast<int>(sizeof work) - 1) break;
            put('E');
            put('6');
        } else if (c == 'T' || c == 't') {
            if (out + 2 > static_cast<int>(sizeof work) - 1) break;
            put('E');
            put('3');
        }
        if (out >= static_cast<int>(sizeof work) - 1) break;
    }
    return std::atof(work);
}

ZrString& ZrString::toString(int v) {
    setSize(32);
    format(text, 32, "%d", v);
    countLength();
    return *this;
}

ZrString& ZrString::toString(short v) {
    return toString(static_cast<int>(v));
}

ZrString& ZrString::replace(char const* pattern, char const* replacement) {
    if (!pattern || !*pattern || length == 0) return *this;
    if (!replacement) replacement = "";
    char const* hit = std::strstr(text, pattern);
    if (!hit) return *this;
    int patternLength = byteLength(pattern);
    int replacementLength = byteLength(replacement);
    // Hits do not overlap and inserted text is never searched again, so the
    // result follows from the original text alone: count the hits, then
    // build it once.
    int hits = 0;
    for (char const* p = hit; p; p = std::strstr(p + patternLength, pattern))
        ++hits;
    int n = length + hits * (replacementLength - patternLength);
    char* old = text;
    allocate(n + kSpare);
    char* out = text;
    char const* from = old;
    for (char const* p = hit; p; p = std::strstr(from, pattern)) {
        std::memcpy(out, from, static_cast<size_t>(p - from));
        out += p - from;
        std::memcpy(out, replacement, static_cast<size_t>(replacementLength));
        out += replacementLength;
        from = p + patternLength;
    }
    std::memcpy(out, from, static_cast<size_t>(old + length - from));
    delete[] old;
    length = n;
    return *this;
}

int ZrString::strcmp(char const* other) const {
    return std::strcmp(text, other);
}

int ZrString::stricmp(char const* other) const {
    return cfStricmp(text, other);
}

int ZrString::compare(ZrObject const& other) const {
    // Something that is not a string has no text to order by. (C++20 may
    // also route "object == string" here with the operands reversed.)
    ZrString const* s = dynamic_cast<ZrString const*>(&other);
    if (!text || !s || !s->text) return 0;
    int c = std::strcmp(text, s->text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---- length-prefixed and hex forms ----

void ZrString::toStr255(unsigned char (&out)[256]) const {
    std::memset(out, 0, 255);
    // 253 bytes of text fit between the length byte and the zero at 254; the
    // length byte says how many were really stored.
    int n = length < 253 ? length : 253;
    n = static_cast<int>(strnlen(text, static_cast<size_t>(n)));
    out[0] = static_cast<unsigned char>(n);
    std::memcpy(out + 1, text, n);
    out[254] = 0;
}

void ZrString::asString(unsigned char const (&in)[256]) {
    setLength(256);
    int n = in[0];
    std::strncpy(text, reinterpret_cast<char const*>(in + 1), n);
    text[n] = 0;
    length = n;
}

void ZrString::toHexString(ZrString& out) const {
    if (&out == this) {
        ZrString source(*this);
        source.toHexString(out);
        return;
    }
    static char const digits[] = "0123456789ABCDEF";
    out.setLength(2 * length);
    int o = 0;
    for (int i = 0; i < length && text[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out.text[o++] = digits[c >> 4];
        out.text[o++] = digits[c & 15];
    }
}

// ---- character classes ----

bool cfIsDigit(char c) {
    return c == 0 || (c >= '0' && c <= '9');
}

bool cfIsSpace(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 0x09 && u <= 0x0D) || u == 0x20) return true;
    if (u >= 0x81 && u <= 0x85) return true;
    if (u >= 0x87 && u <= 0x90) return true;
    if (u >= 0x93 && u <= 0xA0) return true;
    return false;
}

bool cfIsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool cfIsCSymbol(char c) {
    return cfIsAlpha(c) || c == '_';
}

char cfToLower(char c) {
    return Core::toLower(c);
}

int cfStrnicmp(char const* a, char const* b, size_t n) {
    if (!a && !b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(cfToLower(a[i]));
        unsigned char cb = static_cast<unsigned char>(cfToLower(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return 0;
}

int cfStricmp(char const* a, char const* b) {
    // One pass: the terminator orders before every other byte, so the
    // shorter of two texts that agree up to its end orders first.
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(cfToLower(*a));
        unsigned char cb = static_cast<unsigned char>(cfToLower(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

int zrStrnicmp(char const* a, char const* b, size_t n) {
    if (!a) return -1;
    if (!b) return 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = upperByte(a[i]);
        unsigned char cb = upperByte(b[i]);
        if (ca > cb) return 1;
        if (ca < cb) return -1;
        if (ca == 0) return 0;
    }
    return 0;
}

int zrStricmp(char const* a, char const* b) {
    return zrStrnicmp(a, b, SIZE_MAX);
}
