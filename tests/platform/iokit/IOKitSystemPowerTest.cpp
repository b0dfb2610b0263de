// The root power domain from user space: a system-power registration hears
// the machine's five sleep and wake messages on a port of its own, a sleep
// waits for the registrants' callbacks before the drivers sleep, and a
// deregistration ends the callbacks. The transports carry it alike; machine
// control sends a sleep, a wake or one message alone.
#include "platform/iokit/IOPMLib.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/MachineControlClient.h"
#include "platform/iokit/ProcessTransport.h"
#include "platform/kern/IOService.h"
#include "platform/kern/SystemPower.h"

namespace {

using hx::iokit::Handle;
using hx::iokit::NotificationRecord;

// A driver of the root domain: counts its sleeps and wakes, and what user
// space had heard when each came.
std::atomic<int> gHeardBeforeDriverSleep{-1};
std::atomic<int>* gHeard = nullptr;

class PowerDriver : public IOService {
    OSDeclareDefaultStructors(PowerDriver) public
        : IOReturn
          powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long, IOService*) override {
        if (flags & kIOPMSleepCapability) {
            ++sleeps;
            if (gHeard) gHeardBeforeDriverSleep = gHeard->load();
        } else {
            ++wakes;
        }
        return kIOPMAckImplied;
    }
    std::atomic<int> sleeps{0};
    std::atomic<int> wakes{0};
};
OSDefineMetaClassAndStructors(PowerDriver, IOService)

    // What a registrant's callback saw, each message in order; its callback
    // returns only once the test lets it (for the awaited messages).
    struct Heard {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<uint32_t> messages;
    std::vector<uintptr_t> arguments;
    io_service_t service = 0;
    std::atomic<int> count{0};
    std::atomic<int> returned{0};
};

// Everything under the lock, the waiter woken before it is released: once a
// waiter saw the message, the callback touches the record no more.
void onPower(void* refCon, io_service_t service, natural_t type, void* argument) {
    auto* h = static_cast<Heard*>(refCon);
    std::lock_guard<std::mutex> g(h->lock);
    h->messages.push_back(type);
    h->arguments.push_back(reinterpret_cast<uintptr_t>(argument));
    h->service = service;
    ++h->count;
    ++h->returned;
    h->cv.notify_all();
}

template <typename Pred> bool waitFor(Heard& h, Pred done) {
    std::unique_lock<std::mutex> l(h.lock);
    return h.cv.wait_for(l, std::chrono::seconds(60), done);
}

struct SystemPower : ::testing::Test {
    void SetUp() override {
        queue = dispatch_queue_create("power test", nullptr);
        driver = new PowerDriver;
        ASSERT_TRUE(driver->init());
        IOService::getPMRootDomain()->registerInterestedDriver(driver);
    }
    void TearDown() override {
        IOService::getPMRootDomain()->deRegisterInterestedDriver(driver);
        driver->release();
        dispatch_release(queue);
        gHeard = nullptr;
    }
    io_connect_t registerHere(Heard& heard, IONotificationPortRef* port, io_object_t* notifier) {
        const io_connect_t root = IORegisterForSystemPower(&heard, port, onPower, notifier);
        EXPECT_NE(root, 0u);
        EXPECT_NE(*port, nullptr);
        EXPECT_NE(*notifier, 0u);
        if (*port) IONotificationPortSetDispatchQueue(*port, queue);
        return root;
    }
    dispatch_queue_t queue = nullptr;
    PowerDriver* driver = nullptr;
};

TEST_F(SystemPower, EachMessageReachesTheCallbackWithItsNotificationAndTheRootDomain) {
    Heard heard;
    IONotificationPortRef port = nullptr;
    io_object_t notifier = 0;
    const io_connect_t root = registerHere(heard, &port, &notifier);
    const uint32_t five[] = {kIOMessageCanSystemSleep, kIOMessageSystemWillSleep,
                             kIOMessageSystemWillNotSleep, kIOMessageSystemWillPowerOn,
                             kIOMessageSystemHasPoweredOn};
    for (uint32_t m : five)
        EXPECT_EQ(hx::kern::sendSystemPowerMessage(m), 1u) << std::hex << m;
    // Another message type is no system power message: nobody hears it.
    EXPECT_EQ(hx::kern::sendSystemPowerMessage(0xE0000130), 0u);
    ASSERT_TRUE(waitFor(heard, [&] { return heard.messages.size() == 5; }));
    EXPECT_EQ(heard.messages, std::vector<uint32_t>(std::begin(five), std::end(five)));
    // Every notification has an ID of its own; the service is the root domain's.
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NE(heard.arguments[i], 0u) << i;
    for (size_t i = 1; i < 5; ++i)
        EXPECT_GT(heard.arguments[i], heard.arguments[i - 1]) << i;
    EXPECT_NE(heard.service, 0u);
    EXPECT_TRUE(IOObjectConformsTo(heard.service, "IOPMrootDomain"));

    EXPECT_EQ(IODeregisterForSystemPower(&notifier), KERN_SUCCESS);
    EXPECT_EQ(notifier, 0u);
    EXPECT_EQ(IODeregisterForSystemPower(&notifier), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(root), KERN_SUCCESS);
    EXPECT_EQ(IOServiceClose(root), MACH_SEND_INVALID_DEST);
    IONotificationPortDestroy(port);
    EXPECT_EQ(hx::kern::systemPowerRegistrantCount(), 0u);
}

TEST_F(SystemPower, ASleepWaitsForTheCallbacksBeforeTheDriversSleepAndAWakeBracketsThem) {
    Heard first, second;
    gHeard = &first.returned;
    IONotificationPortRef p1 = nullptr, p2 = nullptr;
    io_object_t n1 = 0, n2 = 0;
    const io_connect_t r1 = registerHere(first, &p1, &n1);
    const io_connect_t r2 = registerHere(second, &p2, &n2);

    hx::kern::systemWillSleep();
    // Both callbacks had returned when the driver was told.
    EXPECT_EQ(gHeardBeforeDriverSleep.load(), 1);
    EXPECT_EQ(second.returned.load(), 1);
    EXPECT_EQ(driver->sleeps.load(), 1);

    hx::kern::systemDidWake();
    EXPECT_EQ(driver->wakes.load(), 1);
    ASSERT_TRUE(waitFor(first, [&] { return first.messages.size() == 3; }));
    ASSERT_TRUE(waitFor(second, [&] { return second.messages.size() == 3; }));
    const std::vector<uint32_t> order = {kIOMessageSystemWillSleep, kIOMessageSystemWillPowerOn,
                                         kIOMessageSystemHasPoweredOn};
    EXPECT_EQ(first.messages, order);
    EXPECT_EQ(second.messages, order);

    // After a deregistration returns, a sleep reaches only the other.
    EXPECT_EQ(IODeregisterForSystemPower(&n1), KERN_SUCCESS);
    hx::kern::systemWillSleep();
    EXPECT_EQ(second.returned.load(), 4);
    EXPECT_EQ(first.count.load(), 3);
    hx::kern::systemDidWake();
    IODeregisterForSystemPower(&n2);
    IOServiceClose(r1);
    IOServiceClose(r2);
    IONotificationPortDestroy(p1);
    IONotificationPortDestroy(p2);
}

// A callback that stays inside until the test lets it return.
std::atomic<bool> gHold{false};
void onPowerHeld(void* refCon, io_service_t, natural_t, void*) {
    auto* h = static_cast<Heard*>(refCon);
    {
        std::lock_guard<std::mutex> g(h->lock);
        ++h->count;
        h->cv.notify_all();
    }
    while (gHold.load())
        std::this_thread::yield();
    std::lock_guard<std::mutex> g(h->lock);
    ++h->returned;
    h->cv.notify_all();
}

TEST_F(SystemPower, ARegistrantThatGoesAwayDuringASleepDoesNotHoldItBack) {
    Heard heard;
    IONotificationPortRef port = nullptr;
    io_object_t notifier = 0;
    const io_connect_t root = IORegisterForSystemPower(&heard, &port, onPowerHeld, &notifier);
    ASSERT_NE(root, 0u);
    IONotificationPortSetDispatchQueue(port, queue);
    gHold = true;
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        hx::kern::systemWillSleep();
        slept = true;
    });
    // The callback is inside: the sleep waits for it until the registration
    // is gone, then the drivers sleep though the callback has not returned.
    {
        std::unique_lock<std::mutex> l(heard.lock);
        ASSERT_TRUE(heard.cv.wait_for(l, std::chrono::seconds(60),
                                      [&] { return heard.count.load() == 1; }));
    }
    EXPECT_FALSE(slept.load());
    EXPECT_EQ(IODeregisterForSystemPower(&notifier), KERN_SUCCESS);
    sleeper.join();
    EXPECT_EQ(driver->sleeps.load(), 1);
    EXPECT_EQ(heard.returned.load(), 0);
    gHold = false;
    // The held callback ends before its record goes.
    EXPECT_TRUE(waitFor(heard, [&] { return heard.returned.load() == 1; }));
    hx::kern::systemDidWake();
    IOServiceClose(root);
    IONotificationPortDestroy(port);
    EXPECT_EQ(heard.count.load(), 1);
}

TEST_F(SystemPower, RefusedWithoutAPlaceForThePortOrTheNotifier) {
    Heard heard;
    IONotificationPortRef port = nullptr;
    io_object_t notifier = 0;
    EXPECT_EQ(IORegisterForSystemPower(&heard, nullptr, onPower, &notifier), 0u);
    EXPECT_EQ(IORegisterForSystemPower(&heard, &port, onPower, nullptr), 0u);
    EXPECT_EQ(IORegisterForSystemPower(&heard, &port, nullptr, &notifier), 0u);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(notifier, 0u);
    EXPECT_EQ(IODeregisterForSystemPower(nullptr), kIOReturnBadArgument);
}

// The service's power-state interest hears its power-state messages only.
class PowerStateNub : public IOService {
    OSDeclareDefaultStructors(PowerStateNub)
};
OSDefineMetaClassAndStructors(PowerStateNub, IOService)

    TEST_F(SystemPower, PowerStateInterestHearsOnlyTheServicesPowerStateMessages) {
    auto* nub = new PowerStateNub;
    ASSERT_TRUE(nub->init());
    nub->setProperty("deviceUID", "HX-POWER-1");
    nub->registerService(kIOServiceSynchronous);
    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("PowerStateNub"), &it),
              KERN_SUCCESS);
    const io_service_t s = IOIteratorNext(it);
    IOObjectRelease(it);
    ASSERT_NE(s, 0u);
    IONotificationPortRef port = IONotificationPortCreate(0);
    IONotificationPortSetDispatchQueue(port, queue);
    Heard heard;
    io_object_t n = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, s, kIOPriorityPowerStateInterest, onPower,
                                               &heard, &n),
              KERN_SUCCESS);
    const uint32_t sent[] = {0xE0000130, 0xE0000210, 0xE0000010, 0xE0000230, 0xE0000280};
    for (uint32_t m : sent)
        nub->messageClients(m, nullptr, 0);
    ASSERT_TRUE(waitFor(heard, [&] { return heard.messages.size() >= 2; }));
    // A last message through the same port: everything before it was handled.
    nub->messageClients(0xE0000220, nullptr, 0);
    ASSERT_TRUE(waitFor(heard, [&] { return heard.messages.size() >= 3; }));
    EXPECT_EQ(heard.messages, (std::vector<uint32_t>{0xE0000210, 0xE0000230, 0xE0000220}));
    IOObjectRelease(n);
    IONotificationPortDestroy(port);
    IOObjectRelease(s);
    nub->terminate();
    hx::kern::waitQuiet();
    nub->release();
}

// ---- Across processes: the transport's frames and machine control.

// Queues records and answers each awaited one from its own thread, as a
// user process's callback returning would.
class Answering : public hx::iokit::PortSink {
public:
    hx::iokit::Transport* transport = nullptr;
    Handle registration = 0;
    bool answer = true;
    void deliver(NotificationRecord&& r) override {
        std::lock_guard<std::mutex> g(mLock);
        uint64_t id = 0;
        if (r.argument.size() == sizeof id) std::memcpy(&id, r.argument.data(), sizeof id);
        ids.push_back(id);
        records.push_back(std::move(r));
        if (answer)
            mAnswers.emplace_back(
                [this, id] { transport->acknowledgeSystemPower(registration, id); });
        mCv.notify_all();
    }
    void lost() override {}
    void join() {
        for (auto& t : mAnswers)
            t.join();
        mAnswers.clear();
    }
    std::vector<NotificationRecord> waitFor(size_t n) {
        std::unique_lock<std::mutex> l(mLock);
        mCv.wait_for(l, std::chrono::seconds(60), [&] { return records.size() >= n; });
        return records;
    }
    std::vector<NotificationRecord> records;
    std::vector<uint64_t> ids;

private:
    std::mutex mLock;
    std::condition_variable mCv;
    std::vector<std::thread> mAnswers;
};

// Machine control that only sleeps and wakes the machine (its default).
struct PowerControl : hx::iokit::MachineControl {
    IOReturn plug() override { return kIOReturnUnsupported; }
    IOReturn unplug() override { return kIOReturnUnsupported; }
    std::string statistics() override { return {}; }
    IOReturn fault(const std::string&, uint64_t) override { return kIOReturnUnsupported; }
};

TEST_F(SystemPower, AcrossProcessesMachineControlSleepsWakesAndSendsEachMessageAlone) {
    char dir[] = "/tmp/hxpower.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/kernel.sock";
    PowerControl machine;
    hx::iokit::KernelHost host(path, &machine);
    std::string error;
    ASSERT_TRUE(host.start(error)) << error;
    int page = -1;
    auto transport = hx::iokit::makeProcessTransport(path, error, &page);
    if (page >= 0) ::close(page);
    ASSERT_TRUE(error.empty()) << error;

    Answering sink;
    sink.transport = transport.get();
    Handle port = 0, root = 0;
    ASSERT_EQ(transport->createPort(&sink, &port), KERN_SUCCESS);
    ASSERT_EQ(transport->registerSystemPower(port, 91, &sink.registration, &root), KERN_SUCCESS);
    EXPECT_NE(sink.registration, 0u);
    EXPECT_NE(root, 0u);
    bool conforms = false;
    EXPECT_EQ(transport->conformsTo(root, "IOPMrootDomain", &conforms), KERN_SUCCESS);
    EXPECT_TRUE(conforms);

    hx::iokit::MachineControlClient control;
    ASSERT_TRUE(control.connect(path));
    EXPECT_EQ(control.systemSleep(), KERN_SUCCESS);
    EXPECT_EQ(driver->sleeps.load(), 1);
    EXPECT_EQ(control.systemWake(), KERN_SUCCESS);
    EXPECT_EQ(driver->wakes.load(), 1);
    const uint32_t alone[] = {kIOMessageCanSystemSleep, kIOMessageSystemWillSleep,
                              kIOMessageSystemWillNotSleep, kIOMessageSystemHasPoweredOn,
                              kIOMessageSystemWillPowerOn};
    for (uint32_t m : alone)
        EXPECT_EQ(control.systemPowerMessage(m), KERN_SUCCESS) << std::hex << m;
    EXPECT_EQ(control.systemPowerMessage(0xE0000130), kIOReturnBadArgument);
    // Sent alone, no message moves the drivers.
    EXPECT_EQ(driver->sleeps.load(), 1);
    EXPECT_EQ(driver->wakes.load(), 1);

    const auto records = sink.waitFor(8);
    ASSERT_EQ(records.size(), 8u);
    const uint32_t expected[] = {kIOMessageSystemWillSleep,    kIOMessageSystemWillPowerOn,
                                 kIOMessageSystemHasPoweredOn, kIOMessageCanSystemSleep,
                                 kIOMessageSystemWillSleep,    kIOMessageSystemWillNotSleep,
                                 kIOMessageSystemHasPoweredOn, kIOMessageSystemWillPowerOn};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(records[i].messageType, expected[i]) << i;
        EXPECT_EQ(records[i].kind, NotificationRecord::Interest) << i;
        EXPECT_EQ(records[i].tag, 91u) << i;
        EXPECT_NE(sink.ids[i], 0u) << i;
    }
    sink.join();

    // A registration ends as a subscription does: later messages reach nobody.
    transport->unsubscribe(sink.registration);
    EXPECT_EQ(control.systemSleep(), KERN_SUCCESS);
    EXPECT_EQ(control.systemWake(), KERN_SUCCESS);
    EXPECT_EQ(hx::kern::systemPowerRegistrantCount(), 0u);
    EXPECT_EQ(sink.waitFor(8).size(), 8u);
    transport->releaseService(root);
    transport->destroyPort(port);
    transport.reset();
    host.stop();
    ::rmdir(dir);
}

} // namespace
