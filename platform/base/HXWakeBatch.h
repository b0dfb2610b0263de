// Wake-ups held back while one sender fans a message out.
//
// Waking a sleeping thread is the costly part of handing it work, and a
// sender that hands the same message to many receivers would otherwise pay
// it once per receiver. Inside a Batch, a receiver's side that can wait
// (a run-loop source's signal) registers its wake-up with runOrDefer
// instead of making it; when the outermost Batch on the thread closes, each
// registered wake-up runs once, so the fan-out is woken in one step. Open a
// Batch only around calls that queue and return: nothing inside may wait
// for a thread whose wake-up it holds back.
#pragma once

namespace hx::wake {

class Batch {
public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
};

// Runs fn now when no Batch is open on the calling thread; otherwise once,
// when the outermost one closes (registering the same fn again in one batch
// runs it once).
void runOrDefer(void (*fn)());

} // namespace hx::wake
