// What hxsim prints after a run: one "key: value" line per item, so people
// read it and tests parse it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/clients/harness/HarnessTypes.h"
#include "sim/SimOptions.h"

namespace hx::sim {

struct Report {
    // What the machine, the driver and the client showed: the harness's
    // record, carried whole (a road that checks the audio itself writes its
    // counts and check into it).
    hx::harness::HarnessReport machine;

    // The device's firmware and the driver as text, from the machine's words
    // ("" until the machine reported).
    std::string firmware;
    std::string driver;
    std::string driverVersion;

    // Asked for, and what the driver configured.
    uint32_t askedRate = 0;
    Speed speed = Speed::High;
    int32_t ppm = 0;
    Routing routing = Routing::Pass;
    Transport transport = Transport::InProcess;

    // The run.
    double seconds = 0;        // audio played, from the client's first frame
    double startupSeconds = 0; // from the device's start to the client's first frame
    Clock clock = Clock::Paced;
    // Host stalls on the real clock that the simulated machine stood still
    // through (its audio time is then shorter than the wall time).
    uint64_t hostPauses = 0;
    // The MIDI and status port (--midi).
    bool midiChecked = false;
    uint32_t midiBytes = 0;
    bool midiMatched = false;
    int64_t midiLatencyFrames = -1;
    uint32_t statusChanges = 0; // state changes 48 after the device's status events
    uint32_t launches = 0;      // state changes 35 after a press and release
    // The device loops MIDI back (bulk-protocol, Farlane-2): the sequence was
    // checked in the client's input ring; no status events.
    bool midiLoop = false;
    bool midiLoopMatched = false;
    // Sleep and wake-up (when asked for).
    bool slept = false;

    // The recording.
    std::string recording; // empty when none was written
    uint64_t recordedFrames = 0;
    std::string driverLog;      // where the kernel's log went; empty: stderr only
    std::string driverLogError; // why the log file could not be written

    // The device road: what the user-space device layer showed.
    struct Layer {
        std::string deviceName;
        std::string uid;
        int clientType = 0;
        uint32_t frameSize = 0;
        uint32_t inputLatency = 0;
        uint32_t outputLatency = 0;
        uint64_t writeAhead = 0;
        uint64_t ioCycles = 0;
        uint64_t overloads = 0;
    };
    std::optional<Layer> layer;

    // HXHelper beside the run (--helper): its connection lines in order,
    // each launch command it recorded, where its log went.
    bool helper = false;
    std::vector<std::string> helperConnections;
    std::vector<std::string> helperLaunches;
    std::string helperLog;

    // The HAL road: what the HAL plug-in answered through the HAL host. A
    // property call's status is kept beside its value; a value is shown
    // only when its call answered 0.
    struct Hal {
        // A call's status; empty while the call was not made.
        using Status = std::optional<int32_t>;
        int32_t loadStatus = 0; // InitializeWithObjectID's status
        uint32_t plugInID = 0;
        uint32_t deviceID = 0;
        Status inStreamStatus, outStreamStatus; // 'stm#'
        uint32_t inStreamID = 0;
        uint32_t outStreamID = 0;
        Status nameStatus;
        std::string name;
        Status uidStatus;
        std::string uid;
        Status rateSetStatus; // 'nsrt' set
        Status rateStatus;    // 'nsrt' get
        double rate = 0;
        Status routingStatus;      // 'QnRM' set (and 'QnMF' for the mix)
        Status frameSizeSetStatus; // 'fsiz' set; 0 when not asked
        bool frameSizeAsked = false;
        Status frameSizeStatus; // 'fsiz' get
        uint32_t frameSize = 0;
        struct Format {
            Status status;
            double rate = 0;
            uint32_t formatID = 0;
            uint32_t flags = 0;
            uint32_t bytesPerFrame = 0;
            uint32_t channels = 0;
            uint32_t bits = 0;
        };
        Format inFormat, outFormat;               // 'sfmt'
        Status inLatencyStatus, outLatencyStatus; // 'ltnc'
        uint32_t inLatency = 0, outLatency = 0;
        uint64_t ioCycles = 0;
        uint64_t framesOut = 0;
        uint64_t framesIn = 0;
    };
    std::optional<Hal> hal;

    // The server road: what the server host read, as named lines.
    struct Server {
        std::vector<std::pair<std::string, std::string>> lines;
    };
    std::optional<Server> server;

    // The failure is an option the run cannot have (exit code 2).
    bool optionError = false;

    // Empty when the scenario passed; else the one-line reason.
    std::string failure;
};

// The full report, one line per item, ending with "result: pass" or
// "result: fail: <reason>".
std::string formatReport(const Report& r);

// A status as people read it: 0, a four-character code in quotes ('who?')
// when its four bytes are printable, else 0x%08X.
std::string statusText(int32_t status);

// Every frame lost or made up on the way (FIFO underruns and overruns,
// dropped and repeated frames, capture frames never sent).
uint64_t lostFrames(const Report& r);

} // namespace hx::sim
