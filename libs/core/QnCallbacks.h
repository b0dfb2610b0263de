// Exit and post-init callbacks, and the library's initialisation state.
//
// Exit callbacks run at shutdown, newest first. Post-init callbacks run once
// the library is initialised: at once when registered while it is, otherwise
// when start-up (level 0) or a later postInitProcess call reaches their level.
#pragma once

#include "libs/core/QnStatus.h"

namespace Core {

constexpr qn_uint64 kInitTagInitialised = 0xDEADBEEFBAADF00Dull;
constexpr qn_uint64 kInitTagTerminated = 0x2152411045520FF2ull; // ~kInitTagInitialised

// 0 before the first start-up; changed only by start-up and shutdown.
extern qn_uint64 gInitTag;

// Registers fn(arg) for shutdown; false for a null callback or no memory.
// Safe from any thread.
bool atExit(void (*fn)(void*), void* arg);

// A post-init callback, owned by whoever registers it.
class CallbackNode {
public:
    typedef void (*Callback)(CallbackNode*);

    // Fills the node and registers it with atPostInit.
    CallbackNode(Callback fn, void* data, qn_uint32 level);
    // A node still pending unlinks itself, so the list never holds a
    // dangling node.
    ~CallbackNode();
    CallbackNode(const CallbackNode&) = delete;
    CallbackNode& operator=(const CallbackNode&) = delete;

    Callback mpfnCallback;
    void* mpData;
    CallbackNode* mpNext;
    qn_uint32 mLevel;
};

extern CallbackNode* _PostInitRoot;
extern CallbackNode* _PostInitLast;

void atPostInit(CallbackNode* node);
void postInitProcess(qn_uint32 level);

} // namespace Core
