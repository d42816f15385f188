// The emulated host controller and root hub port: URB checks, control
// transfers against the device's endpoint 0, the isochronous schedule on the
// emulated clock, and the URB log.
//
// Time: the bus counts microframes of 125 us (1250 clock units). The port
// ties its microframe count to the clock when it is attached. The device
// keeps its own count, which moves with the isochronous transactions it
// serves (and the microframes of a request the controller failed).
#include "host/usbport.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>

#include "host/kernel.h"
#include "host/scheduler.h"

namespace kv::usbport {

namespace {

constexpr LONGLONG kMicroframeUnits = 1250;
constexpr ULONG kMaxPipes = 32;
constexpr uint8_t kEndpointTypeInterrupt = 3;

NTSTATUS StatusFor(USBD_STATUS usbd)
{
    if (USBD_SUCCESS(usbd)) return STATUS_SUCCESS;
    switch (usbd) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NO_BANDWIDTH: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_URB_FUNCTION: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_ERROR_BUSY: return STATUS_INVALID_DEVICE_STATE;
    default: return STATUS_UNSUCCESSFUL;
    }
}

bool IsPeriodic(const USB_ENDPOINT_DESCRIPTOR& e)
{
    const uint8_t type = e.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    return type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == kEndpointTypeInterrupt;
}

// Bytes per microframe an isochronous endpoint reserves (0 for the others):
// the budget is the isochronous share of the bus.
uint32_t IsochronousBytes(const USB_ENDPOINT_DESCRIPTOR& e)
{
    if ((e.bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS) return 0;
    return UsbHighSpeedBytesPerMicroframe(e.wMaxPacketSize);
}

}  // namespace

struct Port::Pipe {
    uint8_t endpoint = 0;
    uint8_t type = 0;  // USB_ENDPOINT_TYPE_*
    uint8_t interfaceNumber = 0;
    uint32_t bytesPerMicroframe = 0;
    bool open = false;
    uint64_t next = 0;  // first microframe free for the next ASAP request
};

struct Port::Pending {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;
    uint64_t start = 0;  // first microframe
    ULONG packets = 0;
    LONGLONG due = 0;  // clock time the last microframe ends
    uint64_t id = 0;
    bool urbTracked = false;     // the URB is a pool block of its own
    bool bufferTracked = false;  // so is the buffer
};

struct Port::Impl {
    UsbFunction& device;
    PortOptions options;
    mutable std::recursive_mutex mutex;
    KTIMER timer{};
    KDPC dpc{};

    std::vector<uint8_t> configuration;  // the descriptor selected, empty when unconfigured
    UCHAR configurationHandle = 0;        // its address is the handle
    std::array<UCHAR, 32> interfaceHandles{};
    std::array<uint8_t, 32> alternate{};
    std::deque<std::unique_ptr<Pipe>> pipes;  // every pipe opened; a handle is the address
    std::deque<Pending> pending;
    size_t peak = 0;
    bool gone = false;
    bool removed = false;

    LONGLONG clockBase = 0;
    uint64_t frameBase = 0;
    uint64_t nextId = 0;
    uint64_t isoFaultCountdown = 0;
    USBD_STATUS isoFaultStatus = USBD_STATUS_ISOCH_REQUEST_FAILED;

    bool recordEvents = true;
    bool recordData = false;
    std::vector<UrbEvent> events;
    std::function<void(const UrbEvent&)> sink;

    Impl(UsbFunction& d, const PortOptions& o) : device(d), options(o) {}

    uint64_t Microframe() const
    {
        const LONGLONG elapsed = kv::kernel::clock::Now() - clockBase;
        return frameBase + static_cast<uint64_t>(elapsed > 0 ? elapsed / kMicroframeUnits : 0);
    }
    LONGLONG ClockAt(uint64_t microframe) const
    {
        return clockBase + static_cast<LONGLONG>(microframe - frameBase) * kMicroframeUnits;
    }

    bool Gone() const { return gone || device.Unplugged(); }

    Pipe* FindPipe(USBD_PIPE_HANDLE handle)
    {
        for (auto& pipe : pipes) {
            if (pipe.get() == handle) return pipe->open ? pipe.get() : nullptr;
        }
        return nullptr;
    }

    bool Wanted() const { return recordEvents || static_cast<bool>(sink); }
    void Emit(UrbEvent&& event)
    {
        if (sink) sink(event);
        if (recordEvents) events.push_back(std::move(event));
    }

    // ------------------------------------------------------- control ---
    USBD_STATUS Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, uint8_t* buffer, ULONG* length)
    {
        if (Gone()) {
            *length = 0;
            return USBD_STATUS_DEVICE_GONE;
        }
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        const ULONG asked = *length;
        const NTSTATUS status = device.ControlTransfer(&setup, buffer, length, &usbd);
        if (*length > asked) *length = asked;  // a device never moves more than was asked for
        kv::kernel::clock::Advance(static_cast<LONGLONG>(options.controlMicroframes) * kMicroframeUnits);
        if (status == STATUS_DEVICE_NOT_CONNECTED || usbd == USBD_STATUS_DEVICE_GONE) {
            gone = true;
            return USBD_STATUS_DEVICE_GONE;
        }
        if (!NT_SUCCESS(status) && USBD_SUCCESS(usbd)) usbd = USBD_STATUS_STALL_PID;
        return usbd;
    }

    // The interface descriptor (number, setting) of the selected configuration.
    const USB_INTERFACE_DESCRIPTOR* FindInterface(uint8_t number, uint8_t setting) const
    {
        size_t at = configuration.empty() ? 0 : configuration[0];
        while (at + 2 <= configuration.size()) {
            const uint8_t length = configuration[at];
            if (length < 2 || length > configuration.size() - at) return nullptr;
            if (configuration[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
                auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&configuration[at]);
                if (d->bInterfaceNumber == number && d->bAlternateSetting == setting) return d;
            }
            at += length;
        }
        return nullptr;
    }

    // The endpoints behind an interface descriptor; false when malformed.
    bool Endpoints(const USB_INTERFACE_DESCRIPTOR* d, std::vector<USB_ENDPOINT_DESCRIPTOR>* out) const
    {
        size_t at = static_cast<size_t>(reinterpret_cast<const uint8_t*>(d) - configuration.data()) + d->bLength;
        while (at + 2 <= configuration.size()) {
            const uint8_t length = configuration[at];
            if (length < 2 || length > configuration.size() - at) return false;
            const uint8_t type = configuration[at + 1];
            if (type == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
                USB_ENDPOINT_DESCRIPTOR e;
                std::memcpy(&e, &configuration[at], sizeof e);
                out->push_back(e);
            }
            at += length;
        }
        return out->size() == d->bNumEndpoints && out->size() <= kMaxPipes;
    }

    // Opens the pipes of one interface setting into `info` (checked by the
    // caller to hold them) after closing the interface's old ones.
    void OpenPipes(const USB_INTERFACE_DESCRIPTOR* d, const std::vector<USB_ENDPOINT_DESCRIPTOR>& endpoints,
                   PUSBD_INTERFACE_INFORMATION info)
    {
        for (auto& pipe : pipes) {
            if (pipe->interfaceNumber == d->bInterfaceNumber) pipe->open = false;
        }
        info->Class = d->bInterfaceClass;
        info->SubClass = d->bInterfaceSubClass;
        info->Protocol = d->bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = &interfaceHandles[d->bInterfaceNumber % interfaceHandles.size()];
        info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
        for (size_t i = 0; i < endpoints.size(); ++i) {
            const USB_ENDPOINT_DESCRIPTOR& e = endpoints[i];
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = e.bEndpointAddress;
            pipe->type = e.bmAttributes & USB_ENDPOINT_TYPE_MASK;
            pipe->interfaceNumber = d->bInterfaceNumber;
            pipe->bytesPerMicroframe = UsbHighSpeedBytesPerMicroframe(e.wMaxPacketSize);
            pipe->open = true;
            USBD_PIPE_INFORMATION& p = info->Pipes[i];
            // Periodic pipes report the bytes they move per microframe (size
            // times transactions), the figure a client sizes its packets by.
            p.MaximumPacketSize = static_cast<USHORT>(IsPeriodic(e) ? pipe->bytesPerMicroframe
                                                                             : (e.wMaxPacketSize & 0x7FFu));
            p.EndpointAddress = e.bEndpointAddress;
            p.Interval = e.bInterval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->type);
            p.PipeHandle = pipe.get();
            if (p.MaximumTransferSize == 0) p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            p.PipeFlags = 0;
            pipes.push_back(std::move(pipe));
        }
        alternate[d->bInterfaceNumber % alternate.size()] = d->bAlternateSetting;
    }

    bool InterfaceBusy(uint8_t number) const
    {
        return std::any_of(pending.begin(), pending.end(),
                           [&](const Pending& p) { return p.pipe->interfaceNumber == number; });
    }

    // Checks an interface record against its setting: the pipes it must hold
    // and the bandwidth they need.
    USBD_STATUS CheckInterface(PUSBD_INTERFACE_INFORMATION info, ULONG room, const USB_INTERFACE_DESCRIPTOR** found,
                               std::vector<USB_ENDPOINT_DESCRIPTOR>* endpoints) const
    {
        if (room < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || info->Length > room ||
            info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        const USB_INTERFACE_DESCRIPTOR* d = FindInterface(info->InterfaceNumber, info->AlternateSetting);
        if (d == nullptr || !Endpoints(d, endpoints)) return USBD_STATUS_INVALID_PARAMETER;
        const ULONG needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                             static_cast<ULONG>(endpoints->size() * sizeof(USBD_PIPE_INFORMATION));
        if (info->Length < needed) return USBD_STATUS_INVALID_PARAMETER;
        uint32_t bandwidth = 0;
        for (const auto& e : *endpoints) bandwidth += IsochronousBytes(e);
        if (bandwidth > options.bandwidthBudget) return USBD_STATUS_NO_BANDWIDTH;
        *found = d;
        return USBD_STATUS_SUCCESS;
    }
};

// ================================================================== Port ===

Port::Port(UsbFunction& device, const PortOptions& options)
    : impl_(std::make_unique<Impl>(device, options)), options_(options)
{
}

std::unique_ptr<Port> Port::Attach(UsbFunction& device, const PortOptions& options)
{
    std::unique_ptr<Port> port(new Port(device, options));
    Impl* impl = port->impl_.get();
    impl->clockBase = kv::kernel::clock::Now();
    impl->frameBase = device.CurrentMicroframe();
    KeInitializeTimerEx(&impl->timer, NotificationTimer);
    KeInitializeDpc(
        &impl->dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) NTAPI { static_cast<Port*>(context)->Service(); }, port.get());

    Port* raw = port.get();
    port->pdo_ = kv::kernel::io::CreatePhysicalDevice(options.instanceId, [raw](PDEVICE_OBJECT, PIRP irp) {
        return raw->Dispatch(irp);
    });
    if (port->pdo_ == nullptr) throw std::runtime_error("Port::Attach: no physical device object");
    return port;
}

Port::~Port()
{
    KeCancelTimer(&impl_->timer);
    size_t left;
    {
        std::lock_guard lock(impl_->mutex);
        left = impl_->pending.size();
    }
    if (left != 0) {
        kv::kernel::RecordViolation("USB device " + options_.instanceId + " removed with " + std::to_string(left) +
                                    " request(s) never completed");
    }
    if (pdo_ != nullptr && kv::kernel::io::IsLiveDevice(pdo_)) kv::kernel::io::DeleteDevice(pdo_);
}

size_t Port::PendingRequests() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->pending.size();
}

size_t Port::PeakPending() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->peak;
}

void Port::SetRecording(bool events, bool data)
{
    std::lock_guard lock(impl_->mutex);
    impl_->recordEvents = events;
    impl_->recordData = data;
}

std::vector<UrbEvent> Port::Events() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->events;
}

void Port::ClearEvents()
{
    std::lock_guard lock(impl_->mutex);
    impl_->events.clear();
}

void Port::SetEventSink(std::function<void(const UrbEvent&)> sink)
{
    std::lock_guard lock(impl_->mutex);
    impl_->sink = std::move(sink);
}

void Port::SetBandwidthBudget(uint32_t bytesPerMicroframe)
{
    std::lock_guard lock(impl_->mutex);
    impl_->options.bandwidthBudget = bytesPerMicroframe;
}

void Port::InjectIsoUrbFault(const IsoUrbFault& fault)
{
    std::lock_guard lock(impl_->mutex);
    impl_->isoFaultCountdown = fault.nth;
    impl_->isoFaultStatus = fault.usbdStatus;
}

// ============================================================ dispatch ===

NTSTATUS Port::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            std::lock_guard lock(impl_->mutex);
            impl_->removed = true;
        }
        return kv::kernel::io::CompleteWithCurrentStatus(irp);
    }
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        return kv::kernel::io::CompleteWithCurrentStatus(irp);
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->removed) {
            kv::kernel::RecordViolation("USB request sent to " + options_.instanceId + " after its removal");
            irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* bits = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (bits == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        std::lock_guard lock(impl_->mutex);
        *bits = impl_->Gone() ? 0 : (USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        kv::kernel::CheckPassive("IOCTL_INTERNAL_USB_RESET_PORT");
        if (impl_->Gone()) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        // A port reset ends every transfer and leaves the device unconfigured.
        CompleteAll(nullptr, USBD_STATUS_CANCELED);
        std::lock_guard lock(impl_->mutex);
        for (auto& pipe : impl_->pipes) pipe->open = false;
        impl_->configuration.clear();
        impl_->alternate.fill(0);
        kv::kernel::clock::Advance(10 * kv::kernel::clock::kUnitsPerMillisecond);
        break;
    }
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Port::FinishNow(PIRP irp, PURB urb, USBD_STATUS usbd, uint64_t id, uint32_t length, const uint8_t* data,
                         const UrbEvent* head)
{
    urb->UrbHeader.Status = usbd;
    const NTSTATUS status = StatusFor(usbd);
    if (impl_->Wanted()) {
        UrbEvent e;
        e.kind = UrbEvent::Kind::Complete;
        e.id = id;
        e.time = kv::kernel::clock::Now();
        e.function = urb->UrbHeader.Function;
        e.status = status;
        e.usbdStatus = usbd;
        e.length = length;
        e.irql = KeGetCurrentIrql();
        if (head != nullptr) {
            e.endpoint = head->endpoint;
            e.transferType = head->transferType;
            e.hasSetup = head->hasSetup;
            e.setup = head->setup;
        }
        std::lock_guard lock(impl_->mutex);
        if (data != nullptr && impl_->recordData) e.data.assign(data, data + length);
        impl_->Emit(std::move(e));
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Port::SubmitUrb(PIRP irp, PURB urb)
{
    if (urb == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT function = urb->UrbHeader.Function;
    const bool passiveOnly = function == URB_FUNCTION_SELECT_CONFIGURATION ||
                             function == URB_FUNCTION_SELECT_INTERFACE ||
                             function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    kv::kernel::CheckIrql(passiveOnly ? PASSIVE_LEVEL : DISPATCH_LEVEL, "USB request submission");

    uint64_t id;
    {
        std::lock_guard lock(impl_->mutex);
        id = ++impl_->nextId;
    }
    // The submission record.
    UrbEvent submit;
    const bool wanted = impl_->Wanted();
    if (wanted) {
        submit.id = id;
        submit.time = kv::kernel::clock::Now();
        submit.function = function;
        submit.irql = KeGetCurrentIrql();
    }
    // An injected failure: the request never reaches the bus, as when the
    // controller finds the device not responding.
    if (kv::kernel::ConsumeInjectedFailure("UsbSubmitUrb")) {
        if (wanted) {
            std::lock_guard lock(impl_->mutex);
            impl_->Emit(std::move(submit));
        }
        return FinishNow(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING, id, 0, nullptr);
    }

    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    bool control = false;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        if (urb->UrbHeader.Length < sizeof(r)) break;
        setup.bmRequestType = BMREQUEST_DEVICE_TO_HOST | BMREQUEST_STANDARD | BMREQUEST_TO_DEVICE;
        setup.bRequest = USB_REQUEST_GET_DESCRIPTOR;
        setup.wValue = static_cast<USHORT>((r.DescriptorType << 8) | r.Index);
        setup.wIndex = r.LanguageId;
        buffer = static_cast<uint8_t*>(r.TransferBuffer);
        length = r.TransferBufferLength;
        control = true;
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE: {
        auto& r = urb->UrbControlVendorClassRequest;
        if (urb->UrbHeader.Length < sizeof(r)) break;
        setup.bmRequestType = static_cast<UCHAR>(
            BMREQUEST_VENDOR | (function == URB_FUNCTION_VENDOR_INTERFACE ? BMREQUEST_TO_INTERFACE : 0) |
            ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? BMREQUEST_DEVICE_TO_HOST : 0) |
            (r.RequestTypeReservedBits & 0x1C));
        setup.bRequest = r.Request;
        setup.wValue = r.Value;
        setup.wIndex = r.Index;
        buffer = static_cast<uint8_t*>(r.TransferBuffer);
        length = r.TransferBufferLength;
        control = true;
        break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& r = urb->UrbControlTransfer;
        if (urb->UrbHeader.Length < sizeof(r)) break;
        std::memcpy(&setup, r.SetupPacket, sizeof setup);
        // The flag and the setup packet must agree on the direction.
        if (((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) !=
            ((setup.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0)) {
            return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
        }
        buffer = static_cast<uint8_t*>(r.TransferBuffer);
        length = r.TransferBufferLength;
        control = true;
        break;
    }
    default: break;
    }

    if (control) {
        if (length > 0xFFFF || (length != 0 && buffer == nullptr)) {
            if (wanted) {
                std::lock_guard lock(impl_->mutex);
                impl_->Emit(std::move(submit));
            }
            return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
        }
        setup.wLength = static_cast<USHORT>(length);
        const bool in = (setup.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0;
        UrbEvent head;
        head.endpoint = in ? 0x80 : 0x00;
        head.hasSetup = true;
        std::memcpy(head.setup.data(), &setup, 8);
        if (wanted) {
            submit.endpoint = head.endpoint;
            submit.hasSetup = true;
            submit.setup = head.setup;
            submit.length = length;
            if (!in && buffer != nullptr && impl_->recordData) submit.data.assign(buffer, buffer + length);
            std::lock_guard lock(impl_->mutex);
            impl_->Emit(std::move(submit));
        }
        ULONG moved = length;
        USBD_STATUS usbd;
        {
            std::lock_guard lock(impl_->mutex);
            usbd = impl_->Control(setup, buffer, &moved);
        }
        if (!USBD_SUCCESS(usbd) && in) moved = 0;
        // The request tells the client how much moved.
        if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            urb->UrbControlDescriptorRequest.TransferBufferLength = moved;
        } else if (function == URB_FUNCTION_CONTROL_TRANSFER) {
            urb->UrbControlTransfer.TransferBufferLength = moved;
        } else {
            urb->UrbControlVendorClassRequest.TransferBufferLength = moved;
        }
        if (usbd == USBD_STATUS_DEVICE_GONE) CompleteAll(nullptr, USBD_STATUS_DEVICE_GONE);
        return FinishNow(irp, urb, usbd, id, moved, in ? buffer : nullptr, &head);
    }

    if (wanted) {
        std::lock_guard lock(impl_->mutex);
        if (function != URB_FUNCTION_ISOCH_TRANSFER) impl_->Emit(UrbEvent(submit));
    }
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb, id);
    case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface(irp, urb, id);
    case URB_FUNCTION_ISOCH_TRANSFER: return SubmitIsochronous(irp, urb, id, std::move(submit));
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        if (urb->UrbHeader.Length < sizeof(urb->UrbPipeRequest)) break;
        Pipe* pipe;
        bool gone;
        {
            std::lock_guard lock(impl_->mutex);
            gone = impl_->Gone();
            pipe = impl_->FindPipe(urb->UrbPipeRequest.PipeHandle);
        }
        if (gone) {
            // Nothing reaches the device, but what the pipe holds comes back.
            CompleteAll(nullptr, USBD_STATUS_DEVICE_GONE);
            return FinishNow(irp, urb, USBD_STATUS_DEVICE_GONE, id, 0, nullptr);
        }
        if (pipe == nullptr) return FinishNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, id, 0, nullptr);
        if (function == URB_FUNCTION_ABORT_PIPE) {
            CompleteAll(pipe, USBD_STATUS_CANCELED);
        } else {
            std::lock_guard lock(impl_->mutex);
            // The pipe's schedule starts afresh with the next request.
            pipe->next = 0;
            kv::kernel::clock::Advance(static_cast<LONGLONG>(impl_->options.controlMicroframes) * kMicroframeUnits);
        }
        return FinishNow(irp, urb, USBD_STATUS_SUCCESS, id, 0, nullptr);
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
        if (urb->UrbHeader.Length < sizeof(urb->UrbGetCurrentFrameNumber)) break;
        std::lock_guard lock(impl_->mutex);
        urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(impl_->Microframe() / 8);
        return FinishNow(irp, urb, USBD_STATUS_SUCCESS, id, 0, nullptr);
    }
    default: return FinishNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, id, 0, nullptr);
    }
    return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
}

NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb, uint64_t id)
{
    auto& r = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)) {
        return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
    }
    if (impl_->Gone()) return FinishNow(irp, urb, USBD_STATUS_DEVICE_GONE, id, 0, nullptr);
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    setup.bmRequestType = BMREQUEST_HOST_TO_DEVICE | BMREQUEST_STANDARD | BMREQUEST_TO_DEVICE;
    setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    ULONG none = 0;
    CompleteAll(nullptr, USBD_STATUS_CANCELED);
    std::unique_lock lock(impl_->mutex);
    if (r.ConfigurationDescriptor == nullptr) {
        // Unconfigure: every pipe closes.
        const USBD_STATUS usbd = impl_->Control(setup, nullptr, &none);
        for (auto& pipe : impl_->pipes) pipe->open = false;
        impl_->configuration.clear();
        lock.unlock();
        return FinishNow(irp, urb, usbd, id, 0, nullptr);
    }
    const PUSB_CONFIGURATION_DESCRIPTOR config = r.ConfigurationDescriptor;
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        lock.unlock();
        return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
    }
    std::vector<uint8_t> previous = std::move(impl_->configuration);
    impl_->configuration.assign(reinterpret_cast<const uint8_t*>(config),
                                reinterpret_cast<const uint8_t*>(config) + config->wTotalLength);
    // Every interface record must name a setting of this configuration and
    // hold its pipes, and all of them together fit the bandwidth.
    struct Choice {
        PUSBD_INTERFACE_INFORMATION info;
        const USB_INTERFACE_DESCRIPTOR* descriptor;
        std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    std::vector<Choice> choices;
    auto* at = reinterpret_cast<uint8_t*>(&r.Interface);
    const auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    uint32_t bandwidth = 0;
    for (ULONG n = 0; n < config->bNumInterfaces && USBD_SUCCESS(usbd); ++n) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        const ULONG room = at < end ? static_cast<ULONG>(end - at) : 0;
        Choice c{info, nullptr, {}};
        usbd = impl_->CheckInterface(info, room, &c.descriptor, &c.endpoints);
        if (USBD_SUCCESS(usbd)) {
            for (const auto& e : c.endpoints) bandwidth += IsochronousBytes(e);
            at += info->Length;
            choices.push_back(std::move(c));
        }
    }
    if (USBD_SUCCESS(usbd) && bandwidth > impl_->options.bandwidthBudget) usbd = USBD_STATUS_NO_BANDWIDTH;
    if (USBD_SUCCESS(usbd)) {
        setup.wValue = config->bConfigurationValue;
        usbd = impl_->Control(setup, nullptr, &none);
    }
    if (!USBD_SUCCESS(usbd)) {
        impl_->configuration = std::move(previous);
        lock.unlock();
        return FinishNow(irp, urb, usbd, id, 0, nullptr);
    }
    for (auto& pipe : impl_->pipes) pipe->open = false;
    impl_->alternate.fill(0);
    for (auto& c : choices) impl_->OpenPipes(c.descriptor, c.endpoints, c.info);
    r.ConfigurationHandle = &impl_->configurationHandle;
    lock.unlock();
    return FinishNow(irp, urb, USBD_STATUS_SUCCESS, id, 0, nullptr);
}

NTSTATUS Port::SelectInterface(PIRP irp, PURB urb, uint64_t id)
{
    auto& r = urb->UrbSelectInterface;
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface)) {
        return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
    }
    std::unique_lock lock(impl_->mutex);
    if (impl_->Gone()) {
        lock.unlock();
        return FinishNow(irp, urb, USBD_STATUS_DEVICE_GONE, id, 0, nullptr);
    }
    if (impl_->configuration.empty() || r.ConfigurationHandle != &impl_->configurationHandle) {
        lock.unlock();
        return FinishNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, id, 0, nullptr);
    }
    const ULONG room = urb->UrbHeader.Length - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    const USB_INTERFACE_DESCRIPTOR* descriptor = nullptr;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    USBD_STATUS usbd = impl_->CheckInterface(&r.Interface, room, &descriptor, &endpoints);
    if (USBD_SUCCESS(usbd) && impl_->InterfaceBusy(r.Interface.InterfaceNumber)) usbd = USBD_STATUS_ERROR_BUSY;
    if (USBD_SUCCESS(usbd)) {
        USB_DEFAULT_PIPE_SETUP_PACKET setup{};
        setup.bmRequestType = BMREQUEST_HOST_TO_DEVICE | BMREQUEST_STANDARD | BMREQUEST_TO_INTERFACE;
        setup.bRequest = USB_REQUEST_SET_INTERFACE;
        setup.wValue = r.Interface.AlternateSetting;
        setup.wIndex = r.Interface.InterfaceNumber;
        ULONG none = 0;
        usbd = impl_->Control(setup, nullptr, &none);
    }
    if (USBD_SUCCESS(usbd)) impl_->OpenPipes(descriptor, endpoints, &r.Interface);
    lock.unlock();
    if (usbd == USBD_STATUS_DEVICE_GONE) CompleteAll(nullptr, USBD_STATUS_DEVICE_GONE);
    return FinishNow(irp, urb, usbd, id, 0, nullptr);
}

NTSTATUS Port::SubmitIsochronous(PIRP irp, PURB urb, uint64_t id, UrbEvent submit)
{
    auto& r = urb->UrbIsochronousTransfer;
    std::unique_lock lock(impl_->mutex);
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    Pipe* pipe = nullptr;
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)) {
        usbd = USBD_STATUS_INVALID_PARAMETER;
    } else if (impl_->Gone()) {
        usbd = USBD_STATUS_DEVICE_GONE;
    } else if ((pipe = impl_->FindPipe(r.PipeHandle)) == nullptr) {
        usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (pipe->type != USB_ENDPOINT_TYPE_ISOCHRONOUS ||
               ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != ((pipe->endpoint & 0x80) != 0)) {
        usbd = USBD_STATUS_INVALID_PARAMETER;  // not an isochronous pipe, or the wrong direction
    } else if (r.NumberOfPackets == 0 || r.NumberOfPackets > USBD_HIGH_SPEED_MAXIMUM_ISO_PACKETS ||
               r.NumberOfPackets % 8 != 0 || urb->UrbHeader.Length < GET_ISO_URB_SIZE(r.NumberOfPackets)) {
        usbd = USBD_STATUS_INVALID_PARAMETER;  // whole frames of a high-speed endpoint only
    } else if (r.TransferBuffer == nullptr || r.TransferBufferMDL != nullptr) {
        usbd = USBD_STATUS_INVALID_PARAMETER;
    } else {
        // Every packet needs room for a full microframe inside the buffer,
        // in ascending order.
        ULONG previous = 0;
        for (ULONG i = 0; i < r.NumberOfPackets && USBD_SUCCESS(usbd); ++i) {
            const ULONG offset = r.IsoPacket[i].Offset;
            if ((i != 0 && offset < previous + pipe->bytesPerMicroframe) || offset > r.TransferBufferLength ||
                r.TransferBufferLength - offset < pipe->bytesPerMicroframe) {
                usbd = USBD_STATUS_INVALID_PARAMETER;
            }
            previous = offset;
        }
    }
    if (pipe != nullptr && USBD_SUCCESS(usbd) && pipe->bytesPerMicroframe == 0) usbd = USBD_STATUS_NO_BANDWIDTH;

    uint64_t start = 0;
    if (USBD_SUCCESS(usbd)) {
        const uint64_t now = impl_->Microframe();
        if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
            // Right behind the pipe's last request; a pipe left idle starts
            // at the next frame.
            start = pipe->next > now ? pipe->next : now;
            r.StartFrame = static_cast<ULONG>(start / 8);
        } else {
            start = static_cast<uint64_t>(r.StartFrame) * 8;
            const uint64_t nowFrame = now / 8;
            if (r.StartFrame <= nowFrame || r.StartFrame > nowFrame + USBD_ISO_START_FRAME_RANGE ||
                start < pipe->next) {
                usbd = USBD_STATUS_BAD_START_FRAME;
            }
        }
    }
    if (impl_->Wanted()) {
        submit.endpoint = pipe != nullptr ? pipe->endpoint : 0;
        submit.transferType = 0;
        submit.length = r.TransferBufferLength;
        submit.startFrame = r.StartFrame;
        if (urb->UrbHeader.Length >= FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) && r.NumberOfPackets <= 1024 &&
            urb->UrbHeader.Length >= GET_ISO_URB_SIZE(r.NumberOfPackets ? r.NumberOfPackets : 1)) {
            submit.packets.assign(r.IsoPacket, r.IsoPacket + r.NumberOfPackets);
        }
        impl_->Emit(std::move(submit));
    }
    if (!USBD_SUCCESS(usbd)) {
        lock.unlock();
        return FinishNow(irp, urb, usbd, id, 0, nullptr);
    }
    Pending p;
    p.irp = irp;
    p.urb = urb;
    p.pipe = pipe;
    p.start = start;
    p.packets = r.NumberOfPackets;
    p.due = impl_->ClockAt(start + r.NumberOfPackets);
    p.id = id;
    p.urbTracked = kv::kernel::pool::IsLive(urb);
    p.bufferTracked = kv::kernel::pool::IsLive(r.TransferBuffer);
    pipe->next = start + r.NumberOfPackets;
    r.ErrorCount = 0;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    impl_->pending.push_back(p);
    const size_t onPipe = static_cast<size_t>(std::count_if(impl_->pending.begin(), impl_->pending.end(),
                                                            [&](const Pending& q) { return q.pipe == pipe; }));
    impl_->peak = std::max(impl_->peak, onPipe);
    Arm();
    return STATUS_PENDING;
}

// Sets the timer for the earliest request due (under the lock).
void Port::Arm()
{
    if (impl_->pending.empty()) {
        KeCancelTimer(&impl_->timer);
        return;
    }
    LONGLONG due = impl_->pending.front().due;
    for (const Pending& p : impl_->pending) due = std::min(due, p.due);
    const LONGLONG wait = std::max<LONGLONG>(due - kv::kernel::clock::Now(), 0);
    LARGE_INTEGER when;
    when.QuadPart = -wait;
    KeSetTimer(&impl_->timer, when, &impl_->dpc);
}

// The timer's DPC: every request whose last microframe has passed gets its
// packets and completes, earliest first.
void Port::Service()
{
    for (;;) {
        Pending p;
        {
            std::lock_guard lock(impl_->mutex);
            const LONGLONG now = kv::kernel::clock::Now();
            auto best = impl_->pending.end();
            for (auto it = impl_->pending.begin(); it != impl_->pending.end(); ++it) {
                if (it->due <= now && (best == impl_->pending.end() || it->due < best->due)) best = it;
            }
            if (best == impl_->pending.end()) {
                Arm();
                return;
            }
            p = *best;
            impl_->pending.erase(best);
        }
        const bool gone = Transfer(p);
        if (gone) CompleteAll(nullptr, USBD_STATUS_DEVICE_GONE);
    }
}

// Whether the request's memory is still there; a violation names what is not.
// Memory from the pool is checked; a URB or buffer elsewhere is the
// client's word.
bool Port::StillOwned(const Pending& p)
{
    if (!kv::kernel::io::IsLiveIrp(p.irp)) {
        kv::kernel::RecordViolation("USB request IRP freed while pending on " + options_.instanceId);
        return false;
    }
    if (p.urbTracked && !kv::kernel::pool::IsLive(p.urb)) {
        kv::kernel::RecordViolation("URB freed while its IRP was pending on " + options_.instanceId);
        return false;
    }
    if (p.bufferTracked && !kv::kernel::pool::IsLive(p.urb->UrbIsochronousTransfer.TransferBuffer)) {
        kv::kernel::RecordViolation("transfer buffer freed while its IRP was pending on " + options_.instanceId);
        return false;
    }
    return true;
}

// Takes the request's packets from the device and completes it; true when
// the device turned out to be gone.
bool Port::Transfer(const Pending& p)
{
    if (!StillOwned(p)) {
        if (kv::kernel::io::IsLiveIrp(p.irp)) {
            p.irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(p.irp, IO_NO_INCREMENT);
        }
        return false;
    }
    auto& r = p.urb->UrbIsochronousTransfer;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    bool gone = false;
    bool faulted = false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->isoFaultCountdown != 0 && --impl_->isoFaultCountdown == 0) faulted = true;
        gone = impl_->Gone();
    }
    for (ULONG i = 0; i < p.packets; ++i) {
        r.IsoPacket[i].Length = 0;
        r.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
    if (!gone) {
        if (faulted) {
            impl_->device.AdvanceMicroframes(p.packets);
            for (ULONG i = 0; i < p.packets; ++i) r.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        } else {
            const NTSTATUS status = impl_->device.IsochronousIn(p.pipe->endpoint, p.packets, r.IsoPacket,
                                                                static_cast<uint8_t*>(r.TransferBuffer),
                                                                r.TransferBufferLength);
            if (status == STATUS_DEVICE_NOT_CONNECTED) {
                gone = true;
            } else if (!NT_SUCCESS(status)) {
                for (ULONG i = 0; i < p.packets; ++i) {
                    r.IsoPacket[i].Length = 0;
                    r.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                }
            }
        }
    }
    ULONG errors = 0;
    ULONG bytes = 0;
    for (ULONG i = 0; i < p.packets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = r.IsoPacket[i];
        if (gone) {
            packet.Length = 0;
            packet.Status = USBD_STATUS_DEVICE_GONE;
        }
        if (packet.Length > p.pipe->bytesPerMicroframe) {
            packet.Length = 0;
            packet.Status = USBD_STATUS_DATA_OVERRUN;
        }
        if (!USBD_SUCCESS(packet.Status)) ++errors;
        bytes += packet.Length;
    }
    r.ErrorCount = errors;
    if (gone) {
        usbd = USBD_STATUS_DEVICE_GONE;
    } else if (faulted) {
        usbd = impl_->isoFaultStatus;
    } else if (errors == p.packets) {
        usbd = USBD_STATUS_ISOCH_REQUEST_FAILED;
    }
    FinishIsochronous(p, usbd, bytes);
    return gone;
}

// Completes an isochronous request whose packets are written, with its
// completion record.
void Port::FinishIsochronous(const Pending& p, USBD_STATUS usbd, uint32_t bytes)
{
    auto& r = p.urb->UrbIsochronousTransfer;
    if (impl_->Wanted()) {
        UrbEvent e;
        e.kind = UrbEvent::Kind::Complete;
        e.id = p.id;
        e.time = kv::kernel::clock::Now();
        e.function = URB_FUNCTION_ISOCH_TRANSFER;
        e.endpoint = p.pipe->endpoint;
        e.transferType = 0;
        e.status = StatusFor(usbd);
        e.usbdStatus = usbd;
        e.length = bytes;
        e.startFrame = r.StartFrame;
        e.errorCount = r.ErrorCount;
        e.packets.assign(r.IsoPacket, r.IsoPacket + p.packets);
        e.irql = KeGetCurrentIrql();
        std::lock_guard lock(impl_->mutex);
        if (impl_->recordData) {
            for (const auto& packet : e.packets) {
                const auto* from = static_cast<const uint8_t*>(r.TransferBuffer) + packet.Offset;
                e.data.insert(e.data.end(), from, from + packet.Length);
            }
        }
        impl_->Emit(std::move(e));
    }
    p.urb->UrbHeader.Status = usbd;
    p.irp->IoStatus.Status = StatusFor(usbd);
    p.irp->IoStatus.Information = 0;
    IoCompleteRequest(p.irp, IO_NO_INCREMENT);
}

// Completes what is pending (on one pipe, or all) with `usbd`, at
// DISPATCH_LEVEL as the controller's completion path runs.
void Port::CompleteAll(Pipe* pipe, USBD_STATUS usbd)
{
    std::vector<Pending> taken;
    {
        std::lock_guard lock(impl_->mutex);
        for (auto it = impl_->pending.begin(); it != impl_->pending.end();) {
            if (pipe == nullptr || it->pipe == pipe) {
                taken.push_back(*it);
                it = impl_->pending.erase(it);
            } else {
                ++it;
            }
        }
        if (pipe != nullptr) pipe->next = 0;
        Arm();
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (const Pending& p : taken) {
        if (!StillOwned(p)) continue;
        auto& r = p.urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < p.packets; ++i) {
            r.IsoPacket[i].Length = 0;
            r.IsoPacket[i].Status = usbd;
        }
        r.ErrorCount = p.packets;
        FinishIsochronous(p, usbd, 0);
    }
    KeLowerIrql(old);
}

}  // namespace kv::usbport
