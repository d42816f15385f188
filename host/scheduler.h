// Deferred work in the kernel emulation: timers, DPCs and the system worker
// (the routines of platform/wdm.h), and the pump that drives them.
//
// Nothing runs by itself. Emulated time moves only when someone advances the
// clock, so whoever waits for asynchronous work (a test, the application
// side) pumps it:
//
//     kv::kernel::clock::Pump(40 * kv::kernel::clock::kUnitsPerMillisecond);
//     kv::kernel::clock::RunUntil([&] { return read->Completed(); }, limit);
//
// A pump advances the clock from one timer due time to the next. At each
// stop it runs, on the calling thread, what has become due: queued DPCs and
// the DPCs of expired timers at DISPATCH_LEVEL, then the queued work items at
// PASSIVE_LEVEL (the system worker), until nothing is left. The order is
// deterministic: timers by due time, then by the order they were set; DPCs
// and work items in the order they were queued.
//
// A periodic timer that fell behind (the clock jumped past several periods,
// for example during a long delay) fires once and is due again one period
// after the time it fired.
//
// Misuse is recorded as a violation: queueing a work item that is already
// queued, freeing one that is queued, a timer or DPC call above
// DISPATCH_LEVEL, pumping at raised IRQL, a spin lock taken twice by one
// thread or released by a thread that does not hold it, pool freed while a
// timer or DPC inside it is still set or queued, a device deleted with work
// items queued for it; the stream class adds timers, DPCs and work items of
// a stream or device left pending at its stop or removal. Reset() forgets
// timers, DPCs and work items still pending and reports them on stderr; the
// counts below let a test check that nothing is left before it ends.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel.h"

namespace kv::kernel::clock {

// Runs what is due at the present time without moving the clock; returns
// the number of routines run.
size_t RunDue();

// Advances the clock by `units` (100 ns), stopping at every timer due time
// on the way to run what is due.
void Pump(LONGLONG units);
inline void PumpMs(LONGLONG ms) { Pump(ms * kUnitsPerMillisecond); }

// Pumps until `done` returns true (asked before the first step and after
// every step) or `limit` units have passed; returns the last answer of done.
bool RunUntil(const std::function<bool()>& done, LONGLONG limit);

}  // namespace kv::kernel::clock

namespace kv::kernel::scheduler {

size_t SetTimerCount();        // timers set and not yet expired or cancelled
size_t QueuedDpcCount();
size_t QueuedWorkItemCount();
// The due time of the earliest timer, or -1 when none is set.
LONGLONG NextDueTime();
// One line per pending timer, DPC and work item; empty when nothing is pending.
std::vector<std::string> Pending();
// The pending ones whose object (or a set timer's DPC) lies in the `bytes`
// at `begin`, and the work items queued for `device`: what a driver must not
// leave behind when it frees that memory, stops a stream or loses the device.
std::vector<std::string> PendingWithin(const void* begin, size_t bytes, PDEVICE_OBJECT device = nullptr);

}  // namespace kv::kernel::scheduler
