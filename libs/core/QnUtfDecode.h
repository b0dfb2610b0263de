// Decoding of single UTF-8 and UTF-16 sequences, the one decoder behind both
// the user build (QnTextEncoding) and the kernel build (kcore/KernelText) of
// the core library. Header-only and inline, so each build carries its own
// copy and nothing here can meet the other build's symbols at link time.
#pragma once

namespace QnUtf {

inline bool isSurrogate(unsigned cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

// Bytes that follow a lead byte.
inline unsigned trailingBytes(unsigned char lead) {
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 1;
    if (lead < 0xF0) return 2;
    if (lead < 0xF8) return 3;
    if (lead < 0xFC) return 4;
    return 5;
}

// The length bytes at seq (1 to 4, the lead's own length) form one legal
// sequence: shortest form only, no surrogates, nothing above 0x10FFFF.
inline bool isLegalSequence(const unsigned char* seq, unsigned length) {
    if (length < 1 || length > 4) return false;
    const unsigned char lead = seq[0];
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4) return false;
    // Front to back, stopping at the first bad byte, so nothing after a NUL
    // (never a valid continuation) is looked at.
    for (unsigned i = 1; i < length; ++i) {
        const unsigned char b = seq[i];
        if (b < 0x80 || b > 0xBF) return false;
        if (i == 1) {
            if (lead == 0xE0 && b < 0xA0) return false; // overlong 3-byte form
            if (lead == 0xED && b > 0x9F) return false; // surrogates
            if (lead == 0xF0 && b < 0x90) return false; // overlong 4-byte form
            if (lead == 0xF4 && b > 0x8F) return false; // above 0x10FFFF
        }
    }
    return true;
}

// One character; cursor and count advance past it. An illegal or cut-short
// sequence passes over its lead byte only, returns that byte and clears ok.
// Nothing is read from an empty source.
inline unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& count, bool& ok) {
    ok = false;
    if (count == 0) return 0;
    const unsigned n = trailingBytes(*cursor);
    // The sequence must fit in what is left before it is looked at.
    if (count > n && isLegalSequence(cursor, n + 1)) {
        unsigned value = *cursor & (0x7Fu >> (n ? n + 1 : 0));
        for (unsigned i = 1; i <= n; ++i)
            value = (value << 6) | (cursor[i] & 0x3Fu);
        cursor += n + 1;
        count -= n + 1;
        ok = true;
        return value;
    }
    const unsigned value = *cursor;
    ++cursor;
    --count;
    return value;
}

// One unit or surrogate pair; cursor and count advance past it. An unpaired
// surrogate (or an empty source) gives 0 and moves nothing.
inline unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& count) {
    if (count == 0) return 0;
    const unsigned u = cursor[0];
    if (!isSurrogate(u)) {
        ++cursor;
        --count;
        return u;
    }
    if (u <= 0xDBFF && count > 1 && cursor[1] >= 0xDC00 && cursor[1] <= 0xDFFF) {
        const unsigned cp = 0x10000 + ((u - 0xD800) << 10) + (cursor[1] - 0xDC00u);
        cursor += 2;
        count -= 2;
        return cp;
    }
    return 0;
}

} // namespace QnUtf
