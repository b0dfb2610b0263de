#include "libs/core/QnClock.h"

#include "libs/core/QnCoreInternal.h"
#include "platform/base/HXClock.h"

namespace Core {

double _clock_hires_numer = 0;
double _clock_hires_denom = 0;
qn_int32 nSeed = 0;

qn_uint64 uptimeNanos() {
    // Before start-up the time base is 0/0; report 0 rather than a NaN cast.
    if (_clock_hires_denom == 0 || _clock_hires_numer == 0) return 0;
    double t = double(mach_absolute_time()) * _clock_hires_numer / _clock_hires_denom;
    return qn_uint64(t);
}

qn_int64 lapNanos(qn_uint64 since) {
    return qn_int64(uptimeNanos() - since);
}

qn_int64 lapNanosWithUpdate(qn_uint64& last) {
    qn_uint64 now = uptimeNanos();
    qn_int64 d = qn_int64(now - last);
    last = now;
    return d;
}

void qn_seed(qn_int32 seed) {
    nSeed = seed;
}

qn_int32 qn_rand() {
    // 32-bit wrap-around, computed unsigned so the overflow is defined.
    qn_uint32 s = qn_uint32(nSeed) * 8253729u + 2396403u;
    nSeed = qn_int32(s);
    return qn_int32(s % 32767u);
}

void clockFillTimebase() {
    mach_timebase_info_data_t tb{};
    mach_timebase_info(&tb);
    _clock_hires_numer = double(tb.numer);
    _clock_hires_denom = double(tb.denom);
}

void clockClearTimebase() {
    _clock_hires_numer = 0;
    _clock_hires_denom = 0;
}

} // namespace Core
