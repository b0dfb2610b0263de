// The host clock's conversion constants, read once per process from the
// platform's time base.
#pragma once

#include <pthread.h>

#include "platform/base/MacTypes.h"

class CAHostTimeBase {
public:
    static void Initialize();
    // Nanoseconds to host ticks (a 128-bit product; unchanged at 1/1).
    static UInt64 ConvertFromNanos(UInt64 inNanos);
    static Float64 GetFrequency();

    static pthread_once_t sIsInited;
    static UInt32 sToNanosNumerator;
    static UInt32 sToNanosDenominator;
    static Float64 sFrequency;
    static Float64 sInverseFrequency;
    static UInt32 sMinDelta;

private:
    static void InitializeOnce();
};
