// What hxsim prints after a run: one "key: value" line per item, so people
// read it and tests parse it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/SimOptions.h"

namespace hx::sim {

struct Report {
    // The device and driver as the driver reads them.
    std::string product;
    std::string manufacturer;
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    std::string firmware;
    std::string driver;
    std::string driverVersion;

    // Asked for, and what the driver configured.
    uint32_t askedRate = 0;
    uint32_t rate = 0;
    Speed speed = Speed::High;
    int32_t ppm = 0;
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    uint32_t inBits = 0;
    uint32_t outBits = 0;
    int inAlternate = -1;
    int outAlternate = -1;
    std::string encoder;
    std::string decoder;
    Routing routing = Routing::Pass;
    // The user client the run used: its type, its ring's mixing slot and its
    // identity as the driver gives it.
    uint32_t clientType = 0;
    int clientSlot = -1;
    uint64_t clientIdentity = 0;

    // The run.
    double seconds = 0;
    Clock clock = Clock::Paced;
    uint64_t framesOut = 0;
    uint64_t framesIn = 0;
    uint32_t breaks = 0;
    uint32_t patternErrors = 0;
    std::optional<uint32_t> fifoMin;
    std::optional<uint32_t> fifoMax;
    std::optional<int64_t> latency;  // round trip in frames
    bool matched = false;
    uint64_t comparedFrames = 0;
    uint64_t mismatches = 0;

    // The recording.
    std::string recording;  // empty when none was written
    uint64_t recordedFrames = 0;
    std::string driverLog;  // where the kernel's log went; empty: stderr only

    // Empty when the scenario passed; else the one-line reason.
    std::string failure;
};

// The full report, one line per item, ending with "result: pass" or
// "result: fail: <reason>".
std::string formatReport(const Report& r);

}  // namespace hx::sim
