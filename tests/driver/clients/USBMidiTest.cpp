#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "driver/clients/USBMidi.h"

namespace {

TEST(USBMidiPattern, DefaultCountsCycle) {
    USBMidiPattern p;
    for (uint32_t i = 0; i < 256; ++i)
        EXPECT_EQ(p.count(i), (i % 8 == 0 && i <= 240) ? 4u : 3u) << i;
    std::vector<uint32_t> taken;
    for (int i = 0; i < 512; ++i)
        taken.push_back(p.nextPacketCount());
    EXPECT_EQ(std::accumulate(taken.begin(), taken.end(), 0u), 2u * (31 * 4 + 225 * 3));
    EXPECT_EQ(p.packetIndex(), 0);
    p.initRX5();
    EXPECT_EQ(p.count(17), 39u);
    p.init();
    EXPECT_EQ(p.count(17), 3u);
}

TEST(USBMidiPattern, BulkScheduleByRate) {
    struct Case {
        uint32_t rate, slots, ones, result;
    };
    const Case cases[] = {
        {24000, 0, 0, 0},      {32000, 32, 25, 1280}, {44100, 441, 250, 1764},
        {48000, 48, 25, 1920}, {96000, 96, 25, 3840}, {176400, 882, 125, 7056},
    };
    for (const auto& c : cases) {
        USBMidiPattern p;
        EXPECT_EQ(p.initForBulk(c.rate), c.result) << c.rate;
        EXPECT_EQ(p.slotCount(), c.slots) << c.rate;
        uint32_t ones = 0;
        for (uint32_t i = 0; i < p.slotCount(); ++i)
            ones += p.slot(i);
        EXPECT_EQ(ones, c.ones) << c.rate;
    }
}

TEST(USBMidiPattern, ScheduleReaderStartsAtSlotZeroAndWraps) {
    USBMidiPattern p;
    p.initForBulk(48000);
    std::vector<bool> first, second;
    for (int i = 0; i < 48; ++i)
        first.push_back(p.nextBulkSlot());
    for (int i = 0; i < 48; ++i)
        second.push_back(p.nextBulkSlot());
    EXPECT_EQ(first, second);
    EXPECT_TRUE(first[0]);
    EXPECT_FALSE(first[47]);
    EXPECT_EQ(std::count(first.begin(), first.end(), true), 25);
    p.initForBulk(24000);
    EXPECT_FALSE(p.nextBulkSlot());
}

TEST(MidiRB, NinePacketLayout) {
    auto* rb = new MidiRB(9);
    ASSERT_TRUE(rb->isInitialized());
    EXPECT_GE(rb->size(), MidiRB::kMinBytes);
    rb->initWriteMidi();
    const uint8_t* d = rb->getData();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(d[i], 0xFD);
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(d[i], 0x55);

    MidiQueueStorage<16> q0, q1;
    const uint8_t a[] = {0x90, 0x40, 0x7F, 0x80, 0x40, 0x00};
    const uint8_t b[] = {0xB0, 0x07};
    q0.queue.put(a, 6);
    q1.queue.put(b, 2);
    USBMidiPattern pattern;
    // Packet 0 of the cycle carries 4 bytes per port.
    EXPECT_EQ(rb->placeMidiData(pattern, q0.queue, q1.queue), 2u);
    const std::vector<uint8_t> packet(d, d + 9);
    EXPECT_EQ(packet, (std::vector<uint8_t>{0x90, 0x40, 0x7F, 0x80, 0xB0, 0x07, 0xFD, 0xFD, 0x55}));
    rb->initWriteMidi();
    // Packet 1 carries 3.
    EXPECT_EQ(rb->placeMidiData(pattern, q0.queue, q1.queue), 0u);
    EXPECT_EQ(d[0], 0x40);
    EXPECT_EQ(d[1], 0x00);
    EXPECT_EQ(d[2], 0xFD);
    EXPECT_EQ(rb->placeMidiData(pattern, q0.queue, q1.queue), 0u); // both empty
    EXPECT_EQ(pattern.packetIndex(), 2);
    rb->unuse(); // unused: deleted at once (asan checks)
}

TEST(MidiRB, NeverMoreThanFourBytesPerQueue) {
    std::unique_ptr<MidiRB> rb(new MidiRB(512));
    MidiQueueStorage<64> q0, q1;
    std::vector<uint8_t> many(40, 0x11);
    q0.queue.put(many.data(), 40);
    q1.queue.put(many.data(), 40);
    USBMidiPattern pattern;
    pattern.initRX5(); // 39 a packet, capped at 4
    rb->initWriteMidi();
    EXPECT_EQ(rb->placeMidiData(pattern, q0.queue, q1.queue), 72u);
    EXPECT_EQ(rb->getData()[8], 0x55);
}

TEST(MidiRB, GetMidiDataFeedsBothRings) {
    std::unique_ptr<MidiRB> rb(new MidiRB(9));
    auto rings = std::make_unique<MidiIO[]>(2);
    MidiIOWriter w0, w1;
    w0.reset(rings[0]);
    w1.reset(rings[1]);
    rb->initReadMidi();
    uint8_t* d = rb->getData();
    d[0] = 0x90, d[1] = 0x3C, d[2] = 0x7F, d[4] = 0xF8;
    EXPECT_EQ(rb->getMidiData({&rings[0], &w0}, {&rings[1], &w1}, 5), 4u);
    MidiIOElement e{};
    ASSERT_TRUE(rings[0].get(e));
    EXPECT_EQ(e.mLength, 3u);
    ASSERT_TRUE(rings[1].get(e));
    EXPECT_EQ(e.mLength, 1u);
    EXPECT_EQ(e.mData[0], 0xF8);
}

// Each case ends with a block the test observes through asan: a block still
// in use must survive every unuse, and go exactly once when its transfer ends.
TEST(MidiRB, BlockInUseIsNeverDeleted) {
    auto* rb = new MidiRB(9);
    rb->setUsed(true);
    rb->unuse();
    EXPECT_TRUE(rb->isAutoDelete());
    rb->unuse(); // a second unuse only marks it
    EXPECT_TRUE(rb->isUsed());
    rb->getData()[0] = 1; // still alive
    rb->setUsed(false);   // the completion: now it goes

    auto* rb2 = new MidiRB(9);
    rb2->setUsed(true);
    rb2->setAutoDeleteOnCompletion(true);
    rb2->setBusy(1);
    EXPECT_EQ(rb2->busy(), 1);
    rb2->setUsed(false);

    auto* rb3 = new MidiRB(9);
    rb3->setUsed(true);
    rb3->setUsed(false);
    EXPECT_FALSE(rb3->isUsed());
    rb3->setAutoDeleteOnCompletion(true); // unused: goes at once
}

} // namespace
