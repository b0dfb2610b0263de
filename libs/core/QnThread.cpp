// Threads, message targets and the message loop.
#include "libs/core/QnThread.h"

#include <unistd.h>

#include <cstdint>
#include <new>

#include "libs/core/QnCallbacks.h"
#include "libs/core/QnClock.h"
#include "libs/core/QnDebug.h"
#include "platform/base/MachThread.h"
#include "platform/base/OSAtomic.h"

namespace Core {

QnThread* gpInitThread = nullptr;
QnThread* gpThreadDefault = nullptr;
pthread_t gMainThreadId = 0;

namespace {

// Ordered access to the words other threads look at. The state words and the
// incoming list head change by compare-and-swap with barrier; plain reads of
// them go through these loads so the reader sees the latest store.
template <class T>
T loadWord(const T& word) {
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}
template <class T>
void storeWord(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}
template <class T>
T exchangeWord(T& word, T value) {
    return __atomic_exchange_n(&word, value, __ATOMIC_SEQ_CST);
}

bool casState(qn_int32& word, qn_int32 from, qn_int32 to) {
    return OSAtomicCompareAndSwap32Barrier(from, to, &word);
}

qn_int32 readState(const qn_int32& word) {
    return OSAtomicAdd32Barrier(0, const_cast<qn_int32*>(&word));
}

// Leaves the wake semaphore with exactly one pending count.
void wakeOnce(qn_semaphore_t* semaphore) {
    semaphoreTry(semaphore);
    semaphoreRelease(semaphore);
}

template <class P>
long long toParam(P* p) {
    return static_cast<long long>(reinterpret_cast<intptr_t>(p));
}
template <class P>
P* fromParam(long long v) {
    return reinterpret_cast<P*>(static_cast<intptr_t>(v));
}

const char kCreateSignature[] = "bool Core::QnThread::create(void *, void *(*)(void *, Core::QnThread *), bool)";
const char kConstructorSignature[] = "Core::QnThread::QnThread(qn_uint32)";
const char kBodySignature[] = "void *Core::QnThread::systemThreadMain()";
const char kGetMessageSignature[] = "bool Core::QnThread::getMessage(Core::MessageRequest **, qn_int32)";
const char kRunLoopSignature[] =
    "bool Core::QnThread::runMessageLoop(void *&, Core::QnEvent *, Core::pfn_processSystemMessages, "
    "Core::pfn_onIdle, void *, qn_int32)";
const char kThreadsTermSignature[] = "void Core::threadsTerm(void *)";

}  // namespace

// ---------------------------------------------------------------------------
// Free thread functions

pthread_t threadGetCurrentId() { return pthread_self(); }

bool threadIsCurrent(void* handle) {
    return reinterpret_cast<pthread_t>(handle) == pthread_self();
}

void threadSwitch() { pthread_yield_np(); }

void threadSleep(unsigned ms) {
    if (ms == 0) {
        usleep(1);
        return;
    }
    // usleep takes a 32-bit count of microseconds: sleep long waits in slices.
    while (ms > 2000000u) {
        usleep(2000000000u);
        ms -= 2000000u;
    }
    usleep(ms * 1000u);
}

void threadSleepMinimum() { usleep(1); }

void threadSpin(unsigned us) {
    const qn_uint64 end = uptimeNanos() + qn_uint64(us) * 1000u;
    while (uptimeNanos() < end) {
    }
}

// ---------------------------------------------------------------------------
// MessageRequest

MessageRequest::MessageRequest(Allocator* allocator, MessageTarget* target, long long p1, long long p2,
                               long long p3, pfn_messageFailure failure)
    : mpEvent(nullptr),
      mMessage{0, p1, p2, p3, 0},
      mpNext(nullptr),
      mpTarget(target),
      mpfnFailure(failure),
      mpfnFunction(nullptr),
      mpAllocator(allocator) {
    if (mpTarget) mpTarget->retain();
}

MessageRequest::MessageRequest(Allocator* allocator, MessageTarget* target, const Message& message,
                               pfn_messageFailure failure)
    : MessageRequest(allocator, target, message.mParam1, message.mParam2, message.mParam3, failure) {}

MessageRequest::MessageRequest(Allocator* allocator, pfn_messageFunction function, long long p1, long long p2,
                               long long p3)
    : mpEvent(nullptr),
      mMessage{0, p1, p2, p3, 0},
      mpNext(nullptr),
      mpTarget(nullptr),
      mpfnFailure(nullptr),
      mpfnFunction(function),
      mpAllocator(allocator) {}

MessageRequest::~MessageRequest() {
    // Being destroyed already: the request must not be handed to its
    // allocator a second time.
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
    // The waiter may pop a stack request as soon as it wakes: nothing of the
    // request is touched after the signal, except through its allocator,
    // which only heap requests (never waited for) carry.
    if (event) event->signal();
    if (allocator) allocator->Free(this);
}

void _Delete_Message(Allocator*, void* request) { delete static_cast<MessageRequest*>(request); }

void MsgHandler_Action(Message& message) {
    pfn_action fn = reinterpret_cast<pfn_action>(static_cast<intptr_t>(message.mParam1));
    message.mResult = fn(message.mParam2);
    message.miState = 1;
}

// ---------------------------------------------------------------------------
// MessageTarget

MessageTarget::MessageTarget(QnThread* owner) : mpOwner(owner), mpDelegate(nullptr) {}

MessageTarget::~MessageTarget() {
    // A target should lose its delegate before it goes; if it did not, the
    // delegate's reference must not leak.
    if (mpDelegate) {
        MessageTarget* delegate = mpDelegate;
        mpDelegate = nullptr;
        delegate->release();
    }
}

void MessageTarget::handleMessage(long long, long long, long long) {}

long long MessageTarget::handleMessage(Message&) { return 0; }

void MessageTarget::handleDelegateMessage(MessageTarget*, Message&) {}

long long MessageTarget::doHandleMessage(Message& message) {
    if (message.miState != 0) return message.mResult;
    if (mpDelegate) {
        mpDelegate->handleDelegateMessage(this, message);
        if (message.miState != 0) return message.mResult;
    }
    return handleMessage(message);
}

bool MessageTarget::isOwnerCurrentThread() const { return mpOwner == nullptr || mpOwner->isCurrentThread(); }

long long MessageTarget::getDelegateAction(long long self) {
    return toParam(fromParam<MessageTarget>(self)->getDelegate());
}

MessageTarget* MessageTarget::getDelegate() {
    if (!isOwnerCurrentThread()) return fromParam<MessageTarget>(mpOwner->performAction(getDelegateAction, toParam(this)));
    if (mpDelegate) mpDelegate->retain();
    return mpDelegate;
}

namespace {
struct SetDelegateArgs {
    MessageTarget* target;
    MessageTarget* delegate;
    MessageTarget** previous;
};
}  // namespace

long long MessageTarget::setDelegateAction(long long args) {
    SetDelegateArgs* a = fromParam<SetDelegateArgs>(args);
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
    if (!isOwnerCurrentThread()) return mpOwner->sendMessage(this, message.mParam1, message.mParam2, message.mParam3);
    return doHandleMessage(message);
}

bool MessageTarget::postMessage(long long p1, long long p2, long long p3, pfn_messageFailure failure) {
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

// ---------------------------------------------------------------------------
// QnThread: statics

void threadsInit() {
    gpInitThread = new QnThread(QnThread::kInitThreadId);
    gpInitThread->retain();
    gpThreadDefault = new QnThread(QnThread::kDefaultThreadId);
    gpThreadDefault->retain();
    gMainThreadId = pthread_self();
    atExit(threadsTerm, nullptr);
    tlsInit();
    tlsSet(gpInitThread);
}

void threadsTerm(void* arg) {
    debugPrint("%s %p\n", kThreadsTermSignature, arg);
    tlsTerm();
    QnThread* init = gpInitThread;
    QnThread* def = gpThreadDefault;
    gpInitThread = nullptr;
    gpThreadDefault = nullptr;
    if (init) init->release();
    if (def) def->release();
}

QnThread* QnThread::getInitThread() { return gpInitThread; }

QnThread* QnThread::getCurrentThread() {
    QnThread* own = static_cast<QnThread*>(tlsGet());
    return own ? own : gpThreadDefault;
}

bool QnThread::isCurrentInitThread() { return gMainThreadId != 0 && pthread_equal(gMainThreadId, pthread_self()); }

bool QnThread::exitCurrent(void* result) {
    if (isCurrentInitThread()) return false;
    QnThread* current = getCurrentThread();
    if (current) current->exit(result);
    return false;
}

void* _system_thread_main(void* obj) {
    // Deferred cancellation: a cancel request may only take effect at a
    // cancellation point, never in the middle of a list or state update.
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    return static_cast<QnThread*>(obj)->systemThreadMain();
}

void* ThreadHelper::systemThreadMain(void* obj) { return static_cast<QnThread*>(obj)->systemThreadMain(); }

// ---------------------------------------------------------------------------
// QnThread: life cycle

QnThread::QnThread(qn_uint32 id)
    : MessageTarget(this),
      mThreadHandle(0),
      mJoinHandle(0),
      mpArg(nullptr),
      mpfnEntry(nullptr),
      mpExitValue(nullptr),
      mId(id),
      mMessageState(0),
      mQueuers(0),
      mWakeSemaphore{},
      mAllocator{},
      mThreadState(0) {
    semaphoreCreate(&mWakeSemaphore, 0);
    // The init thread object stands for the thread that constructs it.
    if (id == kInitThreadId) storeWord(mThreadHandle, pthread_self());
    mAllocator.free = _Delete_Message;
    if (id == kDriverMainThreadId) debugPrint("%s DriverMainThread\n", kConstructorSignature);
}

QnThread::~QnThread() {
    // Nothing may be left waiting on, or holding a target through, an object
    // that is going away.
    closeQueue();
    cancelQueued(false);
    // A body that ended without anyone joining it: let the system reclaim it.
    pthread_t pending = exchangeWord(mJoinHandle, pthread_t(0));
    if (pending) pthread_detach(pending);
    semaphoreDestroy(&mWakeSemaphore);
}

void* QnThread::main(void*) { return reinterpret_cast<void*>(~uintptr_t(0)); }

pthread_t QnThread::getHandle() const { return loadWord(mThreadHandle); }

bool QnThread::isRunning() const { return getHandle() != 0; }

bool QnThread::isCurrentThread() const {
    const pthread_t handle = getHandle();
    return handle != 0 && pthread_equal(handle, pthread_self());
}

qn_int32 QnThread::getThreadState() const { return readState(mThreadState); }

qn_int32 QnThread::getMessageState() const { return readState(mMessageState); }

void QnThread::reapFinished() {
    // A previous run whose body has ended but was never joined.
    pthread_t previous = exchangeWord(mJoinHandle, pthread_t(0));
    if (previous) pthread_join(previous, nullptr);
}

bool QnThread::create(void* arg, pfn_threadEntry fn, bool waitRunning) {
    if (mId == kDefaultThreadId || mId == kInitThreadId) return false;
    if (isRunning()) {
        debugPrint("%s - already created\n", kCreateSignature);
        return false;
    }
    // Keep the object while we look at it, whoever else lets it go.
    retain();
    reapFinished();
    storeWord(mThreadState, qn_int32(0));
    mpArg = arg;
    mpfnEntry = fn;
    retain();  // the running thread's reference

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    pthread_t handle = 0;
    const int rc = pthread_create(&handle, &attr, _system_thread_main, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        storeWord(mThreadHandle, pthread_t(0));
        release();
        release();
        return false;
    }
    // The join handle first: once the body sees its handle it may end at
    // once, and a joiner must then find something to join.
    storeWord(mJoinHandle, handle);
    storeWord(mThreadHandle, handle);
    if (waitRunning) {
        while (readState(mThreadState) == 0) usleep(1);
    }
    release();
    return true;
}

void QnThread::setThreadState(qn_int32 from, qn_int32 to, const char* failureText) {
    if (!casState(mThreadState, from, to)) {
        debugPrint(failureText, kBodySignature, readState(mThreadState));
        storeWord(mThreadState, to);
    }
}

void* QnThread::systemThreadMain() {
    tlsSet(this);
    // The creator publishes the handle when pthread_create returns.
    while (getHandle() == 0) threadSwitch();
    setThreadState(0, 1, "Error: %s atomicCompareAndSet(&mThreadState, 0, 1) failed mThreadState(2nd read):%d\n");

    void* result = mpfnEntry ? mpfnEntry(mpArg, this) : main(mpArg);
    mpExitValue = result;

    // No one can pump this queue any more: refuse new requests and give
    // back everything still queued.
    closeQueue();
    cancelQueued(false);
    storeWord(mMessageState, qn_int32(0));

    tlsSet(nullptr);
    storeWord(mThreadHandle, pthread_t(0));
    setThreadState(1, 2, "Error: %s atomicCompareAndSet(&mThreadState, 1, 2) failed mThreadState(2nd read):%d\n");
    release();
    return result;
}

bool QnThread::exit(void* result) {
    // Only a body started by create may end this way: the init thread object
    // stands for a thread the library did not start and holds no reference
    // of a running body.
    if (!isCurrentThread() || readState(mThreadState) != 1) return false;
    mpExitValue = result;
    closeQueue();
    cancelQueued(false);
    storeWord(mMessageState, qn_int32(0));
    tlsSet(nullptr);
    storeWord(mThreadState, qn_int32(2));
    storeWord(mThreadHandle, pthread_t(0));
    release();
    pthread_exit(result);
}

bool QnThread::join(void** result) {
    retain();
    pthread_t handle = loadWord(mJoinHandle);
    if (handle == 0 || pthread_equal(handle, pthread_self())) {
        release();
        return false;
    }
    // Exactly one caller joins a pthread.
    handle = exchangeWord(mJoinHandle, pthread_t(0));
    if (handle == 0) {
        release();
        return false;
    }
    if (pthread_join(handle, nullptr) != 0) {
        while (isRunning()) usleep(5000);
    }
    if (result) *result = mpExitValue;
    release();
    return true;
}

// ---------------------------------------------------------------------------
// QnThread: messaging

bool QnThread::acceptsMessages() const { return readState(mMessageState) == 1; }

bool QnThread::enableMessaging() { return casState(mMessageState, 0, 1); }

qn_status QnThread::queueMessage(MessageRequest* request) {
    if (request == nullptr) return QN_ERR_BAD_ARGUMENT;
    // Counted before the state check, so that whoever closes the queue can
    // wait until every push that passed the check has landed.
    OSAtomicAdd32Barrier(1, &mQueuers);
    if (readState(mMessageState) != 1) {
        OSAtomicAdd32Barrier(-1, &mQueuers);
        return QN_ERR_WRONG_STATE;
    }
    if (mQueue.push(request)) wakeOnce(&mWakeSemaphore);
    OSAtomicAdd32Barrier(-1, &mQueuers);
    return QN_SUCCESS;
}

void QnThread::closeQueue() {
    // Only the states 1 (and 2 on the way out) accept or are about to drop
    // requests; after this nobody can push.
    if (readState(mMessageState) == 1) casState(mMessageState, 1, 2);
    while (readState(mQueuers) != 0) threadSwitch();
}

void QnThread::cancelQueued(bool waitersOnly) {
    mQueue.removeIf([waitersOnly](MessageRequest* request) { return !waitersOnly || request->mpEvent != nullptr; },
                    [](MessageRequest* request) { request->process(true); });
}

bool QnThread::getMessage(MessageRequest** out, qn_int32 timeoutMs) {
    *out = nullptr;
    const qn_int32 state = readState(mMessageState);
    if (state != 1) {
        debugPrint("%s mMessageState %d unexpected\n", kGetMessageSignature, state);
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

int QnThread::processMsgQueue(int max, int timeoutMs) {
    if (readState(mMessageState) != 1) return 0;
    int count = 0;
    for (;;) {
        if (max > 0 && count >= max) break;
        MessageRequest* request = nullptr;
        if (!getMessage(&request, timeoutMs)) break;
        if (request) {
            request->process(false);
            ++count;
        } else if (timeoutMs == 0) {
            break;
        }
        if (readState(mMessageState) != 1) break;
    }
    return count;
}

bool QnThread::runMessageLoop(void*& sysArg, QnEvent* started, pfn_processSystemMessages sys, pfn_onIdle idle,
                              void* idleArg, qn_int32 timeoutMs) {
    if (!isCurrentThread()) {
        if (started) started->signal();
        return false;
    }
    if (!casState(mMessageState, 0, 1)) {
        debugPrint("%s enableMessaging() failed\n", kRunLoopSignature);
        if (started) started->signal();
        return false;
    }
    if (started) started->signal();

    if (sys) {
        while (readState(mMessageState) == 1) {
            int n = sys(this, sysArg, -1);
            if (n < 0) {
                n = 0;
                casState(mMessageState, 1, 0);
            }
            if (readState(mMessageState) != 1) break;
            const int c = processMsgQueue(-1, timeoutMs);
            if (readState(mMessageState) != 1) break;
            if (idle && n == 0 && c == 0) {
                idle(this, idleArg);
                if (readState(mMessageState) != 1) break;
            }
        }
    } else if (idle) {
        while (readState(mMessageState) == 1) {
            processMsgQueue(-1, timeoutMs);
            if (readState(mMessageState) != 1) break;
            idle(this, idleArg);
        }
    } else {
        while (readState(mMessageState) == 1) processMsgQueue(-1, timeoutMs);
    }

    // Senders and actions still queued would otherwise wait until some later
    // loop runs, perhaps never: they get result 0 now. Posts stay queued.
    closeQueue();
    cancelQueued(true);
    storeWord(mMessageState, qn_int32(0));
    return true;
}

void QnThread::leaveMessageLoop() {
    if (casState(mMessageState, 1, 2)) wakeOnce(&mWakeSemaphore);
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
    if (fn == nullptr) return 0;
    if (isCurrentThread()) return fn(arg);
    MessageRequest request(nullptr, MsgHandler_Action, static_cast<long long>(reinterpret_cast<intptr_t>(fn)), arg,
                           0);
    return sendRequest(request);
}

bool QnThread::postMessage(MessageTarget* target, long long p1, long long p2, long long p3,
                           pfn_messageFailure failure) {
    Message message{0, p1, p2, p3, 0};
    return postMessage(target, message, failure);
}

bool QnThread::postMessage(MessageTarget* target, Message& message, pfn_messageFailure failure) {
    if (readState(mMessageState) != 1) {
        if (failure) failure(target, message, QN_ERR_WRONG_STATE);
        return false;
    }
    MessageRequest* request = new (std::nothrow) MessageRequest(&mAllocator, target, message, failure);
    if (request == nullptr) {
        if (failure) failure(target, message, QN_ERR_GENERAL);
        return false;
    }
    const qn_status status = queueMessage(request);
    if (status == QN_SUCCESS) return true;
    if (failure) failure(target, message, status);
    request->process(true);  // drops the target and frees the request once
    return false;
}

bool QnThread::postMessage(pfn_messageFunction fn, long long p1, long long p2, long long p3) {
    if (readState(mMessageState) != 1) return false;
    MessageRequest* request = new (std::nothrow) MessageRequest(&mAllocator, fn, p1, p2, p3);
    if (request == nullptr) return false;
    if (queueMessage(request) == QN_SUCCESS) return true;
    request->process(true);
    return false;
}

}  // namespace Core
