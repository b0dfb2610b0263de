// The audio client (type 0): OSXDispatch requests of the HAL plug-in, the
// control panel and the helper; memory types 1 and 4 to 7.
#include <cstring>

#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

OSDefineMetaClassAndStructors(AudioUserClientKorvexHX5100, ZrStreamingClient)

    namespace {
    constexpr const char* kName = "AudioUserClientKorvexHX5100";

    IOExternalMethodDispatch gAudioMethods[] = {
        {&AudioUserClientKorvexHX5100::method_CallDriver, 0, kIOUCVariableStructureSize, 0,
         kIOUCVariableStructureSize},
        {&AudioUserClientKorvexHX5100::method_CallDriverVendorWriteAsync, 3,
         kIOUCVariableStructureSize, 0, 0},
        {&AudioUserClientKorvexHX5100::method_CallDriverVendorReadAsync, 3, 0, 0,
         kIOUCVariableStructureSize},
    };

    void splitAddress(const void* p, unsigned& hi, unsigned& lo) {
        const uint64_t v = uint64_t(reinterpret_cast<uintptr_t>(p));
        hi = unsigned(v >> 32);
        lo = unsigned(v);
    }
} // namespace

bool AudioUserClientKorvexHX5100::initWithTask(task_t owningTask, void* securityID, UInt32 type) {
    unsigned hi, lo;
    splitAddress(this, hi, lo);
    IOLog("%s with %08X.%08X\n", "AudioUserClientKorvexHX5100::initWithTask", hi, lo);
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) return false;
    setOwningTask(owningTask);
    mKernelDevice = nullptr;
    mDriverData = nullptr;
    mpAudioSM = nullptr;
    mpAsyncData = nullptr;
    mClientId = -1;
    mAudioServer = false;
    return true;
}

bool AudioUserClientKorvexHX5100::start(IOService* provider) {
    return startStreaming(provider);
}

void AudioUserClientKorvexHX5100::stop(IOService* provider) {
    IOUserClient::stop(provider);
}

IOReturn AudioUserClientKorvexHX5100::message(UInt32 type, IOService* provider, void* argument) {
    return IOUserClient::message(type, provider, argument);
}

bool AudioUserClientKorvexHX5100::servesType(uint32_t type) const {
    return type == kMemoryDriverSM || type == kMemoryDeviceAudioSM ||
           type == kMemoryClientAudioSM || type == kMemoryVendorAsync || type == kMemoryClientAsync;
}

SharedMemory* AudioUserClientKorvexHX5100::initAsyncData() {
    if (!mpAsyncData && mAsyncArea.init(kClientAsyncDataSize)) mpAsyncData = mAsyncArea.getMemory();
    return mpAsyncData ? &mAsyncArea : nullptr;
}

IOReturn AudioUserClientKorvexHX5100::externalMethod(uint32_t selector,
                                                     IOExternalMethodArguments* args,
                                                     IOExternalMethodDispatch*, OSObject*, void*) {
    if (selector < std::size(gAudioMethods))
        return IOUserClient::externalMethod(selector, args, &gAudioMethods[selector], this,
                                            nullptr);
    return IOUserClient::externalMethod(selector, args);
}

IOReturn AudioUserClientKorvexHX5100::method_CallDriver(OSObject* target, void*,
                                                        IOExternalMethodArguments* args) {
    auto* self = OSDynamicCast(AudioUserClientKorvexHX5100, target);
    if (!self) {
        unsigned hi, lo;
        splitAddress(target, hi, lo);
        IOLog("OSDynamicCast(AUDIOUSERCLIENTCLASS, %08X.%08X) failed\n", hi, lo);
        return kIOReturnBadArgument;
    }
    bool bad = false;
    if (!args->structureInput) {
        IOLog("%s::method_CallDriver: inStruct NULL\n", kName);
        bad = true;
    }
    if (!args->structureOutput) {
        IOLog("%s::method_CallDriver: outStruct NULL\n", kName);
        bad = true;
    }
    if (args->structureInputSize != sizeof(OSXDispatch)) {
        IOLog("%s::method_CallDriver: inStructSize:%llu\n", kName,
              (unsigned long long)args->structureInputSize);
        bad = true;
    }
    if (args->structureOutputSize != sizeof(OSXDispatch)) {
        IOLog("%s::method_CallDriver: structureOutputSize:%d", kName,
              int(args->structureOutputSize));
        bad = true;
    }
    if (bad) {
        IOLog("%s method_CallDriver invalid param\n", kName);
        return kIOReturnBadArgument;
    }
    if (!self->mKernelDevice) return kIOReturnNotAttached;
    return self->serveOSXDispatch("method_CallDriver",
                                  static_cast<uint8_t*>(args->structureOutput));
}

IOReturn
AudioUserClientKorvexHX5100::method_CallDriverVendorWriteAsync(OSObject*, void*,
                                                               IOExternalMethodArguments*) {
    return kIOReturnSuccess;
}

IOReturn AudioUserClientKorvexHX5100::method_CallDriverVendorReadAsync(OSObject*, void*,
                                                                       IOExternalMethodArguments*) {
    return kIOReturnSuccess;
}

IOReturn AudioUserClientKorvexHX5100::serveRequest(uint32_t req, uint8_t* rec) {
    bool served = false;
    const IOReturn r = serveStreamingRequest(false, req, rec, served);
    if (served) return r;
    IOLog("unhandled inStruct->iReq %d\n", int(req));
    IOLog("%s code:%d return kIOReturnBadArgument\n", "method_CallDriver", int(req));
    return kIOReturnBadArgument;
}

IOReturn AudioUserClientKorvexHX5100::startUSBStream(uint32_t tag, int& slot, uint32_t frameSize) {
    return attachRing(tag, slot, frameSize);
}

IOReturn AudioUserClientKorvexHX5100::stopUSBStream() {
    return detachRing();
}

IOReturn AudioUserClientKorvexHX5100::clientClose() {
    stopUSBStream();
    setOwningTask(MACH_PORT_NULL);
    dropDriverData();
    if (ZrDevice* dev = device()) dev->onClientClosed(this, registeredId());
    leaveDevice();
    freeOwnAreas();
    IOUserClient::clientClose();
    terminate(0);
    return kIOReturnSuccess;
}
