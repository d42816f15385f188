// Test pattern and station pictures: a static background line, the marks and
// the moving box drawn over it per field.
#include "sim/video/raster_internal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace sim {

namespace {

using video_detail::Adjuster;

constexpr uint8_t kWhiteY = 235;
constexpr uint8_t kBlackY = 16;

std::array<bool, kMarkCells> WordCells(uint16_t value) {
    std::array<bool, kMarkCells> c{};
    c[0] = true;
    int ones = 0;
    for (int i = 0; i < 16; ++i) {
        const bool bit = ((value >> (15 - i)) & 1) != 0;
        c[1 + i] = bit;
        ones += bit ? 1 : 0;
    }
    c[17] = (ones & 1) != 0;  // makes the count of ones even
    c[18] = false;
    return c;
}

std::array<bool, kMarkCells> FieldCells(bool firstField) {
    std::array<bool, kMarkCells> c{};
    c[0] = true;
    for (int i = 1; i <= 8; ++i) c[i] = firstField;
    for (int i = 10; i <= 17; ++i) c[i] = !firstField;
    return c;
}

// Segments a..g of 0..9, bit 0 = a.
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Pixel spans [x0, x1) of one digit's lit segments on digit row r.
int DigitSpans(int digit, int r, std::array<std::pair<int, int>, 3>& spans) {
    const uint8_t seg = kSegments[digit];
    constexpr int t = 4;  // segment thickness
    constexpr int mid = (kDigitLines - t) / 2;
    auto on = [seg](int bit) { return ((seg >> bit) & 1) != 0; };
    const bool bar = (r < t && on(0)) || (r >= mid && r < mid + t && on(6)) || (r >= kDigitLines - t && on(3));
    if (bar) {
        spans[0] = {0, kDigitWidth};
        return 1;
    }
    const bool upper = r < mid + t, lower = r >= mid;
    int n = 0;
    if ((upper && on(5)) || (lower && on(4))) spans[n++] = {0, t};
    if ((upper && on(1)) || (lower && on(2))) spans[n++] = {kDigitWidth - t, kDigitWidth};
    return n;
}

class PatternSource final : public VideoSource {
public:
    // background(line) fills one 1440-byte active line of the unadjusted
    // background for active line index a (the same for every field).
    PatternSource(LineSystem native, const TestPatternOptions& opt, std::vector<uint8_t> backgroundRow)
        : native_(native), opt_(opt), background_(std::move(backgroundRow)) {
        line_.resize(kActiveBytesPerLine);
        Prepare(PictureAdjust{});
    }

    LineSystem NativeSystem() const override { return native_; }
    bool HasSignal() const override { return true; }

    void RenderField(LineSystem sys, const FieldId& id, const Window& w, const PictureAdjust& adj,
                     uint8_t* out) override {
        if (!video_detail::SameAdjust(adj, preparedFor_)) {
            Prepare(adj);
        }
        const std::array<std::array<bool, kMarkCells>, 3> bands = {
            WordCells(static_cast<uint16_t>(id.frameNumber & 0xFFFF)),
            WordCells(opt_.sourceId),
            FieldCells(id.firstField),
        };
        const int box = BoxLeftPixel(opt_.objectSpeed, id);
        std::array<int, kDigitCount> digits{};
        uint64_t number = id.frameNumber % 100000;
        for (int i = kDigitCount - 1; i >= 0; --i, number /= 10) digits[i] = static_cast<int>(number % 10);
        const int first = ActiveFirstLine(sys);
        video_detail::RenderWindow(sys, w, out, [&](int a) -> const uint8_t* {
            const int fieldLine = first + a;
            const int band = (fieldLine - kCounterBandLine) / kMarkBandLines;
            const bool inBands = opt_.marks && fieldLine >= kCounterBandLine && band < 3;
            const bool inBox = fieldLine >= kBoxLine && fieldLine < kBoxLine + kBoxLines;
            const bool inDigits = opt_.digits && fieldLine >= kDigitLine && fieldLine < kDigitLine + kDigitLines;
            if (!inBands && !inBox && !inDigits) {
                return adjusted_.data();
            }
            std::memcpy(line_.data(), adjusted_.data(), kActiveBytesPerLine);
            if (inBands) {
                for (int c = 0; c < kMarkCells; ++c) {
                    Fill(kMarkFirstPixel + c * kMarkCellPixels, kMarkCellPixels,
                         bands[band][c] ? white_ : black_);
                }
            }
            if (inBox) {
                Fill(box, kBoxWidth, white_);
            }
            if (inDigits) {
                std::array<std::pair<int, int>, 3> spans;
                for (int d = 0; d < kDigitCount; ++d) {
                    const int x = kDigitFirstPixel + d * kDigitPitch;
                    const int n = DigitSpans(digits[d], fieldLine - kDigitLine, spans);
                    for (int i = 0; i < n; ++i) Fill(x + spans[i].first, spans[i].second - spans[i].first, white_);
                }
            }
            return line_.data();
        });
    }

private:
    void Prepare(const PictureAdjust& adj) {
        preparedFor_ = adj;
        adjusted_ = background_;
        const Adjuster a(adj);
        a.Apply(adjusted_.data(), adjusted_.size());
        white_ = {kWhiteY, 128, kWhiteY, 128};
        black_ = {kBlackY, 128, kBlackY, 128};
        a.Apply(white_.data(), white_.size());
        a.Apply(black_.data(), black_.size());
    }

    // Pixel pairs from an even pixel, clipped to the active line.
    void Fill(int px, int width, const std::array<uint8_t, 4>& pair) {
        const int from = std::clamp(px & ~1, 0, kActivePixelsPerLine);
        const int to = std::clamp(px + width, from, kActivePixelsPerLine);
        for (int x = from; x < to; x += 2) {
            std::memcpy(&line_[static_cast<size_t>(x) * 2], pair.data(), 4);
        }
    }

    LineSystem native_;
    TestPatternOptions opt_;
    std::vector<uint8_t> background_;
    std::vector<uint8_t> adjusted_;
    std::vector<uint8_t> line_;
    PictureAdjust preparedFor_;
    std::array<uint8_t, 4> white_{}, black_{};
};

void PutPair(std::vector<uint8_t>& row, int px, const Yuv& c) {
    const size_t i = static_cast<size_t>(px / 2) * 4;
    row[i] = c.y;
    row[i + 1] = c.u;
    row[i + 2] = c.y;
    row[i + 3] = c.v;
}

std::vector<uint8_t> BarsRow(bool bars) {
    std::vector<uint8_t> row(kActiveBytesPerLine);
    for (int px = 0; px < kActivePixelsPerLine; px += 2) {
        PutPair(row, px, bars ? kColourBars[px / kBarWidthPixels] : Yuv{126, 128, 128});
    }
    return row;
}

// A background of the station's own: a colour picked from the channel number
// with vertical stripes whose pitch also depends on it, so two channels never
// look alike at a glance.
std::vector<uint8_t> StationRow(int channel) {
    const uint32_t h = static_cast<uint32_t>(channel) * 2654435761u;
    const double angle = (h % 360) * 3.14159265358979323846 / 180.0;
    const int baseY = 70 + static_cast<int>((h >> 9) % 90);
    const int u = 128 + static_cast<int>(std::lround(70 * std::cos(angle)));
    const int v = 128 + static_cast<int>(std::lround(70 * std::sin(angle)));
    const int pitch = 16 * (2 + static_cast<int>((static_cast<uint32_t>(channel) & 0x7FFFFFFF) % 7));
    std::vector<uint8_t> row(kActiveBytesPerLine);
    for (int px = 0; px < kActivePixelsPerLine; px += 2) {
        const bool stripe = (px / pitch) % 2 == 1;
        const int y = baseY + (stripe ? 40 : 0);
        PutPair(row, px, Yuv{static_cast<uint8_t>(y), static_cast<uint8_t>(u), static_cast<uint8_t>(v)});
    }
    return row;
}

}  // namespace

int BoxLeftPixel(int objectSpeed, const FieldId& id) {
    constexpr int64_t kRange = kActivePixelsPerLine - kBoxWidth;
    // Reduced by the period first so that the field count never overflows.
    const uint64_t t = (id.frameNumber % (2 * kRange)) * 2 + (id.firstField ? 0 : 1);
    const int64_t pos = video_detail::Bounce(objectSpeed, t, kRange);
    return static_cast<int>(pos) & ~1;
}

std::unique_ptr<VideoSource> MakeTestPattern(LineSystem sys, const TestPatternOptions& opt) {
    return std::make_unique<PatternSource>(sys, opt, BarsRow(opt.colourBars));
}

std::unique_ptr<VideoSource> MakeStationSource(int channelNumber, LineSystem sys) {
    TestPatternOptions opt;
    opt.sourceId = static_cast<uint16_t>(channelNumber);
    return std::make_unique<PatternSource>(sys, opt, StationRow(channelNumber));
}

}  // namespace sim
