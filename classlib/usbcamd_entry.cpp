// Registration with the stream class, the library's adapter routine, the
// adapter request handling behind USBCAMD_AdapterReceivePacket, and the
// small calls that only read or write the per-device record.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

// Registered drivers. A plain table: the library is shared by the camera
// minidrivers loaded at the same time, and a re-registration of the same
// driver object replaces its entry. When every slot is taken the oldest
// registration gives way.
UsbcamdDriver g_drivers[USBCAMD_MAX_DRIVERS];
ULONG g_driverSerial;

UsbcamdDriver* SlotFor(PVOID driverObject)
{
    UsbcamdDriver* oldest = &g_drivers[0];
    for (ULONG i = 0; i < USBCAMD_MAX_DRIVERS; ++i) {
        if (g_drivers[i].driverObject == driverObject) {
            return &g_drivers[i];
        }
        if (g_drivers[i].serial < oldest->serial) {
            oldest = &g_drivers[i];
        }
    }
    return oldest;
}

const UsbcamdDriver* NewestDriver()
{
    const UsbcamdDriver* newest = nullptr;
    for (ULONG i = 0; i < USBCAMD_MAX_DRIVERS; ++i) {
        if (g_drivers[i].driverObject != nullptr && (newest == nullptr || g_drivers[i].serial > newest->serial)) {
            newest = &g_drivers[i];
        }
    }
    return newest;
}

PCAM_STATE_ROUTINE SaveStateRoutine(const UsbcamdDevice* device)
{
    if (device->haveDeviceData2) {
        return device->deviceData2.CamSaveState;
    }
    return device->haveDeviceData ? device->deviceData.CamSaveState : nullptr;
}

PCAM_STATE_ROUTINE RestoreStateRoutine(const UsbcamdDevice* device)
{
    if (device->haveDeviceData2) {
        return device->deviceData2.CamRestoreState;
    }
    return device->haveDeviceData ? device->deviceData.CamRestoreState : nullptr;
}

// Power changes: the camera saves what it needs on the way down and
// restores it on the way up. The camera's own results are not the
// request's: a power change is never refused.
NTSTATUS ChangePowerState(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    const DEVICE_POWER_STATE target = Srb->CommandData.DeviceState;
    if (target <= PowerDeviceUnspecified || target >= PowerDeviceMaximum) {
        return STATUS_SUCCESS;
    }
    if (device->started && target != device->powerState) {
        if (target == PowerDeviceD0) {
            PCAM_STATE_ROUTINE restore = RestoreStateRoutine(device);
            if (restore != nullptr) {
                restore(device->busDeviceObject, device->deviceContext);
            }
        } else if (device->powerState == PowerDeviceD0) {
            PCAM_STATE_ROUTINE save = SaveStateRoutine(device);
            if (save != nullptr) {
                save(device->busDeviceObject, device->deviceContext);
            }
        }
    }
    device->powerState = target;
    return STATUS_SUCCESS;
}

// First contact with a device: bind the record to its driver and the
// DeviceContext behind it. Runs before the minidriver sees
// SRB_INITIALIZE_DEVICE so that it can register its version-2 table.
VOID PrepareDevice(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (device->signature != USBCAMD_DEVICE_SIGNATURE) {
        device->signature = USBCAMD_DEVICE_SIGNATURE;
        device->deviceContext = (PUCHAR)device + USBCAMD_DEVICE_RECORD_SIZE;
        device->powerState = PowerDeviceD0;
        device->dataPipeIndex = -1;
        device->syncPipeIndex = -1;
    }
    if (device->driver == nullptr && Srb->Command == SRB_INITIALIZE_DEVICE && Srb->CommandData.ConfigInfo != nullptr &&
        Srb->CommandData.ConfigInfo->ClassDeviceObject != nullptr) {
        device->driver = UsbcamdFindDriver(Srb->CommandData.ConfigInfo->ClassDeviceObject->DriverObject);
    }
    if (device->driver == nullptr) {
        device->driver = NewestDriver();
    }
}

// The adapter routine registered with the stream class: every adapter
// request goes to the camera minidriver, which hands the ones it wants the
// library to handle back through USBCAMD_AdapterReceivePacket.
VOID STREAMAPI UsbcamdAdapterPacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb == nullptr || Srb->HwDeviceExtension == nullptr) {
        return;
    }
    UsbcamdDevice* device = UsbcamdDeviceFromExtension(Srb->HwDeviceExtension);
    PrepareDevice(device, Srb);
    if (device->driver == nullptr || device->driver->receivePacket == nullptr) {
        UsbcamdCompleteDeviceRequest(Srb, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    device->driver->receivePacket(Srb);
}

}  // namespace

// ------------------------------------------------------------------ records ---

UsbcamdDevice* UsbcamdDeviceFromExtension(PVOID hwDeviceExtension)
{
    return static_cast<UsbcamdDevice*>(hwDeviceExtension);
}

UsbcamdDevice* UsbcamdDeviceFromContext(PVOID deviceContext)
{
    if (deviceContext == nullptr) {
        return nullptr;
    }
    UsbcamdDevice* device = reinterpret_cast<UsbcamdDevice*>((PUCHAR)deviceContext - USBCAMD_DEVICE_RECORD_SIZE);
    if (device->signature != USBCAMD_DEVICE_SIGNATURE || device->deviceContext != deviceContext) {
        return nullptr;
    }
    return device;
}

const UsbcamdDriver* UsbcamdFindDriver(PVOID driverObject)
{
    for (ULONG i = 0; i < USBCAMD_MAX_DRIVERS; ++i) {
        if (driverObject != nullptr && g_drivers[i].driverObject == driverObject) {
            return &g_drivers[i];
        }
    }
    return nullptr;
}

VOID UsbcamdCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS status)
{
    Srb->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

VOID UsbcamdCompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS status)
{
    Srb->Status = status;
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

// ------------------------------------------------------------------ exports ---

extern "C" ULONG NTAPI USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                                           ULONG FrameContextSize, PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket)
{
    if (Context1 == nullptr || ReceivePacket == nullptr) {
        return (ULONG)STATUS_INVALID_PARAMETER;
    }
    // The extension must stay addressable by a ULONG size.
    if (DeviceContextSize > 0x10000000u) {
        return (ULONG)STATUS_INVALID_PARAMETER;
    }

    UsbcamdDriver* slot = SlotFor(Context1);
    slot->driverObject = Context1;
    slot->receivePacket = ReceivePacket;
    slot->deviceContextSize = DeviceContextSize;
    slot->frameContextSize = FrameContextSize;
    slot->serial = ++g_driverSerial;

    HW_INITIALIZATION_DATA init;
    memset(&init, 0, sizeof(init));
    init.SizeOfThisPacket = sizeof(init);
    init.StreamClassVersion = STREAM_CLASS_VERSION_20;
    init.HwInterrupt = nullptr;
    init.HwReceivePacket = UsbcamdAdapterPacket;
    init.HwCancelPacket = UsbcamdCancelPacket;
    init.HwRequestTimeoutHandler = UsbcamdTimeoutHandler;
    init.DeviceExtensionSize = USBCAMD_DEVICE_RECORD_SIZE + DeviceContextSize;
    init.PerRequestExtensionSize = 0;
    init.PerStreamExtensionSize = sizeof(UsbcamdStream);
    init.FilterInstanceExtensionSize = 0;
    init.BusMasterDMA = FALSE;
    init.Dma24BitAddresses = FALSE;
    init.BufferAlignment = 3;
    // The library serialises what it must itself; the stream class need not
    // hold back stream requests while an adapter request runs.
    init.TurnOffSynchronization = TRUE;
    init.DmaBufferSize = 0;

    const NTSTATUS status = StreamClassRegisterAdapter(Context1, Context2, &init);
    if (!NT_SUCCESS(status)) {
        memset(slot, 0, sizeof(*slot));
    }
    return (ULONG)status;
}

extern "C" PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                                    PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion)
{
    if (Srb == nullptr || Srb->HwDeviceExtension == nullptr) {
        return nullptr;
    }
    UsbcamdDevice* device = UsbcamdDeviceFromExtension(Srb->HwDeviceExtension);
    PrepareDevice(device, Srb);
    if (DeviceObject != nullptr) {
        *DeviceObject = device->busDeviceObject;
        if (*DeviceObject == nullptr && Srb->Command == SRB_INITIALIZE_DEVICE && Srb->CommandData.ConfigInfo != nullptr) {
            *DeviceObject = Srb->CommandData.ConfigInfo->PhysicalDeviceObject;
        }
    }
    if (!NeedsCompletion) {
        return device->deviceContext;
    }
    if (DeviceData != nullptr) {
        memcpy(&device->deviceData, DeviceData, sizeof(device->deviceData));
        device->haveDeviceData = TRUE;
    }

    NTSTATUS status;
    switch (Srb->Command) {
    case SRB_INITIALIZE_DEVICE:
        status = UsbcamdStartDevice(device, Srb);
        break;
    case SRB_UNINITIALIZE_DEVICE:
        UsbcamdStopDevice(device);
        status = STATUS_SUCCESS;
        break;
    case SRB_GET_STREAM_INFO:
        status = UsbcamdGetStreamInfo(device, Srb);
        break;
    case SRB_OPEN_STREAM:
        status = UsbcamdOpenStream(device, Srb);
        break;
    case SRB_CLOSE_STREAM:
        status = UsbcamdCloseStream(device, Srb);
        break;
    case SRB_CHANGE_POWER_STATE:
        status = ChangePowerState(device, Srb);
        break;
    case SRB_UNKNOWN_DEVICE_COMMAND:
        status = UsbcamdUnknownDeviceCommand(device, Srb);
        break;
    case SRB_INITIALIZATION_COMPLETE:
    case SRB_OPEN_DEVICE_INSTANCE:
    case SRB_CLOSE_DEVICE_INSTANCE:
    case SRB_PAGING_OUT_DRIVER:
        // Nothing of the library's depends on these.
        status = STATUS_SUCCESS;
        break;
    case SRB_SURPRISE_REMOVAL:
        // The device is gone: pending reads end now rather than at close.
        UsbcamdFlushAllReads(device, STATUS_DEVICE_NOT_CONNECTED);
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    UsbcamdCompleteDeviceRequest(Srb, status);
    return device->deviceContext;
}

extern "C" ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version,
                                                      ULONG CamControlFlag)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device != nullptr && DeviceData != nullptr && Version == USBCAMD_VERSION_200) {
        memcpy(&device->deviceData2, DeviceData, sizeof(device->deviceData2));
        device->haveDeviceData2 = TRUE;
        device->camControlFlags = CamControlFlag;
    }
    return USBCAMD_VERSION_200;
}

extern "C" ULONG NTAPI USBCAMD_SetFrameInterval(PVOID DeviceContext, ULONG Interval)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr) {
        return 0;
    }
    const ULONG previous = device->frameInterval;
    device->frameInterval = Interval;
    return previous;
}

extern "C" ULONG NTAPI USBCAMD_DescriptorLength(PVOID DeviceContext)
{
    const UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || device->configDescriptor == nullptr) {
        return 0;
    }
    return device->configDescriptor->wTotalLength;
}

// The value's data is copied when it fits in DataLength bytes. The name is a
// null-terminated string; KeyNameStringLength bounds it (in bytes, the
// terminator included, as callers pass sizeof of a literal) so that a name
// without terminator is never read past that length.
extern "C" NTSTATUS NTAPI USBCAMD_GetRegistryKeyValue(HANDLE Handle, PWCHAR KeyNameString, ULONG KeyNameStringLength,
                                                      PVOID Data, ULONG DataLength)
{
    if (Handle == nullptr || KeyNameString == nullptr || KeyNameStringLength < sizeof(WCHAR) ||
        (Data == nullptr && DataLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG characters = 0;
    const ULONG maxCharacters = KeyNameStringLength / sizeof(WCHAR);
    while (characters < maxCharacters && KeyNameString[characters] != 0) {
        ++characters;
    }
    if (characters == 0 || characters > 0x7FFF) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    name.Buffer = KeyNameString;
    name.Length = (USHORT)(characters * sizeof(WCHAR));
    name.MaximumLength = name.Length;

    const ULONG nameBytes = characters * sizeof(WCHAR);
    if (DataLength > 0x100000) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG size = (ULONG)sizeof(KEY_VALUE_FULL_INFORMATION) + nameBytes + DataLength;
    PKEY_VALUE_FULL_INFORMATION info =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, USBCAMD_POOL_TAG));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Handle, &name, KeyValueFullInformation, info, size, &resultLength);
    if (NT_SUCCESS(status)) {
        if (info->DataLength > DataLength) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (info->DataOffset > size || info->DataLength > size - info->DataOffset) {
            status = STATUS_UNSUCCESSFUL;
        } else if (info->DataLength != 0) {
            memcpy(Data, (PUCHAR)info + info->DataOffset, info->DataLength);
        }
    } else if (status == STATUS_BUFFER_OVERFLOW) {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    ExFreePoolWithTag(info, USBCAMD_POOL_TAG);
    return status;
}
