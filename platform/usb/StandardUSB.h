// The USB wire records and request codes as the host stack hands them to a
// driver, with the walkers a driver uses over a configuration descriptor set.
// The records mirror the bytes on the wire (little-endian, packed); this
// build assumes a little-endian host.
#pragma once

#include "platform/kern/IOTypes.h"

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "USB records are read in place");

namespace StandardUSB {

#pragma pack(push, 1)
struct Descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
};

struct DeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct ConfigurationDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t bMaxPower;
};

struct InterfaceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};

struct EndpointDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};

struct StringDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bString[1];
};

struct DeviceRequest {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};
#pragma pack(pop)

static_assert(sizeof(DeviceDescriptor) == 18);
static_assert(sizeof(ConfigurationDescriptor) == 9);
static_assert(sizeof(InterfaceDescriptor) == 9);
static_assert(sizeof(EndpointDescriptor) == 7);
static_assert(sizeof(DeviceRequest) == 8);

enum : uint8_t {
    kDescriptorTypeDevice = 1,
    kDescriptorTypeConfiguration = 2,
    kDescriptorTypeString = 3,
    kDescriptorTypeInterface = 4,
    kDescriptorTypeEndpoint = 5,
    kDescriptorTypeClassSpecificInterface = 0x24,
    kDescriptorTypeClassSpecificEndpoint = 0x25,
};

// bmRequestType: direction | type | recipient.
enum : uint8_t {
    kRequestDirectionOut = 0x00,
    kRequestDirectionIn = 0x80,
    kRequestTypeStandard = 0x00,
    kRequestTypeClass = 0x20,
    kRequestTypeVendor = 0x40,
    kRequestRecipientDevice = 0,
    kRequestRecipientInterface = 1,
    kRequestRecipientEndpoint = 2,
};

enum : uint8_t {
    kDeviceRequestGetStatus = 0,
    kDeviceRequestClearFeature = 1,
    kDeviceRequestSetFeature = 3,
    kDeviceRequestSetAddress = 5,
    kDeviceRequestGetDescriptor = 6,
    kDeviceRequestGetConfiguration = 8,
    kDeviceRequestSetConfiguration = 9,
    kDeviceRequestGetInterface = 10,
    kDeviceRequestSetInterface = 11,
};

enum : uint16_t { kFeatureEndpointHalt = 0 };

enum : uint8_t {
    kEndpointDirectionIn = 0x80,
    kEndpointTypeControl = 0,
    kEndpointTypeIsochronous = 1,
    kEndpointTypeBulk = 2,
    kEndpointTypeInterrupt = 3,
};

inline uint8_t getEndpointType(const EndpointDescriptor* e) {
    return e->bmAttributes & 3;
}
inline bool isEndpointIn(const EndpointDescriptor* e) {
    return (e->bEndpointAddress & 0x80) != 0;
}
inline uint16_t getEndpointMaxPacketSize(const EndpointDescriptor* e) {
    return e->wMaxPacketSize & 0x7FF;
}

// The descriptor after `current` inside the configuration set (the first one
// after the configuration header when current is null); null at the end or
// at a malformed length.
const Descriptor* getNextDescriptor(const ConfigurationDescriptor* config,
                                    const Descriptor* current);
const Descriptor* getNextDescriptorWithType(const ConfigurationDescriptor* config,
                                            const Descriptor* current, uint8_t type);
const InterfaceDescriptor* getNextInterfaceDescriptor(const ConfigurationDescriptor* config,
                                                      const Descriptor* current);
// The endpoint after `current` that belongs to `interface` (the first one
// when current is null); null at the next interface descriptor.
const EndpointDescriptor* getNextEndpointDescriptor(const ConfigurationDescriptor* config,
                                                    const InterfaceDescriptor* interface,
                                                    const Descriptor* current);

} // namespace StandardUSB

// Connection speeds as the host reports them.
enum : uint8_t {
    kUSBHostConnectionSpeedLow = 0,
    kUSBHostConnectionSpeedFull = 1,
    kUSBHostConnectionSpeedHigh = 2,
    kUSBHostConnectionSpeedSuper = 3,
};

enum : IOReturn {
    // The endpoint answered with a stall handshake.
    kUSBHostReturnPipeStalled = (IOReturn)0xE0005000,
};

// Default completion time-out of standard requests, in milliseconds.
enum : uint32_t { kUSBHostStandardRequestCompletionTimeout = 5000 };
