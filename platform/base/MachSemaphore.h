// Mach semaphores.
//
// A semaphore_t names a record in a process-wide table; every call looks the
// name up and holds a shared reference to the record while it works, so a
// destroy racing a signal or a wait never frees memory still in use. Waiters
// queue in arrival order and a signal hands its count straight to the first
// one (FIFO wake-up). semaphore_destroy wakes every waiter with
// KERN_TERMINATED; afterwards the name is unknown (KERN_INVALID_ARGUMENT).
// Deadlines run on the platform clock (HXClock.h), and waits are known to it:
// on the virtual clock a blocked participant counts as waiting, and a signal
// counts the woken thread as running before the signaller goes on.
#pragma once

#include "platform/base/HXClock.h"
#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

extern "C" {
kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value);
kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore);
kern_return_t semaphore_signal(semaphore_t semaphore);
kern_return_t semaphore_signal_all(semaphore_t semaphore);
kern_return_t semaphore_wait(semaphore_t semaphore);
kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time);
}

namespace hx::mach {

// Test seams.
// Number of threads blocked in a wait on the semaphore; -1 for an unknown name.
int semaphoreWaiterCount(semaphore_t semaphore);
// Current count; -1 for an unknown name.
int semaphoreValue(semaphore_t semaphore);
// Makes the next wait on the semaphore return result at once, without taking
// a count (several injections are used in order). False for an unknown name.
bool injectWaitResult(semaphore_t semaphore, kern_return_t result);
// Number of live semaphores in the process (to check that nothing leaks).
int semaphoreLiveCount();

} // namespace hx::mach
