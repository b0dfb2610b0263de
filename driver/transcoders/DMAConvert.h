// Bit-sliced DMA converters: the argument record they all share, their
// function-pointer type and the portable (_C) members.
//
// Wire format, in short. A wire unit (a byte, or a 16-bit little-endian word
// on the 18..32-channel input streams) carries one bit of each channel pair:
// bit k of a unit is lane k, and lane k carries channels 2k and 2k+1.
//  - Input (decoder) frame: 64 units. Units 0..23 hold bits 31..8 of channel
//    2k, units 32..55 those of channel 2k+1, most significant bit first;
//    units 24..31 and 56..63 carry nothing. A call takes one 512-byte block:
//    8 frames of byte units or 4 frames of 16-bit units.
//  - Output (encoder) frame: 48 byte units, units 0..23 channel 2k and units
//    24..47 channel 2k+1. A call writes 10 frames (480 bytes), or 20 frames
//    into a 964-byte interrupt packet with a 2-byte hole before frames 9 and
//    19 (the _Int964 members).
//  - Fifth-lane members: lane 4 carries one pair (a, b) skewed by half a
//    frame; the odd half of frame f holds a of frame f, the even half holds b
//    of frame f-1, taken from the caller's carried word on the first frame.
//  - Brava product: 32-bit words reordered per 32-word group (decoders), or
//    3-byte slots of bits 31..8 (encoders).
//
// Ring side: signed 32-bit words, 24-bit audio in bits 31..8, interleaved.
//
// Every member runs on the streaming engine's real-time thread: no
// allocation, no lock, no logging. Each returns its nominal count whatever
// the pointers are (samples made for decoders, PCM bytes consumed for
// encoders), so the engine can ask a converter for its block size by
// passing a null record.
#pragma once

#include <cstddef>
#include <cstdint>

// The one argument of every DMA decoder and encoder. The hand-written
// variants address its fields by offset, so the layout is fixed.
struct DMA_CONVERT_DATA {
    const void* src;     // decoders: the wire block; encoders: the first PCM sample
    void* dst;           // decoders: the first PCM sample; encoders: the wire block
    int32_t* carry;      // fifth-lane encoders: the sample carried between calls
    uint64_t scratch[6]; // working storage of the hand-written variants
    uint32_t framesLeft; // frame counter of the hand-written variants
};

static_assert(sizeof(void*) == 8, "the DMA record holds 64-bit pointers");
static_assert(offsetof(DMA_CONVERT_DATA, src) == 0);
static_assert(offsetof(DMA_CONVERT_DATA, dst) == 8);
static_assert(offsetof(DMA_CONVERT_DATA, carry) == 16);
static_assert(offsetof(DMA_CONVERT_DATA, scratch) == 24);
static_assert(offsetof(DMA_CONVERT_DATA, framesLeft) == 72);
static_assert(sizeof(DMA_CONVERT_DATA) == 80);

// A converter slot: decoders and encoders share this shape.
typedef uint64_t (*DMA_CONVERT_FNC)(DMA_CONVERT_DATA* data);

extern "C" {

// Bit-sliced decoders, byte units, 8 frames a 512-byte block.
// Result: samples made (channels x 8).
uint64_t dmaDecode16To02At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To04At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To06At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To08At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To10At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To12At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To14At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To16At32Bit_C(DMA_CONVERT_DATA* data);

// Bit-sliced decoders, 16-bit little-endian units, 4 frames a 512-byte block.
// Result: samples made (channels x 4).
uint64_t dmaDecode32To18At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To20At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To22At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To24At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To26At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To28At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To30At32Bit_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To32At32Bit_C(DMA_CONVERT_DATA* data);

// Brava product and the plain copy; each returns 128.
uint64_t dmaDecode16To08At32Bit_Brava_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To16At32Bit_Brava_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To32At32Bit_Brava_C(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To32At32Bit_NoPuzzle_C(DMA_CONVERT_DATA* data);

// Plain bit-sliced encoders, 10 frames into 480 bytes.
// Result: PCM bytes consumed (channels x 4 x 10).
uint64_t dmaEncode02_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode04_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode06_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode12_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode14_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode16_C(DMA_CONVERT_DATA* data);

// Fifth-lane encoders (skewed pair on lane 4, carried word), 10 frames.
uint64_t dmaEncode10_12_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_34_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_56_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_78_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_C(DMA_CONVERT_DATA* data);

// Interrupt-packet encoders, 20 frames into a 964-byte packet.
uint64_t dmaEncode06_Int964_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_Int964_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode16_Int964_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_Int964_C(DMA_CONVERT_DATA* data);

// Brava product: 160 samples into 160 three-byte slots; each returns 640.
uint64_t dmaEncode08_Brava_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode16_Brava_C(DMA_CONVERT_DATA* data);
uint64_t dmaEncode32_Brava_C(DMA_CONVERT_DATA* data);

} // extern "C"
