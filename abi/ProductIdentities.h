// The product identities (USB vendor and product identifiers) kernel and
// user space share, each named once: the kernel driver's product tables and
// the user-space device layer's family tables are built over these names.
//
// Identifiers are this driver's own choice: the simulated devices are built
// with them, and tests plug them in.
#pragma once

#include <cstdint>

constexpr uint16_t kKorvexVendorID = 0x2F4B;
constexpr uint16_t kKorvexHX5100ProductID = 0x5100;

constexpr uint16_t kQuarnelVendorID = 0x2F6A; // the driver maker's own devices
constexpr uint16_t kQuarnelBulkB01ProductID = 0x0B01;
constexpr uint16_t kQuarnelBulkB02ProductID = 0x0B02;
constexpr uint16_t kQuarnelBulkInIsocOutProductID = 0x0B10;
constexpr uint16_t kQuarnelNoDigitalProductID = 0x0B20;
// Bulk-protocol products: the one whose start clears its pipes' stalls
// first, and the two with the 10-channel fifth-lane encoder.
constexpr uint16_t kQuarnelBulkGoProductID = 0x0B03;
constexpr uint16_t kQuarnelKX1ProductID = 0x0B04;
constexpr uint16_t kQuarnelKX2ProductID = 0x0B05;

// Every product the driver lists anywhere, named once here; the descriptor
// model's and the configuration's product tables refer to these names.
// The hardware brand's own interfaces beside the HX-5100.
constexpr uint16_t kKorvexHX5100SiblingProductID =
    0x5101; // rack sibling: same interfaces and rates
// The HX-5100's four-by-four sibling: the second product with a mixer mode.
constexpr uint16_t kKorvexFourByFourProductID = 0x5144;
constexpr uint16_t kKorvexLX880ProductID = 0x0880;
constexpr uint16_t kKorvexLX310ProductID = 0x0310;
constexpr uint16_t kKorvexLX150ProductID = 0x0150;
constexpr uint16_t kKorvexLX220ProductID = 0x0220;
constexpr uint16_t kKorvexLX420ProductID = 0x0420;
constexpr uint16_t kKorvexLX430ProductID = 0x0430; // the further LX4xx product
constexpr uint16_t kKorvexLX440ProductID =
    0x0440; // the LX4xx product with the fixed selector value
constexpr uint16_t kKorvexLX610ProductID = 0x0610;
constexpr uint16_t kKorvexMRW30ProductID = 0x0030;

// Sorvik: first generation (fixed 48 kHz alternates built by the driver;
// these four take a channel map) and the second protocol generation
// (formats from interrupt packet sizes). Both carry a UID and a name.
constexpr uint16_t kSorvikVendorID = 0x1935;
constexpr uint16_t kSorvikFarlane1ProductIDs[] = {4, 6, 8, 11};
constexpr uint16_t kSorvikFarlane2ProductIDs[] = {10, 12, 14, 16, 20, 22, 28};
// Other makers' products with their own descriptor, choice or
// configuration rows.
constexpr uint16_t kBrindleVendorID = 0x2F71; // streaming on interface 2, fixed direction layout
constexpr uint16_t kBrindleB1ProductID = 0x0001;
constexpr uint16_t kBrindleB2ProductID = 0x0002;
constexpr uint16_t kBrindleB3ProductID = 0x0003;
constexpr uint16_t kBrindleB3Release = 0x0200; // only this release of the B3 has the fixed layout
constexpr uint16_t kOlvqVendorID = 0x2F72;
constexpr uint16_t kOlvq186ProductID = 0x0186;
constexpr uint16_t kOlvq187ProductID = 0x0187;
constexpr uint16_t kOlvq188ProductID = 0x0188;
constexpr uint16_t kOlvqEarlierVendorID = 0x2F70; // the Olvq products' earlier vendor identifier
constexpr uint16_t kOlvqEarlierProductID = 0x0186;
// Another maker's 8-channel bulk-protocol product whose output pair is
// chosen by the digital-out selector: the Olvq product of the earlier
// vendor identifier, the one product whose selector control stores it.
constexpr uint16_t kBulkSelectorVendorID = kOlvqEarlierVendorID;
constexpr uint16_t kBulkSelectorProductID = kOlvqEarlierProductID;
constexpr uint16_t kTeslinVendorID = 0x2F73;
constexpr uint16_t kTeslinT10ProductID = 0x0010;
constexpr uint16_t kTeslinT11ProductID = 0x0011;
constexpr uint16_t kTeslinT12ProductID = 0x0012;
constexpr uint16_t kPellixVendorID = kQuarnelVendorID; // the driver maker's own
constexpr uint16_t kPellixProductID = 0x0001;
constexpr uint16_t kKestrelVendorID = 0x2F75;
constexpr uint16_t kKestrelProductID = 0x0001;
constexpr uint16_t kKestrelK2ProductID = 0x0002;
constexpr uint16_t kKestrelK3ProductID = 0x0003;
constexpr uint16_t kMaravelVendorID = 0x2F76;    // raw descriptor fix-ups
constexpr uint16_t kMaravelM1ProductID = 0x0001; // byte 164 set to 1
constexpr uint16_t kMaravelM2ProductID =
    0x0002; // first three interfaces: control, streaming, streaming
constexpr uint16_t kMaravelM3ProductID = 0x0003; // first interface: streaming
constexpr uint16_t kMaravelM4ProductID = 0x0004; // four resolution bytes set to 24
constexpr uint16_t kGarnetoVendorID = 0x2F77;
constexpr uint16_t kGarnetoProductID = 0x0001;
constexpr uint16_t kBravaVendorID = 0x2F78;
constexpr uint16_t kBravaB1ProductID = 0x0001;
constexpr uint16_t kBravaB2ProductID = 0x0002;
constexpr uint16_t kBravaB3ProductID = 0x0003;
constexpr uint16_t kKsvVendorID = 0x2F79;
constexpr uint16_t kKsv0ProductID = 0x0001;
constexpr uint16_t kQuellVendorID = 0x2F7A; // post-scan corrections
constexpr uint16_t kQuellQ8ProductID =
    0x0008; // 8 channels on the second format of interfaces 1 and 2
constexpr uint16_t kQuellQ16ProductID = 0x0016; // no 16-bit formats when 24-bit ones are found
constexpr uint16_t kQuellQ3ProductID = 0x0003;  // no MIDI, no formats of 3 or more channels
constexpr uint16_t kQuellQ32ProductID = 0x0032; // synthesized twice, 32 kHz disabled
constexpr uint16_t kVelmarVendorID = 0x2F7C;    // chip-based interfaces with selectable rate sets
constexpr uint16_t kVelmarV4ProductID = 0x0004;
constexpr uint16_t kVelmarV6ProductID = 0x0006; // input safety offset 60 frames wider
constexpr uint16_t kVelmarV8ProductID = 0x0008; // input safety offset 60 frames wider
// Interfaces whose audio-server input safety offset is 60 frames wider.
constexpr uint16_t kSelbyVendorID = 0x2F7E;
constexpr uint16_t kSelbyS2ProductID = 0x0002;
constexpr uint16_t kSelbyS4ProductID = 0x0004;
constexpr uint16_t kDarrowVendorID = 0x2F7D; // MIDI on the interface below, 4-channel input on 10
constexpr uint16_t kDarrowD1ProductID = 0x0001;
constexpr uint16_t kDarrowD2ProductID = 0x0002;
// Further Darrow interfaces whose input safety offset starts from 5 ms.
constexpr uint16_t kDarrowD3ProductID = 0x0003;
constexpr uint16_t kDarrowD4ProductID = 0x0004;
constexpr uint16_t kTolvaneVendorID = 0x2F80;
constexpr uint16_t kTolvaneProductID = 0x0001;
// Class-compliant interfaces of another maker whose mixer controls the
// driver models (feature and selector units, product rows of the device
// controls): a typical two-output, one-input row; a row with an input
// selector; one with sync sources; one with a vendor control (the monitor
// switch); one whose output path choice is a choice of USB interface; and
// one that takes the 2-channel level meters.
constexpr uint16_t kCadenzaVendorID = 0x2FC0;
constexpr uint16_t kCadenzaTypicalProductID = 0x0001;
constexpr uint16_t kCadenzaSelectorProductID = 0x0002;
constexpr uint16_t kCadenzaSyncProductID = 0x0003;
constexpr uint16_t kCadenzaVendorControlProductID = 0x0004;
constexpr uint16_t kCadenzaInterfaceSelectorProductID = 0x0005;
constexpr uint16_t kCadenzaMeterProductID = 0x0006;
// Class-compliant interfaces of another maker whose level meters the start
// chooses: one with a 6-channel output and an 8-channel input meter; two
// (high speed only) with the 8-channel output meter and a 16- or 10-channel
// input meter; one (high speed only) with the 8-channel output meter and an
// 18- or 16-channel input meter.
constexpr uint16_t kOstravVendorID = 0x2FC8;
constexpr uint16_t kOstravSixEightProductID = 0x0068;
constexpr uint16_t kOstravSixteenProductID = 0x0160;
constexpr uint16_t kOstravSixteenBProductID = 0x0161;
constexpr uint16_t kOstravEighteenProductID = 0x0180;
// The Halvard Trunk products (class-compliant, own start-ups).
constexpr uint16_t kTrunkVendorID = 0x2F90;
constexpr uint16_t kTrunkProductID = 0x1000;
constexpr uint16_t kTrunk2ProductID = 0x3000;
constexpr uint16_t kSetFreqVendorID = 0x2FA0;
constexpr uint16_t kSetFreqS1ProductID = 0x0001;
constexpr uint16_t kSetFreqS2ProductID = 0x0002;
// Another maker's devices with firmware answers of their own: one with a
// command microcontroller (PIC) that streaming start tells the rate, one
// that reports its channel counts in its firmware information, and one
// that runs at 2 channels of 16 bits up to 48 kHz only.
constexpr uint16_t kPelgraneVendorID = 0x2FB0;
constexpr uint16_t kPelgranePicProductID = 0x0001;
constexpr uint16_t kPelgraneCountsProductID = 0x0002;
constexpr uint16_t kPelgraneStereo16ProductID = 0x0003;
// Another maker's interfaces with a clock of their own: one whose packets
// carry exactly the nominal frames at 48 and 96 kHz (no tolerance), and two
// whose input errors break the stream as the Merrow devices' do.
constexpr uint16_t kHarlowVendorID = 0x2FB8;
constexpr uint16_t kHarlowExactClockProductID = 0x0001;
constexpr uint16_t kHarlowStrictInputH2ProductID = 0x0002;
constexpr uint16_t kHarlowStrictInputH3ProductID = 0x0003;
