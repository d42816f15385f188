// The library's USB calls: URBs sent down the device's stack in
// IRP_MJ_INTERNAL_DEVICE_CONTROL requests, vendor commands for the camera,
// alternate setting selection, and the walk over the configuration
// descriptor they rely on. The descriptors come from the device and are
// treated as untrusted: every length is checked before it is followed.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

// Calls `visit` for each descriptor after the configuration header until it
// returns FALSE; returns FALSE when a descriptor is malformed.
template <typename Visit>
BOOLEAN WalkDescriptors(const UsbcamdDevice* device, ULONG from, Visit visit)
{
    const PUCHAR start = reinterpret_cast<PUCHAR>(device->configDescriptor);
    const ULONG total = device->configDescriptorLength;
    ULONG at = from;
    while (at + 2 <= total) {
        const UCHAR length = start[at];
        if (length < 2 || length > total - at) {
            return FALSE;
        }
        if (!visit(start + at, at)) {
            return TRUE;
        }
        at += length;
    }
    return TRUE;
}

// Completion of a request someone waits for: the waiter owns the IRP.
NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID PrepareInternalRequest(PIRP irp, ULONG code, PVOID argument)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = argument;
    next->Parameters.DeviceIoControl.IoControlCode = code;
}

// One internal request down the stack, waited for (PASSIVE_LEVEL).
NTSTATUS CallAndWait(UsbcamdDevice* device, ULONG code, PVOID argument, BOOLEAN evenIfGone = FALSE)
{
    if (device->busDeviceObject == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (device->usbGone && !evenIfGone) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIRP irp = IoAllocateIrp(device->busDeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PrepareInternalRequest(irp, code, argument);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->busDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        device->usbGone = TRUE;
    }
    return status;
}

// A vendor request sent without waiting (above PASSIVE_LEVEL): the
// completion routine reports to the caller's routine and frees everything.
struct DeferredCommand {
    URB urb;
    PCOMMAND_COMPLETE_FUNCTION complete;
    PVOID deviceContext;
    PVOID commandContext;
    PULONG length;
};

NTSTATUS NTAPI DeferredCommandDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    DeferredCommand* command = static_cast<DeferredCommand*>(Context);
    const NTSTATUS status = Irp->IoStatus.Status;
    if (command->complete != nullptr) {
        command->complete(command->deviceContext, command->commandContext, status);
    }
    IoFreeIrp(Irp);
    ExFreePoolWithTag(command, USBCAMD_POOL_TAG);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID BuildVendorRequest(PURB urb, UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length,
                        BOOLEAN getData)
{
    memset(urb, 0, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Length = (USHORT)sizeof(r);
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = getData ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = length != 0 ? buffer : nullptr;
    r.Request = request;
    r.Value = value;
    r.Index = index;
}

}  // namespace

NTSTATUS UsbcamdSubmitUrb(UsbcamdDevice* device, PURB urb)
{
    const NTSTATUS status = CallAndWait(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    if (urb->UrbHeader.Status == USBD_STATUS_DEVICE_GONE) {
        device->usbGone = TRUE;
    }
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

// Callers wait for the pipe's transfers right after the abort, so a
// transient failure to send it (no IRP, a refused request) is tried again.
#define ABORT_PIPE_ATTEMPTS 3

NTSTATUS UsbcamdAbortPipe(UsbcamdDevice* device, USBD_PIPE_HANDLE pipe)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < ABORT_PIPE_ATTEMPTS; ++attempt) {
        URB urb;
        memset(&urb, 0, sizeof(urb));
        urb.UrbPipeRequest.Hdr.Length = (USHORT)sizeof(urb.UrbPipeRequest);
        urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        urb.UrbPipeRequest.PipeHandle = pipe;
        status = CallAndWait(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, TRUE);
        if (NT_SUCCESS(status) || status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_INVALID_DEVICE_STATE) {
            break;
        }
    }
    return status;
}

NTSTATUS UsbcamdPortStatus(UsbcamdDevice* device, PULONG portStatus)
{
    *portStatus = 0;
    return CallAndWait(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS UsbcamdPipeRequest(UsbcamdDevice* device, USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb;
    memset(&urb, 0, sizeof(urb));
    urb.UrbPipeRequest.Hdr.Length = (USHORT)sizeof(urb.UrbPipeRequest);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return UsbcamdSubmitUrb(device, &urb);
}

NTSTATUS UsbcamdGetDescriptor(UsbcamdDevice* device, UCHAR type, PVOID buffer, PULONG length)
{
    URB urb;
    memset(&urb, 0, sizeof(urb));
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = (USHORT)sizeof(r);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBufferLength = *length;
    r.TransferBuffer = buffer;
    r.DescriptorType = type;
    const NTSTATUS status = UsbcamdSubmitUrb(device, &urb);
    // The stack never reports more than was asked for, whatever it says.
    *length = NT_SUCCESS(status) && r.TransferBufferLength <= *length ? r.TransferBufferLength : 0;
    return status;
}

VOID UsbcamdTakePipes(UsbcamdDevice* device, const USBD_INTERFACE_INFORMATION* info)
{
    const ULONG count = info->NumberOfPipes <= USBCAMD_MAX_PIPES ? info->NumberOfPipes : USBCAMD_MAX_PIPES;
    memset(device->pipes, 0, sizeof(device->pipes));
    for (ULONG i = 0; i < count; ++i) {
        device->pipes[i] = info->Pipes[i];
    }
    device->currentPipeCount = count;
    device->interfaceNumber = info->InterfaceNumber;
    device->alternateSetting = info->AlternateSetting;
}

const USB_INTERFACE_DESCRIPTOR* UsbcamdFindInterface(const UsbcamdDevice* device, UCHAR interfaceNumber,
                                                     UCHAR alternate)
{
    if (device->configDescriptor == nullptr) {
        return nullptr;
    }
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    const BOOLEAN wellFormed =
        WalkDescriptors(device, device->configDescriptor->bLength, [&](const UCHAR* d, ULONG) -> BOOLEAN {
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
                const USB_INTERFACE_DESCRIPTOR* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
                if (candidate->bInterfaceNumber == interfaceNumber && candidate->bAlternateSetting == alternate) {
                    found = candidate;
                    return FALSE;
                }
            }
            return TRUE;
        });
    return wellFormed ? found : nullptr;
}

LONG UsbcamdCountPipes(const UsbcamdDevice* device, const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                       ULONG capacity)
{
    const ULONG from = (ULONG)(reinterpret_cast<const UCHAR*>(interfaceDescriptor) -
                               reinterpret_cast<const UCHAR*>(device->configDescriptor)) +
                       interfaceDescriptor->bLength;
    ULONG count = 0;
    BOOLEAN bad = FALSE;
    const BOOLEAN wellFormed = WalkDescriptors(device, from, [&](const UCHAR* d, ULONG) -> BOOLEAN {
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            return FALSE;
        }
        if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) {
            return TRUE;  // class-specific descriptors are skipped
        }
        if (d[0] < sizeof(USB_ENDPOINT_DESCRIPTOR) || count >= capacity) {
            bad = TRUE;
            return FALSE;
        }
        ++count;
        return TRUE;
    });
    if (!wellFormed || bad || count != interfaceDescriptor->bNumEndpoints) {
        return -1;
    }
    return (LONG)count;
}

extern "C" NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                                       PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                                       PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                                       PVOID CommandContext)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = BufferLength != nullptr ? *BufferLength : 0;
    if (GetData && (Buffer == nullptr || BufferLength == nullptr || length == 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (length != 0 && Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (length > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->usbReady) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (device->usbGone) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // No waiting here: the request goes down with its own IRP and URB,
        // and the caller's routine hears the outcome when it completes.
        // A read has nowhere safe to land once the caller has moved on.
        if (GetData) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        DeferredCommand* command = static_cast<DeferredCommand*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(DeferredCommand), USBCAMD_POOL_TAG));
        if (command == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PIRP irp = IoAllocateIrp(device->busDeviceObject->StackSize, FALSE);
        if (irp == nullptr) {
            ExFreePoolWithTag(command, USBCAMD_POOL_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        BuildVendorRequest(&command->urb, Request, Value, Index, Buffer, length, FALSE);
        command->complete = CommandComplete;
        command->deviceContext = DeviceContext;
        command->commandContext = CommandContext;
        command->length = nullptr;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PrepareInternalRequest(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, &command->urb);
        IoSetCompletionRoutine(irp, DeferredCommandDone, command, TRUE, TRUE, TRUE);
        return IoCallDriver(device->busDeviceObject, irp);
    }
    URB urb;
    BuildVendorRequest(&urb, Request, Value, Index, Buffer, length, GetData);
    const NTSTATUS status = UsbcamdSubmitUrb(device, &urb);
    if (BufferLength != nullptr) {
        const ULONG moved = urb.UrbControlVendorClassRequest.TransferBufferLength;
        // A device never moves more than was asked for, whatever is reported.
        *BufferLength = !NT_SUCCESS(status) && GetData ? 0 : (moved < length ? moved : length);
    }
    if (CommandComplete != nullptr) {
        CommandComplete(DeviceContext, CommandContext, status);
    }
    return status;
}

extern "C" NTSTATUS NTAPI USBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                                           PUSBD_INTERFACE_INFORMATION RequestInterface)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || RequestInterface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->usbReady || device->configurationHandle == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Changing the bandwidth under running transfers is refused.
    if (UsbcamdAnyStreamRunning(device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (RequestInterface->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        return STATUS_INVALID_PARAMETER;
    }
    const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor =
        UsbcamdFindInterface(device, RequestInterface->InterfaceNumber, RequestInterface->AlternateSetting);
    if (interfaceDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG pipes = UsbcamdCountPipes(device, interfaceDescriptor, USBCAMD_MAX_PIPES);
    if (pipes < 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    // The caller's record must hold the setting's pipes, and a pipe count
    // it states must be that setting's.
    const ULONG needed = (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                         (ULONG)pipes * (ULONG)sizeof(USBD_PIPE_INFORMATION);
    if (RequestInterface->Length < needed ||
        (RequestInterface->NumberOfPipes != 0 && RequestInterface->NumberOfPipes != (ULONG)pipes)) {
        return STATUS_INVALID_PARAMETER;
    }

    // SELECT_INTERFACE carries the interface record with room for its pipes;
    // it lives on the stack, so choosing a setting never waits for pool.
    union {
        URB urb;
        UCHAR bytes[FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                    GET_USBD_INTERFACE_SIZE(USBCAMD_MAX_PIPES)];
    } request;
    const ULONG size = (ULONG)FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                       (needed > sizeof(USBD_INTERFACE_INFORMATION) ? needed : (ULONG)sizeof(USBD_INTERFACE_INFORMATION));
    PURB urb = &request.urb;
    memset(&request, 0, sizeof(request));
    urb->UrbSelectInterface.Hdr.Length = (USHORT)size;
    urb->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = device->configurationHandle;
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    info->Length = (USHORT)needed;
    info->InterfaceNumber = RequestInterface->InterfaceNumber;
    info->AlternateSetting = RequestInterface->AlternateSetting;
    info->NumberOfPipes = (ULONG)pipes;
    for (LONG i = 0; i < pipes; ++i) {
        // The transfer size is the client's to choose; a zero asks for the default.
        const ULONG asked = RequestInterface->Pipes[i].MaximumTransferSize;
        info->Pipes[i].MaximumTransferSize = asked != 0 ? asked : USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    const NTSTATUS status = UsbcamdSubmitUrb(device, urb);
    if (NT_SUCCESS(status)) {
        const USHORT length = RequestInterface->Length;
        memcpy(RequestInterface, info, needed);
        RequestInterface->Length = length;
        UsbcamdTakePipes(device, info);
    }
    return status;
}
