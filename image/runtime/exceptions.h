// Structured exceptions for image code running in an i386 Linux thread.
//
// Image code finds its exception frames through FS:[0], the first word of a
// Windows thread's information block. EnterImageThread gives the calling
// thread such a block (an LDT segment FS selects), and a signal handler turns
// a fault in image code, or a raise from a kernel routine such as
// ProbeForRead, into a walk of that chain: each registered handler is called
// as the kernel's dispatcher calls it, and the first that asks to continue
// execution gets its context resumed. An exception no frame handles ends the
// process with a message naming the code and address.
#pragma once

#include <cstdint>

#include "platform/ntdef.h"

// The kernel's unwind: calls the handler of every frame above TargetFrame
// with the unwinding flag and unlinks it, leaving TargetFrame at FS:[0]
// (the whole chain when TargetFrame is null), and returns to its caller
// with ReturnValue in EAX. Returning elsewhere (a TargetIp) is not needed by
// the images and is refused.
extern "C" VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp, PVOID ExceptionRecord, PVOID ReturnValue);

namespace kv::image {

// Prepares the calling thread (once per thread; later calls do nothing) and
// installs the signal handlers (once per process). False when the system
// refuses the segment.
bool EnterImageThread();

// The head of the calling thread's exception chain (0xFFFFFFFF when empty).
uint32_t ExceptionChainHead();

// Names an image's address range in the message of an unhandled exception.
void NoteImageRange(const char* name, uint32_t base, uint32_t size);

// Exceptions dispatched to image frames since the process started.
uint64_t DispatchedExceptions();

}  // namespace kv::image
