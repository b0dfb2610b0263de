// The device's real-time kernel thread: wakes about once a millisecond and
// runs one service routine (the transport's per-cycle work) with the device
// as argument. The routine is installed when streaming resumes and removed
// when it stops; in between the thread only sleeps.
//
// The service lock is the barrier every stopper takes: after
// setService(nullptr), whoever holds the lock knows no cycle is inside the
// old routine and none will call it again.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/engine/kcore/Mutex.h"
#include "platform/kern/IOTypes.h"

typedef void (*KeThreadService)(void* argument);

class KeThread {
public:
    KeThread() { init(); }
    ~KeThread() { term(); }
    KeThread(const KeThread&) = delete;
    KeThread& operator=(const KeThread&) = delete;

    void init();
    bool create(void* argument);
    // No lock: the next cycle sees the change. Removal is safe only together
    // with the stop barrier (stopBarrier()).
    void setService(KeThreadService service) { setService(service, nullptr); }
    // A routine of another engine than the one the thread was created with:
    // it gets `argument` instead (null: the thread's own argument).
    void setService(KeThreadService service, void* argument) {
        mServiceArgument.store(argument, std::memory_order_seq_cst);
        mService.store(service, std::memory_order_seq_cst);
    }
    bool setRealtime(uint32_t periodUs, uint32_t computationUs, uint32_t constraintUs);
    void term();

    // The service lock: compare-and-swap 0 -> 1 and back.
    bool serviceLock();
    void serviceUnlock();
    // Removes the service and waits (10 ms steps) until no cycle runs it.
    void stopBarrier();

    bool hasThread() const { return mThread.load(std::memory_order_acquire) != 0; }
    KeThreadService service() const { return mService.load(std::memory_order_acquire); }

    // The thread body, as handed to kernel_thread_start.
    static void KeThread_IOThreadFunc(void* thread, wait_result_t);
    void run();
    void runService();

private:
    std::atomic<int32_t> mServiceLock{0};
    std::atomic<thread_t> mThread{0};
    void* mArgument = nullptr;
    std::atomic<void*> mServiceArgument{nullptr};
    KeSemaphore mSemaphore;
    std::atomic<bool> mStop{false};
    std::atomic<KeThreadService> mService{nullptr};
};
