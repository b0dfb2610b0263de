// The kernel end of a user connection: external methods with and without a
// dispatch table, the copy-in/copy-out rules, mapping, close and task death,
// user interest subscriptions, task identity and the class registry.
#include "platform/kern/IOUserConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOMemoryDescriptor.h"

namespace {

std::atomic<int> gCloses{0};
std::atomic<int> gDeaths{0};

// A provider that creates ConnTestClient for every type.
class ConnTestService : public IOService {
    OSDeclareDefaultStructors(ConnTestService) public
        : IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                 IOUserClient** handler) override;
};

class ConnTestClient : public IOUserClient {
    OSDeclareDefaultStructors(ConnTestClient) public : IOReturn clientClose() override {
        ++gCloses;
        terminate(0);
        return kIOReturnSuccess;
    }
    IOReturn clientDied() override {
        ++gDeaths;
        return IOUserClient::clientDied();
    }
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory) override {
        *memory = nullptr;
        if (type == 1) {
            if (!mArea)
                mArea =
                    IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared, 30744, 4096);
            mArea->retain();
            *memory = mArea;
            return kIOReturnSuccess;
        }
        return type == 2 ? kIOReturnSuccess : kIOReturnNoMemory;
    }
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                            IOExternalMethodDispatch*, OSObject*, void*) override {
        static IOExternalMethodDispatch table[] = {
            {&ConnTestClient::echo, 0, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize},
            {&ConnTestClient::add, 2, 0, 1, 0},
            {&ConnTestClient::fail, 0, 8, 0, 8},
            {&ConnTestClient::slow, 0, 0, 0, 0},
        };
        if (selector < 4)
            return IOUserClient::externalMethod(selector, args, &table[selector], this, nullptr);
        return IOUserClient::externalMethod(selector, args);
    }
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override {
        static IOExternalMethod m = {nullptr, reinterpret_cast<IOMethod>(&ConnTestClient::legacy),
                                     kIOUCStructIStructO, 4, 4};
        if (index != 4) return nullptr;
        *target = this;
        return &m;
    }
    // The legacy method: reports the sizes it was handed in its output.
    IOReturn legacy(void* in, void* out, void* inSize, void* outSize, void*, void*) {
        const uint32_t sizes[2] = {uint32_t(uintptr_t(inSize)),
                                   uint32_t(*static_cast<IOByteCount*>(outSize))};
        (void)in;
        std::memcpy(out, sizes, sizeof sizes);
        *static_cast<IOByteCount*>(outSize) = 3;
        return kIOReturnSuccess;
    }
    static IOReturn echo(OSObject*, void*, IOExternalMethodArguments* a) {
        if (a->structureOutputSize > 1) static_cast<uint8_t*>(a->structureOutput)[1] = 0xEE;
        a->structureOutputSize = a->structureOutputSize / 2;
        return kIOReturnSuccess;
    }
    static IOReturn add(OSObject*, void*, IOExternalMethodArguments* a) {
        a->scalarOutput[0] = a->scalarInput[0] + a->scalarInput[1];
        return kIOReturnSuccess;
    }
    static IOReturn fail(OSObject*, void*, IOExternalMethodArguments* a) {
        std::memset(a->structureOutput, 0x77, a->structureOutputSize);
        return kIOReturnNotAttached;
    }
    static IOReturn slow(OSObject* target, void*, IOExternalMethodArguments*) {
        auto* self = static_cast<ConnTestClient*>(target);
        self->mInSlow = true;
        hx::clock::sleepFor(50000000); // 50 ms of the clock
        self->mSlowDone = true;
        return kIOReturnSuccess;
    }
    std::atomic<bool> mInSlow{false};
    std::atomic<bool> mSlowDone{false};

protected:
    void free() override {
        if (mArea) mArea->release();
        IOUserClient::free();
    }

private:
    IOBufferMemoryDescriptor* mArea = nullptr;
};

OSDefineMetaClassAndStructors(ConnTestService, IOService)
    OSDefineMetaClassAndStructors(ConnTestClient, IOUserClient)

        IOReturn ConnTestService::newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                                IOUserClient** handler) {
    auto* c = new ConnTestClient;
    if (!c->initWithTask(task, sid, type)) {
        c->release();
        return kIOReturnBadArgument;
    }
    c->start(this);
    *handler = c;
    return kIOReturnSuccess;
}

struct KernConnection : ::testing::Test {
    void SetUp() override {
        service = new ConnTestService;
        ASSERT_TRUE(service->init());
        task = hx::kern::createTask(4321, "ConnectionTester", 501);
        gCloses = 0;
        gDeaths = 0;
    }
    void TearDown() override {
        hx::kern::killTask(task);
        hx::kern::waitQuiet();
        service->release();
    }
    io_connect_t open() {
        io_connect_t c = MACH_PORT_NULL;
        EXPECT_EQ(hx::kern::connectionOpen(service, task, 0, &c), kIOReturnSuccess);
        return c;
    }
    ConnTestService* service = nullptr;
    task_t task = MACH_PORT_NULL;
};

TEST(KernClient, InitWithTaskRefusesANullTask) {
    auto* c = new ConnTestClient;
    EXPECT_FALSE(c->initWithTask(MACH_PORT_NULL, nullptr, 0));
    c->release();
}

TEST(KernTask, IdentityKeepsSixteenCharacters) {
    task_t t = hx::kern::createTask(99, "AVeryLongProcessNameIndeed", 0);
    hx::kern::TaskIdentity id;
    ASSERT_TRUE(hx::kern::taskIdentity(t, id));
    EXPECT_EQ(id.pid, 99);
    EXPECT_STREQ(id.name, "AVeryLongProcess");
    EXPECT_EQ(id.uid, 0u);
    hx::kern::killTask(t);
    EXPECT_FALSE(hx::kern::taskIdentity(t, id));
}

// One table of call shapes: selector, counts and sizes -> result, and
// whether the outputs moved.
TEST_F(KernConnection, CallShapes) {
    io_connect_t c = open();
    struct Case {
        uint32_t selector;
        uint32_t scalarsIn, scalarsOut;
        size_t structIn, structOut;
        IOReturn result;
    } cases[] = {
        {0, 0, 0, 16, 16, kIOReturnSuccess},
        {1, 2, 1, 0, 0, kIOReturnSuccess},
        {1, 1, 1, 0, 0, kIOReturnBadArgument}, // scalar count checked
        {1, 2, 2, 0, 0, kIOReturnBadArgument},
        {2, 0, 0, 8, 9, kIOReturnBadArgument},    // struct size checked
        {2, 0, 0, 8, 8, kIOReturnNotAttached},    // the method's failure
        {0, 17, 0, 0, 0, kIOReturnBadArgument},   // over 16 scalars
        {0, 0, 0, 4097, 0, kIOReturnBadArgument}, // a struct over 4,096 bytes
        {0, 0, 0, 0, 4097, kIOReturnBadArgument},
        {9, 0, 0, 0, 0, kIOReturnUnsupported}, // beyond the table
    };
    for (const Case& k : cases) {
        std::vector<uint64_t> in(k.scalarsIn, 20), out(16, 0xAB);
        std::vector<uint8_t> sin(k.structIn, 5), sout(k.structOut + 1, 0xCD);
        uint32_t outCount = k.scalarsOut;
        size_t outSize = k.structOut;
        hx::kern::ConnectionCall call;
        call.scalarInput = in.data();
        call.scalarInputCount = k.scalarsIn;
        call.structInput = sin.data();
        call.structInputSize = k.structIn;
        call.scalarOutput = out.data();
        call.scalarOutputCount = &outCount;
        call.structOutput = sout.data();
        call.structOutputSize = &outSize;
        EXPECT_EQ(hx::kern::connectionCall(c, k.selector, call), k.result) << k.selector;
        if (k.result != kIOReturnSuccess) {
            // Nothing moved on failure.
            EXPECT_EQ(outCount, k.scalarsOut);
            EXPECT_EQ(outSize, k.structOut);
            EXPECT_EQ(out[0], 0xABu);
            EXPECT_EQ(sout[0], 0xCD);
        }
    }
    // The echo: the output started as the input, the method changed one byte
    // and halved the size.
    std::vector<uint8_t> sin(16), sout(32, 0xCD);
    for (size_t i = 0; i < sin.size(); ++i)
        sin[i] = uint8_t(i + 1);
    size_t outSize = 32;
    hx::kern::ConnectionCall call;
    call.structInput = sin.data();
    call.structInputSize = 16;
    call.structOutput = sout.data();
    call.structOutputSize = &outSize;
    ASSERT_EQ(hx::kern::connectionCall(c, 0, call), kIOReturnSuccess);
    EXPECT_EQ(outSize, 16u);
    EXPECT_EQ(sout[0], 1);
    EXPECT_EQ(sout[1], 0xEE);
    EXPECT_EQ(sout[15], 16);
    EXPECT_EQ(sout[16], 0xCD); // beyond the size the method left: untouched
    // The sum through scalars.
    uint64_t ab[2] = {40, 2}, sum = 0;
    uint32_t n = 1;
    hx::kern::ConnectionCall add;
    add.scalarInput = ab;
    add.scalarInputCount = 2;
    add.scalarOutput = &sum;
    add.scalarOutputCount = &n;
    ASSERT_EQ(hx::kern::connectionCall(c, 1, add), kIOReturnSuccess);
    EXPECT_EQ(sum, 42u);
    // The legacy path hands the sizes on unchecked.
    uint8_t lin[5] = {}, lout[12] = {};
    size_t loutSize = sizeof lout;
    hx::kern::ConnectionCall legacy;
    legacy.structInput = lin;
    legacy.structInputSize = sizeof lin;
    legacy.structOutput = lout;
    legacy.structOutputSize = &loutSize;
    ASSERT_EQ(hx::kern::connectionCall(c, 4, legacy), kIOReturnSuccess);
    EXPECT_EQ(loutSize, 3u);
    uint32_t handedIn = 0;
    std::memcpy(&handedIn, lout, sizeof handedIn);
    EXPECT_EQ(handedIn, 5u);
    EXPECT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
    EXPECT_EQ(hx::kern::connectionCall(c, 0, call), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(hx::kern::connectionClose(c), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(gCloses.load(), 1);
}

TEST_F(KernConnection, MappingIsExactAndOutlivesTheConnection) {
    io_connect_t c = open();
    mach_vm_address_t a = 0, b = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(hx::kern::connectionMap(c, 1, &a, &size), kIOReturnSuccess);
    EXPECT_EQ(size, 30744u);
    ASSERT_EQ(hx::kern::connectionMap(c, 1, &b, &size), kIOReturnSuccess);
    EXPECT_NE(a, b);
    reinterpret_cast<uint8_t*>(a)[30743] = 0x5A;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(b)[30743], 0x5A);
    EXPECT_EQ(hx::kern::connectionMap(c, 2, &b, &size),
              kIOReturnNoMemory); // success without memory
    EXPECT_EQ(hx::kern::connectionMap(c, 3, &b, &size), kIOReturnNoMemory);
    EXPECT_EQ(hx::kern::connectionUnmap(c, 1, b), kIOReturnSuccess);
    EXPECT_EQ(hx::kern::connectionUnmap(c, 1, b), kIOReturnBadArgument);
    ASSERT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(a)[30743], 0x5A); // still mapped
    EXPECT_EQ(hx::kern::connectionMap(c, 1, &b, &size), MACH_SEND_INVALID_DEST);
}

// Close waits for a call in flight; the close runs once, after it.
TEST_F(KernConnection, CloseWaitsForTheCallInFlight) {
    hx::clock::VirtualClock vc;
    io_connect_t c = open();
    IOUserClient* uc = hx::kern::connectionClient(c);
    auto* client = static_cast<ConnTestClient*>(uc);
    hx::clock::Reservation r;
    std::thread caller([&, r = std::move(r)]() mutable {
        hx::clock::Participant p(std::move(r));
        hx::kern::ConnectionCall call;
        EXPECT_EQ(hx::kern::connectionCall(c, 3, call), kIOReturnSuccess);
    });
    while (!client->mInSlow)
        vc.runFor(1000000);
    EXPECT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
    EXPECT_TRUE(client->mSlowDone);
    EXPECT_EQ(gCloses.load(), 1);
    {
        hx::clock::Idle idle;
        caller.join();
    }
    uc->release();
}

TEST_F(KernConnection, TaskDeathRunsClientDiedOncePerConnection) {
    io_connect_t a = open(), b = open();
    mach_vm_address_t addr = 0;
    ASSERT_EQ(hx::kern::connectionMap(a, 1, &addr, nullptr), kIOReturnSuccess);
    EXPECT_EQ(hx::kern::taskConnectionCount(task), 2u);
    hx::kern::killTask(task);
    EXPECT_EQ(gDeaths.load(), 2);
    EXPECT_EQ(gCloses.load(), 2); // the default death is a close
    EXPECT_EQ(hx::kern::taskConnectionCount(task), 0u);
    EXPECT_EQ(hx::kern::connectionUnmap(a, 1, addr), kIOReturnBadArgument); // dropped
    EXPECT_EQ(hx::kern::connectionClose(b), MACH_SEND_INVALID_DEST);
    io_connect_t none = MACH_PORT_NULL;
    EXPECT_EQ(hx::kern::connectionOpen(service, task, 0, &none), kIOReturnBadArgument);
}

TEST_F(KernConnection, TerminatingClientDropsItsOpen) {
    io_connect_t c = open();
    IOUserClient* uc = hx::kern::connectionClient(c);
    ASSERT_TRUE(service->open(uc));
    ASSERT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
    EXPECT_FALSE(service->isOpen(uc));
    uc->release();
}

// Subscribers get copies of every message, in one order, on their own time.
TEST_F(KernConnection, UserInterestQueuesCopiesInOneOrder) {
    auto s1 = service->subscribeUserInterest();
    auto s2 = service->subscribeUserInterest();
    std::vector<uint8_t> big(5000, 3);
    std::thread t1([&] {
        for (uint32_t i = 0; i < 50; ++i)
            service->messageClients(0x100 + i, &i, sizeof i);
    });
    std::thread t2([&] {
        for (uint32_t i = 0; i < 50; ++i)
            service->messageClients(0x200 + i, big.data(), big.size());
    });
    t1.join();
    t2.join();
    std::vector<UInt32> o1, o2;
    hx::kern::UserInterest::Message m;
    while (s1->next(m)) {
        o1.push_back(m.type);
        if (m.type >= 0x200) {
            EXPECT_EQ(m.argument.size(), 4096u);
        } else {
            EXPECT_EQ(m.argument.size(), 4u);
        }
    }
    while (s2->next(m))
        o2.push_back(m.type);
    EXPECT_EQ(o1.size(), 100u);
    EXPECT_EQ(o1, o2);
    s2->cancel();
    service->messageClients(7);
    EXPECT_TRUE(s1->next(m));
    EXPECT_FALSE(s2->next(m));
}

class DuplicateNameA : public OSObject {
    OSDeclareDefaultStructors(DuplicateNameA)
};
OSDefineMetaClassAndStructors(DuplicateNameA, OSObject)

    TEST(KernClassRegistry, RefusesASecondClassOfARegisteredName) {
    hx::log::Capture cap;
    static const OSMetaClass second("DuplicateNameA", &OSObject::gMetaClass,
                                    &ConnTestClient::MetaClassAlloc);
    EXPECT_FALSE(second.isRegistered());
    EXPECT_TRUE(DuplicateNameA::gMetaClass.isRegistered());
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("DuplicateNameA"), &DuplicateNameA::gMetaClass);
    EXPECT_NE(
        cap.text().find(
            "OSMetaClass: class DuplicateNameA is already registered; the second one is refused\n"),
        std::string::npos);
}

} // namespace
