// The device object on the booted machine: opening and its edge cases, the
// first-open restore, notices to the HAL, control requests, and the vendor
// transport on areas the test lays out and completes as the kernel would.
#include "device/OSXAsioRegistry.h"
#include "device/OSXDeviceManager.h"
#include "device/VendorAsyncTransport.h"
#include "device/ZrOSXDevice.h"
#include "device/harness/DeviceRoad.h"
#include "platform/usb/devices/HX5100Model.h"

#include "abi/DriverSM.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/coreaudio/HALPropertyChanges.h"
#include "platform/sys/HXProcess.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;
using hx::devroad::RoadOptions;

struct Overrides {
    ~Overrides() { hx::sys::resetProcessOverrides(); }
};

// A restore ends with the mixer values (Req 40), which the kernel hands the
// device as one vendor request: the restores the device has seen.
int countRestores(DeviceRoad& road) {
    constexpr uint8_t kVendorOut = 0x40, kMixerValuesRequest = 0x54;
    int n = 0;
    for (const auto& t : road.harness()->model()->trace())
        n += t.setup.bmRequestType == kVendorOut && t.setup.bRequest == kMixerValuesRequest;
    return n;
}

TEST(DeviceObject, AnUnconfiguredDeviceIsRestoredOnceFromTheStore) {
    hx::test::TempRoot root;
    Overrides restore;
    hx::sys::setOwnUid(501);
    {
        OSXAsioRegistry store(CFSTR("com.korvex.hx5100"));
        ASSERT_TRUE(store.setSampleRate(48000));
        uint8_t reverb[1536], mixer[64];
        // Neutral blocks: no reverb, no monitor mix into the outputs.
        std::memset(reverb, 0, sizeof reverb);
        std::memset(mixer, 0, sizeof mixer);
        ASSERT_TRUE(store.setReverbBuffers(reverb));
        ASSERT_TRUE(store.setMixerBuffer(mixer));
        // A clock source no device has: the restore takes the internal one.
        ASSERT_TRUE(store.setClockSource(3));
        // No "MixerMode": the default mode 2.
    }
    RoadOptions o;
    o.rate = 48000;
    o.configureFirst = false;
    DeviceRoad road(o);
    ASSERT_TRUE(road.boot()) << road.error();
    ASSERT_EQ(road.driverSM()->mConfigured, 0u);
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    EXPECT_EQ(countRestores(road), 1);
    EXPECT_NE(road.driverSM()->mConfigured, 0u);
    EXPECT_EQ(road.token(), 0u) << "the token is given back";
    EXPECT_EQ(road.driverSM()->mAjExtData.mClockSource, 0u);
    // The kernel's choice of interface settles the format.
    const QnChannelSettings kernel = road.driverSM()->mChannelSettings;
    EXPECT_EQ(kernel.Frequency, 48000u);
    EXPECT_EQ(device->currentSettings().Frequency, kernel.Frequency);
    EXPECT_EQ(device->mixerMode(), 2);
    EXPECT_EQ(device->monMixPos(), 14199);
    EXPECT_EQ(device->currentSettings().InResolution, kernel.InResolution);
    EXPECT_EQ(device->currentSettings().OutResolution, kernel.OutResolution);

    // Audio flows both ways bit for bit at the format read back.
    RampProc ramp;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road.run(300000);
    device->onDeviceStopProcOrID(id);
    road.run(20000);
    const auto check = ramp.checkLoopback();
    EXPECT_GT(check.checked, 4800u);
    EXPECT_EQ(check.mismatches, 0u) << "first at " << check.firstMismatch;
    EXPECT_TRUE(check.constantLatency);
    road.closeDevice();
}

TEST(DeviceObject, TwoOpenersOfAFreshDeviceRestoreItExactlyOnce) {
    hx::test::TempRoot root;
    Overrides restore;
    hx::sys::setOwnUid(501);
    RoadOptions o;
    o.configureFirst = false;
    DeviceRoad road(o);
    ASSERT_TRUE(road.boot()) << road.error();
    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("ZrKernelDeviceKorvexHX5100"), &it),
              KERN_SUCCESS);
    const io_service_t service = IOIteratorNext(it);
    IOObjectRelease(it);
    ASSERT_NE(service, 0u);
    auto* a = new ZrOSXDevice(nullptr, nullptr, service, nullptr);
    auto* b = new ZrOSXDevice(nullptr, nullptr, service, nullptr);
    a->incReferences();
    b->incReferences();
    bool okA = false, okB = false;
    {
        hx::clock::Reservation seat;
        std::thread t([&, seat = std::move(seat)]() mutable {
            hx::clock::Participant p(std::move(seat));
            okA = a->init();
        });
        okB = b->init();
        hx::clock::Idle idle;
        t.join();
    }
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(countRestores(road), 1);
    EXPECT_EQ(road.token(), 0u);
    a->closeDevice();
    b->closeDevice();
    a->decReferences();
    b->decReferences();
    IOObjectRelease(service);
}

TEST(DeviceObject, OpeningReadsTheWholeDeviceInformationAndNamesByRelease) {
    struct Case {
        const char* release;
        bool bitAccurate;
    };
    for (const Case& c : {Case{"12.0.0", false}, Case{"13.0.0", true}, Case{"19.6.0", true}}) {
        SCOPED_TRACE(c.release);
        hx::test::TempRoot root;
        Overrides restore;
        hx::sys::setEmulatedRelease(std::string(c.release));
        DeviceRoad road(48000);
        ASSERT_TRUE(road.boot()) << road.error();
        ZrOSXDevice* device = road.openDevice();
        ASSERT_NE(device, nullptr) << road.error();
        EXPECT_EQ(device->deviceInfoBytes(), 386u * 256 + 148);
        const std::string name = static_cast<const char*>(device->deviceName());
        EXPECT_EQ(name.find(" (Bit Accurate)") != std::string::npos, c.bitAccurate) << name;
        EXPECT_EQ(std::string(device->manufacturer()), road.driverSM()->mVendorString);
        road.closeDevice();
    }
}

TEST(DeviceObject, ControlRequestsRefuseClosedDevicesAndLongLengths) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    uint8_t buf[256] = {};
    uint32_t length = 18;
    // GET_DESCRIPTOR (device): what came back, and its length.
    ASSERT_TRUE(device->deviceRequest(128, 0, 0, 6, 0x0100, 0, length, buf));
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(buf[0], 18);
    EXPECT_EQ(buf[1], 1);
    length = 129;
    EXPECT_FALSE(device->deviceRequest(128, 0, 0, 6, 0x0100, 0, length, buf));
    // Current time and time translation.
    AudioTimeStamp t{};
    EXPECT_EQ(device->onDeviceGetCurrentTime(t), kAudioHardwareNotRunningError);
    EXPECT_EQ(device->doTranslateTime(t, t), kAudioHardwareNotRunningError);
    RampProc ramp;
    ramp.record = false;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road.run(100000);
    ASSERT_EQ(device->threadState(), 2);
    EXPECT_EQ(device->onDeviceGetCurrentTime(t), 0);
    EXPECT_EQ(t.mFlags, 7u);
    AudioTimeStamp in{};
    in.mFlags = kAudioTimeStampSampleTimeValid;
    EXPECT_EQ(device->doTranslateTime(in, t), kAudioHardwareIllegalOperationError);
    device->onDeviceStopProcOrID(id);
    road.closeDevice();
}

TEST(DeviceObject, TheStartingStreamFlagStaysSetUntilTheLastOverlappingStartClearsIt) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    EXPECT_FALSE(device->isStartingStream()) << "clear from construction";
    device->setStartingStream(true);
    EXPECT_TRUE(device->isStartingStream());
    device->setStartingStream(true); // a second Start overlaps the first
    device->setStartingStream(false);
    EXPECT_TRUE(device->isStartingStream()) << "the second Start is still in progress";
    device->setStartingStream(false);
    EXPECT_FALSE(device->isStartingStream());
    road.closeDevice();
}

TEST(DeviceObject, StateChangesGoToTheHandlerAndSixteenRemovesTheDevice) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    QN_StateChange change{};
    change.mSize = sizeof change;
    change.mCode = 49; // the handler logs it and reads the digital-out mode
    change.mParam1 = 7;
    const char* line = "Plugin received STC_DigiOutModeChanged\n";
    {
        hx::log::Capture log;
        device->onServiceInterestCallback(kQnStateChangeMessage, &change);
        EXPECT_NE(log.text().find(line), std::string::npos);
    }
    {
        hx::log::Capture log;
        change.mSize = 35; // not a state change record
        device->onServiceInterestCallback(kQnStateChangeMessage, &change);
        EXPECT_EQ(log.text().find(line), std::string::npos);
    }
    change.mSize = sizeof change;
    change.mCode = 16;
    device->incReferences();
    device->onServiceInterestCallback(kQnStateChangeMessage, &change);
    EXPECT_TRUE(device->removed());
    EXPECT_EQ(road.manager()->getCountDevices(), 0);
    device->closeDevice();
    device->decReferences();
}

TEST(DeviceObject, NoticesReachTheHALWithAPlugInAndIDs) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    hx::coreaudio::clearRecordedPropertyChanges();
    // Without a plug-in interface nothing is sent.
    device->devicePropertyChanged(kAudioDevicePropertyDeviceHasChanged);
    EXPECT_TRUE(hx::coreaudio::recordedPropertyChanges().empty());
    static int plugInStandIn;
    device->setPlugIn(&plugInStandIn);
    device->setAudioIDs(40, 41, 42);
    auto selectors = [] {
        std::vector<uint32_t> s;
        for (const auto& c : hx::coreaudio::recordedPropertyChanges()) {
            if (c.call == hx::coreaudio::PropertyChange::Call::Object)
                for (const auto& a : c.addresses)
                    s.push_back(a.mSelector);
            else
                s.push_back(c.selector);
        }
        return s;
    };
    auto has = [&](const char(&code)[5]) {
        const auto s = selectors();
        return std::find(s.begin(), s.end(), hx::coreaudio::fourCC(code)) != s.end();
    };
    ASSERT_EQ(device->setFrameSize(512, true, false), 0);
    EXPECT_TRUE(has("bsiz"));
    EXPECT_TRUE(has("fsiz"));
    EXPECT_TRUE(has("ltnc"));
    EXPECT_TRUE(has("saft"));
    hx::coreaudio::clearRecordedPropertyChanges();
    AudioStreamBasicDescription oldIn{}, oldOut{}, oldInP{}, oldOutP{};
    oldInP.mSampleRate = 44100;
    device->checkReportFormatChange(oldIn, oldOut, oldInP, oldOutP);
    EXPECT_TRUE(has("nsrt"));
    EXPECT_TRUE(has("diff"));
    hx::coreaudio::clearRecordedPropertyChanges();
    // A device start prepares the hardware: 'goin' and 'gone', then 'goin'
    // again 10 ms after the own stream's flag changed.
    ASSERT_TRUE(device->onDeviceStartProcOrID(nullptr));
    EXPECT_TRUE(has("gone"));
    road.run(100000);
    device->checkRunningStream();
    const auto changes = hx::coreaudio::recordedPropertyChanges();
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes.back().selector, hx::coreaudio::fourCC("goin"));
    EXPECT_GE(changes.back().hostTime - changes.front().hostTime, 10000000u);
    ASSERT_TRUE(device->onDeviceStopProcOrID(nullptr));
    device->setPlugIn(nullptr);
    road.closeDevice();
}

// ---- The vendor transport on areas laid out here

struct Completion {
    uint32_t result, length;
    uint64_t user;
};

void collect(void* context, uint32_t result, uint32_t length, uint64_t user) {
    static_cast<std::vector<Completion>*>(context)->push_back({result, length, user});
}

TEST(VendorAsyncTransport, CompletionsCopyIntoThePrivateDestinationOnly) {
    std::vector<uint8_t> in(VendorAsyncTransport::kAreaBytes, 0xEE),
        out(VendorAsyncTransport::kAreaBytes, 0xEE);
    VendorAsyncTransport t;
    EXPECT_EQ(t.read(nullptr, 1, 0), uint32_t(VendorAsyncTransport::kNotOpen));
    t.attach(in.data(), out.data());
    uint8_t dest[64] = {};
    uint8_t data[VendorAsyncTransport::kDataBytes + 1] = {};
    EXPECT_EQ(t.write(data, 8192, 1), uint32_t(VendorAsyncTransport::kPending));
    EXPECT_EQ(t.write(data, 8193, 1), uint32_t(VendorAsyncTransport::kBadParameter));
    EXPECT_EQ(t.write(nullptr, 4, 1), uint32_t(VendorAsyncTransport::kBadParameter));
    EXPECT_EQ(t.read(dest, 0, 1), uint32_t(VendorAsyncTransport::kBadParameter));
    EXPECT_EQ(t.read(dest, sizeof dest, 77), uint32_t(VendorAsyncTransport::kPending));
    // The kernel completes slot 0 of the input area, and someone rewrites the
    // slot's destination and length on the way.
    uint8_t* slot = in.data();
    std::memset(slot, 0x5A, 8192);
    uint64_t wild = reinterpret_cast<uintptr_t>(data);
    std::memcpy(slot + VendorAsyncTransport::kDestination, &wild, 8);
    const uint32_t big = 8192, done = 3;
    std::memcpy(slot + VendorAsyncTransport::kLength, &big, 4);
    std::memcpy(slot + VendorAsyncTransport::kState, &done, 4);
    // The output slot failed (state 5).
    const uint32_t failed = 5;
    std::memcpy(out.data() + VendorAsyncTransport::kState, &failed, 4);
    std::vector<Completion> ins;
    t.check(collect, collect, &ins);
    ASSERT_EQ(ins.size(), 2u); // one context: input first, then output
    EXPECT_EQ(ins[0].result, 0u);
    EXPECT_EQ(ins[0].length, sizeof dest);
    EXPECT_EQ(ins[0].user, 77u);
    EXPECT_EQ(ins[1].result, 6u);
    EXPECT_EQ(ins[1].user, 1u);
    for (uint8_t b : dest)
        EXPECT_EQ(b, 0x5A);
    EXPECT_EQ(data[0], 0) << "the area's destination is never used";
    // Indexes the areas give are taken modulo 128.
    const uint32_t wildIndex = 1000;
    std::memcpy(out.data() + VendorAsyncTransport::kSubmitWrite, &wildIndex, 4);
    EXPECT_EQ(t.write(data, 4, 2), uint32_t(VendorAsyncTransport::kPending));
    uint32_t state = 0;
    std::memcpy(&state,
                out.data() + size_t(1000 % 128) * VendorAsyncTransport::kSlotBytes +
                    VendorAsyncTransport::kState,
                4);
    EXPECT_EQ(state, 1u);
    // A full ring answers busy.
    for (uint32_t k = 0; k < 128; ++k) {
        const uint32_t submitted = 1;
        std::memcpy(out.data() + size_t(k) * VendorAsyncTransport::kSlotBytes +
                        VendorAsyncTransport::kState,
                    &submitted, 4);
    }
    EXPECT_EQ(t.write(data, 4, 3), uint32_t(VendorAsyncTransport::kBusy));
}

// The kernel's port opens for the audio client on any device; on the
// HX-5100, which has no vendor interface, a block handed over stays queued.
TEST(DeviceObject, VendorOpenAgainstTheKernelsPort) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    EXPECT_EQ(device->vendorAsyncOpen(), uint32_t(VendorAsyncTransport::kOK));
    ASSERT_NE(device->vendorArea(true), nullptr);
    ASSERT_NE(device->vendorArea(false), nullptr);
    EXPECT_EQ(device->vendorAsyncWrite("x", 1, 0), uint32_t(VendorAsyncTransport::kPending));
    uint32_t state = 0;
    std::memcpy(&state, device->vendorArea(false) + VendorAsyncTransport::kState, 4);
    EXPECT_EQ(state, 1u) << "no interface: nothing takes the block";
    EXPECT_EQ(device->vendorAsyncClose(), uint32_t(VendorAsyncTransport::kOK));
    EXPECT_EQ(device->vendorArea(true), nullptr);
    road.closeDevice();
}

} // namespace

namespace {

// Any process can write the rings, the time-base slots and the driver area:
// a scribbler does while procedures stream and come and go. Nothing may
// crash or write outside the device's buffers (the sanitizer build checks).
TEST(DeviceObject, ScribbledSharedMemoryAndProceduresComingAndGoingWhileStreaming) {
    hx::test::TempRoot root;
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    RampProc ramp;
    ramp.record = false;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road.run(50000);
    ASSERT_EQ(device->threadState(), 2);
    AudioSM* in = device->inputRing();
    AudioSM* out = device->outputRing();
    char* sm = reinterpret_cast<char*>(road.driverSM());
    std::atomic<bool> stop{false};
    uint64_t scribbles = 0;
    hx::clock::Reservation seat;
    std::thread scribbler([&, seat = std::move(seat)]() mutable {
        hx::clock::Participant p(std::move(seat));
        uint32_t x = 12345;
        auto next = [&] { return x = x * 1664525u + 1013904223u; };
        const size_t ringWords[] = {
            offsetof(AudioSM, mChannelsPerFrame), offsetof(AudioSM, mExtraBytesPerFrame),
            offsetof(AudioSM, mAttachState),      offsetof(AudioSM, mSyncNotification),
            offsetof(AudioSM, mClientFramePos),   offsetof(AudioSM, mTSData),
            offsetof(AudioSM, mTSData) + 40,      offsetof(AudioSM, mTSToggle),
            offsetof(AudioSM, mMaxFrames),        offsetof(AudioSM, mBytesPerFrame)};
        const size_t smWords[] = {
            offsetof(DriverSM, mChannelSettings),     offsetof(DriverSM, mChannelSettings) + 4,
            offsetof(DriverSM, mChannelSettings) + 8, offsetof(DriverSM, mExclusiveInputOwner),
            offsetof(DriverSM, mClients) + 36,        offsetof(DriverSM, mClients) + 40,
            offsetof(DriverSM, mProductString) + 252};
        while (!stop) {
            AudioSM* ring = next() & 1 ? in : out;
            const size_t w = ringWords[next() % (sizeof ringWords / sizeof ringWords[0])];
            audiosm::store32(reinterpret_cast<char*>(ring) + w,
                             next() % 4 == 0 ? next() : next() % 40);
            audiosm::store32(sm + smWords[next() % (sizeof smWords / sizeof smWords[0])], next());
            ++scribbles;
            hx::clock::sleepFor(200000);
        }
    });
    // Procedures come and go meanwhile.
    for (int i = 0; i < 20; ++i) {
        RampProc extra;
        extra.record = false;
        IOProcEntry* e = device->addIOProcID(&RampProc::proc, &extra);
        device->onDeviceStartProcOrID(e);
        road.run(5000);
        device->removeIOProcID(e);
        road.run(5000);
    }
    stop = true;
    {
        hx::clock::Idle idle;
        scribbler.join();
    }
    EXPECT_GT(scribbles, 100u);
    device->onDeviceStopProcOrID(id);
    road.closeDevice();
}

} // namespace
