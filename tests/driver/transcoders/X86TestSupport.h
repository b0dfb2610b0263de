// Shared pieces of the x86 converter tests: the table of hand-written
// members with their portable twins, a checked call (callee-saved registers,
// stack, x87 tag word), comparisons of a member against its twin that
// include the bytes around the output block, and sample placement in a
// decoder block through the wire-format model.
#pragma once

#include "driver/transcoders/x86/DMAConvertX86.h"
#include "tests/driver/transcoders/WireFormatModel.h"
#include "tests/driver/transcoders/X86CallHarness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace hx::test::x86 {

enum class Form { ASM, SSE };

struct DecoderCase {
    const char* name;
    DMA_CONVERT_FNC variant;
    DMA_CONVERT_FNC portable;
    Form form;
    unsigned pairs; // lanes in use
    bool wordUnits; // 16-bit units, 4 frames; else byte units, 8 frames

    unsigned channels() const { return 2 * pairs; }
    unsigned frames() const { return wordUnits ? 4 : 8; }
    uint64_t count() const { return uint64_t(channels()) * frames(); }
    size_t outBytes() const { return size_t(count()) * 4; }
};

struct EncoderCase {
    const char* name;
    DMA_CONVERT_FNC variant;
    DMA_CONVERT_FNC portable;
    Form form;
    unsigned channels;
    unsigned frames; // 10 (bulk slot) or 20 (964-byte interrupt packet)
    bool carried;    // fifth-lane member with a carried word

    size_t inBytes() const { return size_t(channels) * 4 * frames; }
    uint64_t count() const { return inBytes(); }
    size_t wireBytes() const { return frames == 20 ? 964 : 480; }
    // What a null src may touch: the whole bulk slot, or nothing at all.
    size_t nullFillBytes() const { return frames == 20 ? 0 : 512; }
};

#define HX_DEC(stem, pairs, word)                                                                  \
    {#stem "_ASM", stem##_ASM, stem##_C, Form::ASM, pairs, word}, {                                \
#stem "_SSE", stem##_SSE, stem##_C, Form::SSE, pairs, word                                 \
    }

inline const std::vector<DecoderCase>& decoderCases() {
    static const std::vector<DecoderCase> cases = {
        HX_DEC(dmaDecode16To02At32Bit, 1, false), HX_DEC(dmaDecode16To04At32Bit, 2, false),
        HX_DEC(dmaDecode16To06At32Bit, 3, false), HX_DEC(dmaDecode16To08At32Bit, 4, false),
        HX_DEC(dmaDecode16To10At32Bit, 5, false), HX_DEC(dmaDecode16To12At32Bit, 6, false),
        HX_DEC(dmaDecode16To14At32Bit, 7, false), HX_DEC(dmaDecode16To16At32Bit, 8, false),
        HX_DEC(dmaDecode32To18At32Bit, 9, true),  HX_DEC(dmaDecode32To20At32Bit, 10, true),
        HX_DEC(dmaDecode32To22At32Bit, 11, true), HX_DEC(dmaDecode32To24At32Bit, 12, true),
        HX_DEC(dmaDecode32To26At32Bit, 13, true), HX_DEC(dmaDecode32To28At32Bit, 14, true),
        HX_DEC(dmaDecode32To30At32Bit, 15, true), HX_DEC(dmaDecode32To32At32Bit, 16, true),
    };
    return cases;
}
#undef HX_DEC

#define HX_ENC_ASM(stem, ch, fr, carry)                                                            \
    { #stem "_ASM", stem##_ASM, stem##_C, Form::ASM, ch, fr, carry }
#define HX_ENC_SSE(stem, ch, fr, carry)                                                            \
    { #stem "_SSE", stem##_SSE, stem##_C, Form::SSE, ch, fr, carry }

inline const std::vector<EncoderCase>& encoderCases() {
    static const std::vector<EncoderCase> cases = {
        HX_ENC_ASM(dmaEncode02, 2, 10, false),
        HX_ENC_ASM(dmaEncode04, 4, 10, false),
        HX_ENC_ASM(dmaEncode06, 6, 10, false),
        HX_ENC_ASM(dmaEncode08, 8, 10, false),
        HX_ENC_ASM(dmaEncode10_12, 8, 10, true),
        HX_ENC_ASM(dmaEncode10_34, 8, 10, true),
        HX_ENC_ASM(dmaEncode10_56, 8, 10, true),
        HX_ENC_ASM(dmaEncode10_78, 8, 10, true),
        HX_ENC_ASM(dmaEncode10_KX, 10, 10, true),
        HX_ENC_ASM(dmaEncode06_Int964, 6, 20, false),
        HX_ENC_ASM(dmaEncode08_Int964, 8, 20, false),
        HX_ENC_ASM(dmaEncode10_KX_Int964, 10, 20, true),
        HX_ENC_SSE(dmaEncode02, 2, 10, false),
        HX_ENC_SSE(dmaEncode04, 4, 10, false),
        HX_ENC_SSE(dmaEncode06, 6, 10, false),
        HX_ENC_SSE(dmaEncode08, 8, 10, false),
        HX_ENC_SSE(dmaEncode10, 10, 10, false),
        HX_ENC_SSE(dmaEncode12, 12, 10, false),
        HX_ENC_SSE(dmaEncode14, 14, 10, false),
        HX_ENC_SSE(dmaEncode16, 16, 10, false),
        HX_ENC_SSE(dmaEncode10_12, 8, 10, true),
        HX_ENC_SSE(dmaEncode10_34, 8, 10, true),
        HX_ENC_SSE(dmaEncode10_56, 8, 10, true),
        HX_ENC_SSE(dmaEncode10_78, 8, 10, true),
        HX_ENC_SSE(dmaEncode10_KX, 10, 10, true),
        HX_ENC_SSE(dmaEncode06_Int964, 6, 20, false),
        HX_ENC_SSE(dmaEncode08_Int964, 8, 20, false),
        HX_ENC_SSE(dmaEncode16_Int964, 16, 20, false),
        HX_ENC_SSE(dmaEncode10_KX_Int964, 10, 20, true),
    };
    return cases;
}
#undef HX_ENC_ASM
#undef HX_ENC_SSE

template <typename Case> std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A record as the engine hands it over: the fields a variant uses for its
// own purposes hold leftovers from earlier calls.
inline DMA_CONVERT_DATA makeRecord(const void* src, void* dst, int32_t* carry = nullptr) {
    DMA_CONVERT_DATA d;
    d.src = src;
    d.dst = dst;
    d.carry = carry;
    for (unsigned i = 0; i < 6; ++i)
        d.scratch[i] = 0xDEADBEEF00000000ULL + i;
    d.framesLeft = 0x7777;
    return d;
}

// Calls a hand-written member through the harness and records every fault
// of the calling convention as a test failure.
inline uint64_t callChecked(DMA_CONVERT_FNC fn, DMA_CONVERT_DATA* data, const char* name) {
    X86CallReport report{};
    const uint64_t result = hxX86CheckedCall(fn, data, &report);
    EXPECT_EQ(report.changedRegs, 0u) << name << ": callee-saved registers changed";
    EXPECT_EQ(report.stackDelta, 0) << name << ": stack pointer moved";
    EXPECT_EQ(report.canary, kX86StackCanary) << name << ": caller's stack written";
    EXPECT_EQ(report.tagWord(), 0xFFFF) << name << ": x87 register stack left in use";
    return result;
}

inline ::testing::AssertionResult sameBytes(const uint8_t* got, const uint8_t* want, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (got[i] != want[i]) {
            return ::testing::AssertionFailure()
                   << "byte " << i << " is 0x" << std::hex << int(got[i]) << ", portable gives 0x"
                   << int(want[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

// The member decodes the block at in into out (span bytes, output plus the
// bytes after it) exactly as its portable twin does on a copy of out.
inline ::testing::AssertionResult decodesLikePortable(const DecoderCase& c, const uint8_t* in,
                                                      uint8_t* out, size_t span) {
    std::vector<uint8_t> want(out, out + span);
    DMA_CONVERT_DATA dc = makeRecord(in, want.data());
    const uint64_t rc = c.portable(&dc);
    DMA_CONVERT_DATA dv = makeRecord(in, out);
    const uint64_t rv = callChecked(c.variant, &dv, c.name);
    if (rv != rc)
        return ::testing::AssertionFailure() << c.name << " returned " << rv << ", portable " << rc;
    if (dv.framesLeft != 0)
        return ::testing::AssertionFailure() << c.name << " left framesLeft " << dv.framesLeft;
    auto same = sameBytes(out, want.data(), span);
    if (!same) return ::testing::AssertionFailure() << c.name << ": " << same.message();
    return ::testing::AssertionSuccess();
}

// The member encodes in into out (span bytes) and updates *carry exactly as
// its portable twin does on copies.
inline ::testing::AssertionResult encodesLikePortable(const EncoderCase& c, const uint8_t* in,
                                                      uint8_t* out, size_t span, int32_t* carry) {
    std::vector<uint8_t> want(out, out + span);
    int32_t carryC = *carry;
    DMA_CONVERT_DATA dc = makeRecord(in, want.data(), &carryC);
    const uint64_t rc = c.portable(&dc);
    DMA_CONVERT_DATA dv = makeRecord(in, out, carry);
    const uint64_t rv = callChecked(c.variant, &dv, c.name);
    if (rv != rc)
        return ::testing::AssertionFailure() << c.name << " returned " << rv << ", portable " << rc;
    if (dv.framesLeft != 0)
        return ::testing::AssertionFailure() << c.name << " left framesLeft " << dv.framesLeft;
    if (*carry != carryC) {
        return ::testing::AssertionFailure()
               << c.name << " carried 0x" << std::hex << *carry << ", portable 0x" << carryC;
    }
    auto same = sameBytes(out, want.data(), span);
    if (!same) return ::testing::AssertionFailure() << c.name << ": " << same.message();
    return ::testing::AssertionSuccess();
}

inline void fillRandom(std::mt19937_64& rng, uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(rng());
}

// Puts the 24-bit value v as channel ch of frame f into the member's decoder
// block, each bit where the wire-format model places it.
inline void placeSample(uint8_t* block, const DecoderCase& c, unsigned f, unsigned ch, uint32_t v) {
    const wire::DecoderFormat fmt = wire::bitSlicedDecoder(c.channels());
    for (unsigned bit = 31; bit >= 8; --bit) {
        const wire::BitLocation at = wire::decoderBitLocation(fmt, f, ch, bit);
        const uint8_t mask = uint8_t(1u << at.bit);
        if ((v >> (bit - 8)) & 1u)
            block[at.byte] |= mask;
        else
            block[at.byte] &= uint8_t(~mask);
    }
}

} // namespace hx::test::x86
