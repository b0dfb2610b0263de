// The USB device nub as user space sees it, on both transports: found by
// "IOUSBDevice" with its identifiers at both speeds (interfaces never), its
// path in the service plane, first-match once per plug, and control requests
// on its default pipe with their limits. Then the plug-in and device
// interface of the user-side calls.
#include "platform/iokit/IOUSBLib.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"
#include "platform/cf/CFNumber.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/ProcessTransport.h"
#include "tests/platform/iokit/NotificationCollector.h"
#include "platform/kern/IOService.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::iokit::Handle;
using hx::iokit::NotificationRecord;
using hx::iokit::Transport;
using hx::usb::devices::HX5100Model;

std::shared_ptr<HX5100Model> hx5100(uint8_t speed) {
    return std::make_shared<HX5100Model>(
        speed, hx::usb::devices::HX5100Identity{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                                "KORVEX AUDIO", "HX5100 USB", "SN1"});
}

// A matching dictionary for the class with the identifiers as 32-bit numbers
// (the nub holds them as 16-bit ones).
CFMutableDictionaryRef usbMatching(const char* cls, int32_t vendor, int32_t product) {
    CFMutableDictionaryRef m = IOServiceMatching(cls);
    if (vendor >= 0) {
        CFNumberRef v = CFNumberCreate(nullptr, kCFNumberSInt32Type, &vendor);
        CFDictionarySetValue(m, CFSTR("idVendor"), v);
        CFRelease(v);
    }
    if (product >= 0) {
        CFNumberRef p = CFNumberCreate(nullptr, kCFNumberSInt32Type, &product);
        CFDictionarySetValue(m, CFSTR("idProduct"), p);
        CFRelease(p);
    }
    return m;
}

using iokittest::Collector;

class USBDeviceNub : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "in-process") {
            transport = hx::iokit::makeInProcessTransport();
            return;
        }
        char dir[] = "/tmp/hxusbnub.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        mDir = dir;
        host = std::make_unique<hx::iokit::KernelHost>(mDir + "/kernel.sock", nullptr);
        std::string error;
        ASSERT_TRUE(host->start(error)) << error;
        int page = -1;
        transport = hx::iokit::makeProcessTransport(mDir + "/kernel.sock", error, &page);
        if (page >= 0) ::close(page);
    }
    void TearDown() override {
        transport.reset();
        if (host) host->stop();
        if (!mDir.empty()) ::rmdir(mDir.c_str());
        hx::kern::waitQuiet();
    }
    std::vector<Handle> find(CFMutableDictionaryRef m) {
        std::vector<Handle> found;
        EXPECT_EQ(transport->getMatchingServices(m, found), KERN_SUCCESS);
        CFRelease(m);
        return found;
    }
    void release(const std::vector<Handle>& hs) {
        for (Handle h : hs)
            transport->releaseService(h);
    }
    std::unique_ptr<hx::iokit::KernelHost> host;
    std::unique_ptr<Transport> transport;
    std::string mDir;
};

TEST_P(USBDeviceNub, FoundAsIOUSBDeviceByItsIdentifiersAtBothSpeedsInterfacesNever) {
    for (uint8_t speed : {kUSBHostConnectionSpeedFull, kUSBHostConnectionSpeedHigh}) {
        SCOPED_TRACE(int(speed));
        hx::usb::Bus bus;
        const uint8_t port = bus.plug(hx5100(speed));
        ASSERT_NE(port, 0);
        hx::kern::waitQuiet();
        // Interfaces exist once the device is configured.
        IOUSBHostDevice* dev = bus.copyDevice(port);
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(dev->setConfiguration(1), kIOReturnSuccess);
        dev->release();
        hx::kern::waitQuiet();

        const struct {
            const char* cls;
            int32_t vendor, product;
            size_t found;
        } cases[] = {
            {"IOUSBDevice", kKorvexVendorID, kKorvexHX5100ProductID, 1},
            {"IOUSBHostDevice", kKorvexVendorID, kKorvexHX5100ProductID, 1},
            {"IOUSBDevice", kKorvexVendorID, kKorvexHX5100SiblingProductID, 0},
            {"IOUSBDevice", 0x1234, kKorvexHX5100ProductID, 0},
            {"IOUSBDevice", -1, -1, 1}, // the class alone: the device, not its interfaces
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.cls);
            const auto found = find(usbMatching(c.cls, c.vendor, c.product));
            EXPECT_EQ(found.size(), c.found);
            for (Handle h : found) {
                bool conforms = false;
                EXPECT_EQ(transport->conformsTo(h, "IOUSBDevice", &conforms), KERN_SUCCESS);
                EXPECT_TRUE(conforms);
                std::string path;
                ASSERT_EQ(transport->registryPath(h, "IOService", path), KERN_SUCCESS);
                EXPECT_EQ(path.rfind("IOService:/", 0), 0u) << path;
                EXPECT_NE(path.find("IOUSBHostDevice"), std::string::npos) << path;
                EXPECT_EQ(transport->registryPath(h, "IODeviceTree", path), kIOReturnBadArgument);
            }
            release(found);
        }
        const auto interfaces = find(IOServiceMatching("IOUSBHostInterface"));
        EXPECT_FALSE(interfaces.empty());
        for (Handle h : interfaces) {
            bool conforms = true;
            EXPECT_EQ(transport->conformsTo(h, "IOUSBDevice", &conforms), KERN_SUCCESS);
            EXPECT_FALSE(conforms);
        }
        release(interfaces);
        bus.unplug(port);
        hx::kern::waitQuiet();
    }
}

TEST_P(USBDeviceNub, FirstMatchComesOncePerPlug) {
    Collector sink;
    Handle port = 0, sub = 0;
    ASSERT_EQ(transport->createPort(&sink, &port), KERN_SUCCESS);
    std::vector<Handle> existing;
    CFMutableDictionaryRef m = usbMatching("IOUSBDevice", kKorvexVendorID, kKorvexHX5100ProductID);
    ASSERT_EQ(
        transport->subscribeServices(port, NotificationRecord::FirstMatch, m, 5, &sub, &existing),
        KERN_SUCCESS);
    CFRelease(m);
    EXPECT_TRUE(existing.empty());
    hx::usb::Bus bus;
    uint8_t at = bus.plug(hx5100(kUSBHostConnectionSpeedHigh));
    auto got = sink.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    // Configured (its interfaces published) and unplugged: nothing more for
    // it; the next plug is the next record.
    IOUSBHostDevice* dev = bus.copyDevice(at);
    ASSERT_EQ(dev->setConfiguration(1), kIOReturnSuccess);
    dev->release();
    bus.unplug(at);
    hx::kern::waitQuiet();
    at = bus.plug(hx5100(kUSBHostConnectionSpeedFull));
    got = sink.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].service, got[1].service);
    for (const auto& r : got) {
        EXPECT_EQ(r.kind, NotificationRecord::FirstMatch);
        EXPECT_EQ(r.tag, 5u);
        transport->releaseService(r.service);
    }
    transport->unsubscribe(sub);
    transport->destroyPort(port);
    bus.unplug(at);
}

TEST_P(USBDeviceNub, DeviceRequestsMoveWhatTheDeviceAnswersWithinTheirLimits) {
    auto model = hx5100(kUSBHostConnectionSpeedHigh);
    hx::usb::Bus bus;
    const uint8_t at = bus.plug(model);
    hx::kern::waitQuiet();
    const auto found = find(usbMatching("IOUSBDevice", kKorvexVendorID, kKorvexHX5100ProductID));
    ASSERT_EQ(found.size(), 1u);
    const Handle nub = found[0];
    model->clearTrace();

    Transport::DeviceRequest firmware;
    firmware.requestType = 0xC0; // vendor, device, IN
    firmware.request = 0x56;
    firmware.length = 8;
    ASSERT_EQ(transport->deviceRequest(nub, firmware), kIOReturnSuccess);
    EXPECT_EQ(firmware.done, 8u);
    EXPECT_EQ(firmware.data, (std::vector<uint8_t>{4, 1, 23, 0, 0, 0, 0, 0}));
    EXPECT_EQ(model->trace().size(), 1u);

    // Over the limit, or OUT data that disagrees with the length: refused
    // before the device sees anything.
    Transport::DeviceRequest big = firmware;
    big.data.clear();
    big.length = 4097;
    EXPECT_EQ(transport->deviceRequest(nub, big), kIOReturnBadArgument);
    EXPECT_EQ(big.done, 0u);
    Transport::DeviceRequest shortOut;
    shortOut.requestType = 0x40;
    shortOut.request = 0x01;
    shortOut.length = 4;
    shortOut.data = {1, 2};
    EXPECT_EQ(transport->deviceRequest(nub, shortOut), kIOReturnBadArgument);
    EXPECT_EQ(model->trace().size(), 1u);

    // A service of another family has no default pipe.
    std::vector<Handle> none;
    const auto root = find(IOServiceMatching("IOPMrootDomain"));
    for (Handle h : root) {
        Transport::DeviceRequest r = firmware;
        r.data.clear();
        EXPECT_EQ(transport->deviceRequest(h, r), kIOReturnUnsupported);
    }
    release(root);

    bus.unplug(at);
    hx::kern::waitQuiet();
    Transport::DeviceRequest late = firmware;
    late.data.clear();
    EXPECT_EQ(transport->deviceRequest(nub, late), kIOReturnNoDevice);
    EXPECT_EQ(late.done, 0u);
    release(found);
}

INSTANTIATE_TEST_SUITE_P(Transports, USBDeviceNub, ::testing::Values("in-process", "process"),
                         [](const auto& info) {
                             return std::string(info.param) == "in-process" ? "InProcess"
                                                                            : "Process";
                         });

// The user-side plug-in and device interface (this process's transport).
TEST(USBDevicePlugIn, MadeForADeviceNubOnlyAndItsInterfaceSendsRequests) {
    auto model = hx5100(kUSBHostConnectionSpeedHigh);
    hx::usb::Bus bus;
    const uint8_t at = bus.plug(model);
    hx::kern::waitQuiet();
    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(
                  kIOMasterPortDefault,
                  usbMatching("IOUSBDevice", kKorvexVendorID, kKorvexHX5100ProductID), &it),
              KERN_SUCCESS);
    io_service_t nub = IOIteratorNext(it);
    IOObjectRelease(it);
    ASSERT_NE(nub, 0u);
    EXPECT_TRUE(IOObjectConformsTo(nub, "IOUSBDevice"));
    io_string_t path = {};
    ASSERT_EQ(IORegistryEntryGetPath(nub, "IOService", path), KERN_SUCCESS);
    EXPECT_EQ(std::string(path).rfind("IOService:/", 0), 0u);
    EXPECT_EQ(IORegistryEntryGetPath(nub, "IOPower", path), kIOReturnBadArgument);

    // Refused once by the hook, then made.
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    hx::iokit::refuseNextPlugIn(kIOReturnNoResources);
    EXPECT_EQ(IOCreatePlugInInterfaceForService(nub, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              kIOReturnNoResources);
    EXPECT_EQ(plugIn, nullptr);
    ASSERT_EQ(IOCreatePlugInInterfaceForService(nub, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              KERN_SUCCESS);
    ASSERT_NE(plugIn, nullptr);
    LPVOID other = reinterpret_cast<LPVOID>(1);
    EXPECT_EQ(
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceUserClientTypeID), &other),
        HRESULT(0x80000004));
    EXPECT_EQ(other, nullptr);
    IOUSBDeviceInterface** dev = nullptr;
    ASSERT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                        reinterpret_cast<LPVOID*>(&dev)),
              S_OK);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ((*plugIn)->AddRef(plugIn), 2u);
    EXPECT_EQ((*plugIn)->Release(plugIn), 1u);
    EXPECT_EQ(IODestroyPlugInInterface(plugIn), KERN_SUCCESS); // the interface stays

    model->clearTrace();
    uint8_t reply[8] = {};
    IOUSBDevRequest r{0xC0, 0x56, 0, 0, 8, reply, 0};
    ASSERT_EQ((*dev)->DeviceRequest(dev, &r), kIOReturnSuccess);
    EXPECT_EQ(r.wLenDone, 8u);
    EXPECT_EQ(reply[0], 4);
    EXPECT_EQ(reply[2], 23);
    IOUSBDevRequest noData{0xC0, 0x56, 0, 0, 8, nullptr, 0};
    EXPECT_EQ((*dev)->DeviceRequest(dev, &noData), kIOReturnBadArgument);
    EXPECT_EQ(model->trace().size(), 1u);
    (*dev)->Release(dev);

    // Another family's service offers no such plug-in.
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                           IOServiceMatching("IOPMrootDomain"), &it),
              KERN_SUCCESS);
    while (io_service_t s = IOIteratorNext(it)) {
        EXPECT_EQ(IOCreatePlugInInterfaceForService(s, kIOUSBDeviceUserClientTypeID,
                                                    kIOCFPlugInInterfaceID, &plugIn, &score),
                  kIOReturnUnsupported);
        IOObjectRelease(s);
    }
    IOObjectRelease(it);
    IOObjectRelease(nub);
    bus.unplug(at);
    hx::kern::waitQuiet();
}

} // namespace
