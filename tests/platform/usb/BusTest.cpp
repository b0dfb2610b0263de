// The simulated bus with an HX-5100 plugged in: frame clock, matching,
// control requests with time-outs, faults, completions on bus threads,
// abort, reset and unplug.
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace StandardUSB;
using hx::usb::Bus;
using hx::usb::BusOptions;
using hx::usb::Fault;
using hx::usb::RequestMatch;
using hx::usb::devices::HX5100Model;

std::shared_ptr<HX5100Model> model(uint8_t speed = kUSBHostConnectionSpeedHigh,
                                   uint16_t product = kKorvexHX5100ProductID) {
    return std::make_shared<HX5100Model>(
        speed, hx::usb::devices::HX5100Identity{kKorvexVendorID, product, 0x0100, "Korvex",
                                                "HX-5100", "SN1"});
}

const DeviceRequest kGetDeviceDescriptor{0x80, kDeviceRequestGetDescriptor, 0x0100, 0, 18};

// A driver for the tests' personality: records where its life cycle ran.
std::atomic<int> gStarts{0}, gTerminates{0};
std::atomic<bool> gTerminateOnTestThread{false};
std::thread::id gTestThread;

class BusTestDriver : public IOService {
    OSDeclareDefaultStructors(BusTestDriver) public : bool start(IOService* provider) override {
        if (!IOService::start(provider) || !OSDynamicCast(IOUSBHostDevice, provider)) return false;
        ++gStarts;
        return true;
    }
    bool terminate(IOOptionBits options) override {
        if (!isInactive()) {
            ++gTerminates;
            if (std::this_thread::get_id() == gTestThread) gTerminateOnTestThread = true;
        }
        return IOService::terminate(options);
    }
};
OSDefineMetaClassAndStructors(BusTestDriver, IOService)

    class BusFixture : public ::testing::Test {
protected:
    void SetUp() override { gTestThread = std::this_thread::get_id(); }
    void TearDown() override {
        hx::kern::waitQuiet();
        hx::kern::removePersonalities("BusTestDriver");
    }
};

TEST_F(BusFixture, FrameNumberStartsWhereAskedNeverAtZeroAndCrosses32Bits) {
    const struct {
        uint64_t first, expectedStart;
    } cases[] = {{0, 1}, {1, 1}, {0xFFFFFFF0ull, 0xFFFFFFF0ull}};
    for (const auto& c : cases) {
        Bus bus(BusOptions{c.first, 2, 2});
        const uint64_t f0 = bus.frameNumber();
        EXPECT_GE(f0, c.expectedStart);
        EXPECT_NE(f0, 0u);
        IOSleep(3);
        EXPECT_GT(bus.frameNumber(), f0); // frames keep counting
    }
    Bus bus(BusOptions{0xFFFFFFFEull, 2, 2});
    IOSleep(5);
    EXPECT_GT(bus.frameNumber(), 0xFFFFFFFFull); // 64-bit count past 2^32
}

TEST_F(BusFixture, PluggingPublishesTheDeviceWithLocationAndLoadsAMatchingDriver) {
    OSDictionary* p = OSDictionary::withCapacity(4);
    const OSObject* values[] = {OSString::withCString("BusTestDriver"),
                                OSString::withCString("IOUSBHostDevice"),
                                OSNumber::withNumber(kKorvexVendorID, 16),
                                OSNumber::withNumber(kKorvexHX5100ProductID, 16)};
    const char* keys[] = {"IOClass", "IOProviderClass", "idVendor", "idProduct"};
    for (int i = 0; i < 4; ++i) {
        p->setObject(keys[i], values[i]);
        values[i]->release();
    }
    hx::kern::addPersonality(p);
    p->release();
    gStarts = 0;
    gTerminates = 0;
    gTerminateOnTestThread = false;
    {
        Bus bus;
        const uint8_t a = bus.plug(model());
        const uint8_t b =
            bus.plug(model(kUSBHostConnectionSpeedFull, 0x5101)); // no driver for this product
        ASSERT_NE(a, 0);
        ASSERT_NE(b, 0);
        hx::kern::waitQuiet();
        EXPECT_EQ(gStarts.load(), 1);
        IOUSBHostDevice* da = bus.copyDevice(a);
        IOUSBHostDevice* db = bus.copyDevice(b);
        ASSERT_TRUE(da && db);
        auto location = [](IOUSBHostDevice* d) {
            OSNumber* n = OSDynamicCast(OSNumber, d->getProperty("locationID"));
            return n ? n->unsigned32BitValue() : 0u;
        };
        EXPECT_NE(location(da), 0u);
        EXPECT_NE(location(da), location(db));
        EXPECT_EQ(da->getSpeed(), kUSBHostConnectionSpeedHigh);
        EXPECT_EQ(db->getSpeed(), kUSBHostConnectionSpeedFull);
        EXPECT_EQ(da->getDeviceDescriptor()->idProduct, kKorvexHX5100ProductID);
        EXPECT_EQ(da->getConfigurationDescriptor(0)->wTotalLength, 159);
        EXPECT_EQ(da->getConfigurationDescriptor(1), nullptr);
        const StringDescriptor* s = da->getStringDescriptor(3);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->bLength, 2 + 2 * 3); // "SN1" in UTF-16
        EXPECT_EQ(s->bString[0], 'S');
        EXPECT_EQ(da->getStringDescriptor(9), nullptr);
        std::vector<IOService*> published = hx::kern::copyServicesOfClass("IOUSBHostDevice");
        EXPECT_EQ(std::count(published.begin(), published.end(), da), 1);
        EXPECT_EQ(std::count(published.begin(), published.end(), db), 1);
        for (IOService* svc : published)
            svc->release();

        bus.unplug(a);
        EXPECT_EQ(da->getFrameNumber(), 0u);
        EXPECT_NE(db->getFrameNumber(), 0u);
        hx::kern::waitQuiet();
        EXPECT_EQ(gTerminates.load(), 1);
        EXPECT_FALSE(gTerminateOnTestThread.load()); // delivered on the kernel thread
        EXPECT_TRUE(da->isInactive());
        uint8_t buf[18];
        uint32_t n = 0;
        DeviceRequest r = kGetDeviceDescriptor;
        EXPECT_EQ(da->deviceRequest(nullptr, r, buf, n), kIOReturnNoDevice);
        da->release();
        db->release();
    }
}

TEST_F(BusFixture, ControlRequestsNeverWritePastWLengthAndTimeOut) {
    Bus bus;
    auto m = model();
    const uint8_t port = bus.plug(m);
    IOUSBHostDevice* d = bus.copyDevice(port);
    uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    DeviceRequest r = kGetDeviceDescriptor;
    r.wLength = 8;
    uint32_t n = 0;
    ASSERT_EQ(d->deviceRequest(nullptr, r, buf, n), kIOReturnSuccess);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(buf[0], 18);
    EXPECT_EQ(buf[8], 0xEE);

    // An IN request without a buffer is refused before it is sent.
    r.wLength = 4;
    EXPECT_EQ(d->deviceRequest(nullptr, r, (void*)nullptr, n), kIOReturnBadArgument);

    // The device answers late: a short time-out ends the request first.
    RequestMatch late;
    late.request = 0x56;
    bus.addFault(port, late, Fault::delay(200));
    DeviceRequest fw{0xC0, 0x56, 0, 0, 8};
    EXPECT_EQ(d->deviceRequest(nullptr, fw, buf, n, 5), kIOReturnTimeout);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(d->deviceRequest(nullptr, fw, buf, n, 0), kIOReturnSuccess); // no time-out: waits
    EXPECT_EQ(n, 8u);
    d->release();
}

TEST_F(BusFixture, FaultKnobsStallOrFailTheNextDeviceDescriptorReads) {
    Bus bus;
    const int stalls = bus.failDeviceDescriptorReads(1, 2, Fault::stall());
    const int errors = bus.failDeviceDescriptorReads(1, 1, Fault::fail(kIOReturnDeviceError));
    RequestMatch mixer;
    mixer.request = 0x4D;
    const int always = bus.addFault(1, mixer, Fault::fail(kIOReturnNotResponding));
    auto m = model();
    ASSERT_EQ(bus.plug(m, 1), 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    uint8_t buf[64] = {};
    uint32_t n = 0;
    const IOReturn expected[] = {kUSBHostReturnPipeStalled, kUSBHostReturnPipeStalled,
                                 kIOReturnDeviceError, kIOReturnSuccess};
    for (IOReturn e : expected) {
        DeviceRequest r = kGetDeviceDescriptor;
        EXPECT_EQ(d->deviceRequest(nullptr, r, buf, n), e);
    }
    DeviceRequest w{0x40, 0x4D, 0, 0, 64};
    EXPECT_EQ(d->deviceRequest(nullptr, w, buf, n), kIOReturnNotResponding);
    EXPECT_EQ(d->deviceRequest(nullptr, w, buf, n), kIOReturnNotResponding);
    EXPECT_EQ(bus.faultHits(1, stalls), 2u);
    EXPECT_EQ(bus.faultHits(1, errors), 1u);
    EXPECT_EQ(bus.faultHits(1, always), 2u);
    // Faulted requests never reached the device.
    ASSERT_EQ(m->trace().size(), 1u);
    EXPECT_EQ(m->trace()[0].setup.wValue, 0x0100);
    bus.clearFaults(1);
    EXPECT_EQ(d->deviceRequest(nullptr, w, buf, n), kIOReturnSuccess);
    d->release();
}

// Completions run on bus threads, at least two of them at once, never in
// the submitting call; a completion may submit again.
struct Chain {
    IOUSBHostDevice* device = nullptr;
    IOBufferMemoryDescriptor* buffer = nullptr;
    IOUSBHostCompletion completion{};
    std::mutex lock;
    std::condition_variable cv;
    std::set<std::thread::id> threads;
    std::vector<IOReturn> statuses;
    int remaining = 0;
    bool inSubmit = false;
    bool ranInline = false;
};

void chainDone(void* owner, void*, IOReturn status, uint32_t) {
    auto* c = static_cast<Chain*>(owner);
    std::unique_lock<std::mutex> l(c->lock);
    if (c->inSubmit) c->ranInline = true;
    c->threads.insert(std::this_thread::get_id());
    c->statuses.push_back(status);
    if (status == kIOReturnSuccess && --c->remaining > 0) {
        DeviceRequest r = kGetDeviceDescriptor;
        c->inSubmit = true;
        EXPECT_EQ(c->device->deviceRequest(nullptr, r, c->buffer, &c->completion),
                  kIOReturnSuccess);
        c->inSubmit = false;
    }
    c->cv.notify_all();
}

TEST_F(BusFixture, CompletionsRunOnBusThreadsAndMayResubmit) {
    Bus bus;
    bus.plug(model(), 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    Chain c;
    c.device = d;
    c.buffer = IOBufferMemoryDescriptor::withCapacity(18, kIODirectionIn);
    c.completion = {&c, chainDone, nullptr};
    c.remaining = 5;
    {
        std::unique_lock<std::mutex> l(c.lock);
        c.inSubmit = true;
        DeviceRequest r = kGetDeviceDescriptor;
        ASSERT_EQ(d->deviceRequest(nullptr, r, c.buffer, &c.completion), kIOReturnSuccess);
        c.inSubmit = false;
        c.cv.wait(l, [&] { return c.statuses.size() == 5; });
    }
    EXPECT_FALSE(c.ranInline);
    EXPECT_EQ(c.threads.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(static_cast<uint8_t*>(c.buffer->getBytesNoCopy())[0], 18);
    c.buffer->release();
    d->release();
}

struct Rendezvous {
    std::mutex lock;
    std::condition_variable cv;
    int arrived = 0;
};

void meet(void* owner, void*, IOReturn, uint32_t) {
    auto* r = static_cast<Rendezvous*>(owner);
    std::unique_lock<std::mutex> l(r->lock);
    ++r->arrived;
    r->cv.notify_all();
    // Both completions must be running at once to get past here.
    r->cv.wait(l, [&] { return r->arrived >= 2; });
}

TEST_F(BusFixture, TwoCompletionsCanRunAtOnce) {
    Bus bus;
    bus.plug(model(), 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    IOBufferMemoryDescriptor* a = IOBufferMemoryDescriptor::withCapacity(18, kIODirectionIn);
    IOBufferMemoryDescriptor* b = IOBufferMemoryDescriptor::withCapacity(18, kIODirectionIn);
    Rendezvous rv;
    IOUSBHostCompletion done{&rv, meet, nullptr};
    DeviceRequest r1 = kGetDeviceDescriptor, r2 = kGetDeviceDescriptor;
    ASSERT_EQ(d->deviceRequest(nullptr, r1, a, &done), kIOReturnSuccess);
    ASSERT_EQ(d->deviceRequest(nullptr, r2, b, &done), kIOReturnSuccess);
    {
        std::unique_lock<std::mutex> l(rv.lock);
        rv.cv.wait(l, [&] { return rv.arrived >= 2; });
    }
    d->abortDeviceRequests(kAbortSynchronous);
    a->release();
    b->release();
    d->release();
}

struct AbortLog {
    std::mutex lock;
    std::vector<IOReturn> statuses;
};

void logStatus(void* owner, void*, IOReturn status, uint32_t) {
    auto* log = static_cast<AbortLog*>(owner);
    std::lock_guard<std::mutex> g(log->lock);
    log->statuses.push_back(status);
}

TEST_F(BusFixture, SynchronousAbortEndsPendingRequestsBeforeReturning) {
    Bus bus;
    RequestMatch any;
    bus.addFault(1, any, Fault::delay(60000)); // the device never answers in time
    bus.plug(model(), 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    IOBufferMemoryDescriptor* buf = IOBufferMemoryDescriptor::withCapacity(18, kIODirectionIn);
    AbortLog log;
    IOUSBHostCompletion done{&log, logStatus, nullptr};
    for (int i = 0; i < 3; ++i) {
        DeviceRequest r = kGetDeviceDescriptor;
        ASSERT_EQ(d->deviceRequest(nullptr, r, buf, &done, 0), kIOReturnSuccess);
    }
    d->abortDeviceRequests(kAbortSynchronous, kIOReturnAborted);
    {
        std::lock_guard<std::mutex> g(log.lock);
        EXPECT_EQ(log.statuses, (std::vector<IOReturn>(3, kIOReturnAborted)));
    }
    buf->release();
    d->release();
}

TEST_F(BusFixture, UnplugEndsAWaitingRequestWithNoDevice) {
    Bus bus;
    RequestMatch any;
    bus.addFault(1, any, Fault::delay(60000));
    bus.plug(model(), 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    std::atomic<IOReturn> result{kIOReturnSuccess};
    std::atomic<bool> sent{false};
    std::thread waiter([&] {
        uint8_t buf[18];
        uint32_t n = 0;
        DeviceRequest r = kGetDeviceDescriptor;
        sent = true;
        result = d->deviceRequest(nullptr, r, buf, n, 0);
    });
    while (!sent)
        IOSleep(1);
    IOSleep(5); // let it reach the bus; an unplug before that is refused the same way
    bus.unplug(1);
    waiter.join();
    EXPECT_EQ(result.load(), kIOReturnNoDevice);
    EXPECT_EQ(d->getFrameNumber(), 0u);
    d->release();
}

TEST_F(BusFixture, ResetKeepsTheDeviceDropsInterfacesAndConfigurationRecreatesThem) {
    Bus bus;
    auto m = model();
    bus.plug(m, 1);
    IOUSBHostDevice* d = bus.copyDevice(1);
    auto interfaces = [&] {
        std::vector<IOUSBHostInterface*> out;
        OSIterator* it = d->getClientIterator();
        while (OSObject* o = it->getNextObject())
            if (auto* i = OSDynamicCast(IOUSBHostInterface, o)) out.push_back(i);
        it->release();
        return out;
    };
    EXPECT_EQ(d->setConfiguration(2), kUSBHostReturnPipeStalled);
    ASSERT_EQ(d->setConfiguration(1, false), kIOReturnSuccess);
    std::vector<IOUSBHostInterface*> first = interfaces();
    ASSERT_EQ(first.size(), 4u);
    IOUSBHostInterface* playback = first[1];
    playback->retain();
    EXPECT_EQ(playback->getInterfaceDescriptor()->bInterfaceNumber, 1);

    // Open with the alternate selected in the same call; its pipe exists.
    IOService* opener = new IOService;
    ASSERT_TRUE(
        playback->open(opener, kUSBHostOpenOptionSelectAlternateInterface, (void*)(uintptr_t)2));
    EXPECT_EQ(m->alternateSetting(1), 2);
    IOUSBHostPipe* out = playback->copyPipe(0x01);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(getEndpointMaxPacketSize(out->getEndpointDescriptor()), 156);
    EXPECT_EQ(playback->copyPipe(0x82), nullptr);
    m->clearTrace();
    EXPECT_EQ(out->clearStall(true), kIOReturnSuccess);
    ASSERT_EQ(m->trace().size(), 1u);
    EXPECT_EQ(m->trace()[0].setup.bRequest, kDeviceRequestClearFeature);
    EXPECT_EQ(m->trace()[0].setup.wIndex, 0x01);
    EXPECT_EQ(playback->selectAlternateSetting(0), kIOReturnSuccess);
    EXPECT_TRUE(out->isStale());
    EXPECT_EQ(playback->copyPipe(0x01), nullptr);
    EXPECT_EQ(playback->selectAlternateSetting(7), kUSBHostReturnPipeStalled);
    playback->close(opener);

    EXPECT_EQ(d->reset(), kIOReturnSuccess);
    EXPECT_EQ(m->configurationValue(), 0);
    hx::kern::waitQuiet();
    EXPECT_TRUE(interfaces().empty());
    EXPECT_TRUE(playback->isInactive());
    EXPECT_EQ(playback->selectAlternateSetting(1), kIOReturnNotAttached);
    EXPECT_FALSE(d->isInactive());
    ASSERT_EQ(d->setConfiguration(1, false), kIOReturnSuccess);
    EXPECT_EQ(interfaces().size(), 4u);
    out->release();
    playback->release();
    opener->release();
    d->release();
}

} // namespace

namespace {

// Re-enumeration, asked by the driver or by the device after a replug
// command: the request is answered, then the device object goes as on an
// unplug and a new one comes up on the same port for the same model, whose
// state stays.
TEST_F(BusFixture, ReEnumerationBringsTheDeviceBackOnItsPortWithItsState) {
    Bus bus;
    auto m = model();
    const uint8_t port = bus.plug(m);
    hx::kern::waitQuiet();
    for (bool byDevice : {false, true}) {
        SCOPED_TRACE(byDevice);
        IOUSBHostDevice* before = bus.copyDevice(port);
        ASSERT_NE(before, nullptr);
        DeviceRequest codec{0x40, 0x41, (2 << 9) | 0x1F, 0x102, 0};
        uint32_t n = 0;
        ASSERT_EQ(before->deviceRequest(nullptr, codec, (void*)nullptr, n), kIOReturnSuccess);
        if (byDevice) {
            DeviceRequest replug{0x40, 0x52, 0, 0, 0};
            EXPECT_EQ(before->deviceRequest(nullptr, replug, (void*)nullptr, n), kIOReturnSuccess);
        } else {
            EXPECT_EQ(before->reEnumerateDevice(0), kIOReturnSuccess);
        }
        hx::kern::waitQuiet();
        EXPECT_TRUE(before->isUnplugged());
        IOUSBHostDevice* after = bus.copyDevice(port);
        ASSERT_NE(after, nullptr);
        EXPECT_NE(after, before);
        EXPECT_FALSE(after->isUnplugged());
        EXPECT_EQ(m->codecRegister(0, 2), 0x1F);
        after->release();
        before->release();
    }
}

} // namespace
