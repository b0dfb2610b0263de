// The audio server plug-in as the host meets it: the bundle installed in
// the plug-in folder under the root, its factory and the 23 entries of the
// driver interface, the entries' checks, and Initialize with IOKit failing.
// The plug-in's state lives with the process, so this program loads the one
// bundle once and its tests run in order.
#include <array>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>

#include "platform/base/HXPath.h"
#include "platform/base/MacErrors.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/sys/HXProcess.h"

namespace {

using hx::coreaudio::fourCC;
using hx::coreaudio::ServerHost;
using hx::coreaudio::uuidBytes;

constexpr OSStatus kBadObject = OSStatus(0x216F626A), kNope = OSStatus(0x6E6F7065);
constexpr OSStatus kWho = OSStatus(0x77686F3F), kUnop = OSStatus(0x756E6F70);
constexpr OSStatus kStop = OSStatus(0x73746F70);
constexpr HRESULT kNoInterface = HRESULT(0x80000004);

CFUUIDRef uuid(const char* text) {
    CFStringRef s = CFStringCreateWithCString(nullptr, text, kCFStringEncodingASCII);
    CFUUIDRef u = CFUUIDCreateFromString(nullptr, s);
    CFRelease(s);
    return u;
}

AudioObjectPropertyAddress glob(const char (&selector)[5]) {
    return {fourCC(selector), kAudioObjectPropertyScopeGlobal, 0};
}

// The bundle installed under a root of this program's own, its factory
// found as the host finds it.
class Factory : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sRoot = new hx::test::TempRoot;
        ASSERT_TRUE(ServerHost::installBundle(HX_SERVER_PLUGIN_BUNDLE));
        // A HAL plug-in beside it is not a server plug-in.
        ASSERT_TRUE(ServerHost::installBundle(HX_HAL_PLUGIN_BUNDLE));
        sType = uuid(kAudioServerPlugInTypeUUIDText);
        const auto found = hx::cf::plugInsForType(hx::coreaudio::kServerPlugInFolder, sType);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0],
                  std::string(hx::coreaudio::kServerPlugInFolder) + "/HXServerPlugIn.driver");
        const hx::cf::LoadedFactory loaded = hx::cf::loadFactory(found[0], sType);
        sFactory = loaded.function;
        ASSERT_NE(sFactory, nullptr);
        // The factory is all the bundle shows; its libraries stay private.
        EXPECT_EQ(dlsym(loaded.library, "QnASPlugInCreate"), reinterpret_cast<void*>(sFactory));
        EXPECT_EQ(dlsym(loaded.library, "gAudioServerPlugInDriverInterfacePtr"), nullptr);
        EXPECT_EQ(dlsym(loaded.library, "_ZN16QnASPlugInPlugIn11GetInstanceEv"), nullptr);
    }
    static void TearDownTestSuite() {
        hx::sys::resetProcessOverrides();
        delete sRoot;
        sRoot = nullptr;
    }
    static AudioServerPlugInDriverRef create(CFUUIDRef type) {
        return static_cast<AudioServerPlugInDriverRef>(sFactory(nullptr, type));
    }
    static AudioServerPlugInDriverRef driver() {
        hx::sys::setEmulatedRelease(std::string("13.0.0"));
        return create(sType);
    }
    static const AudioServerPlugInDriverInterface& entries() { return **driver(); }

    static inline hx::test::TempRoot* sRoot = nullptr;
    static inline CFUUIDRef sType = nullptr;
    static inline hx::cf::PlugInFactoryFunction sFactory = nullptr;
};

// First in the program: the count starts at 1 when the bundle loads.
TEST_F(Factory, AnswersOnlyItsTypeOnReleaseThirteenAndCountsItsReferences) {
    CFUUIDRef halType = uuid("F8BB1C28-BAE8-11D6-9C31-00039315CD46");
    hx::sys::setEmulatedRelease(std::string("13.0.0"));
    EXPECT_EQ(create(halType), nullptr);
    hx::sys::setEmulatedRelease(std::string("12.6.0"));
    EXPECT_EQ(create(sType), nullptr);
    CFRelease(halType);

    AudioServerPlugInDriverRef d = driver();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(driver(), d); // the same reference, the one plug-in
    EXPECT_EQ((*d)->_reserved, nullptr);

    // QueryInterface for IUnknown, the driver interface, something else.
    void* out = nullptr;
    EXPECT_EQ((*d)->QueryInterface(d, uuidBytes(kIUnknownUUIDText), &out), 0);
    EXPECT_EQ(out, d);
    EXPECT_EQ((*d)->AddRef(d), 3u); // 1 at load, 2 after QueryInterface
    out = nullptr;
    EXPECT_EQ((*d)->QueryInterface(d, uuidBytes(kAudioServerPlugInDriverInterfaceUUIDText), &out),
              0);
    EXPECT_EQ(out, d);
    void* untouched = &out;
    EXPECT_EQ(
        (*d)->QueryInterface(d, uuidBytes("6C2E8A7F-1B55-4E0B-9A3C-55D0F6A1E2B3"), &untouched),
        kNoInterface);
    EXPECT_EQ(untouched, &out);
    EXPECT_EQ((*d)->QueryInterface(d, uuidBytes(kIUnknownUUIDText), nullptr), kNope);
    int foreign = 0;
    EXPECT_EQ((*d)->QueryInterface(&foreign, uuidBytes(kIUnknownUUIDText), &out), kBadObject);
    EXPECT_EQ((*d)->AddRef(&foreign), 0u);
    EXPECT_EQ((*d)->Release(&foreign), 0u);

    // Down to 0, where a release leaves it; nothing is freed at any count.
    EXPECT_EQ((*d)->Release(d), 3u);
    EXPECT_EQ((*d)->Release(d), 2u);
    EXPECT_EQ((*d)->Release(d), 1u);
    EXPECT_EQ((*d)->Release(d), 0u);
    EXPECT_EQ((*d)->Release(d), 0u);
    EXPECT_EQ((*d)->AddRef(d), 1u);
    const AudioObjectPropertyAddress devices = glob("dev#");
    EXPECT_TRUE((*d)->HasProperty(d, 1, 0, &devices));
}

TEST_F(Factory, EntriesCheckTheDriverThePointersAndTheObject) {
    AudioServerPlugInDriverRef d = driver();
    const AudioServerPlugInDriverInterface& e = entries();
    int foreign = 0;
    auto* other = reinterpret_cast<AudioServerPlugInDriverRef>(&foreign);
    const AudioObjectPropertyAddress devices = glob("dev#"), unknown = glob("QNrt");
    constexpr AudioObjectID kUnmapped = 0x7FFFFFF0;

    // HasProperty hides every failure behind false.
    EXPECT_TRUE(e.HasProperty(d, 1, 0, &devices));
    EXPECT_FALSE(e.HasProperty(d, 1, 0, nullptr));
    EXPECT_FALSE(e.HasProperty(d, kUnmapped, 0, &devices));
    EXPECT_FALSE(e.HasProperty(other, 1, 0, &devices));
    EXPECT_FALSE(e.HasProperty(d, 1, 0, &unknown));

    Boolean settable = 7;
    EXPECT_EQ(e.IsPropertySettable(d, 1, 0, &devices, &settable), 0);
    EXPECT_EQ(settable, false);
    EXPECT_EQ(e.IsPropertySettable(d, 1, 0, &unknown, &settable), kWho);
    EXPECT_EQ(e.IsPropertySettable(d, 1, 0, &devices, nullptr), kNope);
    EXPECT_EQ(e.IsPropertySettable(other, 1, 0, &devices, &settable), kBadObject);
    UInt32 size = 99;
    EXPECT_EQ(e.GetPropertyDataSize(d, 1, 0, &devices, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 0u); // no kernel device here
    EXPECT_EQ(e.GetPropertyDataSize(d, kUnmapped, 0, &devices, 0, nullptr, &size), kBadObject);
    EXPECT_EQ(e.GetPropertyDataSize(d, 1, 0, nullptr, 0, nullptr, &size), kNope);

    // An unknown property: 'who?', the outs untouched.
    std::array<UInt8, 16> out;
    out.fill(0xA5);
    UInt32 outSize = 0xDEADBEEF;
    EXPECT_EQ(e.GetPropertyData(d, 1, 0, &unknown, 0, nullptr, 16, &outSize, out.data()), kWho);
    EXPECT_EQ(outSize, 0xDEADBEEFu);
    for (UInt8 b : out)
        EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(e.GetPropertyData(d, 1, 0, &devices, 0, nullptr, 16, &outSize, nullptr), kNope);
    EXPECT_EQ(e.GetPropertyData(d, 1, 0, &devices, 0, nullptr, 16, nullptr, out.data()), kNope);

    // The plug-in's properties are not settable.
    const UInt32 value = 0;
    EXPECT_EQ(e.SetPropertyData(d, 1, 0, &devices, 0, nullptr, 4, &value), kUnop);
    EXPECT_EQ(e.SetPropertyData(d, 1, 0, &unknown, 0, nullptr, 4, &value), kWho);
    EXPECT_EQ(e.SetPropertyData(d, 1, 0, nullptr, 0, nullptr, 4, &value), kNope);

    // Creating and destroying devices is not supported, whatever the arguments.
    EXPECT_EQ(e.CreateDevice(d, nullptr, nullptr, nullptr), kUnop);
    EXPECT_EQ(e.CreateDevice(other, nullptr, nullptr, nullptr), kUnop);
    EXPECT_EQ(e.DestroyDevice(d, 1), kUnop);
}

// The device-only entries refuse the plug-in object (1) and unmapped IDs as
// bad objects, after the driver and pointer checks.
TEST_F(Factory, DeviceEntriesRefuseObjectsThatAreNoDevice) {
    AudioServerPlugInDriverRef d = driver();
    const AudioServerPlugInDriverInterface& e = entries();
    int foreign = 0;
    auto* other = reinterpret_cast<AudioServerPlugInDriverRef>(&foreign);
    AudioServerPlugInIOCycleInfo cycle{};
    Float64 sample = 0;
    UInt64 host = 0, seed = 0;
    Boolean will = false, inPlace = false;
    UInt8 buffer[64] = {};
    for (AudioObjectID id : {AudioObjectID(1), AudioObjectID(0x7FFFFFF0)}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(e.StartIO(d, id, 0), kBadObject);
        EXPECT_EQ(e.StopIO(d, id, 0), kBadObject);
        EXPECT_EQ(e.PerformDeviceConfigurationChange(d, id, 1, nullptr), kBadObject);
        EXPECT_EQ(e.AbortDeviceConfigurationChange(d, id, 1, nullptr), kBadObject);
        EXPECT_EQ(e.GetZeroTimeStamp(d, id, 0, &sample, &host, &seed), kBadObject);
        EXPECT_EQ(e.WillDoIOOperation(d, id, 0, fourCC("read"), &will, &inPlace), kBadObject);
        EXPECT_EQ(e.BeginIOOperation(d, id, 0, fourCC("read"), 16, &cycle), kBadObject);
        EXPECT_EQ(e.DoIOOperation(d, id, id, 0, fourCC("read"), 16, &cycle, buffer, nullptr),
                  kBadObject);
        EXPECT_EQ(e.EndIOOperation(d, id, 0, fourCC("read"), 16, &cycle), kBadObject);
    }
    // Pointer checks come before the lookup; the driver check before both.
    EXPECT_EQ(e.GetZeroTimeStamp(d, 1, 0, nullptr, &host, &seed), kNope);
    EXPECT_EQ(e.GetZeroTimeStamp(d, 1, 0, &sample, &host, nullptr), kNope);
    EXPECT_EQ(e.WillDoIOOperation(d, 1, 0, 0, nullptr, &inPlace), kNope);
    EXPECT_EQ(e.BeginIOOperation(d, 1, 0, 0, 16, nullptr), kNope);
    EXPECT_EQ(e.DoIOOperation(d, 1, 1, 0, 0, 16, nullptr, buffer, nullptr), kNope);
    EXPECT_EQ(e.EndIOOperation(d, 1, 0, 0, 16, nullptr), kNope);
    EXPECT_EQ(e.StartIO(other, 1, 0), kBadObject);
    EXPECT_EQ(e.BeginIOOperation(other, 1, 0, 0, 16, nullptr), kBadObject);
    EXPECT_EQ(e.PerformDeviceConfigurationChange(other, 1, 1, nullptr), kBadObject);
}

TEST_F(Factory, AddDeviceClientRefusesOnlyTheDJApplication) {
    AudioServerPlugInDriverRef d = driver();
    const AudioServerPlugInDriverInterface& e = entries();
    struct Case {
        CFTypeRef bundleID;
        OSStatus expected;
    };
    const int number = 5;
    CFNumberRef notAString = CFNumberCreate(nullptr, kCFNumberSInt32Type, &number);
    const Case cases[] = {
        {CFSTR("com.platterdj.platter"), kStop},
        {CFSTR("COM.PlatterDJ.PLATTER"), kStop},
        {CFSTR("com.platterdj.platter2"), 0},
        {CFSTR("com.example.player"), 0},
        {nullptr, 0},
        {notAString, 0},
    };
    for (const Case& c : cases) {
        const AudioServerPlugInClientInfo info{7, 4242, true, static_cast<CFStringRef>(c.bundleID)};
        EXPECT_EQ(e.AddDeviceClient(d, 0x7FFFFFF0, &info), c.expected);
        EXPECT_EQ(e.RemoveDeviceClient(d, 0x7FFFFFF0, &info), 0);
    }
    // No client info: a client without a bundle identifier.
    EXPECT_EQ(e.AddDeviceClient(d, 1, nullptr), 0);
    EXPECT_EQ(e.RemoveDeviceClient(d, 1, nullptr), 0);
    CFRelease(notAString);
}

// Initialize with IOKit refusing the matching notification answers IOKit's
// status and leaves no port or iterator; a later Initialize starts the
// notifications. A foreign driver answers '!obj'.
TEST_F(Factory, InitializeAnswersIOKitsFailureAndLeavesNothingBehind) {
    AudioServerPlugInDriverRef d = driver();
    const AudioServerPlugInDriverInterface& e = entries();
    int foreign = 0;
    EXPECT_EQ(e.Initialize(reinterpret_cast<AudioServerPlugInDriverRef>(&foreign), nullptr),
              kBadObject);
    const long ports = hx::iokit::liveNotificationPortCount();
    const std::size_t objects = hx::iokit::liveObjectCount();
    hx::iokit::failNextMatchingNotification(kIOReturnNoResources);
    EXPECT_EQ(e.Initialize(d, nullptr), kIOReturnNoResources);
    EXPECT_EQ(hx::iokit::liveNotificationPortCount(), ports);
    EXPECT_EQ(hx::iokit::liveObjectCount(), objects);
    EXPECT_EQ(e.Initialize(d, nullptr), 0);
    EXPECT_EQ(hx::iokit::liveNotificationPortCount(), ports + 1);
    EXPECT_EQ(hx::iokit::liveObjectCount(), objects + 1); // the matching iterator
    // Started once: a second Initialize changes nothing.
    EXPECT_EQ(e.Initialize(d, nullptr), 0);
    EXPECT_EQ(hx::iokit::liveNotificationPortCount(), ports + 1);
}

// The host finds the bundle in the folder (the HAL plug-in beside it is not
// taken), queries, releases the factory's reference and initializes; its
// calls reach the plug-in object.
TEST_F(Factory, TheHostLoadsTheBundleFromThePlugInFolder) {
    hx::coreaudio::ServerHostOptions options;
    options.release = "13.0.0";
    options.storageName = "factory";
    ServerHost host(options);
    ASSERT_EQ(host.load(), 0);
    host.settle();
    EXPECT_TRUE(host.devices().empty());
    const AudioObjectPropertyAddress manufacturer = glob("lmak");
    CFStringRef name = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(host.getPropertyData(1, 0, manufacturer, 0, nullptr, sizeof name, &size, &name), 0);
    EXPECT_EQ(size, sizeof name);
    EXPECT_TRUE(name && CFGetTypeID(name) == CFStringGetTypeID());
    host.shutdown();
}

} // namespace
