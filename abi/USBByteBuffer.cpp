#include "abi/USBByteBuffer.h"

#include <cstring>

#include "abi/QN_DeviceDescriptor.h"
#include "platform/base/HXLog.h"

void USBByteBuffer::setBuffer(uint8_t* data, uint32_t size) {
    mData = data;
    mSize = size;
    mReadPos = 0;
    mWritePos = 0;
}

uint32_t USBByteBuffer::rewind(uint32_t n) {
    mReadPos = n < mReadPos ? mReadPos - n : 0;
    mWritePos = n < mWritePos ? mWritePos - n : 0;
    return mReadPos;
}

void USBByteBuffer::forward() {
    mReadPos = mSize;
    mWritePos = mSize;
}

void USBByteBuffer::forward(uint32_t n) {
    if (getRemaining() >= n) {
        mReadPos += n;
        mWritePos = (mWritePos + n <= mSize) ? mWritePos + n : mSize;
    } else {
        forward();
    }
}

uint8_t USBByteBuffer::peek(uint32_t n) const {
    if (!mData || n >= getRemaining()) return 0;
    return mData[mReadPos + n];
}

void USBByteBuffer::poke(uint32_t n, uint8_t value) {
    if (!mData || n >= getRemaining()) return;
    mData[mReadPos + n] = value;
}

void USBByteBuffer::read(void* dest, uint32_t n) {
    if (!dest || !mData || n == 0) return;
    uint32_t avail = getRemaining();
    uint32_t take = n < avail ? n : avail;
    std::memcpy(dest, mData + mReadPos, take);
    mReadPos += take;
}

void USBByteBuffer::write(const void* src, uint32_t n) {
    if (!src || !mData || n == 0 || mWritePos >= mSize) return;
    uint32_t avail = mSize - mWritePos;
    uint32_t take = n < avail ? n : avail;
    std::memcpy(mData + mWritePos, src, take);
    mWritePos += take;
}

uint32_t USBByteBuffer::readLE(unsigned width) {
    uint8_t tmp[4] = {0, 0, 0, 0};
    read(tmp, width);
    return uint32_t(tmp[0]) | uint32_t(tmp[1]) << 8 | uint32_t(tmp[2]) << 16 |
           uint32_t(tmp[3]) << 24;
}

void USBByteBuffer::writeLE(uint32_t value, unsigned width) {
    uint8_t tmp[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                      uint8_t(value >> 24)};
    write(tmp, width);
}

// One-byte reads go straight into the destination, which stays as it was at
// the end of the data.
USBByteBuffer& USBByteBuffer::operator>>(bool& v) {
    uint8_t b = v ? 1 : 0;
    read(&b, 1);
    v = b != 0;
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(int8_t& v) {
    read(&v, 1);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(uint8_t& v) {
    read(&v, 1);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(int16_t& v) {
    v = int16_t(readLE(2));
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(uint16_t& v) {
    v = uint16_t(readLE(2));
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(int32_t& v) {
    v = int32_t(readLE(4));
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(uint32_t& v) {
    v = readLE(4);
    return *this;
}

USBByteBuffer& USBByteBuffer::operator<<(bool v) {
    writeLE(v ? 1 : 0, 1);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(int8_t v) {
    writeLE(uint8_t(v), 1);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(uint8_t v) {
    writeLE(v, 1);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(int16_t v) {
    writeLE(uint16_t(v), 2);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(uint16_t v) {
    writeLE(v, 2);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(int32_t v) {
    writeLE(uint32_t(v), 4);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(uint32_t v) {
    writeLE(v, 4);
    return *this;
}

void QN_DeviceDescriptor::scan(USBByteBuffer& buffer) {
    std::memset(this, 0, sizeof(*this));
    uint8_t length = 0;
    buffer >> length;
    if (length < 18) {
        IOLog("ZrDeviceDescriptor::scan - Buffer to small. Requested 0x12, Size is:%d\n", length);
        return;
    }
    uint8_t type = 0;
    buffer >> type;
    if (type != 1) {
        IOLog("ZrDeviceDescriptor::scan - Wrong descriptor type :%d\n", type);
        return;
    }
    // Packed members cannot bind to references: read into locals.
    uint16_t bcdUSB = 0, vendor = 0, product = 0, bcdDevice = 0;
    uint8_t cls = 0, sub = 0, proto = 0, maxPacket = 0, iManu = 0, iProd = 0, iSerial = 0,
            numConf = 0;
    buffer >> bcdUSB >> cls >> sub >> proto >> maxPacket >> vendor >> product >> bcdDevice >>
        iManu >> iProd >> iSerial >> numConf;
    m_uBcdUSB = bcdUSB;
    m_uDeviceClass = cls;
    m_uDeviceSubClass = sub;
    m_uDeviceProtocol = proto;
    m_uMaxPacketSize = maxPacket;
    m_uVendor = vendor;
    m_uProduct = product;
    m_uBcdDevice = bcdDevice;
    m_uManufacturerStringIndex = iManu;
    m_uProductStringIndex = iProd;
    m_uSerialNumberStringIndex = iSerial;
    m_uNumConfigurations = numConf;
}
