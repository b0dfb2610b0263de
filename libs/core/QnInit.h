// Start-up and shutdown of the core library, and the one process-wide
// critical section that start-up creates.
//
// Core::init runs once at program start (a second call only reports itself);
// Core::term runs the exit callbacks, newest first, and leaves the library
// ready for a further Core::init.
#pragma once

#include "libs/core/QnStatus.h"
#include "libs/core/QnSync.h"

namespace Core {

void init(const char* name);
void term();

// Recursive: the owner may enter again and leaves as often as it entered.
// Results as mutexAcquire / mutexRelease.
qn_status enterCriticalSection();
qn_status leaveCriticalSection();

// The library's default allocator: malloc and free through memoryAlloc and
// memoryFree.
void* memoryAlloc_default(Allocator* allocator, qn_uint64 size);
void memoryFree_default(Allocator* allocator, void* p);
extern Allocator _DefaultAllocator;

extern qn_mutex_struct _CriticalSectionMutex;

} // namespace Core
