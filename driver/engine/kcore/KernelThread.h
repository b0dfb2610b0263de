// Threads of the kernel build of the core library, on kernel threads.
//
// A QnThread object is reference counted: create() gives the running thread
// one reference, which the thread gives back when its body ends. The thread's
// object is its thread-local value while it runs. join() polls until the
// thread has ended. Two objects exist from Core start-up on: the initial
// thread (the thread that initialised the library) and the default object
// that stands for threads without one of their own.
//
// Their message queues, message targets and message loop are the ones both
// builds share (libs/core/shared/QnMessaging.h and QnThreadMembers.h).
#pragma once

#include <cstdint>

#include "driver/engine/kcore/KernBinding.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMessage.h"
#include "driver/engine/kcore/KernelObject.h"
#include "libs/core/QnRequestList.h"

namespace QnKernel {

// The kernel thread identity of the caller.
uint64_t threadGetCurrentId();
bool threadIsCurrent(uint64_t id);
void threadSleep(uint32_t ms);
void threadSleepMinimum();
void threadSwitch();

// Thread layer start-up (run by init) and shutdown (an exit callback).
void threadsInit();
void threadsTerm(void* arg);

class QnThread : public MessageTarget {
#include "libs/core/shared/QnThreadMembers.h"

public:
    static QnThread* getDefaultThread();

    // 0 not started, 1 running, 2 ended.
    uint32_t getThreadState() const {
        return __atomic_load_n(&mThreadState, __ATOMIC_SEQ_CST);
    }
    kcore::ThreadHandle getHandle() const {
        return __atomic_load_n(&mThreadHandle, __ATOMIC_SEQ_CST);
    }

private:
    static void body(void* self);
    void moveState(uint32_t from, uint32_t to, const char* text);

    kcore::ThreadHandle mThreadHandle = 0;
    void* mpArg = nullptr;
    pfn_threadEntry mpfnEntry = nullptr;
    void* mpExitResult = nullptr;
    uint32_t mThreadState = 0;
};

} // namespace QnKernel
