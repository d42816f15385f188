// The caller-memory accessors of the kernel image: ProbeForRead /
// ProbeForWrite, then the copy, all inside one structured exception frame
// (KvCallGuarded), so an address the probe refuses and a page that faults
// during the copy both come back as STATUS_ACCESS_VIOLATION with the
// driver's own buffer unharmed or partly written, never a system crash.
#include "platform/wdm.h"

extern "C" {
// Calls routine(a, b, c) inside an exception frame; STATUS_SUCCESS when it
// returned, STATUS_ACCESS_VIOLATION when an exception ended it.
NTSTATUS KvCallGuarded(VOID(NTAPI* routine)(ULONG_PTR, ULONG_PTR, ULONG_PTR), ULONG_PTR a, ULONG_PTR b,
                       ULONG_PTR c);
}

namespace {

VOID NTAPI ProbeRead(ULONG_PTR address, ULONG_PTR length, ULONG_PTR)
{
    ProbeForRead((const volatile VOID*)address, length, 1);
}

VOID NTAPI ProbeWrite(ULONG_PTR address, ULONG_PTR length, ULONG_PTR)
{
    ProbeForWrite((volatile VOID*)address, length, 1);
}

// Byte by byte through volatile pointers: the compiler may neither widen the
// accesses past the range nor move them out of the guarded call.
VOID NTAPI CopyBytes(ULONG_PTR destination, ULONG_PTR source, ULONG_PTR length)
{
    volatile UCHAR* to = (volatile UCHAR*)destination;
    const volatile UCHAR* from = (const volatile UCHAR*)source;
    for (ULONG_PTR i = 0; i < length; ++i) to[i] = from[i];
}

NTSTATUS ProbeAndCopy(BOOLEAN write, ULONG_PTR callerAddress, ULONG_PTR destination, ULONG_PTR source,
                      SIZE_T length)
{
    if (length == 0) return STATUS_SUCCESS;
    NTSTATUS status = KvCallGuarded(write ? &ProbeWrite : &ProbeRead, callerAddress, length, 0);
    if (!NT_SUCCESS(status)) return status;
    return KvCallGuarded(&CopyBytes, destination, source, length);
}

}  // namespace

extern "C" NTSTATUS NTAPI KvProbeCallerMemory(ULONG_PTR Address, SIZE_T Length, BOOLEAN Write)
{
    if (Length == 0) return STATUS_SUCCESS;
    return KvCallGuarded(Write ? &ProbeWrite : &ProbeRead, Address, Length, 0);
}

extern "C" NTSTATUS NTAPI KvCopyFromCaller(PVOID Destination, ULONG_PTR Address, SIZE_T Length)
{
    if (Length != 0 && Destination == nullptr) return STATUS_ACCESS_VIOLATION;
    return ProbeAndCopy(FALSE, Address, (ULONG_PTR)Destination, Address, Length);
}

extern "C" NTSTATUS NTAPI KvCopyToCaller(ULONG_PTR Address, const VOID* Source, SIZE_T Length)
{
    if (Length != 0 && Source == nullptr) return STATUS_ACCESS_VIOLATION;
    return ProbeAndCopy(TRUE, Address, Address, (ULONG_PTR)Source, Length);
}
