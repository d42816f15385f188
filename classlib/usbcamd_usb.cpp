// The library's USB calls: control transfers on the default pipe, vendor
// commands for the camera, alternate setting selection, and the walk over
// the configuration descriptor they rely on. The descriptors come from the
// device and are treated as untrusted: every length is checked before it is
// followed.
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

BOOLEAN IsPeriodic(UCHAR attributes)
{
    const UCHAR type = attributes & USB_ENDPOINT_TYPE_MASK;
    return type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == (UCHAR)UsbdPipeTypeInterrupt;
}

}  // namespace

NTSTATUS UsbcamdControlTransfer(UsbcamdDevice* device, UCHAR requestType, UCHAR request, USHORT value, USHORT index,
                                PVOID buffer, PULONG length)
{
    if (!device->busReferenced || device->bus.ControlTransfer == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (*length > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    USB_DEFAULT_PIPE_SETUP_PACKET setup;
    setup.bmRequestType = requestType;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = (USHORT)*length;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    const ULONG requested = *length;
    NTSTATUS status =
        device->bus.ControlTransfer(device->bus.Context, &setup, static_cast<PUCHAR>(buffer), length, &usbdStatus);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(usbdStatus)) {
        status = STATUS_UNSUCCESSFUL;
    }
    // A device never moves more than was asked for, whatever it reports.
    if (*length > requested) {
        *length = requested;
    }
    if (!NT_SUCCESS(status) && (requestType & BMREQUEST_DEVICE_TO_HOST)) {
        *length = 0;
    }
    return status;
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

LONG UsbcamdFillPipes(UsbcamdDevice* device, const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                      PUSBD_INTERFACE_INFORMATION info, ULONG capacity)
{
    const ULONG from = (ULONG)(reinterpret_cast<const UCHAR*>(interfaceDescriptor) -
                               reinterpret_cast<const UCHAR*>(device->configDescriptor)) +
                       interfaceDescriptor->bLength;
    ULONG count = 0;
    BOOLEAN tooMany = FALSE;
    const BOOLEAN wellFormed = WalkDescriptors(device, from, [&](const UCHAR* d, ULONG) -> BOOLEAN {
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            return FALSE;
        }
        if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) {
            return TRUE;  // class-specific descriptors are skipped
        }
        if (d[0] < sizeof(USB_ENDPOINT_DESCRIPTOR) || count >= capacity) {
            tooMany = TRUE;
            return FALSE;
        }
        if (info != nullptr) {
            const USB_ENDPOINT_DESCRIPTOR* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
            USBD_PIPE_INFORMATION& pipe = info->Pipes[count];
            const USHORT packet = e->wMaxPacketSize;
            // High-bandwidth periodic endpoints report the bytes they move per
            // microframe (size times transactions), the figure a client sizes
            // its packet buffers by.
            pipe.MaximumPacketSize =
                IsPeriodic(e->bmAttributes) ? (USHORT)UsbHighSpeedBytesPerMicroframe(packet) : (USHORT)(packet & 0x7FF);
            pipe.EndpointAddress = e->bEndpointAddress;
            pipe.Interval = e->bInterval;
            pipe.PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle = &device->pipeHandles[count];
            // The transfer size is the client's to choose; a zero asks for the default.
            if (pipe.MaximumTransferSize == 0) {
                pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            }
            pipe.PipeFlags = 0;
        }
        ++count;
        return TRUE;
    });
    if (!wellFormed || tooMany || count != interfaceDescriptor->bNumEndpoints) {
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
    // No deferred transfers: above PASSIVE_LEVEL a caller that asked for a
    // completion routine is refused rather than left waiting. A caller
    // without one gets the synchronous transfer, which the bus reports as a
    // blocking call at raised IRQL.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && CommandComplete != nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    const UCHAR requestType = GetData ? (UCHAR)(BMREQUEST_DEVICE_TO_HOST | BMREQUEST_VENDOR | BMREQUEST_TO_DEVICE)
                                      : (UCHAR)(BMREQUEST_HOST_TO_DEVICE | BMREQUEST_VENDOR | BMREQUEST_TO_DEVICE);
    const NTSTATUS status = UsbcamdControlTransfer(device, requestType, Request, Value, Index, Buffer, &length);
    if (BufferLength != nullptr) {
        *BufferLength = length;
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
    if (!device->busReferenced || device->bus.SelectAlternateSetting == nullptr) {
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
    const LONG pipes = UsbcamdFillPipes(device, interfaceDescriptor, nullptr, USBCAMD_MAX_PIPES);
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

    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    NTSTATUS status = device->bus.SelectAlternateSetting(device->bus.Context, RequestInterface->InterfaceNumber,
                                                         RequestInterface->AlternateSetting, &usbdStatus);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(usbdStatus)) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RequestInterface->Class = interfaceDescriptor->bInterfaceClass;
    RequestInterface->SubClass = interfaceDescriptor->bInterfaceSubClass;
    RequestInterface->Protocol = interfaceDescriptor->bInterfaceProtocol;
    RequestInterface->InterfaceHandle = &device->interfaceHandle;
    RequestInterface->NumberOfPipes = (ULONG)pipes;
    UsbcamdFillPipes(device, interfaceDescriptor, RequestInterface, (ULONG)pipes);
    device->alternateSetting = RequestInterface->AlternateSetting;
    return STATUS_SUCCESS;
}
