#include "driver/engine/kcore/KernelMemory.h"

#include <cstring>

#include "driver/engine/kcore/KernBinding.h"

void* memAlloc(uint32_t size) {
    return kcore::kmalloc(size);
}

void* memAllocZero(uint32_t size) {
    void* p = kcore::kmalloc(size);
    if (p) std::memset(p, 0, size);
    return p;
}

void memFree(void* ptr, uint32_t size) {
    if (ptr) kcore::kfree(ptr, size);
}

void* memSetNoFunction(void* ptr, int, uint64_t) {
    return ptr;
}

namespace Kernel {
void sleep(uint32_t ms) {
    kcore::ksleep(ms);
}
} // namespace Kernel
