#include "libs/tools/Semaphore.h"

#include "platform/base/Mach.h"

Semaphore::Semaphore() : task(0), semaphore(0) {}

Semaphore::~Semaphore() {
    close();
}

bool Semaphore::create() {
    if (semaphore != 0) return false;
    task = mach_task_self();
    semaphore_create(task, &semaphore, SYNC_POLICY_FIFO, 0);
    return semaphore != 0;
}

bool Semaphore::wait() {
    if (!semaphore) return false;
    return semaphore_wait(semaphore) == KERN_SUCCESS;
}

bool Semaphore::waitTimeout(int seconds) {
    if (!semaphore) return false;
    // A negative time would read as a wait of many years: poll instead.
    mach_timespec_t t{static_cast<unsigned>(seconds < 0 ? 0 : seconds), 0};
    return semaphore_timedwait(semaphore, t) == KERN_SUCCESS;
}

void Semaphore::signal() {
    if (semaphore) semaphore_signal(semaphore);
}

void Semaphore::close() {
    if (!semaphore) return;
    semaphore_destroy(task, semaphore);
    semaphore = 0;
}
