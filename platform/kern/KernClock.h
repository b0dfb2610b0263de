// Former name of the platform clock's time read and timed waits, kept for
// callers that still use it. New code uses platform/base/HXClock.h directly.
#pragma once

#include "platform/base/HXClock.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace hx::kern::clock {

inline uint64_t nowNanos() { return hx::clock::nowNanos(); }

inline bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadlineNanos) {
    return hx::clock::waitUntil(cv, lock, deadlineNanos);
}

inline void sleepNanos(uint64_t nanos) { hx::clock::sleepFor(nanos); }

}  // namespace hx::kern::clock
