// The device-family table: every list of products whose behaviour differs,
// over the identities of ProductIdentities.h. Kernel and user space read the
// same rows; a list holds at least one identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "abi/ProductIdentities.h"

struct DeviceFamilyMember {
    uint16_t vendor;
    uint16_t product;
    uint16_t release = 0xFFFF; // 0xFFFF: any release
};

using DeviceFamily = std::span<const DeviceFamilyMember>;

// The driver maker's six-channel product, its phono product (RIAA stage)
// and the further products the families name.
constexpr uint16_t kQuarnelSixChannelProductID = 0x0B30;
constexpr uint16_t kQuarnelPhonoProductID = 0x0B40;
constexpr uint16_t kQuarnelMonitorModeProductID = 0x0B50;
constexpr uint16_t kQuarnelFourChannelMixerProductID = 0x0B60;

namespace DeviceFamilies {

// Mixer-mode products: restore with Req 38/40, extra delay 150.
inline constexpr DeviceFamilyMember kMixerMode[] = {
    {kKorvexVendorID, kKorvexHX5100ProductID},
    {kKorvexVendorID, kKorvexFourByFourProductID},
};
// Output on interface 1, input on interface 2, alternate setting 2.
inline constexpr DeviceFamilyMember kHX5100Group[] = {
    {kKorvexVendorID, kKorvexHX5100ProductID},
    {kKorvexVendorID, kKorvexLX420ProductID},
    {kKorvexVendorID, kKorvexLX310ProductID},
    {kKorvexVendorID, kKorvexFourByFourProductID},
    {kBrindleVendorID, kBrindleB1ProductID},
    {kBrindleVendorID, kBrindleB2ProductID},
    {kBrindleVendorID, kBrindleB3ProductID, kBrindleB3Release},
};
// Output on interface 0, input on interface 1, alternate setting 1.
inline constexpr DeviceFamilyMember kInterfaceZeroOneGroup[] = {
    {kKorvexVendorID, kKorvexLX150ProductID}, {kKorvexVendorID, kKorvexLX220ProductID},
    {kKorvexVendorID, kKorvexLX430ProductID}, {kKorvexVendorID, kKorvexLX440ProductID},
    {kKorvexVendorID, kKorvexLX610ProductID}, {kKorvexVendorID, kKorvexLX880ProductID},
    {kTeslinVendorID, kTeslinT10ProductID},   {kTeslinVendorID, kTeslinT11ProductID},
    {kTeslinVendorID, kTeslinT12ProductID},
};
// Products that show user-configuration notices.
inline constexpr DeviceFamilyMember kUserConfigurationNotice[] = {
    {kKorvexVendorID, kKorvexLX420ProductID},
    {kKorvexVendorID, kKorvexLX310ProductID},
};
inline constexpr DeviceFamilyMember kSixChannel[] = {
    {kQuarnelVendorID, kQuarnelSixChannelProductID}};
inline constexpr DeviceFamilyMember kPhono[] = {{kQuarnelVendorID, kQuarnelPhonoProductID}};
inline constexpr DeviceFamilyMember kTrunk[] = {{kTrunkVendorID, kTrunkProductID}};
inline constexpr DeviceFamilyMember kTrunk2[] = {{kTrunkVendorID, kTrunk2ProductID}};
inline constexpr DeviceFamilyMember kTolvane[] = {{kTolvaneVendorID, kTolvaneProductID}};
inline constexpr DeviceFamilyMember kMonitorMode[] = {
    {kQuarnelVendorID, kQuarnelMonitorModeProductID}};
inline constexpr DeviceFamilyMember kFourChannelMixer[] = {
    {kQuarnelVendorID, kQuarnelFourChannelMixerProductID}};
// One channel per direction at 88200 and 96000; the monitor-mode product first.
inline constexpr DeviceFamilyMember kMonoAtHighRate[] = {
    {kQuarnelVendorID, kQuarnelMonitorModeProductID},
    {kTolvaneVendorID, kTolvaneProductID},
};
// The other direction follows the requested one's resolution.
inline constexpr DeviceFamilyMember kSymmetric[] = {{kTolvaneVendorID, kTolvaneProductID}};
inline constexpr DeviceFamilyMember kMRW30[] = {{kKorvexVendorID, kKorvexMRW30ProductID}};
inline constexpr DeviceFamilyMember kQuarnelBulk[] = {
    {kQuarnelVendorID, kQuarnelBulkB01ProductID},
    {kQuarnelVendorID, kQuarnelBulkB02ProductID},
};
inline constexpr DeviceFamilyMember kQuarnelBulkInIsocOut[] = {
    {kQuarnelVendorID, kQuarnelBulkInIsocOutProductID},
    {kQuarnelVendorID, kQuarnelPhonoProductID},
};
// Transport type 'usb ' instead of the default.
inline constexpr DeviceFamilyMember kTransportUSB[] = {
    {kKestrelVendorID, kKestrelProductID},
    {kKestrelVendorID, kKestrelK2ProductID},
};
// Device names every reader gets with "_CoreAudio"; also the products whose
// name is the area's second string with "_Bit_Accurate" and whose latencies
// add one rate unit.
inline constexpr DeviceFamilyMember kCoreAudioSuffix[] = {
    {kOlvqVendorID, kOlvq186ProductID},
    {kOlvqVendorID, kOlvq187ProductID},
    {kOlvqVendorID, kOlvq188ProductID},
};
// The audio server's input safety offset: three products of one vendor
// start from 5 ms; five products of two other vendors add 60 frames. One
// product of the first vendor adds 5 ms to its latencies from the first
// start of its IO.
inline constexpr DeviceFamilyMember kFiveMsLatency[] = {
    {kDarrowVendorID, kDarrowD1ProductID},
    {kDarrowVendorID, kDarrowD3ProductID},
    {kDarrowVendorID, kDarrowD4ProductID},
};
inline constexpr DeviceFamilyMember kLatencyExtraMsAtStart[] = {
    {kDarrowVendorID, kDarrowD2ProductID}};
inline constexpr DeviceFamilyMember kSixtyExtraFrames[] = {
    {kVelmarVendorID, kVelmarV4ProductID}, {kVelmarVendorID, kVelmarV6ProductID},
    {kVelmarVendorID, kVelmarV8ProductID}, {kSelbyVendorID, kSelbyS2ProductID},
    {kSelbyVendorID, kSelbyS4ProductID},
};
// Stream channel counts chosen by the reply of Req 33.
inline constexpr DeviceFamilyMember kChannelsByReq33[] = {
    {kPelgraneVendorID, kPelgraneCountsProductID}};

constexpr bool contains(DeviceFamily family, uint16_t vendor, uint16_t product,
                        uint16_t release = 0xFFFF) {
    for (const DeviceFamilyMember& m : family)
        if (m.vendor == vendor && m.product == product &&
            (m.release == 0xFFFF || m.release == release))
            return true;
    return false;
}

constexpr bool isSorvikFarlane1(uint16_t vendor, uint16_t product) {
    if (vendor != kSorvikVendorID) return false;
    for (uint16_t p : kSorvikFarlane1ProductIDs)
        if (p == product) return true;
    return false;
}

constexpr bool isSorvikFarlane2(uint16_t vendor, uint16_t product) {
    if (vendor != kSorvikVendorID) return false;
    for (uint16_t p : kSorvikFarlane2ProductIDs)
        if (p == product) return true;
    return false;
}

} // namespace DeviceFamilies
