#include "platform/iokit/IOUSBLib.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/base/MacErrors.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOKitTransport.h"

namespace {

std::atomic<int64_t> gRefusePlugIn{0}; // the error the next creation answers, 0 for none

bool sameUUID(CFUUIDRef a, CFUUIDBytes b) {
    const CFUUIDBytes x = CFUUIDGetUUIDBytes(a);
    return std::memcmp(&x, &b, sizeof x) == 0;
}

bool sameUUID(CFUUIDRef a, CFUUIDRef b) {
    return a && b && sameUUID(a, CFUUIDGetUUIDBytes(b));
}

// The device interface: holds its service; requests go through the
// transport to the nub's default pipe.
struct DeviceInterface {
    IOUSBDeviceInterface* vtable; // first, so the object is an IOUSBDeviceInterface**
    std::atomic<ULONG> refs{1};
    io_service_t service;
};

// The plug-in object: holds the service the interfaces are for.
struct PlugIn {
    IOCFPlugInInterface* vtable;
    std::atomic<ULONG> refs{1};
    io_service_t service;
};

HRESULT deviceQuery(void* self, REFIID iid, LPVOID* ppv);
ULONG deviceAddRef(void* self) {
    return ++static_cast<DeviceInterface*>(self)->refs;
}
ULONG deviceRelease(void* self) {
    auto* d = static_cast<DeviceInterface*>(self);
    const ULONG left = --d->refs;
    if (left == 0) {
        IOObjectRelease(d->service);
        delete d;
    }
    return left;
}

IOReturn deviceRequest(void* self, IOUSBDevRequest* req) {
    if (!self || !req) return kIOReturnBadArgument;
    auto* d = static_cast<DeviceInterface*>(self);
    req->wLenDone = 0;
    if (req->wLength > hx::iokit::Transport::kMaxDeviceRequest || (req->wLength && !req->pData))
        return kIOReturnBadArgument;
    const hx::iokit::Handle h = hx::iokit::serviceHandle(d->service);
    if (!h) return kIOReturnNoDevice;
    hx::iokit::Transport::DeviceRequest q;
    q.requestType = req->bmRequestType;
    q.request = req->bRequest;
    q.value = req->wValue;
    q.index = req->wIndex;
    q.length = req->wLength;
    const bool in = (req->bmRequestType & 0x80) != 0;
    if (!in && req->wLength) {
        const auto* p = static_cast<const uint8_t*>(req->pData);
        q.data.assign(p, p + req->wLength);
    }
    const kern_return_t kr = hx::iokit::transport().deviceRequest(h, q);
    const UInt32 done = q.done > req->wLength ? req->wLength : q.done;
    if (in && !q.data.empty())
        std::memcpy(req->pData, q.data.data(), q.data.size() < done ? q.data.size() : done);
    req->wLenDone = done;
    return kr;
}

IOUSBDeviceInterface gDeviceVtable = {nullptr, deviceQuery, deviceAddRef, deviceRelease,
                                      deviceRequest};

HRESULT deviceQuery(void* self, REFIID iid, LPVOID* ppv) {
    if (!ppv) return E_NOINTERFACE;
    *ppv = nullptr;
    if (!sameUUID(kIOUSBDeviceInterfaceID, iid) && !sameUUID(IUnknownUUID, iid))
        return E_NOINTERFACE;
    deviceAddRef(self);
    *ppv = self;
    return S_OK;
}

HRESULT plugInQuery(void* self, REFIID iid, LPVOID* ppv);
ULONG plugInAddRef(void* self) {
    return ++static_cast<PlugIn*>(self)->refs;
}
ULONG plugInRelease(void* self) {
    auto* p = static_cast<PlugIn*>(self);
    const ULONG left = --p->refs;
    if (left == 0) {
        IOObjectRelease(p->service);
        delete p;
    }
    return left;
}

IOCFPlugInInterface gPlugInVtable = {nullptr, plugInQuery, plugInAddRef, plugInRelease, 1, 0};

HRESULT plugInQuery(void* self, REFIID iid, LPVOID* ppv) {
    if (!ppv) return E_NOINTERFACE;
    *ppv = nullptr;
    if (sameUUID(kIOCFPlugInInterfaceID, iid) || sameUUID(IUnknownUUID, iid)) {
        plugInAddRef(self);
        *ppv = self;
        return S_OK;
    }
    if (!sameUUID(kIOUSBDeviceInterfaceID, iid)) return E_NOINTERFACE;
    auto* p = static_cast<PlugIn*>(self);
    auto* d = new (std::nothrow) DeviceInterface;
    if (!d) return E_NOINTERFACE;
    d->vtable = &gDeviceVtable;
    IOObjectRetain(p->service);
    d->service = p->service;
    *ppv = d;
    return S_OK;
}

} // namespace

namespace hx::iokit {

void refuseNextPlugIn(int32_t error) {
    gRefusePlugIn.store(int64_t(error));
}

} // namespace hx::iokit

extern "C" {

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore) {
    if (!theInterface) return kIOReturnBadArgument;
    *theInterface = nullptr;
    if (!hx::iokit::serviceHandle(service)) return MACH_SEND_INVALID_DEST;
    if (!sameUUID(pluginType, kIOUSBDeviceUserClientTypeID) ||
        !sameUUID(interfaceType, kIOCFPlugInInterfaceID) ||
        !IOObjectConformsTo(service, "IOUSBDevice"))
        return kIOReturnUnsupported;
    const int64_t refused = gRefusePlugIn.exchange(0);
    if (refused) return kern_return_t(refused);
    auto* p = new (std::nothrow) PlugIn;
    if (!p) return kIOReturnNoMemory;
    p->vtable = &gPlugInVtable;
    IOObjectRetain(service);
    p->service = service;
    if (theScore) *theScore = 0;
    *theInterface = reinterpret_cast<IOCFPlugInInterface**>(p);
    return KERN_SUCCESS;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
    if (!interface) return kIOReturnBadArgument;
    (*interface)->Release(interface);
    return KERN_SUCCESS;
}

} // extern "C"
