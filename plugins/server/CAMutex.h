// A named lock that knows its holder: the holder may lock it again without
// blocking (Lock answers false then, and that inner call must not unlock).
// The outermost successful Lock pairs with the one Unlock; Unlock by a thread
// that does not hold it does nothing.
//
// The owner is read without the mutex by every operation; it is atomic so
// those reads are well defined. A thread only ever finds its own identifier
// there if it stored it itself.
#pragma once

#include <atomic>
#include <pthread.h>

// Final: nothing refines it, and the IO path's lookups call it through
// references that then need no dispatch; Lock and Unlock are defined below
// so those calls compile to the owner check and the mutex call alone.
class CAMutex final {
public:
    explicit CAMutex(const char* inName);
    virtual ~CAMutex();
    CAMutex(const CAMutex&) = delete;
    CAMutex& operator=(const CAMutex&) = delete;

    virtual bool Lock();
    virtual void Unlock();
    virtual bool Try(bool& outWasLocked);
    virtual bool IsFree() const;
    virtual bool IsOwnedByCurrentThread() const;

    const char* GetName() const { return mName; }

    // Releases a held mutex for the length of a scope and takes it back at
    // the end.
    class Unlocker {
    public:
        explicit Unlocker(CAMutex& inMutex);
        ~Unlocker();
        Unlocker(const Unlocker&) = delete;
        Unlocker& operator=(const Unlocker&) = delete;

    private:
        CAMutex& mMutex;
        bool mNeedsLock;
    };

private:
    // The calling thread's identifier when it is the owner (never the null
    // identifier's holder).
    bool ownedBySelf() const {
        const pthread_t owner = mOwner.load(std::memory_order_relaxed);
        return owner != pthread_t() && pthread_equal(owner, pthread_self());
    }
    // Throws the error number as a CAException.
    [[noreturn]] static void fail(int inError);

    const char* mName;
    std::atomic<pthread_t> mOwner;
    pthread_mutex_t mMutex;
};

inline bool CAMutex::Lock() {
    if (ownedBySelf()) return false;
    if (const int err = pthread_mutex_lock(&mMutex)) fail(err);
    mOwner.store(pthread_self(), std::memory_order_relaxed);
    return true;
}

inline void CAMutex::Unlock() {
    if (!ownedBySelf()) return;
    mOwner.store(pthread_t(), std::memory_order_relaxed);
    if (const int err = pthread_mutex_unlock(&mMutex)) fail(err);
}

// Holds a CAMutex for a scope, unlocking only when this guard took it.
class CAMutexLocker {
public:
    explicit CAMutexLocker(CAMutex& inMutex) : mMutex(inMutex), mNeedsRelease(inMutex.Lock()) {}
    ~CAMutexLocker() {
        if (mNeedsRelease) mMutex.Unlock();
    }
    CAMutexLocker(const CAMutexLocker&) = delete;
    CAMutexLocker& operator=(const CAMutexLocker&) = delete;

private:
    CAMutex& mMutex;
    bool mNeedsRelease;
};
