// The device's writes: the rate and the clock source become configuration
// changes the host performs, custom values reach the kernel's settings
// bridge only when they are of the right kind, and the debug overrides
// recompute latencies.
#include "tests/plugins/server/DevicePropertyFixture.h"

#include "platform/coreaudio/ServerHost.h"
#include "tests/plugins/server/ServerDriverReference.h"

using namespace hx::test;

namespace {

using DeviceWrites = DevicePropertyFixture;

CFNumberRef number(SInt32 v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}

CFDataRef data(size_t bytes) {
    std::vector<uint8_t> b(bytes, 1);
    return CFDataCreate(nullptr, b.data(), CFIndex(bytes));
}

} // namespace

TEST_F(DeviceWrites, TheRateIsCheckedAgainstTheRangesAndRequestedOnlyWhenItDiffers) {
    const Float64 same = 48000, odd = 12345, nan = std::nan("");
    EXPECT_EQ(set(fcc("nsrt"), 8, &same), 0);
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
    EXPECT_EQ(set(fcc("nsrt"), 8, &odd), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(fcc("nsrt"), 8, &nan), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(set(fcc("nsrt"), 4, &same), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(fcc("nsrt"), 16, &same), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(fcc("nsrt"), 8, nullptr), OSStatus(kIOReturnInternalError));
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
}

TEST_F(DeviceWrites, SizesAndNullDataOfTheOtherWrites) {
    const UInt32 one = 1;
    EXPECT_EQ(set(fcc("csrc"), 3, &one), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(fcc("csrc"), 4, nullptr), OSStatus(kIOReturnInternalError));
    for (const auto& entry : qnas::QnASCustomProperties) {
        if (!qnas::isSettableCustomProperty(entry.mSelector)) {
            CFNumberRef n = number(1);
            EXPECT_EQ(setObject(entry.mSelector, n), kAudioHardwareUnknownPropertyError);
            CFRelease(n);
            continue;
        }
        EXPECT_EQ(set(entry.mSelector, 7, &one), kAudioHardwareBadPropertySizeError);
        EXPECT_EQ(set(entry.mSelector, 8, nullptr), OSStatus(kIOReturnInternalError));
    }
    for (const char* sel : {"akin", "lnam", "uid ", "fsiz", "ltnc"})
        EXPECT_EQ(set(code(sel), 8, &one), kAudioHardwareUnknownPropertyError) << sel;
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
}

TEST_F(DeviceWrites, WrongKindsOfValueReachNoKernelCall) {
    CFNumberRef n = number(3);
    CFStringRef s = CFSTR("3");
    CFDataRef shortData = data(4), eleven = data(11);
    CFDictionaryRef emptyDictionary =
        CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    struct Case {
        const char* sel;
        CFTypeRef value;
        OSStatus status;
    };
    const Case cases[] = {
        {"QnCS", nullptr, kIOReturnBadArgument},
        {"QnCS", s, kIOReturnBadArgument},
        {"QnDM", s, kIOReturnBadArgument},
        {"QnDM", nullptr, kIOReturnBadArgument},
        {"QnFM", s, kIOReturnBadArgument},
        {"QnFP", shortData, kIOReturnBadArgument},
        {"QnOS", s, kIOReturnBadArgument},
        {"QnU1", emptyDictionary, kIOReturnBadArgument},
        {"QnSt", s, kIOReturnBadArgument},
        {"QnSt", nullptr, kIOReturnBadArgument},
        {"QnMM", s, kIOReturnBadArgument},
        {"QnMB", n, kIOReturnBadArgument},
        {"QnMB", shortData, kIOReturnInternalError},
        {"QnRB", shortData, kIOReturnInternalError},
        {"QnRB", nullptr, kIOReturnBadArgument},
        {"QnRM", s, kIOReturnBadArgument},
        {"QnRM", shortData, kIOReturnInternalError},
        {"QnMF", n, kIOReturnBadArgument},
        {"QnMF", emptyDictionary, kIOReturnInternalError},
        {"QnSV", shortData, kIOReturnBadArgument},
        {"QnSV", emptyDictionary, kIOReturnInternalError},
        {"QnRo", n, kIOReturnBadArgument},
        {"QnRo", eleven, kIOReturnBadArgument},
        {"QnRo", nullptr, kIOReturnBadArgument},
    };
    service->clearCalls();
    for (const Case& c : cases) {
        const UInt32 sel = code(c.sel);
        EXPECT_EQ(setObject(sel, c.value), c.status) << c.sel;
    }
    EXPECT_TRUE(service->calls().empty()); // no call of any kind
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
    CFRelease(n);
    CFRelease(shortData);
    CFRelease(eleven);
    CFRelease(emptyDictionary);
}

TEST_F(DeviceWrites, NumbersReachTheirSetters) {
    // Each write is one dispatch of the settings bridge (request 35), its
    // code first; streaming suspended (38) for 0 and resumed (37) otherwise.
    struct Case {
        const char* sel;
        SInt32 value;
        uint32_t dispatch;
    };
    const Case cases[] = {{"QnDM", 1, 28}, {"QnFM", 2, 52}, {"QnFP", 1, 54}, {"QnOS", 3, 3},
                          {"QnU1", 1, 26}, {"QnSt", 0, 38}, {"QnSt", 5, 37}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sel);
        service->clearCalls();
        CFNumberRef n = number(c.value);
        EXPECT_EQ(setObject(code(c.sel), n), 0);
        CFRelease(n);
        const auto calls = service->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].request, 35u);
        uint32_t words[2] = {};
        ASSERT_GE(calls[0].payload.size(), sizeof words);
        std::memcpy(words, calls[0].payload.data(), sizeof words);
        EXPECT_EQ(words[0], c.dispatch);
        if (std::string(c.sel) != "QnSt") {
            EXPECT_EQ(words[1], uint32_t(c.value));
        }
    }
    // 'QnSt' answers success whatever the kernel answers.
    service->script([](KernelScript& s) { s.standing[35] = {kIOReturnError, {}, false, 0}; });
    CFNumberRef zero = number(0);
    EXPECT_EQ(setObject(fcc("QnSt"), zero), 0);
    EXPECT_EQ(setObject(fcc("QnFM"), zero), OSStatus(kIOReturnInternalError));
    CFRelease(zero);
}

TEST_F(DeviceWrites, RoutingNeedsTwelveBytesAndThePreferencesRegistry) {
    CFDataRef twelve = data(12), sixteen = data(16);
    service->clearCalls();
    EXPECT_EQ(setObject(fcc("QnRo"), twelve), 0); // the device has its registry
    EXPECT_EQ(setObject(fcc("QnRo"), sixteen), 0);
    EXPECT_EQ(service->requests(), (std::vector<uint32_t>{35, 35}));
    const auto calls = service->calls();
    // The kernel refusing: 0xE00002C9.
    service->script([](KernelScript& s) { s.standing[35] = {kIOReturnError, {}, false, 0}; });
    EXPECT_EQ(setObject(fcc("QnRo"), twelve), OSStatus(kIOReturnInternalError));
    CFRelease(twelve);
    CFRelease(sixteen);
}

TEST_F(DeviceWrites, DebugOverridesRecomputeAndANonNumberClears) {
    const UInt32 before = device->getLatency(true);
    CFNumberRef hundred = number(100);
    EXPECT_EQ(setObject(fcc("DbLI"), hundred), 0);
    EXPECT_EQ(device->getLatency(true), 100u);
    EXPECT_EQ(word(fcc("ltnc"), kInpt), 100u);
    EXPECT_EQ(setObject(fcc("DbLI"), CFSTR("100")), 0); // cleared
    EXPECT_EQ(device->getLatency(true), before);
    EXPECT_EQ(setObject(fcc("DbSO"), hundred), 0);
    EXPECT_EQ(device->getSafetyOffset(false), 100u);
    EXPECT_EQ(setObject(fcc("DbSO"), nullptr), 0);
    EXPECT_NE(device->getSafetyOffset(false), 100u);
    CFRelease(hundred);
}

TEST_F(DeviceWrites, TheReadOnlyTypeIsNotSettable) {
    const AudioObjectPropertyAddress a{fcc("QnTy"), kGlob, 0};
    EXPECT_FALSE(device->IsPropertySettable(id, kReaderPid, a));
    CFStringRef s = CFSTR("x");
    EXPECT_EQ(setObject(fcc("QnTy"), s), kAudioHardwareUnknownPropertyError);
}

// Through the driver's own entry: the frame asks whether the property is
// settable before the device sees the write, so the type answers 'unop'.
TEST_F(DeviceWrites, TheTypeWrittenThroughTheDriverIsAnUnsupportedOperation) {
    AudioServerPlugInDriverRef driver = hx::test::serverDriverReference();
    ASSERT_NE(driver, nullptr);
    const AudioObjectPropertyAddress a{fcc("QnTy"), kGlob, 0};
    Boolean settable = true;
    EXPECT_EQ((*driver)->IsPropertySettable(driver, id, kReaderPid, &a, &settable), 0);
    EXPECT_FALSE(settable);
    CFStringRef s = CFSTR("x");
    EXPECT_EQ((*driver)->SetPropertyData(driver, id, kReaderPid, &a, 0, nullptr, sizeof s, &s),
              kAudioHardwareUnsupportedOperationError);
    // A settable one goes through to the device.
    const AudioObjectPropertyAddress latency{fcc("DbLI"), kGlob, 0};
    CFStringRef clear = CFSTR("clear");
    EXPECT_EQ((*driver)->SetPropertyData(driver, id, kReaderPid, &latency, 0, nullptr, sizeof clear,
                                         &clear),
              0);
}

// Through the host: each request is performed with its own value.
class DeviceWritesThroughTheHost : public DevicePropertyFixture {
protected:
    void SetUp() override {
        DevicePropertyFixture::SetUp();
        QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
        ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
        host.settle();
    }
    void TearDown() override {
        host.shutdown();
        DevicePropertyFixture::TearDown();
    }
    hx::coreaudio::ServerHost host;
};

TEST_F(DeviceWritesThroughTheHost, ClockSourceWritesEachRequestAChangeWithItsValue) {
    const UInt32 one = 1;
    ASSERT_EQ(set(fcc("csrc"), 4, &one), 0);
    CFNumberRef two = number(2);
    ASSERT_EQ(setObject(fcc("QnCS"), two), 0);
    CFRelease(two);
    host.settle();
    const auto changes = host.configurationChanges();
    ASSERT_EQ(changes.size(), 2u);
    for (const auto& c : changes) {
        EXPECT_EQ(c.action, UInt64(kQnConfigChangeClockSource));
        EXPECT_TRUE(c.performed);
    }
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
}

TEST_F(DeviceWrites, ARateOfAnotherRangeIsRequestedWithItsValue) {
    const Float64 rate = 44100;
    ASSERT_EQ(set(fcc("nsrt"), 8, &rate), 0);
    EXPECT_EQ(device->outstandingConfigChanges(), 1u); // no host: the request waits
}

TEST_F(DeviceWritesThroughTheHost, ARateWriteWhileRunningStopsPerformsAndRestarts) {
    UInt32 client = 0;
    ASSERT_EQ(host.addClient(id, 4242, nullptr, &client), 0);
    ASSERT_EQ(host.startIO(id, client), 0);
    service->clearCalls();
    const Float64 rate = 44100;
    ASSERT_EQ(set(fcc("nsrt"), 8, &rate), 0);
    host.settle();
    const auto changes = host.configurationChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].action, UInt64(kQnConfigChangeSampleRate));
    EXPECT_TRUE(changes[0].performed);
    // Stopped, the new settings sent (request 6), started again.
    std::vector<std::pair<uint32_t, uint32_t>> order;
    for (const KernelCall& c : service->calls())
        if (c.selector == 2 || c.selector == 3 || (c.selector == 6 && c.request == 6))
            order.emplace_back(c.selector, c.request);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {{3, 0}, {6, 6}, {2, 0}};
    EXPECT_EQ(order, expected);
    for (const KernelCall& c : service->calls())
        if (c.selector == 6 && c.request == 6) {
            QnChannelSettings sent{};
            ASSERT_GE(c.payload.size(), sizeof sent);
            std::memcpy(&sent, c.payload.data(), sizeof sent);
            EXPECT_EQ(sent.Frequency, 44100u);
        }
    EXPECT_EQ(host.stopIO(id, client), 0);
    host.removeClient(id, client);
}

// Every settable selector at sizes 0, needed - 1, needed and needed + 16.
TEST_F(DeviceWrites, SetsAtEverySize) {
    struct Row {
        UInt32 sel;
        UInt32 needed;
        bool exact; // only the needed size
    };
    std::vector<Row> rows = {{fcc("nsrt"), 8, true}, {fcc("csrc"), 4, false}};
    for (const auto& e : qnas::QnASCustomProperties)
        if (qnas::isSettableCustomProperty(e.mSelector)) rows.push_back({e.mSelector, 8, false});
    ASSERT_EQ(rows.size(), 21u);
    const Float64 rate = 48000;
    CFNumberRef n = number(0);
    for (const Row& r : rows) {
        std::vector<uint8_t> bytes(r.needed + 16, 0);
        if (r.sel == fcc("nsrt"))
            std::memcpy(bytes.data(), &rate, 8);
        else if (r.needed == 8)
            std::memcpy(bytes.data(), &n, 8);
        for (UInt32 size : {0u, r.needed - 1, r.needed, r.needed + 16}) {
            SCOPED_TRACE(std::to_string(r.sel) + " size " + std::to_string(size));
            const OSStatus s = set(r.sel, size, bytes.data());
            const bool fits = size == r.needed || (size > r.needed && !r.exact);
            if (fits)
                EXPECT_NE(s, kAudioHardwareBadPropertySizeError);
            else
                EXPECT_EQ(s, kAudioHardwareBadPropertySizeError);
            // Null data is refused after the size check.
            EXPECT_EQ(set(r.sel, size, nullptr),
                      fits ? OSStatus(kIOReturnInternalError) : kAudioHardwareBadPropertySizeError);
        }
    }
    CFRelease(n);
}
