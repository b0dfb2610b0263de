#include "plugins/server/OSXAsioRegistry.h"

#include <cstdio>
#include <cstring>

namespace qnas {

namespace {

// The one domain this build reads and writes, whatever it was built from.
CFStringRef settingsDomain() {
    return CFSTR("com.korvex.hx5100.hal");
}

CFStringRef newKey(const char* inKey) {
    return inKey ? CFStringCreateWithCString(nullptr, inKey, kCFStringEncodingUTF8) : nullptr;
}

struct FormattedKey {
    char text[64];
    FormattedKey(const char* format, int a, int b) {
        std::snprintf(text, sizeof text, format, a, b);
    }
    explicit FormattedKey(const char* format, int a) {
        std::snprintf(text, sizeof text, format, a);
    }
};

constexpr UInt32 kAbsentMapEntry = 255;

} // namespace

OSXAsioRegistry::OSXAsioRegistry(CFStringRef inIDRoot) {
    mDomain = inIDRoot
                  ? CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@.hal"), inIDRoot)
                  : CFStringCreateWithCString(nullptr, "com.quarnl.hal", kCFStringEncodingASCII);
}

OSXAsioRegistry::OSXAsioRegistry(const char*) {
    mDomain = CFStringCreateWithCString(nullptr, "com.korvex.hx5100.hal", kCFStringEncodingASCII);
}

OSXAsioRegistry::~OSXAsioRegistry() {
    if (mDomain) CFRelease(mDomain);
}

void OSXAsioRegistry::setValue(CFStringRef inKey, CFPropertyListRef inValue) {
    CFPreferencesSetValue(inKey, inValue, settingsDomain(), kCFPreferencesCurrentUser,
                          kCFPreferencesAnyHost);
}

CFPropertyListRef OSXAsioRegistry::copyValue(const char* inKey) {
    CFStringRef key = newKey(inKey);
    if (!key) return nullptr;
    CFPropertyListRef value = CFPreferencesCopyValue(
        key, settingsDomain(), kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    CFRelease(key);
    return value;
}

bool OSXAsioRegistry::store() {
    return CFPreferencesSynchronize(settingsDomain(), kCFPreferencesCurrentUser,
                                    kCFPreferencesAnyHost);
}

void OSXAsioRegistry::setNumber(const char* inKey, SInt32 inValue, bool inSynchronize) {
    CFStringRef key = newKey(inKey);
    CFStringRef text = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d"), int(inValue));
    if (key && text) setValue(key, text);
    if (text) CFRelease(text);
    if (key) CFRelease(key);
    if (inSynchronize) store();
}

bool OSXAsioRegistry::getNumber(const char* inKey, SInt32& outValue) {
    outValue = 0;
    CFPropertyListRef value = copyValue(inKey);
    if (!value) return false;
    const bool isText = CFGetTypeID(value) == CFStringGetTypeID();
    if (isText) outValue = CFStringGetIntValue(static_cast<CFStringRef>(value));
    CFRelease(value);
    return isText;
}

void OSXAsioRegistry::setBlock(const char* inKey, const void* inBytes, CFIndex inSize) {
    CFDataRef data =
        inBytes ? CFDataCreate(nullptr, static_cast<const UInt8*>(inBytes), inSize) : nullptr;
    CFStringRef key = newKey(inKey);
    if (data && key) {
        setValue(key, data);
        store();
    }
    if (data) CFRelease(data);
    if (key) CFRelease(key);
}

// Only data of exactly the block's size counts: anything else would run past
// the caller's buffer or leave it half stale.
bool OSXAsioRegistry::getBlock(const char* inKey, void* outBytes, CFIndex inSize) {
    CFPropertyListRef value = copyValue(inKey);
    if (!value) return false;
    const bool fits = CFGetTypeID(value) == CFDataGetTypeID() &&
                      CFDataGetLength(static_cast<CFDataRef>(value)) == inSize;
    if (fits)
        std::memcpy(outBytes, CFDataGetBytePtr(static_cast<CFDataRef>(value)), std::size_t(inSize));
    CFRelease(value);
    return fits;
}

bool OSXAsioRegistry::setStringValue(CFStringRef inValue, const char* inKey) {
    CFStringRef key = newKey(inKey);
    if (key) {
        setValue(key, inValue);
        CFRelease(key);
    }
    return store();
}

bool OSXAsioRegistry::getStringValue(CFStringRef& outValue, const char* inKey) {
    outValue = nullptr;
    CFPropertyListRef value = copyValue(inKey);
    if (value && CFGetTypeID(value) == CFStringGetTypeID())
        outValue = static_cast<CFStringRef>(value);
    else if (value)
        CFRelease(value);
    return true;
}

void OSXAsioRegistry::setBoolValue(bool inValue, const char* inKey) {
    setNumber(inKey, inValue ? 1 : 0);
}

bool OSXAsioRegistry::getBoolValue(bool& outValue, const char* inKey) {
    SInt32 v = 0;
    const bool found = getNumber(inKey, v);
    outValue = v != 0;
    return found;
}

void OSXAsioRegistry::setUInt8Value(UInt8 inValue, const char* inKey) {
    setNumber(inKey, inValue);
}

bool OSXAsioRegistry::getUInt8Value(UInt8& outValue, const char* inKey) {
    SInt32 v = 0;
    const bool found = getNumber(inKey, v);
    outValue = UInt8(v);
    return found;
}

void OSXAsioRegistry::setUInt16Value(UInt16 inValue, const char* inKey) {
    setNumber(inKey, inValue);
}

bool OSXAsioRegistry::getUInt16Value(UInt16& outValue, const char* inKey) {
    SInt32 v = 0;
    const bool found = getNumber(inKey, v);
    outValue = UInt16(v);
    return found;
}

void OSXAsioRegistry::setUInt32Value(UInt32 inValue, const char* inKey) {
    setNumber(inKey, SInt32(inValue));
}

bool OSXAsioRegistry::getUInt32Value(UInt32& outValue, const char* inKey) {
    SInt32 v = 0;
    const bool found = getNumber(inKey, v);
    outValue = UInt32(v);
    return found;
}

void OSXAsioRegistry::setDigitalOutMode(UInt32 inValue) {
    setUInt32Value(inValue, "DigitalOutMode");
}
void OSXAsioRegistry::setDigitalOutSelector(UInt32 inValue) {
    setUInt32Value(inValue, "DigitalOutSel");
}
void OSXAsioRegistry::setClockSource(UInt32 inValue) {
    setUInt32Value(inValue, "ClockSource");
}
void OSXAsioRegistry::setUSB1Mode(UInt32 inValue) {
    setUInt32Value(inValue, "USB1Mode");
}

void OSXAsioRegistry::setWolfsonRegister(int inCodec, int inRegister, UInt32 inValue) {
    setUInt32Value(inValue, FormattedKey("WolfsonRegister_%d_%d", inCodec, inRegister).text);
}

bool OSXAsioRegistry::getWolfsonRegister(int inCodec, int inRegister, UInt32& outValue) {
    return getUInt32Value(outValue,
                          FormattedKey("WolfsonRegister_%d_%d", inCodec, inRegister).text);
}

void OSXAsioRegistry::setForceInternal(UInt32 inValue) {
    setUInt32Value(inValue, "ForceInternal");
}
bool OSXAsioRegistry::getForceInternal(UInt32& outValue) {
    return getUInt32Value(outValue, "ForceInternal");
}

void OSXAsioRegistry::setRouting(int inFirst, int inSecond, UInt32 inValue) {
    setUInt32Value(inValue, FormattedKey("Routing_%d_%d", inFirst, inSecond).text);
}

bool OSXAsioRegistry::getRouting(int inFirst, int inSecond, UInt32& outValue) {
    return getUInt32Value(outValue, FormattedKey("Routing_%d_%d", inFirst, inSecond).text);
}

void OSXAsioRegistry::setFootSwitchMode(UInt32 inValue) {
    setUInt32Value(inValue, "FootSwitchMode");
}
bool OSXAsioRegistry::getFootSwitchMode(UInt32& outValue) {
    return getUInt32Value(outValue, "FootSwitchMode");
}
void OSXAsioRegistry::setFootSwitchProtocol(UInt32 inValue) {
    setUInt32Value(inValue, "FootSwitchProtocol");
}

bool OSXAsioRegistry::getFootSwitchProtocol(UInt32& outValue) {
    return getUInt32Value(outValue, "FootSwitchProtocol");
}

void OSXAsioRegistry::setMixerMode(int inValue) {
    setNumber("MixerMode", inValue);
}

bool OSXAsioRegistry::getMixerMode(int& outValue) {
    SInt32 v = 0;
    const bool found = getNumber("MixerMode", v);
    outValue = v;
    return found;
}

void OSXAsioRegistry::setReverbBuffers(const void* inBytes) {
    setBlock("ReverbBuffers", inBytes, kReverbBuffersSize);
}
bool OSXAsioRegistry::getReverbBuffers(void* outBytes) {
    return getBlock("ReverbBuffers", outBytes, kReverbBuffersSize);
}
void OSXAsioRegistry::setMixerBuffer(const void* inBytes) {
    setBlock("MixerBuffer", inBytes, kMixerBufferSize);
}
bool OSXAsioRegistry::getMixerBuffer(void* outBytes) {
    return getBlock("MixerBuffer", outBytes, kMixerBufferSize);
}

void OSXAsioRegistry::loadAjExt(QnAjExtData& outRecord) {
    outRecord.setDefaults();
    getUInt32Value(outRecord.mClockSource, "ClockSource");
    getUInt32Value(outRecord.mUSB1Mode, "USB1Mode");
    getUInt32Value(outRecord.mDigitalOutMode, "DigitalOutMode");
    getUInt32Value(outRecord.mDigitalOutSelector, "DigitalOutSel");
}

bool OSXAsioRegistry::setSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& inRecord) {
    for (int i = 0; i < 8; ++i) {
        setNumber(FormattedKey("Sorvik_InputMap_%d", i).text, inRecord.cMap.mEInputMap[i], false);
        setNumber(FormattedKey("Sorvik_OutputMap_%d", i).text, inRecord.cMap.mEOutputMap[i], false);
    }
    setNumber("Sorvik_SampleRate", SInt32(inRecord.cConfig.samplerate), false);
    setNumber("Sorvik_NumInputs", SInt32(inRecord.cConfig.numInputs), false);
    setNumber("Sorvik_InputBits", SInt32(inRecord.cConfig.bitsInput), false);
    setNumber("Sorvik_NumOutputs", SInt32(inRecord.cConfig.numOutputs), false);
    setNumber("Sorvik_OutputBits", SInt32(inRecord.cConfig.bitsOutput), false);
    return store();
}

bool OSXAsioRegistry::setSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap&, char*) {
    return true;
}

bool OSXAsioRegistry::getSorvikMapping(QN_Sorvik_ChannelMap& outMap) {
    std::memset(&outMap, 0xFF, sizeof outMap);
    bool all = true;
    for (int i = 0; i < 8; ++i) {
        UInt32 v = 0;
        const bool in = getUInt32Value(v, FormattedKey("Sorvik_InputMap_%d", i).text);
        outMap.mEInputMap[i] = SInt32(in ? v : kAbsentMapEntry);
        const bool out = getUInt32Value(v, FormattedKey("Sorvik_OutputMap_%d", i).text);
        outMap.mEOutputMap[i] = SInt32(out ? v : kAbsentMapEntry);
        all = all && in && out;
    }
    return all;
}

bool OSXAsioRegistry::convertToCFPrefs() {
    XML::Node* settings = getNode("Settings");
    for (int n = 0; settings && n < settings->getCountNodes(); ++n) {
        XML::Node* child = settings->getNode(n);
        for (int a = 0; child && a < child->getCountAttributes(); ++a) {
            XML::Attribute* attribute = child->getAttribute(a);
            CFStringRef key =
                CFStringCreateWithCString(nullptr, attribute->getName(), kCFStringEncodingMacRoman);
            CFStringRef value = CFStringCreateWithCString(nullptr, attribute->getValue(),
                                                          kCFStringEncodingMacRoman);
            if (key && value) setValue(key, value);
            if (value) CFRelease(value);
            if (key) CFRelease(key);
            store();
        }
    }
    setValue(CFSTR("Version"), CFSTR("1.0"));
    return store();
}

XML::Node* OSXAsioRegistry::getSettingNode(const char*, bool) {
    return nullptr;
}

} // namespace qnas

void qnas::OSXAsioRegistry::setMixerFractions(const void* inBytes) {
    setBlock("MixerFractions", inBytes, 512);
}

void qnas::OSXAsioRegistry::setRoutingMatrix(const void* inBytes) {
    setBlock("RoutingMatrix", inBytes, 32);
}
