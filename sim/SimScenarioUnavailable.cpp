// Stands in for the default scenario while the client harness is not in the
// tree: hxsim still parses its options and reports why it cannot run.
#include "sim/SimScenario.h"

namespace hx::sim {

void runDefaultScenario(const Options& o, Progress&, Report& r, std::vector<int32_t>&)
{
    r.askedRate = o.rate;
    r.speed = o.speed;
    r.ppm = o.ppm;
    r.routing = o.routing;
    r.virtualClock = o.virtualClock;
    r.failure = "the client harness (driver/clients/harness) is not built yet";
}

}  // namespace hx::sim
