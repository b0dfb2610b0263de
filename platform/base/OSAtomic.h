// The host's user-space atomic operations (compare-and-swap and add, with and
// without barrier). Barrier forms are sequentially consistent; the plain forms
// are relaxed. The 64-bit forms take both 64-bit integer spellings, since the
// suite's code uses long long where this system's int64_t is long.
#pragma once

#include <cstdint>

#define HX_OSATOMIC_CAS(Name, T, order)                                                            \
    inline bool Name(T oldValue, T newValue, T volatile* theValue) {                               \
        return __atomic_compare_exchange_n(theValue, &oldValue, newValue, false, order,            \
                                           __ATOMIC_RELAXED);                                      \
    }
#define HX_OSATOMIC_ADD(Name, T, order)                                                            \
    inline T Name(T amount, T volatile* theValue) {                                                \
        return __atomic_add_fetch(theValue, amount, order);                                        \
    }

HX_OSATOMIC_CAS(OSAtomicCompareAndSwap32, int32_t, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwap32Barrier, int32_t, __ATOMIC_SEQ_CST)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapInt, int, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapIntBarrier, int, __ATOMIC_SEQ_CST)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwap64, int64_t, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwap64Barrier, int64_t, __ATOMIC_SEQ_CST)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwap64, long long, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwap64Barrier, long long, __ATOMIC_SEQ_CST)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapLong, long, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapLongBarrier, long, __ATOMIC_SEQ_CST)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapPtr, void*, __ATOMIC_RELAXED)
HX_OSATOMIC_CAS(OSAtomicCompareAndSwapPtrBarrier, void*, __ATOMIC_SEQ_CST)

HX_OSATOMIC_ADD(OSAtomicAdd32, int32_t, __ATOMIC_RELAXED)
HX_OSATOMIC_ADD(OSAtomicAdd32Barrier, int32_t, __ATOMIC_SEQ_CST)
HX_OSATOMIC_ADD(OSAtomicAdd64, int64_t, __ATOMIC_RELAXED)
HX_OSATOMIC_ADD(OSAtomicAdd64Barrier, int64_t, __ATOMIC_SEQ_CST)
HX_OSATOMIC_ADD(OSAtomicAdd64, long long, __ATOMIC_RELAXED)
HX_OSATOMIC_ADD(OSAtomicAdd64Barrier, long long, __ATOMIC_SEQ_CST)

#undef HX_OSATOMIC_CAS
#undef HX_OSATOMIC_ADD

inline int32_t OSAtomicIncrement32(int32_t volatile* p) {
    return OSAtomicAdd32(1, p);
}
inline int32_t OSAtomicIncrement32Barrier(int32_t volatile* p) {
    return OSAtomicAdd32Barrier(1, p);
}
inline int32_t OSAtomicDecrement32(int32_t volatile* p) {
    return OSAtomicAdd32(-1, p);
}
inline int32_t OSAtomicDecrement32Barrier(int32_t volatile* p) {
    return OSAtomicAdd32Barrier(-1, p);
}
inline int64_t OSAtomicIncrement64Barrier(int64_t volatile* p) {
    return OSAtomicAdd64Barrier(int64_t(1), p);
}
inline int64_t OSAtomicDecrement64Barrier(int64_t volatile* p) {
    return OSAtomicAdd64Barrier(int64_t(-1), p);
}
inline void OSMemoryBarrier() {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
