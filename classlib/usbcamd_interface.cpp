// The USBCAMD_INTERFACE the library hands out on the class device object in
// answer to IRP_MN_QUERY_INTERFACE, and its routines.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

VOID NTAPI InterfaceReference(PVOID Context)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(Context);
    if (device != nullptr) {
        ++device->interfaceReferences;
    }
}

VOID NTAPI InterfaceDereference(PVOID Context)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(Context);
    if (device != nullptr && device->interfaceReferences > 0) {
        --device->interfaceReferences;
    }
}

// The pipe, when PipeIndex names one of the interface's pipes of `type`.
const USBD_PIPE_INFORMATION* PipeOfType(const UsbcamdDevice* device, ULONG pipeIndex, USBD_PIPE_TYPE type)
{
    if (device->interfaceInfo == nullptr || pipeIndex >= device->pipeCount) {
        return nullptr;
    }
    const USBD_PIPE_INFORMATION* pipe = &device->interfaceInfo->Pipes[pipeIndex];
    return pipe->PipeType == type ? pipe : nullptr;
}

// The library sends control and isochronous transfers only, so
// interrupt and bulk pipes exist in the description but cannot be served.
NTSTATUS NTAPI WaitOnDeviceEvent(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer, ULONG BufferLength,
                                 PCOMMAND_COMPLETE_FUNCTION EventComplete, PVOID EventContext, BOOLEAN LoopBack)
{
    UNREFERENCED_PARAMETER(EventContext);
    UNREFERENCED_PARAMETER(LoopBack);
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || (Buffer == nullptr && BufferLength != 0) || EventComplete == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PipeOfType(device, PipeIndex, UsbdPipeTypeInterrupt) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI BulkReadWrite(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer, ULONG BufferLength,
                             PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext)
{
    UNREFERENCED_PARAMETER(CommandComplete);
    UNREFERENCED_PARAMETER(CommandContext);
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || (Buffer == nullptr && BufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PipeOfType(device, PipeIndex, UsbdPipeTypeBulk) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI SetIsoPipeState(PVOID DeviceContext, ULONG PipeStateFlags)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || (PipeStateFlags != USBCAMD_START_STREAM && PipeStateFlags != USBCAMD_STOP_STREAM)) {
        return STATUS_INVALID_PARAMETER;
    }
    device->isoPipeStopped = PipeStateFlags == USBCAMD_STOP_STREAM;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CancelBulkReadWrite(PVOID DeviceContext, ULONG PipeIndex)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || PipeOfType(device, PipeIndex, UsbdPipeTypeBulk) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // No bulk transfer is ever outstanding.
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS UsbcamdUnknownDeviceCommand(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PIRP irp = Srb->Irp;
    if (irp == nullptr || irp->Tail.Overlay.CurrentStackLocation == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_QUERY_INTERFACE) {
        return STATUS_NOT_SUPPORTED;
    }
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr || !IsEqualGUIDBytes(*type, GUID_USBCAMD_INTERFACE)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (stack->Parameters.QueryInterface.Interface == nullptr ||
        stack->Parameters.QueryInterface.Size < sizeof(USBCAMD_INTERFACE) ||
        stack->Parameters.QueryInterface.Version < USBCAMD_VERSION_200) {
        return STATUS_NOT_SUPPORTED;
    }
    USBCAMD_INTERFACE answer;
    memset(&answer, 0, sizeof(answer));
    answer.Interface.Size = sizeof(answer);
    answer.Interface.Version = USBCAMD_VERSION_200;
    answer.Interface.Context = device->deviceContext;
    answer.Interface.InterfaceReference = InterfaceReference;
    answer.Interface.InterfaceDereference = InterfaceDereference;
    answer.USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
    answer.USBCAMD_BulkReadWrite = BulkReadWrite;
    answer.USBCAMD_SetVideoFormat = UsbcamdSetVideoFormat;
    answer.USBCAMD_SetIsoPipeState = SetIsoPipeState;
    answer.USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
    memcpy(stack->Parameters.QueryInterface.Interface, &answer, sizeof(answer));
    InterfaceReference(device->deviceContext);
    return STATUS_SUCCESS;
}
