// C++ side of the user-mode kernel emulation: what tests, the stream class
// emulation and the capture application use to set up, steer and inspect
// the kernel that the driver's routines (platform/wdm.h) run against.
//
// Everything here is process-wide state, as a kernel is. Reset() puts all of
// it back to the initial state; the KernelTest fixture calls it before every
// test. The routines are safe to call from several threads (Reset only when
// no other thread is using the emulation). The IRQL is per thread.
//
// Waits: KeWaitForSingleObject with a timeout lets the emulated time pass
// at once; without one it really waits for another thread to signal the
// event, and after 2 s of real time reports a deadlock as a violation.
#pragma once

#include "platform/wdm.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::kernel {

// ------------------------------------------------------------- whole ----

// Returns pool, registry, clock, handles, devices, drivers, IRPs, device
// interfaces, debug output, violations, injected failures and the calling
// thread's IRQL to their initial state. Memory still allocated is released.
void Reset();

// ---------------------------------------------------------- violations ----

// A violation is something the driver did that the real platform would not
// accept (a blocking call at raised IRQL, a double free, an IRP completed
// twice ...). It is recorded, never fatal; tests assert the list is empty.
void RecordViolation(std::string what);
std::vector<std::string> Violations();
void ClearViolations();
// Removes the first violation containing `text` and says whether there was
// one: a test that provokes a violation on purpose takes it out this way.
bool TakeViolation(std::string_view text);

// ------------------------------------------------------- named failures ----

// Makes a routine fail with `status` the next `count` times it is called,
// after letting `skip` calls through. Routines that look at this knob:
// ZwCreateKey, ZwOpenKey, ZwQueryValueKey, ZwSetValueKey, ZwDeleteValueKey,
// IoOpenDeviceRegistryKey, RtlQueryRegistryValues, RtlWriteRegistryValue,
// IoGetDeviceInterfaces, IoCreateDevice, KeDelayExecutionThread,
// KeSaveFloatingPointState, KeSaveExtendedProcessorState, and
// IoBuildSynchronousFsdRequest / IoAllocateIrp (which return null instead).
// Other parts of the emulation name their own (the USB port's
// "UsbSubmitUrb", the stream class's registrations).
void InjectFailure(std::string_view routine, NTSTATUS status, uint32_t count = 1, uint32_t skip = 0);
void ClearInjectedFailures();
// Calls of a routine that looks at the knob, since Reset (failed ones
// included): a fault sweep learns from a clean run how far to count.
uint64_t CallCount(std::string_view routine);
// For emulation code: the status to fail with now, if a failure is due.
std::optional<NTSTATUS> ConsumeInjectedFailure(std::string_view routine);

// ------------------------------------------- floating-point state ----

// Saves and restores of floating-point / SIMD state (all threads)
// since Reset: legacy (KeSave/RestoreFloatingPointState) and extended
// (KeSave/RestoreExtendedProcessorState, with the union of masks saved).
struct FloatingPointStateCounts {
    uint64_t saves = 0, restores = 0;
    uint64_t extendedSaves = 0, extendedRestores = 0;
    uint64_t extendedMask = 0;
};
FloatingPointStateCounts FloatingPointState();
// Whether the calling thread holds a saved legacy floating-point state now
// (a save not yet restored). Vector code checks it through
// KvCheckFloatingPointStateSaved, which records a violation without one.
bool FloatingPointStateHeld();

// --------------------------------------------------------------- IRQL ----

// The calling thread's IRQL (PASSIVE_LEVEL unless raised).
KIRQL CurrentIrql();

// Runs the enclosing scope at a raised IRQL (DISPATCH_LEVEL by default), the
// way the class library runs the packet routine, and lowers it again.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL level = DISPATCH_LEVEL);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL previous_;
};

// Records "<routine> called at IRQL n (allowed up to m)" when the caller's
// IRQL is above `maximum`; returns whether it was allowed. For other
// components of the emulation (stream class, class library, USB calls).
bool CheckIrql(KIRQL maximum, std::string_view routine);
inline bool CheckPassive(std::string_view routine) { return CheckIrql(PASSIVE_LEVEL, routine); }

// --------------------------------------------------------------- pool ----
namespace pool {

struct Allocation {
    const void* address;
    size_t bytes;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;  // 1 for the first allocation after Reset, and so on
};

// The tag for four characters as they read in a dump: Tag("Wdm ").
constexpr ULONG Tag(const char (&text)[5])
{
    return KV_POOL_TAG(text[0], text[1], text[2], text[3]);
}
// The four characters of a tag, non-printable bytes as '.'.
std::string TagText(ULONG tag);

std::vector<Allocation> Outstanding();  // in allocation order
// Whether `address` is the start of an allocation not yet freed.
bool IsLive(const void* address);
size_t OutstandingCount();
size_t OutstandingCount(ULONG tag);
size_t OutstandingBytes();
std::map<std::string, size_t> OutstandingByTag();  // tag text -> count
// One line per outstanding allocation (serial, tag, type, size); empty when
// nothing is outstanding.
std::string LeakReport();

uint64_t AllocationCount();        // calls since Reset, failed ones included
uint64_t FailedAllocationCount();  // calls that returned null
size_t PeakBytes();

// Fault knobs, off after Reset. Counting starts with the next call.
void FailNth(uint64_t n);                // the n-th allocation from now fails (1 = next), once
void FailAfter(uint64_t n);              // every allocation after the next n fails
void FailTag(ULONG tag);                 // every allocation with this tag fails
void FailRandomly(uint32_t seed, double probability);  // a seeded schedule
void ClearFaults();

// New allocations are filled with this byte (0xA5 after Reset) so that code
// relying on memory it did not clear is caught; nullopt leaves them as the
// host allocator gives them. Freed memory is filled with 0xDD before release.
void SetFillPattern(std::optional<uint8_t> byte);

}  // namespace pool

// -------------------------------------------------------------- clock ----
namespace clock {

// The performance counter counts in 100 ns units: 10 MHz, the same unit as
// kernel intervals, so a delay of -30000 moves the counter by 30000.
constexpr LONGLONG kPerformanceFrequency = 10'000'000;
constexpr LONGLONG kUnitsPerMillisecond = 10'000;

// Emulated time in 100 ns units since Reset (the value of the performance
// counter and of the interrupt time).
LONGLONG Now();
void Advance(LONGLONG units);
inline void AdvanceMs(LONGLONG ms) { Advance(ms * kUnitsPerMillisecond); }
// Total of all KeDelayExecutionThread intervals since Reset, and their count.
LONGLONG TotalDelayed();
uint64_t DelayCount();

// When paced, the emulated clock never runs ahead of the wall clock: every
// advance (a delay, or Advance) sleeps until the wall clock has caught up.
// Off after Reset; the capture tool's real-time option turns it on.
void SetPacedToWallClock(bool paced);
bool PacedToWallClock();

}  // namespace clock

// ------------------------------------------------------- debug output ----
namespace debug {

// Complete lines printed with DbgPrint since the last Clear, without the
// newline. Text printed without a newline waits for the next one; Text()
// shows it too. Only the newest 20,000 lines (4 MiB) are kept; a line grows
// to 64 KiB at most before it counts as complete.
std::vector<std::string> Lines();
// Lines that made way for newer ones since the last Clear.
uint64_t DroppedLines();
std::string Text();
bool Contains(std::string_view text);
void Clear();
// Echo every DbgPrint to stderr as well (off after Reset).
void SetEcho(bool echo);
// Hands the text of every DbgPrint call, as printed, to `sink` (none after
// Reset), for an application that shows each call on its own line.
void SetSink(std::function<void(std::string_view text)> sink);

// The formatter behind DbgPrint, for other components of the emulation.
std::string Format(const char* format, va_list args);

}  // namespace debug

// -------------------------------------------------------------- strings ----

std::u16string ToUtf16(std::string_view utf8);  // invalid bytes become U+FFFD
std::string ToUtf8(std::u16string_view utf16);   // unpaired surrogates become U+FFFD

// A UNICODE_STRING that owns its buffer, for tests building arguments.
class OwnedUnicodeString {
public:
    explicit OwnedUnicodeString(std::u16string_view text);
    explicit OwnedUnicodeString(std::string_view utf8) : OwnedUnicodeString(std::u16string_view(ToUtf16(utf8))) {}
    OwnedUnicodeString(const OwnedUnicodeString&) = delete;
    OwnedUnicodeString& operator=(const OwnedUnicodeString&) = delete;
    PUNICODE_STRING get() { return &string_; }
    operator PUNICODE_STRING() { return &string_; }

private:
    std::u16string buffer_;
    UNICODE_STRING string_{};
};

// ------------------------------------------------------------ registry ----
namespace registry {

// Paths are kernel paths (\REGISTRY\MACHINE\SOFTWARE\...) or the export
// file's spelling (HKEY_LOCAL_MACHINE\SOFTWARE\..., HKLM\..., HKEY_USERS\...),
// UTF-8, case-insensitive. An empty value name is the key's default value.
struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

bool KeyExists(std::string_view path);
void CreateKey(std::string_view path);   // with every missing parent
bool DeleteKey(std::string_view path);   // with its subkeys; false if absent
std::vector<std::string> SubkeyNames(std::string_view path);
std::vector<std::string> ValueNames(std::string_view path);  // in creation order

void SetValue(std::string_view path, std::string_view name, Value value);  // creates the key
void SetDword(std::string_view path, std::string_view name, uint32_t value);
// REG_SZ (or REG_EXPAND_SZ) with a terminating null, as a person would store it.
void SetString(std::string_view path, std::string_view name, std::string_view utf8, ULONG type = REG_SZ);
bool DeleteValue(std::string_view path, std::string_view name);

std::optional<Value> GetValue(std::string_view path, std::string_view name);
// A REG_DWORD of exactly four bytes; anything else is nullopt.
std::optional<uint32_t> GetDword(std::string_view path, std::string_view name);
// A REG_SZ or REG_EXPAND_SZ decoded, with or without terminator.
std::optional<std::string> GetString(std::string_view path, std::string_view name);

// The Registry Editor export format ("Windows Registry Editor Version
// 5.00"), UTF-8. Volatile keys are not saved. Text that a string form cannot
// carry exactly (no terminating null, embedded nulls, odd length) is saved
// in the hex(1)/hex(2) form with a comment line showing it.
std::string SaveToText();
bool SaveFile(const std::string& fileName, std::string* error = nullptr);

enum class LoadMode {
    Replace,  // the file is the whole registry (the base keys are always present)
    Merge,    // applied on top, like importing a file; [-KEY] and "Name"=- delete
};
struct LoadResult {
    bool ok = true;
    int line = 0;         // 1-based line of the first error, 0 when not line-bound
    std::string message;  // "line 12: ..." form, empty when ok
    explicit operator bool() const { return ok; }
};
// A malformed text leaves the registry unchanged. Loading is refused while
// registry handles are open. UTF-8 (optionally with BOM) and UTF-16LE with
// BOM are accepted.
LoadResult LoadFromText(std::string_view text, LoadMode mode = LoadMode::Replace);
LoadResult LoadFile(const std::string& fileName, LoadMode mode = LoadMode::Replace);

// Handles the driver has open, one description each ("0x...: \REGISTRY\...").
size_t OpenHandleCount();
std::vector<std::string> OpenHandles();

// The driver (software) key and the hardware key of a physical device object,
// as kernel paths: kImageClassKey + "\0000" (numbered per device) and
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters.
// Empty when the device is not a physical device object.
std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice);
std::string DeviceKeyPath(PDEVICE_OBJECT physicalDevice);

constexpr std::string_view kImageClassKey =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

}  // namespace registry

// ------------------------------------------------------ devices and IRPs ----
namespace io {

// Handles an IRP sent to a device created by CreateHandlerDevice or
// CreatePhysicalDevice. It must complete the IRP (IoCompleteRequest) and
// return its status, or mark it pending and return STATUS_PENDING.
using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

// A driver object of the emulation, with every MajorFunction answering
// STATUS_INVALID_DEVICE_REQUEST, as the I/O manager prepares it before
// DriverEntry. Its service key (\REGISTRY\MACHINE\SYSTEM\CurrentControlSet
// \Services\<name>) is created; name is the service name ("kvcap").
PDRIVER_OBJECT CreateDriver(std::string_view serviceName);
// The registry path DriverEntry receives.
PUNICODE_STRING DriverRegistryPath(PDRIVER_OBJECT driver);

// A physical device object as a bus driver creates it (flag
// DO_BUS_ENUMERATED_DEVICE), for the device instance `instanceId`
// ("USB\VID_1234&PID_5678\5&1a2b3c&0&1"). It gets a driver key under the
// image class key, numbered per device; an instance seen before in this
// registry keeps its key. IRPs go to `handler`; without one every IRP is
// completed with its current status, as a bus driver does with PnP IRPs it
// does not know.
PDEVICE_OBJECT CreatePhysicalDevice(std::string_view instanceId, IrpHandler handler = {});

// A device object of a foreign driver handled by `handler` (null: complete
// with the current status). When `attachTo` is given the device is attached
// on top of that device's stack (a filter such as a frame-hook provider).
PDEVICE_OBJECT CreateHandlerDevice(IrpHandler handler, PDEVICE_OBJECT attachTo = nullptr);

// Detaches (when attached) and deletes a device of the emulation's drivers.
void DeleteDevice(PDEVICE_OBJECT device);

// The default answer: complete the IRP with the status it carries and return it.
NTSTATUS CompleteWithCurrentStatus(PIRP irp);

// For handlers: when `irp` is IRP_MN_QUERY_INTERFACE for `type`, copies
// `record` (whose first bytes are an INTERFACE header) into the caller's
// buffer, calls its InterfaceReference, completes the IRP with
// STATUS_SUCCESS (or STATUS_INVALID_PARAMETER when the caller's Size is
// smaller than `size`) and stores the status in *status. Returns false,
// leaving the IRP alone, for any other request.
bool AnswerQueryInterface(PIRP irp, const GUID& type, const void* record, USHORT size, NTSTATUS* status);

bool IsLiveDevice(PDEVICE_OBJECT device);
bool IsPhysicalDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);       // what it is attached to, or null
PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device);  // the bottom of its stack
std::string InstanceId(PDEVICE_OBJECT physicalDevice);

// Device objects not yet freed (a deleted one someone still references
// stays until the last reference goes).
size_t LiveDeviceCount();

// IRPs allocated and not yet completed or freed.
size_t OutstandingIrpCount();
bool IsLiveIrp(PIRP irp);
std::vector<std::string> OutstandingIrps();

}  // namespace io

// --------------------------------------------------- device interfaces ----
namespace interfaces {

// Registers a device interface of class `classGuid` exposed by
// `physicalDevice` under `symbolicLink` ("\??\USB#VID_1234&PID_5678#...#{guid}"
// or "\DosDevices\..."). A disabled interface is listed only with
// DEVICE_INTERFACE_INCLUDE_NONACTIVE.
void Register(const GUID& classGuid, PDEVICE_OBJECT physicalDevice, std::string_view symbolicLink,
              bool enabled = true);
void SetEnabled(std::string_view symbolicLink, bool enabled);
// Links of a class in registration order (optionally one device's).
std::vector<std::string> Links(const GUID& classGuid, PDEVICE_OBJECT physicalDevice = nullptr,
                               bool includeDisabled = true);

}  // namespace interfaces

}  // namespace kv::kernel
