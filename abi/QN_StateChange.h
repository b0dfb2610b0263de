// The state-change record the kernel driver sends to every user client of a
// device, and the codes it carries.
//
// The record crosses the kernel/user boundary inside an IOKit message, so its
// layout is fixed: 36 bytes, little-endian, packed. Receivers reject any
// other size. The originating-client field holds the opaque identifier the
// kernel gave that client, never a kernel address.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "boundary records are little-endian");

// The message type the records travel with (kIOMessageServicePropertyChange).
constexpr uint32_t kQnStateChangeMessage = 0xE0000130u;

#pragma pack(push, 1)
struct QN_StateChange {
    uint32_t mSize; // always 36
    uint32_t mCode; // STC_ code
    uint32_t mParam1;
    uint64_t mClient; // opaque identifier of the client that caused it, 0 none
    uint32_t mParam2;
    uint8_t mReserved[12]; // zero
};
#pragma pack(pop)

static_assert(sizeof(QN_StateChange) == 36);
static_assert(offsetof(QN_StateChange, mCode) == 4);
static_assert(offsetof(QN_StateChange, mParam1) == 8);
static_assert(offsetof(QN_StateChange, mClient) == 12);
static_assert(offsetof(QN_StateChange, mParam2) == 20);
static_assert(offsetof(QN_StateChange, mReserved) == 24);

// State-change codes. Unnamed codes get a descriptive name here.
enum : uint32_t {
    STC_STREAM_BROKEN = 2,
    STC_NewConfig = 3,
    STC_VolumeChanged = 6,
    STC_MuteChanged = 7,
    STC_MonitorChanged = 8,
    STC_ChangeWolfson = 9,
    STC_ChangeDataSource = 10,
    STC_ClientAttached = 11,
    STC_ClientDetached = 12,
    STC_SystemWakeUp = 13,
    STC_ConfigurationDone = 14,
    STC_FirmwareUpdateMode = 16,
    STC_HogOwnerChanged = 32,
    STC_ChannelModeChanged = 34,
    STC_LAUNCHCONTROLPANEL = 35,
    STC_DeviceStatusChanged = 36,
    STC_FootswitchModeStored = 38,
    STC_FootswitchProtocolStored = 39,
    STC_MixerFractionsStored = 40,
    STC_RoutingMatrixStored = 41,
    STC_ReverbBuffersStored = 42,
    STC_MixerValuesChanged = 48,
    STC_DigiOutModeChanged = 49,
    STC_SampleCkSrcChanged = 50,
    STC_MixerModeChanged = 51,
    STC_ConfiguredByClient = 52,
    STC_MixerBufferStored = 53,
    STC_SystemSleep = 54,
    STC_StreamRestartedAfterWake = 0x10000,
    STC_SorvikChannelMapChanged = 0x20000,
    STC_SorvikNameChanged = 0x20001,
    STC_ServiceTerminates = 0xFFFFFFFFu,
};

// A zeroed record of the fixed size with the given fields.
inline QN_StateChange makeStateChange(uint32_t code, uint32_t param1, uint64_t client,
                                      uint32_t param2) {
    QN_StateChange r{};
    r.mSize = sizeof(QN_StateChange);
    r.mCode = code;
    r.mParam1 = param1;
    r.mClient = client;
    r.mParam2 = param2;
    return r;
}
