// The USB camera class library (USBCAMD 2 interface, library file
// KvCamd20.SYS) as a camera minidriver sees it: the camera callback tables
// and their routine types, the bus interface the library answers on the class
// device object, the library's exports, and the optional frame-hook interface
// answered by a driver attached above the class device object.
//
// Every routine and callback is NTAPI (stdcall on i386). The two exports
// USBCAMD_SetFrameInterval and USBCAMD_DescriptorLength are this library's
// own additions to the published set.
#pragma once

#include "ksmedia.h"
#include "ntdef.h"
#include "strmini.h"
#include "usb.h"
#include "wdm.h"

// ---------------------------------------------------------------- constants ---

#define USBCAMD_VERSION_200 0x200

// CamControlFlag of USBCAMD_InitializeNewInterface.
typedef enum {
    USBCAMD_CamControlFlag_NoVideoRawProcessing = 0x1,
    USBCAMD_CamControlFlag_NoStillRawProcessing = 0x2,
    USBCAMD_CamControlFlag_AssociatedFormat = 0x4,
    USBCAMD_CamControlFlag_EnableDeviceEvents = 0x8,
} USBCAMD_CamControlFlags;

// USBCAMD_Pipe_Config_Descriptor.PipeConfigFlags
#define USBCAMD_DATA_PIPE 0x0001
#define USBCAMD_MULTIPLEX_PIPE 0x0002
#define USBCAMD_SYNC_PIPE 0x0004
#define USBCAMD_DONT_CARE_PIPE 0x0008

// USBCAMD_Pipe_Config_Descriptor.StreamAssociation
#define USBCAMD_VIDEO_STREAM 0x1
#define USBCAMD_STILL_STREAM 0x2
#define USBCAMD_VIDEO_STILL_STREAM (USBCAMD_VIDEO_STREAM | USBCAMD_STILL_STREAM)

// *PacketFlag out of CamProcessUSBPacketEx.
#define USBCAMD_PROCESSPACKETEX_DropFrame 0x0002
#define USBCAMD_PROCESSPACKETEX_NextFrameIsStill 0x0004
#define USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill 0x0008

// PipeStateFlags of USBCAMD_SetIsoPipeState.
#define USBCAMD_START_STREAM 0x00000000
#define USBCAMD_STOP_STREAM 0x00000001

// The library writes this into the first ULONG of the output frame buffer
// before the raw-frame callback and treats it, still there afterwards, as
// "nothing was copied".
#define USBCAMD_FRAME_BUFFER_UNTOUCHED 0xDEADBEEF

// One entry per pipe of the interface; CamConfigureEx fills them.
typedef struct _pipe_config_descriptor {
    CHAR StreamAssociation;  // USBCAMD_*_STREAM
    UCHAR PipeConfigFlags;   // USBCAMD_*_PIPE
} USBCAMD_Pipe_Config_Descriptor, *PUSBCAMD_Pipe_Config_Descriptor;

// ------------------------------------------------------- library callbacks ---
// BusDeviceObject is the device object the library was given by the USB
// stack; DeviceContext is the zero-filled per-device block of the size
// registered with USBCAMD_DriverEntry; FrameContext the per-frame block.
// The packet and new-frame routines run where blocking is not allowed
// (DISPATCH_LEVEL); the others at PASSIVE_LEVEL.

typedef NTSTATUS(NTAPI* PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext, NTSTATUS NtStatus);

// Stream hook kept from the stream object's ReceiveDataPacket /
// ReceiveControlPacket at stream open. When the hook sets *Completed to TRUE
// it has completed the request; FALSE leaves the request to the library.
typedef VOID(NTAPI* PSTREAM_RECEIVE_PACKET)(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);

typedef VOID(NTAPI* PADAPTER_RECEIVE_PACKET_ROUTINE)(PHW_STREAM_REQUEST_BLOCK Srb);

typedef NTSTATUS(NTAPI* PCAM_INITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                PUSBD_INTERFACE_INFORMATION Interface,
                                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                PLONG DataPipeIndex, PLONG SyncPipeIndex);

typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                   PUSBD_INTERFACE_INFORMATION Interface,
                                                   PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   ULONG PipeConfigListSize,
                                                   PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                                                   PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);

typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                       ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                      ULONG StreamNumber);

// Format is the KS_DATAFORMAT_VIDEOINFOHEADER of the stream; *RawFrameLength
// receives the size of the raw frame buffer the library must gather.
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                  PULONG RawFrameLength, PVOID Format);
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                     PULONG RawFrameLength, PVOID Format, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                 ULONG StreamNumber);

// Returns how many bytes of the data packet to copy into the raw frame.
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                  PVOID CurrentFrameContext,
                                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                                  PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill);

// As above; the copy starts *ValidDataOffset bytes into the packet, and
// *PacketFlag carries USBCAMD_PROCESSPACKETEX_* bits.
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                     PVOID CurrentFrameContext,
                                                     PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                                     PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                                     PBOOLEAN FrameComplete, PULONG PacketFlag,
                                                     PULONG ValidDataOffset);

typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE)(PVOID DeviceContext, PVOID FrameContext);
// *FrameLength may only be lowered.
typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE_EX)(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber,
                                              PULONG FrameLength);

// *BytesReturned is the size of the converted frame; 0 on any error.
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                        PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                                        PVOID RawFrameBuffer, ULONG RawFrameLength,
                                                        ULONG NumberOfPackets, PULONG BytesReturned);
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                           PVOID FrameContext, PVOID FrameBuffer,
                                                           ULONG FrameLength, PVOID RawFrameBuffer,
                                                           ULONG RawFrameLength, ULONG NumberOfPackets,
                                                           PULONG BytesReturned, ULONG ActualRawFrameLength,
                                                           ULONG StreamNumber);

typedef NTSTATUS(NTAPI* PCAM_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Version-1 table: the DeviceData argument of USBCAMD_AdapterReceivePacket.
typedef struct _USBCAMD_DEVICE_DATA {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE CamProcessUSBPacket;
    PCAM_NEW_FRAME_ROUTINE CamNewVideoFrame;
    PCAM_PROCESS_RAW_FRAME_ROUTINE CamProcessRawVideoFrame;
    PCAM_START_CAPTURE_ROUTINE CamStartCapture;
    PCAM_STOP_CAPTURE_ROUTINE CamStopCapture;
    PCAM_CONFIGURE_ROUTINE CamConfigure;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE CamAllocateBandwidth;
    PCAM_FREE_BW_ROUTINE CamFreeBandwidth;
} USBCAMD_DEVICE_DATA, *PUSBCAMD_DEVICE_DATA;

// Version-2 table, registered with USBCAMD_InitializeNewInterface. Same slots
// as version 1, with the stream-aware routine types.
typedef struct _USBCAMD_DEVICE_DATA2 {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE_EX CamProcessUSBPacketEx;
    PCAM_NEW_FRAME_ROUTINE_EX CamNewVideoFrameEx;
    PCAM_PROCESS_RAW_FRAME_ROUTINE_EX CamProcessRawVideoFrameEx;
    PCAM_START_CAPTURE_ROUTINE_EX CamStartCaptureEx;
    PCAM_STOP_CAPTURE_ROUTINE_EX CamStopCaptureEx;
    PCAM_CONFIGURE_ROUTINE_EX CamConfigureEx;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE_EX CamAllocateBandwidthEx;
    PCAM_FREE_BW_ROUTINE_EX CamFreeBandwidthEx;
} USBCAMD_DEVICE_DATA2, *PUSBCAMD_DEVICE_DATA2;

// ----------------------------------------------- the library's bus interface ---
// Answered to IRP_MN_QUERY_INTERFACE on the class device object
// (InterfaceType GUID_USBCAMD_INTERFACE, Size sizeof(USBCAMD_INTERFACE),
// Version USBCAMD_VERSION_200), after SRB_INITIALIZATION_COMPLETE, at
// PASSIVE_LEVEL.

// {2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}
inline constexpr GUID GUID_USBCAMD_INTERFACE =
    DEFINE_GUID_VALUE(0x2BCB75C0, 0xB27F, 0x11D1, 0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05);

typedef NTSTATUS(NTAPI* PFNUSBCAMD_WaitOnDeviceEvent)(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer,
                                                      ULONG BufferLength, PCOMMAND_COMPLETE_FUNCTION EventComplete,
                                                      PVOID EventContext, BOOLEAN LoopBack);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_BulkReadWrite)(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer,
                                                  ULONG BufferLength, PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                                  PVOID CommandContext);
// Declared NTSTATUS but answers TRUE (1) when the library took the new format
// in Srb->CommandData.OpenFormat and FALSE (0) when it did not (the reason is
// then in Srb->Status).
typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetVideoFormat)(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK pSrb);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetIsoPipeState)(PVOID DeviceContext, ULONG PipeStateFlags);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_CancelBulkReadWrite)(PVOID DeviceContext, ULONG PipeIndex);

typedef struct _USBCAMD_INTERFACE {
    INTERFACE Interface;
    PFNUSBCAMD_WaitOnDeviceEvent USBCAMD_WaitOnDeviceEvent;
    PFNUSBCAMD_BulkReadWrite USBCAMD_BulkReadWrite;
    PFNUSBCAMD_SetVideoFormat USBCAMD_SetVideoFormat;
    PFNUSBCAMD_SetIsoPipeState USBCAMD_SetIsoPipeState;
    PFNUSBCAMD_CancelBulkReadWrite USBCAMD_CancelBulkReadWrite;
} USBCAMD_INTERFACE, *PUSBCAMD_INTERFACE;

// ---------------------------------------------------------- library exports ---

extern "C" {

// Registers the camera minidriver with the library (and, through it, with
// the stream class). Returns an NTSTATUS. Context1 and Context2 are the
// driver object and registry path of DriverEntry.
ULONG NTAPI USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize, ULONG FrameContextSize,
                                PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket);

// Returns the DeviceContext of the request's device. With NeedsCompletion
// TRUE the library also handles and completes the request, using DeviceData
// and storing the bus device object in *DeviceObject when that is non-null;
// with FALSE nothing else happens and DeviceData / DeviceObject are ignored.
PVOID NTAPI USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                         PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion);

// Registers a USBCAMD_DEVICE_DATA2 table while SRB_INITIALIZE_DEVICE is being
// handled. Returns USBCAMD_VERSION_200.
ULONG NTAPI USBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version,
                                           ULONG CamControlFlag);

// One vendor request on the default pipe. GetData TRUE reads from the device.
// *BufferLength holds the buffer size on entry and the bytes moved on return.
// At PASSIVE_LEVEL the call is synchronous; above it, it is queued, returns
// STATUS_PENDING and reports through CommandComplete.
NTSTATUS NTAPI USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                            PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                            PCOMMAND_COMPLETE_FUNCTION CommandComplete, PVOID CommandContext);

// Selects RequestInterface->AlternateSetting and fills the pipe information
// of RequestInterface (Length and NumberOfPipes must describe the buffer).
// Not while a stream is running.
NTSTATUS NTAPI USBCAMD_SelectAlternateInterface(PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION RequestInterface);

// KeyNameStringLength in characters, DataLength in bytes.
NTSTATUS NTAPI USBCAMD_GetRegistryKeyValue(HANDLE Handle, PWCHAR KeyNameString, ULONG KeyNameStringLength,
                                           PVOID Data, ULONG DataLength);

// This library's own calls. SetFrameInterval takes the value the camera
// minidriver derives from the video standard (320 for 29.97 frames per
// second, 390 for 25) and keeps it until the next call; its result carries no
// information. DescriptorLength reports a length by which the minidriver
// picks its operating mode (99 or 195: low-bandwidth).
ULONG NTAPI USBCAMD_SetFrameInterval(PVOID DeviceContext, ULONG Interval);
ULONG NTAPI USBCAMD_DescriptorLength(PVOID DeviceContext);

}  // extern "C"

// -------------------------------------------------------- frame hook interface ---
// An optional bus interface answered by a driver attached directly above the
// class device object (its AttachedDevice). The camera minidriver queries it
// once, at SRB_INITIALIZATION_COMPLETE, with IRP_MN_QUERY_INTERFACE
// (InterfaceType GUID_FRAME_HOOK_INTERFACE, Size sizeof(FRAME_HOOK_INTERFACE),
// Version FRAME_HOOK_INTERFACE_VERSION) and treats it as present when
// FrameHookSetFormat, the first routine, is non-null. The routines take no
// context argument; the provider keeps its own state.
//
// Calls, all from the capture path at PASSIVE_LEVEL:
// - FrameHookSetFormat, once per bandwidth allocation (capture start), with a
//   pointer to a copy of the stream's 40-byte bitmap header; the copy lives
//   only for the call.
// - FrameHookWantsFrame, after every converted frame; a result of exactly 1
//   asks for that frame.
// - FrameHookDeliverFrame, then, with the converted output frame buffer and a
//   reserved value of 0; the buffer belongs to the class library and is only
//   valid during the call.
// Nothing the provider returns from the first and the third call is read.

// {F2C9EB34-8292-42EA-9527-1676B88255B5}
inline constexpr GUID GUID_FRAME_HOOK_INTERFACE =
    DEFINE_GUID_VALUE(0xF2C9EB34, 0x8292, 0x42EA, 0x95, 0x27, 0x16, 0x76, 0xB8, 0x82, 0x55, 0xB5);
#define FRAME_HOOK_INTERFACE_VERSION 100

typedef VOID(NTAPI* PFN_FRAME_HOOK_SET_FORMAT)(PKS_BITMAPINFOHEADER BitmapHeader);
typedef ULONG(NTAPI* PFN_FRAME_HOOK_WANTS_FRAME)(VOID);
typedef VOID(NTAPI* PFN_FRAME_HOOK_DELIVER_FRAME)(PVOID FrameBuffer, ULONG Reserved);

typedef struct _FRAME_HOOK_INTERFACE {
    INTERFACE Interface;
    PFN_FRAME_HOOK_SET_FORMAT FrameHookSetFormat;
    PFN_FRAME_HOOK_WANTS_FRAME FrameHookWantsFrame;
    PFN_FRAME_HOOK_DELIVER_FRAME FrameHookDeliverFrame;
} FRAME_HOOK_INTERFACE, *PFRAME_HOOK_INTERFACE;

// --------------------------------------------------------- layout checks ---

static_assert(sizeof(USBCAMD_Pipe_Config_Descriptor) == 2, "USBCAMD_Pipe_Config_Descriptor");
#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(USBCAMD_DEVICE_DATA) == 104 && sizeof(USBCAMD_DEVICE_DATA2) == 104,
              "USBCAMD_DEVICE_DATA(2) (64-bit)");
static_assert(sizeof(USBCAMD_INTERFACE) == 72 && offsetof(USBCAMD_INTERFACE, USBCAMD_SetIsoPipeState) == 56,
              "USBCAMD_INTERFACE (64-bit)");
static_assert(sizeof(FRAME_HOOK_INTERFACE) == 56 && offsetof(FRAME_HOOK_INTERFACE, FrameHookSetFormat) == 32,
              "FRAME_HOOK_INTERFACE (64-bit)");
#endif
