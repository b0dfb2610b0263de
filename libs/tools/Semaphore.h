// A thin wrapper of a Mach semaphore: created with count 0 and FIFO wake-up,
// waited on (optionally for whole seconds), signalled, closed.
#pragma once

#include "platform/base/MachTypes.h"

class Semaphore {
public:
    Semaphore();
    virtual ~Semaphore();
    Semaphore(Semaphore const&) = delete;
    Semaphore& operator=(Semaphore const&) = delete;

    bool create();
    bool isValid() const { return semaphore != 0; }
    bool wait();
    bool waitTimeout(int seconds);
    void signal();
    void close();

private:
    task_t task;
    semaphore_t semaphore;
};
