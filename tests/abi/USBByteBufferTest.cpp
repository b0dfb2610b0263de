#include <gtest/gtest.h>

#include <cstring>

#include "abi/QN_DeviceDescriptor.h"
#include "abi/USBByteBuffer.h"
#include "platform/base/HXLog.h"

namespace {

TEST(USBByteBuffer, PeekAtRemainingIsZeroAndForwardPastEndStopsAtSize) {
    uint8_t data[4] = {1, 2, 3, 4};
    USBByteBuffer b(data, 4);
    uint8_t x = 0;
    b >> x;
    EXPECT_EQ(b.getRemaining(), 3u);
    EXPECT_EQ(b.peek(2), 4);
    EXPECT_EQ(b.peek(3), 0); // n equal to the remaining count
    b.forward(10);
    EXPECT_EQ(b.getReadPosition(), 4u);
    EXPECT_EQ(b.getWritePosition(), 4u);
    EXPECT_EQ(b.rewind(2), 2u);
    EXPECT_EQ(b.rewind(7), 0u);
}

TEST(USBByteBuffer, ReadsPastTheEndNeverTouchBytesBeyondTheData) {
    uint8_t data[3] = {0x34, 0x12, 0xAB};
    USBByteBuffer b(data, 3);
    uint16_t w = 0;
    uint32_t d = 0xFFFFFFFF;
    b >> w >> d; // d gets one byte, the rest reads as zero
    EXPECT_EQ(w, 0x1234);
    EXPECT_EQ(d, 0xABu);
    uint8_t keep = 0x5A;
    b >> keep; // a one-byte read at the end leaves the destination alone
    EXPECT_EQ(keep, 0x5A);
}

TEST(USBByteBuffer, WritesAreLittleEndianAndBounded) {
    uint8_t data[5] = {};
    USBByteBuffer b(data, 5);
    b << uint32_t(0x11223344) << uint16_t(0xBEEF);
    EXPECT_EQ(data[0], 0x44);
    EXPECT_EQ(data[3], 0x11);
    EXPECT_EQ(data[4], 0xEF); // only the byte that fits
}

const uint8_t kDescriptor[18] = {18,   1,    0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x34,
                                 0x12, 0x78, 0x56, 0x01, 0x01, 1,    2,    3,  1};

TEST(QN_DeviceDescriptor, ScanFillsEveryField) {
    USBByteBuffer b(kDescriptor, sizeof(kDescriptor));
    QN_DeviceDescriptor d;
    d.scan(b);
    EXPECT_EQ(d.m_uBcdUSB, 0x0200);
    EXPECT_EQ(d.m_uDeviceClass, 0xFF);
    EXPECT_EQ(d.m_uMaxPacketSize, 64);
    EXPECT_EQ(d.m_uVendor, 0x1234);
    EXPECT_EQ(d.m_uProduct, 0x5678);
    EXPECT_EQ(d.m_uBcdDevice, 0x0101);
    EXPECT_EQ(d.m_uManufacturerStringIndex, 1);
    EXPECT_EQ(d.m_uProductStringIndex, 2);
    EXPECT_EQ(d.m_uSerialNumberStringIndex, 3);
    EXPECT_EQ(d.m_uNumConfigurations, 1);
}

TEST(QN_DeviceDescriptor, ShortWrongTypeAndTruncatedDescriptorsLeaveZeros) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* log;
    } cases[] = {
        {{17, 1, 0, 2}, "Buffer to small. Requested 0x12, Size is:17"},
        {{18, 2, 0, 2, 0xFF}, "Wrong descriptor type :2"},
        {{18, 1, 0x10, 0x01, 9, 9, 9}, nullptr}, // device sent fewer bytes than it claims
    };
    for (auto& c : cases) {
        hx::log::Capture cap;
        QN_DeviceDescriptor d;
        std::memset(&d, 0xCC, sizeof d);
        USBByteBuffer b(c.bytes.data(), uint32_t(c.bytes.size()));
        d.scan(b);
        EXPECT_EQ(d.m_uVendor, 0);
        EXPECT_EQ(d.m_uNumConfigurations, 0);
        if (c.log)
            EXPECT_NE(cap.text().find(c.log), std::string::npos) << cap.text();
        else
            EXPECT_EQ(d.m_uBcdUSB, 0x0110);
    }
}

} // namespace
