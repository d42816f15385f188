// The stream class (STREAM.SYS) as a minidriver sees it, emulated in user
// mode, with the C++ API that tests and the application side use to drive a
// minidriver through it.
//
// The minidriver side is the published one: StreamClassRegisterAdapter,
// StreamClassDeviceNotification, StreamClassStreamNotification and
// StreamClassRegisterFilterWithNoKSPins (platform/strmini.h). The C++ side
// loads a driver (calls its DriverEntry), adds a device above a physical
// device object, and sends request blocks built the way the stream class
// builds them:
//
//     auto driver = kv::streamclass::Driver::Load(&DriverEntry);
//     auto port = kv::usbport::Port::Attach(usbDouble);
//     auto device = kv::streamclass::Device::Add(*driver, port->Pdo());
//     ASSERT_EQ(device->Start(), STATUS_SUCCESS);  // initialize, stream info, complete
//     kv::streamclass::Stream* stream = nullptr;
//     device->OpenStream(0, &format, sizeof(format), &stream);
//     stream->SetState(KSSTATE_RUN);
//
// Rules the emulation enforces, each recorded as a violation through the
// kernel emulation (kv::kernel::RecordViolation) and never fatal:
// - adapter requests are sent one at a time at PASSIVE_LEVEL; a request sent
//   through this API while another is in progress is refused. (A PnP IRP the
//   minidriver itself sends to its class device object while handling a
//   request still arrives as SRB_UNKNOWN_DEVICE_COMMAND, as on the platform.)
// - every adapter and stream control request is completed exactly once,
//   before the minidriver's routine returns; read requests may complete later
//   but must be completed by the time their stream is closed.
// - completions name a request the stream class sent (and, for stream
//   requests, the request's own stream object), never with STATUS_PENDING.
// - a property request that succeeds reports no more bytes than its data
//   buffer holds; SRB_GET_STREAM_INFO reports no more streams than the
//   buffer sized from ConfigInfo->StreamDescriptorSize holds.
// - a device goes away with no read request left pending.
// - no timer, DPC or work item of the minidriver's is left pending inside a
//   stream's extension when the stream stops or closes, nor inside the
//   device extension or queued for the device when the device goes away
//   (those left at removal are forgotten, as their memory goes with it).
//
// Buffers the minidriver receives (property and data buffers, formats, data
// ranges, intersection output, the stream descriptor, extensions) are
// separate heap allocations of exactly the size announced, so that
// AddressSanitizer reports any access past them.
//
// Property requests are checked against the property sets the minidriver
// reported at SRB_GET_STREAM_INFO before it sees them:
//   property buffer smaller than a KSPROPERTY        STATUS_BUFFER_TOO_SMALL
//   set GUID not in the reported sets                 STATUS_NOT_FOUND
//   id not in the set                                 STATUS_NOT_FOUND
//   get (set) not announced for the item              STATUS_INVALID_DEVICE_REQUEST
//   property buffer below MinProperty                 STATUS_BUFFER_TOO_SMALL
//   get with an empty data buffer (a size query)      STATUS_BUFFER_OVERFLOW, actualBytes = MinData
//   data buffer below MinData                         STATUS_BUFFER_TOO_SMALL
//   flags other than GET, SET, BASICSUPPORT, SETSUPPORT STATUS_INVALID_PARAMETER
// KSPROPERTY_TYPE_SETSUPPORT (the set exists) and KSPROPERTY_TYPE_BASICSUPPORT
// (access flags, and the description and members from the item's Values) are
// answered by the stream class itself, as the platform does.
//
// Failure knobs through the kernel emulation's named failures
// (kv::kernel::InjectFailure): "StreamClassRegisterAdapter" and
// "StreamClassRegisterFilterWithNoKSPins".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ks.h"
#include "platform/ksmedia.h"
#include "platform/strmini.h"
#include "platform/wdm.h"

namespace kv::streamclass {

class Device;
class Stream;
struct SrbBlock;

// What the sender learns when a request has ended.
struct Result {
    NTSTATUS status = STATUS_PENDING;  // Srb->Status when it was completed
    ULONG actualBytes = 0;             // Srb->ActualBytesTransferred when it was completed
    bool delivered = false;            // the minidriver received it (false: the stream class answered)
    bool completed = false;            // completed through the notification routine

    bool ok() const { return status == STATUS_SUCCESS; }
};

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// A minidriver loaded into the emulation.
class Driver {
public:
    // Creates a driver object for the service `serviceName` and calls `entry`
    // with it and its registry path. The driver is returned whatever the
    // entry's status; EntryStatus() and Registered() tell how it went.
    static std::unique_ptr<Driver> Load(DriverEntryRoutine entry, std::string_view serviceName = "kvcap");
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NTSTATUS EntryStatus() const { return entryStatus_; }
    // StreamClassRegisterAdapter succeeded for this driver object.
    bool Registered() const;
    // The HW_INITIALIZATION_DATA registered (zero when none).
    HW_INITIALIZATION_DATA Registration() const;
    PDRIVER_OBJECT Object() const { return object_; }

private:
    Driver() = default;
    PDRIVER_OBJECT object_ = nullptr;
    NTSTATUS entryStatus_ = STATUS_PENDING;
};

// Where the device's KSCATEGORY_CAPTURE interface link lives.
enum class LinkNamespace {
    QuestionMarks,  // "\??\<body>"
    DosDevices,     // "\DosDevices\<body>"
    None,           // no capture interface is registered
};

struct DeviceOptions {
    LinkNamespace linkNamespace = LinkNamespace::QuestionMarks;
    std::string linkBody = "USB#VID_1234&PID_5678#5&1a2b3c&0&1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
    bool interfaceEnabled = true;
};

// A property request: the property buffer (a KSPROPERTY header, then any
// instance data) and the data buffer (in and out). The call writes set, id
// and flags into the header when the buffer can hold one.
struct PropertyRequest {
    GUID set{};
    ULONG id = 0;
    ULONG flags = 0;                // 0: KSPROPERTY_TYPE_GET or _SET by the call
    std::vector<uint8_t> property;  // PropertyInputSize bytes
    std::vector<uint8_t> data;      // PropertyOutputSize bytes; holds the answer afterwards

    // A request with a bare KSPROPERTY and a data buffer of `dataSize` bytes.
    static PropertyRequest Make(const GUID& set, ULONG id, size_t dataSize, size_t propertySize = sizeof(KSPROPERTY));
    // A request whose property and data buffers both hold `record` (the _S
    // records of the video property sets are used that way).
    template <typename T>
    static PropertyRequest Record(const GUID& set, ULONG id, const T& record)
    {
        PropertyRequest r;
        r.set = set;
        r.id = id;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
        r.property.assign(bytes, bytes + sizeof(T));
        r.data.assign(bytes, bytes + sizeof(T));
        return r;
    }
    // The data buffer read as a T (zero-extended when shorter).
    template <typename T>
    T DataAs() const
    {
        T value{};
        std::memcpy(&value, data.data(), data.size() < sizeof(T) ? data.size() : sizeof(T));
        return value;
    }
};

// One SRB_READ_DATA request: its stream headers (each followed by a
// KS_FRAME_INFO) and frame buffers. It may stay pending after Read returns;
// Completed() says when the minidriver finished it.
class ReadRequest {
public:
    bool Completed() const;
    const Result& result() const;
    ULONG BufferCount() const { return count_; }
    ULONG FrameSize() const { return frameSize_; }
    const KSSTREAM_HEADER& Header(ULONG i) const;
    const KS_FRAME_INFO& FrameInfo(ULONG i) const;
    const uint8_t* Data(ULONG i) const { return frames_.at(i).get(); }
    PHW_STREAM_REQUEST_BLOCK Srb() const;

private:
    friend class Stream;
    friend struct Internals;
    std::shared_ptr<SrbBlock> block_;
    Result refused_;           // the answer when the request never reached the minidriver
    mutable Result snapshot_;  // result() returns a copy taken under the stream class lock
    ULONG count_ = 0;
    ULONG frameSize_ = 0;
    size_t stride_ = 0;
    std::unique_ptr<uint8_t[]> headers_;
    std::vector<std::unique_ptr<uint8_t[]>> frames_;
};

// An open stream (pin instance) of a device.
class Stream {
public:
    ULONG Number() const { return number_; }
    PHW_STREAM_OBJECT Object() const { return object_.get(); }
    bool IsOpen() const { return open_; }

    // SRB_CLOSE_STREAM. Queued reads must be completed by the minidriver
    // before it completes the close. The stream object stays allocated until
    // the device goes, so a late completion is reported rather than crashing.
    Result Close();

    Result SetState(KSSTATE state);                                // SRB_SET_STREAM_STATE
    Result GetState(KSSTATE* state);                               // SRB_GET_STREAM_STATE
    Result ProposeFormat(const void* format, size_t size);         // SRB_PROPOSE_DATA_FORMAT
    Result SetFormat(const void* format, size_t size);             // SRB_SET_DATA_FORMAT
    // SRB_GET_DATA_FORMAT into a buffer of `bufferSize` bytes (0: size query).
    Result GetFormat(ULONG bufferSize, std::vector<uint8_t>* format);
    // Stream property requests, checked against the stream's property sets.
    Result GetProperty(PropertyRequest& request);
    Result SetProperty(PropertyRequest& request);
    // Any stream control request, as `fill` leaves it (no checks).
    Result SendControl(SRB_COMMAND command, const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill = {});

    // SRB_READ_DATA with `buffers` frame buffers of `frameSize` bytes.
    std::shared_ptr<ReadRequest> Read(ULONG frameSize, ULONG buffers = 1);
    // Any data request, as `fill` leaves it; it may stay pending.
    std::shared_ptr<ReadRequest> SendData(SRB_COMMAND command,
                                          const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill = {});
    // The stream class's cancel and timeout calls for a pending request.
    void Cancel(ReadRequest& request);
    void Timeout(ReadRequest& request);
    size_t PendingReads() const;

private:
    friend class Device;
    friend struct Internals;
    Stream() = default;
    Device* device_ = nullptr;
    ULONG number_ = 0;
    bool open_ = false;
    std::unique_ptr<HW_STREAM_OBJECT> object_;
    std::unique_ptr<uint8_t[]> extension_;
    ULONG extensionSize_ = 0;
    std::vector<std::shared_ptr<ReadRequest>> pending_;
};

// What the minidriver reported at SRB_GET_STREAM_INFO.
struct StreamDescription {
    HW_STREAM_HEADER header{};
    std::vector<HW_STREAM_INFORMATION> streams;
};

// One device of a loaded driver: the class device object above a physical
// device object, with the minidriver's device extension.
class Device {
public:
    // Creates the class device object, attaches it to the top of the stack
    // `physicalDevice` belongs to, allocates the zeroed device extension and
    // registers the KSCATEGORY_CAPTURE interface that `options` describe.
    // Sends no request. Null when the driver is not registered or the device
    // object cannot be created.
    static std::unique_ptr<Device> Add(Driver& driver, PDEVICE_OBJECT physicalDevice, const DeviceOptions& options = {});
    // Closes open streams, sends SRB_UNINITIALIZE_DEVICE when the device is
    // initialized, disables the interface and deletes the class device object.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO and SRB_INITIALIZATION_COMPLETE
    // in turn, stopping at the first failure; returns that status or success.
    NTSTATUS Start();

    // The single steps.
    Result InitializeDevice();         // SRB_INITIALIZE_DEVICE with the port configuration
    Result GetStreamInfo();            // SRB_GET_STREAM_INFO; keeps the description
    Result InitializationComplete();   // SRB_INITIALIZATION_COMPLETE
    Result Uninitialize();             // SRB_UNINITIALIZE_DEVICE
    Result ChangePowerState(DEVICE_POWER_STATE state);
    Result SurpriseRemoval();          // SRB_SURPRISE_REMOVAL
    Result OpenDeviceInstance();       // SRB_OPEN_DEVICE_INSTANCE
    Result CloseDeviceInstance();      // SRB_CLOSE_DEVICE_INSTANCE
    Result PagingOutDriver();          // SRB_PAGING_OUT_DRIVER

    // SRB_GET_DATA_INTERSECTION for one range (its FormatSize bytes are
    // passed) into a buffer of `bufferSize` bytes (0: size query). The
    // buffer's contents come back in *format.
    Result DataIntersection(ULONG streamNumber, const void* range, size_t rangeSize, ULONG bufferSize,
                            std::vector<uint8_t>* format = nullptr);

    // Device property requests, checked against the reported sets.
    Result GetProperty(PropertyRequest& request);  // SRB_GET_DEVICE_PROPERTY
    Result SetProperty(PropertyRequest& request);  // SRB_SET_DEVICE_PROPERTY

    // SRB_OPEN_STREAM with `format` (its FormatSize bytes are passed). On
    // success *stream is the open stream, owned by the device.
    Result OpenStream(ULONG streamNumber, const void* format, size_t size, Stream** stream);

    // Any adapter request, as `fill` leaves it (no checks beyond the rules).
    Result SendAdapterRequest(SRB_COMMAND command, const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill = {});

    // IRP_MN_QUERY_INTERFACE sent to the class device object, as another
    // driver would send it; returns the IRP's final status.
    NTSTATUS QueryInterface(const GUID& type, USHORT size, USHORT version, void* buffer);

    PDEVICE_OBJECT ClassDeviceObject() const { return fdo_; }
    PDEVICE_OBJECT LowerDeviceObject() const { return lower_; }
    PDEVICE_OBJECT PhysicalDeviceObject() const { return physical_; }
    PVOID HwDeviceExtension() const { return extension_.get(); }
    ULONG HwDeviceExtensionSize() const { return extensionSize_; }
    // The port configuration as the minidriver left it (StreamDescriptorSize).
    const PORT_CONFIGURATION_INFORMATION& ConfigInfo() const { return config_; }
    const std::optional<StreamDescription>& Description() const { return description_; }
    bool Initialized() const { return initialized_; }
    // The capture interface link registered for the device ("" for none).
    const std::string& SymbolicLink() const { return link_; }
    Driver& OwningDriver() const { return *driver_; }

private:
    friend class Stream;
    friend struct Internals;
    Device() = default;

    Driver* driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT physical_ = nullptr;
    std::unique_ptr<uint8_t[]> extension_;
    ULONG extensionSize_ = 0;
    PORT_CONFIGURATION_INFORMATION config_{};
    std::optional<StreamDescription> description_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::string link_;
    bool initialized_ = false;
    bool busy_ = false;
};

// ------------------------------------------------------------ filters ---

// One StreamClassRegisterFilterWithNoKSPins call.
struct FilterRegistration {
    PDEVICE_OBJECT device = nullptr;
    GUID category{};
    ULONG pinCount = 0;
    std::vector<BOOL> pinDirections;
    std::vector<KSPIN_MEDIUM> mediums;
    bool categoriesGiven = false;
    std::vector<GUID> pinCategories;
    NTSTATUS status = STATUS_SUCCESS;  // what the call returned
};

std::vector<FilterRegistration> FilterRegistrations();

// ------------------------------------------------------------ whole ---

// Forgets filter registrations and the record of finished requests. Call it
// with kv::kernel::Reset() between tests; loaded drivers and devices clean up
// after themselves when destroyed.
void Reset();

// Requests sent and not yet completed (adapter, control and data).
size_t OutstandingRequests();

}  // namespace kv::streamclass
