#include "libs/core/QnFormat.h"

#include "libs/core/QnMemory.h"
#include "libs/core/QnStringUtils.h"

#include <climits>
#include <cstdio>
#include <locale.h>

namespace {

const char kDigitsLower[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kDigitsUpper[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

constexpr unsigned long long kFileSinkInternalSize = 63;
constexpr int kMaxPrecision = 512;
constexpr unsigned long long kMaxFloatConversion = 63;
constexpr int kFloatStackBuffer = 128;

// --- null sink: counts only ---

void nullBegin(FormatTarget* t) {
    t->mCount = 0;
}
void nullWrite(FormatTarget* t, const char*, unsigned long long n) {
    t->mCount += n;
}
void nullWriteChar(FormatTarget* t, char) {
    t->mCount += 1;
}
void nullWriteChars(FormatTarget* t, char, unsigned long long n) {
    t->mCount += n;
}
unsigned long long nullReadPos(FormatTarget* t) {
    return t->mCount;
}
unsigned long long nullEnd(FormatTarget* t) {
    return t->mCount;
}

// --- string sink: a fixed buffer, the excess dropped ---

void stringBegin(FormatTarget* t) {
    t->mPosition = 0;
    t->mSpace = t->mSize;
}

void stringWrite(FormatTarget* t, const char* text, unsigned long long n) {
    if (!text) return;
    if (n > t->mSpace) n = t->mSpace;
    for (unsigned long long i = 0; i < n; ++i)
        t->mpBuffer[t->mPosition + i] = text[i];
    t->mPosition += n;
    t->mSpace -= n;
}

void stringWriteChar(FormatTarget* t, char c) {
    if (t->mSpace == 0) return;
    t->mpBuffer[t->mPosition++] = c;
    --t->mSpace;
}

void stringWriteChars(FormatTarget* t, char c, unsigned long long n) {
    if (n > t->mSpace) n = t->mSpace;
    for (unsigned long long i = 0; i < n; ++i)
        t->mpBuffer[t->mPosition + i] = c;
    t->mPosition += n;
    t->mSpace -= n;
}

unsigned long long stringReadPos(FormatTarget* t) {
    return t->mPosition;
}

unsigned long long stringEnd(FormatTarget* t) {
    if (t->mSpace > 0) {
        t->mpBuffer[t->mPosition] = 0;
    } else if (t->mpBuffer && t->mSize > 0) {
        t->mpBuffer[t->mSize - 1] = 0; // cut: the terminator replaces the last character
    }
    return t->mPosition;
}

// --- file sink: a buffer handed to the flush callback whenever it fills ---

void fileBegin(FormatTarget* t) {
    t->mPosition = 0;
    t->mSpace = t->mSize;
    t->mCount = 0;
}

void fileFlushBuffer(FormatTarget* t) {
    if (t->mPosition > 0 && t->mpfnFlush) t->mpfnFlush(t->mpBuffer, t->mPosition, t->mpContext);
    t->mPosition = 0;
    t->mSpace = t->mSize;
}

// Copies from text, or n copies of c when text is null. The flush is lazy: a
// buffer filled exactly by the last characters is handed over by end.
void fileFill(FormatTarget* t, const char* text, char c, unsigned long long n) {
    t->mCount += n;
    for (;;) {
        unsigned long long chunk = n < t->mSpace ? n : t->mSpace;
        char* out = t->mpBuffer + t->mPosition;
        for (unsigned long long i = 0; i < chunk; ++i)
            out[i] = text ? text[i] : c;
        if (text) text += chunk;
        t->mPosition += chunk;
        t->mSpace -= chunk;
        n -= chunk;
        if (n == 0) return;
        fileFlushBuffer(t);
    }
}

void fileWrite(FormatTarget* t, const char* text, unsigned long long n) {
    if (text) fileFill(t, text, 0, n);
}
void fileWriteChar(FormatTarget* t, char c) {
    fileFill(t, nullptr, c, 1);
}
void fileWriteChars(FormatTarget* t, char c, unsigned long long n) {
    fileFill(t, nullptr, c, n);
}
unsigned long long fileReadPos(FormatTarget* t) {
    return t->mCount;
}

unsigned long long fileEnd(FormatTarget* t) {
    fileFlushBuffer(t);
    return t->mCount;
}

// Adds a digit to a width or precision, saturating instead of overflowing.
inline int addDigit(int value, char digit) {
    const int d = digit - '0';
    if (value > (INT_MAX - d) / 10) return INT_MAX;
    return value * 10 + d;
}

// A conversion the C library may be given for one double: '%', flags,
// digits for width and precision, at most an 'l', and a floating-point
// conversion. Anything else ('*', another conversion) would make it read an
// argument that is not there.
bool isDoubleConversion(const char* conversion, unsigned long long n) {
    unsigned long long i = 0;
    if (n < 2 || conversion[i++] != '%') return false;
    while (i < n && (conversion[i] == '-' || conversion[i] == '+' || conversion[i] == ' ' ||
                     conversion[i] == '#' || conversion[i] == '0'))
        ++i;
    while (i < n && conversion[i] >= '0' && conversion[i] <= '9')
        ++i;
    if (i < n && conversion[i] == '.') {
        ++i;
        while (i < n && conversion[i] >= '0' && conversion[i] <= '9')
            ++i;
    }
    if (i < n && conversion[i] == 'l') ++i;
    if (i + 1 != n) return false;
    switch (conversion[i]) {
    case 'a':
    case 'A':
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
        return true;
    default:
        return false;
    }
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// Floating-point text by the C library, in the C locale whatever the
// process's locale is.
int formatDouble(char* out, size_t size, const char* conversion, double x) {
    locale_t c = cLocale();
    locale_t previous = c ? uselocale(c) : static_cast<locale_t>(nullptr);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(out, size, conversion, x);
#pragma GCC diagnostic pop
    if (c) uselocale(previous);
    return n;
}

} // namespace

FormatTarget::FormatTarget() {
    init();
}

FormatTarget::FormatTarget(char* buffer, unsigned long long size) {
    init(buffer, size, nullptr, nullptr);
}

FormatTarget::FormatTarget(char* buffer, unsigned long long size, pfn_flush flush, void* context) {
    init(buffer, size, flush, context);
}

void FormatTarget::init() {
    mpfnBegin = nullBegin;
    mpfnWrite = nullWrite;
    mpfnWriteChar = nullWriteChar;
    mpfnWriteChars = nullWriteChars;
    mpfnReadPos = nullReadPos;
    mpfnEnd = nullEnd;
    mpBuffer = nullptr;
    mSize = 0;
    mPosition = 0;
    mSpace = 0;
    mCount = 0;
    mpContext = nullptr;
    for (char& c : mInternalBuffer)
        c = 0;
    mpfnFlush = nullptr;
}

void FormatTarget::init(char* buffer, unsigned long long size) {
    init(buffer, size, nullptr, nullptr);
}

void FormatTarget::init(char* buffer, unsigned long long size, pfn_flush flush, void* context) {
    init();
    mpBuffer = buffer;
    mSize = size;
    mSpace = size;
    mpfnFlush = flush;
    mpContext = context;
    if (flush) {
        if (!buffer || size == 0) {
            mpBuffer = mInternalBuffer;
            mSize = kFileSinkInternalSize;
            mSpace = mSize;
        }
        mpfnBegin = fileBegin;
        mpfnWrite = fileWrite;
        mpfnWriteChar = fileWriteChar;
        mpfnWriteChars = fileWriteChars;
        mpfnReadPos = fileReadPos;
        mpfnEnd = fileEnd;
    } else if (buffer && size > 0) {
        mpfnBegin = stringBegin;
        mpfnWrite = stringWrite;
        mpfnWriteChar = stringWriteChar;
        mpfnWriteChars = stringWriteChars;
        mpfnReadPos = stringReadPos;
        mpfnEnd = stringEnd;
    }
}

void FormatTarget::flush() {
    if (mpfnFlush) fileFlushBuffer(this);
}

unsigned long long FormatTarget::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const unsigned long long n = format(fmt, args);
    va_end(args);
    return n;
}

void FormatTarget::format(FmtInt& v) {
    if (v.base == 10) {
        if (v.unsignedConversion) {
            v.sign = 0;
        } else if (v.sign != '-') {
            v.sign = (v.flags & kFmtPlus) ? '+' : (v.flags & kFmtSpace) ? ' ' : 0;
        }
    } else {
        v.sign = 0;
        if (v.base < 2) v.base = 2;
        if (v.base > 36) v.base = 36;
    }

    if (v.precision < 0) {
        v.precision = 1;
    } else {
        v.flags &= ~kFmtZero;
        if (v.precision > kMaxPrecision) v.precision = kMaxPrecision;
    }

    const char* set = v.upper ? kDigitsUpper : kDigitsLower;
    char digits[64]; // base 2 of a 64-bit value needs 64
    int nDigits = 0;
    if (v.value != 0 || v.precision != 0) {
        unsigned long long value = v.value;
        char reversed[64];
        do {
            reversed[nDigits++] = set[value % static_cast<unsigned>(v.base)];
            value /= static_cast<unsigned>(v.base);
        } while (value != 0);
        for (int i = 0; i < nDigits; ++i)
            digits[i] = reversed[nDigits - 1 - i];
    }
    if (v.flags & kFmtLeft) v.flags &= ~kFmtZero;

    const int zeros = v.precision > nDigits ? v.precision - nDigits : 0;
    long long total = static_cast<long long>(zeros) + nDigits;

    char prefix[2];
    int nPrefix = 0;
    if (v.base == 16 && (v.flags & kFmtAlternate) && v.value != 0) {
        prefix[0] = '0';
        prefix[1] = set[33]; // 'x' or 'X'
        nPrefix = 2;
    } else if (v.base == 8 && (v.flags & kFmtAlternate) && zeros == 0 &&
               (nDigits == 0 || digits[0] != '0')) {
        prefix[0] = '0';
        nPrefix = 1;
    }
    total += nPrefix;
    if (v.sign) total += 1;

    if (v.width > total && !(v.flags & (kFmtLeft | kFmtZero))) {
        mpfnWriteChars(this, ' ', static_cast<unsigned long long>(v.width - total));
        v.width = 0;
    }
    if (nPrefix) mpfnWrite(this, prefix, static_cast<unsigned long long>(nPrefix));
    if (v.sign) mpfnWriteChar(this, v.sign);
    if (v.width > total && !(v.flags & kFmtLeft)) {
        mpfnWriteChars(this, '0', static_cast<unsigned long long>(v.width - total));
        v.width = 0;
    }
    if (zeros) mpfnWriteChars(this, '0', static_cast<unsigned long long>(zeros));
    if (nDigits) mpfnWrite(this, digits, static_cast<unsigned long long>(nDigits));
    if (v.width > total)
        mpfnWriteChars(this, ' ', static_cast<unsigned long long>(v.width - total));
}

unsigned long long FormatTarget::format(double x, const char* conversion,
                                        unsigned long long conversionLength) {
    if (!conversion || conversionLength == 0 || conversionLength > kMaxFloatConversion ||
        !isDoubleConversion(conversion, conversionLength))
        return 0;
    char conversionText[kMaxFloatConversion + 1];
    for (unsigned long long i = 0; i < conversionLength; ++i)
        conversionText[i] = conversion[i];
    conversionText[conversionLength] = 0;

    char text[kFloatStackBuffer];
    const int n = formatDouble(text, sizeof text, conversionText, x);
    if (n <= 0) return 0;
    if (n < kFloatStackBuffer) {
        mpfnWrite(this, text, static_cast<unsigned long long>(n));
        return static_cast<unsigned long long>(n);
    }
    const size_t bigSize = static_cast<size_t>(n) + 16;
    char* big = static_cast<char*>(memoryAlloc(bigSize));
    if (!big) return 0;
    const int m = formatDouble(big, bigSize, conversionText, x);
    unsigned long long written = 0;
    if (m > 0 && static_cast<size_t>(m) < bigSize) {
        mpfnWrite(this, big, static_cast<unsigned long long>(m));
        written = static_cast<unsigned long long>(m);
    }
    memoryFree(big);
    return written;
}

unsigned long long FormatTarget::format(const char* fmt, va_list args) {
    FmtInt v;
    v.width = 0;
    v.precision = -1;
    v.flags = 0;
    v.conversion = 'i';
    v.value = 0;
    v.base = 10;
    v.unsignedConversion = false;
    v.sign = 0;
    v.upper = true;

    mpfnBegin(this);
    if (!fmt) return mpfnEnd(this);

    const char* p = fmt;
    for (;;) {
        const char* run = p;
        while (*p && *p != '%')
            ++p;
        if (p != run) mpfnWrite(this, run, static_cast<unsigned long long>(p - run));
        if (!*p) break;

        const char* conversionStart = p;
        ++p; // the '%'
        if (*p == '%') {
            mpfnWriteChar(this, '%');
            ++p;
            continue;
        }

        // Flags.
        v.flags = 0;
        for (;; ++p) {
            if (*p == '-')
                v.flags |= kFmtLeft;
            else if (*p == '+')
                v.flags |= kFmtPlus;
            else if (*p == ' ')
                v.flags |= kFmtSpace;
            else if (*p == '#')
                v.flags |= kFmtAlternate;
            else if (*p == '0')
                v.flags |= kFmtZero;
            else
                break;
        }
        if (v.flags & kFmtLeft) v.flags &= ~kFmtZero;

        // Width: a negative one from '*' pads nothing.
        if (*p == '*') {
            v.width = va_arg(args, int);
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            int w = 0;
            while (*p >= '0' && *p <= '9')
                w = addDigit(w, *p++);
            v.width = w == 0 ? 1 : w;
        } else {
            v.width = -1;
        }

        // Precision: a negative one from '*' counts as none.
        v.precision = -1;
        if (*p == '.') {
            v.flags |= kFmtPrecision;
            ++p;
            if (*p == '*') {
                v.precision = va_arg(args, int);
                ++p;
                if (v.precision < 0) {
                    v.precision = -1;
                    v.flags &= ~kFmtPrecision;
                }
            } else {
                int prec = 0;
                while (*p >= '0' && *p <= '9')
                    prec = addDigit(prec, *p++);
                v.precision = prec;
            }
        }

        // Length modifier: 0 none, 1 hh, 2 h, 3 64-bit (l, ll, z, t, I).
        int length = 0;
        if (p[0] == 'h' && p[1] == 'h') {
            length = 1;
            p += 2;
        } else if (p[0] == 'h') {
            length = 2;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = 3;
            p += 2;
        } else if (*p == 'l' || *p == 'z' || *p == 't' || *p == 'I') {
            length = 3;
            ++p;
        }

        const char conv = *p;
        v.conversion = static_cast<unsigned char>(conv);
        v.sign = 0;
        v.unsignedConversion = false;
        v.upper = true;
        v.base = 10;
        switch (conv) {
        case 'd':
        case 'i': {
            const long long value = length == 3 ? va_arg(args, long long) : va_arg(args, int);
            if (value < 0) {
                v.sign = '-';
                v.value = 0ULL - static_cast<unsigned long long>(value);
            } else {
                v.value = static_cast<unsigned long long>(value);
            }
            format(v);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long value;
            if (length == 3) {
                value = va_arg(args, unsigned long long);
            } else {
                value = va_arg(args, unsigned);
                if (length == 1) value &= 0xFF;
                if (length == 2) value &= 0xFFFF;
            }
            v.value = value;
            v.unsignedConversion = true;
            v.base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
            v.upper = conv != 'x';
            format(v);
            break;
        }
        case 'p':
        case 'P':
            v.value = reinterpret_cast<unsigned long long>(va_arg(args, void*));
            v.unsignedConversion = true;
            v.base = 16;
            v.precision = 16;
            format(v);
            break;
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            const bool pad = v.width > 1;
            if (pad && !(v.flags & kFmtLeft))
                mpfnWriteChars(this, (v.flags & kFmtZero) ? '0' : ' ',
                               static_cast<unsigned long long>(v.width - 1));
            mpfnWriteChar(this, c);
            if (pad && (v.flags & kFmtLeft))
                mpfnWriteChars(this, ' ', static_cast<unsigned long long>(v.width - 1));
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (!s) s = "(null)";
            const unsigned long long max =
                v.precision >= 0 ? static_cast<unsigned long long>(v.precision) : Core::kNoLimit;
            const unsigned long long n = Core::stringCount(s, max);
            const bool pad = v.width > 0 && static_cast<unsigned long long>(v.width) > n;
            const unsigned long long padding =
                pad ? static_cast<unsigned long long>(v.width) - n : 0;
            if (pad && !(v.flags & kFmtLeft))
                mpfnWriteChars(this, (v.flags & kFmtZero) ? '0' : ' ', padding);
            mpfnWrite(this, s, n);
            if (pad && (v.flags & kFmtLeft)) mpfnWriteChars(this, ' ', padding);
            break;
        }
        case 'n': {
            int* out = va_arg(args, int*);
            if (out) *out = static_cast<int>(mpfnReadPos(this));
            break;
        }
        case 'a':
        case 'A':
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G': {
            const double x = va_arg(args, double);
            const unsigned long long conversionLength =
                static_cast<unsigned long long>(p - conversionStart) + 1;
            if (conversionLength > kMaxFloatConversion) break;
            // The C library sees the flags, the width and the precision
            // already taken (numbers in place of '*'), without length modifier.
            char conversion[kMaxFloatConversion + 1 + 32];
            FormatTarget conversionSink(conversion, sizeof conversion);
            conversionSink.mpfnBegin(&conversionSink);
            conversionSink.mpfnWriteChar(&conversionSink, '%');
            if (v.flags & kFmtLeft) conversionSink.mpfnWriteChar(&conversionSink, '-');
            if (v.flags & kFmtPlus) conversionSink.mpfnWriteChar(&conversionSink, '+');
            if (v.flags & kFmtSpace) conversionSink.mpfnWriteChar(&conversionSink, ' ');
            if (v.flags & kFmtAlternate) conversionSink.mpfnWriteChar(&conversionSink, '#');
            if (v.flags & kFmtZero) conversionSink.mpfnWriteChar(&conversionSink, '0');
            FmtInt number = {-1, -1, 0, 'u', 0, 10, true, 0, true};
            if (v.width > 0) {
                number.value = static_cast<unsigned long long>(v.width);
                conversionSink.format(number);
            }
            if (v.precision >= 0) {
                conversionSink.mpfnWriteChar(&conversionSink, '.');
                number = {-1, -1,   0, 'u', static_cast<unsigned long long>(v.precision),
                          10, true, 0, true};
                conversionSink.format(number);
            }
            conversionSink.mpfnWriteChar(&conversionSink, conv);
            const unsigned long long n = conversionSink.mpfnEnd(&conversionSink);
            format(x, conversion, n);
            break;
        }
        default:
            // Unknown conversion, or the end of the string: stop here.
            return mpfnEnd(this);
        }
        ++p;
    }
    return mpfnEnd(this);
}

unsigned long long format(char* buf, unsigned long long size, const char* fmt, va_list args) {
    FormatTarget target(buf, size);
    return target.format(fmt, args);
}

unsigned long long format(char* buf, unsigned long long size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const unsigned long long n = format(buf, size, fmt, args);
    va_end(args);
    return n;
}
