// The HX-5100 as a device on the simulated bus: its descriptors, the vendor
// and class requests of its control plane, and its register state.
//
// Identifiers and strings are construction parameters: the product table
// lives with the driver, and whoever plugs the model in passes them.
//
// Power-on state (what a freshly plugged device reports, fixed):
//   sampling rate                 44,100 Hz (one clock for both endpoints)
//   input selector byte           0x02 (internal clock, USB1 mode off, no lock)
//   port register 2               0x02 (bit 1: the launch button, up)
//   transmitter registers 0x0D..0x11: 0x04, 0x00, 0x00, 0x00, 0x0B
//   mixer buffer                  64 zero bytes
//   codec registers               two files of 128 registers (codec 0 on
//                                 wIndex 0x102, the others on 0x106), all 0
//   DSP block (request 0x42)      none received
//   digital input                 absent (setDigitalInput plugs a source)
//   deep sleep                    awake
// A bus reset leaves this state alone (it is not a power cycle); so does the
// replug command 0x52, which is acknowledged and then re-enumerates the
// device with its registers kept.
//
// Deep sleep (vendor request 0x44 OUT, acknowledged): the sample clock and
// streaming stop, the registers above are kept; the next SET_CONFIGURATION
// or bus reset wakes the device.
#pragma once

#include "abi/ProductIdentities.h"
#include "platform/usb/DeviceModel.h"
#include "platform/usb/devices/HX5100Midi.h"
#include "platform/usb/devices/HX5100Stream.h"
#include "platform/usb/devices/TransferKnobs.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace hx::usb::devices {

struct HX5100Identity {
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    uint16_t release = 0x0100;
    std::string manufacturer;
    std::string product;
    std::string serial; // empty: the device has no serial-number string
};

// The HX-5100's own identity: the product identity table's vendor and
// product, and the names the device reports.
inline HX5100Identity hx5100Identity(uint16_t release = 0x0100, std::string serial = {}) {
    return {kKorvexVendorID, kKorvexHX5100ProductID, release, "Korvex",
            "HX-5100",       std::move(serial)};
}

// What vendor request 0x56 reports. The 8-byte reply is {build, major,
// minor x 10 + patch, 0...}, so the driver's version word reads
// major.minor.patch.build; the 15-byte reply repeats the first four bytes
// and carries the version text from byte 4 (11 characters at most).
struct HX5100Firmware {
    uint8_t major = 1;
    uint8_t minor = 2;
    uint8_t patch = 3;
    uint8_t build = 4;
    std::string text = "1.2.3";
};

class HX5100Model : public DeviceModel {
public:
    static constexpr uint32_t kPowerOnSampleRate = 44100;
    static constexpr uint8_t kPowerOnSelector = 0x02;
    static constexpr uint8_t kPowerOnPortRegister2 = 0x02;
    static constexpr uint8_t kFirstTransmitterRegister = 0x0D;
    static constexpr std::array<uint8_t, 5> kPowerOnTransmitter = {0x04, 0x00, 0x00, 0x00, 0x0B};

    HX5100Model(uint8_t speed, HX5100Identity identity, HX5100Firmware firmware = {});

    std::span<const uint8_t> deviceDescriptor() const override;
    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index,
                                                         uint16_t language) const override;

    uint32_t sampleRate() const;
    uint8_t selectorByte() const;
    uint8_t portRegister2() const;
    uint8_t transmitterRegister(uint8_t reg) const; // 0x0D..0x11
    std::array<uint8_t, 64> mixerBuffer() const;
    bool isDeepSleeping() const;
    // Deep-sleep commands received since power-on.
    uint32_t deepSleepCount() const;
    // Codec register files: 0 for codec 0 (wIndex 0x102), 1 for the others.
    uint16_t codecRegister(int file, uint8_t reg) const;
    // The last DSP block received, if any, and how many came.
    std::optional<std::array<uint8_t, 256>> dspBlock() const;
    uint32_t dspBlockCount() const;
    // The digital input: absent (nullopt) or present at a rate. Present sets
    // the selector's lock bit; while the selector's internal-clock bit is
    // clear the device runs at that rate and GET_CUR answers it.
    void setDigitalInput(std::optional<uint32_t> rate);
    // Knob: the 8-byte firmware reply stalls (the driver's firmware word
    // then stays 0); the 3- and 15-byte replies still answer. Set before
    // the plug, since the driver reads the word when it starts.
    void setFirmwareWordStalls(bool stalls);
    // Knob: reads of port register 2 (the mode byte) stall.
    void setPortRegisterReadStalls(bool stalls);

    // Streaming (HX5100Stream.h). The configuration applies from the next
    // clock start; set it before streaming.
    void setStreamConfig(const HX5100StreamConfig& config);
    HX5100StreamStats streamStats() const;
    // Marks the lock point of the playback FIFO's fill measurement.
    void markFifoLock();
    uint64_t deviceFrames() const;
    // The next `packets` capture packets carry at most `frames` frames.
    void sendOffSizeInPackets(uint32_t packets, uint32_t frames);

    // The MIDI and status port (HX5100Midi.h).
    void setStatusValues(uint8_t v1, uint8_t v2);
    // Holds (true) or lets go of the launch button: bit 1 of port register
    // 2 clears while held; the change is reported as controller 104.
    void setLaunchButton(bool held);
    void queueEventWords(const std::vector<uint32_t>& words);
    // Bytes sent as they stand on the interrupt IN endpoint.
    void queueMidiInBytes(const std::vector<uint8_t>& bytes);
    // Footswitch events (controllers 105 and 106), as an LX-series device
    // sends them.
    void footswitch(bool press, uint8_t value);
    // The levels controllers 107..117 report every 20 ms.
    void setMidiLevels(const uint8_t (&levels)[HX5100Midi::kLevelControllers]);
    // The port loops every OUT byte back on its IN endpoint (as raw bytes)
    // and sends no event words of its own: a plain MIDI loop.
    void setMidiLoop(bool loop);
    std::vector<uint8_t> midiReceived() const;
    uint64_t midiLastPacketFrame() const;
    std::vector<std::vector<uint8_t>> midiPackets() const;
    uint64_t midiWordsSent() const;
    // Knob: the next transactions on a MIDI endpoint (bulk OUT 0x03,
    // interrupt IN 0x83) answer `fault` (TransferKnobs.h).
    void armMidiFault(uint8_t address, const EndpointFault& fault);

    // One row of the class and vendor request table: a request is handled by
    // the row whose type, request and index (kAnyIndex: every index) match.
    static constexpr int32_t kAnyIndex = -1;
    using Handler = ControlResult (HX5100Model::*)(const StandardUSB::DeviceRequest&, uint8_t*);
    struct RequestRow {
        uint8_t requestType;
        uint8_t request;
        int32_t index;
        Handler handler;
        const char* name;
    };
    static std::span<const RequestRow> requestTable();

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                          uint32_t length) override;
    IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                         uint32_t capacity) override;
    IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                        uint32_t length) override;
    IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) override;
    void onBusReset() override;
    void onSetConfiguration(uint8_t value) override;
    // Under the model's lock.
    bool deepSleeping() const { return mDeepSleep; }
    // Bytes a sample on the wire each way (HX5100Stream::setWireFormat),
    // under the model's lock.
    void setWireFormatLocked(uint32_t inSampleBytes, uint32_t outSampleBytes) {
        mStream.setWireFormat(inSampleBytes, outSampleBytes);
    }

private:
    ControlResult firmwareInfo(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    // The 3-byte reply: {build, major, minor x 10 + patch}.
    ControlResult firmwareHead(uint8_t* data) const;
    ControlResult readSelector(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeSelector(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult readPortRegister2(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writePortRegister2(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeMixerBuffer(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeMixerValues(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult readTransmitter(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeTransmitter(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult getSampleRate(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult setSampleRate(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult deepSleep(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeCodec(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult writeDspBlock(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    ControlResult replug(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    // The rate the device runs at: the digital input's while it follows it.
    uint32_t runningRate() const;
    uint8_t selectorLocked() const;

    HX5100Identity mIdentity;
    HX5100Firmware mFirmware;
    std::atomic<bool> mFirmwareWordStalls{false};
    std::atomic<bool> mPortRegisterReadStalls{false};
    std::array<uint8_t, 18> mDeviceDescriptor;
    // Guarded by the model's lock (requests run under it).
    uint32_t mSampleRate = kPowerOnSampleRate;
    uint8_t mSelector = kPowerOnSelector;
    uint8_t mPortRegister2 = kPowerOnPortRegister2;
    std::array<uint8_t, 5> mTransmitter = kPowerOnTransmitter;
    std::array<uint8_t, 64> mMixer{};
    bool mDeepSleep = false;
    TransferKnobs mMidiKnobs; // under the lock
    uint32_t mDeepSleepCount = 0;
    HX5100Stream mStream;
    std::array<std::array<uint16_t, 128>, 2> mCodec{};
    std::optional<std::array<uint8_t, 256>> mDspBlock;
    uint32_t mDspBlocks = 0;
    std::optional<uint32_t> mDigitalRate;
    HX5100Midi mMidi;
};

} // namespace hx::usb::devices
