#include "libs/tools/WorkerThread.h"

#include "libs/core/QnAtomic.h"

WorkerThread::WorkerThread(ThreadFunction function, void* context)
    : OSXUserThread(63), threadFunction(function), threadContext(context) {}

WorkerThread::~WorkerThread() {}

void* WorkerThread::threadRun() {
    return threadFunction ? threadFunction(this, threadContext) : nullptr;
}

bool WorkerThread::stopRequested() const {
    return atomicRead(&stopFlag) != 0;
}
