#include "device/AudioChannelMap.h"

#include <cmath>
#include <cstring>

namespace {

// The largest float below 1.0: full scale without wrapping past 2^31.
constexpr float kBelowOne = 0x1.fffffep-1f;

inline float clampUnit(float x) {
    if (std::isnan(x)) return 0.0f;
    if (x >= 1.0f) return kBelowOne;
    if (x < -1.0f) return -1.0f;
    return x;
}

template <class Fn> void inPlace(void* buf, uint32_t ch, uint32_t frames, Fn fn) {
    if (!buf || !ch || !frames) return;
    auto* p = static_cast<uint8_t*>(buf);
    const size_t n = size_t(ch) * frames;
    for (size_t i = 0; i < n; ++i) {
        // Each word is read as one type and written as the other.
        fn(p + 4 * i);
    }
}

// Clamped floats in place to integers of full scale `scale`.
void floatToScaledInt(void* buf, uint32_t ch, uint32_t frames, double scale) {
    inPlace(buf, ch, frames, [scale](uint8_t* w) {
        float x;
        std::memcpy(&x, w, 4);
        const int32_t v = int32_t(double(clampUnit(x)) * scale);
        std::memcpy(w, &v, 4);
    });
}

} // namespace

void audioMapChannelsSet(const int32_t* src, uint32_t srcCh, int32_t* dst, uint32_t dstCh,
                         uint32_t frames) {
    if (!src || !dst) return;
    const uint32_t n = srcCh < dstCh ? srcCh : dstCh;
    if (srcCh == dstCh) {
        std::memcpy(dst, src, size_t(frames) * srcCh * 4);
        return;
    }
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < n; ++c)
            dst[size_t(f) * dstCh + c] = src[size_t(f) * srcCh + c];
}

void audioMapChannelsAdd(const int32_t* src, uint32_t srcCh, int32_t* dst, uint32_t dstCh,
                         uint32_t frames) {
    if (!src || !dst) return;
    const uint32_t n = srcCh < dstCh ? srcCh : dstCh;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < n; ++c) {
            int32_t& d = dst[size_t(f) * dstCh + c];
            d = int32_t(uint32_t(d) + uint32_t(src[size_t(f) * srcCh + c]));
        }
}

void convertIntToFloat(const int32_t* src, uint32_t srcCh, float* dst, uint32_t dstCh,
                       uint32_t frames) {
    if (!src || !dst) return;
    const uint32_t n = srcCh < dstCh ? srcCh : dstCh;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < n; ++c)
            dst[size_t(f) * dstCh + c] =
                float(double(float(src[size_t(f) * srcCh + c])) / kIntToFloatScale);
}

void audioConvertFloatToSInt32(void* buf, uint32_t ch, uint32_t frames) {
    floatToScaledInt(buf, ch, frames, 2147483648.0);
}

void audioConvertFloatToSInt32LowAligned(void* buf, uint32_t ch, uint32_t frames) {
    floatToScaledInt(buf, ch, frames, 8388608.0);
}

void audioConvertSint32ToSInt32LowAligned(void* buf, uint32_t ch, uint32_t frames) {
    inPlace(buf, ch, frames, [](uint8_t* w) {
        int32_t v;
        std::memcpy(&v, w, 4);
        v /= 256;
        std::memcpy(w, &v, 4);
    });
}
