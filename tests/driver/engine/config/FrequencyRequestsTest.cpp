// The sampling-frequency helpers of the configuration path: reading a
// GET_CUR reply and the bounded repetition of a refused SET_CUR, on a clock
// that only moves when the code sleeps or a request takes time.
#include "driver/engine/config/ZrFrequencyRequests.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/base/HXClock.h"

namespace {

// Time moves only by the sleeps asked for and by what the test charges.
class StepClock : public hx::clock::Source {
public:
    uint64_t now = 1;
    bool sleepsAdvance = true;
    uint64_t nowNanos() override { return now; }
    bool waitUntil(std::condition_variable&, std::unique_lock<std::mutex>&,
                   uint64_t deadline) override {
        if (deadline > now) now = deadline;
        return false;
    }
    void sleepUntil(uint64_t deadline) override {
        if (sleepsAdvance && deadline > now) now = deadline;
    }
};

struct ClockScope {
    explicit ClockScope(StepClock& c) { hx::clock::setSource(&c); }
    ~ClockScope() { hx::clock::setSource(nullptr); }
};

TEST(SamplingFrequencyReply, DecodesLittleEndianAndRefusesRatesOutsideTheRange) {
    struct Case {
        uint8_t bytes[3];
        uint32_t length;
        uint32_t rate;
    } cases[] = {
        {{0x44, 0xAC, 0x00}, 3, 44100},  {{0x80, 0xBB, 0x00}, 3, 48000},
        {{0x00, 0xEE, 0x02}, 3, 192000}, {{0x88, 0x58, 0x00}, 3, 88200}, // 22,664: top byte dropped
        {{0x00, 0x77, 0x00}, 3, 96000},                                  // 30,464: top byte dropped
        {{0x40, 0x1F, 0x00}, 3, 8000},                                   // lowest accepted
        {{0x00, 0xDC, 0x05}, 3, 384000},                                 // highest accepted
        {{0x3F, 0x1F, 0x00}, 3, 0},                                      // 7,999
        {{0x01, 0xDC, 0x05}, 3, 0},                                      // 384,001
        {{0x00, 0x00, 0x00}, 3, 0},      {{0xFF, 0xFF, 0xFF}, 3, 0},
        {{0x80, 0xBB, 0x00}, 2, 0}, // short reply
    };
    for (const Case& c : cases)
        EXPECT_EQ(ZrDecodeSamplingFrequency(c.bytes, c.length), c.rate) << c.rate;
    EXPECT_EQ(ZrDecodeSamplingFrequency(nullptr, 3), 0u);
}

TEST(SetCurRepeats, StopAtTheTimeCapOrTheCountCapAndAtTheFirstSuccess) {
    struct Case {
        const char* name;
        bool repeat;
        uint64_t requestMs; // virtual time each request takes
        bool sleepsAdvance;
        int failures; // requests refused before one is taken (-1: all)
        int tries;
        bool ok;
    } cases[] = {
        // Without repeats one request only.
        {"single", false, 0, true, -1, 1, false},
        // Free requests, 10 ms pauses: the 2 s mark is reached when the
        // 200th repeat would go, so 199 repeats follow the first request.
        {"time cap, pauses only", true, 0, true, -1, 200, false},
        // 15 ms requests: the first ends at 15 ms, each repeat adds 25 ms;
        // the pause before the 80th repeat ends at 2,000 ms.
        {"time cap, slow requests", true, 15, true, -1, 80, false},
        // A clock that does not move: the count cap of 200 repeats.
        {"count cap", true, 0, false, -1, 201, false},
        {"taken at the fourth", true, 15, true, 3, 4, true},
    };
    for (const Case& c : cases) {
        StepClock clock;
        clock.sleepsAdvance = c.sleepsAdvance;
        ClockScope scope(clock);
        int sent = 0;
        const uint64_t start = clock.now;
        auto send = [&]() {
            ++sent;
            clock.now += c.requestMs * 1000000;
            return c.failures >= 0 && sent > c.failures ? kIOReturnSuccess : kIOReturnError;
        };
        int tries = 0;
        IOReturn r = ZrSendSetCur(send, c.repeat, &tries);
        EXPECT_EQ(sent, c.tries) << c.name;
        EXPECT_EQ(tries, c.tries) << c.name;
        EXPECT_EQ(r == kIOReturnSuccess, c.ok) << c.name;
        // Never a request after the cap.
        EXPECT_LE(clock.now - start, kZrSetCurCapNanos + c.requestMs * 1000000) << c.name;
    }
}

} // namespace
