#include "driver/engine/SharedMemory.h"

#include <cstring>

#include "platform/kern/IOLib.h"

bool SharedMemory::init(uint64_t size) {
    if (mMemory) return size == mSize;
    void* p = size ? IOMallocAligned(size, 4096) : nullptr;
    if (!p) {
        IOLog("IOMallocAligned failed\n");
        return false;
    }
    std::memset(p, 0, size);
    IOMemoryDescriptor* d = IOMemoryDescriptor::withAddress(p, size, kIODirectionInOut);
    if (!d) {
        IOFreeAligned(p, size);
        return false;
    }
    mMemory = p;
    mDescriptor = d;
    mSize = size;
    __atomic_store_n(&mLock, 0u, __ATOMIC_SEQ_CST);
    return true;
}

void SharedMemory::term(bool wait) {
    if (!mMemory) return;
    if (wait) {
        uint32_t expected = 0;
        while (!__atomic_compare_exchange_n(&mLock, &expected, 1u, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST)) {
            expected = 0;
            IOLog("SharedMemory::terminate() - wait for lock");
            IOSleep(10);
        }
    }
    // A user mapping made from the descriptor keeps the pages alive on its
    // own; the kernel's view goes now.
    OSSafeReleaseNULL(mDescriptor);
    IOFreeAligned(mMemory, mSize);
    mMemory = nullptr;
    mSize = 0;
    __atomic_store_n(&mLock, 0u, __ATOMIC_SEQ_CST);
}

void* SharedMemory::lock() {
    if (!mMemory) return nullptr;
    uint32_t expected = 0;
    if (__atomic_compare_exchange_n(&mLock, &expected, 1u, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        return mMemory;
    IOLog("SharedMemory::lock failed\n");
    return nullptr;
}

bool SharedMemory::unlock() {
    uint32_t expected = 1;
    if (__atomic_compare_exchange_n(&mLock, &expected, 0u, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        return true;
    IOLog("SharedMemory::unlock failed\n");
    return false;
}

IOReturn SharedMemory::getMemory(IOMemoryDescriptor** out) {
    if (!mMemory || !out || !mDescriptor) return kIOReturnNoMemory;
    mDescriptor->retain();
    *out = mDescriptor;
    return kIOReturnSuccess;
}

IOMemoryMap* SharedMemory::map(task_t task, uint32_t options, uint64_t address) {
    if (!mDescriptor) return nullptr;
    return mDescriptor->createMappingInTask(task, address, options);
}
