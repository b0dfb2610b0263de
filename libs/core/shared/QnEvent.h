// The event of both builds of the core library, on the build's semaphore
// record (qn_semaphore_t and its functions): manual reset (stays signalled
// until reset, wakes every waiter) or auto reset (wakes one waiter, at most
// one wake-up pending). Waits take milliseconds: -1 without limit, 0 polls.
// Each build's synchronisation header includes this file with QN_CORE_NS
// naming the build's namespace; no include guard (the including header has
// one).

namespace QN_CORE_NS {

class QnEvent {
public:
    QnEvent(bool manualReset, bool signalled);
    ~QnEvent();
    QnEvent(const QnEvent&) = delete;
    QnEvent& operator=(const QnEvent&) = delete;

    qn_status wait(int timeoutMs);
    qn_status signal();
    qn_status reset();

private:
    bool mbManualReset;
    qn_semaphore_t mSemaphore;
    int32_t miState;   // manual reset: 1 signalled, 0 not
    int32_t miPending; // auto reset: 1 while a count is pending
};

} // namespace QN_CORE_NS
