// The rings under two threads: the kernel writing the input ring while user
// space reads it, and a user scribbling on its ring and slot while the mixer
// runs. Checks data and order, never timing.
#include "tests/driver/engine/stream/MixFixture.h"

#include <atomic>
#include <random>
#include <thread>

#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/StdoutCapture.h"

using hx::test::MixClient;
using hx::test::MixFixture;
using hx::test::RingMemory;

namespace {

int32_t sampleFor(uint64_t pos, uint32_t ch) {
    return int32_t(uint32_t(pos * 37 + ch * 1000003));
}

struct StressCase {
    uint32_t channels, extra;
};

} // namespace

// Writer as the kernel, reader as user space; positions cross 2^32 and
// frame sizes cross the ring's end.
TEST(RingStress, WriterAndReaderAgreeAcrossTheWrapAnd2To32) {
    hx::log::Capture quiet;
    for (const StressCase c : {StressCase{2, 0}, StressCase{6, 0}, StressCase{32, 4}}) {
        SCOPED_TRACE(testing::Message() << c.channels << "+" << c.extra);
        RingMemory ring;
        AudioSMWriter writer;
        writer.bind(ring.sm, AudioSMGeometry{});
        writer._init(c.channels, 48000, c.extra);
        const uint64_t maxFrames = writer.geometry().maxFrames;
        // Start just below 2^32 by advancing without data.
        const uint64_t start = (1ull << 32) - 3 * maxFrames - 77;
        while (writer.getFramePos() + maxFrames <= start)
            writer.writeFrames(nullptr, uint32_t(maxFrames), 0);
        writer.writeFrames(nullptr, uint32_t(start - writer.getFramePos()), 0);
        ASSERT_EQ(writer.getFramePos(), start);

        const uint64_t total = 12 * maxFrames;
        std::atomic<uint64_t> readerPos{start};
        std::atomic<bool> failed{false};
        std::thread kernel([&] {
            std::mt19937 rng(c.channels);
            std::vector<int32_t> block(size_t(maxFrames) * c.channels);
            std::vector<uint8_t> extra(size_t(maxFrames) * c.extra + 1);
            uint64_t host = 1000000;
            while (writer.getFramePos() < start + total && !failed) {
                uint32_t frames = 1 + rng() % uint32_t(maxFrames / 3);
                const uint64_t pos = writer.getFramePos();
                frames = uint32_t(std::min<uint64_t>(frames, start + total - pos));
                // Never overwrite what the reader has not read yet.
                while (pos + frames - readerPos.load(std::memory_order_acquire) > maxFrames &&
                       !failed)
                    std::this_thread::yield();
                for (uint32_t f = 0; f < frames; ++f) {
                    for (uint32_t ch = 0; ch < c.channels; ++ch)
                        block[f * c.channels + ch] = sampleFor(pos + f, ch);
                    for (uint32_t k = 0; k < c.extra; ++k)
                        extra[f * c.extra + k] = uint8_t(pos + f + k);
                }
                writer.writeFrames(block.data(), frames, 0, nullptr,
                                   c.extra ? extra.data() : nullptr);
                host += frames * 20833;
                writer.writeTimestamp(host);
                writer.AddTimeStamp(host, frames, true);
            }
        });
        std::thread user([&] {
            std::vector<int32_t> dst(size_t(maxFrames) * c.channels);
            std::vector<uint8_t> extra(size_t(maxFrames) * c.extra + 1);
            uint64_t pos = start;
            std::mt19937 rng(c.channels + 100);
            while (pos < start + total && !failed) {
                const int32_t avail = ring->getAvailableFrames(pos);
                if (avail <= 0) {
                    std::this_thread::yield();
                    continue;
                }
                const uint32_t frames = 1 + rng() % uint32_t(avail);
                uint64_t at = pos, when = 0;
                ring->read(at, dst.data(), frames, when, audioInt32CopySet,
                           c.extra ? extra.data() : nullptr);
                for (uint32_t f = 0; f < frames && !failed; ++f) {
                    for (uint32_t ch = 0; ch < c.channels; ++ch)
                        if (dst[f * c.channels + ch] != sampleFor(pos + f, ch)) failed = true;
                    for (uint32_t k = 0; k < c.extra; ++k)
                        if (extra[f * c.extra + k] != uint8_t(pos + f + k)) failed = true;
                }
                pos = at;
                readerPos.store(pos, std::memory_order_release);
            }
        });
        kernel.join();
        user.join();
        EXPECT_FALSE(failed);
        EXPECT_EQ(readerPos.load(), start + total);
        EXPECT_EQ(ring->getFramePos(), start + total);
        EXPECT_GT(ring->getFramePos(), 1ull << 32);
    }
}

class ScribbleTest : public MixFixture {};

// A user writing garbage into its own ring header and slot while the mixer
// runs: the kernel neither faults nor mixes anything but that client's own
// samples into the other client's output, and detach still completes.
TEST_F(ScribbleTest, HostileClientCannotDisturbTheMixer) {
    hx::log::Capture quiet;
    MixClient hostile, good;
    ASSERT_TRUE(attach(hostile));
    ASSERT_TRUE(attach(good));
    dd->rtsCheckAttachClients(0, 0, 1);
    hostile.writeConstant({0x10, 0x20}, 60000);
    good.writeConstant({0x1000, 0x2000}, 60000);

    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937_64 rng(7);
        char* header = reinterpret_cast<char*>(hostile.ring.sm) + offsetof(AudioSM, mBytesPerFrame);
        char* slot = reinterpret_cast<char*>(&sm->mClients[hostile.slot]);
        while (!stop.load(std::memory_order_relaxed)) {
            const uint64_t v = rng();
            // Header words up to the time-stamp ring, and the slot.
            audiosm::store32(header + 4 * (v % 35), uint32_t(v >> 8));
            audiosm::store64(AUDIOSM_AT(hostile.ring.sm, AudioSM, mFramePos), v);
            audiosm::store64(AUDIOSM_AT(hostile.ring.sm, AudioSM, mWriteOffset), v >> 3);
            audiosm::store32(slot + 4 * (v % 45), uint32_t(v >> 16));
            audiosm::store32(slot, 1); // a "held" lock word
        }
    });
    bool ok = true;
    for (uint64_t cycle = 0; cycle < 20000 && ok; ++cycle) {
        const uint64_t position = (cycle * 44) % 50000;
        dd->rtsCheckAttachClients(position, position, cycle);
        int minimum = 0, clients = 0;
        dd->rtsGetMinAvailableFrames(minimum, clients, position);
        ok = clients == 2;
        mix(position, 44);
        for (uint32_t f = 0; f < 44 && ok; ++f)
            ok = dd->mixingBuffer()[2 * f] == 0x1010 * 256 &&
                 dd->mixingBuffer()[2 * f + 1] == 0x2020 * 256;
    }
    EXPECT_TRUE(ok);
    EXPECT_TRUE(dd->detachClient(hostile.client)); // the shared lock word is only advisory
    stop = true;
    scribbler.join();
    EXPECT_EQ(dd->countClients(), 1);
    mix(0, 44);
    EXPECT_EQ(dd->mixingBuffer()[0], 0x1000 * 256);
}
