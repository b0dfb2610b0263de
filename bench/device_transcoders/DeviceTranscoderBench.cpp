// Each user-space transcoder on 1,024 destination samples, against a memcpy
// of the same destination bytes (goal: at most 10 times memcpy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSummary.h"
#include "device/UserTranscoders.h"

namespace {

constexpr uint32_t kCount = 1024;

std::vector<uint8_t> gSource(12 * kCount * 4, 0x5A);
std::vector<int32_t> gDest(kCount * 3);

struct Entry {
    const char* name;
    std::function<void()> run;
};

std::vector<Entry> entries() {
    auto* d = gDest.data();
    auto* b = reinterpret_cast<uint8_t*>(gDest.data());
    const uint8_t* s = gSource.data();
    const auto* s32 = reinterpret_cast<const int32_t*>(gSource.data());
    std::vector<Entry> e = {
        {"audioInt16to32Copy", [=] { audioInt16to32Copy(d, s, kCount); }},
        {"audioInt24to32Copy", [=] { audioInt24to32Copy(d, s, kCount); }},
        {"audioInt16to32CopyShift", [=] { audioInt16to32CopyShift(d, s, kCount); }},
        {"audioInt24to32CopyShift", [=] { audioInt24to32CopyShift(d, s, kCount); }},
        {"audioInt32to16Copy", [=] { audioInt32to16Copy(b, s32, kCount); }},
        {"audioInt32to24Copy", [=] { audioInt32to24Copy(b, s32, kCount); }},
        {"audioInt32CopyShift6To2", [=] { audioInt32CopyShift6To2(d, s32, kCount); }},
        {"audioInt32CopyShift6To4", [=] { audioInt32CopyShift6To4(d, s32, kCount); }},
        {"audioInt32CopyShift12To2", [=] { audioInt32CopyShift12To2(d, s32, kCount); }},
        {"audioInt32CopyShift12To10", [=] { audioInt32CopyShift12To10(d, s32, kCount); }},
        {"audioInt16to32CopyShift6To2", [=] { audioInt16to32CopyShift6To2(d, s, kCount); }},
        {"audioInt16to32CopyShift12To4", [=] { audioInt16to32CopyShift12To4(d, s, kCount); }},
        {"audioInt24to32CopyShift6To4", [=] { audioInt24to32CopyShift6To4(d, s, kCount); }},
        {"audioInt24to32CopyShift12To8", [=] { audioInt24to32CopyShift12To8(d, s, kCount); }},
    };
    return e;
}

double nsPerCall(const std::function<void()>& f) {
    constexpr int kCalls = 20000;
    for (int i = 0; i < 1000; ++i)
        f();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) {
        f();
        benchmark::ClobberMemory();
    }
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count()) /
           kCalls;
}

} // namespace

int main(int argc, char** argv) {
    for (const Entry& e : entries())
        benchmark::RegisterBenchmark(e.name, [f = e.run](benchmark::State& st) {
            for (auto _ : st) {
                f();
                benchmark::ClobberMemory();
            }
        });
    benchmark::RegisterBenchmark("memcpy", [](benchmark::State& st) {
        for (auto _ : st) {
            std::memcpy(gDest.data(), gSource.data(), kCount * 4);
            benchmark::ClobberMemory();
        }
    });
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const double memcpyNs =
        nsPerCall([] { std::memcpy(gDest.data(), gSource.data(), kCount * 4); });
    std::vector<hxbench::SummaryRow> rows;
    for (const Entry& e : entries())
        rows.push_back({e.name, "", nsPerCall(e.run), memcpyNs, -1});
    hxbench::printSummary("hx_bench_device_transcoders", rows);
    return 0;
}
