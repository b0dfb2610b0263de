// Any bytes as the server host's storage file and the shared preference
// domain's file (split at the first NUL byte), then every getter of the
// host-storage settings and of the server build's registry, the Sorvik map,
// the extension record, a write and its read-back. Oracle: no sanitizer
// finding, every caller buffer ends at a guard page and outside its block
// stays as it was, results only as documented, and the host still stores.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/base/HXPath.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/cf/HXCF.h"
#include "platform/coreaudio/ServerHost.h"
#include "plugins/server/OSXAsioRegistry.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "plugins/server/QnStoragePrefs.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

hx::coreaudio::ServerHost& host() {
    static hx::coreaudio::ServerHost* made = [] {
        char t[] = "/tmp/hx-fuzz-server-settings-XXXXXX";
        const char* dir = ::mkdtemp(t);
        require(dir != nullptr);
        hx::path::setRoot(dir);
        hx::coreaudio::ServerHostOptions options;
        options.processName = "";
        options.storageName = "hx5100";
        auto* h = new hx::coreaudio::ServerHost(options);
        QnASPlugInPlugIn::sHost = h->hostInterface();
        return h;
    }();
    return *made;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

void checkBlock(QnStoragePrefs& prefs, bool (QnStoragePrefs::*getter)(void*), size_t size) {
    hx::test::GuardedBuffer buffer(size);
    std::memset(buffer.data(), 0x5A, size);
    if (!(prefs.*getter)(buffer.data()))
        for (size_t i = 0; i < size; ++i)
            require(buffer.data()[i] == 0x5A);
}

void hostStorage() {
    QnStoragePrefs prefs;
    int v = 0;
    prefs.getStoredFrequency(v);
    prefs.getStoredInChannels(v);
    prefs.getStoredOutChannels(v);
    prefs.getStoredInResolution(v);
    prefs.getStoredOutResolution(v);
    prefs.getStoredMixerMode(v);
    prefs.getStoredMixerKnob(v);
    prefs.getStoredMixerValues(v);
    QnAjExtData ext{};
    prefs.getStoredAjExt(ext);
    checkBlock(prefs, &QnStoragePrefs::getStoredReverbBuffers, 1536);
    checkBlock(prefs, &QnStoragePrefs::getStoredMixerBuffer, 64);
    checkBlock(prefs, &QnStoragePrefs::getStoredMixerFractions, 512);
    checkBlock(prefs, &QnStoragePrefs::getStoredRoutingMatrix, 32);
    UInt64 state = 31;
    hx::test::GuardedBuffer record(sizeof(QN_Sorvik_ConfigAndMap));
    prefs.getStoredSorvikConfigAndMapping(*record.as<QN_Sorvik_ConfigAndMap>(),
                                          reinterpret_cast<char*>(&state));
    prefs.getValue("Loose", 3);
    // Still storing: a write reads back.
    CFMutableDictionaryRef all = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    SInt32 n = 44100;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &n);
    CFMutableDictionaryRef channels = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(channels, CFSTR("Frequency"), number);
    CFDictionarySetValue(all, CFSTR("ChannelSettings"), channels);
    require(prefs.writeStorageProperties(all));
    require(prefs.getStoredFrequency(v) && v == 44100);
    CFRelease(channels);
    CFRelease(number);
    CFRelease(all);
}

void registry() {
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    UInt32 u = 0;
    bool b = false;
    UInt8 u8 = 0;
    UInt16 u16 = 0;
    int i = 0;
    r.getUInt32Value(u, "ClockSource");
    r.getBoolValue(b, "Flag");
    r.getUInt8Value(u8, "Byte");
    r.getUInt16Value(u16, "Word");
    r.getWolfsonRegister(0, 1, u);
    r.getForceInternal(u);
    r.getRouting(0, 1, u);
    r.getFootSwitchMode(u);
    r.getFootSwitchProtocol(u);
    r.getMixerMode(i);
    CFStringRef s = nullptr;
    r.getStringValue(s, "Version");
    if (s) {
        require(CFGetTypeID(s) == CFStringGetTypeID());
        CFRelease(s);
    }
    hx::test::GuardedBuffer reverb(1536), mixer(64);
    std::memset(reverb.data(), 0x5A, 1536);
    if (!r.getReverbBuffers(reverb.data()))
        require(reverb.data()[0] == 0x5A && reverb.data()[1535] == 0x5A);
    r.getMixerBuffer(mixer.data());
    QN_Sorvik_ChannelMap map{};
    r.getSorvikMapping(map);
    QnAjExtData ext{};
    r.loadAjExt(ext);
    r.setUInt32Value(0xFFFFFFFF, "Fuzz");
    require(r.getUInt32Value(u, "Fuzz") && u == 0xFFFFFFFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host();
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t first = split ? size_t(split - data) : size;
    const size_t secondStart = split ? first + 1 : size;
    writeFile(hx::path::map("/Library/Preferences/Audio/Data/hx5100.plist"), data, first);
    writeFile(hx::path::map(hx::path::userPreferencesFolder() + "/com.korvex.hx5100.hal.plist"),
              data + secondStart, size - secondStart);
    hx::cf::resetPreferences();
    hostStorage();
    registry();
    return 0;
}
