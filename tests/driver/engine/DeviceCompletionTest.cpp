// The device's start-up and configuration tails against the simulated
// devices: the PIC device's microcontroller exchanges, the pause at the end
// of every configuration, a terminate that arrives during it, the stop's
// settle time, the teardown order, what the end of a configuration opens
// and sends again, the bandwidth the isochronous pipes take, and the
// requests recovery sends after a system power-down.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ModelRequests.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrDeviceControls.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXLog.h"
#include "platform/usb/devices/ClassAudioModel.h"
#include "platform/usb/devices/SorvikModel.h"

namespace {

using namespace enginetest;
using hx::usb::devices::ClassAudioLayout;
using hx::usb::devices::ClassAudioModel;
using hx::usb::devices::HX5100Identity;

constexpr Req kPicSet(uint8_t) {
    return {0x40, 0x01, 0xF0, 0x1F0, 1};
}
constexpr Req kPicGet{0xC0, 0x81, 0xF0, 0, 1};

// The command bytes of the PIC sets the model received, in order.
std::vector<uint8_t> picSets(const hx::usb::DeviceModel& m) {
    std::vector<uint8_t> out;
    for (const auto& e : m.trace())
        if (e.setup.bmRequestType == 0x40 && e.setup.bRequest == 1 && e.setup.wIndex == 0x1F0 &&
            !e.dataOut.empty())
            out.push_back(e.dataOut[0]);
    return out;
}

size_t countOf(const std::vector<Req>& rs, const Req& r) {
    return size_t(std::count(rs.begin(), rs.end(), r));
}

// A model plugged under an identity whose personality the test loads, the
// driver started, no firmware updater, and one client for state changes.
struct Device {
    Device(std::shared_ptr<ClassAudioModel> m, uint16_t vendor, uint16_t product,
           const std::function<void()>& beforePlug = {})
        : model(std::move(m)) {
        if (vendor != kKorvexVendorID || product != kKorvexHX5100ProductID) {
            OSDictionary* p = ZrMakeDriverPersonality(vendor, product, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        if (beforePlug) beforePlug();
        port = rig.plug(model);
        svc = rig.service(port);
        if (!svc) return;
        dev = svc->getDevice();
        tap = std::make_unique<StateChangeTap>(svc.svc);
        user.open(svc.svc, 4);
        client = user.open(svc.svc, 2);
    }
    ~Device() {
        user.kill();
        tap.reset();
        rig.unplug(port);
    }
    std::vector<uint32_t> codes() {
        hx::kern::waitQuiet();
        return tap ? tap->codes() : std::vector<uint32_t>{};
    }
    Rig rig;
    std::shared_ptr<ClassAudioModel> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
    UserTask user{"completiontest"};
    std::unique_ptr<StateChangeTap> tap;
    IOUserClient* client = nullptr;
};

std::shared_ptr<ClassAudioModel> classModel(uint16_t vendor, uint16_t product,
                                            ClassAudioLayout layout = {},
                                            uint8_t speed = kUSBHostConnectionSpeedFull) {
    return std::make_shared<ClassAudioModel>(
        speed, HX5100Identity{vendor, product, 0x0100, "M", "P", ""}, std::move(layout));
}

ClassAudioLayout picLayout() {
    ClassAudioLayout l;
    l.pic = true;
    return l;
}

// ---------------------------------------------------------------------------
// The PIC device.

TEST(PicDevice, StartSelectsTheConfigurationAndRunsThePowerOnExchange) {
    hx::log::Capture log;
    Device d(classModel(kPelgraneVendorID, kPelgranePicProductID, picLayout()), kPelgraneVendorID,
             kPelgranePicProductID);
    ASSERT_NE(d.dev, nullptr);
    const std::vector<Req> rs = requestsOf(*d.model);
    const Req setConfiguration{0x00, 0x09, 1, 0, 0};
    auto at = [&](const Req& r) { return std::find(rs.begin(), rs.end(), r) - rs.begin(); };
    ASSERT_LT(size_t(at(setConfiguration)), rs.size());
    ASSERT_LT(size_t(at(kPicGet)), rs.size());
    EXPECT_LT(at(setConfiguration), at(kPicSet(129)));
    EXPECT_LT(at(kPicSet(129)), at(kPicGet));
    EXPECT_EQ(picSets(*d.model), (std::vector<uint8_t>{129}));
    // The get reads back the last command.
    EXPECT_EQ(d.model->lastPicCommand(), 129);
    const std::string t = log.text();
    const size_t on = t.find("Sent Power On command\n"), off = t.find("Sent Power Off command\n");
    ASSERT_NE(on, std::string::npos);
    ASSERT_NE(off, std::string::npos);
    EXPECT_LT(on, off);
}

TEST(PicDevice, OtherDevicesGetNoExchangeAtStart) {
    hx::log::Capture log;
    Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID, picLayout()), kCadenzaVendorID,
             kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    EXPECT_TRUE(picSets(*d.model).empty());
    EXPECT_EQ(log.text().find("Sent Power On command"), std::string::npos);
}

// Every configuration ends with the power-on command (PIC device only) and a
// 10 ms pause (every device).
TEST(PicDevice, EveryConfigurationEndsWithTheCommandAndAPause) {
    for (bool pic : {true, false}) {
        const uint16_t vendor = pic ? kPelgraneVendorID : kCadenzaVendorID;
        const uint16_t product = pic ? kPelgranePicProductID : kCadenzaTypicalProductID;
        Device d(classModel(vendor, product, picLayout()), vendor, product);
        ASSERT_NE(d.dev, nullptr);
        SleepRecorder& sleeps = SleepRecorder::install();
        for (int round = 0; round < 2; ++round) {
            d.model->clearTrace();
            sleeps.clear();
            ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess) << pic;
            const std::vector<Req> rs = requestsOf(*d.model);
            const std::vector<uint64_t> mine = sleeps.sleepsOf(std::this_thread::get_id());
            ASSERT_FALSE(mine.empty());
            EXPECT_EQ(mine.back(), 10u);
            if (pic) {
                ASSERT_FALSE(rs.empty());
                EXPECT_EQ(rs.back(), kPicSet(129));
                EXPECT_EQ(picSets(*d.model), (std::vector<uint8_t>{129}));
            } else {
                EXPECT_TRUE(picSets(*d.model).empty());
            }
        }
        SleepRecorder::remove();
    }
}

// Sleeps for real; the first 10 ms pause of the armed thread terminates the
// service first (as an unplug would while the configuration waits).
class TerminateDuringPause : public hx::clock::Source {
public:
    ZrKernelDeviceKorvexHX5100* svc = nullptr;
    std::thread::id thread;
    std::atomic<bool> armed{false};
    uint64_t nowNanos() override { return hx::clock::realSource().nowNanos(); }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint64_t deadline) override {
        return hx::clock::realSource().waitUntil(cv, lock, deadline);
    }
    void sleepUntil(uint64_t deadline) override {
        const uint64_t now = nowNanos();
        const uint64_t ms = deadline > now ? (deadline - now + 500000) / 1000000 : 0;
        if (ms == 10 && std::this_thread::get_id() == thread && armed.exchange(false))
            svc->terminate();
        hx::clock::realSource().sleepUntil(deadline);
    }
};

TEST(PicDevice, ATerminateDuringThePauseUnconfiguresAndLeavesNothingOpen) {
    Device d(classModel(kPelgraneVendorID, kPelgranePicProductID, picLayout()), kPelgraneVendorID,
             kPelgranePicProductID);
    ASSERT_NE(d.dev, nullptr);
    static TerminateDuringPause* clock =
        new TerminateDuringPause; // bus threads may still be inside it
    clock->svc = d.svc.svc;
    clock->thread = std::this_thread::get_id();
    clock->armed = true;
    hx::clock::setSource(clock);
    const IOReturn r = d.svc->reqConfigureDevice("test");
    hx::clock::setSource(nullptr);
    EXPECT_EQ(r, kIOReturnError);
    EXPECT_FALSE(clock->armed.load());
    EXPECT_FALSE(d.dev->isConfigured());
    EXPECT_EQ(d.dev->getBindings().boundPipes(), 0);
    EXPECT_EQ(d.dev->getBindings().boundInterfaces(), 0);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
}

// Stream starts tell the microcontroller the rate, then exchange it.
TEST(PicDevice, StreamStartsSendTheRateCommandThenExchangeIt) {
    const struct {
        uint32_t rate;
        uint8_t command;
    } rows[] = {{48000, 0xC0}, {44100, 0xC1}};
    for (const auto& row : rows) {
        Device d(classModel(kPelgraneVendorID, kPelgranePicProductID, picLayout()),
                 kPelgraneVendorID, kPelgranePicProductID);
        ASSERT_NE(d.dev, nullptr);
        QnChannelSettings s = d.dev->getCurrentSettings();
        s.Frequency = row.rate;
        s.InChannels = s.OutChannels = 2;
        s.InResolution = s.OutResolution = 24;
        ASSERT_TRUE(d.dev->onPrepareNewConfig(s, 0, true));
        d.model->clearTrace();
        d.dev->startStreamAfterConfig();
        EXPECT_TRUE(d.dev->isStreamingStarted()) << row.rate;
        // Set alone first, then set and get until a get answers.
        EXPECT_EQ(picSets(*d.model), (std::vector<uint8_t>{row.command, row.command})) << row.rate;
        EXPECT_EQ(countOf(requestsOf(*d.model), kPicGet), 1u);
        EXPECT_EQ(d.model->lastPicCommand(), row.command);
        d.dev->stopStreaming(true);
    }
}

// The model offers 44.1 and 48 kHz only: the 32 kHz command and the other
// rates' answers as a table.
TEST(PicDevice, RateCommands) {
    const struct {
        uint32_t rate;
        bool strict;
        uint8_t command;
    } rows[] = {{48000, true, 0xC0}, {44100, true, 0xC1},  {32000, true, 0xC2},
                {96000, true, 0},    {96000, false, 0xC1}, {0, false, 0xC1}};
    for (const auto& row : rows)
        EXPECT_EQ(picCommandForRate(row.rate, row.strict), row.command)
            << row.rate << " strict " << row.strict;
}

TEST(PicDevice, AStalledGetGivesUpAfterFiveRounds) {
    Device d(classModel(kPelgraneVendorID, kPelgranePicProductID, picLayout()), kPelgraneVendorID,
             kPelgranePicProductID);
    ASSERT_NE(d.dev, nullptr);
    d.model->setPicStalls(true);
    d.model->clearTrace();
    EXPECT_FALSE(d.dev->sendPicCommand(0xC2));
    // Five rounds of a set (taken at once) and a get (sent 6 times each:
    // the request's own tries).
    EXPECT_EQ(picSets(*d.model), std::vector<uint8_t>(5, 0xC2));
    EXPECT_EQ(countOf(requestsOf(*d.model), kPicGet), 5u * 6u);
    d.model->setPicStalls(false);
    d.model->clearTrace();
    EXPECT_TRUE(d.dev->sendPicCommand(0xC2));
    EXPECT_EQ(countOf(requestsOf(*d.model), kPicGet), 1u);
}

// ---------------------------------------------------------------------------
// Stop and teardown.

TEST(StreamStop, WaitingStopsSettleFor100msAfterTheControlPortIsTold) {
    Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID), kCadenzaVendorID,
             kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    SleepRecorder& sleeps = SleepRecorder::install();
    for (bool wait : {true, false}) {
        d.dev->startStreamAfterConfig();
        ASSERT_TRUE(d.dev->isStreamingStarted());
        sleeps.clear();
        d.dev->stopStreaming(wait);
        const std::vector<uint64_t> mine = sleeps.sleepsOf(std::this_thread::get_id());
        EXPECT_EQ(std::count(mine.begin(), mine.end(), 100u), wait ? 1 : 0) << wait;
        EXPECT_FALSE(d.dev->isStreamingStarted());
    }
    SleepRecorder::remove();
}

TEST(StreamStop, UnplugWhileStreamingTearsDownInOrder) {
    auto model = classModel(kCadenzaVendorID, kCadenzaTypicalProductID);
    Device d(model, kCadenzaVendorID, kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    d.dev->startStreamAfterConfig();
    ASSERT_TRUE(d.dev->isStreamingStarted());
    ZrDevice* dev = d.dev;
    hx::log::Capture log;
    EXPECT_TRUE(d.svc->terminate());
    // Streaming stops with the vendor port's abort, then the port of its
    // owner is aborted and closed (nobody owns it); the request-block lists
    // go with the configuration.
    const std::string text = log.text();
    const size_t stop = text.find("VendorAsyncPort::abort no file");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(text.find("VendorAsyncPort::close ", stop), std::string::npos);
    EXPECT_FALSE(dev->isStreamingStarted());
    EXPECT_FALSE(dev->getAJ().isRunning());
    EXPECT_EQ(dev->getBindings().boundPipes(), 0);
}

// ---------------------------------------------------------------------------
// The end of a configuration.

TEST(ConfigurationDone, TheHidStatusPipeIsOpenWhileConfigured) {
    for (bool hid : {true, false}) {
        ClassAudioLayout l;
        l.hid = hid;
        Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID, l), kCadenzaVendorID,
                 kCadenzaTypicalProductID);
        ASSERT_NE(d.dev, nullptr);
        ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
        ZrPipeDescriptor* status = d.dev->pipes()[ZrPipeSlot::StatusInterruptIn];
        if (!hid) {
            EXPECT_EQ(status, nullptr);
            continue;
        }
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(status->getAddress(), 0x87);
        ASSERT_NE(d.dev->getBindings().getPipe(status), nullptr);
        // The stop aborts it (the bus has no interrupt transfers to show
        // that); it stays open until the configuration goes.
        d.dev->startStreamAfterConfig();
        d.dev->stopStreaming(true);
        EXPECT_NE(d.dev->getBindings().getPipe(status), nullptr); // still open after the stop
        d.svc->unconfigureDevice(false, "test");
        EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::StatusInterruptIn], nullptr);
        EXPECT_EQ(d.dev->getBindings().boundPipes(), 0);
    }
}

TEST(ConfigurationDone, TheOlvqCpldByteIsSentAgainAtEveryConfiguration) {
    Device d(classModel(kOlvqVendorID, kOlvq187ProductID), kOlvqVendorID, kOlvq187ProductID);
    ASSERT_NE(d.dev, nullptr);
    const Req cpld{0x40, 0x49, 0xE7 | 0x10, 1, 0};
    for (int round = 0; round < 2; ++round) {
        if (round == 1) d.dev->setOlvqCpldByte(0x10);
        d.model->clearTrace();
        ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
        const std::vector<Req> rs = requestsOf(*d.model);
        const Req expected = round == 0 ? Req{0x40, 0x49, 0xE7, 1, 0} : cpld;
        EXPECT_EQ(countOf(rs, expected), 1u) << round;
    }
    const std::vector<uint32_t> codes = d.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), uint32_t(STC_STREAM_BROKEN)), 0);
}

TEST(ConfigurationDone, APendingStartStartsStreamingAtTheEnd) {
    Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID), kCadenzaVendorID,
             kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    EXPECT_FALSE(d.dev->isStreamingStarted());
    d.dev->setStartPending(true);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    EXPECT_FALSE(d.dev->isStartPending());
    d.dev->stopStreaming(true);
}

TEST(ConfigurationDone, TheDeviceKeepsAPageAlignedBufferForItsLife) {
    Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID), kCadenzaVendorID,
             kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    IOBufferMemoryDescriptor* b = d.dev->getBufferMemory();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->getLength(), kBufferMemoryBytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b->getBytesNoCopy()) % 4096, 0u);
}

} // namespace

// ---------------------------------------------------------------------------
// Bandwidth of the isochronous pipes, through the bus.

namespace {

using ClassEndpoint = ClassAudioLayout::ClassEndpoint;

struct BandwidthCase {
    uint8_t speed;
    uint32_t rate;
    ClassEndpoint classEndpoint;
    uint32_t used; // bytes per packet each pipe takes
    bool set;      // the bandwidth goes to the service
};

std::string nameOf(const BandwidthCase& c) {
    const char* ep[] = {"Clear", "MaxPacketsOnly", "Absent"};
    return std::string(c.speed == kUSBHostConnectionSpeedHigh ? "High" : "Full") +
           std::to_string(c.rate) + ep[int(c.classEndpoint)];
}

class PipeBandwidth : public ::testing::TestWithParam<BandwidthCase> {};

// The model's endpoints take 300 bytes (50 frames of 2 x 24 bits).
TEST_P(PipeBandwidth, IsStoredInThePipeAndUsedByTheReads) {
    const BandwidthCase& c = GetParam();
    ClassAudioLayout l;
    l.classEndpoint = c.classEndpoint;
    Device d(classModel(kCadenzaVendorID, kCadenzaTypicalProductID, l, c.speed), kCadenzaVendorID,
             kCadenzaTypicalProductID);
    ASSERT_NE(d.dev, nullptr);
    QnChannelSettings s = d.dev->getCurrentSettings();
    s.Frequency = c.rate;
    s.InChannels = s.OutChannels = 2;
    s.InResolution = s.OutResolution = 24;
    hx::log::Capture log;
    ASSERT_TRUE(d.dev->onPrepareNewConfig(s, 0, true));
    ASSERT_NE(d.dev->pipes()[ZrPipeSlot::InIsoc], nullptr);
    ASSERT_NE(d.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::InIsoc]->getBandwidth(), c.used);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::OutIsoc]->getBandwidth(), c.used);
    EXPECT_EQ(d.svc->GetAllocatedBandWidth(), 2 * c.used);
    const std::string line =
        "checkBandwidthForPipe availBW=5000,  uUsed=" + std::to_string(c.used) + ", returning 0\n";
    const std::string text = log.text();
    size_t lines = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++lines;
    EXPECT_EQ(lines, c.set ? 2u : 0u); // one per pipe
    EXPECT_EQ(text.find("setBandwidthForPipe") != std::string::npos, c.set);

    // Stream start checks both pipes again; the reads take what is stored.
    d.dev->startStreamAfterConfig();
    ASSERT_TRUE(d.dev->isStreamingStarted());
    ZrIsocRB* rb = d.dev->getIsocStreaming().inputRing().mRBs[0];
    ASSERT_NE(rb, nullptr);
    EXPECT_EQ(rb->mFrameList[0].requestCount, c.used);
    d.dev->stopStreaming(true);
}

INSTANTIATE_TEST_SUITE_P(
    SpeedRateAndClassEndpoint, PipeBandwidth,
    ::testing::Values(
        BandwidthCase{kUSBHostConnectionSpeedFull, 44100, ClassEndpoint::Clear, 46 * 6, true},
        BandwidthCase{kUSBHostConnectionSpeedFull, 48000, ClassEndpoint::Clear, 50 * 6, true},
        BandwidthCase{kUSBHostConnectionSpeedFull, 44100, ClassEndpoint::MaxPacketsOnly, 300,
                      false},
        BandwidthCase{kUSBHostConnectionSpeedFull, 44100, ClassEndpoint::Absent, 300, false},
        BandwidthCase{kUSBHostConnectionSpeedHigh, 44100, ClassEndpoint::Clear, 300, true},
        BandwidthCase{kUSBHostConnectionSpeedHigh, 48000, ClassEndpoint::MaxPacketsOnly, 300,
                      false},
        BandwidthCase{kUSBHostConnectionSpeedHigh, 48000, ClassEndpoint::Absent, 300, false}),
    [](const ::testing::TestParamInfo<BandwidthCase>& i) { return nameOf(i.param); });

} // namespace

// ---------------------------------------------------------------------------
// Recovery after a system power-down.

namespace {

using hx::usb::devices::HX5100Model;
using hx::usb::devices::SorvikModel;

struct PowerDownCase {
    const char* name;
    uint16_t vendor, product;
    bool features;             // a record with feature 0 set and 5 clear
    std::vector<Req> requests; // stage 1's requests, each once
};

class PowerDownRecovery : public ::testing::TestWithParam<PowerDownCase> {};

TEST_P(PowerDownRecovery, Stage1SendsTheDevicesRequestsAfter50ms) {
    const PowerDownCase& c = GetParam();
    Rig rig;
    if (c.vendor != kKorvexVendorID) {
        OSDictionary* p = ZrMakeDriverPersonality(c.vendor, c.product, nullptr);
        hx::kern::addPersonality(p);
        p->release();
    }
    const hx::usb::devices::HX5100Identity id{c.vendor, c.product, 0x0100, "M", "P", ""};
    std::shared_ptr<HX5100Model> model =
        c.vendor == kSorvikVendorID
            ? std::make_shared<SorvikModel>(kUSBHostConnectionSpeedFull, id,
                                            std::array<uint8_t, 8>{1}, "S")
            : std::make_shared<HX5100Model>(kUSBHostConnectionSpeedFull, id);
    const uint8_t port = rig.plug(model);
    ServiceRef svc = rig.service(port);
    ASSERT_TRUE(svc);
    ZrDevice* dev = svc->getDevice();
    if (c.features) {
        APISpecificFeatures f;
        std::memset(&f, 0, sizeof f);
        f.mLoaded = 1;
        f.mFlags[0] = 1;
        dev->initialSettings(&f);
    }
    svc->systemSleep();
    svc->systemWakeUp();
    model->clearTrace();
    SleepRecorder& sleeps = SleepRecorder::install();
    hx::log::Capture log;
    EXPECT_TRUE(dev->handleStreamBroken(1));
    const std::vector<uint64_t> mine = sleeps.sleepsOf(std::this_thread::get_id());
    SleepRecorder::remove();
    std::vector<Req> seen = requestsOf(*model);
    seen.erase(std::unique(seen.begin(), seen.end()),
               seen.end()); // a refused request is tried again
    EXPECT_EQ(seen, c.requests);
    EXPECT_EQ(std::count(mine.begin(), mine.end(), 50u), c.requests.empty() ? 0 : 1);
    const bool merrowLine =
        log.text().find("stage mbWasPowerDownMode && isMerrowCompatible()") != std::string::npos;
    const bool farlaneLine =
        log.text().find("stage mbWasPowerDownMode && isSorvikFarlane2()") != std::string::npos;
    EXPECT_EQ(merrowLine, c.features);
    EXPECT_EQ(farlaneLine, c.vendor == kSorvikVendorID);
    rig.unplug(port);
}

INSTANTIATE_TEST_SUITE_P(
    ByIdentity, PowerDownRecovery,
    ::testing::Values(PowerDownCase{"HX5100", kKorvexVendorID, kKorvexHX5100ProductID, false, {}},
                      PowerDownCase{"MerrowNotMRW192",
                                    kKorvexVendorID,
                                    kKorvexHX5100ProductID,
                                    true,
                                    {{0x00, 11, 0, 1, 0}, {0x00, 11, 1, 1, 0}}},
                      PowerDownCase{"Farlane2",
                                    kSorvikVendorID,
                                    kSorvikFarlane2ProductIDs[5],
                                    false,
                                    {{0x00, 9, 0, 0, 0}}}),
    [](const ::testing::TestParamInfo<PowerDownCase>& i) { return std::string(i.param.name); });

} // namespace

namespace {

// The extra bytes every client ring of the device carries, by identity.
TEST(ClientRingExtraBytes, ByIdentity) {
    const struct {
        uint16_t vendor, product;
        uint32_t extra;
    } rows[] = {{kSorvikVendorID, kSorvikFarlane1ProductIDs[1], 2},
                {kSorvikVendorID, kSorvikFarlane2ProductIDs[2], 4},
                {kKorvexVendorID, kKorvexHX5100ProductID, 0}};
    for (const auto& row : rows) {
        Rig rig;
        if (row.vendor != kKorvexVendorID) {
            OSDictionary* p = ZrMakeDriverPersonality(row.vendor, row.product, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        const hx::usb::devices::HX5100Identity id{row.vendor, row.product, 0x0003, "M", "P", ""};
        const uint8_t port = rig.plug(std::make_shared<SorvikModel>(
            kUSBHostConnectionSpeedFull, id, std::array<uint8_t, 8>{1}, "S"));
        ServiceRef svc = rig.service(port);
        ASSERT_TRUE(svc);
        EXPECT_EQ(svc->getDevice()->clientRingExtraBytes(), row.extra) << row.product;
        rig.unplug(port);
    }
}

} // namespace

namespace {

// The product whose output path is a choice of interface: choosing its
// second output moves the stream's output pipe to interface 3.
TEST(InterfaceSelector, TheOutputStreamMovesToTheChosenInterface) {
    ClassAudioLayout l;
    l.secondOutput = true;
    // A features record without flags: the streaming interfaces keep their
    // own classes.
    auto withFeatures = [] {
        APISpecificFeatures f;
        std::memset(&f, 0, sizeof f);
        f.mLoaded = 1;
        OSDictionary* specific = OSDictionary::withCapacity(1);
        OSData* data = OSData::withBytes(&f, sizeof f);
        specific->setObject("kConfigurationData", data);
        data->release();
        ZrUnloadDriverPersonalities();
        OSDictionary* p =
            ZrMakeDriverPersonality(kCadenzaVendorID, kCadenzaInterfaceSelectorProductID, specific);
        hx::kern::addPersonality(p);
        p->release();
        specific->release();
    };
    // On the virtual clock: the stream's timing does not depend on the load.
    hx::clock::VirtualClock clock;
    Device d(classModel(kCadenzaVendorID, kCadenzaInterfaceSelectorProductID, l), kKorvexVendorID,
             kKorvexHX5100ProductID, withFeatures);
    ASSERT_NE(d.dev, nullptr);
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    ASSERT_NE(d.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::OutIsoc]->getAddress(), 0x01);
    d.dev->startStreamAfterConfig();
    ASSERT_TRUE(d.dev->isStreamingStarted());

    hx::log::Capture log;
    XsDeviceControls c;
    d.dev->getSelectors(c);
    c.cOut.iSelector = 2; // the second output: interface 3
    d.dev->setSelectors(c);
    ASSERT_NE(d.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::OutIsoc]->getAddress(), 0x03);
    EXPECT_NE(d.dev->getBindings().getPipe(d.dev->pipes()[ZrPipeSlot::OutIsoc]), nullptr);
    EXPECT_EQ(d.model->alternateSetting(3), std::optional<uint8_t>(2));
    EXPECT_EQ(d.model->alternateSetting(1), std::optional<uint8_t>(0));
    EXPECT_TRUE(d.dev->isStreamingStarted());
    const std::string t = log.text();
    EXPECT_NE(t.find("curAlternateNumber 2\n"), std::string::npos);
    EXPECT_NE(t.find("1624: matchInterface returned 1\n"), std::string::npos);
    EXPECT_NE(t.find("checkBandwidthForPipe availBW=5000"), std::string::npos);
    // Audio now leaves through the second interface.
    const uint64_t before = d.model->streamStats().outPackets;
    clock.runFor(200 * 1000000ull);
    EXPECT_GT(d.model->streamStats().outPackets, before + 100); // queued 50 frames ahead
    EXPECT_TRUE(d.dev->isStreamingStarted());
    d.dev->stopStreaming(true);

    // A new configuration opens the first output's interface again; the
    // saved choice moves the output back to the second.
    ASSERT_EQ(d.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    EXPECT_EQ(d.dev->currentControls().cOut.iSelector, 2);
    ASSERT_NE(d.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(d.dev->pipes()[ZrPipeSlot::OutIsoc]->getAddress(), 0x03);
    EXPECT_EQ(d.model->alternateSetting(3), std::optional<uint8_t>(2));
    EXPECT_EQ(d.model->alternateSetting(1), std::optional<uint8_t>(0));
    d.dev->startStreamAfterConfig();
    ASSERT_TRUE(d.dev->isStreamingStarted());
    const uint64_t again = d.model->streamStats().outPackets;
    clock.runFor(200 * 1000000ull);
    EXPECT_GT(d.model->streamStats().outPackets, again + 100);
    d.dev->stopStreaming(true);
}

} // namespace
