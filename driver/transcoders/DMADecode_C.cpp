// Portable bit-sliced DMA decoders and the Brava product's reordering
// decoders.
//
// Real-time path: no allocation, no lock, no logging. Each call decodes one
// 512-byte block. Eight byte units of one lane-group are transposed as one
// 8x8 bit matrix, which yields 8 bits of every lane at once.
#include "driver/transcoders/DMAConvert.h"

#include "driver/transcoders/BitMatrix.h"

#include <cstring>

namespace {

using namespace hx::transcoders;

constexpr unsigned kBlockBytes = 512;

// Lane bytes of 8 byte units: byte k of the result holds lane k, with the
// group's first unit in bit 7.
inline uint64_t laneBytes(uint64_t units) {
    return transpose8x8(byteSwap64(units));
}

// The even bytes of a 64-bit word, packed into its low 32 bits.
inline uint64_t evenBytes(uint64_t x) {
    x &= 0x00FF00FF00FF00FFULL;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFULL;
    return x;
}

inline uint32_t sampleOfLane(uint64_t g0, uint64_t g1, uint64_t g2, unsigned lane) {
    const unsigned s = 8 * lane;
    return (uint32_t((g0 >> s) & 0xFF) << 24) | (uint32_t((g1 >> s) & 0xFF) << 16) |
           (uint32_t((g2 >> s) & 0xFF) << 8);
}

// Byte units: 8 frames of 64 bytes. Pairs channel pairs in lanes 0..Pairs-1.
template <unsigned Pairs> uint64_t decodeByteUnits(DMA_CONVERT_DATA* data) {
    constexpr unsigned kChannels = 2 * Pairs;
    constexpr unsigned kFrames = 8;
    constexpr uint64_t kCount = kChannels * kFrames;
    if (data == nullptr || data->dst == nullptr || data->src == nullptr) return kCount;
    const uint8_t* in = static_cast<const uint8_t*>(data->src);
    uint8_t* out = static_cast<uint8_t*>(data->dst);
    for (unsigned f = 0; f < kFrames; ++f) {
        for (unsigned half = 0; half < 2; ++half) {
            const uint8_t* u = in + 32 * half;
            const uint64_t g0 = laneBytes(load64le(u));
            const uint64_t g1 = laneBytes(load64le(u + 8));
            const uint64_t g2 = laneBytes(load64le(u + 16));
            for (unsigned k = 0; k < Pairs; ++k)
                store32le(out + 4 * (2 * k + half), sampleOfLane(g0, g1, g2, k));
        }
        in += 64;
        out += 4 * kChannels;
    }
    return kCount;
}

// 16-bit units: 4 frames of 64 little-endian words. Lanes 0..7 are the low
// byte of each unit, lanes 8..15 the high byte.
template <unsigned Pairs> uint64_t decodeWordUnits(DMA_CONVERT_DATA* data) {
    static_assert(Pairs > 8 && Pairs <= 16);
    constexpr unsigned kChannels = 2 * Pairs;
    constexpr unsigned kFrames = 4;
    constexpr uint64_t kCount = kChannels * kFrames;
    if (data == nullptr || data->dst == nullptr || data->src == nullptr) return kCount;
    const uint8_t* in = static_cast<const uint8_t*>(data->src);
    uint8_t* out = static_cast<uint8_t*>(data->dst);
    for (unsigned f = 0; f < kFrames; ++f) {
        for (unsigned half = 0; half < 2; ++half) {
            uint64_t lo[3], hi[3];
            for (unsigned g = 0; g < 3; ++g) {
                const uint8_t* u = in + 64 * half + 16 * g;
                const uint64_t a = load64le(u), b = load64le(u + 8);
                lo[g] = laneBytes(evenBytes(a) | (evenBytes(b) << 32));
                hi[g] = laneBytes(evenBytes(a >> 8) | (evenBytes(b >> 8) << 32));
            }
            for (unsigned k = 0; k < 8; ++k)
                store32le(out + 4 * (2 * k + half), sampleOfLane(lo[0], lo[1], lo[2], k));
            for (unsigned k = 8; k < Pairs; ++k)
                store32le(out + 4 * (2 * k + half), sampleOfLane(hi[0], hi[1], hi[2], k - 8));
        }
        in += 128;
        out += 4 * kChannels;
    }
    return kCount;
}

// Brava: four groups of 32 words, each group holding Frames frames of
// Channels channels channel-major (word Frames*c + f is frame f, channel c).
template <unsigned Channels, unsigned Frames> uint64_t decodeBrava(DMA_CONVERT_DATA* data) {
    static_assert(Channels * Frames == 32);
    if (data == nullptr || data->dst == nullptr || data->src == nullptr) return 128;
    const uint8_t* in = static_cast<const uint8_t*>(data->src);
    uint8_t* out = static_cast<uint8_t*>(data->dst);
    for (unsigned group = 0; group < 4; ++group) {
        for (unsigned c = 0; c < Channels; ++c)
            for (unsigned f = 0; f < Frames; ++f)
                store32le(out + 4 * (f * Channels + c), load32le(in + 4 * (Frames * c + f)));
        in += 128;
        out += 128;
    }
    return 128;
}

uint64_t copyBlock(DMA_CONVERT_DATA* data) {
    if (data == nullptr || data->dst == nullptr || data->src == nullptr) return 128;
    std::memcpy(data->dst, data->src, kBlockBytes);
    return 128;
}

} // namespace

extern "C" {

uint64_t dmaDecode16To02At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<1>(d);
}
uint64_t dmaDecode16To04At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<2>(d);
}
uint64_t dmaDecode16To06At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<3>(d);
}
uint64_t dmaDecode16To08At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<4>(d);
}
uint64_t dmaDecode16To10At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<5>(d);
}
uint64_t dmaDecode16To12At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<6>(d);
}
uint64_t dmaDecode16To14At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<7>(d);
}
uint64_t dmaDecode16To16At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeByteUnits<8>(d);
}

uint64_t dmaDecode32To18At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<9>(d);
}
uint64_t dmaDecode32To20At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<10>(d);
}
uint64_t dmaDecode32To22At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<11>(d);
}
uint64_t dmaDecode32To24At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<12>(d);
}
uint64_t dmaDecode32To26At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<13>(d);
}
uint64_t dmaDecode32To28At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<14>(d);
}
uint64_t dmaDecode32To30At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<15>(d);
}
uint64_t dmaDecode32To32At32Bit_C(DMA_CONVERT_DATA* d) {
    return decodeWordUnits<16>(d);
}

uint64_t dmaDecode16To08At32Bit_Brava_C(DMA_CONVERT_DATA* d) {
    return decodeBrava<8, 4>(d);
}
uint64_t dmaDecode16To16At32Bit_Brava_C(DMA_CONVERT_DATA* d) {
    return decodeBrava<16, 2>(d);
}
uint64_t dmaDecode16To32At32Bit_Brava_C(DMA_CONVERT_DATA* d) {
    return copyBlock(d);
}
uint64_t dmaDecode32To32At32Bit_NoPuzzle_C(DMA_CONVERT_DATA* d) {
    return copyBlock(d);
}

} // extern "C"
