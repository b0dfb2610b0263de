// Output mixers: fold the computer's playback channels into one stereo mix
// by per-channel gain fractions, and route each output pair to that mix, to
// one playback pair unchanged, or to silence. In place, on count frames of
// 2, 4 or 6 ring samples.
//
// Real-time path: no allocation, no lock, no logging, no floating point.
// The arithmetic wraps modulo 2^32 like the device's own; a gain whose
// denominator is 0 (the whole-table store copies tables unchecked)
// contributes nothing rather than trapping.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "abi/QN_Fraction.h"

typedef u_int32_t (*OUT_MIXER_FNC)(u_int32_t* frames, u_int32_t count, QN_Fraction* left,
                                   QN_Fraction* right, char* routing);

extern "C" {

// routing byte k picks the source of output pair k: 0 the mix, n in
// 1..C/2 playback pair n-1, anything else silence (outMixer2CH: any nonzero
// byte passes pair 0 through). The result carries nothing.
u_int32_t outMixer2CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing);
u_int32_t outMixer4CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing);
u_int32_t outMixer6CH(u_int32_t* frames, u_int32_t count, QN_Fraction* left, QN_Fraction* right,
                      char* routing);

} // extern "C"
