// The DMA converter table and its fill routines. Compiled with
// -mgeneral-regs-only: the _ASM-named routines here are held to the same
// register rule as the hand-written members.
#include "driver/transcoders/x86/DMAConverterTable.h"

#include "driver/transcoders/x86/DMAConvertX86.h"

// The slots, by the forms they have. Each list names a slot once; the
// definitions and the fill routines below are generated from them.
// The slot lists and their expansions, laid out as tables: kept out of the formatter.
// clang-format off
#define HX_BRAVA_SLOTS(X)                                                        \
    X(dmaDecode16To08At32Bit_Brava) X(dmaDecode16To16At32Bit_Brava)              \
    X(dmaDecode16To32At32Bit_Brava) X(dmaEncode08_Brava) X(dmaEncode16_Brava)    \
    X(dmaEncode32_Brava)

#define HX_DECODER_SLOTS(X)                                                      \
    X(dmaDecode16To02At32Bit) X(dmaDecode16To04At32Bit) X(dmaDecode16To06At32Bit) \
    X(dmaDecode16To08At32Bit) X(dmaDecode16To10At32Bit) X(dmaDecode16To12At32Bit) \
    X(dmaDecode16To14At32Bit) X(dmaDecode16To16At32Bit) X(dmaDecode32To18At32Bit) \
    X(dmaDecode32To20At32Bit) X(dmaDecode32To22At32Bit) X(dmaDecode32To24At32Bit) \
    X(dmaDecode32To26At32Bit) X(dmaDecode32To28At32Bit) X(dmaDecode32To30At32Bit) \
    X(dmaDecode32To32At32Bit)

// Encoders with a general-purpose form.
#define HX_ENCODER_GP_SLOTS(X)                                                   \
    X(dmaEncode02) X(dmaEncode04) X(dmaEncode06) X(dmaEncode08)                  \
    X(dmaEncode06_Int964) X(dmaEncode08_Int964) X(dmaEncode10_12)                \
    X(dmaEncode10_34) X(dmaEncode10_56) X(dmaEncode10_78) X(dmaEncode10_KX)      \
    X(dmaEncode10_KX_Int964)

// Encoders whose only hand-written form is the MMX one.
#define HX_ENCODER_MMX_ONLY_SLOTS(X)                                             \
    X(dmaEncode16_Int964) X(dmaEncode10) X(dmaEncode12) X(dmaEncode14) X(dmaEncode16)

#define HX_ALL_SLOTS(X)                                                          \
    HX_BRAVA_SLOTS(X) HX_DECODER_SLOTS(X) HX_ENCODER_GP_SLOTS(X) HX_ENCODER_MMX_ONLY_SLOTS(X)

namespace {

// Fills only ever store whole, valid members; nothing orders other memory
// against them.
template <typename F>
inline void fill(std::atomic<F>& slot, F member) {
    slot.store(member, std::memory_order_relaxed);
}

}  // namespace

#define HX_DEFINE_SLOT(slot) std::atomic<DMA_CONVERT_FNC> slot{nullptr};
#define HX_FILL_C(slot) fill(slot, &slot##_C);
#define HX_FILL_ASM(slot) fill(slot, &slot##_ASM);
#define HX_FILL_SSE(slot) fill(slot, &slot##_SSE);

extern "C" {

HX_ALL_SLOTS(HX_DEFINE_SLOT)

std::atomic<CPU_FX_FNC> cpuSaveFX{nullptr};
std::atomic<CPU_FX_FNC> cpuLoadFX{nullptr};

// The MMX members leave the x87 stack empty and the engine's thread keeps no
// floating-point state across a converter call, so there is nothing to save.
void cpuSaveFX_NULL(void) {}
void cpuLoadFX_NULL(void) {}
void cpuSaveFX_ASM(void) {}
void cpuLoadFX_ASM(void) {}

void dmaConvertInit_C(void) { HX_ALL_SLOTS(HX_FILL_C) }

void dmaConvertInit_ASM(void) {
    // The Brava conversions have only the portable form.
    HX_BRAVA_SLOTS(HX_FILL_C)
    HX_DECODER_SLOTS(HX_FILL_ASM)
    HX_ENCODER_GP_SLOTS(HX_FILL_ASM)
    // No general-purpose form exists; the MMX one takes its place.
    fill(dmaEncode16_Int964, &dmaEncode16_Int964_SSE);
}

void dmaConvertInit_SSE64(void) {
    HX_DECODER_SLOTS(HX_FILL_SSE)
    HX_ENCODER_GP_SLOTS(HX_FILL_SSE)
    HX_ENCODER_MMX_ONLY_SLOTS(HX_FILL_SSE)
}

int32_t cpuCheckFeature(int32_t feature) { return (feature >= 1 && feature <= 4) ? 1 : 0; }

void DMAConverterInit(int32_t mode) {
    fill(cpuSaveFX, &cpuSaveFX_NULL);
    fill(cpuLoadFX, &cpuLoadFX_NULL);
    // Portable first, so no slot is ever empty whatever follows.
    dmaConvertInit_C();
    dmaConvertInit_ASM();
    if (mode == 1) {
        dmaConvertInit_C();
        return;
    }
    if (mode == 2)
        return;
    // Feature 2 is the MMX/SSE integer set the MMX forms use.
    if (cpuCheckFeature(2) != 0) {
        fill(cpuSaveFX, &cpuSaveFX_ASM);
        fill(cpuLoadFX, &cpuLoadFX_ASM);
        dmaConvertInit_SSE64();
    }
}

}  // extern "C"
// clang-format on
