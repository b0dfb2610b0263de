// Mach thread ports and the host's priority model.
//
// Every POSIX thread gets a Mach thread port on first use. The scheduling
// state the suite sets and reads back is modelled per port: a thread starts
// with policy POLICY_TIMESHARE and base priority 31; the precedence policy
// with importance i sets the base priority to clamp(31 + i, 0, 63); thread_info
// reads back the policy and the base priority. On Linux nothing else changes
// unless HX_RT=1: then a base priority above 31 becomes SCHED_RR (Linux
// priority = base priority - 31), 31 or below SCHED_OTHER, and the
// time-constraint policy becomes SCHED_FIFO. Refusals of the real scheduler
// (no permission) leave the model as set and are not reported.
#pragma once

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

#include <pthread.h>

// Scheduling policies as thread_info reports them.
constexpr policy_t POLICY_NULL = 0;
constexpr policy_t POLICY_TIMESHARE = 1;
constexpr policy_t POLICY_RR = 2;
constexpr policy_t POLICY_FIFO = 4;

// thread_info flavours.
constexpr thread_flavor_t THREAD_BASIC_INFO = 3;
constexpr thread_flavor_t THREAD_SCHED_TIMESHARE_INFO = 10;
constexpr thread_flavor_t THREAD_SCHED_RR_INFO = 11;
constexpr thread_flavor_t THREAD_SCHED_FIFO_INFO = 12;

// thread_policy_set flavours.
constexpr thread_policy_flavor_t THREAD_STANDARD_POLICY = 1;
constexpr thread_policy_flavor_t THREAD_TIME_CONSTRAINT_POLICY = 2;
constexpr thread_policy_flavor_t THREAD_PRECEDENCE_POLICY = 3;

struct time_value_t {
    integer_t seconds;
    integer_t microseconds;
};

// Thread run states of the basic info.
constexpr integer_t TH_STATE_RUNNING = 1;

struct thread_basic_info {
    time_value_t user_time;
    time_value_t system_time;
    integer_t cpu_usage;
    policy_t policy;
    integer_t run_state;
    integer_t flags;
    integer_t suspend_count;
    integer_t sleep_time;
};
typedef thread_basic_info thread_basic_info_data_t;
constexpr mach_msg_type_number_t THREAD_BASIC_INFO_COUNT =
    sizeof(thread_basic_info) / sizeof(integer_t);

struct policy_timeshare_info {
    integer_t max_priority;
    integer_t base_priority;
    integer_t cur_priority;
    boolean_t depressed;
    integer_t depress_priority;
};
typedef policy_timeshare_info policy_timeshare_info_data_t;
constexpr mach_msg_type_number_t POLICY_TIMESHARE_INFO_COUNT =
    sizeof(policy_timeshare_info) / sizeof(integer_t);

struct policy_rr_info {
    integer_t max_priority;
    integer_t base_priority;
    integer_t quantum;
    boolean_t depressed;
    integer_t depress_priority;
};
typedef policy_rr_info policy_rr_info_data_t;
constexpr mach_msg_type_number_t POLICY_RR_INFO_COUNT = sizeof(policy_rr_info) / sizeof(integer_t);

struct policy_fifo_info {
    integer_t max_priority;
    integer_t base_priority;
    boolean_t depressed;
    integer_t depress_priority;
};
typedef policy_fifo_info policy_fifo_info_data_t;
constexpr mach_msg_type_number_t POLICY_FIFO_INFO_COUNT =
    sizeof(policy_fifo_info) / sizeof(integer_t);

struct thread_precedence_policy {
    integer_t importance;
};
typedef thread_precedence_policy thread_precedence_policy_data_t;
constexpr mach_msg_type_number_t THREAD_PRECEDENCE_POLICY_COUNT = 1;

struct thread_time_constraint_policy {
    uint32_t period;
    uint32_t computation;
    uint32_t constraint;
    boolean_t preemptible;
};
typedef thread_time_constraint_policy thread_time_constraint_policy_data_t;
constexpr mach_msg_type_number_t THREAD_TIME_CONSTRAINT_POLICY_COUNT = 4;

extern "C" {
mach_port_t pthread_mach_thread_np(pthread_t thread);
void pthread_yield_np(void);
thread_t mach_thread_self(void);
kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t count);
kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count);
}

namespace hx::mach {

constexpr integer_t kDefaultBasePriority = 31;
constexpr integer_t kMaxPriority = 63;

// True when HX_RT=1 lets the model reach the real scheduler.
bool realtimeScheduling();
// The time-constraint policy last set on the port's thread, if any (tests).
bool timeConstraint(thread_act_t thread, thread_time_constraint_policy_data_t* out);

} // namespace hx::mach
