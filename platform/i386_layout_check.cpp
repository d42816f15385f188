// Compiled only by the i386 compiler (scripts/check-i386-layout.sh): pins the
// 32-bit layout of every record that the driver exchanges with the kernel,
// the stream class, the USB stack and the class library, and the calling
// convention of every routine type that crosses a module boundary. A record
// that drifts from the kernel's layout, or a callback typedef that loses its
// stdcall convention, stops the compilation here instead of corrupting memory
// or the stack at run time.
#if !defined(__i386__)
#error "this unit checks the i386 layout; compile it with the i386 compiler"
#endif

#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/ntdef.h"
#include "platform/strmini.h"
#include "platform/usb.h"
#include "platform/usbcamdi.h"
#include "platform/wdm.h"
#include "platform/zelpipe.h"

#if __has_include("driver/DeviceContext.h")
#include "driver/DeviceContext.h"
#define KV_HAVE_DEVICE_CONTEXT 1
#endif

#define SIZE_IS(type, size) static_assert(sizeof(type) == (size), #type " must be " #size " bytes on i386")
#define ALIGN_IS(type, align) static_assert(alignof(type) == (align), #type " must be " #align "-aligned on i386")
#define OFFSET_IS(type, field, off) \
    static_assert(offsetof(type, field) == (off), #type "." #field " must be at offset " #off " on i386")

// ------------------------------------------------------------ basic types ---

SIZE_IS(ULONG, 4);
SIZE_IS(LONG, 4);
SIZE_IS(WCHAR, 2);
SIZE_IS(BOOL, 4);
SIZE_IS(BOOLEAN, 1);
SIZE_IS(PVOID, 4);
SIZE_IS(LONGLONG, 8);
ALIGN_IS(LONGLONG, 8);
SIZE_IS(LARGE_INTEGER, 8);
ALIGN_IS(LARGE_INTEGER, 8);
SIZE_IS(GUID, 16);
ALIGN_IS(GUID, 4);
SIZE_IS(UNICODE_STRING, 8);
OFFSET_IS(UNICODE_STRING, Buffer, 4);

// ---------------------------------------------------------- kernel records ---

SIZE_IS(INTERFACE, 16);
OFFSET_IS(INTERFACE, Version, 2);
OFFSET_IS(INTERFACE, Context, 4);
OFFSET_IS(INTERFACE, InterfaceDereference, 12);
SIZE_IS(DEVICE_POWER_STATE, 4);
SIZE_IS(POOL_TYPE, 4);
SIZE_IS(IO_STATUS_BLOCK, 8);
OFFSET_IS(IO_STATUS_BLOCK, Information, 4);
SIZE_IS(KEVENT, 16);

// The interface queries build an IRP and fill its next stack location by hand.
SIZE_IS(IRP, 112);
OFFSET_IS(IRP, IoStatus, 24);
OFFSET_IS(IRP, StackCount, 34);
OFFSET_IS(IRP, CurrentLocation, 35);
OFFSET_IS(IRP, Tail.Overlay.CurrentStackLocation, 96);
SIZE_IS(IO_STACK_LOCATION, 36);
OFFSET_IS(IO_STACK_LOCATION, MinorFunction, 1);
OFFSET_IS(IO_STACK_LOCATION, Parameters, 4);
OFFSET_IS(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceType, 4);
OFFSET_IS(IO_STACK_LOCATION, Parameters.QueryInterface.Size, 8);
OFFSET_IS(IO_STACK_LOCATION, Parameters.QueryInterface.Version, 10);
OFFSET_IS(IO_STACK_LOCATION, Parameters.QueryInterface.Interface, 12);
OFFSET_IS(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData, 16);
OFFSET_IS(IO_STACK_LOCATION, DeviceObject, 20);
OFFSET_IS(IO_STACK_LOCATION, Context, 32);

// The frame-hook query goes to the device attached above the class device.
SIZE_IS(DEVICE_OBJECT, 184);
OFFSET_IS(DEVICE_OBJECT, DriverObject, 8);
OFFSET_IS(DEVICE_OBJECT, NextDevice, 12);
OFFSET_IS(DEVICE_OBJECT, AttachedDevice, 16);
OFFSET_IS(DEVICE_OBJECT, Flags, 28);
OFFSET_IS(DEVICE_OBJECT, DeviceExtension, 40);
OFFSET_IS(DEVICE_OBJECT, StackSize, 48);
SIZE_IS(DRIVER_OBJECT, 168);

// Registry records: a partial-information answer's data starts at offset 12,
// not at sizeof (16).
SIZE_IS(KEY_VALUE_PARTIAL_INFORMATION, 16);
OFFSET_IS(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8);
OFFSET_IS(KEY_VALUE_PARTIAL_INFORMATION, Data, 12);
SIZE_IS(KEY_VALUE_FULL_INFORMATION, 24);
OFFSET_IS(KEY_VALUE_FULL_INFORMATION, Name, 20);
SIZE_IS(RTL_QUERY_REGISTRY_TABLE, 28);
OFFSET_IS(RTL_QUERY_REGISTRY_TABLE, EntryContext, 12);
OFFSET_IS(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 24);

// ------------------------------------------------------------- stream class ---

SIZE_IS(SRB_COMMAND, 4);
SIZE_IS(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, 4);
SIZE_IS(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, 4);

SIZE_IS(HW_STREAM_REQUEST_BLOCK, 76);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, Command, 4);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, Status, 8);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, StreamObject, 12);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, HwDeviceExtension, 16);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, SRBExtension, 20);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, CommandData, 24);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, NumberOfBuffers, 28);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, NextSRB, 40);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, Irp, 44);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, Flags, 48);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, HwInstanceExtension, 52);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, ActualBytesTransferred, 56);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, NumberOfBytesToTransfer, 56);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, ScatterGatherBuffer, 60);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, NumberOfScatterGatherElements, 68);
OFFSET_IS(HW_STREAM_REQUEST_BLOCK, Reserved, 72);
static_assert(sizeof(((HW_STREAM_REQUEST_BLOCK*)0)->CommandData) == 4, "CommandData is one pointer-sized slot");

SIZE_IS(HW_STREAM_HEADER, 40);
OFFSET_IS(HW_STREAM_HEADER, SizeOfHwStreamInformation, 4);
OFFSET_IS(HW_STREAM_HEADER, NumDevPropArrayEntries, 8);
OFFSET_IS(HW_STREAM_HEADER, DevicePropertiesArray, 12);
OFFSET_IS(HW_STREAM_HEADER, Topology, 24);
OFFSET_IS(HW_STREAM_HEADER, DeviceMethodsArray, 36);

SIZE_IS(HW_STREAM_INFORMATION, 80);
OFFSET_IS(HW_STREAM_INFORMATION, DataFlow, 4);
OFFSET_IS(HW_STREAM_INFORMATION, DataAccessible, 8);
OFFSET_IS(HW_STREAM_INFORMATION, NumberOfFormatArrayEntries, 12);
OFFSET_IS(HW_STREAM_INFORMATION, StreamFormatsArray, 16);
OFFSET_IS(HW_STREAM_INFORMATION, ClassReserved, 20);
OFFSET_IS(HW_STREAM_INFORMATION, NumStreamPropArrayEntries, 36);
OFFSET_IS(HW_STREAM_INFORMATION, StreamPropertiesArray, 40);
OFFSET_IS(HW_STREAM_INFORMATION, StreamEventsArray, 48);
OFFSET_IS(HW_STREAM_INFORMATION, Category, 52);
OFFSET_IS(HW_STREAM_INFORMATION, Name, 56);
OFFSET_IS(HW_STREAM_INFORMATION, MediumsCount, 60);
OFFSET_IS(HW_STREAM_INFORMATION, Mediums, 64);
OFFSET_IS(HW_STREAM_INFORMATION, BridgeStream, 68);
OFFSET_IS(HW_STREAM_INFORMATION, Reserved, 72);

SIZE_IS(HW_STREAM_DESCRIPTOR, 120);
OFFSET_IS(HW_STREAM_DESCRIPTOR, StreamInfo, 40);

SIZE_IS(HW_CLOCK_OBJECT, 16);
SIZE_IS(HW_STREAM_OBJECT, 68);
OFFSET_IS(HW_STREAM_OBJECT, StreamNumber, 4);
OFFSET_IS(HW_STREAM_OBJECT, HwStreamExtension, 8);
OFFSET_IS(HW_STREAM_OBJECT, ReceiveDataPacket, 12);
OFFSET_IS(HW_STREAM_OBJECT, ReceiveControlPacket, 16);
OFFSET_IS(HW_STREAM_OBJECT, HwClockObject, 20);
OFFSET_IS(HW_STREAM_OBJECT, Dma, 36);
OFFSET_IS(HW_STREAM_OBJECT, Pio, 37);
OFFSET_IS(HW_STREAM_OBJECT, HwDeviceExtension, 40);
OFFSET_IS(HW_STREAM_OBJECT, Allocator, 52);
OFFSET_IS(HW_STREAM_OBJECT, HwEventRoutine, 56);

SIZE_IS(PORT_CONFIGURATION_INFORMATION, 72);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, HwDeviceExtension, 4);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, ClassDeviceObject, 8);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, PhysicalDeviceObject, 12);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, AdapterInterfaceType, 20);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, InterruptMode, 32);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, StreamDescriptorSize, 48);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, Irp, 52);
OFFSET_IS(PORT_CONFIGURATION_INFORMATION, RealPhysicalDeviceObject, 64);

SIZE_IS(STREAM_PROPERTY_DESCRIPTOR, 20);
OFFSET_IS(STREAM_PROPERTY_DESCRIPTOR, PropertySetID, 4);
OFFSET_IS(STREAM_PROPERTY_DESCRIPTOR, PropertyInfo, 8);
OFFSET_IS(STREAM_PROPERTY_DESCRIPTOR, PropertyInputSize, 12);
OFFSET_IS(STREAM_PROPERTY_DESCRIPTOR, PropertyOutputSize, 16);

SIZE_IS(STREAM_DATA_INTERSECT_INFO, 16);
OFFSET_IS(STREAM_DATA_INTERSECT_INFO, DataRange, 4);
OFFSET_IS(STREAM_DATA_INTERSECT_INFO, DataFormatBuffer, 8);
OFFSET_IS(STREAM_DATA_INTERSECT_INFO, SizeOfDataFormatBuffer, 12);

SIZE_IS(HW_INITIALIZATION_DATA, 60);
OFFSET_IS(HW_INITIALIZATION_DATA, StreamClassVersion, 2);
OFFSET_IS(HW_INITIALIZATION_DATA, HwReceivePacket, 8);
OFFSET_IS(HW_INITIALIZATION_DATA, DeviceExtensionSize, 20);
OFFSET_IS(HW_INITIALIZATION_DATA, FilterInstanceExtensionSize, 32);
OFFSET_IS(HW_INITIALIZATION_DATA, BusMasterDMA, 36);
OFFSET_IS(HW_INITIALIZATION_DATA, BufferAlignment, 40);
OFFSET_IS(HW_INITIALIZATION_DATA, TurnOffSynchronization, 44);
OFFSET_IS(HW_INITIALIZATION_DATA, DmaBufferSize, 48);
OFFSET_IS(HW_INITIALIZATION_DATA, NameExtensionArray, 56);

SIZE_IS(KSSCATTER_GATHER, 16);
SIZE_IS(HW_EVENT_DESCRIPTOR, 28);
SIZE_IS(HW_TIME_CONTEXT, 32);
SIZE_IS(STREAM_TIME_REFERENCE, 32);
SIZE_IS(ACCESS_RANGE, 24);

// ------------------------------------------------------- kernel streaming ---

SIZE_IS(KSSTATE, 4);
SIZE_IS(KSPIN_DATAFLOW, 4);

SIZE_IS(KSIDENTIFIER, 24);
ALIGN_IS(KSIDENTIFIER, 8);
OFFSET_IS(KSIDENTIFIER, Id, 16);
OFFSET_IS(KSIDENTIFIER, Flags, 20);
SIZE_IS(KSPIN_MEDIUM, 24);

SIZE_IS(KSPROPERTY_ITEM, 40);
OFFSET_IS(KSPROPERTY_ITEM, GetSupported, 4);
OFFSET_IS(KSPROPERTY_ITEM, MinProperty, 8);
OFFSET_IS(KSPROPERTY_ITEM, MinData, 12);
OFFSET_IS(KSPROPERTY_ITEM, SetSupported, 16);
OFFSET_IS(KSPROPERTY_ITEM, Values, 20);
OFFSET_IS(KSPROPERTY_ITEM, RelationsCount, 24);
OFFSET_IS(KSPROPERTY_ITEM, Relations, 28);
OFFSET_IS(KSPROPERTY_ITEM, SupportHandler, 32);
OFFSET_IS(KSPROPERTY_ITEM, SerializedSize, 36);

SIZE_IS(KSPROPERTY_SET, 20);
OFFSET_IS(KSPROPERTY_SET, PropertiesCount, 4);
OFFSET_IS(KSPROPERTY_SET, PropertyItem, 8);
OFFSET_IS(KSPROPERTY_SET, FastIoTable, 16);

SIZE_IS(KSPROPERTY_VALUES, 32);
ALIGN_IS(KSPROPERTY_VALUES, 8);
OFFSET_IS(KSPROPERTY_VALUES, MembersListCount, 24);
OFFSET_IS(KSPROPERTY_VALUES, MembersList, 28);

SIZE_IS(KSPROPERTY_MEMBERSLIST, 20);
OFFSET_IS(KSPROPERTY_MEMBERSLIST, Members, 16);
SIZE_IS(KSPROPERTY_MEMBERSHEADER, 16);
SIZE_IS(KSPROPERTY_STEPPING_LONG, 16);
OFFSET_IS(KSPROPERTY_STEPPING_LONG, Bounds, 8);
SIZE_IS(KSPROPERTY_BOUNDS_LONG, 8);
SIZE_IS(KSPROPERTY_DESCRIPTION, 40);
ALIGN_IS(KSPROPERTY_DESCRIPTION, 8);
OFFSET_IS(KSPROPERTY_DESCRIPTION, PropTypeSet, 8);
OFFSET_IS(KSPROPERTY_DESCRIPTION, MembersListCount, 32);

SIZE_IS(KSEVENT_SET, 12);
SIZE_IS(KSMETHOD_SET, 20);
SIZE_IS(KSTOPOLOGY, 32);

SIZE_IS(KSDATAFORMAT, 64);
ALIGN_IS(KSDATAFORMAT, 8);
OFFSET_IS(KSDATAFORMAT, SampleSize, 8);
OFFSET_IS(KSDATAFORMAT, MajorFormat, 16);
OFFSET_IS(KSDATAFORMAT, SubFormat, 32);
OFFSET_IS(KSDATAFORMAT, Specifier, 48);

SIZE_IS(KSMULTIPLE_ITEM, 8);
SIZE_IS(KSALLOCATOR_FRAMING, 24);
OFFSET_IS(KSALLOCATOR_FRAMING, FrameSize, 12);
SIZE_IS(KSTIME, 16);
ALIGN_IS(KSTIME, 8);

SIZE_IS(KSSTREAM_HEADER, 48);
ALIGN_IS(KSSTREAM_HEADER, 8);
OFFSET_IS(KSSTREAM_HEADER, PresentationTime, 8);
OFFSET_IS(KSSTREAM_HEADER, Duration, 24);
OFFSET_IS(KSSTREAM_HEADER, FrameExtent, 32);
OFFSET_IS(KSSTREAM_HEADER, DataUsed, 36);
OFFSET_IS(KSSTREAM_HEADER, Data, 40);
OFFSET_IS(KSSTREAM_HEADER, OptionsFlags, 44);

// ------------------------------------------------------------ video records ---

SIZE_IS(KS_AnalogVideoStandard, 4);
SIZE_IS(KS_BITMAPINFOHEADER, 40);
OFFSET_IS(KS_BITMAPINFOHEADER, biBitCount, 14);
OFFSET_IS(KS_BITMAPINFOHEADER, biCompression, 16);
OFFSET_IS(KS_BITMAPINFOHEADER, biSizeImage, 20);

SIZE_IS(KS_VIDEOINFOHEADER, 88);
ALIGN_IS(KS_VIDEOINFOHEADER, 8);
OFFSET_IS(KS_VIDEOINFOHEADER, dwBitRate, 32);
OFFSET_IS(KS_VIDEOINFOHEADER, AvgTimePerFrame, 40);
OFFSET_IS(KS_VIDEOINFOHEADER, bmiHeader, 48);

SIZE_IS(KS_DATAFORMAT_VIDEOINFOHEADER, 152);
OFFSET_IS(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader, 64);

SIZE_IS(KS_VIDEO_STREAM_CONFIG_CAPS, 128);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, VideoStandard, 16);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, InputSize, 20);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, CropGranularityX, 44);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, MinOutputSize, 60);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY, 96);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval, 104);  // 4-byte hole at 100
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval, 112);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond, 120);
OFFSET_IS(KS_VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond, 124);

SIZE_IS(KS_DATARANGE_VIDEO, 296);
OFFSET_IS(KS_DATARANGE_VIDEO, bFixedSizeSamples, 64);
OFFSET_IS(KS_DATARANGE_VIDEO, bTemporalCompression, 68);
OFFSET_IS(KS_DATARANGE_VIDEO, StreamDescriptionFlags, 72);
OFFSET_IS(KS_DATARANGE_VIDEO, MemoryAllocationFlags, 76);
OFFSET_IS(KS_DATARANGE_VIDEO, ConfigCaps, 80);
OFFSET_IS(KS_DATARANGE_VIDEO, VideoInfoHeader, 208);

SIZE_IS(KS_FRAME_INFO, 64);
OFFSET_IS(KS_FRAME_INFO, PictureNumber, 8);
OFFSET_IS(KS_FRAME_INFO, DropCount, 16);
OFFSET_IS(KS_FRAME_INFO, hDirectDraw, 24);
OFFSET_IS(KS_FRAME_INFO, DirectDrawRect, 32);
OFFSET_IS(KS_FRAME_INFO, Reserved4, 60);

// ----------------------------------------------------- property payloads ---

SIZE_IS(KSPROPERTY_VIDEOPROCAMP_S, 40);
OFFSET_IS(KSPROPERTY_VIDEOPROCAMP_S, Value, 24);
OFFSET_IS(KSPROPERTY_VIDEOPROCAMP_S, Flags, 28);
OFFSET_IS(KSPROPERTY_VIDEOPROCAMP_S, Capabilities, 32);

SIZE_IS(KSPROPERTY_VIDEODECODER_CAPS_S, 40);
OFFSET_IS(KSPROPERTY_VIDEODECODER_CAPS_S, StandardsSupported, 24);
OFFSET_IS(KSPROPERTY_VIDEODECODER_CAPS_S, HSyncPerVSync, 36);
SIZE_IS(KSPROPERTY_VIDEODECODER_S, 32);
OFFSET_IS(KSPROPERTY_VIDEODECODER_S, Value, 24);
SIZE_IS(KSPROPERTY_VIDEODECODER_STATUS_S, 32);
OFFSET_IS(KSPROPERTY_VIDEODECODER_STATUS_S, SignalLocked, 28);

SIZE_IS(KSPROPERTY_VIDEOCONTROL_CAPS_S, 32);
OFFSET_IS(KSPROPERTY_VIDEOCONTROL_CAPS_S, VideoControlCaps, 28);
SIZE_IS(KSPROPERTY_VIDEOCONTROL_MODE_S, 32);
OFFSET_IS(KSPROPERTY_VIDEOCONTROL_MODE_S, Mode, 28);
SIZE_IS(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, 56);
OFFSET_IS(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, Dimensions, 32);
OFFSET_IS(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate, 40);
OFFSET_IS(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentMaxAvailableFrameRate, 48);
SIZE_IS(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, 40);

SIZE_IS(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, 48);
OFFSET_IS(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, PictureNumber, 24);
OFFSET_IS(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, DropCount, 32);
OFFSET_IS(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, AverageFrameSize, 40);

// ---------------------------------------------------------------------- USB ---

SIZE_IS(USBD_PIPE_TYPE, 4);
SIZE_IS(USBD_PIPE_INFORMATION, 20);
OFFSET_IS(USBD_PIPE_INFORMATION, EndpointAddress, 2);
OFFSET_IS(USBD_PIPE_INFORMATION, PipeType, 4);
OFFSET_IS(USBD_PIPE_INFORMATION, PipeHandle, 8);
OFFSET_IS(USBD_PIPE_INFORMATION, MaximumTransferSize, 12);
OFFSET_IS(USBD_PIPE_INFORMATION, PipeFlags, 16);

SIZE_IS(USBD_INTERFACE_INFORMATION, 36);
OFFSET_IS(USBD_INTERFACE_INFORMATION, AlternateSetting, 3);
OFFSET_IS(USBD_INTERFACE_INFORMATION, InterfaceHandle, 8);
OFFSET_IS(USBD_INTERFACE_INFORMATION, NumberOfPipes, 12);
OFFSET_IS(USBD_INTERFACE_INFORMATION, Pipes, 16);
static_assert(GET_USBD_INTERFACE_SIZE(2) == 56, "an interface with two pipes is 16 + 2 x 20 bytes");

SIZE_IS(USBD_ISO_PACKET_DESCRIPTOR, 12);
OFFSET_IS(USBD_ISO_PACKET_DESCRIPTOR, Status, 8);

SIZE_IS(struct _URB_HEADER, 16);
OFFSET_IS(struct _URB_HEADER, Function, 2);
OFFSET_IS(struct _URB_HEADER, Status, 4);
OFFSET_IS(struct _URB_HEADER, UsbdFlags, 12);
SIZE_IS(struct _URB_HCD_AREA, 32);
SIZE_IS(URB, 96);
SIZE_IS(struct _URB_SELECT_CONFIGURATION, 60);
OFFSET_IS(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor, 16);
OFFSET_IS(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 20);
OFFSET_IS(struct _URB_SELECT_CONFIGURATION, Interface, 24);
SIZE_IS(struct _URB_SELECT_INTERFACE, 56);
OFFSET_IS(struct _URB_SELECT_INTERFACE, ConfigurationHandle, 16);
OFFSET_IS(struct _URB_SELECT_INTERFACE, Interface, 20);
SIZE_IS(struct _URB_PIPE_REQUEST, 24);
OFFSET_IS(struct _URB_PIPE_REQUEST, PipeHandle, 16);
SIZE_IS(struct _URB_GET_CURRENT_FRAME_NUMBER, 20);
SIZE_IS(struct _URB_CONTROL_TRANSFER, 80);
OFFSET_IS(struct _URB_CONTROL_TRANSFER, TransferBufferLength, 24);
OFFSET_IS(struct _URB_CONTROL_TRANSFER, hca, 40);
OFFSET_IS(struct _URB_CONTROL_TRANSFER, SetupPacket, 72);
SIZE_IS(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 80);
OFFSET_IS(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer, 28);
OFFSET_IS(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 74);
OFFSET_IS(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 75);
OFFSET_IS(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 76);
SIZE_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 80);
OFFSET_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags, 20);
OFFSET_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 72);
OFFSET_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request, 73);
OFFSET_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value, 74);
OFFSET_IS(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index, 76);
SIZE_IS(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 72);
SIZE_IS(struct _URB_ISOCH_TRANSFER, 96);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, PipeHandle, 16);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, TransferBuffer, 28);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, StartFrame, 72);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, NumberOfPackets, 76);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, ErrorCount, 80);
OFFSET_IS(struct _URB_ISOCH_TRANSFER, IsoPacket, 84);
static_assert(GET_ISO_URB_SIZE(32) == 84 + 12 * 32, "an isochronous request is 84 bytes and 12 per packet");
SIZE_IS(USBD_INTERFACE_LIST_ENTRY, 8);
OFFSET_IS(USBD_INTERFACE_LIST_ENTRY, Interface, 4);
OFFSET_IS(IO_STACK_LOCATION, Parameters.Others.Argument1, 4);
OFFSET_IS(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 12);
OFFSET_IS(IO_STACK_LOCATION, CompletionRoutine, 28);
OFFSET_IS(IRP, IoStatus, 24);
OFFSET_IS(IRP, StackCount, 34);
OFFSET_IS(IRP, CurrentLocation, 35);
OFFSET_IS(IRP, Cancel, 36);
OFFSET_IS(IRP, CancelRoutine, 56);
OFFSET_IS(IRP, Tail.Overlay.CurrentStackLocation, 96);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "the submit code is CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS)");

SIZE_IS(USB_DEVICE_DESCRIPTOR, 18);
ALIGN_IS(USB_DEVICE_DESCRIPTOR, 1);
OFFSET_IS(USB_DEVICE_DESCRIPTOR, idVendor, 8);
OFFSET_IS(USB_DEVICE_DESCRIPTOR, bNumConfigurations, 17);
SIZE_IS(USB_CONFIGURATION_DESCRIPTOR, 9);
OFFSET_IS(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2);
SIZE_IS(USB_INTERFACE_DESCRIPTOR, 9);
SIZE_IS(USB_ENDPOINT_DESCRIPTOR, 7);
OFFSET_IS(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize, 4);
SIZE_IS(USB_DEFAULT_PIPE_SETUP_PACKET, 8);

// ------------------------------------------------------------ class library ---

SIZE_IS(USBCAMD_Pipe_Config_Descriptor, 2);
SIZE_IS(USBCAMD_DEVICE_DATA, 52);
OFFSET_IS(USBCAMD_DEVICE_DATA, CamProcessUSBPacket, 12);
OFFSET_IS(USBCAMD_DEVICE_DATA, CamProcessRawVideoFrame, 20);
OFFSET_IS(USBCAMD_DEVICE_DATA, CamConfigure, 32);
OFFSET_IS(USBCAMD_DEVICE_DATA, CamFreeBandwidth, 48);
SIZE_IS(USBCAMD_DEVICE_DATA2, 52);
OFFSET_IS(USBCAMD_DEVICE_DATA2, CamProcessUSBPacketEx, 12);
OFFSET_IS(USBCAMD_DEVICE_DATA2, CamProcessRawVideoFrameEx, 20);
OFFSET_IS(USBCAMD_DEVICE_DATA2, CamConfigureEx, 32);
OFFSET_IS(USBCAMD_DEVICE_DATA2, CamAllocateBandwidthEx, 44);
OFFSET_IS(USBCAMD_DEVICE_DATA2, CamFreeBandwidthEx, 48);

SIZE_IS(USBCAMD_INTERFACE, 36);
OFFSET_IS(USBCAMD_INTERFACE, USBCAMD_WaitOnDeviceEvent, 16);
OFFSET_IS(USBCAMD_INTERFACE, USBCAMD_SetVideoFormat, 24);
OFFSET_IS(USBCAMD_INTERFACE, USBCAMD_SetIsoPipeState, 28);  // the eighth 32-bit word
OFFSET_IS(USBCAMD_INTERFACE, USBCAMD_CancelBulkReadWrite, 32);

SIZE_IS(FRAME_HOOK_INTERFACE, 28);
OFFSET_IS(FRAME_HOOK_INTERFACE, FrameHookSetFormat, 16);  // the fifth 32-bit word
OFFSET_IS(FRAME_HOOK_INTERFACE, FrameHookWantsFrame, 20);
OFFSET_IS(FRAME_HOOK_INTERFACE, FrameHookDeliverFrame, 24);

// ------------------------------------------- floating-point state saves ---
SIZE_IS(KFLOATING_SAVE, 32);
SIZE_IS(XSTATE_CONTEXT, 32);
SIZE_IS(XSTATE_SAVE, 32);
ALIGN_IS(XSTATE_SAVE, 8);
OFFSET_IS(XSTATE_CONTEXT, Area, 16);
OFFSET_IS(XSTATE_CONTEXT, Buffer, 24);

// ------------------------------------------------------------ driver record ---

#if defined(KV_HAVE_DEVICE_CONTEXT)
static_assert(sizeof(DeviceContext) <= 648, "DeviceContext must fit in the 648 bytes registered with the library");
SIZE_IS(FrameContext, 12);
#endif

// ------------------------------------------------------ calling conventions ---
// Each stand-in below has the convention the other module uses. Initialising
// a pointer of the header's type with it fails to compile when the header's
// convention differs (GCC refuses to convert between stdcall and cdecl
// function pointers), which on i386 would unbalance the stack at every call.

#define KV_STDCALL __attribute__((stdcall))
#define KV_CDECL __attribute__((cdecl))

namespace conventions {

// Routines the minidriver exports or stores for others to call.
VOID KV_STDCALL ReceiveSrb(PHW_STREAM_REQUEST_BLOCK);
VOID KV_STDCALL StreamHook(PVOID, PVOID, PBOOLEAN);
NTSTATUS KV_STDCALL CamState(PDEVICE_OBJECT, PVOID);
NTSTATUS KV_STDCALL CamStream(PDEVICE_OBJECT, PVOID, ULONG);
NTSTATUS KV_STDCALL CamConfigure(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION, PUSB_CONFIGURATION_DESCRIPTOR,
                                 PLONG, PLONG);
NTSTATUS KV_STDCALL CamConfigureEx(PDEVICE_OBJECT, PVOID, PUSBD_INTERFACE_INFORMATION,
                                   PUSB_CONFIGURATION_DESCRIPTOR, ULONG, PUSBCAMD_Pipe_Config_Descriptor,
                                   PUSB_DEVICE_DESCRIPTOR);
NTSTATUS KV_STDCALL CamAllocate(PDEVICE_OBJECT, PVOID, PULONG, PVOID);
NTSTATUS KV_STDCALL CamAllocateEx(PDEVICE_OBJECT, PVOID, PULONG, PVOID, ULONG);
ULONG KV_STDCALL CamPacket(PDEVICE_OBJECT, PVOID, PVOID, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                           PUSBD_ISO_PACKET_DESCRIPTOR, PVOID, PBOOLEAN, PBOOLEAN);
ULONG KV_STDCALL CamPacketEx(PDEVICE_OBJECT, PVOID, PVOID, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                             PUSBD_ISO_PACKET_DESCRIPTOR, PVOID, PBOOLEAN, PULONG, PULONG);
VOID KV_STDCALL CamNewFrame(PVOID, PVOID);
VOID KV_STDCALL CamNewFrameEx(PVOID, PVOID, ULONG, PULONG);
NTSTATUS KV_STDCALL CamRawFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG, PULONG);
NTSTATUS KV_STDCALL CamRawFrameEx(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG, PULONG, ULONG,
                                  ULONG);
NTSTATUS KV_STDCALL CommandComplete(PVOID, PVOID, NTSTATUS);

constexpr PHW_RECEIVE_DEVICE_SRB receiveDevice = &ReceiveSrb;
constexpr PHW_RECEIVE_STREAM_DATA_SRB receiveData = &ReceiveSrb;
constexpr PHW_RECEIVE_STREAM_CONTROL_SRB receiveControl = &ReceiveSrb;
constexpr PADAPTER_RECEIVE_PACKET_ROUTINE adapterReceive = &ReceiveSrb;
constexpr PSTREAM_RECEIVE_PACKET streamHook = &StreamHook;
constexpr PCAM_INITIALIZE_ROUTINE initialize = &CamState;
constexpr PCAM_STATE_ROUTINE state = &CamState;
constexpr PCAM_START_CAPTURE_ROUTINE start = &CamState;
constexpr PCAM_STOP_CAPTURE_ROUTINE stop = &CamState;
constexpr PCAM_FREE_BW_ROUTINE freeBandwidth = &CamState;
constexpr PCAM_START_CAPTURE_ROUTINE_EX startEx = &CamStream;
constexpr PCAM_STOP_CAPTURE_ROUTINE_EX stopEx = &CamStream;
constexpr PCAM_FREE_BW_ROUTINE_EX freeBandwidthEx = &CamStream;
constexpr PCAM_CONFIGURE_ROUTINE configure = &CamConfigure;
constexpr PCAM_CONFIGURE_ROUTINE_EX configureEx = &CamConfigureEx;
constexpr PCAM_ALLOCATE_BW_ROUTINE allocate = &CamAllocate;
constexpr PCAM_ALLOCATE_BW_ROUTINE_EX allocateEx = &CamAllocateEx;
constexpr PCAM_PROCESS_PACKET_ROUTINE packet = &CamPacket;
constexpr PCAM_PROCESS_PACKET_ROUTINE_EX packetEx = &CamPacketEx;
constexpr PCAM_NEW_FRAME_ROUTINE newFrame = &CamNewFrame;
constexpr PCAM_NEW_FRAME_ROUTINE_EX newFrameEx = &CamNewFrameEx;
constexpr PCAM_PROCESS_RAW_FRAME_ROUTINE rawFrame = &CamRawFrame;
constexpr PCAM_PROCESS_RAW_FRAME_ROUTINE_EX rawFrameEx = &CamRawFrameEx;
constexpr PCOMMAND_COMPLETE_FUNCTION commandComplete = &CommandComplete;

// Routines of other modules that the minidriver calls.
constexpr VOID(KV_CDECL* deviceNotification)(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, PVOID, ...) =
    &StreamClassDeviceNotification;
constexpr VOID(KV_CDECL* streamNotification)(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, PHW_STREAM_OBJECT, ...) =
    &StreamClassStreamNotification;
constexpr NTSTATUS(KV_STDCALL* registerFilter)(PDEVICE_OBJECT, const GUID*, ULONG, BOOL*, KSPIN_MEDIUM*, GUID*) =
    &StreamClassRegisterFilterWithNoKSPins;
constexpr NTSTATUS(KV_STDCALL* registerAdapter)(PVOID, PVOID, PHW_INITIALIZATION_DATA) = &StreamClassRegisterAdapter;

constexpr ULONG(KV_STDCALL* driverEntry)(PVOID, PVOID, ULONG, ULONG, PADAPTER_RECEIVE_PACKET_ROUTINE) =
    &USBCAMD_DriverEntry;
constexpr PVOID(KV_STDCALL* adapterReceivePacket)(PHW_STREAM_REQUEST_BLOCK, PUSBCAMD_DEVICE_DATA, PDEVICE_OBJECT*,
                                                  BOOLEAN) = &USBCAMD_AdapterReceivePacket;
constexpr ULONG(KV_STDCALL* initializeNewInterface)(PVOID, PVOID, ULONG, ULONG) = &USBCAMD_InitializeNewInterface;
constexpr NTSTATUS(KV_STDCALL* controlVendorCommand)(PVOID, UCHAR, USHORT, USHORT, PVOID, PULONG, BOOLEAN,
                                                     PCOMMAND_COMPLETE_FUNCTION, PVOID) = &USBCAMD_ControlVendorCommand;
constexpr NTSTATUS(KV_STDCALL* selectAlternateInterface)(PVOID, PUSBD_INTERFACE_INFORMATION) =
    &USBCAMD_SelectAlternateInterface;
constexpr NTSTATUS(KV_STDCALL* getRegistryKeyValue)(HANDLE, PWCHAR, ULONG, PVOID, ULONG) = &USBCAMD_GetRegistryKeyValue;
constexpr ULONG(KV_STDCALL* setFrameInterval)(PVOID, ULONG) = &USBCAMD_SetFrameInterval;
constexpr ULONG(KV_STDCALL* descriptorLength)(PVOID) = &USBCAMD_DescriptorLength;

// The USB stack's exports the class library imports.
constexpr PUSB_INTERFACE_DESCRIPTOR(KV_STDCALL* parseConfiguration)(PUSB_CONFIGURATION_DESCRIPTOR, PVOID, LONG, LONG,
                                                                   LONG, LONG, LONG) =
    &USBD_ParseConfigurationDescriptorEx;
constexpr PURB(KV_STDCALL* createConfigurationRequest)(PUSB_CONFIGURATION_DESCRIPTOR, PUSBD_INTERFACE_LIST_ENTRY) =
    &USBD_CreateConfigurationRequestEx;

// Bus-interface routines reached through copied interface records.
constexpr NTSTATUS(KV_STDCALL* setVideoFormat)(PVOID, PHW_STREAM_REQUEST_BLOCK) =
    (PFNUSBCAMD_SetVideoFormat) nullptr;
constexpr NTSTATUS(KV_STDCALL* setIsoPipeState)(PVOID, ULONG) = (PFNUSBCAMD_SetIsoPipeState) nullptr;
constexpr VOID(KV_STDCALL* hookSetFormat)(PKS_BITMAPINFOHEADER) = (PFN_FRAME_HOOK_SET_FORMAT) nullptr;
constexpr ULONG(KV_STDCALL* hookWantsFrame)(VOID) = (PFN_FRAME_HOOK_WANTS_FRAME) nullptr;
constexpr VOID(KV_STDCALL* hookDeliverFrame)(PVOID, ULONG) = (PFN_FRAME_HOOK_DELIVER_FRAME) nullptr;

}  // namespace conventions

// ------------------------------------------------------- constant GUIDs ---
// Referenced here so that the object file the check script inspects holds
// them: none may need a constructor at load time (nothing runs constructors
// in a kernel-mode image).

extern const GUID* const kPlatformGuids[];
const GUID* const kPlatformGuids[] = {
    &GUID_NULL,
    &KSPROPTYPESETID_General,
    &KSPROPSETID_General,
    &KSPROPSETID_Connection,
    &KSMEDIUMSETID_Standard,
    &KSCATEGORY_CAPTURE,
    &KSDATAFORMAT_SPECIFIER_NONE,
    &KSDATAFORMAT_TYPE_WILDCARD,
    &KSDATAFORMAT_SUBTYPE_WILDCARD,
    &KSDATAFORMAT_SPECIFIER_WILDCARD,
    &KSDATAFORMAT_TYPE_VIDEO,
    &KSDATAFORMAT_SPECIFIER_VIDEOINFO,
    &MEDIASUBTYPE_YUY2,
    &MEDIASUBTYPE_I420,
    &MEDIASUBTYPE_IYUV,
    &MEDIASUBTYPE_RGB24,
    &PINNAME_VIDEO_CAPTURE,
    &PINNAME_VIDEO_PREVIEW,
    &KSCATEGORY_VIDEO,
    &KSCATEGORY_TVTUNER,
    &PROPSETID_VIDCAP_VIDEOPROCAMP,
    &PROPSETID_VIDCAP_VIDEODECODER,
    &PROPSETID_VIDCAP_VIDEOCONTROL,
    &PROPSETID_VIDCAP_DROPPEDFRAMES,
    &GUID_USBCAMD_INTERFACE,
    &GUID_FRAME_HOOK_INTERFACE,
};
