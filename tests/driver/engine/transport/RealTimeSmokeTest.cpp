// One second of streaming per bus speed on the real clock, with the
// real-time thread and the bus at their real pace. Breaks depend on the
// machine's load, so they are reported, not asserted; what is checked is
// that audio moved both ways and that every break was told exactly once.
#include "tests/driver/engine/transport/StreamRig.h"

#include <cstdio>

namespace {

using namespace hx::test;

TEST(RealTimeSmoke, StreamsOneSecondPerSpeedAndReportsItsBreaks) {
    for (uint8_t speed : {kUSBHostConnectionSpeedFull, kUSBHostConnectionSpeedHigh}) {
        StreamRig rig({speed, 48000, 0}, 0x1000, false);
        ASSERT_TRUE(rig.configured);
        ASSERT_TRUE(rig.start());
        rig.attachClient();
        for (int i = 0; i < 100; ++i)
            rig.run(10);
        const auto changes = rig.host.changesSoFar();
        const auto s = rig.model->streamStats();
        std::printf("real-time smoke, %s speed: %zu break(s), %llu frames in, %llu frames out, "
                    "%llu ramp frames "
                    "played, %llu discontinuities\n",
                    speed == kUSBHostConnectionSpeedFull ? "full" : "high", changes.size(),
                    (unsigned long long)rig.engine.framesIn(), (unsigned long long)s.outFrames,
                    (unsigned long long)s.rampFrames, (unsigned long long)s.discontinuities);
        EXPECT_GT(s.inFramesSent, 0u);
        EXPECT_GT(s.outFrames, 0u);
        // A break stops the stream and is told once; none means it still runs.
        EXPECT_LE(changes.size(), 1u);
        EXPECT_EQ(rig.engine.isStreamingStarted(), changes.empty());
        for (uint32_t code : changes)
            EXPECT_EQ(code, 2u);
    }
}

} // namespace
