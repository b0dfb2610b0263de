#include "driver/clients/AJStatusParsers.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "abi/QN_StateChange.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

namespace {

// ---- Byte-moving parsers --------------------------------------------------

void moveBytes(AJStatusSink& port, int ring, const uint8_t* bytes, uint32_t n) {
    if (n && port.putMidiInput(ring, bytes, n)) port.triggerClient();
}

// ---- Event words ----------------------------------------------------------

constexpr uint32_t kEventMark = 0xB00B; // 0x0B (cable 0, code 11), 0xB0 (control change, channel 1)
// The largest packet an input block holds, and so the most words a packet carries.
constexpr uint32_t kMaxEventPacket = 512;
constexpr uint32_t kMaxEventWords = kMaxEventPacket / 4;

// Walks the transferred event words; stops at a zero word or any word that
// is not a channel-1 control change.
template <class F>
void forEachEvent(AJStatusSink& port, const uint8_t* packet, uint32_t transferred, F&& onEvent) {
    if (!packet) return;
    const uint32_t limit = std::min({transferred, port.packetSize(), kMaxEventPacket});
    for (uint32_t off = 0; off + 4 <= limit; off += 4) {
        const uint32_t word = uint32_t(packet[off]) | uint32_t(packet[off + 1]) << 8 |
                              uint32_t(packet[off + 2]) << 16 | uint32_t(packet[off + 3]) << 24;
        if (word == 0 || (word & 0xFFFF) != kEventMark) return;
        onEvent(packet[off + 2], packet[off + 3]);
    }
}

bool statusValue(AJStatusFields& f, uint8_t cc, uint8_t v) {
    uint16_t& slot = cc == 102 ? f.statusValue1 : f.statusValue2;
    if (slot == v) return false;
    slot = v;
    return true;
}

// Bit 1 of the mode byte changed to `up`: the launch button. On the HX-5100
// a press (bit clear) starts the window, a release within it launches the
// control panel; any other product launches on a clear bit at once.
void launchButton(AJStatusSink& port, bool up) {
    AJStatusFields& f = port.fields();
    if (port.productFlags() & kZrProductHX5100) {
        const uint64_t now = mach_absolute_time();
        if (up) {
            if (f.launchButtonState == 1 && now - f.launchPressTime < kAJLaunchWindow)
                port.stateChange(STC_LAUNCHCONTROLPANEL);
            f.launchButtonState = 0;
        } else if (f.launchButtonState == 0) {
            f.launchButtonState = 1;
            f.launchPressTime = now;
        }
    } else if (!up) {
        port.stateChange(STC_LAUNCHCONTROLPANEL);
    }
}

// ---- Footswitches ---------------------------------------------------------

std::mutex gFootswitchLock;
AJFootswitchTiming gFootswitch{0, 0};

uint64_t systemMillis() {
    return hx::clock::nowNanos() / 1000000;
}

// At most 3 messages per word of a full packet.
class MessageBuffer {
public:
    void add(uint8_t a, uint8_t b, uint8_t c) {
        if (mCount >= kCapacity) return;
        uint8_t* m = mBytes + 3 * mCount++;
        m[0] = a;
        m[1] = b;
        m[2] = c;
    }
    void noteOn(uint8_t k) { add(0x90, k, 0x7F); }
    void noteOff(uint8_t k) { add(0x90, k, 0x00); }
    void switchDown(uint8_t p) { add(0xB0, 0x0F, 0x0E), add(0xB0, 0x2F, uint8_t(0x40 + p)); }
    void switchUp(uint8_t p) { add(0xB0, 0x0F, 0x0E), add(0xB0, 0x2F, p); }
    uint32_t count() const { return mCount; }
    const uint8_t* bytes() const { return mBytes; }

private:
    static constexpr uint32_t kCapacity = 3 * kMaxEventWords;
    uint8_t mBytes[3 * kCapacity];
    uint32_t mCount = 0;
};

// One footswitch event (cc 105 release, 106 press) under the driver-wide
// timing state.
void footswitch(AJStatusFields& f, uint8_t cc, uint8_t v, MessageBuffer& out) {
    const bool press = cc == 106;
    const bool repeat = press && v >= 65 && v <= 67;
    const uint8_t sw = repeat ? uint8_t(v - 64) : v;
    if (sw < 1 || sw > 3) return;
    f.footswitchHeld[sw - 1] = press ? 1 : 0;

    const bool p0 = f.footswitchProtocol == 0;
    const bool m0 = f.footswitchMode == 0;
    std::lock_guard<std::mutex> guard(gFootswitchLock);
    uint32_t& state = gFootswitch.state;
    uint64_t& pushed = gFootswitch.pushedMillis;
    const uint64_t now = systemMillis();

    if (repeat) {
        if (sw == 1 && m0 && (state == 3 || state == 4) &&
            now - pushed > kAJFootswitchShortMillis) {
            if (p0) {
                out.noteOn(93), out.noteOff(93);
                pushed = 0;
            } else {
                out.add(0xB0, 0x0F, 0x0E), out.add(0xB0, 0x2F, 0x43), out.add(0xB0, 0x2F, 0x03);
            }
            state = 0;
        }
        return;
    }

    if (press) {
        switch (sw) {
        case 1:
            if (m0)
                pushed = now, state = 4;
            else if (p0)
                out.noteOn(95), state = 5;
            else
                out.switchDown(5);
            break;
        case 2:
            if (p0)
                m0 ? (out.noteOn(91), state = 1) : (out.noteOn(94), state = 3);
            else
                out.switchDown(m0 ? 1 : 4);
            break;
        case 3:
            if (p0)
                m0 ? (out.noteOn(92), state = 2) : (out.noteOn(93), state = 0);
            else
                out.switchDown(m0 ? 2 : 3);
            break;
        }
        return;
    }

    switch (sw) {
    case 1:
        if (m0) {
            if (state == 4) {
                const bool isShort = now - pushed <= kAJFootswitchShortMillis;
                if (p0) {
                    isShort ? (out.noteOn(94), out.noteOff(94)) : (out.noteOn(93), out.noteOff(93));
                } else {
                    out.add(0xB0, 0x0F, 0x0E);
                    out.add(0xB0, 0x2F, isShort ? 0x44 : 0x43);
                    out.add(0xB0, 0x2F, isShort ? 0x04 : 0x03);
                }
                state = isShort ? 3 : 0;
            }
            pushed = 0;
        } else if (p0) {
            out.noteOff(95), state = 0;
        } else {
            out.switchUp(5);
        }
        break;
    case 2:
        if (p0)
            out.noteOff(m0 ? 91 : 94), state = 0;
        else
            out.switchUp(m0 ? 1 : 4);
        break;
    case 3:
        if (p0)
            out.noteOff(m0 ? 92 : 93), state = 0;
        else
            out.switchUp(m0 ? 2 : 3);
        break;
    }
}

void sendMessages(AJStatusSink& port, const MessageBuffer& messages) {
    if (messages.count() == 0 || !port.midiInputReady()) return;
    const uint32_t n = 3 * messages.count();
    // One log line: the count, then every byte.
    char line[32 + 3 * sizeof(uint8_t) * 3 * 3 * kMaxEventWords];
    int at = std::snprintf(line, sizeof line, "Sending %d bytes to midi", int(n));
    for (uint32_t i = 0; i < n && at > 0 && size_t(at) + 4 < sizeof line; ++i)
        at += std::snprintf(line + at, sizeof line - size_t(at), " %02X",
                            unsigned(messages.bytes()[i]));
    IOLog("%s\n", line);
    moveBytes(port, 0, messages.bytes(), n);
}

} // namespace

// ---- The parsers ----------------------------------------------------------

void inACR_Reg(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    if (packet && port.midiInputReady()) moveBytes(port, 0, packet, transferred);
}

void inACR_M4_M4_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    if (!packet || !port.midiInputReady()) return;
    moveBytes(port, 0, packet, std::min(transferred, 4u));
    if (transferred > 4) moveBytes(port, 1, packet + 4, std::min(transferred - 4, 4u));
}

void inACR_M4_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    if (packet && port.midiInputReady()) moveBytes(port, 0, packet, std::min(transferred, 4u));
}

void inACR_M2(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    if (packet && port.midiInputReady()) moveBytes(port, 0, packet, std::min(transferred, 2u));
}

void inACR_M1_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    if (packet && transferred >= 1 && packet[0] != 0xFD && port.midiInputReady())
        moveBytes(port, 0, packet, 1);
}

void inACR_RX5(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    const uint32_t size = port.packetSize();
    if (packet && size > 0 && port.midiInputReady())
        moveBytes(port, 0, packet, std::min(transferred, size - 1));
}

void inACR_HX5100(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    AJStatusFields& f = port.fields();
    int32_t* levels = port.levels();
    bool statusChanged = false;
    forEachEvent(port, packet, transferred, [&](uint8_t cc, uint8_t v) {
        if (cc == 102 || cc == 103) {
            statusChanged |= statusValue(f, cc, v);
        } else if (cc == 104) {
            if (f.modeWord != kAJModeWordUnknown && ((v ^ f.modeWord) & 0x02)) {
                launchButton(port, v & 0x02);
                f.modeWord = uint16_t((f.modeWord & ~0x02u) | (v & 0x02u));
            }
        } else if (cc >= 107 && cc <= 117) {
            levels[cc - 101] = v;
            if (cc == 107)
                ++levels[31];
            else if (cc == 116)
                IOLog("Get digital in 1 %d\n", int(v));
            else if (cc == 117)
                IOLog("Get digital in 2 %d\n", int(v));
        }
    });
    if (statusChanged) port.stateChange(STC_MixerValuesChanged);
}

void inACR_LX420(AJStatusSink& port, const uint8_t* packet, uint32_t transferred) {
    AJStatusFields& f = port.fields();
    int32_t* levels = port.levels();
    const uint32_t product = port.productFlags();
    bool statusChanged = false, userConfig = false, reconfigure = false, footswitchEvent = false;
    MessageBuffer messages;
    forEachEvent(port, packet, transferred, [&](uint8_t cc, uint8_t v) {
        if (cc == 102 || cc == 103) {
            statusChanged |= statusValue(f, cc, v);
        } else if (cc == 104) {
            if (f.modeWord != kAJModeWordUnknown && v != f.modeWord) {
                if (!((v ^ f.modeWord) & 0x02)) {
                    userConfig = true;
                    if (!((v ^ f.modeWord) & 0x04)) reconfigure = true;
                } else {
                    launchButton(port, v & 0x02);
                }
                if (product & (kZrProductHX5100 | kZrProductLX880))
                    userConfig = reconfigure = false;
            }
            f.modeWord = v;
        } else if (cc == 105 || cc == 106) {
            footswitchEvent = true;
            footswitch(f, cc, v, messages);
        } else if (cc >= 107 && cc <= 117) {
            levels[cc - 101] = v;
            if (cc == 108) ++levels[31];
        }
    });

    if (reconfigure) {
        f.reconfigurePending = 1;
        if (f.modeWord & 0x10) {
            f.inputSelector = 0;
            port.setReadChannels(2, 2);
        } else if (product & kZrProductLX420) {
            const bool second = f.modeWord & 0x08;
            f.inputSelector = second ? 1 : 2;
            second ? port.setReadChannels(4, 6) : port.setReadChannels(6, 4);
        } else if (product & kZrProductLX4xxFamily) {
            port.setReadChannels(2, 2);
        } else {
            port.setReadChannels(6, 4);
        }
    }
    if (statusChanged) port.stateChange(STC_MixerValuesChanged);
    if (userConfig && (product & kZrProductLX4xxFamily)) port.stateChange(STC_ChannelModeChanged);
    if (footswitchEvent) port.stateChange(STC_DeviceStatusChanged);
    sendMessages(port, messages);
}

AJFootswitchTiming ajFootswitchTiming() {
    std::lock_guard<std::mutex> guard(gFootswitchLock);
    return gFootswitch;
}

void ajResetFootswitchTiming() {
    std::lock_guard<std::mutex> guard(gFootswitchLock);
    gFootswitch = {0, 0};
}
