// What the client harness is told and what it reports: the options of the
// machine, the stream and the user-space cycle, and the report of a run.
// Shared by the machine (bus, model, driver), the client (the user-side
// IOKit calls only) and the two together in one process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"

namespace hx::usb::devices {
class HX5100Model;
}

namespace hx::harness {

// Output routing of playback pair 0: Pass sets routing byte 0 to 1 (output
// pair 0 carries playback pair 0 unchanged); Mix keeps the default mix,
// where the output mixer halves every value toward zero before it sums.
enum class Routing { Pass, Mix };

// What the client plays: a ramp with an embedded frame counter (the model
// checks it) or a sine. Both are known functions of the output frame, so
// the loopback is checked sample by sample either way.
enum class Signal { Ramp, Sine };

// The time the machine runs on. Virtual: test-stepped, moving only while every
// thread of the machine waits, as fast as the host goes. Paced: the same steps,
// never ahead of the wall clock (a real-time run that host stalls cannot
// break). Real: the host's monotonic clock.
enum class ClockMode { Virtual, Paced, Real };

// The device on the bus: the HX-5100 or a class-compliant interface (under
// the identity the options give), or a first-generation Sorvik Farlane
// (release 3 unless told otherwise; 48 kHz only; each output packet carries
// a header with extra bytes). The multi-channel models plug under their own
// listed identities with `channels` each way: the bulk-protocol device (bulk,
// or its interrupt variant), the feedback device (bulk input, isochronous
// output), the plain interrupt device (MRW30 kind) and a second-generation
// Farlane (48 kHz; the product whose channel pair it is, else 4 and 4).
enum class DeviceKind {
    HX5100,
    ClassCompliant,
    Farlane1,
    Bulk,
    BulkInterrupt,
    Feedback,
    Interrupt,
    Farlane2
};

// The extra bytes a client writes with output frame `frame` (two per frame,
// as the first Sorvik generation carries them): a known function of the
// frame, whose first byte is 0 at every 256th frame.
uint8_t extraByteOf(uint64_t frame, uint32_t index);

struct HarnessOptions;
// The client's input and output channel counts (a loopback device returns
// output channel c % outputs on input channel c).
uint32_t inputChannels(const HarnessOptions& o);
uint32_t outputChannels(const HarnessOptions& o);

struct HarnessOptions {
    // Machine
    uint64_t firstBusFrame = 0x1000; // may be set near 2^32
    bool highSpeed = true;           // the model's link speed
    int32_t ppm = 0;                 // device clock offset from nominal
    uint32_t jitterNanos = 0;
    bool loopback = true; // outputs back to inputs; else the model's ramp
    uint32_t loopbackDelayFrames = 40;
    ClockMode clockMode = ClockMode::Virtual;
    // The model's identity (the HX-5100's by default); another vendor's
    // identity gets a personality of its own.
    uint16_t productID = kKorvexHX5100ProductID;
    uint16_t vendorID = kKorvexVendorID;
    DeviceKind device = DeviceKind::HX5100;
    uint16_t release = 0; // 0: the device's own (0x0100 for the HX-5100, 3 for the Farlane)
    // The device's converter drops / repeats the frame it plays as its n-th
    // (1-based); 0: never. To show that lost frames are caught.
    uint64_t dropFrameAt = 0;
    uint64_t repeatFrameAt = 0;
    // The feedback device's feedback endpoint polling: 1 (every microframe)
    // or 4 (every millisecond).
    uint8_t feedbackInterval = 1;
    // In this process only: a model the caller built (a class-compliant
    // interface with its units, a Sorvik device of another product) plugged
    // instead of the one `device` names. vendorID and productID name its
    // personality; the stream settings below still apply to it.
    std::shared_ptr<hx::usb::devices::HX5100Model> model;
    // The personality the driver matches the device with carries a features
    // record ("kConfigurationData", loaded) with these feature flags set, in
    // place of the driver's own personality for that identity. None: no
    // record (the driver's own personality, or an empty one).
    std::optional<std::vector<uint8_t>> featureFlags;

    // Stream
    uint32_t rate = 48000;
    uint32_t channels = 2;    // inputs, and outputs unless outChannels says otherwise
    uint32_t outChannels = 0; // 0: as many as channels
    uint32_t resolution = 24; // bits
    Routing routing = Routing::Pass;
    Signal signal = Signal::Ramp;
    double sineHz = 997.0;
    double sineAmplitude = 0.5; // of full scale

    // User-space cycle
    uint32_t cycleMicros = 1000; // one cycle per period of this length
    // Output is written this far ahead of the kernel. 0: the same time ahead
    // at every rate, defaultWriteAheadFrames(rate).
    uint32_t writeAheadFrames = 0;
    bool keepInput = true;     // record every input sample
    uint32_t settleFrames = 0; // input frames skipped before checking (0: until lock)
    // Extra bytes: written with every output frame when the device's ring
    // carries them (extraByteOf); taking the private data (code 78) makes
    // the client's the ones the device receives.
    bool writeExtraBytes = false;
    bool takePrivateData = false;
    // React to state changes as the user-space device layer does: on 2 ask
    // recovery stage 1 and, when it answers true, stage 2 after 100 ms; on
    // 13 (wake-up) wait 3 s first.
    bool reactToStateChanges = false;
    // Across processes the client's cycle may run late behind the paced
    // machine: a frame that comes back as silence, or as what the client
    // wrote one lap of its ring earlier (the kernel mixed before the client
    // wrote it), is counted apart, not as a mismatch. Any other frame must
    // still be the played one at the one latency.
    bool silenceTolerated = false;
};

// The kernel mixes output a few milliseconds ahead of the position it
// reports, so a client keeps the same time ahead of it at every rate: 880
// frames at 48 kHz, scaled with the rate and never fewer than 880 (so 44.1
// kHz keeps 880 as well).
uint32_t defaultWriteAheadFrames(uint32_t rate);

// The driver and the device model as the machine sees them: the driver's
// configuration and the model's counts. The machine reads them
// (MachineFacts, which cross to another process as text) and the report
// carries them whole.
struct DeviceFacts {
    uint32_t firmwareVersion = 0; // word as the driver reads it
    std::string firmwareVersionText;
    uint32_t driverVersion = 0;
    bool highSpeed = false;

    // Configuration
    bool configured = false;
    uint32_t rate = 0;
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    uint32_t resolution = 0;
    int inAlternate = -1;
    int outAlternate = -1;
    std::string inputConverter;
    std::string outputConverter;

    // The model's counts
    uint64_t deviceFramesIn = 0;  // sent by the device
    uint64_t deviceFramesOut = 0; // received by the device
    uint64_t patternErrors = 0;   // output packets outside the device's count
    int64_t fifoMin = 0;          // device FIFO fill in frames since lock
    int64_t fifoMax = 0;
    uint64_t fifoSamples = 0; // fill readings behind min and max
    std::optional<int64_t> fifoLock;
    // Frames lost or made up on the way, as the device saw them
    uint64_t fifoUnderrunFrames = 0; // played from an empty FIFO
    uint64_t fifoOverrunFrames = 0;  // arrived to a full FIFO and were thrown away
    uint64_t framesDropped = 0;      // skipped by the converter
    uint64_t framesRepeated = 0;     // played twice by the converter
    uint64_t inFramesLost = 0;       // captured but never sent to the host
    // The bulk-protocol device: keep-alive packets it received and
    // (micro)frames it went without one after the first; the driver's
    // drift-guard frame inserts and output underruns.
    bool bulkTransport = false;
    uint64_t keepAlivePackets = 0;
    uint64_t keepAliveGaps = 0;
    uint64_t guardInserts = 0;
    uint64_t underruns = 0;
};

// Everything the run showed.
struct HarnessReport : DeviceFacts {
    // How the client reached the kernel: "in-process" or "process"
    std::string transport;

    // The device as the driver read it
    std::string vendorName;
    std::string productName;
    std::string serialNumber;
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    uint16_t release = 0;

    Routing routing = Routing::Pass;

    // Stream
    uint64_t framesIn = 0;     // read by the client from the input ring
    uint64_t framesOut = 0;    // written by the client into its ring
    uint32_t streamBreaks = 0; // state changes 2 the client received

    // Loopback check
    bool latencyKnown = false;
    int64_t latencyFrames = 0; // input frame position minus output frame position
    bool latencyConstant = false;
    // The played signal starts at the first frame the client writes (its
    // frame 0). The check covers the played frames from firstCheckedPlayed
    // (0 when the signal came back whole) for framesChecked frames; the
    // played frames after those were still on their way at the end.
    int64_t firstCheckedPlayed = -1;
    size_t returnStart = 0; // recorded frame where the played signal's frame 0 came back
    uint64_t framesChecked = 0;
    uint64_t mismatches = 0;
    uint64_t silentFrames = 0;  // checked frames that came back as silence (when tolerated)
    uint64_t staleFrames = 0;   // ... or as a frame one ring lap earlier (when tolerated)
    int64_t firstMismatch = -1; // input frame index, -1: none
    bool matched = false;       // bit for bit (Mix: as the output mixer rounds)

    // The client: its user-client type, the mixing slot its ring got and its
    // identity as the driver gives it
    uint32_t clientType = 0;
    int slot = -1;
    uint64_t identity = 0;

    // State changes the client received, in order
    std::vector<uint32_t> stateChanges;

    // Recovery (when reacting to state changes), or the stream after the
    // caller restarted the loopback check
    uint32_t recoveries = 0;      // stage 2 runs after stage 1 answered true
    bool streamRecovered = false; // input came back after the last recovery
    uint64_t framesCheckedAfterRecovery = 0;
    bool matchedAfterRecovery = false;
};

// A readable summary, one fact per line.
std::string describe(const HarnessReport& report);

// The value a sample comes back as through the default mix: halved toward
// zero by the output mixer, doubled by the comparison (24-bit, left-aligned).
int32_t mixRoundTrip(int32_t sample);

} // namespace hx::harness
