// The bulk-protocol device model alone: its descriptors against a table, its
// request answers, its codecs against the driver's transcoders, and its
// packets on the bus, moved by a small transfer driver of the test's own.
#include "driver/transcoders/DMAConvert.h"
#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "tests/support/ConfiguredBusDevice.h"
#include "platform/usb/devices/BitSliceCodec.h"
#include "platform/usb/devices/BravaCodec.h"
#include "platform/usb/devices/BulkProtocolModel.h"
#include "platform/usb/devices/RequestTypes.h"
#include "tests/platform/usb/ModelRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using namespace hx::usb;
using namespace hx::usb::devices;
using usbtest::Chain;

HX5100Identity bulkIdentity() {
    return {0x1D5B, 0x0B01, 0x0100, "Quarnel", "Bulk", ""};
}

// ---- descriptors

struct EndpointRow {
    uint8_t interface, alternate, address, attributes;
    uint16_t maxPacket;
    uint8_t interval;
};

std::vector<EndpointRow> endpoints(std::span<const uint8_t> config) {
    std::vector<EndpointRow> rows;
    uint8_t intf = 0, alt = 0;
    for (size_t at = 0; at + 1 < config.size() && config[at] > 0; at += config[at]) {
        const uint8_t* d = config.data() + at;
        if (d[1] == 4) intf = d[2], alt = d[3];
        if (d[1] == 5) rows.push_back({intf, alt, d[2], d[3], (uint16_t)(d[4] | d[5] << 8), d[6]});
    }
    return rows;
}

// The channel counts of the type I format records, by interface.
std::vector<std::pair<uint8_t, uint8_t>> formats(std::span<const uint8_t> config) {
    std::vector<std::pair<uint8_t, uint8_t>> out;
    uint8_t intf = 0;
    for (size_t at = 0; at + 1 < config.size() && config[at] > 0; at += config[at]) {
        const uint8_t* d = config.data() + at;
        if (d[1] == 4) intf = d[2];
        if (d[1] == 0x24 && d[2] == 2) {
            out.emplace_back(intf, d[4]);
            EXPECT_EQ(d[6], 24); // bits
            EXPECT_EQ(d[7], 4);  // rates
            EXPECT_EQ(d[0], 8 + 12);
        }
    }
    return out;
}

TEST(BulkProtocolModel, DescriptorsDeclareTheEndpointsOfEachVariant) {
    struct Case {
        bool interrupt;
        std::vector<EndpointRow> rows;
    };
    const Case cases[] = {
        {false,
         {{0, 1, 0x05, 0x02, 512, 0},
          {0, 1, 0x01, 0x05, 8, 1},
          {0, 1, 0x83, 0x03, 64, 4},
          {1, 1, 0x86, 0x02, 512, 0}}},
        {true,
         {{0, 1, 0x05, 0x03, 964, 1},
          {0, 1, 0x01, 0x05, 8, 1},
          {0, 1, 0x83, 0x03, 64, 4},
          {1, 1, 0x86, 0x03, 1024, 1}}},
    };
    for (const Case& c : cases) {
        BulkProtocolModel model(bulkIdentity(), {18, 8, c.interrupt});
        const auto config = model.configurationDescriptor(0);
        ASSERT_EQ(config[2] | config[3] << 8, (int)config.size());
        EXPECT_EQ(config[4], 2); // interfaces
        const auto rows = endpoints(config);
        ASSERT_EQ(rows.size(), c.rows.size()) << c.interrupt;
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].interface, c.rows[i].interface);
            EXPECT_EQ(rows[i].alternate, c.rows[i].alternate);
            EXPECT_EQ(rows[i].address, c.rows[i].address);
            EXPECT_EQ(rows[i].attributes, c.rows[i].attributes);
            EXPECT_EQ(rows[i].maxPacket, c.rows[i].maxPacket);
            EXPECT_EQ(rows[i].interval, c.rows[i].interval);
        }
        const auto f = formats(config);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[0], (std::pair<uint8_t, uint8_t>{0, 8}));
        EXPECT_EQ(f[1], (std::pair<uint8_t, uint8_t>{1, 18}));
        EXPECT_TRUE(model.configurationDescriptor(1).empty());
    }
}

// ---- requests

ControlResult request(DeviceModel& m, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                      std::vector<uint8_t>& data) {
    StandardUSB::DeviceRequest s{type, req, value, index, (uint16_t)data.size()};
    return m.control(s, data.data());
}

TEST(BulkProtocolModel, RegisterZeroSetsTheDmaWidthAndTheRateIsAnsweredOnItsEndpoints) {
    using namespace requests;
    BulkProtocolModel model(bulkIdentity(), {});
    std::vector<uint8_t> none, one(1);
    EXPECT_EQ(model.dmaUnitBytes(), 2u); // power-on selector: bit 0x20 clear
    EXPECT_EQ(model.inFramesPerPacket(), 4u);
    ASSERT_EQ(request(model, kVendorOut, 0x49, 0x32, 0, none).status, kIOReturnSuccess);
    EXPECT_EQ(model.dmaUnitBytes(), 1u);
    EXPECT_EQ(model.inFramesPerPacket(), 8u);
    ASSERT_EQ(request(model, kVendorIn, 0x49, 0, 0, one).status, kIOReturnSuccess);
    EXPECT_EQ(one[0], 0x32);
    ASSERT_EQ(request(model, kVendorOut, 0x49, 0x12, 0, none).status, kIOReturnSuccess);
    EXPECT_EQ(model.inFramesPerPacket(), 4u);
    EXPECT_EQ(model.outFramesPerPacket(), 10u);

    struct RateCase {
        uint32_t rate;
        uint16_t endpoint;
        bool accepted;
    };
    const RateCase rates[] = {{48000, 0x86, true}, {96000, 0x05, true},   {88200, 0, true},
                              {44100, 0x86, true}, {192000, 0x86, false}, {32000, 0x86, false},
                              {48000, 0x83, false}};
    for (const RateCase& c : rates) {
        std::vector<uint8_t> three{(uint8_t)c.rate, (uint8_t)(c.rate >> 8),
                                   (uint8_t)(c.rate >> 16)};
        const uint32_t before = model.rate();
        const ControlResult r = request(model, kClassEndpointOut, kSetCur,
                                        kSamplingFrequencyControl, c.endpoint, three);
        EXPECT_EQ(r.status == kIOReturnSuccess, c.accepted) << c.rate << " on " << c.endpoint;
        EXPECT_EQ(model.rate(), c.accepted ? c.rate : before);
        std::vector<uint8_t> got(3);
        ASSERT_EQ(
            request(model, kClassEndpointIn, kGetCur, kSamplingFrequencyControl, 0x86, got).status,
            kIOReturnSuccess);
        EXPECT_EQ(get24(got.data()), model.rate());
    }
    BulkProtocolModel irq(bulkIdentity(), {2, 2, true});
    EXPECT_EQ(irq.inFramesPerPacket(), 8u); // 1,024 bytes of 16-bit units
    EXPECT_EQ(irq.outFramesPerPacket(), 20u);
}

// ---- codecs against the driver's transcoders

uint32_t sample24(uint32_t frame, uint32_t c) {
    return (frame * 0x9E3779u + c * 0x35A1C3u + 0x51) & 0xFFFFFF;
}

TEST(BulkProtocolModel, InputBlocksDecodeThroughTheDriversDecoders) {
    const DMA_CONVERT_FNC decoders[] = {
        dmaDecode16To02At32Bit_C, dmaDecode16To04At32Bit_C, dmaDecode16To06At32Bit_C,
        dmaDecode16To08At32Bit_C, dmaDecode16To10At32Bit_C, dmaDecode16To12At32Bit_C,
        dmaDecode16To14At32Bit_C, dmaDecode16To16At32Bit_C, dmaDecode32To18At32Bit_C,
        dmaDecode32To20At32Bit_C, dmaDecode32To22At32Bit_C, dmaDecode32To24At32Bit_C,
        dmaDecode32To26At32Bit_C, dmaDecode32To28At32Bit_C, dmaDecode32To30At32Bit_C,
        dmaDecode32To32At32Bit_C};
    for (uint32_t channels = 2; channels <= 32; channels += 2) {
        const uint32_t unit = bitslice::unitBytes(channels);
        const uint32_t frames = bitslice::framesPerBlock(unit);
        std::vector<uint32_t> samples(frames * channels);
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < channels; ++c)
                samples[f * channels + c] = sample24(f, c);
        uint8_t block[512];
        bitslice::encodeInputBlock(samples.data(), channels, unit, block);
        // The packet's last 8 bytes (unused units) never look like markers.
        EXPECT_EQ(std::memcmp(block + 504, "\0\0\0\0\0\0\0\0", 8), 0);
        std::vector<int32_t> ring(frames * channels, -1);
        DMA_CONVERT_DATA d{};
        d.src = block;
        d.dst = ring.data();
        EXPECT_EQ(decoders[channels / 2 - 1](&d), frames * channels);
        for (size_t i = 0; i < ring.size(); ++i)
            ASSERT_EQ((uint32_t)ring[i], samples[i] << 8) << channels << " channels, sample " << i;
    }
}

TEST(BulkProtocolModel, OutputPacketsFromTheDriversEncodersDecodeToTheirFrames) {
    struct Case {
        DMA_CONVERT_FNC encoder;
        uint32_t channels;
        bool int964;
    };
    const Case cases[] = {
        {dmaEncode02_C, 2, false},        {dmaEncode04_C, 4, false},
        {dmaEncode06_C, 6, false},        {dmaEncode08_C, 8, false},
        {dmaEncode10_C, 10, false},       {dmaEncode16_C, 16, false},
        {dmaEncode06_Int964_C, 6, true},  {dmaEncode08_Int964_C, 8, true},
        {dmaEncode16_Int964_C, 16, true},
    };
    for (const Case& c : cases) {
        const uint32_t frames = c.int964 ? 20 : 10;
        std::vector<int32_t> pcm(frames * c.channels);
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                pcm[f * c.channels + ch] = (int32_t)(sample24(f, ch) << 8 | 0x5A);
        std::vector<uint8_t> packet(c.int964 ? 964 : 512, 0xEE);
        DMA_CONVERT_DATA d{};
        d.src = pcm.data();
        d.dst = packet.data();
        c.encoder(&d);
        std::vector<uint32_t> back(frames * c.channels);
        bitslice::decodeOutputFrames(packet.data(), c.int964, frames, c.channels, back.data());
        for (size_t i = 0; i < back.size(); ++i)
            ASSERT_EQ(back[i], (uint32_t)pcm[i] >> 8) << c.channels << " channels, sample " << i;
    }
}

// The fifth-lane layouts across three packets of one run: every frame comes
// back one frame late (the pair's second channel rides on the next frame),
// the run's first frame out silent; the selector members' pair is the copy
// of the pair they name, the 10-channel ones' is channels 8 and 9.
TEST(BulkProtocolModel, FifthLanePacketsDecodeToTheirFramesOneFrameLate) {
    struct Case {
        DMA_CONVERT_FNC encoder;
        uint32_t channels;
        bool int964;
        uint32_t pairFirst; // a; b is a + 1
    };
    const Case cases[] = {
        {dmaEncode10_12_C, 8, false, 0},  {dmaEncode10_34_C, 8, false, 2},
        {dmaEncode10_56_C, 8, false, 4},  {dmaEncode10_78_C, 8, false, 6},
        {dmaEncode10_KX_C, 10, false, 8}, {dmaEncode10_KX_Int964_C, 10, true, 8},
    };
    constexpr uint32_t kPackets = 3;
    for (const Case& c : cases) {
        const uint32_t perPacket = c.int964 ? 20 : 10, frames = perPacket * kPackets;
        std::vector<int32_t> pcm(frames * c.channels);
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                pcm[f * c.channels + ch] = (int32_t)(sample24(f, ch) << 8 | 0xA5);
        bitslice::FifthLaneDecoder device(c.channels);
        ASSERT_EQ(device.channels(), c.channels);
        std::vector<uint32_t> back(frames * c.channels), pair(frames * 2);
        int32_t carry = 0; // a run starts with 0 carried
        for (uint32_t p = 0; p < kPackets; ++p) {
            std::vector<uint8_t> packet(c.int964 ? 964 : 512, 0xEE);
            DMA_CONVERT_DATA d{};
            d.src = pcm.data() + (size_t)p * perPacket * c.channels;
            d.dst = packet.data();
            d.carry = &carry;
            EXPECT_EQ(c.encoder(&d), (uint64_t)perPacket * c.channels * 4);
            device.decode(packet.data(), c.int964, perPacket,
                          back.data() + (size_t)p * perPacket * c.channels,
                          pair.data() + (size_t)p * perPacket * 2);
        }
        for (uint32_t ch = 0; ch < c.channels; ++ch)
            EXPECT_EQ(back[ch], 0u) << c.channels << " channels";
        EXPECT_EQ(pair[0], 0u);
        EXPECT_EQ(pair[1], 0u);
        for (uint32_t f = 1; f < frames; ++f) {
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                ASSERT_EQ(back[f * c.channels + ch], (uint32_t)pcm[(f - 1) * c.channels + ch] >> 8)
                    << c.pairFirst << ": frame " << f << ", channel " << ch;
            EXPECT_EQ(pair[2 * f], (uint32_t)pcm[(f - 1) * c.channels + c.pairFirst] >> 8);
            EXPECT_EQ(pair[2 * f + 1], (uint32_t)pcm[(f - 1) * c.channels + c.pairFirst + 1] >> 8);
        }
        // The last frame's b waits in the host's carried word.
        EXPECT_EQ(carry, pcm[(frames - 1) * c.channels + c.pairFirst + 1]);
        // A new run starts from silence again.
        device.restart();
        std::vector<uint8_t> silent(c.int964 ? 964 : 512, 0);
        std::vector<uint32_t> one(perPacket * c.channels, 1);
        device.decode(silent.data(), c.int964, perPacket, one.data(), nullptr);
        EXPECT_EQ(std::count(one.begin(), one.end(), 0u), (long)one.size());
    }
}

// The Brava word formats both ways, at each of its channel counts: the
// device's input blocks through the driver's decoders, the driver's encoder
// packets through the device's reader.
TEST(BulkProtocolModel, BravaBlocksAndPacketsRoundTripThroughTheDriversConverters) {
    struct Case {
        uint32_t channels;
        DMA_CONVERT_FNC decoder, encoder;
    };
    const Case cases[] = {
        {8, dmaDecode16To08At32Bit_Brava_C, dmaEncode08_Brava_C},
        {16, dmaDecode16To16At32Bit_Brava_C, dmaEncode16_Brava_C},
        {32, dmaDecode16To32At32Bit_Brava_C, dmaEncode32_Brava_C},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(brava::channelsOffered(c.channels));
        const uint32_t inFrames = brava::framesPerBlock(c.channels);
        std::vector<uint32_t> samples(inFrames * c.channels);
        for (uint32_t f = 0; f < inFrames; ++f)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                samples[f * c.channels + ch] = sample24(f, ch);
        uint8_t block[512];
        brava::encodeInputBlock(samples.data(), c.channels, block);
        std::vector<int32_t> ring(samples.size(), -1);
        DMA_CONVERT_DATA d{};
        d.src = block;
        d.dst = ring.data();
        EXPECT_EQ(c.decoder(&d), 128u);
        for (size_t i = 0; i < ring.size(); ++i)
            ASSERT_EQ((uint32_t)ring[i], samples[i] << 8) << c.channels << ": sample " << i;

        const uint32_t outFrames = brava::framesPerOutPacket(c.channels);
        EXPECT_EQ(outFrames * c.channels, 160u);
        std::vector<int32_t> pcm(outFrames * c.channels);
        for (uint32_t f = 0; f < outFrames; ++f)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                pcm[f * c.channels + ch] = (int32_t)(sample24(f + 7, ch) << 8 | 0x3C);
        std::vector<uint8_t> packet(512, 0xEE);
        DMA_CONVERT_DATA e{};
        e.src = pcm.data();
        e.dst = packet.data();
        EXPECT_EQ(c.encoder(&e), 640u);
        std::vector<uint32_t> back(pcm.size());
        brava::decodeOutputPacket(packet.data(), c.channels, back.data());
        for (size_t i = 0; i < back.size(); ++i)
            ASSERT_EQ(back[i], (uint32_t)pcm[i] >> 8) << c.channels << ": sample " << i;
    }
    EXPECT_FALSE(brava::channelsOffered(12));
}

// ---- on the bus

struct BulkRig {
    hx::clock::VirtualClock clock;
    std::shared_ptr<BulkProtocolModel> model;
    Bus bus{BusOptions{0x2000, 2, 2}};
    IOUSBHostDevice* device = nullptr;
    IOUSBHostPipe* in = nullptr;
    IOUSBHostPipe* out = nullptr;

    explicit BulkRig(BulkProtocolLayout layout, uint16_t width = 0x32, uint32_t rate = 48000)
        : model(std::make_shared<BulkProtocolModel>(bulkIdentity(), layout)) {
        hxtest::ConfiguredBusDevice d = hxtest::plugConfigured(bus, model);
        device = d.device;
        if (!d) return;
        const std::vector<IOUSBHostInterface*>& intf = d.interfaces;
        if (intf.size() != 2) {
            ADD_FAILURE() << intf.size() << " interfaces";
            return;
        }
        EXPECT_EQ(intf[0]->selectAlternateSetting(1), kIOReturnSuccess);
        EXPECT_EQ(intf[1]->selectAlternateSetting(1), kIOReturnSuccess);
        out = intf[0]->copyPipe(BulkProtocolModel::kBulkOut);
        in = intf[1]->copyPipe(BulkProtocolModel::kBulkIn);
        std::vector<uint8_t> none,
            three{(uint8_t)rate, (uint8_t)(rate >> 8), (uint8_t)(rate >> 16)};
        using namespace requests;
        EXPECT_EQ(request(*model, kVendorOut, 0x49, width, 0, none).status, kIOReturnSuccess);
        EXPECT_EQ(
            request(*model, kClassEndpointOut, kSetCur, kSamplingFrequencyControl, 0x86, three)
                .status,
            kIOReturnSuccess);
    }
    ~BulkRig() {
        OSSafeReleaseNULL(in);
        OSSafeReleaseNULL(out);
        OSSafeReleaseNULL(device);
    }
};

// Decodes whole arrived packets of an IN transfer and follows the ramp.
struct RampFollower {
    RampFollower(uint32_t c, uint32_t p) : channels(c), packetBytes(p) {}
    uint32_t channels;
    uint32_t packetBytes;
    uint64_t frames = 0;
    uint64_t breaks = 0;
    uint64_t corrupt = 0;
    std::optional<uint32_t> next;
    void packet(const uint8_t* p, uint32_t unit) {
        const uint32_t perBlock = bitslice::framesPerBlock(unit);
        for (uint32_t b = 0; b < packetBytes / 512; ++b) {
            // The device's own layout, read back bit by bit.
            for (uint32_t f = 0; f < perBlock; ++f) {
                std::vector<uint32_t> s(channels);
                for (uint32_t c = 0; c < channels; ++c) {
                    const uint32_t lane = c / 2;
                    uint32_t v = 0;
                    for (uint32_t i = 0; i < 24; ++i) {
                        const uint8_t* u = p + b * 512 + (f * 64 + i + 32 * (c % 2)) * unit;
                        const uint32_t word = unit == 2 ? (u[0] | u[1] << 8) : u[0];
                        v = v << 1 | ((word >> lane) & 1);
                    }
                    s[c] = v;
                }
                const auto counter = ChannelRamp::counter(s.data(), channels);
                ++frames;
                if (!counter) {
                    ++corrupt;
                    continue;
                }
                if (next && *counter != *next) ++breaks;
                next = (*counter + 1) & ChannelRamp::kMask;
            }
        }
    }
};

TEST(BulkProtocolModel, InputPacketsFollowTheDeviceClockAndCarryTheRamp) {
    struct Case {
        BulkProtocolLayout layout;
        uint16_t width;
        uint32_t rate;
    };
    const Case cases[] = {{{2, 2, false}, 0x32, 48000},
                          {{16, 2, false}, 0x30, 96000},
                          {{32, 2, false}, 0x10, 44100},
                          {{2, 2, true}, 0x30, 48000}};
    for (const Case& c : cases) {
        BulkRig rig(c.layout, c.width, c.rate);
        ASSERT_NE(rig.in, nullptr);
        const uint32_t unit = (c.width & 0x20) ? 1 : 2;
        const uint32_t packet = c.layout.interruptTransfers ? 1024 : 512;
        RampFollower follow{c.layout.inputChannels, packet};
        uint64_t bytes = 0;
        Chain chain;
        chain.pipe = rig.in;
        chain.length = 20 * packet;
        chain.timeoutMs = 50;
        chain.onDone = [&](uint8_t* b, uint32_t n, IOReturn status) {
            EXPECT_TRUE(status == kIOReturnSuccess || status == kIOReturnAborted) << status;
            bytes += n;
            for (uint32_t k = 0; k < n / packet; ++k)
                follow.packet(b + k * packet, unit);
        };
        chain.start(3);
        rig.clock.runFor(200000000); // 200 ms
        chain.stopped = true;
        rig.in->abort(kAbortSynchronous, kIOReturnAborted);
        std::lock_guard<std::mutex> g(chain.m);
        const uint64_t expected = (uint64_t)c.rate * 200 / 1000;
        EXPECT_EQ(bytes % packet, 0u);
        // The clock starts at the first transaction; one packet may wait.
        const uint64_t slack = (uint64_t)c.rate * 3 / 1000 + packet / 64;
        EXPECT_GE(follow.frames + slack, expected) << c.rate;
        EXPECT_LE(follow.frames, expected);
        EXPECT_EQ(follow.breaks, 0u);
        EXPECT_EQ(follow.corrupt, 0u);
        EXPECT_EQ(rig.model->channelStreamStats().inFramesLost, 0u);
    }
}

TEST(BulkProtocolModel, OutputPacketsAreTakenAsTheFifoHasRoomAndPlayTheRamp) {
    for (bool irq : {false, true}) {
        BulkRig rig({2, 4, irq});
        ASSERT_NE(rig.out, nullptr);
        const uint32_t packet = irq ? 964 : 512, frames = irq ? 20 : 10;
        uint64_t frame = 0;
        Chain chain;
        chain.pipe = rig.out;
        chain.length = 20 * packet;
        chain.fill = [&](uint8_t* b) {
            for (uint32_t k = 0; k < 20; ++k) {
                std::vector<int32_t> pcm(frames * 4);
                for (uint32_t f = 0; f < frames; ++f, ++frame)
                    for (uint32_t c = 0; c < 4; ++c)
                        pcm[f * 4 + c] = (int32_t)(ChannelRamp::sample(frame, c) << 8);
                uint8_t* p = b + k * packet;
                if (!irq) {
                    DMA_CONVERT_DATA d{};
                    d.src = pcm.data();
                    d.dst = p;
                    dmaEncode04_C(&d);
                    p[480] = 0xFD;
                    p[481] = 0xFF;
                } else {
                    // The 964-byte form: two halves of 10 frames.
                    DMA_CONVERT_DATA h{};
                    std::vector<uint8_t> tmp(512);
                    for (uint32_t half = 0; half < 2; ++half) {
                        h.src = pcm.data() + half * 40;
                        h.dst = tmp.data();
                        dmaEncode04_C(&h);
                        std::memcpy(p + half * 482, tmp.data(), 432);
                        std::memcpy(p + half * 482 + 434, tmp.data() + 432, 48);
                        p[half * 482 + 432] = 0xFD;
                        p[half * 482 + 433] = 0xFF;
                    }
                }
            }
        };
        chain.onDone = [&](uint8_t*, uint32_t n, IOReturn status) {
            if (status == kIOReturnSuccess) {
                EXPECT_EQ(n, 20 * packet);
            }
        };
        chain.start(3);
        rig.clock.runFor(100000000);
        rig.model->markChannelFifoLock();
        rig.clock.runFor(200000000);
        chain.stopped = true;
        rig.out->abort(kAbortSynchronous, kIOReturnAborted);
        const ChannelStreamStats s = rig.model->channelStreamStats();
        EXPECT_GT(s.rampFrames, 48000u * 290 / 1000) << irq;
        EXPECT_EQ(s.discontinuities, 0u);
        EXPECT_EQ(s.corruptFrames, 0u);
        EXPECT_EQ(s.fifoOverflowFrames, 0u);
        EXPECT_EQ(s.fifoUnderrunFrames, 0u);
        // Paced by NAK and polled every microframe: the FIFO stays within a
        // microframe's worth (6 frames at 48 kHz) and a packet of full, and
        // never holds more than its few hundred microseconds.
        const int64_t capacity = BulkProtocolModel::fifoFramesAt(48000, frames);
        EXPECT_GE(s.fifoMin, capacity - 6 - 2 * (int64_t)frames);
        EXPECT_LE(s.fifoMax, capacity);
        EXPECT_LE(capacity, 48000 * 6 / 10000); // 600 us
        const auto bytes = rig.model->midiControlBytes();
        ASSERT_FALSE(bytes.empty());
        for (auto [midi, control] : bytes) {
            EXPECT_EQ(midi, 0xFD);
            EXPECT_EQ(control, 0xFF);
        }
        EXPECT_EQ(rig.model->stats().midiBytes, 0u);
        EXPECT_EQ(rig.model->stats().outBadPackets, 0u);
    }
}

// One IN transfer of 20 packets with a knob armed: how it ends.
TEST(BulkProtocolModel, KnobsEndInTransfersAsTheBusReportsThem) {
    struct Case {
        const char* name;
        EndpointFault fault;
        IOReturn status;
        uint32_t bytes; // transferred
    };
    const Case cases[] = {
        {"NAK past the time-out", {.nakMs = 60}, kIOReturnTimeout, 0},
        {"stall", {.stalls = 1}, kUSBHostReturnPipeStalled, 0},
        {"error", {.errors = 1, .errorStatus = kIOReturnNotResponding}, kIOReturnNotResponding, 0},
        {"short packet", {.shortPackets = 1, .shortBytes = 100}, kIOReturnSuccess, 100},
        {"NAK within the time-out", {.nakMs = 20}, kIOReturnSuccess, 20 * 512},
    };
    for (const Case& c : cases) {
        BulkRig rig({2, 2, false});
        ASSERT_NE(rig.in, nullptr);
        rig.model->armFault(BulkProtocolModel::kBulkIn, c.fault);
        Chain chain;
        chain.pipe = rig.in;
        chain.length = 20 * 512;
        chain.timeoutMs = 50;
        chain.stopped = true; // one transfer
        std::vector<std::pair<IOReturn, uint32_t>> ends;
        chain.onDone = [&](uint8_t*, uint32_t n, IOReturn status) { ends.emplace_back(status, n); };
        chain.start(1);
        rig.clock.runFor(100000000);
        std::lock_guard<std::mutex> g(chain.m);
        ASSERT_EQ(ends.size(), 1u) << c.name;
        EXPECT_EQ(ends[0].first, c.status) << c.name;
        EXPECT_EQ(ends[0].second, c.bytes) << c.name;
    }
}

TEST(BulkProtocolModel, DroppedInputFramesAreCountedAndBreakTheRampOnce) {
    BulkRig rig({2, 2, false});
    ASSERT_NE(rig.in, nullptr);
    RampFollower follow{2, 512};
    Chain chain;
    chain.pipe = rig.in;
    chain.length = 20 * 512;
    chain.timeoutMs = 50;
    chain.onDone = [&](uint8_t* b, uint32_t n, IOReturn) {
        for (uint32_t k = 0; k < n / 512; ++k)
            follow.packet(b + k * 512, 1);
    };
    chain.start(3);
    rig.clock.runFor(50000000);
    rig.model->dropInputFrames(5);
    rig.clock.runFor(50000000);
    chain.stopped = true;
    rig.in->abort(kAbortSynchronous, kIOReturnAborted);
    std::lock_guard<std::mutex> g(chain.m);
    EXPECT_EQ(rig.model->channelStreamStats().inFramesDropped, 5u);
    EXPECT_EQ(follow.breaks, 1u);
    EXPECT_EQ(follow.corrupt, 0u);
}

} // namespace
