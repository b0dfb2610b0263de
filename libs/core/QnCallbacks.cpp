#include "libs/core/QnCallbacks.h"

#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnMemory.h"
#include "libs/core/QnPostInitList.h"
#include "platform/base/OSAtomic.h"

namespace Core {

qn_uint64 gInitTag = 0;
AtExitNode* _AtExitNode_root = nullptr;
CallbackNode* _PostInitRoot = nullptr;
CallbackNode* _PostInitLast = nullptr;

namespace {
constinit QnQueue::PostInitList<CallbackNode> sPostInit(_PostInitRoot, _PostInitLast);
} // namespace

qn_uint64 initTag() {
    return __atomic_load_n(&gInitTag, __ATOMIC_ACQUIRE);
}

void setInitTag(qn_uint64 tag) {
    __atomic_store_n(&gInitTag, tag, __ATOMIC_RELEASE);
}

bool atExit(void (*fn)(void*), void* arg) {
    if (!fn) return false;
    AtExitNode* node = static_cast<AtExitNode*>(memoryAlloc(sizeof(AtExitNode)));
    if (!node) return false;
    node->mpfnCallback = fn;
    node->mpArg = arg;
    void* volatile* head = reinterpret_cast<void* volatile*>(&_AtExitNode_root);
    for (;;) {
        AtExitNode* old = static_cast<AtExitNode*>(__atomic_load_n(head, __ATOMIC_RELAXED));
        node->mpNext = old;
        if (OSAtomicCompareAndSwapPtrBarrier(old, node, head)) return true;
    }
}

void runExitCallbacks() {
    void* volatile* head = reinterpret_cast<void* volatile*>(&_AtExitNode_root);
    for (;;) {
        AtExitNode* node = static_cast<AtExitNode*>(__atomic_load_n(head, __ATOMIC_ACQUIRE));
        if (!node) return;
        if (!OSAtomicCompareAndSwapPtrBarrier(node, node->mpNext, head)) continue;
        if (node->mpfnCallback) node->mpfnCallback(node->mpArg);
        memoryFree(node);
    }
}

CallbackNode::CallbackNode(Callback fn, void* data, qn_uint32 level)
    : mpfnCallback(fn), mpData(data), mpNext(nullptr), mLevel(level) {
    atPostInit(this);
}

CallbackNode::~CallbackNode() {
    sPostInit.unlink(this);
}

void atPostInit(CallbackNode* node) {
    if (!node || !node->mpfnCallback) return;
    if (initTag() == kInitTagInitialised) {
        node->mpfnCallback(node);
        return;
    }
    sPostInit.append(node);
}

void postInitProcess(qn_uint32 level) {
    sPostInit.process(level, [](CallbackNode* node) { node->mpfnCallback(node); });
}

} // namespace Core
