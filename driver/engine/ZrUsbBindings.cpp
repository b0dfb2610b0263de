#include "driver/engine/ZrUsbBindings.h"

#include <vector>

#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOService.h"

namespace {

// The device's child interfaces in the order they were published, retained.
std::vector<IOUSBHostInterface*> childInterfaces(IOUSBHostDevice* device) {
    std::vector<IOUSBHostInterface*> out;
    if (!device) return out;
    OSIterator* it = device->getClientIterator();
    while (OSObject* o = it ? it->getNextObject() : nullptr) {
        // Interfaces of a configuration that was replaced stay listed until
        // their termination ends; they can no longer be opened.
        auto* i = OSDynamicCast(IOUSBHostInterface, o);
        if (i && !i->isInactive()) {
            i->retain();
            out.push_back(i);
        }
    }
    if (it) it->release();
    return out;
}

void releaseAll(std::vector<IOUSBHostInterface*>& list) {
    for (IOUSBHostInterface* i : list)
        i->release();
    list.clear();
}

bool fieldMatches(uint16_t wanted, uint8_t value) {
    return wanted >= 0xFFFF || wanted == value;
}

// An interface the owner already holds open (a start-up opened it by hand):
// the record's alternate is selected on it, so its endpoints are there.
bool selectHeldAlternate(IOUSBHostInterface* intf, uint8_t alternate) {
    const StandardUSB::InterfaceDescriptor* d = intf->getInterfaceDescriptor();
    if (d && d->bAlternateSetting == alternate) return true;
    const IOReturn r = intf->selectAlternateSetting(alternate);
    if (r != kIOReturnSuccess)
        IOLog("ZrUsbBindings: interface %d held open, alternate %d not selected (%08X)\n",
              d ? int(d->bInterfaceNumber) : -1, int(alternate), unsigned(r));
    return r == kIOReturnSuccess;
}

} // namespace

IOUSBHostInterface* QnFindInterface(IOUSBHostDevice* device, int number) {
    std::vector<IOUSBHostInterface*> list = childInterfaces(device);
    IOUSBHostInterface* found = nullptr;
    for (IOUSBHostInterface* i : list) {
        const StandardUSB::InterfaceDescriptor* d = i->getInterfaceDescriptor();
        if (d && d->bInterfaceNumber == number) {
            found = i;
            break;
        }
    }
    releaseAll(list);
    // The device keeps its interfaces while its configuration lasts.
    return found;
}

IOUSBHostInterface* QnFindNextInterface(IOUSBHostDevice* device, IOUSBHostInterface* after,
                                        const QnInterfaceRequest* request) {
    if (!request) return nullptr;
    std::vector<IOUSBHostInterface*> list = childInterfaces(device);
    IOUSBHostInterface* found = nullptr;
    bool passed = after == nullptr;
    for (IOUSBHostInterface* i : list) {
        if (!passed) {
            passed = i == after;
            continue;
        }
        const StandardUSB::InterfaceDescriptor* d = i->getInterfaceDescriptor();
        if (d && fieldMatches(request->mClass, d->bInterfaceClass) &&
            fieldMatches(request->mSubClass, d->bInterfaceSubClass) &&
            fieldMatches(request->mProtocol, d->bInterfaceProtocol) &&
            fieldMatches(request->mAlternate, d->bAlternateSetting)) {
            found = i;
            break;
        }
    }
    releaseAll(list);
    return found;
}

bool ZrUsbBindings::setInterface(ZrInterfaceDescriptor* desc, IOService* owner,
                                 IOUSBHostInterface* intf, bool claim) {
    if (!desc) return false;
    {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mInterfaces.find(desc);
        if (it != mInterfaces.end() && it->second.intf == intf && intf) return true;
    }
    closeInterface(desc, true);
    if (!intf) return true;
    intf->retain();
    InterfaceBinding b{intf, nullptr, claim, false};
    // The owner is the service that owns these bindings: not retained, it
    // outlives them.
    const uint8_t alternate = desc->getAlternateNumber();
    if (claim && owner && !intf->isOpen(owner)) {
        const bool opened = alternate != 0
                                ? intf->open(owner, kUSBHostOpenOptionSelectAlternateInterface,
                                             reinterpret_cast<void*>(uintptr_t(alternate)))
                                : intf->open(owner, 0);
        if (!opened) {
            intf->release();
            return false;
        }
        b.owner = owner;
        b.opened = true;
    } else if (claim && owner && !boundToAnother(desc, intf)) {
        // Held open by the owner outside these bindings (a start-up opened
        // it by hand): the record's alternate is selected on it.
        if (!selectHeldAlternate(intf, alternate)) {
            intf->release();
            return false;
        }
        b.owner = owner;
    }
    std::lock_guard<std::mutex> g(mLock);
    mInterfaces[desc] = b;
    return true;
}

bool ZrUsbBindings::boundToAnother(const ZrInterfaceDescriptor* desc,
                                   const IOUSBHostInterface* intf) const {
    std::lock_guard<std::mutex> g(mLock);
    for (const auto& [d, b] : mInterfaces)
        if (d != desc && b.intf == intf) return true;
    return false;
}

IOUSBHostInterface* ZrUsbBindings::getInterface(const ZrInterfaceDescriptor* desc) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mInterfaces.find(desc);
    return it == mInterfaces.end() ? nullptr : it->second.intf;
}

void ZrUsbBindings::closeInterface(ZrInterfaceDescriptor* desc, bool resetAlternate) {
    if (!desc) return;
    for (int i = 0; i < desc->getCountPipes(); ++i)
        closePipe(desc->getPipeByIndex(i));
    InterfaceBinding b;
    if (takeBinding(desc, b)) unbind(b, resetAlternate);
}

bool ZrUsbBindings::takeBinding(const ZrInterfaceDescriptor* desc, InterfaceBinding& out) {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mInterfaces.find(desc);
    if (it == mInterfaces.end()) return false;
    out = it->second;
    mInterfaces.erase(it);
    return true;
}

void ZrUsbBindings::unbind(const InterfaceBinding& b, bool resetAlternate) {
    if (!b.intf) return;
    const bool openForOwner = b.owner && b.intf->isOpen(b.owner);
    if (b.claimed && openForOwner && resetAlternate) {
        const StandardUSB::InterfaceDescriptor* d = b.intf->getInterfaceDescriptor();
        if (d && d->bAlternateSetting != 0) b.intf->selectAlternateSetting(0);
    }
    // An interface the owner held before the binding stays open for it.
    if (b.opened && openForOwner) b.intf->close(b.owner);
    b.intf->release();
}

bool ZrUsbBindings::initPipe(ZrPipeDescriptor* pipe, const char* callerName) {
    if (!pipe) return false;
    if (getPipe(pipe)) return true;
    ZrInterfaceDescriptor* owner = pipe->getInterfaceDescriptor();
    IOUSBHostInterface* intf = getInterface(owner);
    if (!intf) {
        if (callerName) IOLog("initPipeError: no usb interface\n");
        return false;
    }
    if (callerName)
        IOLog("ZrPipeDescriptor(%p)::initPipe from %s\n", static_cast<void*>(pipe), callerName);
    IOLog("initPipe if:%p ifNum:%d alt:%d,numEnPoints:%d isOpen:%d\n", static_cast<void*>(intf),
          int(owner->getInterfaceNumber()), int(owner->getAlternateNumber()),
          int(owner->getNumEndpoints()), intf->isOpen() ? 1 : 0);
    IOUSBHostPipe* found = intf->copyPipe(pipe->getAddress());
    if (!found) {
        if (callerName) IOLog("initPipe mUSBPipe NULL\n");
        return false;
    }
    if (callerName)
        IOLog("initPipe bandwidth mMaxPacketSize:%d GetMaxPacketSize():%d\n",
              int(pipe->getMaxPacketSize()), int(found->getEndpointDescriptor()->wMaxPacketSize));
    found->clearStall(true);
    std::lock_guard<std::mutex> g(mLock);
    mPipes[pipe] = found;
    return true;
}

IOUSBHostPipe* ZrUsbBindings::getPipe(const ZrPipeDescriptor* pipe) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mPipes.find(pipe);
    return it == mPipes.end() ? nullptr : it->second;
}

void ZrUsbBindings::closePipe(ZrPipeDescriptor* pipe) {
    IOUSBHostPipe* p = nullptr;
    {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mPipes.find(pipe);
        if (it == mPipes.end()) return;
        p = it->second;
        mPipes.erase(it);
    }
    p->abort(kAbortAsynchronous, kIOReturnAborted);
    p->release();
}

void ZrUsbBindings::abort(ZrPipeDescriptor* pipe) {
    IOUSBHostPipe* p = nullptr;
    {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mPipes.find(pipe);
        if (it == mPipes.end()) return;
        p = it->second;
        p->retain();
    }
    p->abort(kAbortAsynchronous, kIOReturnAborted);
    p->release();
}

void ZrUsbBindings::closeAll() {
    std::vector<ZrPipeDescriptor*> pipes;
    std::vector<ZrInterfaceDescriptor*> interfaces;
    {
        std::lock_guard<std::mutex> g(mLock);
        for (auto& [k, v] : mPipes)
            pipes.push_back(const_cast<ZrPipeDescriptor*>(k));
        for (auto& [k, v] : mInterfaces)
            interfaces.push_back(const_cast<ZrInterfaceDescriptor*>(k));
    }
    for (ZrPipeDescriptor* p : pipes)
        closePipe(p);
    // The records may be gone by now: close without asking them anything.
    for (ZrInterfaceDescriptor* d : interfaces) {
        InterfaceBinding b;
        if (takeBinding(d, b)) unbind(b, false);
    }
}

int ZrUsbBindings::boundInterfaces() const {
    std::lock_guard<std::mutex> g(mLock);
    return int(mInterfaces.size());
}

int ZrUsbBindings::boundPipes() const {
    std::lock_guard<std::mutex> g(mLock);
    return int(mPipes.size());
}
