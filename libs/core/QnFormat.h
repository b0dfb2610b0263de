// The core library's printf-style formatter. It parses a format string,
// converts the arguments and hands the characters to a sink: a fixed buffer
// (string sink), a buffer passed to a flush callback whenever it fills (file
// sink), or nothing (null sink, which only counts).
//
// Differences from the C library: %l reads a 64-bit argument; %hd and %hhd
// are not narrowed; %p prints 16 upper-case hexadecimal digits; an unknown
// conversion ends the output. Floating-point conversions go through the C
// library in the C locale.
#pragma once

#include <cstdarg>

// One integer conversion in progress.
struct FmtInt {
    int width;                // -1 when none
    int precision;            // -1 when none
    unsigned flags;           // kFmt* bits
    unsigned conversion;      // the conversion character
    unsigned long long value; // magnitude
    int base;
    bool unsignedConversion;
    char sign;  // 0, '-', '+' or ' '
    bool upper; // upper-case digits
};

enum : unsigned {
    kFmtLeft = 1,       // '-'
    kFmtPlus = 2,       // '+'
    kFmtSpace = 4,      // ' '
    kFmtAlternate = 8,  // '#'
    kFmtZero = 16,      // '0'
    kFmtPrecision = 32, // a precision was given
};

class FormatTarget {
public:
    typedef void (*pfn_flush)(char* buffer, unsigned long long length, void* context);

    FormatTarget();
    FormatTarget(char* buffer, unsigned long long size);
    FormatTarget(char* buffer, unsigned long long size, pfn_flush flush, void* context);

    void init();
    void init(char* buffer, unsigned long long size);
    // A flush callback makes a file sink (with the internal buffer when buffer
    // is null or size 0); otherwise a buffer makes a string sink, else a null sink.
    void init(char* buffer, unsigned long long size, pfn_flush flush, void* context);

    unsigned long long format(const char* fmt, va_list args);
    unsigned long long format(const char* fmt, ...);
    void format(FmtInt& value);
    // conversion: the text from its '%' to its conversion character.
    unsigned long long format(double x, const char* conversion,
                              unsigned long long conversionLength);
    void flush();

    // The sink, as plain operation pointers chosen by init.
    void (*mpfnBegin)(FormatTarget* t);
    void (*mpfnWrite)(FormatTarget* t, const char* text, unsigned long long n);
    void (*mpfnWriteChar)(FormatTarget* t, char c);
    void (*mpfnWriteChars)(FormatTarget* t, char c, unsigned long long n);
    unsigned long long (*mpfnReadPos)(FormatTarget* t);
    unsigned long long (*mpfnEnd)(FormatTarget* t);

    char* mpBuffer;
    unsigned long long mSize;
    unsigned long long mPosition;
    unsigned long long mSpace;
    unsigned long long mCount;
    void* mpContext;
    char mInternalBuffer[64];
    pfn_flush mpfnFlush;
};

// Formats into buf through a string sink of size bytes (a counting sink when
// buf is null or size 0). Returns the characters stored, which is size when
// the text was cut (the last byte then holds the terminator), or for a
// counting sink the length the text would have.
unsigned long long format(char* buf, unsigned long long size, const char* fmt, va_list args);
unsigned long long format(char* buf, unsigned long long size, const char* fmt, ...);
