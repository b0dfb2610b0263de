// A shared ring in memfd-backed, page-aligned kernel memory, as the driver
// allocates them.
#pragma once

#include "abi/AudioSM.h"
#include "platform/kern/IOLib.h"

namespace hx::test {

struct RingMemory {
    AudioSM* sm;
    RingMemory() : sm(static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096))) {}
    ~RingMemory() { IOFreeAligned(sm, sizeof(AudioSM)); }
    RingMemory(const RingMemory&) = delete;
    RingMemory& operator=(const RingMemory&) = delete;
    AudioSM* operator->() const { return sm; }
};

} // namespace hx::test
