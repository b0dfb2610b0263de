// The audio server device's IO against the shared rings of a scripted
// kernel service, 2 channels:
// - the device-level cycle (GetZeroTimeStamp, then Will/Begin/Do/End for
//   'read' and 'rite') at 512 frames, 48 and 192 kHz, and at 64 frames,
//   48 kHz;
// - its anchor in the same program: a memcpy of the cycle's bytes each way
//   plus readFromKernel and writeFramesToKernelAtPos of those frames;
// - the same cycle through the driver interface's slots at 64 frames,
//   48 kHz, idle and with a thread looping property reads (per-cycle
//   median); the interface's share of a cycle is the slot cycle's median
//   less the device cycle's at the same size (the means also carry the
//   cycles the scheduler preempted);
// - one clock fit over 1,000 pairs with its outlier pass.
// Allocations are counted on the IO thread around the cycle's calls. The
// summary prints the ratios and shares of a core the goals name.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "abi/AudioSM.h"
#include "bench/BenchSummary.h"
#include "bench/transcoders/BenchBuffers.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASSamplePacking.h"
#include "plugins/server/QnLinearRegression.h"
#include "tests/plugins/server/ScriptedKernelService.h"

// ---- Allocation counting: operator new counts while the calling thread is
// inside a measured cycle.
namespace {
thread_local bool tCounting = false;
std::atomic<uint64_t> gAllocations{0};

void* allocate(std::size_t n) {
    if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

extern AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr;

namespace {
constexpr UInt32 kChannels = 2;
constexpr UInt32 kRead = hx::coreaudio::fourCC("read"), kWrite = hx::coreaudio::fourCC("rite");

struct CountScope {
    CountScope() { tCounting = true; }
    ~CountScope() { tCounting = false; }
};

// An active device over the scripted service, its IO started, the kernel's
// input writer beside it.
class Rig {
public:
    Rig(UInt32 rate, UInt32 frames) : mRate(rate), mFrames(frames) {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        mService = hx::test::ScriptedKernelService::publish("BENCH-UID");
        auto* area = reinterpret_cast<DriverSM*>(mService->area(1));
        area->mChannelSettings = QnChannelSettings{rate, kChannels, 24, kChannels, 24, 0};
        std::strcpy(area->mModelName, "HX-5100");
        std::strcpy(area->mDeviceUID, "BENCH-KERNEL-UID");
        audiosm::store32(&area->mConfigured, 1);
        mWriter.bind(reinterpret_cast<AudioSM*>(mService->area(4)), AudioSMGeometry{});
        mWriter._init(kChannels, rate, 0);
        reinterpret_cast<AudioSM*>(mService->area(5))->_layout(kChannels, rate, 0);
        mService->script([](hx::test::KernelScript& s) {
            s.queued[4].push_back({kIOReturnSuccess, {}, true, 0}); // no description
        });
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        mID = QnASPlugInObjectMap::GetNextObjectID();
        mDevice = new QnASPlugInDevice(mID, entry);
        IOObjectRelease(entry);
        QnASPlugInObjectMap::MapObject(mID, mDevice);
        mDevice->Activate();
        mDevice->copyPhysicalFormat(true);
        mDevice->copyPhysicalFormat(false);
        mIn.assign(size_t(frames) * kChannels * 4, 0);
        mOut.assign(size_t(frames) * kChannels * 4, 1);
        mBlock.assign(size_t(frames) * kChannels, 0x100);
        mStarted = mDevice->IsActive() && driver()->StartIO(driverRef(), mID, 0) == 0;
    }
    ~Rig() {
        if (mStarted) driver()->StopIO(driverRef(), mID, 0);
        if (mDevice->IsActive()) mDevice->Deactivate();
        QnASPlugInObjectMap::UnmapObject(mID, mDevice);
        hx::test::ScriptedKernelService::unpublish(mService);
    }
    bool started() const { return mStarted; }
    QnASPlugInDevice& device() { return *mDevice; }
    AudioObjectID id() const { return mID; }
    static AudioServerPlugInDriverInterface* driver() {
        return gAudioServerPlugInDriverInterfacePtr;
    }
    static AudioServerPlugInDriverRef driverRef() { return &gAudioServerPlugInDriverInterfacePtr; }

    // The kernel delivers the cycle's input and its time stamp.
    void deliver() {
        mKernelHost += UInt64(mFrames) * 1000000000ull / mRate;
        mWriter.AddTimeStamp(mKernelHost, mFrames, true);
        mWriter.writeFrames(mBlock.data(), mFrames, 0);
    }
    // One cycle on the device's own entries.
    void deviceCycle() {
        Float64 sample = 0;
        UInt64 host = 0, seed = 0;
        mDevice->GetZeroTimeStamp(sample, host, seed);
        AudioServerPlugInIOCycleInfo info = cycleInfo();
        for (UInt32 op : {kRead, kWrite}) {
            bool will = false, inPlace = false;
            mDevice->WillDoIOOperation(op, will, inPlace);
            mDevice->BeginIOOperation(op, mFrames, info);
            benchmark::DoNotOptimize(mDevice->DoIOOperation(
                0, op, mFrames, info, op == kRead ? mIn.data() : mOut.data(), nullptr));
            mDevice->EndIOOperation(op, mFrames, info);
        }
        mTime += mFrames;
    }
    // One cycle through the driver interface's slots, as the host calls them.
    void slotCycle() {
        AudioServerPlugInDriverInterface* d = driver();
        AudioServerPlugInDriverRef ref = driverRef();
        Float64 sample = 0;
        UInt64 host = 0, seed = 0;
        benchmark::DoNotOptimize(d->GetZeroTimeStamp(ref, mID, 0, &sample, &host, &seed));
        AudioServerPlugInIOCycleInfo info = cycleInfo();
        for (UInt32 op : {kRead, kWrite}) {
            Boolean will = false, inPlace = false;
            d->WillDoIOOperation(ref, mID, 0, op, &will, &inPlace);
            d->BeginIOOperation(ref, mID, 0, op, mFrames, &info);
            benchmark::DoNotOptimize(d->DoIOOperation(
                ref, mID, op == kRead ? mDevice->streamID(true) : mDevice->streamID(false), 0, op,
                mFrames, &info, op == kRead ? mIn.data() : mOut.data(), nullptr));
            d->EndIOOperation(ref, mID, 0, op, mFrames, &info);
        }
        mTime += mFrames;
    }

private:
    AudioServerPlugInIOCycleInfo cycleInfo() const {
        AudioServerPlugInIOCycleInfo info{};
        info.mInputTime.mSampleTime = mTime;
        info.mOutputTime.mSampleTime = mTime + mFrames;
        return info;
    }

    UInt32 mRate, mFrames;
    hx::test::ScriptedKernelService* mService = nullptr;
    AudioSMWriter mWriter; // the kernel's side of the input ring
    QnASPlugInDevice* mDevice = nullptr;
    AudioObjectID mID = 0;
    bool mStarted = false;
    std::vector<uint8_t> mIn, mOut;
    std::vector<int32_t> mBlock;
    UInt64 mKernelHost = 0;
    Float64 mTime = 0;
};

void reportAllocations(benchmark::State& state, uint64_t before) {
    state.counters["allocs_per_cycle"] =
        double(gAllocations.load() - before) / double(std::max<int64_t>(1, state.iterations()));
}

// Each cycle's own time: the iteration's manual time and a sample for the
// median (a cycle the scheduler preempted weighs on the mean, not on the
// median, so the median is what compares two forms of the cycle).
class CycleTimes {
public:
    CycleTimes() { mTimes.reserve(1 << 20); }
    void add(benchmark::State& state, std::chrono::steady_clock::time_point t0,
             std::chrono::steady_clock::time_point t1) {
        if (mTimes.size() < mTimes.capacity())
            mTimes.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    void report(benchmark::State& state) {
        if (mTimes.empty()) return;
        std::nth_element(mTimes.begin(), mTimes.begin() + mTimes.size() / 2, mTimes.end());
        state.counters["median_ns"] = mTimes[mTimes.size() / 2];
    }

private:
    std::vector<double> mTimes;
};

void BM_DeviceCycle(benchmark::State& state) {
    hx::test::TempRoot root;
    Rig rig(UInt32(state.range(0)), UInt32(state.range(1)));
    if (!rig.started()) {
        state.SkipWithError("the device did not start");
        return;
    }
    CycleTimes cycles;
    const uint64_t before = gAllocations.load();
    for (auto _ : state) {
        rig.deliver(); // the kernel's part, outside the measured time
        const auto t0 = std::chrono::steady_clock::now();
        {
            CountScope counting;
            rig.deviceCycle();
        }
        benchmark::ClobberMemory();
        cycles.add(state, t0, std::chrono::steady_clock::now());
    }
    reportAllocations(state, before);
    cycles.report(state);
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(1));
}

// The anchor: the cycle's bytes copied each way, and the frames moved
// through the ring's own reader and writer.
void BM_Anchor(benchmark::State& state) {
    const UInt32 rate = UInt32(state.range(0)), frames = UInt32(state.range(1));
    const size_t bytes = size_t(frames) * kChannels * 4;
    std::vector<uint64_t> inMemory(hx::test::ScriptedKernelService::kRingBytes / 8, 0);
    std::vector<uint64_t> outMemory(inMemory.size(), 0);
    auto* inRing = reinterpret_cast<AudioSM*>(inMemory.data());
    auto* outRing = reinterpret_cast<AudioSM*>(outMemory.data());
    inRing->_layout(kChannels, rate, 0);
    outRing->_layout(kChannels, rate, 0);
    std::vector<int32_t> staging(size_t(frames) * kChannels), hostIn(staging.size());
    std::vector<int32_t> hostOut(staging.size(), 0x100), outStaging(staging.size());
    uint64_t readPos = 0, writePos = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        inRing->readFromKernel(readPos, staging.data(), frames, audioInt32CopySet, 4);
        std::memcpy(hostIn.data(), staging.data(), bytes);
        std::memcpy(outStaging.data(), hostOut.data(), bytes);
        outRing->writeFramesToKernelAtPos(outStaging.data(), frames, writePos, 0, kChannels,
                                          audioInt32CopyShift, 4);
        writePos += frames;
        benchmark::ClobberMemory();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}

// The slot cycle's per-cycle median, idle (argument 0) or with a thread
// reading the device's properties through the interface (1).
void BM_SlotCycle(benchmark::State& state) {
    hx::test::TempRoot root;
    const UInt32 rate = UInt32(state.range(0)), frames = UInt32(state.range(1));
    Rig rig(rate, frames);
    if (!rig.started()) {
        state.SkipWithError("the device did not start");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> reads{0};
    std::thread reader;
    if (state.range(2)) {
        reader = std::thread([&] {
            static constexpr UInt32 kSelectors[] = {
                hx::coreaudio::fourCC("nsrt"), hx::coreaudio::fourCC("ltnc"),
                hx::coreaudio::fourCC("saft"), hx::coreaudio::fourCC("ring"),
                hx::coreaudio::fourCC("fsiz")};
            static constexpr UInt32 kScopes[] = {hx::coreaudio::fourCC("inpt"),
                                                 hx::coreaudio::fourCC("outp")};
            while (!stop.load(std::memory_order_relaxed))
                for (UInt32 selector : kSelectors)
                    for (UInt32 scope : kScopes) {
                        const AudioObjectPropertyAddress a{selector, scope, 0};
                        UInt64 value[2] = {};
                        UInt32 size = 0;
                        Rig::driver()->GetPropertyData(Rig::driverRef(), rig.id(), 0, &a, 0,
                                                       nullptr, sizeof value, &size, value);
                        reads.fetch_add(1, std::memory_order_relaxed);
                    }
        });
    }
    CycleTimes cycles;
    const uint64_t before = gAllocations.load();
    for (auto _ : state) {
        rig.deliver();
        const auto t0 = std::chrono::steady_clock::now();
        {
            CountScope counting;
            rig.slotCycle();
        }
        benchmark::ClobberMemory();
        cycles.add(state, t0, std::chrono::steady_clock::now());
    }
    stop = true;
    if (reader.joinable()) reader.join();
    reportAllocations(state, before);
    cycles.report(state);
    state.counters["property_reads"] = double(reads.load());
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}

// The cycle's sample conversion alone, 2 channels x 512 frames each way:
// 4-byte samples to the host's B bytes and back, on each path (0 the plain
// loops, 1 the 128-bit shuffles, 2 the 256-bit ones).
void BM_SampleConversion(benchmark::State& state) {
    const int bytes = int(state.range(0));
    static constexpr qnas::samples::Path kPaths[] = {
        qnas::samples::Path::Scalar, qnas::samples::Path::Ssse3, qnas::samples::Path::Avx2};
    const qnas::samples::Path path = kPaths[state.range(1)];
    if (!qnas::samples::available(path)) {
        state.SkipWithError("the processor lacks this path");
        return;
    }
    constexpr std::size_t kSamples = 512 * kChannels;
    std::vector<int32_t> ring(kSamples, 0x12345600), back(kSamples);
    std::vector<uint8_t> host(kSamples * 4);
    for (auto _ : state) {
        qnas::samples::pack(bytes, ring.data(), host.data(), kSamples, path);
        qnas::samples::unpack(bytes, host.data(), back.data(), kSamples, path);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

// 1,000 (sample, host) pairs of a clock 200 ppm fast with a little jitter
// and every 97th pair an outlier.
struct FitData {
    double samples[QnLinearRegression::kMaxPairs];
    double hosts[QnLinearRegression::kMaxPairs];
    FitData() {
        const double slope = 1e9 / 48000.0 * (1.0 - 200e-6);
        for (UInt32 i = 0; i < QnLinearRegression::kMaxPairs; ++i) {
            samples[i] = double(i) * 512.0;
            hosts[i] = 5e9 + slope * samples[i] + double((i * 7919) % 13) * 100.0;
            if (i % 97 == 0) hosts[i] += 2e6;
        }
    }
    static void fetch(void* context, UInt32& count, double* s, double* h) {
        const auto* d = static_cast<const FitData*>(context);
        count = QnLinearRegression::kMaxPairs;
        std::memcpy(s, d->samples, sizeof d->samples);
        std::memcpy(h, d->hosts, sizeof d->hosts);
    }
};

void BM_DriftFit(benchmark::State& state) {
    static FitData data;
    auto fit = std::make_unique<QnLinearRegression>();
    fit->setDataFetcher(&data, &FitData::fetch);
    fit->init(1e9 / 48000.0, 5e9);
    for (auto _ : state) {
        fit->fitRound();
        benchmark::ClobberMemory();
    }
}
} // namespace

// The IO benchmarks time only the calls (the kernel's delivery of each
// cycle's input runs between them).
BENCHMARK(BM_DeviceCycle)
    ->Args({48000, 512})
    ->Args({192000, 512})
    ->Args({48000, 64})
    ->UseManualTime();
BENCHMARK(BM_Anchor)->Args({48000, 512})->Args({192000, 512})->Args({48000, 64})->UseManualTime();
BENCHMARK(BM_SlotCycle)->Args({48000, 64, 0})->Args({48000, 64, 1})->UseManualTime();
BENCHMARK(BM_DriftFit);
BENCHMARK(BM_SampleConversion)->ArgsProduct({{3, 2}, {0, 1, 2}});

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    struct Reporter : hxbench::TimingReporter {
        std::map<std::string, std::map<std::string, double>> counters;
        // Names without the "/manual_time" suffix.
        static std::string plain(std::string name) {
            const std::string suffix = "/manual_time";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                name.resize(name.size() - suffix.size());
            return name;
        }
        void ReportRuns(const std::vector<Run>& runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run& r : runs) {
                if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
                ns[plain(r.benchmark_name())] =
                    r.real_accumulated_time * 1e9 / double(r.iterations);
                for (const auto& [k, v] : r.counters)
                    counters[plain(r.benchmark_name())][k] = v.value;
            }
        }
        double get(const std::string& name) const {
            auto it = ns.find(name);
            return it == ns.end() ? -1 : it->second;
        }
        double counter(const std::string& name, const std::string& key) const {
            auto it = counters.find(name);
            if (it == counters.end()) return -1;
            auto c = it->second.find(key);
            return c == it->second.end() ? -1 : c->second;
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::vector<hxbench::SummaryRow> rows;
    for (const char* args : {"48000/512", "192000/512", "48000/64"}) {
        const std::string cycle = std::string("BM_DeviceCycle/") + args;
        const std::string anchor = std::string("BM_Anchor/") + args;
        rows.push_back({cycle, "", reporter.get(cycle)});
        rows.push_back({anchor, "", reporter.get(anchor)});
    }
    for (const char* name : {"BM_SlotCycle/48000/64/0", "BM_SlotCycle/48000/64/1", "BM_DriftFit"})
        rows.push_back({name, "", reporter.get(name)});
    hxbench::printSummary("hx_bench_server_io", rows);

    std::printf("\ngoals of hx_bench_server_io\n");
    for (const char* args : {"48000/512", "192000/512"}) {
        const double c = reporter.get(std::string("BM_DeviceCycle/") + args);
        const double a = reporter.get(std::string("BM_Anchor/") + args);
        if (c > 0 && a > 0)
            std::printf("device cycle %-11s %8.2f x the anchor (goal <= 2)\n", args, c / a);
    }
    const double c192 = reporter.get("BM_DeviceCycle/192000/512");
    if (c192 > 0)
        std::printf("core share at 192 kHz, 512 frames: %.4f %% (goal < 0.5 %%)\n",
                    c192 * (192000.0 / 512.0) / 1e9 * 100.0);
    // The interface's share: the slot cycle's median less the device
    // cycle's, both timed the same way on the same rig.
    const double c64 = reporter.counter("BM_DeviceCycle/48000/64", "median_ns");
    const double s64 = reporter.counter("BM_SlotCycle/48000/64/0", "median_ns");
    if (c64 > 0 && s64 > 0)
        std::printf("the interface's share of a cycle at 48 kHz, 64 frames (medians %.1f - %.1f "
                    "ns): %.1f ns, %.4f %% of a core (goal < 0.1 %%)\n",
                    s64, c64, s64 - c64, std::max(0.0, s64 - c64) * (48000.0 / 64.0) / 1e9 * 100.0);
    const double idle = reporter.counter("BM_SlotCycle/48000/64/0", "median_ns");
    const double busy = reporter.counter("BM_SlotCycle/48000/64/1", "median_ns");
    if (idle > 0 && busy > 0)
        std::printf("IO entries' median with property reads: %.1f ns / idle %.1f ns = %.2f (goal "
                    "<= 2)\n",
                    busy, idle, busy / idle);
    for (const char* name :
         {"BM_DeviceCycle/48000/512", "BM_DeviceCycle/192000/512", "BM_DeviceCycle/48000/64",
          "BM_SlotCycle/48000/64/0", "BM_SlotCycle/48000/64/1"})
        std::printf("allocations per cycle, %-28s %.3f (goal 0)\n", name,
                    reporter.counter(name, "allocs_per_cycle"));
    const double fit = reporter.get("BM_DriftFit");
    if (fit > 0)
        std::printf("clock fit: %.1f us a fit, %.4f %% of a core at one fit per 50 ms (goal < "
                    "0.1 %%)\n",
                    fit / 1000.0, fit / 50e6 * 100.0);
    benchmark::Shutdown();
    return 0;
}
