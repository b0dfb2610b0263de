// The kernel driver's lock with a one-way "prepare to release" state, its
// scoped guard, the kernel semaphore wrapper and the locked counter.
//
// Mutex waits by polling the lock every 20 ms, so that teardown can ask
// every waiter to give up: once prepareToRelease() ran, lockMutex() fails at
// once, and a caller already polling gives up at its next poll.
#pragma once

#include <cstdint>

#include "driver/engine/kcore/KernBinding.h"

class Mutex {
public:
    Mutex();
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool lockMutex(const char* from);
    bool trylock();
    void unlock();
    void prepareToRelease();

    bool isPreparingToRelease() const {
        return __atomic_load_n(&mbPrepareRelease, __ATOMIC_ACQUIRE);
    }

private:
    kcore::KLock* mLock;
    bool mbPrepareRelease;
    char mOwner[128];
};

// Holds a Mutex for its scope. A scope whose lock attempt failed (the mutex
// prepares to release) does not unlock what it never held.
class CriticalSection {
public:
    CriticalSection(Mutex& mutex, const char* from);
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    bool isLocked() const { return mbLocked; }

private:
    Mutex& mMutex;
    bool mbLocked;
};

class KeSemaphore {
public:
    KeSemaphore() = default;
    virtual ~KeSemaphore() { close(); }
    KeSemaphore(const KeSemaphore&) = delete;
    KeSemaphore& operator=(const KeSemaphore&) = delete;

    bool create(kcore::TaskRef task);
    bool wait();
    void signal();
    void close();
    bool isValid() const { return mSemaphore != 0; }

private:
    kcore::SemaphoreHandle mSemaphore = 0;
    kcore::TaskRef mTask = 0;
};

class KeLockedCounter {
public:
    KeLockedCounter() = default;
    virtual ~KeLockedCounter() = default;

    int32_t inc() { return __atomic_add_fetch(&mCount, 1, __ATOMIC_SEQ_CST); }
    int32_t dec() { return __atomic_sub_fetch(&mCount, 1, __ATOMIC_SEQ_CST); }
    int32_t get() const { return __atomic_load_n(&mCount, __ATOMIC_SEQ_CST); }

private:
    int32_t mCount = 0;
};
