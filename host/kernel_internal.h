// Shared plumbing of the kernel emulation's translation units.
#pragma once

#include "host/kernel.h"

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace kv::kernel::detail {

// Each part returns to its initial state; called by Reset() in this order.
void ResetViolationsAndFaults();
void ResetIrql();
void ResetDebug();
void ResetClock();
void ResetInterfaces();
void ResetIo();
void ResetRegistry();
void ResetPool();
void ResetFloatingPointState();
// Timers, DPCs and work items (timers.cpp); pending ones are reported.
void ResetScheduler();
// For the pool: timers set and DPCs queued inside memory just freed are
// described and forgotten, so that the pump never runs from freed memory.
std::vector<std::string> ForgetTimersAndDpcsWithin(const void* begin, size_t bytes);

std::string PointerText(const void* pointer);
std::string StatusText(NTSTATUS status);
std::string GuidText(const GUID& guid);  // {XXXXXXXX-XXXX-...}, upper case

// Pool allocation on behalf of the kernel itself (interface lists, strings):
// counted and subject to the fault knobs like a driver allocation.
inline constexpr ULONG kKernelListTag = KV_POOL_TAG('I', 'o', 'L', 's');
inline constexpr ULONG kKernelStringTag = KV_POOL_TAG('R', 't', 'l', 'S');

// Case folding used by registry names and device interface links.
char16_t FoldCase(char16_t c);
std::u16string Folded(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// A view of a UNICODE_STRING after the checks the kernel makes on it;
// false when the record is inconsistent (odd length, length beyond maximum,
// null buffer with a length).
bool ViewOf(PCUNICODE_STRING string, std::u16string_view* view);

// The driver key of a device instance (\REGISTRY\MACHINE\...\Class\{...}\NNNN),
// assigned on first use and remembered in the instance's Enum key; empty for
// an instance id that is not a key path.
std::u16string EnsureDriverKey(std::u16string_view instanceId);
// A deleted device's interfaces become inactive and lose their device.
void ForgetDeviceInterfaces(PDEVICE_OBJECT device);

// The DbgPrint formatter; wideByDefault gives %s and %c the meaning they
// have in the wide functions.
std::string FormatText(const char* format, va_list args, bool wideByDefault);

// The performance counter value for waits that advance the clock.
void AdvanceClockForWait(LONGLONG units);

}  // namespace kv::kernel::detail
