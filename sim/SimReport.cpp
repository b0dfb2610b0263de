#include "sim/SimReport.h"

#include <cstdio>

namespace hx::sim {

namespace {

void line(std::string& out, const char* key, const std::string& value) {
    char k[32];
    std::snprintf(k, sizeof k, "%s:", key);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%-16s", k);
    out += buf;
    out += value;
    out += '\n';
}

std::string fmt(const char* f, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

std::string orUnknown(const std::string& s) {
    return s.empty() ? "(unknown)" : s;
}

} // namespace

uint64_t lostFrames(const Report& r) {
    return r.fifoUnderruns + r.fifoOverruns + r.framesDropped + r.framesRepeated + r.captureLost;
}

std::string formatReport(const Report& r) {
    std::string out;
    line(out, "device",
         fmt("%s, %s (vendor 0x%04X, product 0x%04X)", orUnknown(r.product).c_str(),
             orUnknown(r.manufacturer).c_str(), r.vendorID, r.productID));
    line(out, "firmware", orUnknown(r.firmware));
    line(out, "driver", orUnknown(r.driver) + " " + orUnknown(r.driverVersion));
    line(out, "speed", fmt("%s, device clock %+d ppm", speedName(r.speed), int(r.ppm)));
    line(out, "rate", fmt("%u Hz (asked %u Hz)", unsigned(r.rate), unsigned(r.askedRate)));
    line(out, "channels", fmt("%u in, %u out", unsigned(r.inChannels), unsigned(r.outChannels)));
    line(out, "resolution", fmt("%u bit in, %u bit out", unsigned(r.inBits), unsigned(r.outBits)));
    line(out, "alternates", fmt("in %d, out %d", r.inAlternate, r.outAlternate));
    line(out, "converters",
         fmt("encode %s, decode %s", orUnknown(r.encoder).c_str(), orUnknown(r.decoder).c_str()));
    line(out, "routing",
         r.routing == Routing::Mix ? "mix (output pair 0 = mixer's halved sum)"
                                   : "pass (output pair 0 = playback 1/2)");
    line(out, "client",
         fmt("type %u, slot %d, identity 0x%016llX", unsigned(r.clientType), r.clientSlot,
             (unsigned long long)r.clientIdentity));
    line(out, "transport", transportName(r.transport));
    if (r.layer) {
        const Report::Layer& l = *r.layer;
        line(out, "layer device", fmt("\"%s\", UID \"%s\"", l.deviceName.c_str(), l.uid.c_str()));
        line(out, "layer client",
             fmt("type %d, frame size %u", l.clientType, unsigned(l.frameSize)));
        line(out, "layer latency",
             fmt("in %u, out %u frames, write-ahead %llu", unsigned(l.inputLatency),
                 unsigned(l.outputLatency), (unsigned long long)l.writeAhead));
        line(out, "io cycles",
             fmt("%llu, overloads %llu", (unsigned long long)l.ioCycles,
                 (unsigned long long)l.overloads));
    }
    line(out, "run",
         fmt("%.3f s of audio on the %s clock, after %.3f s of start-up", r.seconds,
             clockName(r.clock), r.startupSeconds));
    line(out, "frames out",
         fmt("%llu (%.3f s at %u Hz)", (unsigned long long)r.framesOut,
             r.rate ? double(r.framesOut) / r.rate : 0.0, unsigned(r.rate)));
    line(out, "frames in", fmt("%llu", (unsigned long long)r.framesIn));
    line(out, "stream breaks", fmt("%u", unsigned(r.breaks)));
    line(out, "pattern errors", fmt("%u", unsigned(r.patternErrors)));
    if (r.clock == Clock::Real)
        line(out, "host pauses",
             fmt("%llu (the machine stood still through each)", (unsigned long long)r.hostPauses));
    line(out, "lost frames",
         fmt("%llu (fifo underruns %llu, fifo overruns %llu, dropped %llu, repeated %llu, capture "
             "lost %llu)",
             (unsigned long long)lostFrames(r), (unsigned long long)r.fifoUnderruns,
             (unsigned long long)r.fifoOverruns, (unsigned long long)r.framesDropped,
             (unsigned long long)r.framesRepeated, (unsigned long long)r.captureLost));
    if (r.bulkTransport) {
        line(out, "keep-alive",
             fmt("%llu packets, %llu gaps", (unsigned long long)r.keepAlivePackets,
                 (unsigned long long)r.keepAliveGaps));
        line(out, "bulk output",
             fmt("%llu guard inserts, %llu underruns", (unsigned long long)r.guardInserts,
                 (unsigned long long)r.underruns));
    }
    if (r.fifoMin && r.fifoMax)
        line(out, "fifo fill",
             fmt("min %u, max %u frames over %llu readings", unsigned(*r.fifoMin),
                 unsigned(*r.fifoMax), (unsigned long long)r.fifoSamples));
    else
        line(out, "fifo fill", "(not reported)");
    line(out, "latency",
         r.latency ? fmt("%lld frames", (long long)*r.latency) : std::string("(none found)"));
    std::string compared =
        fmt("%llu frames compared, %llu differ", (unsigned long long)r.comparedFrames,
            (unsigned long long)r.mismatches);
    if (r.firstComparedPlayed >= 0 && r.comparedFrames) {
        const unsigned long long first = (unsigned long long)r.firstComparedPlayed;
        compared += fmt(": played frames %llu to %llu", first, first + r.comparedFrames - 1);
        if (r.framesOut > first + r.comparedFrames)
            compared += fmt(", the last %llu still on their way at the end",
                            (unsigned long long)(r.framesOut - first - r.comparedFrames));
        if (first > 0) compared += fmt(", the first %llu never came back", first);
    }
    if (r.silentFrames || r.staleFrames)
        compared += fmt("; %llu came back silent, %llu a ring lap late",
                        (unsigned long long)r.silentFrames, (unsigned long long)r.staleFrames);
    line(out, "match", fmt("%s (%s)", r.matched ? "yes" : "no", compared.c_str()));
    if (r.slept) {
        line(out, "state changes", r.stateChanges.empty() ? std::string("(none)") : r.stateChanges);
        line(out, "wake stream", r.streamCameBack ? "came back" : "did not come back");
        line(out, "wake match",
             fmt("%s (%llu frames compared)", r.matchedAfterRecovery ? "yes" : "no",
                 (unsigned long long)r.comparedAfterRecovery));
    }
    if (r.midiChecked) {
        line(out, "midi",
             fmt("%u bytes sent, %s, latency %lld bus frames", unsigned(r.midiBytes),
                 r.midiMatched ? "received in order" : "NOT received in order",
                 (long long)r.midiLatencyFrames));
        line(out, "midi status",
             fmt("%u status change(s), %u launch(es) after one press", unsigned(r.statusChanges),
                 unsigned(r.launches)));
    }
    if (r.recording.empty())
        line(out, "recording", "(not written)");
    else
        line(out, "recording",
             fmt("%s (%llu frames)", r.recording.c_str(), (unsigned long long)r.recordedFrames));
    if (!r.driverLog.empty())
        line(out, "driver log", r.driverLog);
    else if (!r.driverLogError.empty())
        line(out, "driver log", "(not written: " + r.driverLogError + ")");
    line(out, "result", r.failure.empty() ? std::string("pass") : "fail: " + r.failure);
    return out;
}

} // namespace hx::sim
