// Threads of the kernel build of the core library, on kernel threads.
//
// A QnThread object is reference counted: create() gives the running thread
// one reference, which the thread gives back when its body ends. The thread's
// object is its thread-local value while it runs. join() polls until the
// thread has ended. Two objects exist from Core start-up on: the initial
// thread (the thread that initialised the library) and the default object
// that stands for threads without one of their own.
#pragma once

#include <cstdint>

#include "driver/engine/kcore/KernBinding.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelObject.h"

namespace QnKernel {

class QnThread;
typedef void* (*pfn_threadEntry)(void* arg, QnThread* thread);

// The kernel thread identity of the caller.
uint64_t threadGetCurrentId();
bool threadIsCurrent(uint64_t id);
void threadSleep(uint32_t ms);
void threadSleepMinimum();
void threadSwitch();

// Thread layer start-up (run by init) and shutdown (an exit callback).
void threadsInit();
void threadsTerm(void* arg);

class QnThread : public Object {
public:
    static constexpr uint32_t kInitThreadId = 0xDEADBEEF;
    static constexpr uint32_t kDefaultThreadId = 0xBAADF00D;
    static constexpr uint32_t kDriverMainThreadId = 0x47110815;

    // The caller's own thread object, else the default object (null before
    // the thread layer is set up).
    static QnThread* getCurrentThread();
    static QnThread* getInitThread();
    static QnThread* getDefaultThread();
    static bool isCurrentInitThread();
    // Ends the caller's thread object; false on the main thread.
    static bool exitCurrent(void* result);

    explicit QnThread(uint32_t id);
    ~QnThread() override;

    virtual void* main(void* arg);

    bool create(void* arg, pfn_threadEntry entry, bool wait);
    // Ends this thread's life as seen by its object; only on the thread
    // itself. The kernel thread finishes when its entry function returns,
    // which the caller does next.
    bool exit(void* result);
    bool join(void** result);
    bool isCurrentThread() const;

    uint32_t getId() const { return mId; }
    // 0 not started, 1 running, 2 ended.
    uint32_t getThreadState() const { return __atomic_load_n(&mThreadState, __ATOMIC_SEQ_CST); }
    kcore::ThreadHandle getHandle() const { return __atomic_load_n(&mThreadHandle, __ATOMIC_SEQ_CST); }

private:
    static void body(void* self);
    void moveState(uint32_t from, uint32_t to, const char* text);

    kcore::ThreadHandle mThreadHandle = 0;
    void* mpArg = nullptr;
    pfn_threadEntry mpfnEntry = nullptr;
    void* mpExitResult = nullptr;
    uint32_t mId;
    qn_semaphore_t mWakeSemaphore{};
    uint32_t mThreadState = 0;
};

}  // namespace QnKernel
