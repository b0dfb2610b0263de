// The queue of a thread's message requests, the one list behind both the
// user build (QnThread) and the kernel build (kcore/KernelThread) of the core
// library: any thread pushes on a lock-free incoming stack, newest first;
// only the owner takes requests, oldest first, through its own ordered list.
// Header-only over the request type (anything with an mpNext link), so each
// build carries its own copy and nothing here can meet the other build's
// symbols at link time.
#pragma once

namespace QnQueue {

template <class Request> class RequestList {
public:
    // Any thread. True when the incoming stack was empty, so the owner may be
    // asleep and wants a wake-up.
    bool push(Request* request) {
        Request* head = __atomic_load_n(&mpIncoming, __ATOMIC_SEQ_CST);
        do {
            request->mpNext = head;
        } while (!__atomic_compare_exchange_n(&mpIncoming, &head, request, false, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST));
        return head == nullptr;
    }

    // Owner only from here on.
    bool hasOrdered() const { return mpOrdered != nullptr; }

    // Moves everything pushed so far behind the ordered list, oldest first.
    void takeIncoming() {
        Request* incoming =
            __atomic_exchange_n(&mpIncoming, static_cast<Request*>(nullptr), __ATOMIC_SEQ_CST);
        Request* reversed = nullptr;
        while (incoming) {
            Request* next = incoming->mpNext;
            incoming->mpNext = reversed;
            reversed = incoming;
            incoming = next;
        }
        Request** tail = &mpOrdered;
        while (*tail)
            tail = &(*tail)->mpNext;
        *tail = reversed;
    }

    // The oldest ordered request, unlinked; null when there is none.
    Request* pop() {
        Request* request = mpOrdered;
        if (request) {
            mpOrdered = request->mpNext;
            request->mpNext = nullptr;
        }
        return request;
    }

    // Takes the incoming requests in, then unlinks, oldest first, every
    // request that matches and hands it to take. A request is off the list
    // before take sees it, so take may free it or push new requests.
    template <class Match, class Take> void removeIf(Match match, Take take) {
        takeIncoming();
        Request** link = &mpOrdered;
        while (*link) {
            Request* request = *link;
            if (!match(request)) {
                link = &request->mpNext;
                continue;
            }
            *link = request->mpNext;
            request->mpNext = nullptr;
            take(request);
        }
    }

private:
    Request* mpIncoming = nullptr; // newest first; pushed by any thread
    Request* mpOrdered = nullptr;  // oldest first; the owner's own
};

} // namespace QnQueue
