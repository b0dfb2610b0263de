// hxsim's server road: the system's audio server on the server plug-in. The
// machine boots (another client configures the device at 44,100 Hz), the
// server host loads the installed bundle, finds the HX-5100 in the plug-in's
// device list ('dev#'), writes the rate to 'nsrt' and the routing to 'QnRM'
// (and, mixing, the mixer's fractions to 'QnMF'), adds a client, starts IO
// at the frame size, plays the ramp as a float client and records the
// loopback, stops, removes the client and unloads. With --sleep-at the
// machine sleeps and wakes during the run; the plug-in hears it through its
// system power registration.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/HXPath.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHost.h"
#include "sim/SimKernelHost.h"
#include "sim/SimRoads.h"
#include "sim/SimScenario.h"

namespace hx::sim {

namespace {

using hx::coreaudio::fourCC;
using hx::coreaudio::ServerHost;

constexpr AudioObjectID kPlugInObject = 1;
constexpr size_t kRoutingMatrixBytes = 32;
constexpr int kMixerChannels = 32;

AudioObjectPropertyAddress address(const char (&selector)[5], const char (&scope)[5] = "glob") {
    return {fourCC(selector), fourCC(scope), 0};
}

// One output channel's mixer fractions: playback 1 on the left and
// playback 2 on the right of output pair 0, at unity; nothing elsewhere.
CFDictionaryRef mixerFractions(int channel) {
    const int32_t values[5] = {channel, channel == 0 ? 1 : 0, 1, channel == 1 ? 1 : 0, 1};
    const char* names[5] = {"MixerFractionChannel", "MixerFractionLNumerator",
                            "MixerFractionLDenominator", "MixerFractionRNumerator",
                            "MixerFractionRDenominator"};
    const void* keys[5];
    const void* numbers[5];
    for (int k = 0; k < 5; ++k) {
        keys[k] = CFStringCreateWithCString(nullptr, names[k], kCFStringEncodingASCII);
        numbers[k] = CFNumberCreate(nullptr, kCFNumberSInt32Type, &values[k]);
    }
    CFDictionaryRef dict =
        CFDictionaryCreate(nullptr, keys, numbers, 5, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    for (int k = 0; k < 5; ++k) {
        CFRelease(keys[k]);
        CFRelease(numbers[k]);
    }
    return dict;
}

std::string cfStringText(CFStringRef s) {
    char buf[512];
    if (!CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8)) return {};
    return buf;
}

std::string text(const char* f, unsigned long long a, unsigned long long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

// A CFString property of the device as text, or its status.
std::string stringProperty(ServerHost& host, AudioObjectID device, const char (&selector)[5]) {
    CFStringRef s = nullptr;
    UInt32 size = 0;
    const OSStatus st =
        host.getPropertyData(device, 0, address(selector), 0, nullptr, sizeof s, &size, &s);
    if (st != 0 || !s) return "status " + statusText(st);
    std::string out = "\"" + cfStringText(s) + "\"";
    CFRelease(s);
    return out;
}

std::string u32Property(ServerHost& host, AudioObjectID object, const char (&selector)[5],
                        const char (&scope)[5] = "glob") {
    UInt32 v = 0, size = 0;
    const OSStatus st =
        host.getPropertyData(object, 0, address(selector, scope), 0, nullptr, 4, &size, &v);
    return st == 0 ? std::to_string(v) : "status " + statusText(st);
}

std::string formatProperty(ServerHost& host, AudioObjectID stream) {
    AudioStreamBasicDescription d{};
    UInt32 size = 0;
    const OSStatus st =
        host.getPropertyData(stream, 0, address("pft "), 0, nullptr, sizeof d, &size, &d);
    if (st != 0) return "status " + statusText(st);
    char buf[160];
    std::snprintf(buf, sizeof buf, "%.0f Hz, flags 0x%x, %u bytes/frame, %u ch, %u bits",
                  d.mSampleRate, unsigned(d.mFormatFlags), unsigned(d.mBytesPerFrame),
                  unsigned(d.mChannelsPerFrame), unsigned(d.mBitsPerChannel));
    return buf;
}

// The float client keeps its audio on the device's timeline, as a client
// that reads its cycles' time stamps does. A cycle that woke late makes the
// host skip frames (its drops, across processes on a busy machine): the ramp
// skips them too and the recording takes silence in their place, so a
// frame's ramp counter and its place in the recording stay where the device
// put them. A sample time that goes back is a new timeline (IO restarted):
// the ramp goes on from where it was.
class ClientTimeline {
public:
    // Frames between the last cycle's end and this cycle's start: more than
    // 0 skipped, less than 0 played again; 0 in step or on a new timeline.
    int64_t step(Float64 sampleTime, UInt32 frames) {
        const bool goesOn = mStarted && sampleTime >= mLast;
        const int64_t gap = goesOn ? std::llround(sampleTime - mLast) - int64_t(mFrames) : 0;
        mStarted = true;
        mLast = sampleTime;
        mFrames = frames;
        return gap;
    }

private:
    bool mStarted = false;
    Float64 mLast = 0;
    UInt32 mFrames = 0;
};

// A run of recorded frames that are not silence, checked against the ramp
// from its first frame's counter on. A short silence (a cycle that came
// late across processes) inside a run that goes on with the same counter
// does not end it; a long one (the sleep) does, and so does a restart of the
// IO (the ramp going on from another counter for at least 64 frames).
// Across processes (lapFrames not 0) a frame may also come back as the one
// a ring lap or a few earlier, where the host skipped a late cycle and the
// kernel played what the ring still held: such a frame neither differs nor
// restarts the run.
struct AudioRun {
    uint64_t first = 0;
    uint64_t frames = 0;
    uint64_t mismatches = 0;
};

std::vector<AudioRun> audioRuns(const hx::devroad::RampProc& ramp, uint64_t longSilence,
                                uint64_t lapFrames) {
    using hx::devroad::RampProc;
    std::vector<AudioRun> runs;
    const uint32_t ch = ramp.channels;
    const size_t frames = ramp.recorded.size() / ch;
    auto silent = [&](size_t i) {
        for (uint32_t c = 0; c < ch; ++c)
            if (ramp.recorded[i * ch + c] != 0.0f) return false;
        return true;
    };
    auto counterAt = [&](size_t i) {
        const int64_t n = std::llround(double(ramp.recorded[i * ch]) * 2147483520.0 / 256.0);
        return uint64_t(n) & 0xFFFFFF;
    };
    auto carries = [&](size_t i, uint64_t counter) {
        for (uint32_t c = 0; c < ch; ++c) {
            const float want =
                RampProc::ringToFloat(int32_t(uint32_t(RampProc::rampValue(counter, c)) << 8));
            if (std::memcmp(&want, &ramp.recorded[i * ch + c], sizeof want) != 0) return false;
        }
        return true;
    };
    auto staleAt = [&](size_t i, uint64_t base) {
        for (uint64_t k = 1; lapFrames && k <= 4 && k * lapFrames <= base + i; ++k)
            if (carries(i, base + i - k * lapFrames)) return true;
        return false;
    };
    constexpr size_t kRestartFrames = 64;
    auto restartsAt = [&](size_t i, uint64_t base) {
        if (i + kRestartFrames > frames) return false;
        for (size_t k = i; k < i + kRestartFrames; ++k)
            if (silent(k) || !carries(k, base + k)) return false;
        return true;
    };
    uint64_t base = 0; // the current run's counter minus its frame index
    size_t lastEnd = 0;
    for (size_t i = 0; i < frames;) {
        while (i < frames && silent(i))
            ++i;
        if (i == frames) break;
        const uint64_t counter = counterAt(i);
        const bool goesOn = !runs.empty() && i - lastEnd < longSilence &&
                            (((base + i) & 0xFFFFFF) == counter || staleAt(i, base));
        if (!goesOn) {
            runs.push_back(AudioRun{i, 0, 0});
            base = counter - i;
        }
        for (; i < frames && !silent(i); ++i) {
            if (!carries(i, base + i) && !staleAt(i, base)) {
                // A restart: the ramp goes on from another counter for a
                // while (a new run); else a frame that differs.
                const uint64_t other = counterAt(i) - i;
                if (restartsAt(i, other)) {
                    runs.push_back(AudioRun{i, 0, 0});
                    base = other;
                } else {
                    ++runs.back().mismatches;
                }
            }
            ++runs.back().frames;
        }
        lastEnd = i;
    }
    return runs;
}

// The run with the machine's sleep: it sleeps --sleep-at seconds in and
// wakes --sleep-for later (the kernel's own sleep and wake, which the root
// domain tells the plug-in of); the run lasts until the plug-in, which waits
// 5 s after the wake before it asks for its wake-up change, had time to play
// again.
void runWithSleep(const Options& o, Progress& progress, Report& r, hx::devroad::DeviceRoad& road,
                  KernelHostChild* host) {
    constexpr uint64_t kAfterWakeMicros = 8000000;
    const uint64_t sleepAt = uint64_t(o.sleepAt * 1e6 + 0.5);
    const uint64_t wakeAt = sleepAt + uint64_t(o.sleepFor * 1e6 + 0.5);
    const uint64_t total =
        std::max<uint64_t>(uint64_t(o.seconds * 1e6 + 0.5), wakeAt + kAfterWakeMicros);
    auto machine = [&](bool sleep) {
        if (road.harness()) {
            if (sleep)
                road.harness()->systemSleep();
            else
                road.harness()->systemWakeUp();
        } else if (host) {
            if (sleep)
                host->control().systemSleep();
            else
                host->control().systemWake();
        }
    };
    runSlicesWithSleep(
        0, total, sleepAt, wakeAt, progress, [&](uint64_t micros) { road.run(micros); }, machine);
    r.seconds = double(total) / 1e6;
}

} // namespace

void runServerScenario(const Options& o, Progress& progress, Report& r,
                       std::vector<int32_t>& recorded, KernelHostChild* host) {
    if (beginRoad(o, r)) return;
    const bool sleeps = o.sleepAt >= 0;
    r.slept = sleeps;

    hx::devroad::RoadOptions ro;
    ro.rate = o.rate;
    ro.highSpeed = o.speed == Speed::High;
    ro.routing = hx::harness::Routing::Pass;
    ro.clock = clockMode(o.clock);
    ro.machineHere = o.transport != Transport::Process;
    ro.routeFirst = false; // the server routes through the plug-in
    hx::devroad::DeviceRoad road(ro);
    Report::Server server;
    auto add = [&](const std::string& name, const std::string& value) {
        server.lines.emplace_back(name, value);
    };
    auto machineReport = [&] {
        hx::harness::HarnessReport h =
            road.harness() ? road.harness()->report() : road.routingClient().report();
        if (host) hx::harness::applyMachineFacts(host->facts(), h);
        return h;
    };
    auto driverClass = [&] {
        return road.harness() ? road.harness()->machine().facts().driverClass
               : host         ? host->facts().driverClass
                              : std::string();
    };
    auto finish = [&](const std::string& failure) {
        r.server = server;
        fillMachine(r, machineReport(), driverClass().c_str());
        r.failure = failure;
    };
    std::error_code ec;
    std::filesystem::create_directories(hx::path::map("/tmp"), ec);
    if (!road.boot()) {
        r.server = server;
        r.failure = road.error();
        return;
    }
    if (!ServerHost::installBundle(HX_SERVER_PLUGIN_BUNDLE))
        return finish("the server plug-in could not be installed under the path root");

    hx::coreaudio::ServerHostOptions hostOptions;
    hostOptions.framesPerCycle = o.frameSize ? o.frameSize : 512;
    hostOptions.release = "13.0.0";
    ServerHost audio(hostOptions);
    const OSStatus loaded = audio.load();
    add("server plug-in", "load status " + statusText(loaded));
    if (loaded != 0) return finish("the server plug-in did not load: " + statusText(loaded));
    audio.settle();

    // The HX-5100 in the plug-in's device list.
    AudioObjectID list[16] = {};
    UInt32 size = 0;
    const OSStatus listed = audio.getPropertyData(kPlugInObject, 0, address("dev#"), 0, nullptr,
                                                  sizeof list, &size, list);
    if (listed != 0 || size < 4)
        return finish("the server plug-in lists no device: 'dev#' answered " + statusText(listed));
    const AudioObjectID device = list[0];
    add("server device", text("ID %llu of %llu listed", device, size / 4));
    add("server name", stringProperty(audio, device, "lnam"));
    add("server uid", stringProperty(audio, device, "uid "));

    const Float64 rate = o.rate;
    const OSStatus rateSet =
        audio.setPropertyData(device, 0, address("nsrt"), 0, nullptr, sizeof rate, &rate);
    uint8_t matrix[kRoutingMatrixBytes] = {};
    if (o.routing == Routing::Pass) matrix[0] = 1;
    CFDataRef data = CFDataCreate(nullptr, matrix, sizeof matrix);
    OSStatus routed =
        audio.setPropertyData(device, 0, address("QnRM"), 0, nullptr, sizeof data, &data);
    CFRelease(data);
    // Mix: no routing, each output from the mixer, whose fractions put
    // playback 1 on the left and playback 2 on the right at unity.
    const char* routedBy = "'QnRM'";
    if (routed == 0 && o.routing == Routing::Mix) {
        routedBy = "'QnMF'";
        for (int c = 0; c < kMixerChannels && routed == 0; ++c) {
            CFDictionaryRef fractions = mixerFractions(c);
            routed = audio.setPropertyData(device, 0, address("QnMF", "outp"), 0, nullptr,
                                           sizeof fractions, &fractions);
            CFRelease(fractions);
        }
    }
    audio.settle();
    Float64 rateNow = 0;
    const OSStatus rateRead = audio.getPropertyData(device, 0, address("nsrt"), 0, nullptr,
                                                    sizeof rateNow, &size, &rateNow);
    add("server rate", (rateRead == 0 ? text("%llu Hz", (unsigned long long)rateNow)
                                      : "status " + statusText(rateRead)) +
                           ", 'nsrt' set " + statusText(rateSet));
    add("server routing", std::string(routedBy) + " set " + statusText(routed));
    if (rateSet != 0) {
        // A rate the device does not list ('nsra') is one it does not offer
        // at this speed: the run cannot have it (exit code 2).
        AudioValueRange ranges[32] = {};
        UInt32 rangeBytes = 0;
        bool offered = true;
        if (audio.getPropertyData(device, 0, address("nsra"), 0, nullptr, sizeof ranges,
                                  &rangeBytes, ranges) == 0) {
            offered = false;
            for (UInt32 i = 0; i < rangeBytes / sizeof(AudioValueRange); ++i)
                offered |= ranges[i].mMinimum <= rate && rate <= ranges[i].mMaximum;
        }
        // The plug-in answers 'nope' to a rate its list does not hold.
        if (!offered || rateSet == OSStatus(fourCC("nope"))) {
            finish("rate " + std::to_string(o.rate) + " not offered at " + speedName(o.speed) +
                   " speed: 'nsrt' answered " + statusText(rateSet));
            r.optionError = true;
            return;
        }
        return finish("the server plug-in did not set the rate: 'nsrt' answered " +
                      statusText(rateSet));
    }
    if (routed != 0)
        return finish("the server plug-in did not set the routing: " + std::string(routedBy) +
                      " answered " + statusText(routed));

    const auto info = audio.device(device);
    if (!info || info->streams[0].empty() || info->streams[1].empty())
        return finish("the server host found no streams on the HX-5100");
    add("server streams",
        text("in %llu, out %llu", info->streams[0][0].id, info->streams[1][0].id));
    add("server pft in", formatProperty(audio, info->streams[0][0].id));
    add("server pft out", formatProperty(audio, info->streams[1][0].id));
    add("server ltnc", "in " + u32Property(audio, device, "ltnc", "inpt") + ", out " +
                           u32Property(audio, device, "ltnc", "outp") + " frames");
    add("server saft", "in " + u32Property(audio, device, "saft", "inpt") + ", out " +
                           u32Property(audio, device, "saft", "outp") + " frames");
    add("server ring", u32Property(audio, device, "ring") + " frames");
    UInt32 ringFrames = 0;
    audio.getPropertyData(device, 0, address("ring"), 0, nullptr, sizeof ringFrames, &size,
                          &ringFrames);

    // The float client: the ramp through the procedure the other roads use.
    hx::devroad::RampProc ramp;
    const double runSeconds = std::max(o.seconds, sleeps ? o.sleepAt + o.sleepFor + 8 : 0.0);
    ramp.recorded.reserve(size_t(runSeconds * o.rate * 2 * 1.2) + 65536);
    hx::coreaudio::ServerClientIO io;
    const float* lastInput = nullptr;
    UInt32 lastInputSamples = 0;
    ClientTimeline inputLine, outputLine;
    io.floatSink = [&](const float* in, UInt32 ch, UInt32 frames, const auto& cycle) {
        const int64_t gap = inputLine.step(cycle.mInputTime.mSampleTime, frames);
        std::vector<float>& rec = ramp.recorded;
        if (gap > 0) {
            const size_t room = rec.capacity() - rec.size();
            rec.insert(rec.end(), std::min(size_t(gap) * ch, room), 0.0f);
        } else if (gap < 0) {
            rec.resize(rec.size() - std::min(size_t(-gap) * ch, rec.size()));
        }
        lastInput = in;
        lastInputSamples = ch * frames;
    };
    io.floatSource = [&](float* out, UInt32 ch, UInt32 frames, const auto& cycle) {
        ramp.framesPlayed += uint64_t(outputLine.step(cycle.mOutputTime.mSampleTime, frames));
        AudioBufferList inList{}, outList{};
        inList.mNumberBuffers = 1;
        inList.mBuffers[0].mNumberChannels = ch;
        inList.mBuffers[0].mDataByteSize = lastInputSamples * 4;
        inList.mBuffers[0].mData = const_cast<float*>(lastInput);
        outList.mNumberBuffers = 1;
        outList.mBuffers[0].mNumberChannels = ch;
        outList.mBuffers[0].mDataByteSize = ch * frames * 4;
        outList.mBuffers[0].mData = out;
        hx::devroad::RampProc::proc(device, nullptr, lastInput ? &inList : nullptr, nullptr,
                                    &outList, nullptr, &ramp);
        lastInput = nullptr;
    };
    audio.setClientIO(device, io);
    UInt32 client = 0;
    const OSStatus added = audio.addClient(device, 4242, CFSTR("com.korvex.hxsim"), &client);
    if (added != 0) return finish("the server plug-in refused the client: " + statusText(added));
    const OSStatus startStatus = audio.startIO(device, client);
    if (startStatus != 0) {
        audio.removeClient(device, client);
        return finish("IO did not start: " + statusText(startStatus));
    }
    if (sleeps)
        runWithSleep(o, progress, r, road, host);
    else
        runForSeconds(o, progress, r, [&](uint64_t micros) { road.run(micros); });
    const OSStatus stopStatus = audio.stopIO(device, client);
    const OSStatus removeStatus = audio.removeClient(device, client);
    const auto stats = audio.statistics();
    add("server io", text("%llu cycles, %llu frames out", stats.cycles, ramp.framesPlayed.load()) +
                         text(", %llu frames in, %llu changes",
                              ramp.recorded.size() / ramp.channels, stats.changes));
    add("server timing", text("%llu stamp errors, %llu drops", stats.stampErrors, stats.drops) +
                             text(", %llu canary hits", stats.canaryHits));
    audio.shutdown();

    // The machine's counts first: the loopback's fields are set over them.
    r.server = server;
    fillMachine(r, machineReport(), driverClass().c_str());
    std::string loopbackFailure = reportLoopback(o, ramp, r, recorded);
    if (sleeps) {
        // A sleep breaks the stream on purpose: the audio before it must be
        // the ramp bit for bit, and so must the audio after the wake once the
        // plug-in's wake-up change was performed (the last run).
        const std::vector<AudioRun> runs =
            audioRuns(ramp, o.rate / 2, o.transport == Transport::Process ? ringFrames : 0);
        uint64_t differing = 0;
        for (const AudioRun& a : runs)
            differing += a.mismatches;
        const bool before = !runs.empty() && runs.front().mismatches == 0;
        r.machine.streamRecovered = runs.size() >= 2;
        r.machine.matchedAfterRecovery = r.machine.streamRecovered && runs.back().mismatches == 0 &&
                                         runs.back().frames >= uint64_t(o.rate);
        r.machine.framesCheckedAfterRecovery = r.machine.streamRecovered ? runs.back().frames : 0;
        server.lines.emplace_back(
            "server sleep",
            text("%llu runs of audio, %llu frames differing", runs.size(), differing) +
                text(" (the last run %llu frames, %llu differing)",
                     runs.empty() ? 0 : runs.back().frames,
                     runs.empty() ? 0 : runs.back().mismatches));
        r.server = server;
        if (!before)
            loopbackFailure = "looped-back audio before the sleep differs";
        else if (!r.machine.streamRecovered)
            loopbackFailure = "the stream did not come back after the wake-up";
        else if (!r.machine.matchedAfterRecovery)
            loopbackFailure = "looped-back audio after the wake-up differs";
        else
            loopbackFailure.clear();
    }
    auto finishAfterLoopback = [&](const std::string& failure) { r.failure = failure; };
    if (stopStatus != 0)
        finishAfterLoopback("IO did not stop: " + statusText(stopStatus));
    else if (removeStatus != 0)
        finishAfterLoopback("the client was not removed: " + statusText(removeStatus));
    else if (stats.cycles == 0)
        finishAfterLoopback("the server host ran no IO cycle");
    else
        finishAfterLoopback(loopbackFailure);
}

} // namespace hx::sim
