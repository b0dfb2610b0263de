// What the listed products' configuration flags cause, and the Olvq
// family's own selector exchange.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/engine/ZrProductTable.h"
#include "driver/engine/config/ZrConfigControls.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/config/ZrTranscoderChoice.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/MacErrors.h"

namespace {

// What a product row's configuration flags cause: the converters chosen for
// the row's product differ from those of an unlisted twin of its maker.
TEST(ConfigProductRows, ARowsFlagsChooseItsConverters) {
    struct Case {
        uint16_t vendor, product;
        QnChannelSettings s;
        USB_DEC_FNC in;
        USB_ENC_FNC out;
    };
    const Case cases[] = {
        {kTeslinVendorID,
         kTeslinT10ProductID,
         {48000, 2, 24, 2, 24, 1},
         pcmFrom24TUSBMSB,
         pcmTo24TUSBMSB},
        {kTrunkVendorID,
         kTrunk2ProductID,
         {48000, 2, 24, 2, 24, 1},
         pcmFrom24TUSB2ch,
         pcmTo24TUSB2ch},
        {kTolvaneVendorID,
         kTolvaneProductID,
         {48000, 2, 24, 2, 24, 1},
         pcmFrom24LSBChannelSwap,
         pcmTo24LSBChannelSwap},
        {kDarrowVendorID,
         kDarrowD1ProductID,
         {48000, 4, 24, 4, 24, 1},
         pcmFrom24LSBChannelSwapMI_4,
         pcmTo24LSB},
        {kSorvikVendorID,
         kSorvikFarlane2ProductIDs[6],
         {48000, 2, 32, 2, 32, 1},
         pcmFrom32Msb,
         pcmTo32LSB},
        {kQuarnelVendorID,
         kQuarnelBulkB02ProductID,
         {48000, 4, 24, 4, 24, 1},
         nullptr,
         pcmTo24Merrow4CH},
        // Unlisted twins of the same makers: the plain converters.
        {kTeslinVendorID, 0x0099, {48000, 2, 24, 2, 24, 1}, pcmFrom24LSB, pcmTo24LSB},
        {kSorvikVendorID,
         kSorvikFarlane1ProductIDs[0],
         {48000, 2, 32, 2, 32, 1},
         pcmFrom32LSB,
         pcmTo32LSB},
        {kQuarnelVendorID, 0x0B99, {48000, 4, 24, 4, 24, 1}, pcmFrom24LSB, pcmTo24LSB},
    };
    for (const Case& c : cases) {
        ZrDeviceTraits traits = ZrReadDeviceTraits(c.vendor, c.product, 0x0100);
        traits.highSpeed = true;
        const ZrConverters got = ZrChooseConverters(traits, c.s);
        EXPECT_EQ(got.input, c.in) << std::hex << c.vendor << ":" << c.product;
        EXPECT_EQ(got.output, c.out) << std::hex << c.vendor << ":" << c.product;
    }
}

// {bmRequestType, bRequest, wValue, wIndex}
struct Req {
    uint8_t type, request;
    uint16_t value, index;
    bool operator==(const Req&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Req& r) {
    return o << std::hex << "{" << int(r.type) << " " << int(r.request) << " " << r.value << " "
             << r.index << "}";
}

// An Olvq device on a scripted control pipe: it keeps the selector byte it
// is sent and reports 48 kHz.
struct OlvqRig {
    std::unique_ptr<DriverSM> sm{new DriverSM{}};
    DriverData* dd = DriverData::create(sm.get());
    ZrDeviceTraits traits;
    ZrConfigHooks hooks;
    std::vector<Req> trace;
    uint8_t selector = 0;
    std::vector<uint32_t> frequencySets;

    OlvqRig() {
        sm->mAjExtData.setDefaults();
        sm->mChannelSettings = {48000, 2, 24, 2, 24, 0};
        traits = ZrReadDeviceTraits(kOlvqVendorID, kOlvq187ProductID, 0x0100);
        traits.merrowCompatible = false;
        hooks.request = [this](uint8_t dir, uint8_t level, uint8_t rcp, uint8_t bRequest,
                               uint16_t wValue, uint16_t wIndex, void* data, uint32_t& length,
                               int) {
            trace.push_back({uint8_t(dir | level | rcp), bRequest, wValue, wIndex});
            auto* b = static_cast<uint8_t*>(data);
            if (bRequest == 0x49 && wIndex == 0 && dir) {
                b[0] = selector;
                length = 1;
            } else if (bRequest == 0x49 && wIndex == 0) {
                selector = uint8_t(wValue);
                length = 0;
            } else if (bRequest == 0x81) {
                b[0] = 0x80, b[1] = 0xBB, b[2] = 0x00; // 48,000
                length = 3;
            } else {
                length = 0;
            }
            return IOReturn(kIOReturnSuccess);
        };
        hooks.setFrequency = [this](bool, uint32_t rate) {
            frequencySets.push_back(rate);
            return IOReturn(kIOReturnSuccess);
        };
    }
    ~OlvqRig() { dd->release(); }
};

TEST(OlvqSelector, ClockSourceSetsTheLayoutAndTheARequest) {
    struct Case {
        uint32_t clockSource;
        uint8_t readByte;
        uint8_t written;
        uint16_t aRequest;
        uint32_t clockAfter;
    };
    const Case cases[] = {
        {0, 0x00, 0xB2, 0x348, 0},
        {1, 0x00, 0xB0, 0x349, 1},
        {2, 0x00, 0x32, 0x348, 2},
        // Bits 2, 3 and 6 of the read byte are kept; bit 2 is the lock.
        {1, 0x4C, 0xFC, 0x349, 1},
    };
    const Req readSel{0xC0, 0x49, 0, 0}, getRate{0xA2, 0x81, 0x100, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        OlvqRig rig;
        rig.selector = c.readByte;
        rig.sm->mAjExtData.mClockSource = c.clockSource;
        ZrConfigControls controls(rig.traits, rig.sm.get(), *rig.dd, rig.hooks);
        uint32_t result = 0;
        EXPECT_EQ(controls.updateAjInputSelector(&result), 1u);
        EXPECT_EQ(result, c.written);
        EXPECT_EQ(rig.selector, c.written);
        EXPECT_EQ(rig.sm->mAjExtData.mClockSource, c.clockAfter);
        const bool locked = (c.written & 0x04) != 0;
        EXPECT_EQ(rig.sm->mAjExtData.mDigitalLock, locked ? 1 : 0);
        std::vector<Req> expected;
        expected.push_back(readSel);
        if (c.readByte & 0x04) expected.push_back(readSel); // a locked byte is read again
        expected.push_back({0x40, 0x41, c.aRequest, 0x101});
        expected.push_back({0x40, 0x49, c.written, 0});
        expected.push_back(getRate);
        expected.push_back(readSel);
        expected.push_back(getRate);
        if (locked) expected.push_back(getRate); // one round: 48 kHz is taken
        expected.push_back(getRate);
        EXPECT_EQ(rig.trace, expected);
        if (locked) {
            EXPECT_EQ(rig.sm->mAjExtData.mDigitalLockFrequency, 48000u);
        }
        EXPECT_TRUE(rig.frequencySets.empty()); // the device runs the wanted rate
    }
}

TEST(OlvqSelector, AnUnchangedByteIsNotWrittenAndBusyStreamingRefuses) {
    OlvqRig rig;
    rig.selector = 0xB2;
    rig.sm->mAjExtData.mClockSource = 0;
    ZrConfigControls controls(rig.traits, rig.sm.get(), *rig.dd, rig.hooks);
    uint32_t result = 0;
    EXPECT_EQ(controls.updateAjInputSelector(&result), 1u);
    for (const Req& r : rig.trace)
        EXPECT_FALSE(r.request == 0x49 && r.type == 0x40) << r;

    OlvqRig busy;
    busy.hooks.streamingBusy = [] { return true; };
    ZrConfigControls refused(busy.traits, busy.sm.get(), *busy.dd, busy.hooks);
    result = 0;
    EXPECT_EQ(refused.updateAjInputSelector(&result), 0u);
    EXPECT_EQ(result, 50u);
    EXPECT_TRUE(busy.trace.empty());
}

} // namespace
