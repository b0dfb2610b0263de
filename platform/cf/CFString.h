// Strings: UTF-16 text, made from and converted to ASCII, UTF-8, MacRoman,
// ISO-8859-1 and UTF-16, with printf formats (%@ prints an object's
// description), comparison and number parsing.
//
// CFSTR("...") gives an immortal constant string: one object per text for
// the whole process, never freed, so it may be handed out without a retain.
#pragma once

#include "platform/cf/CFBase.h"

enum {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingUTF16 = 0x0100,
    kCFStringEncodingUTF16BE = 0x10000100,
    kCFStringEncodingUTF16LE = 0x14000100,
};
enum { kCFStringEncodingInvalidId = 0xffffffffU };

typedef CFOptionFlags CFStringCompareFlags;
enum {
    kCFCompareCaseInsensitive = 1,
    kCFCompareBackwards = 4,
    kCFCompareAnchored = 8,
    kCFCompareNonliteral = 16,
    kCFCompareLocalized = 32,
    kCFCompareNumerically = 64,
};

extern "C" {

// The constant string for a NUL-terminated ASCII or UTF-8 text (CFSTR).
CFStringRef HXCFStringMakeConstantString(const char* cStr);

CFTypeID CFStringGetTypeID(void);

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr,
                                            CFStringEncoding encoding,
                                            CFAllocatorRef contentsDeallocator);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars);
CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...);
CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc,
                                                 CFDictionaryRef formatOptions, CFStringRef format,
                                                 va_list arguments);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);
CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range);

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef theString);
void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString);
void CFStringAppendCString(CFMutableStringRef theString, const char* cStr,
                           CFStringEncoding encoding);
void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars);
void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                          CFStringRef format, ...);
void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                                      CFStringRef format, va_list arguments);

// Length in UTF-16 units.
CFIndex CFStringGetLength(CFStringRef theString);
UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
// Converts the whole string with a terminating NUL; false (buffer untouched)
// when it does not fit or a character has no form in the encoding.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// The text without copying when the string holds it in that form, else null.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
// Converts characters of range in order until one has no form in the
// encoding (and lossByte is 0) or the next one does not fit; answers the
// characters converted. A null buffer only counts the bytes.
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding);

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions);
Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix);
Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix);
// Leading blanks, an optional sign, decimal digits; 0 for a non-number,
// saturating beyond 32 bits.
SInt32 CFStringGetIntValue(CFStringRef str);
double CFStringGetDoubleValue(CFStringRef str);
}

// Each use site looks its string up once.
#define CFSTR(cStr)                                                                                \
    ([]() -> CFStringRef {                                                                         \
        static const CFStringRef hxConstantString = HXCFStringMakeConstantString("" cStr "");      \
        return hxConstantString;                                                                   \
    }())
