// Configuring the simulated HX-5100 through the driver's service on the
// simulated bus: the requests the device receives, the state changes the
// clients see, the configured flag and the choices handed to the client
// mixer; refusals leave the settings and the device as they were.
#include <gtest/gtest.h>

#include "tests/driver/engine/ModelRequests.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/config/ZrTranscoderChoice.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"

namespace {

using namespace enginetest;

const Req kSetConfiguration1{0x00, 0x09, 1, 0, 0};
Req setInterface(uint16_t number, uint16_t alternate) {
    return {0x01, 0x0B, alternate, number, 0};
}
Req clearHalt(uint16_t endpoint) {
    return {0x02, 0x01, 0, endpoint, 0};
}

QnChannelSettings stereo24(uint32_t rate) {
    return {rate, 2, 24, 2, 24, 0};
}

bool sameSettings(const QnChannelSettings& a, const QnChannelSettings& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Configurable {
    explicit Configurable(uint8_t speed) : model(makeHX5100(speed)) {
        port = rig.plug(model);
        svc = rig.service(port);
        if (!svc) return;
        dev = svc->getDevice();
        tap = std::make_unique<StateChangeTap>(svc.svc);
        client = user.open(svc.svc, 2);
        clientId = svc->clientIdentifier(client);
    }
    ~Configurable() {
        user.kill();
        tap.reset();
        rig.unplug(port);
    }
    // What every user-space deliverable does first: tell the driver that no
    // firmware updater runs.
    void openNoUpdater() {
        IOReturn r = kIOReturnSuccess;
        EXPECT_EQ(user.open(svc.svc, 4, &r), nullptr);
        EXPECT_EQ(r, kIOReturnBadArgument);
    }
    // The state changes the service sent since the client was opened.
    std::vector<uint32_t> stateCodes(uint64_t* lastOrigin = nullptr) {
        std::vector<uint32_t> codes;
        for (const auto& seen : tap->seen()) {
            if (seen.type != kQnStateChangeMessage) continue;
            codes.push_back(seen.record.mCode);
            if (lastOrigin) *lastOrigin = seen.record.mClient;
        }
        return codes;
    }
    Rig rig;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
    UserTask user{"configtest"};
    std::unique_ptr<StateChangeTap> tap;
    IOUserClient* client = nullptr;
    uint64_t clientId = 0;
};

// The requests of one configuration of the device at `rate`, with the
// device at `deviceRate` before it: the configuration selected, the
// streaming alternates set (output, then input), the halt state of the
// input and output endpoints cleared as the pipes open, the port register
// read on the first configuration only and the mixer buffer written; then
// the selector update twice, each reading the selector (no write: the
// power-on byte 0x02 is what the clock source 0 and USB1 mode 0 want) and
// the rate, setting the rate on both endpoints when it differs. The MIDI
// and status port's pipes (bulk OUT 0x03, interrupt IN 0x83) open after
// the audio pipes.
std::vector<Req> configureTrace(bool first, uint32_t rate, uint32_t deviceRate) {
    std::vector<Req> t = {kSetConfiguration1, setInterface(1, 2), setInterface(2, 2),
                          clearHalt(0x82),    clearHalt(0x01),    clearHalt(0x03),
                          clearHalt(0x83)};
    if (first) t.push_back(kReadPort2);
    t.push_back(kMixer);
    t.insert(t.end(), {kReadSelector, kGetRate});
    if (rate != deviceRate) t.insert(t.end(), {kSetRateIn, kSetRateOut});
    t.insert(t.end(), {kReadSelector, kGetRate});
    return t;
}

class HX5100Configuration : public ::testing::TestWithParam<uint8_t> {
protected:
    std::vector<uint32_t> offeredRates() const {
        if (GetParam() == kUSBHostConnectionSpeedHigh)
            return {44100, 48000, 88200, 96000, 176400, 192000};
        return {44100, 48000};
    }
};

TEST_P(HX5100Configuration, RefusedWhileTheUpdaterStateIsUnknown) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.model->clearTrace();
    EXPECT_EQ(c.svc->reqConfigureDevice("test"), IOReturn(0xE00002BC));
    EXPECT_FALSE(c.dev->isConfigured());
    EXPECT_TRUE(c.model->trace().empty());
    EXPECT_TRUE(c.stateCodes().empty());
}

TEST_P(HX5100Configuration, EveryOfferedRateGivesTheRequestTraceChoicesAndNotifications) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    bool first = true;
    for (uint32_t rate : offeredRates()) {
        SCOPED_TRACE(rate);
        const uint32_t before = c.model->sampleRate();
        const bool wasConfigured = c.dev->isConfigured();
        c.model->clearTrace();
        const size_t seenBefore = c.stateCodes().size();
        IOReturn result = 0;
        EXPECT_TRUE(c.dev->onPrepareNewConfig(stereo24(rate), c.clientId, false, &result));
        EXPECT_EQ(result, kIOReturnSuccess);

        // A configured device first goes back to the alternates without
        // endpoints (input, then output).
        std::vector<Req> expected;
        if (wasConfigured) expected = {setInterface(2, 0), setInterface(1, 0)};
        std::vector<Req> configure = configureTrace(first, rate, before);
        expected.insert(expected.end(), configure.begin(), configure.end());
        EXPECT_EQ(requestsOf(*c.model), expected);
        EXPECT_EQ(c.model->sampleRate(), rate);

        uint64_t origin = 0;
        std::vector<uint32_t> codes = c.stateCodes(&origin);
        ASSERT_EQ(codes.size(), seenBefore + 2);
        EXPECT_EQ(codes[seenBefore], uint32_t(STC_ConfigurationDone));
        EXPECT_EQ(codes[seenBefore + 1], uint32_t(STC_NewConfig));
        EXPECT_EQ(origin, c.clientId);

        EXPECT_TRUE(c.dev->isConfigured());
        EXPECT_EQ(c.dev->getDriverSM()->mConfigured, 1u);
        EXPECT_EQ(c.svc->getConfigureStatus(), kIOReturnSuccess);
        EXPECT_TRUE(sameSettings(c.dev->getCurrentSettings(), stereo24(rate)));
        DriverData* dd = c.dev->getDriverData();
        ASSERT_NE(dd, nullptr);
        EXPECT_EQ(dd->converter(), USB_ENC_FNC(pcmTo24LSB));
        EXPECT_EQ(c.dev->getInputConverter(), USB_DEC_FNC(pcmFrom24LSB));
        // The device's mixer mode is on, so the output mixer follows the
        // output channel count (2).
        EXPECT_EQ(dd->outMixer(), ZrOutMixerFor(2));
        ASSERT_NE(c.dev->pipes()[ZrPipeSlot::InIsoc], nullptr);
        ASSERT_NE(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
        EXPECT_NE(c.dev->getBindings().getPipe(c.dev->pipes()[ZrPipeSlot::InIsoc]), nullptr);
        EXPECT_NE(c.dev->getBindings().getPipe(c.dev->pipes()[ZrPipeSlot::OutIsoc]), nullptr);
        first = false;
    }
    // Both isochronous pipes reached the transport, with the input decoder.
    ZrIsocStreaming& iso = c.dev->getIsocStreaming();
    EXPECT_EQ(iso.inPipe().address, 0x82);
    EXPECT_EQ(iso.outPipe().address, 0x01);
    EXPECT_EQ(iso.inputRing().mDecoder, c.dev->getInputConverter());
    EXPECT_NE(iso.inputRing().mDecoder, nullptr);
    EXPECT_NE(iso.outputRing().mRBs[0], nullptr);
}

TEST_P(HX5100Configuration, SameSettingsAreAlreadyConfiguredAndForceReconfigures) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    ASSERT_TRUE(c.dev->onPrepareNewConfig(stereo24(48000), c.clientId, false));
    const size_t seen = c.stateCodes().size();
    c.model->clearTrace();

    hx::log::Capture cap;
    // The configuration value is not compared.
    QnChannelSettings same = stereo24(48000);
    same.Configuration = 3;
    EXPECT_FALSE(c.dev->onPrepareNewConfig(same, c.clientId, false));
    EXPECT_NE(cap.text().find("already configured\n"), std::string::npos);
    EXPECT_TRUE(c.model->trace().empty());
    EXPECT_EQ(c.stateCodes().size(), seen);
    EXPECT_TRUE(c.dev->isConfigured());

    EXPECT_TRUE(c.dev->onPrepareNewConfig(stereo24(48000), c.clientId, true));
    std::vector<Req> expected = {setInterface(2, 0), setInterface(1, 0)};
    std::vector<Req> configure = configureTrace(false, 48000, 48000);
    expected.insert(expected.end(), configure.begin(), configure.end());
    EXPECT_EQ(requestsOf(*c.model), expected);
    EXPECT_EQ(c.stateCodes().size(), seen + 2);
}

TEST_P(HX5100Configuration, RatesOutsideTheAcceptedRangeAreRefusedAndChangeNothing) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    ASSERT_TRUE(c.dev->onPrepareNewConfig(stereo24(44100), c.clientId, false));
    const QnChannelSettings kept = c.dev->getCurrentSettings();
    const size_t seen = c.stateCodes().size();
    for (uint32_t rate : {0u, 7999u, 384001u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(rate);
        c.model->clearTrace();
        IOReturn result = 0;
        EXPECT_FALSE(c.dev->onPrepareNewConfig(stereo24(rate), c.clientId, true, &result));
        EXPECT_EQ(result, kIOReturnBadArgument);
        EXPECT_TRUE(sameSettings(c.dev->getCurrentSettings(), kept));
        EXPECT_TRUE(c.dev->isConfigured());
        EXPECT_TRUE(c.model->trace().empty());
        EXPECT_EQ(c.stateCodes().size(), seen);

        // The same rate written straight into the shared area.
        c.dev->getCurrentSettings().Frequency = rate;
        EXPECT_EQ(c.svc->reqConfigureDevice("test"), kIOReturnBadArgument);
        EXPECT_TRUE(c.dev->isConfigured());
        EXPECT_TRUE(c.model->trace().empty());
        c.dev->getCurrentSettings() = kept;
    }
}

// The device refuses the new alternate: the attempt fails with the stack's
// code, the old settings come back and are configured again, and the status
// stays that of the failed attempt.
TEST_P(HX5100Configuration, RefusedReconfigurationRestoresTheOldSettings) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    ASSERT_TRUE(c.dev->onPrepareNewConfig(stereo24(44100), c.clientId, false));
    const QnChannelSettings kept = c.dev->getCurrentSettings();
    // The next SET_INTERFACE to alternate 2 of the output interface stalls,
    // once.
    hx::usb::RequestMatch match;
    match.requestType = 0x01;
    match.request = 0x0B;
    match.value = 2;
    match.index = 1;
    c.rig.bus().addFault(c.port, match, hx::usb::Fault::stall(), 1);

    IOReturn result = 0;
    EXPECT_TRUE(c.dev->onPrepareNewConfig(stereo24(48000), c.clientId, false, &result));
    EXPECT_NE(result, kIOReturnSuccess);
    EXPECT_NE(c.svc->getConfigureStatus(), kIOReturnSuccess);
    EXPECT_TRUE(sameSettings(c.dev->getCurrentSettings(), kept));
    EXPECT_TRUE(c.dev->isConfigured());
    EXPECT_EQ(c.model->sampleRate(), 44100u);
    EXPECT_NE(c.dev->getBindings().getPipe(c.dev->pipes()[ZrPipeSlot::OutIsoc]), nullptr);
}

// SET_CONFIGURATION refused by the host every time: five rounds of reset and
// a new attempt, then the stack's code; nothing stays bound.
TEST_P(HX5100Configuration, SetConfigurationFailingAfterFiveResetsFailsWithTheStacksCode) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    hx::usb::RequestMatch match;
    match.requestType = 0x00;
    match.request = 0x09;
    c.rig.bus().addFault(c.port, match, hx::usb::Fault::fail(kIOReturnNotResponding), 6);
    hx::log::Capture cap;
    EXPECT_EQ(c.svc->reqConfigureDevice("test"), kIOReturnNotResponding);
    EXPECT_EQ(c.svc->getConfigureStatus(), kIOReturnNotResponding);
    EXPECT_FALSE(c.dev->isConfigured());
    EXPECT_NE(cap.text().find("USB: SetConfiguration failed with code:E00002ED - try reset 5\n"),
              std::string::npos);
    EXPECT_EQ(cap.text().find("try reset 6"), std::string::npos);
    EXPECT_EQ(c.dev->getBindings().boundInterfaces(), 0);
    EXPECT_TRUE(c.stateCodes().empty());
}

// Unconfiguring returns the streaming interfaces to alternate 0 once; the
// second time there is nothing left to undo.
TEST_P(HX5100Configuration, UnconfiguringTwiceDoesNothingTheSecondTime) {
    Configurable c(GetParam());
    ASSERT_TRUE(c.svc);
    c.openNoUpdater();
    ASSERT_TRUE(c.dev->onPrepareNewConfig(stereo24(48000), c.clientId, false));
    c.model->clearTrace();
    c.svc->unconfigureDevice(false, "test");
    EXPECT_EQ(requestsOf(*c.model), (std::vector<Req>{setInterface(2, 0), setInterface(1, 0)}));
    EXPECT_FALSE(c.dev->isConfigured());
    EXPECT_EQ(c.dev->pipes()[ZrPipeSlot::InIsoc], nullptr);
    EXPECT_EQ(c.dev->getBindings().boundInterfaces(), 0);
    EXPECT_EQ(c.dev->getBindings().boundPipes(), 0);
    c.model->clearTrace();
    const size_t stubs = c.dev->stubTrace().size();
    c.svc->unconfigureDevice(false, "test");
    EXPECT_TRUE(c.model->trace().empty());
    EXPECT_EQ(c.dev->stubTrace().size(), stubs);
}

INSTANTIATE_TEST_SUITE_P(Speeds, HX5100Configuration,
                         ::testing::Values(uint8_t(kUSBHostConnectionSpeedFull),
                                           uint8_t(kUSBHostConnectionSpeedHigh)),
                         [](const auto& info) {
                             return info.param == kUSBHostConnectionSpeedHigh ? "High" : "Full";
                         });

} // namespace
