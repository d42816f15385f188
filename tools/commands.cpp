#include "tools/commands.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "host/kernel.h"
#include "tools/session.h"

namespace kvcap {

namespace {

namespace sc = kv::streamclass;

constexpr char kSnapshotKey[] = "\\REGISTRY\\MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\KV3300";
constexpr LONGLONG kFrameWait = 20'000'000;  // 2 s of emulated time for one frame

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
    std::printf("Capture formats for %s (%s), %s mode:\n", StandardName(standard).c_str(), LinesOf(standard).c_str(),
                s.FullMode() ? "full" : "low-bandwidth");
    std::printf("  %-6s %-7s %-10s %-10s %s\n", "Index", "Format", "Size", "Rate", "Frame bytes");
    for (const auto& f : formats) {
        kv::app::Format concrete;
        const NTSTATUS status = s.Filter().Intersect(f, &concrete);
        const std::string rate = NT_SUCCESS(status) ? RateText(concrete.AvgTimePerFrame()) : "refused";
        std::printf("  %-6u %-7s %-10s %-10s %u\n", f.index, f.subtype.c_str(),
                    FormatFrameSize({f.width, f.height}).c_str(), rate.c_str(),
                    NT_SUCCESS(status) ? concrete.ImageSize() : f.imageSize);
    }
    const size_t others = s.Filter().Formats().size() - formats.size();
    if (others) std::printf("  (%zu more for the other line system)\n", others);
    return Finish(s, kExitOk);
}

// ---------------------------------------------------------------- info ----

int RunInfo(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    if (inv.input && !SelectInput(s, *inv.input)) return Finish(s, kExitFailure);
    std::string error;
    const NTSTATUS settled = s.Settle(&error);

    std::printf("Device:          USB analog video capture (simulated board), %zu formats\n", s.Filter().Formats().size());
    const long type = s.DecoderType();
    std::printf("Decoder:         %s at I2C address %s\n", DecoderName(type).c_str(), Hex(s.DecoderAddress(), 2).c_str());
    std::printf("Operating mode:  %s\n", s.FullMode() ? "full (all sizes up to 720x576, pipeline conversion)"
                                                      : "low bandwidth (160x120 only)");
    std::printf("Standard:        %s (%s)\n", StandardName(s.CurrentStandard()).c_str(), LinesOf(s.CurrentStandard()).c_str());

    ULONG input = 0;
    const NTSTATUS inputStatus = s.Filter().GetVendorValue(67, &input);
    std::printf("Input:           %s\n", NT_SUCCESS(inputStatus) ? std::to_string(input).c_str()
                                                                : kv::app::StatusText(inputStatus).c_str());
    std::string errorText;
    auto signal = ParsePropertyName("signal", &errorText);
    auto request = BuildGet(*signal, &errorText);
    uint32_t returned = 0;
    const NTSTATUS lockStatus = s.Get(*request, &returned);
    if (NT_SUCCESS(lockStatus)) std::printf("Signal:          %s\n", DescribeValue(*signal, request->data, returned).c_str());
    else std::printf("Signal:          not reported (this decoder has no status property)\n");
    const auto snapshot = kv::kernel::registry::GetDword(kSnapshotKey, "SnapShot");
    std::printf("Snapshot flag:   %s\n", snapshot && *snapshot ? "raised" : "clear");
    std::printf("Stored settings: %s (from %s%s)\n", s.Registry().path.c_str(), s.Registry().origin.c_str(),
                s.FirstRun() ? "; first run, created at exit" : "");
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
    for (const auto& ref : refs) {
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
                std::printf("%s: not available (%s)\n", ref.Label().c_str(), kv::app::StatusText(status).c_str());
            } else {
                Error("get " + ref.Label() + ": the device refused it: " + kv::app::StatusText(status));
                code = kExitFailure;
            }
            continue;
        }
        std::printf("%s: %s\n", ref.Label().c_str(), DescribeValue(ref, request->data, returned).c_str());
    }
    return Finish(s, code);
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
    if (inv.frequency && !Tune(s, *inv.frequency, inv.tunerMode)) return Finish(s, kExitFailure);

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
    uint64_t frames = 0, wrongSize = 0;
    bool pipeClosed = false;
    std::string failure;
    kv::app::Frame frame;
    USBCAMD_STREAM_STATISTICS stats{};
    auto videoSeconds = [&] { return static_cast<double>(kv::kernel::clock::Now() - clock0) / 1e7; };
    while (frames < wantFrames && !g_interrupted) {
        status = pin->ReadFrame(&frame, kFrameWait);
        s.DrainTrace();
        s.TrimDebugOutput();
        if (status == STATUS_TIMEOUT) {
            failure = "no frame from the device in 2 s of video time (no signal, or too little USB bandwidth?)";
            break;
        }
        if (!NT_SUCCESS(status)) {
            failure = "the device stopped delivering frames: " + kv::app::StatusText(status);
            break;
        }
        if (frame.data.size() != frameBytes) {
            ++wrongSize;
            continue;
        }
        if (!writer->WriteFrame(frame.data.data(), frame.data.size(), &error)) {
            if (writer->PipeClosed()) {
                pipeClosed = true;  // the player was closed: the end of the capture
                break;
            }
            failure = error;
            break;
        }
        ++frames;
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

    if (failure.empty() && frames == 0) failure = "no frame was captured";
    if (!failure.empty()) {
        writer->Abandon();
        Error("capture: " + failure + "; no file written");
        return Finish(s, kExitFailure);
    }
    if (!writer->Finish(&error)) {
        Error("capture: " + error);
        return Finish(s, kExitFailure);
    }

    const std::string where = inv.output == "-" ? std::string("standard output")
                              : writer->Files().size() > 1 ? writer->Files().front() + " .. " + writer->Files().back()
                                                           : writer->Files().front();
    Note("wrote " + where + ": " + writer->Describe() + ", " + std::string(FourccName(fourcc)) + " " +
         FormatFrameSize(video.size) + " at " + FormatRate(video.rateNumerator, video.rateDenominator) + " fps, " +
         std::to_string(writer->Frames()) + (writer->Frames() == 1 ? " frame, " : " frames, ") + Megabytes(writer->Bytes()) +
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
    return Finish(s, kExitOk);
}

// ----------------------------------------------------------- snapshot ----

int RunSnapshot(Session& s, const Invocation& inv)
{
    uint32_t standard = 0;
    if (!ApplyStandard(s, inv, &standard)) return Finish(s, kExitFailure);
    if (inv.input && !SelectInput(s, *inv.input)) return Finish(s, kExitFailure);
    if (inv.frequency && !Tune(s, *inv.frequency, inv.tunerMode)) return Finish(s, kExitFailure);
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
    case Command::Snapshot: return RunSnapshot(*session, inv);
    default: return kExitUsage;
    }
}

}  // namespace kvcap
