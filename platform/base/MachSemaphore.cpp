#include "platform/base/MachSemaphore.h"

#include "platform/base/MachPort.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {

struct Waiter {
    // Through the clock, so a participant blocked here counts as waiting and
    // a signal counts it as running before the signaller can let time move.
    hx::clock::Condition cv;
    bool done = false;
    kern_return_t result = KERN_SUCCESS;
};

struct Record {
    std::mutex lock;
    int count = 0;
    bool destroyed = false;
    std::deque<Waiter*> waiters;      // arrival order
    std::deque<kern_return_t> faults; // injected results for the next waits
};

struct Table {
    std::shared_mutex lock;
    std::unordered_map<semaphore_t, std::shared_ptr<Record>> records;
};

Table& table() {
    static Table* t = new Table; // outlives every static destructor
    return *t;
}

std::shared_ptr<Record> find(semaphore_t s) {
    Table& t = table();
    std::shared_lock<std::shared_mutex> g(t.lock);
    auto it = t.records.find(s);
    return it == t.records.end() ? nullptr : it->second;
}

constexpr std::uint64_t kNoDeadline = hx::clock::kForever;

kern_return_t waitOn(semaphore_t s, bool timed, std::uint64_t timeoutNs) {
    std::shared_ptr<Record> r = find(s);
    if (!r) return KERN_INVALID_ARGUMENT;
    std::unique_lock<std::mutex> g(r->lock);
    if (r->destroyed) return KERN_TERMINATED;
    if (!r->faults.empty()) {
        kern_return_t k = r->faults.front();
        r->faults.pop_front();
        return k;
    }
    if (r->count > 0) {
        --r->count;
        return KERN_SUCCESS;
    }
    if (timed && timeoutNs == 0) return KERN_OPERATION_TIMED_OUT;
    const std::uint64_t deadline = timed ? hx::clock::deadlineAfter(timeoutNs) : kNoDeadline;
    Waiter w;
    r->waiters.push_back(&w);
    while (!w.done) {
        if (!w.cv.waitUntil(g, deadline) && !w.done) {
            // Timed out before a signal reached us: leave the queue.
            for (auto it = r->waiters.begin(); it != r->waiters.end(); ++it)
                if (*it == &w) {
                    r->waiters.erase(it);
                    break;
                }
            return KERN_OPERATION_TIMED_OUT;
        }
    }
    return w.result;
}

// Called with the record locked: wakes the first waiter with result.
void wakeFirst(Record& r, kern_return_t result) {
    Waiter* w = r.waiters.front();
    r.waiters.pop_front();
    w->result = result;
    w->done = true;
    w->cv.notifyOne();
}

} // namespace

extern "C" {

kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value) {
    if (!semaphore) return KERN_INVALID_ARGUMENT;
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    if (policy != SYNC_POLICY_FIFO || value < 0) return KERN_INVALID_ARGUMENT;
    auto r = std::make_shared<Record>();
    r->count = value;
    semaphore_t name = hx::mach::allocatePortName();
    {
        Table& t = table();
        std::unique_lock<std::shared_mutex> g(t.lock);
        t.records.emplace(name, std::move(r));
    }
    *semaphore = name;
    return KERN_SUCCESS;
}

kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore) {
    if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
    std::shared_ptr<Record> r;
    {
        Table& t = table();
        std::unique_lock<std::shared_mutex> g(t.lock);
        auto it = t.records.find(semaphore);
        if (it == t.records.end()) return KERN_INVALID_ARGUMENT;
        r = std::move(it->second);
        t.records.erase(it);
    }
    // Threads still inside a call hold their own reference to the record;
    // it is freed when the last of them leaves.
    std::lock_guard<std::mutex> g(r->lock);
    r->destroyed = true;
    while (!r->waiters.empty())
        wakeFirst(*r, KERN_TERMINATED);
    return KERN_SUCCESS;
}

kern_return_t semaphore_signal(semaphore_t semaphore) {
    std::shared_ptr<Record> r = find(semaphore);
    if (!r) return KERN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> g(r->lock);
    if (r->destroyed) return KERN_TERMINATED;
    if (!r->waiters.empty())
        wakeFirst(*r, KERN_SUCCESS);
    else
        ++r->count;
    return KERN_SUCCESS;
}

kern_return_t semaphore_signal_all(semaphore_t semaphore) {
    std::shared_ptr<Record> r = find(semaphore);
    if (!r) return KERN_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> g(r->lock);
    if (r->destroyed) return KERN_TERMINATED;
    while (!r->waiters.empty())
        wakeFirst(*r, KERN_SUCCESS);
    return KERN_SUCCESS;
}

kern_return_t semaphore_wait(semaphore_t semaphore) {
    return waitOn(semaphore, false, 0);
}

kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time) {
    if (wait_time.tv_nsec < 0 || wait_time.tv_nsec >= 1000000000) return KERN_INVALID_VALUE;
    std::uint64_t ns =
        std::uint64_t(wait_time.tv_sec) * 1000000000ull + std::uint64_t(wait_time.tv_nsec);
    return waitOn(semaphore, true, ns);
}

} // extern "C"

namespace hx::mach {

int semaphoreWaiterCount(semaphore_t semaphore) {
    std::shared_ptr<Record> r = find(semaphore);
    if (!r) return -1;
    std::lock_guard<std::mutex> g(r->lock);
    return int(r->waiters.size());
}

int semaphoreValue(semaphore_t semaphore) {
    std::shared_ptr<Record> r = find(semaphore);
    if (!r) return -1;
    std::lock_guard<std::mutex> g(r->lock);
    return r->count;
}

bool injectWaitResult(semaphore_t semaphore, kern_return_t result) {
    std::shared_ptr<Record> r = find(semaphore);
    if (!r) return false;
    std::lock_guard<std::mutex> g(r->lock);
    r->faults.push_back(result);
    return true;
}

int semaphoreLiveCount() {
    Table& t = table();
    std::shared_lock<std::shared_mutex> g(t.lock);
    return int(t.records.size());
}

} // namespace hx::mach
