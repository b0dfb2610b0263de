// Every slot of the DMA converter table in all its forms (_C, _ASM, _SSE),
// each beside two anchors on the same block: the reference bit loop (one
// operation per bit) and memcpy of the block's input plus output bytes.
// The summary at the end gives each form's time per call and that time as
// a multiple of memcpy's and of the reference loop's.
//
// `--count N` runs no benchmark: it calls every form and reference N times
// and prints which symbol stands for which, so that callgrind's inclusive
// instruction counts give instructions per call (callgrind_ratios.sh).
#include "bench/transcoders/BenchBuffers.h"
#include "bench/BenchSummary.h"
#include "bench/transcoders/ReferenceBitLoop.h"
#include "driver/transcoders/x86/DMAConvertX86.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace hxbench {

struct Slot {
    const char* name;
    DMA_CONVERT_FNC c, gp, mmx; // gp/mmx null when the form does not exist
    bool decoder;
    unsigned channels;
    unsigned frames;    // encoders: frames a call
    unsigned pairLanes; // encoders: plain lanes
    int skewA;          // encoders: skewed pair, -1 none
    bool bitSliced;
};

#define DEC(n, ch)                                                                                 \
    { #n, n##_C, n##_ASM, n##_SSE, true, ch, 0, 0, -1, true }
#define ENC(n, ch, fr, pl, sk)                                                                     \
    { #n, n##_C, n##_ASM, n##_SSE, false, ch, fr, pl, sk, true }
#define ENC_S(n, ch, fr, pl, sk)                                                                   \
    { #n, n##_C, nullptr, n##_SSE, false, ch, fr, pl, sk, true }

constexpr std::array<Slot, 39> kSlots = {{
    {"dmaDecode16To08At32Bit_Brava", dmaDecode16To08At32Bit_Brava_C, nullptr, nullptr, true, 8, 0,
     0, -1, false},
    {"dmaDecode16To16At32Bit_Brava", dmaDecode16To16At32Bit_Brava_C, nullptr, nullptr, true, 16, 0,
     0, -1, false},
    {"dmaDecode16To32At32Bit_Brava", dmaDecode16To32At32Bit_Brava_C, nullptr, nullptr, true, 32, 0,
     0, -1, false},
    {"dmaEncode08_Brava", dmaEncode08_Brava_C, nullptr, nullptr, false, 8, 20, 0, -1, false},
    {"dmaEncode16_Brava", dmaEncode16_Brava_C, nullptr, nullptr, false, 16, 10, 0, -1, false},
    {"dmaEncode32_Brava", dmaEncode32_Brava_C, nullptr, nullptr, false, 32, 5, 0, -1, false},
    DEC(dmaDecode16To02At32Bit, 2),
    DEC(dmaDecode16To04At32Bit, 4),
    DEC(dmaDecode16To06At32Bit, 6),
    DEC(dmaDecode16To08At32Bit, 8),
    DEC(dmaDecode16To10At32Bit, 10),
    DEC(dmaDecode16To12At32Bit, 12),
    DEC(dmaDecode16To14At32Bit, 14),
    DEC(dmaDecode16To16At32Bit, 16),
    DEC(dmaDecode32To18At32Bit, 18),
    DEC(dmaDecode32To20At32Bit, 20),
    DEC(dmaDecode32To22At32Bit, 22),
    DEC(dmaDecode32To24At32Bit, 24),
    DEC(dmaDecode32To26At32Bit, 26),
    DEC(dmaDecode32To28At32Bit, 28),
    DEC(dmaDecode32To30At32Bit, 30),
    DEC(dmaDecode32To32At32Bit, 32),
    ENC(dmaEncode02, 2, 10, 1, -1),
    ENC(dmaEncode04, 4, 10, 2, -1),
    ENC(dmaEncode06, 6, 10, 3, -1),
    ENC(dmaEncode08, 8, 10, 4, -1),
    ENC(dmaEncode06_Int964, 6, 20, 3, -1),
    ENC(dmaEncode08_Int964, 8, 20, 4, -1),
    ENC_S(dmaEncode16_Int964, 16, 20, 8, -1),
    ENC_S(dmaEncode10, 10, 10, 5, -1),
    ENC_S(dmaEncode12, 12, 10, 6, -1),
    ENC_S(dmaEncode14, 14, 10, 7, -1),
    ENC_S(dmaEncode16, 16, 10, 8, -1),
    ENC(dmaEncode10_12, 8, 10, 4, 0),
    ENC(dmaEncode10_34, 8, 10, 4, 2),
    ENC(dmaEncode10_56, 8, 10, 4, 4),
    ENC(dmaEncode10_78, 8, 10, 4, 6),
    ENC(dmaEncode10_KX, 10, 10, 4, 8),
    ENC(dmaEncode10_KX_Int964, 10, 20, 4, 8),
}};

#undef DEC
#undef ENC
#undef ENC_S

size_t inBytes(const Slot& s) {
    return s.decoder ? 512 : size_t(s.channels) * 4 * s.frames;
}
size_t outBytes(const Slot& s) {
    if (s.decoder) return s.bitSliced ? size_t(s.channels) * (s.channels <= 16 ? 8 : 4) * 4 : 512;
    return s.bitSliced && s.frames == 20 ? 960 : 480;
}

uint64_t callMember(DMA_CONVERT_FNC fn, Buffers& b) {
    DMA_CONVERT_DATA d{};
    d.src = b.in.data();
    d.dst = b.out.data();
    d.carry = &b.carry;
    return fn(&d);
}

// One out-of-line function per slot, so the reference loop of each slot is
// its own symbol in an instruction profile.
template <size_t I> __attribute__((noinline)) uint64_t referenceCall(Buffers& b) {
    constexpr Slot s = kSlots[I];
    if constexpr (s.decoder)
        return hx::bench::referenceDecode(s.channels, s.channels <= 16 ? 1 : 2, b.in.data(),
                                          reinterpret_cast<int32_t*>(b.out.data()));
    else
        return hx::bench::referenceEncode(s.channels, s.frames, s.pairLanes, s.skewA,
                                          reinterpret_cast<const int32_t*>(b.in.data()),
                                          b.out.data(), &b.carry);
}

using RefFn = uint64_t (*)(Buffers&);
template <size_t... I>
constexpr std::array<RefFn, sizeof...(I)> referenceTable(std::index_sequence<I...>) {
    return {{&referenceCall<I>...}};
}
constexpr auto kReference = referenceTable(std::make_index_sequence<kSlots.size()>());

void registerAll() {
    for (size_t i = 0; i < kSlots.size(); ++i) {
        const Slot& s = kSlots[i];
        const size_t bytes = inBytes(s) + outBytes(s);
        const std::string n = s.name;
        registerOne(n + "/memcpy", bytes,
                    [bytes](Buffers& b) { std::memcpy(b.out.data(), b.in.data(), bytes); });
        if (s.bitSliced) registerOne(n + "/reference", bytes, kReference[i]);
        const std::pair<const char*, DMA_CONVERT_FNC> forms[] = {
            {"C", s.c}, {"ASM", s.gp}, {"SSE", s.mmx}};
        for (const auto& [form, fn] : forms)
            if (fn)
                registerOne(n + "/" + form, bytes, [fn = fn](Buffers& b) { callMember(fn, b); });
    }
}

void printSummary(const TimingReporter& rep) {
    std::vector<SummaryRow> rows;
    for (const Slot& s : kSlots) {
        const std::string n = s.name;
        auto get = [&](const std::string& k) {
            auto it = rep.ns.find(n + "/" + k);
            return it == rep.ns.end() ? -1.0 : it->second;
        };
        const double mem = get("memcpy"), ref = get("reference");
        for (const char* form : {"reference", "C", "ASM", "SSE"}) {
            const double t = get(form);
            if (t >= 0)
                rows.push_back({n, std::string(form) == "reference" ? "ref" : form, t, mem, ref});
        }
    }
    hxbench::printSummary("hx_bench_transcoders_x86", rows);
}

// Instruction-count mode: every form and reference called n times; prints
// "slot form symbol" lines for the script that reads callgrind's profile.
int countMode(long n) {
    Buffers b;
    uint64_t sink = 0;
    for (size_t i = 0; i < kSlots.size(); ++i) {
        const Slot& s = kSlots[i];
        if (s.bitSliced) {
            for (long k = 0; k < n; ++k)
                sink += kReference[i](b);
            std::printf("%s reference referenceCall<%zu\n", s.name, i);
        }
        const std::pair<const char*, DMA_CONVERT_FNC> forms[] = {
            {"C", s.c}, {"ASM", s.gp}, {"SSE", s.mmx}};
        for (const auto& [form, fn] : forms) {
            if (!fn) continue;
            for (long k = 0; k < n; ++k)
                sink += callMember(fn, b);
            std::printf("%s %s %s_%s\n", s.name, form, s.name, form);
        }
    }
    std::printf("calls %ld\n", n);
    return sink == 0 ? 1 : 0;
}

} // namespace hxbench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--count")
        return hxbench::countMode(std::atol(argv[2]));
    hxbench::registerAll();
    benchmark::Initialize(&argc, argv);
    hxbench::TimingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    hxbench::printSummary(reporter);
    benchmark::Shutdown();
    return 0;
}
