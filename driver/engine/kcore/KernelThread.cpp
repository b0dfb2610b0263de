#include "driver/engine/kcore/KernelThread.h"

#include "driver/engine/kcore/KernelAtomic.h"
#include "platform/base/HXLog.h"

namespace QnKernel {

namespace {
QnThread* gInitThread = nullptr;
QnThread* gDefaultThread = nullptr;
kcore::ThreadHandle gMainThread = 0;
} // namespace

// The identity the thread-local table is keyed by.
uint64_t threadGetCurrentId() {
    return kcore::currentThread();
}
bool threadIsCurrent(uint64_t id) {
    return id == threadGetCurrentId();
}
void threadSleep(uint32_t ms) {
    kcore::ksleep(ms);
}
void threadSleepMinimum() {
    kcore::ksleep(0);
}
void threadSwitch() {}

void threadsInit() {
    gInitThread = new QnThread(QnThread::kInitThreadId);
    if (gInitThread) gInitThread->retain();
    gDefaultThread = new QnThread(QnThread::kDefaultThreadId);
    if (gDefaultThread) gDefaultThread->retain();
    gMainThread = kcore::currentThreadHandle();
    atExit(threadsTerm, nullptr);
    tlsInit();
    tlsSet(gInitThread);
}

void threadsTerm(void* arg) {
    IOLog("%s %p\n", "void Core::threadsTerm(void*)", arg);
    tlsTerm();
    if (gInitThread) gInitThread->release();
    if (gDefaultThread) gDefaultThread->release();
    gInitThread = nullptr;
    gDefaultThread = nullptr;
    gMainThread = 0;
}

QnThread* QnThread::getCurrentThread() {
    auto* t = static_cast<QnThread*>(tlsGet());
    return t ? t : gDefaultThread;
}

QnThread* QnThread::getInitThread() {
    return gInitThread;
}
QnThread* QnThread::getDefaultThread() {
    return gDefaultThread;
}

bool QnThread::isCurrentInitThread() {
    return gInitThread && gInitThread->isCurrentThread();
}

bool QnThread::exitCurrent(void* result) {
    if (gMainThread && kcore::currentThreadHandle() == gMainThread) return false;
    QnThread* t = getCurrentThread();
    return t ? t->exit(result) : false;
}

QnThread::QnThread(uint32_t id) : MessageTarget(this), mId(id) {
    if (id == kInitThreadId)
        mThreadHandle = kcore::currentThreadHandle();
    else if (id == kDriverMainThreadId)
        IOLog("%s DriverMainThread\n", "Core::QnThread::QnThread(qn_uint32)");
    semaphoreCreate(&mWakeSemaphore, 0);
}

QnThread::~QnThread() {
    QN_KASSERT_TEXT(getThreadState() != 1, "iState!=1");
    // Nothing may be left waiting on, or holding a target through, an
    // object that is going away.
    closeQueue();
    cancelQueued(false);
    semaphoreDestroy(&mWakeSemaphore);
}

void* QnThread::main(void*) {
    return nullptr;
}

void QnThread::moveState(uint32_t from, uint32_t to, const char* text) {
    uint32_t expected = from;
    if (!__atomic_compare_exchange_n(&mThreadState, &expected, to, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        IOLog("Error: %s atomicCompareAndSet(&mThreadState, %s) failed mThreadState(2nd read):%d\n",
              "static void Core::QnThread::systemThreadMain(void*)", text, int(getThreadState()));
        __atomic_store_n(&mThreadState, to, __ATOMIC_SEQ_CST);
    }
}

bool QnThread::create(void* arg, pfn_threadEntry entry, bool wait) {
    if (mId == kInitThreadId || mId == kDefaultThreadId) return false;
    if (getHandle()) {
        IOLog("%s - already created\n",
              "bool Core::QnThread::create(void*, pfn_threadEntry, bool)");
        return false;
    }
    __atomic_store_n(&mThreadState, 0u, __ATOMIC_SEQ_CST);
    mpArg = arg;
    mpfnEntry = entry;
    retain(); // the running thread's reference
    kcore::ThreadHandle h = 0;
    if (kcore::threadStart(body, this, &h) != 0 || !h) {
        __atomic_store_n(&mThreadHandle, 0u, __ATOMIC_SEQ_CST);
        release();
        return false;
    }
    __atomic_store_n(&mThreadHandle, h, __ATOMIC_SEQ_CST);
    if (wait) {
        while (getThreadState() == 0)
            kcore::ksleep(0);
    }
    return true;
}

void QnThread::body(void* param) {
    auto* self = static_cast<QnThread*>(param);
    tlsSet(self);
    kcore::ThreadHandle h;
    while ((h = self->getHandle()) == 0) // the creator stores it after the start
        kcore::ksleep(0);
    self->moveState(0, 1, "0, 1");
    void* result = self->mpfnEntry ? self->mpfnEntry(self->mpArg, self) : self->main(self->mpArg);
    if (self->getThreadState() == 1) { // not ended already by exit()
        self->mpExitResult = result;
        self->endMessaging();
        tlsDelete(threadGetCurrentId());
        __atomic_store_n(&self->mThreadHandle, 0u, __ATOMIC_SEQ_CST);
        self->moveState(1, 2, "1, 2");
    }
    self->release();
    kcore::threadDeallocate(h);
    kcore::threadTerminate(h);
}

bool QnThread::exit(void* result) {
    kcore::ThreadHandle h = getHandle();
    if (!h || h != kcore::currentThreadHandle()) return false;
    mpExitResult = result;
    endMessaging();
    tlsDelete(threadGetCurrentId());
    __atomic_store_n(&mThreadState, 2u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&mThreadHandle, 0u, __ATOMIC_SEQ_CST);
    // The running thread's reference goes when the body returns, so the
    // object outlives the rest of the entry function.
    kcore::threadTerminate(h);
    return true;
}

bool QnThread::join(void** result) {
    ObjectVar hold(this);
    kcore::ThreadHandle h = getHandle();
    if (h && h == kcore::currentThreadHandle()) return false;
    // A thread that already ended still hands out its result: whether the
    // joiner came before or after the end is a matter of timing.
    if (!h && getThreadState() != 2) return false;
    while (getHandle() != 0)
        kcore::ksleep(1);
    if (result) *result = mpExitResult;
    return true;
}

bool QnThread::isCurrentThread() const {
    kcore::ThreadHandle h = getHandle();
    return h && h == kcore::currentThreadHandle();
}

} // namespace QnKernel
