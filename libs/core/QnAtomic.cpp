#include "libs/core/QnAtomic.h"

namespace {

// The read that opens each loop is a relaxed atomic load: a plain load of a
// word another thread swaps concurrently is a data race, and the swap
// rechecks the value anyway.
template <typename T, typename F> T casLoop(T volatile* p, F next) {
    for (;;) {
        T old = __atomic_load_n(p, __ATOMIC_RELAXED);
        if (OSAtomicCompareAndSwap64Barrier(old, next(old), p)) return old;
    }
}

template <typename F> int casLoop32(int volatile* p, F next) {
    for (;;) {
        int old = __atomic_load_n(p, __ATOMIC_RELAXED);
        if (OSAtomicCompareAndSwap32Barrier(old, next(old), p)) return old;
    }
}

// Shifts in unsigned arithmetic so bit 31/63 needs no signed overflow.
inline int mask32(int bit) {
    return int(1u << (unsigned(bit) & 31u));
}
inline long long mask64(int bit) {
    return (long long)(1ull << (unsigned(bit) & 63u));
}

} // namespace

int atomicWrite32(int volatile* p, int v) {
    return casLoop32(p, [v](int) { return v; });
}

long long atomicWrite64(long long volatile* p, long long v) {
    return casLoop<long long>(p, [v](long long) { return v; });
}

void* atomicWritePtr(void* volatile* p, void* v) {
    for (;;) {
        void* old = __atomic_load_n(p, __ATOMIC_RELAXED);
        if (OSAtomicCompareAndSwapPtrBarrier(old, v, p)) return old;
    }
}

int atomicAnd32(int volatile* p, int v) {
    return casLoop32(p, [v](int o) { return o & v; });
}
long long atomicAnd64(long long volatile* p, long long v) {
    return casLoop<long long>(p, [v](long long o) { return o & v; });
}
int atomicOr32(int volatile* p, int v) {
    return casLoop32(p, [v](int o) { return o | v; });
}
long long atomicOr64(long long volatile* p, long long v) {
    return casLoop<long long>(p, [v](long long o) { return o | v; });
}
int atomicXor32(int volatile* p, int v) {
    return casLoop32(p, [v](int o) { return o ^ v; });
}
long long atomicXor64(long long volatile* p, long long v) {
    return casLoop<long long>(p, [v](long long o) { return o ^ v; });
}

bool atomicTestAndSet32(int volatile* p, int bit) {
    const int m = mask32(bit);
    return (atomicOr32(p, m) & m) != 0;
}
bool atomicTestAndSet64(long long volatile* p, int bit) {
    const long long m = mask64(bit);
    return (atomicOr64(p, m) & m) != 0;
}
bool atomicTestAndClear32(int volatile* p, int bit) {
    const int m = mask32(bit);
    return (atomicAnd32(p, ~m) & m) != 0;
}
bool atomicTestAndClear64(long long volatile* p, int bit) {
    const long long m = mask64(bit);
    return (atomicAnd64(p, ~m) & m) != 0;
}
bool atomicTestAndToggle32(int volatile* p, int bit) {
    const int m = mask32(bit);
    return (atomicXor32(p, m) & m) != 0;
}
bool atomicTestAndToggle64(long long volatile* p, int bit) {
    const long long m = mask64(bit);
    return (atomicXor64(p, m) & m) != 0;
}
