// A scoped lock on a recursive mutex. With a tag it first tries the lock and,
// when that fails, logs "MutexLockedSection try_lock failed <tag>" before
// waiting; without a tag it waits at once. A null mutex does nothing.
#pragma once

#include <mutex>

class MutexLockedSection {
public:
    explicit MutexLockedSection(std::recursive_mutex* mutex, const char* tag = nullptr);
    ~MutexLockedSection();
    MutexLockedSection(const MutexLockedSection&) = delete;
    MutexLockedSection& operator=(const MutexLockedSection&) = delete;

private:
    std::recursive_mutex* mMutex;
};
