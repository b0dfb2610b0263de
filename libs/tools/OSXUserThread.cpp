#include "libs/tools/OSXUserThread.h"

#include <unistd.h>

#include "libs/core/QnAtomic.h"
#include "platform/base/HXClock.h"
#include "platform/base/MachThread.h"

namespace {

// What the creator hands the new thread: the object and its place on the
// virtual clock, reserved before the thread exists so time cannot move
// before the worker runs.
struct StartArgs {
    OSXUserThread* self;
    hx::clock::Reservation seat;
};

} // namespace

mach_port_t qnMachThreadSelf() {
    return pthread_mach_thread_np(pthread_self());
}

OSXUserThread::OSXUserThread(unsigned p)
    : thread(), stopFlag(0), runningFlag(0), runLock(1),
      creatorPriority(getThreadPriority(qnMachThreadSelf())), priority(static_cast<int>(p)) {}

OSXUserThread::OSXUserThread(unsigned, unsigned, unsigned, bool) : OSXUserThread(63) {}

OSXUserThread::~OSXUserThread() {
    threadStop();
}

void* OSXUserThread::entry(void* arg) {
    if (!arg) return nullptr;
    StartArgs* start = static_cast<StartArgs*>(arg);
    OSXUserThread* self = start->self;
    // A participant of the virtual clock: its sleeps and waits let time run,
    // its work holds it.
    hx::clock::Participant participant(std::move(start->seat));
    delete start;
    // Take the run lock before announcing ourselves: once threadStart sees
    // the flag, a threadStop can only get the lock after threadRun is over,
    // so the object cannot be destroyed under a worker still to start.
    self->runLock.acquire(-1);
    atomicWrite(&self->runningFlag, 1);
    void* result = self->threadRun();
    // Nothing of the object is touched after the release: the stopper may
    // destroy it at once.
    self->runLock.release();
    return result;
}

bool OSXUserThread::threadStart() {
    if (IsRunning()) return false;
    atomicWrite(&stopFlag, 0);
    atomicWrite(&runningFlag, 0);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
    pthread_t created;
    auto* start = new StartArgs{this, hx::clock::Reservation()};
    if (pthread_create(&created, &attr, &OSXUserThread::entry, start) != 0) {
        delete start;
        pthread_attr_destroy(&attr);
        thread = pthread_t();
        return false;
    }
    thread = created;
    pthread_attr_destroy(&attr);

    SetPriority(static_cast<unsigned>(priority));
    priority = getThreadPriority(getMachThread());

    while (atomicRead(&runningFlag) != 1)
        hx::clock::sleepFor(1000000);
    return true;
}

void OSXUserThread::threadStop() {
    if (!IsRunning()) return;
    atomicWrite(&stopFlag, 1);
    runLock.acquire(-1);
    atomicWrite(&runningFlag, 0);
    thread = pthread_t();
    runLock.release();
}

void OSXUserThread::SetPriority(unsigned p) {
    priority = static_cast<int>(p);
    if (!IsRunning()) return;
    integer_t importance;
    if (priority < 0) {
        // A negative request names an absolute priority, taken relative to
        // the creating thread's own.
        priority = -priority;
        importance = priority - creatorPriority;
    } else {
        importance = priority;
    }
    thread_precedence_policy_data_t policy{importance};
    thread_policy_set(getMachThread(), THREAD_PRECEDENCE_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_PRECEDENCE_POLICY_COUNT);
}

mach_port_t OSXUserThread::getMachThread() const {
    return pthread_mach_thread_np(thread);
}

int OSXUserThread::getThreadPriority(mach_port_t port) {
    thread_basic_info_data_t basic{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count);
    switch (basic.policy) {
    case POLICY_TIMESHARE: {
        policy_timeshare_info_data_t info{};
        count = POLICY_TIMESHARE_INFO_COUNT;
        thread_info(port, THREAD_SCHED_TIMESHARE_INFO, reinterpret_cast<thread_info_t>(&info),
                    &count);
        return info.base_priority;
    }
    case POLICY_RR: {
        policy_rr_info_data_t info{};
        count = POLICY_RR_INFO_COUNT;
        thread_info(port, THREAD_SCHED_RR_INFO, reinterpret_cast<thread_info_t>(&info), &count);
        return info.base_priority;
    }
    case POLICY_FIFO: {
        policy_fifo_info_data_t info{};
        count = POLICY_FIFO_INFO_COUNT;
        thread_info(port, THREAD_SCHED_FIFO_INFO, reinterpret_cast<thread_info_t>(&info), &count);
        return info.base_priority;
    }
    default:
        return 0;
    }
}
