// The vendor property set: stored settings without a standard property, the
// USB descriptors, raw bridge registers, devices on the bridge's I2C bus at
// the current, a chosen or a fixed address, the tuner frequency and the
// bit-driven bus.
//
// Requests come straight from applications. Every field a handler takes is
// read inside the buffer the request brought, every answer is written inside
// the data buffer, and the software-I2C request, which lives in the
// application's own memory, is reached only through the caller-memory
// accessors.
#include "props/Properties.h"

#include "driver/Driver.h"
#include "platform/wdm.h"
#include "hw/Hardware.h"
#include "platform/usbcamdi.h"
#include "props/PropertyRequest.h"
#include "settings/Settings.h"

// ---------------------------------------------------------------- table ---

#define VENDOR_ITEM(id, minProperty, minData, get, set)                                                    \
    {.PropertyId = id, .GetSupported = get, .MinProperty = minProperty, .MinData = minData,                 \
     .SetSupported = set, .Values = nullptr, .RelationsCount = 0, .Relations = nullptr, .SupportHandler = nullptr, \
     .SerializedSize = sizeof(ULONG)}
#define VENDOR_GET(id, minProperty, minData) VENDOR_ITEM(id, minProperty, minData, TRUE, FALSE)
#define VENDOR_SET(id, minProperty, minData) VENDOR_ITEM(id, minProperty, minData, FALSE, TRUE)
#define VENDOR_BOTH(id, minProperty, minData) VENDOR_ITEM(id, minProperty, minData, TRUE, TRUE)

// Value records are 56 bytes with the value at byte 24, and the table says
// so: a shorter data buffer is refused by the stream class before it gets
// here, and an application can learn the size from the table.
#define VR VALUE_RECORD_BYTES

// Ids 21, 23 and 64 are not offered.
const KSPROPERTY_ITEM VendorPropertyItems[] = {
    VENDOR_GET(0, 56, 56),   // not supported
    VENDOR_GET(1, 4, 4),     // bridge register read
    VENDOR_SET(2, 4, 4),     // bridge register write
    VENDOR_GET(3, 4, 4),     // I2C read at the current address
    VENDOR_SET(4, 4, 4),     // I2C write at the current address
    VENDOR_SET(5, 4, 4),     // block write at the current address
    VENDOR_GET(6, 4, 4),     // zero
    VENDOR_SET(7, 4, 4),     // not supported
    VENDOR_BOTH(8, 4, VR),   // mirror
    VENDOR_BOTH(9, 4, VR),   // flip
    VENDOR_BOTH(10, 4, VR),  // aeOn
    VENDOR_BOTH(11, 4, VR),  // constant
    VENDOR_BOTH(12, 4, VR),  // aeLevel
    VENDOR_BOTH(13, 4, VR),  // whitePoint
    VENDOR_BOTH(14, 4, VR),  // quality
    VENDOR_BOTH(15, 4, VR),  // lowLight
    VENDOR_BOTH(16, 4, VR),  // lightFlicker
    VENDOR_BOTH(17, 40, 40), // bridge read latch
    VENDOR_BOTH(18, 40, 40), // bridge register write
    VENDOR_BOTH(19, 40, 40), // I2C read latch
    VENDOR_BOTH(20, 40, 40), // I2C write
    VENDOR_BOTH(22, 4, VR),  // frame timing switch
    VENDOR_BOTH(24, 4, VR),  // standard index
    VENDOR_BOTH(25, 4, VR),  // inputConf
    VENDOR_BOTH(26, 4, VR),  // input
    VENDOR_BOTH(27, 4, VR),  // qltSpdMode
    VENDOR_GET(28, 4, 4),    // read at 0xC2
    VENDOR_SET(29, 4, 4),    // write at 0xC2
    VENDOR_SET(30, 4, 4),    // block write at 0xC2
    VENDOR_GET(31, 4, 4),    // read at 0xB6
    VENDOR_SET(32, 4, 4),    // write at 0xB6
    VENDOR_SET(33, 4, 4),    // block write at 0x86
    VENDOR_GET(34, 4, 4),    // read at 0x86
    VENDOR_SET(35, 4, 4),    // write at 0x86
    VENDOR_GET(36, 4, 4),    // read at 0x42
    VENDOR_SET(37, 4, 4),    // write at 0x42
    VENDOR_GET(38, 4, 4),    // read at 0xC0
    VENDOR_SET(39, 4, 4),    // write at 0xC0
    VENDOR_SET(40, 56, 56),  // tuner frequency
    VENDOR_SET(41, 4, 4),    // select an I2C address
    VENDOR_GET(42, 18, 18),  // device descriptor
    VENDOR_GET(43, 9, 9),    // configuration descriptor header
    VENDOR_GET(44, 4, 4),    // the word behind it
    VENDOR_BOTH(45, 4, 4),   // select an I2C address
    VENDOR_GET(46, 4, 4),    // I2C read at a chosen address
    VENDOR_SET(47, 4, 4),    // I2C write at a chosen address
    VENDOR_GET(48, 4, 4),    // the same, address cached
    VENDOR_SET(49, 4, 4),    // the same, address cached
    VENDOR_SET(50, 4, 4),    // block write at a chosen address
    VENDOR_SET(51, 4, 4),    // the same, address cached
    VENDOR_SET(52, 4, 4),    // not supported
    VENDOR_BOTH(53, 4, 4),   // mirror, 4-byte form
    VENDOR_BOTH(54, 4, 4),   // flip
    VENDOR_BOTH(55, 4, 4),   // aeOn
    VENDOR_BOTH(56, 4, 4),   // constant
    VENDOR_BOTH(57, 4, 4),   // aeLevel
    VENDOR_BOTH(58, 4, 4),   // whitePoint
    VENDOR_BOTH(59, 4, 4),   // quality
    VENDOR_BOTH(60, 4, 4),   // lowLight
    VENDOR_BOTH(61, 4, 4),   // lightFlicker
    VENDOR_BOTH(62, 4, 4),   // initTimestamp
    VENDOR_BOTH(63, 4, 4),   // frame timing switch
    VENDOR_BOTH(65, 4, 4),   // standard index
    VENDOR_BOTH(66, 4, 4),   // inputConf
    VENDOR_BOTH(67, 4, 4),   // input
    VENDOR_BOTH(68, 4, 4),   // qltSpdMode
    VENDOR_BOTH(69, 4, VR),  // highLight
    VENDOR_BOTH(70, 4, 4),   // highLight, 4-byte form
    VENDOR_GET(71, 4, 4),    // software-I2C read
    VENDOR_SET(72, 4, 4),    // software-I2C write
};
static_assert(sizeof(VendorPropertyItems) / sizeof(VendorPropertyItems[0]) == VENDOR_PROPERTY_ITEMS,
              "the vendor table lists ids 0 to 72 without 21, 23 and 64");

namespace {

// ------------------------------------------------------------- constants ---

#define ANSWER_BYTES 4
#define CONSTANT_ELEVEN 0x00FF0000u

// Fixed addresses of the devices on the bridge's I2C bus.
#define ADDRESS_TUNER 0xC2
#define ADDRESS_TUNER_ALTERNATE 0xC0
#define ADDRESS_B6 0xB6
#define ADDRESS_86 0x86
#define ADDRESS_42 0x42
// Where the fixed-address operations leave the bridge.
#define ADDRESS_RESTING 0x42

// Block mode of the I2C master: 0x00 opens a block, 0x06 sends it.
#define I2C_COMMAND_BLOCK_OPEN 0x00
#define I2C_COMMAND_BLOCK_SEND 0x06
// The status a finished read leaves in register 0x201.
#define I2C_STATUS_READ_DONE 1
// Two unused words open a block list.
#define BLOCK_LIST_HEADER_WORDS 2

#define TIMING_REGISTER_BIT 0x40

// Tuner programming.
#define TUNER_STEP_HZ 62500u
#define TUNER_IF_HZ 45750000u       // modes 0 and 2
#define TUNER_IF_ALT_HZ 58750000u   // modes 1 and 3
#define TUNER_MODE_LAST 3
// The divider travels in 15 bits: a first byte with bit 7 set would be
// taken by the tuner for a control byte.
#define TUNER_DIVIDER_MAX 0x7FFFu

// Decoder input registers read back by the input get.
#define INPUT_REGISTER_88 0x02
#define INPUT_REGISTER_4A 0x02
#define INPUT_REGISTER_5150 0x00

// One request as the handlers see it.
typedef struct _VendorRequest {
    DeviceContext* context;
    PSTREAM_PROPERTY_DESCRIPTOR descriptor;
    BOOLEAN get;
    BOOLEAN hasInstance;
    ULONG instance;
    ULONG bytes;  // the answer's size
} VendorRequest;

// ------------------------------------------------------------ answers ---

NTSTATUS TooSmall(VendorRequest* Request, ULONG Needed)
{
    return DataTooSmall(Request->get, Request->descriptor, Needed, &Request->bytes);
}

// A 4-byte answer in data[0].
NTSTATUS ReturnUlong(VendorRequest* Request, ULONG Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, ANSWER_BYTES);
    if (data == nullptr) {
        return TooSmall(Request, ANSWER_BYTES);
    }
    StoreUlong(data, 0, Value);
    Request->bytes = ANSWER_BYTES;
    return STATUS_SUCCESS;
}

// A value record: the value at byte 24 of 56, the rest left as it came.
NTSTATUS ReturnValueRecord(VendorRequest* Request, ULONG Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, VALUE_RECORD_BYTES);
    if (data == nullptr) {
        return TooSmall(Request, VALUE_RECORD_BYTES);
    }
    StoreUlong(data, RECORD_VALUE_OFFSET, Value);
    Request->bytes = VALUE_RECORD_BYTES;
    return STATUS_SUCCESS;
}

// A register record: value at byte 24, register at byte 28. Callers that
// hand in the 56-byte record of the other ids get all of it back, as those
// ids answer; a 40-byte buffer gets 40, never more than it holds.
NTSTATUS ReturnRegisterRecord(VendorRequest* Request, USHORT Register, USHORT Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, REGISTER_RECORD_BYTES);
    if (data == nullptr) {
        return TooSmall(Request, REGISTER_RECORD_BYTES);
    }
    StoreUlong(data, RECORD_VALUE_OFFSET, Value);
    StoreUlong(data, RECORD_SECOND_OFFSET, Register);
    Request->bytes = Request->descriptor->PropertyOutputSize >= VALUE_RECORD_BYTES ? VALUE_RECORD_BYTES
                                                                                   : REGISTER_RECORD_BYTES;
    return STATUS_SUCCESS;
}

NTSTATUS ReturnBytes(VendorRequest* Request, const VOID* Source, ULONG Length)
{
    PUCHAR data = DataBuffer(Request->descriptor, Length);
    if (data == nullptr) {
        return TooSmall(Request, Length);
    }
    memcpy(data, Source, Length);
    Request->bytes = Length;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ arguments ---

// data[0] of a set.
BOOLEAN TakeUlong(VendorRequest* Request, ULONG* Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, ANSWER_BYTES);
    if (data == nullptr) {
        return FALSE;
    }
    *Value = LoadUlong(data, 0);
    return TRUE;
}

BOOLEAN TakeValueRecord(VendorRequest* Request, ULONG* Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, VALUE_RECORD_BYTES);
    if (data == nullptr) {
        return FALSE;
    }
    *Value = LoadUlong(data, RECORD_VALUE_OFFSET);
    return TRUE;
}

// The low 16 bits of the value and of the register number.
BOOLEAN TakeRegisterRecord(VendorRequest* Request, USHORT* Register, USHORT* Value)
{
    PUCHAR data = DataBuffer(Request->descriptor, REGISTER_RECORD_BYTES);
    if (data == nullptr) {
        return FALSE;
    }
    *Value = (USHORT)LoadUlong(data, RECORD_VALUE_OFFSET);
    *Register = (USHORT)LoadUlong(data, RECORD_SECOND_OFFSET);
    return TRUE;
}

// --------------------------------------------------------- bridge reads ---

// One bridge register read that keeps its status.
NTSTATUS ReadBridgeByte(DeviceContext* Context, USHORT Register, UCHAR* Byte)
{
    UCHAR buffer = 0;
    ULONG length = 1;
    NTSTATUS status = USBCAMD_ControlVendorCommand(Context, BRIDGE_REQUEST_READ, 0, Register, &buffer, &length,
                                                   TRUE, nullptr, nullptr);
    *Byte = buffer;
    return status;
}

// Polls the I2C status until the master reports a finished read: one read,
// then at most 500 more; a failed read ends the poll with its status.
NTSTATUS WaitReadDone(DeviceContext* Context)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG extra = 0; extra <= I2C_WAIT_EXTRA_READS; ++extra) {
        UCHAR byte;
        status = ReadBridgeByte(Context, BRIDGE_REG_I2C_STATUS, &byte);
        if (!NT_SUCCESS(status) || byte == I2C_STATUS_READ_DONE) {
            break;
        }
    }
    return status;
}

// ----------------------------------------------------- hardware reads ---

// Bridge register read (id 1), I2C read at the current address (id 3) and
// the fixed-address reads: Address 0 means the current address, else the
// device's write address (its read address is one above).
NTSTATUS HardwareRead(VendorRequest* Request, ULONG Id, USHORT Address, BOOLEAN WithRegister)
{
    DeviceContext* context = Request->context;
    if (WithRegister && !Request->hasInstance) {
        return STATUS_NOT_SUPPORTED;
    }
    if (Request->descriptor->PropertyOutputSize == 0) {
        Request->bytes = ANSWER_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    PUCHAR data = DataBuffer(Request->descriptor, ANSWER_BYTES);
    if (data == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }

    UCHAR byte = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (Id == 1) {
        status = ReadBridgeByte(context, (USHORT)Request->instance, &byte);
    } else {
        if (Address != 0) {
            status = SelectI2cDevice(context, (USHORT)(Address + 1));
        }
        if (NT_SUCCESS(status) && WithRegister) {
            status = WriteRegister(context, BRIDGE_REG_I2C_READ_SUBADDRESS, (USHORT)Request->instance);
        }
        if (NT_SUCCESS(status)) {
            status = WriteRegister(context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_READ);
        }
        if (NT_SUCCESS(status)) {
            status = WaitReadDone(context);
        }
        if (NT_SUCCESS(status)) {
            status = ReadBridgeByte(context, BRIDGE_REG_I2C_READ_DATA, &byte);
        }
    }
    // A zero word that receives the byte.
    StoreUlong(data, 0, byte);
    Request->bytes = ANSWER_BYTES;
    if (Address != 0) {
        SelectI2cDevice(context, ADDRESS_RESTING);
    }
    return status;
}

// ---------------------------------------------------- hardware writes ---

// I2C write of data[0] into device register `instance`, at Address first
// when it is not 0. The bridge is left addressed to the device.
NTSTATUS FixedAddressWrite(VendorRequest* Request, USHORT Address)
{
    DeviceContext* context = Request->context;
    ULONG value;
    if (!Request->hasInstance) {
        return STATUS_NOT_SUPPORTED;
    }
    if (!TakeUlong(Request, &value)) {
        return TooSmall(Request, ANSWER_BYTES);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (Address != 0) {
        status = SelectI2cDevice(context, Address);
    }
    if (NT_SUCCESS(status)) {
        status = WriteRegister(context, BRIDGE_REG_I2C_WRITE_SUBADDRESS, (USHORT)Request->instance);
    }
    if (NT_SUCCESS(status)) {
        status = WriteRegister(context, BRIDGE_REG_I2C_WRITE_DATA, (USHORT)value);
    }
    if (NT_SUCCESS(status)) {
        status = WriteRegister(context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_WRITE);
    }
    if (NT_SUCCESS(status)) {
        status = I2cWaitDone(context);
    }
    return status;
}

// Block write: register/value pairs from the block list in the property
// buffer, sent as one block of the I2C master.
NTSTATUS BlockWrite(VendorRequest* Request, ULONG Id)
{
    DeviceContext* context = Request->context;
    const STREAM_PROPERTY_DESCRIPTOR* descriptor = Request->descriptor;
    ULONG first;
    if (!TakeUlong(Request, &first)) {
        return TooSmall(Request, ANSWER_BYTES);
    }
    const ULONG count = first & 0xFFFFu;
    const USHORT address = (USHORT)(first >> 16);

    // The list is count ULONGs of instance data; every item read must lie in
    // the property buffer, or nothing is sent at all.
    if (count > BLOCK_LIST_HEADER_WORDS &&
        (descriptor->PropertyInputSize - PROPERTY_INSTANCE_OFFSET) / sizeof(ULONG) < count) {
        return STATUS_INVALID_PARAMETER;
    }

    if (Id == 50 || (Id == 51 && address != context->currentI2cAddress)) {
        SelectI2cDevice(context, address);
    }
    if (Id == 30) {
        SelectI2cDevice(context, ADDRESS_TUNER);
    } else if (Id == 33) {
        SelectI2cDevice(context, ADDRESS_86);
    }

    I2cWaitDone(context);
    WriteRegister(context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_BLOCK_OPEN);
    for (ULONG index = BLOCK_LIST_HEADER_WORDS; index < count; ++index) {
        ULONG item = 0;
        ReadPropertyUlong(descriptor, PROPERTY_INSTANCE_OFFSET + index * sizeof(ULONG), &item);
        I2cLoadPair(context, (USHORT)(item >> 16), (USHORT)(item & 0xFFFFu));
    }
    WriteRegister(context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_BLOCK_SEND);

    if (Id == 30 || Id == 33) {
        SelectI2cDevice(context, ADDRESS_RESTING);
    }
    return STATUS_SUCCESS;
}

// Tuner record: frequency in Hz at byte 24, mode 0..3 at byte 28. Modes 0
// and 1 take the first band plan, 2 and 3 the second; modes 1 and 3 use the
// higher intermediate frequency; mode 3 talks to the tuner at 0xC0.
NTSTATUS TuneFrequency(VendorRequest* Request)
{
    DeviceContext* context = Request->context;
    PUCHAR data = DataBuffer(Request->descriptor, TUNER_RECORD_BYTES);
    if (data == nullptr) {
        return TooSmall(Request, TUNER_RECORD_BYTES);
    }
    const ULONG frequency = LoadUlong(data, RECORD_VALUE_OFFSET);
    const ULONG mode = LoadUlong(data, RECORD_SECOND_OFFSET);
    if (mode > TUNER_MODE_LAST) {
        return STATUS_NOT_SUPPORTED;
    }

    USHORT control, band;
    if (mode <= 1) {
        control = 0x8E;
        band = frequency <= 121000000u ? 0x91 : frequency <= 373000000u ? 0x92 : 0x98;
    } else {
        control = 0xCE;
        band = frequency <= 170000000u ? 0x01 : frequency <= 468000000u ? 0x02 : 0x08;
    }
    const ULONG intermediate = (mode == 1 || mode == 3) ? TUNER_IF_ALT_HZ : TUNER_IF_HZ;
    const ULONG divider = (frequency + intermediate) / TUNER_STEP_HZ;  // wraps as 32-bit arithmetic does
    if ((divider & 0xFFFFu) == 0 || divider > TUNER_DIVIDER_MAX) {
        return STATUS_NOT_SUPPORTED;
    }

    NTSTATUS status = SelectI2cDevice(context, mode == 3 ? ADDRESS_TUNER_ALTERNATE : ADDRESS_TUNER);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = I2cWriteChecked(context, control, band);
    if (NT_SUCCESS(status)) {
        status = I2cWriteChecked(context, (USHORT)((divider >> 8) & 0xFF), (USHORT)(divider & 0xFF));
    }
    SelectI2cDevice(context, ADDRESS_RESTING);
    return status;
}

// ------------------------------------------------------- stored values ---

// Frame timing: the field, and bit 6 of bridge register 0x100 with it. A
// read that fails is not turned into a write of a made-up value.
NTSTATUS SwitchFrameTiming(DeviceContext* Context, ULONG Value)
{
    Context->frameTimingEnabled = Value;
    UCHAR current;
    NTSTATUS status = ReadBridgeByte(Context, BRIDGE_REG_100, &current);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USHORT updated = Value != 0 ? (USHORT)(current | TIMING_REGISTER_BIT)
                                      : (USHORT)(current & (UCHAR)~TIMING_REGISTER_BIT);
    status = WriteRegister(Context, BRIDGE_REG_100, updated);
    ReadRegister(Context, BRIDGE_REG_100);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// Any index is stored and saved; only 1..5 change the KS value, and the
// switch itself ignores the others.
NTSTATUS ChangeStandard(DeviceContext* Context, ULONG Value)
{
    Context->standardIndex = (LONG)Value;
    switch (Value) {
    case STANDARD_INDEX_NTSC:
        Context->videoStandard = KS_AnalogVideo_NTSC_M;
        break;
    case STANDARD_INDEX_PAL:
        Context->videoStandard = KS_AnalogVideo_PAL_B;
        break;
    case STANDARD_INDEX_SECAM:
        Context->videoStandard = KS_AnalogVideo_SECAM_B;
        break;
    case STANDARD_INDEX_PAL_M:
        Context->videoStandard = KS_AnalogVideo_PAL_M;
        break;
    case STANDARD_INDEX_PAL_N:
        Context->videoStandard = KS_AnalogVideo_PAL_N;
        break;
    default:
        break;
    }
    SetVideoStandard(Context, Context->standardIndex);
    SaveSettings(Context, 24);
    return STATUS_SUCCESS;
}

NTSTATUS ChangeInput(DeviceContext* Context, ULONG Value)
{
    Context->inputChannel = (LONG)Value;
    SelectVideoInput(Context, (LONG)Value);
    SaveSettings(Context, 26);
    return STATUS_SUCCESS;
}

// Asks the decoder which input it runs on. A decoder that does not answer
// leaves inputChannel as it was and fails the request.
NTSTATUS ReadBackInput(DeviceContext* Context, ULONG* Input)
{
    const USHORT address = Context->decoderI2cAddress;
    USHORT value;
    LONG input;
    switch (Context->decoderType) {
    case DECODER_TYPE_88:
        value = I2cReadAt(Context, address, INPUT_REGISTER_88);
        input = (value & 0x30) != 0 ? 1 : 0;
        break;
    case DECODER_TYPE_5150:
        value = I2cReadAt(Context, address, INPUT_REGISTER_5150);
        if (value == 0) {
            input = 2;
            break;
        }
        if (value != REGISTER_READ_FAILED) {
            value = I2cReadAt(Context, address, INPUT_REGISTER_5150);
        }
        input = value == 2 ? 0 : 1;
        break;
    case DECODER_TYPE_4A:
        value = I2cReadAt(Context, address, INPUT_REGISTER_4A);
        input = (value & 0x0F) != 0 ? 1 : 0;
        break;
    default:
        *Input = (ULONG)Context->inputChannel;
        return STATUS_SUCCESS;
    }
    if (value == REGISTER_READ_FAILED) {
        return STATUS_IO_DEVICE_ERROR;
    }
    Context->inputChannel = input;
    *Input = (ULONG)input;
    return STATUS_SUCCESS;
}

// ------------------------------------------------------ software I2C ---

// Request record in the application's memory, its address in the instance.
#define SOFT_I2C_DEVICE_OFFSET 0
#define SOFT_I2C_SUBADDRESS_OFFSET 4
#define SOFT_I2C_SUBADDRESS_LENGTH_OFFSET 8
#define SOFT_I2C_DATA_ADDRESS_OFFSET 12
#define SOFT_I2C_DATA_LENGTH_OFFSET 16

USHORT LoadUshort(const UCHAR* Buffer, ULONG Offset)
{
    USHORT value;
    memcpy(&value, Buffer + Offset, sizeof(value));
    return value;
}

// The request and the data bytes are copied through the caller-memory
// accessors; the bus only ever sees a pool copy, and nothing reaches the bus
// unless both the request and the whole data range are the caller's.
NTSTATUS SoftwareI2c(VendorRequest* Request)
{
    DeviceContext* context = Request->context;
    if (!Request->hasInstance) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR record[SOFT_I2C_REQUEST_BYTES];
    NTSTATUS status = KvCopyFromCaller(record, Request->instance, sizeof(record));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USHORT device = LoadUshort(record, SOFT_I2C_DEVICE_OFFSET);
    const USHORT subAddress = LoadUshort(record, SOFT_I2C_SUBADDRESS_OFFSET);
    const USHORT subAddressLength = LoadUshort(record, SOFT_I2C_SUBADDRESS_LENGTH_OFFSET);
    const ULONG dataAddress = LoadUlong(record, SOFT_I2C_DATA_ADDRESS_OFFSET);
    const ULONG length = LoadUlong(record, SOFT_I2C_DATA_LENGTH_OFFSET);
    if (length == 0 || length > SOFT_I2C_MAX_DATA_BYTES || subAddressLength > SOFT_I2C_MAX_SUBADDRESS_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    status = KvProbeCallerMemory(dataAddress, length, Request->get);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* bytes = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, DRIVER_POOL_TAG));
    if (bytes == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Request->get) {
        memset(bytes, 0, length);
    } else {
        status = KvCopyFromCaller(bytes, dataAddress, length);
    }
    if (NT_SUCCESS(status)) {
        const LONG count = (LONG)length;
        if (Request->get) {
            if (length == 1) {
                SoftBusRead8(context, device, subAddress, subAddressLength, bytes, count);
            } else if (length == 2) {
                SoftBusRead16(context, device, subAddress, subAddressLength, bytes, count);
            } else {
                SoftBusReadBlock(context, device, subAddress, subAddressLength, bytes, count);
            }
            status = KvCopyToCaller(dataAddress, bytes, length);
        } else {
            if (length == 1) {
                SoftBusWrite8(context, device, subAddress, subAddressLength, bytes, count);
            } else if (length == 2) {
                SoftBusWrite16(context, device, subAddress, subAddressLength, bytes, count);
            } else {
                SoftBusWriteBlock(context, device, subAddress, subAddressLength, bytes, count);
            }
        }
    }
    ExFreePool(bytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!Request->get && Request->bytes > ANSWER_BYTES) {
        Request->bytes = ANSWER_BYTES;
    }
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------- requests ---

VOID OpenRequest(VendorRequest* Request, DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb, BOOLEAN Get)
{
    Request->context = Context;
    Request->descriptor = PropertyDescriptor(Srb);
    Request->get = Get;
    Request->instance = 0;
    Request->hasInstance = ReadPropertyInstance(Request->descriptor, &Request->instance);
    // A set answers with the size of a record, but never with more bytes
    // than the data buffer holds.
    Request->bytes = Request->descriptor->PropertyOutputSize < VALUE_RECORD_BYTES
                         ? Request->descriptor->PropertyOutputSize
                         : VALUE_RECORD_BYTES;
}

// The stored values of the value-record ids and their 4-byte twins.
BOOLEAN StoredValue(const DeviceContext* Context, ULONG Id, ULONG* Value)
{
    switch (Id) {
    case 8:
    case 53:
        *Value = (ULONG)Context->mirror;
        return TRUE;
    case 9:
    case 54:
        *Value = (ULONG)Context->flip;
        return TRUE;
    case 10:
    case 55:
        *Value = (ULONG)Context->aeOn;
        return TRUE;
    case 11:
    case 56:
        *Value = CONSTANT_ELEVEN;
        return TRUE;
    case 12:
    case 57:
        *Value = (ULONG)Context->aeLevel;
        return TRUE;
    case 13:
    case 58:
        *Value = (ULONG)Context->whitePoint;
        return TRUE;
    case 14:
    case 59:
        *Value = (ULONG)Context->quality;
        return TRUE;
    case 15:
    case 60:
        *Value = (ULONG)Context->lowLight;
        return TRUE;
    case 16:
    case 61:
        *Value = (ULONG)Context->lightFlicker;
        return TRUE;
    case 21:
    case 62:
        *Value = Context->initTimestamp;
        return TRUE;
    case 22:
    case 63:
        *Value = Context->frameTimingEnabled;
        return TRUE;
    case 24:
    case 65:
        *Value = (ULONG)Context->standardIndex;
        return TRUE;
    case 25:
    case 66:
        *Value = (ULONG)Context->inputConf;
        return TRUE;
    case 27:
    case 68:
        *Value = (ULONG)Context->qltSpdMode;
        return TRUE;
    case 69:
    case 70:
        *Value = (ULONG)Context->highLight;
        return TRUE;
    default:
        return FALSE;
    }
}

// Ids below 53 answer in a value record, their twins from 53 on in data[0];
// 70 is highLight's 4-byte form.
BOOLEAN AnswersInValueRecord(ULONG Id)
{
    return Id < 53 || Id == 69;
}

// Stores a setting that a set changes and saves it under its selector; the
// selector of a stored value is the id of its value-record property.
VOID StoreAndSave(DeviceContext* Context, LONG* Field, ULONG Value, LONG Selector)
{
    *Field = (LONG)Value;
    SaveSettings(Context, Selector);
}

}  // namespace

NTSTATUS GetVendorProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    VendorRequest request;
    OpenRequest(&request, Context, Srb, TRUE);
    const ULONG id = PropertyIdOf(request.descriptor);
    NTSTATUS status;
    ULONG value;

    if (StoredValue(Context, id, &value)) {
        status = AnswersInValueRecord(id) ? ReturnValueRecord(&request, value) : ReturnUlong(&request, value);
        return FinishProperty(Srb, status, request.bytes);
    }

    switch (id) {
    case 1:
    case 3:
        status = HardwareRead(&request, id, 0, TRUE);
        break;
    case 28:
        status = HardwareRead(&request, id, ADDRESS_TUNER, FALSE);
        break;
    case 31:
        status = HardwareRead(&request, id, ADDRESS_B6, FALSE);
        break;
    case 34:
        status = HardwareRead(&request, id, ADDRESS_86, FALSE);
        break;
    case 36:
        status = HardwareRead(&request, id, ADDRESS_42, TRUE);
        break;
    case 38:
        status = HardwareRead(&request, id, ADDRESS_TUNER_ALTERNATE, TRUE);
        break;
    case 6:
        // Nothing to tell but 0; a short buffer learns that 4 bytes are due.
        if (request.descriptor->PropertyOutputSize < ANSWER_BYTES) {
            request.bytes = ANSWER_BYTES;
            status = STATUS_BUFFER_OVERFLOW;
        } else {
            status = ReturnUlong(&request, 0);
        }
        break;
    case 17:
        status = ReturnRegisterRecord(&request, Context->bridgeReadLatchRegister, Context->bridgeReadLatchValue);
        break;
    case 19:
        status = ReturnRegisterRecord(&request, Context->i2cReadLatchRegister, Context->i2cReadLatchValue);
        break;
    case 26:
    case 67:
        // Check the buffer before asking the hardware.
        if (DataBuffer(request.descriptor, id == 26 ? VALUE_RECORD_BYTES : ANSWER_BYTES) == nullptr) {
            status = TooSmall(&request, id == 26 ? VALUE_RECORD_BYTES : ANSWER_BYTES);
            break;
        }
        status = ReadBackInput(Context, &value);
        if (NT_SUCCESS(status)) {
            status = id == 26 ? ReturnValueRecord(&request, value) : ReturnUlong(&request, value);
        }
        break;
    case 42:
        status = ReturnBytes(&request, &Context->deviceDescriptor, sizeof(Context->deviceDescriptor));
        break;
    case 43:
        status = ReturnBytes(&request, &Context->configDescriptorHeader, sizeof(Context->configDescriptorHeader));
        break;
    case 44:
        // Nothing ever fills this word; it reads as the zero it started as.
        status = ReturnBytes(&request, Context->descriptorTail, sizeof(Context->descriptorTail));
        break;
    case 46:
    case 48:
        if (!request.hasInstance) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (DataBuffer(request.descriptor, ANSWER_BYTES) == nullptr) {
            status = TooSmall(&request, ANSWER_BYTES);
            break;
        }
        value = id == 46 ? I2cReadFrom(Context, (USHORT)(request.instance >> 16), (USHORT)request.instance)
                         : I2cReadAt(Context, (USHORT)(request.instance >> 16), (USHORT)request.instance);
        status = ReturnUlong(&request, value);
        break;
    case 71:
        if (DataBuffer(request.descriptor, ANSWER_BYTES) == nullptr) {
            status = TooSmall(&request, ANSWER_BYTES);
            break;
        }
        status = SoftwareI2c(&request);
        if (NT_SUCCESS(status)) {
            // The bytes went to the caller's memory; the answer word is zero.
            status = ReturnUlong(&request, 0);
        }
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    return FinishProperty(Srb, status, request.bytes);
}

NTSTATUS SetVendorProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (!PropertyRequestIsWhole(Srb)) {
        return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
    }
    VendorRequest request;
    OpenRequest(&request, Context, Srb, FALSE);
    const ULONG id = PropertyIdOf(request.descriptor);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG value = 0;
    USHORT reg, regValue;

    // Value-record sets and their instance twins.
    switch (id) {
    case 8:
    case 9:
    case 10:
    case 12:
    case 22:
    case 24:
    case 26:
        if (!TakeValueRecord(&request, &value)) {
            return FinishProperty(Srb, TooSmall(&request, VALUE_RECORD_BYTES), request.bytes);
        }
        break;
    case 53:
    case 54:
    case 55:
    case 57:
    case 63:
    case 65:
    case 67:
        if (!request.hasInstance) {
            return FinishProperty(Srb, STATUS_INVALID_PARAMETER, 0);
        }
        value = request.instance;
        break;
    default:
        break;
    }

    switch (id) {
    case 2:
        if (!request.hasInstance) {
            status = STATUS_NOT_SUPPORTED;
        } else if (!TakeUlong(&request, &value)) {
            status = TooSmall(&request, ANSWER_BYTES);
        } else {
            // WriteRegister keeps currentI2cAddress when 0x203 is written.
            status = WriteRegister(Context, (USHORT)request.instance, (USHORT)value);
        }
        break;
    case 4:
        status = FixedAddressWrite(&request, 0);
        break;
    case 29:
        status = FixedAddressWrite(&request, ADDRESS_TUNER);
        break;
    case 32:
        status = FixedAddressWrite(&request, ADDRESS_B6);
        break;
    case 35:
        status = FixedAddressWrite(&request, ADDRESS_86);
        break;
    case 37:
        status = FixedAddressWrite(&request, ADDRESS_42);
        break;
    case 39:
        status = FixedAddressWrite(&request, ADDRESS_TUNER_ALTERNATE);
        break;
    case 5:
    case 30:
    case 33:
    case 50:
    case 51:
        status = BlockWrite(&request, id);
        break;
    case 8:
    case 53:
        StoreAndSave(Context, &Context->mirror, value, 8);
        break;
    case 9:
    case 54:
        StoreAndSave(Context, &Context->flip, value, 9);
        break;
    case 10:
    case 55:
        StoreAndSave(Context, &Context->aeOn, value, 10);
        break;
    case 11:
    case 56:
        break;
    case 12:
    case 57:
        if (value > 255) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            StoreAndSave(Context, &Context->aeLevel, value, 12);
        }
        break;
    case 17:
        if (!TakeRegisterRecord(&request, &reg, &regValue)) {
            status = TooSmall(&request, REGISTER_RECORD_BYTES);
            break;
        }
        Context->bridgeReadLatchRegister = reg;
        Context->bridgeReadLatchValue = ReadRegister(Context, reg);
        break;
    case 18:
        if (!TakeRegisterRecord(&request, &reg, &regValue)) {
            status = TooSmall(&request, REGISTER_RECORD_BYTES);
            break;
        }
        WriteRegister(Context, reg, regValue);
        break;
    case 19:
        if (!TakeRegisterRecord(&request, &reg, &regValue)) {
            status = TooSmall(&request, REGISTER_RECORD_BYTES);
            break;
        }
        Context->i2cReadLatchRegister = reg;
        Context->i2cReadLatchValue = I2cRead(Context, reg);
        break;
    case 20:
        if (!TakeRegisterRecord(&request, &reg, &regValue)) {
            status = TooSmall(&request, REGISTER_RECORD_BYTES);
            break;
        }
        I2cWrite(Context, reg, regValue);
        break;
    case 22:
    case 63:
        status = SwitchFrameTiming(Context, value);
        break;
    case 24:
    case 65:
        status = ChangeStandard(Context, value);
        break;
    case 26:
    case 67:
        status = ChangeInput(Context, value);
        break;
    case 40:
        status = TuneFrequency(&request);
        break;
    case 41:
    case 45:
        // Id 41 passes the instance on as it is; the address register takes
        // 16 bits either way.
        status = request.hasInstance ? SelectI2cDevice(Context, (USHORT)request.instance) : STATUS_INVALID_PARAMETER;
        break;
    case 47:
    case 49:
        if (!request.hasInstance) {
            status = STATUS_INVALID_PARAMETER;
        } else if (!TakeUlong(&request, &value)) {
            status = TooSmall(&request, ANSWER_BYTES);
        } else if (id == 47) {
            I2cWriteTo(Context, (USHORT)(request.instance >> 16), (USHORT)request.instance, (USHORT)value);
        } else {
            I2cWriteAt(Context, (USHORT)(request.instance >> 16), (USHORT)request.instance, (USHORT)value);
        }
        break;
    case 72:
        status = SoftwareI2c(&request);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    return FinishProperty(Srb, status, request.bytes);
}
