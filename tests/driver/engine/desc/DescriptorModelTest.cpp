// The descriptor model against the HX-5100's sets, the edge cases of each
// reader, and malformed sets (which must end cleanly, also under asan).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/DescriptorCursor.h"
#include "driver/engine/desc/USBDummyDescriptor.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "platform/usb/devices/HX5100Descriptors.h"
#include "tests/driver/engine/desc/DescriptorBuilder.h"
#include "tests/driver/engine/desc/TreeDump.h"

namespace {

using namespace ZrDescriptorProducts;

// A device outside every product list, with a loaded features record that
// leaves the Merrow flags clear: the descriptors are taken as they are.
struct PlainDevice {
    APISpecificFeatures features{};
    PlainDevice() { features.mLoaded = 1; }
    VIDPID ids() const { return VIDPID(0x1234, 0x5678, 0x0100, &features); }
};

struct Scanned {
    std::vector<uint8_t> bytes;
    ZrConfigurationDescriptor config;
    bool ok = false;
    Scanned(std::vector<uint8_t> b, const VIDPID& ids) : bytes(std::move(b)) {
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ok = config.scan(buf, ids);
    }
};

// The HX-5100 without a features record: Merrow-compatible, so interfaces 1
// and 2 become audio streaming and 3 MIDI, alternate 1 of each streaming
// interface is retired and alternate 2 gets the synthesized 24-bit format.
const char* const kHX5100FullSpeed = "config 1 interfaces 4\n"
                                     "interface 0 alt 0 class 255/0 endpoints 0\n"
                                     "interface 1 alt 0 class 1/2 endpoints 0\n"
                                     "  interface 0 alt 0 class 0/0 endpoints 0\n"
                                     "  interface 1 alt 2 class 1/2 endpoints 1\n"
                                     "    ep 0x01 attr 0x05 max 294 x1 interval 1 sync 1\n"
                                     "    format 2ch 3 bytes 24 bits rates 44100 48000\n"
                                     "interface 2 alt 0 class 1/2 endpoints 0\n"
                                     "  interface 0 alt 0 class 0/0 endpoints 0\n"
                                     "  interface 2 alt 2 class 1/2 endpoints 1\n"
                                     "    ep 0x82 attr 0x05 max 294 x1 interval 1 sync 1\n"
                                     "    format 2ch 3 bytes 24 bits rates 44100 48000\n"
                                     "interface 3 alt 0 class 1/3 endpoints 2\n"
                                     "  ep 0x03 attr 0x02 max 64 x1 interval 0 sync 0\n"
                                     "  ep 0x84 attr 0x02 max 64 x1 interval 0 sync 0\n";

const char* const kHX5100HighSpeed =
    "config 1 interfaces 4\n"
    "interface 0 alt 0 class 255/0 endpoints 0\n"
    "interface 1 alt 0 class 1/2 endpoints 0\n"
    "  interface 0 alt 0 class 0/0 endpoints 0\n"
    "  interface 1 alt 2 class 1/2 endpoints 1\n"
    "    ep 0x01 attr 0x05 max 156 x1 interval 1 sync 1\n"
    "    format 2ch 3 bytes 24 bits rates 44100 48000 88200 96000 176400 192000\n"
    "interface 2 alt 0 class 1/2 endpoints 0\n"
    "  interface 0 alt 0 class 0/0 endpoints 0\n"
    "  interface 2 alt 2 class 1/2 endpoints 1\n"
    "    ep 0x82 attr 0x05 max 156 x1 interval 1 sync 1\n"
    "    format 2ch 3 bytes 24 bits rates 44100 48000 88200 96000 176400 192000\n"
    "interface 3 alt 0 class 1/3 endpoints 2\n"
    "  ep 0x03 attr 0x02 max 512 x1 interval 0 sync 0\n"
    "  ep 0x84 attr 0x02 max 512 x1 interval 0 sync 0\n";

TEST(HX5100Descriptors, ScannedTreesMatchTheHandDerivedDumps) {
    for (bool highSpeed : {false, true}) {
        SCOPED_TRACE(highSpeed ? "high speed" : "full speed");
        std::vector<uint8_t> bytes = hx5100ConfigurationSet(highSpeed);
        ZrDeviceConfigurations device;
        device.setIdentity(kKorvexVendor, kHX5100, 0x0100, nullptr, 1);
        device.setIsUSB2Device(highSpeed);
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ASSERT_TRUE(device.scanConfigurationDescriptors(buf));
        ASSERT_EQ(device.getCountConfigurationDescriptors(), 1);
        EXPECT_EQ(dumpConfiguration(*device.getConfigurationDescriptor(0)),
                  highSpeed ? kHX5100HighSpeed : kHX5100FullSpeed);
    }
}

// The simulated HX-5100's own sets: 9-byte isochronous endpoints with their
// class-specific companions, a vendor control interface of subclass 1 and
// an interrupt status endpoint on interface 3.
const char* const kModelFullSpeed = "config 1 interfaces 4\n"
                                    "interface 0 alt 0 class 255/1 endpoints 0\n"
                                    "interface 1 alt 0 class 1/2 endpoints 0\n"
                                    "  interface 0 alt 0 class 0/0 endpoints 0\n"
                                    "  interface 1 alt 2 class 1/2 endpoints 1\n"
                                    "    ep 0x01 attr 0x05 max 300 x1 interval 1 sync 1\n"
                                    "    format 2ch 3 bytes 24 bits rates 44100 48000\n"
                                    "interface 2 alt 0 class 1/2 endpoints 0\n"
                                    "  interface 0 alt 0 class 0/0 endpoints 0\n"
                                    "  interface 2 alt 2 class 1/2 endpoints 1\n"
                                    "    ep 0x82 attr 0x05 max 300 x1 interval 1 sync 1\n"
                                    "    format 2ch 3 bytes 24 bits rates 44100 48000\n"
                                    "interface 3 alt 0 class 1/3 endpoints 2\n"
                                    "  ep 0x03 attr 0x02 max 64 x1 interval 0 sync 0\n"
                                    "  ep 0x83 attr 0x03 max 64 x1 interval 1 sync 0\n";

const char* const kModelHighSpeed =
    "config 1 interfaces 4\n"
    "interface 0 alt 0 class 255/1 endpoints 0\n"
    "interface 1 alt 0 class 1/2 endpoints 0\n"
    "  interface 0 alt 0 class 0/0 endpoints 0\n"
    "  interface 1 alt 2 class 1/2 endpoints 1\n"
    "    ep 0x01 attr 0x05 max 156 x1 interval 1 sync 1\n"
    "    format 2ch 3 bytes 24 bits rates 44100 48000 88200 96000 176400 192000\n"
    "interface 2 alt 0 class 1/2 endpoints 0\n"
    "  interface 0 alt 0 class 0/0 endpoints 0\n"
    "  interface 2 alt 2 class 1/2 endpoints 1\n"
    "    ep 0x82 attr 0x05 max 156 x1 interval 1 sync 1\n"
    "    format 2ch 3 bytes 24 bits rates 44100 48000 88200 96000 176400 192000\n"
    "interface 3 alt 0 class 1/3 endpoints 2\n"
    "  ep 0x03 attr 0x02 max 512 x1 interval 0 sync 0\n"
    "  ep 0x83 attr 0x03 max 64 x1 interval 4 sync 0\n";

TEST(HX5100Descriptors, DeviceModelSetsScanToTheHandDerivedTrees) {
    namespace model = hx::usb::devices::hx5100;
    for (bool highSpeed : {false, true}) {
        SCOPED_TRACE(highSpeed ? "high speed" : "full speed");
        const auto& set =
            highSpeed ? model::kHighSpeedConfiguration : model::kFullSpeedConfiguration;
        std::vector<uint8_t> bytes(set.begin(), set.end());
        ZrDeviceConfigurations device;
        device.setIdentity(kKorvexVendor, kHX5100, 0x0100, nullptr, 1);
        device.setIsUSB2Device(highSpeed);
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ASSERT_TRUE(device.scanConfigurationDescriptors(buf));
        EXPECT_EQ(dumpConfiguration(*device.getConfigurationDescriptor(0)),
                  highSpeed ? kModelHighSpeed : kModelFullSpeed);
        // The streaming endpoints carry the sampling-frequency control.
        ZrInterfaceDescriptor* out =
            device.getConfigurationDescriptor(0)->getInterface(1)->getAlternateSetting(2);
        EXPECT_EQ(out->getPipeByIndex(0)->getControls(), 1u);
    }
}

TEST(HX5100Descriptors, ClassCorrectionsFollowTheFeaturesRecord) {
    struct Case {
        const char* name;
        bool loaded;
        bool merrowFlag;
        bool mrw192Flag;
        uint16_t product;
        int classOf1, classOf3; // class * 16 + subclass
    };
    const Case cases[] = {
        {"no record: both families", false, false, false, 0x9999, 0x12, 0x13},
        {"loaded, flags clear, HX-5100", true, false, false, kHX5100, 0x12, 0x13},
        {"loaded, flags clear, unknown product", true, false, false, 0x9999, 0xFF0, 0xFF0},
        {"loaded, Merrow only, unknown product", true, true, false, 0x9999, 0x12, 0xFF0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        APISpecificFeatures f{};
        f.mLoaded = c.loaded;
        f.mFlags[eSpecFeature_MerrowCompatible] = c.merrowFlag;
        f.mFlags[eSpecFeature_MRW192Compatible] = c.mrw192Flag;
        Scanned s(hx5100ConfigurationSet(false), VIDPID(kKorvexVendor, c.product, 0x100, &f));
        ASSERT_TRUE(s.ok);
        auto* one = s.config.getInterface(1);
        auto* three = s.config.getInterface(3);
        ASSERT_TRUE(one && three);
        EXPECT_EQ(one->getInterfaceClass() * 16 + one->getInterfaceSubClass(), c.classOf1);
        EXPECT_EQ(three->getInterfaceClass() * 16 + three->getInterfaceSubClass(), c.classOf3);
    }
}

TEST(ByteCursor, PeekAtTheEndReadsZeroAndForwardStopsAtTheSize) {
    uint8_t data[4] = {1, 2, 3, 4};
    USBByteBuffer buf(data, 4);
    buf.forward(1);
    EXPECT_EQ(buf.peek(buf.getRemaining() - 1), 4);
    EXPECT_EQ(buf.peek(buf.getRemaining()), 0);
    buf.forward(10);
    EXPECT_EQ(buf.getReadPosition(), 4u);
    EXPECT_EQ(buf.getWritePosition(), 4u);
}

TEST(PipeDescriptor, IntervalAndPacketSizeDecideAcceptance) {
    struct Case {
        uint8_t address;
        uint16_t maxPacket;
        uint8_t interval;
        bool accepted;
    };
    const Case cases[] = {
        {0x01, 33, 2, false}, {0x01, 32, 2, true},  {0x81, 32, 2, false},  {0x81, 31, 2, true},
        {0x01, 600, 1, true}, {0x81, 600, 4, true}, {0x81, 600, 3, false},
    };
    for (const Case& c : cases) {
        uint8_t d[7] = {
            7, 5, c.address, 0x05, uint8_t(c.maxPacket), uint8_t(c.maxPacket >> 8), c.interval};
        USBByteBuffer buf(d, 7);
        ZrPipeDescriptor p;
        EXPECT_EQ(p.scan(buf), c.accepted)
            << int(c.address) << " " << c.maxPacket << " " << int(c.interval);
        EXPECT_EQ(buf.getReadPosition(), 7u);
    }
}

TEST(PipeDescriptor, ReadsItsClassSpecificCompanionAndSplitsThePacketSize) {
    // 9-byte endpoint, 3 transactions of 1024 bytes, then its 7-byte
    // class-specific descriptor and one byte of the next descriptor.
    uint8_t d[] = {9, 5, 0x83, 0x0D, 0x00, 0x14, 1, 0, 0, 7, 0x25, 1, 0x81, 2, 0x34, 0x12, 0x55};
    USBByteBuffer buf(d, sizeof d);
    ZrPipeDescriptor p;
    ASSERT_TRUE(p.scan(buf));
    EXPECT_EQ(buf.getReadPosition(), 16u);
    EXPECT_EQ(p.getEndpointNumber(), 3);
    EXPECT_EQ(p.getTransactions(), 3);
    EXPECT_EQ(p.getMaxPacketSize(), 1024);
    EXPECT_EQ(p.getSyncType(), 3u);
    EXPECT_EQ(p.getControls(), 1u);
    EXPECT_EQ(p.getMaxPacketsOnly(), 1);
    EXPECT_EQ(p.getLockDelayUnits(), 2);
    EXPECT_EQ(p.getLockDelay(), 0x1234);
}

TEST(InterfaceDescriptor, UnknownDescriptorEndsTheInterfaceAndTheConfigurationSkipsIt) {
    PlainDevice dev;
    DescriptorBuilder b;
    b.config(2)
        .iface(1, 0, 0, 1, 2)
        .iface(1, 1, 1, 1, 2)
        .format(2, 16, {48000})
        .ep(0x01, 0x05, 196, 1)
        .raw({8, 0x0B, 2, 1, 1, 2, 0, 0}) // an interface association
        .iface(1, 2, 1, 1, 2)
        .format(2, 24, {48000})
        .ep(0x01, 0x05, 294, 1)
        .iface(2, 0, 0, 1, 1);
    Scanned s(b.bytes(), dev.ids());
    ASSERT_TRUE(s.ok);
    // Alternate 2 after the association has no alternate-0 object of its
    // own interface in front of it, so it becomes its own interface entry.
    ASSERT_EQ(s.config.getCountInterfaces(), 3);
    EXPECT_EQ(s.config.getInterfaceByIndex(0)->getCountAlternateSettings(), 1);
    EXPECT_EQ(s.config.getInterfaceByIndex(1)->getAlternateNumber(), 2);
    EXPECT_EQ(s.config.getInterfaceByIndex(2)->getInterfaceNumber(), 2);
}

TEST(InterfaceDescriptor, OfTwoSingleRateTwinsTheLargerPacketStays) {
    PlainDevice dev;
    for (bool largerFirst : {false, true}) {
        DescriptorBuilder b;
        b.config(1).iface(1, 0, 0, 1, 2);
        b.iface(1, 1, 1, 1, 2).format(2, 24, {48000}).ep(0x01, 0x05, largerFirst ? 300 : 200, 1);
        b.iface(1, 2, 1, 1, 2).format(2, 24, {48000}).ep(0x01, 0x05, largerFirst ? 200 : 300, 1);
        b.iface(1, 3, 1, 1, 2).format(2, 24, {48000}).ep(0x01, 0x05, 300, 1); // equal: both stay
        Scanned s(b.bytes(), dev.ids());
        ASSERT_TRUE(s.ok);
        ZrInterfaceDescriptor* iface = s.config.getInterface(1);
        ASSERT_EQ(iface->getCountAlternateSettings(), 2);
        EXPECT_EQ(iface->getAlternateSettingByIndex(0)->getPipeByIndex(0)->getMaxPacketSize(), 300);
        EXPECT_EQ(iface->getAlternateSettingByIndex(1)->getAlternateNumber(), 3);
        EXPECT_EQ(
            iface->getAlternateSetting(largerFirst ? 1 : 2)->getPipeByIndex(0)->getMaxPacketSize(),
            300);
        EXPECT_EQ(iface->getAlternateSetting(largerFirst ? 2 : 1), nullptr);
    }
}

TEST(InterfaceDescriptor, AlternateZeroIsTheObjectItself) {
    PlainDevice dev;
    Scanned s(classCompliantConfigurationSet(), dev.ids());
    ZrInterfaceDescriptor* iface = s.config.getInterface(1);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->getAlternateSetting(0), iface);
    EXPECT_EQ(iface->getAlternateSetting(1)->getAlternateSetting(0), nullptr);
    EXPECT_EQ(iface->getAlternateSetting(7), nullptr);
}

TEST(FormatRecord, BuiltFormatsAndTheirCounts) {
    ZrInterfaceDescriptorSpecificAS as;
    as.genInit(2, 24);
    as.genAddSRBitmap(0x7);
    EXPECT_EQ(as.length(), 17);
    EXPECT_EQ(as.getSubframeSize(), 3);
    ASSERT_EQ(as.getCountFrequencies(), 3u);
    EXPECT_EQ(as.getFrequency(0), 32000u);
    EXPECT_EQ(as.getFrequency(1), 44100u);
    EXPECT_EQ(as.getFrequency(2), 48000u);
    EXPECT_EQ(as.getFrequency(3), 0u);

    struct Sub {
        int bits, subframe;
    };
    for (Sub s : {Sub{8, 1}, Sub{16, 2}, Sub{24, 3}, Sub{32, 4}, Sub{33, 0}}) {
        as.genInit(1, s.bits);
        EXPECT_EQ(as.getSubframeSize(), s.subframe) << s.bits;
    }
}

TEST(FormatRecord, RateCountIsBoundedByTheDescriptorLength) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t count;
        uint32_t lower, upper;
    };
    const Case cases[] = {
        // bSamFreqType 255 but room for one rate.
        {{11, 0x24, 2, 1, 2, 2, 16, 255, 0x44, 0xAC, 0}, 1, 0, 0},
        // bSamFreqType 2, length holds 2 and a half.
        {{22, 0x24, 2, 1, 2, 2, 16, 2, 0x44, 0xAC, 0, 0x80, 0xBB, 0, 1, 2, 3, 4, 5, 6, 7, 8},
         2,
         0,
         0},
        // Continuous range cut short: no rates at all.
        {{12, 0x24, 2, 1, 2, 2, 16, 0, 0x44, 0xAC, 0, 0}, 0, 0, 0},
        {{14, 0x24, 2, 1, 2, 2, 16, 0, 0x44, 0xAC, 0, 0x80, 0xBB, 0}, 0, 44100, 48000},
        // Shorter than a format descriptor.
        {{7, 0x24, 2, 1, 2, 2, 16}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.bytes;
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ZrInterfaceDescriptorSpecificAS as;
        ASSERT_TRUE(as.scan(buf));
        EXPECT_EQ(as.getCountFrequencies(), c.count) << int(bytes[0]);
        EXPECT_EQ(as.getLowerFrequency(), c.lower);
        EXPECT_EQ(as.getUpperFrequency(), c.upper);
    }
}

// Malformed sets: each must end, keep what came before the fault, and
// (under asan) never read or write out of bounds or use a freed object.
TEST(MalformedSets, EndCleanlyKeepingWhatWasParsed) {
    PlainDevice dev;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        int interfaces;
    };
    auto good = [] { return DescriptorBuilder().config(2).iface(0, 0, 0, 1, 1).bytes(); };
    auto with = [&](std::initializer_list<uint8_t> tail) {
        std::vector<uint8_t> v = good();
        v.insert(v.end(), tail.begin(), tail.end());
        return v;
    };
    std::vector<uint8_t> cut = classCompliantConfigurationSet();
    cut.erase(cut.end() - 5, cut.end());
    std::vector<Case> cases = {
        {"empty", {}, false, 0},
        {"configuration too short", {8, 2, 9, 0, 1, 1, 0, 0x80}, false, 0},
        {"length 0 ends the set", with({0, 4, 1, 0, 0, 1, 2, 0, 0, 9, 4, 1, 0, 0, 1, 2, 0, 0}),
         true, 1},
        {"length 1 ends the set", with({1, 4, 9, 4, 1, 0, 0, 1, 2, 0, 0}), true, 1},
        {"interface cut by the end keeps zeroed fields", with({9, 4, 1, 0, 0, 1}), true, 2},
        {"interface too short", with({5, 4, 1, 0, 0, 9, 4, 2, 0, 0, 1, 2, 0, 0}), true, 2},
        {"endpoint past the end", with({9, 4, 1, 0, 1, 1, 2, 0, 0, 7, 5, 0x81, 5, 0xFF}), true, 2},
        {"bad endpoint length",
         with({9, 4, 1, 0, 1, 1, 2, 0, 0, 8, 5, 0x81, 5, 0, 1, 1, 0, 9, 4, 2, 0, 0, 1, 2, 0, 0}),
         true, 3},
        {"huge rate count", with({9, 4, 1, 0,  0,    1, 2, 0, 0, 9,  4,   1,    1,    0, 1,
                                  2, 0, 0, 11, 0x24, 2, 1, 2, 2, 16, 255, 0x80, 0xBB, 0}),
         true, 2},
        {"length 255 past the end", with({9, 4, 1, 0, 0, 1, 2, 0, 0, 255, 0x24, 2, 1, 2, 2, 16, 1}),
         true, 2},
        {"cut class-compliant set", cut, true, 3},
        {"stray class-specific endpoint", with({7, 0x25, 1, 0, 0, 0, 0, 9, 4, 1, 0, 0, 1, 2, 0, 0}),
         true, 2},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scanned s(c.bytes, dev.ids());
        EXPECT_EQ(s.ok, c.ok);
        EXPECT_EQ(s.config.getCountInterfaces(), c.interfaces);
        // Every reader must also be safe on the same bytes.
        APIConfigInfo* info = new APIConfigInfo{};
        s.config.getAPIConfigInfo(*info, dev.ids());
        delete info;
    }
}

TEST(MalformedSets, FullArraysRefuseAndFreeWhatDoesNotFit) {
    PlainDevice dev;
    DescriptorBuilder b;
    b.config(1).iface(1, 0, 0, 1, 2).iface(1, 1, 70, 1, 2);
    for (int e = 0; e < 70; ++e)
        b.ep(0x81, 0x02, 64, 0);
    for (int alt = 2; alt <= 70; ++alt)
        b.iface(1, uint8_t(alt), 1, 1, 2).ep(0x82, 0x02, 64, 0);
    Scanned s(b.bytes(), dev.ids());
    ASSERT_TRUE(s.ok);
    ZrInterfaceDescriptor* iface = s.config.getInterface(1);
    ASSERT_EQ(iface->getCountAlternateSettings(), ZrSimpleArray::kCapacity);
    EXPECT_EQ(iface->getAlternateSetting(1)->getCountPipes(), ZrSimpleArray::kCapacity);
    EXPECT_EQ(iface->getAlternateSettingByIndex(63)->getAlternateNumber(), 64);
    EXPECT_EQ(iface->getAlternateSetting(65), nullptr);
    // The refused alternates and endpoints were freed (asan's leak check).
}

TEST(SynthesizedFormats, FullSpeedLimitsTheDeviceChannelCounts) {
    struct Case {
        bool highSpeed;
        uint32_t in, out, wantIn, wantOut;
    };
    for (Case c : {Case{false, 8, 8, 2, 2}, Case{false, 2, 1, 2, 1}, Case{true, 8, 8, 8, 8}}) {
        ZrSimpleArray configurations;
        DeviceSpecificData data;
        data.mInputChannels = c.in;
        data.mOutputChannels = c.out;
        VIDPID ids(0x1111, 0x2222, 0, nullptr);
        USB::buildDummyDescriptor(ids, configurations, c.highSpeed, data);
        EXPECT_EQ(data.mInputChannels, c.wantIn);
        EXPECT_EQ(data.mOutputChannels, c.wantOut);
    }
}

TEST(SynthesizedFormats, SecondGenerationChannelsFromTheInterruptPacketSize) {
    struct Case {
        uint16_t maxPacket;
        int channels; // -1: no format
    };
    const Case cases[] = {{256, 8}, {250, -1},          {32, 0},           {31, -1},
                          {60, 1},  {32 + 28 * 33, -1}, {32 + 28 * 32, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxPacket);
        DescriptorBuilder b;
        b.config(3)
            .iface(0, 0, 0, 0xFF, 0)
            .iface(1, 0, 0, 0xFF, 0)
            .iface(1, 1, 1, 0xFF, 0)
            .ep(0x81, 0x03, c.maxPacket, 1);
        std::vector<uint8_t> bytes = b.bytes();
        ZrDeviceConfigurations device;
        device.setIdentity(kSorvikVendor, kSorvikFarlane2[0], 0, nullptr, 1);
        device.setIsUSB2Device(true);
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        ASSERT_TRUE(device.scanConfigurationDescriptors(buf));
        ZrInterfaceDescriptor* alt =
            device.getConfigurationDescriptor(0)->getInterface(1)->getAlternateSetting(1);
        ASSERT_NE(alt, nullptr);
        ZrInterfaceDescriptorSpecificAS* as = alt->getAudioStreamingSpecific(0);
        if (c.channels < 0) {
            EXPECT_EQ(as, nullptr);
            continue;
        }
        ASSERT_NE(as, nullptr);
        EXPECT_EQ(as->getNumChannels(), c.channels);
        EXPECT_EQ(as->getBitResolution(), 32);
        ASSERT_EQ(as->getCountFrequencies(), 1u);
        EXPECT_EQ(as->getFrequency(0), 48000u);
    }
}

TEST(SynthesizedFormats, MissingAlternateIsLeftAlone) {
    PlainDevice dev;
    Scanned s(classCompliantConfigurationSet(), dev.ids());
    const std::string before = dumpConfiguration(s.config);
    addSingleAlternate(s.config.getInterface(1), 9, 2, 24, 0x7, 4, 24, 0x7);
    addSingleAlternate(nullptr, 1, 2, 24, 0x7, -1, -1, -1);
    EXPECT_EQ(dumpConfiguration(s.config), before);
}

TEST(SynthesizedFormats, SecondFormatRecordOnlyWhenAllThreeValuesAreGiven) {
    PlainDevice dev;
    Scanned s(classCompliantConfigurationSet(), dev.ids());
    ZrInterfaceDescriptor* iface = s.config.getInterface(1);
    addSingleAlternate(iface, 1, 4, 24, 0x4, 6, -1, 0x4);
    EXPECT_EQ(iface->getAlternateSetting(1)->getCountAudioStreamingSpecific(),
              2); // no third record
    EXPECT_EQ(iface->getAlternateSetting(1)->getAudioStreamingSpecific(0)->getNumChannels(), 4);
    addSingleAlternate(iface, 2, 4, 24, 0x4, 6, 16, 0x4);
    ZrInterfaceDescriptor* two = iface->getAlternateSetting(2);
    ASSERT_EQ(two->getCountAudioStreamingSpecific(), 2);
    EXPECT_EQ(two->getAudioStreamingSpecific(1)->getNumChannels(), 6);
    EXPECT_EQ(two->getAudioStreamingSpecific(1)->getBitResolution(), 16);
}

TEST(DisableAll, FrequencyZeroesTheSlotWhichThenNeverMatches) {
    PlainDevice dev;
    std::vector<uint8_t> bytes = classCompliantConfigurationSet();
    ZrDeviceConfigurations device;
    device.setIdentity(0x1234, 0x5678, 0x100, &dev.features, 1);
    USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
    ASSERT_TRUE(device.scanConfigurationDescriptors(buf));
    ZrInterfaceDescriptor* out = device.getConfigurationDescriptor(0)->getInterface(1);
    ASSERT_NE(out->findAlternateSetting(96000, 2, 24, device.getIds()), nullptr);
    device.disableAllByFrequency(96000);
    EXPECT_EQ(out->findAlternateSetting(96000, 2, 24, device.getIds()), nullptr);
    EXPECT_EQ(out->findAlternateSetting(0, 2, 24, device.getIds()), nullptr);
    EXPECT_NE(out->findAlternateSetting(48000, 2, 24, device.getIds()), nullptr);
    device.disableAllByResolution(16);
    EXPECT_EQ(out->findAlternateSetting(48000, 2, 16, device.getIds()), nullptr);
    device.disableAllByChannels(2);
    EXPECT_EQ(out->findAlternateSetting(48000, 2, 24, device.getIds()), nullptr);
}

} // namespace
