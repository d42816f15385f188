// The two-wire bus driven bit by bit through bridge pins.
//
// Data line: direction in register 0x003 bit 0, level in register 0x001 bit 0.
// Clock line: register 0x000 bit 7. Every line change and every sample is a
// register access, so the bus runs at the pace of the control transfers and
// needs no delays of its own. Acknowledges are sampled but not acted upon:
// callers learn nothing from the bus beyond the bytes read.
#include "hw/Hardware.h"

namespace {

// Sends the sub-address: low byte, high byte, then zeros.
VOID SendSubAddress(DeviceContext* Context, USHORT SubAddress, USHORT Length)
{
    for (ULONG i = 0; i < Length; ++i) {
        UCHAR byte = 0;
        if (i == 0) {
            byte = (UCHAR)(SubAddress & 0xFF);
        } else if (i == 1) {
            byte = (UCHAR)(SubAddress >> 8);
        }
        SoftBusWriteByte(Context, byte);
    }
}

// Release, start, address and sub-address: the common opening of every
// device-level operation.
VOID BeginTransaction(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength)
{
    // Register 0x000 is also the bridge's control register: its other bits
    // are read once here and carried by every clock write of the operation.
    // A failed read leaves them cleared, as they always were.
    const USHORT control = ReadRegister(Context, BRIDGE_REG_CONTROL);
    Context->softBusControlBits = control == REGISTER_READ_FAILED ? 0 : (USHORT)(control & 0x7F);
    SoftBusRelease(Context);
    SoftBusStart(Context);
    SoftBusWriteByte(Context, (UCHAR)(DeviceAddress & 0xFF));
    SendSubAddress(Context, SubAddress, SubAddressLength);
}

// Repeated start and the address in its read form.
VOID TurnToRead(DeviceContext* Context, USHORT DeviceAddress)
{
    SoftBusStart(Context);
    SoftBusWriteByte(Context, (UCHAR)((DeviceAddress | 1) & 0xFF));
}

}  // namespace

VOID SoftBusDriveLine(DeviceContext* Context, ULONG Line, ULONG Level)
{
    switch (Line) {
    case SOFT_BUS_LINE_DATA:
        WriteRegister(Context, BRIDGE_REG_PIN_DIRECTION, 0x01);
        WriteRegister(Context, BRIDGE_REG_PIN_DATA, (USHORT)(Level & 1));
        break;
    case SOFT_BUS_LINE_CLOCK:
        // The bridge's own control bits ride along with the clock level.
        WriteRegister(Context, BRIDGE_REG_CONTROL, (USHORT)(((Level & 1) << 7) | (Context->softBusControlBits & 0x7F)));
        break;
    default:
        break;
    }
}

ULONG SoftBusSampleLine(DeviceContext* Context, ULONG Line)
{
    // A failed read (0xFF00) samples as low on both lines.
    switch (Line) {
    case SOFT_BUS_LINE_DATA:
        WriteRegister(Context, BRIDGE_REG_PIN_DIRECTION, 0x00);
        return ReadRegister(Context, BRIDGE_REG_PIN_DATA) & 0x01;
    case SOFT_BUS_LINE_CLOCK:
        return (ReadRegister(Context, BRIDGE_REG_CONTROL) >> 7) & 0x01;
    default:
        return 0;
    }
}

VOID SoftBusWaitHigh(DeviceContext* Context, ULONG Line)
{
    // A device stretching the clock gets one more look, then the bus moves on.
    if (SoftBusSampleLine(Context, Line) == 1) {
        return;
    }
    SoftBusSampleLine(Context, Line);
}

VOID SoftBusRelease(DeviceContext* Context)
{
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
}

VOID SoftBusStart(DeviceContext* Context)
{
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
}

VOID SoftBusStop(DeviceContext* Context)
{
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
}

ULONG SoftBusReadAck(DeviceContext* Context)
{
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    ULONG ack = SoftBusSampleLine(Context, SOFT_BUS_LINE_DATA);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    return ack;
}

ULONG SoftBusWriteByte(DeviceContext* Context, UCHAR Byte)
{
    for (int bit = 7; bit >= 0; --bit) {
        ULONG level = (Byte >> bit) & 1;
        SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
        SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, level);
        if (level != 0) {
            SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
        }
        SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
        SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    }
    return SoftBusReadAck(Context);
}

VOID SoftBusReadByte(DeviceContext* Context, PUCHAR Out, ULONG AckLevel)
{
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
    UCHAR value = 0;
    for (int bit = 0; bit < 8; ++bit) {
        SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
        SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
        SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
        SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
        value = (UCHAR)((value << 1) | SoftBusSampleLine(Context, SOFT_BUS_LINE_DATA));
    }
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_DATA, AckLevel);
    if (AckLevel != 0) {
        SoftBusWaitHigh(Context, SOFT_BUS_LINE_DATA);
    }
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 1);
    SoftBusWaitHigh(Context, SOFT_BUS_LINE_CLOCK);
    SoftBusDriveLine(Context, SOFT_BUS_LINE_CLOCK, 0);
    if (Out != nullptr) {
        *Out = value;
    }
}

BOOLEAN SoftBusRead8(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                     PUCHAR Data, LONG Count)
{
    UNREFERENCED_PARAMETER(Count);
    if (Data == nullptr) {
        return FALSE;
    }
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    TurnToRead(Context, DeviceAddress);
    SoftBusReadByte(Context, &Data[0], 1);
    SoftBusStop(Context);
    return TRUE;
}

BOOLEAN SoftBusWrite8(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                      PUCHAR Data, LONG Count)
{
    UNREFERENCED_PARAMETER(Count);
    if (Data == nullptr) {
        return FALSE;
    }
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    SoftBusWriteByte(Context, Data[0]);
    SoftBusStop(Context);
    return TRUE;
}

BOOLEAN SoftBusRead16(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                      PUCHAR Data, LONG Count)
{
    UNREFERENCED_PARAMETER(Count);
    if (Data == nullptr) {
        return FALSE;
    }
    // The device sends its high byte first; stored little-endian.
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    TurnToRead(Context, DeviceAddress);
    SoftBusReadByte(Context, &Data[1], 0);
    SoftBusReadByte(Context, &Data[0], 1);
    SoftBusStop(Context);
    return TRUE;
}

BOOLEAN SoftBusWrite16(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                       PUCHAR Data, LONG Count)
{
    UNREFERENCED_PARAMETER(Count);
    if (Data == nullptr) {
        return FALSE;
    }
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    SoftBusWriteByte(Context, Data[1]);
    SoftBusWriteByte(Context, Data[0]);
    SoftBusStop(Context);
    return TRUE;
}

BOOLEAN SoftBusReadBlock(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress,
                         USHORT SubAddressLength, PUCHAR Data, LONG Count)
{
    if (Data == nullptr && Count > 0) {
        return FALSE;
    }
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    TurnToRead(Context, DeviceAddress);
    for (LONG i = 0; i < Count; ++i) {
        SoftBusReadByte(Context, &Data[i], i + 1 == Count ? 1 : 0);
    }
    SoftBusStop(Context);
    return TRUE;
}

BOOLEAN SoftBusWriteBlock(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress,
                          USHORT SubAddressLength, PUCHAR Data, LONG Count)
{
    if (Data == nullptr && Count > 0) {
        return FALSE;
    }
    BeginTransaction(Context, DeviceAddress, SubAddress, SubAddressLength);
    for (LONG i = 0; i < Count; ++i) {
        SoftBusWriteByte(Context, Data[i]);
    }
    SoftBusStop(Context);
    return TRUE;
}
