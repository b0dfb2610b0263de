// The kernel's absolute time and its time base, as the kernel declares them.
// (The user-space clock header cannot sit beside the kernel's task types.)
#pragma once

#include <cstdint>

#include "platform/base/MacTypes.h"

struct mach_timebase_info_data_t {
    uint32_t numer;
    uint32_t denom;
};

extern "C" {
uint64_t mach_absolute_time(void);
kern_return_t mach_timebase_info(mach_timebase_info_data_t* info);
}
