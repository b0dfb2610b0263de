#include "api/QnClock.h"

#include "platform/base/HXClock.h"

QnClock::QnClock() {
    mach_timebase_info_data_t base{};
    mach_timebase_info(&base);
    mNanoFactor = base.denom ? double(base.numer) / double(base.denom) : 1.0;
    mMicroFactor = mNanoFactor / 1000.0;
}

uint64_t QnClock::start() {
    mStart = mach_absolute_time();
    return mStart;
}

int64_t QnClock::lap() const {
    return int64_t(double(mach_absolute_time() - mStart) * mMicroFactor);
}

uint64_t QnClock::lapStart() {
    const uint64_t now = mach_absolute_time();
    const uint64_t n = uint64_t(double(now - mStart) * mNanoFactor);
    mStart = now;
    return n;
}

uint64_t QnClock::nanos() const {
    return uint64_t(double(mach_absolute_time() - mStart) * mNanoFactor);
}
