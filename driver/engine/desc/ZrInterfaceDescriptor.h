// One interface of a configuration. The alternate-0 object holds the
// interface's other alternate settings as objects of the same class, each
// with its endpoints and class-specific records.
//
// The scan corrects the class of interfaces that some products present as
// vendor-specific, so every later stage sees ordinary USB Audio Class 1
// interfaces, and drops the weaker of two alternates that offer the same
// single-rate format.
#pragma once

#include <cstdint>

#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/desc/ZrClassInterfaceRecords.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/desc/ZrSimpleObject.h"

class USBByteBuffer;
class ZrConfigurationDescriptor;
struct APIInterfaceInfo;
struct APIInterfaceAlternateInfo;
struct APISpecificFeatures;

class ZrInterfaceDescriptor : public ZrSimpleObject {
public:
    ZrInterfaceDescriptor(ZrConfigurationDescriptor* configuration,
                          ZrInterfaceDescriptor* parent = nullptr)
        : mpConfiguration(configuration), mpParent(parent) {}
    ~ZrInterfaceDescriptor() override;

    bool scan(USBByteBuffer& buf, const ZrDeviceIds& ids);
    void clear();

    ZrInterfaceDescriptor* getAlternateSetting(int alt);
    ZrInterfaceDescriptor* getAlternateSettingByIndex(int i) const {
        return mAlternates.at<ZrInterfaceDescriptor>(i);
    }
    int getCountAlternateSettings() const { return mAlternates.count(); }
    ZrInterfaceDescriptorSpecificAS* getAudioStreamingSpecific(int i) const {
        return mAudioStreaming.at<ZrInterfaceDescriptorSpecificAS>(i);
    }
    int getCountAudioStreamingSpecific() const { return mAudioStreaming.count(); }
    ZrInterfaceDescriptorSpecificAC* getAudioControlSpecific(int i) const {
        return mAudioControl.at<ZrInterfaceDescriptorSpecificAC>(i);
    }
    int getCountAudioControlSpecific() const { return mAudioControl.count(); }
    ZrHIDDescriptor* getHIDByIndex(int i) const { return mHID.at<ZrHIDDescriptor>(i); }
    int getCountHID() const { return mHID.count(); }

    ZrPipeDescriptor* getPipeByIndex(int i) const { return mPipes.at<ZrPipeDescriptor>(i); }
    int getCountPipes() const { return mPipes.count(); }
    ZrPipeDescriptor* getPipeByID(uint8_t endpointNumber) const;
    ZrPipeDescriptor* getPipeByAddress(uint8_t address) const;
    ZrPipeDescriptor* getIsocInPipe() const;
    ZrPipeDescriptor* getIsocOutPipe() const;
    ZrPipeDescriptor* getIsocInPipeInRange(uint16_t lo, uint16_t hi) const;
    ZrPipeDescriptor* getIsocOutPipeInRange(uint16_t lo, uint16_t hi) const;
    ZrPipeDescriptor* getInterruptInPipe() const;
    ZrPipeDescriptor* getInterruptOutPipe() const;
    ZrPipeDescriptor* getBulkInPipe() const;
    ZrPipeDescriptor* getBulkOutPipe() const;

    ZrInterfaceDescriptor* findAlternateSetting(uint32_t rate, int channels, int resolution,
                                                const ZrDeviceIds& ids);
    bool hasCapabilities(uint32_t rate, int channels, int resolution, const ZrDeviceIds& ids);

    // The standard 9-byte interface descriptor rebuilt from the kept bytes.
    const uint8_t* getUSBInterfaceDescriptor();
    void makeAudioStreaming() {
        mInterfaceClass = 1;
        mInterfaceSubClass = 2;
    }
    ZrInterfaceDescriptorSpecificAS* getOrCreateAS(int i);
    ZrInterfaceDescriptorSpecificAS* createAS();

    void getAPIInterfaceInfo(APIInterfaceInfo& info, const ZrDeviceIds& ids);
    int getAPIInterfaceAlternateInfo(APIInterfaceAlternateInfo& info, const ZrDeviceIds& ids,
                                     int start);

    // Class tests on the kept class and subclass.
    bool isAudioControl() const { return mInterfaceClass == 1 && mInterfaceSubClass == 1; }
    bool isAudioStreaming() const { return mInterfaceClass == 1 && mInterfaceSubClass == 2; }
    bool isMidiStreaming() const { return mInterfaceClass == 1 && mInterfaceSubClass == 3; }
    bool isHID() const { return mInterfaceClass == 3 && mInterfaceSubClass == 0; }
    bool isVendor() const { return mInterfaceClass == 255; }
    bool isAudioStreamingIn() const;
    bool isAudioStreamingOut() const;

    uint8_t getInterfaceNumber() const { return mInterfaceNumber; }
    uint8_t getAlternateNumber() const { return mAlternateSetting; }
    uint8_t getNumEndpoints() const { return mNumEndpoints; }
    uint8_t getInterfaceClass() const { return mInterfaceClass; }
    uint8_t getInterfaceSubClass() const { return mInterfaceSubClass; }
    uint8_t getInterfaceProtocol() const { return mInterfaceProtocol; }
    uint8_t getStringIndex() const { return mInterfaceString; }
    void setClass(uint8_t cls, uint8_t sub, uint8_t proto) {
        mInterfaceClass = cls;
        mInterfaceSubClass = sub;
        mInterfaceProtocol = proto;
    }
    void setNumEndpoints(uint8_t n) { mNumEndpoints = n; }
    ZrInterfaceDescriptor* getParent() const { return mpParent; }
    ZrConfigurationDescriptor* getConfiguration() const {
        return mpParent ? mpParent->getConfiguration() : mpConfiguration;
    }

private:
    void applyClassCorrections(const ZrDeviceIds& ids);
    void applyDuplicateRule(ZrInterfaceDescriptor* added, const ZrDeviceIds& ids);
    bool hasIsocEndpoint(bool in) const;
    ZrPipeDescriptor* firstPipe(bool (ZrPipeDescriptor::*test)() const) const;

    ZrConfigurationDescriptor* mpConfiguration = nullptr;
    ZrInterfaceDescriptor* mpParent = nullptr;
    ZrSimpleArray mAudioControl;
    ZrSimpleArray mAudioStreaming;
    ZrSimpleArray mAlternates;
    ZrSimpleArray mPipes;
    ZrSimpleArray mHID;
    uint8_t mInterfaceNumber = 0;
    uint8_t mAlternateSetting = 0;
    uint8_t mNumEndpoints = 0;
    uint8_t mInterfaceClass = 0;
    uint8_t mInterfaceSubClass = 0;
    uint8_t mInterfaceProtocol = 0;
    uint8_t mInterfaceString = 0;
    ZrDeviceIds mIds{VIDPID(0, 0, 0, nullptr)};
    uint8_t mUSBDescriptor[9] = {};
};
