// The members of QnThread both builds of the core library declare alike:
// life cycle and messaging. Each build's QnThread class includes this inside
// its body (no include guard) and adds its own thread handle and state; the
// messaging members are defined once, in QnMessaging.cpp.
//
// Messaging: any thread pushes requests on a lock-free incoming stack that
// only the owner drains, oldest request first, in its message loop, woken by
// the wake semaphore. Requests with a waiter (sends, actions) never outlive
// the loop that was to handle them: when a loop ends they are cancelled and
// their senders get 0. Posted requests stay for a later loop on the same
// thread. When the body ends, and when the object is destroyed, everything
// still queued is cancelled.
public:
// Reserved ids.
static constexpr uint32_t kInitThreadId = 0xDEADBEEF;
static constexpr uint32_t kDefaultThreadId = 0xBAADF00D;
static constexpr uint32_t kDriverMainThreadId = 0x47110815;

static QnThread* getInitThread();
// The caller's own thread object, else the default object.
static QnThread* getCurrentThread();
static bool isCurrentInitThread();
// Ends the caller's own started thread object; false otherwise.
static bool exitCurrent(void* result);

explicit QnThread(uint32_t id);
~QnThread() override;

virtual void* main(void* arg);

bool create(void* arg, pfn_threadEntry entry, bool waitRunning);
// Ends this thread's life as seen by its object; only on the thread itself.
bool exit(void* result);
bool join(void** result);
bool isCurrentThread() const;
uint32_t getId() const {
    return mId;
}

// ---- messaging
// 0 off, 1 accepting, 2 leaving.
MessageStateWord getMessageState() const {
    return __atomic_load_n(&mMessageState, __ATOMIC_SEQ_CST);
}
bool acceptsMessages() const {
    return getMessageState() == 1;
}
qn_status queueMessage(MessageRequest* request);
bool enableMessaging();
// timeoutMs -1 waits without limit, a positive value up to that many
// milliseconds, anything else not at all. True with *out null when
// nothing came.
bool getMessage(MessageRequest** out, int32_t timeoutMs);
// Processes up to max requests (max <= 0: until none is left, or the
// loop is left); returns how many.
int processMsgQueue(int max, int32_t timeoutMs);
// Without a system callback the idle one runs after every pass over the
// queue; with one, only when neither found work.
bool runMessageLoop(void*& sysArg, QnEvent* started, pfn_processSystemMessages sys, pfn_onIdle idle,
                    void* idleArg, int32_t timeoutMs);
void leaveMessageLoop();

long long performAction(pfn_action fn, long long arg);
bool postMessage(MessageTarget* target, long long p1, long long p2, long long p3,
                 pfn_messageFailure failure);
bool postMessage(MessageTarget* target, Message& message, pfn_messageFailure failure);
bool postMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);
long long sendMessage(MessageTarget* target, long long p1, long long p2, long long p3);
long long sendMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3);

// The target forms keep their MessageTarget meaning for this object.
using MessageTarget::postMessage;
using MessageTarget::sendMessage;

private:
long long sendRequest(MessageRequest& request);
// Stops accepting requests and waits for queuers already past the check.
void closeQueue();
// Cancels every queued request (all of them, or only those with a waiter).
void cancelQueued(bool waitersOnly);
// The end of the body (or exit): nothing can pump the queue any more.
void endMessaging();

uint32_t mId;
QnQueue::RequestList<MessageRequest> mQueue;
MessageStateWord mMessageState = 0;
// queueMessage calls past the state check, so that closing the queue can
// wait for their pushes to land (a send racing with the close).
int32_t mQueuers = 0;
qn_semaphore_t mWakeSemaphore{};
Allocator mAllocator{nullptr, _Delete_Message};
