// Bit-sliced DMA decoders on the MMX registers with the SSE integer
// extensions PSHUFW and PMOVMSKB (no XMM register, nothing of SSE2).
//
// Each 8-unit group is loaded reversed (PSHUFW 0x1B swaps the words, a
// shift-and-or swaps the bytes inside them), so byte j holds unit 7 - j.
// Shifting the words left until a lane's bit stands in bit 7 of every byte
// lets PMOVMSKB return that lane's 8 bits with the group's first unit in
// bit 7; a word shift of at most 7 never moves a low byte's bit as far as
// the high byte's bit 7. Lanes are taken from the highest down, one more
// shift each. The 16-bit-unit members first split the units into a
// low-byte and a high-byte value with PACKUSWB (the operands never exceed
// 255, so it never saturates), then do the same on each.
//
// Every return path executes EMMS: the x87 register stack is left empty.
// Registers while decoding: rdi record, rsi wire block, r9 PCM output,
// rax and rcx mask assembly; mm0..mm5 (byte units) or mm0..mm7.

#include "driver/transcoders/x86/X86Asm.inc"

    .section .rodata
    .p2align 3
.Llow_bytes:
    .quad 0x00FF00FF00FF00FF

// One sample from three group registers whose bit 7 of every byte holds
// the lane: bits 31..24, 23..16 and 15..8 from g0, g1 and g2, 7..0 zero.
.macro STORE_SAMPLE g0, g1, g2, off
    pmovmskb eax, \g1
    pmovmskb ecx, \g0
    mov ah, cl
    shl eax, 16
    pmovmskb ecx, \g2
    mov ah, cl
    mov [r9 + \off], eax
.endm

// Lanes \k down to \lo of three group registers; lane k goes to channel
// 2k + h. The registers already hold lane \k in bit 7 of every byte.
.macro LANES_DOWN g0, g1, g2, h, k, lo
    STORE_SAMPLE \g0, \g1, \g2, (4 * (2 * (\k) + \h))
    .if (\k) > (\lo)
    psllw \g0, 1
    psllw \g1, 1
    psllw \g2, 1
    LANES_DOWN \g0, \g1, \g2, \h, (\k - 1), \lo
    .endif
.endm

// Lines the three registers up on lane \top (bit \top - \base of every
// byte; \base is 0 for lanes 0..7, 8 for the high bytes of 16-bit units)
// and extracts lanes \top down to \lo.
.macro EXTRACT g0, g1, g2, h, top, lo, base
    .if (7 - ((\top) - (\base))) > 0
    psllw \g0, (7 - ((\top) - (\base)))
    psllw \g1, (7 - ((\top) - (\base)))
    psllw \g2, (7 - ((\top) - (\base)))
    .endif
    LANES_DOWN \g0, \g1, \g2, \h, \top, \lo
.endm

// ---- byte units ----

// 8 units at \mem into \r with byte j = unit 7 - j.
.macro LOAD_REVERSED8 r, t, mem
    pshufw \r, \mem, 0x1B
    movq \t, \r
    psllw \r, 8
    psrlw \t, 8
    por \r, \t
.endm

// With a single lane the byte swap of every group costs more than the
// extraction: reverse only the words (byte 2n then holds unit 6 - 2n and
// byte 2n + 1 unit 7 - 2n), so each mask comes out with neighbouring bits
// exchanged, and swap them back once in the assembled sample.
.macro DEC8_SSE_HALF_ONE_LANE h
    pshufw mm0, [rsi + 32*\h + 0], 0x1B
    pshufw mm1, [rsi + 32*\h + 8], 0x1B
    pshufw mm2, [rsi + 32*\h + 16], 0x1B
    psllw mm0, 7
    psllw mm1, 7
    psllw mm2, 7
    pmovmskb eax, mm1
    pmovmskb ecx, mm0
    mov ah, cl
    shl eax, 16
    pmovmskb ecx, mm2
    mov ah, cl
    mov ecx, eax
    and ecx, 0x55555500
    shr eax, 1
    and eax, 0x55555500
    lea eax, [rax + 2*rcx]
    mov [r9 + 4*\h], eax
.endm

.macro DEC8_SSE_HALF h, lanes
    .if \lanes == 1
    DEC8_SSE_HALF_ONE_LANE \h
    .exitm
    .endif
    LOAD_REVERSED8 mm0, mm3, [rsi + 32*\h + 0]
    LOAD_REVERSED8 mm1, mm4, [rsi + 32*\h + 8]
    LOAD_REVERSED8 mm2, mm5, [rsi + 32*\h + 16]
    EXTRACT mm0, mm1, mm2, \h, (\lanes - 1), 0, 0
.endm

.macro DEC8_SSE name, lanes
X86_FUNC \name
    MEMBER_ENTRY r9, 8
    .p2align 4
1:
    DEC8_SSE_HALF 0, \lanes
    DEC8_SSE_HALF 1, \lanes
    add rsi, 64
    add r9, 8 * \lanes
    dec dword ptr [rdi + REC_FRAMES]
    jnz 1b
    jmp 8f
7:
    // No wire block: the frames are silence.
    ZERO_FILL r9, (64 * \lanes)
    MEMBER_EXIT (16 * \lanes), 1
X86_ENDFUNC \name
.endm

// ---- 16-bit units ----

// Units 0..7 of the group at rsi + \off: \lo gets their low bytes and \hi
// their high bytes, byte j holding unit 7 - j. Uses mm6 and mm7.
.macro SPLIT16 lo, hi, off
    pshufw mm6, [rsi + \off], 0x1B
    pshufw \hi, [rsi + \off + 8], 0x1B
    movq \lo, \hi
    pand \lo, [rip + .Llow_bytes]
    movq mm7, mm6
    pand mm7, [rip + .Llow_bytes]
    packuswb \lo, mm7
    psrlw \hi, 8
    psrlw mm6, 8
    packuswb \hi, mm6
.endm

.macro DEC16_SSE_HALF h, lanes
    SPLIT16 mm0, mm3, (64*\h + 0)
    SPLIT16 mm1, mm4, (64*\h + 16)
    SPLIT16 mm2, mm5, (64*\h + 32)
    EXTRACT mm3, mm4, mm5, \h, (\lanes - 1), 8, 8
    EXTRACT mm0, mm1, mm2, \h, 7, 0, 0
.endm

.macro DEC16_SSE name, lanes
X86_FUNC \name
    MEMBER_ENTRY r9, 4
    .p2align 4
1:
    DEC16_SSE_HALF 0, \lanes
    DEC16_SSE_HALF 1, \lanes
    add rsi, 128
    add r9, 8 * \lanes
    dec dword ptr [rdi + REC_FRAMES]
    jnz 1b
    jmp 8f
7:
    ZERO_FILL r9, (32 * \lanes)
    MEMBER_EXIT (8 * \lanes), 1
X86_ENDFUNC \name
.endm

DEC8_SSE dmaDecode16To02At32Bit_SSE, 1
DEC8_SSE dmaDecode16To04At32Bit_SSE, 2
DEC8_SSE dmaDecode16To06At32Bit_SSE, 3
DEC8_SSE dmaDecode16To08At32Bit_SSE, 4
DEC8_SSE dmaDecode16To10At32Bit_SSE, 5
DEC8_SSE dmaDecode16To12At32Bit_SSE, 6
DEC8_SSE dmaDecode16To14At32Bit_SSE, 7
DEC8_SSE dmaDecode16To16At32Bit_SSE, 8

DEC16_SSE dmaDecode32To18At32Bit_SSE, 9
DEC16_SSE dmaDecode32To20At32Bit_SSE, 10
DEC16_SSE dmaDecode32To22At32Bit_SSE, 11
DEC16_SSE dmaDecode32To24At32Bit_SSE, 12
DEC16_SSE dmaDecode32To26At32Bit_SSE, 13
DEC16_SSE dmaDecode32To28At32Bit_SSE, 14
DEC16_SSE dmaDecode32To30At32Bit_SSE, 15
DEC16_SSE dmaDecode32To32At32Bit_SSE, 16

    .section .note.GNU-stack, "", @progbits
