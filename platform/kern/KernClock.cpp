#include "platform/kern/KernClock.h"

#include "platform/base/HXClock.h"

// Bound to the platform clock, so a test-stepped clock reaches the kernel's
// sleeps and the bus frames too.
namespace hx::kern::clock {

uint64_t nowNanos() { return hx::clock::nowNanos(); }

bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadlineNanos) {
    return hx::clock::waitUntil(cv, lock, deadlineNanos);
}

void sleepNanos(uint64_t nanos) { hx::clock::sleepFor(nanos); }

}  // namespace hx::kern::clock
