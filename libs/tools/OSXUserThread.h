// Worker threads of the user-space deliverables: a detached POSIX thread
// running the virtual threadRun, with a Mach precedence priority and a
// start/stop handshake over a run lock the worker holds while it runs.
//
// threadRun's contract: loop until atomicRead(&stopFlag) is non-zero, then
// return promptly; threadStop waits for that return without a time limit.
#pragma once

#include <pthread.h>

#include "libs/core/QnSync.h"
#include "platform/base/MachTypes.h"

// Mach thread port of the calling thread.
mach_port_t qnMachThreadSelf();

class OSXUserThread {
public:
    explicit OSXUserThread(unsigned priority);
    // The numbers and the flag are not used; the priority is 63.
    OSXUserThread(unsigned, unsigned, unsigned, bool);
    virtual void* threadRun() = 0;
    virtual ~OSXUserThread();
    OSXUserThread(OSXUserThread const&) = delete;
    OSXUserThread& operator=(OSXUserThread const&) = delete;

    bool threadStart();
    void threadStop();
    void SetPriority(unsigned p);
    bool IsRunning() const { return thread != pthread_t(); }
    mach_port_t getMachThread() const;
    static int getThreadPriority(mach_port_t port);

protected:
    pthread_t thread;
    int volatile stopFlag;
    int volatile runningFlag;
    Core::QnSemaphore runLock;
    int creatorPriority;
    int priority;

private:
    static void* entry(void* arg);
};
