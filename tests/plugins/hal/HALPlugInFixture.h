// The HAL plug-in tests' fixture: the whole simulated machine in this
// process on the virtual clock (the device road), the installed bundle, a
// HAL host that loads it, and a second HX-5100 to plug and unplug.
#pragma once

#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"

#include "abi/ProductIdentities.h"
#include "device/harness/DeviceRoad.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace hx::haltest {

namespace fs = std::filesystem;
using hx::coreaudio::HALHost;
using hx::coreaudio::HALHostOptions;
using hx::devroad::DeviceRoad;

inline constexpr OSStatus kNoDevice = OSStatus(0xE00002C0);
inline constexpr OSStatus kError = OSStatus(0xE00002BC);
inline constexpr OSStatus kBadArgument = OSStatus(0xE00002C2);

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
    static long instances() { return hx::cf::plugInInstanceCount(kAudioHardwarePlugInTypeID); }

    hx::test::TempRoot mRoot;
    std::unique_ptr<DeviceRoad> mRoad;
    std::unique_ptr<HALHost> mHost;
    std::shared_ptr<hx::usb::devices::HX5100Model> mSecond;
    uint8_t mSecondPort = 0;
};

} // namespace hx::haltest
