// Reading a WAV file to play: PCM of 16, 24 or 32 bits (integer) or 32 bits
// (float), little-endian, as samples from -1 to 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::sim {

struct WavSound {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    bool isFloat = false;
    std::vector<float> samples; // interleaved, frames x channels
    size_t frames() const { return channels ? samples.size() / channels : 0; }
};

// Decodes a whole file's bytes. False with a one-line reason in error when
// the header is not a WAV's, the format is not one of the above, or a
// chunk's length runs past the end of the file (a cut file) or the data is
// not a whole number of frames.
bool decodeWav(const std::vector<uint8_t>& bytes, WavSound& out, std::string& error);

// Reads path (a host path) and decodes it.
bool readWav(const std::string& path, WavSound& out, std::string& error);

} // namespace hx::sim
