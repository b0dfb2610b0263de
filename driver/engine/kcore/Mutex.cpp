#include "driver/engine/kcore/Mutex.h"

#include <cstring>

#include "platform/base/HXLog.h"

Mutex::Mutex() : mLock(kcore::klockAlloc()), mbPrepareRelease(false) {
    mOwner[0] = 0;
}

Mutex::~Mutex() {
    if (mLock) kcore::klockFree(mLock);
}

bool Mutex::lockMutex(const char* from) {
    if (isPreparingToRelease()) {
        IOLog("Mutex::lockMutex() from:%s failed. mbPrepareRelease is true (1)\n",
              from ? from : "");
        return false;
    }
    if (!mLock) return false;
    while (!kcore::klockTry(mLock)) {
        kcore::ksleep(20);
        if (isPreparingToRelease()) {
            IOLog("Mutex::lockMutex() from:%s failed. mbPrepareRelease is true (2)\n",
                  from ? from : "");
            return false;
        }
    }
    std::strncpy(mOwner, from ? from : "", sizeof mOwner - 1);
    mOwner[sizeof mOwner - 1] = 0;
    return true;
}

bool Mutex::trylock() {
    return mLock && kcore::klockTry(mLock);
}

void Mutex::unlock() {
    if (!mLock) return;
    mOwner[0] = 0;
    kcore::klockUnlock(mLock);
}

void Mutex::prepareToRelease() {
    __atomic_store_n(&mbPrepareRelease, true, __ATOMIC_RELEASE);
}

CriticalSection::CriticalSection(Mutex& mutex, const char* from)
    : mMutex(mutex), mbLocked(mutex.lockMutex(from)) {}

CriticalSection::~CriticalSection() {
    if (mbLocked) mMutex.unlock();
}

bool KeSemaphore::create(kcore::TaskRef task) {
    mTask = task;
    kcore::SemaphoreHandle s = 0;
    if (kcore::semaphoreCreate(task, &s, 0) != 0) {
        mSemaphore = 0;
        return false;
    }
    mSemaphore = s;
    return true;
}

bool KeSemaphore::wait() {
    return mSemaphore && kcore::semaphoreWait(mSemaphore) == 0;
}

void KeSemaphore::signal() {
    if (mSemaphore) kcore::semaphoreSignal(mSemaphore);
}

void KeSemaphore::close() {
    if (mSemaphore) {
        kcore::semaphoreDestroy(mTask, mSemaphore);
        mSemaphore = 0;
    }
}
