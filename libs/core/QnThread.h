// Threads of the user build of the core library, on pthreads. Their message
// queues, message targets and message loop are the ones both builds share
// (libs/core/shared/QnMessaging.h and QnThreadMembers.h).
//
// create() gives the running thread one reference to its object; the body (or
// exit()) gives it back when it ends.
#pragma once

#include <pthread.h>

#include "libs/core/QnCoreBinding.h"

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS Core
#include "libs/core/shared/QnMessaging.h"
#pragma pop_macro("QN_CORE_NS")

namespace Core {

// Free thread functions.
pthread_t threadGetCurrentId();
bool threadIsCurrent(void* handle);
void threadSwitch();
void threadSleep(unsigned ms);
void threadSleepMinimum();
void threadSpin(unsigned us);

// Sets up the thread layer for Core::init and tears it down as an exit
// callback of Core::term.
void threadsInit();
void threadsTerm(void* arg);

class QnThread : public MessageTarget {
#include "libs/core/shared/QnThreadMembers.h"

public:
    bool isInitThread() const {
        return mId == kInitThreadId;
    }
    bool isRunning() const;
    pthread_t getHandle() const;

    // The body run by the started pthread.
    void* systemThreadMain();

    qn_int32 getThreadState() const;

private:
    void setThreadState(qn_int32 from, qn_int32 to, const char* failureText);
    void reapFinished();

    pthread_t mThreadHandle; // null until started and after the body ended
    pthread_t mJoinHandle;   // set by create, cleared only by join
    void* mpArg;
    pfn_threadEntry mpfnEntry;
    void* mpExitValue;
    qn_int32 mThreadState; // 0 not started, 1 running, 2 ended
};

// Statics of the thread layer.
extern QnThread* gpInitThread;
extern QnThread* gpThreadDefault;
extern pthread_t gMainThreadId;

// Entry of the pthread started by create(); also usable without the
// cancellation settings through ThreadHelper.
void* _system_thread_main(void* obj);
struct ThreadHelper {
    static void* systemThreadMain(void* obj);
};

} // namespace Core
