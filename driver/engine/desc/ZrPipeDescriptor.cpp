#include "driver/engine/desc/ZrPipeDescriptor.h"

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/DescriptorCursor.h"

using namespace DescriptorCursor;

void ZrPipeDescriptor::clear() {
    mEndpointAddress = mEndpointNumber = mAttributes = 0;
    mRawMaxPacketSize = mTransactions = mMaxPacketSize = mBandwidthMaxPacketSize = 0;
    mInterval = mRefresh = mSynchAddress = 0;
    mSyncType = mControls = 0;
    mMaxPacketsOnly = mLockDelayUnits = 0;
    mLockDelay = 0;
    mHasClassEndpoint = false;
}

bool ZrPipeDescriptor::scan(USBByteBuffer& buf) {
    clear();
    uint32_t start = buf.getReadPosition();
    uint8_t length = 0, type = 0;
    buf >> length;
    if (length != 7 && length != 9) {
        skipDescriptor(buf, start, length);
        return false;
    }
    buf >> type;
    if (type != kTypeEndpoint) {
        skipDescriptor(buf, start, length);
        return false;
    }
    buf >> mEndpointAddress >> mAttributes >> mRawMaxPacketSize >> mInterval;
    mEndpointNumber = mEndpointAddress & 0x0F;
    mSyncType = (mAttributes >> 2) & 3;
    uint16_t transactions = ((mRawMaxPacketSize >> 11) & 3) + 1;
    mTransactions = transactions > 3 ? 3 : transactions;
    mMaxPacketSize = mRawMaxPacketSize & 0x7FF;
    mBandwidthMaxPacketSize = mMaxPacketSize;
    if (length == 9) buf >> mRefresh >> mSynchAddress;
    skipDescriptor(buf, start, length);

    // The class-specific endpoint descriptor that follows belongs to this
    // endpoint; only fields inside its own length are read.
    if (!endsSet(buf) && buf.peek(1) == kTypeCSEndpoint) {
        uint32_t csStart = buf.getReadPosition();
        uint8_t csLength = buf.peek(0);
        mHasClassEndpoint = true;
        if (csLength >= 4) {
            uint8_t attributes = buf.peek(3);
            mControls = attributes & 3;
            mMaxPacketsOnly = (attributes >> 7) & 1;
        }
        if (csLength >= 5) mLockDelayUnits = buf.peek(4);
        if (csLength >= 7) mLockDelay = uint16_t(buf.peek(5) | buf.peek(6) << 8);
        skipDescriptor(buf, csStart, csLength);
    } else if (length == 7) {
        mMaxPacketsOnly = 1;
    }

    if (mInterval == 1 || mInterval == 4) return true;
    if (getTransferType() == kIsochronous)
        return isIn() ? mMaxPacketSize < 32 : mMaxPacketSize <= 32;
    return true;
}

void ZrPipeDescriptor::getAPIEndpointInfo(APIEndpointInfo& info) const {
    info.wMaxPacketSize = mRawMaxPacketSize;
    info.bEndpointAddress = mEndpointAddress;
}

void ZrHIDDescriptor::clear() {
    mBcdHID = 0;
    mCountryCode = mNumDescriptors = mClassDescriptorType = 0;
    mClassDescriptorLength = 0;
}

bool ZrHIDDescriptor::scan(USBByteBuffer& buf) {
    clear();
    uint32_t start = buf.getReadPosition();
    uint8_t length = 0, type = 0;
    buf >> length;
    if (length >= 9) buf >> type;
    if (length >= 9 && type == kTypeHID)
        buf >> mBcdHID >> mCountryCode >> mNumDescriptors >> mClassDescriptorType >>
            mClassDescriptorLength;
    // A HID descriptor may list further class descriptors after the first:
    // the next descriptor still starts at bLength.
    skipDescriptor(buf, start, length);
    return length >= 9 && type == kTypeHID;
}
