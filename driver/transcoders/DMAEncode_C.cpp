// Portable bit-sliced DMA encoders and the Brava product's slot packers.
//
// Real-time path: no allocation, no lock, no logging. The only state is the
// fifth-lane members' carried sample, which lives in a word the caller owns.
// One byte of each lane's sample is gathered into an 8x8 bit matrix and
// transposed, which yields 8 wire units at once.
#include "driver/transcoders/DMAConvert.h"

#include "driver/transcoders/BitMatrix.h"

#include <cstring>

namespace {

using namespace hx::transcoders;

constexpr unsigned kFrameUnits = 48;
constexpr unsigned kPacketBytes = 480;

// Writes one half frame (24 units) from Lanes lane samples; lanes above
// them come out as 0.
template <unsigned Lanes> inline void encodeHalf(uint8_t* out, const uint32_t (&lane)[8]) {
    for (unsigned g = 0; g < 3; ++g) {
        const unsigned shift = 24 - 8 * g;
        uint64_t rows = 0;
        for (unsigned k = 0; k < Lanes; ++k)
            rows |= uint64_t((lane[k] >> shift) & 0xFF) << (8 * k);
        // After the transpose byte j holds bit j of every lane; unit 0 of the
        // group takes bit 7, so the bytes run in reverse.
        store64le(out + 8 * g, byteSwap64(transpose8x8(rows)));
    }
}

// Frame f's position in the packet: the 964-byte interrupt packets leave 2
// bytes before frame 9 and 2 more before frame 19.
template <unsigned Frames> constexpr unsigned frameOffset(unsigned f) {
    if constexpr (Frames == 20)
        return kFrameUnits * f + (f >= 9 ? 2 : 0) + (f >= 19 ? 2 : 0);
    else
        return kFrameUnits * f;
}

// Channels PCM channels a frame; lanes 0..PlainLanes-1 carry channel pairs
// (2k, 2k+1). With SkewA >= 0, lane PlainLanes carries the pair
// (SkewA, SkewA+1) half a frame late through the carried word.
template <unsigned Channels, unsigned PlainLanes, int SkewA, unsigned Frames>
uint64_t encode(DMA_CONVERT_DATA* data) {
    static_assert(Frames == 10 || Frames == 20);
    static_assert(PlainLanes <= 8 && 2 * PlainLanes <= Channels);
    static_assert(SkewA < 0 || (PlainLanes < 8 && unsigned(SkewA) + 1 < Channels));
    constexpr unsigned kLanes = PlainLanes + (SkewA >= 0 ? 1 : 0);
    constexpr uint64_t kCount = uint64_t(Channels) * 4 * Frames;

    if (data == nullptr || data->dst == nullptr) return kCount;
    uint8_t* out = static_cast<uint8_t*>(data->dst);
    if (data->src == nullptr) {
        // Silence for a missing block on the bulk path; an interrupt packet
        // is left as the caller prepared it.
        if constexpr (Frames == 10) std::memset(out, 0, kPacketBytes);
        return kCount;
    }
    const uint8_t* in = static_cast<const uint8_t*>(data->src);

    uint32_t carried = 0;
    if constexpr (SkewA >= 0) carried = uint32_t(*data->carry);

    for (unsigned f = 0; f < Frames; ++f) {
        uint32_t even[8] = {}, odd[8] = {};
        for (unsigned k = 0; k < PlainLanes; ++k) {
            even[k] = load32le(in + 4 * (2 * k));
            odd[k] = load32le(in + 4 * (2 * k + 1));
        }
        if constexpr (SkewA >= 0) {
            even[PlainLanes] = carried;
            odd[PlainLanes] = load32le(in + 4 * unsigned(SkewA));
            carried = load32le(in + 4 * (unsigned(SkewA) + 1));
        }
        uint8_t* frame = out + frameOffset<Frames>(f);
        encodeHalf<kLanes>(frame, even);
        encodeHalf<kLanes>(frame + 24, odd);
        in += 4 * Channels;
    }

    if constexpr (SkewA >= 0) *data->carry = int32_t(carried);
    return kCount;
}

// Brava: 160 samples into 3-byte slots (bits 31..8, little-endian), in
// groups of 32 slots holding Frames frames of Channels channels
// channel-major (slot Frames*c + f is frame f, channel c).
template <unsigned Channels, unsigned Frames> uint64_t encodeBrava(DMA_CONVERT_DATA* data) {
    static_assert(Channels * Frames == 32);
    if (data == nullptr || data->dst == nullptr || data->src == nullptr) return 640;
    const uint8_t* in = static_cast<const uint8_t*>(data->src);
    uint8_t* out = static_cast<uint8_t*>(data->dst);
    for (unsigned group = 0; group < 5; ++group) {
        for (unsigned c = 0; c < Channels; ++c) {
            for (unsigned f = 0; f < Frames; ++f) {
                const uint8_t* s = in + 4 * (f * Channels + c);
                uint8_t* slot = out + 3 * (Frames * c + f);
                // Byte-wise: the byte after the packet is the caller's.
                slot[0] = s[1];
                slot[1] = s[2];
                slot[2] = s[3];
            }
        }
        in += 128;
        out += 96;
    }
    return 640;
}

} // namespace

extern "C" {

uint64_t dmaEncode02_C(DMA_CONVERT_DATA* d) {
    return encode<2, 1, -1, 10>(d);
}
uint64_t dmaEncode04_C(DMA_CONVERT_DATA* d) {
    return encode<4, 2, -1, 10>(d);
}
uint64_t dmaEncode06_C(DMA_CONVERT_DATA* d) {
    return encode<6, 3, -1, 10>(d);
}
uint64_t dmaEncode08_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, -1, 10>(d);
}
uint64_t dmaEncode10_C(DMA_CONVERT_DATA* d) {
    return encode<10, 5, -1, 10>(d);
}
uint64_t dmaEncode12_C(DMA_CONVERT_DATA* d) {
    return encode<12, 6, -1, 10>(d);
}
uint64_t dmaEncode14_C(DMA_CONVERT_DATA* d) {
    return encode<14, 7, -1, 10>(d);
}
uint64_t dmaEncode16_C(DMA_CONVERT_DATA* d) {
    return encode<16, 8, -1, 10>(d);
}

uint64_t dmaEncode10_12_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, 0, 10>(d);
}
uint64_t dmaEncode10_34_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, 2, 10>(d);
}
uint64_t dmaEncode10_56_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, 4, 10>(d);
}
uint64_t dmaEncode10_78_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, 6, 10>(d);
}
uint64_t dmaEncode10_KX_C(DMA_CONVERT_DATA* d) {
    return encode<10, 4, 8, 10>(d);
}

uint64_t dmaEncode06_Int964_C(DMA_CONVERT_DATA* d) {
    return encode<6, 3, -1, 20>(d);
}
uint64_t dmaEncode08_Int964_C(DMA_CONVERT_DATA* d) {
    return encode<8, 4, -1, 20>(d);
}
uint64_t dmaEncode16_Int964_C(DMA_CONVERT_DATA* d) {
    return encode<16, 8, -1, 20>(d);
}
uint64_t dmaEncode10_KX_Int964_C(DMA_CONVERT_DATA* d) {
    return encode<10, 4, 8, 20>(d);
}

uint64_t dmaEncode08_Brava_C(DMA_CONVERT_DATA* d) {
    return encodeBrava<8, 4>(d);
}
uint64_t dmaEncode16_Brava_C(DMA_CONVERT_DATA* d) {
    return encodeBrava<16, 2>(d);
}
uint64_t dmaEncode32_Brava_C(DMA_CONVERT_DATA* d) {
    return encodeBrava<32, 1>(d);
}

} // extern "C"
