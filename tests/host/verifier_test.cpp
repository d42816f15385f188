// The verifier-style checks of the kernel emulation: vector code without a
// saved state, deferred work left in memory being freed or for a device
// being deleted, and the call counts a fault sweep sizes itself by.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "host/kernel.h"
#include "host/scheduler.h"
#include "tests/support/kernel_test.h"

namespace {

namespace k = kv::kernel;

class VerifierTest : public KernelTest {};

TEST_F(VerifierTest, VectorCodeNeedsTheStateItTouchesSavedByItsOwnThread)
{
    struct Case {
        const char* name;
        bool legacy;
        ULONGLONG extendedMask;  // 0: no extended save
        ULONGLONG checked;
        const char* violation;  // null: none
    };
    const Case cases[] = {
        {"nothing saved", false, 0, 0, "without a saved floating-point state"},
        {"legacy for SSE rows", true, 0, 0, nullptr},
        {"legacy only for AVX rows", true, 0, XSTATE_MASK_AVX, "without a saved extended state"},
        {"AVX saved for AVX rows", true, XSTATE_MASK_AVX, XSTATE_MASK_AVX, nullptr},
        {"AVX saved for AVX-512 rows", true, XSTATE_MASK_AVX, XSTATE_MASK_AVX | XSTATE_MASK_AVX512,
         "without a saved extended state"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KFLOATING_SAVE legacy;
        XSTATE_SAVE extended;
        if (c.legacy) {
            ASSERT_EQ(KeSaveFloatingPointState(&legacy), STATUS_SUCCESS);
        }
        if (c.extendedMask != 0) {
            ASSERT_EQ(KeSaveExtendedProcessorState(c.extendedMask, &extended), STATUS_SUCCESS);
        }
        EXPECT_EQ(k::FloatingPointStateHeld(), c.legacy);
        KvCheckFloatingPointStateSaved(c.checked);
        if (c.violation != nullptr) ExpectViolation(c.violation);
        EXPECT_TRUE(k::Violations().empty());
        if (c.extendedMask != 0) KeRestoreExtendedProcessorState(&extended);
        if (c.legacy) KeRestoreFloatingPointState(&legacy);
        // Once restored, nothing is held any more.
        KvCheckFloatingPointStateSaved(0);
        ExpectViolation("without a saved floating-point state");
    }
}

TEST_F(VerifierTest, ASaveHeldByAnotherThreadDoesNotCountAndARestoreNeedsASave)
{
    KFLOATING_SAVE legacy;
    ASSERT_EQ(KeSaveFloatingPointState(&legacy), STATUS_SUCCESS);
    std::thread([] { KvCheckFloatingPointStateSaved(0); }).join();
    ExpectViolation("without a saved floating-point state");
    EXPECT_EQ(KeRestoreFloatingPointState(&legacy), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&legacy), STATUS_SUCCESS);
    ExpectViolation("KeRestoreFloatingPointState with no state saved");
    XSTATE_SAVE extended;
    KeRestoreExtendedProcessorState(&extended);
    ExpectViolation("KeRestoreExtendedProcessorState with no state saved");
}

int gDpcRuns = 0;
VOID NTAPI CountRun(PKDPC, PVOID, PVOID, PVOID)
{
    ++gDpcRuns;
}

// A timer with its DPC, as a driver keeps them in its own pool record.
struct Deferred {
    KTIMER timer;
    KDPC dpc;
};
constexpr ULONG kTag = k::pool::Tag("Test");

TEST_F(VerifierTest, PoolFreedWithATimerSetOrADpcQueuedInsideIsCaughtAndNothingRunsFromIt)
{
    struct Case {
        const char* name;
        bool setTimer, queueDpc;
        const char* violation;
    };
    const Case cases[] = {
        {"timer set", true, false, "while its timer"},
        {"DPC queued", false, true, "while its DPC"},
        {"both idle", false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gDpcRuns = 0;
        auto* d = static_cast<Deferred*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Deferred), kTag));
        ASSERT_NE(d, nullptr);
        KeInitializeTimer(&d->timer);
        KeInitializeDpc(&d->dpc, CountRun, nullptr);
        if (c.setTimer) {
            LARGE_INTEGER due;
            due.QuadPart = -10'000;  // 1 ms
            KeSetTimer(&d->timer, due, &d->dpc);
        }
        if (c.queueDpc) KeInsertQueueDpc(&d->dpc, nullptr, nullptr);
        ExFreePoolWithTag(d, kTag);
        if (c.violation != nullptr) ExpectViolation(c.violation);
        EXPECT_TRUE(k::Violations().empty());
        k::clock::PumpMs(5);
        EXPECT_EQ(gDpcRuns, 0);
        EXPECT_TRUE(k::scheduler::Pending().empty());
    }
}

VOID NTAPI Idle(PDEVICE_OBJECT, PVOID) {}

TEST_F(VerifierTest, DeletingADeviceWithItsWorkItemQueuedIsCaught)
{
    PDRIVER_OBJECT driver = k::io::CreateDriver("verifier");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device), STATUS_SUCCESS);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(item, Idle, DelayedWorkQueue, nullptr);
    IoDeleteDevice(device);
    ExpectViolation("while its work item");
    k::clock::RunDue();
    ExpectViolation("ran after its device");
    IoFreeWorkItem(item);
}

TEST_F(VerifierTest, CallCountsIncludeFailedCallsAndStartAfresh)
{
    k::InjectFailure("ZwOpenKey", STATUS_INSUFFICIENT_RESOURCES, 1, 1);
    HANDLE key = nullptr;
    k::OwnedUnicodeString path("\\REGISTRY\\MACHINE\\SOFTWARE");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS};
    for (NTSTATUS status : expected) {
        EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), status);
        if (NT_SUCCESS(status)) ZwClose(key);
    }
    EXPECT_EQ(k::CallCount("ZwOpenKey"), 3u);
    EXPECT_EQ(k::CallCount("ZwCreateKey"), 0u);
    k::Reset();
    EXPECT_EQ(k::CallCount("ZwOpenKey"), 0u);
}

}  // namespace
