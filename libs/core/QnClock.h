// The core library's monotonic clock in nanoseconds and its small
// pseudo-random generator.
//
// The clock converts the host's absolute time through the time base that
// library start-up fills (QnCoreInternal.h); before that it reads 0.
#pragma once

#include "libs/core/QnStatus.h"

namespace Core {

// Host time base as doubles; 0 until start-up fills them.
extern double _clock_hires_numer;
extern double _clock_hires_denom;
// State of the random generator; 0 until seeded.
extern qn_int32 nSeed;

qn_uint64 uptimeNanos();
qn_int64 lapNanos(qn_uint64 since);
// Returns now - last and leaves now in last.
qn_int64 lapNanosWithUpdate(qn_uint64& last);

void qn_seed(qn_int32 seed);
// 0..32766; not synchronised.
qn_int32 qn_rand();

} // namespace Core
