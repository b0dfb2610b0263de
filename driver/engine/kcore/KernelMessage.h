// Messages, message targets and queued message requests of the kernel build
// of the core library.
//
// A MessageTarget belongs to an owner thread and its messages are handled
// there. Other threads send (and wait for the result), post (and do not
// wait) or run an action on the owner; each delivery is a MessageRequest
// queued on the owner's QnThread (KernelThread.h).
//
// Lifetime rules:
//  - A queued request holds a reference to its target until it has been
//    processed or cancelled.
//  - A sender waits on a private event on its own stack; the request drops
//    every reference before the event is signalled, so the sender may return
//    at once.
//  - Posted requests live in core memory and go back through the owner
//    thread's allocator after processing or cancelling.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelObject.h"
#include "libs/core/QnStatus.h"

namespace QnKernel {

class QnThread;
class MessageTarget;

// Parameters in, result out. miState 0: not handled yet; non-zero: handled,
// the result is final.
struct Message {
    long long mResult;
    long long mParam1;
    long long mParam2;
    long long mParam3;
    int32_t miState;
};

typedef void (*pfn_messageFailure)(MessageTarget* target, Message& message, qn_status status);
typedef void (*pfn_messageFunction)(Message& message);
typedef long long (*pfn_action)(long long arg);
// Returns how many system messages it handled; negative ends the loop.
typedef int (*pfn_processSystemMessages)(QnThread* thread, void*& sysArg, int timeoutMs);
typedef void (*pfn_onIdle)(QnThread* thread, void* idleArg);

// Where heap requests come from and go back to. The kernel build allocates
// them itself (no allocation function); the release function destroys and
// frees one.
struct MessageAllocator {
    void* (*mpfnAlloc)(MessageAllocator* allocator, size_t size);
    void (*mpfnRelease)(MessageAllocator* allocator, void* request);
};

// One queued delivery: a message for a target, or a function to run on the
// owner thread. Requests on a sender's stack have no allocator.
struct MessageRequest {
    MessageRequest(MessageAllocator* allocator, MessageTarget* target, long long p1, long long p2, long long p3,
                   pfn_messageFailure failure);
    MessageRequest(MessageAllocator* allocator, MessageTarget* target, const Message& message,
                   pfn_messageFailure failure);
    MessageRequest(MessageAllocator* allocator, pfn_messageFunction function, long long p1, long long p2,
                   long long p3);
    ~MessageRequest();
    MessageRequest(const MessageRequest&) = delete;
    MessageRequest& operator=(const MessageRequest&) = delete;

    // Core memory, like every other object of the kernel build.
    static void* operator new(size_t size) noexcept { return memoryAlloc(size); }
    static void operator delete(void* p) noexcept { memoryFree(p); }

    // Handles the message (unless cancelled), drops the target, wakes the
    // waiter and gives the request back to its allocator, in that order.
    void process(bool cancel);

    QnEvent* mpEvent;
    Message mMessage;
    MessageRequest* mpNext;
    MessageTarget* mpTarget;
    pfn_messageFailure mpfnFailure;
    pfn_messageFunction mpfnFunction;
    MessageAllocator* mpAllocator;
};

class MessageTarget : public Object {
public:
    explicit MessageTarget(QnThread* owner);
    ~MessageTarget() override;

    virtual void handleMessage(long long p1, long long p2, long long p3);
    virtual long long handleMessage(Message& message);
    // The delegate's turn: it marks the message handled (miState) to keep it
    // from the target.
    virtual void handleDelegateMessage(MessageTarget* target, Message& message);

    // Runs on the owner thread: the delegate first, then the target.
    long long doHandleMessage(Message& message);

    bool isOwnerCurrentThread() const;
    QnThread* getOwner() const { return mpOwner; }

    // A retained delegate or null; the caller releases it.
    MessageTarget* getDelegate();
    // With previous given, the old delegate's reference goes to the caller.
    void setDelegate(MessageTarget* delegate, MessageTarget** previous);

    long long sendMessage(long long p1, long long p2, long long p3);
    bool postMessage(long long p1, long long p2, long long p3, pfn_messageFailure failure);

protected:
    QnThread* mpOwner;
    MessageTarget* mpDelegate;

private:
    static long long getDelegateAction(long long self);
    static long long setDelegateAction(long long args);
    void setDelegateHere(MessageTarget* delegate, MessageTarget** previous);
};

// Handler of performAction's request: runs the function in p1 with p2.
void MsgHandler_Action(Message& message);
// Release function of a thread's allocator: destroys and frees a request.
void _Delete_Message(MessageAllocator* allocator, void* request);

}  // namespace QnKernel
