// The HAL plug-in tests' fixture: the whole simulated machine in this
// process on the virtual clock (the device road), the installed bundle, a
// HAL host that loads it, a second HX-5100 to plug and unplug, and other
// products (an output-only HX-5100, a Farlane, the Trunk2, class-compliant devices)
// plugged under driver personalities of the test's choosing.
#pragma once

#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"

#include "abi/APIDeviceInfo.h"
#include "abi/DeviceFamilies.h"
#include "abi/ProductIdentities.h"
#include "device/harness/DeviceRoad.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOService.h"
#include "platform/kern/OSContainers.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/ClassAudioModel.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/usb/devices/HX5100Model.h"
#include "tests/support/ClassControlsLayout.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace hx::haltest {

namespace fs = std::filesystem;
using hx::coreaudio::HALHost;
using hx::coreaudio::HALHostOptions;
using hx::devroad::DeviceRoad;

inline constexpr OSStatus kNoDevice = OSStatus(0xE00002C0);
inline constexpr OSStatus kError = OSStatus(0xE00002BC);
inline constexpr OSStatus kBadArgument = OSStatus(0xE00002C2);
// The features record's output-only flag.
inline constexpr unsigned kOutputOnlyFeature = 10;

class HALPlugIn : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(hx::path::map("/tmp"));
        mRoad = std::make_unique<DeviceRoad>(48000);
        ASSERT_TRUE(mRoad->boot()) << mRoad->error();
        // An ordinary user's process: a device object opening a fresh
        // device (a later plug) restores it.
        hx::sys::setOwnUid(501);
        ASSERT_TRUE(HALHost::installBundle(HX_HAL_PLUGIN_BUNDLE));
    }
    void TearDown() override {
        unplugSecond();
        unplugOther();
        mHost.reset();
        mRoad.reset();
        hx::sys::resetProcessOverrides();
    }
    OSStatus load(HALHostOptions options = {}) {
        mHost = std::make_unique<HALHost>(options);
        return mHost->load();
    }
    void settle() {
        hx::kern::waitQuiet();
        mHost->settle();
    }
    // Lets virtual time pass in small steps until done() holds (a device's
    // arrival takes the manager's 100 ms pause and the device's opening).
    template <class Pred> bool settleUntil(Pred done) {
        for (int i = 0; i < 300 && !done(); ++i) {
            settle();
            if (!done()) mRoad->run(10000);
        }
        settle();
        return done();
    }
    bool devicesBecome(std::size_t n) {
        return settleUntil([&] { return mHost->devices().size() == n; });
    }
    std::string bundle() const {
        return std::string(hx::coreaudio::kHALPlugInFolder) + "/HXHalPlugIn.plugin";
    }
    AudioDeviceID onlyDevice() {
        auto list = mHost->devices();
        return list.size() == 1 ? list[0] : 0;
    }
    void plugSecond() {
        hx::usb::devices::HX5100Identity id{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                            "KORVEX AUDIO",  "HX5100 USB",           "SN0002"};
        mSecond = std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, id);
        mSecondPort = mRoad->harness()->bus()->plug(mSecond);
        hx::kern::waitQuiet();
    }
    void unplugSecond() {
        if (!mSecondPort) return;
        mRoad->harness()->bus()->unplug(mSecondPort);
        mSecondPort = 0;
        hx::kern::waitQuiet();
    }
    // Plugs another device whose driver personality the test chose; its
    // AudioDeviceID once the host lists it, or 0.
    AudioDeviceID plugOther(std::shared_ptr<hx::usb::devices::HX5100Model> model) {
        const std::vector<AudioDeviceID> before = mHost->devices();
        mOther = std::move(model);
        mOtherPort = mRoad->harness()->bus()->plug(mOther);
        hx::kern::waitQuiet();
        if (!devicesBecome(before.size() + 1)) return 0;
        for (AudioDeviceID d : mHost->devices())
            if (std::find(before.begin(), before.end(), d) == before.end()) return d;
        return 0;
    }
    void unplugOther() {
        if (!mOtherPort) return;
        mRoad->harness()->bus()->unplug(mOtherPort);
        mOtherPort = 0;
        hx::kern::waitQuiet();
    }
    // Matches the product with a personality of its own (a features record
    // or none); takes the record.
    static void addPersonality(uint16_t vendor, uint16_t product, OSDictionary* specific) {
        OSDictionary* p = ZrMakeDriverPersonality(vendor, product, specific);
        hx::kern::addPersonality(p);
        p->release();
        if (specific) specific->release();
    }
    // A features record with the given flags set.
    static OSDictionary* featuresRecord(std::initializer_list<unsigned> flags) {
        APISpecificFeatures f{};
        f.mLoaded = 1;
        for (unsigned flag : flags)
            f.mFlags[flag] = 1;
        OSDictionary* specific = OSDictionary::withCapacity(1);
        OSData* data = OSData::withBytes(&f, sizeof f);
        specific->setObject("kConfigurationData", data);
        data->release();
        return specific;
    }
    // Another HX-5100 whose personality's features record says output only
    // (and, as without a record, Merrow-compatible).
    AudioDeviceID plugOutputOnly() {
        ZrUnloadDriverPersonalities();
        addPersonality(kKorvexVendorID, kKorvexHX5100ProductID,
                       featuresRecord({eSpecFeature_MerrowCompatible, eSpecFeature_MRW192Compatible,
                                       kOutputOnlyFeature}));
        return plugOther(std::make_shared<hx::usb::devices::HX5100Model>(
            kUSBHostConnectionSpeedHigh,
            hx::usb::devices::HX5100Identity{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                             "KORVEX AUDIO", "HX5100 USB", "SN0004"}));
    }
    // A second-generation Farlane.
    AudioDeviceID plugFarlane2() {
        const ZrChannelPair pair = kSorvikFarlane2ChannelPairs[0];
        addPersonality(kSorvikVendorID, pair.product, nullptr);
        return plugOther(std::make_shared<hx::usb::devices::Farlane2Model>(
            hx::usb::devices::HX5100Identity{kSorvikVendorID, pair.product, 0x0100, "SORVIK",
                                             "FARLANE2", "SN0003"},
            std::array<uint8_t, 8>{0x5F, 2}, "Farlane2", pair.ins, pair.outs));
    }
    // The Halvard Trunk2 (from the family table), not Merrow-compatible, on
    // the class-compliant model laid out as the kernel's control row says.
    AudioDeviceID plugTrunk2() {
        const DeviceFamilyMember& m = DeviceFamilies::kTrunk2[0];
        addPersonality(m.vendor, m.product, featuresRecord({}));
        return plugOther(std::make_shared<hx::usb::devices::ClassAudioModel>(
            kUSBHostConnectionSpeedFull,
            hx::usb::devices::HX5100Identity{m.vendor, m.product, 0x0100, "HALVARD", "TRUNK2",
                                             "SN0006"},
            hx::testsupport::classLayoutOf(m.vendor, m.product)));
    }
    static long instances() { return hx::cf::plugInInstanceCount(kAudioHardwarePlugInTypeID); }

    hx::test::TempRoot mRoot;
    std::unique_ptr<DeviceRoad> mRoad;
    std::unique_ptr<HALHost> mHost;
    std::shared_ptr<hx::usb::devices::HX5100Model> mSecond;
    uint8_t mSecondPort = 0;
    std::shared_ptr<hx::usb::devices::HX5100Model> mOther;
    uint8_t mOtherPort = 0;
};

} // namespace hx::haltest
