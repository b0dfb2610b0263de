#include "driver/clients/harness/HarnessTypes.h"

#include <algorithm>
#include <sstream>

namespace hx::harness {

int32_t mixRoundTrip(int32_t sample) {
    const int32_t v = sample >> 8;
    return int32_t(uint32_t((v / 2) * 2) << 8);
}

uint8_t extraByteOf(uint64_t frame, uint32_t index) {
    return index % 2 == 0 ? uint8_t(frame) : uint8_t(0x80 | ((frame >> 8) & 0x7F));
}

uint32_t inputChannels(const HarnessOptions& o) {
    return o.channels;
}

uint32_t outputChannels(const HarnessOptions& o) {
    return o.outChannels ? o.outChannels : o.channels;
}

uint32_t defaultWriteAheadFrames(uint32_t rate) {
    constexpr uint64_t kFramesAt48k = 880;
    const uint64_t scaled = (kFramesAt48k * rate + 47999) / 48000;
    return uint32_t(std::max(kFramesAt48k, scaled));
}

std::string describe(const HarnessReport& r) {
    std::ostringstream o;
    o << "device: " << r.vendorName << " " << r.productName << " (serial " << r.serialNumber
      << ")\n";
    o << std::hex << "identifiers: vendor 0x" << r.vendorID << " product 0x" << r.productID
      << " release 0x" << r.release << "\n";
    o << "firmware: 0x" << r.firmwareVersion << " \"" << r.firmwareVersionText << "\"\n";
    o << "driver: 0x" << r.driverVersion << std::dec << "\n";
    o << "bus: " << (r.highSpeed ? "high" : "full") << " speed\n";
    o << "configured: " << (r.configured ? "yes" : "no") << "\n";
    o << "rate: " << r.rate << " Hz, channels in " << r.inChannels << " out " << r.outChannels
      << ", " << r.resolution << " bits\n";
    o << "alternates: in " << r.inAlternate << " out " << r.outAlternate << "\n";
    o << "converters: in " << r.inputConverter << " out " << r.outputConverter << "\n";
    o << "routing: " << (r.routing == Routing::Pass ? "pass" : "mix") << "\n";
    if (!r.transport.empty()) o << "transport: " << r.transport << "\n";
    o << "client: type " << r.clientType << ", slot " << r.slot << ", identity 0x" << std::hex
      << r.identity << std::dec << "\n";
    o << "frames: in " << r.framesIn << " out " << r.framesOut << " (device sent "
      << r.deviceFramesIn << ", received " << r.deviceFramesOut << ")\n";
    o << "stream breaks: " << r.streamBreaks << "\n";
    o << "pattern errors: " << r.patternErrors << "\n";
    o << "device FIFO: min " << r.fifoMin << " max " << r.fifoMax;
    if (r.fifoLock) o << " at lock " << *r.fifoLock;
    o << "\n";
    o << "device frames: " << r.fifoUnderrunFrames << " played from an empty FIFO, "
      << r.fifoOverrunFrames << " thrown away at a full one, " << r.inFramesLost
      << " captured and never sent\n";
    if (r.bulkTransport)
        o << "bulk transport: " << r.keepAlivePackets << " keep-alive packets, " << r.keepAliveGaps
          << " gaps, " << r.guardInserts << " guard inserts, " << r.underruns << " underruns\n";
    if (r.latencyKnown)
        o << "latency: " << r.latencyFrames << " frames" << (r.latencyConstant ? " (constant)" : "")
          << "\n";
    else
        o << "latency: unknown\n";
    o << "loopback: " << (r.matched ? "matched" : "not matched") << ", " << r.framesChecked
      << " frames checked, " << r.mismatches << " mismatches";
    if (r.silentFrames) o << ", " << r.silentFrames << " came back silent";
    if (r.staleFrames) o << ", " << r.staleFrames << " came back a ring lap late";
    o << "\n";
    if (r.recoveries || r.framesCheckedAfterRecovery)
        o << "recoveries: " << r.recoveries << ", stream "
          << (r.streamRecovered ? "came back" : "did not come back") << ", loopback after "
          << (r.matchedAfterRecovery ? "matched" : "not matched") << " ("
          << r.framesCheckedAfterRecovery << " frames checked)\n";
    return o.str();
}

} // namespace hx::harness
