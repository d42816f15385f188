// Streams: the stream description at SRB_GET_STREAM_INFO, stream open and
// close with the camera's hooks, the library's stream control and data
// routines with their defaults, and the stream property sets the library
// answers itself.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

// Largest format the library copies; a video format is a few hundred bytes.
#define USBCAMD_MAX_FORMAT_SIZE 0x10000

// Frames a client should allocate for the capture pin.
#define USBCAMD_ALLOCATOR_FRAMES 2

// The stream property sets the library answers when the camera leaves a
// stream's set list empty.
const KSPROPERTY_ITEM kConnectionProperties[] = {
    {.PropertyId = KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
     .GetSupported = TRUE,
     .MinProperty = sizeof(KSPROPERTY),
     .MinData = sizeof(KSALLOCATOR_FRAMING),
     .SetSupported = FALSE,
     .Values = nullptr,
     .RelationsCount = 0,
     .Relations = nullptr,
     .SupportHandler = nullptr,
     .SerializedSize = sizeof(ULONG)},
};

const KSPROPERTY_ITEM kDroppedFramesProperties[] = {
    {.PropertyId = KSPROPERTY_DROPPEDFRAMES_CURRENT,
     .GetSupported = TRUE,
     .MinProperty = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     .MinData = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     .SetSupported = FALSE,
     .Values = nullptr,
     .RelationsCount = 0,
     .Relations = nullptr,
     .SupportHandler = nullptr,
     .SerializedSize = 0},
};

const KSPROPERTY_SET kStreamPropertySets[] = {
    {&KSPROPSETID_Connection, ARRAYSIZE(kConnectionProperties), kConnectionProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, ARRAYSIZE(kDroppedFramesProperties), kDroppedFramesProperties, 0, nullptr},
};

// The library's own set, added to every stream: its frame statistics.
const KSPROPERTY_ITEM kStatisticsProperties[] = {
    {.PropertyId = KSPROPERTY_USBCAMD_STATISTICS,
     .GetSupported = TRUE,
     .MinProperty = sizeof(KSPROPERTY),
     .MinData = sizeof(USBCAMD_STREAM_STATISTICS),
     .SetSupported = FALSE,
     .Values = nullptr,
     .RelationsCount = 0,
     .Relations = nullptr,
     .SupportHandler = nullptr,
     .SerializedSize = 0},
};

const KSPROPERTY_SET kStatisticsPropertySet = {&PROPSETID_USBCAMD_STATISTICS, ARRAYSIZE(kStatisticsProperties),
                                               kStatisticsProperties, 0, nullptr};

// The stream record of a request's stream object, when it is one of this
// library's open streams.
UsbcamdStream* StreamOf(PHW_STREAM_OBJECT streamObject)
{
    if (streamObject == nullptr || streamObject->HwStreamExtension == nullptr) {
        return nullptr;
    }
    UsbcamdStream* stream = static_cast<UsbcamdStream*>(streamObject->HwStreamExtension);
    if (stream->signature != USBCAMD_STREAM_SIGNATURE || stream->streamObject != streamObject) {
        return nullptr;
    }
    return stream;
}

template <typename Routine>
Routine AsRoutine(VOID(STREAMAPI* slot)(PHW_STREAM_REQUEST_BLOCK))
{
    // The camera stores three-argument hooks in the one-argument slots.
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)(void)>(slot));
}

BOOLEAN FormatSizeUsable(const KSDATAFORMAT* format)
{
    return format != nullptr && format->FormatSize >= sizeof(KSDATAFORMAT) &&
           format->FormatSize <= USBCAMD_MAX_FORMAT_SIZE;
}

// A format matches a range of the stream when the three GUIDs agree and,
// for video-info formats, the picture size does too.
BOOLEAN FormatOffered(const UsbcamdStream* stream, const KSDATAFORMAT* format)
{
    if (!FormatSizeUsable(format)) {
        return FALSE;
    }
    const HW_STREAM_INFORMATION& info = stream->device->streamInfo[stream->streamNumber];
    if (info.StreamFormatsArray == nullptr) {
        return FALSE;
    }
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        const KSDATAFORMAT* range = info.StreamFormatsArray[i];
        if (range == nullptr || !IsEqualGUIDBytes(range->MajorFormat, format->MajorFormat) ||
            !IsEqualGUIDBytes(range->SubFormat, format->SubFormat) ||
            !IsEqualGUIDBytes(range->Specifier, format->Specifier)) {
            continue;
        }
        if (IsEqualGUIDBytes(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) ||
                range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
                continue;
            }
            const KS_BITMAPINFOHEADER& wanted =
                reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader;
            const KS_BITMAPINFOHEADER& offered =
                reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader;
            if (wanted.biWidth != offered.biWidth || wanted.biHeight != offered.biHeight) {
                continue;
            }
        }
        return TRUE;
    }
    return FALSE;
}

// Replaces the stream's format with a pool copy of `format`.
NTSTATUS KeepFormat(UsbcamdStream* stream, const KSDATAFORMAT* format)
{
    PKSDATAFORMAT copy =
        static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, format->FormatSize, USBCAMD_POOL_TAG));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(copy, format, format->FormatSize);
    if (stream->format != nullptr) {
        ExFreePoolWithTag(stream->format, USBCAMD_POOL_TAG);
    }
    stream->format = copy;
    return STATUS_SUCCESS;
}

VOID FreeStream(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    if (stream->format != nullptr) {
        ExFreePoolWithTag(stream->format, USBCAMD_POOL_TAG);
        stream->format = nullptr;
    }
    if (stream->streamNumber < USBCAMD_MAX_STREAMS && device->streams[stream->streamNumber] == stream) {
        device->streams[stream->streamNumber] = nullptr;
    }
    stream->signature = 0;
    stream->dataHook = nullptr;
    stream->controlHook = nullptr;
}

NTSTATUS GetStreamProperty(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->Property == nullptr || descriptor->PropertyInputSize < sizeof(KSPROPERTY)) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPROPERTY& property = *descriptor->Property;
    // The image size of the format, not the SampleSize its opener wrote.
    const ULONG frameSize = UsbcamdFrameSize(stream);
    USBCAMD_STREAM_STATISTICS statistics;
    UsbcamdGetStatistics(stream, &statistics);

    if (IsEqualGUIDBytes(property.Set, KSPROPSETID_Connection) &&
        property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
        if (descriptor->PropertyInfo == nullptr || descriptor->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSALLOCATOR_FRAMING framing;
        memset(&framing, 0, sizeof(framing));
        framing.RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                    KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
        framing.PoolType = NonPagedPool;
        framing.Frames = USBCAMD_ALLOCATOR_FRAMES;
        framing.FrameSize = frameSize;
        framing.FileAlignment = 0;  // byte alignment
        memcpy(descriptor->PropertyInfo, &framing, sizeof(framing));
        Srb->ActualBytesTransferred = sizeof(framing);
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDBytes(property.Set, PROPSETID_VIDCAP_DROPPEDFRAMES) &&
        property.Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
        if (descriptor->PropertyInfo == nullptr ||
            descriptor->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped;
        memset(&dropped, 0, sizeof(dropped));
        dropped.Property = property;
        dropped.PictureNumber = statistics.PictureNumber;
        dropped.DropCount = statistics.DropCount;
        // What the delivered frames held on average; before the first one,
        // the size the format promises.
        dropped.AverageFrameSize =
            statistics.FramesDelivered > 0
                ? (ULONG)(statistics.BytesDelivered / statistics.FramesDelivered)
                : frameSize;
        memcpy(descriptor->PropertyInfo, &dropped, sizeof(dropped));
        Srb->ActualBytesTransferred = sizeof(dropped);
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDBytes(property.Set, PROPSETID_USBCAMD_STATISTICS) && property.Id == KSPROPERTY_USBCAMD_STATISTICS) {
        if (descriptor->PropertyInfo == nullptr || descriptor->PropertyOutputSize < sizeof(statistics)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(descriptor->PropertyInfo, &statistics, sizeof(statistics));
        Srb->ActualBytesTransferred = sizeof(statistics);
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS GetDataFormat(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (stream->format == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG needed = stream->format->FormatSize;
    const ULONG room = Srb->NumberOfBytesToTransfer;
    if (room == 0) {
        Srb->ActualBytesTransferred = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (room < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Srb->CommandData.OpenFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    memcpy(Srb->CommandData.OpenFormat, stream->format, needed);
    Srb->ActualBytesTransferred = needed;
    return STATUS_SUCCESS;
}

NTSTATUS SetStreamState(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    const KSSTATE target = Srb->CommandData.StreamState;
    if (target != KSSTATE_STOP && target != KSSTATE_ACQUIRE && target != KSSTATE_PAUSE && target != KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    return UsbcamdSetStreamState(stream, target);
}

// A read request must bring one stream header with its frame information
// and a frame buffer that holds a whole frame of the format.
NTSTATUS CheckRead(const UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb->NumberOfBuffers == 0 || Srb->CommandData.DataBufferArray == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSSTREAM_HEADER* header = Srb->CommandData.DataBufferArray;
    if (header->Size < sizeof(KSSTREAM_HEADER) || header->Data == nullptr || header->FrameExtent == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (header->FrameExtent < UsbcamdFrameSize(stream)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

// The camera's hook sees every stream request first. Returns the stream the
// library goes on with, or null when the request is already finished: the
// hook completed it, or there is no stream (then it is completed here).
UsbcamdStream* StreamAfterHook(PHW_STREAM_REQUEST_BLOCK Srb, bool Data)
{
    UsbcamdStream* stream = StreamOf(Srb->StreamObject);
    if (stream == nullptr) {
        UsbcamdCompleteStreamRequest(Srb, STATUS_INVALID_PARAMETER);
        return nullptr;
    }
    const auto hook = Data ? stream->dataHook : stream->controlHook;
    if (hook == nullptr) {
        return stream;
    }
    BOOLEAN completed = FALSE;
    hook(Srb, stream->device->deviceContext, &completed);
    if (completed) {
        return nullptr;
    }
    // The hook may have been the last user of a stream closed meanwhile.
    stream = StreamOf(Srb->StreamObject);
    if (stream == nullptr) {
        UsbcamdCompleteStreamRequest(Srb, STATUS_INVALID_PARAMETER);
    }
    return stream;
}

VOID STREAMAPI ReceiveControlPacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdStream* stream = StreamAfterHook(Srb, false);
    if (stream == nullptr) {
        return;
    }

    NTSTATUS status;
    switch (Srb->Command) {
    case SRB_GET_STREAM_STATE:
        Srb->CommandData.StreamState = stream->state;
        Srb->ActualBytesTransferred = sizeof(KSSTATE);
        status = STATUS_SUCCESS;
        break;
    case SRB_SET_STREAM_STATE:
        status = SetStreamState(stream, Srb);
        break;
    case SRB_GET_STREAM_PROPERTY:
        status = GetStreamProperty(stream, Srb);
        break;
    case SRB_SET_STREAM_PROPERTY:
        status = STATUS_NOT_SUPPORTED;
        break;
    case SRB_PROPOSE_DATA_FORMAT:
        status = FormatOffered(stream, Srb->CommandData.OpenFormat) ? STATUS_SUCCESS : STATUS_NO_MATCH;
        break;
    case SRB_SET_DATA_FORMAT:
        if (!FormatOffered(stream, Srb->CommandData.OpenFormat)) {
            status = STATUS_NO_MATCH;
        } else if (stream->state != KSSTATE_STOP) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            status = KeepFormat(stream, Srb->CommandData.OpenFormat);
        }
        break;
    case SRB_GET_DATA_FORMAT:
        status = GetDataFormat(stream, Srb);
        break;
    case SRB_OPEN_MASTER_CLOCK:
    case SRB_CLOSE_MASTER_CLOCK:
    case SRB_INDICATE_MASTER_CLOCK:
        // Frames are stamped from the system clock; a master clock changes nothing.
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    UsbcamdCompleteStreamRequest(Srb, status);
}

VOID STREAMAPI ReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdStream* stream = StreamAfterHook(Srb, true);
    if (stream == nullptr) {
        return;
    }

    switch (Srb->Command) {
    case SRB_READ_DATA: {
        NTSTATUS status = CheckRead(stream, Srb);
        if (NT_SUCCESS(status) && stream->state == KSSTATE_STOP) {
            status = STATUS_DEVICE_NOT_READY;
        }
        if (NT_SUCCESS(status)) {
            // The transfers ended (the device went away): nothing will come.
            status = UsbcamdReadRefusal(stream);
        }
        if (!NT_SUCCESS(status)) {
            Srb->ActualBytesTransferred = 0;
            UsbcamdCompleteStreamRequest(Srb, status);
            return;
        }
        // Waits for a frame; it must not time out while the stream is idle.
        Srb->TimeoutCounter = 0;
        UsbcamdQueueRead(stream, Srb);
        return;
    }
    case SRB_WRITE_DATA:
        UsbcamdCompleteStreamRequest(Srb, STATUS_NOT_SUPPORTED);
        return;
    default:
        UsbcamdCompleteStreamRequest(Srb, STATUS_NOT_IMPLEMENTED);
        return;
    }
}

}  // namespace

NTSTATUS UsbcamdGetStreamInfo(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HW_STREAM_HEADER& header = descriptor->StreamHeader;
    header.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    // The buffer has room for USBCAMD_MAX_STREAMS records and no more.
    if (header.NumberOfStreams > USBCAMD_MAX_STREAMS) {
        header.NumberOfStreams = USBCAMD_MAX_STREAMS;
    }
    PHW_STREAM_INFORMATION info = &descriptor->StreamInfo;
    for (ULONG i = 0; i < header.NumberOfStreams; ++i) {
        if (info[i].NumStreamPropArrayEntries == 0 && info[i].StreamPropertiesArray == nullptr) {
            info[i].NumStreamPropArrayEntries = ARRAYSIZE(kStreamPropertySets);
            info[i].StreamPropertiesArray = const_cast<PKSPROPERTY_SET>(kStreamPropertySets);
        }
        // The camera's sets, then the library's statistics, when there is room.
        const ULONG sets = info[i].NumStreamPropArrayEntries;
        if (info[i].StreamPropertiesArray != nullptr && sets < USBCAMD_MAX_STREAM_PROPERTY_SETS) {
            KSPROPERTY_SET* combined = device->streamPropertySets[i];
            memcpy(combined, info[i].StreamPropertiesArray, sets * sizeof(KSPROPERTY_SET));
            combined[sets] = kStatisticsPropertySet;
            info[i].NumStreamPropArrayEntries = sets + 1;
            info[i].StreamPropertiesArray = combined;
        }
        device->streamInfo[i] = info[i];
    }
    device->streamCount = header.NumberOfStreams;
    return STATUS_SUCCESS;
}

NTSTATUS UsbcamdOpenStream(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PHW_STREAM_OBJECT streamObject = Srb->StreamObject;
    if (streamObject == nullptr || streamObject->HwStreamExtension == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG number = streamObject->StreamNumber;
    if (number >= device->streamCount || number >= USBCAMD_MAX_STREAMS) {
        return STATUS_INVALID_PARAMETER;
    }
    if (device->streams[number] != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const KSDATAFORMAT* format = Srb->CommandData.OpenFormat;
    if (!FormatSizeUsable(format)) {
        return STATUS_INVALID_PARAMETER;
    }

    UsbcamdStream* stream = static_cast<UsbcamdStream*>(streamObject->HwStreamExtension);
    memset(stream, 0, sizeof(*stream));
    stream->device = device;
    stream->streamObject = streamObject;
    stream->streamNumber = number;
    stream->state = KSSTATE_STOP;
    UsbcamdInitializeEngine(stream);
    const NTSTATUS status = KeepFormat(stream, format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // What the camera put into the two slots are its hooks; the library's
    // own routines take their place.
    stream->dataHook = AsRoutine<PSTREAM_RECEIVE_PACKET>(streamObject->ReceiveDataPacket);
    stream->controlHook = AsRoutine<PSTREAM_RECEIVE_PACKET>(streamObject->ReceiveControlPacket);
    streamObject->ReceiveDataPacket = ReceiveDataPacket;
    streamObject->ReceiveControlPacket = ReceiveControlPacket;
    streamObject->Dma = FALSE;
    streamObject->Pio = TRUE;
    streamObject->Allocator = FALSE;
    stream->signature = USBCAMD_STREAM_SIGNATURE;
    device->streams[number] = stream;
    return STATUS_SUCCESS;
}

NTSTATUS UsbcamdCloseStream(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdStream* stream = StreamOf(Srb->StreamObject);
    if (stream == nullptr || stream->device != device) {
        return STATUS_INVALID_PARAMETER;
    }
    UsbcamdStopStream(stream);
    UsbcamdFlushReads(stream, STATUS_CANCELLED);
    FreeStream(stream);
    return STATUS_SUCCESS;
}

VOID UsbcamdCloseAllStreams(UsbcamdDevice* device, NTSTATUS readStatus)
{
    for (ULONG i = 0; i < USBCAMD_MAX_STREAMS; ++i) {
        UsbcamdStream* stream = device->streams[i];
        if (stream != nullptr) {
            UsbcamdFlushReads(stream, readStatus);
            UsbcamdStopStream(stream);
            FreeStream(stream);
        }
    }
}

VOID UsbcamdFlushAllReads(UsbcamdDevice* device, NTSTATUS readStatus)
{
    for (ULONG i = 0; i < USBCAMD_MAX_STREAMS; ++i) {
        if (device->streams[i] != nullptr) {
            UsbcamdFlushReads(device->streams[i], readStatus);
        }
    }
}

BOOLEAN UsbcamdAnyStreamRunning(const UsbcamdDevice* device)
{
    for (ULONG i = 0; i < USBCAMD_MAX_STREAMS; ++i) {
        if (device->streams[i] != nullptr && device->streams[i]->state == KSSTATE_RUN) {
            return TRUE;
        }
    }
    return FALSE;
}

VOID STREAMAPI UsbcamdCancelPacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb == nullptr) {
        return;
    }
    UsbcamdStream* stream = StreamOf(Srb->StreamObject);
    if (stream == nullptr) {
        return;
    }
    // A request being filled right now is not in the queue; it completes
    // with its frame.
    if (UsbcamdRemoveRead(stream, Srb)) {
        Srb->ActualBytesTransferred = 0;
        UsbcamdCompleteStreamRequest(Srb, STATUS_CANCELLED);
    }
}

VOID STREAMAPI UsbcamdTimeoutHandler(PHW_STREAM_REQUEST_BLOCK Srb)
{
    // Reads wait for frames as long as the stream is open; a request the
    // library holds is never abandoned, so the timer is simply rearmed.
    if (Srb != nullptr) {
        Srb->TimeoutCounter = 0;
    }
}

// ------------------------------------------------- USBCAMD_SetVideoFormat ---

NTSTATUS NTAPI UsbcamdSetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdDevice* device = UsbcamdDeviceFromContext(DeviceContext);
    if (device == nullptr || Srb == nullptr) {
        return FALSE;
    }
    UsbcamdStream* stream = StreamOf(Srb->StreamObject);
    if (stream == nullptr || stream->device != device) {
        Srb->Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    const KSDATAFORMAT* format = Srb->CommandData.OpenFormat;
    if (!FormatOffered(stream, format)) {
        Srb->Status = STATUS_NO_MATCH;
        return FALSE;
    }
    // A running stream keeps its format until it is stopped.
    if (stream->state != KSSTATE_STOP) {
        Srb->Status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    const NTSTATUS status = KeepFormat(stream, format);
    if (!NT_SUCCESS(status)) {
        Srb->Status = status;
        return FALSE;
    }
    return TRUE;
}
