// What the driver knows of a device beyond its descriptors: its product
// row (driver/engine/ZrProductTable.h), read once when the identity is
// known, and the configuration's view (link speed, features record,
// compatibility answers) the choosers take with it. Code asks these traits,
// never the identifiers.
#pragma once

#include <cstdint>

#include "abi/APIDeviceInfo.h"
#include "abi/VIDPID.h"
#include "driver/engine/ZrProductTable.h"

struct ZrDeviceTraits {
    uint32_t products = 0; // ZrConfigProduct bits of the row
    // The configuration's view, filled when a configuration is chosen.
    bool highSpeed = false;
    const APISpecificFeatures* features = nullptr; // null: no features record loaded
    bool merrowCompatible = true;
    bool mrw192Compatible = true;
    bool noDigital = false; // ZrDevice::ajHasNoDigital
    bool can192k = true;    // the device offers 192 kHz with the current formats
    // The row's lists (with its maker's merged in) and descriptor quirks,
    // and the row itself for its larger fields.
    uint64_t lists = 0;
    uint32_t descriptorQuirks = 0;
    uint16_t release = 0;
    const ZrProductRow* row = nullptr; // set by ZrReadDeviceTraits (an empty row if unlisted)

    bool is(uint32_t productBits) const { return (products & productBits) != 0; }
    bool hasFeatures() const { return features != nullptr; }
    bool hasFeature(unsigned n) const { return features && features->hasFlag(n); }

    bool has(ZrProductList l) const { return (lists >> unsigned(l)) & 1; }
    bool hasQuirk(uint32_t quirk) const { return (descriptorQuirks & quirk) != 0; }
    bool isFarlane1() const { return has(ZrProductList::SorvikFarlane1); }
    bool isFarlane2() const { return has(ZrProductList::SorvikFarlane2); }
    bool isSorvik() const { return isFarlane1() || isFarlane2(); }
    // Bytes a client ring's frame carries beyond its samples: the Sorvik
    // generations' headers.
    uint32_t clientRingExtraBytes() const { return isFarlane1() ? 2 : isFarlane2() ? 4 : 0; }
    // Isochronous both ways, no feedback: the row's release only.
    bool isocBothWays() const {
        return has(ZrProductList::IsocInIsocOutAtRelease) && release == row->isocBothWaysRelease;
    }
    // Not re-enumerated when unconfigured at this firmware.
    bool neverReEnumerated(uint32_t firmware) const {
        return has(ZrProductList::NeverReEnumerated) ||
               (has(ZrProductList::NeverReEnumeratedFromFirmware) &&
                firmware >= row->noReEnumerateFirmware);
    }
    // Input and feedback packets get no tolerance at this rate.
    bool exactClockAt(uint32_t rate) const {
        return has(ZrProductList::ExactClock) && (rate == 48000 || rate == 96000);
    }
    // A second-generation Sorvik product's own channel pair; false for the
    // others (they take 4 and 4).
    bool channelPair(uint32_t& ins, uint32_t& outs) const {
        if (!row || !row->channelPair) return false;
        ins = row->channelPair->ins;
        outs = row->channelPair->outs;
        return true;
    }
    // Where the product's class-compliant controls live (its controls row).
    ZrControlsLayout controlsLayout() const {
        return row ? row->controlsLayout : ZrControlsLayout::None;
    }
};

// The traits of a product, read from its row (and its maker's).
ZrDeviceTraits ZrReadDeviceTraits(uint16_t vendor, uint16_t product, uint16_t release);

// An identity with its traits, read once: what the descriptor model, the
// interface choice and the frame pattern take, so their product checks
// never scan the table again.
class ZrDeviceIds : public VIDPID {
public:
    ZrDeviceIds(const VIDPID& ids) // NOLINT: a plain identity reads its traits
        : VIDPID(ids), mTraits(ZrReadDeviceTraits(ids.vendor(), ids.product(), ids.release())) {}
    const ZrDeviceTraits& traits() const { return mTraits; }

private:
    ZrDeviceTraits mTraits;
};
