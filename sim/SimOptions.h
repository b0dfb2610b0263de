// hxsim's command line: plain "--name value" options, and --help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hx::sim {

enum class Speed { Full, High };
enum class Routing { Pass, Mix };
// The time the simulated machine runs on: paced (virtual time kept to the wall
// clock, the default: host stalls hold the machine instead of breaking its
// stream), virtual (as fast as the host goes, for tests) or real (the host's
// clock, where its stalls show as glitches).
enum class Clock { Paced, Virtual, Real };
// The device on the bus: the HX-5100, or a first-generation Sorvik Farlane
// (48 kHz only); on the kernel road also the bulk-protocol device (bulk, or
// its interrupt variant), the feedback device, the plain interrupt device
// and a second-generation Farlane (48 kHz only).
enum class Device { HX5100, Farlane1, Bulk, BulkInterrupt, Feedback, Interrupt, Farlane2 };

// Which road a run takes: the audio server through the server plug-in (the
// default), a program of the HAL through the HAL plug-in, the user-space
// device layer alone, or the kernel driver alone through the client harness.
enum class Road { Server, Hal, Device, Kernel };

// How the run's user side reaches the kernel: in this process, or through a
// kernel host (hxsim --kernel-host) that the run starts as a child process.
enum class Transport { InProcess, Process };

struct Options {
    uint32_t rate = 48000;
    Speed speed = Speed::High;
    double seconds = 3.0;
    int32_t ppm = 0; // the device's sample clock against the bus
    Routing routing = Routing::Pass;
    // A path of the other system, mapped under the path root; a relative
    // one is read from the root ("/" is put in front when options are read).
    std::string output = "/Users/Shared/hxsim/loopback.wav";
    Clock clock = Clock::Paced;
    bool quiet = false;
    // Puts the machine to sleep this far into the run (negative: never) and
    // wakes it this much later.
    double sleepAt = -1;
    double sleepFor = 0;
    // Faults of the device model: it drops / repeats the n-th frame it
    // plays (0: never), to show that the report catches lost frames.
    uint64_t dropFrame = 0;
    uint64_t repeatFrame = 0;
    // The road and, on the HAL and device roads, the IO buffer size in
    // frames (0: the device layer's default).
    Road road = Road::Server;
    uint32_t frameSize = 0;
    Device device = Device::HX5100;
    // Input and output channels of the multi-channel devices (--channels
    // in/out); 0: 2 (8 for the bulk-protocol interrupt variant, 4 for the
    // Farlane-2).
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    // The MIDI and status port: status events, a launch-button press and a
    // MIDI sequence through the port, checked where the device records it.
    bool midi = false;
    Transport transport = Transport::InProcess;
    // HXHelper runs beside the road against the kernel host (--transport
    // process only).
    bool helper = false;
};

enum class ParseResult { Run, Help, Error };

// Fills options from argv[1..]. On Error, error holds a one-line reason.
ParseResult parseOptions(const std::vector<std::string>& args, Options& options,
                         std::string& error);

// The --help text.
std::string usage();

const char* speedName(Speed s);
const char* routingName(Routing r);
const char* clockName(Clock c);
const char* roadName(Road r);
const char* deviceName(Device d);
const char* transportName(Transport t);

} // namespace hx::sim
