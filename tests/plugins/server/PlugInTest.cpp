// The plug-in object: its properties, its device list (filled through the
// test seam with objects of the test's own; discovery's own filling is
// DiscoveryTest's), storage without a host, deactivation.
#include "plugins/server/QnASPlugInPlugIn.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "platform/base/HXLog.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "platform/cf/CoreFoundation.h"

namespace {

AudioObjectPropertyAddress glob(AudioObjectPropertySelector s) {
    return AudioObjectPropertyAddress{s, kAudioObjectPropertyScopeGlobal, 0};
}

OSStatus statusOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CAException& e) {
        return e.GetError();
    }
    return 0;
}

// A device object answering its UID (the caller owns the string).
class UIDDevice : public QnASPlugInObject {
public:
    UIDDevice(AudioObjectID id, const char* uid)
        : QnASPlugInObject(id, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject),
          mUID(uid) {}
    bool HasProperty(AudioObjectID o, pid_t p, const AudioObjectPropertyAddress& a) const override {
        return a.mSelector == kAudioDevicePropertyDeviceUID ||
               QnASPlugInObject::HasProperty(o, p, a);
    }
    void GetPropertyData(AudioObjectID o, pid_t p, const AudioObjectPropertyAddress& a, UInt32 qs,
                         const void* q, UInt32 size, UInt32& outSize, void* out) const override {
        if (a.mSelector != kAudioDevicePropertyDeviceUID)
            return QnASPlugInObject::GetPropertyData(o, p, a, qs, q, size, outSize, out);
        CFStringRef s = CFStringCreateWithCString(nullptr, mUID, kCFStringEncodingUTF8);
        std::memcpy(out, &s, sizeof s);
        outSize = sizeof s;
    }

private:
    const char* mUID;
};

// Two devices in the list, made once for the process (the plug-in is one).
class PlugIn : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Every suite deriving from this one shares the same two devices.
        if (sFirst != 0) return;
        QnASPlugInPlugIn* p = QnASPlugInPlugIn::GetInstance();
        ASSERT_NE(p, nullptr);
        sFirst = QnASPlugInObjectMap::GetNextObjectID();
        sSecond = QnASPlugInObjectMap::GetNextObjectID();
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(sFirst, new UIDDevice(sFirst, "HX5100-A")));
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(sSecond, new UIDDevice(sSecond, "HX5100-B")));
        p->TestSeam_AddDevice(sFirst);
        p->TestSeam_AddDevice(sSecond);
    }
    QnASPlugInPlugIn& plugIn() { return *QnASPlugInPlugIn::GetInstance(); }
    static inline AudioObjectID sFirst = 0;
    static inline AudioObjectID sSecond = 0;
};

TEST_F(PlugIn, IsObjectOneOfClassPlugIn) {
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(1), &plugIn());
    QnASPlugInObjectMap::ReleaseObject(&plugIn());
    EXPECT_EQ(QnASPlugInPlugIn::GetInstance(), &plugIn());
    UInt32 v = 0, size = 0;
    plugIn().GetPropertyData(1, 0, glob(kAudioObjectPropertyClass), 0, nullptr, 4, size, &v);
    EXPECT_EQ(v, kAudioPlugInClassID);
    plugIn().GetPropertyData(1, 0, glob(kAudioObjectPropertyBaseClass), 0, nullptr, 4, size, &v);
    EXPECT_EQ(v, kAudioObjectClassID);
    plugIn().GetPropertyData(1, 0, glob(kAudioObjectPropertyOwner), 0, nullptr, 4, size, &v);
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(plugIn().IsActive());
    EXPECT_FALSE(plugIn().allowCurrentSROnly());
}

struct ListCase {
    AudioObjectPropertySelector selector;
    UInt32 bufferBytes;
    UInt32 expectedCount;
};

class DeviceList : public PlugIn, public ::testing::WithParamInterface<ListCase> {};

TEST_P(DeviceList, FillsWhatFitsInListOrder) {
    const ListCase& c = GetParam();
    EXPECT_EQ(plugIn().GetPropertyDataSize(1, 0, glob(c.selector), 0, nullptr), 8u);
    AudioObjectID ids[4] = {};
    UInt32 size = 99;
    const UInt32 streamClass = kAudioStreamClassID; // a class filter 'ownd' ignores
    plugIn().GetPropertyData(1, 0, glob(c.selector), sizeof streamClass, &streamClass,
                             c.bufferBytes, size, ids);
    EXPECT_EQ(size, c.expectedCount * 4);
    if (c.expectedCount > 0) {
        EXPECT_EQ(ids[0], sFirst);
    }
    if (c.expectedCount > 1) {
        EXPECT_EQ(ids[1], sSecond);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceList,
                         ::testing::Values(ListCase{kAudioPlugInPropertyDeviceList, 8, 2},
                                           ListCase{kAudioPlugInPropertyDeviceList, 4, 1},
                                           ListCase{kAudioPlugInPropertyDeviceList, 16, 2},
                                           ListCase{kAudioPlugInPropertyDeviceList, 3, 0},
                                           ListCase{kAudioObjectPropertyOwnedObjects, 8, 2},
                                           ListCase{kAudioObjectPropertyOwnedObjects, 4, 1}));

TEST_F(PlugIn, ScopeOtherThanGlobalHasNothing) {
    EXPECT_TRUE(plugIn().HasProperty(1, 0, glob(kAudioPlugInPropertyDeviceList)));
    EXPECT_FALSE(
        plugIn().HasProperty(1, 0,
                             AudioObjectPropertyAddress{kAudioPlugInPropertyDeviceList,
                                                        kAudioDevicePropertyScopeInput, 0}));
    EXPECT_FALSE(
        plugIn().HasProperty(1, 0,
                             AudioObjectPropertyAddress{kAudioPlugInPropertyDeviceList,
                                                        kAudioObjectPropertyScopeGlobal, 1}));
    EXPECT_FALSE(plugIn().IsPropertySettable(1, 0, glob(kAudioPlugInPropertyDeviceList)));
    EXPECT_EQ(statusOf([&] {
                  plugIn().SetPropertyData(1, 0, glob(kAudioPlugInPropertyDeviceList), 0, nullptr,
                                           0, nullptr);
              }),
              kAudioHardwareUnknownPropertyError);
}

TEST_F(PlugIn, ManufacturerAndResourceBundle) {
    CFStringRef s = nullptr;
    UInt32 size = 0;
    EXPECT_EQ(statusOf([&] {
                  plugIn().GetPropertyData(1, 0, glob(kAudioObjectPropertyManufacturer), 0, nullptr,
                                           4, size, &s);
              }),
              kAudioHardwareBadPropertySizeError);
    plugIn().GetPropertyData(1, 0, glob(kAudioObjectPropertyManufacturer), 0, nullptr, 8, size, &s);
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(CFEqual(s, CFSTR("Apple Inc.")));
    plugIn().GetPropertyData(1, 0, glob(kAudioPlugInPropertyResourceBundle), 0, nullptr, 8, size,
                             &s);
    EXPECT_TRUE(CFEqual(s, CFSTR("")));
}

struct UIDCase {
    const char* name;
    const char* uid; // null: a null qualifier
    bool asNumber;
    int expected; // 0 none, 1 first, 2 second
};

class TranslateUID : public PlugIn, public ::testing::WithParamInterface<UIDCase> {};

TEST_P(TranslateUID, FindsTheListedDeviceByUID) {
    const UIDCase& c = GetParam();
    CFTypeRef qualifier = nullptr;
    if (c.asNumber) {
        int n = 5;
        qualifier = CFNumberCreate(nullptr, kCFNumberIntType, &n);
    } else if (c.uid) {
        qualifier = CFStringCreateWithCString(nullptr, c.uid, kCFStringEncodingUTF8);
    }
    AudioObjectID found = 0xFFFF;
    UInt32 size = 0;
    plugIn().GetPropertyData(1, 0, glob(kAudioPlugInPropertyTranslateUIDToDevice), sizeof qualifier,
                             &qualifier, 4, size, &found);
    EXPECT_EQ(size, 4u);
    const AudioObjectID expected = c.expected == 1 ? sFirst : c.expected == 2 ? sSecond : 0;
    EXPECT_EQ(found, expected);
    if (qualifier) CFRelease(qualifier);
}

INSTANTIATE_TEST_SUITE_P(Table, TranslateUID,
                         ::testing::Values(UIDCase{"first", "HX5100-A", false, 1},
                                           UIDCase{"second", "HX5100-B", false, 2},
                                           UIDCase{"unknown", "HX5100-C", false, 0},
                                           UIDCase{"caseDiffers", "hx5100-b", false, 0},
                                           UIDCase{"null", nullptr, false, 0},
                                           UIDCase{"number", nullptr, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlugIn, TranslateUIDChecksSizes) {
    CFStringRef q = CFSTR("HX5100-A");
    AudioObjectID found = 0;
    UInt32 size = 0;
    EXPECT_EQ(statusOf([&] {
                  plugIn().GetPropertyData(1, 0, glob(kAudioPlugInPropertyTranslateUIDToDevice), 4,
                                           &q, 4, size, &found);
              }),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(statusOf([&] {
                  plugIn().GetPropertyData(1, 0, glob(kAudioPlugInPropertyTranslateUIDToDevice), 8,
                                           &q, 2, size, &found);
              }),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(PlugIn, StorageWithoutAHost) {
    ASSERT_EQ(QnASPlugInPlugIn::sHost.load(), nullptr);
    hx::log::Capture capture;
    CFPropertyListRef out = CFSTR("untouched");
    EXPECT_EQ(QnASPlugInPlugIn::CopyFromStorage(CFSTR("key"), &out), -1);
    EXPECT_NE(capture.text().find("CopyFromStorage: Can't get host.("), std::string::npos);
    capture.clear();
    EXPECT_EQ(QnASPlugInPlugIn::WriteToStorage(CFSTR("key"), nullptr), -1);
    EXPECT_EQ(QnASPlugInPlugIn::WriteToStorage(CFSTR("key"), CFSTR("v")), -1);
    EXPECT_EQ(capture.text(), "");
}

} // namespace
