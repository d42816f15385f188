// Reading the pattern's marks back out of a field or a converted frame.
#include "sim/video/source.h"

#include <algorithm>
#include <array>
#include <optional>

namespace sim {

namespace {

struct Luma {
    const MarkImage& img;
    size_t stride;

    int At(int x, int y) const {
        const int row = img.bottomUp ? img.height - 1 - y : y;
        const uint8_t* p = img.data + static_cast<size_t>(row) * stride;
        switch (img.format) {
        case MarkPixelFormat::YUYV:
            return p[static_cast<size_t>(x) * 2];
        case MarkPixelFormat::I420:
            return p[x];
        case MarkPixelFormat::RGB24: {
            const uint8_t* q = p + static_cast<size_t>(x) * 3;  // B, G, R
            return (25 * q[0] + 129 * q[1] + 66 * q[2] + 128) / 256 + 16;
        }
        }
        return 0;
    }

    // Mean over rows [y0, y1) and columns [x0, x1); rowStep 2 with an offset
    // takes every other row.
    double Mean(int x0, int x1, int y0, int y1, int rowStep = 1) const {
        long sum = 0;
        long n = 0;
        for (int y = y0; y < y1; y += rowStep) {
            for (int x = x0; x < x1; ++x) {
                sum += At(x, y);
                ++n;
            }
        }
        return n ? static_cast<double>(sum) / n : 0.0;
    }
};

// A cell's sampling rectangle in image pixels.
struct Rect {
    int x0, x1, y0, y1;
};

}  // namespace

FieldMarks DecodeFieldMarks(const MarkImage& image, const MarkLayout& layout) {
    FieldMarks result;
    if (image.data == nullptr || image.width <= 0 || image.height <= 0 || image.width > 65536 ||
        image.height > 65536) {
        return result;
    }
    const size_t minStride = static_cast<size_t>(image.width) *
                             (image.format == MarkPixelFormat::YUYV ? 2 : image.format == MarkPixelFormat::RGB24 ? 3 : 1);
    const size_t stride = image.stride > 0 ? static_cast<size_t>(image.stride) : minStride;
    if (stride < minStride || image.size / stride < static_cast<size_t>(image.height)) {
        return result;
    }
    const Window& w = layout.window;
    const int64_t winPixels = (int64_t{w.hEndByte} - w.hStartByte) / 2;
    const int64_t winLines = int64_t{w.vEndLine} - w.vStartLine;
    if (winPixels <= 0 || winLines <= 0) {
        return result;
    }
    const int rowsPerLine = layout.frame ? 2 : 1;
    const int64_t srcW = layout.sourceWidthPixels > 0 ? layout.sourceWidthPixels : winPixels;
    const int64_t srcH = layout.sourceLines > 0 ? layout.sourceLines : winLines * rowsPerLine;
    // Raster pixel of the window's first byte (a pixel pair starts on a
    // multiple of four bytes; a window starting mid-pair is off by one).
    const int64_t winPx0 = int64_t{w.hStartByte} / 2;

    auto cellRect = [&](int band, int cell) -> std::optional<Rect> {
        const int64_t px0 = kMarkFirstPixel + int64_t{cell} * kMarkCellPixels - winPx0;
        const int64_t px1 = px0 + kMarkCellPixels;
        const int64_t l0 = kCounterBandLine + int64_t{band} * kMarkBandLines - w.vStartLine;
        const int64_t l1 = l0 + kMarkBandLines;
        if (px0 < 0 || px1 > winPixels || px1 > srcW || l0 < 0 || l1 > winLines || l1 * rowsPerLine > srcH) {
            return std::nullopt;
        }
        // Middle half of the cell, mapped to the image.
        const int64_t sx0 = px0 + kMarkCellPixels / 4, sx1 = px1 - kMarkCellPixels / 4;
        const int64_t sy0 = (l0 + kMarkBandLines / 4) * rowsPerLine;
        const int64_t sy1 = (l1 - kMarkBandLines / 4) * rowsPerLine;
        Rect r;
        r.x0 = static_cast<int>(sx0 * image.width / srcW);
        r.x1 = std::max(r.x0 + 1, static_cast<int>(sx1 * image.width / srcW));
        r.y0 = static_cast<int>(sy0 * image.height / srcH);
        r.y1 = std::max(r.y0 + 1, static_cast<int>(sy1 * image.height / srcH));
        if (r.x1 > image.width || r.y1 > image.height) {
            return std::nullopt;
        }
        return r;
    };

    const Luma luma{image, stride};
    std::array<std::array<double, kMarkCells>, 3> level{};
    for (int b = 0; b < 3; ++b) {
        for (int c = 0; c < kMarkCells; ++c) {
            const auto r = cellRect(b, c);
            if (!r) {
                return result;
            }
            level[b][c] = luma.Mean(r->x0, r->x1, r->y0, r->y1);
        }
    }

    // Each band carries its own white and black reference at its ends.
    auto readWord = [&](int b, uint16_t& value) {
        const double white = level[b][0], black = level[b][kMarkCells - 1];
        if (white - black < 40) return false;
        const double mid = (white + black) / 2;
        int ones = 0;
        value = 0;
        for (int i = 1; i <= 17; ++i) {
            const bool bit = level[b][i] > mid;
            ones += bit ? 1 : 0;
            if (i <= 16) value = static_cast<uint16_t>((value << 1) | (bit ? 1 : 0));
        }
        return (ones & 1) == 0;
    };
    const bool counterOk = readWord(0, result.counter);
    const bool idOk = readWord(1, result.sourceId);

    // Field band: how strongly each field's cells show, 0 = black, 1 = white.
    const double white = level[2][0], black = level[2][kMarkCells - 1];
    if (white - black < 40) {
        return result;
    }
    auto strength = [&](double v) { return (v - black) / (white - black); };
    auto meanOf = [&](int from, int to) {
        double s = 0;
        for (int i = from; i <= to; ++i) s += level[2][i];
        return s / (to - from + 1);
    };
    const double f1 = strength(meanOf(1, 8));
    const double f2 = strength(meanOf(10, 17));
    if (f1 > 0.75 && f2 < 0.25) {
        result.parity = FieldParity::First;
    } else if (f2 > 0.75 && f1 < 0.25) {
        result.parity = FieldParity::Second;
    } else if (f1 >= 0.25 && f1 <= 0.75 && f2 >= 0.25 && f2 <= 0.75) {
        result.parity = FieldParity::Blended;
        // A full-height woven frame shows each field's mark on alternate rows.
        if (layout.frame && srcH == image.height) {
            const auto a = cellRect(2, 1), b = cellRect(2, 8), c = cellRect(2, 10), d = cellRect(2, 17);
            const int y0 = a->y0 & ~1, y1 = a->y1;
            const double f1Even = strength(luma.Mean(a->x0, b->x1, y0, y1, 2));
            const double f1Odd = strength(luma.Mean(a->x0, b->x1, y0 + 1, y1, 2));
            const double f2Even = strength(luma.Mean(c->x0, d->x1, y0, y1, 2));
            const double f2Odd = strength(luma.Mean(c->x0, d->x1, y0 + 1, y1, 2));
            // Field 1 fills the frame rows 2 (line - vStart), even in the frame.
            if (f1Even > 0.75 && f1Odd < 0.25 && f2Even < 0.25 && f2Odd > 0.75) {
                result.parity = FieldParity::Woven;
            } else if (f1Even < 0.25 && f1Odd > 0.75 && f2Even > 0.75 && f2Odd < 0.25) {
                result.parity = FieldParity::WovenSwapped;
            }
        }
    }
    result.valid = counterOk && idOk && result.parity != FieldParity::Unknown;
    return result;
}

}  // namespace sim
