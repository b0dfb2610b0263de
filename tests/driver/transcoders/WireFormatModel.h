// The wire-format model: a deliberately slow, bit-by-bit description of the
// bit-sliced DMA wire formats and the Brava product's formats, written from
// the data layouts alone. Converters (portable or hand-written) are checked
// against it, never against each other.
//
// Each function maps one bit (or one word) at a time through the layout:
//  - decoder frame: 64 units; unit i (0..23) lane k is bit 31-i of channel
//    2k, unit 32+i is bit 31-i of channel 2k+1; units 24..31, 56..63 and
//    lanes above the channel pairs are ignored; byte units (8 frames a
//    512-byte block) or 16-bit little-endian units (4 frames).
//  - encoder frame: 48 byte units; unit i (0..23) lane k is bit 31-i of the
//    even-half source of lane k, unit 24+i that of the odd-half source.
//  - 964-byte interrupt packet: two halves of 482 bytes, frames 0..8 of a
//    half at 0..431, bytes 432..433 untouched, frame 9 of the half at 434.
//  - fifth lane: the odd half carries channel a of the frame, the even half
//    channel a+1 of the previous frame (the carried word on the first).
//  - Brava: 32-word groups channel-major (decoders), 3-byte slots of bits
//    31..8 in 32-slot groups (encoders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace hx::test::wire {

inline bool bitAt(const uint8_t* bytes, std::size_t byte, unsigned bit) {
    return (bytes[byte] >> bit) & 1u;
}

// ---- decoders -------------------------------------------------------------

struct DecoderFormat {
    unsigned channels;  // 2..16 with byte units, 18..32 with 16-bit units
    unsigned unitBytes; // 1 or 2
    unsigned frames() const { return 512 / (64 * unitBytes); }
    unsigned samples() const { return channels * frames(); }
};

inline DecoderFormat bitSlicedDecoder(unsigned channels) {
    return DecoderFormat{channels, channels <= 16 ? 1u : 2u};
}

// Where bit `bit` (31..8) of channel c in frame f sits in the 512-byte block.
struct BitLocation {
    std::size_t byte;
    unsigned bit;
};

inline BitLocation decoderBitLocation(const DecoderFormat& fmt, unsigned f, unsigned c,
                                      unsigned bit) {
    const unsigned lane = c / 2;
    const unsigned unit = (31 - bit) + (c % 2 ? 32 : 0);
    const std::size_t unitStart =
        std::size_t(f) * 64 * fmt.unitBytes + std::size_t(unit) * fmt.unitBytes;
    // A 16-bit unit is little-endian: lanes 0..7 in its first byte.
    return BitLocation{unitStart + lane / 8, lane % 8};
}

// The ring samples one block decodes to.
inline std::vector<uint32_t> decodeBitSliced(const DecoderFormat& fmt, const uint8_t* block) {
    std::vector<uint32_t> out(fmt.samples(), 0);
    for (unsigned f = 0; f < fmt.frames(); ++f)
        for (unsigned c = 0; c < fmt.channels; ++c) {
            uint32_t s = 0;
            for (unsigned bit = 31; bit >= 8; --bit) {
                const BitLocation at = decoderBitLocation(fmt, f, c, bit);
                if (bitAt(block, at.byte, at.bit)) s |= 1u << bit;
            }
            out[f * fmt.channels + c] = s;
        }
    return out;
}

inline uint32_t wordAt(const uint8_t* p, std::size_t index) {
    return uint32_t(p[4 * index]) | (uint32_t(p[4 * index + 1]) << 8) |
           (uint32_t(p[4 * index + 2]) << 16) | (uint32_t(p[4 * index + 3]) << 24);
}

// Brava: `channels` 8, 16 or 32; each 32-word group holds 32/channels frames
// channel-major; 32 channels is a plain copy.
inline std::vector<uint32_t> decodeBrava(unsigned channels, const uint8_t* block) {
    const unsigned framesPerGroup = 32 / channels;
    std::vector<uint32_t> out(128, 0);
    for (unsigned group = 0; group < 4; ++group)
        for (unsigned word = 0; word < 32; ++word) {
            const unsigned c = word / framesPerGroup, f = word % framesPerGroup;
            const unsigned frame = group * framesPerGroup + f;
            out[frame * channels + c] = wordAt(block, group * 32 + word);
        }
    return out;
}

// ---- encoders -------------------------------------------------------------

enum class LaneSource { Zero, Pair, Skewed };

struct EncoderFormat {
    unsigned channels;  // PCM channels a frame
    unsigned frames;    // 10, or 20 in the interrupt packet
    unsigned pairLanes; // lanes 0..pairLanes-1 carry channels (2k, 2k+1)
    int skewA = -1;     // >= 0: lane pairLanes carries (skewA, skewA+1) skewed
    unsigned packetBytes() const { return frames == 20 ? 964 : 480; }
    uint64_t pcmBytes() const { return uint64_t(channels) * 4 * frames; }
    LaneSource lane(unsigned k) const {
        if (k < pairLanes) return LaneSource::Pair;
        if (skewA >= 0 && k == pairLanes) return LaneSource::Skewed;
        return LaneSource::Zero;
    }
};

inline EncoderFormat plainEncoder(unsigned channels) {
    return {channels, 10, channels / 2};
}
inline EncoderFormat fifthLaneEncoder(unsigned channels, int a) {
    return {channels, 10, 4, a};
}
inline EncoderFormat int964Encoder(unsigned channels, unsigned pairLanes, int a = -1) {
    return {channels, 20, pairLanes, a};
}

// Start of frame f in the packet.
inline std::size_t encoderFrameStart(const EncoderFormat& fmt, unsigned f) {
    if (fmt.frames == 10) return std::size_t(f) * 48;
    const unsigned half = f / 10, j = f % 10;
    return std::size_t(half) * 482 + (j < 9 ? std::size_t(j) * 48 : 434);
}

// True for the bytes an encoding call writes.
inline std::vector<bool> encoderFootprint(const EncoderFormat& fmt) {
    std::vector<bool> written(fmt.packetBytes(), false);
    for (unsigned f = 0; f < fmt.frames; ++f)
        for (unsigned u = 0; u < 48; ++u)
            written[encoderFrameStart(fmt, f) + u] = true;
    return written;
}

// Encodes one call's PCM into `packet` (bytes outside the footprint keep
// their value) and returns the new carried word.
inline int32_t encodeBitSliced(const EncoderFormat& fmt, const int32_t* pcm, int32_t carried,
                               uint8_t* packet) {
    auto sample = [&](unsigned f, unsigned c) {
        return uint32_t(pcm[std::size_t(f) * fmt.channels + c]);
    };
    for (unsigned f = 0; f < fmt.frames; ++f) {
        const std::size_t start = encoderFrameStart(fmt, f);
        for (unsigned u = 0; u < 48; ++u) {
            const unsigned half = u / 24, bit = 31 - (u % 24);
            uint8_t unit = 0;
            for (unsigned k = 0; k < 8; ++k) {
                uint32_t src = 0;
                switch (fmt.lane(k)) {
                case LaneSource::Zero:
                    src = 0;
                    break;
                case LaneSource::Pair:
                    src = sample(f, 2 * k + half);
                    break;
                case LaneSource::Skewed:
                    if (half == 1)
                        src = sample(f, unsigned(fmt.skewA));
                    else
                        src = f == 0 ? uint32_t(carried) : sample(f - 1, unsigned(fmt.skewA) + 1);
                    break;
                }
                unit |= uint8_t(((src >> bit) & 1u) << k);
            }
            packet[start + u] = unit;
        }
    }
    if (fmt.skewA >= 0) return int32_t(sample(fmt.frames - 1, unsigned(fmt.skewA) + 1));
    return carried;
}

// Brava: 160 samples into 480 bytes; `channels` 8, 16 or 32. Each 32-slot
// group holds 32/channels frames channel-major; slot = bytes 1..3 of the word.
inline void encodeBrava(unsigned channels, const int32_t* pcm, uint8_t* packet) {
    const unsigned framesPerGroup = 32 / channels;
    for (unsigned group = 0; group < 5; ++group)
        for (unsigned slot = 0; slot < 32; ++slot) {
            const unsigned c = slot / framesPerGroup, f = slot % framesPerGroup;
            const uint32_t w = uint32_t(pcm[(group * framesPerGroup + f) * channels + c]);
            uint8_t* p = packet + 3 * (group * 32 + slot);
            p[0] = uint8_t(w >> 8);
            p[1] = uint8_t(w >> 16);
            p[2] = uint8_t(w >> 24);
        }
}

} // namespace hx::test::wire
