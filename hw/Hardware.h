// Hardware access: bridge registers through vendor requests, the bridge's I2C
// master, the bit-driven two-wire bus, decoder detection and initialisation
// with their register tables, and video standard and input switching.
//
// Every operation takes the device record first and runs synchronously at
// PASSIVE_LEVEL: each bridge register access is one control transfer. Nothing
// here takes a lock; I2C transactions of one device must not interleave, which
// the class library's one-at-a-time delivery guarantees.
#pragma once

#include "driver/DeviceContext.h"
#include "platform/ntdef.h"

// The first failure of steps that all run even after one fails; success
// when none failed.
inline NTSTATUS FirstFailure(NTSTATUS Earlier, NTSTATUS Later)
{
    return NT_SUCCESS(Earlier) ? Later : Earlier;
}

// ------------------------------------------------------- bridge registers ---

// Bridge register numbers the driver touches.
#define BRIDGE_REG_CONTROL 0x000        // bit 7: bit-bus clock line
#define BRIDGE_REG_PIN_DATA 0x001       // bit 0: bit-bus data line, bit 1: snapshot button
#define BRIDGE_REG_002 0x002
#define BRIDGE_REG_PIN_DIRECTION 0x003  // bit 0: 1 drives the data line
#define BRIDGE_REG_018 0x018
#define BRIDGE_REG_100 0x100
#define BRIDGE_REG_SCALER_0 0x104
#define BRIDGE_REG_SCALER_1 0x105
#define BRIDGE_REG_SCALER_2 0x106
#define BRIDGE_REG_WINDOW_FIRST 0x110   // 0x110..0x117: capture window, low byte first
#define BRIDGE_REG_I2C_COMMAND 0x200
#define BRIDGE_REG_I2C_STATUS 0x201     // non-zero once a transaction finished
#define BRIDGE_REG_I2C_ADDRESS 0x203
#define BRIDGE_REG_I2C_WRITE_SUBADDRESS 0x204
#define BRIDGE_REG_I2C_WRITE_DATA 0x205
#define BRIDGE_REG_I2C_READ_SUBADDRESS 0x208
#define BRIDGE_REG_I2C_READ_DATA 0x209

// I2C master commands (register 0x200).
#define I2C_COMMAND_WRITE 0x05
#define I2C_COMMAND_READ 0x20

// Vendor request codes.
#define BRIDGE_REQUEST_READ 0x00
#define BRIDGE_REQUEST_WRITE 0x01

// A register read that failed; no byte read ever has its upper byte set.
#define REGISTER_READ_FAILED ((USHORT)0xFF00)

// One status read, then at most this many more, per I2C transaction.
#define I2C_WAIT_EXTRA_READS 500

// Decoder bus addresses (write form).
#define DECODER_ADDRESS_88 0x88
#define DECODER_ADDRESS_4A 0x4A
#define DECODER_ADDRESS_5150 0xBA

NTSTATUS WriteRegister(DeviceContext* Context, USHORT Register, USHORT Value);
// The byte read, or REGISTER_READ_FAILED when the transfer failed.
USHORT ReadRegister(DeviceContext* Context, USHORT Register);
NTSTATUS SelectI2cDevice(DeviceContext* Context, USHORT Address);
NTSTATUS I2cWaitDone(DeviceContext* Context);
NTSTATUS I2cWrite(DeviceContext* Context, USHORT DeviceRegister, USHORT Value);
USHORT I2cRead(DeviceContext* Context, USHORT DeviceRegister);
VOID I2cWriteTo(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT Value);
// The first failing status of the address select and the write, else the
// status of the wait.
NTSTATUS I2cWriteAt(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT Value);
USHORT I2cReadFrom(DeviceContext* Context, USHORT Address, USHORT DeviceRegister);
USHORT I2cReadAt(DeviceContext* Context, USHORT Address, USHORT DeviceRegister);
NTSTATUS I2cWriteChecked(DeviceContext* Context, USHORT DeviceRegister, USHORT Value);
VOID I2cLoadPair(DeviceContext* Context, USHORT DeviceRegister, USHORT Value);
NTSTATUS UpdateRegister100(DeviceContext* Context, USHORT Value);
// Read-modify-write of one bridge register: (value AND KeepMask) OR SetBits.
// When the read fails nothing is written and STATUS_UNSUCCESSFUL comes back.
// The same for a register of an I2C device, through I2cReadAt and I2cWriteAt.
NTSTATUS ModifyDecoderRegister(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT KeepMask,
                           USHORT SetBits);
NTSTATUS ModifyRegister(DeviceContext* Context, USHORT Register, USHORT KeepMask, USHORT SetBits);
VOID SetRegister0PowerDown(DeviceContext* Context, LONG DecoderType);
NTSTATUS DelayMs(DeviceContext* Context, ULONG Milliseconds);

// ------------------------------------------------------- bit-driven bus ---

#define SOFT_BUS_LINE_DATA 0
#define SOFT_BUS_LINE_CLOCK 1

VOID SoftBusDriveLine(DeviceContext* Context, ULONG Line, ULONG Level);
ULONG SoftBusSampleLine(DeviceContext* Context, ULONG Line);
VOID SoftBusWaitHigh(DeviceContext* Context, ULONG Line);
VOID SoftBusRelease(DeviceContext* Context);
VOID SoftBusStart(DeviceContext* Context);
VOID SoftBusStop(DeviceContext* Context);
// 0 when the device acknowledged.
ULONG SoftBusReadAck(DeviceContext* Context);
ULONG SoftBusWriteByte(DeviceContext* Context, UCHAR Byte);
// AckLevel 0 asks for another byte, 1 ends the read.
VOID SoftBusReadByte(DeviceContext* Context, PUCHAR Out, ULONG AckLevel);

// Device-level operations. DeviceAddress is the write form (bit 0 clear);
// SubAddressLength bytes of sub-address go out low byte, high byte, then
// zeros. Data holds the bytes moved: one, two (the 16-bit value, little-
// endian; the device sees the high byte first) or Count, which only the block
// forms use (0 or less moves none). Acknowledges are not acted upon, so the
// result is TRUE; FALSE only when Data is null while bytes must be moved, and
// then the bus is left untouched.
BOOLEAN SoftBusRead8(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                     PUCHAR Data, LONG Count);
BOOLEAN SoftBusWrite8(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                      PUCHAR Data, LONG Count);
BOOLEAN SoftBusRead16(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                      PUCHAR Data, LONG Count);
BOOLEAN SoftBusWrite16(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress, USHORT SubAddressLength,
                       PUCHAR Data, LONG Count);
BOOLEAN SoftBusReadBlock(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress,
                         USHORT SubAddressLength, PUCHAR Data, LONG Count);
BOOLEAN SoftBusWriteBlock(DeviceContext* Context, USHORT DeviceAddress, USHORT SubAddress,
                          USHORT SubAddressLength, PUCHAR Data, LONG Count);

// ------------------------------------------------------- register tables ---

typedef struct _RegisterPair {
    USHORT reg;
    USHORT value;
} RegisterPair;

// An ordered list of pairs, written in order.
typedef struct _RegisterTable {
    const RegisterPair* pairs;
    ULONG count;
} RegisterTable;

// The five start-up tables of the bridge. They share the register column and
// differ only in register 0x000 and the capture window.
typedef enum _BridgeStartupTableId {
    BridgeTable88 = 0,          // decoder type 110
    BridgeTable4A = 1,          // decoder type 111, NTSC
    BridgeTable4AAlternate = 2, // decoder type 111, other standards
    BridgeTable5150 = 3,        // 525-line standards, and device start of type 113
    BridgeTable5150Line625 = 4, // 625-line standards
    BridgeStartupTableCount = 5
} BridgeStartupTableId;

#define BRIDGE_STARTUP_PAIRS 22

typedef struct _BridgeStartupRow {
    USHORT reg;
    USHORT value[BridgeStartupTableCount];  // by BridgeStartupTableId
} BridgeStartupRow;

extern const BridgeStartupRow BridgeStartupTable[BRIDGE_STARTUP_PAIRS];

// Writes all 22 pairs of one start-up table with WriteRegister. With
// StopAtFailure the walk ends at the first write that does not return
// STATUS_SUCCESS. Returns the status of the last write made.
NTSTATUS WriteBridgeStartupTable(DeviceContext* Context, BridgeStartupTableId Table, BOOLEAN StopAtFailure);

// Decoder tables written over I2C.
#define DECODER_PATCH_IMAGE_BYTES 1716
#define DECODER_PATCH_TABLE_PAIRS (4 + DECODER_PATCH_IMAGE_BYTES + 1 + 6)
#define DECODER_PATCH_IMAGE_REGISTER 0x7E
#define DECODER_PATCH_END_REGISTER 0x7F

// The patch image is of our own making: a documented pattern, not firmware.
// Within every 256-byte block it runs through all byte values with a stride
// of 0x4F, and each block starts 0x1D further on than the one before, so a
// lost, repeated or reordered byte shows at once.
constexpr UCHAR DecoderPatchImageByte(ULONG Index)
{
    return (UCHAR)((Index * 0x4Fu + (Index >> 8) * 0x1Du + 0xA5u) & 0xFFu);
}

extern const RegisterTable DecoderTable88;     // type 110, every standard
extern const RegisterTable DecoderShortTable;  // 5150 without a patch
extern const RegisterTable DecoderPatchTable;  // 5150 patch: preamble, image, end, postamble

// The 5150 standard table for a standard index (2 for every unlisted index).
const RegisterTable* Decoder5150StandardTable(LONG StandardIndex);
// The 5150 input registers for input 0..2; null for any other input.
const RegisterTable* Decoder5150InputTable(LONG Input);

// Writes every pair with I2cWriteAt(Address, ...), also after a failure, and
// returns the first failing status.
NTSTATUS WriteDecoderTableAt(DeviceContext* Context, USHORT Address, const RegisterTable* Table);
// Writes every pair with I2cWrite to the device selected last, the same way.
NTSTATUS WriteDecoderTable(DeviceContext* Context, const RegisterTable* Table);

// ------------------------------------------------------- capture window ---

typedef struct _CaptureWindow {
    USHORT horizontalStart;
    USHORT verticalStart;
    USHORT horizontalEnd;
    USHORT verticalEnd;
} CaptureWindow;

// Registers 0x110..0x117 in order, low byte then high byte of each value;
// the first failing status.
NTSTATUS WriteCaptureWindow(DeviceContext* Context, const CaptureWindow* Window);

// ------------------------------------------------- detection and start-up ---

BOOLEAN ProbeDecoder88(DeviceContext* Context);
BOOLEAN ProbeDecoder4A(DeviceContext* Context);
VOID InitBridgeFor88(DeviceContext* Context);
VOID InitDecoder88(DeviceContext* Context);
VOID InitBridgeFor4A(DeviceContext* Context);
VOID InitDecoder4A(DeviceContext* Context);
// These three return the first failing status of their register writes.
NTSTATUS InitBridgeFor5150(DeviceContext* Context);
NTSTATUS Init5150Standard(DeviceContext* Context);
VOID Init5150(DeviceContext* Context);
NTSTATUS ApplyDecoderStandard(DeviceContext* Context);
VOID ReinitDecoder(DeviceContext* Context);

// ------------------------------------------------ standard and input switch ---

// Frame intervals handed to the class library by line system.
#define FRAME_INTERVAL_525_LINES 320
#define FRAME_INTERVAL_625_LINES 390

// Standard indices 1 and 4 are the 525-line standards.
BOOLEAN StandardIs525Lines(LONG StandardIndex);

// Both return the first failing status of their register writes (a failed
// read of a read-modify-write counts as one): a capture start must not run
// on a decoder left on the wrong standard or input. Property requests do not
// look at it.
NTSTATUS SetVideoStandard(DeviceContext* Context, LONG StandardIndex);
NTSTATUS SelectVideoInput(DeviceContext* Context, LONG Input);
