// Host-side assembly for the preserved-register tests (Windows x64).
//
// heightmesh_test_call_with_vectors loads xmm6..xmm15 with given values and
// calls a job entry, so that the entry starts with known preserved vector
// registers; the capturing host functions record the ten registers on entry,
// before any compiled code can touch them. Every routine carries unwind data,
// since the host abort throws through the library and this thunk.

        .text

// struct EntryCall { entry, job, additional, patchData, ranges, jobIndex }
// at offsets 0, 8, 16, 24, 32, 40.
//
// void heightmesh_test_call_with_vectors(const uint8_t values[10][16], const EntryCall* call)
//
// After a normal return the registers are stored in
// heightmesh_test_vectors_after_return; the caller's own xmm6..xmm15 and rbx
// are restored (by the epilogue, or by the unwinder from the .seh_savexmm
// slots when an exception passes through).
        .globl  heightmesh_test_call_with_vectors
        .def    heightmesh_test_call_with_vectors; .scl 2; .type 32; .endef
        .p2align 4
heightmesh_test_call_with_vectors:
        .seh_proc heightmesh_test_call_with_vectors
        pushq   %rbx
        .seh_pushreg %rbx
        subq    $208, %rsp                    // 32 shadow + the fifth argument + pad, then ten saves
        .seh_stackalloc 208
        movaps  %xmm6,   48(%rsp)
        .seh_savexmm %xmm6, 48
        movaps  %xmm7,   64(%rsp)
        .seh_savexmm %xmm7, 64
        movaps  %xmm8,   80(%rsp)
        .seh_savexmm %xmm8, 80
        movaps  %xmm9,   96(%rsp)
        .seh_savexmm %xmm9, 96
        movaps  %xmm10, 112(%rsp)
        .seh_savexmm %xmm10, 112
        movaps  %xmm11, 128(%rsp)
        .seh_savexmm %xmm11, 128
        movaps  %xmm12, 144(%rsp)
        .seh_savexmm %xmm12, 144
        movaps  %xmm13, 160(%rsp)
        .seh_savexmm %xmm13, 160
        movaps  %xmm14, 176(%rsp)
        .seh_savexmm %xmm14, 176
        movaps  %xmm15, 192(%rsp)
        .seh_savexmm %xmm15, 192
        .seh_endprologue
        movq    %rdx, %rbx
        movdqu    0(%rcx), %xmm6
        movdqu   16(%rcx), %xmm7
        movdqu   32(%rcx), %xmm8
        movdqu   48(%rcx), %xmm9
        movdqu   64(%rcx), %xmm10
        movdqu   80(%rcx), %xmm11
        movdqu   96(%rcx), %xmm12
        movdqu  112(%rcx), %xmm13
        movdqu  128(%rcx), %xmm14
        movdqu  144(%rcx), %xmm15
        movl    40(%rbx), %eax                // jobIndex, the fifth argument, above the shadow space
        movl    %eax, 32(%rsp)
        movq     8(%rbx), %rcx                // job
        movq    16(%rbx), %rdx                // additional
        movq    24(%rbx), %r8                 // patchData
        movq    32(%rbx), %r9                 // ranges
        call    *0(%rbx)
        movdqu  %xmm6,  heightmesh_test_vectors_after_return+0(%rip)
        movdqu  %xmm7,  heightmesh_test_vectors_after_return+16(%rip)
        movdqu  %xmm8,  heightmesh_test_vectors_after_return+32(%rip)
        movdqu  %xmm9,  heightmesh_test_vectors_after_return+48(%rip)
        movdqu  %xmm10, heightmesh_test_vectors_after_return+64(%rip)
        movdqu  %xmm11, heightmesh_test_vectors_after_return+80(%rip)
        movdqu  %xmm12, heightmesh_test_vectors_after_return+96(%rip)
        movdqu  %xmm13, heightmesh_test_vectors_after_return+112(%rip)
        movdqu  %xmm14, heightmesh_test_vectors_after_return+128(%rip)
        movdqu  %xmm15, heightmesh_test_vectors_after_return+144(%rip)
        movaps   48(%rsp), %xmm6
        movaps   64(%rsp), %xmm7
        movaps   80(%rsp), %xmm8
        movaps   96(%rsp), %xmm9
        movaps  112(%rsp), %xmm10
        movaps  128(%rsp), %xmm11
        movaps  144(%rsp), %xmm12
        movaps  160(%rsp), %xmm13
        movaps  176(%rsp), %xmm14
        movaps  192(%rsp), %xmm15
        addq    $208, %rsp
        popq    %rbx
        ret
        .seh_endproc

// Stores xmm6..xmm15 at the given place, then jumps on to a C++ function
// with the arguments untouched.
.macro CAPTURING_FUNCTION name, store, target
        .globl  \name
        .def    \name; .scl 2; .type 32; .endef
        .p2align 4
\name:
        .seh_proc \name
        .seh_endprologue
        movdqu  %xmm6,  \store+0(%rip)
        movdqu  %xmm7,  \store+16(%rip)
        movdqu  %xmm8,  \store+32(%rip)
        movdqu  %xmm9,  \store+48(%rip)
        movdqu  %xmm10, \store+64(%rip)
        movdqu  %xmm11, \store+80(%rip)
        movdqu  %xmm12, \store+96(%rip)
        movdqu  %xmm13, \store+112(%rip)
        movdqu  %xmm14, \store+128(%rip)
        movdqu  %xmm15, \store+144(%rip)
        jmp     \target
        .seh_endproc
.endm

// The host abort: registers as the library hands over, then the C++ abort.
CAPTURING_FUNCTION heightmesh_test_capturing_abort, heightmesh_test_vectors_at_abort, heightmesh_test_raise_abort
// The host write check: registers in the middle of the job, then the C++ check.
CAPTURING_FUNCTION heightmesh_test_capturing_check, heightmesh_test_vectors_at_check, heightmesh_test_record_check
