// What hxsim's roads share: the machine's part of the report, the options
// a run across processes cannot have, the clock, and the loopback check of
// a ramp played through an IO procedure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/harness/DeviceRoad.h"
#include "driver/clients/harness/HarnessTypes.h"
#include "sim/SimOptions.h"
#include "sim/SimProgress.h"
#include "sim/SimReport.h"

namespace hx::sim {

// The machine's report (driver, device, rate, counts) into the run's report.
void fillMachine(Report& r, const hx::harness::HarnessReport& h, const char* driverClass);

// What a run across processes cannot have (the machine's sleep and the
// MIDI port are reached only in process): true with the option error set.
bool refuseAcrossProcesses(const Options& o, Report& r);

// Every road's start: the options the report repeats, then the refusal of
// what a run across processes cannot have (true: the run ends here).
bool beginRoad(const Options& o, Report& r);

// Runs the machine for the run's seconds of audio in slices of 100 ms,
// telling progress; the seconds run go into the report.
void runForSeconds(const Options& o, Progress& progress, Report& r,
                   const std::function<void(uint64_t micros)>& run);

// Runs the machine from `done` to `total` microseconds in slices of 100 ms,
// telling progress; at `sleepAt` it puts the machine to sleep and at
// `wakeAt` wakes it (`machine(true)`, `machine(false)`; UINT64_MAX: never).
void runSlicesWithSleep(uint64_t done, uint64_t total, uint64_t sleepAt, uint64_t wakeAt,
                        Progress& progress, const std::function<void(uint64_t micros)>& run,
                        const std::function<void(bool sleep)>& machine);

hx::harness::ClockMode clockMode(Clock c);

// The ramp's loopback into the report (frames each way, the match, the
// latency) and recorded (from where the played signal came back, as ring
// samples). Returns the reason the run fails on, empty when it matched.
std::string reportLoopback(const Options& o, const hx::devroad::RampProc& ramp, Report& r,
                           std::vector<int32_t>& recorded);

} // namespace hx::sim
