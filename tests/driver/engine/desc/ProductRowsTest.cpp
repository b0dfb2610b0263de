// The listed products' rows of the descriptor model, the device information
// record and the interface choice: one case per product rule, each on a
// small configuration set.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrProductTable.h"
#include "driver/engine/desc/ScanAPIDeviceInfo.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "platform/base/HXLog.h"
#include "tests/driver/engine/desc/DescriptorBuilder.h"

namespace {

// A device scanned from one set. Its features record is loaded without
// flag 0, so none of the Merrow corrections apply unless a row asks.
struct Device {
    APISpecificFeatures features{};
    std::vector<uint8_t> bytes;
    ZrDeviceConfigurations model;

    Device(std::vector<uint8_t> set, uint16_t vendor, uint16_t product, bool highSpeed = false,
           uint16_t release = 0x0100, DriverSM* sm = nullptr, bool loaded = true)
        : bytes(std::move(set)) {
        features.mLoaded = loaded ? 1 : 0;
        model.setIdentity(vendor, product, release, &features, 1);
        model.setIsUSB2Device(highSpeed);
        model.setSharedArea(sm);
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        EXPECT_TRUE(model.scanConfigurationDescriptors(buf));
    }
    ZrInterfaceDescriptor* iface(int n) {
        return model.getConfigurationDescriptor(0)->getInterface(n);
    }
    std::unique_ptr<APIDeviceInfo> info() {
        auto i = std::make_unique<APIDeviceInfo>();
        std::memset(i.get(), 0, sizeof(APIDeviceInfo));
        model.getAPIDeviceInfo(*i);
        return i;
    }
};

// Control on 0, output on 1 and input on 2 (alternate 1 each), vendor class
// unless said otherwise, with the given formats.
std::vector<uint8_t> twoWaySet(uint8_t cls, uint8_t outBits,
                               std::initializer_list<uint32_t> outRates, uint8_t inBits,
                               std::initializer_list<uint32_t> inRates, uint8_t channels = 2) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, cls, 2)
        .iface(1, 1, 1, cls, 2)
        .format(channels, outBits, outRates)
        .ep(0x01, 0x09, 200, 1);
    b.iface(2, 0, 0, cls, 2)
        .iface(2, 1, 1, cls, 2)
        .format(channels, inBits, inRates)
        .ep(0x82, 0x05, 200, 1);
    return b.bytes();
}

QnChannelSettings wanted(uint32_t rate, uint32_t ins, uint32_t outs, uint32_t bits) {
    return QnChannelSettings{rate, ins, bits, outs, bits, 0};
}

// --- Class correction: interface 2 streams for the Brindle products.

struct ClassCase {
    uint16_t vendor, product;
    bool streaming;
};
class StreamingOn2 : public ::testing::TestWithParam<ClassCase> {};
TEST_P(StreamingOn2, InterfaceTwoBecomesAudioStreaming) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1).iface(1, 0, 0, 255, 0).iface(2, 0, 0, 255, 0);
    Device dev(b.bytes(), GetParam().vendor, GetParam().product);
    EXPECT_EQ(dev.iface(2)->getInterfaceClass(), GetParam().streaming ? 1 : 255);
    EXPECT_EQ(dev.iface(1)->getInterfaceClass(), 255); // only interface 2
}
INSTANTIATE_TEST_SUITE_P(Rows, StreamingOn2,
                         ::testing::Values(ClassCase{kBrindleVendorID, kBrindleB1ProductID, true},
                                           ClassCase{kBrindleVendorID, kBrindleB2ProductID, true},
                                           ClassCase{kBrindleVendorID, kBrindleB3ProductID, true},
                                           ClassCase{kBrindleVendorID, 0x0009, false},
                                           ClassCase{kTeslinVendorID, kBrindleB1ProductID, false}));

// --- Raw fix-ups before parsing.

std::vector<uint8_t> paddedSet() {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 255, 0).iface(1, 0, 0, 255, 0).iface(2, 0, 0, 255, 0);
    // Unknown descriptors, skipped by the configuration loop, up to 700 bytes.
    while (b.bytes().size() + 50 <= 700)
        b.raw({50, 0x41, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
               0,  0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    return b.bytes();
}

TEST(RawFixups, EachRowWritesItsBytesAndOthersAreLeftAlone) {
    struct Case {
        uint16_t product;
        int class0, sub0, class1, sub1, class2, sub2;
        std::vector<size_t> setTo1, setTo24;
    };
    const Case cases[] = {
        {kMaravelM1ProductID, 255, 0, 255, 0, 255, 0, {164}, {}},
        {kMaravelM2ProductID, 1, 1, 1, 2, 1, 2, {}, {}},
        {kMaravelM3ProductID, 1, 2, 255, 0, 255, 0, {}, {}},
        {kMaravelM4ProductID, 255, 0, 255, 0, 255, 0, {}, {298, 344, 571, 614}},
        {0x0099, 255, 0, 255, 0, 255, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        Device dev(paddedSet(), kMaravelVendorID, c.product);
        EXPECT_EQ(dev.iface(0)->getInterfaceClass(), c.class0);
        EXPECT_EQ(dev.iface(0)->getInterfaceSubClass(), c.sub0);
        EXPECT_EQ(dev.iface(1)->getInterfaceClass(), c.class1);
        EXPECT_EQ(dev.iface(1)->getInterfaceSubClass(), c.sub1);
        EXPECT_EQ(dev.iface(2)->getInterfaceClass(), c.class2);
        EXPECT_EQ(dev.iface(2)->getInterfaceSubClass(), c.sub2);
        for (size_t at : {size_t(164), size_t(298), size_t(344), size_t(571), size_t(614)}) {
            uint8_t expect = 0;
            for (size_t s : c.setTo1)
                expect = s == at ? 1 : expect;
            for (size_t s : c.setTo24)
                expect = s == at ? 24 : expect;
            EXPECT_EQ(dev.bytes[at], expect) << "offset " << at;
        }
    }
}

TEST(RawFixups, ASetShorterThanTheOffsetsIsLeftUnchanged) {
    DescriptorBuilder b;
    b.config(1).iface(0, 0, 0, 255, 0);
    std::vector<uint8_t> before = b.bytes();
    Device dev(b.bytes(), kMaravelVendorID, kMaravelM4ProductID);
    EXPECT_EQ(dev.bytes, before);
}

// --- Corrections after parsing.

TEST(PostScan, DisablesTheDoubleRatesForItsProduct) {
    Device dev(twoWaySet(1, 24, {44100, 88200, 96000}, 24, {44100, 88200, 96000}), kKsvVendorID,
               kKsv0ProductID);
    EXPECT_NE(dev.iface(1)->findAlternateSetting(44100, 2, 24, dev.model.getIds()), nullptr);
    EXPECT_EQ(dev.iface(1)->findAlternateSetting(88200, 2, 24, dev.model.getIds()), nullptr);
    EXPECT_EQ(dev.iface(2)->findAlternateSetting(96000, 2, 24, dev.model.getIds()), nullptr);
    Device other(twoWaySet(1, 24, {44100, 88200, 96000}, 24, {44100, 88200, 96000}), kKsvVendorID,
                 0x0042);
    EXPECT_NE(other.iface(1)->findAlternateSetting(88200, 2, 24, other.model.getIds()), nullptr);
}

TEST(PostScan, SecondRecordOfAlternateOneGetsEightChannels) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    for (uint8_t n : {1, 2}) {
        b.iface(n, 0, 0, 1, 2).iface(n, 1, 1, 1, 2);
        b.raw({7, 0x24, 1, 1, 1, 1, 0}); // AS_GENERAL: record 0
        b.format(2, 24, {48000}).ep(n == 1 ? 0x01 : 0x82, 0x05, 200, 1);
    }
    Device dev(b.bytes(), kQuellVendorID, kQuellQ8ProductID);
    for (int n : {1, 2})
        EXPECT_EQ(
            dev.iface(n)->getAlternateSetting(1)->getAudioStreamingSpecific(1)->getNumChannels(),
            8);
    Device other(b.bytes(), kQuellVendorID, kQuellQ16ProductID);
    EXPECT_EQ(
        other.iface(1)->getAlternateSetting(1)->getAudioStreamingSpecific(1)->getNumChannels(), 2);
}

TEST(PostScan, SixteenBitFormatsGoOnlyWhenTheTwentyFourBitOnesAreFound) {
    auto set = [](uint32_t inRate, uint32_t outRate = 44100) {
        DescriptorBuilder b;
        b.config(3).iface(0, 0, 0, 1, 1);
        b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x01, 0x05, 200, 1);
        b.iface(1, 2, 1, 1, 2).format(2, 24, {outRate}).ep(0x01, 0x05, 300, 1);
        b.iface(2, 0, 0, 1, 2).iface(2, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x82, 0x05, 200, 1);
        b.iface(2, 2, 1, 1, 2).format(2, 24, {inRate}).ep(0x82, 0x05, 300, 1);
        return b.bytes();
    };
    // Without a loaded features record, whose named interfaces would decide
    // the device information scan.
    Device dev(set(96000), kQuellVendorID, kQuellQ16ProductID, false, 0x0100, nullptr, false);
    EXPECT_EQ(dev.iface(1)->findAlternateSetting(44100, 2, 16, dev.model.getIds()), nullptr);
    EXPECT_EQ(dev.iface(2)->findAlternateSetting(44100, 2, 16, dev.model.getIds()), nullptr);
    EXPECT_NE(dev.iface(1)->findAlternateSetting(44100, 2, 24, dev.model.getIds()), nullptr);
    // An unlisted product keeps its 16-bit formats.
    Device other(set(96000), kQuellVendorID, 0x0077, false, 0x0100, nullptr, false);
    // Nothing at 96 kHz in, 24 bits: the 16-bit input format stays.
    Device none(set(32000, 32000), kQuellVendorID, kQuellQ16ProductID, false, 0x0100, nullptr,
                false);
    EXPECT_NE(none.iface(2)->findAlternateSetting(44100, 2, 16, none.model.getIds()), nullptr);
    EXPECT_NE(none.iface(1)->findAlternateSetting(44100, 2, 16, none.model.getIds()), nullptr);
    EXPECT_NE(other.iface(1)->findAlternateSetting(44100, 2, 16, other.model.getIds()), nullptr);
}

TEST(PostScan, MidiInterfacesAndMultichannelFormatsAreRemoved) {
    DescriptorBuilder b;
    b.config(4).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 24, {48000}).ep(0x01, 0x05, 200, 1);
    b.iface(1, 2, 1, 1, 2).format(4, 24, {48000}).ep(0x01, 0x05, 400, 1);
    b.iface(3, 0, 2, 1, 3).ep(0x03, 0x02, 64, 0).ep(0x83, 0x02, 64, 0);
    Device dev(b.bytes(), kQuellVendorID, kQuellQ3ProductID);
    EXPECT_EQ(dev.iface(3)->getInterfaceClass(), 0);
    EXPECT_EQ(dev.iface(3)->getNumEndpoints(), 0);
    EXPECT_EQ(dev.model.getConfigurationDescriptor(0)->findMidiInterface(), nullptr);
    EXPECT_EQ(dev.iface(1)->findAlternateSetting(48000, 4, 24, dev.model.getIds()), nullptr);
    EXPECT_NE(dev.iface(1)->findAlternateSetting(48000, 2, 24, dev.model.getIds()), nullptr);
}

// --- Synthesized fixed rows.

TEST(SynthesizedRows, TrunkAlternatesByLinkSpeed) {
    struct Case {
        uint16_t product;
        bool highSpeed;
        int channels;
        std::vector<uint32_t> rates;
        bool second192;
    };
    const Case cases[] = {
        {kTrunkProductID, false, 2, {44100, 48000}, false},
        {kTrunkProductID, true, 6, {44100, 48000, 88200, 96000}, false},
        {kTrunk2ProductID, false, 2, {44100, 48000}, false},
        {kTrunk2ProductID, true, 4, {44100, 48000, 88200, 96000}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product + (c.highSpeed ? 0x10000 : 0));
        DescriptorBuilder b;
        b.config(3).iface(0, 0, 0, 1, 1);
        for (uint8_t n : {1, 2}) {
            b.iface(n, 0, 0, 255, 0)
                .iface(n, 1, 1, 255, 0)
                .format(8, 16, {32000})
                .ep(n == 1 ? 0x01 : 0x82, 5, 200, 1);
            b.iface(n, 2, 1, 255, 0).ep(n == 1 ? 0x01 : 0x82, 5, 600, 1);
        }
        Device dev(b.bytes(), kTrunkVendorID, c.product, c.highSpeed);
        for (int n : {1, 2}) {
            ZrInterfaceDescriptor* iface = dev.iface(n);
            EXPECT_TRUE(iface->isAudioStreaming());
            // Alternate 1 is cleared (its number too): only alternate 2 streams.
            EXPECT_EQ(iface->getAlternateSetting(1), nullptr);
            EXPECT_EQ(iface->getAlternateSettingByIndex(0)->getCountAudioStreamingSpecific(), 0);
            ASSERT_NE(iface->getAlternateSetting(2), nullptr);
            ZrInterfaceDescriptorSpecificAS* as =
                iface->getAlternateSetting(2)->getAudioStreamingSpecific(0);
            ASSERT_NE(as, nullptr);
            EXPECT_EQ(as->getNumChannels(), c.channels);
            EXPECT_EQ(as->getBitResolution(), 24);
            ASSERT_EQ(as->getCountFrequencies(), c.rates.size());
            for (size_t i = 0; i < c.rates.size(); ++i)
                EXPECT_EQ(as->getFrequency(uint32_t(i)), c.rates[i]);
            ZrInterfaceDescriptorSpecificAS* second =
                iface->getAlternateSetting(2)->getAudioStreamingSpecific(1);
            if (c.second192) {
                ASSERT_NE(second, nullptr);
                EXPECT_EQ(second->getFrequency(0), 176400u);
                EXPECT_EQ(second->getFrequency(1), 192000u);
            } else {
                EXPECT_EQ(second, nullptr);
            }
        }
    }
}

TEST(SynthesizedRows, ChipBasedInterfaceLogsItsSidesAndRateSets) {
    hx::log::Capture log;
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 255, 0).iface(1, 1, 1, 255, 0).ep(0x01, 5, 600, 1);
    b.iface(2, 0, 0, 255, 0).iface(2, 1, 1, 255, 0).ep(0x82, 5, 600, 1);
    Device dev(b.bytes(), kVelmarVendorID, kVelmarV4ProductID, true);
    std::string text = log.text();
    size_t out = text.find("INIT XMOS OUT\n"), in = text.find("INIT XMOS IN\n");
    ASSERT_NE(out, std::string::npos);
    ASSERT_NE(in, std::string::npos);
    EXPECT_LT(out, in);
    EXPECT_NE(text.find("Setting Frequencies..\n"), std::string::npos);
    EXPECT_NE(dev.iface(1)->findAlternateSetting(192000, 4, 24, dev.model.getIds()), nullptr);
    EXPECT_NE(dev.iface(2)->findAlternateSetting(96000, 4, 24, dev.model.getIds()), nullptr);
}

TEST(SynthesizedRows, BuiltTwiceThenThirtyTwoKilohertzDisabled) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 255, 0).iface(1, 1, 1, 255, 0).ep(0x01, 5, 600, 1);
    b.iface(1, 2, 1, 1, 2).format(2, 16, {32000, 44100}).ep(0x01, 5, 600, 1);
    b.iface(2, 0, 0, 255, 0).iface(2, 1, 1, 255, 0).ep(0x82, 5, 600, 1);
    Device dev(b.bytes(), kQuellVendorID, kQuellQ32ProductID);
    ZrInterfaceDescriptor* alt1 = dev.iface(1)->getAlternateSetting(1);
    EXPECT_EQ(alt1->getCountAudioStreamingSpecific(), 1); // the second build reused the record
    EXPECT_NE(dev.iface(1)->findAlternateSetting(48000, 2, 24, dev.model.getIds()), nullptr);
    EXPECT_EQ(dev.iface(1)->findAlternateSetting(32000, 2, 16, dev.model.getIds()), nullptr);
    EXPECT_NE(dev.iface(1)->findAlternateSetting(44100, 2, 16, dev.model.getIds()), nullptr);
}

// --- Device information: rate overrides and direction rules.

TEST(DeviceInfoRows, RateOverridesReplaceTheDescriptorsRates) {
    struct Case {
        uint16_t vendor, product;
        std::vector<uint32_t> rates;
    };
    const Case cases[] = {
        {kOlvqVendorID, kOlvq186ProductID, {44100, 48000}},
        {kOlvqVendorID, kOlvq187ProductID, {44100, 48000}},
        {kPellixVendorID, kPellixProductID, {32000, 44100, 48000}},
        {kPellixVendorID, 0x0055, {96000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        Device dev(twoWaySet(1, 24, {96000}, 24, {96000}), c.vendor, c.product);
        auto info = dev.info();
        const APIStreamingInfo& s =
            info->mConfigurations[0].mInterfaces[1].mAlternates[0].mStreaming;
        ASSERT_EQ(s.mNumRates, c.rates.size());
        for (size_t i = 0; i < c.rates.size(); ++i)
            EXPECT_EQ(s.mRates[i], c.rates[i]);
        EXPECT_EQ(s.mChannels, 2);
    }
}

TEST(DeviceInfoRows, DirectionRulesByProduct) {
    // Interfaces 0, 1 and 2, each with alternates 1 and 2 carrying 2 channels
    // at 24 bits, 48 kHz, all with an OUT endpoint except interface 1's
    // alternate 2 (IN, 8 bytes) and interface 2's alternate 2 (IN, 2 bytes).
    DescriptorBuilder b;
    b.config(3);
    for (uint8_t n : {0, 1, 2}) {
        b.iface(n, 0, 0, 1, 2);
        b.iface(n, 1, 1, 1, 2).format(2, 24, {48000}).ep(uint8_t(0x01 + n), 5, 200, 1);
        uint8_t ep2 = n == 0 ? 0x04 : 0x84 + n;
        uint16_t size2 = n == 2 ? 2 : 200;
        // Two rates: the duplicate-alternate rule leaves both alternates.
        b.iface(n, 2, 1, 1, 2).format(2, 24, {44100, 48000}).ep(ep2, 5, size2, 1);
    }
    struct Case {
        uint16_t vendor, product, release;
        bool output;
        bool found;
        int interfaceNumber, alternate;
    };
    const Case cases[] = {
        // Fixed 2/1 layout (the HX-5100 group), alternate 2: the endpoint
        // is not looked at.
        {kKorvexVendorID, kKorvexLX420ProductID, 0x0100, false, true, 2, 2},
        {kKorvexVendorID, kKorvexLX420ProductID, 0x0100, true, true, 1, 2},
        {kBrindleVendorID, kBrindleB3ProductID, kBrindleB3Release, false, true, 2, 2},
        // The B3 in another release follows its endpoints.
        {kBrindleVendorID, kBrindleB3ProductID, 0x0100, false, true, 1, 2},
        // Fixed 1/0 layout, alternate 1.
        {kKorvexVendorID, kKorvexLX150ProductID, 0x0100, false, true, 1, 1},
        {kTeslinVendorID, kTeslinT11ProductID, 0x0100, true, true, 0, 1},
        // Input on interface 1 with an IN endpoint of at least 4 bytes.
        {kKestrelVendorID, kKestrelK2ProductID, 0x0100, false, true, 1, 2},
        {kKestrelVendorID, kKestrelK2ProductID, 0x0100, true, true, 0, 1},
        // Any other device: the first endpoint of the asked direction.
        {0x1234, 0x0001, 0x0100, false, true, 1, 2},
        {0x1234, 0x0001, 0x0100, true, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.product) + (c.output ? " out" : " in"));
        Device dev(b.bytes(), c.vendor, c.product, false, c.release);
        dev.features.mLoaded = 0; // the record inside the info must not decide
        auto info = dev.info();
        APIDeviceInfoScanResult r = scanAPIDeviceInfo(*info, 0, 48000, 24, 2, true, c.output);
        ASSERT_EQ(r.mFound != 0, c.found);
        const APIInterfaceInfo& iface = info->mConfigurations[0].mInterfaces[r.mInterface];
        EXPECT_EQ(iface.mInterfaceNumber, c.interfaceNumber);
        EXPECT_EQ(iface.mAlternates[r.mAlternate].mAlternateSetting, c.alternate);
    }
}

// --- Interface choice.

TEST(ChoiceRows, InterfaceLayoutsByProduct) {
    DescriptorBuilder b;
    b.config(6);
    for (uint8_t n = 0; n < 6; ++n) {
        b.iface(n, 0, 0, 1, 2);
        b.iface(n, 1, 1, 1, 2).format(2, 24, {48000}).ep(uint8_t(n & 1 ? 0x80 + n : n), 5, 200, 1);
    }
    struct Case {
        uint16_t vendor, product;
        uint32_t selector;
        int in, out, control;
    };
    const Case cases[] = {
        {kKorvexVendorID, kKorvexMRW30ProductID, 0, 2, 1, -1},
        {kTolvaneVendorID, kTolvaneProductID, 0, 4, 2, 1},
        {kTolvaneVendorID, kTolvaneProductID, 2, 5, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product + c.selector);
        auto sm = std::make_unique<DriverSM>();
        std::memset(sm.get(), 0, sizeof(DriverSM));
        sm->mAjExtData.mDigitalOutSelector = c.selector;
        Device dev(b.bytes(), c.vendor, c.product, false, 0x0100, sm.get());
        // A wanted setting nothing offers keeps the interfaces without alternates
        // in the slots only through the final search; ask for what exists.
        QnChannelSettings s = wanted(48000, 2, 2, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        ASSERT_NE(dev.model.mpInInterface, nullptr);
        ASSERT_NE(dev.model.mpOutInterface, nullptr);
        EXPECT_EQ(dev.model.mpInInterface->getInterfaceNumber(), c.in);
        EXPECT_EQ(dev.model.mpOutInterface->getInterfaceNumber(), c.out);
        if (c.control < 0)
            EXPECT_EQ(dev.model.m_pcControlInterface, nullptr);
        else
            EXPECT_EQ(dev.model.m_pcControlInterface->getInterfaceNumber(), c.control);
    }
}

TEST(ChoiceRows, OutputOnInterfaceOneWhenNoneWasFound) {
    DescriptorBuilder b;
    b.config(2).iface(0, 0, 0, 1, 1);
    // Streaming, but its 32-byte endpoint is below what an output search takes.
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 24, {48000}).ep(0x01, 5, 32, 1);
    Device dev(b.bytes(), kGarnetoVendorID, kGarnetoProductID);
    QnChannelSettings s = wanted(48000, 0, 2, 24);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    ASSERT_NE(dev.model.mpOutInterface, nullptr);
    EXPECT_EQ(dev.model.mpOutInterface->getInterfaceNumber(), 1);
    Device other(b.bytes(), kGarnetoVendorID, 0x0033);
    s = wanted(48000, 0, 2, 24);
    ASSERT_TRUE(other.model.findInterfacesInConfig(s));
    EXPECT_EQ(other.model.mpOutInterface, nullptr);
}

TEST(ChoiceRows, MidiInterfaceByProduct) {
    DescriptorBuilder b;
    // No MIDI and no vendor interface.
    b.config(4).iface(0, 0, 0, 0x0E, 0).iface(0, 1, 1, 0x0E, 0).ep(0x81, 2, 64, 0);
    b.iface(1, 0, 0, 0x0E, 0).iface(2, 0, 0, 0x0E, 0).iface(3, 0, 0, 0x0E, 0);
    DescriptorBuilder withMidi;
    withMidi.config(4)
        .iface(0, 0, 0, 1, 1)
        .iface(1, 0, 0, 255, 0)
        .iface(2, 0, 0, 255, 0)
        .iface(3, 0, 0, 1, 3);
    struct Case {
        std::vector<uint8_t> set;
        uint16_t vendor, product;
        int midi, midiAlternate; // -1: none
    };
    const Case cases[] = {
        {withMidi.bytes(), kDarrowVendorID, kDarrowD1ProductID, 2, 0},
        {withMidi.bytes(), 0x1234, 0x0001, 3, 0},
        {b.bytes(), kBravaVendorID, kBravaB2ProductID, 0, 1},
        {b.bytes(), kPellixVendorID, kPellixProductID, 3, 0},
        {b.bytes(), 0x1234, 0x0001, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        Device dev(c.set, c.vendor, c.product);
        dev.features.mMidiInterface = 9; // the loaded record names no MIDI interface that exists
        QnChannelSettings s = wanted(48000, 2, 2, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        if (c.midi < 0) {
            EXPECT_EQ(dev.model.m_pcMidiInterface, nullptr);
            continue;
        }
        ASSERT_NE(dev.model.m_pcMidiInterface, nullptr);
        EXPECT_EQ(dev.model.m_pcMidiInterface->getInterfaceNumber(), c.midi);
        EXPECT_EQ(dev.model.m_pcMidiInterface->getAlternateNumber(), c.midiAlternate);
    }
}

TEST(ChoiceRows, FourChannelInputOnInterfaceTen) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 24, {48000}).ep(0x81, 5, 200, 1);
    b.iface(10, 0, 0, 1, 2).iface(10, 1, 1, 1, 2).format(4, 24, {48000}).ep(0x8A, 5, 400, 1);
    Device dev(b.bytes(), kDarrowVendorID, kDarrowD2ProductID);
    QnChannelSettings s = wanted(48000, 4, 0, 24);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    ASSERT_NE(dev.model.mpInInterface, nullptr);
    EXPECT_EQ(dev.model.mpInInterface->getInterfaceNumber(), 10);
    EXPECT_EQ(s.InChannels, 4u);
}

// Wanted-count corrections: the counts asked of the device for a wanted
// setting, read from the log line of the first attempt.
TEST(ChoiceRows, WantedCountsByProduct) {
    struct Case {
        uint16_t vendor, product;
        bool highSpeed;
        QnChannelSettings want;
        std::string firstAttempt;
    };
    const Case cases[] = {
        {kKsvVendorID, kKsv0ProductID, false, wanted(48000, 8, 8, 16),
         "frq:48000 ins:2 outs:2 inbits:32 outbits:32"},
        {kTrunkVendorID, kTrunkProductID, true, wanted(48000, 0, 0, 24),
         "frq:48000 ins:16 outs:8 inbits:24 outbits:24"},
        {kTrunkVendorID, kTrunk2ProductID, true, wanted(48000, 4, 0, 24),
         "frq:48000 ins:4 outs:10 inbits:24 outbits:24"},
        {kTrunkVendorID, kTrunkProductID, false, wanted(48000, 0, 2, 24),
         "frq:48000 ins:0 outs:2 inbits:24 outbits:24"},
        {kVelmarVendorID, kVelmarV4ProductID, true, wanted(96000, 2, 2, 24),
         "frq:96000 ins:2 outs:6 inbits:24 outbits:24"},
        {kVelmarVendorID, kVelmarV4ProductID, true, wanted(192000, 2, 2, 24),
         "frq:192000 ins:2 outs:4 inbits:24 outbits:24"},
        {kOlvqVendorID, kOlvq186ProductID, false, wanted(48000, 8, 8, 16),
         "frq:48000 ins:2 outs:2 inbits:24 outbits:24"},
        {kOlvqVendorID, kOlvq187ProductID, true, wanted(48000, 8, 8, 16),
         "frq:48000 ins:4 outs:4 inbits:24 outbits:24"},
        {kSorvikVendorID, kSorvikFarlane2ProductIDs[2], false, wanted(48000, 2, 2, 16),
         "frq:48000 ins:12 outs:12 inbits:32 outbits:32"},
        {kSorvikVendorID, kSorvikFarlane2ProductIDs[6], false, wanted(48000, 2, 2, 16),
         "frq:48000 ins:4 outs:4 inbits:32 outbits:32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstAttempt);
        DescriptorBuilder b;
        b.config(1).iface(0, 0, 0, 1, 1);
        Device dev(b.bytes(), c.vendor, c.product, c.highSpeed);
        hx::log::Capture log;
        QnChannelSettings s = c.want;
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        std::string text = log.text();
        std::string first = text.substr(0, text.find('\n'));
        EXPECT_EQ(first, "ENTER tryFindInterfaces interfaces " + c.firstAttempt);
    }
}

TEST(ChoiceRows, FirstGenerationSorvikResetsAnUnsetChannelMap) {
    DescriptorBuilder b;
    b.config(4);
    for (uint8_t n : {0, 1}) {
        b.iface(n, 0, 0, 255, 0);
        for (uint8_t a = 1; a <= 7; ++a)
            b.iface(n, a, 1, 255, 0).ep(n == 0 ? 0x01 : 0x81, 5, 200, 1);
    }
    b.iface(2, 0, 0, 255, 0).iface(3, 0, 0, 255, 0);
    for (bool unset : {true, false}) {
        SCOPED_TRACE(unset);
        auto sm = std::make_unique<DriverSM>();
        std::memset(sm.get(), 0, sizeof(DriverSM));
        if (!unset) sm->mSorvikChannelMap.mEInputMap[0] = 5;
        Device dev(b.bytes(), kSorvikVendorID, kSorvikFarlane1ProductIDs[1], false, 0x0100,
                   sm.get());
        QnChannelSettings s = wanted(44100, 4, 4, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        if (unset) {
            EXPECT_EQ(s.Frequency, 48000u);
            EXPECT_EQ(s.InChannels, 2u);
            EXPECT_EQ(s.InResolution, 16u);
            EXPECT_EQ(s.OutChannels, 0u);
            // The default map: the first two inputs, nothing else.
            const int32_t expected[16] = {160,  161,  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            EXPECT_EQ(std::memcmp(&sm->mSorvikChannelMap, expected, sizeof expected), 0);
            ASSERT_NE(dev.model.mpInInterface, nullptr);
            EXPECT_EQ(dev.model.mpInInterface->getAlternateNumber(), 2);
            ASSERT_NE(dev.model.mpOutInterface, nullptr);
            EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 1);
        } else {
            EXPECT_EQ(sm->mSorvikChannelMap.mEInputMap[0], 5);
            EXPECT_EQ(sm->mSorvikChannelMap.mEInputMap[1], 0);
        }
    }
}

TEST(ChoiceRows, ProductsFurtherAttemptAndFinalSearchStart) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(4, 16, {44100}).ep(0x01, 5, 200, 1);
    b.iface(1, 2, 1, 1, 2).format(8, 16, {44100}).ep(0x01, 5, 900, 1);
    b.iface(2, 0, 0, 1, 2).iface(2, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x82, 5, 200, 1);
    b.iface(2, 2, 1, 1, 2).format(14, 16, {44100}).ep(0x82, 5, 900, 1);
    {
        // The K2's further attempt asks 8 and 8 at 44.1 kHz, 24 bits
        // (absent), then its final search starts at 16 in and 8 out.
        Device dev(b.bytes(), kKestrelVendorID, kKestrelK2ProductID);
        hx::log::Capture log;
        QnChannelSettings s = wanted(48000, 6, 6, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        std::string text = log.text();
        EXPECT_NE(
            text.find(
                "ENTER tryFindInterfaces interfaces frq:44100 ins:8 outs:8 inbits:24 outbits:24"),
            std::string::npos);
        EXPECT_NE(
            text.find(
                "ENTER tryFindInterfaces interfaces frq:44100 ins:16 outs:8 inbits:16 outbits:16"),
            std::string::npos);
        // The search steps down to a fitting pair: 14 in, 8 out.
        EXPECT_EQ(s.InChannels, 14u);
        EXPECT_EQ(s.OutChannels, 8u);
        EXPECT_EQ(s.Frequency, 44100u);
    }
    {
        // Any other device starts at 8 and 8 and ends at 2 in, 8 out.
        Device dev(b.bytes(), 0x1234, 0x0001);
        QnChannelSettings s = wanted(48000, 6, 6, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        EXPECT_EQ(s.InChannels, 2u);
        EXPECT_EQ(s.OutChannels, 8u);
    }
}

TEST(ChoiceRows, FurtherAttemptKeepsTheRateTheSearchLeft) {
    // 2 in and 4 out at 16 bits, 96 kHz only; the features record stops the
    // ladder at 96 kHz, where the product's further attempt then looks.
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(4, 16, {96000}).ep(0x01, 5, 900, 1);
    b.iface(2, 0, 0, 1, 2).iface(2, 1, 1, 1, 2).format(2, 16, {96000}).ep(0x82, 5, 900, 1);
    const std::string further =
        "ENTER tryFindInterfaces interfaces frq:96000 ins:2 outs:4 inbits:16 outbits:16";
    const std::string finalSearch =
        "ENTER tryFindInterfaces interfaces frq:44100 ins:8 outs:8 inbits:16 outbits:16";
    {
        Device dev(b.bytes(), kKestrelVendorID, kKestrelK3ProductID);
        hx::log::Capture log;
        QnChannelSettings s = wanted(48000, 2, 2, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        std::string text = log.text();
        EXPECT_NE(text.find(further), std::string::npos);
        EXPECT_EQ(text.find(finalSearch), std::string::npos); // found before the final search
        EXPECT_EQ(s.Frequency, 96000u);
        EXPECT_EQ(s.InChannels, 2u);
        EXPECT_EQ(s.OutChannels, 4u);
        EXPECT_EQ(s.InResolution, 16u);
        ASSERT_NE(dev.model.mpOutInterface, nullptr);
        EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 1);
    }
    {
        // Without the row the final search runs.
        Device twin(b.bytes(), kKestrelVendorID, 0x0044);
        hx::log::Capture log;
        QnChannelSettings s = wanted(48000, 2, 2, 24);
        ASSERT_TRUE(twin.model.findInterfacesInConfig(s));
        std::string text = log.text();
        EXPECT_EQ(text.find(further), std::string::npos);
        EXPECT_NE(text.find(finalSearch), std::string::npos);
    }
}

} // namespace
