#include "platform/base/MachPort.h"

#include <atomic>

namespace hx::mach {

constexpr mach_port_t kTaskSelf = 0x103;

namespace {
// Names start well above the task port's and step by 4, which keeps them
// recognisable in logs as port names rather than counts.
std::atomic<mach_port_t> gNextName{0x1003};
} // namespace

mach_port_t allocatePortName() {
    mach_port_t n;
    do {
        n = gNextName.fetch_add(4, std::memory_order_relaxed);
    } while (n == MACH_PORT_NULL || n == kTaskSelf);
    return n;
}

} // namespace hx::mach

extern "C" mach_port_t mach_task_self(void) {
    return hx::mach::kTaskSelf;
}
