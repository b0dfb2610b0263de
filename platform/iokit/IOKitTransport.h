// The one narrow port between the user-side IOKit calls and the kernel end.
//
// The user side (IOKitLib.cpp) keeps this process's names, iterators,
// notification ports and their run-loop sources; a transport only moves
// requests and their answers. Everything a transport names is a Handle it
// gave out: a service it holds for the caller, a subscription, a port, a
// connection. Every call may come from any thread; none runs user code.
#pragma once

#include "platform/base/IOKitTypes.h"
#include "platform/cf/CFBase.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hx::iokit {

using Handle = uint32_t; // 0 names nothing

// What a notification port receives, in the order the kernel sent it.
struct NotificationRecord {
    // First publish and first match come once per service.
    enum Kind : uint8_t {
        Publish = 1,
        Terminate = 2,
        Interest = 3,
        FirstPublish = 4,
        FirstMatch = 5
    };
    Kind kind = Interest;
    uint32_t tag = 0;   // what the subscriber named its subscription
    Handle service = 0; // publish and terminate: a service held for the receiver
    uint32_t messageType = 0;
    std::vector<uint8_t> argument;
};

// The receiving side of a port; deliver may be called on any thread and
// must only queue.
class PortSink {
public:
    virtual void deliver(NotificationRecord&& record) = 0;
    // The port will deliver nothing more (its kernel end went away).
    virtual void lost() = 0;

protected:
    ~PortSink() = default;
};

// One call's arguments; output counts and sizes are in/out as with the
// kernel end (capacity going in, what came back coming out).
struct CallArgs {
    const uint64_t* scalarInput = nullptr;
    uint32_t scalarInputCount = 0;
    const void* structInput = nullptr;
    size_t structInputSize = 0;
    uint64_t* scalarOutput = nullptr;
    uint32_t* scalarOutputCount = nullptr;
    void* structOutput = nullptr;
    size_t* structOutputSize = nullptr;
    mach_port_t wakePort = MACH_PORT_NULL;
    const uint64_t* reference = nullptr;
    uint32_t referenceCount = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    // "in-process" or "process", as reports name it.
    virtual const char* name() const = 0;

    // Registry. A matching dictionary is read, not consumed.
    virtual kern_return_t getMatchingServices(CFDictionaryRef matching,
                                              std::vector<Handle>& services) = 0;
    virtual kern_return_t retainService(Handle service, Handle* copy) = 0;
    virtual void releaseService(Handle service) = 0;
    // A number naming the kernel service behind a handle, equal for every
    // handle of one service while any is held; 0 when unknown (each handle
    // then gets its own name).
    virtual uint64_t serviceIdentity(Handle) { return 0; }
    virtual kern_return_t copyProperties(Handle service, CFMutableDictionaryRef* properties) = 0;
    // Null (and success) for an absent key.
    virtual kern_return_t copyProperty(Handle service, CFStringRef key, CFTypeRef* value) = 0;

    // Notification ports and their subscriptions.
    virtual kern_return_t createPort(PortSink* sink, Handle* port) = 0;
    virtual void destroyPort(Handle port) = 0;
    // Records of a subscription carry the tag the subscriber gave it.
    virtual kern_return_t subscribeServices(Handle port, NotificationRecord::Kind kind,
                                            CFDictionaryRef matching, uint32_t tag,
                                            Handle* subscription,
                                            std::vector<Handle>* existing) = 0;
    virtual kern_return_t subscribeInterest(Handle port, Handle service, uint32_t tag,
                                            Handle* subscription) = 0;
    virtual void unsubscribe(Handle subscription) = 0;

    // Connections.
    virtual kern_return_t open(Handle service, task_t task, uint32_t type, Handle* connection) = 0;
    virtual kern_return_t close(Handle connection) = 0;
    virtual kern_return_t call(Handle connection, uint32_t selector, const CallArgs& args) = 0;
    virtual kern_return_t map(Handle connection, uint32_t type, mach_vm_address_t* address,
                              mach_vm_size_t* size) = 0;
    virtual kern_return_t unmap(Handle connection, uint32_t type, mach_vm_address_t address) = 0;
    virtual kern_return_t pidForTask(task_t task, int* pid) = 0;

    // Registry questions and writes, and the connection's notification port
    // and traps. A transport that does not carry them answers
    // kIOReturnUnsupported.
    virtual kern_return_t conformsTo(Handle service, const char* className, bool* conforms) {
        (void)service, (void)className, (void)conforms;
        return kIOReturnUnsupported;
    }
    virtual kern_return_t isEqual(Handle a, Handle b, bool* equal) {
        (void)a, (void)b, (void)equal;
        return kIOReturnUnsupported;
    }
    // The entry's children (or parents) in the plane, each held for the
    // caller, in registry order; an unknown plane is kIOReturnBadArgument.
    virtual kern_return_t neighbours(Handle entry, const char* plane, bool parents,
                                     std::vector<Handle>& entries) {
        (void)entry, (void)plane, (void)parents, (void)entries;
        return kIOReturnUnsupported;
    }
    virtual kern_return_t setProperty(Handle service, CFStringRef key, CFTypeRef value) {
        (void)service, (void)key, (void)value;
        return kIOReturnUnsupported;
    }
    virtual kern_return_t setNotificationPort(Handle connection, uint32_t type, mach_port_t port,
                                              uint64_t reference) {
        (void)connection, (void)type, (void)port, (void)reference;
        return kIOReturnUnsupported;
    }
    virtual kern_return_t trap(Handle connection, uint32_t index) {
        (void)connection, (void)index;
        return kIOReturnUnsupported;
    }
    // The entry's path in the plane ("IOService" only; another plane is
    // kIOReturnBadArgument).
    virtual kern_return_t registryPath(Handle entry, const char* plane, std::string& path) {
        (void)entry, (void)plane, (void)path;
        return kIOReturnUnsupported;
    }
    // A control request on a USB device nub's default pipe: data holds the
    // OUT bytes going in (length of them) and the IN bytes coming back; done
    // gets what moved. length above kMaxDeviceRequest is kIOReturnBadArgument,
    // nothing sent.
    struct DeviceRequest {
        uint8_t requestType = 0;
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        uint16_t length = 0;
        std::vector<uint8_t> data;
        uint32_t done = 0;
    };
    static constexpr uint16_t kMaxDeviceRequest = 4096;
    virtual kern_return_t deviceRequest(Handle service, DeviceRequest& request) {
        (void)service, (void)request;
        return kIOReturnUnsupported;
    }

    // The root power domain: the port hears the system's sleep and wake
    // messages as interest records of the tag, each argument the
    // notification's ID (8 bytes); *root gets the root domain's service held
    // for the caller. The registration ends as any subscription does
    // (unsubscribe, or its port's end).
    virtual kern_return_t registerSystemPower(Handle port, uint32_t tag, Handle* registration,
                                              Handle* root) {
        (void)port, (void)tag, (void)registration, (void)root;
        return kIOReturnUnsupported;
    }
    // The registration's callback for the notification returned.
    virtual void acknowledgeSystemPower(Handle registration, uint64_t notificationID) {
        (void)registration, (void)notificationID;
    }
};

std::unique_ptr<Transport> makeInProcessTransport();

// The transport's handle behind a service name of this process (0 for none).
Handle serviceHandle(mach_port_t service);

// A string's UTF-8 text (empty for none), as both transports send keys.
std::string utf8Text(CFStringRef s);

} // namespace hx::iokit
