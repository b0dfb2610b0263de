// The USB device interface user space reaches a device nub through: control
// requests on the device's default pipe. A USB device nub is found by class
// "IOUSBDevice" with "idVendor" and "idProduct"; its plug-in
// (kIOUSBDeviceUserClientTypeID) answers kIOUSBDeviceInterfaceID.
//
// Default-pipe requests need no exclusive open; the bus keeps them apart
// from the driver's own. At most 4,096 data bytes (kIOReturnBadArgument,
// nothing sent, above that or with a length but no data); a request to an
// unplugged device answers kIOReturnNoDevice.
#pragma once

#include "platform/iokit/IOCFPlugIn.h"

#define kIOUSBDeviceUserClientTypeID                                                               \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4, 0xA5,  \
                                   0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61)
#define kIOUSBDeviceInterfaceID                                                                    \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x5C, 0x81, 0x87, 0xD0, 0x9E, 0xF3, 0x11, 0xD4, 0x8B,  \
                                   0x45, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61)

struct IOUSBDevRequest {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone; // what moved, never above wLength
};

struct IOUSBDeviceInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
    ULONG (*AddRef)(void* thisPointer);
    ULONG (*Release)(void* thisPointer);
    IOReturn (*DeviceRequest)(void* self, IOUSBDevRequest* req);
};
