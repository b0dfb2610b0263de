// The pipes of the current configuration, one slot per role. The
// configuration chooses them (all at once, from the interfaces it bound),
// the HID status pipe joins when the configuration completes, a class
// device's output alternate may replace the isochronous output, and all go
// when the configuration goes; the rest of the driver only reads them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class ZrPipeDescriptor;

enum class ZrPipeSlot : uint8_t {
    InIsoc,
    InFeedback,
    BulkIn,
    BulkOut,
    InterruptIn,
    InterruptOut,
    OutIsoc,
    OutIsocKeepAlive,
    StatusInterruptIn,
    Count
};

struct ZrPipeSlotInfo {
    ZrPipeSlot slot;
    const char* name;                     // as the driver's log names the slot
    bool openedWithConfiguration = false; // opened by the configuration's pipe step
    bool checksBandwidth = false;         // an isochronous audio pipe: its bandwidth is checked
    bool pauseBefore = false;             // on devices that need it, 50 ms before it opens
    bool announced = false;               // its open is logged beforehand
};

// In the order the configuration opens them.
inline constexpr ZrPipeSlotInfo kZrPipeSlots[] = {
    {.slot = ZrPipeSlot::InIsoc,
     .name = "m_pcInPipeIsoc",
     .openedWithConfiguration = true,
     .checksBandwidth = true},
    {.slot = ZrPipeSlot::InFeedback, .name = "m_pcInPipeFeedback", .openedWithConfiguration = true},
    {.slot = ZrPipeSlot::BulkIn, .name = "m_pcBulkInPipe", .openedWithConfiguration = true},
    {.slot = ZrPipeSlot::BulkOut, .name = "m_pcBulkOutPipe", .openedWithConfiguration = true},
    {.slot = ZrPipeSlot::InterruptIn,
     .name = "m_pcInterruptInPipe",
     .openedWithConfiguration = true},
    {.slot = ZrPipeSlot::InterruptOut,
     .name = "m_pcInterruptOutPipe",
     .openedWithConfiguration = true},
    {.slot = ZrPipeSlot::OutIsoc,
     .name = "m_pcOutPipeIsoc",
     .openedWithConfiguration = true,
     .checksBandwidth = true,
     .pauseBefore = true},
    {.slot = ZrPipeSlot::OutIsocKeepAlive,
     .name = "m_pcOutPipeIsocKeepAlive",
     .openedWithConfiguration = true,
     .announced = true},
    // Opened when the configuration completes (the HID interface's status).
    {.slot = ZrPipeSlot::StatusInterruptIn, .name = "m_pcStatusInterruptInPipe"},
};
constexpr bool zrPipeSlotsInOrder() {
    for (size_t i = 0; i < std::size(kZrPipeSlots); ++i)
        if (size_t(kZrPipeSlots[i].slot) != i) return false;
    return std::size(kZrPipeSlots) == size_t(ZrPipeSlot::Count);
}
static_assert(zrPipeSlotsInOrder(), "one row per slot, in the slots' order");

class ZrPipeSet {
public:
    ZrPipeDescriptor* operator[](ZrPipeSlot slot) const { return mPipes[size_t(slot)]; }
    void set(ZrPipeSlot slot, ZrPipeDescriptor* pipe) { mPipes[size_t(slot)] = pipe; }
    void clear() { mPipes.fill(nullptr); }
    // A pipe that carries audio: isochronous, bulk or interrupt, either way.
    bool hasDataPipe() const {
        for (ZrPipeSlot s :
             {ZrPipeSlot::InIsoc, ZrPipeSlot::OutIsoc, ZrPipeSlot::BulkIn, ZrPipeSlot::BulkOut,
              ZrPipeSlot::InterruptIn, ZrPipeSlot::InterruptOut})
            if ((*this)[s]) return true;
        return false;
    }

private:
    std::array<ZrPipeDescriptor*, size_t(ZrPipeSlot::Count)> mPipes{};
};
