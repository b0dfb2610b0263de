// uint64_t hxX86CheckedCall(fn, data, report): see X86CallHarness.h.
// Single-threaded test helper; it keeps its bookkeeping in static storage so
// that a converter that corrupts rsp cannot hide the fact.
    .intel_syntax noprefix

#define CANARY_RBX 0x1111B0B0C0DE0001
#define CANARY_RBP 0x2222B0B0C0DE0002
#define CANARY_R12 0x3333B0B0C0DE0003
#define CANARY_R13 0x4444B0B0C0DE0004
#define CANARY_R14 0x5555B0B0C0DE0005
#define CANARY_R15 0x6666B0B0C0DE0006
#define STACK_CANARY 0x5A17C0DEFEEDF00D

    .bss
    .p2align 3
.Lsaved_rsp:    .quad 0
.Lsaved_report: .quad 0

    .text
    .globl hxX86CheckedCall
    .type hxX86CheckedCall, @function
hxX86CheckedCall:
    .cfi_startproc
    push rbp
    .cfi_adjust_cfa_offset 8
    push rbx
    .cfi_adjust_cfa_offset 8
    push r12
    .cfi_adjust_cfa_offset 8
    push r13
    .cfi_adjust_cfa_offset 8
    push r14
    .cfi_adjust_cfa_offset 8
    push r15
    .cfi_adjust_cfa_offset 8
    sub rsp, 24                     // 16-byte aligned at the call
    .cfi_adjust_cfa_offset 24
    movabs rax, STACK_CANARY
    mov [rsp], rax                  // right above the callee's return address
    mov [rip + .Lsaved_rsp], rsp
    mov [rip + .Lsaved_report], rdx
    mov rax, rdi
    mov rdi, rsi
    movabs rbx, CANARY_RBX
    movabs rbp, CANARY_RBP
    movabs r12, CANARY_R12
    movabs r13, CANARY_R13
    movabs r14, CANARY_R14
    movabs r15, CANARY_R15
    call rax
    // rax holds the result from here on.
    xor esi, esi
    movabs rcx, CANARY_RBX
    cmp rbx, rcx
    je 1f
    or esi, 1
1:  movabs rcx, CANARY_RBP
    cmp rbp, rcx
    je 1f
    or esi, 2
1:  movabs rcx, CANARY_R12
    cmp r12, rcx
    je 1f
    or esi, 4
1:  movabs rcx, CANARY_R13
    cmp r13, rcx
    je 1f
    or esi, 8
1:  movabs rcx, CANARY_R14
    cmp r14, rcx
    je 1f
    or esi, 16
1:  movabs rcx, CANARY_R15
    cmp r15, rcx
    je 1f
    or esi, 32
1:  mov rdx, [rip + .Lsaved_report]
    mov [rdx], rsi
    mov rcx, rsp
    sub rcx, [rip + .Lsaved_rsp]
    mov [rdx + 8], rcx
    mov rsp, [rip + .Lsaved_rsp]    // carry on even if the callee broke it
    mov rcx, [rsp]
    mov [rdx + 16], rcx
    fnstenv [rdx + 24]
    fldenv [rdx + 24]               // fnstenv masks exceptions; put them back
    add rsp, 24
    .cfi_adjust_cfa_offset -24
    pop r15
    .cfi_adjust_cfa_offset -8
    pop r14
    .cfi_adjust_cfa_offset -8
    pop r13
    .cfi_adjust_cfa_offset -8
    pop r12
    .cfi_adjust_cfa_offset -8
    pop rbx
    .cfi_adjust_cfa_offset -8
    pop rbp
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_endproc
    .size hxX86CheckedCall, . - hxX86CheckedCall

// Broken converters for the harness's own test: one that changes rbx and
// returns 7, one that leaves the MMX state in use and returns 9.
    .globl hxX86FixtureClobbersRbx
    .type hxX86FixtureClobbersRbx, @function
hxX86FixtureClobbersRbx:
    xor ebx, ebx
    mov eax, 7
    ret
    .size hxX86FixtureClobbersRbx, . - hxX86FixtureClobbersRbx

    .globl hxX86FixtureLeavesMmx
    .type hxX86FixtureLeavesMmx, @function
hxX86FixtureLeavesMmx:
    pxor mm0, mm0
    mov eax, 9
    ret
    .size hxX86FixtureLeavesMmx, . - hxX86FixtureLeavesMmx

// Empties the x87 register stack after the fixture above.
    .globl hxX86ClearMmx
    .type hxX86ClearMmx, @function
hxX86ClearMmx:
    emms
    ret
    .size hxX86ClearMmx, . - hxX86ClearMmx

    .section .note.GNU-stack, "", @progbits
