#include "tools/session.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/DeviceContext.h"
#include "driver/Driver.h"
#include "host/kernel.h"
#include "props/Properties.h"
#include "sim/video/source.h"
#include "tools/atomic_file.h"
#include "tools/driver_images.h"

namespace kvcap {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

void OnInterrupt(int signal)
{
    if (!g_interrupted) {
        g_interrupted = 1;
        return;
    }
    // A second signal ends the program the usual way, without leaving the
    // half-written temporary files behind.
    RemoveTemporaryFilesForSignal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

namespace sc = kv::streamclass;

// The driver's debug output as dmesg shows a kernel's: one line per piece
// of text, after the emulated time in seconds. The driver prints many
// pieces without a newline; each still gets its own line.
void EchoDebugText(std::string_view text)
{
    const LONGLONG now = kv::kernel::clock::Now();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        if (!line.empty())
            std::fprintf(stderr, "[%5lld.%06lld] %.*s\n", static_cast<long long>(now / 10'000'000),
                         static_cast<long long>(now % 10'000'000 / 10), static_cast<int>(line.size()), line.data());
        start = end + 1;
    }
}

const GUID& SetGuid(PropertySet set)
{
    switch (set) {
    case PropertySet::ProcAmp: return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case PropertySet::Decoder: return PROPSETID_VIDCAP_VIDEODECODER;
    case PropertySet::Vendor: return PROPSETID_PRIVATE_CONTROL;
    }
    return PROPSETID_PRIVATE_CONTROL;
}

sc::PropertyRequest ToStreamClass(const PropertyRequest& r)
{
    sc::PropertyRequest out;
    out.set = SetGuid(r.set);
    out.id = r.id;
    KSPROPERTY header{};
    header.Set = out.set;
    header.Id = r.id;
    header.Flags = r.write ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    out.property.resize(sizeof header + r.instance.size());
    std::memcpy(out.property.data(), &header, sizeof header);
    if (!r.instance.empty()) std::memcpy(out.property.data() + sizeof header, r.instance.data(), r.instance.size());
    out.data = r.data;
    return out;
}

}  // namespace

void InstallInterruptHandler()
{
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking write should notice
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The test pattern of whichever line system the standard in force has, so
// that a PAL capture of the default picture locks as well as an NTSC one.
class PatternSource final : public sim::VideoSource {
public:
    explicit PatternSource(uint16_t id)
    {
        sim::TestPatternOptions o;
        o.sourceId = id;
        p525_ = sim::MakeTestPattern(sim::LineSystem::L525, o);
        p625_ = sim::MakeTestPattern(sim::LineSystem::L625, o);
    }
    void Follow(sim::LineSystem system) { system_ = system; }
    sim::LineSystem NativeSystem() const override { return system_; }
    bool HasSignal() const override { return true; }
    void RenderField(sim::LineSystem sys, const sim::FieldId& id, const sim::Window& w,
                     const sim::PictureAdjust& adj, uint8_t* out) override
    {
        (system_ == sim::LineSystem::L525 ? p525_ : p625_)->RenderField(sys, id, w, adj, out);
    }

private:
    std::unique_ptr<sim::VideoSource> p525_, p625_;
    sim::LineSystem system_ = sim::LineSystem::L525;
};

uint32_t StandardIndexFor(uint32_t ks)
{
    if (ks == KS_AnalogVideo_NTSC_M || ks == KS_AnalogVideo_NTSC_M_J) return 1;
    if (ks == KS_AnalogVideo_PAL_M) return 4;
    if (ks == KS_AnalogVideo_PAL_N) return 5;
    if (ks >= 0x1000 && ks <= 0x80000 && (ks & (ks - 1)) == 0) return 3;
    return 2;
}

std::unique_ptr<Session> Session::Open(const Invocation& inv, std::string* error)
{
    std::unique_ptr<Session> s(new Session);
    s->invocation_ = inv;

    auto location = ResolveRegistryLocation(inv.registry, ProcessEnvironment(), error);
    if (!location) return nullptr;
    s->registry_ = *location;

    kv::kernel::Reset();
    if (inv.verbose) kv::kernel::debug::SetSink(EchoDebugText);
    const LoadOutcome loaded = LoadRegistryFile(s->registry_.path, error);
    if (loaded == LoadOutcome::Failed) return nullptr;
    s->firstRun_ = loaded == LoadOutcome::FirstRun;
    s->before_ = kv::kernel::registry::SaveToText();
    s->saves_ = inv.command == Command::Capture || inv.command == Command::Set || inv.command == Command::Snapshot;

    sim::BoardConfig config;
    config.decoder = inv.board.decoder;
    config.lowBandwidth = inv.board.lowBandwidth;
    config.lowBandwidthDescriptorLength = inv.board.lowBandwidthDescriptorLength;
    if (inv.board.bandwidthBudget) config.bandwidthBudget = *inv.board.bandwidthBudget;
    config.seed = inv.board.seed;
    for (int i = 0; i < 3; ++i) {
        auto p = std::make_shared<PatternSource>(static_cast<uint16_t>(i));
        s->patterns_.push_back(p);
        config.inputs[static_cast<size_t>(i)] = p;
    }
    for (const auto& wanted : inv.board.sources) {
        std::shared_ptr<sim::VideoSource> source;
        switch (wanted.kind) {
        case SourceSpec::Kind::Pattern: break;  // the default, following the standard
        case SourceSpec::Kind::Pattern525:
        case SourceSpec::Kind::Pattern625: {
            sim::TestPatternOptions o;
            o.sourceId = static_cast<uint16_t>(wanted.input < 0 ? 0 : wanted.input);
            source = sim::MakeTestPattern(
                wanted.kind == SourceSpec::Kind::Pattern525 ? sim::LineSystem::L525 : sim::LineSystem::L625, o);
            break;
        }
        case SourceSpec::Kind::Snow: source = sim::MakeNoiseSource(inv.board.seed); break;
        case SourceSpec::Kind::None: break;
        case SourceSpec::Kind::File: {
            std::string why;
            source = sim::MakeY4mSource(wanted.path, &why);
            if (!source) {
                if (error) *error = "source " + wanted.path + ": " + why;
                return nullptr;
            }
            break;
        }
        }
        for (int i = 0; i < 3; ++i) {
            if (wanted.input >= 0 && wanted.input != i) continue;
            if (wanted.kind == SourceSpec::Kind::Pattern) config.inputs[static_cast<size_t>(i)] = s->patterns_[static_cast<size_t>(i)];
            else config.inputs[static_cast<size_t>(i)] = source;  // null: no signal
        }
    }
    config.defaultPatterns = false;
    for (const auto& f : inv.board.faults) {
        if (f.name == "packet-error") config.isoFaults.packetError = f.knob;
        else if (f.name == "odd-length") config.isoFaults.oddLength = f.knob;
        else if (f.name == "lost-packet") config.isoFaults.lostPacket = f.knob;
        else if (f.name == "truncated-field") config.isoFaults.truncatedField = f.knob;
        else if (f.name == "corrupt-byte") config.isoFaults.corruptByte = f.knob;
        else if (f.name == "unplug") config.isoFaults.unplug = f.knob;
        else if (f.name == "control") {
            if (f.knob.mode == sim::FaultKnob::Mode::Random) config.controlFaults.random = f.knob;
            else config.controlFaults.nth = f.knob;
        }
    }
    if (!inv.usbTrace.empty()) {
        UsbPcapOptions o;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        o.startSeconds = now.tv_sec;
        o.startMicroseconds = static_cast<int32_t>(now.tv_nsec / 1000);
        s->pcap_ = UsbPcapWriter::Create(inv.usbTrace, o, error);
        if (!s->pcap_) return nullptr;
    }

    try {
        s->board_ = std::make_unique<sim::Board>(config);
    } catch (const std::exception& e) {
        if (error) *error = std::string("the board options do not make a board: ") + e.what();
        return nullptr;
    }
    if (!LoadDriverImages(inv.images, error)) {
        s->DrainTrace();
        return nullptr;
    }
    kv::app::FilterOptions options;
    options.pacedToWallClock = inv.realtime;
    if (s->pcap_) {
        // The trace is what the host controller's port sees, as usbmon shows it.
        Session* self = s.get();
        options.usbEventData = true;
        options.usbEvents = [self](const kv::usbport::UrbEvent& event) {
            if (self->traceError_.empty()) self->pcap_->Add(event, &self->traceError_);
        };
    }
    try {
        s->filter_ = kv::app::Filter::Open(*s->board_, options);
    } catch (const kv::app::Error& e) {
        if (error) *error = e.what();
        s->DrainTrace();
        return nullptr;
    }
    s->started_ = true;
    s->DrainTrace();
    // Until the driver says otherwise the patterns follow the stored standard.
    const uint32_t standard = s->CurrentStandard();
    for (auto& p : s->patterns_) p->Follow(Is525Line(standard) ? sim::LineSystem::L525 : sim::LineSystem::L625);
    return s;
}

Session::~Session()
{
    if (!closed_) {
        std::string ignored;
        Close(&ignored);
    }
}

namespace {

DeviceContext* ContextOf(kv::app::Filter& filter)
{
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.HwDeviceExtension = filter.Device().HwDeviceExtension();
    return static_cast<DeviceContext*>(ClassLibraryAdapterReceivePacket(&srb));
}

}  // namespace

long Session::DecoderType() const
{
    const DeviceContext* c = ContextOf(*filter_);
    return c ? static_cast<long>(c->decoderType) : 0;
}

unsigned Session::DecoderAddress() const
{
    const DeviceContext* c = ContextOf(*filter_);
    return c ? c->decoderI2cAddress : 0;
}

bool Session::FullMode() const
{
    const DeviceContext* c = ContextOf(*filter_);
    return c && c->highBandwidth != 0;
}

std::optional<uint32_t> Session::StoredSetting(const std::string& name) const
{
    return kv::kernel::registry::GetDword(filter_->DriverKeyPath() + "\\Settings", name);
}

uint32_t Session::CurrentStandard()
{
    ULONG value = 0;
    if (NT_SUCCESS(filter_->GetVideoStandard(&value)) && value != 0 && value != 0xFFFFFFFFu) return value;
    if (auto stored = StoredSetting("VideoStandard"); stored && *stored != 0 && *stored != 0xFFFFFFFFu) return *stored;
    if (auto index = StoredSetting("InputSource")) {
        switch (*index) {
        case 1: return KS_AnalogVideo_NTSC_M;
        case 2: return KS_AnalogVideo_PAL_B;
        case 3: return KS_AnalogVideo_SECAM_L;
        case 4: return KS_AnalogVideo_PAL_M;
        case 5: return KS_AnalogVideo_PAL_N;
        default: break;
        }
    }
    return KS_AnalogVideo_NTSC_M;
}

NTSTATUS Session::SetStandard(uint32_t ks)
{
    NTSTATUS status = filter_->SetVideoStandard(ks);
    if (status == STATUS_NOT_FOUND || status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
        // No decoder set on this decoder: the vendor set's standard index.
        status = filter_->SetVendorValue(65, StandardIndexFor(ks));
    }
    if (NT_SUCCESS(status))
        for (auto& p : patterns_) p->Follow(Is525Line(ks) ? sim::LineSystem::L525 : sim::LineSystem::L625);
    return status;
}

NTSTATUS Session::Get(PropertyRequest& request, uint32_t* returned)
{
    auto r = ToStreamClass(request);
    const sc::Result result = filter_->GetProperty(r);
    request.data = r.data;
    if (returned) *returned = result.actualBytes;
    return result.status;
}

NTSTATUS Session::Set(PropertyRequest& request)
{
    auto r = ToStreamClass(request);
    return filter_->SetProperty(r).status;
}

NTSTATUS Session::Support(PropertySet set, uint32_t id, ControlDescription* description)
{
    sc::PropertyRequest r;
    r.set = SetGuid(set);
    r.id = id;
    r.flags = KSPROPERTY_TYPE_BASICSUPPORT;
    KSPROPERTY header{};
    header.Set = r.set;
    header.Id = id;
    header.Flags = r.flags;
    r.property.resize(sizeof header);
    std::memcpy(r.property.data(), &header, sizeof header);
    r.data.assign(512, 0);
    const sc::Result result = filter_->GetProperty(r);
    if (NT_SUCCESS(result.status)) *description = ParseControlDescription(r.data, result.actualBytes);
    return result.status;
}

std::vector<kv::app::FormatInfo> Session::FormatsFor(uint32_t ks) const
{
    const auto all = filter_->Formats();
    std::vector<kv::app::FormatInfo> out;
    for (const auto& f : all)
        if (f.OfferedFor(ks)) out.push_back(f);
    if (out.empty()) return all;
    return out;
}

NTSTATUS Session::Settle(std::string* error)
{
    const auto formats = FormatsFor(CurrentStandard());
    if (formats.empty()) {
        if (error) *error = "the pin offers no format";
        return STATUS_NOT_FOUND;
    }
    kv::app::Format format;
    NTSTATUS status = filter_->Intersect(formats.front(), &format);
    kv::app::Pin* pin = NT_SUCCESS(status) ? filter_->OpenPin(format, &status) : nullptr;
    if (!pin) {
        if (error) *error = "cannot open the capture pin: " + kv::app::StatusText(status);
        return status;
    }
    status = pin->Run();
    if (NT_SUCCESS(status)) {
        kv::app::Frame frame;
        status = pin->ReadFrame(&frame, 20'000'000);
        // No picture (no signal) still leaves the settings applied.
        if (status == STATUS_TIMEOUT) status = STATUS_SUCCESS;
    }
    const NTSTATUS closed = pin->Close();
    if (NT_SUCCESS(status)) status = closed;
    DrainTrace();
    TrimDebugOutput();
    if (!NT_SUCCESS(status) && error) *error = "the device did not stream: " + kv::app::StatusText(status);
    return status;
}

void Session::DrainTrace()
{
    if (!board_) return;
    if (pcap_ && traceError_.empty()) {
        for (const auto& rec : board_->GetTrace().Records()) {
            if (!pcap_->Add(rec, &traceError_)) break;
        }
    }
    if (board_->GetTrace().WantsControl() || board_->GetTrace().WantsIso()) board_->ClearTrace();
}

void Session::TrimDebugOutput() { kv::kernel::debug::Clear(); }

bool Session::Close(std::string* error)
{
    if (closed_) return true;
    closed_ = true;
    bool ok = true;
    if (filter_) {
        filter_.reset();  // closes the pin and stops the device
        DrainTrace();
    }
    if (pcap_) {
        if (!board_) {
            pcap_->Abandon();  // nothing was on the bus
        } else if (!traceError_.empty()) {
            pcap_->Abandon();
            if (ok && error) *error = "USB trace: " + traceError_;
            ok = false;
        } else if (!pcap_->Finish(&traceError_)) {
            if (ok && error) *error = "USB trace: " + traceError_;
            ok = false;
        }
    }
    // Only a run that started the device and may change settings saves,
    // and then only its changes: a settings file that could not be loaded,
    // or a command that only looks, leaves the file exactly as it is.
    if (started_ && saves_) {
        std::string failure;
        if (!SaveRegistryChanges(registry_.path, before_, &failure)) {
            if (ok && error) *error = failure;
            ok = false;
        }
    }
    board_.reset();
    return ok;
}

}  // namespace kvcap
