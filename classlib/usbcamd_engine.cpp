// The stream state machine and the isochronous engine: bandwidth and buffers
// from STOP, capture start and the transfers in RUN, the packet routine on
// every packet, raw frame assembly, and the raw-frame routine on every
// complete frame with the head read request's buffer.
//
// States: leaving STOP the camera allocates its bandwidth and names the raw
// frame length, and the library allocates its buffers and its isochronous
// transfers (IRP, URB and packet buffer each); entering RUN the camera starts
// capturing and the transfers go down the stack; leaving RUN the pipe is
// aborted, every transfer's completion is waited for, and the camera stops
// capturing; entering STOP the bandwidth and the buffers are given back and
// queued reads are cancelled. ACQUIRE and PAUSE hold the bandwidth without
// transfers.
//
// Transfers: each completion routine (DISPATCH_LEVEL) takes its packets in
// bus order and sends the transfer down again at once (start ASAP, right
// behind the others). A transfer that fails as a whole loses its packets and
// the frame they belonged to; a work item then quiets the pipe (abort, wait),
// resets it and sends every transfer down again. A device found gone ends
// the run: waiting reads complete with STATUS_DEVICE_NOT_CONNECTED and
// nothing is sent to the device any more.
//
// Time: a frame's time is the microframe of its first packet, counted from
// the first microframe of the run, added to the run's start on the stream's
// clock (the first RUN after STOP) in 100 ns units.
#include "classlib/usbcamd_internal.h"

#include <string.h>

namespace {

// ----------------------------------------------------------- the camera ---

BOOLEAN UsesVersion2(const UsbcamdDevice* device)
{
    return device->haveDeviceData2;
}

NTSTATUS AllocateBandwidth(UsbcamdStream* stream, PULONG rawFrameLength, BOOLEAN* present)
{
    UsbcamdDevice* device = stream->device;
    *present = TRUE;
    if (UsesVersion2(device) && device->deviceData2.CamAllocateBandwidthEx != nullptr) {
        return device->deviceData2.CamAllocateBandwidthEx(device->busDeviceObject, device->deviceContext,
                                                          rawFrameLength, stream->format, stream->streamNumber);
    }
    if (!UsesVersion2(device) && device->haveDeviceData && device->deviceData.CamAllocateBandwidth != nullptr) {
        return device->deviceData.CamAllocateBandwidth(device->busDeviceObject, device->deviceContext,
                                                       rawFrameLength, stream->format);
    }
    *present = FALSE;
    return STATUS_SUCCESS;
}

VOID FreeBandwidth(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    if (UsesVersion2(device) && device->deviceData2.CamFreeBandwidthEx != nullptr) {
        device->deviceData2.CamFreeBandwidthEx(device->busDeviceObject, device->deviceContext, stream->streamNumber);
    } else if (!UsesVersion2(device) && device->haveDeviceData && device->deviceData.CamFreeBandwidth != nullptr) {
        device->deviceData.CamFreeBandwidth(device->busDeviceObject, device->deviceContext);
    }
}

NTSTATUS StartCapture(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    if (UsesVersion2(device) && device->deviceData2.CamStartCaptureEx != nullptr) {
        return device->deviceData2.CamStartCaptureEx(device->busDeviceObject, device->deviceContext,
                                                     stream->streamNumber);
    }
    if (!UsesVersion2(device) && device->haveDeviceData && device->deviceData.CamStartCapture != nullptr) {
        return device->deviceData.CamStartCapture(device->busDeviceObject, device->deviceContext);
    }
    return STATUS_SUCCESS;
}

VOID StopCapture(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    if (UsesVersion2(device) && device->deviceData2.CamStopCaptureEx != nullptr) {
        device->deviceData2.CamStopCaptureEx(device->busDeviceObject, device->deviceContext, stream->streamNumber);
    } else if (!UsesVersion2(device) && device->haveDeviceData && device->deviceData.CamStopCapture != nullptr) {
        device->deviceData.CamStopCapture(device->busDeviceObject, device->deviceContext);
    }
}

// The packet routine: bytes to copy, with the frame-complete and drop flags
// and the offset of the bytes in the packet.
ULONG ProcessPacket(UsbcamdStream* stream, PVOID frameContext, PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data,
                    PBOOLEAN frameComplete, PULONG flags, PULONG offset)
{
    UsbcamdDevice* device = stream->device;
    *frameComplete = FALSE;
    *flags = 0;
    *offset = 0;
    if (UsesVersion2(device)) {
        if (device->deviceData2.CamProcessUSBPacketEx == nullptr) {
            return 0;
        }
        return device->deviceData2.CamProcessUSBPacketEx(device->busDeviceObject, device->deviceContext, frameContext,
                                                          nullptr, nullptr, packet, data, frameComplete, flags,
                                                          offset);
    }
    if (device->haveDeviceData && device->deviceData.CamProcessUSBPacket != nullptr) {
        BOOLEAN still = FALSE;
        return device->deviceData.CamProcessUSBPacket(device->busDeviceObject, device->deviceContext, frameContext,
                                                       nullptr, nullptr, packet, data, frameComplete, &still);
    }
    return 0;
}

VOID NewFrame(UsbcamdStream* stream, PVOID frameContext, PULONG limit)
{
    UsbcamdDevice* device = stream->device;
    if (UsesVersion2(device)) {
        if (device->deviceData2.CamNewVideoFrameEx != nullptr) {
            ULONG length = *limit;
            device->deviceData2.CamNewVideoFrameEx(device->deviceContext, frameContext, stream->streamNumber,
                                                   &length);
            // The camera may only shorten the frame.
            if (length < *limit) {
                *limit = length;
            }
        }
    } else if (device->haveDeviceData && device->deviceData.CamNewVideoFrame != nullptr) {
        device->deviceData.CamNewVideoFrame(device->deviceContext, frameContext);
    }
}

// The raw-frame routine, or a plain copy when the camera converts nothing.
NTSTATUS ProcessRawFrame(UsbcamdStream* stream, UsbcamdRawFrame* frame, PVOID buffer, ULONG bufferLength,
                         PULONG bytesReturned)
{
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    *bytesReturned = 0;
    if (UsesVersion2(device) && device->deviceData2.CamProcessRawVideoFrameEx != nullptr &&
        (device->camControlFlags & USBCAMD_CamControlFlag_NoVideoRawProcessing) == 0) {
        return device->deviceData2.CamProcessRawVideoFrameEx(
            device->busDeviceObject, device->deviceContext, frame->frameContext, buffer, bufferLength, frame->buffer,
            engine->rawFrameLength, frame->packets, bytesReturned, frame->length, stream->streamNumber);
    }
    if (!UsesVersion2(device) && device->haveDeviceData && device->deviceData.CamProcessRawVideoFrame != nullptr) {
        return device->deviceData.CamProcessRawVideoFrame(device->busDeviceObject, device->deviceContext,
                                                          frame->frameContext, buffer, bufferLength, frame->buffer,
                                                          engine->rawFrameLength, frame->packets, bytesReturned);
    }
    const ULONG bytes = frame->length < bufferLength ? frame->length : bufferLength;
    memcpy(buffer, frame->buffer, bytes);
    *bytesReturned = bytes;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------- the pipe ---

// Endpoint address, bytes per microframe and handle of the data pipe in the
// alternate setting now selected; FALSE when it has no isochronous bandwidth
// or the stack opened no pipe for it.
BOOLEAN FindDataPipe(const UsbcamdDevice* device, PUCHAR endpoint, PULONG bytesPerPacket, USBD_PIPE_HANDLE* handle)
{
    if (device->dataPipeIndex < 0 || device->configDescriptor == nullptr) {
        return FALSE;
    }
    const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor =
        UsbcamdFindInterface(device, device->interfaceNumber, device->alternateSetting);
    if (interfaceDescriptor == nullptr) {
        return FALSE;
    }
    const PUCHAR start = reinterpret_cast<PUCHAR>(device->configDescriptor);
    const ULONG total = device->configDescriptorLength;
    ULONG at = (ULONG)(reinterpret_cast<const UCHAR*>(interfaceDescriptor) - start) + interfaceDescriptor->bLength;
    LONG index = 0;
    while (at + 2 <= total) {
        const UCHAR length = start[at];
        const UCHAR type = start[at + 1];
        if (length < 2 || length > total - at || type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            return FALSE;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (index == device->dataPipeIndex) {
                const USB_ENDPOINT_DESCRIPTOR* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(start + at);
                if ((e->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS ||
                    (e->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0) {
                    return FALSE;
                }
                *endpoint = e->bEndpointAddress;
                *bytesPerPacket = UsbHighSpeedBytesPerMicroframe(e->wMaxPacketSize);
                *handle = nullptr;
                for (ULONG i = 0; i < device->currentPipeCount; ++i) {
                    if (device->pipes[i].EndpointAddress == e->bEndpointAddress) {
                        *handle = device->pipes[i].PipeHandle;
                    }
                }
                return *bytesPerPacket != 0 && *handle != nullptr;
            }
            ++index;
        }
        at += length;
    }
    return FALSE;
}

// ----------------------------------------------------------- the buffers ---

VOID FreeBuffers(UsbcamdEngine* engine)
{
    for (ULONG i = 0; i < USBCAMD_RAW_FRAMES; ++i) {
        UsbcamdRawFrame* frame = &engine->raw[i];
        if (frame->buffer != nullptr) {
            ExFreePoolWithTag(frame->buffer, USBCAMD_POOL_TAG);
        }
        if (frame->frameContext != nullptr) {
            ExFreePoolWithTag(frame->frameContext, USBCAMD_POOL_TAG);
        }
        memset(frame, 0, sizeof(*frame));
    }
    for (ULONG i = 0; i < USBCAMD_TRANSFERS_IN_FLIGHT; ++i) {
        UsbcamdTransfer* transfer = &engine->transfers[i];
        if (transfer->irp != nullptr) {
            IoFreeIrp(transfer->irp);
        }
        if (transfer->urb != nullptr) {
            ExFreePoolWithTag(transfer->urb, USBCAMD_POOL_TAG);
        }
        if (transfer->buffer != nullptr) {
            ExFreePoolWithTag(transfer->buffer, USBCAMD_POOL_TAG);
        }
        memset(transfer, 0, sizeof(*transfer));
    }
}

NTSTATUS AllocateBuffers(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    const CCHAR stackSize = stream->device->busDeviceObject->StackSize;
    for (ULONG i = 0; i < USBCAMD_TRANSFERS_IN_FLIGHT; ++i) {
        UsbcamdTransfer* transfer = &engine->transfers[i];
        transfer->stream = stream;
        transfer->irp = IoAllocateIrp(stackSize, FALSE);
        transfer->urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPool, GET_ISO_URB_SIZE(USBCAMD_PACKETS_PER_TRANSFER), USBCAMD_POOL_TAG));
        transfer->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
            NonPagedPool, USBCAMD_PACKETS_PER_TRANSFER * engine->bytesPerPacket, USBCAMD_POOL_TAG));
        if (transfer->irp == nullptr || transfer->urb == nullptr || transfer->buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    for (ULONG i = 0; i < USBCAMD_RAW_FRAMES; ++i) {
        UsbcamdRawFrame* frame = &engine->raw[i];
        frame->buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, engine->rawFrameLength, USBCAMD_POOL_TAG));
        if (frame->buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (engine->frameContextSize != 0) {
            frame->frameContext = ExAllocatePoolWithTag(NonPagedPool, engine->frameContextSize, USBCAMD_POOL_TAG);
            if (frame->frameContext == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    return STATUS_SUCCESS;
}

// --------------------------------------------------------- the accounting ---
// All under the engine's lock.

VOID Drop(UsbcamdEngine* engine, UCHAR reason)
{
    USBCAMD_STREAM_STATISTICS& s = engine->stats;
    ++s.PictureNumber;
    ++s.DropCount;
    switch (reason) {
    case UsbcamdDropNoRequest: ++s.DroppedNoRequest; break;
    case UsbcamdDropOverflow: ++s.DroppedOverflow; break;
    case UsbcamdDropTooEarly: ++s.DroppedTooEarly; break;
    case UsbcamdDropConversion: ++s.DroppedConversion; break;
    case UsbcamdDropBusy: ++s.DroppedBusy; break;
    case UsbcamdDropTransfer: ++s.DroppedTransfer; break;
    case UsbcamdDropCamera:
    default: ++s.DroppedByCamera; break;
    }
}

VOID ReleaseFrame(UsbcamdRawFrame* frame)
{
    frame->state = UsbcamdRawFree;
    frame->dropReason = UsbcamdDropNone;
    frame->length = 0;
    frame->packets = 0;
}

// The frame being assembled is to be dropped for `reason` (the first reason
// given stands).
VOID MarkCurrent(UsbcamdEngine* engine, UCHAR reason)
{
    if (engine->current >= 0) {
        UsbcamdRawFrame* frame = &engine->raw[engine->current];
        if (frame->dropReason == UsbcamdDropNone) {
            frame->dropReason = reason;
        }
    } else if (engine->currentDrop == UsbcamdDropNone) {
        engine->currentDrop = reason;
    }
}

UsbcamdRawFrame* OldestReady(UsbcamdEngine* engine)
{
    UsbcamdRawFrame* oldest = nullptr;
    for (ULONG i = 0; i < USBCAMD_RAW_FRAMES; ++i) {
        UsbcamdRawFrame* frame = &engine->raw[i];
        if (frame->state == UsbcamdRawReady && (oldest == nullptr || frame->sequence < oldest->sequence)) {
            oldest = frame;
        }
    }
    return oldest;
}

// ------------------------------------------------------- frame assembly ---
// In the DPC, under the lock.

VOID FinishFrame(UsbcamdEngine* engine, BOOLEAN droppedByCamera)
{
    if (engine->current < 0) {
        Drop(engine, engine->currentDrop != UsbcamdDropNone ? engine->currentDrop : (UCHAR)UsbcamdDropBusy);
        return;
    }
    UsbcamdRawFrame* frame = &engine->raw[engine->current];
    engine->current = -1;
    if (droppedByCamera && frame->dropReason == UsbcamdDropNone) {
        frame->dropReason = UsbcamdDropCamera;
    }
    if (frame->dropReason != UsbcamdDropNone) {
        Drop(engine, frame->dropReason);
        ReleaseFrame(frame);
        return;
    }
    frame->state = UsbcamdRawReady;
    frame->sequence = ++engine->sequence;
}

VOID BeginFrame(UsbcamdStream* stream, ULONGLONG packetIndex)
{
    UsbcamdEngine* engine = &stream->engine;
    engine->current = -1;
    engine->currentDrop = UsbcamdDropNone;
    for (ULONG i = 0; i < USBCAMD_RAW_FRAMES; ++i) {
        UsbcamdRawFrame* frame = &engine->raw[i];
        if (frame->state != UsbcamdRawFree) {
            continue;
        }
        frame->state = UsbcamdRawAssembling;
        frame->dropReason = UsbcamdDropNone;
        frame->length = 0;
        frame->packets = 0;
        frame->limit = engine->rawFrameLength;
        frame->startTime = engine->runStart - engine->timeBase + (LONGLONG)packetIndex * USBCAMD_MICROFRAME_UNITS;
        if (!engine->havePictureBase) {
            engine->pictureBase = frame->startTime;
            engine->havePictureBase = TRUE;
        }
        if (frame->frameContext != nullptr) {
            memset(frame->frameContext, 0, engine->frameContextSize);
        }
        NewFrame(stream, frame->frameContext, &frame->limit);
        engine->current = (LONG)i;
        return;
    }
}

VOID TakePacket(UsbcamdStream* stream, UsbcamdTransfer* transfer, ULONG slot, ULONGLONG packetIndex)
{
    UsbcamdEngine* engine = &stream->engine;
    PUSBD_ISO_PACKET_DESCRIPTOR packet = &transfer->urb->UrbIsochronousTransfer.IsoPacket[slot];
    ++engine->stats.PacketsReceived;
    // The slot is the library's own: whatever the bus wrote into the offset
    // is not followed.
    packet->Offset = slot * engine->bytesPerPacket;
    // A device never fills more than its slot; a length beyond it is a
    // babbling endpoint, and the packet counts as an error.
    if (packet->Length > engine->bytesPerPacket) {
        packet->Length = 0;
        packet->Status = USBD_STATUS_DATA_OVERRUN;
    }
    if (!USBD_SUCCESS(packet->Status)) {
        ++engine->stats.PacketErrors;
    }
    const PUCHAR data = transfer->buffer + slot * engine->bytesPerPacket;
    UsbcamdRawFrame* frame = engine->current >= 0 ? &engine->raw[engine->current] : nullptr;

    BOOLEAN frameComplete = FALSE;
    ULONG flags = 0;
    ULONG offset = 0;
    const ULONG count = ProcessPacket(stream, frame != nullptr ? frame->frameContext : nullptr, packet, data,
                                      &frameComplete, &flags, &offset);
    if (frameComplete) {
        // The packet opens the next frame; the drop flag judges the one it ends.
        if (engine->synchronised) {
            FinishFrame(engine, (flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0);
        }
        engine->synchronised = TRUE;
        BeginFrame(stream, packetIndex);
    } else if ((flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0 && engine->synchronised) {
        MarkCurrent(engine, UsbcamdDropCamera);
    }
    if (!engine->synchronised) {
        return;  // the data before the first frame start belongs to no frame
    }
    frame = engine->current >= 0 ? &engine->raw[engine->current] : nullptr;
    if (frame != nullptr) {
        ++frame->packets;
    }
    if (count == 0) {
        return;
    }
    // The routine may only name bytes of its own packet.
    if (offset > packet->Length || count > packet->Length - offset) {
        MarkCurrent(engine, UsbcamdDropCamera);
        return;
    }
    if (frame == nullptr || frame->dropReason != UsbcamdDropNone) {
        return;
    }
    if (count > frame->limit - frame->length) {
        frame->dropReason = UsbcamdDropOverflow;
        return;
    }
    memcpy(frame->buffer + frame->length, data + offset, count);
    frame->length += count;
}

// ------------------------------------------------------------ the reads ---

VOID CompleteRead(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS status)
{
    if (!NT_SUCCESS(status)) {
        Srb->ActualBytesTransferred = 0;
    }
    UsbcamdCompleteStreamRequest(Srb, status);
}

// Detaches the whole read queue (under the lock); the caller completes it.
PHW_STREAM_REQUEST_BLOCK DetachReads(UsbcamdStream* stream)
{
    PHW_STREAM_REQUEST_BLOCK list = stream->readHead;
    stream->readHead = nullptr;
    stream->readTail = nullptr;
    stream->readCount = 0;
    return list;
}

VOID CompleteList(PHW_STREAM_REQUEST_BLOCK list, NTSTATUS status)
{
    while (list != nullptr) {
        PHW_STREAM_REQUEST_BLOCK Srb = list;
        list = Srb->NextSRB;
        Srb->NextSRB = nullptr;
        CompleteRead(Srb, status);
    }
}

PHW_STREAM_REQUEST_BLOCK DequeueRead(UsbcamdStream* stream)
{
    PHW_STREAM_REQUEST_BLOCK Srb = stream->readHead;
    if (Srb != nullptr) {
        stream->readHead = Srb->NextSRB;
        if (stream->readHead == nullptr) {
            stream->readTail = nullptr;
        }
        Srb->NextSRB = nullptr;
        --stream->readCount;
    }
    return Srb;
}

VOID PushReadFront(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->NextSRB = stream->readHead;
    stream->readHead = Srb;
    if (stream->readTail == nullptr) {
        stream->readTail = Srb;
    }
    ++stream->readCount;
}

// Fills the stream header and its frame information for a delivered frame.
VOID DescribeFrame(UsbcamdStream* stream, PKSSTREAM_HEADER header, const UsbcamdRawFrame* frame, ULONG bytes,
                   LONGLONG pictureNumber, LONGLONG dropCount)
{
    header->DataUsed = bytes;
    header->PresentationTime.Time = frame->startTime;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = 0;
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    const KSDATAFORMAT* format = stream->format;
    if (format != nullptr && format->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) &&
        IsEqualGUIDBytes(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        const LONGLONG perFrame =
            reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.AvgTimePerFrame;
        if (perFrame > 0) {
            header->Duration = perFrame;
            header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
        }
    }
    if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        PKS_FRAME_INFO info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->dwFrameFlags = KS_VIDEO_FLAG_FRAME | KS_VIDEO_FLAG_I_FRAME;
        info->PictureNumber = pictureNumber;
        info->DropCount = dropCount;
    }
}

// Frames that never reached the bus (lost fields, a board that sent
// nothing) leave no raw frame to drop: the picture number follows the
// frame's time in frame periods from the first frame, and what it counts
// beyond the frames decided is dropped too (under the lock).
VOID CountUnseenFrames(UsbcamdStream* stream, const UsbcamdRawFrame* frame)
{
    UsbcamdEngine* engine = &stream->engine;
    const KSDATAFORMAT* format = stream->format;
    if (!engine->havePictureBase || format == nullptr || format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) ||
        !IsEqualGUIDBytes(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        return;
    }
    const LONGLONG period = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.AvgTimePerFrame;
    const LONGLONG elapsed = frame->startTime - engine->pictureBase;
    if (period <= 0 || elapsed < 0) {
        return;
    }
    const LONGLONG byTime = 1 + (elapsed + period / 2) / period;
    if (byTime > engine->stats.PictureNumber) {
        engine->stats.DropCount += byTime - engine->stats.PictureNumber;
        engine->stats.PictureNumber = byTime;
    }
}

// -------------------------------------------------------- deferred work ---

VOID NTAPI EngineWork(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Queues the work item when a frame is ready and none is queued (under the lock).
VOID KickWork(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    if (engine->workQueued || engine->workItem == nullptr || OldestReady(engine) == nullptr) {
        return;
    }
    engine->workQueued = TRUE;
    KeClearEvent(&engine->workIdle);
    IoQueueWorkItem(engine->workItem, EngineWork, DelayedWorkQueue, stream);
}

// Runs at PASSIVE_LEVEL: every ready frame goes to the raw-frame routine
// with the head read request, oldest first.
VOID NTAPI EngineWork(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UsbcamdStream* stream = static_cast<UsbcamdStream*>(Context);
    UsbcamdEngine* engine = &stream->engine;
    const ULONGLONG minimumSpacing = (ULONGLONG)stream->device->frameInterval * 1000;  // 100 us -> 100 ns
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&engine->lock, &irql);
        UsbcamdRawFrame* frame = OldestReady(engine);
        if (frame == nullptr) {
            engine->workQueued = FALSE;
            KeSetEvent(&engine->workIdle, IO_NO_INCREMENT, FALSE);
            KeReleaseSpinLock(&engine->lock, irql);
            return;
        }
        if (!engine->running) {
            // The run ended: frames still waiting are not delivered.
            ReleaseFrame(frame);
            KeReleaseSpinLock(&engine->lock, irql);
            continue;
        }
        if (engine->haveDelivered && minimumSpacing != 0 &&
            (ULONGLONG)(frame->startTime - engine->lastDeliveredTime) < minimumSpacing) {
            Drop(engine, UsbcamdDropTooEarly);
            ReleaseFrame(frame);
            KeReleaseSpinLock(&engine->lock, irql);
            continue;
        }
        PHW_STREAM_REQUEST_BLOCK Srb = DequeueRead(stream);
        if (Srb == nullptr) {
            Drop(engine, UsbcamdDropNoRequest);
            ReleaseFrame(frame);
            KeReleaseSpinLock(&engine->lock, irql);
            continue;
        }
        frame->state = UsbcamdRawConverting;
        KeReleaseSpinLock(&engine->lock, irql);

        PKSSTREAM_HEADER header = Srb->CommandData.DataBufferArray;
        ULONG bytes = 0;
        const NTSTATUS status = ProcessRawFrame(stream, frame, header->Data, header->FrameExtent, &bytes);

        KeAcquireSpinLock(&engine->lock, &irql);
        if (!NT_SUCCESS(status) || bytes == 0 || bytes > header->FrameExtent) {
            // Nothing usable came out: the request waits for the next frame.
            Drop(engine, UsbcamdDropConversion);
            ReleaseFrame(frame);
            PushReadFront(stream, Srb);
            KeReleaseSpinLock(&engine->lock, irql);
            continue;
        }
        ++engine->stats.PictureNumber;
        ++engine->stats.FramesDelivered;
        CountUnseenFrames(stream, frame);
        engine->stats.BytesDelivered += bytes;
        engine->haveDelivered = TRUE;
        engine->lastDeliveredTime = frame->startTime;
        DescribeFrame(stream, header, frame, bytes, engine->stats.PictureNumber, engine->stats.DropCount);
        ReleaseFrame(frame);
        KeReleaseSpinLock(&engine->lock, irql);

        Srb->ActualBytesTransferred = bytes;
        CompleteRead(Srb, STATUS_SUCCESS);
    }
}

// ------------------------------------------------------------ transfers ---

NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI RecoverPipe(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Builds the transfer's request afresh and sends it down; its completion
// routine owns it from here. The caller counted it in flight.
VOID SendTransfer(UsbcamdTransfer* transfer)
{
    UsbcamdStream* stream = transfer->stream;
    UsbcamdEngine* engine = &stream->engine;
    struct _URB_ISOCH_TRANSFER& r = transfer->urb->UrbIsochronousTransfer;
    memset(&r, 0, FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket));
    r.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(USBCAMD_PACKETS_PER_TRANSFER);
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = engine->pipeHandle;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    r.TransferBufferLength = USBCAMD_PACKETS_PER_TRANSFER * engine->bytesPerPacket;
    r.TransferBuffer = transfer->buffer;
    r.NumberOfPackets = USBCAMD_PACKETS_PER_TRANSFER;
    for (ULONG i = 0; i < USBCAMD_PACKETS_PER_TRANSFER; ++i) {
        r.IsoPacket[i].Offset = i * engine->bytesPerPacket;
        r.IsoPacket[i].Length = 0;
        r.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
    IoReuseIrp(transfer->irp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = transfer->urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(transfer->irp, TransferDone, transfer, TRUE, TRUE, TRUE);
    IoCallDriver(stream->device->busDeviceObject, transfer->irp);
}

// Counts a transfer in flight (under the lock).
VOID CountInFlight(UsbcamdEngine* engine, UsbcamdTransfer* transfer)
{
    transfer->inFlight = TRUE;
    transfer->sequence = ++engine->submitted;
    if (engine->inFlight++ == 0) {
        KeClearEvent(&engine->transfersIdle);
    }
}

// A transfer is back for good (under the lock).
VOID CountReturned(UsbcamdEngine* engine, UsbcamdTransfer* transfer)
{
    transfer->inFlight = FALSE;
    if (--engine->inFlight == 0) {
        KeSetEvent(&engine->transfersIdle, IO_NO_INCREMENT, FALSE);
    }
}

// The run ends because the device is gone (under the lock); returns the
// reads to complete.
PHW_STREAM_REQUEST_BLOCK EndRun(UsbcamdStream* stream, NTSTATUS status)
{
    UsbcamdEngine* engine = &stream->engine;
    engine->running = FALSE;
    engine->stats.TransferStatus = status;
    if (engine->current >= 0) {
        ReleaseFrame(&engine->raw[engine->current]);
        engine->current = -1;
    }
    return DetachReads(stream);
}

// The completion routine of every isochronous transfer, at DISPATCH_LEVEL.
NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UsbcamdTransfer* transfer = static_cast<UsbcamdTransfer*>(Context);
    UsbcamdStream* stream = transfer->stream;
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    struct _URB_ISOCH_TRANSFER& r = transfer->urb->UrbIsochronousTransfer;
    const NTSTATUS status = Irp->IoStatus.Status;
    const USBD_STATUS usbd = r.Hdr.Status;

    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    BOOLEAN again = FALSE;
    PHW_STREAM_REQUEST_BLOCK failed = nullptr;
    if (status == STATUS_DEVICE_NOT_CONNECTED || usbd == USBD_STATUS_DEVICE_GONE) {
        device->usbGone = TRUE;
        if (engine->running) {
            failed = EndRun(stream, STATUS_DEVICE_NOT_CONNECTED);
        }
    } else if (NT_SUCCESS(status) && USBD_SUCCESS(usbd)) {
        // A transfer taken out of turn would put its packets out of bus order:
        // the frame they would join is given up instead.
        if (transfer->sequence != engine->taken + 1) {
            MarkCurrent(engine, UsbcamdDropTransfer);
        }
        engine->taken = transfer->sequence;
        const ULONGLONG first = (ULONGLONG)r.StartFrame * 8;
        if (!engine->haveBusStart) {
            engine->busStart = first;
            engine->haveBusStart = TRUE;
        }
        const ULONGLONG base = first >= engine->busStart ? first - engine->busStart : 0;
        const ULONG packets =
            r.NumberOfPackets <= USBCAMD_PACKETS_PER_TRANSFER ? r.NumberOfPackets : USBCAMD_PACKETS_PER_TRANSFER;
        if (engine->running) {
            for (ULONG i = 0; i < packets; ++i) {
                TakePacket(stream, transfer, i, base + i);
            }
            engine->packetsFetched = base + packets;
            again = !engine->recovering;
        }
    } else if (status != STATUS_CANCELLED && engine->running) {
        // The transfer failed as a whole: its packets are lost, and with them
        // the frame being assembled. The pipe is reset before it goes on.
        ++engine->stats.TransferErrors;
        engine->taken = transfer->sequence;
        MarkCurrent(engine, UsbcamdDropTransfer);
        if (!engine->recoveryQueued && engine->recoveryItem != nullptr) {
            engine->recoveryQueued = TRUE;
            engine->recovering = TRUE;
            KeClearEvent(&engine->recoveryIdle);
            IoQueueWorkItem(engine->recoveryItem, RecoverPipe, DelayedWorkQueue, stream);
        }
    }
    if (again) {
        CountReturned(engine, transfer);
        CountInFlight(engine, transfer);
    } else {
        CountReturned(engine, transfer);
    }
    KickWork(stream);
    KeReleaseSpinLock(&engine->lock, irql);
    CompleteList(failed, STATUS_DEVICE_NOT_CONNECTED);
    if (again) {
        SendTransfer(transfer);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends every idle transfer down (PASSIVE_LEVEL, or DISPATCH_LEVEL).
VOID SendAll(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    UsbcamdTransfer* ready[USBCAMD_TRANSFERS_IN_FLIGHT];
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    if (engine->running && !engine->recovering) {
        for (ULONG i = 0; i < USBCAMD_TRANSFERS_IN_FLIGHT; ++i) {
            if (!engine->transfers[i].inFlight) {
                CountInFlight(engine, &engine->transfers[i]);
                ready[count++] = &engine->transfers[i];
            }
        }
    }
    KeReleaseSpinLock(&engine->lock, irql);
    for (ULONG i = 0; i < count; ++i) {
        SendTransfer(ready[i]);
    }
}

// Runs at PASSIVE_LEVEL after a transfer failed: the pipe is quieted and
// reset, then the transfers start again, unless the device has gone.
VOID NTAPI RecoverPipe(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UsbcamdStream* stream = static_cast<UsbcamdStream*>(Context);
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    UsbcamdAbortPipe(device, engine->pipeHandle);
    KeWaitForSingleObject(&engine->transfersIdle, Executive, KernelMode, FALSE, nullptr);
    ULONG portStatus = 0;
    NTSTATUS status = UsbcamdPortStatus(device, &portStatus);
    if (NT_SUCCESS(status) && (portStatus & USBD_PORT_CONNECTED) == 0) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    if (NT_SUCCESS(status)) {
        status = UsbcamdPipeRequest(device, URB_FUNCTION_RESET_PIPE, engine->pipeHandle);
    }
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    PHW_STREAM_REQUEST_BLOCK failed = nullptr;
    engine->recovering = FALSE;
    if (!NT_SUCCESS(status) && engine->running) {
        failed = EndRun(stream, status == STATUS_DEVICE_NOT_CONNECTED ? status : STATUS_DEVICE_DATA_ERROR);
    }
    KeReleaseSpinLock(&engine->lock, irql);
    CompleteList(failed, status == STATUS_DEVICE_NOT_CONNECTED ? status : STATUS_DEVICE_DATA_ERROR);
    if (NT_SUCCESS(status)) {
        SendAll(stream);
    }
    KeAcquireSpinLock(&engine->lock, &irql);
    engine->recoveryQueued = FALSE;
    KeSetEvent(&engine->recoveryIdle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&engine->lock, irql);
}

// ---------------------------------------------------- state transitions ---

// Leaving STOP: bandwidth, raw frame length, buffers.
NTSTATUS Prepare(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    ULONG rawFrameLength = 0;
    BOOLEAN present = FALSE;
    NTSTATUS status = AllocateBandwidth(stream, &rawFrameLength, &present);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    memset(&engine->stats, 0, sizeof(engine->stats));
    engine->haveTimeBase = FALSE;
    engine->havePictureBase = FALSE;
    engine->haveDelivered = FALSE;
    engine->sequence = 0;
    if (!present) {
        // A camera without a bandwidth routine streams nothing; the states
        // are kept all the same.
        engine->prepared = FALSE;
        return STATUS_SUCCESS;
    }
    UCHAR endpoint = 0;
    ULONG bytesPerPacket = 0;
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    if (rawFrameLength == 0 || rawFrameLength > USBCAMD_MAX_RAW_FRAME_LENGTH ||
        !FindDataPipe(device, &endpoint, &bytesPerPacket, &pipeHandle)) {
        FreeBandwidth(stream);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    engine->endpoint = endpoint;
    engine->pipeHandle = pipeHandle;
    engine->bytesPerPacket = bytesPerPacket;
    engine->rawFrameLength = rawFrameLength;
    const ULONG contextSize = device->driver != nullptr ? device->driver->frameContextSize : 0;
    engine->frameContextSize = contextSize <= USBCAMD_MAX_FRAME_CONTEXT ? contextSize : USBCAMD_MAX_FRAME_CONTEXT;
    status = AllocateBuffers(stream);
    if (!NT_SUCCESS(status)) {
        FreeBuffers(engine);
        FreeBandwidth(stream);
        return status;
    }
    engine->current = -1;
    engine->stats.RawFrameLength = rawFrameLength;
    engine->stats.BytesPerPacket = bytesPerPacket;
    engine->prepared = TRUE;
    return STATUS_SUCCESS;
}

VOID FreeWorkItems(UsbcamdEngine* engine)
{
    if (engine->workItem != nullptr) {
        IoFreeWorkItem(engine->workItem);
        engine->workItem = nullptr;
    }
    if (engine->recoveryItem != nullptr) {
        IoFreeWorkItem(engine->recoveryItem);
        engine->recoveryItem = nullptr;
    }
}

// Entering RUN: the camera starts, then the transfers.
NTSTATUS Start(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    if (!engine->prepared) {
        return STATUS_SUCCESS;
    }
    if (device->usbGone) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = StartCapture(stream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    engine->captureStarted = TRUE;
    engine->workItem = IoAllocateWorkItem(device->classDeviceObject);
    engine->recoveryItem = IoAllocateWorkItem(device->classDeviceObject);
    if (engine->workItem == nullptr || engine->recoveryItem == nullptr) {
        FreeWorkItems(engine);
        StopCapture(stream);
        engine->captureStarted = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    engine->runStart = (LONGLONG)KeQueryInterruptTime();
    if (!engine->haveTimeBase) {
        engine->timeBase = engine->runStart;
        engine->haveTimeBase = TRUE;
    } else {
        // Time spent paused does not count: the stream time goes on from
        // where the last run left it.
        engine->timeBase += engine->runStart - engine->haltTime;
    }
    engine->packetsFetched = 0;
    engine->submitted = 0;
    engine->taken = 0;
    engine->haveBusStart = FALSE;
    engine->synchronised = FALSE;
    engine->recovering = FALSE;
    engine->current = -1;
    engine->currentDrop = UsbcamdDropNone;
    engine->stats.TransferStatus = STATUS_SUCCESS;
    engine->running = TRUE;
    KeReleaseSpinLock(&engine->lock, irql);
    SendAll(stream);
    return STATUS_SUCCESS;
}

// Leaving RUN: the pipe is aborted and every transfer's completion waited
// for, work in flight finishes, the camera stops.
VOID Halt(UsbcamdStream* stream)
{
    UsbcamdDevice* device = stream->device;
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    engine->running = FALSE;
    engine->haltTime = (LONGLONG)KeQueryInterruptTime();
    const BOOLEAN busy = engine->inFlight != 0;
    KeReleaseSpinLock(&engine->lock, irql);
    // A recovery under way finishes first (it sends nothing once the run is over).
    KeWaitForSingleObject(&engine->recoveryIdle, Executive, KernelMode, FALSE, nullptr);
    if (busy) {
        // Even for a device that is gone: the stack still holds the requests.
        UsbcamdAbortPipe(device, engine->pipeHandle);
    }
    KeWaitForSingleObject(&engine->transfersIdle, Executive, KernelMode, FALSE, nullptr);
    // A frame handed over just before may still be converting.
    KeWaitForSingleObject(&engine->workIdle, Executive, KernelMode, FALSE, nullptr);
    FreeWorkItems(engine);
    KeAcquireSpinLock(&engine->lock, &irql);
    for (ULONG i = 0; i < USBCAMD_RAW_FRAMES; ++i) {
        ReleaseFrame(&engine->raw[i]);
    }
    engine->current = -1;
    KeReleaseSpinLock(&engine->lock, irql);
    if (engine->captureStarted) {
        engine->captureStarted = FALSE;
        StopCapture(stream);
    }
}

// Entering STOP: the bandwidth and the buffers go back.
VOID Release(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    if (engine->prepared) {
        engine->prepared = FALSE;
        FreeBandwidth(stream);
        FreeBuffers(engine);
    }
}

}  // namespace

VOID UsbcamdInitializeEngine(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    memset(engine, 0, sizeof(*engine));
    KeInitializeSpinLock(&engine->lock);
    KeInitializeEvent(&engine->workIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&engine->recoveryIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&engine->transfersIdle, NotificationEvent, TRUE);
    engine->current = -1;
}

NTSTATUS UsbcamdSetStreamState(UsbcamdStream* stream, KSSTATE target)
{
    const KSSTATE from = stream->state;
    if (target == from) {
        return STATUS_SUCCESS;
    }
    if (from == KSSTATE_RUN) {
        Halt(stream);
        stream->state = KSSTATE_PAUSE;
    }
    if (target == KSSTATE_STOP) {
        Release(stream);
        stream->state = KSSTATE_STOP;
        UsbcamdFlushReads(stream, STATUS_CANCELLED);
        return STATUS_SUCCESS;
    }
    if (from == KSSTATE_STOP) {
        const NTSTATUS status = Prepare(stream);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        stream->state = KSSTATE_PAUSE;
    }
    if (target == KSSTATE_RUN) {
        const NTSTATUS status = Start(stream);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    stream->state = target;
    return STATUS_SUCCESS;
}

VOID UsbcamdStopStream(UsbcamdStream* stream)
{
    UsbcamdSetStreamState(stream, KSSTATE_STOP);
}

NTSTATUS UsbcamdReadRefusal(UsbcamdStream* stream)
{
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    const NTSTATUS status = engine->stats.TransferStatus;
    KeReleaseSpinLock(&engine->lock, irql);
    return status;
}

ULONG UsbcamdFrameSize(const UsbcamdStream* stream)
{
    const KSDATAFORMAT* format = stream->format;
    if (format == nullptr) {
        return 0;
    }
    if (format->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) &&
        IsEqualGUIDBytes(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        const ULONG image =
            reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader.bmiHeader.biSizeImage;
        if (image != 0) {
            return image;
        }
    }
    return format->SampleSize;
}

VOID UsbcamdGetStatistics(UsbcamdStream* stream, PUSBCAMD_STREAM_STATISTICS statistics)
{
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    *statistics = engine->stats;
    statistics->FrameInterval = stream->device->frameInterval;
    KeReleaseSpinLock(&engine->lock, irql);
}

VOID UsbcamdQueueRead(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    Srb->NextSRB = nullptr;
    if (stream->readTail != nullptr) {
        stream->readTail->NextSRB = Srb;
    } else {
        stream->readHead = Srb;
    }
    stream->readTail = Srb;
    ++stream->readCount;
    KeReleaseSpinLock(&engine->lock, irql);
}

VOID UsbcamdFlushReads(UsbcamdStream* stream, NTSTATUS status)
{
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    PHW_STREAM_REQUEST_BLOCK list = DetachReads(stream);
    KeReleaseSpinLock(&engine->lock, irql);
    CompleteList(list, status);
}

BOOLEAN UsbcamdRemoveRead(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    UsbcamdEngine* engine = &stream->engine;
    KIRQL irql;
    KeAcquireSpinLock(&engine->lock, &irql);
    PHW_STREAM_REQUEST_BLOCK previous = nullptr;
    for (PHW_STREAM_REQUEST_BLOCK queued = stream->readHead; queued != nullptr; queued = queued->NextSRB) {
        if (queued == Srb) {
            if (previous != nullptr) {
                previous->NextSRB = Srb->NextSRB;
            } else {
                stream->readHead = Srb->NextSRB;
            }
            if (stream->readTail == Srb) {
                stream->readTail = previous;
            }
            Srb->NextSRB = nullptr;
            --stream->readCount;
            KeReleaseSpinLock(&engine->lock, irql);
            return TRUE;
        }
        previous = queued;
    }
    KeReleaseSpinLock(&engine->lock, irql);
    return FALSE;
}
