#include "sim/WavWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace hx::sim {

namespace {

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

void putTag(std::vector<uint8_t>& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}

} // namespace

std::vector<uint8_t> encodeWav24(uint32_t rate, uint16_t channels, const int32_t* samples,
                                 size_t frames) {
    constexpr uint32_t kHeader = 44;
    const uint64_t blockAlign = uint64_t(channels) * 3;
    const uint64_t dataBytes = uint64_t(frames) * blockAlign;
    // RIFF's size field counts everything after itself; data plus header
    // must stay within 32 bits.
    if (channels == 0 || rate == 0 || dataBytes + kHeader - 8 > 0xFFFFFFFFull ||
        uint64_t(rate) * blockAlign > 0xFFFFFFFFull)
        return {};

    std::vector<uint8_t> b;
    b.reserve(size_t(kHeader + dataBytes));
    putTag(b, "RIFF");
    put32(b, uint32_t(dataBytes + kHeader - 8));
    putTag(b, "WAVE");
    putTag(b, "fmt ");
    put32(b, 16);
    put16(b, 1); // integer PCM
    put16(b, channels);
    put32(b, rate);
    put32(b, uint32_t(rate * blockAlign)); // bytes per second
    put16(b, uint16_t(blockAlign));
    put16(b, 24);
    putTag(b, "data");
    put32(b, uint32_t(dataBytes));
    const size_t count = frames * channels;
    for (size_t i = 0; i < count; ++i) {
        // Arithmetic shift keeps the sign; the low three bytes of the
        // result are the 24-bit two's-complement sample.
        const uint32_t s = uint32_t(samples[i] >> 8);
        b.push_back(uint8_t(s));
        b.push_back(uint8_t(s >> 8));
        b.push_back(uint8_t(s >> 16));
    }
    return b;
}

namespace {

bool makeParent(const std::string& path, std::string& error) {
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (ec) {
        error = "cannot create " + parent.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// The bytes go to a temporary name beside the file and replace it only once
// they are all written, so a reader never sees half a file.
bool writeBytes(const std::string& path, const void* data, size_t size, std::string& error) {
    if (!makeParent(path, error)) return false;
    const std::string part = path + ".part";
    std::FILE* f = std::fopen(part.c_str(), "wb");
    if (!f) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data, 1, size, f) == size;
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(part.c_str(), path.c_str()) != 0) {
        error =
            "cannot write " + path + ": " + std::strerror(written && closed ? errno : writeErrno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}

} // namespace

bool writeWav24(const std::string& path, uint32_t rate, uint16_t channels, const int32_t* samples,
                size_t frames, std::string& error) {
    const std::vector<uint8_t> bytes = encodeWav24(rate, channels, samples, frames);
    if (bytes.empty()) {
        error = "the recording does not fit a WAV file";
        return false;
    }
    return writeBytes(path, bytes.data(), bytes.size(), error);
}

bool writeText(const std::string& path, const std::string& text, std::string& error) {
    return writeBytes(path, text.data(), text.size(), error);
}

bool prepareOutput(const std::string& path, std::string& error) {
    if (!makeParent(path, error)) return false;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string probeError;
    if (!writeBytes(path, "", 0, probeError)) {
        error = probeError;
        return false;
    }
    std::remove(path.c_str());
    return true;
}

void keepPrevious(const std::string& path) {
    std::rename(path.c_str(), (path + ".1").c_str());
}

} // namespace hx::sim
