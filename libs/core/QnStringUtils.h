// String utilities of the core library for NUL-terminated strings of four
// unit widths: char (8-bit text), unsigned char (UTF-8), unsigned short
// (UTF-16) and unsigned (UTF-32). Sizes and counts are in units of the
// string's width; all-ones means no bound.
#pragma once

namespace Core {

constexpr unsigned long long kNoLimit = ~0ULL;

// ASCII only, no locale.
int ctoi(int c);
char toUpper(char c);
char toLower(char c);
bool isLower(char c);
bool isUpper(char c);

unsigned long long stringLen(const char* s);
unsigned long long stringLen(const unsigned char* s);
unsigned long long stringLen(const unsigned short* s);
unsigned long long stringLen(const unsigned* s);

// Units before the terminator, at most max.
unsigned long long stringCount(const char* s, unsigned long long max,
                               unsigned long long* count = nullptr);
// UTF-8: returns the bytes consumed (including the one byte passed over at
// an illegal sequence) and stores the characters decoded.
unsigned long long stringCount(const unsigned char* s, unsigned long long max,
                               unsigned long long* count = nullptr);
// UTF-16: returns the units of the characters walked (2 per pair), stopping
// before an unpaired surrogate; stores the characters.
unsigned long long stringCount(const unsigned short* s, unsigned long long max,
                               unsigned long long* count = nullptr);
// UTF-32: units before the first 0, surrogate or value above 0x10FFFF.
unsigned long long stringCount(const unsigned* s, unsigned long long max,
                               unsigned long long* count = nullptr);

unsigned long long countItemsToCharPos(const unsigned char* s, unsigned long long max,
                                       unsigned long long chars);
unsigned long long countItemsToCharPos(const unsigned short* s, unsigned long long max,
                                       unsigned long long chars);

// New buffers from memoryAlloc, freed by the caller with memoryFree.
char* stringClone(const char* s);
unsigned short* stringClone(const unsigned short* s);
unsigned* stringClone(const unsigned* s);

// Copies at most size - 1 units and terminates; returns the units copied.
unsigned long long stringCopy(char* dst, const char* src, unsigned long long size);
unsigned long long stringCopy(unsigned char* dst, const unsigned char* src,
                              unsigned long long size);
unsigned long long stringCopy(unsigned short* dst, const unsigned short* src,
                              unsigned long long size);
unsigned long long stringCopy(unsigned* dst, const unsigned* src, unsigned long long size);

// Appends src with its terminator after the text in dst; no size limit.
void stringConcat(char* dst, const char* src);
void stringConcat(unsigned char* dst, const unsigned char* src);
void stringConcat(unsigned short* dst, const unsigned short* src);
void stringConcat(unsigned* dst, const unsigned* src);

// 8-bit comparisons: the difference of the first differing characters as
// signed 8-bit values, so bytes 0x80..0xFF order before ASCII.
int stringCompare(const char* a, const char* b);
int stringICompare(const char* a, const char* b);
int stringNCompare(const char* a, const char* b, unsigned long long n);
int stringNICompare(const char* a, const char* b, unsigned long long n);

} // namespace Core

// Writes value in radix (2..16, else 10) into buf and returns the characters
// written. flags: 2 asks for '+' on non-negative values, 4 suppresses every
// sign. With width, the text is right-aligned with spaces; the sign counts
// within the width.
int toString(long long value, char* buf, int radix, bool upper, int width, int flags);
