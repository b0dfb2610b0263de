// The audio user client's request codes and dispatch codes the device logic
// sends, and the reply record: a whole zeroed payload per request, so no
// earlier operation's reply reads as this one's.
#pragma once

#include <cstdint>
#include <cstring>

#include "abi/QN_Dispatch.h"
#include "device/QnAudioPluginClassCommons.h"

namespace qnrequests {

constexpr uint32_t kReqSetMute = 10;
constexpr uint32_t kReqSetMonitor = 11;
constexpr uint32_t kReqSetVolume = 12;
constexpr uint32_t kReqBandWidthAvailable = 16;
constexpr uint32_t kReqCanMonitor = 17;
constexpr uint32_t kReqGetMonitor = 18;
constexpr uint32_t kReqSetDataSource = 19;
constexpr uint32_t kReqVersionHAL = 25;
constexpr uint32_t kReqVersionUSB = 26;
constexpr uint32_t kReqConfigStatus = 29;
constexpr uint32_t kReqStreamBroken = 31;
constexpr uint32_t kReqStreamRestart = 32;
constexpr uint32_t kReqUserConfigChanged = 33;
constexpr uint32_t kReqDispatch = 35;
constexpr uint32_t kReqGetTolvaneRouting = 36;
constexpr uint32_t kReqSetTolvaneRouting = 37;
constexpr uint32_t Req_SetMixerMode = 38;
constexpr uint32_t kReqGetMixerValues = 39;
constexpr uint32_t kReqSetMixerValues = 40;

} // namespace qnrequests

struct QnAudioPluginClassCommons::Reply {
    uint8_t payload[sizeof(OSXDispatch::payload)];

    Reply() { std::memset(payload, 0, sizeof payload); }
    uint32_t word(uint32_t offset) const {
        uint32_t w;
        std::memcpy(&w, payload + offset, sizeof w);
        return w;
    }
    uint16_t half(uint32_t offset) const {
        uint16_t h;
        std::memcpy(&h, payload + offset, sizeof h);
        return h;
    }
    // Word n and half n of a dispatch reply's union.
    uint32_t unionWord(uint32_t n) const { return word(4 + 4 * n); }
    uint16_t unionHalf(uint32_t n) const { return half(4 + 2 * n); }
    const uint8_t* unionBytes() const { return payload + 4; }
};
