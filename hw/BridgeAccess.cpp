// Bridge register access and the bridge's I2C master.
//
// Every register access is one synchronous vendor control request. The I2C
// forms are built from them: the device address goes to 0x203, the sub-address
// and data to 0x204/0x205 (write) or 0x208 (read), the command to 0x200, and
// 0x201 is polled until the master reports the transaction finished.
#include "hw/Hardware.h"

#include "platform/usbcamdi.h"
#include "platform/wdm.h"

namespace {

// One read of a bridge register with its raw status, for the polls that stop
// on any status other than STATUS_SUCCESS.
NTSTATUS ReadRegisterRaw(DeviceContext* Context, USHORT Register, UCHAR* Byte)
{
    UCHAR buffer = 0;
    ULONG length = 1;
    NTSTATUS status = USBCAMD_ControlVendorCommand(Context, BRIDGE_REQUEST_READ, 0, Register, &buffer, &length,
                                                   TRUE, nullptr, nullptr);
    *Byte = buffer;
    return status;
}

// Writes sub-address, data and the write command, stopping at the first
// status that is not STATUS_SUCCESS when Checked; unchecked, all three are
// written and the first failure comes back.
NTSTATUS StartI2cWrite(DeviceContext* Context, USHORT DeviceRegister, USHORT Value, BOOLEAN Checked)
{
    NTSTATUS first = WriteRegister(Context, BRIDGE_REG_I2C_WRITE_SUBADDRESS, DeviceRegister);
    if (Checked && first != STATUS_SUCCESS) {
        return first;
    }
    NTSTATUS status = WriteRegister(Context, BRIDGE_REG_I2C_WRITE_DATA, Value);
    if (Checked && status != STATUS_SUCCESS) {
        return status;
    }
    first = FirstFailure(first, status);
    status = WriteRegister(Context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_WRITE);
    return FirstFailure(first, status);
}

}  // namespace

NTSTATUS WriteRegister(DeviceContext* Context, USHORT Register, USHORT Value)
{
    NTSTATUS status = USBCAMD_ControlVendorCommand(Context, BRIDGE_REQUEST_WRITE, Value, Register, nullptr, nullptr,
                                                   FALSE, nullptr, nullptr);
    // The cache must name what the bridge really holds, so only a write that
    // went through counts.
    if (Register == BRIDGE_REG_I2C_ADDRESS && NT_SUCCESS(status)) {
        Context->currentI2cAddress = Value;
    }
    return status;
}

USHORT ReadRegister(DeviceContext* Context, USHORT Register)
{
    UCHAR byte;
    NTSTATUS status = ReadRegisterRaw(Context, Register, &byte);
    if (!NT_SUCCESS(status)) {
        return REGISTER_READ_FAILED;
    }
    return byte;
}

NTSTATUS SelectI2cDevice(DeviceContext* Context, USHORT Address)
{
    Context->currentI2cAddress = Address;
    return WriteRegister(Context, BRIDGE_REG_I2C_ADDRESS, Address);
}

NTSTATUS I2cWaitDone(DeviceContext* Context)
{
    // No pause between reads: the control transfer round trip paces the poll.
    for (ULONG extra = 0;; ++extra) {
        UCHAR byte;
        NTSTATUS status = ReadRegisterRaw(Context, BRIDGE_REG_I2C_STATUS, &byte);
        if (status != STATUS_SUCCESS || byte != 0) {
            return status;
        }
        if (extra >= I2C_WAIT_EXTRA_READS) {
            // A transaction that never finishes is not reported.
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS I2cWrite(DeviceContext* Context, USHORT DeviceRegister, USHORT Value)
{
    // All three registers are written whatever happens, as always; a write
    // that did not reach the bridge is reported, since the status register
    // then still shows the previous transaction as done.
    const NTSTATUS started = StartI2cWrite(Context, DeviceRegister, Value, FALSE);
    const NTSTATUS waited = I2cWaitDone(Context);
    return FirstFailure(started, waited);
}

USHORT I2cRead(DeviceContext* Context, USHORT DeviceRegister)
{
    WriteRegister(Context, BRIDGE_REG_I2C_READ_SUBADDRESS, DeviceRegister);
    WriteRegister(Context, BRIDGE_REG_I2C_COMMAND, I2C_COMMAND_READ);
    I2cWaitDone(Context);
    return ReadRegister(Context, BRIDGE_REG_I2C_READ_DATA);
}

VOID I2cWriteTo(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT Value)
{
    SelectI2cDevice(Context, Address);
    I2cWrite(Context, DeviceRegister, Value);
}

NTSTATUS I2cWriteAt(DeviceContext* Context, USHORT Address, USHORT DeviceRegister, USHORT Value)
{
    NTSTATUS selected = STATUS_SUCCESS;
    if (Address != Context->currentI2cAddress) {
        selected = SelectI2cDevice(Context, Address);
    }
    const NTSTATUS written = I2cWrite(Context, DeviceRegister, Value);
    return FirstFailure(selected, written);
}

USHORT I2cReadFrom(DeviceContext* Context, USHORT Address, USHORT DeviceRegister)
{
    SelectI2cDevice(Context, Address);
    return I2cRead(Context, DeviceRegister);
}

USHORT I2cReadAt(DeviceContext* Context, USHORT Address, USHORT DeviceRegister)
{
    if (Address != Context->currentI2cAddress) {
        SelectI2cDevice(Context, Address);
    }
    return I2cRead(Context, DeviceRegister);
}

NTSTATUS I2cWriteChecked(DeviceContext* Context, USHORT DeviceRegister, USHORT Value)
{
    NTSTATUS status = StartI2cWrite(Context, DeviceRegister, Value, TRUE);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return I2cWaitDone(Context);
}

VOID I2cLoadPair(DeviceContext* Context, USHORT DeviceRegister, USHORT Value)
{
    WriteRegister(Context, BRIDGE_REG_I2C_WRITE_SUBADDRESS, DeviceRegister);
    WriteRegister(Context, BRIDGE_REG_I2C_WRITE_DATA, Value);
}

NTSTATUS UpdateRegister100(DeviceContext* Context, USHORT Value)
{
    // Bits 6-7 belong to the timing switch and survive re-initialisation.
    // A failed read gives no bits to keep: writing would set both.
    const USHORT current = ReadRegister(Context, BRIDGE_REG_100);
    if (current == REGISTER_READ_FAILED) {
        return STATUS_UNSUCCESSFUL;
    }
    return WriteRegister(Context, BRIDGE_REG_100, (USHORT)((current & 0xC0) | Value));
}

VOID SetRegister0PowerDown(DeviceContext* Context, LONG DecoderType)
{
    if (DecoderType != Context->decoderType) {
        return;
    }
    ModifyRegister(Context, BRIDGE_REG_CONTROL, 0xDF, 0x40);
}

NTSTATUS ModifyRegister(DeviceContext* Context, USHORT Register, USHORT KeepMask, USHORT SetBits)
{
    // A failed read gives 0xFF00, not the register: a value built from it
    // would set bits nobody asked for, so nothing is written.
    const USHORT current = ReadRegister(Context, Register);
    if (current == REGISTER_READ_FAILED) {
        return STATUS_UNSUCCESSFUL;
    }
    return WriteRegister(Context, Register, (USHORT)((current & KeepMask) | SetBits));
}

NTSTATUS DelayMs(DeviceContext* Context, ULONG Milliseconds)
{
    UNREFERENCED_PARAMETER(Context);
    // Relative time in 100 ns units, negative; computed in 64 bits so that
    // long pauses do not wrap.
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
