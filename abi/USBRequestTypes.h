// The direction, request type and recipient of a USB control request as the
// control request record carries them (QN_VendorOrClassRequest's eIn, eType
// and eRecipient): user space names them when it asks, the kernel when it
// performs the transfer.
#pragma once

#include <cstdint>

enum EDirection : uint8_t { kDirOut = 0, kDirIn = 0x80 };
enum EDRQ_Level : uint8_t { kLevelStandard = 0, kLevelClass = 0x20, kLevelVendor = 0x40 };
enum EDRQ_Recipient : uint8_t {
    kRecipientDevice = 0,
    kRecipientInterface = 1,
    kRecipientEndpoint = 2
};
