// The IO cycle's sample conversion between the rings' 4-byte samples (24
// bits aligned high in a little-endian word) and the host's packed 2- or
// 3-byte little-endian samples: packing keeps a sample's top bytes, unpacking
// puts them back on top with zero low bytes.
//
// Three ways to move the samples: plain loops (any processor), 128-bit byte
// shuffles and 256-bit byte shuffles where the processor has them (checked
// at run time). All give the same bytes; every one reads exactly the given
// count's bytes and writes exactly those of its output, nothing past them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qnas::samples {

enum class Path {
    Best,   // the widest shuffles the processor has, else the loops
    Scalar, // the plain loops
    Ssse3,  // 128-bit shuffles (only where available(Path::Ssse3))
    Avx2,   // 256-bit shuffles (only where available(Path::Avx2))
};

bool available(Path path);

// One sample of B bytes, little-endian: the top B bytes of a 4-byte sample.
template <int B> inline void putSample(uint8_t* dst, uint32_t v) {
    for (int b = 0; b < B; ++b)
        dst[b] = uint8_t(v >> (8 * (4 - B + b)));
}
// One sample of B bytes back on top of a 4-byte sample with zero low bytes.
template <int B> inline uint32_t getSample(const uint8_t* src) {
    uint32_t v = 0;
    for (int b = 0; b < B; ++b)
        v |= uint32_t(src[b]) << (8 * (4 - B + b));
    return v;
}

// count samples of 4 bytes to count samples of B (2 or 3) bytes.
void pack(int B, const int32_t* in, uint8_t* out, std::size_t count, Path path = Path::Best);
// count samples of B (2 or 3) bytes to count samples of 4 bytes.
void unpack(int B, const uint8_t* in, int32_t* out, std::size_t count, Path path = Path::Best);

} // namespace qnas::samples
