// The selector, port-register, mixer-buffer and transmitter exchanges of a
// configuration, sent through the simulated bus to the HX-5100 model from
// its power-on state; the model's own trace is the request sequence.
#include "driver/engine/config/ZrConfigControls.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include "tests/driver/engine/ModelRequests.h"

#include <memory>
#include <vector>

namespace {

using hx::usb::Bus;
using hx::usb::devices::HX5100Model;
using namespace enginetest;

Req writeSelector(uint8_t b) {
    return {0x40, 0x49, b, 0, 0};
}

class HX5100Config : public ::testing::TestWithParam<uint8_t> {
protected:
    // A freshly powered device on the bus and a shared area at its defaults.
    void plugFresh() {
        if (device) {
            device->release();
            bus.unplug(port);
        }
        model = std::make_shared<HX5100Model>(GetParam(),
                                              hx::usb::devices::hx5100Identity(0x0100, "SN1"));
        port = bus.plug(model);
        device = bus.copyDevice(port);
        *sm = DriverSM{};
        sm->mAjExtData.setDefaults();
        frequencySets.clear();
        model->clearTrace();
    }

    void SetUp() override {
        plugFresh();
        ASSERT_NE(device, nullptr);
        traits.products = ZrConfigProductFlagsFor(kKorvexVendorID, kKorvexHX5100ProductID);
        traits.highSpeed = GetParam() == kUSBHostConnectionSpeedHigh;
        hooks.request = [this](uint8_t dir, uint8_t level, uint8_t rcp, uint8_t bRequest,
                               uint16_t wValue, uint16_t wIndex, void* data, uint32_t& length,
                               int) {
            StandardUSB::DeviceRequest r{uint8_t(dir | level | rcp), bRequest, wValue, wIndex,
                                         uint16_t(length)};
            uint32_t n = 0;
            IOReturn st = device->deviceRequest(nullptr, r, data, n);
            length = n;
            return st;
        };
        // The sampling-frequency set of the configuration path: SET_CUR on
        // the input or output endpoint.
        hooks.setFrequency = [this](bool input, uint32_t rate) {
            uint8_t b[3] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)};
            uint32_t n = 3;
            frequencySets.push_back(rate);
            return hooks.request(0x00, 0x20, 2, 0x01, 0x100, input ? 0x82 : 0x01, b, n, 2);
        };
        model->clearTrace();
    }
    void TearDown() override {
        if (device) device->release();
        dd->release();
    }

    std::vector<Req> trace() const { return requestsOf(*model); }

    Bus bus;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    IOUSBHostDevice* device = nullptr;
    std::unique_ptr<DriverSM> sm{new DriverSM{}};
    DriverData* dd = DriverData::create(sm.get());
    ZrDeviceTraits traits;
    ZrConfigHooks hooks;
    std::vector<uint32_t> frequencySets;
};

TEST_P(HX5100Config, ConfigurationFromPowerOnReadsThePortOnceAndSetsOnlyAMismatchedRate) {
    sm->mChannelSettings = {48000, 2, 24, 2, 24, 1};
    ZrConfigControls c(traits, sm.get(), *dd, hooks);

    ASSERT_EQ(c.readLX4XXChannelConfig(), kIOReturnSuccess);
    c.completeConfiguration(0);
    const std::vector<Req> first = {
        kReadPort2, kMixer,
        // first selector update: the byte is already right; the rate is not
        kReadSelector, kGetRate, kSetRateIn, kSetRateOut,
        // second: both right
        kReadSelector, kGetRate};
    EXPECT_EQ(trace(), first);
    EXPECT_EQ(model->sampleRate(), 48000u);
    EXPECT_EQ(model->selectorByte(), HX5100Model::kPowerOnSelector);
    // Power-on register 2: only the launch button's bit (up).
    EXPECT_EQ(c.portWord(), 0x02u);
    EXPECT_EQ(c.mixerMode(), 2u);

    // The buffer sent: the default gains, the routing part cleared, routing byte 4.
    const auto mixer = model->mixerBuffer();
    EXPECT_EQ(mixer[0], 0x2D);
    EXPECT_EQ(mixer[1], 0x41);
    EXPECT_EQ(mixer[32], 0x7F);
    EXPECT_EQ(mixer[40], 0x40);
    for (int i = 48; i < 64; ++i)
        EXPECT_EQ(mixer[i], i == 56 ? 4 : 0) << i;

    EXPECT_EQ(dd->converter(), pcmTo24LSB);
    EXPECT_EQ(dd->outMixer(), outMixer2CH); // mixer mode 2 chooses again by the 2 outputs
    EXPECT_EQ(sm->mAjExtData.mClockSource, 0u);
    EXPECT_EQ(sm->mAjExtData.mUSB1Mode, 0u);
    EXPECT_EQ(sm->mAjExtData.mDigitalLock, 0u);
    EXPECT_EQ(sm->mAjExtData.mDigitalLockFrequency, 0u);

    // A second configuration at the same rate: no port read, no rate set.
    model->clearTrace();
    ASSERT_EQ(c.readLX4XXChannelConfig(), kIOReturnSuccess);
    c.completeConfiguration(0);
    const std::vector<Req> again = {kMixer, kReadSelector, kGetRate, kReadSelector, kGetRate};
    EXPECT_EQ(trace(), again);
    EXPECT_EQ(frequencySets, (std::vector<uint32_t>{48000, 48000}));
}

TEST_P(HX5100Config, FourChannelConfigurationKeepsTheFourChannelMixer) {
    sm->mChannelSettings = {44100, 4, 24, 4, 24, 1};
    ZrConfigControls c(traits, sm.get(), *dd, hooks);
    c.setReadChannels(4, 4);
    ASSERT_EQ(c.readLX4XXChannelConfig(), kIOReturnSuccess);
    c.completeConfiguration(0);
    EXPECT_EQ(trace(), (std::vector<Req>{kReadPort2, kMixer, kReadSelector, kGetRate, kReadSelector,
                                         kGetRate}));
    EXPECT_EQ(dd->outMixer(), outMixer4CH);
    EXPECT_EQ(dd->outputChannels(), 4u);
    EXPECT_EQ(c.inputPostProcessor(), traits.highSpeed ? postprocessLX420_4_BugFix : nullptr);
}

TEST_P(HX5100Config, PortModeBitsReachTheSelectorWithoutTheMixerBit) {
    // The port register in mixer-off mode (bit 4) with port mode bit 3.
    uint32_t n = 0;
    ASSERT_EQ(hooks.request(0x00, 0x40, 0, 0x49, 0x18, 1, nullptr, n, 1), kIOReturnSuccess);
    model->clearTrace();
    sm->mChannelSettings = {44100, 2, 24, 2, 24, 1};
    ZrConfigControls c(traits, sm.get(), *dd, hooks);
    ASSERT_EQ(c.readLX4XXChannelConfig(), kIOReturnSuccess);
    EXPECT_EQ(c.portWord(), 0x08u); // stored without bit 4
    c.completeConfiguration(0);
    EXPECT_EQ(trace(), (std::vector<Req>{kReadPort2, kMixer, kReadSelector, writeSelector(0x0A),
                                         kReadSelector, kGetRate, kReadSelector, kGetRate}));
    EXPECT_EQ(model->selectorByte(), 0x0A);
}

TEST_P(HX5100Config, SelectorIsWrittenOnlyWhenTheWantedByteDiffers) {
    const struct {
        uint32_t clock, usb1;
        uint8_t wanted;
        uint32_t clockAfter;
    } cases[] = {
        {1, 0, 0x00, 1}, // external clock: bit 1 cleared
        {0, 1, 0x03, 0}, // USB1 mode: bit 0 set
        {1, 1, 0x01, 1},
    };
    for (const auto& k : cases) {
        plugFresh();
        sm->mChannelSettings = {44100, 2, 24, 2, 24, 1};
        sm->mAjExtData.mClockSource = k.clock;
        sm->mAjExtData.mUSB1Mode = k.usb1;
        ZrConfigControls c(traits, sm.get(), *dd, hooks);
        uint32_t result = 0;
        EXPECT_EQ(c.updateAjInputSelector(&result), 1u);
        EXPECT_EQ(trace(), (std::vector<Req>{kReadSelector, writeSelector(k.wanted), kGetRate,
                                             kReadSelector, kGetRate, kGetRate}));
        EXPECT_EQ(model->selectorByte(), k.wanted);
        EXPECT_EQ(result, k.wanted);
        EXPECT_EQ(sm->mAjExtData.mClockSource, k.clockAfter);
        EXPECT_EQ(sm->mAjExtData.mUSB1Mode, k.usb1);
    }
}

TEST_P(HX5100Config, OperationsOfOtherProductsSendNothing) {
    sm->mChannelSettings = {44100, 2, 24, 2, 24, 1};
    int midi = 0, port = 0;
    hooks.midiStreaming = [&](bool s) { midi += s ? 1 : -1; };
    hooks.controlPortStreaming = [&](bool s) { port += s ? 10 : -10; };
    ZrConfigControls c(traits, sm.get(), *dd, hooks);
    EXPECT_EQ(c.writeDigitalOutSelector(), kIOReturnSuccess);
    c.setOlvqCpldByte(0);
    c.onStreamingStarted();
    EXPECT_EQ(midi, 1);
    EXPECT_EQ(port, 10);
    c.onStreamingStopped();
    EXPECT_EQ(midi, 0);
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(trace().empty());
    EXPECT_EQ(c.olvqCpldByte(), 0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, HX5100Config,
                         ::testing::Values(uint8_t(kUSBHostConnectionSpeedFull),
                                           uint8_t(kUSBHostConnectionSpeedHigh)));

} // namespace
