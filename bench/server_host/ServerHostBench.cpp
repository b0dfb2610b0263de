// The IO path's object-map frame (one CopyObjectByObjectID and one
// ReleaseObject) with 1 and 10 devices of 9 IDs each, as a multiple of a
// plain mutex's lock and unlock, with the allocations it makes counted (the
// goal: at most 5x, none). Then the server host's own work per second of
// audio at 48 kHz and 64 frames per cycle with a scripted two-channel
// plug-in on the virtual clock (the goal: under 0.1 % of a core).
#include <benchmark/benchmark.h>

// The counting operator new below hands out malloc'ed memory that the
// matching delete frees; GCC sees only the inlined halves and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/base/HXClock.h"
#include "platform/coreaudio/ServerHost.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/platform/coreaudio/ScriptedServerPlugIn.h"

namespace {

std::atomic<std::uint64_t> gAllocations{0};

} // namespace

void* operator new(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

class BenchDevice : public QnASPlugInObject {
public:
    explicit BenchDevice(AudioObjectID id)
        : QnASPlugInObject(id, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject) {
    }
};

// Devices mapped so far, each with its own ID and 8 more (streams, controls).
std::vector<AudioObjectID> gDeviceIDs;

void ensureDevices(std::size_t count) {
    QnASPlugInPlugIn::GetInstance();
    while (gDeviceIDs.size() < count) {
        const AudioObjectID id = QnASPlugInObjectMap::GetNextObjectID();
        auto* device = new BenchDevice(id);
        QnASPlugInObjectMap::MapObject(id, device);
        for (int i = 0; i < 8; ++i)
            QnASPlugInObjectMap::MapObject(QnASPlugInObjectMap::GetNextObjectID(), device);
        gDeviceIDs.push_back(id);
    }
}

void BM_PlainMutexLockUnlock(benchmark::State& state) {
    std::mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_PlainMutexLockUnlock);

// The last device's own ID: the longest walk.
void BM_CopyAndReleaseObject(benchmark::State& state) {
    ensureDevices(std::size_t(state.range(0)));
    const AudioObjectID id = gDeviceIDs[std::size_t(state.range(0)) - 1];
    const std::uint64_t before = gAllocations.load();
    for (auto _ : state) {
        QnASPlugInObject* o = QnASPlugInObjectMap::CopyObjectByObjectID(id);
        benchmark::DoNotOptimize(o);
        QnASPlugInObjectMap::ReleaseObject(o);
    }
    state.counters["allocations"] = double(gAllocations.load() - before);
}
BENCHMARK(BM_CopyAndReleaseObject)->Arg(1)->Arg(10);

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// CPU time per second of audio (the scripted plug-in's own work is a memset
// per operation), two ways: the IO thread's own cycles, from each wake to
// its next wait, as the host counts them (core_percent: the figure of a
// real host, whose IO thread is woken by the system's timer); and the
// whole process (process_core_percent), which adds the virtual clock's
// thread hand-overs - the clock thread advancing time, waking the IO thread
// and waiting for it to wait again - that a real host does not have.
void BM_HostCyclePerAudioSecond(benchmark::State& state) {
    for (auto _ : state) {
        hx::clock::VirtualClock clock;
        hx::coreaudio::test::ScriptedServerPlugIn plugIn;
        plugIn.ringPeriod = 64;
        plugIn.bytesPerFrame = 8;
        hx::coreaudio::ServerHostOptions options;
        options.framesPerCycle = 64;
        options.processName = "";
        options.measureCycleCpu = true;
        hx::coreaudio::ServerHost host(options);
        host.loadDriver(plugIn.driverRef());
        host.settle();
        UInt32 client = 0;
        host.addClient(hx::coreaudio::test::ScriptedServerPlugIn::kDevice, 1, nullptr, &client);
        host.startIO(hx::coreaudio::test::ScriptedServerPlugIn::kDevice, client);
        const auto before = host.statistics();
        const double start = cpuSeconds();
        clock.runFor(1000000000ull);
        const double used = cpuSeconds() - start;
        const auto after = host.statistics();
        host.shutdown();
        const double own = double(after.cycleCpuNanos - before.cycleCpuNanos) * 1e-9;
        state.SetIterationTime(own);
        state.counters["core_percent"] = own * 100.0;
        state.counters["process_core_percent"] = used * 100.0;
        state.counters["cycles"] = double(after.cycles - before.cycles);
    }
}
BENCHMARK(BM_HostCyclePerAudioSecond)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
