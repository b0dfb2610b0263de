#include <cstring>
#include <vector>
// The rate list and the rate proposal of the shared device logic, on the
// HX-5100's description and on a four-configuration one, beside one fill of
// the capability record (one rate-list answer should cost at most two).
#include <benchmark/benchmark.h>

#include "tests/device/DeviceLogicFixtures.h"
#include "device/SorvikPacking.h"

using namespace devicelogic;

namespace {

std::unique_ptr<APIDeviceInfo> describe(int configurations) {
    auto info = hx5100Info(true);
    if (configurations == 1) return info;
    info->mVendor = 0x2FFF; // endpoint-directed, four configurations
    for (unsigned c = 1; c < unsigned(configurations); ++c) {
        uint8_t channels = uint8_t(2 * (c + 1));
        addAlternate(*info, c, 1, 1, true, channels, 24, {44100, 48000, 88200, 96000});
        addAlternate(*info, c, 2, 1, false, channels, 24, {44100, 48000, 88200, 96000});
        addAlternate(*info, c, 1, 2, true, channels, 16, {44100, 48000});
        addAlternate(*info, c, 2, 2, false, channels, 16, {44100, 48000});
    }
    return info;
}

struct Bench {
    explicit Bench(int configurations) : info(describe(configurations)), commons(host, *info) {
        commons.createIOBuffers();
    }
    FakeHost host;
    std::unique_ptr<APIDeviceInfo> info;
    QnAudioPluginClassCommons commons;
};

void BM_getCaps(benchmark::State& state) {
    Bench b(int(state.range(0)));
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    for (auto _ : state) {
        b.commons.getCaps(caps.get());
        benchmark::DoNotOptimize(caps->mCount);
    }
}

void BM_getSampleRatesCount(benchmark::State& state) {
    Bench b(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(b.commons.getSampleRates(nullptr, 0));
}

void BM_getSampleRatesList(benchmark::State& state) {
    Bench b(int(state.range(0)));
    AudioValueRange ranges[8];
    for (auto _ : state)
        benchmark::DoNotOptimize(b.commons.getSampleRates(ranges, 8));
}

void BM_setSampleRate(benchmark::State& state) {
    Bench b(int(state.range(0)));
    QnChannelSettings s{};
    bool changed = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(b.commons.setSampleRate(false, 96000, &changed, &s));
}

// Sorvik packing of one cycle (12 output, 10 input channels, 512 frames,
// alternate channels in use) against a memcpy of the same bytes.
constexpr uint32_t kPackFrames = 512;
const bool kAlternateUsage[16] = {true, false, true, false, true, false, true, false,
                                  true, false, true, false, true, false, true, false};

void BM_packSorvikOutput(benchmark::State& state) {
    const uint32_t channels = uint32_t(state.range(0));
    std::vector<int32_t> samples(size_t(channels) * kPackFrames, 1);
    for (auto _ : state) {
        QnAudioPluginClassCommons::packSorvikOutput(samples.data(), channels, kPackFrames,
                                                    kAlternateUsage, 4);
        benchmark::DoNotOptimize(samples.data());
    }
}

void BM_unpackSorvikInput(benchmark::State& state) {
    const uint32_t channels = uint32_t(state.range(0));
    std::vector<int32_t> samples(size_t(channels) * kPackFrames, 1);
    for (auto _ : state) {
        QnAudioPluginClassCommons::unpackSorvikInput(samples.data(), channels, kPackFrames,
                                                     kAlternateUsage);
        benchmark::DoNotOptimize(samples.data());
    }
}

// The same with the plain loops, where the processor has the shuffles the
// two rows above use.
void BM_packSorvikOutputLoops(benchmark::State& state) {
    const uint32_t channels = uint32_t(state.range(0));
    std::vector<int32_t> samples(size_t(channels) * kPackFrames, 1);
    for (auto _ : state) {
        sorvikpacking::pack(samples.data(), channels, kPackFrames, kAlternateUsage,
                            sorvikpacking::Path::Scalar);
        benchmark::DoNotOptimize(samples.data());
    }
}

void BM_unpackSorvikInputLoops(benchmark::State& state) {
    const uint32_t channels = uint32_t(state.range(0));
    std::vector<int32_t> samples(size_t(channels) * kPackFrames, 1);
    for (auto _ : state) {
        sorvikpacking::unpack(samples.data(), channels, kPackFrames, kAlternateUsage,
                              sorvikpacking::Path::Scalar);
        benchmark::DoNotOptimize(samples.data());
    }
}

void BM_memcpyCycle(benchmark::State& state) {
    const size_t bytes = size_t(state.range(0)) * kPackFrames * 4;
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
    }
}

} // namespace

BENCHMARK(BM_packSorvikOutput)->Arg(12)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_unpackSorvikInput)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_packSorvikOutputLoops)->Arg(12)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_unpackSorvikInputLoops)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memcpyCycle)->Arg(12)->Arg(10)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_getCaps)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_getSampleRatesCount)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_getSampleRatesList)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_setSampleRate)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
