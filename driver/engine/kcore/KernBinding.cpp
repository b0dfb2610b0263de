#include "driver/engine/kcore/KernBinding.h"

#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"
#include "platform/base/MachThread.h"
#include "platform/kern/IOLib.h"

namespace kcore {

// The core library's allocations are the kernel heap's; IOFree wants the
// size back, which the callers (the size-headed allocator) always know.
void* kmalloc(size_t size) {
    return IOMalloc(size ? size : 1);
}
void kfree(void* p, size_t size) {
    IOFree(p, size ? size : 1);
}

// The kernel lock under the core library's Mutex: the Mutex only ever tries
// it and sleeps between tries, so it can give up once the lock is being
// released instead of blocking inside the kernel lock.
struct KLock {
    IOLock* lock;
};
KLock* klockAlloc() {
    IOLock* l = IOLockAlloc();
    if (!l) return nullptr;
    KLock* k = static_cast<KLock*>(IOMalloc(sizeof(KLock)));
    if (!k) {
        IOLockFree(l);
        return nullptr;
    }
    k->lock = l;
    return k;
}
void klockFree(KLock* lock) {
    if (!lock) return;
    IOLockFree(lock->lock);
    IOFree(lock, sizeof(KLock));
}
bool klockTry(KLock* lock) {
    return IOLockTryLock(lock->lock);
}
void klockUnlock(KLock* lock) {
    IOLockUnlock(lock->lock);
}

void ksleep(uint32_t ms) {
    IOSleep(ms);
}

TaskRef currentTask() {
    return mach_task_self();
}

uint64_t currentThread() {
    // A stable non-zero identity per thread.
    static thread_local int tag;
    return reinterpret_cast<uint64_t>(&tag);
}

int semaphoreWaitDeadline(SemaphoreHandle s, uint64_t deadline) {
    uint64_t now = mach_absolute_time();
    uint64_t ns = deadline > now ? hx::clock::ticksToNanos(deadline - now) : 0;
    mach_timespec_t t;
    t.tv_sec = unsigned(ns / 1000000000u);
    t.tv_nsec = clock_res_t(ns % 1000000000u);
    return semaphore_timedwait(s, t);
}

uint64_t absoluteTime() {
    return mach_absolute_time();
}

uint64_t nanosToAbsolute(uint64_t ns) {
    uint64_t r = 0;
    nanoseconds_to_absolutetime(ns, &r);
    return r;
}

int semaphoreCreate(TaskRef task, SemaphoreHandle* s, int value) {
    return semaphore_create(task_t(task), s, 0 /* FIFO */, value);
}
int semaphoreDestroy(TaskRef task, SemaphoreHandle s) {
    return semaphore_destroy(task_t(task), s);
}
int semaphoreSignal(SemaphoreHandle s) {
    return semaphore_signal(s);
}
int semaphoreWait(SemaphoreHandle s) {
    return semaphore_wait(s);
}

namespace {
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};
void threadTrampoline(void* parameter, wait_result_t) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    IOFree(parameter, sizeof(ThreadStart));
    start.fn(start.arg);
}
} // namespace

int threadStart(void (*fn)(void*), void* arg, ThreadHandle* handle) {
    auto* start = static_cast<ThreadStart*>(IOMalloc(sizeof(ThreadStart)));
    if (!start) return KERN_RESOURCE_SHORTAGE;
    start->fn = fn;
    start->arg = arg;
    thread_t t = MACH_PORT_NULL;
    kern_return_t kr = kernel_thread_start(threadTrampoline, start, &t);
    if (kr != KERN_SUCCESS) {
        IOFree(start, sizeof(ThreadStart));
        return kr;
    }
    *handle = t;
    return KERN_SUCCESS;
}

ThreadHandle currentThreadHandle() {
    return current_thread();
}
void threadDeallocate(ThreadHandle handle) {
    thread_deallocate(handle);
}
int threadTerminate(ThreadHandle handle) {
    return thread_terminate(handle);
}

void nanouptime(uint64_t& seconds, uint32_t& nanos) {
    uint64_t ns = hx::clock::nowNanos();
    seconds = ns / 1000000000u;
    nanos = uint32_t(ns % 1000000000u);
}

} // namespace kcore
