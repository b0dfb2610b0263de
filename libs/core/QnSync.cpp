#include "libs/core/QnSync.h"

#include "libs/core/QnMemory.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"

void semaphoreSetZero(qn_semaphore_t* s) {
    if (!s) return;
    s->semaphore = 0;
    s->task = 0;
}

qn_status semaphoreCreate(qn_semaphore_t* s, int count) {
    if (!s) return QN_ERR_BAD_ARGUMENT;
    s->task = mach_task_self();
    semaphore_t h = 0;
    if (semaphore_create(s->task, &h, SYNC_POLICY_FIFO, count < 0 ? 0 : count) != KERN_SUCCESS ||
        h == 0) {
        semaphoreSetZero(s);
        return QN_ERR_GENERAL;
    }
    s->semaphore = h;
    return QN_SUCCESS;
}

void semaphoreDestroy(qn_semaphore_t* s) {
    if (!s || s->semaphore == 0) return;
    semaphore_destroy(s->task, s->semaphore);
    semaphoreSetZero(s);
}

qn_status semaphoreAcquire(qn_semaphore_t* s, int timeoutMs) {
    if (!s || s->semaphore == 0) return QN_ERR_BAD_ARGUMENT;
    kern_return_t k;
    if (timeoutMs < 0) {
        k = semaphore_wait(s->semaphore);
    } else {
        mach_timespec_t t;
        t.tv_sec = unsigned(timeoutMs / 1000);
        t.tv_nsec = clock_res_t((timeoutMs % 1000) * 1000000);
        k = semaphore_timedwait(s->semaphore, t);
    }
    return Core::statusFromMachWait(k);
}

qn_status semaphoreTry(qn_semaphore_t* s) {
    return semaphoreAcquire(s, 0);
}

qn_status semaphoreRelease(qn_semaphore_t* s) {
    if (!s || s->semaphore == 0) return QN_ERR_NO_SEMAPHORE;
    return semaphore_signal(s->semaphore) == KERN_SUCCESS ? QN_SUCCESS : QN_ERR_GENERAL;
}

namespace Core {

QnSemaphore::QnSemaphore(int count) {
    semaphoreCreate(&mSemaphore, count);
}

QnSemaphore::~QnSemaphore() {
    semaphoreDestroy(&mSemaphore);
}

// ---- recursive mutex ----

namespace {

// An ordered test for equality: a compare-and-swap of the owner from id to id.
bool ownedBy(qn_mutex_struct* m, pthread_t id) {
    pthread_t expected = id;
    return __atomic_compare_exchange_n(&m->owner, &expected, id, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void setOwner(qn_mutex_struct* m, pthread_t id) {
    __atomic_store_n(&m->owner, id, __ATOMIC_RELAXED);
}

} // namespace

qn_status mutexInit(qn_mutex_struct* m) {
    setOwner(m, 0);
    m->count = 0;
    return semaphoreCreate(&m->semaphore, 1);
}

void mutexTerm(qn_mutex_struct* m) {
    semaphoreDestroy(&m->semaphore);
}

qn_status mutexAcquire(qn_mutex_struct* m) {
    const pthread_t id = pthread_self();
    if (ownedBy(m, id)) {
        ++m->count;
        return 1;
    }
    qn_status s = semaphoreAcquire(&m->semaphore, -1);
    if (s != QN_SUCCESS) return s;
    setOwner(m, id);
    m->count = 1;
    return QN_SUCCESS;
}

bool mutexTryAcquire(qn_mutex_struct* m) {
    const pthread_t id = pthread_self();
    if (ownedBy(m, id)) {
        ++m->count;
        return true;
    }
    if (semaphoreTry(&m->semaphore) != QN_SUCCESS) return false;
    setOwner(m, id);
    m->count = 1;
    return true;
}

qn_status mutexRelease(qn_mutex_struct* m) {
    // A release by a thread that does not hold the mutex is a caller fault;
    // it changes nothing and must not read as success.
    if (!ownedBy(m, pthread_self())) return QN_ERR_WRONG_STATE;
    if (--m->count > 0) return 1;
    setOwner(m, 0);
    return semaphoreRelease(&m->semaphore);
}

// ---- thread-local slot ----

pthread_key_t _tls_threads_key = 0;
bool _tls_threads_key_created = false;

int tlsInit() {
    if (_tls_threads_key_created) return 0; // keep the key; a second one would leak
    int r = pthread_key_create(&_tls_threads_key, nullptr);
    if (r == 0) _tls_threads_key_created = true;
    return r;
}

void tlsTerm() {
    if (!_tls_threads_key_created) return;
    pthread_key_delete(_tls_threads_key);
    _tls_threads_key = 0;
    _tls_threads_key_created = false;
}

void* tlsGet() {
    return _tls_threads_key_created ? pthread_getspecific(_tls_threads_key) : nullptr;
}

bool tlsSet(void* value) {
    return _tls_threads_key_created && pthread_setspecific(_tls_threads_key, value) == 0;
}

// ---- allocator ----

Allocator* Allocator::DefaultAllocator = nullptr;

void* Allocator::Alloc(qn_uint64 size) {
    return alloc ? alloc(this, size) : nullptr;
}

void* Allocator::allocZeroInit(qn_uint64 size) {
    void* p = Alloc(size);
    if (p) memoryClear(p, size);
    return p;
}

void Allocator::Free(void* p) {
    if (free) free(this, p);
}

} // namespace Core
