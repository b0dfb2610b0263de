// Mach's scalar types and the result codes of its calls, declared here from
// what the suite uses. Port names (tasks, threads, semaphores) share one name
// space, as on the host system, so a name of the wrong kind is refused.
#pragma once

#include "platform/base/MacTypes.h"

#include <cstdint>

typedef int integer_t;
typedef unsigned int natural_t;
typedef natural_t mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t thread_t;
typedef mach_port_t thread_act_t;
typedef mach_port_t semaphore_t;
typedef natural_t mach_msg_type_number_t;
typedef int sync_policy_t;
typedef int policy_t;
typedef unsigned int boolean_t;
typedef int clock_res_t;
typedef natural_t thread_flavor_t;
typedef natural_t thread_policy_flavor_t;
typedef integer_t* thread_info_t;
typedef integer_t* thread_policy_t;

constexpr mach_port_t MACH_PORT_NULL = 0;

// Results of the Mach calls (kern_return_t, declared in MacTypes.h).
constexpr int KERN_SUCCESS = 0;
constexpr int KERN_INVALID_ADDRESS = 1;
constexpr int KERN_PROTECTION_FAILURE = 2;
constexpr int KERN_NO_SPACE = 3;
constexpr int KERN_INVALID_ARGUMENT = 4;
constexpr int KERN_FAILURE = 5;
constexpr int KERN_RESOURCE_SHORTAGE = 6;
constexpr int KERN_NOT_RECEIVER = 7;
constexpr int KERN_NO_ACCESS = 8;
constexpr int KERN_ABORTED = 14;
constexpr int KERN_INVALID_NAME = 15;
constexpr int KERN_INVALID_TASK = 16;
constexpr int KERN_INVALID_RIGHT = 17;
constexpr int KERN_INVALID_VALUE = 18;
constexpr int KERN_INVALID_CAPABILITY = 20;
constexpr int KERN_NOT_SUPPORTED = 46;
constexpr int KERN_INVALID_POLICY = 27;
constexpr int KERN_TERMINATED = 37;
constexpr int KERN_OPERATION_TIMED_OUT = 49;

// Wake-up order of a semaphore's waiters.
constexpr sync_policy_t SYNC_POLICY_FIFO = 0x0;
