#include "driver/engine/transport/KeThread.h"

#include "platform/base/HXClock.h"
#include "platform/base/MachThread.h"
#include "platform/kern/IOLib.h"

namespace {

// The time-constraint policy of a thread, from microseconds.
bool setTimeConstraint(thread_t thread, uint32_t periodUs, uint32_t computationUs,
                       uint32_t constraintUs) {
    thread_time_constraint_policy_data_t policy{};
    uint64_t v = 0;
    nanoseconds_to_absolutetime(uint64_t(periodUs) * 1000, &v);
    policy.period = uint32_t(v);
    nanoseconds_to_absolutetime(uint64_t(computationUs) * 1000, &v);
    policy.computation = uint32_t(v);
    nanoseconds_to_absolutetime(uint64_t(constraintUs) * 1000, &v);
    policy.constraint = uint32_t(v);
    policy.preemptible = 1;
    return thread_policy_set(thread, THREAD_TIME_CONSTRAINT_POLICY,
                             reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_TIME_CONSTRAINT_POLICY_COUNT) == KERN_SUCCESS;
}

} // namespace

void KeThread::init() {
    mServiceLock.store(0);
    mThread.store(0);
    mArgument = nullptr;
    mServiceArgument.store(nullptr);
    mStop.store(false);
    mService.store(nullptr);
}

bool KeThread::create(void* argument) {
    IOLog("KeThread::create - ENTER\n");
    if (hasThread()) {
        IOLog("KeThread::create - thread already exists\n");
        return false;
    }
    if (!mSemaphore.isValid() && !mSemaphore.create(kcore::currentTask())) {
        IOLog("KeThread::create - mSemaphore.create failed\n");
        return false;
    }
    mArgument = argument;
    mStop.store(false);
    thread_t handle = 0;
    // The handle is stored before the thread can clear it at its end.
    if (kernel_thread_start(&KeThread::KeThread_IOThreadFunc, this, &handle) != KERN_SUCCESS) {
        IOLog("IOCreateThread failed\n");
        return false;
    }
    mThread.store(handle, std::memory_order_release);
    mSemaphore.wait();
    IOLog("KeThread::create - EXIT\n");
    return true;
}

void KeThread::KeThread_IOThreadFunc(void* thread, wait_result_t) {
    IOLog("KeThread_IOThreadFunc ENTER\n");
    KeThread* self = static_cast<KeThread*>(thread);
    if (!self) {
        IOLog("KeThread_IOThreadFunc - pThread is NULL\n");
        return;
    }
    self->mSemaphore.signal();
    self->run();
    // After this signal the owner may be gone: touch nothing of it but the
    // handle, which term() waits for.
    const thread_t me = current_thread();
    self->mThread.store(0, std::memory_order_release);
    self->mSemaphore.signal();
    thread_deallocate(me);
    thread_terminate(me);
    IOLog("KeThread_IOThreadFunc EXIT\n");
}

void KeThread::run() {
    IOLog("KeThread::run ENTER\n");
    // Without the thread handle (not yet stored by create) the policy is
    // applied to the current thread's port.
    if (!setRealtime(1000, 300, 900)) setTimeConstraint(current_thread(), 1000, 300, 900);
    while (!mStop.load(std::memory_order_acquire)) {
        if (serviceLock()) {
            runService();
            serviceUnlock();
        } else {
            IOLog("KeThread::run serviceLock() failed\n");
        }
        const uint64_t before = mach_absolute_time();
        IOSleep(1);
        uint64_t ns = 0;
        absolutetime_to_nanoseconds(mach_absolute_time() - before, &ns);
        if (ns >= 1501 * 1000ull) IOLog("KeThread::run - delay:%dus\n", int(ns / 1000));
    }
}

// The routine and its argument are stored argument first; a routine read
// again unchanged after its argument was read belongs to that argument (a
// change of routine passes through null and the stop barrier).
void KeThread::runService() {
    const KeThreadService service = mService.load(std::memory_order_seq_cst);
    if (!service) return;
    void* argument = mServiceArgument.load(std::memory_order_seq_cst);
    if (mService.load(std::memory_order_seq_cst) != service) return;
    service(argument ? argument : mArgument);
}

bool KeThread::setRealtime(uint32_t periodUs, uint32_t computationUs, uint32_t constraintUs) {
    const thread_t handle = mThread.load(std::memory_order_acquire);
    return handle && setTimeConstraint(handle, periodUs, computationUs, constraintUs);
}

void KeThread::term() {
    IOLog("KeThread::term ENTER\n");
    if (hasThread()) {
        IOLog("KeThread::term must end thread\n");
        mStop.store(true, std::memory_order_release);
        mService.store(nullptr, std::memory_order_release);
        mSemaphore.wait();
    }
    mServiceLock.store(0);
    IOLog("KeThread::term EXIT\n");
}

bool KeThread::serviceLock() {
    int32_t expected = 0;
    return mServiceLock.compare_exchange_strong(expected, 1, std::memory_order_acquire);
}

void KeThread::serviceUnlock() {
    int32_t expected = 1;
    mServiceLock.compare_exchange_strong(expected, 0, std::memory_order_release);
}

void KeThread::stopBarrier() {
    setService(nullptr);
    while (!serviceLock()) {
        IOLog("mRTThread.serviceLock() failed\n");
        IOSleep(10);
    }
    serviceUnlock();
}
