// The stream class emulation: registration, request blocks and their
// completion, the class device object's PnP dispatch, property checks, and
// the pinless filter registrations.
#include "host/streamclass.h"

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "host/kernel.h"
#include "host/kernel_internal.h"
#include "host/scheduler.h"

namespace kv::streamclass {

namespace {

enum class Kind { Device, Control, Data };

const char* CommandName(ULONG command)
{
    switch (command) {
    case SRB_READ_DATA: return "SRB_READ_DATA";
    case SRB_WRITE_DATA: return "SRB_WRITE_DATA";
    case SRB_GET_STREAM_STATE: return "SRB_GET_STREAM_STATE";
    case SRB_SET_STREAM_STATE: return "SRB_SET_STREAM_STATE";
    case SRB_SET_STREAM_PROPERTY: return "SRB_SET_STREAM_PROPERTY";
    case SRB_GET_STREAM_PROPERTY: return "SRB_GET_STREAM_PROPERTY";
    case SRB_OPEN_MASTER_CLOCK: return "SRB_OPEN_MASTER_CLOCK";
    case SRB_INDICATE_MASTER_CLOCK: return "SRB_INDICATE_MASTER_CLOCK";
    case SRB_UNKNOWN_STREAM_COMMAND: return "SRB_UNKNOWN_STREAM_COMMAND";
    case SRB_SET_STREAM_RATE: return "SRB_SET_STREAM_RATE";
    case SRB_PROPOSE_DATA_FORMAT: return "SRB_PROPOSE_DATA_FORMAT";
    case SRB_CLOSE_MASTER_CLOCK: return "SRB_CLOSE_MASTER_CLOCK";
    case SRB_PROPOSE_STREAM_RATE: return "SRB_PROPOSE_STREAM_RATE";
    case SRB_SET_DATA_FORMAT: return "SRB_SET_DATA_FORMAT";
    case SRB_GET_DATA_FORMAT: return "SRB_GET_DATA_FORMAT";
    case SRB_BEGIN_FLUSH: return "SRB_BEGIN_FLUSH";
    case SRB_END_FLUSH: return "SRB_END_FLUSH";
    case SRB_GET_STREAM_INFO: return "SRB_GET_STREAM_INFO";
    case SRB_OPEN_STREAM: return "SRB_OPEN_STREAM";
    case SRB_CLOSE_STREAM: return "SRB_CLOSE_STREAM";
    case SRB_OPEN_DEVICE_INSTANCE: return "SRB_OPEN_DEVICE_INSTANCE";
    case SRB_CLOSE_DEVICE_INSTANCE: return "SRB_CLOSE_DEVICE_INSTANCE";
    case SRB_GET_DEVICE_PROPERTY: return "SRB_GET_DEVICE_PROPERTY";
    case SRB_SET_DEVICE_PROPERTY: return "SRB_SET_DEVICE_PROPERTY";
    case SRB_INITIALIZE_DEVICE: return "SRB_INITIALIZE_DEVICE";
    case SRB_CHANGE_POWER_STATE: return "SRB_CHANGE_POWER_STATE";
    case SRB_UNINITIALIZE_DEVICE: return "SRB_UNINITIALIZE_DEVICE";
    case SRB_UNKNOWN_DEVICE_COMMAND: return "SRB_UNKNOWN_DEVICE_COMMAND";
    case SRB_PAGING_OUT_DRIVER: return "SRB_PAGING_OUT_DRIVER";
    case SRB_GET_DATA_INTERSECTION: return "SRB_GET_DATA_INTERSECTION";
    case SRB_INITIALIZATION_COMPLETE: return "SRB_INITIALIZATION_COMPLETE";
    case SRB_SURPRISE_REMOVAL: return "SRB_SURPRISE_REMOVAL";
    default: return "SRB command";
    }
}

std::string Describe(const HW_STREAM_REQUEST_BLOCK* srb, ULONG command)
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s (0x%X) at %p", CommandName(command), command, static_cast<const void*>(srb));
    return text;
}

// A zero-filled heap block of exactly `size` bytes (null for 0).
std::unique_ptr<uint8_t[]> Exact(size_t size)
{
    return size == 0 ? nullptr : std::unique_ptr<uint8_t[]>(new uint8_t[size]());
}

std::unique_ptr<uint8_t[]> ExactCopy(const void* from, size_t size)
{
    auto block = Exact(size);
    if (size != 0) std::memcpy(block.get(), from, size);
    return block;
}

constexpr ULONG kFdoMagic = KV_POOL_TAG('S', 't', 'r', 'C');

// The class device object's own extension.
struct FdoExtension {
    ULONG magic;
    Device* device;
};

// Everything about requests in flight, and the registrations, process-wide
// as the stream class's are.
struct State {
    std::recursive_mutex mutex;
    std::map<PDRIVER_OBJECT, HW_INITIALIZATION_DATA> registrations;
    std::map<const HW_STREAM_REQUEST_BLOCK*, SrbBlock*> live;
    std::deque<const HW_STREAM_REQUEST_BLOCK*> ended;  // recently finished, for "completed twice"
    std::vector<FilterRegistration> filters;
};

State& TheState()
{
    static State state;
    return state;
}

std::optional<HW_INITIALIZATION_DATA> RegistrationOf(PDRIVER_OBJECT driver)
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    auto it = s.registrations.find(driver);
    if (it == s.registrations.end()) return std::nullopt;
    return it->second;
}

NTSTATUS NTAPI ClassPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

}  // namespace

// One request block in flight and what became of it.
struct SrbBlock {
    std::unique_ptr<HW_STREAM_REQUEST_BLOCK> srb;
    std::unique_ptr<uint8_t[]> extension;
    Kind kind = Kind::Device;
    ULONG command = 0;
    PVOID hwDeviceExtension = nullptr;
    PHW_STREAM_OBJECT streamObject = nullptr;
    int completions = 0;
    Result result;

    SrbBlock(Kind k, Device& device, Stream* stream, ULONG cmd, ULONG perRequestExtension)
        : srb(new HW_STREAM_REQUEST_BLOCK{}), extension(Exact(perRequestExtension)), kind(k), command(cmd)
    {
        hwDeviceExtension = device.HwDeviceExtension();
        streamObject = stream != nullptr ? stream->Object() : nullptr;
        HW_STREAM_REQUEST_BLOCK& r = *srb;
        r.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
        r.Command = static_cast<SRB_COMMAND>(cmd);
        r.Status = STATUS_PENDING;
        r.StreamObject = streamObject;
        r.HwDeviceExtension = hwDeviceExtension;
        r.SRBExtension = extension.get();
        r.TimeoutOriginal = 15;
        r.TimeoutCounter = 15;
        r.Flags = k == Kind::Device    ? 0
                  : k == Kind::Control ? SRB_HW_FLAGS_STREAM_REQUEST
                                       : SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER;
        State& s = TheState();
        std::lock_guard lock(s.mutex);
        s.live[srb.get()] = this;
        s.ended.erase(std::remove(s.ended.begin(), s.ended.end(), srb.get()), s.ended.end());
    }

    ~SrbBlock()
    {
        State& s = TheState();
        std::lock_guard lock(s.mutex);
        s.live.erase(srb.get());
        s.ended.push_back(srb.get());
        while (s.ended.size() > 256) s.ended.pop_front();
    }
};

// Friend of the public classes; the request plumbing lives here.
struct Internals {
    static Result Refused(NTSTATUS status)
    {
        Result r;
        r.status = status;
        return r;
    }

    static void Complete(const HW_STREAM_REQUEST_BLOCK* srb, Kind kind, PVOID hwDeviceExtension,
                         PHW_STREAM_OBJECT streamObject)
    {
        State& s = TheState();
        std::unique_lock lock(s.mutex);
        auto it = s.live.find(srb);
        if (it == s.live.end()) {
            const bool ended = std::find(s.ended.begin(), s.ended.end(), srb) != s.ended.end();
            lock.unlock();
            char text[128];
            std::snprintf(text, sizeof(text), "%s of request %p, which %s",
                          kind == Kind::Device ? "StreamClassDeviceNotification(DeviceRequestComplete)"
                                               : "StreamClassStreamNotification(StreamRequestComplete)",
                          static_cast<const void*>(srb),
                          ended ? "had already ended (completed twice)" : "the stream class never sent");
            kv::kernel::RecordViolation(text);
            return;
        }
        SrbBlock& block = *it->second;
        if (block.completions++ > 0) {
            lock.unlock();
            kv::kernel::RecordViolation(Describe(srb, block.command) + " completed twice");
            return;
        }
        std::vector<std::string> problems;
        if ((kind == Kind::Device) != (block.kind == Kind::Device)) {
            problems.push_back(Describe(srb, block.command) +
                               (kind == Kind::Device ? " is a stream request but was completed as a device request"
                                                     : " is a device request but was completed as a stream request"));
        }
        if (kind == Kind::Device && hwDeviceExtension != block.hwDeviceExtension) {
            problems.push_back(Describe(srb, block.command) + " completed for another device extension");
        }
        if (kind != Kind::Device && streamObject != block.streamObject) {
            problems.push_back(Describe(srb, block.command) + " completed for another stream object");
        }
        if (block.srb->Status == STATUS_PENDING) {
            problems.push_back(Describe(srb, block.command) + " completed with STATUS_PENDING");
        }
        block.result.completed = true;
        block.result.status = block.srb->Status;
        block.result.actualBytes = block.srb->ActualBytesTransferred;
        lock.unlock();
        for (auto& p : problems) kv::kernel::RecordViolation(std::move(p));
    }

    static void CompleteDevice(const HW_STREAM_REQUEST_BLOCK* srb, PVOID hwDeviceExtension)
    {
        Complete(srb, Kind::Device, hwDeviceExtension, nullptr);
    }
    static void CompleteStream(const HW_STREAM_REQUEST_BLOCK* srb, PHW_STREAM_OBJECT streamObject)
    {
        Complete(srb, Kind::Control, nullptr, streamObject);
    }

    static void Register(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& data)
    {
        {
            State& s = TheState();
            std::lock_guard lock(s.mutex);
            s.registrations[driver] = data;
        }
        // The class device objects' PnP requests come to the stream class.
        driver->MajorFunction[IRP_MJ_PNP] = ClassPnpDispatch;
    }

    static void AddFilter(FilterRegistration registration)
    {
        State& s = TheState();
        std::lock_guard lock(s.mutex);
        s.filters.push_back(std::move(registration));
    }

    // Sends an adapter request. `external`: sent through this API (one at a
    // time, at PASSIVE_LEVEL); otherwise produced by an IRP to the class
    // device object.
    static Result SendAdapter(Device& device, ULONG command, const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill,
                              bool external, Stream* stream = nullptr)
    {
        if (external) {
            if (!kv::kernel::CheckPassive(CommandName(command))) return Refused(STATUS_INVALID_DEVICE_STATE);
            if (device.busy_) {
                kv::kernel::RecordViolation(std::string(CommandName(command)) +
                                            " sent while another adapter request is in progress");
                return Refused(STATUS_INVALID_DEVICE_STATE);
            }
        }
        auto registration = RegistrationOf(device.driver_->Object());
        if (!registration || registration->HwReceivePacket == nullptr) return Refused(STATUS_INVALID_DEVICE_STATE);

        SrbBlock block(Kind::Device, device, stream, command, registration->PerRequestExtensionSize);
        if (fill) fill(*block.srb);
        const bool wasBusy = device.busy_;
        device.busy_ = true;
        registration->HwReceivePacket(block.srb.get());
        device.busy_ = wasBusy;
        return Finish(block);
    }

    using After = std::function<void(const HW_STREAM_REQUEST_BLOCK&)>;

    static Result SendStream(Stream& stream, Kind kind, ULONG command,
                             const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill, const After& after = {})
    {
        if (!kv::kernel::CheckPassive(CommandName(command))) return Refused(STATUS_INVALID_DEVICE_STATE);
        if (!stream.open_) return Refused(STATUS_INVALID_DEVICE_STATE);
        auto registration = RegistrationOf(stream.device_->driver_->Object());
        if (!registration) return Refused(STATUS_INVALID_DEVICE_STATE);
        auto routine = stream.object_->ReceiveControlPacket;
        if (routine == nullptr) {
            kv::kernel::RecordViolation(std::string(CommandName(command)) + ": the stream has no ReceiveControlPacket");
            return Refused(STATUS_INVALID_DEVICE_STATE);
        }
        SrbBlock block(kind, *stream.device_, &stream, command, registration->PerRequestExtensionSize);
        if (fill) fill(*block.srb);
        routine(block.srb.get());
        if (after) after(*block.srb);
        return Finish(block);
    }

    // A data request: it may stay pending; the block lives with the request.
    static std::shared_ptr<ReadRequest> SendData(Stream& stream, ULONG command, std::shared_ptr<ReadRequest> request,
                                                 const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill)
    {
        auto registration = RegistrationOf(stream.device_->driver_->Object());
        if (!kv::kernel::CheckPassive(CommandName(command)) || !stream.open_ || !registration) {
            request->refused_ = Refused(STATUS_INVALID_DEVICE_STATE);
            return request;
        }
        auto routine = stream.object_->ReceiveDataPacket;
        if (routine == nullptr) {
            kv::kernel::RecordViolation(std::string(CommandName(command)) + ": the stream has no ReceiveDataPacket");
            request->refused_ = Refused(STATUS_INVALID_DEVICE_STATE);
            return request;
        }
        request->block_ = std::make_shared<SrbBlock>(Kind::Data, *stream.device_, &stream, command,
                                                     registration->PerRequestExtensionSize);
        request->block_->result.delivered = true;
        if (fill) fill(*request->block_->srb);
        // Finished requests belong to their callers alone; a long capture
        // would otherwise keep every frame buffer it ever read.
        stream.pending_.erase(std::remove_if(stream.pending_.begin(), stream.pending_.end(),
                                             [](const auto& r) { return r->Completed(); }),
                              stream.pending_.end());
        stream.pending_.push_back(request);
        routine(request->block_->srb.get());
        return request;
    }

    static Result Finish(SrbBlock& block)
    {
        State& s = TheState();
        std::unique_lock lock(s.mutex);
        Result result = block.result;
        lock.unlock();
        result.delivered = true;
        if (!result.completed) {
            kv::kernel::RecordViolation(Describe(block.srb.get(), block.command) +
                                        " was not completed when the minidriver returned");
        }
        return result;
    }

    // ------------------------------------------------------- properties ---

    static ULONG MembersBytes(const KSPROPERTY_VALUES* values)
    {
        if (values == nullptr || values->MembersList == nullptr || values->MembersListCount > 64) return 0;
        ULONG total = 0;
        for (ULONG i = 0; i < values->MembersListCount; ++i) {
            const KSPROPERTY_MEMBERSHEADER& h = values->MembersList[i].MembersHeader;
            const uint64_t bytes = uint64_t(h.MembersSize) * h.MembersCount;
            if (bytes > 0x10000) return 0;
            total += sizeof(KSPROPERTY_MEMBERSHEADER) + static_cast<ULONG>(bytes);
        }
        return total;
    }

    // KSPROPERTY_TYPE_BASICSUPPORT from the item's Values, as the platform's
    // default support handler answers it.
    static Result BasicSupport(const KSPROPERTY_ITEM& item, PropertyRequest& request)
    {
        Result r;
        r.completed = true;
        const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT | (item.GetSupported ? KSPROPERTY_TYPE_GET : 0) |
                             (item.SetSupported ? KSPROPERTY_TYPE_SET : 0);
        const ULONG members = MembersBytes(item.Values);
        const ULONG total = sizeof(KSPROPERTY_DESCRIPTION) + members;
        const size_t room = request.data.size();
        if (room == 0) {
            r.status = STATUS_BUFFER_OVERFLOW;
            r.actualBytes = total;
            return r;
        }
        if (room < sizeof(ULONG)) {
            r.status = STATUS_BUFFER_TOO_SMALL;
            return r;
        }
        if (room < sizeof(KSPROPERTY_DESCRIPTION)) {
            std::memcpy(request.data.data(), &access, sizeof(access));
            r.status = STATUS_SUCCESS;
            r.actualBytes = sizeof(ULONG);
            return r;
        }
        KSPROPERTY_DESCRIPTION description{};
        description.AccessFlags = access;
        description.DescriptionSize = total;
        if (item.Values != nullptr) {
            description.PropTypeSet = item.Values->PropTypeSet;
            description.MembersListCount = members != 0 ? item.Values->MembersListCount : 0;
        }
        std::memcpy(request.data.data(), &description, sizeof(description));
        r.status = STATUS_SUCCESS;
        r.actualBytes = sizeof(description);
        if (members != 0 && room >= total) {
            uint8_t* at = request.data.data() + sizeof(description);
            for (ULONG i = 0; i < item.Values->MembersListCount; ++i) {
                const KSPROPERTY_MEMBERSLIST& list = item.Values->MembersList[i];
                std::memcpy(at, &list.MembersHeader, sizeof(list.MembersHeader));
                at += sizeof(list.MembersHeader);
                const size_t bytes = size_t(list.MembersHeader.MembersSize) * list.MembersHeader.MembersCount;
                if (bytes != 0 && list.Members != nullptr) std::memcpy(at, list.Members, bytes);
                at += bytes;
            }
            r.actualBytes = total;
        }
        return r;
    }

    static Result Property(Device& device, Stream* stream, bool set, PropertyRequest& request)
    {
        const KSPROPERTY_SET* sets = nullptr;
        ULONG setCount = 0;
        if (device.description_) {
            if (stream == nullptr) {
                sets = device.description_->header.DevicePropertiesArray;
                setCount = device.description_->header.NumDevPropArrayEntries;
            } else if (stream->number_ < device.description_->streams.size()) {
                const HW_STREAM_INFORMATION& info = device.description_->streams[stream->number_];
                sets = info.StreamPropertiesArray;
                setCount = info.NumStreamPropArrayEntries;
            }
        }
        if (sets == nullptr) setCount = 0;
        const ULONG flags = request.flags != 0 ? request.flags : (set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET);

        if (request.property.size() < sizeof(KSPROPERTY)) return Refused(STATUS_BUFFER_TOO_SMALL);
        KSPROPERTY header{};
        header.Set = request.set;
        header.Id = request.id;
        header.Flags = flags;
        std::memcpy(request.property.data(), &header, sizeof(header));

        ULONG setIndex = 0;
        while (setIndex < setCount && (sets[setIndex].Set == nullptr || !IsEqualGUIDBytes(*sets[setIndex].Set, request.set))) {
            ++setIndex;
        }
        if (setIndex == setCount) return Refused(STATUS_NOT_FOUND);
        if (flags == KSPROPERTY_TYPE_SETSUPPORT) return Refused(STATUS_SUCCESS);

        const KSPROPERTY_SET& propertySet = sets[setIndex];
        const KSPROPERTY_ITEM* item = nullptr;
        for (ULONG i = 0; propertySet.PropertyItem != nullptr && i < propertySet.PropertiesCount; ++i) {
            if (propertySet.PropertyItem[i].PropertyId == request.id) {
                item = &propertySet.PropertyItem[i];
                break;
            }
        }
        if (item == nullptr) return Refused(STATUS_NOT_FOUND);
        if (flags == KSPROPERTY_TYPE_BASICSUPPORT) return BasicSupport(*item, request);
        if (flags != KSPROPERTY_TYPE_GET && flags != KSPROPERTY_TYPE_SET) return Refused(STATUS_INVALID_PARAMETER);
        const bool isSet = flags == KSPROPERTY_TYPE_SET;
        if (isSet ? !item->SetSupported : !item->GetSupported) return Refused(STATUS_INVALID_DEVICE_REQUEST);
        if (request.property.size() < item->MinProperty) return Refused(STATUS_BUFFER_TOO_SMALL);
        if (!isSet && request.data.empty() && item->MinData != 0) {
            Result r = Refused(STATUS_BUFFER_OVERFLOW);
            r.actualBytes = item->MinData;
            return r;
        }
        if (request.data.size() < item->MinData) return Refused(STATUS_BUFFER_TOO_SMALL);

        auto property = ExactCopy(request.property.data(), request.property.size());
        auto data = ExactCopy(request.data.data(), request.data.size());
        STREAM_PROPERTY_DESCRIPTOR descriptor{};
        descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.get());
        descriptor.PropertySetID = setIndex;
        descriptor.PropertyInfo = data.get();
        descriptor.PropertyInputSize = static_cast<ULONG>(request.property.size());
        descriptor.PropertyOutputSize = static_cast<ULONG>(request.data.size());
        auto fill = [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.PropertyInfo = &descriptor; };

        Result r;
        if (stream == nullptr) {
            r = SendAdapter(device, isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY, fill, true);
        } else {
            r = SendStream(*stream, Kind::Control, isSet ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY, fill);
        }
        if (!request.data.empty()) std::memcpy(request.data.data(), data.get(), request.data.size());
        if (r.completed && r.status == STATUS_SUCCESS && r.actualBytes > request.data.size()) {
            kv::kernel::RecordViolation(std::string(CommandName(stream ? SRB_GET_STREAM_PROPERTY : SRB_GET_DEVICE_PROPERTY)) +
                                        " reported more bytes than the data buffer holds");
        }
        return r;
    }

    static bool FormatUsable(const void* format, size_t size)
    {
        if (format == nullptr || size < sizeof(KSDATAFORMAT)) return false;
        const ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
        return formatSize >= sizeof(KSDATAFORMAT) && formatSize <= size;
    }

    static Result FormatRequest(Stream& stream, ULONG command, const void* format, size_t size)
    {
        if (!FormatUsable(format, size)) return Refused(STATUS_INVALID_PARAMETER);
        const ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
        auto copy = ExactCopy(format, formatSize);
        return SendStream(stream, Kind::Control, command, [&](HW_STREAM_REQUEST_BLOCK& srb) {
            srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.get());
        });
    }
};

namespace {

NTSTATUS NTAPI ClassPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* extension = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
    Device* device = extension != nullptr && extension->magic == kFdoMagic ? extension->device : nullptr;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // The stream class handles the state-changing PnP requests itself (the
    // C++ API drives them here); everything else is first offered to the
    // minidriver.
    bool ownMinor = false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        ownMinor = true;
        break;
    default:
        break;
    }
    if (device != nullptr && !ownMinor) {
        const Result r = Internals::SendAdapter(
            *device, SRB_UNKNOWN_DEVICE_COMMAND, [Irp](HW_STREAM_REQUEST_BLOCK& srb) { srb.Irp = Irp; }, false);
        if (r.completed && r.status != STATUS_NOT_SUPPORTED && r.status != STATUS_NOT_IMPLEMENTED) {
            Irp->IoStatus.Status = r.status;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return r.status;
        }
    }
    if (device != nullptr && device->LowerDeviceObject() != nullptr) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(device->LowerDeviceObject(), Irp);
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

std::string LinkFor(const DeviceOptions& options)
{
    switch (options.linkNamespace) {
    case LinkNamespace::QuestionMarks: return "\\??\\" + options.linkBody;
    case LinkNamespace::DosDevices: return "\\DosDevices\\" + options.linkBody;
    case LinkNamespace::None: return {};
    }
    return {};
}

}  // namespace

// --------------------------------------------------------- PropertyRequest ---

PropertyRequest PropertyRequest::Make(const GUID& set, ULONG id, size_t dataSize, size_t propertySize)
{
    PropertyRequest r;
    r.set = set;
    r.id = id;
    r.property.assign(propertySize, 0);
    r.data.assign(dataSize, 0);
    return r;
}

// ------------------------------------------------------------------ Driver ---

std::unique_ptr<Driver> Driver::Load(DriverEntryRoutine entry, std::string_view serviceName)
{
    if (entry == nullptr) throw std::invalid_argument("Driver::Load needs an entry routine");
    std::unique_ptr<Driver> driver(new Driver);
    driver->object_ = kv::kernel::io::CreateDriver(serviceName);
    driver->entryStatus_ = entry(driver->object_, kv::kernel::io::DriverRegistryPath(driver->object_));
    return driver;
}

Driver::~Driver()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.registrations.erase(object_);
}

bool Driver::Registered() const
{
    return RegistrationOf(object_).has_value();
}

HW_INITIALIZATION_DATA Driver::Registration() const
{
    return RegistrationOf(object_).value_or(HW_INITIALIZATION_DATA{});
}

// ------------------------------------------------------------------ Device ---

std::unique_ptr<Device> Device::Add(Driver& driver, PDEVICE_OBJECT physicalDevice, const DeviceOptions& options)
{
    auto registration = RegistrationOf(driver.Object());
    if (!registration || physicalDevice == nullptr) return nullptr;
    kv::kernel::CheckPassive("stream class AddDevice");

    PDEVICE_OBJECT fdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver.Object(), sizeof(FdoExtension), nullptr, FILE_DEVICE_KS,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo)) ||
        fdo == nullptr) {
        return nullptr;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, physicalDevice);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return nullptr;
    }
    std::unique_ptr<Device> device(new Device);
    device->driver_ = &driver;
    device->fdo_ = fdo;
    device->lower_ = lower;
    PDEVICE_OBJECT bottom = kv::kernel::io::PhysicalDeviceOf(physicalDevice);
    device->physical_ = bottom != nullptr ? bottom : physicalDevice;
    auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
    extension->magic = kFdoMagic;
    extension->device = device.get();
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;

    device->extensionSize_ = registration->DeviceExtensionSize;
    device->extension_ = Exact(std::max<ULONG>(registration->DeviceExtensionSize, 1));

    PORT_CONFIGURATION_INFORMATION& config = device->config_;
    config.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
    config.HwDeviceExtension = device->extension_.get();
    config.ClassDeviceObject = fdo;
    config.PhysicalDeviceObject = lower;
    config.RealPhysicalDeviceObject = device->physical_;
    config.AdapterInterfaceType = PNPBus;

    device->link_ = LinkFor(options);
    if (!device->link_.empty()) {
        const auto links = kv::kernel::interfaces::Links(KSCATEGORY_CAPTURE);
        if (std::find(links.begin(), links.end(), device->link_) != links.end()) {
            kv::kernel::interfaces::SetEnabled(device->link_, options.interfaceEnabled);
        } else {
            kv::kernel::interfaces::Register(KSCATEGORY_CAPTURE, device->physical_, device->link_,
                                             options.interfaceEnabled);
        }
    }
    return device;
}

namespace {

// Deferred work a minidriver left behind when it should have quiesced.
void ReportPending(const std::string& when, const void* begin, size_t bytes, PDEVICE_OBJECT device = nullptr,
                   bool forget = false)
{
    auto pending = kv::kernel::scheduler::PendingWithin(begin, bytes, device);
    if (forget) kv::kernel::detail::ForgetTimersAndDpcsWithin(begin, bytes);
    for (const auto& item : pending) kv::kernel::RecordViolation(item + " still pending at " + when);
}

}  // namespace

Device::~Device()
{
    const bool live = fdo_ != nullptr && kv::kernel::io::IsLiveDevice(fdo_);
    if (live) {
        for (auto& stream : streams_) {
            if (stream->open_) stream->Close();
        }
        if (initialized_) Uninitialize();
    }
    // The extensions are freed with this object.
    ReportPending("device removal", extension_.get(), extensionSize_, live ? fdo_ : nullptr, true);
    for (auto& stream : streams_) {
        ReportPending("device removal", stream->extension_.get(), stream->extensionSize_, nullptr, true);
    }
    for (auto& stream : streams_) {
        for (auto& read : stream->pending_) {
            if (!read->Completed()) {
                kv::kernel::RecordViolation(Describe(read->Srb(), SRB_READ_DATA) +
                                            " was never completed before its device went away");
            }
        }
    }
    if (!link_.empty() && live) kv::kernel::interfaces::SetEnabled(link_, false);
    if (live) {
        auto* extension = static_cast<FdoExtension*>(fdo_->DeviceExtension);
        if (extension != nullptr) extension->device = nullptr;
        if (lower_ != nullptr && kv::kernel::io::IsLiveDevice(lower_)) IoDetachDevice(lower_);
        IoDeleteDevice(fdo_);
    }
}

NTSTATUS Device::Start()
{
    Result r = InitializeDevice();
    if (!r.ok()) return r.status;
    r = GetStreamInfo();
    if (!r.ok()) return r.status;
    r = InitializationComplete();
    return r.status;
}

Result Device::InitializeDevice()
{
    config_.StreamDescriptorSize = 0;
    const Result r = Internals::SendAdapter(
        *this, SRB_INITIALIZE_DEVICE, [this](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.ConfigInfo = &config_; },
        true);
    if (r.completed && NT_SUCCESS(r.status)) initialized_ = true;
    return r;
}

Result Device::GetStreamInfo()
{
    // The buffer is what the minidriver asked for at initialisation.
    const size_t size = config_.StreamDescriptorSize != 0 ? config_.StreamDescriptorSize : sizeof(HW_STREAM_DESCRIPTOR);
    auto buffer = Exact(std::max(size, sizeof(HW_STREAM_HEADER)));
    const Result r = Internals::SendAdapter(
        *this, SRB_GET_STREAM_INFO,
        [&](HW_STREAM_REQUEST_BLOCK& srb) {
            srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer.get());
            srb.NumberOfBytesToTransfer = static_cast<ULONG>(size);
        },
        true);
    if (!r.completed || !NT_SUCCESS(r.status)) return r;

    StreamDescription description;
    std::memcpy(&description.header, buffer.get(), sizeof(HW_STREAM_HEADER));
    ULONG streams = description.header.NumberOfStreams;
    const size_t room = size > sizeof(HW_STREAM_HEADER) ? (size - sizeof(HW_STREAM_HEADER)) / sizeof(HW_STREAM_INFORMATION) : 0;
    if (streams != 0 && description.header.SizeOfHwStreamInformation != sizeof(HW_STREAM_INFORMATION)) {
        kv::kernel::RecordViolation("SRB_GET_STREAM_INFO: SizeOfHwStreamInformation is " +
                                    std::to_string(description.header.SizeOfHwStreamInformation) + ", not " +
                                    std::to_string(sizeof(HW_STREAM_INFORMATION)));
    }
    if (streams > room) {
        kv::kernel::RecordViolation("SRB_GET_STREAM_INFO: " + std::to_string(streams) +
                                    " streams reported, the buffer holds " + std::to_string(room));
        streams = static_cast<ULONG>(room);
    }
    const auto* info = reinterpret_cast<const HW_STREAM_INFORMATION*>(buffer.get() + sizeof(HW_STREAM_HEADER));
    description.streams.assign(info, info + streams);
    description_ = std::move(description);
    return r;
}

Result Device::InitializationComplete()
{
    return Internals::SendAdapter(*this, SRB_INITIALIZATION_COMPLETE, {}, true);
}

Result Device::Uninitialize()
{
    const Result r = Internals::SendAdapter(*this, SRB_UNINITIALIZE_DEVICE, {}, true);
    initialized_ = false;
    return r;
}

Result Device::ChangePowerState(DEVICE_POWER_STATE state)
{
    return Internals::SendAdapter(
        *this, SRB_CHANGE_POWER_STATE, [state](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.DeviceState = state; },
        true);
}

Result Device::SurpriseRemoval()
{
    return Internals::SendAdapter(*this, SRB_SURPRISE_REMOVAL, {}, true);
}

Result Device::OpenDeviceInstance()
{
    return Internals::SendAdapter(*this, SRB_OPEN_DEVICE_INSTANCE, {}, true);
}

Result Device::CloseDeviceInstance()
{
    return Internals::SendAdapter(*this, SRB_CLOSE_DEVICE_INSTANCE, {}, true);
}

Result Device::PagingOutDriver()
{
    return Internals::SendAdapter(*this, SRB_PAGING_OUT_DRIVER, {}, true);
}

Result Device::DataIntersection(ULONG streamNumber, const void* range, size_t rangeSize, ULONG bufferSize,
                                std::vector<uint8_t>* format)
{
    if (!Internals::FormatUsable(range, rangeSize)) return Internals::Refused(STATUS_INVALID_PARAMETER);
    if (description_ && streamNumber >= description_->streams.size()) return Internals::Refused(STATUS_INVALID_PARAMETER);
    const ULONG rangeBytes = static_cast<const KSDATARANGE*>(range)->FormatSize;
    auto rangeCopy = ExactCopy(range, rangeBytes);
    auto output = Exact(bufferSize);
    STREAM_DATA_INTERSECT_INFO info{};
    info.StreamNumber = streamNumber;
    info.DataRange = reinterpret_cast<PKSDATARANGE>(rangeCopy.get());
    info.DataFormatBuffer = output.get();
    info.SizeOfDataFormatBuffer = bufferSize;
    const Result r = Internals::SendAdapter(
        *this, SRB_GET_DATA_INTERSECTION, [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.IntersectInfo = &info; },
        true);
    if (format != nullptr) format->assign(output.get(), output.get() + bufferSize);
    return r;
}

Result Device::GetProperty(PropertyRequest& request)
{
    return Internals::Property(*this, nullptr, false, request);
}

Result Device::SetProperty(PropertyRequest& request)
{
    return Internals::Property(*this, nullptr, true, request);
}

Result Device::OpenStream(ULONG streamNumber, const void* format, size_t size, Stream** stream)
{
    if (stream != nullptr) *stream = nullptr;
    if (!description_ || streamNumber >= description_->streams.size()) return Internals::Refused(STATUS_INVALID_PARAMETER);
    if (!Internals::FormatUsable(format, size)) return Internals::Refused(STATUS_INVALID_PARAMETER);
    const ULONG instances = description_->streams[streamNumber].NumberOfPossibleInstances;
    const auto open = std::count_if(streams_.begin(), streams_.end(),
                                    [&](const auto& s) { return s->open_ && s->number_ == streamNumber; });
    if (open >= static_cast<long>(instances)) return Internals::Refused(STATUS_INVALID_DEVICE_REQUEST);

    auto registration = RegistrationOf(driver_->Object());
    if (!registration) return Internals::Refused(STATUS_INVALID_DEVICE_STATE);
    std::unique_ptr<Stream> created(new Stream);
    created->device_ = this;
    created->number_ = streamNumber;
    created->object_.reset(new HW_STREAM_OBJECT{});
    created->extension_ = Exact(registration->PerStreamExtensionSize);
    created->extensionSize_ = registration->PerStreamExtensionSize;
    HW_STREAM_OBJECT& object = *created->object_;
    object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    object.StreamNumber = streamNumber;
    object.HwStreamExtension = created->extension_.get();
    object.HwDeviceExtension = extension_.get();

    const ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
    auto copy = ExactCopy(format, formatSize);
    Stream* raw = created.get();
    const Result r = Internals::SendAdapter(
        *this, SRB_OPEN_STREAM,
        [&](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.get()); },
        true, raw);
    if (!r.completed || !NT_SUCCESS(r.status)) return r;
    if (object.ReceiveDataPacket == nullptr || object.ReceiveControlPacket == nullptr) {
        kv::kernel::RecordViolation("SRB_OPEN_STREAM succeeded without stream routines in the stream object");
    }
    created->open_ = true;
    streams_.push_back(std::move(created));
    if (stream != nullptr) *stream = raw;
    return r;
}

Result Device::SendAdapterRequest(SRB_COMMAND command, const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill)
{
    return Internals::SendAdapter(*this, command, fill, true);
}

NTSTATUS Device::QueryInterface(const GUID& type, USHORT size, USHORT version, void* buffer)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, fdo_, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = size;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(buffer);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    NTSTATUS status = IofCallDriver(fdo_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// ------------------------------------------------------------------ Stream ---

Result Stream::Close()
{
    if (!open_) return Internals::Refused(STATUS_INVALID_DEVICE_STATE);
    const Result r = Internals::SendAdapter(*device_, SRB_CLOSE_STREAM, {}, true, this);
    // A close is not refused by the platform: the pin is gone either way.
    open_ = false;
    ReportPending("stream close", extension_.get(), extensionSize_);
    for (auto& read : pending_) {
        if (!read->Completed()) {
            kv::kernel::RecordViolation(Describe(read->Srb(), SRB_READ_DATA) + " still pending after its stream closed");
        }
    }
    return r;
}

Result Stream::SetState(KSSTATE state)
{
    const Result r = Internals::SendStream(*this, Kind::Control, SRB_SET_STREAM_STATE,
                                           [state](HW_STREAM_REQUEST_BLOCK& srb) { srb.CommandData.StreamState = state; });
    if (state == KSSTATE_STOP && r.ok()) ReportPending("stream stop", extension_.get(), extensionSize_);
    return r;
}

Result Stream::GetState(KSSTATE* state)
{
    KSSTATE answer = KSSTATE_STOP;
    const Result r = Internals::SendStream(
        *this, Kind::Control, SRB_GET_STREAM_STATE, {},
        [&](const HW_STREAM_REQUEST_BLOCK& srb) { answer = srb.CommandData.StreamState; });
    if (state != nullptr) *state = answer;
    return r;
}

Result Stream::ProposeFormat(const void* format, size_t size)
{
    return Internals::FormatRequest(*this, SRB_PROPOSE_DATA_FORMAT, format, size);
}

Result Stream::SetFormat(const void* format, size_t size)
{
    return Internals::FormatRequest(*this, SRB_SET_DATA_FORMAT, format, size);
}

Result Stream::GetFormat(ULONG bufferSize, std::vector<uint8_t>* format)
{
    auto buffer = Exact(bufferSize);
    const Result r = Internals::SendStream(*this, Kind::Control, SRB_GET_DATA_FORMAT, [&](HW_STREAM_REQUEST_BLOCK& srb) {
        srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(buffer.get());
        srb.NumberOfBytesToTransfer = bufferSize;
    });
    if (format != nullptr) format->assign(buffer.get(), buffer.get() + bufferSize);
    return r;
}

Result Stream::GetProperty(PropertyRequest& request)
{
    return Internals::Property(*device_, this, false, request);
}

Result Stream::SetProperty(PropertyRequest& request)
{
    return Internals::Property(*device_, this, true, request);
}

Result Stream::SendControl(SRB_COMMAND command, const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill)
{
    return Internals::SendStream(*this, Kind::Control, command, fill);
}

std::shared_ptr<ReadRequest> Stream::Read(ULONG frameSize, ULONG buffers)
{
    auto request = std::shared_ptr<ReadRequest>(new ReadRequest);
    if (buffers == 0 || buffers > 64) {
        request->refused_ = Internals::Refused(STATUS_INVALID_PARAMETER);
        return request;
    }
    // Each stream header is followed by the video frame-info extension.
    request->count_ = buffers;
    request->frameSize_ = frameSize;
    request->stride_ = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    request->headers_ = Exact(request->stride_ * buffers);
    for (ULONG i = 0; i < buffers; ++i) {
        request->frames_.push_back(Exact(frameSize));
        auto* header = reinterpret_cast<KSSTREAM_HEADER*>(request->headers_.get() + i * request->stride_);
        header->Size = static_cast<ULONG>(request->stride_);
        header->FrameExtent = frameSize;
        header->Data = request->frames_.back().get();
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    }
    return Internals::SendData(*this, SRB_READ_DATA, request, [&](HW_STREAM_REQUEST_BLOCK& srb) {
        srb.CommandData.DataBufferArray = reinterpret_cast<PKSSTREAM_HEADER>(request->headers_.get());
        srb.NumberOfBuffers = buffers;
        srb.NumberOfBytesToTransfer = frameSize * buffers;
    });
}

std::shared_ptr<ReadRequest> Stream::SendData(SRB_COMMAND command,
                                              const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& fill)
{
    return Internals::SendData(*this, command, std::shared_ptr<ReadRequest>(new ReadRequest), fill);
}

void Stream::Cancel(ReadRequest& request)
{
    auto registration = RegistrationOf(device_->driver_->Object());
    if (request.block_ && !request.Completed() && registration && registration->HwCancelPacket != nullptr) {
        registration->HwCancelPacket(request.block_->srb.get());
    }
}

void Stream::Timeout(ReadRequest& request)
{
    auto registration = RegistrationOf(device_->driver_->Object());
    if (request.block_ && !request.Completed() && registration && registration->HwRequestTimeoutHandler != nullptr) {
        registration->HwRequestTimeoutHandler(request.block_->srb.get());
    }
}

size_t Stream::PendingReads() const
{
    return std::count_if(pending_.begin(), pending_.end(), [](const auto& r) { return !r->Completed(); });
}

// ------------------------------------------------------------- ReadRequest ---

bool ReadRequest::Completed() const
{
    return result().completed;
}

const Result& ReadRequest::result() const
{
    if (!block_) return refused_;
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    snapshot_ = block_->result;
    return snapshot_;
}

const KSSTREAM_HEADER& ReadRequest::Header(ULONG i) const
{
    if (i >= count_) throw std::out_of_range("ReadRequest::Header");
    return *reinterpret_cast<const KSSTREAM_HEADER*>(headers_.get() + i * stride_);
}

const KS_FRAME_INFO& ReadRequest::FrameInfo(ULONG i) const
{
    return *reinterpret_cast<const KS_FRAME_INFO*>(&Header(i) + 1);
}

PHW_STREAM_REQUEST_BLOCK ReadRequest::Srb() const
{
    return block_ ? block_->srb.get() : nullptr;
}

// ------------------------------------------------------------------ whole ---

std::vector<FilterRegistration> FilterRegistrations()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.filters;
}

void Reset()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.filters.clear();
    s.ended.clear();
}

size_t OutstandingRequests()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return std::count_if(s.live.begin(), s.live.end(), [](const auto& e) { return !e.second->result.completed; });
}

}  // namespace kv::streamclass

// ------------------------------------------------------ minidriver side ---

using kv::streamclass::Internals;

extern "C" NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                                         PHW_INITIALIZATION_DATA HwInitializationData)
{
    (void)Argument2;
    kv::kernel::CheckPassive("StreamClassRegisterAdapter");
    auto* driver = static_cast<PDRIVER_OBJECT>(Argument1);
    if (driver == nullptr || HwInitializationData == nullptr || HwInitializationData->HwReceivePacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (HwInitializationData->SizeOfThisPacket < sizeof(HW_INITIALIZATION_DATA) &&
        HwInitializationData->HwInitializationDataSize < sizeof(HW_INITIALIZATION_DATA)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = kv::kernel::ConsumeInjectedFailure("StreamClassRegisterAdapter")) return *failure;
    kv::streamclass::Internals::Register(driver, *HwInitializationData);
    return STATUS_SUCCESS;
}

extern "C" VOID STREAM_CDECL StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                                           PVOID HwDeviceExtension, ...)
{
    switch (NotificationType) {
    case DeviceRequestComplete: {
        va_list args;
        va_start(args, HwDeviceExtension);
        auto* srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        Internals::CompleteDevice(srb, HwDeviceExtension);
        break;
    }
    case ReadyForNextDeviceRequest:
    case SignalMultipleDeviceEvents:
    case SignalDeviceEvent:
    case DeleteDeviceEvent:
    case SignalMultipleDeviceInstanceEvents:
        break;
    default:
        kv::kernel::RecordViolation("StreamClassDeviceNotification with unknown type " +
                                    std::to_string(static_cast<ULONG>(NotificationType)));
        break;
    }
}

extern "C" VOID STREAM_CDECL StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                                           PHW_STREAM_OBJECT StreamObject, ...)
{
    switch (NotificationType) {
    case StreamRequestComplete: {
        va_list args;
        va_start(args, StreamObject);
        auto* srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        Internals::CompleteStream(srb, StreamObject);
        break;
    }
    case ReadyForNextStreamDataRequest:
    case ReadyForNextStreamControlRequest:
    case HardwareStarved:
    case SignalMultipleStreamEvents:
    case SignalStreamEvent:
    case DeleteStreamEvent:
        break;
    default:
        kv::kernel::RecordViolation("StreamClassStreamNotification with unknown type " +
                                    std::to_string(static_cast<ULONG>(NotificationType)));
        break;
    }
}

extern "C" NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                                    const GUID* InterfaceClassGUID, ULONG PinCount,
                                                                    BOOL* PinDirection, KSPIN_MEDIUM* MediumList,
                                                                    GUID* CategoryList)
{
    kv::kernel::CheckPassive("StreamClassRegisterFilterWithNoKSPins");
    kv::streamclass::FilterRegistration r;
    r.device = DeviceObject;
    r.pinCount = PinCount;
    // A filter has few pins; a count beyond that is a wild value, and the
    // arrays are not read.
    constexpr ULONG kMaxPins = 64;
    if (DeviceObject == nullptr || InterfaceClassGUID == nullptr || PinCount > kMaxPins ||
        (PinCount != 0 && (PinDirection == nullptr || MediumList == nullptr))) {
        r.status = STATUS_INVALID_PARAMETER;
    } else {
        r.category = *InterfaceClassGUID;
        r.pinDirections.assign(PinDirection, PinDirection + PinCount);
        r.mediums.assign(MediumList, MediumList + PinCount);
        r.categoriesGiven = CategoryList != nullptr;
        if (CategoryList != nullptr) r.pinCategories.assign(CategoryList, CategoryList + PinCount);
        r.status = kv::kernel::ConsumeInjectedFailure("StreamClassRegisterFilterWithNoKSPins").value_or(STATUS_SUCCESS);
    }
    const NTSTATUS status = r.status;
    Internals::AddFilter(std::move(r));
    return status;
}
