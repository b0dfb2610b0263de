// Memory primitives of the core library: checked wrappers over the C memory
// functions, byte searches, and Core::Memory, the owner of one heap buffer.
//
// Lengths are unsigned 64-bit (qn_uint64, the same type as size_t here).
// The checked wrappers touch nothing and return QN_ERR_BAD_ARGUMENT when a
// pointer is null or the length is 0.
#pragma once

#include "libs/core/QnStatus.h"

// The lowest layer lives outside the namespace so every unit can call it.
void* memoryAlloc(qn_uint64 size);
void memoryFree(void* p);
qn_status memoryCopy(void* dst, const void* src, qn_uint64 len);
qn_status memoryMove(void* dst, const void* src, qn_uint64 len);
qn_status memorySet(void* buf, int fill, qn_uint64 len);
qn_status memoryClear(void* buf, qn_uint64 len);
// 0 when the first len bytes are equal, else the 1-based position of the
// first differing byte (a position, not an ordering).
qn_uint64 memoryCompare(const void* a, const void* b, qn_uint64 len);
void memorySwap(void* a, void* b, qn_uint64 len);

namespace Core {

// First byte equal to ch (0..255) within len bytes; len taken as signed, so
// 0 or "negative" gives null.
const void* memChr(const void* data, int ch, qn_uint64 len);
// First/last start in data where the whole pattern occurs; the pattern comes
// first, the block to search second.
const void* memSearch(const void* pattern, qn_uint64 patternLen, const void* data,
                      qn_uint64 dataLen);
const void* memSearchRev(const void* pattern, qn_uint64 patternLen, const void* data,
                         qn_uint64 dataLen);

// One buffer and how to give it back. It owns the buffer exactly when the
// release function is set; copies are non-owning views, moves hand the
// ownership over and leave the source a non-owning view of the same bytes.
class Memory {
public:
    typedef void (*ReleaseFn)(void*);

    struct Descriptor {
        void* data = nullptr;
        qn_uint64 size = 0;
        Descriptor() = default;
        Descriptor(void* p, qn_uint64 n) : data(p), size(n) {}
    };

    Memory();
    explicit Memory(qn_uint64 size);
    Memory(void* p, qn_uint64 size, ReleaseFn fn);
    Memory(const Memory& other);
    Memory(Memory&& other) noexcept;
    ~Memory();

    Memory& operator=(const Memory& other);
    Memory& operator=(Memory&& other) noexcept;
    void moveFrom(Memory& other);

    void term();
    void* init(qn_uint64 size);
    void* init(void* p, qn_uint64 size, ReleaseFn fn);

    void* data() const { return mpData; }
    qn_uint64 size() const { return mnSize; }
    ReleaseFn releaseFunction() const { return mpfnRelease; }
    bool owns() const { return mpfnRelease != nullptr; }
    Descriptor descriptor() const { return Descriptor(mpData, mnSize); }

private:
    void release();

    void* mpData;
    qn_uint64 mnSize;
    ReleaseFn mpfnRelease;
};

} // namespace Core
