// The device's custom properties: what the control panel reads and writes
// through the host, each value one property-list object reference. The
// host learns the list from the device's 'cust'.
#pragma once

#include <iterator>

#include "platform/coreaudio/AudioServerPlugIn.h"

namespace qnas {

inline constexpr UInt32 kPropertyListType = hx::coreaudio::fourCC("plst");

inline constexpr AudioServerPlugInCustomPropertyInfo QnASCustomProperties[] = {
    {hx::coreaudio::fourCC("QnMM"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnMF"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnSV"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnIL"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnOL"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnPD"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnVD"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnSt"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnDM"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnDV"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnFV"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnRo"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnSW"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnDS"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnFM"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnFP"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnMB"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnRB"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnRM"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnPC"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnCS"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnTy"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnU1"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnOS"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnSN"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("QnIO"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("DbSI"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("DbSO"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("DbLI"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("DbLO"), kPropertyListType, 0},
    {hx::coreaudio::fourCC("DbWA"), kPropertyListType, 0},
};
inline constexpr UInt32 kCustomPropertyCount = UInt32(std::size(QnASCustomProperties));
static_assert(kCustomPropertyCount == 31);

// The room 'cust' asks for: one entry more than the list holds.
inline constexpr UInt32 kCustomPropertyRoom = 384;

// The custom codes the host may write.
constexpr bool isSettableCustomProperty(UInt32 inSelector) {
    constexpr UInt32 kSettable[] = {
        hx::coreaudio::fourCC("QnCS"), hx::coreaudio::fourCC("QnDM"), hx::coreaudio::fourCC("QnFM"),
        hx::coreaudio::fourCC("QnFP"), hx::coreaudio::fourCC("QnMB"), hx::coreaudio::fourCC("QnMF"),
        hx::coreaudio::fourCC("QnMM"), hx::coreaudio::fourCC("QnOS"), hx::coreaudio::fourCC("QnRB"),
        hx::coreaudio::fourCC("QnRM"), hx::coreaudio::fourCC("QnRo"), hx::coreaudio::fourCC("QnSt"),
        hx::coreaudio::fourCC("QnSV"), hx::coreaudio::fourCC("QnU1"), hx::coreaudio::fourCC("DbSI"),
        hx::coreaudio::fourCC("DbSO"), hx::coreaudio::fourCC("DbLI"), hx::coreaudio::fourCC("DbLO"),
        hx::coreaudio::fourCC("DbWA")};
    for (UInt32 s : kSettable)
        if (s == inSelector) return true;
    return false;
}

constexpr bool isCustomProperty(UInt32 inSelector) {
    for (const AudioServerPlugInCustomPropertyInfo& e : QnASCustomProperties)
        if (e.mSelector == inSelector) return true;
    return false;
}

} // namespace qnas
