// 24-bit sample values swept through every hand-written member: decoders
// must give back exactly value << 8 (and the portable output), encoders the
// portable packet and carried word. Each call carries a run of consecutive
// values of the sweep, one per sample. A strided sweep runs always; the
// full 2^24 sweep runs when HX_TRANSCODERS_FULL_SWEEP=1.
#include "tests/driver/transcoders/X86TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace hx::test::x86;

namespace {

constexpr uint32_t kValues = 1u << 24;
constexpr uint32_t kStride = 4099; // prime: touches every bit position

bool fullSweepWanted() {
    const char* v = std::getenv("HX_TRANSCODERS_FULL_SWEEP");
    return v != nullptr && std::string(v) == "1";
}

// Values first, first + stride, ... until all 2^24 / stride (rounded up)
// values have been decoded.
void sweepDecoder(const DecoderCase& c, uint32_t stride) {
    const uint32_t total = (kValues + stride - 1) / stride;
    std::vector<uint32_t> values(c.count());
    uint8_t in[512];
    std::vector<uint8_t> out(c.outBytes()), want(c.outBytes());
    for (uint32_t done = 0; done < total; done += uint32_t(c.count())) {
        std::memset(in, 0, sizeof in);
        for (unsigned f = 0; f < c.frames(); ++f) {
            for (unsigned ch = 0; ch < c.channels(); ++ch) {
                const uint32_t n = done + f * c.channels() + ch;
                const uint32_t v = uint32_t((uint64_t(n % total) * stride) % kValues);
                values[f * c.channels() + ch] = v;
                placeSample(in, c, f, ch, v);
            }
        }
        DMA_CONVERT_DATA dv = makeRecord(in, out.data()), dc = makeRecord(in, want.data());
        ASSERT_EQ(callChecked(c.variant, &dv, c.name), c.portable(&dc));
        ASSERT_EQ(out, want) << c.name << " at sweep position " << done;
        for (size_t i = 0; i < values.size(); ++i) {
            uint32_t s;
            std::memcpy(&s, &out[4 * i], 4);
            ASSERT_EQ(s, values[i] << 8) << c.name << " sample " << i;
        }
    }
}

void sweepEncoder(const EncoderCase& c, uint32_t stride) {
    const uint32_t total = (kValues + stride - 1) / stride;
    const uint32_t perCall = c.channels * c.frames;
    std::vector<uint8_t> in(c.inBytes());
    std::vector<uint8_t> out(1024, 0xA5);
    int32_t carry = 0;
    for (uint32_t done = 0; done < total; done += perCall) {
        for (uint32_t i = 0; i < perCall; ++i) {
            const uint32_t v = uint32_t((uint64_t((done + i) % total) * stride) % kValues);
            // The low byte is noise the wire never carries.
            const uint32_t word = (v << 8) | ((i * 37) & 0xFF);
            std::memcpy(&in[4 * i], &word, 4);
        }
        ASSERT_TRUE(encodesLikePortable(c, in.data(), out.data(), out.size(), &carry))
            << "sweep position " << done;
    }
}

class X86SweepDecoder : public ::testing::TestWithParam<DecoderCase> {};
class X86SweepEncoder : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(X86SweepDecoder, StridedValues) {
    sweepDecoder(GetParam(), kStride);
}
TEST_P(X86SweepEncoder, StridedValues) {
    sweepEncoder(GetParam(), kStride);
}

TEST_P(X86SweepDecoder, AllValues) {
    if (!fullSweepWanted())
        GTEST_SKIP() << "set HX_TRANSCODERS_FULL_SWEEP=1 for the full 2^24 sweep";
    sweepDecoder(GetParam(), 1);
}

TEST_P(X86SweepEncoder, AllValues) {
    if (!fullSweepWanted())
        GTEST_SKIP() << "set HX_TRANSCODERS_FULL_SWEEP=1 for the full 2^24 sweep";
    sweepEncoder(GetParam(), 1);
}

INSTANTIATE_TEST_SUITE_P(AllMembers, X86SweepDecoder, ::testing::ValuesIn(decoderCases()),
                         caseName<DecoderCase>);
INSTANTIATE_TEST_SUITE_P(AllMembers, X86SweepEncoder, ::testing::ValuesIn(encoderCases()),
                         caseName<EncoderCase>);

} // namespace
