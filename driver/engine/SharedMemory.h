// A page-aligned, zeroed kernel area that user clients can map: the driver
// shared area and the audio rings. The memory comes from IOMallocAligned and
// is described by a memory descriptor, so a user client can hand the whole
// area to a task as a second mapping. The lock word is the kernel's own (the
// area's bytes are user-writable, so the lock never lives inside them).
#pragma once

#include <cstdint>

#include "platform/kern/IOMemoryDescriptor.h"

class SharedMemory {
public:
    SharedMemory() = default;
    virtual ~SharedMemory() { term(true); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    bool init(uint64_t size);
    void term(bool wait);
    void* lock();
    bool unlock();

    uint64_t getSize() const { return mSize; }
    void* getMemory() const { return mMemory; }
    // The descriptor, retained for the caller (what clientMemoryForType hands
    // to the platform).
    IOReturn getMemory(IOMemoryDescriptor** out);
    // A mapping of the whole area into the task; null without a descriptor.
    IOMemoryMap* map(task_t task, uint32_t options, uint64_t address);

private:
    uint64_t mSize = 0;
    void* mMemory = nullptr;
    IOMemoryDescriptor* mDescriptor = nullptr;
    uint32_t mLock = 0;
};
