// Threads with message queues, message targets and the message loop.
//
// A Core::MessageTarget belongs to an owner thread; its messages are handled
// there. Other threads send (and wait for the result), post (and do not wait)
// or run an action on the owner through a lock-free incoming stack that only
// the owner drains, oldest request first, in its message loop.
//
// Lifetime rules:
//  - create() gives the running thread one reference to its object; the body
//    (or exit()) gives it back when it ends.
//  - A queued request holds a reference to its target until it has been
//    processed or cancelled.
//  - A sender waits on a private event; it is woken only after the request has
//    dropped every reference, so its stack request may go at once.
//  - Requests that have a waiter never outlive the loop that was to handle
//    them: when a loop ends they are cancelled (result 0). Posted requests
//    stay for a later loop on the same thread. When the body ends, and when
//    the object is destroyed, everything still queued is cancelled.
#pragma once

#include <pthread.h>

#include "libs/core/QnObject.h"
#include "libs/core/QnRequestList.h"
#include "libs/core/QnStatus.h"
#include "libs/core/QnSync.h"

namespace Core {

class QnThread;
class MessageTarget;

// Parameters in, result out. miState 0: not handled yet; non-zero: handled,
// the result is final.
struct Message {
    long long mResult;
    long long mParam1;
    long long mParam2;
    long long mParam3;
    qn_int32 miState;
};

typedef void (*pfn_messageFailure)(MessageTarget* target, Message& message, qn_status status);
typedef void (*pfn_messageFunction)(Message& message);
typedef long long (*pfn_action)(long long arg);
typedef void* (*pfn_threadEntry)(void* arg, QnThread* thread);
// Returns how many system messages it handled; negative ends the loop.
typedef int (*pfn_processSystemMessages)(QnThread* thread, void*& sysArg, int timeoutMs);
typedef void (*pfn_onIdle)(QnThread* thread, void* idleArg);

// One queued delivery: a message for a target, or a function to run on the
// thread. Requests on a sender's stack have no allocator; posted requests
// come from the heap and go back through the thread's allocator.
struct MessageRequest {
    MessageRequest(Allocator* allocator, MessageTarget* target, long long p1, long long p2, long long p3,
                   pfn_messageFailure failure);
    MessageRequest(Allocator* allocator, MessageTarget* target, const Message& message, pfn_messageFailure failure);
    MessageRequest(Allocator* allocator, pfn_messageFunction function, long long p1, long long p2, long long p3);
    ~MessageRequest();
    MessageRequest(const MessageRequest&) = delete;
    MessageRequest& operator=(const MessageRequest&) = delete;

    // Handles the message (unless cancelled), drops the target, wakes the
    // waiter and gives the request back to its allocator, in that order.
    void process(bool cancel);

    QnEvent* mpEvent;
    Message mMessage;
    MessageRequest* mpNext;
    MessageTarget* mpTarget;
    pfn_messageFailure mpfnFailure;
    pfn_messageFunction mpfnFunction;
    Allocator* mpAllocator;
};

class MessageTarget : public Object {
public:
    explicit MessageTarget(QnThread* owner);
    ~MessageTarget() override;

    virtual void handleMessage(long long p1, long long p2, long long p3);
    virtual long long handleMessage(Message& message);
    virtual void handleDelegateMessage(MessageTarget* target, Message& message);

    // Offers the message to the delegate first; runs on the owner thread.
    long long doHandleMessage(Message& message);

    bool isOwnerCurrentThread() const;
    QnThread* getOwner() const { return mpOwner; }

    // A retained delegate or null; the caller releases it.
    MessageTarget* getDelegate();
    void setDelegate(MessageTarget* delegate, MessageTarget** previous);

    long long sendMessage(long long p1, long long p2, long long p3);
    long long sendMessage(Message& message);
    bool postMessage(long long p1, long long p2, long long p3, pfn_messageFailure failure);
    bool postMessage(Message& message, pfn_messageFailure failure);

protected:
    QnThread* mpOwner;
    MessageTarget* mpDelegate;

private:
    static long long getDelegateAction(long long self);
    static long long setDelegateAction(long long args);
    void setDelegateHere(MessageTarget* delegate, MessageTarget** previous);
};

// Free thread functions.
pthread_t threadGetCurrentId();
bool threadIsCurrent(void* handle);
void threadSwitch();
void threadSleep(unsigned ms);
void threadSleepMinimum();
void threadSpin(unsigned us);

// Sets up the thread layer for Core::init and tears it down as an exit
// callback of Core::term.
void threadsInit();
void threadsTerm(void* arg);

class QnThread : public MessageTarget {
public:
    // Reserved ids.
    static constexpr qn_uint32 kInitThreadId = 0xDEADBEEF;
    static constexpr qn_uint32 kDefaultThreadId = 0xBAADF00D;
    static constexpr qn_uint32 kDriverMainThreadId = 0x47110815;

    static QnThread* getInitThread();
    static QnThread* getCurrentThread();
    static bool isCurrentInitThread();
    // Ends the calling thread when it has its own started thread object;
    // returns false otherwise. Never call it from a noexcept frame.
    static bool exitCurrent(void* result);

    explicit QnThread(qn_uint32 id);
    ~QnThread() override;

    virtual void* main(void* arg);

    bool create(void* arg, pfn_threadEntry fn, bool waitRunning);
    // Ends this thread when called on it (through pthread_exit, which unwinds
    // the C++ frames: never from a noexcept frame); false elsewhere.
    bool exit(void* result);
    bool join(void** result);

    qn_uint32 getId() const { return mId; }
    bool isInitThread() const { return mId == kInitThreadId; }
    bool isRunning() const;
    bool isCurrentThread() const;
    pthread_t getHandle() const;

    qn_status queueMessage(MessageRequest* request);
    bool acceptsMessages() const;
    bool enableMessaging();
    bool runMessageLoop(void*& sysArg, QnEvent* started, pfn_processSystemMessages sys, pfn_onIdle idle,
                        void* idleArg, qn_int32 timeoutMs);
    int processMsgQueue(int max, int timeoutMs);
    bool getMessage(MessageRequest** out, qn_int32 timeoutMs);
    void leaveMessageLoop();

    long long performAction(pfn_action fn, long long arg);
    bool postMessage(MessageTarget* target, long long p1, long long p2, long long p3, pfn_messageFailure failure);
    bool postMessage(MessageTarget* target, Message& message, pfn_messageFailure failure);
    bool postMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);
    long long sendMessage(MessageTarget* target, long long p1, long long p2, long long p3);
    long long sendMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);

    // The body run by the started pthread.
    void* systemThreadMain();

    qn_int32 getThreadState() const;
    qn_int32 getMessageState() const;

    // The target forms keep their MessageTarget meaning for this object.
    using MessageTarget::postMessage;
    using MessageTarget::sendMessage;

private:
    long long sendRequest(MessageRequest& request);
    // Stops accepting requests and waits for queuers already past the check.
    void closeQueue();
    // Cancels every queued request (all of them, or only those with a waiter).
    void cancelQueued(bool waitersOnly);
    void setThreadState(qn_int32 from, qn_int32 to, const char* failureText);
    void reapFinished();

    pthread_t mThreadHandle;  // null until started and after the body ended
    pthread_t mJoinHandle;    // set by create, cleared only by join
    void* mpArg;
    pfn_threadEntry mpfnEntry;
    void* mpExitValue;
    qn_uint32 mId;
    QnQueue::RequestList<MessageRequest> mQueue;
    qn_int32 mMessageState;      // 0 off, 1 accepting, 2 leaving
    qn_int32 mQueuers;           // queueMessage calls past the state check
    qn_semaphore_t mWakeSemaphore;
    Allocator mAllocator;
    qn_int32 mThreadState;  // 0 not started, 1 running, 2 ended
};

// Statics of the thread layer.
extern QnThread* gpInitThread;
extern QnThread* gpThreadDefault;
extern pthread_t gMainThreadId;

// Entry of the pthread started by create(); also usable without the
// cancellation settings through ThreadHelper.
void* _system_thread_main(void* obj);
struct ThreadHelper {
    static void* systemThreadMain(void* obj);
};

// Handler of performAction's request: runs the function in p1 with p2.
void MsgHandler_Action(Message& message);
// Free entry of a thread's allocator: destroys a processed request.
void _Delete_Message(Allocator* allocator, void* request);

}  // namespace Core
