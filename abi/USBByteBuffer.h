// A little-endian byte cursor over USB descriptor data.
//
// The data is not owned. Every read is bounded by the size: a read past the
// end copies what is there and leaves the rest of the destination alone
// (1-byte reads) or reads missing bytes as 0 (2- and 4-byte reads), so a
// descriptor cut short by the device can never make the driver read beyond
// the bytes it received.
#pragma once

#include <cstdint>

class USBByteBuffer {
public:
    USBByteBuffer() = default;
    USBByteBuffer(uint8_t* data, uint32_t size) : mData(data), mSize(size) {}
    USBByteBuffer(const uint8_t* data, uint32_t size)
        : mData(const_cast<uint8_t*>(data)), mSize(size) {}

    void setBuffer(uint8_t* data, uint32_t size);

    uint32_t getSize() const { return mSize; }
    uint32_t getRemaining() const { return mReadPos <= mSize ? mSize - mReadPos : 0; }
    uint32_t getReadPosition() const { return mReadPos; }
    uint32_t getWritePosition() const { return mWritePos; }
    const uint8_t* getData() const { return mData; }

    void rewind() { mReadPos = 0; }
    uint32_t rewind(uint32_t n);
    void forward();
    void forward(uint32_t n);

    // The byte n places after the read position; 0 at or beyond the end.
    uint8_t peek(uint32_t n) const;
    void poke(uint32_t n, uint8_t value);

    void read(void* dest, uint32_t n);
    void write(const void* src, uint32_t n);

    USBByteBuffer& operator>>(bool& v);
    USBByteBuffer& operator>>(int8_t& v);
    USBByteBuffer& operator>>(uint8_t& v);
    USBByteBuffer& operator>>(int16_t& v);
    USBByteBuffer& operator>>(uint16_t& v);
    USBByteBuffer& operator>>(int32_t& v);
    USBByteBuffer& operator>>(uint32_t& v);

    USBByteBuffer& operator<<(bool v);
    USBByteBuffer& operator<<(int8_t v);
    USBByteBuffer& operator<<(uint8_t v);
    USBByteBuffer& operator<<(int16_t v);
    USBByteBuffer& operator<<(uint16_t v);
    USBByteBuffer& operator<<(int32_t v);
    USBByteBuffer& operator<<(uint32_t v);

private:
    uint32_t readLE(unsigned width);
    void writeLE(uint32_t value, unsigned width);

    uint8_t* mData = nullptr;
    uint32_t mSize = 0;
    uint32_t mReadPos = 0;
    uint32_t mWritePos = 0;
};
