// A byte array with a read and a write position: a growable output stream
// when it owns its bytes, a fixed window when it borrows them. The typed
// operators serialise little-endian; uuEncode/uuDecode convert to and from
// the library's six-bit text alphabet.
#pragma once

#include "libs/tools/ZrString.h"

class ZrByteBuffer {
public:
    ZrByteBuffer();
    explicit ZrByteBuffer(unsigned n);
    ZrByteBuffer(unsigned char* data, unsigned n);
    ~ZrByteBuffer();
    ZrByteBuffer(ZrByteBuffer const&) = delete;
    ZrByteBuffer& operator=(ZrByteBuffer const&) = delete;

    void resize(unsigned n);
    void resizeAndKeep(unsigned n);
    void setBuffer(unsigned char* data, unsigned n);
    unsigned char* releaseBuffer();
    unsigned char* getBuffer() const { return buffer; }
    unsigned getSize() const { return size; }
    unsigned getRemaining() const { return size - readPos; }
    bool eos() const { return getRemaining() == 0; }
    unsigned getReadPos() const { return readPos; }
    unsigned getWritePos() const { return writePos; }
    bool isBorrowed() const { return borrowed; }

    void rewind();
    void forward();
    void rewind(unsigned n);
    void forward(unsigned n);
    unsigned char peek(unsigned i) const;

    ZrByteBuffer& read(void* dst, unsigned n);
    ZrByteBuffer& readAndAlloc(void*& dst, unsigned n);
    ZrByteBuffer& write(char const* data, unsigned n);
    ZrByteBuffer& write(void* data, unsigned n);

    ZrByteBuffer& operator<<(signed char v);
    ZrByteBuffer& operator<<(unsigned char v);
    ZrByteBuffer& operator<<(bool v);
    ZrByteBuffer& operator<<(short v);
    ZrByteBuffer& operator<<(unsigned short v);
    ZrByteBuffer& operator<<(int v);
    ZrByteBuffer& operator<<(unsigned int v);
    ZrByteBuffer& operator<<(ZrString const& v);
    ZrByteBuffer& operator<<(ZrByteBuffer const& v);

    ZrByteBuffer& operator>>(signed char& v);
    ZrByteBuffer& operator>>(unsigned char& v);
    ZrByteBuffer& operator>>(bool& v);
    ZrByteBuffer& operator>>(short& v);
    ZrByteBuffer& operator>>(unsigned short& v);
    ZrByteBuffer& operator>>(int& v);
    ZrByteBuffer& operator>>(unsigned int& v);
    ZrByteBuffer& operator>>(ZrString& v);
    ZrByteBuffer& operator>>(ZrByteBuffer& v);

    void uuEncode(ZrByteBuffer& src);
    void uuDecode(ZrByteBuffer& src);

private:
    ZrByteBuffer& writeBytes(void const* data, unsigned n);
    unsigned readUpTo(unsigned char* dst, unsigned n);

    unsigned char* buffer;
    unsigned size;
    unsigned readPos;
    unsigned writePos;
    bool borrowed;
};
