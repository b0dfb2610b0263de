// printf formats for CFStringCreateWithFormat: each conversion is handed to
// snprintf with its argument, except %@ (an object's description), %C (a
// UTF-16 unit) and %S (a NUL-terminated UTF-16 text). %n writes nothing.
#include "platform/cf/CFInternal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

namespace hx::cf {

namespace {

template <class T>
void appendFormatted(std::string& out, const std::string& conversionSpec, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, conversionSpec.c_str(), value);
    if (n < 0) return;
    if (std::size_t(n) < sizeof small) {
        out.append(small, std::size_t(n));
        return;
    }
    std::string big(std::size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), conversionSpec.c_str(), value);
    out.append(big.data(), std::size_t(n));
}

// A %s argument: UTF-8 as it stands, other bytes read as MacRoman.
std::string cText(const char* s) {
    if (!s) return "(null)";
    std::size_t n = std::strlen(s);
    std::u16string t;
    if (decodeUtf8(s, n, t)) return std::string(s, n);
    t.clear();
    decodeBytes(reinterpret_cast<const UInt8*>(s), n, kCFStringEncodingMacRoman, t);
    std::string out;
    appendUtf8(t, out);
    return out;
}

// Width and precision of a text conversion, counted in characters.
void appendPadded(std::string& out, const std::string& text, bool left, int width, int precision) {
    std::u16string t;
    decodeUtf8(text.data(), text.size(), t);
    if (precision >= 0 && t.size() > std::size_t(precision)) t.resize(std::size_t(precision));
    std::string body;
    appendUtf8(t, body);
    std::size_t pad =
        width > 0 && std::size_t(width) > t.size() ? std::size_t(width) - t.size() : 0;
    if (!left) out.append(pad, ' ');
    out += body;
    if (left) out.append(pad, ' ');
}

} // namespace

std::string formatUtf8(const std::string& format, va_list args) {
    std::string out;
    const std::size_t n = format.size();
    std::size_t i = 0;
    while (i < n) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t start = i++;
        std::string flags;
        while (i < n && std::strchr("-+ #0'", format[i]))
            flags += format[i++];
        int width = -1, precision = -1;
        if (i < n && format[i] == '*') {
            width = va_arg(args, int);
            if (width < 0) flags += '-', width = -width;
            ++i;
        } else {
            while (i < n && format[i] >= '0' && format[i] <= '9')
                width = (width < 0 ? 0 : width * 10) + (format[i++] - '0');
        }
        if (i < n && format[i] == '.') {
            ++i;
            precision = 0;
            if (i < n && format[i] == '*') {
                precision = va_arg(args, int);
                ++i;
            } else {
                while (i < n && format[i] >= '0' && format[i] <= '9')
                    precision = precision * 10 + (format[i++] - '0');
            }
        }
        std::string length;
        while (i < n && std::strchr("hlqLzjt", format[i]))
            length += format[i++];
        if (i >= n) {
            out.append(format, start, n - start);
            break;
        }
        const char conv = format[i++];
        const bool left = flags.find('-') != std::string::npos;
        // The conversion without '*': flags, width and precision as numbers.
        std::string conversionSpec = "%" + flags;
        if (width >= 0) conversionSpec += std::to_string(width);
        if (precision >= 0) conversionSpec += "." + std::to_string(precision);
        switch (conv) {
        case '%':
            out += '%';
            break;
        case '@': {
            CFTypeRef obj = va_arg(args, CFTypeRef);
            appendPadded(out, describe(obj), left, width, precision);
            break;
        }
        case 'd':
        case 'i': {
            std::string s = conversionSpec + (length == "q" ? "ll" : length) + conv;
            if (length == "l")
                appendFormatted(out, s, va_arg(args, long));
            else if (length == "ll" || length == "q")
                appendFormatted(out, s, va_arg(args, long long));
            else if (length == "z")
                appendFormatted(out, s, va_arg(args, ssize_t));
            else if (length == "j")
                appendFormatted(out, s, va_arg(args, intmax_t));
            else if (length == "t")
                appendFormatted(out, s, va_arg(args, ptrdiff_t));
            else
                appendFormatted(out, s, va_arg(args, int));
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            std::string s = conversionSpec + (length == "q" ? "ll" : length) + conv;
            if (length == "l")
                appendFormatted(out, s, va_arg(args, unsigned long));
            else if (length == "ll" || length == "q")
                appendFormatted(out, s, va_arg(args, unsigned long long));
            else if (length == "z")
                appendFormatted(out, s, va_arg(args, size_t));
            else if (length == "j")
                appendFormatted(out, s, va_arg(args, uintmax_t));
            else if (length == "t")
                appendFormatted(out, s, va_arg(args, ptrdiff_t));
            else
                appendFormatted(out, s, va_arg(args, unsigned int));
            break;
        }
        case 'c': {
            int ch = va_arg(args, int);
            std::string text;
            encodeCodePoint(char32_t(ch & 0xFF), kCFStringEncodingUTF8, text);
            appendPadded(out, text, left, width, -1);
            break;
        }
        case 'C': {
            int ch = va_arg(args, int);
            std::string text;
            appendUtf8(std::u16string(1, char16_t(ch)), text);
            appendPadded(out, text, left, width, -1);
            break;
        }
        case 's':
            appendPadded(out, cText(va_arg(args, const char*)), left, width, precision);
            break;
        case 'S': {
            const auto* u = va_arg(args, const UniChar*);
            std::string text = "(null)";
            if (u) {
                std::u16string t;
                while (*u)
                    t += char16_t(*u++);
                text.clear();
                appendUtf8(t, text);
            }
            appendPadded(out, text, left, width, precision);
            break;
        }
        case 'p':
            appendFormatted(out, conversionSpec + 'p', va_arg(args, void*));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L")
                appendFormatted(out, conversionSpec + 'L' + conv, va_arg(args, long double));
            else
                appendFormatted(out, conversionSpec + conv, va_arg(args, double));
            break;
        case 'n':
            (void)va_arg(args, void*);
            break;
        default:
            out.append(format, start, i - start);
            break;
        }
    }
    return out;
}

} // namespace hx::cf
