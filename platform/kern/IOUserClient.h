// The kernel side of a user-space connection to a service.
//
// A client is created for a task by its provider's newUserClient, started on
// the provider (which attaches it, so the provider's messageClients reaches
// it) and ends through clientClose (the user closed the connection) or
// clientDied (its task died; by default the same as clientClose).
//
// Requests arrive through externalMethod: either from a dispatch table
// (IOExternalMethodDispatch: the platform checks scalar counts and structure
// sizes unless declared variable, kIOReturnBadArgument when they differ) or,
// without a table, through the legacy getTargetAndMethodForIndex path, whose
// struct-in/struct-out methods get the sizes unchecked. Shared memory goes
// to the task through clientMemoryForType (or mapClientMemory, which maps
// what it answers). The connection layer that runs all of this for a task is
// IOUserConnection.h.
#pragma once

#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/kern/IOService.h"

typedef uint64_t io_user_reference_t;

// Up to this many reference words come with an asynchronous call.
constexpr uint32_t kOSAsyncRef64Count = 8;
// A count or size the dispatch table does not check.
constexpr uint32_t kIOUCVariableStructureSize = 0xFFFFFFFF;

struct IOExternalMethodArguments {
    uint32_t version = 0;
    uint32_t selector = 0;

    mach_port_t asyncWakePort = MACH_PORT_NULL;
    io_user_reference_t* asyncReference = nullptr;
    uint32_t asyncReferenceCount = 0;

    const uint64_t* scalarInput = nullptr;
    uint32_t scalarInputCount = 0;
    const void* structureInput = nullptr;
    uint32_t structureInputSize = 0;
    IOMemoryDescriptor* structureInputDescriptor = nullptr;

    uint64_t* scalarOutput = nullptr;
    uint32_t scalarOutputCount = 0;
    void* structureOutput = nullptr;
    uint32_t structureOutputSize = 0;
    IOMemoryDescriptor* structureOutputDescriptor = nullptr;
    uint32_t structureOutputDescriptorSize = 0;
};

typedef IOReturn (*IOExternalMethodAction)(OSObject* target, void* reference,
                                           IOExternalMethodArguments* arguments);

struct IOExternalMethodDispatch {
    IOExternalMethodAction function;
    uint32_t checkScalarInputCount;
    uint32_t checkStructureInputSize;
    uint32_t checkScalarOutputCount;
    uint32_t checkStructureOutputSize;
};

// The legacy method table entry.
typedef IOReturn (IOService::*IOMethod)(void* p1, void* p2, void* p3, void* p4, void* p5, void* p6);
struct IOExternalMethod {
    IOService* object;
    IOMethod func;
    IOOptionBits flags;
    IOByteCount count0;
    IOByteCount count1;
};
enum : IOOptionBits {
    kIOUCScalarIScalarO = 0,
    kIOUCScalarIStructO = 2,
    kIOUCStructIStructO = 3,
    kIOUCScalarIStructI = 4,
    kIOUCTypeMask = 0x0000000F,
};

// A trap: a method of the target taking up to six arguments.
typedef IOReturn (IOService::*IOTrap)(void* p1, void* p2, void* p3, void* p4, void* p5, void* p6);
struct IOExternalTrap {
    IOService* object;
    IOTrap func;
};

class IOUserClient : public IOService {
    OSDeclareDefaultStructors(IOUserClient) public :
        // False for a null task.
        virtual bool initWithTask(task_t owningTask, void* securityID, UInt32 type,
                                  OSDictionary* properties);
    virtual bool initWithTask(task_t owningTask, void* securityID, UInt32 type);
    bool start(IOService* provider) override;

    // The user side closed the connection; clientDied: its task died (runs
    // clientClose unless overridden).
    virtual IOReturn clientClose();
    virtual IOReturn clientDied();

    // The area of a memory type, retained for the caller; kIOReturnUnsupported
    // by default.
    virtual IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options,
                                         IOMemoryDescriptor** memory);
    // clientMemoryForType's area mapped into task at its exact size; null when
    // there is none.
    virtual IOMemoryMap* mapClientMemory(IOOptionBits type, task_t task,
                                         IOOptionBits mapFlags = kIOMapAnywhere,
                                         IOVirtualAddress atAddress = 0);

    virtual IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                    IOExternalMethodDispatch* dispatch = nullptr,
                                    OSObject* target = nullptr, void* reference = nullptr);
    // The legacy table: the method of an index and the object it runs on.
    virtual IOExternalMethod* getTargetAndMethodForIndex(IOService** targetP, UInt32 index);
    // IOConnectSetNotificationPort: kIOReturnUnsupported unless a client
    // takes a port.
    virtual IOReturn registerNotificationPort(mach_port_t port, UInt32 type,
                                              io_user_reference_t refCon);
    // IOConnectTrap0..6: the trap of an index and the object it runs on; none
    // by default (the call then answers kIOReturnBadArgument).
    virtual IOExternalTrap* getTargetAndTrapForIndex(IOService** targetP, UInt32 index);

    // Drops the open this client holds on its provider, if any (a client that
    // terminates must not keep the provider open).
    bool terminate(IOOptionBits options = 0) override;

    task_t getOwningTask() const { return mOwningTask; }
    UInt32 getType() const { return mType; }

private:
    task_t mOwningTask = MACH_PORT_NULL;
    UInt32 mType = 0;
};
