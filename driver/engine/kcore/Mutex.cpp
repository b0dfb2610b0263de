#include "driver/engine/kcore/Mutex.h"

#include <cstring>

#include "platform/base/HXLog.h"
#include "platform/base/MachSemaphore.h"

Mutex::Mutex() : mLock(kcore::klockAlloc()), mbPrepareRelease(false) { mOwner[0] = 0; }

Mutex::~Mutex()
{
    if (mLock)
        kcore::klockFree(mLock);
}

bool Mutex::lockMutex(const char* from)
{
    if (isPreparingToRelease()) {
        IOLog("Mutex::lockMutex() from:%s failed. mbPrepareRelease is true (1)\n", from ? from : "");
        return false;
    }
    if (!mLock)
        return false;
    while (!kcore::klockTry(mLock)) {
        kcore::ksleep(20);
        if (isPreparingToRelease()) {
            IOLog("Mutex::lockMutex() from:%s failed. mbPrepareRelease is true (2)\n", from ? from : "");
            return false;
        }
    }
    std::strncpy(mOwner, from ? from : "", sizeof mOwner - 1);
    mOwner[sizeof mOwner - 1] = 0;
    return true;
}

bool Mutex::trylock() { return mLock && kcore::klockTry(mLock); }

void Mutex::unlock()
{
    if (!mLock)
        return;
    mOwner[0] = 0;
    kcore::klockUnlock(mLock);
}

void Mutex::prepareToRelease() { __atomic_store_n(&mbPrepareRelease, true, __ATOMIC_RELEASE); }

CriticalSection::CriticalSection(Mutex& mutex, const char* from) : mMutex(mutex), mbLocked(mutex.lockMutex(from)) {}

CriticalSection::~CriticalSection()
{
    if (mbLocked)
        mMutex.unlock();
}

bool KeSemaphore::create(task_t task)
{
    mTask = task;
    semaphore_t s = 0;
    if (semaphore_create(task, &s, 0 /* FIFO */, 0) != KERN_SUCCESS) {
        mSemaphore = 0;
        return false;
    }
    mSemaphore = s;
    return true;
}

bool KeSemaphore::wait() { return mSemaphore && semaphore_wait(mSemaphore) == KERN_SUCCESS; }

void KeSemaphore::signal()
{
    if (mSemaphore)
        semaphore_signal(mSemaphore);
}

void KeSemaphore::close()
{
    if (mSemaphore) {
        semaphore_destroy(mTask, mSemaphore);
        mSemaphore = 0;
    }
}
