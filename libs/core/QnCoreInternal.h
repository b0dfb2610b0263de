// Library-internal entry points for start-up and shutdown, and test seams.
// Not for callers outside the core library and its tests.
#pragma once

#include "libs/core/QnStatus.h"

namespace Core {

// Reads the host time base (mach_timebase_info) into the clock's doubles.
void clockFillTimebase();
// Back to the state before start-up: uptime reads 0 (tests).
void clockClearTimebase();

// One registered exit callback.
struct AtExitNode {
    void (*mpfnCallback)(void*);
    void* mpArg;
    AtExitNode* mpNext;
};
extern AtExitNode* _AtExitNode_root;

// Runs the exit list newest first: each node is unlinked, its callback
// called with its argument when there is one, and the node freed.
void runExitCallbacks();

// The initialisation tag (see QnCallbacks.h); only start-up, shutdown and
// tests set it.
qn_uint64 initTag();
void setInitTag(qn_uint64 tag);

} // namespace Core
