// What the command line names: pixel formats, frame sizes, video standards,
// numbers, frequencies and durations, each parsed strictly (the whole text
// must be used, no silent wrap-around) and printed back the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvcap {

// The pin's subtypes, by their bitmap compression code (RGB24 is BI_RGB, 0).
enum class Fourcc : uint32_t {
    RGB24 = 0,
    YUY2 = 0x32595559,
    I420 = 0x30323449,
};

// YUY2, I420 and RGB24, case-insensitively, plus the names other tools use
// for the same layouts: YUYV / yuyv422, YU12 / yuv420p, BGR3 / bgr24.
std::optional<Fourcc> ParseFourcc(std::string_view text);
std::string_view FourccName(Fourcc fourcc);
// The pixel format name ffmpeg uses for the driver's byte layout.
std::string_view FfmpegPixelFormat(Fourcc fourcc);

struct FrameSize {
    int width = 0;
    int height = 0;
    bool operator==(const FrameSize&) const = default;
};
// "720x576" (an upper-case X too); both sides 1..65535.
std::optional<FrameSize> ParseFrameSize(std::string_view text);
std::string FormatFrameSize(FrameSize size);

// A frame as the driver delivers it.
struct VideoFormat {
    Fourcc fourcc = Fourcc::YUY2;
    FrameSize size;
    uint32_t rateNumerator = 25;  // frames per second as a fraction
    uint32_t rateDenominator = 1;
    bool lines625 = true;          // the line system the picture was sampled in
};
// Bytes of one frame: width x height x 2 (YUY2), x 3 (RGB24), or the three
// planes of I420 (chroma planes of width/2 x height/2).
size_t FrameBytes(const VideoFormat& format);
// From the frame interval in 100 ns units: 333667 gives 30000/1001, 400000
// gives 25/1, 1000000 gives 10/1, anything else 10000000/interval reduced.
void RateFromInterval(uint64_t interval100ns, uint32_t* numerator, uint32_t* denominator);
std::string FormatRate(uint32_t numerator, uint32_t denominator);  // "29.97", "25"

// Video standards by name: NTSC (= NTSC-M), NTSC-J, PAL (= PAL-B), PAL-B, -D,
// -G, -H, -I, -M, -N, PAL-60, PAL-NC, SECAM (= SECAM-L), SECAM-B, -D, -G, -H,
// -K, -K1, -L, -L1; case-insensitive, '-' or '_' or nothing between; or a
// number (the KS_AnalogVideoStandard bits, decimal or 0x hex).
std::optional<uint32_t> ParseStandard(std::string_view text);
// "PAL-B", or the bits in hex when they are not one known standard.
std::string StandardName(uint32_t ksStandard);
// Every standard the driver's decoder set can name, for help text.
std::string StandardNames();
std::vector<std::string> StandardList();  // the names one by one
// 525 or 625 lines, as the driver's formats group them.
bool Is525Line(uint32_t ksStandard);

// Unsigned integers: decimal, or hex with 0x. Nothing may follow.
std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t maximum);
// Signed decimal (or 0x hex) within [minimum, maximum].
std::optional<int64_t> ParseSigned(std::string_view text, int64_t minimum, int64_t maximum);
// on/off, yes/no, true/false, 1/0.
std::optional<bool> ParseSwitch(std::string_view text);

// A tuner frequency: Hz as an integer, or with a unit (Hz, kHz, MHz, GHz,
// any case), decimals allowed with a unit ("55.25MHz", "471.25 MHz").
// At most 4,294,967,295 Hz.
std::optional<uint32_t> ParseFrequency(std::string_view text);
std::string FormatFrequency(uint32_t hz);  // "55.250 MHz"

// A duration in seconds: "10", "2.5", "10s", "500ms", "1m", "[HH:]MM:SS[.fff]".
// Positive, at most a day.
std::optional<double> ParseDuration(std::string_view text);
std::string FormatClock(double seconds);  // "00:01:02.50"

std::string Hex(uint64_t value, int digits = 0);  // "0x1F"
std::string ToLower(std::string_view text);

}  // namespace kvcap
