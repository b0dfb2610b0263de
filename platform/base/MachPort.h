// Port names and the task port of this process.
#pragma once

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

namespace hx::mach {

// A fresh port name, never 0 and never one handed out before in this process
// (tasks, threads and semaphores share the name space).
mach_port_t allocatePortName();

} // namespace hx::mach

extern "C" mach_port_t mach_task_self(void);
