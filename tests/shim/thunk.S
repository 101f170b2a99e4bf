# The common target of every patched import slot. A stub has put the call's Entry in r11; the
# caller's arguments are still in rcx, rdx, r8, r9, xmm0-xmm3 and on the stack.
#
# qmShimDecide(entry, registers, callerStack, result) answers either with an address, to which
# the thunk jumps with every argument register restored and the stack exactly as the caller left
# it (so functions with five or more arguments, or with stack-based state such as setjmp, see
# the original call), or with null, after which the thunk returns *result in rax.

    .intel_syntax noprefix
    .text
    .globl qmShimThunk
    .def qmShimThunk; .scl 2; .type 32; .endef
    .seh_proc qmShimThunk
qmShimThunk:
    push rbp
    .seh_pushreg rbp
    mov rbp, rsp
    .seh_setframe rbp, 0
    # Frame below rbp: rcx rdx r8 r9 at -0x20, xmm0-xmm3 at -0x60, the result at -0x68,
    # 32 bytes of shadow space for the call at the bottom. 0x90 keeps rsp 16-byte aligned.
    sub rsp, 0x90
    .seh_stackalloc 0x90
    .seh_endprologue
    mov [rbp-0x20], rcx
    mov [rbp-0x18], rdx
    mov [rbp-0x10], r8
    mov [rbp-0x08], r9
    movdqa [rbp-0x60], xmm0
    movdqa [rbp-0x50], xmm1
    movdqa [rbp-0x40], xmm2
    movdqa [rbp-0x30], xmm3

    mov rcx, r11
    lea rdx, [rbp-0x20]
    lea r8, [rbp+0x10]
    lea r9, [rbp-0x68]
    call qmShimDecide

    movdqa xmm0, [rbp-0x60]
    movdqa xmm1, [rbp-0x50]
    movdqa xmm2, [rbp-0x40]
    movdqa xmm3, [rbp-0x30]
    mov rcx, [rbp-0x20]
    mov rdx, [rbp-0x18]
    mov r8, [rbp-0x10]
    mov r9, [rbp-0x08]
    test rax, rax
    jz 1f
    mov r11, rax
    lea rsp, [rbp]
    pop rbp
    jmp r11
1:
    mov rax, [rbp-0x68]
    lea rsp, [rbp]
    pop rbp
    ret
    .seh_endproc
