// The bulk-protocol devices' side of the bit-sliced wire format: capture
// frames into input blocks, output packets back into frames.
//
// A unit (a byte, or a 16-bit little-endian word for 18 to 32 channels)
// carries one bit of each channel pair: bit k is lane k, lane k carries
// channels 2k and 2k+1, 24-bit samples most significant bit first.
//  - Input block (device to host): 512 bytes, frames of 64 units; units
//    0..23 carry channel 2k, units 32..55 channel 2k+1; units 24..31 and
//    56..63 and lanes above the channel pairs are sent as 0 (so a packet's
//    last 8 bytes never read as the host's marker words). 8 frames of byte
//    units or 4 frames of word units.
//  - Output packet (host to device): frames of 48 byte units, units 0..23
//    channel 2k and 24..47 channel 2k+1; 10 frames in 480 bytes followed by
//    a MIDI byte (480) and a control byte (481); or 20 frames in 964 bytes as
//    two halves of 482 with the MIDI and control bytes at 432/433 and
//    914/915, each half's tenth frame after them.
//  - Fifth-lane output packets: lanes 0..3 carry channels 0..7 as above,
//    lane 4 one pair (a, b) half a frame late: the odd half of frame f
//    carries a of frame f, the even half b of frame f - 1 (the host carries
//    the last b over to its next packet). The pair is channels 8 and 9 of a
//    10-channel stream, or a copy of one of channels 0..7's pairs (the
//    digital output) of an 8-channel one.
//
// Samples are 24-bit values (bits 23..0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::usb::devices::bitslice {

constexpr uint32_t kBlockBytes = 512;
constexpr uint32_t kOutFrameBytes = 48;

// Byte units up to 16 channels, 16-bit units from 18.
constexpr uint32_t unitBytes(uint32_t channels) {
    return channels <= 16 ? 1 : 2;
}
// Frames in one 512-byte input block of units of `unit` bytes.
constexpr uint32_t framesPerBlock(uint32_t unit) {
    return kBlockBytes / (64 * unit);
}

// One 512-byte input block from framesPerBlock(unit) frames of `channels`
// samples; channels beyond the unit's lanes are not sent.
void encodeInputBlock(const uint32_t* samples, uint32_t channels, uint32_t unit, uint8_t* block);

// Where frame f of an output packet starts: 10 frames back to back, or the
// 964-byte form's two halves.
constexpr size_t outFrameOffset(bool int964, uint32_t f) {
    if (!int964) return (size_t)f * kOutFrameBytes;
    const uint32_t half = f / 10, j = f % 10;
    return (size_t)half * 482 + (j < 9 ? (size_t)j * kOutFrameBytes : 434);
}

// `frames` output frames of `channels` samples from a packet; lanes above
// the channel pairs are not read.
void decodeOutputFrames(const uint8_t* packet, bool int964, uint32_t frames, uint32_t channels,
                        uint32_t* samples);

// The fifth-lane layouts' reader. Lane 4's b arrives with the frame after
// its own, so every frame comes out one frame late: a run's first frame out
// is the silent frame before the run (its b the host's initial carry).
class FifthLaneDecoder {
public:
    // `channels`: 8 (the pair a copy, given apart) or 10 (the pair is
    // channels 8 and 9).
    explicit FifthLaneDecoder(uint32_t channels) : mChannels(channels == 10 ? 10 : 8) {}
    uint32_t channels() const { return mChannels; }
    // A new run: the frame held back is silence again.
    void restart();
    // `frames` frames of a packet: `samples` gets frames x channels()
    // samples of the frames one earlier, `pair` (2 a frame, may be null)
    // their lane-4 pair.
    void decode(const uint8_t* packet, bool int964, uint32_t frames, uint32_t* samples,
                uint32_t* pair);

private:
    uint32_t mChannels;
    uint32_t mHeld[10] = {};
    uint32_t mHeldA = 0;
};

} // namespace hx::usb::devices::bitslice
