// The reference bit loop: the bit-sliced conversions written the obvious
// way, one operation per bit, as a speed anchor for the real converters.
// It is not a correctness reference (the tests have the wire-format model).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hx::bench {

// One 512-byte block: frames of 64 units (unitBytes 1: 8 frames, 2: 4
// frames); for each unit i 0..23 (and 32..55) and each lane, shift the
// lane's sample left and add the unit's bit; finally shift left by 8.
inline uint64_t referenceDecode(unsigned channels, unsigned unitBytes, const uint8_t* in,
                                int32_t* out) {
    const unsigned frames = 512 / (64 * unitBytes);
    const unsigned pairs = channels / 2;
    std::memset(out, 0, std::size_t(channels) * frames * 4);
    for (unsigned f = 0; f < frames; ++f) {
        uint32_t* s = reinterpret_cast<uint32_t*>(out) + f * channels;
        for (unsigned half = 0; half < 2; ++half)
            for (unsigned i = 0; i < 24; ++i) {
                const uint8_t* unit = in + (std::size_t(f) * 64 + 32 * half + i) * unitBytes;
                const unsigned value =
                    unitBytes == 2 ? unsigned(unit[0]) | (unsigned(unit[1]) << 8) : unit[0];
                for (unsigned k = 0; k < pairs; ++k)
                    s[2 * k + half] = (s[2 * k + half] << 1) + ((value >> k) & 1u);
            }
        for (unsigned c = 0; c < channels; ++c)
            s[c] <<= 8;
    }
    return uint64_t(channels) * frames;
}

// One packet: for each frame and unit, a byte whose bit k is bit 31-i of
// lane k's sample. pairLanes lanes carry channel pairs; with skewA >= 0 the
// next lane carries (skewA, skewA+1) half a frame late through *carry.
// frames 20 lays the packet out as the 964-byte interrupt packet.
inline uint64_t referenceEncode(unsigned channels, unsigned frames, unsigned pairLanes, int skewA,
                                const int32_t* pcm, uint8_t* out, int32_t* carry) {
    int32_t carried = skewA >= 0 ? *carry : 0;
    for (unsigned f = 0; f < frames; ++f) {
        const int32_t* s = pcm + std::size_t(f) * channels;
        std::size_t at = std::size_t(f) * 48;
        if (frames == 20) at += (f >= 9 ? 2 : 0) + (f >= 19 ? 2 : 0);
        for (unsigned half = 0; half < 2; ++half)
            for (unsigned i = 0; i < 24; ++i) {
                const unsigned bit = 31 - i;
                unsigned byte = 0;
                for (unsigned k = 0; k < pairLanes; ++k)
                    byte |= ((uint32_t(s[2 * k + half]) >> bit) & 1u) << k;
                if (skewA >= 0) {
                    const uint32_t v = half ? uint32_t(s[skewA]) : uint32_t(carried);
                    byte |= ((v >> bit) & 1u) << pairLanes;
                }
                out[at + 24 * half + i] = uint8_t(byte);
            }
        if (skewA >= 0) carried = s[skewA + 1];
    }
    if (skewA >= 0) *carry = carried;
    return uint64_t(channels) * 4 * frames;
}

} // namespace hx::bench
