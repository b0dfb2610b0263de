// Messages, message targets and queued message requests of the core library,
// declared once for both of its builds (the user build in namespace Core, the
// kernel build in namespace QnKernel).
//
// A MessageTarget belongs to an owner thread; its messages are handled there.
// Other threads send (and wait for the result), post (and do not wait) or run
// an action on the owner; each delivery is a MessageRequest queued on the
// owner's QnThread.
//
// Lifetime rules:
//  - A queued request holds a reference to its target until it has been
//    processed or cancelled.
//  - A sender waits on a private event; it is woken only after the request
//    has dropped every reference, so its stack request may go at once.
//  - Posted requests come from the request memory and go back through the
//    owner thread's allocator after processing or cancelling.
//
// Each build's thread header includes this file with QN_CORE_NS naming the
// build's namespace, after the build's binding header (QnCoreBinding.h,
// kcore/KernelCoreBinding.h) has declared Object, QnEvent, Allocator and the
// request memory there. No include guard: one translation unit may hold both
// builds; the including header has one.

namespace QN_CORE_NS {

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
typedef void* (*pfn_threadEntry)(void* arg, QnThread* thread);
// Returns how many system messages it handled; negative ends the loop.
typedef int (*pfn_processSystemMessages)(QnThread* thread, void*& sysArg, int timeoutMs);
typedef void (*pfn_onIdle)(QnThread* thread, void* idleArg);

// One queued delivery: a message for a target, or a function to run on the
// owner thread. Requests on a sender's stack have no allocator.
struct MessageRequest {
    MessageRequest(Allocator* allocator, MessageTarget* target, long long p1, long long p2,
                   long long p3, pfn_messageFailure failure);
    MessageRequest(Allocator* allocator, MessageTarget* target, const Message& message,
                   pfn_messageFailure failure);
    MessageRequest(Allocator* allocator, pfn_messageFunction function, long long p1, long long p2,
                   long long p3);
    ~MessageRequest();
    MessageRequest(const MessageRequest&) = delete;
    MessageRequest& operator=(const MessageRequest&) = delete;

    // The build's request memory; null when it is exhausted.
    static void* operator new(size_t size) noexcept { return requestAlloc(size); }
    static void operator delete(void* p) noexcept { requestFree(p); }

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
    // By default hands the parameters to the form above and returns 0.
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

// Handler of performAction's request: runs the function in p1 with p2.
void MsgHandler_Action(Message& message);
// Free entry of a thread's allocator: destroys and frees a processed request.
void _Delete_Message(Allocator* allocator, void* request);

} // namespace QN_CORE_NS
