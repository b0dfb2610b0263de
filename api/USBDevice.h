// One kernel device service as the driver control API sees it: a
// reference-counted object holding the service, its registry properties, the
// control connection and what the open read (versions, strings, flags), and
// every typed request the control panel and the helper send through that
// connection as a QN_Dispatch record.
//
// Everything runs on the run-loop thread that called qnapiInit; the object
// takes no lock.
#pragma once

#include "abi/QN_Dispatch.h"
#include "api/QnAPITypes.h"
#include "platform/iokit/IOKitLib.h"

#include <cstddef>
#include <cstdint>

class USBDevice {
public:
    explicit USBDevice(io_service_t service);
    virtual ~USBDevice();
    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    void retain();
    // The references left; the object is gone when this answers 0.
    uint64_t release();

    bool open(bool exclusive);
    void close();
    bool isOpen() const { return mConnection != 0; }
    io_service_t getDeviceInstance() const { return mService; }
    kern_return_t getIORegistryProperties();
    bool dispatch(QN_Dispatch& record, bool checkSize);
    static void CloseHandle(uint32_t connection);

    // What the open read.
    const QnVersion& getDriverVersionRecord() const { return mDriverVersion; }
    const char* getDeviceString() const { return mDeviceString; }
    const char* getProductString() const { return mProductName; }
    bool isUSB2Device() const { return mUSB2; }
    uint64_t getDeviceState() const { return mDeviceState; }
    uint16_t getIdVendor() const { return mIdVendor; }
    uint16_t getIdProduct() const { return mIdProduct; }
    CFDictionaryRef getRegistryProperties() const { return mRegistryProperties; }
    const QN_Sorvik_ConfigAndMap& getSorvikConfigAndMap() const { return mSorvikConfigAndMap; }

    // Typed requests.
    long getDigitalOutSelector();
    bool setDigitalOutSelector(long value);
    bool getOlvqCpldMixOutSel();
    bool getOlvqCpldDigitalMon();
    bool setOlvqCpldMixOutSel(bool on);
    bool setOlvqCpldDigitalMon(bool on);
    uint32_t getCountConfigurations();
    bool getConfiguration(uint32_t index, QN_DeviceConfiguration& config);
    bool getCurrentConfiguration(QN_DeviceConfiguration& config);
    bool setConfiguration(QN_DeviceConfiguration wanted, QN_DeviceConfiguration& result);
    uint32_t getCountBufferSizes();
    uint32_t getBufferSize(uint32_t index);
    uint32_t getCurrentBufferSize();
    uint32_t setBufferSize(uint32_t size);
    bool canClockSource(QNE_ClockSource source);
    long getCurrentClockSource();
    long setClockSource(QNE_ClockSource source);
    bool getDigitalStatus(QN_DigitalStatus& status);
    bool getDeviceDescriptor(QN_DeviceDescriptor& descriptor);
    bool getDriverVersion(QnVersion& version);
    bool getFirmwareVersion(QnVersion& version, bool fromDevice);
    long getUSB1Mode();
    long setUSB1Mode(QNE_USB1Mode mode);
    long getDigitalOutMode();
    long setDigitalOutMode(QNE_DigitalOutMode mode);
    bool prepareFirmwareUpdate();
    bool request(EDirection direction, EDRQ_Level type, EDRQ_Recipient recipient, uint8_t bRequest,
                 uint16_t wValue, uint16_t wIndex, char* data, uint16_t length,
                 uint16_t* transferred);
    bool readLevelInfo(QN_LevelInfo& info);
    bool sendCPortBytes(size_t count, const uint8_t* bytes);
    static bool sendCPortBytesStatic(void* context, const uint8_t* bytes, size_t count);
    bool resumeStreaming();
    bool suspendStreaming();
    uint32_t getConfigStatus();
    int setRouting(bool input, int hostPair, int devicePair);
    int getRouting(bool input, int index);
    uint16_t getWMRegister(uint16_t codec, uint16_t reg);
    uint16_t setWMRegister(uint16_t codec, uint16_t reg, uint16_t value);
    bool getOutLevels(uint32_t levels[32]);
    bool getInLevels(uint32_t levels[32]);
    bool getChannelMap(QN_Sorvik_ChannelMap& map);
    bool setChannelMap(QN_Sorvik_ChannelMap map);
    bool setConfigurationAndChannelMap(QN_Sorvik_ConfigAndMap wanted,
                                       QN_Sorvik_ConfigAndMap& result);
    bool getConfigurationAndChannelMap(QN_Sorvik_ConfigAndMap& result);
    void updateSorvikConfigAndMap();
    bool getSorvikDeviceName(char name[32]);
    bool setSorvikDeviceName(const char* name);
    bool reenumerateDevice();
    bool replugDevice();
    bool levelInfoExAttach();
    bool levelInfoExDetach();
    bool readLevelInfoExtended1(QN_LevelInfoExtended1& info);
    bool readLevelInfoEx(QN_LevelInfo32& info);
    bool writeAJData(AJCPortBase* data, size_t size);
    bool DeviceIoControl(uint32_t handle, int ioctl, void* in, size_t inSize, void* out,
                         size_t outSize, size_t* bytesReturned, void* overlapped);

    // The interest handler of the service's notification.
    static void ServiceInterestCallback(void* refcon, io_service_t service, natural_t messageType,
                                        void* argument);
    void onServiceInterestCallback(uint32_t messageType, void* argument);

    // Discovery keeps the notification handle here; the object releases it.
    void setNotification(io_object_t notification) { mNotification = notification; }

private:
    bool isSorvikMapped() const;
    // Spreads the levels of the channels in use back to their slots.
    void spreadLevels(const int32_t* reply, uint32_t* levels, bool input) const;
    bool levels(uint32_t code, uint32_t levels[32], bool input);
    bool simple(uint32_t code, uint32_t value, bool checkSize, QN_Dispatch& record);
    bool setCpldBit(uint8_t bit, bool on);

    QnVersion mDriverVersion{};
    io_object_t mNotification = 0;
    char mDeviceString[64] = {};
    char mProductName[64] = {};
    uint64_t mDeviceState = 0;
    bool mUSB2 = false;
    io_service_t mService = 0;
    io_connect_t mConnection = 0;
    CFDictionaryRef mRegistryProperties = nullptr;
    uint16_t mIdProduct = 0xFFFF;
    uint16_t mIdVendor = 0xFFFF;
    QN_Sorvik_ConfigAndMap mSorvikConfigAndMap{};
    uint64_t mReferences = 0;
};
