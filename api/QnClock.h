// A lap clock on the host time base (mach_absolute_time and its time base).
#pragma once

#include <cstdint>

class QnClock {
public:
    QnClock();
    // start = now; answers it.
    uint64_t start();
    // Microseconds since start; start stays.
    int64_t lap() const;
    // Nanoseconds since start, then start = now.
    uint64_t lapStart();
    // Nanoseconds since start; start stays.
    uint64_t nanos() const;

private:
    uint64_t mStart = 0;
    double mMicroFactor = 0; // ticks to microseconds
    double mNanoFactor = 0;  // ticks to nanoseconds
};
