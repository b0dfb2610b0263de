#include "platform/kern/KernClock.h"

#include <chrono>
#include <thread>

namespace hx::kern::clock {

uint64_t nowNanos() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               uint64_t deadlineNanos) {
    const auto deadline =
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNanos));
    return cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
}

void sleepNanos(uint64_t nanos) {
    const uint64_t deadline = nowNanos() + nanos;
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    while (nowNanos() < deadline) waitUntil(cv, lock, deadline);
}

}  // namespace hx::kern::clock
