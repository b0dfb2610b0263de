// Listed products' rows of the configuration, shown on the simulated bus:
// an HX-5100 model plugged under another listed product's identifiers (the
// driver is given a personality for it) gets that product's treatment where
// the row depends on identity alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineFixture.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOService.h"

namespace {

using namespace enginetest;

struct Listed {
    Listed(uint16_t vendor, uint16_t product, uint16_t release = 0x0100,
           hx::usb::devices::HX5100Firmware firmware = {}) {
        if (vendor != kKorvexVendorID || product != kKorvexHX5100ProductID) {
            OSDictionary* p = ZrMakeDriverPersonality(vendor, product, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        model = std::make_shared<HX5100Model>(
            uint8_t(kUSBHostConnectionSpeedHigh),
            hx::usb::devices::HX5100Identity{vendor, product, release, "M", "P", "S1"}, firmware);
        port = rig.plug(model);
        svc = rig.service(port);
        if (!svc) return;
        dev = svc->getDevice();
        IOUserClient* h = nullptr;
        // No firmware updater runs: configuration is allowed.
        svc->newUserClient(kernel_task, nullptr, 4, &h);
    }
    ~Listed() { rig.unplug(port); }

    std::vector<hx::usb::TraceEntry> requests() const { return model->trace(); }

    Rig rig;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
};

bool reEnumerated(const std::string& log) {
    return log.find("ResetDevice(rows)") != std::string::npos;
}

// Unconfiguring a configured device re-enumerates it when the caller allows
// it, except for the devices that do not come back from it (one only from
// a firmware on); one device is re-enumerated even when the caller forbids.
struct ReEnumerationCase {
    const char* name;
    uint16_t vendor, product;
    hx::usb::devices::HX5100Firmware firmware;
    bool allow;
    bool expected;
};

TEST(ListedConfigurationRows, ReEnumerationOnUnconfigureFollowsTheProductLists) {
    const hx::usb::devices::HX5100Firmware before{1, 5, 0, 9, "1.5.0"}; // 0x01050009
    const hx::usb::devices::HX5100Firmware from{1, 5, 1, 0, "1.5.1"};   // 0x01050100
    const ReEnumerationCase cases[] = {
        {"HX-5100 allowed", kKorvexVendorID, kKorvexHX5100ProductID, {}, true, true},
        {"HX-5100 forbidden", kKorvexVendorID, kKorvexHX5100ProductID, {}, false, false},
        {"never: Kestrel", kKestrelVendorID, kKestrelProductID, {}, true, false},
        {"never: Brava B3", kBravaVendorID, kBravaB3ProductID, {}, true, false},
        {"LX220 before the firmware", kKorvexVendorID, kKorvexLX220ProductID, before, true, true},
        {"LX220 from the firmware", kKorvexVendorID, kKorvexLX220ProductID, from, true, false},
        {"always: Maravel M2 forbidden", kMaravelVendorID, kMaravelM2ProductID, {}, false, true},
    };
    for (const ReEnumerationCase& c : cases) {
        SCOPED_TRACE(c.name);
        Listed l(c.vendor, c.product, 0x0100, c.firmware);
        ASSERT_TRUE(l.svc);
        ASSERT_NE(l.dev, nullptr);
        l.dev->getDriverSM()->mConfigured = 1;
        hx::log::Capture cap;
        l.svc->unconfigureDevice(c.allow, "rows");
        EXPECT_EQ(reEnumerated(cap.text()), c.expected);
        EXPECT_EQ(l.dev->getDriverSM()->mConfigured, 0u);
        // Unconfiguring again does nothing, not even for the device that is
        // always re-enumerated.
        cap.clear();
        l.svc->unconfigureDevice(true, "rows");
        EXPECT_FALSE(reEnumerated(cap.text()));
    }
}

// The sampling frequency of one listed device is never read: 0, and nothing
// goes to the device; the HX-5100 answers with its rate.
TEST(ListedConfigurationRows, OneDeviceNeverHasItsFrequencyRead) {
    const uint8_t endpoint[] = {7, 5, 0x82, 0x05, 0x40, 0x00, 1};
    struct Case {
        uint16_t vendor, product;
        uint32_t rate;
        size_t requests;
    };
    for (Case c :
         {Case{kKorvexVendorID, kKorvexHX5100ProductID, HX5100Model::kPowerOnSampleRate, 1},
          Case{kBravaVendorID, kBravaB2ProductID, 0, 0}}) {
        Listed l(c.vendor, c.product);
        ASSERT_TRUE(l.svc);
        ZrPipeDescriptor pipeRecord;
        ZrPipeDescriptor* pipe = &pipeRecord;
        USBByteBuffer buf(endpoint, sizeof endpoint);
        ASSERT_TRUE(pipe->scan(buf));
        l.model->clearTrace();
        EXPECT_EQ(l.dev->getFrequency(pipe, nullptr), c.rate) << c.product;
        EXPECT_EQ(l.requests().size(), c.requests) << c.product;
    }
}

// The second-generation Sorvik products take their own channel pair before
// the interfaces are chosen (the others 4 and 4); the current channel
// configuration is read from the device first.
TEST(ListedConfigurationRows, SecondGenerationSorvikProductsTakeTheirChannelPair) {
    struct Case {
        uint16_t product;
        uint32_t ins, outs;
    };
    for (Case c :
         {Case{kSorvikFarlane2ProductIDs[0], 12, 2}, Case{kSorvikFarlane2ProductIDs[1], 8, 6},
          Case{kSorvikFarlane2ProductIDs[2], 12, 12}, Case{kSorvikFarlane2ProductIDs[5], 4, 4}}) {
        SCOPED_TRACE(c.product);
        Listed l(kSorvikVendorID, c.product);
        ASSERT_TRUE(l.svc);
        l.model->clearTrace();
        l.svc->reqConfigureDevice("rows");
        // The HX-5100's interfaces offer none of these counts: the
        // configuration fails after the pair was taken.
        const QnChannelSettings& s = l.dev->getDriverSM()->mChannelSettings;
        EXPECT_EQ(s.InChannels, c.ins);
        EXPECT_EQ(s.OutChannels, c.outs);
        const auto t = l.requests();
        ASSERT_GE(t.size(), 1u);
        EXPECT_EQ(t[0].setup.bmRequestType, 0xC1);
        EXPECT_EQ(t[0].setup.bRequest, 17);
        EXPECT_EQ(t[0].setup.wIndex, 1);
    }
}

} // namespace
