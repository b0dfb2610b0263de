// One configuration descriptor set: the configuration's own bytes and its
// interfaces (alternate setting 0 objects, each holding its alternates).
#pragma once

#include <cstdint>

#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrSimpleObject.h"

class USBByteBuffer;
class ZrDeviceIds;
struct APIConfigInfo;

class ZrConfigurationDescriptor : public ZrSimpleObject {
public:
    ZrConfigurationDescriptor() = default;
    ~ZrConfigurationDescriptor() override = default;

    bool scan(USBByteBuffer& buf, const ZrDeviceIds& ids);
    void clear();

    ZrInterfaceDescriptor* getInterface(int number) const;
    ZrInterfaceDescriptor* getInterfaceByIndex(int i) const {
        return mInterfaces.at<ZrInterfaceDescriptor>(i);
    }
    int getCountInterfaces() const { return mInterfaces.count(); }

    ZrInterfaceDescriptor* findAudioControlInterface() const;
    ZrInterfaceDescriptor* findAudioStreamingInInterface() const;
    ZrInterfaceDescriptor* findAudioStreamingOutInterface() const;
    ZrInterfaceDescriptor* findHIDInterface() const;
    ZrInterfaceDescriptor* findVendorInterface() const;
    ZrInterfaceDescriptor* findMidiInterface() const;

    void getAPIConfigInfo(APIConfigInfo& info, const ZrDeviceIds& ids) const;

    uint8_t getNumInterfaces() const { return mNumInterfaces; }
    uint8_t getConfigurationValue() const { return mConfigurationValue; }
    uint8_t getStringIndex() const { return mConfigurationString; }
    uint8_t getAttributes() const { return mAttributes; }
    uint8_t getMaxPower() const { return mMaxPower; }

private:
    ZrInterfaceDescriptor* findFirst(bool (ZrInterfaceDescriptor::*test)() const) const;

    ZrSimpleArray mInterfaces;
    uint8_t mNumInterfaces = 0;
    uint8_t mConfigurationValue = 0;
    uint8_t mConfigurationString = 0;
    uint8_t mAttributes = 0;
    uint8_t mMaxPower = 0;
};
