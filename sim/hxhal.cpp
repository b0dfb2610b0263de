// hxhal: a small command-line client of the HAL host on hxsim's machine.
// Each run boots the simulated machine with an HX-5100 in loopback (another
// client configures it at 44,100 Hz), loads the HAL plug-in through the
// host, does one thing and unloads:
//   list                        the devices and their properties
//   get SEL [SCOPE [ELEMENT]]   one property
//   set SEL SCOPE ELEMENT VALUE one property, then reads it back
//   play WAV                    plays a WAV file through an IO procedure
//   record SECONDS WAV          records the input into a WAV file
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CoreFoundation.h"
#include "sim/SimHal.h"
#include "sim/SimReport.h"
#include "sim/WavReader.h"
#include "sim/WavWriter.h"

namespace {

using namespace hx::sim;
using hx::coreaudio::fourCC;

// A listed selector's code (the table holds C strings).
uint32_t codeOf(const char* s) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string usageText() {
    return "usage: hxhal [--virtual-clock | --real-clock] [--speed full|high] COMMAND ...\n"
           "A client of the HAL host on hxsim's simulated machine: each run boots the machine\n"
           "with an HX-5100 in loopback (configured at 44100 Hz by another client), loads the\n"
           "HAL plug-in, does one command and unloads.\n"
           "\n"
           "  list                         every device with its standard, format, source and\n"
           "                               readable custom properties (a value, or the status\n"
           "                               its call answered)\n"
           "  get SEL [SCOPE [ELEMENT]]    one property through the object calls; SEL is four\n"
           "                               characters ('fsiz' or fsiz), SCOPE global (default),\n"
           "                               input, output or wildcard, ELEMENT a number (0)\n"
           "  set SEL SCOPE ELEMENT VALUE  sets one property, then reads it back; VALUE is an\n"
           "                               integer (4 bytes: 512, -1, 0x200), a float with a\n"
           "                               point or exponent (Float32 where the property holds\n"
           "                               4 bytes, else Float64: 48000.0) or hex bytes\n"
           "                               (hex:0a0b0c0d); properties that carry an object\n"
           "                               cannot be set from here\n"
           "  play WAV                     sets the rate to the file's and plays it (16, 24 or\n"
           "                               32-bit PCM or 32-bit float; 1 channel goes to both)\n"
           "  record SECONDS WAV           records the input for 0.1..3600 seconds into a\n"
           "                               24-bit WAV file at the device's rate\n"
           "\n"
           "  --virtual-clock              the machine runs on the virtual clock as fast as\n"
           "                               the host goes (for tests); default: paced\n"
           "  --real-clock                 the machine runs on the host's clock\n"
           "  --speed S                    bus speed, full or high (default high)\n"
           "\n"
           "WAV paths, like hxsim's, are paths under the path root (HX_ROOT). The plug-in's\n"
           "log goes to /var/log/hxhal.log there.\n"
           "Exit code 0 when the command worked; 1 when a call failed; 2 for bad arguments or\n"
           "a WAV file that cannot be read, each with a one-line reason.\n";
}

// ---- Values

enum class Kind {
    U32,    // an unsigned word
    S32,    // a signed word (the hog-mode owner)
    Code,   // a four-character code
    F64,    // Float64
    F32,    // Float32
    Object, // a CF object reference, released after reading
    CString,
    Range,   // one AudioValueRange
    Ranges,  // AudioValueRanges
    Format,  // one AudioStreamBasicDescription
    Formats, // AudioStreamBasicDescriptions
    Ranged,  // AudioStreamRangedDescriptions
    Words,   // u32 list
    Layout,  // AudioChannelLayout
    Bytes,
};

bool carriesObject(Kind k) {
    return k == Kind::Object;
}

struct Listed {
    const char* selector;
    Kind kind;
    bool perDirection;
    uint32_t element;
};

// What list reads, in the order of the property tables: standard, then
// stream-format and source, then custom (the readable ones).
constexpr Listed kListed[] = {
    {"name", Kind::CString, false, 0}, {"lnam", Kind::Object, false, 0},
    {"makr", Kind::CString, false, 0}, {"lmak", Kind::Object, false, 0},
    {"uid ", Kind::Object, false, 0},  {"muid", Kind::Object, false, 0},
    {"akin", Kind::U32, false, 0},     {"capp", Kind::Object, false, 0},
    {"icon", Kind::Object, false, 0},  {"tran", Kind::Code, false, 0},
    {"nsrt", Kind::F64, false, 0},     {"asrt", Kind::F64, false, 0},
    {"nsr#", Kind::Ranges, false, 0},  {"fsiz", Kind::U32, false, 0},
    {"fsz#", Kind::Range, false, 0},   {"bsiz", Kind::U32, true, 0},
    {"bsz#", Kind::Range, true, 0},    {"ltnc", Kind::U32, true, 0},
    {"saft", Kind::U32, true, 0},      {"stm#", Kind::Words, true, 0},
    {"slay", Kind::Bytes, true, 0},    {"dch2", Kind::Words, true, 0},
    {"lchn", Kind::Object, true, 1},   {"lchn", Kind::Object, true, 2},
    {"sdir", Kind::U32, true, 0},      {"term", Kind::Code, true, 0},
    {"jack", Kind::U32, true, 0},      {"dflt", Kind::U32, true, 0},
    {"sflt", Kind::U32, true, 0},      {"mute", Kind::U32, true, 0},
    {"volm", Kind::F32, true, 0},      {"vold", Kind::F32, true, 0},
    {"thru", Kind::U32, true, 0},      {"goin", Kind::U32, false, 0},
    {"gone", Kind::U32, false, 0},     {"livn", Kind::U32, false, 0},
    {"oink", Kind::S32, false, 0},     {"csrc", Kind::U32, false, 0},
    {"clkd", Kind::U32, false, 0},     {"hidn", Kind::U32, false, 0},
    {"over", Kind::U32, false, 0},     {"plug", Kind::U32, false, 0},
    {"mix?", Kind::U32, false, 0},     {"schn", Kind::U32, false, 0},
    {"sfmt", Kind::Format, true, 0},   {"pft ", Kind::Format, true, 0},
    {"sfm#", Kind::Formats, true, 0},  {"pft#", Kind::Formats, true, 0},
    {"sfma", Kind::Ranged, true, 0},   {"pfta", Kind::Ranged, true, 0},
    {"srnd", Kind::Layout, true, 0},   {"csc#", Kind::Words, false, 0},
    {"ssc#", Kind::Words, true, 0},    {"ssrc", Kind::U32, true, 0},
    {"QnCS", Kind::Object, false, 0},  {"QnDM", Kind::Object, false, 0},
    {"QnOS", Kind::Object, false, 0},  {"QnU1", Kind::Object, false, 0},
    {"QnDS", Kind::Object, false, 0},  {"QnDV", Kind::Object, false, 0},
    {"QnFV", Kind::Object, false, 0},  {"QnSN", Kind::Object, false, 0},
    {"QnIL", Kind::Object, false, 0},  {"QnOL", Kind::Object, false, 0},
    {"QnPC", Kind::Object, false, 0},  {"QnIO", Kind::Object, false, 0},
    {"QnRM", Kind::Object, false, 0},  {"QnSV", Kind::Object, false, 0},
    {"QnMM", Kind::Object, false, 0},  {"QnMF", Kind::Object, false, 0},
    {"QnMB", Kind::Object, false, 0},  {"QnRB", Kind::Object, false, 0},
    {"QnFM", Kind::Object, false, 0},  {"QnFP", Kind::Object, false, 0},
    {"QnSt", Kind::Object, false, 0},  {"QnPD", Kind::Object, false, 0},
    {"QnVD", Kind::Object, false, 0},  {"QnSW", Kind::Object, false, 0},
    {"QnTy", Kind::Object, false, 0},
};

// The kind a selector's value is read as; bytes for one not listed.
Kind kindOf(uint32_t selector) {
    for (const Listed& l : kListed)
        if (codeOf(l.selector) == selector) return l.kind;
    if (selector == fourCC("lcsn") || selector == fourCC("lscn")) return Kind::Object;
    return Kind::Bytes;
}

std::string text(const char* f, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

std::string formatText(const AudioStreamBasicDescription& d) {
    return text("%.0f Hz %s flags 0x%X %u ch %u bit %u bytes/frame", d.mSampleRate,
                selectorText(d.mFormatID).c_str(), unsigned(d.mFormatFlags),
                unsigned(d.mChannelsPerFrame), unsigned(d.mBitsPerChannel),
                unsigned(d.mBytesPerFrame));
}

// A value as people read it; an object in it is released.
std::string decode(Kind kind, const std::vector<uint8_t>& data) {
    const size_t n = data.size();
    const uint8_t* p = data.data();
    auto word = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, p + at, 4);
        return v;
    };
    switch (kind) {
    case Kind::U32:
        if (n >= 4) return std::to_string(word(0));
        break;
    case Kind::S32:
        if (n >= 4) return std::to_string(int32_t(word(0)));
        break;
    case Kind::Code:
        if (n >= 4) return selectorText(word(0));
        break;
    case Kind::F64:
        if (n >= 8) {
            double d;
            std::memcpy(&d, p, 8);
            return text("%g", d);
        }
        break;
    case Kind::F32:
        if (n >= 4) {
            float f;
            std::memcpy(&f, p, 4);
            return text("%g", double(f));
        }
        break;
    case Kind::Object:
        if (n >= sizeof(void*)) {
            const void* object;
            std::memcpy(&object, p, sizeof object);
            std::string s = cfText(object);
            if (object) CFRelease(object);
            return s;
        }
        break;
    case Kind::CString:
        return "\"" + std::string(reinterpret_cast<const char*>(p), strnlen((const char*)p, n)) +
               "\"";
    case Kind::Range:
    case Kind::Ranges: {
        std::string s;
        for (size_t at = 0; at + sizeof(AudioValueRange) <= n; at += sizeof(AudioValueRange)) {
            AudioValueRange r;
            std::memcpy(&r, p + at, sizeof r);
            s += (s.empty() ? "" : ", ") + (r.mMinimum == r.mMaximum
                                                ? text("%g", r.mMinimum)
                                                : text("%g..%g", r.mMinimum, r.mMaximum));
        }
        return s.empty() ? "(none)" : s;
    }
    case Kind::Format:
    case Kind::Formats:
    case Kind::Ranged: {
        const size_t step = kind == Kind::Ranged ? sizeof(AudioStreamRangedDescription)
                                                 : sizeof(AudioStreamBasicDescription);
        std::string s;
        for (size_t at = 0; at + step <= n; at += step) {
            AudioStreamBasicDescription d;
            std::memcpy(&d, p + at, sizeof d);
            s += (s.empty() ? "" : "; ") + formatText(d);
        }
        return s.empty() ? "(none)" : s;
    }
    case Kind::Words: {
        std::string s;
        for (size_t at = 0; at + 4 <= n; at += 4)
            s += (s.empty() ? "" : ", ") + std::to_string(word(at));
        return s.empty() ? "(none)" : s;
    }
    case Kind::Layout:
        if (n >= 12) {
            std::string s = text("tag %u, bitmap %u, %u channels", unsigned(word(0)),
                                 unsigned(word(4)), unsigned(word(8)));
            for (size_t at = 12; at + 20 <= n; at += 20)
                s += text("; label %u flags %u", unsigned(word(at)), unsigned(word(at + 4)));
            return s;
        }
        break;
    case Kind::Bytes:
        break;
    }
    std::string s = text("%zu bytes", n);
    if (n) s += ": hex:";
    for (size_t i = 0; i < n; ++i)
        s += text("%02x", unsigned(p[i]));
    return s;
}

// ---- Arguments

struct Command {
    std::string name;
    uint32_t selector = 0;
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal;
    uint32_t element = 0;
    std::string value;
    double seconds = 0;
    std::string wav;
};

bool parseScope(const std::string& s, AudioObjectPropertyScope& scope) {
    if (s == "global" || s == "glob")
        scope = kAudioObjectPropertyScopeGlobal;
    else if (s == "input" || s == "inpt")
        scope = kAudioDevicePropertyScopeInput;
    else if (s == "output" || s == "outp")
        scope = kAudioDevicePropertyScopeOutput;
    else if (s == "wildcard" || s == "****")
        scope = kAudioObjectPropertyScopeWildcard;
    else
        return false;
    return true;
}

bool parseWhole(const std::string& s, uint32_t& v) {
    if (s.empty() || s[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(s.c_str(), &end, 0);
    if (errno || !end || *end || n > UINT32_MAX) return false;
    v = uint32_t(n);
    return true;
}

// The path a WAV argument names under the path root.
std::string rootPath(const std::string& arg) {
    return hx::path::map(arg[0] == '/' ? arg : "/" + arg);
}

// The bytes a set sends: an integer, a float or hex bytes; false with
// error set when the value is none of them.
bool encodeValue(const std::string& v, uint32_t propertySize, std::vector<uint8_t>& out,
                 std::string& error) {
    if (v.rfind("hex:", 0) == 0) {
        const std::string h = v.substr(4);
        if (h.empty() || h.size() % 2) {
            error = "hex bytes come in pairs of digits, not " + v;
            return false;
        }
        for (size_t i = 0; i < h.size(); i += 2) {
            char* end = nullptr;
            const std::string pair = h.substr(i, 2);
            const long b = std::strtol(pair.c_str(), &end, 16);
            if (!end || *end || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
                error = "not hex bytes: " + v;
                return false;
            }
            out.push_back(uint8_t(b));
        }
        return true;
    }
    const bool isFloat = v.find_first_of(".eEn") != std::string::npos && v.rfind("0x", 0) != 0 &&
                         v.rfind("-0x", 0) != 0;
    errno = 0;
    char* end = nullptr;
    if (isFloat) {
        const double d = std::strtod(v.c_str(), &end);
        if (errno || !end || *end || v.empty()) {
            error = "not an integer, float or hex bytes: " + v;
            return false;
        }
        if (propertySize == 4) {
            const float f = float(d);
            out.resize(4);
            std::memcpy(out.data(), &f, 4);
        } else {
            out.resize(8);
            std::memcpy(out.data(), &d, 8);
        }
        return true;
    }
    const long long n = std::strtoll(v.c_str(), &end, 0);
    if (errno || !end || *end || v.empty() || n < INT32_MIN || n > UINT32_MAX) {
        error = "not an integer, float or hex bytes: " + v;
        return false;
    }
    const uint32_t w = uint32_t(n);
    out.resize(4);
    std::memcpy(out.data(), &w, 4);
    return true;
}

// Fills c from the arguments after the options; false with error set.
bool parseCommand(const std::vector<std::string>& a, Command& c, std::string& error) {
    if (a.empty()) {
        error = "no command (try --help)";
        return false;
    }
    c.name = a[0];
    const size_t n = a.size() - 1;
    auto selector = [&](const std::string& s) {
        if (parseSelector(s, c.selector)) return true;
        error = "a selector is four characters, not " + s;
        return false;
    };
    auto scope = [&](const std::string& s) {
        if (parseScope(s, c.scope)) return true;
        error = "the scope must be global, input, output or wildcard, not " + s;
        return false;
    };
    auto element = [&](const std::string& s) {
        if (parseWhole(s, c.element)) return true;
        error = "the element must be a whole number, not " + s;
        return false;
    };
    if (c.name == "list") {
        if (n == 0) return true;
        error = "list takes no arguments";
        return false;
    }
    if (c.name == "get") {
        if (n < 1 || n > 3) {
            error = "usage: get SEL [SCOPE [ELEMENT]]";
            return false;
        }
        return selector(a[1]) && (n < 2 || scope(a[2])) && (n < 3 || element(a[3]));
    }
    if (c.name == "set") {
        if (n != 4) {
            error = "usage: set SEL SCOPE ELEMENT VALUE";
            return false;
        }
        c.value = a[4];
        if (!selector(a[1]) || !scope(a[2]) || !element(a[3])) return false;
        if (carriesObject(kindOf(c.selector))) {
            error = selectorText(c.selector) +
                    " carries an object; hxhal sets integers, floats and bytes only";
            return false;
        }
        std::vector<uint8_t> bytes;
        return encodeValue(c.value, 8, bytes, error);
    }
    if (c.name == "play") {
        if (n != 1 || a[1].empty()) {
            error = "usage: play WAV";
            return false;
        }
        c.wav = a[1];
        return true;
    }
    if (c.name == "record") {
        if (n != 2 || a[2].empty()) {
            error = "usage: record SECONDS WAV";
            return false;
        }
        errno = 0;
        char* end = nullptr;
        c.seconds = std::strtod(a[1].c_str(), &end);
        if (errno || !end || *end || a[1].empty() || !std::isfinite(c.seconds) || c.seconds < 0.1 ||
            c.seconds > 3600) {
            error = "record: SECONDS must be a number from 0.1 to 3600, not " + a[1];
            return false;
        }
        c.wav = a[2];
        const size_t slash = c.wav.rfind('/');
        const std::string last = c.wav.substr(slash == std::string::npos ? 0 : slash + 1);
        if (last.empty() || last == "." || last == "..") {
            error = "record: the WAV path must name a file, not " + c.wav;
            return false;
        }
        return true;
    }
    error = "unknown command " + c.name + " (try --help)";
    return false;
}

// ---- IO procedures

// Plays a sound's frames, then silence; records nothing.
struct PlayProc {
    const WavSound* sound = nullptr;
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> calls{0};

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                         const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                         void* clientData) {
        auto* self = static_cast<PlayProc*>(clientData);
        ++self->calls;
        if (!out || !out->mNumberBuffers || !out->mBuffers[0].mData) return 0;
        const uint32_t ch = out->mBuffers[0].mNumberChannels;
        if (!ch) return 0;
        auto* dst = static_cast<float*>(out->mBuffers[0].mData);
        const uint32_t frames = out->mBuffers[0].mDataByteSize / (4 * ch);
        const WavSound& s = *self->sound;
        const uint64_t first = self->next;
        const uint64_t total = s.frames();
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < ch; ++c) {
                float v = 0;
                const uint64_t frame = first + f;
                if (frame < total) {
                    if (c < s.channels)
                        v = s.samples[frame * s.channels + c];
                    else if (s.channels == 1)
                        v = s.samples[frame];
                }
                dst[f * ch + c] = v;
            }
        self->next = first + frames;
        return 0;
    }
};

// Records every input sample; plays silence.
struct RecordProc {
    std::vector<float> samples;
    std::atomic<uint64_t> count{0}; // samples kept
    uint32_t channels = 0;

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                         void* clientData) {
        auto* self = static_cast<RecordProc*>(clientData);
        if (out && out->mNumberBuffers && out->mBuffers[0].mData)
            std::memset(out->mBuffers[0].mData, 0, out->mBuffers[0].mDataByteSize);
        if (!in || !in->mNumberBuffers || !in->mBuffers[0].mData) return 0;
        const auto* src = static_cast<const float*>(in->mBuffers[0].mData);
        const size_t n = in->mBuffers[0].mDataByteSize / 4;
        const size_t have = self->count;
        const size_t take = std::min(n, self->samples.size() - have);
        std::copy(src, src + take, self->samples.begin() + std::ptrdiff_t(have));
        self->count = have + take;
        return 0;
    }
};

// ---- The commands, on a loaded plug-in

class Client {
public:
    Client(FILE* out, HalSession& session) : mOut(out), mSession(session) {}

    int list() {
        std::vector<AudioDeviceID> devices;
        const OSStatus s = mSession.deviceList(devices);
        if (s != 0) return fail("the device list answered " + statusText(s));
        std::fprintf(mOut, "%zu device(s)\n", devices.size());
        for (AudioDeviceID d : devices) {
            std::fprintf(mOut, "device %u\n", unsigned(d));
            for (const Listed& l : kListed) {
                const uint32_t sel = codeOf(l.selector);
                if (!l.perDirection) {
                    line(sel, "", l.element, read(d, false, sel, l.element, l.kind));
                    continue;
                }
                line(sel, "output", l.element, read(d, false, sel, l.element, l.kind));
                line(sel, "input", l.element, read(d, true, sel, l.element, l.kind));
            }
            names(d);
        }
        return 0;
    }

    int get(const Command& c, AudioDeviceID d) {
        std::string value;
        const OSStatus s = objectGet(d, c, value);
        std::fprintf(mOut, "%s %s %u: %s\n", selectorText(c.selector).c_str(), scopeName(c.scope),
                     unsigned(c.element),
                     s == 0 ? value.c_str() : ("(status " + statusText(s) + ")").c_str());
        return s == 0 ? 0 : kExitFailed;
    }

    int set(const Command& c, AudioDeviceID d) {
        const AudioObjectPropertyAddress a{c.selector, c.scope, c.element};
        UInt32 size = 0;
        const OSStatus info = AudioObjectGetPropertyDataSize(d, &a, 0, nullptr, &size);
        std::vector<uint8_t> bytes;
        std::string error;
        if (!encodeValue(c.value, info == 0 ? size : 0, bytes, error)) return fail(error);
        const OSStatus s =
            AudioObjectSetPropertyData(d, &a, 0, nullptr, UInt32(bytes.size()), bytes.data());
        std::fprintf(mOut, "set %s %s %u: status %s\n", selectorText(c.selector).c_str(),
                     scopeName(c.scope), unsigned(c.element), statusText(s).c_str());
        std::string value;
        const OSStatus back = objectGet(d, c, value);
        std::fprintf(mOut, "%s %s %u: %s\n", selectorText(c.selector).c_str(), scopeName(c.scope),
                     unsigned(c.element),
                     back == 0 ? value.c_str() : ("(status " + statusText(back) + ")").c_str());
        return s == 0 ? 0 : kExitFailed;
    }

    int play(const WavSound& sound, const std::string& path, AudioDeviceID d) {
        const Float64 rate = sound.rate;
        const OSStatus rs = halSet(d, false, fourCC("nsrt"), &rate, sizeof rate);
        if (rs != 0)
            return fail("the device did not take the file's rate " + std::to_string(sound.rate) +
                        " Hz: 'nsrt' answered " + statusText(rs));
        PlayProc p;
        p.sound = &sound;
        AudioDeviceIOProcID id = nullptr;
        OSStatus s = AudioDeviceCreateIOProcID(d, &PlayProc::proc, &p, &id);
        if (s != 0) return fail("the IO procedure ID was not created: " + statusText(s));
        s = halStartFromProgramThread(d, id);
        if (s != 0) {
            AudioDeviceDestroyIOProcID(d, id);
            return fail("the IO procedure did not start: " + statusText(s));
        }
        // Until every frame went out (with a limit for a device that stops
        // calling), in slices of the machine's time.
        const uint64_t limit = uint64_t(double(sound.frames()) / sound.rate * 1e6) + 2000000;
        for (uint64_t t = 0; p.next < sound.frames() && t < limit; t += kSliceMicros)
            mSession.run(kSliceMicros);
        const OSStatus stop = AudioDeviceStop(d, id);
        const OSStatus destroy = AudioDeviceDestroyIOProcID(d, id);
        const uint64_t played = std::min<uint64_t>(p.next, sound.frames());
        if (stop != 0 || destroy != 0)
            return fail("the IO procedure did not stop: " + statusText(stop ? stop : destroy));
        if (played < sound.frames())
            return fail("only " + std::to_string(played) + " of " + std::to_string(sound.frames()) +
                        " frames were played");
        std::fprintf(mOut, "played %llu frames (%.3f s) at %u Hz from %s in %llu IO cycles\n",
                     (unsigned long long)played, double(played) / sound.rate, unsigned(sound.rate),
                     path.c_str(), (unsigned long long)p.calls.load());
        return 0;
    }

    int record(double seconds, const std::string& path, AudioDeviceID d) {
        Float64 rate = 0;
        OSStatus s = halGet(d, false, fourCC("nsrt"), &rate, sizeof rate);
        if (s != 0)
            return fail("the device's rate could not be read: 'nsrt' answered " + statusText(s));
        AudioStreamBasicDescription format{};
        s = halGet(d, true, fourCC("sfmt"), &format, sizeof format);
        if (s != 0 || !format.mChannelsPerFrame)
            return fail("the input format could not be read: 'sfmt' answered " + statusText(s));
        RecordProc p;
        p.channels = format.mChannelsPerFrame;
        const uint64_t frames = uint64_t(std::llround(seconds * rate));
        p.samples.assign(frames * p.channels, 0.0f);
        AudioDeviceIOProcID id = nullptr;
        s = AudioDeviceCreateIOProcID(d, &RecordProc::proc, &p, &id);
        if (s != 0) return fail("the IO procedure ID was not created: " + statusText(s));
        s = halStartFromProgramThread(d, id);
        if (s != 0) {
            AudioDeviceDestroyIOProcID(d, id);
            return fail("the IO procedure did not start: " + statusText(s));
        }
        const uint64_t limit = uint64_t(seconds * 1e6) + 2000000;
        for (uint64_t t = 0; p.count < p.samples.size() && t < limit; t += kSliceMicros)
            mSession.run(kSliceMicros);
        const OSStatus stop = AudioDeviceStop(d, id);
        const OSStatus destroy = AudioDeviceDestroyIOProcID(d, id);
        if (stop != 0 || destroy != 0)
            return fail("the IO procedure did not stop: " + statusText(stop ? stop : destroy));
        const size_t got = p.count / p.channels;
        if (got < frames)
            return fail("only " + std::to_string(got) + " of " + std::to_string(frames) +
                        " frames were recorded");
        // As 24-bit samples, left-aligned in 32 bits as the writer takes them.
        std::vector<int32_t> ring(p.samples.size());
        for (size_t i = 0; i < ring.size(); ++i) {
            const double v = std::clamp(double(p.samples[i]) * 8388608.0, -8388608.0, 8388607.0);
            ring[i] = int32_t(uint32_t(int32_t(std::llround(v))) << 8);
        }
        std::string error;
        if (!writeWav24(rootPath(path), uint32_t(rate), uint16_t(p.channels), ring.data(), got,
                        error))
            return fail(error);
        std::fprintf(mOut, "recorded %zu frames (%.3f s) of %u channels at %.0f Hz to %s\n", got,
                     double(got) / rate, unsigned(p.channels), rate, rootPath(path).c_str());
        return 0;
    }

private:
    static constexpr uint64_t kSliceMicros = 50000;

    int fail(const std::string& why) {
        std::fprintf(stderr, "hxhal: %s\n", why.c_str());
        return kExitFailed;
    }

    static const char* scopeName(AudioObjectPropertyScope s) {
        return s == kAudioDevicePropertyScopeInput    ? "input"
               : s == kAudioDevicePropertyScopeOutput ? "output"
               : s == kAudioObjectPropertyScopeGlobal ? "global"
                                                      : "wildcard";
    }

    void line(uint32_t sel, const char* scope, uint32_t element, const std::string& value) {
        std::string key = "  " + selectorText(sel);
        if (*scope) key += std::string(" ") + scope;
        if (element) key += " " + std::to_string(element);
        std::fprintf(mOut, "%-22s %s\n", (key + ":").c_str(), value.c_str());
    }

    // A value through the device calls: its size from GetPropertyInfo.
    std::string read(AudioDeviceID d, bool isInput, uint32_t sel, uint32_t element, Kind kind) {
        UInt32 size = 0;
        Boolean writable = false;
        OSStatus s = AudioDeviceGetPropertyInfo(d, element, isInput, sel, &size, &writable);
        if (s != 0) return "(status " + statusText(s) + ")";
        std::vector<uint8_t> data(std::max<size_t>(size, 1));
        UInt32 io = size;
        s = AudioDeviceGetProperty(d, element, isInput, sel, &io, data.data());
        if (s != 0) return "(status " + statusText(s) + ")";
        data.resize(std::min<size_t>(io, size));
        std::string v = decode(kind, data);
        constexpr size_t kLongest = 200;
        if (v.size() > kLongest) v = v.substr(0, kLongest) + "...";
        return writable ? v + " (writable)" : v;
    }

    // The clock-source and data-source names of the listed IDs.
    void names(AudioDeviceID d) {
        std::vector<uint32_t> clocks;
        if (words(d, false, fourCC("csc#"), clocks))
            for (uint32_t id : clocks)
                line(fourCC("lcsn"), "", 0,
                     text("%u: ", unsigned(id)) + translate(d, false, fourCC("lcsn"), id));
        for (bool isInput : {false, true}) {
            std::vector<uint32_t> sources;
            if (!words(d, isInput, fourCC("ssc#"), sources)) continue;
            for (uint32_t id : sources)
                line(fourCC("lscn"), isInput ? "input" : "output", 0,
                     text("%u: ", unsigned(id)) + translate(d, isInput, fourCC("lscn"), id));
        }
    }

    bool words(AudioDeviceID d, bool isInput, uint32_t sel, std::vector<uint32_t>& out) {
        UInt32 size = 0;
        if (AudioDeviceGetPropertyInfo(d, 0, isInput, sel, &size, nullptr) != 0 || size < 4)
            return false;
        out.assign(size / 4, 0);
        UInt32 io = size;
        if (AudioDeviceGetProperty(d, 0, isInput, sel, &io, out.data()) != 0) return false;
        out.resize(std::min<size_t>(io, size) / 4);
        return true;
    }

    std::string translate(AudioDeviceID d, bool isInput, uint32_t sel, uint32_t id) {
        CFTypeRef name = nullptr;
        AudioValueTranslation t{&id, sizeof id, &name, sizeof name};
        UInt32 size = sizeof t;
        const OSStatus s = AudioDeviceGetProperty(d, 0, isInput, sel, &size, &t);
        std::string v = cfText(name);
        if (name) CFRelease(name);
        return s == 0 ? v : v + " (status " + statusText(s) + ")";
    }

    // A value through the object calls: its size from GetPropertyDataSize.
    OSStatus objectGet(AudioDeviceID d, const Command& c, std::string& value) {
        const AudioObjectPropertyAddress a{c.selector, c.scope, c.element};
        UInt32 size = 0;
        OSStatus s = AudioObjectGetPropertyDataSize(d, &a, 0, nullptr, &size);
        if (s != 0) return s;
        std::vector<uint8_t> data(std::max<size_t>(size, 1));
        UInt32 io = size;
        s = AudioObjectGetPropertyData(d, &a, 0, nullptr, &io, data.data());
        if (s != 0) return s;
        data.resize(std::min<size_t>(io, size));
        value = decode(kindOf(c.selector), data);
        return 0;
    }

    FILE* mOut;
    HalSession& mSession;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    HalSetup setup;
    setup.clock = Clock::Paced;
    size_t at = 0;
    for (; at < args.size(); ++at) {
        const std::string& a = args[at];
        if (a == "--help") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
        if (a == "--virtual-clock") {
            setup.clock = Clock::Virtual;
        } else if (a == "--real-clock") {
            setup.clock = Clock::Real;
        } else if (a == "--speed") {
            if (at + 1 >= args.size() || (args[at + 1] != "full" && args[at + 1] != "high")) {
                std::fprintf(stderr, "hxhal: --speed must be full or high\n");
                return kExitUsage;
            }
            setup.highSpeed = args[++at] == "high";
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "hxhal: unknown option %s (try --help)\n", a.c_str());
            return kExitUsage;
        } else {
            break;
        }
    }
    Command command;
    std::string error;
    if (!parseCommand(std::vector<std::string>(args.begin() + std::ptrdiff_t(at), args.end()),
                      command, error)) {
        std::fprintf(stderr, "hxhal: %s\n", error.c_str());
        return kExitUsage;
    }
    if (const std::string why = hx::path::rootProblem(); !why.empty()) {
        std::fprintf(stderr, "hxhal: %s\n", why.c_str());
        return kExitUsage;
    }
    // The sound is read before the machine boots: a file that cannot be
    // played costs nothing.
    WavSound sound;
    if (command.name == "play" && !readWav(rootPath(command.wav), sound, error)) {
        std::fprintf(stderr, "hxhal: %s\n", error.c_str());
        return kExitUsage;
    }

    // The plug-in's log goes to a file, and what the device layer prints
    // beside it; hxhal's own output goes to the standard output it was given.
    setenv("HX_LOG", "0", 0);
    const std::string logPath = hx::path::map("/var/log/hxhal.log");
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(logPath).parent_path(), ec);
    if (!hx::log::openFile(logPath, error)) {
        std::fprintf(stderr, "hxhal: %s\n", error.c_str());
        return kExitFailed;
    }
    std::fflush(stdout);
    FILE* out = fdopen(::dup(STDOUT_FILENO), "w");
    if (!out) out = stdout;
    const int layerOut = ::open((logPath + ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (layerOut >= 0) {
        ::dup2(layerOut, STDOUT_FILENO);
        ::close(layerOut);
    }

    int code = 0;
    {
        HalSession session(setup);
        if (!session.start(error)) {
            std::fprintf(stderr, "hxhal: %s\n", error.c_str());
            code = kExitFailed;
        } else {
            Client client(out, session);
            if (command.name == "list") {
                code = client.list();
            } else {
                const AudioDeviceID device = session.findHX5100(error);
                if (!device) {
                    std::fprintf(stderr, "hxhal: %s\n", error.c_str());
                    code = kExitFailed;
                } else if (command.name == "get") {
                    code = client.get(command, device);
                } else if (command.name == "set") {
                    code = client.set(command, device);
                } else if (command.name == "play") {
                    code = client.play(sound, command.wav, device);
                } else {
                    code = client.record(command.seconds, command.wav, device);
                }
            }
            session.unload();
        }
    }
    std::fflush(out);
    std::fflush(stdout);
    hx::log::closeFile(error);
    return code;
}
