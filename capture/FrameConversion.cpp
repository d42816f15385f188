// Raw frames to output frames: the field ring, the geometry of each format,
// the pipeline conversion, the snapshot button and the frame hook.
#include <string.h>

#include "capture/Capture.h"
#include "driver/Driver.h"
#include "hw/Hardware.h"

BOOLEAN buttonArmed = TRUE;
BOOLEAN tablesPending = TRUE;

namespace {

#define FOURCC_YUY2 0x32595559u
#define FOURCC_I420 0x30323449u
#define FOURCC_RGB24 0u

#define FIELD_LINES_525 240
#define FIELD_LINES_625_STORED 284
#define FIELD_LINES_PADDED 288
#define SNAPSHOT_BUTTON_BIT 0x02
#define FAILED_BUTTON_READ_VALUE 0x02  // a failed read counts as "released"

// How one frame width is stored and handed to the pipeline.
struct Geometry {
    ULONG linesPerField;
    ULONG bytesPerLine;
    LONG sourceWidth;
    LONG sourceHeight;
    BOOLEAN padded;
    LONG outputWidth;
    LONG outputHeight;
    BOOLEAN small;  // low-bandwidth: the small converters take the first field
};

bool Is625Lines(LONG StandardIndex)
{
    return StandardIndex == STANDARD_INDEX_PAL || StandardIndex == STANDARD_INDEX_SECAM ||
           StandardIndex == STANDARD_INDEX_PAL_N;
}

bool LookUpGeometry(const DeviceContext* Context, Geometry* G)
{
    const LONG w = Context->frameWidth;
    const LONG h = Context->frameHeight;
    const bool lines625 = Is625Lines(Context->standardIndex);
    memset(G, 0, sizeof(*G));
    G->outputWidth = w;
    G->outputHeight = h;
    switch (w) {
    case 720:
        G->padded = h == 576 && lines625;
        G->linesPerField = G->padded ? FIELD_LINES_625_STORED : FIELD_LINES_525;
        G->bytesPerLine = 1440;
        G->sourceWidth = 720;
        G->sourceHeight = G->padded ? 576 : 480;
        return true;
    case 640:
    case 320:
        G->linesPerField = FIELD_LINES_525;
        G->bytesPerLine = 1280;
        G->sourceWidth = 640;
        G->sourceHeight = 480;
        if (w == 640) {
            G->outputWidth = 640;
            G->outputHeight = 480;
        }
        return true;
    case 352:
        G->padded = h == 288 && lines625;
        G->linesPerField = G->padded ? FIELD_LINES_625_STORED : FIELD_LINES_525;
        G->bytesPerLine = 1408;
        G->sourceWidth = 704;
        G->sourceHeight = G->padded ? 576 : 480;
        return true;
    case 176:
        G->linesPerField = (Context->standardIndex == STANDARD_INDEX_NTSC ||
                            Context->standardIndex == STANDARD_INDEX_PAL_M)
                               ? FIELD_LINES_525
                               : FIELD_LINES_625_STORED;
        G->bytesPerLine = 1408;
        G->sourceWidth = 704;
        G->padded = h == 144 && lines625;
        G->sourceHeight = G->padded ? 576 : (LONG)(2 * G->linesPerField);
        return true;
    case 160:
        if (Context->highBandwidth == 0) {
            G->linesPerField = SMALL_FIELD_LINES;
            G->bytesPerLine = SMALL_FIELD_LINE_BYTES;
            G->outputWidth = 160;
            G->outputHeight = 120;
            G->small = TRUE;
            return true;
        }
        G->linesPerField = FIELD_LINES_525;
        G->bytesPerLine = 1280;
        G->sourceWidth = 640;
        G->sourceHeight = 480;
        return true;
    default:
        return false;
    }
}

// Bytes an output frame of this format occupies; 0 for an unknown fourcc or
// a size no buffer could hold. Worked out in 64 bits so that no width and
// height wrap round to a small size.
ULONG OutputBytes(ULONG Fourcc, LONG Width, LONG Height)
{
    if (Width <= 0 || Height <= 0) {
        return 0;
    }
    const ULONGLONG pixels = (ULONGLONG)Width * (ULONGLONG)Height;
    ULONGLONG bytes = 0;
    switch (Fourcc) {
    case FOURCC_YUY2:
        bytes = pixels * 2;
        break;
    case FOURCC_I420:
        bytes = pixels * 12 / 8;
        break;
    case FOURCC_RGB24:
        bytes = pixels * 3;
        break;
    default:
        return 0;
    }
    return bytes > 0xFFFFFFFFull ? 0 : (ULONG)bytes;
}

PUCHAR StoreField(DeviceContext* Context, const UCHAR* Field, ULONG Bytes)
{
    PUCHAR slot = Context->fieldRing[Context->fieldCounter % FIELD_RING_SLOTS];
    memcpy(slot, Field, Bytes);
    Context->fieldCounter = (Context->fieldCounter + 1) & 0xFFFF;
    return slot;
}

PUCHAR SlotAt(const DeviceContext* Context, ULONG Offset)
{
    return Context->fieldRing[(Context->fieldCounter + Offset) % FIELD_RING_SLOTS];
}

VOID PollSnapshotButton(DeviceContext* Context)
{
    if (Context->snapshotPending) {
        return;
    }
    USHORT value = ReadRegister(Context, BRIDGE_REG_PIN_DATA);
    if (value == REGISTER_READ_FAILED) {
        value = FAILED_BUTTON_READ_VALUE;
    }
    if (value & SNAPSHOT_BUTTON_BIT) {
        buttonArmed = TRUE;
    } else if (buttonArmed) {
        Context->snapshotPending = 1;
        Context->snapshotReport = 1;
        buttonArmed = FALSE;
    }
}

}  // namespace

VOID PadField(PUCHAR Field, ULONG Width)
{
    const ULONG lineBytes = Width * 2;
    PUCHAR p = Field + FIELD_LINES_625_STORED * lineBytes;
    const ULONG bytes = (FIELD_LINES_PADDED - FIELD_LINES_625_STORED) * lineBytes;
    for (ULONG i = 0; i + 4 <= bytes; i += 4) {
        p[i] = 16;
        p[i + 1] = 128;
        p[i + 2] = 16;
        p[i + 3] = 128;
    }
}

VOID BlackenLeftEdge(ULONG Fourcc, PUCHAR FrameBuffer, ULONG Rows)
{
    switch (Fourcc) {
    case FOURCC_YUY2:
        for (ULONG r = 0; r < Rows; ++r) {
            PUCHAR row = FrameBuffer + r * 1440;
            row[0] = 16;
            row[1] = 128;
            row[2] = 16;
            row[3] = 128;
        }
        break;
    case FOURCC_RGB24:
        for (ULONG r = 0; r < Rows; ++r) {
            memset(FrameBuffer + r * 2160, 0, 6);
        }
        break;
    case FOURCC_I420: {
        for (ULONG r = 0; r < Rows; ++r) {
            FrameBuffer[r * 720] = 16;
            FrameBuffer[r * 720 + 1] = 16;
        }
        // Both chroma planes follow the luma plane; as many 360-byte chroma
        // rows as there are luma rows cover the two of them exactly.
        PUCHAR chroma = FrameBuffer + Rows * 720;
        for (ULONG r = 0; r < Rows; ++r) {
            chroma[r * 360] = 128;
        }
        break;
    }
    default:
        break;
    }
}

VOID ReportSnapshot(VOID)
{
    ULONG one = 1;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KV3300_KEY_PATH, u"SnapShot", REG_DWORD, &one, sizeof(one));
}

BOOLEAN ConvertRawFrame(DeviceContext* Context, const UCHAR* Source, ULONG SourceLength, ULONG DataLength,
                        PUCHAR FrameBuffer, ULONG FrameLength, ULONG Fourcc)
{
    Geometry g;
    if (!LookUpGeometry(Context, &g)) {
        return FALSE;
    }
    // Nothing is read or written past the buffers the library passed,
    // whatever the packets said.
    const ULONG fieldBytes = g.linesPerField * g.bytesPerLine;
    const ULONG outputBytes = OutputBytes(Fourcc, g.outputWidth, g.outputHeight);
    if (Source == nullptr || FrameBuffer == nullptr || SourceLength < 2 * fieldBytes || outputBytes == 0 ||
        FrameLength < outputBytes) {
        return FALSE;
    }
    // The pipeline only scales down and leaves the output untouched
    // otherwise; a format taller than the fields the standard delivers
    // (720 x 576 while the decoder runs 525 lines) must not come out as a
    // full frame of stale bytes.
    if (!g.small && (g.outputWidth > g.sourceWidth || g.outputHeight > g.sourceHeight)) {
        return FALSE;
    }
    for (ULONG i = 0; i < FIELD_RING_SLOTS; ++i) {
        if (Context->fieldRing[i] == nullptr) {
            return FALSE;
        }
    }

    // Field 2 follows field 1. A device that sends whole 288-line fields
    // where 284 lines are kept (the packets accept both frame sizes) has its
    // second field 4 lines further on; cutting at 284 lines would mix the
    // end of field 1 into field 2.
    ULONG secondOffset = fieldBytes;
    const ULONG wholeFieldBytes = FIELD_LINES_PADDED * g.bytesPerLine;
    if (g.linesPerField == FIELD_LINES_625_STORED && DataLength == 2 * wholeFieldBytes &&
        SourceLength >= 2 * wholeFieldBytes) {
        secondOffset = wholeFieldBytes;
    }
    PUCHAR first = StoreField(Context, Source, fieldBytes);
    PUCHAR second = StoreField(Context, Source + secondOffset, fieldBytes);

    if (g.small) {
        if (Fourcc == FOURCC_YUY2) {
            SmallYuy2Converter(Context, first, FrameBuffer);
        } else if (Fourcc == FOURCC_I420) {
            SmallI420Converter(Context, first, FrameBuffer);
        } else {
            SmallRgb24Converter(Context, first, FrameBuffer);
        }
        return TRUE;
    }

    if (g.padded) {
        PadField(first, (ULONG)g.sourceWidth);
        PadField(second, (ULONG)g.sourceWidth);
    }
    // The first frame of a run has no previous second field: its own second
    // field stands in (the frame comes out woven as it arrived) rather than
    // an earlier run's picture or a ring never written.
    const UCHAR* previous = Context->previousFieldValid ? SlotAt(Context, 1) : second;
    Context->previousFieldValid = TRUE;
    switch (Fourcc) {
    case FOURCC_YUY2:
        IntlYUYVToYUYVMMX(Context->pipelineHandle, previous, first, second, FrameBuffer, g.sourceWidth,
                          g.sourceHeight, g.outputWidth, g.outputHeight);
        break;
    case FOURCC_I420:
        IntlYUYVToI420MMX(Context->pipelineHandle, previous, first, second, FrameBuffer, g.sourceWidth,
                          g.sourceHeight, g.outputWidth, g.outputHeight);
        break;
    case FOURCC_RGB24:
        IntlYUYVToRGB24MMX(Context->pipelineHandle, previous, first, second, FrameBuffer, g.sourceWidth,
                           g.sourceHeight, g.outputWidth, g.outputHeight);
        break;
    default:
        return FALSE;
    }
    if (Context->frameWidth == 720) {
        BlackenLeftEdge(Fourcc, FrameBuffer, (ULONG)Context->frameHeight);
    }
    return TRUE;
}

NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument, PVOID FrameContext,
                                         PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                         ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned,
                                         ULONG ActualRawFrameLength, ULONG StreamNumber)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    UNREFERENCED_PARAMETER(FrameContext);
    UNREFERENCED_PARAMETER(NumberOfPackets);
    UNREFERENCED_PARAMETER(StreamNumber);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    if (context->frameTimingEnabled != 0) {
        KeQueryPerformanceCounter(nullptr);
    }
    *BytesReturned = 0;

    // The fields start after the raw frame's 6 header bytes.
    const UCHAR* source = nullptr;
    ULONG sourceLength = 0;
    if (RawFrameBuffer != nullptr && RawFrameLength > RAW_FRAME_HEADER_BYTES) {
        source = static_cast<const UCHAR*>(RawFrameBuffer) + RAW_FRAME_HEADER_BYTES;
        sourceLength = RawFrameLength - RAW_FRAME_HEADER_BYTES;
    }
    // Payload bytes the packets actually gathered (never more than the buffer).
    ULONG dataLength = ActualRawFrameLength > RAW_FRAME_HEADER_BYTES ? ActualRawFrameLength - RAW_FRAME_HEADER_BYTES : 0;
    if (dataLength > sourceLength) {
        dataLength = sourceLength;
    }
    auto* output = static_cast<PUCHAR>(FrameBuffer);
    const ULONG fourcc = context->outputFourcc;
    const ULONG formatBytes = OutputBytes(fourcc, context->frameWidth, context->frameHeight);
    ULONG length = 0;
    BOOLEAN converted = FALSE;
    // A frame that could not be converted (a raw frame or output buffer
    // smaller than its geometry) is reported as empty, never as a full frame
    // of stale bytes.
    switch (fourcc) {
    case FOURCC_I420:
        if (ActualRawFrameLength > RAW_FRAME_HEADER_BYTES) {
            converted = ConvertRawFrame(context, source, sourceLength, dataLength, output, FrameLength, fourcc);
            length = converted ? formatBytes : 0;
        } else {
            length = formatBytes <= FrameLength ? formatBytes : 0;
        }
        break;
    case FOURCC_YUY2:
        converted = ConvertRawFrame(context, source, sourceLength, dataLength, output, FrameLength, fourcc);
        length = converted ? formatBytes : 0;
        break;
    case FOURCC_RGB24:
        if (ActualRawFrameLength > RAW_FRAME_HEADER_BYTES) {
            if (tablesPending) {
                BuildColourTables();
                tablesPending = FALSE;
            }
            converted = ConvertRawFrame(context, source, sourceLength, dataLength, output, FrameLength, fourcc);
            length = converted ? formatBytes : 0;
        }
        break;
    default:
        break;
    }
    *BytesReturned = length;

    PollSnapshotButton(context);
    if (context->snapshotPending && context->snapshotReport) {
        ReportSnapshot();
        context->snapshotPending = 0;
        context->snapshotReport = 0;
        return STATUS_SUCCESS;
    }

    if (context->frameHook.Interface.Version != 0 && context->frameHook.FrameHookWantsFrame != nullptr &&
        context->frameHook.FrameHookWantsFrame() == 1 && context->frameHook.FrameHookDeliverFrame != nullptr) {
        context->frameHook.FrameHookDeliverFrame(FrameBuffer, 0);
    }
    return STATUS_SUCCESS;
}
