// Device start and stop: the port checked, the descriptors and the
// configuration through URBs, the interface description handed to
// the camera, and the camera's initialise, configure and uninitialise
// callbacks.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

PCAM_INITIALIZE_ROUTINE InitializeRoutine(const UsbcamdDevice* device)
{
    if (device->haveDeviceData2) {
        return device->deviceData2.CamInitialize;
    }
    return device->haveDeviceData ? device->deviceData.CamInitialize : nullptr;
}

PCAM_INITIALIZE_ROUTINE UnInitializeRoutine(const UsbcamdDevice* device)
{
    if (device->haveDeviceData2) {
        return device->deviceData2.CamUnInitialize;
    }
    return device->haveDeviceData ? device->deviceData.CamUnInitialize : nullptr;
}

// The device must sit on a live port before anything is asked of it.
NTSTATUS CheckPort(UsbcamdDevice* device)
{
    ULONG portStatus = 0;
    const NTSTATUS status = UsbcamdPortStatus(device, &portStatus);
    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        return status;
    }
    if (!NT_SUCCESS(status)) {
        return STATUS_NO_SUCH_DEVICE;  // not a USB device stack
    }
    if ((portStatus & USBD_PORT_CONNECTED) == 0) {
        device->usbGone = TRUE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadDescriptors(UsbcamdDevice* device)
{
    ULONG length = sizeof(USB_DEVICE_DESCRIPTOR);
    NTSTATUS status = UsbcamdGetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, &device->deviceDescriptor, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length != sizeof(USB_DEVICE_DESCRIPTOR) || device->deviceDescriptor.bLength < sizeof(USB_DEVICE_DESCRIPTOR) ||
        device->deviceDescriptor.bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    // The configuration header first, for its total length.
    USB_CONFIGURATION_DESCRIPTOR header;
    length = sizeof(header);
    status = UsbcamdGetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length != sizeof(header) || header.bLength < sizeof(header) ||
        header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || header.wTotalLength < sizeof(header)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    const ULONG total = header.wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR configuration =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, USBCAMD_POOL_TAG));
    if (configuration == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    length = total;
    status = UsbcamdGetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, &length);
    if (NT_SUCCESS(status) && (length != total || configuration->wTotalLength != total)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(configuration, USBCAMD_POOL_TAG);
        return status;
    }
    device->configDescriptor = configuration;
    device->configDescriptorLength = total;
    return STATUS_SUCCESS;
}

// SELECT_CONFIGURATION with the first interface of the configuration in its
// alternate setting 0; the stack's answer (pipe handles, packet sizes) is
// the interface description handed to the camera.
NTSTATUS SelectConfiguration(UsbcamdDevice* device)
{
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(
        device->configDescriptor, device->configDescriptor, -1, 0, -1, -1, -1);
    if (first == nullptr) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    const LONG pipes = UsbcamdCountPipes(device, first, USBCAMD_MAX_PIPES);
    if (pipes < 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    USBD_INTERFACE_LIST_ENTRY list[2];
    memset(list, 0, sizeof(list));
    list[0].InterfaceDescriptor = first;
    PURB urb = USBD_CreateConfigurationRequestEx(device->configDescriptor, list);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = UsbcamdSubmitUrb(device, urb);
    if (NT_SUCCESS(status) && (list[0].Interface == nullptr || list[0].Interface->NumberOfPipes != (ULONG)pipes)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    const ULONG size = pipes > 0 ? GET_USBD_INTERFACE_SIZE((ULONG)pipes) : (ULONG)sizeof(USBD_INTERFACE_INFORMATION);
    PUSBD_INTERFACE_INFORMATION info =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, size, USBCAMD_POOL_TAG));
    if (info == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(info, 0, size);
    memcpy(info, list[0].Interface,
           pipes > 0 ? size : (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
    info->Length = (USHORT)size;
    device->configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);

    UsbcamdTakePipes(device, info);
    device->interfaceInfo = info;
    device->pipeCount = (ULONG)pipes;
    return STATUS_SUCCESS;
}

// The camera's configure routine: CamConfigureEx of the version-2 table when
// one was registered, else CamConfigure of the version-1 table.
NTSTATUS ConfigureCamera(UsbcamdDevice* device)
{
    const ULONG entries = device->pipeCount > 0 ? device->pipeCount : 1;
    device->pipeConfig = static_cast<PUSBCAMD_Pipe_Config_Descriptor>(
        ExAllocatePoolWithTag(NonPagedPool, entries * sizeof(USBCAMD_Pipe_Config_Descriptor), USBCAMD_POOL_TAG));
    if (device->pipeConfig == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(device->pipeConfig, 0, entries * sizeof(USBCAMD_Pipe_Config_Descriptor));

    device->dataPipeIndex = -1;
    device->syncPipeIndex = -1;
    if (device->haveDeviceData2 && device->deviceData2.CamConfigureEx != nullptr) {
        const NTSTATUS status = device->deviceData2.CamConfigureEx(
            device->busDeviceObject, device->deviceContext, device->interfaceInfo, device->configDescriptor,
            device->pipeCount, device->pipeConfig, &device->deviceDescriptor);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        for (ULONG i = 0; i < device->pipeCount; ++i) {
            const USBCAMD_Pipe_Config_Descriptor& pipe = device->pipeConfig[i];
            if (device->dataPipeIndex < 0 && (pipe.PipeConfigFlags & USBCAMD_DATA_PIPE) &&
                (pipe.StreamAssociation & USBCAMD_VIDEO_STREAM)) {
                device->dataPipeIndex = (LONG)i;
            }
            if (device->syncPipeIndex < 0 && (pipe.PipeConfigFlags & USBCAMD_SYNC_PIPE)) {
                device->syncPipeIndex = (LONG)i;
            }
        }
        return status;
    }
    if (!device->haveDeviceData2 && device->haveDeviceData && device->deviceData.CamConfigure != nullptr) {
        LONG dataPipe = -1;
        LONG syncPipe = -1;
        const NTSTATUS status =
            device->deviceData.CamConfigure(device->busDeviceObject, device->deviceContext, device->interfaceInfo,
                                            device->configDescriptor, &dataPipe, &syncPipe);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // Indexes outside the interface mean "none".
        device->dataPipeIndex = (dataPipe >= 0 && (ULONG)dataPipe < device->pipeCount) ? dataPipe : -1;
        device->syncPipeIndex = (syncPipe >= 0 && (ULONG)syncPipe < device->pipeCount) ? syncPipe : -1;
        return status;
    }
    return STATUS_SUCCESS;
}

// The configure routine with no interface: the camera drops its copy.
VOID UnconfigureCamera(UsbcamdDevice* device)
{
    if (device->haveDeviceData2 && device->deviceData2.CamConfigureEx != nullptr) {
        device->deviceData2.CamConfigureEx(device->busDeviceObject, device->deviceContext, nullptr, nullptr, 0,
                                           nullptr, nullptr);
    } else if (!device->haveDeviceData2 && device->haveDeviceData && device->deviceData.CamConfigure != nullptr) {
        LONG dataPipe = -1;
        LONG syncPipe = -1;
        device->deviceData.CamConfigure(device->busDeviceObject, device->deviceContext, nullptr, nullptr, &dataPipe,
                                        &syncPipe);
    }
}

VOID UnInitializeCamera(UsbcamdDevice* device)
{
    if (!device->camInitialized) {
        return;
    }
    device->camInitialized = FALSE;
    PCAM_INITIALIZE_ROUTINE uninitialize = UnInitializeRoutine(device);
    if (uninitialize != nullptr) {
        uninitialize(device->busDeviceObject, device->deviceContext);
    }
}

}  // namespace

NTSTATUS UsbcamdStartDevice(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
    if (config == nullptr || config->PhysicalDeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (device->started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!device->haveDeviceData && !device->haveDeviceData2) {
        return STATUS_INVALID_PARAMETER;
    }
    device->classDeviceObject = config->ClassDeviceObject;
    device->busDeviceObject = config->PhysicalDeviceObject;
    device->realPhysicalDeviceObject =
        config->RealPhysicalDeviceObject != nullptr ? config->RealPhysicalDeviceObject : config->PhysicalDeviceObject;
    // Room for every stream the library can carry.
    config->StreamDescriptorSize =
        (ULONG)(sizeof(HW_STREAM_HEADER) + USBCAMD_MAX_STREAMS * sizeof(HW_STREAM_INFORMATION));

    device->usbReady = TRUE;
    device->usbGone = FALSE;
    NTSTATUS status = CheckPort(device);
    if (NT_SUCCESS(status)) {
        status = ReadDescriptors(device);
    }
    if (NT_SUCCESS(status)) {
        status = SelectConfiguration(device);
    }
    if (NT_SUCCESS(status)) {
        device->camInitialized = TRUE;
        PCAM_INITIALIZE_ROUTINE initialize = InitializeRoutine(device);
        if (initialize != nullptr) {
            status = initialize(device->busDeviceObject, device->deviceContext);
        }
    }
    if (NT_SUCCESS(status)) {
        status = ConfigureCamera(device);
    }
    if (!NT_SUCCESS(status)) {
        // The stream class sends no SRB_UNINITIALIZE_DEVICE after a failed
        // start, so whatever the camera took in CamInitialize is given back
        // here; its CamUnInitialize copes with a partial start.
        UnInitializeCamera(device);
        UsbcamdReleaseDevice(device);
        return status;
    }
    device->started = TRUE;
    device->powerState = PowerDeviceD0;
    return STATUS_SUCCESS;
}

VOID UsbcamdStopDevice(UsbcamdDevice* device)
{
    UsbcamdCloseAllStreams(device, STATUS_CANCELLED);
    if (device->started) {
        UnconfigureCamera(device);
    }
    UnInitializeCamera(device);
    UsbcamdReleaseDevice(device);
}

VOID UsbcamdReleaseDevice(UsbcamdDevice* device)
{
    if (device->configDescriptor != nullptr) {
        ExFreePoolWithTag(device->configDescriptor, USBCAMD_POOL_TAG);
        device->configDescriptor = nullptr;
    }
    device->configDescriptorLength = 0;
    if (device->interfaceInfo != nullptr) {
        ExFreePoolWithTag(device->interfaceInfo, USBCAMD_POOL_TAG);
        device->interfaceInfo = nullptr;
    }
    if (device->pipeConfig != nullptr) {
        ExFreePoolWithTag(device->pipeConfig, USBCAMD_POOL_TAG);
        device->pipeConfig = nullptr;
    }
    device->usbReady = FALSE;
    device->configurationHandle = nullptr;
    memset(device->pipes, 0, sizeof(device->pipes));
    device->currentPipeCount = 0;
    memset(&device->deviceDescriptor, 0, sizeof(device->deviceDescriptor));
    device->pipeCount = 0;
    device->dataPipeIndex = -1;
    device->syncPipeIndex = -1;
    device->alternateSetting = 0;
    device->streamCount = 0;
    memset(device->streamInfo, 0, sizeof(device->streamInfo));
    device->frameInterval = 0;
    device->isoPipeStopped = FALSE;
    device->started = FALSE;
}
