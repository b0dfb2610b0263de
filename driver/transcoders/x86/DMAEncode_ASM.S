// Bit-sliced DMA encoders, general-purpose registers only.
//
// One byte of a lane's sample (8 units of the wire, most significant bit
// first) is scattered to bit 7 of 8 bytes with one multiply: with the
// multiplier 0x8040201008040201 the product's bit 8i + 7 is the byte's bit
// 7 - i, and no two partial products meet, so nothing carries into those
// bits. Masking them and shifting right by 7 - k puts them in lane k; the
// lanes are ORed together and the 8 units stored at once. Lanes above those
// in use stay 0. Only the frame loop remains.
//
// Registers while encoding: rdi record, rsi PCM, r9 wire, r11 the carried
// sample of lane 4 (the caller's carried word on the first frame, then
// channel b of the previous frame), rbx multiplier, rbp bit-7 mask, r8 the
// 8 units under assembly, rax one lane.

#include "driver/transcoders/x86/X86Asm.inc"

#define SCATTER_MUL  0x8040201008040201
#define BIT7_MASK    0x8080808080808080

// Byte \p of lane \k's sample for half \h into \reg. Lanes below \plain carry
// channel 2k + h; lane \plain of a fifth-lane member carries the carried
// sample (even half) or channel \skew (odd half).
.macro LANE_BYTE reg, h, k, p, plain, skew
    .if (\k) < \plain
    movzx \reg, byte ptr [rsi + 4 * (2 * (\k) + \h) + \p]
    .elseif \h == 0
    movzx \reg, byte ptr [r11 + \p]
    .else
    movzx \reg, byte ptr [rsi + 4 * (\skew) + \p]
    .endif
.endm

.macro SCATTER_LANES h, k, lanes, p, plain, skew
    LANE_BYTE eax, \h, \k, \p, \plain, \skew
    imul rax, rbx
    and rax, rbp
    .if (7 - (\k)) > 0
    shr rax, (7 - (\k))
    .endif
    or r8, rax
    .if (\k + 1) < \lanes
    SCATTER_LANES \h, (\k + 1), \lanes, \p, \plain, \skew
    .endif
.endm

// Units 8g .. 8g+7 of half \h: byte 3 - g of every lane's sample.
.macro ENC_GROUP h, g, lanes, plain, skew
    LANE_BYTE r8d, \h, 0, (3 - \g), \plain, \skew
    imul r8, rbx
    and r8, rbp
    shr r8, 7
    .if \lanes > 1
    SCATTER_LANES \h, 1, \lanes, (3 - \g), \plain, \skew
    .endif
    mov [r9 + 24 * \h + 8 * \g], r8
.endm

.macro ENC_ASM name, channels, plain, skew, frames
X86_FUNC \name
    MEMBER_ENTRY r9, \frames
    movabs rbx, SCATTER_MUL
    movabs rbp, BIT7_MASK
    .if \skew >= 0
    mov r11, [rdi + REC_CARRY]
    .endif
    .p2align 4
1:
    .irp h, 0, 1
    .irp g, 0, 1, 2
    .if \skew >= 0
    ENC_GROUP \h, \g, (\plain + 1), \plain, \skew
    .else
    ENC_GROUP \h, \g, \plain, \plain, \skew
    .endif
    .endr
    .endr
    ENC_FRAME_TAIL \channels, \skew, \frames
    ENC_STORE_CARRY \skew
    jmp 8f
7:
    .if \frames == 10
    // No PCM: the whole bulk slot is silence.
    ZERO_FILL r9, 512
    .endif
    MEMBER_EXIT (4 * \channels * \frames)
X86_ENDFUNC \name
.endm

ENC_ASM dmaEncode02_ASM, 2, 1, -1, 10
ENC_ASM dmaEncode04_ASM, 4, 2, -1, 10
ENC_ASM dmaEncode06_ASM, 6, 3, -1, 10
ENC_ASM dmaEncode08_ASM, 8, 4, -1, 10
ENC_ASM dmaEncode10_12_ASM, 8, 4, 0, 10
ENC_ASM dmaEncode10_34_ASM, 8, 4, 2, 10
ENC_ASM dmaEncode10_56_ASM, 8, 4, 4, 10
ENC_ASM dmaEncode10_78_ASM, 8, 4, 6, 10
ENC_ASM dmaEncode10_KX_ASM, 10, 4, 8, 10
ENC_ASM dmaEncode06_Int964_ASM, 6, 3, -1, 20
ENC_ASM dmaEncode08_Int964_ASM, 8, 4, -1, 20
ENC_ASM dmaEncode10_KX_Int964_ASM, 10, 4, 8, 20

    .section .note.GNU-stack, "", @progbits
