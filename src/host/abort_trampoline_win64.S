// The abort trampoline and the capture of the preserved vector registers, for
// the Windows x64 calling convention: arguments in rcx, rdx, r8, r9; 32 bytes
// of shadow space above the return address of every call; xmm6..xmm15 (and
// rbx, rbp, rdi, rsi, r12..r15) preserved by the callee. Each routine carries
// unwind data (.pdata/.xdata from the .seh_* directives), so that an exception
// a host raises can unwind through it.
//
// AbortFrame layout (see host_binding.h): next at 0, xmm6..xmm15 from 16 on,
// 16 bytes each. HostFunctionTable: abort at 32, frame-list accessor at 40,
// saved host abort at 48.

        .text

// void heightmesh_capture_preserved_vectors(uint8_t (*preserved)[16])
//
// A leaf: it touches no stack and no preserved register, so xmm6..xmm15 are
// stored exactly as its caller holds them.
        .globl  heightmesh_capture_preserved_vectors
        .def    heightmesh_capture_preserved_vectors; .scl 2; .type 32; .endef
        .p2align 4
heightmesh_capture_preserved_vectors:
        .seh_proc heightmesh_capture_preserved_vectors
        .seh_endprologue
        movdqu  %xmm6,    0(%rcx)
        movdqu  %xmm7,   16(%rcx)
        movdqu  %xmm8,   32(%rcx)
        movdqu  %xmm9,   48(%rcx)
        movdqu  %xmm10,  64(%rcx)
        movdqu  %xmm11,  80(%rcx)
        movdqu  %xmm12,  96(%rcx)
        movdqu  %xmm13, 112(%rcx)
        movdqu  %xmm14, 128(%rcx)
        movdqu  %xmm15, 144(%rcx)
        ret
        .seh_endproc

// [[noreturn]] void heightmesh_abort_trampoline(const char* typeName, const char* message)
//
// Pops the calling thread's top frame, restores its vector registers and jumps
// to the saved host abort with rcx and rdx as they came in and rsp as it was
// on entry, so that the host abort sees the trampoline's caller as its own.
// Nothing runs between the restore and the jump, so the host abort starts
// with exactly the vector state the job entry had. With no frame on the list
// it goes straight to the saved abort.
        .globl  heightmesh_abort_trampoline
        .def    heightmesh_abort_trampoline; .scl 2; .type 32; .endef
        .p2align 4
heightmesh_abort_trampoline:
        .seh_proc heightmesh_abort_trampoline
        pushq   %rcx                          // typeName
        .seh_pushreg %rcx
        pushq   %rdx                          // message
        .seh_pushreg %rdx
        subq    $40, %rsp                     // shadow space, and 16-byte alignment for the call
        .seh_stackalloc 40
        .seh_endprologue
        call    *heightmesh_host_functions+40(%rip)   // rax = &head
        movq    (%rax), %r8                   // top frame
        testq   %r8, %r8
        jz      1f
        movq    0(%r8), %r9                   // head = top->next
        movq    %r9, (%rax)
        movdqu   16(%r8), %xmm6
        movdqu   32(%r8), %xmm7
        movdqu   48(%r8), %xmm8
        movdqu   64(%r8), %xmm9
        movdqu   80(%r8), %xmm10
        movdqu   96(%r8), %xmm11
        movdqu  112(%r8), %xmm12
        movdqu  128(%r8), %xmm13
        movdqu  144(%r8), %xmm14
        movdqu  160(%r8), %xmm15
1:
        addq    $40, %rsp
        popq    %rdx
        popq    %rcx
        jmp     *heightmesh_host_functions+48(%rip)
        .seh_endproc
