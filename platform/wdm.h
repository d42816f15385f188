// Kernel records and routines the kernel-side code reaches: pool, IRQL, time,
// debug output, device objects, IRPs, registry and device interfaces.
//
// On this machine every routine is provided by the user-mode kernel emulation
// in host/; the same declarations serve the kernel-mode build.
#pragma once

#include "ntdef.h"

// ---------------------------------------------------------------- pool ----
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

// Pool tags are four characters stored little-endian: 'Wdm ' reads "Wdm " in a dump.
#define KV_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
}

// ---------------------------------------------------------------- IRQL ----
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

extern "C" {
KIRQL NTAPI KeGetCurrentIrql(VOID);
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
}
