#include "plugins/server/CADispatchQueue.h"

#include "platform/cf/CFString.h"
#include "plugins/server/CACFString.h"
#include "plugins/server/CAException.h"
#include "plugins/server/CAHostTimeBase.h"
#include "platform/base/MachPort.h"

namespace {

constexpr OSStatus kWhat = OSStatus(0x77686174); // 'what'
constexpr OSStatus kNope = OSStatus(0x6E6F7065); // 'nope'
constexpr UInt32 kLabelBufferSize = 256;

// Marks each plug-in queue so synchronous work from inside it runs inline.
char sQueueKey;

void submit(dispatch_queue_t queue, bool sync, bool current, dispatch_block_t task) {
    if (!sync)
        dispatch_async(queue, std::move(task));
    else if (current)
        task();
    else
        dispatch_sync(queue, std::move(task));
}

void submitAfter(dispatch_queue_t queue, UInt64 nanoseconds, dispatch_block_t task) {
    if (nanoseconds == 0) {
        dispatch_async(queue, std::move(task));
        return;
    }
    const UInt64 ticks = CAHostTimeBase::ConvertFromNanos(nanoseconds);
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW,
                                 std::int64_t(ticks > UInt64(INT64_MAX) ? INT64_MAX : ticks)),
                   queue, std::move(task));
}

dispatch_block_t bind(void* context, dispatch_function_t function) {
    return [context, function] { function(context); };
}

} // namespace

CADispatchQueue* CADispatchQueue::sGlobalSerialQueue = nullptr;
dispatch_once_t CADispatchQueue::sGlobalSerialQueueInitialized = 0;

CADispatchQueue::CADispatchQueue(const char* inName) {
    Create(inName);
}

CADispatchQueue::CADispatchQueue(CFStringRef inName) {
    char label[kLabelBufferSize];
    UInt32 length = kLabelBufferSize;
    CACFString::GetCString(inName, label, length, kCFStringEncodingUTF8);
    Create(label);
}

CADispatchQueue::CADispatchQueue(CFStringRef inPattern, CFStringRef inName) {
    CFStringRef formed = CFStringCreateWithFormat(nullptr, nullptr, inPattern, inName);
    char label[kLabelBufferSize];
    UInt32 length = kLabelBufferSize;
    CACFString::GetCString(formed, label, length, kCFStringEncodingUTF8);
    if (formed) CFRelease(formed);
    Create(label);
}

void CADispatchQueue::Create(const char* inLabel) {
    mDispatchQueue = dispatch_queue_create(inLabel, DISPATCH_QUEUE_SERIAL);
    if (!mDispatchQueue) throw CAException(kWhat);
    dispatch_queue_set_specific(mDispatchQueue, &sQueueKey, this, nullptr);
}

CADispatchQueue::~CADispatchQueue() {
    // Each list from its end; the sources are released, not cancelled.
    while (!mPortDeathList.empty())
        mPortDeathList.pop_back();
    while (!mPortReceiverList.empty())
        mPortReceiverList.pop_back();
    if (mDispatchQueue) dispatch_release(mDispatchQueue);
}

bool CADispatchQueue::IsCurrent() const {
    return dispatch_get_specific(&sQueueKey) == this;
}

void CADispatchQueue::Dispatch(bool inDoSync, dispatch_block_t inTask) const {
    submit(mDispatchQueue, inDoSync, IsCurrent(), std::move(inTask));
}

void CADispatchQueue::Dispatch(bool inDoSync, void* inTaskContext,
                               dispatch_function_t inTask) const {
    Dispatch(inDoSync, bind(inTaskContext, inTask));
}

void CADispatchQueue::Dispatch(UInt64 inNanoseconds, dispatch_block_t inTask) const {
    submitAfter(mDispatchQueue, inNanoseconds, std::move(inTask));
}

void CADispatchQueue::Dispatch(UInt64 inNanoseconds, void* inTaskContext,
                               dispatch_function_t inTask) const {
    Dispatch(inNanoseconds, bind(inTaskContext, inTask));
}

void CADispatchQueue::Dispatch_Global(long inPriority, bool inDoSync, dispatch_block_t inTask) {
    // A concurrent queue's synchronous work runs on the caller's thread.
    submit(dispatch_get_global_queue(inPriority, 0), inDoSync, false, std::move(inTask));
}

void CADispatchQueue::Dispatch_Global(long inPriority, bool inDoSync, void* inTaskContext,
                                      dispatch_function_t inTask) {
    Dispatch_Global(inPriority, inDoSync, bind(inTaskContext, inTask));
}

void CADispatchQueue::Dispatch_Global(long inPriority, UInt64 inNanoseconds,
                                      dispatch_block_t inTask) {
    submitAfter(dispatch_get_global_queue(inPriority, 0), inNanoseconds, std::move(inTask));
}

void CADispatchQueue::Dispatch_Global(long inPriority, UInt64 inNanoseconds, void* inTaskContext,
                                      dispatch_function_t inTask) {
    Dispatch_Global(inPriority, inNanoseconds, bind(inTaskContext, inTask));
}

void CADispatchQueue::InitializeGlobalSerialQueue(void*) {
    try {
        sGlobalSerialQueue = new CADispatchQueue("com.apple.audio.CADispatchQueue.SerialQueue");
    } catch (...) {
        sGlobalSerialQueue = nullptr;
    }
}

CADispatchQueue& CADispatchQueue::GetGlobalSerialQueue() {
    dispatch_once_f(&sGlobalSerialQueueInitialized, nullptr,
                    &CADispatchQueue::InitializeGlobalSerialQueue);
    if (!sGlobalSerialQueue) throw CAException(kNope);
    return *sGlobalSerialQueue;
}

// ---- Mach port sources

CADispatchQueue::EventSource::EventSource(dispatch_source_t inSource, mach_port_t inMachPort)
    : mDispatchSource(inSource), mMachPort(inMachPort) {}

CADispatchQueue::EventSource::EventSource(const EventSource& inOther)
    : mDispatchSource(inOther.mDispatchSource), mMachPort(inOther.mMachPort) {
    if (mDispatchSource) dispatch_retain(mDispatchSource);
}

CADispatchQueue::EventSource& CADispatchQueue::EventSource::operator=(const EventSource& inOther) {
    if (inOther.mDispatchSource) dispatch_retain(inOther.mDispatchSource);
    if (mDispatchSource) dispatch_release(mDispatchSource);
    mDispatchSource = inOther.mDispatchSource;
    mMachPort = inOther.mMachPort;
    return *this;
}

CADispatchQueue::EventSource::~EventSource() {
    if (mDispatchSource) dispatch_release(mDispatchSource);
}

void CADispatchQueue::Install(std::vector<EventSource>& ioList, dispatch_source_type_t inType,
                              unsigned long inMask, mach_port_t inMachPort,
                              dispatch_block_t inTask) {
    if (inMachPort == MACH_PORT_NULL) throw CAException(kNope);
    for (const EventSource& e : ioList)
        if (e.mMachPort == inMachPort) return;
    dispatch_source_t source = dispatch_source_create(inType, inMachPort, inMask, mDispatchQueue);
    if (!source) throw CAException(kWhat);
    dispatch_source_set_event_handler(source, std::move(inTask));
    ioList.push_back(EventSource(source, inMachPort)); // the list's entry holds the only reference
    dispatch_resume(source);
}

void CADispatchQueue::Remove(std::vector<EventSource>& ioList, mach_port_t inMachPort,
                             dispatch_block_t inCancelTask) {
    for (auto it = ioList.begin(); it != ioList.end(); ++it) {
        if (it->mMachPort != inMachPort) continue;
        if (inCancelTask)
            dispatch_source_set_cancel_handler(it->mDispatchSource, std::move(inCancelTask));
        dispatch_source_cancel(it->mDispatchSource);
        ioList.erase(it);
        return;
    }
}

void CADispatchQueue::InstallMachPortDeathNotification(mach_port_t inMachPort,
                                                       dispatch_block_t inNotificationTask) {
    Install(mPortDeathList, DISPATCH_SOURCE_TYPE_MACH_SEND, DISPATCH_MACH_SEND_DEAD, inMachPort,
            std::move(inNotificationTask));
}

void CADispatchQueue::RemoveMachPortDeathNotification(mach_port_t inMachPort) {
    Remove(mPortDeathList, inMachPort, nullptr);
}

void CADispatchQueue::InstallMachPortReceiver(mach_port_t inMachPort,
                                              dispatch_block_t inMessageTask) {
    Install(mPortReceiverList, DISPATCH_SOURCE_TYPE_MACH_RECV, 0, inMachPort,
            std::move(inMessageTask));
}

void CADispatchQueue::RemoveMachPortReceiver(mach_port_t inMachPort,
                                             dispatch_block_t inCompletionTask) {
    Remove(mPortReceiverList, inMachPort, std::move(inCompletionTask));
}

void CADispatchQueue::RemoveMachPortReceiver(mach_port_t inMachPort, bool inDeallocateMachPort,
                                             bool inDestroyMachPort) {
    RemoveMachPortReceiver(inMachPort, [inMachPort, inDeallocateMachPort, inDestroyMachPort] {
        if (inDeallocateMachPort) mach_port_deallocate(mach_task_self(), inMachPort);
        if (inDestroyMachPort)
            mach_port_mod_refs(mach_task_self(), inMachPort, MACH_PORT_RIGHT_RECEIVE, -1);
    });
}
