// Atomic read-modify-write operations on 32-bit, 64-bit and pointer words.
//
// Each is a compare-and-swap loop with full barrier returning the value
// before the change (the test forms return whether the bit was set). Bit
// numbers are taken modulo the word width. The header operations give the
// ordered read, write, increment and decrement the rest of the suite uses.
#pragma once

#include "libs/core/QnStatus.h"
#include "platform/base/OSAtomic.h"

int atomicWrite32(int volatile* p, int v);
long long atomicWrite64(long long volatile* p, long long v);
void* atomicWritePtr(void* volatile* p, void* v);

int atomicAnd32(int volatile* p, int v);
long long atomicAnd64(long long volatile* p, long long v);
int atomicOr32(int volatile* p, int v);
long long atomicOr64(long long volatile* p, long long v);
int atomicXor32(int volatile* p, int v);
long long atomicXor64(long long volatile* p, long long v);

bool atomicTestAndSet32(int volatile* p, int bit);
bool atomicTestAndSet64(long long volatile* p, int bit);
bool atomicTestAndClear32(int volatile* p, int bit);
bool atomicTestAndClear64(long long volatile* p, int bit);
bool atomicTestAndToggle32(int volatile* p, int bit);
bool atomicTestAndToggle64(long long volatile* p, int bit);

// An atomic add of 0 with barrier: the current value, ordered.
inline int atomicRead(int const volatile* p) {
    return OSAtomicAdd32Barrier(0, const_cast<int volatile*>(p));
}
inline int atomicWrite(int volatile* p, int v) {
    return atomicWrite32(p, v);
}
// Both return the new value.
inline int atomicInc(int volatile* p) {
    return OSAtomicAdd32Barrier(1, p);
}
inline int atomicDec(int volatile* p) {
    return OSAtomicAdd32Barrier(-1, p);
}
