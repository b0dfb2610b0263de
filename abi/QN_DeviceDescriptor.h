// The USB device descriptor fields as the kernel driver reports them to user
// space (16 bytes, little-endian), and the scan that fills them from the
// 18-byte descriptor the device sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class USBByteBuffer;

#pragma pack(push, 1)
struct QN_DeviceDescriptor {
    uint16_t m_uBcdUSB;
    uint8_t m_uDeviceClass;
    uint8_t m_uDeviceSubClass;
    uint8_t m_uDeviceProtocol;
    uint8_t m_uMaxPacketSize;
    uint16_t m_uVendor;
    uint16_t m_uProduct;
    uint16_t m_uBcdDevice;
    uint8_t m_uManufacturerStringIndex;
    uint8_t m_uProductStringIndex;
    uint8_t m_uSerialNumberStringIndex;
    uint8_t m_uNumConfigurations;

    // Zeroes the record, then reads the descriptor from the cursor. A short
    // or mistyped descriptor is logged and leaves the rest of the record 0:
    // the bytes come from the device and are not trusted.
    void scan(USBByteBuffer& buffer);

    // Vendor and product match; the release number too unless bcdDevice is
    // 0xFFFF (any release).
    bool isDevice(uint16_t vendor, uint16_t product, uint16_t bcdDevice) const {
        return m_uVendor == vendor && m_uProduct == product &&
               (bcdDevice == 0xFFFF || m_uBcdDevice == bcdDevice);
    }
    void clear() { std::memset(this, 0, sizeof *this); }
};
#pragma pack(pop)

static_assert(sizeof(QN_DeviceDescriptor) == 16);
static_assert(offsetof(QN_DeviceDescriptor, m_uVendor) == 6);
static_assert(offsetof(QN_DeviceDescriptor, m_uBcdDevice) == 10);
static_assert(offsetof(QN_DeviceDescriptor, m_uNumConfigurations) == 15);
