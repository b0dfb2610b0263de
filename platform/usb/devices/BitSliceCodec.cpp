#include "platform/usb/devices/BitSliceCodec.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices::bitslice {

namespace {

// Lanes of one unit from bit `bit` (23..0) of channels first, first + 2, ...
uint32_t laneWord(const uint32_t* frame, uint32_t channels, uint32_t first, uint32_t bit) {
    uint32_t word = 0;
    for (uint32_t c = first, lane = 0; c < channels; c += 2, ++lane)
        word |= ((frame[c] >> bit) & 1u) << lane;
    return word;
}

// The 24-bit value of lane `lane` in the 24 byte units at `units`.
uint32_t laneValue(const uint8_t* units, uint32_t lane) {
    uint32_t s = 0;
    for (uint32_t i = 0; i < 24; ++i)
        s = (s << 1) | ((units[i] >> lane) & 1u);
    return s;
}

} // namespace

void encodeInputBlock(const uint32_t* samples, uint32_t channels, uint32_t unit, uint8_t* block) {
    std::memset(block, 0, kBlockBytes);
    const uint32_t ub = unit == 2 ? 2 : 1;
    const uint32_t sent = std::min(channels, 16 * ub);
    for (uint32_t f = 0; f < framesPerBlock(ub); ++f) {
        const uint32_t* frame = samples + (size_t)f * channels;
        uint8_t* out = block + (size_t)f * 64 * ub;
        for (uint32_t i = 0; i < 24; ++i) {
            for (uint32_t half = 0; half < 2; ++half) {
                const uint32_t w = laneWord(frame, sent, half, 23 - i);
                uint8_t* unit = out + (size_t)(i + 32 * half) * ub;
                unit[0] = (uint8_t)w;
                if (ub == 2) unit[1] = (uint8_t)(w >> 8);
            }
        }
    }
}

void decodeOutputFrames(const uint8_t* packet, bool int964, uint32_t frames, uint32_t channels,
                        uint32_t* samples) {
    for (uint32_t f = 0; f < frames; ++f) {
        const uint8_t* in = packet + outFrameOffset(int964, f);
        uint32_t* frame = samples + (size_t)f * channels;
        for (uint32_t c = 0; c < channels; ++c)
            frame[c] = laneValue(in + (c % 2) * 24, c / 2);
    }
}

void FifthLaneDecoder::restart() {
    for (uint32_t& s : mHeld)
        s = 0;
    mHeldA = 0;
}

void FifthLaneDecoder::decode(const uint8_t* packet, bool int964, uint32_t frames,
                              uint32_t* samples, uint32_t* pair) {
    for (uint32_t f = 0; f < frames; ++f) {
        const uint8_t* in = packet + outFrameOffset(int964, f);
        // The even half's lane 4 completes the frame held back.
        const uint32_t b = laneValue(in, 4);
        if (mChannels == 10) mHeld[9] = b;
        for (uint32_t c = 0; c < mChannels; ++c)
            samples[(size_t)f * mChannels + c] = mHeld[c];
        if (pair) {
            pair[2 * f] = mHeldA;
            pair[2 * f + 1] = b;
        }
        for (uint32_t c = 0; c < 8; ++c)
            mHeld[c] = laneValue(in + (c % 2) * 24, c / 2);
        mHeldA = laneValue(in + 24, 4);
        if (mChannels == 10) mHeld[8] = mHeldA;
    }
}

} // namespace hx::usb::devices::bitslice
