// The fault sweep's session, its judges and its families.
#include "tests/sweep/sweep.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/app.h"
#include "host/scheduler.h"
#include "host/streamclass.h"
#include "sim/board.h"
#include "sim/faults.h"

namespace sweep {

namespace k = kv::kernel;
namespace app = kv::app;

namespace {

constexpr LONGLONG kReadLimit = 5'000'000;  // half a second of emulated time per frame
constexpr size_t kFramesRead = 3;
// NTSC, YUY2 640 x 480: the pin's sixth range.
constexpr size_t kFormatIndex = 5;
constexpr ULONG kStoredStandard = KS_AnalogVideo_PAL_B;
constexpr ULONG kSessionStandard = KS_AnalogVideo_NTSC_M;
constexpr uint16_t kSourceId = 0x2A5;  // in the marks of the board's pattern

std::unique_ptr<sim::Board> MakeBoard(const Fault& fault)
{
    sim::BoardConfig config;
    sim::TestPatternOptions pattern;
    pattern.sourceId = kSourceId;
    // Input 2 is the one the driver selects unless told otherwise.
    config.inputs[2] = sim::MakeTestPattern(sim::LineSystem::L525, pattern);
    if (fault.kind == Fault::Kind::UnplugAtPacket) config.isoFaults.unplug = sim::FaultKnob::Once(fault.n);
    return std::make_unique<sim::Board>(config);
}

NTSTATUS SetProcAmp(app::Filter& filter, ULONG id, LONG value)
{
    KSPROPERTY_VIDEOPROCAMP_S record{};
    record.Value = value;
    record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    auto request = kv::streamclass::PropertyRequest::Record(PROPSETID_VIDCAP_VIDEOPROCAMP, id, record);
    return filter.SetProperty(request).status;
}

// A YUY2 row of zero bytes: chroma 0 and luma 0 together are nothing a
// conversion of a limited-range picture writes, and the buffers start zeroed.
bool HasUnwrittenRow(const std::vector<uint8_t>& data, const app::Format& format)
{
    const size_t row = static_cast<size_t>(format.Width()) * 2;
    if (row == 0 || data.size() != format.ImageSize()) return true;
    for (size_t at = 0; at + row <= data.size(); at += row) {
        if (std::all_of(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + row),
                        [](uint8_t b) { return b == 0; })) {
            return true;
        }
    }
    return false;
}

// Whether the frame carries the marks of the board's picture: its source id
// read back through the capture window and the scaling, as drawn.
bool ShowsTheBoardsPicture(const std::vector<uint8_t>& data, const app::Format& format, sim::Board& board)
{
    sim::MarkLayout layout{};
    layout.sys = sim::LineSystem::L525;
    sim::Window window = board.GetBridge().CaptureWindow();
    const int offset = board.GetDecoder() != nullptr ? board.GetDecoder()->VerticalOffset(layout.sys) : 0;
    window.vStartLine += offset;
    window.vEndLine += offset;
    layout.window = sim::ClampToRaster(layout.sys, window);
    layout.frame = true;
    layout.sourceWidthPixels = (layout.window.hEndByte - layout.window.hStartByte) / 2;
    const int lines = layout.window.vEndLine - layout.window.vStartLine;
    // 284-line fields are padded to 288 before scaling.
    layout.sourceLines = lines == 284 ? 576 : 2 * lines;
    const sim::MarkImage image{sim::MarkPixelFormat::YUYV, data.data(), data.size(), format.Width(), format.Height()};
    const sim::FieldMarks marks = sim::DecodeFieldMarks(image, layout);
    return marks.valid && marks.sourceId == kSourceId;
}

void Walk(const std::string& path, RegistryImage* image)
{
    (*image)[path] = std::nullopt;
    for (const auto& name : k::registry::ValueNames(path)) {
        (*image)[path + "\\:" + name] = k::registry::GetValue(path, name);
    }
    for (const auto& child : k::registry::SubkeyNames(path)) Walk(path + "\\" + child, image);
}

std::string Folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string ValueText(const RegistryImage& image, const std::string& entry)
{
    auto it = image.find(entry);
    if (it == image.end()) return "absent";
    if (!it->second) return "present";
    const auto& v = *it->second;
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d = 0;
        std::memcpy(&d, v.data.data(), 4);
        char text[24];
        std::snprintf(text, sizeof text, "0x%08X", d);
        return text;
    }
    return "type " + std::to_string(v.type) + ", " + std::to_string(v.data.size()) + " bytes";
}

}  // namespace

const RoutineFault kRoutineFaults[] = {
    // Registry.
    {"ZwCreateKey", STATUS_INSUFFICIENT_RESOURCES},
    {"ZwOpenKey", STATUS_INSUFFICIENT_RESOURCES},
    {"ZwQueryValueKey", STATUS_INSUFFICIENT_RESOURCES},
    {"ZwSetValueKey", STATUS_INSUFFICIENT_RESOURCES},
    {"ZwDeleteValueKey", STATUS_INSUFFICIENT_RESOURCES},
    {"IoOpenDeviceRegistryKey", STATUS_INSUFFICIENT_RESOURCES},
    {"RtlQueryRegistryValues", STATUS_INSUFFICIENT_RESOURCES},
    {"RtlWriteRegistryValue", STATUS_INSUFFICIENT_RESOURCES},
    // Devices and interfaces.
    {"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES},
    {"IoGetDeviceInterfaces", STATUS_INSUFFICIENT_RESOURCES},
    {"StreamClassRegisterAdapter", STATUS_INSUFFICIENT_RESOURCES},
    {"StreamClassRegisterFilterWithNoKSPins", STATUS_INSUFFICIENT_RESOURCES},
    // IRPs and what travels in them.
    {"IoAllocateIrp", STATUS_INSUFFICIENT_RESOURCES},
    {"IoBuildSynchronousFsdRequest", STATUS_INSUFFICIENT_RESOURCES},
    {"UsbSubmitUrb", STATUS_UNSUCCESSFUL},
    // Vector state for the conversions.
    {"KeSaveFloatingPointState", STATUS_INSUFFICIENT_RESOURCES},
    {"KeSaveExtendedProcessorState", STATUS_INSUFFICIENT_RESOURCES},
};
const size_t kRoutineFaultCount = sizeof(kRoutineFaults) / sizeof(kRoutineFaults[0]);

const char* StepName(Step step)
{
    static const char* const kNames[] = {"open",  "set-standard", "intersect", "open-pin", "run",
                                         "read",  "pause",        "stop",      "close",    "remove"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Step::Count));
    return kNames[static_cast<size_t>(step)];
}

std::string Fault::Describe() const
{
    switch (kind) {
    case Kind::None: return "no fault";
    case Kind::PoolAllocation: return "pool allocation #" + std::to_string(n) + " fails";
    case Kind::Routine: return routine + " call #" + std::to_string(n) + " fails";
    case Kind::UnplugAtPacket: return "unplug at data packet #" + std::to_string(n);
    case Kind::UnplugBefore: return std::string("unplug before ") + StepName(step);
    }
    return "?";
}

RegistryImage TakeRegistryImage()
{
    RegistryImage image;
    Walk("\\REGISTRY\\MACHINE", &image);
    Walk("\\REGISTRY\\USER", &image);
    // Names compare without case, as the registry does.
    RegistryImage folded;
    for (auto& [entry, value] : image) folded[Folded(entry)] = std::move(value);
    return folded;
}

std::vector<std::string> UnexpectedChanges(const RegistryImage& before, const RegistryImage& expected,
                                           const RegistryImage& after)
{
    std::vector<std::string> changes;
    auto valueOf = [](const RegistryImage& image, const std::string& entry) {
        auto it = image.find(entry);
        return it == image.end() ? std::optional<std::optional<k::registry::Value>>{} : std::optional{it->second};
    };
    std::vector<std::string> entries;
    for (const auto* image : {&before, &expected, &after}) {
        for (const auto& [entry, value] : *image) entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    for (const auto& entry : entries) {
        const auto now = valueOf(after, entry);
        if (now == valueOf(before, entry) || now == valueOf(expected, entry)) continue;
        changes.push_back(entry + ": " + ValueText(after, entry) + " (before " + ValueText(before, entry) +
                          ", clean run " + ValueText(expected, entry) + ")");
    }
    return changes;
}

Sweeper::Sweeper()
{
    // Stored settings as a user leaves them: another standard and moved
    // picture controls, saved by a capture's stop.
    k::Reset();
    kv::streamclass::Reset();
    {
        auto board = MakeBoard(Fault{});
        auto filter = app::Filter::Open(*board);
        filter->SetVideoStandard(kStoredStandard);
        SetProcAmp(*filter, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 150);
        SetProcAmp(*filter, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 100);
        SetProcAmp(*filter, KSPROPERTY_VIDEOPROCAMP_SATURATION, 90);
        app::Format format;
        const auto formats = filter->Formats();
        if (!formats.empty() && filter->Intersect(formats.front(), &format) == STATUS_SUCCESS) {
            if (app::Pin* pin = filter->OpenPin(format)) {
                pin->Run();
                app::Frame frame;
                pin->ReadFrame(&frame, kReadLimit);
                pin->Close();
            }
        }
    }
    stored_ = k::registry::SaveToText();
    clean_ = Session(Fault{}, &reference_);
}

Verdict Sweeper::Run(const Fault& fault)
{
    RegistryImage after;
    Verdict v = Session(fault, &after);
    v.registryChanges = UnexpectedChanges(before_, reference_, after);
    return v;
}

Verdict Sweeper::Session(const Fault& fault, RegistryImage* after)
{
    Verdict v;
    k::Reset();
    kv::streamclass::Reset();
    if (auto loaded = k::registry::LoadFromText(stored_); !loaded) {
        v.leaks.push_back("stored settings did not load: " + loaded.message);
        return v;
    }
    before_ = TakeRegistryImage();
    auto board = MakeBoard(fault);
    if (fault.kind == Fault::Kind::PoolAllocation) k::pool::FailNth(fault.n);
    if (fault.kind == Fault::Kind::Routine) {
        k::InjectFailure(fault.routine, fault.status, 1, static_cast<uint32_t>(fault.n - 1));
    }
    auto before = [&](Step step) {
        if (fault.kind == Fault::Kind::UnplugBefore && fault.step == step) board->Unplug();
    };
    auto note = [&](NTSTATUS status) {
        if (status != STATUS_SUCCESS) v.allSucceeded = false;
        return status == STATUS_SUCCESS;
    };

    {
        std::unique_ptr<app::Filter> filter;
        before(Step::Open);
        try {
            app::FilterOptions options;
            // Control requests that failed, for the report of a failed run.
            options.usbEvents = [&v](const kv::usbport::UrbEvent& e) {
                if (e.kind != kv::usbport::UrbEvent::Kind::Complete || !e.hasSetup || USBD_SUCCESS(e.usbdStatus) ||
                    v.failedRequests.size() >= 8) {
                    return;
                }
                char text[80];
                std::snprintf(text, sizeof text, "setup %02X %02X wValue %04X wIndex %04X: USBD status %08X",
                              e.setup[0], e.setup[1], e.setup[2] | (e.setup[3] << 8), e.setup[4] | (e.setup[5] << 8),
                              static_cast<unsigned>(e.usbdStatus));
                v.failedRequests.push_back(text);
            };
            filter = app::Filter::Open(*board, options);
        } catch (const app::Error& e) {
            note(e.Status() == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : e.Status());
        }
        if (filter) {
            before(Step::SetStandard);
            note(filter->SetVideoStandard(kSessionStandard));
            before(Step::Intersect);
            const auto formats = filter->Formats();
            app::Format format;
            bool haveFormat = false;
            if (formats.size() > kFormatIndex) {
                haveFormat = note(filter->Intersect(formats[kFormatIndex], &format));
            } else {
                note(STATUS_NOT_FOUND);
            }
            app::Pin* pin = nullptr;
            before(Step::OpenPin);
            if (haveFormat) {
                NTSTATUS status = STATUS_UNSUCCESSFUL;
                pin = filter->OpenPin(format, &status);
                note(pin != nullptr ? status : (NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status));
            }
            if (pin != nullptr) {
                before(Step::Run);
                bool running = note(pin->Run());
                before(Step::ReadFrames);
                for (size_t i = 0; running && i < kFramesRead; ++i) {
                    app::Frame frame;
                    if (!note(pin->ReadFrame(&frame, kReadLimit))) break;
                    ++v.frames;
                    if (HasUnwrittenRow(frame.data, format)) {
                        ++v.unwrittenFrames;
                    } else if (i > 0 && !ShowsTheBoardsPicture(frame.data, format, *board)) {
                        // The first frame may hold a field from before the start.
                        ++v.wrongPictures;
                    }
                }
                before(Step::Pause);
                note(pin->Pause());
                before(Step::Stop);
                note(pin->Stop());
                before(Step::Close);
                note(pin->Close());
            }
        }
        before(Step::Remove);
    }
    v.silent = v.allSucceeded && v.frames == 0;

    k::pool::ClearFaults();
    k::ClearInjectedFailures();
    // The clean run's counts size the families.
    v.poolAllocations = k::pool::AllocationCount();
    v.dataPackets = board->VideoCounters().dataPackets;
    for (size_t i = 0; i < kRoutineFaultCount; ++i) {
        v.calls[kRoutineFaults[i].routine] = k::CallCount(kRoutineFaults[i].routine);
    }
    board.reset();

    v.violations = k::Violations();
    if (k::pool::OutstandingCount() != 0) v.leaks.push_back("pool:\n" + k::pool::LeakReport());
    for (const auto& handle : k::registry::OpenHandles()) v.leaks.push_back("registry handle " + handle);
    for (const auto& irp : k::io::OutstandingIrps()) v.leaks.push_back("IRP " + irp);
    for (const auto& item : k::scheduler::Pending()) v.leaks.push_back(item);
    if (k::io::LiveDeviceCount() != 0) {
        v.leaks.push_back(std::to_string(k::io::LiveDeviceCount()) + " device object(s) still referenced");
    }
    *after = TakeRegistryImage();
    return v;
}

std::vector<Family> Sweeper::Families(uint64_t most, uint64_t seed) const
{
    std::vector<Family> families;
    auto numbered = [&](std::string name, uint64_t count, const Fault& shape) {
        Family family{std::move(name), {}};
        const uint64_t every = most == 0 || count <= most ? 1 : (count + most - 1) / most;
        const uint64_t offset = sim::Rng(sim::SeedFor(seed, family.name)).Next() % every;
        for (uint64_t n = 1 + offset; n <= count; n += every) {
            Fault f = shape;
            f.n = n;
            family.faults.push_back(f);
        }
        families.push_back(std::move(family));
    };
    Fault pool;
    pool.kind = Fault::Kind::PoolAllocation;
    numbered("pool", clean_.poolAllocations, pool);
    for (size_t i = 0; i < kRoutineFaultCount; ++i) {
        Fault routine;
        routine.kind = Fault::Kind::Routine;
        routine.routine = kRoutineFaults[i].routine;
        routine.status = kRoutineFaults[i].status;
        auto calls = clean_.calls.find(routine.routine);
        numbered(routine.routine, calls == clean_.calls.end() ? 0 : calls->second, routine);
    }
    Fault packet;
    packet.kind = Fault::Kind::UnplugAtPacket;
    numbered("unplug-at-packet", clean_.dataPackets, packet);
    Family steps{"unplug-before-step", {}};
    for (size_t s = 0; s < static_cast<size_t>(Step::Count); ++s) {
        Fault f;
        f.kind = Fault::Kind::UnplugBefore;
        f.step = static_cast<Step>(s);
        steps.faults.push_back(f);
    }
    families.push_back(std::move(steps));
    return families;
}

}  // namespace sweep
