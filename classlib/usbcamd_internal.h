// The USB camera class library's own records and the routines its files
// share. Nothing here is part of the published interface (usbcamdi.h).
//
// Memory layout of one device: the stream class allocates the device
// extension the library asked for at registration, zero-filled. The library's
// per-device record sits at its start, and the camera minidriver's
// DeviceContext follows at a 16-byte boundary, exactly as many bytes as the
// minidriver registered. A DeviceContext pointer therefore leads back to its
// record by a fixed offset, and every routine that takes one checks the
// record's signature before trusting it.
#pragma once

#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/strmini.h"
#include "platform/usb.h"
#include "platform/usbbus.h"
#include "platform/usbcamdi.h"
#include "platform/wdm.h"

// Pool tag of everything the library allocates: "Ucam".
#define USBCAMD_POOL_TAG KV_POOL_TAG('U', 'c', 'a', 'm')

// Streams the library can carry: video (0) and still (1). The stream
// descriptor buffer it asks the stream class for has room for both.
#define USBCAMD_MAX_STREAMS 2
// Pipes of one interface setting; USB allows 30 endpoints besides pipe 0.
#define USBCAMD_MAX_PIPES 32
// Driver objects registered at the same time (one per camera minidriver).
#define USBCAMD_MAX_DRIVERS 8

#define USBCAMD_DEVICE_SIGNATURE KV_POOL_TAG('U', 'c', 'D', 'v')
#define USBCAMD_STREAM_SIGNATURE KV_POOL_TAG('U', 'c', 'S', 't')

// What USBCAMD_DriverEntry was given, per driver object.
struct UsbcamdDriver {
    PVOID driverObject;
    PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket;
    ULONG deviceContextSize;
    ULONG frameContextSize;
    ULONG serial;  // registration order; the newest is the fallback binding
};

struct UsbcamdDevice;

// One open stream; lives in the stream object's HwStreamExtension.
struct UsbcamdStream {
    ULONG signature;
    UsbcamdDevice* device;
    PHW_STREAM_OBJECT streamObject;
    ULONG streamNumber;
    // The camera's hooks, taken from the stream object at open.
    PSTREAM_RECEIVE_PACKET dataHook;
    PSTREAM_RECEIVE_PACKET controlHook;
    KSSTATE state;
    // Pool copy of the current format (FormatSize bytes).
    PKSDATAFORMAT format;
    // Read requests waiting for frames, linked through NextSRB.
    PHW_STREAM_REQUEST_BLOCK readHead;
    PHW_STREAM_REQUEST_BLOCK readTail;
    ULONG readCount;
    // Frame accounting reported by KSPROPERTY_DROPPEDFRAMES_CURRENT.
    LONGLONG pictureNumber;
    LONGLONG dropCount;
};

struct UsbcamdDevice {
    ULONG signature;
    const UsbcamdDriver* driver;
    PVOID deviceContext;

    // From SRB_INITIALIZE_DEVICE: the class device object, the device the
    // bus requests go to (the callbacks' BusDeviceObject) and the real PDO.
    PDEVICE_OBJECT classDeviceObject;
    PDEVICE_OBJECT busDeviceObject;
    PDEVICE_OBJECT realPhysicalDeviceObject;

    // Camera callback tables: version 1 from every hand-over, version 2 from
    // USBCAMD_InitializeNewInterface.
    USBCAMD_DEVICE_DATA deviceData;
    BOOLEAN haveDeviceData;
    USBCAMD_DEVICE_DATA2 deviceData2;
    BOOLEAN haveDeviceData2;
    ULONG camControlFlags;

    // Device state.
    BOOLEAN started;         // SRB_INITIALIZE_DEVICE succeeded, no uninitialize yet
    BOOLEAN camInitialized;  // CamInitialize was called and CamUnInitialize is owed
    DEVICE_POWER_STATE powerState;

    // The USB device.
    USBBUS_DEVICE_INTERFACE bus;
    BOOLEAN busReferenced;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR configDescriptor;  // pool, configDescriptorLength bytes
    ULONG configDescriptorLength;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;  // pool; handed to the configure routine
    PUSBCAMD_Pipe_Config_Descriptor pipeConfig;  // pool, one per pipe
    ULONG pipeCount;
    LONG dataPipeIndex;
    LONG syncPipeIndex;
    UCHAR interfaceNumber;
    UCHAR alternateSetting;
    UCHAR pipeHandles[USBCAMD_MAX_PIPES];  // their addresses serve as pipe handles
    UCHAR interfaceHandle;                 // its address serves as the interface handle

    // Streams as reported at SRB_GET_STREAM_INFO.
    ULONG streamCount;
    HW_STREAM_INFORMATION streamInfo[USBCAMD_MAX_STREAMS];
    UsbcamdStream* streams[USBCAMD_MAX_STREAMS];

    // Kept for the streaming engine: the value of USBCAMD_SetFrameInterval
    // as given (the camera minidriver passes 320 for 29.97 and 390 for 25
    // frames per second), 0 until it is called.
    ULONG frameInterval;
    BOOLEAN isoPipeStopped;  // USBCAMD_SetIsoPipeState(USBCAMD_STOP_STREAM)
    LONG interfaceReferences;  // USBCAMD_INTERFACE copies handed out
};

// The record is padded so the DeviceContext behind it is 16-byte aligned.
#define USBCAMD_DEVICE_RECORD_SIZE ((ULONG)((sizeof(UsbcamdDevice) + 15) & ~(size_t)15))

// ------------------------------------------------------------ records ---
UsbcamdDevice* UsbcamdDeviceFromExtension(PVOID hwDeviceExtension);
// The record of a DeviceContext handed out by the library, or null when the
// pointer does not lead to one.
UsbcamdDevice* UsbcamdDeviceFromContext(PVOID deviceContext);
const UsbcamdDriver* UsbcamdFindDriver(PVOID driverObject);

// ------------------------------------------------------------ completion ---
VOID UsbcamdCompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS status);
VOID UsbcamdCompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS status);

// ------------------------------------------------------------ device start ---
NTSTATUS UsbcamdStartDevice(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
VOID UsbcamdStopDevice(UsbcamdDevice* device);
// Releases what the library holds for the device (descriptors, interface,
// bus reference); the camera callbacks are not called.
VOID UsbcamdReleaseDevice(UsbcamdDevice* device);

// ------------------------------------------------------------ USB helpers ---
NTSTATUS UsbcamdControlTransfer(UsbcamdDevice* device, UCHAR requestType, UCHAR request, USHORT value,
                                USHORT index, PVOID buffer, PULONG length);
// Finds the interface descriptor (interfaceNumber, alternate) in the
// configuration descriptor; null when absent or malformed.
const USB_INTERFACE_DESCRIPTOR* UsbcamdFindInterface(const UsbcamdDevice* device, UCHAR interfaceNumber,
                                                     UCHAR alternate);
// Fills Pipes[0..] of `info` from the endpoints behind `interfaceDescriptor`;
// returns the number of pipes, or -1 when the endpoints are malformed or more
// than `capacity`.
LONG UsbcamdFillPipes(UsbcamdDevice* device, const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                      PUSBD_INTERFACE_INFORMATION info, ULONG capacity);

// ------------------------------------------------------------ streams ---
NTSTATUS UsbcamdGetStreamInfo(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS UsbcamdOpenStream(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS UsbcamdCloseStream(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
// Closes every stream still open (device stop, surprise removal).
VOID UsbcamdCloseAllStreams(UsbcamdDevice* device, NTSTATUS readStatus);
// Ends every queued read of every open stream with `readStatus`.
VOID UsbcamdFlushAllReads(UsbcamdDevice* device, NTSTATUS readStatus);
BOOLEAN UsbcamdAnyStreamRunning(const UsbcamdDevice* device);
VOID STREAMAPI UsbcamdCancelPacket(PHW_STREAM_REQUEST_BLOCK Srb);
VOID STREAMAPI UsbcamdTimeoutHandler(PHW_STREAM_REQUEST_BLOCK Srb);

// ------------------------------------------------------------ bus interface ---
// USBCAMD_SetVideoFormat of the USBCAMD_INTERFACE: TRUE when the stream took
// the format in Srb->CommandData.OpenFormat, else FALSE with Srb->Status set.
NTSTATUS NTAPI UsbcamdSetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
// Answers IRP_MN_QUERY_INTERFACE for GUID_USBCAMD_INTERFACE; other IRPs are
// left alone with STATUS_NOT_SUPPORTED.
NTSTATUS UsbcamdUnknownDeviceCommand(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
