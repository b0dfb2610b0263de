// Sorvik channel packing of the audio thread's cycle, against a plain
// frame-by-frame statement of the layout: every channel count the usage
// lists can describe and a few past them, usage patterns of every shape,
// in place, in both directions.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/QnAudioPluginClassCommons.h"

namespace {

constexpr uint32_t kFrames = 5;

// The layout, frame by frame: packed, the k-th channel is the k-th channel
// in use and the rest are silent; unpacked, the reverse.
std::vector<int32_t> packedReference(const std::vector<int32_t>& in, uint32_t channels,
                                     const bool usage[16]) {
    std::vector<int32_t> out(in.size(), 0);
    for (uint32_t f = 0; f < kFrames; ++f) {
        uint32_t k = 0;
        for (uint32_t c = 0; c < channels && c < 16; ++c)
            if (usage[c]) out[f * channels + k++] = in[f * channels + c];
    }
    return out;
}

std::vector<int32_t> unpackedReference(const std::vector<int32_t>& in, uint32_t channels,
                                       const bool usage[16]) {
    std::vector<int32_t> out(in.size(), 0);
    for (uint32_t f = 0; f < kFrames; ++f) {
        uint32_t k = 0;
        for (uint32_t c = 0; c < channels && c < 16; ++c)
            if (usage[c]) out[f * channels + c] = in[f * channels + k++];
    }
    return out;
}

std::vector<int32_t> numbered(uint32_t channels) {
    std::vector<int32_t> v(size_t(channels) * kFrames);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = int32_t(i + 1);
    return v;
}

TEST(SorvikPacking, MatchesTheFrameByFrameLayout) {
    // Usage patterns as bit masks over the 16 list entries.
    const uint32_t patterns[] = {0x0000, 0xFFFF, 0x5555, 0xAAAA, 0x0001, 0x8000, 0x0F0F,
                                 0xF0F0, 0x0003, 0x0C00, 0x1248, 0x7FFE, 0x0005};
    const uint32_t counts[] = {1, 2, 3, 4, 6, 8, 10, 12, 15, 16, 17, 18, 24};
    for (uint32_t mask : patterns) {
        bool usage[16];
        for (uint32_t k = 0; k < 16; ++k)
            usage[k] = mask >> k & 1;
        for (uint32_t channels : counts) {
            SCOPED_TRACE(testing::Message() << "usage " << std::hex << mask << std::dec << ", "
                                            << channels << " channels");
            const auto original = numbered(channels);
            auto packed = original;
            QnAudioPluginClassCommons::packSorvikOutput(packed.data(), channels, kFrames, usage, 4);
            EXPECT_EQ(packed, packedReference(original, channels, usage));
            auto unpacked = original;
            QnAudioPluginClassCommons::unpackSorvikInput(unpacked.data(), channels, kFrames, usage);
            EXPECT_EQ(unpacked, unpackedReference(original, channels, usage));
            // Unpacking what was packed gives back every channel in use.
            QnAudioPluginClassCommons::unpackSorvikInput(packed.data(), channels, kFrames, usage);
            for (uint32_t i = 0; i < original.size(); ++i) {
                const uint32_t c = i % channels;
                EXPECT_EQ(packed[i], c < 16 && usage[c] ? original[i] : 0) << "sample " << i;
            }
        }
    }
}

TEST(SorvikPacking, NoFramesOrNoChannelsTouchNothing) {
    const bool usage[16] = {true, false, true};
    std::vector<int32_t> samples{7, 8, 9};
    QnAudioPluginClassCommons::packSorvikOutput(samples.data(), 3, 0, usage, 4);
    QnAudioPluginClassCommons::unpackSorvikInput(samples.data(), 3, 0, usage);
    QnAudioPluginClassCommons::packSorvikOutput(samples.data(), 0, 1, usage, 4);
    QnAudioPluginClassCommons::unpackSorvikInput(samples.data(), 0, 1, usage);
    EXPECT_EQ(samples, (std::vector<int32_t>{7, 8, 9}));
}

} // namespace
