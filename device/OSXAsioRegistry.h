// One device's settings for user space, kept in the product's preference
// domain ("<identifier root>.hal"), one flat key per value.
//
// Integers are stored as decimal strings (a bool as "0" or "1", an 8-bit
// value masked to 8 bits) and read back as numbers; a 64-bit value as 8 bytes
// of data in the machine's byte order; blocks as data of their fixed size.
// Every setter synchronises the domain at once. A stored value of the wrong
// type, or a block or 64-bit value whose length is not its size, counts as
// missing and is logged: no half-stale block reaches the device.
//
// The legacy XML settings file ("<file name>.xml" in the user's Preferences
// folder, ISO-8859-1) is migrated into the domain once, by the migrating
// constructor: every attribute of every child of its "Settings" node becomes
// one key with its value as a string. The file itself is only read.
#pragma once

#include <cstdint>

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "libs/tools/XML.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/sys/Files.h"

class OSXAsioRegistry : public XML::Doc {
public:
    // Sizes of the stored blocks.
    static constexpr int kReverbBuffersSize = 1536; // six 256-byte parameter blocks
    static constexpr int kMixerBufferSize = 64;
    static constexpr int kMixerFractionsSize = 512;
    static constexpr int kRoutingMatrixSize = 32;

    // The ordinary store of the device with this identifier root (null:
    // "com.quarnel.hal"); valid when the domain's "Version" is "1.0".
    explicit OSXAsioRegistry(CFStringRef identifierRoot);
    // The migrating store: when "com.korvex.hx5100.hal" has no "Version", the
    // legacy file "<fileName>.xml" is migrated into it. Never valid.
    explicit OSXAsioRegistry(const char* fileName);
    // Sets "Version" to "1.0" and synchronises.
    ~OSXAsioRegistry() override;

    OSXAsioRegistry(const OSXAsioRegistry&) = delete;
    OSXAsioRegistry& operator=(const OSXAsioRegistry&) = delete;

    bool isValid() const { return mValid; }
    CFStringRef getDomain() const { return mDomain; }

    // Copies every attribute of every child of the legacy file's "Settings"
    // node into the domain, then sets "Version".
    void convertToCFPrefs();

    // ---- Typed access to any key
    // The stored string is answered retained in *out (null when missing or
    // not a string); always true.
    bool setStringValue(CFStringRef value, const char* key);
    bool getStringValue(CFStringRef* out, const char* key);
    bool setBoolValue(bool value, const char* key);
    bool getBoolValue(bool& out, const char* key);
    bool setUInt8Value(uint8_t value, const char* key);
    bool getUInt8Value(uint8_t& out, const char* key);
    bool setUInt16Value(uint16_t value, const char* key);
    bool getUInt16Value(uint16_t& out, const char* key);
    bool setUInt32Value(uint32_t value, const char* key);
    bool getUInt32Value(uint32_t& out, const char* key);
    bool setUInt64Value(uint64_t value, const char* key);
    bool getUInt64Value(uint64_t& out, const char* key);
    // A block of exactly size bytes; out is left alone when it is missing.
    bool setBlockValue(const void* data, int size, const char* key);
    bool getBlockValue(void* out, int size, const char* key);

    // ---- Named settings
    bool setClockSource(uint32_t value);
    uint32_t getClockSource(); // 0 when missing
    bool setUSB1Mode(uint32_t value);
    bool getUSB1Mode(uint32_t& out);
    bool setDigitalOutMode(uint32_t value);
    uint32_t getDigitalOutMode(); // 0 when missing
    bool setDigitalOutSelector(uint32_t value);
    bool getDigitalOutSelector(uint32_t& out);
    bool setForceInternal(uint32_t value);
    bool getForceInternal(uint32_t& out);
    bool setWolfsonRegister(int codec, int reg, uint32_t value);
    bool getWolfsonRegister(int codec, int reg, uint32_t& out);
    bool setRouting(int direction, int index, uint32_t value);
    bool getRouting(int direction, int index, uint32_t& out);
    bool setFootSwitchMode(uint32_t value);
    bool getFootSwitchMode(uint32_t& out);
    bool setFootSwitchProtocol(uint32_t value);
    bool getFootSwitchProtocol(uint32_t& out);
    bool setMixerMode(int32_t value);
    bool getMixerMode(int32_t& out);
    bool setSampleRate(uint32_t value);
    bool getSampleRate(uint32_t& out);
    bool setReverbBuffers(const void* data);
    bool getReverbBuffers(void* out);
    bool setMixerBuffer(const void* data);
    bool getMixerBuffer(void* out);
    bool setMixerFractions(const void* data);
    bool getMixerFractions(void* out);
    bool setRoutingMatrix(const void* data);
    bool getRoutingMatrix(void* out);

    // The extension settings: defaults, then the four stored values.
    void loadAjExt(QnAjExtData& record);

    // The device-independent Sorvik configuration and channel maps; the
    // getter fills defaults for what is missing and is true only when every
    // value was found.
    bool setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record);
    bool getSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& record);
    // One device's 84-byte block, under "SORVIK_%16llX" of its key.
    bool setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record, uint64_t deviceKey);
    bool getSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& record, uint64_t deviceKey);

    // Synchronises the domain.
    bool store();
    // The XML settings node is not used after migration: null.
    XML::Node* getSettingNode(const char* name, bool create);
    // Logs a text formatted with the property-list formats (%@).
    static void showCFObj(const char* format, ...);
    // Opens (with create, makes) the file of that name in the Preferences
    // folder for reading, or reading and writing: an open fork, or -1.
    static FSIORefNum getStorageFile(const char* path, bool create, bool write);

private:
    CFPropertyListRef copyValue(const char* key);
    bool setValue(const char* key, CFPropertyListRef value);
    bool setInteger(const char* key, int value);
    bool getInteger(const char* key, int& out, bool logMissing);
    void readLegacyFile();

    bool mValid = false;
    ZrString mFileName;
    CFStringRef mDomain = nullptr;
};
