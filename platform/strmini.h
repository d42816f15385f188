// The stream class as a minidriver sees it: request blocks and their command
// codes, the stream and device descriptions handed back at
// SRB_GET_STREAM_INFO, the port configuration of SRB_INITIALIZE_DEVICE,
// property and intersection descriptors, the registration record, and the
// stream class routines.
//
// Records keep the published field names, order and layout; the i386 sizes
// are pinned by the i386 layout check, and the 64-bit sizes (every pointer
// 8 bytes, ULONG still 4) by static assertions at the end of this file.
#pragma once

#include "ks.h"
#include "ntdef.h"
#include "wdm.h"

// The stream class's cdecl routines take a variable argument list; everything
// else it exports or calls back is STREAMAPI (stdcall on i386).
#if defined(__i386__)
#define STREAM_CDECL __attribute__((cdecl))
#else
#define STREAM_CDECL
#endif

// --------------------------------------- bus and interrupt resource types ---
// Only PORT_CONFIGURATION_INFORMATION refers to these; a USB minidriver has no
// interrupt, access ranges or DMA adapter and leaves them zero.

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE : LONG {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    PCIBus = 5,
    PNPBus = 15,
    MaximumInterfaceType = 18,
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE : LONG {
    LevelSensitive = 0,
    Latched = 1,
} KINTERRUPT_MODE;

typedef struct _KINTERRUPT* PKINTERRUPT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

typedef PHYSICAL_ADDRESS STREAM_PHYSICAL_ADDRESS, *PSTREAM_PHYSICAL_ADDRESS;
typedef ULONGLONG STREAM_SYSTEM_TIME, *PSTREAM_SYSTEM_TIME;
typedef ULONGLONG STREAM_TIMESTAMP, *PSTREAM_TIMESTAMP;

// ------------------------------------------------------------------ clocks ---

typedef enum {
    TIME_GET_STREAM_TIME = 0,
    TIME_READ_ONBOARD_CLOCK = 1,
    TIME_SET_ONBOARD_CLOCK = 2,
} TIME_FUNCTION;

typedef struct _HW_TIME_CONTEXT {
    struct _HW_DEVICE_EXTENSION* HwDeviceExtension;
    struct _HW_STREAM_OBJECT* HwStreamObject;
    TIME_FUNCTION Function;
    ULONGLONG Time;
    ULONGLONG SystemTime;
} HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;

typedef struct _STREAM_TIME_REFERENCE {
    STREAM_TIMESTAMP CurrentOnboardClockValue;
    LARGE_INTEGER OnboardClockFrequency;
    LARGE_INTEGER CurrentSystemTime;
    ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

// ------------------------------------------------------------------ events ---

typedef struct _HW_EVENT_DESCRIPTOR {
    BOOLEAN Enable;
    PKSEVENT_ENTRY EventEntry;
    PKSEVENTDATA EventData;
    union {
        struct _HW_STREAM_OBJECT* StreamObject;
        struct _HW_DEVICE_EXTENSION* DeviceExtension;
    };
    ULONG EnableEventSetIndex;
    PVOID HwInstanceExtension;
    ULONG Reserved;
} HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;

// ---------------------------------------------------------- routine types ---

struct _HW_STREAM_REQUEST_BLOCK;

typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(PHW_EVENT_DESCRIPTOR EventDescriptor);
typedef VOID(STREAMAPI* PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);

typedef VOID(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef VOID(STREAMAPI* PHW_CANCEL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef VOID(STREAMAPI* PHW_REQUEST_TIMEOUT_HANDLER)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef BOOLEAN(STREAMAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef VOID(STREAMAPI* PHW_TIMER_ROUTINE)(PVOID Context);
typedef VOID(STREAMAPI* PHW_PRIORITY_ROUTINE)(PVOID Context);
typedef VOID(STREAMAPI* PHW_QUERY_CLOCK_ROUTINE)(PHW_TIME_CONTEXT TimeContext);
typedef BOOLEAN(STREAMAPI* PHW_RESET_ADAPTER)(PVOID DeviceExtension);

// ---------------------------------------------------------- stream objects ---

#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK 0x1
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x2
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x4

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

// One open stream. The minidriver fills ReceiveDataPacket and
// ReceiveControlPacket at SRB_OPEN_STREAM; under the USB camera class
// library those two slots carry the camera's stream hooks instead, which the
// library calls with three arguments (see PSTREAM_RECEIVE_PACKET in
// usbcamdi.h).
typedef struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

// ------------------------------------------------ device and stream layout ---

typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    PKSPROPERTY_SET DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PKSEVENT_SET DeviceEventsArray;
    PKSTOPOLOGY Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    PKSDATAFORMAT* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    PKSPROPERTY_SET StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PKSEVENT_SET StreamEventsArray;
    GUID* Category;
    GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

// The buffer of SRB_GET_STREAM_INFO: one header, then NumberOfStreams
// information records (StreamInfo is the first of them; the array goes on
// past the end of this record).
typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

// ------------------------------------------------ request-block payloads ---

// SRB_GET_DATA_INTERSECTION. A size query comes with SizeOfDataFormatBuffer 0.
typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

// SRB_GET/SET_DEVICE_PROPERTY and the stream property requests.
// PropertySetID is the index of the set in the array the minidriver published,
// not a GUID; Property->Set carries the GUID.
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;        // data buffer, in and out
    ULONG PropertyInputSize;   // bytes at Property
    ULONG PropertyOutputSize;  // bytes at PropertyInfo
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef struct _STREAM_METHOD_DESCRIPTOR {
    ULONG MethodSetID;
    PKSMETHOD Method;
    PVOID MethodInfo;
    LONG MethodInputSize;
    LONG MethodOutputSize;
} STREAM_METHOD_DESCRIPTOR, *PSTREAM_METHOD_DESCRIPTOR;

typedef struct _ACCESS_RANGE {
    STREAM_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
    ULONG Reserved;
} ACCESS_RANGE, *PACCESS_RANGE;

// SRB_INITIALIZE_DEVICE. ClassDeviceObject is the device object the stream
// class created for the minidriver; PhysicalDeviceObject is the one it sends
// requests down to; RealPhysicalDeviceObject is the bus's physical device
// object. The minidriver sets StreamDescriptorSize.
typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PACCESS_RANGE AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PKINTERRUPT InterruptObject;
    PADAPTER_OBJECT DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

typedef struct {
    PHYSICAL_ADDRESS PhysicalAddress;
    ULONG Length;
} KSSCATTER_GATHER, *PKSSCATTER_GATHER;

// ----------------------------------------------------------- request blocks ---

// Codes below 0x100 reach a stream's ReceiveDataPacket / ReceiveControlPacket;
// codes from 0x100 on reach the adapter routine. Any 32-bit value may arrive
// in Command, so the type is a full ULONG.
typedef enum _SRB_COMMAND : ULONG {
    SRB_READ_DATA = 0x00,
    SRB_WRITE_DATA = 0x01,
    SRB_GET_STREAM_STATE = 0x02,
    SRB_SET_STREAM_STATE = 0x03,
    SRB_SET_STREAM_PROPERTY = 0x04,
    SRB_GET_STREAM_PROPERTY = 0x05,
    SRB_OPEN_MASTER_CLOCK = 0x06,
    SRB_INDICATE_MASTER_CLOCK = 0x07,
    SRB_UNKNOWN_STREAM_COMMAND = 0x08,
    SRB_SET_STREAM_RATE = 0x09,
    SRB_PROPOSE_DATA_FORMAT = 0x0A,
    SRB_CLOSE_MASTER_CLOCK = 0x0B,
    SRB_PROPOSE_STREAM_RATE = 0x0C,
    SRB_SET_DATA_FORMAT = 0x0D,
    SRB_GET_DATA_FORMAT = 0x0E,
    SRB_BEGIN_FLUSH = 0x0F,
    SRB_END_FLUSH = 0x10,

    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
    SRB_DEVICE_METHOD = 0x10F,
    SRB_STREAM_METHOD = 0x110,
    SRB_NOTIFY_IDLE_STATE = 0x111,
} SRB_COMMAND;

// Flags: which entry point received the request (neither bit: the adapter).
#define SRB_HW_FLAGS_DATA_TRANSFER 0x01
#define SRB_HW_FLAGS_STREAM_REQUEST 0x02

// CommandData member by command:
//   SRB_READ_DATA, SRB_WRITE_DATA          DataBufferArray (NumberOfBuffers headers)
//   SRB_GET_STREAM_INFO                    StreamBuffer
//   SRB_GET/SET_STREAM_STATE               StreamState
//   SRB_GET/SET_DEVICE_PROPERTY,
//   SRB_GET/SET_STREAM_PROPERTY            PropertyInfo
//   SRB_OPEN_STREAM, SRB_PROPOSE_DATA_FORMAT,
//   SRB_SET_DATA_FORMAT                    OpenFormat
//   SRB_INITIALIZE_DEVICE                  ConfigInfo
//   SRB_CHANGE_POWER_STATE                 DeviceState
//   SRB_GET_DATA_INTERSECTION              IntersectInfo
// Property handlers report their answer size in ActualBytesTransferred.
typedef struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;

    union _CommandData {
        PKSSTREAM_HEADER DataBufferArray;
        PHW_STREAM_DESCRIPTOR StreamBuffer;
        KSSTATE StreamState;
        PSTREAM_TIME_REFERENCE TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
        PVOID MethodInfo;
        LONG FilterTypeIndex;
        BOOLEAN Idle;
    } CommandData;

    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    struct _HW_STREAM_REQUEST_BLOCK* NextSRB;

    PIRP Irp;
    ULONG Flags;  // SRB_HW_FLAGS_*
    PVOID HwInstanceExtension;

    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };

    PKSSCATTER_GATHER ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

// ------------------------------------------------------------- notifications ---

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE : ULONG {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest = 1,
    HardwareStarved = 2,
    StreamRequestComplete = 3,
    SignalMultipleStreamEvents = 4,
    SignalStreamEvent = 5,
    DeleteStreamEvent = 6,
    StreamNotificationMaximum = 7,
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE : ULONG {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete = 1,
    SignalMultipleDeviceEvents = 2,
    SignalDeviceEvent = 3,
    DeleteDeviceEvent = 4,
    SignalMultipleDeviceInstanceEvents = 5,
    DeviceNotificationMaximum = 6,
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

// ------------------------------------------------------------ registration ---

#define STREAM_CLASS_VERSION_20 0x0200

typedef struct _HW_INITIALIZATION_DATA {
    union {
        ULONG HwInitializationDataSize;
        struct {
            USHORT SizeOfThisPacket;
            USHORT StreamClassVersion;  // STREAM_CLASS_VERSION_20
        };
    };
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;
    ULONG PerRequestExtensionSize;
    ULONG PerStreamExtensionSize;
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment;
    BOOLEAN TurnOffSynchronization;
    ULONG DmaBufferSize;
    ULONG NumNameExtensions;
    PWCHAR* NameExtensionArray;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// ---------------------------------------------------------------- routines ---

extern "C" {

// Variable argument lists, caller pops. For DeviceRequestComplete the third
// argument is the PHW_STREAM_REQUEST_BLOCK being completed; for
// ReadyForNextDeviceRequest there is none.
VOID STREAM_CDECL StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                                PVOID HwDeviceExtension, ...);

// For StreamRequestComplete the third argument is the request block; for
// ReadyForNextStreamDataRequest / ReadyForNextStreamControlRequest there is
// none.
VOID STREAM_CDECL StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                                PHW_STREAM_OBJECT StreamObject, ...);

// Argument1 and Argument2 are the driver object and registry path that
// DriverEntry received.
NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                              PHW_INITIALIZATION_DATA HwInitializationData);
#define StreamClassRegisterMinidriver StreamClassRegisterAdapter

// Registers a filter that has no kernel-streaming pins of its own (such as a
// tuner described only by its pin mediums) under InterfaceClassGUID for the
// physical device object. PinDirection has PinCount 4-byte entries, TRUE for
// an output pin; MediumList has PinCount mediums; CategoryList is optional.
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                         const GUID* InterfaceClassGUID, ULONG PinCount,
                                                         BOOL* PinDirection, KSPIN_MEDIUM* MediumList,
                                                         GUID* CategoryList);

}  // extern "C"

// --------------------------------------------------------- layout checks ---
// i386 sizes are checked by the i386 layout check; here the 64-bit mirror
// sizes (pointers 8 bytes, ULONG 4) of the records that carry pointers.

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(HW_STREAM_REQUEST_BLOCK) == 128, "HW_STREAM_REQUEST_BLOCK (64-bit)");
static_assert(sizeof(HW_STREAM_HEADER) == 72, "HW_STREAM_HEADER (64-bit)");
static_assert(sizeof(HW_STREAM_INFORMATION) == 136, "HW_STREAM_INFORMATION (64-bit)");
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == 208, "HW_STREAM_DESCRIPTOR (64-bit)");
static_assert(sizeof(HW_STREAM_OBJECT) == 104, "HW_STREAM_OBJECT (64-bit)");
static_assert(sizeof(HW_CLOCK_OBJECT) == 24, "HW_CLOCK_OBJECT (64-bit)");
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 120, "PORT_CONFIGURATION_INFORMATION (64-bit)");
static_assert(sizeof(STREAM_PROPERTY_DESCRIPTOR) == 32, "STREAM_PROPERTY_DESCRIPTOR (64-bit)");
static_assert(sizeof(STREAM_DATA_INTERSECT_INFO) == 32, "STREAM_DATA_INTERSECT_INFO (64-bit)");
static_assert(sizeof(HW_INITIALIZATION_DATA) == 88, "HW_INITIALIZATION_DATA (64-bit)");
#endif
