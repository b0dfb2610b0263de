// The IOKit service wrapper and iterator on the real kernel service (the
// bus with an HX-5100, the kernel driver and its user clients, in-process
// transport), and the IOKit calls they need.
#include "plugins/server/QnASPlugInIOKitObject.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"
#include "abi/QN_Dispatch.h"
#include "abi/ServiceClass.h"
#include "device/FWUpdaterDetection.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/kern/IOLib.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/CAException.h"

namespace {

constexpr const char* kOpen = "bool QnASPlugInIOKitObject::OpenConnection(UInt32)";

class Service : public ::testing::Test {
protected:
    Service() {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        mHarness = std::make_unique<hx::harness::ClientHarness>();
        mBooted = mHarness->boot();
    }
    ~Service() override {
        hx::sys::resetProcessOverrides();
        mHarness.reset();
    }
    static io_service_t findService() {
        QnASPlugInIOKitIterator services(IOServiceMatching(kZrServiceClassName));
        return services.Next();
    }
    hx::test::TempRoot mRoot;
    std::unique_ptr<hx::harness::ClientHarness> mHarness;
    bool mBooted = false;
};

TEST_F(Service, ConformsToItsClassAndIOService) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    ASSERT_TRUE(service.IsValid());
    EXPECT_TRUE(service.ConformsTo(kZrServiceClassName));
    EXPECT_TRUE(service.ConformsTo("IOService"));
    EXPECT_FALSE(service.ConformsTo("IOUserClient"));
    const io_service_t again = findService();
    EXPECT_TRUE(service.IsEqualTo(again));
    EXPECT_EQ(again, service.GetObject()); // one entry keeps one name in a process
    IOObjectRelease(again);
    EXPECT_TRUE(QnASPlugInIOKitObject::TestForLiveness(service.GetObject()));
    EXPECT_FALSE(QnASPlugInIOKitObject::TestForLiveness(0));
}

TEST_F(Service, WritesNotificationPortsAndTrapsAsTheKernelAnswers) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    OSStatus status = 0;
    try {
        service.SetProperty_UInt32(CFSTR("Anything"), 1);
    } catch (const CAException& e) {
        status = e.GetError();
    }
    EXPECT_EQ(status, kIOReturnUnsupported);
    ASSERT_TRUE(service.OpenConnection(3));
    status = 0;
    try {
        service.SetConnectionNotificationPort(0, 77, nullptr);
    } catch (const CAException& e) {
        status = e.GetError();
    }
    EXPECT_EQ(status, kIOReturnUnsupported);
    service.SetConnectionNotificationPort(0, MACH_PORT_NULL, nullptr); // never throws
    EXPECT_EQ(service.CallTrap(0), kIOReturnBadArgument);
    service.CloseConnection();
    EXPECT_EQ(service.CallTrap(0), OSStatus(0x73746F70)); // 'stop' when closed
}

TEST_F(Service, OpensAfterTheNoUpdaterOpenOnAFreshKernel) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    hx::log::Capture log;
    ASSERT_TRUE(service.OpenConnection(3));
    const std::string text = log.text();
    EXPECT_NE(text.find(std::string(kOpen) + " IOServiceOpen returned "), std::string::npos);
    EXPECT_NE(text.find(std::string(kOpen) + " 2nd attempt IOServiceOpen returned 00000000\n"),
              std::string::npos);
    log.clear();
    EXPECT_TRUE(service.OpenConnection(3)); // already open: nothing more
    EXPECT_EQ(log.text(), "");
}

TEST_F(Service, ALiveUpdaterMarkerRefusesTheOpen) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    hx::sys::setOwnProcessName(std::string("Updater"));
    ASSERT_TRUE(fwupdateRegister());
    hx::log::Capture log;
    EXPECT_FALSE(service.OpenConnection(3));
    EXPECT_NE(log.text().find(std::string(kOpen) + " fwUpdaterActive\n"), std::string::npos);
    EXPECT_FALSE(service.IsConnectionOpen());
    fwupdateUnRegister();
}

TEST_F(Service, ClosedWrapperRefusesCallsButWritesTheRequest) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    OSXDispatch record{};
    EXPECT_FALSE(service.CallDriver(42, record));
    EXPECT_EQ(record.iReq, 42u);
    EXPECT_EQ(service.CallMethod(0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
              OSStatus(0x73746F70));
}

TEST_F(Service, MappingOfAnotherSizeIsRefused) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    ASSERT_TRUE(service.OpenConnection(3));
    UInt32 wrong = 1234;
    EXPECT_EQ(service.MapMemory(0, 0, wrong), nullptr);
}

TEST_F(Service, ParentByClassIsTheUSBNub) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    const io_object_t nub = QnASPlugInIOKitObject::CopyParentByClassName(
        service.GetObject(), "IOUSBHostDevice", "IOService");
    ASSERT_NE(nub, 0u);
    EXPECT_TRUE(IOObjectConformsTo(nub, "IOUSBHostDevice"));
    EXPECT_EQ(QnASPlugInIOKitObject::CopyParentByClassName(service.GetObject(), "IOUSBHostDevice",
                                                           "IODeviceTree"),
              0u);
    // The nub's children include the service.
    QnASPlugInIOKitIterator children(nub, "IOService");
    bool found = false;
    while (io_object_t child = children.Next()) {
        found |= IOObjectIsEqualTo(child, service.GetObject());
        IOObjectRelease(child);
    }
    EXPECT_TRUE(found);
    IOObjectRelease(nub);
}

TEST_F(Service, MatchingByPropertyValue) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    CFStringRef uid = nullptr;
    ASSERT_TRUE(
        QnASPlugInIOKitObject::CopyProperty_CFString(service.GetObject(), CFSTR("deviceUID"), uid));
    CFMutableDictionaryRef matching = IOServiceMatching(kZrServiceClassName);
    const io_object_t found = QnASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(
        matching, CFSTR("deviceUID"), uid);
    EXPECT_TRUE(IOObjectIsEqualTo(found, service.GetObject()));
    IOObjectRelease(found);
    CFStringRef other = CFSTR("no such device");
    EXPECT_EQ(QnASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(matching,
                                                                         CFSTR("deviceUID"), other),
              0u);
    CFRelease(matching);
    CFRelease(uid);
}

struct Heard {
    std::mutex lock;
    std::vector<natural_t> types;
    std::vector<std::string> queues;
};

void interest(void* refCon, io_service_t, natural_t type, void*) {
    auto* heard = static_cast<Heard*>(refCon);
    std::lock_guard<std::mutex> g(heard->lock);
    heard->types.push_back(type);
    heard->queues.push_back(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL));
}

// State changes reach a port delivering on a dispatch queue there, in send
// order, and nothing after the port is destroyed.
TEST_F(Service, StateChangesReachAQueuedPortInSendOrder) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    dispatch_queue_t queue = dispatch_queue_create("test.iokit.notices", DISPATCH_QUEUE_SERIAL);
    IONotificationPortSetDispatchQueue(port, queue);
    Heard heard;
    io_object_t note = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, &interest, &heard,
                                               &note),
              KERN_SUCCESS);
    IOService* kernelService = mHarness->service();
    for (natural_t i = 0; i < 5; ++i)
        kernelService->messageClients(0xE0000F00 + i);
    hx::dispatch::drain(queue);
    {
        std::lock_guard<std::mutex> g(heard.lock);
        ASSERT_EQ(heard.types.size(), 5u);
        for (natural_t i = 0; i < 5; ++i) {
            EXPECT_EQ(heard.types[i], 0xE0000F00 + i);
            EXPECT_EQ(heard.queues[i], "test.iokit.notices");
        }
    }
    IONotificationPortDestroy(port);
    kernelService->messageClients(0xE0000F10);
    hx::dispatch::drain(queue);
    {
        std::lock_guard<std::mutex> g(heard.lock);
        EXPECT_EQ(heard.types.size(), 5u);
    }
    IOObjectRelease(note);
    IOObjectRelease(service);
    dispatch_release(queue);
}

TEST(IOKitObject, AWrapperFromADictionaryAnswersFromItAlone) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    SInt32 v = 7;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    CFDictionarySetValue(d, CFSTR("Seven"), n);
    CFRelease(n);
    QnASPlugInIOKitObject wrapper(static_cast<CFDictionaryRef>(d));
    UInt32 out = 0;
    EXPECT_TRUE(wrapper.CopyProperty_UInt32(CFSTR("Seven"), out));
    EXPECT_EQ(out, 7u);
    EXPECT_FALSE(wrapper.IsServiceAlive());
    EXPECT_EQ(wrapper.CallTrap(0), OSStatus(0x73746F70));
    OSXDispatch record{};
    EXPECT_FALSE(wrapper.CallDriver(3, record));
    wrapper = wrapper; // self-assignment changes nothing
    EXPECT_TRUE(wrapper.CopyProperty_UInt32(CFSTR("Seven"), out));
    QnASPlugInIOKitIterator none;
    none = none;
    EXPECT_FALSE(none.IsValid());
}

} // namespace

// The three mappings of the server's client come at the sizes the kernel
// publishes them: the driver area and the two rings.
TEST_F(Service, MapsTheDriverAreaAndBothRingsAtTheirSizes) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    QnASPlugInIOKitObject service(findService());
    ASSERT_TRUE(service.OpenConnection(3));
    const struct { UInt32 type, size; } maps[] = {{1, 30744}, {4, 540656}, {5, 540656}};
    for (const auto& m : maps) {
        SCOPED_TRACE(m.type);
        UInt32 size = m.size;
        void* at = service.MapMemory(m.type, 0, size);
        EXPECT_NE(at, nullptr);
        EXPECT_EQ(size, m.size);
    }
}

// Request 42 answers the device's audio-running flag: 0 on a fresh kernel,
// 1 once the harness's client has started the engine, still 1 after that
// client closed (the engine runs on without clients), 0 once the sleep
// request stopped it. Each question opens a wrapper of its own on the
// service found at that moment, and it is always the same service: closing
// a wrapper never takes the service away.
TEST_F(Service, RequestFortyTwoAnswersWhetherTheDeviceStreams) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    std::vector<std::string> uids;
    const auto ask = [&](UInt32 request = 42) {
        QnASPlugInIOKitObject service(findService());
        CFStringRef uid = nullptr;
        if (QnASPlugInIOKitObject::CopyProperty_CFString(service.GetObject(), CFSTR("deviceUID"),
                                                         uid)) {
            char text[64] = {};
            CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8);
            uids.emplace_back(text);
            CFRelease(uid);
        }
        EXPECT_TRUE(service.OpenConnection(3));
        OSXDispatch record{};
        EXPECT_TRUE(service.CallDriver(request, record));
        uint32_t word = 0xFFFFFFFF;
        std::memcpy(&word, reinterpret_cast<const uint8_t*>(&record) + kOSXDispatchValueOffset,
                    sizeof word);
        return word;
    };
    EXPECT_EQ(ask(), 0u);
    ASSERT_TRUE(mHarness->start()) << mHarness->lastError();
    mHarness->run(200000);
    EXPECT_EQ(ask(), 1u);
    mHarness->stop();
    hx::kern::waitQuiet();
    EXPECT_EQ(ask(), 1u);
    ask(43); // the sleep request stops streaming
    EXPECT_EQ(ask(), 0u);
    ASSERT_EQ(uids.size(), 5u);
    for (const std::string& uid : uids)
        EXPECT_EQ(uid, uids.front());
    EXPECT_FALSE(mHarness->device()->isStreamingStarted());
}

// With two HX-5100s plugged, the "deviceUID" of the second finds the second.
TEST_F(Service, DeviceUIDFindsTheSecondOfTwoDevices) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t first = findService();
    hx::usb::devices::HX5100Identity id{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                        "KORVEX AUDIO",  "HX5100 USB",           "SN0002"};
    const uint8_t port = mHarness->bus()->plug(
        std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, id));
    ASSERT_NE(port, 0);
    hx::kern::waitQuiet();
    io_service_t second = 0;
    {
        QnASPlugInIOKitIterator services(IOServiceMatching(kZrServiceClassName));
        while (io_object_t s = services.Next()) {
            if (!IOObjectIsEqualTo(s, first) && !second)
                second = s;
            else
                IOObjectRelease(s);
        }
    }
    ASSERT_NE(second, 0u);
    CFStringRef uid = nullptr;
    ASSERT_TRUE(QnASPlugInIOKitObject::CopyProperty_CFString(second, CFSTR("deviceUID"), uid));
    CFMutableDictionaryRef matching = IOServiceMatching(kZrServiceClassName);
    const io_object_t found = QnASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(
        matching, CFSTR("deviceUID"), uid);
    EXPECT_TRUE(IOObjectIsEqualTo(found, second));
    EXPECT_FALSE(IOObjectIsEqualTo(found, first));
    IOObjectRelease(found);
    CFRelease(matching);
    CFRelease(uid);
    IOObjectRelease(second);
    IOObjectRelease(first);
    mHarness->bus()->unplug(port);
    hx::kern::waitQuiet();
}
