// A FIFO of work items served by a fixed set of threads: the kernel's
// matching and termination thread, the power manager's thread and the USB
// bus's completion threads are all of this kind. Work posted here never runs
// on the poster's thread.
//
// The threads take part in the platform's virtual clock: work posted from a
// participant runs before virtual time can move on. A queue made on the real
// clock (the kernel's own, which live as long as the process) joins each
// virtual run when it is first woken in it, and leaves it once the clock is
// real again.
#pragma once

#include "platform/base/HXClock.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hx::kern {

class WorkQueue {
public:
    WorkQueue(std::string name, unsigned threads);
    // Runs what is queued, then joins the threads.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void post(std::function<void()> work);
    // Waits until nothing is queued or running. From one of the queue's own
    // threads it cannot wait for itself and returns false at once.
    bool waitIdle();
    // True on one of this queue's threads.
    bool isCurrentThread() const;
    unsigned threadCount() const { return (unsigned)mThreads.size(); }

private:
    void run(bool takesPart, hx::clock::Reservation seat);
    void followClock(std::optional<hx::clock::Participant>& self);

    std::string mName;
    mutable std::mutex mLock;
    std::condition_variable mWork;
    std::condition_variable mIdle;
    std::deque<std::function<void()>> mQueue;
    unsigned mRunning = 0;
    bool mStopping = false;
    // Threads that do not take part in virtual time (made on the real clock
    // and not yet joined in, whether waiting or not started), and the places
    // post() reserved for them so they count as running from the moment work
    // is queued: such a thread may be the one that picks the work up.
    unsigned mOutsiders = 0;
    std::deque<hx::clock::Reservation> mSeats;
    std::vector<std::thread> mThreads;
};

} // namespace hx::kern
