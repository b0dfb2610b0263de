#include "device/UserTranscoders.h"

#include <cstring>

namespace {

// Little-endian packed samples to 32-bit left-aligned words.
inline int32_t from16(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 24);
}
inline int32_t from24(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
}
// Exact: the low byte of a left-aligned packed sample is 0, so the shift
// equals the division by 256.
inline int32_t rightAlign(int32_t v) {
    return v >> 8;
}
// Rounds toward minus infinity, unlike audioInt32CopyShift's division.
inline int32_t shift8(int32_t v) {
    return v >> 8;
}

struct Read16 {
    static int32_t at(const uint8_t* p) { return from16(p); }
};
// One 4-byte load where the byte after the sample is known to exist (every
// kept channel but a frame's last one is followed by more of the frame).
inline int32_t from24Wide(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return int32_t(v << 8);
}
struct Read24 {
    static int32_t at(const uint8_t* p) { return from24Wide(p); }
};

// N and M are constants of each member, so the inner loop unrolls. The
// destination's remainder (count mod M samples) is left at 0.
template <class Read, uint32_t Bytes, uint32_t N, uint32_t M>
uint32_t selectPacked(int32_t* dst, const uint8_t* src, uint32_t count) {
    const uint32_t frames = count / M;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < M; ++c)
            dst[f * M + c] = rightAlign(Read::at(src + (size_t(f) * N + c) * Bytes));
    std::memset(dst + size_t(frames) * M, 0, size_t(count - frames * M) * 4);
    return frames;
}

template <uint32_t N, uint32_t M>
uint32_t select32(int32_t* dst, const int32_t* src, uint32_t count) {
    if constexpr (M == 0) {
        std::memset(dst, 0, size_t(count) * 4);
        return 0;
    } else {
        const uint32_t frames = count / M;
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < M; ++c)
                dst[f * M + c] = shift8(src[size_t(f) * N + c]);
        std::memset(dst + size_t(frames) * M, 0, size_t(count - frames * M) * 4);
        return frames;
    }
}

} // namespace

uint32_t audioInt16to32Copy(int32_t* dst, const uint8_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        dst[i] = from16(src + 2 * size_t(i));
    return count;
}

uint32_t audioInt24to32Copy(int32_t* dst, const uint8_t* src, uint32_t count) {
    for (uint32_t i = 0; i + 1 < count; ++i)
        dst[i] = from24Wide(src + 3 * size_t(i));
    if (count) dst[count - 1] = from24(src + 3 * size_t(count - 1));
    return count;
}

uint32_t audioInt16to32CopyShift(int32_t* dst, const uint8_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        dst[i] = rightAlign(from16(src + 2 * size_t(i)));
    return count;
}

uint32_t audioInt24to32CopyShift(int32_t* dst, const uint8_t* src, uint32_t count) {
    for (uint32_t i = 0; i + 1 < count; ++i)
        dst[i] = rightAlign(from24Wide(src + 3 * size_t(i)));
    if (count) dst[count - 1] = rightAlign(from24(src + 3 * size_t(count - 1)));
    return count;
}

uint32_t audioInt32to16Copy(uint8_t* dst, const int32_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t v = uint32_t(src[i]);
        dst[2 * size_t(i)] = uint8_t(v >> 16);
        dst[2 * size_t(i) + 1] = uint8_t(v >> 24);
    }
    return count;
}

uint32_t audioInt32to24Copy(uint8_t* dst, const int32_t* src, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t v = uint32_t(src[i]);
        dst[3 * size_t(i)] = uint8_t(v >> 8);
        dst[3 * size_t(i) + 1] = uint8_t(v >> 16);
        dst[3 * size_t(i) + 2] = uint8_t(v >> 24);
    }
    return count;
}

uint32_t audioInt32CopyShiftSelect(int32_t* dst, const int32_t* src, uint32_t count, uint32_t n,
                                   uint32_t m) {
    std::memset(dst, 0, size_t(count) * 4);
    if (m == 0) return 0;
    const uint32_t frames = count / m;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < m; ++c)
            dst[f * m + c] = shift8(src[size_t(f) * n + c]);
    return frames;
}

#define HX_SELECT32(N, M)                                                                          \
    void audioInt32CopyShift##N##To##M(int32_t* dst, const int32_t* src, uint32_t count) {         \
        select32<N, M>(dst, src, count);                                                           \
    }
HX_SELECT32(6, 0)
HX_SELECT32(6, 1)
HX_SELECT32(6, 2)
HX_SELECT32(6, 3)
HX_SELECT32(6, 4)
HX_SELECT32(6, 5)
HX_SELECT32(12, 0)
HX_SELECT32(12, 2)
HX_SELECT32(12, 4)
HX_SELECT32(12, 6)
HX_SELECT32(12, 8)
HX_SELECT32(12, 10)
#undef HX_SELECT32

#define HX_SELECT_PACKED(Prefix, Bytes, Read, N, M)                                                \
    uint32_t Prefix##N##To##M(int32_t* dst, const uint8_t* src, uint32_t count) {                  \
        return selectPacked<Read, Bytes, N, M>(dst, src, count);                                   \
    }
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 6, 2)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 6, 4)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 12, 2)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 12, 4)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 12, 6)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 12, 8)
HX_SELECT_PACKED(audioInt16to32CopyShift, 2, Read16, 12, 10)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 6, 2)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 6, 4)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 12, 2)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 12, 4)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 12, 6)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 12, 8)
HX_SELECT_PACKED(audioInt24to32CopyShift, 3, Read24, 12, 10)
#undef HX_SELECT_PACKED
