// PCM unpackers and packers: every layout in both directions against a
// byte-map model, the byte-count error line, whole-unit footprints behind
// guard pages, null buffers and the placeholders' one-time line.
#include "driver/transcoders/PCMConverters.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using hx::test::GuardedBuffer;

// Which byte of the ring word (0 = bits 7..0, 3 = bits 31..24) each wire
// byte of a slot carries.
struct SlotMap {
    std::vector<unsigned> ringByte;
    unsigned size() const { return unsigned(ringByte.size()); }
};
const SlotMap k16LE{{2, 3}}, k16BE{{3, 2}}, k24LE{{1, 2, 3}}, kKestrel{{3, 1, 2}}, k24BE{{3, 2, 1}},
    k32LE{{0, 1, 2, 3}}, k32BE{{3, 2, 1, 0}};

// order: unpackers, ring sample i comes from wire slot order[i]; packers,
// wire slot j carries ring sample order[j].
struct PcmCase {
    const char* name;
    USB_DEC_FNC from;
    USB_ENC_FNC to;
    SlotMap slot;
    std::vector<unsigned> order;
    unsigned unitBytes() const { return slot.size() * unsigned(order.size()); }
    unsigned unitSamples() const { return unsigned(order.size()); }
    std::string signature() const {
        if (from) return std::string("cpu_register_t ") + name + "(const USB_DEC_DATA *)";
        return std::string("u_int32_t ") + name + "(char *, const int32_t *, u_int32_t)";
    }
};

// The byte-map model of every layout of the table, by the name the
// unpacker ("pcmFrom" + layout) and the packer ("pcmTo" + layout) share;
// all but the LX150 packers, which count per sample while converting whole
// frames (their own test below).
struct Model {
    const char* layout;
    SlotMap slot;
    std::vector<unsigned> order;
};
const std::vector<Model>& models() {
    static const std::vector<Model> all = {
        {"16LSB", k16LE, {0}},
        {"16MSB", k16BE, {0}},
        {"20LSB", k24LE, {0}},
        {"24LSB", k24LE, {0}},
        {"24Kestrel", kKestrel, {0}},
        {"24TUSB", k24BE, {0}},
        {"32LSB", k32LE, {0}},
        {"32Msb", k32BE, {0}},
        {"24TUSB2ch", k24BE, {0, 1}},
        {"16LSBChannelSwap", k16LE, {1, 0}},
        {"24LSBChannelSwap", k24LE, {1, 0}},
        {"16LSBChannelSwapMI_4", k16LE, {2, 3, 0, 1}},
        {"24LSBChannelSwapMI_4", k24LE, {2, 3, 0, 1}},
        {"24Merrow4CH", k24LE, {0, 2, 1, 3}},
        {"24Merrow6CH", k24LE, {0, 3, 1, 4, 2, 5}},
    };
    return all;
}

const Model* modelOf(const std::string& name) {
    for (const Model& m : models())
        if (name == std::string("pcmFrom") + m.layout || name == std::string("pcmTo") + m.layout)
            return &m;
    return nullptr;
}

// The converter table's members with their models, in table order.
const std::vector<PcmCase>& cases() {
    static const std::vector<PcmCase> all = [] {
        std::vector<PcmCase> v;
        for (const auto& row : kPcmUnpackers)
            if (const Model* m = modelOf(row.name))
                v.push_back({row.name, row.function, nullptr, m->slot, m->order});
        for (const auto& row : kPcmPackers)
            if (const Model* m = modelOf(row.name))
                v.push_back({row.name, nullptr, row.function, m->slot, m->order});
        return v;
    }();
    return all;
}

std::vector<int32_t> modelUnpack(const PcmCase& pc, const uint8_t* wire, unsigned units) {
    std::vector<int32_t> ring;
    for (unsigned u = 0; u < units; ++u)
        for (unsigned i = 0; i < pc.unitSamples(); ++i) {
            const uint8_t* slot = wire + u * pc.unitBytes() + pc.order[i] * pc.slot.size();
            uint32_t w = 0;
            for (unsigned b = 0; b < pc.slot.size(); ++b)
                w |= uint32_t(slot[b]) << (8 * pc.slot.ringByte[b]);
            ring.push_back(int32_t(w));
        }
    return ring;
}

std::vector<uint8_t> modelPack(const PcmCase& pc, const int32_t* ring, unsigned units) {
    std::vector<uint8_t> wire;
    for (unsigned u = 0; u < units; ++u)
        for (unsigned j = 0; j < pc.unitSamples(); ++j) {
            const uint32_t w = uint32_t(ring[u * pc.unitSamples() + pc.order[j]]);
            for (unsigned b = 0; b < pc.slot.size(); ++b)
                wire.push_back(uint8_t(w >> (8 * pc.slot.ringByte[b])));
        }
    return wire;
}

uint64_t call(const PcmCase& pc, void* out, const void* in, u_int32_t bytes) {
    if (pc.from) {
        USB_DEC_DATA d{static_cast<int32_t*>(out), static_cast<const char*>(in), bytes};
        return pc.from(&d);
    }
    return pc.to(static_cast<char*>(out), static_cast<const int32_t*>(in), bytes);
}

// Each table row's unit is its model's, every model is a row of the table,
// and only the LX150 packers go without one.
TEST(PcmConvert, TableUnitsAgreeWithTheModels) {
    std::set<std::string> modelled;
    for (const PcmCase& pc : cases()) {
        SCOPED_TRACE(pc.name);
        EXPECT_TRUE(modelled.insert(pc.name).second);
        EXPECT_STREQ(pc.from ? pcmConverterName(pc.from) : pcmConverterName(pc.to), pc.name);
    }
    auto check = [&](const auto& rows) {
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            EXPECT_STREQ(pcmConverterName(row.function), row.name);
            const Model* m = modelOf(row.name);
            if (!m) {
                EXPECT_EQ(std::string(row.name).rfind("pcmTo24LSB_LX150_", 0), 0u);
                EXPECT_EQ(row.unitBytes, 12u);
                EXPECT_EQ(row.unitSamples, 4u);
                continue;
            }
            EXPECT_EQ(row.unitBytes, m->slot.size() * unsigned(m->order.size()));
            EXPECT_EQ(row.unitSamples, unsigned(m->order.size()));
        }
    };
    check(kPcmUnpackers);
    check(kPcmPackers);
    // Every layout both ways, but the MI_4 frames unpacked only and the
    // Merrow frames packed only.
    EXPECT_EQ(modelled.size(), 2 * models().size() - 4);
    EXPECT_EQ(std::size(kPcmUnpackers) + std::size(kPcmPackers), modelled.size() + 3);
    // The placeholders and foreign functions have no name.
    EXPECT_EQ(pcmConverterName(USB_DEC_FNC(pcmFrom24TUSBMSB)), nullptr);
    EXPECT_EQ(pcmConverterName(USB_ENC_FNC(pcmTo24TUSBMSB)), nullptr);
    EXPECT_EQ(pcmConverterName(USB_ENC_FNC(nullptr)), nullptr);
}

TEST(PcmConvert, EveryLayoutMatchesItsByteMapInBothDirections) {
    std::mt19937 rng(11);
    for (const PcmCase& pc : cases()) {
        SCOPED_TRACE(pc.name);
        const unsigned units = 7;
        const u_int32_t bytes = units * pc.unitBytes();
        const unsigned samples = units * pc.unitSamples();
        if (pc.from) {
            std::vector<uint8_t> wire(bytes);
            for (auto& b : wire)
                b = uint8_t(rng());
            std::vector<int32_t> ring(samples + 4, 0x5A5A5A5A);
            EXPECT_EQ(call(pc, ring.data(), wire.data(), bytes), samples);
            auto want = modelUnpack(pc, wire.data(), units);
            want.resize(samples + 4, 0x5A5A5A5A);
            EXPECT_EQ(ring, want);
        } else {
            std::vector<int32_t> ring(samples);
            for (auto& s : ring)
                s = int32_t(rng());
            std::vector<uint8_t> wire(bytes + 8, 0xC3);
            EXPECT_EQ(call(pc, wire.data(), ring.data(), bytes), samples);
            auto want = modelPack(pc, ring.data(), units);
            want.resize(bytes + 8, 0xC3);
            EXPECT_EQ(wire, want);
        }
    }
}

TEST(PcmConvert, DocumentedSampleValues) {
    const char be16[] = {0x12, 0x34};
    int32_t s = 0;
    USB_DEC_DATA d{&s, be16, 2};
    EXPECT_EQ(pcmFrom16MSB(&d), 1u);
    EXPECT_EQ(uint32_t(s), 0x12340000u);
    const char kestrel[] = {0x12, 0x34, 0x56};
    d = {&s, kestrel, 3};
    EXPECT_EQ(pcmFrom24Kestrel(&d), 1u);
    EXPECT_EQ(uint32_t(s), 0x12563400u);
    const int32_t loud = 0x7FFFFFFF;
    unsigned char w[2] = {};
    EXPECT_EQ(pcmTo16LSB(reinterpret_cast<char*>(w), &loud, 2), 1u);
    EXPECT_EQ(w[0], 0xFF); // truncated, not rounded
    EXPECT_EQ(w[1], 0x7F);
}

TEST(PcmConvert, ShortCountLogsTheErrorLineAndConvertsTheWholeSamples) {
    hx::log::Capture log;
    const char wire[7] = {1, 2, 3, 4, 5, 6, 7};
    int32_t out[3] = {0, 0, 0x77};
    USB_DEC_DATA d{out, wire, 7};
    EXPECT_EQ(pcmFrom24LSB(&d), 2u);
    EXPECT_EQ(log.text(),
              "ERROR cpu_register_t pcmFrom24LSB(const USB_DEC_DATA *) : numExpectedBytes:6 !=  "
              "pDecData->nBytes:7\n");
    EXPECT_EQ(uint32_t(out[0]), 0x03020100u);
    EXPECT_EQ(uint32_t(out[1]), 0x06050400u);
    EXPECT_EQ(out[2], 0x77);
}

TEST(PcmConvert, EveryMemberLogsItsOwnSignatureForAPartialUnitOnly) {
    for (const PcmCase& pc : cases()) {
        SCOPED_TRACE(pc.name);
        std::vector<uint8_t> buf(256, 0);
        const u_int32_t whole = 2 * pc.unitBytes();
        {
            hx::log::Capture log;
            call(pc, buf.data(), buf.data() + 128, whole);
            EXPECT_EQ(log.text(), "");
        }
        hx::log::Capture log;
        call(pc, buf.data(), buf.data() + 128, whole + 1);
        const std::string tail = pc.from ? "pDecData->nBytes:" : "numBytes:";
        EXPECT_EQ(log.text(), "ERROR " + pc.signature() +
                                  " : numExpectedBytes:" + std::to_string(whole) + " !=  " + tail +
                                  std::to_string(whole + 1) + "\n");
    }
}

// With byte counts 0 .. 3U+2, buffers sized exactly to the whole units and
// ending at a guard page: any access past them faults.
TEST(PcmConvert, NoMemberTouchesMoreThanItsWholeUnits) {
    std::mt19937 rng(3);
    for (const PcmCase& pc : cases()) {
        SCOPED_TRACE(pc.name);
        for (u_int32_t bytes = 0; bytes <= 3 * pc.unitBytes() + 2; ++bytes) {
            hx::log::Capture quiet;
            const unsigned units = bytes / pc.unitBytes();
            const std::size_t ringBytes = std::size_t(units) * pc.unitSamples() * 4;
            const std::size_t wireBytes = pc.from ? bytes : std::size_t(units) * pc.unitBytes();
            GuardedBuffer wire(wireBytes), ring(ringBytes);
            for (std::size_t i = 0; i < wireBytes; ++i)
                wire.data()[i] = uint8_t(rng());
            for (std::size_t i = 0; i < ringBytes; ++i)
                ring.data()[i] = uint8_t(rng());
            if (pc.from) {
                EXPECT_EQ(call(pc, ring.data(), wire.data(), bytes), units * pc.unitSamples());
                EXPECT_EQ(
                    std::vector<int32_t>(ring.as<int32_t>(), ring.as<int32_t>() + ringBytes / 4),
                    modelUnpack(pc, wire.data(), units));
            } else {
                EXPECT_EQ(call(pc, wire.data(), ring.data(), bytes), units * pc.unitSamples());
                EXPECT_EQ(std::vector<uint8_t>(wire.data(), wire.data() + wireBytes),
                          modelPack(pc, ring.as<int32_t>(), units));
            }
        }
    }
}

TEST(PcmConvert, NullBuffersReturnTheCountAndTouchNothing) {
    for (const PcmCase& pc : cases()) {
        SCOPED_TRACE(pc.name);
        std::vector<uint8_t> buf(64, 0x3C);
        const u_int32_t bytes = 3 * pc.unitBytes();
        const uint64_t count = 3 * pc.unitSamples();
        EXPECT_EQ(call(pc, nullptr, buf.data(), bytes), count);
        EXPECT_EQ(call(pc, buf.data(), nullptr, bytes), count);
        EXPECT_EQ(buf, std::vector<uint8_t>(64, 0x3C));
        hx::log::Capture log; // a wrong count still logs first
        EXPECT_EQ(call(pc, nullptr, nullptr, bytes + 1), count);
        EXPECT_NE(log.text().find("numExpectedBytes:" + std::to_string(bytes)), std::string::npos);
    }
}

TEST(PcmConvert, CountEdgeCases) {
    hx::log::Capture log;
    char wire[32] = {};
    int32_t ring[16] = {};
    USB_DEC_DATA d{ring, wire, 4};
    EXPECT_EQ(pcmFrom16LSBChannelSwapMI_4(&d), 0u);
    EXPECT_EQ(log.text(),
              "ERROR cpu_register_t pcmFrom16LSBChannelSwapMI_4(const USB_DEC_DATA *) : "
              "numExpectedBytes:0 !=  pDecData->nBytes:4\n");
    log.clear();

    std::memset(wire, 0x55, sizeof wire);
    const int32_t pair[4] = {0x11223344, 0x55667788, 0x19AABBCC, 0x0};
    EXPECT_EQ(pcmTo24TUSB2ch(wire, pair, 9), 2u);
    EXPECT_EQ(log.text(), "ERROR u_int32_t pcmTo24TUSB2ch(char *, const int32_t *, u_int32_t) : "
                          "numExpectedBytes:6 !=  numBytes:9\n");
    const unsigned char tusb[] = {0x11, 0x22, 0x33, 0x55, 0x66, 0x77, 0x55};
    EXPECT_EQ(std::memcmp(wire, tusb, sizeof tusb), 0);
    log.clear();

    int32_t six[12];
    for (int i = 0; i < 12; ++i)
        six[i] = (i + 1) << 8;
    std::memset(wire, 0x55, sizeof wire);
    EXPECT_EQ(pcmTo24Merrow6CH(wire, six, 24), 6u);
    EXPECT_EQ(log.text(), "ERROR u_int32_t pcmTo24Merrow6CH(char *, const int32_t *, u_int32_t) : "
                          "numExpectedBytes:18 !=  numBytes:24\n");
    const unsigned char merrow[] = {1, 0, 0, 4, 0, 0, 2, 0, 0, 5, 0, 0, 3, 0, 0, 6, 0, 0, 0x55};
    EXPECT_EQ(std::memcmp(wire, merrow, sizeof merrow), 0);
}

// Wire slot of a 24-bit little-endian packer, read back.
uint32_t slot24(const char* wire, unsigned slot) {
    const auto* p = reinterpret_cast<const unsigned char*>(wire) + 3 * slot;
    return (uint32_t(p[2]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[0]) << 8);
}

TEST(PcmConvert, LX150PackersRoutePairsAndCountSamples) {
    struct Case {
        const char* name;
        USB_ENC_FNC fn;
        unsigned digit0, digit1;
    };
    const Case lx150[] = {
        {"pcmTo24LSB_LX150_00", pcmTo24LSB_LX150_00, 0, 0},
        {"pcmTo24LSB_LX150_10", pcmTo24LSB_LX150_10, 1, 0},
        {"pcmTo24LSB_LX150_11", pcmTo24LSB_LX150_11, 1, 1},
    };
    for (const Case& c : lx150) {
        SCOPED_TRACE(c.name);
        for (u_int32_t bytes = 0; bytes <= 3 * 12 + 2; ++bytes) {
            hx::log::Capture log;
            const u_int32_t samples = bytes / 3, frames = samples / 4;
            GuardedBuffer wire(frames * 12), ring(frames * 16);
            for (u_int32_t i = 0; i < frames * 4; ++i)
                ring.as<int32_t>()[i] = int32_t((i + 1) << 8);
            EXPECT_EQ(c.fn(reinterpret_cast<char*>(wire.data()), ring.as<int32_t>(), bytes),
                      samples);
            for (u_int32_t f = 0; f < frames; ++f) {
                const char* w = reinterpret_cast<const char*>(wire.data()) + 12 * f;
                const int32_t* r = ring.as<int32_t>() + 4 * f;
                EXPECT_EQ(slot24(w, 0), uint32_t(r[2 * c.digit0]));
                EXPECT_EQ(slot24(w, 1), uint32_t(r[2 * c.digit0 + 1]));
                EXPECT_EQ(slot24(w, 2), uint32_t(r[2 * c.digit1]));
                EXPECT_EQ(slot24(w, 3), uint32_t(r[2 * c.digit1 + 1]));
            }
            const std::string line = bytes % 3 == 0
                                         ? ""
                                         : "ERROR u_int32_t " + std::string(c.name) +
                                               "(char *, const int32_t *, u_int32_t) : "
                                               "numExpectedBytes:" +
                                               std::to_string(samples * 3) +
                                               " !=  numBytes:" + std::to_string(bytes) + "\n";
            EXPECT_EQ(log.text(), line);
        }
    }

    // A B C D E F G H through _10: C D A B G H E F.
    int32_t ring[8];
    for (int i = 0; i < 8; ++i)
        ring[i] = (0xA0 + i) << 8;
    char wire[25];
    std::memset(wire, 0x55, sizeof wire);
    EXPECT_EQ(pcmTo24LSB_LX150_10(wire, ring, 24), 8u);
    const int order[] = {2, 3, 0, 1, 6, 7, 4, 5};
    for (unsigned j = 0; j < 8; ++j)
        EXPECT_EQ(slot24(wire, j), uint32_t(ring[order[j]]));
    EXPECT_EQ(wire[24], 0x55);

    // 5 samples: one frame and a trailing sample left alone; 2 samples: nothing.
    std::memset(wire, 0x55, sizeof wire);
    EXPECT_EQ(pcmTo24LSB_LX150_00(wire, ring, 15), 5u);
    EXPECT_EQ(slot24(wire, 2), uint32_t(ring[0]));
    EXPECT_EQ(wire[12], 0x55);
    std::memset(wire, 0x55, sizeof wire);
    EXPECT_EQ(pcmTo24LSB_LX150_00(wire, ring, 6), 2u);
    EXPECT_EQ(wire[0], 0x55);
}

TEST(PcmConvert, PlaceholdersLogOnceUntilRearmed) {
    pcmRearmPlaceholders();
    hx::log::Capture log;
    char wire[12];
    std::memset(wire, 0x55, sizeof wire);
    int32_t ring[4] = {1, 2, 3, 4};
    USB_DEC_DATA d{ring, wire, 12};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pcmFrom24TUSBMSB(&d), 0u);
        EXPECT_EQ(pcmTo24TUSBMSB(wire, ring, 12), 0u);
    }
    EXPECT_EQ(pcmTo24TUSBMSB(nullptr, nullptr, 7), 0u);
    EXPECT_EQ(log.text(), "pcmFrom24TUSBMSB\npcmTo24TUSBMSB\n");
    EXPECT_EQ(ring[0], 1);
    EXPECT_EQ(wire[0], 0x55);

    log.clear();
    pcmRearmPlaceholders();
    EXPECT_EQ(pcmTo24TUSBMSB(wire, ring, 12), 0u);
    EXPECT_EQ(pcmTo24TUSBMSB(wire, ring, 12), 0u);
    EXPECT_EQ(log.text(), "pcmTo24TUSBMSB\n");
}

} // namespace
