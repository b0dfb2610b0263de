#include "sim/SimOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace hx::sim {

namespace {

// The device's own rates; anything else is a typing error, not a request the
// driver should get to refuse.
constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

// Bounds that keep a run and its recording reasonable: a day of audio at
// 192 kHz would not fit a WAV file anyway.
constexpr double kMaxSeconds = 3600.0;
// Below this the played signal cannot come back through the loopback (the
// client writes a few milliseconds ahead of the kernel, and the device loops
// its output back some frames later) before the run ends.
constexpr double kMinSeconds = 0.1;
constexpr int32_t kMaxPpm = 1000;

bool parseLong(const std::string& text, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool parseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

} // namespace

const char* speedName(Speed s) {
    return s == Speed::High ? "high" : "full";
}
const char* routingName(Routing r) {
    return r == Routing::Mix ? "mix" : "pass";
}
const char* clockName(Clock c) {
    return c == Clock::Virtual ? "virtual" : c == Clock::Real ? "real" : "paced";
}
const char* roadName(Road r) {
    return r == Road::Kernel   ? "kernel"
           : r == Road::Device ? "device"
           : r == Road::Hal    ? "hal"
                               : "server";
}

namespace {

// The road options, parsed apart from the others. Returns false when name is
// not one of them; error is set when its value is wrong.
bool parseRoadOption(const std::string& name, const std::string& value, Options& o,
                     std::string& error) {
    if (name == "--road") {
        if (value == "server")
            o.road = Road::Server;
        else if (value == "hal")
            o.road = Road::Hal;
        else if (value == "device")
            o.road = Road::Device;
        else if (value == "kernel")
            o.road = Road::Kernel;
        else
            error = "--road must be server, hal, device or kernel, not " + value;
        return true;
    }
    if (name == "--transport") {
        if (value == "in-process")
            o.transport = Transport::InProcess;
        else if (value == "process")
            o.transport = Transport::Process;
        else
            error = "--transport must be in-process or process, not " + value;
        return true;
    }
    if (name == "--frame-size") {
        long n = 0;
        if (!parseLong(value, n) || n < 64 || n > 8192)
            error = "--frame-size must be a whole number from 64 to 8192, not " + value;
        else
            o.frameSize = uint32_t(n);
        return true;
    }
    return false;
}

} // namespace

const char* transportName(Transport t) {
    return t == Transport::Process ? "process" : "in-process";
}

struct DeviceName {
    Device device;
    const char* name;
};
constexpr DeviceName kDeviceNames[] = {
    {Device::HX5100, "hx5100"},     {Device::Farlane1, "farlane1"},
    {Device::Bulk, "bulk"},         {Device::BulkInterrupt, "bulk-int"},
    {Device::Feedback, "feedback"}, {Device::Interrupt, "interrupt"},
    {Device::Farlane2, "farlane2"},
};

const char* deviceName(Device d) {
    for (const DeviceName& n : kDeviceNames)
        if (n.device == d) return n.name;
    return "hx5100";
}

// "N" or "IN/OUT", each an even count from 2 to 32.
bool parseChannels(const std::string& value, uint32_t& in, uint32_t& out) {
    const size_t slash = value.find('/');
    long i = 0, o = 0;
    if (!parseLong(value.substr(0, slash), i)) return false;
    o = i;
    if (slash != std::string::npos && !parseLong(value.substr(slash + 1), o)) return false;
    auto valid = [](long n) { return n >= 2 && n <= 32 && n % 2 == 0; };
    if (!valid(i) || !valid(o)) return false;
    in = uint32_t(i);
    out = uint32_t(o);
    return true;
}

std::string usage() {
    return "usage: hxsim [--name value]...\n"
           "Boots the simulated machine with an HX-5100 in loopback, loads the kernel driver,\n"
           "plays a ramp through an IO procedure of the HAL plug-in (or of the user-space\n"
           "device layer, or, on the kernel road, one client output ring), records it back,\n"
           "reports what happened and writes the recording as a WAV file.\n"
           "\n"
           "  --rate HZ          sample rate to configure: 44100, 48000, 88200, 96000, 176400\n"
           "                     or 192000 (default 48000)\n"
           "  --device D         the device on the bus: hx5100 (default); on the kernel road\n"
           "                     also farlane1 (a first-generation Sorvik Farlane, 48000 Hz\n"
           "                     only), bulk, bulk-int (its interrupt variant), feedback,\n"
           "                     interrupt or farlane2 (48000 Hz only)\n"
           "  --channels IN/OUT  the multi-channel devices' input and output channels, even\n"
           "                     counts from 2 to 32 (N: N each way; default 2, bulk-int 8,\n"
           "                     farlane2 4; bulk-int takes 6, 8 or 16 outputs)\n"
           "  --speed S          bus speed, full or high (default high)\n"
           "  --seconds N        seconds of audio to play, from the client's first frame,\n"
           "                     0.1..3600 (default 3)\n"
           "  --ppm N            the device clock's offset from the bus, -1000..1000 (default 0)\n"
           "  --routing R        output pair 0: pass (playback 1/2 unchanged) or mix (the output\n"
           "                     mixer's halved sum) (default pass)\n"
           "  --output PATH      where to write the recording, always under the path root (a\n"
           "                     relative PATH is taken from the root, \"..\" never leaves it)\n"
           "                     (default /Users/Shared/hxsim/loopback.wav)\n"
           "  --virtual-clock    run on the virtual clock as fast as the host goes (for tests)\n"
           "  --midi             also check the MIDI and status port: status events, a button\n"
           "                     press, and a MIDI sequence with its latency in bus frames\n"
           "                     (bulk, farlane2: the sequence looped back into the input)\n"
           "  --helper           also run HXHelper against the kernel host (--transport process\n"
           "                     only): its connection lines, a state change 35 sent once\n"
           "                     through machine control, and the launch command it records\n"
           "  --real-clock       run on the host's clock instead of the paced virtual clock\n"
           "                     (host stalls of a few ms then show as glitches)\n"
           "  --sleep-at S       put the machine to sleep S seconds into the run\n"
           "  --sleep-for S      and wake it S seconds later (default 1); the run goes on\n"
           "                     until the stream has come back\n"
           "  --drop-frame N     the device drops the N-th frame it plays (a fault, to see it "
           "caught)\n"
           "  --repeat-frame N   the device plays its N-th frame twice (likewise)\n"
           "  --road R           server (default): the audio server host loads the server\n"
           "                     plug-in, sets the rate and routing through its properties,\n"
           "                     adds a client and plays and records as a float client; hal:\n"
           "                     a program loads the HAL plug-in through the HAL host, sets\n"
           "                     the rate, frame size and routing through its properties and\n"
           "                     plays and records through an IO procedure; device:\n"
           "                     a program of the user-space device layer does the same without\n"
           "                     the plug-in; kernel: the driver's client harness writes and\n"
           "                     reads the rings itself\n"
           "  --frame-size N     the HAL and device roads' IO buffer in frames, 64..8192\n"
           "                     (default: the device layer's, 256)\n"
           "  --transport T      in-process (default): the kernel runs in this process; process:\n"
           "                     hxsim starts a kernel host (below) as a child and the road's\n"
           "                     user side reaches it over its sockets\n"
           "  --quiet            print only the result line\n"
           "  --help             this text\n"
           "\n"
           "hxsim --kernel-host SOCKET [--name value]...\n"
           "                     boots the machine (paced) and serves its kernel to other "
           "processes\n"
           "                     at SOCKET (under the path root) until SIGTERM\n"
           "\n"
           "\n"
           "The path root is HX_ROOT (an absolute path; a relative one is refused), else\n"
           "$XDG_DATA_HOME/hx5100, else ~/.local/share/hx5100. The driver's log goes to\n"
           "/var/log/hxsim.log under it (the run before keeps hxsim.log.1).\n"
           "\n"
           "Exit code 0 when the looped-back audio matched and no frame was lost; 2 for an\n"
           "option the run cannot have; otherwise 1, each with a one-line reason.\n";
}

ParseResult parseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help") return ParseResult::Help;
        if (name == "--virtual-clock" || name == "--real-clock") {
            o.clock = name == "--real-clock" ? Clock::Real : Clock::Virtual;
            continue;
        }
        if (name == "--midi") {
            o.midi = true;
            continue;
        }
        if (name == "--helper") {
            o.helper = true;
            continue;
        }
        if (name == "--quiet") {
            o.quiet = true;
            continue;
        }
        if ((name == "--road" || name == "--frame-size" || name == "--transport") &&
            i + 1 < args.size()) {
            parseRoadOption(name, args[++i], o, error);
            if (!error.empty()) return ParseResult::Error;
            continue;
        }
        const bool known = name == "--road" || name == "--frame-size" || name == "--transport" ||
                           name == "--rate" || name == "--speed" || name == "--seconds" ||
                           name == "--ppm" || name == "--routing" || name == "--output" ||
                           name == "--sleep-at" || name == "--sleep-for" ||
                           name == "--drop-frame" || name == "--repeat-frame" ||
                           name == "--device" || name == "--channels";
        if (!known) {
            error = "unknown option " + name + " (try --help)";
            return ParseResult::Error;
        }
        if (i + 1 >= args.size()) {
            error = "option " + name + " needs a value";
            return ParseResult::Error;
        }
        const std::string& value = args[++i];
        if (name == "--rate") {
            long r = 0;
            bool ok = parseLong(value, r);
            bool offered = false;
            for (uint32_t k : kRates)
                offered = offered || (ok && r == long(k));
            if (!offered) {
                error = "--rate " + value +
                        " is not a rate of the device (44100, 48000, 88200, 96000, 176400, 192000)";
                return ParseResult::Error;
            }
            o.rate = uint32_t(r);
        } else if (name == "--device") {
            const DeviceName* found = nullptr;
            for (const DeviceName& n : kDeviceNames)
                if (value == n.name) found = &n;
            if (!found) {
                error = "--device must be hx5100, farlane1, bulk, bulk-int, feedback, interrupt or "
                        "farlane2, not " +
                        value;
                return ParseResult::Error;
            }
            o.device = found->device;
        } else if (name == "--channels") {
            if (!parseChannels(value, o.inChannels, o.outChannels)) {
                error = "--channels must be IN/OUT or N, even counts from 2 to 32, not " + value;
                return ParseResult::Error;
            }
        } else if (name == "--speed") {
            if (value == "full")
                o.speed = Speed::Full;
            else if (value == "high")
                o.speed = Speed::High;
            else {
                error = "--speed must be full or high, not " + value;
                return ParseResult::Error;
            }
        } else if (name == "--seconds") {
            double s = 0;
            if (!parseDouble(value, s) || s < kMinSeconds || s > kMaxSeconds) {
                error = "--seconds must be a number from 0.1 (the shortest run whose signal comes "
                        "back) to 3600, not " +
                        value;
                return ParseResult::Error;
            }
            o.seconds = s;
        } else if (name == "--ppm") {
            long p = 0;
            if (!parseLong(value, p) || p < -kMaxPpm || p > kMaxPpm) {
                error = "--ppm must be a whole number from -1000 to 1000, not " + value;
                return ParseResult::Error;
            }
            o.ppm = int32_t(p);
        } else if (name == "--routing") {
            if (value == "pass")
                o.routing = Routing::Pass;
            else if (value == "mix")
                o.routing = Routing::Mix;
            else {
                error = "--routing must be pass or mix, not " + value;
                return ParseResult::Error;
            }
        } else if (name == "--sleep-at" || name == "--sleep-for") {
            double s = 0;
            if (!parseDouble(value, s) || s < 0 || s > kMaxSeconds) {
                error = name + " must be a number from 0 to 3600, not " + value;
                return ParseResult::Error;
            }
            (name == "--sleep-at" ? o.sleepAt : o.sleepFor) = s;
            if (name == "--sleep-at" && o.sleepFor == 0) o.sleepFor = 1;
        } else if (name == "--drop-frame" || name == "--repeat-frame") {
            long n = 0;
            if (!parseLong(value, n) || n < 1) {
                error = name + " must be a whole number from 1, not " + value;
                return ParseResult::Error;
            }
            (name == "--drop-frame" ? o.dropFrame : o.repeatFrame) = uint64_t(n);
        } else if (name == "--output") {
            if (value.empty()) {
                error = "--output needs a path";
                return ParseResult::Error;
            }
            const size_t slash = value.rfind('/');
            const std::string last = value.substr(slash == std::string::npos ? 0 : slash + 1);
            if (last.empty() || last == "." || last == "..") {
                error = "--output must name a file, not a folder: " + value;
                return ParseResult::Error;
            }
            // Relative paths are taken from the path root, like absolute ones.
            o.output = value[0] == '/' ? value : "/" + value;
        }
    }
    if (o.helper && o.transport != Transport::Process) {
        error = "--helper needs --transport process";
        return ParseResult::Error;
    }
    const bool multi = o.device != Device::HX5100 && o.device != Device::Farlane1;
    // The HAL and device roads' machine carries the HX-5100 only.
    if (o.device != Device::HX5100 && o.road != Road::Kernel) {
        error = std::string("--device ") + deviceName(o.device) +
                " runs on the kernel road only (--road kernel)";
        return ParseResult::Error;
    }
    // The bulk-protocol and feedback devices take different counts each way;
    // the others one count.
    const bool twoCounts = o.device == Device::Bulk || o.device == Device::BulkInterrupt ||
                           o.device == Device::Feedback;
    if (o.inChannels != o.outChannels && !twoCounts) {
        error = std::string("--channels: --device ") + deviceName(o.device) +
                " takes the same count each way, not " + std::to_string(o.inChannels) + "/" +
                std::to_string(o.outChannels);
        return ParseResult::Error;
    }
    if (o.inChannels && !multi) {
        error = "--channels applies to bulk, bulk-int, feedback, interrupt and farlane2 only";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace hx::sim
