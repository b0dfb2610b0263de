// Message requests, message targets and the message loop, compiled once per
// build of the core library: QN_CORE_NS names the build's namespace and
// QN_CORE_HEADER its thread header, which brings the build's binding (the
// events, semaphores, request memory, log and checks: QnCoreBinding.h).
#include QN_CORE_HEADER

#include <cstdint>

namespace QN_CORE_NS {

namespace {

// Ordered access to the words other threads look at.
template <class T> void storeWord(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}

template <class T> bool casState(T& word, T from, T to) {
    return __atomic_compare_exchange_n(&word, &from, to, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// Leaves the wake semaphore with exactly one pending count.
void wakeOnce(qn_semaphore_t* semaphore) {
    semaphoreTry(semaphore);
    semaphoreRelease(semaphore);
}

template <class P> long long toParam(P* p) {
    return static_cast<long long>(reinterpret_cast<intptr_t>(p));
}
template <class P> P* fromParam(long long v) {
    return reinterpret_cast<P*>(static_cast<intptr_t>(v));
}

const char kGetMessageSignature[] =
    "bool Core::QnThread::getMessage(Core::MessageRequest **, qn_int32)";
const char kRunLoopSignature[] = "bool Core::QnThread::runMessageLoop(void *&, Core::QnEvent *, "
                                 "Core::pfn_processSystemMessages, "
                                 "Core::pfn_onIdle, void *, qn_int32)";

constexpr MessageStateWord kOff = 0, kAccepting = 1, kLeaving = 2;

} // namespace

#define QN_CORE_CHECK(e, text) coreCheck((e), text, __FILE__, __LINE__)

// ---- MessageRequest -------------------------------------------------------

MessageRequest::MessageRequest(Allocator* allocator, MessageTarget* target, long long p1,
                               long long p2, long long p3, pfn_messageFailure failure)
    : mpEvent(nullptr), mMessage{0, p1, p2, p3, 0}, mpNext(nullptr), mpTarget(target),
      mpfnFailure(failure), mpfnFunction(nullptr), mpAllocator(allocator) {
    if (mpTarget) mpTarget->retain();
}

MessageRequest::MessageRequest(Allocator* allocator, MessageTarget* target, const Message& message,
                               pfn_messageFailure failure)
    : MessageRequest(allocator, target, message.mParam1, message.mParam2, message.mParam3,
                     failure) {}

MessageRequest::MessageRequest(Allocator* allocator, pfn_messageFunction function, long long p1,
                               long long p2, long long p3)
    : mpEvent(nullptr), mMessage{0, p1, p2, p3, 0}, mpNext(nullptr), mpTarget(nullptr),
      mpfnFailure(nullptr), mpfnFunction(function), mpAllocator(allocator) {}

MessageRequest::~MessageRequest() {
    // Being destroyed already: not handed to the allocator a second time.
    mpAllocator = nullptr;
    process(true);
}

void MessageRequest::process(bool cancel) {
    if (!cancel) {
        if (mpTarget)
            mpTarget->doHandleMessage(mMessage);
        else if (mpfnFunction)
            mpfnFunction(mMessage);
    }
    MessageTarget* target = mpTarget;
    mpTarget = nullptr;
    mpfnFunction = nullptr;
    if (target) target->release();

    QnEvent* event = mpEvent;
    Allocator* allocator = mpAllocator;
    mpEvent = nullptr;
    mpAllocator = nullptr;
    // The waiter may return as soon as it wakes and its stack request goes
    // with it: nothing of the request is touched after the signal. Only heap
    // requests (never waited for) carry an allocator.
    if (event) event->signal();
    if (allocator) allocator->Free(this);
}

void _Delete_Message(Allocator*, void* request) {
    delete static_cast<MessageRequest*>(request);
}

void MsgHandler_Action(Message& message) {
    pfn_action fn = reinterpret_cast<pfn_action>(static_cast<intptr_t>(message.mParam1));
    message.mResult = fn(message.mParam2);
    message.miState = 1;
}

// ---- MessageTarget --------------------------------------------------------

MessageTarget::MessageTarget(QnThread* owner) : mpOwner(owner), mpDelegate(nullptr) {}

MessageTarget::~MessageTarget() {
    QN_CORE_CHECK(mpDelegate == NULL, "mpDelegate == NULL");
    // A target should lose its delegate before it goes; if it did not, the
    // delegate's reference must not leak.
    if (mpDelegate) {
        MessageTarget* delegate = mpDelegate;
        mpDelegate = nullptr;
        delegate->release();
    }
}

void MessageTarget::handleMessage(long long, long long, long long) {}

long long MessageTarget::handleMessage(Message& message) {
    handleMessage(message.mParam1, message.mParam2, message.mParam3);
    return 0;
}

void MessageTarget::handleDelegateMessage(MessageTarget*, Message&) {}

long long MessageTarget::doHandleMessage(Message& message) {
    QN_CORE_CHECK(isOwnerCurrentThread(), "isOwnerCurrentThread()");
    QN_CORE_CHECK(message.miState == 0, "cMsg.miState==0");
    if (message.miState != 0) return message.mResult;
    if (mpDelegate) {
        mpDelegate->handleDelegateMessage(this, message);
        if (message.miState != 0) return message.mResult;
    }
    return handleMessage(message);
}

bool MessageTarget::isOwnerCurrentThread() const {
    return mpOwner == nullptr || mpOwner->isCurrentThread();
}

long long MessageTarget::getDelegateAction(long long self) {
    return toParam(fromParam<MessageTarget>(self)->getDelegate());
}

MessageTarget* MessageTarget::getDelegate() {
    if (!isOwnerCurrentThread())
        return fromParam<MessageTarget>(mpOwner->performAction(getDelegateAction, toParam(this)));
    if (mpDelegate) mpDelegate->retain();
    return mpDelegate;
}

namespace {
struct SetDelegateArgs {
    MessageTarget* target;
    MessageTarget* delegate;
    MessageTarget** previous;
};
} // namespace

long long MessageTarget::setDelegateAction(long long args) {
    auto* a = fromParam<SetDelegateArgs>(args);
    a->target->setDelegateHere(a->delegate, a->previous);
    return 0;
}

void MessageTarget::setDelegate(MessageTarget* delegate, MessageTarget** previous) {
    if (previous) *previous = nullptr;
    if (!isOwnerCurrentThread()) {
        SetDelegateArgs args{this, delegate, previous};
        mpOwner->performAction(setDelegateAction, toParam(&args));
        return;
    }
    setDelegateHere(delegate, previous);
}

void MessageTarget::setDelegateHere(MessageTarget* delegate, MessageTarget** previous) {
    if (delegate == mpDelegate) return;
    MessageTarget* old = mpDelegate;
    if (delegate) delegate->retain();
    mpDelegate = delegate;
    if (previous)
        *previous = old;
    else if (old)
        old->release();
}

long long MessageTarget::sendMessage(long long p1, long long p2, long long p3) {
    if (!isOwnerCurrentThread()) return mpOwner->sendMessage(this, p1, p2, p3);
    Message message{0, p1, p2, p3, 0};
    return doHandleMessage(message);
}

long long MessageTarget::sendMessage(Message& message) {
    if (!isOwnerCurrentThread())
        return mpOwner->sendMessage(this, message.mParam1, message.mParam2, message.mParam3);
    return doHandleMessage(message);
}

bool MessageTarget::postMessage(long long p1, long long p2, long long p3,
                                pfn_messageFailure failure) {
    Message message{0, p1, p2, p3, 0};
    return postMessage(message, failure);
}

bool MessageTarget::postMessage(Message& message, pfn_messageFailure failure) {
    if (mpOwner) return mpOwner->postMessage(this, message, failure);
    // Without an owner any thread handles the target's messages at once.
    Message copy{0, message.mParam1, message.mParam2, message.mParam3, 0};
    doHandleMessage(copy);
    return true;
}

// ---- QnThread: messaging --------------------------------------------------

bool QnThread::enableMessaging() {
    return casState(mMessageState, kOff, kAccepting);
}

qn_status QnThread::queueMessage(MessageRequest* request) {
    if (!request) return QN_ERR_BAD_ARGUMENT;
    // Counted before the state check, so that whoever closes the queue can
    // wait until every push that passed the check has landed.
    __atomic_add_fetch(&mQueuers, 1, __ATOMIC_SEQ_CST);
    if (getMessageState() != kAccepting) {
        __atomic_sub_fetch(&mQueuers, 1, __ATOMIC_SEQ_CST);
        return QN_ERR_WRONG_STATE;
    }
    if (mQueue.push(request)) wakeOnce(&mWakeSemaphore);
    __atomic_sub_fetch(&mQueuers, 1, __ATOMIC_SEQ_CST);
    return QN_SUCCESS;
}

void QnThread::closeQueue() {
    // After this nobody can push.
    casState(mMessageState, kAccepting, kLeaving);
    while (__atomic_load_n(&mQueuers, __ATOMIC_SEQ_CST) != 0)
        threadSleepMinimum();
}

void QnThread::cancelQueued(bool waitersOnly) {
    mQueue.removeIf(
        [waitersOnly](MessageRequest* request) { return !waitersOnly || request->mpEvent; },
        [](MessageRequest* request) { request->process(true); });
}

void QnThread::endMessaging() {
    closeQueue();
    cancelQueued(false);
    storeWord(mMessageState, kOff);
}

bool QnThread::getMessage(MessageRequest** out, int32_t timeoutMs) {
    *out = nullptr;
    const MessageStateWord state = getMessageState();
    if (state != kAccepting) {
        coreLog("%s mMessageState %d unexpected\n", kGetMessageSignature, int(state));
        return false;
    }
    if (!mQueue.hasOrdered()) {
        if (timeoutMs > 0 || timeoutMs == -1) {
            if (semaphoreAcquire(&mWakeSemaphore, timeoutMs) != QN_SUCCESS) return false;
        }
        mQueue.takeIncoming();
    }
    *out = mQueue.pop();
    return true;
}

int QnThread::processMsgQueue(int max, int32_t timeoutMs) {
    if (getMessageState() != kAccepting) return 0;
    int count = 0;
    for (;;) {
        if (max > 0 && count >= max) break;
        MessageRequest* request = nullptr;
        if (!getMessage(&request, timeoutMs)) break;
        if (request) {
            request->process(false);
            ++count;
        } else if (timeoutMs != -1 && timeoutMs <= 0) {
            break; // nothing waited for and nothing there
        }
        if (getMessageState() != kAccepting) break;
    }
    return count;
}

bool QnThread::runMessageLoop(void*& sysArg, QnEvent* started, pfn_processSystemMessages sys,
                              pfn_onIdle idle, void* idleArg, int32_t timeoutMs) {
    const bool onItsThread = isCurrentThread();
    if (!onItsThread || !enableMessaging()) {
        if (onItsThread || kLogLoopOffItsThread)
            coreLog("%s enableMessaging() failed\n", kRunLoopSignature);
        if (started) started->signal();
        return false;
    }
    if (started) started->signal();

    while (getMessageState() == kAccepting) {
        int handled = 0;
        if (sys) {
            handled = sys(this, sysArg, -1);
            if (handled < 0) {
                handled = 0;
                casState(mMessageState, kAccepting, kOff);
            }
            if (getMessageState() != kAccepting) break;
        }
        const int processed = processMsgQueue(-1, timeoutMs);
        if (getMessageState() != kAccepting) break;
        if (idle && (!sys || (handled == 0 && processed == 0))) idle(this, idleArg);
    }

    // Senders and actions still queued would otherwise wait for a loop that
    // may never come: they get result 0 now. Posts stay queued.
    closeQueue();
    cancelQueued(true);
    storeWord(mMessageState, kOff);
    return true;
}

void QnThread::leaveMessageLoop() {
    if (casState(mMessageState, kAccepting, kLeaving)) wakeOnce(&mWakeSemaphore);
}

long long QnThread::sendRequest(MessageRequest& request) {
    if (isCurrentThread()) {
        request.process(false);
        return request.mMessage.mResult;
    }
    QnEvent done(false, false);
    request.mpEvent = &done;
    if (queueMessage(&request) != QN_SUCCESS) {
        request.mpEvent = nullptr;
        return 0;
    }
    done.wait(-1);
    return request.mMessage.mResult;
}

long long QnThread::sendMessage(MessageTarget* target, long long p1, long long p2, long long p3) {
    MessageRequest request(nullptr, target, p1, p2, p3, nullptr);
    return sendRequest(request);
}

long long QnThread::sendMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3) {
    MessageRequest request(nullptr, fn, p1, p2, p3);
    return sendRequest(request);
}

long long QnThread::performAction(pfn_action fn, long long arg) {
    if (!fn) return 0;
    if (isCurrentThread()) return fn(arg);
    MessageRequest request(nullptr, MsgHandler_Action,
                           static_cast<long long>(reinterpret_cast<intptr_t>(fn)), arg, 0);
    return sendRequest(request);
}

bool QnThread::postMessage(MessageTarget* target, long long p1, long long p2, long long p3,
                           pfn_messageFailure failure) {
    Message message{0, p1, p2, p3, 0};
    return postMessage(target, message, failure);
}

bool QnThread::postMessage(MessageTarget* target, Message& message, pfn_messageFailure failure) {
    if (getMessageState() != kAccepting) {
        if (failure) failure(target, message, QN_ERR_WRONG_STATE);
        return false;
    }
    auto* request = new MessageRequest(&mAllocator, target, message, failure);
    if (!request) {
        if (failure) failure(target, message, QN_ERR_GENERAL);
        return false;
    }
    const qn_status status = queueMessage(request);
    if (status == QN_SUCCESS) return true;
    if (failure) failure(target, message, status);
    request->process(true); // drops the target and frees the request once
    return false;
}

bool QnThread::postMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3) {
    if (getMessageState() != kAccepting) return false;
    auto* request = new MessageRequest(&mAllocator, fn, p1, p2, p3);
    if (!request) return false;
    if (queueMessage(request) == QN_SUCCESS) return true;
    request->process(true);
    return false;
}

#undef QN_CORE_CHECK

} // namespace QN_CORE_NS
