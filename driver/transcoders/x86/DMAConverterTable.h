// The DMA converter table: one slot per bit-sliced conversion, filled once
// when the kernel driver loads with the portable, general-purpose or MMX
// forms, and two hooks for saving the floating-point/SIMD state around the
// MMX forms (they do nothing here: nothing on this platform needs it, and
// nothing calls them).
//
// The engine's choosers copy a slot's value when streaming is configured;
// the real-time thread calls that copy, never the slot. A slot is written
// whole, and every value it ever holds is a complete member with the slot's
// contract, so a chooser racing a second device's fill still gets a working
// converter. The slots are atomics so that race is a defined one: read a
// slot with an ordinary copy (`DMA_CONVERT_FNC f = dmaEncode08;`).
#pragma once

#include "driver/transcoders/DMAConvert.h"

#include <atomic>

typedef void (*CPU_FX_FNC)(void);

extern "C" {

// Brava product (portable form only).
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To08At32Bit_Brava;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To16At32Bit_Brava;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To32At32Bit_Brava;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode08_Brava;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode16_Brava;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode32_Brava;

extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To02At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To04At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To06At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To08At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To10At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To12At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To14At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode16To16At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To18At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To20At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To22At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To24At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To26At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To28At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To30At32Bit;
extern std::atomic<DMA_CONVERT_FNC> dmaDecode32To32At32Bit;

extern std::atomic<DMA_CONVERT_FNC> dmaEncode02;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode04;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode06;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode08;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode06_Int964;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode08_Int964;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode16_Int964;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode12;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode14;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode16;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_12;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_34;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_56;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_78;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_KX;
extern std::atomic<DMA_CONVERT_FNC> dmaEncode10_KX_Int964;

// Floating-point/SIMD state hooks.
extern std::atomic<CPU_FX_FNC> cpuSaveFX;
extern std::atomic<CPU_FX_FNC> cpuLoadFX;

void cpuSaveFX_NULL(void);
void cpuLoadFX_NULL(void);
void cpuSaveFX_ASM(void);
void cpuLoadFX_ASM(void);

// Fill routines: every slot with its portable member; 35 slots with the
// general-purpose set (dmaEncode10..16 untouched, dmaEncode16_Int964 takes
// the MMX member, which has no general-purpose twin); the 33 non-Brava slots
// with the MMX set.
void dmaConvertInit_C(void);
void dmaConvertInit_ASM(void);
void dmaConvertInit_SSE64(void);

// 1 for feature numbers 1..4, which every x86-64 processor has; 0 otherwise.
// Reads nothing from the processor.
int32_t cpuCheckFeature(int32_t feature);

// Fills the table: mode 1 ends with the portable set, mode 2 with the
// general-purpose set, any other mode (the driver passes 0) with the MMX set
// and the _ASM hooks.
void DMAConverterInit(int32_t mode);

} // extern "C"
