// Speed of every portable transcoder at the block it handles on the
// real-time thread. Each converter runs beside two anchors of its own block:
// memcpy copying (input + output) bytes, and, for the bit-sliced DMA
// converters, the reference bit loop. A summary table at the end gives each
// converter's time and that time as a multiple of memcpy's and the loop's.
#include "bench/BenchSummary.h"
#include "bench/transcoders/ReferenceBitLoop.h"
#include "driver/transcoders/DMAConvert.h"
#include "driver/transcoders/OutMixer.h"
#include "driver/transcoders/PCMConverters.h"
#include "driver/transcoders/PostProcess.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/transcoders/BenchBuffers.h"

namespace {

using hxbench::Buffers;

// Converters in registration order, for the summary.
std::vector<std::string> gConverters;

void registerTrio(const std::string& name, std::size_t inBytes, std::size_t outBytes,
                  std::function<void(Buffers&)> convert, std::function<void(Buffers&)> reference) {
    gConverters.push_back(name);
    const std::size_t bytes = inBytes + outBytes;
    hxbench::registerOne("convert/" + name, bytes, convert);
    hxbench::registerOne("memcpy/" + name, bytes,
                         [bytes](Buffers& b) { std::memcpy(b.out.data(), b.in.data(), bytes); });
    if (reference) hxbench::registerOne("reference/" + name, bytes, reference);
}

std::function<void(Buffers&)> dma(DMA_CONVERT_FNC fn) {
    return [fn](Buffers& b) {
        DMA_CONVERT_DATA d{};
        d.src = b.in.data();
        d.dst = b.out.data();
        d.carry = &b.carry;
        fn(&d);
    };
}

void registerDma() {
    struct Dec {
        const char* name;
        DMA_CONVERT_FNC fn;
        unsigned channels;
        bool bitSliced;
    };
    const Dec decoders[] = {
        {"dmaDecode16To02At32Bit_C", dmaDecode16To02At32Bit_C, 2, true},
        {"dmaDecode16To04At32Bit_C", dmaDecode16To04At32Bit_C, 4, true},
        {"dmaDecode16To06At32Bit_C", dmaDecode16To06At32Bit_C, 6, true},
        {"dmaDecode16To08At32Bit_C", dmaDecode16To08At32Bit_C, 8, true},
        {"dmaDecode16To10At32Bit_C", dmaDecode16To10At32Bit_C, 10, true},
        {"dmaDecode16To12At32Bit_C", dmaDecode16To12At32Bit_C, 12, true},
        {"dmaDecode16To14At32Bit_C", dmaDecode16To14At32Bit_C, 14, true},
        {"dmaDecode16To16At32Bit_C", dmaDecode16To16At32Bit_C, 16, true},
        {"dmaDecode32To18At32Bit_C", dmaDecode32To18At32Bit_C, 18, true},
        {"dmaDecode32To20At32Bit_C", dmaDecode32To20At32Bit_C, 20, true},
        {"dmaDecode32To22At32Bit_C", dmaDecode32To22At32Bit_C, 22, true},
        {"dmaDecode32To24At32Bit_C", dmaDecode32To24At32Bit_C, 24, true},
        {"dmaDecode32To26At32Bit_C", dmaDecode32To26At32Bit_C, 26, true},
        {"dmaDecode32To28At32Bit_C", dmaDecode32To28At32Bit_C, 28, true},
        {"dmaDecode32To30At32Bit_C", dmaDecode32To30At32Bit_C, 30, true},
        {"dmaDecode32To32At32Bit_C", dmaDecode32To32At32Bit_C, 32, true},
        {"dmaDecode16To08At32Bit_Brava_C", dmaDecode16To08At32Bit_Brava_C, 32, false},
        {"dmaDecode16To16At32Bit_Brava_C", dmaDecode16To16At32Bit_Brava_C, 32, false},
        {"dmaDecode16To32At32Bit_Brava_C", dmaDecode16To32At32Bit_Brava_C, 32, false},
        {"dmaDecode32To32At32Bit_NoPuzzle_C", dmaDecode32To32At32Bit_NoPuzzle_C, 32, false},
    };
    for (const Dec& d : decoders) {
        const unsigned unitBytes = d.channels <= 16 ? 1 : 2;
        const std::size_t samples = std::size_t(d.channels) * (512 / (64 * unitBytes));
        std::function<void(Buffers&)> ref;
        if (d.bitSliced)
            ref = [=](Buffers& b) {
                hx::bench::referenceDecode(d.channels, unitBytes, b.in.data(),
                                           reinterpret_cast<int32_t*>(b.out.data()));
            };
        registerTrio(d.name, 512, d.bitSliced ? samples * 4 : 512, dma(d.fn), ref);
    }

    struct Enc {
        const char* name;
        DMA_CONVERT_FNC fn;
        unsigned channels, frames, pairLanes;
        int skewA;
        bool bitSliced;
    };
    const Enc encoders[] = {
        {"dmaEncode02_C", dmaEncode02_C, 2, 10, 1, -1, true},
        {"dmaEncode04_C", dmaEncode04_C, 4, 10, 2, -1, true},
        {"dmaEncode06_C", dmaEncode06_C, 6, 10, 3, -1, true},
        {"dmaEncode08_C", dmaEncode08_C, 8, 10, 4, -1, true},
        {"dmaEncode10_C", dmaEncode10_C, 10, 10, 5, -1, true},
        {"dmaEncode12_C", dmaEncode12_C, 12, 10, 6, -1, true},
        {"dmaEncode14_C", dmaEncode14_C, 14, 10, 7, -1, true},
        {"dmaEncode16_C", dmaEncode16_C, 16, 10, 8, -1, true},
        {"dmaEncode10_12_C", dmaEncode10_12_C, 8, 10, 4, 0, true},
        {"dmaEncode10_34_C", dmaEncode10_34_C, 8, 10, 4, 2, true},
        {"dmaEncode10_56_C", dmaEncode10_56_C, 8, 10, 4, 4, true},
        {"dmaEncode10_78_C", dmaEncode10_78_C, 8, 10, 4, 6, true},
        {"dmaEncode10_KX_C", dmaEncode10_KX_C, 10, 10, 4, 8, true},
        {"dmaEncode06_Int964_C", dmaEncode06_Int964_C, 6, 20, 3, -1, true},
        {"dmaEncode08_Int964_C", dmaEncode08_Int964_C, 8, 20, 4, -1, true},
        {"dmaEncode16_Int964_C", dmaEncode16_Int964_C, 16, 20, 8, -1, true},
        {"dmaEncode10_KX_Int964_C", dmaEncode10_KX_Int964_C, 10, 20, 4, 8, true},
        {"dmaEncode08_Brava_C", dmaEncode08_Brava_C, 8, 20, 0, -1, false},
        {"dmaEncode16_Brava_C", dmaEncode16_Brava_C, 16, 10, 0, -1, false},
        {"dmaEncode32_Brava_C", dmaEncode32_Brava_C, 32, 5, 0, -1, false},
    };
    for (const Enc& e : encoders) {
        const std::size_t pcmBytes = std::size_t(e.channels) * 4 * e.frames;
        const std::size_t wireBytes = e.bitSliced && e.frames == 20 ? 960 : 480;
        std::function<void(Buffers&)> ref;
        if (e.bitSliced)
            ref = [=](Buffers& b) {
                hx::bench::referenceEncode(e.channels, e.frames, e.pairLanes, e.skewA,
                                           reinterpret_cast<const int32_t*>(b.in.data()),
                                           b.out.data(), &b.carry);
            };
        registerTrio(e.name, pcmBytes, wireBytes, dma(e.fn), ref);
    }
}

// One millisecond of a 4-channel 24-bit stream: 576 wire bytes, rounded
// down to the member's whole units.
void registerPcm() {
    for (const auto& u : kPcmUnpackers) {
        const u_int32_t bytes = 576 / u.unitBytes * u.unitBytes;
        const std::size_t outBytes = std::size_t(bytes / u.unitBytes) * u.unitSamples * 4;
        registerTrio(
            u.name, bytes, outBytes,
            [=](Buffers& b) {
                USB_DEC_DATA d{reinterpret_cast<int32_t*>(b.out.data()),
                               reinterpret_cast<const char*>(b.in.data()), bytes};
                u.function(&d);
            },
            nullptr);
    }
    for (const auto& p : kPcmPackers) {
        const u_int32_t bytes = 576 / p.unitBytes * p.unitBytes;
        const std::size_t inBytes = std::size_t(bytes / p.unitBytes) * p.unitSamples * 4;
        registerTrio(
            p.name, inBytes, bytes,
            [=](Buffers& b) {
                p.function(reinterpret_cast<char*>(b.out.data()),
                           reinterpret_cast<const int32_t*>(b.in.data()), bytes);
            },
            nullptr);
    }
}

// In place on one millisecond of 48 frames.
void registerInPlace() {
    struct Mixer {
        const char* name;
        OUT_MIXER_FNC fn;
        unsigned channels;
    };
    const Mixer mixers[] = {{"outMixer2CH", outMixer2CH, 2},
                            {"outMixer4CH", outMixer4CH, 4},
                            {"outMixer6CH", outMixer6CH, 6}};
    // Set once, outside the timed calls.
    static QN_Fraction left[32], right[32];
    static char routing[32] = {0, 1, 3};
    for (int i = 0; i < 32; ++i)
        left[i] = {i % 2 ? 0 : 1, 1}, right[i] = {i % 2 ? 1 : 0, 1};
    for (const Mixer& m : mixers) {
        const std::size_t bytes = std::size_t(48) * m.channels * 4;
        registerTrio(
            m.name, bytes, bytes,
            [=](Buffers& b) {
                m.fn(reinterpret_cast<u_int32_t*>(b.out.data()), 48, left, right, routing);
            },
            nullptr);
    }
    struct Post {
        const char* name;
        INPUT_POSTPROCESS_FNC fn;
        u_int32_t count;
        unsigned samples;
    };
    const Post posts[] = {
        {"postprocessLX610_201", postprocessLX610_201, 288, 288},
        {"postprocessLX610_000", postprocessLX610_000, 288, 288},
        {"postprocessLX150_10", postprocessLX150_10, 192, 192},
        {"postprocessPellixBugFix", postprocessPellixBugFix, 288, 288},
        {"postprocessKSV0BugFix", postprocessKSV0BugFix, 192, 192},
        {"postprocessLX420_4_BugFix", postprocessLX420_4_BugFix, 48, 192},
        {"postprocessLX420_6_BugFix", postprocessLX420_6_BugFix, 48, 288},
    };
    for (const Post& p : posts) {
        const std::size_t bytes = std::size_t(p.samples) * 4;
        registerTrio(
            p.name, bytes, bytes,
            [=](Buffers& b) { p.fn(reinterpret_cast<int32_t*>(b.out.data()), p.count); }, nullptr);
    }
}

// Prints the summary table after the runs.
class SummaryReporter : public hxbench::TimingReporter {
public:
    void Finalize() override {
        TimingReporter::Finalize();
        std::vector<hxbench::SummaryRow> rows;
        for (const std::string& name : gConverters) {
            if (!ns.count("convert/" + name) || !ns.count("memcpy/" + name))
                continue; // filtered out
            const auto ref = ns.find("reference/" + name);
            rows.push_back({name, "", ns["convert/" + name], ns["memcpy/" + name],
                            ref != ns.end() ? ref->second : -1.0});
        }
        hxbench::printSummary("hx_bench_transcoders", rows);
    }
};

} // namespace

int main(int argc, char** argv) {
    registerDma();
    registerPcm();
    registerInPlace();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
