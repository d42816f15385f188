// The emulated host controller's port: URBs checked as a host controller
// checks them, the isochronous schedule on the emulated clock, and the
// misuse it records.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/kernel.h"
#include "host/scheduler.h"
#include "host/usbport.h"
#include "tests/support/kernel_test.h"
#include "tests/support/usb_double.h"

namespace {

namespace k = kv::kernel;
constexpr LONGLONG kMicroframe = 1250;

// One request sent down to the port, owned by the test.
struct Request {
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_PENDING;
    bool completed = false;
    KIRQL completionIrql = PASSIVE_LEVEL;

    ~Request()
    {
        if (irp != nullptr && completed) IoFreeIrp(irp);
    }
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        auto* self = static_cast<Request*>(context);
        self->completed = true;
        self->completionIrql = KeGetCurrentIrql();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    NTSTATUS Status() const { return irp->IoStatus.Status; }
};

class UsbPortTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        usb.bandwidthBudget = 1024;
        port = kv::usbport::Port::Attach(usb, usb.PortOptions());
    }
    void TearDown() override
    {
        port.reset();
        KernelTest::TearDown();
    }

    std::unique_ptr<Request> Send(void* urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB)
    {
        auto r = std::make_unique<Request>();
        r->irp = IoAllocateIrp(port->Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 = urb;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        IoSetCompletionRoutine(r->irp, Request::Done, r.get(), TRUE, TRUE, TRUE);
        r->returned = IoCallDriver(port->Pdo(), r->irp);
        return r;
    }

    // Configures the double and selects `alternate`; the isochronous pipe's handle.
    USBD_PIPE_HANDLE Configure(UCHAR alternate)
    {
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(usb.ConfigurationDescriptor().data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        PURB select = USBD_CreateConfigurationRequestEx(config, list);
        EXPECT_EQ(Send(select)->Status(), STATUS_SUCCESS);
        configuration = select->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(select);

        std::vector<uint8_t> bytes(GET_SELECT_INTERFACE_REQUEST_SIZE(4));
        auto* urb = reinterpret_cast<PURB>(bytes.data());
        urb->UrbSelectInterface.Hdr.Length = static_cast<USHORT>(bytes.size());
        urb->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        urb->UrbSelectInterface.ConfigurationHandle = configuration;
        urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
        urb->UrbSelectInterface.Interface.AlternateSetting = alternate;
        lastSelect = Send(urb)->Status();
        return urb->UrbSelectInterface.Interface.Pipes[1].PipeHandle;
    }

    // An isochronous IN request of `packets` packets of `slot` bytes.
    struct Iso {
        std::vector<uint8_t> urbBytes;
        std::vector<uint8_t> buffer;
        PURB urb() { return reinterpret_cast<PURB>(urbBytes.data()); }
    };
    static Iso MakeIso(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG slot, ULONG flags)
    {
        Iso iso;
        iso.urbBytes.resize(GET_ISO_URB_SIZE(packets ? packets : 1));
        iso.buffer.resize(static_cast<size_t>(packets) * slot);
        auto& r = iso.urb()->UrbIsochronousTransfer;
        r.Hdr.Length = static_cast<USHORT>(iso.urbBytes.size());
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.PipeHandle = pipe;
        r.TransferFlags = flags;
        r.TransferBufferLength = static_cast<ULONG>(iso.buffer.size());
        r.TransferBuffer = iso.buffer.data();
        r.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) r.IsoPacket[i].Offset = i * slot;
        return iso;
    }

    kvtest::UsbDouble usb;
    std::unique_ptr<kv::usbport::Port> port;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    NTSTATUS lastSelect = STATUS_PENDING;
};

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;

TEST_F(UsbPortTest, IsochronousRequestsTheControllerRefuses)
{
    USBD_PIPE_HANDLE pipe = Configure(1);  // 256 bytes per microframe
    ASSERT_EQ(lastSelect, STATUS_SUCCESS);
    int bogus = 0;
    struct Case {
        const char* what;
        USBD_PIPE_HANDLE pipe;
        ULONG packets;
        ULONG slot;
        ULONG flags;
        USBD_STATUS expected;
    } cases[] = {
        {"unknown pipe handle", &bogus, 8, 256, kIn, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"OUT on an IN endpoint", pipe, 8, 256, USBD_START_ISO_TRANSFER_ASAP, USBD_STATUS_INVALID_PARAMETER},
        {"not whole frames", pipe, 12, 256, kIn, USBD_STATUS_INVALID_PARAMETER},
        {"no packets", pipe, 0, 256, kIn, USBD_STATUS_INVALID_PARAMETER},
        {"more than 1024 packets", pipe, 1032, 256, kIn, USBD_STATUS_INVALID_PARAMETER},
        {"packets smaller than a microframe's bytes", pipe, 8, 200, kIn, USBD_STATUS_INVALID_PARAMETER},
        {"a start frame in the past", pipe, 8, 256, USBD_TRANSFER_DIRECTION_IN, USBD_STATUS_BAD_START_FRAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Iso iso = MakeIso(c.pipe, c.packets, c.slot, c.flags);
        auto r = Send(iso.urb());
        ASSERT_TRUE(r->completed) << "refused at once";
        EXPECT_EQ(iso.urb()->UrbHeader.Status, c.expected);
        EXPECT_FALSE(NT_SUCCESS(r->Status()));
    }
    EXPECT_EQ(port->PendingRequests(), 0u);
}

TEST_F(UsbPortTest, ASettingBeyondTheBudgetIsRefusedWithNoBandwidth)
{
    Configure(3);  // 1024 bytes: within the budget
    EXPECT_EQ(lastSelect, STATUS_SUCCESS);
    EXPECT_EQ(usb.AlternateSetting(), 3);
    Configure(4);  // 2048 bytes
    EXPECT_EQ(lastSelect, STATUS_INSUFFICIENT_RESOURCES);
    const auto events = port->Events();
    EXPECT_EQ(events.back().usbdStatus, USBD_STATUS_NO_BANDWIDTH);
    EXPECT_EQ(usb.AlternateSetting(), 0) << "the refused setting never reached the device";
}

TEST_F(UsbPortTest, AnIsochronousRequestCompletesAtDispatchLevelWhenItsLastMicroframeHasPassed)
{
    USBD_PIPE_HANDLE pipe = Configure(1);
    Iso first = MakeIso(pipe, 8, 256, kIn);
    Iso second = MakeIso(pipe, 16, 256, kIn);
    auto a = Send(first.urb());
    auto b = Send(second.urb());
    EXPECT_EQ(a->returned, STATUS_PENDING);
    const ULONG startA = first.urb()->UrbIsochronousTransfer.StartFrame;
    EXPECT_EQ(second.urb()->UrbIsochronousTransfer.StartFrame, startA + 1) << "ASAP: right behind the first";

    k::clock::Pump(7 * kMicroframe);
    EXPECT_FALSE(a->completed);
    k::clock::Pump(kMicroframe);
    ASSERT_TRUE(a->completed);
    EXPECT_EQ(a->completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(a->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.urb()->UrbIsochronousTransfer.ErrorCount, 0u);
    EXPECT_FALSE(b->completed);
    k::clock::Pump(16 * kMicroframe);
    EXPECT_TRUE(b->completed);
    EXPECT_EQ(usb.Microframe(), 24u) << "the device served 24 microframes";
}

TEST_F(UsbPortTest, AbortCancelsWhatThePipeHoldsAndAnUnplugEndsEverything)
{
    USBD_PIPE_HANDLE pipe = Configure(1);
    Iso one = MakeIso(pipe, 8, 256, kIn);
    Iso two = MakeIso(pipe, 8, 256, kIn);
    auto a = Send(one.urb());
    auto b = Send(two.urb());
    URB abort{};
    abort.UrbPipeRequest.Hdr.Length = sizeof(abort.UrbPipeRequest);
    abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe;
    EXPECT_EQ(Send(&abort)->Status(), STATUS_SUCCESS);
    for (auto* r : {a.get(), b.get()}) {
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(one.urb()->UrbIsochronousTransfer.IsoPacket[0].Status, USBD_STATUS_CANCELED);

    Iso three = MakeIso(pipe, 8, 256, kIn);
    auto c = Send(three.urb());
    usb.Unplug();
    k::clock::Pump(8 * kMicroframe);
    ASSERT_TRUE(c->completed);
    EXPECT_EQ(c->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(three.urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG portStatus = 0xFF;
    EXPECT_EQ(Send(&portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 0u);
    Iso late = MakeIso(pipe, 8, 256, kIn);
    EXPECT_EQ(Send(late.urb())->Status(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbPortTest, MisuseIsRecorded)
{
    USBD_PIPE_HANDLE pipe = Configure(1);
    // A configuration request above PASSIVE_LEVEL.
    {
        k::IrqlScope raised;
        URB frame{};
        frame.UrbGetCurrentFrameNumber.Hdr.Length = sizeof(frame.UrbGetCurrentFrameNumber);
        frame.UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        EXPECT_EQ(Send(&frame)->Status(), STATUS_SUCCESS);  // allowed up to DISPATCH_LEVEL
        URB reset{};
        reset.UrbPipeRequest.Hdr.Length = sizeof(reset.UrbPipeRequest);
        reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
        reset.UrbPipeRequest.PipeHandle = pipe;
        Send(&reset);
    }
    ExpectViolation("USB request submission called at IRQL 2");

    // A URB freed while its IRP is pending.
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, GET_ISO_URB_SIZE(8), KV_POOL_TAG('T', 'e', 's', 't')));
    Iso iso = MakeIso(pipe, 8, 256, kIn);
    std::memcpy(urb, iso.urb(), GET_ISO_URB_SIZE(8));
    auto r = Send(urb);
    ExFreePool(urb);
    k::clock::Pump(16 * kMicroframe);
    ExpectViolation("URB freed while its IRP was pending");
    EXPECT_TRUE(r->completed);

    // A request left pending when the device goes away.
    Iso left = MakeIso(pipe, 8, 256, kIn);
    auto never = Send(left.urb());
    port.reset();
    ExpectViolation("request(s) never completed");
    never->completed = true;  // the test frees it
}

TEST_F(UsbPortTest, ControlRequestsReachEndpointZeroAsSetupPacketsAndTakeBusTime)
{
    usb.registers[0x0123] = 0x5A;
    URB read{};
    UCHAR value = 0;
    auto& r = read.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    r.TransferBufferLength = 1;
    r.TransferBuffer = &value;
    r.Index = 0x0123;
    const LONGLONG before = k::clock::Now();
    EXPECT_EQ(Send(&read)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(r.TransferBufferLength, 1u);
    EXPECT_EQ(k::clock::Now() - before, 3 * kMicroframe);
    const USB_DEFAULT_PIPE_SETUP_PACKET& setup = usb.Log().back().setup;
    EXPECT_EQ(setup.bmRequestType, 0xC0);
    EXPECT_EQ(setup.wIndex, 0x0123);
    EXPECT_EQ(setup.wLength, 1);

    // A raw control transfer whose flags contradict its setup packet.
    URB contradictory{};
    auto& c = contradictory.UrbControlTransfer;
    c.Hdr.Length = sizeof(c);
    c.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    c.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    c.SetupPacket[0] = 0x80;
    const size_t logged = usb.Log().size();
    EXPECT_EQ(Send(&contradictory)->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usb.Log().size(), logged) << "nothing went on the bus";
    // A function the controller does not know.
    URB unknown{};
    unknown.UrbHeader.Length = sizeof(unknown);
    unknown.UrbHeader.Function = 0x00FF;
    EXPECT_EQ(Send(&unknown)->Status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(UsbPortTest, ConfigurationHelpersFollowOnlyWhatTheDescriptorHolds)
{
    auto config = [&] { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(usb.ConfigurationDescriptor().data()); };
    PUSB_INTERFACE_DESCRIPTOR third = USBD_ParseConfigurationDescriptorEx(config(), config(), 0, 3, -1, -1, -1);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->bAlternateSetting, 3);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), 0, 3, 0x0E, -1, -1), nullptr) << "class differs";
    USBD_INTERFACE_LIST_ENTRY list[2] = {{third, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(4));
    EXPECT_EQ(list[0].Interface->AlternateSetting, 3);
    ExFreePool(urb);

    const auto good = usb.ConfigurationDescriptor();
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
    } broken[] = {
        {"a descriptor of length zero", 9, 0},
        {"a descriptor running past the total", 9, 250},
        {"more endpoints announced than follow", 9 + 4, 9},
    };
    for (const Case& b : broken) {
        SCOPED_TRACE(b.what);
        usb.ConfigurationDescriptor() = good;
        usb.ConfigurationDescriptor()[b.at] = b.value;
        PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config(), config(), -1, 0, -1, -1, -1);
        if (first == nullptr) continue;  // refused already
        USBD_INTERFACE_LIST_ENTRY entries[2] = {{first, nullptr}, {nullptr, nullptr}};
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(config(), entries), nullptr);
    }
}

TEST_F(UsbPortTest, ARequestAfterTheDeviceWasRemovedIsRecorded)
{
    Configure(1);
    Request removal;
    removal.irp = IoAllocateIrp(port->Pdo()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(removal.irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_REMOVE_DEVICE;
    removal.irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetCompletionRoutine(removal.irp, Request::Done, &removal, TRUE, TRUE, TRUE);
    IoCallDriver(port->Pdo(), removal.irp);
    EXPECT_TRUE(removal.completed);

    ULONG portStatus = 0;
    EXPECT_EQ(Send(&portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS)->Status(), STATUS_DEVICE_NOT_CONNECTED);
    ExpectViolation("after its removal");
}

}  // namespace

namespace {

TEST_F(UsbPortTest, AnInjectedRequestFailureEndsThatRequestOnlyAndIsCounted)
{
    UCHAR value = 0;
    auto readUrb = [&] {
        auto urb = std::make_unique<URB>();
        auto& r = urb->UrbControlVendorClassRequest;
        r.Hdr.Length = sizeof(r);
        r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        r.TransferBufferLength = 1;
        r.TransferBuffer = &value;
        return urb;
    };
    const uint64_t before = k::CallCount("UsbSubmitUrb");
    k::InjectFailure("UsbSubmitUrb", STATUS_UNSUCCESSFUL, 1, 1);  // the second one from here
    const size_t transfersBefore = usb.Log().size();
    struct Expected {
        NTSTATUS status;
        USBD_STATUS usbd;
        size_t reachedDevice;
    };
    const Expected expected[] = {
        {STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1},
        {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 1},
        {STATUS_SUCCESS, USBD_STATUS_SUCCESS, 2},
    };
    for (const Expected& e : expected) {
        auto urb = readUrb();
        auto r = Send(urb.get());
        EXPECT_TRUE(r->completed);
        EXPECT_EQ(r->Status(), e.status);
        EXPECT_EQ(urb->UrbHeader.Status, e.usbd);
        EXPECT_EQ(usb.Log().size() - transfersBefore, e.reachedDevice);
    }
    EXPECT_EQ(k::CallCount("UsbSubmitUrb") - before, 3u);
}

}  // namespace
