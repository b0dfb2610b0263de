#include "platform/kern/IOUserClient.h"

OSDefineMetaClassAndStructors(IOUserClient, IOService)

bool IOUserClient::initWithTask(task_t owningTask, void*, UInt32 type, OSDictionary* properties) {
    if (!init(properties)) return false;
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

IOReturn IOUserClient::clientClose() { return kIOReturnUnsupported; }

IOReturn IOUserClient::clientDied() { return clientClose(); }
