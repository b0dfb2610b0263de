// One clock for every process of a machine: the kernel host publishes its
// time in a shared page, sequence-locked, and user processes read
// mach_absolute_time and take their wait deadlines from it.
//
// The page holds the host's time and the system's monotonic time it stands
// for; a reader extrapolates by the monotonic time passed since. The host
// runs paced: its time never passes the line through its pacing anchor at
// the wall clock's rate (though it may run faster while catching up after a
// stall), so it publishes that line, and a reader is never behind the host.
// A kernel time stamp is therefore never later than the reader's own
// mach_absolute_time. Readers never hold the host's time back.
#pragma once

#include "platform/base/HXClock.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace hx::iokit {

struct TimePageLayout {
    uint32_t sequence; // odd while a write is under way
    uint32_t reserved;
    uint64_t hostNanos;
    uint64_t monotonicNanos;
};

// The host's end.
class HostTimePage {
public:
    ~HostTimePage();
    bool create(std::string& error);
    // A new read-only descriptor of the page for a receiver (-1 on failure).
    int readOnlyDescriptor() const;
    // Publishes the host's clock until stopped (about every 100 µs).
    void startPublishing();
    void stopPublishing();
    // Writes the host's time now.
    void publish();

private:
    int mFd = -1;
    TimePageLayout* mPage = nullptr;
    std::atomic<bool> mRunning{false};
    std::thread mPublisher;
};

// A user process's clock read from the page (the page is mapped read-only
// and stays mapped for the process's life).
class HostTimeSource final : public hx::clock::Source {
public:
    // Takes over fd; false when it is not a page.
    bool attach(int fd);
    uint64_t nowNanos() override;
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint64_t deadlineNanos) override;
    void sleepUntil(uint64_t deadlineNanos) override;

private:
    const TimePageLayout* mPage = nullptr;
    std::atomic<uint64_t> mLatest{0};
};

} // namespace hx::iokit
