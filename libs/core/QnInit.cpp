// Start-up and shutdown of the core library.
#include "libs/core/QnInit.h"

#include "libs/core/QnCallbacks.h"
#include "libs/core/QnClock.h"
#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnDebug.h"
#include "libs/core/QnMemory.h"
#include "libs/core/QnThread.h"
#include "libs/core/QnUnicode.h"

namespace Core {

namespace {
const char kTermSignature[] = "void Core::term()";
} // namespace

void* memoryAlloc_default(Allocator*, qn_uint64 size) {
    return memoryAlloc(size);
}

void memoryFree_default(Allocator*, void* p) {
    memoryFree(p);
}

Allocator _DefaultAllocator = {memoryAlloc_default, memoryFree_default};

qn_mutex_struct _CriticalSectionMutex = {};

void init(const char* name) {
    if (initTag() == kInitTagInitialised) {
        debugPrint("QnCore::init already initialised\n");
        return;
    }
    // First, so that post-init callbacks registered from here on run at once.
    setInitTag(kInitTagInitialised);
    Allocator::DefaultAllocator = &_DefaultAllocator;
    debugInit(name);
    clockFillTimebase();
    qn_seed(static_cast<qn_int32>(static_cast<qn_uint32>(uptimeNanos())));
    threadsInit();
    mutexInit(&_CriticalSectionMutex);
    init_unicodeCharInfo();
    postInitProcess(0);
}

void term() {
    debugOutText("Core::term();\n", true);
    if (initTag() != kInitTagInitialised) {
        debugPrint("%s - init not called or term already called\n", kTermSignature);
        return;
    }
    debugPrint("%s\n", kTermSignature);
    runExitCallbacks();
    mutexTerm(&_CriticalSectionMutex);
    setInitTag(kInitTagTerminated);
}

qn_status enterCriticalSection() {
    return mutexAcquire(&_CriticalSectionMutex);
}

qn_status leaveCriticalSection() {
    return mutexRelease(&_CriticalSectionMutex);
}

} // namespace Core
