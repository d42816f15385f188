// KvCallGuarded: calls a three-argument stdcall routine inside a structured
// exception frame and turns any exception raised or taken in it into
// STATUS_ACCESS_VIOLATION, as a __try/__except(EXCEPTION_EXECUTE_HANDLER)
// block would. GCC has no __try on i386, so the frame is built by hand: an
// exception registration record (next, handler) pushed on the stack and
// linked at FS:[0], which the system's dispatcher walks on an exception.
//
//   NTSTATUS __cdecl KvCallGuarded(routine, a, b, c)
//
// The handler does what an __except block's handler does: it unwinds every
// frame registered above this one (RtlUnwind, which calls their handlers
// with the unwinding flag and leaves this registration at FS:[0]), then
// resumes here on this frame's stack. It never asks the dispatcher to
// continue execution: an exception the kernel raises (ProbeForRead's) is
// non-continuable. Callee-saved registers are saved here because the guarded
// routine's epilogue never runs then.

// Image symbols carry the i386 Windows leading underscore.
#define SYM(name) _##name
#define RTL_UNWIND "__imp__RtlUnwind@16"

#define STATUS_ACCESS_VIOLATION 0xC0000005
// EXCEPTION_RECORD.ExceptionFlags and its unwinding bits.
#define RECORD_FLAGS 4
#define FLAGS_UNWINDING 6
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
    pushl $0                     // ReturnValue
    pushl %eax                   // ExceptionRecord
    pushl $0                     // TargetIp: return here
    pushl %edx                   // TargetFrame
    call *RTL_UNWIND
    movl 8(%esp), %edx
    movl %edx, %esp              // this frame's stack, registration on top
    leal 20(%edx), %ebp          // its EBP: above next, handler, edi, esi, ebx
    jmp GuardRecover
1:  movl $ExceptionContinueSearch, %eax
    ret
