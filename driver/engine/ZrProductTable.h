// The kernel driver's one product table over the shared product identities
// (abi/ProductIdentities.h): one row per product (or per maker, for a rule
// every product of a maker follows) holding what the driver does
// differently for it: the product lists it belongs to, the configuration
// choosers' flags, the descriptor model's corrections, its interface
// layout and channel-count rule, its fixed synthesized alternates and its
// names. The device reads its row once when its identity is known
// (ZrDeviceTraits); code tests those traits, never identifiers.
//
// The driver's personalities (what its bundle's property list offers the
// kernel for matching) are the rows marked matched, in table order.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "abi/ProductIdentities.h"
#include "abi/ServiceClass.h"

class OSDictionary;

// The product lists a row belongs to; the identifiers are this driver's own
// choice, like the table's.
enum class ZrProductList : uint8_t {
    QuarnelBulk,           // the maker's bulk protocol (at high speed)
    QuarnelBulkInIsocOut,  // bulk input with isochronous output (at high speed)
    RegularMidi,           // USB-MIDI on the control port
    MRW30,                 // the MRW30 kind: fixed interfaces, own latencies
    MakerNoDigital,        // the maker's device without a digital port
    LXNoDigital,           // the LX-series device without one
    Tolvane,               // the product with a routing value in its controls
    Trunk2,                // the second Trunk product: own start-up and alternates
    SetFrequencyRepeats,   // another maker's devices that refuse SET_CUR while starting
    NeverReEnumerated,     // devices that are not re-enumerated when unconfigured
    FirmwareVersionAlways, // the maker's devices whose firmware version is read without Merrow
                           // compatibility
    FirmwareVersionText, // devices whose firmware version text is read (without a features record)
    FirmwareChannelCounts, // another maker's device that reports its channel counts in its firmware
                           // information
    Stereo16Only, // another maker's device forced to 2 + 2 channels of 16 bits at its first scan
    PicCommands,  // another maker's device driven by PIC commands
    NeverReEnumeratedFromFirmware, // not re-enumerated from its row's firmware on
    AlwaysReEnumerated,       // re-enumerated when unconfigured even when the caller forbids it
    SetInterfaceBeforeBind,   // SET_INTERFACE(0) on interface 2 before the interfaces are bound
    ConfigureWaits,           // 50 ms pauses around binding and opening the pipes
    IsocInIsocOutAtRelease,   // at its row's release: isochronous both ways, no feedback
    ControlSetCurAfterConfig, // a class SET_CUR to its control interface once configured
    ControlSetInterfaceAfterConfig, // SET_INTERFACE(0) on its control interface once configured
    NoFrequencyReading,             // its sampling frequency is never read: 0
    MixerModeFirst,       // the first product with a mixer mode (modes 1 and 2: 4 + 4 channels)
    MixerModeSecond,      // the second (modes 1 and 2: 6 inputs, 2 outputs)
    StartSetCur02FF,      // a class SET_CUR 0x02FF on interface 0x0200 at every start
    StartSetCur0A00,      // a class SET_CUR 0x0A00 on 0x0900 (one byte) at every start
    StartSetCur0201,      // class SET_CURs 0x0201 and 0x0202 on 0x0900 at every start
    HalvardTrunk,         // the first Trunk product: its own start-up instead of endpoint rates
    InputErrorsBreak,     // other makers' devices whose input errors break the stream (41 and more)
    BulkGoClearStall,     // the maker's product whose bulk start clears both pipes' stalls first
    BulkEncoderKX,        // the maker's two products with the 10-channel fifth-lane encoder
    BulkSelectorEncoder,  // another maker's 8-channel bulk product with selector encoders; its
                          // digital-out selector picks the output pair
    ReselectOutAlternate, // another maker's device whose output alternate is selected again at
                          // start
    SorvikFarlane1,       // first Sorvik generation: fixed 48 kHz alternates, a channel map
    SorvikFarlane2,       // second Sorvik generation: interrupt transport, own channel pairs
    KorvexFamily,         // the HX-5100 and three siblings: synthesized 2-channel 24-bit formats
    Korvex192,            // the two of the family that stream up to 192 kHz at high speed
    KorvexInterfaces,     // the brand's interfaces are matched as vendor-specific ones
    BravaMaker,           // the Brava maker's products: the MIDI port's own layout
    BulkBravaLayout,      // the Brava bulk product: its own input lanes and DMA channel count
    HalvardControls,      // the Trunk pair: a control change needs a new stream configuration
    InterfaceSelectorControls, // the output path choice is a choice of USB interface
    ExactClock,                // packets carry exactly the nominal frames at 48 and 96 kHz
};
constexpr uint64_t ZrLists(std::initializer_list<ZrProductList> lists) {
    uint64_t bits = 0;
    for (ZrProductList l : lists)
        bits |= uint64_t(1) << unsigned(l);
    return bits;
}

// What a listed product needs of the configuration choosers.
enum ZrConfigProduct : uint32_t {
    kZrProductHX5100 = 1u << 0,
    kZrProductLX150 = 1u << 1,
    kZrProductLX420 = 1u << 2,
    kZrProductLX610 = 1u << 3,
    kZrProductLX880 = 1u << 4,
    kZrProductLX4xxFurther = 1u << 5, // the further LX4xx product (port register read every time)
    kZrProductLX4xxFixed18 = 1u << 6, // the LX4xx product whose selector takes the fixed 18
    kZrProductKSV0 = 1u << 7,         // another maker's
    kZrProductPellix = 1u << 8,
    kZrProductKestrel = 1u << 9,
    kZrProductKestrelLike =
        1u << 10,                    // the second and third listed products with a 1-channel output
    kZrProductTUSBMSB = 1u << 11,    // the listed product of another maker (MSB-first 24-bit)
    kZrProductTUSB2ch = 1u << 12,    // the further maker's two products (the Trunk pair)
    kZrProductMerrowBulk = 1u << 13, // the driver maker's bulk protocol
    kZrProductSorvikFarlane = 1u << 14, // the Farlane-family Sorvik products
    kZrProductTolvane = 1u << 15,
    kZrProductMI4 = 1u << 16,  // the 4-channel listed product (swapped 4-channel input)
    kZrProductOlvq = 1u << 17, // the Olvq products with a CPLD byte
    kZrProductSelectorNonMerrow = 1u
                                  << 18, // the two non-Merrow products that still use the selector
    kZrProductLock44k = 1u << 19,        // the two products that set 44.1 kHz before a lock read
    kZrProductGarneto = 1u << 20,
    kZrProductBrava = 1u << 21,
    kZrProductStreamingSetCur = 1u << 22, // the device told of streaming over its control interface
    kZrProductSelectorFree = 1u << 23, // the other maker's device whose selector update is skipped
    kZrProductOlvqSelector = 1u << 24, // the three Olvq products with their own selector layout
    kZrProductOlvqCodec = 1u << 25,    // the Olvq product sent a codec write when configured
    kZrProductSelectorRateRead =
        1u << 26, // reads the rate, then the selector again, after a good read
};

// The LX4xx family as the selector and port-register code sees it.
constexpr uint32_t kZrProductLX4xxFamily =
    kZrProductLX420 | kZrProductLX4xxFurther | kZrProductLX4xxFixed18;

// What a listed product needs of the descriptor model.
enum ZrDescriptorQuirk : uint32_t {
    kQuirkStreamingOn2 = 1u << 0,   // interface 2 is audio streaming
    kQuirkRawByte164 = 1u << 1,     // raw set: byte 164 := 1
    kQuirkRawClassACASAS = 1u << 2, // raw set: first three interfaces control, streaming, streaming
    kQuirkRawClassAS = 1u << 3,     // raw set: first interface streaming
    kQuirkRaw24Bits = 1u << 4,      // raw set: resolution bytes 298, 344, 571, 614 := 24
    kQuirkNo88k96k = 1u << 5,       // after the scan: 88.2 and 96 kHz disabled
    kQuirkEightChannels =
        1u << 6, // after the scan: second format of alternate 1 on 1 and 2 has 8 channels
    kQuirkNo16BitWith24 =
        1u << 7, // after the scan: 16-bit formats go when 24-bit 2-channel ones exist
    kQuirkNoMidiNoMulti =
        1u << 8, // after the scan: MIDI interfaces and formats of 3+ channels removed
    kQuirkSynthesized = 1u << 9, // formats built by the driver
    kQuirkSynthesizedTwiceNo32k = 1u << 10,
    kQuirkRates44k48k = 1u << 11,    // device information lists 44.1 and 48 kHz only
    kQuirkRates32k44k48k = 1u << 12, // device information lists 32, 44.1 and 48 kHz only
    kQuirkLogsCounts = 1u << 13,     // the synthesized formats log the device's channel counts
    // Bit 14 is free: the fixed interface layouts are the family table's
    // groups (abi/DeviceFamilies.h).
    kQuirkInputOn1 = 1u << 15,      // input: interface 1 with an IN endpoint of at least 4 bytes
    kQuirkMidiBelow = 1u << 16,     // MIDI one interface below the one found; 4-channel input on 10
    kQuirkMidiOn0Alt1 = 1u << 17,   // without MIDI interface: alternate 1 of interface 0
    kQuirkLayoutOut2In4 = 1u << 18, // output 2, input 4 (5 by the selector), control 1
    kQuirkOutOn1 = 1u << 19,        // output on interface 1 when none is chosen
    kQuirkMidiOn3 = 1u << 20,       // without MIDI interface: interface 3
    kQuirkXmos = 1u << 21,          // chip-based interface: its build logs say so
    kQuirkMRW30 = 1u << 22,         // MRW30 kind: input 2, output 1, no control interface
};

// Per-product wanted-count corrections of the interface choice.
enum class ZrCountsRule : uint8_t {
    None,
    Fixed,             // ins, outs, inBits, outBits as given
    HighSpeedDefaults, // on a high-speed link, a wanted count of 0 takes ins or outs
    OutsByRate,        // outputs 6 below 176.4 kHz, else 4
    TwoPlusUSB2,       // 2 + 2 x the USB 2 flag both ways, 24 bits
};
struct ZrCounts {
    int8_t ins = 0, outs = 0, inBits = 0, outBits = 0;
};
// The further attempt after the wanted setting failed: 0 channels in both
// means none; rate 0 keeps the rate the failed attempt left.
struct ZrFurtherAttempt {
    int32_t rate = 0;
    int8_t ins = 0, outs = 0, bits = 0;
};
// Start counts of the final search; 0 and 0: 8 and 8.
struct ZrFinalSearchStart {
    int8_t ins = 0, outs = 0;
};
// Fixed synthesized alternates: which alternates of configuration 0 stream,
// how many channels (high speed, full speed), 24 bits, 44.1 and 48 kHz plus
// 88.2 and 96 kHz at high speed, and on some rows a second format with 176.4
// and 192 kHz at high speed.
struct ZrFixedAlternates {
    bool present = false;
    int8_t outInterface = 0, outAlternate = 0, inInterface = 0, inAlternate = 0;
    int8_t clearAlternate = -1; // -1: none
    int8_t highSpeedChannels = 0, fullSpeedChannels = 0;
    bool secondFormat192 = false;
    bool rateSets = false; // rates chosen from the product's selectable sets
};
// Five of the second Sorvik generation carry their own input/output channel
// pair (the others 4 and 4); their rows point here.
struct ZrChannelPair {
    uint16_t product;
    uint8_t ins, outs;
};
constexpr ZrChannelPair kSorvikFarlane2ChannelPairs[] = {
    {kSorvikFarlane2ProductIDs[0], 12, 2},  {kSorvikFarlane2ProductIDs[1], 8, 6},
    {kSorvikFarlane2ProductIDs[2], 12, 12}, {kSorvikFarlane2ProductIDs[3], 12, 2},
    {kSorvikFarlane2ProductIDs[4], 12, 2},
};

// The level meters a class-compliant product takes at start.
enum class ZrClassMeters : uint8_t {
    None,
    TwoChannel,    // 2-channel meters both ways
    SixEight,      // a 6-channel output and an 8-channel input meter
    EightSixteen,  // high speed only: 8-channel output, 16- or 10-channel input
    EightEighteen, // high speed only: 8-channel output, 18- or 16-channel input
};

// A row for every product of a maker.
constexpr uint16_t kZrAnyProduct = 0xFFFF;

// The class-control layout a class-compliant product's device controls use
// (their rows are in ZrDeviceControls.cpp).
enum class ZrControlsLayout : uint8_t {
    None,
    Typical,           // two outputs, one input
    InputSelector,     // an input selector unit in front of two inputs
    SyncSources,       // two sync sources
    VendorControl,     // a vendor control and a monitor path
    InterfaceSelector, // the output path is a choice of USB interface
    Meter,             // class meters beside the controls
    Trunk,             // the Halvard Trunk pair
};

struct ZrProductRow {
    uint16_t vendor = 0;
    uint16_t product = kZrAnyProduct;
    uint64_t lists = 0;            // ZrLists({...})
    uint32_t configFlags = 0;      // ZrConfigProduct bits
    uint32_t descriptorQuirks = 0; // ZrDescriptorQuirk bits
    ZrCountsRule countsRule = ZrCountsRule::None;
    ZrCounts counts{};
    ZrFurtherAttempt furtherAttempt{};
    ZrFinalSearchStart finalSearchStart{};
    ZrFixedAlternates fixedAlternates{};
    ZrClassMeters classMeters = ZrClassMeters::None;
    const ZrChannelPair* channelPair = nullptr; // null: none
    // IsocInIsocOutAtRelease: the release that streams isochronous both ways.
    uint16_t isocBothWaysRelease = 0;
    // NeverReEnumeratedFromFirmware: the first firmware not re-enumerated.
    uint32_t noReEnumerateFirmware = 0;
    // The names the driver reports in place of the device's strings; a null
    // vendor name keeps the device's own.
    const char* productName = nullptr;
    const char* vendorName = nullptr;
    bool matched = false; // one of the driver's personalities
    ZrControlsLayout controlsLayout = ZrControlsLayout::None;

    constexpr bool has(ZrProductList l) const { return (lists >> unsigned(l)) & 1; }
};

// Every row, in table order.
std::span<const ZrProductRow> ZrProductRows();
// The row of a product; a row with nothing set for a product the table
// does not list. Maker rows are not returned here (ZrDeviceTraits merges
// their lists).
const ZrProductRow& ZrProductRowFor(uint16_t vendor, uint16_t product);
// The lists of a product with its maker's row merged in.
uint64_t ZrProductListsFor(uint16_t vendor, uint16_t product);
bool ZrIsListedProduct(ZrProductList list, uint16_t vendor, uint16_t product);
// Configuration flags of a device by its identifiers; 0 for a device this
// driver does not list.
uint32_t ZrConfigProductFlagsFor(uint16_t vendor, uint16_t product);

// Empty strings become "Unknown vendor" and "USB Device"; listed products
// get their row's names. Both buffers hold 256 bytes.
void driverOverwriteProductVendorStrings(char* vendorString, char* productString, uint16_t vendor,
                                         uint16_t product);

// One personality: "IOClass" the service class, "IOProviderClass"
// "IOUSBHostDevice", "idVendor" and "idProduct", and "QnSpecific" (an empty
// dictionary when null is given). The caller releases it.
OSDictionary* ZrMakeDriverPersonality(uint16_t vendor, uint16_t product, OSDictionary* qnSpecific);

// Loads and unloads the driver's personalities, one per matched row, in
// the kernel's catalogue; loading makes the kernel match them against the
// devices already published.
void ZrLoadDriverPersonalities();
void ZrUnloadDriverPersonalities();
