// Byte-packed PCM unpackers (wire -> ring) and packers (ring -> wire) of the
// isochronous devices.
//
// Each member works in whole units of U wire bytes carrying S ring samples
// (one sample, or a whole frame for the members that reorder channels). A
// byte count that is not a whole number of units is logged and the whole
// units are still converted; the bytes past the last whole unit are neither
// read nor written. Null buffers are not an error: the member returns the
// count it would have produced and touches nothing, which is how the engine
// asks a packer how many samples a packet holds.
//
// Real-time path: no allocation, no lock; the only log lines are the
// byte-count error and the placeholders' first-call line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

typedef uint64_t cpu_register_t;

// The one argument of every unpacker. Output first, unlike the DMA record.
typedef struct _USB_DEC_DATA {
    int32_t* pOut;    // ring samples to write
    const char* pIn;  // wire bytes to read, no alignment promised
    u_int32_t nBytes; // wire bytes available at pIn
} USB_DEC_DATA;

static_assert(offsetof(USB_DEC_DATA, pOut) == 0);
static_assert(offsetof(USB_DEC_DATA, pIn) == 8);
static_assert(offsetof(USB_DEC_DATA, nBytes) == 16);
static_assert(sizeof(USB_DEC_DATA) == 24);

// Unpacker: returns the ring samples written.
typedef cpu_register_t (*USB_DEC_FNC)(const USB_DEC_DATA* pDecData);
// Packer: writes numBytes wire bytes, returns the ring samples consumed.
typedef u_int32_t (*USB_ENC_FNC)(char* out, const int32_t* in, u_int32_t numBytes);

extern "C" {

// Unpackers.
cpu_register_t pcmFrom16LSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom16MSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom20LSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24LSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24Kestrel(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24TUSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom32LSB(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom32Msb(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24TUSB2ch(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom16LSBChannelSwap(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24LSBChannelSwap(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom16LSBChannelSwapMI_4(const USB_DEC_DATA* pDecData);
cpu_register_t pcmFrom24LSBChannelSwapMI_4(const USB_DEC_DATA* pDecData);
// Placeholder: converts nothing, returns 0, logs its name once until re-armed.
cpu_register_t pcmFrom24TUSBMSB(const USB_DEC_DATA* pDecData);

// Packers.
u_int32_t pcmTo16LSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo16MSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo20LSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24LSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24Kestrel(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24TUSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo32LSB(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo32Msb(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24TUSB2ch(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo16LSBChannelSwap(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24LSBChannelSwap(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24Merrow4CH(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24Merrow6CH(char* out, const int32_t* in, u_int32_t numBytes);
// 4-channel frames whose wire pair k carries the ring pair named by suffix
// digit k; they return the samples the bytes hold, not the frames written.
u_int32_t pcmTo24LSB_LX150_00(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24LSB_LX150_10(char* out, const int32_t* in, u_int32_t numBytes);
u_int32_t pcmTo24LSB_LX150_11(char* out, const int32_t* in, u_int32_t numBytes);
// Placeholder: converts nothing, returns 0, logs its name once until re-armed.
u_int32_t pcmTo24TUSBMSB(char* out, const int32_t* in, u_int32_t numBytes);

// Lets both placeholders log their line again on their next call. The
// engine calls it whenever it chooses converters, so each choice of a
// placeholder is reported once and the real-time thread is not flooded.
void pcmRearmPlaceholders(void);

} // extern "C"
