// The device object's capability answers: product lists, link speed and the
// specific-features flags, each with and without a loaded features record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

namespace {

// Device identity from an 18-byte device descriptor, as start-up scans it.
void identify(ZrDevice& dev, uint16_t vendor, uint16_t product) {
    uint8_t d[18] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64};
    d[8] = uint8_t(vendor);
    d[9] = uint8_t(vendor >> 8);
    d[10] = uint8_t(product);
    d[11] = uint8_t(product >> 8);
    d[12] = 0x00;
    d[13] = 0x01;
    d[17] = 1;
    USBByteBuffer buf(d, sizeof d);
    dev.scanDeviceDescriptor(buf);
}

struct Case {
    const char* name;
    uint16_t vendor;
    uint16_t product;
    bool highSpeed;
    int flag;               // -1: no features record; -2: a loaded record with no flag set
    std::string expectTrue; // predicates answering true, space separated
};

std::string answers(const ZrDevice& d) {
    std::string s;
    auto add = [&s](bool v, const char* n) {
        if (v) s += std::string(s.empty() ? "" : " ") + n;
    };
    add(d.isMerrowCompatible(), "merrow");
    add(d.isQuarnelBulkDevice(), "bulk");
    add(d.isQuarnelBulkInIsocOutDevice(), "bulkInIsocOut");
    add(d.isPureBulkDevice(), "pureBulk");
    add(d.isMerrowCompatibleWithRawMidi(), "rawMidi");
    add(d.isMerrowCompatibleWithRegularMidi(), "regularMidi");
    add(d.isMRW192Compatible(), "mrw192");
    add(d.isMRW30Compatible(), "mrw30");
    add(d.canHandleRequestsWhileStreaming(), "requestsWhileStreaming");
    add(d.ajHasNoDigital(), "noDigital");
    add(d.setFreqOnOutPipe(), "freqOnOut");
    add(d.can192(), "can192");
    add(d.preventUSB1Mode(), "preventUSB1");
    return s;
}

const char* const kDefaults =
    "merrow regularMidi mrw192 requestsWhileStreaming freqOnOut can192 preventUSB1";

class Capabilities : public ::testing::TestWithParam<Case> {};

TEST_P(Capabilities, AnswerFromIdentitySpeedAndFeatures) {
    const Case& c = GetParam();
    auto* svc = new ZrKernelDeviceKorvexHX5100();
    {
        ZrDevice dev(*svc);
        identify(dev, c.vendor, c.product);
        dev.setIsUSB2Device(c.highSpeed);
        if (c.flag != -1) {
            APISpecificFeatures f;
            std::memset(&f, 0, sizeof f);
            f.mLoaded = 1;
            if (c.flag >= 0) f.mFlags[c.flag] = 1;
            dev.initialSettings(&f);
        }
        EXPECT_EQ(answers(dev), c.expectTrue);
    }
    svc->release();
}

constexpr uint16_t kKorvex = kKorvexVendorID;
constexpr uint16_t kMaker = kQuarnelVendorID;

INSTANTIATE_TEST_SUITE_P(
    Table, Capabilities,
    ::testing::Values(
        Case{"HX5100NoFeatures", kKorvex, 0x5100, true, -1, kDefaults},
        Case{"LoadedRecordWithoutFlags", kKorvex, 0x5100, true, -2, ""},
        Case{"Merrow", kKorvex, 0x5100, false, eSpecFeature_MerrowCompatible, "merrow"},
        Case{"BulkFlagAtHighSpeed", kKorvex, 0x5100, true, eSpecFeature_QuarnelBulk, "bulk"},
        Case{"BulkFlagAtFullSpeed", kKorvex, 0x5100, false, eSpecFeature_QuarnelBulk, ""},
        Case{"ListedBulkAtHighSpeed", kMaker, 0x0B01, true, -1,
             std::string(kDefaults).insert(7, "bulk ")},
        Case{"ListedBulkAtFullSpeed", kMaker, 0x0B01, false, -1, kDefaults},
        Case{"ListedBulkWithFeatures", kMaker, 0x0B02, true, -2, "bulk"},
        Case{"BulkInIsocOutFlag", kKorvex, 0x5100, true, eSpecFeature_QuarnelBulkInIsocOut,
             "bulkInIsocOut"},
        Case{"ListedBulkInIsocOut", kMaker, 0x0B10, true, -1,
             std::string(kDefaults).insert(7, "bulkInIsocOut ")},
        // The list counts only for a device without a features record.
        Case{"ListedBulkInIsocOutWithFeatures", kMaker, 0x0B10, true, -2, ""},
        Case{"RawMidi", kKorvex, 0x5100, true, eSpecFeature_RawMidi, "rawMidi"},
        Case{"RegularMidiFlag", kKorvex, 0x5100, true, eSpecFeature_RegularMidi, "regularMidi"},
        Case{"ListedRegularMidiWithFeatures", kKorvex, 0x0880, true, -2, "regularMidi"},
        Case{"MRW192", kKorvex, 0x5100, true, eSpecFeature_MRW192Compatible, "mrw192"},
        Case{"MRW30Listed", kKorvex, 0x0030, true, -2, "mrw30"},
        Case{"RequestsWhileStreaming", kKorvex, 0x5100, true, eSpecFeature_RequestsWhileStreaming,
             "requestsWhileStreaming"},
        Case{"NoDigitalFlag", kKorvex, 0x5100, true, eSpecFeature_NoDigital, "noDigital"},
        Case{"MakerNoDigitalWithFeatures", kMaker, 0x0B20, true, -2, "noDigital"},
        // The LX-series entry holds only without a features record.
        Case{"LXNoDigitalWithoutFeatures", kKorvex, 0x0310, true, -1,
             "merrow regularMidi mrw192 requestsWhileStreaming noDigital freqOnOut can192 "
             "preventUSB1"},
        Case{"LXWithFeatures", kKorvex, 0x0310, true, -2, "regularMidi"},
        Case{"FreqOnOutPipe", kKorvex, 0x5100, true, eSpecFeature_SetFreqOnOutPipe, "freqOnOut"},
        Case{"Can192", kKorvex, 0x5100, true, eSpecFeature_Can192, "can192"},
        Case{"PreventUSB1Mode", kKorvex, 0x5100, true, eSpecFeature_PreventUSB1Mode,
             "preventUSB1"}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

} // namespace
