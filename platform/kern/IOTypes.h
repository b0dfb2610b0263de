// Kernel-side scalar types and result codes, declared from what the kernel
// driver uses. The result values are the ones the driver reports to user
// space, so they are part of the user-client protocol.
#pragma once

#include "platform/base/MacTypes.h"

#include <cstdint>

typedef uint32_t IOOptionBits;
typedef uint64_t IOByteCount;
typedef uint64_t IOVirtualAddress;
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uint64_t vm_size_t;
typedef uint64_t AbsoluteTime;
typedef uint32_t IOPMPowerFlags;
typedef int wait_result_t;

#ifndef KERN_SUCCESS
#define KERN_SUCCESS 0
#define KERN_INVALID_ARGUMENT 4
#define KERN_FAILURE 5
#define KERN_RESOURCE_SHORTAGE 6
#endif

enum : IOReturn {
    kIOReturnSuccess = 0,
    kIOReturnError = (IOReturn)0xE00002BC,
    kIOReturnNoMemory = (IOReturn)0xE00002BD,
    kIOReturnNoResources = (IOReturn)0xE00002BE,
    kIOReturnNoDevice = (IOReturn)0xE00002C0,
    kIOReturnNotPrivileged = (IOReturn)0xE00002C1,
    kIOReturnBadArgument = (IOReturn)0xE00002C2,
    kIOReturnExclusiveAccess = (IOReturn)0xE00002C5,
    kIOReturnUnsupported = (IOReturn)0xE00002C7,
    kIOReturnInternalError = (IOReturn)0xE00002C9,
    kIOReturnIOError = (IOReturn)0xE00002CA,
    kIOReturnCannotLock = (IOReturn)0xE00002CC,
    kIOReturnNotOpen = (IOReturn)0xE00002CD,
    kIOReturnBusy = (IOReturn)0xE00002D5,
    kIOReturnTimeout = (IOReturn)0xE00002D6,
    kIOReturnNotReady = (IOReturn)0xE00002D8,
    kIOReturnNotAttached = (IOReturn)0xE00002D9,
    kIOReturnUnderrun = (IOReturn)0xE00002E7,
    kIOReturnOverrun = (IOReturn)0xE00002E8,
    kIOReturnDeviceError = (IOReturn)0xE00002E9,
    kIOReturnAborted = (IOReturn)0xE00002EB,
    kIOReturnNoBandwidth = (IOReturn)0xE00002EC,
    kIOReturnNotResponding = (IOReturn)0xE00002ED,
    kIOReturnNotFound = (IOReturn)0xE00002F0,
};

// Messages a provider sends its clients and interested parties.
enum : UInt32 {
    kIOMessageServiceIsTerminated = 0xE0000010,
    kIOMessageServiceIsRequestingClose = 0xE0000100,
    kIOMessageServiceIsAttemptingOpen = 0xE0000101,
    kIOMessageServiceWasClosed = 0xE0000110,
    kIOMessageServicePropertyChange = 0xE0000130,
};

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
