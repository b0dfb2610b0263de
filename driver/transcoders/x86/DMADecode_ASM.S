// Bit-sliced DMA decoders, general-purpose registers only.
//
// A lane's 8 bits of an 8-unit group are gathered with one multiply: after
// shifting the lane down to bit 0 of every unit and masking, the units sit
// at distinct bit positions and a constant multiplier moves unit j to bit
// 63 - j without any two partial products meeting, so no carry disturbs the
// top byte (byte units) or top nibble (16-bit units, four units a load).
// SHLD then appends those bits to the sample being assembled, most
// significant unit first, and one 32-bit store writes the sample with its
// low byte zero. Only the frame loop remains; lanes and groups are unrolled.
//
// Registers while decoding: rdi record, rsi wire block, rdx PCM output,
// rbx lane mask, rbp gather multiplier, rax and r8 gathered bits, rcx the
// sample under assembly.

#include "driver/transcoders/x86/X86Asm.inc"

// 8 byte units, lane bit k of each at bit 8j: unit j lands in bit 63 - j.
#define GATHER8_MASK 0x0101010101010101
#define GATHER8_MUL  0x8040201008040201
// 4 16-bit units, lane bit at 16j: unit j lands in bit 63 - j.
#define GATHER16_MASK 0x0001000100010001
#define GATHER16_MUL  0x8000400020001000

// ---- byte units: 8 frames of 64 bytes a 512-byte block ----

// Lane \k of the 8 units at \off appended to rcx.
.macro GATHER8 off, k
    mov rax, [rsi + \off]
    .if \k
    shr rax, \k
    .endif
    and rax, rbx
    imul rax, rbp
    shld rcx, rax, 8
.endm

// Channel 2k + h of the current frame from units 32h .. 32h+23.
.macro DEC8_SAMPLE h, k
    GATHER8 (32*\h + 0), \k
    GATHER8 (32*\h + 8), \k
    GATHER8 (32*\h + 16), \k
    shl ecx, 8
    mov [rdx + 4*(2*\k + \h)], ecx
.endm

.macro DEC8_LANES h, k, lanes
    DEC8_SAMPLE \h, \k
    .if (\k + 1) < \lanes
    DEC8_LANES \h, (\k + 1), \lanes
    .endif
.endm

.macro DEC8_ASM name, lanes
X86_FUNC \name
    MEMBER_ENTRY rdx, 8
    movabs rbx, GATHER8_MASK
    movabs rbp, GATHER8_MUL
    .p2align 4
1:
    DEC8_LANES 0, 0, \lanes
    DEC8_LANES 1, 0, \lanes
    add rsi, 64
    add rdx, 8 * \lanes
    dec dword ptr [rdi + REC_FRAMES]
    jnz 1b
    jmp 8f
7:
    // No wire block: the frames are silence.
    ZERO_FILL rdx, (64 * \lanes)
    MEMBER_EXIT (16 * \lanes)
X86_ENDFUNC \name
.endm

// ---- 16-bit units: 4 frames of 128 bytes a 512-byte block ----

// Lane \k of the 8 units at \off (two loads of four units) appended to rcx.
.macro GATHER16 off, k
    mov rax, [rsi + \off]
    mov r8, [rsi + \off + 8]
    .if \k
    shr rax, \k
    shr r8, \k
    .endif
    and rax, rbx
    and r8, rbx
    imul rax, rbp
    imul r8, rbp
    shld rcx, rax, 4
    shld rcx, r8, 4
.endm

.macro DEC16_SAMPLE h, k
    GATHER16 (64*\h + 0), \k
    GATHER16 (64*\h + 16), \k
    GATHER16 (64*\h + 32), \k
    shl ecx, 8
    mov [rdx + 4*(2*\k + \h)], ecx
.endm

.macro DEC16_LANES h, k, lanes
    DEC16_SAMPLE \h, \k
    .if (\k + 1) < \lanes
    DEC16_LANES \h, (\k + 1), \lanes
    .endif
.endm

.macro DEC16_ASM name, lanes
X86_FUNC \name
    MEMBER_ENTRY rdx, 4
    movabs rbx, GATHER16_MASK
    movabs rbp, GATHER16_MUL
    .p2align 4
1:
    DEC16_LANES 0, 0, \lanes
    DEC16_LANES 1, 0, \lanes
    add rsi, 128
    add rdx, 8 * \lanes
    dec dword ptr [rdi + REC_FRAMES]
    jnz 1b
    jmp 8f
7:
    ZERO_FILL rdx, (32 * \lanes)
    MEMBER_EXIT (8 * \lanes)
X86_ENDFUNC \name
.endm

DEC8_ASM dmaDecode16To02At32Bit_ASM, 1
DEC8_ASM dmaDecode16To04At32Bit_ASM, 2
DEC8_ASM dmaDecode16To06At32Bit_ASM, 3
DEC8_ASM dmaDecode16To08At32Bit_ASM, 4
DEC8_ASM dmaDecode16To10At32Bit_ASM, 5
DEC8_ASM dmaDecode16To12At32Bit_ASM, 6
DEC8_ASM dmaDecode16To14At32Bit_ASM, 7
DEC8_ASM dmaDecode16To16At32Bit_ASM, 8

DEC16_ASM dmaDecode32To18At32Bit_ASM, 9
DEC16_ASM dmaDecode32To20At32Bit_ASM, 10
DEC16_ASM dmaDecode32To22At32Bit_ASM, 11
DEC16_ASM dmaDecode32To24At32Bit_ASM, 12
DEC16_ASM dmaDecode32To26At32Bit_ASM, 13
DEC16_ASM dmaDecode32To28At32Bit_ASM, 14
DEC16_ASM dmaDecode32To30At32Bit_ASM, 15
DEC16_ASM dmaDecode32To32At32Bit_ASM, 16

    .section .note.GNU-stack, "", @progbits
