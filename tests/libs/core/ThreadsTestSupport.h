// Helpers shared by the thread and messaging tests: the library brought up
// once per test program, a loop thread, and targets that record what they
// handled.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "libs/core/QnInit.h"
#include "libs/core/QnThread.h"

namespace hx::test {

// Core::init before the first test, Core::term after the last.
class CoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Core::init("ThreadsTest"); }
    void TearDown() override { Core::term(); }
};

// A thread object whose body runs one message loop (time-out -1) and returns
// the loop's result; start() returns once the loop accepts messages.
class LoopThread {
public:
    LoopThread() : mpThread(new Core::QnThread(7)) { mpThread->retain(); }
    ~LoopThread() {
        stop();
        mpThread->release();
    }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    void start() {
        Core::QnEvent started(false, false);
        mpStarted = &started;
        ASSERT_TRUE(mpThread->create(this, &LoopThread::body, true));
        ASSERT_EQ(started.wait(-1), QN_SUCCESS);
        mpStarted = nullptr;
        ASSERT_TRUE(mpThread->acceptsMessages());
    }
    // Leaves the loop from outside and joins; returns the body's result.
    void* stop() {
        void* result = nullptr;
        if (mJoined) return result;
        mpThread->leaveMessageLoop();
        if (mpThread->join(&result)) mJoined = true;
        return result;
    }
    Core::QnThread* thread() const { return mpThread; }

private:
    static void* body(void* arg, Core::QnThread* thread) {
        LoopThread* self = static_cast<LoopThread*>(arg);
        void* sysArg = nullptr;
        const bool ran =
            thread->runMessageLoop(sysArg, self->mpStarted, nullptr, nullptr, nullptr, -1);
        return reinterpret_cast<void*>(static_cast<intptr_t>(ran ? 1 : 0));
    }

    Core::QnThread* mpThread;
    Core::QnEvent* mpStarted = nullptr;
    bool mJoined = false;
};

// Records the first parameter of every message it handles, and the thread it
// handled it on; answers p1 * 2 in the result field. Counts its own destruction.
class RecordingTarget : public Core::MessageTarget {
public:
    explicit RecordingTarget(Core::QnThread* owner, std::atomic<int>* destroyed = nullptr)
        : Core::MessageTarget(owner), mpDestroyed(destroyed) {}
    ~RecordingTarget() override {
        if (mpDestroyed) mpDestroyed->fetch_add(1);
    }

    long long handleMessage(Core::Message& message) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back(message.mParam1);
        mThreads.push_back(pthread_self());
        // A queued send reports the message's result field, not the
        // handler's return value.
        message.mResult = message.mParam1 * 2;
        message.miState = 1;
        return message.mResult;
    }

    std::vector<long long> seen() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSeen;
    }
    std::vector<pthread_t> threads() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mThreads;
    }

private:
    mutable std::mutex mMutex;
    std::vector<long long> mSeen;
    std::vector<pthread_t> mThreads;
    std::atomic<int>* mpDestroyed;
};

} // namespace hx::test
