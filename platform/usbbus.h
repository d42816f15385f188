// The USB device as the class library reaches it.
//
// On a real system the class library sends USB request blocks down to the
// USB stack. Here the stack is represented by one small bus interface, handed
// out by the device's physical device object in answer to IRP_MN_QUERY_INTERFACE
// for GUID_USBBUS_DEVICE_INTERFACE, the same way kernel bus drivers publish
// their direct-call interfaces. The simulated capture board implements it; a
// backend for a real USB host could implement it later.
//
// Every routine runs synchronously. Control and alternate-setting calls may
// block (PASSIVE_LEVEL only); IsochronousIn never blocks.
#pragma once

#include "ntdef.h"
#include "usb.h"

// {7A0D2C55-3B9E-4F61-9C1E-5D2B8E4A6F10}
#define GUID_USBBUS_DEVICE_INTERFACE_VALUE \
    DEFINE_GUID_VALUE(0x7A0D2C55, 0x3B9E, 0x4F61, 0x9C, 0x1E, 0x5D, 0x2B, 0x8E, 0x4A, 0x6F, 0x10)
#define USBBUS_DEVICE_INTERFACE_VERSION 1

typedef struct _USBBUS_DEVICE_INTERFACE {
    // INTERFACE header: Size, Version, Context, reference routines.
    USHORT Size;
    USHORT Version;
    PVOID Context;
    VOID(NTAPI* InterfaceReference)(PVOID Context);
    VOID(NTAPI* InterfaceDereference)(PVOID Context);

    // One control transfer on the default pipe. For a device-to-host request
    // *Length holds the buffer size on entry and the bytes received on return;
    // for host-to-device it holds the bytes to send (Setup->wLength must agree).
    // A stalled request returns STATUS_UNSUCCESSFUL with *UsbdStatus set to
    // USBD_STATUS_STALL_PID; an unplugged device STATUS_DEVICE_NOT_CONNECTED.
    NTSTATUS(NTAPI* ControlTransfer)(PVOID Context, const USB_DEFAULT_PIPE_SETUP_PACKET* Setup,
                                     PUCHAR Buffer, PULONG Length, USBD_STATUS* UsbdStatus);

    // SET_INTERFACE through the host controller, which first checks the
    // alternate setting's isochronous bandwidth against its budget and refuses
    // with STATUS_INSUFFICIENT_RESOURCES / USBD_STATUS_NO_BANDWIDTH when it
    // does not fit.
    NTSTATUS(NTAPI* SelectAlternateSetting)(PVOID Context, UCHAR InterfaceNumber,
                                            UCHAR AlternateSetting, USBD_STATUS* UsbdStatus);

    // Isochronous IN on EndpointAddress for the next PacketCount service
    // intervals (high-speed microframes of 125 us at bInterval 1). The caller
    // sets Packets[i].Offset; the device fills Buffer + Offset with at most the
    // endpoint's bytes per microframe and sets Length and Status. The device's
    // bus time advances by PacketCount microframes. Returns STATUS_SUCCESS when
    // the transfer ran (individual packets may still carry error status),
    // STATUS_DEVICE_NOT_CONNECTED after unplug, STATUS_INVALID_PARAMETER for a
    // pipe that is not streaming or a buffer too small for the packets.
    NTSTATUS(NTAPI* IsochronousIn)(PVOID Context, UCHAR EndpointAddress, ULONG PacketCount,
                                   PUSBD_ISO_PACKET_DESCRIPTOR Packets, PUCHAR Buffer,
                                   ULONG BufferLength);

    // Microframes elapsed on the bus since the device was attached.
    ULONGLONG(NTAPI* GetCurrentMicroframe)(PVOID Context);
} USBBUS_DEVICE_INTERFACE, *PUSBBUS_DEVICE_INTERFACE;
