// Channel mapping and sample conversion between the rings' 32-bit integer
// frames and the IO procedures' buffers. Source and destination channel
// counts may differ: only the smaller number of channels is touched per
// frame, the rest of a destination frame stays as it was. Every function does
// nothing for a null buffer; the in-place ones also for 0 channels or frames.
//
// Real-time path: no allocation, no lock, no logging.
#pragma once

#include <cstdint>

void audioMapChannelsSet(const int32_t* src, uint32_t srcCh, int32_t* dst, uint32_t dstCh,
                         uint32_t frames);
// dst += src, 32-bit wrap-around.
void audioMapChannelsAdd(const int32_t* src, uint32_t srcCh, int32_t* dst, uint32_t dstCh,
                         uint32_t frames);
// dst = (float) src / 2,147,483,520.0 (the largest float below 2^31).
void convertIntToFloat(const int32_t* src, uint32_t srcCh, float* dst, uint32_t dstCh,
                       uint32_t frames);
// In place, float to int: x is first clamped to [-1.0, 1.0) (NaN gives 0),
// then (int) (x x 2^31), truncated toward zero.
void audioConvertFloatToSInt32(void* buf, uint32_t ch, uint32_t frames);
// The same to 24-bit right-aligned: (int) (x x 8,388,608).
void audioConvertFloatToSInt32LowAligned(void* buf, uint32_t ch, uint32_t frames);
// In place: x / 256, toward zero (24-bit right-aligned).
void audioConvertSint32ToSInt32LowAligned(void* buf, uint32_t ch, uint32_t frames);

// The scale of convertIntToFloat.
inline constexpr double kIntToFloatScale = 2147483520.0;
