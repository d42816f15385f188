// Entry point and adapter request dispatch: registration with the class
// library, device start (callback tables, the device's user-mode path), the
// interface queries and tuner filter at initialisation complete, the stream
// hooks and the power transitions.
#include "driver/Driver.h"
#include "hw/Hardware.h"
#include "props/Properties.h"
#include "settings/Settings.h"

#include <string.h>

namespace {

#define USBCAMD_INTERFACE_VERSION 0x200

// The tuner filter: two output pins with fixed mediums, no categories.
constexpr GUID TunerMediumPin0 =
    DEFINE_GUID_VALUE(0x970E35D3, 0xAAC9, 0x4EFB, 0xA5, 0xF7, 0x08, 0xCE, 0xBA, 0xA3, 0xB3, 0x3D);
constexpr GUID TunerMediumPin1 =
    DEFINE_GUID_VALUE(0x939076F7, 0x652B, 0x4680, 0xAE, 0x0A, 0x78, 0x0B, 0x3F, 0x4A, 0xB8, 0xE4);
#define TUNER_PIN_COUNT 2

DeviceContext* ContextOf(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(Srb, nullptr, nullptr, FALSE));
}

// Hands the request to the class library, which completes it, and returns
// the device context the library reports.
DeviceContext* HandToLibrary(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(
        Srb, const_cast<PUSBCAMD_DEVICE_DATA>(&CameraCallbacksV1), nullptr, TRUE));
}

VOID CompleteHere(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status)
{
    Srb->Status = Status;
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

VOID GetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb)
{
    DeviceContext* context = ContextOf(Srb);
    PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
    if (descriptor != nullptr) {
        // At most one stream exists; streamCount is 0 until configured.
        const ULONG streams = context->streamCount > 1 ? 1 : context->streamCount;
        descriptor->StreamHeader.NumberOfStreams = streams;
        if (streams != 0) {
            memcpy(&descriptor->StreamInfo, StreamDescriptionOf(context), sizeof(HW_STREAM_INFORMATION));
        }
        // The property sets follow the decoder found at device start.
        ULONG setCount = 0;
        const KSPROPERTY_SET* sets = GetDevicePropertySets(context, &setCount);
        descriptor->StreamHeader.NumDevPropArrayEntries = setCount;
        descriptor->StreamHeader.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(sets);
    }
    HandToLibrary(Srb);
}

VOID OpenStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PHW_STREAM_OBJECT stream = Srb->StreamObject;
    // The class library takes these as the camera's stream hooks; they are
    // called with three arguments, not with the stream class signature.
    using AnyRoutine = void (*)();
    stream->ReceiveDataPacket =
        reinterpret_cast<PHW_RECEIVE_STREAM_DATA_SRB>(reinterpret_cast<AnyRoutine>(&StreamDataHook));
    stream->ReceiveControlPacket =
        reinterpret_cast<PHW_RECEIVE_STREAM_CONTROL_SRB>(reinterpret_cast<AnyRoutine>(&StreamControlHook));

    const KSDATAFORMAT* format = Srb->CommandData.OpenFormat;
    if (!FormatIsOffered(ContextOf(Srb), format, stream->StreamNumber)) {
        CompleteHere(Srb, STATUS_INVALID_PARAMETER);
        return;
    }
    DeviceContext* context = HandToLibrary(Srb);
    const KS_BITMAPINFOHEADER& bmi =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
    context->streamOpened = 1;
    context->frameWidth = bmi.biWidth;
    context->frameHeight = bmi.biHeight;
    context->outputFourcc = bmi.biCompression;
}

VOID ChangePowerState(PHW_STREAM_REQUEST_BLOCK Srb)
{
    DeviceContext* context = ContextOf(Srb);
    switch (Srb->CommandData.DeviceState) {
    case PowerDeviceD0:
        PowerUpDevice(context);
        break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        PowerDownDevice(context);
        break;
    default:
        break;
    }
    HandToLibrary(Srb);
}

// Sends IRP_MN_QUERY_INTERFACE down to Target and waits for it. Only the
// buffer's contents tell whether the interface arrived.
NTSTATUS QueryInterface(PDEVICE_OBJECT Target, const GUID* InterfaceType, USHORT Size, USHORT Version,
                        PVOID Buffer)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Target, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = InterfaceType;
    next->Parameters.QueryInterface.Size = Size;
    next->Parameters.QueryInterface.Version = Version;
    next->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(Buffer);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

    NTSTATUS status = IofCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return (NTSTATUS)USBCAMD_DriverEntry(DriverObject, RegistryPath, DEVICE_CONTEXT_REGISTERED_SIZE,
                                         FRAME_CONTEXT_REGISTERED_SIZE, &AdapterReceivePacket);
}

VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
        GetStreamInfo(Srb);
        break;
    case SRB_OPEN_STREAM:
        OpenStream(Srb);
        break;
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY: {
        PDEVICE_OBJECT busDeviceObject = nullptr;
        auto* context = static_cast<DeviceContext*>(USBCAMD_AdapterReceivePacket(
            Srb, const_cast<PUSBCAMD_DEVICE_DATA>(&CameraCallbacksV1), &busDeviceObject, FALSE));
        // The handlers leave the status in the request.
        CompleteHere(Srb, AdapterPropertyDispatch(Srb->Command == SRB_GET_DEVICE_PROPERTY, context, Srb));
        break;
    }
    case SRB_INITIALIZE_DEVICE: {
        PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
        PDEVICE_OBJECT realPhysicalDeviceObject = config->RealPhysicalDeviceObject;
        InitializeDevice(Srb);
        HandToLibrary(Srb);
        DeviceContext* context = ContextOf(Srb);
        PublishDevicePath(realPhysicalDeviceObject);
        // The first intersection already announces the stored standard's rate.
        LoadStoredStandard(context);
        context->snapshotPending = 0;
        context->snapshotReport = 0;
        break;
    }
    case SRB_CHANGE_POWER_STATE:
        ChangePowerState(Srb);
        break;
    case SRB_GET_DATA_INTERSECTION:
        CompleteHere(Srb, AdapterDataIntersection(Srb));
        break;
    case SRB_INITIALIZATION_COMPLETE:
        CompleteHere(Srb, CompleteInitialization(Srb));
        break;
    default:
        HandToLibrary(Srb);
        break;
    }
}

VOID InitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
    DeviceContext* context = ContextOf(Srb);
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
    context->classDeviceObject = config->ClassDeviceObject;
    context->physicalDeviceObject =
        config->RealPhysicalDeviceObject != nullptr ? config->RealPhysicalDeviceObject : config->PhysicalDeviceObject;
    USBCAMD_InitializeNewInterface(context, const_cast<PUSBCAMD_DEVICE_DATA2>(&CameraCallbacksV2),
                                   USBCAMD_VERSION_200,
                                   USBCAMD_CamControlFlag_AssociatedFormat | USBCAMD_CamControlFlag_EnableDeviceEvents);
    context->initTimestamp = KeQueryPerformanceCounter(nullptr).u.LowPart;
    context->snapshotPending = 0;
    context->snapshotReport = 0;
}

VOID PublishDevicePath(PDEVICE_OBJECT RealPhysicalDeviceObject)
{
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(RealPhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key))) {
        return;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, u"CreatefileName");
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &resultLength);
    // A value that already exists is never rewritten.
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || resultLength == 0) {
        PWSTR interfaces = nullptr;
        status = IoGetDeviceInterfaces(&KSCATEGORY_CAPTURE, RealPhysicalDeviceObject,
                                       DEVICE_INTERFACE_INCLUDE_NONACTIVE, &interfaces);
        if (NT_SUCCESS(status) && interfaces != nullptr) {
            const WCHAR* link = interfaces;
            const SIZE_T linkChars = wcslen(link);
            // \??\... loses its first 3 characters, \DosDevices\... its first 11;
            // "\\." takes their place, so the result is never longer than the link.
            const SIZE_T strip = (linkChars >= 2 && link[1] == u'?') ? 3 : 11;
            if (linkChars != 0 && linkChars >= strip) {
                const SIZE_T pathChars = 3 + (linkChars - strip);
                auto* path = static_cast<PWCHAR>(
                    ExAllocatePoolWithTag(NonPagedPool, linkChars * sizeof(WCHAR), DRIVER_POOL_TAG));
                if (path != nullptr) {
                    path[0] = u'\\';
                    path[1] = u'\\';
                    path[2] = u'.';
                    memcpy(path + 3, link + strip, (linkChars - strip) * sizeof(WCHAR));
                    ZwSetValueKey(key, &valueName, 0, REG_SZ, path, (ULONG)(pathChars * sizeof(WCHAR)));
                    ExFreePool(path);
                }
            }
            ExFreePool(interfaces);
        }
    }
    ZwClose(key);
}

NTSTATUS QueryUsbcamdInterface(PDEVICE_OBJECT Target, PVOID Buffer)
{
    return QueryInterface(Target, &GUID_USBCAMD_INTERFACE, sizeof(USBCAMD_INTERFACE), USBCAMD_INTERFACE_VERSION,
                          Buffer);
}

NTSTATUS QueryFrameHookInterface(PDEVICE_OBJECT Target, PVOID Buffer)
{
    return QueryInterface(Target, &GUID_FRAME_HOOK_INTERFACE, sizeof(FRAME_HOOK_INTERFACE),
                          FRAME_HOOK_INTERFACE_VERSION, Buffer);
}

NTSTATUS CompleteInitialization(PHW_STREAM_REQUEST_BLOCK Srb)
{
    DeviceContext* context = ContextOf(Srb);

    auto* frameHook = static_cast<FRAME_HOOK_INTERFACE*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FRAME_HOOK_INTERFACE), DRIVER_POOL_TAG));
    if (frameHook == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(frameHook, 0, sizeof(*frameHook));
    // The provider sits directly above the class device object, if anywhere.
    PDEVICE_OBJECT above = context->classDeviceObject != nullptr ? context->classDeviceObject->AttachedDevice : nullptr;
    if (above != nullptr) {
        QueryFrameHookInterface(above, frameHook);
    }
    if (frameHook->FrameHookSetFormat != nullptr) {
        memcpy(&context->frameHook, frameHook, sizeof(*frameHook));
    } else {
        context->frameHook.Interface.Version = 0;
    }
    ExFreePool(frameHook);

    auto* usbcamd = static_cast<USBCAMD_INTERFACE*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USBCAMD_INTERFACE), DRIVER_POOL_TAG));
    if (usbcamd == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(usbcamd, 0, sizeof(*usbcamd));
    QueryUsbcamdInterface(context->classDeviceObject, usbcamd);
    if (usbcamd->USBCAMD_SetIsoPipeState != nullptr) {
        memcpy(&context->usbcamdInterface, usbcamd, sizeof(*usbcamd));
    } else {
        context->usbcamdInterface.Interface.Version = 0;
    }
    ExFreePool(usbcamd);

    BOOL pinDirections[TUNER_PIN_COUNT] = {TRUE, TRUE};
    KSPIN_MEDIUM mediums[TUNER_PIN_COUNT] = {
        {{{TunerMediumPin0, 0, 0}}},
        {{{TunerMediumPin1, 0, 0}}},
    };
    NTSTATUS status = StreamClassRegisterFilterWithNoKSPins(context->physicalDeviceObject, &KSCATEGORY_TVTUNER,
                                                            TUNER_PIN_COUNT, pinDirections, mediums, nullptr);
    DbgPrint("Tuner Register Status =0x%X\n", (unsigned)status);
    return STATUS_SUCCESS;
}

VOID NTAPI StreamDataHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed)
{
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(DeviceContext);
    UNREFERENCED_PARAMETER(Completed);
}

VOID NTAPI StreamControlHook(PVOID SrbArgument, PVOID Context, PBOOLEAN Completed)
{
    auto* srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(SrbArgument);
    auto* context = static_cast<DeviceContext*>(Context);
    *Completed = TRUE;
    srb->Status = STATUS_SUCCESS;

    switch (srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
        if (!FormatIsOffered(context, srb->CommandData.OpenFormat, srb->StreamObject->StreamNumber)) {
            srb->Status = STATUS_NO_MATCH;
        }
        break;
    case SRB_SET_DATA_FORMAT: {
        const KSDATAFORMAT* format = srb->CommandData.OpenFormat;
        if (!FormatIsOffered(context, format, srb->StreamObject->StreamNumber)) {
            srb->Status = STATUS_NO_MATCH;
            break;
        }
        if (context->usbcamdInterface.Interface.Version != 0 &&
            context->usbcamdInterface.USBCAMD_SetVideoFormat != nullptr) {
            if (context->usbcamdInterface.USBCAMD_SetVideoFormat(context, srb) != 0) {
                const KS_BITMAPINFOHEADER& bmi =
                    reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
                context->frameWidth = bmi.biWidth;
                context->frameHeight = bmi.biHeight;
                context->outputFourcc = bmi.biCompression;
                srb->Status = STATUS_SUCCESS;
            } else if (NT_SUCCESS(srb->Status)) {
                // The library kept the old format: a success would tell the
                // application that frames of the new one are coming.
                srb->Status = STATUS_INVALID_DEVICE_STATE;
            }
        }
        break;
    }
    case SRB_GET_DATA_FORMAT:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    default:
        *Completed = FALSE;
        return;
    }
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

VOID PowerUpDevice(DeviceContext* Context)
{
    // The bridge lost its state while powered down: programme it and the
    // decoder again, then restore the scaler and the alternate setting.
    // Register statuses are not examined here.
    ReinitDecoder(Context);
    if (Context->captureRunning) {
        // The start-up tables wrote their own window (and, on types 110 and
        // 111, no standard at all): a running stream gets the window and the
        // standard of its format back, or its frames no longer fit.
        SetVideoStandard(Context, Context->standardIndex);
    }
    WriteRegister(Context, BRIDGE_REG_SCALER_0, Context->savedScalerRegs[0]);
    WriteRegister(Context, BRIDGE_REG_SCALER_1, Context->savedScalerRegs[1]);
    WriteRegister(Context, BRIDGE_REG_SCALER_2, Context->savedScalerRegs[2]);
    USBCAMD_SelectAlternateInterface(Context, Context->interfaceInfo);
}

VOID PowerDownDevice(DeviceContext* Context)
{
    // Keep the scaler registers for power-up, then quiesce the bridge: the
    // window's vertical end and register 0x018 to 0, the power-down bits in
    // register 0x000.
    // A read that failed keeps the value saved before (power-up writes it
    // back, and 0xFF00 is no register value).
    for (USHORT i = 0; i < 3; ++i) {
        const USHORT value = ReadRegister(Context, (USHORT)(BRIDGE_REG_SCALER_0 + i));
        if (value != REGISTER_READ_FAILED) {
            Context->savedScalerRegs[i] = value;
        }
    }
    WriteRegister(Context, BRIDGE_REG_100, 0x21);
    DelayMs(Context, 300);
    WriteRegister(Context, BRIDGE_REG_WINDOW_FIRST + 6, 0);
    WriteRegister(Context, BRIDGE_REG_WINDOW_FIRST + 7, 0);
    WriteRegister(Context, BRIDGE_REG_018, 0);
    SetRegister0PowerDown(Context, Context->decoderType);
}
