// The kernel service on the simulated bus with the HX-5100 model: the
// user-client gate, the client list, control requests with retries, state
// changes, sleep and wake, and teardown by unplugging.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "driver/clients/ZrUserClients.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/kcore/KernelCore.h"
#include "platform/base/HXLog.h"

namespace {

using namespace enginetest;
using hx::usb::Fault;
using hx::usb::RequestMatch;

struct Plugged {
    explicit Plugged(uint8_t speed = 2) : model(makeHX5100(speed)) {
        port = rig.plug(model);
        svc = rig.service(port);
        EXPECT_TRUE(svc);
        if (svc) tap = std::make_unique<StateChangeTap>(svc.svc);
    }
    // The user process opens a client of the type (the driver's own class).
    IOUserClient* open(UInt32 type, IOReturn expect = kIOReturnSuccess) {
        IOReturn r = kIOReturnSuccess;
        IOUserClient* c = user.open(svc.svc, type, &r);
        EXPECT_EQ(r, expect) << type;
        return c;
    }
    ~Plugged() {
        user.kill();
        tap.reset();
        rig.unplug(port);
    }
    // The state changes the service sent since it was plugged.
    std::vector<QN_StateChange> records() {
        hx::kern::waitQuiet();
        return tap->records();
    }
    Rig rig;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    UserTask user{"clientstest"};
    std::unique_ptr<StateChangeTap> tap;
};

TEST(UserClientTypes, TypeFourMovesUnknownToNotActiveOnly) {
    Plugged d;
    hx::log::Capture cap;
    EXPECT_EQ(d.open(4, kIOReturnBadArgument), nullptr);
    EXPECT_EQ(d.svc->getDevice()->getFwUpdaterState(), kFwUpdaterNotActive);
    d.open(4, kIOReturnBadArgument);
    EXPECT_EQ(d.svc->getDevice()->getFwUpdaterState(), kFwUpdaterNotActive);
    EXPECT_NE(cap.text().find("received OSX_USER_CLIENT_NO_FW_UPDATER_MSG\n"), std::string::npos);
    EXPECT_NE(cap.text().find("change status from unknown to NotActive\n"), std::string::npos);
}

TEST(UserClientTypes, FirmwareUpdaterClientEntersUpdateModeAndTypeFourLeavesIt) {
    Plugged d;
    StateChangeTap tap(d.svc.svc);
    hx::log::Capture log;
    IOUserClient* c = d.open(5);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getType(), 5u);
    EXPECT_STREQ(c->getMetaClass()->getClassName(), "CtrlUserClientKorvexHX5100");
    EXPECT_EQ(d.svc->getDevice()->getFwUpdaterState(), kFwUpdaterActive);
    auto seen = tap.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].record.mCode, 16u);
    // The stream stopped: its first step is the vendor port's abort.
    EXPECT_NE(log.text().find("VendorAsyncPort::abort no file"), std::string::npos);
    d.open(4, kIOReturnBadArgument);
    EXPECT_EQ(d.svc->getDevice()->getFwUpdaterState(), kFwUpdaterActive);
}

TEST(UserClientTypes, AudioClientSleepsThenFailsWhileTheUpdaterStateIsUnknown) {
    Plugged d;
    SleepRecorder& clock = SleepRecorder::install();
    hx::log::Capture cap;
    d.open(0, kIOReturnBadArgument);
    EXPECT_EQ(clock.sleepsOf(std::this_thread::get_id()), std::vector<uint64_t>{100});
    EXPECT_NE(
        cap.text().find("USBDriver: abort Audio - FirmwareUpdater is active or state unknown :0\n"),
        std::string::npos);
    d.open(1, kIOReturnBadArgument);
    EXPECT_NE(
        cap.text().find("USBDriver: abort Midi - FirmwareUpdater is active or state unknown :0\n"),
        std::string::npos);

    // With an updater active the refusal comes at once.
    clock.clear();
    d.svc->getDevice()->setFwUpdaterState(kFwUpdaterActive);
    d.open(0, kIOReturnBadArgument);
    EXPECT_TRUE(clock.sleepsOf(std::this_thread::get_id()).empty());
    EXPECT_NE(cap.text().find("USBDriver: abort user client(type:0) - FirmwareUpdater is active\n"),
              std::string::npos);
    SleepRecorder::remove();

    // Once no updater runs the client is made and started on the service.
    d.svc->getDevice()->setFwUpdaterState(kFwUpdaterNotActive);
    IOUserClient* c = d.open(0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getType(), 0u);
    EXPECT_EQ(c->getProvider(), d.svc.svc);
}

TEST(UserClientTypes, ControlClientWhateverTheStateInvalidTypesAndNoHandler) {
    Plugged d;
    for (uint32_t state : {kFwUpdaterUnknown, kFwUpdaterActive, kFwUpdaterNotActive}) {
        d.svc->getDevice()->setFwUpdaterState(state);
        EXPECT_NE(d.open(2), nullptr) << state;
    }
    hx::log::Capture cap;
    d.open(6, kIOReturnBadArgument);
    EXPECT_NE(cap.text().find("USBDriver: newUserClient Invalid type 6 \n"), std::string::npos);
    EXPECT_EQ(d.svc->newUserClient(kernel_task, nullptr, 2, nullptr, nullptr),
              kIOReturnBadArgument);
}

TEST(UserClientList, ASixtyFifthClientIsCountedButHasNoSlot) {
    Plugged d;
    hx::log::Capture cap;
    std::vector<IOUserClient*> clients;
    for (int i = 0; i < 65; ++i) {
        clients.push_back(d.open(2));
        ASSERT_NE(clients.back(), nullptr);
    }
    EXPECT_EQ(d.svc->getUserClientCount(), 65);
    EXPECT_NE(cap.text().find("userClientListNewClient no free slot\n"), std::string::npos);
    // Every client has its own non-zero identifier that resolves back to it.
    std::set<uint64_t> ids;
    for (auto* c : clients) {
        uint64_t id = d.svc->clientIdentifier(c);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(d.svc->clientFromIdentifier(id), c);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 65u);
    // Only the 64 listed clients are told to terminate by the service.
    d.rig.unplug(d.port);
    EXPECT_NE(cap.text().find("userClientListNotifyTerminate notify terminate service"),
              std::string::npos);
    EXPECT_NE(cap.text().find(" in slot 63\n"), std::string::npos);
    EXPECT_EQ(cap.text().find(" in slot 64\n"), std::string::npos);
}

TEST(UserClientList, ConcurrentOpenAndCloseLeaveTheListEmpty) {
    Plugged d;
    std::vector<IOUserClient*> made;
    for (int i = 0; i < 8; ++i)
        made.push_back(d.open(2));
    for (auto* c : made)
        d.svc->userClientListClientClosed(c);
    ASSERT_EQ(d.svc->getUserClientCount(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                d.svc->userClientListNewClient(made[t]);
                d.svc->userClientListClientClosed(made[t]);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(d.svc->getUserClientCount(), 0);
    hx::log::Capture cap;
    d.rig.unplug(d.port);
    // None is in the list, so the service ends none of them itself; the
    // platform ends them with the service.
    EXPECT_EQ(cap.text().find("notify terminate service"), std::string::npos);
    for (auto* c : made)
        EXPECT_TRUE(c->isInactive());
}

// deviceRequestStd: the retry count is kept within 1..5, an error the device
// reports is never repeated, nothing goes out after terminate.
struct RetryCase {
    int retry;
    IOReturn status;
    uint32_t sends;
};

class DeviceRequestRetries : public ::testing::TestWithParam<RetryCase> {};

TEST_P(DeviceRequestRetries, SendsAtMostRetryPlusOne) {
    Plugged d;
    RequestMatch m;
    m.request = 0x41;
    const IOReturn status = GetParam().status;
    Fault f = status == kUSBHostReturnPipeStalled ? Fault::stall() : Fault::fail(status);
    int id = d.rig.bus().addFault(d.port, m, f);
    uint8_t buf[5];
    uint32_t len = 5;
    EXPECT_EQ(d.svc->deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, 0x41, 0xD00, 0x101,
                                      buf, len, GetParam().retry),
              status);
    EXPECT_EQ(d.rig.bus().faultHits(d.port, id), GetParam().sends);
    EXPECT_EQ(len, 5u); // unchanged after a failure
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceRequestRetries,
                         ::testing::Values(RetryCase{0, kUSBHostReturnPipeStalled, 2},
                                           RetryCase{1, kUSBHostReturnPipeStalled, 2},
                                           RetryCase{3, kUSBHostReturnPipeStalled, 4},
                                           RetryCase{9, kUSBHostReturnPipeStalled, 6},
                                           RetryCase{9, kIOReturnDeviceError, 1},
                                           RetryCase{5, kIOReturnNotResponding, 6}));

TEST(DeviceRequest, LengthIsWrittenBackAndBoundedAndNothingAfterTerminate) {
    Plugged d;
    uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    uint32_t len = 32; // the device answers 18 bytes
    EXPECT_EQ(d.svc->deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf,
                                      len, 1),
              0);
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(buf[0], 18);
    EXPECT_EQ(buf[18], 0); // the rest of the asked length was zeroed
    uint32_t tooLong = 70000;
    EXPECT_EQ(d.svc->deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf,
                                      tooLong, 1),
              kIOReturnBadArgument);
    // The model's transmitter register read: 5 bytes at power-on.
    uint8_t tx[5] = {};
    len = 5;
    EXPECT_EQ(d.svc->deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, 0x41, 0xD00, 0x101,
                                      tx, len, 1),
              0);
    EXPECT_EQ(std::vector<uint8_t>(tx, tx + 5), (std::vector<uint8_t>{0x04, 0, 0, 0, 0x0B}));

    d.svc->terminate(0);
    size_t before = d.model->trace().size();
    len = 18;
    EXPECT_EQ(d.svc->deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf,
                                      len, 5),
              kIOReturnError);
    EXPECT_EQ(d.model->trace().size(), before);
    EXPECT_EQ(d.svc->getCurrentFrame(), 0xFFFFFFFFu); // no device any more
}

TEST(DeviceRequest, GetConfigurationReadsTheDevicesValue) {
    Plugged d;
    uint8_t value = 0xEE;
    IOUSBHostDevice* usb = d.svc->getUSBDevice();
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::GetConfiguration(d.svc.svc, usb, &value),
              kIOReturnSuccess);
    EXPECT_EQ(value, 0); // start does not configure
    ASSERT_EQ(usb->setConfiguration(1, false), kIOReturnSuccess);
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::GetConfiguration(d.svc.svc, usb, &value),
              kIOReturnSuccess);
    EXPECT_EQ(value, 1);
    value = 0xEE;
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::GetConfiguration(nullptr, usb, &value), kIOReturnError);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::GetConfiguration(d.svc.svc, usb, nullptr),
              kIOReturnSuccess);
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::GetFreeBandWidth(), 5000u);
    EXPECT_EQ(ZrKernelDeviceKorvexHX5100::getBandwidthForPipe(nullptr), 100u);
    hx::log::Capture cap;
    EXPECT_EQ(d.svc->setBandwidthForPipe(nullptr, 7), kIOReturnSuccess);
    EXPECT_NE(cap.text().find(" pPipeDesc:"), std::string::npos);
}

TEST(StateChanges, RecordsInOrderWithZeroTailAndUnplugTellsEveryClientBeforeEnding) {
    Plugged d;
    StateChangeTap tap(d.svc.svc);
    IOUserClient* a = d.open(2);
    IOUserClient* b = d.open(2);
    ASSERT_TRUE(a && b);
    // When the service says it ends, no client of it has ended yet.
    std::atomic<int> told{0}, endedBeforeTold{0};
    tap.observe = [&](const StateChangeTap::Seen& s) {
        if (s.type == kQnStateChangeMessage && s.record.mCode == STC_ServiceTerminates) {
            ++told;
            endedBeforeTold += int(a->isInactive()) + int(b->isInactive());
        }
    };
    uint64_t idA = d.svc->clientIdentifier(a);
    d.svc->messageToClients(STC_MuteChanged, idA, 1, 2);
    d.svc->getDevice()->stcNotify(STC_MixerBufferStored, 7);
    d.svc->getDevice()->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_TRUE(d.svc->getDevice()->isStreamBroken());
    d.svc->getDevice()->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_TRUE(d.svc->getDevice()->isStreamBroken());
    d.rig.unplug(d.port);

    const uint32_t codes[] = {7, 53, 2, 2, 0xFFFFFFFF};
    auto recs = d.records();
    ASSERT_EQ(recs.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(recs[i].mSize, 36u);
        EXPECT_EQ(recs[i].mCode, codes[i]);
        const uint8_t* tail = reinterpret_cast<const uint8_t*>(&recs[i]) + 24;
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ(tail[k], 0);
    }
    EXPECT_EQ(uint64_t(recs[0].mClient), idA);
    EXPECT_EQ(recs[0].mParam1, 1u);
    EXPECT_EQ(recs[0].mParam2, 2u);
    EXPECT_EQ(uint64_t(recs[1].mClient), 0u);
    EXPECT_EQ(recs[1].mParam1, 7u);
    EXPECT_EQ(recs[4].mParam1, 0u);
    // What user space receives is 36 bytes long.
    for (const auto& s : tap.seen()) {
        if (s.type == kQnStateChangeMessage) {
            EXPECT_EQ(s.size, 36u);
        }
    }
    // Both clients were told before either was ended, and both ended.
    EXPECT_EQ(told.load(), 1);
    EXPECT_EQ(endedBeforeTold.load(), 0);
    EXPECT_TRUE(a->isInactive());
    EXPECT_TRUE(b->isInactive());
    tap.observe = nullptr;
}

TEST(Teardown, RequestsFailAfterTerminateAndSecondTerminateDoesNothing) {
    Plugged d;
    IOUSBHostDevice* dev = d.svc->getUSBDevice();
    dev->retain();
    d.svc->terminate(0);
    EXPECT_FALSE(d.svc->dispatchLock().lockMutex("late request"));
    d.open(2, kIOReturnNoDevice);
    hx::log::Capture cap;
    d.svc->terminate(0);
    EXPECT_EQ(cap.text().find("ENTER terminate"), std::string::npos);
    EXPECT_NE(cap.text().find("super::terminate(00000000) returned 0\n"), std::string::npos);
    EXPECT_FALSE(dev->isOpen());
    dev->release();
}

TEST(Teardown, UnplugWaitsForTheRequestHoldingTheDispatchLock) {
    Plugged d;
    IOUSBHostDevice* dev = d.svc->getUSBDevice();
    dev->retain();
    ASSERT_TRUE(d.svc->dispatchLock().lockMutex("request"));
    d.rig.bus().unplug(d.port);
    IOSleep(30);
    EXPECT_TRUE(dev->isOpen(d.svc.svc)); // the teardown waits for the request
    d.svc->dispatchLock().unlock();
    hx::kern::waitQuiet();
    EXPECT_FALSE(dev->isOpen());
    EXPECT_EQ(d.svc->getUSBDevice(), nullptr);
    dev->release();
}

TEST(Teardown, ClosingClientClearsItsOwnershipAndHog) {
    Plugged d;
    StateChangeTap tap(d.svc.svc);
    // Two audio clients (a control client's close clears no owner); A
    // registered itself as the hog's id.
    d.open(4, kIOReturnBadArgument);
    IOUserClient* a = d.open(0);
    IOUserClient* b = d.open(0);
    ASSERT_TRUE(a && b);
    static_cast<ZrUserClient*>(a)->setRegisteredId(4242);
    uint64_t idA = d.svc->clientIdentifier(a);
    uint64_t idB = d.svc->clientIdentifier(b);
    DriverSM* sm = d.svc->getDevice()->getDriverSM();
    QN_Dispatch take{};
    take.code = 30; // inputs exclusive
    take.data.ulValue = 1;
    ASSERT_EQ(d.svc->getDevice()->dispatchFunction(a, &take), kIOReturnSuccess);
    take.code = 78; // private data
    take.data.ulValue = 1;
    ASSERT_EQ(d.svc->getDevice()->dispatchFunction(b, &take), kIOReturnSuccess);
    ASSERT_EQ(uint64_t(sm->mExclusiveInputOwner), idA);
    ASSERT_EQ(uint64_t(sm->mPrivateDataOwner), idB);
    d.svc->getDevice()->setHogOwner(4242);
    tap.clear();
    d.user.close(b);
    EXPECT_TRUE(tap.seen().empty()); // not the hog owner: no state change
    EXPECT_EQ(uint64_t(sm->mPrivateDataOwner), 0u);
    EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), idA);
    EXPECT_EQ(d.svc->getUserClientCount(), 1);
    d.user.close(a);
    EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), 0u);
    EXPECT_EQ(d.svc->getDevice()->getHogOwner(), -1);
    auto seen = tap.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].record.mCode, 32u);
    EXPECT_EQ(d.svc->clientFromIdentifier(idA), nullptr);
    EXPECT_EQ(d.svc->getUserClientCount(), 0);
}

TEST(Teardown, TwoDevicesPluggedAndUnpluggedInTurn) {
    for (int round = 0; round < 3; ++round) {
        Rig rig;
        uint8_t p1 = rig.plug(makeHX5100(2));
        uint8_t p2 = rig.plug(makeHX5100(1));
        UserTask user("twodevices");
        {
            ServiceRef s1 = rig.service(p1), s2 = rig.service(p2);
            ASSERT_TRUE(s1 && s2);
            EXPECT_STREQ(s1->getDevice()->getDriverSM()->mDeviceUID,
                         "VID_2F4B_PID_5100_BUS_14100000");
            EXPECT_STREQ(s2->getDevice()->getDriverSM()->mDeviceUID,
                         "VID_2F4B_PID_5100_BUS_14200000");
            for (auto* s : {s1.svc, s2.svc})
                ASSERT_NE(user.open(s, 2), nullptr);
        }
        IOUSBHostDevice* dev1 = rig.bus().copyDevice(p1);
        rig.unplug(p1);
        EXPECT_FALSE(dev1->isOpen());
        dev1->release();
        EXPECT_TRUE(QnKernel::isInitialised()); // the other device still runs
        auto running = hx::kern::copyServicesOfClass(kZrServiceClassName);
        EXPECT_EQ(running.size(), 1u);
        for (auto* s : running)
            s->release();
        rig.unplug(p2);
        user.kill();
        hx::kern::waitQuiet();
        EXPECT_FALSE(QnKernel::isInitialised()); // the driver unloaded with the last one
    }
}

TEST(DeviceModel, PublishedPropertiesSleepWakeAndTheStubTrace) {
    Plugged d;
    ZrDevice* dev = d.svc->getDevice();
    dev->setHALVersion(5);
    dev->setHALVersion(7);
    EXPECT_EQ(dev->getHALVersion(), 5u);
    EXPECT_EQ(ZrDevice::getUSBVersion(), 0x03040D00u);
    d.svc->setChannelSettingsProperty();
    d.svc->setAjExtDataProperty();
    auto text = [&](const char* key) {
        OSSerialize* s = OSSerialize::withCapacity(64);
        OSObject* o = d.svc->copyProperty(key);
        if (o) {
            o->serialize(s);
            o->release();
        }
        std::string t = s->text();
        s->release();
        return t;
    };
    auto number = [&](const char* dict, const char* key) -> int64_t {
        OSObject* o = d.svc->copyProperty(dict);
        OSDictionary* dd = OSDynamicCast(OSDictionary, o);
        OSNumber* n = dd ? OSDynamicCast(OSNumber, dd->getObject(key)) : nullptr;
        int64_t v = n && n->numberOfBits() == 32 ? int64_t(n->unsigned32BitValue()) : -1;
        if (o) o->release();
        return v;
    };
    const std::pair<const char*, int64_t> channel[] = {{"Frequency", 44100},  {"InChannels", 2},
                                                       {"InResolution", 24},  {"OutChannels", 2},
                                                       {"OutResolution", 24}, {"Configuration", 0}};
    for (auto [k, v] : channel)
        EXPECT_EQ(number("ChannelSettings", k), v) << k;
    const std::pair<const char*, int64_t> aj[] = {
        {"DigitalLockFrequency", 0}, {"ClockSource", 0}, {"USB1Mode", 0},   {"DigitalOutMode", 0},
        {"DigitalOutSelector", 0},   {"RoutingIn0", 0},  {"RoutingIn1", 1}, {"RoutingIn2", 2},
        {"RoutingOut0", 0},          {"RoutingOut1", 1}, {"DigitalLock", 0}};
    for (auto [k, v] : aj)
        EXPECT_EQ(number("AjExtData", k), v) << k;
    // Keys in their order, as user space reads them.
    std::string cs = text("ChannelSettings");
    EXPECT_LT(cs.find("Frequency"), cs.find("InChannels"));
    EXPECT_LT(cs.find("OutResolution"), cs.find("Configuration"));

    uint64_t frame = d.svc->getCurrentFrame();
    EXPECT_GE(frame, 0x1000u);
    EXPECT_FALSE(dev->hasBadFrameNumber());

    // The vendor port's area exists from the start (memory type 6).
    EXPECT_EQ(dev->getVendorAsyncArea().getSize(), uint64_t(VendorAsyncPort::kAreaBytes));
    // The real-time thread runs from the start, with no service until
    // streaming starts.
    EXPECT_TRUE(dev->getRTThread().hasThread());
    EXPECT_EQ(dev->getRTThread().service(), nullptr);
    ASSERT_NE(dev->getDriverData(), nullptr);
    EXPECT_EQ(dev->getDriverData()->sharedArea(), dev->getDriverSM());
    hx::log::Capture log;
    d.svc->terminate(0);
    // The thread goes (the device object stays: the test holds it), then
    // streaming stops (the stream's neighbours are told), the vendor port
    // and the request-block lists go; never configured, the unconfigure at
    // terminate has nothing to undo.
    EXPECT_FALSE(dev->getRTThread().hasThread());
    // Streaming stops (the vendor port aborted), then the vendor port of its
    // owner is aborted and closed: nobody owns it here.
    const std::string logText = log.text();
    const size_t stop = logText.find("VendorAsyncPort::abort no file");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(logText.find("VendorAsyncPort::close ", stop), std::string::npos);
    EXPECT_FALSE(dev->getAJ().isRunning());
}

// Control blocks a client writes into the shared area: the device applies a
// private copy, the shared block shows the saved state again, and the change
// is announced with the client as originator.
TEST(ControlBlocks, MuteDataSourceAndVolumeApplyAPrivateCopyAndNotify) {
    Plugged d;
    IOUserClient* a = d.open(2);
    ASSERT_NE(a, nullptr);
    uint64_t idA = d.svc->clientIdentifier(a);
    ZrDevice* dev = d.svc->getDevice();
    DriverSM* sm = dev->getDriverSM();
    std::memset(&sm->mSavedControls, 0x11, sizeof sm->mSavedControls);
    std::memset(&sm->mControls, 0x22, sizeof sm->mControls);
    sm->mControls.mMonitorValue = 4;
    sm->mControls.mRoutingValue = 9;

    dev->UpdateMuteStatus(idA);
    // The HX-5100 has no class controls: nothing the client wrote applies,
    // and both shared blocks show the kernel's current block again.
    EXPECT_EQ(std::memcmp(&sm->mControls, &dev->currentControls(), sizeof sm->mControls), 0);
    EXPECT_EQ(std::memcmp(&sm->mSavedControls, &dev->currentControls(), sizeof sm->mControls), 0);
    EXPECT_EQ(uint32_t(dev->currentControls().mMonitorValue), 0u);
    EXPECT_EQ(uint32_t(dev->currentControls().mRoutingValue), 0u);
    dev->UpdateDataSourceSelector(idA);
    dev->UpdateVolumeStatus(true, idA); // announces only
    dev->UpdateVolumeStatus(false, 0);
    hx::kern::waitQuiet();
    auto recs = d.records();
    ASSERT_EQ(recs.size(), 4u);
    const uint32_t codes[] = {STC_MuteChanged, STC_ChangeDataSource, STC_VolumeChanged,
                              STC_VolumeChanged};
    const uint64_t origin[] = {idA, idA, idA, 0};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(recs[i].mCode, codes[i]) << i;
        EXPECT_EQ(uint64_t(recs[i].mClient), origin[i]) << i;
    }
}

TEST(ControlBlocks, MonitorChangesOnlyWithAMonitorControlAndANewValue) {
    Plugged d;
    IOUserClient* a = d.open(2);
    ASSERT_NE(a, nullptr);
    uint64_t idA = d.svc->clientIdentifier(a);
    ZrDevice* dev = d.svc->getDevice();
    DriverSM* sm = dev->getDriverSM();
    sm->mControls.mMonitorValue = 3;
    EXPECT_FALSE(dev->getCanMonitor());
    EXPECT_EQ(dev->getMonitorValue(), 0u);

    dev->UpdateMonitorStatus(5, idA); // no monitor control
    sm->mControls.mHasMonitor = 1;
    EXPECT_TRUE(dev->getCanMonitor());
    EXPECT_EQ(dev->getMonitorValue(), 3u);
    dev->UpdateMonitorStatus(3, idA); // unchanged
    dev->UpdateMonitorStatus(5, idA);
    // The written block is not restored: it still shows the old value.
    EXPECT_EQ(uint32_t(sm->mControls.mMonitorValue), 3u);
    // The HX-5100 has no routing value.
    sm->mControls.mRoutingValue = 6;
    dev->UpdateTolvaneRouting(7, idA);
    EXPECT_EQ(dev->getTolvaneRoutingValue(), 0u);
    hx::kern::waitQuiet();

    // Applied against the device, which has no vendor control to take it.
    EXPECT_EQ(uint32_t(dev->currentControls().mMonitorValue), 0u);
    auto recs = d.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].mCode, uint32_t(STC_MonitorChanged));
    EXPECT_EQ(uint64_t(recs[0].mClient), idA);
}

TEST(ControlBlocks, DeviceSettingsLoadOnlyOnceStored) {
    Plugged d;
    ZrDevice* dev = d.svc->getDevice();
    XsDeviceControls out;
    std::memset(&out, 0x5A, sizeof out);
    dev->deviceSettingsLoadControls(out, 0, 0);
    EXPECT_EQ(uint8_t(out.cOut.mEndpoints[0].mName[0]), 0x5Au);
    dev->getDriverSM()->mControls.mMonitorValue = 12;
    dev->storeSettings();
    dev->getDriverSM()->mControls.mMonitorValue = 13;
    dev->deviceSettingsLoadControls(out, 0, 0);
    EXPECT_EQ(out.cOut.mEndpoints[0].mName[0], 0);
    EXPECT_EQ(uint32_t(out.mMonitorValue), 12u);
}

// Interfaces the device model opens by hand: one entry per interface number,
// retained and open for the opener until closed.
TEST(Trunk2Interfaces, AddSelectAndCloseKeepEntriesAndReferencesStraight) {
    Plugged d;
    IOUSBHostDevice* usb = d.svc->getUSBDevice();
    ASSERT_EQ(usb->setConfiguration(1, false), kIOReturnSuccess);
    std::vector<IOUSBHostInterface*> found;
    OSIterator* it = usb->getClientIterator();
    while (OSObject* o = it->getNextObject())
        if (auto* i = OSDynamicCast(IOUSBHostInterface, o)) found.push_back(i);
    it->release();
    ASSERT_EQ(found.size(), 4u);
    IOUSBHostInterface* playback = found[1];
    ASSERT_EQ(playback->getInterfaceDescriptor()->bInterfaceNumber, 1);

    ZrDevice::Trunk2Interfaces& t = d.svc->getDevice()->getTrunk2Interfaces();
    hx::log::Capture cap;
    const int refs = playback->getRetainCount();
    EXPECT_FALSE(t.add(nullptr, d.svc.svc));
    EXPECT_TRUE(t.add(playback, d.svc.svc));
    EXPECT_EQ(playback->getRetainCount(), refs + 1);
    EXPECT_TRUE(playback->isOpen(d.svc.svc));
    EXPECT_FALSE(t.add(playback, d.svc.svc)); // occupied
    EXPECT_TRUE(t.add(found[2], nullptr));    // kept, not opened
    EXPECT_FALSE(found[2]->isOpen());

    EXPECT_TRUE(t.setIfAlt(1, 2));
    EXPECT_FALSE(t.setIfAlt(3, 0)); // empty entry
    EXPECT_FALSE(t.setIfAlt(8, 0));
    EXPECT_FALSE(t.setIfAlt(-1, 0));
    size_t setInterface = 0;
    for (const auto& r : d.model->trace())
        setInterface += r.setup.bmRequestType == 0x01 && r.setup.bRequest == 11 &&
                        r.setup.wValue == 2 && r.setup.wIndex == 1;
    EXPECT_EQ(setInterface, 1u);

    const char* sig = "bool ZrDevice::Trunk2Interfaces::add(IOUSBHostInterface *, IOService *)";
    const std::string log = cap.text();
    for (const std::string& line :
         {"Unexpected: " + std::string(sig) + " pIF is NULL\n",
          "Success: " + std::string(sig) + " mEntry[ifNum:1]\n",
          "Unexpected: " + std::string(sig) + " mEntry[ifNum:1].isFree() returned false\n",
          std::string(
              "Unexpected: bool ZrDevice::Trunk2Interfaces::setIfAlt(int, int) mpIF is NULL\n"),
          std::string("Unexpected: bool ZrDevice::Trunk2Interfaces::setIfAlt(int, int) "
                      "nInterface:8 out of range\n")})
        EXPECT_NE(log.find(line), std::string::npos) << line;

    t.close(1);
    EXPECT_FALSE(playback->isOpen(d.svc.svc));
    EXPECT_EQ(playback->getRetainCount(), refs);
    EXPECT_TRUE(t.entry(1).isFree());
    t.closeAll();
    EXPECT_TRUE(t.entry(2).isFree());
}

} // namespace
