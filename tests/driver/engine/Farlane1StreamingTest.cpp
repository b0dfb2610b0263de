// The first Sorvik generation streaming through the client harness on the
// virtual clock: the requests of the resume, every output header, the
// loopback, the private-data client's extra bytes in the headers, the
// release the device must have, and the relayout of a running ring.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "abi/AudioSM.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"
#include "platform/usb/devices/SorvikModel.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::harness::HarnessReport;
using hx::usb::devices::SorvikModel;

HarnessOptions farlane(bool highSpeed) {
    HarnessOptions o;
    o.device = DeviceKind::Farlane1;
    o.highSpeed = highSpeed;
    o.rate = 48000;
    return o;
}

SorvikModel& sorvik(ClientHarness& h) {
    return static_cast<SorvikModel&>(*h.model());
}

void expectHeadersRight(const SorvikModel& m) {
    const hx::usb::devices::SorvikHeaderStats s = m.headerStats();
    EXPECT_GT(s.packets, 400u);
    EXPECT_EQ(s.shortPackets, 0u);
    EXPECT_EQ(s.badFrames, 0u);
    EXPECT_EQ(s.badTotal, 0u);
    EXPECT_EQ(s.badTail, 0u);
    EXPECT_EQ(s.badIndex, 0u);
}

class Farlane1Streaming : public ::testing::TestWithParam<bool> {};

TEST_P(Farlane1Streaming, ResumeSendsResolutionsAndMapsAndTheLoopbackIsBitExact) {
    hx::log::Capture log;
    ClientHarness h(farlane(GetParam()));
    ASSERT_TRUE(h.start()) << h.lastError();
    sorvik(h).clearHeaders();
    h.run(500000);
    const HarnessReport r = h.report();
    SCOPED_TRACE(hx::harness::describe(r));
    EXPECT_TRUE(h.device()->isStreamingStarted());
    EXPECT_NE(log.text().find("Modal6: config:"), std::string::npos);
    // Input interface (1), then output (0), each with its resolution.
    const auto resolutions = sorvik(h).resolutionRequests();
    ASSERT_EQ(resolutions.size(), 2u);
    EXPECT_EQ(resolutions[0], (std::pair<uint8_t, uint16_t>{1, 24}));
    EXPECT_EQ(resolutions[1], (std::pair<uint8_t, uint16_t>{0, 24}));
    // The map goes to the input, then the output interface, each time.
    const std::vector<uint8_t> maps = sorvik(h).mapOrder();
    ASSERT_GE(maps.size(), 2u);
    EXPECT_EQ(maps.size() % 2, 0u);
    for (size_t i = 0; i < maps.size(); ++i)
        EXPECT_EQ(maps[i], i % 2 == 0 ? 1 : 0) << i;
    expectHeadersRight(sorvik(h));
    EXPECT_EQ(r.streamBreaks, 0u);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_GT(r.framesChecked, 48000u / 4);
}

// The owner's extra bytes reach the headers (at full speed the first 47
// frames' of a packet); a client that does not own the private data has
// its extra bytes consumed and not sent.
TEST_P(Farlane1Streaming, ThePrivateDataOwnersExtraBytesGoInTheHeaders) {
    for (bool owner : {true, false}) {
        HarnessOptions o = farlane(GetParam());
        o.writeExtraBytes = true;
        o.takePrivateData = owner;
        ClientHarness h(o);
        ASSERT_TRUE(h.start()) << h.lastError();
        sorvik(h).clearHeaders();
        h.run(500000);
        const HarnessReport r = h.report();
        SCOPED_TRACE(hx::harness::describe(r));
        expectHeadersRight(sorvik(h));
        EXPECT_TRUE(r.matched);
        uint64_t carrying = 0, bytes = 0;
        for (const SorvikModel::OutHeader& p : sorvik(h).outHeaders()) {
            bool any = false;
            for (uint8_t b : p.extra)
                any = any || b != 0;
            if (!owner) {
                EXPECT_FALSE(any);
                continue;
            }
            if (!any) continue;            // before the client's first frame
            if (++carrying == 1) continue; // the client's first frame may fall inside it
            EXPECT_LE(p.extra.size(), 94u);
            EXPECT_EQ(p.extra.size(), std::min<size_t>(2u * p.frames, 94u));
            const uint64_t first = p.total - p.frames;
            for (size_t i = 0; i < p.extra.size(); ++i, ++bytes)
                ASSERT_EQ(p.extra[i], hx::harness::extraByteOf(first + i / 2, uint32_t(i % 2)))
                    << "packet at " << first << " byte " << i;
        }
        if (owner) {
            EXPECT_GT(carrying, 300u);
            EXPECT_GT(bytes, carrying * 2 * 5);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothSpeeds, Farlane1Streaming, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "High" : "Full";
                         });

TEST(Farlane1Release, AnotherReleaseDoesNotStream) {
    HarnessOptions o = farlane(false);
    o.release = 2;
    hx::log::Capture log;
    ClientHarness h(o);
    ASSERT_TRUE(h.boot() && h.openClient()) << h.lastError();
    EXPECT_FALSE(h.configure());
    EXPECT_EQ(h.lastError(), "streaming did not start");
    EXPECT_FALSE(h.device()->isStreamingStarted());
    EXPECT_NE(log.text().find("ZrDevice::resumeStreaming mDeviceDescriptor.m_uBcdDevice != 3\n"),
              std::string::npos);
    EXPECT_TRUE(sorvik(h).resolutionRequests().empty());
}

// A suspend lays the running ring out again with the device's extra bytes
// and sets it to wait for a restart.
TEST(ClientRelayout, ExtraBytesByIdentityAndARunningRingWaitsForItsRestart) {
    for (bool isFarlane : {true, false}) {
        HarnessOptions o = farlane(false);
        if (!isFarlane) o.device = DeviceKind::HX5100;
        ClientHarness h(o);
        ASSERT_TRUE(h.start()) << h.lastError();
        h.run(100000);
        ASSERT_EQ(h.ringState(), 1u);
        EXPECT_EQ(h.device()->clientRingExtraBytes(), isFarlane ? 2u : 0u);
        ASSERT_TRUE(h.device()->suspendStreaming());
        EXPECT_EQ(h.ringState(), 2u);
        EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(h.clientRing(), AudioSM, mExtraBytesPerFrame)),
                  isFarlane ? 2u : 0u);
        h.device()->resumeStreaming();
        h.run(100000);
        EXPECT_EQ(h.ringState(), 1u);
    }
}

} // namespace
