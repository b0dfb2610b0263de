// The audio server plug-in's 23-slot driver interface, loaded by the server
// host on the virtual clock, with one HX-5100 device listed (over a
// scripted kernel service in hx_fuzz_server_properties, on the whole stack
// in hx_fuzz_server_properties_stack; see PropertiesMachine.h): property
// calls (object, selector, scope, element, a client pid whose process name
// is fuzzed, qualifier, data as bytes, a translation record with fuzzed or
// null pointers, a CF object of fuzzed type and length), client, change and
// IO slots, and 36-byte kernel state changes; after each input the queues
// drain and the host performs the requested changes. A device that left
// (code 16 unlists it) is plugged again before the next call.
//
// Oracle: no sanitizer report; every status is 0, one the interface names,
// a decided one or a device-layer code; guard bytes around every buffer
// intact; every object a get hands out is released.
//
// Input: up to kMaxCalls records, each a kind u8:
//   0-5 (property): slot u8 (has, settable, size, get, set), target u8 (the
//     plug-in, the device, sub-object 0-7, or a u32 that follows), selector
//     u8 (table index, 0xFF: u32 follows), scope u8, element u8, pid u8 (0:
//     none, else a process whose name is u8 length and bytes), size u16,
//     data kind u8 and its bytes, qualifier u8 (none, 4 bytes, a CF object);
//   6: a state change: 36 bytes;
//   7: add and remove a client (pid u8, bundle identifier kind u8);
//   8: IO: start, a cycle of u16 frames, stop;
//   9: a configuration change slot with a fuzzed action and a foreign record.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "abi/QN_StateChange.h"
#include "fuzz/common/FuzzInput.h"
#include "fuzz/common/PropertyCallData.h"
#include "fuzz/server_properties/PropertiesMachine.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

extern AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr;

namespace {

using hx::coreaudio::fourCC;
using hxfuzz::isOneOf;

constexpr int kMaxCalls = 12;
constexpr uint32_t kMaxSize = 4096;
constexpr pid_t kFuzzPid = 4242;

// The device, stream and control selectors, custom ones, the base four and
// some nobody answers.
constexpr const char* kSelectors[] = {
    // base
    "clas", "bcls", "ownd", "stdv",
    // device
    "lnam", "lmak", "uid ", "muid", "tran", "rel#", "ltnc", "stm#", "ctrl", "saft", "nsrt", "nsr#",
    "icon", "dflt", "sflt", "sdev", "isub", "ring", "lchn", "clkd", "dch2", "dchn", "lisr", "goin",
    "gone", "hidn", "pref", "csrc", "lcsv", "bcvl", "fsiz", "fsz#", "cscn",
    // stream
    "sdir", "tnch", "schn", "sltn", "sfmt", "pft ", "sfma", "pfta", "actv",
    // control
    "cscp", "celm", "lcsv", "lcdv", "lcdr", "lcsd", "lcds", "scci", "scai", "scin",
    // custom
    "cust", "QnCS", "QnDM", "QnFM", "QnFP", "QnOS", "QnU1", "QnSt", "QnRo", "QnIO", "QnFV", "QnMM",
    "QnMF", "QnRM", "QnTy", "QnVD", "QnSN", "QnDV", "QnDS", "DbSI", "DbSO", "DbLI", "DbLO", "DbWA",
    // not answered
    "QNrt", "QnFW", "zzzz"};
constexpr std::size_t kSelectorCount = sizeof kSelectors / sizeof kSelectors[0];

// Selectors whose value is one CF object by reference.
bool carriesObject(UInt32 selector) {
    const char b0 = char(selector >> 24), b1 = char(selector >> 16);
    if (b0 == 'Q' && b1 == 'n') return true;
    if (b0 == 'D' && b1 == 'b') return true;
    return isOneOf(selector, {"lnam", "lmak", "uid ", "muid", "icon", "lchn", "scin"});
}

// Selectors whose value is a translation record: the input names a source,
// the output receives its name's bytes.
bool isTranslation(UInt32 selector) {
    return isOneOf(selector, {"cscn"});
}

// The host's value-translation record.
struct ValueTranslation {
    void* mInputData;
    UInt32 mInputDataSize;
    void* mOutputData;
    UInt32 mOutputDataSize;
};

bool expectedStatus(OSStatus s) {
    switch (UInt32(s)) {
    case 0:
    case fourCC("who?"):
    case fourCC("!siz"):
    case fourCC("!dat"):
    case fourCC("what"):
    case fourCC("!obj"):
    case fourCC("nope"):
    case fourCC("unop"):
    case fourCC("stop"):
    case fourCC("!hog"):
    case 0xE00002BC:
    case 0xE00002C0:
    case 0xE00002C2:
    case 0xE00002C9:
    case 0xE00002D5:
        return true;
    default:
        return false;
    }
}

AudioServerPlugInDriverInterface* driver() {
    return gAudioServerPlugInDriverInterfacePtr;
}
AudioServerPlugInDriverRef driverRef() {
    return &gAudioServerPlugInDriverInterfacePtr;
}

// ---- Values

CFTypeRef objectFrom(hxfuzz::Input& in) {
    const uint8_t type = in.u8() % 6;
    const uint16_t length = uint16_t(in.u8() | (in.u8() << 8)) % 2048;
    switch (type) {
    case 0:
        return nullptr;
    case 1: {
        const int32_t v = int32_t(in.u32());
        return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    }
    case 2: {
        const Float64 v = Float64(int32_t(in.u32())) / 7.0;
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
    }
    case 3: {
        std::vector<UInt8> b(length);
        for (auto& x : b)
            x = in.u8();
        return CFDataCreate(nullptr, b.data(), CFIndex(b.size()));
    }
    case 4: {
        std::vector<UInt8> b(length % 64);
        for (auto& x : b)
            x = UInt8('a' + in.u8() % 26);
        return CFStringCreateWithBytes(nullptr, b.data(), CFIndex(b.size()), kCFStringEncodingASCII,
                                       false);
    }
    default:
        return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                         &kCFTypeDictionaryValueCallBacks);
    }
}

// The server's translations hand out no object.
bool translatesToNoObject(UInt32) {
    return false;
}

const hxfuzz::SelectorRules kRules{carriesObject, isTranslation, translatesToNoObject, objectFrom};

AudioObjectID targetFrom(hxfuzz::Input& in) {
    const uint8_t t = in.u8() % 11;
    if (t == 0) return 1;
    if (t == 1) return serverfuzz::deviceID();
    if (t < 10) return serverfuzz::device().subObjectID(t - 2);
    return in.u32();
}

UInt32 scopeFrom(hxfuzz::Input& in) {
    switch (in.u8() % 6) {
    case 0:
        return fourCC("glob");
    case 1:
        return fourCC("inpt");
    case 2:
        return fourCC("outp");
    case 3:
        return fourCC("ptru");
    case 4:
        return in.u32();
    default:
        return fourCC("glob");
    }
}

UInt32 elementFrom(hxfuzz::Input& in) {
    static constexpr UInt32 kElements[4] = {0, 1, 5, 0xFFFFFFFF};
    return kElements[in.u8() % 4];
}

// A client pid, its process's name from the input.
pid_t pidFrom(hxfuzz::Input& in) {
    const uint8_t length = in.u8() % 32;
    if (length == 0) return 0;
    std::string name;
    for (uint8_t k = 0; k < length; ++k)
        name.push_back(char(in.u8() | 1)); // no NUL inside
    hx::sys::clearFakeProcesses();
    hx::sys::addFakeProcess({kFuzzPid, name, name, 'S', 501});
    return kFuzzPid;
}

void report(OSStatus status, UInt32 selector, int kind) {
    if (expectedStatus(status)) return;
    std::fprintf(stderr, "server properties fuzz: '%c%c%c%c' kind %d answered %08X\n",
                 char(selector >> 24), char(selector >> 16), char(selector >> 8), char(selector),
                 kind, unsigned(status));
    __builtin_trap();
}

void propertyCall(hxfuzz::Input& in) {
    AudioServerPlugInDriverInterface* d = driver();
    const uint8_t op = in.u8() % 5;
    const AudioObjectID target = targetFrom(in);
    const uint8_t s = in.u8();
    const UInt32 selector =
        s == 0xFF ? in.u32() : hxfuzz::selectorCode(kSelectors[s % kSelectorCount]);
    const AudioObjectPropertyAddress address{selector, scopeFrom(in), elementFrom(in)};
    const pid_t pid = pidFrom(in);
    const uint16_t sizeWord = uint16_t(in.u8() | (in.u8() << 8));
    const bool nullOut = sizeWord == 0xFFFF;
    const UInt32 size = nullOut ? 0 : sizeWord % kMaxSize;
    hxfuzz::CallData data;
    hxfuzz::dataFrom<ValueTranslation>(in, kRules, selector, size, op == 4, data);
    // The qualifier: none, four bytes, or a CF object by reference.
    uint8_t qualifierBytes[8] = {};
    CFTypeRef qualifierObject = nullptr;
    UInt32 qualifierSize = 0;
    const void* qualifier = nullptr;
    switch (in.u8() % 3) {
    case 1:
        for (int k = 0; k < 4; ++k)
            qualifierBytes[k] = in.u8();
        qualifierSize = 4;
        qualifier = qualifierBytes;
        break;
    case 2:
        qualifierObject = objectFrom(in);
        std::memcpy(qualifierBytes, &qualifierObject, sizeof qualifierObject);
        qualifierSize = sizeof qualifierObject;
        qualifier = qualifierBytes;
        break;
    default:
        break;
    }
    OSStatus status = 0;
    UInt32 io = 0;
    switch (op) {
    case 0:
        d->HasProperty(driverRef(), target, pid, &address);
        break;
    case 1: {
        Boolean settable = 0;
        status = d->IsPropertySettable(driverRef(), target, pid, &address,
                                       nullOut ? nullptr : &settable);
        break;
    }
    case 2:
        status = d->GetPropertyDataSize(driverRef(), target, pid, &address, qualifierSize,
                                        qualifier, nullOut ? nullptr : &io);
        break;
    case 3:
        status = d->GetPropertyData(driverRef(), target, pid, &address, qualifierSize, qualifier,
                                    size, nullOut ? nullptr : &io, data.pointer());
        HX_FUZZ_REQUIRE(nullOut || status != 0 || io <= size);
        if (!nullOut) hxfuzz::releaseHandedOut(kRules, selector, status, size, data);
        break;
    default:
        status = d->SetPropertyData(driverRef(), target, pid, &address, qualifierSize, qualifier,
                                    size, data.pointer());
        break;
    }
    if (qualifierObject) CFRelease(qualifierObject);
    report(status, selector, op);
    data.check();
}

void stateChange(hxfuzz::Input& in) {
    QN_StateChange change{};
    auto* bytes = reinterpret_cast<uint8_t*>(&change);
    for (size_t k = 0; k < sizeof change; ++k)
        bytes[k] = in.u8();
    change.mSize = 36;
    change.mCode %= 64;
    // Held for the whole handling, as the interest callback holds it.
    QnASPlugInObject* held = QnASPlugInObjectMap::CopyObjectByObjectID(serverfuzz::deviceID());
    if (!held) return;
    static_cast<QnASPlugInDevice*>(held)->KernelDriverNotificationHandler(change);
    QnASPlugInObjectMap::ReleaseObject(held);
}

void clientCall(hxfuzz::Input& in) {
    const pid_t pid = pidFrom(in);
    CFStringRef bundle = nullptr;
    switch (in.u8() % 4) {
    case 1:
        bundle = CFStringCreateWithCString(nullptr, "com.platterdj.platter", kCFStringEncodingUTF8);
        break;
    case 2:
        bundle = CFStringCreateWithCString(nullptr, "org.example.player", kCFStringEncodingUTF8);
        break;
    default:
        break;
    }
    AudioServerPlugInClientInfo info{7, pid, true, bundle};
    const bool nullInfo = in.u8() & 1;
    report(
        driver()->AddDeviceClient(driverRef(), serverfuzz::deviceID(), nullInfo ? nullptr : &info),
        0, 7);
    report(driver()->RemoveDeviceClient(driverRef(), serverfuzz::deviceID(),
                                        nullInfo ? nullptr : &info),
           0, 7);
    if (bundle) CFRelease(bundle);
}

void ioCall(hxfuzz::Input& in) {
    AudioServerPlugInDriverInterface* d = driver();
    const UInt32 frames = (in.u8() | UInt32(in.u8()) << 8) % 9000;
    const AudioObjectID target = (in.u8() & 1) ? serverfuzz::deviceID() : 1;
    report(d->StartIO(driverRef(), target, 0), 0, 8);
    Float64 sample = 0;
    UInt64 host = 0, seed = 0;
    report(d->GetZeroTimeStamp(driverRef(), target, 0, &sample, &host, &seed), 0, 8);
    AudioServerPlugInIOCycleInfo cycle{};
    for (UInt32 op : {fourCC("read"), fourCC("rite")}) {
        const bool input = op == fourCC("read");
        const UInt32 bytesPerFrame = serverfuzz::device().copyPhysicalFormat(input).mBytesPerFrame;
        hxfuzz::Guarded buffer(size_t(frames) * std::min<UInt32>(bytesPerFrame, 33 * 4));
        Boolean will = false, inPlace = false;
        report(d->WillDoIOOperation(driverRef(), target, 0, op, &will, &inPlace), 0, 8);
        report(d->BeginIOOperation(driverRef(), target, 0, op, frames, &cycle), 0, 8);
        report(d->DoIOOperation(driverRef(), target, serverfuzz::device().streamID(input), 0, op,
                                frames, &cycle, buffer.data(), nullptr),
               0, 8);
        report(d->EndIOOperation(driverRef(), target, 0, op, frames, &cycle), 0, 8);
        buffer.check();
    }
    report(d->StopIO(driverRef(), target, 0), 0, 8);
}

void changeCall(hxfuzz::Input& in) {
    const UInt64 action = in.u8() % 14;
    ConfigChangeInfo foreign{};
    foreign.v.value = in.u32();
    const bool perform = in.u8() & 1;
    AudioServerPlugInDriverInterface* d = driver();
    if (perform)
        report(d->PerformDeviceConfigurationChange(driverRef(), serverfuzz::deviceID(), action,
                                                   &foreign),
               0, 9);
    else
        report(d->AbortDeviceConfigurationChange(driverRef(), serverfuzz::deviceID(), action,
                                                 &foreign),
               0, 9);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    serverfuzz::boot();
    hxfuzz::Input in{data, size};
    for (int i = 0; i < kMaxCalls && in.n; ++i) {
        const uint8_t kind = in.u8() % 10;
        if (kind < 6)
            propertyCall(in);
        else if (kind == 6)
            stateChange(in);
        else if (kind == 7)
            clientCall(in);
        else if (kind == 8)
            ioCall(in);
        else
            changeCall(in);
        serverfuzz::replugIfGone();
    }
    hx::sys::clearFakeProcesses();
    serverfuzz::resetAfterInput();
    return 0;
}
