#include "plugins/server/CAHostTimeBase.h"

#include "platform/base/HXClock.h"

pthread_once_t CAHostTimeBase::sIsInited = PTHREAD_ONCE_INIT;
UInt32 CAHostTimeBase::sToNanosNumerator = 0;
UInt32 CAHostTimeBase::sToNanosDenominator = 0;
Float64 CAHostTimeBase::sFrequency = 0;
Float64 CAHostTimeBase::sInverseFrequency = 0;
UInt32 CAHostTimeBase::sMinDelta = 0;

void CAHostTimeBase::Initialize() {
    pthread_once(&sIsInited, &CAHostTimeBase::InitializeOnce);
}

void CAHostTimeBase::InitializeOnce() {
    mach_timebase_info_data_t info{};
    mach_timebase_info(&info);
    sMinDelta = 1;
    sToNanosNumerator = info.numer;
    sToNanosDenominator = info.denom;
    sFrequency = Float64(info.denom) / Float64(info.numer) * 1000000000.0;
    sInverseFrequency = 1.0 / sFrequency;
}

UInt64 CAHostTimeBase::ConvertFromNanos(UInt64 inNanos) {
    Initialize();
    if (sToNanosNumerator == sToNanosDenominator || sToNanosNumerator == 0) return inNanos;
    const unsigned __int128 product = static_cast<unsigned __int128>(inNanos) * sToNanosDenominator;
    const unsigned __int128 ticks = product / sToNanosNumerator;
    return ticks > ~UInt64(0) ? ~UInt64(0) : UInt64(ticks);
}

Float64 CAHostTimeBase::GetFrequency() {
    Initialize();
    return sFrequency;
}
