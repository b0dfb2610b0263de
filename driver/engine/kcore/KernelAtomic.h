// The kernel build's named atomic operations. Each is a compare-and-swap
// loop with full barrier over the host's compare-and-swap primitives (the
// same inline ones the user build stands on) and returns the value held
// before the change; the bit forms take the bit number modulo the word width
// and return whether the bit was set before.
//
// They live in namespace QnKernel and are inline, so they never meet the
// user build's out-of-line functions of the same names in one process.
#pragma once

#include <cstdint>
#include <type_traits>

#include "platform/base/OSAtomic.h"

namespace QnKernel {

namespace detail {

inline bool cas(int volatile* p, int oldValue, int newValue) {
    return OSAtomicCompareAndSwapIntBarrier(oldValue, newValue, p);
}
inline bool cas(long long volatile* p, long long oldValue, long long newValue) {
    return OSAtomicCompareAndSwap64Barrier(oldValue, newValue, p);
}
inline bool cas(void* volatile* p, void* oldValue, void* newValue) {
    return OSAtomicCompareAndSwapPtrBarrier(oldValue, newValue, p);
}

// Runs next(old) until the swap holds; returns the old value.
template <typename T, typename F> inline T update(T volatile* p, F next) {
    for (;;) {
        T old = __atomic_load_n(p, __ATOMIC_SEQ_CST);
        if (cas(p, old, next(old))) return old;
    }
}

template <typename T> inline T bitOf(int bit) {
    constexpr unsigned width = sizeof(T) * 8;
    return T(typename std::make_unsigned<T>::type(1) << (unsigned(bit) % width));
}

} // namespace detail

inline int atomicWrite32(int volatile* p, int v) {
    return detail::update(p, [v](int) { return v; });
}
inline long long atomicWrite64(long long volatile* p, long long v) {
    return detail::update(p, [v](long long) { return v; });
}
inline void* atomicWritePtr(void* volatile* p, void* v) {
    return detail::update(p, [v](void*) { return v; });
}

inline int atomicAnd32(int volatile* p, int v) {
    return detail::update(p, [v](int o) { return o & v; });
}
inline int atomicOr32(int volatile* p, int v) {
    return detail::update(p, [v](int o) { return o | v; });
}
inline int atomicXor32(int volatile* p, int v) {
    return detail::update(p, [v](int o) { return o ^ v; });
}
inline long long atomicAnd64(long long volatile* p, long long v) {
    return detail::update(p, [v](long long o) { return o & v; });
}
inline long long atomicOr64(long long volatile* p, long long v) {
    return detail::update(p, [v](long long o) { return o | v; });
}
inline long long atomicXor64(long long volatile* p, long long v) {
    return detail::update(p, [v](long long o) { return o ^ v; });
}

inline bool atomicTestAndSet32(int volatile* p, int bit) {
    int m = detail::bitOf<int>(bit);
    return (atomicOr32(p, m) & m) != 0;
}
inline bool atomicTestAndClear32(int volatile* p, int bit) {
    int m = detail::bitOf<int>(bit);
    return (atomicAnd32(p, ~m) & m) != 0;
}
inline bool atomicTestAndToggle32(int volatile* p, int bit) {
    int m = detail::bitOf<int>(bit);
    return (atomicXor32(p, m) & m) != 0;
}
inline bool atomicTestAndSet64(long long volatile* p, int bit) {
    long long m = detail::bitOf<long long>(bit);
    return (atomicOr64(p, m) & m) != 0;
}
inline bool atomicTestAndClear64(long long volatile* p, int bit) {
    long long m = detail::bitOf<long long>(bit);
    return (atomicAnd64(p, ~m) & m) != 0;
}
inline bool atomicTestAndToggle64(long long volatile* p, int bit) {
    long long m = detail::bitOf<long long>(bit);
    return (atomicXor64(p, m) & m) != 0;
}

// Compare-and-swap with full barrier: true when *p held expected.
inline bool atomicCompareAndSet(int volatile* p, int expected, int value) {
    return detail::cas(p, expected, value);
}
inline int atomicRead(int const volatile* p) {
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}
// Both return the new value.
inline int atomicInc(int volatile* p) {
    return OSAtomicAdd32Barrier(1, p);
}
inline int atomicDec(int volatile* p) {
    return OSAtomicAdd32Barrier(-1, p);
}

} // namespace QnKernel
