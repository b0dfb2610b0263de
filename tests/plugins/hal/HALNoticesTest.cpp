// Another connection's control requests reach the plug-in as the kernel's
// state changes; the device layer's handler turns them into property
// notices, which the host's listeners receive on thread N in the order the
// plug-in made them.
#include "HALPlugInFixture.h"

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "device/QnAudioPluginClassCommons_Requests.h"
#include "driver/clients/ZrUserClients.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/iokit/IOKitLib.h"

#include <cstring>
#include <vector>

namespace hx::haltest {
namespace {

constexpr AudioObjectPropertyScope kIn = kAudioDevicePropertyScopeInput;
constexpr AudioObjectPropertyScope kOut = kAudioDevicePropertyScopeOutput;
constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;

struct Notice {
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    AudioObjectPropertyScope scope;
    AudioObjectPropertyElement element;
    bool operator==(const Notice&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Notice& n) {
    const char c[5] = {char(n.selector >> 24), char(n.selector >> 16), char(n.selector >> 8),
                       char(n.selector), 0};
    return o << "{" << n.object << " '" << c << "' " << std::hex << n.scope << std::dec << " "
             << n.element << "}";
}

class HALNotices : public HALPlugIn {
protected:
    void SetUp() override {
        HALPlugIn::SetUp();
        ASSERT_EQ(load(), 0);
        mDevice = onlyDevice();
        ASSERT_NE(mDevice, 0u);
        const auto streams = mHost->streams(mDevice);
        ASSERT_EQ(streams.size(), 2u);
        mInStream = streams[0];
        mOutStream = streams[1];
        // The other program: an audio client of its own on the same device.
        mOther = std::make_unique<hx::harness::HarnessClient>();
        ASSERT_TRUE(mOther->openClient()) << mOther->lastError();
        settle();
    }
    void TearDown() override {
        if (mOther) mOther->stop();
        mOther.reset();
        HALPlugIn::TearDown();
    }
    // The request from the other connection, with the value word given; then
    // the notices it caused, in the order the listeners saw them.
    std::vector<Notice> noticesAfter(uint32_t req, uint32_t value = 0) {
        const std::size_t before = mHost->notices().size();
        OSXDispatch rec{};
        std::memcpy(reinterpret_cast<uint8_t*>(&rec) + kOSXDispatchValueOffset, &value,
                    sizeof value);
        EXPECT_EQ(hx::harness::callClient(mOther->connection(), req, &rec), kIOReturnSuccess);
        hx::kern::waitQuiet();
        // The state change reaches the device on thread M, its notices are
        // delivered on thread N.
        for (int i = 0; i < 20; ++i) {
            mRoad->run(1000);
            settle();
        }
        std::vector<Notice> out;
        const auto all = mHost->notices();
        for (std::size_t i = before; i < all.size(); ++i)
            out.push_back({all[i].object, all[i].address.mSelector, all[i].address.mScope,
                           all[i].address.mElement});
        return out;
    }

    AudioDeviceID mDevice = 0;
    AudioStreamID mInStream = 0;
    AudioStreamID mOutStream = 0;
    std::unique_ptr<hx::harness::HarnessClient> mOther;
};

TEST_F(HALNotices, MuteRequestNotifiesMuteOfElementZeroInputThenOutput) {
    const std::vector<Notice> want{{mDevice, kAudioDevicePropertyMute, kIn, 0},
                                   {mDevice, kAudioDevicePropertyMute, kOut, 0}};
    EXPECT_EQ(noticesAfter(qnrequests::kReqSetMute), want);
}

TEST_F(HALNotices, VolumeRequestNotifiesScalarThenDecibelsPerElementInputThenOutput) {
    std::vector<Notice> want;
    for (AudioObjectPropertyScope scope : {kIn, kOut})
        for (UInt32 e = 0; e <= 2; ++e) {
            want.push_back({mDevice, kAudioDevicePropertyVolumeScalar, scope, e});
            want.push_back({mDevice, kAudioDevicePropertyVolumeDecibels, scope, e});
        }
    ASSERT_EQ(want.size(), 12u);
    EXPECT_EQ(noticesAfter(qnrequests::kReqSetVolume), want);
}

TEST_F(HALNotices, MonitorRequestWithAMonitorControlNotifiesThruOfEveryInputElement) {
    // A control-block fixture: the device's block gains a monitor control,
    // written by the other program as a client writes the values it wants.
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(mOther->connection(), kMemoryDriverSM, mach_task_self(),
                                   &address, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    ASSERT_EQ(size, sizeof(DriverSM));
    auto* area = reinterpret_cast<DriverSM*>(address);
    area->mControls.mHasMonitor = 1;
    area->mControls.mMonitorValue = 0;
    std::vector<Notice> want;
    for (UInt32 e = 0; e <= 2; ++e)
        want.push_back({mDevice, kAudioDevicePropertyPlayThru, kIn, e});
    EXPECT_EQ(noticesAfter(qnrequests::kReqSetMonitor, 1), want);
}

TEST_F(HALNotices, MonitorRequestWithoutAMonitorControlNotifiesNothing) {
    EXPECT_TRUE(noticesAfter(qnrequests::kReqSetMonitor, 1).empty());
}

TEST_F(HALNotices, DataSourceRequestNotifiesTheStreamsThenTheDevice) {
    const std::vector<Notice> want{{mInStream, kAudioDevicePropertyDataSource, kGlobal, 0},
                                   {mOutStream, kAudioDevicePropertyDataSource, kGlobal, 0},
                                   {mDevice, kAudioDevicePropertyDataSource, kIn, 0},
                                   {mDevice, kAudioDevicePropertyDataSource, kOut, 0}};
    EXPECT_EQ(noticesAfter(qnrequests::kReqSetDataSource), want);
}

} // namespace
} // namespace hx::haltest
