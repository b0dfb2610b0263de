// hxhal, the command-line client of the HAL host on hxsim's machine, run as
// a user runs it on the virtual clock; and the WAV reader its play command
// reads with.
#include "tests/system/HxsimRun.h"

#include "platform/base/testing/TempRoot.h"
#include "sim/WavReader.h"
#include "sim/WavWriter.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#ifndef HXHAL_PATH
#error "HXHAL_PATH must name the hxhal binary"
#endif

namespace {

using namespace hx::test::hxsim;

// list's "  'sel' [scope] [element]: value" lines by their keys.
std::map<std::string, std::string> listFields(const std::string& out) {
    std::map<std::string, std::string> m;
    for (auto& [key, value] : fields(out))
        m[key.substr(std::min(key.find_first_not_of(' '), key.size()))] = value;
    return m;
}

std::string hxhal(const std::string& root, const std::string& args) {
    return "HX_ROOT='" + root + "' HX_LOG=0 '" HXHAL_PATH "' --virtual-clock " + args;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A stereo ramp of frames at rate, as 24-bit samples left-aligned in 32 bits.
std::vector<uint8_t> rampWav(uint32_t rate, size_t frames) {
    std::vector<int32_t> s(frames * 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = int32_t(uint32_t(i * 997) << 8);
    return hx::sim::encodeWav24(rate, 2, s.data(), frames);
}

// ---- The WAV reader

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

TEST(WavReader, DecodesWhatTheWriterWritesAndOtherFormats) {
    const int32_t samples[4] = {int32_t(0x7FFFFF00), int32_t(0x80000000), 0x00000100, 0};
    const std::vector<uint8_t> bytes = hx::sim::encodeWav24(48000, 2, samples, 2);
    hx::sim::WavSound s;
    std::string error;
    ASSERT_TRUE(hx::sim::decodeWav(bytes, s, error)) << error;
    EXPECT_EQ(s.rate, 48000u);
    EXPECT_EQ(s.channels, 2u);
    EXPECT_EQ(s.bits, 24u);
    ASSERT_EQ(s.frames(), 2u);
    EXPECT_FLOAT_EQ(s.samples[0], 8388607.0f / 8388608.0f);
    EXPECT_FLOAT_EQ(s.samples[1], -1.0f);
    EXPECT_FLOAT_EQ(s.samples[2], 1.0f / 8388608.0f);
    EXPECT_FLOAT_EQ(s.samples[3], 0.0f);

    // The same header as 16-bit mono with two samples, and as float.
    std::vector<uint8_t> b16 = {'R',  'I',  'F', 'F', 40,   0,    0, 0, 'W',  'A',  'V',  'E',
                                'f',  'm',  't', ' ', 16,   0,    0, 0, 1,    0,    1,    0,
                                0x44, 0xAC, 0,   0,   0x88, 0x58, 1, 0, 2,    0,    16,   0,
                                'd',  'a',  't', 'a', 4,    0,    0, 0, 0x00, 0x40, 0x00, 0xC0};
    ASSERT_TRUE(hx::sim::decodeWav(b16, s, error)) << error;
    EXPECT_EQ(s.rate, 44100u);
    EXPECT_EQ(s.channels, 1u);
    ASSERT_EQ(s.frames(), 2u);
    EXPECT_FLOAT_EQ(s.samples[0], 0.5f);
    EXPECT_FLOAT_EQ(s.samples[1], -0.5f);
    std::vector<uint8_t> bf = b16;
    put16(bf, 20, 3);  // float
    put16(bf, 32, 4);  // block align
    put16(bf, 34, 32); // bits
    bf[40] = 4;        // one frame
    const float half = 0.25f;
    std::memcpy(&bf[44], &half, 4);
    ASSERT_TRUE(hx::sim::decodeWav(bf, s, error)) << error;
    ASSERT_EQ(s.frames(), 1u);
    EXPECT_FLOAT_EQ(s.samples[0], 0.25f);
}

TEST(WavReader, RefusesBadHeadersFormatsAndLengths) {
    const std::vector<uint8_t> good = rampWav(48000, 10);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, "not a WAV file"});
    {
        auto b = good;
        b[8] = 'X';
        cases.push_back({"no WAVE", b, "not a WAV file"});
    }
    {
        auto b = good;
        b.resize(b.size() - 7);
        cases.push_back({"cut", b, "cut short"});
    }
    {
        auto b = good;
        b.resize(40);
        cases.push_back({"cut in the header", b, "cut short"});
    }
    {
        auto b = good;
        put16(b, 34, 8); // 8-bit
        put16(b, 32, 2);
        cases.push_back({"8-bit", b, "WAV format not played"});
    }
    {
        auto b = good;
        put16(b, 20, 2); // ADPCM
        cases.push_back({"compressed", b, "WAV format not played"});
    }
    {
        auto b = good;
        put16(b, 22, 0); // no channels
        cases.push_back({"no channels", b, "WAV format not played"});
    }
    {
        auto b = good;
        b[40] = uint8_t(b[40] - 1); // data one byte short of a frame
        b.pop_back();
        b[4] = uint8_t(b[4] - 1);
        cases.push_back({"partial frame", b, "not a whole number"});
    }
    {
        auto b = good;
        b[12] = 'j'; // the format chunk renamed
        cases.push_back({"no format", b, "no format chunk"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hx::sim::WavSound s;
        std::string error;
        EXPECT_FALSE(hx::sim::decodeWav(c.bytes, s, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
    }
}

// ---- hxhal

TEST(Hxhal, ListsTheHX5100WithItsNameUIDAndRates) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxhal(root.path(), "list"));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("1 device(s)\ndevice ", 0), 0u) << run.out;
    auto f = listFields(run.out);
    EXPECT_NE(f["'name'"].find(" (Bit Accurate)\""), std::string::npos) << run.out;
    EXPECT_EQ(f["'uid '"].rfind("\"", 0), 0u) << run.out;
    EXPECT_GT(f["'uid '"].size(), 2u) << run.out;
    // Configured at 44,100 Hz by another client; every rate of the device
    // at high speed.
    EXPECT_EQ(f["'nsrt'"], "44100 (writable)") << run.out;
    EXPECT_EQ(f["'nsr#'"], "44100, 48000, 88200, 96000, 176400, 192000") << run.out;
    EXPECT_EQ(f["'QnTy'"], "\"QuarnelHalPluginType\"") << run.out;
    EXPECT_EQ(f["'QnVD'"], "12107") << run.out;
    EXPECT_EQ(f["'QnPD'"], "20736") << run.out;
    EXPECT_NE(f["'sfmt' output"].find("Hz 'lpcm'"), std::string::npos) << run.out;
}

TEST(Hxhal, SetsAndReadsBackTheFrameSize) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxhal(root.path(), "set fsiz output 0 512"));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("set 'fsiz' output 0: status 0\n'fsiz' output 0: 512\n"),
              std::string::npos)
        << run.out;
    // A size outside the device's range is refused and the size kept.
    const CommandRun bad = runCommand(hxhal(root.path(), "set 'fsiz' global 0 9"));
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_NE(bad.out.find("set 'fsiz' global 0: status kIOReturnBadArgument (0xE00002C2)\n'fsiz' "
                           "global 0: 256\n"),
              std::string::npos)
        << bad.out;
    const CommandRun get = runCommand(hxhal(root.path(), "get nsrt"));
    ASSERT_EQ(get.status, 0) << get.out;
    EXPECT_EQ(get.out, "'nsrt' global 0: 44100\n");
}

TEST(Hxhal, RecordsAWavAndPlaysOne) {
    hx::test::TempRoot root;
    const CommandRun rec = runCommand(hxhal(root.path(), "record 0.2 rec/in.wav"));
    ASSERT_EQ(rec.status, 0) << rec.out;
    EXPECT_NE(rec.out.find("recorded 8820 frames (0.200 s) of 2 channels at 44100 Hz"),
              std::string::npos)
        << rec.out;
    hx::sim::WavSound wav;
    std::string error;
    ASSERT_TRUE(hx::sim::readWav(root.path() + "/rec/in.wav", wav, error)) << error;
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.bits, 24u);
    EXPECT_EQ(wav.frames(), 8820u);

    writeFile(root.path() + "/ramp.wav", rampWav(48000, 4800));
    const CommandRun play = runCommand(hxhal(root.path(), "play /ramp.wav"));
    ASSERT_EQ(play.status, 0) << play.out;
    EXPECT_NE(play.out.find("played 4800 frames (0.100 s) at 48000 Hz from /ramp.wav"),
              std::string::npos)
        << play.out;
}

TEST(Hxhal, BadArgumentsAndUnreadableWavsExitWithTwo) {
    hx::test::TempRoot root;
    std::vector<uint8_t> cut = rampWav(48000, 100);
    cut.resize(cut.size() - 30);
    writeFile(root.path() + "/cut.wav", cut);
    writeFile(root.path() + "/text.wav", {'h', 'e', 'l', 'l', 'o'});
    std::vector<uint8_t> eightBit = rampWav(48000, 100);
    eightBit[34] = 8;
    writeFile(root.path() + "/eight.wav", eightBit);
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"", "no command"},
        {"frobnicate", "unknown command frobnicate"},
        {"--loud list", "unknown option --loud"},
        {"list extra", "list takes no arguments"},
        {"get", "usage: get SEL"},
        {"get fsizz", "a selector is four characters, not fsizz"},
        {"get fsiz sideways", "the scope must be global, input, output or wildcard"},
        {"get fsiz output -1", "the element must be a whole number"},
        {"set fsiz output 0 banana", "not an integer, float or hex bytes: banana"},
        {"set fsiz output 0 hex:abc", "hex bytes come in pairs"},
        {"set QnRM global 0 1", "'QnRM' carries an object"},
        {"record 0 x.wav", "SECONDS must be a number from 0.1 to 3600, not 0"},
        {"record 1", "usage: record SECONDS WAV"},
        {"play", "usage: play WAV"},
        {"play /missing.wav", "cannot read"},
        {"play /cut.wav", "cut short"},
        {"play /text.wav", "not a WAV file"},
        {"play /eight.wav", "WAV format not played"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandRun run = runCommand(hxhal(root.path(), c.args) + " 2>&1");
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_EQ(run.out.rfind("hxhal: ", 0), 0u) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line: " << run.out;
    }
}

} // namespace
