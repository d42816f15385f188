// Configuration, bandwidth, start and stop of a capture run.
#include <string.h>

#include "capture/Capture.h"
#include "driver/Driver.h"
#include "hw/Hardware.h"
#include "settings/Settings.h"

const AlternateSettingRow AlternateSettingTable[ALTERNATE_SETTING_ROWS + 1] = {
    //  alternate setting   frame interval
    {0, 0},        // no row 0
    {1, 1000000},  // row 1
    {2, 526315},   // row 2
    {3, 500000},   // row 3
    {4, 400000},   // row 4
    {5, 333333},   // row 5
};

namespace {

#define START_ROW_FULL 5
#define START_ROW_LOW_BANDWIDTH 2

#define PIPE0_MAX_TRANSFER 1024u
#define PIPE1_MAX_TRANSFER 0xC0000u  // 786,432

// One row per pipe: stream association, pipe flags.
const USBCAMD_Pipe_Config_Descriptor PipeConfigTable[] = {
    {0, USBCAMD_DONT_CARE_PIPE},             // pipe 0
    {USBCAMD_VIDEO_STREAM, USBCAMD_DATA_PIPE},  // pipe 1: the video data
    {0, USBCAMD_DONT_CARE_PIPE},             // pipe 2
    {0, 0},                                  // pipe 3
};

// Pipes that an interface description of Length bytes really holds.
ULONG PipesCovered(const USBD_INTERFACE_INFORMATION* Interface)
{
    const ULONG header = (ULONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (Interface->Length < header) {
        return 0;
    }
    const ULONG room = (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
    return Interface->NumberOfPipes < room ? Interface->NumberOfPipes : room;
}

// Bridge scaler and window registers for the format; the first failing
// status.
NTSTATUS ProgramScaler(DeviceContext* Context, LONG Width)
{
    NTSTATUS first = STATUS_SUCCESS;
    if (Context->highBandwidth == 1 && (Width == 352 || Width == 176)) {
        static const RegisterPair registers704[] = {
            {BRIDGE_REG_SCALER_0, 0}, {BRIDGE_REG_SCALER_1, 0}, {BRIDGE_REG_SCALER_2, 0},
            {0x110, 0x01}, {0x111, 0x00}, {0x112, 0x03}, {0x113, 0x00},
            {0x114, 0x81}, {0x115, 0x05}, {0x116, 0xF3}, {0x117, 0x00},
        };
        for (const RegisterPair& pair : registers704) {
            const NTSTATUS status = WriteRegister(Context, pair.reg, pair.value);
            first = FirstFailure(first, status);
        }
        Context->savedScalerRegs[0] = Context->savedScalerRegs[1] = Context->savedScalerRegs[2] = 0;
    } else if (Context->highBandwidth == 1) {
        first = WriteRegister(Context, BRIDGE_REG_SCALER_2, 0);
        Context->savedScalerRegs[0] = Context->savedScalerRegs[1] = Context->savedScalerRegs[2] = 0;
    } else {
        static const RegisterPair preview[] = {
            {BRIDGE_REG_SCALER_0, 3}, {BRIDGE_REG_SCALER_1, 5}, {BRIDGE_REG_SCALER_2, 0x1F},
        };
        for (const RegisterPair& pair : preview) {
            const NTSTATUS status = WriteRegister(Context, pair.reg, pair.value);
            first = FirstFailure(first, status);
        }
        Context->savedScalerRegs[0] = 3;
        Context->savedScalerRegs[1] = 5;
        Context->savedScalerRegs[2] = 0x1F;
    }
    return first;
}

ULONG PayloadFor(const DeviceContext* Context, LONG Width)
{
    if (Context->highBandwidth == 0) return PAYLOAD_LOW_BANDWIDTH;
    if (Width > 640) return PAYLOAD_720;
    if (Width == 352 || Width == 176) return PAYLOAD_704;
    return PAYLOAD_640;
}

}  // namespace

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument,
                            PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                            PLONG SyncPipeIndex)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    UNREFERENCED_PARAMETER(ConfigurationDescriptor);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    context->signature = DEVICE_CONTEXT_SIGNATURE;

    // A configure replaces the copy of an earlier one, so release that first.
    if (context->interfaceInfo != nullptr) {
        ExFreePool(context->interfaceInfo);
        context->interfaceInfo = nullptr;
    }
    if (Interface == nullptr) {
        return STATUS_SUCCESS;
    }
    if (Interface->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        return STATUS_INVALID_PARAMETER;
    }

    context->interfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, Interface->Length, DRIVER_POOL_TAG));
    if (DataPipeIndex != nullptr) *DataPipeIndex = 1;
    if (SyncPipeIndex != nullptr) *SyncPipeIndex = -1;  // no sync pipe
    if (context->interfaceInfo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    Interface->AlternateSetting = 0;
    const ULONG pipes = PipesCovered(Interface);
    if (pipes > 1) {
        Interface->Pipes[1].MaximumTransferSize = PIPE1_MAX_TRANSFER;
    }
    if (pipes >= 1) {
        Interface->Pipes[0].MaximumTransferSize = PIPE0_MAX_TRANSFER;
    }
    memcpy(context->interfaceInfo, Interface, Interface->Length);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument,
                              PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor)
{
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    if (DeviceDescriptor != nullptr) {
        memcpy(&context->deviceDescriptor, DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    }
    if (ConfigurationDescriptor != nullptr) {
        memcpy(&context->configDescriptorHeader, ConfigurationDescriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    }
    LONG dataPipe = 0;
    LONG syncPipe = 0;
    NTSTATUS status =
        CamConfigure(BusDeviceObject, context, Interface, ConfigurationDescriptor, &dataPipe, &syncPipe);
    if (Interface != nullptr) {
        context->streamCount = 1;
        // The interface has four pipes; further entries, if asked for, are
        // "don't care" pipes of no stream.
        for (ULONG i = 0; PipeConfig != nullptr && i < PipeConfigListSize; ++i) {
            PipeConfig[i] = i < ARRAYSIZE(PipeConfigTable) ? PipeConfigTable[i]
                                                           : USBCAMD_Pipe_Config_Descriptor{0, USBCAMD_DONT_CARE_PIPE};
        }
    }
    return status;
}

NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument, PULONG RawFrameLength,
                                    PVOID Format)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    if (RawFrameLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RawFrameLength = 0;
    if (Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (context->pipelineHandle == nullptr) {
        context->pipelineHandle = ppl_init();
        // Full-size frames are converted by the pipeline alone; without it
        // every frame would go out with bytes nobody wrote. The next
        // allocation tries again.
        if (context->pipelineHandle == nullptr && context->highBandwidth != 0) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    const KS_BITMAPINFOHEADER& bmi =
        static_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format)->VideoInfoHeader.bmiHeader;
    context->frameDataSize = PayloadFor(context, bmi.biWidth);
    context->bandwidthReduced = 0;

    // Rows from the start row down; a refusal steps one row lower. A device
    // that is gone refuses every row for that reason, not for bandwidth: its
    // status ends the search and goes back as it is.
    LONG row = context->highBandwidth ? START_ROW_FULL : START_ROW_LOW_BANDWIDTH;
    for (; row >= 1; --row) {
        if (context->interfaceInfo != nullptr) {
            context->interfaceInfo->AlternateSetting = AlternateSettingTable[row].alternateSetting;
            const NTSTATUS selected = USBCAMD_SelectAlternateInterface(context, context->interfaceInfo);
            if (NT_SUCCESS(selected)) {
                context->alternateSettingIndex = (ULONG)row;
                break;
            }
            if (selected == STATUS_DEVICE_NOT_CONNECTED || selected == STATUS_NO_SUCH_DEVICE ||
                selected == STATUS_DEVICE_REMOVED) {
                context->bandwidthReduced = 1;
                return selected;
            }
        }
        context->bandwidthReduced = 1;
    }
    if (row < 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (context->frameHook.Interface.Version != 0 && context->frameHook.FrameHookSetFormat != nullptr) {
        KS_BITMAPINFOHEADER copy = bmi;
        context->frameHook.FrameHookSetFormat(&copy);
    }

    // The bridge start-up and the scaler decide whether the stream carries a
    // picture at all: one failure is tried again, a second one fails the
    // start (and gives the bandwidth back).
    NTSTATUS status = ApplyDecoderStandard(context);
    if (!NT_SUCCESS(status)) {
        status = ApplyDecoderStandard(context);
    }
    if (NT_SUCCESS(status)) {
        status = ProgramScaler(context, bmi.biWidth);
        if (!NT_SUCCESS(status)) {
            status = ProgramScaler(context, bmi.biWidth);
        }
    }
    if (!NT_SUCCESS(status)) {
        CamFreeBandwidth(BusDeviceObject, context);
        return status;
    }

    // Whole packets of the data pipe, as the class library gathers them.
    const PUSBD_INTERFACE_INFORMATION info = context->interfaceInfo;
    const ULONG packetSize = PipesCovered(info) > 1 ? info->Pipes[1].MaximumPacketSize : 0;
    if (packetSize != 0) {
        const ULONG bytes = context->frameDataSize + RAW_FRAME_HEADER_BYTES;
        *RawFrameLength = (bytes + packetSize - 1) / packetSize * packetSize;
    }

    context->frameWidth = bmi.biWidth;
    context->frameHeight = bmi.biHeight;
    status = LoadAndApplySettings(context);
    if (!NT_SUCCESS(status)) {
        *RawFrameLength = 0;
        CamFreeBandwidth(BusDeviceObject, context);
    }
    return status;
}

NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PULONG RawFrameLength,
                                      PVOID Format, ULONG StreamNumber)
{
    return StreamNumber == 0 ? CamAllocateBandwidth(BusDeviceObject, Context, RawFrameLength, Format)
                             : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    if (context->interfaceInfo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    context->interfaceInfo->AlternateSetting = 0;
    return USBCAMD_SelectAlternateInterface(context, context->interfaceInfo);
}

NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber)
{
    return StreamNumber == 0 ? CamFreeBandwidth(BusDeviceObject, Context) : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    context->frameTimingEnabled = 0;
    context->captureRunning = 1;
    // The ring's older slots hold an earlier run's fields (or zeros).
    context->previousFieldValid = FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber)
{
    return StreamNumber == 0 ? CamStartCapture(BusDeviceObject, Context) : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    context->captureRunning = 0;
    const NTSTATUS saved = SaveSettings(context, SAVE_ALL);

    // Quiesce the bridge; a register whose read failed is left as it is.
    ModifyRegister(context, BRIDGE_REG_002, 0xFF, 0x80);
    ModifyRegister(context, BRIDGE_REG_PIN_DIRECTION, 0xFF, 0x01);
    ModifyRegister(context, BRIDGE_REG_CONTROL, 0x5F, 0x20);
    ModifyRegister(context, BRIDGE_REG_PIN_DATA, 0xFE, 0x00);
    ModifyRegister(context, BRIDGE_REG_CONTROL, 0xDF, 0x00);
    return saved;
}

NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber)
{
    return StreamNumber == 0 ? CamStopCapture(BusDeviceObject, Context) : STATUS_SUCCESS;
}
