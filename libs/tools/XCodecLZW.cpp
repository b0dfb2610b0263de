#include "libs/tools/XCodecLZW.h"

#include <new>

namespace {

constexpr unsigned kLiterals = 256;
constexpr unsigned char kStartWidth = 9;
// The decoder adds each entry one code after the encoder, so it meets the
// encoder's restart point (next code 4096) at 4094.
constexpr unsigned kDecoderRestart = XCodecLZW::kDictionarySize - 2;

void resetHalf(unsigned& acc, unsigned char& bits, unsigned& inAcc, unsigned char& inBits) {
    acc = 0;
    bits = 0;
    inAcc = 0;
    inBits = 0;
}

// An owned output ends exactly at its content, so it can be read (or
// decoded) straight away; a borrowed one keeps its size and writePos marks
// the content.
void trimOutput(ZrByteBuffer& out) {
    if (!out.isBorrowed()) out.resizeAndKeep(out.getWritePos());
}

void emptyOutput(ZrByteBuffer& out) {
    out.resize(0);
    out.rewind();
}

} // namespace

XCodecLZW::XCodecLZW()
    : mEnc(), mDec(), mEncodeDictionary(nullptr), mDecodeDictionary(nullptr),
      mDecodeEntries(nullptr), mOutputShort(false) {
    mEnc.startWidth = mDec.startWidth = kStartWidth;
    mEnc.width = mDec.width = kStartWidth;
    mEnc.literalCount = mDec.literalCount = 1u << (kStartWidth - 1);
    mEnc.highestLiteral = mDec.highestLiteral = kLiterals - 1;
    mEnc.nextCode = mDec.nextCode = kLiterals;
}

XCodecLZW::~XCodecLZW() {
    delete[] mEncodeDictionary;
    delete[] mDecodeDictionary;
    delete[] mDecodeEntries;
}

// ---------------------------------------------------------------- encoder

bool XCodecLZW::initDictionary_1_Encode() {
    for (unsigned i = 0; i < kLiterals; ++i) {
        XEncodeDictionaryValue* e =
            new (std::nothrow) XEncodeDictionaryValue{i, i, nullptr, nullptr};
        if (!e) {
            removeDictionaryEncode();
            return false;
        }
        mEncodeDictionary[i] = e;
    }
    mEnc.nextCode = kLiterals;
    mEnc.width = mEnc.startWidth;
    return true;
}

void XCodecLZW::initDictionary_2_Encode() {
    for (unsigned i = 0; i < kDictionarySize; ++i) {
        XEncodeDictionaryValue* e = mEncodeDictionary[i];
        if (!e) continue;
        e->firstChild = nullptr;
        e->nextSibling = nullptr;
    }
    mEnc.nextCode = kLiterals;
    mEnc.width = mEnc.startWidth;
}

XEncodeDictionaryValue* XCodecLZW::findNode(XEncodeDictionaryValue* entry, unsigned byte) {
    XEncodeDictionaryValue* n = entry->firstChild;
    if (!n) return entry;
    while (n->byte != byte && n->nextSibling)
        n = n->nextSibling;
    return n;
}

bool XCodecLZW::addNode(XEncodeDictionaryValue* entry, XEncodeDictionaryValue* found,
                        unsigned byte) {
    XEncodeDictionaryValue* e = mEncodeDictionary[mEnc.nextCode];
    if (!e) {
        e = new (std::nothrow) XEncodeDictionaryValue{0, mEnc.nextCode, nullptr, nullptr};
        if (!e) return false;
        mEncodeDictionary[mEnc.nextCode] = e;
    }
    e->byte = byte;
    e->firstChild = nullptr;
    e->nextSibling = nullptr;
    if (!entry->firstChild)
        entry->firstChild = e;
    else
        found->nextSibling = e;
    ++mEnc.nextCode;
    if (mEnc.nextCode == (1u << mEnc.width)) ++mEnc.width;
    if (idDictionaryFull()) initDictionary_2_Encode();
    return true;
}

void XCodecLZW::putByte(unsigned char b, ZrByteBuffer& out) {
    unsigned before = out.getWritePos();
    out << b;
    if (out.getWritePos() == before) mOutputShort = true;
}

void XCodecLZW::writeCodeLR(unsigned code, ZrByteBuffer& out) {
    mEnc.outAccumulator = (mEnc.outAccumulator << mEnc.width) | code;
    mEnc.outBits = static_cast<unsigned char>(mEnc.outBits + mEnc.width);
    while (mEnc.outBits >= 8) {
        mEnc.outBits = static_cast<unsigned char>(mEnc.outBits - 8);
        putByte(static_cast<unsigned char>((mEnc.outAccumulator >> mEnc.outBits) & 0xFF), out);
        mEnc.outAccumulator &= (1u << mEnc.outBits) - 1;
    }
}

void XCodecLZW::completeEncodingLR(ZrByteBuffer& out) {
    if (mEnc.outBits) {
        putByte(static_cast<unsigned char>((mEnc.outAccumulator << (8 - mEnc.outBits)) & 0xFF),
                out);
        mEnc.outAccumulator = 0;
        mEnc.outBits = 0;
    }
}

unsigned XCodecLZW::readInput(ZrByteBuffer& in) {
    if (mEnc.inBits < 8) {
        unsigned char b = 0;
        in >> b;
        mEnc.inAccumulator = (mEnc.inAccumulator << 8) | b;
        mEnc.inBits = static_cast<unsigned char>(mEnc.inBits + 8);
    }
    mEnc.inBits = static_cast<unsigned char>(mEnc.inBits - 8);
    unsigned v = (mEnc.inAccumulator >> mEnc.inBits) & 0xFF;
    mEnc.inAccumulator &= (1u << mEnc.inBits) - 1;
    return v;
}

bool XCodecLZW::isEndInput(ZrByteBuffer& in) const {
    return mEnc.inBits < 8 && in.eos();
}

void XCodecLZW::removeDictionaryEncode() {
    for (unsigned i = 0; i < kDictionarySize; ++i) {
        if (!mEncodeDictionary[i]) break;
        delete mEncodeDictionary[i];
        mEncodeDictionary[i] = nullptr;
    }
}

bool XCodecLZW::encode(ZrByteBuffer& in, ZrByteBuffer& out) {
    in.rewind();
    emptyOutput(out);
    resetHalf(mEnc.outAccumulator, mEnc.outBits, mEnc.inAccumulator, mEnc.inBits);
    mOutputShort = false;

    if (!mEncodeDictionary) {
        mEncodeDictionary = new (std::nothrow) XEncodeDictionaryValue*[kDictionarySize];
        if (!mEncodeDictionary) return false;
    }
    for (unsigned i = 0; i < kDictionarySize; ++i)
        mEncodeDictionary[i] = nullptr;

    if (in.eos()) {
        trimOutput(out);
        return true;
    }
    if (!initDictionary_1_Encode()) return false;

    XEncodeDictionaryValue* w = mEncodeDictionary[readInput(in)];
    while (!isEndInput(in)) {
        unsigned c = readInput(in);
        XEncodeDictionaryValue* n = findNode(w, c);
        if (n != w && n->byte == c) {
            w = n;
            continue;
        }
        writeCodeLR(w->code, out);
        if (!addNode(w, n, c)) {
            removeDictionaryEncode();
            trimOutput(out);
            return false;
        }
        w = mEncodeDictionary[c];
    }
    writeCodeLR(w->code, out);
    completeEncodingLR(out);
    removeDictionaryEncode();
    trimOutput(out);
    return !mOutputShort;
}

// ---------------------------------------------------------------- decoder

bool XCodecLZW::initDictionary_1_Decode() {
    mDecodeEntries = new (std::nothrow) XDecodeDictionaryValue[kDictionarySize];
    if (!mDecodeEntries) return false;
    for (unsigned i = 0; i < kDictionarySize; ++i) {
        mDecodeEntries[i].byte = i < kLiterals ? i : 0;
        mDecodeEntries[i].prefix = nullptr;
        mDecodeDictionary[i] = &mDecodeEntries[i];
    }
    mDec.nextCode = kLiterals;
    mDec.width = mDec.startWidth;
    return true;
}

void XCodecLZW::initDictionary_2_Decode() {
    for (unsigned i = kLiterals; i < kDictionarySize; ++i)
        mDecodeDictionary[i]->prefix = nullptr;
    mDec.nextCode = kLiterals;
    mDec.width = mDec.startWidth;
}

bool XCodecLZW::readCodeLR(ZrByteBuffer& in, unsigned& code) {
    while (mDec.inBits < mDec.width) {
        // Input that ends inside a code has no more codes.
        if (in.eos()) return false;
        unsigned char b = 0;
        in >> b;
        mDec.inAccumulator = (mDec.inAccumulator << 8) | b;
        mDec.inBits = static_cast<unsigned char>(mDec.inBits + 8);
    }
    mDec.inBits = static_cast<unsigned char>(mDec.inBits - mDec.width);
    code = mDec.inAccumulator >> mDec.inBits;
    mDec.inAccumulator &= (1u << mDec.inBits) - 1;
    return true;
}

void XCodecLZW::writeOutput(unsigned char byte, ZrByteBuffer& out) {
    out << byte;
}

void XCodecLZW::completeOutput(ZrByteBuffer&) {}

void XCodecLZW::writeLink(XDecodeDictionaryValue* entry, unsigned& firstOut, ZrByteBuffer& out) {
    // Prefixes always point at lower codes, so a chain is at most the
    // dictionary long.
    unsigned char reversed[kDictionarySize];
    unsigned n = 0;
    while (entry && n < kDictionarySize) {
        reversed[n++] = static_cast<unsigned char>(entry->byte);
        entry = entry->prefix;
    }
    firstOut = n ? reversed[n - 1] : 0;
    while (n)
        writeOutput(reversed[--n], out);
}

void XCodecLZW::writeString(unsigned prev, unsigned code, unsigned& first, ZrByteBuffer& out) {
    if (code < mDec.nextCode) {
        writeLink(mDecodeDictionary[code], first, out);
    } else {
        // The string the encoder built from the previous one and used at
        // once: the previous string and its own first byte.
        writeLink(mDecodeDictionary[prev], first, out);
        writeOutput(static_cast<unsigned char>(first), out);
    }
}

void XCodecLZW::addString(unsigned prev, unsigned byte) {
    XDecodeDictionaryValue* e = mDecodeDictionary[mDec.nextCode];
    e->byte = byte;
    e->prefix = mDecodeDictionary[prev];
    ++mDec.nextCode;
    if (mDec.nextCode + 1 == (1u << mDec.width)) ++mDec.width;
}

void XCodecLZW::removeDictionaryDecode() {
    for (unsigned i = 0; i < kDictionarySize; ++i)
        mDecodeDictionary[i] = nullptr;
    delete[] mDecodeEntries;
    mDecodeEntries = nullptr;
}

void XCodecLZW::decode(ZrByteBuffer& in, ZrByteBuffer& out) {
    in.rewind();
    emptyOutput(out);
    resetHalf(mDec.outAccumulator, mDec.outBits, mDec.inAccumulator, mDec.inBits);

    if (!mDecodeDictionary) {
        mDecodeDictionary = new (std::nothrow) XDecodeDictionaryValue*[kDictionarySize];
        if (!mDecodeDictionary) return;
    }
    for (unsigned i = 0; i < kDictionarySize; ++i)
        mDecodeDictionary[i] = nullptr;

    if (in.eos() || !initDictionary_1_Decode()) {
        trimOutput(out);
        return;
    }

    // The first code, and the first after a restart, must be a literal: no
    // other string exists yet.
    unsigned k = 0;
    if (readCodeLR(in, k) && k < kLiterals) {
        unsigned first = 0;
        unsigned prev = k;
        writeString(prev, k, first, out);
        // readCodeLR is false once no whole code is left.
        while (readCodeLR(in, k)) {
            if (k > mDec.nextCode) break;
            writeString(prev, k, first, out);
            if (mDec.nextCode == kDecoderRestart) {
                initDictionary_2_Decode();
                if (!readCodeLR(in, k) || k >= kLiterals) break;
                writeString(k, k, first, out);
            } else {
                addString(prev, first);
            }
            prev = k;
        }
    }
    removeDictionaryDecode();
    completeOutput(out);
    trimOutput(out);
}
