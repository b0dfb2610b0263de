// The kernel driver's size-explicit allocators and small kernel services.
//
// memAlloc/memAllocZero/memFree are bare kernel allocations without a size
// header: the caller gives back the size it asked for. They never mix with
// the core library's memoryAlloc/operator new blocks, which carry a 16-byte
// header holding their size.
#pragma once

#include <cstdint>

void* memAlloc(uint32_t size);
void* memAllocZero(uint32_t size);
void memFree(void* ptr, uint32_t size);

// Writes nothing: stands where a fill is compiled out of the kernel build.
void* memSetNoFunction(void* ptr, int value, uint64_t size);

namespace Kernel {
void sleep(uint32_t ms);
}
