// Text conversion between 8-bit, UTF-8, UTF-16 and UTF-32 (native byte
// order), without the platform's text services.
//
// The low layer validates, measures, decodes and encodes single sequences;
// the upper layer joins a source that yields one code point at a time with a
// target that measures or writes, through Core::convert.
#pragma once

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS Core
#include "libs/core/shared/QnConvSource.h"
#pragma pop_macro("QN_CORE_NS")

namespace Core {

// --- Low layer ---

bool isLegalUTF8(const unsigned char* seq, int length);
unsigned utf8NumBytes(unsigned cp);
unsigned toUtf8(unsigned char* dst, unsigned cp);
unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& count, bool& ok);
unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& count);
// Bulk UTF-32 to UTF-8: returns the bytes produced; src and srcCount are left
// on the first code point not taken. With dst null only the lengths are summed.
unsigned long long toUtf8(unsigned char* dst, unsigned long long dstSize, unsigned*& src,
                          unsigned long long& srcCount);
// Bulk UTF-16 to UTF-32: returns the code points produced.
unsigned long long toUtf32(unsigned* dst, unsigned long long dstCount, const unsigned short*& src,
                           unsigned long long& srcCount);

// --- Conversion objects ---

class ConvTarget : public ConvBase {
public:
    static constexpr unsigned long long kUnlimited = ~0ULL;

    ConvTarget() { init(kEncoding8Bit, 0); }
    ConvTarget(Encoding e, char replacement) { init(e, replacement); }

    // Counting target: measures only.
    ConvTarget& init(Encoding e, char replacement);
    ConvTarget& init(char* buffer, unsigned long long size, char replacement);
    ConvTarget& init(unsigned char* buffer, unsigned long long size, char replacement);
    ConvTarget& init(unsigned short* buffer, unsigned long long size, char replacement);
    ConvTarget& init(unsigned* buffer, unsigned long long size, char replacement);
    // Allocates n units (0: the units counted so far plus 1) with memoryAlloc;
    // the buffer belongs to the caller.
    ConvTarget& alloc(unsigned long long n);

    bool write(unsigned cp);
    bool count(unsigned cp);
    bool terminate();

    void* buffer() const { return mpBuffer; }
    unsigned long long space() const { return mSpace; }
    unsigned long long units() const { return mUnits; }
    unsigned long long chars() const { return mChars; }

private:
    ConvTarget& initBuffer(void* buffer, unsigned long long size, Encoding e, char replacement);
    bool accept(unsigned cp, bool store);

    void* mpBuffer = nullptr;
    unsigned long long mSpace = kUnlimited;
    unsigned long long mUnits = 0;
    unsigned long long mChars = 0;
    char mReplacement = 0;
};

unsigned convert(ConvTarget& target, ConvSource& source);

// NUL-terminated text in, size units of space out (a terminator always fits
// when size is at least 1); returns the characters converted. A null out only
// counts. The allocating forms return a NUL-terminated buffer from
// memoryAlloc, or null for empty text or a failed allocation.
unsigned long long toUtf16(const unsigned* src, unsigned short* out, unsigned long long size);
unsigned long long toUtf8(const unsigned* src, unsigned char* out, unsigned long long size);
unsigned long long toUtf32(const unsigned short* src, unsigned* out, unsigned long long size);
unsigned long long toUtf8(const unsigned short* src, unsigned char* out, unsigned long long size);
unsigned long long toUtf32(const unsigned char* src, unsigned* out, unsigned long long size);
unsigned long long toUtf16(const unsigned char* src, unsigned short* out, unsigned long long size);
unsigned short* toUtf16(const unsigned* src);
unsigned char* toUtf8(const unsigned* src);
unsigned* toUtf32(const unsigned short* src);
unsigned char* toUtf8(const unsigned short* src);
unsigned* toUtf32(const unsigned char* src);
unsigned short* toUtf16(const unsigned char* src);

} // namespace Core
