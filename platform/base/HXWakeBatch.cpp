#include "platform/base/HXWakeBatch.h"

#include <array>
#include <cstddef>

namespace hx::wake {
namespace {

struct Deferred {
    int depth = 0;
    std::array<void (*)(), 8> fns{};
    std::size_t count = 0;
};
thread_local Deferred tDeferred;

} // namespace

Batch::Batch() {
    ++tDeferred.depth;
}

Batch::~Batch() {
    Deferred& d = tDeferred;
    if (--d.depth > 0) return;
    // A wake-up that runs may open a batch of its own: each is taken off
    // before it runs.
    while (d.count > 0) {
        void (*fn)() = d.fns[--d.count];
        fn();
    }
}

void runOrDefer(void (*fn)()) {
    Deferred& d = tDeferred;
    if (d.depth == 0) {
        fn();
        return;
    }
    for (std::size_t i = 0; i < d.count; ++i)
        if (d.fns[i] == fn) return;
    if (d.count == d.fns.size()) { // full: no room to hold it back
        fn();
        return;
    }
    d.fns[d.count++] = fn;
}

} // namespace hx::wake
