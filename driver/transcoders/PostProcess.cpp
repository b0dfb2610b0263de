// Input post-processors. Real-time path: one pass of whole-sample moves, no
// branch inside the frame loop, no allocation, no lock, no logging.
#include "driver/transcoders/PostProcess.h"

#include <cstddef>

namespace {

// Frames of 2 x sizeof...(Digits) samples, count in samples; Digits[k] names
// the source pair of output pair k.
template <unsigned... Digits> void route(int32_t* samples, u_int32_t count) {
    constexpr unsigned kPairs = sizeof...(Digits);
    constexpr unsigned kDigits[] = {Digits...};
    constexpr unsigned kC = 2 * kPairs;
    if (samples == nullptr) return;
    const std::size_t frames = count / kC;
    for (std::size_t f = 0; f < frames; ++f, samples += kC) {
        int32_t in[kC];
        for (unsigned i = 0; i < kC; ++i)
            in[i] = samples[i];
        for (unsigned k = 0; k < kPairs; ++k) {
            // Pairs routed to themselves are left alone.
            if (kDigits[k] != k) {
                samples[2 * k] = in[2 * kDigits[k]];
                samples[2 * k + 1] = in[2 * kDigits[k] + 1];
            }
        }
    }
}

// Zeros channels First and First+1 of frames of C samples.
template <unsigned C, unsigned First> void silence(int32_t* samples, std::size_t frames) {
    for (std::size_t f = 0; f < frames; ++f, samples += C) {
        samples[First] = 0;
        samples[First + 1] = 0;
    }
}

} // namespace

extern "C" {

#define HX_DEFINE_LX610(a, b, c)                                                                   \
    void postprocessLX610_##a##b##c(int32_t* samples, u_int32_t count) {                           \
        route<a, b, c>(samples, count);                                                            \
    }
HX_DEFINE_LX610(0, 0, 0);
HX_DEFINE_LX610(0, 0, 1);
HX_DEFINE_LX610(0, 0, 2);
HX_DEFINE_LX610(0, 1, 0);
HX_DEFINE_LX610(0, 1, 1);
HX_DEFINE_LX610(0, 2, 0);
HX_DEFINE_LX610(0, 2, 1);
HX_DEFINE_LX610(0, 2, 2);
HX_DEFINE_LX610(1, 0, 0);
HX_DEFINE_LX610(1, 0, 1);
HX_DEFINE_LX610(1, 0, 2);
HX_DEFINE_LX610(1, 1, 0);
HX_DEFINE_LX610(1, 1, 1);
HX_DEFINE_LX610(1, 1, 2);
HX_DEFINE_LX610(1, 2, 0);
HX_DEFINE_LX610(1, 2, 1);
HX_DEFINE_LX610(1, 2, 2);
HX_DEFINE_LX610(2, 0, 0);
HX_DEFINE_LX610(2, 0, 1);
HX_DEFINE_LX610(2, 0, 2);
HX_DEFINE_LX610(2, 1, 0);
HX_DEFINE_LX610(2, 1, 1);
HX_DEFINE_LX610(2, 1, 2);
HX_DEFINE_LX610(2, 2, 0);
HX_DEFINE_LX610(2, 2, 1);
HX_DEFINE_LX610(2, 2, 2);
#undef HX_DEFINE_LX610

// Every pair routed to itself: nothing to do.
void postprocessLX610_012(int32_t*, u_int32_t) {}

void postprocessLX150_00(int32_t* samples, u_int32_t count) {
    route<0, 0>(samples, count);
}
void postprocessLX150_10(int32_t* samples, u_int32_t count) {
    route<1, 0>(samples, count);
}
void postprocessLX150_11(int32_t* samples, u_int32_t count) {
    route<1, 1>(samples, count);
}

void postprocessPellixBugFix(int32_t* samples, u_int32_t count) {
    if (samples != nullptr) silence<6, 4>(samples, count / 6);
}

void postprocessKSV0BugFix(int32_t* samples, u_int32_t count) {
    if (samples != nullptr) silence<4, 2>(samples, count / 4);
}

void postprocessLX420_4_BugFix(int32_t* samples, u_int32_t count) {
    if (samples != nullptr) silence<4, 2>(samples, count);
}

void postprocessLX420_6_BugFix(int32_t* samples, u_int32_t count) {
    if (samples != nullptr) silence<6, 2>(samples, count);
}

} // extern "C"
