// The list of pending post-init callbacks, the one list behind both the user
// build (QnCallbacks) and the kernel build (kcore/KernelCore) of the core
// library: nodes wait in registration order until a pass over their level
// runs them. Header-only over the node type (anything with mpNext and
// mLevel), so each build carries its own copy and nothing here can meet the
// other build's symbols at link time. Start-up owns it: registration and
// passes are not meant to race.
#pragma once

#include <cstdint>

namespace QnQueue {

template <class Node> class PostInitList {
public:
    // Over the build's head and tail words of the pending nodes.
    constexpr PostInitList(Node*& first, Node*& last) : mpFirst(first), mpLast(last) {}

    void append(Node* node) {
        node->mpNext = nullptr;
        if (mpLast)
            mpLast->mpNext = node;
        else
            mpFirst = node;
        mpLast = node;
    }

    // Hands every pending node of that level to run, in registration order,
    // each unlinked first; the others stay pending in their order. A
    // callback may register nodes (they wait for a later pass), start a pass
    // of its own or unlink a node of this pass that has not run yet.
    template <class Run> void process(uint32_t level, Run run) {
        Node* outer = mpProcessing;
        mpProcessing = mpFirst;
        mpFirst = mpLast = nullptr;
        while (Node* node = mpProcessing) {
            mpProcessing = node->mpNext;
            node->mpNext = nullptr;
            if (node->mLevel == level)
                run(node); // the node may be gone after this
            else
                append(node);
        }
        mpProcessing = outer;
    }

    // Takes a node off the list, pending or in the pass under way; false
    // when it is on neither.
    bool unlink(Node* node) {
        if (unlinkFrom(mpFirst, &mpLast, node)) return true;
        return unlinkFrom(mpProcessing, nullptr, node);
    }

private:
    static bool unlinkFrom(Node*& head, Node** tail, Node* node) {
        Node* prev = nullptr;
        for (Node* n = head; n; prev = n, n = n->mpNext) {
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

    Node*& mpFirst;
    Node*& mpLast;
    Node* mpProcessing = nullptr; // the rest of the pass under way
};

} // namespace QnQueue
