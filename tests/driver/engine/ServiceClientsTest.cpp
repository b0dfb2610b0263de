#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "EngineFixture.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMemory.h"
#include "platform/base/HXLog.h"

namespace {

using namespace enginetest;

struct Started {
    explicit Started(uint8_t speed = 2, uint32_t location = 0x14100000) : usb(speed, location)
    {
        EXPECT_TRUE(svc.init(nullptr));
        EXPECT_TRUE(svc.start(&usb));
    }
    ~Started()
    {
        svc.terminate(0);
        svc.free();
    }
    FakeHX5100 usb;
    TestService svc;
};

uint64_t elapsedMs(VirtualClock& c, uint64_t start) { return (c.nowNanos() - start) / 1000000u; }

TEST(UserClientTypes, TypeFourMovesUnknownToNotActiveOnly)
{
    Started d;
    ZrUserClient* h = reinterpret_cast<ZrUserClient*>(1);
    hx::log::Capture cap;
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 4, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(d.svc.getDevice()->getFwUpdaterState(), kFwUpdaterNotActive);
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 4, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(d.svc.getDevice()->getFwUpdaterState(), kFwUpdaterNotActive);
    EXPECT_NE(cap.text().find("change status from unknown to NotActive\n"), std::string::npos);

    Started e;
    EXPECT_EQ(e.svc.newUserClient(nullptr, nullptr, 5, &h), 0);
    EXPECT_EQ(e.svc.newUserClient(nullptr, nullptr, 4, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(e.svc.getDevice()->getFwUpdaterState(), kFwUpdaterActive);
}

TEST(UserClientTypes, AudioClientWaitsThenFailsWhileTheUpdaterStateIsUnknown)
{
    Started d;
    VirtualClock clock;
    ZrUserClient* h = nullptr;
    hx::log::Capture cap;
    uint64_t t0 = clock.nowNanos();
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 0, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(elapsedMs(clock, t0), 100u);
    EXPECT_NE(cap.text().find("USBDriver: abort Audio - FirmwareUpdater is active or state unknown :0\n"),
              std::string::npos);

    // The audio-server client waits a second.
    t0 = clock.nowNanos();
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 3, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(elapsedMs(clock, t0), 1000u);

    // With an updater active the refusal comes at once.
    d.svc.getDevice()->setFwUpdaterState(kFwUpdaterActive);
    t0 = clock.nowNanos();
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 0, &h), kEngineIOReturnBadArgument);
    EXPECT_EQ(elapsedMs(clock, t0), 0u);
    EXPECT_NE(cap.text().find("USBDriver: abort user client(type:0) - FirmwareUpdater is active\n"),
              std::string::npos);

    // Once no updater runs the client is made.
    d.svc.getDevice()->setFwUpdaterState(kFwUpdaterNotActive);
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 0, &h), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<FakeClient*>(h)->type, 0u);
    EXPECT_TRUE(static_cast<FakeClient*>(h)->started);
}

TEST(UserClientTypes, ControlClientWhateverTheStateAndFirmwareModeNotifies)
{
    Started d;
    ZrUserClient* h = nullptr;
    for (uint32_t state : {kFwUpdaterUnknown, kFwUpdaterActive, kFwUpdaterNotActive}) {
        d.svc.getDevice()->setFwUpdaterState(state);
        EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &h), 0) << state;
        EXPECT_NE(h, nullptr);
    }
    d.svc.getDevice()->setFwUpdaterState(kFwUpdaterUnknown);
    d.svc.messages.clear();
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 5, &h), 0);
    EXPECT_EQ(d.svc.getDevice()->getFwUpdaterState(), kFwUpdaterActive);
    ASSERT_EQ(d.svc.messages.size(), 1u);
    EXPECT_EQ(d.svc.messages[0].mCode, 16u);
    auto trace = d.svc.getDevice()->stubTrace();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "stopStreaming wait=1"), trace.end());

    hx::log::Capture cap;
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 6, &h), kEngineIOReturnBadArgument);
    EXPECT_NE(cap.text().find("USBDriver: newUserClient Invalid type 6 \n"), std::string::npos);
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, nullptr), kEngineIOReturnBadArgument);
}

TEST(UserClientTypes, ASixtyFifthClientIsCountedButHasNoSlot)
{
    Started d;
    hx::log::Capture cap;
    std::vector<ZrUserClient*> clients;
    for (int i = 0; i < 65; ++i) {
        ZrUserClient* h = nullptr;
        ASSERT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &h), 0);
        clients.push_back(h);
    }
    EXPECT_EQ(d.svc.getUserClientCount(), 65);
    EXPECT_NE(cap.text().find("userClientListNewClient no free slot\n"), std::string::npos);
    // Every client has its own non-zero identifier that resolves back to it.
    std::set<uint64_t> ids;
    for (auto* c : clients) {
        uint64_t id = d.svc.clientIdentifier(c);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(d.svc.clientFromIdentifier(id), c);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 65u);
    // Only the 64 listed clients are told to terminate.
    d.svc.terminate(0);
    EXPECT_EQ(d.svc.terminated.size(), 64u);
}

TEST(UserClientList, ConcurrentOpenAndCloseLeaveTheListEmpty)
{
    Started d;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                FakeClient c;
                d.svc.userClientListNewClient(&c);
                d.svc.userClientListClientClosed(&c);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(d.svc.getUserClientCount(), 0);
    d.svc.terminate(0);
    EXPECT_TRUE(d.svc.terminated.empty());
}

// deviceRequestStd: the retry count is kept within 1..5, an error the device
// reports is never repeated, nothing goes out after terminate.
struct RetryCase {
    int retry;
    IOReturn status;
    size_t sends;
};

class DeviceRequestRetries : public ::testing::TestWithParam<RetryCase> {};

TEST_P(DeviceRequestRetries, SendsAtMostRetryPlusOne)
{
    Started d;
    d.usb.mAlwaysFail = true;
    d.usb.mFailStatus = GetParam().status;
    size_t before = d.usb.requestCount();
    uint8_t buf[4];
    uint32_t len = 4;
    EXPECT_EQ(d.svc.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, 0x41, 0xD00, 0x101, buf, len,
                                     GetParam().retry),
              GetParam().status);
    EXPECT_EQ(d.usb.requestCount() - before, GetParam().sends);
    EXPECT_EQ(len, 4u);  // unchanged after a failure
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceRequestRetries,
                         ::testing::Values(RetryCase{0, kEngineIOReturnStall, 2}, RetryCase{1, kEngineIOReturnStall, 2},
                                           RetryCase{3, kEngineIOReturnStall, 4}, RetryCase{9, kEngineIOReturnStall, 6},
                                           RetryCase{9, kEngineIOReturnDeviceError, 1},
                                           RetryCase{5, kEngineIOReturnNotResponding, 6}));

TEST(DeviceRequest, LengthIsWrittenBackAndBoundedAndNothingAfterTerminate)
{
    Started d;
    uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    uint32_t len = 32;  // the device answers 18 bytes
    EXPECT_EQ(d.svc.deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf, len, 1), 0);
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(buf[18], 0);  // the rest of the asked length was zeroed
    uint32_t tooLong = 70000;
    EXPECT_EQ(d.svc.deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf, tooLong, 1),
              kEngineIOReturnBadArgument);
    d.svc.terminate(0);
    size_t before = d.usb.requestCount();
    len = 18;
    EXPECT_EQ(d.svc.deviceRequestStd(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, buf, len, 5),
              kEngineIOReturnError);
    EXPECT_EQ(d.usb.requestCount(), before);
}

TEST(StateChanges, RecordsAreInOrderWithZeroTailAndTerminateComesFirst)
{
    Started d;
    ZrUserClient* a = nullptr;
    ZrUserClient* b = nullptr;
    ASSERT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &a), 0);
    ASSERT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &b), 0);
    d.svc.messages.clear();
    d.svc.events.clear();
    uint64_t idA = d.svc.clientIdentifier(a);
    d.svc.messageToClients(STC_MuteChanged, idA, 1, 2);
    d.svc.getDevice()->stcNotify(STC_MixerBufferStored, 7);
    d.svc.getDevice()->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_TRUE(d.svc.getDevice()->isStreamBroken());
    d.svc.getDevice()->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_TRUE(d.svc.getDevice()->isStreamBroken());
    d.svc.terminate(0);

    const uint32_t codes[] = {7, 53, 2, 2, 0xFFFFFFFF};
    ASSERT_EQ(d.svc.messages.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const QN_StateChange& r = d.svc.messages[i];
        EXPECT_EQ(d.svc.sizes[i], 36u);
        EXPECT_EQ(r.mSize, 36u);
        EXPECT_EQ(r.mCode, codes[i]);
        const uint8_t* tail = reinterpret_cast<const uint8_t*>(&r) + 24;
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ(tail[k], 0);
    }
    EXPECT_EQ(uint64_t(d.svc.messages[0].mClient), idA);
    EXPECT_EQ(d.svc.messages[0].mParam1, 1u);
    EXPECT_EQ(d.svc.messages[0].mParam2, 2u);
    EXPECT_EQ(uint64_t(d.svc.messages[1].mClient), 0u);
    EXPECT_EQ(d.svc.messages[1].mParam1, 7u);
    EXPECT_EQ(d.svc.messages[4].mParam1, 0u);
    // The terminate record goes out before the clients are told to go.
    const std::vector<std::string> tail(d.svc.events.end() - 3, d.svc.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"message 3758096688", "terminateClient", "terminateClient"}));
    EXPECT_EQ(d.svc.terminated, (std::vector<ZrUserClient*>{a, b}));
}

TEST(Teardown, RequestsFailAfterTerminateAndSecondTerminateDoesNothing)
{
    Started d;
    d.svc.terminate(0);
    EXPECT_FALSE(d.svc.dispatchLock().lockMutex("late request"));
    ZrUserClient* h = nullptr;
    EXPECT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &h), kEngineIOReturnNoDevice);
    size_t n = d.svc.messages.size();
    hx::log::Capture cap;
    d.svc.terminate(0);
    EXPECT_EQ(d.svc.messages.size(), n);
    EXPECT_EQ(cap.text().find("ENTER terminate"), std::string::npos);
    EXPECT_NE(cap.text().find("super::terminate(00000000) returned 1\n"), std::string::npos);
    EXPECT_FALSE(d.usb.isOpen(&d.svc));
    EXPECT_EQ(d.usb.getRetainCount(), 1);
}

TEST(Teardown, TerminateWaitsForTheRequestHoldingTheDispatchLock)
{
    Started d;
    ASSERT_TRUE(d.svc.dispatchLock().lockMutex("request"));
    std::atomic<bool> done{false};
    std::thread t([&] {
        d.svc.terminate(0);
        done = true;
    });
    Kernel::sleep(30);
    EXPECT_FALSE(done);
    EXPECT_EQ(d.usb.getRetainCount(), 2);  // still held by the service
    d.svc.dispatchLock().unlock();
    t.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(d.usb.getRetainCount(), 1);
}

TEST(Teardown, ClosingClientClearsItsOwnershipAndHog)
{
    Started d;
    ZrUserClient* a = nullptr;
    ZrUserClient* b = nullptr;
    ASSERT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &a), 0);
    ASSERT_EQ(d.svc.newUserClient(nullptr, nullptr, 2, &b), 0);
    uint64_t idA = d.svc.clientIdentifier(a);
    uint64_t idB = d.svc.clientIdentifier(b);
    DriverSM* sm = d.svc.getDevice()->getDriverSM();
    sm->mExclusiveInputOwner = idA;
    sm->mPrivateDataOwner = idB;
    d.svc.getDevice()->setHogOwner(int32_t(uint32_t(idA)));
    d.svc.messages.clear();
    d.svc.userClientListClientClosed(b);
    EXPECT_TRUE(d.svc.messages.empty());  // not the hog owner: no state change
    EXPECT_EQ(uint64_t(sm->mPrivateDataOwner), 0u);
    EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), idA);
    d.svc.userClientListClientClosed(a);
    EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), 0u);
    EXPECT_EQ(d.svc.getDevice()->getHogOwner(), -1);
    ASSERT_EQ(d.svc.messages.size(), 1u);
    EXPECT_EQ(d.svc.messages[0].mCode, 32u);
    EXPECT_EQ(d.svc.clientFromIdentifier(idA), nullptr);
}

TEST(Teardown, TwoDevicesPluggedAndUnpluggedInTurn)
{
    for (int round = 0; round < 3; ++round) {
        FakeHX5100 usb1(2, 0x14100000), usb2(1, 0x14200000);
        auto* s1 = new TestService;
        auto* s2 = new TestService;
        ASSERT_TRUE(s1->init(nullptr));
        ASSERT_TRUE(s1->start(&usb1));
        ASSERT_TRUE(s2->init(nullptr));
        ASSERT_TRUE(s2->start(&usb2));
        EXPECT_STRNE(s1->getDevice()->getDriverSM()->mDeviceUID, s2->getDevice()->getDriverSM()->mDeviceUID);
        ZrUserClient* h = nullptr;
        ASSERT_EQ(s1->newUserClient(nullptr, nullptr, 2, &h), 0);
        ASSERT_EQ(s2->newUserClient(nullptr, nullptr, 2, &h), 0);
        s1->terminate(0);
        s1->stop();
        s1->free();
        delete s1;
        EXPECT_TRUE(QnKernel::isInitialised());  // the other device still runs
        s2->terminate(0);
        s2->stop();
        s2->free();
        delete s2;
        EXPECT_FALSE(QnKernel::isInitialised());  // the driver unloaded with the last one
        EXPECT_EQ(usb1.getRetainCount(), 1);
        EXPECT_EQ(usb2.getRetainCount(), 1);
        EXPECT_FALSE(usb1.isOpen(s1));
    }
}

TEST(DeviceModel, SmallOperationsAndPublishedProperties)
{
    struct PropertyService : TestService {
        bool setPropertyNumbers(const char* key, const char* const* keys, const uint32_t* values, int n) override
        {
            std::string line = key;
            for (int i = 0; i < n; ++i)
                line += std::string(" ") + keys[i] + "=" + std::to_string(values[i]);
            published.push_back(line);
            return true;
        }
        std::vector<std::string> published;
    };
    FakeHX5100 usb(2);
    PropertyService svc;
    ASSERT_TRUE(svc.init(nullptr));
    ASSERT_TRUE(svc.start(&usb));
    ZrDevice* dev = svc.getDevice();
    dev->setHALVersion(5);
    dev->setHALVersion(7);
    EXPECT_EQ(dev->getHALVersion(), 5u);
    EXPECT_EQ(ZrDevice::getUSBVersion(), 0x03040D00u);
    svc.setChannelSettingsProperty();
    svc.setAjExtDataProperty();
    ASSERT_EQ(svc.published.size(), 2u);
    EXPECT_EQ(svc.published[0],
              "ChannelSettings Frequency=44100 InChannels=2 InResolution=24 OutChannels=2 OutResolution=24 "
              "Configuration=0");
    EXPECT_EQ(svc.published[1],
              "AjExtData DigitalLockFrequency=0 ClockSource=0 USB1Mode=0 DigitalOutMode=0 DigitalOutSelector=0 "
              "RoutingIn0=0 RoutingIn1=1 RoutingIn2=2 RoutingOut0=0 RoutingOut1=1 DigitalLock=0");
    EXPECT_EQ(svc.getCurrentFrame(), 1000u);
    EXPECT_FALSE(dev->hasBadFrameNumber());
    svc.terminate(0);
    EXPECT_EQ(svc.getCurrentFrame(), 0xFFFFFFFFu);  // no device any more
    const std::vector<std::string> expectTail = {"KeThread::term", "stopStreaming wait=1",
                                                 "DriverData::detachAllClients",
                                                 "unconfigureDevice allowReset=0 reason=terminate"};
    auto trace = dev->stubTrace();
    ASSERT_GE(trace.size(), expectTail.size());
    EXPECT_EQ(std::vector<std::string>(trace.end() - 4, trace.end()), expectTail);
    const std::vector<std::string> expectStart = {"VendorAsyncPort::onInit", "DriverData::create size=30744",
                                                  "AJ::initializeSM", "KeThread::create",
                                                  "scanConfigurationDescriptors size=18",
                                                  "getAPIConfigInfo configurations=1"};
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 6), expectStart);
    svc.free();
}

}  // namespace
