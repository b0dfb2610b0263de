// Control-port batches and two codec register models built on them.
//
// Some interfaces drive the serial control lines of their codecs from the
// bits of a byte-wide control port. QNAJPort collects port bytes in units
// (a unit enters the batch whole or not at all) and hands the batch to a
// send function, for a device USBDevice::sendCPortBytesStatic. The codec
// models keep a shadow of the codec's registers and turn each change into
// the bit-by-bit port sequence of the codec's three-wire write.
//
// A setter sends nothing when the stored value already equals the wanted
// one, unless forced, and unless an earlier write of the model failed: the
// shadow then may not match the codec, so every setter sends until a commit
// succeeds again.
#pragma once

#include "api/USBDevice.h"

#include <cstddef>
#include <cstdint>

class QNAJPort {
public:
    using SendFunction = bool (*)(void* context, const uint8_t* bytes, size_t count);
    static constexpr uint64_t kBatchSize = 1024;

    QNAJPort();
    virtual ~QNAJPort();

    void setDevice(SendFunction send, void* context);
    bool beginByte();
    bool addByte(uint8_t b);
    void confirmByte();
    void cancelBytes();
    bool commit();

    uint64_t count() const { return mCount; }

protected:
    // A setter's shortcut: nothing to send for an unchanged value.
    bool unchanged(bool same, bool force) const { return same && !force && !mUnsure; }
    // Commits a built unit; a unit that could not be built fails the setter.
    bool finish(bool built);

private:
    void reset();

    uint64_t mCount = 0;
    uint8_t mBytes[kBatchSize];
    void* mContext = nullptr;
    SendFunction mSend = nullptr;
    uint64_t mCursor = 0;
    bool mUnsure = false; // a write failed since the last good commit
};

enum PemrikRadioValue : int { PemrikRadio0 = 0, PemrikRadio2 = 2, PemrikRadio3 = 3 };

// The AK4524 model's state as one record.
struct PemrikData {
    uint64_t size;
    uint64_t version;
    uint64_t portByte;
    uint64_t muteIn[2];
    uint64_t muteOut[2];
    uint64_t volIn[2];
    uint64_t volOut[2];
};
static_assert(sizeof(PemrikData) == 88);

class QNAJCodecAK4524 : public QNAJPort {
public:
    QNAJCodecAK4524();

    bool muteOut(int ch, bool mute, bool force);
    bool muteIn(int ch, bool mute, bool force);
    bool volOut(int ch, uint8_t value, bool force);
    bool volIn(int ch, uint8_t value, bool force);
    bool getMuteOut(int ch) const;
    bool getMuteIn(int ch) const;
    uint8_t getVolOut(int ch) const;
    uint8_t getVolIn(int ch) const;
    static float volOutToDB(uint8_t value);
    static float volInToDB(uint8_t value);
    const char* volOutToDBString(int ch);
    const char* volInToDBString(int ch);
    PemrikRadioValue getRadioValue(int which) const;
    bool radioValue(int which, PemrikRadioValue value, bool force);
    bool setPortByte(uint8_t b, bool force);
    uint8_t getPortByte() const;
    bool getHWMonitor() const;
    bool setHWMonitor(bool on, bool force);
    void takeInfo(const PemrikData& data);
    void buildInfo(PemrikData& data) const;
    void updatePemrikoData(USBDevice* device);

private:
    // One register write as one unit; false when the batch had no room.
    bool sendByte(uint8_t reg, uint8_t value);
    bool addBit(bool one);
    const char* dbText(float db);

    bool mMuteOut[2] = {false, false};
    bool mMuteIn[2] = {false, false};
    uint8_t mVolOut[2] = {0x7F, 0x7F};
    uint8_t mVolIn[2] = {0x7F, 0x7F};
    uint8_t mPort = 0;
    char mText[32] = {};
};

enum WM8776_ADC_MUX : int { WM8776_ADC_MUX_0 = 0, WM8776_ADC_MUX_4 = 4 };

class QNAJCodecWM8776 : public QNAJPort {
public:
    QNAJCodecWM8776();

    bool writeRegister(uint16_t reg, uint16_t value);
    bool setADC_MUX(WM8776_ADC_MUX mux, bool force);
    WM8776_ADC_MUX getADC_MUX() const { return mMux; }
    bool muteIn(int ch, bool mute, bool force);
    bool getMuteIn(int ch) const;

private:
    bool addBit(bool one);
    bool writeMux();

    bool mMuteIn[2] = {false, false};
    WM8776_ADC_MUX mMux = WM8776_ADC_MUX_0;
    uint8_t mPort = 0x9F;
};
