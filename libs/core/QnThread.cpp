// Threads of the user build of the core library: their life cycle on pthreads.
#include "libs/core/QnThread.h"

#include <unistd.h>

#include <cstdint>

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
template <class T> T loadWord(const T& word) {
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}
template <class T> void storeWord(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}
template <class T> T exchangeWord(T& word, T value) {
    return __atomic_exchange_n(&word, value, __ATOMIC_SEQ_CST);
}

bool casState(qn_int32& word, qn_int32 from, qn_int32 to) {
    return OSAtomicCompareAndSwap32Barrier(from, to, &word);
}

qn_int32 readState(const qn_int32& word) {
    return OSAtomicAdd32Barrier(0, const_cast<qn_int32*>(&word));
}

const char kCreateSignature[] =
    "bool Core::QnThread::create(void *, void *(*)(void *, Core::QnThread *), bool)";
const char kConstructorSignature[] = "Core::QnThread::QnThread(qn_uint32)";
const char kBodySignature[] = "void *Core::QnThread::systemThreadMain()";
const char kThreadsTermSignature[] = "void Core::threadsTerm(void *)";

} // namespace

// ---------------------------------------------------------------------------
// Free thread functions

pthread_t threadGetCurrentId() {
    return pthread_self();
}

bool threadIsCurrent(void* handle) {
    return reinterpret_cast<pthread_t>(handle) == pthread_self();
}

void threadSwitch() {
    pthread_yield_np();
}

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

void threadSleepMinimum() {
    usleep(1);
}

void threadSpin(unsigned us) {
    const qn_uint64 end = uptimeNanos() + qn_uint64(us) * 1000u;
    while (uptimeNanos() < end) {
    }
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

QnThread* QnThread::getInitThread() {
    return gpInitThread;
}

QnThread* QnThread::getCurrentThread() {
    QnThread* own = static_cast<QnThread*>(tlsGet());
    return own ? own : gpThreadDefault;
}

bool QnThread::isCurrentInitThread() {
    return gMainThreadId != 0 && pthread_equal(gMainThreadId, pthread_self());
}

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

void* ThreadHelper::systemThreadMain(void* obj) {
    return static_cast<QnThread*>(obj)->systemThreadMain();
}

// ---------------------------------------------------------------------------
// QnThread: life cycle

QnThread::QnThread(qn_uint32 id)
    : MessageTarget(this), mId(id), mThreadHandle(0), mJoinHandle(0), mpArg(nullptr),
      mpfnEntry(nullptr), mpExitValue(nullptr), mThreadState(0) {
    semaphoreCreate(&mWakeSemaphore, 0);
    // The init thread object stands for the thread that constructs it.
    if (id == kInitThreadId) storeWord(mThreadHandle, pthread_self());
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

void* QnThread::main(void*) {
    return reinterpret_cast<void*>(~uintptr_t(0));
}

pthread_t QnThread::getHandle() const {
    return loadWord(mThreadHandle);
}

bool QnThread::isRunning() const {
    return getHandle() != 0;
}

bool QnThread::isCurrentThread() const {
    const pthread_t handle = getHandle();
    return handle != 0 && pthread_equal(handle, pthread_self());
}

qn_int32 QnThread::getThreadState() const {
    return readState(mThreadState);
}

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
    retain(); // the running thread's reference

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
        while (readState(mThreadState) == 0)
            usleep(1);
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
    while (getHandle() == 0)
        threadSwitch();
    setThreadState(
        0, 1,
        "Error: %s atomicCompareAndSet(&mThreadState, 0, 1) failed mThreadState(2nd read):%d\n");

    void* result = mpfnEntry ? mpfnEntry(mpArg, this) : main(mpArg);
    mpExitValue = result;

    // No one can pump this queue any more: refuse new requests and give
    // back everything still queued.
    endMessaging();

    tlsSet(nullptr);
    storeWord(mThreadHandle, pthread_t(0));
    setThreadState(
        1, 2,
        "Error: %s atomicCompareAndSet(&mThreadState, 1, 2) failed mThreadState(2nd read):%d\n");
    release();
    return result;
}

bool QnThread::exit(void* result) {
    // Only a body started by create may end this way: the init thread object
    // stands for a thread the library did not start and holds no reference
    // of a running body.
    if (!isCurrentThread() || readState(mThreadState) != 1) return false;
    mpExitValue = result;
    endMessaging();
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
        while (isRunning())
            usleep(5000);
    }
    if (result) *result = mpExitValue;
    release();
    return true;
}

} // namespace Core
