#include "plugins/server/QnASSamplePacking.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define QNAS_SAMPLE_SHUFFLES 1
#endif

namespace qnas::samples {

namespace {

// ---- The plain loops

template <int B> void packScalar(const int32_t* in, uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    if constexpr (B == 3 && std::endian::native == std::endian::little) {
        // Four samples into three words at a time.
        for (; i + 4 <= n; i += 4) {
            const uint32_t a = uint32_t(in[i]) >> 8, b = uint32_t(in[i + 1]) >> 8;
            const uint32_t c = uint32_t(in[i + 2]) >> 8, e = uint32_t(in[i + 3]) >> 8;
            const uint32_t w[3] = {a | b << 24, b >> 8 | c << 16, c >> 16 | e << 8};
            std::memcpy(out + i * 3, w, sizeof w);
        }
    }
    for (; i < n; ++i)
        putSample<B>(out + i * B, uint32_t(in[i]));
}

template <int B> void unpackScalar(const uint8_t* in, int32_t* out, std::size_t n) {
    std::size_t i = 0;
    if constexpr (B == 3 && std::endian::native == std::endian::little) {
        // Three words into four samples at a time.
        for (; i + 4 <= n; i += 4) {
            uint32_t w[3];
            std::memcpy(w, in + i * 3, sizeof w);
            out[i] = int32_t(w[0] << 8);
            out[i + 1] = int32_t((w[0] >> 24 | w[1] << 8) << 8);
            out[i + 2] = int32_t((w[1] >> 16 | w[2] << 16) << 8);
            out[i + 3] = int32_t(w[2] & 0xFFFFFF00u);
        }
    }
    for (; i < n; ++i)
        out[i] = int32_t(getSample<B>(in + i * B));
}

#ifdef QNAS_SAMPLE_SHUFFLES

#define QNAS_SSSE3 __attribute__((target("ssse3")))
#define QNAS_AVX2 __attribute__((target("avx2")))

inline __m128i load128(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store128(void* p, __m128i v) {
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// ---- 128-bit shuffles. Whole groups only (16 samples for 3 bytes, 8 for
// 2): every load and store lies inside the group's bytes; the plain loops
// finish the rest.

// Four samples' top three bytes to the register's first 12 bytes.
QNAS_SSSE3 inline __m128i narrow3(__m128i v) {
    return _mm_shuffle_epi8(v,
                            _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1));
}
// The register's first 12 bytes (four packed samples) to four samples.
QNAS_SSSE3 inline __m128i widen3(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
}

QNAS_SSSE3 std::size_t pack3Ssse3(const int32_t* in, uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i a = narrow3(load128(in + i)), b = narrow3(load128(in + i + 4));
        const __m128i c = narrow3(load128(in + i + 8)), d = narrow3(load128(in + i + 12));
        uint8_t* o = out + 3 * i;
        store128(o, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        store128(o + 16, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        store128(o + 32, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    return i;
}

QNAS_SSSE3 std::size_t unpack3Ssse3(const uint8_t* in, int32_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const uint8_t* p = in + 3 * i;
        const __m128i x0 = load128(p), x1 = load128(p + 16), x2 = load128(p + 32);
        store128(out + i, widen3(x0));
        store128(out + i + 4, widen3(_mm_alignr_epi8(x1, x0, 12)));
        store128(out + i + 8, widen3(_mm_alignr_epi8(x2, x1, 8)));
        store128(out + i + 12, widen3(_mm_srli_si128(x2, 4)));
    }
    return i;
}

QNAS_SSSE3 std::size_t pack2Ssse3(const int32_t* in, uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    // The top halves, shifted down, fit 16 bits: the saturating pack is exact.
    for (; i + 8 <= n; i += 8)
        store128(out + 2 * i, _mm_packs_epi32(_mm_srai_epi32(load128(in + i), 16),
                                              _mm_srai_epi32(load128(in + i + 4), 16)));
    return i;
}

QNAS_SSSE3 std::size_t unpack2Ssse3(const uint8_t* in, int32_t* out, std::size_t n) {
    std::size_t i = 0;
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i v = load128(in + 2 * i);
        store128(out + i, _mm_unpacklo_epi16(zero, v));
        store128(out + i + 4, _mm_unpackhi_epi16(zero, v));
    }
    return i;
}

// ---- 256-bit shuffles, the same way in wider groups.

QNAS_AVX2 inline __m256i load256(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
QNAS_AVX2 inline void store256(void* p, __m256i v) {
    _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

// Eight samples' top three bytes to the register's first 24 bytes.
QNAS_AVX2 inline __m256i narrow3x8(__m256i v) {
    const __m256i bytes = _mm256_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1,
                                           1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1);
    return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, bytes),
                                       _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

QNAS_AVX2 std::size_t pack3Avx2(const int32_t* in, uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i a = narrow3x8(load256(in + i)), b = narrow3x8(load256(in + i + 8));
        const __m256i c = narrow3x8(load256(in + i + 16)), d = narrow3x8(load256(in + i + 24));
        uint8_t* o = out + 3 * i;
        // Each group's 24 bytes, then the next group's over the 8 left over;
        // the last group's 24 bytes end the run exactly.
        store256(o, a);
        store256(o + 24, b);
        store256(o + 48, c);
        store128(o + 72, _mm256_castsi256_si128(d));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 88), _mm256_extracti128_si256(d, 1));
    }
    return i;
}

QNAS_AVX2 std::size_t unpack3Avx2(const uint8_t* in, int32_t* out, std::size_t n) {
    // Samples 0-3 from the low lane's bytes 0-11; samples 4-7 from the high
    // lane, loaded from byte 8, at its bytes 4-15: 24 bytes read, no more.
    const __m256i bytes = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                           4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint8_t* p = in + 3 * i;
        const __m256i v =
            _mm256_inserti128_si256(_mm256_castsi128_si256(load128(p)), load128(p + 8), 1);
        store256(out + i, _mm256_shuffle_epi8(v, bytes));
    }
    return i;
}

QNAS_AVX2 std::size_t pack2Avx2(const int32_t* in, uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        // Per lane: a's four, b's four; the quarters put back in order.
        const __m256i v = _mm256_packs_epi32(_mm256_srai_epi32(load256(in + i), 16),
                                             _mm256_srai_epi32(load256(in + i + 8), 16));
        store256(out + 2 * i, _mm256_permute4x64_epi64(v, 0xD8));
    }
    return i;
}

QNAS_AVX2 std::size_t unpack2Avx2(const uint8_t* in, int32_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        store256(out + i, _mm256_slli_epi32(_mm256_cvtepu16_epi32(load128(in + 2 * i)), 16));
    return i;
}

bool detect(const char* feature) {
    __builtin_cpu_init();
    if (feature[0] == 'a') return __builtin_cpu_supports("avx2");
    return __builtin_cpu_supports("ssse3");
}

#endif // QNAS_SAMPLE_SHUFFLES

// The path a request resolves to on this processor.
Path resolve(Path path) {
    if (path == Path::Best) {
        if (available(Path::Avx2)) return Path::Avx2;
        if (available(Path::Ssse3)) return Path::Ssse3;
        return Path::Scalar;
    }
    return available(path) ? path : Path::Scalar;
}

} // namespace

bool available(Path path) {
#ifdef QNAS_SAMPLE_SHUFFLES
    static const bool ssse3 = detect("ssse3");
    static const bool avx2 = detect("avx2");
    switch (path) {
    case Path::Ssse3:
        return ssse3;
    case Path::Avx2:
        return avx2;
    default:
        return true;
    }
#else
    return path == Path::Scalar || path == Path::Best;
#endif
}

void pack(int B, const int32_t* in, uint8_t* out, std::size_t count, Path path) {
    std::size_t done = 0;
    [[maybe_unused]] const Path p = resolve(path);
    if (B == 3) {
#ifdef QNAS_SAMPLE_SHUFFLES
        if (p == Path::Avx2) done = pack3Avx2(in, out, count);
        if (p != Path::Scalar) done += pack3Ssse3(in + done, out + 3 * done, count - done);
#endif
        packScalar<3>(in + done, out + 3 * done, count - done);
    } else if (B == 2) {
#ifdef QNAS_SAMPLE_SHUFFLES
        if (p == Path::Avx2) done = pack2Avx2(in, out, count);
        if (p != Path::Scalar) done += pack2Ssse3(in + done, out + 2 * done, count - done);
#endif
        packScalar<2>(in + done, out + 2 * done, count - done);
    }
}

void unpack(int B, const uint8_t* in, int32_t* out, std::size_t count, Path path) {
    std::size_t done = 0;
    [[maybe_unused]] const Path p = resolve(path);
    if (B == 3) {
#ifdef QNAS_SAMPLE_SHUFFLES
        if (p == Path::Avx2) done = unpack3Avx2(in, out, count);
        if (p != Path::Scalar) done += unpack3Ssse3(in + 3 * done, out + done, count - done);
#endif
        unpackScalar<3>(in + 3 * done, out + done, count - done);
    } else if (B == 2) {
#ifdef QNAS_SAMPLE_SHUFFLES
        if (p == Path::Avx2) done = unpack2Avx2(in, out, count);
        if (p != Path::Scalar) done += unpack2Ssse3(in + 2 * done, out + done, count - done);
#endif
        unpackScalar<2>(in + 2 * done, out + done, count - done);
    }
}

} // namespace qnas::samples
