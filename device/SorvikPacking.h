// Sorvik channel packing of 32-bit samples, in place, frame by frame: the
// audio thread packs output before the device takes it and unpacks input
// after it comes, every cycle. Only the first 16 channels of a frame can be
// in use (the usage lists' length); channels past them are silent.
//
// Two ways to move a frame's channels: plain loops (any processor), and
// 256-bit shuffles on processors that have them (chosen at run time).
// Both give the same samples; tests run each against the layout.
#pragma once

#include <cstdint>

namespace sorvikpacking {

enum class Path {
    Best,   // the shuffles where the processor has them, else the loops
    Scalar, // the plain loops
    Vector, // the 256-bit shuffles (only where vectorPathAvailable())
};

bool vectorPathAvailable();

// The samples of the channels in use move, in channel order, to the front
// of each frame; the rest of the frame is zeroed.
void pack(int32_t* samples, uint32_t channels, uint32_t frames, const bool usage[16],
          Path path = Path::Best);
// The packed samples go, in order, to the channels in use; the others get 0.
void unpack(int32_t* samples, uint32_t channels, uint32_t frames, const bool usage[16],
            Path path = Path::Best);

} // namespace sorvikpacking
