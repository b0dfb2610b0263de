// The core library's synchronisation layer over Mach semaphores: a counting
// semaphore record and its class, a recursive mutex, an event with manual-
// and auto-reset modes, the thread-local slot and the allocator record.
// Every wait takes a time-out in milliseconds (negative: no limit, 0: poll)
// and reports a qn_status.
#pragma once

#include "libs/core/QnMachStatus.h"
#include "libs/core/QnStatus.h"
#include "platform/base/MachTypes.h"

#include <pthread.h>

// A Mach semaphore and the task it was created in; handle 0 = none.
struct qn_semaphore_t {
    semaphore_t semaphore;
    task_t task;
};

void semaphoreSetZero(qn_semaphore_t* s);
qn_status semaphoreCreate(qn_semaphore_t* s, int count);
void semaphoreDestroy(qn_semaphore_t* s);
qn_status semaphoreAcquire(qn_semaphore_t* s, int timeoutMs);
qn_status semaphoreTry(qn_semaphore_t* s);
qn_status semaphoreRelease(qn_semaphore_t* s);

namespace Core {

class QnSemaphore {
public:
    explicit QnSemaphore(int count);
    virtual ~QnSemaphore();
    QnSemaphore(const QnSemaphore&) = delete;
    QnSemaphore& operator=(const QnSemaphore&) = delete;

    qn_status acquire(int timeoutMs) { return semaphoreAcquire(&mSemaphore, timeoutMs); }
    qn_status release() { return semaphoreRelease(&mSemaphore); }
    qn_semaphore_t* record() { return &mSemaphore; }

protected:
    qn_semaphore_t mSemaphore;
};

// A recursive mutex. The owner word is read by other threads only through
// an atomic compare; the depth is touched only by the owner.
struct qn_mutex_struct {
    qn_semaphore_t semaphore;
    pthread_t owner; // 0 when free
    qn_int32 count;  // recursion depth; 0 when free
};

qn_status mutexInit(qn_mutex_struct* m);
void mutexTerm(qn_mutex_struct* m);
// 0: taken from the semaphore; 1: already held (depth raised); else the
// failed wait's status.
qn_status mutexAcquire(qn_mutex_struct* m);
bool mutexTryAcquire(qn_mutex_struct* m);
// 1 while still held; the semaphore release's status when the depth reached
// 0; QN_ERR_WRONG_STATE for a caller that does not own the mutex.
qn_status mutexRelease(qn_mutex_struct* m);

class QnMutex {
public:
    QnMutex() { mutexInit(&mMutex); }
    ~QnMutex() { mutexTerm(&mMutex); }
    QnMutex(const QnMutex&) = delete;
    QnMutex& operator=(const QnMutex&) = delete;

    qn_status acquire() { return mutexAcquire(&mMutex); }
    bool tryAcquire() { return mutexTryAcquire(&mMutex); }
    qn_status release() { return mutexRelease(&mMutex); }

private:
    qn_mutex_struct mMutex;
};

} // namespace Core

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS Core
#include "libs/core/shared/QnEvent.h"
#pragma pop_macro("QN_CORE_NS")

namespace Core {

// Thread-local slot (the calling thread's thread object).
extern pthread_key_t _tls_threads_key;
extern bool _tls_threads_key_created; // key 0 is a valid key here
int tlsInit();
void tlsTerm();
void* tlsGet();
bool tlsSet(void* value);

struct Allocator {
    void* (*alloc)(Allocator*, qn_uint64);
    void (*free)(Allocator*, void*);

    void* Alloc(qn_uint64 size);
    void* allocZeroInit(qn_uint64 size);
    void Free(void* p);

    static Allocator* DefaultAllocator; // installed by library start-up
};

} // namespace Core
