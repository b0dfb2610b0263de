#include "device/OSXAsioRegistry.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "platform/base/HXLog.h"

namespace {

constexpr const char* kLegacyDomain = "com.korvex.hx5100.hal";
constexpr const char* kDefaultDomain = "com.quarnel.hal";
constexpr const char* kVersionKey = "Version";
constexpr const char* kVersion = "1.0";

// The legacy file is read in pieces of this size, and never beyond the
// bound: a settings file is a few kilobytes.
constexpr UInt32 kLegacyPiece = 1024;
constexpr std::size_t kLegacyMaxSize = 16u << 20;

// Sorvik defaults of the device-independent keys.
constexpr uint32_t kSorvikDefaultRate = 48000;
constexpr uint32_t kSorvikDefaultChannels = 2;
constexpr uint32_t kSorvikDefaultBits = 16;
constexpr int32_t kSorvikDefaultMapEntry = 255;

CFStringRef makeKey(const char* key) {
    return CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
}

std::string formatKey(const char* format, int a, int b) {
    char key[64];
    std::snprintf(key, sizeof key, format, a, b);
    return key;
}

std::string sorvikDeviceKey(uint64_t deviceKey) {
    char key[32];
    std::snprintf(key, sizeof key, "SORVIK_%16llX", static_cast<unsigned long long>(deviceKey));
    return key;
}

} // namespace

OSXAsioRegistry::OSXAsioRegistry(CFStringRef identifierRoot) {
    if (identifierRoot)
        mDomain = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@.hal"), identifierRoot);
    else
        mDomain = CFStringCreateWithCString(nullptr, kDefaultDomain, kCFStringEncodingASCII);
    CFStringRef version = nullptr;
    getStringValue(&version, kVersionKey);
    if (version) {
        mValid = CFStringCompare(version, CFSTR("1.0"), 0) == kCFCompareEqualTo;
        CFRelease(version);
    }
}

OSXAsioRegistry::OSXAsioRegistry(const char* fileName) : mFileName(fileName ? fileName : "") {
    mDomain = CFStringCreateWithCString(nullptr, kLegacyDomain, kCFStringEncodingASCII);
    CFPropertyListRef version = copyValue(kVersionKey);
    if (version) {
        CFRelease(version);
        return;
    }
    readLegacyFile();
    convertToCFPrefs();
}

OSXAsioRegistry::~OSXAsioRegistry() {
    setStringValue(CFSTR("1.0"), kVersionKey);
    store();
    CFRelease(mDomain);
}

void OSXAsioRegistry::readLegacyFile() {
    ZrString name(mFileName);
    name += ".xml";
    const FSIORefNum fork = getStorageFile(name, false, false);
    if (fork < 0) {
        syslog(LOG_WARNING, "OSXAsioRegistry: no legacy settings file %s\n",
               static_cast<const char*>(name));
        return;
    }
    ZrString text;
    std::size_t total = 0;
    for (;;) {
        char piece[kLegacyPiece + 1];
        UInt32 got = 0;
        const OSErr err = FSReadFork(fork, fsAtMark, 0, kLegacyPiece, piece, &got);
        piece[got] = 0;
        text += piece; // the reader stops at a NUL byte, as the text does
        total += got;
        if (err != noErr || got == 0) break;
        if (total > kLegacyMaxSize) {
            syslog(LOG_WARNING, "OSXAsioRegistry: legacy settings file %s is too large\n",
                   static_cast<const char*>(name));
            text.clear();
            break;
        }
    }
    FSCloseFork(fork);
    load(text);
}

void OSXAsioRegistry::convertToCFPrefs() {
    XML::Node* settings = getNode("Settings");
    if (!settings) {
        syslog(LOG_WARNING, "OSXAsioRegistry: no Settings in the legacy settings file %s.xml\n",
               static_cast<const char*>(mFileName));
    } else {
        for (int n = 0; n < settings->getCountNodes(); ++n) {
            XML::Node* child = settings->getNode(n);
            for (int a = 0; child && a < child->getCountAttributes(); ++a) {
                XML::Attribute* attribute = child->getAttribute(a);
                // The file is ISO-8859-1, as its writer's header says.
                CFStringRef key = CFStringCreateWithCString(nullptr, attribute->getName(),
                                                            kCFStringEncodingISOLatin1);
                CFStringRef value = CFStringCreateWithCString(nullptr, attribute->getValue(),
                                                              kCFStringEncodingISOLatin1);
                if (key && value) {
                    CFPreferencesSetValue(key, value, mDomain, kCFPreferencesCurrentUser,
                                          kCFPreferencesAnyHost);
                    store();
                }
                if (key) CFRelease(key);
                if (value) CFRelease(value);
            }
        }
    }
    setStringValue(CFSTR("1.0"), kVersionKey);
}

// ---- Storage

CFPropertyListRef OSXAsioRegistry::copyValue(const char* key) {
    CFStringRef k = makeKey(key);
    if (!k) return nullptr;
    CFPropertyListRef value =
        CFPreferencesCopyValue(k, mDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    CFRelease(k);
    return value;
}

bool OSXAsioRegistry::setValue(const char* key, CFPropertyListRef value) {
    CFStringRef k = makeKey(key);
    if (!k) return false;
    CFPreferencesSetValue(k, value, mDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    CFRelease(k);
    return store();
}

bool OSXAsioRegistry::store() {
    return CFPreferencesSynchronize(mDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

bool OSXAsioRegistry::setInteger(const char* key, int value) {
    CFStringRef text = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d"), value);
    const bool ok = setValue(key, text);
    CFRelease(text);
    return ok;
}

bool OSXAsioRegistry::getInteger(const char* key, int& out, bool) {
    CFPropertyListRef value = copyValue(key);
    if (!value) return false;
    const bool isString = CFGetTypeID(value) == CFStringGetTypeID();
    if (isString)
        out = CFStringGetIntValue(static_cast<CFStringRef>(value));
    else
        syslog(LOG_WARNING, "OSXAsioRegistry: %s is not a number text, taken as missing\n", key);
    CFRelease(value);
    return isString;
}

// ---- Typed access

bool OSXAsioRegistry::setStringValue(CFStringRef value, const char* key) {
    return setValue(key, value);
}

bool OSXAsioRegistry::getStringValue(CFStringRef* out, const char* key) {
    if (!out) return true;
    *out = nullptr;
    CFPropertyListRef value = copyValue(key);
    if (value && CFGetTypeID(value) == CFStringGetTypeID())
        *out = static_cast<CFStringRef>(value);
    else if (value)
        CFRelease(value);
    return true;
}

bool OSXAsioRegistry::setBoolValue(bool value, const char* key) {
    return setInteger(key, value ? 1 : 0);
}

bool OSXAsioRegistry::getBoolValue(bool& out, const char* key) {
    int v = 0;
    const bool found = getInteger(key, v, true);
    out = found && v != 0;
    return found;
}

bool OSXAsioRegistry::setUInt8Value(uint8_t value, const char* key) {
    return setInteger(key, value & 0xFF);
}

bool OSXAsioRegistry::getUInt8Value(uint8_t& out, const char* key) {
    int v = 0;
    const bool found = getInteger(key, v, true);
    out = found ? uint8_t(v) : 0;
    return found;
}

bool OSXAsioRegistry::setUInt16Value(uint16_t value, const char* key) {
    return setInteger(key, value);
}

bool OSXAsioRegistry::getUInt16Value(uint16_t& out, const char* key) {
    int v = 0;
    const bool found = getInteger(key, v, true);
    out = found ? uint16_t(v) : 0;
    return found;
}

bool OSXAsioRegistry::setUInt32Value(uint32_t value, const char* key) {
    return setInteger(key, int(value));
}

bool OSXAsioRegistry::getUInt32Value(uint32_t& out, const char* key) {
    int v = 0;
    const bool found = getInteger(key, v, true);
    out = found ? uint32_t(v) : 0;
    return found;
}

bool OSXAsioRegistry::setUInt64Value(uint64_t value, const char* key) {
    return setBlockValue(&value, sizeof value, key);
}

bool OSXAsioRegistry::getUInt64Value(uint64_t& out, const char* key) {
    return getBlockValue(&out, sizeof out, key);
}

bool OSXAsioRegistry::setBlockValue(const void* data, int size, const char* key) {
    if (!data || size < 0) return false;
    CFDataRef block = CFDataCreate(nullptr, static_cast<const UInt8*>(data), size);
    if (!block) return false;
    const bool ok = setValue(key, block);
    CFRelease(block);
    return ok;
}

bool OSXAsioRegistry::getBlockValue(void* out, int size, const char* key) {
    CFPropertyListRef value = copyValue(key);
    if (!value) return false;
    bool found = false;
    if (CFGetTypeID(value) != CFDataGetTypeID()) {
        syslog(LOG_WARNING, "OSXAsioRegistry: %s is not data, taken as missing\n", key);
    } else if (CFDataGetLength(static_cast<CFDataRef>(value)) != size) {
        syslog(LOG_WARNING, "OSXAsioRegistry: %s holds %ld bytes instead of %d, taken as missing\n",
               key, long(CFDataGetLength(static_cast<CFDataRef>(value))), size);
    } else {
        if (out)
            std::memcpy(out, CFDataGetBytePtr(static_cast<CFDataRef>(value)), std::size_t(size));
        found = true;
    }
    CFRelease(value);
    return found;
}

// ---- Named settings

bool OSXAsioRegistry::setClockSource(uint32_t value) {
    return setUInt32Value(value, "ClockSource");
}

uint32_t OSXAsioRegistry::getClockSource() {
    uint32_t v = 0;
    getUInt32Value(v, "ClockSource");
    return v;
}

bool OSXAsioRegistry::setUSB1Mode(uint32_t value) {
    return setUInt32Value(value, "USB1Mode");
}
bool OSXAsioRegistry::getUSB1Mode(uint32_t& out) {
    return getUInt32Value(out, "USB1Mode");
}
bool OSXAsioRegistry::setDigitalOutMode(uint32_t value) {
    return setUInt32Value(value, "DigitalOutMode");
}

uint32_t OSXAsioRegistry::getDigitalOutMode() {
    uint32_t v = 0;
    getUInt32Value(v, "DigitalOutMode");
    return v;
}

bool OSXAsioRegistry::setDigitalOutSelector(uint32_t value) {
    return setUInt32Value(value, "DigitalOutSel");
}
bool OSXAsioRegistry::getDigitalOutSelector(uint32_t& out) {
    return getUInt32Value(out, "DigitalOutSel");
}
bool OSXAsioRegistry::setForceInternal(uint32_t value) {
    return setUInt32Value(value, "ForceInternal");
}
bool OSXAsioRegistry::getForceInternal(uint32_t& out) {
    return getUInt32Value(out, "ForceInternal");
}

bool OSXAsioRegistry::setWolfsonRegister(int codec, int reg, uint32_t value) {
    return setUInt32Value(value, formatKey("WolfsonRegister_%d_%d", codec, reg).c_str());
}

bool OSXAsioRegistry::getWolfsonRegister(int codec, int reg, uint32_t& out) {
    return getUInt32Value(out, formatKey("WolfsonRegister_%d_%d", codec, reg).c_str());
}

bool OSXAsioRegistry::setRouting(int direction, int index, uint32_t value) {
    return setUInt32Value(value, formatKey("Routing_%d_%d", direction, index).c_str());
}

bool OSXAsioRegistry::getRouting(int direction, int index, uint32_t& out) {
    return getUInt32Value(out, formatKey("Routing_%d_%d", direction, index).c_str());
}

bool OSXAsioRegistry::setFootSwitchMode(uint32_t value) {
    return setUInt32Value(value, "FootSwitchMode");
}
bool OSXAsioRegistry::getFootSwitchMode(uint32_t& out) {
    return getUInt32Value(out, "FootSwitchMode");
}
bool OSXAsioRegistry::setFootSwitchProtocol(uint32_t value) {
    return setUInt32Value(value, "FootSwitchProtocol");
}
bool OSXAsioRegistry::getFootSwitchProtocol(uint32_t& out) {
    return getUInt32Value(out, "FootSwitchProtocol");
}
bool OSXAsioRegistry::setMixerMode(int32_t value) {
    return setInteger("MixerMode", value);
}

bool OSXAsioRegistry::getMixerMode(int32_t& out) {
    int v = 0;
    const bool found = getInteger("MixerMode", v, true);
    out = found ? v : 0;
    return found;
}

bool OSXAsioRegistry::setSampleRate(uint32_t value) {
    return setUInt32Value(value, "SampleRate");
}
bool OSXAsioRegistry::getSampleRate(uint32_t& out) {
    return getUInt32Value(out, "SampleRate");
}
bool OSXAsioRegistry::setReverbBuffers(const void* data) {
    return setBlockValue(data, kReverbBuffersSize, "ReverbBuffers");
}
bool OSXAsioRegistry::getReverbBuffers(void* out) {
    return getBlockValue(out, kReverbBuffersSize, "ReverbBuffers");
}
bool OSXAsioRegistry::setMixerBuffer(const void* data) {
    return setBlockValue(data, kMixerBufferSize, "MixerBuffer");
}
bool OSXAsioRegistry::getMixerBuffer(void* out) {
    return getBlockValue(out, kMixerBufferSize, "MixerBuffer");
}

bool OSXAsioRegistry::setMixerFractions(const void* data) {
    return setBlockValue(data, kMixerFractionsSize, "MixerFractions");
}

bool OSXAsioRegistry::getMixerFractions(void* out) {
    return getBlockValue(out, kMixerFractionsSize, "MixerFractions");
}
bool OSXAsioRegistry::setRoutingMatrix(const void* data) {
    return setBlockValue(data, kRoutingMatrixSize, "RoutingMatrix");
}
bool OSXAsioRegistry::getRoutingMatrix(void* out) {
    return getBlockValue(out, kRoutingMatrixSize, "RoutingMatrix");
}

void OSXAsioRegistry::loadAjExt(QnAjExtData& record) {
    record.setDefaults();
    struct Field {
        const char* key;
        uint32_t* value;
        const char* line;
    };
    const Field fields[] = {
        {"ClockSource", &record.mClockSource, "Reading clock source: %d\n"},
        {"USB1Mode", &record.mUSB1Mode, "Reading mUSB1Mode: %d\n"},
        {"DigitalOutMode", &record.mDigitalOutMode, "Reading mDigitalOutMode: %d\n"},
        {"DigitalOutSel", &record.mDigitalOutSelector, "Reading mDigitalOutSelector: %d\n"},
    };
    for (const Field& f : fields) {
        uint32_t v = 0;
        if (getUInt32Value(v, f.key)) syslog(LOG_WARNING, f.line, int(v));
        *f.value = v;
    }
}

bool OSXAsioRegistry::setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record) {
    bool ok = setUInt32Value(record.cConfig.samplerate, "Sorvik_SampleRate");
    ok &= setUInt32Value(record.cConfig.numInputs, "Sorvik_NumInputs");
    ok &= setUInt32Value(record.cConfig.bitsInput, "Sorvik_InputBits");
    ok &= setUInt32Value(record.cConfig.numOutputs, "Sorvik_NumOutputs");
    ok &= setUInt32Value(record.cConfig.bitsOutput, "Sorvik_OutputBits");
    for (int i = 0; i < 8; ++i) {
        ok &= setInteger(formatKey("Sorvik_InputMap_%d", i, 0).c_str(), record.cMap.mEInputMap[i]);
        ok &=
            setInteger(formatKey("Sorvik_OutputMap_%d", i, 0).c_str(), record.cMap.mEOutputMap[i]);
    }
    return ok;
}

bool OSXAsioRegistry::getSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& record) {
    bool all = true;
    auto read = [&](const char* key, uint32_t& out, uint32_t fallback) {
        if (!getUInt32Value(out, key)) {
            out = fallback;
            all = false;
        }
    };
    read("Sorvik_SampleRate", record.cConfig.samplerate, kSorvikDefaultRate);
    read("Sorvik_NumInputs", record.cConfig.numInputs, kSorvikDefaultChannels);
    read("Sorvik_InputBits", record.cConfig.bitsInput, kSorvikDefaultBits);
    read("Sorvik_NumOutputs", record.cConfig.numOutputs, kSorvikDefaultChannels);
    read("Sorvik_OutputBits", record.cConfig.bitsOutput, kSorvikDefaultBits);
    for (int i = 0; i < 8; ++i) {
        int v = 0;
        if (getInteger(formatKey("Sorvik_InputMap_%d", i, 0).c_str(), v, true)) {
            record.cMap.mEInputMap[i] = v;
        } else {
            record.cMap.mEInputMap[i] = kSorvikDefaultMapEntry;
            all = false;
        }
        if (getInteger(formatKey("Sorvik_OutputMap_%d", i, 0).c_str(), v, true)) {
            record.cMap.mEOutputMap[i] = v;
        } else {
            record.cMap.mEOutputMap[i] = kSorvikDefaultMapEntry;
            all = false;
        }
    }
    return all;
}

bool OSXAsioRegistry::setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record,
                                                uint64_t deviceKey) {
    CFDataRef block = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(&record), sizeof record);
    if (!block) {
        syslog(LOG_ERR, "%s Could not create data ref\n", "setSorvikConfigAndMapping");
        return false;
    }
    const bool ok = setValue(sorvikDeviceKey(deviceKey).c_str(), block);
    CFRelease(block);
    return ok;
}

bool OSXAsioRegistry::getSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& record,
                                                uint64_t deviceKey) {
    if (getBlockValue(&record, sizeof record, sorvikDeviceKey(deviceKey).c_str())) return true;
    syslog(LOG_WARNING, "%s No prefs for device %16llX", "getSorvikConfigAndMapping",
           static_cast<unsigned long long>(deviceKey));
    return false;
}

XML::Node* OSXAsioRegistry::getSettingNode(const char*, bool) {
    return nullptr;
}

void OSXAsioRegistry::showCFObj(const char* format, ...) {
    CFStringRef f = CFStringCreateWithCString(nullptr, format, kCFStringEncodingUTF8);
    if (!f) return;
    va_list ap;
    va_start(ap, format);
    CFStringRef text = CFStringCreateWithFormatAndArguments(nullptr, nullptr, f, ap);
    va_end(ap);
    CFRelease(f);
    if (!text) return;
    const CFIndex max =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(std::size_t(max), '\0');
    if (CFStringGetCString(text, buffer.data(), max, kCFStringEncodingUTF8))
        syslog(LOG_WARNING, "%s", buffer.c_str());
    CFRelease(text);
}

FSIORefNum OSXAsioRegistry::getStorageFile(const char* path, bool create, bool write) {
    if (!path) return -1;
    FSRef folder;
    OSErr err = FSFindFolder(kUserDomain, kPreferencesFolderType,
                             create ? kCreateFolder : kDontCreateFolder, &folder);
    UInt8 folderPath[1024];
    if (err == noErr) err = OSErr(FSRefMakePath(&folder, folderPath, sizeof folderPath));
    if (err != noErr) {
        syslog(LOG_WARNING, "Could not create path for file %s\n", path);
        return -1;
    }
    const std::string full = std::string(reinterpret_cast<const char*>(folderPath)) + "/" + path;
    FSRef file;
    OSStatus status = FSPathMakeRef(reinterpret_cast<const UInt8*>(full.c_str()), &file, nullptr);
    if (status != noErr) {
        if (!create) {
            syslog(LOG_WARNING, "getStorageFile: could not create FSRef for path %s (%d)\n",
                   full.c_str(), int(status));
            return -1;
        }
        CFStringRef name = CFStringCreateWithCString(nullptr, path, kCFStringEncodingUTF8);
        if (!name || CFStringGetLength(name) > 255) {
            syslog(LOG_WARNING, "getStorageFile: could not create file %d\n", int(bdNamErr));
            if (name) CFRelease(name);
            return -1;
        }
        UniChar chars[255];
        const CFIndex length = CFStringGetLength(name);
        CFStringGetCharacters(name, CFRangeMake(0, length), chars);
        CFRelease(name);
        err = FSCreateFileUnicode(&folder, UniCharCount(length), chars, kFSCatInfoNone, nullptr,
                                  &file, nullptr);
        if (err != noErr) {
            syslog(LOG_WARNING, "getStorageFile: could not create file for path %s (%d)\n",
                   full.c_str(), int(err));
            return -1;
        }
    }
    HFSUniStr255 forkName;
    err = FSGetDataForkName(&forkName);
    if (err != noErr) {
        syslog(LOG_WARNING, "getStorageFile: could not get data fork name %d\n", int(err));
        return -1;
    }
    FSIORefNum fork = -1;
    err = FSOpenFork(&file, forkName.length, forkName.unicode, SInt8(write ? fsRdWrPerm : fsRdPerm),
                     &fork);
    if (err != noErr) {
        syslog(LOG_WARNING, "getStorageFile: openFork returns %d\n", int(err));
        return -1;
    }
    return fork;
}
