// Timers, DPCs and work items of the kernel emulation, driven by the pump.
#include <gtest/gtest.h>

#include <vector>

#include "host/scheduler.h"
#include "tests/support/kernel_test.h"

namespace k = kv::kernel;
using k::clock::kUnitsPerMillisecond;

namespace {

struct Record {
    std::vector<int64_t> times;
    std::vector<KIRQL> irqls;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* r = static_cast<Record*>(context);
    r->times.push_back(k::clock::Now());
    r->irqls.push_back(KeGetCurrentIrql());
}

LARGE_INTEGER Relative(LONGLONG units)
{
    LARGE_INTEGER due;
    due.QuadPart = -units;
    return due;
}

class SchedulerTest : public KernelTest {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(k::scheduler::Pending().empty());
        KernelTest::TearDown();
    }
};

}  // namespace

TEST_F(SchedulerTest, OneShotTimerFiresItsDpcAtDispatchLevelWhenTheClockPassesItsDueTime)
{
    KTIMER timer;
    KDPC dpc;
    Record r;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &r);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(5 * kUnitsPerMillisecond), &dpc));
    k::clock::PumpMs(4);
    EXPECT_TRUE(r.times.empty());
    EXPECT_FALSE(KeReadStateTimer(&timer));
    k::clock::PumpMs(10);
    ASSERT_EQ(r.times.size(), 1u);
    EXPECT_EQ(r.times[0], 5 * kUnitsPerMillisecond);  // the pump stops at the due time
    EXPECT_EQ(r.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(k::scheduler::SetTimerCount(), 0u);
}

TEST_F(SchedulerTest, PeriodicTimerFiresEveryPeriodAndOnceAfterAJumpUntilCancelled)
{
    KTIMER timer;
    KDPC dpc;
    Record r;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeInitializeDpc(&dpc, RecordDpc, &r);
    KeSetTimerEx(&timer, Relative(kUnitsPerMillisecond), 1, &dpc);
    k::clock::PumpMs(3);
    EXPECT_EQ(r.times, (std::vector<int64_t>{10000, 20000, 30000}));
    // The clock jumps 10 ms (a delay elsewhere): one late firing, then the rhythm again.
    k::clock::AdvanceMs(10);
    k::clock::PumpMs(2);
    EXPECT_EQ(r.times, (std::vector<int64_t>{10000, 20000, 30000, 130000, 140000, 150000}));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    k::clock::PumpMs(5);
    EXPECT_EQ(r.times.size(), 6u);
}

TEST_F(SchedulerTest, SettingATimerAgainReplacesItsDueTime)
{
    KTIMER timer;
    KDPC dpc;
    Record r;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &r);
    KeSetTimer(&timer, Relative(2 * kUnitsPerMillisecond), &dpc);
    EXPECT_TRUE(KeSetTimer(&timer, Relative(7 * kUnitsPerMillisecond), &dpc));
    k::clock::PumpMs(20);
    EXPECT_EQ(r.times, std::vector<int64_t>{7 * kUnitsPerMillisecond});
}

namespace {

struct Chain {
    PIO_WORKITEM item = nullptr;
    KDPC dpc;
    std::vector<std::string> steps;
};

VOID NTAPI ChainWork(PDEVICE_OBJECT, PVOID context)
{
    auto* c = static_cast<Chain*>(context);
    c->steps.push_back("work at " + std::to_string(KeGetCurrentIrql()));
}

VOID NTAPI ChainDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* c = static_cast<Chain*>(context);
    c->steps.push_back("dpc at " + std::to_string(KeGetCurrentIrql()));
    IoQueueWorkItem(c->item, ChainWork, DelayedWorkQueue, c);
}

}  // namespace

TEST_F(SchedulerTest, WorkQueuedByADpcRunsAtPassiveLevelInTheSamePump)
{
    PDEVICE_OBJECT device = k::io::CreateHandlerDevice({});
    Chain c;
    c.item = IoAllocateWorkItem(device);
    ASSERT_NE(c.item, nullptr);
    KeInitializeDpc(&c.dpc, ChainDpc, &c);
    EXPECT_TRUE(KeInsertQueueDpc(&c.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&c.dpc, nullptr, nullptr));  // already queued
    EXPECT_EQ(k::clock::RunDue(), 2u);
    EXPECT_EQ(c.steps, (std::vector<std::string>{"dpc at 2", "work at 0"}));
    IoFreeWorkItem(c.item);
    k::io::DeleteDevice(device);
}

TEST_F(SchedulerTest, WorkItemMisuseIsRecorded)
{
    PDEVICE_OBJECT device = k::io::CreateHandlerDevice({});
    Chain c;
    c.item = IoAllocateWorkItem(device);
    IoQueueWorkItem(c.item, ChainWork, DelayedWorkQueue, &c);
    IoQueueWorkItem(c.item, ChainWork, DelayedWorkQueue, &c);
    ExpectViolation("already queued");
    IoFreeWorkItem(c.item);  // freed while queued: it never runs
    ExpectViolation("freed while queued");
    EXPECT_EQ(k::clock::RunDue(), 0u);
    EXPECT_TRUE(c.steps.empty());
    k::io::DeleteDevice(device);
}

namespace {

VOID NTAPI CountWork(PVOID parameter)
{
    ++*static_cast<int*>(parameter);
}

}  // namespace

TEST_F(SchedulerTest, RunUntilStopsWhenDoneOrAtItsLimit)
{
    KTIMER timer;
    KDPC dpc;
    Record r;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &r);
    KeSetTimerEx(&timer, Relative(3 * kUnitsPerMillisecond), 3, &dpc);
    EXPECT_TRUE(k::clock::RunUntil([&] { return r.times.size() == 2; }, 100 * kUnitsPerMillisecond));
    EXPECT_EQ(k::clock::Now(), 6 * kUnitsPerMillisecond);
    EXPECT_FALSE(k::clock::RunUntil([] { return false; }, 10 * kUnitsPerMillisecond));
    EXPECT_EQ(k::clock::Now(), 16 * kUnitsPerMillisecond);
    KeCancelTimer(&timer);

    int count = 0;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, CountWork, &count);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_TRUE(k::clock::RunUntil([&] { return count == 1; }, 0));
}

TEST_F(SchedulerTest, PumpingAtRaisedIrqlAndTimerCallsAboveDispatchAreRecorded)
{
    {
        k::IrqlScope raised(DISPATCH_LEVEL);
        k::clock::PumpMs(1);
    }
    ExpectViolation("clock pump");
    KTIMER timer;
    KeInitializeTimer(&timer);
    {
        k::IrqlScope high(HIGH_LEVEL);
        KeCancelTimer(&timer);
    }
    ExpectViolation("KeCancelTimer");
    KTIMER garbage{};
    KeSetTimer(&garbage, Relative(1), nullptr);
    ExpectViolation("not an initialised timer");
}

TEST_F(SchedulerTest, ResetForgetsPendingTimersAndWork)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(kUnitsPerMillisecond), nullptr);
    int count = 0;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, CountWork, &count);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_EQ(k::scheduler::Pending().size(), 2u);
    k::Reset();
    EXPECT_TRUE(k::scheduler::Pending().empty());
    k::clock::PumpMs(5);
    EXPECT_EQ(count, 0);
}

TEST_F(SchedulerTest, SpinLockRaisesToDispatchAndCatchesASecondAcquireByItsHolder)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    ExpectViolation("acquired again");
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ExpectViolation("does not hold it");
}
