// Input post-processors: all routing members against a generic "output pair
// k takes input pair digit k" model, the silencing fixes, whole-frame
// footprints and null buffers.
#include "driver/transcoders/PostProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace {

struct RoutingCase {
    std::string suffix;
    INPUT_POSTPROCESS_FNC fn;
};

#define HX_LX610(abc)                                                                              \
    { #abc, postprocessLX610_##abc }
const std::vector<RoutingCase> kLX610 = {
    HX_LX610(000), HX_LX610(001), HX_LX610(002), HX_LX610(010), HX_LX610(011), HX_LX610(012),
    HX_LX610(020), HX_LX610(021), HX_LX610(022), HX_LX610(100), HX_LX610(101), HX_LX610(102),
    HX_LX610(110), HX_LX610(111), HX_LX610(112), HX_LX610(120), HX_LX610(121), HX_LX610(122),
    HX_LX610(200), HX_LX610(201), HX_LX610(202), HX_LX610(210), HX_LX610(211), HX_LX610(212),
    HX_LX610(220), HX_LX610(221), HX_LX610(222),
};
#undef HX_LX610
const std::vector<RoutingCase> kLX150 = {
    {"00", postprocessLX150_00}, {"10", postprocessLX150_10}, {"11", postprocessLX150_11}};

std::vector<int32_t> routeModel(const std::string& digits, std::vector<int32_t> v,
                                std::size_t count) {
    const std::size_t c = 2 * digits.size();
    for (std::size_t f = 0; f < count / c; ++f) {
        const std::vector<int32_t> in(v.begin() + f * c, v.begin() + (f + 1) * c);
        for (std::size_t k = 0; k < digits.size(); ++k) {
            const std::size_t src = std::size_t(digits[k] - '0');
            v[f * c + 2 * k] = in[2 * src];
            v[f * c + 2 * k + 1] = in[2 * src + 1];
        }
    }
    return v;
}

std::vector<int32_t> ramp(std::size_t n) {
    std::vector<int32_t> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

TEST(PostProcess, EveryRoutingMemberMovesPairsAsItsDigitsSay) {
    for (const auto* family : {&kLX610, &kLX150}) {
        for (const RoutingCase& rc : *family) {
            SCOPED_TRACE(rc.suffix);
            const std::size_t c = 2 * rc.suffix.size();
            for (std::size_t count = 0; count <= 3 * c + 1; ++count) {
                std::vector<int32_t> v = ramp(4 * c);
                rc.fn(v.data(), u_int32_t(count));
                ASSERT_EQ(v, routeModel(rc.suffix, ramp(4 * c), count)) << "count " << count;
            }
            rc.fn(nullptr, 12); // nothing happens, nothing faults
        }
    }
}

TEST(PostProcess, DocumentedRoutingExamples) {
    auto v = ramp(12);
    postprocessLX610_120(v.data(), 12);
    EXPECT_EQ(v, (std::vector<int32_t>{2, 3, 4, 5, 0, 1, 8, 9, 10, 11, 6, 7}));
    v = ramp(8);
    postprocessLX610_000(v.data(), 5);
    EXPECT_EQ(v, ramp(8));
    postprocessLX610_000(v.data(), 7);
    EXPECT_EQ(v, (std::vector<int32_t>{0, 1, 0, 1, 0, 1, 6, 7}));
    v = ramp(8);
    postprocessLX150_11(v.data(), 8);
    EXPECT_EQ(v, (std::vector<int32_t>{2, 3, 2, 3, 6, 7, 6, 7}));
    v = ramp(8);
    postprocessLX150_11(v.data(), 3);
    EXPECT_EQ(v, ramp(8));
}

TEST(PostProcess, SilencingFixesZeroTheirChannelsInWholeFramesOnly) {
    struct Case {
        const char* name;
        INPUT_POSTPROCESS_FNC fn;
        u_int32_t count;
        std::vector<int> zeroed;
    };
    const Case cases[] = {
        {"KSV0 count 7 samples", postprocessKSV0BugFix, 7, {2, 3}},
        {"KSV0 count 3 samples", postprocessKSV0BugFix, 3, {}},
        {"LX420_4 count 3 frames", postprocessLX420_4_BugFix, 3, {2, 3, 6, 7, 10, 11}},
        {"LX420_6 count 2 frames", postprocessLX420_6_BugFix, 2, {2, 3, 8, 9}},
        {"LX420_4 count 0", postprocessLX420_4_BugFix, 0, {}},
        {"Pellix count 12 samples", postprocessPellixBugFix, 12, {4, 5, 10, 11}},
        {"Pellix count 17 samples", postprocessPellixBugFix, 17, {4, 5, 10, 11}},
        {"Pellix count 5 samples", postprocessPellixBugFix, 5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> v(24);
        std::iota(v.begin(), v.end(), 100);
        c.fn(v.data(), c.count);
        for (int i = 0; i < 24; ++i) {
            const bool zero = std::find(c.zeroed.begin(), c.zeroed.end(), i) != c.zeroed.end();
            EXPECT_EQ(v[i], zero ? 0 : 100 + i) << "sample " << i;
        }
        c.fn(nullptr, c.count);
    }
}

} // namespace
