#include "sim/SimScenario.h"
#include "sim/SimRoads.h"
#include "sim/SimMidi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "device/harness/DeviceRoad.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/clients/harness/HarnessClient.h"
#include "sim/SimKernelHost.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/usb/USBBus.h"

namespace hx::sim {

namespace {

hx::harness::DeviceKind harnessDevice(Device d) {
    using K = hx::harness::DeviceKind;
    switch (d) {
    case Device::Farlane1:
        return K::Farlane1;
    case Device::Bulk:
        return K::Bulk;
    case Device::BulkInterrupt:
        return K::BulkInterrupt;
    case Device::Feedback:
        return K::Feedback;
    case Device::Interrupt:
        return K::Interrupt;
    case Device::Farlane2:
        return K::Farlane2;
    default:
        return K::HX5100;
    }
}

// A version word as the driver keeps it: major, minor, patch, build from the
// high byte down; the build is left out when it is 0.
std::string versionText(uint32_t word) {
    char buf[32];
    const unsigned build = word & 0xFF;
    if (build)
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", word >> 24, (word >> 16) & 0xFF,
                      (word >> 8) & 0xFF, build);
    else
        std::snprintf(buf, sizeof buf, "%u.%u.%u", word >> 24, (word >> 16) & 0xFF,
                      (word >> 8) & 0xFF);
    return buf;
}

} // namespace

void fillMachine(Report& r, const hx::harness::HarnessReport& h, const char* driverClass) {
    r.machine = h;
    r.firmware = versionText(h.firmwareVersion);
    if (!h.firmwareVersionText.empty()) r.firmware += " (\"" + h.firmwareVersionText + "\")";
    r.driver = driverClass ? driverClass : "";
    r.driverVersion = versionText(h.driverVersion);
}

namespace {

// The machine the kernel road runs on: here (the client harness's machine
// and its client in this process), or in a kernel host child, reached by the
// same client over the process transport and by machine control.
class KernelRoadRig {
public:
    KernelRoadRig(const Options& o, const hx::harness::HarnessOptions& ho) {
        if (o.transport == Transport::Process)
            mClient = std::make_unique<hx::harness::HarnessClient>(ho);
        else
            mHarness = std::make_unique<hx::harness::ClientHarness>(ho);
    }
    bool start(KernelHostChild* host, std::string& error) {
        mHost = host;
        if (mClient && host)
            mClient->setFirstSoundHook([host] { host->control().fault("fifo-lock", 1); });
        const bool ok = mHarness ? mHarness->start() : mClient->start();
        if (!ok) error = mHarness ? mHarness->lastError() : mClient->lastError();
        return ok;
    }
    hx::harness::HarnessClient& client() { return mHarness ? mHarness->client() : *mClient; }
    hx::harness::ClientHarness* harness() { return mHarness.get(); }
    hx::harness::MachineFacts facts() {
        return mHarness ? mHarness->machine().facts() : mHost->facts();
    }
    // The client's report with what the machine shows of the driver and device.
    hx::harness::HarnessReport report() {
        if (mHarness) return mHarness->report();
        hx::harness::HarnessReport r = mClient->report();
        hx::harness::applyMachineFacts(facts(), r);
        return r;
    }
    void run(uint64_t micros) { client().run(micros); }

private:
    std::unique_ptr<hx::harness::ClientHarness> mHarness;
    std::unique_ptr<hx::harness::HarnessClient> mClient;
    KernelHostChild* mHost = nullptr;
};

} // namespace

bool beginRoad(const Options& o, Report& r) {
    r.askedRate = o.rate;
    r.speed = o.speed;
    r.ppm = o.ppm;
    r.routing = o.routing;
    r.clock = o.clock;
    r.transport = o.transport;
    return refuseAcrossProcesses(o, r);
}

void runForSeconds(const Options& o, Progress& progress, Report& r,
                   const std::function<void(uint64_t micros)>& run) {
    const uint64_t total = uint64_t(o.seconds * 1e6 + 0.5);
    runSlicesWithSleep(0, total, UINT64_MAX, UINT64_MAX, progress, run, [](bool) {});
    r.seconds = double(total) / 1e6;
}

bool refuseAcrossProcesses(const Options& o, Report& r) {
    if (o.transport != Transport::Process) return false;
    // The server road sleeps the kernel host's machine through machine control.
    if (o.sleepAt >= 0 && o.road != Road::Server)
        r.failure = "--sleep-at needs --transport in-process";
    else if (o.midi)
        r.failure = "--midi needs --transport in-process";
    else
        return false;
    r.optionError = true;
    return true;
}

void runDefaultScenario(const Options& o, Progress& progress, Report& r,
                        std::vector<int32_t>& recorded, KernelHostChild* host) {
    if (beginRoad(o, r)) return;

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
    ho.reactToStateChanges = true;
    ho.silenceTolerated = o.transport == Transport::Process;
    const bool sleeps = o.sleepAt >= 0;
    r.slept = sleeps;
    ho.dropFrameAt = o.dropFrame;
    ho.repeatFrameAt = o.repeatFrame;
    ho.device = harnessDevice(o.device);
    if (o.inChannels) {
        ho.channels = o.inChannels;
        ho.outChannels = o.outChannels;
    } else if (o.device == Device::Farlane2)
        ho.channels = 4;
    else if (o.device == Device::BulkInterrupt)
        // Its 964-byte out packets take 20 frames, which only the 6-, 8-
        // and 16-channel encoders lay out; the driver refuses 2 outputs.
        ho.channels = 8;

    KernelRoadRig rig(o, ho);
    hx::harness::HarnessClient& h = rig.client();
    std::string startError;
    const bool started = rig.start(host, startError);
    const hx::harness::HarnessReport first = rig.report();
    // The class name as the machine gives it (it outlives the service).
    const std::string driver = rig.facts().driverClass;
    fillMachine(r, first, driver.c_str());
    if (first.configured && first.rate != o.rate) {
        char why[160];
        std::snprintf(why, sizeof why, "rate %u not offered at %s speed; device configured %u",
                      unsigned(o.rate), speedName(o.speed), unsigned(first.rate));
        r.failure = why;
        r.optionError = true;
        return;
    }
    if (!started) {
        r.failure = startError.empty() ? std::string("the machine did not start") : startError;
        return;
    }

    // Start-up: until the client writes its first frame (the played
    // signal's frame 0), which the asked length is counted from.
    constexpr uint64_t kStartupStepMicros = 1000;
    constexpr uint64_t kStartupLimitMicros = 2000000;
    uint64_t startup = 0;
    while (h.report().framesOut == 0 && startup < kStartupLimitMicros) {
        h.run(kStartupStepMicros);
        startup += kStartupStepMicros;
    }
    // The first cycle already wrote the frames that arrived during its
    // period: they count toward the asked length.
    const uint64_t firstWrite =
        r.machine.rate ? h.report().framesOut * 1000000 / r.machine.rate : 0;
    r.startupSeconds = double(startup - std::min(startup, firstWrite)) / 1e6;

    // In slices, so a long run can show how far it got.
    const uint64_t sleepAt = sleeps ? uint64_t(o.sleepAt * 1e6 + 0.5) : UINT64_MAX;
    const uint64_t wakeAt = sleeps ? sleepAt + uint64_t(o.sleepFor * 1e6 + 0.5) : UINT64_MAX;
    // After a wake-up the client waits 3 s before it rebuilds the stream;
    // the run lasts until the stream has had a second to come back.
    constexpr uint64_t kAfterWakeMicros = 4000000;
    const uint64_t total =
        std::max<uint64_t>(uint64_t(o.seconds * 1e6 + 0.5), sleeps ? wakeAt + kAfterWakeMicros : 0);
    runSlicesWithSleep(
        std::min(total, firstWrite), total, sleepAt, wakeAt, progress,
        [&](uint64_t micros) { h.run(micros); },
        [&](bool sleep) {
            if (sleep)
                rig.harness()->systemSleep();
            else
                rig.harness()->systemWakeUp();
        });
    // A sleep lengthens the run until the stream had time to come back.
    r.seconds = double(total) / 1e6;
    if (o.midi) runMidiCheck(*rig.harness(), r);
    h.stop();

    const hx::harness::HarnessReport last = rig.report();
    fillMachine(r, last, driver.c_str());
    r.hostPauses = rig.facts().hostPauses;
    // The recording starts where the played signal's frame 0 came back.
    const std::vector<int32_t>& input = h.recordedInput();
    const size_t skip =
        std::min(input.size(), last.returnStart * size_t(last.inChannels ? last.inChannels : 1));
    if (last.latencyKnown)
        recorded.assign(input.begin() + std::ptrdiff_t(skip), input.end());
    else
        recorded = input;

    char why[200];
    if (sleeps) {
        // A sleep breaks the stream on purpose: what counts is that it came
        // back and matched before and after.
        if (!last.recoveries || !last.streamRecovered)
            r.failure = "the stream did not come back after the wake-up";
        else if (!last.matchedAfterRecovery)
            r.failure = "looped-back audio after the wake-up differs";
        else if (!last.matched)
            r.failure = "looped-back audio before the sleep differs";
        return;
    }
    if (last.streamBreaks) {
        std::snprintf(why, sizeof why, "the stream broke %u times", unsigned(last.streamBreaks));
        r.failure = why;
    } else if (last.patternErrors) {
        std::snprintf(why, sizeof why, "%llu output packets outside the device's frame count",
                      (unsigned long long)last.patternErrors);
        r.failure = why;
    } else if (lostFrames(r)) {
        std::snprintf(why, sizeof why, "%llu frames lost or repeated on the way (see lost frames)",
                      (unsigned long long)lostFrames(r));
        r.failure = why;
    } else if (!last.latencyKnown || last.framesChecked == 0) {
        r.failure = "the played signal never came back on the input";
    } else if (last.firstCheckedPlayed != 0 && !ho.silenceTolerated) {
        // Across processes the first frames may come back as silence (a late
        // first cycle), which the check counts apart.
        std::snprintf(why, sizeof why, "the first %lld played frames never came back",
                      (long long)last.firstCheckedPlayed);
        r.failure = why;
    } else if (!last.matched) {
        std::snprintf(why, sizeof why,
                      "looped-back audio differs in %llu of %llu frames, first at input frame %lld",
                      (unsigned long long)last.mismatches, (unsigned long long)last.framesChecked,
                      (long long)last.firstMismatch);
        r.failure = why;
    }
}

void runSlicesWithSleep(uint64_t done, uint64_t total, uint64_t sleepAt, uint64_t wakeAt,
                        Progress& progress, const std::function<void(uint64_t micros)>& run,
                        const std::function<void(bool sleep)>& machine) {
    constexpr uint64_t kSliceMicros = 100000;
    bool asleep = false, woke = false;
    while (done < total) {
        uint64_t until = std::min(done + kSliceMicros, total);
        if (!asleep && !woke && sleepAt < until)
            until = std::max(sleepAt, done);
        else if (asleep && wakeAt < until)
            until = std::max(wakeAt, done);
        run(until - done);
        done = until;
        if (!asleep && !woke && done >= sleepAt) {
            machine(true);
            asleep = true;
        } else if (asleep && done >= wakeAt) {
            machine(false);
            asleep = false;
            woke = true;
        }
        progress.update(double(done) / 1e6);
    }
    progress.finish();
}

hx::harness::ClockMode clockMode(Clock c) {
    return c == Clock::Virtual ? hx::harness::ClockMode::Virtual
           : c == Clock::Real  ? hx::harness::ClockMode::Real
                               : hx::harness::ClockMode::Paced;
}

namespace {

// What the device layer showed, into the report.
void fillLayer(Report& r, const ZrOSXDevice& d, int clientType) {
    Report::Layer l;
    l.deviceName = static_cast<const char*>(d.deviceName());
    l.uid = static_cast<const char*>(d.deviceUID());
    l.clientType = clientType;
    l.frameSize = d.getFrameSize();
    l.inputLatency = d.getLatency(true);
    l.outputLatency = d.getLatency(false);
    l.writeAhead = d.getOutWriteAhead();
    l.ioCycles = d.ioCycles();
    l.overloads = d.overloads();
    r.layer = l;
}

} // namespace

void runDeviceScenario(const Options& o, Progress& progress, Report& r,
                       std::vector<int32_t>& recorded, KernelHostChild* host) {
    if (beginRoad(o, r)) return;
    hx::devroad::RoadOptions ro;
    ro.rate = o.rate;
    ro.highSpeed = o.speed == Speed::High;
    ro.routing = o.routing == Routing::Mix ? hx::harness::Routing::Mix : hx::harness::Routing::Pass;
    ro.clock = clockMode(o.clock);
    ro.machineHere = o.transport != Transport::Process;
    hx::devroad::DeviceRoad road(ro);
    const bool booted = road.boot();
    // The machine's view: its own report here, machine control's across
    // processes.
    auto machineReport = [&] {
        if (road.harness()) return road.harness()->report();
        hx::harness::HarnessReport h = road.routingClient().report();
        if (host) hx::harness::applyMachineFacts(host->facts(), h);
        return h;
    };
    const std::string driver = road.harness() ? road.harness()->machine().facts().driverClass
                               : host         ? host->facts().driverClass
                                              : std::string();
    fillMachine(r, machineReport(), driver.c_str());
    if (!booted) {
        r.failure = road.error();
        return;
    }
    ZrOSXDevice* device = road.openDevice();
    if (!device) {
        r.failure = road.error();
        return;
    }
    if (device->getFrequency() != o.rate) {
        r.failure =
            "rate " + std::to_string(o.rate) + " not offered at " + speedName(o.speed) + " speed";
        r.optionError = true;
        return;
    }
    if (o.frameSize && device->setFrameSize(o.frameSize, true, false) != 0) {
        r.failure = "the device layer refused the frame size " + std::to_string(o.frameSize);
        r.optionError = true;
        return;
    }
    hx::devroad::RampProc ramp;
    ramp.recorded.reserve(size_t(o.seconds * o.rate * 2 * 1.2) + 65536);
    IOProcEntry* id = device->addIOProcID(&hx::devroad::RampProc::proc, &ramp);
    if (!id || !device->onDeviceStartProcOrID(id)) {
        r.failure = "the IO procedure did not start";
        return;
    }
    runForSeconds(o, progress, r, [&](uint64_t micros) { road.run(micros); });
    // The device's own user client, while it is attached.
    const int slot = device->attachedSlot();
    const uint64_t identity = device->clientID();
    device->onDeviceStopProcOrID(id);
    device->removeIOProcID(id);
    fillLayer(r, *device, road.manager() ? road.manager()->clientAppType() : 0);
    const hx::harness::HarnessReport last = machineReport();
    fillMachine(r, last, driver.c_str());
    road.closeDevice();

    const std::string loopbackFailure = reportLoopback(o, ramp, r, recorded);
    r.machine.clientType = 0;
    r.machine.slot = slot;
    r.machine.identity = identity;
    if (r.layer && r.layer->ioCycles == 0)
        r.failure = "the device layer ran no IO cycle";
    else
        r.failure = loopbackFailure;
}

namespace {

// The loopback check through the output mixer (--routing mix): each sample
// comes back as the mixer's halved sum rounds it (its lowest bit cleared
// toward zero), so the first frame's counter is known to within one; the
// counter whose following frames all match is taken. Across processes a
// frame may also come back as silence, or as the frame a ring lap earlier.
hx::devroad::RampProc::Check checkMixLoopback(const hx::devroad::RampProc& ramp,
                                              bool silenceTolerated, uint64_t lapFrames) {
    using hx::devroad::RampProc;
    RampProc::Check best;
    const uint32_t ch = ramp.channels;
    const size_t frames = ramp.recorded.size() / ch;
    auto silentAt = [&](size_t i) {
        for (uint32_t c = 0; c < ch; ++c)
            if (ramp.recorded[i * ch + c] != 0.0f) return false;
        return true;
    };
    size_t start = 0;
    while (start < frames && silentAt(start))
        ++start;
    if (start == frames) return best;
    auto carries = [&](size_t i, uint64_t played) {
        for (uint32_t c = 0; c < ch; ++c) {
            const int32_t ring = int32_t(uint32_t(RampProc::rampValue(played, c)) << 8);
            const float want = RampProc::ringToFloat(hx::harness::mixRoundTrip(ring));
            if (std::memcmp(&want, &ramp.recorded[i * ch + c], sizeof want) != 0) return false;
        }
        return true;
    };
    const int64_t n0 = std::llround(double(ramp.recorded[start * ch]) * 2147483520.0 / 256.0);
    bool first = true;
    for (int64_t delta : {0, 1, -1}) {
        const uint64_t counter = uint64_t(n0 + delta) & 0xFFFFFF;
        if (!carries(start, counter)) continue;
        RampProc::Check r;
        r.latency = int64_t(start) - int64_t(counter);
        for (size_t i = start; i < frames; ++i) {
            const uint64_t played = counter + (i - start);
            ++r.checked;
            if (silenceTolerated && silentAt(i)) {
                ++r.silent;
                continue;
            }
            if (carries(i, played)) continue;
            bool late = false;
            for (uint64_t k = 1; silenceTolerated && k <= 4 && !late && k * lapFrames <= played;
                 ++k)
                late = carries(i, played - k * lapFrames);
            if (late) {
                ++r.stale;
                continue;
            }
            if (r.firstMismatch < 0) r.firstMismatch = int64_t(i);
            ++r.mismatches;
        }
        r.constantLatency = r.mismatches == 0 && r.checked > 0;
        if (first || r.mismatches < best.mismatches) best = r;
        first = false;
    }
    if (first) {
        // No counter near the first frame's fits: everything from there differs.
        best.latency = 0;
        best.checked = frames - start;
        best.mismatches = best.checked;
        best.firstMismatch = int64_t(start);
    }
    return best;
}

} // namespace

std::string reportLoopback(const Options& o, const hx::devroad::RampProc& ramp, Report& r,
                           std::vector<int32_t>& recorded) {
    // The frames of a 2-channel client ring: a late cycle leaves the kernel
    // the frame written one lap earlier.
    constexpr uint64_t kRingLapFrames = 65536;
    const bool across = o.transport == Transport::Process;
    const hx::devroad::RampProc::Check check = o.routing == Routing::Mix
                                                   ? checkMixLoopback(ramp, across, kRingLapFrames)
                                                   : ramp.checkLoopback(across, kRingLapFrames);
    hx::harness::HarnessReport& m = r.machine;
    m.framesOut = ramp.framesPlayed;
    m.framesIn = ramp.recorded.size() / 2;
    m.matched = check.checked > check.silent + check.stale && check.mismatches == 0;
    m.framesChecked = check.checked;
    m.silentFrames = check.silent;
    m.staleFrames = check.stale;
    m.mismatches = check.mismatches;
    m.firstCheckedPlayed = check.latency >= 0 ? 0 : -1;
    m.latencyKnown = check.latency >= 0;
    m.latencyFrames = m.latencyKnown ? check.latency : 0;
    // The recording from where the played signal came back, as ring samples.
    const size_t skip = check.latency >= 0 ? size_t(check.latency) * 2 : 0;
    recorded.clear();
    for (size_t i = skip; i < ramp.recorded.size(); ++i)
        recorded.push_back(
            int32_t(std::llround(double(ramp.recorded[i]) * 2147483520.0 / 256.0) * 256));
    if (lostFrames(r))
        return std::to_string(lostFrames(r)) +
               " frames lost or repeated on the way (see lost frames)";
    if (check.checked == check.silent + check.stale)
        return "the played signal never came back on the input";
    if (check.mismatches)
        return "looped-back audio differs in " + std::to_string(check.mismatches) + " of " +
               std::to_string(check.checked) + " frames, first at recorded frame " +
               std::to_string(check.firstMismatch);
    return {};
}

} // namespace hx::sim
