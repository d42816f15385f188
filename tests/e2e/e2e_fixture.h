// End-to-end fixture: a simulated board, the whole driver stack above it
// through the application-side API, and the checks that read a converted
// frame back against the board's test pattern.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/app.h"
#include "host/kernel.h"
#include "host/scheduler.h"
#include "sim/board.h"
#include "tests/support/kernel_test.h"

namespace e2e {

namespace app = kv::app;
using sim::LineSystem;

constexpr uint16_t kSourceId = 0x2A5;  // carried in the pattern's marks

// Standards by line system, one per standard index of the driver.
constexpr ULONG kNtsc = KS_AnalogVideo_NTSC_M;
constexpr ULONG kPalM = KS_AnalogVideo_PAL_M;
constexpr ULONG kPal = KS_AnalogVideo_PAL_B;
constexpr ULONG kSecam = KS_AnalogVideo_SECAM_D;
constexpr ULONG kPalN = KS_AnalogVideo_PAL_N;

inline LineSystem SystemOf(ULONG standard)
{
    return (standard == kNtsc || standard == KS_AnalogVideo_NTSC_M_J || standard == kPalM) ? LineSystem::L525
                                                                                            : LineSystem::L625;
}

inline std::string StandardName(ULONG standard)
{
    switch (standard) {
    case kNtsc: return "NTSC";
    case kPalM: return "PAL-M";
    case kPal: return "PAL";
    case kSecam: return "SECAM";
    case kPalN: return "PAL-N";
    default: return "standard " + std::to_string(standard);
    }
}

// How a converted frame maps onto the board's raster.
struct Geometry {
    sim::MarkLayout layout;
    int width = 0, height = 0;
    ULONG fourcc = 0;
    bool small = false;  // low-bandwidth: the first field only, 162 x 44 sampled
};

// A frame as the marks reader sees it.
inline sim::MarkImage ImageOf(const std::vector<uint8_t>& data, const Geometry& g, bool flipped = false)
{
    sim::MarkPixelFormat format = g.fourcc == app::kFourccYuy2   ? sim::MarkPixelFormat::YUYV
                                  : g.fourcc == app::kFourccI420 ? sim::MarkPixelFormat::I420
                                                                 : sim::MarkPixelFormat::RGB24;
    sim::MarkImage image{format, data.data(), data.size(), g.width, g.height};
    // RGB24 frames are bottom-up bitmaps; a flipped one reads top-down.
    image.bottomUp = (format == sim::MarkPixelFormat::RGB24) != flipped;
    return image;
}

// Y, U, V of the pixel at (x, y) of a frame, y counted from the picture's top.
struct Yuv {
    double y, u, v;
};

inline Yuv PixelAt(const std::vector<uint8_t>& f, const Geometry& g, int x, int y)
{
    const int w = g.width, h = g.height;
    if (g.fourcc == app::kFourccYuy2) {
        const uint8_t* p = f.data() + (static_cast<size_t>(y) * w + (x & ~1)) * 2;
        return {static_cast<double>(p[(x & 1) ? 2 : 0]), static_cast<double>(p[1]), static_cast<double>(p[3])};
    }
    if (g.fourcc == app::kFourccI420) {
        const size_t luma = static_cast<size_t>(w) * h;
        const size_t chroma = static_cast<size_t>(w / 2) * (h / 2);
        const size_t c = static_cast<size_t>(y / 2) * (w / 2) + x / 2;
        return {static_cast<double>(f[static_cast<size_t>(y) * w + x]), static_cast<double>(f[luma + c]),
                static_cast<double>(f[luma + chroma + c])};
    }
    const int row = h - 1 - y;  // bottom-up
    const uint8_t* p = f.data() + (static_cast<size_t>(row) * w + x) * 3;
    const double b = p[0], gr = p[1], r = p[2];
    // Back to BT.601 limited range.
    const double yy = 16 + (65.738 * r + 129.057 * gr + 25.064 * b) / 256;
    const double u = 128 + (-37.945 * r - 74.494 * gr + 112.439 * b) / 256;
    const double v = 128 + (112.439 * r - 94.154 * gr - 18.285 * b) / 256;
    return {yy, u, v};
}

inline Yuv MeanOver(const std::vector<uint8_t>& f, const Geometry& g, int x0, int x1, int y0, int y1)
{
    Yuv sum{0, 0, 0};
    int n = 0;
    for (int y = std::max(0, y0); y < std::min(g.height, y1); ++y) {
        for (int x = std::max(0, x0); x < std::min(g.width, x1); ++x) {
            const Yuv p = PixelAt(f, g, x, y);
            sum.y += p.y;
            sum.u += p.u;
            sum.v += p.v;
            ++n;
        }
    }
    if (n == 0) return {-1000, -1000, -1000};
    return {sum.y / n, sum.u / n, sum.v / n};
}

// Mirrors a frame left to right (pixel pairs swapped for YUYV) or turns it
// upside down, so that the marks read as the board drew them.
inline std::vector<uint8_t> Mirrored(const std::vector<uint8_t>& f, const Geometry& g)
{
    std::vector<uint8_t> out(f.size());
    const int w = g.width, h = g.height;
    if (g.fourcc == app::kFourccYuy2) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int from = w - 1 - x;
                out[(static_cast<size_t>(y) * w + x) * 2] = f[(static_cast<size_t>(y) * w + from) * 2];
                out[(static_cast<size_t>(y) * w + x) * 2 + 1] = f[(static_cast<size_t>(y) * w + x) * 2 + 1];
            }
        }
        return out;
    }
    const int bpp = g.fourcc == app::kFourccI420 ? 1 : 3;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int b = 0; b < bpp; ++b) {
                out[(static_cast<size_t>(y) * w + x) * bpp + b] = f[(static_cast<size_t>(y) * w + (w - 1 - x)) * bpp + b];
            }
        }
    }
    // I420 chroma planes are kept as they are: the marks are luma only.
    std::copy(f.begin() + static_cast<long>(static_cast<size_t>(w) * h * bpp), f.end(),
              out.begin() + static_cast<long>(static_cast<size_t>(w) * h * bpp));
    return out;
}

inline std::vector<uint8_t> Flipped(const std::vector<uint8_t>& f, const Geometry& g)
{
    std::vector<uint8_t> out(f);
    const size_t row = static_cast<size_t>(g.width) * (g.fourcc == app::kFourccYuy2 ? 2 : g.fourcc == app::kFourccI420 ? 1 : 3);
    for (int y = 0; y < g.height; ++y) {
        std::copy_n(f.begin() + static_cast<long>(row * (g.height - 1 - y)), row,
                    out.begin() + static_cast<long>(row * y));
    }
    return out;
}

// Bar i (0 white .. 7 black) as this frame shows it: the mean over the
// middle third of the bar on rows around field line 130, away from the
// marks, the moving box and the digits. Nothing when less than 30 pixels of
// the bar are inside the window.
inline bool BarSample(const std::vector<uint8_t>& f, const Geometry& g, int bar, bool mirrored, Yuv* out)
{
    const sim::Window& w = g.layout.window;
    const int winPx0 = w.hStartByte / 2, winPx1 = w.hEndByte / 2;
    const int px0 = std::max(bar * sim::kBarWidthPixels, winPx0);
    const int px1 = std::min((bar + 1) * sim::kBarWidthPixels, winPx1);
    if (px1 - px0 < 30) return false;
    const int third = (px1 - px0) / 3;
    const double srcW = g.layout.sourceWidthPixels > 0 ? g.layout.sourceWidthPixels : (winPx1 - winPx0);
    int x0 = static_cast<int>((px0 + third - winPx0) * g.width / srcW);
    int x1 = std::max(x0 + 1, static_cast<int>((px1 - third - winPx0) * g.width / srcW));
    if (mirrored) {
        const int m0 = g.width - x1, m1 = g.width - x0;
        x0 = m0;
        x1 = m1;
    }
    const int line = 130 - w.vStartLine;
    const int rowsPerLine = g.layout.frame ? 2 : 1;
    const double srcH = g.layout.sourceLines > 0 ? g.layout.sourceLines : (w.vEndLine - w.vStartLine) * rowsPerLine;
    const int y = static_cast<int>(line * rowsPerLine * g.height / srcH);
    *out = MeanOver(f, g, x0, x1, y - 2, y + 3);
    return true;
}

class EndToEndTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        kv::streamclass::Reset();
    }

    void TearDown() override
    {
        filter_.reset();
        board_.reset();
        EXPECT_TRUE(kv::kernel::scheduler::Pending().empty());
        KernelTest::TearDown();
    }

    // A board whose input 2 (the one the driver selects at first) carries
    // the test pattern of `system`, and a started filter above it.
    app::Filter& OpenFilter(LineSystem system, bool lowBandwidth = false,
                            const std::function<void(sim::BoardConfig&)>& adjust = {})
    {
        filter_.reset();
        sim::BoardConfig config;
        config.lowBandwidth = lowBandwidth;
        sim::TestPatternOptions pattern;
        pattern.sourceId = kSourceId;
        config.inputs[2] = sim::MakeTestPattern(system, pattern);
        if (adjust) adjust(config);
        board_ = std::make_unique<sim::Board>(config);
        filter_ = app::Filter::Open(*board_);
        return *filter_;
    }

    // The capture window as the board applies it.
    sim::Window EffectiveWindow(LineSystem system, sim::Board* board = nullptr)
    {
        if (board == nullptr) board = board_.get();
        sim::Window w = board->GetBridge().CaptureWindow();
        const int offset = board->GetDecoder() != nullptr ? board->GetDecoder()->VerticalOffset(system) : 0;
        w.vStartLine += offset;
        w.vEndLine += offset;
        return sim::ClampToRaster(system, w);
    }

    // (`board`: another board than the fixture's.)
    Geometry GeometryOf(const app::Format& format, LineSystem system, bool lowBandwidth, sim::Board* board = nullptr)
    {
        Geometry g;
        g.width = format.Width();
        g.height = format.Height();
        g.fourcc = format.Fourcc();
        g.layout.sys = system;
        g.layout.window = EffectiveWindow(system, board);
        const int winPixels = (g.layout.window.hEndByte - g.layout.window.hStartByte) / 2;
        const int winLines = g.layout.window.vEndLine - g.layout.window.vStartLine;
        if (lowBandwidth) {
            // The preview scaler samples the window to 162 x 44; the
            // converters show pixels 0..159 of lines 0..39, each line three times.
            g.small = true;
            g.layout.frame = false;
            g.layout.sourceWidthPixels = winPixels * 160 / sim::kPreviewWidth;
            g.layout.sourceLines = winLines * 120 / (3 * sim::kPreviewLines);
            return g;
        }
        g.layout.frame = true;
        g.layout.sourceWidthPixels = winPixels;
        // 284-line fields are padded to 288 before scaling.
        g.layout.sourceLines = winLines == 284 ? 576 : 2 * winLines;
        return g;
    }

    std::unique_ptr<sim::Board> board_;
    std::unique_ptr<app::Filter> filter_;
};

}  // namespace e2e
