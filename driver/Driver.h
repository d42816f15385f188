// Declarations shared by the adapter frame: entry point, adapter dispatch,
// stream hooks, camera callback tables and the stream formats.
#pragma once

#include "driver/DeviceContext.h"
#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/strmini.h"
#include "platform/usbcamdi.h"
#include "platform/wdm.h"

// Pool tag of everything the driver allocates.
#define DRIVER_POOL_TAG KV_POOL_TAG('W', 'd', 'm', ' ')

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb);
VOID NTAPI StreamControlHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID NTAPI StreamDataHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);

VOID InitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb);
VOID PublishDevicePath(PDEVICE_OBJECT RealPhysicalDeviceObject);
NTSTATUS CompleteInitialization(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS QueryUsbcamdInterface(PDEVICE_OBJECT Target, PVOID Buffer);
NTSTATUS QueryFrameHookInterface(PDEVICE_OBJECT Target, PVOID Buffer);
VOID PowerUpDevice(DeviceContext* Context);
VOID PowerDownDevice(DeviceContext* Context);

// Camera callback tables: version 2 is registered with the class library at
// device start, version 1 travels with every request handed to the library.
extern const USBCAMD_DEVICE_DATA CameraCallbacksV1;
extern const USBCAMD_DEVICE_DATA2 CameraCallbacksV2;

// Stream formats and data intersection.
extern const HW_STREAM_INFORMATION FullStreamDescription;
extern const HW_STREAM_INFORMATION LowBandwidthStreamDescription;
const HW_STREAM_INFORMATION* CurrentStreamDescription(VOID);
VOID SelectStreamDescription(BOOLEAN LowBandwidth);
// The description a device reports: its own mode's once it was initialised,
// the driver-wide one before that.
const HW_STREAM_INFORMATION* StreamDescriptionOf(const DeviceContext* Context);
// Whether the standard index runs 525-line timing (indices outside 1..5 too:
// a capture start turns them into NTSC).
BOOLEAN LineSystemIs525(LONG StandardIndex);
BOOLEAN FormatIsOffered(const KSDATAFORMAT* Format, ULONG StreamNumber);
// The same against the device's own description and the line system in force.
BOOLEAN FormatIsOffered(const DeviceContext* Context, const KSDATAFORMAT* Format, ULONG StreamNumber);
NTSTATUS AdapterDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS ReadFrameRateOverride(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value);

// Registry key shared by the frame-rate override and the snapshot flag.
#define KV3300_KEY_PATH u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300"
