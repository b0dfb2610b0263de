// Peak meters and the meter choice for the maker's own interfaces; the
// MIDI and control port's streaming hooks without a port interface.
#include "driver/engine/transport/LevelMeters.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/base/HXLog.h"

namespace {

TEST(LevelMeters, PeaksRiseFromTheTopByteAndMinus128LeavesThemAlone) {
    const struct {
        uint32_t sample;
        char before, after;
    } cases[] = {
        {0x00000000, 0, 0},    {0x00000000, 5, 5},       {0x80000000, 3, 3}, // -128: no magnitude
        {0x81000000, 3, 127},  {0x7F000000, 0, 127},     {0x12FFFF00, 0, 0x12},
        {0xF0000000, 0, 0x10}, {0x05000000, 0x40, 0x40},
    };
    for (const auto& c : cases) {
        char levels[2] = {c.before, 9};
        uint32_t frame[2] = {c.sample, 0};
        EXPECT_EQ(LevelProcessor2CH(levels, reinterpret_cast<char*>(frame)), 2);
        EXPECT_EQ(levels[0], c.after) << std::hex << c.sample;
        EXPECT_EQ(levels[1], 9);
    }
    char levels[18] = {};
    uint32_t frame[18];
    for (int k = 0; k < 18; ++k)
        frame[k] = uint32_t(k + 1) << 24;
    EXPECT_EQ(LevelProcessor18CH(levels, reinterpret_cast<char*>(frame)), 18);
    for (int k = 0; k < 18; ++k)
        EXPECT_EQ(levels[k], k + 1);
}

TEST(LevelMeters, TheMakersInterfacesMeterOnlyTheirWiderInputsAtHighSpeed) {
    const struct {
        bool highSpeed;
        uint32_t inputs;
        LevelProcessorFnc input;
    } cases[] = {{true, 2, nullptr},  {false, 2, nullptr},          {true, 4, LevelProcessor4CH},
                 {false, 4, nullptr}, {true, 6, LevelProcessor6CH}, {true, 8, nullptr}};
    for (const auto& c : cases) {
        LevelProcessorFnc in = LevelProcessor2CH, out = LevelProcessor2CH;
        chooseKorvexMeters(c.highSpeed, c.inputs, in, out);
        EXPECT_EQ(in, c.input) << c.highSpeed << " " << c.inputs;
        EXPECT_EQ(out, nullptr);
    }
}

} // namespace
