// The server host's float clients: what a float becomes in each physical
// format the plug-in may advertise, and what comes back as a float, as the
// device layer converts them.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

#include "platform/coreaudio/ServerHost.h"

namespace {

using hx::coreaudio::serverFloatToPhysical;
using hx::coreaudio::serverPhysicalToFloat;

AudioStreamBasicDescription integerFormat(UInt32 bytes, UInt32 channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = 48000;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    f.mChannelsPerFrame = channels;
    f.mBytesPerFrame = bytes * channels;
    f.mBitsPerChannel = bytes == 2 ? 16 : 24;
    return f;
}

struct Case {
    UInt32 bytes;
    std::int32_t n;    // the 24-bit value played as n / 8,388,608
    std::int32_t word; // the left-aligned word that returns
};

// Out: the 24-bit n aligned high in the sample's bytes; back: the word as
// (float) word / 2,147,483,520.0. 16-bit samples keep n's upper 16 bits.
TEST(ServerHostFloat, RampValuesRoundTripAsTheDeviceLayerConvertsThem) {
    const Case cases[] = {
        {4, 1, 256},
        {4, -1, -256},
        {4, 8388607, 8388607 * 256},
        {4, -8388608, INT32_MIN},
        {3, 12345, 12345 * 256},
        {3, -777777, -777777 * 256},
        {3, 8388607, 8388607 * 256},
        {2, 0x123456, 0x123400 * 256},
        {2, -2, -256 * 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, n " << c.n);
        const auto f = integerFormat(c.bytes, 2);
        const float played[2] = {float(double(c.n) / 8388608.0), 0.0f};
        std::vector<std::uint8_t> physical(f.mBytesPerFrame + 8, 0xEE);
        std::int32_t words[2];
        ASSERT_TRUE(serverFloatToPhysical(f, played, words, physical.data(), 1));
        // The first sample's bytes are n aligned high.
        std::uint32_t high = 0;
        for (UInt32 b = 0; b < c.bytes; ++b)
            high |= std::uint32_t(physical[b]) << (8 * (4 - c.bytes + b));
        const std::uint32_t expectedHigh =
            c.bytes == 2 ? (std::uint32_t(c.n) << 8) & 0xFFFF0000u : std::uint32_t(c.n) << 8;
        EXPECT_EQ(high, expectedHigh);
        EXPECT_EQ(physical[f.mBytesPerFrame], 0xEE) << "wrote past the frame";

        float back[2] = {-9.0f, -9.0f};
        ASSERT_TRUE(serverPhysicalToFloat(f, physical.data(), words, back, 1));
        const float expected = float(double(float(c.word)) / 2147483520.0);
        EXPECT_EQ(std::memcmp(&back[0], &expected, 4), 0) << back[0] << " vs " << expected;
        EXPECT_EQ(back[1], 0.0f);
    }
}

TEST(ServerHostFloat, OutOfRangeClampsAndNaNIsSilence) {
    const auto f = integerFormat(4, 4);
    const float played[4] = {1.0f, -1.5f, std::numeric_limits<float>::quiet_NaN(), 2.0f};
    std::int32_t physical[4];
    std::int32_t words[4];
    ASSERT_TRUE(serverFloatToPhysical(f, played, words, physical, 1));
    EXPECT_EQ(physical[0], 8388607 * 256);
    EXPECT_EQ(physical[1], INT32_MIN);
    EXPECT_EQ(physical[2], 0);
    EXPECT_EQ(physical[3], 8388607 * 256);
}

TEST(ServerHostFloat, FloatFormatsCopyAndOthersAreRefusedAsSilence) {
    AudioStreamBasicDescription fl{};
    fl.mFormatFlags = kAudioFormatFlagIsFloat;
    fl.mChannelsPerFrame = 2;
    fl.mBytesPerFrame = 8;
    const float played[4] = {0.25f, -0.5f, 0.125f, 1.5f};
    float physical[4] = {};
    std::int32_t words[4];
    ASSERT_TRUE(serverFloatToPhysical(fl, played, words, physical, 2));
    EXPECT_EQ(std::memcmp(physical, played, sizeof played), 0);

    AudioStreamBasicDescription odd = integerFormat(4, 2);
    odd.mFormatFlags = 0; // neither integer nor float
    std::uint8_t raw[16];
    std::memset(raw, 0x55, sizeof raw);
    EXPECT_FALSE(serverFloatToPhysical(odd, played, words, raw, 2));
    for (std::uint8_t b : raw)
        EXPECT_EQ(b, 0);
    float back[4] = {1, 1, 1, 1};
    EXPECT_FALSE(serverPhysicalToFloat(odd, raw, words, back, 2));
    for (float x : back)
        EXPECT_EQ(x, 0.0f);
}

} // namespace
