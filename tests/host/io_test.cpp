// Device objects, attachment chains and IRPs: the synchronous query-interface
// round trip the driver makes, completion rules and the faults they catch.
#include "tests/support/kernel_test.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

namespace k = kv::kernel;
namespace io = kv::kernel::io;

// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
constexpr GUID kTestInterface = DEFINE_GUID_VALUE(0x0F1E2D3C, 0x4B5A, 0x6978, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0);
constexpr GUID kOtherInterface = DEFINE_GUID_VALUE(0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);

struct TestInterface {
    INTERFACE header;
    ULONG(NTAPI* Answer)(PVOID Context);
};

int gReferences = 0;
VOID NTAPI Reference(PVOID) { ++gReferences; }
VOID NTAPI Dereference(PVOID) { --gReferences; }
ULONG NTAPI Answer(PVOID) { return 42; }

TestInterface Offered()
{
    TestInterface record{};
    record.header.Size = sizeof(TestInterface);
    record.header.Version = 100;
    record.header.Context = &gReferences;
    record.header.InterfaceReference = Reference;
    record.header.InterfaceDereference = Dereference;
    record.Answer = Answer;
    return record;
}

// The query as the driver sends it: a synchronous PnP IRP, status preset to
// STATUS_NOT_SUPPORTED, the next stack location filled, wait if pending.
NTSTATUS QueryInterface(PDEVICE_OBJECT target, const GUID& type, USHORT size, USHORT version, PINTERFACE buffer)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = buffer;
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

class IoTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        gReferences = 0;
    }

    io::IrpHandler Provider()
    {
        return [](PDEVICE_OBJECT, PIRP irp) {
            TestInterface record = Offered();
            NTSTATUS status;
            if (io::AnswerQueryInterface(irp, kTestInterface, &record, sizeof record, &status)) {
                return status;
            }
            return io::CompleteWithCurrentStatus(irp);
        };
    }
};

TEST_F(IoTest, QueryInterfaceRoundTripFillsTheCallersRecord)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", Provider());
    ASSERT_NE(pdo, nullptr);
    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(pdo, kTestInterface, sizeof buffer, 100, &buffer.header), STATUS_SUCCESS);
    EXPECT_EQ(buffer.header.Version, 100);
    EXPECT_EQ(buffer.header.Size, sizeof(TestInterface));
    ASSERT_NE(buffer.Answer, nullptr);
    EXPECT_EQ(buffer.Answer(buffer.header.Context), 42u);
    EXPECT_EQ(gReferences, 1);
    EXPECT_EQ(io::OutstandingIrpCount(), 0u);
}

TEST_F(IoTest, UnknownInterfaceKeepsNotSupportedAndLeavesTheBufferAlone)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", Provider());
    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(pdo, kOtherInterface, sizeof buffer, 1, &buffer.header), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(buffer.Answer, nullptr);
    EXPECT_EQ(buffer.header.Version, 0);

    // A device without a handler answers every IRP with its current status.
    PDEVICE_OBJECT plain = io::CreateHandlerDevice(nullptr);
    EXPECT_EQ(QueryInterface(plain, kTestInterface, sizeof buffer, 1, &buffer.header), STATUS_NOT_SUPPORTED);

    // A record smaller than the interface is refused, not overrun.
    EXPECT_EQ(QueryInterface(pdo, kTestInterface, sizeof(INTERFACE), 100, &buffer.header), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.Answer, nullptr);
}

TEST_F(IoTest, PendingAnswerCompletedFromAnotherThreadWakesTheWaiter)
{
    PIRP held = nullptr;
    std::thread completer;
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        completer = std::thread([irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            TestInterface record = Offered();
            NTSTATUS ignored;
            io::AnswerQueryInterface(irp, kTestInterface, &record, sizeof record, &ignored);
        });
        return STATUS_PENDING;
    });
    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(pdo, kTestInterface, sizeof buffer, 100, &buffer.header), STATUS_SUCCESS);
    completer.join();
    EXPECT_NE(held, nullptr);
    EXPECT_NE(buffer.Answer, nullptr);
}

// A minimal function driver: forwards PnP IRPs down its stack.
PDEVICE_OBJECT gLower = nullptr;
NTSTATUS NTAPI ForwardPnp(PDEVICE_OBJECT, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(gLower, irp);
}

TEST_F(IoTest, StacksForwardDownAndFiltersAboveAnswerFirst)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", Provider());
    PDRIVER_OBJECT driver = io::CreateDriver("kvtest");
    driver->MajorFunction[IRP_MJ_PNP] = ForwardPnp;
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo), STATUS_SUCCESS);
    gLower = IoAttachDeviceToDeviceStack(fdo, pdo);
    EXPECT_EQ(gLower, pdo);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(io::LowerDevice(fdo), pdo);
    EXPECT_EQ(io::PhysicalDeviceOf(fdo), pdo);

    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(fdo, kTestInterface, sizeof buffer, 100, &buffer.header), STATUS_SUCCESS);
    EXPECT_NE(buffer.Answer, nullptr);

    // A filter attached above the class device answers its own interface.
    PDEVICE_OBJECT filter = io::CreateHandlerDevice(
        [](PDEVICE_OBJECT, PIRP irp) {
            TestInterface record = Offered();
            record.header.Version = 7;
            NTSTATUS status;
            if (io::AnswerQueryInterface(irp, kOtherInterface, &record, sizeof record, &status)) {
                return status;
            }
            return io::CompleteWithCurrentStatus(irp);
        },
        fdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(fdo->AttachedDevice, filter);
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDeviceReference(pdo), filter);
    ObDereferenceObject(filter);
    TestInterface hook{};
    EXPECT_EQ(QueryInterface(fdo->AttachedDevice, kOtherInterface, sizeof hook, 100, &hook.header), STATUS_SUCCESS);
    EXPECT_EQ(hook.header.Version, 7);

    io::DeleteDevice(filter);
    EXPECT_EQ(fdo->AttachedDevice, nullptr);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(IoTest, DriverObjectsStartWithInvalidRequestForEveryMajorFunction)
{
    PDRIVER_OBJECT driver = io::CreateDriver("kvtest");
    ASSERT_NE(io::DriverRegistryPath(driver), nullptr);
    EXPECT_EQ(k::ToUtf8(std::u16string_view(io::DriverRegistryPath(driver)->Buffer,
                                            io::DriverRegistryPath(driver)->Length / 2)),
              "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvtest");
    EXPECT_TRUE(k::registry::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\kvtest"));
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(device, kTestInterface, sizeof buffer, 1, &buffer.header), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
}

TEST_F(IoTest, CreatedDevicesHaveZeroedExtensionsFlagsAndUniqueNames)
{
    PDRIVER_OBJECT driver = io::CreateDriver("kvtest");
    k::OwnedUnicodeString name(u"\\Device\\KvCapture0");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 648, name, FILE_DEVICE_KS, 0, TRUE, &first), STATUS_SUCCESS);
    auto* extension = static_cast<uint8_t*>(first->DeviceExtension);
    ASSERT_NE(extension, nullptr);
    for (int i = 0; i < 648; ++i) {
        ASSERT_EQ(extension[i], 0) << i;
    }
    EXPECT_EQ(first->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(first->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(first->DriverObject, driver);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(IoCreateDevice(driver, 0, name, FILE_DEVICE_KS, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_EQ(driver->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);

    k::InjectFailure("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT third = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &third), STATUS_INSUFFICIENT_RESOURCES);
    IoDeleteDevice(second);
    IoDeleteDevice(first);
}

TEST_F(IoTest, DeletingWrongAndTwiceAreViolations)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    PDEVICE_OBJECT upper = io::CreateHandlerDevice(nullptr, pdo);
    IoDeleteDevice(upper);
    ExpectViolation("still attached to a lower device");
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    IoDeleteDevice(upper);
    ExpectViolation("not a live device object");
    IoDetachDevice(pdo);
    ExpectViolation("no device attached above it");

    // A referenced device stays until the last reference goes.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, pdo);
    IoDeleteDevice(pdo);
    EXPECT_FALSE(io::IsLiveDevice(pdo));
    EXPECT_EQ(ObDereferenceObject(pdo), 0);
    ObDereferenceObject(pdo);
    ExpectViolation("holds no reference");
}

NTSTATUS NTAPI CompleteWithSuccess(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 5;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct CompletionLog {
    PDEVICE_OBJECT device = nullptr;
    int calls = 0;
    PIRP irp = nullptr;
};

NTSTATUS NTAPI HoldIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* log = static_cast<CompletionLog*>(context);
    log->device = device;
    log->irp = irp;
    ++log->calls;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT gCompletionLower = nullptr;
CompletionLog gLog;
NTSTATUS NTAPI ForwardWithCompletion(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, HoldIrp, &gLog, TRUE, TRUE, TRUE);
    IoCallDriver(gCompletionLower, irp);
    // The completion routine stopped completion; finish it now.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(IoTest, CompletionRoutinesRunWithTheirOwnDeviceAndCanHoldTheIrp)
{
    PDRIVER_OBJECT lowerDriver = io::CreateDriver("kvlower");
    lowerDriver->MajorFunction[IRP_MJ_READ] = CompleteWithSuccess;
    PDRIVER_OBJECT upperDriver = io::CreateDriver("kvupper");
    upperDriver->MajorFunction[IRP_MJ_READ] = ForwardWithCompletion;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    gCompletionLower = IoAttachDeviceToDeviceStack(upper, lower);
    gLog = CompletionLog{};

    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    uint8_t data[8];
    LARGE_INTEGER offset;
    offset.QuadPart = 512;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, upper, data, sizeof data, &offset, &event, &ioStatus);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.Length, sizeof data);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.ByteOffset.QuadPart, 512);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.device, upper);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 5u);
    EXPECT_EQ(io::OutstandingIrpCount(), 0u);

    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
}

NTSTATUS NTAPI FreeAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

TEST_F(IoTest, ACompletionRoutineThatFreesTheIrpMustStopCompletion)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    PIRP irp = IoAllocateIrp(pdo->StackSize + 1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);  // this caller's own location
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, FreeAndContinue, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_NOT_SUPPORTED);
    ExpectViolation("freed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
    EXPECT_EQ(io::OutstandingIrpCount(), 0u);
}

TEST_F(IoTest, CompletingTwiceAndNeverAreCaught)
{
    PIRP kept = nullptr;
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", [&](PDEVICE_OBJECT, PIRP irp) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    });
    TestInterface buffer{};
    QueryInterface(pdo, kTestInterface, sizeof buffer, 1, &buffer.header);
    ExpectViolation("completed twice");

    // A driver that keeps an IRP and never completes it leaves it outstanding.
    PDEVICE_OBJECT sink = io::CreateHandlerDevice([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, sink, nullptr, 0, nullptr, &event, &ioStatus);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(IoCallDriver(sink, irp), STATUS_PENDING);
    ASSERT_EQ(io::OutstandingIrpCount(), 1u);
    EXPECT_NE(io::OutstandingIrps()[0].find("major 0x1B, minor 0x00"), std::string::npos) << io::OutstandingIrps()[0];
    // Completing with STATUS_PENDING is itself a fault.
    kept->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(kept, IO_NO_INCREMENT);
    ExpectViolation("with status STATUS_PENDING");
    EXPECT_EQ(io::OutstandingIrpCount(), 0u);
}

TEST_F(IoTest, BadCallsAreRecordedNotFollowed)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", Provider());
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    k::InjectFailure("IoBuildSynchronousFsdRequest", STATUS_INSUFFICIENT_RESOURCES);
    TestInterface buffer{};
    EXPECT_EQ(QueryInterface(pdo, kTestInterface, sizeof buffer, 1, &buffer.header), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, pdo, nullptr, 0, nullptr, &event, &ioStatus), nullptr);
    ExpectViolation("which it does not build");

    // An IRP built for a one-location stack cannot be passed further down.
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &ioStatus);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_START_DEVICE;
    IoSetNextIrpStackLocation(irp);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_INVALID_PARAMETER);
    ExpectViolation("no stack location left");
    IoSkipCurrentIrpStackLocation(irp);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_NOT_SUPPORTED);

    PDEVICE_OBJECT gone = io::CreateHandlerDevice(nullptr);
    io::DeleteDevice(gone);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &ioStatus);
    EXPECT_EQ(IoCallDriver(gone, irp), STATUS_INVALID_PARAMETER);
    ExpectViolation("not a live device object");
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    ExpectViolation("IoFreeIrp");
}

TEST_F(IoTest, PnpIrpAtDispatchLevelIsAViolation)
{
    PDEVICE_OBJECT pdo = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1", Provider());
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &ioStatus);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    {
        k::IrqlScope dispatch;
        IoCallDriver(pdo, irp);
    }
    ExpectViolation("IofCallDriver (IRP_MJ_PNP) called at IRQL 2");
}

TEST_F(IoTest, PhysicalDevicesGetDriverKeysNumberedPerInstance)
{
    PDEVICE_OBJECT first = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    PDEVICE_OBJECT second = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\2");
    std::string classKey(k::registry::kImageClassKey);
    EXPECT_EQ(k::registry::DriverKeyPath(first), classKey + "\\0000");
    EXPECT_EQ(k::registry::DriverKeyPath(second), classKey + "\\0001");
    EXPECT_EQ(k::registry::DeviceKeyPath(first),
              "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\1\\Device Parameters");
    EXPECT_TRUE(io::IsPhysicalDevice(first));
    EXPECT_EQ(io::InstanceId(second), "USB\\VID_1234&PID_5678\\2");

    // Unplugged and plugged in again: the same instance keeps its key.
    io::DeleteDevice(first);
    PDEVICE_OBJECT again = io::CreatePhysicalDevice("USB\\VID_1234&PID_5678\\1");
    EXPECT_EQ(k::registry::DriverKeyPath(again), classKey + "\\0000");
    EXPECT_EQ(k::registry::GetString("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\1", "Driver"),
              "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000");

    PDEVICE_OBJECT notPhysical = io::CreateHandlerDevice(nullptr);
    EXPECT_EQ(k::registry::DriverKeyPath(notPhysical), "");
}

}  // namespace
