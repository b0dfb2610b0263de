// The Brava product's side of its word formats: capture frames into input
// blocks, output packets back into frames. Its streams carry 8, 16 or 32
// channels.
//
//  - Input block (device to host): 512 bytes of 32-bit little-endian words,
//    each a whole sample (the 24-bit value in bits 31..8, bits 7..0 zero),
//    in four groups of 32 words. A group holds 32 / channels frames
//    channel-major (word F * c + f of a group of F frames is frame f,
//    channel c); 32 channels are plain frame order. 16, 8 or 4 frames a
//    block.
//  - Output packet (host to device): 480 bytes of 3-byte little-endian
//    slots, each a 24-bit sample, in five groups of 32 slots ordered as the
//    input's words. 20, 10 or 5 frames a packet.
//
// Samples are 24-bit values (bits 23..0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::usb::devices::brava {

constexpr uint32_t kBlockBytes = 512;
constexpr uint32_t kOutPacketBytes = 480;

constexpr bool channelsOffered(uint32_t channels) {
    return channels == 8 || channels == 16 || channels == 32;
}
// Frames in one group of 32 words or slots.
constexpr uint32_t framesPerGroup(uint32_t channels) {
    return 32 / channels;
}
constexpr uint32_t framesPerBlock(uint32_t channels) {
    return 4 * framesPerGroup(channels);
}
constexpr uint32_t framesPerOutPacket(uint32_t channels) {
    return 5 * framesPerGroup(channels);
}

// One 512-byte input block from framesPerBlock(channels) frames.
void encodeInputBlock(const uint32_t* samples, uint32_t channels, uint8_t* block);
// framesPerOutPacket(channels) frames from a 480-byte output packet.
void decodeOutputPacket(const uint8_t* packet, uint32_t channels, uint32_t* samples);

} // namespace hx::usb::devices::brava
