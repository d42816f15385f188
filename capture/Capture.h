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
