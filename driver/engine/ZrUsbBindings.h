// The bindings between the descriptor model's interface and endpoint records
// and the USB stack's interface and pipe objects of the current
// configuration. The records describe what the device offers; these tie the
// chosen ones to the live objects while a configuration lasts.
//
// Only the configuration code changes bindings (on the requesting thread
// under the dispatch lock, or on the power thread); the lock here keeps the
// readers of other threads (stream stop, the transports asking for their
// pipe) from seeing a half-made entry.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/usb/IOUSBHostFamily.h"

class IOService;
class ZrInterfaceDescriptor;
class ZrPipeDescriptor;

// A request for an interface: class, subclass, protocol and alternate
// setting; 0xFFFF (or more) in a field matches anything.
struct QnInterfaceRequest {
    uint16_t mClass;
    uint16_t mSubClass;
    uint16_t mProtocol;
    uint16_t mAlternate;
};

// The device's child interface with that interface number, or null.
IOUSBHostInterface* QnFindInterface(IOUSBHostDevice* device, int number);
// The first child interface after `after` (from the start when null) whose
// current descriptor matches the request; null when none or no request.
IOUSBHostInterface* QnFindNextInterface(IOUSBHostDevice* device, IOUSBHostInterface* after,
                                        const QnInterfaceRequest* request);

class ZrUsbBindings {
public:
    ZrUsbBindings() = default;
    ~ZrUsbBindings() { closeAll(); }
    ZrUsbBindings(const ZrUsbBindings&) = delete;
    ZrUsbBindings& operator=(const ZrUsbBindings&) = delete;

    // Binds the record to the interface (retained). With claim and an owner
    // the interface is opened for the owner, selecting the record's
    // alternate setting in the same call when it is not 0. When the owner
    // already holds it open and no other record is bound to it, the record's
    // alternate is selected on it (back to 0 when the binding closes with a
    // reset), and it stays open for the owner after the binding goes. True
    // at once when already bound to this interface; a null interface binds
    // nothing.
    bool setInterface(ZrInterfaceDescriptor* desc, IOService* owner, IOUSBHostInterface* intf,
                      bool claim);
    IOUSBHostInterface* getInterface(const ZrInterfaceDescriptor* desc) const;
    bool isBound(const ZrInterfaceDescriptor* desc) const { return getInterface(desc) != nullptr; }
    // Closes the pipes of the record, returns to alternate 0 when asked and
    // the record's owner still has it open, closes it for the owner and
    // releases it.
    void closeInterface(ZrInterfaceDescriptor* desc, bool resetAlternate);

    // Binds the endpoint record to the pipe of its address on its
    // interface's bound interface and clears the endpoint's halt state on
    // the device (CLEAR_FEATURE(ENDPOINT_HALT)), so a stall left from an
    // earlier configuration cannot block the first transfer. True at once
    // when bound.
    bool initPipe(ZrPipeDescriptor* pipe, const char* callerName);
    IOUSBHostPipe* getPipe(const ZrPipeDescriptor* pipe) const;
    // Aborts the pipe's transfers with kIOReturnAborted and releases it.
    void closePipe(ZrPipeDescriptor* pipe);
    // The abort alone.
    void abort(ZrPipeDescriptor* pipe);

    void closeAll();
    int boundInterfaces() const;
    int boundPipes() const;

private:
    struct InterfaceBinding {
        IOUSBHostInterface* intf = nullptr;
        IOService* owner = nullptr;
        bool claimed = false;
        bool opened = false; // opened by the binding, so closed by it
    };
    // Whether another record is bound to the interface.
    bool boundToAnother(const ZrInterfaceDescriptor* desc, const IOUSBHostInterface* intf) const;
    // Removes a binding from the table; false when there was none.
    bool takeBinding(const ZrInterfaceDescriptor* desc, InterfaceBinding& out);
    // Closes (back to alternate 0 first when asked) and releases an
    // interface taken out of the table.
    static void unbind(const InterfaceBinding& b, bool resetAlternate);
    mutable std::mutex mLock;
    std::map<const ZrInterfaceDescriptor*, InterfaceBinding> mInterfaces;
    std::map<const ZrPipeDescriptor*, IOUSBHostPipe*> mPipes;
};
