// Temporary seam between the kernel service and the IOKit/USB stand-ins.
//
// The service and device model are written against the few operations they
// need of their IOService base, their IOUSBHostDevice provider and the user
// clients they create. Until the platform's IOService, IOUSBHostDevice and
// IOUserClient are in place, those operations are declared here; binding them
// to the platform replaces this file with the platform's classes, and the
// engine's calls keep their names and meaning.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/MacTypes.h"

// Result codes the engine reports (values fixed by the user-client protocol).
enum : IOReturn {
    kEngineIOReturnSuccess = 0,
    kEngineIOReturnError = IOReturn(0xE00002BC),
    kEngineIOReturnNoMemory = IOReturn(0xE00002BD),
    kEngineIOReturnNoDevice = IOReturn(0xE00002C0),
    kEngineIOReturnBadArgument = IOReturn(0xE00002C2),
    kEngineIOReturnDeviceError = IOReturn(0xE00002E9),
    kEngineIOReturnAborted = IOReturn(0xE00002EB),
    kEngineIOReturnNotResponding = IOReturn(0xE00002ED),
    kEngineIOReturnStall = IOReturn(0xE000404F),  // pipe stalled
};

struct ZrUsbSetup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// What the device model uses of its IOUSBHostDevice provider.
class ZrUsbDevice {
public:
    virtual ~ZrUsbDevice() = default;
    virtual void retain() = 0;
    virtual void release() = 0;
    virtual int getRetainCount() const = 0;
    virtual bool open(const void* forClient, uint32_t options) = 0;
    virtual void close(const void* forClient) = 0;
    virtual bool isOpen(const void* forClient) const = 0;
    // The 18-byte device descriptor, or null.
    virtual const uint8_t* getDeviceDescriptor() const = 0;
    // A string descriptor as the device sent it; false when it could not be read.
    virtual bool getStringDescriptor(uint8_t index, uint16_t language, uint8_t* out, uint32_t& length) = 0;
    // Configuration descriptor set by index (0-based), or null.
    virtual const uint8_t* getConfigurationDescriptor(uint8_t index, uint32_t& totalLength) = 0;
    // Never writes more than wLength bytes; bytesTransferred reports what moved.
    virtual IOReturn deviceRequest(const void* forClient, const ZrUsbSetup& setup, void* data,
                                   uint32_t& bytesTransferred, uint32_t completionTimeoutMs) = 0;
    virtual uint8_t getSpeed() const = 0;
    virtual bool getLocationIDProperty(uint32_t& value) const = 0;
    virtual uint16_t getAddress() const = 0;
    virtual IOReturn reset() = 0;
    virtual uint64_t getFrameNumber() const = 0;
};

// A user client the service created; its protocol comes with the client layer.
class ZrUserClient {
public:
    virtual ~ZrUserClient() = default;
    virtual bool initWithTask(void* owningTask, void* securityID, uint32_t type) = 0;
    virtual bool start(void* provider) = 0;
    virtual void release() = 0;
};

// Creates the client class by its name, or null when no such class is known.
typedef ZrUserClient* (*ZrUserClientFactory)(const char* className);

// What the service uses of its IOService base.
class ZrServiceBase {
public:
    virtual ~ZrServiceBase() = default;
    virtual bool init() { return true; }
    virtual bool start(void*) { return true; }
    virtual void stop(void*) {}
    virtual bool terminate(uint32_t) { return true; }
    virtual void free() {}
    virtual bool probeScore(int32_t*) { return true; }
    virtual void registerService(uint32_t) {}
    virtual bool setProperty(const char*, const char*) { return true; }
    virtual bool setPropertyNumbers(const char*, const char* const*, const uint32_t*, int) { return true; }
    virtual IOReturn messageClients(uint32_t, const void*, size_t) { return 0; }
    virtual bool terminateClient(ZrUserClient*, uint32_t) { return true; }
    virtual bool registerPowerInterest() { return false; }
    virtual void deregisterPowerInterest() {}
};
