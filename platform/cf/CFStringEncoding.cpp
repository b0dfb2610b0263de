// Text encodings of the string stand-in: ASCII, UTF-8, MacRoman,
// ISO-8859-1 (and Windows Latin 1 read as ISO-8859-1) and UTF-16.
#include "platform/cf/CFInternal.h"
#include "platform/base/HXUtf8.h"

namespace hx::cf {

namespace {

// MacRoman 0x80..0xFF as Unicode code points.
constexpr char16_t kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, // 80
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8, // 88
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, // 90
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, // 98
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF, // A0
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, // A8
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, // B0
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, // B8
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, // C0
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, // C8
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, // D0
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, // D8
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, // E0
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, // E8
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC, // F0
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7, // F8
};

bool isLatin1(CFStringEncoding e) {
    return e == kCFStringEncodingISOLatin1 || e == kCFStringEncodingWindowsLatin1;
}

void appendCodePoint(char32_t c, std::u16string& out) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += char16_t(0xD800 + (c >> 10));
        out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
        out += char16_t(c);
    }
}

} // namespace

bool isSupportedEncoding(CFStringEncoding e) {
    return e == kCFStringEncodingASCII || e == kCFStringEncodingUTF8 ||
           e == kCFStringEncodingMacRoman || isLatin1(e) || e == kCFStringEncodingUTF16 ||
           e == kCFStringEncodingUTF16BE || e == kCFStringEncodingUTF16LE;
}

bool decodeUtf8(const char* bytes, std::size_t n, std::u16string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out += char16_t(b);
            ++i;
            continue;
        }
        int extra;
        char32_t c;
        if (b >= 0xC2 && b <= 0xDF)
            extra = 1, c = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF)
            extra = 2, c = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4)
            extra = 3, c = b & 0x07;
        else
            return false;
        if (n - i <= std::size_t(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cb = p[i + k];
            if ((cb & 0xC0) != 0x80) return false;
            c = (c << 6) | (cb & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        appendCodePoint(c, out);
        i += extra + 1;
    }
    return true;
}

bool decodeBytes(const UInt8* bytes, std::size_t n, CFStringEncoding encoding,
                 std::u16string& out) {
    switch (encoding) {
    case kCFStringEncodingUTF8:
        // A byte-order mark in front is not part of the text.
        if (n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes += 3, n -= 3;
        return decodeUtf8(reinterpret_cast<const char*>(bytes), n, out);
    case kCFStringEncodingASCII:
        for (std::size_t i = 0; i < n; ++i) {
            if (bytes[i] >= 0x80) return false;
            out += char16_t(bytes[i]);
        }
        return true;
    case kCFStringEncodingMacRoman:
        for (std::size_t i = 0; i < n; ++i)
            out += bytes[i] < 0x80 ? char16_t(bytes[i]) : kMacRomanHigh[bytes[i] - 0x80];
        return true;
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingWindowsLatin1:
        for (std::size_t i = 0; i < n; ++i)
            out += char16_t(bytes[i]);
        return true;
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE: {
        if (n % 2) return false;
        bool big = encoding == kCFStringEncodingUTF16BE;
        std::size_t i = 0;
        if (encoding == kCFStringEncodingUTF16 && n >= 2) {
            // A byte-order mark decides; without one, this machine's order.
            if (bytes[0] == 0xFE && bytes[1] == 0xFF)
                big = true, i = 2;
            else if (bytes[0] == 0xFF && bytes[1] == 0xFE)
                big = false, i = 2;
        }
        for (; i < n; i += 2)
            out += big ? char16_t((bytes[i] << 8) | bytes[i + 1])
                       : char16_t(bytes[i] | (bytes[i + 1] << 8));
        return true;
    }
    default:
        return false;
    }
}

bool encodeCodePoint(char32_t c, CFStringEncoding encoding, std::string& out) {
    switch (encoding) {
    case kCFStringEncodingUTF8:
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        hx::appendUtf8(out, c);
        return true;
    case kCFStringEncodingASCII:
        if (c >= 0x80) return false;
        out += char(c);
        return true;
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingWindowsLatin1:
        if (c >= 0x100) return false;
        out += char(c);
        return true;
    case kCFStringEncodingMacRoman:
        if (c < 0x80) {
            out += char(c);
            return true;
        }
        for (int i = 0; i < 128; ++i)
            if (kMacRomanHigh[i] == c) {
                out += char(0x80 + i);
                return true;
            }
        return false;
    case kCFStringEncodingUTF16:
    case kCFStringEncodingUTF16BE:
    case kCFStringEncodingUTF16LE: {
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        std::u16string units;
        appendCodePoint(c, units);
        bool big = encoding == kCFStringEncodingUTF16BE;
        for (char16_t u : units) {
            if (big)
                out += char(u >> 8), out += char(u & 0xFF);
            else
                out += char(u & 0xFF), out += char(u >> 8);
        }
        return true;
    }
    default:
        return false;
    }
}

void appendUtf8(std::u16string_view text, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        encodeCodePoint(c, kCFStringEncodingUTF8, out);
    }
}

} // namespace hx::cf
