// Products whose descriptors the model corrects, completes or reads in a
// product-specific way. Quirks are data: code asks these predicates, never
// compares identifiers inline.
//
// The identifiers are this driver's own choice; the simulated devices are
// built with the same values. The HX-5100's come from the product table.
#pragma once

#include <cstdint>

#include "abi/VIDPID.h"
#include "driver/engine/ZrProductTable.h"

namespace ZrDescriptorProducts {

constexpr uint16_t kKorvexVendor = kKorvexVendorID;
constexpr uint16_t kHX5100 = kKorvexHX5100ProductID;
constexpr uint16_t kHX5100Sibling = kKorvexHX5100SiblingProductID;
constexpr uint16_t kLX880 = kKorvexLX880ProductID;
constexpr uint16_t kLX310 = kKorvexLX310ProductID;
constexpr uint16_t kSorvikVendor = kSorvikVendorID;
inline constexpr const uint16_t (&kSorvikFarlane1)[4] = kSorvikFarlane1ProductIDs;
inline constexpr const uint16_t (&kSorvikFarlane2)[7] = kSorvikFarlane2ProductIDs;

// What a listed product needs of the descriptor model, read once from the
// product rows below; the model tests these flags, never identifiers.
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
    // Bits 13 and 14 are free: the fixed interface layouts are the family
    // table's groups (abi/DeviceFamilies.h).
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

struct ZrDescriptorRow {
    uint16_t vendor;
    uint16_t product;
    uint16_t release; // 0xFFFF: any release
    uint32_t quirks;
    ZrCountsRule counts;
    int8_t ins, outs, inBits, outBits; // values of the counts rule
    // The further attempt after the wanted setting failed: 0 channels in
    // both means none; rate 0 keeps the rate the failed attempt left.
    int32_t secondRate;
    int8_t secondIns, secondOuts, secondBits;
    int8_t finalIns, finalOuts; // start counts of the final search; 0 and 0: 8 and 8
};

// The row of a device, or null when it has none.
const ZrDescriptorRow* descriptorRow(const VIDPID& id);
uint32_t descriptorQuirks(const VIDPID& id);
// A second-generation Sorvik product's own channel pair; false for the
// others (they take 4 and 4).
bool farlane2ChannelPair(const VIDPID& id, int& ins, int& outs);
inline bool hasQuirk(const VIDPID& id, uint32_t q) {
    return (descriptorQuirks(id) & q) != 0;
}

// The HX-5100 and its three siblings of the hardware brand.
bool isKorvexFamily(const VIDPID& id);
// The two of the family that stream up to 192 kHz at high speed.
bool isKorvex192(const VIDPID& id);
bool isSorvikFarlane1(const VIDPID& id);
bool isSorvikFarlane2(const VIDPID& id);
bool isSorvik(const VIDPID& id);

// The identity's view of its specific-features record.
bool isMerrowCompatible(const VIDPID& id);
bool isMRW192Compatible(const VIDPID& id);
bool wantsSynthesizedDescriptors(const VIDPID& id);
bool featuresLoaded(const VIDPID& id);
bool featuresLoadedWithout(const VIDPID& id, unsigned flag);

} // namespace ZrDescriptorProducts
