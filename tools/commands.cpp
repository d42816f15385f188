#include "tools/commands.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "host/kernel.h"
#include "tools/session.h"

namespace kvcap {

namespace {

namespace sc = kv::streamclass;

constexpr char kSnapshotKey[] = "\\REGISTRY\\MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";
constexpr LONGLONG kFrameWait = 20'000'000;  // 2 s of emulated time for one frame
// kvcap's own stored values: the tuner frequency, which the driver programs
// but does not keep.
constexpr char kToolKey[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\kvcap";

using Json = nlohmann::ordered_json;

void PrintJson(const Json& j, FILE* to = stdout)
{
    std::fputs((j.dump(2) + "\n").c_str(), to);
}

std::optional<uint32_t> StoredFrequency() { return kv::kernel::registry::GetDword(kToolKey, "TunerFrequency"); }
uint32_t StoredTunerMode() { return kv::kernel::registry::GetDword(kToolKey, "TunerMode").value_or(0); }

void Error(const std::string& message) { std::fprintf(stderr, "kvcap: %s\n", message.c_str()); }
void Note(const std::string& message) { std::fprintf(stderr, "kvcap: %s\n", message.c_str()); }

double Seconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string Megabytes(uint64_t bytes)
{
    char b[32];
    if (bytes < 1'000'000) std::snprintf(b, sizeof b, "%.1f kB", static_cast<double>(bytes) / 1e3);
    else std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return b;
}

std::string Fixed(double v, int decimals)
{
    char b[48];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string DecoderName(long type)
{
    switch (type) {
    case 110: return "type 110";
    case 111: return "type 111";
    case 113: return "5150 (type 113)";
    default: return "none detected (type " + std::to_string(type) + ")";
    }
}

std::string LinesOf(uint32_t standard) { return Is525Line(standard) ? "525 lines" : "625 lines"; }

// Sets the standard the command line asks for, or the stored one again, so
// that the driver's intersection picks the frame rate of the standard that
// will be in force (it uses the index it holds, which is only loaded from
// the stored settings when a capture starts).
bool ApplyStandard(Session& s, const Invocation& inv, uint32_t* standard)
{
    const uint32_t wanted = inv.standard.value_or(s.CurrentStandard());
    const NTSTATUS status = s.SetStandard(wanted);
    if (!NT_SUCCESS(status)) {
        Error("cannot set the standard " + StandardName(wanted) + ": " + kv::app::StatusText(status));
        return false;
    }
    *standard = wanted;
    return true;
}

bool Tune(Session& s, uint32_t frequency, uint32_t mode)
{
    if (auto why = CheckTunerFrequency(frequency)) {
        Error("cannot tune: " + *why);
        return false;
    }
    PropertyAssignment a;
    std::string error;
    a.ref = *ParsePropertyName("frequency", &error);
    a.value = frequency;
    auto request = BuildSet(a, mode, &error);
    if (!request) {
        Error(error);
        return false;
    }
    const NTSTATUS status = s.Set(*request);
    if (!NT_SUCCESS(status)) {
        Error("cannot tune to " + FormatFrequency(frequency) + ": " + kv::app::StatusText(status));
        return false;
    }
    return true;
}

bool SelectInput(Session& s, int input)
{
    const NTSTATUS status = s.Filter().SetVendorValue(67, static_cast<ULONG>(input));
    if (!NT_SUCCESS(status)) {
        Error("cannot select input " + std::to_string(input) + ": " + kv::app::StatusText(status));
        return false;
    }
    return true;
}

struct SignalState {
    bool reported = false;
    bool locked = false;
    uint32_t lines = 0;
};

SignalState ReadSignal(Session& s)
{
    SignalState state;
    std::string error;
    const auto ref = ParsePropertyName("signal", &error);
    auto request = BuildGet(*ref, &error);
    uint32_t returned = 0;
    if (!request || !NT_SUCCESS(s.Get(*request, &returned)) || returned < 32 || request->data.size() < 32) return state;
    state.reported = true;
    std::memcpy(&state.lines, request->data.data() + 24, 4);
    uint32_t locked = 0;
    std::memcpy(&locked, request->data.data() + 28, 4);
    state.locked = locked != 0;
    return state;
}

// The frequency a run tunes to: the command line's, else the stored one
// when the tuner's input (0) is the one in use.
std::optional<uint32_t> FrequencyFor(Session& s, const Invocation& inv)
{
    if (inv.frequency) return inv.frequency;
    const auto stored = StoredFrequency();
    if (!stored) return std::nullopt;
    ULONG input = 1;
    if (inv.input) input = static_cast<ULONG>(*inv.input);
    else if (!NT_SUCCESS(s.Filter().GetVendorValue(67, &input))) return std::nullopt;
    return input == 0 ? stored : std::nullopt;
}

int Finish(Session& s, int code)
{
    std::string error;
    if (!s.Close(&error)) {
        Error(error);
        return kExitFailure;
    }
    if (const auto violations = kv::kernel::Violations(); !violations.empty()) {
        Note("warning: the emulated platform recorded " + std::to_string(violations.size()) +
             " rule violation(s) by the driver, the first: " + violations.front());
    }
    return code;
}

std::string RateText(LONGLONG interval)
{
    uint32_t n = 0, d = 0;
    RateFromInterval(static_cast<uint64_t>(interval), &n, &d);
    return FormatRate(n, d) + " fps";
}

// ------------------------------------------------------------- formats ----

int RunFormats(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    const auto formats = s.FormatsFor(standard);
    const size_t others = s.Filter().Formats().size() - formats.size();
    Json list = Json::array();
    if (!inv.json)
        std::printf("Capture formats for %s (%s), %s mode:\n  %-6s %-7s %-10s %-10s %s\n", StandardName(standard).c_str(),
                    LinesOf(standard).c_str(), s.FullMode() ? "full" : "low-bandwidth", "Index", "Format", "Size", "Rate",
                    "Frame bytes");
    for (const auto& f : formats) {
        kv::app::Format concrete;
        const NTSTATUS status = s.Filter().Intersect(f, &concrete);
        const uint32_t bytes = NT_SUCCESS(status) ? concrete.ImageSize() : f.imageSize;
        if (inv.json) {
            Json j = {{"index", f.index}, {"fourcc", f.subtype}, {"width", f.width}, {"height", f.height}};
            if (NT_SUCCESS(status)) {
                uint32_t n = 0, d = 0;
                RateFromInterval(static_cast<uint64_t>(concrete.AvgTimePerFrame()), &n, &d);
                j["rate"] = std::to_string(n) + "/" + std::to_string(d);
                j["fps"] = static_cast<double>(n) / d;
            } else {
                j["rate"] = nullptr;
            }
            j["frameBytes"] = bytes;
            list.push_back(j);
            continue;
        }
        const std::string rate = NT_SUCCESS(status) ? RateText(concrete.AvgTimePerFrame()) : "refused";
        std::printf("  %-6u %-7s %-10s %-10s %u\n", f.index, f.subtype.c_str(), FormatFrameSize({f.width, f.height}).c_str(),
                    rate.c_str(), bytes);
    }
    if (inv.json) {
        PrintJson({{"standard", StandardName(standard)},
                   {"lines", Is525Line(standard) ? 525 : 625},
                   {"mode", s.FullMode() ? "full" : "low-bandwidth"},
                   {"formats", list},
                   {"otherLineSystem", others}});
    } else if (others) {
        std::printf("  (%zu more for the other line system)\n", others);
    }
    return Finish(s, kExitOk);
}

// ---------------------------------------------------------------- info ----

int RunInfo(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    // A frequency means the tuner's picture: the board's tuner feeds input 0.
    const std::optional<int> wantInput = inv.input ? inv.input : inv.frequency ? std::optional<int>(0) : std::nullopt;
    if (wantInput && !SelectInput(s, *wantInput)) return Finish(s, kExitFailure);
    const auto frequency = FrequencyFor(s, inv);
    if (frequency && !Tune(s, *frequency, inv.frequency ? inv.tunerMode : StoredTunerMode())) return Finish(s, kExitFailure);
    std::string error;
    const NTSTATUS settled = s.Settle(&error);

    const long type = s.DecoderType();
    ULONG input = 0;
    const NTSTATUS inputStatus = s.Filter().GetVendorValue(67, &input);
    const SignalState signal = ReadSignal(s);
    const auto snapshot = kv::kernel::registry::GetDword(kSnapshotKey, "SnapShot");
    const bool raised = snapshot && *snapshot;
    if (inv.json) {
        Json j = {{"device", "USB analog video capture (simulated board)"},
                  {"formats", s.Filter().Formats().size()},
                  {"decoder", {{"type", type}, {"name", DecoderName(type)}, {"address", Hex(s.DecoderAddress(), 2)}}},
                  {"mode", s.FullMode() ? "full" : "low-bandwidth"},
                  {"standard", StandardName(s.CurrentStandard())},
                  {"lines", Is525Line(s.CurrentStandard()) ? 525 : 625}};
        j["input"] = NT_SUCCESS(inputStatus) ? Json(input) : Json(nullptr);
        j["signal"] = signal.reported ? Json{{"locked", signal.locked}, {"lines", signal.lines}} : Json(nullptr);
        j["frequency"] = frequency ? Json(*frequency) : Json(nullptr);
        j["snapshot"] = raised;
        j["settings"] = {{"path", s.Registry().path}, {"origin", s.Registry().origin}, {"exists", !s.FirstRun()}};
        PrintJson(j);
    } else {
        std::printf("Device:          USB analog video capture (simulated board), %zu formats\n", s.Filter().Formats().size());
        std::printf("Decoder:         %s at I2C address %s\n", DecoderName(type).c_str(), Hex(s.DecoderAddress(), 2).c_str());
        std::printf("Operating mode:  %s\n", s.FullMode() ? "full (all sizes up to 720x576, pipeline conversion)"
                                                          : "low bandwidth (160x120 only)");
        std::printf("Standard:        %s (%s)\n", StandardName(s.CurrentStandard()).c_str(), LinesOf(s.CurrentStandard()).c_str());
        std::printf("Input:           %s\n", NT_SUCCESS(inputStatus) ? std::to_string(input).c_str()
                                                                    : kv::app::StatusText(inputStatus).c_str());
        if (frequency) std::printf("Frequency:       %s\n", FormatFrequency(*frequency).c_str());
        if (signal.reported)
            std::printf("Signal:          %s, %u lines\n", signal.locked ? "locked" : "no signal", signal.lines);
        else
            std::printf("Signal:          not reported (this decoder has no status property)\n");
        std::printf("Snapshot flag:   %s\n", raised ? "raised" : "clear");
        std::printf("Stored settings: %s (from %s%s)\n", s.Registry().path.c_str(), s.Registry().origin.c_str(),
                    s.FirstRun() ? "; none stored yet" : "");
    }
    if (!NT_SUCCESS(settled)) {
        Error(error);
        return Finish(s, kExitFailure);
    }
    return Finish(s, kExitOk);
}

// ------------------------------------------------------------ get / set ----

int RunGet(Session& s, const Invocation& inv)
{
    std::string error;
    if (!NT_SUCCESS(s.Settle(&error))) {
        Error(error);
        return Finish(s, kExitFailure);
    }
    std::vector<PropertyRef> refs = inv.names;
    const bool all = refs.empty();
    if (all)
        for (const auto& p : NamedProperties())
            if (p.canGet) refs.push_back(PropertyRef{&p});
    int code = kExitOk;
    Json answers = Json::object();
    auto show = [&](const PropertyRef& ref, const std::string& text, Json value) {
        if (inv.json) answers[ref.Label()] = std::move(value);
        else std::printf("%s: %s\n", ref.Label().c_str(), text.c_str());
    };
    for (const auto& ref : refs) {
        if (ref.named && ref.named->kind == ValueKind::Frequency) {
            // The driver programs the tuner but cannot read it back.
            const auto stored = StoredFrequency();
            show(ref, stored ? FormatFrequency(*stored) : std::string("not set"), stored ? Json(*stored) : Json(nullptr));
            continue;
        }
        auto request = BuildGet(ref, &error);
        if (!request) {
            Error("get " + error);
            code = kExitFailure;
            continue;
        }
        uint32_t returned = 0;
        const NTSTATUS status = s.Get(*request, &returned);
        if (!NT_SUCCESS(status)) {
            if (all) {
                show(ref, "not available (" + kv::app::StatusText(status) + ")", nullptr);
            } else {
                Error("get " + ref.Label() + ": the device refused it: " + kv::app::StatusText(status));
                code = kExitFailure;
            }
            continue;
        }
        const std::string text = DescribeValue(ref, request->data, returned);
        Json value = text;
        if (ref.named && ref.named->kind == ValueKind::Signal) {
            const SignalState signal = ReadSignal(s);
            value = {{"locked", signal.locked}, {"lines", signal.lines}};
        } else if (ref.named && text == "unset") {
            value = nullptr;  // a stored setting nothing has set yet
        } else if (ref.named && ref.named->kind == ValueKind::Switch) {
            if (const auto v = ExtractValue(ref, request->data, returned)) value = *v != 0;
        } else if (!ref.named || ref.named->kind == ValueKind::Integer) {
            if (const auto v = ExtractValue(ref, request->data, returned))
                value = ref.named && ref.named->set == PropertySet::ProcAmp ? Json(static_cast<int32_t>(*v)) : Json(*v);
        }
        show(ref, text, value);
    }
    if (inv.json) PrintJson(answers);
    return Finish(s, code);
}

// ------------------------------------------------------------ controls ----

// Every control as v4l2-ctl lists them: the picture controls with the
// ranges and defaults of the driver's own tables, the switches and the
// input and standard menus.
int RunControls(Session& s, const Invocation& inv)
{
    std::string error;
    if (!NT_SUCCESS(s.Settle(&error))) {
        Error(error);
        return Finish(s, kExitFailure);
    }
    Json controls = Json::array();
    for (const auto& p : NamedProperties()) {
        const bool control = p.set == PropertySet::ProcAmp || (p.set == PropertySet::Vendor && p.canSet &&
                                                                (p.kind == ValueKind::Switch || p.kind == ValueKind::Integer));
        if (!control) continue;
        ControlDescription d;
        if (!NT_SUCCESS(s.Support(p.set, p.getId, &d))) continue;  // not offered with this decoder
        Json j = {{"name", std::string(p.name)}};
        if (p.kind == ValueKind::Switch) {
            j["type"] = "bool";
            d.minimum = d.minimum.value_or(0);
            d.maximum = d.maximum.value_or(1);
            d.step = d.step.value_or(1);
        } else {
            j["type"] = p.name == "input" ? "menu" : "int";
            // The vendor set describes no ranges; its values are the ones
            // the driver accepts.
            if (!d.minimum) d.minimum = p.minimum;
            if (!d.maximum) d.maximum = p.maximum;
            if (!d.step) d.step = 1;
        }
        j["minimum"] = *d.minimum;
        j["maximum"] = *d.maximum;
        j["step"] = *d.step;
        j["default"] = d.defaultValue ? Json(*d.defaultValue) : Json(nullptr);
        PropertyRef ref{&p};
        auto request = BuildGet(ref, &error);
        uint32_t returned = 0;
        std::optional<uint32_t> value;
        if (request && d.canGet && NT_SUCCESS(s.Get(*request, &returned))) value = ExtractValue(ref, request->data, returned);
        j["value"] = value ? Json(p.set == PropertySet::ProcAmp ? static_cast<int64_t>(static_cast<int32_t>(*value))
                                                                : static_cast<int64_t>(*value))
                           : Json(nullptr);
        Json flags = Json::array();
        if (!d.canSet) flags.push_back("read-only");
        if (!d.canGet) flags.push_back("write-only");
        if (p.set == PropertySet::ProcAmp) flags.push_back("slider");
        j["flags"] = flags;
        controls.push_back(j);
    }
    // The board's inputs: the tuner on 0, composite and S-video beside it.
    static const char* const kInputNames[] = {"tuner", "composite", "s-video"};
    Json inputs = Json::array();
    for (int i = 0; i < 3; ++i) inputs.push_back({{"index", i}, {"name", kInputNames[i]}});
    Json standards = Json::array();
    for (const auto& name : StandardList()) {
        const auto ks = ParseStandard(name);
        if (ks) standards.push_back({{"name", name}, {"lines", Is525Line(*ks) ? 525 : 625}});
    }
    const auto stored = StoredFrequency();
    Json tuner = {{"minimum", kTunerMinimumHz}, {"maximum", kTunerMaximumHz}, {"step", 62500},
                  {"frequency", stored ? Json(*stored) : Json(nullptr)}};
    if (inv.json) {
        PrintJson({{"controls", controls}, {"inputs", inputs}, {"standards", standards}, {"tuner", tuner}});
        return Finish(s, kExitOk);
    }
    std::printf("Controls:\n");
    for (const auto& c : controls) {
        std::string flags;
        for (const auto& f : c["flags"]) flags += (flags.empty() ? "" : ",") + f.get<std::string>();
        std::printf("  %-14s (%-4s) : min=%lld max=%lld step=%lld default=%s value=%s%s\n",
                    c["name"].get<std::string>().c_str(), c["type"].get<std::string>().c_str(),
                    static_cast<long long>(c["minimum"].get<int64_t>()), static_cast<long long>(c["maximum"].get<int64_t>()),
                    static_cast<long long>(c["step"].get<int64_t>()), c["default"].is_null() ? "-" : c["default"].dump().c_str(),
                    c["value"].is_null() ? "-" : c["value"].dump().c_str(), flags.empty() ? "" : (" flags=" + flags).c_str());
    }
    std::printf("Inputs:\n");
    for (const auto& i : inputs) std::printf("  %d: %s\n", i["index"].get<int>(), i["name"].get<std::string>().c_str());
    std::printf("Standards:\n");
    for (const auto& st : standards)
        std::printf("  %-8s %d lines\n", st["name"].get<std::string>().c_str(), st["lines"].get<int>());
    std::printf("Tuner:           %s .. %s in steps of 62.5 kHz, %s\n", FormatFrequency(kTunerMinimumHz).c_str(),
                FormatFrequency(kTunerMaximumHz).c_str(),
                stored ? ("set to " + FormatFrequency(*stored)).c_str() : "no frequency set");
    return Finish(s, kExitOk);
}

int RunSet(Session& s, const Invocation& inv)
{
    // The driver saves the standard it holds with every single setting, and
    // holds none until a capture start has loaded the stored ones: bring
    // them in first, or the stored standard would be overwritten with 0.
    std::string settleError;
    if (!NT_SUCCESS(s.Settle(&settleError))) {
        Error(settleError);
        return Finish(s, kExitFailure);
    }
    int code = kExitOk;
    for (const auto& a : inv.assignments) {
        NTSTATUS status;
        if (a.ref.named && a.ref.named->kind == ValueKind::Standard) {
            status = s.SetStandard(a.value);
        } else if (a.ref.named && a.ref.named->kind == ValueKind::Frequency) {
            // Tuned now and kept, so the next run on the tuner's input finds
            // the station again.
            if (!Tune(s, a.value, inv.tunerMode)) {
                code = kExitFailure;
                continue;
            }
            kv::kernel::registry::SetDword(kToolKey, "TunerFrequency", a.value);
            kv::kernel::registry::SetDword(kToolKey, "TunerMode", inv.tunerMode);
            status = STATUS_SUCCESS;
        } else {
            std::string error;
            auto request = BuildSet(a, inv.tunerMode, &error);
            if (!request) {
                Error("set " + error);
                code = kExitFailure;
                continue;
            }
            status = s.Set(*request);
        }
        if (!NT_SUCCESS(status)) {
            Error("set " + a.ref.Label() + ": the device refused it: " + kv::app::StatusText(status));
            code = kExitFailure;
        }
    }
    return Finish(s, code);
}

// ------------------------------------------------------------ capture ----

struct Choice {
    kv::app::FormatInfo range;
    std::string problem;
};

// The range for the fourcc and size asked for (the largest offered when no
// size is given), or why there is none.
Choice ChooseFormat(Session& s, uint32_t standard, Fourcc fourcc, std::optional<FrameSize> size)
{
    Choice c;
    std::vector<kv::app::FormatInfo> same;
    for (const auto& f : s.FormatsFor(standard))
        if (f.fourcc == static_cast<ULONG>(fourcc)) same.push_back(f);
    if (same.empty()) {
        c.problem = std::string(FourccName(fourcc)) + " is not offered for " + StandardName(standard);
        return c;
    }
    if (!size) {
        c.range = *std::max_element(same.begin(), same.end(), [](const auto& a, const auto& b) {
            return static_cast<int64_t>(a.width) * a.height < static_cast<int64_t>(b.width) * b.height;
        });
        return c;
    }
    for (const auto& f : same)
        if (f.width == size->width && f.height == size->height) {
            c.range = f;
            return c;
        }
    std::sort(same.begin(), same.end(), [](const auto& a, const auto& b) {
        return std::make_pair(a.width, a.height) < std::make_pair(b.width, b.height);
    });
    std::string sizes;
    for (const auto& f : same) sizes += (sizes.empty() ? "" : ", ") + FormatFrameSize({f.width, f.height});
    c.problem = std::string(FourccName(fourcc)) + " " + FormatFrameSize(*size) + " is not offered for " +
                StandardName(standard) + " (" + LinesOf(standard) + "; offered: " + sizes + ")";
    return c;
}

class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled), tty_(isatty(STDERR_FILENO) != 0) {}
    void Update(uint64_t frames, uint64_t dropped, double videoSeconds, double wallSeconds, bool last)
    {
        if (!enabled_) return;
        const double now = wallSeconds;
        const double every = tty_ ? 0.25 : 2.0;
        if (!last && now - shown_ < every) return;
        shown_ = now;
        const double fps = wallSeconds > 0 ? static_cast<double>(frames) / wallSeconds : 0;
        const double speed = wallSeconds > 0 ? videoSeconds / wallSeconds : 0;
        std::fprintf(stderr, "frame=%6llu fps=%6.1f dropped=%llu time=%s speed=%.2fx%s",
                     static_cast<unsigned long long>(frames), fps, static_cast<unsigned long long>(dropped),
                     FormatClock(videoSeconds).c_str(), speed, tty_ ? (last ? "\n" : "   \r") : "\n");
        std::fflush(stderr);
    }

private:
    bool enabled_;
    bool tty_;
    double shown_ = -1e9;
};

int RunCapture(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    // A frequency means the tuner's picture: the board's tuner feeds input 0.
    const std::optional<int> input = inv.input ? inv.input : inv.frequency ? std::optional<int>(0) : std::nullopt;
    if (input && !SelectInput(s, *input)) return Finish(s, kExitFailure);
    const auto frequency = FrequencyFor(s, inv);
    if (frequency && !Tune(s, *frequency, inv.frequency ? inv.tunerMode : StoredTunerMode())) return Finish(s, kExitFailure);

    const Fourcc fourcc = inv.fourcc.value_or(Fourcc::YUY2);
    const Choice choice = ChooseFormat(s, standard, fourcc, inv.size);
    if (!choice.problem.empty()) {
        Error("capture: " + choice.problem);
        return Finish(s, kExitUsage);
    }
    kv::app::Format format;
    NTSTATUS status = s.Filter().Intersect(choice.range, &format);
    if (!NT_SUCCESS(status)) {
        Error("capture: the driver has no format for " + choice.range.Describe() + ": " + kv::app::StatusText(status));
        return Finish(s, kExitFailure);
    }
    kv::app::Pin* pin = s.Filter().OpenPin(format, &status);
    if (!pin) {
        Error("capture: the driver refused " + choice.range.Describe() + ": " + kv::app::StatusText(status));
        return Finish(s, kExitFailure);
    }

    VideoFormat video;
    video.fourcc = fourcc;
    video.size = {format.Width(), std::abs(format.Height())};
    RateFromInterval(static_cast<uint64_t>(format.AvgTimePerFrame()), &video.rateNumerator, &video.rateDenominator);
    video.lines625 = !Is525Line(standard);
    const size_t frameBytes = FrameBytes(video);

    std::string error;
    auto writer = OpenWriter(*inv.container, inv.output, video, &error);
    if (!writer) {
        Error("capture: " + error);
        return Finish(s, kExitFailure);
    }

    InstallInterruptHandler();
    const double wall0 = Seconds(CLOCK_MONOTONIC);
    const double cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const LONGLONG clock0 = kv::kernel::clock::Now();
    status = pin->Run();
    if (!NT_SUCCESS(status)) {
        writer->Abandon();
        Error("capture: the stream did not start: " + kv::app::StatusText(status) +
              (status == STATUS_INSUFFICIENT_RESOURCES ? " (too little USB bandwidth for this format?)" : ""));
        return Finish(s, kExitFailure);
    }

    Progress progress(inv.progress);
    // A duration is a number of frames at the format's rate, as a player
    // counts it: 2 s of PAL is 50 frames.
    uint64_t wantFrames = inv.frames.value_or(UINT64_MAX);
    if (inv.duration) {
        const double count = std::llround(*inv.duration * video.rateNumerator / video.rateDenominator);
        wantFrames = std::min<uint64_t>(wantFrames, static_cast<uint64_t>(std::max(1.0, count)));
    }
    // Constant frame rate: each frame lands at the place its presentation
    // time gives it, and the frame before fills the places of dropped ones.
    const bool fill = inv.fill.value_or(*inv.container == Container::Y4m);
    const LONGLONG interval = std::max<LONGLONG>(1, format.AvgTimePerFrame());
    const uint64_t fillLimit = static_cast<uint64_t>(10 * 10'000'000 / interval) + 1;  // 10 s of repeats at most per gap
    std::vector<uint8_t> previous;
    int64_t lastSlot = -1;
    // The frame slots (presentation time / frame interval) the file covers,
    // first to last, for the summary.
    std::optional<int64_t> firstSlot;
    int64_t endSlot = 0;
    uint64_t frames = 0, wrongSize = 0, filled = 0;
    bool pipeClosed = false, warnedLock = false;
    std::string failure;
    kv::app::Frame frame;
    USBCAMD_STREAM_STATISTICS stats{};
    auto videoSeconds = [&] { return static_cast<double>(kv::kernel::clock::Now() - clock0) / 1e7; };
    auto write = [&](const std::vector<uint8_t>& data) {
        if (writer->WriteFrame(data.data(), data.size(), &error)) return true;
        if (writer->PipeClosed()) pipeClosed = true;  // the player was closed: the end of the capture
        else failure = error;
        return false;
    };
    while (frames < wantFrames && !g_interrupted) {
        status = pin->ReadFrame(&frame, kFrameWait);
        s.DrainTrace();
        s.TrimDebugOutput();
        if (status == STATUS_TIMEOUT) {
            // Frames that lost data on the way are dropped whole, so heavy
            // packet loss looks like silence: say which it was.
            pin->GetStatistics(&stats);
            failure = stats.DroppedByCamera != 0
                          ? "no complete frame from the device in 2 s of video time (" +
                                std::to_string(stats.DroppedByCamera) +
                                " dropped for missing or damaged data: USB packets lost or in error?)"
                          : "no frame from the device in 2 s of video time (no signal, or too little USB bandwidth?)";
            break;
        }
        if (!NT_SUCCESS(status)) {
            failure = status == STATUS_DEVICE_NOT_CONNECTED
                          ? "the device was unplugged: " + kv::app::StatusText(status)
                          : "the device stopped delivering frames: " + kv::app::StatusText(status);
            break;
        }
        if (frame.data.size() != frameBytes) {
            ++wrongSize;
            continue;
        }
        if (!warnedLock) {
            warnedLock = true;
            const SignalState signal = ReadSignal(s);
            if (signal.reported && !signal.locked)
                Note("warning: the decoder reports no signal lock" +
                     std::string(frequency ? " at " + FormatFrequency(*frequency) + " (no station there?)" : "") +
                     "; the picture is noise");
        }
        const int64_t slot = std::llround(static_cast<double>(frame.presentationTime) / static_cast<double>(interval));
        if (fill) {
            if (lastSlot >= 0 && !previous.empty()) {
                uint64_t gap = slot > lastSlot + 1 ? static_cast<uint64_t>(slot - lastSlot - 1) : 0;
                gap = std::min(gap, fillLimit);
                for (uint64_t k = 0; k < gap && frames < wantFrames; ++k) {
                    if (!write(previous)) break;
                    ++frames;
                    ++filled;
                    endSlot = lastSlot + 1 + static_cast<int64_t>(k) + 1;
                }
                if (!failure.empty() || pipeClosed) break;
            }
            lastSlot = std::max(slot, lastSlot + 1);
            if (frames >= wantFrames) break;
            previous = frame.data;
        }
        if (!write(frame.data)) break;
        ++frames;
        if (!firstSlot) firstSlot = slot;
        endSlot = std::max(endSlot, (fill ? lastSlot : slot) + 1);
        pin->GetStatistics(&stats);
        progress.Update(frames, static_cast<uint64_t>(stats.DropCount), videoSeconds(), Seconds(CLOCK_MONOTONIC) - wall0,
                        false);
    }
    const bool interrupted = g_interrupted != 0;
    pin->GetStatistics(&stats);
    const double played = videoSeconds();
    const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    progress.Update(frames, static_cast<uint64_t>(stats.DropCount), played, wall, true);
    pin->Close();
    s.DrainTrace();

    // Frames already captured are kept whatever ended the capture, as
    // Ctrl-C keeps them; only a capture without one writes nothing.
    if (frames == 0) {
        writer->Abandon();
        Error("capture: " + (failure.empty() ? std::string("no frame was captured") : failure) + "; no file written");
        return Finish(s, kExitFailure);
    }
    if (!writer->Finish(&error)) {
        Error("capture: " + error);
        return Finish(s, kExitFailure);
    }

    const std::string where = inv.discard ? std::string("nothing (discarded)")
                              : inv.output == "-" ? std::string("standard output")
                              : writer->Files().size() > 1 ? writer->Files().front() + " .. " + writer->Files().back()
                                                           : writer->Files().front();
    const std::string ended = !failure.empty() ? failure : interrupted ? "interrupted" : pipeClosed ? "the reader closed the pipe" : "";
    if (inv.json) {
        Json j = {{"files", inv.discard || inv.output == "-" ? Json::array() : Json(writer->Files())},
                  {"output", inv.discard ? "discard" : inv.output},
                  {"container", std::string(ContainerName(*inv.container))},
                  {"fourcc", std::string(FourccName(fourcc))},
                  {"width", video.size.width},
                  {"height", video.size.height},
                  {"rate", std::to_string(video.rateNumerator) + "/" + std::to_string(video.rateDenominator)},
                  {"frames", writer->Frames()},
                  {"filled", filled},
                  {"bytes", writer->Bytes()},
                  {"delivered", stats.FramesDelivered},
                  {"dropped", stats.DropCount},
                  {"packets", stats.PacketsReceived},
                  {"packetErrors", stats.PacketErrors},
                  {"span", firstSlot ? static_cast<double>(endSlot - *firstSlot) * static_cast<double>(interval) / 1e7 : 0.0},
                  {"videoSeconds", played},
                  {"wallSeconds", wall},
                  {"complete", ended.empty()},
                  {"ended", ended.empty() ? Json(nullptr) : Json(ended)}};
        PrintJson(j, inv.output == "-" ? stderr : stdout);
    } else {
        Note("wrote " + where + ": " + writer->Describe() + ", " + std::string(FourccName(fourcc)) + " " +
             FormatFrameSize(video.size) + " at " + FormatRate(video.rateNumerator, video.rateDenominator) + " fps, " +
             std::to_string(writer->Frames()) + (writer->Frames() == 1 ? " frame, " : " frames, ") +
             Megabytes(writer->Bytes()) +
             (filled ? ", " + std::to_string(filled) + " repeated for dropped frames" : "") +
             (interrupted ? " (interrupted)" : pipeClosed ? " (the reader closed the pipe)" : ""));
        Note("frames delivered " + std::to_string(stats.FramesDelivered) + ", dropped " + std::to_string(stats.DropCount) +
             " (no read waiting " + std::to_string(stats.DroppedNoRequest) + ", bad frame " +
             std::to_string(stats.DroppedByCamera) + ", overflow " + std::to_string(stats.DroppedOverflow) +
             ", too early " + std::to_string(stats.DroppedTooEarly) + ", conversion " +
             std::to_string(stats.DroppedConversion) + ", busy " + std::to_string(stats.DroppedBusy) + ")" +
             (wrongSize ? ", " + std::to_string(wrongSize) + " of the wrong size skipped" : "") + "; USB packets " +
             std::to_string(stats.PacketsReceived) + ", " + std::to_string(stats.PacketErrors) + " with errors");
        const double perFrame = frames ? cpu / static_cast<double>(frames) * 1e3 : 0;
        Note(FormatClock(played) + " of video in " + Fixed(wall, 2) + " s (" + Fixed(wall > 0 ? played / wall : 0, 1) +
             "x real time, " + Fixed(wall > 0 ? static_cast<double>(frames) / wall : 0, 1) + " frames/s), CPU " +
             Fixed(perFrame, 2) + " ms per frame");
    }
    if (!failure.empty()) {
        Error("capture: ended early, keeping the " + std::to_string(writer->Frames()) + " complete frame(s): " + failure);
        return Finish(s, kExitFailure);
    }
    return Finish(s, kExitOk);
}

// ----------------------------------------------------------- snapshot ----

int RunSnapshot(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    if (inv.input && !SelectInput(s, *inv.input)) return Finish(s, kExitFailure);
    const auto frequency = FrequencyFor(s, inv);
    if (frequency && !Tune(s, *frequency, inv.frequency ? inv.tunerMode : StoredTunerMode())) return Finish(s, kExitFailure);
    const auto formats = s.FormatsFor(standard);
    kv::app::Format format;
    NTSTATUS status = formats.empty() ? STATUS_NOT_FOUND : s.Filter().Intersect(formats.front(), &format);
    kv::app::Pin* pin = NT_SUCCESS(status) ? s.Filter().OpenPin(format, &status) : nullptr;
    if (!pin) {
        Error("snapshot: cannot open the capture pin: " + kv::app::StatusText(status));
        return Finish(s, kExitFailure);
    }
    // The flag is the application's to consume: clear it, so that only this
    // press can raise it.
    kv::kernel::registry::DeleteValue(kSnapshotKey, "SnapShot");
    status = pin->Run();
    const uint64_t around = inv.frames.value_or(3);
    kv::app::Frame frame;
    uint64_t frames = 0;
    bool reported = false;
    auto read = [&](uint64_t count) {
        for (uint64_t i = 0; i < count && NT_SUCCESS(status); ++i) {
            status = pin->ReadFrame(&frame, kFrameWait);
            s.DrainTrace();
            if (NT_SUCCESS(status)) ++frames;
            if (kv::kernel::registry::GetDword(kSnapshotKey, "SnapShot").value_or(0) == 1) reported = true;
        }
    };
    read(around);
    s.Board().PressButton();
    read(std::max<uint64_t>(around, 2));
    s.Board().ReleaseButton();
    read(1);
    pin->Close();
    s.DrainTrace();
    if (!NT_SUCCESS(status)) {
        Error("snapshot: the device stopped delivering frames: " + kv::app::StatusText(status));
        return Finish(s, kExitFailure);
    }
    if (!reported) {
        Error("snapshot: the button was pressed but the driver raised no SnapShot flag");
        return Finish(s, kExitFailure);
    }
    std::printf("Snapshot button pressed; the driver raised the flag: HKLM\\Software\\Microsoft\\Windows NT\\"
                "CurrentVersion\\KV3300 \"SnapShot\" = 1 (%llu frames around the press)\n",
                static_cast<unsigned long long>(frames));
    return Finish(s, kExitOk);
}

}  // namespace

int RunKvcap(const std::vector<std::string>& args)
{
    // A closed pipe shows up as EPIPE on the write instead of ending us.
    std::signal(SIGPIPE, SIG_IGN);
    const ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        Error(parsed.error);
        return kExitUsage;
    }
    const Invocation& inv = parsed.invocation;
    switch (inv.command) {
    case Command::Help:
        std::fputs((inv.helpTopic ? CommandHelp(*inv.helpTopic) : UsageText()).c_str(), stdout);
        return kExitOk;
    case Command::Version:
        std::fputs(VersionText().c_str(), stdout);
        return kExitOk;
    default: break;
    }
    std::string error;
    auto session = Session::Open(inv, &error);
    if (!session) {
        Error(error);
        return kExitFailure;
    }
    switch (inv.command) {
    case Command::Formats: return RunFormats(*session, inv);
    case Command::Info: return RunInfo(*session, inv);
    case Command::Capture: return RunCapture(*session, inv);
    case Command::Get: return RunGet(*session, inv);
    case Command::Set: return RunSet(*session, inv);
    case Command::Controls: return RunControls(*session, inv);
    case Command::Snapshot: return RunSnapshot(*session, inv);
    default: return kExitUsage;
    }
}

}  // namespace kvcap
