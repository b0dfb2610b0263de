#include "libs/core/QnCallbacks.h"

#include "libs/core/QnCoreInternal.h"
#include "libs/core/QnMemory.h"
#include "platform/base/OSAtomic.h"

namespace Core {

qn_uint64 gInitTag = 0;
AtExitNode* _AtExitNode_root = nullptr;
CallbackNode* _PostInitRoot = nullptr;
CallbackNode* _PostInitLast = nullptr;

namespace {
// The part of the pending list that postInitProcess has detached and not yet
// walked; a node destroyed by a callback meanwhile must leave it as well.
CallbackNode* sProcessing = nullptr;

bool unlinkFrom(CallbackNode*& head, CallbackNode** tail, CallbackNode* node) {
    CallbackNode* prev = nullptr;
    for (CallbackNode* n = head; n; prev = n, n = n->mpNext) {
        if (n != node) continue;
        if (prev)
            prev->mpNext = n->mpNext;
        else
            head = n->mpNext;
        if (tail && *tail == n) *tail = prev;
        n->mpNext = nullptr;
        return true;
    }
    return false;
}

void appendPending(CallbackNode* node) {
    node->mpNext = nullptr;
    if (_PostInitLast)
        _PostInitLast->mpNext = node;
    else
        _PostInitRoot = node;
    _PostInitLast = node;
}
}  // namespace

qn_uint64 initTag() { return __atomic_load_n(&gInitTag, __ATOMIC_ACQUIRE); }

void setInitTag(qn_uint64 tag) { __atomic_store_n(&gInitTag, tag, __ATOMIC_RELEASE); }

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
    if (!unlinkFrom(_PostInitRoot, &_PostInitLast, this)) unlinkFrom(sProcessing, nullptr, this);
}

void atPostInit(CallbackNode* node) {
    if (!node || !node->mpfnCallback) return;
    if (initTag() == kInitTagInitialised) {
        node->mpfnCallback(node);
        return;
    }
    appendPending(node);
}

void postInitProcess(qn_uint32 level) {
    CallbackNode* outer = sProcessing;  // a callback may call us again
    sProcessing = _PostInitRoot;
    _PostInitRoot = nullptr;
    _PostInitLast = nullptr;
    while (CallbackNode* n = sProcessing) {
        sProcessing = n->mpNext;
        n->mpNext = nullptr;
        if (n->mLevel == level)
            n->mpfnCallback(n);  // the node may be gone after this
        else
            appendPending(n);
    }
    sProcessing = outer;
}

}  // namespace Core
