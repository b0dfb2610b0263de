// The hand-written decoders against their portable twins: every input bit
// alone, patterns, bits the format ignores, random blocks, call chains,
// misaligned buffers and guard pages, plus their own null-pointer results.
// Every call goes through the harness that checks callee-saved registers,
// the stack and the x87 tag word.
#include "tests/driver/transcoders/X86TestSupport.h"

#include "platform/base/testing/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace hx::test::x86;
using hx::test::GuardedBuffer;

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kSlack = 64; // bytes after the output block that must stay
constexpr size_t kSpan = kBlock + kSlack;

class X86Decoder : public ::testing::TestWithParam<DecoderCase> {
protected:
    // Output buffer pre-filled with a sentinel, so untouched bytes show.
    std::vector<uint8_t> freshOut() const { return std::vector<uint8_t>(kSpan, 0xA5); }
};

TEST_P(X86Decoder, EveryInputBitAloneDecodesLikePortable) {
    const DecoderCase& c = GetParam();
    uint8_t in[kBlock] = {};
    for (size_t bit = 0; bit < kBlock * 8; ++bit) {
        in[bit / 8] = uint8_t(1u << (bit % 8));
        auto out = freshOut();
        ASSERT_TRUE(decodesLikePortable(c, in, out.data(), kSpan)) << "input bit " << bit;
        in[bit / 8] = 0;
    }
}

TEST_P(X86Decoder, PatternsDecodeLikePortable) {
    const DecoderCase& c = GetParam();
    struct Pattern {
        const char* what;
        uint8_t even, odd; // bytes at even and odd offsets
    };
    const Pattern patterns[] = {
        {"all zero", 0x00, 0x00}, {"all one", 0xFF, 0xFF},   {"0x55", 0x55, 0x55},
        {"0xAA", 0xAA, 0xAA},     {"0x0F/0xF0", 0x0F, 0xF0}, {"0xFF/0x00", 0xFF, 0x00},
    };
    uint8_t in[kBlock];
    for (const auto& p : patterns) {
        for (size_t i = 0; i < kBlock; ++i)
            in[i] = (i % 2) ? p.odd : p.even;
        auto out = freshOut();
        EXPECT_TRUE(decodesLikePortable(c, in, out.data(), kSpan)) << p.what;
    }
    // Every byte tagged with its own index.
    for (size_t i = 0; i < kBlock; ++i)
        in[i] = uint8_t(i);
    auto out = freshOut();
    EXPECT_TRUE(decodesLikePortable(c, in, out.data(), kSpan)) << "index tags";
}

// Units 24..31 and 56..63 and the lanes above those in use carry nothing:
// ones there change nothing.
TEST_P(X86Decoder, IgnoredUnitsAndLanesChangeNothing) {
    const DecoderCase& c = GetParam();
    std::mt19937_64 rng(11 + c.pairs);
    const unsigned unitBytes = c.wordUnits ? 2 : 1;
    const uint32_t usedLanes = (1u << c.pairs) - 1;
    for (int round = 0; round < 20; ++round) {
        uint8_t clean[kBlock], noisy[kBlock];
        fillRandom(rng, clean, kBlock);
        for (size_t unit = 0; unit < kBlock / unitBytes; ++unit) {
            uint32_t v = clean[unitBytes * unit];
            if (unitBytes == 2) v |= uint32_t(clean[2 * unit + 1]) << 8;
            const unsigned u = unit % 64;
            const bool ignored = (u >= 24 && u < 32) || u >= 56;
            const uint32_t c0 = ignored ? 0 : (v & usedLanes);
            const uint32_t n0 = ignored ? 0xFFFF : (v | ~usedLanes);
            clean[unitBytes * unit] = uint8_t(c0);
            noisy[unitBytes * unit] = uint8_t(n0);
            if (unitBytes == 2) {
                clean[2 * unit + 1] = uint8_t(c0 >> 8);
                noisy[2 * unit + 1] = uint8_t(n0 >> 8);
            }
        }
        auto a = freshOut(), b = freshOut();
        ASSERT_TRUE(decodesLikePortable(c, noisy, a.data(), kSpan));
        DMA_CONVERT_DATA d = makeRecord(clean, b.data());
        callChecked(c.variant, &d, c.name);
        EXPECT_EQ(a, b) << "ones in ignored units or unused lanes changed the output";
    }
}

TEST_P(X86Decoder, RandomBlocksDecodeLikePortable) {
    const DecoderCase& c = GetParam();
    std::mt19937_64 rng(0x5EED0000 + c.pairs * 2 + (c.form == Form::SSE));
    uint8_t in[kBlock];
    for (int round = 0; round < 300; ++round) {
        fillRandom(rng, in, kBlock);
        auto out = freshOut();
        ASSERT_TRUE(decodesLikePortable(c, in, out.data(), kSpan)) << "round " << round;
    }
}

// As the bulk input path calls it: one record, successive blocks of one
// transfer into successive output positions.
TEST_P(X86Decoder, HundredCallChainMatchesPortable) {
    const DecoderCase& c = GetParam();
    constexpr int kCalls = 100;
    std::mt19937_64 rng(77);
    std::vector<uint8_t> in(kBlock * kCalls);
    fillRandom(rng, in.data(), in.size());
    std::vector<uint8_t> outV(c.outBytes() * kCalls + kSlack, 0xA5), outC = outV;
    DMA_CONVERT_DATA dv = makeRecord(nullptr, nullptr), dc = dv;
    size_t pos = 0;
    for (int call = 0; call < kCalls; ++call) {
        dv.src = dc.src = in.data() + kBlock * call;
        dv.dst = outV.data() + pos;
        dc.dst = outC.data() + pos;
        const uint64_t n = callChecked(c.variant, &dv, c.name);
        ASSERT_EQ(n, c.portable(&dc));
        ASSERT_EQ(dv.framesLeft, 0u);
        pos += 4 * n;
    }
    EXPECT_TRUE(sameBytes(outV.data(), outC.data(), outV.size()));
}

TEST_P(X86Decoder, MisalignedBuffersDecodeLikeAligned) {
    const DecoderCase& c = GetParam();
    std::mt19937_64 rng(3);
    alignas(64) uint8_t inBuf[kBlock + 8];
    alignas(64) uint8_t aligned[kSpan];
    for (unsigned so = 1; so <= 7; ++so) {
        for (unsigned dO = 1; dO <= 7; ++dO) {
            fillRandom(rng, inBuf + so, kBlock);
            std::vector<uint8_t> outBuf(kSpan + 8, 0xA5);
            ASSERT_TRUE(decodesLikePortable(c, inBuf + so, outBuf.data() + dO, kSpan))
                << "src offset " << so << ", dst offset " << dO;
            // And the bytes match an aligned run of the same member.
            std::memcpy(aligned + 0, inBuf + so, kBlock); // aligned copy of the input
            alignas(64) uint8_t alignedOut[kSpan];
            std::memset(alignedOut, 0xA5, kSpan);
            DMA_CONVERT_DATA d = makeRecord(aligned, alignedOut);
            callChecked(c.variant, &d, c.name);
            EXPECT_TRUE(sameBytes(outBuf.data() + dO, alignedOut, kSpan));
        }
    }
}

// Input and output abutting an inaccessible page, after them and before
// them: a read or write outside the block faults at once.
TEST_P(X86Decoder, GuardPagesOnBothSides) {
    const DecoderCase& c = GetParam();
    std::mt19937_64 rng(5);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (bool before : {false, true}) {
        GuardedBuffer in(before ? page : kBlock, before);
        GuardedBuffer out(before ? page : c.outBytes(), before);
        fillRandom(rng, in.data(), kBlock);
        std::memset(out.data(), 0xA5, out.size());
        EXPECT_TRUE(decodesLikePortable(c, in.data(), out.data(), c.outBytes()))
            << (before ? "guard before" : "guard after");
    }
}

TEST_P(X86Decoder, NullRecordAndNullDestinationTouchNothing) {
    const DecoderCase& c = GetParam();
    EXPECT_EQ(callChecked(c.variant, nullptr, c.name), c.count());
    uint8_t in[kBlock];
    std::memset(in, 0xFF, kBlock);
    DMA_CONVERT_DATA d = makeRecord(in, nullptr);
    EXPECT_EQ(callChecked(c.variant, &d, c.name), c.count());
    EXPECT_EQ(d.src, in);
    EXPECT_EQ(d.dst, nullptr);
}

// A missing block decodes as silence over exactly the member's output block
// (where the portable form leaves the output alone).
TEST_P(X86Decoder, NullSourceWritesExactlyTheBlockAsZeros) {
    const DecoderCase& c = GetParam();
    GuardedBuffer out(c.outBytes() + kSlack);
    std::memset(out.data(), 0xA5, out.size());
    DMA_CONVERT_DATA d = makeRecord(nullptr, out.data());
    EXPECT_EQ(callChecked(c.variant, &d, c.name), c.count());
    for (size_t i = 0; i < c.outBytes(); ++i)
        ASSERT_EQ(out.data()[i], 0) << "byte " << i;
    for (size_t i = c.outBytes(); i < out.size(); ++i)
        ASSERT_EQ(out.data()[i], 0xA5) << "byte " << i << " beyond the block";
}

INSTANTIATE_TEST_SUITE_P(AllMembers, X86Decoder, ::testing::ValuesIn(decoderCases()),
                         caseName<DecoderCase>);

// The harness itself catches a member that breaks the calling convention.
TEST(X86CallHarness, ReportsClobberedRegisterAndMmxStateLeftInUse) {
    X86CallReport report{};
    EXPECT_EQ(hxX86CheckedCall(hxX86FixtureClobbersRbx, nullptr, &report), 7u);
    EXPECT_EQ(report.changedRegs, 1u);
    EXPECT_EQ(report.stackDelta, 0);
    EXPECT_EQ(report.tagWord(), 0xFFFF);

    report = X86CallReport{};
    EXPECT_EQ(hxX86CheckedCall(hxX86FixtureLeavesMmx, nullptr, &report), 9u);
    EXPECT_EQ(report.changedRegs, 0u);
    EXPECT_NE(report.tagWord(), 0xFFFF);
    hxX86ClearMmx();
}

} // namespace
