// Decoder detection, bridge start-up and decoder initialisation.
#include "hw/Hardware.h"

namespace {

// Bridge registers 0x110..0x117 for the start-up of the 5150 path, by line
// system and format; formats without a row get kStartupWindowOther.
struct StartupWindowRow {
    BOOLEAN lines525;
    LONG width;
    LONG height;
    CaptureWindow window;  // horizontal start, vertical start, horizontal end, vertical end
};

const StartupWindowRow kStartupWindows[] = {
    //  525?   width height   window
    {TRUE, 720, 480, {0, 13, 1440, 253}},
    {TRUE, 352, 240, {8, 13, 1416, 253}},
    {FALSE, 720, 576, {0, 1, 1440, 285}},
    {FALSE, 352, 288, {8, 1, 1416, 285}},
    {FALSE, 176, 144, {8, 1, 1416, 285}},
};
static_assert(ARRAYSIZE(kStartupWindows) == 5, "five start-up windows of their own");

// Every other format, under both line systems (640 x 480 included).
const CaptureWindow kStartupWindowOther = {72, 13, 1352, 253};

// The probes drive the I2C master themselves with a poll budget of their own,
// where any non-zero read, the failure value included, ends the wait.
BOOLEAN ProbeDecoder(DeviceContext* Context, USHORT Address, USHORT TestRegister, USHORT TestValue,
                     ULONG ExtraStatusReads)
{
    Context->decoderI2cAddress = Address;
    SelectI2cDevice(Context, Address);
    DelayMs(Context, 3);
    WriteRegister(Context, BRIDGE_REG_I2C_WRITE_SUBADDRESS, TestRegister);
    WriteRegister(Context, BRIDGE_REG_I2C_WRITE_DATA, TestValue);
    WriteRegister(Context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_WRITE);
    USHORT status = ReadRegister(Context, BRIDGE_REG_I2C_STATUS);
    for (ULONG i = 0; status == 0 && i < ExtraStatusReads; ++i) {
        status = ReadRegister(Context, BRIDGE_REG_I2C_STATUS);
    }
    if (status == 0) {
        return FALSE;
    }
    // The whole 16-bit result is compared, so a failed read never matches.
    return I2cReadAt(Context, Context->decoderI2cAddress, TestRegister) == TestValue;
}

// Pairs 1 to 21 of a start-up table, stopping at the first failed write, then
// pair 22 as a merge that keeps bits 6-7 of register 0x100. The merge always
// takes the table's own value, also after a failed write. Returns the first
// failing status.
NTSTATUS InitBridge(DeviceContext* Context, BridgeStartupTableId Table)
{
    NTSTATUS first = STATUS_SUCCESS;
    for (ULONG i = 0; i + 1 < BRIDGE_STARTUP_PAIRS; ++i) {
        const BridgeStartupRow* row = &BridgeStartupTable[i];
        first = WriteRegister(Context, row->reg, row->value[Table]);
        if (first != STATUS_SUCCESS) {
            break;
        }
    }
    const NTSTATUS merged = UpdateRegister100(Context, BridgeStartupTable[BRIDGE_STARTUP_PAIRS - 1].value[Table]);
    return FirstFailure(first, merged);
}

}  // namespace

NTSTATUS WriteCaptureWindow(DeviceContext* Context, const CaptureWindow* Window)
{
    const USHORT values[4] = {Window->horizontalStart, Window->verticalStart, Window->horizontalEnd,
                              Window->verticalEnd};
    USHORT reg = BRIDGE_REG_WINDOW_FIRST;
    NTSTATUS first = STATUS_SUCCESS;
    for (ULONG i = 0; i < 4; ++i) {
        const NTSTATUS low = WriteRegister(Context, reg++, (USHORT)(values[i] & 0xFF));
        const NTSTATUS high = WriteRegister(Context, reg++, (USHORT)(values[i] >> 8));
        first = FirstFailure(first, FirstFailure(low, high));
    }
    return first;
}

BOOLEAN ProbeDecoder88(DeviceContext* Context)
{
    return ProbeDecoder(Context, DECODER_ADDRESS_88, 0x0C, 0x8C, 256);
}

BOOLEAN ProbeDecoder4A(DeviceContext* Context)
{
    return ProbeDecoder(Context, DECODER_ADDRESS_4A, 0x0E, 0x01, 64);
}

VOID InitBridgeFor88(DeviceContext* Context)
{
    Context->decoderI2cAddress = DECODER_ADDRESS_88;
    SelectI2cDevice(Context, DECODER_ADDRESS_88);
    InitBridge(Context, BridgeTable88);
}

VOID InitBridgeFor4A(DeviceContext* Context)
{
    Context->decoderI2cAddress = DECODER_ADDRESS_4A;
    SelectI2cDevice(Context, DECODER_ADDRESS_4A);
    InitBridge(Context, Context->standardIndex == STANDARD_INDEX_NTSC ? BridgeTable4A : BridgeTable4AAlternate);
}

NTSTATUS InitBridgeFor5150(DeviceContext* Context)
{
    DbgPrint("InitKV33005150H");
    const BOOLEAN lines525 = StandardIs525Lines(Context->standardIndex);
    const NTSTATUS bridge = InitBridge(Context, lines525 ? BridgeTable5150 : BridgeTable5150Line625);

    const CaptureWindow* window = &kStartupWindowOther;
    for (ULONG i = 0; i < ARRAYSIZE(kStartupWindows); ++i) {
        const StartupWindowRow* row = &kStartupWindows[i];
        if (row->lines525 == lines525 && row->width == Context->frameWidth && row->height == Context->frameHeight) {
            window = &row->window;
            break;
        }
    }
    const NTSTATUS windowed = WriteCaptureWindow(Context, window);
    return FirstFailure(bridge, windowed);
}

NTSTATUS Init5150Standard(DeviceContext* Context)
{
    // decoderI2cAddress stays as detected: on other decoder types the 5150
    // table still goes to 0xBA.
    const NTSTATUS selected = SelectI2cDevice(Context, DECODER_ADDRESS_5150);
    DbgPrint("InitTI5150HI2C1");
    const NTSTATUS written = WriteDecoderTable(Context, Decoder5150StandardTable(Context->standardIndex));
    return FirstFailure(selected, written);
}

VOID Init5150(DeviceContext* Context)
{
    SelectI2cDevice(Context, DECODER_ADDRESS_5150);
    DbgPrint("InitTI5150HI2C");
    // The decoder asks for its patch through register 0x82.
    if (I2cReadAt(Context, Context->decoderI2cAddress, 0x82) == 3) {
        WriteDecoderTable(Context, &DecoderPatchTable);
    }
    const RegisterTable* input = Decoder5150InputTable(Context->inputChannel);
    if (input != nullptr) {
        WriteDecoderTable(Context, input);
    }
    WriteDecoderTable(Context, Decoder5150StandardTable(Context->standardIndex));
}

NTSTATUS ApplyDecoderStandard(DeviceContext* Context)
{
    // Every decoder type gets the type-113 bridge table; the caller writes the
    // window of the actual decoder afterwards.
    const NTSTATUS bridge = InitBridgeFor5150(Context);
    DelayMs(Context, 30);
    const NTSTATUS decoder = Init5150Standard(Context);
    return FirstFailure(bridge, decoder);
}

VOID ReinitDecoder(DeviceContext* Context)
{
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        InitBridgeFor88(Context);
        InitDecoder88(Context);
        break;
    case DECODER_TYPE_4A:
        InitBridgeFor4A(Context);
        InitDecoder4A(Context);
        break;
    case DECODER_TYPE_5150:
        InitBridgeFor5150(Context);
        DelayMs(Context, 30);
        Init5150(Context);
        break;
    default:
        break;
    }
}
