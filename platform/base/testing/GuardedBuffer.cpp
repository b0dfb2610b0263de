#include "platform/base/testing/GuardedBuffer.h"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace hx::test {

GuardedBuffer::GuardedBuffer(std::size_t size, bool guardBefore) : mSize(size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t body = (size + page - 1) / page * page;
    mMapped = body + page + (guardBefore ? page : 0);
    void* p = mmap(nullptr, mMapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    mBase = static_cast<std::uint8_t*>(p);
    std::uint8_t* bodyStart = mBase + (guardBefore ? page : 0);
    if (body && mprotect(bodyStart, body, PROT_READ | PROT_WRITE) != 0) std::abort();
    // With a guard before, start at the page so both sides are guarded when the
    // size is a whole number of pages; otherwise end exactly at the guard.
    mData = guardBefore ? bodyStart : bodyStart + (body - size);
}

GuardedBuffer::~GuardedBuffer() {
    munmap(mBase, mMapped);
}

} // namespace hx::test
