// hxsim's HAL road, a program on the HAL plug-in, run as a user runs it:
// exit code, the report's HAL fields and the recording, in process and
// against a kernel host child (--transport process).
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"
#include "sim/WavReader.h"

#include <gtest/gtest.h>

namespace {

using namespace hx::test::hxsim;

// The report's HAL fields every passing run shows at 48 kHz.
void expectHalFields(std::map<std::string, std::string>& f, const std::string& out) {
    EXPECT_NE(f["hal plug-in"].find(", load status 0"), std::string::npos) << out;
    EXPECT_EQ(f["hal plug-in"].rfind("object ", 0), 0u) << out;
    const std::string device = f["hal device"];
    EXPECT_EQ(device.rfind("ID ", 0), 0u) << out;
    EXPECT_GT(leadingNumber(device.substr(3)), 0u) << device;
    EXPECT_EQ(device.find("status"), std::string::npos) << "stream IDs through 'stm#': " << device;
    EXPECT_NE(f["hal name"].find(" (Bit Accurate)\""), std::string::npos) << out;
    EXPECT_EQ(f["hal uid"].rfind("\"", 0), 0u) << out;
    EXPECT_GT(f["hal uid"].size(), 2u) << out;
    EXPECT_EQ(f["hal rate"], "48000 Hz, 'nsrt' set 0") << out;
    EXPECT_EQ(f["hal routing"], "'QnRM' set 0") << out;
    for (const char* key : {"hal format in", "hal format out"}) {
        EXPECT_EQ(f[key].rfind("48000 Hz, 'lpcm', flags 0x", 0), 0u) << key << ": " << f[key];
        EXPECT_NE(f[key].find(", 2 ch, 32 bit, 8 bytes per frame"), std::string::npos)
            << key << ": " << f[key];
    }
    EXPECT_EQ(f["hal latency"].find("status"), std::string::npos) << f["hal latency"];
    EXPECT_EQ(f["hal latency"].rfind("in ", 0), 0u) << f["hal latency"];
    EXPECT_EQ(f["rate"], "48000 Hz (asked 48000 Hz)") << out;
    EXPECT_EQ(f["result"], "pass") << out;
}

TEST(HxsimHalRoad, TheDefaultRoadPlaysAndRecordsThroughThePlugIn) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--road hal --virtual-clock --seconds 1"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    expectHalFields(f, run.out);
    EXPECT_EQ(f["transport"], "in-process");
    EXPECT_EQ(f["hal frame size"], "256 frames, not asked") << run.out;
    // One IO cycle per 256 frames of the second, less the start-up; the
    // cycles' frames each way.
    const std::string io = f["hal io"];
    EXPECT_GT(leadingNumber(io), 48000u / 256 * 8 / 10) << io;
    EXPECT_NE(io.find(" cycles, "), std::string::npos) << io;
    EXPECT_GT(leadingNumber(io.substr(io.find(" cycles, ") + 9)), 38400u) << io;
    EXPECT_EQ(f.count("layer device"), 0u) << "the device road's fields stay out";
    EXPECT_EQ(f["lost frames"],
              "0 (fifo underruns 0, fifo overruns 0, dropped 0, repeated 0, capture lost 0)");
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(leadingNumber(f["match"].substr(5)), 24000u) << f["match"];

    // The recording: 24-bit stereo at the rate, as many frames as the
    // report says, from where the ramp came back (its first frame is the
    // ramp's frame 0, silence nowhere).
    hx::sim::WavSound wav;
    std::string error;
    const std::string path = root.path() + "/Users/Shared/hxsim/loopback.wav";
    ASSERT_TRUE(hx::sim::readWav(path, wav, error)) << error;
    EXPECT_EQ(wav.rate, 48000u);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.bits, 24u);
    EXPECT_NE(f["recording"].find("(" + std::to_string(wav.frames()) + " frames)"),
              std::string::npos)
        << f["recording"] << " against " << wav.frames();
    EXPECT_GT(wav.frames(), 24000u);
}

TEST(HxsimHalRoad, RatesFrameSizesAndRoutingGoThroughTheProperties) {
    struct Case {
        const char* args;
        const char* rate;
        const char* frameSize;
    };
    const Case cases[] = {
        {"--rate 96000 --frame-size 64", "96000 Hz, 'nsrt' set 0", "64 frames, 'fsiz' set 0"},
        {"--rate 96000 --frame-size 4096", "96000 Hz, 'nsrt' set 0", "4096 frames, 'fsiz' set 0"},
        {"--rate 44100 --frame-size 512", "44100 Hz, 'nsrt' set 0", "512 frames, 'fsiz' set 0"},
        // The mixer's halved sum ('QnRM' clear, 'QnMF' per channel) comes
        // back with each sample's lowest bit cleared toward zero.
        {"--routing mix", "48000 Hz, 'nsrt' set 0", "256 frames, not asked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsimAsGiven(
            root.path(), std::string("--road hal --virtual-clock --seconds 0.5 ") + c.args));
        ASSERT_EQ(run.status, 0) << run.out;
        auto f = fields(run.out);
        EXPECT_EQ(f["hal rate"], c.rate);
        EXPECT_EQ(f["hal frame size"], c.frameSize);
        EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
        EXPECT_EQ(f["result"], "pass");
    }
}

TEST(HxsimHalRoad, TheHalRoadAgainstAKernelHostChild) {
    hx::test::TempRoot root;
    const CommandRun run =
        runCommand(hxsimAsGiven(root.path(), "--road hal --transport process --seconds 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["transport"], "process");
    expectHalFields(f, run.out);
    EXPECT_GT(leadingNumber(f["hal io"]), 0u) << f["hal io"];
    EXPECT_EQ(f["match"].rfind("yes (", 0), 0u) << f["match"];
    EXPECT_GT(matchedFrames(f["match"]), 0u) << f["match"];
}

TEST(HxsimHalRoad, OptionsTheRoadCannotHave) {
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"--road lane", "--road must be server, hal, device or kernel, not lane"},
        {"--device farlane1", "--device farlane1 runs on the kernel road only (--road kernel)"},
        {"--road device --device bulk", "--device bulk runs on the kernel road only"},
        {"--frame-size 32", "--frame-size must be a whole number from 64 to 8192, not 32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        hx::test::TempRoot root;
        const CommandRun run = runCommand(hxsimAsGiven(root.path(), c.args) + " 2>&1");
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    }
}

} // namespace
