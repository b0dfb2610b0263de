#include "sim/SimReport.h"

#include "driver/engine/ZrIOReturnNames.h"

#include <algorithm>
#include <cstdint>
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

std::string fourCC(uint32_t code) {
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8)
        s += char((code >> shift) & 0xFF);
    return s + "'";
}

bool printableCode(uint32_t code) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned c = (code >> shift) & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// A value read through the HAL, or the status its call answered instead.
std::string orStatus(const Report::Hal::Status& status, const std::string& value) {
    if (!status) return "(not read)";
    return *status == 0 ? value : "(status " + statusText(*status) + ")";
}

// A set's status, or that it was not sent.
std::string setText(const Report::Hal::Status& status) {
    return status ? statusText(*status) : std::string("not sent");
}

std::string formatText(const Report::Hal::Format& f) {
    if (f.status != 0) return orStatus(f.status, "");
    return fmt("%.0f Hz, %s, flags 0x%X, %u ch, %u bit, %u bytes per frame", f.rate,
               fourCC(f.formatID).c_str(), unsigned(f.flags), unsigned(f.channels),
               unsigned(f.bits), unsigned(f.bytesPerFrame));
}

} // namespace

std::string statusText(int32_t status) {
    if (status == 0) return "0";
    const uint32_t code = uint32_t(status);
    if (printableCode(code)) return fourCC(code);
    return ZrIOReturnText(IOReturn(code));
}

uint64_t lostFrames(const Report& r) {
    const hx::harness::HarnessReport& m = r.machine;
    return m.fifoUnderrunFrames + m.fifoOverrunFrames + m.framesDropped + m.framesRepeated +
           m.inFramesLost;
}

std::string formatReport(const Report& r) {
    const hx::harness::HarnessReport& m = r.machine;
    std::string out;
    line(out, "device",
         fmt("%s, %s (vendor 0x%04X, product 0x%04X)", orUnknown(m.productName).c_str(),
             orUnknown(m.vendorName).c_str(), m.vendorID, m.productID));
    line(out, "firmware", orUnknown(r.firmware));
    line(out, "driver", orUnknown(r.driver) + " " + orUnknown(r.driverVersion));
    line(out, "speed", fmt("%s, device clock %+d ppm", speedName(r.speed), int(r.ppm)));
    line(out, "rate", fmt("%u Hz (asked %u Hz)", unsigned(m.rate), unsigned(r.askedRate)));
    line(out, "channels", fmt("%u in, %u out", unsigned(m.inChannels), unsigned(m.outChannels)));
    line(out, "resolution",
         fmt("%u bit in, %u bit out", unsigned(m.resolution), unsigned(m.resolution)));
    line(out, "alternates", fmt("in %d, out %d", m.inAlternate, m.outAlternate));
    line(out, "converters",
         fmt("encode %s, decode %s", orUnknown(m.outputConverter).c_str(),
             orUnknown(m.inputConverter).c_str()));
    line(out, "routing",
         r.routing == Routing::Mix ? "mix (output pair 0 = mixer's halved sum)"
                                   : "pass (output pair 0 = playback 1/2)");
    line(out, "client",
         fmt("type %u, slot %d, identity 0x%016llX", unsigned(m.clientType), m.slot,
             (unsigned long long)m.identity));
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
    if (r.server)
        for (const auto& [name, value] : r.server->lines)
            line(out, name.c_str(), value);
    if (r.hal) {
        const Report::Hal& h = *r.hal;
        line(out, "hal plug-in",
             fmt("object %u, load status %s", unsigned(h.plugInID),
                 statusText(h.loadStatus).c_str()));
        if (!h.deviceID)
            line(out, "hal device", "(not found)");
        else
            line(out, "hal device",
                 fmt("ID %u, streams in ", unsigned(h.deviceID)) +
                     orStatus(h.inStreamStatus, fmt("%u", unsigned(h.inStreamID))) + ", out " +
                     orStatus(h.outStreamStatus, fmt("%u", unsigned(h.outStreamID))));
        line(out, "hal name", orStatus(h.nameStatus, "\"" + h.name + "\""));
        line(out, "hal uid", orStatus(h.uidStatus, "\"" + h.uid + "\""));
        line(out, "hal rate",
             orStatus(h.rateStatus, fmt("%.0f Hz", h.rate)) + ", 'nsrt' set " +
                 setText(h.rateSetStatus));
        line(out, "hal routing", "'QnRM' set " + setText(h.routingStatus));
        line(out, "hal frame size",
             orStatus(h.frameSizeStatus, fmt("%u frames", unsigned(h.frameSize))) +
                 (h.frameSizeAsked ? ", 'fsiz' set " + setText(h.frameSizeSetStatus)
                                   : std::string(", not asked")));
        line(out, "hal format in", formatText(h.inFormat));
        line(out, "hal format out", formatText(h.outFormat));
        line(out, "hal latency",
             "in " + orStatus(h.inLatencyStatus, fmt("%u", unsigned(h.inLatency))) + ", out " +
                 orStatus(h.outLatencyStatus, fmt("%u", unsigned(h.outLatency))) + " frames");
        line(out, "hal io",
             fmt("%llu cycles, %llu frames out, %llu frames in", (unsigned long long)h.ioCycles,
                 (unsigned long long)h.framesOut, (unsigned long long)h.framesIn));
    }
    line(out, "run",
         fmt("%.3f s of audio on the %s clock, after %.3f s of start-up", r.seconds,
             clockName(r.clock), r.startupSeconds));
    line(out, "frames out",
         fmt("%llu (%.3f s at %u Hz)", (unsigned long long)m.framesOut,
             m.rate ? double(m.framesOut) / m.rate : 0.0, unsigned(m.rate)));
    line(out, "frames in", fmt("%llu", (unsigned long long)m.framesIn));
    line(out, "stream breaks", fmt("%u", unsigned(m.streamBreaks)));
    line(out, "pattern errors",
         fmt("%u", unsigned(std::min<uint64_t>(m.patternErrors, UINT32_MAX))));
    if (r.clock == Clock::Real)
        line(out, "host pauses",
             fmt("%llu (the machine stood still through each)", (unsigned long long)r.hostPauses));
    line(out, "lost frames",
         fmt("%llu (fifo underruns %llu, fifo overruns %llu, dropped %llu, repeated %llu, capture "
             "lost %llu)",
             (unsigned long long)lostFrames(r), (unsigned long long)m.fifoUnderrunFrames,
             (unsigned long long)m.fifoOverrunFrames, (unsigned long long)m.framesDropped,
             (unsigned long long)m.framesRepeated, (unsigned long long)m.inFramesLost));
    if (m.bulkTransport) {
        line(out, "keep-alive",
             fmt("%llu packets, %llu gaps", (unsigned long long)m.keepAlivePackets,
                 (unsigned long long)m.keepAliveGaps));
        line(out, "bulk output",
             fmt("%llu guard inserts, %llu underruns", (unsigned long long)m.guardInserts,
                 (unsigned long long)m.underruns));
    }
    if (m.fifoLock)
        line(out, "fifo fill",
             fmt("min %u, max %u frames over %llu readings",
                 unsigned(std::max<int64_t>(m.fifoMin, 0)),
                 unsigned(std::max<int64_t>(m.fifoMax, 0)), (unsigned long long)m.fifoSamples));
    else
        line(out, "fifo fill", "(not reported)");
    line(out, "latency",
         m.latencyKnown ? fmt("%lld frames", (long long)m.latencyFrames)
                        : std::string("(none found)"));
    std::string compared =
        fmt("%llu frames compared, %llu differ", (unsigned long long)m.framesChecked,
            (unsigned long long)m.mismatches);
    if (m.firstCheckedPlayed >= 0 && m.framesChecked) {
        const unsigned long long first = (unsigned long long)m.firstCheckedPlayed;
        compared += fmt(": played frames %llu to %llu", first, first + m.framesChecked - 1);
        if (m.framesOut > first + m.framesChecked)
            compared += fmt(", the last %llu still on their way at the end",
                            (unsigned long long)(m.framesOut - first - m.framesChecked));
        if (first > 0) compared += fmt(", the first %llu never came back", first);
    }
    if (m.silentFrames || m.staleFrames)
        compared += fmt("; %llu came back silent, %llu a ring lap late",
                        (unsigned long long)m.silentFrames, (unsigned long long)m.staleFrames);
    line(out, "match", fmt("%s (%s)", m.matched ? "yes" : "no", compared.c_str()));
    if (r.slept) {
        std::string changes;
        for (uint32_t code : m.stateChanges)
            changes += (changes.empty() ? "" : " ") + std::to_string(code);
        line(out, "state changes", changes.empty() ? std::string("(none)") : changes);
        line(out, "wake stream", m.streamRecovered ? "came back" : "did not come back");
        line(out, "wake match",
             fmt("%s (%llu frames compared)", m.matchedAfterRecovery ? "yes" : "no",
                 (unsigned long long)m.framesCheckedAfterRecovery));
    }
    if (r.helper) {
        std::string connections;
        for (const std::string& c : r.helperConnections)
            connections += (connections.empty() ? "" : " ") + c;
        line(out, "helper",
             connections.empty() ? std::string("(no connection lines)") : connections);
        for (const std::string& l : r.helperLaunches)
            line(out, "helper launch", l);
        line(out, "helper log", r.helperLog);
    }
    if (r.midiChecked) {
        line(out, "midi",
             fmt("%u bytes sent, %s, latency %lld bus frames", unsigned(r.midiBytes),
                 r.midiMatched ? "received in order" : "NOT received in order",
                 (long long)r.midiLatencyFrames));
        if (r.midiLoop)
            line(out, "midi loop",
                 r.midiLoopMatched ? "input ring: received in order, stamps in order"
                                   : "input ring: NOT received in order");
        else
            line(out, "midi status",
                 fmt("%u status change(s), %u launch(es) after one press",
                     unsigned(r.statusChanges), unsigned(r.launches)));
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
