// The kernel end of a user connection: what the user-side IOKit calls reach.
//
// This is the one narrow port between user space and the kernel's user
// clients. A connection is opened for a task on a service (newUserClient,
// then start), and named by a port name the caller keeps. Over it the caller
// makes calls (externalMethod, on the caller's own thread), maps and unmaps
// the client's memory types into its task, and closes it (clientClose, once).
// When a task dies (killTask) every connection of it gets clientDied once and
// its mappings are dropped.
//
// Every call is copied in and out as a transport across address spaces would
// copy it: the method sees kernel copies of the inputs; its structure output
// starts as a copy of the structure input (zeros beyond), its scalar outputs
// as zeros; the outputs and the sizes the method left reach the caller only
// when the call succeeds. A failed call leaves the caller's buffers as they
// were. Limits: at most 16 scalars each way and 4,096 bytes of structure
// each way (kIOReturnBadArgument). A closed or unknown connection answers
// MACH_SEND_INVALID_DEST. Close and death wait, through the platform clock,
// for the calls in flight; later calls are refused.
//
// Mappings are the task's: they stay valid after the connection closes (and
// after the device goes) until unmapped or the task dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/kern/IOUserClient.h"

namespace hx::kern {

constexpr uint32_t kMaxCallScalars = 16;
constexpr size_t kMaxCallStructSize = 4096;

// One call's arguments, as the user side hands them. Counts and sizes of the
// outputs are in/out: their capacity going in, what came back coming out.
struct ConnectionCall {
    const uint64_t* scalarInput = nullptr;
    uint32_t scalarInputCount = 0;
    const void* structInput = nullptr;
    size_t structInputSize = 0;
    uint64_t* scalarOutput = nullptr;
    uint32_t* scalarOutputCount = nullptr;
    void* structOutput = nullptr;
    size_t* structOutputSize = nullptr;
    // Asynchronous calls: the wake port and up to 8 reference words.
    mach_port_t wakePort = MACH_PORT_NULL;
    const uint64_t* reference = nullptr;
    uint32_t referenceCount = 0;
};

// Opens a connection of the type for the task; the service's newUserClient
// result when it gives no client.
IOReturn connectionOpen(IOService* service, task_t task, uint32_t type, io_connect_t* connect);
IOReturn connectionCall(io_connect_t connect, uint32_t selector, const ConnectionCall& call);
// Maps the client's memory of the type into the connection's task at its
// exact size. kIOReturnNoMemory when the client answers success with no
// memory; otherwise the client's own answer.
IOReturn connectionMap(io_connect_t connect, uint32_t type, mach_vm_address_t* address,
                       mach_vm_size_t* size);
// Unmaps a mapping this task made at address.
IOReturn connectionUnmap(io_connect_t connect, uint32_t type, mach_vm_address_t address);
IOReturn connectionClose(io_connect_t connect);
// The user end went away without closing: clientDied, once, after the calls
// in flight (MACH_SEND_INVALID_DEST when already closed).
IOReturn connectionDied(io_connect_t connect);
// The file behind a mapping this connection made at address, and where the
// mapped bytes start in it; the descriptor is a duplicate for the caller to
// close. False when there is no such mapping.
bool connectionMapFile(io_connect_t connect, uint32_t type, mach_vm_address_t address, int* fd,
                       uint64_t* offset);
// The client object of a connection, retained for the caller (kernel tests).
IOUserClient* connectionClient(io_connect_t connect);

// Test hook: hears every call a connection's client received, after its
// method answered: the client, the selector, the kernel's copy of the
// structure input and the method's result. One observer per process; an
// empty function removes it (a call in flight may still report to the one it
// took). Calls refused before the method (a closed connection, bad sizes)
// are not heard.
using ConnectionCallObserver =
    std::function<void(IOUserClient* client, uint32_t selector, const void* structInput,
                       size_t structInputSize, IOReturn result)>;
void setConnectionCallObserver(ConnectionCallObserver observer);

// Test hook: the task dies. Its connections get clientDied once each (after
// their calls in flight), its mappings go, and the task is forgotten.
void killTask(task_t task);
// Open connections of a task.
size_t taskConnectionCount(task_t task);

} // namespace hx::kern
