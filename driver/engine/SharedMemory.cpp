#include "driver/engine/SharedMemory.h"

#include <cstdlib>
#include <cstring>

#include "driver/engine/kcore/KernelMemory.h"
#include "platform/base/HXLog.h"

// The area is page-aligned so that it can be handed out whole as a mapping.
bool SharedMemory::init(uint64_t size)
{
    if (mMemory)
        return size == mSize;
    void* p = nullptr;
    uint64_t rounded = (size + 4095) & ~uint64_t(4095);
    if (size == 0 || posix_memalign(&p, 4096, rounded) != 0 || !p) {
        IOLog("IOMallocAligned failed\n");
        return false;
    }
    std::memset(p, 0, rounded);
    mMemory = p;
    mSize = size;
    mLock = 0;
    return true;
}

void SharedMemory::term(bool wait)
{
    if (!mMemory)
        return;
    if (wait) {
        uint32_t expected = 0;
        while (!__atomic_compare_exchange_n(&mLock, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            expected = 0;
            IOLog("SharedMemory::terminate() - wait for lock");
            Kernel::sleep(10);
        }
    }
    std::free(mMemory);
    mMemory = nullptr;
    mSize = 0;
    __atomic_store_n(&mLock, 0u, __ATOMIC_SEQ_CST);
}

void* SharedMemory::lock()
{
    if (!mMemory)
        return nullptr;
    uint32_t expected = 0;
    if (__atomic_compare_exchange_n(&mLock, &expected, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return mMemory;
    IOLog("SharedMemory::lock failed\n");
    return nullptr;
}

bool SharedMemory::unlock()
{
    uint32_t expected = 1;
    if (__atomic_compare_exchange_n(&mLock, &expected, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return true;
    IOLog("SharedMemory::unlock failed\n");
    return false;
}
