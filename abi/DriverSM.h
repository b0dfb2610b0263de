// The driver shared area (user-client memory type 1): one 30,744-byte area
// per device that the kernel driver shares with every audio and audio-server
// client, holding the device's identity and strings, its descriptors, the
// current channel and extension settings, the client-mixing slots, the
// control blocks, the exclusive owners and the time-stamp copy.
//
// User space can write this memory, so the kernel keeps nothing here that it
// trusts: client "objects" are opaque 64-bit identifiers the kernel resolves
// through its own table, and no kernel address or lock lives here. Clients
// write only the control block at 7028; the kernel writes the rest.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "boundary records are little-endian");

constexpr uint32_t kDriverVersionWord = 0x03040D00u; // 3.4.13

#pragma pack(push, 1)

struct QnChannelSettings {
    uint32_t Frequency;
    uint32_t InChannels;
    uint32_t InResolution;
    uint32_t OutChannels;
    uint32_t OutResolution;
    uint32_t Configuration;
};

struct QnAjExtData {
    uint32_t mDigitalLockFrequency;
    uint32_t mClockSource;
    uint32_t mUSB1Mode;
    uint32_t mDigitalOutMode;
    uint32_t mDigitalOutSelector;
    uint32_t mRoutingIn[3];
    uint32_t mRoutingOut[2];
    uint8_t mDigitalLock;
    uint8_t mReserved[3];

    // Routing back to its identity defaults; the lock frequency and lock
    // flag are what the device last reported and stay.
    void setDefaults();
    // Out-of-range choices read from a user-writable store fall back to 0.
    QnAjExtData& validate();
};

// Which physical channel each of the eight input and eight output stream
// channels of a first-generation Sorvik device carries: one code per entry,
// 0xFF for none. A map of zeros was never set.
struct QN_Sorvik_ChannelMap {
    static constexpr int32_t kNoChannel = 0xFF;
    static constexpr int kUsageEntries = 16;

    int32_t mEInputMap[8];
    int32_t mEOutputMap[8];

    // The handled products get their first two inputs in use and nothing
    // else; any other device's map stays as it is.
    void setDefaults(uint16_t vendor, uint16_t product);
    // Clears both lists, then marks the index each entry's code names (no
    // mark for another device or an unknown code).
    void getUsageList(bool inputs[16], bool outputs[16], uint16_t vendor, uint16_t product) const;
    // The usage index a code marks, or -1.
    static int usageIndex(bool isInput, int32_t code, uint16_t product);
    static bool isHandled(uint16_t vendor, uint16_t product);
};

// One client-mixing slot. The client field is the client's opaque
// identifier; the ring a client attached stays in the kernel's own state.
struct ClientData {
    uint32_t mLockCount;
    int32_t mClientIdentifier;
    uint32_t mParameter;
    uint8_t mUser[152]; // not written by the kernel
    uint64_t mClient;   // 164: opaque client identifier, 0 when free
    uint64_t mRing;     // 172: kept 0; the kernel holds the ring privately
};

// USB Audio Class mixer controls of a device: one output, input or monitor
// path. Unit addresses are a request's wIndex (unit id << 8 | interface).
struct XsVolumeTriplet {
    int16_t mMin;
    int16_t mCur;
    int16_t mMax;
};

struct XsEndpoint {
    char mName[64];    // 0: NUL-terminated
    int16_t mChannels; // 64: 1..8, or -1 for a single master control
    uint8_t mReserved66[2];
    uint32_t mMutePresent; // 68
    uint16_t mMuteUnit;    // 72
    uint8_t mMute;         // 74
    uint8_t mReserved75;
    uint32_t mVolumePresent;     // 76
    uint32_t mCompareWord;       // 80: a difference marks the block changed, nothing is sent
    uint16_t mVolumeUnit;        // 84
    uint16_t mInterface;         // 86: used by the interface selector only
    XsVolumeTriplet mVolumes[8]; // 88: triplet k is channel k+1 (the master for -1)
};

struct XsControlGroup {
    uint32_t mCount;        // 0
    uint32_t mMode;         // 4: 1 every endpoint applied, 0 the selected one
    uint16_t mSelectorUnit; // 8: 0 = none
    uint8_t iSelector;      // 10: one-hot, 0x01 = first endpoint
    uint8_t mReserved11;
    XsEndpoint mEndpoints[8]; // 12
};

struct XsSyncSources {
    uint32_t mCount;    // 0: 0..8
    uint8_t mSelection; // 4: bit k = source k
    char mNames[8][64]; // 5
    uint8_t mReserved517[3];
};

// The device control block: the driver's current state and the block that
// clients write with the values they want (shared area 7028 and 10872).
// The vendor control of a few products doubles as the monitor switch, and
// the digital-output flag as one product's routing value.
struct XsDeviceControls {
    XsControlGroup cOut;    // 0
    XsControlGroup cIn;     // 1100
    XsSyncSources cSync;    // 2200
    XsControlGroup cThird;  // 2720: monitor and mix paths
    uint32_t mHasMonitor;   // 3820: vendor control present
    uint32_t mReserved3824; // 3824: vendor control word
    uint32_t mMonitorValue; // 3828: vendor control value (its low byte is sent)
    uint32_t mRoutingValue; // 3832: digital-output flag
    uint32_t mReserved3836; // 3836: zero
    uint32_t mScratch;      // 3840: the last word, cleared before each application
};

struct QN_TimeStampsBufferData {
    uint32_t mCount;
    uint64_t mStamps[2][1000];
};

struct DriverSM {
    uint32_t mVersion;       // 0
    uint16_t mSpeed;         // 4: 0 low, 1 full, 2 high, 3 super
    uint8_t mMaxPacketSize0; // 6
    uint8_t mReserved7;
    uint16_t mVendor;           // 8
    uint16_t mProduct;          // 10
    uint16_t mRelease;          // 12
    uint8_t mManufacturerIndex; // 14
    uint8_t mProductIndex;      // 15
    uint8_t mSerialIndex;       // 16
    uint8_t mNumConfigurations; // 17
    uint8_t mReserved18[2];
    uint32_t mLocationID;      // 20
    uint32_t mHighSpeed;       // 24
    char mVendorString[256];   // 28
    char mProductString[256];  // 284
    char mModelName[256];      // 540
    char mDeviceUID[256];      // 796
    char mSerialString[256];   // 1052
    uint8_t mDescriptor[4096]; // 1308
    uint8_t mReserved5404[8];
    uint32_t mConfigured;                   // 5412
    uint32_t mNewConfigPending;             // 5416
    QnChannelSettings mChannelSettings;     // 5420
    QnAjExtData mAjExtData;                 // 5444
    QN_Sorvik_ChannelMap mSorvikChannelMap; // 5488
    uint8_t mReserved5552[32];
    uint32_t mAttachedClients;           // 5584
    ClientData mClients[8];              // 5588
    XsDeviceControls mControls;          // 7028: written by clients
    XsDeviceControls mSavedControls;     // 10872
    uint64_t mExclusiveInputOwner;       // 14716: opaque client identifier
    uint64_t mExclusiveOutputOwner;      // 14724
    uint64_t mPrivateDataOwner;          // 14732
    QN_TimeStampsBufferData mTimeStamps; // 14740
};

#pragma pack(pop)

static_assert(sizeof(QnChannelSettings) == 24);
static_assert(sizeof(QnAjExtData) == 44);
static_assert(offsetof(QnAjExtData, mDigitalLock) == 40);
static_assert(sizeof(QN_Sorvik_ChannelMap) == 64);
static_assert(sizeof(ClientData) == 180);
static_assert(offsetof(ClientData, mClient) == 164);
static_assert(offsetof(ClientData, mRing) == 172);
static_assert(sizeof(XsVolumeTriplet) == 6);
static_assert(sizeof(XsEndpoint) == 136);
static_assert(offsetof(XsEndpoint, mChannels) == 64);
static_assert(offsetof(XsEndpoint, mMutePresent) == 68);
static_assert(offsetof(XsEndpoint, mMuteUnit) == 72);
static_assert(offsetof(XsEndpoint, mMute) == 74);
static_assert(offsetof(XsEndpoint, mVolumePresent) == 76);
static_assert(offsetof(XsEndpoint, mCompareWord) == 80);
static_assert(offsetof(XsEndpoint, mVolumeUnit) == 84);
static_assert(offsetof(XsEndpoint, mInterface) == 86);
static_assert(offsetof(XsEndpoint, mVolumes) == 88);
static_assert(sizeof(XsControlGroup) == 1100);
static_assert(offsetof(XsControlGroup, mMode) == 4);
static_assert(offsetof(XsControlGroup, mSelectorUnit) == 8);
static_assert(offsetof(XsControlGroup, iSelector) == 10);
static_assert(offsetof(XsControlGroup, mEndpoints) == 12);
static_assert(sizeof(XsSyncSources) == 520);
static_assert(offsetof(XsSyncSources, mSelection) == 4);
static_assert(offsetof(XsSyncSources, mNames) == 5);
static_assert(sizeof(XsDeviceControls) == 3844);
static_assert(offsetof(XsDeviceControls, cIn) == 1100);
static_assert(offsetof(XsDeviceControls, cSync) == 2200);
static_assert(offsetof(XsDeviceControls, cThird) == 2720);
static_assert(offsetof(XsDeviceControls, mReserved3824) == 3824);
static_assert(offsetof(XsDeviceControls, mScratch) == 3840);
static_assert(offsetof(XsDeviceControls, mHasMonitor) == 3820);
static_assert(offsetof(XsDeviceControls, mMonitorValue) == 3828);
static_assert(offsetof(XsDeviceControls, mRoutingValue) == 3832);
static_assert(sizeof(QN_TimeStampsBufferData) == 16004);

static_assert(sizeof(DriverSM) == 30744);
static_assert(offsetof(DriverSM, mSpeed) == 4);
static_assert(offsetof(DriverSM, mMaxPacketSize0) == 6);
static_assert(offsetof(DriverSM, mVendor) == 8);
static_assert(offsetof(DriverSM, mProduct) == 10);
static_assert(offsetof(DriverSM, mRelease) == 12);
static_assert(offsetof(DriverSM, mManufacturerIndex) == 14);
static_assert(offsetof(DriverSM, mNumConfigurations) == 17);
static_assert(offsetof(DriverSM, mLocationID) == 20);
static_assert(offsetof(DriverSM, mHighSpeed) == 24);
static_assert(offsetof(DriverSM, mVendorString) == 28);
static_assert(offsetof(DriverSM, mProductString) == 284);
static_assert(offsetof(DriverSM, mModelName) == 540);
static_assert(offsetof(DriverSM, mDeviceUID) == 796);
static_assert(offsetof(DriverSM, mSerialString) == 1052);
static_assert(offsetof(DriverSM, mDescriptor) == 1308);
static_assert(offsetof(DriverSM, mConfigured) == 5412);
static_assert(offsetof(DriverSM, mNewConfigPending) == 5416);
static_assert(offsetof(DriverSM, mChannelSettings) == 5420);
static_assert(offsetof(DriverSM, mAjExtData) == 5444);
static_assert(offsetof(DriverSM, mAjExtData) + offsetof(QnAjExtData, mDigitalLock) == 5484);
static_assert(offsetof(DriverSM, mSorvikChannelMap) == 5488);
static_assert(offsetof(DriverSM, mAttachedClients) == 5584);
static_assert(offsetof(DriverSM, mClients) == 5588);
static_assert(offsetof(DriverSM, mControls) == 7028);
static_assert(offsetof(DriverSM, mSavedControls) == 10872);
static_assert(offsetof(DriverSM, mExclusiveInputOwner) == 14716);
static_assert(offsetof(DriverSM, mExclusiveOutputOwner) == 14724);
static_assert(offsetof(DriverSM, mPrivateDataOwner) == 14732);
static_assert(offsetof(DriverSM, mTimeStamps) == 14740);
