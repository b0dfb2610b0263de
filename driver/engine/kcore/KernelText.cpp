#include "driver/engine/kcore/KernelText.h"

#include <cstring>

#include "driver/engine/kcore/KernelCore.h"
#include "libs/core/QnUtfDecode.h"

namespace QnKernel {

namespace {

using QnUtf::isSurrogate;

unsigned unitSize(Encoding e) { return e == kEncodingUTF16 ? 2 : e == kEncodingUTF32 ? 4 : 1; }

}  // namespace

unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& remaining, bool& ok)
{
    return QnUtf::fetchUtf8(cursor, remaining, ok);
}

unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& remaining)
{
    return QnUtf::fetchUtf16(cursor, remaining);
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
