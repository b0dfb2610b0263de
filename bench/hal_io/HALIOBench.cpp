// The HAL plug-in's IO path against the device layer's own, on the
// simulated machine and the virtual clock.
//
// BM_IOSecond: what one float IOProcID (2 channels) costs per second of
// audio at a frame size of 64 or 512 (second arg), started through the HAL
// host and the plug-in (first arg 1, the frame size through 'fsiz') or on a
// ZrOSXDevice directly (first arg 0). The measure is the CPU time of the
// threads the road adds to the machine, over whole audio seconds:
// - the device's IO thread, which waits for each cycle, reads and writes
//   the shared rings, converts the samples and calls the procedure (its
//   clock from pthread_getcpuclockid, taken inside the procedure);
// - every other thread started after the machine booted: on the HAL road
//   the host's run-loop and notice threads and anything the plug-in starts
//   (by their kernel thread IDs, on the same per-thread CPU clock).
// The machine's threads (bus, device model, kernel driver, virtual clock)
// run the same on both roads and are not the procedure's cost; they are
// left out so the procedure's path is not lost in them, and the process's
// whole CPU time is still shown (process_ms) so that no work the host might
// push onto them goes unseen. The reported time is that measure per audio
// second (manual time: the "Time" column, its repetitions' cv and the goal
// below all read it); io_thread_ms and other_threads_ms split it.
// Every thread of the machine and the road runs on one processor (the one
// the benchmark starts on): the virtual clock hands each step from thread to
// thread, and a hand-off to another processor costs the woken thread a
// cross-processor wake-up that, on a virtual machine above all, outweighs
// the IO path several times over and varies with where the scheduler put it.
// On one processor the hand-offs stay as cheap as a wait and a wake can be,
// and the same on both roads, so what differs between the roads is visible.
// The goal: host road / device road <= 1.05 at both frame sizes.
//
// BM_GetCurrentTime: one GetCurrentTime through the host and the plug-in
// (arg 1) or on the device (arg 0), CPU time per call; goal: ratio <= 2.
// Its machine runs on any processor, away from the calling thread.
//
// The program ends with the summary (BM_IOSecond per IO cycle) and the
// goals' ratios of the medians over the repetitions, and of the least
// repetitions (run it with --benchmark_repetitions=5; the repetitions of
// the two roads run interleaved).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/BenchSummary.h"
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "device/harness/DeviceRoad.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"
#include "platform/sys/HXProcess.h"

namespace {

using hx::coreaudio::HALHost;
using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;

uint64_t nanos(const timespec& ts) {
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t clockNanos(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return nanos(ts);
}

uint64_t processCpuNanos() {
    return clockNanos(CLOCK_PROCESS_CPUTIME_ID);
}

// The per-thread CPU clock of a thread of this process by its kernel thread
// ID: the clock pthread_getcpuclockid hands out for a pthread, here for the
// threads the program holds no pthread_t of.
clockid_t threadClock(pid_t tid) {
    return clockid_t(~unsigned(tid) << 3 | 6u);
}

pid_t ownTid() {
    return pid_t(syscall(SYS_gettid));
}

std::set<pid_t> processThreads() {
    std::set<pid_t> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(pid_t(std::atoi(e->d_name)));
        closedir(d);
    }
    return ids;
}

// The ramp procedure, noting the thread it runs on (the device's IO thread)
// the first time.
struct MeteredProc {
    RampProc ramp;
    std::atomic<bool> seen{false};
    clockid_t clock{};
    pid_t tid = 0;
    bool clockOk = false;

    static OSStatus proc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* in,
                         const AudioTimeStamp* inTime, AudioBufferList* out,
                         const AudioTimeStamp* outTime, void* clientData) {
        auto* self = static_cast<MeteredProc*>(clientData);
        if (!self->seen.load(std::memory_order_relaxed)) {
            self->clockOk = pthread_getcpuclockid(pthread_self(), &self->clock) == 0;
            self->tid = ownTid();
            self->seen.store(true, std::memory_order_release);
        }
        return RampProc::proc(device, now, in, inTime, out, outTime, &self->ramp);
    }
};

// Keeps the calling thread, and so every thread it starts meanwhile, on the
// processor it is running on; gives back its former set when it goes.
class OneProcessor {
public:
    OneProcessor() {
        mPinned = sched_getaffinity(0, sizeof mFormer, &mFormer) == 0;
        const int cpu = sched_getcpu();
        if (!mPinned || cpu < 0) {
            mPinned = false;
            return;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        mPinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OneProcessor() {
        if (mPinned) sched_setaffinity(0, sizeof mFormer, &mFormer);
    }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;
    bool pinned() const { return mPinned; }

private:
    cpu_set_t mFormer{};
    bool mPinned = false;
};

// One machine with the HX-5100 and either the HAL road or the device road,
// an IOProcID of the ramp started.
struct Road {
    hx::test::TempRoot root;
    std::unique_ptr<DeviceRoad> road;
    std::unique_ptr<HALHost> host;
    ZrOSXDevice* device = nullptr;
    AudioDeviceID id = 0;
    AudioDeviceIOProcID procID = nullptr;
    IOProcEntry* entry = nullptr;
    MeteredProc metered;
    std::set<pid_t> machineThreads; // running once the machine has booted
    bool ok = false;

    explicit Road(bool throughHost, uint32_t frames = 0) {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        // Not recorded: a run of many audio seconds would grow the record on
        // the IO thread; the ramp is still played on both roads.
        metered.ramp.record = false;
        road = std::make_unique<DeviceRoad>(48000);
        if (!road->boot()) return;
        machineThreads = processThreads();
        hx::sys::setOwnUid(501);
        if (throughHost) {
            if (!HALHost::installBundle(HX_HAL_PLUGIN_BUNDLE)) return;
            host = std::make_unique<HALHost>();
            if (host->load() != 0 || host->devices().empty()) return;
            id = host->devices()[0];
            // The rate the device road opens at, asked for as a HAL client does.
            const Float64 rate = 48000;
            if (AudioDeviceSetProperty(id, nullptr, 0, false, hx::coreaudio::fourCC("nsrt"),
                                       sizeof rate, &rate) != 0)
                return;
            if (frames &&
                AudioDeviceSetProperty(id, nullptr, 0, false, hx::coreaudio::fourCC("fsiz"),
                                       sizeof frames, &frames) != 0)
                return;
            if (AudioDeviceCreateIOProcID(id, &MeteredProc::proc, &metered, &procID) != 0) return;
            ok = AudioDeviceStart(id, procID) == 0;
        } else {
            device = road->openDevice();
            if (!device) return;
            if (frames && device->setFrameSize(frames, true, false) != 0) return;
            entry = device->addIOProcID(&MeteredProc::proc, &metered);
            ok = entry && device->onDeviceStartProcOrID(entry);
        }
        road->run(100000);
    }
    ~Road() {
        if (host) {
            host->unload();
            host.reset();
        } else if (device) {
            device->onDeviceStopProcOrID(entry);
            device->removeIOProcID(entry);
            road->closeDevice();
        }
        road.reset();
        hx::sys::resetProcessOverrides();
    }

    // CPU time so far of each thread started after the machine booted.
    std::map<pid_t, uint64_t> addedThreadsCpu() const {
        std::map<pid_t, uint64_t> cpu;
        for (pid_t t : processThreads())
            if (!machineThreads.count(t)) cpu[t] = clockNanos(threadClock(t));
        return cpu;
    }
};

// Audio seconds a benchmark iteration runs (3 iterations a repetition).
constexpr uint64_t kAudioSecondsPerIteration = 4;

void BM_IOSecond(benchmark::State& state) {
    OneProcessor processor; // before the road: its threads start pinned
    if (!processor.pinned()) {
        state.SkipWithError("could not keep the threads on one processor");
        return;
    }
    Road r(state.range(0) != 0, uint32_t(state.range(1)));
    if (!r.ok) {
        state.SkipWithError("the road did not start");
        return;
    }
    // One audio second to settle, and the IO thread known by then.
    r.road->run(1000000);
    MeteredProc& m = r.metered;
    if (!m.seen.load(std::memory_order_acquire) || !m.clockOk) {
        state.SkipWithError("the procedure did not run");
        return;
    }
    if (m.clock != threadClock(m.tid) || r.machineThreads.count(m.tid)) {
        state.SkipWithError("the IO thread's clock is not the one its thread ID gives");
        return;
    }
    uint64_t ioThread = 0, others = 0, process = 0, threadsAdded = 0;
    const uint64_t calls = m.ramp.calls.load();
    for (auto _ : state) {
        const std::map<pid_t, uint64_t> before = r.addedThreadsCpu();
        const uint64_t processStart = processCpuNanos();
        r.road->run(kAudioSecondsPerIteration * 1000000);
        const uint64_t processEnd = processCpuNanos();
        const std::map<pid_t, uint64_t> after = r.addedThreadsCpu();
        uint64_t io = 0, rest = 0;
        // A thread that started during the iteration counts from its start.
        for (const auto& [tid, cpu] : after) {
            auto b = before.find(tid);
            const uint64_t used = cpu - (b == before.end() ? 0 : std::min(cpu, b->second));
            (tid == m.tid ? io : rest) += used;
            if (b == before.end()) ++threadsAdded;
        }
        ioThread += io;
        others += rest;
        process += processEnd - processStart;
        state.SetIterationTime(double(io + rest) / 1e9 / double(kAudioSecondsPerIteration));
    }
    const double seconds = double(state.iterations() * kAudioSecondsPerIteration);
    state.counters["io_thread_ms"] = benchmark::Counter(double(ioThread) / 1e6 / seconds);
    state.counters["other_threads_ms"] = benchmark::Counter(double(others) / 1e6 / seconds);
    state.counters["process_ms"] = benchmark::Counter(double(process) / 1e6 / seconds);
    state.counters["threads_started"] = benchmark::Counter(double(threadsAdded));
    // Both roads must run the procedure as often for the ratio to mean
    // anything (48,000 / frames a second).
    state.counters["proc_calls_per_audio_s"] =
        benchmark::Counter(double(m.ramp.calls.load() - calls) / seconds);
}
BENCHMARK(BM_IOSecond)
    ->ArgNames({"host", "frames"})
    ->ArgsProduct({{0, 1}, {64, 512}})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_GetCurrentTime(benchmark::State& state) {
    Road r(state.range(0) != 0);
    if (!r.ok) {
        state.SkipWithError("the road did not start");
        return;
    }
    AudioTimeStamp t{};
    for (auto _ : state) {
        const OSStatus s =
            r.host ? AudioDeviceGetCurrentTime(r.id, &t) : r.device->onDeviceGetCurrentTime(t);
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_GetCurrentTime)->ArgName("host")->Arg(0)->Arg(1);

// The console output, plus each benchmark's per-repetition times: the manual
// time for BM_IOSecond (ms per audio second), the CPU time per call for
// BM_GetCurrentTime (ns).
class Reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0 || r.error_occurred) continue;
            const std::string name = r.run_name.function_name + "/" + r.run_name.args;
            const bool manual = r.run_name.function_name == "BM_IOSecond";
            times[name].push_back(manual ? r.real_accumulated_time * 1e3 / double(r.iterations)
                                         : r.cpu_accumulated_time * 1e9 / double(r.iterations));
        }
    }
    double least(const std::string& name) const {
        auto it = times.find(name);
        if (it == times.end() || it->second.empty()) return -1;
        return *std::min_element(it->second.begin(), it->second.end());
    }
    double median(const std::string& name) const {
        auto it = times.find(name);
        if (it == times.end() || it->second.empty()) return -1;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
};

void printRatio(const char* what, double host, double device, double goal) {
    if (host > 0 && device > 0)
        std::printf("%-44s %10.3f / %10.3f = %5.2f (goal <= %.2f)\n", what, host, device,
                    host / device, goal);
    else
        std::printf("%-44s not measured\n", what);
}

// The goal's ratio of the medians, and of the least repetitions (on a
// loaded machine the least disturbed one of each road).
void printGoal(const Reporter& r, const std::string& what, const std::string& host,
               const std::string& device, double goal) {
    printRatio((what + ", median").c_str(), r.median(host), r.median(device), goal);
    printRatio((what + ", least").c_str(), r.least(host), r.least(device), goal);
}

} // namespace

int main(int argc, char** argv) {
    // The two roads' repetitions run interleaved in random order unless asked
    // otherwise, so a change of the machine's load during the run falls on
    // both roads alike instead of on the ratio.
    std::vector<char*> args(argv, argv + argc);
    bool interleavingAsked = false;
    for (char* a : args)
        interleavingAsked = interleavingAsked ||
                            std::string(a).rfind("--benchmark_enable_random_interleaving", 0) == 0;
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!interleavingAsked) args.insert(args.begin() + 1, interleave);
    argc = int(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Medians over the repetitions, in ns per call: BM_IOSecond's per IO
    // cycle (its ms per audio second over 48,000 / frames cycles). Neither
    // has a memcpy or reference-loop baseline.
    std::vector<hxbench::SummaryRow> rows;
    for (const auto& [name, v] : reporter.times) {
        const std::string frames = "/frames:";
        const auto at = name.find(frames);
        if (at == std::string::npos) {
            rows.push_back({name, "", reporter.median(name)});
            continue;
        }
        const double cyclesPerSecond = 48000.0 / std::atof(name.c_str() + at + frames.size());
        rows.push_back({name + " cycle", "", reporter.median(name) * 1e6 / cyclesPerSecond});
    }
    hxbench::printSummary("hx_bench_hal_io", rows);

    std::printf("\ngoals of hx_bench_hal_io (over the repetitions; host road / device road)\n");
    for (const char* frames : {"64", "512"})
        printGoal(reporter, std::string("IOProcID ms per audio second, ") + frames,
                  std::string("BM_IOSecond/host:1/frames:") + frames,
                  std::string("BM_IOSecond/host:0/frames:") + frames, 1.05);
    printGoal(reporter, "GetCurrentTime ns per call", "BM_GetCurrentTime/host:1",
              "BM_GetCurrentTime/host:0", 2.0);
    benchmark::Shutdown();
    return 0;
}
