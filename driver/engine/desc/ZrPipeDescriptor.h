// One endpoint of an interface's alternate setting, with the class-specific
// isochronous endpoint descriptor that follows it when present.
#pragma once

#include <cstdint>

#include "driver/engine/desc/ZrSimpleObject.h"

class USBByteBuffer;
class ZrInterfaceDescriptor;
struct APIEndpointInfo;

class ZrPipeDescriptor : public ZrSimpleObject {
public:
    explicit ZrPipeDescriptor(ZrInterfaceDescriptor* owner = nullptr) : mpInterface(owner) {}

    virtual bool scan(USBByteBuffer& buf);
    void clear();
    void getAPIEndpointInfo(APIEndpointInfo& info) const;

    enum : uint8_t { kIsochronous = 1, kBulk = 2, kInterrupt = 3 };

    uint8_t getAddress() const { return mEndpointAddress; }
    uint8_t getEndpointNumber() const { return mEndpointNumber; }
    uint8_t getAttributes() const { return mAttributes; }
    uint8_t getTransferType() const { return mAttributes & 3; }
    bool isIn() const { return (mEndpointAddress & 0x80) != 0; }
    uint16_t getRawMaxPacketSize() const { return mRawMaxPacketSize; }
    uint16_t getMaxPacketSize() const { return mMaxPacketSize; }
    uint16_t getTransactions() const { return mTransactions; }
    uint8_t getInterval() const { return mInterval; }
    uint8_t getRefresh() const { return mRefresh; }
    uint8_t getSynchAddress() const { return mSynchAddress; }
    uint32_t getSyncType() const { return mSyncType; }
    uint32_t getControls() const { return mControls; }
    uint8_t getMaxPacketsOnly() const { return mMaxPacketsOnly; }
    // Whether a class-specific endpoint descriptor followed the endpoint.
    bool hasClassEndpoint() const { return mHasClassEndpoint; }
    // The bandwidth in use (bytes per packet): the max packet size as
    // scanned, until the bandwidth check sets it.
    uint16_t getBandwidth() const { return mBandwidthMaxPacketSize; }
    void setBandwidth(uint16_t bytes) { mBandwidthMaxPacketSize = bytes; }
    uint8_t getLockDelayUnits() const { return mLockDelayUnits; }
    uint16_t getLockDelay() const { return mLockDelay; }
    ZrInterfaceDescriptor* getInterfaceDescriptor() const { return mpInterface; }

    // Endpoint tests. The IN and OUT audio bounds differ (32 and 33) as the
    // devices in the field need.
    bool isIsocInAudio() const {
        return isIn() && getTransferType() == kIsochronous && mMaxPacketSize >= 32;
    }
    bool isIsocOutAudio() const {
        return !isIn() && getTransferType() == kIsochronous && mMaxPacketSize >= 33;
    }
    bool isIsocInInRange(uint16_t lo, uint16_t hi) const {
        return isIn() && getTransferType() == kIsochronous && lo <= mMaxPacketSize &&
               mMaxPacketSize <= hi;
    }
    bool isIsocOutInRange(uint16_t lo, uint16_t hi) const {
        return !isIn() && getTransferType() == kIsochronous && lo <= mMaxPacketSize &&
               mMaxPacketSize <= hi;
    }
    bool isInterruptIn() const { return isIn() && getTransferType() == kInterrupt; }
    bool isInterruptOut() const { return !isIn() && getTransferType() == kInterrupt; }
    bool isBulkIn() const { return isIn() && getTransferType() == kBulk; }
    bool isBulkOut() const { return !isIn() && getTransferType() == kBulk; }
    bool isInterruptPipe() const { return getTransferType() == kInterrupt; }

private:
    uint8_t mEndpointAddress = 0;
    uint8_t mEndpointNumber = 0;
    uint8_t mAttributes = 0;
    uint16_t mRawMaxPacketSize = 0;
    uint16_t mTransactions = 0;
    uint16_t mMaxPacketSize = 0;
    uint8_t mInterval = 0;
    uint8_t mRefresh = 0;
    uint8_t mSynchAddress = 0;
    uint32_t mSyncType = 0;
    uint32_t mControls = 0;
    uint8_t mMaxPacketsOnly = 0;
    uint8_t mLockDelayUnits = 0;
    uint16_t mLockDelay = 0;
    ZrInterfaceDescriptor* mpInterface = nullptr;
    uint16_t mBandwidthMaxPacketSize = 0;
    bool mHasClassEndpoint = false;
};

class ZrHIDDescriptor : public ZrSimpleObject {
public:
    virtual bool scan(USBByteBuffer& buf);
    void clear();

    uint16_t getBcdHID() const { return mBcdHID; }
    uint8_t getCountryCode() const { return mCountryCode; }
    uint8_t getNumDescriptors() const { return mNumDescriptors; }
    uint8_t getClassDescriptorType() const { return mClassDescriptorType; }
    uint16_t getClassDescriptorLength() const { return mClassDescriptorLength; }

private:
    uint16_t mBcdHID = 0;
    uint8_t mCountryCode = 0;
    uint8_t mNumDescriptors = 0;
    uint8_t mClassDescriptorType = 0;
    uint16_t mClassDescriptorLength = 0;
};
