// Test buffers that end (and optionally start) at an inaccessible page, so a
// read or write one byte past the usable area faults at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::test {

class GuardedBuffer {
public:
    // size usable bytes; the byte after the last one is the first byte of a
    // PROT_NONE page. With guardBefore, the byte before data() is guarded too
    // (data() is then page-aligned and the end may not abut the guard unless
    // size is a multiple of the page size; use atEnd for the end-guard case).
    explicit GuardedBuffer(std::size_t size, bool guardBefore = false);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::uint8_t* data() const { return mData; }
    std::size_t size() const { return mSize; }
    template <typename T> T* as() const { return reinterpret_cast<T*>(mData); }

private:
    std::uint8_t* mBase = nullptr;
    std::size_t mMapped = 0;
    std::uint8_t* mData = nullptr;
    std::size_t mSize = 0;
};

} // namespace hx::test
