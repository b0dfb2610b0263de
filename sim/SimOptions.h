// hxsim's command line: plain "--name value" options, and --help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hx::sim {

enum class Speed { Full, High };
enum class Routing { Pass, Mix };

struct Options {
    uint32_t rate = 48000;
    Speed speed = Speed::High;
    double seconds = 3.0;
    int32_t ppm = 0;  // the device's sample clock against the bus
    Routing routing = Routing::Pass;
    // A path of the other system, mapped under the path root; a relative
    // path stays relative to the working directory.
    std::string output = "/Users/Shared/hxsim/loopback.wav";
    bool virtualClock = false;
    bool quiet = false;
};

enum class ParseResult { Run, Help, Error };

// Fills options from argv[1..]. On Error, error holds a one-line reason.
ParseResult parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The --help text.
std::string usage();

const char* speedName(Speed s);
const char* routingName(Routing r);

}  // namespace hx::sim
