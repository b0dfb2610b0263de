// Bit-sliced DMA encoders on the MMX registers with the SSE integer
// extensions PINSRW and PMOVMSKB (no XMM register, nothing of SSE2).
//
// A frame half is turned into three byte planes: the plane of sample byte 3
// holds in its byte k the byte 3 (bits 31..24) of lane k's sample, and
// likewise for bytes 2 and 1 (byte 0 is never sent). The planes come from
// a 4x4 byte transpose of four lanes at a time (PUNPCKLBW, then
// PUNPCKLWD/PUNPCKHWD gives byte 0 and 1 of lanes 0..3 in one value and
// bytes 2 and 3 in another); a second group of four lanes is joined with
// PUNPCK*DQ, a single fifth lane is put in with PINSRW. PMOVMSKB then
// yields bit 7 of every byte, which is the next wire unit with lane k in
// bit k; a word shift left by one brings the next bit of every byte up
// (within seven shifts no bit crosses into another byte's bit 7). Unused
// lanes are zero bytes, so they come out 0.
//
// Every return path executes EMMS: the x87 register stack is left empty.
// Registers while encoding: rdi record, rsi PCM, r9 wire, r11 the carried
// sample of lane 4, eax/ecx/edx units; mm7 stays zero, mm6/mm1/mm0 hold the
// planes of bytes 3, 2 and 1, mm2..mm5 are working values.

#include "driver/transcoders/x86/X86Asm.inc"

// Lanes \lb .. \lb + \n - 1 (n = 1..4) of half \h, transposed: \x gets byte
// 0 of each lane in its low 32 bits and byte 1 in its high 32 bits, \e
// bytes 2 and 3. Missing lanes are zero.
.macro TRANSPOSE4 x, e, y, t, h, lb, n
    movd \x, dword ptr [rsi + 4 * (2 * (\lb) + \h)]
    .if \n >= 2
    movd \t, dword ptr [rsi + 4 * (2 * (\lb + 1) + \h)]
    punpcklbw \x, \t
    .else
    punpcklbw \x, mm7
    .endif
    movq \e, \x
    .if \n >= 3
    movd \y, dword ptr [rsi + 4 * (2 * (\lb + 2) + \h)]
    .if \n >= 4
    movd \t, dword ptr [rsi + 4 * (2 * (\lb + 3) + \h)]
    punpcklbw \y, \t
    .else
    punpcklbw \y, mm7
    .endif
    punpcklwd \x, \y
    punpckhwd \e, \y
    .else
    punpcklwd \x, mm7
    punpckhwd \e, mm7
    .endif
.endm

// Byte \p of lane 4's sample for half \h into eax: channel 8 + h for the
// plain ten-channel members, else the carried sample (even half) or
// channel \skew (odd half).
.macro LANE4_BYTE h, p, skew
    .if \skew < 0
    movzx eax, byte ptr [rsi + 4 * (8 + \h) + \p]
    .elseif \h == 0
    movzx eax, byte ptr [r11 + \p]
    .else
    movzx eax, byte ptr [rsi + 4 * (\skew) + \p]
    .endif
.endm

// Units 8t .. of the three planes: bit 7 of every byte, then the next bit.
.macro EMIT_UNITS h, t
    pmovmskb eax, mm6
    pmovmskb ecx, mm1
    pmovmskb edx, mm0
    mov [r9 + 24 * \h + \t], al
    mov [r9 + 24 * \h + 8 + \t], cl
    mov [r9 + 24 * \h + 16 + \t], dl
    .if \t < 7
    psllw mm6, 1
    psllw mm1, 1
    psllw mm0, 1
    EMIT_UNITS \h, (\t + 1)
    .endif
.endm

// One half frame: \plain lanes of channel pairs, plus lane 4 from the
// carried pair when \skew >= 0.
.macro ENC_SSE_HALF h, plain, skew
    .if \plain >= 4
    TRANSPOSE4 mm0, mm1, mm4, mm5, \h, 0, 4
    .else
    TRANSPOSE4 mm0, mm1, mm4, mm5, \h, 0, \plain
    .endif
    .if \plain >= 6
    TRANSPOSE4 mm2, mm3, mm4, mm5, \h, 4, (\plain - 4)
    movq mm6, mm1
    punpckhdq mm6, mm3
    punpckldq mm1, mm3
    punpckhdq mm0, mm2
    .else
    movq mm6, mm1
    punpckhdq mm6, mm7
    punpckldq mm1, mm7
    punpckhdq mm0, mm7
    .if (\plain == 5) || (\skew >= 0)
    LANE4_BYTE \h, 3, \skew
    pinsrw mm6, eax, 2
    LANE4_BYTE \h, 2, \skew
    pinsrw mm1, eax, 2
    LANE4_BYTE \h, 1, \skew
    pinsrw mm0, eax, 2
    .endif
    .endif
    EMIT_UNITS \h, 0
.endm

.macro ENC_SSE name, channels, plain, skew, frames
X86_FUNC \name
    MEMBER_ENTRY r9, \frames
    pxor mm7, mm7
    .if \skew >= 0
    mov r11, [rdi + REC_CARRY]
    .endif
    .p2align 4
1:
    ENC_SSE_HALF 0, \plain, \skew
    ENC_SSE_HALF 1, \plain, \skew
    ENC_FRAME_TAIL \channels, \skew, \frames
    ENC_STORE_CARRY \skew
    jmp 8f
7:
    .if \frames == 10
    // No PCM: the whole bulk slot is silence.
    ZERO_FILL r9, 512
    .endif
    MEMBER_EXIT (4 * \channels * \frames), 1
X86_ENDFUNC \name
.endm

ENC_SSE dmaEncode02_SSE, 2, 1, -1, 10
ENC_SSE dmaEncode04_SSE, 4, 2, -1, 10
ENC_SSE dmaEncode06_SSE, 6, 3, -1, 10
ENC_SSE dmaEncode08_SSE, 8, 4, -1, 10
ENC_SSE dmaEncode10_SSE, 10, 5, -1, 10
ENC_SSE dmaEncode12_SSE, 12, 6, -1, 10
ENC_SSE dmaEncode14_SSE, 14, 7, -1, 10
ENC_SSE dmaEncode16_SSE, 16, 8, -1, 10
ENC_SSE dmaEncode10_12_SSE, 8, 4, 0, 10
ENC_SSE dmaEncode10_34_SSE, 8, 4, 2, 10
ENC_SSE dmaEncode10_56_SSE, 8, 4, 4, 10
ENC_SSE dmaEncode10_78_SSE, 8, 4, 6, 10
ENC_SSE dmaEncode10_KX_SSE, 10, 4, 8, 10
ENC_SSE dmaEncode06_Int964_SSE, 6, 3, -1, 20
ENC_SSE dmaEncode08_Int964_SSE, 8, 4, -1, 20
ENC_SSE dmaEncode16_Int964_SSE, 16, 8, -1, 20
ENC_SSE dmaEncode10_KX_Int964_SSE, 10, 4, 8, 20

    .section .note.GNU-stack, "", @progbits
