// The per-device record. The class library allocates it zero-filled with the
// size the driver registers at load and hands it to every callback; the driver
// keeps no per-device state anywhere else.
#pragma once

#include "platform/ntdef.h"
#include "platform/usb.h"
#include "platform/usbcamdi.h"
#include "platform/wdm.h"
#include "platform/zelpipe.h"

// Size registered with the class library. The record must fit in it on every
// target; the i386 layout check and a static assertion below guard that.
#define DEVICE_CONTEXT_REGISTERED_SIZE 648
// The class library's per-frame record; the driver never touches it.
#define FRAME_CONTEXT_REGISTERED_SIZE 12

// "INTE", written at every configure.
#define DEVICE_CONTEXT_SIGNATURE 0x45544E49u

// Decoder type codes.
#define DECODER_TYPE_NONE 0
#define DECODER_TYPE_88 110    // decoder at I2C address 0x88
#define DECODER_TYPE_4A 111    // decoder at I2C address 0x4A
#define DECODER_TYPE_5150 113  // the 5150 decoder at 0xBA, the default

// The driver's own standard numbers.
#define STANDARD_INDEX_NTSC 1
#define STANDARD_INDEX_PAL 2
#define STANDARD_INDEX_SECAM 3
#define STANDARD_INDEX_PAL_M 4
#define STANDARD_INDEX_PAL_N 5

#define FIELD_RING_SLOTS 4
#define FIELD_BUFFER_BYTES 442368u  // 768 x 288 YUYV pixels

typedef struct _FrameContext {
    ULONG reserved[3];
} FrameContext;

typedef struct _DeviceContext {
    ULONG signature;
    PUSBD_INTERFACE_INFORMATION interfaceInfo;
    ULONG outputFourcc;
    LONG frameWidth;
    LONG frameHeight;
    ULONG alternateSettingIndex;
    UCHAR bandwidthReduced;

    // Stored settings; -1 while not loaded.
    LONG brightness;
    LONG contrast;
    LONG saturation;
    LONG hue;
    LONG gamma;
    LONG sharpness;
    LONG whiteBalance;
    LONG videoStandard;

    ULONG streamCount;
    UCHAR streamOpened;
    USBCAMD_INTERFACE usbcamdInterface;  // Version 0: not available
    PDEVICE_OBJECT classDeviceObject;
    PDEVICE_OBJECT physicalDeviceObject;

    LONG mirror;
    LONG flip;
    LONG aeOn;
    LONG aeLevel;
    LONG whitePoint;
    LONG quality;
    LONG lowLight;
    LONG highLight;
    LONG lightFlicker;

    ULONG initTimestamp;
    ULONG frameTimingEnabled;
    LONG standardIndex;
    LONG inputConf;
    LONG inputChannel;
    LONG qltSpdMode;

    UCHAR snapshotPending;
    UCHAR snapshotReport;
    FRAME_HOOK_INTERFACE frameHook;  // Version 0: not available

    LONG decoderType;
    LONG detectedDecoderType;
    USHORT i2cReadLatchRegister;
    USHORT i2cReadLatchValue;
    USHORT bridgeReadLatchRegister;
    USHORT bridgeReadLatchValue;
    USHORT highBandwidth;

    ULONG frameByteCount;
    ULONG frameDataSize;
    PPL_HANDLE pipelineHandle;
    PUCHAR fieldRing[FIELD_RING_SLOTS];
    ULONG fieldCounter;
    USHORT savedScalerRegs[3];
    ULONG fieldHeaderCount;
    USHORT currentI2cAddress;
    USHORT decoderI2cAddress;

    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    USB_CONFIGURATION_DESCRIPTOR configDescriptorHeader;
    // Directly behind the configuration descriptor header; nothing writes it,
    // so the descriptor vendor request reads zeros here.
    UCHAR descriptorTail[4];

    // Between capture start and stop: power-up restores the running format's
    // window and standard, which the decoder's start-up table replaces.
    UCHAR captureRunning;
    // Bits 0-6 of bridge register 0x000 as the bit-driven bus found them at
    // the start of its operation; its clock writes keep them.
    USHORT softBusControlBits;
    // Set once this capture run has stored a full-height frame: only then
    // does the ring hold a previous second field of this run.
    BOOLEAN previousFieldValid;
    // One bit per stored setting, in save order ("VideoStandard" last): set
    // when the last load could not tell what the registry holds (a failed
    // key open or read). A save of all values skips these, so that a
    // transient failure never replaces what the user stored.
    ULONG settingsUnread;
} DeviceContext, *PDeviceContext;

static_assert(sizeof(DeviceContext) <= DEVICE_CONTEXT_REGISTERED_SIZE,
              "DeviceContext must fit in the size registered with the class library");
static_assert(sizeof(FrameContext) == FRAME_CONTEXT_REGISTERED_SIZE, "FrameContext is 12 bytes");
