// Cutting raw frames out of the isochronous packet stream. Runs for every
// packet in the class library's transfer path, where blocking is not allowed:
// no calls, no locks.
#include "capture/Capture.h"

namespace {

#define CONTINUATION_MARK 0xFF
#define CONTINUATION_HEADER_BYTES 2
#define FIELD_HEADER_BYTES 6
#define FRAME_START_FLAG 0x4000  // bit 14 of the header's first little-endian word

// Raw frame totals, 6 header bytes included, that the current format and
// line system make: 480-line frames unless the format takes the 625-line
// fields, which come as 284 lines (568) or whole 288-line fields (576). A
// frame of the other line system is dropped here rather than converted into
// a picture cut or stretched to the wrong height.
bool FrameSizeAccepted(const DeviceContext* Context, ULONG Total)
{
    const bool lines625 = Context->standardIndex == STANDARD_INDEX_PAL ||
                          Context->standardIndex == STANDARD_INDEX_SECAM ||
                          Context->standardIndex == STANDARD_INDEX_PAL_N;
    switch (Context->frameWidth) {
    case 720:
        if (lines625 && Context->frameHeight == 576) {
            return Total == 829446 || Total == 817926;  // 576 and 568 lines
        }
        return Total == 691206;  // 480 lines
    case 352:
    case 176:
        if (lines625 && (Context->frameWidth == 176 || Context->frameHeight == 288)) {
            return Total == 811014 || Total == 799750;  // 704 wide: 576 and 568 lines
        }
        return Total == 675846;  // 704 x 480
    default:
        return Total == Context->frameDataSize + FIELD_HEADER_BYTES;
    }
}

}  // namespace

ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID ContextArgument, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset)
{
    UNREFERENCED_PARAMETER(BusDeviceObject);
    UNREFERENCED_PARAMETER(CurrentFrameContext);
    UNREFERENCED_PARAMETER(SyncPacket);
    UNREFERENCED_PARAMETER(SyncBuffer);
    auto* context = static_cast<DeviceContext*>(ContextArgument);
    *PacketFlag = 0;
    *ValidDataOffset = 0;

    if (DataPacket->Status < 0) {
        *PacketFlag = USBCAMD_PROCESSPACKETEX_DropFrame;
        return 0;
    }
    const ULONG length = DataPacket->Length;
    if (length == 0) {
        return 0;
    }
    if (length & 1) {
        *PacketFlag = USBCAMD_PROCESSPACKETEX_DropFrame;
        return 0;
    }

    const auto* bytes = static_cast<const UCHAR*>(DataBuffer);
    if (bytes == nullptr || (bytes[0] == CONTINUATION_MARK && bytes[1] == CONTINUATION_MARK)) {
        *ValidDataOffset = CONTINUATION_HEADER_BYTES;
        context->frameByteCount += length - CONTINUATION_HEADER_BYTES;
        return length - CONTINUATION_HEADER_BYTES;
    }

    const USHORT firstWord = (USHORT)(bytes[0] | (bytes[1] << 8));
    if ((firstWord & FRAME_START_FLAG) != 0 || (context->fieldHeaderCount & 1) != 0) {
        // A new frame: the one just completed is checked for its size, and
        // the whole packet, header included, opens the next raw frame.
        context->fieldHeaderCount = 0;
        *FrameComplete = TRUE;
        *ValidDataOffset = 0;
        if (!FrameSizeAccepted(context, context->frameByteCount)) {
            *PacketFlag = USBCAMD_PROCESSPACKETEX_DropFrame;
        }
        context->frameByteCount = length;
        return length;
    }

    // The second field's header: skipped, its data follows the first field.
    // A header packet too short to hold its 6 bytes carries no data; the
    // frame it belongs to then falls short of its size and is dropped.
    context->fieldHeaderCount += 1;
    *ValidDataOffset = length < FIELD_HEADER_BYTES ? length : FIELD_HEADER_BYTES;
    if (length < FIELD_HEADER_BYTES) {
        return 0;
    }
    context->frameByteCount += length - FIELD_HEADER_BYTES;
    return length - FIELD_HEADER_BYTES;
}

ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                                PBOOLEAN NextFrameIsStill)
{
    *NextFrameIsStill = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    return CamProcessUSBPacketEx(BusDeviceObject, Context, CurrentFrameContext, SyncPacket, SyncBuffer, DataPacket,
                                 DataBuffer, FrameComplete, &packetFlag, &validDataOffset);
}
