// Video standard and input switching while the device runs.
#include "hw/Hardware.h"

#include "platform/usbcamdi.h"

namespace {

// 525-line capture windows, chosen by frame width alone.
struct Window525Row {
    BOOLEAN type110;  // TRUE: decoder type 110; FALSE: types 111 and 113
    LONG width;
    CaptureWindow window;  // horizontal start, vertical start, horizontal end, vertical end
};

const Window525Row kWindows525[] = {
    //  110?  width   window
    {TRUE, 720, {0, 1, 1440, 241}},
    {TRUE, 352, {0, 1, 1408, 241}},
    {TRUE, 176, {0, 1, 1408, 241}},
    // The other widths take the span of this decoder's start-up window: its
    // field starts at line 1, so the 5150 window (lines 13 to 253) would run
    // past the end of its field and cut every frame short.
    {TRUE, 640, {92, 1, 1372, 241}},
    {TRUE, 320, {92, 1, 1372, 241}},
    {TRUE, 160, {92, 1, 1372, 241}},
    {FALSE, 720, {0, 13, 1440, 253}},
    {FALSE, 352, {8, 13, 1416, 253}},
    {FALSE, 176, {8, 13, 1416, 253}},
};
static_assert(ARRAYSIZE(kWindows525) == 9, "525-line windows");

// 625-line capture windows, chosen by width and height, the same for every
// decoder type.
struct Window625Row {
    LONG width;
    LONG height;
    CaptureWindow window;
};

const Window625Row kWindows625[] = {
    // width height  window
    {720, 576, {0, 1, 1440, 285}},
    {352, 288, {8, 1, 1416, 285}},
    {176, 144, {8, 1, 1416, 285}},
};
static_assert(ARRAYSIZE(kWindows625) == 3, "625-line windows");

// Before any decoder was detected, a 625-line switch only sets this window,
// for these widths.
const CaptureWindow kWindow625Undetected = {72, 25, 1352, 265};
const LONG kWidths625Undetected[] = {640, 320, 160};

// Formats without a row keep the window that ApplyDecoderStandard wrote.
NTSTATUS WriteWindow525(DeviceContext* Context, BOOLEAN Type110)
{
    for (ULONG i = 0; i < ARRAYSIZE(kWindows525); ++i) {
        const Window525Row* row = &kWindows525[i];
        if (row->type110 == Type110 && row->width == Context->frameWidth) {
            return WriteCaptureWindow(Context, &row->window);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS WriteWindow625(DeviceContext* Context)
{
    for (ULONG i = 0; i < ARRAYSIZE(kWindows625); ++i) {
        const Window625Row* row = &kWindows625[i];
        if (row->width == Context->frameWidth && row->height == Context->frameHeight) {
            return WriteCaptureWindow(Context, &row->window);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SwitchTo525Lines(DeviceContext* Context)
{
    if (Context->detectedDecoderType == DECODER_TYPE_NONE) {
        return STATUS_SUCCESS;
    }
    Context->decoderType = Context->detectedDecoderType;
    NTSTATUS status = ApplyDecoderStandard(Context);
    status = FirstFailure(status, SelectVideoInput(Context, Context->inputChannel));
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        // The library paces delivery by the interval: left at a 625-line
        // value it would let only every other 525-line frame through.
        USBCAMD_SetFrameInterval(Context, FRAME_INTERVAL_525_LINES);
        status = FirstFailure(status, WriteWindow525(Context, TRUE));
        break;
    case DECODER_TYPE_4A:
    case DECODER_TYPE_5150:
        USBCAMD_SetFrameInterval(Context, FRAME_INTERVAL_525_LINES);
        status = FirstFailure(status, WriteWindow525(Context, FALSE));
        break;
    default:
        break;
    }
    return status;
}

NTSTATUS SwitchTo625Lines(DeviceContext* Context)
{
    if (Context->detectedDecoderType == DECODER_TYPE_NONE) {
        for (ULONG i = 0; i < ARRAYSIZE(kWidths625Undetected); ++i) {
            if (Context->frameWidth == kWidths625Undetected[i]) {
                return WriteCaptureWindow(Context, &kWindow625Undetected);
            }
        }
        return STATUS_SUCCESS;
    }
    USBCAMD_SetFrameInterval(Context, FRAME_INTERVAL_625_LINES);
    Context->decoderType = Context->detectedDecoderType;
    NTSTATUS status = ApplyDecoderStandard(Context);
    status = FirstFailure(status, SelectVideoInput(Context, Context->inputChannel));
    return FirstFailure(status, WriteWindow625(Context));
}

}  // namespace

BOOLEAN StandardIs525Lines(LONG StandardIndex)
{
    return StandardIndex == STANDARD_INDEX_NTSC || StandardIndex == STANDARD_INDEX_PAL_M;
}

NTSTATUS SetVideoStandard(DeviceContext* Context, LONG StandardIndex)
{
    switch (StandardIndex) {
    case STANDARD_INDEX_NTSC:
    case STANDARD_INDEX_PAL_M:
        return SwitchTo525Lines(Context);
    case STANDARD_INDEX_PAL:
    case STANDARD_INDEX_SECAM:
    case STANDARD_INDEX_PAL_N:
        return SwitchTo625Lines(Context);
    default:
        // Not a standard this driver knows: the hardware is left alone.
        return STATUS_SUCCESS;
    }
}

NTSTATUS ModifyDecoderRegister(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT KeepMask,
                               USHORT SetBits)
{
    // A failed read is no register value to keep bits of: nothing is written.
    const USHORT current = I2cReadAt(Context, Address, DeviceRegister);
    if (current == REGISTER_READ_FAILED) {
        return STATUS_UNSUCCESSFUL;
    }
    return I2cWriteAt(Context, Address, DeviceRegister, (USHORT)((current & KeepMask) | SetBits));
}

NTSTATUS SelectVideoInput(DeviceContext* Context, LONG Input)
{
    const USHORT address = Context->decoderI2cAddress;
    NTSTATUS status = STATUS_SUCCESS;
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        if (Input == 0) {
            status = I2cWriteAt(Context, address, 0x02, 0x40);
            status = FirstFailure(status, I2cWriteAt(Context, address, 0x06, 0x43));
        } else if (Input == 1) {
            status = ModifyDecoderRegister(Context, address, 0x02, 0x40, 0x14);
            status = FirstFailure(status, ModifyDecoderRegister(Context, address, 0x06, 0xF8, 0x01));
        }
        break;
    case DECODER_TYPE_4A:
        if (Input == 0) {
            // Bit 7 of register 0x02 is forced on for PAL and otherwise kept.
            status = ModifyDecoderRegister(Context, address, 0x02, 0xF0,
                                           Context->standardIndex == STANDARD_INDEX_PAL ? 0x80 : 0x00);
            status = FirstFailure(status, ModifyDecoderRegister(Context, address, 0x09, 0x7F, 0x00));
        } else if (Input == 1) {
            status = I2cWriteAt(Context, address, 0x02, 0x89);
            status = FirstFailure(status, ModifyDecoderRegister(Context, address, 0x09, 0xFF, 0x80));
        }
        break;
    case DECODER_TYPE_5150: {
        const RegisterTable* table = Decoder5150InputTable(Input);
        if (table != nullptr) {
            status = WriteDecoderTableAt(Context, address, table);
        }
        break;
    }
    default:
        break;
    }
    return status;
}
