#include "plugins/server/CAMutex.h"

#include <cerrno>

#include "plugins/server/CAException.h"

namespace {

// The null thread identifier: no holder.
const pthread_t kNoOwner = pthread_t();

} // namespace

void CAMutex::fail(int inError) {
    throw CAException(inError);
}

CAMutex::CAMutex(const char* inName) : mName(inName), mOwner(kNoOwner) {
    const int err = pthread_mutex_init(&mMutex, nullptr);
    if (err != 0) throw CAException(err);
}

CAMutex::~CAMutex() {
    pthread_mutex_destroy(&mMutex);
}

bool CAMutex::Try(bool& outWasLocked) {
    outWasLocked = false;
    if (ownedBySelf()) return true;
    const int err = pthread_mutex_trylock(&mMutex);
    if (err == EBUSY) return false;
    if (err != 0) throw CAException(err);
    mOwner.store(pthread_self(), std::memory_order_relaxed);
    outWasLocked = true;
    return true;
}

bool CAMutex::IsFree() const {
    return mOwner.load(std::memory_order_relaxed) == kNoOwner;
}

bool CAMutex::IsOwnedByCurrentThread() const {
    return ownedBySelf();
}

CAMutex::Unlocker::Unlocker(CAMutex& inMutex) : mMutex(inMutex), mNeedsLock(false) {
    mMutex.Unlock();
    mNeedsLock = true;
}

CAMutex::Unlocker::~Unlocker() {
    if (mNeedsLock) mMutex.Lock();
}
