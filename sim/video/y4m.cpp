// Frames of a YUV4MPEG2 file as an analog source.
//
// The file is indexed once when it is opened: every frame header is checked
// and every frame's data offset kept, so nothing later can read past the end.
// A trailing frame cut short is left out; a malformed header anywhere makes
// the file unusable. Frames are read on demand, scaled (nearest sample) to
// the raster's active picture, 720 pixels by twice the active lines per
// field, and kept until another frame, system or adjustment is asked for.
// Field 1 takes the frame's even rows, field 2 its odd rows; the file's own
// field order tag is not consulted. Frame n of the video shows file frame
// n mod (number of frames), so the file loops; frames beyond the first 2^20
// are not used.
#include "sim/video/raster_internal.h"

#include <charconv>
#include <fstream>
#include <string_view>
#include <vector>

namespace sim {

namespace {

constexpr size_t kMaxHeaderLine = 4096;
constexpr int kMaxDimension = 8192;
// A file of tiny frames could otherwise make the index larger than the file;
// frames past this many are not shown.
constexpr size_t kMaxFrames = size_t{1} << 20;

enum class Chroma { C420, C422, C444, Mono };

struct Y4mFormat {
    int width = 0, height = 0;
    Chroma chroma = Chroma::C420;
    int rateNum = 0, rateDen = 0;
    size_t frameBytes = 0;
    size_t chromaWidth = 0, chromaHeight = 0;
};

bool ParseInt(std::string_view s, int& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Reads one '\n'-terminated line of at most kMaxHeaderLine bytes. Returns
// false at end of file or when the line is longer (too long is flagged).
bool ReadLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    char c;
    while (in.get(c)) {
        if (c == '\n') return true;
        if (line.size() >= kMaxHeaderLine) {
            tooLong = true;
            return false;
        }
        line.push_back(c);
    }
    return false;
}

bool ParseHeader(const std::string& line, Y4mFormat& f, std::string& error) {
    std::string_view rest(line);
    auto next = [&rest]() {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const size_t end = rest.find(' ');
        const std::string_view tok = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        return tok;
    };
    if (next() != "YUV4MPEG2") {
        error = "not a YUV4MPEG2 file (bad signature)";
        return false;
    }
    bool haveW = false, haveH = false;
    for (std::string_view tok = next(); !tok.empty(); tok = next()) {
        const char tag = tok.front();
        const std::string_view val = tok.substr(1);
        switch (tag) {
        case 'W':
            if (!ParseInt(val, f.width) || f.width < 1 || f.width > kMaxDimension) {
                error = "bad frame width in header";
                return false;
            }
            haveW = true;
            break;
        case 'H':
            if (!ParseInt(val, f.height) || f.height < 1 || f.height > kMaxDimension) {
                error = "bad frame height in header";
                return false;
            }
            haveH = true;
            break;
        case 'C':
            if (val == "420" || val == "420jpeg" || val == "420paldv" || val == "420mpeg2") {
                f.chroma = Chroma::C420;
            } else if (val == "422") {
                f.chroma = Chroma::C422;
            } else if (val == "444") {
                f.chroma = Chroma::C444;
            } else if (val == "mono") {
                f.chroma = Chroma::Mono;
            } else {
                error = "unsupported colour space C" + std::string(val);
                return false;
            }
            break;
        case 'F': {
            const size_t colon = val.find(':');
            int n = 0, d = 0;
            if (colon == std::string_view::npos || !ParseInt(val.substr(0, colon), n) ||
                !ParseInt(val.substr(colon + 1), d) || n <= 0 || d <= 0) {
                error = "bad frame rate in header";
                return false;
            }
            f.rateNum = n;
            f.rateDen = d;
            break;
        }
        case 'I':
            if (val != "p" && val != "t" && val != "b" && val != "m" && val != "?") {
                error = "bad interlace tag in header";
                return false;
            }
            break;
        default:
            // Aspect, comments and extensions do not change the picture.
            break;
        }
    }
    if (!haveW || !haveH) {
        error = "header lacks the frame width or height";
        return false;
    }
    const size_t w = static_cast<size_t>(f.width);
    const size_t h = static_cast<size_t>(f.height);
    switch (f.chroma) {
    case Chroma::C420: f.chromaWidth = (w + 1) / 2; f.chromaHeight = (h + 1) / 2; break;
    case Chroma::C422: f.chromaWidth = (w + 1) / 2; f.chromaHeight = h; break;
    case Chroma::C444: f.chromaWidth = w; f.chromaHeight = h; break;
    case Chroma::Mono: f.chromaWidth = 0; f.chromaHeight = 0; break;
    }
    f.frameBytes = w * h + 2 * f.chromaWidth * f.chromaHeight;
    return true;
}

class Y4mSource final : public VideoSource {
public:
    Y4mSource(std::ifstream file, Y4mFormat format, std::vector<uint64_t> offsets)
        : file_(std::move(file)), f_(format), offsets_(std::move(offsets)), data_(f_.frameBytes) {}

    LineSystem NativeSystem() const override {
        if (f_.rateNum > 0) {
            const double rate = static_cast<double>(f_.rateNum) / f_.rateDen;
            if ((rate > 29 && rate < 31) || (rate > 59 && rate < 61)) return LineSystem::L525;
            if ((rate > 24 && rate < 26) || (rate > 49 && rate < 51)) return LineSystem::L625;
        }
        return f_.height <= 480 ? LineSystem::L525 : LineSystem::L625;
    }
    bool HasSignal() const override { return true; }

    void RenderField(LineSystem sys, const FieldId& id, const Window& w, const PictureAdjust& adj,
                     uint8_t* out) override {
        const size_t index = static_cast<size_t>(id.frameNumber % offsets_.size());
        if (!haveFrame_ || index != frameIndex_ || sys != frameSys_ || !video_detail::SameAdjust(adj, frameAdj_)) {
            BuildFrame(index, sys, adj);
        }
        const int parity = id.firstField ? 0 : 1;
        video_detail::RenderWindow(sys, w, out, [&](int a) -> const uint8_t* {
            return frame_.data() + static_cast<size_t>(2 * a + parity) * kActiveBytesPerLine;
        });
    }

private:
    bool ReadFrame(size_t index) {
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offsets_[index]));
        file_.read(reinterpret_cast<char*>(data_.data()), static_cast<std::streamsize>(data_.size()));
        return file_.gcount() == static_cast<std::streamsize>(data_.size());
    }

    void BuildFrame(size_t index, LineSystem sys, const PictureAdjust& adj) {
        const int rows = 2 * ActiveLines(sys);
        frame_.assign(static_cast<size_t>(rows) * kActiveBytesPerLine, 0);
        haveFrame_ = true;
        frameIndex_ = index;
        frameSys_ = sys;
        frameAdj_ = adj;
        if (!ReadFrame(index)) {
            // The file changed under us since it was indexed: show black
            // rather than stale or partial bytes.
            video_detail::FillBlank(frame_.data(), 0, static_cast<int64_t>(frame_.size()));
            return;
        }
        const size_t W = static_cast<size_t>(f_.width);
        const size_t H = static_cast<size_t>(f_.height);
        const uint8_t* yPlane = data_.data();
        const uint8_t* uPlane = yPlane + W * H;
        const uint8_t* vPlane = uPlane + f_.chromaWidth * f_.chromaHeight;
        std::vector<size_t> xs(kActivePixelsPerLine);
        for (size_t x = 0; x < xs.size(); ++x) xs[x] = x * W / kActivePixelsPerLine;
        for (int r = 0; r < rows; ++r) {
            const size_t sy = static_cast<size_t>(r) * H / static_cast<size_t>(rows);
            const size_t cy = f_.chroma == Chroma::C420 ? sy / 2 : sy;
            uint8_t* dst = frame_.data() + static_cast<size_t>(r) * kActiveBytesPerLine;
            const uint8_t* ySrc = yPlane + sy * W;
            for (int x = 0; x < kActivePixelsPerLine; x += 2) {
                const size_t sx0 = xs[static_cast<size_t>(x)];
                dst[2 * x] = ySrc[sx0];
                dst[2 * x + 2] = ySrc[xs[static_cast<size_t>(x) + 1]];
                if (f_.chroma == Chroma::Mono) {
                    dst[2 * x + 1] = 128;
                    dst[2 * x + 3] = 128;
                } else {
                    const size_t cx = f_.chroma == Chroma::C444 ? sx0 : sx0 / 2;
                    dst[2 * x + 1] = uPlane[cy * f_.chromaWidth + cx];
                    dst[2 * x + 3] = vPlane[cy * f_.chromaWidth + cx];
                }
            }
        }
        video_detail::Adjuster(adj).Apply(frame_.data(), frame_.size());
    }

    std::ifstream file_;
    Y4mFormat f_;
    std::vector<uint64_t> offsets_;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> frame_;
    bool haveFrame_ = false;
    size_t frameIndex_ = 0;
    LineSystem frameSys_ = LineSystem::L625;
    PictureAdjust frameAdj_;
};

}  // namespace

std::unique_ptr<VideoSource> MakeY4mSource(const std::string& path, std::string* error) {
    std::string scratch;
    std::string& err = error ? *error : scratch;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot open " + path;
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff endPos = in.tellg();
    in.seekg(0);
    if (endPos <= 0) {
        err = path + ": empty file";
        return nullptr;
    }
    const uint64_t fileSize = static_cast<uint64_t>(endPos);

    std::string line;
    bool tooLong = false;
    if (!ReadLine(in, line, tooLong)) {
        err = path + (tooLong ? ": header line too long" : ": header line not terminated");
        return nullptr;
    }
    Y4mFormat f;
    if (!ParseHeader(line, f, err)) {
        err = path + ": " + err;
        return nullptr;
    }

    std::vector<uint64_t> offsets;
    while (offsets.size() < kMaxFrames) {
        if (in.peek() == std::char_traits<char>::eof()) break;
        if (!ReadLine(in, line, tooLong)) {
            if (tooLong) {
                err = path + ": frame header " + std::to_string(offsets.size()) + " too long";
                return nullptr;
            }
            break;  // cut inside the last frame header
        }
        if (line.compare(0, 5, "FRAME") != 0 || (line.size() > 5 && line[5] != ' ')) {
            err = path + ": malformed frame header at frame " + std::to_string(offsets.size());
            return nullptr;
        }
        const uint64_t at = static_cast<uint64_t>(in.tellg());
        if (at > fileSize || fileSize - at < f.frameBytes) break;  // last frame cut short
        offsets.push_back(at);
        in.seekg(static_cast<std::streamoff>(at + f.frameBytes));
    }
    if (offsets.empty()) {
        err = path + ": no complete frame";
        return nullptr;
    }
    in.clear();
    return std::make_unique<Y4mSource>(std::move(in), f, std::move(offsets));
}

}  // namespace sim
