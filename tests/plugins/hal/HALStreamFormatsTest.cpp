// The stream-format and source selectors of the HAL plug-in, through the
// HAL host's device property calls, on the whole simulated machine in this
// process on the virtual clock: sizes and writability, gets at every size
// around the needed one behind guard bytes, sets, the format match on a
// description list of its own, the data source rows by client type, and a
// 24-bit ramp through 32-bit integer IO procedures.
#include "tests/plugins/hal/HALPlugInFixture.h"

#include "abi/APIDeviceInfo.h"
#include "device/harness/DeviceRoad.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/kern/IOService.h"
#include "platform/kern/OSContainers.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/base/HXClock.h"
#include "platform/cf/CoreFoundation.h"
#include "plugins/hal/ZrAsioDriver_StreamFormatRules.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using hx::coreaudio::fourCC;
using hx::coreaudio::HALHostOptions;
using hx::devroad::RampProc;
using namespace hx::haltest;

namespace {

constexpr OSStatus kWho = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kSiz = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kDat = kAudioDeviceUnsupportedFormatError;
constexpr OSStatus kBad = kBadArgument;
// The machine's configuring client leaves the device at this rate.
constexpr double kRate = 44100.0;
constexpr size_t kGuard = 16;
constexpr uint8_t kFill = 0xA5;
constexpr AudioFormatFlags kNonInterleaved = 1u << 5;

UInt32 code(const char* c) {
    return (UInt32(uint8_t(c[0])) << 24) | (UInt32(uint8_t(c[1])) << 16) |
           (UInt32(uint8_t(c[2])) << 8) | UInt32(uint8_t(c[3]));
}

// A caller's buffer of a given size between guard bytes, all filled with
// one pattern; snapshot() keeps the bytes to compare with after a call.
struct Guarded {
    explicit Guarded(size_t size) : bytes(2 * kGuard + size, kFill), size(size) {}
    uint8_t* data() { return bytes.data() + kGuard; }
    void snapshot() { before = bytes; }
    // Nothing changed at all.
    bool untouched() const { return bytes == before; }
    // Nothing changed outside the given size.
    bool guardsKept() const {
        for (size_t i = 0; i < bytes.size(); ++i)
            if ((i < kGuard || i >= kGuard + size) && bytes[i] != before[i]) return false;
        return true;
    }
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> before;
    size_t size;
};

std::string text(CFStringRef s) {
    char buffer[256] = {};
    if (!s || !CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return "?";
    return buffer;
}

AudioStreamBasicDescription description(double rate, UInt32 channels, UInt32 bits) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bits;
    d.mBytesPerFrame = d.mBytesPerPacket = channels * ((bits + 7) / 8);
    return d;
}

// A 32-bit integer IO procedure playing the ramp the device model checks
// (24-bit n as n << 8) and recording every input sample.
struct IntegerRamp {
    uint32_t channels = 2;
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> framesPlayed{0};
    std::vector<int32_t> recorded;

    IntegerRamp() { recorded.reserve(size_t(1) << 22); }

    static int32_t ringValue(uint64_t frame, uint32_t channel) {
        return int32_t(uint32_t(RampProc::rampValue(frame, channel)) << 8);
    }

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                         void* clientData) {
        auto* self = static_cast<IntegerRamp*>(clientData);
        ++self->calls;
        const uint32_t ch = self->channels;
        if (in && in->mBuffers[0].mData) {
            const auto* src = static_cast<const int32_t*>(in->mBuffers[0].mData);
            const uint32_t n = in->mBuffers[0].mDataByteSize / 4;
            if (self->recorded.size() + n <= self->recorded.capacity())
                self->recorded.insert(self->recorded.end(), src, src + n);
        }
        if (!out || !out->mBuffers[0].mData || out->mBuffers[0].mNumberChannels != ch) return 0;
        const uint32_t frames = out->mBuffers[0].mDataByteSize / (4 * ch);
        auto* dst = static_cast<int32_t*>(out->mBuffers[0].mData);
        const uint64_t first = self->framesPlayed;
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < ch; ++c)
                dst[f * ch + c] = ringValue(first + f, c);
        self->framesPlayed += frames;
        return 0;
    }

    struct Check {
        uint64_t checked = 0;
        uint64_t mismatches = 0;
        int64_t firstMismatch = -1;
    };
    // From the first frame that is not silence, every recorded frame must
    // be the next ramp frame, bit for bit (one constant latency).
    Check check() const {
        Check r;
        const size_t frames = recorded.size() / channels;
        size_t start = 0;
        auto silent = [&](size_t i) {
            for (uint32_t c = 0; c < channels; ++c)
                if (recorded[i * channels + c] != 0) return false;
            return true;
        };
        while (start < frames && silent(start))
            ++start;
        if (start == frames) return r;
        const uint64_t counter = (uint32_t(recorded[start * channels]) >> 8) & 0xFFFFFF;
        for (size_t i = start; i < frames; ++i) {
            ++r.checked;
            for (uint32_t c = 0; c < channels; ++c) {
                if (recorded[i * channels + c] != ringValue(counter + (i - start), c)) {
                    ++r.mismatches;
                    if (r.firstMismatch < 0) r.firstMismatch = int64_t(i);
                    break;
                }
            }
        }
        return r;
    }
};

class HALStreamFormats : public HALPlugIn {
protected:
    void SetUp() override {
        HALPlugIn::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(load(), 0);
        mDevice = onlyDevice();
        ASSERT_NE(mDevice, 0u);
    }
    // Loads the plug-in again in a process of the given name.
    void reload(const char* processName) {
        mHost.reset();
        HALHostOptions o;
        o.processName = processName;
        ASSERT_EQ(load(o), 0);
        mDevice = onlyDevice();
        ASSERT_NE(mDevice, 0u);
    }
    OSStatus info(bool isInput, const char* c, UInt32* size, Boolean* writable,
                  UInt32 element = 0) {
        return AudioDeviceGetPropertyInfo(mDevice, element, isInput, code(c), size, writable);
    }
    UInt32 needed(bool isInput, const char* c, UInt32 element = 1) {
        UInt32 size = 0;
        Boolean writable = false;
        info(isInput, c, &size, &writable, element);
        return size;
    }
    OSStatus get(bool isInput, const char* c, UInt32* size, void* data, UInt32 element = 0) {
        return AudioDeviceGetProperty(mDevice, element, isInput, code(c), size, data);
    }
    OSStatus set(bool isInput, const char* c, UInt32 size, const void* data, UInt32 element = 0) {
        return AudioDeviceSetProperty(mDevice, nullptr, element, isInput, code(c), size, data);
    }
    AudioStreamBasicDescription format(bool isInput, const char* c = "sfmt") {
        AudioStreamBasicDescription d{};
        UInt32 size = sizeof d;
        EXPECT_EQ(get(isInput, c, &size, &d), 0) << c;
        return d;
    }
    std::vector<AudioStreamBasicDescription> formats(bool isInput, const char* c = "sfm#") {
        UInt32 size = needed(isInput, c);
        std::vector<AudioStreamBasicDescription> list(size / sizeof(AudioStreamBasicDescription));
        EXPECT_EQ(get(isInput, c, &size, list.data()), 0) << c;
        return list;
    }

    // A clock source's name through 'cscn' (into 32 bytes) and 'lcsn' (a
    // string handed out only with success).
    void expectClockSourceName(UInt32 id, const std::string& name, OSStatus answer) {
        SCOPED_TRACE(id);
        Guarded out(32);
        out.snapshot();
        AudioValueTranslation t{&id, 4, out.data(), 32};
        UInt32 size = sizeof t;
        EXPECT_EQ(get(false, "cscn", &size, &t), answer);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data())), name);
        EXPECT_TRUE(out.guardsKept());

        CFStringRef s = nullptr;
        AudioValueTranslation cf{&id, 4, &s, sizeof s};
        size = sizeof cf;
        EXPECT_EQ(get(false, "lcsn", &size, &cf), answer);
        if (answer == 0) {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(text(s), name);
            CFRelease(s);
        } else {
            EXPECT_EQ(s, nullptr) << "no object handed out with an error";
        }
    }

    AudioDeviceID mDevice = 0;
};

// ---- GetPropertyInfo

TEST_F(HALStreamFormats, InfoGivesSizeAndWritabilityOfEverySelector) {
    for (bool isInput : {false, true}) {
        SCOPED_TRACE(isInput ? "input" : "output");
        const AudioStreamBasicDescription current = format(isInput);
        ASSERT_GT(current.mChannelsPerFrame, 0u);
        UInt32 sources = 0;
        {
            UInt32 size = 0;
            Boolean w = false;
            ASSERT_EQ(info(isInput, "ssc#", &size, &w), 0);
            sources = size / 4;
            EXPECT_GE(sources, 1u);
            EXPECT_TRUE(w) << "writable when the list is not empty";
        }
        struct Row {
            const char* code;
            UInt32 size;
            bool writable;
        };
        const Row rows[] = {
            {"sfmt", 40, true},
            {"pft ", 40, true},
            {"sfm?", 40, false},
            {"sfmm", 40, false},
            {"srnd", 12 + 20 * current.mChannelsPerFrame, false},
            {"csc#", 4, false},
            {"cscn", 32, false},
            {"lcsn", 32, false},
            {"lscn", 32, false},
            {"sscn", 32, false},
            {"ssc#", 4 * sources, true},
        };
        for (UInt32 element : {0u, 1u})
            for (const Row& r : rows) {
                SCOPED_TRACE(std::string(r.code) + " element " + std::to_string(element));
                UInt32 size = 0xDEAD;
                Boolean w = 2;
                EXPECT_EQ(info(isInput, r.code, &size, &w, element), 0);
                EXPECT_EQ(size, r.size);
                EXPECT_EQ(bool(w), r.writable);
                // Null pointers are allowed.
                EXPECT_EQ(info(isInput, r.code, nullptr, nullptr, element), 0);
            }
        // The lists: 40 bytes a description, 56 a ranged one, the same count.
        for (auto [plain, ranged] : {std::pair{"sfm#", "sfma"}, std::pair{"pft#", "pfta"}}) {
            UInt32 a = 0, b = 0;
            Boolean wa = 2, wb = 2;
            EXPECT_EQ(info(isInput, plain, &a, &wa), 0);
            EXPECT_EQ(info(isInput, ranged, &b, &wb), 0);
            EXPECT_GT(a, 0u);
            EXPECT_EQ(a % 40, 0u);
            EXPECT_EQ(a / 40, b / 56) << plain;
            EXPECT_EQ(b % 56, 0u);
            EXPECT_FALSE(wa);
            EXPECT_FALSE(wb);
        }
    }
}

// The master element's data source is shown to three client types only;
// its get and set work for every client.
TEST_F(HALStreamFormats, DataSourceOnTheMasterElementByClientType) {
    struct Row {
        const char* process;
        bool shown;
    };
    const Row rows[] = {
        {"Audio MIDI Setup", true}, // 2
        {"iChat", true},            // 6
        {"Audacity", true},         // 11
        {"iTunes", false},          // 3
        {"hxtest-other", false},    // 18
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.process);
        reload(r.process);
        if (HasFatalFailure()) return;
        for (bool isInput : {false, true}) {
            UInt32 size = 0xDEAD;
            Boolean w = 2;
            EXPECT_EQ(info(isInput, "ssrc", &size, &w, 0), r.shown ? 0 : kWho);
            EXPECT_EQ(size, r.shown ? 4u : 0u);
            EXPECT_EQ(bool(w), r.shown);
            EXPECT_EQ(info(isInput, "ssrc", &size, &w, 1), 0);
            EXPECT_EQ(size, 4u);
            EXPECT_TRUE(w);
            UInt32 id = 0;
            size = 4;
            EXPECT_EQ(get(isInput, "ssrc", &size, &id, 0), 0);
            EXPECT_EQ(id, isInput ? 101u : 1u);
            // The set reaches the device layer (which refuses the input's
            // implied source: it has no record).
            EXPECT_EQ(set(isInput, "ssrc", 4, &id, 0), isInput ? kBad : 0);
        }
    }
}

// ---- Gets at every size around the needed one

enum Kind { kZero, kShort, kNeeded, kRoomy, kNullSize, kNullData, kKinds };

TEST_F(HALStreamFormats, GetsAtEverySizeWriteOnlyInsideTheGivenSize) {
    struct Row {
        const char* code;
        OSStatus answer[kKinds]; // 0, needed - 1, needed, needed + 16, null size, null data
        bool zeroQuery;          // the data carries an all-zero query
    };
    const Row rows[] = {
        {"sfmt", {kWho, kWho, 0, kWho, kWho, kSiz}, false},
        {"pft ", {kWho, kWho, 0, kWho, kWho, kWho}, false},
        {"sfm#", {kBad, kBad, 0, 0, kSiz, kSiz}, false},
        {"pft#", {kBad, kBad, 0, 0, kSiz, kSiz}, false},
        {"sfma", {kBad, kBad, 0, 0, kSiz, kSiz}, false},
        {"pfta", {kBad, kBad, 0, 0, kSiz, kSiz}, false},
        {"sfm?", {kSiz, kSiz, 0, 0, kSiz, kDat}, true},
        {"sfmm", {kSiz, kSiz, 0, 0, kSiz, kDat}, true},
        {"srnd", {kSiz, kSiz, 0, 0, kSiz, kSiz}, false},
        {"csc#", {kWho, kWho, 0, 0, kWho, kWho}, false},
        {"ssc#", {kWho, kWho, 0, kWho, kWho, kWho}, false},
        {"ssrc", {kSiz, kSiz, 0, 0, kSiz, kSiz}, false},
    };
    for (bool isInput : {false, true})
        for (const Row& r : rows) {
            const UInt32 need = needed(isInput, r.code);
            ASSERT_GT(need, 0u) << r.code;
            for (int k = 0; k < kKinds; ++k) {
                SCOPED_TRACE(std::string(r.code) + (isInput ? " input" : " output") + " kind " +
                             std::to_string(k));
                const UInt32 given = k == kZero    ? 0
                                     : k == kShort ? need - 1
                                     : k == kRoomy ? need + 16
                                                   : need;
                Guarded buffer(given);
                if (r.zeroQuery) std::memset(buffer.data(), 0, std::min<UInt32>(given, 40));
                buffer.snapshot();
                UInt32 size = given;
                const OSStatus status = get(isInput, r.code, k == kNullSize ? nullptr : &size,
                                            k == kNullData ? nullptr : buffer.data());
                EXPECT_EQ(status, r.answer[k]);
                EXPECT_TRUE(buffer.guardsKept());
                if (status != 0) {
                    EXPECT_TRUE(buffer.untouched());
                }
                if (status == 0 && k == kNeeded && !r.zeroQuery) {
                    EXPECT_FALSE(buffer.untouched()) << "the answer is written";
                }
            }
        }
}

TEST_F(HALStreamFormats, FormatsAndListsDescribeTheCurrentConfiguration) {
    for (bool isInput : {false, true}) {
        SCOPED_TRACE(isInput ? "input" : "output");
        const AudioStreamBasicDescription v = format(isInput, "sfmt");
        EXPECT_EQ(v.mSampleRate, kRate);
        EXPECT_EQ(v.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(v.mFormatFlags, kAudioFormatFlagIsFloat);
        EXPECT_EQ(v.mBitsPerChannel, 32u);
        EXPECT_EQ(v.mBytesPerFrame, 4 * v.mChannelsPerFrame);
        const AudioStreamBasicDescription p = format(isInput, "pft ");
        EXPECT_EQ(p.mSampleRate, kRate);
        EXPECT_EQ(p.mFormatFlags, kAudioFormatFlagIsSignedInteger);
        EXPECT_EQ(p.mChannelsPerFrame, v.mChannelsPerFrame);
        EXPECT_EQ(p.mBitsPerChannel, 24u);

        // Every listed format is linear PCM; the current one is among them.
        const auto list = formats(isInput, "sfm#");
        EXPECT_TRUE(zrformats::anyMatches(v, list.data(), UInt32(list.size())));
        const auto physical = formats(isInput, "pft#");
        EXPECT_TRUE(zrformats::anyMatches(p, physical.data(), UInt32(physical.size())));
        for (const auto& d : physical)
            EXPECT_EQ(d.mFormatFlags, kAudioFormatFlagIsSignedInteger);

        // The ranged lists carry the same descriptions, each rate a range of one.
        UInt32 size = needed(isInput, "sfma");
        std::vector<AudioStreamRangedDescription> ranged(size / 56);
        ASSERT_EQ(get(isInput, "sfma", &size, ranged.data()), 0);
        ASSERT_EQ(ranged.size(), list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(std::memcmp(&ranged[i].mFormat, &list[i], 40), 0);
            EXPECT_EQ(ranged[i].mSampleRateRange.mMinimum, list[i].mSampleRate);
            EXPECT_EQ(ranged[i].mSampleRateRange.mMaximum, list[i].mSampleRate);
        }
    }
}

// ---- The format-supported test and the format match

TEST_F(HALStreamFormats, FormatSupportedAsksForEveryFieldTheQuerySets) {
    const auto list = formats(false);
    ASSERT_FALSE(list.empty());
    struct Row {
        double rate;
        UInt32 channels;
        UInt32 flags;
        OSStatus answer;
    };
    const Row rows[] = {
        {0, 0, 0, 0},                               // all zero: the first description
        {48000, 0, 0, 0},                           // the rate alone
        {12345, 0, 0, kDat},                        // no such rate
        {48000, list[0].mChannelsPerFrame, 0, 0},   // rate and channels together
        {48000, 200, 0, kDat},                      // no single format has both
        {0, 0, kAudioFormatFlagIsSignedInteger, 0}, // integer formats are listed
        {0, 0, kNonInterleaved, kDat},              // no such flags
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rate);
        AudioStreamBasicDescription q{};
        q.mSampleRate = r.rate;
        q.mChannelsPerFrame = r.channels;
        q.mFormatFlags = r.flags;
        const AudioStreamBasicDescription before = q;
        UInt32 size = sizeof q;
        EXPECT_EQ(get(false, "sfm?", &size, &q), r.answer);
        EXPECT_EQ(std::memcmp(&q, &before, sizeof q), 0) << "the query is not changed";
    }
}

TEST_F(HALStreamFormats, FormatMatchAnswersTheNearestVirtualFormat) {
    const AudioStreamBasicDescription current = format(false);
    AudioStreamBasicDescription q{};
    q.mSampleRate = 48000;
    q.mChannelsPerFrame = current.mChannelsPerFrame;
    q.mFormatFlags = kAudioFormatFlagIsSignedInteger; // normalised to float
    UInt32 size = sizeof q;
    ASSERT_EQ(get(false, "sfmm", &size, &q), 0);
    EXPECT_EQ(q.mSampleRate, 48000.0);
    EXPECT_EQ(q.mChannelsPerFrame, current.mChannelsPerFrame);
    EXPECT_EQ(q.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(q.mFormatFlags, kAudioFormatFlagIsFloat) << "the first of equal ones";
    EXPECT_EQ(q.mBitsPerChannel, 32u);

    // No rate: the current rate is wanted.
    AudioStreamBasicDescription any{};
    size = sizeof any;
    ASSERT_EQ(get(true, "sfmm", &size, &any), 0);
    EXPECT_EQ(any.mSampleRate, kRate);
}

// The nearest-format rule over a description list of its own, with
// resolutions the HX-5100 does not list (its virtual formats are all 32-bit).
TEST(FormatMatch, TakesTheNearestRateThenChannelsThenTheMostBits) {
    const AudioStreamBasicDescription list[] = {
        description(44100, 2, 24),
        description(48000, 2, 16),
        description(48000, 2, 24),
    };
    struct Row {
        double rate;
        UInt32 channels;
        uint32_t current;
        int answer; // index into list, -1: none
    };
    const Row rows[] = {
        {48000, 2, 0, 2},     // the example
        {44100, 0, 0, 0},     // the rate alone
        {0, 2, 44100, 0},     // no rate: the current one
        {0, 0, 0, 2},         // nothing given: the highest rate, then the most bits
        {96000, 2, 0, 2},     // nearest rate, most bits
        {48000, 8, 0, 2},     // nearest channel count
        {32000, 2, 48000, 0}, // a given rate wins over the current
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + "/" + std::to_string(r.channels));
        AudioStreamBasicDescription q{};
        q.mSampleRate = r.rate;
        q.mChannelsPerFrame = r.channels;
        zrformats::normaliseQuery(&q);
        ASSERT_TRUE(zrformats::nearestFormat(&q, list, 3, r.current));
        EXPECT_EQ(std::memcmp(&q, &list[r.answer], sizeof q), 0);
    }
    // No formats: the normalised query stays.
    AudioStreamBasicDescription q{};
    q.mSampleRate = 48000;
    q.mChannelsPerFrame = 2;
    zrformats::normaliseQuery(&q);
    const AudioStreamBasicDescription normalised = q;
    EXPECT_FALSE(zrformats::nearestFormat(&q, list, 0, 48000));
    EXPECT_EQ(std::memcmp(&q, &normalised, sizeof q), 0);
    EXPECT_EQ(normalised.mBytesPerFrame, 8u);
    EXPECT_EQ(normalised.mFormatFlags, kAudioFormatFlagIsFloat);
    EXPECT_EQ(normalised.mFramesPerPacket, 1u);
}

TEST(FormatMatch, SupportedNeedsOneDescriptionWithEverySetField) {
    const AudioStreamBasicDescription list[] = {
        description(44100, 2, 24),
        description(48000, 2, 16),
        description(48000, 2, 24),
    };
    struct Row {
        double rate;
        UInt32 channels;
        UInt32 bits;
        bool supported;
    };
    const Row rows[] = {
        {48000, 0, 0, true},   {48000, 3, 0, false}, {44100, 2, 24, true},
        {44100, 2, 16, false}, {0, 0, 0, true},      {96000, 0, 0, false},
    };
    for (const Row& r : rows) {
        AudioStreamBasicDescription q{};
        q.mSampleRate = r.rate;
        q.mChannelsPerFrame = r.channels;
        q.mBitsPerChannel = r.bits;
        EXPECT_EQ(zrformats::anyMatches(q, list, 3), r.supported)
            << r.rate << "/" << r.channels << "/" << r.bits;
    }
}

// The clock source list of an ordinary device and of the Trunk2 (whose
// second source the simulated machine has no model for).
TEST(ClockSources, TheListFillsTheBufferAndGivesItsCount) {
    struct Row {
        bool trunk2;
        UInt32 bytes;
        OSStatus answer;
        UInt32 sizeAfter;
    };
    const Row rows[] = {
        {false, 0, kWho, 0}, {false, 3, kWho, 3}, {false, 4, 0, 4},   {false, 16, 0, 4},
        {true, 3, kWho, 3},  {true, 4, kSiz, 4},  {true, 7, kSiz, 7}, {true, 8, 0, 8},
        {true, 16, 0, 8},    {true, 18, 0, 8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.trunk2) + " " + std::to_string(r.bytes));
        Guarded buffer(r.bytes);
        buffer.snapshot();
        UInt32 size = r.bytes;
        EXPECT_EQ(zrformats::fillClockSourceList(r.trunk2, &size, buffer.data()), r.answer);
        EXPECT_EQ(size, r.sizeAfter);
        EXPECT_TRUE(buffer.guardsKept());
        if (r.answer != 0) {
            EXPECT_TRUE(buffer.untouched());
            continue;
        }
        const UInt32 n = r.trunk2 ? 2 : 1;
        for (UInt32 i = 0; i < r.bytes / 4; ++i) {
            UInt32 id;
            std::memcpy(&id, buffer.data() + 4 * i, 4);
            EXPECT_EQ(id, i < n ? i : 0xFFFFFFFFu);
        }
    }
    UInt32 size = 8;
    EXPECT_EQ(zrformats::fillClockSourceList(true, nullptr, &size), kWho);
    EXPECT_EQ(zrformats::fillClockSourceList(true, &size, nullptr), kWho);
}

TEST(ClockSources, NamesByIDAndProduct) {
    EXPECT_STREQ(zrformats::clockSourceName(false, 0), "Hardware");
    EXPECT_STREQ(zrformats::clockSourceName(false, 1), "Internal");
    EXPECT_STREQ(zrformats::clockSourceName(true, 0), "Internal");
    EXPECT_STREQ(zrformats::clockSourceName(true, 1), "S/PDIF");
    EXPECT_EQ(zrformats::clockSourceName(false, 2), nullptr);
    EXPECT_EQ(zrformats::clockSourceName(true, 2), nullptr);
}

// ---- Rates a caller gives

TEST_F(HALStreamFormats, RatesNotFiniteNegativeOrTooHighAreRefusedBeforeAnything) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          -1.0,
                          384000.5,
                          1e300};
    for (bool isInput : {false, true}) {
        const AudioStreamBasicDescription v = format(isInput, "sfmt");
        const AudioStreamBasicDescription p = format(isInput, "pft ");
        for (double rate : bad) {
            SCOPED_TRACE(rate);
            AudioStreamBasicDescription d = v;
            d.mSampleRate = rate;
            EXPECT_EQ(set(isInput, "sfmt", 40, &d), kDat);
            d = p;
            d.mSampleRate = rate;
            EXPECT_EQ(set(isInput, "pft ", 40, &d), kDat);
            AudioStreamBasicDescription q{};
            q.mSampleRate = rate;
            q.mChannelsPerFrame = 2;
            const AudioStreamBasicDescription before = q;
            UInt32 size = sizeof q;
            EXPECT_EQ(get(isInput, "sfmm", &size, &q), kDat);
            EXPECT_EQ(std::memcmp(&q, &before, sizeof q), 0) << "nothing written";
        }
        const AudioStreamBasicDescription after = format(isInput, "sfmt");
        EXPECT_EQ(std::memcmp(&after, &v, sizeof v), 0) << "the format is kept";
        // Rate 0 keeps its meaning: the current rate.
        AudioStreamBasicDescription zero = v;
        zero.mSampleRate = 0;
        EXPECT_EQ(set(isInput, "sfmt", 40, &zero), 0);
        EXPECT_EQ(format(isInput, "sfmt").mSampleRate, kRate);
    }
}

// ---- Sets

TEST_F(HALStreamFormats, SetsCheckSizeAndDataFirst) {
    const AudioStreamBasicDescription v = format(false);
    uint8_t payload[64] = {};
    std::memcpy(payload, &v, sizeof v);
    struct Row {
        const char* code;
        UInt32 size;
        bool nullData;
        OSStatus answer;
    };
    const Row rows[] = {
        {"sfmt", 0, false, kWho},  {"sfmt", 39, false, kWho}, {"sfmt", 41, false, kWho},
        {"sfmt", 40, true, kWho},  {"pft ", 0, false, kWho},  {"pft ", 39, false, kWho},
        {"pft ", 56, false, kWho}, {"pft ", 40, true, kWho},  {"ssrc", 0, false, kWho},
        {"ssrc", 3, false, kWho},  {"ssrc", 8, false, kWho},  {"ssrc", 4, true, kWho},
        {"sfm#", 40, false, kWho}, {"pft#", 40, false, kWho}, {"sfma", 56, false, kWho},
        {"pfta", 56, false, kWho}, {"sfm?", 40, false, kWho}, {"sfmm", 40, false, kWho},
        {"srnd", 52, false, kWho}, {"csc#", 4, false, kWho},  {"cscn", 32, false, kWho},
        {"lcsn", 32, false, kWho}, {"ssc#", 4, false, kWho},  {"lscn", 32, false, kWho},
        {"sscn", 32, false, kWho},
    };
    for (bool isInput : {false, true})
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.code) + " size " + std::to_string(r.size));
            EXPECT_EQ(set(isInput, r.code, r.size, r.nullData ? nullptr : payload), r.answer);
        }
    const AudioStreamBasicDescription after = format(false);
    EXPECT_EQ(std::memcmp(&after, &v, sizeof v), 0);

    // The current format and source set back: accepted.
    for (bool isInput : {false, true}) {
        AudioStreamBasicDescription d = format(isInput, "sfmt");
        EXPECT_EQ(set(isInput, "sfmt", 40, &d), 0);
        d = format(isInput, "pft ");
        EXPECT_EQ(set(isInput, "pft ", 40, &d), 0);
        UInt32 id = 0, size = 4;
        ASSERT_EQ(get(isInput, "ssrc", &size, &id), 0);
        // The HX-5100's input carries no source record (its one source is
        // implied): the device layer refuses to select it.
        EXPECT_EQ(set(isInput, "ssrc", 4, &id), isInput ? kBad : 0);
    }
}

TEST_F(HALStreamFormats, AnIntegerStreamFormatIsKeptPerDirection) {
    for (bool isInput : {false, true}) {
        AudioStreamBasicDescription d = format(isInput);
        d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
        ASSERT_EQ(set(isInput, "sfmt", 40, &d), 0);
        EXPECT_EQ(format(isInput).mFormatFlags, kAudioFormatFlagIsSignedInteger);
    }
    // Flags the virtual format cannot take are refused.
    AudioStreamBasicDescription d = format(false);
    d.mFormatFlags = kNonInterleaved;
    EXPECT_EQ(set(false, "sfmt", 40, &d), kDat);
    EXPECT_EQ(format(false).mFormatFlags, kAudioFormatFlagIsSignedInteger);
}

// ---- Channel layout, clock and data sources

TEST_F(HALStreamFormats, ChannelLayoutDescribesEveryChannel) {
    for (bool isInput : {false, true}) {
        const UInt32 channels = format(isInput).mChannelsPerFrame;
        const UInt32 need = 12 + 20 * channels;
        Guarded buffer(need);
        buffer.snapshot();
        UInt32 size = need;
        ASSERT_EQ(get(isInput, "srnd", &size, buffer.data()), 0);
        EXPECT_TRUE(buffer.guardsKept());
        UInt32 head[3];
        std::memcpy(head, buffer.data(), sizeof head);
        EXPECT_EQ(head[0], 0u);
        EXPECT_EQ(head[1], 0u);
        EXPECT_EQ(head[2], channels);
        for (UInt32 i = 0; i < channels; ++i) {
            AudioChannelDescription c;
            std::memcpy(&c, buffer.data() + 12 + 20 * i, sizeof c);
            EXPECT_EQ(c.mChannelLabel, i + 1);
            EXPECT_EQ(c.mChannelFlags, 4u);
            EXPECT_EQ(c.mCoordinates[0], 0.0f);
            EXPECT_EQ(c.mCoordinates[1], 0.0f);
            EXPECT_EQ(c.mCoordinates[2], 0.0f);
        }
    }
    if (format(false).mChannelsPerFrame == 2) {
        EXPECT_EQ(needed(false, "srnd"), 52u);
    }
}

TEST_F(HALStreamFormats, ClockSourceListFillsTheBufferAndGivesItsCount) {
    UInt32 list[4];
    std::memset(list, 0x5A, sizeof list);
    UInt32 size = sizeof list;
    ASSERT_EQ(get(false, "csc#", &size, list), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], 0xFFFFFFFFu);
    EXPECT_EQ(list[2], 0xFFFFFFFFu);
    EXPECT_EQ(list[3], 0xFFFFFFFFu);
}

TEST_F(HALStreamFormats, ClockSourceNamesByID) {
    struct Row {
        UInt32 id;
        const char* name;
        OSStatus answer;
    };
    const Row rows[] = {
        {0, "Hardware", 0}, {1, "Internal", 0}, {2, "", kWho}, {0xFFFFFFFF, "", kWho}};
    for (const Row& r : rows)
        expectClockSourceName(r.id, r.name, r.answer);
    // A short output buffer: cut and terminated inside it.
    UInt32 id = 0;
    Guarded out(4);
    out.snapshot();
    AudioValueTranslation t{&id, 4, out.data(), 4};
    UInt32 size = sizeof t;
    ASSERT_EQ(get(false, "cscn", &size, &t), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data())), "Har");
    EXPECT_TRUE(out.guardsKept());
}

TEST_F(HALStreamFormats, TranslationsCheckTheirRecordAndPointers) {
    // What each answers for: null data, input pointer null, input size 3,
    // output pointer null, output size short (0 for 'cscn', 7 otherwise).
    struct Row {
        const char* code;
        OSStatus nullData, nullInput, shortInput, nullOutput, shortOutput;
    };
    const Row rows[] = {
        {"cscn", kSiz, kSiz, kSiz, kWho, kWho},
        {"lcsn", kSiz, kSiz, kSiz, kSiz, kSiz},
        {"lscn", kWho, kWho, kSiz, 0, kSiz},
        {"sscn", kWho, kWho, kSiz, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        const bool cf = r.code[0] == 'l';
        UInt32 id = 1;
        uint8_t output[32];
        std::memset(output, kFill, sizeof output);
        auto call = [&](AudioValueTranslation t, UInt32 recordSize, bool nullData) {
            Guarded record(recordSize);
            std::memcpy(record.data(), &t, std::min<size_t>(recordSize, sizeof t));
            record.snapshot();
            UInt32 size = recordSize;
            const OSStatus s = get(false, r.code, &size, nullData ? nullptr : record.data());
            EXPECT_TRUE(record.guardsKept());
            if (s != 0) {
                EXPECT_TRUE(record.untouched());
            }
            if (s == 0 && cf && t.mOutputData) {
                CFStringRef handed;
                std::memcpy(&handed, t.mOutputData, sizeof handed);
                if (handed) CFRelease(handed);
            }
            AudioValueTranslation back;
            std::memcpy(&back, record.data(), std::min<size_t>(recordSize, sizeof back));
            return std::pair{s, back};
        };
        const AudioValueTranslation good{&id, 4, output, cf ? 8u : 32u};
        // The record itself.
        EXPECT_EQ(call(good, 0, false).first, kSiz);
        EXPECT_EQ(call(good, 31, false).first, kSiz);
        EXPECT_EQ(call(good, 32, true).first, r.nullData);
        EXPECT_EQ(call(good, 48, false).first, 0);
        AudioValueTranslation t = good;
        EXPECT_EQ(get(false, r.code, nullptr, &t), kSiz);
        // Its pointers and sizes.
        EXPECT_EQ(call({nullptr, 4, output, good.mOutputDataSize}, 32, false).first, r.nullInput);
        EXPECT_EQ(call({&id, 3, output, good.mOutputDataSize}, 32, false).first, r.shortInput);
        const auto [noOutput, told] = call({&id, 4, nullptr, 0}, 32, false);
        EXPECT_EQ(noOutput, r.nullOutput);
        std::memset(output, kFill, sizeof output);
        const UInt32 shortSize = r.code == std::string("cscn") ? 0 : 7;
        EXPECT_EQ(call({&id, 4, output, shortSize}, 32, false).first, r.shortOutput);
        if (r.code == std::string("cscn") || r.code == std::string("lcsn")) {
            EXPECT_EQ(output[0], kFill) << "nothing written";
        }
        if (r.code == std::string("lscn")) {
            EXPECT_EQ(told.mOutputDataSize, 8u);
        }
    }
}

TEST_F(HALStreamFormats, DataSourceListAndNames) {
    for (bool isInput : {false, true}) {
        SCOPED_TRACE(isInput ? "input" : "output");
        const UInt32 need = needed(isInput, "ssc#");
        const UInt32 n = need / 4;
        ASSERT_GE(n, 1u);
        std::vector<UInt32> ids(n + 1, 0x5A5A5A5A);
        UInt32 size = need + 4; // one entry too large
        EXPECT_EQ(get(isInput, "ssc#", &size, ids.data()), kWho);
        EXPECT_EQ(ids[0], 0x5A5A5A5Au);
        size = need;
        ASSERT_EQ(get(isInput, "ssc#", &size, ids.data()), 0);
        for (UInt32 i = 0; i < n; ++i)
            EXPECT_EQ(ids[i], i + 1 + (isInput ? 100 : 0));
        EXPECT_EQ(ids[n], 0x5A5A5A5Au);

        UInt32 current = 0;
        size = 4;
        ASSERT_EQ(get(isInput, "ssrc", &size, &current), 0);
        EXPECT_EQ(current, ids[0]) << "the first source is selected";

        for (UInt32 i = 0; i < n; ++i) {
            UInt32 id = ids[i];
            CFStringRef name = nullptr;
            AudioValueTranslation cf{&id, 4, &name, sizeof name};
            size = sizeof cf;
            ASSERT_EQ(get(isInput, "lscn", &size, &cf), 0);
            ASSERT_NE(name, nullptr);
            const std::string expected = text(name);
            CFRelease(name);
            EXPECT_FALSE(expected.empty());

            AudioValueTranslation ask{&id, 4, nullptr, 0};
            size = sizeof ask;
            ASSERT_EQ(get(isInput, "sscn", &size, &ask), 0);
            EXPECT_EQ(ask.mOutputDataSize, expected.size() + 1) << "the length it needs";

            Guarded out(64);
            out.snapshot();
            AudioValueTranslation c{&id, 4, out.data(), 64};
            size = sizeof c;
            ASSERT_EQ(get(isInput, "sscn", &size, &c), 0);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data())), expected);
            EXPECT_EQ(c.mOutputDataSize, expected.size() + 1);
            EXPECT_TRUE(out.guardsKept());

            Guarded cut(3);
            cut.snapshot();
            AudioValueTranslation s{&id, 4, cut.data(), 3};
            size = sizeof s;
            ASSERT_EQ(get(isInput, "sscn", &size, &s), 0);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(cut.data())),
                      expected.substr(0, 2));
            EXPECT_EQ(s.mOutputDataSize, 3u) << "a cut copy keeps the length";
            EXPECT_TRUE(cut.guardsKept());

            Guarded none(0);
            none.snapshot();
            AudioValueTranslation z{&id, 4, none.data(), 0};
            size = sizeof z;
            EXPECT_EQ(get(isInput, "sscn", &size, &z), 0);
            EXPECT_TRUE(none.untouched()) << "length 0 copies nothing";
        }
    }
}

// ---- Rows that change with the product

class HALStreamFormatsByProduct : public HALStreamFormats {};

TEST_F(HALStreamFormatsByProduct, APhysicalFormatIsNotWritableOnASorvikFarlaneDevice) {
    const AudioDeviceID ordinary = mDevice;
    const AudioDeviceID farlane = plugFarlane2();
    ASSERT_NE(farlane, 0u);
    for (auto [dev, writable] : {std::pair{ordinary, true}, std::pair{farlane, false}}) {
        UInt32 size = 0;
        Boolean w = !writable;
        ASSERT_EQ(AudioDeviceGetPropertyInfo(dev, 0, false, code("pft "), &size, &w), 0);
        EXPECT_EQ(size, 40u);
        EXPECT_EQ(bool(w), writable);
    }
    // It is not refused here: a set reaches the device layer.
    mDevice = farlane;
    AudioStreamBasicDescription d = format(false, "pft ");
    d.mSampleRate = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(set(false, "pft ", 40, &d), kDat);
    d = format(false, "pft ");
    EXPECT_NE(set(false, "pft ", 40, &d), kWho);
}

TEST_F(HALStreamFormatsByProduct, AnOutputOnlyDeviceHidesItsInputSide) {
    mDevice = plugOutputOnly();
    ASSERT_NE(mDevice, 0u);

    // GetPropertyInfo of the input side.
    struct Row {
        const char* code;
        UInt32 element;
        UInt32 size;
        bool writable;
        OSStatus status;
    };
    const Row rows[] = {
        {"sfm#", 0, 0, false, 0}, {"pft#", 0, 0, false, 0}, {"sfma", 0, 0, false, 0},
        {"pfta", 0, 0, false, 0}, {"ssc#", 0, 0, false, 0}, {"ssrc", 1, 0, false, kWho},
        {"sfmt", 0, 40, true, 0}, {"pft ", 0, 40, true, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        UInt32 size = 0xDEAD;
        Boolean w = !r.writable;
        EXPECT_EQ(info(true, r.code, &size, &w, r.element), r.status);
        EXPECT_EQ(size, r.size);
        EXPECT_EQ(bool(w), r.writable);
    }
    // The output side keeps its source.
    UInt32 size = 0;
    Boolean w = false;
    EXPECT_EQ(info(false, "ssrc", &size, &w, 1), 0);
    EXPECT_EQ(size, 4u);

    // 'pft ' and 'pft#' of the input answer with the channel limit 0.
    AudioStreamBasicDescription d{};
    d.mChannelsPerFrame = 99;
    size = sizeof d;
    ASSERT_EQ(get(true, "pft ", &size, &d), 0);
    EXPECT_EQ(d.mChannelsPerFrame, 0u);
    EXPECT_EQ(d.mBytesPerFrame, 0u);
    Guarded empty(0);
    empty.snapshot();
    size = 0;
    EXPECT_EQ(get(true, "pft#", &size, empty.data()), 0);
    EXPECT_TRUE(empty.untouched());
    size = 0;
    EXPECT_EQ(get(true, "ssc#", &size, empty.data()), 0);
    EXPECT_TRUE(empty.untouched());
}

// The Trunk2 has two clock sources, "Internal" and "S/PDIF"; its list
// needs room for both.
TEST_F(HALStreamFormatsByProduct, TheTrunk2ListsAndNamesItsTwoClockSources) {
    mDevice = plugTrunk2();
    ASSERT_NE(mDevice, 0u);
    UInt32 size = 0;
    Boolean w = true;
    EXPECT_EQ(info(false, "csc#", &size, &w), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_FALSE(w);

    struct ListRow {
        UInt32 bytes;
        OSStatus answer;
        UInt32 sizeAfter;
    };
    for (const ListRow& r : {ListRow{4, kSiz, 4}, ListRow{8, 0, 8}, ListRow{12, 0, 8}}) {
        SCOPED_TRACE(r.bytes);
        Guarded list(r.bytes);
        list.snapshot();
        size = r.bytes;
        EXPECT_EQ(get(false, "csc#", &size, list.data()), r.answer);
        EXPECT_EQ(size, r.sizeAfter);
        EXPECT_TRUE(list.guardsKept());
        if (r.answer != 0) {
            EXPECT_TRUE(list.untouched());
            continue;
        }
        for (UInt32 i = 0; i < r.bytes / 4; ++i) {
            UInt32 id;
            std::memcpy(&id, list.data() + 4 * i, 4);
            EXPECT_EQ(id, i < 2 ? i : 0xFFFFFFFFu) << i;
        }
    }

    expectClockSourceName(0, "Internal", 0);
    expectClockSourceName(1, "S/PDIF", 0);
    expectClockSourceName(2, "", kWho);
}

// The input stream of an output-only device is counted for the audio
// server only; its ID reads 0.
TEST_F(HALStreamFormatsByProduct, TheInputStreamOfAnOutputOnlyDeviceByClientType) {
    ASSERT_NE(plugOutputOnly(), 0u);
    struct Row {
        const char* process;
        const char* release;
        UInt32 size;
    };
    const Row rows[] = {{"coreaudiod", "12.0.0", 4}, {"hxtest-other", "", 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.process);
        mHost.reset();
        HALHostOptions o;
        o.processName = r.process;
        o.release = r.release;
        ASSERT_EQ(load(o), 0);
        ASSERT_TRUE(devicesBecome(2));
        AudioDeviceID outputOnly = 0;
        for (AudioDeviceID d : mHost->devices()) {
            UInt32 size = 1;
            Boolean w = false;
            if (AudioDeviceGetPropertyInfo(d, 0, true, code("sfm#"), &size, &w) == 0 && size == 0)
                outputOnly = d;
        }
        ASSERT_NE(outputOnly, 0u);
        mDevice = outputOnly;
        UInt32 size = 0xDEAD;
        Boolean w = true;
        EXPECT_EQ(info(true, "stm#", &size, &w), 0);
        EXPECT_EQ(size, r.size);
        EXPECT_FALSE(w);
        AudioStreamID id = 0x5A5A5A5A;
        size = 4;
        EXPECT_EQ(get(true, "stm#", &size, &id), 0);
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(info(false, "stm#", &size, &w), 0);
        EXPECT_EQ(size, 4u);
        size = 4;
        EXPECT_EQ(get(false, "stm#", &size, &id), 0);
        EXPECT_NE(id, 0u);
    }
}

// ---- 32-bit integer IO

TEST_F(HALStreamFormats, AnIntegerStreamFormatCarriesA24BitRampBitExact) {
    for (bool isInput : {false, true}) {
        AudioStreamBasicDescription d = format(isInput);
        d.mFormatFlags = kAudioFormatFlagIsSignedInteger;
        ASSERT_EQ(set(isInput, "sfmt", 40, &d), 0);
    }
    const AudioStreamBasicDescription physical = format(false, "pft ");
    EXPECT_EQ(physical.mBitsPerChannel, 24u) << "the device keeps its resolution";
    IntegerRamp ramp;
    ramp.channels = format(false).mChannelsPerFrame;
    ASSERT_EQ(format(true).mChannelsPerFrame, ramp.channels);
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(mDevice, &IntegerRamp::proc, &ramp, &id), 0);
    std::atomic<OSStatus> started{1};
    std::thread program([&, seat = hx::clock::Reservation()]() mutable {
        hx::clock::Participant p(std::move(seat));
        started = AudioDeviceStart(mDevice, id);
    });
    {
        hx::clock::Idle idle;
        program.join();
    }
    ASSERT_EQ(started.load(), 0);
    mRoad->run(400000);
    ASSERT_EQ(AudioDeviceStop(mDevice, id), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(mDevice, id), 0);

    EXPECT_GT(ramp.calls.load(), 0u);
    const auto result = ramp.check();
    EXPECT_GT(result.checked, 4800u);
    EXPECT_EQ(result.mismatches, 0u) << "first at " << result.firstMismatch;
}

} // namespace
