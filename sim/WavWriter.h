// The recording as a WAV file: 24-bit PCM, little-endian, from the input
// ring's left-aligned 32-bit samples (the low byte carries nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::sim {

// The whole file in memory: 44-byte header, then frames x channels samples,
// each the ring sample shifted right by 8 and stored in 3 bytes. Empty when
// the data would not fit the format's 32-bit sizes or channels is 0.
std::vector<uint8_t> encodeWav24(uint32_t rate, uint16_t channels, const int32_t* samples,
                                 size_t frames);

// Writes encodeWav24's bytes to path, creating missing folders. The file is
// replaced only once every byte is written. False with a reason in error
// when it cannot.
bool writeWav24(const std::string& path, uint32_t rate, uint16_t channels, const int32_t* samples,
                size_t frames, std::string& error);

// Writes text to path, creating missing folders.
bool writeText(const std::string& path, const std::string& text, std::string& error);

// Before a run: creates path's folders, removes a file an earlier run left
// there (a run that fails must not leave an older file looking like its
// own) and proves a file can be written there. False with a reason in error.
bool prepareOutput(const std::string& path, std::string& error);

// Renames path to path.1 (replacing it), when path exists.
void keepPrevious(const std::string& path);

} // namespace hx::sim
