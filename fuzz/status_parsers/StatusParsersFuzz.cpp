// The status parsers on arbitrary packets: any parser, product, mode word,
// footswitch settings and transferred length. The packet buffer holds
// exactly the transferred bytes, so any read past them is caught; every
// effect the parsers report must stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/clients/AJStatusParsers.h"
#include "driver/engine/config/ZrConfigProducts.h"

namespace {

class FuzzPort : public AJStatusSink {
public:
    AJStatusFields& fields() override { return f; }
    uint32_t productFlags() const override { return flags; }
    uint32_t packetSize() const override { return packet; }
    int32_t* levels() override { return lv.get(); }
    void stateChange(uint32_t code) override {
        if (code != 34 && code != 35 && code != 36 && code != 48) __builtin_trap();
    }
    void setReadChannels(int in, int out) override {
        if (in < 2 || in > 6 || out < 2 || out > 6) __builtin_trap();
    }
    bool midiInputReady() const override { return attached; }
    uint32_t putMidiInput(int ring, const uint8_t* b, uint32_t n) override {
        if (ring != 0 && ring != 1) __builtin_trap();
        uint32_t sum = 0;
        for (uint32_t i = 0; i < n; ++i)
            sum += b[i]; // every byte handed over must be readable
        return n + (sum & 0);
    }
    void triggerClient() override {}

    AJStatusFields f;
    uint32_t flags = 0;
    uint32_t packet = 512;
    bool attached = true;
    std::unique_ptr<int32_t[]> lv = std::make_unique<int32_t[]>(kAJLevelEntries);
};

constexpr AJStatusParser kParsers[] = {inACR_Reg,   inACR_M4_M4_C1, inACR_M4_C1,  inACR_M2,
                                       inACR_M1_C1, inACR_RX5,      inACR_HX5100, inACR_LX420};
constexpr uint32_t kProducts[] = {0,
                                  kZrProductHX5100,
                                  kZrProductLX880,
                                  kZrProductLX420,
                                  kZrProductLX4xxFurther,
                                  kZrProductLX4xxFixed18};
constexpr uint32_t kPacketSizes[] = {512, 9, 16, 42, 64};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    FuzzPort port;
    const AJStatusParser parser = kParsers[data[0] % 8];
    port.flags = kProducts[data[1] % 6];
    port.packet = kPacketSizes[(data[1] / 8) % 5];
    port.attached = data[1] & 0x80;
    port.f.modeWord = uint16_t(data[2] | data[3] << 8);
    port.f.footswitchProtocol = data[4] & 1;
    port.f.footswitchMode = (data[4] >> 1) & 1;
    port.f.launchButtonState = (data[4] >> 2) & 1;
    const uint32_t transferred = uint32_t(data[5] | data[6] << 8) % 1025;
    const size_t available = size - 7;
    const uint32_t n = uint32_t(transferred < available ? transferred : available);
    std::unique_ptr<uint8_t[]> packet(new uint8_t[n ? n : 1]);
    std::memcpy(packet.get(), data + 7, n);
    parser(port, packet.get(), n);
    if (port.f.launchButtonState > 1) __builtin_trap();
    return 0;
}
