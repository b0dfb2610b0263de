// Kernel-side scalar types, message codes and power flags, declared from
// what the kernel driver uses. Result codes and Mach types come from the
// platform base.
#pragma once

#include "platform/base/IOKitTypes.h" // shared with the user-side calls
#include "platform/base/MacErrors.h"  // kIOReturn* codes
#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h" // KERN_*, task_t, thread_t

#include <cstdint>

typedef uint64_t AbsoluteTime;
typedef uint32_t IOPMPowerFlags;
typedef int wait_result_t;

// Options of registerService.
enum : IOOptionBits {
    kIOServiceSynchronous = 0x00000002,
};

// Power flags the root domain hands to interested drivers.
enum : IOPMPowerFlags {
    kIOPMPowerOn = 0x00000002,
    kIOPMSleepCapability = 0x00000004,
    kIOPMRestartCapability = 0x00000080,
    kIOPMDeviceUsable = 0x00008000,
};
enum : IOReturn { kIOPMAckImplied = 0 };
