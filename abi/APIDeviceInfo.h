// What a device offers, as the kernel driver describes it to user space:
// configurations, interfaces, alternate settings with their streaming
// formats and endpoints, and the product's specific-features record.
//
// All records are little-endian and packed; the whole APIDeviceInfo crosses
// to user space in 256-byte chunks, so every size and offset is fixed.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "boundary records are little-endian");

#pragma pack(push, 1)

struct APIEndpointInfo {
    uint16_t wMaxPacketSize; // raw, as the endpoint descriptor gives it
    uint8_t bEndpointAddress;
    uint8_t mReserved;
};

struct APIStreamingInfo {
    uint8_t mBitResolution;
    uint8_t mChannels;
    uint8_t mContinuous; // 1: lower..upper range, 0: discrete list
    uint8_t mNumRates;   // at most 16
    uint32_t mLowerRate;
    uint32_t mUpperRate;
    uint32_t mRates[16];

    // Whether this format carries channels x bits at rate.
    bool can(uint8_t channels, uint8_t bits, uint32_t rate, bool discreteOnly) const;
    // Overwrites the channel count of the streaming alternative.
    void setChannels(uint8_t channels) { mChannels = channels; }
};

struct APIInterfaceAlternateInfo {
    uint8_t mAlternateSetting;
    uint8_t mReserved1;
    uint8_t mNumEndpoints; // at most 4
    uint8_t mReserved3;
    APIStreamingInfo mStreaming;
    APIEndpointInfo mEndpoints[4];
};

struct APIInterfaceInfo {
    uint8_t mInterfaceNumber;
    uint8_t mInterfaceSubClass;
    uint8_t mNumAlternates; // at most 16
    uint8_t mReserved;
    APIInterfaceAlternateInfo mAlternates[16];
};

struct APIConfigInfo {
    uint8_t iConfiguration;
    uint8_t bConfigurationValue;
    uint8_t mNumInterfaces; // at most 16
    uint8_t mReserved;
    APIInterfaceInfo mInterfaces[16];
};

// Feature flags of APISpecificFeatures, indexed by number.
enum eSpecFeatureEnum : uint8_t {
    eSpecFeature_MerrowCompatible = 0,
    eSpecFeature_QuarnelBulk = 1,
    eSpecFeature_QuarnelBulkInIsocOut = 2,
    eSpecFeature_RawMidi = 3,
    eSpecFeature_RegularMidi = 4,
    eSpecFeature_MRW192Compatible = 5,
    eSpecFeature_RequestsWhileStreaming = 7,
    eSpecFeature_NoDigital = 8,
    eSpecFeature_SetFreqOnOutPipe = 9,
    eSpecFeature_Can192 = 12,
    eSpecFeature_PreventUSB1Mode = 13,
    eSpecFeature_WriteDigitalOutMode = 14,
    eSpecFeature_USB1ModeInSelector = 16,
    eSpecFeature_LX150Encoders = 17,
    eSpecFeature_FirmwareVersionString = 18,
    eSpecFeature_FirmwareChannelCounts = 19,
    eSpecFeature_WriteDigitalOutSelector = 20,
    eSpecFeature_SynthesizedDescriptors = 22,
};

constexpr unsigned kSpecFeatureFlagCount = 63;

// A product's specific features, filled from the driver's matching
// personality ("kConfigurationData"). Each link speed has an input and an
// output format block; the first byte of the record (the full-speed input
// resolution) being non-zero means the record carries channel settings.
struct APISpecificFeatures {
    APIStreamingInfo mFullSpeedIn;  // 0: resolution at 0, channels at 1, frequency at 4
    APIStreamingInfo mFullSpeedOut; // 76: resolution, 77: channels
    APIStreamingInfo mHighSpeedIn;  // 152
    APIStreamingInfo mHighSpeedOut; // 228
    uint8_t mInInterface;           // 304
    uint8_t mInAlternate;
    uint8_t mOutInterface;
    uint8_t mOutAlternate;
    uint8_t mMidiInterface;
    uint8_t mMidiAlternate;
    uint8_t mReserved310[2];
    uint8_t mFlags[kSpecFeatureFlagCount]; // 312 + n
    uint8_t mLoaded;                       // 375: filled from the personality
    uint8_t mReserved376[4];

    bool hasFlag(unsigned n) const { return n < kSpecFeatureFlagCount && mFlags[n] != 0; }
};

struct APIDeviceInfo {
    uint16_t mVendor;
    uint16_t mProduct;
    uint16_t mRelease;
    uint8_t mNumConfigurations; // at most 4
    uint8_t mReserved;
    APIConfigInfo mConfigurations[4];
    APISpecificFeatures mFeatures;
};

// Result of looking up a format in the device information, one per
// direction.
struct APIDeviceInfoScanResult {
    uint8_t mFound; // bit 0: the direction is valid
    uint8_t mReserved;
    uint16_t mConfiguration;
    uint16_t mInterface;
    uint16_t mAlternate;
    uint32_t mRate;
    uint8_t mBits;
    uint8_t mChannels;
};

#pragma pack(pop)

static_assert(sizeof(APIEndpointInfo) == 4);
static_assert(sizeof(APIStreamingInfo) == 76);
static_assert(offsetof(APIStreamingInfo, mLowerRate) == 4);
static_assert(offsetof(APIStreamingInfo, mUpperRate) == 8);
static_assert(offsetof(APIStreamingInfo, mRates) == 12);
static_assert(sizeof(APIInterfaceAlternateInfo) == 96);
static_assert(offsetof(APIInterfaceAlternateInfo, mNumEndpoints) == 2);
static_assert(offsetof(APIInterfaceAlternateInfo, mStreaming) == 4);
static_assert(offsetof(APIInterfaceAlternateInfo, mEndpoints) == 80);
static_assert(sizeof(APIInterfaceInfo) == 1540);
static_assert(offsetof(APIInterfaceInfo, mAlternates) == 4);
static_assert(sizeof(APIConfigInfo) == 24644);
static_assert(offsetof(APIConfigInfo, mInterfaces) == 4);
static_assert(sizeof(APISpecificFeatures) == 380);
static_assert(offsetof(APISpecificFeatures, mFullSpeedOut) == 76);
static_assert(offsetof(APISpecificFeatures, mHighSpeedIn) == 152);
static_assert(offsetof(APISpecificFeatures, mHighSpeedOut) == 228);
static_assert(offsetof(APISpecificFeatures, mInInterface) == 304);
static_assert(offsetof(APISpecificFeatures, mMidiAlternate) == 309);
static_assert(offsetof(APISpecificFeatures, mFlags) == 312);
static_assert(offsetof(APISpecificFeatures, mLoaded) == 375);
static_assert(sizeof(APIDeviceInfo) == 98964);
static_assert(offsetof(APIDeviceInfo, mNumConfigurations) == 6);
static_assert(offsetof(APIDeviceInfo, mConfigurations) == 8);
static_assert(offsetof(APIDeviceInfo, mFeatures) == 98584);
