// Gate fixture: an MMX converter with one return path that skips EMMS (the
// null-pointer shortcut after the MMX state is already in use). The other
// path is correct, so only a check that follows every path rejects it.
    .intel_syntax noprefix
    .text
    .globl gateFixtureNoEmms_SSE
    .type gateFixtureNoEmms_SSE, @function
gateFixtureNoEmms_SSE:
    pxor mm7, mm7
    test rsi, rsi
    jz 1f
    movq [rsi], mm7
    emms
    ret
1:
    mov eax, 1
    ret
    .size gateFixtureNoEmms_SSE, . - gateFixtureNoEmms_SSE
    .section .note.GNU-stack, "", @progbits
