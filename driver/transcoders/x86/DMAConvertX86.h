// Hand-written x86-64 forms of the bit-sliced DMA converters.
//
// Same contract as the portable members of DMAConvert.h, output bit for bit,
// except:
//  - a decoder given a null src writes zero samples over its whole output
//    block (the portable form leaves it alone);
//  - a ten-frame encoder given a null src writes 512 zero bytes, the whole
//    bulk slot (the portable form writes 480);
//  - they use the record's scratch words (the caller's callee-saved
//    registers are kept there during the call) and framesLeft, so the caller
//    provides the whole record and keeps nothing in those fields.
// _ASM members use general-purpose registers only. _SSE members use the MMX
// registers with PINSRW, PSHUFW and PMOVMSKB, no XMM register, and leave
// the x87 register stack empty (EMMS) before returning. Both are written in
// assembler (the .S files beside this header) so no compiler can slip XMM
// code in; a disassembly check in the tests holds them to that.
#pragma once

#include "driver/transcoders/DMAConvert.h"

extern "C" {

uint64_t dmaDecode16To02At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To04At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To06At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To08At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To10At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To12At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To14At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To16At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To18At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To20At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To22At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To24At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To26At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To28At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To30At32Bit_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To32At32Bit_ASM(DMA_CONVERT_DATA* data);

uint64_t dmaDecode16To02At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To04At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To06At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To08At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To10At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To12At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To14At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode16To16At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To18At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To20At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To22At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To24At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To26At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To28At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To30At32Bit_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaDecode32To32At32Bit_SSE(DMA_CONVERT_DATA* data);

// General-purpose encoders: no _ASM form exists for dmaEncode10 .. 16 and
// dmaEncode16_Int964.
uint64_t dmaEncode02_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode04_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode06_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_12_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_34_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_56_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_78_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode06_Int964_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_Int964_ASM(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_Int964_ASM(DMA_CONVERT_DATA* data);

uint64_t dmaEncode02_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode04_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode06_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode12_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode14_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode16_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_12_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_34_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_56_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_78_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode06_Int964_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode08_Int964_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode16_Int964_SSE(DMA_CONVERT_DATA* data);
uint64_t dmaEncode10_KX_Int964_SSE(DMA_CONVERT_DATA* data);

} // extern "C"
