// A notification port's sink for tests: queues what the port receives; a test
// waits for a count (with a generous bound, so a loaded machine only waits
// longer).
#pragma once

#include "platform/iokit/IOKitTransport.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace iokittest {

class Collector : public hx::iokit::PortSink {
public:
    void deliver(hx::iokit::NotificationRecord&& r) override {
        std::lock_guard<std::mutex> g(mLock);
        mRecords.push_back(std::move(r));
        mCv.notify_all();
    }
    void lost() override {}
    std::vector<hx::iokit::NotificationRecord> waitFor(size_t n) {
        std::unique_lock<std::mutex> l(mLock);
        mCv.wait_for(l, std::chrono::seconds(60), [&] { return mRecords.size() >= n; });
        return mRecords;
    }

private:
    std::mutex mLock;
    std::condition_variable mCv;
    std::vector<hx::iokit::NotificationRecord> mRecords;
};

} // namespace iokittest
