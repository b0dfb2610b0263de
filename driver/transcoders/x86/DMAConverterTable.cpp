// The DMA converter table and its fill routines. Compiled with
// -mgeneral-regs-only: the _ASM-named routines here are held to the same
// register rule as the hand-written members.
#include "driver/transcoders/x86/DMAConverterTable.h"

#include "driver/transcoders/x86/DMAConvertX86.h"

namespace {

// Fills only ever store whole, valid members; nothing orders other memory
// against them.
template <typename F>
inline void fill(std::atomic<F>& slot, F member) {
    slot.store(member, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

std::atomic<DMA_CONVERT_FNC> dmaDecode16To08At32Bit_Brava{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To16At32Bit_Brava{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To32At32Bit_Brava{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode08_Brava{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode16_Brava{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode32_Brava{nullptr};

std::atomic<DMA_CONVERT_FNC> dmaDecode16To02At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To04At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To06At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To08At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To10At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To12At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To14At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode16To16At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To18At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To20At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To22At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To24At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To26At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To28At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To30At32Bit{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaDecode32To32At32Bit{nullptr};

std::atomic<DMA_CONVERT_FNC> dmaEncode02{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode04{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode06{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode08{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode06_Int964{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode08_Int964{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode16_Int964{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode12{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode14{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode16{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_12{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_34{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_56{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_78{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_KX{nullptr};
std::atomic<DMA_CONVERT_FNC> dmaEncode10_KX_Int964{nullptr};

std::atomic<CPU_FX_FNC> cpuSaveFX{nullptr};
std::atomic<CPU_FX_FNC> cpuLoadFX{nullptr};

// The MMX members leave the x87 stack empty and the engine's thread keeps no
// floating-point state across a converter call, so there is nothing to save.
void cpuSaveFX_NULL(void) {}
void cpuLoadFX_NULL(void) {}
void cpuSaveFX_ASM(void) {}
void cpuLoadFX_ASM(void) {}

void dmaConvertInit_C(void) {
    fill(dmaDecode16To08At32Bit_Brava, &dmaDecode16To08At32Bit_Brava_C);
    fill(dmaDecode16To16At32Bit_Brava, &dmaDecode16To16At32Bit_Brava_C);
    fill(dmaDecode16To32At32Bit_Brava, &dmaDecode16To32At32Bit_Brava_C);
    fill(dmaEncode08_Brava, &dmaEncode08_Brava_C);
    fill(dmaEncode16_Brava, &dmaEncode16_Brava_C);
    fill(dmaEncode32_Brava, &dmaEncode32_Brava_C);

    fill(dmaDecode16To02At32Bit, &dmaDecode16To02At32Bit_C);
    fill(dmaDecode16To04At32Bit, &dmaDecode16To04At32Bit_C);
    fill(dmaDecode16To06At32Bit, &dmaDecode16To06At32Bit_C);
    fill(dmaDecode16To08At32Bit, &dmaDecode16To08At32Bit_C);
    fill(dmaDecode16To10At32Bit, &dmaDecode16To10At32Bit_C);
    fill(dmaDecode16To12At32Bit, &dmaDecode16To12At32Bit_C);
    fill(dmaDecode16To14At32Bit, &dmaDecode16To14At32Bit_C);
    fill(dmaDecode16To16At32Bit, &dmaDecode16To16At32Bit_C);
    fill(dmaDecode32To18At32Bit, &dmaDecode32To18At32Bit_C);
    fill(dmaDecode32To20At32Bit, &dmaDecode32To20At32Bit_C);
    fill(dmaDecode32To22At32Bit, &dmaDecode32To22At32Bit_C);
    fill(dmaDecode32To24At32Bit, &dmaDecode32To24At32Bit_C);
    fill(dmaDecode32To26At32Bit, &dmaDecode32To26At32Bit_C);
    fill(dmaDecode32To28At32Bit, &dmaDecode32To28At32Bit_C);
    fill(dmaDecode32To30At32Bit, &dmaDecode32To30At32Bit_C);
    fill(dmaDecode32To32At32Bit, &dmaDecode32To32At32Bit_C);

    fill(dmaEncode02, &dmaEncode02_C);
    fill(dmaEncode04, &dmaEncode04_C);
    fill(dmaEncode06, &dmaEncode06_C);
    fill(dmaEncode08, &dmaEncode08_C);
    fill(dmaEncode06_Int964, &dmaEncode06_Int964_C);
    fill(dmaEncode08_Int964, &dmaEncode08_Int964_C);
    fill(dmaEncode16_Int964, &dmaEncode16_Int964_C);
    fill(dmaEncode10, &dmaEncode10_C);
    fill(dmaEncode12, &dmaEncode12_C);
    fill(dmaEncode14, &dmaEncode14_C);
    fill(dmaEncode16, &dmaEncode16_C);
    fill(dmaEncode10_12, &dmaEncode10_12_C);
    fill(dmaEncode10_34, &dmaEncode10_34_C);
    fill(dmaEncode10_56, &dmaEncode10_56_C);
    fill(dmaEncode10_78, &dmaEncode10_78_C);
    fill(dmaEncode10_KX, &dmaEncode10_KX_C);
    fill(dmaEncode10_KX_Int964, &dmaEncode10_KX_Int964_C);
}

void dmaConvertInit_ASM(void) {
    // The Brava conversions have only the portable form.
    fill(dmaDecode16To08At32Bit_Brava, &dmaDecode16To08At32Bit_Brava_C);
    fill(dmaDecode16To16At32Bit_Brava, &dmaDecode16To16At32Bit_Brava_C);
    fill(dmaDecode16To32At32Bit_Brava, &dmaDecode16To32At32Bit_Brava_C);
    fill(dmaEncode08_Brava, &dmaEncode08_Brava_C);
    fill(dmaEncode16_Brava, &dmaEncode16_Brava_C);
    fill(dmaEncode32_Brava, &dmaEncode32_Brava_C);

    fill(dmaDecode16To02At32Bit, &dmaDecode16To02At32Bit_ASM);
    fill(dmaDecode16To04At32Bit, &dmaDecode16To04At32Bit_ASM);
    fill(dmaDecode16To06At32Bit, &dmaDecode16To06At32Bit_ASM);
    fill(dmaDecode16To08At32Bit, &dmaDecode16To08At32Bit_ASM);
    fill(dmaDecode16To10At32Bit, &dmaDecode16To10At32Bit_ASM);
    fill(dmaDecode16To12At32Bit, &dmaDecode16To12At32Bit_ASM);
    fill(dmaDecode16To14At32Bit, &dmaDecode16To14At32Bit_ASM);
    fill(dmaDecode16To16At32Bit, &dmaDecode16To16At32Bit_ASM);
    fill(dmaDecode32To18At32Bit, &dmaDecode32To18At32Bit_ASM);
    fill(dmaDecode32To20At32Bit, &dmaDecode32To20At32Bit_ASM);
    fill(dmaDecode32To22At32Bit, &dmaDecode32To22At32Bit_ASM);
    fill(dmaDecode32To24At32Bit, &dmaDecode32To24At32Bit_ASM);
    fill(dmaDecode32To26At32Bit, &dmaDecode32To26At32Bit_ASM);
    fill(dmaDecode32To28At32Bit, &dmaDecode32To28At32Bit_ASM);
    fill(dmaDecode32To30At32Bit, &dmaDecode32To30At32Bit_ASM);
    fill(dmaDecode32To32At32Bit, &dmaDecode32To32At32Bit_ASM);

    fill(dmaEncode02, &dmaEncode02_ASM);
    fill(dmaEncode04, &dmaEncode04_ASM);
    fill(dmaEncode06, &dmaEncode06_ASM);
    fill(dmaEncode08, &dmaEncode08_ASM);
    fill(dmaEncode06_Int964, &dmaEncode06_Int964_ASM);
    fill(dmaEncode08_Int964, &dmaEncode08_Int964_ASM);
    // No general-purpose form exists; the MMX one takes its place.
    fill(dmaEncode16_Int964, &dmaEncode16_Int964_SSE);
    fill(dmaEncode10_12, &dmaEncode10_12_ASM);
    fill(dmaEncode10_34, &dmaEncode10_34_ASM);
    fill(dmaEncode10_56, &dmaEncode10_56_ASM);
    fill(dmaEncode10_78, &dmaEncode10_78_ASM);
    fill(dmaEncode10_KX, &dmaEncode10_KX_ASM);
    fill(dmaEncode10_KX_Int964, &dmaEncode10_KX_Int964_ASM);
}

void dmaConvertInit_SSE64(void) {
    fill(dmaDecode16To02At32Bit, &dmaDecode16To02At32Bit_SSE);
    fill(dmaDecode16To04At32Bit, &dmaDecode16To04At32Bit_SSE);
    fill(dmaDecode16To06At32Bit, &dmaDecode16To06At32Bit_SSE);
    fill(dmaDecode16To08At32Bit, &dmaDecode16To08At32Bit_SSE);
    fill(dmaDecode16To10At32Bit, &dmaDecode16To10At32Bit_SSE);
    fill(dmaDecode16To12At32Bit, &dmaDecode16To12At32Bit_SSE);
    fill(dmaDecode16To14At32Bit, &dmaDecode16To14At32Bit_SSE);
    fill(dmaDecode16To16At32Bit, &dmaDecode16To16At32Bit_SSE);
    fill(dmaDecode32To18At32Bit, &dmaDecode32To18At32Bit_SSE);
    fill(dmaDecode32To20At32Bit, &dmaDecode32To20At32Bit_SSE);
    fill(dmaDecode32To22At32Bit, &dmaDecode32To22At32Bit_SSE);
    fill(dmaDecode32To24At32Bit, &dmaDecode32To24At32Bit_SSE);
    fill(dmaDecode32To26At32Bit, &dmaDecode32To26At32Bit_SSE);
    fill(dmaDecode32To28At32Bit, &dmaDecode32To28At32Bit_SSE);
    fill(dmaDecode32To30At32Bit, &dmaDecode32To30At32Bit_SSE);
    fill(dmaDecode32To32At32Bit, &dmaDecode32To32At32Bit_SSE);

    fill(dmaEncode02, &dmaEncode02_SSE);
    fill(dmaEncode04, &dmaEncode04_SSE);
    fill(dmaEncode06, &dmaEncode06_SSE);
    fill(dmaEncode08, &dmaEncode08_SSE);
    fill(dmaEncode06_Int964, &dmaEncode06_Int964_SSE);
    fill(dmaEncode08_Int964, &dmaEncode08_Int964_SSE);
    fill(dmaEncode16_Int964, &dmaEncode16_Int964_SSE);
    fill(dmaEncode10, &dmaEncode10_SSE);
    fill(dmaEncode12, &dmaEncode12_SSE);
    fill(dmaEncode14, &dmaEncode14_SSE);
    fill(dmaEncode16, &dmaEncode16_SSE);
    fill(dmaEncode10_12, &dmaEncode10_12_SSE);
    fill(dmaEncode10_34, &dmaEncode10_34_SSE);
    fill(dmaEncode10_56, &dmaEncode10_56_SSE);
    fill(dmaEncode10_78, &dmaEncode10_78_SSE);
    fill(dmaEncode10_KX, &dmaEncode10_KX_SSE);
    fill(dmaEncode10_KX_Int964, &dmaEncode10_KX_Int964_SSE);
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
