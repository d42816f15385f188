// The requesting application's memory, as a kernel driver must reach it.
//
// Some property requests carry addresses of the application's own memory
// (a request record, and data bytes behind it) instead of the data itself.
// A driver may never dereference such an address: it checks the range first
// and copies through an accessor that turns a bad address into a status. On
// the i386 target these three routines are ProbeForRead / ProbeForWrite and
// a copy inside a structured exception frame; here the emulation keeps a
// table of the caller's memory regions, and an access that leaves them is
// refused with STATUS_ACCESS_VIOLATION (and counted), never carried out.
//
// Caller addresses are 32-bit values, as in the application's address space
// on the target; they are not host pointers.
#pragma once

#include "platform/wdm.h"

#include <cstddef>
#include <cstdint>

// The kernel-side routines are declared in platform/wdm.h.


// C++ side for tests and the application API: which host bytes the caller's
// addresses reach.
namespace kv::usermem {

// Makes `length` host bytes at `host` caller memory and returns their caller
// address. Regions are placed on 4 KiB boundaries with an unmapped page
// between any two, so an access just past a region is always refused. The
// host bytes must stay valid until Unmap or Reset.
ULONG Map(void* host, size_t length, bool writable = true);
void Unmap(ULONG address);
// Forgets every region and the refusal count.
void Reset();
size_t RegionCount();
// Accesses refused since Reset.
uint64_t RefusedAccesses();

// How ProbeForRead / ProbeForWrite raise their exception. The loaded-image
// runtime installs a routine that hands it to the image's exception frames;
// without one nothing could catch it, so the refusal is recorded as a
// violation and the probe returns.
using RaiseRoutine = void (*)(NTSTATUS status);
void SetRaiseRoutine(RaiseRoutine routine);

}  // namespace kv::usermem
