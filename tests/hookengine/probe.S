# Test harness code: a register/stack probe, a register-neutral counting detour, and a
# corpus of instructions whose lengths come from the assembler, not from our decoder.
        .intel_syntax noprefix

        .data
        .p2align 3
g_probeState:   .quad 0
g_probeFunction: .quad 0
g_probeScratch: .quad 0
        .globl g_detourCalls
g_detourCalls:  .quad 0
        .globl g_detourOriginal
g_detourOriginal: .quad 0

        .text
        .globl ProbeRun
ProbeRun:
        push rbx
        push rbp
        push rdi
        push rsi
        push r12
        push r13
        push r14
        push r15
        sub rsp, 168
        movdqu [rsp+0x00], xmm6
        movdqu [rsp+0x10], xmm7
        movdqu [rsp+0x20], xmm8
        movdqu [rsp+0x30], xmm9
        movdqu [rsp+0x40], xmm10
        movdqu [rsp+0x50], xmm11
        movdqu [rsp+0x60], xmm12
        movdqu [rsp+0x70], xmm13
        movdqu [rsp+0x80], xmm14
        movdqu [rsp+0x90], xmm15
        mov [rcx+0x308], rsp
        mov [rip+g_probeState], rcx
        mov rax, [rcx+0x310]
        mov [rip+g_probeFunction], rax
        movdqu xmm0, [rcx+0x100]
        movdqu xmm1, [rcx+0x110]
        movdqu xmm2, [rcx+0x120]
        movdqu xmm3, [rcx+0x130]
        movdqu xmm4, [rcx+0x140]
        movdqu xmm5, [rcx+0x150]
        movdqu xmm6, [rcx+0x160]
        movdqu xmm7, [rcx+0x170]
        movdqu xmm8, [rcx+0x180]
        movdqu xmm9, [rcx+0x190]
        movdqu xmm10, [rcx+0x1A0]
        movdqu xmm11, [rcx+0x1B0]
        movdqu xmm12, [rcx+0x1C0]
        movdqu xmm13, [rcx+0x1D0]
        movdqu xmm14, [rcx+0x1E0]
        movdqu xmm15, [rcx+0x1F0]
        mov rsp, [rcx+0x300]
        mov rax, [rcx+0x00]
        mov rdx, [rcx+0x10]
        mov rbx, [rcx+0x18]
        mov rbp, [rcx+0x28]
        mov rsi, [rcx+0x30]
        mov rdi, [rcx+0x38]
        mov r8,  [rcx+0x40]
        mov r9,  [rcx+0x48]
        mov r10, [rcx+0x50]
        mov r11, [rcx+0x58]
        mov r12, [rcx+0x60]
        mov r13, [rcx+0x68]
        mov r14, [rcx+0x70]
        mov r15, [rcx+0x78]
        mov rcx, [rcx+0x08]
        call qword ptr [rip+g_probeFunction]

        .globl ProbeCapture
ProbeCapture:
        mov [rip+g_probeScratch], rax
        mov rax, [rip+g_probeState]
        mov [rax+0x88], rcx
        mov [rax+0x90], rdx
        mov [rax+0x98], rbx
        mov [rax+0xA0], rsp
        mov [rax+0xA8], rbp
        mov [rax+0xB0], rsi
        mov [rax+0xB8], rdi
        mov [rax+0xC0], r8
        mov [rax+0xC8], r9
        mov [rax+0xD0], r10
        mov [rax+0xD8], r11
        mov [rax+0xE0], r12
        mov [rax+0xE8], r13
        mov [rax+0xF0], r14
        mov [rax+0xF8], r15
        mov rcx, [rip+g_probeScratch]
        mov [rax+0x80], rcx
        movdqu [rax+0x200], xmm0
        movdqu [rax+0x210], xmm1
        movdqu [rax+0x220], xmm2
        movdqu [rax+0x230], xmm3
        movdqu [rax+0x240], xmm4
        movdqu [rax+0x250], xmm5
        movdqu [rax+0x260], xmm6
        movdqu [rax+0x270], xmm7
        movdqu [rax+0x280], xmm8
        movdqu [rax+0x290], xmm9
        movdqu [rax+0x2A0], xmm10
        movdqu [rax+0x2B0], xmm11
        movdqu [rax+0x2C0], xmm12
        movdqu [rax+0x2D0], xmm13
        movdqu [rax+0x2E0], xmm14
        movdqu [rax+0x2F0], xmm15
        mov rsp, [rax+0x308]
        movdqu xmm6, [rsp+0x00]
        movdqu xmm7, [rsp+0x10]
        movdqu xmm8, [rsp+0x20]
        movdqu xmm9, [rsp+0x30]
        movdqu xmm10, [rsp+0x40]
        movdqu xmm11, [rsp+0x50]
        movdqu xmm12, [rsp+0x60]
        movdqu xmm13, [rsp+0x70]
        movdqu xmm14, [rsp+0x80]
        movdqu xmm15, [rsp+0x90]
        add rsp, 168
        pop r15
        pop r14
        pop r13
        pop r12
        pop rsi
        pop rdi
        pop rbp
        pop rbx
        ret

        .globl CountingDetour
CountingDetour:
        lock inc qword ptr [rip+g_detourCalls]
        jmp qword ptr [rip+g_detourOriginal]

# ---------------------------------------------------------------------------------------
# Decoder corpus: never executed.
        .macro I insn:vararg
0:      \insn
1:
        .data
        .byte 1b - 0b
        .text
        .endm

        .data
        .globl DecoderCorpusLengths
DecoderCorpusLengths:

        .text
        .globl DecoderCorpusStart
DecoderCorpusStart:
corpus_near:
        # prologue and epilogue shapes
        I push rbp
        I push r12
        I pop r15
        I mov rbp, rsp
        I mov r11, rsp
        I sub rsp, 0x28
        I sub rsp, 0x128
        I add rsp, 0x80
        I lea rbp, [rsp-0x28]
        I lea rbp, [rsp-0x248]
        I lea rbp, [rax-0x108]
        I mov [rsp+0x18], rbx
        I mov qword ptr [rsp+0xb0], -2
        I mov qword ptr [r11-0x38], -2
        I mov qword ptr [rax-0x78], -2
        I movaps [rsp+0x60], xmm6
        I movaps xmmword ptr [rsp+0x50], xmm8
        I movups xmm0, [rdx]
        I movups [rcx+0x1f8], xmm0
        I movss xmm5, dword ptr [rdx+4]
        I addss xmm1, dword ptr [rcx+0x3f0]
        I xor r13d, r13d
        I movzx edi, r8b
        I test dil, dil
        I cmp byte ptr [rcx+0x6a9], 0
        I mov byte ptr [rcx+0x3cb], 1
        I inc dword ptr [rcx+0xe0]
        I leave
        I ret
        I ret 8
        I int3
        I nop
        I nop dword ptr [rax+rax*1+0]
        I nop word ptr cs:[rax+rax*1+0]
        I xchg ax, ax
        # RIP-relative operands, with and without a trailing immediate
        I mov rax, qword ptr [rip+0x1234]
        I lea rcx, [rip+0x10]
        I sub rax, qword ptr [rip-0x400]
        I cmp dword ptr [rip+0x100], 7
        I cmp qword ptr [rip+0x100], 0x12345
        I mov byte ptr [rip+0x40], 1
        I call qword ptr [rip+0x1000]
        I jmp qword ptr [rip+0]
        I movss xmm0, dword ptr [rip+0x20]
        I vmovups xmm6, xmmword ptr [rip+0x20]
        I vaddps zmm0, zmm1, zmmword ptr [rip+0x100]
        # relative branches
        I call corpus_far
        I jmp corpus_far
        I jz corpus_far
        I jmp corpus_near
corpus_loop:
        I jne corpus_loop
        I loop corpus_loop
        I jrcxz corpus_loop
        # immediates of every size
        I mov eax, 0x12345678
        I movabs rax, 0x123456789abcdef0
        I mov ax, 0x1234
        I mov cl, 5
        I add ax, 0x1234
        I add eax, 0x12345678
        I add al, 5
        I add dword ptr [rcx+8], 5
        I add word ptr [rcx+8], 0x1234
        I imul eax, ecx, 0x12345
        I imul eax, ecx, 5
        I test eax, 0x100
        I test byte ptr [rcx], 1
        I test dword ptr [rcx+8], 0x100
        I test word ptr [rcx], 0x1234
        I not dword ptr [rcx]
        I neg word ptr [rcx]
        I mul rcx
        I movabs al, byte ptr [0x1122334455667788]
        I movabs rax, qword ptr [0x1122334455667788]
        I enter 0x20, 0
        I push 0x12345678
        I push 5
        I mov rax, gs:[0x30]
        I mov eax, dword ptr fs:[rax]
        I int 0x2e
        # addressing forms
        I mov eax, [rsp+rcx*4+0x10]
        I mov eax, [rcx*8+0x1000]
        I mov eax, [r13]
        I mov eax, [r12]
        I mov eax, [rbp+rax*2+0x12345]
        I movsxd rax, ecx
        # atomics, strings, system
        I lock cmpxchg [rcx], rdx
        I lock xadd [rcx], eax
        I rep movsb
        I rep stosq
        I cpuid
        I rdtsc
        I xgetbv
        I pause
        I lfence
        I mfence
        I sfence
        I prefetcht0 [rcx]
        I clflush [rcx]
        I fxsave [rcx]
        I stmxcsr [rsp+4]
        I movnti [rcx], eax
        I cmpxchg16b [rcx]
        I rdrand eax
        I syscall
        I ud2
        # shifts, bits, conditionals
        I shl eax, 3
        I sar rdx, 1
        I rol ecx, cl
        I bt eax, 5
        I bts dword ptr [rcx], 31
        I shld eax, ecx, 4
        I shrd eax, ecx, cl
        I cmovz rax, rcx
        I setne al
        I bswap eax
        I popcnt rax, rcx
        I lzcnt eax, ecx
        I tzcnt rax, [rcx]
        I crc32 eax, byte ptr [rcx]
        I movbe eax, [rcx]
        # SSE with and without immediates, 0F 38 and 0F 3A maps
        I pshufd xmm0, xmm1, 0x1b
        I psrldq xmm0, 4
        I shufps xmm0, xmm1, 0x44
        I cmpps xmm0, xmm1, 1
        I pinsrw xmm0, eax, 3
        I pextrw eax, xmm0, 3
        I pshufb xmm0, xmm1
        I palignr xmm0, xmm1, 4
        I roundss xmm0, xmm1, 4
        I pmovzxbd xmm0, dword ptr [rcx]
        I movd xmm0, eax
        I movq rax, xmm0
        I cvtsi2ss xmm0, rax
        I cvttss2si eax, xmm1
        I movdqa xmm9, [rsp+0x40]
        # x87
        I fld dword ptr [rcx]
        I fstp qword ptr [rsp+8]
        I fnstcw [rsp]
        I fxch st(1)
        # VEX and EVEX
        I vmovaps ymm0, [rsp+0x20]
        I vzeroupper
        I vpermq ymm0, ymm1, 0x4e
        I vpshufd ymm0, ymm1, 5
        I vfmadd231ps ymm0, ymm1, [rax]
        I vinsertf128 ymm0, ymm0, xmm1, 1
        I vmovaps xmm10, [r13+0x80]
        I andn eax, ecx, edx
        I rorx eax, ecx, 5
        I vmovdqu64 zmm0, [rcx+0x40]
        I vpternlogd zmm0, zmm1, zmm2, 0xff
        I vaddps zmm0 {k1}{z}, zmm1, [rax+0x1000]
        .skip 200, 0x90
corpus_far:
        .globl DecoderCorpusEnd
DecoderCorpusEnd:

        .data
        .globl DecoderCorpusLengthsEnd
DecoderCorpusLengthsEnd:
