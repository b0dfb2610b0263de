// Plug-in interfaces for kernel services: a user-space object a service's
// family offers (the USB device interface), reached through a COM-style
// plug-in object.
#pragma once

#include "platform/cf/CFPlugInCOM.h"
#include "platform/cf/CFUUID.h"
#include "platform/iokit/IOKitLib.h"

// The interface every service plug-in answers first.
#define kIOCFPlugInInterfaceID                                                                     \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91,  \
                                   0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F)

struct IOCFPlugInInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
    ULONG (*AddRef)(void* thisPointer);
    ULONG (*Release)(void* thisPointer);
    UInt16 version;
    UInt16 revision;
};

extern "C" {
// The plug-in of the given type for the service, asking for interfaceType
// (kIOCFPlugInInterfaceID); one reference for the caller, given back with
// IODestroyPlugInInterface or its Release. A service whose family offers no
// plug-in of the type answers kIOReturnUnsupported.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);
}
