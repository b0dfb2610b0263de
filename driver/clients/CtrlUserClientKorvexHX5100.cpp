// The control client (types 2 and 5): QN_Dispatch requests through the
// legacy one-method table; no shared memory.
#include <cstring>

#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/kern/IOLib.h"

OSDefineMetaClassAndStructors(CtrlUserClientKorvexHX5100, ZrUserClient)

    bool CtrlUserClientKorvexHX5100::initWithTask(task_t owningTask, void* securityID,
                                                  UInt32 type) {
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) return false;
    setOwningTask(owningTask);
    mKernelDevice = nullptr;
    mClientDied = false;
    mClientId = -1;
    return true;
}

bool CtrlUserClientKorvexHX5100::start(IOService* provider) {
    return startOnDevice(provider);
}
void CtrlUserClientKorvexHX5100::stop(IOService* provider) {
    IOUserClient::stop(provider);
}
bool CtrlUserClientKorvexHX5100::terminate(IOOptionBits options) {
    return IOUserClient::terminate(options);
}
bool CtrlUserClientKorvexHX5100::finalize(IOOptionBits options) {
    return IOUserClient::finalize(options);
}

IOReturn CtrlUserClientKorvexHX5100::message(UInt32 type, IOService* provider, void* argument) {
    return IOUserClient::message(type, provider, argument);
}

IOExternalMethod* CtrlUserClientKorvexHX5100::getTargetAndMethodForIndex(IOService** target,
                                                                         UInt32 index) {
    static IOExternalMethod method = {
        nullptr, reinterpret_cast<IOMethod>(&CtrlUserClientKorvexHX5100::userDispatch),
        kIOUCStructIStructO, sizeof(QN_Dispatch), sizeof(QN_Dispatch)};
    if (index != 0 || !target) return nullptr;
    *target = this;
    return &method;
}

IOReturn CtrlUserClientKorvexHX5100::userDispatch(void* in, void* out, void* inSize, void* outSize,
                                                  void*, void*) {
    auto* outCount = static_cast<IOByteCount*>(outSize);
    if (!in || !out || !outCount || uintptr_t(inSize) != sizeof(QN_Dispatch) ||
        *outCount != sizeof(QN_Dispatch))
        return kIOReturnNotPrivileged;
    if (!mKernelDevice) return kIOReturnNotAttached;
    UserDispLock lock;
    if (!lock._lock(mKernelDevice, "userDispatch")) {
        IOLog("%s aborted. lock failed", "userDispatch");
        return kIOReturnCannotLock;
    }
    ZrDevice* dev = device();
    if (!dev) return kIOReturnNotAttached;
    std::memmove(out, in, sizeof(QN_Dispatch));
    *outCount = sizeof(QN_Dispatch);
    QN_Dispatch d;
    std::memcpy(&d, out, sizeof d);
    const IOReturn r = dev->onDispatch(&d);
    std::memcpy(out, &d, sizeof d);
    return r;
}

IOReturn CtrlUserClientKorvexHX5100::clientDied() {
    mClientDied = true;
    return IOUserClient::clientDied();
}

IOReturn CtrlUserClientKorvexHX5100::clientClose() {
    // The control client owns nothing in the shared area: its close clears
    // no owner words.
    setOwningTask(MACH_PORT_NULL);
    if (ZrDevice* dev = device()) dev->onClientClosed(nullptr, -1);
    leaveDevice();
    terminate(0);
    return kIOReturnSuccess;
}
