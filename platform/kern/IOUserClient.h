// The kernel side of a user-space connection to a service, as far as the
// kernel driver uses it so far: creation for a task, start on the provider
// (which attaches the client, so the provider's messageClients reaches it),
// and termination through the provider's terminateClient. Requests, memory
// mapping and the user side come with the user-space port.
#pragma once

#include "platform/kern/IOService.h"

class IOUserClient : public IOService {
    OSDeclareDefaultStructors(IOUserClient)
public:
    virtual bool initWithTask(task_t owningTask, void* securityID, UInt32 type, OSDictionary* properties);
    virtual bool initWithTask(task_t owningTask, void* securityID, UInt32 type);
    bool start(IOService* provider) override;

    // The user side closed the connection (or its process died).
    virtual IOReturn clientClose();
    virtual IOReturn clientDied();

    task_t getOwningTask() const { return mOwningTask; }
    UInt32 getType() const { return mType; }

private:
    task_t mOwningTask = MACH_PORT_NULL;
    UInt32 mType = 0;
};
