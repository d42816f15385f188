// The emulated clock, delays, events and IRQL tracking.
#include "tests/support/kernel_test.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

namespace k = kv::kernel;

class ClockTest : public KernelTest {};

NTSTATUS DelayMs(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = ms * -10000;
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST_F(ClockTest, PerformanceCounterRunsAtTenMegahertzAndDelaysAdvanceIt)
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    EXPECT_EQ(start.QuadPart, 0);

    EXPECT_EQ(DelayMs(3), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 30'000);
    EXPECT_EQ(DelayMs(300), STATUS_SUCCESS);
    EXPECT_EQ(DelayMs(0), STATUS_SUCCESS);
    EXPECT_EQ(k::clock::Now(), 3'030'000);
    EXPECT_EQ(k::clock::TotalDelayed(), 3'030'000);
    EXPECT_EQ(k::clock::DelayCount(), 3u);

    // Time moved by others (the board, the test) shows in the counter too,
    // but is not a delay of the driver.
    k::clock::AdvanceMs(5);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 3'080'000);
    EXPECT_EQ(k::clock::TotalDelayed(), 3'030'000);
}

TEST_F(ClockTest, AbsoluteIntervalWaitsUntilThatSystemTime)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER until;
    until.QuadPart = now.QuadPart + 50'000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &until), STATUS_SUCCESS);
    EXPECT_EQ(k::clock::Now(), 50'000);
    // A time already past returns at once.
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &now), STATUS_SUCCESS);
    EXPECT_EQ(k::clock::Now(), 50'000);

    LARGE_INTEGER ticks;
    k::clock::Advance(156'250 * 3);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 3);
}

TEST_F(ClockTest, DelayAtDispatchLevelIsAViolationAndNullIntervalIsRefused)
{
    {
        k::IrqlScope dispatch;
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        DelayMs(1);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExpectViolation("KeDelayExecutionThread called at IRQL 2");

    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    ExpectViolation("null interval");
}

TEST_F(ClockTest, InjectedDelayFailureReturnsItsStatusWithoutWaiting)
{
    k::InjectFailure("KeDelayExecutionThread", STATUS_ALERTED);
    EXPECT_EQ(DelayMs(10), STATUS_ALERTED);
    EXPECT_EQ(k::clock::Now(), 0);
    EXPECT_EQ(DelayMs(10), STATUS_SUCCESS);
}

TEST_F(ClockTest, IrqlRaiseAndLowerAreCheckedAndNest)
{
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    {
        k::IrqlScope stillDispatch(DISPATCH_LEVEL);
        EXPECT_EQ(k::CurrentIrql(), DISPATCH_LEVEL);
    }
    // Raising to a lower level is a fault of the caller.
    KIRQL ignored;
    KeRaiseIrql(PASSIVE_LEVEL, &ignored);
    ExpectViolation("below the current IRQL");
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    ExpectViolation("above the current IRQL");

    EXPECT_TRUE(k::CheckPassive("SomeRoutine"));
    k::IrqlScope dispatch;
    EXPECT_FALSE(k::CheckPassive("USBCAMD_ControlVendorCommand"));
    ExpectViolation("USBCAMD_ControlVendorCommand called at IRQL 2 (allowed up to 0)");
}

TEST_F(ClockTest, IrqlIsPerThread)
{
    k::IrqlScope dispatch;
    KIRQL seen = 0xFF;
    std::thread other([&] { seen = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST_F(ClockTest, SynchronizationEventsResetOnWaitNotificationEventsStaySignalled)
{
    KEVENT sync;
    KEVENT notify;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};

    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    EXPECT_EQ(KeSetEvent(&notify, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notify), 1);
    KeClearEvent(&notify);
    EXPECT_EQ(KeReadStateEvent(&notify), 0);
    EXPECT_EQ(k::clock::Now(), 0);
}

TEST_F(ClockTest, TimedWaitLetsItsTimePass)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(k::clock::Now(), 20'000);
}

TEST_F(ClockTest, AnotherThreadEndsAnUnboundedWait)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST_F(ClockTest, WaitingOnSomethingThatIsNotAnEventIsRefused)
{
    KEVENT garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);
    EXPECT_EQ(KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    ExpectViolation("not an initialised event");
    KeSetEvent(&garbage, IO_NO_INCREMENT, FALSE);
    ExpectViolation("KeSetEvent");
}

TEST_F(ClockTest, PacedClockSleepsForRealAndUnpacedDoesNot)
{
    auto wallStart = std::chrono::steady_clock::now();
    DelayMs(10'000);
    EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(5));

    k::clock::SetPacedToWallClock(true);
    EXPECT_TRUE(k::clock::PacedToWallClock());
    wallStart = std::chrono::steady_clock::now();
    DelayMs(30);
    EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(30));
    k::Reset();
    EXPECT_FALSE(k::clock::PacedToWallClock());
}

}  // namespace
