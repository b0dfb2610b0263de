#include <gtest/gtest.h>

#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/clients/AJStatusParsers.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "platform/base/HXClock.h"

namespace {

// The port as the parsers see it, recording every effect.
class FakePort : public AJStatusSink {
public:
    explicit FakePort(uint32_t flags, uint32_t packet = 512) : mFlags(flags), mPacket(packet) {}
    AJStatusFields& fields() override { return f; }
    uint32_t productFlags() const override { return mFlags; }
    uint32_t packetSize() const override { return mPacket; }
    int32_t* levels() override { return lv; }
    void stateChange(uint32_t code) override { changes.push_back(code); }
    void setReadChannels(int in, int out) override { channels = {in, out}; }
    bool midiInputReady() const override { return attached; }
    uint32_t putMidiInput(int ring, const uint8_t* b, uint32_t n) override {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (b[i] != 0xFD) midi[ring].push_back(b[i]), ++kept;
        return kept;
    }
    void triggerClient() override { ++triggers; }

    AJStatusFields f;
    int32_t lv[kAJLevelEntries] = {};
    std::vector<uint32_t> changes;
    std::pair<int, int> channels{0, 0};
    bool attached = true;
    std::vector<uint8_t> midi[2];
    int triggers = 0;

private:
    uint32_t mFlags;
    uint32_t mPacket;
};

std::vector<uint8_t> events(std::initializer_list<std::pair<uint8_t, uint8_t>> ev) {
    std::vector<uint8_t> p;
    for (auto [cc, v] : ev)
        p.insert(p.end(), {0x0B, 0xB0, cc, v});
    p.insert(p.end(), {0, 0, 0, 0});
    return p;
}

void parse(AJStatusParser parser, FakePort& port, const std::vector<uint8_t>& p) {
    parser(port, p.data(), uint32_t(p.size()));
}

TEST(HX5100Parser, StatusValueChangesOnlyWhenItDiffers) {
    const std::vector<uint8_t> packet = {0x0B, 0xB0, 0x66, 0x05, 0, 0, 0, 0};
    FakePort same(kZrProductHX5100);
    same.f.statusValue1 = 5;
    parse(inACR_HX5100, same, packet);
    EXPECT_TRUE(same.changes.empty());

    FakePort other(kZrProductHX5100);
    other.f.statusValue1 = 4;
    parse(inACR_HX5100, other, packet);
    EXPECT_EQ(other.f.statusValue1, 5);
    EXPECT_EQ(other.changes, std::vector<uint32_t>{STC_MixerValuesChanged});
}

TEST(HX5100Parser, LevelsAndTheirCounter) {
    FakePort port(kZrProductHX5100);
    parse(inACR_HX5100, port,
          events({{107, 10}, {108, 11}, {115, 12}, {116, 13}, {117, 14}, {107, 15}}));
    EXPECT_EQ(port.lv[6], 15);
    EXPECT_EQ(port.lv[7], 11);
    EXPECT_EQ(port.lv[14], 12);
    EXPECT_EQ(port.lv[15], 13);
    EXPECT_EQ(port.lv[16], 14);
    EXPECT_EQ(port.lv[31], 2);
}

TEST(HX5100Parser, ReadsOnlyTransferredWordsAndStopsAtAForeignWord) {
    FakePort port(kZrProductHX5100);
    auto p = events({{102, 7}, {103, 9}});
    parse(inACR_HX5100, port, {p.begin(), p.begin() + 7}); // second word cut short
    EXPECT_EQ(port.f.statusValue1, 7);
    EXPECT_EQ(port.f.statusValue2, 0);

    FakePort foreign(kZrProductHX5100);
    parse(inACR_HX5100, foreign, {0x0B, 0x90, 0x66, 0x01, 0x0B, 0xB0, 0x66, 0x02});
    EXPECT_EQ(foreign.f.statusValue1, 0);
}

TEST(HX5100Parser, ModeWordUnknownIgnoresTheButton) {
    FakePort port(kZrProductHX5100);
    parse(inACR_HX5100, port, events({{104, 0x00}, {104, 0x02}}));
    EXPECT_TRUE(port.changes.empty());
    EXPECT_EQ(port.f.modeWord, kAJModeWordUnknown);
}

TEST(HX5100Parser, LaunchWindowOnTheTestClock) {
    struct Case {
        uint64_t heldNanos;
        bool launches;
    };
    const Case cases[] = {{2999000000000ull, true}, {3000000000000ull, false}, {1000000ull, true}};
    for (const auto& c : cases) {
        hx::clock::VirtualClock clock;
        FakePort port(kZrProductHX5100);
        port.f.modeWord = 0x02;                           // button up
        parse(inACR_HX5100, port, events({{104, 0x00}})); // press
        EXPECT_EQ(port.f.launchButtonState, 1u);
        EXPECT_EQ(port.f.modeWord, 0x00);
        clock.runFor(c.heldNanos);
        parse(inACR_HX5100, port, events({{104, 0x02}})); // release
        EXPECT_EQ(port.changes.size(), c.launches ? 1u : 0u) << c.heldNanos;
        if (c.launches) {
            EXPECT_EQ(port.changes[0], uint32_t(STC_LAUNCHCONTROLPANEL));
        }
        EXPECT_EQ(port.f.launchButtonState, 0u);
    }
}

TEST(HX5100Parser, OtherProductsLaunchOnAClearBitAndKeepOtherModeBits) {
    FakePort port(kZrProductLX880);
    port.f.modeWord = 0x1A;
    parse(inACR_HX5100, port, events({{104, 0x00}}));
    EXPECT_EQ(port.changes, std::vector<uint32_t>{STC_LAUNCHCONTROLPANEL});
    EXPECT_EQ(port.f.modeWord, 0x18);
}

TEST(ByteParsers, MoveFixedPositionsOfTheTransferredBytes) {
    const std::vector<uint8_t> p = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct Case {
        AJStatusParser parser;
        uint32_t transferred;
        std::vector<uint8_t> ring0, ring1;
    };
    const Case cases[] = {
        {inACR_Reg, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {}},
        {inACR_M4_M4_C1, 9, {1, 2, 3, 4}, {5, 6, 7, 8}},
        {inACR_M4_M4_C1, 6, {1, 2, 3, 4}, {5, 6}},
        {inACR_M4_C1, 9, {1, 2, 3, 4}, {}},
        {inACR_M4_C1, 2, {1, 2}, {}},
        {inACR_M2, 9, {1, 2}, {}},
        {inACR_M1_C1, 9, {1}, {}},
        {inACR_M1_C1, 0, {}, {}},
        {inACR_RX5, 9, {1, 2, 3, 4, 5, 6, 7, 8}, {}},
        {inACR_RX5, 3, {1, 2, 3}, {}},
    };
    for (const auto& c : cases) {
        FakePort port(0, 9);
        c.parser(port, p.data(), c.transferred);
        EXPECT_EQ(port.midi[0], c.ring0);
        EXPECT_EQ(port.midi[1], c.ring1);
        EXPECT_EQ(port.triggers, c.ring0.empty() && c.ring1.empty() ? 0 : 1 + !c.ring1.empty());
    }
}

TEST(ByteParsers, NoClientOrALeadingNoByteMovesNothing) {
    const uint8_t fd[] = {0xFD, 0x90};
    FakePort port(0, 9);
    inACR_M1_C1(port, fd, 2);
    EXPECT_TRUE(port.midi[0].empty());
    port.attached = false;
    const uint8_t b[] = {0x90, 0x40};
    inACR_Reg(port, b, 2);
    EXPECT_TRUE(port.midi[0].empty());
    EXPECT_EQ(port.triggers, 0);
}

// ---- LX420 ----------------------------------------------------------------

TEST(LX420Parser, ModeWordRules) {
    struct Case {
        uint32_t product;
        uint16_t before;
        uint8_t value;
        std::vector<uint32_t> changes;
        uint8_t reconfigure;
        uint32_t selector;
        std::pair<int, int> channels;
    };
    const Case cases[] = {
        // Unknown: taken, nothing else.
        {kZrProductLX420, kAJModeWordUnknown, 0x08, {}, 0, 9, {0, 0}},
        // Same value: nothing.
        {kZrProductLX420, 0x0A, 0x0A, {}, 0, 9, {0, 0}},
        // Bits 1 and 2 kept: user configuration and reconfiguration.
        {kZrProductLX420, 0x02, 0x0A, {STC_ChannelModeChanged}, 1, 1, {4, 6}},
        {kZrProductLX420, 0x0A, 0x02, {STC_ChannelModeChanged}, 1, 2, {6, 4}},
        {kZrProductLX420, 0x02, 0x12, {STC_ChannelModeChanged}, 1, 0, {2, 2}},
        {kZrProductLX4xxFurther, 0x02, 0x0A, {STC_ChannelModeChanged}, 1, 9, {2, 2}},
        // Bit 2 changed: user configuration only.
        {kZrProductLX420, 0x02, 0x06, {STC_ChannelModeChanged}, 0, 9, {0, 0}},
        // Bit 1 cleared: the button, a launch at once on a non-HX product.
        {kZrProductLX420, 0x02, 0x00, {STC_LAUNCHCONTROLPANEL}, 0, 9, {0, 0}},
        // HX-5100 and LX880 clear both notes.
        {kZrProductHX5100, 0x02, 0x0A, {}, 0, 9, {0, 0}},
        {kZrProductLX880, 0x02, 0x0A, {}, 0, 9, {0, 0}},
    };
    for (const auto& c : cases) {
        FakePort port(c.product);
        port.f.modeWord = c.before;
        port.f.inputSelector = 9;
        parse(inACR_LX420, port, events({{104, c.value}}));
        EXPECT_EQ(port.f.modeWord, c.value);
        EXPECT_EQ(port.changes, c.changes) << int(c.value);
        EXPECT_EQ(port.f.reconfigurePending, c.reconfigure) << int(c.value);
        EXPECT_EQ(port.f.inputSelector, c.selector) << int(c.value);
        EXPECT_EQ(port.channels, c.channels) << int(c.value);
    }
}

TEST(LX420Parser, LevelCounterCounts108) {
    FakePort port(kZrProductLX420);
    parse(inACR_LX420, port, events({{107, 1}, {108, 2}, {108, 3}, {117, 4}}));
    EXPECT_EQ(port.lv[6], 1);
    EXPECT_EQ(port.lv[7], 3);
    EXPECT_EQ(port.lv[16], 4);
    EXPECT_EQ(port.lv[31], 2);
}

// Footswitches: one event per packet, as the device sends them.
struct FootswitchStep {
    uint8_t cc, value;
    uint64_t afterMillis; // clock advance before the packet
    std::vector<uint8_t> midi;
    uint32_t state;
};

std::vector<uint8_t> noteOn(uint8_t k) {
    return {0x90, k, 0x7F};
}
std::vector<uint8_t> noteOnOff(uint8_t k) {
    return {0x90, k, 0x7F, 0x90, k, 0x00};
}
std::vector<uint8_t> noteOff(uint8_t k) {
    return {0x90, k, 0x00};
}
std::vector<uint8_t> down(uint8_t p) {
    return {0xB0, 0x0F, 0x0E, 0xB0, 0x2F, uint8_t(0x40 + p)};
}
std::vector<uint8_t> up(uint8_t p) {
    return {0xB0, 0x0F, 0x0E, 0xB0, 0x2F, p};
}

void runFootswitch(uint32_t protocol, uint32_t mode, const std::vector<FootswitchStep>& steps) {
    hx::clock::VirtualClock clock;
    ajResetFootswitchTiming();
    FakePort port(kZrProductLX420);
    port.f.footswitchProtocol = protocol;
    port.f.footswitchMode = mode;
    for (const auto& s : steps) {
        clock.runFor(s.afterMillis * 1000000);
        port.midi[0].clear();
        port.changes.clear();
        parse(inACR_LX420, port, events({{s.cc, s.value}}));
        EXPECT_EQ(port.midi[0], s.midi)
            << protocol << "/" << mode << " cc " << int(s.cc) << " v " << int(s.value);
        EXPECT_EQ(ajFootswitchTiming().state, s.state)
            << protocol << "/" << mode << " v " << int(s.value);
        EXPECT_EQ(port.changes, std::vector<uint32_t>{STC_DeviceStatusChanged});
        const uint8_t sw = s.value > 64 ? s.value - 64 : s.value;
        EXPECT_EQ(port.f.footswitchHeld[sw - 1], s.cc == 106 ? 1 : 0);
    }
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(LX420Footswitch, Protocol0Mode0) {
    runFootswitch(0, 0,
                  {{106, 1, 0, {}, 4},
                   {105, 1, 300, noteOnOff(94), 3}, // short press
                   {106, 1, 0, {}, 4},
                   {105, 1, 800, noteOnOff(93), 0}, // long press
                   {106, 1, 0, {}, 4},
                   {106, 65, 800, noteOnOff(93), 0},
                   {105, 1, 0, {}, 0},
                   {106, 2, 0, noteOn(91), 1},
                   {105, 2, 0, noteOff(91), 0},
                   {106, 3, 0, noteOn(92), 2},
                   {105, 3, 0, noteOff(92), 0},
                   {106, 66, 0, {}, 0}});
    EXPECT_EQ(ajFootswitchTiming().pushedMillis, 0u);
}

TEST(LX420Footswitch, RepeatWithinTheShortTimeDoesNothing) {
    runFootswitch(0, 0,
                  {{106, 1, 0, {}, 4}, {106, 65, 300, {}, 4}, {105, 1, 100, noteOnOff(94), 3}});
}

TEST(LX420Footswitch, Protocol0ModeMomentary) {
    runFootswitch(0, 1,
                  {{106, 1, 0, noteOn(95), 5},
                   {106, 65, 800, {}, 5},
                   {105, 1, 0, noteOff(95), 0},
                   {106, 2, 0, noteOn(94), 3},
                   {105, 2, 0, noteOff(94), 0},
                   {106, 3, 0, noteOn(93), 0},
                   {105, 3, 0, noteOff(93), 0}});
}

TEST(LX420Footswitch, Protocol1Mode0) {
    const std::vector<uint8_t> shortRelease = {0xB0, 0x0F, 0x0E, 0xB0, 0x2F,
                                               0x44, 0xB0, 0x2F, 0x04};
    const std::vector<uint8_t> longRelease = {0xB0, 0x0F, 0x0E, 0xB0, 0x2F, 0x43, 0xB0, 0x2F, 0x03};
    runFootswitch(1, 0,
                  {{106, 1, 0, {}, 4},
                   {105, 1, 300, shortRelease, 3},
                   {106, 1, 0, {}, 4},
                   {105, 1, 800, longRelease, 0},
                   {106, 1, 0, {}, 4},
                   {106, 65, 800, longRelease, 0},
                   {105, 1, 0, {}, 0},
                   {106, 2, 0, down(1), 0},
                   {105, 2, 0, up(1), 0},
                   {106, 3, 0, down(2), 0},
                   {105, 3, 0, up(2), 0}});
}

TEST(LX420Footswitch, Protocol1ModeMomentary) {
    runFootswitch(1, 1,
                  {{106, 1, 0, down(5), 0},
                   {105, 1, 0, up(5), 0},
                   {106, 2, 0, down(4), 0},
                   {105, 2, 0, up(4), 0},
                   {106, 3, 0, down(3), 0},
                   {105, 3, 0, up(3), 0}});
}

TEST(LX420Footswitch, SeveralEventsInOnePacketAreSentTogether) {
    hx::clock::VirtualClock clock;
    ajResetFootswitchTiming();
    FakePort port(kZrProductLX420);
    port.f.footswitchProtocol = 1;
    port.f.footswitchMode = 1;
    parse(inACR_LX420, port, events({{106, 2}, {105, 2}, {106, 3}}));
    EXPECT_EQ(port.midi[0], cat(cat(down(4), up(4)), down(3)));
    EXPECT_EQ(port.triggers, 1);

    // A full packet of events fits the message buffer.
    FakePort full(kZrProductLX420);
    full.f.footswitchProtocol = 1;
    full.f.footswitchMode = 1;
    std::vector<uint8_t> p;
    for (int i = 0; i < 128; ++i)
        p.insert(p.end(), {0x0B, 0xB0, 105, 1});
    parse(inACR_LX420, full, p);
    EXPECT_EQ(full.midi[0].size(), 128u * 6);

    // Without a client the switches still count, nothing is stored.
    FakePort detached(kZrProductLX420);
    detached.attached = false;
    parse(inACR_LX420, detached, events({{106, 3}}));
    EXPECT_TRUE(detached.midi[0].empty());
    EXPECT_EQ(detached.f.footswitchHeld[2], 1);
}

} // namespace
