// Per model, what the configuration chooses: the alternates the device was
// set to, which pipe slots hold which endpoint and the interrupt flag; and
// the control requests the bulk device sees from its configuration to the
// first transfers, under the identity whose start clears both pipes' halt
// first and under the plain bulk identity, which does not.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrPipeSet.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::harness::ClientHarness;
using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;

HarnessOptions optionsFor(DeviceKind device) {
    HarnessOptions o;
    o.device = device;
    // The interrupt variant's 964-byte packets take 6, 8, 10 or 16 outputs;
    // the Farlane-2 without a product of its own streams 4 each way.
    o.channels = device == DeviceKind::BulkInterrupt ? 8 : device == DeviceKind::Farlane2 ? 4 : 2;
    return o;
}

struct ModelRow {
    const char* name;
    DeviceKind device;
    // Alternate setting of interfaces 0.. (the model's view; -1: never set).
    std::vector<int> alternates;
    std::map<ZrPipeSlot, uint8_t> pipes; // every other slot is empty
    bool interruptTransfers;
};

class ModelTable : public ::testing::TestWithParam<ModelRow> {};

TEST_P(ModelTable, ConfigurationChoosesTheTablesInterfacesPipesAndFlag) {
    const ModelRow row = GetParam();
    ClientHarness h(optionsFor(row.device));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(20000);
    const auto r = h.report();
    EXPECT_TRUE(r.configured);
    EXPECT_EQ(r.inAlternate, 1);
    EXPECT_EQ(r.outAlternate, 1);
    for (size_t i = 0; i < row.alternates.size(); ++i) {
        const auto alt = h.model()->alternateSetting(uint8_t(i));
        EXPECT_EQ(alt ? int(*alt) : -1, row.alternates[i]) << "interface " << i;
    }
    ZrDevice* d = h.device();
    for (const ZrPipeSlotInfo& s : kZrPipeSlots) {
        const ZrPipeDescriptor* p = d->pipes()[s.slot];
        const auto want = row.pipes.find(s.slot);
        if (want == row.pipes.end()) {
            EXPECT_EQ(p, nullptr) << s.name;
        } else if (p == nullptr) {
            ADD_FAILURE() << s.name << " empty";
        } else {
            EXPECT_EQ(p->getAddress(), want->second) << s.name;
        }
    }
    EXPECT_EQ(d->mUseInterruptTransfers, row.interruptTransfers);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTable,
    ::testing::Values(
        // Output on interface 0 (bulk OUT 5, keep-alive isochronous OUT 1),
        // input on 1 (bulk IN 0x86).
        ModelRow{"Bulk",
                 DeviceKind::Bulk,
                 {1, 1, -1},
                 {{ZrPipeSlot::BulkIn, 0x86},
                  {ZrPipeSlot::BulkOut, 0x05},
                  {ZrPipeSlot::OutIsocKeepAlive, 0x01}},
                 false},
        // The same slots hold the interrupt endpoints; the flag is set.
        ModelRow{"BulkInterrupt",
                 DeviceKind::BulkInterrupt,
                 {1, 1, -1},
                 {{ZrPipeSlot::BulkIn, 0x86},
                  {ZrPipeSlot::BulkOut, 0x05},
                  {ZrPipeSlot::OutIsocKeepAlive, 0x01}},
                 true},
        // Isochronous output paced by the feedback IN 0x83, bulk input.
        ModelRow{"Feedback",
                 DeviceKind::Feedback,
                 {1, 1, -1},
                 {{ZrPipeSlot::InFeedback, 0x83},
                  {ZrPipeSlot::BulkIn, 0x86},
                  {ZrPipeSlot::OutIsoc, 0x01}},
                 false},
        // Control 0, output 1, input 2, MIDI 3.
        ModelRow{"Interrupt",
                 DeviceKind::Interrupt,
                 {0, 1, 1, 0},
                 {{ZrPipeSlot::InterruptIn, 0x82}, {ZrPipeSlot::InterruptOut, 0x01}},
                 true},
        // Control 0, input 1, output 2, MIDI 3, vendor 4.
        ModelRow{"Farlane2",
                 DeviceKind::Farlane2,
                 {0, 1, 1, 0, 0},
                 {{ZrPipeSlot::InterruptIn, 0x81}, {ZrPipeSlot::InterruptOut, 0x02}},
                 true}),
    [](const ::testing::TestParamInfo<ModelRow>& i) { return std::string(i.param.name); });

// A control request as a line of the golden trace: type, request, value,
// index, length.
std::string line(const StandardUSB::DeviceRequest& s) {
    char b[40];
    std::snprintf(b, sizeof b, "%02x %02x %04x %04x %u", s.bmRequestType, s.bRequest, s.wValue,
                  s.wIndex, unsigned(s.wLength));
    return b;
}

// From SET_CONFIGURATION on.
std::vector<std::string> traceFromConfiguration(ClientHarness& h) {
    std::vector<std::string> out;
    bool on = false;
    for (const auto& t : h.model()->trace()) {
        on = on || (t.setup.bmRequestType == 0x00 && t.setup.bRequest == 0x09);
        if (on) {
            out.push_back(line(t.setup));
            EXPECT_EQ(t.status, kIOReturnSuccess) << out.back();
        }
    }
    return out;
}

// The configuration: both alternates, each pipe's halt cleared as it opens
// (bulk IN, bulk OUT, keep-alive, MIDI interrupt IN), the mixer buffer,
// then the bulk start: the rate set on both audio endpoints and read back
// on the input's, the DMA width written to register 0.
const std::vector<std::string> kBulkStart = {
    "00 09 0001 0000 0", "01 0b 0001 0000 0", "01 0b 0001 0001 0", "02 01 0000 0086 0",
    "02 01 0000 0005 0", "02 01 0000 0001 0", "02 01 0000 0083 0", "40 4d 0000 0000 64",
    "c0 49 0000 0000 1", "a2 81 0100 0000 3", "c0 49 0000 0000 1", "a2 81 0100 0000 3",
    "22 01 0100 0086 3", "22 01 0100 0005 3", "22 01 0100 0086 3", "a2 81 0100 0086 3",
    "c0 49 0000 0000 1", "40 49 0032 0000 0"};

TEST(BulkGoTrace, TheGoIdentityClearsBothPipesHaltBeforeItsFirstTransfers) {
    HarnessOptions o = optionsFor(DeviceKind::Bulk);
    o.vendorID = kQuarnelVendorID;
    o.productID = kQuarnelBulkGoProductID;
    ClientHarness h(o);
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(20000);
    std::vector<std::string> want = kBulkStart;
    // The go step: CLEAR_FEATURE(ENDPOINT_HALT) on the IN pipe, then the OUT.
    want.push_back("02 01 0000 0086 0");
    want.push_back("02 01 0000 0005 0");
    EXPECT_EQ(traceFromConfiguration(h), want);
    // And the transfers ran after it.
    EXPECT_GT(h.report().deviceFramesIn, 0u);
}

TEST(BulkGoTrace, ThePlainBulkIdentityStartsWithoutClearingAgain) {
    ClientHarness h(optionsFor(DeviceKind::Bulk));
    ASSERT_TRUE(h.start()) << h.lastError();
    h.run(20000);
    EXPECT_EQ(traceFromConfiguration(h), kBulkStart);
    EXPECT_GT(h.report().deviceFramesIn, 0u);
}

} // namespace
