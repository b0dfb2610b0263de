#include "device/UserTranscoders.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_TRANSCODERS_SSSE3 1
#else
#define HX_TRANSCODERS_SSSE3 0
#endif

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

#if HX_TRANSCODERS_SSSE3
// The packed 24-bit paths move four samples per byte shuffle where the
// processor has one (checked once); the scalar loops finish what is left.
const bool kByteShuffle = __builtin_cpu_supports("ssse3");

// Four packed samples (12 of the 16 bytes read) to four left-aligned words.
__attribute__((target("ssse3"))) inline __m128i widen24x4(const uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_shuffle_epi8(v, _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
}

// Groups of four while the 16-byte read stays inside the count's bytes
// (3i + 16 <= 3 count). Returns the samples converted.
template <bool RightAlign>
__attribute__((target("ssse3"))) uint32_t widen24Run(int32_t* dst, const uint8_t* src,
                                                     uint32_t count) {
    uint32_t i = 0;
    for (; i + 6 <= count; i += 4) {
        __m128i w = widen24x4(src + 3 * size_t(i));
        if constexpr (RightAlign) w = _mm_srai_epi32(w, 8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), w);
    }
    return i;
}

// Groups of four; each 16-byte store's last 4 bytes are rewritten by the
// next group or the scalar tail, and stay inside the count's bytes.
__attribute__((target("ssse3"))) uint32_t narrow24Run(uint8_t* dst, const int32_t* src,
                                                      uint32_t count) {
    const __m128i mask = _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1);
    uint32_t i = 0;
    for (; i + 6 <= count; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * size_t(i)),
                         _mm_shuffle_epi8(v, mask));
    }
    return i;
}

// One frame's first M samples of a packed 24-bit frame of N, right-aligned.
// A 16-byte read at channel c (c + 4 <= M <= N - 2) ends before the frame.
template <uint32_t N, uint32_t M>
__attribute__((target("ssse3"))) uint32_t select24Run(int32_t* dst, const uint8_t* src,
                                                      uint32_t frames) {
    static_assert(M + 2 <= N, "the wide read would pass the frame");
    uint32_t f = 0;
    if constexpr (M == 2) {
        // Two frames' pairs per store (a scalar loop here is vectorized
        // across frames by the compiler, and much slower).
        for (; f + 2 <= frames; f += 2) {
            const uint8_t* in = src + size_t(f) * N * 3;
            const __m128i w = _mm_setr_epi32(from24Wide(in), from24Wide(in + 3),
                                             from24Wide(in + N * 3), from24Wide(in + N * 3 + 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size_t(f) * 2), _mm_srai_epi32(w, 8));
        }
    }
    for (; f < frames; ++f) {
        const uint8_t* in = src + size_t(f) * N * 3;
        int32_t* out = dst + size_t(f) * M;
        uint32_t c = 0;
        for (; c + 4 <= M; c += 4)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c),
                             _mm_srai_epi32(widen24x4(in + 3 * c), 8));
        for (; c < M; ++c)
            out[c] = rightAlign(from24Wide(in + 3 * c));
    }
    return frames;
}
#else
constexpr bool kByteShuffle = false;
#endif

#if defined(__SSE2__)
// One frame's first M samples of a packed 16-bit frame of N, right-aligned,
// four (then two) at a time: each sample moves to a word's high half, then
// shifts down by 8. Reads end at channel M, inside the frame.
template <uint32_t N, uint32_t M>
void select16Run(int32_t* dst, const uint8_t* src, uint32_t frames) {
    static_assert(M % 2 == 0, "pairs of channels");
    const __m128i zero = _mm_setzero_si128();
    uint32_t f = 0;
    if constexpr (M == 2) {
        // Two frames' pairs per store (a scalar loop here is vectorized
        // across frames by the compiler, and much slower).
        for (; f + 2 <= frames; f += 2) {
            const uint8_t* in = src + size_t(f) * N * 2;
            uint32_t a, b;
            std::memcpy(&a, in, 4);
            std::memcpy(&b, in + N * 2, 4);
            const __m128i v =
                _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(a)), _mm_cvtsi32_si128(int(b)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size_t(f) * 2),
                             _mm_srai_epi32(_mm_unpacklo_epi16(zero, v), 8));
        }
    }
    for (; f < frames; ++f) {
        const uint8_t* in = src + size_t(f) * N * 2;
        int32_t* out = dst + size_t(f) * M;
        uint32_t c = 0;
        for (; c + 4 <= M; c += 4) {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 2 * c));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c),
                             _mm_srai_epi32(_mm_unpacklo_epi16(zero, v), 8));
        }
        for (; c < M; c += 2) {
            uint32_t pair;
            std::memcpy(&pair, in + 2 * c, 4);
            out[c] = int32_t(pair << 16) >> 8;
            out[c + 1] = int32_t(pair & 0xFFFF0000u) >> 8;
        }
    }
}
#endif

// N and M are constants of each member, so the inner loop unrolls. The
// destination's remainder (count mod M samples) is left at 0.
template <class Read, uint32_t Bytes, uint32_t N, uint32_t M>
uint32_t selectPacked(int32_t* dst, const uint8_t* src, uint32_t count) {
    const uint32_t frames = count / M;
#if HX_TRANSCODERS_SSSE3
    if constexpr (Bytes == 3) {
        if (kByteShuffle) {
            select24Run<N, M>(dst, src, frames);
            std::memset(dst + size_t(frames) * M, 0, size_t(count - frames * M) * 4);
            return frames;
        }
    }
#endif
#if defined(__SSE2__)
    if constexpr (Bytes == 2) {
        select16Run<N, M>(dst, src, frames);
        std::memset(dst + size_t(frames) * M, 0, size_t(count - frames * M) * 4);
        return frames;
    }
#endif
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
    uint32_t i = 0;
#if HX_TRANSCODERS_SSSE3
    if (kByteShuffle) i = widen24Run<false>(dst, src, count);
#endif
    for (; i + 1 < count; ++i)
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
    uint32_t i = 0;
#if HX_TRANSCODERS_SSSE3
    if (kByteShuffle) i = widen24Run<true>(dst, src, count);
#endif
    for (; i + 1 < count; ++i)
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
    uint32_t i = 0;
#if HX_TRANSCODERS_SSSE3
    if (kByteShuffle) i = narrow24Run(dst, src, count);
#endif
    for (; i < count; ++i) {
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
