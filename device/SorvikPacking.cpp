// Sorvik channel packing. Both directions are one layout change of every
// frame: channel c takes the frame's channel source[c], or silence when the
// source is past the usage lists or c is past the listed channels.
#include "device/SorvikPacking.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_SORVIK_VECTOR 1
#endif

namespace sorvikpacking {
namespace {

constexpr uint32_t kUsageEntries = 16;
constexpr uint8_t kSilent = 0xFF;

// ---- The plain loops: two neighbouring channels at a time (one 64-bit
// store per frame and pair). In place: packing only moves channels down, so
// it runs from the first pair up; unpacking only moves them up, so it runs
// from the last pair down. A pair reads both its sources before it stores.
// With the channel count known at compile time the stride is a constant.

inline int64_t sampleOrSilence(const int32_t* frame, uint32_t from) {
    return from < kUsageEntries ? int64_t(uint32_t(frame[from])) : 0;
}

// Channel c is the low half of the pair's store.
static_assert(std::endian::native == std::endian::little);

template <uint32_t N, bool Copy0, bool Copy1>
void movePairAs(int32_t* __restrict samples, uint32_t stride, uint32_t frames, uint32_t c,
                uint32_t from0, uint32_t from1) {
    if (N) stride = N;
    for (uint32_t f = 0; f < frames; ++f, samples += stride) {
        const uint64_t low = Copy0 ? uint32_t(samples[from0]) : 0;
        const uint64_t high = Copy1 ? uint32_t(samples[from1]) : 0;
        const uint64_t pair = low | high << 32;
        std::memcpy(samples + c, &pair, sizeof pair);
    }
}

template <uint32_t N>
void movePair(int32_t* samples, uint32_t stride, uint32_t frames, uint32_t c, uint32_t from0,
              uint32_t from1) {
    const bool copy0 = from0 < kUsageEntries, copy1 = from1 < kUsageEntries;
    if (copy0 && copy1) return movePairAs<N, true, true>(samples, stride, frames, c, from0, from1);
    if (copy0) return movePairAs<N, true, false>(samples, stride, frames, c, from0, from1);
    if (copy1) return movePairAs<N, false, true>(samples, stride, frames, c, from0, from1);
    movePairAs<N, false, false>(samples, stride, frames, c, from0, from1);
}

template <uint32_t N>
void moveSingle(int32_t* samples, uint32_t stride, uint32_t frames, uint32_t c, uint32_t from) {
    if (N) stride = N;
    for (uint32_t f = 0; f < frames; ++f, samples += stride)
        samples[c] = int32_t(sampleOrSilence(samples, from));
}

template <uint32_t N>
void moveChannels(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
                  uint32_t listed, bool upward) {
    auto from = [&](uint32_t c) { return c < listed ? uint32_t(source[c]) : kUsageEntries; };
    const uint32_t pairs = channels / 2;
    const bool odd = channels & 1;
    if (!upward && odd) moveSingle<N>(samples, channels, frames, channels - 1, from(channels - 1));
    for (uint32_t i = 0; i < pairs; ++i) {
        const uint32_t c = 2 * (upward ? i : pairs - 1 - i);
        const uint32_t from0 = from(c), from1 = from(c + 1);
        if (from0 != c || from1 != c + 1) movePair<N>(samples, channels, frames, c, from0, from1);
    }
    if (upward && odd) moveSingle<N>(samples, channels, frames, channels - 1, from(channels - 1));
}

using MoveFn = void (*)(int32_t*, uint32_t, uint32_t, const uint8_t*, uint32_t, bool);

template <size_t... N> constexpr auto makeMoves(std::index_sequence<N...>) {
    return std::array<MoveFn, sizeof...(N)>{&moveChannels<uint32_t(N)>...};
}

// Fixed-stride loops for 1..16 channels; index 0 takes any stride.
constexpr auto kMoves = makeMoves(std::make_index_sequence<kUsageEntries + 1>());

void moveScalar(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
                uint32_t listed, bool upward) {
    kMoves[channels <= kUsageEntries ? channels : 0](samples, channels, frames, source, listed,
                                                     upward);
}

#ifdef HX_SORVIK_VECTOR

// ---- The shuffles: a frame of up to 16 channels is two 8-lane registers,
// the low (channels 0..7) and the high (8..15), loaded whole before either
// is stored (so in place is safe, in either direction). Each output half is
// one permute of the register its sources are in (two and a blend when
// they are in both), then the silent lanes are cleared. Loads and stores
// cover exactly the frame's channels: frames never overlap.

struct Shuffle {
    alignas(32) int32_t index[2][8];    // the source lane within its register
    alignas(32) int32_t fromHigh[2][8]; // all ones: the source is in the high register
    alignas(32) int32_t keep[2][8];     // all ones: a sample; zero: silence
};

#define HX_AVX2 __attribute__((target("avx2")))

// The first L lanes (0..8) of a register from memory; the rest zero.
template <uint32_t L> HX_AVX2 inline __m256i loadLanes(const int32_t* p, __m256i mask) {
    if constexpr (L == 8)
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    else if constexpr (L == 0)
        return _mm256_setzero_si256();
    else
        return _mm256_maskload_epi32(p, mask);
}

// The first L lanes (1..8) to memory, nothing past them.
template <uint32_t L> HX_AVX2 inline void storeLanes(int32_t* p, __m256i v) {
    if constexpr (L == 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
        __m128i part = _mm256_castsi256_si128(v);
        constexpr uint32_t kQuad = L & 4, kPair = L & 2;
        if constexpr (kQuad) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), part);
            part = _mm256_extracti128_si256(v, 1);
        }
        if constexpr (kPair) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p + kQuad), part);
            part = _mm_srli_si128(part, 8);
        }
        if constexpr (L & 1) {
            const int32_t last = _mm_cvtsi128_si32(part);
            std::memcpy(p + kQuad + kPair, &last, sizeof last);
        }
    }
}

HX_AVX2 inline __m256i vec(const int32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

template <uint32_t L> HX_AVX2 inline __m256i laneMask() {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(int(L)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// N channels (1..16). LowFromHigh: some low lane's source is in the high
// register; HighFromLow: some high lane's source is in the low register.
template <uint32_t N, bool LowFromHigh, bool HighFromLow>
HX_AVX2 void moveFrames(int32_t* samples, uint32_t frames, const Shuffle& s) {
    constexpr uint32_t kLow = N < 8 ? N : 8, kHigh = N > 8 ? N - 8 : 0;
    const __m256i lowMask = laneMask<kLow>(), highMask = laneMask<kHigh>();
    const __m256i index0 = vec(s.index[0]), fromHigh0 = vec(s.fromHigh[0]), keep0 = vec(s.keep[0]);
    const __m256i index1 = vec(s.index[1]), fromHigh1 = vec(s.fromHigh[1]), keep1 = vec(s.keep[1]);
    for (uint32_t f = 0; f < frames; ++f, samples += N) {
        const __m256i low = loadLanes<kLow>(samples, lowMask);
        const __m256i high = loadLanes<kHigh>(samples + 8, highMask);
        __m256i out0 = _mm256_permutevar8x32_epi32(low, index0);
        if constexpr (LowFromHigh)
            out0 = _mm256_blendv_epi8(out0, _mm256_permutevar8x32_epi32(high, index0), fromHigh0);
        storeLanes<kLow>(samples, _mm256_and_si256(out0, keep0));
        if constexpr (kHigh != 0) {
            __m256i out1 = _mm256_permutevar8x32_epi32(high, index1);
            if constexpr (HighFromLow)
                out1 =
                    _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(low, index1), out1, fromHigh1);
            storeLanes<kHigh>(samples + 8, _mm256_and_si256(out1, keep1));
        }
    }
}

using FramesFn = void (*)(int32_t*, uint32_t, const Shuffle&);

template <size_t... I> constexpr auto makeFrameMoves(std::index_sequence<I...>) {
    // Entry 4 (n - 1) + 2 lowFromHigh + highFromLow moves n channels.
    return std::array<FramesFn, sizeof...(I)>{
        &moveFrames<uint32_t(I / 4 + 1), bool(I & 2), bool(I & 1)>...};
}

constexpr auto kFrameMoves = makeFrameMoves(std::make_index_sequence<4 * kUsageEntries>());

void moveVector(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
                uint32_t listed) {
    Shuffle s{};
    bool lowFromHigh = false, highFromLow = false;
    for (uint32_t c = 0; c < channels; ++c) {
        const uint32_t from = c < listed ? source[c] : kSilent;
        const bool sample = from < kUsageEntries && from < channels;
        const uint32_t half = c / 8, lane = c % 8;
        s.index[half][lane] = int32_t(sample ? from % 8 : 0);
        s.fromHigh[half][lane] = sample && from >= 8 ? -1 : 0;
        s.keep[half][lane] = sample ? -1 : 0;
        if (sample && half == 0 && from >= 8) lowFromHigh = true;
        if (sample && half == 1 && from < 8) highFromLow = true;
    }
    kFrameMoves[4 * (channels - 1) + 2 * lowFromHigh + highFromLow](samples, frames, s);
}

bool detectVector() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif // HX_SORVIK_VECTOR

void move(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
          uint32_t listed, bool upward, Path path) {
    if (channels == 0 || frames == 0) return;
#ifdef HX_SORVIK_VECTOR
    if (path != Path::Scalar && channels <= kUsageEntries && vectorPathAvailable())
        return moveVector(samples, channels, frames, source, listed);
#else
    (void)path;
#endif
    moveScalar(samples, channels, frames, source, listed, upward);
}

} // namespace

bool vectorPathAvailable() {
#ifdef HX_SORVIK_VECTOR
    static const bool available = detectVector();
    return available;
#else
    return false;
#endif
}

void pack(int32_t* samples, uint32_t channels, uint32_t frames, const bool usage[16], Path path) {
    // The k-th packed channel is the k-th channel in use; the rest silent.
    uint8_t source[kUsageEntries];
    uint32_t count = 0;
    for (uint32_t c = 0; c < channels && c < kUsageEntries; ++c)
        if (usage[c]) source[count++] = uint8_t(c);
    move(samples, channels, frames, source, count, true, path);
}

void unpack(int32_t* samples, uint32_t channels, uint32_t frames, const bool usage[16], Path path) {
    // Channel c in use takes the next packed sample; a channel not in use is silent.
    uint8_t source[kUsageEntries];
    const uint32_t listed = channels < kUsageEntries ? channels : kUsageEntries;
    uint8_t k = 0;
    for (uint32_t c = 0; c < listed; ++c)
        source[c] = usage[c] ? k++ : kSilent;
    move(samples, channels, frames, source, listed, false, path);
}

} // namespace sorvikpacking
