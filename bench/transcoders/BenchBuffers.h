// Input and output blocks shared by the transcoder benchmarks: a 4 KiB input
// of fixed pseudo-random bytes, a 4 KiB output and a carried word; and the
// registration of one benchmark that runs a body on its own blocks; and the
// console reporter that keeps each run's time for the programs' summaries.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace hxbench {

struct Buffers {
    std::vector<uint8_t> in = std::vector<uint8_t>(4096);
    std::vector<uint8_t> out = std::vector<uint8_t>(4096);
    int32_t carry = 0;
    Buffers() {
        std::mt19937 rng(1);
        for (auto& b : in)
            b = uint8_t(rng());
    }
};

// Benchmark \p name: \p body on fresh blocks per run, \p bytes counted a call.
template <typename F> void registerOne(const std::string& name, std::size_t bytes, F body) {
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
        Buffers b;
        for (auto _ : st) {
            body(b);
            benchmark::DoNotOptimize(b.out.data());
            benchmark::ClobberMemory();
        }
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(bytes));
    });
}

// The console output, plus every run's real time per iteration in
// nanoseconds by benchmark name.
class TimingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns[r.benchmark_name()] = r.real_accumulated_time * 1e9 / double(r.iterations);
    }
};

} // namespace hxbench
