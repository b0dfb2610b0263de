#include "device/MutexLockedSection.h"

#include <syslog.h>

#include "platform/base/HXLog.h"

MutexLockedSection::MutexLockedSection(std::recursive_mutex* mutex, const char* tag)
    : mMutex(mutex) {
    if (!mMutex) return;
    if (tag) {
        if (mMutex->try_lock()) return;
        syslog(LOG_WARNING, "MutexLockedSection try_lock failed %s\n", tag);
    }
    mMutex->lock();
}

MutexLockedSection::~MutexLockedSection() {
    if (mMutex) mMutex->unlock();
}
