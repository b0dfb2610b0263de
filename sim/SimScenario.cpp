#include "sim/SimScenario.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

namespace hx::sim {

namespace {

// A version word as the driver keeps it: major, minor, patch, build from the
// high byte down; the build is left out when it is 0.
std::string versionText(uint32_t word)
{
    char buf[32];
    const unsigned build = word & 0xFF;
    if (build)
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF, build);
    else
        std::snprintf(buf, sizeof buf, "%u.%u.%u", word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF);
    return buf;
}

void fill(Report& r, const hx::harness::HarnessReport& h, const char* driverClass)
{
    r.product = h.productName;
    r.manufacturer = h.vendorName;
    r.vendorID = h.vendorID;
    r.productID = h.productID;
    r.firmware = versionText(h.firmwareVersion);
    if (!h.firmwareVersionText.empty())
        r.firmware += " (\"" + h.firmwareVersionText + "\")";
    r.driver = driverClass ? driverClass : "";
    r.driverVersion = versionText(h.driverVersion);
    r.rate = h.rate;
    r.inChannels = h.inChannels;
    r.outChannels = h.outChannels;
    r.inBits = h.resolution;
    r.outBits = h.resolution;
    r.inAlternate = h.inAlternate;
    r.outAlternate = h.outAlternate;
    r.encoder = h.outputConverter;
    r.clientType = h.clientType;
    r.clientSlot = h.slot;
    r.clientIdentity = h.identity;
    r.decoder = h.inputConverter;
    r.framesOut = h.framesOut;
    r.framesIn = h.framesIn;
    r.breaks = h.streamBreaks;
    r.patternErrors = uint32_t(std::min<uint64_t>(h.patternErrors, UINT32_MAX));
    if (h.fifoLock) {
        r.fifoMin = uint32_t(std::max<int64_t>(h.fifoMin, 0));
        r.fifoMax = uint32_t(std::max<int64_t>(h.fifoMax, 0));
    }
    if (h.latencyKnown)
        r.latency = h.latencyFrames;
    r.matched = h.matched;
    r.comparedFrames = h.framesChecked;
    r.mismatches = h.mismatches;
}

}  // namespace

void runDefaultScenario(const Options& o, Progress& progress, Report& r, std::vector<int32_t>& recorded)
{
    r.askedRate = o.rate;
    r.speed = o.speed;
    r.ppm = o.ppm;
    r.routing = o.routing;
    r.clock = o.clock;

    hx::harness::HarnessOptions ho;
    ho.highSpeed = o.speed == Speed::High;
    ho.ppm = o.ppm;
    ho.loopback = true;
    ho.clockMode = o.clock == Clock::Virtual ? hx::harness::ClockMode::Virtual
                   : o.clock == Clock::Real  ? hx::harness::ClockMode::Real
                                             : hx::harness::ClockMode::Paced;
    ho.rate = o.rate;
    ho.routing = o.routing == Routing::Mix ? hx::harness::Routing::Mix : hx::harness::Routing::Pass;
    ho.signal = hx::harness::Signal::Ramp;
    ho.keepInput = true;

    hx::harness::ClientHarness h(ho);
    const bool started = h.start();
    // The class name outlives the service.
    const char* driver = h.service() ? h.service()->getMetaClass()->getClassName() : nullptr;
    const hx::harness::HarnessReport first = h.report();
    fill(r, first, driver);
    if (first.configured && first.rate != o.rate) {
        char why[160];
        std::snprintf(why, sizeof why, "rate %u not offered at %s speed; device configured %u", unsigned(o.rate),
                      speedName(o.speed), unsigned(first.rate));
        r.failure = why;
        return;
    }
    if (!started) {
        r.failure = h.lastError().empty() ? std::string("the machine did not start") : h.lastError();
        return;
    }

    // In slices, so a long run can show how far it got.
    constexpr uint64_t kSliceMicros = 100000;
    const uint64_t total = uint64_t(o.seconds * 1e6 + 0.5);
    uint64_t done = 0;
    while (done < total) {
        const uint64_t slice = std::min(kSliceMicros, total - done);
        h.run(slice);
        done += slice;
        progress.update(double(done) / 1e6);
    }
    progress.finish();
    r.seconds = double(done) / 1e6;
    h.stop();

    const hx::harness::HarnessReport last = h.report();
    fill(r, last, driver);
    recorded = h.recordedInput();

    char why[200];
    if (last.streamBreaks) {
        std::snprintf(why, sizeof why, "the stream broke %u times", unsigned(last.streamBreaks));
        r.failure = why;
    } else if (last.patternErrors) {
        std::snprintf(why, sizeof why, "%llu output packets outside the device's frame count",
                      (unsigned long long)last.patternErrors);
        r.failure = why;
    } else if (!last.latencyKnown || last.framesChecked == 0) {
        r.failure = "the played signal never came back on the input";
    } else if (!last.matched) {
        std::snprintf(why, sizeof why, "looped-back audio differs in %llu of %llu frames, first at input frame %lld",
                      (unsigned long long)last.mismatches, (unsigned long long)last.framesChecked,
                      (long long)last.firstMismatch);
        r.failure = why;
    }
}

}  // namespace hx::sim
