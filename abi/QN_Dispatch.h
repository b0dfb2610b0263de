// The request records that cross the user-client boundary: `QN_Dispatch`
// (1,540 bytes: a request code and a union of typed payloads), the USB
// control request `QN_VendorOrClassRequest` carried inside it, and
// `OSXDispatch` (1,548 bytes), the record the audio, audio-server and MIDI
// clients exchange, which carries a `QN_Dispatch` at offset 8.
//
// All little-endian. `QN_Dispatch` is packed to 4 bytes so its union follows
// the code word directly; inside an `OSXDispatch` the union's 8-byte members
// therefore sit on 4-byte boundaries: read and write them through the byte
// helpers below, never through a pointer to the member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "abi/DriverSM.h"
#include "abi/QN_Fraction.h"
#include "abi/QN_DeviceDescriptor.h"

#pragma pack(push, 4)

struct QN_MixerFraction {
    int32_t nChannel;
    QN_Fraction nFractionLeft;
    QN_Fraction nFractionRight;
};

struct QN_MixerFractions {
    QN_Fraction mMixerFractionLeft[32];
    QN_Fraction mMixerFractionRight[32];
};

struct QN_DeviceConfiguration {
    uint32_t samplerate;
    uint32_t numInputs;
    uint32_t bitsInput;
    uint32_t numOutputs;
    uint32_t bitsOutput;
};

struct QN_DigitalStatus {
    int32_t eStatus;
    uint32_t uFreq;
};

// A USB control request; IN data comes back in `data`, the count in `uLength`.
struct QN_VendorOrClassRequest {
    uint8_t data[256];
    uint32_t uLength;
    uint16_t wValue;
    uint16_t wIndex;
    int32_t eIn;        // 128 device to host, 0 host to device
    int32_t eType;      // request type bits (64 vendor, 32 class, 0 standard)
    int32_t eRecipient; // recipient bits (0 device)
    uint8_t bRequest;
};

struct QN_LevelInfo {
    int8_t lvlIn[32];
    int8_t lvlOut[32];
};

struct QN_RoutingRequest {
    uint32_t nInput;
    uint32_t nChannelPairHost;
    uint32_t nChannelPairDevice;
};

struct QN_WMCodecRequest {
    uint16_t nCodec;
    uint16_t nRegister;
    uint16_t nValue;
};

struct QN_Sorvik_ConfigAndMap {
    QN_DeviceConfiguration cConfig;
    QN_Sorvik_ChannelMap cMap;
};

struct QN_AudioStreamBasicDescription {
    double mSampleRate;
    uint32_t mFormatID;
    uint32_t mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
};

struct QN_AudioStreams {
    QN_AudioStreamBasicDescription mInStream;
    QN_AudioStreamBasicDescription mOutStream;
    QN_AudioStreamBasicDescription mInPhysicalStream;
    QN_AudioStreamBasicDescription mOutPhysicalStream;
    bool mIsInput;
    bool mIsPhysical;
};

struct QN_Dispatch {
    uint32_t code; // an EQN request code
    union {
        uint32_t ulValue;
        uint8_t cValue;
        QN_DeviceConfiguration cConfig;
        QN_DigitalStatus cDigitalStatus;
        char cString[256];
        QN_DeviceDescriptor cDevDesc;
        QN_VendorOrClassRequest cDevRequest;
        QN_LevelInfo cLvl;
        QN_RoutingRequest cRoutingRequest;
        uint8_t cCPortData[256];
        QN_WMCodecRequest cWMCodecRequest;
        int32_t cHogID;
        int32_t iLevels[32];
        QN_MixerFraction cMixerFraction;
        int8_t cRoutingMatrix[32];
        QN_Sorvik_ChannelMap cQN_Sorvik_ChannelMap;
        QN_Sorvik_ConfigAndMap cQN_Sorvik_ConfigAndMap;
        QN_AudioStreams cAudioStreams;
        uint8_t cReverbBuffers[6][256]; // the largest member: it sizes the union
        uint8_t cMixerBuffer[64];
        QN_MixerFractions cMixerFractions;
    } data;
};

// The record of the audio, audio-server and MIDI clients' CallDriver.
struct OSXDispatch {
    uint32_t iReq;      // request code (Req); Req 4 writes its byte count here
    uint32_t frameSize; // Req 2 only: I/O buffer size in frames
    uint8_t payload[1540];
};

#pragma pack(pop)

static_assert(sizeof(QN_MixerFraction) == 20);
static_assert(sizeof(QN_MixerFractions) == 512);
static_assert(sizeof(QN_DeviceConfiguration) == 20);
static_assert(sizeof(QN_DigitalStatus) == 8);
static_assert(sizeof(QN_VendorOrClassRequest) == 280);
static_assert(offsetof(QN_VendorOrClassRequest, uLength) == 256);
static_assert(offsetof(QN_VendorOrClassRequest, wValue) == 260);
static_assert(offsetof(QN_VendorOrClassRequest, wIndex) == 262);
static_assert(offsetof(QN_VendorOrClassRequest, eIn) == 264);
static_assert(offsetof(QN_VendorOrClassRequest, eType) == 268);
static_assert(offsetof(QN_VendorOrClassRequest, eRecipient) == 272);
static_assert(offsetof(QN_VendorOrClassRequest, bRequest) == 276);
static_assert(sizeof(QN_LevelInfo) == 64);
static_assert(sizeof(QN_RoutingRequest) == 12);
static_assert(sizeof(QN_WMCodecRequest) == 6);
static_assert(sizeof(QN_Sorvik_ChannelMap) == 64);
static_assert(sizeof(QN_Sorvik_ConfigAndMap) == 84);
static_assert(sizeof(QN_AudioStreamBasicDescription) == 40);
static_assert(sizeof(QN_AudioStreams) == 164);
static_assert(offsetof(QN_AudioStreams, mIsInput) == 160);
static_assert(sizeof(QN_Dispatch) == 1540);
static_assert(offsetof(QN_Dispatch, data) == 4);
static_assert(sizeof(OSXDispatch) == 1548);
static_assert(offsetof(OSXDispatch, frameSize) == 4);
static_assert(offsetof(OSXDispatch, payload) == 8);

// Offsets of the typed payload forms inside an OSXDispatch.
constexpr size_t kOSXDispatchValueOffset = 8;       // u32, u64, a 256-byte chunk
constexpr size_t kOSXDispatchSecondWordOffset = 16; // Req 6/7's second u64
constexpr size_t kOSXDispatchThirdWordOffset = 24;  // Req 6/7's third u64
constexpr size_t kOSXDispatchRecordOffset = 8;      // QN_Dispatch / QN_VendorOrClassRequest
constexpr size_t kOSXDispatchUnionOffset = 12;      // the QN_Dispatch union inside it

// Byte helpers for fields at any alignment (little-endian boundary records).
inline uint16_t qnReadU16(const void* record, size_t offset) {
    uint16_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + offset, sizeof v);
    return v;
}
inline uint32_t qnReadU32(const void* record, size_t offset) {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + offset, sizeof v);
    return v;
}
inline uint64_t qnReadU64(const void* record, size_t offset) {
    uint64_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + offset, sizeof v);
    return v;
}
inline void qnWriteU16(void* record, size_t offset, uint16_t v) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, sizeof v);
}
inline void qnWriteU32(void* record, size_t offset, uint32_t v) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, sizeof v);
}
inline void qnWriteU64(void* record, size_t offset, uint64_t v) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, sizeof v);
}
