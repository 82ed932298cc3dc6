// The abort trampoline and the capture of the preserved vector registers.
//
// AbortFrame layout (see host_binding.h): next at 0, xmm6..xmm15 from 16 on,
// 16 bytes each. HostFunctionTable: abort at 32, frame-list accessor at 40,
// saved host abort at 48.

        .text

// void heightmesh_capture_preserved_vectors(uint8_t (*preserved)[16])
        .globl  heightmesh_capture_preserved_vectors
        .hidden heightmesh_capture_preserved_vectors
        .type   heightmesh_capture_preserved_vectors, @function
        .p2align 4
heightmesh_capture_preserved_vectors:
        .cfi_startproc
        movdqu  %xmm6,    0(%rdi)
        movdqu  %xmm7,   16(%rdi)
        movdqu  %xmm8,   32(%rdi)
        movdqu  %xmm9,   48(%rdi)
        movdqu  %xmm10,  64(%rdi)
        movdqu  %xmm11,  80(%rdi)
        movdqu  %xmm12,  96(%rdi)
        movdqu  %xmm13, 112(%rdi)
        movdqu  %xmm14, 128(%rdi)
        movdqu  %xmm15, 144(%rdi)
        ret
        .cfi_endproc
        .size   heightmesh_capture_preserved_vectors, .-heightmesh_capture_preserved_vectors

// [[noreturn]] void heightmesh_abort_trampoline(const char* typeName, const char* message)
//
// Pops the calling thread's top frame, restores its vector registers and jumps
// to the saved host abort with %rdi and %rsi as they came in. Nothing runs
// between the restore and the jump, so the host abort starts with exactly the
// vector state the job entry had. With no frame on the list it goes straight
// to the saved abort.
        .globl  heightmesh_abort_trampoline
        .hidden heightmesh_abort_trampoline
        .type   heightmesh_abort_trampoline, @function
        .p2align 4
heightmesh_abort_trampoline:
        .cfi_startproc
        pushq   %rdi
        .cfi_adjust_cfa_offset 8
        pushq   %rsi
        .cfi_adjust_cfa_offset 8
        subq    $8, %rsp                      // 16-byte alignment for the call
        .cfi_adjust_cfa_offset 8
        call    *heightmesh_host_functions+40(%rip)   // %rax = &head
        movq    (%rax), %rcx                  // top frame
        testq   %rcx, %rcx
        jz      1f
        movq    0(%rcx), %rdx                 // head = top->next
        movq    %rdx, (%rax)
        movdqu   16(%rcx), %xmm6
        movdqu   32(%rcx), %xmm7
        movdqu   48(%rcx), %xmm8
        movdqu   64(%rcx), %xmm9
        movdqu   80(%rcx), %xmm10
        movdqu   96(%rcx), %xmm11
        movdqu  112(%rcx), %xmm12
        movdqu  128(%rcx), %xmm13
        movdqu  144(%rcx), %xmm14
        movdqu  160(%rcx), %xmm15
1:
        addq    $8, %rsp
        .cfi_adjust_cfa_offset -8
        popq    %rsi
        .cfi_adjust_cfa_offset -8
        popq    %rdi
        .cfi_adjust_cfa_offset -8
        jmp     *heightmesh_host_functions+48(%rip)
        .cfi_endproc
        .size   heightmesh_abort_trampoline, .-heightmesh_abort_trampoline

        .section .note.GNU-stack,"",@progbits
