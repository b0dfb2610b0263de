// The isochronous transport's faults and edges on the virtual clock: a
// stream across bus frame 2^32, a late output completion, a stream whose
// requests can no longer be queued, alternates the transport cannot carry,
// and the bandwidth table.
#include "tests/driver/engine/transport/StreamRig.h"

#include "abi/QN_StateChange.h"
#include "platform/base/HXLog.h"

namespace {

using namespace hx::test;

TEST(IsocFaults, AStreamStartedBeforeBusFrame2To32CrossesItWithoutABreak) {
    const uint64_t wrap = 0x100000000ull;
    StreamRig rig({kUSBHostConnectionSpeedFull, 44100, 200}, wrap - 10050);
    ASSERT_TRUE(rig.configured);
    uint64_t startFrame = rig.in->getFrameNumber();
    ASSERT_LE(startFrame, wrap - 10000);
    ASSERT_GT(startFrame, wrap - 10050);
    ASSERT_TRUE(rig.start());
    rig.attachClient();
    rig.run(300);
    ASSERT_TRUE(rig.pattern.isLocked());
    const uint32_t errorsAtLock = rig.engine.inputErrors();
    const size_t lockFrame = rig.received.size() / 2;
    rig.run(10500);
    ASSERT_GT(rig.in->getFrameNumber(), wrap + 500);

    EXPECT_TRUE(rig.engine.isStreamingStarted());
    EXPECT_TRUE(rig.host.changesSoFar().empty());
    EXPECT_EQ(rig.engine.inputErrors(), errorsAtLock);
    const auto s = rig.model->streamStats();
    EXPECT_EQ(s.inFramesLost, 0u);
    EXPECT_EQ(s.outSizeAnomalies, 0u);
    EXPECT_EQ(s.discontinuities, 0u);
    EXPECT_EQ(s.dropouts, 0u);
    EXPECT_GT(rig.engine.framesIn(), 44100u * 107 / 10); // 10.8 s ran
    expectRampWithConstantLatency(rig.received, lockFrame);
}

TEST(IsocFaults, ALateOutputCompletionStopsTheStreamWithOneStateChange) {
    StreamRig rig({kUSBHostConnectionSpeedFull, 48000, 0});
    ASSERT_TRUE(rig.start());
    rig.attachClient();
    rig.run(100);
    ASSERT_TRUE(rig.engine.isStreamingStarted());
    // The output plan falls behind the bus: the next write completion finds
    // the frame of its successor already passed.
    uint32_t now = 0;
    ASSERT_TRUE(rig.engine.getCurrentFrame(now));
    hx::log::Capture log;
    rig.engine.outputRing().mNextFrame.store(now - 10);
    rig.run(30);
    EXPECT_FALSE(rig.engine.isStreamingStarted());
    EXPECT_EQ(rig.host.changesSoFar(), std::vector<uint32_t>{STC_STREAM_BROKEN});
    EXPECT_NE(log.text().find("rtsIsoWriteComplete to late current:"), std::string::npos);
    EXPECT_NE(log.text().find("ZrDevice::rtsIsoWriteComplete: STC_STREAM_BROKEN\n"),
              std::string::npos);
    rig.run(30);
    EXPECT_EQ(rig.host.changesSoFar().size(), 1u);
    // Recovery: only one caller claims the break.
    EXPECT_TRUE(rig.engine.claimStreamBroken());
    EXPECT_FALSE(rig.engine.claimStreamBroken());
}

TEST(IsocFaults, AStreamWithNothingInFlightAfterAFailedSubmissionIsDeclaredBrokenOnce) {
    StreamRig rig({kUSBHostConnectionSpeedHigh, 96000, 0});
    ASSERT_TRUE(rig.start());
    rig.run(50);
    uint32_t now = 0;
    ASSERT_TRUE(rig.engine.getCurrentFrame(now));
    hx::log::Capture log;
    // Every further read asks for frames that have passed: the bus refuses
    // them, and once the reads in flight have completed nothing would ever
    // queue again.
    rig.engine.inputRing().mNextFrame.store(now - 1000);
    rig.run(40);
    EXPECT_NE(log.text().find("ZrDevice::rtsRequestIn isoc read failed with status E00002EE\n"),
              std::string::npos);
    EXPECT_FALSE(rig.engine.isStreamingStarted());
    EXPECT_EQ(rig.host.changesSoFar(), std::vector<uint32_t>{STC_STREAM_BROKEN});
    EXPECT_EQ(rig.engine.inputRing().inFlight(), 0u);
    rig.run(40);
    EXPECT_EQ(rig.host.changesSoFar().size(), 1u);
}

TEST(IsocFaults, AlternatesThatCannotCarryThePatternAreRefusedAtConfiguration) {
    // (expected + tolerance) x bytes per frame against the endpoint (300
    // bytes at full speed, 156 a microframe at high speed) and the block.
    const struct {
        uint8_t speed;
        uint32_t rate, channels;
        bool ok;
    } cases[] = {
        {kUSBHostConnectionSpeedFull, 48000, 2, true},   // 50 x 6 = 300
        {kUSBHostConnectionSpeedFull, 49000, 2, false},  // 51 x 6
        {kUSBHostConnectionSpeedFull, 44100, 4, false},  // 46 x 12
        {kUSBHostConnectionSpeedHigh, 192000, 2, true},  // 25 x 6 = 150
        {kUSBHostConnectionSpeedHigh, 208000, 2, false}, // 27 x 6 = 162
        {kUSBHostConnectionSpeedHigh, 96000, 4, true},   // 13 x 12 = 156
        {kUSBHostConnectionSpeedHigh, 192000, 4, false}, // 25 x 12
    };
    for (const auto& c : cases) {
        StreamRig rig({c.speed, c.speed >= kUSBHostConnectionSpeedHigh ? 96000u : 48000u, 0});
        IsocStreamSettings s;
        s.rate = c.rate;
        s.inChannels = s.outChannels = c.channels;
        s.inBytesPerSample = s.outBytesPerSample = 3;
        s.decoder = pcmFrom24LSB;
        hx::log::Capture log;
        EXPECT_EQ(rig.engine.configure(rig.highSpeed, rig.in, rig.out, s), c.ok)
            << c.rate << " " << c.channels;
        EXPECT_EQ(log.text().find("exceed the packet") == std::string::npos, c.ok);
    }
}

TEST(IsocFaults, HighSpeedAudioEndpointsPolledEvery4MicroframesAreRefusedWithALogLine) {
    StreamRig rig({kUSBHostConnectionSpeedHigh, 48000, 0});
    // The model's only high-speed endpoint with interval 4 is its status
    // endpoint; offered as the capture pipe it stands for such an alternate.
    std::vector<IOUSBHostInterface*> intf;
    OSIterator* it = rig.device->getClientIterator();
    while (OSObject* o = it->getNextObject())
        if (auto* i = OSDynamicCast(IOUSBHostInterface, o)) intf.push_back(i);
    it->release();
    IOUSBHostPipe* status = intf[3]->copyPipe(0x83);
    ASSERT_NE(status, nullptr);
    ASSERT_EQ(status->getEndpointDescriptor()->bInterval, 4);
    IsocStreamSettings s;
    s.rate = 48000;
    s.inChannels = 1;
    s.inBytesPerSample = 3;
    s.decoder = pcmFrom24LSB;
    hx::log::Capture log;
    EXPECT_FALSE(rig.engine.configure(true, status, nullptr, s));
    EXPECT_NE(
        log.text().find(
            "endpoint 0x83: isochronous audio with interval 4 at high speed is not supported"),
        std::string::npos);
    status->release();
}

TEST(IsocFaults, BandwidthFollowsTheTableAndGivesOtherRatesRoomForTheirFrames) {
    const struct {
        uint32_t rate, frames;
    } table[] = {{32000, 34},   {44100, 46}, {48000, 50},   {64000, 66},
                 {88200, 90},   {96000, 98}, {128000, 132}, {176400, 180},
                 {192000, 196}, {22050, 25}, {8000, 10},    {11025, 14}};
    for (const auto& t : table)
        EXPECT_EQ(ZrIsocStreaming::framesPerBusFrame(t.rate), t.frames) << t.rate;

    // What a pipe uses: the frames of one bus frame while they fit the
    // endpoint at full speed; the maximum at high speed, when they do not
    // fit, or when the product keeps it.
    const struct {
        uint32_t rate;
        bool highSpeed, keep;
        uint32_t used;
    } uses[] = {{48000, false, false, 300}, {44100, false, false, 46 * 6},
                {96000, false, false, 300}, {22050, false, false, 25 * 6},
                {44100, true, false, 300},  {44100, false, true, 300}};
    for (const auto& u : uses)
        EXPECT_EQ(ZrIsocStreaming::bandwidthInUse(u.rate, 3, 2, 300, u.highSpeed, u.keep), u.used)
            << u.rate;
    {
        StreamRig full({kUSBHostConnectionSpeedFull, 44100, 0});
        EXPECT_EQ(full.engine.inPipe().bandwidth, 46u * 6); // needed bytes fit the 300-byte packet
        full.engine.setPipeBandwidth(full.engine.outPipe().handle, 120);
        EXPECT_EQ(full.engine.outPipe().bandwidth, 120u);
        EXPECT_EQ(full.engine.inPipe().bandwidth, 46u * 6);
    }

    StreamRig high({kUSBHostConnectionSpeedHigh, 44100, 0});
    EXPECT_EQ(high.engine.inPipe().bandwidth, 156u); // high speed keeps the maximum
}

} // namespace

namespace {

TEST(IsocBlocks, LayoutFollowsTheBusAndTheRingOrdersBlocksAcrossTheFrameWrap) {
    const struct {
        uint8_t speed;
        uint32_t packets, bytes, request;
    } cases[] = {
        {kUSBHostConnectionSpeedFull, 4, 4096, 46 * 6}, // the bandwidth in use at 44.1 kHz
        {kUSBHostConnectionSpeedHigh, 32, 32768, 156},  // the endpoint's maximum, every microframe
    };
    for (const auto& c : cases) {
        StreamRig rig({c.speed, 44100, 0});
        ASSERT_TRUE(rig.configured);
        IsocData& ring = rig.engine.inputRing();
        ring.prepareForStream(0xFFFFFFF8u);
        ZrIsocRB* taken[4];
        const uint32_t starts[4] = {0xFFFFFFF8u, 0xFFFFFFFCu, 0, 4};
        for (int i = 0; i < 4; ++i) {
            taken[i] = ring.next();
            ASSERT_NE(taken[i], nullptr);
            EXPECT_EQ(taken[i]->mStartFrame.load(), starts[i]);
            EXPECT_EQ(taken[i]->mFrameCount, c.packets);
            EXPECT_EQ(taken[i]->mBufferSize, c.bytes);
            taken[i]->initRead();
            EXPECT_EQ(taken[i]->mFrameList[c.packets - 1].requestCount, c.request);
        }
        hx::log::Capture log;
        EXPECT_EQ(ring.next(), nullptr);
        EXPECT_EQ(log.text(), "IsocData::next() - mRBs[mNext]->isInUse()\n");
        // The earliest block is the one before the wrap, whatever its slot.
        for (int i = 1; i < 4; ++i)
            taken[i]->changeState(ZrIsocRBState::Taken, ZrIsocRBState::Queued);
        EXPECT_EQ(ring.getEarliestUnprocessed(), taken[1]);
        taken[1]->changeState(ZrIsocRBState::Queued, ZrIsocRBState::Processed);
        EXPECT_EQ(ring.getEarliestUnprocessed(), taken[2]);
        for (ZrIsocRB* rb : taken)
            rb->release();
        ring.prepareForStream(0x1000);
    }
}

TEST(IsocBlocks, WithoutClientsQueuedPacketsCarrySilenceAndThePositionStillAdvances) {
    StreamRig rig({kUSBHostConnectionSpeedHigh, 48000, 100});
    ASSERT_TRUE(rig.start());
    rig.run(500);
    const auto s = rig.model->streamStats();
    EXPECT_GT(s.outFrames, 48000u * 4 / 10);
    EXPECT_EQ(s.outSizeAnomalies, 0u);
    EXPECT_EQ(s.rampFrames, 0u);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.silentFrames, s.playedFrames);
    // Every frame sent was counted into the position, which runs ahead of
    // the bus by the packets filled before they are due.
    EXPECT_GE(rig.engine.devicePosition(), s.outFrames);
    EXPECT_LE(rig.engine.devicePosition(), s.outFrames + 4 * 48 + 8);
    EXPECT_TRUE(rig.host.changesSoFar().empty());
}

} // namespace
