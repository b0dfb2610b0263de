// 8x8 bit-matrix helpers of the portable bit-sliced converters.
//
// A 64-bit word is read as 8 rows (bytes, row 0 the least significant) of 8
// columns (bits). Transposing it turns 8 byte units of one lane-group into 8
// lane bytes at once, so a converter moves 64 bits in a handful of
// operations instead of one operation per bit.
#pragma once

#include <cstdint>
#include <cstring>

namespace hx::transcoders {

// Bit (8*r + c) moves to bit (8*c + r).
inline uint64_t transpose8x8(uint64_t x) {
    uint64_t t;
    t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    x = x ^ t ^ (t << 28);
    return x;
}

inline uint64_t byteSwap64(uint64_t x) {
    return __builtin_bswap64(x);
}

// Unaligned little-endian loads and stores; the wire and ring buffers carry
// no alignment promise.
inline uint64_t load64le(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store64le(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}
inline uint32_t load32le(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store32le(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the converters move little-endian words with plain loads");

} // namespace hx::transcoders
