// A named serial dispatch queue with synchronous, asynchronous and delayed
// submission of blocks or plain functions, submission to the global
// concurrent queues, and the one process-wide serial queue on which the
// plug-in runs deferred work (object deletion, configuration-change
// requests, device retirement) in submission order.
#pragma once

#include <functional>

#include "platform/base/MacTypes.h"
#include "platform/cf/CFBase.h"
#include "platform/base/MachPortRights.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchSource.h"

#include <vector>

class CADispatchQueue {
public:
    explicit CADispatchQueue(const char* inName);
    explicit CADispatchQueue(CFStringRef inName);
    CADispatchQueue(CFStringRef inPattern, CFStringRef inName);
    virtual ~CADispatchQueue();
    CADispatchQueue(const CADispatchQueue&) = delete;
    CADispatchQueue& operator=(const CADispatchQueue&) = delete;

    // Synchronous work from code already running on this queue runs at once
    // on the calling thread.
    void Dispatch(bool inDoSync, dispatch_block_t inTask) const;
    void Dispatch(bool inDoSync, void* inTaskContext, dispatch_function_t inTask) const;
    // A delay of 0 submits at once; otherwise nanoseconds from now.
    void Dispatch(UInt64 inNanoseconds, dispatch_block_t inTask) const;
    void Dispatch(UInt64 inNanoseconds, void* inTaskContext, dispatch_function_t inTask) const;

    static void Dispatch_Global(long inPriority, bool inDoSync, dispatch_block_t inTask);
    static void Dispatch_Global(long inPriority, bool inDoSync, void* inTaskContext,
                                dispatch_function_t inTask);
    static void Dispatch_Global(long inPriority, UInt64 inNanoseconds, dispatch_block_t inTask);
    static void Dispatch_Global(long inPriority, UInt64 inNanoseconds, void* inTaskContext,
                                dispatch_function_t inTask);

    dispatch_queue_t GetDispatchQueue() const { return mDispatchQueue; }

    // Event sources on Mach ports, their handlers run on this queue. Port 0
    // throws 'nope'; a port already watched keeps its one source; removing
    // a port not watched does nothing. Callers serialise these calls.
    void InstallMachPortDeathNotification(mach_port_t inMachPort,
                                          dispatch_block_t inNotificationTask);
    void RemoveMachPortDeathNotification(mach_port_t inMachPort);
    void InstallMachPortReceiver(mach_port_t inMachPort, dispatch_block_t inMessageTask);
    void RemoveMachPortReceiver(mach_port_t inMachPort, dispatch_block_t inCompletionTask);
    // Once the source is cancelled: one user reference of the name goes
    // (inDeallocateMachPort), then the receive right (inDestroyMachPort).
    void RemoveMachPortReceiver(mach_port_t inMachPort, bool inDeallocateMachPort,
                                bool inDestroyMachPort);

    // A source with the one reference it holds (copying retains).
    class EventSource {
    public:
        EventSource(dispatch_source_t inSource, mach_port_t inMachPort);
        EventSource(const EventSource& inOther);
        EventSource& operator=(const EventSource& inOther);
        ~EventSource();
        dispatch_source_t mDispatchSource;
        mach_port_t mMachPort;
    };

    // Throws 'nope' when the queue could not be made (never retried).
    static CADispatchQueue& GetGlobalSerialQueue();

    static CADispatchQueue* sGlobalSerialQueue;
    static dispatch_once_t sGlobalSerialQueueInitialized;

private:
    void Create(const char* inLabel);
    bool IsCurrent() const;
    static void InitializeGlobalSerialQueue(void*);

    void Install(std::vector<EventSource>& ioList, dispatch_source_type_t inType,
                 unsigned long inMask, mach_port_t inMachPort, dispatch_block_t inTask);
    void Remove(std::vector<EventSource>& ioList, mach_port_t inMachPort,
                dispatch_block_t inCancelTask);

    dispatch_queue_t mDispatchQueue = nullptr;
    std::vector<EventSource> mPortDeathList;
    std::vector<EventSource> mPortReceiverList;
};
