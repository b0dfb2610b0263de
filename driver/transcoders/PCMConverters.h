// The PCM unpackers and packers by name, each with the whole unit it works
// in: U wire bytes carrying S ring samples (see PCMConvert.h). The one list
// the tests, the benchmarks and the client harness's report read. The two
// placeholders convert nothing and are not listed.
#pragma once

#include "driver/transcoders/PCMConvert.h"

template <class Function> struct PcmConverterRow {
    const char* name;
    Function function;
    unsigned unitBytes;   // U: wire bytes of one whole unit
    unsigned unitSamples; // S: ring samples of one whole unit
};

inline constexpr PcmConverterRow<USB_DEC_FNC> kPcmUnpackers[] = {
    {"pcmFrom16LSB", pcmFrom16LSB, 2, 1},
    {"pcmFrom16MSB", pcmFrom16MSB, 2, 1},
    {"pcmFrom20LSB", pcmFrom20LSB, 3, 1},
    {"pcmFrom24LSB", pcmFrom24LSB, 3, 1},
    {"pcmFrom24Kestrel", pcmFrom24Kestrel, 3, 1},
    {"pcmFrom24TUSB", pcmFrom24TUSB, 3, 1},
    {"pcmFrom32LSB", pcmFrom32LSB, 4, 1},
    {"pcmFrom32Msb", pcmFrom32Msb, 4, 1},
    {"pcmFrom24TUSB2ch", pcmFrom24TUSB2ch, 6, 2},
    {"pcmFrom16LSBChannelSwap", pcmFrom16LSBChannelSwap, 4, 2},
    {"pcmFrom24LSBChannelSwap", pcmFrom24LSBChannelSwap, 6, 2},
    {"pcmFrom16LSBChannelSwapMI_4", pcmFrom16LSBChannelSwapMI_4, 8, 4},
    {"pcmFrom24LSBChannelSwapMI_4", pcmFrom24LSBChannelSwapMI_4, 12, 4},
};

// The LX150 packers convert whole 4-channel frames but count (and check the
// byte count) per 3-byte sample.
inline constexpr PcmConverterRow<USB_ENC_FNC> kPcmPackers[] = {
    {"pcmTo16LSB", pcmTo16LSB, 2, 1},
    {"pcmTo16MSB", pcmTo16MSB, 2, 1},
    {"pcmTo20LSB", pcmTo20LSB, 3, 1},
    {"pcmTo24LSB", pcmTo24LSB, 3, 1},
    {"pcmTo24Kestrel", pcmTo24Kestrel, 3, 1},
    {"pcmTo24TUSB", pcmTo24TUSB, 3, 1},
    {"pcmTo32LSB", pcmTo32LSB, 4, 1},
    {"pcmTo32Msb", pcmTo32Msb, 4, 1},
    {"pcmTo24TUSB2ch", pcmTo24TUSB2ch, 6, 2},
    {"pcmTo16LSBChannelSwap", pcmTo16LSBChannelSwap, 4, 2},
    {"pcmTo24LSBChannelSwap", pcmTo24LSBChannelSwap, 6, 2},
    {"pcmTo24Merrow4CH", pcmTo24Merrow4CH, 12, 4},
    {"pcmTo24Merrow6CH", pcmTo24Merrow6CH, 18, 6},
    {"pcmTo24LSB_LX150_00", pcmTo24LSB_LX150_00, 12, 4},
    {"pcmTo24LSB_LX150_10", pcmTo24LSB_LX150_10, 12, 4},
    {"pcmTo24LSB_LX150_11", pcmTo24LSB_LX150_11, 12, 4},
};

// The listed name of a converter; null for one the table does not hold.
template <class Function, unsigned N>
constexpr const char* pcmConverterName(const PcmConverterRow<Function> (&rows)[N], Function f) {
    for (const PcmConverterRow<Function>& row : rows)
        if (row.function == f) return row.name;
    return nullptr;
}
inline const char* pcmConverterName(USB_DEC_FNC f) {
    return pcmConverterName(kPcmUnpackers, f);
}
inline const char* pcmConverterName(USB_ENC_FNC f) {
    return pcmConverterName(kPcmPackers, f);
}
