// KvCallGuarded: calls a three-argument stdcall routine inside a structured
// exception frame and turns any exception raised or taken in it into
// STATUS_ACCESS_VIOLATION, as a __try/__except(EXCEPTION_EXECUTE_HANDLER)
// block would. GCC has no __try on i386, so the frame is built by hand: an
// exception registration record (next, handler) pushed on the stack and
// linked at FS:[0], which the system's dispatcher walks on an exception.
//
//   NTSTATUS __cdecl KvCallGuarded(routine, a, b, c)
//
// The handler does not unwind: the guarded routine is a leaf as far as
// exception frames go, so it only points the saved context back at this
// frame (ESP, EBP, EIP) and asks to continue there. Callee-saved registers
// are saved here because the guarded routine's epilogue never runs then.

#if defined(__MINGW32__) || defined(_WIN32)
#define SYM(name) _##name
#else
#define SYM(name) name
#endif

#define STATUS_ACCESS_VIOLATION 0xC0000005
// CONTEXT (i386): offsets of the registers the handler rewrites.
#define CONTEXT_EBP 0xB4
#define CONTEXT_EIP 0xB8
#define CONTEXT_ESP 0xC4
// EXCEPTION_RECORD.ExceptionFlags and its unwinding bits.
#define RECORD_FLAGS 4
#define FLAGS_UNWINDING 6
#define ExceptionContinueExecution 0
#define ExceptionContinueSearch 1

    .text
    .globl SYM(KvCallGuarded)
    .p2align 4
SYM(KvCallGuarded):
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl $GuardHandler          // registration.Handler
    pushl %fs:0                  // registration.Next
    movl %esp, %fs:0
    pushl 20(%ebp)               // c
    pushl 16(%ebp)               // b
    pushl 12(%ebp)               // a
    call *8(%ebp)                // stdcall: the routine pops its arguments
    xorl %eax, %eax              // STATUS_SUCCESS
GuardLeave:
    movl (%esp), %ecx
    movl %ecx, %fs:0             // unlink the registration
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

GuardRecover:
    movl $STATUS_ACCESS_VIOLATION, %eax
    jmp GuardLeave

// EXCEPTION_DISPOSITION __cdecl (record, establisherFrame, context, dispatcherContext)
    .p2align 4
GuardHandler:
    movl 4(%esp), %eax
    testl $FLAGS_UNWINDING, RECORD_FLAGS(%eax)
    jnz 1f
    movl 8(%esp), %edx           // the registration record
    movl 12(%esp), %ecx
    movl %edx, CONTEXT_ESP(%ecx)
    leal 20(%edx), %eax          // the frame's EBP: above next, handler, edi, esi, ebx
    movl %eax, CONTEXT_EBP(%ecx)
    movl $GuardRecover, CONTEXT_EIP(%ecx)
    movl $ExceptionContinueExecution, %eax
    ret
1:  movl $ExceptionContinueSearch, %eax
    ret

#if !defined(__MINGW32__) && !defined(_WIN32)
    .section .note.GNU-stack,"",@progbits
#endif
