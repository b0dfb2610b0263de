// The control-port batch and the AK4524 and WM8776 register models.
#include "api/QNAJPort.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

bool validChannel(int ch) {
    return ch == 0 || ch == 1;
}

// AK4524 register numbers (left, right).
constexpr uint8_t kAKInputVolume = 4;
constexpr uint8_t kAKOutputVolume = 6;
// AK4524 port bits: clock 7, data 6, chip select 5 (high outside a word);
// the hardware-monitor switch is bit 4.
constexpr uint8_t kAKIdle = 0xE0;
constexpr uint8_t kAKSelect = 0xC0;
constexpr uint8_t kAKData = 0x40;
constexpr uint8_t kAKClock = 0x80;
constexpr uint8_t kAKPortLines = 0x1F;
constexpr uint8_t kAKMonitorBit = 0x10;
// WM8776: latch 7, data 6, clock 5; register 21 is the ADC mux and mutes.
constexpr uint8_t kWMLatch = 0x80;
constexpr uint8_t kWMData = 0x40;
constexpr uint8_t kWMClock = 0x20;
constexpr uint16_t kWMAdcMux = 21;

constexpr float kSilentDB = -999.0f;

} // namespace

// ---- Batch

QNAJPort::QNAJPort() {
    std::memset(mBytes, 0, sizeof mBytes);
}

QNAJPort::~QNAJPort() {
    mSend = nullptr;
    mContext = nullptr;
}

void QNAJPort::setDevice(SendFunction send, void* context) {
    mSend = send;
    mContext = context;
}

bool QNAJPort::beginByte() {
    if (mCount >= kBatchSize) return false;
    mCursor = mCount;
    return true;
}

bool QNAJPort::addByte(uint8_t b) {
    if (mCursor >= kBatchSize) return false;
    mBytes[mCursor++] = b;
    return true;
}

void QNAJPort::confirmByte() {
    mCount = mCursor;
    mCursor = kBatchSize;
}

void QNAJPort::reset() {
    mCursor = 0;
    mCount = 0;
    std::memset(mBytes, 0, sizeof mBytes);
}

void QNAJPort::cancelBytes() {
    reset();
}

bool QNAJPort::commit() {
    const bool sent = mSend && mContext && mSend(mContext, mBytes, size_t(mCount));
    reset();
    mUnsure = !sent;
    return sent;
}

bool QNAJPort::finish(bool built) {
    if (!built) {
        mUnsure = true;
        return false;
    }
    return commit();
}

// ---- AK4524

QNAJCodecAK4524::QNAJCodecAK4524() = default;

bool QNAJCodecAK4524::addBit(bool one) {
    return one ? addByte(mPort | kAKData) && addByte(mPort | kAKSelect)
               : addByte(mPort) && addByte(mPort | kAKClock);
}

// Start, the 16 bits 1 0 1, register bits 4..0, value bits 7..0, end.
bool QNAJCodecAK4524::sendByte(uint8_t reg, uint8_t value) {
    if (!beginByte()) return false;
    bool ok = addByte(mPort | kAKIdle) && addByte(mPort | kAKSelect);
    const uint16_t word = uint16_t(0b101u << 13 | (reg & 0x1Fu) << 8 | value);
    for (int bit = 15; ok && bit >= 0; --bit)
        ok = addBit(word >> bit & 1);
    ok = ok && addByte(mPort | kAKIdle);
    if (ok) confirmByte();
    return ok;
}

bool QNAJCodecAK4524::muteOut(int ch, bool mute, bool force) {
    if (!validChannel(ch)) return false;
    if (unchanged(mMuteOut[ch] == mute, force)) return true;
    mMuteOut[ch] = mute;
    return finish(sendByte(uint8_t(kAKOutputVolume + ch), mute ? 0 : mVolOut[ch]));
}

bool QNAJCodecAK4524::muteIn(int ch, bool mute, bool force) {
    if (!validChannel(ch)) return false;
    if (unchanged(mMuteIn[ch] == mute, force)) return true;
    mMuteIn[ch] = mute;
    return finish(sendByte(uint8_t(kAKInputVolume + ch), mute ? 0 : mVolIn[ch]));
}

bool QNAJCodecAK4524::volOut(int ch, uint8_t value, bool force) {
    if (!validChannel(ch)) return false;
    value &= 0x7F;
    if (unchanged(mVolOut[ch] == value, force)) return true;
    mVolOut[ch] = value;
    return finish(sendByte(uint8_t(kAKOutputVolume + ch), mMuteOut[ch] ? 0 : value));
}

bool QNAJCodecAK4524::volIn(int ch, uint8_t value, bool force) {
    if (!validChannel(ch)) return false;
    if (unchanged(mVolIn[ch] == value, force)) return true;
    mVolIn[ch] = value;
    return finish(sendByte(uint8_t(kAKInputVolume + ch), mMuteIn[ch] ? 0 : value));
}

bool QNAJCodecAK4524::getMuteOut(int ch) const {
    return validChannel(ch) && mMuteOut[ch];
}
bool QNAJCodecAK4524::getMuteIn(int ch) const {
    return validChannel(ch) && mMuteIn[ch];
}
uint8_t QNAJCodecAK4524::getVolOut(int ch) const {
    return validChannel(ch) ? mVolOut[ch] : 0;
}
uint8_t QNAJCodecAK4524::getVolIn(int ch) const {
    return validChannel(ch) ? mVolIn[ch] : 0;
}

float QNAJCodecAK4524::volOutToDB(uint8_t value) {
    const uint32_t code = (33u + 2u * (value & 0x0Fu)) << ((value >> 4) & 7u);
    if (code == 8064) return 0.0f;
    if (code == 33) return kSilentDB;
    return float((std::log(double(code - 33)) / 8.991064 - 1.0) * 78.09);
}

float QNAJCodecAK4524::volInToDB(uint8_t value) {
    if (value < 128) return volOutToDB(value);
    const float db = float(value - 128) * 0.5f;
    return db > 18.0f ? 18.0f : db;
}

const char* QNAJCodecAK4524::dbText(float db) {
    if (db == kSilentDB)
        std::snprintf(mText, sizeof mText, "e");
    else
        std::snprintf(mText, sizeof mText, "%.1f", double(db));
    return mText;
}

const char* QNAJCodecAK4524::volOutToDBString(int ch) {
    return dbText(volOutToDB(getVolOut(ch)));
}
const char* QNAJCodecAK4524::volInToDBString(int ch) {
    return dbText(volInToDB(getVolIn(ch)));
}

PemrikRadioValue QNAJCodecAK4524::getRadioValue(int which) const {
    if (!validChannel(which)) return PemrikRadio0;
    const uint8_t field = which == 0 ? (mPort >> 2) & 3 : mPort & 3;
    return field == 2 ? PemrikRadio2 : field == 3 ? PemrikRadio3 : PemrikRadio0;
}

bool QNAJCodecAK4524::radioValue(int which, PemrikRadioValue value, bool force) {
    if (!validChannel(which)) return false;
    const uint8_t field = value == PemrikRadio3 ? 3 : value == PemrikRadio2 ? 2 : 0;
    if (unchanged(getRadioValue(which) == PemrikRadioValue(field), force)) return true;
    const uint8_t b =
        which == 0 ? uint8_t((mPort & 0xF3) | field << 2) : uint8_t((mPort & 0xFC) | field);
    return setPortByte(b, false);
}

bool QNAJCodecAK4524::setPortByte(uint8_t b, bool force) {
    if (unchanged(mPort == (b & kAKPortLines), force)) return true;
    mPort = b & kAKPortLines;
    const bool built = beginByte() && addByte(b | kAKIdle);
    if (built) confirmByte();
    return finish(built);
}

uint8_t QNAJCodecAK4524::getPortByte() const {
    return mPort & kAKPortLines;
}
bool QNAJCodecAK4524::getHWMonitor() const {
    return mPort & kAKMonitorBit;
}

bool QNAJCodecAK4524::setHWMonitor(bool on, bool force) {
    if (unchanged(getHWMonitor() == on, force)) return true;
    return setPortByte(on ? uint8_t(mPort | kAKMonitorBit) : uint8_t(mPort & ~kAKMonitorBit),
                       false);
}

void QNAJCodecAK4524::takeInfo(const PemrikData& d) {
    mPort = uint8_t(d.portByte);
    for (int ch = 0; ch < 2; ++ch) {
        mMuteIn[ch] = d.muteIn[ch] != 0;
        mMuteOut[ch] = d.muteOut[ch] != 0;
        mVolIn[ch] = uint8_t(d.volIn[ch]);
        mVolOut[ch] = uint8_t(d.volOut[ch]);
    }
}

void QNAJCodecAK4524::buildInfo(PemrikData& d) const {
    d.size = sizeof d;
    d.version = 1;
    d.portByte = mPort;
    for (int ch = 0; ch < 2; ++ch) {
        d.muteIn[ch] = mMuteIn[ch];
        d.muteOut[ch] = mMuteOut[ch];
        d.volIn[ch] = mVolIn[ch];
        d.volOut[ch] = mVolOut[ch];
    }
}

void QNAJCodecAK4524::updatePemrikoData(USBDevice* device) {
    if (!device) return;
    PemrikData d;
    buildInfo(d);
    device->writeAJData(reinterpret_cast<AJCPortBase*>(&d), sizeof d);
}

// ---- WM8776

QNAJCodecWM8776::QNAJCodecWM8776() = default;

bool QNAJCodecWM8776::addBit(bool one) {
    return one ? addByte(mPort | kWMLatch | kWMData) &&
                     addByte(mPort | kWMLatch | kWMData | kWMClock)
               : addByte(mPort | kWMLatch) && addByte(mPort | kWMLatch | kWMClock);
}

// Start, 7 register bits and 9 value bits (most significant first), then
// the latch pulsed low once.
bool QNAJCodecWM8776::writeRegister(uint16_t reg, uint16_t value) {
    if (!beginByte()) return false;
    bool ok = addByte(mPort | kWMLatch);
    const uint16_t word = uint16_t((reg & 0x7Fu) << 9 | (value & 0x1FFu));
    for (int bit = 15; ok && bit >= 0; --bit)
        ok = addBit(word >> bit & 1);
    ok = ok && addByte(mPort | kWMLatch) && addByte(mPort & 0x7F) && addByte(mPort | kWMLatch);
    if (ok) confirmByte();
    return ok;
}

bool QNAJCodecWM8776::writeMux() {
    const uint16_t value =
        uint16_t(1u << mMux | (mMuteIn[0] ? 0x80u : 0u) | (mMuteIn[1] ? 0x40u : 0u));
    return finish(writeRegister(kWMAdcMux, value));
}

bool QNAJCodecWM8776::setADC_MUX(WM8776_ADC_MUX mux, bool force) {
    if (mux < 0 || mux > 4) return false;
    if (unchanged(mMux == mux, force)) return true;
    mMux = mux;
    return writeMux();
}

bool QNAJCodecWM8776::muteIn(int ch, bool mute, bool force) {
    if (!validChannel(ch)) return false;
    if (unchanged(mMuteIn[ch] == mute, force)) return true;
    mMuteIn[ch] = mute;
    return writeMux();
}

bool QNAJCodecWM8776::getMuteIn(int ch) const {
    return validChannel(ch) && mMuteIn[ch];
}
