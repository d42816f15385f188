// Time and events. The emulation owns the clock: delays and timed waits move
// it instead of sleeping, so tests are fast and deterministic. Events are
// real (another thread may signal one while this thread waits).
#include "host/kernel_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

namespace kv::kernel {

namespace {

// System time at Reset: 2024-01-01 00:00:00 UTC in 100 ns units since 1601.
constexpr LONGLONG kSystemTimeAtReset = 133485408000000000LL;
// The clock interrupt period (15.625 ms), for the tick count.
constexpr ULONG kTimeIncrement = 156250;
// An unbounded wait that nothing can end would hang the test; after this much
// real time it is reported as a deadlock instead.
constexpr auto kDeadlockLimit = std::chrono::seconds(2);

std::atomic<int64_t> gNow{0};
std::atomic<int64_t> gDelayed{0};
std::atomic<uint64_t> gDelays{0};

std::mutex gPaceMutex;
bool gPaced = false;
std::chrono::steady_clock::time_point gWallStart;
LONGLONG gEmulatedStart = 0;

// One lock and one condition for all events: a wait re-checks its own event.
std::mutex gEventMutex;
std::condition_variable gEventSignalled;

void PaceTo(LONGLONG emulated)
{
    std::chrono::steady_clock::time_point target;
    {
        std::lock_guard lock(gPaceMutex);
        if (!gPaced) {
            return;
        }
        target = gWallStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::nanoseconds((emulated - gEmulatedStart) * 100));
    }
    std::this_thread::sleep_until(target);
}

LONGLONG Clamp(LONGLONG units)
{
    return units < 0 ? 0 : units;
}

bool IsEvent(const KEVENT* event)
{
    return (event->Header.Type == NotificationEvent || event->Header.Type == SynchronizationEvent) &&
           event->Header.Size == sizeof(KEVENT) / sizeof(LONG);
}

// Relative interval (100 ns units) of a kernel timeout: negative = relative,
// positive = absolute system time.
LONGLONG RelativeUnits(LONGLONG value)
{
    if (value < 0) {
        return value == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -value;
    }
    return Clamp(value - (kSystemTimeAtReset + gNow.load()));
}

}  // namespace

void detail::ResetClock()
{
    gNow = 0;
    gDelayed = 0;
    gDelays = 0;
    std::lock_guard lock(gPaceMutex);
    gPaced = false;
}

void detail::AdvanceClockForWait(LONGLONG units)
{
    clock::Advance(units);
}

namespace clock {

LONGLONG Now()
{
    return gNow.load();
}

void Advance(LONGLONG units)
{
    if (units <= 0) {
        return;
    }
    LONGLONG before = gNow.load();
    LONGLONG after;
    do {
        after = before > std::numeric_limits<int64_t>::max() - units ? std::numeric_limits<int64_t>::max()
                                                                       : before + units;
    } while (!gNow.compare_exchange_weak(before, after));
    PaceTo(after);
}

LONGLONG TotalDelayed()
{
    return gDelayed.load();
}

uint64_t DelayCount()
{
    return gDelays.load();
}

void SetPacedToWallClock(bool paced)
{
    std::lock_guard lock(gPaceMutex);
    gPaced = paced;
    gWallStart = std::chrono::steady_clock::now();
    gEmulatedStart = gNow.load();
}

bool PacedToWallClock()
{
    std::lock_guard lock(gPaceMutex);
    return gPaced;
}

}  // namespace clock
}  // namespace kv::kernel

using namespace kv::kernel;

extern "C" {

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = clock::kPerformanceFrequency;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = gNow.load();
    return counter;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckIrql(APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr) {
        RecordViolation("KeDelayExecutionThread with a null interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = ConsumeInjectedFailure("KeDelayExecutionThread")) {
        return *failure;
    }
    LONGLONG units = RelativeUnits(Interval->QuadPart);
    gDelayed += units;
    ++gDelays;
    clock::Advance(units);
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (CurrentTime != nullptr) {
        CurrentTime->QuadPart = kSystemTimeAtReset + gNow.load();
    }
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    if (TickCount != nullptr) {
        TickCount->QuadPart = gNow.load() / kTimeIncrement;
    }
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return kTimeIncrement;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    return static_cast<ULONGLONG>(gNow.load());
}

// ---------------------------------------------------------------- events ----

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Event == nullptr) {
        RecordViolation("KeInitializeEvent with a null event");
        return;
    }
    std::lock_guard lock(gEventMutex);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckIrql(DISPATCH_LEVEL, "KeSetEvent");
    if (Event == nullptr || !IsEvent(Event)) {
        RecordViolation("KeSetEvent on " + detail::PointerText(Event) + " which is not an initialised event");
        return 0;
    }
    LONG previous;
    {
        std::lock_guard lock(gEventMutex);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    gEventSignalled.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    if (Event == nullptr || !IsEvent(Event)) {
        RecordViolation("KeResetEvent on " + detail::PointerText(Event) + " which is not an initialised event");
        return 0;
    }
    std::lock_guard lock(gEventMutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    if (Event == nullptr || !IsEvent(Event)) {
        RecordViolation("KeReadStateEvent on " + detail::PointerText(Event) + " which is not an initialised event");
        return 0;
    }
    std::lock_guard lock(gEventMutex);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    CheckIrql(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
    auto* event = static_cast<PKEVENT>(Object);
    if (event == nullptr || !IsEvent(event)) {
        RecordViolation("KeWaitForSingleObject on " + detail::PointerText(Object) +
                        " which is not an initialised event");
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock lock(gEventMutex);
    auto consume = [event] {
        if (event->Header.SignalState == 0) {
            return false;
        }
        if (event->Header.Type == SynchronizationEvent) {
            event->Header.SignalState = 0;
        }
        return true;
    };
    if (consume()) {
        return STATUS_SUCCESS;
    }
    if (Timeout != nullptr) {
        // A timed wait that nothing ends here simply lets its time pass.
        LONGLONG units = RelativeUnits(Timeout->QuadPart);
        lock.unlock();
        if (units > 0) {
            clock::Advance(units);
        }
        lock.lock();
        return consume() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    if (gEventSignalled.wait_for(lock, kDeadlockLimit, consume)) {
        return STATUS_SUCCESS;
    }
    lock.unlock();
    RecordViolation("KeWaitForSingleObject without timeout on " + detail::PointerText(Object) +
                    " never returned: nothing signals the event (deadlock)");
    return STATUS_TIMEOUT;
}

}  // extern "C"
