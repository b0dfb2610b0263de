#include "platform/kern/IOUserClient.h"

OSDefineMetaClassAndStructors(IOUserClient, IOService)

    bool IOUserClient::initWithTask(task_t owningTask, void*, UInt32 type,
                                    OSDictionary* properties) {
    if (owningTask == MACH_PORT_NULL || !init(properties)) return false;
    mOwningTask = owningTask;
    mType = type;
    return true;
}

bool IOUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type) {
    return IOUserClient::initWithTask(owningTask, securityID, type, nullptr);
}

bool IOUserClient::start(IOService* provider) {
    if (!provider || !IOService::start(provider)) return false;
    if (getProvider() != provider && !attach(provider)) return false;
    return true;
}

bool IOUserClient::terminate(IOOptionBits options) {
    if (IOService* provider = getProvider())
        if (provider->isOpen(this)) provider->close(this);
    return IOService::terminate(options);
}

IOReturn IOUserClient::clientClose() {
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::clientDied() {
    return clientClose();
}

IOReturn IOUserClient::clientMemoryForType(UInt32, IOOptionBits*, IOMemoryDescriptor**) {
    return kIOReturnUnsupported;
}

IOMemoryMap* IOUserClient::mapClientMemory(IOOptionBits type, task_t task, IOOptionBits mapFlags,
                                           IOVirtualAddress atAddress) {
    IOOptionBits options = 0;
    IOMemoryDescriptor* memory = nullptr;
    if (clientMemoryForType(type, &options, &memory) != kIOReturnSuccess || !memory) return nullptr;
    IOMemoryMap* map =
        memory->createMappingInTask(task, atAddress, mapFlags | options | kIOMapAnywhere);
    memory->release();
    return map;
}

namespace {

bool countMatches(uint32_t expected, uint32_t given) {
    return expected == kIOUCVariableStructureSize || expected == given;
}

} // namespace

IOReturn IOUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                                      IOExternalMethodDispatch* dispatch, OSObject* target,
                                      void* reference) {
    if (!args) return kIOReturnBadArgument;
    if (dispatch) {
        if (!dispatch->function) return kIOReturnUnsupported;
        if (!countMatches(dispatch->checkScalarInputCount, args->scalarInputCount) ||
            !countMatches(dispatch->checkStructureInputSize, args->structureInputSize) ||
            !countMatches(dispatch->checkScalarOutputCount, args->scalarOutputCount) ||
            !countMatches(dispatch->checkStructureOutputSize, args->structureOutputSize))
            return kIOReturnBadArgument;
        return dispatch->function(target ? target : this, reference, args);
    }
    // The legacy table: struct in, struct out, the sizes handed on as given.
    IOService* object = nullptr;
    IOExternalMethod* method = getTargetAndMethodForIndex(&object, selector);
    if (!method || !object || !method->func) return kIOReturnUnsupported;
    if ((method->flags & kIOUCTypeMask) != kIOUCStructIStructO) return kIOReturnUnsupported;
    IOByteCount outSize = args->structureOutputSize;
    const IOReturn r = (object->*(method->func))(
        const_cast<void*>(args->structureInput), args->structureOutput,
        reinterpret_cast<void*>(uintptr_t(args->structureInputSize)), &outSize, nullptr, nullptr);
    args->structureOutputSize = uint32_t(outSize);
    return r;
}

IOExternalMethod* IOUserClient::getTargetAndMethodForIndex(IOService**, UInt32) {
    return nullptr;
}

IOReturn IOUserClient::registerNotificationPort(mach_port_t, UInt32, io_user_reference_t) {
    return kIOReturnUnsupported;
}

IOExternalTrap* IOUserClient::getTargetAndTrapForIndex(IOService**, UInt32) {
    return nullptr;
}
