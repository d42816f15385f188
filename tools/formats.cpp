#include "tools/formats.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace kvcap {

std::string ToLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Hex(uint64_t value, int digits)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buffer;
}

// ------------------------------------------------------------- formats ----

std::optional<Fourcc> ParseFourcc(std::string_view text)
{
    const std::string t = ToLower(text);
    if (t == "yuy2" || t == "yuyv" || t == "yuyv422") return Fourcc::YUY2;
    if (t == "i420" || t == "yu12" || t == "yuv420p") return Fourcc::I420;
    if (t == "rgb24" || t == "bgr3" || t == "bgr24") return Fourcc::RGB24;
    return std::nullopt;
}

std::string_view FourccName(Fourcc fourcc)
{
    switch (fourcc) {
    case Fourcc::YUY2: return "YUY2";
    case Fourcc::I420: return "I420";
    case Fourcc::RGB24: return "RGB24";
    }
    return "?";
}

std::string_view FfmpegPixelFormat(Fourcc fourcc)
{
    switch (fourcc) {
    case Fourcc::YUY2: return "yuyv422";
    case Fourcc::I420: return "yuv420p";
    case Fourcc::RGB24: return "bgr24";
    }
    return "?";
}

std::optional<FrameSize> ParseFrameSize(std::string_view text)
{
    const size_t x = text.find_first_of("xX");
    if (x == std::string_view::npos) return std::nullopt;
    const auto w = ParseUnsigned(text.substr(0, x), 65535);
    const auto h = ParseUnsigned(text.substr(x + 1), 65535);
    if (!w || !h || *w == 0 || *h == 0) return std::nullopt;
    // Hex sizes would be odd; only plain decimal is a size.
    for (char c : text)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == 'x' || c == 'X')) return std::nullopt;
    return FrameSize{static_cast<int>(*w), static_cast<int>(*h)};
}

std::string FormatFrameSize(FrameSize size)
{
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

size_t FrameBytes(const VideoFormat& format)
{
    const size_t w = static_cast<size_t>(format.size.width);
    const size_t h = static_cast<size_t>(format.size.height);
    switch (format.fourcc) {
    case Fourcc::YUY2: return w * h * 2;
    case Fourcc::RGB24: return w * h * 3;
    case Fourcc::I420: return w * h + 2 * ((w / 2) * (h / 2));
    }
    return 0;
}

void RateFromInterval(uint64_t interval, uint32_t* numerator, uint32_t* denominator)
{
    if (interval == 333667 || interval == 333666 || interval == 333333) {
        // The 100 ns unit rounds 1001/30000 s; the rate is the NTSC one.
        *numerator = 30000;
        *denominator = 1001;
        return;
    }
    if (interval == 0) interval = 400000;
    uint64_t num = 10'000'000, den = interval;
    const uint64_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    while (num > 0xFFFFFFFFu || den > 0xFFFFFFFFu) {
        num >>= 1;
        den >>= 1;
    }
    *numerator = static_cast<uint32_t>(num);
    *denominator = static_cast<uint32_t>(den ? den : 1);
}

std::string FormatRate(uint32_t numerator, uint32_t denominator)
{
    if (denominator == 0) return "?";
    if (numerator % denominator == 0) return std::to_string(numerator / denominator);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(numerator) / denominator);
    return buffer;
}

// ----------------------------------------------------------- standards ----

namespace {

struct NamedStandard {
    std::string_view name;  // canonical spelling
    uint32_t bits;
};

constexpr NamedStandard kStandards[] = {
    {"NTSC-M", 0x1},       {"NTSC-J", 0x2},       {"NTSC-433", 0x4},     {"PAL-B", 0x10},
    {"PAL-D", 0x20},       {"PAL-G", 0x40},       {"PAL-H", 0x80},       {"PAL-I", 0x100},
    {"PAL-M", 0x200},      {"PAL-N", 0x400},      {"PAL-60", 0x800},     {"SECAM-B", 0x1000},
    {"SECAM-D", 0x2000},   {"SECAM-G", 0x4000},   {"SECAM-H", 0x8000},   {"SECAM-K", 0x10000},
    {"SECAM-K1", 0x20000}, {"SECAM-L", 0x40000},  {"SECAM-L1", 0x80000}, {"PAL-NC", 0x100000},
};

struct Alias {
    std::string_view name;
    uint32_t bits;
};
constexpr Alias kAliases[] = {
    {"ntsc", 0x1}, {"ntscmj", 0x2}, {"pal", 0x10}, {"secam", 0x40000}, {"palncombo", 0x100000},
};

std::string Squash(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '-' || c == '_' || c == ' ') continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

}  // namespace

std::optional<uint32_t> ParseStandard(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        const auto v = ParseUnsigned(text, 0xFFFFFFFFu);
        if (!v) return std::nullopt;
        return static_cast<uint32_t>(*v);
    }
    const std::string key = Squash(text);
    for (const auto& s : kStandards)
        if (Squash(s.name) == key) return s.bits;
    for (const auto& a : kAliases)
        if (a.name == key) return a.bits;
    return std::nullopt;
}

std::string StandardName(uint32_t bits)
{
    for (const auto& s : kStandards)
        if (s.bits == bits) return std::string(s.name);
    if (bits == 0) return "none";
    return Hex(bits);
}

std::string StandardNames()
{
    std::string out = "NTSC, PAL, SECAM";
    for (const auto& s : kStandards) {
        out += ", ";
        out += s.name;
    }
    return out;
}

std::vector<std::string> StandardList()
{
    std::vector<std::string> out;
    for (const auto& s : kStandards) out.emplace_back(s.name);
    return out;
}

bool Is525Line(uint32_t bits)
{
    // The driver's 525-line formats carry NTSC-M, NTSC-J and PAL-M.
    return bits != 0 && (bits & ~0x203u) == 0;
}

// ------------------------------------------------------------- numbers ----

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t maximum)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > maximum) return std::nullopt;
    return value;
}

std::optional<int64_t> ParseSigned(std::string_view text, int64_t minimum, int64_t maximum)
{
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const auto magnitude = ParseUnsigned(text, static_cast<uint64_t>(INT64_MAX));
    if (!magnitude) return std::nullopt;
    const int64_t value = negative ? -static_cast<int64_t>(*magnitude) : static_cast<int64_t>(*magnitude);
    if (value < minimum || value > maximum) return std::nullopt;
    return value;
}

std::optional<bool> ParseSwitch(std::string_view text)
{
    const std::string t = ToLower(text);
    if (t == "1" || t == "on" || t == "yes" || t == "true") return true;
    if (t == "0" || t == "off" || t == "no" || t == "false") return false;
    return std::nullopt;
}

namespace {

// A plain decimal number with an optional fraction: digits [. digits].
std::optional<double> ParseDecimal(std::string_view text)
{
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0) return std::nullopt;
    if (text[0] == '-' || text[0] == '+') return std::nullopt;
    return value;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<uint32_t> ParseFrequency(std::string_view text)
{
    text = Trim(text);
    size_t unitAt = text.size();
    while (unitAt > 0 && std::isalpha(static_cast<unsigned char>(text[unitAt - 1]))) --unitAt;
    const std::string unit = ToLower(text.substr(unitAt));
    const std::string_view number = Trim(text.substr(0, unitAt));
    double scale = 0;
    if (unit.empty()) {
        const auto hz = ParseUnsigned(number, 0xFFFFFFFFu);
        if (!hz) return std::nullopt;
        return static_cast<uint32_t>(*hz);
    }
    if (unit == "hz") scale = 1;
    else if (unit == "khz") scale = 1e3;
    else if (unit == "mhz") scale = 1e6;
    else if (unit == "ghz") scale = 1e9;
    else return std::nullopt;
    const auto value = ParseDecimal(number);
    if (!value) return std::nullopt;
    const double hz = std::round(*value * scale);
    if (hz > 4294967295.0) return std::nullopt;
    return static_cast<uint32_t>(hz);
}

std::string FormatFrequency(uint32_t hz)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f MHz", hz / 1e6);
    return buffer;
}

std::optional<double> ParseDuration(std::string_view text)
{
    text = Trim(text);
    double seconds = 0;
    if (text.find(':') != std::string_view::npos) {
        // [HH:]MM:SS[.fff]
        std::vector<std::string_view> parts;
        size_t start = 0;
        while (true) {
            const size_t colon = text.find(':', start);
            parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
            if (colon == std::string_view::npos) break;
            start = colon + 1;
        }
        if (parts.size() > 3) return std::nullopt;
        const auto last = ParseDecimal(parts.back());
        if (!last || *last >= 60) return std::nullopt;
        seconds = *last;
        double scale = 60;
        for (size_t i = parts.size() - 1; i-- > 0;) {
            const auto v = ParseUnsigned(parts[i], 1000000);
            if (!v || parts[i].find('x') != std::string_view::npos) return std::nullopt;
            if (i + 2 == parts.size() && parts.size() == 3 && *v >= 60) return std::nullopt;
            seconds += static_cast<double>(*v) * scale;
            scale *= 60;
        }
    } else {
        size_t unitAt = text.size();
        while (unitAt > 0 && std::isalpha(static_cast<unsigned char>(text[unitAt - 1]))) --unitAt;
        const std::string unit = ToLower(text.substr(unitAt));
        double scale = 0;
        if (unit.empty() || unit == "s") scale = 1;
        else if (unit == "ms") scale = 1e-3;
        else if (unit == "m" || unit == "min") scale = 60;
        else if (unit == "h") scale = 3600;
        else return std::nullopt;
        const auto v = ParseDecimal(Trim(text.substr(0, unitAt)));
        if (!v) return std::nullopt;
        seconds = *v * scale;
    }
    if (!(seconds > 0) || seconds > 86400) return std::nullopt;
    return seconds;
}

std::string FormatClock(double seconds)
{
    if (!(seconds >= 0)) seconds = 0;
    const auto centis = static_cast<uint64_t>(std::llround(seconds * 100));
    const uint64_t h = centis / 360000, m = centis / 6000 % 60, s = centis / 100 % 60, c = centis % 100;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu.%02llu", static_cast<unsigned long long>(h),
                  static_cast<unsigned long long>(m), static_cast<unsigned long long>(s),
                  static_cast<unsigned long long>(c));
    return buffer;
}

}  // namespace kvcap
