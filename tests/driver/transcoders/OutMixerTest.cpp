// Output mixers: the documented frames, the zero-denominator rule, and random
// fractions and routing bytes against a 64-bit model (run under the
// address+undefined sanitizers, this also proves no trap and no signed
// overflow).
#include "driver/transcoders/OutMixer.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

namespace {

using Mixer = u_int32_t (*)(u_int32_t*, u_int32_t, QN_Fraction*, QN_Fraction*, char*);

struct Fractions {
    QN_Fraction left[32];
    QN_Fraction right[32];
};

Fractions gains(std::vector<QN_Fraction> l, std::vector<QN_Fraction> r) {
    Fractions f{};
    for (int i = 0; i < 32; ++i)
        f.left[i] = f.right[i] = QN_Fraction{0, 1};
    for (std::size_t i = 0; i < l.size(); ++i)
        f.left[i] = l[i];
    for (std::size_t i = 0; i < r.size(); ++i)
        f.right[i] = r[i];
    return f;
}

std::vector<u_int32_t> mixOne(Mixer m, std::vector<u_int32_t> frame, Fractions f,
                              std::vector<char> routing) {
    routing.resize(32, 0);
    m(frame.data(), 1, f.left, f.right, routing.data());
    return frame;
}

TEST(OutMixer, DocumentedFrames) {
    EXPECT_EQ(mixOne(outMixer2CH, {0x00000580, 0xFFFFFA80},
                     gains({{1, 1}, {0, 1}}, {{0, 1}, {1, 1}}), {0}),
              (std::vector<u_int32_t>{0x00000400, 0xFFFFFA00}));
    EXPECT_EQ(mixOne(outMixer2CH, {0x00000A00, 0x00000700},
                     gains({{3, 4}, {1, 2}}, {{1, 3}, {2, 1}}), {0}),
              (std::vector<u_int32_t>{0x00000800, 0x00001000}));
    EXPECT_EQ(mixOne(outMixer2CH, {0x7FFFFF00, 0x7FFFFF00}, gains({{1, 1}, {1, 1}}, {}), {0})[0],
              0xFFFFFC00u);
    EXPECT_EQ(mixOne(outMixer2CH, {0x12345678, 0x9ABCDEF0}, gains({}, {}), {7}),
              (std::vector<u_int32_t>{0x12345600, 0x9ABCDE00}));
    const auto four = mixOne(outMixer4CH, {0x100, 0x200, 0x300, 0x400}, gains({}, {}), {2, 5});
    EXPECT_EQ(four, (std::vector<u_int32_t>{0x300, 0x400, 0, 0}));
    const auto six = mixOne(outMixer6CH, {0x100, 0x200, 0x300, 0x400, 0x500, 0x600},
                            gains({{1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}, {1, 1}}, {}), {0, 3, 9});
    EXPECT_EQ(six, (std::vector<u_int32_t>{0x1200, 0, 0x500, 0x600, 0, 0}));
}

TEST(OutMixer, ZeroDenominatorContributesNothing) {
    EXPECT_EQ(mixOne(outMixer2CH, {0x00000A00, 0x00000700},
                     gains({{1, 0}, {1, 1}}, {{0, 1}, {0, 1}}), {0}),
              (std::vector<u_int32_t>{0x00000600, 0}));
}

TEST(OutMixer, CountZeroTouchesNothing) {
    for (Mixer m : {outMixer2CH, outMixer4CH, outMixer6CH}) {
        std::vector<u_int32_t> frames(6, 0x12345678);
        Fractions f = gains({}, {});
        char routing[32] = {};
        m(frames.data(), 0, f.left, f.right, routing);
        EXPECT_EQ(frames, std::vector<u_int32_t>(6, 0x12345678));
    }
}

// The mixing rule in 64-bit arithmetic, wrapped to 32 bits where the device
// wraps.
std::vector<u_int32_t> model(unsigned channels, const u_int32_t* in, const Fractions& f,
                             const char* routing) {
    std::vector<int64_t> x(channels);
    for (unsigned i = 0; i < channels; ++i)
        x[i] = int64_t(int32_t(in[i])) / 256 -
               ((int32_t(in[i]) % 256 != 0 && int32_t(in[i]) < 0) ? 1 : 0);
    auto side = [&](const QN_Fraction* g) {
        int64_t sum = 0;
        for (unsigned i = 0; i < channels; ++i) {
            if (g[i].nDenominator == 0) continue;
            const int64_t q = x[i] / g[i].nDenominator;
            const int64_t product = int64_t(int32_t(uint32_t(uint64_t(q * g[i].nNumerator))));
            sum += product / 2;
        }
        return uint32_t(uint64_t(sum) * 2);
    };
    const uint32_t mixL = side(f.left), mixR = side(f.right);
    std::vector<u_int32_t> out(channels);
    for (unsigned k = 0; k < channels / 2; ++k) {
        unsigned sel = static_cast<unsigned char>(routing[k]);
        if (channels == 2 && sel != 0) sel = 1;
        uint32_t l = 0, r = 0;
        if (sel == 0)
            l = mixL, r = mixR;
        else if (sel <= channels / 2)
            l = uint32_t(x[2 * (sel - 1)]), r = uint32_t(x[2 * (sel - 1) + 1]);
        out[2 * k] = l << 8;
        out[2 * k + 1] = r << 8;
    }
    return out;
}

TEST(OutMixer, RandomFractionsAndRoutingMatchTheModelWithoutTrapping) {
    std::mt19937 rng(2024);
    const int32_t special[] = {0, 0, 1, -1, INT_MIN, INT_MAX, 2, -2};
    auto pick = [&]() -> int32_t { return rng() % 2 ? special[rng() % 8] : int32_t(rng()); };
    const struct {
        Mixer fn;
        unsigned channels;
    } mixers[] = {{outMixer2CH, 2}, {outMixer4CH, 4}, {outMixer6CH, 6}};
    for (const auto& m : mixers) {
        for (int round = 0; round < 2000; ++round) {
            Fractions f{};
            for (int i = 0; i < 32; ++i) {
                f.left[i] = {pick(), pick()};
                f.right[i] = {pick(), pick()};
            }
            char routing[32];
            for (char& r : routing)
                r = char(rng() % 3 ? rng() % 5 : rng());
            std::vector<u_int32_t> frames(3 * m.channels);
            for (auto& s : frames)
                s = rng() % 4 ? u_int32_t(rng()) : u_int32_t(special[rng() % 8]);
            const std::vector<u_int32_t> original = frames;
            m.fn(frames.data(), 3, f.left, f.right, routing);
            for (unsigned fr = 0; fr < 3; ++fr) {
                const auto want = model(m.channels, original.data() + fr * m.channels, f, routing);
                for (unsigned c = 0; c < m.channels; ++c)
                    ASSERT_EQ(frames[fr * m.channels + c], want[c])
                        << "mixer " << m.channels << " round " << round << " frame " << fr << " ch "
                        << c;
            }
        }
    }
}

} // namespace
