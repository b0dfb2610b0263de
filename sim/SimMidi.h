// hxsim's check of the MIDI and status port (--midi) on a streaming machine.
#pragma once

#include "sim/SimReport.h"

namespace hx::harness {
class ClientHarness;
}

namespace hx::sim {

// The device sends status values and a launch-button press and release; a
// MIDI sequence goes out through the port and is checked where the device
// records it, with its latency in bus frames. Fills the report's MIDI lines
// and sets report.failure when the port did not behave.
void runMidiCheck(hx::harness::ClientHarness& h, Report& report);

} // namespace hx::sim
