// Text decoding of the kernel build of the core library: a source that
// yields one code point at a time from 8-bit, UTF-8, UTF-16 or UTF-32 text
// (native byte order). The kernel build logs an assertion line for a
// malformed UTF-8 sequence besides setting the source's error state.
#pragma once

#include <cstdint>

namespace QnKernel {

enum Encoding : unsigned {
    kEncoding8Bit = 0,  // each byte is the code point U+0000..U+00FF
    kEncodingUTF8 = 1,
    kEncodingUTF16 = 2,
    kEncodingUTF32 = 3,
};

enum : unsigned {
    kConvOK = 0,
    kConvSourceEnd = 1,      // source used up, or a malformed UTF-8 sequence
    kConvSourceNul = 2,      // the source reached a NUL unit
    kConvInvalidSource = 3,  // surrogate, above 0x10FFFF; in UTF-16 also unpaired
};

// Decode one code point and advance. fetchUtf8 passes over the lead byte
// only of an illegal or cut-short sequence and reports it through ok;
// fetchUtf16 gives 0 and stays put on an unpaired surrogate.
unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& remaining, bool& ok);
unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& remaining);

class ConvSource {
public:
    static constexpr unsigned long long kUntilNul = ~0ULL;

    ConvSource() = default;
    ConvSource(const void* text, unsigned long long units, Encoding e) { init(text, units, e); }

    ConvSource& init(const void* text, unsigned long long units, Encoding e);
    // The next code point, or 0 at the end, at a NUL unit or on bad input
    // (status() tells which; the cursor stays on a bad character).
    unsigned nextChar();

    unsigned status() const { return mStatus; }
    Encoding encoding() const { return mEncoding; }
    const void* cursor() const { return mpCursor; }
    unsigned long long remaining() const { return mRemaining; }

private:
    Encoding mEncoding = kEncoding8Bit;
    unsigned mStatus = kConvOK;
    const unsigned char* mpCursor = nullptr;
    unsigned long long mRemaining = 0;
};

}  // namespace QnKernel
