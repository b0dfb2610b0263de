// The event of both builds of the core library, compiled once per build (see
// QnMessaging.cpp for QN_CORE_NS and QN_CORE_HEADER).
#include QN_CORE_HEADER

namespace QN_CORE_NS {

namespace {

bool cas(int32_t& word, int32_t from, int32_t to) {
    return __atomic_compare_exchange_n(&word, &from, to, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool holds(int32_t& word, int32_t value) {
    return cas(word, value, value);
}

} // namespace

QnEvent::QnEvent(bool manualReset, bool signalled)
    : mbManualReset(manualReset), mSemaphore{}, miState(signalled ? 1 : 0),
      miPending(signalled ? 1 : 0) {
    semaphoreCreate(&mSemaphore, signalled ? 1 : 0);
}

QnEvent::~QnEvent() {
    // Anyone still looking sees a signalled event; destroying the semaphore
    // then wakes remaining waiters with "terminated".
    mbManualReset = true;
    __atomic_store_n(&miState, 1, __ATOMIC_SEQ_CST);
    semaphoreDestroy(&mSemaphore);
}

qn_status QnEvent::wait(int timeoutMs) {
    if (timeoutMs < -1) return QN_ERR_BAD_ARGUMENT;
    if (!mbManualReset) {
        qn_status s = semaphoreAcquire(&mSemaphore, timeoutMs);
        // The count is taken: the next signal may post again.
        if (s == QN_SUCCESS) __atomic_store_n(&miPending, 0, __ATOMIC_SEQ_CST);
        return s;
    }
    if (holds(miState, 1)) return QN_SUCCESS;
    // Counts left from earlier signals, cancelled by reset, are stale.
    while (semaphoreTry(&mSemaphore) == QN_SUCCESS) {
        if (holds(miState, 1)) return QN_SUCCESS;
    }
    qn_status s = semaphoreAcquire(&mSemaphore, timeoutMs);
    if (s != QN_SUCCESS) return s;
    if (holds(miState, 1)) {
        semaphoreRelease(&mSemaphore); // pass the wake-up on to the next waiter
        return QN_SUCCESS;
    }
    return QN_ERR_TIMEOUT; // reset while we slept
}

qn_status QnEvent::signal() {
    if (mbManualReset) {
        for (;;) {
            if (holds(miState, 1)) return QN_SUCCESS;
            if (cas(miState, 0, 1)) break;
        }
        return semaphoreRelease(&mSemaphore);
    }
    // At most one pending count, also with signallers racing each other.
    if (!cas(miPending, 0, 1)) return QN_SUCCESS;
    return semaphoreRelease(&mSemaphore);
}

qn_status QnEvent::reset() {
    if (!mbManualReset) return QN_ERR_WRONG_STATE;
    __atomic_store_n(&miState, 0, __ATOMIC_SEQ_CST);
    return QN_SUCCESS;
}

} // namespace QN_CORE_NS
