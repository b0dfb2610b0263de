// Everything Mach the suite calls: types and codes, the clock, the task port,
// semaphores, thread ports and policies.
#pragma once

#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachSemaphore.h"
#include "platform/base/MachThread.h"
#include "platform/base/MachTypes.h"
