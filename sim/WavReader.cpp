#include "sim/WavReader.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace hx::sim {

namespace {

constexpr uint16_t kFormatPCM = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The sound a device plays: no more channels than a device of the suite
// has, no rate above what it runs at.
constexpr uint16_t kMaxChannels = 32;
constexpr uint32_t kMaxRate = 384000;

uint16_t u16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

float sampleAt(const uint8_t* p, uint16_t bits, bool isFloat) {
    if (isFloat) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    switch (bits) {
    case 16:
        return float(int16_t(u16(p))) / 32768.0f;
    case 24:
        return float(int32_t(uint32_t(p[0] | (p[1] << 8) | (p[2] << 16)) << 8) >> 8) / 8388608.0f;
    default:
        return float(double(int32_t(u32(p))) / 2147483648.0);
    }
}

} // namespace

bool decodeWav(const std::vector<uint8_t>& bytes, WavSound& out, std::string& error) {
    const size_t n = bytes.size();
    const uint8_t* b = bytes.data();
    if (n < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) {
        error = "not a WAV file: no RIFF/WAVE header";
        return false;
    }
    bool haveFormat = false;
    uint16_t tag = 0, channels = 0, blockAlign = 0, bits = 0;
    uint32_t rate = 0;
    size_t at = 12;
    while (at + 8 <= n) {
        const uint8_t* chunk = b + at;
        const uint32_t size = u32(chunk + 4);
        const size_t body = at + 8;
        if (size > n - body) {
            error = "the WAV file is cut short: its \"" + std::string(chunk, chunk + 4) +
                    "\" chunk holds " + std::to_string(size) + " bytes, the file " +
                    std::to_string(n - body);
            return false;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) {
                error = "the WAV file's format chunk is too short";
                return false;
            }
            tag = u16(b + body);
            channels = u16(b + body + 2);
            rate = u32(b + body + 4);
            blockAlign = u16(b + body + 12);
            bits = u16(b + body + 14);
            if (tag == kFormatExtensible && size >= 40) tag = u16(b + body + 24);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                error = "the WAV file has no format chunk before its data";
                return false;
            }
            const bool isFloat = tag == kFormatFloat;
            const bool pcm = tag == kFormatPCM && (bits == 16 || bits == 24 || bits == 32);
            if (!(pcm || (isFloat && bits == 32)) || channels == 0 || channels > kMaxChannels ||
                rate == 0 || rate > kMaxRate || blockAlign != channels * (bits / 8)) {
                error = "WAV format not played: format " + std::to_string(tag) + ", " +
                        std::to_string(bits) + " bit, " + std::to_string(channels) + " channels, " +
                        std::to_string(rate) +
                        " Hz (16, 24 or 32-bit PCM or 32-bit float, 1 to 32 channels)";
                return false;
            }
            if (size % blockAlign != 0) {
                error = "the WAV file's data (" + std::to_string(size) +
                        " bytes) is not a whole number of " + std::to_string(blockAlign) +
                        "-byte frames";
                return false;
            }
            out.rate = rate;
            out.channels = channels;
            out.bits = bits;
            out.isFloat = isFloat;
            const size_t bytesPerSample = bits / 8;
            out.samples.resize(size / bytesPerSample);
            for (size_t i = 0; i < out.samples.size(); ++i)
                out.samples[i] = sampleAt(b + body + i * bytesPerSample, bits, isFloat);
            return true;
        }
        at = body + size + (size & 1);
    }
    if (at < n)
        error = "the WAV file is cut short: " + std::to_string(n - at) +
                " bytes where a chunk's 8-byte head belongs";
    else
        error = haveFormat ? "the WAV file has no data chunk" : "the WAV file has no format chunk";
    return false;
}

bool readWav(const std::string& path, WavSound& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (!decodeWav(bytes, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace hx::sim
