// The device object's share of the descriptor model: the list of scanned
// configurations, the interfaces chosen for the current channel settings,
// and the device information record built from them.
//
// The device object (ZrDevice) owns one of these and forwards its
// descriptor operations here, giving it the device's identity, link speed
// and the channel settings to work on.
#pragma once

#include <cstdint>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/desc/USBDummyDescriptor.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrSimpleObject.h"

class USBByteBuffer;

class ZrDeviceConfigurations {
public:
    ZrDeviceConfigurations() = default;
    ZrDeviceConfigurations(const ZrDeviceConfigurations&) = delete;
    ZrDeviceConfigurations& operator=(const ZrDeviceConfigurations&) = delete;

    // The identity every scan and choice uses. The features record is not
    // copied: it must outlive this object (it lives in the device object).
    void setIdentity(uint16_t vendor, uint16_t product, uint16_t release,
                     const APISpecificFeatures* features, uint8_t numConfigurations);
    void setIsUSB2Device(bool usb2) { mIsUSB2 = usb2; }
    // The device object's verdict on its transport (listing or features
    // record, at the link speed): a bulk-protocol device, or one with bulk
    // input and isochronous output. Either takes interfaces 0 and 1.
    void setBulkTransport(bool quarnelBulk, bool bulkInIsocOut) {
        mQuarnelBulk = quarnelBulk;
        mBulkInIsocOut = bulkInIsocOut;
    }
    // The driver shared area, for the choices that depend on its channel
    // map and selector; null (the default) skips them.
    void setSharedArea(DriverSM* sm) { mSharedArea = sm; }
    // The configurations the device reports (fewer when a later one could
    // not be read); the device information record counts at most 4 of them.
    void setConfigurationCount(uint8_t n) { mNumConfigurations = n; }
    const ZrDeviceIds& getIds() const { return mIds; }
    DeviceSpecificData& getDeviceSpecificData() { return mDeviceData; }

    // One complete configuration descriptor set; appends one configuration.
    bool scanConfigurationDescriptors(USBByteBuffer& buffer);
    ZrConfigurationDescriptor* getConfigurationDescriptor(int i) const {
        return mConfigurations.at<ZrConfigurationDescriptor>(i);
    }
    int getCountConfigurationDescriptors() const { return mConfigurations.count(); }
    ZrSimpleArray& getConfigurations() { return mConfigurations; }
    void deleteAllConfigurations();

    void disableAllByFrequency(uint32_t rate);
    void disableAllByResolution(int bits);
    void disableAllByChannels(uint8_t channels);
    // Clears every streaming format of the given channel count or more.
    void disableAllByMinimumChannels(uint8_t channels);

    // Vendor, product, release, the configurations (at most 4) and the
    // features record.
    void getAPIDeviceInfo(APIDeviceInfo& info) const;

    // Interface and alternate choice for the given channel settings, which
    // receive the setting found.
    bool findInterfacesInConfig(QnChannelSettings& settings);
    bool tryFindInterfaces(ZrInterfaceDescriptor*& inResult, ZrInterfaceDescriptor*& outResult,
                           int& rate, int& ins, int& outs, int& inBits, int& outBits);
    // Forgets the chosen interfaces (the configuration goes).
    void forgetInterfaces();

    ZrConfigurationDescriptor* m_pcConfiguration = nullptr;
    ZrInterfaceDescriptor* m_pcControlInterface = nullptr;
    ZrInterfaceDescriptor* mpInInterface = nullptr;
    ZrInterfaceDescriptor* mpOutInterface = nullptr;
    ZrInterfaceDescriptor* m_pcMidiInterface = nullptr;
    ZrInterfaceDescriptor* m_pcHIDInterface = nullptr;

private:
    // A channel setting under search: the rate, the channel counts and the
    // resolutions.
    struct WantedSetting {
        int rate, ins, outs, inBits, outBits;
    };
    // The steps of findInterfacesInConfig, in their order.
    bool usesQuarnelBulk(const APISpecificFeatures* features) const;
    bool usesBulkInIsocOut(const APISpecificFeatures* features) const;
    // The MIDI, audio control and HID interfaces.
    void chooseControlInterfaces(ZrConfigurationDescriptor& configuration,
                                 const APISpecificFeatures* features, uint32_t quirks);
    // The input and output streaming interfaces (some layouts also move the
    // control and MIDI interfaces).
    void chooseStreamingInterfaces(ZrConfigurationDescriptor& configuration,
                                   const APISpecificFeatures* features, uint32_t quirks,
                                   const QnChannelSettings& settings);
    // The setting to search for: the given one with the counts the product
    // fixes (written into settings as well).
    WantedSetting wantedSetting(QnChannelSettings& settings, const APISpecificFeatures* features,
                                const ZrProductRow& row);
    // The wanted setting, then the product's further attempt, then the last
    // resort; w becomes the setting found.
    bool searchAlternates(WantedSetting& w, const ZrProductRow& row,
                          ZrInterfaceDescriptor*& inResult, ZrInterfaceDescriptor*& outResult);
    template <class F> void forEachStreamingFormat(F&& f);
    void applyRawFixups(USBByteBuffer& buffer, uint32_t quirks);
    void applyPostScanCorrections(uint32_t quirks);

    ZrSimpleArray mConfigurations;
    ZrDeviceIds mIds{VIDPID(0, 0, 0, nullptr)};
    uint8_t mNumConfigurations = 0;
    bool mIsUSB2 = false;
    bool mQuarnelBulk = false;
    bool mBulkInIsocOut = false;
    DeviceSpecificData mDeviceData;
    DriverSM* mSharedArea = nullptr;
};
