// The user-space sample transcoders: packed 16-bit, packed 24-bit or 32-bit
// left-aligned samples to 32-bit words holding 24-bit audio right-aligned,
// or back, and channel-selecting members that keep the first M channels of
// frames of N (6 or 12) channels.
//
// Every function has the ring copy form (destination, source, count) and
// returns the samples (or, for the channel-selecting members, the frames)
// it produced. count is always the number of destination samples. The 32-bit
// channel-selecting members are handed to the ring transfers as copy
// functions, so they also exist with the AudioCopyFunc signature.
//
// Real-time path: no allocation, no lock, no logging.
#pragma once

#include <cstdint>

// Plain converters: count samples.
uint32_t audioInt16to32Copy(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32Copy(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt32to16Copy(uint8_t* dst, const int32_t* src, uint32_t count);
uint32_t audioInt32to24Copy(uint8_t* dst, const int32_t* src, uint32_t count);

// Channel-selecting members of 32-bit left-aligned sources (arithmetic shift
// right by 8): the destination's count samples are cleared, then count / M
// frames are filled from the first M samples of each N-sample source frame.
// Returns the frames written. These have the ring copy-function signature.
void audioInt32CopyShift6To0(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift6To1(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift6To2(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift6To3(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift6To4(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift6To5(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To0(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To2(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To4(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To6(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To8(int32_t* dst, const int32_t* src, uint32_t count);
void audioInt32CopyShift12To10(int32_t* dst, const int32_t* src, uint32_t count);

// The frame-counting form of the 32-bit members (the same work).
uint32_t audioInt32CopyShiftSelect(int32_t* dst, const int32_t* src, uint32_t count, uint32_t n,
                                   uint32_t m);

// Channel-selecting members of packed 16- and 24-bit sources.
uint32_t audioInt16to32CopyShift6To2(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift6To4(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift12To2(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift12To4(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift12To6(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift12To8(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt16to32CopyShift12To10(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift6To2(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift6To4(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift12To2(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift12To4(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift12To6(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift12To8(int32_t* dst, const uint8_t* src, uint32_t count);
uint32_t audioInt24to32CopyShift12To10(int32_t* dst, const uint8_t* src, uint32_t count);
