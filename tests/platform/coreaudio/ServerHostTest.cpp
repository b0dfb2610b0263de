// The audio server host against a scripted plug-in on the virtual clock:
// loading, the IO cycle's times, stamps, drops and canaries, property
// notices, configuration changes, storage and shutdown.
#include "platform/coreaudio/ServerHost.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/mman.h>

#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/dispatch/Dispatch.h"
#include "tests/platform/coreaudio/ScriptedServerPlugIn.h"

namespace {

using hx::coreaudio::ServerHost;
using hx::coreaudio::ServerHostOptions;
using hx::coreaudio::test::ScriptedServerPlugIn;

constexpr UInt64 kSecond = 1000000000ull;
constexpr AudioObjectID kDevice = ScriptedServerPlugIn::kDevice;

ServerHostOptions options(UInt32 frames = 512) {
    ServerHostOptions o;
    o.framesPerCycle = frames;
    o.processName = "";
    o.storageName = "scripted";
    return o;
}

std::size_t indexOf(const std::vector<std::string>& calls, const std::string& call,
                    std::size_t from = 0) {
    for (std::size_t i = from; i < calls.size(); ++i)
        if (calls[i] == call) return i;
    return calls.size();
}

// A host with the scripted plug-in loaded and its device read, on the
// virtual clock (made first, so the host's threads take part).
class Host : public ::testing::Test {
protected:
    void load(UInt32 frames = 512) {
        mHost = std::make_unique<ServerHost>(options(frames));
        ASSERT_EQ(mHost->loadDriver(mPlugIn.driverRef()), 0);
        mHost->settle();
    }
    void startOneClient() {
        ASSERT_EQ(mHost->addClient(kDevice, 4242, CFSTR("com.example.recorder"), &mClient), 0);
        ASSERT_EQ(mHost->startIO(kDevice, mClient), 0);
    }
    void TearDown() override {
        if (mHost) mHost->shutdown();
        mHost.reset();
        hx::dispatch::drainAll();
    }
    static void expectSteps(const std::vector<Float64>& times, Float64 step) {
        for (std::size_t i = 1; i < times.size(); ++i)
            ASSERT_EQ(times[i] - times[i - 1], step) << "at " << i;
    }

    hx::test::TempRoot mRoot;
    hx::clock::VirtualClock mClock;
    ScriptedServerPlugIn mPlugIn;
    std::unique_ptr<ServerHost> mHost;
    UInt32 mClient = 0;
};

TEST_F(Host, LoadsQueriesReleasesAndInitializesInOrder) {
    load();
    const auto calls = mPlugIn.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "QueryInterface");
    EXPECT_EQ(calls[1], "Release");
    EXPECT_EQ(calls[2], "Initialize");
    EXPECT_EQ(mPlugIn.refCount(), 1u);
    EXPECT_EQ(mPlugIn.host(), mHost->hostInterface());
    const auto d = mHost->device(kDevice);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->uid, "HX5100-SCRIPTED");
    EXPECT_TRUE(d->usable);
    EXPECT_EQ(d->ringPeriod, 512u);
    EXPECT_EQ(d->safetyOffset[1], 24u);
    ASSERT_EQ(d->streams[0].size(), 1u);
    EXPECT_EQ(d->streams[1][0].format.mBytesPerFrame, 6u);
}

struct FormatCase {
    UInt32 bytesPerFrame;
};

class HostFormats : public Host, public ::testing::WithParamInterface<FormatCase> {};

// Ten seconds at 512 frames: every cycle F frames on, input and output
// times from the formulas, buffers of exactly F frames of the format.
TEST_P(HostFormats, TenSecondsStepExactlyOneCycle) {
    mPlugIn.bytesPerFrame = GetParam().bytesPerFrame;
    load();
    startOneClient();
    mClock.runFor(10 * kSecond);
    ASSERT_EQ(mHost->stopIO(kDevice, mClient), 0);
    const auto out = mPlugIn.outputTimes();
    const auto in = mPlugIn.inputTimes();
    ASSERT_GE(out.size(), 930u);
    ASSERT_EQ(in.size(), out.size());
    expectSteps(out, 512);
    expectSteps(in, 512);
    // N_0 is 0 (the device starts with the first stamp): input N-F-16,
    // output N+F+24.
    EXPECT_EQ(in[0], -512.0 - 16);
    EXPECT_EQ(out[0], 512.0 + 24);
    for (UInt32 bytes : mPlugIn.doBytes())
        ASSERT_EQ(bytes, 512 * GetParam().bytesPerFrame);
    const auto stats = mHost->statistics();
    EXPECT_EQ(stats.stampErrors, 0u);
    EXPECT_EQ(stats.drops, 0u);
    EXPECT_EQ(stats.canaryHits, 0u);
    EXPECT_EQ(stats.cycles, out.size());
    const auto calls = mPlugIn.calls();
    EXPECT_LT(indexOf(calls, "WillDo read"), indexOf(calls, "Do read"));
    EXPECT_LT(indexOf(calls, "WillDo rite"), indexOf(calls, "Do rite"));
}

INSTANTIATE_TEST_SUITE_P(ThreeAndFourBytes, HostFormats,
                         ::testing::Values(FormatCase{6}, FormatCase{8}));

// A float client is handed the streams' channels and the cycle's frames on
// both sides every cycle; what it plays is converted inside the buffer.
TEST_F(Host, AFloatClientRunsEachCycleWithTheStreamsChannels) {
    struct Seen {
        std::mutex m;
        std::uint64_t sinks = 0, sources = 0, wrongShape = 0;
    };
    auto seen = std::make_shared<Seen>();
    hx::coreaudio::ServerClientIO io;
    io.floatSink = [seen](const float* in, UInt32 ch, UInt32 frames, const auto&) {
        std::lock_guard<std::mutex> l(seen->m);
        ++seen->sinks;
        if (!in || ch != 2 || frames != 512) ++seen->wrongShape;
    };
    io.floatSource = [seen](float* out, UInt32 ch, UInt32 frames, const auto&) {
        std::lock_guard<std::mutex> l(seen->m);
        ++seen->sources;
        if (!out || ch != 2 || frames != 512) ++seen->wrongShape;
        for (UInt32 i = 0; out && i < ch * frames; ++i)
            out[i] = 0.5f;
    };
    load();
    mHost->setClientIO(kDevice, io);
    startOneClient();
    mClock.runFor(kSecond);
    ASSERT_EQ(mHost->stopIO(kDevice, mClient), 0);
    const auto stats = mHost->statistics();
    std::lock_guard<std::mutex> l(seen->m);
    EXPECT_GT(stats.cycles, 80u);
    EXPECT_EQ(seen->sinks, stats.cycles);
    EXPECT_EQ(seen->sources, stats.cycles);
    EXPECT_EQ(seen->wrongShape, 0u);
    EXPECT_EQ(stats.canaryHits, 0u);
}

TEST_F(Host, AWriteOneBytePastTheBufferHitsTheCanaryOnce) {
    mPlugIn.writePastOnCycle = 5;
    load();
    startOneClient();
    mClock.runFor(kSecond);
    EXPECT_EQ(mHost->statistics().canaryHits, 1u);
}

struct StampCase {
    const char* name;
    bool halfPeriod;
};

class HostStamps : public Host, public ::testing::WithParamInterface<StampCase> {};

TEST_P(HostStamps, AStrayStampIsOneErrorAndTheTimelineGoesOn) {
    if (GetParam().halfPeriod)
        mPlugIn.stampOffsetOnCall = 20;
    else
        mPlugIn.stampBackOnCall = 20;
    load();
    startOneClient();
    mClock.runFor(2 * kSecond);
    EXPECT_EQ(mHost->statistics().stampErrors, 1u);
    EXPECT_EQ(mHost->statistics().drops, 0u);
    const auto out = mPlugIn.outputTimes();
    ASSERT_GT(out.size(), 150u);
    expectSteps(std::vector<Float64>(out.end() - 100, out.end()), 512);
}

INSTANTIATE_TEST_SUITE_P(Table, HostStamps,
                         ::testing::Values(StampCase{"halfPeriod", true},
                                           StampCase{"goingBack", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Host, ADoSleepingThreeAndAHalfCyclesDropsTwo) {
    mPlugIn.sleepOnCycle = 10;
    load();
    startOneClient();
    mClock.runFor(kSecond);
    EXPECT_EQ(mHost->statistics().drops, 2u);
    EXPECT_EQ(mHost->statistics().stampErrors, 0u);
    const auto out = mPlugIn.outputTimes();
    ASSERT_GT(out.size(), 12u);
    EXPECT_EQ(out[11] - out[10], 3 * 512.0);
    expectSteps(std::vector<Float64>(out.begin() + 11, out.end()), 512);
}

// The IO thread's CPU time is counted only when asked for.
TEST_F(Host, CycleCpuTimeIsCountedOnlyWhenAskedFor) {
    for (bool measure : {false, true}) {
        SCOPED_TRACE(measure ? "measured" : "not measured");
        ServerHostOptions o = options(64);
        o.measureCycleCpu = measure;
        mHost = std::make_unique<ServerHost>(o);
        ASSERT_EQ(mHost->loadDriver(mPlugIn.driverRef()), 0);
        mHost->settle();
        startOneClient();
        mClock.runFor(kSecond / 10);
        const auto stats = mHost->statistics();
        EXPECT_GT(stats.cycles, 0u);
        EXPECT_EQ(stats.cycleCpuNanos > 0, measure);
        mHost->shutdown();
        mHost.reset();
    }
}

// The plug-in tells of changes while holding a lock its listener takes: the
// call only records, the listeners run later on the host's thread, in order.
TEST_F(Host, PropertiesChangedUnderALockTheListenerTakes) {
    load();
    std::mutex pluginLock;
    std::vector<AudioObjectPropertySelector> heard;
    const AudioObjectPropertyAddress rate{kAudioDevicePropertyNominalSampleRate,
                                          kAudioObjectPropertyScopeGlobal, 0};
    const AudioObjectPropertyAddress latency{kAudioDevicePropertyLatency,
                                             kAudioObjectPropertyScopeGlobal, 0};
    for (const auto& a : {rate, latency})
        mHost->addListener(kDevice, a,
                           [&](AudioObjectID, UInt32 n, const AudioObjectPropertyAddress* list) {
                               std::lock_guard<std::mutex> lock(pluginLock);
                               heard.push_back(list[n - 1].mSelector);
                           });
    AudioServerPlugInHostRef host = mHost->hostInterface();
    {
        std::lock_guard<std::mutex> lock(pluginLock);
        EXPECT_EQ(host->PropertiesChanged(host, kDevice, 1, &rate), 0);
        EXPECT_EQ(host->PropertiesChanged(host, kDevice, 1, &latency), 0);
        EXPECT_TRUE(heard.empty());
    }
    mHost->settle();
    EXPECT_EQ(heard, (std::vector<AudioObjectPropertySelector>{
                         kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyLatency}));
    EXPECT_EQ(mHost->propertiesChangedCalls().size(), 2u);
}

// A change requested during IO with an info pointer nobody may touch: the
// request returns at once; K stops, performs, re-reads and starts again with
// no cycle in between.
TEST_F(Host, ChangeDuringIO) {
    load();
    startOneClient();
    mClock.runFor(kSecond / 2);
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    AudioServerPlugInHostRef host = mHost->hostInterface();
    EXPECT_EQ(host->RequestDeviceConfigurationChange(host, kDevice, 7, page), 0);
    mHost->settle();
    mClock.runFor(kSecond / 2);
    ASSERT_EQ(mHost->stopIO(kDevice, mClient), 0);
    EXPECT_EQ(mPlugIn.lastChangeInfo(), page);
    const auto calls = mPlugIn.calls();
    const std::size_t perform = indexOf(calls, "Perform 7");
    ASSERT_LT(perform, calls.size());
    std::size_t stop = perform;
    while (stop > 0 && calls[stop] != "StopIO")
        --stop;
    const std::size_t reread = indexOf(calls, "read uid", perform);
    const std::size_t start = indexOf(calls, "StartIO", perform);
    ASSERT_EQ(calls[stop], "StopIO");
    EXPECT_LT(reread, start);
    ASSERT_LT(start, calls.size());
    for (std::size_t i = stop; i < start; ++i)
        EXPECT_EQ(calls[i].rfind("Do ", 0), std::string::npos) << calls[i];
    EXPECT_LT(indexOf(calls, "Do rite", start), calls.size()); // IO resumed
    EXPECT_EQ(mHost->statistics().changes, 1u);
    munmap(page, 4096);
}

TEST_F(Host, ChangeForADeviceThatLeftIsAborted) {
    load();
    mPlugIn.listDevice = false;
    AudioServerPlugInHostRef host = mHost->hostInterface();
    EXPECT_EQ(host->RequestDeviceConfigurationChange(host, kDevice, 3, nullptr), 0);
    mHost->settle();
    const auto calls = mPlugIn.calls();
    EXPECT_LT(indexOf(calls, "Abort 3"), calls.size());
    EXPECT_EQ(indexOf(calls, "Perform 3"), calls.size());
}

TEST_F(Host, KnobAbortsTheNextChange) {
    load();
    mHost->abortNextConfigurationChange();
    AudioServerPlugInHostRef host = mHost->hostInterface();
    host->RequestDeviceConfigurationChange(host, kDevice, 1, nullptr);
    host->RequestDeviceConfigurationChange(host, kDevice, 2, nullptr);
    mHost->settle();
    const auto calls = mPlugIn.calls();
    EXPECT_LT(indexOf(calls, "Abort 1"), indexOf(calls, "Perform 2"));
    EXPECT_EQ(indexOf(calls, "Perform 1"), calls.size());
}

TEST_F(Host, AbsurdDevicesAreNeverStarted) {
    mPlugIn.channels = 65;
    load();
    const auto d = mHost->device(kDevice);
    ASSERT_TRUE(d.has_value());
    EXPECT_FALSE(d->usable);
    ASSERT_EQ(mHost->addClient(kDevice, 1, nullptr, &mClient), 0);
    EXPECT_NE(mHost->startIO(kDevice, mClient), 0);
    EXPECT_EQ(indexOf(mPlugIn.calls(), "StartIO"), mPlugIn.calls().size());
}

TEST_F(Host, ShutdownStopsRemovesAndAnswersStopAfterwards) {
    load();
    UInt32 second = 0;
    startOneClient();
    ASSERT_EQ(mHost->addClient(kDevice, 4343, nullptr, &second), 0);
    ASSERT_EQ(mHost->startIO(kDevice, second), 0);
    ASSERT_EQ(mHost->startIO(kDevice, second), 0);
    mClock.runFor(kSecond / 10);
    AudioServerPlugInHostRef host = mHost->hostInterface();
    mHost->shutdown();
    EXPECT_EQ(mPlugIn.startCount(), 0);
    const auto calls = mPlugIn.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "StopIO"), 3);
    EXPECT_LT(indexOf(calls, "RemoveDeviceClient " + std::to_string(mClient)), calls.size());
    EXPECT_LT(indexOf(calls, "RemoveDeviceClient " + std::to_string(second)), calls.size());
    EXPECT_EQ(calls.back(), "Release");
    EXPECT_EQ(mPlugIn.refCount(), 0u);
    const AudioObjectPropertyAddress a{kAudioDevicePropertyNominalSampleRate,
                                       kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(host->PropertiesChanged(host, kDevice, 1, &a), kAudioHardwareNotRunningError);
    CFPropertyListRef out = nullptr;
    EXPECT_EQ(host->CopyFromStorage(host, CFSTR("k"), &out), kAudioHardwareNotRunningError);
    EXPECT_EQ(host->RequestDeviceConfigurationChange(host, kDevice, 1, nullptr),
              kAudioHardwareNotRunningError);
}

// ---- Storage

class HostStorage : public ::testing::Test {
protected:
    HostStorage() : mHost(std::make_unique<ServerHost>(options())), mRef(mHost->hostInterface()) {}
    std::string file() const {
        return hx::path::map("/Library/Preferences/Audio/Data/scripted.plist");
    }
    hx::test::TempRoot mRoot;
    std::unique_ptr<ServerHost> mHost;
    AudioServerPlugInHostRef mRef;
};

TEST_F(HostStorage, CopiesBothWays) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("a"), CFSTR("1"));
    ASSERT_EQ(mRef->WriteToStorage(mRef, CFSTR("dict"), d), 0);
    CFDictionarySetValue(d, CFSTR("b"), CFSTR("2")); // after the write: not stored
    CFPropertyListRef first = nullptr, second = nullptr;
    ASSERT_EQ(mRef->CopyFromStorage(mRef, CFSTR("dict"), &first), 0);
    ASSERT_EQ(mRef->CopyFromStorage(mRef, CFSTR("dict"), &second), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second); // a new copy each time
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(first)), 1);
    EXPECT_TRUE(CFEqual(first, second));
    CFRelease(first);
    CFRelease(second);
    CFRelease(d);
}

TEST_F(HostStorage, MissingKeyAnswersZeroAndNull) {
    CFPropertyListRef out = CFSTR("x");
    EXPECT_EQ(mRef->CopyFromStorage(mRef, CFSTR("missing"), &out), 0);
    EXPECT_EQ(out, nullptr);
    auto o = options();
    o.missingKeyStatus = kAudioHardwareUnknownPropertyError;
    mHost = std::make_unique<ServerHost>(o);
    mRef = mHost->hostInterface();
    EXPECT_EQ(mRef->CopyFromStorage(mRef, CFSTR("missing"), &out),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(out, nullptr);
}

TEST_F(HostStorage, NotAPropertyListIsRefusedAndChangesNothing) {
    ASSERT_EQ(mRef->WriteToStorage(mRef, CFSTR("k"), CFSTR("kept")), 0);
    CFURLRef url =
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp/x"), kCFURLPOSIXPathStyle, false);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(mRef->WriteToStorage(mRef, CFSTR("k"), url), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mRef->WriteToStorage(mRef, CFSTR("k"), nullptr), kAudioHardwareIllegalOperationError);
    CFRelease(url);
    CFPropertyListRef out = nullptr;
    ASSERT_EQ(mRef->CopyFromStorage(mRef, CFSTR("k"), &out), 0);
    EXPECT_TRUE(CFEqual(out, CFSTR("kept")));
    CFRelease(out);
}

TEST_F(HostStorage, KeptAcrossHostsAndAMalformedFileSetAside) {
    ASSERT_EQ(mRef->WriteToStorage(mRef, CFSTR("k"), CFSTR("kept")), 0);
    mHost = std::make_unique<ServerHost>(options());
    mRef = mHost->hostInterface();
    CFPropertyListRef out = nullptr;
    ASSERT_EQ(mRef->CopyFromStorage(mRef, CFSTR("k"), &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(CFEqual(out, CFSTR("kept")));
    CFRelease(out);
    std::ofstream(file(), std::ios::trunc) << "<plist><dict><key>broken";
    out = CFSTR("x");
    EXPECT_EQ(mRef->CopyFromStorage(mRef, CFSTR("k"), &out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(std::filesystem::exists(file() + ".bad"));
    ASSERT_EQ(mRef->WriteToStorage(mRef, CFSTR("k"), CFSTR("fresh")), 0); // still storing
    ASSERT_EQ(mRef->CopyFromStorage(mRef, CFSTR("k"), &out), 0);
    EXPECT_TRUE(CFEqual(out, CFSTR("fresh")));
    CFRelease(out);
}

} // namespace
