#include "platform/usb/devices/BravaCodec.h"

namespace hx::usb::devices::brava {

void encodeInputBlock(const uint32_t* samples, uint32_t channels, uint8_t* block) {
    const uint32_t frames = framesPerGroup(channels);
    for (uint32_t g = 0; g < 4; ++g) {
        const uint32_t* group = samples + (size_t)g * 32;
        uint8_t* out = block + (size_t)g * 128;
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t word = (group[f * channels + c] & 0xFFFFFF) << 8;
                uint8_t* w = out + 4 * (frames * c + f);
                w[0] = (uint8_t)word;
                w[1] = (uint8_t)(word >> 8);
                w[2] = (uint8_t)(word >> 16);
                w[3] = (uint8_t)(word >> 24);
            }
    }
}

void decodeOutputPacket(const uint8_t* packet, uint32_t channels, uint32_t* samples) {
    const uint32_t frames = framesPerGroup(channels);
    for (uint32_t g = 0; g < 5; ++g) {
        const uint8_t* in = packet + (size_t)g * 96;
        uint32_t* group = samples + (size_t)g * 32;
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint8_t* slot = in + 3 * (frames * c + f);
                group[f * channels + c] = slot[0] | slot[1] << 8 | (uint32_t)slot[2] << 16;
            }
    }
}

} // namespace hx::usb::devices::brava
