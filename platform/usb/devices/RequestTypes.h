// The request types and audio-class request codes the device models answer.
#pragma once

#include "platform/usb/StandardUSB.h"

namespace hx::usb::devices::requests {

using namespace StandardUSB;

constexpr uint8_t kVendorIn =
    kRequestDirectionIn | kRequestTypeVendor | kRequestRecipientDevice; // 0xC0
constexpr uint8_t kVendorOut =
    kRequestDirectionOut | kRequestTypeVendor | kRequestRecipientDevice; // 0x40
constexpr uint8_t kClassInterfaceIn =
    kRequestDirectionIn | kRequestTypeClass | kRequestRecipientInterface; // 0xA1
constexpr uint8_t kClassInterfaceOut =
    kRequestDirectionOut | kRequestTypeClass | kRequestRecipientInterface; // 0x21
constexpr uint8_t kClassEndpointIn =
    kRequestDirectionIn | kRequestTypeClass | kRequestRecipientEndpoint; // 0xA2
constexpr uint8_t kClassEndpointOut =
    kRequestDirectionOut | kRequestTypeClass | kRequestRecipientEndpoint; // 0x22

// USB Audio Class 1.0 requests.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetRes = 0x84;
constexpr uint16_t kSamplingFrequencyControl = 0x0100;

} // namespace hx::usb::devices::requests
