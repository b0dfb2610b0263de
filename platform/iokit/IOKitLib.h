// The user-side IOKit calls: matching and registry reads, notification ports
// delivering on a run loop, connections to a service's user client with
// calls and shared memory.
//
// Every call reaches the kernel through one transport chosen once per
// process (HXIOKit.h): in process, the kernel end runs on the caller's
// thread; across processes, a kernel host serves it over sockets. Code using
// these calls never sees which.
//
// Objects (services, iterators, notifications) and connections are names
// this process owns: IOObjectRelease and IOServiceClose give them back. A
// held service keeps its properties readable after it terminated.
#pragma once

#include "platform/base/IOKitTypes.h"
#include "platform/base/MachPort.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/CFString.h"

// A dispatch queue (platform/dispatch); declared here so this header needs no more.
typedef struct HXDispatchQueue* dispatch_queue_t;

typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef char io_name_t[128];
typedef char io_string_t[512];
typedef struct IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

#define kIOPublishNotification "IOServicePublish"
#define kIOTerminatedNotification "IOServiceTerminate"
#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOGeneralInterest "IOGeneralInterest"

extern "C" {

extern const mach_port_t bootstrap_port;

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);
kern_return_t mach_port_deallocate(task_t task, mach_port_t name);
kern_return_t pid_for_task(mach_port_t task, int* pid);

// A matching dictionary naming a class ("IOProviderClass"); one reference
// for the caller, which IOServiceGetMatchingServices or
// IOServiceAddMatchingNotification consumes.
CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
// The next object (one reference for the caller), or 0 when drained.
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);

IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
// Delivers the port's notifications on the queue, in send order, and no
// longer on a run loop; nothing runs after the port is destroyed (even when
// its own callback destroys it). Set once.
void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue);
mach_port_t IONotificationPortGetMachPort(IONotificationPortRef notify);

// "IOServicePublish" or "IOServiceTerminate"; other types answer
// kIOReturnUnsupported. The iterator first holds the services already
// published (none for terminate); the callback runs when services arrived
// and the iterator was drained since the last callback.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const char* notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification);
// "IOGeneralInterest": every later message of the service, the argument as a
// copy valid during the callback. Releasing the notification ends it (also
// from inside its callback).
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const char* interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification);

kern_return_t IOServiceOpen(io_service_t service, task_t owningTask, uint32_t type,
                            io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);

// At most 16 scalars and 4,096 structure bytes each way (kIOReturnBadArgument
// before anything reaches the kernel). Output counts and sizes come back as
// the kernel left them; on failure the outputs are untouched.
kern_return_t IOConnectCallMethod(mach_port_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCnt, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt);
kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt);
kern_return_t IOConnectCallScalarMethod(mach_port_t connection, uint32_t selector,
                                        const uint64_t* input, uint32_t inputCnt, uint64_t* output,
                                        uint32_t* outputCnt);
// The wake port and the reference words reach the kernel with the call;
// nothing is sent back on the port.
kern_return_t IOConnectCallAsyncScalarMethod(mach_port_t connection, uint32_t selector,
                                             mach_port_t wake_port, uint64_t* reference,
                                             uint32_t referenceCnt, const uint64_t* input,
                                             uint32_t inputCnt, uint64_t* output,
                                             uint32_t* outputCnt);

// Maps the client's memory of the type (kIOMapAnywhere only); the size is
// the area's exact size. A mapping outlives the connection.
kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_t intoTask,
                                 vm_address_t* atAddress, vm_size_t* ofSize, IOOptionBits options);
kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_t intoTask,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize,
                                   IOOptionBits options);
kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_t fromTask,
                                   vm_address_t atAddress);
kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_t fromTask,
                                     mach_vm_address_t atAddress);

// The default master port (any master-port argument is accepted).
extern const mach_port_t kIOMasterPortDefault;
// Whether the object is a service of the class or of a class derived from it.
boolean_t IOObjectConformsTo(io_object_t object, const char* className);
// Whether the two names hold the same registry entry.
boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject);
// Iterators over an entry's children or parents in a plane ("IOService").
kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator);
kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry, const char* plane,
                                               io_iterator_t* iterator);
// The entry's path in the plane ("IOService" only: another plane is
// kIOReturnBadArgument), beginning "IOService:/". A path that does not fit
// the 512 bytes (with its terminating NUL) is kIOReturnBadArgument, and path
// is left untouched; a path is never cut.
kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane,
                                     io_string_t path);
// Hands the value to the entry's property-write handler (the kernel's
// default refuses with kIOReturnUnsupported).
kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName,
                                           CFTypeRef property);
// Tells the connection's client of a notification port (kIOReturnUnsupported
// unless the client takes one).
kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t type, mach_port_t port,
                                           uintptr_t reference);
// Runs the client's trap of the index (kIOReturnBadArgument when it has none).
kern_return_t IOConnectTrap0(io_connect_t connect, uint32_t index);
}
