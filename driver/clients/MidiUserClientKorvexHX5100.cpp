// The MIDI client (type 1): OSXDispatch requests 21 to 23, 27 and 35 through
// the legacy one-method table; memory type 3, the port's MIDI shared area.
#include <cstring>

#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/kern/IOLib.h"

OSDefineMetaClassAndStructors(MidiUserClientKorvexHX5100, ZrUserClient)

    bool MidiUserClientKorvexHX5100::initWithTask(task_t owningTask, void* securityID,
                                                  UInt32 type) {
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) return false;
    setOwningTask(owningTask);
    mKernelDevice = nullptr;
    mAJ = nullptr;
    mClientDied = false;
    mClientId = -1;
    return true;
}

bool MidiUserClientKorvexHX5100::start(IOService* provider) {
    if (!startOnDevice(provider)) return false;
    mAJ = &device()->getAJ();
    mSemaphore.create(kcore::currentTask());
    return true;
}

void MidiUserClientKorvexHX5100::stop(IOService* provider) {
    IOUserClient::stop(provider);
}
bool MidiUserClientKorvexHX5100::terminate(IOOptionBits options) {
    return IOUserClient::terminate(options);
}
bool MidiUserClientKorvexHX5100::finalize(IOOptionBits options) {
    return IOUserClient::finalize(options);
}

IOReturn MidiUserClientKorvexHX5100::message(UInt32 type, IOService* provider, void* argument) {
    return IOUserClient::message(type, provider, argument);
}

IOReturn MidiUserClientKorvexHX5100::clientMemoryForType(UInt32 type, IOOptionBits* options,
                                                         IOMemoryDescriptor** memory) {
    if (memory) *memory = nullptr;
    if (options) *options = 0;
    if (type != kMemoryMidiSM) return kIOReturnNoMemory;
    if (!mAJ) return kIOReturnSuccess;
    if (IOBufferMemoryDescriptor* sm = mAJ->getMidiSM()) {
        sm->retain();
        if (memory)
            *memory = sm;
        else
            sm->release();
    }
    return kIOReturnSuccess;
}

IOMemoryMap* MidiUserClientKorvexHX5100::mapClientMemory(IOOptionBits type, task_t task,
                                                         IOOptionBits mapFlags,
                                                         IOVirtualAddress atAddress) {
    if (type != kMemoryMidiSM || !mAJ || !mAJ->getMidiSM()) return nullptr;
    return mAJ->getMidiSM()->createMappingInTask(task, atAddress, mapFlags | kIOMapAnywhere);
}

IOExternalMethod* MidiUserClientKorvexHX5100::getTargetAndMethodForIndex(IOService** target,
                                                                         UInt32 index) {
    static IOExternalMethod method = {
        nullptr, reinterpret_cast<IOMethod>(&MidiUserClientKorvexHX5100::userDispatch),
        kIOUCStructIStructO, sizeof(OSXDispatch), sizeof(OSXDispatch)};
    if (index != 0 || !target) return nullptr;
    *target = this;
    return &method;
}

IOReturn MidiUserClientKorvexHX5100::userDispatch(void* in, void* out, void* inSize, void* outSize,
                                                  void*, void*) {
    auto* outCount = static_cast<IOByteCount*>(outSize);
    if (!in || !out || !outCount || uintptr_t(inSize) != sizeof(OSXDispatch) ||
        *outCount != sizeof(OSXDispatch))
        return kIOReturnBadArgument;
    if (!mAJ || !mKernelDevice) return kIOReturnNotAttached;
    std::memmove(out, in, sizeof(OSXDispatch));
    return serveOSXDispatch("userDispatch", static_cast<uint8_t*>(out));
}

IOReturn MidiUserClientKorvexHX5100::serveRequest(uint32_t req, uint8_t* rec) {
    ZrDevice& dev = *device();
    switch (req) {
    case 21:
        mAJ->fireOutput();
        return kIOReturnSuccess;
    case 22:
        return mAJ->getMidiSM() ? kIOReturnSuccess : kIOReturnBadArgument;
    case 23:
        if (qnReadU32(rec, kOSXDispatchValueOffset) != 0)
            return mAJ->clientAttach(this) ? kIOReturnSuccess : kIOReturnBadArgument;
        mAJ->clientDetach(this);
        return kIOReturnSuccess;
    case 27:
        qnWriteU64(rec, kOSXDispatchValueOffset, identity());
        return kIOReturnSuccess;
    case 35: {
        QN_Dispatch d;
        std::memcpy(&d, rec + kOSXDispatchRecordOffset, sizeof d);
        const IOReturn r = dev.onDispatchStreaming(this, &d);
        std::memcpy(rec + kOSXDispatchRecordOffset, &d, sizeof d);
        return r;
    }
    default:
        IOLog("MIDIUSERCLIENTCLASS - unhandled inStruct->iReq %d\n", int(req));
        return kIOReturnBadArgument;
    }
}

void MidiUserClientKorvexHX5100::triggerClient() {
    __atomic_add_fetch(&mTriggers, 1, __ATOMIC_SEQ_CST);
    mSemaphore.signal();
}

IOReturn MidiUserClientKorvexHX5100::clientDied() {
    mClientDied = true;
    return IOUserClient::clientDied();
}

IOReturn MidiUserClientKorvexHX5100::clientClose() {
    if (mAJ && mAJ->hasMidiSM()) mAJ->clientDetach(this);
    if (ZrDevice* dev = device()) dev->onClientClosed(this, registeredId());
    setOwningTask(MACH_PORT_NULL);
    mAJ = nullptr;
    leaveDevice();
    mSemaphore.close();
    terminate(0);
    return kIOReturnSuccess;
}
