// Raster geometry, window cropping and picture adjustment.
#include "sim/video/raster_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

// 75% bars from R'G'B' in {0, 0.75}, BT.601 limited range.
constexpr Yuv BarFromRgb(double r, double g, double b) {
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    const double Y = 16.0 + 219.0 * y;
    const double U = 128.0 + 224.0 * (b - y) / 1.772;
    const double V = 128.0 + 224.0 * (r - y) / 1.402;
    return Yuv{static_cast<uint8_t>(Y + 0.5), static_cast<uint8_t>(U + 0.5), static_cast<uint8_t>(V + 0.5)};
}

constexpr double kA = 0.75;
constexpr Yuv kBars[8] = {
    BarFromRgb(kA, kA, kA),  // white
    BarFromRgb(kA, kA, 0),   // yellow
    BarFromRgb(0, kA, kA),   // cyan
    BarFromRgb(0, kA, 0),    // green
    BarFromRgb(kA, 0, kA),   // magenta
    BarFromRgb(kA, 0, 0),    // red
    BarFromRgb(0, 0, kA),    // blue
    BarFromRgb(0, 0, 0),     // black
};
// The familiar published figures come out of the formula.
static_assert(kBars[0].y == 180 && kBars[0].u == 128 && kBars[0].v == 128);
static_assert(kBars[1].y == 162 && kBars[1].u == 44 && kBars[1].v == 142);
static_assert(kBars[2].y == 131 && kBars[2].u == 156 && kBars[2].v == 44);
static_assert(kBars[3].y == 112 && kBars[3].u == 72 && kBars[3].v == 58);
static_assert(kBars[4].y == 84 && kBars[4].u == 184 && kBars[4].v == 198);
static_assert(kBars[5].y == 65 && kBars[5].u == 100 && kBars[5].v == 212);
static_assert(kBars[6].y == 35 && kBars[6].u == 212 && kBars[6].v == 114);
static_assert(kBars[7].y == 16 && kBars[7].u == 128 && kBars[7].v == 128);
static_assert(8 * kBarWidthPixels == kActivePixelsPerLine);

uint8_t Clamp8(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

// Blanking black, Y on even raster bytes; long enough for any chunk.
struct BlankRow {
    std::array<uint8_t, 4096 + 2> bytes;
    BlankRow() {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (i & 1) ? 128 : 16;
    }
};
const BlankRow kBlank;

}  // namespace

const Yuv kColourBars[8] = {kBars[0], kBars[1], kBars[2], kBars[3],
                            kBars[4], kBars[5], kBars[6], kBars[7]};

size_t WindowBytes(const Window& w) {
    const int64_t cols = int64_t{w.hEndByte} - w.hStartByte;
    const int64_t rows = int64_t{w.vEndLine} - w.vStartLine;
    if (cols <= 0 || rows <= 0) {
        return 0;
    }
    return static_cast<size_t>(cols) * static_cast<size_t>(rows);
}

Window ClampToRaster(LineSystem sys, const Window& w) {
    Window c = w;
    c.hStartByte = std::clamp(w.hStartByte, 0, LineBytes(sys));
    c.hEndByte = std::clamp(w.hEndByte, c.hStartByte, LineBytes(sys));
    c.vStartLine = std::clamp(w.vStartLine, 0, FieldLines(sys));
    c.vEndLine = std::clamp(w.vEndLine, c.vStartLine, FieldLines(sys));
    return c;
}

bool IsIdentity(const PictureAdjust& a) {
    return a.brightness == 0 && a.contrast == 128 && a.saturation == 128 && a.hueDegrees % 360 == 0;
}

void ApplyPictureAdjust(const PictureAdjust& adj, uint8_t* yuyv, size_t bytes) {
    if (yuyv == nullptr || IsIdentity(adj)) {
        return;
    }
    video_detail::Adjuster(adj).Apply(yuyv, bytes);
}

namespace video_detail {

bool SameAdjust(const PictureAdjust& a, const PictureAdjust& b) {
    return a.brightness == b.brightness && a.contrast == b.contrast && a.saturation == b.saturation &&
           a.hueDegrees == b.hueDegrees;
}

Adjuster::Adjuster(const PictureAdjust& adj) : identity_(IsIdentity(adj)) {
    const int64_t bright = std::clamp(adj.brightness, -255, 255);
    const int64_t contrast = std::clamp(adj.contrast, 0, 1024);
    const int64_t sat = std::clamp(adj.saturation, 0, 1024);
    for (int y = 0; y < 256; ++y) {
        // Gain around black, rounded half up (the shift floors negatives).
        const int64_t scaled = ((int64_t{y} - 16) * contrast + 64) >> 7;
        lut_[y] = Clamp8(16 + scaled + bright);
    }
    const int deg = ((adj.hueDegrees % 360) + 360) % 360;
    const double rad = deg * 3.14159265358979323846 / 180.0;
    const int64_t c = std::llround(std::cos(rad) * 4096.0);
    const int64_t s = std::llround(std::sin(rad) * 4096.0);
    cu_ = c * sat;
    su_ = s * sat;
}

void Adjuster::Chroma(uint8_t& u, uint8_t& v) const {
    const int64_t du = int64_t{u} - 128;
    const int64_t dv = int64_t{v} - 128;
    constexpr int kShift = 12 + 7;
    constexpr int64_t kHalf = int64_t{1} << (kShift - 1);
    const int64_t nu = (du * cu_ - dv * su_ + kHalf) >> kShift;
    const int64_t nv = (du * su_ + dv * cu_ + kHalf) >> kShift;
    u = Clamp8(128 + nu);
    v = Clamp8(128 + nv);
}

void Adjuster::Apply(uint8_t* p, size_t bytes) const {
    if (identity_) {
        return;
    }
    size_t i = 0;
    for (; i + 4 <= bytes; i += 4) {
        p[i] = lut_[p[i]];
        p[i + 2] = lut_[p[i + 2]];
        Chroma(p[i + 1], p[i + 3]);
    }
    // A trailing partial pair: luma only, its chroma has no partner.
    for (; i < bytes; i += 2) {
        p[i] = lut_[p[i]];
    }
}

void FillBlank(uint8_t* dst, int64_t from, int64_t to) {
    constexpr int64_t kChunk = 4096;
    while (from < to) {
        const int64_t n = std::min(to - from, kChunk);
        std::memcpy(dst, kBlank.bytes.data() + (from & 1), static_cast<size_t>(n));
        dst += n;
        from += n;
    }
}

void RenderWindow(LineSystem sys, const Window& w, uint8_t* out, const ActiveLineFn& line) {
    if (out == nullptr || WindowBytes(w) == 0) {
        return;
    }
    const int64_t h0 = w.hStartByte;
    const int64_t h1 = w.hEndByte;
    const int64_t cols = h1 - h0;
    // The part of each row that lies in the active picture.
    const int64_t a0 = std::clamp<int64_t>(h0, 0, kActiveBytesPerLine);
    const int64_t a1 = std::clamp<int64_t>(h1, a0, kActiveBytesPerLine);
    const int64_t first = ActiveFirstLine(sys);
    const int64_t last = first + ActiveLines(sys);
    uint8_t* row = out;
    for (int64_t l = w.vStartLine; l < w.vEndLine; ++l, row += cols) {
        const uint8_t* src = (l >= first && l < last) ? line(static_cast<int>(l - first)) : nullptr;
        if (src == nullptr || a1 <= a0) {
            FillBlank(row, h0, h1);
            continue;
        }
        FillBlank(row, h0, a0);
        std::memcpy(row + (a0 - h0), src + a0, static_cast<size_t>(a1 - a0));
        FillBlank(row + (a1 - h0), a1, h1);
    }
}

int64_t Bounce(int64_t speed, uint64_t t, int64_t range) {
    if (range <= 0) {
        return 0;
    }
    const uint64_t period = static_cast<uint64_t>(2 * range);
    const uint64_t sp = static_cast<uint64_t>(((speed % static_cast<int64_t>(period)) +
                                               static_cast<int64_t>(period)) % static_cast<int64_t>(period));
    const uint64_t d = (sp * (t % period)) % period;
    const int64_t di = static_cast<int64_t>(d);
    return di <= range ? di : 2 * range - di;
}

}  // namespace video_detail
}  // namespace sim
