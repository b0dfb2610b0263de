// The HAL plug-in through the HAL host, on the whole simulated machine in
// this process and on the virtual clock: the installed bundle is loaded
// with dlopen, and every call goes host -> plug-in -> device layer ->
// kernel -> bus -> HX-5100 model.
#include "tests/plugins/hal/HALPlugInFixture.h"

#include "abi/ProductIdentities.h"
#include "device/harness/DeviceRoad.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/HXCF.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using hx::coreaudio::HALAnnouncement;
using hx::coreaudio::HALHost;
using hx::coreaudio::HALHostOptions;
using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;

using namespace hx::haltest;

namespace {

std::size_t threadCount() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// What a loaded plug-in holds of the platform: run-loop sources and timers,
// notification ports and other IOKit objects (connections, services,
// notifications, iterators).
struct Holdings {
    long sources = hx::cf::liveRunLoopSourceCount();
    long timers = hx::cf::liveRunLoopTimerCount();
    long ports = hx::iokit::liveNotificationPortCount();
    std::size_t objects = hx::iokit::liveObjectCount();
};

void expectSameHoldings(const Holdings& before) {
    const Holdings now;
    EXPECT_EQ(now.sources, before.sources) << "run-loop sources";
    EXPECT_EQ(now.timers, before.timers) << "run-loop timers";
    EXPECT_EQ(now.ports, before.ports) << "notification ports";
    EXPECT_EQ(now.objects, before.objects) << "IOKit objects";
}

HALHostOptions identity(const char* name, const char* release = "") {
    HALHostOptions o;
    o.processName = name;
    o.release = release;
    return o;
}

// ---- Loading

TEST_F(HALPlugIn, FactoryRefusesAnyOtherTypeAndCountsNothing) {
    hx::cf::LoadedFactory f = hx::cf::loadFactory(bundle(), kAudioHardwarePlugInTypeID);
    ASSERT_NE(f.function, nullptr) << f.error;
    hx::log::Capture capture;
    EXPECT_EQ(f.function(nullptr, kAudioHardwarePlugInInterfaceID), nullptr);
    const std::string text = capture.text();
    const auto enter = text.find("Enter CreateAudio\n");
    ASSERT_NE(enter, std::string::npos) << text;
    EXPECT_NE(text.find("CreateAudio failed\n", enter), std::string::npos) << text;
    EXPECT_EQ(instances(), 0);
}

TEST_F(HALPlugIn, FactoryWithoutOwnNameMakesNothing) {
    hx::sys::hideRealProcesses(true);
    hx::cf::LoadedFactory f = hx::cf::loadFactory(bundle(), kAudioHardwarePlugInTypeID);
    ASSERT_NE(f.function, nullptr) << f.error;
    hx::log::Capture capture;
    EXPECT_EQ(f.function(nullptr, kAudioHardwarePlugInTypeID), nullptr);
    const std::string text = capture.text();
    const auto none = text.find("No process dectected\n");
    ASSERT_NE(none, std::string::npos) << text;
    EXPECT_NE(text.find("CreateAudio failed\n", none), std::string::npos);
    EXPECT_EQ(instances(), 0);
}

TEST_F(HALPlugIn, LoadsLogsIntoTheHostsSinkAndCountsOneInstance) {
    hx::log::Capture capture;
    ASSERT_EQ(load(identity("hxhaltest")), 0);
    EXPECT_NE(capture.text().find("CreateAudio: CurrentprocessName hxhaltest "
                                  "ZrKernelDeviceKorvexHX5100\n"),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(instances(), 1);
    EXPECT_NE(mHost->plugInObjectID(), 0u);
    EXPECT_EQ(mHost->devices().size(), 1u);
}

TEST_F(HALPlugIn, QueryInterfaceAnswersTheSameReferenceForItsInterfacesOnly) {
    ASSERT_EQ(load(), 0);
    AudioHardwarePlugInRef ref = mHost->plugIn();
    const CFUUIDRef known[] = {IUnknownUUID,
                               kAudioHardwarePlugInInterface4ID,
                               kAudioHardwarePlugInInterface3ID,
                               kAudioHardwarePlugInInterface2ID,
                               kAudioHardwarePlugInInterfaceID,
                               kAudioHardwarePlugInTypeID};
    ULONG base = (*ref)->AddRef(ref);
    (*ref)->Release(ref);
    --base;
    for (CFUUIDRef uuid : known) {
        void* out = nullptr;
        EXPECT_EQ((*ref)->QueryInterface(ref, CFUUIDGetUUIDBytes(uuid), &out), S_OK);
        EXPECT_EQ(out, ref);
        EXPECT_EQ((*ref)->AddRef(ref), base + 2) << "QueryInterface adds one";
        (*ref)->Release(ref);
        (*ref)->Release(ref);
    }
    CFUUIDRef other =
        CFUUIDCreateFromString(nullptr, CFSTR("12345678-1234-1234-1234-123456789ABC"));
    void* out = ref;
    EXPECT_EQ((*ref)->QueryInterface(ref, CFUUIDGetUUIDBytes(other), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ((*ref)->AddRef(ref), base + 1) << "count unchanged";
    (*ref)->Release(ref);
    CFRelease(other);
}

TEST_F(HALPlugIn, ASecondInitializeKeepsTheOneManager) {
    ASSERT_EQ(load(), 0);
    AudioHardwarePlugInRef ref = mHost->plugIn();
    const auto before = mHost->devices();
    EXPECT_EQ((*ref)->Initialize(ref), 0);
    EXPECT_EQ((*ref)->InitializeWithObjectID(ref, 99), 0);
    settle();
    EXPECT_EQ(mHost->devices(), before);
    EXPECT_EQ(mHost->announcements().size(), 2u) << "one device, one stream list";
}

struct AudioServerCase {
    const char* release;
    OSStatus status;
    bool published;
};

class HALPlugInInAudioServer : public HALPlugIn,
                               public ::testing::WithParamInterface<AudioServerCase> {};

TEST_P(HALPlugInInAudioServer, PublishesOnlyUpToRelease12) {
    const AudioServerCase c = GetParam();
    ASSERT_EQ(load(identity("coreaudiod", c.release)), c.status);
    EXPECT_EQ(mHost->devices().size(), c.published ? 1u : 0u);
    plugSecond();
    if (c.published) {
        EXPECT_TRUE(devicesBecome(2));
    } else {
        mRoad->run(1000000);
        settle();
        EXPECT_EQ(mHost->devices().size(), 0u) << "later plugs included";
    }
}

INSTANTIATE_TEST_SUITE_P(Releases, HALPlugInInAudioServer,
                         ::testing::Values(AudioServerCase{"13.0.0", kAudioHardwareUnspecifiedError,
                                                           false},
                                           AudioServerCase{"12.6.0", 0, true}));

TEST_F(HALPlugIn, ReleaseToZeroTearsDownForASecondAndLeavesNothing) {
    const std::size_t threads = threadCount();
    const int32_t connections = mRoad->harness()->service()->getUserClientCount();
    const Holdings held;
    ASSERT_EQ(load(), 0);
    EXPECT_GT(mRoad->harness()->service()->getUserClientCount(), connections);
    EXPECT_EQ(instances(), 1);
    {
        const Holdings loaded;
        EXPECT_GT(loaded.sources, held.sources) << "the manager's notification port's source";
        EXPECT_GT(loaded.ports, held.ports);
        EXPECT_GT(loaded.objects, held.objects);
    }
    const uint64_t before = hx::clock::nowNanos();
    mHost->unload();
    EXPECT_GE(hx::clock::nowNanos() - before, 1000000000ull);
    EXPECT_EQ(instances(), 0);
    hx::kern::waitQuiet();
    expectSameHoldings(held);
    EXPECT_EQ(threadCount(), threads) << "no thread of the plug-in or host remains";
    EXPECT_EQ(mRoad->harness()->service()->getUserClientCount(), connections)
        << "no connection of the plug-in remains";
}

// ---- Publication

TEST_F(HALPlugIn, PublishesAPresentDeviceInsideInitialize) {
    ASSERT_EQ(load(), 0);
    const auto a = mHost->announcements();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].kind, HALAnnouncement::Kind::DevicesCreated);
    EXPECT_EQ(a[1].kind, HALAnnouncement::Kind::StreamsCreated);
    EXPECT_EQ(a[1].device, a[0].device);
    ASSERT_EQ(a[1].streams.size(), 2u);
    EXPECT_LT(a[0].device, a[1].streams[0]);
    EXPECT_LT(a[1].streams[0], a[1].streams[1]) << "input, then output";
    EXPECT_EQ(mHost->streams(a[0].device), a[1].streams);
}

TEST_F(HALPlugIn, PublishesALaterDeviceAndAnnouncesItsDeathOnce) {
    ASSERT_EQ(load(), 0);
    settle(); // the first device's notice is delivered
    std::atomic<int> listChanges{0};
    mHost->addListener(
        kAudioObjectSystemObject,
        {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0},
        [&](AudioObjectID, UInt32, const AudioObjectPropertyAddress*) { ++listChanges; });
    plugSecond();
    ASSERT_TRUE(devicesBecome(2));
    auto list = mHost->devices();
    const AudioDeviceID second = list[1];
    EXPECT_EQ(listChanges.load(), 1);
    unplugSecond();
    EXPECT_TRUE(devicesBecome(1));
    std::size_t died = 0;
    for (const auto& a : mHost->announcements())
        died += a.kind == HALAnnouncement::Kind::DevicesDied && a.device == second;
    EXPECT_EQ(died, 1u);
    EXPECT_EQ(listChanges.load(), 2);
    AudioTimeStamp t{};
    EXPECT_EQ(AudioDeviceGetCurrentTime(second, &t), kNoDevice);
}

// A later device is published from the main run loop (thread M): with the
// program running that loop itself, virtual time passes and nothing is
// published until the test thread, declared the main thread, runs it.
TEST_F(HALPlugIn, ALaterDeviceIsPublishedOnTheThreadRunningTheMainLoop) {
    hx::cf::setMainThread();
    HALHostOptions options;
    options.runMainLoop = false;
    ASSERT_EQ(load(options), 0);
    ASSERT_EQ(mHost->devices().size(), 1u) << "the present device, inside Initialize";
    plugSecond();
    mRoad->run(1000000);
    settle();
    EXPECT_EQ(mHost->devices().size(), 1u) << "not published while the main loop does not run";
    bool published = false;
    for (int i = 0; i < 300 && !published; ++i) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
        settle();
        published = mHost->devices().size() == 2;
        if (!published) mRoad->run(10000);
    }
    EXPECT_TRUE(published) << "published once the main thread runs its loop";
    std::size_t created = 0;
    for (const auto& a : mHost->announcements())
        created += a.kind == HALAnnouncement::Kind::DevicesCreated;
    EXPECT_EQ(created, 2u);
}

TEST_F(HALPlugIn, PublishesAnOutputOnlyDeviceWithItsOutputStreamOnly) {
    ASSERT_EQ(load(), 0);
    settle();
    const std::size_t before = mHost->announcements().size();
    const AudioDeviceID only = plugOutputOnly();
    ASSERT_NE(only, 0u);
    std::vector<HALAnnouncement> made;
    const auto all = mHost->announcements();
    for (std::size_t i = before; i < all.size(); ++i)
        if (all[i].device == only) made.push_back(all[i]);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].kind, HALAnnouncement::Kind::DevicesCreated);
    EXPECT_EQ(made[1].kind, HALAnnouncement::Kind::StreamsCreated);
    ASSERT_EQ(made[1].streams.size(), 1u) << "the output stream only";
    EXPECT_EQ(mHost->streams(only), made[1].streams);
    AudioStreamID out = 0;
    UInt32 size = 4;
    ASSERT_EQ(AudioDeviceGetProperty(only, 0, false, hx::coreaudio::fourCC("stm#"), &size, &out),
              0);
    EXPECT_EQ(out, made[1].streams[0]);
    // Stream ID 0 (its input's) finds nothing.
    UInt32 dir = 0;
    size = 4;
    EXPECT_EQ(AudioStreamGetProperty(0, 0, hx::coreaudio::fourCC("sdir"), &size, &dir), kNoDevice);
}

TEST_F(HALPlugIn, AFailedClaimLeavesTheDeviceUnlistedAndUnannounced) {
    ASSERT_EQ(load(), 0);
    const auto before = mHost->announcements().size();
    mHost->failNextClaim();
    plugSecond();
    mRoad->run(1000000);
    settle();
    EXPECT_EQ(mHost->devices().size(), 1u);
    EXPECT_EQ(mHost->announcements().size(), before);
}

TEST_F(HALPlugIn, AFailedDevicesCreatedLeavesTheDeviceUnlistedWithoutStreams) {
    ASSERT_EQ(load(), 0);
    const auto before = mHost->announcements().size();
    mHost->failNextDevicesCreated();
    plugSecond();
    mRoad->run(1000000);
    settle();
    EXPECT_EQ(mHost->devices().size(), 1u);
    EXPECT_EQ(mHost->announcements().size(), before) << "no StreamsCreated";
    // Its later removal announces a death the host ignores.
    hx::log::Capture capture;
    unplugSecond();
    EXPECT_TRUE(settleUntil([&] { return mHost->announcements().size() > before; }));
    const auto a = mHost->announcements();
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.back().kind, HALAnnouncement::Kind::DiedIgnored);
    EXPECT_NE(capture.text().find("which it never created; ignored"), std::string::npos);
}

TEST_F(HALPlugIn, TeardownWithAListedDeviceAnnouncesNoDeath) {
    ASSERT_EQ(load(), 0);
    plugSecond();
    ASSERT_TRUE(devicesBecome(2));
    AudioHardwarePlugInRef ref = mHost->plugIn();
    EXPECT_EQ((*ref)->Teardown(ref), 0);
    settle();
    for (const auto& a : mHost->announcements())
        EXPECT_NE(a.kind, HALAnnouncement::Kind::DevicesDied);
}

// ---- IO procedures and timing

OSStatus silentProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                    const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    return 0;
}

TEST_F(HALPlugIn, IOCallsAnswerAsTheTableSays) {
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    ASSERT_NE(dev, 0u);
    const AudioDeviceID unknown = dev + 1000;
    AudioTimeStamp t{};
    AudioDeviceIOProcID id = nullptr;
    struct Row {
        const char* what;
        OSStatus got;
        OSStatus want;
    };
    const Row rows[] = {
        {"AddIOProc unknown", AudioDeviceAddIOProc(unknown, silentProc, nullptr), kNoDevice},
        {"RemoveIOProc unknown", AudioDeviceRemoveIOProc(unknown, silentProc), kNoDevice},
        {"Start unknown", AudioDeviceStart(unknown, nullptr), kNoDevice},
        {"Stop unknown", AudioDeviceStop(unknown, nullptr), kNoDevice},
        {"GetCurrentTime unknown", AudioDeviceGetCurrentTime(unknown, &t), kNoDevice},
        {"CreateIOProcID unknown", AudioDeviceCreateIOProcID(unknown, silentProc, nullptr, &id),
         kNoDevice},
        {"DestroyIOProcID unknown", AudioDeviceDestroyIOProcID(unknown, silentProc), kNoDevice},
        {"CreateIOProcID ID 0", AudioDeviceCreateIOProcID(0, silentProc, nullptr, &id),
         kBadArgument},
        {"CreateIOProcID no proc", AudioDeviceCreateIOProcID(dev, nullptr, nullptr, &id),
         kBadArgument},
        {"CreateIOProcID no out", AudioDeviceCreateIOProcID(dev, silentProc, nullptr, nullptr),
         kBadArgument},
        {"GetCurrentTime null", AudioDeviceGetCurrentTime(dev, nullptr), kBadArgument},
        {"GetCurrentTime null unknown", AudioDeviceGetCurrentTime(unknown, nullptr), kBadArgument},
        {"Read", AudioDeviceRead(dev, &t, nullptr), kError},
        {"TranslateTime", AudioDeviceTranslateTime(dev, &t, &t), kError},
        {"StartAtTime", AudioDeviceStartAtTime(dev, silentProc, &t, 0), kError},
        {"GetNearestStartTime", AudioDeviceGetNearestStartTime(dev, &t, 0), kError},
        {"AddIOProc null", AudioDeviceAddIOProc(dev, nullptr, nullptr), kError},
        {"Start stale", AudioDeviceStart(dev, silentProc), kError},
        {"Stop stale", AudioDeviceStop(dev, silentProc), kError},
        {"DestroyIOProcID stale", AudioDeviceDestroyIOProcID(dev, silentProc), kError},
        {"GetCurrentTime before start", AudioDeviceGetCurrentTime(dev, &t),
         kAudioHardwareNotRunningError},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.got, r.want) << r.what;
}

TEST_F(HALPlugIn, AnIOProcIDOfAnotherDeviceIsRefused) {
    ASSERT_EQ(load(), 0);
    plugSecond();
    ASSERT_TRUE(devicesBecome(2));
    auto list = mHost->devices();
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(list[0], silentProc, nullptr, &id), 0);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(AudioDeviceStart(list[1], id), kError);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(list[1], id), kError);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(list[0], id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(list[0], id), kError) << "stale";
}

UInt32 isRunning(AudioDeviceID dev) {
    UInt32 v = 7, size = sizeof v;
    if (AudioDeviceGetProperty(dev, 0, false, kAudioDevicePropertyDeviceIsRunning, &size, &v) != 0)
        return 7;
    return v;
}

TEST_F(HALPlugIn, TheStartingStreamFlagCoversAHeldStartOnly) {
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    EXPECT_EQ(isRunning(dev), 0u);
    hx::iokit::holdNextMapMemory();
    std::atomic<OSStatus> started{1};
    std::thread starter([&, seat = hx::clock::Reservation()]() mutable {
        hx::clock::Participant p(std::move(seat));
        started = AudioDeviceStart(dev, id);
    });
    hx::iokit::waitForHeldMapMemory();
    EXPECT_EQ(isRunning(dev), 1u) << "read on another thread during the start";
    hx::iokit::releaseHeldMapMemory();
    {
        hx::clock::Idle idle;
        starter.join();
    }
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(AudioDeviceStop(dev, id), 0);
    mRoad->run(20000);
    EXPECT_EQ(isRunning(dev), 0u) << "clear once Start returned";
    // A failed Start clears it as well.
    EXPECT_EQ(AudioDeviceStart(dev, silentProc), kError);
    EXPECT_EQ(isRunning(dev), 0u);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

TEST_F(HALPlugIn, AnIOProcIDStartedFromAProgramThreadPlaysAndRecordsBitExact) {
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    ASSERT_NE(dev, 0u);
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    std::atomic<OSStatus> started{1};
    std::thread program([&, seat = hx::clock::Reservation()]() mutable {
        hx::clock::Participant p(std::move(seat));
        started = AudioDeviceStart(dev, id);
    });
    {
        hx::clock::Idle idle;
        program.join();
    }
    ASSERT_EQ(started.load(), 0);
    mRoad->run(400000);
    AudioTimeStamp now{};
    EXPECT_EQ(AudioDeviceGetCurrentTime(dev, &now), 0);
    EXPECT_GT(now.mSampleTime, 0.0);
    ASSERT_EQ(AudioDeviceStop(dev, id), 0);
    const uint64_t calls = ramp.calls.load();
    mRoad->run(50000);
    EXPECT_EQ(ramp.calls.load(), calls) << "Stop detaches";
    ASSERT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), kError);

    // One call per buffer of the 0.4 s run, less the start-up.
    EXPECT_GE(calls, uint64_t(48000) * 4 / 10 / 256 * 8 / 10);
    EXPECT_EQ(ramp.frameSizeErrors.load(), 0u);
    const auto result = ramp.checkLoopback();
    EXPECT_GT(result.checked, 4800u);
    EXPECT_EQ(result.mismatches, 0u) << "first at " << result.firstMismatch;
    EXPECT_TRUE(result.constantLatency);
}

// One platform: the plug-in's audio thread waits on the host process's
// virtual clock, so while the test thread runs (and time stands still) no
// cycle happens, however much wall time passes.
TEST_F(HALPlugIn, ThePlugInsAudioThreadAdvancesOnlyAsTheClockIsStepped) {
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    ASSERT_NE(dev, 0u);
    RampProc ramp;
    ramp.record = false;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    ASSERT_EQ(AudioDeviceStart(dev, id), 0);
    mRoad->run(50000);
    const uint64_t calls = ramp.calls.load();
    EXPECT_GT(calls, 0u) << "cycles while the clock runs";
    const uint64_t virtualNow = hx::clock::nowNanos();
    std::this_thread::sleep_for(std::chrono::milliseconds(80)); // wall time, clock not run
    EXPECT_EQ(hx::clock::nowNanos(), virtualNow) << "virtual time stood still";
    EXPECT_EQ(ramp.calls.load(), calls) << "no cycle without a step of the clock";
    mRoad->run(50000);
    EXPECT_GT(ramp.calls.load(), calls) << "cycles again once the clock runs";
    EXPECT_EQ(AudioDeviceStop(dev, id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

TEST_F(HALPlugIn, UnloadUndoesWhatTheProgramLeft) {
    const Holdings held;
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    ASSERT_EQ(AudioDeviceStart(dev, id), 0);
    mRoad->run(50000);
    EXPECT_GT(ramp.calls.load(), 0u);
    const std::size_t threads = threadCount();
    mHost->unload();
    hx::kern::waitQuiet();
    expectSameHoldings(held);
    const uint64_t calls = ramp.calls.load();
    mRoad->run(50000);
    EXPECT_EQ(ramp.calls.load(), calls);
    EXPECT_LT(threadCount(), threads) << "the audio thread and the host's threads ended";
    EXPECT_EQ(instances(), 0);
}

} // namespace
