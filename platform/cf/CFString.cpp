#include "platform/cf/CFInternal.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

using namespace hx::cf;

// ---- The string object

void HXCFString::setText(std::u16string t) {
    mText = std::move(t);
    mIsAscii = false;
    mAscii.clear();
    if (mMutable) return;
    for (char16_t c : mText)
        if (c >= 0x80) return;
    mAscii.assign(mText.begin(), mText.end());
    mIsAscii = true;
}

bool HXCFString::equals(const Object& other) const {
    return mText == static_cast<const HXCFString&>(other).mText;
}

CFHashCode HXCFString::hash() const {
    CFHashCode h = 1469598103934665603ull;
    for (char16_t c : mText)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

void HXCFString::describe(std::string& out, int) const {
    appendUtf8(mText, out);
}

namespace hx::cf {

CFStringRef makeString(std::u16string text, bool isMutable) {
    auto* s = new HXCFString;
    s->mMutable = isMutable;
    s->setText(std::move(text));
    return s;
}

CFStringRef stringFromUtf8(const std::string& text) {
    std::u16string t;
    if (!decodeUtf8(text.data(), text.size(), t)) return nullptr;
    return makeString(std::move(t));
}

std::string utf8(CFStringRef s) {
    std::string out;
    if (auto* str = as<HXCFString>(s)) {
        if (str->mIsAscii) return str->mAscii;
        appendUtf8(str->mText, out);
    }
    return out;
}

const std::u16string* chars(CFTypeRef s) {
    auto* str = as<HXCFString>(s);
    return str ? &str->mText : nullptr;
}

} // namespace hx::cf

namespace {

HXCFString* newMutable(std::u16string text) {
    return static_cast<HXCFString*>(const_cast<HXCFString*>(makeString(std::move(text), true)));
}

bool validRange(const std::u16string& t, CFRange r) {
    return r.location >= 0 && r.length >= 0 && std::size_t(r.location) <= t.size() &&
           std::size_t(r.length) <= t.size() - std::size_t(r.location);
}

char16_t foldCase(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return char16_t(c + 32);
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return char16_t(c | 1);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) ? char16_t(c + 1) : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return char16_t(c + 32);
    if (c >= 0x410 && c <= 0x42F) return char16_t(c + 32);
    if (c >= 0x400 && c <= 0x40F) return char16_t(c + 80);
    return c;
}

bool isDigit(char16_t c) {
    return c >= '0' && c <= '9';
}

CFComparisonResult compareTexts(const std::u16string& a, const std::u16string& b,
                                CFStringCompareFlags opts) {
    const bool fold = opts & kCFCompareCaseInsensitive;
    const bool numeric = opts & kCFCompareNumerically;
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (numeric && isDigit(a[i]) && isDigit(b[j])) {
            // Runs of digits compare by value: without leading zeros, the
            // longer run is the larger number.
            std::size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie]))
                ++ie;
            while (je < b.size() && isDigit(b[je]))
                ++je;
            std::size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0')
                ++is;
            while (js + 1 < je && b[js] == '0')
                ++js;
            if (ie - is != je - js)
                return ie - is < je - js ? kCFCompareLessThan : kCFCompareGreaterThan;
            int c = a.compare(is, ie - is, b, js, je - js);
            if (c) return c < 0 ? kCFCompareLessThan : kCFCompareGreaterThan;
            i = ie, j = je;
            continue;
        }
        char16_t x = fold ? foldCase(a[i]) : a[i];
        char16_t y = fold ? foldCase(b[j]) : b[j];
        if (x != y) return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
        ++i, ++j;
    }
    if (i == a.size() && j == b.size()) return kCFCompareEqualTo;
    return i == a.size() ? kCFCompareLessThan : kCFCompareGreaterThan;
}

// The code point at i and the units it takes; a lone surrogate stands alone.
char32_t codePointAt(const std::u16string& t, std::size_t i, std::size_t end, int* units) {
    char16_t c = t[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < end && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
        *units = 2;
        return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (t[i + 1] - 0xDC00);
    }
    *units = 1;
    return c;
}

std::string textOf(CFStringRef format) {
    return utf8(format);
}

} // namespace

extern "C" {

CFStringRef HXCFStringMakeConstantString(const char* cStr) {
    static std::mutex lock;
    static auto* table = new std::unordered_map<std::string, HXCFString*>;
    if (!cStr) cStr = "";
    std::lock_guard<std::mutex> g(lock);
    auto it = table->find(cStr);
    if (it != table->end()) return it->second;
    std::u16string t;
    if (!decodeUtf8(cStr, std::strlen(cStr), t)) {
        t.clear();
        decodeBytes(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr),
                    kCFStringEncodingMacRoman, t);
    }
    auto* s = static_cast<HXCFString*>(const_cast<HXCFString*>(makeString(std::move(t))));
    s->makeImmortal();
    table->emplace(cStr, s);
    return s;
}

CFTypeID CFStringGetTypeID(void) {
    return kTypeString;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
    if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
    std::u16string t;
    if (!decodeBytes(bytes, std::size_t(numBytes), encoding, t)) return nullptr;
    return makeString(std::move(t));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
    if (!cStr) return nullptr;
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                   CFIndex(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr,
                                            CFStringEncoding encoding, CFAllocatorRef) {
    // Always copied; a caller's deallocator is never called.
    return CFStringCreateWithCString(alloc, cStr, encoding);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    if (numChars < 0 || (!chars && numChars > 0)) return nullptr;
    return makeString(
        std::u16string(reinterpret_cast<const char16_t*>(chars), std::size_t(numChars)));
}

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFDictionaryRef,
                                                 CFStringRef format, va_list arguments) {
    if (!as<HXCFString>(format)) return nullptr;
    va_list args;
    va_copy(args, arguments);
    std::string text = formatUtf8(textOf(format), args);
    va_end(args);
    return stringFromUtf8(text);
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...) {
    va_list args;
    va_start(args, format);
    CFStringRef s = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, args);
    va_end(args);
    return s;
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    auto* s = as<HXCFString>(theString);
    if (!s) return nullptr;
    if (!s->mMutable) return static_cast<CFStringRef>(CFRetain(s));
    return makeString(s->mText);
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef, CFStringRef str, CFRange range) {
    auto* s = as<HXCFString>(str);
    if (!s || !validRange(s->mText, range)) return nullptr;
    return makeString(s->mText.substr(std::size_t(range.location), std::size_t(range.length)));
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex) {
    return newMutable({});
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef theString) {
    auto* s = as<HXCFString>(theString);
    return s ? newMutable(s->mText) : nullptr;
}

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    auto* s = asMutable<HXCFString>(theString);
    auto* a = as<HXCFString>(appendedString);
    if (s && a) s->mText += std::u16string(a->mText);
}

void CFStringAppendCString(CFMutableStringRef theString, const char* cStr,
                           CFStringEncoding encoding) {
    auto* s = asMutable<HXCFString>(theString);
    if (!s || !cStr) return;
    std::u16string t;
    if (decodeBytes(reinterpret_cast<const UInt8*>(cStr), std::strlen(cStr), encoding, t))
        s->mText += t;
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars,
                              CFIndex numChars) {
    auto* s = asMutable<HXCFString>(theString);
    if (s && chars && numChars > 0)
        s->mText.append(reinterpret_cast<const char16_t*>(chars), std::size_t(numChars));
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef,
                                      CFStringRef format, va_list arguments) {
    auto* s = asMutable<HXCFString>(theString);
    if (!s || !as<HXCFString>(format)) return;
    va_list args;
    va_copy(args, arguments);
    std::string text = formatUtf8(textOf(format), args);
    va_end(args);
    decodeUtf8(text.data(), text.size(), s->mText);
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                          CFStringRef format, ...) {
    va_list args;
    va_start(args, format);
    CFStringAppendFormatAndArguments(theString, formatOptions, format, args);
    va_end(args);
}

CFIndex CFStringGetLength(CFStringRef theString) {
    auto* s = as<HXCFString>(theString);
    return s ? CFIndex(s->mText.size()) : 0;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    auto* s = as<HXCFString>(theString);
    if (!s || idx < 0 || std::size_t(idx) >= s->mText.size()) return 0;
    return s->mText[std::size_t(idx)];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    auto* s = as<HXCFString>(theString);
    if (!s || !buffer || !validRange(s->mText, range)) return;
    std::memcpy(buffer, s->mText.data() + range.location,
                std::size_t(range.length) * sizeof(UniChar));
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen) {
    auto* s = as<HXCFString>(theString);
    if (!s || !validRange(s->mText, range) || !isSupportedEncoding(encoding) ||
        (buffer && maxBufLen < 0)) {
        if (usedBufLen) *usedBufLen = 0;
        return 0;
    }
    std::string out;
    if (isExternalRepresentation && encoding == kCFStringEncodingUTF16)
        encodeCodePoint(0xFEFF, encoding, out);
    if (buffer && out.size() > std::size_t(maxBufLen)) out.clear();
    std::size_t i = std::size_t(range.location);
    const std::size_t end = i + std::size_t(range.length);
    std::string one;
    while (i < end) {
        int units;
        char32_t c = codePointAt(s->mText, i, end, &units);
        one.clear();
        if (!encodeCodePoint(c, encoding, one)) {
            if (!lossByte) break;
            one.assign(1, char(lossByte));
        }
        if (buffer && out.size() + one.size() > std::size_t(maxBufLen)) break;
        out += one;
        i += std::size_t(units);
    }
    if (buffer) std::memcpy(buffer, out.data(), out.size());
    if (usedBufLen) *usedBufLen = CFIndex(out.size());
    return CFIndex(i - std::size_t(range.location));
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    auto* s = as<HXCFString>(theString);
    if (!s || !buffer || bufferSize <= 0 || !isSupportedEncoding(encoding)) return false;
    std::string out;
    for (std::size_t i = 0; i < s->mText.size();) {
        int units;
        char32_t c = codePointAt(s->mText, i, s->mText.size(), &units);
        if (!encodeCodePoint(c, encoding, out)) return false;
        i += std::size_t(units);
    }
    if (out.size() + 1 > std::size_t(bufferSize)) return false;
    std::memcpy(buffer, out.data(), out.size());
    buffer[out.size()] = 0;
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    auto* s = as<HXCFString>(theString);
    if (!s || !s->mIsAscii) return nullptr;
    if (encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingUTF8 ||
        encoding == kCFStringEncodingMacRoman || encoding == kCFStringEncodingISOLatin1 ||
        encoding == kCFStringEncodingWindowsLatin1)
        return s->mAscii.c_str();
    return nullptr;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) return 0;
    switch (encoding) {
    case kCFStringEncodingUTF8:
        return length > LONG_MAX / 3 ? CFIndex(kCFNotFound) : length * 3;
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE:
        return length > LONG_MAX / 2 ? CFIndex(kCFNotFound) : length * 2;
    default:
        return length;
    }
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) {
    return isSupportedEncoding(encoding);
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
    static const std::u16string empty;
    auto* a = as<HXCFString>(theString1);
    auto* b = as<HXCFString>(theString2);
    return compareTexts(a ? a->mText : empty, b ? b->mText : empty, compareOptions);
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    auto* s = as<HXCFString>(theString);
    auto* p = as<HXCFString>(prefix);
    return s && p && s->mText.compare(0, p->mText.size(), p->mText) == 0;
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    auto* s = as<HXCFString>(theString);
    auto* p = as<HXCFString>(suffix);
    return s && p && s->mText.size() >= p->mText.size() &&
           s->mText.compare(s->mText.size() - p->mText.size(), p->mText.size(), p->mText) == 0;
}

SInt32 CFStringGetIntValue(CFStringRef str) {
    auto* s = as<HXCFString>(str);
    if (!s) return 0;
    const std::u16string& t = s->mText;
    std::size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    std::int64_t v = 0;
    for (; i < t.size() && isDigit(t[i]); ++i) {
        v = v * 10 + (t[i] - '0');
        if (v > std::int64_t(INT32_MAX) + 1)
            v = std::int64_t(INT32_MAX) + 1; // saturated; keeps no overflow
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return SInt32(v);
}

double CFStringGetDoubleValue(CFStringRef str) {
    std::string text = utf8(str);
    std::size_t i = text.find_first_not_of(" \t\r\n");
    if (i == std::string::npos) return 0;
    if (text[i] == '+') ++i;
    double v = 0;
    std::from_chars(text.data() + i, text.data() + text.size(), v);
    return v;
}
}
