// Service life cycle and matching, registry properties, messages, interest
// notifications, user clients, power management, locks and kernel threads.
#include "platform/kern/IOUserClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the test drivers did, in order, with the thread each step ran on.
struct Journal {
    std::mutex lock;
    std::vector<std::string> steps;
    std::vector<std::thread::id> threads;
    void add(const std::string& s) {
        std::lock_guard<std::mutex> g(lock);
        steps.push_back(s);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(lock);
        threads.clear();
        return std::exchange(steps, {});
    }
};
Journal gJournal;

class TestNub : public IOService {
    OSDeclareDefaultStructors(TestNub)
};
OSDefineMetaClassAndStructors(TestNub, IOService)

    class OtherNub : public IOService {
    OSDeclareDefaultStructors(OtherNub)
};
OSDefineMetaClassAndStructors(OtherNub, IOService)

    class TestClient : public IOUserClient {
    OSDeclareDefaultStructors(TestClient) public
        : IOReturn message(UInt32 type, IOService* provider, void* argument) override {
        gJournal.add("client message " + std::to_string(type) + " " +
                     (argument ? std::to_string(*static_cast<int*>(argument)) : "-"));
        return IOUserClient::message(type, provider, argument);
    }
    bool terminate(IOOptionBits options) override {
        gJournal.add("client terminate");
        return IOUserClient::terminate(options);
    }
    void stop(IOService* provider) override {
        gJournal.add("client stop");
        IOUserClient::stop(provider);
    }
};
OSDefineMetaClassAndStructors(TestClient, IOUserClient)

    // A driver whose name tells the tests what it did; its personality decides
    // whether start succeeds ("Fail") and how probe scores ("Bonus").
    class TestDriver : public IOService {
    OSDeclareDefaultStructors(TestDriver) public : bool init(OSDictionary* dict) override {
        const OSString* tag = dict ? OSDynamicCast(OSString, dict->getObject("Tag")) : nullptr;
        mTag = tag ? tag->getCStringNoCopy() : "?";
        mFail = dict && dict->getObject("Fail");
        gJournal.add(mTag + " init");
        return IOService::init(dict);
    }
    IOService* probe(IOService* provider, SInt32* score) override {
        gJournal.add(mTag + " probe " + std::to_string(*score));
        if (OSNumber* b = OSDynamicCast(OSNumber, getProperty("Bonus")))
            *score += (SInt32)b->unsigned32BitValue();
        return IOService::probe(provider, score);
    }
    bool start(IOService* provider) override {
        gJournal.add(mTag + " start");
        if (!IOService::start(provider) || mFail) return false;
        setProperty("deviceUID", "QnDev_test");
        getPMRootDomain()->registerInterestedDriver(this);
        registerService();
        return true;
    }
    void stop(IOService* provider) override {
        gJournal.add(mTag + " stop");
        getPMRootDomain()->deRegisterInterestedDriver(this);
        IOService::stop(provider);
    }
    bool terminate(IOOptionBits options) override {
        if (!mTerminated.exchange(true)) {
            gJournal.add(mTag + " terminate");
            int code = -1;
            messageClients(kIOMessageServicePropertyChange, &code, sizeof code);
            OSIterator* it = getClientIterator();
            while (IOService* c = OSDynamicCast(IOService, it->getNextObject())) {
                terminateClient(c, 0);
            }
            it->release();
        }
        return IOService::terminate(options);
    }
    IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                           IOUserClient** handler) override {
        TestClient* c = new TestClient;
        if (!c->initWithTask(task, sid, type)) {
            c->release();
            return kIOReturnBadArgument;
        }
        c->start(this);
        *handler = c;
        return kIOReturnSuccess;
    }
    IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long state,
                                    IOService* s) override {
        gJournal.add(mTag + " will " + std::to_string(flags) + "/" + std::to_string(state));
        return IOService::powerStateWillChangeTo(flags, state, s);
    }
    IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long state,
                                   IOService* s) override {
        gJournal.add(mTag + " did " + std::to_string(flags) + "/" + std::to_string(state));
        return IOService::powerStateDidChangeTo(flags, state, s);
    }

protected:
    void free() override {
        gJournal.add(mTag + " free");
        IOService::free();
    }

private:
    std::string mTag;
    bool mFail = false;
    std::atomic<bool> mTerminated{false};
};
OSDefineMetaClassAndStructors(TestDriver, IOService)

    OSDictionary* personality(const char* tag, const char* providerClass, unsigned vendor,
                              unsigned score, bool fail = false, unsigned bonus = 0) {
    OSDictionary* p = OSDictionary::withCapacity(8);
    p->setObject("IOClass", OSString::withCString("TestDriver"));
    p->getObject("IOClass")->release();
    p->setObject("IOProviderClass", OSString::withCString(providerClass));
    p->getObject("IOProviderClass")->release();
    p->setObject("Tag", OSString::withCString(tag));
    p->getObject("Tag")->release();
    p->setObject("idVendor", OSNumber::withNumber(vendor, 16));
    p->getObject("idVendor")->release();
    p->setObject("IOProbeScore", OSNumber::withNumber(score, 32));
    p->getObject("IOProbeScore")->release();
    if (fail) p->setObject("Fail", kOSBooleanTrue);
    if (bonus) {
        p->setObject("Bonus", OSNumber::withNumber(bonus, 32));
        p->getObject("Bonus")->release();
    }
    return p;
}

TestNub* makeNub(unsigned vendor) {
    TestNub* nub = new TestNub;
    nub->init();
    nub->setProperty("idVendor", vendor, 16);
    return nub;
}

class KernService : public ::testing::Test {
protected:
    void TearDown() override {
        hx::kern::waitQuiet();
        hx::kern::removePersonalities("TestDriver");
        gJournal.take();
    }
};

TEST_F(KernService, MatchingProbesByScoreStartsTheBestAndSkipsWhatDoesNotMatch) {
    const OSDictionary* ps[] = {
        personality("low", "TestNub", 0x1234, 1000),
        personality("high-fails", "TestNub", 0x1234, 3000, /*fail*/ true),
        personality("boosted", "TestNub", 0x1234, 500, false, /*bonus*/ 2000),
        personality("wrong-vendor", "TestNub", 0x9999, 9000),
        personality("wrong-class", "OtherNub", 0x1234, 9000),
    };
    for (const OSDictionary* p : ps) {
        hx::kern::addPersonality(p);
        p->release();
    }
    TestNub* nub = makeNub(0x1234);
    nub->registerService();
    hx::kern::waitQuiet();

    // Every matching personality is probed; the highest probe score starts
    // first, a failing start falls through to the next.
    const std::vector<std::string> expected = {
        "low init",      "low probe 1000",    "high-fails init",  "high-fails probe 3000",
        "boosted init",  "boosted probe 500", "high-fails start", "high-fails free",
        "boosted start", "low free",
    };
    EXPECT_EQ(gJournal.take(), expected);

    std::vector<IOService*> drivers = hx::kern::copyServicesOfClass("TestDriver");
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(drivers[0]->getProvider(), nub);
    OSDictionary* props = drivers[0]->dictionaryWithProperties();
    const OSString* uid = OSDynamicCast(OSString, props->getObject("deviceUID"));
    ASSERT_NE(uid, nullptr);
    EXPECT_STREQ(uid->getCStringNoCopy(), "QnDev_test");
    props->release();
    drivers[0]->release();

    nub->terminate();
    hx::kern::waitQuiet();
    EXPECT_EQ(gJournal.take(),
              (std::vector<std::string>{"boosted terminate", "boosted stop", "boosted free"}));
    EXPECT_TRUE(hx::kern::copyServicesOfClass("TestDriver").empty());
    nub->release();
}

TEST_F(KernService, APersonalityAddedLaterMatchesNubsAlreadyRegistered) {
    TestNub* nub = makeNub(0x1234);
    nub->registerService();
    hx::kern::waitQuiet();
    EXPECT_TRUE(gJournal.take().empty());
    OSDictionary* p = personality("late", "TestNub", 0x1234, 0);
    hx::kern::addPersonality(p);
    p->release();
    hx::kern::waitQuiet();
    EXPECT_EQ(gJournal.take(),
              (std::vector<std::string>{"late init", "late probe 0", "late start"}));
    nub->terminate();
    hx::kern::waitQuiet();
    nub->release();
}

// Messages reach attached user clients synchronously, with the sender's
// argument; termination reaches them through terminateClient and their stop
// runs later, on the kernel thread.
TEST_F(KernService, UserClientsGetMessagesAndAreTerminatedByTheirProvider) {
    OSDictionary* p = personality("drv", "TestNub", 0x1234, 0);
    hx::kern::addPersonality(p);
    p->release();
    TestNub* nub = makeNub(0x1234);
    nub->registerService();
    hx::kern::waitQuiet();
    std::vector<IOService*> drivers = hx::kern::copyServicesOfClass("TestDriver");
    ASSERT_EQ(drivers.size(), 1u);
    task_t user = hx::kern::createTask(77);
    IOUserClient* client = nullptr;
    ASSERT_EQ(drivers[0]->newUserClient(user, nullptr, 0, &client), kIOReturnSuccess);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->getOwningTask(), user);
    gJournal.take();

    int value = 53;
    drivers[0]->messageClients(kIOMessageServicePropertyChange, &value, sizeof value);
    EXPECT_EQ(gJournal.take(), (std::vector<std::string>{"client message 3758096688 53"}));

    const std::thread::id testThread = std::this_thread::get_id();
    nub->terminate();
    hx::kern::waitQuiet();
    std::vector<std::string> steps;
    std::vector<std::thread::id> threads;
    {
        std::lock_guard<std::mutex> g(gJournal.lock);
        steps = gJournal.steps;
        threads = gJournal.threads;
    }
    gJournal.take();
    const std::vector<std::string> expected = {
        "drv terminate",    "client message 3758096688 -1",
        "client terminate", "client message 3758096400 -",
        "client stop",      "drv stop",
    };
    EXPECT_EQ(steps, expected);
    // The nub was terminated by this thread, so the drivers' terminate runs
    // here; stop never does.
    for (size_t i = 0; i < steps.size(); ++i)
        if (steps[i].find("stop") != std::string::npos) {
            EXPECT_NE(threads[i], testThread) << steps[i];
        }
    EXPECT_TRUE(client->isInactive());
    EXPECT_EQ(client->getProvider(), nullptr);
    client->release();     // the connection's reference
    drivers[0]->release(); // the last reference: the driver goes
    EXPECT_EQ(gJournal.take(), (std::vector<std::string>{"drv free"}));
    nub->release();
    hx::kern::destroyTask(user);
}

struct InterestLog {
    std::vector<UInt32> types;
    IONotifier* notifier = nullptr;
    bool removeInside = false;
};

IOReturn onInterest(void* target, void*, UInt32 type, IOService*, void*, vm_size_t) {
    auto* log = static_cast<InterestLog*>(target);
    log->types.push_back(type);
    if (log->removeInside && log->notifier) {
        log->notifier->remove();
        log->notifier = nullptr;
    }
    return kIOReturnSuccess;
}

TEST_F(KernService, InterestHandlersGetMessagesUntilRemovedEvenFromInside) {
    TestNub* nub = makeNub(1);
    InterestLog kept, selfRemoving;
    selfRemoving.removeInside = true;
    kept.notifier = nub->registerInterest(gIOGeneralInterest, onInterest, &kept);
    selfRemoving.notifier = nub->registerInterest(gIOGeneralInterest, onInterest, &selfRemoving);
    ASSERT_NE(kept.notifier, nullptr);
    const OSSymbol* busy = OSSymbol::withCString("IOBusyInterest");
    EXPECT_EQ(nub->registerInterest(busy, onInterest, &kept), nullptr);
    busy->release();

    nub->messageClients(1);
    nub->messageClients(2);
    const bool was = kept.notifier->disable();
    nub->messageClients(3);
    kept.notifier->enable(was);
    nub->terminate(); // tells the interested parties
    hx::kern::waitQuiet();
    EXPECT_EQ(kept.types, (std::vector<UInt32>{1, 2, kIOMessageServiceIsTerminated}));
    EXPECT_EQ(selfRemoving.types, (std::vector<UInt32>{1}));
    kept.notifier->remove();
    nub->release();
}

// Publish and terminate subscriptions by matching dictionary: a publish one
// hands over what is already registered together with the subscription;
// later services queue in registration order; a terminate one queues a
// service once it began terminating; a cancelled one queues nothing and
// drops what it held.
TEST_F(KernService, ServiceSubscriptionsQueuePublishedAndTerminatedServices) {
    OSDictionary* byClass = OSDictionary::withCapacity(1);
    OSString* cls = OSString::withCString("TestNub");
    byClass->setObject("IOProviderClass", cls);
    cls->release();
    OSDictionary* byVendor = OSDictionary::withCapacity(1);
    OSNumber* vendor = OSNumber::withNumber(7, 16);
    byVendor->setObject("idVendor", vendor);
    vendor->release();
    OSDictionary* nothingKnown = OSDictionary::withCapacity(1);
    nothingKnown->setObject("Other", kOSBooleanTrue);

    TestNub* first = makeNub(7);
    first->registerService(kIOServiceSynchronous);
    std::vector<IOService*> existing;
    auto published =
        hx::kern::subscribeServices(byClass, hx::kern::ServiceEvent::Publish, &existing);
    auto sevens = hx::kern::subscribeServices(byVendor, hx::kern::ServiceEvent::Publish);
    auto none = hx::kern::subscribeServices(nothingKnown, hx::kern::ServiceEvent::Publish);
    auto terminated = hx::kern::subscribeServices(byClass, hx::kern::ServiceEvent::Terminate);
    ASSERT_EQ(existing.size(), 1u);
    EXPECT_EQ(existing[0], first);
    existing[0]->release();
    EXPECT_EQ(hx::kern::copyMatchingServices(nothingKnown).size(), 0u);

    TestNub* second = makeNub(8);
    TestNub* third = makeNub(7);
    OtherNub* other = new OtherNub;
    other->init();
    second->registerService(kIOServiceSynchronous);
    third->registerService(kIOServiceSynchronous);
    other->registerService(kIOServiceSynchronous);
    EXPECT_EQ(published->pending(), 2u);
    IOService* a = published->next();
    IOService* b = published->next();
    EXPECT_EQ(a, second);
    EXPECT_EQ(b, third);
    EXPECT_EQ(published->next(), nullptr);
    a->release();
    b->release();
    EXPECT_EQ(sevens->pending(), 1u);
    EXPECT_EQ(none->pending(), 0u);

    // The interest parties hear of the termination before the subscription.
    InterestLog log;
    log.notifier = second->registerInterest(gIOGeneralInterest, onInterest, &log);
    second->terminate();
    EXPECT_EQ(log.types, (std::vector<UInt32>{kIOMessageServiceIsTerminated}));
    EXPECT_EQ(terminated->pending(), 1u);
    IOService* gone = terminated->next();
    EXPECT_EQ(gone, second);
    gone->release();
    terminated->cancel();
    third->terminate();
    EXPECT_EQ(terminated->pending(), 0u);
    sevens->cancel();
    EXPECT_EQ(sevens->pending(), 0u);

    log.notifier->remove();
    first->terminate();
    other->terminate();
    hx::kern::waitQuiet();
    for (IOService* s : std::initializer_list<IOService*>{first, second, third, other})
        s->release();
    byClass->release();
    byVendor->release();
    nothingKnown->release();
}

TEST_F(KernService, OpenIsExclusiveUntilClosedAndRefusedOnceInactive) {
    TestNub* nub = makeNub(1);
    IOService* a = new IOService;
    IOService* b = new IOService;
    EXPECT_TRUE(nub->open(a));
    EXPECT_TRUE(nub->open(a));
    EXPECT_FALSE(nub->open(b));
    EXPECT_TRUE(nub->isOpen(a));
    EXPECT_FALSE(nub->isOpen(b));
    nub->close(b); // not the opener: nothing happens
    EXPECT_TRUE(nub->isOpen());
    nub->close(a);
    EXPECT_TRUE(nub->open(b));
    nub->close(b);
    nub->terminate();
    EXPECT_FALSE(nub->open(a));
    hx::kern::waitQuiet();
    a->release();
    b->release();
    nub->release();
}

TEST_F(KernService, PowerHooksTellRegisteredDriversOnThePowerThread) {
    OSDictionary* p = personality("pm", "TestNub", 0x1234, 0);
    hx::kern::addPersonality(p);
    p->release();
    TestNub* nub = makeNub(0x1234);
    nub->registerService();
    hx::kern::waitQuiet();
    gJournal.take();

    hx::kern::systemWillSleep();
    hx::kern::systemDidWake();
    EXPECT_EQ(gJournal.take(), (std::vector<std::string>{"pm will 4/2", "pm did 4/2",
                                                         "pm will 32898/4", "pm did 32898/4"}));
    nub->terminate();
    hx::kern::waitQuiet();
    gJournal.take();
    hx::kern::systemWillSleep(); // the driver deregistered in stop
    EXPECT_TRUE(gJournal.take().empty());
    EXPECT_EQ(IOService::getPMRootDomain()->interestedDriverCount(), 0u);
    nub->release();
}

struct ThreadArgs {
    std::atomic<int> ran{0};
    std::atomic<thread_t> self{MACH_PORT_NULL};
};

void threadBody(void* p, wait_result_t) {
    auto* a = static_cast<ThreadArgs*>(p);
    a->self.store(current_thread());
    IOSleep(1);
    a->ran.fetch_add(1);
    thread_terminate(current_thread());
}

TEST(KernThreads, KernelThreadsRunTheirFunctionElsewhereAndLocksExclude) {
    ThreadArgs args;
    thread_t t = MACH_PORT_NULL;
    ASSERT_EQ(kernel_thread_start(threadBody, &args, &t), KERN_SUCCESS);
    ASSERT_NE(t, MACH_PORT_NULL);
    EXPECT_NE(t, current_thread());
    EXPECT_EQ(thread_terminate(t), KERN_FAILURE); // only a thread's own end
    while (args.ran.load() == 0)
        IOSleep(1);
    EXPECT_EQ(args.self.load(), t); // the name the creator got is the thread's own
    thread_deallocate(t);

    IOLock* lock = IOLockAlloc();
    int counter = 0;
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                IOLockLock(lock);
                ++counter;
                IOLockUnlock(lock);
            }
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(counter, 4000);
    ASSERT_TRUE(IOLockTryLock(lock));
    std::thread([&] { EXPECT_FALSE(IOLockTryLock(lock)); }).join();
    IOLockUnlock(lock);
    IOLockFree(lock);
}

} // namespace
