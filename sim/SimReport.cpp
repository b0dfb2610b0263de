#include "sim/SimReport.h"

#include <cstdio>

namespace hx::sim {

namespace {

void line(std::string& out, const char* key, const std::string& value)
{
    char k[32];
    std::snprintf(k, sizeof k, "%s:", key);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%-16s", k);
    out += buf;
    out += value;
    out += '\n';
}

std::string fmt(const char* f, auto... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

std::string orUnknown(const std::string& s) { return s.empty() ? "(unknown)" : s; }

}  // namespace

std::string formatReport(const Report& r)
{
    std::string out;
    line(out, "device", fmt("%s, %s (vendor 0x%04X, product 0x%04X)", orUnknown(r.product).c_str(),
                            orUnknown(r.manufacturer).c_str(), r.vendorID, r.productID));
    line(out, "firmware", orUnknown(r.firmware));
    line(out, "driver", orUnknown(r.driver) + " " + orUnknown(r.driverVersion));
    line(out, "speed", fmt("%s, device clock %+d ppm", speedName(r.speed), int(r.ppm)));
    line(out, "rate", fmt("%u Hz (asked %u Hz)", unsigned(r.rate), unsigned(r.askedRate)));
    line(out, "channels", fmt("%u in, %u out", unsigned(r.inChannels), unsigned(r.outChannels)));
    line(out, "resolution", fmt("%u bit in, %u bit out", unsigned(r.inBits), unsigned(r.outBits)));
    line(out, "alternates", fmt("in %d, out %d", r.inAlternate, r.outAlternate));
    line(out, "converters", fmt("encode %s, decode %s", orUnknown(r.encoder).c_str(), orUnknown(r.decoder).c_str()));
    line(out, "routing", r.routing == Routing::Mix ? "mix (output pair 0 = mixer's halved sum)"
                                                   : "pass (output pair 0 = playback 1/2)");
    line(out, "client", fmt("type %u, slot %d, identity 0x%016llX", unsigned(r.clientType), r.clientSlot,
                            (unsigned long long)r.clientIdentity));
    line(out, "run", fmt("%.3f s on the %s clock", r.seconds, clockName(r.clock)));
    line(out, "frames out", fmt("%llu", (unsigned long long)r.framesOut));
    line(out, "frames in", fmt("%llu", (unsigned long long)r.framesIn));
    line(out, "stream breaks", fmt("%u", unsigned(r.breaks)));
    line(out, "pattern errors", fmt("%u", unsigned(r.patternErrors)));
    if (r.fifoMin && r.fifoMax)
        line(out, "fifo fill", fmt("min %u, max %u", unsigned(*r.fifoMin), unsigned(*r.fifoMax)));
    else
        line(out, "fifo fill", "(not reported)");
    line(out, "latency", r.latency ? fmt("%lld frames", (long long)*r.latency) : std::string("(none found)"));
    line(out, "match", fmt("%s (%llu frames compared, %llu differ)", r.matched ? "yes" : "no",
                           (unsigned long long)r.comparedFrames, (unsigned long long)r.mismatches));
    if (r.recording.empty())
        line(out, "recording", "(not written)");
    else
        line(out, "recording", fmt("%s (%llu frames)", r.recording.c_str(), (unsigned long long)r.recordedFrames));
    if (!r.driverLog.empty())
        line(out, "driver log", r.driverLog);
    line(out, "result", r.failure.empty() ? std::string("pass") : "fail: " + r.failure);
    return out;
}

}  // namespace hx::sim
