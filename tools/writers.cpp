#include "tools/writers.h"

#if defined(KV_HAVE_ZLIB)
#include <zlib.h>
#endif

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace kvcap {

std::optional<Container> ContainerFromName(const std::string& path)
{
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    const std::string ext = ToLower(path.substr(dot + 1));
    if (ext == "y4m") return Container::Y4m;
    if (ext == "png") return Container::Png;
    if (ext == "raw" || ext == "yuv" || ext == "rgb") return Container::Raw;
    return std::nullopt;
}

std::optional<Container> ParseContainer(std::string_view name)
{
    const std::string n = ToLower(name);
    if (n == "y4m") return Container::Y4m;
    if (n == "png") return Container::Png;
    if (n == "raw") return Container::Raw;
    return std::nullopt;
}

std::string_view ContainerName(Container c)
{
    switch (c) {
    case Container::Y4m: return "y4m";
    case Container::Png: return "png";
    case Container::Raw: return "raw";
    }
    return "?";
}

bool CheckFramePattern(const std::string& pattern, bool* hasPattern, std::string* error)
{
    int patterns = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < pattern.size() && pattern[j] == '0') {
            ++j;
            if (j < pattern.size() && pattern[j] >= '1' && pattern[j] <= '9') ++j;
            else {
                if (error) *error = "bad frame number pattern in '" + pattern + "' (use %d or %05d)";
                return false;
            }
        }
        if (j >= pattern.size() || pattern[j] != 'd') {
            if (error) *error = "bad frame number pattern in '" + pattern + "' (use %d or %05d, %% for a percent sign)";
            return false;
        }
        ++patterns;
        i = j;
    }
    if (patterns > 1) {
        if (error) *error = "more than one frame number pattern in '" + pattern + "'";
        return false;
    }
    *hasPattern = patterns == 1;
    return true;
}

std::string ExpandFramePattern(const std::string& pattern, uint64_t number)
{
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            out.push_back(pattern[i]);
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        size_t j = i + 1;
        int width = 0;
        if (j < pattern.size() && pattern[j] == '0' && j + 1 < pattern.size()) {
            width = pattern[j + 1] - '0';
            j += 2;
        }
        std::string digits = std::to_string(number);
        if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
        out += digits;
        i = j;  // at the 'd'
    }
    return out;
}

// ------------------------------------------------------- conversions ----

void Yuy2ToPlanar422(const uint8_t* src, int width, int height, uint8_t* y, uint8_t* u, uint8_t* v)
{
    const int pairs = width / 2;
    for (int row = 0; row < height; ++row) {
        const uint8_t* s = src + static_cast<size_t>(row) * width * 2;
        uint8_t* yr = y + static_cast<size_t>(row) * width;
        uint8_t* ur = u + static_cast<size_t>(row) * pairs;
        uint8_t* vr = v + static_cast<size_t>(row) * pairs;
        for (int p = 0; p < pairs; ++p) {
            yr[2 * p] = s[4 * p];
            ur[p] = s[4 * p + 1];
            yr[2 * p + 1] = s[4 * p + 2];
            vr[p] = s[4 * p + 3];
        }
    }
}

void RgbToPlanar444(const uint8_t* bgr, int width, int height, uint8_t* planes)
{
    const size_t area = static_cast<size_t>(width) * height;
    uint8_t* y = planes;
    uint8_t* u = planes + area;
    uint8_t* v = planes + 2 * area;
    for (int row = 0; row < height; ++row) {
        // Bottom-up rows: the picture's top row is the last in memory.
        const uint8_t* s = bgr + static_cast<size_t>(height - 1 - row) * width * 3;
        const size_t o = static_cast<size_t>(row) * width;
        for (int x = 0; x < width; ++x) {
            const int b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
            // Full-range RGB to BT.601 limited range, 8.8 fixed point:
            //   Y = 16 + (65.738 R + 129.057 G + 25.064 B) / 256
            //   U = 128 + (-37.945 R - 74.494 G + 112.439 B) / 256
            //   V = 128 + (112.439 R - 94.154 G - 18.285 B) / 256
            y[o + x] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            u[o + x] = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            v[o + x] = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
}

namespace {

inline uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// BT.601 limited range to full-range RGB, 8.8 fixed point:
//   R = 1.164 (Y - 16) + 1.596 (V - 128)
//   G = 1.164 (Y - 16) - 0.391 (U - 128) - 0.813 (V - 128)
//   B = 1.164 (Y - 16) + 2.018 (U - 128)
inline void YuvToRgb(int y, int u, int v, uint8_t* rgb)
{
    const int c = 298 * (y - 16) + 128;
    const int d = u - 128, e = v - 128;
    rgb[0] = Clamp((c + 409 * e) >> 8);
    rgb[1] = Clamp((c - 100 * d - 208 * e) >> 8);
    rgb[2] = Clamp((c + 516 * d) >> 8);
}

}  // namespace

void FrameToRgb(const VideoFormat& format, const uint8_t* frame, uint8_t* rgb)
{
    const int w = format.size.width, h = format.size.height;
    switch (format.fourcc) {
    case Fourcc::YUY2:
        for (int row = 0; row < h; ++row) {
            const uint8_t* s = frame + static_cast<size_t>(row) * w * 2;
            uint8_t* d = rgb + static_cast<size_t>(row) * w * 3;
            for (int x = 0; x < w; ++x) {
                const uint8_t* pair = s + (x / 2) * 4;
                YuvToRgb(s[2 * x], pair[1], pair[3], d + 3 * x);
            }
        }
        break;
    case Fourcc::I420: {
        const int cw = w / 2, ch = h / 2;
        const uint8_t* yp = frame;
        const uint8_t* up = yp + static_cast<size_t>(w) * h;
        const uint8_t* vp = up + static_cast<size_t>(cw) * ch;
        for (int row = 0; row < h; ++row) {
            const int cr = std::min(row / 2, std::max(ch - 1, 0));
            uint8_t* d = rgb + static_cast<size_t>(row) * w * 3;
            for (int x = 0; x < w; ++x) {
                const int cx = std::min(x / 2, std::max(cw - 1, 0));
                const int u = cw && ch ? up[static_cast<size_t>(cr) * cw + cx] : 128;
                const int v = cw && ch ? vp[static_cast<size_t>(cr) * cw + cx] : 128;
                YuvToRgb(yp[static_cast<size_t>(row) * w + x], u, v, d + 3 * x);
            }
        }
        break;
    }
    case Fourcc::RGB24:
        // Bottom-up BGR rows to top-down RGB.
        for (int row = 0; row < h; ++row) {
            const uint8_t* s = frame + static_cast<size_t>(h - 1 - row) * w * 3;
            uint8_t* d = rgb + static_cast<size_t>(row) * w * 3;
            for (int x = 0; x < w; ++x) {
                d[3 * x] = s[3 * x + 2];
                d[3 * x + 1] = s[3 * x + 1];
                d[3 * x + 2] = s[3 * x];
            }
        }
        break;
    }
}

#if defined(KV_HAVE_ZLIB)
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const uint8_t* data, size_t size)
{
    Put32(out, static_cast<uint32_t>(size));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, out.data() + start, static_cast<uInt>(out.size() - start));
    Put32(out, static_cast<uint32_t>(crc));
}

}  // namespace

std::vector<uint8_t> EncodePng(const uint8_t* rgb, int width, int height, uint32_t aspectWidth, uint32_t aspectHeight)
{
    // Each row with the Sub filter: pictures change slowly across a row.
    const size_t stride = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> filtered((stride + 1) * static_cast<size_t>(height));
    for (int row = 0; row < height; ++row) {
        const uint8_t* s = rgb + static_cast<size_t>(row) * stride;
        uint8_t* d = filtered.data() + static_cast<size_t>(row) * (stride + 1);
        d[0] = 1;
        for (size_t i = 0; i < stride; ++i) d[1 + i] = static_cast<uint8_t>(s[i] - (i >= 3 ? s[i - 3] : 0));
    }
    uLongf packedSize = compressBound(static_cast<uLong>(filtered.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, filtered.data(), static_cast<uLong>(filtered.size()), 6) != Z_OK)
        return {};
    packed.resize(packedSize);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    Put32(ihdr, static_cast<uint32_t>(width));
    Put32(ihdr, static_cast<uint32_t>(height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filters, no interlace
    PutChunk(png, "IHDR", ihdr.data(), ihdr.size());
    if (aspectWidth && aspectHeight && aspectWidth != aspectHeight) {
        // Pixels per unit across and down, unit unknown: a pixel 12:11 wide
        // is 11 per unit across and 12 down.
        std::vector<uint8_t> phys;
        Put32(phys, aspectHeight);
        Put32(phys, aspectWidth);
        phys.push_back(0);
        PutChunk(png, "pHYs", phys.data(), phys.size());
    }
    PutChunk(png, "IDAT", packed.data(), packed.size());
    PutChunk(png, "IEND", nullptr, 0);
    return png;
}
#else
// No deflate in this build (the i386 one): the PNG writer reports it.
std::vector<uint8_t> EncodePng(const uint8_t*, int, int, uint32_t, uint32_t) { return {}; }
#endif

std::string ShellQuote(const std::string& word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./:+-=,@%", c) != nullptr;
    });
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Y4mHeader(const VideoFormat& f)
{
    std::string h = "YUV4MPEG2 W" + std::to_string(f.size.width) + " H" + std::to_string(f.size.height) + " F" +
                    std::to_string(f.rateNumerator) + ":" + std::to_string(f.rateDenominator) + " Ip" +
                    (f.lines625 ? " A12:11" : " A10:11");
    h += f.fourcc == Fourcc::I420 ? " C420mpeg2" : f.fourcc == Fourcc::YUY2 ? " C422" : " C444";
    // The driver's YUV keeps the decoder's BT.601 studio levels.
    h += " XCOLORRANGE=LIMITED\n";
    return h;
}

// ---------------------------------------------------------- writers ----

namespace {

bool CheckFrameSize(const VideoFormat& format, size_t size, std::string* error)
{
    if (size == FrameBytes(format)) return true;
    if (error)
        *error = "frame of " + std::to_string(size) + " bytes where " + std::string(FourccName(format.fourcc)) + " " +
                 FormatFrameSize(format.size) + " has " + std::to_string(FrameBytes(format));
    return false;
}

class Y4mWriter final : public FrameWriter {
public:
    Y4mWriter(std::unique_ptr<AtomicFile> file, const VideoFormat& format) : file_(std::move(file)), format_(format)
    {
        files_.push_back(file_->Path());
    }
    bool Start(std::string* error) { return file_->Write(Y4mHeader(format_), error); }

    bool WriteFrame(const uint8_t* frame, size_t size, std::string* error) override
    {
        if (!CheckFrameSize(format_, size, error)) return false;
        if (!file_->Write("FRAME\n", error)) return false;
        if (format_.fourcc == Fourcc::RGB24) {
            planar_.resize(static_cast<size_t>(format_.size.width) * format_.size.height * 3);
            RgbToPlanar444(frame, format_.size.width, format_.size.height, planar_.data());
            if (!file_->Write(planar_.data(), planar_.size(), error)) return false;
        } else if (format_.fourcc == Fourcc::YUY2) {
            const size_t w = static_cast<size_t>(format_.size.width), h = static_cast<size_t>(format_.size.height);
            planar_.resize(size);
            uint8_t* y = planar_.data();
            uint8_t* u = y + w * h;
            uint8_t* v = u + (w / 2) * h;
            Yuy2ToPlanar422(frame, format_.size.width, format_.size.height, y, u, v);
            if (!file_->Write(planar_.data(), planar_.size(), error)) return false;
        } else if (!file_->Write(frame, size, error)) {
            return false;
        }
        ++frames_;
        bytes_ = file_->BytesWritten();
        return true;
    }
    bool Finish(std::string* error) override { return file_->Commit(error); }
    void Abandon() override { file_->Abandon(); }
    bool PipeClosed() const override { return file_->PipeClosed(); }
    std::string Describe() const override
    {
        switch (format_.fourcc) {
        case Fourcc::I420: return "Y4M 4:2:0 progressive";
        case Fourcc::YUY2: return "Y4M 4:2:2 progressive";
        case Fourcc::RGB24: break;
        }
        return "Y4M 4:4:4 progressive (from RGB24)";
    }

private:
    std::unique_ptr<AtomicFile> file_;
    VideoFormat format_;
    std::vector<uint8_t> planar_;
};

class PngWriter final : public FrameWriter {
public:
    PngWriter(std::string pattern, bool numbered, const VideoFormat& format)
        : pattern_(std::move(pattern)), numbered_(numbered), format_(format)
    {
    }

    bool WriteFrame(const uint8_t* frame, size_t size, std::string* error) override
    {
        if (!CheckFrameSize(format_, size, error)) return false;
        if (!numbered_ && frames_ > 0) {
            if (error) *error = pattern_ + " holds one frame; name the files with a %d pattern for more";
            return false;
        }
        const std::string name = numbered_ ? ExpandFramePattern(pattern_, frames_ + 1) : pattern_;
        rgb_.resize(static_cast<size_t>(format_.size.width) * format_.size.height * 3);
        FrameToRgb(format_, frame, rgb_.data());
        // BT.601 sampling: 12:11 pixels for 625 lines, 10:11 for 525.
        const std::vector<uint8_t> png =
            EncodePng(rgb_.data(), format_.size.width, format_.size.height, format_.lines625 ? 12 : 10, 11);
        if (png.empty()) {
            if (error) *error = "cannot compress the picture for " + name + " (this build may lack PNG: use Y4M or raw)";
            return false;
        }
        auto file = AtomicFile::Create(name, error);
        if (!file || !file->Write(png.data(), png.size(), error) || !file->Commit(error)) return false;
        files_.push_back(name);
        ++frames_;
        bytes_ += png.size();
        return true;
    }
    bool Finish(std::string*) override { return true; }  // each file is complete when written
    void Abandon() override {}
    std::string Describe() const override { return "PNG RGB"; }

private:
    std::string pattern_;
    bool numbered_;
    VideoFormat format_;
    std::vector<uint8_t> rgb_;
};

class RawWriter final : public FrameWriter {
public:
    RawWriter(std::unique_ptr<AtomicFile> file, const VideoFormat& format) : file_(std::move(file)), format_(format)
    {
        files_.push_back(file_->Path());
    }

    bool WriteFrame(const uint8_t* frame, size_t size, std::string* error) override
    {
        if (!CheckFrameSize(format_, size, error)) return false;
        if (!file_->Write(frame, size, error)) return false;
        ++frames_;
        bytes_ = file_->BytesWritten();
        return true;
    }

    bool Finish(std::string* error) override
    {
        // A pipe or a device has no place beside it for a description.
        if (file_->IsDirect()) return file_->Commit(error);
        // The description goes into place first, so the data never appears
        // without it.
        const std::string sidecar = file_->Path() + ".json";
        if (!WriteFileAtomically(sidecar, Sidecar(), error)) {
            file_->Abandon();
            return false;
        }
        files_.push_back(sidecar);
        return file_->Commit(error);
    }
    void Abandon() override { file_->Abandon(); }
    bool PipeClosed() const override { return file_->PipeClosed(); }
    std::string Describe() const override
    {
        return "raw " + std::string(FourccName(format_.fourcc)) + ", read with " + FfmpegOptions();
    }

private:
    std::string FfmpegOptions() const
    {
        std::string o = "-f rawvideo -pixel_format " + std::string(FfmpegPixelFormat(format_.fourcc)) +
                        " -video_size " + FormatFrameSize(format_.size) + " -framerate " +
                        std::to_string(format_.rateNumerator) + "/" + std::to_string(format_.rateDenominator);
        return o;
    }

    std::string Sidecar() const
    {
        const bool bottomUp = format_.fourcc == Fourcc::RGB24;
        std::string read = "ffmpeg " + FfmpegOptions() + " -i " + ShellQuote(file_->Path());
        if (bottomUp) read += " -vf vflip";
        const nlohmann::ordered_json j = {
            {"fourcc", std::string(FourccName(format_.fourcc))},
            {"width", format_.size.width},
            {"height", format_.size.height},
            {"frameRate", std::to_string(format_.rateNumerator) + "/" + std::to_string(format_.rateDenominator)},
            {"frames", frames_},
            {"frameBytes", FrameBytes(format_)},
            {"layout", format_.fourcc == Fourcc::YUY2   ? "packed Y0 U Y1 V"
                       : format_.fourcc == Fourcc::I420 ? "planes Y, U, V (chroma width/2 x height/2)"
                                                        : "packed B G R"},
            {"rowOrder", bottomUp ? "bottom-up" : "top-down"},
            {"levels", bottomUp ? "full range" : "BT.601 limited range"},
            {"ffmpegPixelFormat", std::string(FfmpegPixelFormat(format_.fourcc))},
            {"read", read},
        };
        // Names that are not valid UTF-8 are kept byte for byte (\u escapes
        // would change them) rather than refused.
        return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    }

    std::unique_ptr<AtomicFile> file_;
    VideoFormat format_;
};

}  // namespace

std::unique_ptr<FrameWriter> OpenWriter(Container container, const std::string& path, const VideoFormat& format,
                                        std::string* error)
{
    if (format.size.width <= 0 || format.size.height <= 0) {
        if (error) *error = "no frame size";
        return nullptr;
    }
    switch (container) {
    case Container::Y4m: {
        auto file = AtomicFile::Create(path, error);
        if (!file) return nullptr;
        auto writer = std::make_unique<Y4mWriter>(std::move(file), format);
        if (!writer->Start(error)) return nullptr;
        return writer;
    }
    case Container::Png: {
        if (path == "-") {
            if (error) *error = "PNG stills go to files, not to standard output";
            return nullptr;
        }
        bool numbered = false;
        if (!CheckFramePattern(path, &numbered, error)) return nullptr;
        return std::make_unique<PngWriter>(path, numbered, format);
    }
    case Container::Raw: {
        auto file = AtomicFile::Create(path, error);
        if (!file) return nullptr;
        return std::make_unique<RawWriter>(std::move(file), format);
    }
    }
    return nullptr;
}

}  // namespace kvcap
