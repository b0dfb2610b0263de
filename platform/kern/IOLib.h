// The kernel's library calls: allocation, locks, sleeping, logging, kernel
// threads and tasks.
//
// IOMallocAligned memory is backed by a memfd, so that any area the kernel
// allocates this way can later be wrapped in a memory descriptor and mapped a
// second time, at another address, for a user task (see IOMemoryDescriptor).
#pragma once

#include "platform/base/HXLog.h" // IOLog
#include "platform/kern/IOTypes.h"

#include <cstddef>
#include <memory>

void* IOMalloc(vm_size_t size);
void* IOMallocZero(vm_size_t size);
void IOFree(void* address, vm_size_t size);

// Page-aligned (or more, when asked) zero-filled memory from an anonymous
// memfd; the alignment must be a power of two. Null for size 0.
void* IOMallocAligned(vm_size_t size, vm_size_t alignment);
void IOFreeAligned(void* address, vm_size_t size);

void IOSleep(unsigned milliseconds);
void IODelay(unsigned microseconds);

struct IOLock;
IOLock* IOLockAlloc();
void IOLockFree(IOLock* lock);
void IOLockLock(IOLock* lock);
void IOLockUnlock(IOLock* lock);
bool IOLockTryLock(IOLock* lock);

// Tasks stand for address spaces (Mach task ports of the platform base). The
// kernel has one; each user process the simulation runs gets its own
// (created by the user-space side).
extern task_t kernel_task;
task_t current_task();

// Kernel threads, named by their Mach thread ports. thread_deallocate gives
// back the creator's reference; the thread's own end is its function
// returning (thread_terminate on the current thread only accepts that).
typedef void (*thread_continue_t)(void* parameter, wait_result_t result);
kern_return_t kernel_thread_start(thread_continue_t continuation, void* parameter,
                                  thread_t* newThread);
thread_t current_thread();
void thread_deallocate(thread_t t);
kern_return_t thread_terminate(thread_t t);

// The release numbers of the emulated kernel, as logged at driver start.
extern int version_major;
extern int version_minor;
extern int version_revision;

namespace hx::kern {

// A memfd-backed area as IOMallocAligned made it. Shared by every descriptor
// and mapping of the area; the file stays open while any of them lives.
struct SharedRegion {
    int fd = -1;
    uint64_t size = 0;       // bytes asked for
    uint64_t mappedSize = 0; // page-rounded length of the kernel mapping
    void* kernelAddress = nullptr;
    ~SharedRegion();
};

// The region whose kernel mapping contains [address, address + length), or
// null (memory from IOMalloc, or a freed area).
std::shared_ptr<SharedRegion> findSharedRegion(const void* address, uint64_t length);

// A task's identity as the suite asks for it: pid, a 16-character process
// name and the user id.
constexpr int kTaskNameLength = 16;
struct TaskIdentity {
    int pid = -1;
    char name[kTaskNameLength + 1] = {};
    uint32_t uid = 0;
};

// Creates a user task (an address space the kernel can map areas into); the
// one-argument form names no process and runs as an ordinary user (501).
task_t createTask(int pid);
task_t createTask(int pid, const char* name, uint32_t uid);
void destroyTask(task_t t);
int taskPid(task_t t);
// False for a task that does not exist (or no longer).
bool taskIdentity(task_t t, TaskIdentity& out);

} // namespace hx::kern
