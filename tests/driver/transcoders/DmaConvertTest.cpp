// The portable bit-sliced DMA converters against the wire-format model:
// every input bit alone (which pins each converter's permutation), random
// blocks, carry chains across calls, exact footprints behind guard pages and
// the null-pointer contract.
#include "driver/transcoders/DMAConvert.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "tests/driver/transcoders/WireFormatModel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

namespace wire = hx::test::wire;
using hx::test::GuardedBuffer;

enum class DecKind { BitSliced, Brava };

struct DecoderCase {
    const char* name;
    DMA_CONVERT_FNC fn;
    DecKind kind;
    unsigned channels;
    std::vector<uint32_t> model(const uint8_t* block) const {
        if (kind == DecKind::Brava) return wire::decodeBrava(channels, block);
        return wire::decodeBitSliced(wire::bitSlicedDecoder(channels), block);
    }
    uint64_t count() const {
        return kind == DecKind::Brava ? 128 : wire::bitSlicedDecoder(channels).samples();
    }
};

const std::vector<DecoderCase>& decoders() {
    static const std::vector<DecoderCase> all = {
        {"dmaDecode16To02At32Bit_C", dmaDecode16To02At32Bit_C, DecKind::BitSliced, 2},
        {"dmaDecode16To04At32Bit_C", dmaDecode16To04At32Bit_C, DecKind::BitSliced, 4},
        {"dmaDecode16To06At32Bit_C", dmaDecode16To06At32Bit_C, DecKind::BitSliced, 6},
        {"dmaDecode16To08At32Bit_C", dmaDecode16To08At32Bit_C, DecKind::BitSliced, 8},
        {"dmaDecode16To10At32Bit_C", dmaDecode16To10At32Bit_C, DecKind::BitSliced, 10},
        {"dmaDecode16To12At32Bit_C", dmaDecode16To12At32Bit_C, DecKind::BitSliced, 12},
        {"dmaDecode16To14At32Bit_C", dmaDecode16To14At32Bit_C, DecKind::BitSliced, 14},
        {"dmaDecode16To16At32Bit_C", dmaDecode16To16At32Bit_C, DecKind::BitSliced, 16},
        {"dmaDecode32To18At32Bit_C", dmaDecode32To18At32Bit_C, DecKind::BitSliced, 18},
        {"dmaDecode32To20At32Bit_C", dmaDecode32To20At32Bit_C, DecKind::BitSliced, 20},
        {"dmaDecode32To22At32Bit_C", dmaDecode32To22At32Bit_C, DecKind::BitSliced, 22},
        {"dmaDecode32To24At32Bit_C", dmaDecode32To24At32Bit_C, DecKind::BitSliced, 24},
        {"dmaDecode32To26At32Bit_C", dmaDecode32To26At32Bit_C, DecKind::BitSliced, 26},
        {"dmaDecode32To28At32Bit_C", dmaDecode32To28At32Bit_C, DecKind::BitSliced, 28},
        {"dmaDecode32To30At32Bit_C", dmaDecode32To30At32Bit_C, DecKind::BitSliced, 30},
        {"dmaDecode32To32At32Bit_C", dmaDecode32To32At32Bit_C, DecKind::BitSliced, 32},
        {"dmaDecode16To08At32Bit_Brava_C", dmaDecode16To08At32Bit_Brava_C, DecKind::Brava, 8},
        {"dmaDecode16To16At32Bit_Brava_C", dmaDecode16To16At32Bit_Brava_C, DecKind::Brava, 16},
        {"dmaDecode16To32At32Bit_Brava_C", dmaDecode16To32At32Bit_Brava_C, DecKind::Brava, 32},
        {"dmaDecode32To32At32Bit_NoPuzzle_C", dmaDecode32To32At32Bit_NoPuzzle_C, DecKind::Brava,
         32},
    };
    return all;
}

enum class EncKind { BitSliced, Brava };

struct EncoderCase {
    const char* name;
    DMA_CONVERT_FNC fn;
    EncKind kind;
    wire::EncoderFormat fmt; // for Brava: channels and frames only
    bool int964() const { return kind == EncKind::BitSliced && fmt.frames == 20; }
    std::size_t packetBytes() const { return kind == EncKind::Brava ? 480 : fmt.packetBytes(); }
    std::size_t pcmSamples() const { return std::size_t(fmt.channels) * fmt.frames; }
    uint64_t count() const { return pcmSamples() * 4; }
    bool skewed() const { return fmt.skewA >= 0; }
    // Null src: silence on the bulk path, nothing for interrupt and Brava.
    bool zeroFillsOnNullSrc() const { return kind == EncKind::BitSliced && !int964(); }
    int32_t model(const int32_t* pcm, int32_t carried, uint8_t* packet) const {
        if (kind == EncKind::Brava) {
            wire::encodeBrava(fmt.channels, pcm, packet);
            return carried;
        }
        return wire::encodeBitSliced(fmt, pcm, carried, packet);
    }
};

const std::vector<EncoderCase>& encoders() {
    static const std::vector<EncoderCase> all = {
        {"dmaEncode02_C", dmaEncode02_C, EncKind::BitSliced, wire::plainEncoder(2)},
        {"dmaEncode04_C", dmaEncode04_C, EncKind::BitSliced, wire::plainEncoder(4)},
        {"dmaEncode06_C", dmaEncode06_C, EncKind::BitSliced, wire::plainEncoder(6)},
        {"dmaEncode08_C", dmaEncode08_C, EncKind::BitSliced, wire::plainEncoder(8)},
        {"dmaEncode10_C", dmaEncode10_C, EncKind::BitSliced, wire::plainEncoder(10)},
        {"dmaEncode12_C", dmaEncode12_C, EncKind::BitSliced, wire::plainEncoder(12)},
        {"dmaEncode14_C", dmaEncode14_C, EncKind::BitSliced, wire::plainEncoder(14)},
        {"dmaEncode16_C", dmaEncode16_C, EncKind::BitSliced, wire::plainEncoder(16)},
        {"dmaEncode10_12_C", dmaEncode10_12_C, EncKind::BitSliced, wire::fifthLaneEncoder(8, 0)},
        {"dmaEncode10_34_C", dmaEncode10_34_C, EncKind::BitSliced, wire::fifthLaneEncoder(8, 2)},
        {"dmaEncode10_56_C", dmaEncode10_56_C, EncKind::BitSliced, wire::fifthLaneEncoder(8, 4)},
        {"dmaEncode10_78_C", dmaEncode10_78_C, EncKind::BitSliced, wire::fifthLaneEncoder(8, 6)},
        {"dmaEncode10_KX_C", dmaEncode10_KX_C, EncKind::BitSliced, wire::fifthLaneEncoder(10, 8)},
        {"dmaEncode06_Int964_C", dmaEncode06_Int964_C, EncKind::BitSliced,
         wire::int964Encoder(6, 3)},
        {"dmaEncode08_Int964_C", dmaEncode08_Int964_C, EncKind::BitSliced,
         wire::int964Encoder(8, 4)},
        {"dmaEncode16_Int964_C", dmaEncode16_Int964_C, EncKind::BitSliced,
         wire::int964Encoder(16, 8)},
        {"dmaEncode10_KX_Int964_C", dmaEncode10_KX_Int964_C, EncKind::BitSliced,
         wire::int964Encoder(10, 4, 8)},
        {"dmaEncode08_Brava_C", dmaEncode08_Brava_C, EncKind::Brava, {8, 20, 0}},
        {"dmaEncode16_Brava_C", dmaEncode16_Brava_C, EncKind::Brava, {16, 10, 0}},
        {"dmaEncode32_Brava_C", dmaEncode32_Brava_C, EncKind::Brava, {32, 5, 0}},
    };
    return all;
}

std::vector<uint32_t> run(const DecoderCase& dc, const uint8_t* block, uint64_t* result = nullptr) {
    std::vector<uint32_t> out(dc.count() + 8, 0xDEADBEEF);
    DMA_CONVERT_DATA d{};
    d.src = block;
    d.dst = out.data();
    const uint64_t r = dc.fn(&d);
    if (result) *result = r;
    return out;
}

std::vector<uint32_t> withTail(std::vector<uint32_t> v) {
    v.resize(v.size() + 8, 0xDEADBEEF);
    return v;
}

// ---- decoders -------------------------------------------------------------

TEST(DmaDecoders, EverySingleInputBitLandsWhereTheWireFormatModelSays) {
    for (const DecoderCase& dc : decoders()) {
        SCOPED_TRACE(dc.name);
        for (unsigned bitIndex = 0; bitIndex < 512 * 8; ++bitIndex) {
            uint8_t block[512] = {};
            block[bitIndex / 8] = uint8_t(1u << (bitIndex % 8));
            uint64_t result = 0;
            const auto got = run(dc, block, &result);
            ASSERT_EQ(result, dc.count());
            ASSERT_EQ(got, withTail(dc.model(block))) << "input bit " << bitIndex;
        }
    }
}

TEST(DmaDecoders, RandomBlocksMatchTheModel) {
    std::mt19937 rng(1234);
    for (const DecoderCase& dc : decoders()) {
        SCOPED_TRACE(dc.name);
        for (int round = 0; round < 64; ++round) {
            uint8_t block[512];
            for (auto& b : block)
                b = uint8_t(rng());
            ASSERT_EQ(run(dc, block), withTail(dc.model(block)));
        }
    }
}

TEST(DmaDecoders, WriteExactlyTheirOutputBlockAndReadOnlyTheInputBlock) {
    std::mt19937 rng(99);
    for (const DecoderCase& dc : decoders()) {
        SCOPED_TRACE(dc.name);
        const std::size_t outBytes = dc.count() * 4;
        GuardedBuffer in(512);
        GuardedBuffer out(outBytes);
        for (std::size_t i = 0; i < 512; ++i)
            in.data()[i] = uint8_t(rng());
        DMA_CONVERT_DATA d{};
        d.src = in.data();
        d.dst = out.data();
        EXPECT_EQ(dc.fn(&d), dc.count());
        const auto expected = dc.model(in.data());
        EXPECT_EQ(std::memcmp(out.data(), expected.data(), outBytes), 0);
    }
    // The 18-channel decoder's block is 288 bytes; nothing after it moves.
    uint8_t block[512];
    std::memset(block, 0xFF, sizeof block);
    uint8_t out[512];
    std::memset(out, 0x5A, sizeof out);
    DMA_CONVERT_DATA d{};
    d.src = block;
    d.dst = out;
    dmaDecode32To18At32Bit_C(&d);
    for (std::size_t i = 288; i < sizeof out; ++i)
        ASSERT_EQ(out[i], 0x5A) << "byte " << i;
}

TEST(DmaDecoders, NullRecordSourceOrDestinationReturnsTheCountAndWritesNothing) {
    for (const DecoderCase& dc : decoders()) {
        SCOPED_TRACE(dc.name);
        uint8_t block[512];
        std::memset(block, 0xFF, sizeof block);
        std::vector<uint32_t> out(128, 0x11111111);
        EXPECT_EQ(dc.fn(nullptr), dc.count());
        DMA_CONVERT_DATA d{};
        d.src = nullptr;
        d.dst = out.data();
        EXPECT_EQ(dc.fn(&d), dc.count());
        d.src = block;
        d.dst = nullptr;
        EXPECT_EQ(dc.fn(&d), dc.count());
        EXPECT_EQ(out, std::vector<uint32_t>(128, 0x11111111));
    }
}

TEST(DmaDecoders, DocumentedExamples) {
    struct Example {
        DMA_CONVERT_FNC fn;
        std::vector<std::pair<std::size_t, uint8_t>> bytes;
        std::size_t sample;
        uint32_t value;
    };
    const Example examples[] = {
        {dmaDecode16To02At32Bit_C, {{0, 0x01}}, 0, 0x80000000},
        {dmaDecode16To02At32Bit_C, {{23, 0x01}}, 0, 0x00000100},
        {dmaDecode16To02At32Bit_C, {{32, 0x01}}, 1, 0x80000000},
        {dmaDecode16To16At32Bit_C, {{0, 0x80}, {55, 0x80}}, 14, 0x80000000},
        {dmaDecode16To16At32Bit_C, {{0, 0x80}, {55, 0x80}}, 15, 0x00000100},
        {dmaDecode16To16At32Bit_C, {{65, 0x04}}, 20, 0x40000000},
        {dmaDecode32To32At32Bit_C, {{1, 0x01}}, 16, 0x80000000},
        {dmaDecode32To32At32Bit_C, {{1, 0x80}}, 30, 0x80000000},
        {dmaDecode32To32At32Bit_C, {{0, 0x01}}, 0, 0x80000000},
    };
    for (const Example& e : examples) {
        uint8_t block[512] = {};
        for (auto [at, v] : e.bytes)
            block[at] = v;
        uint32_t out[128] = {};
        DMA_CONVERT_DATA d{};
        d.src = block;
        d.dst = out;
        e.fn(&d);
        EXPECT_EQ(out[e.sample], e.value);
    }

    // Units 0..23 all set: 0xFFFFFF00. Unused units and lanes: zero.
    uint8_t block[512] = {};
    uint32_t out[128];
    DMA_CONVERT_DATA d{};
    d.src = block;
    d.dst = out;
    std::memset(block, 0x01, 24);
    dmaDecode16To02At32Bit_C(&d);
    EXPECT_EQ(out[0], 0xFFFFFF00u);
    std::memset(block, 0xFE, sizeof block);
    dmaDecode16To02At32Bit_C(&d);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out[i], 0u);
    for (std::size_t i = 0; i < 512; i += 2)
        block[i] = 0, block[i + 1] = 0x01;
    dmaDecode32To18At32Bit_C(&d);
    for (unsigned f = 0; f < 4; ++f)
        for (unsigned c = 0; c < 18; ++c)
            EXPECT_EQ(out[f * 18 + c], c >= 16 ? 0xFFFFFF00u : 0u);
    for (std::size_t i = 0; i < 512; i += 2)
        block[i + 1] = 0xFE;
    dmaDecode32To18At32Bit_C(&d);
    for (unsigned i = 0; i < 72; ++i)
        EXPECT_EQ(out[i], 0u);

    std::memset(block, 0, sizeof block);
    const uint32_t word = 0x12345678;
    std::memcpy(block + 4, &word, 4);
    dmaDecode16To08At32Bit_Brava_C(&d);
    EXPECT_EQ(out[8], word);
    dmaDecode16To16At32Bit_Brava_C(&d);
    EXPECT_EQ(out[16], word);
}

// ---- encoders -------------------------------------------------------------

constexpr uint8_t kPacketFill = 0xA5;

struct EncodeResult {
    uint64_t result;
    int32_t carried;
    std::vector<uint8_t> packet;
};

EncodeResult encodeWith(const EncoderCase& ec, const int32_t* pcm, int32_t carried) {
    EncodeResult r{0, carried, std::vector<uint8_t>(1024, kPacketFill)};
    DMA_CONVERT_DATA d{};
    d.src = pcm;
    d.dst = r.packet.data();
    d.carry = &r.carried;
    r.result = ec.fn(&d);
    return r;
}

EncodeResult modelWith(const EncoderCase& ec, const int32_t* pcm, int32_t carried) {
    EncodeResult r{ec.count(), carried, std::vector<uint8_t>(1024, kPacketFill)};
    r.carried = ec.model(pcm, carried, r.packet.data());
    return r;
}

void expectSame(const EncodeResult& got, const EncodeResult& want) {
    ASSERT_EQ(got.result, want.result);
    ASSERT_EQ(got.carried, want.carried);
    for (std::size_t i = 0; i < got.packet.size(); ++i)
        ASSERT_EQ(got.packet[i], want.packet[i]) << "packet byte " << i;
}

TEST(DmaEncoders, EverySingleInputBitLandsWhereTheWireFormatModelSays) {
    for (const EncoderCase& ec : encoders()) {
        SCOPED_TRACE(ec.name);
        std::vector<int32_t> pcm(ec.pcmSamples(), 0);
        for (std::size_t s = 0; s < pcm.size(); ++s)
            for (unsigned bit = 0; bit < 32; ++bit) {
                pcm[s] = int32_t(1u << bit);
                SCOPED_TRACE("sample " + std::to_string(s) + " bit " + std::to_string(bit));
                expectSame(encodeWith(ec, pcm.data(), 0), modelWith(ec, pcm.data(), 0));
                if (testing::Test::HasFatalFailure()) return;
                pcm[s] = 0;
            }
        for (unsigned bit = 0; bit < 32; ++bit) {
            const int32_t carried = int32_t(1u << bit);
            SCOPED_TRACE("carried bit " + std::to_string(bit));
            expectSame(encodeWith(ec, pcm.data(), carried), modelWith(ec, pcm.data(), carried));
            if (testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(DmaEncoders, RandomBlocksMatchTheModel) {
    std::mt19937 rng(777);
    for (const EncoderCase& ec : encoders()) {
        SCOPED_TRACE(ec.name);
        std::vector<int32_t> pcm(ec.pcmSamples());
        for (int round = 0; round < 64; ++round) {
            for (auto& s : pcm)
                s = int32_t(rng());
            const int32_t carried = int32_t(rng());
            expectSame(encodeWith(ec, pcm.data(), carried), modelWith(ec, pcm.data(), carried));
            if (testing::Test::HasFatalFailure()) return;
        }
    }
}

// Across calls lane 4 must carry a, b, a, b ... in time order, half a frame
// late: one long stream encoded call by call equals the model run over the
// whole stream at once.
TEST(DmaEncoders, FifthLaneCarryChainsAcrossCalls) {
    std::mt19937 rng(4242);
    for (const EncoderCase& ec : encoders()) {
        if (!ec.skewed()) continue;
        SCOPED_TRACE(ec.name);
        constexpr unsigned kCalls = 5;
        std::vector<int32_t> stream(ec.pcmSamples() * kCalls);
        for (auto& s : stream)
            s = int32_t(rng());

        // The stream model encodes frame by frame, starting as the engine
        // does with a carried word of 0.
        const std::size_t frames = std::size_t(ec.fmt.frames) * kCalls;
        std::vector<uint8_t> wholeWire(frames * 48);
        const wire::EncoderFormat oneFrame{ec.fmt.channels, 1, ec.fmt.pairLanes, ec.fmt.skewA};
        int32_t lastCarry = 0;
        for (std::size_t f = 0; f < frames; ++f)
            lastCarry = wire::encodeBitSliced(oneFrame, stream.data() + f * ec.fmt.channels,
                                              lastCarry, wholeWire.data() + 48 * f);

        int32_t carried = 0;
        std::vector<uint8_t> packet(1024);
        for (unsigned call = 0; call < kCalls; ++call) {
            DMA_CONVERT_DATA d{};
            d.src = stream.data() + std::size_t(call) * ec.pcmSamples();
            d.dst = packet.data();
            d.carry = &carried;
            ASSERT_EQ(ec.fn(&d), ec.count());
            for (unsigned f = 0; f < ec.fmt.frames; ++f) {
                const std::size_t at = wire::encoderFrameStart(ec.fmt, f);
                const std::size_t g = std::size_t(call) * ec.fmt.frames + f;
                ASSERT_EQ(std::memcmp(packet.data() + at, wholeWire.data() + 48 * g, 48), 0)
                    << "call " << call << " frame " << f;
            }
        }
        EXPECT_EQ(carried, lastCarry);
    }
}

TEST(DmaEncoders, WriteExactlyTheirFootprintAndReadOnlyTheirBlock) {
    std::mt19937 rng(5);
    for (const EncoderCase& ec : encoders()) {
        SCOPED_TRACE(ec.name);
        GuardedBuffer in(ec.count());
        for (std::size_t i = 0; i < ec.count(); ++i)
            in.data()[i] = uint8_t(rng());
        GuardedBuffer out(ec.packetBytes());
        std::memset(out.data(), kPacketFill, ec.packetBytes());
        int32_t carried = 0x01234567;
        DMA_CONVERT_DATA d{};
        d.src = in.data();
        d.dst = out.data();
        d.carry = &carried;
        EXPECT_EQ(ec.fn(&d), ec.count());
        std::vector<uint8_t> want(ec.packetBytes(), kPacketFill);
        ec.model(in.as<int32_t>(), 0x01234567, want.data());
        EXPECT_EQ(std::memcmp(out.data(), want.data(), want.size()), 0);
        if (ec.int964()) {
            for (std::size_t gap : {432, 433, 914, 915})
                EXPECT_EQ(out.data()[gap], kPacketFill) << "gap byte " << gap;
        }
    }
}

TEST(DmaEncoders, NullPointersFollowTheContract) {
    for (const EncoderCase& ec : encoders()) {
        SCOPED_TRACE(ec.name);
        EXPECT_EQ(ec.fn(nullptr), ec.count());

        std::vector<int32_t> pcm(ec.pcmSamples(), int32_t(0x7FFFFF00));
        int32_t carried = 0x5500AA00;
        DMA_CONVERT_DATA d{};
        d.src = pcm.data();
        d.dst = nullptr;
        d.carry = &carried;
        EXPECT_EQ(ec.fn(&d), ec.count());
        EXPECT_EQ(carried, 0x5500AA00);

        std::vector<uint8_t> packet(1024, kPacketFill);
        d.src = nullptr;
        d.dst = packet.data();
        EXPECT_EQ(ec.fn(&d), ec.count());
        EXPECT_EQ(carried, 0x5500AA00);
        for (std::size_t i = 0; i < packet.size(); ++i) {
            const bool zero = ec.zeroFillsOnNullSrc() && i < 480;
            ASSERT_EQ(packet[i], zero ? 0 : kPacketFill) << "byte " << i;
        }
    }
}

TEST(DmaEncoders, DocumentedExamples) {
    int32_t pcm[320] = {};
    std::vector<uint8_t> w(1024, 0);
    int32_t carried = 0;
    DMA_CONVERT_DATA d{};
    d.src = pcm;
    d.dst = w.data();
    d.carry = &carried;
    auto reset = [&] {
        std::memset(pcm, 0, sizeof pcm);
        std::fill(w.begin(), w.end(), 0xEE);
        carried = 0;
    };
    auto onlyNonZero = [&](std::size_t n, std::vector<std::pair<std::size_t, uint8_t>> want) {
        for (std::size_t i = 0; i < n; ++i) {
            uint8_t expected = 0;
            for (auto [at, v] : want)
                if (at == i) expected = v;
            ASSERT_EQ(w[i], expected) << "byte " << i;
        }
    };

    reset();
    pcm[0] = int32_t(0x80000000);
    EXPECT_EQ(dmaEncode02_C(&d), 80u);
    onlyNonZero(480, {{0, 0x01}});
    reset();
    pcm[1] = 0x00000100;
    dmaEncode02_C(&d);
    onlyNonZero(480, {{47, 0x01}});
    reset();
    pcm[0] = 0xFF;
    pcm[1] = 0x7F;
    dmaEncode02_C(&d);
    onlyNonZero(480, {});

    reset();
    pcm[15] = int32_t(0x80000000);
    pcm[16 + 2] = 0x40000000;
    EXPECT_EQ(dmaEncode16_C(&d), 640u);
    onlyNonZero(480, {{24, 0x80}, {49, 0x02}});

    reset();
    carried = int32_t(0x80000000);
    EXPECT_EQ(dmaEncode10_12_C(&d), 320u);
    onlyNonZero(480, {{0, 0x10}});
    EXPECT_EQ(carried, 0);
    reset();
    pcm[0] = int32_t(0x80000000);
    dmaEncode10_12_C(&d);
    onlyNonZero(480, {{0, 0x01}, {24, 0x10}});
    reset();
    pcm[9 * 8 + 1] = 0x12345678;
    dmaEncode10_12_C(&d);
    EXPECT_EQ(carried, 0x12345678);

    reset();
    pcm[8] = int32_t(0x80000000);
    pcm[9] = 0x00000100;
    EXPECT_EQ(dmaEncode10_KX_C(&d), 400u);
    onlyNonZero(480, {{24, 0x10}, {71, 0x10}});

    reset();
    pcm[9 * 6] = int32_t(0x80000000);
    EXPECT_EQ(dmaEncode06_Int964_C(&d), 480u);
    EXPECT_EQ(w[434], 0x01);
    for (std::size_t gap : {432, 433, 914, 915})
        EXPECT_EQ(w[gap], 0xEE);
    for (std::size_t i = 964; i < w.size(); ++i)
        ASSERT_EQ(w[i], 0xEE);

    reset();
    pcm[0] = 0x12345678;
    pcm[8] = int32_t(0x80000000);
    pcm[159] = 0x7FFFFF00;
    EXPECT_EQ(dmaEncode08_Brava_C(&d), 640u);
    const uint8_t head[] = {0x56, 0x34, 0x12, 0x00, 0x00, 0x80};
    EXPECT_EQ(std::memcmp(w.data(), head, sizeof head), 0);
    EXPECT_EQ(w[477], 0xFF);
    EXPECT_EQ(w[478], 0xFF);
    EXPECT_EQ(w[479], 0x7F);
    EXPECT_EQ(w[480], 0xEE);
}

} // namespace
