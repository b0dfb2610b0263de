// The status parsers of the MIDI and control port: one per device family,
// chosen when streaming starts, each called with a completed read of the
// MIDI in pipe.
//
// The byte-moving parsers copy MIDI bytes of fixed packet positions into the
// client's input rings. The event parsers (HX-5100, LX420) read the packet as
// USB-MIDI event words `0B B0 cc vv` (control changes on channel 1) carrying
// the device's status values, mode word, launch button, levels and (LX420)
// footswitches.
//
// A parser reads only transferred bytes (a word only while offset + 4 <=
// transferred): a short read never delivers zero fill as MIDI. The caller
// guarantees that `transferred` bytes of `packet` are readable.
//
// Parsers act on the port through AJStatusSink, so the port, tests and the
// fuzz target supply their own. Time comes from the platform clock.
#pragma once

#include <cstdint>

// Time of absolute time (host ticks) within which a release of the launch
// button after its press launches the control panel: 3,000 s.
constexpr uint64_t kAJLaunchWindow = 3000000000000ull;

// A footswitch-1 release within this many milliseconds of its press is a
// short press.
constexpr uint64_t kAJFootswitchShortMillis = 500;

// The mode word before the device reported it.
constexpr uint16_t kAJModeWordUnknown = 0xFFFF;

// The level entries the event parsers write (of 32).
constexpr uint32_t kAJLevelEntries = 32;

// The device and port fields the parsers read and write.
struct AJStatusFields {
    uint16_t statusValue1 = 0;
    uint16_t statusValue2 = 0;
    uint16_t modeWord = kAJModeWordUnknown;
    uint32_t footswitchMode = 0;
    uint32_t footswitchProtocol = 0;
    uint16_t footswitchHeld[3] = {0, 0, 0};
    uint32_t inputSelector = 0;
    uint8_t reconfigurePending = 0;
    uint32_t launchButtonState = 0; // 1 while the button is held
    uint64_t launchPressTime = 0;   // absolute time of the last press
};

// What a parser needs from its port and device.
class AJStatusSink {
public:
    virtual ~AJStatusSink() = default;
    virtual AJStatusFields& fields() = 0;
    // The device's product flags (ZrConfigProduct).
    virtual uint32_t productFlags() const = 0;
    // The port's packet size (the RX5 parser takes all but its last byte).
    virtual uint32_t packetSize() const = 0;
    // 32 level entries (the client mixer's peaks or a scratch array).
    virtual int32_t* levels() = 0;
    virtual void stateChange(uint32_t code) = 0;
    virtual void setReadChannels(int in, int out) = 0;
    // MIDI input: only while the MIDI area exists and a client is attached.
    virtual bool midiInputReady() const = 0;
    // Stores bytes into input ring 0 or 1 (0xFD dropped); returns bytes stored.
    virtual uint32_t putMidiInput(int ring, const uint8_t* bytes, uint32_t n) = 0;
    virtual void triggerClient() = 0;
};

typedef void (*AJStatusParser)(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);

void inACR_Reg(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_M4_M4_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_M4_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_M2(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_M1_C1(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_RX5(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_HX5100(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);
void inACR_LX420(AJStatusSink& port, const uint8_t* packet, uint32_t transferred);

// The LX420 parser's footswitch timing state, one for the whole driver and
// guarded by its own lock (two devices' completions may run at once).
struct AJFootswitchTiming {
    uint32_t state;        // 0 idle .. 5 switch 1 held in momentary mode
    uint64_t pushedMillis; // press of switch 1, system milliseconds; 0 when none
};
AJFootswitchTiming ajFootswitchTiming();
void ajResetFootswitchTiming();
