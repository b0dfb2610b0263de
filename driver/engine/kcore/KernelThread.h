// Threads of the kernel build of the core library, on kernel threads.
//
// A QnThread object is reference counted: create() gives the running thread
// one reference, which the thread gives back when its body ends. The thread's
// object is its thread-local value while it runs. join() polls until the
// thread has ended. Two objects exist from Core start-up on: the initial
// thread (the thread that initialised the library) and the default object
// that stands for threads without one of their own.
//
// Messaging: any thread pushes requests on a lock-free incoming stack that
// only the owner drains, oldest request first, in its message loop, woken by
// the wake semaphore. Requests with a waiter (sends, actions) never outlive
// the loop that was to handle them: when a loop ends they are cancelled and
// their senders get 0. Posted requests stay for a later loop on the same
// thread. When the body ends, and when the object is destroyed, everything
// still queued is cancelled.
#pragma once

#include <cstdint>

#include "driver/engine/kcore/KernBinding.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMessage.h"
#include "driver/engine/kcore/KernelObject.h"
#include "libs/core/QnRequestList.h"

namespace QnKernel {

typedef void* (*pfn_threadEntry)(void* arg, QnThread* thread);

// The kernel thread identity of the caller.
uint64_t threadGetCurrentId();
bool threadIsCurrent(uint64_t id);
void threadSleep(uint32_t ms);
void threadSleepMinimum();
void threadSwitch();

// Thread layer start-up (run by init) and shutdown (an exit callback).
void threadsInit();
void threadsTerm(void* arg);

class QnThread : public MessageTarget {
public:
    static constexpr uint32_t kInitThreadId = 0xDEADBEEF;
    static constexpr uint32_t kDefaultThreadId = 0xBAADF00D;
    static constexpr uint32_t kDriverMainThreadId = 0x47110815;

    // The caller's own thread object, else the default object (null before
    // the thread layer is set up).
    static QnThread* getCurrentThread();
    static QnThread* getInitThread();
    static QnThread* getDefaultThread();
    static bool isCurrentInitThread();
    // Ends the caller's thread object; false on the main thread.
    static bool exitCurrent(void* result);

    explicit QnThread(uint32_t id);
    ~QnThread() override;

    virtual void* main(void* arg);

    bool create(void* arg, pfn_threadEntry entry, bool wait);
    // Ends this thread's life as seen by its object; only on the thread
    // itself. The kernel thread finishes when its entry function returns,
    // which the caller does next.
    bool exit(void* result);
    bool join(void** result);
    bool isCurrentThread() const;

    uint32_t getId() const { return mId; }
    // 0 not started, 1 running, 2 ended.
    uint32_t getThreadState() const { return __atomic_load_n(&mThreadState, __ATOMIC_SEQ_CST); }
    kcore::ThreadHandle getHandle() const { return __atomic_load_n(&mThreadHandle, __ATOMIC_SEQ_CST); }

    // ---- messaging
    // 0 off, 1 accepting, 2 leaving.
    uint32_t getMessageState() const { return __atomic_load_n(&mMessageState, __ATOMIC_SEQ_CST); }
    qn_status queueMessage(MessageRequest* request);
    bool enableMessaging();
    // timeoutMs -1 waits without limit, a positive value up to that many
    // milliseconds, anything else not at all. True with *out null when
    // nothing came.
    bool getMessage(MessageRequest** out, int32_t timeoutMs);
    // Processes up to max requests (max <= 0: until none is left, or the
    // loop is left); returns how many.
    int processMsgQueue(int max, int32_t timeoutMs);
    bool runMessageLoop(void*& sysArg, QnEvent* started, pfn_processSystemMessages sys, pfn_onIdle idle,
                        void* idleArg, int32_t timeoutMs);
    void leaveMessageLoop();

    long long performAction(pfn_action fn, long long arg);
    bool postMessage(MessageTarget* target, long long p1, long long p2, long long p3, pfn_messageFailure failure);
    bool postMessage(MessageTarget* target, Message& message, pfn_messageFailure failure);
    bool postMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);
    long long sendMessage(MessageTarget* target, long long p1, long long p2, long long p3);
    long long sendMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);

    // The target forms keep their MessageTarget meaning for this object.
    using MessageTarget::postMessage;
    using MessageTarget::sendMessage;

private:
    static void body(void* self);
    void moveState(uint32_t from, uint32_t to, const char* text);
    long long sendRequest(MessageRequest& request);
    // Stops accepting requests and waits for queuers already past the check.
    void closeQueue();
    // Cancels every queued request (all of them, or only those with a waiter).
    void cancelQueued(bool waitersOnly);
    // The end of the body (or exit): nothing can pump the queue any more.
    void endMessaging();

    kcore::ThreadHandle mThreadHandle = 0;
    void* mpArg = nullptr;
    pfn_threadEntry mpfnEntry = nullptr;
    void* mpExitResult = nullptr;
    uint32_t mId;
    QnQueue::RequestList<MessageRequest> mQueue;
    uint32_t mMessageState = 0;
    // queueMessage calls past the state check, so that closing the queue can
    // wait for their pushes to land (a send racing with the close).
    int32_t mQueuers = 0;
    qn_semaphore_t mWakeSemaphore{};
    MessageAllocator mAllocator{nullptr, _Delete_Message};
    uint32_t mThreadState = 0;
};

}  // namespace QnKernel
