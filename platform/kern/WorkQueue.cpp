#include "platform/kern/WorkQueue.h"

namespace hx::kern {

namespace {
thread_local const WorkQueue* tCurrentQueue = nullptr;
}

WorkQueue::WorkQueue(std::string name, unsigned threads) : mName(std::move(name)) {
    if (threads == 0) threads = 1;
    for (unsigned i = 0; i < threads; ++i) mThreads.emplace_back([this] { run(); });
}

WorkQueue::~WorkQueue() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mStopping = true;
    }
    mWork.notify_all();
    for (std::thread& t : mThreads) t.join();
}

void WorkQueue::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(mLock);
        mQueue.push_back(std::move(work));
    }
    mWork.notify_one();
}

bool WorkQueue::waitIdle() {
    if (isCurrentThread()) return false;
    std::unique_lock<std::mutex> lock(mLock);
    mIdle.wait(lock, [this] { return mQueue.empty() && mRunning == 0; });
    return true;
}

bool WorkQueue::isCurrentThread() const { return tCurrentQueue == this; }

void WorkQueue::run() {
    tCurrentQueue = this;
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mWork.wait(lock, [this] { return mStopping || !mQueue.empty(); });
        if (mQueue.empty()) {
            if (mStopping) return;
            continue;
        }
        std::function<void()> work = std::move(mQueue.front());
        mQueue.pop_front();
        ++mRunning;
        lock.unlock();
        work();
        work = nullptr;  // destroy captures outside the lock too
        lock.lock();
        --mRunning;
        if (mQueue.empty() && mRunning == 0) mIdle.notify_all();
    }
}

}  // namespace hx::kern
