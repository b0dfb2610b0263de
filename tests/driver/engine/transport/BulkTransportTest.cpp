// The bulk and interrupt transports without a bus: transfer records and
// request blocks, the frames-per-packet rule, the converter choices and the
// configurations refused, and the real-time in and out processing fed by
// hand (marker words, transferred counts, done flags).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "abi/AudioSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/transport/ZrBulkStreaming.h"
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "platform/kern/IOLib.h"

namespace {

struct FakeHost : BulkStreamHost {
    int stops = 0, breaks = 0;
    void stopStreaming(bool) override { ++stops; }
    void stcNotifyStreaming(uint32_t code) override { breaks += code == 2; }
    bool readDmaRegister(uint8_t& v) override {
        v = 0;
        return true;
    }
    void writeDmaRegister(uint8_t) override {}
    void setPipeRates(uint32_t) override {}
};

struct Ring {
    AudioSM* sm = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
    AudioSMWriter w;
    Ring(uint32_t channels, uint32_t rate) {
        std::memset(static_cast<void*>(sm), 0, sizeof(AudioSM));
        w.bind(sm, AudioSMGeometry{});
        w._init(channels, rate, 0);
    }
    ~Ring() {
        w.unbind();
        IOFreeAligned(sm, sizeof(AudioSM));
    }
};

struct Rig {
    FakeHost host;
    KeThread thread;
    ZrBulkStreaming engine{host, thread};
    Ring ring;
    explicit Rig(uint32_t inChannels, uint32_t rate = 48000) : ring(inChannels, rate) {
        engine.attach(nullptr, &ring.w, nullptr);
    }
};

BulkStreamSettings settings(uint32_t in, uint32_t out, uint32_t rate = 48000) {
    BulkStreamSettings s;
    s.rate = rate;
    s.inChannels = in;
    s.outChannels = out;
    s.quarnelBulkDevice = true;
    return s;
}

// The device writes packet k of a record: payload bytes (a marker-free
// pattern), its last 8 bytes last.
void arrive(AudioTransferRecord& r, uint32_t k, uint8_t fill = 0x11) {
    uint8_t* p = r.data() + uint64_t(k) * r.packetSize();
    std::memset(p, fill, r.packetSize());
}

} // namespace

TEST(BulkRecords, InClaimMarksEveryPacketAndOutClaimPreMarksMidiBytes) {
    AudioBulkIRP in;
    in.init(nullptr);
    ASSERT_TRUE(in.allocateUnbound(512, kBulkIRPPackets));
    ASSERT_TRUE(in.useIn(7));
    EXPECT_EQ(in.useNumber(), 7u);
    for (uint32_t k = 0; k < kBulkIRPPackets; ++k)
        EXPECT_TRUE(bulkPacketHasMarkers(in.data(), 512, k));
    // Busy: a second claim fails and leaves the count as it was.
    EXPECT_FALSE(in.useIn(8));
    EXPECT_EQ(in.useCount(), 1);
    in.unuse();
    // Completed but not consumed: the number still holds it.
    EXPECT_FALSE(in.useIn(8));
    in.prepare();
    EXPECT_TRUE(in.useIn(9));

    struct OutCase {
        uint32_t size;
        std::vector<std::pair<uint32_t, uint8_t>> marks;
    };
    const OutCase cases[] = {{512, {{480, 0xFD}, {481, 0xFF}}},
                             {1024, {{432, 0xFD}, {433, 0xFD}, {914, 0xFD}, {915, 0xFD}}}};
    for (const auto& c : cases) {
        AudioBulkIRP out;
        out.init(nullptr);
        ASSERT_TRUE(out.allocateUnbound(c.size, kBulkIRPPackets));
        ASSERT_TRUE(out.useOut(1, true));
        for (uint32_t k = 0; k < kBulkIRPPackets; ++k)
            for (auto [at, v] : c.marks)
                EXPECT_EQ(out.data()[k * c.size + at], v) << c.size;
    }
}

TEST(BulkRecords, Farlane2OutClaimWritesHeadersWithTheRunningCounter) {
    AudioInterruptIRP r;
    r.init(nullptr);
    ASSERT_TRUE(r.allocateUnbound(32 + 28 * 4, kInterruptOutPackets));
    uint32_t counter = 0;
    ASSERT_TRUE(r.useOut_Flb2(1, counter, false));
    EXPECT_EQ(counter, 7u * kInterruptOutPackets);
    const uint8_t* p = r.data();
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[1], 0xFF);
    EXPECT_EQ(p[2], 0x00);
    EXPECT_EQ(p[3], 0x07);
    const uint8_t* q = r.data() + 63 * r.packetSize();
    EXPECT_EQ((q[2] << 8) | q[3], 7 * 64);
}

TEST(BulkRecords, ArrivedPacketsScanAndWholePacketsOfADoneTransfer) {
    AudioBulkIRP r;
    r.init(nullptr);
    ASSERT_TRUE(r.allocateUnbound(512, kBulkIRPPackets));
    ASSERT_TRUE(r.useIn(1));
    EXPECT_EQ(bulkArrivedPackets(r.data(), 512, 20, 0), 0u);
    for (uint32_t k = 0; k < 7; ++k)
        arrive(r, k);
    EXPECT_EQ(bulkArrivedPackets(r.data(), 512, 20, 0), 7u);
    EXPECT_EQ(bulkArrivedPackets(r.data(), 512, 20, 7), 7u);
    // A done transfer counts whole packets only.
    EXPECT_EQ(bulkDonePackets(512 * 7 + 300, 512, 20), 7u);
    EXPECT_EQ(bulkDonePackets(512 * 40, 512, 20), 20u);
    EXPECT_EQ(bulkDonePackets(100, 0, 20), 0u);
}

TEST(BulkRequestBlocks, ArraysFillOnceAndBlocksInUseOutliveTheirRelease) {
    ZrSimpleArray a;
    int owner = 0;
    ZrInitBulkRqBs(&owner, a);
    EXPECT_EQ(a.count(), 64);
    ZrInitBulkRqBs(&owner, a);
    EXPECT_EQ(a.count(), 64);
    BulkRB* first = ZrFindFreeBulkRqB(a, 5);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->tag(), 5u);
    EXPECT_TRUE(first->isBusy());
    EXPECT_EQ(first->bufferSize(), 512);
    BulkRB* second = ZrFindFreeBulkRqB(a, 6);
    EXPECT_NE(second, first);
    second->unuse();
    const uint32_t deletedBefore = BulkRB::sDeleted.load();
    ZrTerminateRqBs(a);
    EXPECT_EQ(a.count(), 0);
    // 63 free blocks went; the one in use only got marked, twice.
    EXPECT_EQ(BulkRB::sDeleted.load() - deletedBefore, 63u);
    first->release();
    EXPECT_TRUE(first->autoDelete());
    first->unuse();
    EXPECT_EQ(BulkRB::sDeleted.load() - deletedBefore, 64u);
}

struct FppCase {
    uint32_t width;
    bool brava;
    uint32_t rate, inPacket, outPacket, in, out;
};

TEST(BulkChoices, FramesPerPacketByWidthBravaRateAndPacketSize) {
    const FppCase cases[] = {
        {16, false, 48000, 512, 512, 8, 10},    {32, false, 48000, 512, 512, 4, 10},
        {16, false, 48000, 1024, 1024, 16, 20}, {32, false, 96000, 1024, 512, 8, 10},
        {16, true, 96000, 512, 512, 8, 10},     {16, true, 192000, 512, 512, 16, 20},
        {16, true, 44100, 512, 512, 4, 5},      {16, true, 88200, 512, 512, 8, 10},
        {16, true, 64000, 512, 512, 4, 5},
    };
    for (const auto& c : cases) {
        const BulkFramesPerPacket f =
            bulkFramesPerPacket(c.width, c.brava, c.rate, c.inPacket, c.outPacket);
        EXPECT_EQ(f.in, c.in) << c.width << " " << c.rate;
        EXPECT_EQ(f.out, c.out) << c.width << " " << c.rate;
    }
}

TEST(BulkChoices, DecoderAndEncoderTables) {
    dmaConvertInit_C();
    EXPECT_EQ(chooseDMADecoder(16, 16, false), dmaDecode16To16At32Bit.load());
    EXPECT_EQ(chooseDMADecoder(18, 32, false), dmaDecode32To18At32Bit.load());
    EXPECT_EQ(chooseDMADecoder(18, 16, false), nullptr);
    EXPECT_EQ(chooseDMADecoder(7, 16, false), nullptr);
    EXPECT_EQ(chooseDMADecoder(32, 16, true), dmaDecode16To32At32Bit_Brava.load());

    struct EncCase {
        uint32_t ch;
        bool kx, selector, int964;
        uint32_t selectorWord;
        DMA_CONVERT_FNC want;
    };
    const EncCase cases[] = {
        {2, false, false, false, 0, dmaEncode02},
        {6, false, false, true, 0, dmaEncode06_Int964},
        {8, false, true, false, 2, dmaEncode10_56},
        {8, false, true, false, 9, dmaEncode10_12},
        {8, false, true, true, 1, dmaEncode08_Int964},
        {10, true, false, false, 0, dmaEncode10_KX},
        {10, true, false, true, 0, dmaEncode10_KX_Int964},
        {10, false, false, false, 0, dmaEncode10},
        {16, false, false, true, 0, dmaEncode16_Int964},
        {12, false, false, false, 0, nullptr},
        {3, false, false, false, 0, nullptr},
    };
    for (const auto& c : cases) {
        BulkStreamSettings s = settings(2, c.ch);
        s.kxProduct = c.kx;
        s.selectorProduct = c.selector;
        s.digitalOutSelector = c.selectorWord;
        EXPECT_EQ(chooseDMAEncoder(s, c.int964), c.want) << c.ch;
    }
}

TEST(BulkChoices, ConfigurationsWhoseCountsDisagreeAreRefused) {
    dmaConvertInit_C();
    struct Case {
        BulkStreamSettings s;
        uint32_t inPacket, outPacket;
        bool hasIn, ok;
    };
    // The Brava converters take 128 (decoder) and 160 (encoder) samples a
    // call whatever the channels: its rate rule fixes the channels a rate
    // can run (16 at 88.2 and 96 kHz, 8 above, 32 below).
    auto brava = [](uint32_t ch, uint32_t rate) {
        BulkStreamSettings b = settings(ch, ch, rate);
        b.brava = true;
        return b;
    };
    BulkStreamSettings int964 = settings(2, 16);
    int964.useInterruptTransfers = true;
    const Case cases[] = {
        {settings(2, 2), 512, 512, true, true},
        {settings(32, 16), 512, 512, true, true},
        {settings(18, 8), 512, 512, true, true},
        {settings(3, 2), 512, 512, true, false},  // odd inputs
        {settings(2, 12), 512, 512, true, false}, // no 12-channel encoder
        {settings(2, 2), 512, 1024, true, false}, // MIDI bytes over 10-frame audio
        {settings(2, 2), 256, 512, true, false},  // in packet size
        {settings(2, 2), 512, 512, false, false}, // no in pipe
        {int964, 1024, 964, true, true},
        {brava(8, 48000), 512, 512, true, false}, // off its rate rule
        {brava(8, 96000), 512, 512, true, false},
        {brava(16, 96000), 512, 512, true, true},
        {brava(8, 192000), 512, 512, true, true},
        {brava(32, 48000), 512, 512, true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bulkCountsAgree(c.s, c.inPacket, c.outPacket, c.hasIn, true), c.ok)
            << c.s.inChannels << "/" << c.s.outChannels << " " << c.inPacket << "/" << c.outPacket;
    EXPECT_TRUE(interruptCountsAgree(2, 2, 256, 128, false));
    EXPECT_FALSE(interruptCountsAgree(2, 2, 250, 128, false));
    EXPECT_TRUE(interruptCountsAgree(4, 4, 32 + 28 * 4, 32 + 28 * 4, true));
    EXPECT_FALSE(interruptCountsAgree(4, 4, 32 + 28 * 3, 32 + 28 * 4, true));
}

TEST(BulkProcessing, APartFilledTransferIsDecodedUpToItsLastArrivedPacketThenContinued) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    AudioBulkIRP& r = rig.engine.bulkIn(0);
    ASSERT_TRUE(r.useIn(1));
    for (uint32_t k = 0; k < 7; ++k)
        arrive(r, k);
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 7u);
    EXPECT_EQ(rig.ring.w.getFramePos(), 7u * 8);
    EXPECT_EQ(r.mProcessed, 7u);
    EXPECT_EQ(r.useNumber(), 1u);
    // Nothing new: nothing decoded.
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 0u);
    for (uint32_t k = 7; k < 20; ++k)
        arrive(r, k);
    r.mTransferedBytes.store(20 * 512);
    r.setDone();
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 13u);
    EXPECT_EQ(rig.ring.w.getFramePos(), 20u * 8);
    EXPECT_EQ(r.useNumber(), 0u);
}

TEST(BulkProcessing, ADoneShortTransferIsFreedAfterItsWholePackets) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    AudioBulkIRP& r = rig.engine.bulkIn(0);
    ASSERT_TRUE(r.useIn(1));
    for (uint32_t k = 0; k < 4; ++k)
        arrive(r, k);
    r.mTransferedBytes.store(3 * 512 + 100); // the fourth packet's tail is stale
    r.setDone();
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 3u);
    EXPECT_EQ(rig.ring.w.getFramePos(), 3u * 8);
    EXPECT_EQ(r.useNumber(), 0u);
}

TEST(BulkProcessing, InsertCountTwoAddsOneFrameToEachOfTheNextTwoGroupsOfEight) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    rig.engine.setPendingInserts(2);
    AudioBulkIRP& r = rig.engine.bulkIn(0);
    ASSERT_TRUE(r.useIn(1));
    for (uint32_t k = 0; k < 20; ++k)
        arrive(r, k);
    r.mTransferedBytes.store(20 * 512);
    r.setDone();
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 20u);
    EXPECT_EQ(rig.ring.w.getFramePos(), 20u * 8 + 2);
    EXPECT_EQ(rig.engine.pendingInserts(), 0);
    EXPECT_EQ(rig.engine.guardInserts(), 2u);
}

TEST(BulkProcessing, OldestRecordFirstAcrossTheSequenceWrap) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    AudioBulkIRP& newer = rig.engine.bulkIn(0);
    AudioBulkIRP& older = rig.engine.bulkIn(1);
    ASSERT_TRUE(newer.useIn(2));
    ASSERT_TRUE(older.useIn(0xFFFFFFFF));
    arrive(newer, 0);
    // The older record has nothing yet: the newer one waits behind it.
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 0u);
    arrive(older, 0);
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 1u);
    EXPECT_EQ(older.mProcessed, 1u);
    EXPECT_EQ(newer.mProcessed, 0u);
}

TEST(BulkProcessing, OutFillWritesLeadPacketsWithFillerMidiAndControlBytes) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    EXPECT_EQ(rig.engine.outputLead(), 144u);
    EXPECT_EQ(rig.engine.maxPacketsPerCycle(), 38u);
    AudioBulkIRP& r = rig.engine.bulkOut(0);
    ASSERT_TRUE(r.useOut(1, false));
    for (uint32_t k = 0; k < 20; ++k)
        r.data()[k * 512 + 480] = r.data()[k * 512 + 481] = 0;
    rig.engine.rtsProcessBulkOut();
    // 144 frames of lead: 15 packets of 10.
    EXPECT_EQ(r.mProcessed, 15u);
    EXPECT_EQ(rig.engine.devicePosition(), 150u);
    for (uint32_t k = 0; k < 15; ++k) {
        EXPECT_EQ(r.data()[k * 512 + 480], 0xFD) << k;
        EXPECT_EQ(r.data()[k * 512 + 481], 0xFF) << k;
    }
    EXPECT_EQ(r.data()[15 * 512 + 480], 0);
}

TEST(BulkProcessing, FiveThousandAndOneUnderrunsInTheWindowRequestOneReset) {
    Rig rig(2);
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, settings(2, 2)));
    int resets = 0;
    for (uint32_t frame = 1; frame <= 5001; ++frame) {
        rig.engine.setCurrentFrame(frame);
        const bool was = rig.engine.resetRequested();
        rig.engine.underrun(3, 1);
        resets += !was && rig.engine.resetRequested();
    }
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(rig.engine.underruns(), 5001u);
}

namespace {

// A meter that records where it raised its peaks and how often.
struct MeterCalls {
    const char* levels = nullptr;
    int calls = 0;
};
MeterCalls gOutputMeterCalls;
int recordOutputMeter(char* levels, char* frame) {
    gOutputMeterCalls.levels = levels;
    ++gOutputMeterCalls.calls;
    return LevelProcessor2CH(levels, frame);
}

} // namespace

// The chosen meters run on the bulk path: the input meter over every
// decoded frame into the level record's input bytes, the output meter over
// every encoded frame into its output bytes.
TEST(BulkProcessing, MetersRaiseTheLevelRecordsInputAndOutputBytes) {
    Rig rig(2);
    BulkStreamSettings s = settings(2, 2);
    s.inputMeter = LevelProcessor2CH;
    s.outputMeter = recordOutputMeter;
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, s));
    char levels[64] = {};
    int32_t peaks[32] = {};
    rig.engine.setLevelTargets(levels, levels + 32, peaks);

    AudioBulkIRP& r = rig.engine.bulkIn(0);
    ASSERT_TRUE(r.useIn(1));
    for (uint32_t k = 0; k < 8; ++k) {
        uint8_t* p = r.data() + k * 512;
        for (uint32_t i = 0; i < 512; ++i)
            p[i] = uint8_t(i * 37 + k * 11);
    }
    // What the meter makes of the same packets decoded.
    char want[2] = {};
    std::vector<int32_t> frames(8 * 2 * 8);
    for (uint32_t k = 0; k < 8; ++k) {
        DMA_CONVERT_DATA d{};
        d.src = r.data() + k * 512;
        d.dst = frames.data() + k * 16;
        rig.engine.decoder()(&d);
    }
    for (uint32_t f = 0; f < 64; ++f)
        LevelProcessor2CH(want, reinterpret_cast<char*>(frames.data() + f * 2));
    ASSERT_TRUE(want[0] != 0 || want[1] != 0);
    EXPECT_EQ(rig.engine.rtsProcessBulkIn(), 8u);
    EXPECT_EQ(levels[0], want[0]);
    EXPECT_EQ(levels[1], want[1]);
    for (int i = 32; i < 64; ++i)
        EXPECT_EQ(levels[i], 0) << i;

    gOutputMeterCalls = {};
    AudioBulkIRP& o = rig.engine.bulkOut(0);
    ASSERT_TRUE(o.useOut(1, false));
    rig.engine.rtsProcessBulkOut();
    // Ten frames a packet, every packet filled.
    EXPECT_GT(o.mProcessed, 0u);
    EXPECT_EQ(gOutputMeterCalls.levels, levels + 32);
    EXPECT_EQ(gOutputMeterCalls.calls, int(o.mProcessed) * 10);
}

// Without level targets neither meter runs.
TEST(BulkProcessing, MetersWithoutLevelTargetsDoNotRun) {
    Rig rig(2);
    BulkStreamSettings s = settings(2, 2);
    s.outputMeter = recordOutputMeter;
    ASSERT_TRUE(rig.engine.configureUnbound(BulkTransport::Bulk, 512, 512, s));
    gOutputMeterCalls = {};
    AudioBulkIRP& o = rig.engine.bulkOut(0);
    ASSERT_TRUE(o.useOut(1, false));
    rig.engine.rtsProcessBulkOut();
    EXPECT_GT(o.mProcessed, 0u);
    EXPECT_EQ(gOutputMeterCalls.calls, 0);
}

TEST(InterruptProcessing, Farlane2InPacketsAreSwappedAndCarryTheirExtraBytes) {
    Ring ring(4, 48000);
    FakeHost host;
    KeThread thread;
    ZrBulkStreaming engine(host, thread);
    engine.attach(nullptr, &ring.w, nullptr);
    const uint32_t size = 32 + 28 * 4;
    ASSERT_TRUE(
        engine.configureUnbound(BulkTransport::InterruptFarlane, size, size, settings(4, 4)));
    AudioInterruptIRP& r = engine.intIn(0);
    ASSERT_TRUE(r.useIn(1, false));
    for (uint32_t k = 0; k < 3; ++k) {
        uint8_t* p = r.data() + k * size;
        std::memset(p, 0, size);
        p[0] = 7;
        p[4] = uint8_t(k + 1);
        for (uint32_t i = 0; i < 28; ++i) { // big-endian samples
            const uint32_t v = (k << 16) | (i << 8);
            p[32 + i * 4] = uint8_t(v >> 24);
            p[33 + i * 4] = uint8_t(v >> 16);
            p[34 + i * 4] = uint8_t(v >> 8);
            p[35 + i * 4] = uint8_t(v);
        }
    }
    engine.rtsProcessInterruptIn_Flb();
    EXPECT_EQ(ring.w.getFramePos(), 21u);
    std::vector<int32_t> got(21 * 4);
    ASSERT_TRUE(ring.w.readAt(7, got.data(), 7, audioInt32CopySet));
    EXPECT_EQ(got[5], int32_t((1u << 16) | (5u << 8)));
}
