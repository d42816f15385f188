// The camera callbacks of the capture path: initialisation and teardown,
// configuration, bandwidth, start and stop, packet parsing and raw-frame
// conversion.
#pragma once

#include "driver/DeviceContext.h"
#include "platform/usbcamdi.h"

NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID Context);
NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID Context);

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                            PLONG SyncPipeIndex);
NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PULONG RawFrameLength,
                                    PVOID Format);
NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PULONG RawFrameLength,
                                      PVOID Format, ULONG StreamNumber);
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID Context);
NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber);
NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID Context);
NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber);
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID Context);
NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, ULONG StreamNumber);
NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID Context);

// Alternate-setting rows tried at bandwidth allocation, from the start row down.
#define ALTERNATE_SETTING_ROWS 5
typedef struct _AlternateSettingRow {
    UCHAR alternateSetting;
    ULONG frameInterval;  // 100 ns units, reported as the current frame rate
} AlternateSettingRow;
extern const AlternateSettingRow AlternateSettingTable[ALTERNATE_SETTING_ROWS + 1];  // by row 1..5

// Raw frame payloads (without the 6 header bytes).
#define RAW_FRAME_HEADER_BYTES 6
#define PAYLOAD_LOW_BANDWIDTH 28512u  // two fields of 162 x 44
#define PAYLOAD_720 829440u           // 720 x 576 x 2
#define PAYLOAD_704 811008u           // 704 x 576 x 2
#define PAYLOAD_640 614400u           // 640 x 480 x 2

ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                  PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset);
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                                PBOOLEAN NextFrameIsStill);
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID Context, PVOID FrameContext,
                                         PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                         ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned,
                                         ULONG ActualRawFrameLength, ULONG StreamNumber);

// Converts a raw frame's two fields into FrameBuffer and keeps its second
// field in the field ring for the next frame (the first field's slot is
// passed over; the counter still advances by two). Source is the raw frame
// after its 6 header bytes, SourceLength the bytes the buffer holds there and
// DataLength the bytes the packets filled (it tells where field 2 starts when
// the fields are longer than the lines kept). The raw frame is read in place;
// a padded format blackens the four lines behind field 1 during the call and
// restores them before it returns. Returns FALSE, with the ring untouched,
// when nothing was converted (unknown geometry, a raw frame or output buffer
// too small for it, or an output size larger than the fields the current
// standard gives).
BOOLEAN ConvertRawFrame(DeviceContext* Context, PUCHAR Source, ULONG SourceLength, ULONG DataLength,
                        PUCHAR FrameBuffer, ULONG FrameLength, ULONG Fourcc);
VOID PadField(PUCHAR Field, ULONG Width);
VOID BlackenLeftEdge(ULONG Fourcc, PUCHAR FrameBuffer, ULONG Rows);
VOID ReportSnapshot(VOID);

// Low-bandwidth converters: the first 162 x 44 field to 160 x 120.
#define SMALL_FIELD_WIDTH 162
#define SMALL_FIELD_LINES 44
#define SMALL_FIELD_LINE_BYTES (SMALL_FIELD_WIDTH * 2)
#define SMALL_FIELD_BYTES (SMALL_FIELD_LINE_BYTES * SMALL_FIELD_LINES)
VOID SmallYuy2Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output);
VOID SmallI420Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output);
VOID SmallRgb24Converter(const DeviceContext* Context, const UCHAR* Field, PUCHAR Output);
VOID BuildColourTables(VOID);
// Driver-wide colour tables, 16.16 fixed point.
extern LONG blueFromU[256];
extern LONG greenFromU[256];
extern LONG greenFromV[256];
extern LONG redFromV[256];
// Driver-wide snapshot and colour-table state.
extern BOOLEAN buttonArmed;
extern BOOLEAN tablesPending;
