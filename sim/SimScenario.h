// hxsim's scenarios on the simulated machine.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/SimOptions.h"
#include "sim/SimProgress.h"
#include "sim/SimReport.h"

namespace hx::sim {
class KernelHostChild;
}

namespace hx::sim {

// The default scenario: an HX-5100 in loopback at the asked speed and clock
// offset, the driver loaded from its personality, user client type 4, the
// device configured at the asked rate and streaming, output pair 0 routed as
// asked, one client output ring playing a ramp while the input ring is read
// back. Fills everything the report shows except the recording, and sets
// report.failure when the scenario did not pass. recorded gets the input
// ring's samples (interleaved, left-aligned 32-bit).
// host: the kernel host child of a run across processes (null in process).
void runDefaultScenario(const Options& options, Progress& progress, Report& report,
                        std::vector<int32_t>& recorded, KernelHostChild* host = nullptr);

// The device road: the same machine, configured at the asked rate by a
// driver connection and routed as above; the device manager finds the
// HX-5100 and a float IO procedure plays the ramp and records the loopback
// for the asked length, then stops, is removed and the device closes.
// recorded gets what the procedure received, as ring samples.
void runDeviceScenario(const Options& options, Progress& progress, Report& report,
                       std::vector<int32_t>& recorded, KernelHostChild* host = nullptr);

// The HAL road (the default): the same machine, configured at 44,100 Hz by
// another client; the HAL host loads the installed HAL plug-in, the
// program finds the HX-5100 in the device list, sets the rate ('nsrt'), the
// frame size when asked ('fsiz') and the routing ('QnRM') through the
// plug-in, and an IO procedure ID started from a program thread plays the
// ramp and records the loopback for the asked length; then it is stopped
// and destroyed and the plug-in unloaded. report.hal gets what the plug-in
// answered.
void runHalScenario(const Options& options, Progress& progress, Report& report,
                    std::vector<int32_t>& recorded, KernelHostChild* host = nullptr);

// The server road (the default): the audio server host loads the installed
// server plug-in, finds the HX-5100 in its device list, sets the rate
// ('nsrt') and the routing ('QnRM'), adds a client, starts IO at the frame
// size and plays the ramp as a float client, records the loopback, stops,
// removes the client and unloads. report.server gets what the host read.
void runServerScenario(const Options& options, Progress& progress, Report& report,
                       std::vector<int32_t>& recorded, KernelHostChild* host = nullptr);

} // namespace hx::sim
