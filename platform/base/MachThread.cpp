#include "platform/base/MachThread.h"

#include "platform/base/HXLog.h"
#include "platform/base/MachPort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <unordered_map>

namespace {

struct ThreadRecord {
    pthread_t handle;
    mach_port_t port;
    policy_t policy = POLICY_TIMESHARE;
    integer_t basePriority = hx::mach::kDefaultBasePriority;
    bool hasTimeConstraint = false;
    thread_time_constraint_policy_data_t timeConstraint{};
};

// Records live until their thread ends (see ExitGuard); a thread that never
// touched its own port keeps its record until the process ends.
struct Registry {
    std::mutex lock;
    std::unordered_map<mach_port_t, ThreadRecord> byPort;
    std::unordered_map<pthread_t, mach_port_t> byHandle;
};

Registry& registry() {
    static Registry* r = new Registry; // outlives every static destructor
    return *r;
}

// Removes the calling thread's record when it ends, so a later thread that
// reuses the same pthread_t starts from the default state.
struct ExitGuard {
    pthread_t self = pthread_self();
    ~ExitGuard() {
        Registry& r = registry();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.byHandle.find(self);
        if (it == r.byHandle.end()) return;
        r.byPort.erase(it->second);
        r.byHandle.erase(it);
    }
};

// Called with the registry locked.
mach_port_t portFor(Registry& r, pthread_t t) {
    auto it = r.byHandle.find(t);
    if (it != r.byHandle.end()) return it->second;
    mach_port_t port = hx::mach::allocatePortName();
    ThreadRecord rec;
    rec.handle = t;
    rec.port = port;
    r.byPort.emplace(port, rec);
    r.byHandle.emplace(t, port);
    return port;
}

void armExitGuard() {
    thread_local ExitGuard guard;
    (void)guard.self;
}

void applyRealtime(const ThreadRecord& rec) {
    if (!hx::mach::realtimeScheduling()) return;
    sched_param sp{};
    int policy = SCHED_OTHER;
    if (rec.hasTimeConstraint) {
        policy = SCHED_FIFO;
        sp.sched_priority = std::min(sched_get_priority_max(SCHED_FIFO), 80);
    } else if (rec.basePriority > hx::mach::kDefaultBasePriority) {
        policy = SCHED_RR;
        sp.sched_priority = std::min(sched_get_priority_max(SCHED_RR),
                                     rec.basePriority - hx::mach::kDefaultBasePriority);
    }
    pthread_setschedparam(rec.handle, policy, &sp);
}

} // namespace

namespace hx::mach {

bool realtimeScheduling() {
    static const bool on = [] {
        const char* v = std::getenv("HX_RT");
        return v && std::strcmp(v, "1") == 0;
    }();
    return on;
}

bool timeConstraint(thread_act_t thread, thread_time_constraint_policy_data_t* out) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.byPort.find(thread);
    if (it == r.byPort.end() || !it->second.hasTimeConstraint) return false;
    if (out) *out = it->second.timeConstraint;
    return true;
}

} // namespace hx::mach

extern "C" {

mach_port_t pthread_mach_thread_np(pthread_t thread) {
    const bool self = pthread_equal(thread, pthread_self());
    if (self) armExitGuard();
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return portFor(r, thread);
}

thread_t mach_thread_self(void) {
    return pthread_mach_thread_np(pthread_self());
}

void pthread_yield_np(void) {
    sched_yield();
}

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t count) {
    if (!policy_info) return KERN_INVALID_ARGUMENT;
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.byPort.find(thread);
    if (it == r.byPort.end()) return KERN_INVALID_ARGUMENT;
    ThreadRecord& rec = it->second;
    switch (flavor) {
    case THREAD_STANDARD_POLICY:
        rec.policy = POLICY_TIMESHARE;
        rec.basePriority = hx::mach::kDefaultBasePriority;
        rec.hasTimeConstraint = false;
        break;
    case THREAD_PRECEDENCE_POLICY: {
        if (count < THREAD_PRECEDENCE_POLICY_COUNT) return KERN_INVALID_ARGUMENT;
        // Importance is relative to the task's priority (31); clamp in 64-bit
        // so extreme importances cannot overflow.
        long long p = (long long)hx::mach::kDefaultBasePriority + policy_info[0];
        rec.basePriority = integer_t(std::clamp(p, 0ll, (long long)hx::mach::kMaxPriority));
        break;
    }
    case THREAD_TIME_CONSTRAINT_POLICY: {
        if (count < THREAD_TIME_CONSTRAINT_POLICY_COUNT) return KERN_INVALID_ARGUMENT;
        thread_time_constraint_policy_data_t tc;
        std::memcpy(&tc, policy_info, sizeof tc);
        if (tc.computation > tc.constraint) return KERN_INVALID_ARGUMENT;
        rec.timeConstraint = tc;
        rec.hasTimeConstraint = true;
        break;
    }
    default:
        return KERN_INVALID_ARGUMENT;
    }
    applyRealtime(rec);
    return KERN_SUCCESS;
}

kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count) {
    if (!info || !count) return KERN_INVALID_ARGUMENT;
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.byPort.find(thread);
    if (it == r.byPort.end()) return KERN_INVALID_ARGUMENT;
    const ThreadRecord& rec = it->second;
    switch (flavor) {
    case THREAD_BASIC_INFO: {
        if (*count < THREAD_BASIC_INFO_COUNT) return KERN_INVALID_ARGUMENT;
        thread_basic_info_data_t b{};
        b.policy = rec.policy;
        b.run_state = TH_STATE_RUNNING;
        std::memcpy(info, &b, sizeof b);
        *count = THREAD_BASIC_INFO_COUNT;
        return KERN_SUCCESS;
    }
    case THREAD_SCHED_TIMESHARE_INFO: {
        if (*count < POLICY_TIMESHARE_INFO_COUNT) return KERN_INVALID_ARGUMENT;
        if (rec.policy != POLICY_TIMESHARE) return KERN_INVALID_POLICY;
        policy_timeshare_info_data_t t{};
        t.max_priority = hx::mach::kMaxPriority;
        t.base_priority = rec.basePriority;
        t.cur_priority = rec.basePriority;
        std::memcpy(info, &t, sizeof t);
        *count = POLICY_TIMESHARE_INFO_COUNT;
        return KERN_SUCCESS;
    }
    case THREAD_SCHED_RR_INFO:
    case THREAD_SCHED_FIFO_INFO:
        // Threads of this model always run under the timeshare policy.
        return KERN_INVALID_POLICY;
    default:
        return KERN_INVALID_ARGUMENT;
    }
}

} // extern "C"
