// Input post-processors: per-model fix-ups applied in place to freshly
// decoded ring samples.
//
// Routing members (postprocessLX610_abc, postprocessLX150_ab): output pair k
// of every frame becomes a copy of input pair digit k; all reads of a frame
// come before its writes. Silencing members zero two channels of every
// frame. Members on the bulk input path count samples (frames = count / C),
// the LX420 members on the isochronous path count frames. A null buffer or
// less than one whole frame does nothing; samples after the last whole frame
// are never touched.
//
// Real-time path: no allocation, no lock, no logging.
#pragma once

#include <cstdint>
#include <sys/types.h>

typedef void (*INPUT_POSTPROCESS_FNC)(int32_t* samples, u_int32_t count);

extern "C" {

#define HX_DECLARE_LX610(abc) void postprocessLX610_##abc(int32_t* samples, u_int32_t count)
HX_DECLARE_LX610(000);
HX_DECLARE_LX610(001);
HX_DECLARE_LX610(002);
HX_DECLARE_LX610(010);
HX_DECLARE_LX610(011);
HX_DECLARE_LX610(012);
HX_DECLARE_LX610(020);
HX_DECLARE_LX610(021);
HX_DECLARE_LX610(022);
HX_DECLARE_LX610(100);
HX_DECLARE_LX610(101);
HX_DECLARE_LX610(102);
HX_DECLARE_LX610(110);
HX_DECLARE_LX610(111);
HX_DECLARE_LX610(112);
HX_DECLARE_LX610(120);
HX_DECLARE_LX610(121);
HX_DECLARE_LX610(122);
HX_DECLARE_LX610(200);
HX_DECLARE_LX610(201);
HX_DECLARE_LX610(202);
HX_DECLARE_LX610(210);
HX_DECLARE_LX610(211);
HX_DECLARE_LX610(212);
HX_DECLARE_LX610(220);
HX_DECLARE_LX610(221);
HX_DECLARE_LX610(222);
#undef HX_DECLARE_LX610

void postprocessLX150_00(int32_t* samples, u_int32_t count);
void postprocessLX150_10(int32_t* samples, u_int32_t count);
void postprocessLX150_11(int32_t* samples, u_int32_t count);

// count in samples, 6-channel frames: channels 4 and 5 silenced.
void postprocessPellixBugFix(int32_t* samples, u_int32_t count);
// count in samples, 4-channel frames: channels 2 and 3 silenced.
void postprocessKSV0BugFix(int32_t* samples, u_int32_t count);
// count in frames, 4-channel frames: channels 2 and 3 silenced.
void postprocessLX420_4_BugFix(int32_t* samples, u_int32_t count);
// count in frames, 6-channel frames: channels 2 and 3 silenced.
void postprocessLX420_6_BugFix(int32_t* samples, u_int32_t count);

} // extern "C"
