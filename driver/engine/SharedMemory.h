// A page-aligned, zeroed kernel area that user clients can map: the driver
// shared area and the audio rings. The lock word is the kernel's own (the
// area's bytes are user-writable, so the lock never lives inside them).
#pragma once

#include <cstdint>

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

private:
    uint64_t mSize = 0;
    void* mMemory = nullptr;
    uint32_t mLock = 0;
};
