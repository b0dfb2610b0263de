// What the sources the core library's two builds share (libs/core/shared/)
// take from the user build: the reference-counted Object, events and Mach
// semaphores (QnSync.h), the text types (QnTextEncoding.h), the allocator record, the request
// memory (the C++ heap), the log (debugPrint) and the checks. The kernel build's binding,
// driver/engine/kcore/KernelCoreBinding.h, supplies the same names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "libs/core/QnDebug.h"
#include "libs/core/QnObject.h"
#include "libs/core/QnRequestList.h"
#include "libs/core/QnStatus.h"
#include "libs/core/QnSync.h"
#include "libs/core/QnTextEncoding.h"

namespace Core {

// A thread's messaging state word (0 off, 1 accepting, 2 leaving).
typedef qn_int32 MessageStateWord;

// Posted message requests live on the C++ heap; null when it is exhausted.
inline void* requestAlloc(size_t size) {
    return ::operator new(size, std::nothrow);
}
inline void requestFree(void* p) {
    ::operator delete(p);
}

template <class... Args> inline void coreLog(const char* fmt, Args... args) {
    debugPrint(fmt, args...);
}

// The user build does not log the shared sources' consistency checks.
inline void coreCheck(bool, const char*, const char*, int) {}

// A message loop refused because it was started off its own thread stays
// silent here; the kernel build logs it like a loop that cannot enable
// messaging.
constexpr bool kLogLoopOffItsThread = false;

// A malformed UTF-8 sequence only sets the text source's state.
inline void checkUtf8(bool) {}

// A NUL unit in UTF-16 text is invalid here; the kernel build's source ends
// there as at a NUL of any other encoding.
constexpr bool kUtf16NulIsInvalid = true;

} // namespace Core
