// The plain interrupt, Farlane-2 and feedback device models alone on the
// bus: descriptors against a table, request answers, packets moved by the
// test's own transfer driver, and their knobs.
#include "platform/usb/devices/FeedbackModel.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/usb/devices/InterruptPcmModel.h"
#include "platform/usb/devices/RequestTypes.h"
#include "tests/platform/usb/IsochDone.h"
#include "tests/platform/usb/ModelRig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace {

using namespace hx::usb;
using namespace hx::usb::devices;
using usbtest::Chain;
using usbtest::ModelRig;

struct EndpointRow {
    uint8_t interface, alternate, address, attributes;
    uint16_t maxPacket;
    uint8_t interval;
    bool operator==(const EndpointRow&) const = default;
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

uint32_t le32(const uint8_t* p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
uint32_t be32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Follows the ramp through frames of 24-bit samples.
struct Follower {
    explicit Follower(uint32_t c) : channels(c) {}
    uint32_t channels;
    uint64_t frames = 0, breaks = 0, corrupt = 0;
    std::optional<uint32_t> next;
    void frame(const uint32_t* s) {
        ++frames;
        const auto counter = ChannelRamp::counter(s, channels);
        if (!counter) {
            ++corrupt;
            return;
        }
        if (next && *counter != *next) ++breaks;
        next = (*counter + 1) & ChannelRamp::kMask;
    }
};

// ---- plain interrupt device

HX5100Identity mrw30() {
    return {0x1D5A, 0x0030, 0x0100, "Korvex", "MRW30", ""};
}

TEST(InterruptPcmModel, AlternatesCarryPacketsSizedByChannelCount) {
    InterruptPcmModel model(mrw30(), {{2, 4, 8}, 16});
    const std::vector<EndpointRow> expected = {
        {1, 1, 0x01, 0x03, 128, 1}, {1, 2, 0x01, 0x03, 256, 1}, {1, 3, 0x01, 0x03, 512, 1},
        {2, 1, 0x82, 0x03, 128, 1}, {2, 2, 0x82, 0x03, 256, 1}, {2, 3, 0x82, 0x03, 512, 1}};
    const auto config = model.configurationDescriptor(0);
    EXPECT_EQ(config[4], 4);
    EXPECT_EQ(endpoints(config), expected);
}

// Streams both ways on one alternate for `ms`: the ramp out, the ramp back.
void streamPlain(ModelRig& rig, InterruptPcmModel& model, uint8_t alt, uint32_t channels,
                 uint64_t ms) {
    IOUSBHostPipe* in = rig.pipe(2, InterruptPcmModel::kIn);
    IOUSBHostPipe* out = rig.pipe(1, InterruptPcmModel::kOut);
    ASSERT_TRUE(in && out) << int(alt);
    const uint32_t packet = 16 * channels * 4;
    Follower back{channels};
    Chain inChain;
    inChain.pipe = in;
    inChain.length = 128 * packet;
    inChain.onDone = [&](uint8_t* b, uint32_t n, IOReturn) {
        EXPECT_EQ(n % (channels * 4), 0u);
        std::vector<uint32_t> s(channels);
        for (uint32_t f = 0; f < n / (channels * 4); ++f) {
            for (uint32_t c = 0; c < channels; ++c)
                s[c] = le32(b + (f * channels + c) * 4) >> 8;
            back.frame(s.data());
        }
    };
    uint64_t next = 0;
    Chain outChain;
    outChain.pipe = out;
    outChain.length = 64 * packet;
    outChain.fill = [&](uint8_t* b) {
        for (uint32_t i = 0; i < 64 * 16; ++i, ++next)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t w = ChannelRamp::sample(next, c) << 8;
                std::memcpy(b + (i * channels + c) * 4, &w, 4);
            }
    };
    inChain.start(2);
    outChain.start(2);
    rig.clock.runFor(ms * 1000000);
    inChain.stopped = outChain.stopped = true;
    in->abort(kAbortSynchronous, kIOReturnAborted);
    out->abort(kAbortSynchronous, kIOReturnAborted);
    std::lock_guard<std::mutex> g(inChain.m);
    EXPECT_GE(back.frames + 48 * 3 + 16, 48 * ms) << int(alt);
    EXPECT_EQ(back.breaks, 0u);
    EXPECT_EQ(back.corrupt, 0u);
    const ChannelStreamStats s = model.channelStreamStats();
    EXPECT_GT(s.rampFrames, 48 * (ms - 5));
    EXPECT_EQ(s.discontinuities, 0u);
    EXPECT_EQ(s.corruptFrames, 0u);
    EXPECT_EQ(s.fifoUnderrunFrames, 0u);
    EXPECT_EQ(model.stats().outBadPackets, 0u);
}

TEST(InterruptPcmModel, StreamsWholeFramesBothWaysAndFollowsAnotherAlternate) {
    auto model = std::make_shared<InterruptPcmModel>(mrw30());
    ModelRig rig(model, {{1, 2}, {2, 2}});
    std::vector<uint8_t> three{0x80, 0xBB, 0x00}; // 48,000
    StandardUSB::DeviceRequest set{requests::kClassEndpointOut, requests::kSetCur,
                                   requests::kSamplingFrequencyControl, 0x82, 3};
    ASSERT_EQ(model->control(set, three.data()).status, kIOReturnSuccess);
    streamPlain(rig, *model, 2, 4, 100);
    ASSERT_EQ(rig.interfaces[1]->selectAlternateSetting(1), kIOReturnSuccess);
    ASSERT_EQ(rig.interfaces[2]->selectAlternateSetting(1), kIOReturnSuccess);
    model->configureChannels({});
    streamPlain(rig, *model, 1, 2, 100);
}

// ---- Farlane-2

std::shared_ptr<Farlane2Model> farlane2(uint32_t ins, uint32_t outs) {
    return std::make_shared<Farlane2Model>(HX5100Identity{0x1935, 10, 0x0100, "Sorvik", "F2", ""},
                                           std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}, "F2",
                                           ins, outs);
}

TEST(Farlane2Model, InterfacesAndRequestsOfTheSecondGeneration) {
    struct Case {
        uint32_t ins, outs;
    };
    for (const Case c : {Case{4, 4}, Case{12, 2}, Case{8, 6}}) {
        auto model = farlane2(c.ins, c.outs);
        const auto config = model->configurationDescriptor(0);
        EXPECT_EQ(config[4], 5);
        const std::vector<EndpointRow> expected = {
            {1, 1, 0x81, 0x03, (uint16_t)(32 + 28 * c.ins), 1},
            {2, 1, 0x02, 0x03, (uint16_t)(32 + 28 * c.outs), 1},
            {3, 0, 0x83, 0x03, 64, 4},
            {3, 0, 0x03, 0x02, 512, 0},
            {4, 0, 0x04, 0x02, 512, 0},
            {4, 0, 0x84, 0x02, 512, 0}};
        EXPECT_EQ(endpoints(config), expected);
        struct Req {
            uint8_t request;
            uint16_t index;
            int answer; // -1: stall
        };
        const Req reqs[] = {
            {17, 1, (int)c.ins}, {17, 2, (int)c.outs}, {18, 1, 1}, {18, 2, 1}, {17, 3, -1}};
        for (const Req r : reqs) {
            uint8_t byte = 0xAA;
            StandardUSB::DeviceRequest s{0xC1, r.request, 0, r.index, 1};
            const ControlResult res = model->control(s, &byte);
            if (r.answer < 0) {
                EXPECT_EQ(res.status, kUSBHostReturnPipeStalled);
                continue;
            }
            ASSERT_EQ(res.status, kIOReturnSuccess);
            EXPECT_EQ(byte, r.answer) << int(r.request) << "/" << r.index;
        }
    }
}

TEST(Farlane2Model, InPacketsCarryHeadersAndBigEndianFramesOutHeadersAreChecked) {
    auto model = farlane2(4, 4);
    ModelRig rig(model, {{1, 1}, {2, 1}});
    IOUSBHostPipe* in = rig.pipe(1, Farlane2Model::kIn);
    IOUSBHostPipe* out = rig.pipe(2, Farlane2Model::kOut);
    ASSERT_TRUE(in && out);
    const uint32_t packet = 32 + 28 * 4;
    Follower back{4};
    uint16_t counter = 0;
    uint64_t badHeaders = 0, sixes = 0;
    Chain inChain;
    inChain.pipe = in;
    inChain.length = 128 * packet;
    inChain.onDone = [&](uint8_t* b, uint32_t n, IOReturn) {
        for (uint32_t k = 0; k < n / packet; ++k) {
            const uint8_t* p = b + k * packet;
            counter = (uint16_t)(counter + 7);
            if (p[0] == 6) ++sixes;
            if ((p[0] != 7 && p[0] != 6) || p[1] != 0xFF || (p[2] << 8 | p[3]) != counter)
                ++badHeaders;
            std::vector<uint32_t> s(4);
            for (uint32_t f = 0; f < 7; ++f) {
                for (uint32_t c = 0; c < 4; ++c)
                    s[c] = be32(p + 32 + (f * 4 + c) * 4) >> 8;
                back.frame(s.data());
            }
        }
    };
    // Out: right headers, extra bytes on every 10th packet, and three
    // wrong ones (frames, index, counter) in packets 20, 21 and 22.
    uint64_t frame = 0, packets = 0;
    uint16_t outCounter = 0;
    Chain outChain;
    outChain.pipe = out;
    outChain.length = 64 * packet;
    outChain.fill = [&](uint8_t* b) {
        for (uint32_t k = 0; k < 64; ++k, ++packets) {
            uint8_t* p = b + k * packet;
            std::memset(p, 0, 32);
            outCounter = (uint16_t)(outCounter + 7);
            p[0] = packets == 20 ? 6 : 7;
            p[1] = 0xFF;
            p[2] = (uint8_t)(outCounter >> 8);
            p[3] = (uint8_t)(packets == 22 ? outCounter + 1 : outCounter);
            if (packets == 22) outCounter = (uint16_t)(outCounter + 1);
            if (packets % 10 == 5) {
                p[4 + 3] = 0x42;
                p[1] = packets == 25 ? 2 : 3; // packet 25: a wrong index
            }
            for (uint32_t f = 0; f < 7; ++f, ++frame)
                for (uint32_t c = 0; c < 4; ++c) {
                    const uint32_t w = ChannelRamp::sample(frame, c) << 8;
                    uint8_t* q = p + 32 + (f * 4 + c) * 4;
                    q[0] = (uint8_t)(w >> 24), q[1] = (uint8_t)(w >> 16), q[2] = (uint8_t)(w >> 8),
                    q[3] = (uint8_t)w;
                }
        }
    };
    model->sendSixFramePackets(2);
    inChain.start(2);
    outChain.start(2);
    rig.clock.runFor(100000000);
    inChain.stopped = outChain.stopped = true;
    in->abort(kAbortSynchronous, kIOReturnAborted);
    out->abort(kAbortSynchronous, kIOReturnAborted);
    std::lock_guard<std::mutex> g(inChain.m);
    EXPECT_GE(back.frames + 48 * 3 + 7, 4800u);
    EXPECT_EQ(back.breaks, 0u);
    EXPECT_EQ(back.corrupt, 0u);
    EXPECT_EQ(badHeaders, 0u);
    EXPECT_EQ(sixes, 2u);
    const Farlane2Stats st = model->stats();
    EXPECT_GT(st.out.packets, 600u);
    EXPECT_EQ(st.out.badFrames, 1u);
    EXPECT_EQ(st.out.badCounter, 1u);
    EXPECT_EQ(st.out.badIndex, 1u);
    EXPECT_EQ(st.out.badSize, 0u);
    const auto extra = model->extraBytes();
    ASSERT_EQ(extra.size(), st.out.extraPackets);
    ASSERT_FALSE(extra.empty());
    EXPECT_EQ(extra[0][3], 0x42);
    const ChannelStreamStats s = model->channelStreamStats();
    EXPECT_GT(s.rampFrames, 4000u);
    EXPECT_EQ(s.discontinuities, 0u);
    EXPECT_EQ(s.corruptFrames, 0u);
}

TEST(Farlane2Model, TheVendorInterfaceEchoesItsOutPackets) {
    auto model = farlane2(4, 4);
    ModelRig rig(model, {});
    IOUSBHostPipe* out = rig.pipe(4, VendorEcho::kOut);
    IOUSBHostPipe* in = rig.pipe(4, VendorEcho::kIn);
    ASSERT_TRUE(in && out);
    std::vector<uint8_t> got;
    Chain inChain;
    inChain.pipe = in;
    inChain.length = 8192;
    inChain.onDone = [&](uint8_t* b, uint32_t n, IOReturn) { got.insert(got.end(), b, b + n); };
    Chain outChain;
    outChain.pipe = out;
    outChain.length = 700; // a full packet and a short one
    outChain.stopped = true;
    outChain.fill = [](uint8_t* b) {
        for (uint32_t i = 0; i < 700; ++i)
            b[i] = (uint8_t)(i * 7 + 1);
    };
    inChain.start(1);
    outChain.start(1);
    rig.clock.runFor(20000000);
    inChain.stopped = true;
    in->abort(kAbortSynchronous, kIOReturnAborted);
    std::lock_guard<std::mutex> g(inChain.m);
    ASSERT_EQ(got.size(), 700u);
    for (uint32_t i = 0; i < 700; ++i)
        ASSERT_EQ(got[i], (uint8_t)(i * 7 + 1));
    EXPECT_EQ(model->echoBytes(), 700u);
}

// ---- feedback device

TEST(FeedbackModel, FeedbackPacketsCountTheFramesConsumedPerInterval) {
    struct Case {
        uint8_t interval;
        uint32_t rate;
        uint32_t perPacketUnits;
    };
    for (const Case c :
         {Case{1, 48000, 1}, Case{4, 48000, 8}, Case{1, 44100, 1}, Case{4, 96000, 8}}) {
        auto model = std::make_shared<FeedbackModel>(
            HX5100Identity{0x1D5B, 0x0B10, 0x0100, "Q", "F", ""}, FeedbackLayout{2, 2, c.interval});
        const auto rows = endpoints(model->configurationDescriptor(0));
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2], (EndpointRow{1, 1, 0x83, 0x11, 32, c.interval}));
        EXPECT_EQ(rows[1], (EndpointRow{1, 1, 0x86, 0x02, 512, 0}));
        ModelRig rig(model, {{0, 1}, {1, 1}});
        std::vector<uint8_t> three{(uint8_t)c.rate, (uint8_t)(c.rate >> 8),
                                   (uint8_t)(c.rate >> 16)};
        StandardUSB::DeviceRequest set{requests::kClassEndpointOut, requests::kSetCur,
                                       requests::kSamplingFrequencyControl, 0x86, 3};
        ASSERT_EQ(model->control(set, three.data()).status, kIOReturnSuccess);
        model->sendShortFeedback(1);
        IOUSBHostPipe* fb = rig.pipe(1, FeedbackModel::kFeedback);
        ASSERT_NE(fb, nullptr);
        const uint32_t packets = c.interval == 1 ? 400 : 50; // 50 ms
        std::vector<IOUSBHostIsochronousFrame> list(packets);
        for (auto& f : list)
            f.requestCount = 32;
        auto* md = IOBufferMemoryDescriptor::withCapacity(32 * packets, kIODirectionInOut);
        usbtest::Done done;
        IOUSBHostIsochronousCompletion completion{&done, &usbtest::Done::action, nullptr};
        const uint64_t first = fb->getFrameNumber() + 3;
        // The output clock starts with the first feedback slot.
        ASSERT_EQ(fb->io(md, list.data(), packets, first, &completion), kIOReturnSuccess);
        rig.clock.runFor(60000000);
        ASSERT_EQ(done.callsSoFar(), 1);
        uint64_t sum = 0;
        const auto* bytes = static_cast<const uint8_t*>(md->kernelAddress());
        uint32_t offset = 0, shortOnes = 0;
        for (uint32_t k = 0; k < packets; ++k) {
            if (list[k].completeCount == 2) ++shortOnes;
            if (list[k].completeCount == 3) sum += bytes[offset];
            offset += list[k].requestCount;
        }
        EXPECT_EQ(shortOnes, 1u);
        // 50 ms of frames, less the short packet's period and the first one.
        const uint64_t nominal = (uint64_t)c.rate * 50 / 1000;
        const uint64_t perPacket = (uint64_t)c.rate * c.perPacketUnits / 8000 + 1;
        EXPECT_LE(sum, nominal);
        EXPECT_GE(sum + 2 * perPacket, nominal) << int(c.interval) << " " << c.rate;
        md->release();
    }
}

} // namespace

namespace {

// ---- the shared n-channel stream

TEST(ChannelStream, LoopbackReturnsOutputChannelModuloItsCountAFixedDelayLater) {
    ChannelStream s;
    ChannelStreamConfig cfg;
    cfg.source = HX5100Source::Loopback;
    cfg.loopbackDelayFrames = 10;
    cfg.fifoCapacityFrames = 64;
    s.configure(cfg);
    s.setChannels(4, 2);
    // 48 kHz: 6 frames a microframe. Keep the FIFO fed with the ramp.
    uint64_t queued = 0, unit = 1000;
    std::vector<uint32_t> in;
    for (int step = 0; step < 800; ++step, ++unit) {
        s.advance(48000, unit);
        while (s.fifoRoom() >= 8) {
            std::vector<uint32_t> out(8 * 2);
            for (uint32_t f = 0; f < 8; ++f, ++queued)
                for (uint32_t c = 0; c < 2; ++c)
                    out[f * 2 + c] = ChannelRamp::sample(queued, c);
            s.queuePlayback(out.data(), 8);
        }
        const uint32_t n = (uint32_t)s.captureAvailable();
        std::vector<uint32_t> got(size_t(n) * 4);
        s.takeCapture(n, got.data());
        in.insert(in.end(), got.begin(), got.end());
    }
    const ChannelStreamStats st = s.stats();
    EXPECT_EQ(st.fifoUnderrunFrames, 0u);
    EXPECT_EQ(st.discontinuities, 0u);
    EXPECT_EQ(st.inFramesSent, in.size() / 4);
    // Device frame j played ramp frame j (the FIFO started with the first
    // packet); input frame j carries it from frame j - 10.
    size_t checked = 0;
    for (size_t j = 10; j < in.size() / 4; ++j, ++checked)
        for (uint32_t c = 0; c < 4; ++c)
            ASSERT_EQ(in[j * 4 + c], ChannelRamp::sample(j - 10, c % 2)) << j << "/" << c;
    EXPECT_GT(checked, 4000u);
    for (uint32_t c = 0; c < 4 * 10; ++c)
        EXPECT_EQ(in[c], 0u); // before the delay: silence
}

TEST(ChannelStream, CaptureOverflowAndDroppedFramesAreCounted) {
    ChannelStream s;
    ChannelStreamConfig cfg;
    cfg.captureCapacityFrames = 100;
    s.configure(cfg);
    s.setChannels(2, 2);
    s.advance(48000, 8);
    s.advance(48000, 8 + 8 * 10); // 10 ms, 480 frames, nobody reading
    EXPECT_EQ(s.captureAvailable(), 100u);
    EXPECT_EQ(s.stats().inFramesLost, 380u);
    std::vector<uint32_t> got(200);
    s.takeCapture(100, got.data());
    s.dropCapture(5);
    s.advance(48000, 8 + 8 * 11); // 48 more
    EXPECT_EQ(s.stats().inFramesDropped, 5u);
    EXPECT_EQ(s.captureAvailable(), 43u);
    // The ramp skips the dropped frames.
    std::vector<uint32_t> next(2);
    s.takeCapture(1, next.data());
    EXPECT_EQ(ChannelRamp::counter(next.data(), 2), std::optional<uint32_t>(480 + 5));
}

} // namespace
