#include "driver/engine/kcore/KernelText.h"

#include <cstring>

#include "driver/engine/kcore/KernelCore.h"

namespace QnKernel {

namespace {

// Bytes that follow a lead byte.
unsigned trailingBytes(unsigned char lead)
{
    if (lead < 0xC0)
        return 0;
    if (lead < 0xE0)
        return 1;
    if (lead < 0xF0)
        return 2;
    if (lead < 0xF8)
        return 3;
    if (lead < 0xFC)
        return 4;
    return 5;
}

// Shortest form only, no surrogates, nothing above 0x10FFFF.
bool isLegalUtf8(const unsigned char* seq, unsigned length)
{
    if (length < 1 || length > 4)
        return false;
    const unsigned char lead = seq[0];
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4)
        return false;
    // Front to back, stopping at the first bad byte, so nothing after a NUL
    // (never a continuation) is read.
    for (unsigned i = 1; i < length; ++i) {
        const unsigned char b = seq[i];
        if (b < 0x80 || b > 0xBF)
            return false;
        if (i == 1) {
            if ((lead == 0xE0 && b < 0xA0) || (lead == 0xED && b > 0x9F) || (lead == 0xF0 && b < 0x90) ||
                (lead == 0xF4 && b > 0x8F))
                return false;
        }
    }
    return true;
}

bool isSurrogate(unsigned cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

unsigned unitSize(Encoding e) { return e == kEncodingUTF16 ? 2 : e == kEncodingUTF32 ? 4 : 1; }

}  // namespace

unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& remaining, bool& ok)
{
    ok = false;
    if (remaining == 0)
        return 0;
    const unsigned n = trailingBytes(*cursor);
    // The sequence must fit in what is left before it is looked at.
    if (remaining > n && isLegalUtf8(cursor, n + 1)) {
        unsigned value = *cursor & (0x7Fu >> (n ? n + 1 : 0));
        for (unsigned i = 1; i <= n; ++i)
            value = (value << 6) | (cursor[i] & 0x3Fu);
        cursor += n + 1;
        remaining -= n + 1;
        ok = true;
        return value;
    }
    const unsigned value = *cursor;
    ++cursor;
    --remaining;
    return value;
}

unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& remaining)
{
    if (remaining == 0)
        return 0;
    const unsigned u = cursor[0];
    if (!isSurrogate(u)) {
        ++cursor;
        --remaining;
        return u;
    }
    if (u <= 0xDBFF && remaining > 1 && cursor[1] >= 0xDC00 && cursor[1] <= 0xDFFF) {
        const unsigned cp = 0x10000 + ((u - 0xD800) << 10) + (cursor[1] - 0xDC00u);
        cursor += 2;
        remaining -= 2;
        return cp;
    }
    return 0;
}

ConvSource& ConvSource::init(const void* text, unsigned long long units, Encoding e)
{
    mEncoding = unsigned(e) > kEncodingUTF32 ? kEncoding8Bit : e;
    mStatus = kConvOK;
    mpCursor = static_cast<const unsigned char*>(text);
    mRemaining = text ? units : 0;
    return *this;
}

unsigned ConvSource::nextChar()
{
    if (mRemaining == 0) {
        mStatus = kConvSourceEnd;
        return 0;
    }
    const unsigned char* savedCursor = mpCursor;
    const unsigned long long savedRemaining = mRemaining;
    unsigned cp = 0;
    switch (mEncoding) {
    case kEncodingUTF8: {
        bool ok = false;
        cp = fetchUtf8(mpCursor, mRemaining, ok);
        QN_KASSERT(ok);
        if (!ok) {
            mStatus = kConvSourceEnd;
            mpCursor = savedCursor;
            mRemaining = savedRemaining;
            return 0;
        }
        break;
    }
    case kEncodingUTF16: {
        auto* p = reinterpret_cast<const unsigned short*>(mpCursor);
        cp = fetchUtf16(p, mRemaining);
        if (reinterpret_cast<const unsigned char*>(p) == savedCursor) {
            mStatus = kConvInvalidSource;  // unpaired surrogate: stay on it
            return 0;
        }
        mpCursor = reinterpret_cast<const unsigned char*>(p);
        break;
    }
    default:
        if (mEncoding == kEncodingUTF32)
            std::memcpy(&cp, mpCursor, sizeof cp);
        else
            cp = *mpCursor;
        mpCursor += unitSize(mEncoding);
        --mRemaining;
        break;
    }
    if (cp == 0) {
        mRemaining = 0;
        mStatus = kConvSourceNul;
        return 0;
    }
    if (cp > 0x10FFFF || isSurrogate(cp)) {
        // Stay on the bad character.
        mStatus = kConvInvalidSource;
        mpCursor = savedCursor;
        mRemaining = savedRemaining;
        return 0;
    }
    return cp;
}

}  // namespace QnKernel
