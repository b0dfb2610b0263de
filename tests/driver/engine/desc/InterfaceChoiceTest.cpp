// Interface and alternate choice, the device information record and the
// scan through it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/ScanAPIDeviceInfo.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "platform/base/HXLog.h"
#include "tests/driver/engine/desc/DescriptorBuilder.h"

namespace {

using namespace ZrDescriptorProducts;

// A device built from one configuration set, with its own features record.
struct Device {
    APISpecificFeatures features{};
    std::vector<uint8_t> bytes;
    ZrDeviceConfigurations model;

    Device(std::vector<uint8_t> set, uint16_t vendor, uint16_t product, bool loaded,
           bool highSpeed = false)
        : bytes(std::move(set)) {
        features.mLoaded = loaded;
        model.setIdentity(vendor, product, 0x0100, &features, 1);
        model.setIsUSB2Device(highSpeed);
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        EXPECT_TRUE(model.scanConfigurationDescriptors(buf));
    }
};

QnChannelSettings wanted(uint32_t rate, uint32_t ins, uint32_t outs, uint32_t bits) {
    return QnChannelSettings{rate, ins, bits, outs, bits, 0};
}

TEST(InterfaceChoice, OutputOnlyDeviceEndsWithoutInputs) {
    DescriptorBuilder b;
    b.config(2).iface(0, 0, 0, 1, 1).iface(1, 0, 0, 1, 2);
    b.iface(1, 1, 1, 1, 2).format(2, 16, {44100, 48000}).ep(0x01, 0x09, 196, 1);
    Device dev(b.bytes(), 0x1234, 0x0001, true);
    QnChannelSettings s = wanted(48000, 8, 2, 16);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    EXPECT_EQ(s.InChannels, 0u);
    EXPECT_EQ(s.InResolution, 0u);
    EXPECT_EQ(s.OutChannels, 2u);
    EXPECT_EQ(s.Frequency, 48000u);
    EXPECT_EQ(dev.model.mpInInterface, nullptr);
    ASSERT_NE(dev.model.mpOutInterface, nullptr);
    EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 1);
    EXPECT_EQ(dev.model.m_pcControlInterface->getInterfaceNumber(), 0);
}

TEST(InterfaceChoice, UnofferedSettingFallsToTheTwoByTwoAttempt) {
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x01, 0x09, 180, 1);
    b.iface(2, 0, 0, 1, 2).iface(2, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x82, 0x05, 180, 1);
    Device dev(b.bytes(), 0x1234, 0x0001, true);
    hx::log::Capture log;
    QnChannelSettings s = wanted(48000, 2, 2, 24);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    QnChannelSettings expect{44100, 2, 16, 2, 16, 0};
    EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0);
    // Two attempts, the second one succeeding.
    const std::string text = log.text();
    size_t first = text.find("ENTER tryFindInterfaces");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("ENTER tryFindInterfaces", first + 1), std::string::npos);
    EXPECT_NE(text.find("frequ 44100, chan in 2, res 16\n"), std::string::npos);
    EXPECT_NE(text.find("EXIT tryFindInterfaces SUCCESS\n"), std::string::npos);
    EXPECT_EQ(dev.model.mpInInterface->getInterfaceNumber(), 2);
    EXPECT_EQ(dev.model.mpOutInterface->getInterfaceNumber(), 1);
}

TEST(InterfaceChoice, NoHighRatesWithoutTheFlagThenTheFinalSearch) {
    // Offers 4 in / 4 out only at 176.4 kHz, and 6 / 6 at 44.1 kHz 16 bits;
    // the features record forbids rates above 96 kHz.
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(4, 24, {176400}).ep(0x01, 0x09, 600, 1);
    b.iface(1, 2, 1, 1, 2).format(6, 16, {44100}).ep(0x01, 0x09, 600, 1);
    b.iface(2, 0, 0, 1, 2).iface(2, 1, 1, 1, 2).format(4, 24, {176400}).ep(0x82, 0x05, 600, 1);
    b.iface(2, 2, 1, 1, 2).format(6, 16, {44100}).ep(0x82, 0x05, 600, 1);
    Device dev(b.bytes(), 0x1234, 0x0001, true);
    hx::log::Capture log;
    QnChannelSettings s = wanted(192000, 4, 4, 24);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    const std::string text = log.text();
    EXPECT_NE(text.find("EXIT tryFindInterfaces FAILED\n"), std::string::npos);
    // The final search walks 8/8, 8/6, ... and first fits 6 / 6.
    QnChannelSettings expect{44100, 6, 16, 6, 16, 0};
    EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0);

    // With the flag the ladder climbs to the 176.4 kHz alternates.
    dev.features.mFlags[eSpecFeature_Can192] = 1;
    s = wanted(192000, 4, 4, 24);
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    QnChannelSettings expect192{176400, 4, 24, 4, 24, 0};
    EXPECT_EQ(std::memcmp(&s, &expect192, sizeof s), 0);
}

TEST(InterfaceChoice, ConfigurationIndexBeyondTheListFallsBackToTheFirst) {
    Device dev(classCompliantConfigurationSet(), 0x1234, 0x0001, true);
    QnChannelSettings s = wanted(96000, 2, 2, 24);
    s.Configuration = 3;
    ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
    EXPECT_EQ(s.Configuration, 0u);
    QnChannelSettings expect{96000, 2, 24, 2, 24, 0};
    EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0);
    EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 2);
    EXPECT_EQ(dev.model.mpInInterface->getAlternateNumber(), 2);

    ZrDeviceConfigurations empty;
    EXPECT_FALSE(empty.findInterfacesInConfig(s));
}

// A bulk-protocol device: its streaming interfaces carry bulk endpoints
// only, so the class searches find none of them. The device object's
// verdict on the transport (from its listing, without any features record)
// makes interfaces 0 and 1 the output and input, and alternate 1 of
// interface 0 the MIDI interface; without that verdict nothing streams.
TEST(InterfaceChoice, BulkTransportTakesInterfacesZeroAndOneWithoutFeatures) {
    DescriptorBuilder b;
    b.config(2).iface(0, 0, 0, 1, 2);
    b.iface(0, 1, 2, 1, 2).format(2, 24, {44100, 48000}).ep(0x05, 0x02, 512, 0);
    b.ep(0x83, 0x03, 64, 4);
    b.iface(1, 0, 0, 1, 2).iface(1, 1, 1, 1, 2).format(2, 24, {44100, 48000});
    b.ep(0x86, 0x02, 512, 0);
    struct Case {
        bool bulk, bulkInIsocOut, chosen;
    };
    for (const Case c :
         {Case{true, false, true}, Case{false, true, true}, Case{false, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.bulk << c.bulkInIsocOut);
        Device dev(b.bytes(), 0x2F6A, 0x0B01, false, true);
        dev.model.setBulkTransport(c.bulk, c.bulkInIsocOut);
        QnChannelSettings s = wanted(48000, 2, 2, 24);
        ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
        if (!c.chosen) {
            EXPECT_EQ(dev.model.mpInInterface, nullptr);
            EXPECT_EQ(dev.model.mpOutInterface, nullptr);
            continue;
        }
        QnChannelSettings expect{48000, 2, 24, 2, 24, 0};
        EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0);
        ASSERT_NE(dev.model.mpOutInterface, nullptr);
        ASSERT_NE(dev.model.mpInInterface, nullptr);
        EXPECT_EQ(dev.model.mpOutInterface->getInterfaceNumber(), 0);
        EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 1);
        EXPECT_EQ(dev.model.mpInInterface->getInterfaceNumber(), 1);
        EXPECT_EQ(dev.model.mpInInterface->getAlternateNumber(), 1);
        if (c.bulk) {
            ASSERT_NE(dev.model.m_pcMidiInterface, nullptr);
            EXPECT_EQ(dev.model.m_pcMidiInterface->getInterfaceNumber(), 0);
            EXPECT_EQ(dev.model.m_pcMidiInterface->getAlternateNumber(), 1);
        }
    }
}

TEST(InterfaceChoice, HX5100TakesAlternateTwoBothWaysAtEveryOfferedRate) {
    for (bool highSpeed : {false, true}) {
        Device dev(hx5100ConfigurationSet(highSpeed), kKorvexVendor, kHX5100, false, highSpeed);
        std::vector<uint32_t> rates = {44100, 48000};
        if (highSpeed) rates.insert(rates.end(), {88200, 96000, 176400, 192000});
        for (uint32_t rate : rates) {
            SCOPED_TRACE(rate);
            QnChannelSettings s = wanted(rate, 8, 8, 16);
            ASSERT_TRUE(dev.model.findInterfacesInConfig(s));
            QnChannelSettings expect{rate, 2, 24, 2, 24, 0};
            EXPECT_EQ(std::memcmp(&s, &expect, sizeof s), 0);
            ASSERT_TRUE(dev.model.mpOutInterface && dev.model.mpInInterface);
            EXPECT_EQ(dev.model.mpOutInterface->getInterfaceNumber(), 1);
            EXPECT_EQ(dev.model.mpOutInterface->getAlternateNumber(), 2);
            EXPECT_EQ(dev.model.mpInInterface->getInterfaceNumber(), 2);
            EXPECT_EQ(dev.model.mpInInterface->getAlternateNumber(), 2);
            EXPECT_EQ(dev.model.m_pcMidiInterface->getInterfaceNumber(), 3);
            EXPECT_EQ(dev.model.mpOutInterface->getIsocOutPipe()->getAddress(), 0x01);
            EXPECT_EQ(dev.model.mpInInterface->getIsocInPipe()->getAddress(), 0x82);
        }
    }
}

TEST(InterfaceChoice, RatesOutsideTheDeviceRangeNeverMatch) {
    Device dev(classCompliantConfigurationSet(), 0x1234, 0x0001, true);
    ZrInterfaceDescriptor* out = dev.model.getConfigurationDescriptor(0)->getInterface(1);
    for (uint32_t rate : {0u, 7999u, 384001u, 0xFFFFFFFFu})
        EXPECT_FALSE(out->getAlternateSetting(1)->hasCapabilities(rate, 2, 16, dev.model.getIds()))
            << rate;
}

// Byte offsets of the device information record, written out from its
// layout rather than taken from the compiler.
constexpr size_t kConfig0 = 8;
constexpr size_t interfaceAt(size_t n) {
    return kConfig0 + 4 + 1540 * n;
}
constexpr size_t alternateAt(size_t n, size_t a) {
    return interfaceAt(n) + 4 + 96 * a;
}

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = uint8_t(x);
    v[at + 1] = uint8_t(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + i] = uint8_t(x >> (8 * i));
}

TEST(DeviceInfo, HX5100RecordMatchesTheGoldenLayout) {
    for (bool highSpeed : {false, true}) {
        SCOPED_TRACE(highSpeed ? "high speed" : "full speed");
        Device dev(hx5100ConfigurationSet(highSpeed), kKorvexVendor, kHX5100, false, highSpeed);
        auto info = std::make_unique<APIDeviceInfo>();
        std::memset(info.get(), 0, sizeof *info);
        dev.model.getAPIDeviceInfo(*info);

        std::vector<uint8_t> golden(98964, 0);
        put16(golden, 0, kKorvexVendor);
        put16(golden, 2, kHX5100);
        put16(golden, 4, 0x0100);
        golden[6] = 1;
        golden[kConfig0 + 1] = 1; // bConfigurationValue
        golden[kConfig0 + 2] = 4; // interfaces
        const std::vector<uint32_t> rates =
            highSpeed ? std::vector<uint32_t>{44100, 48000, 88200, 96000, 176400, 192000}
                      : std::vector<uint32_t>{44100, 48000};
        for (int n = 1; n <= 3; ++n) {
            golden[interfaceAt(n)] = uint8_t(n);
            golden[interfaceAt(n) + 1] = n == 3 ? 3 : 2; // subclass after the corrections
        }
        for (int n = 1; n <= 2; ++n) {
            golden[interfaceAt(n) + 2] = 1; // one entry: alternate 2's format
            size_t alt = alternateAt(n, 0);
            golden[alt] = 2;
            golden[alt + 2] = 1; // endpoints
            golden[alt + 4] = 24;
            golden[alt + 5] = 2;
            golden[alt + 7] = uint8_t(rates.size());
            for (size_t r = 0; r < rates.size(); ++r)
                put32(golden, alt + 4 + 12 + 4 * r, rates[r]);
            put16(golden, alt + 80, highSpeed ? 156 : 294);
            golden[alt + 82] = n == 1 ? 0x01 : 0x82;
        }
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(info.get());
        for (size_t i = 0; i < golden.size(); ++i)
            ASSERT_EQ(bytes[i], golden[i]) << "offset " << i;

        // The scan through the record finds the alternates the device
        // streams on: output on interface 1, input on 2, both alternate 2.
        for (bool output : {false, true}) {
            APIDeviceInfoScanResult r = scanAPIDeviceInfo(*info, 0, 48000, 24, 2, true, output);
            EXPECT_EQ(r.mFound & 1, 1);
            EXPECT_EQ(r.mInterface, output ? 1 : 2);
            EXPECT_EQ(r.mAlternate, 0);
        }
        APIDeviceInfoScanResult none = scanAPIDeviceInfo(*info, 0, 32000, 24, 2, true, false);
        EXPECT_EQ(none.mFound, 0);
        EXPECT_EQ(none.mRate, 32000u);
        EXPECT_EQ(scanAPIDeviceInfo(*info, 1, 48000, 24, 2, true, false).mFound, 0);
    }
}

TEST(DeviceInfo, EdgeCasesOfTheFillAndTheScan) {
    // Interfaces 0, 1 and 3 with bNumInterfaces 3; interface 1's alternate
    // carries two formats, one of them a continuous range.
    DescriptorBuilder b;
    b.config(3).iface(0, 0, 0, 1, 1);
    b.iface(1, 0, 0, 1, 2)
        .iface(1, 1, 1, 1, 2)
        .format(2, 16, {44100})
        .range(2, 24, 8000, 96000)
        .ep(0x01, 0x09, 400, 1);
    b.iface(3, 0, 0, 1, 2).iface(3, 1, 1, 1, 2).format(2, 16, {44100}).ep(0x83, 0x05, 200, 1);
    Device dev(b.bytes(), 0x1234, 0x0001, false);
    dev.features.mLoaded = 0; // direction by endpoint
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0xAA, sizeof *info);
    info->mFeatures = APISpecificFeatures{};
    dev.model.getAPIDeviceInfo(*info);
    const APIConfigInfo& c = info->mConfigurations[0];
    EXPECT_EQ(c.mNumInterfaces, 3);
    const APIInterfaceInfo& one = c.mInterfaces[1];
    ASSERT_EQ(one.mNumAlternates, 2);
    EXPECT_EQ(one.mAlternates[0].mAlternateSetting, 1);
    EXPECT_EQ(one.mAlternates[1].mAlternateSetting, 1);
    EXPECT_EQ(one.mAlternates[1].mStreaming.mContinuous, 1);
    EXPECT_EQ(one.mAlternates[1].mStreaming.mUpperRate, 96000u);
    EXPECT_EQ(one.mAlternates[2].mAlternateSetting, 0xAA); // untouched past the count
    EXPECT_EQ(c.mInterfaces[2].mInterfaceNumber, 0xAA);    // no interface 2: left as it was

    // The continuous range matches only when ranges are allowed.
    EXPECT_EQ(scanAPIDeviceInfo(*info, 0, 48000, 24, 2, false, true).mFound, 1);
    EXPECT_EQ(scanAPIDeviceInfo(*info, 0, 48000, 24, 2, true, true).mFound, 0);
    // Interface 1 has only an OUT endpoint: no input there.
    EXPECT_EQ(scanAPIDeviceInfo(*info, 0, 48000, 24, 2, false, false).mFound, 0);
    EXPECT_EQ(scanAPIDeviceInfo(*info, 0, 44100, 16, 2, true, true).mInterface, 1);
}

} // namespace
