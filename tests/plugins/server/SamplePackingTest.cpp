// The IO cycle's sample conversion between 4-byte ring samples and the
// host's packed 2- and 3-byte samples: every path this processor has, at
// every count from 0 to 40, against the byte layout, on input buffers of
// exactly the count's bytes (read past under asan: a report) and output
// buffers between guard bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugins/server/QnASSamplePacking.h"

namespace {

using qnas::samples::Path;

constexpr std::size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

// Every path the processor offers, by name.
std::vector<std::pair<Path, std::string>> paths() {
    std::vector<std::pair<Path, std::string>> out{{Path::Scalar, "scalar"}, {Path::Best, "best"}};
    if (qnas::samples::available(Path::Ssse3)) out.push_back({Path::Ssse3, "ssse3"});
    if (qnas::samples::available(Path::Avx2)) out.push_back({Path::Avx2, "avx2"});
    return out;
}

// Samples with every byte distinct from its neighbours' and both signs,
// the extremes among them.
std::vector<int32_t> samples(std::size_t n) {
    std::vector<int32_t> s(n);
    uint32_t x = 0x9E3779B9u;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = int32_t(x);
    }
    static const int32_t kEdges[] = {INT32_MIN, INT32_MAX, 0, -1, 0x7FFFFF00, int32_t(0x80000100)};
    for (std::size_t i = 0; i < n && i < 6; ++i)
        s[n - 1 - i] = kEdges[i];
    return s;
}

// An output area of `bytes` between guard bytes.
struct Guarded {
    explicit Guarded(std::size_t bytes) : size(bytes), area(bytes + 2 * kGuard, kGuardByte) {}
    uint8_t* data() { return area.data() + kGuard; }
    bool intact() const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (area[i] != kGuardByte || area[kGuard + size + i] != kGuardByte) return false;
        return true;
    }
    std::size_t size;
    std::vector<uint8_t> area;
};

TEST(SamplePacking, PackKeepsEachSamplesTopBytesInOrder) {
    for (const auto& [path, name] : paths())
        for (int B : {2, 3})
            for (std::size_t n = 0; n <= 40; ++n) {
                SCOPED_TRACE(name + ", " + std::to_string(B) + " bytes, " + std::to_string(n));
                const std::vector<int32_t> in = samples(n); // exactly n samples
                Guarded out(n * std::size_t(B));
                std::memset(out.data(), 0x5A, out.size);
                qnas::samples::pack(B, in.data(), out.data(), n, path);
                ASSERT_TRUE(out.intact());
                for (std::size_t i = 0; i < n; ++i)
                    for (int b = 0; b < B; ++b)
                        ASSERT_EQ(out.data()[i * B + b],
                                  uint8_t(uint32_t(in[i]) >> (8 * (4 - B + b))))
                            << "sample " << i << " byte " << b;
            }
}

TEST(SamplePacking, UnpackPutsTheBytesOnTopOfZeroLowBytes) {
    for (const auto& [path, name] : paths())
        for (int B : {2, 3})
            for (std::size_t n = 0; n <= 40; ++n) {
                SCOPED_TRACE(name + ", " + std::to_string(B) + " bytes, " + std::to_string(n));
                std::vector<uint8_t> in(n * std::size_t(B)); // exactly the count's bytes
                for (std::size_t k = 0; k < in.size(); ++k)
                    in[k] = uint8_t(k * 37 + 11);
                Guarded out(n * 4);
                std::memset(out.data(), 0x5A, out.size);
                qnas::samples::unpack(B, in.data(), reinterpret_cast<int32_t*>(out.data()), n,
                                      path);
                ASSERT_TRUE(out.intact());
                for (std::size_t i = 0; i < n; ++i) {
                    uint32_t expected = 0;
                    for (int b = 0; b < B; ++b)
                        expected |= uint32_t(in[i * B + b]) << (8 * (4 - B + b));
                    int32_t got;
                    std::memcpy(&got, out.data() + 4 * i, 4);
                    ASSERT_EQ(uint32_t(got), expected) << "sample " << i;
                }
            }
}

// Packing then unpacking gives each sample with its dropped low bytes zero,
// on every path alike.
TEST(SamplePacking, ARoundTripDropsOnlyTheLowBytes) {
    const std::size_t n = 1024 + 7;
    const std::vector<int32_t> in = samples(n);
    for (const auto& [path, name] : paths())
        for (int B : {2, 3}) {
            SCOPED_TRACE(name + ", " + std::to_string(B) + " bytes");
            std::vector<uint8_t> packed(n * std::size_t(B));
            std::vector<int32_t> back(n);
            qnas::samples::pack(B, in.data(), packed.data(), n, path);
            qnas::samples::unpack(B, packed.data(), back.data(), n, path);
            const uint32_t keep = B == 3 ? 0xFFFFFF00u : 0xFFFF0000u;
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(uint32_t(back[i]), uint32_t(in[i]) & keep) << "sample " << i;
        }
}

} // namespace
