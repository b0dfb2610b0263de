#include "platform/kern/WorkQueue.h"

namespace hx::kern {

namespace {
thread_local const WorkQueue* tCurrentQueue = nullptr;
}

WorkQueue::WorkQueue(std::string name, unsigned threads) : mName(std::move(name)) {
    if (threads == 0) threads = 1;
    for (unsigned i = 0; i < threads; ++i) {
        // Reserved here, so virtual time cannot move before the thread runs.
        const bool takesPart = hx::clock::isVirtual();
        hx::clock::Reservation seat;
        if (!takesPart) {
            std::lock_guard<std::mutex> g(mLock);
            ++mOutsiders;
        }
        mThreads.emplace_back([this, takesPart, seat = std::move(seat)]() mutable {
            run(takesPart, std::move(seat));
        });
    }
}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mStopping = true;
    }
    hx::clock::notifyAll(mWork);
    // The threads count as running until they are gone; the joiner need not.
    hx::clock::Idle idle;
    for (std::thread& t : mThreads)
        t.join();
}

void WorkQueue::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(mLock);
        mQueue.push_back(std::move(work));
        // A thread outside virtual time (waiting on the real clock, or not
        // yet started when the clock turned virtual) may pick this up: reserve
        // its place before this returns, so time cannot move on before it
        // has run the work or waits on the clock as a participant.
        if (hx::clock::isVirtual())
            while (mSeats.size() < mOutsiders)
                mSeats.emplace_back();
    }
    hx::clock::notifyOne(mWork);
}

bool WorkQueue::waitIdle() {
    if (isCurrentThread()) return false;
    std::unique_lock<std::mutex> lock(mLock);
    hx::clock::wait(mIdle, lock, [this] { return mQueue.empty() && mRunning == 0; });
    return true;
}

bool WorkQueue::isCurrentThread() const {
    return tCurrentQueue == this;
}

// Called under mLock by a running thread of the queue: takes part in virtual
// time while the clock is virtual, and stops once it is real again, so a
// long-lived queue never holds a later virtual run still.
void WorkQueue::followClock(std::optional<hx::clock::Participant>& self) {
    const bool isVirtual = hx::clock::isVirtual();
    if (self && !isVirtual) {
        self.reset();
        ++mOutsiders;
    } else if (!self && isVirtual) {
        --mOutsiders;
        if (!mSeats.empty()) {
            self.emplace(std::move(mSeats.front()));
            mSeats.pop_front();
        } else {
            self.emplace();
        }
    }
    if (!isVirtual) mSeats.clear();
}

void WorkQueue::run(bool takesPart, hx::clock::Reservation seat) {
    // Engaged only while this thread takes part in virtual time.
    std::optional<hx::clock::Participant> self;
    if (takesPart) self.emplace(std::move(seat));
    tCurrentQueue = this;
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        followClock(self);
        if (!mStopping && mQueue.empty()) {
            hx::clock::wait(mWork, lock);
            continue;
        }
        if (mQueue.empty()) {
            if (!self) --mOutsiders;
            return;
        }
        std::function<void()> work = std::move(mQueue.front());
        mQueue.pop_front();
        ++mRunning;
        lock.unlock();
        work();
        work = nullptr; // destroy captures outside the lock too
        lock.lock();
        --mRunning;
        if (mQueue.empty() && mRunning == 0) hx::clock::notifyAll(mIdle);
    }
}

} // namespace hx::kern
