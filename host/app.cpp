// The application side of the emulation: filter, pin, formats, frames.
#include "host/app.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/Driver.h"
#include "host/kernel.h"
#include "host/scheduler.h"
#include "props/Properties.h"
#include "sim/board.h"

namespace kv::app {

namespace sc = kv::streamclass;

namespace {

constexpr ULONG kMaxReadDepth = 16;

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// The stream class's answer for a request that never reached the driver
// has no completion; its status is the refusal.
NTSTATUS StatusOf(const sc::Result& result)
{
    return result.status;
}

std::string SubtypeName(const GUID& subtype)
{
    if (IsEqualGUIDBytes(subtype, MEDIASUBTYPE_YUY2)) return "YUY2";
    if (IsEqualGUIDBytes(subtype, MEDIASUBTYPE_I420)) return "I420";
    if (IsEqualGUIDBytes(subtype, MEDIASUBTYPE_RGB24)) return "RGB24";
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-...}", subtype.Data1, subtype.Data2, subtype.Data3);
    return text;
}

}  // namespace

std::string StatusText(NTSTATUS status)
{
    const char* name = nullptr;
    switch (status) {
    case STATUS_SUCCESS: name = "STATUS_SUCCESS"; break;
    case STATUS_TIMEOUT: name = "STATUS_TIMEOUT"; break;
    case STATUS_PENDING: name = "STATUS_PENDING"; break;
    case STATUS_BUFFER_OVERFLOW: name = "STATUS_BUFFER_OVERFLOW"; break;
    case STATUS_UNSUCCESSFUL: name = "STATUS_UNSUCCESSFUL"; break;
    case STATUS_NOT_IMPLEMENTED: name = "STATUS_NOT_IMPLEMENTED"; break;
    case STATUS_INVALID_PARAMETER: name = "STATUS_INVALID_PARAMETER"; break;
    case STATUS_INVALID_DEVICE_REQUEST: name = "STATUS_INVALID_DEVICE_REQUEST"; break;
    case STATUS_BUFFER_TOO_SMALL: name = "STATUS_BUFFER_TOO_SMALL"; break;
    case STATUS_INSUFFICIENT_RESOURCES: name = "STATUS_INSUFFICIENT_RESOURCES"; break;
    case STATUS_NOT_SUPPORTED: name = "STATUS_NOT_SUPPORTED"; break;
    case STATUS_CANCELLED: name = "STATUS_CANCELLED"; break;
    case STATUS_NOT_FOUND: name = "STATUS_NOT_FOUND"; break;
    case STATUS_NO_MATCH: name = "STATUS_NO_MATCH"; break;
    case STATUS_DEVICE_NOT_READY: name = "STATUS_DEVICE_NOT_READY"; break;
    case STATUS_DEVICE_NOT_CONNECTED: name = "STATUS_DEVICE_NOT_CONNECTED"; break;
    case STATUS_INVALID_DEVICE_STATE: name = "STATUS_INVALID_DEVICE_STATE"; break;
    default: break;
    }
    const std::string hex = Hex(static_cast<ULONG>(status));
    return name != nullptr ? std::string(name) + " (" + hex + ")" : hex;
}

// ----------------------------------------------------------------- formats ---

std::string FormatInfo::Describe() const
{
    char text[96];
    const double fps = frameInterval > 0 ? 10'000'000.0 / static_cast<double>(frameInterval) : 0.0;
    std::snprintf(text, sizeof(text), "%s %dx%d %.2f fps", subtype.c_str(), width, height, fps);
    return text;
}

const KS_DATAFORMAT_VIDEOINFOHEADER* Format::Header() const
{
    if (bytes.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(bytes.data());
}

LONG Format::Width() const
{
    return Header() != nullptr ? Header()->VideoInfoHeader.bmiHeader.biWidth : 0;
}

LONG Format::Height() const
{
    return Header() != nullptr ? Header()->VideoInfoHeader.bmiHeader.biHeight : 0;
}

ULONG Format::Fourcc() const
{
    return Header() != nullptr ? Header()->VideoInfoHeader.bmiHeader.biCompression : 0;
}

ULONG Format::ImageSize() const
{
    return Header() != nullptr ? Header()->VideoInfoHeader.bmiHeader.biSizeImage : 0;
}

LONGLONG Format::AvgTimePerFrame() const
{
    return Header() != nullptr ? Header()->VideoInfoHeader.AvgTimePerFrame : 0;
}

// -------------------------------------------------------------------- pin ---

Pin::Pin(Filter& filter, sc::Stream* stream, Format format)
    : filter_(filter), stream_(stream), format_(std::move(format))
{
    const auto* header = format_.Header();
    frameSize_ = header != nullptr ? std::max<ULONG>(header->DataFormat.SampleSize,
                                                     header->VideoInfoHeader.bmiHeader.biSizeImage)
                                   : 0;
}

Pin::~Pin()
{
    if (stream_ != nullptr && stream_->IsOpen()) {
        Stop();
        stream_->Close();
    }
}

NTSTATUS Pin::SetState(KSSTATE state)
{
    return StatusOf(stream_->SetState(state));
}

KSSTATE Pin::State()
{
    KSSTATE state = KSSTATE_STOP;
    stream_->GetState(&state);
    return state;
}

NTSTATUS Pin::Run()
{
    KSSTATE state = State();
    if (state == KSSTATE_RUN) return STATUS_SUCCESS;
    if (state == KSSTATE_STOP) {
        const NTSTATUS status = SetState(KSSTATE_ACQUIRE);
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = SetState(KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return status;
    status = SetState(KSSTATE_RUN);
    if (NT_SUCCESS(status)) TopUp();
    return status;
}

NTSTATUS Pin::Pause()
{
    const KSSTATE state = State();
    if (state == KSSTATE_STOP) {
        const NTSTATUS status = SetState(KSSTATE_ACQUIRE);
        if (!NT_SUCCESS(status)) return status;
    }
    return SetState(KSSTATE_PAUSE);
}

NTSTATUS Pin::Stop()
{
    KSSTATE state = State();
    NTSTATUS status = STATUS_SUCCESS;
    if (state == KSSTATE_RUN) status = SetState(KSSTATE_PAUSE);
    const NTSTATUS stop = SetState(KSSTATE_STOP);
    // Every queued read ends at stop; forget them.
    DropFinished();
    return NT_SUCCESS(status) ? stop : status;
}

void Pin::SetReadDepth(ULONG depth)
{
    depth_ = std::clamp<ULONG>(depth, 1, kMaxReadDepth);
}

void Pin::DropFinished()
{
    inFlight_.erase(std::remove_if(inFlight_.begin(), inFlight_.end(),
                                   [](const auto& read) { return read->Completed(); }),
                    inFlight_.end());
}

NTSTATUS Pin::TopUp()
{
    while (inFlight_.size() < depth_) {
        auto read = stream_->Read(frameSize_);
        if (read->Srb() == nullptr || read->Completed()) {
            // Refused or ended at once: nothing to wait for.
            return read->result().status;
        }
        inFlight_.push_back(std::move(read));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Pin::ReadFrame(Frame* frame, LONGLONG limit)
{
    if (frame == nullptr) return STATUS_INVALID_PARAMETER;
    // Requests the driver ended without a frame (a stop) are gone already.
    if (inFlight_.empty() || !inFlight_.front()->Completed()) {
        const NTSTATUS refused = TopUp();
        if (inFlight_.empty()) return NT_SUCCESS(refused) ? STATUS_UNSUCCESSFUL : refused;
    }
    auto oldest = inFlight_.front();
    if (!kv::kernel::clock::RunUntil([&] { return oldest->Completed(); }, limit)) {
        return STATUS_TIMEOUT;
    }
    inFlight_.erase(inFlight_.begin());
    const sc::Result result = oldest->result();
    if (result.status != STATUS_SUCCESS) {
        return result.status;
    }
    const KSSTREAM_HEADER& header = oldest->Header(0);
    const ULONG used = std::min(header.DataUsed, oldest->FrameSize());
    frame->data.assign(oldest->Data(0), oldest->Data(0) + used);
    frame->presentationTime = header.PresentationTime.Time;
    frame->duration = header.Duration;
    frame->optionsFlags = header.OptionsFlags;
    frame->pictureNumber = oldest->FrameInfo(0).PictureNumber;
    frame->dropCount = oldest->FrameInfo(0).DropCount;
    // Keep the queue full while the caller works on this one.
    TopUp();
    return STATUS_SUCCESS;
}

NTSTATUS Pin::GetDroppedFrames(DroppedFrames* dropped)
{
    auto request = sc::PropertyRequest::Record(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                               KSPROPERTY_DROPPEDFRAMES_CURRENT_S{});
    const sc::Result r = stream_->GetProperty(request);
    if (r.ok() && dropped != nullptr) {
        const auto record = request.DataAs<KSPROPERTY_DROPPEDFRAMES_CURRENT_S>();
        dropped->pictureNumber = record.PictureNumber;
        dropped->dropCount = record.DropCount;
        dropped->averageFrameSize = record.AverageFrameSize;
    }
    return r.status;
}

NTSTATUS Pin::GetAllocatorFraming(KSALLOCATOR_FRAMING* framing)
{
    auto request = sc::PropertyRequest::Make(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                                             sizeof(KSALLOCATOR_FRAMING));
    const sc::Result r = stream_->GetProperty(request);
    if (r.ok() && framing != nullptr) *framing = request.DataAs<KSALLOCATOR_FRAMING>();
    return r.status;
}

NTSTATUS Pin::GetStatistics(USBCAMD_STREAM_STATISTICS* statistics)
{
    auto request = sc::PropertyRequest::Make(PROPSETID_USBCAMD_STATISTICS, KSPROPERTY_USBCAMD_STATISTICS,
                                             sizeof(USBCAMD_STREAM_STATISTICS));
    const sc::Result r = stream_->GetProperty(request);
    if (r.ok() && statistics != nullptr) *statistics = request.DataAs<USBCAMD_STREAM_STATISTICS>();
    return r.status;
}

NTSTATUS Pin::Close()
{
    Stop();
    const NTSTATUS status = StatusOf(stream_->Close());
    inFlight_.clear();
    stream_ = nullptr;
    filter_.ForgetPin();  // destroys this pin
    return status;
}

// ----------------------------------------------------------------- filter ---

namespace {

#if defined(KV_APP_WITHOUT_DRIVER)
PDRIVER_INITIALIZE gDriverEntry = nullptr;
#else
PDRIVER_INITIALIZE gDriverEntry = &DriverEntry;
#endif

}  // namespace

void SetDriverEntry(PDRIVER_INITIALIZE entry) { gDriverEntry = entry; }

std::unique_ptr<Filter> Filter::Open(sim::Board& board, const FilterOptions& options)
{
    return Open(static_cast<kv::usbport::UsbFunction&>(board), board.BandwidthBudget(), options);
}

std::unique_ptr<Filter> Filter::Open(kv::usbport::UsbFunction& usb, uint32_t bandwidthBudget,
                                     const FilterOptions& options)
{
    std::unique_ptr<Filter> filter(new Filter);
    try {
        kv::usbport::PortOptions port;
        port.instanceId = options.instanceId;
        port.bandwidthBudget = bandwidthBudget;
        filter->port_ = kv::usbport::Port::Attach(usb, port);
        if (options.usbEvents) filter->port_->SetEventSink(options.usbEvents);
        filter->port_->SetRecording(false, options.usbEventData);
    } catch (const std::exception& e) {
        throw Error(std::string("no USB port for the device: ") + e.what(), STATUS_INVALID_PARAMETER);
    }
    if (!gDriverEntry) throw Error("no driver to load", STATUS_NO_SUCH_DEVICE);
    filter->driver_ = sc::Driver::Load(gDriverEntry);
    if (!NT_SUCCESS(filter->driver_->EntryStatus()) || !filter->driver_->Registered()) {
        throw Error("the driver did not load: " + StatusText(filter->driver_->EntryStatus()),
                    filter->driver_->EntryStatus());
    }
    filter->device_ = sc::Device::Add(*filter->driver_, filter->port_->Pdo(), options.device);
    if (!filter->device_) {
        throw Error("no device object for the driver", STATUS_INSUFFICIENT_RESOURCES);
    }
    const NTSTATUS status = filter->device_->Start();
    if (!NT_SUCCESS(status)) {
        throw Error("the device did not start: " + StatusText(status), status);
    }
    if (options.pacedToWallClock) kv::kernel::clock::SetPacedToWallClock(true);
    return filter;
}

Filter::~Filter()
{
    // Pin, device, driver, then the port they sit on.
    pin_.reset();
    device_.reset();
    driver_.reset();
    port_.reset();
}

void Filter::ForgetPin()
{
    pin_.reset();
}

std::vector<FormatInfo> Filter::Formats() const
{
    std::vector<FormatInfo> formats;
    const auto& description = device_->Description();
    if (!description || description->streams.empty()) return formats;
    const HW_STREAM_INFORMATION& info = description->streams[0];
    if (info.StreamFormatsArray == nullptr) return formats;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        const KSDATAFORMAT* entry = info.StreamFormatsArray[i];
        if (entry == nullptr || entry->FormatSize < sizeof(KS_DATARANGE_VIDEO) ||
            !IsEqualGUIDBytes(entry->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            continue;
        }
        FormatInfo f;
        f.index = i;
        std::memcpy(&f.range, entry, sizeof(KS_DATARANGE_VIDEO));
        f.subtype = SubtypeName(f.range.DataRange.SubFormat);
        const KS_BITMAPINFOHEADER& bmi = f.range.VideoInfoHeader.bmiHeader;
        f.fourcc = bmi.biCompression;
        f.width = bmi.biWidth;
        f.height = bmi.biHeight;
        f.imageSize = bmi.biSizeImage;
        f.frameInterval = f.range.VideoInfoHeader.AvgTimePerFrame;
        f.videoStandards = f.range.ConfigCaps.VideoStandard;
        formats.push_back(f);
    }
    return formats;
}

NTSTATUS Filter::Intersect(const FormatInfo& range, Format* format)
{
    if (format == nullptr) return STATUS_INVALID_PARAMETER;
    // Size first, then the format into a buffer of that size.
    sc::Result r = device_->DataIntersection(0, &range.range, sizeof(range.range), 0);
    if (r.status != STATUS_BUFFER_OVERFLOW) return r.ok() ? STATUS_UNSUCCESSFUL : r.status;
    const ULONG size = r.actualBytes;
    if (size < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) || size > 0x10000) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> bytes;
    r = device_->DataIntersection(0, &range.range, sizeof(range.range), size, &bytes);
    if (!r.ok()) return r.status;
    bytes.resize(std::min<size_t>(r.actualBytes, bytes.size()));
    format->bytes = std::move(bytes);
    return STATUS_SUCCESS;
}

Pin* Filter::OpenPin(const Format& format, NTSTATUS* status)
{
    NTSTATUS result;
    if (pin_) {
        result = STATUS_INVALID_DEVICE_STATE;  // one pin instance
    } else if (format.Header() == nullptr ||
               reinterpret_cast<const KSDATAFORMAT*>(format.bytes.data())->FormatSize > format.bytes.size()) {
        result = STATUS_INVALID_PARAMETER;
    } else {
        sc::Stream* stream = nullptr;
        const sc::Result r = device_->OpenStream(0, format.bytes.data(), format.bytes.size(), &stream);
        result = r.status;
        if (r.ok() && stream != nullptr) pin_.reset(new Pin(*this, stream, format));
    }
    if (status != nullptr) *status = result;
    return NT_SUCCESS(result) ? pin_.get() : nullptr;
}

sc::Result Filter::GetProperty(sc::PropertyRequest& request)
{
    return device_->GetProperty(request);
}

sc::Result Filter::SetProperty(sc::PropertyRequest& request)
{
    return device_->SetProperty(request);
}

namespace {

sc::PropertyRequest VendorWord(ULONG id, ULONG instance)
{
    sc::PropertyRequest r = sc::PropertyRequest::Make(PROPSETID_PRIVATE_CONTROL, id, 4, sizeof(KSPROPERTY) + 4);
    std::memcpy(r.property.data() + sizeof(KSPROPERTY), &instance, 4);
    std::memcpy(r.data.data(), &instance, 4);
    return r;
}

constexpr ULONG kVendorStandardIndex = 65;

}  // namespace

NTSTATUS Filter::SetVendorValue(ULONG id, ULONG value)
{
    auto request = VendorWord(id, value);
    return device_->SetProperty(request).status;
}

NTSTATUS Filter::GetVendorValue(ULONG id, ULONG* value)
{
    auto request = VendorWord(id, 0);
    const sc::Result r = device_->GetProperty(request);
    if (r.ok() && value != nullptr) *value = request.DataAs<ULONG>();
    return r.status;
}

NTSTATUS Filter::SetVideoStandard(ULONG standard)
{
    KSPROPERTY_VIDEODECODER_S record{};
    record.Value = standard;
    auto request = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, record);
    const sc::Result r = device_->SetProperty(request);
    if (!r.ok()) return r.status;
    // The driver keeps the standard's index as a stored setting that every
    // capture start reloads, and the standard property does not store it:
    // store the index the driver chose through its vendor set, and the KS
    // value again after it (the vendor set writes a representative value).
    ULONG index = 0;
    NTSTATUS status = GetVendorValue(kVendorStandardIndex, &index);
    if (!NT_SUCCESS(status)) return status;
    status = SetVendorValue(kVendorStandardIndex, index);
    if (!NT_SUCCESS(status)) return status;
    auto again = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, record);
    return device_->SetProperty(again).status;
}

NTSTATUS Filter::GetVideoStandard(ULONG* standard)
{
    auto request = sc::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                                               KSPROPERTY_VIDEODECODER_S{});
    const sc::Result r = device_->GetProperty(request);
    if (r.ok() && standard != nullptr) *standard = request.DataAs<KSPROPERTY_VIDEODECODER_S>().Value;
    return r.status;
}

PDEVICE_OBJECT Filter::PhysicalDeviceObject() const
{
    return port_->Pdo();
}

std::string Filter::DriverKeyPath() const
{
    return kv::kernel::registry::DriverKeyPath(port_->Pdo());
}

}  // namespace kv::app
