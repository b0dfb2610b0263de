// Gate fixtures: one symbol per rule the gate enforces besides XMM and
// EMMS, plus two correct members that it must accept.
    .intel_syntax noprefix
    .text

.macro FIXTURE name
    .globl \name
    .type \name, @function
\name:
.endm

// PADDQ on MMX registers is SSE2.
FIXTURE gateFixturePaddq_SSE
    movq mm0, [rdi]
    paddq mm0, mm0
    movq [rdi], mm0
    emms
    ret

// PSHUFB on MMX registers is SSSE3.
FIXTURE gateFixturePshufb_SSE
    movq mm0, [rdi]
    pshufb mm0, mm1
    emms
    ret

// A non-temporal store from a general register is SSE2.
FIXTURE gateFixtureMovnti_SSE
    movnti [rdi], rax
    emms
    ret

// A general-purpose member must not touch the MMX registers at all.
FIXTURE gateFixtureMmx_ASM
    movq mm0, [rdi]
    movq [rsi], mm0
    ret

// Nor the x87 stack.
FIXTURE gateFixtureX87_ASM
    fld qword ptr [rdi]
    fstp qword ptr [rsi]
    ret

// Correct forms: EMMS on both paths, allowed instructions only.
FIXTURE gateFixtureGood_SSE
    test rdi, rdi
    jz 1f
    pshufw mm0, [rdi], 0x1B
    pinsrw mm0, eax, 2
    pmovmskb eax, mm0
    punpckldq mm0, mm1
    emms
    ret
1:
    emms
    ret

FIXTURE gateFixtureGood_ASM
    mov rax, [rdi]
    imul rax, rsi
    shld rcx, rax, 8
    ret

    .section .note.GNU-stack, "", @progbits
