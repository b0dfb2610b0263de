// What the sources the core library's two builds share (libs/core/shared/)
// take from the kernel build: the reference-counted Object, events and
// semaphores (KernelCore.h), the text types (KernelText.h), the allocator record, the request
// memory (core memory), the log (IOLog) and the checks (logged assertion lines). The user build's
// binding, libs/core/QnCoreBinding.h, supplies the same names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelObject.h"
#include "driver/engine/kcore/KernelText.h"
#include "libs/core/QnRequestList.h"
#include "libs/core/QnStatus.h"
#include "platform/base/HXLog.h"

namespace QnKernel {

// A thread's messaging state word (0 off, 1 accepting, 2 leaving).
typedef uint32_t MessageStateWord;

// Where posted message requests go back to: the release function destroys
// and frees one.
struct Allocator {
    void* (*alloc)(Allocator* allocator, uint64_t size);
    void (*free)(Allocator* allocator, void* p);

    void Free(void* p) {
        if (free) free(this, p);
    }
};

// Posted message requests live in core memory; null when it is exhausted.
inline void* requestAlloc(size_t size) {
    return memoryAlloc(size);
}
inline void requestFree(void* p) {
    memoryFree(p);
}

template <class... Args> inline void coreLog(const char* fmt, Args... args) {
    IOLog(fmt, args...);
}

// A failed check logs its assertion line, and execution carries on.
inline void coreCheck(bool ok, const char* text, const char* file, int line) {
    if (!ok) assertFailed(text, file, line);
}

// A message loop started off its own thread logs like one that cannot
// enable messaging.
constexpr bool kLogLoopOffItsThread = true;

// Logs an assertion line (from KernelText.cpp) for a malformed UTF-8
// sequence of the text source.
void checkUtf8(bool ok);

// A NUL unit in UTF-16 text ends the source as in every other encoding.
constexpr bool kUtf16NulIsInvalid = false;

} // namespace QnKernel
