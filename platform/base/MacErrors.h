// Result codes of the host system's user-space and IOKit calls, declared here
// from what the suite uses. The Mach codes are in MachTypes.h.
#pragma once

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

constexpr OSStatus noErr = 0;
constexpr OSStatus paramErr = -50;
constexpr OSStatus memFullErr = -108;
constexpr OSStatus fnfErr = -43;
constexpr OSStatus ioErr = -36;
constexpr OSStatus unimpErr = -4;

// IOReturn values: the IOKit subsystem's codes (0xE0000000 | code).
constexpr IOReturn iokit_common_err(unsigned code) {
    return IOReturn(0xE0000000u | code);
}

constexpr IOReturn kIOReturnSuccess = KERN_SUCCESS;
constexpr IOReturn kIOReturnError = iokit_common_err(0x2bc);
constexpr IOReturn kIOReturnNoMemory = iokit_common_err(0x2bd);
constexpr IOReturn kIOReturnNoResources = iokit_common_err(0x2be);
constexpr IOReturn kIOReturnIPCError = iokit_common_err(0x2bf);
constexpr IOReturn kIOReturnNoDevice = iokit_common_err(0x2c0);
constexpr IOReturn kIOReturnNotPrivileged = iokit_common_err(0x2c1);
constexpr IOReturn kIOReturnBadArgument = iokit_common_err(0x2c2);
constexpr IOReturn kIOReturnLockedRead = iokit_common_err(0x2c3);
constexpr IOReturn kIOReturnLockedWrite = iokit_common_err(0x2c4);
constexpr IOReturn kIOReturnExclusiveAccess = iokit_common_err(0x2c5);
constexpr IOReturn kIOReturnBadMessageID = iokit_common_err(0x2c6);
constexpr IOReturn kIOReturnUnsupported = iokit_common_err(0x2c7);
constexpr IOReturn kIOReturnVMError = iokit_common_err(0x2c8);
constexpr IOReturn kIOReturnInternalError = iokit_common_err(0x2c9);
constexpr IOReturn kIOReturnIOError = iokit_common_err(0x2ca);
constexpr IOReturn kIOReturnCannotLock = iokit_common_err(0x2cc);
constexpr IOReturn kIOReturnNotOpen = iokit_common_err(0x2cd);
constexpr IOReturn kIOReturnNotReadable = iokit_common_err(0x2ce);
constexpr IOReturn kIOReturnNotWritable = iokit_common_err(0x2cf);
constexpr IOReturn kIOReturnNotAligned = iokit_common_err(0x2d0);
constexpr IOReturn kIOReturnBadMedia = iokit_common_err(0x2d1);
constexpr IOReturn kIOReturnStillOpen = iokit_common_err(0x2d2);
constexpr IOReturn kIOReturnRLDError = iokit_common_err(0x2d3);
constexpr IOReturn kIOReturnDMAError = iokit_common_err(0x2d4);
constexpr IOReturn kIOReturnBusy = iokit_common_err(0x2d5);
constexpr IOReturn kIOReturnTimeout = iokit_common_err(0x2d6);
constexpr IOReturn kIOReturnOffline = iokit_common_err(0x2d7);
constexpr IOReturn kIOReturnNotReady = iokit_common_err(0x2d8);
constexpr IOReturn kIOReturnNotAttached = iokit_common_err(0x2d9);
constexpr IOReturn kIOReturnNoChannels = iokit_common_err(0x2da);
constexpr IOReturn kIOReturnNoSpace = iokit_common_err(0x2db);
constexpr IOReturn kIOReturnPortExists = iokit_common_err(0x2dd);
constexpr IOReturn kIOReturnCannotWire = iokit_common_err(0x2de);
constexpr IOReturn kIOReturnNoInterrupt = iokit_common_err(0x2df);
constexpr IOReturn kIOReturnNoFrames = iokit_common_err(0x2e0);
constexpr IOReturn kIOReturnMessageTooLarge = iokit_common_err(0x2e1);
constexpr IOReturn kIOReturnNotPermitted = iokit_common_err(0x2e2);
constexpr IOReturn kIOReturnNoPower = iokit_common_err(0x2e3);
constexpr IOReturn kIOReturnNoMedia = iokit_common_err(0x2e4);
constexpr IOReturn kIOReturnUnformattedMedia = iokit_common_err(0x2e5);
constexpr IOReturn kIOReturnUnsupportedMode = iokit_common_err(0x2e6);
constexpr IOReturn kIOReturnUnderrun = iokit_common_err(0x2e7);
constexpr IOReturn kIOReturnOverrun = iokit_common_err(0x2e8);
constexpr IOReturn kIOReturnDeviceError = iokit_common_err(0x2e9);
constexpr IOReturn kIOReturnNoCompletion = iokit_common_err(0x2ea);
constexpr IOReturn kIOReturnAborted = iokit_common_err(0x2eb);
constexpr IOReturn kIOReturnNoBandwidth = iokit_common_err(0x2ec);
constexpr IOReturn kIOReturnNotResponding = iokit_common_err(0x2ed);
constexpr IOReturn kIOReturnIsoTooOld = iokit_common_err(0x2ee);
constexpr IOReturn kIOReturnIsoTooNew = iokit_common_err(0x2ef);
constexpr IOReturn kIOReturnNotFound = iokit_common_err(0x2f0);
constexpr IOReturn kIOReturnInvalid = iokit_common_err(0x1);
