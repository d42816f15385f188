// Timers, DPCs, work items and spin locks of the kernel emulation, and the
// pump that runs them as emulated time passes (host/scheduler.h).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "host/kernel_internal.h"
#include "host/scheduler.h"

// The emulation's work item: which device it belongs to and whether it waits
// in the queue.
struct _IO_WORKITEM {
    ULONG magic;
    PDEVICE_OBJECT device;
    bool queued;
};

namespace kv::kernel {

namespace {

// Dispatcher object types, as the kernel numbers them.
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;
constexpr UCHAR kDpcObject = 19;

constexpr ULONG kWorkItemTag = KV_POOL_TAG('I', 'o', 'W', 'k');
constexpr ULONG kWorkItemMagic = KV_POOL_TAG('W', 'k', 'I', 't');

// A DPC that keeps re-queueing itself, or a timer set again and again for
// "now", must not hang the pump: one RunDue runs at most this many routines.
constexpr size_t kMaxRoutinesPerRun = 100000;

struct TimerEntry {
    LONGLONG due;
    LONG periodMs;
    PKDPC dpc;
    uint64_t order;
};

struct DpcEntry {
    PKDPC dpc;
    PVOID argument1;
    PVOID argument2;
};

struct WorkEntry {
    PIO_WORKITEM ioItem;        // IoQueueWorkItem
    PIO_WORKITEM_ROUTINE ioRoutine;
    PVOID context;
    PWORK_QUEUE_ITEM exItem;    // ExQueueWorkItem
};

struct Scheduler {
    std::mutex mutex;
    std::map<PKTIMER, TimerEntry> timers;
    std::deque<DpcEntry> dpcs;
    std::deque<WorkEntry> work;
    uint64_t order = 0;
    // One DPC at a time, as on one processor; KeFlushQueuedDpcs waits on it.
    std::recursive_mutex dpcRunning;
    // One system worker.
    std::mutex workerRunning;
};

Scheduler& S()
{
    static Scheduler scheduler;
    return scheduler;
}

bool IsTimer(const KTIMER* timer)
{
    return timer != nullptr &&
           (timer->Header.Type == kTimerNotificationObject || timer->Header.Type == kTimerSynchronizationObject);
}

bool IsWorkItem(const IO_WORKITEM* item)
{
    return item != nullptr && item->magic == kWorkItemMagic;
}

bool DpcQueuedLocked(const Scheduler& s, PKDPC dpc)
{
    return std::any_of(s.dpcs.begin(), s.dpcs.end(), [dpc](const DpcEntry& e) { return e.dpc == dpc; });
}

// Moves the DPCs of expired timers into the DPC queue; true when one expired.
bool ExpireTimersLocked(Scheduler& s, LONGLONG now)
{
    std::vector<std::pair<PKTIMER, TimerEntry>> expired;
    for (const auto& [timer, entry] : s.timers) {
        if (entry.due <= now) expired.emplace_back(timer, entry);
    }
    if (expired.empty()) return false;
    std::sort(expired.begin(), expired.end(), [](const auto& a, const auto& b) {
        return a.second.due != b.second.due ? a.second.due < b.second.due : a.second.order < b.second.order;
    });
    for (auto& [timer, entry] : expired) {
        timer->Header.SignalState = 1;
        if (entry.periodMs > 0) {
            const LONGLONG period = static_cast<LONGLONG>(entry.periodMs) * clock::kUnitsPerMillisecond;
            TimerEntry& live = s.timers[timer];
            live.due = std::max(entry.due + period, now + period);
            live.order = ++s.order;
            timer->DueTime = static_cast<ULONGLONG>(live.due);
        } else {
            s.timers.erase(timer);
            timer->Header.Inserted = 0;
        }
        if (entry.dpc != nullptr && !DpcQueuedLocked(s, entry.dpc)) {
            s.dpcs.push_back({entry.dpc, nullptr, nullptr});
        }
    }
    return true;
}

// Runs the queued DPCs at DISPATCH_LEVEL; returns how many ran.
size_t RunDpcs(size_t budget)
{
    Scheduler& s = S();
    size_t ran = 0;
    std::lock_guard running(s.dpcRunning);
    while (ran < budget) {
        DpcEntry entry;
        {
            std::lock_guard lock(s.mutex);
            if (s.dpcs.empty()) break;
            entry = s.dpcs.front();
            s.dpcs.pop_front();
        }
        auto routine = reinterpret_cast<PKDEFERRED_ROUTINE>(entry.dpc->DeferredRoutine);
        if (routine == nullptr) {
            RecordViolation("DPC " + detail::PointerText(entry.dpc) + " queued without a routine");
            continue;
        }
        IrqlScope dispatch(DISPATCH_LEVEL);
        routine(entry.dpc, entry.dpc->DeferredContext, entry.argument1, entry.argument2);
        ++ran;
    }
    return ran;
}

// Runs the queued work items at PASSIVE_LEVEL; returns how many ran.
size_t RunWorkItems(size_t budget)
{
    Scheduler& s = S();
    size_t ran = 0;
    std::lock_guard running(s.workerRunning);
    while (ran < budget) {
        WorkEntry entry;
        {
            std::lock_guard lock(s.mutex);
            if (s.work.empty()) break;
            entry = s.work.front();
            s.work.pop_front();
            if (entry.ioItem != nullptr) entry.ioItem->queued = false;
        }
        if (entry.ioItem != nullptr) {
            if (!io::IsLiveDevice(entry.ioItem->device)) {
                RecordViolation("work item " + detail::PointerText(entry.ioItem) + " ran after its device " +
                                detail::PointerText(entry.ioItem->device) + " was deleted");
            }
            entry.ioRoutine(entry.ioItem->device, entry.context);
        } else {
            entry.exItem->WorkerRoutine(entry.exItem->Parameter);
        }
        ++ran;
        if (CurrentIrql() != PASSIVE_LEVEL) {
            RecordViolation("work item returned at IRQL " + std::to_string(CurrentIrql()));
            KfLowerIrql(PASSIVE_LEVEL);
        }
    }
    return ran;
}

// The owner mark a spin lock holds: one per thread, never zero.
ULONG_PTR ThreadMark()
{
    thread_local char mark;
    return reinterpret_cast<ULONG_PTR>(&mark);
}

void AcquireSpinLock(PKSPIN_LOCK lock)
{
    if (lock == nullptr) {
        RecordViolation("spin lock acquired through a null pointer");
        return;
    }
    std::atomic_ref<ULONG_PTR> word(*lock);
    const ULONG_PTR me = ThreadMark();
    if (word.load() == me) {
        RecordViolation("spin lock " + detail::PointerText(lock) +
                        " acquired again by the thread that holds it (deadlock on a real processor)");
        return;
    }
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_weak(expected, me)) {
        expected = 0;
        std::this_thread::yield();
    }
}

void ReleaseSpinLock(PKSPIN_LOCK lock)
{
    if (lock == nullptr) {
        RecordViolation("spin lock released through a null pointer");
        return;
    }
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load() != ThreadMark()) {
        RecordViolation("spin lock " + detail::PointerText(lock) + " released by a thread that does not hold it");
        return;
    }
    word.store(0);
}

}  // namespace

void detail::ResetScheduler()
{
    Scheduler& s = S();
    std::vector<std::string> pending = scheduler::Pending();
    std::lock_guard lock(s.mutex);
    s.timers.clear();
    s.dpcs.clear();
    s.work.clear();  // work items live in pool, which its own reset releases
    s.order = 0;
    if (!pending.empty()) {
        std::fprintf(stderr, "kernel reset: %zu timer(s), DPC(s) and work item(s) were still pending\n",
                     pending.size());
        for (const auto& line : pending) std::fprintf(stderr, "  %s\n", line.c_str());
    }
}

// ------------------------------------------------------------------ pump ---

namespace clock {

size_t RunDue()
{
    if (!CheckPassive("clock pump")) return 0;
    Scheduler& s = S();
    size_t ran = 0;
    while (ran < kMaxRoutinesPerRun) {
        {
            std::lock_guard lock(s.mutex);
            ExpireTimersLocked(s, Now());
        }
        const size_t dpcs = RunDpcs(kMaxRoutinesPerRun - ran);
        ran += dpcs;
        const size_t items = RunWorkItems(kMaxRoutinesPerRun - ran);
        ran += items;
        if (dpcs == 0 && items == 0) {
            std::lock_guard lock(s.mutex);
            const bool more = !s.dpcs.empty() || !s.work.empty() ||
                              std::any_of(s.timers.begin(), s.timers.end(),
                                          [now = Now()](const auto& t) { return t.second.due <= now; });
            if (!more) break;
        }
    }
    if (ran >= kMaxRoutinesPerRun) {
        RecordViolation("clock pump: DPCs or work items keep queueing themselves at the same time");
    }
    return ran;
}

namespace {

// The next stop on the way to `target`: the earliest due time after now,
// at least one unit ahead.
LONGLONG NextStop(LONGLONG now, LONGLONG target)
{
    const LONGLONG due = scheduler::NextDueTime();
    LONGLONG stop = (due >= 0 && due < target) ? due : target;
    if (stop <= now) stop = now + 1;
    return std::min(stop, target);
}

LONGLONG SaturatingAdd(LONGLONG a, LONGLONG b)
{
    return a > std::numeric_limits<int64_t>::max() - b ? std::numeric_limits<int64_t>::max() : a + b;
}

}  // namespace

void Pump(LONGLONG units)
{
    if (!CheckPassive("clock pump")) return;
    const LONGLONG target = SaturatingAdd(Now(), std::max<int64_t>(units, 0));
    RunDue();
    while (Now() < target) {
        const LONGLONG now = Now();
        Advance(NextStop(now, target) - now);
        RunDue();
    }
}

bool RunUntil(const std::function<bool()>& done, LONGLONG limit)
{
    if (!CheckPassive("clock pump")) return done();
    const LONGLONG deadline = SaturatingAdd(Now(), std::max<int64_t>(limit, 0));
    RunDue();
    while (!done()) {
        const LONGLONG now = Now();
        if (now >= deadline) return false;
        Advance(NextStop(now, deadline) - now);
        RunDue();
    }
    return true;
}

}  // namespace clock

namespace scheduler {

size_t SetTimerCount()
{
    std::lock_guard lock(S().mutex);
    return S().timers.size();
}

size_t QueuedDpcCount()
{
    std::lock_guard lock(S().mutex);
    return S().dpcs.size();
}

size_t QueuedWorkItemCount()
{
    std::lock_guard lock(S().mutex);
    return S().work.size();
}

LONGLONG NextDueTime()
{
    std::lock_guard lock(S().mutex);
    LONGLONG next = -1;
    for (const auto& [timer, entry] : S().timers) {
        if (next < 0 || entry.due < next) next = entry.due;
    }
    return next;
}

namespace {

std::vector<std::string> PendingWithinLocked(Scheduler& s, const void* begin, size_t bytes, PDEVICE_OBJECT device,
                                             bool forget)
{
    const auto* first = static_cast<const uint8_t*>(begin);
    auto inside = [&](const void* object) {
        const auto* at = static_cast<const uint8_t*>(object);
        return first != nullptr && at >= first && at < first + bytes;
    };
    std::vector<std::string> lines;
    for (auto it = s.timers.begin(); it != s.timers.end();) {
        if (inside(it->first) || (it->second.dpc != nullptr && inside(it->second.dpc))) {
            lines.push_back("timer " + detail::PointerText(it->first) + " set");
            if (forget) {
                it = s.timers.erase(it);
                continue;
            }
        }
        ++it;
    }
    for (auto it = s.dpcs.begin(); it != s.dpcs.end();) {
        if (inside(it->dpc)) {
            lines.push_back("DPC " + detail::PointerText(it->dpc) + " queued");
            if (forget) {
                it = s.dpcs.erase(it);
                continue;
            }
        }
        ++it;
    }
    for (const auto& entry : s.work) {
        // Only a device's own items are looked into: memory being freed is
        // never read.
        const bool owned = entry.ioItem != nullptr
                               ? inside(entry.ioItem) || (device != nullptr && entry.ioItem->device == device)
                               : inside(entry.exItem);
        if (owned) {
            lines.push_back("work item " +
                            detail::PointerText(entry.ioItem != nullptr ? static_cast<const void*>(entry.ioItem)
                                                                        : static_cast<const void*>(entry.exItem)) +
                            " queued");
        }
    }
    return lines;
}

}  // namespace

std::vector<std::string> PendingWithin(const void* begin, size_t bytes, PDEVICE_OBJECT device)
{
    std::lock_guard lock(S().mutex);
    return PendingWithinLocked(S(), begin, bytes, device, false);
}

std::vector<std::string> Pending()
{
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    std::vector<std::string> lines;
    for (const auto& [timer, entry] : s.timers) {
        lines.push_back("timer " + detail::PointerText(timer) + " due at " + std::to_string(entry.due) +
                        (entry.periodMs > 0 ? ", every " + std::to_string(entry.periodMs) + " ms" : ""));
    }
    for (const auto& entry : s.dpcs) lines.push_back("DPC " + detail::PointerText(entry.dpc) + " queued");
    for (const auto& entry : s.work) {
        lines.push_back("work item " +
                        detail::PointerText(entry.ioItem != nullptr ? static_cast<const void*>(entry.ioItem)
                                                                    : static_cast<const void*>(entry.exItem)) +
                        " queued");
    }
    return lines;
}

}  // namespace scheduler

std::vector<std::string> detail::ForgetTimersAndDpcsWithin(const void* begin, size_t bytes)
{
    std::lock_guard lock(S().mutex);
    return scheduler::PendingWithinLocked(S(), begin, bytes, nullptr, true);
}
}  // namespace kv::kernel

using namespace kv::kernel;

extern "C" {

// ------------------------------------------------------------------- DPCs ---

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    if (Dpc == nullptr) {
        RecordViolation("KeInitializeDpc with a null DPC");
        return;
    }
    Dpc->Type = kDpcObject;
    Dpc->Importance = 1;  // medium
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = nullptr;
    Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = reinterpret_cast<PVOID>(DeferredRoutine);
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    CheckIrql(HIGH_LEVEL, "KeInsertQueueDpc");
    if (Dpc == nullptr || Dpc->Type != kDpcObject) {
        RecordViolation("KeInsertQueueDpc on " + detail::PointerText(Dpc) + " which is not an initialised DPC");
        return FALSE;
    }
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    if (DpcQueuedLocked(s, Dpc)) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    s.dpcs.push_back({Dpc, SystemArgument1, SystemArgument2});
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.dpcs.begin(), s.dpcs.end(), [Dpc](const DpcEntry& e) { return e.dpc == Dpc; });
    if (it == s.dpcs.end()) return FALSE;
    s.dpcs.erase(it);
    return TRUE;
}

VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    if (!CheckPassive("KeFlushQueuedDpcs")) return;
    // A DPC running on another thread finishes first; the ones still queued
    // run here, as another processor would have run them.
    RunDpcs(kMaxRoutinesPerRun);
}

// ----------------------------------------------------------------- timers ---

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    if (Timer == nullptr) {
        RecordViolation("KeInitializeTimer with a null timer");
        return;
    }
    Timer->Header.Type = Type == SynchronizationTimer ? kTimerSynchronizationObject : kTimerNotificationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->Header.WaitListHead.Flink = &Timer->Header.WaitListHead;
    Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
    Timer->DueTime = 0;
    Timer->TimerListEntry.Flink = nullptr;
    Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    CheckIrql(DISPATCH_LEVEL, "KeSetTimer");
    if (!IsTimer(Timer)) {
        RecordViolation("KeSetTimer on " + detail::PointerText(Timer) + " which is not an initialised timer");
        return FALSE;
    }
    if (Dpc != nullptr && Dpc->Type != kDpcObject) {
        RecordViolation("KeSetTimer with " + detail::PointerText(Dpc) + ", which is not an initialised DPC");
        return FALSE;
    }
    if (Period < 0) {
        RecordViolation("KeSetTimer with a negative period");
        Period = 0;
    }
    const LONGLONG now = clock::Now();
    LONGLONG due;
    if (DueTime.QuadPart < 0) {
        due = DueTime.QuadPart == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                                       : now - DueTime.QuadPart;
        if (due < now) due = std::numeric_limits<int64_t>::max();
    } else {
        LARGE_INTEGER systemNow;
        KeQuerySystemTime(&systemNow);
        due = DueTime.QuadPart <= systemNow.QuadPart ? now : now + (DueTime.QuadPart - systemNow.QuadPart);
    }
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    const bool wasSet = s.timers.erase(Timer) != 0;
    s.timers[Timer] = TimerEntry{due, Period, Dpc, ++s.order};
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 1;
    Timer->DueTime = static_cast<ULONGLONG>(due);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    CheckIrql(DISPATCH_LEVEL, "KeCancelTimer");
    if (!IsTimer(Timer)) {
        RecordViolation("KeCancelTimer on " + detail::PointerText(Timer) + " which is not an initialised timer");
        return FALSE;
    }
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    const bool wasSet = s.timers.erase(Timer) != 0;
    Timer->Header.Inserted = 0;
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    if (!IsTimer(Timer)) {
        RecordViolation("KeReadStateTimer on " + detail::PointerText(Timer) + " which is not an initialised timer");
        return FALSE;
    }
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

// ------------------------------------------------------------- work items ---

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    CheckIrql(DISPATCH_LEVEL, "ExQueueWorkItem");
    if (WorkItem == nullptr || WorkItem->WorkerRoutine == nullptr) {
        RecordViolation("ExQueueWorkItem with " + detail::PointerText(WorkItem) + ", which has no routine");
        return;
    }
    if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
        RecordViolation("ExQueueWorkItem with unknown queue type " + std::to_string(QueueType));
    }
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    if (std::any_of(s.work.begin(), s.work.end(), [WorkItem](const WorkEntry& e) { return e.exItem == WorkItem; })) {
        RecordViolation("ExQueueWorkItem: work item " + detail::PointerText(WorkItem) + " is already queued");
        return;
    }
    s.work.push_back({nullptr, nullptr, nullptr, WorkItem});
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (DeviceObject == nullptr || !io::IsLiveDevice(DeviceObject)) {
        RecordViolation("IoAllocateWorkItem for " + detail::PointerText(DeviceObject) + ", which is not a device");
        return nullptr;
    }
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    item->magic = kWorkItemMagic;
    item->device = DeviceObject;
    item->queued = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    if (!IsWorkItem(IoWorkItem)) {
        RecordViolation("IoFreeWorkItem on " + detail::PointerText(IoWorkItem) + ", which is not a work item");
        return;
    }
    {
        Scheduler& s = S();
        std::lock_guard lock(s.mutex);
        if (IoWorkItem->queued) {
            RecordViolation("IoFreeWorkItem: work item " + detail::PointerText(IoWorkItem) +
                            " freed while queued; it will not run");
            s.work.erase(std::remove_if(s.work.begin(), s.work.end(),
                                        [IoWorkItem](const WorkEntry& e) { return e.ioItem == IoWorkItem; }),
                         s.work.end());
        }
    }
    IoWorkItem->magic = 0;
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    CheckIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (!IsWorkItem(IoWorkItem) || WorkerRoutine == nullptr) {
        RecordViolation("IoQueueWorkItem with " + detail::PointerText(IoWorkItem) +
                        ", which is not a work item or has no routine");
        return;
    }
    if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
        RecordViolation("IoQueueWorkItem with unknown queue type " + std::to_string(QueueType));
    }
    Scheduler& s = S();
    std::lock_guard lock(s.mutex);
    if (IoWorkItem->queued) {
        RecordViolation("IoQueueWorkItem: work item " + detail::PointerText(IoWorkItem) + " is already queued");
        return;
    }
    IoWorkItem->queued = true;
    s.work.push_back({IoWorkItem, WorkerRoutine, Context, nullptr});
}

// ------------------------------------------------------------- spin locks ---

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    if (SpinLock == nullptr) {
        RecordViolation("KeInitializeSpinLock with a null lock");
        return;
    }
    *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireSpinLock(SpinLock);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseSpinLock(SpinLock);
    KfLowerIrql(NewIrql);
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (CurrentIrql() < DISPATCH_LEVEL) {
        RecordViolation("KeAcquireSpinLockAtDpcLevel called at IRQL " + std::to_string(CurrentIrql()));
    }
    AcquireSpinLock(SpinLock);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseSpinLock(SpinLock);
}

}  // extern "C"
