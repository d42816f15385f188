// Device properties: the property sets the device advertises, the routing of
// property requests by set, the standard video processing amplifier, video
// decoder and video control handlers, and the vendor property set.
//
// Every handler takes the device record and the request block, leaves its
// status in Srb->Status and its answer size in Srb->ActualBytesTransferred,
// and returns the status. Property buffers come from applications: a handler
// reads and writes only inside the buffers the request brought, and reaches
// application memory named by an address only through the caller-memory
// accessors.
#pragma once

#include "driver/DeviceContext.h"
#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/strmini.h"

// ---------------------------------------------------------- property sets ---

// {9E091312-0555-43D8-B9D6-FFC127C93E03}
inline constexpr GUID PROPSETID_PRIVATE_CONTROL =
    DEFINE_GUID_VALUE(0x9E091312, 0x0555, 0x43D8, 0xB9, 0xD6, 0xFF, 0xC1, 0x27, 0xC9, 0x3E, 0x03);

// Decoders 111 to 113 add the video decoder set; the others offer two sets.
#define DEVICE_PROPERTY_SETS_FULL 3
#define DEVICE_PROPERTY_SETS_SHORT 2

// The device property sets for the decoder the device has now; Count
// receives the number of sets.
const KSPROPERTY_SET* GetDevicePropertySets(const DeviceContext* Context, PULONG Count);

// The tables behind it, for whoever needs to look at what is advertised.
extern const KSPROPERTY_SET DevicePropertySetsFull[DEVICE_PROPERTY_SETS_FULL];
extern const KSPROPERTY_SET DevicePropertySetsShort[DEVICE_PROPERTY_SETS_SHORT];

#define VENDOR_PROPERTY_ITEMS 70
extern const KSPROPERTY_ITEM VendorPropertyItems[VENDOR_PROPERTY_ITEMS];

// Routes a device property request by its set: video processing amplifier,
// vendor set, video control, video decoder. Get is TRUE for
// SRB_GET_DEVICE_PROPERTY. A request whose descriptor or property header is
// missing or cut short is refused with STATUS_INVALID_PARAMETER; an unknown
// set with STATUS_NOT_SUPPORTED.
NTSTATUS AdapterPropertyDispatch(BOOLEAN Get, DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);

// ------------------------------------------------------- standard sets ---

NTSTATUS AdapterGetVideoProcAmpProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS AdapterSetVideoProcAmpProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS AdapterGetAnalogVideoDecoderProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS AdapterSetAnalogVideoDecoderProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS AdapterGetVideoControlProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS AdapterSetVideoControlProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);

// The driver's standard number for a KS_AnalogVideo_* value: 1 NTSC, 2 PAL
// (and anything not singled out, combinations included), 3 SECAM, 4 PAL-M,
// 5 PAL-N.
LONG StandardIndexFromAnalogVideoStandard(ULONG Standard);

// 1 while the decoder reports a locked signal (bit 6 of its register 0x1F
// clear), else 0. A read that fails counts as not locked.
ULONG DecoderSignalLocked(DeviceContext* Context);

// What the capabilities get reports.
#define DECODER_STANDARDS_SUPPORTED 0x000FF7F3u
#define DECODER_CAPABILITIES                                                         \
    (KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT | KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING | \
     KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED)
#define DECODER_SETTLING_TIME_MS 170
#define DECODER_HSYNC_PER_VSYNC 6

// -------------------------------------------------------- vendor set ---

// Data layouts of the vendor set.
#define VALUE_RECORD_BYTES 56       // value at byte 24
#define REGISTER_RECORD_BYTES 40    // value at byte 24, register at byte 28
#define TUNER_RECORD_BYTES 56       // frequency at byte 24, mode at byte 28
#define RECORD_VALUE_OFFSET 24
#define RECORD_SECOND_OFFSET 28
#define SOFT_I2C_REQUEST_BYTES 20   // in the application's memory

// The longest software-I2C transfer and sub-address a request may ask for;
// every bit costs several control transfers, and the devices on that bus are
// small.
#define SOFT_I2C_MAX_DATA_BYTES 4096
#define SOFT_I2C_MAX_SUBADDRESS_BYTES 4

// The highest ids with a handler in each direction.
#define VENDOR_LAST_GET_ID 71
#define VENDOR_LAST_SET_ID 72

NTSTATUS GetVendorProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS SetVendorProperty(DeviceContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
