// The device object over shared areas any process can write: the driver
// area, the input and output rings and the two vendor areas are laid out
// here, as the kernel would map them, and then written as the input says.
// The device reads its names, builds its IO buffers, runs cycles and hands
// back vendor completions. Oracle: no sanitizer report (no read or write
// outside the device's own buffers and the areas).
//
// Input: byte 0 holds the number of cycles (low two bits, plus one) and a
// frame-size choice (bits 2..3: 64, 256, 512, 4096); then records, each
// [area u8][offset u32 little-endian][length u8][bytes], written into the
// areas (area modulo 5: driver area, input ring, output ring, vendor input,
// vendor output; offsets modulo the area's size, cut at its end).
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "device/VendorAsyncTransport.h"
#include "device/ZrOSXDevice.h"

// Lays the areas in where the kernel's mappings would be, and takes them
// away before the device goes.
struct ZrOSXDeviceProbe {
    static void lay(ZrOSXDevice& d, DriverSM* sm, AudioSM* in, AudioSM* out, uint8_t* vin,
                    uint8_t* vout) {
        static_cast<DriverConnection&>(d).mDriverSM = sm;
        d.mInRing = in;
        d.mOutRing = out;
        d.mVendor.attach(vin, vout);
    }
    static void clear(ZrOSXDevice& d) {
        d.mVendor.detach();
        d.mInRing = nullptr;
        d.mOutRing = nullptr;
        static_cast<DriverConnection&>(d).mDriverSM = nullptr;
    }
    static bool readNames(ZrOSXDevice& d) { return d.readNames(); }
    static uint64_t cycle(ZrOSXDevice& d) { return d.onUSBProc(true); }
};

namespace {

struct Areas {
    std::unique_ptr<DriverSM> sm{new DriverSM()};
    std::unique_ptr<AudioSM> in{new AudioSM()};
    std::unique_ptr<AudioSM> out{new AudioSM()};
    std::vector<uint8_t> vin = std::vector<uint8_t>(VendorAsyncTransport::kAreaBytes);
    std::vector<uint8_t> vout = std::vector<uint8_t>(VendorAsyncTransport::kAreaBytes);

    void clear() {
        std::memset(static_cast<void*>(sm.get()), 0, sizeof(DriverSM));
        std::memset(static_cast<void*>(in.get()), 0, sizeof(AudioSM));
        std::memset(static_cast<void*>(out.get()), 0, sizeof(AudioSM));
        std::fill(vin.begin(), vin.end(), 0);
        std::fill(vout.begin(), vout.end(), 0);
    }
    void write(uint8_t area, uint32_t offset, const uint8_t* data, size_t length) {
        uint8_t* base = nullptr;
        size_t size = 0;
        switch (area % 5) {
        case 0:
            base = reinterpret_cast<uint8_t*>(sm.get()), size = sizeof(DriverSM);
            break;
        case 1:
            base = reinterpret_cast<uint8_t*>(in.get()), size = sizeof(AudioSM);
            break;
        case 2:
            base = reinterpret_cast<uint8_t*>(out.get()), size = sizeof(AudioSM);
            break;
        case 3:
            base = vin.data(), size = vin.size();
            break;
        default:
            base = vout.data(), size = vout.size();
            break;
        }
        offset %= uint32_t(size);
        if (length > size - offset) length = size - offset;
        std::memcpy(base + offset, data, length);
    }
};

OSStatus silentProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                    const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*, void*) {
    if (out && out->mBuffers[0].mData)
        std::memset(out->mBuffers[0].mData, 0, out->mBuffers[0].mDataByteSize);
    return 0;
}

void completed(void* context, uint32_t, uint32_t length, uint64_t) {
    *static_cast<uint64_t*>(context) += length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static Areas* areas = new Areas;
    areas->clear();
    const int cycles = 1 + (data[0] & 3);
    static constexpr uint32_t kFrameSizes[4] = {64, 256, 512, 4096};
    const uint32_t frames = kFrameSizes[(data[0] >> 2) & 3];

    auto* device = new ZrOSXDevice(nullptr, nullptr, 0, nullptr);
    device->incReferences();
    ZrOSXDeviceProbe::lay(*device, areas->sm.get(), areas->in.get(), areas->out.get(),
                          areas->vin.data(), areas->vout.data());
    // Requests the kernel would complete into the areas the input writes.
    uint8_t readBack[64];
    const uint8_t payload[16] = {1, 2, 3, 4};
    device->vendorAsyncRead(readBack, sizeof readBack, 1);
    device->vendorAsyncWrite(payload, sizeof payload, 2);
    for (size_t i = 1; i + 6 <= size;) {
        const uint8_t area = data[i];
        uint32_t offset;
        std::memcpy(&offset, data + i + 1, 4);
        size_t length = data[i + 5];
        i += 6;
        if (length > size - i) length = size - i;
        areas->write(area, offset, data + i, length);
        i += length;
    }
    IOProcEntry* entry = device->addIOProcID(&silentProc, nullptr);
    ZrOSXDeviceProbe::readNames(*device);
    device->setFrameSize(frames, false, true);
    device->createIOBuffers();
    for (int c = 0; c < cycles; ++c)
        ZrOSXDeviceProbe::cycle(*device);
    uint64_t bytes = 0;
    device->vendorAsyncCheck(&completed, &completed, &bytes);
    device->removeIOProcID(entry);
    ZrOSXDeviceProbe::clear(*device);
    device->decReferences();
    return 0;
}
