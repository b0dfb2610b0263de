// The HAL plug-in's IO path against the device layer's own, on the
// simulated machine and the virtual clock.
//
// BM_IOSecond: CPU time of the whole process per second of audio while one
// float IO procedure (2 channels) runs at a frame size of 64 or 512
// (second arg), started through the HAL host and the plug-in (first arg 1,
// the frame size through 'fsiz') or on a ZrOSXDevice directly (first arg 0).
// The host does nothing per cycle, so the ratio should stay within 1.05.
// BM_GetCurrentTime: one GetCurrentTime through the host and the plug-in
// (arg 1) or on the device (arg 0); the ratio should stay within 2.
#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <memory>

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

uint64_t processCpuNanos() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

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
    RampProc ramp;
    bool ok = false;

    explicit Road(bool throughHost, uint32_t frames = 0) {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        road = std::make_unique<DeviceRoad>(48000);
        if (!road->boot()) return;
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
            if (AudioDeviceCreateIOProcID(id, &RampProc::proc, &ramp, &procID) != 0) return;
            ok = AudioDeviceStart(id, procID) == 0;
        } else {
            device = road->openDevice();
            if (!device) return;
            if (frames && device->setFrameSize(frames, true, false) != 0) return;
            entry = device->addIOProcID(&RampProc::proc, &ramp);
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
};

void BM_IOSecond(benchmark::State& state) {
    Road r(state.range(0) != 0, uint32_t(state.range(1)));
    if (!r.ok) {
        state.SkipWithError("the road did not start");
        return;
    }
    uint64_t cpu = 0;
    const uint64_t calls = r.ramp.calls.load();
    for (auto _ : state) {
        const uint64_t start = processCpuNanos();
        r.road->run(1000000);
        cpu += processCpuNanos() - start;
    }
    state.counters["cpu_ms_per_audio_s"] =
        benchmark::Counter(double(cpu) / 1e6 / double(state.iterations()));
    // Both roads must run the procedure as often for the ratio to mean
    // anything (48,000 / frames a second).
    state.counters["proc_calls_per_audio_s"] =
        benchmark::Counter(double(r.ramp.calls.load() - calls) / double(state.iterations()));
}
BENCHMARK(BM_IOSecond)
    ->ArgsProduct({{0, 1}, {64, 512}})
    ->Iterations(3)
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
BENCHMARK(BM_GetCurrentTime)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
