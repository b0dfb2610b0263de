// Output mixers. Real-time path: no allocation, no lock, no logging.
//
// Products, sums and the final shift run in unsigned 32-bit arithmetic, so
// the wrap-around the device expects of large gains is well defined here.
#include "driver/transcoders/OutMixer.h"

namespace {

// One term of the mix: (x / d) * n, halved toward zero. Request handling may
// replace the fraction tables at any time, so each field is read exactly
// once: the denominator checked is the denominator used.
inline uint32_t halfTerm(int32_t x, const QN_Fraction& f) {
    const int32_t d = *static_cast<const volatile int32_t*>(&f.nDenominator);
    const int32_t n = *static_cast<const volatile int32_t*>(&f.nNumerator);
    if (d == 0) return 0;
    // x holds 24 bits, so x / -1 cannot overflow.
    const uint32_t product = uint32_t(x / d) * uint32_t(n);
    return uint32_t(int32_t(product) / 2);
}

template <unsigned C>
u_int32_t mix(u_int32_t* frames, u_int32_t count, const QN_Fraction* left, const QN_Fraction* right,
              const char* routing) {
    constexpr unsigned kPairs = C / 2;
    if (count == 0 || frames == nullptr || left == nullptr || right == nullptr ||
        routing == nullptr)
        return 0;

    // The routing matrix is sampled once a call.
    unsigned char route[kPairs];
    for (unsigned k = 0; k < kPairs; ++k)
        route[k] = static_cast<unsigned char>(*static_cast<const volatile char*>(&routing[k]));

    for (u_int32_t f = 0; f < count; ++f, frames += C) {
        int32_t x[C];
        for (unsigned i = 0; i < C; ++i)
            x[i] = int32_t(frames[i]) >> 8;
        uint32_t sumL = 0, sumR = 0;
        for (unsigned i = 0; i < C; ++i) {
            sumL += halfTerm(x[i], left[i]);
            sumR += halfTerm(x[i], right[i]);
        }
        const uint32_t mixL = sumL * 2u, mixR = sumR * 2u;

        for (unsigned k = 0; k < kPairs; ++k) {
            uint32_t l = 0, r = 0;
            unsigned source = route[k];
            if (C == 2 && source != 0)
                source = 1; // the stereo mixer passes pair 0 for any nonzero byte
            if (source == 0) {
                l = mixL;
                r = mixR;
            } else if (source <= kPairs) {
                l = uint32_t(x[2 * (source - 1)]);
                r = uint32_t(x[2 * (source - 1) + 1]);
            }
            frames[2 * k] = l << 8;
            frames[2 * k + 1] = r << 8;
        }
    }
    return 0;
}

} // namespace

extern "C" {

u_int32_t outMixer2CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing) {
    return mix<2>(frames, count, left, right, routing);
}

u_int32_t outMixer4CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing) {
    return mix<4>(frames, count, left, right, routing);
}

u_int32_t outMixer6CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing) {
    return mix<6>(frames, count, left, right, routing);
}

} // extern "C"
