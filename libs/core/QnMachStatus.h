// The core status of a Mach semaphore wait's result, for both the user and
// the kernel build of the core library. Inline, so each build carries its
// own copy and nothing here can meet the other build's symbols at link time.
#pragma once

#include "libs/core/QnStatus.h"
#include "platform/base/MachTypes.h"

namespace Core {

inline qn_status statusFromMachWait(kern_return_t k) {
    switch (k) {
    case KERN_SUCCESS:
        return QN_SUCCESS;
    case KERN_INVALID_ARGUMENT:
        return QN_ERR_BAD_ARGUMENT;
    case KERN_ABORTED:
        return QN_ERR_ABORTED;
    case KERN_TERMINATED:
        return QN_ERR_TERMINATED;
    case KERN_OPERATION_TIMED_OUT:
        return QN_ERR_TIMEOUT;
    default:
        return QN_ERR_GENERAL;
    }
}

} // namespace Core
