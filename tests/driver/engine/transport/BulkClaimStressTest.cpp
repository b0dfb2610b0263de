// Two threads hand bulk in records to each other as the bus and the
// real-time service do: one claims records, lands their packets (each
// packet's last 8 bytes last, with release) and completes them; the other
// consumes packets as they arrive and frees records. Every packet is
// consumed once, in order, and no record is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "abi/AudioSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/transport/ZrBulkStreaming.h"
#include "platform/kern/IOLib.h"

namespace {

struct NullHost : BulkStreamHost {
    void stopStreaming(bool) override {}
    void stcNotifyStreaming(uint32_t) override {}
    bool readDmaRegister(uint8_t& v) override {
        v = 0;
        return true;
    }
    void writeDmaRegister(uint8_t) override {}
    void setPipeRates(uint32_t) override {}
};

void land(AudioBulkIRP& r, uint32_t k) {
    uint8_t* p = r.data() + uint64_t(k) * r.packetSize();
    std::memset(p, int(k * 7 + 1), r.packetSize() - 8);
    uint32_t* tail = reinterpret_cast<uint32_t*>(p + r.packetSize() - 8);
    __atomic_store_n(&tail[0], 0x01020304u, __ATOMIC_RELEASE);
    __atomic_store_n(&tail[1], 0x05060708u, __ATOMIC_RELEASE);
}

} // namespace

TEST(BulkClaimStress, EveryPacketIsConsumedOnceAndEveryRecordComesBack) {
    AudioSM* sm = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
    std::memset(static_cast<void*>(sm), 0, sizeof(AudioSM));
    AudioSMWriter ring;
    ring.bind(sm, AudioSMGeometry{});
    ring._init(2, 48000, 0);
    NullHost host;
    KeThread thread;
    ZrBulkStreaming engine(host, thread);
    engine.attach(nullptr, &ring, nullptr);
    BulkStreamSettings s;
    s.rate = 48000;
    s.inChannels = s.outChannels = 2;
    ASSERT_TRUE(engine.configureUnbound(BulkTransport::Bulk, 512, 512, s));

    constexpr uint32_t kTransfers = 400;
    std::atomic<bool> producerDone{false};
    uint32_t decoded = 0;
    std::thread producer([&] {
        for (uint32_t n = 1; n <= kTransfers; ++n) {
            AudioBulkIRP* claimed = nullptr;
            while (!claimed) {
                for (uint32_t i = 0; i < kBulkInRecords && !claimed; ++i)
                    if (engine.bulkIn(i).useIn(n)) claimed = &engine.bulkIn(i);
                if (!claimed) std::this_thread::yield();
            }
            for (uint32_t k = 0; k < kBulkIRPPackets; ++k)
                land(*claimed, k);
            claimed->mTransferedBytes.store(kBulkIRPPackets * 512);
            claimed->setDone();
            claimed->unuse();
        }
        producerDone.store(true);
    });
    std::thread consumer([&] {
        for (;;) {
            const bool last = producerDone.load();
            decoded += engine.rtsProcessBulkIn();
            if (last) {
                decoded += engine.rtsProcessBulkIn();
                break;
            }
        }
    });
    producer.join();
    consumer.join();
    EXPECT_EQ(decoded, kTransfers * kBulkIRPPackets);
    EXPECT_EQ(ring.getFramePos(), uint64_t(kTransfers) * kBulkIRPPackets * 8);
    for (uint32_t i = 0; i < kBulkInRecords; ++i) {
        EXPECT_EQ(engine.bulkIn(i).useNumber(), 0u);
        EXPECT_EQ(engine.bulkIn(i).useCount(), 0);
    }
    ring.unbind();
    IOFreeAligned(sm, sizeof(AudioSM));
}
