#include "libs/tools/ZrByteBuffer.h"

#include <cstring>
#include <new>

namespace {

unsigned char* zeroedBytes(unsigned n) {
    return new (std::nothrow) unsigned char[n]();
}

char const kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ@abcdefghijklmnopqrstuvwxyz#";
static_assert(sizeof kAlphabet == 65, "64 characters and the terminator");

unsigned char alphabetValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c == '@') return 36;
    if (c >= 'a' && c <= 'z') return c - 'a' + 37;
    if (c == '#') return 63;
    return 255;
}

} // namespace

// ---- storage ----

ZrByteBuffer::ZrByteBuffer() : buffer(nullptr), size(0), readPos(0), writePos(0), borrowed(false) {}

ZrByteBuffer::ZrByteBuffer(unsigned n)
    : buffer(zeroedBytes(n)), size(0), readPos(0), writePos(0), borrowed(false) {
    if (buffer) size = n;
}

ZrByteBuffer::ZrByteBuffer(unsigned char* data, unsigned n)
    : buffer(data), size(n), readPos(0), writePos(0), borrowed(true) {}

ZrByteBuffer::~ZrByteBuffer() {
    if (buffer && !borrowed) delete[] buffer;
}

void ZrByteBuffer::resize(unsigned n) {
    if (borrowed) return;
    delete[] buffer;
    buffer = zeroedBytes(n);
    size = buffer ? n : 0;
    readPos = writePos = 0;
}

void ZrByteBuffer::resizeAndKeep(unsigned n) {
    if (borrowed) return;
    unsigned char* grown = zeroedBytes(n);
    if (!grown) return;
    if (buffer) std::memcpy(grown, buffer, n < size ? n : size);
    delete[] buffer;
    buffer = grown;
    size = n;
    if (readPos > n) readPos = n;
    if (writePos > n) writePos = n;
}

void ZrByteBuffer::setBuffer(unsigned char* data, unsigned n) {
    if (!borrowed) delete[] buffer;
    buffer = data;
    size = n;
    readPos = writePos = 0;
    borrowed = true;
}

unsigned char* ZrByteBuffer::releaseBuffer() {
    unsigned char* out = buffer;
    buffer = nullptr;
    size = readPos = writePos = 0;
    borrowed = false;
    return out;
}

// ---- positions ----

void ZrByteBuffer::rewind() {
    readPos = writePos = 0;
}

void ZrByteBuffer::forward() {
    readPos = writePos = size;
}

void ZrByteBuffer::rewind(unsigned n) {
    readPos = readPos < n ? 0 : readPos - n;
    writePos = writePos < n ? 0 : writePos - n;
}

void ZrByteBuffer::forward(unsigned n) {
    if (n > getRemaining()) {
        forward();
        return;
    }
    readPos += n;
    writePos += n;
}

unsigned char ZrByteBuffer::peek(unsigned i) const {
    if (i >= getRemaining()) return 0;
    return buffer[readPos + i];
}

// ---- raw transfer ----

unsigned ZrByteBuffer::readUpTo(unsigned char* dst, unsigned n) {
    if (!dst || !buffer) return 0;
    unsigned left = readPos < size ? size - readPos : 0;
    if (n > left) n = left;
    std::memmove(dst, buffer + readPos, n);
    readPos += n;
    return n;
}

ZrByteBuffer& ZrByteBuffer::read(void* dst, unsigned n) {
    readUpTo(static_cast<unsigned char*>(dst), n);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::readAndAlloc(void*& dst, unsigned n) {
    // Zeroed, so a short read leaves no uninitialised bytes for the caller.
    dst = new unsigned char[n]();
    return read(dst, n);
}

ZrByteBuffer& ZrByteBuffer::writeBytes(void const* data, unsigned n) {
    if (!data) return *this;
    if (static_cast<unsigned long long>(writePos) + n > size && !borrowed) {
        unsigned long long grown = 2ull * (static_cast<unsigned long long>(size) + n);
        if (grown > 0xFFFFFFFFull) grown = 0xFFFFFFFFull;
        resizeAndKeep(static_cast<unsigned>(grown));
    }
    // A borrowed (or unexpandable) buffer takes what fits.
    if (writePos >= size) return *this;
    if (n > size - writePos) n = size - writePos;
    std::memmove(buffer + writePos, data, n);
    writePos += n;
    return *this;
}

ZrByteBuffer& ZrByteBuffer::write(char const* data, unsigned n) {
    return writeBytes(data, n);
}

ZrByteBuffer& ZrByteBuffer::write(void* data, unsigned n) {
    return writeBytes(data, n);
}

// ---- typed output ----

ZrByteBuffer& ZrByteBuffer::operator<<(signed char v) {
    return writeBytes(&v, 1);
}

ZrByteBuffer& ZrByteBuffer::operator<<(unsigned char v) {
    return writeBytes(&v, 1);
}

ZrByteBuffer& ZrByteBuffer::operator<<(bool v) {
    return *this << static_cast<unsigned char>(v ? 1 : 0);
}

ZrByteBuffer& ZrByteBuffer::operator<<(short v) {
    return *this << static_cast<unsigned short>(v);
}

ZrByteBuffer& ZrByteBuffer::operator<<(unsigned short v) {
    unsigned char b[2] = {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8)};
    return writeBytes(b, 2);
}

ZrByteBuffer& ZrByteBuffer::operator<<(int v) {
    return *this << static_cast<unsigned int>(v);
}

ZrByteBuffer& ZrByteBuffer::operator<<(unsigned int v) {
    unsigned char b[4] = {
        static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF),
        static_cast<unsigned char>((v >> 16) & 0xFF), static_cast<unsigned char>(v >> 24)};
    return writeBytes(b, 4);
}

ZrByteBuffer& ZrByteBuffer::operator<<(ZrString const& v) {
    unsigned n = static_cast<unsigned>(v.getLength()) + 1;
    *this << n;
    return writeBytes(static_cast<char const*>(v), n);
}

ZrByteBuffer& ZrByteBuffer::operator<<(ZrByteBuffer const& v) {
    unsigned n = v.writePos;
    if (&v == this) {
        // Our own bytes may move while we grow: write from a copy.
        unsigned char* copy = new unsigned char[n ? n : 1];
        std::memcpy(copy, buffer, n);
        *this << n;
        writeBytes(copy, n);
        delete[] copy;
        return *this;
    }
    *this << n;
    return writeBytes(v.buffer, n);
}

// ---- typed input ----

ZrByteBuffer& ZrByteBuffer::operator>>(signed char& v) {
    unsigned char b;
    if (readUpTo(&b, 1) == 1) v = static_cast<signed char>(b);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(unsigned char& v) {
    unsigned char b;
    if (readUpTo(&b, 1) == 1) v = b;
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(bool& v) {
    unsigned char b = 0;
    readUpTo(&b, 1);
    v = (b == 1);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(short& v) {
    unsigned short u;
    *this >> u;
    v = static_cast<short>(u);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(unsigned short& v) {
    unsigned char b[2] = {0, 0};
    readUpTo(b, 2);
    v = static_cast<unsigned short>(b[0] | (b[1] << 8));
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(int& v) {
    unsigned int u;
    *this >> u;
    v = static_cast<int>(u);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(unsigned int& v) {
    unsigned char b[4] = {0, 0, 0, 0};
    readUpTo(b, 4);
    v = static_cast<unsigned int>(b[0]) | (static_cast<unsigned int>(b[1]) << 8) |
        (static_cast<unsigned int>(b[2]) << 16) | (static_cast<unsigned int>(b[3]) << 24);
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(ZrString& v) {
    unsigned n = 0;
    *this >> n;
    // A count beyond the remaining bytes (or beyond what a string can hold)
    // gives the empty text; the count stays consumed.
    if (n > getRemaining() || n > 0x7FFFFF00u) {
        v.assign("");
        return *this;
    }
    v.setLength(static_cast<int>(n));
    readUpTo(reinterpret_cast<unsigned char*>(v.text), n);
    v.countLength();
    return *this;
}

ZrByteBuffer& ZrByteBuffer::operator>>(ZrByteBuffer& v) {
    unsigned n = 0;
    *this >> n;
    if (&v == this) {
        // Reading a buffer into itself: skip the announced bytes.
        forward(n);
        return *this;
    }
    if (n > getRemaining()) {
        v.resize(0);
        v.rewind();
        return *this;
    }
    v.resize(n);
    v.rewind();
    // A borrowed target cannot grow: it takes what fits, the rest of the
    // announced bytes is still consumed so the stream stays in step.
    unsigned take = n < v.size ? n : v.size;
    readUpTo(v.buffer, take);
    forward(n - take);
    v.writePos = take;
    return *this;
}

// ---- six-bit text ----

void ZrByteBuffer::uuEncode(ZrByteBuffer& src) {
    resize(0);
    src.rewind();
    while (!src.eos()) {
        unsigned char b[3] = {0, 0, 0};
        unsigned got = src.readUpTo(b, 3);
        unsigned long v = (static_cast<unsigned long>(b[0]) << 16) |
                          (static_cast<unsigned long>(b[1]) << 8) | b[2];
        char out[4] = {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63],
                       kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
        writeBytes(out, got + 1);
    }
}

void ZrByteBuffer::uuDecode(ZrByteBuffer& src) {
    resize(0);
    src.rewind();
    while (!src.eos()) {
        unsigned char c[4] = {255, 255, 255, 255};
        src.readUpTo(&c[0], 1);
        unsigned k = 3;
        for (int i = 1; i < 4; ++i) {
            if (src.eos())
                --k;
            else
                src.readUpTo(&c[i], 1);
        }
        unsigned long v = 0;
        v += static_cast<unsigned long>(alphabetValue(c[0])) * 262144ul;
        v += static_cast<unsigned long>(alphabetValue(c[1])) * 4096ul;
        v += static_cast<unsigned long>(alphabetValue(c[2])) * 64ul;
        v += static_cast<unsigned long>(alphabetValue(c[3]));
        unsigned char out[3] = {static_cast<unsigned char>((v >> 16) & 0xFF),
                                static_cast<unsigned char>((v >> 8) & 0xFF),
                                static_cast<unsigned char>(v & 0xFF)};
        writeBytes(out, k);
    }
}
