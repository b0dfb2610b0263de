// Byte-packed PCM unpackers and packers.
//
// Real-time path: no allocation, no lock. A layout is a slot codec (how one
// sample sits in its wire bytes) plus, for the frame members, the order of
// the slots; one generic loop per direction does the rest, with the unit
// count computed once.
#include "driver/transcoders/PCMConvert.h"

#include "platform/base/HXLog.h"

#include <atomic>

namespace {

// Ring word bytes: B3 = bits 31..24 ... B0 = bits 7..0.
inline uint8_t byteOf(uint32_t w, unsigned n) {
    return uint8_t(w >> (8 * n));
}

struct Slot16LSB { // b0 = B2, b1 = B3
    static constexpr unsigned kSize = 2;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[1]) << 24) | (uint32_t(b[0]) << 16);
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 2);
        b[1] = byteOf(w, 3);
    }
};
struct Slot16MSB { // b0 = B3, b1 = B2
    static constexpr unsigned kSize = 2;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16);
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 3);
        b[1] = byteOf(w, 2);
    }
};
struct Slot24LSB { // b0 = B1, b1 = B2, b2 = B3
    static constexpr unsigned kSize = 3;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[2]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[0]) << 8);
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 1);
        b[1] = byteOf(w, 2);
        b[2] = byteOf(w, 3);
    }
};
struct Slot24Kestrel { // b0 = B3, b1 = B1, b2 = B2
    static constexpr unsigned kSize = 3;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[0]) << 24) | (uint32_t(b[2]) << 16) | (uint32_t(b[1]) << 8);
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 3);
        b[1] = byteOf(w, 1);
        b[2] = byteOf(w, 2);
    }
};
struct Slot24TUSB { // b0 = B3, b1 = B2, b2 = B1
    static constexpr unsigned kSize = 3;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8);
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 3);
        b[1] = byteOf(w, 2);
        b[2] = byteOf(w, 1);
    }
};
struct Slot32LSB { // b0..b3 = B0..B3
    static constexpr unsigned kSize = 4;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[3]) << 24) | (uint32_t(b[2]) << 16) | (uint32_t(b[1]) << 8) | b[0];
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 0);
        b[1] = byteOf(w, 1);
        b[2] = byteOf(w, 2);
        b[3] = byteOf(w, 3);
    }
};
struct Slot32MSB { // b0..b3 = B3..B0
    static constexpr unsigned kSize = 4;
    static uint32_t get(const uint8_t* b) {
        return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    }
    static void put(uint8_t* b, uint32_t w) {
        b[0] = byteOf(w, 3);
        b[1] = byteOf(w, 2);
        b[2] = byteOf(w, 1);
        b[3] = byteOf(w, 0);
    }
};

// Slot orders. Unpacking: ring sample i = wire slot order[i]. Packing: wire
// slot j = ring sample order[j].
constexpr unsigned kOne[] = {0};
constexpr unsigned kPair[] = {0, 1};
constexpr unsigned kSwap[] = {1, 0};
constexpr unsigned kSwapPairs[] = {2, 3, 0, 1};
constexpr unsigned kMerrow4[] = {0, 2, 1, 3};
constexpr unsigned kMerrow6[] = {0, 3, 1, 4, 2, 5};

#define HX_DEC_SIG(name) "cpu_register_t " #name "(const USB_DEC_DATA *)"
#define HX_ENC_SIG(name) "u_int32_t " #name "(char *, const int32_t *, u_int32_t)"

template <typename Slot, unsigned S, const unsigned (&Order)[S]>
cpu_register_t unpack(const USB_DEC_DATA* p, const char* signature) {
    constexpr unsigned kUnit = Slot::kSize * S;
    if (p == nullptr) return 0;
    const u_int32_t units = p->nBytes / kUnit;
    if (units * kUnit != p->nBytes)
        IOLog("ERROR %s : numExpectedBytes:%d !=  pDecData->nBytes:%d\n", signature,
              int(units * kUnit), int(p->nBytes));
    if (p->pOut == nullptr || p->pIn == nullptr || units == 0) return cpu_register_t(units) * S;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(p->pIn);
    int32_t* out = p->pOut;
    for (u_int32_t u = 0; u < units; ++u) {
        for (unsigned i = 0; i < S; ++i)
            out[i] = int32_t(Slot::get(in + Slot::kSize * Order[i]));
        in += kUnit;
        out += S;
    }
    return cpu_register_t(units) * S;
}

template <typename Slot, unsigned S, const unsigned (&Order)[S]>
u_int32_t pack(char* outBytes, const int32_t* in, u_int32_t numBytes, const char* signature) {
    constexpr unsigned kUnit = Slot::kSize * S;
    const u_int32_t units = numBytes / kUnit;
    if (units * kUnit != numBytes)
        IOLog("ERROR %s : numExpectedBytes:%d !=  numBytes:%d\n", signature, int(units * kUnit),
              int(numBytes));
    if (outBytes == nullptr || in == nullptr || units == 0) return units * S;
    uint8_t* out = reinterpret_cast<uint8_t*>(outBytes);
    for (u_int32_t u = 0; u < units; ++u) {
        for (unsigned j = 0; j < S; ++j)
            Slot::put(out + Slot::kSize * j, uint32_t(in[Order[j]]));
        out += kUnit;
        in += S;
    }
    return units * S;
}

// 4-channel frames, wire pair k = ring pair Digit_k. Counting is in samples;
// only whole frames are written.
template <unsigned Digit0, unsigned Digit1>
u_int32_t packLX150(char* outBytes, const int32_t* in, u_int32_t numBytes, const char* signature) {
    const u_int32_t samples = numBytes / 3;
    if (samples * 3 != numBytes)
        IOLog("ERROR %s : numExpectedBytes:%d !=  numBytes:%d\n", signature, int(samples * 3),
              int(numBytes));
    if (outBytes == nullptr || in == nullptr) return samples;
    uint8_t* out = reinterpret_cast<uint8_t*>(outBytes);
    const u_int32_t frames = samples / 4;
    for (u_int32_t f = 0; f < frames; ++f) {
        Slot24LSB::put(out + 0, uint32_t(in[2 * Digit0]));
        Slot24LSB::put(out + 3, uint32_t(in[2 * Digit0 + 1]));
        Slot24LSB::put(out + 6, uint32_t(in[2 * Digit1]));
        Slot24LSB::put(out + 9, uint32_t(in[2 * Digit1 + 1]));
        out += 12;
        in += 4;
    }
    return samples;
}

// Each placeholder reports itself on its first call after being armed.
std::atomic<bool> gFromPlaceholderArmed{true};
std::atomic<bool> gToPlaceholderArmed{true};
static_assert(std::atomic<bool>::is_always_lock_free);

} // namespace

#define HX_UNPACKER(name, Slot, S, Order)                                                          \
    cpu_register_t name(const USB_DEC_DATA* pDecData) {                                            \
        return unpack<Slot, S, Order>(pDecData, HX_DEC_SIG(name));                                 \
    }
#define HX_PACKER(name, Slot, S, Order)                                                            \
    u_int32_t name(char* out, const int32_t* in, u_int32_t numBytes) {                             \
        return pack<Slot, S, Order>(out, in, numBytes, HX_ENC_SIG(name));                          \
    }

extern "C" {

HX_UNPACKER(pcmFrom16LSB, Slot16LSB, 1, kOne)
HX_UNPACKER(pcmFrom16MSB, Slot16MSB, 1, kOne)
// The low 4 bits of the 24-bit container travel as they are.
HX_UNPACKER(pcmFrom20LSB, Slot24LSB, 1, kOne)
HX_UNPACKER(pcmFrom24LSB, Slot24LSB, 1, kOne)
HX_UNPACKER(pcmFrom24Kestrel, Slot24Kestrel, 1, kOne)
HX_UNPACKER(pcmFrom24TUSB, Slot24TUSB, 1, kOne)
HX_UNPACKER(pcmFrom32LSB, Slot32LSB, 1, kOne)
HX_UNPACKER(pcmFrom32Msb, Slot32MSB, 1, kOne)
HX_UNPACKER(pcmFrom24TUSB2ch, Slot24TUSB, 2, kPair)
HX_UNPACKER(pcmFrom16LSBChannelSwap, Slot16LSB, 2, kSwap)
HX_UNPACKER(pcmFrom24LSBChannelSwap, Slot24LSB, 2, kSwap)
HX_UNPACKER(pcmFrom16LSBChannelSwapMI_4, Slot16LSB, 4, kSwapPairs)
HX_UNPACKER(pcmFrom24LSBChannelSwapMI_4, Slot24LSB, 4, kSwapPairs)

HX_PACKER(pcmTo16LSB, Slot16LSB, 1, kOne)
HX_PACKER(pcmTo16MSB, Slot16MSB, 1, kOne)
HX_PACKER(pcmTo20LSB, Slot24LSB, 1, kOne)
HX_PACKER(pcmTo24LSB, Slot24LSB, 1, kOne)
HX_PACKER(pcmTo24Kestrel, Slot24Kestrel, 1, kOne)
HX_PACKER(pcmTo24TUSB, Slot24TUSB, 1, kOne)
HX_PACKER(pcmTo32LSB, Slot32LSB, 1, kOne)
HX_PACKER(pcmTo32Msb, Slot32MSB, 1, kOne)
HX_PACKER(pcmTo24TUSB2ch, Slot24TUSB, 2, kPair)
HX_PACKER(pcmTo16LSBChannelSwap, Slot16LSB, 2, kSwap)
HX_PACKER(pcmTo24LSBChannelSwap, Slot24LSB, 2, kSwap)
HX_PACKER(pcmTo24Merrow4CH, Slot24LSB, 4, kMerrow4)
HX_PACKER(pcmTo24Merrow6CH, Slot24LSB, 6, kMerrow6)

u_int32_t pcmTo24LSB_LX150_00(char* out, const int32_t* in, u_int32_t numBytes) {
    return packLX150<0, 0>(out, in, numBytes, HX_ENC_SIG(pcmTo24LSB_LX150_00));
}
u_int32_t pcmTo24LSB_LX150_10(char* out, const int32_t* in, u_int32_t numBytes) {
    return packLX150<1, 0>(out, in, numBytes, HX_ENC_SIG(pcmTo24LSB_LX150_10));
}
u_int32_t pcmTo24LSB_LX150_11(char* out, const int32_t* in, u_int32_t numBytes) {
    return packLX150<1, 1>(out, in, numBytes, HX_ENC_SIG(pcmTo24LSB_LX150_11));
}

// The device that selects these gets no converted audio; logging every call
// would flood the log from the real-time thread once a millisecond.
cpu_register_t pcmFrom24TUSBMSB(const USB_DEC_DATA*) {
    if (gFromPlaceholderArmed.exchange(false, std::memory_order_relaxed))
        IOLog("pcmFrom24TUSBMSB\n");
    return 0;
}

u_int32_t pcmTo24TUSBMSB(char*, const int32_t*, u_int32_t) {
    if (gToPlaceholderArmed.exchange(false, std::memory_order_relaxed)) IOLog("pcmTo24TUSBMSB\n");
    return 0;
}

void pcmRearmPlaceholders(void) {
    gFromPlaceholderArmed.store(true, std::memory_order_relaxed);
    gToPlaceholderArmed.store(true, std::memory_order_relaxed);
}

} // extern "C"
