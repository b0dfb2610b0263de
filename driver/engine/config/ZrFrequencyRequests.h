// The sampling-frequency exchanges of the configuration path, free of the
// device object: the rate range the driver accepts, the reading of a GET_CUR
// reply, and the repetition of a SET_CUR that some devices refuse while they
// start up.
#pragma once

#include <cstdint>
#include "driver/engine/ZrDeviceRequests.h"
#include <functional>

#include "platform/base/MacErrors.h"
#include "platform/base/MacTypes.h"

// The control selector of the class requests that set and read a rate
// (kZrSetCur, kZrGetCur).
constexpr uint16_t kZrSamplingFrequencyControl = 0x0100;

constexpr uint32_t kZrMinRate = 8000;
constexpr uint32_t kZrMaxRate = 384000;

inline bool ZrRateInRange(uint32_t rate) {
    return rate >= kZrMinRate && rate <= kZrMaxRate;
}

// The rate of a 3-byte little-endian GET_CUR reply. Devices that drop the top
// byte answer 22,664 for 88,200 and 30,464 for 96,000. A rate outside the
// accepted range is no reading: 0.
uint32_t ZrDecodeSamplingFrequency(const uint8_t* reply, uint32_t length);

// Repeats of a refused SET_CUR for the devices that need them: at most this
// many more tries, a short pause between tries, and no try once the time
// since the first one passes the cap, so the dispatch lock is never held for
// long.
constexpr int kZrSetCurRepeats = 200;
constexpr uint32_t kZrSetCurPauseMs = 10;
constexpr uint64_t kZrSetCurCapNanos = 2000000000ull;

// Sends once; with repeat, sends again while it fails within the limits
// above. Returns the last result.
IOReturn ZrSendSetCur(const std::function<IOReturn()>& send, bool repeat, int* tries = nullptr);
