// Gate fixture: an MMX-named converter that slips in an XMM register (what
// a compiler does with MMX intrinsics on x86-64). The gate must reject it.
    .intel_syntax noprefix
    .text
    .globl gateFixtureXmm_SSE
    .type gateFixtureXmm_SSE, @function
gateFixtureXmm_SSE:
    movq mm0, [rdi]
    pxor xmm0, xmm0
    movq [rsi], mm0
    emms
    ret
    .size gateFixtureXmm_SSE, . - gateFixtureXmm_SSE
    .section .note.GNU-stack, "", @progbits
