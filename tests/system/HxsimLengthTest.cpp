// hxsim moves the asked length of audio: from the client's first frame,
// seconds x rate x (1 + ppm / 10^6) frames out, within one packet, and the
// comparison covers the played signal from its frame 0. At 48 and 192 kHz,
// for 1 s and 20 s, on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/base/testing/TempRoot.h"
#include "tests/system/HxsimRun.h"

using namespace hx::test::hxsim;

TEST(HxsimLength, FramesOutAreTheAskedAudioAndTheWholeSignalComesBack) {
    struct Case {
        unsigned rate;
        unsigned seconds;
        int ppm;
    };
    const Case cases[] = {
        {48000, 1, 0}, {48000, 1, 1000}, {192000, 1, -1000}, {48000, 20, 200}, {192000, 20, -200}};
    for (const Case& c : cases) {
        const std::string args = "--virtual-clock --rate " + std::to_string(c.rate) +
                                 " --seconds " + std::to_string(c.seconds) + " --ppm " +
                                 std::to_string(c.ppm);
        SCOPED_TRACE(args);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsim(root.path(), args));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        const double expected = double(c.seconds) * c.rate * (1 + c.ppm * 1e-6);
        const double packet = c.rate / 1000.0; // one 1 ms packet's frames
        const auto out = leadingNumber(f["frames out"]);
        EXPECT_LE(std::fabs(double(out) - expected), packet) << f["frames out"];
        EXPECT_EQ(f["lost frames"].rfind("0 ", 0), 0u) << f["lost frames"];
        // Compared from played frame 0; what was not compared was still on
        // its way at the end, less than the round trip plus the write-ahead.
        const auto compared = leadingNumber(f["match"].substr(5));
        EXPECT_NE(f["match"].find("0 differ: played frames 0 to " + std::to_string(compared - 1)),
                  std::string::npos)
            << f["match"];
        EXPECT_LT(out - compared, 25 * packet) << f["match"];
    }
}
