// TEMPORARY: stand-ins for core library calls whose headers have not landed
// yet. Each block switches to the real header as soon as it exists; the file
// goes away once all of them are in.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>

#if __has_include("libs/core/QnAtomic.h")
#include "libs/core/QnAtomic.h"
#else
inline int atomicRead(int const volatile* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
inline int atomicWrite(int volatile* p, int v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline int atomicInc(int volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline int atomicDec(int volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
#endif

#if __has_include("libs/core/QnStringUtils.h")
#include "libs/core/QnStringUtils.h"
#else
namespace Core {
inline unsigned long long stringCopy(char* dst, const char* src, unsigned long long size) {
    if (size == 0) return 0;
    unsigned long long n = 0;
    while (n + 1 < size && src[n]) { dst[n] = src[n]; ++n; }
    dst[n] = 0;
    return n;
}
}  // namespace Core
#endif

#if __has_include("libs/core/QnFormat.h")
#include "libs/core/QnFormat.h"
#else
inline int format(char* buf, unsigned long long size, const char* fmt, va_list args) {
    return std::vsnprintf(buf, size, fmt, args);
}
inline int format(char* buf, unsigned long long size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}
#endif
