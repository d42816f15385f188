#include "tools/capture.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <fstream>
#include <memory>

#include "host/app.h"
#include "host/kernel.h"
#include "sim/board.h"
#include "tools/y4m_writer.h"

namespace kvcap {

namespace {

namespace app = kv::app;

struct NamedStandard {
    const char* name;
    ULONG value;
};

const NamedStandard kStandards[] = {
    {"ntsc", KS_AnalogVideo_NTSC_M},   {"ntsc-j", KS_AnalogVideo_NTSC_M_J}, {"pal", KS_AnalogVideo_PAL_B},
    {"pal-d", KS_AnalogVideo_PAL_D},   {"pal-h", KS_AnalogVideo_PAL_H},     {"pal-i", KS_AnalogVideo_PAL_I},
    {"pal-m", KS_AnalogVideo_PAL_M},   {"pal-n", KS_AnalogVideo_PAL_N},     {"secam", KS_AnalogVideo_SECAM_L},
    {"secam-b", KS_AnalogVideo_SECAM_B}, {"secam-d", KS_AnalogVideo_SECAM_D}, {"secam-g", KS_AnalogVideo_SECAM_G},
    {"secam-h", KS_AnalogVideo_SECAM_H}, {"secam-k", KS_AnalogVideo_SECAM_K}, {"secam-k1", KS_AnalogVideo_SECAM_K1},
    {"secam-l", KS_AnalogVideo_SECAM_L},
};

// Emulated time a frame may take before the capture gives up on it.
constexpr LONGLONG kFrameLimit = 2 * 10'000'000;
constexpr uint32_t kMaxFrames = 1'000'000;
constexpr int kMaxDimension = 4096;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool ParseNumber(const std::string& text, uint32_t minimum, uint32_t maximum, uint32_t* value)
{
    uint32_t parsed = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || ec != std::errc() || at != end || parsed < minimum || parsed > maximum) return false;
    *value = parsed;
    return true;
}

bool ParseSize(const std::string& text, int* width, int* height)
{
    const size_t x = Lower(text).find('x');
    if (x == std::string::npos) return false;
    uint32_t w = 0, h = 0;
    if (!ParseNumber(text.substr(0, x), 1, kMaxDimension, &w) || !ParseNumber(text.substr(x + 1), 1, kMaxDimension, &h)) {
        return false;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

sim::LineSystem SystemOf(ULONG standard)
{
    return (standard == KS_AnalogVideo_NTSC_M || standard == KS_AnalogVideo_NTSC_M_J ||
            standard == KS_AnalogVideo_PAL_M)
               ? sim::LineSystem::L525
               : sim::LineSystem::L625;
}

// The board, with the chosen source on every input.
std::unique_ptr<sim::Board> MakeBoard(const CaptureOptions& options, ULONG standard, std::ostream& err)
{
    sim::BoardConfig config;
    config.lowBandwidth = options.lowBandwidth;
    std::shared_ptr<sim::VideoSource> source;
    if (!options.source.empty()) {
        std::string error;
        source = sim::MakeY4mSource(options.source, &error);
        if (!source) {
            err << "kvcap: cannot use " << options.source << " as the source: " << error << "\n";
            return nullptr;
        }
    } else {
        sim::TestPatternOptions pattern;
        pattern.sourceId = 2;
        source = sim::MakeTestPattern(SystemOf(standard), pattern);
    }
    config.inputs = {source, source, source};
    return std::make_unique<sim::Board>(config);
}

std::optional<PixelFormat> PixelsOf(ULONG fourcc)
{
    switch (fourcc) {
    case app::kFourccYuy2: return PixelFormat::Yuy2;
    case app::kFourccI420: return PixelFormat::I420;
    case app::kFourccRgb24: return PixelFormat::Rgb24;
    default: return std::nullopt;
    }
}

// A started filter with the standard set; null after a message.
std::unique_ptr<app::Filter> OpenFilter(sim::Board& board, const CaptureOptions& options, ULONG standard,
                                        std::ostream& err)
{
    app::FilterOptions filterOptions;
    filterOptions.pacedToWallClock = options.realtime;
    std::unique_ptr<app::Filter> filter;
    try {
        filter = app::Filter::Open(board, filterOptions);
    } catch (const app::Error& e) {
        err << "kvcap: " << e.what() << "\n";
        return nullptr;
    }
    const NTSTATUS status = filter->SetVideoStandard(standard);
    if (!NT_SUCCESS(status)) {
        err << "kvcap: the device refused the standard " << options.standard << ": " << app::StatusText(status)
            << "\n";
        return nullptr;
    }
    return filter;
}

void PrintFormats(const std::vector<app::FormatInfo>& formats, ULONG standard, std::ostream& out)
{
    for (const auto& f : formats) {
        if (f.OfferedFor(standard)) out << "  " << f.subtype << " " << f.width << "x" << f.height << "\n";
    }
}

}  // namespace

std::optional<ULONG> StandardByName(const std::string& name)
{
    const std::string wanted = Lower(name);
    for (const auto& s : kStandards) {
        if (wanted == s.name) return s.value;
    }
    return std::nullopt;
}

std::vector<std::string> StandardNames()
{
    std::vector<std::string> names;
    for (const auto& s : kStandards) names.emplace_back(s.name);
    return names;
}

std::string CaptureUsage()
{
    std::string standards;
    for (const auto& name : StandardNames()) standards += (standards.empty() ? "" : ", ") + name;
    return "usage: kvcap capture [options]\n"
           "       kvcap formats [--standard NAME] [--low-bandwidth]\n"
           "Captures frames from the simulated board through the driver into a Y4M file.\n"
           "  --format YUY2|I420|RGB24   output format (I420)\n"
           "  --size WxH                 frame size the pin offers (640x480)\n"
           "  --standard NAME            " + standards + " (ntsc)\n"
           "  --frames N                 frames to capture, 1 to 1000000 (100)\n"
           "  --output FILE              the Y4M file to write (capture.y4m)\n"
           "  --source FILE.y4m          show this video on the board instead of its test pattern\n"
           "  --realtime                 run at the video rate instead of as fast as possible\n"
           "  --low-bandwidth            a board in the low-bandwidth mode (160x120 formats)\n";
}

bool ParseCaptureArguments(const std::vector<std::string>& args, CaptureOptions* options, std::string* error,
                           bool* help)
{
    *help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto takeValue = [&]() -> bool {
            if (value) return true;
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        if (name == "--help" || name == "-h") {
            *help = true;
            return true;
        }
        if (name == "--realtime" || name == "--low-bandwidth") {
            if (value) {
                *error = name + " takes no value";
                return false;
            }
            (name == "--realtime" ? options->realtime : options->lowBandwidth) = true;
            continue;
        }
        if (name != "--format" && name != "--size" && name != "--standard" && name != "--frames" &&
            name != "--output" && name != "--source") {
            *error = "unknown option " + name;
            return false;
        }
        if (!takeValue()) return false;
        if (name == "--format") {
            std::string f = *value;
            std::transform(f.begin(), f.end(), f.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            if (f != "YUY2" && f != "I420" && f != "RGB24") {
                *error = "--format must be YUY2, I420 or RGB24, not " + *value;
                return false;
            }
            options->format = f;
        } else if (name == "--size") {
            if (!ParseSize(*value, &options->width, &options->height)) {
                *error = "--size must be WIDTHxHEIGHT (e.g. 640x480), not " + *value;
                return false;
            }
        } else if (name == "--standard") {
            if (!StandardByName(*value)) {
                *error = "unknown standard " + *value;
                return false;
            }
            options->standard = Lower(*value);
        } else if (name == "--frames") {
            if (!ParseNumber(*value, 1, kMaxFrames, &options->frames)) {
                *error = "--frames must be a number from 1 to " + std::to_string(kMaxFrames) + ", not " + *value;
                return false;
            }
        } else if (name == "--output" || name == "--source") {
            if (value->empty()) {
                *error = name + " needs a file name";
                return false;
            }
            (name == "--output" ? options->output : options->source) = *value;
        }
    }
    return true;
}

int ListFormats(const CaptureOptions& options, std::ostream& out, std::ostream& err)
{
    const ULONG standard = StandardByName(options.standard).value_or(KS_AnalogVideo_NTSC_M);
    kv::kernel::Reset();
    kv::streamclass::Reset();
    auto board = MakeBoard(options, standard, err);
    if (!board) return 1;
    auto filter = OpenFilter(*board, options, standard, err);
    if (!filter) return 1;
    out << "formats under " << options.standard << ":\n";
    PrintFormats(filter->Formats(), standard, out);
    return 0;
}

int RunCapture(const CaptureOptions& options, std::ostream& out, std::ostream& err)
{
    const auto standard = StandardByName(options.standard);
    if (!standard) {
        err << "kvcap: unknown standard " << options.standard << "\n";
        return 1;
    }
    kv::kernel::Reset();
    kv::streamclass::Reset();
    auto board = MakeBoard(options, *standard, err);
    if (!board) return 1;
    auto filter = OpenFilter(*board, options, *standard, err);
    if (!filter) return 1;

    const auto formats = filter->Formats();
    const app::FormatInfo* range = nullptr;
    for (const auto& f : formats) {
        if (f.subtype == options.format && f.width == options.width && f.height == options.height &&
            f.OfferedFor(*standard)) {
            range = &f;
            break;
        }
    }
    if (range == nullptr) {
        err << "kvcap: the pin offers no " << options.format << " " << options.width << "x" << options.height
            << " under " << options.standard << "; it offers:\n";
        PrintFormats(formats, *standard, err);
        return 1;
    }
    app::Format format;
    NTSTATUS status = filter->Intersect(*range, &format);
    if (!NT_SUCCESS(status)) {
        err << "kvcap: no format for " << range->Describe() << ": " << app::StatusText(status) << "\n";
        return 1;
    }
    Y4mFormat y4m;
    y4m.pixels = PixelsOf(format.Fourcc()).value_or(PixelFormat::I420);
    y4m.width = format.Width();
    y4m.height = format.Height();
    RateOfInterval(format.AvgTimePerFrame(), &y4m.rateNumerator, &y4m.rateDenominator);

    std::ofstream file(options.output, std::ios::binary | std::ios::trunc);
    if (!file) {
        err << "kvcap: cannot write " << options.output << "\n";
        return 1;
    }
    Y4mWriter writer(file, y4m);

    app::Pin* pin = filter->OpenPin(format, &status);
    if (pin == nullptr) {
        err << "kvcap: the pin did not open with " << range->Describe() << ": " << app::StatusText(status) << "\n";
        return 1;
    }
    status = pin->Run();
    if (!NT_SUCCESS(status)) {
        err << "kvcap: the stream did not start: " << app::StatusText(status) << "\n";
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    int result = 0;
    app::Frame frame;
    while (writer.FramesWritten() < options.frames) {
        status = pin->ReadFrame(&frame, kFrameLimit);
        if (status != STATUS_SUCCESS) {
            err << "kvcap: capture ended after " << writer.FramesWritten() << " frames: " << app::StatusText(status)
                << "\n";
            result = 1;
            break;
        }
        if (!writer.WriteFrame(frame.data.data(), frame.data.size())) {
            err << "kvcap: frame of " << frame.data.size() << " bytes could not be written to " << options.output
                << "\n";
            result = 1;
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    app::DroppedFrames dropped;
    USBCAMD_STREAM_STATISTICS statistics{};
    pin->GetDroppedFrames(&dropped);
    pin->GetStatistics(&statistics);
    pin->Stop();
    pin->Close();
    file.close();

    char rate[32];
    std::snprintf(rate, sizeof(rate), "%.2f", static_cast<double>(y4m.rateNumerator) / y4m.rateDenominator);
    out << "captured " << writer.FramesWritten() << " frames of " << options.format << " " << y4m.width << "x"
        << y4m.height << " at " << rate << " fps (" << options.standard << ") to " << options.output << " in "
        << static_cast<int>(seconds * 1000) << " ms\n";
    out << "dropped " << dropped.dropCount << " frames";
    if (dropped.dropCount != 0) {
        out << " (no read waiting " << statistics.DroppedNoRequest << ", damaged " << statistics.DroppedByCamera
            << ", too long " << statistics.DroppedOverflow << ", too early " << statistics.DroppedTooEarly
            << ", not converted " << statistics.DroppedConversion << ", no buffer " << statistics.DroppedBusy << ")";
    }
    out << "\n";
    return result;
}

}  // namespace kvcap
