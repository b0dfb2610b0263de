// Client mixing: attach and detach, the start of attached clients, the mix,
// exclusive output, relayout, fractions and routing.
#include "tests/driver/engine/stream/MixFixture.h"

#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXLog.h"

using hx::test::MixClient;
using hx::test::MixFixture;
using hx::test::RingMemory;

namespace {

int gConverterCalls = 0;
u_int32_t countingConverter(char* out, const int32_t* in, u_int32_t bytes) {
    if (out && in) ++gConverterCalls;
    return pcmTo32LSB(out, in, bytes);
}

} // namespace

class DriverDataTest : public MixFixture {};

TEST_F(DriverDataTest, TwoClientsSumAndSaturate) {
    hx::log::Capture log;
    MixClient a, b;
    ASSERT_TRUE(attach(a));
    ASSERT_TRUE(attach(b));
    dd->rtsCheckAttachClients(0, 0, 1000);
    a.writeConstant({0x400000, 1}, 16);
    b.writeConstant({0x400000, 1}, 16);
    const auto wire = mix(0, 16);
    for (uint32_t f = 0; f < 16; ++f) {
        EXPECT_EQ(uint32_t(dd->mixingBuffer()[2 * f]), 0x7FFFFF00u);
        EXPECT_EQ(dd->mixingBuffer()[2 * f + 1], 0x200);
        EXPECT_EQ(uint32_t(wire[2 * f]), 0x7FFFFF00u); // packed little-endian, 32 bits
    }
    int32_t peaks[2];
    dd->readOutputPeaks(peaks, 2);
    EXPECT_EQ(uint32_t(peaks[0]), 0x7FFFFF00u);
    EXPECT_EQ(peaks[1], 0x200);
    dd->readOutputPeaks(peaks, 2);
    EXPECT_EQ(peaks[0], 0);
}

TEST_F(DriverDataTest, ExclusiveOwnerSilencesTheOthersInEitherOrder) {
    for (int ownerFirst = 0; ownerFirst < 2; ++ownerFirst) {
        SCOPED_TRACE(ownerFirst);
        MixClient a, b;
        ASSERT_TRUE(attach(ownerFirst ? a : b, 2, ownerFirst ? 0xA1 : 0xB2));
        ASSERT_TRUE(attach(ownerFirst ? b : a, 2, ownerFirst ? 0xB2 : 0xA1));
        // The shared word is only a copy for user space: it silences nobody.
        sm->mExclusiveOutputOwner = 0xB2;
        dd->setOwners(0xA1, 0);
        dd->rtsCheckAttachClients(0, 0, 1000);
        a.writeConstant({100, -100}, 8);
        b.writeConstant({1000, 1000}, 8);
        mix(0, 8);
        for (uint32_t i = 0; i < 16; ++i)
            EXPECT_EQ(dd->mixingBuffer()[i], (i & 1 ? -100 : 100) * 256) << i;
        dd->setOwners(0, 0);
        mix(0, 8);
        EXPECT_EQ(dd->mixingBuffer()[0], 1100 * 256);
        dd->detachAllClients();
    }
}

TEST_F(DriverDataTest, NoClientZeroesTheWireWithoutTheConverter) {
    QnChannelSettings s{48000, 2, 24, 2, 24, 1};
    dd->setConverters(countingConverter, s);
    gConverterCalls = 0;
    auto wire = mix(0, 8);
    for (int32_t v : wire)
        EXPECT_EQ(v, 0);
    EXPECT_EQ(gConverterCalls, 0);
    // Attached but not running: the converter encodes a block of zeros.
    MixClient a;
    ASSERT_TRUE(attach(a));
    a.writeConstant({77, 77}, 8);
    wire = mix(0, 8);
    EXPECT_EQ(gConverterCalls, 1);
    for (int32_t v : wire)
        EXPECT_EQ(v, 0);
}

TEST_F(DriverDataTest, AttachStartsFromTheNewestStamp) {
    hx::log::Capture log;
    RingMemory input;
    AudioSMWriter writer;
    writer.bind(input.sm, AudioSMGeometry{});
    writer._init(2, 48000, 0);
    for (uint64_t i = 1; i <= 10; ++i) {
        writer.writeFrames(nullptr, 192, 0);
        writer.AddTimeStamp(1000000 * i, 192, true);
    }
    uint64_t host = 0, sample = 0;
    writer.GetLastTimeStamp(host, sample);
    ASSERT_EQ(sample, 1920u);

    MixClient a;
    ASSERT_TRUE(attach(a, 2, 0, 4321, 256));
    EXPECT_EQ(+(a.ring->mAttachState), 2u);
    EXPECT_EQ(dd->slotState(a.slot), 2u);
    dd->rtsCheckAttachClients(sample, 777, host);
    EXPECT_EQ(+(a.ring->mAttachState), 1u);
    EXPECT_EQ(dd->slotState(a.slot), 1u);
    EXPECT_EQ(+(a.ring->mClientFramePos), 1920u);
    EXPECT_EQ(+(a.ring->mFramePos), 1920u);
    EXPECT_EQ(+(a.ring->mAttachTimeStamp), host);
    EXPECT_EQ(+(a.ring->mAttachFramePos), 1920u);
    EXPECT_EQ(+(a.ring->mAttachOutFramePos), 777u);
    EXPECT_EQ(+(a.ring->mKernelOutFramePos), 777u);
    EXPECT_NE(log.text().find(
                  "DriverData::rtsCheckAttachClients, client 0 framePos 1920 timestamp 10000000\n"),
              std::string::npos);
    // Running rings only get the device position.
    a.writeConstant({1, 1}, 100);
    dd->rtsCheckAttachClients(5000, 900, host + 1);
    EXPECT_EQ(+(a.ring->mFramePos), 2020u);
    EXPECT_EQ(+(a.ring->mKernelOutFramePos), 900u);
    int minimum = -1, clients = -1;
    dd->rtsGetMinAvailableFrames(minimum, clients, 2000);
    EXPECT_EQ(clients, 1);
    EXPECT_EQ(minimum, 20);
}

// A relayout carries the extra bytes per frame the product's rule gives.
TEST_F(DriverDataTest, RelayoutTakesTheExtraBytesItIsGiven) {
    MixClient c;
    ASSERT_TRUE(attach(c));
    QnChannelSettings two{48000, 2, 24, 2, 24, 1};
    for (uint32_t extra : {0u, 2u, 4u}) {
        dd->reinitClientsForStreaming(two, extra);
        EXPECT_EQ(+(c.ring->mExtraBytesPerFrame), extra);
    }
}

TEST_F(DriverDataTest, RelayoutPutsRunningRingsBackToAttachRequested) {
    hx::log::Capture log;
    MixClient running, waiting;
    ASSERT_TRUE(attach(running));
    dd->rtsCheckAttachClients(0, 0, 1);
    ASSERT_TRUE(attach(waiting));
    QnChannelSettings six{96000, 2, 24, 6, 24, 1};
    dd->reinitClientsForStreaming(six, 0);
    EXPECT_NE(log.text().find("...found attached client\n"), std::string::npos);
    EXPECT_EQ(dd->slotState(running.slot), 2u);
    EXPECT_EQ(+(running.ring->mAttachState), 2u);
    EXPECT_EQ(+(running.ring->mChannelsPerFrame), 6u);
    EXPECT_EQ(+(running.ring->mMaxFrames), 16384u);
    EXPECT_EQ(dd->slotState(waiting.slot), 0u);
    EXPECT_EQ(+(waiting.ring->mAttachState), 0u);
    EXPECT_EQ(+(running.ring->mExtraBytesPerFrame), 0u);
    // The running one restarts at the next cycle; the other once its client
    // asks again by writing 3.
    dd->rtsCheckAttachClients(4096, 10, 2);
    EXPECT_EQ(dd->slotState(running.slot), 1u);
    EXPECT_EQ(dd->slotState(waiting.slot), 0u);
    waiting.ring->mAttachState = 3;
    dd->rtsCheckAttachClients(8192, 20, 3);
    EXPECT_EQ(dd->slotState(waiting.slot), 1u);
    EXPECT_EQ(+(waiting.ring->mFramePos), 8192u);
    // Mixing follows the new layout: 6-channel rings into 6-channel packets.
    running.writeConstant({1, 2, 3, 4, 5, 6}, 4, 8192 - 4096);
    waiting.writeConstant({10, 20, 30, 40, 50, 60}, 4);
    std::vector<int32_t> wire(4 * 6);
    dd->rtsIsocOutput(reinterpret_cast<char*>(wire.data()), uint32_t(wire.size() * 4), 8192, 4,
                      nullptr);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(wire[c], (c + 1) * 11 * 256) << c;
}

TEST_F(DriverDataTest, SlotsCountsAndReferences) {
    std::vector<std::unique_ptr<MixClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<MixClient>());
        ASSERT_TRUE(attach(*clients.back(), 2, 0x100 + i, 500 + i, 64 * (i + 1)));
        EXPECT_EQ(clients.back()->slot, i);
        EXPECT_EQ(clients.back()->client->getRetainCount(), 2);
    }
    EXPECT_EQ(dd->countClients(), 8);
    EXPECT_EQ(+(sm->mAttachedClients), 8u);
    EXPECT_EQ(+(sm->mClients[3].mClientIdentifier), 503);
    EXPECT_EQ(+(sm->mClients[3].mParameter), 256u);
    EXPECT_EQ(+(sm->mClients[3].mClient), 0x103u);
    EXPECT_EQ(+(sm->mClients[3].mRing), 0u);
    EXPECT_EQ(+(sm->mClients[3].mLockCount), 0u);
    MixClient ninth;
    int slot = 99;
    EXPECT_FALSE(attach(ninth));
    EXPECT_EQ(ninth.client->getRetainCount(), 1);
    EXPECT_EQ(dd->countClients(), 8);
    EXPECT_FALSE(dd->isClientAttached(ninth.client));
    EXPECT_FALSE(dd->attachClient(nullptr, ninth.ring.sm, 1, slot, 0));

    EXPECT_TRUE(dd->detachClient(clients[3]->client));
    EXPECT_FALSE(dd->detachClient(clients[3]->client));
    EXPECT_EQ(clients[3]->client->getRetainCount(), 1);
    EXPECT_EQ(dd->countClients(), 7);
    EXPECT_EQ(+(sm->mAttachedClients), 7u);
    EXPECT_EQ(+(sm->mClients[3].mClient), 0u);
    EXPECT_EQ(+(sm->mClients[3].mClientIdentifier), 0);
    ASSERT_TRUE(attach(ninth));
    EXPECT_EQ(ninth.slot, 3); // the first free slot

    EXPECT_EQ(dd->retain(), 2u);
    EXPECT_EQ(dd->release(), 1u);
    dd->detachAllClients();
    EXPECT_EQ(dd->countClients(), 0);
    EXPECT_EQ(ninth.client->getRetainCount(), 1);
    dd->sharedMemoryDestroyed();
    EXPECT_EQ(dd->countClients(), 0);
    EXPECT_FALSE(attach(ninth));
}

TEST_F(DriverDataTest, FractionsAndRouting) {
    EXPECT_EQ(dd->leftFraction(0).nNumerator, 1);
    EXPECT_EQ(dd->leftFraction(1).nNumerator, 0);
    EXPECT_EQ(dd->rightFraction(1).nNumerator, 1);
    EXPECT_EQ(dd->routingMap()[5], 5);
    QN_MixerFraction f{3, {7, 0}, {0, 0}};
    EXPECT_TRUE(dd->setMixerFraction(f));
    EXPECT_EQ(f.nFractionLeft.nDenominator, 1); // also in the caller's record
    EXPECT_EQ(dd->leftFraction(3).nNumerator, 7);
    EXPECT_EQ(dd->leftFraction(3).nDenominator, 1);
    for (int bad : {-1, 32, 1000}) {
        QN_MixerFraction g{bad, {1, 1}, {1, 1}};
        EXPECT_FALSE(dd->setMixerFraction(g)) << bad;
    }
    QN_MixerFractions all{};
    all.mMixerFractionLeft[0] = {2, 0};
    dd->setMixerFractions(all);
    EXPECT_EQ(dd->leftFraction(0).nNumerator, 2);
    EXPECT_EQ(dd->leftFraction(0).nDenominator, 1);
    EXPECT_EQ(dd->rightFraction(31).nDenominator, 1);
    dd->setRoutingMatrix(nullptr);
    EXPECT_EQ(dd->routingMap()[5], 5);
}

// The default routing mixes (halving toward zero, doubling); routing byte 0
// set to 1 carries playback pair 0 unchanged.
TEST_F(DriverDataTest, OutputMixerRoundsTheMixAndRoutingBypassesIt) {
    dd->setOutMixer(outMixer2CH);
    MixClient a;
    ASSERT_TRUE(attach(a));
    dd->rtsCheckAttachClients(0, 0, 1);
    a.writeConstant({0x1001, -0x1001}, 4);
    mix(0, 4);
    EXPECT_EQ(dd->mixingBuffer()[0], 0x1000 * 256);
    EXPECT_EQ(dd->mixingBuffer()[1], -0x1000 * 256);
    char routing[32];
    for (int i = 0; i < 32; ++i)
        routing[i] = char(i);
    routing[0] = 1;
    dd->setRoutingMatrix(routing);
    mix(0, 4);
    EXPECT_EQ(dd->mixingBuffer()[0], 0x1001 * 256);
    EXPECT_EQ(dd->mixingBuffer()[1], -0x1001 * 256);
}

TEST_F(DriverDataTest, OversizedCyclesAreRefused) {
    hx::log::Capture log;
    MixClient a;
    ASSERT_TRUE(attach(a));
    std::vector<char> wire(8193 * 4, 0x11);
    dd->rtsIsocOutput(wire.data(), uint32_t(wire.size()), 0, 4096, nullptr);
    EXPECT_NE(log.text().find("cCDInfo.uSamples:00002001 > ISOC_TEMP_SAMPLES"), std::string::npos);
    EXPECT_EQ(wire[0], 0x11);
    // A packet without frames mixes nothing.
    std::vector<int32_t> small(4, 0x5A);
    dd->rtsIsocOutput(reinterpret_cast<char*>(small.data()), 16, 0, 0, nullptr);
    EXPECT_EQ(small[0], 0x5A);
}

TEST_F(DriverDataTest, BulkOutputMixesIntoThePcmBlock) {
    std::vector<int32_t> pcm(16, 0x77);
    dd->rtsBulkOutput(pcm.data(), 16, 0, 8);
    for (int32_t v : pcm)
        EXPECT_EQ(v, 0);
    MixClient a;
    ASSERT_TRUE(attach(a));
    dd->rtsCheckAttachClients(0, 0, 1);
    a.writeConstant({5, 6}, 8);
    dd->rtsInterruptOutput(pcm.data(), 16, 0, 8);
    EXPECT_EQ(pcm[0], 5 * 256);
    EXPECT_EQ(pcm[15], 6 * 256);
}
