// The types only the driver control API uses: the service class name it
// matches on, the version record, the callback events and the enumerations
// of its typed requests. Records that cross to the kernel live in abi/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abi/USBRequestTypes.h"

// The NUL-terminated IOKit class name of the kernel driver's device service.
struct GUID {
    char name[256];
};
static_assert(sizeof(GUID) == 256);

// Stage values of a version: 1 alpha, 2 beta, 3 release candidate,
// 4 release; anything else is development.
#pragma pack(push, 1)
struct QnVersion {
    uint64_t major;
    uint64_t minor;
    uint64_t sub;
    uint64_t stage;
    uint64_t build;
    char tag;
    char text[64];
    char firmware[16];
    uint8_t pad[7];
};
#pragma pack(pop)
static_assert(sizeof(QnVersion) == 128);
static_assert(offsetof(QnVersion, text) == 41);
static_assert(offsetof(QnVersion, firmware) == 105);

enum QNAPI_CBEvent : uint32_t {
    QNAPI_CBEvent_DeviceAttached = 1,
    QNAPI_CBEvent_DeviceDetached = 2,
    QNAPI_CBEvent_ConfigurationChanged = 3,
    QNAPI_CBEvent_UserConfigurationChanged = 4,
    QNAPI_CBEvent_HogModeChanged = 5,
    QNAPI_CBEvent_LaunchControlPanel = 6,
    QNAPI_CBEvent_MixerValuesChanged = 7,
};

class USBDevice;
typedef void (*QNAPI_Callback)(void* context, USBDevice* device, QNAPI_CBEvent event);

// Values the kernel takes as they are; the API only carries them.
typedef int32_t QNE_ClockSource;
typedef int32_t QNE_USB1Mode;
typedef int32_t QNE_DigitalOutMode;

// Levels as 32-bit words: inputs, then outputs.
struct QN_LevelInfo32 {
    int32_t lvlIn[32];
    int32_t lvlOut[32];
};

// The extended level record; its reader has nothing to fill on this driver.
struct QN_LevelInfoExtended1 {
    int32_t lvlIn[32];
    int32_t lvlOut[32];
};

// A control-port state record handed to writeAJData.
struct AJCPortBase;
