#include "driver/engine/ZrDeviceControls.h"

#include <cstring>

#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/kern/IOLib.h"

namespace {

// Rows of other makers' class-compliant devices. Units are wIndex values of
// the audio-control interface 0.
constexpr XsProductRow kRows[] = {
    // Two outputs, one input: every endpoint applied.
    {
        .layout = ZrControlsLayout::Typical,
        .out = {.count = 2,
                .mode = 1,
                .endpoints =
                    {{.name = "HP 1+2", .channels = 2, .volumeUnit = 0x0400, .muteUnit = 0x0400},
                     {.name = "Out 1+2", .channels = 2, .volumeUnit = 0x0700, .muteUnit = 0x0700}}},
        .in = {.count = 1,
               .mode = 1,
               .endpoints =
                   {{.name = "In 1+2", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00}}},
    },
    // An input selector (unit 11) in front of two inputs; the output's
    // headphone path has a master control only.
    {
        .layout = ZrControlsLayout::InputSelector,
        .out =
            {.count = 2,
             .mode = 1,
             .endpoints =
                 {{.name = "Output", .channels = 2, .volumeUnit = 0x0400, .muteUnit = 0x0400},
                  {.name = "Headphone", .channels = -1, .volumeUnit = 0x0500, .muteUnit = 0x0500}}},
        .in = {.count = 2,
               .mode = 0,
               .selectorUnit = 0x0B00,
               .endpoints =
                   {{.name = "Mic", .channels = 1, .volumeUnit = 0x0C00, .muteUnit = 0x0C00},
                    {.name = "Line", .channels = 2, .volumeUnit = 0x0D00, .muteUnit = 0x0D00}}},
    },
    // Two sync sources.
    {
        .layout = ZrControlsLayout::SyncSources,
        .out = {.count = 1,
                .mode = 1,
                .endpoints =
                    {{.name = "Out", .channels = 2, .volumeUnit = 0x0400, .muteUnit = 0x0400}}},
        .in = {.count = 1,
               .mode = 1,
               .endpoints =
                   {{.name = "Input", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00}}},
        .syncCount = 2,
        .syncNames = {"Internal", "S/PDIF"},
    },
    // A vendor control (the monitor switch) and a monitor path.
    {
        .layout = ZrControlsLayout::VendorControl,
        .out = {.count = 1,
                .mode = 1,
                .endpoints =
                    {{.name = "Speaker", .channels = 2, .volumeUnit = 0x0400, .muteUnit = 0x0400}}},
        .in = {.count = 1,
               .mode = 1,
               .endpoints =
                   {{.name = "Mic", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00}}},
        .third = {.count = 1,
                  .mode = 1,
                  .endpoints = {{.name = "Monitor",
                                 .channels = -1,
                                 .volumeUnit = 0x0600,
                                 .muteUnit = 0x0600}}},
        .vendorControl = {.request = 0x01, .index = 0x0006},
    },
    // The output path is a choice of USB interface (1 or 3); no selector unit.
    {
        .layout = ZrControlsLayout::InterfaceSelector,
        .out = {.count = 2,
                .mode = 0,
                .endpoints = {{.name = "Analog",
                               .channels = 2,
                               .volumeUnit = 0x0400,
                               .muteUnit = 0x0400,
                               .interfaceNumber = 1},
                              {.name = "S/PDIF",
                               .channels = 2,
                               .volumeUnit = 0x0500,
                               .muteUnit = 0x0500,
                               .interfaceNumber = 3}}},
        .in = {.count = 1,
               .mode = 1,
               .endpoints =
                   {{.name = "In 1+2", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00}}},
    },
    {
        .layout = ZrControlsLayout::Meter,
        .out = {.count = 1,
                .mode = 1,
                .endpoints =
                    {{.name = "Out 1+2", .channels = 2, .volumeUnit = 0x0400, .muteUnit = 0x0400}}},
        .in = {.count = 1,
               .mode = 1,
               .endpoints =
                   {{.name = "In 1+2", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00}}},
    },
    // The Halvard Trunk pair: an input selector at unit 5 and two sync
    // sources; a change of either needs a new stream configuration.
    {
        .layout = ZrControlsLayout::Trunk,
        .out = {.count = 1,
                .mode = 1,
                .endpoints =
                    {{.name = "Out 1+2", .channels = 2, .volumeUnit = 0x0700, .muteUnit = 0x0700}}},
        .in = {.count = 2,
               .mode = 0,
               .selectorUnit = 0x0500,
               .endpoints =
                   {{.name = "Analog", .channels = 2, .volumeUnit = 0x0A00, .muteUnit = 0x0A00},
                    {.name = "Digital", .channels = 2, .volumeUnit = 0x0B00, .muteUnit = 0x0B00}}},
        .syncCount = 2,
        .syncNames = {"Internal", "S/PDIF"},
    },
};

// One class request on the interface recipient, at most 3 tries; a failure
// is logged and given back.
bool classRequest(ZrKernelDeviceKorvexHX5100& device, bool in, uint8_t request, uint16_t wValue,
                  uint16_t wIndex, void* data, uint32_t length) {
    uint32_t n = length;
    // deviceRequestStd sends once more than the retry count.
    const IOReturn r =
        device.deviceRequestStd(in ? kDirIn : kDirOut, kLevelClass, kRecipientInterface, request,
                                wValue, wIndex, data, n, kXsClassRequestTries - 1);
    if (r != kIOReturnSuccess || n != length) {
        IOLog("usbDeviceControls: request %02X value %04X index %04X failed (%08X)\n",
              unsigned(request), unsigned(wValue), unsigned(wIndex), unsigned(r));
        return false;
    }
    return true;
}

bool readI16(ZrKernelDeviceKorvexHX5100& device, uint8_t request, uint16_t wValue, uint16_t wIndex,
             int16_t& out) {
    uint8_t b[2] = {};
    if (!classRequest(device, true, request, wValue, wIndex, b, 2)) return false;
    out = int16_t(uint16_t(b[0] | b[1] << 8));
    return true;
}

bool writeI16(ZrKernelDeviceKorvexHX5100& device, uint16_t wValue, uint16_t wIndex, int16_t value) {
    uint8_t b[2] = {uint8_t(uint16_t(value)), uint8_t(uint16_t(value) >> 8)};
    return classRequest(device, false, kXsSetCur, wValue, wIndex, b, 2);
}

void copyName(char* dst, size_t size, const char* src) {
    std::memset(dst, 0, size);
    std::strncpy(dst, src ? src : "", size - 1);
}

// Number of volume triplets an endpoint uses: the master's, or one per
// channel (at most 8).
int tripletCount(int16_t channels) {
    if (channels == -1) return 1;
    if (channels <= 0) return 0;
    return channels > 8 ? 8 : channels;
}

// The structure (everything but values) of a group always comes from the
// current block.
void takeStructure(const XsControlGroup& current, XsControlGroup& requested) {
    requested.mCount = current.mCount;
    requested.mMode = current.mMode;
    requested.mSelectorUnit = current.mSelectorUnit;
    for (int i = 0; i < 8; ++i) {
        const XsEndpoint& c = current.mEndpoints[i];
        XsEndpoint& r = requested.mEndpoints[i];
        // Endpoints the device does not have take no values either.
        if (uint32_t(i) >= current.mCount) {
            r = c;
            continue;
        }
        std::memcpy(r.mName, c.mName, sizeof r.mName);
        r.mChannels = c.mChannels;
        r.mMutePresent = c.mMutePresent;
        r.mMuteUnit = c.mMuteUnit;
        r.mVolumePresent = c.mVolumePresent;
        r.mVolumeUnit = c.mVolumeUnit;
        r.mInterface = c.mInterface;
        for (int k = 0; k < 8; ++k) {
            r.mVolumes[k].mMin = c.mVolumes[k].mMin;
            r.mVolumes[k].mMax = c.mVolumes[k].mMax;
        }
    }
}

} // namespace

const XsProductRow* usbFindDeviceControlsRow(const ZrDeviceTraits& traits) {
    const ZrControlsLayout layout = traits.controlsLayout();
    if (layout == ZrControlsLayout::None) return nullptr;
    for (const XsProductRow& row : kRows)
        if (row.layout == layout) return &row;
    return nullptr;
}

bool usbIsHalvardDevice(const ZrDeviceTraits& traits) {
    return traits.has(ZrProductList::HalvardControls);
}

bool usbIsInterfaceSelectorDevice(const ZrDeviceTraits& traits) {
    return traits.has(ZrProductList::InterfaceSelectorControls);
}

int usbSelectorIndex(uint8_t oneHot) {
    for (int i = 0; i < 8; ++i)
        if (oneHot == (1u << i)) return i + 1;
    return 0;
}

void usbInitVolumes(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep) {
    const int n = tripletCount(ep.mChannels);
    for (int k = 0; k < n; ++k) {
        const uint16_t wValue =
            ep.mChannels == -1 ? kXsVolumeControl : uint16_t(kXsVolumeControl + 1 + k);
        XsVolumeTriplet& t = ep.mVolumes[k];
        readI16(device, kXsGetCur, wValue, ep.mVolumeUnit, t.mCur);
        readI16(device, kXsGetMin, wValue, ep.mVolumeUnit, t.mMin);
        readI16(device, kXsGetMax, wValue, ep.mVolumeUnit, t.mMax);
    }
}

void usbInitMute(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep) {
    uint8_t b = 0;
    if (classRequest(device, true, kXsGetCur, kXsMuteControl, ep.mMuteUnit, &b, 1)) ep.mMute = b;
}

void usbInitSelectorValue(ZrKernelDeviceKorvexHX5100& device, uint16_t selectorUnit,
                          uint8_t& value) {
    uint8_t b = 0;
    value = 0;
    if (!classRequest(device, true, kXsGetCur, 0, selectorUnit, &b, 1)) return;
    if (b >= 1 && b <= 8) value = uint8_t(1u << (b - 1));
}

void usbInitEndpoint(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep, const char* name,
                     int16_t channels, uint16_t volumeUnit, uint16_t muteUnit,
                     uint16_t interfaceNumber) {
    copyName(ep.mName, sizeof ep.mName, name);
    ep.mChannels = channels;
    ep.mVolumeUnit = volumeUnit;
    ep.mMuteUnit = muteUnit;
    ep.mInterface = interfaceNumber;
    if (volumeUnit) {
        ep.mVolumePresent = 1;
        usbInitVolumes(device, ep);
    }
    if (muteUnit) {
        ep.mMutePresent = 1;
        usbInitMute(device, ep);
    }
}

void usbInitDeviceControls(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                           XsDeviceControls& out) {
    std::memset(&out, 0, sizeof out);
    const XsProductRow* row = usbFindDeviceControlsRow(traits);
    if (!row) return;
    auto initGroup = [&](const XsGroupRow& g, XsControlGroup& group) {
        group.mCount = g.count > 8 ? 8 : g.count;
        group.mMode = g.mode;
        group.mSelectorUnit = g.selectorUnit;
        for (uint32_t i = 0; i < group.mCount; ++i) {
            const XsEndpointRow& e = g.endpoints[i];
            usbInitEndpoint(device, group.mEndpoints[i], e.name, e.channels, e.volumeUnit,
                            e.muteUnit, e.interfaceNumber);
        }
        if (g.mode == 0 && g.selectorUnit)
            usbInitSelectorValue(device, g.selectorUnit, group.iSelector);
        // A choice without a selector unit (the output interface), or one the
        // device did not answer, starts at the first endpoint: the path the
        // configuration opens, and the one the controls are shown for. With
        // none chosen, no control of the group could ever be applied.
        if (g.mode == 0 && group.mCount && usbSelectorIndex(group.iSelector) == 0)
            group.iSelector = 0x01;
    };
    initGroup(row->out, out.cOut);
    initGroup(row->in, out.cIn);
    initGroup(row->third, out.cThird);
    out.cSync.mCount = row->syncCount > 8 ? 8 : row->syncCount;
    for (uint32_t i = 0; i < out.cSync.mCount; ++i)
        copyName(out.cSync.mNames[i], sizeof out.cSync.mNames[i], row->syncNames[i]);
    if (out.cSync.mCount) out.cSync.mSelection = 0x01;
    if (row->vendorControl.request) {
        out.mHasMonitor = 1;
        uint8_t b = 0;
        uint32_t n = 1;
        if (device.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice,
                                    row->vendorControl.request, 0, row->vendorControl.index, &b, n,
                                    0) == kIOReturnSuccess &&
            n == 1)
            out.mMonitorValue = b;
    }
}

void usbApplyDeviceControlEndPoint(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits&,
                                   const XsEndpoint& current, XsEndpoint& requested, bool& changed,
                                   bool&, bool force) {
    if (requested.mCompareWord != current.mCompareWord) changed = true;
    if (current.mMutePresent) {
        if (force || requested.mMute != current.mMute) {
            if (current.mMuteUnit) {
                const uint8_t b = requested.mMute;
                if (classRequest(device, false, kXsSetCur, kXsMuteControl, current.mMuteUnit,
                                 const_cast<uint8_t*>(&b), 1))
                    changed = true;
                else
                    requested.mMute = current.mMute;
            } else {
                changed = true;
            }
        }
    }
    if (current.mVolumePresent) {
        const int n = tripletCount(current.mChannels);
        for (int k = 0; k < n; ++k) {
            XsVolumeTriplet& t = requested.mVolumes[k];
            const XsVolumeTriplet& c = current.mVolumes[k];
            // Clamp to the device's range, when it reported a sane one.
            if (c.mMin <= c.mMax) {
                if (t.mCur < c.mMin) t.mCur = c.mMin;
                if (t.mCur > c.mMax) t.mCur = c.mMax;
            }
            const uint16_t wValue =
                current.mChannels == -1 ? kXsVolumeControl : uint16_t(kXsVolumeControl + 1 + k);
            // Every channel is sent, changed or not.
            if (!writeI16(device, wValue, current.mVolumeUnit, t.mCur)) {
                t.mCur = c.mCur;
                continue;
            }
            if (force || t.mCur != c.mCur) changed = true;
        }
    }
}

void usbApplyDeviceControlGroup(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                                const XsControlGroup& current, XsControlGroup& requested,
                                bool& changed) {
    takeStructure(current, requested);
    bool restart = false;
    const uint32_t count = requested.mCount > 8 ? 8 : requested.mCount;
    if (requested.mMode == 1) {
        if (requested.iSelector != current.iSelector) changed = true;
        for (uint32_t i = 0; i < count; ++i)
            usbApplyDeviceControlEndPoint(device, traits, current.mEndpoints[i],
                                          requested.mEndpoints[i], changed, restart, false);
        return;
    }
    if (count == 0) {
        requested = current; // no endpoint, nothing to apply
        return;
    }
    const int index = usbSelectorIndex(requested.iSelector);
    if (index == 0 || uint32_t(index) > count) {
        // A selection naming no endpoint: nothing can be sent, so nothing of
        // the group is taken (the shared state would show values the device
        // never got).
        IOLog("usbApplyDeviceControlGroup: selection %02X names no endpoint of %u, nothing "
              "sent\n",
              unsigned(requested.iSelector), unsigned(count));
        requested = current;
        return;
    }
    // Only the chosen endpoint is sent: the others take no values.
    for (uint32_t i = 0; i < count; ++i)
        if (i != uint32_t(index - 1)) requested.mEndpoints[i] = current.mEndpoints[i];
    XsEndpoint& chosen = requested.mEndpoints[index - 1];
    const XsEndpoint& chosenCurrent = current.mEndpoints[index - 1];
    if (requested.mSelectorUnit) {
        const uint8_t b = uint8_t(index);
        if (!classRequest(device, false, kXsSetCur, 0, requested.mSelectorUnit,
                          const_cast<uint8_t*>(&b), 1)) {
            // The device kept its selection, and nothing of the group went
            // out.
            requested = current;
            return;
        }
    }
    if (requested.iSelector != current.iSelector) changed = true;
    if (requested.mSelectorUnit)
        usbApplyDeviceControlEndPoint(device, traits, chosenCurrent, chosen, changed, restart,
                                      true);
    usbApplyDeviceControlEndPoint(device, traits, chosenCurrent, chosen, changed, restart, false);
}

bool usbApplyValidateXeBitCombination(uint32_t count, uint32_t bits) {
    if (count == 0) return bits == 0;
    if (count < 8) return bits < (1u << count);
    return count == 8;
}

void usbApplyDeviceControlsSync(ZrKernelDeviceKorvexHX5100&, const ZrDeviceTraits& traits,
                                const XsSyncSources& current, XsSyncSources& requested,
                                bool& changed, bool& restart) {
    if (requested.mSelection == current.mSelection) return;
    if (usbApplyValidateXeBitCombination(current.mCount, requested.mSelection)) {
        changed = true;
        if (usbIsHalvardDevice(traits)) restart = true;
    } else {
        requested.mSelection = current.mSelection;
    }
}

void usbApplyDeviceControls(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                            const XsDeviceControls& current, XsDeviceControls& requested,
                            bool& changed, bool& restart) {
    changed = false;
    restart = false;
    // Clients cannot change the sources themselves.
    requested.cSync.mCount = current.cSync.mCount;
    std::memcpy(requested.cSync.mNames, current.cSync.mNames, sizeof requested.cSync.mNames);
    requested.mHasMonitor = current.mHasMonitor;
    // The product's vendor control: its value's low byte, when it changed.
    if (const XsProductRow* row = usbFindDeviceControlsRow(traits)) {
        if (row->vendorControl.request && current.mHasMonitor &&
            (requested.mMonitorValue & 0xFF) != (current.mMonitorValue & 0xFF)) {
            uint32_t n = 0;
            if (device.deviceRequestStd(
                    kDirOut, kLevelVendor, kRecipientDevice, row->vendorControl.request,
                    uint16_t(requested.mMonitorValue & 0xFF), row->vendorControl.index, nullptr, n,
                    kXsClassRequestTries - 1) == kIOReturnSuccess)
                changed = true;
            else
                requested.mMonitorValue = current.mMonitorValue;
        } else {
            requested.mMonitorValue = current.mMonitorValue;
        }
    } else {
        requested.mMonitorValue = current.mMonitorValue;
    }
    usbApplyDeviceControlGroup(device, traits, current.cThird, requested.cThird, changed);
    usbApplyDeviceControlGroup(device, traits, current.cIn, requested.cIn, changed);
    // Judged on the selection as applied: one the group refused is no change.
    if (usbIsHalvardDevice(traits) && requested.cIn.iSelector != current.cIn.iSelector) {
        changed = true;
        restart = true;
    }
    usbApplyDeviceControlGroup(device, traits, current.cOut, requested.cOut, changed);
    usbApplyDeviceControlsSync(device, traits, current.cSync, requested.cSync, changed, restart);
}
