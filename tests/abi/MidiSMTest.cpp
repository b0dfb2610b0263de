#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "abi/MidiSM.h"

namespace {

std::vector<uint8_t> iota(uint32_t n, uint8_t first = 0) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

TEST(Queue64K, PutWrapsInTwoPiecesAtTheEnd) {
    auto q = std::make_unique<Queue64K>();
    q->init();
    q->mWrite = 65500;
    q->mRead = 65500;
    const auto in = iota(100);
    EXPECT_EQ(q->put(in.data(), 100), 100u);
    EXPECT_EQ(q->mWrite, 64);
    EXPECT_EQ(q->fill(), 100u);
    EXPECT_EQ(q->mData[65535], 35);
    EXPECT_EQ(q->mData[0], 36);
    std::vector<uint8_t> out(200);
    EXPECT_EQ(q->get(out.data(), 200), 100u);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
}

TEST(Queue256, FullQueueTakesNothingAndNullOrZeroIsNothing) {
    Queue256 q{};
    q.init();
    const auto in = iota(255);
    EXPECT_EQ(q.put(in.data(), 255), 255u);
    EXPECT_EQ(q.put(in.data(), 10), 1u);
    EXPECT_EQ(q.put(in.data(), 10), 0u);
    EXPECT_EQ(q.put(nullptr, 10), 0u);
    uint8_t b[4];
    EXPECT_EQ(q.get(b, 0), 0u);
    EXPECT_EQ(q.get(nullptr, 4), 0u);
    EXPECT_EQ(q.get(b, 4), 4u);
    EXPECT_EQ(b[3], 3);
}

TEST(Queue64KReader, KeepsItsOwnReadIndexAndOnlyPublishesIt) {
    auto q = std::make_unique<Queue64K>();
    q->init();
    Queue64KReader r;
    r.reset(*q);
    const auto in = iota(10);
    q->put(in.data(), 10);
    uint8_t out[4];
    ASSERT_EQ(r.get(*q, out, 4), 4u);
    q->mRead = 60000; // the client scribbles over the published index
    ASSERT_EQ(r.get(*q, out, 4), 4u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(q->mRead, 8);
}

TEST(Queue64KReader, FillCountAboveTheRingEmptiesTheQueue) {
    auto q = std::make_unique<Queue64K>();
    q->init();
    Queue64KReader r;
    r.reset(*q);
    const auto in = iota(10);
    q->put(in.data(), 10);
    q->mFill = 70000;
    EXPECT_TRUE(r.isEmpty(*q));
    uint8_t out[16];
    EXPECT_EQ(r.get(*q, out, 16), 0u);
    EXPECT_EQ(q->fill(), 0u);
    EXPECT_EQ(r.readIndex(), q->mWrite);
    // Later output flows again.
    q->put(in.data(), 3);
    EXPECT_EQ(r.get(*q, out, 16), 3u);
    EXPECT_EQ(out[2], 2);
}

TEST(MidiIO, PutFrameDropsNoBytesAndPacksEightPerElement) {
    auto io = std::make_unique<MidiIO>();
    MidiIOWriter w;
    w.reset(*io);
    std::vector<uint8_t> in;
    for (uint8_t i = 0; i < 16; ++i) {
        in.push_back(i);
        if (i % 4 == 0) in.push_back(kMidiNoByte);
    }
    ASSERT_EQ(in.size(), 20u);
    EXPECT_EQ(w.putFrame(*io, in.data(), 20, 77), 16u);
    EXPECT_EQ(w.writeIndex(), 2u);
    MidiIOElement e{};
    ASSERT_TRUE(io->get(e));
    EXPECT_EQ(e.mLength, 8u);
    EXPECT_EQ(e.mTimeStamp, 77u);
    EXPECT_EQ(e.mData[7], 7);
    ASSERT_TRUE(io->get(e));
    EXPECT_EQ(e.mData[0], 8);
    EXPECT_FALSE(io->get(e));
    EXPECT_FALSE(w.putByte(*io, kMidiNoByte, 1));
    EXPECT_TRUE(w.putByte(*io, 0x90, 1));
    EXPECT_TRUE(io->readyForRead());
}

TEST(MidiIO, CorruptedIndexesStayInsideTheRing) {
    auto io = std::make_unique<MidiIO>();
    MidiIOWriter w;
    w.reset(*io);
    io->mWriteIndex = 0xFFFFFFF0u; // the client cannot move the kernel's writer
    const uint8_t b[] = {1, 2, 3};
    w.putFrame(*io, b, 3, 0);
    EXPECT_EQ(io->mWriteIndex, 1u);
    io->mReadIndex = 8192 * 3; // taken modulo the ring: element 0
    MidiIOElement e{};
    ASSERT_TRUE(io->get(e));
    EXPECT_EQ(e.mLength, 3u);
    EXPECT_EQ(io->mReadIndex, 1u);
}

TEST(MidiQueue, InitBounds) {
    MidiQueueStorage<32768> s;
    EXPECT_FALSE(s.queue.init(15));
    EXPECT_FALSE(s.queue.init(32769));
    EXPECT_TRUE(s.queue.init(16));
}

TEST(MidiQueue, OverwriteKeepsTheNewestBytes) {
    struct Case {
        uint32_t held, n, fitted;
        std::vector<uint8_t> after; // what a full read returns
    };
    const Case cases[] = {
        {12, 10, 4, {6, 7, 8, 9, 10, 11, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109}},
        {0, 5, 5, {100, 101, 102, 103, 104}},
        // Longer than the queue: the last 16 bytes stay.
        {3,
         40,
         13,
         {124, 125, 126, 127, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139}},
    };
    for (const auto& c : cases) {
        MidiQueueStorage<16> s;
        const auto old = iota(c.held);
        s.queue.put(old.data(), c.held);
        const auto in = iota(c.n, 100);
        EXPECT_EQ(s.queue.put(in.data(), c.n), c.fitted) << c.n;
        uint32_t used = 0, free = 0;
        s.queue.getLength(&used, &free);
        EXPECT_EQ(used, c.after.size());
        EXPECT_EQ(used + free, 16u);
        std::vector<uint8_t> out(32);
        out.resize(s.queue.get(out.data(), 32));
        EXPECT_EQ(out, c.after) << c.n;
    }
}

TEST(MidiQueue, WrapsAndNullDiscards) {
    MidiQueueStorage<16> s;
    const auto in = iota(12);
    s.queue.put(in.data(), 12);
    EXPECT_EQ(s.queue.get(nullptr, 10), 10u);
    s.queue.put(in.data(), 10); // wraps at 16
    uint8_t out[16];
    EXPECT_EQ(s.queue.get(out, 16), 12u);
    EXPECT_EQ(out[0], 10);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[11], 9);
}

TEST(MidiQueue, CorruptedPositionsStayInside) {
    MidiQueueStorage<16> s;
    s.queue.mWritePos = 1000;
    s.queue.mReadPos = 999;
    s.queue.mFill = 5000;
    uint8_t out[64];
    EXPECT_EQ(s.queue.get(out, 64), 16u);
    const auto in = iota(20);
    s.queue.put(in.data(), 20);
    EXPECT_EQ(s.queue.get(out, 64), 16u);
    EXPECT_EQ(out[0], 4);
}

TEST(AsyncTransportData, IndexesAndLengthsAreBounded) {
    auto a = std::make_unique<AsyncTransportData>();
    a->init();
    EXPECT_EQ(&a->block(130), &a->mBlocks[2]);
    a->mBlocks[1].mLength = 100000;
    EXPECT_EQ(a->mBlocks[1].clampedLength(), kAsyncBlockDataBytes);
    a->mBlocks[1].mLength = 100;
    EXPECT_EQ(a->mBlocks[1].clampedLength(), 100u);
}

} // namespace
