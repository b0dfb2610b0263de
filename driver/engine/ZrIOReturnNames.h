// Names of the IOReturn codes the driver logs: one {code, name} table and
// its lookup, so a log line can print a result as its name.
#pragma once

#include "platform/base/MacErrors.h"

#include <cstdio>
#include <string>

struct ZrIOReturnName {
    IOReturn code;
    const char* name;
};

inline constexpr ZrIOReturnName kZrIOReturnNames[] = {
    {kIOReturnSuccess, "kIOReturnSuccess"},
    {kIOReturnError, "kIOReturnError"},
    {kIOReturnNoMemory, "kIOReturnNoMemory"},
    {kIOReturnNoResources, "kIOReturnNoResources"},
    {kIOReturnIPCError, "kIOReturnIPCError"},
    {kIOReturnNoDevice, "kIOReturnNoDevice"},
    {kIOReturnNotPrivileged, "kIOReturnNotPrivileged"},
    {kIOReturnBadArgument, "kIOReturnBadArgument"},
    {kIOReturnLockedRead, "kIOReturnLockedRead"},
    {kIOReturnLockedWrite, "kIOReturnLockedWrite"},
    {kIOReturnExclusiveAccess, "kIOReturnExclusiveAccess"},
    {kIOReturnBadMessageID, "kIOReturnBadMessageID"},
    {kIOReturnUnsupported, "kIOReturnUnsupported"},
    {kIOReturnVMError, "kIOReturnVMError"},
    {kIOReturnInternalError, "kIOReturnInternalError"},
    {kIOReturnIOError, "kIOReturnIOError"},
    {kIOReturnCannotLock, "kIOReturnCannotLock"},
    {kIOReturnNotOpen, "kIOReturnNotOpen"},
    {kIOReturnNotReadable, "kIOReturnNotReadable"},
    {kIOReturnNotWritable, "kIOReturnNotWritable"},
    {kIOReturnNotAligned, "kIOReturnNotAligned"},
    {kIOReturnBadMedia, "kIOReturnBadMedia"},
    {kIOReturnStillOpen, "kIOReturnStillOpen"},
    {kIOReturnRLDError, "kIOReturnRLDError"},
    {kIOReturnDMAError, "kIOReturnDMAError"},
    {kIOReturnBusy, "kIOReturnBusy"},
    {kIOReturnTimeout, "kIOReturnTimeout"},
    {kIOReturnOffline, "kIOReturnOffline"},
    {kIOReturnNotReady, "kIOReturnNotReady"},
    {kIOReturnNotAttached, "kIOReturnNotAttached"},
    {kIOReturnNoChannels, "kIOReturnNoChannels"},
    {kIOReturnNoSpace, "kIOReturnNoSpace"},
    {kIOReturnPortExists, "kIOReturnPortExists"},
    {kIOReturnCannotWire, "kIOReturnCannotWire"},
    {kIOReturnNoInterrupt, "kIOReturnNoInterrupt"},
    {kIOReturnNoFrames, "kIOReturnNoFrames"},
    {kIOReturnMessageTooLarge, "kIOReturnMessageTooLarge"},
    {kIOReturnNotPermitted, "kIOReturnNotPermitted"},
    {kIOReturnNoPower, "kIOReturnNoPower"},
    {kIOReturnNoMedia, "kIOReturnNoMedia"},
    {kIOReturnUnformattedMedia, "kIOReturnUnformattedMedia"},
    {kIOReturnUnsupportedMode, "kIOReturnUnsupportedMode"},
    {kIOReturnUnderrun, "kIOReturnUnderrun"},
    {kIOReturnOverrun, "kIOReturnOverrun"},
    {kIOReturnDeviceError, "kIOReturnDeviceError"},
    {kIOReturnNoCompletion, "kIOReturnNoCompletion"},
    {kIOReturnAborted, "kIOReturnAborted"},
    {kIOReturnNoBandwidth, "kIOReturnNoBandwidth"},
    {kIOReturnNotResponding, "kIOReturnNotResponding"},
    {kIOReturnIsoTooOld, "kIOReturnIsoTooOld"},
    {kIOReturnIsoTooNew, "kIOReturnIsoTooNew"},
    {kIOReturnNotFound, "kIOReturnNotFound"},
    {kIOReturnInvalid, "kIOReturnInvalid"},
};

// The code's name; null for a code the table does not hold.
constexpr const char* ZrIOReturnNameOf(IOReturn code) {
    for (const ZrIOReturnName& row : kZrIOReturnNames)
        if (row.code == code) return row.name;
    return nullptr;
}

// A result as the driver's messages show it: its name and code, or the code
// alone when the table does not hold it ("kIOReturnNoBandwidth (0xE00002EC)").
inline std::string ZrIOReturnText(IOReturn code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(code));
    const char* name = ZrIOReturnNameOf(code);
    return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}
