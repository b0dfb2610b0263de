// The hand-written encoders against their portable twins: every PCM bit and
// every carried-word bit alone, patterns, the never-sent low bytes, random
// blocks, 100-call carry chains, misaligned buffers and guard pages, plus
// their own null-pointer results (the 512-byte silence of the bulk slot).
// Every call goes through the harness that checks callee-saved registers,
// the stack and the x87 tag word.
#include "tests/driver/transcoders/X86TestSupport.h"

#include "platform/base/testing/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace hx::test::x86;
using hx::test::GuardedBuffer;

namespace {

constexpr size_t kMaxIn = 16 * 4 * 20;
constexpr size_t kSpan = 1024; // the packet and the bytes after it

class X86Encoder : public ::testing::TestWithParam<EncoderCase> {
protected:
    std::vector<uint8_t> freshOut() const { return std::vector<uint8_t>(kSpan, 0xA5); }
};

TEST_P(X86Encoder, EveryInputBitAloneEncodesLikePortable) {
    const EncoderCase& c = GetParam();
    std::vector<uint8_t> in(c.inBytes(), 0);
    for (size_t bit = 0; bit < c.inBytes() * 8; ++bit) {
        in[bit / 8] = uint8_t(1u << (bit % 8));
        int32_t carry = 0;
        auto out = freshOut();
        ASSERT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry))
            << "PCM bit " << bit;
        in[bit / 8] = 0;
    }
    // The carried word's bits, alone, with silent PCM.
    for (unsigned bit = 0; bit < 32; ++bit) {
        int32_t carry = int32_t(1u << bit);
        auto out = freshOut();
        ASSERT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry))
            << "carried bit " << bit;
    }
}

TEST_P(X86Encoder, PatternsEncodeLikePortable) {
    const EncoderCase& c = GetParam();
    const uint32_t words[] = {0x00000000, 0xFFFFFFFF, 0x80000000, 0x7FFFFF00,
                              0x55555555, 0xAAAAAAAA, 0x00000100, 0x000000FF};
    std::vector<uint8_t> in(c.inBytes());
    for (uint32_t w : words) {
        for (size_t i = 0; i < in.size(); i += 4)
            std::memcpy(&in[i], &w, 4);
        int32_t carry = int32_t(~w);
        auto out = freshOut();
        EXPECT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry))
            << "every sample 0x" << std::hex << w;
    }
    // Alternating samples and every byte tagged with its index.
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = ((i / 4) % 2) ? 0xAA : 0x55;
    int32_t carry = 0;
    auto out = freshOut();
    EXPECT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry)) << "alternating";
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = uint8_t(i * 7 + 1);
    out = freshOut();
    EXPECT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry)) << "index tags";
}

// Bits 7..0 of a sample are never sent: samples differing only there give
// the same packet (and the same carried word's wire bits).
TEST_P(X86Encoder, LowBytesAreNeverSent) {
    const EncoderCase& c = GetParam();
    std::mt19937_64 rng(21);
    std::vector<uint8_t> clean(c.inBytes()), noisy;
    for (int round = 0; round < 20; ++round) {
        fillRandom(rng, clean.data(), clean.size());
        noisy = clean;
        for (size_t i = 0; i < clean.size(); i += 4) {
            clean[i] = 0;
            noisy[i] = uint8_t(rng() | 1);
        }
        int32_t carryA = int32_t(rng()) & ~0xFF, carryB = carryA | 0x5A;
        auto a = freshOut(), b = freshOut();
        ASSERT_TRUE(encodesLikePortable(c, noisy.data(), a.data(), kSpan, &carryA));
        DMA_CONVERT_DATA d = makeRecord(clean.data(), b.data(), &carryB);
        callChecked(c.variant, &d, c.name);
        EXPECT_EQ(a, b) << "low bytes changed the packet";
    }
}

TEST_P(X86Encoder, RandomBlocksEncodeLikePortable) {
    const EncoderCase& c = GetParam();
    std::mt19937_64 rng(0xE4C0DE + c.channels * 3 + c.frames + (c.form == Form::SSE));
    std::vector<uint8_t> in(c.inBytes());
    for (int round = 0; round < 300; ++round) {
        fillRandom(rng, in.data(), in.size());
        int32_t carry = int32_t(rng());
        auto out = freshOut();
        ASSERT_TRUE(encodesLikePortable(c, in.data(), out.data(), kSpan, &carry))
            << "round " << round;
    }
}

// As the output path calls it: one record and one carried word for a run
// of packets; the carried sample moves from packet to packet.
TEST_P(X86Encoder, HundredCallCarryChainMatchesPortable) {
    const EncoderCase& c = GetParam();
    constexpr int kCalls = 100;
    std::mt19937_64 rng(99);
    std::vector<uint8_t> in(c.inBytes() * kCalls);
    fillRandom(rng, in.data(), in.size());
    const size_t packet = c.frames == 20 ? 964 : 512;
    std::vector<uint8_t> outV(packet * kCalls, 0xA5), outC = outV;
    int32_t carryV = 0, carryC = 0;
    DMA_CONVERT_DATA dv = makeRecord(nullptr, nullptr, &carryV);
    DMA_CONVERT_DATA dc = makeRecord(nullptr, nullptr, &carryC);
    size_t pos = 0;
    for (int call = 0; call < kCalls; ++call) {
        dv.src = dc.src = in.data() + pos;
        dv.dst = outV.data() + packet * call;
        dc.dst = outC.data() + packet * call;
        const uint64_t n = callChecked(c.variant, &dv, c.name);
        ASSERT_EQ(n, c.portable(&dc));
        ASSERT_EQ(dv.framesLeft, 0u);
        ASSERT_EQ(carryV, carryC) << "after call " << call;
        pos += n;
    }
    EXPECT_TRUE(sameBytes(outV.data(), outC.data(), outV.size()));
}

TEST_P(X86Encoder, MisalignedBuffersEncodeLikeAligned) {
    const EncoderCase& c = GetParam();
    std::mt19937_64 rng(4);
    std::vector<uint8_t> inBuf(kMaxIn + 8);
    alignas(64) static uint8_t aligned[kMaxIn];
    for (unsigned so = 1; so <= 7; ++so) {
        for (unsigned dO = 1; dO <= 7; ++dO) {
            fillRandom(rng, inBuf.data() + so, c.inBytes());
            int32_t carry = int32_t(rng());
            const int32_t carryBefore = carry;
            std::vector<uint8_t> outBuf(kSpan + 8, 0xA5);
            ASSERT_TRUE(
                encodesLikePortable(c, inBuf.data() + so, outBuf.data() + dO, kSpan, &carry))
                << "src offset " << so << ", dst offset " << dO;
            std::memcpy(aligned, inBuf.data() + so, c.inBytes());
            alignas(64) uint8_t alignedOut[kSpan];
            std::memset(alignedOut, 0xA5, kSpan);
            int32_t carryAligned = carryBefore;
            DMA_CONVERT_DATA d = makeRecord(aligned, alignedOut, &carryAligned);
            callChecked(c.variant, &d, c.name);
            EXPECT_TRUE(sameBytes(outBuf.data() + dO, alignedOut, kSpan));
            EXPECT_EQ(carry, carryAligned);
        }
    }
}

// PCM, packet and carried word abutting an inaccessible page on either side.
TEST_P(X86Encoder, GuardPagesOnBothSides) {
    const EncoderCase& c = GetParam();
    std::mt19937_64 rng(6);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (bool before : {false, true}) {
        GuardedBuffer in(before ? page : c.inBytes(), before);
        GuardedBuffer out(before ? page : c.wireBytes(), before);
        GuardedBuffer carryBuf(before ? page : 4, before);
        fillRandom(rng, in.data(), c.inBytes());
        std::memset(out.data(), 0xA5, out.size());
        int32_t* carry = carryBuf.as<int32_t>();
        *carry = int32_t(rng());
        EXPECT_TRUE(encodesLikePortable(c, in.data(), out.data(), c.wireBytes(), carry))
            << (before ? "guard before" : "guard after");
    }
}

// The interrupt packet's two 2-byte holes belong to the caller.
TEST_P(X86Encoder, InterruptPacketHolesKeepTheirBytes) {
    const EncoderCase& c = GetParam();
    if (c.frames != 20) GTEST_SKIP() << "bulk member";
    std::vector<uint8_t> in(c.inBytes(), 0xFF);
    std::vector<uint8_t> out(964, 0x3C);
    int32_t carry = -1;
    DMA_CONVERT_DATA d = makeRecord(in.data(), out.data(), &carry);
    callChecked(c.variant, &d, c.name);
    for (size_t hole : {432, 433, 914, 915})
        EXPECT_EQ(out[hole], 0x3C) << "byte " << hole;
}

TEST_P(X86Encoder, NullRecordAndNullDestinationTouchNothing) {
    const EncoderCase& c = GetParam();
    EXPECT_EQ(callChecked(c.variant, nullptr, c.name), c.count());
    std::vector<uint8_t> in(c.inBytes(), 0xFF);
    int32_t carry = 0x12345600;
    DMA_CONVERT_DATA d = makeRecord(in.data(), nullptr, &carry);
    EXPECT_EQ(callChecked(c.variant, &d, c.name), c.count());
    EXPECT_EQ(carry, 0x12345600);
}

// No PCM: a bulk member silences the whole 512-byte slot (the portable form
// writes 480), an interrupt-packet member leaves the packet alone; neither
// changes the carried word.
TEST_P(X86Encoder, NullSourceSilencesTheSlotOrLeavesThePacket) {
    const EncoderCase& c = GetParam();
    GuardedBuffer out(1024);
    std::memset(out.data(), 0xA5, out.size());
    int32_t carry = 0x12345600;
    DMA_CONVERT_DATA d = makeRecord(nullptr, out.data(), &carry);
    EXPECT_EQ(callChecked(c.variant, &d, c.name), c.count());
    EXPECT_EQ(carry, 0x12345600);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t want = i < c.nullFillBytes() ? 0 : 0xA5;
        ASSERT_EQ(out.data()[i], want) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(AllMembers, X86Encoder, ::testing::ValuesIn(encoderCases()),
                         caseName<EncoderCase>);

} // namespace
