// The kernel services the kernel build of the core library stands on, behind
// one narrow seam: memory, a try-lock, sleeping, the current task and thread,
// deadline waits on Mach semaphores and the uptime. Everything in kcore/
// reaches the kernel only through these calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

namespace kcore {

void* kmalloc(size_t size);
void kfree(void* p, size_t size);

struct KLock;
KLock* klockAlloc();
void klockFree(KLock* lock);
bool klockTry(KLock* lock);
void klockUnlock(KLock* lock);

void ksleep(uint32_t ms);

task_t currentTask();
uint64_t currentThread();

// Waits on the semaphore until the absolute-time deadline (ticks of
// mach_absolute_time). A deadline at or before now is a try.
kern_return_t semaphoreWaitDeadline(semaphore_t s, uint64_t deadline);

// Uptime as seconds and nanoseconds.
void nanouptime(uint64_t& seconds, uint32_t& nanos);

}  // namespace kcore
