// The IOKit scalar types, codes and message numbers both sides of a user
// connection use: the kernel stand-in (platform/kern) and the user-side
// calls (platform/iokit) each take them from here, so a program holding both
// (a test with a machine handle) sees one declaration.
#pragma once

#include "platform/base/MacErrors.h"
#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

#include <cstdint>

typedef uint32_t IOOptionBits;
typedef uint64_t IOByteCount;
typedef uint64_t IOVirtualAddress;
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uint64_t vm_size_t;
typedef uintptr_t vm_address_t;
typedef mach_port_t io_connect_t;

// A message to a port that is gone, or a name that is not one.
constexpr kern_return_t MACH_SEND_INVALID_DEST = 0x10000003;

// The mapping option both sides use (a plain constant, so it combines with
// the kernel's own option enumerators without mixing enumerations).
constexpr IOOptionBits kIOMapAnywhere = 0x00000001;

// Messages a provider sends its clients and interested parties.
enum : UInt32 {
    kIOMessageServiceIsTerminated = 0xE0000010,
    kIOMessageServiceIsRequestingClose = 0xE0000100,
    kIOMessageServiceIsAttemptingOpen = 0xE0000101,
    kIOMessageServiceWasClosed = 0xE0000110,
    kIOMessageServicePropertyChange = 0xE0000130,
};
