// The one seam through which the kernel and USB stand-ins read time and wait
// with a deadline. Every sleep, time-out and bus frame goes through here, so
// that binding to the platform clock (or a test-stepped one) changes one file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace hx::kern::clock {

// Monotonic nanoseconds.
uint64_t nowNanos();

// Waits on cv until notified or until the clock passes deadlineNanos; returns
// false when the deadline passed. Spurious wake-ups return true: callers loop
// on their own predicate.
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               uint64_t deadlineNanos);

// Sleeps the calling thread for at least the given nanoseconds.
void sleepNanos(uint64_t nanos);

}  // namespace hx::kern::clock
