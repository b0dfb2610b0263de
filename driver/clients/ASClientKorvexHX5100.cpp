// The audio-server client (type 3): eight methods for the audio-server
// plug-in and its OSXDispatch requests; memory types 1, 4 and 5.
#include <cstring>

#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

OSDefineMetaClassAndStructors(ASClientKorvexHX5100, ZrStreamingClient)

    namespace {

    // Selector 7's input is not read: one scalar or none are both accepted.
    IOExternalMethodDispatch gASMethods[] = {
        {&ASClientKorvexHX5100::method_Open, 0, 0, 0, 0},
        {&ASClientKorvexHX5100::method_Close, 0, 0, 0, 0},
        {&ASClientKorvexHX5100::method_StartHardware, 1, 0, 1, 0},
        {&ASClientKorvexHX5100::method_StopHardware, 0, 0, 0, 0},
        {&ASClientKorvexHX5100::method_GetControlValue, 1, 0, 1, 0},
        {&ASClientKorvexHX5100::method_SetControlValue, 2, 0, 0, 0},
        {&ASClientKorvexHX5100::method_CallDriver, 0, kIOUCVariableStructureSize, 0,
         kIOUCVariableStructureSize},
        {&ASClientKorvexHX5100::method_GetUserClassID, kIOUCVariableStructureSize, 0, 1, 0},
    };

    int64_t hostMillis() {
        return int64_t(hx::clock::nowNanos() / 1000000);
    }

    // The target as an audio-server client holding its kernel device.
    IOReturn checkTarget(OSObject * target, ASClientKorvexHX5100 * &self, bool needDevice = true) {
        self = OSDynamicCast(ASClientKorvexHX5100, target);
        if (!self) return kIOReturnBadArgument;
        if (needDevice && !self->kernelDevice()) return kIOReturnNotAttached;
        return kIOReturnSuccess;
    }

} // namespace

bool ASClientKorvexHX5100::initWithTask(task_t owningTask, void* securityID, UInt32 type) {
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) return false;
    IOLog("AUDIOSERVERCLIENTCLASS::initWithTask %s \n", getMetaClass()->getClassName());
    setOwningTask(owningTask);
    mKernelDevice = nullptr;
    mDriverData = nullptr;
    mpAudioSM = nullptr;
    mClientId = -1;
    mAudioServer = true;
    return true;
}

bool ASClientKorvexHX5100::start(IOService* provider) {
    return startStreaming(provider);
}

bool ASClientKorvexHX5100::terminate(IOOptionBits options) {
    const bool r = IOUserClient::terminate(options);
    // The ring goes only once the mixer no longer reads it.
    freeOwnAreas();
    return r;
}

bool ASClientKorvexHX5100::finalize(IOOptionBits options) {
    return IOUserClient::finalize(options);
}

bool ASClientKorvexHX5100::didTerminate(IOService* provider, IOOptionBits options, bool* defer) {
    return IOUserClient::didTerminate(provider, options, defer);
}

IOReturn ASClientKorvexHX5100::message(UInt32 type, IOService* provider, void* argument) {
    return IOUserClient::message(type, provider, argument);
}

bool ASClientKorvexHX5100::servesType(uint32_t type) const {
    return type == kMemoryDriverSM || type == kMemoryDeviceAudioSM || type == kMemoryClientAudioSM;
}

IOReturn ASClientKorvexHX5100::externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                                              IOExternalMethodDispatch*, OSObject*, void*) {
    if (selector < std::size(gASMethods))
        return IOUserClient::externalMethod(selector, args, &gASMethods[selector], this, nullptr);
    return IOUserClient::externalMethod(selector, args);
}

IOReturn ASClientKorvexHX5100::method_Open(OSObject* target, void*, IOExternalMethodArguments*) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    UserDispLock lock;
    if (!lock._lock(self->mKernelDevice, "method_Open")) return kIOReturnCannotLock;
    if (self->mKernelDevice->isInactive()) return kIOReturnNotAttached;
    return self->mKernelDevice->open(self) ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn ASClientKorvexHX5100::method_Close(OSObject* target, void*, IOExternalMethodArguments*) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    UserDispLock lock;
    if (!lock._lock(self->mKernelDevice, "method_Close")) return kIOReturnCannotLock;
    if (!self->mKernelDevice->isOpen(self)) return kIOReturnNotOpen;
    self->mKernelDevice->close(self);
    return kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::method_StartHardware(OSObject* target, void*,
                                                    IOExternalMethodArguments* args) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    UserDispLock lock;
    if (!lock._lock(self->mKernelDevice, "method_StartHardware")) return kIOReturnCannotLock;
    int slot = -1;
    const IOReturn r = self->onStartHardware(uint32_t(args->scalarInput[0]), slot);
    args->scalarOutput[0] = uint64_t(int64_t(slot));
    return r;
}

IOReturn ASClientKorvexHX5100::method_StopHardware(OSObject* target, void*,
                                                   IOExternalMethodArguments*) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    UserDispLock lock;
    if (!lock._lock(self->mKernelDevice, "method_StopHardware")) return kIOReturnCannotLock;
    self->onStopHardware();
    return kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::method_GetControlValue(OSObject* target, void*,
                                                      IOExternalMethodArguments* args) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    if (args->scalarInput[0] > 1) return kIOReturnBadArgument;
    args->scalarOutput[0] = 0;
    return kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::method_SetControlValue(OSObject* target, void*,
                                                      IOExternalMethodArguments* args) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    return args->scalarInput[0] > 1 ? kIOReturnBadArgument : kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::method_CallDriver(OSObject* target, void*,
                                                 IOExternalMethodArguments* args) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self)) return r;
    if (!args->structureInput) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_CallDriver: inStruct NULL\n");
        return kIOReturnBadArgument;
    }
    if (args->structureInputSize != sizeof(OSXDispatch)) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_CallDriver: inStructSize:%d\n",
              int(args->structureInputSize));
        return kIOReturnBadArgument;
    }
    if (!args->structureOutput) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_CallDriver: outStruct NULL\n");
        return kIOReturnBadArgument;
    }
    if (args->structureOutputSize != sizeof(OSXDispatch)) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_CallDriver: "
              "inArguments->structureOutputSize!=sizeof(OSXDispatch) %d\n",
              int(args->structureOutputSize));
        return kIOReturnBadArgument;
    }
    return self->serveOSXDispatch("method_CallDriver",
                                  static_cast<uint8_t*>(args->structureOutput));
}

IOReturn ASClientKorvexHX5100::method_GetUserClassID(OSObject* target, void*,
                                                     IOExternalMethodArguments* args) {
    ASClientKorvexHX5100* self;
    if (IOReturn r = checkTarget(target, self, false)) return r;
    args->scalarOutput[0] = self->identity();
    return kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::serveRequest(uint32_t req, uint8_t* rec) {
    bool served = false;
    const IOReturn r = serveStreamingRequest(true, req, rec, served);
    if (served) return r;
    IOLog("unhandled inStruct->iReq %d\n", int(req));
    return kIOReturnSuccess;
}

IOReturn ASClientKorvexHX5100::onStartHardware(uint32_t frameSize, int& slot) {
    IOLog("@%lld onStartHardware\n", (long long)hostMillis());
    slot = -1;
    if (!mDriverData) return kIOReturnNoDevice;
    return attachRing(kASClientTag, slot, frameSize);
}

IOReturn ASClientKorvexHX5100::onStopHardware() {
    IOLog("@%lld onStopHardware\n", (long long)hostMillis());
    return detachRing();
}

IOReturn ASClientKorvexHX5100::clientClose() {
    onStopHardware();
    setOwningTask(MACH_PORT_NULL);
    dropDriverData();
    if (ZrDevice* dev = device()) dev->onClientClosed(this, registeredId());
    leaveDevice();
    terminate(0);
    return kIOReturnSuccess;
}
