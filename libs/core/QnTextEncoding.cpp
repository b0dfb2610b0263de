#include "libs/core/QnTextEncoding.h"

#include "libs/core/QnMemory.h"
#include "libs/core/QnUtfDecode.h"

namespace Core {

namespace {

using QnUtf::isSurrogate;

constexpr unsigned char kFirstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

inline bool isWritable(unsigned cp) {
    return cp != 0 && cp <= 0x10FFFF && !isSurrogate(cp);
}

} // namespace

bool isLegalUTF8(const unsigned char* seq, int length) {
    if (!seq || length < 1 || length > 4) return false;
    if (static_cast<int>(QnUtf::trailingBytes(seq[0])) + 1 != length) return false;
    return QnUtf::isLegalSequence(seq, static_cast<unsigned>(length));
}

unsigned utf8NumBytes(unsigned cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    if (cp < 0x110000) return 4;
    return 0;
}

unsigned toUtf8(unsigned char* dst, unsigned cp) {
    const unsigned n = utf8NumBytes(cp);
    if (n == 0 || !dst) return n;
    for (unsigned i = n - 1; i > 0; --i) {
        dst[i] = static_cast<unsigned char>((cp & 0x3F) | 0x80);
        cp >>= 6;
    }
    dst[0] = static_cast<unsigned char>(cp | kFirstByteMark[n]);
    return n;
}

unsigned fetchUtf8(const unsigned char*& cursor, unsigned long long& count, bool& ok) {
    return QnUtf::fetchUtf8(cursor, count, ok);
}

unsigned fetchUtf16(const unsigned short*& cursor, unsigned long long& count) {
    return QnUtf::fetchUtf16(cursor, count);
}

unsigned long long toUtf8(unsigned char* dst, unsigned long long dstSize, unsigned*& src,
                          unsigned long long& srcCount) {
    if (!src) return 0;
    unsigned long long produced = 0;
    while (srcCount > 0) {
        const unsigned cp = *src;
        // Surrogate values are not characters; stop there as above 0x10FFFF.
        if (cp > 0x10FFFF || isSurrogate(cp)) break;
        const unsigned n = utf8NumBytes(cp);
        if (dst) {
            if (n > dstSize - produced) break;
            toUtf8(dst + produced, cp);
        }
        produced += n;
        ++src;
        --srcCount;
    }
    return produced;
}

unsigned long long toUtf32(unsigned* dst, unsigned long long dstCount, const unsigned short*& src,
                           unsigned long long& srcCount) {
    if (!src || (dst && (dstCount == 0 || srcCount == 0))) return 0;
    unsigned long long produced = 0;
    while (srcCount > 0 && (!dst || produced < dstCount)) {
        const unsigned short* before = src;
        const unsigned cp = fetchUtf16(src, srcCount);
        if (cp == 0) {
            // A NUL unit was consumed by the fetch; an undecodable one was not.
            // Either way exactly one unit is passed over.
            if (src == before) {
                ++src;
                --srcCount;
            }
            continue;
        }
        if (dst) dst[produced] = cp;
        ++produced;
    }
    return produced;
}

// --- ConvBase ---

// --- ConvTarget ---

ConvTarget& ConvTarget::init(Encoding e, char replacement) {
    return initBuffer(nullptr, kUnlimited, e, replacement);
}

ConvTarget& ConvTarget::init(char* buffer, unsigned long long size, char replacement) {
    return initBuffer(buffer, size, kEncoding8Bit, replacement);
}

ConvTarget& ConvTarget::init(unsigned char* buffer, unsigned long long size, char replacement) {
    return initBuffer(buffer, size, kEncodingUTF8, replacement);
}

ConvTarget& ConvTarget::init(unsigned short* buffer, unsigned long long size, char replacement) {
    return initBuffer(buffer, size, kEncodingUTF16, replacement);
}

ConvTarget& ConvTarget::init(unsigned* buffer, unsigned long long size, char replacement) {
    return initBuffer(buffer, size, kEncodingUTF32, replacement);
}

ConvTarget& ConvTarget::initBuffer(void* buffer, unsigned long long size, Encoding e,
                                   char replacement) {
    setEncoding(e);
    mpBuffer = buffer;
    mSpace = size;
    mUnits = 0;
    mChars = 0;
    mReplacement = replacement;
    return *this;
}

ConvTarget& ConvTarget::alloc(unsigned long long n) {
    mStatus = kConvOK;
    if (n == 0) n = mUnits + 1;
    mSpace = n;
    mpBuffer = memoryAlloc(n * mUnitSize);
    mUnits = 0;
    mChars = 0;
    return *this;
}

bool ConvTarget::accept(unsigned cp, bool store) {
    if (!isWritable(cp)) {
        mStatus = kConvInvalidTarget;
        return false;
    }
    unsigned need = 1;
    switch (mEncoding) {
    case kEncodingUTF8:
        need = utf8NumBytes(cp);
        break;
    case kEncodingUTF16:
        need = cp > 0xFFFF ? 2 : 1;
        break;
    case kEncodingUTF32:
        need = 1;
        break;
    default:
        if (cp > 0xFF) {
            if (mReplacement == 0) {
                // Dropped: neither written nor counted, as in both passes.
                mStatus = kConvOK;
                return true;
            }
            cp = static_cast<unsigned char>(mReplacement);
        }
        break;
    }
    if (store) {
        if (mSpace < need) {
            mStatus = kConvTargetFull;
            return false;
        }
        switch (mEncoding) {
        case kEncodingUTF8:
            toUtf8(static_cast<unsigned char*>(mpBuffer) + mUnits, cp);
            break;
        case kEncodingUTF16: {
            unsigned short* out = static_cast<unsigned short*>(mpBuffer) + mUnits;
            if (cp > 0xFFFF) {
                out[0] = static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
                out[1] = static_cast<unsigned short>(0xDC00 + (cp & 0x3FF));
            } else {
                out[0] = static_cast<unsigned short>(cp);
            }
            break;
        }
        case kEncodingUTF32:
            static_cast<unsigned*>(mpBuffer)[mUnits] = cp;
            break;
        default:
            static_cast<unsigned char*>(mpBuffer)[mUnits] = static_cast<unsigned char>(cp);
            break;
        }
        mSpace -= need;
    }
    mUnits += need;
    ++mChars;
    mStatus = kConvOK;
    return true;
}

bool ConvTarget::write(unsigned cp) {
    if (!mpBuffer) return count(cp);
    return accept(cp, true);
}

bool ConvTarget::count(unsigned cp) {
    return accept(cp, false);
}

bool ConvTarget::terminate() {
    bool wrote = false;
    if (mpBuffer && mSpace > 0) {
        switch (mEncoding) {
        case kEncodingUTF16:
            static_cast<unsigned short*>(mpBuffer)[mUnits] = 0;
            break;
        case kEncodingUTF32:
            static_cast<unsigned*>(mpBuffer)[mUnits] = 0;
            break;
        default:
            static_cast<unsigned char*>(mpBuffer)[mUnits] = 0;
            break;
        }
        wrote = true;
    }
    // Closed: later writes find no space.
    mSpace = 0;
    return wrote;
}

unsigned convert(ConvTarget& target, ConvSource& source) {
    const bool writing = target.buffer() != nullptr;
    for (unsigned c = source.nextChar(); c != 0; c = source.nextChar()) {
        if (!(writing ? target.write(c) : target.count(c))) return target.status();
    }
    return source.status();
}

// --- Conversion functions ---

namespace {

template <typename In, typename Out>
unsigned long long convertSized(const In* src, Out* out, unsigned long long size) {
    ConvSource source(src, ConvSource::kUntilNul);
    ConvTarget target;
    if (!out) {
        target.init(static_cast<Encoding>(sizeof(Out) == 1   ? kEncodingUTF8
                                          : sizeof(Out) == 2 ? kEncodingUTF16
                                                             : kEncodingUTF32),
                    0);
        convert(target, source);
        return target.chars();
    }
    // One unit stays in reserve so the result is always terminated.
    target.init(out, size > 0 ? size - 1 : 0, 0);
    convert(target, source);
    if (size > 0) out[target.units()] = 0;
    target.terminate();
    return target.chars();
}

template <typename In, typename Out> Out* convertAlloc(const In* src) {
    ConvSource source(src, ConvSource::kUntilNul);
    ConvTarget target(static_cast<Encoding>(sizeof(Out) == 1   ? kEncodingUTF8
                                            : sizeof(Out) == 2 ? kEncodingUTF16
                                                               : kEncodingUTF32),
                      0);
    convert(target, source);
    if (target.chars() == 0) return nullptr;
    target.alloc(0);
    Out* buffer = static_cast<Out*>(target.buffer());
    if (!buffer) return nullptr;
    source.reinit();
    convert(target, source);
    target.terminate();
    return buffer;
}

} // namespace

unsigned long long toUtf16(const unsigned* src, unsigned short* out, unsigned long long size) {
    return convertSized(src, out, size);
}
unsigned long long toUtf8(const unsigned* src, unsigned char* out, unsigned long long size) {
    return convertSized(src, out, size);
}
unsigned long long toUtf32(const unsigned short* src, unsigned* out, unsigned long long size) {
    return convertSized(src, out, size);
}
unsigned long long toUtf8(const unsigned short* src, unsigned char* out, unsigned long long size) {
    return convertSized(src, out, size);
}
unsigned long long toUtf32(const unsigned char* src, unsigned* out, unsigned long long size) {
    return convertSized(src, out, size);
}
unsigned long long toUtf16(const unsigned char* src, unsigned short* out, unsigned long long size) {
    return convertSized(src, out, size);
}

unsigned short* toUtf16(const unsigned* src) {
    return convertAlloc<unsigned, unsigned short>(src);
}
unsigned char* toUtf8(const unsigned* src) {
    return convertAlloc<unsigned, unsigned char>(src);
}
unsigned* toUtf32(const unsigned short* src) {
    return convertAlloc<unsigned short, unsigned>(src);
}
unsigned char* toUtf8(const unsigned short* src) {
    return convertAlloc<unsigned short, unsigned char>(src);
}
unsigned* toUtf32(const unsigned char* src) {
    return convertAlloc<unsigned char, unsigned>(src);
}
unsigned short* toUtf16(const unsigned char* src) {
    return convertAlloc<unsigned char, unsigned short>(src);
}

} // namespace Core
