// The text source of both builds of the core library, compiled once per
// build (see QnMessaging.cpp for QN_CORE_NS and QN_CORE_HEADER).
#include QN_CORE_HEADER

#include <cstring>

#include "libs/core/QnUtfDecode.h"

namespace QN_CORE_NS {

namespace {

unsigned long long unitSizeOf(Encoding e) {
    return e == kEncodingUTF16 ? 2 : e == kEncodingUTF32 ? 4 : 1;
}

} // namespace

void ConvBase::setEncoding(Encoding e) {
    mEncoding = static_cast<unsigned>(e) > kEncodingUTF32 ? kEncoding8Bit : e;
    mUnitSize = unitSizeOf(mEncoding);
    mStatus = kConvOK;
}

ConvSource& ConvSource::init(const void* text, unsigned long long units, Encoding e) {
    setEncoding(e);
    mpStart = text;
    mLength = units;
    mGivenEncoding = e;
    mpCursor = static_cast<const unsigned char*>(text);
    mRemaining = text ? units : 0;
    return *this;
}

bool ConvSource::skipItem() {
    if (mRemaining == 0) {
        mStatus = kConvSourceEnd;
        return false;
    }
    mpCursor += mUnitSize;
    --mRemaining;
    return true;
}

unsigned ConvSource::nextChar() {
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
        cp = QnUtf::fetchUtf8(mpCursor, mRemaining, ok);
        checkUtf8(ok);
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
        cp = QnUtf::fetchUtf16(p, mRemaining);
        const bool stayed = reinterpret_cast<const unsigned char*>(p) == savedCursor;
        if (stayed || (cp == 0 && kUtf16NulIsInvalid)) {
            mStatus = kConvInvalidSource; // unpaired surrogate: stay on it
            mpCursor = savedCursor;
            mRemaining = savedRemaining;
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
        mpCursor += mUnitSize;
        --mRemaining;
        break;
    }
    if (cp == 0) {
        mRemaining = 0;
        mStatus = kConvSourceNul;
        return 0;
    }
    if (cp > 0x10FFFF || QnUtf::isSurrogate(cp)) {
        // Stay on the bad character.
        mStatus = kConvInvalidSource;
        mpCursor = savedCursor;
        mRemaining = savedRemaining;
        return 0;
    }
    return cp;
}

} // namespace QN_CORE_NS
