// Reads a fuzz input front to back: little-endian words and bytes, zeros
// once it runs out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hxfuzz {

struct Input {
    const uint8_t* p;
    size_t n;
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4 && n; ++i, ++p, --n)
            v |= uint32_t(*p) << (8 * i);
        return v;
    }
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
};

} // namespace hxfuzz
