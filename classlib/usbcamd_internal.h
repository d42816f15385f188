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
#include "platform/usbcamdi.h"
#include "platform/wdm.h"
#include "classlib/usbcamd_stats.h"

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

// Raw frame buffers of a running stream: one is assembled from the packets
// while the one before waits for conversion.
#define USBCAMD_RAW_FRAMES 2
// Isochronous packets of one transfer: whole frames of eight microframes, as
// a high-speed endpoint with an interval of one takes them.
#define USBCAMD_PACKETS_PER_TRANSFER 8
// Isochronous transfers kept in flight on the data pipe, so the bus never
// waits for a completion routine.
#define USBCAMD_TRANSFERS_IN_FLIGHT 3
// The bus time of one microframe (100 ns units).
#define USBCAMD_MICROFRAME_UNITS 1250
// Largest raw frame and frame context the library allocates for a camera.
#define USBCAMD_MAX_RAW_FRAME_LENGTH (16u * 1024u * 1024u)
#define USBCAMD_MAX_FRAME_CONTEXT 4096u
// Property sets of one stream: the camera's and the library's statistics set.
#define USBCAMD_MAX_STREAM_PROPERTY_SETS 8

enum UsbcamdRawState { UsbcamdRawFree = 0, UsbcamdRawAssembling, UsbcamdRawReady, UsbcamdRawConverting };

enum UsbcamdDropReason {
    UsbcamdDropNone = 0,
    UsbcamdDropNoRequest,
    UsbcamdDropCamera,
    UsbcamdDropOverflow,
    UsbcamdDropTooEarly,
    UsbcamdDropConversion,
    UsbcamdDropBusy,
    UsbcamdDropTransfer,
};

struct UsbcamdRawFrame {
    PUCHAR buffer;       // rawFrameLength bytes
    PVOID frameContext;  // the camera's per-frame record
    UCHAR state;         // UsbcamdRawState
    UCHAR dropReason;    // set while assembling: the frame will be dropped
    ULONG length;        // bytes assembled
    ULONG limit;         // bytes it may hold (the camera may lower it per frame)
    ULONG packets;
    ULONGLONG sequence;  // completion order
    LONGLONG startTime;  // stream time of its first packet, 100 ns units
};

struct UsbcamdStream;

// One isochronous transfer of the data pipe: its IRP, URB and packet buffer,
// allocated when the stream leaves STOP and reused for every submission.
struct UsbcamdTransfer {
    UsbcamdStream* stream;
    PIRP irp;
    PURB urb;        // GET_ISO_URB_SIZE(USBCAMD_PACKETS_PER_TRANSFER) bytes
    PUCHAR buffer;   // USBCAMD_PACKETS_PER_TRANSFER x bytesPerPacket
    BOOLEAN inFlight;  // sent down and not yet back in its completion routine
    ULONGLONG sequence;  // submission order, so completions are taken in bus order
};

// The isochronous engine of a stream. USBCAMD_TRANSFERS_IN_FLIGHT transfers
// stay queued on the data pipe; each one's completion routine (DISPATCH_LEVEL)
// runs the camera's packet routine on its packets in bus order, assembles raw
// frames and sends the transfer down again. A work item hands every complete
// frame to the raw-frame routine at PASSIVE_LEVEL with the head read
// request's buffer; another one recovers the pipe after a failed transfer.
// The lock guards everything below and the stream's read queue.
struct UsbcamdEngine {
    KSPIN_LOCK lock;
    PIO_WORKITEM workItem;
    KEVENT workIdle;    // signalled while no work item is queued or running
    BOOLEAN workQueued;
    PIO_WORKITEM recoveryItem;
    KEVENT recoveryIdle;  // signalled while no recovery is queued or running
    BOOLEAN recoveryQueued;
    KEVENT transfersIdle;  // signalled while no transfer is in flight
    LONG inFlight;
    BOOLEAN prepared;   // bandwidth allocated and buffers held (ACQUIRE, PAUSE, RUN)
    BOOLEAN captureStarted;  // CamStartCapture succeeded; CamStopCapture is owed
    BOOLEAN running;    // transfers are sent down again as they complete
    BOOLEAN synchronised;  // a frame start was seen in this run
    BOOLEAN haveTimeBase;
    BOOLEAN haveDelivered;
    BOOLEAN haveBusStart;  // busStart holds the first microframe of the run
    BOOLEAN recovering;    // a failed transfer's recovery is queued or running
    UCHAR endpoint;
    USBD_PIPE_HANDLE pipeHandle;
    ULONG bytesPerPacket;
    ULONG rawFrameLength;
    ULONG frameContextSize;
    UsbcamdTransfer transfers[USBCAMD_TRANSFERS_IN_FLIGHT];
    ULONGLONG submitted;  // transfers sent down in this run
    ULONGLONG taken;      // transfers whose packets went to the camera
    ULONGLONG busStart;   // microframe the run's first transfer began at
    ULONGLONG transferErrors;  // transfers that failed as a whole
    UsbcamdRawFrame raw[USBCAMD_RAW_FRAMES];
    LONG current;        // raw frame being assembled; -1 none (busy, or not synchronised)
    UCHAR currentDrop;   // drop reason of a frame assembled without a buffer
    ULONGLONG sequence;
    LONGLONG timeBase;   // interrupt time the stream time counts from
    LONGLONG runStart;   // interrupt time the present run began
    ULONGLONG packetsFetched;  // microframes taken from the bus in this run (packet index of the next)
    LONGLONG lastDeliveredTime;
    LONGLONG haltTime;     // interrupt time the last run ended; the stream clock stands still until the next
    BOOLEAN havePictureBase;
    LONGLONG pictureBase;  // stream time of the first frame since the stream left STOP
    USBCAMD_STREAM_STATISTICS stats;
};

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
    // Read requests waiting for frames, linked through NextSRB; guarded by
    // the engine's lock.
    PHW_STREAM_REQUEST_BLOCK readHead;
    PHW_STREAM_REQUEST_BLOCK readTail;
    ULONG readCount;
    UsbcamdEngine engine;
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

    // The USB device, reached through URBs sent to busDeviceObject.
    BOOLEAN usbReady;         // the device answered; URBs may be sent
    BOOLEAN usbGone;          // a request came back with the device gone
    USBD_CONFIGURATION_HANDLE configurationHandle;
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
    // The pipes of the setting now selected, as the USB stack described them.
    USBD_PIPE_INFORMATION pipes[USBCAMD_MAX_PIPES];
    ULONG currentPipeCount;

    // Streams as reported at SRB_GET_STREAM_INFO.
    ULONG streamCount;
    HW_STREAM_INFORMATION streamInfo[USBCAMD_MAX_STREAMS];
    // The camera's stream property sets with the library's statistics set
    // behind them, as reported to the stream class.
    KSPROPERTY_SET streamPropertySets[USBCAMD_MAX_STREAMS][USBCAMD_MAX_STREAM_PROPERTY_SETS];
    UsbcamdStream* streams[USBCAMD_MAX_STREAMS];

    // The value of USBCAMD_SetFrameInterval as given, 0 until it is called:
    // the least spacing of two delivered frames in units of 100 us (the
    // camera passes 320, 32.0 ms, for 29.97 frames per second and 390, 39.0
    // ms, for 25), which keeps a stream from delivering faster than its
    // standard allows (usbcamd_stats.h).
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
// Sends one URB down the device's stack and waits for it (PASSIVE_LEVEL).
// Returns the request's status; a device found gone is remembered.
NTSTATUS UsbcamdSubmitUrb(UsbcamdDevice* device, PURB urb);
// IOCTL_INTERNAL_USB_GET_PORT_STATUS: the port's USBD_PORT_* bits.
NTSTATUS UsbcamdPortStatus(UsbcamdDevice* device, PULONG portStatus);
// A request on one pipe (ABORT_PIPE, RESET_PIPE).
NTSTATUS UsbcamdPipeRequest(UsbcamdDevice* device, USHORT function, USBD_PIPE_HANDLE pipe);
// ABORT_PIPE even after the device is found gone: the stack may still hold
// the pipe's requests, and only it can hand them back.
NTSTATUS UsbcamdAbortPipe(UsbcamdDevice* device, USBD_PIPE_HANDLE pipe);
// GET_DESCRIPTOR from the device into `buffer`; *length in: room, out: bytes.
NTSTATUS UsbcamdGetDescriptor(UsbcamdDevice* device, UCHAR type, PVOID buffer, PULONG length);
// Records the pipes a SELECT_CONFIGURATION or SELECT_INTERFACE answer gave.
VOID UsbcamdTakePipes(UsbcamdDevice* device, const USBD_INTERFACE_INFORMATION* info);
// Finds the interface descriptor (interfaceNumber, alternate) in the
// configuration descriptor; null when absent or malformed.
const USB_INTERFACE_DESCRIPTOR* UsbcamdFindInterface(const UsbcamdDevice* device, UCHAR interfaceNumber,
                                                     UCHAR alternate);
// The number of endpoints behind `interfaceDescriptor`, or -1 when they are
// malformed, disagree with bNumEndpoints or are more than `capacity`.
LONG UsbcamdCountPipes(const UsbcamdDevice* device, const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                       ULONG capacity);

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

// ------------------------------------------------------------ engine ---
// usbcamd_engine.cpp. A new stream's engine record is set up once at open.
VOID UsbcamdInitializeEngine(UsbcamdStream* stream);
// SRB_SET_STREAM_STATE: allocation and release of the bandwidth and the
// buffers, start and stop of the capture and the transfers.
NTSTATUS UsbcamdSetStreamState(UsbcamdStream* stream, KSSTATE target);
// Takes the stream back to KSSTATE_STOP whatever it runs (close, device stop).
VOID UsbcamdStopStream(UsbcamdStream* stream);
// The status new read requests end with at once: the transfers' failure, or
// STATUS_SUCCESS when they may wait.
NTSTATUS UsbcamdReadRefusal(UsbcamdStream* stream);
// The least frame buffer a read request must bring (0: no minimum).
ULONG UsbcamdFrameSize(const UsbcamdStream* stream);
// A copy of the statistics, taken under the lock.
VOID UsbcamdGetStatistics(UsbcamdStream* stream, PUSBCAMD_STREAM_STATISTICS statistics);
// The read queue, under the engine's lock. Dequeue returns null when empty.
VOID UsbcamdQueueRead(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb);
// Completes every queued read with `status`.
VOID UsbcamdFlushReads(UsbcamdStream* stream, NTSTATUS status);
// Removes a queued read; FALSE when it was not queued.
BOOLEAN UsbcamdRemoveRead(UsbcamdStream* stream, PHW_STREAM_REQUEST_BLOCK Srb);
VOID STREAMAPI UsbcamdTimeoutHandler(PHW_STREAM_REQUEST_BLOCK Srb);

// ------------------------------------------------------------ bus interface ---
// USBCAMD_SetVideoFormat of the USBCAMD_INTERFACE: TRUE when the stream took
// the format in Srb->CommandData.OpenFormat, else FALSE with Srb->Status set.
NTSTATUS NTAPI UsbcamdSetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb);
// Answers IRP_MN_QUERY_INTERFACE for GUID_USBCAMD_INTERFACE; other IRPs are
// left alone with STATUS_NOT_SUPPORTED.
NTSTATUS UsbcamdUnknownDeviceCommand(UsbcamdDevice* device, PHW_STREAM_REQUEST_BLOCK Srb);
