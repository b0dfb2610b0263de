// A user thread that runs a plain function with a context pointer.
#pragma once

#include "libs/tools/OSXUserThread.h"

class WorkerThread : public OSXUserThread {
public:
    typedef void* (*ThreadFunction)(WorkerThread* worker, void* context);

    WorkerThread(ThreadFunction function, void* context);
    ~WorkerThread() override;

    void* threadRun() override;

    // The function polls this to know when to return.
    bool stopRequested() const;

private:
    ThreadFunction threadFunction;
    void* threadContext;
};
