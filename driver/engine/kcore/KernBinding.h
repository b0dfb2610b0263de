// The kernel services the kernel build of the core library stands on, behind
// one narrow seam: memory, a try-lock, sleeping, the current task and thread,
// deadline waits on Mach semaphores and the uptime. Everything in kcore/
// reaches the kernel only through these calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kcore {

// Kernel handles as plain integers, so these headers can sit beside either
// the kernel's or user space's declarations of task and semaphore types.
typedef uint32_t SemaphoreHandle;
typedef uintptr_t TaskRef;

void* kmalloc(size_t size);
void kfree(void* p, size_t size);

struct KLock;
KLock* klockAlloc();
void klockFree(KLock* lock);
bool klockTry(KLock* lock);
void klockUnlock(KLock* lock);

void ksleep(uint32_t ms);

TaskRef currentTask();
uint64_t currentThread();

// Waits on the semaphore until the absolute-time deadline (ticks of
// mach_absolute_time). A deadline at or before now is a try.
int semaphoreWaitDeadline(SemaphoreHandle s, uint64_t deadline);
uint64_t absoluteTime();
uint64_t nanosToAbsolute(uint64_t ns);

// Mach semaphores of the kernel task; results are kern_return_t values.
int semaphoreCreate(TaskRef task, SemaphoreHandle* s, int value);
int semaphoreDestroy(TaskRef task, SemaphoreHandle s);
int semaphoreSignal(SemaphoreHandle s);
int semaphoreWait(SemaphoreHandle s);

// Kernel threads, named by their thread ports (never 0 for a live thread).
// A started thread runs fn(arg) and ends when fn returns; threadTerminate on
// the calling thread marks its end.
typedef uint32_t ThreadHandle;
int threadStart(void (*fn)(void*), void* arg, ThreadHandle* handle);
ThreadHandle currentThreadHandle();
void threadDeallocate(ThreadHandle handle);
int threadTerminate(ThreadHandle handle);

// Uptime as seconds and nanoseconds.
void nanouptime(uint64_t& seconds, uint32_t& nanos);

} // namespace kcore
