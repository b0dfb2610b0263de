// BM_ControlPortCycle: the MIDI and control port's share of a second of
// audio on a device of the bulk protocol, through the port itself:
// - the status parser on a full packet of event words every 20 ms (status
//   values, mode byte and the 11 levels, with the two log lines of the
//   digital input levels);
// - a client queueing MIDI at the MIDI wire rate (3,125 bytes a second) in
//   its area, and a control byte every 10 ms through the control port
//   (`sendCPort`);
// - every bulk out packet (10 frames: rate / 10 packets a second) takes the
//   port's next slot of the schedule and, when flagged, one MIDI byte from
//   the client's queue, and one control byte, as the bulk transport's
//   real-time thread does (`nextBulkSlot`, `takeBulkMidiByte`,
//   `takeBulkControlByte`);
// - the device's loop packet every millisecond (one interrupt read) parsed
//   into the client's input ring with its arrival stamp, under the input
//   lock, as the read completion does.
// core_pct is that second's CPU time as a share of one core (goal: under
// 0.05 %, bulk bytes at 96 kHz).
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "abi/MidiSM.h"
#include "driver/clients/AJ.h"
#include "driver/clients/AJStatusParsers.h"
#include "driver/clients/USBMidi.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOMemoryDescriptor.h"

namespace {

uint64_t cpuNanos() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// The port as the status parsers see it, with its MIDI input rings.
class BenchPort : public AJStatusSink {
public:
    AJStatusFields& fields() override { return mFields; }
    uint32_t productFlags() const override { return kZrProductHX5100; }
    uint32_t packetSize() const override { return 512; }
    int32_t* levels() override { return mLevels; }
    void stateChange(uint32_t) override { ++mStateChanges; }
    void setReadChannels(int, int) override {}
    bool midiInputReady() const override { return true; }
    uint32_t putMidiInput(int ring, const uint8_t* bytes, uint32_t n) override {
        return mWriter[ring & 1].putFrame(mSM->mIn[ring & 1], bytes, n, mStamp);
    }
    void triggerClient() override {}

    AJStatusFields mFields;
    int32_t mLevels[32] = {};
    MidiSharedMemory* mSM = nullptr;
    MidiIOWriter mWriter[2];
    uint64_t mStamp = 0;
    uint64_t mStateChanges = 0;
};

// A device of the bulk protocol at `rate`, as the port asks about it.
class BenchDevice : public AJDevice {
public:
    explicit BenchDevice(uint32_t rate) : mRate(rate) {}
    uint16_t ajVendorID() const override { return 0; }
    uint16_t ajProductID() const override { return 0; }
    uint32_t ajProductFlags() const override { return 0; }
    uint32_t ajFamilyCode() const override { return mFamilyCode; }
    void ajSetFamilyCode(uint32_t code) override { mFamilyCode = code; }
    bool ajHasRegularMidi() const override { return false; }
    bool ajIsBulkProtocol() const override { return true; }
    int ajSorvikGroup() const override { return 0; }
    bool ajIsBrava() const override { return false; }
    int ajOtherMaker() const override { return 0; }
    bool ajIsHighSpeed() const override { return true; }
    uint32_t ajSampleRate() const override { return mRate; }
    bool ajAudioInIsInterrupt1024() const override { return false; }
    DriverSM* ajDriverSM() const override { return nullptr; }
    ZrInterfaceDescriptor* ajMidiInterface() const override { return nullptr; }
    bool ajInitPipe(ZrPipeDescriptor*, const char*) override { return false; }
    IOUSBHostPipe* ajGetPipe(ZrPipeDescriptor*) const override { return nullptr; }
    void ajClosePipe(ZrPipeDescriptor*) override {}
    uint16_t ajPortWord(unsigned) const override { return 0xFFFF; }
    void ajSetPortWord(unsigned, uint16_t) override {}
    uint32_t ajFootswitchMode() const override { return 0; }
    uint32_t ajFootswitchProtocol() const override { return 0; }
    int32_t* ajLevels() override { return nullptr; }
    void ajStateChange(uint32_t) override {}
    void ajSetReadChannels(int, int) override {}

private:
    uint32_t mRate;
    uint32_t mFamilyCode = 255;
};

struct BenchClient : AJClient {
    void ajRetain() override {}
    void ajRelease() override {}
    void triggerClient() override {}
};

constexpr uint32_t kMidiWireBytesPerSecond = 3125; // 31,250 baud, 10 bits a byte
constexpr uint32_t kFramesPerOutPacket = 10;

void BM_ControlPortCycle(benchmark::State& state) {
    const uint32_t rate = uint32_t(state.range(0));
    // The port, configured and started on its device (a MIDI interface
    // without pipes: the bulk transport carries its bytes), with a client.
    BenchDevice device(rate);
    AJ ajPort;
    ajPort.init(&device);
    ZrInterfaceDescriptor midiInterface(nullptr);
    ajPort.assignPipes(&midiInterface);
    ajPort.configurationDone(true);
    ajPort.streamingStarted();
    BenchClient client;
    if (!ajPort.hasMidiSM() || !ajPort.isRunning() || !ajPort.clientAttach(&client)) {
        state.SkipWithError("the port did not start");
        return;
    }
    auto* sm = static_cast<MidiSharedMemory*>(ajPort.getMidiSM()->getBytesNoCopy());
    BenchPort port;
    port.mSM = sm;
    for (int q = 0; q < 2; ++q)
        port.mWriter[q].reset(sm->mIn[q]);
    std::mutex inLock;
    // The loop's layout: four MIDI bytes and a control byte up to 48 kHz,
    // one and a control byte above.
    const bool four = rate <= 48000;
    const AJStatusParser loopParser = four ? inACR_M4_C1 : inACR_M1_C1;

    // A full event packet as the device sends one every 20 ms: both status
    // values and the mode byte (unchanged), the 11 levels, the zero word.
    uint8_t events[512] = {};
    uint32_t words = 0;
    const auto add = [&](uint8_t cc, uint8_t value) {
        const uint8_t word[4] = {0x0B, 0xB0, cc, value};
        std::memcpy(events + 4 * words++, word, 4);
    };
    add(102, 5);
    add(103, 7);
    add(104, 0x02);
    for (uint8_t cc = 107; cc <= 117; ++cc)
        add(cc, uint8_t(cc * 3 % 128));
    const uint32_t eventBytes = 4 * words + 4;
    const uint8_t midi[4] = {0x90, 0x3C, 0x64, 0xF8};
    uint8_t packetTail[2];
    uint8_t loop[8];
    uint8_t echoed[1024];
    uint32_t echoedHead = 0, echoedTail = 0;
    uint64_t cpuTotal = 0, seconds = 0, carried = 0, midiOut = 0, controlOut = 0;
    for (auto _ : state) {
        const uint64_t t0 = cpuNanos();
        uint32_t owed = 0, packetsOwed = 0;
        for (int ms = 0; ms < 1000; ++ms) {
            if (ms % 20 == 0) {
                std::lock_guard<std::mutex> g(inLock);
                port.mStamp = hx::clock::nowNanos();
                inACR_HX5100(port, events, eventBytes);
            }
            // The client.
            owed += kMidiWireBytesPerSecond;
            for (; owed >= 1000; owed -= 1000)
                sm->mOut[0].put(&midi[carried++ % 4], 1);
            if (ms % 10 == 0) ajPort.sendCPort(&midi[0], 1);
            // The bulk out packets of this millisecond.
            packetsOwed += rate / kFramesPerOutPacket;
            for (; packetsOwed >= 1000; packetsOwed -= 1000) {
                uint8_t b = 0;
                const bool took = ajPort.nextBulkSlot() && ajPort.takeBulkMidiByte(b);
                packetTail[0] = took ? b : kMidiNoByte;
                if (took) {
                    echoed[echoedHead++ % sizeof echoed] = b;
                    ++midiOut;
                }
                uint8_t c = 0;
                const bool tookControl = ajPort.takeBulkControlByte(c);
                packetTail[1] = tookControl ? uint8_t(c | 0x18) : 0xFF;
                controlOut += tookControl;
                benchmark::DoNotOptimize(packetTail);
            }
            // The device's loop packet, when it has bytes.
            if (echoedTail != echoedHead) {
                const uint32_t n = four ? 4 : 1;
                std::memset(loop, kMidiNoByte, n);
                for (uint32_t i = 0; i < n && echoedTail != echoedHead; ++i)
                    loop[i] = echoed[echoedTail++ % sizeof echoed];
                loop[n] = 0xFF;
                std::lock_guard<std::mutex> g(inLock);
                port.mStamp = hx::clock::nowNanos();
                loopParser(port, loop, n + 1);
            }
            // The client takes its input now and then.
            MidiIOElement e;
            if (ms % 100 == 99)
                while (sm->mIn[0].get(e)) {
                }
        }
        cpuTotal += cpuNanos() - t0;
        ++seconds;
        benchmark::ClobberMemory();
    }
    ajPort.clientDetach(&client);
    ajPort.term();
    state.counters["core_pct"] =
        benchmark::Counter(double(cpuTotal) / double(seconds) / 1e9 * 100.0);
    state.counters["midi_out_per_s"] = benchmark::Counter(double(midiOut) / double(seconds));
    state.counters["control_out_per_s"] = benchmark::Counter(double(controlOut) / double(seconds));
    state.counters["state_changes"] = benchmark::Counter(double(port.mStateChanges));
}

} // namespace

BENCHMARK(BM_ControlPortCycle)
    ->ArgNames({"rate"})
    ->Args({48000})
    ->Args({96000})
    ->Unit(benchmark::kMicrosecond);
